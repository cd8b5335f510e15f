// The AVX2 elimination update's 6 x 8 register tile, for the row-update
// driver (rm_blocking.h, which packs the multipliers and walks the blocks).
//
// Included only by the AVX2 table (avx2.cpp, built with -mavx2 -mno-fma
// -ffp-contract=off); the avx512_256 table takes it from there.
// Everything has internal linkage.
//
// Bits: each C(r, j) takes its terms U(k, j) * G(r, k) for k ascending, one
// vmulpd then one vsubpd per term, starting from its stored value, as the
// plain loop does; lanes hold independent outputs only.
#ifndef LINALG_KERNELS_RM_UPDATE_AVX2_H
#define LINALG_KERNELS_RM_UPDATE_AVX2_H

#include "kernels/asm_tile.h"
#include "kernels/kernels.h"

#if !defined(__AVX2__) || defined(__FMA__) || defined(__AVX512F__)
#error "rm_update_avx2.h is for the AVX2 table, built with -mavx2 -mno-fma"
#endif

namespace linalg {
namespace {

namespace rm68 {

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
struct tile {
    static constexpr idx MR = 6, NR = 8;
    static void kernel(idx kb, const double* g, const double* u, double* c, idx ldc, const double* next);
};
inline void tile::kernel(idx kb, const double* g, const double* u, double* c, idx ldc, const double* next) {
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

} // namespace rm68

} // namespace
} // namespace linalg

#endif
