// Symmetric eigenproblem by cyclic Jacobi rotations.
#include "eigen/eigen.h"
#include "eigen/kernels.h"

#include "linalg.h"

#include <cmath>

namespace linalg {

namespace {

constexpr int kMaxSweeps = 50;
constexpr double kThresholdFactor = 0.2;   // early threshold 0.2*S/n^2
constexpr double kNegligible = 100.0;      // 100*|apq| lost against |d|

// One plane rotation of a pair of elements; both are read before either is
// written.
inline void rotate(double& x, double& y, double sn, double tau) {
    const double gx = x;
    const double hy = y;
    x = gx - sn * (hy + gx * tau);
    y = hy + sn * (gx - hy * tau);
}

} // namespace

bool jacobi(double** a, int n, double* d, double** v) {
    // b: diagonal at the start of the sweep; z: its changes during the sweep,
    // kept apart so that a sweep's updates are summed separately.
    double* b = alloc_work_vector(n, "jacobi");
    if (b == nullptr) return false;
    double* z = alloc_work_vector(n, "jacobi");
    if (z == nullptr) {
        free_work_vector(b);
        return false;
    }

    for (int p = 1; p <= n; ++p) {
        for (int q = 1; q <= n; ++q) v[p][q] = 0.0;
        v[p][p] = 1.0;
    }
    for (int p = 1; p <= n; ++p) {
        b[p] = d[p] = a[p][p];
        z[p] = 0.0;
    }

    // n*n in 64 bits: identical to the int product wherever that one exists.
    const double n_squared = static_cast<double>(static_cast<long long>(n) * n);

    for (int sweep = 1; sweep <= kMaxSweeps; ++sweep) {
        double sum = 0.0;
        for (int p = 1; p < n; ++p)
            for (int q = p + 1; q <= n; ++q) sum += std::fabs(a[p][q]);
        if (sum == 0.0) {
            free_work_vector(z);
            free_work_vector(b);
            return true;
        }
        const double threshold = sweep < 4 ? kThresholdFactor * sum / n_squared : 0.0;

        for (int p = 1; p < n; ++p) {
            for (int q = p + 1; q <= n; ++q) {
                const double g = kNegligible * std::fabs(a[p][q]);
                if (sweep > 4 && std::fabs(d[p]) + g == std::fabs(d[p]) &&
                    std::fabs(d[q]) + g == std::fabs(d[q])) {
                    a[p][q] = 0.0;
                    continue;
                }
                if (!(std::fabs(a[p][q]) > threshold)) continue;

                const double apq = a[p][q];
                double h = d[q] - d[p];
                double t;
                if (std::fabs(h) + g == std::fabs(h)) {
                    t = apq / h;
                } else {
                    const double theta = 0.5 * h / apq;
                    t = 1.0 / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                    if (theta < 0.0) t = -t;
                }
                const double cs = 1.0 / std::sqrt(t * t + 1.0);
                const double sn = t * cs;
                const double tau = sn / (1.0 + cs);
                h = t * apq;
                z[p] -= h;
                z[q] += h;
                d[p] -= h;
                d[q] += h;
                a[p][q] = 0.0;

                // Hot loops: only the upper triangle of a is touched, so the
                // first runs down columns p and q (strided), the second along
                // row p and down column q, the third along rows p and q
                // (contiguous). The eigenvectors are rows p and q of v.
                for (int j = 1; j < p; ++j) rotate(a[j][p], a[j][q], sn, tau);
                double* const ap = a[p];
                for (int j = p + 1; j < q; ++j) rotate(ap[j], a[j][q], sn, tau);
                rotate_rows_jacobi(ap + q + 1, a[q] + q + 1, n - q, sn, tau);
                rotate_rows_jacobi(v[p] + 1, v[q] + 1, n, sn, tau);
            }
        }

        for (int p = 1; p <= n; ++p) {
            b[p] += z[p];
            d[p] = b[p];
            z[p] = 0.0;
        }
    }
    fatal_numeric_error("Too many iterations in routine jacobi");
}

void EigenSymmSystemJacobi(double* M, int nDim, double* eV, double* eM) {
    if (nDim <= 0) return;
    const char* who = "EigenSymmSystemMsqJ";
    double** a = alloc_work_matrix(nDim, who);
    double** v = a ? alloc_work_matrix(nDim, who) : nullptr;
    double* d = v ? alloc_work_vector(nDim, who) : nullptr;
    if (d != nullptr) {
        copy_to_work(M, nDim, a);
        if (jacobi(a, nDim, d, v)) {
            eigsrt_rows(d, v, nDim);
            store_eigensystem(d, v, nDim, eV, eM);
        }
    }
    free_work_matrix(a, nDim);
    free_work_matrix(v, nDim);
    free_work_vector(d);
}

} // namespace linalg

void LinearAlgebra::LA::EigenSymmSystemMsqJ(double* M, int nDim, double* eV, double* eM) {
    linalg::EigenSymmSystemJacobi(M, nDim, eV, eM);
}
