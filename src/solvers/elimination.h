// Steps shared by the CPU solvers (sequential and OpenMP): loading and
// scaling the augmented matrix, the pivot search with its singularity test,
// row exchanges, the row update of the elimination and back substitution.
//
// W is a row-major work matrix with row length ld; element (r, j) lies at
// r*ld + j. All offsets are 64-bit. Each step touches only the rows and
// columns it names, so a caller may split rows or columns across threads or
// blocks and get the same bits, provided each entry receives its updates
// in ascending pivot order.
#ifndef LINALG_SOLVERS_ELIMINATION_H
#define LINALG_SOLVERS_ELIMINATION_H

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "kernels/kernels.h"
#include "solvers/solvers.h"

namespace linalg {

// Prints "ERROR! Singular system!" (no line feed) through the message unit
// and records Error::Singular as the calling thread's status.
void report_singular();

// Allocates an rows x cols work matrix of doubles. On failure (or a size that
// does not fit in size_t) prints report_no_memory's message naming `who` and
// returns nullptr. Free with work_free.
double* alloc_work_matrix(idx rows, idx cols, const char* who);

struct Pivot {
    idx row;           // chosen pivot row p
    double magnitude;  // |W(p, k)|
};

// Partial pivoting on column k, rows k .. n-1: the largest |W(r, k)|; a later
// row replaces the current choice only when strictly greater, so the
// uppermost of equal magnitudes wins (and a NaN at row k stays the choice).
// Four such searches over interleaved rows run side by side, so that their
// compare chains overlap; from a non-NaN start each ends on the uppermost
// row of its largest magnitude, and the larger magnitude, on a tie the
// upper row, of the four is the single search's choice.
inline Pivot find_pivot(const double* W, idx ld, idx k, idx n) {
    constexpr int kWays = 4;
    Pivot p[kWays];
    for (Pivot& x : p) x = {k, std::fabs(W[k * ld + k])};
    idx r = k + 1;
    for (; r + kWays <= n; r += kWays)
        for (int t = 0; t < kWays; ++t) {
            const double a = std::fabs(W[(r + t) * ld + k]);
            if (a > p[t].magnitude) p[t] = {r + t, a};
        }
    for (; r < n; ++r) {
        const double a = std::fabs(W[r * ld + k]);
        if (a > p[0].magnitude) p[0] = {r, a};
    }
    for (int t = 1; t < kWays; ++t)
        if (p[t].magnitude > p[0].magnitude || (p[t].magnitude == p[0].magnitude && p[t].row < p[0].row)) p[0] = p[t];
    return p[0];
}

// Ordered comparison with kSingularPivot (kernels/kernels.h): a NaN
// magnitude is not reported singular.
inline bool is_singular_pivot(double magnitude) { return magnitude < kSingularPivot; }

// A row with absolute sum s is scaled unless s already lies in [0.5, 1].
// An all-zero row (s == 0) is left alone: its factor would be infinite and
// turn the row into NaN; unscaled it yields a zero pivot and the singular
// message.
inline bool needs_scaling(double s) { return !(0.5 <= s && s <= 1.0) && s != 0.0; }

// The scaling of the rows of every solver: for each of `rows` rows w of W
// (stride ldw), s = sum of |w[j]| for j < nsum in ascending j from 0.0;
// when s needs scaling, w[0 .. nw-1] and the row's partner in V (stride ldv,
// nv entries; none when nv is 0) take RowScaleFactor(s). Each sum is one
// chain of additions, but four rows' chains run side by side, so their
// latencies overlap.
inline void scale_rows_by_sums(double* W, idx ldw, idx nsum, idx nw, double* V, idx ldv, idx nv, idx rows,
                               double ln2) {
    ScaleMemo memo;
    for (idx r0 = 0; r0 < rows; r0 += 4) {
        const idx m = std::min<idx>(4, rows - r0);
        double s[4] = {0.0, 0.0, 0.0, 0.0};
        const double* const w = W + r0 * ldw;
        if (m == 4) {
            const double *w0 = w, *w1 = w + ldw, *w2 = w + 2 * ldw, *w3 = w + 3 * ldw;
            for (idx j = 0; j < nsum; ++j) {
                s[0] += std::fabs(w0[j]);
                s[1] += std::fabs(w1[j]);
                s[2] += std::fabs(w2[j]);
                s[3] += std::fabs(w3[j]);
            }
        } else {
            for (idx r = 0; r < m; ++r)
                for (idx j = 0; j < nsum; ++j) s[r] += std::fabs(w[r * ldw + j]);
        }
        for (idx r = 0; r < m; ++r)
            if (needs_scaling(s[r]))
                scale_row(W + (r0 + r) * ldw, nsum, nw, nv ? V + (r0 + r) * ldv : nullptr, nv, s[r], ln2, memo);
    }
}

// Rows i0 .. i1-1 of the augmented matrix [A | B] (A n x n, W row length
// n + 1): W(i, .) = A(i, .), W(i, n) = B(i) (not part of the sum), scaled.
inline void load_scaled_rows(const double* A, const double* B, double* W, idx n, idx i0, idx i1, double ln2) {
    for (idx i = i0; i < i1; ++i) {
        const double* a = A + i * n;
        double* w = W + i * (n + 1);
        for (idx j = 0; j < n; ++j) w[j] = a[j];
        w[n] = B[i];
    }
    scale_rows_by_sums(W + i0 * (n + 1), n + 1, n, n + 1, nullptr, 0, 0, i1 - i0, ln2);
}

// Exchanges W(a, j) and W(b, j) for j = c0 .. c1-1.
inline void swap_rows(double* W, idx ld, idx a, idx b, idx c0, idx c1) {
    double* x = W + a * ld;
    double* y = W + b * ld;
    for (idx j = c0; j < c1; ++j) {
        const double t = x[j];
        x[j] = y[j];
        y[j] = t;
    }
}

// One row of an elimination step against pivot row k:
// W(r, j) = W(r, j) - W(k, j) * g for j = c0 .. c1-1 in ascending order
// (multiply, then subtract). Row k must differ from row r.
inline void row_update(double* W, idx ld, idx k, idx r, idx c0, idx c1, double g) {
    const double* pk = W + k * ld;
    double* pr = W + r * ld;
    for (idx j = c0; j < c1; ++j) pr[j] = pr[j] - pk[j] * g;
}

// Eliminates rows r0 .. r1-1 of columns c0 .. c1-1 against pivot row k whose
// reciprocal d = 1/pivot is given: multiplier g = W(r, k) * d, then
// row_update. Column k of the rows must lie outside [c0, c1) (it is the
// multiplier's source and stays as it is), so the rows, and the columns, may
// be processed in any split with the same bits.
inline void eliminate_below(double* W, idx ld, idx k, idx r0, idx r1, idx c0, idx c1, double d) {
    for (idx r = r0; r < r1; ++r) row_update(W, ld, k, r, c0, c1, W[r * ld + k] * d);
}

// Back substitution on an upper-triangular augmented matrix W (n rows, row
// length n + 1, right-hand side in column n) whose diagonal holds the factor
// that turns a residual into a solution value (the pivot's reciprocal, or 1
// for a row already divided by its pivot): for i = n-1 down to 0,
// v = W(i, n) - sum_{j>i} W(i, j) * X(j) (ascending j, one subtraction per
// term) and X(i) = W(i, i) * v. Reads only X(j) for j > i, so X may be the
// array that held the right-hand side.
inline void back_substitute(const double* W, idx n, double* X) {
    const idx ld = n + 1;
    for (idx i = n - 1; i >= 0; --i) {
        const double* w = W + i * ld;
        double v = w[n];
        for (idx j = i + 1; j < n; ++j) v = v - w[j] * X[j];
        X[i] = w[i] * v;
    }
}

} // namespace linalg

#endif
