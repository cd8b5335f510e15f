// Vector kernels behind the eigen-solvers' hot loops. Each one updates the
// elements of contiguous arrays independently of one another: element k gets
// exactly the operations written in its comment, in that order, so the
// results do not depend on the instruction set the kernel runs with. Every
// kernel is compiled for plain x86-64, AVX2 and AVX-512 and the best one for
// the processor is chosen when the library is loaded; none uses fused
// multiply-add. Arrays passed to one call must not overlap.
#ifndef LINALG_EIGEN_KERNELS_H
#define LINALG_EIGEN_KERNELS_H

namespace linalg {

// QL rotation of two rows: with f = y[k], y[k] = s*x[k] + c*f and
// x[k] = c*x[k] - s*f, for 0 <= k < n.
void rotate_rows_ql(double* x, double* y, int n, double c, double s);

// Jacobi rotation of two rows: with g = x[k] and h = y[k],
// x[k] = g - s*(h + g*tau) and y[k] = h + s*(g - h*tau), for 0 <= k < n.
void rotate_rows_jacobi(double* x, double* y, int n, double s, double tau);

// y[k] += a*x[k] for 0 <= k < n.
void add_scaled(double* y, const double* x, int n, double a);

// y[k] -= x[k]*a for 0 <= k < n.
void sub_scaled(double* y, const double* x, int n, double a);

// y[k] -= (a*p[k] + b*q[k]) for 0 <= k < n.
void sub_rank_two(double* y, const double* p, const double* q, int n, double a, double b);

// Householder step of the double-shift QR on three rows: with
// p = r0[k] + q*r1[k], then p = p + r*r2[k]: r2[k] -= p*z, r1[k] -= p*y,
// r0[k] -= p*x, for 0 <= k < n.
void reflect_rows3(double* r0, double* r1, double* r2, int n, double q, double r, double x, double y, double z);

// The same on two rows: p = r0[k] + q*r1[k]; r1[k] -= p*y; r0[k] -= p*x.
void reflect_rows2(double* r0, double* r1, int n, double q, double x, double y);

} // namespace linalg

#endif
