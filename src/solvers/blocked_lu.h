// Right-looking blocked Gaussian elimination with partial pivoting, shared
// by the sequential and OpenMP Gauss solvers and the determinant.
//
// It performs the first steps of the plain elimination (find_pivot,
// exchange, eliminate below, one column after another) on W and leaves W in
// the state the plain loop would have reached after the same number of
// steps, as far as anything later reads: rows at and below the returned
// column `next` are updated through pivot next-1 in columns >= next, rows
// above are finished pivot rows in columns >= their own index. The caller's
// plain loop then continues at column `next`.
//
// Bits. Every entry W(r, j) gets W(r, j) - U(k, j) * g(r, k) for k = 0, 1,
// ... in order, exactly as in the plain loop, where U(k, .) is pivot row k as
// the plain loop uses it and g(r, k) its multiplier. The multipliers are kept
// (in the panel copy) and travel with their rows through the exchanges; the
// pivot search of column k sees that column updated through pivot k-1; a
// pivot row's trailing part is updated through its own earlier pivots (and,
// for PivotForm::Divided, divided by its pivot) before it is used. Entries
// the plain loop leaves stale (left of the diagonal) may hold other stale
// values.
//
// Per panel of nb columns [K0, K0+nb):
//   1. copy the panel, rows K0..n-1, into a column-major buffer P;
//   2. factor it there, in sub-panels of 8 columns (plain steps inside a
//      sub-panel, then one delayed update of the panel's remaining columns);
//   3. copy the panel's pivot rows back, apply the exchanges to the trailing
//      columns, bring the pivot rows' trailing parts up to date and pack them;
//   4. update all rows below with the packed pivot rows (elim_kernels).
// Steps 3 and 4 reach the next panel's columns first, so that panel's steps
// 1 and 2 run beside the rest of this one (look-ahead).
// Panels run while at least 2*nb columns remain; the rest is the caller's.
#ifndef LINALG_SOLVERS_BLOCKED_LU_H
#define LINALG_SOLVERS_BLOCKED_LU_H

#include "core/loops.h"

namespace linalg {

enum class PivotForm {
    Reciprocal,  // SolveGcpu: W(k, k) becomes 1/pivot, g = W(r, k) * (1/pivot)
    Divided,     // SolveGomp: pivot row k (columns >= k) divided by the pivot, g = W(r, k)
    Quotient,    // DeterminantGcpu: W(k, k) stays, g = W(r, k) / pivot
};

// Doubles of packing space blocked_eliminate needs beside an n-row work
// matrix carrying `ncols` columns; 0 when order n is done by the plain loop
// alone. Not counting overflow: n is an int order whose work matrix fits.
idx blocked_extra(idx n, idx ncols);

// The extra space rounded up to whole rows of length ld, so the caller can
// fold it into its one work allocation.
inline idx blocked_extra_rows(idx n, idx ncols, idx ld) {
    const idx e = blocked_extra(n, ncols);
    return e ? (e + ld - 1) / ld : 0;
}

struct BlockedResult {
    idx next;       // first column left to the plain loop
    bool singular;  // a pivot below the threshold was met at column `next`
    idx swaps;      // row exchanges made
};

// W: n rows, row stride ld, columns 0 .. ncols-1 carried through the
// elimination (ncols = n for a plain matrix, n + 1 with a right-hand side).
// work: blocked_extra(n, ncols) doubles (unused when that is 0).
// parallel: run the panels in one parallel region of MAX_THREADS OpenMP
// threads: the pivot rows split by columns, the rows below split by rows
// beside the look-ahead factorisation (same bits for any count). The
// singularity test is the plain loop's; on a singular pivot nothing after it
// is computed.
BlockedResult blocked_eliminate(double* W, idx ld, idx n, idx ncols, PivotForm form, double* work, bool parallel);

// Panel width in force (the default, or what a test has set).
idx blocked_width();

// Copies rows r0 .. r1-1 of a row-major block S (row stride ld), w columns
// wide, into the column-major P: P[j*ldp + r] = S[r*ld + j].
void copy_panel(const double* S, idx ld, idx w, double* P, idx ldp, idx r0, idx r1);

namespace testhooks {
// Panel width of the blocked eliminations (clamped to 1 .. 256); 0 restores
// the default. Returns the width now in force. Small widths let tests run
// many panels, partial sub-panels and the plain tail on small orders.
idx set_block_size(idx nb);
} // namespace testhooks

} // namespace linalg

#endif
