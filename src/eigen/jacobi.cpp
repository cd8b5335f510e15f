// Symmetric eigenproblem by cyclic Jacobi rotations.
#include "base/message.h"
#include "eigen/eigen.h"
#include "eigen/kernels.h"

#include "linalg.h"

#include "base/work_memory.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace linalg {

namespace {

constexpr int kMaxSweeps = 50;
constexpr double kThresholdFactor = 0.2;   // early threshold 0.2*S/n^2
constexpr double kNegligible = 100.0;      // 100*|apq| lost against |d|
constexpr int kBlock = 32;                 // rotations per deferred mirror block

// The working state of jacobi in one block, zero-based: row i holds line i of
// the symmetric matrix in full (F, ld doubles, whichever triangle an element
// belongs to), followed by row i of the eigenvector matrix (V, n doubles, as
// v keeps it). ld is n rounded up to a multiple of 8 and every row starts on
// a 64-byte boundary, so a rotation of the pair (p, q) is one rotation of two
// aligned contiguous rows, matrix and eigenvectors together. The rows lie
// padded_stride(2 ld) apart: at a stride of a 512-byte multiple the columns
// the mirror blocks write would fall into a few cache sets. The diagonal of
// F is not used (it lives in d), nor are its padding columns.
//
// Each rotation changes lines p and q in rows p and q; their mirrors (columns
// p and q of F) are written later, only as far as they will be read before
// they change again:
//  - rows at or above p are not read again in the sweep, so at the end of a
//    sweep the lower triangle holds every current value and the upper one is
//    rebuilt from it;
//  - column p of the rows below p is not read while p is the pivot row (the
//    rotations skip it) and is written when row p is done;
//  - the rows q of up to kBlock rotations of one pivot row are mirrored into
//    the rows below p together when the block ends, and a row q of the block
//    takes the values of the earlier rows of its block just before it is
//    rotated.
// Every value is computed once, by the operations of the plain order, and
// only copied afterwards, so the results are bit for bit those of the
// rotations done on the upper triangle in place.
class JacobiState {
public:
    bool allocate(int n) {
        n_ = n;
        ld_ = (static_cast<long long>(n) + 7) / 8 * 8;
        stride_ = padded_stride(2 * ld_);
        const std::size_t bytes = work_bytes(n, stride_, sizeof(double));
        if (bytes == 0 || bytes > SIZE_MAX - 64) {
            report_no_memory("jacobi", SIZE_MAX);
            return false;
        }
        raw_ = work_alloc(bytes + 64);
        if (raw_ == nullptr) {
            report_no_memory("jacobi", bytes + 64);
            return false;
        }
        base_ = align64(raw_);
        return true;
    }
    ~JacobiState() { work_free(raw_); }

    double* row(int i) const { return base_ + static_cast<long long>(i) * stride_; }
    double* vec(int i) const { return row(i) + ld_; }
    // Elements of a row that one rotation covers: F with its padding, then V.
    long long span() const { return ld_ + n_; }
    // The matrix's part of a row (F with its padding).
    long long matrix_span() const { return ld_; }

    // F from the diagonal and upper triangle of the work matrix (both
    // triangles, diagonal and padding 0.0), V the identity.
    void load(double** a) {
        for (int i = 0; i < n_; ++i) {
            double* const ri = row(i);
            for (long long j = 0; j < span(); ++j) ri[j] = 0.0;
            for (int j = i + 1; j < n_; ++j) ri[j] = a[i + 1][j + 1];
            vec(i)[i] = 1.0;
        }
        mirror(false);
    }
    // The upper triangle of F back into the work matrix, V into v.
    void store(double** a, double** v) const {
        for (int i = 0; i < n_; ++i) {
            const double* const ri = row(i);
            for (int j = i + 1; j < n_; ++j) a[i + 1][j + 1] = ri[j];
            const double* const vi = vec(i);
            for (int j = 0; j < n_; ++j) v[i + 1][j + 1] = vi[j];
        }
    }

    // Upper triangle of F from the lower one.
    void mirror_upper_from_lower() { mirror(true); }

    // Block of rotations of pivot row p with rows q[0] < ... < q[cnt-1]: the
    // later rows of the block hold the current values of their pairs inside
    // the block; every row below p that is outside the block takes the
    // block's rows as its columns q[.].
    void flush_block(int p, const int* q, int cnt) {
        if (cnt == 0) return;
        for (int t = 0; t < cnt; ++t)
            for (int u = t + 1; u < cnt; ++u) row(q[t])[q[u]] = row(q[u])[q[t]];
        // The block's rows in runs of consecutive indices; each run is
        // transposed into the rows between and around the block's rows.
        int run_start[kBlock], run_len[kBlock], runs = 0;
        for (int t = 0; t < cnt; ++t) {
            if (t > 0 && q[t] == q[t - 1] + 1) {
                ++run_len[runs - 1];
            } else {
                run_start[runs] = q[t];
                run_len[runs++] = 1;
            }
        }
        const idx ld = stride_;
        int j = p + 1;
        for (int g = 0; g <= runs; ++g) {
            const int end = g < runs ? run_start[g] : n_;
            if (end > j)
                for (int r = 0; r < runs; ++r)
                    transpose_block(row(run_start[r]) + j, ld, row(j) + run_start[r], ld, run_len[r], end - j);
            if (g < runs) j = run_start[g] + run_len[g];
        }
    }

    // Column p of the rows below p from row p.
    void flush_column(int p) {
        const double* const rp = row(p);
        for (int j = p + 1; j < n_; ++j) row(j)[p] = rp[j];
    }

private:
    void mirror(bool to_upper) {
        constexpr int T = 16;
        for (int i0 = 0; i0 < n_; i0 += T)
            for (int j0 = i0; j0 < n_; j0 += T) {
                const int i1 = std::min(n_, i0 + T), j1 = std::min(n_, j0 + T);
                for (int i = i0; i < i1; ++i) {
                    double* const ri = row(i);
                    for (int j = std::max(j0, i + 1); j < j1; ++j) {
                        if (to_upper)
                            ri[j] = row(j)[i];
                        else
                            row(j)[i] = ri[j];
                    }
                }
            }
    }

    int n_ = 0;
    long long ld_ = 0;
    long long stride_ = 0;
    void* raw_ = nullptr;
    double* base_ = nullptr;
};

// Eigenvector updates kept for later: rotation g of the group turns rows
// p[g] and q[g] of V by (s[g], tau[g]). Each column of V is changed only by
// its own two elements per rotation, so V can take the group in column
// strips, each strip taking every rotation in the order made while the
// strip stays in cache: the same operations on every element in the same
// order as the immediate updates.
class RotationGroup {
public:
    // Room for up to cap rotations; false (silently) when refused.
    bool allocate(long long cap, int strip_columns) {
        if (cap < 1 || cap > (1LL << 40)) return false;
        const std::size_t c = static_cast<std::size_t>(cap);
        raw_ = work_alloc(c * (2 * sizeof(double) + 2 * sizeof(int)));
        if (raw_ == nullptr) return false;
        s_ = static_cast<double*>(raw_);
        tau_ = s_ + c;
        p_ = reinterpret_cast<int*>(tau_ + c);
        q_ = p_ + c;
        cap_ = cap;
        strip_ = std::max(8, (strip_columns + 7) / 8 * 8);
        return true;
    }
    ~RotationGroup() { work_free(raw_); }

    bool active() const { return raw_ != nullptr; }
    bool full() const { return count_ == cap_; }
    void add(int p, int q, double s, double tau) {
        p_[count_] = p;
        q_[count_] = q;
        s_[count_] = s;
        tau_[count_] = tau;
        ++count_;
    }
    void flush(const JacobiState& w, int n) {
        for (int j0 = 0; j0 < n; j0 += strip_) {
            const int len = std::min(strip_, n - j0);
            for (long long g = 0; g < count_; ++g)
                rotate_rows_jacobi(w.vec(p_[g]) + j0, w.vec(q_[g]) + j0, len, s_[g], tau_[g]);
        }
        count_ = 0;
    }

private:
    void* raw_ = nullptr;
    double* s_ = nullptr;
    double* tau_ = nullptr;
    int* p_ = nullptr;
    int* q_ = nullptr;
    long long cap_ = 0;
    long long count_ = 0;
    int strip_ = 8;
};

} // namespace

bool jacobi(double** a, int n, double* d, double** v) {
    const kernel_blocking& kb = kernels().blocking;
    long long group = 0;
    int strip_columns = 0;
    if (n >= kb.jacobi_defer_from && kb.jacobi_group >= 1) {
        group = std::min<long long>(kb.jacobi_group, 1 << 20) * n;
        const long long cols = kb.jacobi_strip_bytes / (8LL * n);
        strip_columns = static_cast<int>(std::min<long long>(std::max<long long>(32, cols / 8 * 8), n));
    }
    return jacobi(a, n, d, v, group, strip_columns);
}

bool jacobi(double** a, int n, double* d, double** v, long long group, int strip_columns) {
    // The deferred eigenvector updates' memory first; without it each
    // rotation updates the eigenvectors at once.
    RotationGroup deferred;
    if (group >= 1) (void)deferred.allocate(group, strip_columns);
    // b: diagonal at the start of the sweep; z: its changes during the sweep,
    // kept apart so that a sweep's updates are summed separately.
    double* b = alloc_work_vector(n, "jacobi");
    if (b == nullptr) return false;
    double* z = alloc_work_vector(n, "jacobi");
    if (z == nullptr) {
        free_work_vector(b);
        return false;
    }
    JacobiState w;
    if (!w.allocate(n)) {
        free_work_vector(z);
        free_work_vector(b);
        return false;
    }

    w.load(a);
    for (int p = 1; p <= n; ++p) {
        b[p] = d[p] = a[p][p];
        z[p] = 0.0;
    }

    // n*n in 64 bits: identical to the int product wherever that one exists.
    const double n_squared = static_cast<double>(static_cast<long long>(n) * n);

    int block[kBlock];
    for (int sweep = 1; sweep <= kMaxSweeps; ++sweep) {
        double sum = 0.0;
        for (int p = 0; p < n - 1; ++p) {
            const double* const fp = w.row(p);
            for (int q = p + 1; q < n; ++q) sum += std::fabs(fp[q]);
        }
        if (sum == 0.0) {
            w.store(a, v);
            free_work_vector(z);
            free_work_vector(b);
            return true;
        }
        const double threshold = sweep < 4 ? kThresholdFactor * sum / n_squared : 0.0;

        // Rows and columns of the state are zero-based; d and z keep the
        // work layout.
        for (int p = 0; p < n - 1; ++p) {
            double* const fp = w.row(p);
            int in_block = 0;
            for (int q = p + 1; q < n; ++q) {
                // Past the threshold sweeps an element counts as zero when it
                // is lost beside both diagonal elements, or when it is below
                // the smallest normal number: rotating a subnormal only moves
                // it (a one-ulp subnormal beside a zero diagonal never gets
                // smaller), and beside the largest element, which the range
                // scaling keeps above 2^-500, it is far below rounding.
                const double g = kNegligible * std::fabs(fp[q]);
                if (sweep > 4 && (std::fabs(fp[q]) < DBL_MIN || (std::fabs(d[p + 1]) + g == std::fabs(d[p + 1]) &&
                                                                  std::fabs(d[q + 1]) + g == std::fabs(d[q + 1])))) {
                    fp[q] = 0.0;
                    continue;
                }
                if (!(std::fabs(fp[q]) > threshold)) continue;

                double* const fq = w.row(q);
                for (int t = 0; t < in_block; ++t) fq[block[t]] = w.row(block[t])[q];

                const double apq = fp[q];
                double h = d[q + 1] - d[p + 1];
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
                z[p + 1] -= h;
                z[q + 1] += h;
                d[p + 1] -= h;
                d[q + 1] += h;

                // Hot loop: rows p and q whole, matrix and eigenvectors. The
                // rotation must leave elements p and q of both lines alone,
                // so they are put back afterwards (the pivot as 0.0).
                const double fpp = fp[p], fqp = fq[p], fqq = fq[q];
                if (deferred.active()) {
                    if (deferred.full()) deferred.flush(w, n);
                    deferred.add(p, q, sn, tau);
                    rotate_rows_jacobi(fp, fq, static_cast<int>(w.matrix_span()), sn, tau);
                } else {
                    rotate_rows_jacobi(fp, fq, static_cast<int>(w.span()), sn, tau);
                }
                fp[p] = fpp;
                fp[q] = 0.0;
                fq[p] = fqp;
                fq[q] = fqq;

                block[in_block++] = q;
                if (in_block == kBlock) {
                    w.flush_block(p, block, in_block);
                    in_block = 0;
                }
            }
            w.flush_block(p, block, in_block);
            w.flush_column(p);
        }
        if (deferred.active()) deferred.flush(w, n);

        for (int p = 1; p <= n; ++p) {
            b[p] += z[p];
            d[p] = b[p];
            z[p] = 0.0;
        }
        w.mirror_upper_from_lower();
    }
    fatal_numeric_error("Too many iterations in routine jacobi");
    free_work_vector(z);
    free_work_vector(b);
    return false;
}

void EigenSymmSystemJacobi(double* M, int nDim, double* eV, double* eM) {
    if (nDim <= 0) return;
    const char* who = "EigenSymmSystemMsqJ";
    double** a = alloc_work_matrix(nDim, who);
    double** v = a ? alloc_work_matrix(nDim, who) : nullptr;
    double* d = v ? alloc_work_vector(nDim, who) : nullptr;
    if (d != nullptr) {
        copy_to_work(M, nDim, a);
        bool finite;
        const int k = range_exponent(a, nDim, Triangle::Upper, &finite);
        if (!finite) set_status(Error::NonFinite);
        if (k != 0) scale_work(a, nDim, k);
        const bool converged = jacobi(a, nDim, d, v);
        if (eigen_failed(converged, finite) && last_status() != Error::NoMemory) {
            fill_nan(eV, nDim);
            fill_nan(eM, static_cast<long long>(nDim) * nDim);
        } else if (converged) {
            if (k != 0) scale_vector(d, nDim, -k);
            eigsrt_rows(d, v, nDim);
            store_eigensystem(d, v, nDim, eV, eM);
        }
    }
    free_work_matrix(a, nDim);
    free_work_matrix(v, nDim);
    free_work_vector(d);
}

} // namespace linalg
