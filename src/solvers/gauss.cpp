// Sequential Gauss solver (LA::SolveLSE) and the helpers the CPU solvers
// share: the row scale factor, the singular-system message and the work
// matrix allocation.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/message.h"
#include "base/work_memory.h"
#include "linalg.h"
#include "solvers/blocked_lu.h"
#include "solvers/elimination.h"
#include "solvers/solvers.h"

namespace linalg {

// The exponent e of the row scaling: with t = log2(s) + 1, e = floor(t) for
// t >= 0; for t < 0, e = t when t is a whole number, else ceil(t - 1).
static double row_scale_exponent(double s, double ln2) {
    const double t = std::log(s) / ln2 + 1.0;
    if (t >= 0) return std::floor(t);
    const double c = std::ceil(t);
    return (t - c == 0.0) ? c : std::ceil(t - 1.0);
}

namespace {

// The factor for a given exponent e, exp(-e * ln2) with ln2 = log(2), is
// computed once per exponent and kept (an entry of 0 bits is not yet known;
// no such factor is 0). Two threads that fill one entry at once store the
// same bits.
constexpr int kMinExponent = -1100, kMaxExponent = 1100;
constexpr double kLn2 = 0.693147180559945309417232121458176568;  // log(2.0), the callers' ln2
std::atomic<std::uint64_t> factor_of[kMaxExponent - kMinExponent + 1];

double factor_for(double e, double ln2) {
    std::atomic<std::uint64_t>& slot = factor_of[static_cast<int>(e) - kMinExponent];
    std::uint64_t bits = slot.load(std::memory_order_relaxed);
    if (bits == 0) {
        const double f = std::exp((e * -1.0) * ln2);
        std::memcpy(&bits, &f, sizeof bits);
        slot.store(bits, std::memory_order_relaxed);
        return f;
    }
    double f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// row_scale_exponent without the logarithm where the result is certain: for
// a normal s = 1.m * 2^E whose mantissa lies well inside (1, 2), log2(s) is
// strictly between E and E + 1 by far more than the logarithm's rounding
// error, so t = log2(s) + 1 is not whole and its floor is E + 1 (both
// branches of row_scale_exponent give that floor). Other values go the
// long way. Returns false when it cannot decide.
bool quick_scale_exponent(double s, double* e) {
    std::uint64_t bits;
    std::memcpy(&bits, &s, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    const std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    constexpr std::uint64_t kMargin = std::uint64_t{1} << 32;  // 2^-20 of the mantissa's range
    if (biased == 0 || biased == 0x7ff || mantissa < kMargin || mantissa > (std::uint64_t{1} << 52) - kMargin)
        return false;
    *e = static_cast<double>(biased - 1023 + 1);
    return true;
}

} // namespace

double RowScaleFactor(double s, double ln2) {
    double e;
    if (!quick_scale_exponent(s, &e)) e = row_scale_exponent(s, ln2);
    if (ln2 == kLn2 && e >= kMinExponent && e <= kMaxExponent) return factor_for(e, ln2);
    return std::exp((e * -1.0) * ln2);
}

void scale_row(double* w, idx nsum, idx nw, double* v, idx nv, double s, double ln2) {
    const double f = RowScaleFactor(s, ln2);
    if ((std::isfinite(f) && f != 0.0) || std::isnan(s)) {  // a NaN entry stays NaN
        for (idx j = 0; j < nw; ++j) w[j] *= f;
        for (idx j = 0; j < nv; ++j) v[j] *= f;
        return;
    }
    // At the ends of the double range the factor is not representable: a sum
    // below about 2^-1023 makes it infinite (the row would turn into NaN), and
    // a sum that overflows although every entry is finite makes it 0 (the row
    // would read as singular). Such a row is scaled by the same power of two
    // in two exact steps instead; the exponent of an overflowed sum comes from
    // the sum of the quartered entries.
    double e;
    if (std::isinf(s)) {
        double q = 0.0;
        for (idx j = 0; j < nsum; ++j) q += std::fabs(w[j]) * 0.25;
        if (!std::isfinite(q)) {  // an infinite entry: nothing sensible to scale
            for (idx j = 0; j < nw; ++j) w[j] *= f;
            for (idx j = 0; j < nv; ++j) v[j] *= f;
            return;
        }
        e = row_scale_exponent(q, ln2) + 2.0;
    } else {
        e = row_scale_exponent(s, ln2);
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

void SolveGcpu(double* A, double* B, double* X, const int nDim) {
    solve_gauss(A, B, X, nDim, PivotForm::Reciprocal, 1, "the SolveLSE work matrix");
}

void solve_gauss(const double* A, const double* B, double* X, int nDim, PivotForm form, int threads,
                 const char* who) {
    if (nDim <= 0) return;
    const idx n = nDim;
    const double ln2 = std::log(2.0);
    run_elimination(
        n, n + 1, form, threads, who, [&](double* W, idx i) { load_scaled_row(A, B, W, n, i, ln2); },
        [&](const double* W, idx) { back_substitute(W, n, X); });
}

} // namespace linalg

namespace LinearAlgebra {

void LA::SolveLSE(double* A, double* B, double* X, int nDim) {
    linalg::clear_status();
    linalg::SolveGcpu(A, B, X, nDim);
}

} // namespace LinearAlgebra
