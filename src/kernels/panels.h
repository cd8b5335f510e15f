// Panel factorisations of the blocked eliminations (contracts in kernels.h):
// plain pivot steps on a column-major panel, whose inner loops run down a
// contiguous column, so the compiler vectorises them across rows. Included
// by reference.cpp and by simd.h; the LU panel's delayed update is the
// including file's cm_update, given as a template argument.
//
// Internal linkage throughout, and no inline function of the standard
// library, for the reason given in plain_loops.h.
#ifndef LINALG_KERNELS_PANELS_H
#define LINALG_KERNELS_PANELS_H

#include <cmath>

#include "kernels/kernels.h"

namespace linalg {
namespace {
namespace panel {

using CmUpdate = void (*)(double*, idx, idx, idx, const double*, idx, const double*, idx, idx);

// Sub-panel width of lu.
constexpr idx kSub = 8;

using ColumnArgmax = idx (*)(const double*, idx, idx);

// The pivot row of a contiguous column c, searched from row k to m-1: the
// largest magnitude, a later row replacing the choice only when strictly
// larger, so the uppermost of equal ones wins (and a NaN at row k stays).
idx first_largest(const double* c, idx k, idx m) {
    idx row = k;
    double mag = std::fabs(c[k]);
    for (idx r = k + 1; r < m; ++r) {
        const double a = std::fabs(c[r]);
        if (a > mag) {
            mag = a;
            row = r;
        }
    }
    return row;
}

// Pivot step on column `col` of P (w columns), searched from row k to m-1
// by argmax. A regular pivot's row goes to *piv and rows k and *piv are
// exchanged across the panel; a singular one (below kSingularPivot; NaN is
// not) returns false.
template <ColumnArgmax argmax>
bool pivot(double* P, idx ldp, idx col, idx k, idx m, idx w, idx* piv) {
    const double* c = P + col * ldp;
    const idx row = argmax(c, k, m);
    if (std::fabs(c[row]) < kSingularPivot) return false;
    *piv = row;
    if (row != k)
        for (idx j = 0; j < w; ++j) {
            const double t = P[j * ldp + k];
            P[j * ldp + k] = P[j * ldp + row];
            P[j * ldp + row] = t;
        }
    return true;
}

template <CmUpdate cm_update, ColumnArgmax argmax>
idx lu(double* P, idx ldp, idx m, idx w, PivotForm form, idx* piv, double* q) {
    for (idx s0 = 0; s0 < w; s0 += kSub) {
        const idx s1 = s0 + kSub < w ? s0 + kSub : w;
        for (idx k = s0; k < s1; ++k) {
            double* pk = P + k * ldp;
            if (!pivot<argmax>(P, ldp, k, k, m, w, piv + k)) return k;
            const double pv = pk[k];
            q[k] = pv;
            switch (form) {
            case PivotForm::Reciprocal: {
                const double d = 1.0 / pv;
                pk[k] = d;
                for (idx r = k + 1; r < m; ++r) pk[r] = pk[r] * d;
                break;
            }
            case PivotForm::Divided:
                // Columns past the sub-panel are divided once they are up to date.
                for (idx j = k; j < s1; ++j) P[j * ldp + k] = P[j * ldp + k] / pv;
                break;
            case PivotForm::Quotient:
                for (idx r = k + 1; r < m; ++r) pk[r] = pk[r] / pv;
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
        cm_update(P + s1 * ldp + s1, ldp, m - s1, w - s1, P + s0 * ldp + s1, ldp, P + s1 * ldp + s0, ldp, s1 - s0);
    }
    return -1;
}

template <ColumnArgmax argmax>
idx gj(double* P, idx ldp, idx n, idx K0, idx w, idx* piv, double* q) {
    for (idx k = 0; k < w; ++k) {
        const idx kg = K0 + k;
        double* pk = P + k * ldp;
        if (!pivot<argmax>(P, ldp, k, kg, n, w, piv + k)) return k;
        const double qv = pk[kg];
        q[k] = qv;
        // Left of column k the row holds its multipliers: not divided here.
        for (idx j = k + 1; j < w; ++j) P[j * ldp + kg] = P[j * ldp + kg] / qv;
        // Every row but the pivot row: one pass over the whole column, the
        // pivot row's entry put back after it (each entry's own operation,
        // so the split does not change a bit).
        for (idx j = k + 1; j < w; ++j) {
            double* pj = P + j * ldp;
            const double u = pj[kg];
            for (idx r = 0; r < n; ++r) pj[r] = pj[r] - u * pk[r];
            pj[kg] = u;
        }
    }
    return -1;
}

} // namespace panel
} // namespace
} // namespace linalg

#endif
