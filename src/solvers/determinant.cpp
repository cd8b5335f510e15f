// Determinant (LA::DeterminantMsq).
#include <cstring>
#include <limits>

#include "core/work_memory.h"
#include "linalg.h"
#include "solvers/blocked_lu.h"
#include "solvers/elimination.h"
#include "solvers/solvers.h"

namespace linalg {

namespace {

// Closed formulas for orders 1 to 3, in a fixed order of operations.
double det_small(const double* a, int n) {
    if (n == 1) return a[0];
    if (n == 2) return a[3] * a[0] - a[2] * a[1];
    // Rule of Sarrus on a(i, j) = a[3*i + j].
    const double P = ((a[0] * a[4]) * a[8] + (a[3] * a[7]) * a[2]) + (a[1] * a[5]) * a[6];
    const double Q = ((a[4] * a[2]) * a[6] + (a[1] * a[3]) * a[8]) + (a[5] * a[0]) * a[7];
    return P - Q;
}

} // namespace

double DeterminantGcpu(double* A, int nDim) {
    if (nDim <= 0) return 1.0;
    if (nDim <= 3) return det_small(A, nDim);

    const idx n = nDim;
    // Large orders carry the blocked elimination's packing space in extra
    // rows of the same allocation.
    const idx extra = blocked_extra_rows(n, n, n);
    double* W = alloc_work_matrix(n + extra, n, "the DeterminantMsq work matrix");
    if (!W) return std::numeric_limits<double>::quiet_NaN();
    std::memcpy(W, A, static_cast<std::size_t>(n) * static_cast<std::size_t>(n) * sizeof(double));

    // No row scaling: it would change the determinant. The singularity
    // threshold is therefore absolute here.
    bool negate = false;
    idx k = 0;
    if (extra) {
        const BlockedResult b = blocked_eliminate(W, n, n, n, PivotForm::Quotient, W + n * n, false);
        if (b.singular) {
            report_singular();
            work_free(W);
            return 0.0;
        }
        negate = (b.swaps & 1) != 0;
        k = b.next;
    }
    for (; k < n; ++k) {
        const Pivot pv = find_pivot(W, n, k, n);
        if (is_singular_pivot(pv.magnitude)) {
            report_singular();
            work_free(W);
            return 0.0;
        }
        if (pv.row != k) {
            swap_rows(W, n, k, pv.row, 0, n);
            negate = !negate;
        }
        const double q = W[k * n + k];
        for (idx r = k + 1; r < n; ++r) row_update(W, n, k, r, k, n, W[r * n + k] / q);
    }

    double det = 1.0;
    for (idx i = 0; i < n; ++i) det *= W[i * n + i];
    work_free(W);
    return negate ? -det : det;
}

} // namespace linalg

namespace LinearAlgebra {

double LA::DeterminantMsq(double* M, int nDim) { return linalg::DeterminantGcpu(M, nDim); }

} // namespace LinearAlgebra
