// Vector kernels of the eigen-solvers (see kernels.h). The loops are written
// plainly; the compiler vectorises them across k for each target, which keeps
// every element's arithmetic as written because no element depends on
// another and contraction into fused multiply-add is disabled for the build.
#include "eigen/kernels.h"

#define LINALG_EIGEN_KERNEL __attribute__((target_clones("avx512f", "avx2", "default")))

namespace linalg {

LINALG_EIGEN_KERNEL
void rotate_rows_ql(double* __restrict x, double* __restrict y, int n, double c, double s) {
    for (int k = 0; k < n; ++k) {
        const double f = y[k];
        const double xk = x[k];
        y[k] = s * xk + c * f;
        x[k] = c * xk - s * f;
    }
}

LINALG_EIGEN_KERNEL
void rotate_rows_jacobi(double* __restrict x, double* __restrict y, int n, double s, double tau) {
    for (int k = 0; k < n; ++k) {
        const double g = x[k];
        const double h = y[k];
        x[k] = g - s * (h + g * tau);
        y[k] = h + s * (g - h * tau);
    }
}

LINALG_EIGEN_KERNEL
void add_scaled(double* __restrict y, const double* __restrict x, int n, double a) {
    for (int k = 0; k < n; ++k) y[k] += a * x[k];
}

LINALG_EIGEN_KERNEL
void sub_scaled(double* __restrict y, const double* __restrict x, int n, double a) {
    for (int k = 0; k < n; ++k) y[k] -= x[k] * a;
}

LINALG_EIGEN_KERNEL
void sub_rank_two(double* __restrict y, const double* __restrict p, const double* __restrict q, int n, double a,
                  double b) {
    for (int k = 0; k < n; ++k) y[k] -= (a * p[k] + b * q[k]);
}

LINALG_EIGEN_KERNEL
void reflect_rows3(double* __restrict r0, double* __restrict r1, double* __restrict r2, int n, double q, double r,
                   double x, double y, double z) {
    for (int k = 0; k < n; ++k) {
        double p = r0[k] + q * r1[k];
        p += r * r2[k];
        r2[k] -= p * z;
        r1[k] -= p * y;
        r0[k] -= p * x;
    }
}

LINALG_EIGEN_KERNEL
void reflect_rows2(double* __restrict r0, double* __restrict r1, int n, double q, double x, double y) {
    for (int k = 0; k < n; ++k) {
        const double p = r0[k] + q * r1[k];
        r1[k] -= p * y;
        r0[k] -= p * x;
    }
}

} // namespace linalg
