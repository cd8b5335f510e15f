// Gauss-Jordan inverse (LA::InverseMsq).
#include <cmath>
#include <cstring>

#include "core/work_memory.h"
#include "linalg.h"
#include "solvers/elimination.h"
#include "solvers/solvers.h"

namespace linalg {

namespace {

// Rows k of W and invA (n values each) divided by q, a true division per
// entry (not a multiplication by 1/q).
inline void gj_divide_row(double* W, double* invA, idx n, idx k, double q) {
    double* w = W + k * n;
    double* v = invA + k * n;
    for (idx j = 0; j < n; ++j) {
        w[j] = w[j] / q;
        v[j] = v[j] / q;
    }
}

// Clears column k in rows r0 .. r1-1 other than k, in W and invA alike:
// g = W(i, k) read before the row changes, then row_update over all n columns
// of both blocks. Rows are independent of one another.
inline void gj_eliminate_rows(double* W, double* invA, idx n, idx k, idx r0, idx r1) {
    for (idx i = r0; i < r1; ++i) {
        if (i == k) continue;
        const double g = W[i * n + k];
        row_update(W, n, k, i, 0, n, g);
        row_update(invA, n, k, i, 0, n, g);
    }
}

} // namespace

void InvertGJcpu(double* A, double* invA, int nDim) {
    if (nDim <= 0) return;
    const idx n = nDim;
    double* W = alloc_work_matrix(n, n, "the InverseMsq work matrix");
    if (!W) return;
    // Copy before invA is first written: invA may be the same array as A.
    std::memcpy(W, A, static_cast<std::size_t>(n) * static_cast<std::size_t>(n) * sizeof(double));

    for (idx i = 0; i < n; ++i) {
        double* v = invA + i * n;
        for (idx j = 0; j < n; ++j) v[j] = 0.0;
        v[i] = 1.0;
    }

    // Scale each row of both blocks by the same power of two.
    const double ln2 = std::log(2.0);
    for (idx i = 0; i < n; ++i) {
        double* w = W + i * n;
        double s = 0.0;
        for (idx j = 0; j < n; ++j) s += std::fabs(w[j]);
        if (!needs_scaling(s)) continue;
        const double f = RowScaleFactor(s, ln2);
        double* v = invA + i * n;
        for (idx j = 0; j < n; ++j) {
            w[j] *= f;
            v[j] *= f;
        }
    }

    for (idx k = 0; k < n; ++k) {
        const Pivot pv = find_pivot(W, n, k, n);
        if (is_singular_pivot(pv.magnitude)) {
            report_singular();
            work_free(W);
            return;
        }
        if (pv.row != k) {
            swap_rows(W, n, k, pv.row, 0, n);
            swap_rows(invA, n, k, pv.row, 0, n);
        }
        gj_divide_row(W, invA, n, k, W[k * n + k]);
        gj_eliminate_rows(W, invA, n, k, 0, n);
    }
    work_free(W);
}

} // namespace linalg

namespace LinearAlgebra {

void LA::InverseMsq(double* M, double* iM, int nDim) { linalg::InvertGJcpu(M, iM, nDim); }

} // namespace LinearAlgebra
