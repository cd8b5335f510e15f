// Every work-memory allocation of the library can fail. For each function
// that allocates, the test counts its allocations in a normal call, then makes
// each of them fail in turn (k = 1 .. count) and checks that
//  * a clear "not enough memory" message is printed on standard output,
//  * every output keeps its previous contents (sentinels), inputs too,
//  * no work block stays allocated (blocks_held returns to its start value),
//  * a following normal call gives the same bits as before.
// Functions that are documented to allocate nothing are checked to make no
// allocation at all.
#include <gtest/gtest.h>

#include "core/work_memory.h"
#include "linalg.h"
#include "support/reference.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using LinearAlgebra::LA;
namespace hooks = linalg::testhooks;

namespace {

constexpr double kSentinel = -4.125e77;
constexpr int kIntSentinel = -777;

// A call with its own inputs and outputs. `run` calls the library once;
// `outputs` and `inputs` list the arrays to watch.
struct Call {
    std::string name;
    std::vector<std::vector<double>> in;   // inputs, must not change
    std::vector<std::vector<double>> out;  // outputs, filled with kSentinel before each call
    std::vector<int> iout;                 // integer output, filled with kIntSentinel
    std::function<void(Call&)> run;
    double result = 0;                     // scalar result, when there is one
};

void reset_outputs(Call& c) {
    for (auto& o : c.out) std::fill(o.begin(), o.end(), kSentinel);
    std::fill(c.iout.begin(), c.iout.end(), kIntSentinel);
    c.result = 0;
}

int total_sites = 0;

// Runs the whole injection sequence on one call; returns its allocation count.
long long inject_every_allocation(Call c) {
    SCOPED_TRACE(c.name);
    const auto inputs = c.in;
    const long long held0 = hooks::blocks_held();

    reset_outputs(c);
    hooks::reset_alloc_counters();
    std::string normal_out;
    {
        ref::StdoutCapture cap;
        c.run(c);
        normal_out = cap.finish();
    }
    const long long count = hooks::alloc_calls();
    EXPECT_EQ(hooks::blocks_held(), held0) << "a normal call keeps work memory";
    EXPECT_EQ(normal_out.find("memory"), std::string::npos) << normal_out;
    const auto normal = c.out;
    const auto normal_i = c.iout;
    const double normal_result = c.result;

    for (long long k = 1; k <= count; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(count) + " fails");
        reset_outputs(c);
        hooks::fail_alloc_at(k);
        ref::StdoutCapture cap;
        c.run(c);
        const std::string printed = cap.finish();
        const long long calls = hooks::alloc_calls();
        hooks::reset_alloc_counters();
        ++total_sites;

        EXPECT_GE(calls, k) << "the failing allocation was never reached";
        EXPECT_NE(printed.find("ERROR! Not enough memory"), std::string::npos) << "printed: '" << printed << "'";
        EXPECT_EQ(hooks::blocks_held(), held0) << "work memory leaked";
        for (std::size_t a = 0; a < c.out.size(); ++a)
            for (std::size_t i = 0; i < c.out[a].size(); ++i)
                if (std::memcmp(&c.out[a][i], &kSentinel, sizeof(double)) != 0) {
                    ADD_FAILURE() << "output " << a << " element " << i << " written: " << c.out[a][i];
                    break;
                }
        for (std::size_t i = 0; i < c.iout.size(); ++i)
            if (c.iout[i] != kIntSentinel) {
                ADD_FAILURE() << "integer output element " << i << " written: " << c.iout[i];
                break;
            }
        for (std::size_t a = 0; a < inputs.size(); ++a)
            EXPECT_TRUE(ref::same_bits(c.in[a], inputs[a])) << "input " << a << " changed";
    }

    // Nothing is left over from the failures: a normal call again.
    reset_outputs(c);
    {
        ref::StdoutCapture cap;
        c.run(c);
        cap.finish();
    }
    hooks::reset_alloc_counters();
    for (std::size_t a = 0; a < c.out.size(); ++a) EXPECT_TRUE(ref::same_bits(c.out[a], normal[a]));
    EXPECT_EQ(c.iout, normal_i);
    EXPECT_EQ(std::memcmp(&c.result, &normal_result, sizeof(double)), 0);
    return count;
}

std::vector<double> sym(int n, std::uint64_t salt) {
    auto R = ref::random_vector(static_cast<std::size_t>(n) * n, salt);
    std::vector<double> S(R.size());
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) S[i * n + j] = 0.5 * (R[i * n + j] + R[j * n + i]);
    return S;
}

} // namespace

TEST(FaultInjection, SortVI) {
    for (int n : {1, 2, 17, 500}) {
        Call c{"SortVI n=" + std::to_string(n), {ref::random_vector(n, 11)}, {}, std::vector<int>(n), nullptr};
        c.run = [n](Call& k) { LA::SortVI(k.in[0].data(), n, k.iout.data()); };
        EXPECT_EQ(inject_every_allocation(c), 1);
    }
}

class FaultInjectionSolvers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ref::StdoutCapture quiet;
        ASSERT_EQ(LA::Init_openMP(2), 0);
    }
};

using SolverFn = void (*)(double*, double*, double*, int);

void inject_solver(const char* name, SolverFn f, int n) {
    Call c{std::string(name) + " n=" + std::to_string(n),
           {ref::random_matrix(n, 21), ref::random_vector(n, 22)}, {std::vector<double>(n)}, {}, nullptr};
    c.run = [f, n](Call& k) { f(k.in[0].data(), k.in[1].data(), k.out[0].data(), n); };
    EXPECT_GE(inject_every_allocation(c), 1);
}

TEST_F(FaultInjectionSolvers, SolveLSE) {
    for (int n : {1, 2, 7, 60}) inject_solver("SolveLSE", &LA::SolveLSE, n);
}

TEST_F(FaultInjectionSolvers, SolveLSE1) {
    for (int n : {1, 2, 7, 60}) inject_solver("SolveLSE1", &LA::SolveLSE1, n);
}

TEST_F(FaultInjectionSolvers, SolveLSE3HostBuffer) {
    // The device memory of the GPU solver is not work memory; its host copy
    // of the eliminated system is.
    for (int n : {1, 5, 33}) inject_solver("SolveLSE3", &LA::SolveLSE3, n);
}

TEST_F(FaultInjectionSolvers, InverseMsq) {
    for (int n : {1, 4, 30}) {
        Call c{"InverseMsq n=" + std::to_string(n), {ref::random_matrix(n, 31)},
               {std::vector<double>(static_cast<std::size_t>(n) * n)}, {}, nullptr};
        c.run = [n](Call& k) { LA::InverseMsq(k.in[0].data(), k.out[0].data(), n); };
        EXPECT_GE(inject_every_allocation(c), 1);
    }
}

TEST_F(FaultInjectionSolvers, DeterminantMsqFromOrderFour) {
    for (int n : {4, 5, 30}) {
        Call c{"DeterminantMsq n=" + std::to_string(n), {ref::random_matrix(n, 41)}, {}, {}, nullptr};
        c.run = [n](Call& k) { k.result = LA::DeterminantMsq(k.in[0].data(), n); };
        EXPECT_GE(inject_every_allocation(c), 1);
    }
    // Orders 1 to 3 use closed formulas and allocate nothing.
    for (int n : {1, 2, 3}) {
        auto A = ref::random_matrix(n, 42);
        hooks::reset_alloc_counters();
        LA::DeterminantMsq(A.data(), n);
        EXPECT_EQ(hooks::alloc_calls(), 0) << "n=" << n;
    }
}

TEST(FaultInjection, SymmetricEigenSolvers) {
    using EigFn = void (*)(double*, int, double*, double*);
    const std::pair<const char*, EigFn> solvers[] = {{"EigenSymmSystemMsqJ", &LA::EigenSymmSystemMsqJ},
                                                     {"EigenSymmSystemMsqH", &LA::EigenSymmSystemMsqH}};
    for (const auto& [name, f] : solvers)
        for (int n : {1, 2, 6, 20}) {
            Call c{std::string(name) + " n=" + std::to_string(n), {sym(n, 51)},
                   {std::vector<double>(n), std::vector<double>(static_cast<std::size_t>(n) * n)}, {}, nullptr};
            c.run = [f, n](Call& k) { f(k.in[0].data(), n, k.out[0].data(), k.out[1].data()); };
            EXPECT_GE(inject_every_allocation(c), 1);
        }
}

TEST(FaultInjection, UnsymmetricEigenSolver) {
    for (int n : {1, 2, 6, 20}) {
        Call c{"EigenUnSymmSystemMsq n=" + std::to_string(n), {ref::random_vector(static_cast<std::size_t>(n) * n, 61)},
               {std::vector<double>(n), std::vector<double>(n)}, {}, nullptr};
        c.run = [n](Call& k) { LA::EigenUnSymmSystemMsq(k.in[0].data(), n, k.out[0].data(), k.out[1].data()); };
        EXPECT_GE(inject_every_allocation(c), 1);
    }
}

TEST(FaultInjection, OperationsWithoutWorkMemoryAllocateNothing) {
    const int n = 40;
    auto A = ref::random_vector(n * n, 1), B = ref::random_vector(n * n, 2), V = ref::random_vector(n, 3);
    std::vector<double> X(n * n);
    std::vector<int> XI(n), F(n, 1);
    hooks::reset_alloc_counters();
    LA::MultiplyMM(A.data(), n, n, B.data(), n, X.data());
    LA::MultiplyMV(A.data(), n, V.data(), n, X.data());
    LA::MultiplyVM(V.data(), n, A.data(), n, X.data());
    LA::TransposeM(A.data(), n, n, X.data());
    LA::SortV(V.data(), n, X.data());
    LA::FindV(V.data(), n, 0.0, 1, XI.data());
    LA::SelectMsq(A.data(), n, F.data(), X.data());
    LA::CrossVV(V.data(), n, V.data(), n, X.data());
    EXPECT_EQ(hooks::alloc_calls(), 0);
    hooks::reset_alloc_counters();
}

// Prints the number of injected failures when the program ends.
class SiteCount : public ::testing::Environment {
public:
    void TearDown() override {
        std::printf("work-memory failure sites injected: %d\n", total_sites);
    }
};
const auto* const site_count = ::testing::AddGlobalTestEnvironment(new SiteCount);
