// OpenMP back-end: thread count handling and bit-identity of the fifteen
// OpenMP variants with their sequential twins for several thread counts.
// (The state before the first Init_openMP is covered by test_omp_uninit.)
#include <gtest/gtest.h>
#include <omp.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "linalg.h"
#include "base/team.h"
#include "support/reference.h"

using LinearAlgebra::LA;

namespace {

// Outputs get a guard band after the written region; both variants start
// from the same fill, so same_bits over the whole buffer also proves that
// neither writes past its output or skips an element.
constexpr std::size_t kGuard = 9;
constexpr double kFill = -7.25e77;

std::vector<double> out_buffer(long long n) {
    return std::vector<double>(static_cast<std::size_t>(n > 0 ? n : 0) + kGuard, kFill);
}

bool guard_intact(const std::vector<double>& v, long long n) {
    for (std::size_t i = static_cast<std::size_t>(n > 0 ? n : 0); i < v.size(); ++i)
        if (v[i] != kFill) return false;
    return true;
}

struct Shape {
    int rows, inner, cols;
};
// Awkward sizes: single element, small odd, coprime dimensions, a large one,
// and empty dimensions in each position.
const Shape kShapes[] = {{1, 1, 1}, {7, 7, 7}, {37, 53, 29}, {300, 300, 300},
                         {5, 0, 4}, {0, 3, 3}, {4, 3, 0}, {-2, 3, 3}};
const int kLengths[] = {1, 7, 37, 300, 0, -5};

using VecOp = std::function<void(double*, double*, int, double*)>;
// The exported form of an element-wise function (its name is overloaded
// with the const-input form).
using VV = void (*)(double*, double*, int, double*);

class OmpVariants : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { ASSERT_EQ(LA::Init_openMP(GetParam()), 0); }
};

TEST_P(OmpVariants, ElementwiseVectorOpsMatchSequential) {
    struct Case {
        const char* name;
        VecOp seq, par;
    };
    const double S = -3.0e-3;
    const Case cases[] = {
        {"MultiplyVS", [&](double* a, double*, int n, double* x) { LA::MultiplyVS(a, n, S, x); },
         [&](double* a, double*, int n, double* x) { LA::MultiplyVS1(a, n, S, x); }},
        {"AddVV", VV(LA::AddVV), VV(LA::AddVV1)},
        {"SubstractVV", VV(LA::SubstractVV), VV(LA::SubstractVV1)},
        {"TableMultiplyVV", VV(LA::TableMultiplyVV), VV(LA::TableMultiplyVV1)},
        {"ZeroV", [](double*, double*, int n, double* x) { LA::ZeroV(x, n); },
         [](double*, double*, int n, double* x) { LA::ZeroV1(x, n); }},
    };
    for (int n : kLengths) {
        auto a = ref::awkward_vector(n > 0 ? n : 1, 11 + n);
        auto b = ref::awkward_vector(n > 0 ? n : 1, 12 + n);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " n=" + std::to_string(n));
            auto xs = out_buffer(n), xp = out_buffer(n);
            c.seq(a.data(), b.data(), n, xs.data());
            c.par(a.data(), b.data(), n, xp.data());
            EXPECT_TRUE(ref::same_bits(xs, xp));
            EXPECT_TRUE(guard_intact(xp, n));
            if (n > 0) {
                EXPECT_NE(xp[0], kFill);
            }
            // In place: the output is the first input.
            auto is = a, ip = a;
            c.seq(is.data(), b.data(), n, is.data());
            c.par(ip.data(), b.data(), n, ip.data());
            EXPECT_TRUE(ref::same_bits(is, ip));
        }
    }
}

TEST_P(OmpVariants, IntegerFillsMatchSequential) {
    for (int n : kLengths) {
        SCOPED_TRACE(n);
        const std::size_t len = static_cast<std::size_t>(n > 0 ? n : 0) + kGuard;
        std::vector<int> zs(len, 42), zp(len, 42), os(len, 42), op(len, 42);
        LA::ZeroVI(zs.data(), n);
        LA::ZeroVI1(zp.data(), n);
        LA::OneVI(os.data(), n);
        LA::OneVI1(op.data(), n);
        EXPECT_EQ(zs, zp);
        EXPECT_EQ(os, op);
        for (std::size_t i = 0; i < len; ++i) {
            const bool written = static_cast<long long>(i) < n;
            EXPECT_EQ(zp[i], written ? 0 : 42);
            EXPECT_EQ(op[i], written ? 1 : 42);
        }
    }
}

TEST_P(OmpVariants, MatrixOpsMatchSequential) {
    for (const Shape& s : kShapes) {
        SCOPED_TRACE("shape " + std::to_string(s.rows) + "x" + std::to_string(s.inner) + "x" + std::to_string(s.cols));
        const int r = s.rows, k = s.inner, c = s.cols;
        const long long R = r > 0 ? r : 0, K = k > 0 ? k : 0, C = c > 0 ? c : 0;
        auto m1 = ref::awkward_vector(R * K + 1, 21);
        auto m2 = ref::awkward_vector(R * K + 1, 22);
        auto m3 = ref::awkward_vector(K * C + 1, 23);
        auto vr = ref::awkward_vector(R + 1, 24);
        auto vk = ref::awkward_vector(K + 1, 25);

        auto check = [&](const char* name, long long n, const std::function<void(double*)>& seq,
                         const std::function<void(double*)>& par) {
            SCOPED_TRACE(name);
            auto xs = out_buffer(n), xp = out_buffer(n);
            seq(xs.data());
            par(xp.data());
            EXPECT_TRUE(ref::same_bits(xs, xp));
            EXPECT_TRUE(guard_intact(xp, n));
        };
        check("CrossVV", R * K, [&](double* x) { LA::CrossVV(vr.data(), r, vk.data(), k, x); },
              [&](double* x) { LA::CrossVV1(vr.data(), r, vk.data(), k, x); });
        check("MultiplyMV", R, [&](double* x) { LA::MultiplyMV(m1.data(), r, vk.data(), k, x); },
              [&](double* x) { LA::MultiplyMV1(m1.data(), r, vk.data(), k, x); });
        check("MultiplyVM", K, [&](double* x) { LA::MultiplyVM(vr.data(), r, m1.data(), k, x); },
              [&](double* x) { LA::MultiplyVM1(vr.data(), r, m1.data(), k, x); });
        check("MultiplyMS", R * K, [&](double* x) { LA::MultiplyMS(m1.data(), r, k, 0.37, x); },
              [&](double* x) { LA::MultiplyMS1(m1.data(), r, k, 0.37, x); });
        check("AddMM", R * K, [&](double* x) { LA::AddMM(m1.data(), m2.data(), r, k, x); },
              [&](double* x) { LA::AddMM1(m1.data(), m2.data(), r, k, x); });
        check("SubstractMM", R * K, [&](double* x) { LA::SubstractMM(m1.data(), m2.data(), r, k, x); },
              [&](double* x) { LA::SubstractMM1(m1.data(), m2.data(), r, k, x); });
        check("TransposeM", R * K, [&](double* x) { LA::TransposeM(m1.data(), r, k, x); },
              [&](double* x) { LA::TransposeM1(m1.data(), r, k, x); });
        check("MultiplyMM", R * C, [&](double* x) { LA::MultiplyMM(m1.data(), r, k, m3.data(), c, x); },
              [&](double* x) { LA::MultiplyMM1(m1.data(), r, k, m3.data(), c, x); });

        // The in-place forms of the element-wise matrix operations.
        auto ps = m1, pp = m1;
        LA::AddMM(ps.data(), m2.data(), r, k, ps.data());
        LA::AddMM1(pp.data(), m2.data(), r, k, pp.data());
        EXPECT_TRUE(ref::same_bits(ps, pp));
        LA::MultiplyMS(ps.data(), r, k, -2.5, ps.data());
        LA::MultiplyMS1(pp.data(), r, k, -2.5, pp.data());
        EXPECT_TRUE(ref::same_bits(ps, pp));
    }
}

TEST_P(OmpVariants, ProductsMatchPlainReferenceLoops) {
    const int r = 37, k = 53, c = 29;
    auto a = ref::random_vector(r * k, 31), b = ref::random_vector(k * c, 32), v = ref::random_vector(k, 33);
    std::vector<double> x(r * c), want(r * c);
    LA::MultiplyMM1(a.data(), r, k, b.data(), c, x.data());
    ref::mm(a.data(), r, k, b.data(), c, want.data());
    EXPECT_TRUE(ref::same_bits(x, want));
    std::vector<double> y(r), wy(r);
    LA::MultiplyMV1(a.data(), r, v.data(), k, y.data());
    ref::mv(a.data(), r, v.data(), k, wy.data());
    EXPECT_TRUE(ref::same_bits(y, wy));
}

TEST_P(OmpVariants, ThreadCountIsHandedToTheRuntimeOnEveryCall) {
    omp_set_num_threads(1);
    double a = 1.0, b = 2.0, x = 0.0;
    LA::AddVV1(&a, &b, 1, &x);
    EXPECT_EQ(x, 3.0);
    EXPECT_EQ(omp_get_max_threads(), GetParam());
    EXPECT_EQ(linalg::MAX_THREADS, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Threads, OmpVariants, ::testing::Values(1, 2, 3, 8));

TEST(InitOpenMP, RecordsReplacesAndKeepsTheCount) {
    EXPECT_EQ(LA::Init_openMP(2), 0);
    EXPECT_EQ(linalg::MAX_THREADS, 2);
    {
        ref::StdoutCapture cap;
        EXPECT_EQ(LA::Init_openMP(0), 0);
        EXPECT_EQ(LA::Init_openMP(-4), 0);
        EXPECT_EQ(cap.finish(), "");
    }
    EXPECT_EQ(linalg::MAX_THREADS, 2);
    EXPECT_EQ(LA::Init_openMP(5), 0);
    EXPECT_EQ(linalg::MAX_THREADS, 5);
}

TEST(InitOpenMP, CountAboveProcessorCountIsUsedUnchanged) {
    ASSERT_EQ(LA::Init_openMP(64), 0);
    std::vector<int> team(1, 0);
    auto v = ref::random_vector(1000, 41);
    std::vector<double> x(1000), want(1000);
    LA::MultiplyVS1(v.data(), 1000, 2.0, x.data());
    LA::MultiplyVS(v.data(), 1000, 2.0, want.data());
    EXPECT_TRUE(ref::same_bits(x, want));
    EXPECT_EQ(omp_get_max_threads(), 64);
    // A region opened now by the caller gets the library's count.
#pragma omp parallel
    {
#pragma omp single
        team[0] = omp_get_num_threads();
    }
    EXPECT_EQ(team[0], 64);
}

// Counts the runtime cannot be relied on to start are capped with a warning;
// the capped team really runs (libgomp ends the process when a team cannot
// be started, so surviving the call is part of the check).
TEST(InitOpenMP, CountBeyondTheBoundIsCappedWithAWarning) {
    const int bound = linalg::max_team_size();
    if (omp_get_thread_limit() >= 1024)
        EXPECT_GE(bound, 1024);
    else
        EXPECT_EQ(bound, omp_get_thread_limit());  // OMP_THREAD_LIMIT set lower
    for (int requested : {100000, 2147483647}) {
        ref::StdoutCapture cap;
        EXPECT_EQ(LA::Init_openMP(requested), 0);
        EXPECT_EQ(cap.finish(), "\nWARNING! Init_openMP(" + std::to_string(requested) +
                                    "): more threads than the OpenMP runtime can start; using " +
                                    std::to_string(bound) + "!\n");
        EXPECT_EQ(linalg::MAX_THREADS, bound);
    }
    auto v1 = ref::random_vector(3000, 43), v2 = ref::random_vector(3000, 44);
    std::vector<double> x(3000), want(3000);
    LA::AddVV1(v1.data(), v2.data(), 3000, x.data());
    LA::AddVV(v1.data(), v2.data(), 3000, want.data());
    EXPECT_TRUE(ref::same_bits(x, want));
    // The bound itself is taken silently.
    ref::StdoutCapture cap;
    EXPECT_EQ(LA::Init_openMP(bound), 0);
    EXPECT_EQ(cap.finish(), "");
    ASSERT_EQ(LA::Init_openMP(2), 0);
}

TEST(OmpEdgeCases, MultiplyMMWithEmptyInnerDimensionWritesZeros) {
    ASSERT_EQ(LA::Init_openMP(3), 0);
    double a = 1.0, b = 1.0;
    std::vector<double> x(4 * 5, 9.0);
    LA::MultiplyMM1(&a, 4, 0, &b, 5, x.data());
    for (double v : x) EXPECT_EQ(v, 0.0);
}

TEST(OmpEdgeCases, InitialisedCallsPrintNothing) {
    ASSERT_EQ(LA::Init_openMP(2), 0);
    ref::StdoutCapture cap;
    double a[3] = {1, 2, 3}, b[3] = {4, 5, 6}, x[3];
    LA::AddVV1(a, b, 3, x);
    EXPECT_EQ(cap.finish(), "");
    EXPECT_EQ(x[0], 5.0);
    EXPECT_EQ(x[2], 9.0);
}

} // namespace
