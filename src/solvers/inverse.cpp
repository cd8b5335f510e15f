// Gauss-Jordan inverse (InvertGJcpu).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "base/message.h"
#include "base/work_memory.h"
#include "solvers/blocked_lu.h"
#include "kernels/kernels.h"
#include "solvers/elimination.h"
#include "solvers/solvers.h"

namespace linalg {

namespace {

// ---- Gauss-Jordan as the shared elimination plus the rows above ----------
//
// Step k of Gauss-Jordan divides pivot row k and subtracts it, times the
// row's multiplier, from every other row. For the rows below the pivot that
// is exactly the elimination's step (PivotForm::Divided, with invA carried
// as the rows' continuation); the rows above take the same update with the
// same pivot row, right after it, at every step (rows_above). So every
// entry of W and invA gets the column-by-column loop's operations with its
// operands in its order. (A back substitution, as a solve after an LU
// factorisation does it, subtracts U(i, k) times the finished row k
// instead: other products, other bits.)

struct GjRows {
    double* W;
    double* invA;
    idx n;
    const kernel_table* K;
};

// Step k on the rows above the pivot: g = W(i, k) as the earlier steps left
// it, then W(i, j) - W(k, j) * g right of column k and over invA's row.
void rows_above(void* ctx, idx k) {
    const GjRows s = *static_cast<const GjRows*>(ctx);
    const idx n = s.n;
    s.K->sub_scaled_rows(s.W + k + 1, n, s.W + k * n + k + 1, n - k - 1, s.W + k, n, k);
    s.K->sub_scaled_rows(s.invA, n, s.invA + k * n, n, s.W + k, n, k);
}

// Orders below the blocked path's: invA starts as the identity, each row of
// it scaled with W's row. False at a singular pivot, with invA as the
// column-by-column loop leaves it at that column.
bool gj_plain(double* W, double* invA, idx n, double ln2) {
    for (idx i = 0; i < n; ++i) {
        double* v = invA + i * n;
        for (idx j = 0; j < n; ++j) v[j] = 0.0;
        v[i] = 1.0;
    }
    scale_rows_by_sums(W, n, n, n, invA, n, n, n, ln2);
    GjRows rows{W, invA, n, &kernels()};
    return eliminate_plain(W, n, n, PivotForm::Divided, invA, n, n, StepHook{rows_above, &rows}) == n;
}

// ---- Blocked Gauss-Jordan ---------------------------------------------------
//
// Step k of the plain loop divides pivot row k by its pivot and subtracts
// U(k, j) * g(i, k) from every other row i, where U(k, .) is row k as divided
// at step k and g(i, k) = W(i, k) as it stands at step k. Of W only the
// columns right of the current pivot are ever read again, so per panel of
// nb columns [K0, K1):
//   1. the panel's columns of W, all rows, are copied column-major into P and
//      the plain steps run there on those columns only (gj_panel of the
//      kernel table; the multipliers stay in place, left of each step's
//      column, and move with the exchanges);
//   2. the exchanges are applied to W's columns right of the panel and to
//      invA;
//   3. pivot rows in order: the updates of the earlier pivots of the panel,
//      the division, then a packed copy U(k, .) as step k uses it;
//   4. pivot rows again: the updates of the later pivots of the panel (a
//      pivot row is an ordinary row for the later steps);
//   5. all other rows take the panel's updates through rm_update.
// Each entry gets the plain loop's terms in the plain loop's order.
//
// The inverse block starts as a scaled identity, and most of it stays a
// zero until late: column j holds one nonzero, in the row that started as
// row j, until that row becomes a pivot row. Until then every entry of a row
// in such a column takes the same operation with the same operands (its
// zero, minus the pivot row's zero times the row's multiplier), so one value
// per row stands for all of them: z[i] for the zeros of row i and d[i] for
// the entry on its starting diagonal. Each step is carried out on z and d
// exactly as the plain loop would carry it out on the entries, so signed
// zeros (-0 - -0 = +0, +0 / -q = -0) and NaN (0 * inf) come out the same.
// Only the columns whose row has been a pivot row are stored, packed to the
// left of invA in the order the columns became live (col[c] is the column
// that position c stands for); a panel brings its columns in, with their
// values as of the panel's start, before its updates, and the end puts every
// column back in its place. This halves the arithmetic on invA.

inline idx round_up8(idx x) { return (x + 7) / 8 * 8; }

// Panel width for order n, 0 for the plain loop: the table's rule (below
// its first order the plain loop's one pass per step over all rows costs
// less than a panel's copies and packed rows), or for a width set by a test
// that width from four panels of it on, a quarter of it below, and the
// plain loop below four panels.
idx gj_width(idx n) {
    const idx nb = blocked_width();
    if (nb == 0) return panel_width(kernels().blocking.gj_panels, n);
    const idx w = n >= 4 * nb ? nb : nb / 4;
    return w >= 1 && n >= 4 * w ? w : 0;
}

// Doubles of packing space beside W for order n; 0 for the plain loop.
// Beyond the panel and its packed rows: the per-row values z and d, the
// starting row of each row and the column of each live position.
idx gj_extra(idx n) {
    const idx nb = gj_width(n);
    if (nb == 0) return 0;
    return 8 + round_up8(n) * nb + 2 * panel_count(n) * nb * kPanelCols + 4 * round_up8(n);
}

// The inverse block as it is being built: live positions [0, live) of each
// row, stored in invA (row stride n), and the rest held by z, d and start.
struct GjInverse {
    double* A;    // invA
    idx n;
    idx live;     // columns stored
    double* z;    // z[i]: row i's entries in the columns not yet stored
    double* d;    // d[i]: row i's entry in column start[i] while not stored
    idx* start;   // start[i]: the identity row that row i holds
    idx* col;     // col[c]: the column stored at position c

    void swap(idx a, idx b) {
        swap_rows(A, n, a, b, 0, live);
        std::swap(z[a], z[b]);
        std::swap(d[a], d[b]);
        std::swap(start[a], start[b]);
    }
    // Stores positions live .. live+m-1: the columns of the rows there,
    // written row by row (a column at a time would stride through invA).
    void bring_in(idx m) {
        const idx c0 = live, c1 = live + m;
        for (idx c = c0; c < c1; ++c) col[c] = start[c];
        for (idx i = 0; i < n; ++i) {
            double* const row = A + i * n;
            const double zi = z[i];
            for (idx c = c0; c < c1; ++c) row[c] = zi;
            if (i >= c0 && i < c1) row[i] = d[i];
        }
        live = c1;
    }
    // Steps K0 .. K0+wd-1 (multiplier of row r at step K0+t in P[t*ldp + r],
    // pivots q) on the columns not stored: every row's values take the step
    // and the pivot row's are put back after it (each value's own
    // operation, so the split does not change a bit).
    void step_rest(const kernel_table& K, idx K0, idx wd, const double* P, idx ldp, const double* q) {
        for (idx t = 0; t < wd; ++t) {
            const idx k = K0 + t;
            const double zk = z[k] / q[t], dk = d[k];
            const double* g = P + t * ldp;
            K.sub_scaled(z, g, n, zk);
            K.sub_scaled(d, g, n, zk);
            z[k] = zk;
            d[k] = dk;
        }
    }
    // Every column stored, each in its own place (tmp: n doubles). Each row
    // is gathered through the positions of the columns (start is free by
    // then): sequential stores, where scattering through col would store at
    // random.
    void finish(double* tmp) {
        bring_in(n - live);
        idx* const pos = start;
        for (idx c = 0; c < n; ++c) pos[col[c]] = c;
        for (idx i = 0; i < n; ++i) {
            double* row = A + i * n;
            for (idx j = 0; j < n; ++j) tmp[j] = row[pos[j]];
            std::memcpy(row, tmp, static_cast<std::size_t>(n) * sizeof(double));
        }
    }
};

// Applies the first wd steps of the factored panel at K0 to the inverse
// and, when with_w, to W's columns K0+wd .. n-1 (steps 2 to 5 above).
void gj_apply_panel(const kernel_table& K, double* W, GjInverse& inv, idx n, idx K0, idx wd, bool with_w,
                    const double* P, idx ldp, const idx* piv, const double* q, double* Upk, idx ups) {
    const idx K1 = K0 + wd;
    const idx ntw = with_w ? n - K1 : 0;
    double* UW = Upk;
    double* UA = Upk + panel_count(ntw) * ups;
    for (idx k = 0; k < wd; ++k) {
        if (piv[k] == K0 + k) continue;
        if (ntw) swap_rows(W, n, K0 + k, piv[k], K1, n);
        inv.swap(K0 + k, piv[k]);
    }
    inv.bring_in(wd);
    double* invA = inv.A;
    const idx na = inv.live;
    // The pivot rows' updates with the earlier pivots of the panel, their
    // division and packing, as in the solvers' elimination; W's and invA's
    // columns take the same steps with their own packed rows.
    if (ntw) update_pivot_rows(K, W + K0 * n + K1, n, wd, ntw, P + K0, ldp, q, UW, ups, panel_count(ntw) * kPanelCols);
    update_pivot_rows(K, invA + K0 * n, n, wd, na, P + K0, ldp, q, UA, ups, panel_count(na) * kPanelCols);
    const idx group = K.blocking.rm_rows;
    // The later pivots of the panel: in a group, first those inside it
    // (row by row), then those after it for the whole group at once.
    for (idx i0 = 0; i0 < wd; i0 += group) {
        const idx i1 = std::min(wd, i0 + group);
        for (idx i = i0; i + 1 < i1; ++i) {
            const double* g = P + (i + 1) * ldp + K0 + i;
            const idx kb = i1 - 1 - i;
            if (ntw) K.rm_update(W + (K0 + i) * n + K1, n, 1, ntw, g, ldp, UW + (i + 1) * kPanelCols, ups, kb);
            K.rm_update(invA + (K0 + i) * n, n, 1, na, g, ldp, UA + (i + 1) * kPanelCols, ups, kb);
        }
        if (i1 < wd) {
            const double* g = P + i1 * ldp + K0 + i0;
            if (ntw)
                K.rm_update(W + (K0 + i0) * n + K1, n, i1 - i0, ntw, g, ldp, UW + i1 * kPanelCols, ups, wd - i1);
            K.rm_update(invA + (K0 + i0) * n, n, i1 - i0, na, g, ldp, UA + i1 * kPanelCols, ups, wd - i1);
        }
    }
    // Rows above the panel, then rows below it.
    if (ntw) {
        K.rm_update(W + K1, n, K0, ntw, P, ldp, UW, ups, wd);
        K.rm_update(W + K1 * n + K1, n, n - K1, ntw, P + K1, ldp, UW, ups, wd);
    }
    K.rm_update(invA, n, K0, na, P, ldp, UA, ups, wd);
    K.rm_update(invA + K1 * n, n, n - K1, na, P + K1, ldp, UA, ups, wd);
    inv.step_rest(K, K0, wd, P, ldp, q);
}

// Scaling and blocked elimination of W, writing invA; invA's contents are
// never read. On a singular pivot invA is brought to the state the plain
// loop leaves (all earlier steps applied) and false is returned.
bool gj_blocked(double* W, double* invA, idx n, double* work, double ln2) {
    const idx nb = gj_width(n);
    const idx ldp = round_up8(n);
    double* P = align64(work);
    double* Upk = P + ldp * nb;
    const idx ups = nb * kPanelCols;
    double* rows = Upk + 2 * panel_count(n) * ups;
    GjInverse inv{invA, n, 0, rows, rows + ldp, reinterpret_cast<idx*>(rows + 2 * ldp),
                  reinterpret_cast<idx*>(rows + 3 * ldp)};
    // Row i of the inverse block starts as identity row i scaled with W's
    // row i: a 0.0 and a 1.0 that take the row's scaling stand for its
    // zeros and its diagonal entry (the packed rows' space, at least 2n
    // doubles, is free until the first panel is applied).
    double* const zd = Upk;
    for (idx i = 0; i < n; ++i) zd[2 * i] = 0.0, zd[2 * i + 1] = 1.0;
    scale_rows_by_sums(W, n, n, n, zd, 2, 2, n, ln2);
    for (idx i = 0; i < n; ++i) {
        inv.start[i] = i;
        inv.z[i] = zd[2 * i];
        inv.d[i] = zd[2 * i + 1];
    }
    idx piv[256];
    double q[256];
    const kernel_table& K = kernels();
    bool regular = true;
    for (idx K0 = 0; K0 < n; K0 += nb) {
        const idx w = std::min(nb, n - K0);
        copy_panel(W + K0, n, w, P, ldp, 0, n);
        const idx fail = K.gj_panel(P, ldp, n, K0, w, piv, q);
        if (fail >= 0) {
            gj_apply_panel(K, W, inv, n, K0, fail, false, P, ldp, piv, q, Upk, ups);
            regular = false;
            break;
        }
        gj_apply_panel(K, W, inv, n, K0, w, K0 + w < n, P, ldp, piv, q, Upk, ups);
    }
    inv.finish(P);
    return regular;
}

} // namespace

void InvertGJcpu(double* A, double* invA, int nDim) {
    if (nDim <= 0) return;
    const idx n = nDim;
    // Large orders carry the blocked elimination's packing space in extra
    // rows of the same allocation.
    const idx extra = gj_extra(n);
    double* W = alloc_with_packing(n, n, extra, "the InverseMsq work matrix");
    if (!W) return;
    // Copy before invA is first written: invA may be the same array as A.
    std::memcpy(W, A, static_cast<std::size_t>(n) * static_cast<std::size_t>(n) * sizeof(double));

    const double ln2 = std::log(2.0);
    const bool regular = extra ? gj_blocked(W, invA, n, W + n * n, ln2) : gj_plain(W, invA, n, ln2);
    if (!regular) report_singular();
    work_free(W);
}

} // namespace linalg
