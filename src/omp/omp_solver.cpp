// OpenMP Gauss solver (LA::SolveLSE1).
#include "omp/omp_solver.h"

#include <cmath>

#include "core/work_memory.h"
#include "linalg.h"
#include "omp/omp_state.h"
#include "solvers/blocked_lu.h"
#include "solvers/elimination.h"

namespace linalg {

namespace {

// Column k of the plain elimination, columns k .. ld-1: with p != k the rows
// exchange and the new row k is divided by q in one pass (the row moved down
// to p is not divided); with p == k row k is divided by q. Then rows k+1 ..
// n-1 are eliminated against the divided row k, multiplier W(r, k) itself.
void plain_step(double* W, idx ld, idx k, idx p, idx n) {
    double* wk = W + k * ld;
    double* wp = W + p * ld;
    const double q = wp[k];
    if (p != k) {
        for (idx j = k; j < ld; ++j) {
            const double t = wk[j];
            wk[j] = wp[j] / q;
            wp[j] = t;
        }
    } else {
        for (idx j = k; j < ld; ++j) wk[j] = wk[j] / q;
    }
    for (idx r = k + 1; r < n; ++r) row_update(W, ld, k, r, k + 1, ld, W[r * ld + k]);
}

} // namespace

void SolveGomp(double* A, double* B, double* X, const int nDim) {
    const double ln2 = std::log(2.0);
    if (!omp_initialised()) return;
    if (nDim <= 0) return;
    const idx n = nDim;
    const idx ld = n + 1;
    // Large orders carry the blocked elimination's packing space in extra
    // rows of the same allocation.
    const idx extra = blocked_extra_rows(n, ld, ld);
    double* W = alloc_work_matrix(n + extra, ld, "the SolveLSE1 work matrix");
    if (!W) return;

    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < n; ++i) load_scaled_row(A, B, W, n, i, ln2);

    // Blocked panels first (trailing updates split over the threads by
    // column blocks), then the plain loop for the last columns. That loop
    // runs in the calling thread: it covers fewer than two panel widths (or
    // a whole order below that), where the two parallel regions a column
    // would need cost more than the column's work.
    idx k = 0;
    if (extra) {
        const BlockedResult b = blocked_eliminate(W, ld, n, ld, PivotForm::Divided, W + n * ld, true);
        if (b.singular) {
            report_singular();
            work_free(W);
            return;
        }
        k = b.next;
    }
    for (; k < n - 1; ++k) {
        const Pivot pv = find_pivot(W, ld, k, n);
        if (is_singular_pivot(pv.magnitude)) {
            report_singular();
            work_free(W);
            return;
        }
        plain_step(W, ld, k, pv.row, n);
    }

    // Last row: only the singularity test and the division remain.
    double* last = W + (n - 1) * ld;
    if (is_singular_pivot(std::fabs(last[n - 1]))) {
        report_singular();
        work_free(W);
        return;
    }
    last[n] = last[n] / last[n - 1];
    last[n - 1] = 1.0;

    back_substitute(W, n, X);
    work_free(W);
}

} // namespace linalg

namespace LinearAlgebra {

void LA::SolveLSE1(double* A, double* B, double* X, int nDim) { linalg::SolveGomp(A, B, X, nDim); }

} // namespace LinearAlgebra
