// Error-free transformations of doubles, for code that needs results rounded
// once from more than double precision without fused multiply-add (the
// numeric code is built with -ffp-contract=off, so these stay exact).
#ifndef LINALG_BASE_DOUBLE_DOUBLE_H
#define LINALG_BASE_DOUBLE_DOUBLE_H

namespace linalg {

// An unevaluated sum hi + lo.
struct dd {
    double hi, lo;
};

// a + b = s.hi + s.lo exactly (Knuth).
inline dd two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// a + b = s.hi + s.lo exactly when |a| >= |b| or a is 0 (Dekker).
inline dd fast_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a * b = p.hi + p.lo exactly (Dekker's product with Veltkamp's splitting).
// |a|, |b| < 2^995, and the product's low part must not underflow.
inline dd two_prod(double a, double b) {
    const double p = a * b;
    const double ca = 134217729.0 * a, cb = 134217729.0 * b;  // 2^27 + 1
    const double ah = ca - (ca - a), al = a - ah;
    const double bh = cb - (cb - b), bl = b - bh;
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

} // namespace linalg

#endif // LINALG_BASE_DOUBLE_DOUBLE_H
