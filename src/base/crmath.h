// Correctly rounded natural logarithm, sine and cosine in plain IEEE double
// arithmetic (no fused multiply-add, no wider types), so their bits are the
// same with every C library and on every processor.
//
// Each function evaluates a fast approximation with a proven relative error
// bound, and returns its rounding when every value within that bound rounds
// to the same double (Ziv's rounding test); otherwise a slower double-double
// evaluation with a tighter bound decides. Results are the exact value
// rounded to nearest, except where even the slow bound cannot decide, that is
// where the exact value lies within about 2^-98 (relative) of a midpoint
// between two doubles: there the slow path's rounding is returned. No such
// argument exists among the ones the Gaussian draw uses (all 2^32 - 1 of
// them were checked, see scripts/crmath_exhaustive.sh).
#ifndef LINALG_BASE_CRMATH_H
#define LINALG_BASE_CRMATH_H

namespace linalg {

// ln(x). Positive finite x (normal or subnormal) is handled here; 0,
// negative, infinite and NaN arguments go to std::log, whose results there
// (-inf, NaN, +inf, NaN) are exact on every C library.
double cr_log(double x);

// *s = sin(x), *c = cos(x) for |x| <= kSinCosLimit; beyond it (and for NaN)
// both come from std::sin and std::cos.
constexpr double kSinCosLimit = 7.0;
void cr_sincos(double x, double* s, double* c);

// The two stages, for the checks in the tests (not used by the library on
// their own). The fast stage returns true when its rounding test decided
// (and then *y is the result); the slow stage always writes its rounding and
// returns whether its own test decided. For sincos the return value has bit
// 0 set when sin was decided and bit 1 when cos was. Arguments as above,
// inside the handled domain.
namespace crmath_detail {
bool log_fast(double x, double* y);
bool log_slow(double x, double* y);
int sincos_fast(double x, double* s, double* c);
int sincos_slow(double x, double* s, double* c);
} // namespace crmath_detail

} // namespace linalg

#endif // LINALG_BASE_CRMATH_H
