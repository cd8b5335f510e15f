// AVX2 elimination update (rm_update) with a 6 x 8 register tile.
//
// Included only by the AVX2 table (avx2.cpp, built with -mavx2 -mno-fma
// -ffp-contract=off), after simd.h, whose 4 x 8 / 1 x 8 tiles it keeps for
// calls of fewer than six rows and for the rows below the last full tile.
// Everything has internal linkage.
//
// Bits: each C(r, j) takes its terms U(k, j) * G(r, k) for k ascending, one
// vmulpd then one vsubpd per term, starting from its stored value, as the
// plain loop does; lanes hold independent outputs only.
#ifndef LINALG_KERNELS_RM_UPDATE_AVX2_H
#define LINALG_KERNELS_RM_UPDATE_AVX2_H

#include "kernels/asm_tile.h"
#include "kernels/simd.h"

#if !defined(__AVX2__) || defined(__FMA__) || defined(__AVX512F__)
#error "rm_update_avx2.h is for the AVX2 table, built with -mavx2 -mno-fma"
#endif

namespace linalg {
namespace {

// The multipliers of a block of rows are packed into 6-row micro-panels,
// k-major (kept in L2); each 8-column half of a packed U panel (kept in L1)
// then meets every micro-panel of the block, one 6 x 8 tile of C at a time,
// while the tile two steps ahead is prefetched. Rows left over below the
// last full micro-panel, and calls of fewer than six rows (the pivot rows,
// one at a time), take the 4 x 8 / 1 x 8 tiles of simd.h.
namespace rm68 {

constexpr idx MR = 6;
constexpr idx NR = 8;
constexpr idx kMaxBlockRows = 192;
constexpr idx kGBuf = 18432;  // doubles of packed multipliers (144 KB)

// C (6 x 8, leading dimension ldc) -= the kb terms U(k, j) * G(r, k), k
// ascending, one vmulpd (u times g) and one vsubpd (c minus product) each.
// g: 6 x kb packed, g[k*6 + r]; u: U(k, j) at u[k*kPanelCols + j]. next: C
// rows of a later tile, prefetched. Assembly for the same reason as the
// product's micro-kernel: ymm0-11 accumulators, ymm12-13 u, ymm14 the
// broadcast of g, ymm15 the product; k unrolled by 4; g and u in rsi and
// rdi (LINALG_TILE_LOOP_START).
static_assert(kPanelCols == 16, "the assembly steps through U in rows of 16 doubles");
// One k step of the update: u times the broadcast of g, subtracted.
#define MUL(V) "vmulpd %%ymm14, %%ymm" V ", %%ymm15\n\t"
#define STEP(G, U) LINALG_TILE_STEP("vmovupd", "u", U, "g", G, MUL, "vsubpd")
inline void kernel(idx kb, const double* g, const double* u, double* c, idx ldc, const double* next) {
    idx k4 = kb / 4, kr = kb % 4;
    const idx ldcb = ldc * static_cast<idx>(sizeof(double));
    double* c3 = c + 3 * ldc;
    const double* nx3 = next + 3 * ldc;
    __asm__ volatile(
        LINALG_TILE_LOAD_C
        LINALG_TILE_PREFETCH_NEXT
        "testq %[k4], %[k4]\n\t"
        "jz 2f\n"
        LINALG_TILE_LOOP_START
        "1:\n\t"
        STEP("0", "0")
        STEP("48", "128")
        STEP("96", "256")
        STEP("144", "384")
        "addq $192, %[g]\n\t"
        "addq $512, %[u]\n\t"
        "decq %[k4]\n\t"
        "jnz 1b\n"
        "2:\n\t"
        "testq %[kr], %[kr]\n\t"
        "jz 4f\n"
        "3:\n\t"
        STEP("0", "0")
        "addq $48, %[g]\n\t"
        "addq $128, %[u]\n\t"
        "decq %[kr]\n\t"
        "jnz 3b\n"
        "4:\n\t"
        LINALG_TILE_STORE_C
        : [g] "+S"(g), [u] "+D"(u), [k4] "+r"(k4), [kr] "+r"(kr)
        : [c0] "r"(c), [c3] "r"(c3), [ldc] "r"(ldcb), [nx] "r"(next), [nx3] "r"(nx3)
        : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}
#undef STEP
#undef MUL

// Rows [0, rows) (a multiple of 6) of G (G(r, k) at G[k*ldg + r]) as 6-row
// micro-panels, k-major.
inline void pack_g(const double* G, idx ldg, idx rows, idx kb, double* out) {
    for (idx i = 0; i < rows; i += MR)
        for (idx k = 0; k < kb; ++k) {
            const double* g = G + k * ldg + i;
            out[0] = g[0], out[1] = g[1], out[2] = g[2], out[3] = g[3], out[4] = g[4], out[5] = g[5];
            out += MR;
        }
}

} // namespace rm68

inline void rm_update_6x8(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U, idx ups,
                          idx kb) {
    constexpr idx MR = rm68::MR, NR = rm68::NR, kGBuf = rm68::kGBuf;
    if (m < MR || nc <= 0 || kb <= 0 || kb > kGBuf / MR) {
        rm_update_simd(C, ldc, m, nc, G, ldg, U, ups, kb);
        return;
    }
    alignas(64) double Gp[kGBuf];
    const idx mfull = m / MR * MR;
    const idx rb = imin(rm68::kMaxBlockRows, kGBuf / kb / MR * MR > MR ? kGBuf / kb / MR * MR : MR);
    for (idx r0 = 0; r0 < mfull; r0 += rb) {
        const idx rows = imin(rb, mfull - r0);
        rm68::pack_g(G + r0, ldg, rows, kb, Gp);
        for (idx j0 = 0; j0 < nc; j0 += NR) {
            const idx w = imin(NR, nc - j0);
            const double* u = U + (j0 / kPanelCols) * ups + j0 % kPanelCols;
            for (idx ir = 0; ir < rows; ir += MR) {
                double* c = C + (r0 + ir) * ldc + j0;
                const double* next = c + (ir + 3 * MR <= rows ? 2 * MR * ldc : 0);
                if (w == NR)
                    rm68::kernel(kb, Gp + ir * kb, u, c, ldc, next);
                else
                    on_edge_tile<MR, NR>(c, ldc, MR, w, true, [&](double* t, idx ldt) {
                        rm68::kernel(kb, Gp + ir * kb, u, t, ldt, t);
                    });
            }
        }
    }
    for (idx r = mfull; r < m; ++r) rm_rows<W, 1, kRmVecs>(C + r * ldc, ldc, nc, G + r, ldg, U, ups, kb);
}

} // namespace
} // namespace linalg

#endif
