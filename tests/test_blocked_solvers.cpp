// Blocked eliminations against the plain reference loops, bit for bit: every
// kernel ISA, several panel widths (so that small orders run many panels,
// partial sub-panels and the plain tail), orders around the block edges,
// inputs that stress pivoting, scaling, ties, signed zeros and singularity,
// and the OpenMP solver with several thread counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "testhooks.h"
#include "linalg.h"
#include "solvers/blocked_lu.h"
#include "kernels/kernels.h"
#include "solvers/solvers.h"
#include "support/ref_solvers.h"
#include "support/reference.h"

using LinearAlgebra::LA;
using Vec = std::vector<double>;
using linalg::isa;

namespace {

using ref::tie_matrix;
using ref::wild_rows_matrix;

const char kSingular[] = "ERROR! Singular system!";
constexpr double kFill = 4242.0;

// ---- inputs ----------------------------------------------------------------

Vec random_matrix(int n, std::uint64_t salt) { return ref::random_matrix(n, salt); }

// Mostly zeros of both signs with a few small integers and halves: exact
// cancellations give signed zeros whose sign depends on the order of the
// updates.
Vec signed_zero_matrix(int n, std::uint64_t salt) {
    std::mt19937_64 g(ref::seed() ^ salt ^ 0x2e0);
    const double pick[] = {0.0, -0.0, -0.0, 0.0, 1.0, -1.0, 0.5, -2.0, 3.0};
    Vec a(static_cast<std::size_t>(n) * n);
    for (double& e : a) e = pick[g() % 9];
    for (int i = 0; i < n; ++i) a[static_cast<std::size_t>(i) * n + i] += 4.0;  // keep it mostly regular
    return a;
}

// Column c is a combination of the two columns before it: the elimination
// meets a pivot column of rounding noise (below 1e-12) at step c, inside a
// panel, while the earlier columns are regular.
Vec singular_at_matrix(int n, int c, std::uint64_t salt) {
    Vec a = ref::random_matrix(n, salt);
    for (int i = 0; i < n; ++i) {
        double* row = a.data() + static_cast<std::size_t>(i) * n;
        row[c] = 0.75 * row[c - 1] - 0.5 * row[c - 2];
    }
    return a;
}

struct Gen {
    const char* name;
    Vec (*make)(int, std::uint64_t);
};
const Gen kGens[] = {{"random", random_matrix},
                     {"ties", tie_matrix},
                     {"wild rows", wild_rows_matrix},
                     {"signed zeros", signed_zero_matrix}};

Vec rhs(int n, std::uint64_t salt) {
    Vec b = ref::random_vector(n, salt);
    for (int i = 0; i < n; i += 7) b[i] = (i % 2) ? 0.0 : -0.0;
    return b;
}

bool same_bits(const Vec& a, const Vec& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---- variants --------------------------------------------------------------

// (ISA, panel width) pairs. Width 0 is the library default; the small widths
// make orders of a few dozen run through many panels.
struct Variant {
    isa level;
    long nb;
};
std::string name_of(isa level) { return linalg::isa_name(level); }
void PrintTo(const Variant& v, std::ostream* os) { *os << name_of(v.level) << "_nb" << v.nb; }

class Blocked : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (!linalg::testhooks::force_isa(GetParam().level))
            GTEST_SKIP() << name_of(GetParam().level) << " not supported by this processor";
        linalg::testhooks::set_block_size(GetParam().nb);
        ASSERT_EQ(LA::Init_openMP(2), 0);
    }
    void TearDown() override {
        linalg::testhooks::reset_isa();
        linalg::testhooks::set_block_size(0);
    }

    // Orders for this panel width: small ones, both sides of each multiple
    // of the width up to a few panels, and (default width) the large list.
    std::vector<int> orders() const {
        std::vector<int> o = {1, 2, 3, 4, 5, 6, 7, 8, 9};
        const long nb = GetParam().nb;
        if (nb == 0) {
            for (int n : {63, 64, 65, 127, 128, 129, 191, 192, 193, 200, 257, 500}) o.push_back(n);
        } else {
            for (long m = 1; m <= 5; ++m)
                for (long d : {-1L, 0L, 1L}) {
                    const long n = m * nb + d;
                    if (n > 9) o.push_back(static_cast<int>(n));
                }
            o.push_back(static_cast<int>(5 * nb + nb / 2 + 3));
        }
        return o;
    }
};

// Gaussian solve, both pivot forms, against the plain references; for the
// OpenMP solver with several thread counts.
TEST_P(Blocked, SolversMatchTheReferenceBitForBit) {
    for (const Gen& g : kGens)
        for (int n : orders()) {
            SCOPED_TRACE(std::string(g.name) + ", order " + std::to_string(n));
            const Vec A = g.make(n, 3000 + n), B = rhs(n, 4000 + n);

            Vec R(n, kFill), X(n, kFill);
            const bool regular = ref::solve_gauss(A.data(), B.data(), R.data(), n);
            Vec a = A, b = B;
            ref::StdoutCapture cap;
            LA::SolveLSE(a.data(), b.data(), X.data(), n);
            EXPECT_EQ(cap.finish(), regular ? "" : kSingular);
            EXPECT_TRUE(same_bits(X, R)) << "SolveLSE";
            EXPECT_TRUE(same_bits(a, A) && same_bits(b, B)) << "inputs modified";

            Vec RD(n, kFill);
            const bool regular_d = ref::solve_gauss_divided(A.data(), B.data(), RD.data(), n);
            // How the columns are split over the threads does not depend on
            // the data: the full sweep of thread counts runs on the first
            // input kind, two threads on the others.
            const std::vector<int> threads = (&g == &kGens[0]) ? std::vector<int>{1, 2, 3, 8} : std::vector<int>{2};
            for (int t : threads) {
                ASSERT_EQ(LA::Init_openMP(t), 0);
                Vec Y(n, kFill);
                ref::StdoutCapture cap1;
                LA::SolveLSE1(a.data(), b.data(), Y.data(), n);
                EXPECT_EQ(cap1.finish(), regular_d ? "" : kSingular) << t << " threads";
                EXPECT_TRUE(same_bits(Y, RD)) << "SolveLSE1, " << t << " threads";
            }
        }
}

TEST_P(Blocked, DeterminantMatchesTheReferenceBitForBit) {
    for (const Gen& g : kGens)
        for (int n : orders()) {
            SCOPED_TRACE(std::string(g.name) + ", order " + std::to_string(n));
            Vec A = g.make(n, 5000 + n);
            bool singular = false;
            const double r = ref::determinant(A.data(), n, &singular);
            ref::StdoutCapture cap;
            const double d = LA::DeterminantMsq(A.data(), n);
            EXPECT_EQ(cap.finish(), singular ? kSingular : "");
            EXPECT_TRUE(same_bits(d, r)) << d << " vs " << r;
        }
}

TEST_P(Blocked, InverseMatchesTheReferenceBitForBit) {
    for (const Gen& g : kGens)
        for (int n : orders()) {
            if (n > 257) continue;  // the plain reference is slow
            SCOPED_TRACE(std::string(g.name) + ", order " + std::to_string(n));
            const Vec A = g.make(n, 6000 + n);
            Vec R(static_cast<std::size_t>(n) * n, kFill), inv(R.size(), kFill);
            const bool regular = ref::invert_gauss_jordan(A.data(), R.data(), n);
            Vec a = A;
            ref::StdoutCapture cap;
            LA::InverseMsq(a.data(), inv.data(), n);
            EXPECT_EQ(cap.finish(), regular ? "" : kSingular);
            EXPECT_TRUE(same_bits(inv, R));
        }
}

// Matrices whose inverse keeps many exact zeros, of either sign: lower
// triangular (with row exchanges), a signed permutation, block diagonal with
// blocks of one to seven, and a random matrix carrying an infinity and a NaN.
// The inverse holds the columns it has not reached as one value per row; the
// signs of those zeros and the NaN must come out as the plain loop's.
Vec structured_matrix(int n, int kind, std::uint64_t salt) {
    std::mt19937_64 g(ref::seed() ^ salt ^ 0x51ee);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    auto zero = [&] { return (g() & 1) ? 0.0 : -0.0; };
    Vec a(static_cast<std::size_t>(n) * n);
    auto at = [&](int i, int j) -> double& { return a[static_cast<std::size_t>(i) * n + j]; };
    std::vector<int> p(n), block(n);
    for (int i = 0; i < n; ++i) p[i] = i;
    std::shuffle(p.begin(), p.end(), g);
    for (int i = 0, b = 0; i < n; ++b)
        for (int e = i + 1 + static_cast<int>(g() % 7); i < e && i < n; ++i) block[i] = b;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) switch (kind) {
                case 0: at(i, j) = j < i ? u(g) : j == i ? (g() % 3 ? -2.0 : 0.5) + u(g) : zero(); break;
                case 1: at(i, j) = j == p[i] ? std::ldexp(u(g) < 0 ? -1.0 : 1.0, static_cast<int>(g() % 9) - 4) : zero(); break;
                case 2: at(i, j) = block[i] == block[j] ? u(g) + (i == j ? 3.0 * u(g) : 0.0) : zero(); break;
                default: at(i, j) = u(g);
            }
    if (kind == 3) at(n / 2, n / 3) = INFINITY, at(n - 1, 0) = NAN;
    return a;
}

TEST_P(Blocked, InverseOfStructuredMatricesMatchesTheReferenceBitForBit) {
    const char* kinds[] = {"lower triangular", "signed permutation", "block diagonal", "inf and NaN"};
    for (int kind = 0; kind < 4; ++kind) {
        int negative_zeros = 0;
        for (int n : orders()) {
            if (n > 257 || n < 2) continue;
            SCOPED_TRACE(std::string(kinds[kind]) + ", order " + std::to_string(n));
            const Vec A = structured_matrix(n, kind, 9000 + n);
            Vec R(static_cast<std::size_t>(n) * n, kFill), inv(R.size(), kFill), a = A;
            const bool regular = ref::invert_gauss_jordan(A.data(), R.data(), n);
            ref::StdoutCapture cap;
            LA::InverseMsq(a.data(), inv.data(), n);
            EXPECT_EQ(cap.finish(), regular ? "" : kSingular);
            EXPECT_TRUE(same_bits(inv, R));
            negative_zeros += std::count_if(inv.begin(), inv.end(), [](double x) { return x == 0 && std::signbit(x); });
        }
        // The zeros' signs are what the kind is there to check.
        if (kind < 3) {
            EXPECT_GT(negative_zeros, 0) << kinds[kind];
        }
    }
}

// A singular pivot met in the middle of a panel (and at its first and last
// column): every routine reports it, the solvers leave X untouched, the
// determinant is 0.0 and the inverse's output block holds exactly what the
// plain loop left there at that column.
TEST_P(Blocked, SingularPivotInsideAPanelStopsAtTheSameStep) {
    const long nb = GetParam().nb ? GetParam().nb : 64;
    const int n = static_cast<int>(4 * nb + 5);
    for (long c : {nb + nb / 2, 2 * nb, 2 * nb - 1, 3 * nb + 2}) {
        if (c < 2) continue;
        SCOPED_TRACE("singular column " + std::to_string(c));
        const Vec A = singular_at_matrix(n, static_cast<int>(c), 7000 + c);
        const Vec B = rhs(n, 7100 + c);
        Vec a = A, b = B, X(n, kFill), R(n, kFill);
        ASSERT_FALSE(ref::solve_gauss(A.data(), B.data(), R.data(), n));
        ASSERT_FALSE(ref::solve_gauss_divided(A.data(), B.data(), R.data(), n));
        {
            ref::StdoutCapture cap;
            LA::SolveLSE(a.data(), b.data(), X.data(), n);
            EXPECT_EQ(cap.finish(), kSingular);
            EXPECT_TRUE(same_bits(X, Vec(n, kFill)));
        }
        for (int t : {1, 2, 3}) {
            ASSERT_EQ(LA::Init_openMP(t), 0);
            ref::StdoutCapture cap;
            LA::SolveLSE1(a.data(), b.data(), X.data(), n);
            EXPECT_EQ(cap.finish(), kSingular) << t << " threads";
            EXPECT_TRUE(same_bits(X, Vec(n, kFill)));
        }
        {
            bool singular = false;
            EXPECT_EQ(ref::determinant(A.data(), n, &singular), 0.0);
            EXPECT_TRUE(singular);
            ref::StdoutCapture cap;
            EXPECT_TRUE(same_bits(LA::DeterminantMsq(a.data(), n), 0.0));
            EXPECT_EQ(cap.finish(), kSingular);
        }
        {
            Vec inv(static_cast<std::size_t>(n) * n, kFill), RI(inv.size(), kFill);
            ASSERT_FALSE(ref::invert_gauss_jordan(A.data(), RI.data(), n));
            ref::StdoutCapture cap;
            LA::InverseMsq(a.data(), inv.data(), n);
            EXPECT_EQ(cap.finish(), kSingular);
            EXPECT_TRUE(same_bits(inv, RI));
        }
    }
}

// Orders below the default panels (and around small ones): regular and with
// a singular pivot early, in the middle and at the last column, the
// inverse's output block holds the plain loop's bits either way.
TEST_P(Blocked, InverseAtSmallOrdersStopsAtTheSameStep) {
    for (int n : {10, 17, 31})
        for (int c : {0, 2, n / 2, n - 1}) {
            SCOPED_TRACE("order " + std::to_string(n) + ", singular column " + std::to_string(c));
            const Vec A = c ? singular_at_matrix(n, c, 7500 + n + c) : random_matrix(n, 7500 + n);
            Vec inv(static_cast<std::size_t>(n) * n, kFill), R(inv.size(), kFill), a = A;
            const bool regular = ref::invert_gauss_jordan(A.data(), R.data(), n);
            EXPECT_EQ(regular, c == 0);
            ref::StdoutCapture cap;
            LA::InverseMsq(a.data(), inv.data(), n);
            EXPECT_EQ(cap.finish(), regular ? "" : kSingular);
            EXPECT_TRUE(same_bits(inv, R));
        }
}

#if defined(__x86_64__) || defined(__i386__)
const Variant kVariants[] = {
    {isa::sse2, 0},   {isa::avx2, 0},    {isa::avx512, 0},  //
    {isa::sse2, 5},   {isa::avx2, 13},   {isa::avx512, 8},
    {isa::avx512, 1}, {isa::avx512, 20}, {isa::avx2, 32},
    {isa::avx512_256, 0}, {isa::avx512_256, 8}, {isa::avx512_256, 20},
};
#elif defined(__aarch64__)
const Variant kVariants[] = {
    {isa::generic, 0}, {isa::neon, 0}, {isa::generic, 5}, {isa::neon, 1},
    {isa::neon, 8},    {isa::neon, 13}, {isa::neon, 20},   {isa::neon, 32},
};
#else
const Variant kVariants[] = {{isa::generic, 0}, {isa::generic, 1}, {isa::generic, 8}, {isa::generic, 20}};
#endif
INSTANTIATE_TEST_SUITE_P(Variants, Blocked, ::testing::ValuesIn(kVariants), [](const auto& info) {
    return name_of(info.param.level) + "_nb" + std::to_string(info.param.nb);
});

// A thread team larger than the blocked step's fixed plans (128 pieces), at
// an order whose trailing columns make more packed panels than that: the
// same bits as with two threads.
TEST(BlockedTeams, ManyMoreThreadsThanPiecesGiveTheSameBits) {
    linalg::testhooks::set_block_size(0);
    const int n = 2200;
    const Vec A = random_matrix(n, 8800), B = rhs(n, 8801);
    Vec a = A, b = B, want(n, kFill), got(n, kFill);
    ASSERT_EQ(LA::Init_openMP(2), 0);
    LA::SolveLSE1(a.data(), b.data(), want.data(), n);
    ASSERT_EQ(LA::Init_openMP(160), 0);
    LA::SolveLSE1(a.data(), b.data(), got.data(), n);
    ASSERT_EQ(LA::Init_openMP(2), 0);
    EXPECT_TRUE(same_bits(got, want));
    EXPECT_TRUE(same_bits(a, A) && same_bits(b, B));
}

// Every table's panel rules keep small orders on the plain path (no packing
// space is asked for below the first order of the rule) and give widths the
// blocked step can hold.
TEST(BlockedLayout, SmallOrdersTakeThePlainPath) {
    EXPECT_EQ(linalg::testhooks::set_block_size(0), 0);
    for (isa level : linalg::kNativeIsas) {
        if (!linalg::testhooks::force_isa(level)) continue;
        const linalg::kernel_blocking& b = linalg::kernels().blocking;
        for (const linalg::panel_rule* r : {&b.lu_panels, &b.gj_panels})
            for (int i = 0; i < 3; ++i) {
                EXPECT_GE(r->from[i], r->width[i]) << name_of(level);
                EXPECT_TRUE(r->width[i] >= 1 && r->width[i] <= 256) << name_of(level);
                if (i > 0) {
                    EXPECT_GE(r->from[i], r->from[i - 1]) << name_of(level);
                }
            }
        const long from = b.lu_panels.from[0];
        EXPECT_GE(from, 64) << name_of(level);
        EXPECT_EQ(linalg::blocked_extra(from - 1, from), 0) << name_of(level);
        EXPECT_GT(linalg::blocked_extra(from, from + 1), 0) << name_of(level);
    }
    linalg::testhooks::reset_isa();
}

} // namespace
