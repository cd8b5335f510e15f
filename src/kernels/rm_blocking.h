// The elimination update rm_update: one driver for every table, around a
// register tile of MR rows and NR columns of C. The tile is code (a
// template parameter: simd.h's vector tile, rm_update_avx2.h's 6 x 8
// assembly tile); the rows per packed block come from the table the update
// is called through (kernel_blocking::rm_block), at run time.
//
// Bits: each C(r, j) takes its terms U(k, j) * G(r, k) for k ascending, one
// multiplication then one subtraction per term, starting from its stored
// value, as the plain loop does; lanes hold independent outputs only. A
// summation index too deep for the buffer is cut into consecutive pieces
// applied in order (C keeps the partial result between them), so neither
// the blocking nor the tile changes a bit.
//
// Blocking: the multipliers of a block of rows are packed into MR-row
// micro-panels, k-major; each micro-panel (kept in L1) then meets the
// packed U panels NR columns at a time, left to right, so that each of the
// tile's rows of C is walked in address order (one page at a time; a walk
// down the columns would touch a page per row); the tile may prefetch the
// piece two to the right. Rows left over below the last full micro-panel,
// and calls of fewer than MR rows (the pivot rows, one at a time), take
// vector tiles of up to four rows over G in place.
//
// A tile is a type with
//   static constexpr idx MR, NR;   (NR divides kPanelCols)
//   static void kernel(idx kb, const double* g, const double* u, double* c,
//                      idx ldc, const double* next);
// C (MR x NR, leading dimension ldc) -= the kb terms U(k, j) * G(r, k), k
// ascending; g: the packed micro-panel, g[k*MR + r]; u: U(k, j) at
// u[k*kPanelCols + j]; next: the same rows of C further right, which the
// tile may prefetch.
//
// Included by the instruction-set files; internal linkage.
#ifndef LINALG_KERNELS_RM_BLOCKING_H
#define LINALG_KERNELS_RM_BLOCKING_H

#include "kernels/edge_tile.h"
#include "kernels/kernels.h"

namespace linalg {
namespace {
namespace rmd {

// Doubles of packed multipliers on the stack (144 KB).
constexpr idx kGBuf = 18432;

// Rows [0, rows) (a multiple of MR) of G (G(r, k) at G[k*ldg + r]) as MR-row
// micro-panels, k-major.
template <idx MR>
inline void pack_g(const double* G, idx ldg, idx rows, idx kb, double* out) {
    for (idx i = 0; i < rows; i += MR)
        for (idx k = 0; k < kb; ++k) {
            const double* g = G + k * ldg + i;
#pragma GCC unroll 16
            for (idx r = 0; r < MR; ++r) out[r] = g[r];
            out += MR;
        }
}

// Doubles per vector register of the set the including file is built for.
#if defined(__AVX512F__)
constexpr idx kLanes = 8;
#elif defined(__AVX__)
constexpr idx kLanes = 4;
#else
constexpr idx kLanes = 2;
#endif
typedef double lane_vec __attribute__((vector_size(kLanes * sizeof(double))));

// R rows of C (row stride ldc, nc columns) -= their kb terms, NR columns at
// a time in registers (R x NR / kLanes vectors, each its own chain of
// subtractions); G read in place, G(r, k) at G[k*ldg + r].
template <idx R, idx NR>
inline void few_rows(double* C, idx ldc, idx nc, const double* G, idx ldg, const double* U, idx ups, idx kb) {
    static_assert(NR % kLanes == 0, "whole vectors per tile row");
    constexpr int NV = static_cast<int>(NR / kLanes);
    auto piece = [&](double* c, idx ldt, const double* u) {
        lane_vec acc[R][NV];
#pragma GCC unroll 16
        for (idx r = 0; r < R; ++r)
#pragma GCC unroll 16
            for (int t = 0; t < NV; ++t) __builtin_memcpy(&acc[r][t], c + r * ldt + t * kLanes, sizeof(lane_vec));
        for (idx k = 0; k < kb; ++k) {
            lane_vec v[NV];
#pragma GCC unroll 16
            for (int t = 0; t < NV; ++t) __builtin_memcpy(&v[t], u + k * kPanelCols + t * kLanes, sizeof(lane_vec));
#pragma GCC unroll 16
            for (idx r = 0; r < R; ++r) {
                const double g = G[k * ldg + r];
#pragma GCC unroll 16
                for (int t = 0; t < NV; ++t) acc[r][t] = acc[r][t] - v[t] * g;
            }
        }
#pragma GCC unroll 16
        for (idx r = 0; r < R; ++r)
#pragma GCC unroll 16
            for (int t = 0; t < NV; ++t) __builtin_memcpy(c + r * ldt + t * kLanes, &acc[r][t], sizeof(lane_vec));
    };
    for (idx j0 = 0; j0 < nc; j0 += NR) {
        const double* u = U + (j0 / kPanelCols) * ups + j0 % kPanelCols;
        if (j0 + NR <= nc)
            piece(C + j0, ldc, u);
        else
            on_edge_tile<R, NR>(C + j0, ldc, R, nc - j0, true, [&](double* t, idx ldt) { piece(t, ldt, u); });
    }
}

// The table's rm_update (contract in kernels.h).
template <class Tile>
void rm_update(const kernel_blocking& b, double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U,
               idx ups, idx kb) {
    constexpr idx MR = Tile::MR, NR = Tile::NR;
    static_assert(kPanelCols % NR == 0, "a tile's columns lie within one packed panel");
    if (m <= 0 || nc <= 0 || kb <= 0) return;
    const idx mfull = m / MR * MR;
    if (mfull > 0) {
        alignas(64) double Gp[kGBuf];
        const idx block = b.rm_block < MR ? MR : b.rm_block / MR * MR;
        for (idx k0 = 0; k0 < kb; k0 += kGBuf / MR) {
            const idx kd = kb - k0 < kGBuf / MR ? kb - k0 : kGBuf / MR;
            const idx fit = kGBuf / kd / MR * MR;
            const idx rb = block < fit ? block : fit;
            const double* Gk = G + k0 * ldg;
            const double* Uk = U + k0 * kPanelCols;
            for (idx r0 = 0; r0 < mfull; r0 += rb) {
                const idx rows = mfull - r0 < rb ? mfull - r0 : rb;
                pack_g<MR>(Gk + r0, ldg, rows, kd, Gp);
                for (idx ir = 0; ir < rows; ir += MR) {
                    for (idx j0 = 0; j0 < nc; j0 += NR) {
                        const idx w = nc - j0 < NR ? nc - j0 : NR;
                        const double* u = Uk + (j0 / kPanelCols) * ups + j0 % kPanelCols;
                        double* c = C + (r0 + ir) * ldc + j0;
                        const double* next = c + 2 * NR;
                        if (w == NR)
                            Tile::kernel(kd, Gp + ir * kd, u, c, ldc, next);
                        else
                            on_edge_tile<MR, NR>(c, ldc, MR, w, true, [&](double* t, idx ldt) {
                                Tile::kernel(kd, Gp + ir * kd, u, t, ldt, t);
                            });
                    }
                }
            }
        }
    }
    // Rows below the last whole tile (and calls of fewer rows, such as the
    // pivot rows one at a time): up to four rows side by side, G in place.
    idx r = mfull;
    for (; r + 4 <= m; r += 4) few_rows<4, NR>(C + r * ldc, ldc, nc, G + r, ldg, U, ups, kb);
    for (; r + 2 <= m; r += 2) few_rows<2, NR>(C + r * ldc, ldc, nc, G + r, ldg, U, ups, kb);
    if (r < m) few_rows<1, NR>(C + r * ldc, ldc, nc, G + r, ldg, U, ups, kb);
}

// The row update's entry of a table and its tile and block.
template <class Tile>
void set_rm_update(kernel_table& t, idx block) {
    t.rm_update_fn = rm_update<Tile>;
    t.blocking.rm_rows = Tile::MR;
    t.blocking.rm_cols = Tile::NR;
    t.blocking.rm_block = block;
}

} // namespace rmd
} // namespace
} // namespace linalg

#endif
