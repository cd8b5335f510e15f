// The plain loops of the kernels that the compiler vectorises by itself
// (element-wise operations, eigen-solver row operations, the generator's
// twist); contracts in kernels.h. Included by reference.cpp and by every
// instruction-set file, which compiles them with its own target flags.
//
// Everything here has internal linkage, so a copy built for one instruction
// set can never be picked by the linker for another; for the same reason
// nothing here calls an inline function of the standard library.
#ifndef LINALG_KERNELS_PLAIN_LOOPS_H
#define LINALG_KERNELS_PLAIN_LOOPS_H

#include "kernels/kernels.h"

namespace linalg {
namespace {
namespace plain {

// Each element is independent of the others, so the compiler may vectorise
// these loops for the target of the including file without changing a bit.

void scale(const double* V, double S, double* X, idx i0, idx i1) {
    for (idx i = i0; i < i1; ++i) X[i] = V[i] * S;
}
void add(const double* V1, const double* V2, double* X, idx i0, idx i1) {
    for (idx i = i0; i < i1; ++i) X[i] = V1[i] + V2[i];
}
void sub(const double* V1, const double* V2, double* X, idx i0, idx i1) {
    for (idx i = i0; i < i1; ++i) X[i] = V1[i] - V2[i];
}
void mul(const double* V1, const double* V2, double* X, idx i0, idx i1) {
    for (idx i = i0; i < i1; ++i) X[i] = V1[i] * V2[i];
}

void rotate_ql(double* __restrict x, double* __restrict y, idx n, double c, double s) {
    for (idx k = 0; k < n; ++k) {
        const double f = y[k];
        const double xk = x[k];
        y[k] = s * xk + c * f;
        x[k] = c * xk - s * f;
    }
}

void rotate_jacobi(double* __restrict x, double* __restrict y, idx n, double s, double tau) {
    for (idx k = 0; k < n; ++k) {
        const double g = x[k];
        const double h = y[k];
        x[k] = g - s * (h + g * tau);
        y[k] = h + s * (g - h * tau);
    }
}

void add_scaled(double* __restrict y, const double* __restrict x, idx n, double a) {
    for (idx k = 0; k < n; ++k) y[k] += a * x[k];
}

void sub_scaled(double* __restrict y, const double* __restrict x, idx n, double a) {
    for (idx k = 0; k < n; ++k) y[k] -= x[k] * a;
}

void sub_rank_two(double* __restrict y, const double* __restrict p, const double* __restrict q, idx n, double a,
                  double b) {
    for (idx k = 0; k < n; ++k) y[k] -= (a * p[k] + b * q[k]);
}

void reflect3(double* __restrict r0, double* __restrict r1, double* __restrict r2, idx n, double q, double r,
              double x, double y, double z) {
    for (idx k = 0; k < n; ++k) {
        double p = r0[k] + q * r1[k];
        p += r * r2[k];
        r2[k] -= p * z;
        r1[k] -= p * y;
        r0[k] -= p * x;
    }
}

void reflect2(double* __restrict r0, double* __restrict r1, idx n, double q, double x, double y) {
    for (idx k = 0; k < n; ++k) {
        const double p = r0[k] + q * r1[k];
        r1[k] -= p * y;
        r0[k] -= p * x;
    }
}

// The twist, for kk = 0 .. N-1 in order:
//   y = (s[kk] & UPPER) | (s[(kk+1) % N] & LOWER);
//   s[kk] = s[(kk+M) % N] ^ (y >> 1) ^ (odd y ? MATRIX_A : 0)
// in place, so a word replaced earlier in the pass is read in its new form.
// Split where the indices wrap, each part is a loop whose reads lie either
// ahead of the writes (not yet replaced) or at least N - M = 227 words behind
// them (already replaced), so the compiler may compute many consecutive kk at
// once; the table lookup becomes a mask.
void twist(std::uint32_t* __restrict s) {
    constexpr int N = kTwistWords, M = 397;
    constexpr std::uint32_t MATRIX_A = 0x9908B0DFu, UPPER = 0x80000000u, LOWER = 0x7FFFFFFFu;
    auto step = [](std::uint32_t cur, std::uint32_t next, std::uint32_t far) {
        const std::uint32_t y = (cur & UPPER) | (next & LOWER);
        return far ^ (y >> 1) ^ ((0u - (y & 1u)) & MATRIX_A);
    };
    for (int kk = 0; kk < N - M; ++kk) s[kk] = step(s[kk], s[kk + 1], s[kk + M]);
    for (int kk = N - M; kk < N - 1; ++kk) s[kk] = step(s[kk], s[kk + 1], s[kk + M - N]);
    s[N - 1] = step(s[N - 1], s[0], s[M - 1]);
}

// The entries every instruction-set file compiles for itself.
inline void set_vectorised_loops(kernel_table& t) {
    t.scale = scale;
    t.add = add;
    t.sub = sub;
    t.mul = mul;
    t.rotate_ql = rotate_ql;
    t.rotate_jacobi = rotate_jacobi;
    t.add_scaled = add_scaled;
    t.sub_scaled = sub_scaled;
    t.sub_rank_two = sub_rank_two;
    t.reflect3 = reflect3;
    t.reflect2 = reflect2;
    t.twist = twist;
}

} // namespace plain
} // namespace
} // namespace linalg

#endif
