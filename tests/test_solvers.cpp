// CPU solvers: SolveLSE (Gauss), SolveLSE1 (OpenMP Gauss), InverseMsq
// (Gauss-Jordan) and DeterminantMsq. Checked against the worked examples,
// against LAPACKE by residual ratios, and bit for bit against the plain
// reference copies in support/ref_solvers.
#include <gtest/gtest.h>
#include <lapacke.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "testhooks.h"
#include "base/work_memory.h"
#include "linalg.h"
#include "solvers/elimination.h"
#include "solvers/solvers.h"
#include "support/ref_solvers.h"
#include "support/reference.h"

using LinearAlgebra::LA;
using Vec = std::vector<double>;

namespace {

using ref::tie_matrix;
using ref::wild_rows_matrix;

const char kSingular[] = "ERROR! Singular system!";
const char kNoMemory[] = "ERROR! Not enough memory for ";
constexpr double kFill = 4242.0;
const int kOrders[] = {1, 2, 3, 4, 5, 10, 50, 137, 300, 500};

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool all_equal(const Vec& v, double x) {
    for (double e : v)
        if (!(e == x)) return false;
    return true;
}

Vec scaled(Vec v, double f) {
    for (double& e : v) e *= f;
    return v;
}

// ||A*Ainv - I||_inf / (n ||A||_inf ||Ainv||_inf eps), LAPACK's inverse ratio.
double inverse_ratio(const Vec& A, const Vec& Ainv, int n) {
    double r = 0.0;
    for (long i = 0; i < n; ++i) {
        long double row = 0.0L;
        for (long j = 0; j < n; ++j) {
            long double s = 0.0L;
            for (long k = 0; k < n; ++k) s += static_cast<long double>(A[i * n + k]) * Ainv[k * n + j];
            row += std::fabs(s - (i == j ? 1.0L : 0.0L));
        }
        r = std::max(r, static_cast<double>(row));
    }
    return r / (n * ref::norm_inf(A.data(), n) * ref::norm_inf(Ainv.data(), n) *
                std::numeric_limits<double>::epsilon());
}

// ----------------------------------------------------------------------------
// Row scale factor

// The pivot search against one compare chain down the column, on columns
// made of few magnitudes (ties everywhere, of either sign and zero) with a
// NaN or an infinity here and there, from every starting row.
TEST(PivotSearch, ChoosesAsOneChainDownTheColumn) {
    const double values[] = {0.0, -0.0, 1.0, -1.0, 2.0, -2.0, NAN, INFINITY};
    std::mt19937 g(7);
    for (int n = 1; n <= 13; ++n)
        for (int trial = 0; trial < 200; ++trial) {
            // Every column the same, so step k searches the same values.
            Vec v(n), W(static_cast<std::size_t>(n) * n);
            const unsigned kinds = trial % 3 == 0 ? 8 : 6;  // NaN and infinity in a third
            for (double& x : v) x = values[g() % kinds];
            for (int r = 0; r < n; ++r) std::fill_n(W.begin() + r * n, n, v[r]);
            for (linalg::idx k = 0; k < n; ++k) {
                linalg::idx row = k;
                double mag = std::fabs(v[k]);
                for (linalg::idx r = k + 1; r < n; ++r)
                    if (std::fabs(v[r]) > mag) mag = std::fabs(v[r]), row = r;
                const linalg::Pivot p = linalg::find_pivot(W.data(), n, k, n);
                ASSERT_EQ(p.row, row) << "order " << n << ", trial " << trial << ", step " << k;
                ASSERT_EQ(std::memcmp(&p.magnitude, &mag, sizeof mag), 0);
            }
        }
}

TEST(RowScaleFactor, BringsRowSumsIntoHalfToOne) {
    const double ln2 = std::log(2.0);
    EXPECT_NEAR(linalg::RowScaleFactor(8.0, ln2), 1.0 / 16, 1e-16);
    EXPECT_NEAR(linalg::RowScaleFactor(3.0, ln2), 0.25, 1e-16);
    EXPECT_NEAR(linalg::RowScaleFactor(0.25, ln2), 2.0, 1e-15);
    EXPECT_NEAR(linalg::RowScaleFactor(0.3, ln2), 2.0, 1e-15);
    for (double s : {1.0000001, 1.5, 2.0, 7.9, 1e3, 1e150, 1e300, 0.4999, 0.1, 1e-15, 1e-300}) {
        SCOPED_TRACE(s);
        const double f = linalg::RowScaleFactor(s, ln2);
        const double e = std::log2(f);
        EXPECT_NEAR(e, std::round(e), 1e-9) << "not a power of two";
        EXPECT_GE(s * f, 0.5 * (1 - 1e-14));
        EXPECT_LT(s * f, 1.0);
        EXPECT_EQ(f, ref::row_scale_factor(s, ln2));
    }
}

// The library computes the factor without the C library's log and exp; it
// equals the formula evaluated with glibc's: for sums near every power of two
// (within 2^-40, where the rounding of ln(s) decides the exponent), for every
// exponent's factor, and for sums drawn over the whole range. Left out are
// sums whose logarithm lies within 2^-10 units of the last place of a
// rounding midpoint (judged in long double): there glibc's log itself may
// round either way, and the library rounds correctly.
TEST(RowScaleFactor, IsTheFormulaWithCorrectlyRoundedLogAndExp) {
#ifndef __GLIBC__
    GTEST_SKIP() << "compared with glibc's log and exp";
#endif
    const double ln2 = std::log(2.0);
    long bad = 0, hard = 0;
    double first_bad = 0.0;
    auto check = [&](double s) {
        const double got = linalg::RowScaleFactor(s, ln2), want = ref::row_scale_factor(s, ln2);
        if (std::memcmp(&got, &want, sizeof got) == 0) return;
        const long double l = std::log(static_cast<long double>(s));
        const double r = static_cast<double>(l);
        const long double ulp = std::nextafter(std::fabs(r), INFINITY) - std::fabs(r);
        const long double to_midpoint = std::fabs(std::fabs(l - r) - ulp / 2);
        if (to_midpoint < ulp / 1024) {
            ++hard;
        } else if (bad++ == 0) {
            first_bad = s;
        }
    };
    auto step = [](double x, long d) {
        std::int64_t b;
        std::memcpy(&b, &x, sizeof b);
        b += d;
        std::memcpy(&x, &b, sizeof x);
        return x;
    };
    for (int k = -1073; k <= 1023; ++k) {
        const double p = std::ldexp(1.0, k);
        for (long d = -9000; d < 5000; d += 7)  // 2^-40 is 8192 steps below, 4096 above
            if (std::isfinite(step(p, d))) check(step(p, d));
    }
    std::mt19937_64 gen(2027);
    for (int i = 0; i < 300000; ++i) {
        const std::uint64_t b = gen() & 0x7FEFFFFFFFFFFFFFull;  // positive and finite
        double s;
        std::memcpy(&s, &b, sizeof s);
        if (s > 0.0) check(s);
    }
    EXPECT_EQ(bad, 0) << "first at s = " << std::hexfloat << first_bad << ": " << linalg::RowScaleFactor(first_bad, ln2)
                      << ", the formula " << ref::row_scale_factor(first_bad, ln2);
    EXPECT_LT(hard, 10);
}

// ----------------------------------------------------------------------------
// Both Gauss solvers share the examples: one body, two variants.

using SolveFn = void (*)(double*, double*, double*, int);

struct SolverCase {
    const char* name;
    SolveFn solve;
    bool (*oracle)(const double*, const double*, double*, int);
};
void PrintTo(const SolverCase& c, std::ostream* os) { *os << c.name; }

class GaussSolvers : public ::testing::TestWithParam<SolverCase> {
protected:
    void SetUp() override { ASSERT_EQ(LA::Init_openMP(3), 0); }
    // Solves with stdout captured; returns what was printed.
    std::string solve(Vec A, Vec B, Vec& X, int n) {
        ref::StdoutCapture cap;
        GetParam().solve(A.data(), B.data(), X.data(), n);
        return cap.finish();
    }
};

TEST_P(GaussSolvers, WorkedExamples) {
    Vec X(1, kFill);
    EXPECT_EQ(solve({4.0}, {3.0}, X, 1), "");
    EXPECT_NEAR(X[0], 0.75, 1e-16);

    X.assign(2, kFill);
    EXPECT_EQ(solve({0, 1, 1, 0}, {2, 3}, X, 2), "");
    EXPECT_EQ(X, (Vec{3, 2}));

    // The negative entry has the larger magnitude and becomes the pivot.
    X.assign(2, kFill);
    EXPECT_EQ(solve({0, 1, -1, 0}, {2, 3}, X, 2), "");
    EXPECT_EQ(X, (Vec{-3, 2}));

    const int n = 7;
    Vec I(n * n, 0.0), B = ref::random_vector(n, 3);
    for (int i = 0; i < n; ++i) I[i * n + i] = 1.0;
    X.assign(n, kFill);
    EXPECT_EQ(solve(I, B, X, n), "");
    EXPECT_TRUE(ref::same_bits(X, B)) << "identity must reproduce B exactly";
}

TEST_P(GaussSolvers, SingularSystemsReportAndLeaveXUntouched) {
    const long before = linalg::testhooks::blocks_held();
    struct Case {
        const char* what;
        int n;
        Vec A;
    };
    const Case cases[] = {
        {"two equal rows", 3, {1, 2, 3, 4, 5, 6, 1, 2, 3}},
        {"all-zero row", 3, {1, 2, 3, 0, 0, 0, 7, 8, 10}},
        {"all-zero matrix", 2, {0, 0, 0, 0}},
        {"singular at the last column", 2, {1, 2, 2, 4}},
        {"order one, zero", 1, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Vec X(c.n, kFill);
        EXPECT_EQ(solve(c.A, Vec(c.n, 1.0), X, c.n), kSingular);
        EXPECT_TRUE(all_equal(X, kFill));
    }
    // 50x50 with an all-zero row: the message, not silent NaN.
    Vec A = ref::random_matrix(50, 7);
    for (int j = 0; j < 50; ++j) A[20 * 50 + j] = 0.0;
    Vec X(50, kFill);
    EXPECT_EQ(solve(A, Vec(50, 1.0), X, 50), kSingular);
    EXPECT_TRUE(all_equal(X, kFill));
    EXPECT_EQ(linalg::testhooks::blocks_held(), before) << "work matrix leaked";
}

TEST_P(GaussSolvers, XMayBeTheRightHandSide) {
    const int n = 40;
    Vec A = ref::random_matrix(n, 8), B = ref::random_vector(n, 9), X(n);
    GetParam().solve(A.data(), B.data(), X.data(), n);
    Vec BX = B;
    GetParam().solve(A.data(), BX.data(), BX.data(), n);
    EXPECT_TRUE(ref::same_bits(BX, X));
}

TEST_P(GaussSolvers, InputsAreNotModified) {
    const int n = 30;
    const Vec A0 = ref::random_matrix(n, 10), B0 = ref::random_vector(n, 11);
    Vec A = A0, B = B0, X(n);
    GetParam().solve(A.data(), B.data(), X.data(), n);
    EXPECT_TRUE(ref::same_bits(A, A0));
    EXPECT_TRUE(ref::same_bits(B, B0));
}

TEST_P(GaussSolvers, OrdersOfZeroOrLessDoNothing) {
    for (int n : {0, -1, -46341, INT_MIN}) {
        SCOPED_TRACE(n);
        double x = kFill;
        linalg::testhooks::reset_alloc_counters();
        ref::StdoutCapture cap;
        GetParam().solve(nullptr, nullptr, &x, n);  // nothing may be read
        EXPECT_EQ(cap.finish(), "");
        EXPECT_EQ(x, kFill);
        EXPECT_EQ(linalg::testhooks::alloc_calls(), 0);
    }
}

TEST_P(GaussSolvers, TinyButRegularSystemsAreSolved) {
    for (int n : {4, 50, 200}) {
        SCOPED_TRACE(n);
        const Vec A = scaled(ref::random_matrix(n, 12 + n), 1e-15);
        const Vec B = scaled(ref::random_vector(n, 13 + n), 1e-15);
        Vec X(n, kFill);
        EXPECT_EQ(solve(A, B, X, n), "");
        EXPECT_LT(ref::solve_ratio(A.data(), X.data(), B.data(), n), 30.0);
    }
}

TEST_P(GaussSolvers, RowsAtTheEndsOfTheDoubleRangeAreSolved) {
    // A subnormal row sum would need a scale factor above the largest double;
    // a row whose finite entries sum beyond it would get a factor of 0.
    {
        const Vec A = {1e-310, 0.0, 0.0, 3e-310}, B = {1e-310, 6e-310};
        Vec X(2, kFill);
        EXPECT_EQ(solve(A, B, X, 2), "");
        EXPECT_NEAR(X[0], 1.0, 1e-12);
        EXPECT_NEAR(X[1], 2.0, 1e-12);
    }
    {
        const Vec A = {1e308, 1e308, 1e308, -1e308}, B = {1.5e308, 0.5e308};
        Vec X(2, kFill);
        EXPECT_EQ(solve(A, B, X, 2), "");
        EXPECT_NEAR(X[0], 1.0, 1e-15);
        EXPECT_NEAR(X[1], 0.5, 1e-15);
    }
    // A row with an infinite or NaN entry is not made finite.
    for (double bad : {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        const Vec A = {bad, 1.0, 0.0, 1.0}, B = {1.0, 1.0};
        Vec X(2, kFill);
        solve(A, B, X, 2);
        EXPECT_FALSE(std::isfinite(X[0]) && std::isfinite(X[1]) && X[0] != kFill);
    }
}

TEST_P(GaussSolvers, AgreeWithLapackDgesv) {
    for (int n : kOrders) {
        SCOPED_TRACE("order " + std::to_string(n));
        const Vec A = ref::random_matrix(n, 100 + n), B = ref::random_vector(n, 200 + n);
        Vec X(n, kFill);
        ASSERT_EQ(solve(A, B, X, n), "");
        const double ratio = ref::solve_ratio(A.data(), X.data(), B.data(), n);
        EXPECT_LT(ratio, 30.0);

        Vec LU = A, XL = B;
        std::vector<lapack_int> ipiv(n);
        ASSERT_EQ(LAPACKE_dgesv(LAPACK_ROW_MAJOR, n, 1, LU.data(), n, ipiv.data(), XL.data(), 1), 0);
        EXPECT_LT(ref::solve_ratio(A.data(), XL.data(), B.data(), n), 30.0);
        double diff = 0.0, xn = 0.0;
        for (int i = 0; i < n; ++i) {
            diff = std::max(diff, std::fabs(X[i] - XL[i]));
            xn = std::max(xn, std::fabs(XL[i]));
        }
        EXPECT_LE(diff, 1e-13 * xn) << "ratio " << ratio;
    }
}

TEST_P(GaussSolvers, MatchTheReferenceBitForBit) {
    struct Gen {
        const char* what;
        Vec (*make)(int, std::uint64_t);
    };
    const Gen gens[] = {{"random", ref::random_matrix}, {"ties", tie_matrix}, {"wild rows", wild_rows_matrix}};
    for (const Gen& g : gens)
        for (int n : {1, 2, 3, 4, 5, 8, 17, 64, 300}) {
            SCOPED_TRACE(std::string(g.what) + " order " + std::to_string(n));
            const Vec A = g.make(n, 300 + n), B = ref::random_vector(n, 400 + n);
            Vec X(n, kFill), R(n, kFill);
            const std::string out = solve(A, B, X, n);
            const bool regular = GetParam().oracle(A.data(), B.data(), R.data(), n);
            EXPECT_EQ(out, regular ? "" : kSingular);
            EXPECT_TRUE(ref::same_bits(X, R));
        }
}

TEST_P(GaussSolvers, FailedWorkAllocationLeavesXUntouched) {
    const int n = 12;
    Vec A = ref::random_matrix(n, 14), B = ref::random_vector(n, 15), X(n, kFill);
    linalg::testhooks::reset_alloc_counters();
    GetParam().solve(A.data(), B.data(), X.data(), n);
    const long long sites = linalg::testhooks::alloc_calls();
    EXPECT_EQ(sites, 1);
    for (long long k = 1; k <= sites; ++k) {
        SCOPED_TRACE(k);
        Vec Y(n, kFill);
        const long before = linalg::testhooks::blocks_held();
        linalg::testhooks::fail_alloc_at(k);
        const std::string out = solve(A, B, Y, n);
        linalg::testhooks::reset_alloc_counters();
        EXPECT_TRUE(starts_with(out, kNoMemory)) << out;
        EXPECT_TRUE(all_equal(Y, kFill));
        EXPECT_EQ(linalg::testhooks::blocks_held(), before);
    }
}

TEST_P(GaussSolvers, OrdersBeyondMemoryAreRefusedWithAMessage) {
    // The work matrix of order 2^31 - 1 has more bytes than size_t holds;
    // computed in 32 bits it would wrap. A and B must not be read.
    double a = 1.0, b = 1.0, x = kFill;
    ref::StdoutCapture cap;
    GetParam().solve(&a, &b, &x, INT_MAX);
    const std::string out = cap.finish();
    EXPECT_TRUE(starts_with(out, kNoMemory)) << out;
    EXPECT_EQ(x, kFill);
}

INSTANTIATE_TEST_SUITE_P(Cpu, GaussSolvers,
                         ::testing::Values(SolverCase{"SolveLSE", LA::SolveLSE, ref::solve_gauss},
                                           SolverCase{"SolveLSE1", LA::SolveLSE1, ref::solve_gauss_divided}),
                         [](const auto& info) { return std::string(info.param.name); });

// ----------------------------------------------------------------------------
// SolveLSE against SolveLSE1, and SolveLSE1 across thread counts

TEST(SolveLSE1, ResultDoesNotDependOnTheThreadCount) {
    for (int n : {1, 2, 7, 64, 300}) {
        SCOPED_TRACE(n);
        Vec A = ref::random_matrix(n, 500 + n), B = ref::random_vector(n, 600 + n);
        Vec first;
        for (int t : {1, 2, 3, 8}) {
            ASSERT_EQ(LA::Init_openMP(t), 0);
            Vec X(n, kFill);
            LA::SolveLSE1(A.data(), B.data(), X.data(), n);
            if (first.empty())
                first = X;
            else
                EXPECT_TRUE(ref::same_bits(X, first)) << t << " threads";
        }
    }
}

TEST(SolveLSE1, AgreesWithSolveLSEUpToRounding) {
    for (int t : {1, 8}) {
        ASSERT_EQ(LA::Init_openMP(t), 0);
        for (int n : {1, 2, 5, 50, 300, 500}) {
            SCOPED_TRACE("order " + std::to_string(n) + ", threads " + std::to_string(t));
            Vec A = ref::random_matrix(n, 700 + n), B = ref::random_vector(n, 800 + n);
            Vec X(n), Y(n);
            LA::SolveLSE(A.data(), B.data(), X.data(), n);
            LA::SolveLSE1(A.data(), B.data(), Y.data(), n);
            for (int i = 0; i < n; ++i) EXPECT_NEAR(X[i], Y[i], 1e-13 * std::fabs(X[i]) + 1e-300) << i;
        }
    }
}

// ----------------------------------------------------------------------------
// Inverse

std::string invert(Vec A, Vec& inv, int n) {
    ref::StdoutCapture cap;
    LA::InverseMsq(A.data(), inv.data(), n);
    return cap.finish();
}

TEST(InverseMsq, WorkedExamples) {
    Vec inv(4, kFill);
    EXPECT_EQ(invert({2, 0, 0, 4}, inv, 2), "");
    EXPECT_NEAR(inv[0], 0.5, 1e-16);
    EXPECT_EQ(inv[1], 0.0);
    EXPECT_EQ(inv[2], 0.0);
    EXPECT_NEAR(inv[3], 0.25, 1e-16);

    EXPECT_EQ(invert({0, 1, 1, 0}, inv, 2), "");
    EXPECT_EQ(inv, (Vec{0, 1, 1, 0}));

    inv.assign(1, kFill);
    EXPECT_EQ(invert({-8}, inv, 1), "");
    EXPECT_NEAR(inv[0], -0.125, 1e-17);
}

TEST(InverseMsq, SingularMatrixReportsAndOverwritesTheOutput) {
    const long before = linalg::testhooks::blocks_held();
    Vec inv(9, kFill);
    EXPECT_EQ(invert({1, 2, 3, 1, 2, 3, 0, 1, 5}, inv, 3), kSingular);
    EXPECT_FALSE(all_equal(inv, kFill));  // the right-hand block was in use
    inv.assign(9, kFill);
    EXPECT_EQ(invert({1, 2, 3, 0, 0, 0, 0, 1, 5}, inv, 3), kSingular);
    for (double v : inv) EXPECT_TRUE(std::isfinite(v)) << "all-zero row must not turn into NaN";
    EXPECT_EQ(linalg::testhooks::blocks_held(), before);
}

TEST(InverseMsq, EqualPivotMagnitudesOfOppositeSignTakeTheUpperRow) {
    // Every row sum is 2, so every row is scaled by 1/4 and column 0 offers
    // 0.25 and -0.25. Keeping row 0 as pivot, column 1 is then all zero: the
    // output block shows step 0 done without an exchange. (Taking row 1
    // would leave (0, -1, 0) in its first row.)
    Vec inv(9, kFill);
    EXPECT_EQ(invert({1, 1, 0, -1, -1, 0, 0, 0, 2}, inv, 3), kSingular);
    EXPECT_EQ(inv, (Vec{1, 0, 0, 0.25, 0.25, 0, 0, 0, 0.25}));
}

TEST(InverseMsq, OutputMayBeTheInput) {
    const int n = 25;
    Vec A = ref::random_matrix(n, 16), inv(n * n);
    LA::InverseMsq(A.data(), inv.data(), n);
    LA::InverseMsq(A.data(), A.data(), n);
    EXPECT_TRUE(ref::same_bits(A, inv));
}

TEST(InverseMsq, OrdersOfZeroOrLessDoNothing) {
    for (int n : {0, -1, -3, INT_MIN}) {
        SCOPED_TRACE(n);
        double x = kFill;
        linalg::testhooks::reset_alloc_counters();
        ref::StdoutCapture cap;
        LA::InverseMsq(nullptr, &x, n);
        EXPECT_EQ(cap.finish(), "");
        EXPECT_EQ(x, kFill);
        EXPECT_EQ(linalg::testhooks::alloc_calls(), 0);
    }
}

TEST(InverseMsq, AgreesWithLapackDgetri) {
    for (int n : kOrders) {
        SCOPED_TRACE("order " + std::to_string(n));
        const Vec A = ref::random_matrix(n, 900 + n);
        Vec inv(static_cast<std::size_t>(n) * n, kFill);
        ASSERT_EQ(invert(A, inv, n), "");
        const double ratio = inverse_ratio(A, inv, n);
        EXPECT_LT(ratio, 30.0);

        Vec L = A;
        std::vector<lapack_int> ipiv(n);
        ASSERT_EQ(LAPACKE_dgetrf(LAPACK_ROW_MAJOR, n, n, L.data(), n, ipiv.data()), 0);
        ASSERT_EQ(LAPACKE_dgetri(LAPACK_ROW_MAJOR, n, L.data(), n, ipiv.data()), 0);
        EXPECT_LT(inverse_ratio(A, L, n), 30.0);
        double diff = 0.0;
        for (std::size_t i = 0; i < inv.size(); ++i) diff = std::max(diff, std::fabs(inv[i] - L[i]));
        EXPECT_LE(diff, 1e-13 * ref::norm_inf(L.data(), n)) << "ratio " << ratio;
    }
}

TEST(InverseMsq, TinyButRegularMatrixIsInverted) {
    const int n = 60;
    const Vec A = scaled(ref::random_matrix(n, 17), 1e-15);
    Vec inv(n * n);
    EXPECT_EQ(invert(A, inv, n), "");
    EXPECT_LT(inverse_ratio(A, inv, n), 30.0);
}

TEST(InverseMsq, RowsAtTheEndsOfTheDoubleRangeAreInverted) {
    const Vec A = {1e308, 1e308, 1e308, -1e308};
    Vec inv(4, kFill);
    EXPECT_EQ(invert(A, inv, 2), "");
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(inv[k] / 5e-309, k == 3 ? -1.0 : 1.0, 1e-3) << k;
}

TEST(InverseMsq, MatchesTheReferenceBitForBit) {
    for (auto make : {ref::random_matrix, tie_matrix, wild_rows_matrix})
        for (int n : {1, 2, 3, 4, 9, 33, 128}) {
            SCOPED_TRACE(n);
            const Vec A = make(n, 1000 + n);
            Vec inv(static_cast<std::size_t>(n) * n, kFill), R(inv.size(), kFill);
            const std::string out = invert(A, inv, n);
            const bool regular = ref::invert_gauss_jordan(A.data(), R.data(), n);
            EXPECT_EQ(out, regular ? "" : kSingular);
            EXPECT_TRUE(ref::same_bits(inv, R));
        }
}

TEST(InverseMsq, FailedWorkAllocationLeavesTheOutputUntouched) {
    const int n = 6;
    Vec A = ref::random_matrix(n, 18), inv(n * n, kFill);
    linalg::testhooks::reset_alloc_counters();
    LA::InverseMsq(A.data(), inv.data(), n);
    const long long sites = linalg::testhooks::alloc_calls();
    EXPECT_EQ(sites, 1);
    for (long long k = 1; k <= sites; ++k) {
        Vec out(n * n, kFill);
        const long before = linalg::testhooks::blocks_held();
        linalg::testhooks::fail_alloc_at(k);
        const std::string msg = invert(A, out, n);
        linalg::testhooks::reset_alloc_counters();
        EXPECT_TRUE(starts_with(msg, kNoMemory)) << msg;
        EXPECT_TRUE(all_equal(out, kFill));
        EXPECT_EQ(linalg::testhooks::blocks_held(), before);
    }
    double a = 1.0, x = kFill;
    ref::StdoutCapture cap;
    LA::InverseMsq(&a, &x, INT_MAX);
    const std::string msg = cap.finish();
    EXPECT_TRUE(starts_with(msg, kNoMemory)) << msg;
    EXPECT_EQ(x, kFill);
}

// ----------------------------------------------------------------------------
// Calls while the process ends

namespace {
// SolveLSE and InverseMsq at order 730 (4.3 MB of work each, blocks the work
// memory keeps for reuse); false unless both results are right.
bool large_calls_are_right() {
    const int n = 730;
    Vec A = ref::random_matrix(n, 31), B = ref::random_vector(n, 32), X(n, kFill), inv(Vec::size_type(n) * n, kFill);
    LA::SolveLSE(A.data(), B.data(), X.data(), n);
    LA::InverseMsq(A.data(), inv.data(), n);
    double e = 0.0;  // first row of inv times A against the first unit row
    for (int j = 0; j < n; ++j) {
        double s = 0.0;
        for (int k = 0; k < n; ++k) s += inv[k] * A[k * n + j];
        e = std::max(e, std::fabs(s - (j == 0 ? 1.0 : 0.0)));
    }
    return ref::solve_ratio(A.data(), X.data(), B.data(), n) < 30.0 && e < 1e-9;
}

struct CallsInItsDestructor {
    ~CallsInItsDestructor() {
        if (!large_calls_are_right()) _exit(3);
    }
};

// Exit status of a child that registers the late calls (in an atexit
// handler, or in the destructor of a static object) before its first large
// call, makes that call and exits.
int exit_status_with_late_calls(bool from_destructor) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        if (from_destructor) {
            static CallsInItsDestructor late;
        } else {
            std::atexit([] {
                if (!large_calls_are_right()) _exit(3);
            });
        }
        std::exit(large_calls_are_right() ? 0 : 4);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}
} // namespace

TEST(ExitSequence, LargeCallsInAtexitHandlersAndStaticDestructorsWork) {
    for (bool from_destructor : {false, true}) {
        const int status = exit_status_with_late_calls(from_destructor);
        EXPECT_TRUE(WIFEXITED(status)) << "from_destructor=" << from_destructor << " signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0) << "from_destructor=" << from_destructor;
    }
}

// ----------------------------------------------------------------------------
// Determinant

double det(Vec A, int n, std::string* printed = nullptr) {
    ref::StdoutCapture cap;
    const double d = LA::DeterminantMsq(A.data(), n);
    const std::string out = cap.finish();
    if (printed) *printed = out;
    return d;
}

TEST(DeterminantMsq, WorkedExamples) {
    std::string out;
    EXPECT_EQ(det({1, 2, 3, 4}, 2, &out), -2.0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(det({1, 0, 0, 0, 1, 0, 0, 0, 1}, 3, &out), 1.0);
    EXPECT_EQ(det({-2.5}, 1), -2.5);
    // Rows 0 and 1 of the 4x4 identity exchanged: one row exchange.
    EXPECT_EQ(det({0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, 4, &out), -1.0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(det({2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 4, 0, 0, 0, 0, 5}, 4), 120.0);
    EXPECT_EQ(det({}, 0, &out), 1.0);
    EXPECT_EQ(out, "");
}

TEST(DeterminantMsq, ClosedFormulasFollowTheirOrderOfOperations) {
    const Vec a = ref::random_vector(9, 19);
    const double P = ((a[0] * a[4]) * a[8] + (a[3] * a[7]) * a[2]) + (a[1] * a[5]) * a[6];
    const double Q = ((a[4] * a[2]) * a[6] + (a[1] * a[3]) * a[8]) + (a[5] * a[0]) * a[7];
    EXPECT_EQ(det(a, 3), P - Q);
    EXPECT_EQ(det(a, 2), a[3] * a[0] - a[2] * a[1]);
    // The 3x3 formula takes no singularity test; 4x4 does, on unscaled pivots.
    std::string out;
    EXPECT_EQ(det({1e-13, 0, 0, 0, 1e-13, 0, 0, 0, 1e-13}, 3, &out), (1e-13 * 1e-13) * 1e-13);
    EXPECT_EQ(out, "");
    EXPECT_EQ(det({1, 2, 3, 1, 2, 3, 4, 5, 7}, 3, &out), 0.0);
    EXPECT_EQ(out, "");
}

TEST(DeterminantMsq, SingularOrdersFourAndAboveReportAndGiveZero) {
    const long before = linalg::testhooks::blocks_held();
    std::string out;
    Vec d13(16, 0.0);
    for (int i = 0; i < 4; ++i) d13[i * 5] = 1e-13;
    EXPECT_EQ(det(d13, 4, &out), 0.0);
    EXPECT_EQ(out, kSingular);
    EXPECT_EQ(det({1, 2, 3, 4, 1, 2, 3, 4, 0, 1, 0, 0, 0, 0, 1, 0}, 4, &out), 0.0);
    EXPECT_EQ(out, kSingular);
    EXPECT_EQ(det({1, 2, 3, 4, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}, 4, &out), 0.0);
    EXPECT_EQ(out, kSingular);
    EXPECT_EQ(linalg::testhooks::blocks_held(), before);
}

TEST(DeterminantMsq, AgreesWithLapackDgetrf) {
    for (int n : kOrders) {
        SCOPED_TRACE("order " + std::to_string(n));
        // Scaled to a unit diagonal so the product stays within range.
        const Vec A = scaled(ref::random_matrix(n, 1100 + n), 1.0 / (0.5 * n + 1.0));
        std::string out;
        const double d = det(A, n, &out);
        EXPECT_EQ(out, "");
        Vec L = A;
        std::vector<lapack_int> ipiv(n);
        ASSERT_EQ(LAPACKE_dgetrf(LAPACK_ROW_MAJOR, n, n, L.data(), n, ipiv.data()), 0);
        double want = 1.0;
        for (int i = 0; i < n; ++i) want *= (ipiv[i] != i + 1 ? -L[i * n + i] : L[i * n + i]);
        ASSERT_TRUE(std::isnormal(want));
        EXPECT_LE(std::fabs(d - want), 30.0 * n * std::numeric_limits<double>::epsilon() * std::fabs(want))
            << d << " vs " << want;
    }
}

TEST(DeterminantMsq, MatchesTheReferenceBitForBit) {
    for (auto make : {ref::random_matrix, tie_matrix})
        for (int n : {1, 2, 3, 4, 5, 9, 33, 100}) {
            SCOPED_TRACE(n);
            const Vec A = make(n, 1200 + n);
            std::string out;
            bool singular = false;
            const double want = ref::determinant(A.data(), n, &singular);
            const double got = det(A, n, &out);
            EXPECT_EQ(out, singular ? kSingular : "");
            EXPECT_TRUE(ref::same_bits(&got, &want, 1));
        }
}

TEST(DeterminantMsq, AllocatesOnlyAboveOrderThree) {
    Vec A = ref::random_matrix(5, 20);
    for (int n : {1, 2, 3}) {
        linalg::testhooks::reset_alloc_counters();
        LA::DeterminantMsq(A.data(), n);
        EXPECT_EQ(linalg::testhooks::alloc_calls(), 0) << n;
    }
    linalg::testhooks::reset_alloc_counters();
    LA::DeterminantMsq(A.data(), 5);
    EXPECT_EQ(linalg::testhooks::alloc_calls(), 1);
}

TEST(DeterminantMsq, FailedWorkAllocationGivesNaNAndAMessage) {
    Vec A = ref::random_matrix(5, 21);
    const long before = linalg::testhooks::blocks_held();
    linalg::testhooks::fail_alloc_at(1);
    std::string out;
    const double d = det(A, 5, &out);
    linalg::testhooks::reset_alloc_counters();
    EXPECT_TRUE(std::isnan(d));
    EXPECT_TRUE(starts_with(out, kNoMemory)) << out;
    EXPECT_EQ(linalg::testhooks::blocks_held(), before);

    double a = 1.0;
    ref::StdoutCapture cap;
    EXPECT_TRUE(std::isnan(LA::DeterminantMsq(&a, INT_MAX)));
    EXPECT_TRUE(starts_with(cap.finish(), kNoMemory));
}

TEST(DeterminantMsq, NegativeOrdersReadNothing) {
    for (int n : {-1, -4, INT_MIN}) {
        ref::StdoutCapture cap;
        EXPECT_EQ(LA::DeterminantMsq(nullptr, n), 1.0);
        EXPECT_EQ(cap.finish(), "");
    }
}

} // namespace
