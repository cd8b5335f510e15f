// Gauss solvers (SolveGcpu, and SolveGomp on the same elimination) and the helpers the CPU solvers
// share: the row scale factor, the singular-system message and the work
// matrix allocation.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/double_double.h"
#include "base/message.h"
#include "base/team.h"
#include "base/work_memory.h"
#include "solvers/blocked_lu.h"
#include "solvers/elimination.h"
#include "solvers/solvers.h"

namespace linalg {

namespace {

// The row scaling is defined through the natural logarithm and the
// exponential of the C library (e from ln(s)/ln2 + 1, the factor
// exp(-e*ln2)); their last bits differ between C libraries. Both are
// computed here without them, giving what a correctly rounded log and exp
// give: the factor is exp of the rounded argument -e*ln2, rounded once (it is
// not exactly a power of two, since ln2 is rounded), and the exponent
// follows ln(s) rounded once wherever the rounding can move it (s within
// 2^-40 of a power of two); elsewhere it is the binary exponent of s.

// ln 2 as the sum of the double nearest to it and the rest.
constexpr double kLn2Hi = 0x1.62e42fefa39efp-1;
constexpr double kLn2Lo = 0x1.abc9e3b39803fp-56;

// ln(2^k * (1 + u)) rounded once, for |u| <= 2^-40 (u exact).
double log_near_power_of_two(int k, double u) {
    // ln(1 + u) = u - u^2/2 + u^3/3 - ...: u and a correction below 2^-81.
    const dd sq = two_prod(u, u);
    const double c = -0.5 * sq.hi + (-0.5 * sq.lo + u * sq.hi / 3.0);
    // k*ln2 as a double-double, then the sum, rounded once at the end.
    dd kl = two_prod(static_cast<double>(k), kLn2Hi);
    kl.lo += static_cast<double>(k) * kLn2Lo;
    const dd sum = two_sum(kl.hi, u);
    return sum.hi + (sum.lo + (kl.lo + c));
}

// 2^k for a whole k in [-1022, 1023], from its bits: scaling by it is exact
// where the result is normal, as std::ldexp's is, without a library call.
double power_of_two(int k) {
    const std::uint64_t bits = static_cast<std::uint64_t>(k + 1023) << 52;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// exp(-e*ln2) for a whole e: exp of the argument x = -e*ln2 as the formula
// rounds it, rounded once. exp(x) = 2^-e * exp(r) with r = x + e*ln 2, a few
// units of 2^-45 at most.
double scale_factor(double e, double ln2) {
    const double x = (e * -1.0) * ln2;
    if (!std::isfinite(e) || std::fabs(e) > 2000.0) return std::exp(x);  // 0, inf or NaN on any library
    const double x_err = two_prod(e * -1.0, ln2).lo;  // -e*ln2 = x + x_err exactly
    const double r = e * ((kLn2Hi - ln2) + kLn2Lo) - x_err;
    const double t = r + 0.5 * r * r;  // exp(r) - 1; the cubic term is below 2^-130
    const int n = static_cast<int>(e);
    if (n <= 1021 && n >= -1022) return (1.0 + t) * power_of_two(-n);  // a normal result: exact scaling
    if (n <= 1021) return std::ldexp(1.0 + t, -n);  // at the top of the range or past it
    // Below 2^-1021 the spacing is 2^-1074: round 2^(1074-n) * (1 + t) to a
    // whole number of those.
    if (n <= 1074) {
        const double v = std::ldexp(1.0, 1074 - n);  // a whole number; v*t is exact
        return std::ldexp(v + std::nearbyint(v * t), -1074);
    }
    return (n == 1075 && t > 0.0) ? std::ldexp(1.0, -1074) : 0.0;  // half the spacing or less
}

// The exponent e of the row scaling: with t = log2(s) + 1, e = floor(t) for
// t >= 0; for t < 0, e = t when t is a whole number, else ceil(t - 1).
double exponent_from(double log_s, double ln2) {
    const double t = log_s / ln2 + 1.0;
    if (t >= 0) return std::floor(t);
    const double c = std::ceil(t);
    return (t - c == 0.0) ? c : std::ceil(t - 1.0);
}

} // namespace

// For s = m * 2^E (m in [0.5, 1)), log2(s) + 1 lies in [E, E + 1), so e = E
// unless s is so close to a power of two that the rounding of ln(s) decides.
static double row_scale_exponent(double s, double ln2) {
    if (!(s > 0.0) || std::isinf(s)) return exponent_from(std::log(s), ln2);  // NaN, -inf or inf anywhere
    // s = m * 2^E, m in [0.5, 1); a normal s from its bits, as std::frexp.
    int E;
    double m;
    std::uint64_t bits;
    std::memcpy(&bits, &s, sizeof bits);
    if (const int biased = static_cast<int>(bits >> 52); biased != 0) {
        E = biased - 1022;
        bits = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1022} << 52);
        std::memcpy(&m, &bits, sizeof m);
    } else {
        m = std::frexp(s, &E);
    }
    constexpr double kWindow = 0x1p-40;
    const double below_top = m - 1.0;          // s = 2^E * (1 + below_top), exact
    const double above_bottom = m * 2.0 - 1.0;  // s = 2^(E-1) * (1 + above_bottom), exact
    if (-below_top <= kWindow) return exponent_from(log_near_power_of_two(E, below_top), ln2);
    if (above_bottom <= kWindow) return exponent_from(log_near_power_of_two(E - 1, above_bottom), ln2);
    return E;
}

double RowScaleFactor(double s, double ln2) { return scale_factor(row_scale_exponent(s, ln2), ln2); }

namespace {

// x[j] *= f: short rows inline, long ones through the table's vectors.
void scale_in_place(double* x, idx m, double f) {
    if (m >= 32)
        kernels().scale(x, f, x, 0, m);
    else
        for (idx j = 0; j < m; ++j) x[j] *= f;
}

} // namespace

void scale_row(double* w, idx nsum, idx nw, double* v, idx nv, double s, double ln2, ScaleMemo& memo) {
    // RowScaleFactor(s, ln2), its factor kept for the next row's exponent.
    double e = row_scale_exponent(s, ln2);
    if (e != memo.e) memo.e = e, memo.f = scale_factor(e, ln2);
    const double f = memo.f;
    if ((std::isfinite(f) && f != 0.0) || std::isnan(s)) {  // a NaN entry stays NaN
        scale_in_place(w, nw, f);
        scale_in_place(v, nv, f);
        return;
    }
    // At the ends of the double range the factor is not representable: a sum
    // below about 2^-1023 makes it infinite (the row would turn into NaN), and
    // a sum that overflows although every entry is finite makes it 0 (the row
    // would read as singular). Such a row is scaled by the same power of two
    // in two exact steps instead; the exponent of an overflowed sum comes from
    // the sum of the quartered entries.
    if (std::isinf(s)) {
        double q = 0.0;
        for (idx j = 0; j < nsum; ++j) q += std::fabs(w[j]) * 0.25;
        if (!std::isfinite(q)) {  // an infinite entry: nothing sensible to scale
            scale_in_place(w, nw, f);
            scale_in_place(v, nv, f);
            return;
        }
        e = row_scale_exponent(q, ln2) + 2.0;
    }
    const int k = -static_cast<int>(e);
    const double f1 = std::ldexp(1.0, k / 2), f2 = std::ldexp(1.0, k - k / 2);
    for (idx j = 0; j < nw; ++j) w[j] = (w[j] * f1) * f2;
    for (idx j = 0; j < nv; ++j) v[j] = (v[j] * f1) * f2;
}

void report_singular() { report(Error::Singular, Out::out, "ERROR! Singular system!"); }

double* alloc_work_matrix(idx rows, idx cols, const char* who) {
    const std::size_t bytes = work_bytes(rows, cols, sizeof(double));
    void* p = bytes ? work_alloc(bytes) : nullptr;
    if (!p) report_no_memory(who, bytes ? bytes : SIZE_MAX);
    return static_cast<double*>(p);
}

namespace {

// Solves A*X = B by run_elimination on the scaled augmented matrix [A | B]
// (load_scaled_rows) and back substitution; SolveGcpu with the Reciprocal
// form and one thread, SolveGomp with the Divided form. `who` names the work
// matrix in the out-of-memory message. Order <= 0: nothing.
void solve_gauss(const double* A, const double* B, double* X, int nDim, PivotForm form, int threads,
                 const char* who) {
    if (nDim <= 0) return;
    const idx n = nDim;
    const double ln2 = std::log(2.0);
    run_elimination(
        n, n + 1, form, threads, who, [&](double* W, idx i0, idx i1) { load_scaled_rows(A, B, W, n, i0, i1, ln2); },
        [&](const double* W, idx) { back_substitute(W, n, X); });
}

} // namespace

void SolveGcpu(double* A, double* B, double* X, const int nDim) {
    solve_gauss(A, B, X, nDim, PivotForm::Reciprocal, 1, "the SolveLSE work matrix");
}

void SolveGomp(double* A, double* B, double* X, const int nDim) {
    if (!omp_initialised()) return;
    solve_gauss(A, B, X, nDim, PivotForm::Divided, MAX_THREADS, "the SolveLSE1 work matrix");
}

} // namespace linalg
