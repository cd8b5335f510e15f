// Symmetric eigenproblem by Householder tridiagonalisation followed by the
// QL algorithm with implicit shifts.
#include "base/message.h"
#include "eigen/eigen.h"
#include "eigen/kernels.h"

#include "linalg.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace linalg {

namespace {
constexpr int kMaxIterations = 30;  // per eigenvalue, before the late phase
constexpr double kShiftFactor = 0.75;  // late exceptional shift
constexpr int kChain = 64;  // QL rotations applied to z per pass
constexpr int kFusedRows = 8;  // rows updated, then summed, per block

// True when d[l..m] and e[l..m-1] are all finite.
bool block_finite(const double* d, const double* e, int l, int m) {
    for (int i = l; i <= m; ++i)
        if (!std::isfinite(d[i]) || (i < m && !std::isfinite(e[i]))) return false;
    return true;
}

// The reflection of step i formed from row u = a[i], l = i-1 columns left
// of the diagonal: u[1..l] divided by their scale, u[l] = f - g, h and the
// off-diagonal element e[i] = scale g. No reflection when l < 2 or the row
// is zero left of the diagonal; e[i] is then u[l].
struct Reflection {
    bool reflected = false;
    double h = 0.0;
    double e = 0.0;
};

Reflection reflect(double* u, int l) {
    Reflection r;
    if (l <= 1) {
        r.e = u[l];
        return r;
    }
    double scale = 0.0;
    for (int k = 1; k <= l; ++k) scale += std::fabs(u[k]);
    if (scale == 0.0) {
        r.e = u[l];
        return r;
    }
    double h = 0.0;
    for (int k = 1; k <= l; ++k) u[k] /= scale;
    for (int k = 1; k <= l; ++k) h += u[k] * u[k];
    const double f = u[l];
    const double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
    r.e = scale * g;
    h -= f * g;
    u[l] = f - g;
    r.reflected = true;
    r.h = h;
    return r;
}
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
    // Stage 1 keeps the active block (rows and columns 1..l) symmetric in
    // full: the element above the diagonal holds the bits of its mirror, and
    // every update below the diagonal is repeated above it with the same
    // operands. Then both sums of the matrix-vector product run along rows
    // and the rank-two update is one contiguous pass per row. The input's
    // upper triangle is never read: it is overwritten by the mirror first.
    for (int i = 2; i <= n; ++i) {
        double* row = a[i];
        for (int j = 1; j < i; ++j) a[j][i] = row[j];
    }

    // Stage 1: for each row i from the bottom, a Householder reflection that
    // zeroes a[i][1..i-2]. The vector u stays in row i, u/h in column i, and
    // d[i] keeps h (0.0 when no reflection was needed).
    //
    // The rank-two update of step i and the row sums of step i-1 share one
    // pass over the rows: row i-1 is updated first, so the next reflection
    // can be formed from it, then each block of rows is updated and at once
    // added into the next sums (in row a[0]) while it is still in cache.
    // Every element takes the same operations in the same order as with one
    // pass for the update and one for the sums.
    Reflection r{};
    if (n >= 2) r = reflect(a[n], n - 1);
    bool have_sums = false;
    double* const s = a[0];
    for (int i = n; i >= 2; --i) {
        const int l = i - 1;
        double* const u = a[i];
        e[i] = r.e;
        const double h = r.h;
        const bool reflected = r.reflected;
        r = Reflection{};
        if (reflected) {
            // e[j] = (A u)_j / h. Each sum starts at 0.0 and takes its terms
            // in ascending k, one row of the block per step.
            if (have_sums) {
                for (int j = 1; j <= l; ++j) e[j] = s[j];
            } else {
                for (int j = 1; j <= l; ++j) e[j] = 0.0;
                add_scaled_rows(e + 1, a + 1, 1, u + 1, l, l);
            }
            double f = 0.0;
            for (int j = 1; j <= l; ++j) {
                a[j][i] = u[j] / h;
                e[j] = e[j] / h;
                f += e[j] * u[j];
            }
            const double hh = f / (h + h);
            for (int j = 1; j <= l; ++j) e[j] = e[j] - hh * u[j];
            // Rank-two update of row j, left of and on the diagonal as
            // (u_j e_k + e_j u_k), right of it as the mirrored element's
            // (u_k e_j + e_k u_j).
            auto update_row = [&](int j) {
                double* const aj = a[j];
                sub_rank_two(aj + 1, e + 1, u + 1, j, u[j], e[j]);
                sub_rank_two(aj + j + 1, u + j + 1, e + j + 1, l - j, e[j], u[j]);
            };
            update_row(l);
            if (l >= 2) r = reflect(a[l], l - 1);
            have_sums = r.reflected;
            const int ln = l - 1;
            if (have_sums)
                for (int j = 1; j <= ln; ++j) s[j] = 0.0;
            for (int j0 = 1; j0 <= ln; j0 += kFusedRows) {
                const int j1 = std::min(ln + 1, j0 + kFusedRows);
                for (int j = j0; j < j1; ++j) update_row(j);
                if (have_sums) add_scaled_rows(s + 1, a + j0, 1, a[l] + j0, j1 - j0, ln);
            }
        } else {
            have_sums = false;
            if (l >= 2) r = reflect(a[l], l - 1);
        }
        d[i] = h;
    }

    // Stage 2: accumulate the reflections into Q, from the top left corner
    // outwards, and collect the diagonal. Row 0 of a is the scratch vector
    // g[1..l] = (row i) * Q, each element summed in ascending k.
    if (n >= 1) {
        d[1] = 0.0;
        e[1] = 0.0;
    }
    double* const g = a[0];
    for (int i = 1; i <= n; ++i) {
        const int l = i - 1;
        double* const ai = a[i];
        if (d[i] != 0.0) {
            for (int j = 1; j <= l; ++j) g[j] = 0.0;
            // Hot loops: g += a[i][k] * (row k), then row k -= g * a[k][i].
            add_scaled_rows(g + 1, a + 1, 1, ai + 1, l, l);
            for (int k = 1; k <= l; ++k) sub_scaled(a[k] + 1, g + 1, l, a[k][i]);
        }
        d[i] = ai[i];
        ai[i] = 1.0;
        for (int j = 1; j <= l; ++j) a[j][i] = ai[j] = 0.0;
    }
}

bool tqli(double* d, double* e, int n, double** z) {
    // From here on e[i] couples i and i+1.
    for (int i = 2; i <= n; ++i) e[i - 1] = e[i];
    if (n >= 1) e[n] = 0.0;

    // The first 30 iterations for an eigenvalue run as they always have. A
    // matrix that needs more (projections, graded matrices, spectra graded
    // down to eps) has stagnated with an off-diagonal element that is
    // rounding noise against the whole matrix but not against its tiny
    // diagonal neighbours, where the relative split test cannot hold. So
    // past iteration 30 an element below eps times the 1-norm of the
    // tridiagonal matrix splits too (a backward-stable test), and every tenth
    // iteration shifts by d[l] + 0.75 (|e[l]| + |e[l+1]|) instead of the
    // eigenvalue of the leading 2 x 2 block. Only after 30 max(10, n)
    // iterations, or on a block holding NaN or infinity (checked every tenth
    // late iteration), does the fatal exit follow.
    double tnorm = 0.0;
    for (int i = 1; i <= n; ++i) {
        const double col = std::fabs(d[i]) + std::fabs(e[i]) + (i > 1 ? std::fabs(e[i - 1]) : 0.0);
        if (col > tnorm) tnorm = col;
    }
    const int limit = kMaxIterations * std::max(10, n);

    for (int l = 1; l <= n; ++l) {
        int iter = 0;
        int m;
        do {
            // The first negligible off-diagonal element at or after l splits
            // the matrix; m = n when there is none.
            const bool late = iter >= kMaxIterations;
            for (m = l; m <= n - 1; ++m) {
                const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
                // An off-diagonal element below the smallest normal number
                // also splits: next to (near-)zero diagonal entries the
                // relative test could never hold, and subnormal values carry
                // too few bits for the iteration to shrink them further.
                if (std::fabs(e[m]) + dd == dd || std::fabs(e[m]) < DBL_MIN) break;
                if (late && std::fabs(e[m]) + tnorm == tnorm) break;
            }
            if (m == l) break;
            bool exceptional = false;
            if (late && iter % 10 == 0) {
                if (iter >= limit || !block_finite(d, e, l, m)) {
                    fatal_numeric_error("Too many iterations in tqli");
                    return false;
                }
                exceptional = true;
            }
            ++iter;

            double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
            double r = pythag(g, 1.0);
            g = d[m] - d[l] + e[l] / (g + (g >= 0.0 ? std::fabs(r) : -std::fabs(r)));
            if (exceptional) g = d[m] - d[l] - kShiftFactor * (std::fabs(e[l]) + std::fabs(e[l + 1]));
            double sn = 1.0, cs = 1.0, p = 0.0;
            bool underflow = false;
            // The rotations of a sweep never read z, so they are collected
            // and applied to z as one chain per kChain of them: rotation i
            // of the batch of rows lo..hi sits at slot i - lo; flush(first)
            // applies rotations hi-1 down to first.
            double cbuf[kChain], sbuf[kChain];
            double* rows[kChain + 1];
            int hi = m;
            int lo = hi - kChain > l ? hi - kChain : l;
            auto flush = [&](int first) {
                for (int j = first; j <= hi; ++j) rows[j - first] = z[j] + 1;
                rotate_rows_ql_chain(rows, n, cbuf + (first - lo), sbuf + (first - lo), hi - first);
                hi = first;
                lo = hi - kChain > l ? hi - kChain : l;
            };
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
                    flush(i + 1);
                    break;
                }
                sn = f / r;
                cs = g / r;
                g = d[i + 1] - p;
                r = (d[i] - g) * sn + 2.0 * cs * b;
                p = sn * r;
                d[i + 1] = g + p;
                g = cs * r - b;
                // Rotation of vectors i and i+1, rows of z.
                cbuf[i - lo] = cs;
                sbuf[i - lo] = sn;
                if (i == lo) flush(lo);
            }
            if (underflow) continue;
            d[l] -= p;
            e[l] = g;
            e[m] = 0.0;
        } while (m != l);
    }
    return true;
}

void EigenSymmSystemHQL(double* M, int nDim, double* eV, double* eM) {
    if (nDim <= 0) return;
    const char* who = "EigenSymmSystemMsqH";
    double** a = alloc_work_matrix(nDim, who);
    double* d = a ? alloc_work_vector(nDim, who) : nullptr;
    double* e = d ? alloc_work_vector(nDim, who) : nullptr;
    if (e != nullptr) {
        copy_to_work(M, nDim, a);
        bool finite;
        const int k = range_exponent(a, nDim, Triangle::Lower, &finite);
        if (!finite) set_status(Error::NonFinite);
        if (k != 0) scale_work(a, nDim, k);
        tred2(a, nDim, d, e);
        // The QL rotations then work on Q's columns as contiguous rows.
        transpose_work(a, nDim);
        const bool converged = tqli(d, e, nDim, a);
        if (eigen_failed(converged, finite)) {
            fill_nan(eV, nDim);
            fill_nan(eM, static_cast<long long>(nDim) * nDim);
        } else {
            if (k != 0) scale_vector(d, nDim, -k);
            eigsrt_rows(d, a, nDim);
            store_eigensystem(d, a, nDim, eV, eM);
        }
    }
    free_work_matrix(a, nDim);
    free_work_vector(d);
    free_work_vector(e);
}

} // namespace linalg

void LinearAlgebra::LA::EigenSymmSystemMsqH(double* M, int nDim, double* eV, double* eM) {
    linalg::clear_status();
    linalg::EigenSymmSystemHQL(M, nDim, eV, eM);
}
