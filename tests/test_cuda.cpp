// GPU back-end against the emulated runtime: the host-side protocol from the
// call trace, launch shapes, the three checkpoints, device selection, the
// element-wise and product results, both GPU solvers and the solver choice.
#include <gtest/gtest.h>

#if defined(LINALG_CUDA_REAL)
TEST(Cuda, NotBuilt) { GTEST_SKIP() << "built against the real CUDA runtime"; }
#else

#include <unistd.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "testhooks.h"
#include "base/work_memory.h"
#include "cuda/cuda_backend.h"
#include "cuda/emu/emu_hooks.h"
#include "cuda/kernels.h"
#include "cuda/launch.h"
#include "cuda/protocol.h"
#include "linalg.h"
#include "support/reference.h"

namespace {

using LinearAlgebra::LA;
namespace hooks = linalg::emu::testhooks;
using Trace = std::vector<std::string>;

class Cuda : public ::testing::Test {
protected:
    void SetUp() override { hooks::reset(); }
    void TearDown() override { hooks::reset(); }
};

// Runs f with tracing on and returns the trace.
Trace traced(const std::function<void()>& f) {
    hooks::trace_clear();
    hooks::trace_on();
    f();
    hooks::trace_off();
    return hooks::trace();
}

std::string printed(const std::function<void()>& f) {
    ref::StdoutCapture cap;
    f();
    return cap.finish();
}

bool contains(const Trace& t, const std::string& line) { return std::find(t.begin(), t.end(), line) != t.end(); }

long long count_prefix(const Trace& t, const std::string& prefix) {
    return std::count_if(t.begin(), t.end(), [&](const std::string& s) { return s.rfind(prefix, 0) == 0; });
}

// Standard input replaced by a pipe holding `data` (closed for writing, so a
// read never waits) for the lifetime of the object.
class StdinFeed {
public:
    explicit StdinFeed(const std::string& data) {
        int fds[2];
#ifdef _WIN32
        EXPECT_EQ(_pipe(fds, 65536, _O_BINARY), 0);
#else
        EXPECT_EQ(pipe(fds), 0);
#endif
        EXPECT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
        close(fds[1]);
        saved_ = dup(0);
        dup2(fds[0], 0);
        close(fds[0]);
        clearerr(stdin);
    }
    // Characters left unread (drains the pipe and stdin's buffer).
    std::string rest() {
        std::string s;
        for (int c; (c = std::getchar()) != EOF;) s += static_cast<char>(c);
        return s;
    }
    ~StdinFeed() {
        rest();
        dup2(saved_, 0);
        close(saved_);
        clearerr(stdin);
    }

private:
    int saved_ = -1;
};

// ---- protocol order and sizes ------------------------------------------------

TEST_F(Cuda, ProductProtocolFromTheTrace) {
    std::vector<double> A = ref::random_vector(6, 1), B = ref::random_vector(12, 2), X(8);
    const Trace t = traced([&] { LA::MultiplyMM2(A.data(), 2, 3, B.data(), 4, X.data()); });
    const Trace expected = {
        "reset",
        "malloc 48", "malloc 96", "malloc 64",
        "getLastError",
        "memset 48", "memset 96", "memset 64",
        "memcpy HtD 48", "memcpy HtD 96",
        "getLastError",
        "launch matrixMultiplicationKernel grid(1,1,1) block(4,2,1)",
        "memcpy DtH 64",
        "getLastError",
        "free 48", "free 96", "free 64",
        "reset",
    };
    EXPECT_EQ(t, expected);
}

TEST_F(Cuda, ElementWiseProtocolFromTheTrace) {
    std::vector<double> V1 = ref::random_vector(5, 1), V2 = ref::random_vector(5, 2), X(5);
    Trace t = traced([&] { LA::AddVV2(V1.data(), V2.data(), 5, X.data()); });
    Trace expected = {
        "reset", "malloc 40", "malloc 40", "getLastError", "memset 40", "memset 40",
        "memcpy HtD 40", "memcpy HtD 40", "getLastError",
        "launch vectorvectorAdditionKernel grid(1,1,1) block(5,1,1)",
        "memcpy DtH 40", "getLastError", "free 40", "free 40", "reset",
    };
    EXPECT_EQ(t, expected);

    // The scalar multiplications work in place in one buffer.
    t = traced([&] { LA::MultiplyMS2(V1.data(), 1, 5, 2.0, X.data()); });
    expected = {
        "reset", "malloc 40", "getLastError", "memset 40", "memcpy HtD 40", "getLastError",
        "launch matrixscalarMultiplicationKernel grid(1,1,1) block(5,1,1)",
        "memcpy DtH 40", "getLastError", "free 40", "reset",
    };
    EXPECT_EQ(t, expected);
}

Trace solver_prefix(int n) {
    // P: n pivot rows and the singularity flag.
    const std::string w = std::to_string(8 * n * (n + 1)), v = std::to_string(8 * n),
                      p = std::to_string(4 * (n + 1)), q = std::to_string(8 * n * n);
    return {
        "reset", "sharedMemConfig 8",
        "malloc " + w, "malloc " + v, "malloc " + p, "malloc " + q,
        "getLastError",
        "memset " + w, "memset " + v, "memset " + p, "memset " + q,
        "memcpy HtD " + q, "memcpy HtD " + v,
        "getLastError",
        "launch JOINABd_CU grid(1,1,1) block(256,1,1)", "free " + q,
        "launch SCALEd_CU grid(1,1,1) block(256,1,1)",
        "launch VIDX_CU grid(1,1,1) block(256,1,1)",
        "launch EXTRDIAGd_CU grid(1,1,1) block(256,1,1)",
    };
}

TEST_F(Cuda, GaussJordanProtocolFromTheTrace) {
    double A[9] = {4, 1, 0, 1, 5, 2, 0, 2, 6}, B[3] = {1, 2, 3}, X[3];
    const Trace t = traced([&] { LA::SolveLSE2(A, B, X, 3); });
    Trace expected = solver_prefix(3);
    const int threads[3] = {2, 2, 1};  // ceil(sqrt(3)), ceil(sqrt(2)), ceil(sqrt(1))
    for (int i = 0; i < 3; ++i) {
        expected.push_back("launch MAXd_CU grid(1,1,1) block(" + std::to_string(threads[i]) + ",1,1)");
        expected.push_back("launch SWAPd_CU grid(1,1,1) block(256,1,1)");
        expected.push_back("launch SUBROWSd_CU grid(1,1,1) block(16,16,1)");
    }
    // After the wait: the singularity flag (4 bytes), then the solution.
    for (const char* s : {"launch EXTRCOLd_CU grid(1,1,1) block(256,1,1)", "synchronize", "memcpy DtH 4",
                          "memcpy DtH 24", "getLastError", "free 96", "free 24", "free 16", "reset"})
        expected.push_back(s);
    EXPECT_EQ(t, expected);
}

TEST_F(Cuda, HybridProtocolFromTheTrace) {
    double A[9] = {4, 1, 0, 1, 5, 2, 0, 2, 6}, B[3] = {1, 2, 3}, X[3];
    const Trace t = traced([&] { LA::SolveLSE3(A, B, X, 3); });
    Trace expected = solver_prefix(3);
    const int threads[3] = {2, 2, 1};
    for (int i = 0; i < 3; ++i) {
        expected.push_back("launch MAXd_CU grid(1,1,1) block(" + std::to_string(threads[i]) + ",1,1)");
        expected.push_back("launch SWAPd_CU grid(1,1,1) block(256,1,1)");
        expected.push_back("launch SUBSUBROWSd_CU grid(1,1,1) block(16,16,1)");
    }
    for (const char* s :
         {"synchronize", "memcpy DtH 4", "memcpy DtH 96", "getLastError", "free 96", "free 24", "free 16", "reset"})
        expected.push_back(s);
    EXPECT_EQ(t, expected);
}

TEST_F(Cuda, SolverGridsFollowTheRemainingColumns) {
    const int n = 40;
    std::vector<double> A = ref::random_matrix(n, 3), B = ref::random_vector(n, 4), X(n);
    const Trace t = traced([&] { LA::SolveLSE2(A.data(), B.data(), X.data(), n); });
    // Step 0: 40 rows left -> 7 threads, 41 columns -> one block of 256,
    // 40 columns to update -> 3 x 3 blocks of 16 x 16. Step 39: one row.
    EXPECT_TRUE(contains(t, "launch MAXd_CU grid(1,1,1) block(7,1,1)"));
    EXPECT_TRUE(contains(t, "launch SUBROWSd_CU grid(3,3,1) block(16,16,1)"));
    EXPECT_TRUE(contains(t, "launch SUBROWSd_CU grid(1,3,1) block(16,16,1)"));
    EXPECT_EQ(count_prefix(t, "launch MAXd_CU"), n);
    EXPECT_EQ(count_prefix(t, "launch SWAPd_CU grid(1,1,1) block(256,1,1)"), n);
    EXPECT_EQ(count_prefix(t, "launch SUBROWSd_CU"), n);
}

// ---- launch shapes ------------------------------------------------------------

TEST_F(Cuda, Product23x23UsesFourBlocksAndWritesExactly529) {
    const int n = 23, guard = 37;
    std::vector<double> A = ref::random_vector(n * n, 5), B = ref::random_vector(n * n, 6);
    std::vector<double> X(n * n + guard, -7.25), want(n * n);
    const Trace t = traced([&] { LA::MultiplyMM2(A.data(), n, n, B.data(), n, X.data()); });
    EXPECT_TRUE(contains(t, "launch matrixMultiplicationKernel grid(2,2,1) block(16,16,1)"));
    ref::mm_fma(A.data(), n, n, B.data(), n, want.data());
    EXPECT_TRUE(ref::same_bits(X.data(), want.data(), n * n));
    for (int i = n * n; i < n * n + guard; ++i) EXPECT_EQ(X[i], -7.25) << "written after X at " << i;
}

TEST_F(Cuda, MatrixVector513RowsUsesTwoBlocksOf512) {
    const int rows = 513, cols = 9, guard = 11;
    std::vector<double> M = ref::random_vector(rows * cols, 7), V = ref::random_vector(cols, 8);
    std::vector<double> X(rows + guard, 3.5), want(rows);
    const Trace t = traced([&] { LA::MultiplyMV2(M.data(), rows, V.data(), cols, X.data()); });
    EXPECT_TRUE(contains(t, "launch matrixvectorMultiplicationKernel grid(2,1,1) block(512,1,1)"));
    ref::mv_fma(M.data(), rows, V.data(), cols, want.data());
    EXPECT_TRUE(ref::same_bits(X.data(), want.data(), rows));
    for (int i = rows; i < rows + guard; ++i) EXPECT_EQ(X[i], 3.5);
}

TEST_F(Cuda, SmallResultsUseOneExactBlock) {
    std::vector<double> u = ref::random_vector(3, 1), w = ref::random_vector(5, 2), X(15);
    Trace t = traced([&] { LA::CrossVV2(u.data(), 3, w.data(), 5, X.data()); });
    EXPECT_TRUE(contains(t, "launch vectorvectorMultiplicationKernel grid(1,1,1) block(5,3,1)"));
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 5; ++c) EXPECT_EQ(X[r * 5 + c], u[r] * w[c]);

    std::vector<double> v = ref::random_vector(512, 3), Y(512);
    t = traced([&] { LA::MultiplyVS2(v.data(), 512, 3.0, Y.data()); });
    EXPECT_TRUE(contains(t, "launch vectorscalarMultiplicationKernel grid(1,1,1) block(512,1,1)"));
    t = traced([&] { LA::MultiplyMS2(v.data(), 16, 32, 3.0, Y.data()); });
    EXPECT_TRUE(contains(t, "launch matrixscalarMultiplicationKernel grid(1,1,1) block(32,16,1)"));
}

TEST_F(Cuda, RowAndColumnMatricesOf600) {
    std::vector<double> a = ref::awkward_vector(600, 9), b = ref::awkward_vector(600, 10);
    std::vector<double> gpu(600), seq(600);
    for (int shape = 0; shape < 2; ++shape) {
        const int rows = shape == 0 ? 1 : 600, cols = shape == 0 ? 600 : 1;
        const Trace t = traced([&] { LA::AddMM2(a.data(), b.data(), rows, cols, gpu.data()); });
        EXPECT_TRUE(contains(t, shape == 0 ? "launch matrixmatrixAdditionKernel grid(38,1,1) block(16,16,1)"
                                           : "launch matrixmatrixAdditionKernel grid(1,38,1) block(16,16,1)"));
        LA::AddMM(a.data(), b.data(), rows, cols, seq.data());
        EXPECT_TRUE(ref::same_bits(gpu, seq));
        LA::SubstractMM2(a.data(), b.data(), rows, cols, gpu.data());
        LA::SubstractMM(a.data(), b.data(), rows, cols, seq.data());
        EXPECT_TRUE(ref::same_bits(gpu, seq));
    }
}

// ---- results --------------------------------------------------------------------

TEST_F(Cuda, ElementWiseBitIdenticalToSequential) {
    const int n = 1031;
    std::vector<double> a = ref::awkward_vector(n, 21), b = ref::awkward_vector(n, 22);
    std::vector<double> gpu(n), seq(n);
    const double s = -0.3;

    LA::MultiplyVS2(a.data(), n, s, gpu.data());
    LA::MultiplyVS(a.data(), n, s, seq.data());
    EXPECT_TRUE(ref::same_bits(gpu, seq)) << "MultiplyVS2";
    LA::AddVV2(a.data(), b.data(), n, gpu.data());
    LA::AddVV(a.data(), b.data(), n, seq.data());
    EXPECT_TRUE(ref::same_bits(gpu, seq)) << "AddVV2";
    LA::SubstractVV2(a.data(), b.data(), n, gpu.data());
    LA::SubstractVV(a.data(), b.data(), n, seq.data());
    EXPECT_TRUE(ref::same_bits(gpu, seq)) << "SubstractVV2";
    for (int i = 0; i < 5; ++i) EXPECT_EQ(gpu[i], a[i] - b[i]);  // V1 - V2, not V2 - V1

    const int rows = 31, cols = 33;  // 1023 elements, 16 x 16 blocks on a 3 x 2 grid
    LA::MultiplyMS2(a.data(), rows, cols, s, gpu.data());
    LA::MultiplyMS(a.data(), rows, cols, s, seq.data());
    EXPECT_TRUE(ref::same_bits(gpu.data(), seq.data(), rows * cols)) << "MultiplyMS2";
    LA::AddMM2(a.data(), b.data(), rows, cols, gpu.data());
    LA::AddMM(a.data(), b.data(), rows, cols, seq.data());
    EXPECT_TRUE(ref::same_bits(gpu.data(), seq.data(), rows * cols)) << "AddMM2";
    LA::SubstractMM2(a.data(), b.data(), rows, cols, gpu.data());
    LA::SubstractMM(a.data(), b.data(), rows, cols, seq.data());
    EXPECT_TRUE(ref::same_bits(gpu.data(), seq.data(), rows * cols)) << "SubstractMM2";
    EXPECT_EQ(gpu[0], a[0] - b[0]);

    std::vector<double> cg(40 * 25), cs(40 * 25);
    LA::CrossVV2(a.data(), 40, b.data(), 25, cg.data());
    LA::CrossVV(a.data(), 40, b.data(), 25, cs.data());
    EXPECT_TRUE(ref::same_bits(cg, cs)) << "CrossVV2";
}

TEST_F(Cuda, ProductsEqualTheFmaReference) {
    for (int n : {1, 2, 7, 17, 40}) {
        const int k = n + 3, m = 2 * n + 1;
        std::vector<double> A = ref::random_vector(n * k, 30 + n), B = ref::random_vector(k * m, 31 + n);
        std::vector<double> gpu(n * m), want(n * m);
        LA::MultiplyMM2(A.data(), n, k, B.data(), m, gpu.data());
        ref::mm_fma(A.data(), n, k, B.data(), m, want.data());
        EXPECT_TRUE(ref::same_bits(gpu, want)) << "MultiplyMM2 n=" << n;

        std::vector<double> v = ref::random_vector(k, 32 + n), y(n), yw(n);
        LA::MultiplyMV2(A.data(), n, v.data(), k, y.data());
        ref::mv_fma(A.data(), n, v.data(), k, yw.data());
        EXPECT_TRUE(ref::same_bits(y, yw)) << "MultiplyMV2 n=" << n;

        std::vector<double> u = ref::random_vector(k, 33 + n), z(m), zw(m);
        LA::MultiplyVM2(u.data(), k, B.data(), m, z.data());
        ref::vm_fma(u.data(), k, B.data(), m, zw.data());
        EXPECT_TRUE(ref::same_bits(z, zw)) << "MultiplyVM2 n=" << n;
    }
}

TEST_F(Cuda, Product2x3By3x4FillsAllEightElements) {
    std::vector<double> a = ref::random_vector(6, 48), b = ref::random_vector(12, 49);
    std::vector<double> gpu(8 + 4, -99.0), seq(8), fused(8);
    LA::MultiplyMM2(a.data(), 2, 3, b.data(), 4, gpu.data());
    LA::MultiplyMM(a.data(), 2, 3, b.data(), 4, seq.data());
    ref::mm_fma(a.data(), 2, 3, b.data(), 4, fused.data());
    EXPECT_TRUE(ref::same_bits(gpu.data(), fused.data(), 8));
    for (int e = 0; e < 8; ++e) EXPECT_NEAR(gpu[e], seq[e], 4e-15 * (1 + std::fabs(seq[e]))) << e;
    for (int e = 8; e < 12; ++e) EXPECT_EQ(gpu[e], -99.0) << "written after X at " << e;
}

TEST_F(Cuda, ProductOutputMayAliasAnInput) {
    const int n = 9;
    std::vector<double> M = ref::random_vector(n * n, 45), N = ref::random_vector(n * n, 46),
                        v = ref::random_vector(n, 47);
    std::vector<double> want(n * n), m = M;
    ref::mm_fma(M.data(), n, n, N.data(), n, want.data());
    LA::MultiplyMM2(m.data(), n, n, N.data(), n, m.data());
    EXPECT_TRUE(ref::same_bits(m, want)) << "X = M1";

    std::vector<double> y = v, yw(n);
    ref::mv_fma(M.data(), n, v.data(), n, yw.data());
    LA::MultiplyMV2(M.data(), n, y.data(), n, y.data());
    EXPECT_TRUE(ref::same_bits(y, yw)) << "X = V (MultiplyMV2)";

    std::vector<double> z = v, zw(n);
    ref::vm_fma(v.data(), n, M.data(), n, zw.data());
    LA::MultiplyVM2(z.data(), n, M.data(), n, z.data());
    EXPECT_TRUE(ref::same_bits(z, zw)) << "X = V (MultiplyVM2)";

    std::vector<double> c = N, cw(n * n);
    LA::AddMM(M.data(), N.data(), n, n, cw.data());
    LA::AddMM2(M.data(), c.data(), n, n, c.data());
    EXPECT_TRUE(ref::same_bits(c, cw)) << "X = M2 (AddMM2)";
}

TEST_F(Cuda, EmptyInnerDimensionGivesZeros) {
    std::vector<double> X(12, 9.0), dummy(1, 1.0);
    LA::MultiplyMM2(dummy.data(), 3, 0, dummy.data(), 4, X.data());
    EXPECT_EQ(X, std::vector<double>(12, 0.0));
    std::vector<double> y(5, 9.0);
    LA::MultiplyMV2(dummy.data(), 5, dummy.data(), 0, y.data());
    EXPECT_EQ(y, std::vector<double>(5, 0.0));
    std::fill(y.begin(), y.end(), 9.0);
    LA::MultiplyVM2(dummy.data(), 0, dummy.data(), 5, y.data());
    EXPECT_EQ(y, std::vector<double>(5, 0.0));
}

TEST_F(Cuda, EmptyResultsMakeNoDeviceCall) {
    double x = 4.0, v = 1.0;
    const Trace t = traced([&] {
        LA::AddVV2(&v, &v, 0, &x);
        LA::MultiplyVS2(&v, -3, 2.0, &x);
        LA::AddMM2(&v, &v, 0, 5, &x);
        LA::CrossVV2(&v, 4, &v, 0, &x);
        LA::MultiplyMM2(&v, 0, 3, &v, 3, &x);
        LA::MultiplyMV2(&v, 0, &v, 3, &x);
        LA::SolveLSE2(&v, &v, &x, 0);
        LA::SolveLSE3(&v, &v, &x, -1);
    });
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(x, 4.0);
}

TEST_F(Cuda, OutputMayAliasAnInput) {
    std::vector<double> a = ref::random_vector(100, 40), b = ref::random_vector(100, 41), want(100);
    LA::SubstractVV(a.data(), b.data(), 100, want.data());
    LA::SubstractVV2(a.data(), b.data(), 100, a.data());
    EXPECT_TRUE(ref::same_bits(a, want));
}

// ---- checkpoints ---------------------------------------------------------------

struct GpuOp {
    const char* name;
    int output;  // elements written
    std::function<void(double* in, double* out)> run;
};

std::vector<GpuOp> all_ops() {
    return {
        {"MultiplyVS2", 30, [](double* i, double* o) { LA::MultiplyVS2(i, 30, 2.0, o); }},
        {"AddVV2", 30, [](double* i, double* o) { LA::AddVV2(i, i + 30, 30, o); }},
        {"SubstractVV2", 30, [](double* i, double* o) { LA::SubstractVV2(i, i + 30, 30, o); }},
        {"CrossVV2", 30, [](double* i, double* o) { LA::CrossVV2(i, 5, i + 5, 6, o); }},
        {"MultiplyMV2", 6, [](double* i, double* o) { LA::MultiplyMV2(i, 6, i + 40, 5, o); }},
        {"MultiplyVM2", 6, [](double* i, double* o) { LA::MultiplyVM2(i + 40, 5, i, 6, o); }},
        {"MultiplyMS2", 30, [](double* i, double* o) { LA::MultiplyMS2(i, 5, 6, 2.0, o); }},
        {"AddMM2", 30, [](double* i, double* o) { LA::AddMM2(i, i + 30, 5, 6, o); }},
        {"SubstractMM2", 30, [](double* i, double* o) { LA::SubstractMM2(i, i + 30, 5, 6, o); }},
        {"MultiplyMM2", 30, [](double* i, double* o) { LA::MultiplyMM2(i, 5, 4, i + 20, 6, o); }},
        {"SolveLSE2", 5, [](double* i, double* o) { LA::SolveLSE2(i, i + 25, o, 5); }},
        {"SolveLSE3", 5, [](double* i, double* o) { LA::SolveLSE3(i, i + 25, o, 5); }},
    };
}

std::vector<double> op_input() {
    std::vector<double> in = ref::random_vector(100, 50);
    for (int r = 0; r < 5; ++r) in[r * 5 + r] += 4.0;  // well-conditioned 5 x 5 for the solvers
    return in;
}

bool is_solver(const GpuOp& op) { return std::string(op.name).rfind("SolveLSE", 0) == 0; }

TEST_F(Cuda, MallocFailureStopsAtCheckpointOne) {
    for (const GpuOp& op : all_ops()) {
        hooks::reset();
        std::vector<double> in = op_input(), out(op.output, -1.5);
        hooks::fail_malloc_at(1);
        const Trace t = traced([&] {
            EXPECT_EQ(printed([&] { op.run(in.data(), out.data()); }), "cudaMalloc error! out of memory\n") << op.name;
        });
        EXPECT_EQ(out, std::vector<double>(op.output, -1.5)) << op.name;
        EXPECT_EQ(count_prefix(t, "memset"), 0) << op.name;
        // The element-wise routines return at once after the message; the
        // solvers release their buffers and reset the device.
        ASSERT_FALSE(t.empty());
        EXPECT_EQ(t.back(), is_solver(op) ? "reset" : "getLastError") << op.name;
        if (is_solver(op)) {
            EXPECT_EQ(hooks::allocations(), 0) << op.name;
        }
        // The next operation's reset discards what was left.
        hooks::trace_clear();
        std::vector<double> out2(op.output, 0.0);
        EXPECT_EQ(printed([&] { op.run(in.data(), out2.data()); }), "") << op.name;
        EXPECT_EQ(hooks::allocations(), 0) << op.name;
    }
}

TEST_F(Cuda, OversizedBuffersFailAtCheckpointOne) {
    hooks::set_memory_capacity(1000);
    std::vector<double> A = ref::random_vector(400, 51), X(400, 2.0);
    EXPECT_EQ(printed([&] { LA::MultiplyMM2(A.data(), 20, 20, A.data(), 20, X.data()); }),
              "cudaMalloc error! out of memory\n");
    EXPECT_EQ(X, std::vector<double>(400, 2.0));
    EXPECT_EQ(printed([&] { LA::SolveLSE2(A.data(), A.data(), X.data(), 15); }), "cudaMalloc error! out of memory\n");
    EXPECT_EQ(X, std::vector<double>(400, 2.0));
    EXPECT_EQ(hooks::allocations(), 0);
}

TEST_F(Cuda, UploadFailureStopsAtCheckpointTwo) {
    for (const GpuOp& op : all_ops()) {
        hooks::reset();
        std::vector<double> in = op_input(), out(op.output, -1.5);
        hooks::fail_copy_at(1);
        const Trace t = traced([&] {
            EXPECT_EQ(printed([&] { op.run(in.data(), out.data()); }), "cudaMemcpy HtD error! invalid argument\n")
                << op.name;
        });
        EXPECT_EQ(out, std::vector<double>(op.output, -1.5)) << op.name;
        EXPECT_EQ(count_prefix(t, "launch"), 0) << op.name;
        EXPECT_EQ(count_prefix(t, "memcpy DtH"), 0) << op.name;
        EXPECT_EQ(hooks::allocations() == 0, is_solver(op)) << op.name;
    }
}

TEST_F(Cuda, ZeroFillFailureIsReportedAtCheckpointTwo) {
    std::vector<double> in = op_input(), out(30, -1.5);
    hooks::fail_memset_at(1);
    EXPECT_EQ(printed([&] { LA::AddVV2(in.data(), in.data() + 30, 30, out.data()); }),
              "cudaMemcpy HtD error! invalid argument\n");
    EXPECT_EQ(out, std::vector<double>(30, -1.5));
}

TEST_F(Cuda, LaunchFailureIsReportedAtCheckpointThreeAndXStaysUntouched) {
    // A kernel fault poisons the device; a refused launch does not, so the
    // device buffer still holds its upload and must not be copied to X.
    const std::pair<cudaError_t, const char*> faults[] = {
        {cudaErrorLaunchFailure, "unspecified launch failure"},
        {cudaErrorInvalidConfiguration, "invalid configuration argument"}};
    for (const auto& [error, text] : faults)
        for (const GpuOp& op : all_ops())
            for (int k : {1, 2, 5}) {
                if (k > 1 && !is_solver(op)) continue;  // one launch each
                hooks::reset();
                std::vector<double> in = op_input(), out(op.output, -1.5);
                hooks::fail_launch_at(k, error);
                EXPECT_EQ(printed([&] { op.run(in.data(), out.data()); }), std::string("cudaMemcpy DtH error! ") + text + "\n")
                    << op.name << " launch " << k;
                EXPECT_EQ(out, std::vector<double>(op.output, -1.5)) << op.name << " launch " << k;
                // Released and reset after the third checkpoint.
                EXPECT_EQ(hooks::allocations(), 0) << op.name;
                EXPECT_EQ(linalg::testhooks::blocks_held(), 0) << op.name;
            }
}

TEST_F(Cuda, DownloadFailureIsReportedAtCheckpointThree) {
    std::vector<double> in = op_input(), out(30, -1.5);
    hooks::fail_copy_at(3);  // two uploads, then the download
    EXPECT_EQ(printed([&] { LA::AddVV2(in.data(), in.data() + 30, 30, out.data()); }),
              "cudaMemcpy DtH error! invalid argument\n");
    EXPECT_EQ(hooks::allocations(), 0);
}

TEST_F(Cuda, RowBlocksBeyondGridYContinueInGridZ) {
    // 2,000,000 rows are 125,000 row blocks of 16, more than grid.y's 65,535:
    // they run as 62,500 x 2 in y and z and every row is computed.
    const int rows = 2000000;
    std::vector<double> a = ref::random_vector(rows, 150), b = ref::random_vector(rows, 151), want(rows);
    const double s2 = 0.5;
    struct Big {
        const char* name;
        std::function<void(double*)> gpu, cpu;
    };
    const Big ops[] = {
        {"MultiplyMS2", [&](double* x) { LA::MultiplyMS2(a.data(), rows, 1, 3.0, x); },
         [&](double* x) { LA::MultiplyMS(a.data(), rows, 1, 3.0, x); }},
        {"AddMM2", [&](double* x) { LA::AddMM2(a.data(), b.data(), rows, 1, x); },
         [&](double* x) { LA::AddMM(a.data(), b.data(), rows, 1, x); }},
        {"SubstractMM2", [&](double* x) { LA::SubstractMM2(a.data(), b.data(), rows, 1, x); },
         [&](double* x) { LA::SubstractMM(a.data(), b.data(), rows, 1, x); }},
        {"CrossVV2", [&](double* x) { LA::CrossVV2(a.data(), rows, const_cast<double*>(&s2), 1, x); },
         [&](double* x) { LA::CrossVV(a.data(), rows, const_cast<double*>(&s2), 1, x); }},
        {"MultiplyMM2", [&](double* x) { LA::MultiplyMM2(a.data(), rows, 1, b.data(), 1, x); },
         [&](double* x) {
             for (int i = 0; i < rows; ++i) x[i] = std::fma(a[i], b[0], 0.0);
         }},
    };
    for (const Big& op : ops) {
        std::vector<double> x(rows, -1.5);
        const Trace t = traced([&] { EXPECT_EQ(printed([&] { op.gpu(x.data()); }), "") << op.name; });
        EXPECT_EQ(count_prefix(t, "launch"), 1) << op.name;
        for (const std::string& line : t)
            if (line.rfind("launch", 0) == 0) {
                EXPECT_NE(line.find(" grid(1,62500,2) block(16,16,1)"), std::string::npos) << line;
            }
        op.cpu(want.data());
        EXPECT_TRUE(ref::same_bits(x, want)) << op.name;
    }
    // The split itself: the smallest z, the rows covered, small grids as before.
    EXPECT_EQ(linalg::grid_2d(3, 65535).y, 65535u);
    EXPECT_EQ(linalg::grid_2d(3, 65535).z, 1u);
    const dim3 g = linalg::grid_2d(7, 65536 * 3LL);
    EXPECT_EQ(g.x, 7u);
    EXPECT_EQ(g.z, 4u);
    EXPECT_EQ(g.y, 49152u);
    const dim3 h = linalg::grid_2d(1, 134217728LL);  // INT_MAX rows / 16
    EXPECT_LE(h.y, 65535u);
    EXPECT_GE(static_cast<long long>(h.y) * h.z, 134217728LL);
}

TEST_F(Cuda, NoDeviceMemoryLeftAfterTwoOperations) {
    std::vector<double> A = ref::random_matrix(20, 60), B = ref::random_vector(20, 61), X(20), Y(400);
    LA::MultiplyMM2(A.data(), 20, 20, A.data(), 20, Y.data());
    LA::SolveLSE3(A.data(), B.data(), X.data(), 20);
    EXPECT_EQ(hooks::allocations(), 0);
    EXPECT_EQ(hooks::bytes_allocated(), 0u);
    LA::SolveLSE2(A.data(), B.data(), X.data(), 20);
    LA::AddVV2(A.data(), B.data(), 20, X.data());
    EXPECT_EQ(hooks::allocations(), 0);
    EXPECT_EQ(hooks::bank_config(), cudaSharedMemBankSizeDefault);  // reset restores the banks
}

// ---- device selection -------------------------------------------------------------

TEST_F(Cuda, InitCudaRejectsAnInvalidNumber) {
    hooks::set_devices({{6, 1}, {7, 0}});
    for (int dev : {2, -1, 100}) {
        StdinFeed feed("xy");
        int result = 0;
        EXPECT_EQ(printed([&] { result = LA::Init_CUDA(dev); }),
                  "GPU=" + std::to_string(dev) + " is not a valid Coprocessor Device!\n\nPress <Enter>...");
        EXPECT_EQ(result, -1);
        EXPECT_EQ(feed.rest(), "y");  // exactly one character read
        EXPECT_EQ(hooks::current_device(), 0);
    }
}

TEST_F(Cuda, InitCudaWithoutAnyDevice) {
    hooks::set_devices({});
    for (int dev : {0, 1, -1}) {
        StdinFeed feed("\nq");
        int result = 0;
        EXPECT_EQ(printed([&] { result = LA::Init_CUDA(dev); }),
                  "GPU=" + std::to_string(dev) + " is not a valid Coprocessor Device!\n\nPress <Enter>...");
        EXPECT_EQ(result, -1);
        EXPECT_EQ(feed.rest(), "q");
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // the failed query is not left behind
    }
}

TEST_F(Cuda, InitCudaRejectsCapability30) {
    hooks::set_devices({{6, 1}, {3, 0}});
    StdinFeed feed("ab");
    int result = 0;
    EXPECT_EQ(printed([&] { result = LA::Init_CUDA(1); }),
              "GPU=1 is not supported for double precision operations!\n"
              "GPU compute capability (3.0) is lower than expected (2.0).\n"
              "\nPress <Enter>...");
    EXPECT_EQ(result, 30);
    EXPECT_EQ(feed.rest(), "b");
    EXPECT_EQ(hooks::current_device(), 0);
}

TEST_F(Cuda, InitCudaSelects35And61Silently) {
    hooks::set_devices({{3, 5}, {6, 1}});
    StdinFeed feed("z");
    int result = 0;
    EXPECT_EQ(printed([&] { result = LA::Init_CUDA(1); }), "");
    EXPECT_EQ(result, 61);
    EXPECT_EQ(hooks::current_device(), 1);
    EXPECT_EQ(printed([&] { result = LA::Init_CUDA(0); }), "");
    EXPECT_EQ(result, 35);
    EXPECT_EQ(hooks::current_device(), 0);
    EXPECT_EQ(feed.rest(), "z");  // nothing read

    // Later operations run on the selected device.
    LA::Init_CUDA(1);
    double v[3] = {1, 2, 3}, x[3];
    const Trace t = traced([&] { LA::MultiplyVS2(v, 3, 2.0, x); });
    EXPECT_EQ(x[2], 6.0);
    EXPECT_EQ(hooks::current_device(), 1);
    EXPECT_FALSE(t.empty());
}

// ---- solver kernels ---------------------------------------------------------------

// Runs MAXd_CU on column `col` of an n x (n+1) matrix from row `start`.
// `flag` receives the singularity flag p[n].
std::pair<int, double> pivot_of(std::vector<double> w, int n, int col, int start, int* flag = nullptr) {
    std::vector<double> v(n, 0.0);
    std::vector<int> p(n + 1, -1);
    p[n] = 0;
    const int T = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(n - start))));
    linalg::launch_kernel("MAXd_CU", MAXd_CU, {dim3(1), dim3(static_cast<unsigned>(T))}, w.data(), v.data(), p.data(),
                          n, col, start, T);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    if (flag) *flag = p[n];
    return {p[col], v[col]};
}

std::vector<double> column_matrix(const std::vector<double>& column) {
    const int n = static_cast<int>(column.size());
    std::vector<double> w(static_cast<std::size_t>(n) * (n + 1), 0.0);
    for (int r = 0; r < n; ++r) w[r * (n + 1)] = column[r];
    return w;
}

TEST_F(Cuda, PivotSearchChunksAndTies) {
    using hooks::ThreadOrder;
    for (ThreadOrder order : {ThreadOrder::forward, ThreadOrder::reversed, ThreadOrder::shuffled}) {
        hooks::set_thread_order(order, 9);
        // Four rows, two threads of two rows: the maximum sits in the last row.
        EXPECT_EQ(pivot_of(column_matrix({0, 0, 0, 1}), 4, 0, 0), std::make_pair(3, 1.0));
        // Equal magnitude, opposite sign, in one chunk and across chunks:
        // the upper row wins and the signed value is reported.
        EXPECT_EQ(pivot_of(column_matrix({1, -2, 2, 0}), 4, 0, 0), std::make_pair(1, -2.0));
        EXPECT_EQ(pivot_of(column_matrix({1, 0, 0, 5, -5, 5, 0, 0, 0}), 9, 0, 0), std::make_pair(3, 5.0));
        EXPECT_EQ(pivot_of(column_matrix({0, 0, -5, 0, 0, 5, 0, 0, 0}), 9, 0, 0), std::make_pair(2, -5.0));
        // Rows above `start` are ignored; 10 rows left -> 4 threads, the
        // last chunk is partly empty and the next ones empty.
        std::vector<double> col(13, 0.0);
        col[0] = 100.0;
        col[12] = -0.5;
        col[7] = 0.25;
        EXPECT_EQ(pivot_of(column_matrix(col), 13, 0, 3), std::make_pair(12, -0.5));
        // A NaN never displaces a candidate.
        EXPECT_EQ(pivot_of(column_matrix({1, std::nan(""), 3, 2}), 4, 0, 0), std::make_pair(2, 3.0));
        // All zero: the first row of the range, and the singularity flag;
        // below the CPU solvers' threshold of 1e-12 too, but not at it.
        int flag = 0;
        EXPECT_EQ(pivot_of(column_matrix(std::vector<double>(7, 0.0)), 7, 0, 2, &flag).first, 2);
        EXPECT_EQ(flag, 1);
        // (The threshold applies in the row's scale: rows whose other
        // element brings their sum to about 1 keep it as it is.)
        std::vector<double> w = column_matrix({0, -9.9e-13, 0, 0});
        w[1 * 5 + 1] = 1.0;
        pivot_of(w, 4, 0, 0, &flag);
        EXPECT_EQ(flag, 1);
        w[1 * 5] = -1e-12;
        pivot_of(w, 4, 0, 0, &flag);
        EXPECT_EQ(flag, 0);
        pivot_of(column_matrix({std::nan(""), 0, 0, 0}), 4, 0, 0, &flag);
        EXPECT_EQ(flag, 0);
    }
}

TEST_F(Cuda, PivotSearchOnLargeColumnsMatchesAScan) {
    for (int n : {1, 2, 5, 16, 17, 100, 1000}) {
        std::vector<double> col = ref::random_vector(n, 70 + n);
        for (int i = 0; i < n; i += 3) col[i] = std::round(col[i] * 4) / 4;  // plenty of ties
        for (int start : {0, n / 3, n - 1}) {
            int best = start;
            for (int r = start + 1; r < n; ++r)
                if (std::fabs(col[r]) > std::fabs(col[best])) best = r;
            EXPECT_EQ(pivot_of(column_matrix(col), n, 0, start), std::make_pair(best, col[best])) << n << " " << start;
        }
    }
}

// Row sum after SCALEd_CU of one row [values..., rhs].
std::vector<double> scaled_row(const std::vector<double>& row) {
    std::vector<double> w = row;
    const int n = static_cast<int>(row.size()) - 1;
    // One row of an n x (n+1) matrix: n = 1 row launched with only row 0 set
    // would need a square matrix, so pass n rows with the others zero.
    std::vector<double> m(static_cast<std::size_t>(n) * (n + 1), 0.0);
    std::copy(row.begin(), row.end(), m.begin());
    linalg::launch_kernel("SCALEd_CU", SCALEd_CU, {dim3(1), dim3(256)}, m.data(), n, n + 1, std::log(2.0));
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return std::vector<double>(m.begin(), m.begin() + n + 1);
}

TEST_F(Cuda, RowScalingByPowersOfTwo) {
    EXPECT_EQ(scaled_row({1.0, 2.0, 7.0}), (std::vector<double>{0.25, 0.5, 1.75}));        // s = 3: 1/4
    EXPECT_EQ(scaled_row({0.1, -0.2, 1.0}), (std::vector<double>{0.2, -0.4, 2.0}));        // s = 0.3: 2
    EXPECT_EQ(scaled_row({5e-11, 0.0, 3.0}), (std::vector<double>{5e-11, 0.0, 3.0}));     // tiny: unscaled
    EXPECT_EQ(scaled_row({0.25, 0.5, 9.0}), (std::vector<double>{0.25, 0.5, 9.0}));       // in [0.5, 1]
    EXPECT_EQ(scaled_row({0.0, 0.0, 4.0}), (std::vector<double>{0.0, 0.0, 4.0}));         // zero row
    const std::vector<double> big = scaled_row({3e12, -1e12, 1.0});
    const double s = std::fabs(big[0]) + std::fabs(big[1]);
    EXPECT_GE(s, 0.5);
    EXPECT_LE(s, 1.0);
}

TEST_F(Cuda, RowScalingExponentBranchesAndBounds) {
    // Sum exactly 1e-10 is still "tiny"; sums of exactly 0.5 and 1.0 lie in
    // the target range; a NaN sum leaves the row alone.
    EXPECT_EQ(scaled_row({1e-10, 0.0, 5.0}), (std::vector<double>{1e-10, 0.0, 5.0}));
    EXPECT_EQ(scaled_row({0.25, 0.25, 7.0}), (std::vector<double>{0.25, 0.25, 7.0}));
    EXPECT_EQ(scaled_row({0.5, -0.5, 7.0}), (std::vector<double>{0.5, -0.5, 7.0}));
    const std::vector<double> nan_row = scaled_row({std::nan(""), 1.0, 3.0});
    EXPECT_TRUE(std::isnan(nan_row[0]));
    EXPECT_EQ(nan_row[1], 1.0);
    EXPECT_EQ(nan_row[2], 3.0);
    // s = 0.25: t = -1 exactly, so k = -1 and the factor is 2 (not 4).
    EXPECT_EQ(scaled_row({0.125, -0.125, 3.0}), (std::vector<double>{0.25, -0.25, 6.0}));
    // t a hair below -1 (within 1e-10) still counts as -1: factor 2.
    const double below = 0.25 - std::ldexp(1.0, -45);
    EXPECT_EQ(scaled_row({below, 0.0, 1.0}), (std::vector<double>{2 * below, 0.0, 2.0}));
    // For t >= 0 there is no such tolerance: t a hair below 2 gives k = 1,
    // factor 1/2, and a sum just under 1.
    const double two = 2.0 - std::ldexp(1.0, -40);
    EXPECT_EQ(scaled_row({two, 0.0, 1.0}), (std::vector<double>{two / 2, 0.0, 0.5}));
    // Sum 2: t = 2 exactly, k = 2, factor 1/4.
    EXPECT_EQ(scaled_row({1.5, 0.5, 1.0}), (std::vector<double>{0.375, 0.125, 0.25}));
}

// ---- solvers ---------------------------------------------------------------------

using Solver = void (*)(double*, double*, double*, int);
const Solver kGpuSolvers[] = {&LA::SolveLSE2, &LA::SolveLSE3};

TEST_F(Cuda, SolversOnTheSmallExamples) {
    for (Solver solve : kGpuSolvers) {
        double a1[1] = {4.0}, b1[1] = {3.0}, x1[1] = {0};
        solve(a1, b1, x1, 1);
        EXPECT_DOUBLE_EQ(x1[0], 0.75);

        double a2[4] = {0, 1, 1, 0}, b2[2] = {2, 3}, x2[2] = {0, 0};
        solve(a2, b2, x2, 2);
        EXPECT_EQ(x2[0], 3.0);
        EXPECT_EQ(x2[1], 2.0);

        double p[16] = {0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0}, b4[4] = {1, 2, 3, 4}, x4[4];
        solve(p, b4, x4, 4);
        EXPECT_EQ(std::vector<double>(x4, x4 + 4), (std::vector<double>{4, 2, 3, 1}));

        std::vector<double> I(36, 0.0), b6 = ref::random_vector(6, 80), x6(6);
        for (int i = 0; i < 6; ++i) I[i * 7] = 1.0;
        solve(I.data(), b6.data(), x6.data(), 6);
        EXPECT_TRUE(ref::same_bits(x6, b6));

        // Equal magnitude, opposite sign: the upper row is the pivot.
        double a3[4] = {1, 2, -1, 3}, b3[2] = {3, 2}, x3[2];
        solve(a3, b3, x3, 2);
        EXPECT_NEAR(x3[0], 1.0, 1e-15);
        EXPECT_NEAR(x3[1], 1.0, 1e-15);
    }
}

TEST_F(Cuda, SolversOnRandomSystemsAgainstSolveLSE) {
    for (int n : {2, 3, 5, 10, 50, 130}) {
        std::vector<double> A = ref::random_matrix(n, 90 + n), B = ref::random_vector(n, 91 + n);
        std::vector<double> xs(n), x2(n), x3(n);
        LA::SolveLSE(A.data(), B.data(), xs.data(), n);
        LA::SolveLSE2(A.data(), B.data(), x2.data(), n);
        LA::SolveLSE3(A.data(), B.data(), x3.data(), n);
        const double rs = ref::solve_ratio(A.data(), xs.data(), B.data(), n);
        const double r2 = ref::solve_ratio(A.data(), x2.data(), B.data(), n);
        const double r3 = ref::solve_ratio(A.data(), x3.data(), B.data(), n);
        EXPECT_LT(r2, 30.0) << "SolveLSE2 n=" << n;
        EXPECT_LT(r3, 30.0) << "SolveLSE3 n=" << n;
        EXPECT_LT(rs, 30.0) << "SolveLSE n=" << n;
        for (int i = 0; i < n; ++i) {
            EXPECT_NEAR(x2[i], xs[i], 1e-10 * (1 + std::fabs(xs[i])));
            EXPECT_NEAR(x3[i], xs[i], 1e-10 * (1 + std::fabs(xs[i])));
        }
    }
}

TEST_F(Cuda, Order300AgreesWithTheSequentialSolver) {
    const int n = 300;
    std::vector<double> A = ref::random_matrix(n, 300), B = ref::random_vector(n, 301), x2(n), x3(n);
    LA::SolveLSE2(A.data(), B.data(), x2.data(), n);
    LA::SolveLSE3(A.data(), B.data(), x3.data(), n);
    EXPECT_LT(ref::solve_ratio(A.data(), x2.data(), B.data(), n), 30.0);
    EXPECT_LT(ref::solve_ratio(A.data(), x3.data(), B.data(), n), 30.0);
    std::vector<double> xs(n);
    LA::SolveLSE(A.data(), B.data(), xs.data(), n);
    for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(x2[i], x3[i], 1e-10 * (1 + std::fabs(x3[i])));
        EXPECT_NEAR(x3[i], xs[i], 1e-10 * (1 + std::fabs(xs[i])));
    }
}

TEST_F(Cuda, RowsOfVeryDifferentMagnitude) {
    const int n = 12;
    std::vector<double> A = ref::random_matrix(n, 110), B = ref::random_vector(n, 111);
    std::vector<double> As = A, Bs = B;
    for (int c = 0; c < n; ++c) As[5 * n + c] *= 1e12;
    Bs[5] *= 1e12;
    for (Solver solve : kGpuSolvers) {
        std::vector<double> x(n), xs(n);
        solve(A.data(), B.data(), x.data(), n);
        solve(As.data(), Bs.data(), xs.data(), n);
        for (int i = 0; i < n; ++i) EXPECT_NEAR(xs[i], x[i], 1e-12 * (1 + std::fabs(x[i])));
    }
}

// The GPU solvers refuse a system exactly when the CPU solvers do (a pivot
// below the threshold in its row's scale) and otherwise agree with them, at
// every scale: uniformly scaled systems, rows of scales far apart, singular
// ones.
TEST_F(Cuda, ScaledSystemsAreSolvedWhereverTheCpuSolversSolveThem) {
    const int n = 6;
    const std::vector<double> R = ref::random_matrix(n, 120), Rb = ref::random_vector(n, 121);
    for (double s : {1e-300, 1e-200, 1e-13, 1e-11, 1.0, 1e13, 1e300}) {
        std::vector<std::pair<std::vector<double>, std::vector<double>>> systems = {
            {{2 * s, s, s, 3 * s}, {s, 2 * s}}, {{s, 2 * s, 2 * s, 4 * s}, {s, s}}, {R, Rb}};
        for (int i = 0; i < n; ++i) {  // rows from s * 2^-20 to s * 2^20
            for (int j = 0; j < n; ++j) systems[2].first[i * n + j] *= std::ldexp(s, 8 * i - 20);
            systems[2].second[i] *= std::ldexp(s, 8 * i - 20);
        }
        for (auto& [A, B] : systems) {
            const int m = static_cast<int>(B.size());
            std::vector<double> xc(m, -7.0);
            const std::string cpu = printed([&] { LA::SolveLSE(A.data(), B.data(), xc.data(), m); });
            const std::function<void(double*)> gpu[] = {
                [&](double* x) { LA::SolveLSE2(A.data(), B.data(), x, m); },
                [&](double* x) { LA::SolveLSE3(A.data(), B.data(), x, m); },
                [&](double* x) { LA::SolveLSEauto(A.data(), B.data(), x, m, 1, m + 1); },
                [&](double* x) { LA::SolveLSEauto(A.data(), B.data(), x, m, 1, 1); }};
            for (const auto& solve : gpu) {
                std::vector<double> x(m, -7.0);
                EXPECT_EQ(printed([&] { solve(x.data()); }), cpu) << "s=" << s << " m=" << m;
                for (int i = 0; i < m; ++i) EXPECT_NEAR(x[i], xc[i], 1e-12 * std::fabs(xc[i])) << "s=" << s << " m=" << m;
            }
        }
    }
}

TEST_F(Cuda, SingularSystemIsReportedAndXStaysUntouched) {
    for (Solver solve : kGpuSolvers) {
        // Two equal rows whose elimination leaves an exactly zero pivot.
        double A[4] = {1, 1, 1, 1}, B[2] = {1, 2}, X[2] = {7, 7};
        EXPECT_EQ(printed([&] { solve(A, B, X, 2); }), "ERROR! Singular system!");
        EXPECT_EQ(X[0], 7.0);
        EXPECT_EQ(X[1], 7.0);
        // Rounding leaves a tiny pivot here, as in SolveLSE.
        double A3[9] = {1, 2, 3, 1, 2, 3, 0, 1, 5}, B3[3] = {1, 2, 3}, X3[3] = {7, 7, 7};
        EXPECT_EQ(printed([&] { solve(A3, B3, X3, 3); }), "ERROR! Singular system!");
        EXPECT_EQ(std::vector<double>(X3, X3 + 3), std::vector<double>(3, 7.0));
        // A zero row of a larger system, and the device is clean afterwards.
        std::vector<double> An = ref::random_matrix(40, 160), Bn = ref::random_vector(40, 161), Xn(40, 7.0);
        std::fill(An.begin() + 17 * 40, An.begin() + 18 * 40, 0.0);
        EXPECT_EQ(printed([&] { solve(An.data(), Bn.data(), Xn.data(), 40); }), "ERROR! Singular system!");
        EXPECT_EQ(Xn, std::vector<double>(40, 7.0));
        EXPECT_EQ(hooks::allocations(), 0);
        EXPECT_EQ(linalg::testhooks::blocks_held(), 0);
    }
}

TEST_F(Cuda, SolutionMayOverwriteB) {
    const int n = 20;
    std::vector<double> A = ref::random_matrix(n, 120), B = ref::random_vector(n, 121);
    for (Solver solve : kGpuSolvers) {
        std::vector<double> want(n), b = B;
        solve(A.data(), B.data(), want.data(), n);
        solve(A.data(), b.data(), b.data(), n);
        EXPECT_TRUE(ref::same_bits(b, want));
    }
}

TEST_F(Cuda, HybridLeavesXUntouchedAfterAFailedDownload) {
    // The copy of the eliminated system fails: no back substitution.
    const int n = 7;
    std::vector<double> A = ref::random_matrix(n, 132), B = ref::random_vector(n, 133), X(n, -1234.5);
    hooks::fail_copy_at(4);  // two uploads, the flag, then the system
    EXPECT_EQ(printed([&] { LA::SolveLSE3(A.data(), B.data(), X.data(), n); }),
              "cudaMemcpy DtH error! invalid argument\n");
    EXPECT_EQ(X, std::vector<double>(n, -1234.5));
    EXPECT_EQ(hooks::allocations(), 0);
    EXPECT_EQ(linalg::testhooks::blocks_held(), 0);
}

TEST_F(Cuda, HybridHostBufferFailureLeavesXUntouched) {
    const int n = 6;
    std::vector<double> A = ref::random_matrix(n, 130), B = ref::random_vector(n, 131), X(n, 8.0);
    linalg::testhooks::fail_alloc_at(1);
    const std::string text = printed([&] { LA::SolveLSE3(A.data(), B.data(), X.data(), n); });
    linalg::testhooks::reset_alloc_counters();
    EXPECT_NE(text.find("ERROR! Not enough memory"), std::string::npos) << text;
    EXPECT_EQ(X, std::vector<double>(n, 8.0));
    EXPECT_EQ(hooks::allocations(), 0);
    EXPECT_EQ(linalg::testhooks::blocks_held(), 0);
}

// ---- automatic choice ---------------------------------------------------------------

TEST_F(Cuda, AutoChoosesBySize) {
    auto run = [](int n, int n1, int n2, std::vector<double>* x) {
        std::vector<double> A = ref::random_matrix(n, 140 + n), B = ref::random_vector(n, 141 + n);
        x->assign(n, 0.0);
        const Trace t = traced([&] { LA::SolveLSEauto(A.data(), B.data(), x->data(), n, n1, n2); });
        EXPECT_LT(ref::solve_ratio(A.data(), x->data(), B.data(), n), 30.0) << n;
        return t;
    };
    std::vector<double> x;
    EXPECT_TRUE(run(10, 50, 500, &x).empty());  // sequential: no device call at all
    Trace t = run(100, 50, 500, &x);
    EXPECT_EQ(count_prefix(t, "launch SUBROWSd_CU"), 100);
    EXPECT_EQ(count_prefix(t, "launch SUBSUBROWSd_CU"), 0);
    t = run(500, 50, 500, &x);
    EXPECT_EQ(count_prefix(t, "launch SUBSUBROWSd_CU"), 500);
    EXPECT_EQ(count_prefix(t, "launch SUBROWSd_CU"), 0);
    // nDim == n1 is not the sequential branch; with n1 > n2 Gauss-Jordan never runs.
    EXPECT_FALSE(run(50, 50, 500, &x).empty());
    t = run(20, 10, 5, &x);
    EXPECT_EQ(count_prefix(t, "launch SUBSUBROWSd_CU"), 20);
}

TEST_F(Cuda, AutoReportsASingularSystemOnEveryBranch) {
    double A[9] = {1, 2, 3, 1, 2, 3, 0, 1, 5}, B[3] = {1, 2, 3}, X[3] = {0, 0, 0};
    for (const auto& [n1, n2] : {std::pair<int, int>{10, 20}, {2, 20}, {2, 3}})
        EXPECT_EQ(printed([&] { LA::SolveLSEauto(A, B, X, 3, n1, n2); }), "ERROR! Singular system!") << n1 << " " << n2;
    EXPECT_EQ(std::vector<double>(X, X + 3), std::vector<double>(3, 0.0));
}

} // namespace

#endif
