// Row operations behind the eigen-solvers' hot loops: thin forwarders to the
// kernel table (kernels/kernels.h), which holds their contracts and a copy
// built for each instruction set. Element k of every array gets exactly the
// operations written here, in that order, whatever the instruction set.
// Arrays passed to one call must not overlap; n <= 0 does nothing.
#ifndef LINALG_EIGEN_KERNELS_H
#define LINALG_EIGEN_KERNELS_H

#include "kernels/kernels.h"

namespace linalg {

// QL rotation of two rows: with f = y[k], y[k] = s*x[k] + c*f and
// x[k] = c*x[k] - s*f, for 0 <= k < n.
inline void rotate_rows_ql(double* x, double* y, int n, double c, double s) { kernels().rotate_ql(x, y, n, c, s); }

// The QL rotations j = count-1 down to 0 in that order, rotation j being
// rotate_rows_ql(rows[j], rows[j+1], n, c[j], s[j]), in one pass over the
// rows (elements get the same operations in the same order). A non-null
// tick(ctx) is called count times during the pass (see kernels/kernels.h).
inline void rotate_rows_ql_chain(double* const* rows, int n, const double* c, const double* s, int count,
                                 void (*tick)(void*) = nullptr, void* ctx = nullptr) {
    kernels().rotate_ql_chain(rows, n, c, s, count, tick, ctx);
}

// Two chains in one pass, the second after the first: for j = count-1 down
// to 0, rotation j of the first on rows[j], rows[j+1], then rotation j of
// the second on rows[j+1], rows[j+2]. The same operations per element as
// the two chains one after the other; a non-null tick(ctx) is called
// 2 * count times (see kernels/kernels.h).
inline void rotate_rows_ql_pair(double* const* rows, int n, const double* ca, const double* sa, const double* cb,
                                const double* sb, int count, void (*tick)(void*) = nullptr, void* ctx = nullptr) {
    kernels().rotate_ql_pair(rows, n, ca, sa, cb, sb, count, tick, ctx);
}

// Jacobi rotation of two rows: with g = x[k] and h = y[k],
// x[k] = g - s*(h + g*tau) and y[k] = h + s*(g - h*tau), for 0 <= k < n.
inline void rotate_rows_jacobi(double* x, double* y, int n, double s, double tau) {
    kernels().rotate_jacobi(x, y, n, s, tau);
}

// y[k] += a*x[k] for 0 <= k < n.
inline void add_scaled(double* y, const double* x, int n, double a) { kernels().add_scaled(y, x, n, a); }

// add_scaled(y, x[j] + off, n, a[j]) for j = 0 .. count-1 in that order, in
// one pass over y; no row overlaps y.
inline void add_scaled_rows(double* y, const double* const* x, int off, const double* a, int count, int n) {
    kernels().add_scaled_rows(y, x, off, a, count, n);
}

// y[k] -= x[k]*a for 0 <= k < n.
inline void sub_scaled(double* y, const double* x, int n, double a) { kernels().sub_scaled(y, x, n, a); }

// y[k] -= (a*p[k] + b*q[k]) for 0 <= k < n.
inline void sub_rank_two(double* y, const double* p, const double* q, int n, double a, double b) {
    kernels().sub_rank_two(y, p, q, n, a, b);
}

// Householder step of the double-shift QR on three rows: with
// p = r0[k] + q*r1[k], then p = p + r*r2[k]: r2[k] -= p*z, r1[k] -= p*y,
// r0[k] -= p*x, for 0 <= k < n.
inline void reflect_rows3(double* r0, double* r1, double* r2, int n, double q, double r, double x, double y,
                          double z) {
    kernels().reflect3(r0, r1, r2, n, q, r, x, y, z);
}

// The same on two rows: p = r0[k] + q*r1[k]; r1[k] -= p*y; r0[k] -= p*x.
inline void reflect_rows2(double* r0, double* r1, int n, double q, double x, double y) {
    kernels().reflect2(r0, r1, n, q, x, y);
}

// X[c*ldx + r] = M[r*ldm + c] for 0 <= r < rows, 0 <= c < cols (a copy).
inline void transpose_block(const double* M, idx ldm, double* X, idx ldx, int rows, int cols) {
    kernels().transpose_block(M, ldm, X, ldx, rows, cols);
}

} // namespace linalg

#endif
