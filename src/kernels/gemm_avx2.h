// AVX2 matrix product with a 6 x 8 register tile, for processors whose
// vector multiplies and adds issue on separate pipes (separate multiply and
// add then reach the throughput of fused multiply-add). The blocking around
// the tile, and what it guarantees of the bits, is in gemm_blocking.h.
//
// Included only by the AVX2 table (avx2.cpp, built with -mavx2 -mno-fma
// -ffp-contract=off); everything has internal linkage.
// The 12 accumulators, two vectors of B, one broadcast of A and one product
// fill the 16 ymm registers.
#ifndef LINALG_KERNELS_GEMM_AVX2_H
#define LINALG_KERNELS_GEMM_AVX2_H

#include "kernels/asm_tile.h"
#include "kernels/kernels.h"

#if !defined(__AVX2__) || defined(__FMA__)
#error "gemm_avx2.h is for the AVX2 table, built with -mavx2 -mno-fma"
#endif

namespace linalg {
namespace {
namespace gemm {

// C (6 x 8, leading dimension ldc) = (first ? 0.0 : C) + the kc terms of the
// packed micro-panels a (6 x kc, a[p*6 + r]) and b (kc x 8, b[p*8 + j], 32-byte
// aligned). next: C rows of the following tile, prefetched while this one
// computes.
//
// Written in assembly because the compiler, left to schedule the intrinsic
// form, hoists the broadcasts of several k steps and spills accumulators.
// Registers: ymm0-11 the accumulators (row r in ymm2r, ymm2r+1), ymm12-13 the
// two vectors of b, ymm14 the broadcast of a, ymm15 the product. Each term
// is vmulpd (a times b) then vaddpd (accumulator plus product); k is
// unrolled by 4. a and b are walked in rsi and rdi (LINALG_TILE_LOOP_START).
// One k step of the product: b (aligned) times the broadcast of a, added.
#define MUL(V) "vmulpd %%ymm" V ", %%ymm14, %%ymm15\n\t"
#define STEP(A, B) LINALG_TILE_STEP("vmovapd", "b", B, "a", A, MUL, "vaddpd")
struct tile6x8 {
    static constexpr idx MR = 6, NR = 8;
    static void kernel(idx kc, const double* a, const double* b, double* c, idx ldc, bool first, const double* next);
};
inline void tile6x8::kernel(idx kc, const double* a, const double* b, double* c, idx ldc, bool first,
                            const double* next) {
    idx k4 = kc / 4, kr = kc % 4;
    const idx ldcb = ldc * static_cast<idx>(sizeof(double));
    double* c3 = c + 3 * ldc;
    const double* nx3 = next + 3 * ldc;
    const int f = first ? 1 : 0;
    __asm__ volatile(
        "testl %[first], %[first]\n\t"
        "jz 1f\n\t"
        "vxorpd %%ymm0, %%ymm0, %%ymm0\n\t"
        "vxorpd %%ymm1, %%ymm1, %%ymm1\n\t"
        "vxorpd %%ymm2, %%ymm2, %%ymm2\n\t"
        "vxorpd %%ymm3, %%ymm3, %%ymm3\n\t"
        "vxorpd %%ymm4, %%ymm4, %%ymm4\n\t"
        "vxorpd %%ymm5, %%ymm5, %%ymm5\n\t"
        "vxorpd %%ymm6, %%ymm6, %%ymm6\n\t"
        "vxorpd %%ymm7, %%ymm7, %%ymm7\n\t"
        "vxorpd %%ymm8, %%ymm8, %%ymm8\n\t"
        "vxorpd %%ymm9, %%ymm9, %%ymm9\n\t"
        "vxorpd %%ymm10, %%ymm10, %%ymm10\n\t"
        "vxorpd %%ymm11, %%ymm11, %%ymm11\n\t"
        "jmp 2f\n"
        "1:\n\t"
        LINALG_TILE_LOAD_C
        LINALG_TILE_PREFETCH_NEXT
        "2:\n\t"
        "testq %[k4], %[k4]\n\t"
        "jz 4f\n"
        LINALG_TILE_LOOP_START
        "3:\n\t"
        STEP("0", "0")
        STEP("48", "64")
        STEP("96", "128")
        STEP("144", "192")
        "addq $192, %[a]\n\t"
        "addq $256, %[b]\n\t"
        "decq %[k4]\n\t"
        "jnz 3b\n"
        "4:\n\t"
        "testq %[kr], %[kr]\n\t"
        "jz 6f\n"
        "5:\n\t"
        STEP("0", "0")
        "addq $48, %[a]\n\t"
        "addq $64, %[b]\n\t"
        "decq %[kr]\n\t"
        "jnz 5b\n"
        "6:\n\t"
        LINALG_TILE_STORE_C
        : [a] "+S"(a), [b] "+D"(b), [k4] "+r"(k4), [kr] "+r"(kr)
        : [c0] "r"(c), [c3] "r"(c3), [ldc] "r"(ldcb), [first] "r"(f), [nx] "r"(next), [nx3] "r"(nx3)
        : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}
#undef STEP
#undef MUL

} // namespace gemm
} // namespace
} // namespace linalg

#endif
