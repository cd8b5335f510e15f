// Reference eigen-solvers: the plain row-pointer forms whose arithmetic the
// library's solvers reproduce (see ref_eigen.h).
#include "support/ref_eigen.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace ref {

namespace {

// 1-based work matrix: rows 0..n of n+1 doubles, addressed through pointers.
class WorkMatrix {
public:
    explicit WorkMatrix(int n)
        : store_(static_cast<std::size_t>(n + 1) * (n + 1), 0.0), rows_(static_cast<std::size_t>(n) + 1) {
        for (int i = 0; i <= n; ++i) rows_[i] = store_.data() + static_cast<std::size_t>(i) * (n + 1);
    }
    double** rows() { return rows_.data(); }

private:
    std::vector<double> store_;
    std::vector<double*> rows_;
};

void copy_in(const double* M, int n, double** a) {
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) a[i + 1][j + 1] = M[static_cast<std::size_t>(i) * n + j];
}

void eigsrt(double* d, double** v, int n) {
    for (int i = 1; i < n; ++i) {
        int k = i;
        double p = d[i];
        for (int j = i + 1; j <= n; ++j) {
            if (d[j] >= p) {
                k = j;
                p = d[j];
            }
        }
        if (k != i) {
            d[k] = d[i];
            d[i] = p;
            for (int r = 1; r <= n; ++r) {
                const double tmp = v[r][i];
                v[r][i] = v[r][k];
                v[r][k] = tmp;
            }
        }
    }
}

// ---- Jacobi ------------------------------------------------------------------

inline void rotate(double& x, double& y, double sn, double tau) {
    const double gx = x;
    const double hy = y;
    x = gx - sn * (hy + gx * tau);
    y = hy + sn * (gx - hy * tau);
}

bool jacobi(double** a, int n, double* d, double** v) {
    std::vector<double> b(n + 1), z(n + 1);
    for (int p = 1; p <= n; ++p) {
        for (int q = 1; q <= n; ++q) v[p][q] = 0.0;
        v[p][p] = 1.0;
    }
    for (int p = 1; p <= n; ++p) {
        b[p] = d[p] = a[p][p];
        z[p] = 0.0;
    }
    const double n_squared = static_cast<double>(static_cast<long long>(n) * n);
    for (int sweep = 1; sweep <= 50; ++sweep) {
        double sum = 0.0;
        for (int p = 1; p < n; ++p)
            for (int q = p + 1; q <= n; ++q) sum += std::fabs(a[p][q]);
        if (sum == 0.0) return true;
        const double threshold = sweep < 4 ? 0.2 * sum / n_squared : 0.0;
        for (int p = 1; p < n; ++p) {
            for (int q = p + 1; q <= n; ++q) {
                const double g = 100.0 * std::fabs(a[p][q]);
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
                for (int j = 1; j < p; ++j) rotate(a[j][p], a[j][q], sn, tau);
                for (int j = p + 1; j < q; ++j) rotate(a[p][j], a[j][q], sn, tau);
                for (int j = q + 1; j <= n; ++j) rotate(a[p][j], a[q][j], sn, tau);
                for (int j = 1; j <= n; ++j) rotate(v[j][p], v[j][q], sn, tau);
            }
        }
        for (int p = 1; p <= n; ++p) {
            b[p] += z[p];
            d[p] = b[p];
            z[p] = 0.0;
        }
    }
    return false;
}

// ---- Householder + QL ------------------------------------------------------------

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
                    for (int k = 1; k <= j; ++k) a[j][k] -= (f * e[k] + g * a[i][k]);
                }
            }
        } else {
            e[i] = a[i][l];
        }
        d[i] = h;
    }
    if (n >= 1) {
        d[1] = 0.0;
        e[1] = 0.0;
    }
    for (int i = 1; i <= n; ++i) {
        const int l = i - 1;
        if (d[i] != 0.0) {
            for (int j = 1; j <= l; ++j) {
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

bool tqli(double* d, double* e, int n, double** z) {
    for (int i = 2; i <= n; ++i) e[i - 1] = e[i];
    if (n >= 1) e[n] = 0.0;
    for (int l = 1; l <= n; ++l) {
        int iter = 0;
        int m;
        do {
            for (m = l; m <= n - 1; ++m) {
                const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
                if (std::fabs(e[m]) + dd == dd || std::fabs(e[m]) < DBL_MIN) break;
            }
            if (m == l) break;
            if (iter == 30) return false;
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
    return true;
}

// ---- general matrices --------------------------------------------------------------

void balanc(double** a, int n) {
    bool rescaled = true;
    while (rescaled) {
        rescaled = false;
        for (int i = 1; i <= n; ++i) {
            double csum = 0.0, rsum = 0.0;
            for (int j = 1; j <= n; ++j) {
                if (j == i) continue;
                csum += std::fabs(a[j][i]);
                rsum += std::fabs(a[i][j]);
            }
            if (csum == 0.0 || rsum == 0.0 || !std::isfinite(csum) || !std::isfinite(rsum)) continue;
            double g = rsum * 0.5;
            double f = 1.0;
            const double s = csum + rsum;
            while (csum < g) {
                f = f * 2.0;
                csum = csum * 4.0;
            }
            g = rsum * 2.0;
            while (csum > g) {
                f = f * 0.5;
                csum = csum * 0.25;
            }
            if ((csum + rsum) / f < 0.95 * s) {
                rescaled = true;
                const double inv = 1.0 / f;
                for (int j = 1; j <= n; ++j) a[i][j] *= inv;
                for (int j = 1; j <= n; ++j) a[j][i] *= f;
            }
        }
    }
}

void elmhes(double** a, int n) {
    for (int m = 2; m < n; ++m) {
        double x = 0.0;
        int i = m;
        for (int j = m; j <= n; ++j) {
            if (std::fabs(a[j][m - 1]) > std::fabs(x)) {
                x = a[j][m - 1];
                i = j;
            }
        }
        if (i != m) {
            for (int j = m - 1; j <= n; ++j) std::swap(a[i][j], a[m][j]);
            for (int j = 1; j <= n; ++j) std::swap(a[j][i], a[j][m]);
        }
        if (x != 0.0) {
            for (i = m + 1; i <= n; ++i) {
                double y = a[i][m - 1];
                if (y != 0.0) {
                    y /= x;
                    a[i][m - 1] = y;
                    for (int j = m; j <= n; ++j) a[i][j] -= y * a[m][j];
                    for (int j = 1; j <= n; ++j) a[j][m] += y * a[j][i];
                }
            }
        }
    }
}

bool hqr(double** a, int n, double* wr, double* wi) {
    double anorm = 0.0;
    for (int i = 1; i <= n; ++i)
        for (int j = std::max(i - 1, 1); j <= n; ++j) anorm += std::fabs(a[i][j]);
    int nn = n;
    double t = 0.0;
    double p = 0.0, q = 0.0, r = 0.0, s = 0.0, w = 0.0, x = 0.0, y = 0.0, z = 0.0;
    while (nn >= 1) {
        int its = 0;
        int l;
        do {
            for (l = nn; l >= 2; --l) {
                s = std::fabs(a[l - 1][l - 1]) + std::fabs(a[l][l]);
                if (s == 0.0) s = anorm;
                if (std::fabs(a[l][l - 1]) + s == s) {
                    a[l][l - 1] = 0.0;
                    break;
                }
            }
            x = a[nn][nn];
            if (l == nn) {
                wr[nn] = x + t;
                wi[nn] = 0.0;
                --nn;
                continue;
            }
            y = a[nn - 1][nn - 1];
            w = a[nn][nn - 1] * a[nn - 1][nn];
            if (l == nn - 1) {
                p = 0.5 * (y - x);
                q = p * p + w;
                z = std::sqrt(std::fabs(q));
                x += t;
                if (q >= 0.0) {
                    z = p >= 0.0 ? p + z : p - z;
                    wr[nn - 1] = wr[nn] = x + z;
                    if (z != 0.0) wr[nn] = x - w / z;
                    wi[nn - 1] = wi[nn] = 0.0;
                } else {
                    wr[nn - 1] = wr[nn] = x + p;
                    wi[nn] = z;
                    wi[nn - 1] = -z;
                }
                nn -= 2;
                continue;
            }
            if (its == 30) return false;
            if (its == 10 || its == 20) {
                t += x;
                for (int i = 1; i <= nn; ++i) a[i][i] -= x;
                s = std::fabs(a[nn][nn - 1]) + std::fabs(a[nn - 1][nn - 2]);
                x = y = 0.75 * s;
                w = -0.4375 * s * s;
            }
            ++its;
            int m;
            for (m = nn - 2; m >= l; --m) {
                z = a[m][m];
                r = x - z;
                s = y - z;
                p = (r * s - w) / a[m + 1][m] + a[m][m + 1];
                q = a[m + 1][m + 1] - z - r - s;
                r = a[m + 2][m + 1];
                s = std::fabs(p) + std::fabs(q) + std::fabs(r);
                p /= s;
                q /= s;
                r /= s;
                if (m == l) break;
                const double u = std::fabs(a[m][m - 1]) * (std::fabs(q) + std::fabs(r));
                const double v =
                    std::fabs(p) * (std::fabs(a[m - 1][m - 1]) + std::fabs(z) + std::fabs(a[m + 1][m + 1]));
                if (u + v == v) break;
            }
            for (int i = m + 2; i <= nn; ++i) {
                a[i][i - 2] = 0.0;
                if (i != m + 2) a[i][i - 3] = 0.0;
            }
            for (int k = m; k <= nn - 1; ++k) {
                if (k != m) {
                    p = a[k][k - 1];
                    q = a[k + 1][k - 1];
                    r = 0.0;
                    if (k != nn - 1) r = a[k + 2][k - 1];
                    x = std::fabs(p) + std::fabs(q) + std::fabs(r);
                    if (x != 0.0) {
                        p /= x;
                        q /= x;
                        r /= x;
                    }
                }
                s = std::sqrt(p * p + q * q + r * r);
                if (p < 0.0) s = -s;
                if (s == 0.0) continue;
                if (k == m) {
                    if (l != m) a[k][k - 1] = -a[k][k - 1];
                } else {
                    a[k][k - 1] = -s * x;
                }
                p += s;
                x = p / s;
                y = q / s;
                z = r / s;
                q /= p;
                r /= p;
                for (int j = k; j <= nn; ++j) {
                    p = a[k][j] + q * a[k + 1][j];
                    if (k != nn - 1) {
                        p += r * a[k + 2][j];
                        a[k + 2][j] -= p * z;
                    }
                    a[k + 1][j] -= p * y;
                    a[k][j] -= p * x;
                }
                const int last = std::min(nn, k + 3);
                for (int i = l; i <= last; ++i) {
                    p = x * a[i][k] + y * a[i][k + 1];
                    if (k != nn - 1) {
                        p += z * a[i][k + 2];
                        a[i][k + 2] -= p * r;
                    }
                    a[i][k + 1] -= p * q;
                    a[i][k] -= p;
                }
            }
        } while (l < nn - 1);
    }
    return true;
}

} // namespace

bool ql_tridiagonal(double* d, double* e, int n, double** z) { return tqli(d, e, n, z); }

bool eigen_symm_jacobi(const double* M, int n, double* eV, double* eM) {
    if (n <= 0) return true;
    WorkMatrix a(n), v(n);
    std::vector<double> d(n + 1);
    copy_in(M, n, a.rows());
    if (!jacobi(a.rows(), n, d.data(), v.rows())) return false;
    eigsrt(d.data(), v.rows(), n);
    for (int i = 0; i < n; ++i) {
        eV[i] = d[i + 1];
        for (int j = 0; j < n; ++j) eM[static_cast<std::size_t>(i) * n + j] = v.rows()[i + 1][j + 1];
    }
    return true;
}

bool eigen_symm_hql(const double* M, int n, double* eV, double* eM) {
    if (n <= 0) return true;
    WorkMatrix a(n);
    std::vector<double> d(n + 1), e(n + 1);
    copy_in(M, n, a.rows());
    tred2(a.rows(), n, d.data(), e.data());
    if (!tqli(d.data(), e.data(), n, a.rows())) return false;
    eigsrt(d.data(), a.rows(), n);
    for (int i = 0; i < n; ++i) {
        eV[i] = d[i + 1];
        for (int j = 0; j < n; ++j) eM[static_cast<std::size_t>(i) * n + j] = a.rows()[i + 1][j + 1];
    }
    return true;
}

bool eigen_unsymm(const double* M, int n, double* eV_r, double* eV_i) {
    if (n <= 0) return true;
    WorkMatrix a(n);
    std::vector<double> wr(n + 1), wi(n + 1);
    copy_in(M, n, a.rows());
    balanc(a.rows(), n);
    elmhes(a.rows(), n);
    if (!hqr(a.rows(), n, wr.data(), wi.data())) return false;
    for (int i = 0; i < n; ++i) {
        eV_r[i] = wr[i + 1];
        eV_i[i] = wi[i + 1];
    }
    return true;
}

} // namespace ref
