#include "support/ref_solvers.h"
#include "support/reference.h"
#include "solvers/solvers.h"

#include <cmath>
#include <random>
#include <vector>

namespace ref {

namespace {

const double kTiny = 1e-12;

// Largest |W(r, k)| for r >= k, uppermost on ties.
long pivot(const std::vector<double>& W, long ld, long k, long n, double* mag) {
    long p = k;
    double m = std::fabs(W[k * ld + k]);
    for (long r = k + 1; r < n; ++r)
        if (std::fabs(W[r * ld + k]) > m) {
            m = std::fabs(W[r * ld + k]);
            p = r;
        }
    *mag = m;
    return p;
}

// [A | B] with each row scaled into [0.5, 1); all-zero rows stay zero.
std::vector<double> scaled_augmented(const double* A, const double* B, long n) {
    const double ln2 = std::log(2.0);
    std::vector<double> W(n * (n + 1));
    for (long i = 0; i < n; ++i) {
        double s = 0.0;
        for (long j = 0; j < n; ++j) {
            W[i * (n + 1) + j] = A[i * n + j];
            s += std::fabs(A[i * n + j]);
        }
        W[i * (n + 1) + n] = B[i];
        if (s != 0.0 && !(s >= 0.5 && s <= 1.0)) {
            const double f = row_scale_factor(s, ln2);
            for (long j = 0; j <= n; ++j) W[i * (n + 1) + j] *= f;
        }
    }
    return W;
}

void back_substitution(const std::vector<double>& W, long n, double* X) {
    for (long i = n - 1; i >= 0; --i) {
        double v = W[i * (n + 1) + n];
        for (long j = i + 1; j < n; ++j) v = v - W[i * (n + 1) + j] * X[j];
        X[i] = W[i * (n + 1) + i] * v;
    }
}

} // namespace

double row_scale_factor(double s, double ln2) {
#ifndef __GLIBC__
    // The formula needs correctly rounded log and exp, which glibc's are in
    // every case the library meets (RowScaleFactor.IsTheFormulaWith...
    // compares them on Linux) and other C libraries' are not: there the
    // library's own evaluation, proven against glibc's, stands in.
    return linalg::RowScaleFactor(s, ln2);
#endif
    const double t = std::log(s) / ln2 + 1.0;
    double e;
    if (t >= 0) {
        e = std::floor(t);
    } else if (t - std::ceil(t) == 0.0) {
        e = std::ceil(t);
    } else {
        e = std::ceil(t - 1.0);
    }
    return std::exp(-e * ln2);
}

bool solve_gauss(const double* A, const double* B, double* X, int nDim) {
    const long n = nDim, ld = n + 1;
    if (n <= 0) return true;
    std::vector<double> W = scaled_augmented(A, B, n);
    for (long k = 0; k < n; ++k) {
        double m;
        const long p = pivot(W, ld, k, n, &m);
        if (m < kTiny) return false;
        for (long j = k; p != k && j <= n; ++j) std::swap(W[k * ld + j], W[p * ld + j]);
        const double d = 1.0 / W[k * ld + k];
        W[k * ld + k] = d;
        for (long r = k + 1; r < n; ++r) {
            const double g = W[r * ld + k] * d;
            for (long j = k + 1; j <= n; ++j) W[r * ld + j] = W[r * ld + j] - W[k * ld + j] * g;
        }
    }
    back_substitution(W, n, X);
    return true;
}

bool solve_gauss_divided(const double* A, const double* B, double* X, int nDim) {
    const long n = nDim, ld = n + 1;
    if (n <= 0) return true;
    std::vector<double> W = scaled_augmented(A, B, n);
    for (long k = 0; k + 1 < n; ++k) {
        double m;
        const long p = pivot(W, ld, k, n, &m);
        if (m < kTiny) return false;
        const double q = W[p * ld + k];
        for (long j = k; j <= n; ++j) {
            const double t = W[k * ld + j];
            W[k * ld + j] = W[p * ld + j] / q;
            if (p != k) W[p * ld + j] = t;
        }
        for (long r = k + 1; r < n; ++r) {
            const double g = W[r * ld + k];
            for (long j = k + 1; j <= n; ++j) W[r * ld + j] = W[r * ld + j] - W[k * ld + j] * g;
        }
    }
    const long l = (n - 1) * ld;
    if (std::fabs(W[l + n - 1]) < kTiny) return false;
    W[l + n] = W[l + n] / W[l + n - 1];
    W[l + n - 1] = 1.0;
    back_substitution(W, n, X);
    return true;
}

bool invert_gauss_jordan(const double* A, double* invA, int nDim) {
    const long n = nDim;
    if (n <= 0) return true;
    const double ln2 = std::log(2.0);
    std::vector<double> W(A, A + n * n);
    for (long i = 0; i < n; ++i)
        for (long j = 0; j < n; ++j) invA[i * n + j] = (i == j) ? 1.0 : 0.0;
    for (long i = 0; i < n; ++i) {
        double s = 0.0;
        for (long j = 0; j < n; ++j) s += std::fabs(W[i * n + j]);
        if (s == 0.0 || (s >= 0.5 && s <= 1.0)) continue;
        const double f = row_scale_factor(s, ln2);
        for (long j = 0; j < n; ++j) {
            W[i * n + j] *= f;
            invA[i * n + j] *= f;
        }
    }
    for (long k = 0; k < n; ++k) {
        double m;
        const long p = pivot(W, n, k, n, &m);
        if (m < kTiny) return false;
        for (long j = 0; p != k && j < n; ++j) {
            std::swap(W[k * n + j], W[p * n + j]);
            std::swap(invA[k * n + j], invA[p * n + j]);
        }
        const double q = W[k * n + k];
        for (long j = 0; j < n; ++j) {
            W[k * n + j] /= q;
            invA[k * n + j] /= q;
        }
        for (long i = 0; i < n; ++i) {
            if (i == k) continue;
            const double g = W[i * n + k];
            for (long j = 0; j < n; ++j) {
                W[i * n + j] -= W[k * n + j] * g;
                invA[i * n + j] -= invA[k * n + j] * g;
            }
        }
    }
    return true;
}

double determinant(const double* a, int nDim, bool* singular) {
    if (singular) *singular = false;
    const long n = nDim;
    if (n <= 0) return 1.0;
    if (n == 1) return a[0];
    if (n == 2) return a[3] * a[0] - a[2] * a[1];
    if (n == 3) {
        const double P = a[0] * a[4] * a[8] + a[3] * a[7] * a[2] + a[1] * a[5] * a[6];
        const double Q = a[4] * a[2] * a[6] + a[1] * a[3] * a[8] + a[5] * a[0] * a[7];
        return P - Q;
    }
    std::vector<double> W(a, a + n * n);
    double sign = 1.0;
    for (long k = 0; k < n; ++k) {
        double m;
        const long p = pivot(W, n, k, n, &m);
        if (m < kTiny) {
            if (singular) *singular = true;
            return 0.0;
        }
        if (p != k) {
            for (long j = 0; j < n; ++j) std::swap(W[k * n + j], W[p * n + j]);
            sign = -sign;
        }
        for (long r = k + 1; r < n; ++r) {
            const double g = W[r * n + k] / W[k * n + k];
            for (long j = k; j < n; ++j) W[r * n + j] -= W[k * n + j] * g;
        }
    }
    double d = 1.0;
    for (long i = 0; i < n; ++i) d *= W[i * n + i];
    return sign * d;
}

std::vector<double> tie_matrix(int n, std::uint64_t salt) {
    std::mt19937_64 g(seed() ^ salt);
    std::vector<double> a(static_cast<std::size_t>(n) * n);
    for (double& e : a) e = static_cast<double>(static_cast<int>(g() % 7) - 3);
    return a;
}

std::vector<double> wild_rows_matrix(int n, std::uint64_t salt) {
    std::vector<double> a = random_matrix(n, salt);
    std::mt19937_64 g(seed() ^ salt ^ 0x55);
    for (int i = 0; i < n; ++i) {
        const double f = std::pow(10.0, static_cast<int>(g() % 301) - 150);
        for (int j = 0; j < n; ++j) a[static_cast<std::size_t>(i) * n + j] *= f;
    }
    return a;
}

} // namespace ref
