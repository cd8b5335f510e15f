// The Gaussian elimination with partial pivoting of the sequential and
// OpenMP Gauss solvers and the determinant: one driver (allocate, load the
// rows, eliminate, check for a singular pivot, free) over one elimination
// that takes a thread count.
//
// The elimination runs right-looking blocked panels first (below), then the
// plain one-column-at-a-time loop for the columns the panels leave. The
// blocked part performs the first steps of the plain elimination (find_pivot,
// exchange, eliminate below, one column after another) on W and leaves W in
// the state the plain loop would have reached after the same number of
// steps, as far as anything later reads: rows at and below the column
// `next` where it stops are updated through pivot next-1 in columns >= next,
// rows above are finished pivot rows in columns >= their own index. The
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
//   2. factor it there (lu_panel of the kernel table: sub-panels of 8
//      columns, plain steps inside one, then one delayed update of the
//      panel's remaining columns);
//   3. copy the panel's pivot rows back, apply the exchanges to the trailing
//      columns, bring the pivot rows' trailing parts up to date and pack them;
//   4. update all rows below with the packed pivot rows (rm_update of the
//      kernel table).
// Steps 3 and 4 reach the next panel's columns first, so that panel's steps
// 1 and 2 run beside the rest of this one (look-ahead).
// Panels run while at least 2*nb columns remain; the rest is the plain loop's.
// Entries the plain loop leaves stale, and the determinant never reads (left
// of the diagonal, and the column of the current pivot below it), are not
// kept up to date by either part.
#ifndef LINALG_SOLVERS_BLOCKED_LU_H
#define LINALG_SOLVERS_BLOCKED_LU_H

#include "base/team.h"
#include "base/work_memory.h"
#include "kernels/kernels.h"
#include "solvers/elimination.h"

#include <algorithm>

namespace linalg {

// Work matrix of n rows of ld doubles (W(r, j) at r*ld + j), followed by
// `extra` doubles of packing space, as whole rows of the same allocation. On
// failure prints report_no_memory's message naming `who` and returns
// nullptr. Free with work_free.
double* alloc_with_packing(idx n, idx ld, idx extra, const char* who);

// alloc_with_packing with the space the blocked part needs for that order.
double* alloc_elimination(idx n, idx ld, const char* who);

// Packed column panels of kPanelCols columns (rm_update's U operand).
inline idx panel_count(idx cols) { return (cols + kPanelCols - 1) / kPanelCols; }

// Row i of the packed panels U (panel stride ups): the c values of `row`,
// then zeros up to column `padded` (the end of the last panel, a multiple
// of kPanelCols).
inline void pack_row(const double* row, idx c, idx padded, double* U, idx ups, idx i) {
    double* u = U + i * kPanelCols;
    idx j = 0;
    for (; j + kPanelCols <= c; j += kPanelCols, u += ups)
        for (idx t = 0; t < kPanelCols; ++t) u[t] = row[j + t];
    for (; j < padded; j += kPanelCols, u += ups)
        for (idx t = 0; t < kPanelCols; ++t) u[t] = j + t < c ? row[j + t] : 0.0;
}

// Pivot rows 0 .. w-1 of a factored panel, at `rows` (row stride ld), in
// c columns: row i takes the updates of the panel's pivots before it (the
// pivots before its group of the table's row tile for the whole group at
// once, then those inside the group row by row), is divided by q[i] unless
// q is null, and is packed as row i of U (panel stride ups, padded to
// `padded` columns) for the later rows. P[t*ldp + i] is row i's multiplier
// for the panel's pivot t. Each row is finished before the next one reads it.
void update_pivot_rows(const kernel_table& K, double* rows, idx ld, idx w, idx c, const double* P, idx ldp,
                       const double* q, double* U, idx ups, idx padded);

// Eliminates the n x ld matrix W (allocated by alloc_elimination) in place:
// all n pivot steps in the given form, with `threads` OpenMP threads for the
// blocked panels (1: no parallel region; the bits do not depend on it).
// Every column j >= k of a pivot row k is carried (ld = n + 1 carries a
// right-hand side). Returns false at the first singular pivot, with nothing
// after it computed; *swaps counts the row exchanges made.
bool eliminate(double* W, idx ld, idx n, PivotForm form, int threads, idx* swaps);

// Called with each pivot column k once the plain loop has finished step k.
struct StepHook {
    void (*fn)(void* ctx, idx k) = nullptr;
    void* ctx = nullptr;
};

// The plain loop alone over all n pivot steps of W (n x ld), with the block
// B (n rows of bcols, row stride ldb) carried along: each of its rows takes
// the same exchanges, divisions and updates as W's row, exactly as if it
// continued that row. `after` runs after each finished step. Returns the
// column of the first singular pivot, with nothing after it computed, or n.
idx eliminate_plain(double* W, idx ld, idx n, PivotForm form, double* B, idx ldb, idx bcols, StepHook after = {});

enum class ElimStatus { done, singular, no_memory };

// The whole run: allocates W (n x ld), fills rows i0 .. i1-1 with
// load_rows(W, i0, i1) for blocks of rows (in parallel when threads > 1),
// eliminates, and on success calls finish(W, swaps); a singular pivot
// prints "ERROR! Singular system!". Frees W in every case.
template <class LoadRows, class Finish>
ElimStatus run_elimination(idx n, idx ld, PivotForm form, int threads, const char* who, LoadRows load_rows,
                           Finish finish) {
    double* W = alloc_elimination(n, ld, who);
    if (!W) return ElimStatus::no_memory;
    constexpr idx kLoadBlock = 16;
    const idx blocks = (n + kLoadBlock - 1) / kLoadBlock;
    for_static_blocks(threads, blocks, [&](idx b0, idx b1) {
        for (idx b = b0; b < b1; ++b) load_rows(W, b * kLoadBlock, std::min(n, (b + 1) * kLoadBlock));
    });
    idx swaps = 0;
    const bool regular = eliminate(W, ld, n, form, threads, &swaps);
    if (regular)
        finish(static_cast<const double*>(W), swaps);
    else
        report_singular();
    work_free(W);
    return regular ? ElimStatus::done : ElimStatus::singular;
}

// Doubles of packing space the blocked part needs beside an n-row work
// matrix carrying `ncols` columns; 0 when order n is done by the plain loop
// alone. Not counting overflow: n is an int order whose work matrix fits.
idx blocked_extra(idx n, idx ncols);

// Panel width a test has set; 0 when the table's rules are in force.
idx blocked_width();

// Copies rows r0 .. r1-1 of a row-major block S (row stride ld), w columns
// wide, into the column-major P: P[j*ldp + r] = S[r*ld + j].
void copy_panel(const double* S, idx ld, idx w, double* P, idx ldp, idx r0, idx r1);

} // namespace linalg

#endif
