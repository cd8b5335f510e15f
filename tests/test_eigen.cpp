// Eigen-solvers: Jacobi, Householder-QL and the unsymmetric QR solver.
#include "testhooks.h"
#include "linalg.h"
#include "eigen/eigen.h"
#include "base/work_memory.h"
#include "kernels/kernels.h"
#include "support/ref_eigen.h"
#include "support/reference.h"

#include <lapacke.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using LinearAlgebra::LA;

#ifndef LINALG_TEST_EMULATOR
#define LINALG_TEST_EMULATOR ""
#endif

namespace {

// Death tests start this program again ("threadsafe"); a cross-built one
// runs under an emulator that a re-executed child would not get, so there
// the child is forked without exec ("fast").
const char* death_test_style() { return LINALG_TEST_EMULATOR[0] != '\0' ? "fast" : "threadsafe"; }


const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kEps = std::numeric_limits<double>::epsilon();
constexpr double kSentinel = -12345.5;
constexpr double kRsqrt2 = 0.70710678118654752440;

using SymmSolver = void (*)(double*, int, double*, double*);

struct SymmCase {
    const char* name;
    SymmSolver solve;
};
const SymmCase kSymmSolvers[] = {{"Jacobi", &LA::EigenSymmSystemMsqJ}, {"HQL", &LA::EigenSymmSystemMsqH}};

struct SymmResult {
    std::vector<double> eV, eM;
};

SymmResult solve_symm(SymmSolver solve, std::vector<double> M) {
    const int n = static_cast<int>(std::lround(std::sqrt(static_cast<double>(M.size()))));
    SymmResult r{std::vector<double>(n, kSentinel), std::vector<double>(M.size(), kSentinel)};
    solve(M.data(), n, r.eV.data(), r.eM.data());
    return r;
}

// Random symmetric matrix, entries uniform in [-1, 1).
std::vector<double> random_symmetric(int n, std::uint64_t salt) {
    std::vector<double> A = ref::random_vector(static_cast<std::size_t>(n) * n, salt);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < i; ++j) A[i * n + j] = A[j * n + i];
    return A;
}

double norm1(const std::vector<double>& A, int n) {
    double best = 0.0;
    for (int j = 0; j < n; ++j) {
        double s = 0.0;
        for (int i = 0; i < n; ++i) s += std::fabs(A[i * n + j]);
        best = std::max(best, s);
    }
    return best;
}

// ||A V - V diag(eV)||_1 / (||A||_1 n eps)
double eigen_residual_ratio(const std::vector<double>& A, const SymmResult& r, int n) {
    std::vector<double> R(static_cast<std::size_t>(n) * n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            long double s = 0.0L;
            for (int k = 0; k < n; ++k) s += static_cast<long double>(A[i * n + k]) * r.eM[k * n + j];
            R[i * n + j] = static_cast<double>(s - static_cast<long double>(r.eM[i * n + j]) * r.eV[j]);
        }
    return norm1(R, n) / (norm1(A, n) * n * kEps);
}

// ||V^T V - I||_1 / (n eps)
double orthonormality_ratio(const std::vector<double>& V, int n) {
    std::vector<double> R(static_cast<std::size_t>(n) * n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            long double s = 0.0L;
            for (int k = 0; k < n; ++k) s += static_cast<long double>(V[k * n + i]) * V[k * n + j];
            R[i * n + j] = static_cast<double>(s - (i == j ? 1.0L : 0.0L));
        }
    return norm1(R, n) / (n * kEps);
}

// Runs `call` with standard output redirected to standard error, so that a
// death test can match what the process printed before it ended.
void with_stdout_on_stderr(const std::function<void()>& call) {
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    call();
}

const char* fatal_regex(const char* reason) {
    static std::string s;
    s = std::string("NR run-time error\\.\\.\\.\n") + reason + "\n\\.\\.\\.now exiting to system\\.\\.\\.\n";
    return s.c_str();
}

} // namespace

// ---- shared pieces ------------------------------------------------------------

TEST(EigenShared, EigsrtSortsDescendingAndMovesColumns) {
    // d[1..4] = 1, 4, 2, 3 with column k of v holding the marker k.
    const int n = 4;
    double d[5] = {0, 1, 4, 2, 3};
    std::vector<std::vector<double>> rows(n + 1, std::vector<double>(n + 1, 0.0));
    std::vector<double*> v(n + 1);
    for (int r = 0; r <= n; ++r) v[r] = rows[r].data();
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) v[r][c] = 10.0 * r + c;
    linalg::eigsrt(d, v.data(), n);
    EXPECT_EQ(std::vector<double>(d + 1, d + 5), (std::vector<double>{4, 3, 2, 1}));
    const int from[5] = {0, 2, 4, 3, 1};  // column i now holds old column from[i]
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) EXPECT_EQ(v[r][c], 10.0 * r + from[c]) << r << "," << c;
}

TEST(EigenShared, EigsrtMovesTheLastOfEqualValuesForward) {
    // Three equal values: the greater-or-equal test picks the highest index,
    // so the columns (1, 2, 3) become (3, 2, 1) after the first step and
    // (3, 1, 2) after the second.
    const int n = 3;
    double d[4] = {0, 7, 7, 7};
    std::vector<std::vector<double>> rows(n + 1, std::vector<double>(n + 1, 0.0));
    std::vector<double*> v(n + 1);
    for (int r = 0; r <= n; ++r) v[r] = rows[r].data();
    for (int c = 1; c <= n; ++c) v[1][c] = c;
    linalg::eigsrt(d, v.data(), n);
    EXPECT_EQ(v[1][1], 3.0);
    EXPECT_EQ(v[1][2], 1.0);
    EXPECT_EQ(v[1][3], 2.0);
}

TEST(EigenShared, EigsrtRowsIsEigsrtOnTheTranspose) {
    // Values with ties; rows of w hold the columns of v.
    const int n = 7;
    const double d0[n + 1] = {0, 2, -1, 5, 2, 5, 0, -3};
    double dc[n + 1], dr[n + 1];
    std::copy(d0, d0 + n + 1, dc);
    std::copy(d0, d0 + n + 1, dr);
    std::vector<std::vector<double>> vrows(n + 1, std::vector<double>(n + 1, 0.0)), wrows = vrows;
    std::vector<double*> v(n + 1), w(n + 1);
    for (int r = 0; r <= n; ++r) {
        v[r] = vrows[r].data();
        w[r] = wrows[r].data();
    }
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) v[r][c] = w[c][r] = 100.0 * r + c;
    const std::vector<double*> before = w;
    linalg::eigsrt(dc, v.data(), n);
    linalg::eigsrt_rows(dr, w.data(), n);
    EXPECT_TRUE(ref::same_bits(dc + 1, dr + 1, n));
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) EXPECT_EQ(w[c][r], v[r][c]) << r << "," << c;
    // Rows move by exchanging pointers: row 0 stays, the set of rows is kept.
    EXPECT_EQ(w[0], before[0]);
    EXPECT_TRUE(std::is_permutation(w.begin(), w.end(), before.begin()));
    EXPECT_NE(w, before);
}

TEST(EigenShared, TransposeAndStoreEigensystem) {
    const int n = 5;
    const std::vector<double> A = ref::random_vector(n * n, 41);
    std::vector<std::vector<double>> rows(n + 1, std::vector<double>(n + 1, kSentinel));
    std::vector<double*> a(n + 1);
    for (int r = 0; r <= n; ++r) a[r] = rows[r].data();
    linalg::copy_to_work(A.data(), n, a.data());
    linalg::transpose_work(a.data(), n);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) EXPECT_EQ(a[i][j], A[(j - 1) * n + (i - 1)]) << i << "," << j;
    for (int i = 0; i <= n; ++i) {
        EXPECT_EQ(a[0][i], kSentinel);
        EXPECT_EQ(a[i][0], kSentinel);
    }
    const double d[n + 1] = {kSentinel, 0.5, -1.5, 2.5, -3.5, 4.5};
    std::vector<double> eV(n + 1, kSentinel), X(n * n, kSentinel);
    linalg::store_eigensystem(d, a.data(), n, eV.data(), X.data());
    EXPECT_TRUE(ref::same_bits(X, A));
    EXPECT_TRUE(ref::same_bits(eV.data(), d + 1, n));
    EXPECT_EQ(eV[n], kSentinel);
}

TEST(EigenShared, PythagAvoidsOverflowAndUnderflow) {
    EXPECT_EQ(linalg::pythag(3.0, 4.0), 5.0);
    EXPECT_EQ(linalg::pythag(-4.0, 3.0), 5.0);
    EXPECT_EQ(linalg::pythag(0.0, 0.0), 0.0);
    EXPECT_EQ(linalg::pythag(0.0, -2.5), 2.5);
    EXPECT_EQ(linalg::pythag(-2.5, 0.0), 2.5);
    EXPECT_NEAR(linalg::pythag(1e200, 1e200) / 1e200, 1.4142135623730951, 1e-15);
    EXPECT_NEAR(linalg::pythag(3e-200, 4e-200) / 1e-200, 5.0, 1e-14);
    EXPECT_EQ(linalg::pythag(1e300, 1.0), 1e300);
}

TEST(EigenShared, FatalErrorPrintsThreeLinesAndExitsWithOne) {
    GTEST_FLAG_SET(death_test_style, death_test_style());
    EXPECT_EXIT(with_stdout_on_stderr([] { linalg::fatal_numeric_error("some reason"); }),
                ::testing::ExitedWithCode(1), fatal_regex("some reason"));
}

// ---- symmetric solvers: the documented examples ----------------------------------

TEST(EigenSymm, OrderOneIsTheElementItself) {
    for (const auto& s : kSymmSolvers) {
        const SymmResult r = solve_symm(s.solve, {-2.75});
        EXPECT_EQ(r.eV[0], -2.75) << s.name;
        EXPECT_EQ(r.eM[0], 1.0) << s.name;
    }
}

TEST(EigenSymm, TwoByTwo) {
    for (const auto& s : kSymmSolvers) {
        const SymmResult r = solve_symm(s.solve, {2, 1, 1, 2});
        EXPECT_NEAR(r.eV[0], 3.0, 1e-15) << s.name;
        EXPECT_NEAR(r.eV[1], 1.0, 1e-15) << s.name;
        const double want[4] = {kRsqrt2, kRsqrt2, kRsqrt2, -kRsqrt2};
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(r.eM[i], want[i], 1e-15) << s.name << " " << i;
    }
    // One rotation by pi/4 gives the exact diagonal for Jacobi.
    const SymmResult j = solve_symm(&LA::EigenSymmSystemMsqJ, {2, 1, 1, 2});
    EXPECT_EQ(j.eV, (std::vector<double>{3.0, 1.0}));
}

TEST(EigenSymm, EachSolverReadsItsOwnTriangle) {
    // Jacobi reads the upper triangle, HQL the lower one.
    const SymmResult j1 = solve_symm(&LA::EigenSymmSystemMsqJ, {2, 1, 1, 2});
    const SymmResult j2 = solve_symm(&LA::EigenSymmSystemMsqJ, {2, 1, 5, 2});
    EXPECT_TRUE(ref::same_bits(j1.eV, j2.eV));
    EXPECT_TRUE(ref::same_bits(j1.eM, j2.eM));
    const SymmResult h1 = solve_symm(&LA::EigenSymmSystemMsqH, {2, 1, 1, 2});
    const SymmResult h2 = solve_symm(&LA::EigenSymmSystemMsqH, {2, 5, 1, 2});
    EXPECT_TRUE(ref::same_bits(h1.eV, h2.eV));
    EXPECT_TRUE(ref::same_bits(h1.eM, h2.eM));
    // The same matrix (2, 5, 1, 2) is read by Jacobi as the mirror of the 5.
    const SymmResult j3 = solve_symm(&LA::EigenSymmSystemMsqJ, {2, 5, 1, 2});
    EXPECT_NEAR(j3.eV[0], 7.0, 1e-14);
    EXPECT_NEAR(j3.eV[1], -3.0, 1e-14);

    // A NaN in the ignored triangle of a larger matrix changes no bit.
    const int n = 12;
    const std::vector<double> A = random_symmetric(n, 51);
    std::vector<double> lowerNaN = A, upperNaN = A;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < i; ++j) {
            lowerNaN[i * n + j] = kNaN;
            upperNaN[j * n + i] = kNaN;
        }
    const SymmResult ja = solve_symm(&LA::EigenSymmSystemMsqJ, A);
    const SymmResult jb = solve_symm(&LA::EigenSymmSystemMsqJ, lowerNaN);
    EXPECT_TRUE(ref::same_bits(ja.eV, jb.eV));
    EXPECT_TRUE(ref::same_bits(ja.eM, jb.eM));
    const SymmResult ha = solve_symm(&LA::EigenSymmSystemMsqH, A);
    const SymmResult hb = solve_symm(&LA::EigenSymmSystemMsqH, upperNaN);
    EXPECT_TRUE(ref::same_bits(ha.eV, hb.eV));
    EXPECT_TRUE(ref::same_bits(ha.eM, hb.eM));
}

TEST(EigenSymm, IdentityTiesExchangePlaces) {
    for (const auto& s : kSymmSolvers) {
        const SymmResult r2 = solve_symm(s.solve, {1, 0, 0, 1});
        EXPECT_EQ(r2.eV, (std::vector<double>{1, 1})) << s.name;
        EXPECT_EQ(r2.eM, (std::vector<double>{0, 1, 1, 0})) << s.name;
        const SymmResult r3 = solve_symm(s.solve, {1, 0, 0, 0, 1, 0, 0, 0, 1});
        EXPECT_EQ(r3.eV, (std::vector<double>{1, 1, 1})) << s.name;
        EXPECT_EQ(r3.eM, (std::vector<double>{0, 1, 0, 0, 0, 1, 1, 0, 0})) << s.name;
    }
}

TEST(EigenSymm, DiagonalMatrixIsOnlySorted) {
    for (const auto& s : kSymmSolvers) {
        const SymmResult r = solve_symm(s.solve, {5, 0, 0, 0, -1, 0, 0, 0, 3});
        EXPECT_EQ(r.eV, (std::vector<double>{5, 3, -1})) << s.name;
        EXPECT_EQ(r.eM, (std::vector<double>{1, 0, 0, 0, 0, 1, 0, 1, 0})) << s.name;
    }
}

TEST(EigenSymm, EachEigenvalueIsWrittenJustBeforeItsRowOfEM) {
    // eV[i] goes out, then row i of eM. With eV and eM on the same storage,
    // eV[0] is overwritten by row 0, eV[1] and eV[2] come after row 0 and
    // replace its last two elements, and rows 1 and 2 stay as written.
    for (const auto& s : kSymmSolvers) {
        double M[9] = {5, 0, 0, 0, -1, 0, 0, 0, 3};
        std::vector<double> out(9, kSentinel);
        s.solve(M, 3, out.data(), out.data());
        EXPECT_EQ(out, (std::vector<double>{1, 3, -1, 0, 0, 1, 0, 1, 0})) << s.name;
    }
}

TEST(EigenSymm, SizesOfZeroOrLessDoNothing) {
    for (const auto& s : kSymmSolvers) {
        for (int n : {0, -1, INT_MIN}) {
            double M[1] = {kNaN}, eV[1] = {kSentinel}, eM[1] = {kSentinel};
            linalg::testhooks::fail_alloc_at(0);
            ref::StdoutCapture cap;
            s.solve(M, n, eV, eM);
            EXPECT_EQ(cap.finish(), "") << s.name;
            EXPECT_EQ(linalg::testhooks::alloc_calls(), 0) << s.name;
            EXPECT_EQ(eV[0], kSentinel) << s.name;
            EXPECT_EQ(eM[0], kSentinel) << s.name;
        }
    }
    linalg::testhooks::reset_alloc_counters();
}

// ---- the internal stages ------------------------------------------------------------

namespace {
// A work matrix of order n (rows 0..n of n+1 doubles) owned by the test.
struct Work {
    explicit Work(int n) : n(n), rows(n + 1, std::vector<double>(n + 1, kSentinel)), ptr(n + 1) {
        for (int i = 0; i <= n; ++i) ptr[i] = rows[i].data();
    }
    double& operator()(int i, int j) { return rows[i][j]; }
    double** get() { return ptr.data(); }
    int n;
    std::vector<std::vector<double>> rows;
    std::vector<double*> ptr;
};
} // namespace

// Two runs of QL rotations applied together give the bits of the runs one
// after the other, for every placement of the second against the first
// (above, below, overlapping at either end, apart), with one tick per
// rotation.
TEST(EigenStages, TwoRunsOfRotationsTogetherAreTheRunsOneAfterTheOther) {
    const int n = 21, top = 9;
    std::vector<double> c(top), s(top), c2(top), s2(top);
    for (int i = 0; i < top; ++i)
        c[i] = std::cos(0.7 * i - 1.3), s[i] = std::sin(0.7 * i - 1.3), c2[i] = std::cos(2.1 - 0.5 * i),
        s2[i] = std::sin(2.1 - 0.5 * i);
    Work start(top);
    for (int i = 0; i <= top; ++i) {
        start.rows[i].resize(n + 1);
        for (int j = 0; j <= n; ++j) start(i, j) = std::sin(1.0 + 3.7 * i + 0.9 * j);
    }
    for (int xf = 1; xf < top; ++xf)
        for (int xh = xf; xh < top; ++xh)
            for (int yf = 1; yf < top; ++yf)
                for (int yh = yf; yh < top; ++yh) {
                    Work want = start, got = start;
                    for (int i = 0; i <= top; ++i) want.ptr[i] = want.rows[i].data(), got.ptr[i] = got.rows[i].data();
                    linalg::rotate_rows_ql_twice(want.get(), n, c.data(), s.data(), xf, xh, nullptr, nullptr, 0, 0,
                                                 nullptr, nullptr);
                    linalg::rotate_rows_ql_twice(want.get(), n, c2.data(), s2.data(), yf, yh, nullptr, nullptr, 0, 0,
                                                 nullptr, nullptr);
                    long ticks = 0;
                    linalg::rotate_rows_ql_twice(got.get(), n, c.data(), s.data(), xf, xh, c2.data(), s2.data(), yf, yh,
                                                 [](void* p) { ++*static_cast<long*>(p); }, &ticks);
                    for (int i = 0; i <= top; ++i)
                        ASSERT_TRUE(ref::same_bits(got.rows[i], want.rows[i])) << xf << " " << xh << " " << yf << " " << yh;
                    ASSERT_EQ(ticks, (xh - xf) + (yh - yf));
                }
}

TEST(EigenStages, JacobiZeroesTheUpperTriangleOnly) {
    const int n = 9;
    const std::vector<double> A = random_symmetric(n, 61);
    Work a(n), v(n);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) a(i, j) = A[(i - 1) * n + (j - 1)];
    std::vector<double> d(n + 1, kSentinel);
    ASSERT_TRUE(linalg::jacobi(a.get(), n, d.data(), v.get()));
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) {
            if (j > i)
                EXPECT_EQ(a(i, j), 0.0) << i << "," << j;
            else
                EXPECT_EQ(a(i, j), A[(i - 1) * n + (j - 1)]) << i << "," << j;
        }
    // Row 0 and column 0 are never touched.
    for (int i = 0; i <= n; ++i) {
        EXPECT_EQ(a(0, i), kSentinel);
        EXPECT_EQ(a(i, 0), kSentinel);
        EXPECT_EQ(v(0, i), kSentinel);
        EXPECT_EQ(v(i, 0), kSentinel);
    }
    EXPECT_EQ(d[0], kSentinel);
    // Trace is kept up to rounding.
    double trace = 0.0, sum = 0.0;
    for (int i = 0; i < n; ++i) trace += A[i * n + i];
    for (int i = 1; i <= n; ++i) sum += d[i];
    EXPECT_NEAR(sum, trace, 1e-13);
}

TEST(EigenStages, JacobiRotatesNegligibleElementsUpToSweepFour) {
    // A dense 3 x 3 block keeps the threshold 0.2*S/n^2 above the isolated
    // element a(4,5) = 1e-40 through sweep 3, and the block's rotations never
    // reach rows 4 and 5. From sweep 4 the threshold is 0.0, so the element
    // is rotated there (t = apq/h, as 100*|apq| is lost against h = 1);
    // only from sweep 5 on would it be dropped without a rotation, which
    // would leave the identity in rows and columns 4 and 5.
    const double eps = 1e-40;
    double M[25] = {40, 4, 3, 0, 0,   //
                    4, 25, 5, 0, 0,   //
                    3, 5, 12, 0, 0,   //
                    0, 0, 0, 1, eps,  //
                    0, 0, 0, eps, 2};
    double eV[5], eM[25];
    LA::EigenSymmSystemMsqJ(M, 5, eV, eM);
    EXPECT_EQ(eV[3], 2.0);
    EXPECT_EQ(eV[4], 1.0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(eM[i * 5 + 3], 0.0) << i;
        EXPECT_EQ(eM[i * 5 + 4], 0.0) << i;
        EXPECT_EQ(eM[3 * 5 + i], 0.0) << i;
        EXPECT_EQ(eM[4 * 5 + i], 0.0) << i;
    }
    // t = 1e-40, cs = 1, sn = 1e-40: columns (eps, 1) for 2 and (1, -eps)
    // for 1.
    EXPECT_EQ(eM[3 * 5 + 3], eps);
    EXPECT_EQ(eM[4 * 5 + 3], 1.0);
    EXPECT_EQ(eM[3 * 5 + 4], 1.0);
    EXPECT_EQ(eM[4 * 5 + 4], -eps);
}

TEST(EigenStages, JacobiLeavesTheEigenvectorsInTheRowsOfV) {
    const int n = 10;
    const std::vector<double> A = random_symmetric(n, 63);
    Work a(n), v(n);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) a(i, j) = A[(i - 1) * n + (j - 1)];
    std::vector<double> d(n + 1, kSentinel);
    ASSERT_TRUE(linalg::jacobi(a.get(), n, d.data(), v.get()));
    for (int k = 1; k <= n; ++k)
        for (int i = 1; i <= n; ++i) {
            long double s = 0.0L;
            for (int j = 1; j <= n; ++j) s += static_cast<long double>(A[(i - 1) * n + (j - 1)]) * v(k, j);
            EXPECT_NEAR(static_cast<double>(s), d[k] * v(k, i), 1e-13) << k << "," << i;
        }
}

TEST(EigenStages, TqliTakesAndGivesVectorsAsRows) {
    // After tred2, row k of the transposed Q is column k of Q; tqli turns
    // row k into the eigenvector of d[k].
    const int n = 9;
    const std::vector<double> A = random_symmetric(n, 73);
    Work a(n);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) a(i, j) = A[(i - 1) * n + (j - 1)];
    std::vector<double> d(n + 1, kSentinel), e(n + 1, kSentinel), w(n + 1, kSentinel);
    linalg::tred2(a.get(), n, d.data(), e.data(), w.data());
    linalg::transpose_work(a.get(), n);
    linalg::tqli(d.data(), e.data(), n, a.get());
    for (int k = 1; k <= n; ++k)
        for (int i = 1; i <= n; ++i) {
            long double s = 0.0L;
            for (int j = 1; j <= n; ++j) s += static_cast<long double>(A[(i - 1) * n + (j - 1)]) * a(k, j);
            EXPECT_NEAR(static_cast<double>(s), d[k] * a(k, i), 1e-13) << k << "," << i;
        }
}

// A graded tridiagonal matrix on which a rotation of the second sweep comes
// out zero: the iteration drops it and searches for a split again. The
// library's iteration (vectors as rows) and the plain copy (as columns) must
// agree bit for bit.
const double kZeroRotationD[6] = {0x1.174bc6a7ef9dbp-16,  -0x1.9ced916872b02p-770, -0x1.5d70a3d70a3d7p-869,
                                  -0x1.5eb851eb851ecp-642, -0x1.4bc6a7ef9db23p-524, 0x1.c395810624dd3p-982};
// e0[i] couples i and i+1 (i = 1 .. n-1); tqli takes it one place up.
const double kZeroRotationE[6] = {0x1p+0, -0x1.50e5604189375p-770, 0x1.8c083126e978ep-480, 0x1.5df3b645a1cacp+902,
                                  0x1p+0};

TEST(EigenStages, TqliRecoversFromAZeroRotationAsThePlainCopy) {
    const int n = 6;
    const double* const d0 = kZeroRotationD;
    const double* const e0 = kZeroRotationE;
    std::vector<double> d(n + 1), e(n + 1, 0.0), rd, re;
    for (int i = 1; i <= n; ++i) d[i] = d0[i - 1];
    for (int i = 1; i < n; ++i) e[i + 1] = e0[i - 1];
    rd = d, re = e;
    Work z(n), rz(n);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) z(i, j) = rz(i, j) = i == j ? 1.0 : 0.0;
    ASSERT_TRUE(ref::ql_tridiagonal(rd.data(), re.data(), n, rz.get()));
    ASSERT_TRUE(linalg::tqli(d.data(), e.data(), n, z.get()));
    for (int i = 1; i <= n; ++i) {
        EXPECT_TRUE(ref::same_bits(&d[i], &rd[i], 1)) << i;
        for (int j = 1; j <= n; ++j) EXPECT_TRUE(ref::same_bits(&z(i, j), &rz(j, i), 1)) << i << "," << j;
    }
}

// Running ahead by several sweeps and updating z strip by strip gives the
// bits of the chunk-by-chunk passes, on every kernel table: orders over
// several strips (the last one partial), run-ahead blocks whose length does
// not divide the number of sweeps, eigenvalues deflating inside a block, a
// split of the matrix, a graded one, a rotation dropped after an underflow
// (order 6, the matrix above), and the
// work block for the rotations refused (the passes run instead, silently).
class EigenTables : public ::testing::TestWithParam<linalg::isa> {
protected:
    void SetUp() override {
        if (!linalg::testhooks::force_isa(GetParam())) GTEST_SKIP() << "processor cannot run this table";
    }
    void TearDown() override { linalg::testhooks::reset_isa(); }
};

TEST_P(EigenTables, QlRunAheadGivesTheBitsOfThePlainPasses) {
    struct Case {
        int n, sweeps;
        std::ptrdiff_t strip_bytes;
        bool split, graded, refused;
    };
    const Case cases[] = {{150, 3, 150 * 32 * 8, false, false, false}, {97, 2, 1, true, false, false},
                          {70, 5, 1 << 20, false, false, false},          {150, 7, 1, false, true, false},
                          {6, 3, 1, false, false, false},                  {80, 4, 1, false, false, true}};
    for (const Case& c : cases) {
        const int n = c.n;
        std::vector<double> d(n + 1), e(n + 1, 0.0);
        const std::vector<double> r = ref::random_vector(2 * static_cast<std::size_t>(n) + 2, 700 + n);
        for (int i = 1; i <= n; ++i) {
            // Graded: diagonal and coupling shrink by 2^-6 per index.
            const double g = c.graded ? std::ldexp(1.0, -6 * i) : 1.0;
            d[i] = r[i] * g;
            if (i > 1) e[i] = r[n + i] * g;
        }
        if (c.split) e[n / 2] = 0.0;
        if (n == 6)  // the matrix above on which a rotation comes out zero
            for (int i = 1; i <= n; ++i) d[i] = kZeroRotationD[i - 1], e[i] = i > 1 ? kZeroRotationE[i - 2] : 0.0;
        Work z0(n);
        const std::vector<double> zr = ref::random_vector(static_cast<std::size_t>(n) * n, 800 + n);
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) z0(i, j) = zr[(i - 1) * n + (j - 1)];
        std::vector<double> dw = d, ew = e, dg = d, eg = e;
        Work want = z0, got = z0;
        for (int i = 0; i <= n; ++i) want.ptr[i] = want.rows[i].data(), got.ptr[i] = got.rows[i].data();
        ASSERT_TRUE(linalg::tqli(dw.data(), ew.data(), n, want.get(), 0, 0));
        if (c.refused) linalg::testhooks::fail_alloc_at(1);
        ref::StdoutCapture cap;
        ASSERT_TRUE(linalg::tqli(dg.data(), eg.data(), n, got.get(), c.sweeps, c.strip_bytes));
        EXPECT_EQ(cap.finish(), "");
        linalg::testhooks::fail_alloc_at(0);
        EXPECT_TRUE(ref::same_bits(dg, dw)) << n;
        for (int i = 0; i <= n; ++i) ASSERT_TRUE(ref::same_bits(got.rows[i], want.rows[i])) << n << " row " << i;
    }
}

// The reduction on the lower triangle gives the bits of the full form, on
// every table: blocks of rows whose last one is partial, and a block
// diagonal matrix whose step at the block boundary reflects nothing (the
// next step's sums are then made afresh).
TEST_P(EigenTables, ReductionOnTheLowerTriangleGivesTheBitsOfTheFullOne) {
    for (const int n : {83, 130}) {
        std::vector<double> A = random_symmetric(n, 900 + n);
        if (n == 130)
            for (int i = 60; i < n; ++i)
                for (int j = 0; j < 60; ++j) A[i * n + j] = A[j * n + i] = 0.0;
        Work full(n), lower(n);
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) full(i, j) = lower(i, j) = A[(i - 1) * n + (j - 1)];
        std::vector<double> d1(n + 1), e1(n + 1), w1(n + 1), d2(n + 1), e2(n + 1), w2(n + 1);
        linalg::tred2(full.get(), n, d1.data(), e1.data(), w1.data(), n + 1);
        linalg::tred2(lower.get(), n, d2.data(), e2.data(), w2.data(), 1);
        EXPECT_TRUE(ref::same_bits(d2, d1)) << n;
        EXPECT_TRUE(ref::same_bits(e2, e1)) << n;
        for (int i = 1; i <= n; ++i) ASSERT_TRUE(ref::same_bits(&lower(i, 1), &full(i, 1), n)) << n << " row " << i;
    }
}

// The accumulation in step blocks and column strips gives the bits of the
// step-by-step passes, on every table: blocks and strips whose last one is
// partial, a step that reflects nothing, and the copies' block refused.
TEST_P(EigenTables, AccumulationInStripsGivesTheBitsOfThePlainPasses) {
    struct Case {
        int n, steps, strip_columns;
        bool refused;
    };
    for (const Case c : {Case{83, 5, 32, false}, Case{130, 32, 40, false}, Case{70, 2, 56, false}, Case{40, 7, 32, true}}) {
        const int n = c.n;
        std::vector<double> A = random_symmetric(n, 700 + n);
        if (n == 130)
            for (int i = 60; i < n; ++i)
                for (int j = 0; j < 60; ++j) A[i * n + j] = A[j * n + i] = 0.0;
        Work plain(n), strips(n);
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) plain(i, j) = strips(i, j) = A[(i - 1) * n + (j - 1)];
        std::vector<double> d1(n + 1), e1(n + 1), w1(n + 1), d2(n + 1), e2(n + 1), w2(n + 1);
        linalg::tred2(plain.get(), n, d1.data(), e1.data(), w1.data(), n / 2, 0, 0);
        if (c.refused) linalg::testhooks::fail_alloc_at(1);
        linalg::tred2(strips.get(), n, d2.data(), e2.data(), w2.data(), n / 2, c.steps, 8 * n * c.strip_columns);
        linalg::testhooks::fail_alloc_at(0);
        EXPECT_TRUE(ref::same_bits(d2, d1)) << n;
        EXPECT_TRUE(ref::same_bits(e2, e1)) << n;
        for (int i = 1; i <= n; ++i) ASSERT_TRUE(ref::same_bits(&strips(i, 1), &plain(i, 1), n)) << n << " row " << i;
    }
}

TEST_P(EigenTables, DeferredJacobiVectorsGiveTheBitsOfTheImmediateUpdates) {
    struct Case {
        int n;
        long long group;
        int strip_columns;
        bool refused;
    };
    // Groups of 97 rotations end at odd places inside sweeps; one as large
    // as a sweep is flushed only at the sweep ends; strips of 8 and 16
    // columns leave a partial last one.
    for (const Case c : {Case{90, 97, 8, false}, Case{61, 61 * 60 / 2, 16, false}, Case{45, 7, 40, true}}) {
        const int n = c.n;
        const std::vector<double> A = random_symmetric(n, 500 + n);
        Work a1(n), a2(n), v1(n), v2(n);
        std::vector<double> d1(n + 1), d2(n + 1);
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) a1(i, j) = a2(i, j) = A[(i - 1) * n + (j - 1)];
        ASSERT_TRUE(linalg::jacobi(a1.get(), n, d1.data(), v1.get(), 0, 0));
        if (c.refused) linalg::testhooks::fail_alloc_at(1);
        ASSERT_TRUE(linalg::jacobi(a2.get(), n, d2.data(), v2.get(), c.group, c.strip_columns));
        linalg::testhooks::fail_alloc_at(0);
        EXPECT_TRUE(ref::same_bits(d2, d1)) << n;
        for (int i = 1; i <= n; ++i) {
            ASSERT_TRUE(ref::same_bits(&v2(i, 1), &v1(i, 1), n)) << n << " row " << i;
            ASSERT_TRUE(ref::same_bits(&a2(i, 1), &a1(i, 1), n)) << n << " row " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, EigenTables,
                         ::testing::ValuesIn(linalg::kNativeIsas),
                         [](const ::testing::TestParamInfo<linalg::isa>& p) {
                             return std::string(linalg::isa_name(p.param));
                         });

TEST(EigenStages, Tred2GivesOrthogonalQAndTridiagonalForm) {
    const int n = 11;
    const std::vector<double> A = random_symmetric(n, 71);
    Work a(n);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) a(i, j) = A[(i - 1) * n + (j - 1)];
    std::vector<double> d(n + 1, kSentinel), e(n + 1, kSentinel), w(n + 1, kSentinel);
    linalg::tred2(a.get(), n, d.data(), e.data(), w.data());
    EXPECT_EQ(e[1], 0.0);
    // T = Q^T A Q must have d on its diagonal and e[i] at (i-1, i).
    for (int p = 1; p <= n; ++p)
        for (int q = 1; q <= n; ++q) {
            long double t = 0.0L;
            for (int i = 1; i <= n; ++i)
                for (int j = 1; j <= n; ++j)
                    t += static_cast<long double>(a(i, p)) * A[(i - 1) * n + (j - 1)] * a(j, q);
            double want = 0.0;
            if (p == q) want = d[p];
            if (q == p + 1) want = e[q];
            if (p == q + 1) want = e[p];
            EXPECT_NEAR(static_cast<double>(t), want, 1e-13) << p << "," << q;
        }
}

TEST(EigenStages, BalancScalesByPowersOfTwoAndKeepsTheDiagonal) {
    const int n = 6;
    std::vector<double> A = ref::random_vector(n * n, 81);
    // Badly scaled: row 2 large, column 4 small.
    for (int j = 0; j < n; ++j) {
        A[2 * n + j] *= 1e6;
        A[j * n + 4] *= 1e-5;
    }
    Work a(n);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) a(i, j) = A[(i - 1) * n + (j - 1)];
    linalg::balanc(a.get(), n);
    // a = D^-1 A D with D = diag(2^k_i): each ratio a/A is 2^(k_j - k_i).
    std::vector<int> k(n + 1, 0);
    for (int j = 2; j <= n; ++j) {
        int e1 = 0;
        ASSERT_EQ(std::frexp(a(1, j) / A[j - 1], &e1), 0.5) << j;
        k[j] = e1 - 1;  // relative to k[1] = 0
    }
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j)
            EXPECT_EQ(a(i, j), std::ldexp(A[(i - 1) * n + (j - 1)], k[j] - k[i])) << i << "," << j;
    // The balanced matrix has no row/column pair far out of proportion.
    for (int i = 1; i <= n; ++i) {
        double c = 0.0, r = 0.0;
        for (int j = 1; j <= n; ++j)
            if (j != i) {
                c += std::fabs(a(j, i));
                r += std::fabs(a(i, j));
            }
        EXPECT_LT(c / r, 4.1) << i;
        EXPECT_GT(c / r, 1 / 4.1) << i;
    }
}

TEST(EigenStages, BalancLeavesInfiniteSumsAloneAndEnds) {
    const int n = 3;
    Work a(n);
    const double A[9] = {1, kInf, 2, 3, 4, 5, 6, 7, 8};
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) a(i, j) = A[(i - 1) * n + (j - 1)];
    linalg::balanc(a.get(), n);
    EXPECT_EQ(a(1, 2), kInf);
    EXPECT_EQ(a(1, 1), 1.0);
    EXPECT_EQ(a(2, 2), 4.0);
    EXPECT_EQ(a(3, 3), 8.0);
}

TEST(EigenStages, ElmhesLeavesHessenbergFormWithTheSameEigenvalues) {
    const int n = 7;
    const std::vector<double> A = ref::random_vector(n * n, 91);
    Work a(n);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) a(i, j) = A[(i - 1) * n + (j - 1)];
    linalg::elmhes(a.get(), n);
    // Trace is invariant; the Hessenberg part's eigenvalues are A's.
    std::vector<double> H(n * n, 0.0);
    for (int i = 1; i <= n; ++i)
        for (int j = std::max(1, i - 1); j <= n; ++j) H[(i - 1) * n + (j - 1)] = a(i, j);
    std::vector<double> wr(n), wi(n), wr2(n), wi2(n), Ac = A;
    ASSERT_EQ(LAPACKE_dgeev(LAPACK_ROW_MAJOR, 'N', 'N', n, H.data(), n, wr.data(), wi.data(), nullptr, 1,
                            nullptr, 1),
              0);
    ASSERT_EQ(LAPACKE_dgeev(LAPACK_ROW_MAJOR, 'N', 'N', n, Ac.data(), n, wr2.data(), wi2.data(), nullptr, 1,
                            nullptr, 1),
              0);
    std::vector<std::complex<double>> x, y;
    for (int i = 0; i < n; ++i) {
        x.emplace_back(wr[i], wi[i]);
        y.emplace_back(wr2[i], wi2[i]);
    }
    for (const auto& z : x) {
        double best = kInf;
        for (const auto& w : y) best = std::min(best, std::abs(z - w));
        EXPECT_LT(best, 1e-12) << z;
    }
}

// ---- unsymmetric solver: the documented examples ----------------------------------

namespace {
struct UnsymResult {
    std::vector<double> re, im;
};
UnsymResult solve_unsym(std::vector<double> M) {
    const int n = static_cast<int>(std::lround(std::sqrt(static_cast<double>(M.size()))));
    UnsymResult r{std::vector<double>(n, kSentinel), std::vector<double>(n, kSentinel)};
    LA::EigenUnSymmSystemMsq(M.data(), n, r.re.data(), r.im.data());
    return r;
}
} // namespace

TEST(EigenUnsym, SmallExamples) {
    UnsymResult r = solve_unsym({-4.5});
    EXPECT_EQ(r.re, (std::vector<double>{-4.5}));
    EXPECT_EQ(r.im, (std::vector<double>{0.0}));

    r = solve_unsym({0, -1, 1, 0});  // rotation by 90 degrees: -i first, then +i
    EXPECT_EQ(r.re, (std::vector<double>{0, 0}));
    EXPECT_EQ(r.im, (std::vector<double>{-1, 1}));

    r = solve_unsym({2, 1, 1, 2});  // x + z at the lower index, x - w/z above
    EXPECT_EQ(r.re, (std::vector<double>{3, 1}));
    EXPECT_EQ(r.im, (std::vector<double>{0, 0}));

    r = solve_unsym({1, 2, 3, 0, 4, 5, 0, 0, 6});  // isolated in diagonal order
    EXPECT_EQ(r.re, (std::vector<double>{1, 4, 6}));
    EXPECT_EQ(r.im, (std::vector<double>{0, 0, 0}));

    r = solve_unsym({1, 0, 0, 0, 3, 0, 0, 0, 2});  // unsorted
    EXPECT_EQ(r.re, (std::vector<double>{1, 3, 2}));
    EXPECT_EQ(r.im, (std::vector<double>{0, 0, 0}));
}

TEST(EigenUnsym, CyclicPermutationConvergesWithTheExceptionalShift) {
    // The plain double shift makes no progress on this matrix; the
    // exceptional shift before the 11th iteration breaks the cycle.
    const UnsymResult r = solve_unsym({0, 0, 1, 1, 0, 0, 0, 1, 0});
    EXPECT_NEAR(r.re[0], -0.5, 1e-14);
    EXPECT_EQ(r.re[0], r.re[1]);
    EXPECT_NEAR(r.re[2], 1.0, 1e-14);
    EXPECT_NEAR(r.im[0], -0.86602540378443865, 1e-14);
    EXPECT_EQ(r.im[1], -r.im[0]);
    EXPECT_EQ(r.im[2], 0.0);
}

TEST(EigenUnsym, CyclicPermutationOfOrder19GivesTheRootsOfUnity) {
    // The 19-cycle is stuck under the normal shift and moves only after an
    // exceptional one, which subtracts a[nn][nn] from the diagonal; the roots
    // are right only when the accumulated shifts t are added back. They are
    // the 19th roots of unity: one real (1) and nine conjugate pairs.
    const int n = 19;
    std::vector<double> M(n * n, 0.0);
    for (int i = 0; i < n; ++i) M[i * n + (i + 1) % n] = 1.0;
    const UnsymResult r = solve_unsym(M);
    int real_count = 0;
    for (int i = 0; i < n; ++i) {
        if (r.im[i] == 0.0) {
            ++real_count;
            EXPECT_NEAR(r.re[i], 1.0, 1e-13) << i;
            continue;
        }
        ASSERT_LT(i + 1, n) << i;
        EXPECT_LT(r.im[i], 0.0) << i;
        EXPECT_EQ(r.im[i + 1], -r.im[i]) << i;
        EXPECT_EQ(r.re[i + 1], r.re[i]) << i;
        ++i;
    }
    EXPECT_EQ(real_count, 1);
    std::vector<bool> used(n, false);
    for (int i = 0; i < n; ++i) {
        const std::complex<double> z(r.re[i], r.im[i]);
        int best = -1;
        double dist = kInf;
        for (int k = 0; k < n; ++k) {
            const double d = std::abs(z - std::polar(1.0, 2.0 * M_PI * k / n));
            if (!used[k] && d < dist) dist = d, best = k;
        }
        ASSERT_GE(best, 0);
        used[best] = true;
        EXPECT_LT(dist, 1e-13) << i;
    }
}

TEST(EigenUnsym, SizesOfZeroOrLessDoNothing) {
    for (int n : {0, -1, INT_MIN}) {
        double M[1] = {kNaN}, re[1] = {kSentinel}, im[1] = {kSentinel};
        linalg::testhooks::fail_alloc_at(0);
        ref::StdoutCapture cap;
        LA::EigenUnSymmSystemMsq(M, n, re, im);
        EXPECT_EQ(cap.finish(), "");
        EXPECT_EQ(linalg::testhooks::alloc_calls(), 0);
        EXPECT_EQ(re[0], kSentinel);
        EXPECT_EQ(im[0], kSentinel);
    }
    linalg::testhooks::reset_alloc_counters();
}

// ---- non-convergence ends the process ------------------------------------------------

// OpenBLAS keeps worker threads once LAPACK has been called; the threadsafe
// style re-executes the test program instead of forking a threaded process.
class EigenFatal : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, death_test_style()); }
};

TEST_F(EigenFatal, JacobiWithNaNAboveTheDiagonal) {
    EXPECT_EXIT(with_stdout_on_stderr([] {
                    double M[9] = {1, kNaN, 0.5, 0, 2, 0.25, 0, 0, 3}, eV[3], eM[9];
                    LA::EigenSymmSystemMsqJ(M, 3, eV, eM);
                }),
                ::testing::ExitedWithCode(1), fatal_regex("Too many iterations in routine jacobi"));
}

TEST_F(EigenFatal, QLWithNaNBelowTheDiagonal) {
    EXPECT_EXIT(with_stdout_on_stderr([] {
                    double M[9] = {1, 0, 0, 0.5, 2, 0, kNaN, 0.25, 3}, eV[3], eM[9];
                    LA::EigenSymmSystemMsqH(M, 3, eV, eM);
                }),
                ::testing::ExitedWithCode(1), fatal_regex("Too many iterations in tqli"));
}

TEST_F(EigenFatal, HqrWithNaN) {
    EXPECT_EXIT(with_stdout_on_stderr([] {
                    double M[9] = {1, 2, 3, 4, kNaN, 6, 7, 8, 9}, re[3], im[3];
                    LA::EigenUnSymmSystemMsq(M, 3, re, im);
                }),
                ::testing::ExitedWithCode(1), fatal_regex("Too many iterations in hqr"));
}

TEST_F(EigenFatal, HqrWithNaNInATwoByTwo) {
    // Order 2 reaches the closed formula for the pair without an iteration;
    // it must not return NaN as if it had found eigenvalues.
    EXPECT_EXIT(with_stdout_on_stderr([] {
                    double M[4] = {1, 2, kNaN, 4}, re[2], im[2];
                    LA::EigenUnSymmSystemMsq(M, 2, re, im);
                }),
                ::testing::ExitedWithCode(1), fatal_regex("Too many iterations in hqr"));
}

TEST_F(EigenFatal, InfinityEndsInTheFatalExitInsteadOfHanging) {
    EXPECT_EXIT(with_stdout_on_stderr([] {
                    double M[9] = {1, kInf, 2, 3, 4, 5, 6, 7, 8}, re[3], im[3];
                    LA::EigenUnSymmSystemMsq(M, 3, re, im);
                    std::printf("returned\n");
                    std::fflush(stdout);
                    std::exit(0);
                }),
                ::testing::ExitedWithCode(1), fatal_regex("Too many iterations in hqr"));
}

// ---- work memory -------------------------------------------------------------------

namespace {
// Calls `run` with each of its allocations failing in turn: every time the
// message names one of `who`, the outputs keep their sentinels and no block
// leaks.
void check_every_allocation_failure(const std::vector<std::string>& who,
                                    const std::function<std::vector<double>()>& run) {
    linalg::testhooks::fail_alloc_at(0);
    const long long start = linalg::testhooks::blocks_held();
    const std::vector<double> ok = run();
    const long long total = linalg::testhooks::alloc_calls();
    EXPECT_EQ(linalg::testhooks::blocks_held(), start);
    ASSERT_GT(total, 0);
    ASSERT_NE(std::count(ok.begin(), ok.end(), kSentinel), static_cast<long>(ok.size()));
    for (long long k = 1; k <= total; ++k) {
        linalg::testhooks::fail_alloc_at(k);
        ref::StdoutCapture cap;
        const std::vector<double> out = run();
        const std::string msg = cap.finish();
        EXPECT_NE(msg.find("Not enough memory"), std::string::npos) << who[0] << " k=" << k << ": " << msg;
        EXPECT_TRUE(std::any_of(who.begin(), who.end(), [&](const std::string& w) {
            return msg.find(w) != std::string::npos;
        })) << who[0] << " k=" << k << ": " << msg;
        EXPECT_EQ(std::count(out.begin(), out.end(), kSentinel), static_cast<long>(out.size()))
            << who[0] << " k=" << k;
        EXPECT_EQ(linalg::testhooks::blocks_held(), start) << who[0] << " k=" << k;
    }
    linalg::testhooks::reset_alloc_counters();
}
} // namespace

TEST(EigenMemory, EveryFailedAllocationIsReportedAndReleased) {
    const int n = 3;
    const std::vector<double> A = random_symmetric(n, 101);
    // Jacobi: a, v (two blocks each), d, then b and z inside jacobi.
    check_every_allocation_failure({"EigenSymmSystemMsqJ", "jacobi"}, [&] {
        std::vector<double> M = A, out(n + n * n, kSentinel);
        LA::EigenSymmSystemMsqJ(M.data(), n, out.data(), out.data() + n);
        return out;
    });
    check_every_allocation_failure({"EigenSymmSystemMsqH"}, [&] {
        std::vector<double> M = A, out(n + n * n, kSentinel);
        LA::EigenSymmSystemMsqH(M.data(), n, out.data(), out.data() + n);
        return out;
    });
    check_every_allocation_failure({"EigenUnSymmSystemMsq"}, [&] {
        std::vector<double> M = A, out(2 * n, kSentinel);
        LA::EigenUnSymmSystemMsq(M.data(), n, out.data(), out.data() + n);
        return out;
    });
}

TEST(EigenMemory, JacobiDriverAllocationsNameTheExportedFunction) {
    const int n = 2;
    double M[4] = {2, 1, 1, 2}, eV[2] = {kSentinel, kSentinel}, eM[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
    for (int k : {1, 2, 5}) {  // pointer array of a, rows of a, d
        linalg::testhooks::fail_alloc_at(k);
        ref::StdoutCapture cap;
        LA::EigenSymmSystemMsqJ(M, n, eV, eM);
        const std::string msg = cap.finish();
        EXPECT_NE(msg.find("EigenSymmSystemMsqJ"), std::string::npos) << k << ": " << msg;
    }
    linalg::testhooks::reset_alloc_counters();
    EXPECT_EQ(eV[0], kSentinel);
}

TEST(EigenMemory, OrdersBeyondTheAddressSpaceAreRefusedAtOnce) {
    double M[1] = {1.0}, o1[1] = {kSentinel}, o2[1] = {kSentinel};
    using EigFn = void (*)(double*, int, double*, double*);
    const EigFn calls[] = {&LA::EigenSymmSystemMsqJ, &LA::EigenSymmSystemMsqH, &LA::EigenUnSymmSystemMsq};
    for (EigFn call : calls) {
        linalg::testhooks::fail_alloc_at(0);
        ref::StdoutCapture cap;
        call(M, INT_MAX, o1, o2);
        const std::string msg = cap.finish();
        EXPECT_NE(msg.find("Not enough memory"), std::string::npos) << msg;
        EXPECT_EQ(linalg::testhooks::alloc_calls(), 0);
        EXPECT_EQ(o1[0], kSentinel);
        EXPECT_EQ(o2[0], kSentinel);
    }
    linalg::testhooks::reset_alloc_counters();
}

// ---- random matrices against LAPACK -------------------------------------------------

class EigenSymmRandom : public ::testing::TestWithParam<int> {};

TEST_P(EigenSymmRandom, MatchesDsyevWithSmallResiduals) {
    const int n = GetParam();
    const std::vector<double> A = random_symmetric(n, 1000 + n);
    std::vector<double> ref_w(n), Acopy = A;
    ASSERT_EQ(LAPACKE_dsyev(LAPACK_ROW_MAJOR, 'N', 'U', n, Acopy.data(), n, ref_w.data()), 0);
    std::reverse(ref_w.begin(), ref_w.end());  // descending, as ours
    const double anorm = norm1(A, n);
    for (const auto& s : kSymmSolvers) {
        std::vector<double> M = A;
        SymmResult r{std::vector<double>(n), std::vector<double>(static_cast<std::size_t>(n) * n)};
        s.solve(M.data(), n, r.eV.data(), r.eM.data());
        EXPECT_TRUE(ref::same_bits(M, A)) << s.name << ": input changed";
        EXPECT_TRUE(std::is_sorted(r.eV.rbegin(), r.eV.rend())) << s.name;
        double worst = 0.0;
        for (int i = 0; i < n; ++i) worst = std::max(worst, std::fabs(r.eV[i] - ref_w[i]));
        const double value_ratio = worst / (anorm * n * kEps);
        const double res = eigen_residual_ratio(A, r, n);
        const double orth = orthonormality_ratio(r.eM, n);
        EXPECT_LT(value_ratio, 30.0) << s.name << " n=" << n << " seed=" << ref::seed();
        EXPECT_LT(res, 30.0) << s.name << " n=" << n << " seed=" << ref::seed();
        EXPECT_LT(orth, 30.0) << s.name << " n=" << n << " seed=" << ref::seed();
        RecordProperty(std::string(s.name) + "_residual", std::to_string(res));
        RecordProperty(std::string(s.name) + "_orthonormality", std::to_string(orth));
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, EigenSymmRandom, ::testing::Values(2, 3, 5, 10, 37, 100, 300));

TEST(EigenSymmSpecial, RepeatedAndClusteredEigenvalues) {
    // Q diag(w) Q^T with repeated w, Q from an orthogonal factor of a random
    // matrix (Householder QR from LAPACK).
    const int n = 20;
    std::vector<double> Q = ref::random_vector(n * n, 1201), tau(n);
    ASSERT_EQ(LAPACKE_dgeqrf(LAPACK_ROW_MAJOR, n, n, Q.data(), n, tau.data()), 0);
    ASSERT_EQ(LAPACKE_dorgqr(LAPACK_ROW_MAJOR, n, n, n, Q.data(), n, tau.data()), 0);
    std::vector<double> w(n);
    for (int i = 0; i < n; ++i) w[i] = i < 8 ? 2.0 : (i < 12 ? -1.0 : 1.0 + 1e-10 * i);
    std::vector<double> A(n * n, 0.0);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double s = 0.0;
            for (int k = 0; k < n; ++k) s += Q[i * n + k] * w[k] * Q[j * n + k];
            A[i * n + j] = s;
        }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < i; ++j) A[i * n + j] = A[j * n + i];
    std::sort(w.rbegin(), w.rend());
    for (const auto& s : kSymmSolvers) {
        const SymmResult r = solve_symm(s.solve, A);
        for (int i = 0; i < n; ++i) EXPECT_NEAR(r.eV[i], w[i], 1e-13) << s.name << " " << i;
        EXPECT_LT(eigen_residual_ratio(A, r, n), 30.0) << s.name;
        EXPECT_LT(orthonormality_ratio(r.eM, n), 30.0) << s.name;
    }
}

TEST(EigenSymmSpecial, RankOneMatricesConverge) {
    // The all-ones matrix reduces to a tridiagonal form whose zero eigenvalues
    // leave subnormal diagonal and off-diagonal entries; the QL iteration
    // must split there instead of running out of iterations.
    for (int n : {100, 200}) {
        const std::vector<double> A(static_cast<std::size_t>(n) * n, 1.0);
        for (const auto& s : kSymmSolvers) {
            const SymmResult r = solve_symm(s.solve, A);
            EXPECT_NEAR(r.eV[0], n, 1e-12 * n) << s.name << " n=" << n;
            for (int i = 1; i < n; ++i) ASSERT_NEAR(r.eV[i], 0.0, 1e-12 * n) << s.name << " n=" << n << " i=" << i;
            EXPECT_LT(eigen_residual_ratio(A, r, n), 30.0) << s.name << " n=" << n;
            EXPECT_LT(orthonormality_ratio(r.eM, n), 30.0) << s.name << " n=" << n;
        }
    }
}

TEST(EigenSymmSpecial, ZeroMatrixAndWideRange) {
    for (const auto& s : kSymmSolvers) {
        const SymmResult z = solve_symm(s.solve, std::vector<double>(16, 0.0));
        EXPECT_EQ(z.eV, std::vector<double>(4, 0.0)) << s.name;
        EXPECT_LT(orthonormality_ratio(z.eM, 4), 1.0) << s.name;
    }
    // Graded matrix: entries from 1e-150 to 1e150 stay finite.
    const int n = 8;
    std::vector<double> A = random_symmetric(n, 1301);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) A[i * n + j] *= std::pow(10.0, 20.0 * (i + j - (n - 1)));
    for (const auto& s : kSymmSolvers) {
        const SymmResult r = solve_symm(s.solve, A);
        for (double x : r.eV) EXPECT_TRUE(std::isfinite(x)) << s.name;
        EXPECT_LT(orthonormality_ratio(r.eM, n), 30.0) << s.name;
        EXPECT_LT(eigen_residual_ratio(A, r, n), 30.0) << s.name;
    }
}

TEST(EigenSymmSpecial, PowerOfTwoScalingNearOverflowAndUnderflowIsExact) {
    // Every step is homogeneous in the matrix scale and squares only ratios,
    // so scaling by 2^+-900 (and 2^+-1000, which the solvers scale back to
    // the ordinary range first) scales the eigenvalues exactly and leaves the
    // eigenvectors bit for bit.
    const int n = 16;
    const std::vector<double> A = random_symmetric(n, 1351);
    for (const auto& s : kSymmSolvers) {
        const SymmResult base = solve_symm(s.solve, A);
        for (int k : {900, -900, 1000, -1000}) {
            std::vector<double> B = A;
            for (double& x : B) x = std::ldexp(x, k);
            const SymmResult r = solve_symm(s.solve, B);
            std::vector<double> want = base.eV;
            for (double& x : want) x = std::ldexp(x, k);
            EXPECT_TRUE(ref::same_bits(r.eV, want)) << s.name << " 2^" << k;
            EXPECT_TRUE(ref::same_bits(r.eM, base.eM)) << s.name << " 2^" << k;
        }
    }
}

TEST(EigenSymmSpecial, ConcurrentCallsOnDisjointArraysAgreeWithSequentialOnes) {
    const int n = 60;
    const std::vector<double> A1 = random_symmetric(n, 1401), A2 = random_symmetric(n, 1402);
    for (const auto& s : kSymmSolvers) {
        const SymmResult s1 = solve_symm(s.solve, A1), s2 = solve_symm(s.solve, A2);
        for (int round = 0; round < 3; ++round) {
            SymmResult c1, c2;
            std::thread t1([&] { c1 = solve_symm(s.solve, A1); });
            std::thread t2([&] { c2 = solve_symm(s.solve, A2); });
            t1.join();
            t2.join();
            EXPECT_TRUE(ref::same_bits(c1.eV, s1.eV)) << s.name;
            EXPECT_TRUE(ref::same_bits(c1.eM, s1.eM)) << s.name;
            EXPECT_TRUE(ref::same_bits(c2.eV, s2.eV)) << s.name;
            EXPECT_TRUE(ref::same_bits(c2.eM, s2.eM)) << s.name;
        }
    }
}

class EigenUnsymRandom : public ::testing::TestWithParam<int> {};

TEST_P(EigenUnsymRandom, MatchesDgeevAsMultisetWithPairConventions) {
    const int n = GetParam();
    const std::vector<double> A = ref::random_vector(static_cast<std::size_t>(n) * n, 2000 + n);
    std::vector<double> M = A, re(n, kSentinel), im(n, kSentinel);
    LA::EigenUnSymmSystemMsq(M.data(), n, re.data(), im.data());
    EXPECT_TRUE(ref::same_bits(M, A)) << "input changed";

    // Conventions: a complex pair sits at i, i+1 with equal real parts and
    // the negative imaginary part first; real eigenvalues have im == 0.0.
    for (int i = 0; i < n; ++i) {
        if (im[i] == 0.0) continue;
        ASSERT_LT(i + 1, n) << "unpaired complex eigenvalue at " << i;
        EXPECT_LT(im[i], 0.0) << i;
        EXPECT_EQ(im[i + 1], -im[i]) << i;
        EXPECT_EQ(re[i + 1], re[i]) << i;
        ++i;
    }

    std::vector<double> Acopy = A, wr(n), wi(n);
    ASSERT_EQ(LAPACKE_dgeev(LAPACK_ROW_MAJOR, 'N', 'N', n, Acopy.data(), n, wr.data(), wi.data(), nullptr, 1,
                            nullptr, 1),
              0);
    const double anorm = norm1(A, n);
    std::vector<bool> used(n, false);
    double worst = 0.0;
    for (int i = 0; i < n; ++i) {
        const std::complex<double> z(re[i], im[i]);
        int best = -1;
        double dist = kInf;
        for (int j = 0; j < n; ++j) {
            if (used[j]) continue;
            const double d = std::abs(z - std::complex<double>(wr[j], wi[j]));
            if (d < dist) {
                dist = d;
                best = j;
            }
        }
        ASSERT_GE(best, 0);
        used[best] = true;
        worst = std::max(worst, dist);
    }
    // Nonsymmetric eigenvalues carry their condition number, which for random
    // matrices of these orders stays small; the bound leaves a wide margin
    // for a less favourable seed.
    EXPECT_LT(worst / (anorm * n * kEps), 100.0) << "n=" << n << " seed=" << ref::seed();
    RecordProperty("value_ratio", std::to_string(worst / (anorm * n * kEps)));
}

INSTANTIATE_TEST_SUITE_P(Orders, EigenUnsymRandom, ::testing::Values(2, 3, 4, 5, 10, 31, 80, 200));

TEST(EigenUnsymSpecial, PowerOfTwoScalingIsExact) {
    // The QR step squares quantities of the matrix scale; inside 2^+-400 it
    // neither overflows nor underflows, and beyond 2^+-500 the solver scales
    // the matrix back by a power of two first.
    const int n = 15;
    const std::vector<double> A = ref::random_vector(n * n, 2051);
    const UnsymResult base = solve_unsym(A);
    for (int k : {400, -400, 1000, -1000}) {
        std::vector<double> B = A;
        for (double& x : B) x = std::ldexp(x, k);
        const UnsymResult r = solve_unsym(B);
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(r.re[i], std::ldexp(base.re[i], k)) << i << " 2^" << k;
            EXPECT_EQ(r.im[i], std::ldexp(base.im[i], k)) << i << " 2^" << k;
        }
    }
}

TEST(EigenUnsymSpecial, BadlyScaledMatrixKeepsItsEigenvalues) {
    // D A D^-1 with D spanning 1e-8 .. 1e8 has A's eigenvalues; balancing
    // undoes most of the scaling.
    const int n = 12;
    const std::vector<double> A = ref::random_vector(n * n, 2101);
    std::vector<double> S(n * n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) S[i * n + j] = A[i * n + j] * std::pow(10.0, 16.0 * (i - j) / (n - 1));
    const UnsymResult a = solve_unsym(A), s = solve_unsym(S);
    std::vector<bool> used(n, false);
    for (int i = 0; i < n; ++i) {
        double dist = kInf;
        int best = -1;
        for (int j = 0; j < n; ++j)
            if (!used[j]) {
                const double d = std::abs(std::complex<double>(s.re[i] - a.re[j], s.im[i] - a.im[j]));
                if (d < dist) dist = d, best = j;
            }
        used[best] = true;
        EXPECT_LT(dist, 1e-9) << i;
    }
}

// ---- finite matrices with huge, tiny and subnormal elements ------------------------

namespace {

// Order-7 upper Hessenberg matrix from a 49-letter pattern, row by row:
// P = 2^20 (P^2 / 1e-300 overflows), H = P/2, t = 1e-300, 0.
std::vector<double> hessenberg7(const char* pattern) {
    const double P = 0x1p20;
    std::vector<double> A(49);
    for (int k = 0; k < 49; ++k)
        A[k] = pattern[k] == 'P' ? P : pattern[k] == 'H' ? P / 2 : pattern[k] == 't' ? 1e-300 : 0.0;
    return A;
}

struct ExtremeUnsym {
    const char* name;
    std::vector<double> A;
};

// The cyclic permutation of order n, slow to converge (its shifts have no
// direction until the exceptional ones): it must stay within the work bound
// of a call.
std::vector<double> cyclic(int n) {
    std::vector<double> A(static_cast<std::size_t>(n) * n, 0.0);
    for (int i = 0; i < n; ++i) A[i * n + (i + 1) % n] = 1.0;
    return A;
}

class EigenUnsymExtreme : public ::testing::TestWithParam<ExtremeUnsym> {};

} // namespace

// Shifts and deflation on elements whose products leave the double range:
// the solver returns, and each eigenvalue agrees with dgeev's to 1e-10 of its
// magnitude or to rounding errors of the matrix norm (backward stability
// bounds no more for eigenvalues far below the norm).
TEST_P(EigenUnsymExtreme, ReturnsTheEigenvaluesOfDgeev) {
    const std::vector<double>& A = GetParam().A;
    const int n = static_cast<int>(std::lround(std::sqrt(static_cast<double>(A.size()))));
    const double anorm = norm1(A, n);
    std::vector<double> M = A, re(n, kSentinel), im(n, kSentinel);
    LA::EigenUnSymmSystemMsq(M.data(), n, re.data(), im.data());
    std::vector<double> Ac = A, wr(n), wi(n);
    ASSERT_EQ(LAPACKE_dgeev(LAPACK_ROW_MAJOR, 'N', 'N', n, Ac.data(), n, wr.data(), wi.data(), nullptr, 1, nullptr, 1),
              0);
    std::vector<bool> used(n, false);
    for (int i = 0; i < n; ++i) {
        const std::complex<double> z(re[i], im[i]);
        int best = -1;
        for (int j = 0; j < n; ++j)
            if (!used[j] && (best < 0 || std::abs(z - std::complex<double>(wr[j], wi[j])) <
                                             std::abs(z - std::complex<double>(wr[best], wi[best]))))
                best = j;
        used[best] = true;
        const std::complex<double> ref(wr[best], wi[best]);
        EXPECT_LE(std::abs(z - ref), 1e-10 * std::abs(ref) + 64 * n * kEps * anorm)
            << GetParam().name << " " << i << ": " << z << " vs " << ref;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EigenUnsymExtreme,
    ::testing::Values(
        ExtremeUnsym{"mixed3", {1e-10, 2e150, 1e-10, 1e-10, 1e-10, 1e150, 0, 1e150, 1e150}},
        ExtremeUnsym{"hessenberg7a", hessenberg7("PPt0P000PPPtt00P0Pttt00PHt0P000tt0H0000t0H00000Pt")},
        ExtremeUnsym{"hessenberg7b", hessenberg7("HHPPPPH0t0HHtt0t0tHPt00HtHHP000H0Ht0000t0P000000P")},
        ExtremeUnsym{"hessenberg7c", hessenberg7("PHPHH0PtHPPHHP0Ht00Pt000HP0t0000tH00000HHP00000Ht")},
        // A pair +-1e-300 i beside 1: p*p and w underflow in the 2 x 2 formula.
        ExtremeUnsym{"tiny_pair", {1, 0, 0, 0, 0, -1e-300, 0, 1e-300, 0}},
        ExtremeUnsym{"cyclic100", cyclic(100)}),
    [](const ::testing::TestParamInfo<ExtremeUnsym>& info) { return std::string(info.param.name); });

namespace {

struct ExtremeSymm {
    const char* name;
    double diagonal;        // the one nonzero diagonal element, at (0, 0)
    int pairs[6][2];        // mirrored pairs holding the smallest subnormal
};

class EigenSymmExtreme : public ::testing::TestWithParam<ExtremeSymm> {};

} // namespace

// Subnormal off-diagonal elements beside zero diagonal elements: both
// symmetric solvers return dsyev's eigenvalues and orthonormal eigenvectors.
TEST_P(EigenSymmExtreme, ReturnsTheEigenvaluesOfDsyev) {
    const ExtremeSymm& k = GetParam();
    const int n = 8;
    std::vector<double> A(n * n, 0.0);
    A[0] = k.diagonal;
    for (const auto& p : k.pairs) A[p[0] * n + p[1]] = A[p[1] * n + p[0]] = 4.9e-324;
    std::vector<double> Ac = A, ref_w(n);
    ASSERT_EQ(LAPACKE_dsyev(LAPACK_ROW_MAJOR, 'N', 'U', n, Ac.data(), n, ref_w.data()), 0);
    std::sort(ref_w.rbegin(), ref_w.rend());
    for (const SymmCase& s : kSymmSolvers) {
        const SymmResult r = solve_symm(s.solve, A);
        for (int i = 0; i < n; ++i) EXPECT_LE(std::fabs(r.eV[i] - ref_w[i]), n * kEps * k.diagonal) << s.name << " " << i;
        EXPECT_LT(orthonormality_ratio(r.eM, n), 10.0) << s.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, EigenSymmExtreme,
                         ::testing::Values(ExtremeSymm{"one_a", 1.0, {{2, 4}, {4, 5}, {4, 7}, {1, 3}, {0, 5}, {2, 7}}},
                                           ExtremeSymm{"one_b", 1.0, {{4, 7}, {1, 2}, {4, 6}, {3, 4}, {0, 1}, {3, 7}}},
                                           ExtremeSymm{"huge_a", 1.2e150, {{2, 4}, {4, 5}, {4, 7}, {1, 3}, {0, 5}, {2, 7}}},
                                           ExtremeSymm{"huge_c", 1.2e150, {{4, 6}, {3, 4}, {4, 7}, {3, 7}, {0, 3}, {1, 2}}}),
                         [](const ::testing::TestParamInfo<ExtremeSymm>& info) { return std::string(info.param.name); });
