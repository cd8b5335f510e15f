// Blocked Gaussian elimination: panel factorisation in a column-major copy,
// delayed row-major trailing update through elim_kernels.
#include "solvers/blocked_lu.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

#include "omp/omp_state.h"
#include "solvers/elim_kernels.h"
#include "solvers/elimination.h"

namespace linalg {

namespace {

constexpr idx kDefaultBlock = 64;
constexpr idx kMaxBlock = 256;
constexpr idx kSubPanel = 8;

std::atomic<idx> block_size{kDefaultBlock};

inline idx round_up(idx x, idx m) { return (x + m - 1) / m * m; }

inline double* align64(double* p) {
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p);
    return reinterpret_cast<double*>((a + 63) & ~static_cast<std::uintptr_t>(63));
}

inline idx panel_count(idx cols) { return (cols + kPanelCols - 1) / kPanelCols; }

// Factors the m x w column-major panel P (stride ldp; local row 0 is the
// panel's first pivot row) in sub-panels of kSubPanel columns. On return
// P holds the finished pivot rows 0..w-1 (columns >= their index) and, left
// of the diagonal, the multipliers g(r, k); piv[k] is the local row exchanged
// with k at step k and q[k] the pivot value. Returns the local step of a
// singular pivot, or -1.
idx factor_panel(double* P, idx ldp, idx m, idx w, PivotForm form, idx* piv, double* q, const ElimKernels& K) {
    for (idx s0 = 0; s0 < w; s0 += kSubPanel) {
        const idx s1 = std::min(s0 + kSubPanel, w);
        for (idx k = s0; k < s1; ++k) {
            double* pk = P + k * ldp;
            const Pivot pv = find_pivot_in_column(pk, k, m);
            const idx p = pv.row;
            if (is_singular_pivot(pv.magnitude)) return k;
            piv[k] = p;
            if (p != k)
                for (idx j = 0; j < w; ++j) std::swap(P[j * ldp + k], P[j * ldp + p]);
            const double pivot = pk[k];
            q[k] = pivot;
            switch (form) {
            case PivotForm::Reciprocal: {
                const double d = 1.0 / pivot;
                pk[k] = d;
                for (idx r = k + 1; r < m; ++r) pk[r] = pk[r] * d;
                break;
            }
            case PivotForm::Divided:
                // Columns past the sub-panel are divided once they are up to date.
                for (idx j = k; j < s1; ++j) P[j * ldp + k] = P[j * ldp + k] / pivot;
                break;
            case PivotForm::Quotient:
                for (idx r = k + 1; r < m; ++r) pk[r] = pk[r] / pivot;
                break;
            }
            for (idx j = k + 1; j < s1; ++j) {
                double* pj = P + j * ldp;
                const double u = pj[k];
                for (idx r = k + 1; r < m; ++r) pj[r] = pj[r] - u * pk[r];
            }
        }
        if (s1 == w) break;
        // The sub-panel's pivot rows in the remaining columns: each through
        // the earlier pivots of the sub-panel, in row order.
        for (idx j = s1; j < w; ++j) {
            double* pj = P + j * ldp;
            for (idx i = s0; i < s1; ++i) {
                double c = pj[i];
                for (idx k = s0; k < i; ++k) c = c - pj[k] * P[k * ldp + i];
                if (form == PivotForm::Divided) c = c / q[i];
                pj[i] = c;
            }
        }
        // The rows below: one delayed update with the sub-panel's pivots.
        K.cm_update(P + s1 * ldp + s1, ldp, m - s1, w - s1, P + s0 * ldp + s1, ldp, P + s1 * ldp + s0, ldp, s1 - s0);
    }
    return -1;
}

// Trailing part of one panel for the packed column panels [b0, b1) of the
// columns right of the panel: exchanges, pivot rows (updated, divided when
// required, packed), then all rows below. Touches only its own columns.
void trailing_part(double* W, idx ld, idx n, idx ncols, idx K0, idx w, const double* P, idx ldp, const idx* piv,
                   const double* q, PivotForm form, double* Upk, idx b0, idx b1, const ElimKernels& K) {
    const idx K1 = K0 + w;
    const idx ups = w * kPanelCols;
    const idx c0 = K1 + b0 * kPanelCols;
    const idx c1 = std::min(ncols, K1 + b1 * kPanelCols);
    if (c0 >= c1) return;
    for (idx k = 0; k < w; ++k)
        if (piv[k] != k) swap_rows(W, ld, K0 + k, K0 + piv[k], c0, c1);
    double* U = Upk + b0 * ups;
    for (idx i = 0; i < w; ++i) {
        double* row = W + (K0 + i) * ld + c0;
        K.rm_update(row, ld, 1, c1 - c0, P + i, ldp, U, ups, i);
        if (form == PivotForm::Divided)
            for (idx j = 0; j < c1 - c0; ++j) row[j] = row[j] / q[i];
        for (idx j = 0; j < c1 - c0; ++j) U[(j / kPanelCols) * ups + i * kPanelCols + j % kPanelCols] = row[j];
        // Pad of a last, partial panel.
        for (idx j = c1 - c0; j < (b1 - b0) * kPanelCols; ++j)
            U[(j / kPanelCols) * ups + i * kPanelCols + j % kPanelCols] = 0.0;
    }
    K.rm_update(W + K1 * ld + c0, ld, n - K1, c1 - c0, P + w, ldp, U, ups, w);
}

} // namespace

// Tiles of a few rows keep the pages touched at a time few.
void copy_panel(const double* S, idx ld, idx w, double* P, idx ldp, idx r0, idx r1) {
    constexpr idx kRows = 16;
    for (idx rb = r0; rb < r1; rb += kRows) {
        const idx re = std::min(rb + kRows, r1);
        for (idx j = 0; j < w; ++j) {
            double* pj = P + j * ldp;
            const double* src = S + j;
            for (idx r = rb; r < re; ++r) pj[r] = src[r * ld];
        }
    }
}

idx blocked_width() { return block_size.load(std::memory_order_relaxed); }

idx blocked_extra(idx n, idx ncols) {
    const idx nb = block_size.load(std::memory_order_relaxed);
    if (n < 2 * nb) return 0;
    const idx ldp = round_up(n, 8);
    return 8 + 2 * ldp * nb + panel_count(ncols) * nb * kPanelCols;
}

BlockedResult blocked_eliminate(double* W, idx ld, idx n, idx ncols, PivotForm form, double* work, bool parallel) {
    BlockedResult res{0, false, 0};
    const idx nb = block_size.load(std::memory_order_relaxed);
    if (n < 2 * nb) return res;
    const idx ldp = round_up(n, 8);
    // Two panel buffers: the next panel is factored while the current one's
    // multipliers are still in use.
    double* P[2] = {align64(work), align64(work) + ldp * nb};
    double* Upk = P[1] + ldp * nb;
    const ElimKernels& K = elim_kernels();
    idx piv[2][kMaxBlock];
    double q[2][kMaxBlock];
    const idx w = nb;

    int cur = 0;
    copy_panel(W, ld, w, P[cur], ldp, 0, n);
    idx fail = factor_panel(P[cur], ldp, n, w, form, piv[cur], q[cur], K);
    idx K0 = 0;
    for (;; K0 += nb) {
        if (fail >= 0) {
            res.next = K0 + fail;
            res.singular = true;
            return res;
        }
        const double* Pc = P[cur];
        for (idx k = 0; k < w; ++k) res.swaps += piv[cur][k] != k;
        for (idx i = 0; i < w; ++i) {
            double* dst = W + (K0 + i) * ld + K0;
            for (idx j = 0; j < w; ++j) dst[j] = Pc[j * ldp + i];
        }
        // Trailing part in chunks of column blocks. Chunk 0 holds the next
        // panel's columns; whoever finishes it copies and factors the next
        // panel (look-ahead) while the other chunks are still being updated.
        // Chunks touch disjoint columns, so an entry's operations do not
        // depend on which thread runs its chunk, nor on the order of chunks.
        const idx K1 = K0 + w;
        const bool more = n - K1 >= 2 * nb;
        const idx nblocks = panel_count(ncols - K1);
        const idx head = more ? std::min(nblocks, panel_count(w)) : 0;
        const idx rest = nblocks - head;
        const idx nrest = std::min(rest, parallel ? 3 * static_cast<idx>(std::max(MAX_THREADS, 1)) : 1);
        const idx nchunks = (head ? 1 : 0) + nrest;
        const int nxt = 1 - cur;
        idx next_fail = -1;
        auto run_chunk = [&](idx c) {
            idx b0, b1;
            if (head && c == 0) {
                b0 = 0;
                b1 = head;
            } else {
                const idx r = c - (head ? 1 : 0);
                b0 = head + rest * r / nrest;
                b1 = head + rest * (r + 1) / nrest;
            }
            trailing_part(W, ld, n, ncols, K0, w, Pc, ldp, piv[cur], q[cur], form, Upk, b0, b1, K);
            if (head && c == 0) {
                copy_panel(W + K1 * ld + K1, ld, w, P[nxt], ldp, 0, n - K1);
                next_fail = factor_panel(P[nxt], ldp, n - K1, w, form, piv[nxt], q[nxt], K);
            }
        };
        if (parallel) {
            set_team_size();
#pragma omp parallel for schedule(dynamic, 1)
            for (idx c = 0; c < nchunks; ++c) run_chunk(c);
        } else {
            for (idx c = 0; c < nchunks; ++c) run_chunk(c);
        }
        if (!more) break;
        fail = next_fail;
        cur = nxt;
    }
    res.next = K0 + nb;
    return res;
}

namespace testhooks {
idx set_block_size(idx nb) {
    block_size.store(nb <= 0 ? kDefaultBlock : std::min(nb, kMaxBlock), std::memory_order_relaxed);
    return block_size.load(std::memory_order_relaxed);
}
} // namespace testhooks

} // namespace linalg
