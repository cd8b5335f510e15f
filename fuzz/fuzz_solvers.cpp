// The CPU solvers, the inverse and the determinant on random, singular,
// zero-row, zero-column, huge, tiny and NaN/Inf matrices.
//
// Always: no crash and no sanitizer report; A, B and M are not changed;
// the only message ever printed is the singular-system one; a solver that
// prints it leaves X as it was; SolveLSE1 gives the same bits with one
// thread and with two (it rounds differently from SolveLSE, which it is
// therefore checked against only through the rules below).
// Singular by construction (an exact duplicate row up to a power of two, a
// zero row, a zero column, finite entries): the message is printed, and the
// determinant of order >= 4 is 0.0.
// Well-conditioned by construction (diagonally dominant, rows scaled by
// powers of two over a huge range): no message, and LAPACK-style ratios
//   ||A x - b|| / (||A|| ||x|| n eps)  and  ||A inv(A) - I|| / (||A|| ||inv(A)|| n eps)
// below 30; the determinant agrees with an extended-precision elimination
// within the error bound of its pivots (det_reference).
#include "fuzz_common.h"

#include "linalg.h"

#include <algorithm>
#include <vector>

using LinearAlgebra::LA;

namespace {

const char kSingular[] = "ERROR! Singular system!";
fuzz::StdoutTrap* trap = nullptr;

enum Mode { kWell, kDuplicateRow, kZeroRow, kZeroColumn, kSpecials, kArbitrary, kCombination, kModes };

using Mat = std::vector<double>;

long double norm_inf(const Mat& A, int n) {
    long double best = 0;
    for (int i = 0; i < n; ++i) {
        long double s = 0;
        for (int j = 0; j < n; ++j) s += std::fabs(static_cast<long double>(A[static_cast<std::size_t>(i) * n + j]));
        best = std::max(best, s);
    }
    return best;
}

// Determinant by partial pivoting in long double (wider exponent range),
// and how far a double elimination with the same pivots may stray from it.
// That elimination is exact for some PA + E with |E| <= n eps |L||U| (PA =
// LU), and E moves the determinant by sum_ij |inv(PA)(j, i)| |E(i, j)|
// relative, to first order. Rows scaled far apart can make that large
// although the matrix is diagonally dominant: the small rows take updates
// from the large pivot rows and lose their own digits to cancellation.
struct DetReference {
    long double det;
    long double bound;  // relative
};

DetReference det_reference(const Mat& A, int n) {
    using LD = long double;
    const auto at = [n](std::vector<LD>& M, int i, int j) -> LD& { return M[static_cast<std::size_t>(i) * n + j]; };
    std::vector<LD> W(A.begin(), A.end()), L(static_cast<std::size_t>(n) * n, 0);
    LD det = 1;
    for (int k = 0; k < n; ++k) {
        int p = k;
        for (int r = k + 1; r < n; ++r)
            if (std::fabs(at(W, r, k)) > std::fabs(at(W, p, k))) p = r;
        if (at(W, p, k) == 0) return {0, 0};
        if (p != k) {
            for (int j = 0; j < n; ++j) std::swap(at(W, p, j), at(W, k, j)), std::swap(at(L, p, j), at(L, k, j));
            det = -det;
        }
        const LD piv = at(W, k, k);
        det *= piv;
        at(L, k, k) = 1;
        for (int r = k + 1; r < n; ++r) {
            const LD g = at(W, r, k) / piv;
            at(L, r, k) = g;
            for (int j = k; j < n; ++j) at(W, r, j) -= g * at(W, k, j);
        }
    }
    // X = inv(LU), a column at a time; S = sum_ij |X(j, i)| (|L||U|)(i, j).
    std::vector<LD> X(static_cast<std::size_t>(n) * n);
    for (int c = 0; c < n; ++c) {
        std::vector<LD> y(n);
        for (int i = 0; i < n; ++i) {
            LD v = i == c ? 1 : 0;
            for (int j = 0; j < i; ++j) v -= at(L, i, j) * y[j];
            y[i] = v;
        }
        for (int i = n - 1; i >= 0; --i) {
            LD v = y[i];
            for (int j = i + 1; j < n; ++j) v -= at(W, i, j) * at(X, j, c);
            at(X, i, c) = v / at(W, i, i);
        }
    }
    LD S = 0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            LD lu = 0;
            for (int t = 0; t <= std::min(i, j); ++t) lu += std::fabs(at(L, i, t) * at(W, t, j));
            S += std::fabs(at(X, j, i)) * lu;
        }
    return {det, n * DBL_EPSILON * (S + 1)};
}

bool all_finite(const Mat& A) {
    return std::all_of(A.begin(), A.end(), [](double x) { return std::isfinite(x); });
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    trap = new fuzz::StdoutTrap;
    LA::Init_openMP(2);
    trap->take();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const Mode mode = static_cast<Mode>(in.ConsumeIntegralInRange<int>(0, kModes - 1));
    const int n = in.ConsumeIntegralInRange<int>(0, 16);
    const std::size_t nn = static_cast<std::size_t>(n) * n;
    const int global_exp = in.ConsumeIntegralInRange<int>(-1000, 990);
    const int spread = in.ConsumeIntegralInRange<int>(0, 20);

    // Diagonally dominant base matrix with rows scaled by powers of two.
    Mat A(nn), B(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const int e = global_exp + (spread ? in.ConsumeIntegralInRange<int>(-spread, spread) : 0);
        for (int j = 0; j < n; ++j) {
            double v = fuzz::unit(in);
            if (i == j) v += (v < 0 ? -1 : 1) * (n + 1);
            A[static_cast<std::size_t>(i) * n + j] = std::ldexp(v, e);
        }
        B[i] = std::ldexp(fuzz::unit(in), global_exp);
    }
    const int r1 = n > 0 ? in.ConsumeIntegralInRange<int>(0, n - 1) : 0;
    int r2 = n > 1 ? in.ConsumeIntegralInRange<int>(0, n - 2) : 0;
    if (r2 >= r1) ++r2;
    bool singular = false;
    switch (mode) {
    case kWell: break;
    case kDuplicateRow:
        if (n >= 2) {
            const int shift = in.ConsumeIntegralInRange<int>(-8, 8);
            for (int j = 0; j < n; ++j)
                A[static_cast<std::size_t>(r2) * n + j] = std::ldexp(A[static_cast<std::size_t>(r1) * n + j], shift);
            singular = all_finite(A);
        }
        break;
    case kZeroRow:
        if (n >= 1) {
            for (int j = 0; j < n; ++j) A[static_cast<std::size_t>(r1) * n + j] = in.ConsumeBool() ? 0.0 : -0.0;
            singular = true;
        }
        break;
    case kZeroColumn:
        if (n >= 1) {
            for (int i = 0; i < n; ++i) A[static_cast<std::size_t>(i) * n + r1] = 0.0;
            singular = true;
        }
        break;
    case kSpecials: {
        const int count = in.ConsumeIntegralInRange<int>(1, 4);
        for (int c = 0; c < count && n > 0; ++c) {
            const std::size_t at = in.ConsumeIntegralInRange<std::size_t>(0, nn + n - 1);
            (at < nn ? A[at] : B[at - nn]) = fuzz::awkward_double(in);
        }
        break;
    }
    case kArbitrary:
        for (auto& x : A) x = fuzz::awkward_double(in);
        for (auto& x : B) x = fuzz::awkward_double(in);
        break;
    case kCombination:
        // Row r2 = row r1 + row r3: singular in exact arithmetic, perhaps not
        // after rounding; only the general rules apply.
        if (n >= 3) {
            int r3 = (r1 + 1) % n;
            if (r3 == r2) r3 = (r3 + 1) % n;
            for (int j = 0; j < n; ++j)
                A[static_cast<std::size_t>(r2) * n + j] =
                    A[static_cast<std::size_t>(r1) * n + j] + A[static_cast<std::size_t>(r3) * n + j];
        }
        break;
    default: break;
    }
    const bool well = mode == kWell;
    if (std::getenv("LINALG_FUZZ_VERBOSE")) {
        std::fprintf(stderr, "mode %d n %d exp %d spread %d\n", static_cast<int>(mode), n, global_exp, spread);
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) std::fprintf(stderr, " %a", A[static_cast<std::size_t>(i) * n + j]);
            std::fprintf(stderr, " | %a\n", B[i]);
        }
    }
    const Mat A0 = A, B0 = B;
    const double sentinel = -7.25e-300;

    // ---- SolveLSE, and SolveLSE1 with two threads and with one ------------
    auto check_solution = [&](const char* who, const Mat& X, const std::string& out) {
        FUZZ_CHECK(out.empty() || out == kSingular, "solver printed something unexpected", mode, n);
        FUZZ_CHECK(fuzz::same_bits(A.data(), A0.data(), nn) && fuzz::same_bits(B.data(), B0.data(), B.size()),
                   "a solver changed A or B");
        if (!out.empty())
            for (double x : X) FUZZ_CHECK(fuzz::same_bits(x, sentinel), "singular system but X was written");
        if (singular) FUZZ_CHECK(out == kSingular, "singular system not reported", mode, n);
        if (!(well && n > 0)) return;
        if (!out.empty()) std::fprintf(stderr, "%s: ", who);
        FUZZ_CHECK(out.empty(), "well-conditioned system reported singular", n, global_exp);
        long double rmax = 0, xmax = 0;
        for (int i = 0; i < n; ++i) {
            long double s = 0;
            for (int j = 0; j < n; ++j) s += static_cast<long double>(A[static_cast<std::size_t>(i) * n + j]) * X[j];
            rmax = std::max(rmax, std::fabs(s - B[i]));
            xmax = std::max(xmax, std::fabs(static_cast<long double>(X[i])));
        }
        const long double denom = norm_inf(A, n) * xmax * n * DBL_EPSILON;
        // x == 0 exactly happens only for b == 0, where the residual is 0 too.
        if (!(denom > 0 ? rmax / denom < 30 : rmax == 0)) std::fprintf(stderr, "%s: ", who);
        FUZZ_CHECK(denom > 0 ? rmax / denom < 30 : rmax == 0, "solve residual ratio >= 30", n, global_exp);
    };
    Mat X(static_cast<std::size_t>(n), sentinel), X1(X), X1one(X);
    trap->take();
    LA::SolveLSE(A.data(), B.data(), X.data(), n);
    const std::string out = trap->take();
    check_solution("SolveLSE", X, out);
    LA::SolveLSE1(A.data(), B.data(), X1.data(), n);
    const std::string out1 = trap->take();
    check_solution("SolveLSE1", X1, out1);
    LA::Init_openMP(1);
    LA::SolveLSE1(A.data(), B.data(), X1one.data(), n);
    LA::Init_openMP(2);
    const std::string out1one = trap->take();
    // The OpenMP solver gives the same bits for any thread count.
    FUZZ_CHECK(out1 == out1one && fuzz::same_bits(X1.data(), X1one.data(), X1.size()),
               "SolveLSE1 depends on the thread count", n);

    // ---- InverseMsq ---------------------------------------------------------
    Mat iM(nn, sentinel);
    LA::InverseMsq(A.data(), iM.data(), n);
    const std::string outi = trap->take();
    FUZZ_CHECK(outi.empty() || outi == kSingular, "InverseMsq printed something unexpected");
    FUZZ_CHECK(fuzz::same_bits(A.data(), A0.data(), nn), "InverseMsq changed M");
    if (singular) FUZZ_CHECK(outi == kSingular, "singular matrix not reported by InverseMsq", mode, n);
    if (well && n > 0) {
        FUZZ_CHECK(outi.empty(), "well-conditioned matrix reported singular by InverseMsq", n, global_exp);
        long double emax = 0;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                long double s = 0;
                for (int k = 0; k < n; ++k)
                    s += static_cast<long double>(A[static_cast<std::size_t>(i) * n + k]) * iM[static_cast<std::size_t>(k) * n + j];
                emax = std::max(emax, std::fabs(s - (i == j ? 1.0L : 0.0L)));
            }
        // Row sums of |A inv(A) - I| are at most n times the largest entry.
        const long double ratio = emax * n / (norm_inf(A, n) * norm_inf(iM, n) * n * DBL_EPSILON);
        FUZZ_CHECK(ratio < 30, "inverse residual ratio >= 30", n, global_exp);
    }

    // ---- DeterminantMsq -----------------------------------------------------
    const double det = LA::DeterminantMsq(A.data(), n);
    const std::string outd = trap->take();
    FUZZ_CHECK(outd.empty() || (outd == kSingular && n >= 4), "DeterminantMsq printed something unexpected", n);
    FUZZ_CHECK(fuzz::same_bits(A.data(), A0.data(), nn), "DeterminantMsq changed M");
    if (!outd.empty()) FUZZ_CHECK(det == 0.0, "singular determinant is not 0.0");
    if (singular && n >= 4) FUZZ_CHECK(outd == kSingular && det == 0.0, "singular matrix: determinant not reported", n);
    if (singular && n <= 3 && mode != kDuplicateRow) {
        // Each term of the closed formulas holds a zero factor, unless a
        // product of the other factors overflows first (0 * inf = NaN).
        long double amax = 0;
        for (double x : A) amax = std::max(amax, std::fabs(static_cast<long double>(x)));
        if (std::pow(amax, static_cast<long double>(n)) < DBL_MAX)
            FUZZ_CHECK(det == 0.0, "closed-formula determinant of a zero row/column", n);
    }
    if (well && outd.empty()) {
        const DetReference ref = det_reference(A, n);
        if (std::fabs(ref.det) > 1e-280L && std::fabs(ref.det) < 1e280L) {
            const long double rel = std::fabs((static_cast<long double>(det) - ref.det) / ref.det);
            FUZZ_CHECK(rel < 1e-13L || rel < 10 * ref.bound, "determinant differs from the reference", n, global_exp);
        }
    }
    return 0;
}
