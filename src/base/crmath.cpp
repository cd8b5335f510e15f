// Correctly rounded ln, sin and cos (base/crmath.h). Notation: u = 2^-53,
// the unit roundoff; "dd" is a double-double, an unevaluated sum hi + lo with
// |lo| <= ulp(hi)/2. The error bounds below are relative to the exact result.
#include "base/crmath.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "base/crmath_tables.h"
#include "base/double_double.h"

namespace linalg {

namespace {

using namespace crmath_tables;

// dd + dd, relative error below 3u^2 (the "accurate" sum of Joldes, Muller
// and Popescu).
inline dd add(dd a, dd b) {
    const dd s = two_sum(a.hi, b.hi);
    const dd t = two_sum(a.lo, b.lo);
    const dd v = fast_two_sum(s.hi, s.lo + t.hi);
    return fast_two_sum(v.hi, t.lo + v.lo);
}

// dd * dd, relative error below 7u^2 (their DWTimesDW1).
inline dd mul(dd a, dd b) {
    const dd p = two_prod(a.hi, b.hi);
    return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

inline dd neg(dd a) { return {-a.hi, -a.lo}; }

// True when every value within eps * |h| of h + l rounds to h, so that h is
// the exact result rounded to nearest whenever |h + l - exact| <= eps * |h|.
// l + d and l - d are rounded by less than 2^-105 |h|, which the margin
// of the eps below covers.
inline bool rounds_to(double h, double l, double eps) {
    const double d = eps * std::fabs(h);
    return h + (l + d) == h && h + (l - d) == h;
}

// True when h + l - delta and h + l + delta round to the same double, which
// is then stored in *y: rounding to nearest is monotonic, so every value
// between them rounds to *y too, and *y is the exact result rounded to
// nearest whenever |h + l - exact| <= delta - 2^-53 (|l| + delta) (the
// roundings of l -+ delta). h + l need not be normalised.
inline bool rounds_within(double h, double l, double delta, double* y) {
    const double lower = h + (l - delta), upper = h + (l + delta);
    *y = lower;
    return lower == upper;
}

// The fast paths' results are within 2^-68 (see below): tested with 2^-66.
// The slow paths' within 2^-100: tested with 2^-98.
constexpr double kFastEps = 0x1p-66;
constexpr double kSlowEps = 0x1p-98;

// ---- ln --------------------------------------------------------------------
//
// x = 2^e * m with m in [0.707, 1.414) (table entry i from the leading 8 bits
// of the significand, halved for i >= kLogSplit), r = kLogR[i] ~ 1/m and
// z = m*r - 1 exactly, |z| < 2^-8:
//     ln x = e ln2 + (-ln r) + ln(1 + z).
// Every term but the last is exact or tabulated to 2^-106; next to 1 the
// table gives r = 1 and e = 0, so ln x = ln(1 + z) keeps its relative
// accuracy. Away from that, |ln x| >= 2^-9 (1 - 2^-8) when e = 0 (x is
// outside [1 - 2^-9, 1 + 2^-8)) and >= 0.34 otherwise, while |z| <= 2^-9
// (1 + 2^-20) there, so |ln x| >= |z| (1 - 2^-8) in all cases.

struct LogArg {
    int e;
    int i;
    dd z;
};

[[gnu::always_inline]] inline LogArg log_reduce(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    int e = static_cast<int>(b >> 52) - 1023;
    if ((b >> 52) == 0) {  // subnormal: scaled by 2^54, exactly
        const double y = x * 0x1p54;
        std::memcpy(&b, &y, sizeof b);
        e = static_cast<int>(b >> 52) - 1023 - 54;
    }
    const int i = static_cast<int>((b >> 44) & 0xff);
    std::uint64_t mb = (b & 0x000fffffffffffffull) | 0x3ff0000000000000ull;
    // Upper entries: m / 2, in [0.707, 1) (without a branch: which one it is
    // is as good as random for the draw's arguments).
    const std::uint64_t half = static_cast<std::uint64_t>(i >= kLogSplit);
    mb -= half << 52;
    e += static_cast<int>(half);
    double m;
    std::memcpy(&m, &mb, sizeof m);
    // m = mh + ml with mh the leading 26 bits: mh*r (26 x 26 bits) and ml*r
    // (27 x 26 bits) are exact, mh*r lies in [0.5, 2] so mh*r - 1 is exact
    // (Sterbenz), and the sum is formed exactly.
    const std::uint64_t hb = mb & ~((1ull << 27) - 1);
    double mh;
    std::memcpy(&mh, &hb, sizeof mh);
    const double ml = m - mh;
    const double r = kLogR[i];
    return {e, i, two_sum(mh * r - 1.0, ml * r)};
}

// (-1)^(n+1) / n as a dd: the coefficient of z^n in ln(1 + z).
inline dd log_coef(int n) {
    return (n & 1) ? dd{kInv[n][0], kInv[n][1]} : dd{-kInv[n][0], -kInv[n][1]};
}

// ln(1 + z) = z - z^2/2 + z^3 (1/3 - z/4 + ... - z^6/9) + O(z^10 / 10),
// evaluated so that the last step waits on few operations (the pieces are
// independent until the final sum). Error terms, relative to |z| (and
// |ln x| >= |z| (1 - 2^-8), see above):
//  - -z^2/2 for z = zh + zl: -zh^2/2 exact as q.hi + q.lo (Dekker's square
//    with the factor -1/2 folded into one operand: scaling by a power of 2
//    is exact); -zh zl rounded and -zl^2/2 dropped: below 2^-113.
//  - the cubic tail from zh instead of z: below |zl| z^2 / (1 - |z|),
//    2^-68.9; its truncation below 2^-75; its evaluation in double
//    (Estrin's scheme, below 6u of itself, |tail| < 2^-17.5): below 2^-68.
//  - e ln2: e*kLn2[0] exact, e*kLn2[1] rounded and kLn2 truncated: below
//    2^-85 with |ln x| >= 0.34 for e != 0; -ln r to 2^-106.
//  - the low parts: p (its pieces below 2^-45 |ln x|, the e != 0 ones
//    below 2^-43) rounded four times below 2^-93 |ln x| in all, then two
//    additions of parts holding the tail: each rounding below
//    2^-53 (2^-17.5 |z| + 2^-42 |ln x|), 2^-70.5 |ln x|.
// Total below 2^-67 |ln x|. The rounding test (rounds_within) adds its own
// rounding of lo -+ delta, below 2^-70.5 |ln x|: below 2^-66.9 in all,
// tested with delta = 2^-66 |u.hi| >= 2^-66 (1 - 2^-17) |ln x|.
[[gnu::always_inline]] inline bool log_fast(const LogArg& a, double* y) {
    const double zh = a.z.hi, zl = a.z.lo;
    const double ca = 134217729.0 * zh;  // 2^27 + 1: Veltkamp's split of zh
    const double ah = ca - (ca - zh), al = zh - ah;
    const double nh = -0.5 * ah, nl = -0.5 * al;
    const double qh = zh * (-0.5 * zh);
    const double ql = ((ah * nh - qh) + 2.0 * (ah * nl)) + al * nl;
    const double c3 = kInv[3][0], c4 = -kInv[4][0], c5 = kInv[5][0], c6 = -kInv[6][0], c7 = kInv[7][0],
                 c8 = -kInv[8][0], c9 = kInv[9][0];
    const double z2 = zh * zh, z4 = z2 * z2;
    const double tail =
        zh * z2 * (((c3 + zh * c4) + z2 * (c5 + zh * c6)) + z4 * ((c7 + zh * c8) + z2 * c9));
    const dd s = two_sum(zh, qh);
    const double e = a.e;
    // Both sums exact with Dekker's shorter form: e ln2 is 0 or above 0.69
    // in magnitude while |-ln r| < 0.35; t.hi is 0 (r = 1, e = 0) or at
    // least 2.9 |s.hi| (|-ln r| >= 2.9 |z| (1 + 2^-9) for each entry with
    // r != 1, checked over the table; |t.hi| >= 0.34 for e != 0).
    const dd t = fast_two_sum(e * kLn2[0], kLogL[a.i][0]);
    const dd u = fast_two_sum(t.hi, s.hi);
    const double p = (((t.lo + e * kLn2[1]) + kLogL[a.i][1]) + u.lo) + s.lo;
    const double lo = (p + tail) + ((zl - zh * zl) + ql);
    return rounds_within(u.hi, lo, kFastEps * std::fabs(u.hi), y);
}

// ln(1 + z) by its series to z^15 in dd arithmetic (Horner, each step's
// error below 10u^2 of a value that later steps multiply by |z| < 2^-8),
// truncation below 2^-124; e ln2 to 2^-140, -ln r to 2^-106. Total below
// 2^-100, counting the factor 2 of cancellation between the terms.
inline bool log_slow(const LogArg& a, double* y) {
    dd p = log_coef(15);
    for (int n = 14; n >= 1; --n) p = add(mul(p, a.z), log_coef(n));
    p = mul(p, a.z);
    const double e = a.e;
    dd el = two_prod(e, kLn2[1]);
    el.lo += e * kLn2[2];
    el = add({e * kLn2[0], 0.0}, el);
    const dd v = add(add(el, {kLogL[a.i][0], kLogL[a.i][1]}), p);
    *y = v.hi;
    return rounds_to(v.hi, v.lo, kSlowEps);
}

} // namespace

// ---- sin and cos -------------------------------------------------------------
//
// x = k pi/2 + r, |r| <= pi/4 (k from the nearest whole number to x * 2/pi),
// r as a dd from five pieces of pi/2 (the first four products with k exact,
// the first difference exact by Sterbenz): error below 2^-105 |r| + 2^-180,
// and |r| >= 2^-54 for k != 0 (no double within |x| <= 7 lies closer to a
// multiple of pi/2), so below 2^-104 |r| in all. Then |r| = a + d with
// a = j/256 and |d| <= 2^-9 (d exact):
//     sin(a + d) = S + C d + S (cos d - 1) + C (sin d - d)
//     cos(a + d) = C - S d + C (cos d - 1) - S (sin d - d)
// with S, C = sin a, cos a tabulated to 2^-106.

namespace {

struct TrigArg {
    int k;
    double sign;  // of r: |r| is used, and sin r = sign * sin |r|
    int j;
    dd d;
};

[[gnu::always_inline]] inline TrigArg trig_reduce(double x) {
    const double kd = (x * kTwoOverPi + 0x1.8p52) - 0x1.8p52;  // nearest whole number, |k| <= 4
    const double r0 = x - kd * kPio2[0];
    const dd s1 = two_sum(r0, -kd * kPio2[1]);
    const dd s2 = two_sum(s1.hi, -kd * kPio2[2]);
    const double lo = ((s1.lo + s2.lo) - kd * kPio2[3]) - kd * kPio2[4];
    dd r = two_sum(s2.hi, lo);
    const double sign = std::copysign(1.0, r.hi);
    r = {std::fabs(r.hi), r.lo * sign};
    // j/256 nearest to |r| (ties to even; |r| * 256 < 202), formed in double
    // so that d does not wait on conversions to and from an integer.
    const double jd = (r.hi * 256.0 + 0x1.8p52) - 0x1.8p52;
    return {static_cast<int>(kd), sign, static_cast<int>(jd), two_sum(r.hi - jd * (1.0 / 256.0), r.lo)};
}

// sin x and cos x from sin r and cos r; returns the decided bits moved along.
// No branches: the quadrant is as good as random for the draw's arguments.
[[gnu::always_inline]] inline int place(const TrigArg& a, double sin_r, double cos_r, int decided, double* s, double* c) {
    static constexpr double kSign[4][2] = {{1.0, 1.0}, {1.0, -1.0}, {-1.0, -1.0}, {-1.0, 1.0}};
    const int q = a.k & 3, odd = q & 1;
    const double v[2] = {sin_r * a.sign, cos_r};
    *s = v[odd] * kSign[q][0];
    *c = v[odd ^ 1] * kSign[q][1];
    const int moved[2] = {decided, ((decided & 1) << 1) | ((decided >> 1) & 1)};
    return moved[odd];
}

inline dd fact_coef(int n, bool negative) {
    return negative ? dd{-kInvFact[n][0], -kInvFact[n][1]} : dd{kInvFact[n][0], kInvFact[n][1]};
}

// The table's S and C have a 26-bit leading part and d's leading 26 bits
// are split off, so C1 d1 and S1 d1 are exact products. The remaining parts
// of C d and S d (below 2^-26 of them) are rounded at 2^-79; cos d - 1 to
// d^6/720 and sin d - d to d^5/120 in double: below 2^-19 and 2^-29 of the
// result, computed to 4u of themselves, truncations below 2^-75; the low
// sum is rounded twice at 2^-19 of the result. For j >= 1 the result is at
// least half of S (sin) or 0.7 (cos); for j = 0, sin r = d + (sin d - d) and
// cos r = 1 + (cos d - 1). Total below 2^-68. The rounding test
// (rounds_within) rounds the low sum -+ delta once more, below 2^-71 of the
// result (the low sum is below 2^-18 of it): below 2^-67.8 in all, tested
// with delta = 2^-66 |hi| >= 2^-66 (1 - 2^-17) of the result.
[[gnu::always_inline]] inline int sincos_fast(const TrigArg& a, double* s, double* c) {
    const double* t = kSinCos[a.j];  // sin in t[0..2], cos in t[3..5]
    const double dh = a.d.hi, dl = a.d.lo;
    const double sp = 134217729.0 * dh;  // 2^27 + 1
    const double d1 = sp - (sp - dh), d2 = dh - d1;
    const double S = t[0] + t[1], C = t[3] + t[4];
    const double dd2 = dh * dh;
    const double sd = dh * dd2 * (-kInvFact[3][0] + dd2 * kInvFact[5][0]);
    const double cd = dd2 * (-0.5 + dd2 * (kInvFact[4][0] - dd2 * kInvFact[6][0])) - dh * dl;
    const dd sa = two_sum(t[0], t[3] * d1);
    const double sl = (((((t[1] + t[2]) + sa.lo) + t[3] * d2) + t[4] * dh) + C * dl) + (S * cd + C * sd);
    const dd ca = two_sum(t[3], -(t[0] * d1));
    const double cl = (((((t[4] + t[5]) + ca.lo) - t[0] * d2) - t[1] * dh) - S * dl) + (C * cd - S * sd);
    double sin_r, cos_r;
    const int decided = (rounds_within(sa.hi, sl, kFastEps * std::fabs(sa.hi), &sin_r) ? 1 : 0) |
                        (rounds_within(ca.hi, cl, kFastEps * std::fabs(ca.hi), &cos_r) ? 2 : 0);
    return place(a, sin_r, cos_r, decided, s, c);
}

// sin d to d^9/9! and cos d to d^8/8! in dd arithmetic (truncations below
// 2^-111), then both formulas in dd: each operation below 7u^2, the
// cancellation between the two products at most a factor 2 (j >= 1; for
// j = 0, S = 0). Total below 2^-100.
inline int sincos_slow(const TrigArg& a, double* s, double* c) {
    const double* t = kSinCos[a.j];
    const dd S = add(two_sum(t[0], t[1]), {t[2], 0.0}), C = add(two_sum(t[3], t[4]), {t[5], 0.0});
    const dd d2 = mul(a.d, a.d);
    dd ps = fact_coef(9, false), pc = fact_coef(8, false);
    for (int n = 3; n >= 0; --n) {
        ps = add(mul(ps, d2), fact_coef(2 * n + 1, n & 1));
        pc = add(mul(pc, d2), fact_coef(2 * n, n & 1));
    }
    const dd sin_d = mul(ps, a.d);
    const dd sv = add(mul(S, pc), mul(C, sin_d));
    const dd cv = add(mul(C, pc), neg(mul(S, sin_d)));
    const int decided = (rounds_to(sv.hi, sv.lo, kSlowEps) ? 1 : 0) | (rounds_to(cv.hi, cv.lo, kSlowEps) ? 2 : 0);
    return place(a, sv.hi, cv.hi, decided, s, c);
}

} // namespace

namespace crmath_detail {
bool log_fast(double x, double* y) { return linalg::log_fast(log_reduce(x), y); }
bool log_slow(double x, double* y) { return linalg::log_slow(log_reduce(x), y); }
int sincos_fast(double x, double* s, double* c) { return linalg::sincos_fast(trig_reduce(x), s, c); }
int sincos_slow(double x, double* s, double* c) { return linalg::sincos_slow(trig_reduce(x), s, c); }
} // namespace crmath_detail

double cr_log(double x) {
    if (!(x > 0.0) || x > 0x1.fffffffffffffp1023) return std::log(x);
    const LogArg a = log_reduce(x);
    double y;
    if (!log_fast(a, &y)) log_slow(a, &y);
    return y;
}

void cr_sincos(double x, double* s, double* c) {
    if (!(std::fabs(x) <= kSinCosLimit)) {
        *s = std::sin(x);
        *c = std::cos(x);
        return;
    }
    const TrigArg a = trig_reduce(x);
    const int decided = sincos_fast(a, s, c);
    if (decided == 3) return;
    double ss, cc;
    sincos_slow(a, &ss, &cc);
    if (!(decided & 1)) *s = ss;
    if (!(decided & 2)) *c = cc;
}

} // namespace linalg
