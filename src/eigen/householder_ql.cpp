// Symmetric eigenproblem by Householder tridiagonalisation followed by the
// QL algorithm with implicit shifts.
#include "eigen/eigen.h"

#include "linalg.h"

#include <cmath>

namespace linalg {

namespace {
constexpr int kMaxIterations = 30;  // per eigenvalue
} // namespace

double pythag(double a, double b) {
    const double absa = std::fabs(a);
    const double absb = std::fabs(b);
    if (absa > absb) {
        const double ratio = absb / absa;
        return absa * std::sqrt(1.0 + ratio * ratio);
    }
    if (absb == 0.0) return 0.0;
    const double ratio = absa / absb;
    return absb * std::sqrt(1.0 + ratio * ratio);
}

void tred2(double** a, int n, double* d, double* e) {
    // Stage 1: for each row i from the bottom, a Householder reflection that
    // zeroes a[i][1..i-2]. The vector u stays in row i, u/h in column i, and
    // d[i] keeps h (0.0 when no reflection was needed).
    for (int i = n; i >= 2; --i) {
        const int l = i - 1;
        double h = 0.0;
        if (l > 1) {
            double scale = 0.0;
            for (int k = 1; k <= l; ++k) scale += std::fabs(a[i][k]);
            if (scale == 0.0) {
                e[i] = a[i][l];
            } else {
                for (int k = 1; k <= l; ++k) {
                    a[i][k] /= scale;
                    h += a[i][k] * a[i][k];
                }
                double f = a[i][l];
                double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
                e[i] = scale * g;
                h -= f * g;
                a[i][l] = f - g;
                f = 0.0;
                for (int j = 1; j <= l; ++j) {
                    a[j][i] = a[i][j] / h;
                    // Hot loop: row j left of the diagonal, then column j
                    // below it (strided), both against row i.
                    g = 0.0;
                    for (int k = 1; k <= j; ++k) g += a[j][k] * a[i][k];
                    for (int k = j + 1; k <= l; ++k) g += a[k][j] * a[i][k];
                    e[j] = g / h;
                    f += e[j] * a[i][j];
                }
                const double hh = f / (h + h);
                for (int j = 1; j <= l; ++j) {
                    f = a[i][j];
                    g = e[j] - hh * f;
                    e[j] = g;
                    // Hot loop: rank-two update of the lower triangle.
                    for (int k = 1; k <= j; ++k) a[j][k] -= (f * e[k] + g * a[i][k]);
                }
            }
        } else {
            e[i] = a[i][l];
        }
        d[i] = h;
    }

    // Stage 2: accumulate the reflections into Q, from the top left corner
    // outwards, and collect the diagonal.
    if (n >= 1) {
        d[1] = 0.0;
        e[1] = 0.0;
    }
    for (int i = 1; i <= n; ++i) {
        const int l = i - 1;
        if (d[i] != 0.0) {
            for (int j = 1; j <= l; ++j) {
                // Hot loops: row i against column j (strided), then an update
                // of column j from column i (both strided).
                double g = 0.0;
                for (int k = 1; k <= l; ++k) g += a[i][k] * a[k][j];
                for (int k = 1; k <= l; ++k) a[k][j] -= g * a[k][i];
            }
        }
        d[i] = a[i][i];
        a[i][i] = 1.0;
        for (int j = 1; j <= l; ++j) a[j][i] = a[i][j] = 0.0;
    }
}

void tqli(double* d, double* e, int n, double** z) {
    // From here on e[i] couples i and i+1.
    for (int i = 2; i <= n; ++i) e[i - 1] = e[i];
    if (n >= 1) e[n] = 0.0;

    for (int l = 1; l <= n; ++l) {
        int iter = 0;
        int m;
        do {
            // The first negligible off-diagonal element at or after l splits
            // the matrix; m = n when there is none.
            for (m = l; m <= n - 1; ++m) {
                const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
                if (std::fabs(e[m]) + dd == dd) break;
            }
            if (m == l) break;
            if (iter == kMaxIterations) fatal_numeric_error("Too many iterations in tqli");
            ++iter;

            double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
            double r = pythag(g, 1.0);
            g = d[m] - d[l] + e[l] / (g + (g >= 0.0 ? std::fabs(r) : -std::fabs(r)));
            double sn = 1.0, cs = 1.0, p = 0.0;
            bool underflow = false;
            for (int i = m - 1; i >= l; --i) {
                const double f = sn * e[i];
                const double b = cs * e[i];
                r = pythag(f, g);
                e[i + 1] = r;
                if (r == 0.0) {
                    // Recover from underflow: drop the rotation and restart
                    // the search for a split.
                    d[i + 1] -= p;
                    e[m] = 0.0;
                    underflow = true;
                    break;
                }
                sn = f / r;
                cs = g / r;
                g = d[i + 1] - p;
                r = (d[i] - g) * sn + 2.0 * cs * b;
                p = sn * r;
                d[i + 1] = g + p;
                g = cs * r - b;
                // Hot loop: rotation of columns i and i+1 of z (strided).
                for (int k = 1; k <= n; ++k) {
                    const double zk = z[k][i + 1];
                    z[k][i + 1] = sn * z[k][i] + cs * zk;
                    z[k][i] = cs * z[k][i] - sn * zk;
                }
            }
            if (underflow) continue;
            d[l] -= p;
            e[l] = g;
            e[m] = 0.0;
        } while (m != l);
    }
}

void EigenSymmSystemHQL(double* M, int nDim, double* eV, double* eM) {
    if (nDim <= 0) return;
    const char* who = "EigenSymmSystemMsqH";
    double** a = alloc_work_matrix(nDim, who);
    double* d = a ? alloc_work_vector(nDim, who) : nullptr;
    double* e = d ? alloc_work_vector(nDim, who) : nullptr;
    if (e != nullptr) {
        copy_to_work(M, nDim, a);
        tred2(a, nDim, d, e);
        tqli(d, e, nDim, a);
        eigsrt(d, a, nDim);
        for (int i = 0; i < nDim; ++i) eV[i] = d[i + 1];
        copy_from_work(a, nDim, eM);
    }
    free_work_matrix(a, nDim);
    free_work_vector(d);
    free_work_vector(e);
}

} // namespace linalg

void LinearAlgebra::LA::EigenSymmSystemMsqH(double* M, int nDim, double* eV, double* eM) {
    linalg::EigenSymmSystemHQL(M, nDim, eV, eM);
}
