// The elimination driver: blocked panels (factorised in a column-major copy,
// delayed row-major trailing update through the kernel table's rm_update),
// then the plain loop.
#include "solvers/blocked_lu.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

#include <omp.h>


namespace linalg {

namespace {

constexpr idx kMaxBlock = 256;

// The panel width a test has set; 0: the table's rules.
std::atomic<idx> block_size{0};

inline idx round_up(idx x, idx m) { return (x + m - 1) / m * m; }

// Everything the steps of one panel share.
struct PanelStep {
    double* W;
    idx ld, n, ncols, nb, ldp;
    PivotForm form;
    double* const* P;  // the two panel buffers
    double* Upk;       // packed pivot rows of the current panel
    idx (*piv)[kMaxBlock];
    double (*q)[kMaxBlock];
    const kernel_table* K;
};

// Columns c0 .. c1-1 of the packed column panels [b0, b1) right of the panel
// at K0 (clipped to the carried columns; empty when c0 >= c1).
inline idx block_col(const PanelStep& s, idx K0, idx b) { return std::min(s.ncols, K0 + s.nb + b * kPanelCols); }

// Pivot rows of the panel at K0 (buffer `cur`) in the packed column panels
// [b0, b1): the exchanges in those columns, then each pivot row brought up
// to date with the earlier pivots of the panel, divided when required and
// packed into Upk. Touches only its own columns.
void pivot_rows_part(const PanelStep& s, idx K0, int cur, idx b0, idx b1) {
    const idx w = s.nb;
    const idx ld = s.ld;
    const idx ups = w * kPanelCols;
    const idx c0 = block_col(s, K0, b0), c1 = block_col(s, K0, b1);
    if (c0 >= c1) return;
    const idx* piv = s.piv[cur];
    for (idx k = 0; k < w; ++k)
        if (piv[k] != k) swap_rows(s.W, ld, K0 + k, K0 + piv[k], c0, c1);
    update_pivot_rows(*s.K, s.W + K0 * ld + c0, ld, w, c1 - c0, s.P[cur], s.ldp,
                      s.form == PivotForm::Divided ? s.q[cur] : nullptr, s.Upk + b0 * ups, ups, (b1 - b0) * kPanelCols);
}

// Rows r0 .. r1-1 (all below the panel) of the packed column panels
// [b0, b1): one delayed update with the panel's packed pivot rows.
void rows_below_part(const PanelStep& s, idx K0, int cur, idx b0, idx b1, idx r0, idx r1) {
    const idx K1 = K0 + s.nb;
    const idx c0 = block_col(s, K0, b0), c1 = block_col(s, K0, b1);
    if (c0 >= c1 || r0 >= r1) return;
    s.K->rm_update(s.W + r0 * s.ld + c0, s.ld, r1 - r0, c1 - c0, s.P[cur] + s.nb + (r0 - K1), s.ldp,
                   s.Upk + b0 * s.nb * kPanelCols, s.nb * kPanelCols, s.nb);
}

// Writes the panel's finished block back into W (rows and columns K0 ..
// K0+nb-1) and returns the number of its exchanges.
idx finish_panel_block(const PanelStep& s, idx K0, int cur) {
    const idx w = s.nb;
    idx swaps = 0;
    for (idx k = 0; k < w; ++k) swaps += s.piv[cur][k] != k;
    for (idx i = 0; i < w; ++i) {
        double* dst = s.W + (K0 + i) * s.ld + K0;
        for (idx j = 0; j < w; ++j) dst[j] = s.P[cur][j * s.ldp + i];
    }
    return swaps;
}

// Look-ahead: copies the next panel (columns K0+nb .., rows K0+nb .. n-1,
// already updated through this panel) into the other buffer and factors it.
idx factor_next_panel(const PanelStep& s, idx K0, int cur) {
    const idx K1 = K0 + s.nb;
    const int nxt = 1 - cur;
    copy_panel(s.W + K1 * s.ld + K1, s.ld, s.nb, s.P[nxt], s.ldp, 0, s.n - K1);
    return s.K->lu_panel(s.P[nxt], s.ldp, s.n - K1, s.nb, s.form, s.piv[nxt], s.q[nxt]);
}

} // namespace

void copy_panel(const double* S, idx ld, idx w, double* P, idx ldp, idx r0, idx r1) {
    if (r1 > r0) kernels().transpose_block(S + r0 * ld, ld, P + r0, ldp, r1 - r0, w);
}

void update_pivot_rows(const kernel_table& K, double* rows, idx ld, idx w, idx c, const double* P, idx ldp,
                       const double* q, double* U, idx ups, idx padded) {
    const idx group = K.blocking.rm_rows;
    for (idx i0 = 0; i0 < w; i0 += group) {
        const idx i1 = std::min(w, i0 + group);
        K.rm_update(rows + i0 * ld, ld, i1 - i0, c, P + i0, ldp, U, ups, i0);
        for (idx i = i0; i < i1; ++i) {
            double* row = rows + i * ld;
            K.rm_update(row, ld, 1, c, P + i0 * ldp + i, ldp, U + i0 * kPanelCols, ups, i - i0);
            if (q)
                for (idx j = 0; j < c; ++j) row[j] = row[j] / q[i];
            pack_row(row, c, padded, U, ups, i);
        }
    }
}

idx blocked_width() { return block_size.load(std::memory_order_relaxed); }

namespace {

// Panel width of the eliminations at order n, 0 for the plain loop: the
// table's rule, or for a width set by a test that width from four panels
// on, half of it from two, and the plain loop below two panels.
idx lu_width(idx n) {
    const idx nb = block_size.load(std::memory_order_relaxed);
    if (nb == 0) return std::min(panel_width(kernels().blocking.lu_panels, n), kMaxBlock);
    const idx w = n >= 4 * nb || nb < 2 ? nb : nb / 2;
    return n >= 2 * nb ? w : 0;
}

} // namespace

idx blocked_extra(idx n, idx ncols) {
    const idx nb = lu_width(n);
    if (nb == 0) return 0;
    const idx ldp = round_up(n, 8);
    return 8 + 2 * ldp * nb + panel_count(ncols) * nb * kPanelCols;
}

namespace {

// Cuts `units` into consecutive pieces that shrink towards the end (each
// about a 2*threads-th of what is left, at least one unit), so that threads
// taking them one by one finish close together; at[c] .. at[c+1] is piece c.
// Returns the number of pieces. At most kMaxPieces, whatever the team size:
// the plans live in fixed arrays of every thread.
constexpr idx kMaxPieces = 128;

idx plan_pieces(idx* at, idx units, idx threads) {
    idx count = 0, u = 0;
    at[0] = 0;
    while (u < units) {
        const idx left = units - u;
        idx size = std::max<idx>(1, left / (2 * threads));
        if (count == kMaxPieces - 1) size = left;
        at[++count] = u += size;
    }
    return count;
}

// Rows below a panel are handed out in multiples of the table's row unit
// (kernel_blocking::row_unit), so only the last piece has a partial tile.
// The last pieces are one unit each: the smaller the unit, the less the
// threads that finish first wait for the last at the end of the loop.

struct BlockedResult {
    idx next;       // first column left to the plain loop
    bool singular;  // a pivot below the threshold was met at column `next`
    idx swaps;      // row exchanges made
};

// The blocked panels of W (n rows, row stride ld, columns 0 .. ncols-1
// carried), with `threads` OpenMP threads: the pivot rows split by columns,
// the rows below split by rows beside the look-ahead factorisation (same bits
// for any count). work: blocked_extra(n, ncols) doubles. On a singular pivot
// nothing after it is computed.
BlockedResult blocked_eliminate(double* W, idx ld, idx n, idx ncols, PivotForm form, double* work, int threads) {
    BlockedResult res{0, false, 0};
    const idx nb = lu_width(n);
    if (nb == 0) return res;
    const idx ldp = round_up(n, 8);
    // Two panel buffers: the next panel is factored while the current one's
    // multipliers are still in use.
    double* P[2] = {align64(work), align64(work) + ldp * nb};
    double* Upk = P[1] + ldp * nb;
    idx piv[2][kMaxBlock];
    double q[2][kMaxBlock];
    const PanelStep s{W, ld, n, ncols, nb, ldp, form, P, Upk, piv, q, &kernels()};

    copy_panel(W, ld, nb, P[0], ldp, 0, n);
    const idx first_fail = s.K->lu_panel(P[0], ldp, n, nb, form, piv[0], q[0]);
    if (first_fail >= 0) {
        res.next = first_fail;
        res.singular = true;
        return res;
    }

    // Per panel at K0 (columns K1 = K0+nb onwards right of it, rows K1 ..
    // n-1 below it): while at least two more panels' columns remain, the
    // next panel's columns (the head, `head` column blocks) are updated
    // first and that panel is factored at once (look-ahead); the other
    // columns are updated after or beside it. A look-ahead that meets a
    // singular pivot stops the loop with the failing column.
    // Each entry receives the same operations in the same order whichever
    // way the columns or rows are divided, and by whichever thread.
    auto head_of = [&](idx K0) {
        const idx K1 = K0 + nb;
        return n - K1 >= 2 * nb ? std::min(panel_count(ncols - K1), panel_count(nb)) : idx{0};
    };
    if (threads <= 1) {
        for (idx K0 = 0, panel = 0;; K0 += nb, ++panel) {
            const int cur = static_cast<int>(panel & 1);
            const idx head = head_of(K0), nblocks = panel_count(ncols - K0 - nb);
            res.swaps += finish_panel_block(s, K0, cur);
            idx fail = -1;
            if (head) {
                pivot_rows_part(s, K0, cur, 0, head);
                rows_below_part(s, K0, cur, 0, head, K0 + nb, n);
                fail = factor_next_panel(s, K0, cur);
            }
            pivot_rows_part(s, K0, cur, head, nblocks);
            rows_below_part(s, K0, cur, head, nblocks, K0 + nb, n);
            if (!head) {
                res.next = K0 + nb;
                return res;
            }
            if (fail >= 0) {
                res.next = K0 + nb + fail;
                res.singular = true;
                return res;
            }
        }
    }

    // Several threads, one parallel region for all panels, two loops per
    // panel, each closed by its barrier:
    //   1. the pivot rows, split by columns (one piece per thread);
    //   2. dynamically scheduled tasks: task 0 the head's rows below and the
    //      look-ahead factorisation, the others pieces of whole rows below in
    //      the remaining columns, long contiguous runs for each thread.
    // Task 0 writes the look-ahead result; all threads read it after the
    // second barrier, and the next write comes only after the next panel's
    // first barrier.
    idx next_fail = -1;
    idx stop_next = 0;
#pragma omp parallel num_threads(threads)
    {
        const idx team = omp_get_num_threads();
        const idx unit = s.K->blocking.row_unit;
        idx cols_at[kMaxPieces + 1], rows_at[kMaxPieces + 1];
        idx swaps = 0;
        for (idx K0 = 0, panel = 0;; K0 += nb, ++panel) {
            const int cur = static_cast<int>(panel & 1);
            const idx K1 = K0 + nb;
            const idx head = head_of(K0), nblocks = panel_count(ncols - K1);
            const idx rows = n - K1;
            const idx ncp = std::min({team, nblocks, kMaxPieces});
            for (idx c = 0; c <= ncp; ++c) cols_at[c] = nblocks * c / ncp;
            const idx nrp = plan_pieces(rows_at, (rows + unit - 1) / unit, team);
            const idx ntasks = (head ? 1 : 0) + (head < nblocks ? nrp : 0);
#pragma omp for schedule(static, 1)
            for (idx c = 0; c < ncp; ++c) {
                if (c == 0) swaps += finish_panel_block(s, K0, cur);
                pivot_rows_part(s, K0, cur, cols_at[c], cols_at[c + 1]);
            }
#pragma omp for schedule(dynamic, 1)
            for (idx t = 0; t < ntasks; ++t) {
                if (head && t == 0) {
                    rows_below_part(s, K0, cur, 0, head, K1, n);
                    next_fail = factor_next_panel(s, K0, cur);
                } else {
                    const idx r = t - (head ? 1 : 0);
                    rows_below_part(s, K0, cur, head, nblocks, K1 + rows_at[r] * unit,
                                    std::min(n, K1 + rows_at[r + 1] * unit));
                }
            }
            // Every thread computed the same plan and, after the barrier,
            // reads the same look-ahead result, so all leave at one panel.
            if (!head || next_fail >= 0) {
#pragma omp master
                stop_next = K1 + (head ? next_fail : 0);
                break;
            }
        }
#pragma omp atomic
        res.swaps += swaps;
    }
    res.next = stop_next;
    res.singular = next_fail >= 0;
    return res;
}

// The plain loop from column k0 to the end (see PivotForm); false at a
// singular pivot, whose column goes to *stop. Each row's update W(r, j) -
// W(k, j) * g runs through the table's sub_scaled_rows, all rows of a step
// in one call (the same operations as row_update, vectorised). The rows of
// the block B (bcols columns, row
// stride ldb; none when bcols is 0) take the same exchanges, divisions and
// updates as W's, as if they continued W's rows.
bool plain_steps(double* W, idx ld, idx n, idx k0, PivotForm form, idx* swaps, idx* stop, double* B = nullptr,
                 idx ldb = 0, idx bcols = 0, StepHook after = {}) {
    const kernel_table& K = kernels();
    for (idx k = k0; k < n; ++k) {
        const Pivot pv = find_pivot(W, ld, k, n);
        if (is_singular_pivot(pv.magnitude)) {
            *stop = k;
            return false;
        }
        if (pv.row != k) {
            swap_rows(W, ld, k, pv.row, k, ld);
            if (bcols) swap_rows(B, ldb, k, pv.row, 0, bcols);
            ++*swaps;
        }
        double* const wk = W + k * ld;
        double* const bk = B + k * ldb;
        const double q = wk[k];
        // Rows r0 .. r1-1 take the pivot row times their multiplier g[(r -
        // r0) * ldg]: W right of column k, and B's rows.
        const auto update = [&K, W, ld, k, wk, B, ldb, bcols, bk](const double* g, idx ldg, idx r0, idx r1) {
            K.sub_scaled_rows(W + r0 * ld + k + 1, ld, wk + k + 1, ld - k - 1, g, ldg, r1 - r0);
            if (bcols) K.sub_scaled_rows(B + r0 * ldb, ldb, bk, bcols, g, ldg, r1 - r0);
        };
        // Multipliers computed from column k (which no update touches), a
        // chunk of rows at a time.
        const auto update_computed = [&update, W, ld, k, n](auto multiplier) {
            constexpr idx kChunk = 64;
            double g[kChunk];
            for (idx r0 = k + 1; r0 < n; r0 += kChunk) {
                const idx r1 = std::min(n, r0 + kChunk);
                for (idx r = r0; r < r1; ++r) g[r - r0] = multiplier(W[r * ld + k]);
                update(g, 1, r0, r1);
            }
        };
        switch (form) {
        case PivotForm::Reciprocal: {
            // The diagonal keeps the pivot's reciprocal: the elimination and
            // the back substitution then only multiply.
            const double d = 1.0 / q;
            wk[k] = d;
            update_computed([d](double w) { return w * d; });
            break;
        }
        case PivotForm::Quotient:
            update_computed([q](double w) { return w / q; });
            break;
        case PivotForm::Divided:
            for (idx j = 0; j < bcols; ++j) bk[j] = bk[j] / q;
            if (k == n - 1) {
                for (idx j = k + 1; j < ld; ++j) wk[j] = wk[j] / q;
                wk[k] = 1.0;
                break;
            }
            for (idx j = k; j < ld; ++j) wk[j] = wk[j] / q;
            update(W + (k + 1) * ld + k, ld, k + 1, n);
            break;
        }
        if (after.fn) after.fn(after.ctx, k);
    }
    *stop = n;
    return true;
}

} // namespace

double* alloc_with_packing(idx n, idx ld, idx extra, const char* who) {
    return alloc_work_matrix(n + (extra + ld - 1) / ld, ld, who);
}

double* alloc_elimination(idx n, idx ld, const char* who) { return alloc_with_packing(n, ld, blocked_extra(n, ld), who); }

bool eliminate(double* W, idx ld, idx n, PivotForm form, int threads, idx* swaps) {
    *swaps = 0;
    idx k = 0;
    if (blocked_extra(n, ld)) {
        const BlockedResult b = blocked_eliminate(W, ld, n, ld, form, W + n * ld, threads);
        *swaps = b.swaps;
        if (b.singular) return false;
        k = b.next;
    }
    idx stop;
    return plain_steps(W, ld, n, k, form, swaps, &stop);
}

idx eliminate_plain(double* W, idx ld, idx n, PivotForm form, double* B, idx ldb, idx bcols, StepHook after) {
    idx swaps = 0, stop = n;
    plain_steps(W, ld, n, 0, form, &swaps, &stop, B, ldb, bcols, after);
    return stop;
}

namespace testhooks {
idx set_block_size(idx nb) {
    block_size.store(nb <= 0 ? 0 : std::min(nb, kMaxBlock), std::memory_order_relaxed);
    return block_size.load(std::memory_order_relaxed);
}
} // namespace testhooks

} // namespace linalg
