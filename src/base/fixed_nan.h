// The NaN the library writes itself (the outputs of a failed eigen-solver,
// the determinant that could not be computed): one fixed quiet NaN, bits
// 0x7ff8000000000000, on every processor. It is a constant, never the result
// of arithmetic such as 0.0 / 0.0, whose NaN is negative on x86 and positive
// on aarch64 (docs/numerical-hardening.md).
#ifndef LINALG_BASE_FIXED_NAN_H
#define LINALG_BASE_FIXED_NAN_H

#include <limits>

namespace linalg {

constexpr double kFixedNaN = std::numeric_limits<double>::quiet_NaN();

} // namespace linalg

#endif
