// Matrix product with a 12 x 8 register tile of 256-bit vectors, for
// processors that execute a 512-bit operation as two 256-bit halves.
// AVX-512VL gives such a tile 32 vector registers: 24 accumulators instead
// of the AVX2 tile's 12 take each pair of B vectors over twice as many rows,
// so each load of B feeds twice as many multiplications. The blocking around
// the tile, and what it guarantees of the bits, is in gemm_blocking.h.
//
// Included only by the AVX-512 table (avx512.cpp, built with AVX-512F/DQ/
// BW/VL and -ffp-contract=off); everything has internal linkage.
#ifndef LINALG_KERNELS_GEMM_AVX512VL_H
#define LINALG_KERNELS_GEMM_AVX512VL_H

#include "kernels/kernels.h"

#if !defined(__AVX512VL__)
#error "gemm_avx512vl.h is for the AVX-512 table"
#endif

namespace linalg {
namespace {
namespace gemm {

// Registers: the accumulators of row r in the pair below (ymm0-14 and
// ymm16-24), the two vectors of b in ymm29-30, the broadcast of a in ymm15
// (a VEX register: a broadcast into ymm16-31 needs the EVEX form, which
// some processors issue at a lower rate), the product
// in ymm31. Each term is vmulpd (broadcast of a times b, a the first source
// as in the plain loop, so that of two NaNs a's comes through) then vaddpd
// (accumulator plus product). k is unrolled by 4.
#define LINALG_T12_ROWS(OP, ARG)                                                                              \
    OP(ARG, 0, "0", "1") OP(ARG, 8, "2", "3") OP(ARG, 16, "4", "5") OP(ARG, 24, "6", "7")                    \
    OP(ARG, 32, "8", "9") OP(ARG, 40, "10", "11") OP(ARG, 48, "12", "13") OP(ARG, 56, "14", "16")            \
    OP(ARG, 64, "17", "18") OP(ARG, 72, "19", "20") OP(ARG, 80, "21", "22") OP(ARG, 88, "23", "24")
#define LINALG_T12_TERM(AOFF, ROFF, LO, HI)                                                                   \
    "vbroadcastsd " #AOFF "+" #ROFF "(%[a]), %%ymm15\n\t"                                                     \
    "vmulpd %%ymm29, %%ymm15, %%ymm31\n\t"                                                                    \
    "vaddpd %%ymm31, %%ymm" LO ", %%ymm" LO "\n\t"                                                            \
    "vmulpd %%ymm30, %%ymm15, %%ymm31\n\t"                                                                    \
    "vaddpd %%ymm31, %%ymm" HI ", %%ymm" HI "\n\t"
#define LINALG_T12_STEP(AOFF, BOFF)                                                                           \
    "vmovapd " #BOFF "(%[b]), %%ymm29\n\t"                                                                    \
    "vmovapd " #BOFF "+32(%[b]), %%ymm30\n\t" LINALG_T12_ROWS(LINALG_T12_TERM, AOFF)
// Row by row through C with the pointer p (row stride ldc bytes).
#define LINALG_T12_LOAD(ARG, ROFF, LO, HI)                                                                    \
    "vmovupd (%[p]), %%ymm" LO "\n\t" "vmovupd 32(%[p]), %%ymm" HI "\n\t" "addq %[ldc], %[p]\n\t"
#define LINALG_T12_STORE(ARG, ROFF, LO, HI)                                                                   \
    "vmovupd %%ymm" LO ", (%[p])\n\t" "vmovupd %%ymm" HI ", 32(%[p])\n\t" "addq %[ldc], %[p]\n\t"
#define LINALG_T12_PREFETCH(ARG, ROFF, LO, HI) "prefetcht0 (%[p])\n\t" "prefetcht0 56(%[p])\n\t" "addq %[ldc], %[p]\n\t"
#define LINALG_T12_ZERO(ARG, ROFF, LO, HI) "vxorpd %%ymm" LO ", %%ymm" LO ", %%ymm" LO "\n\t" "vxorpd %%ymm" HI ", %%ymm" HI ", %%ymm" HI "\n\t"

struct tile12x8 {
    static constexpr idx MR = 12, NR = 8;
    static void kernel(idx kc, const double* a, const double* b, double* c, idx ldc, bool first, const double* next);
};
inline void tile12x8::kernel(idx kc, const double* a, const double* b, double* c, idx ldc, bool first,
                            const double* next) {
    idx k4 = kc / 4, kr = kc % 4;
    const idx ldcb = ldc * static_cast<idx>(sizeof(double));
    const int f = first ? 1 : 0;
    double* p;
    __asm__ volatile(
        "testl %[first], %[first]\n\t"
        "jz 1f\n\t"
        LINALG_T12_ROWS(LINALG_T12_ZERO, 0)
        "jmp 2f\n"
        "1:\n\t"
        "movq %[c0], %[p]\n\t"
        LINALG_T12_ROWS(LINALG_T12_LOAD, 0)
        "movq %[nx], %[p]\n\t"
        LINALG_T12_ROWS(LINALG_T12_PREFETCH, 0)
        "2:\n\t"
        "testq %[k4], %[k4]\n\t"
        "jz 4f\n"
        ".p2align 5\n"
        "3:\n\t"
        "prefetcht0 768(%[a])\n\t"
        LINALG_T12_STEP(0, 0)
        "prefetcht0 832(%[a])\n\t"
        LINALG_T12_STEP(96, 64)
        "prefetcht0 896(%[a])\n\t"
        LINALG_T12_STEP(192, 128)
        "prefetcht0 960(%[a])\n\t"
        LINALG_T12_STEP(288, 192)
        "addq $384, %[a]\n\t"
        "addq $256, %[b]\n\t"
        "decq %[k4]\n\t"
        "jnz 3b\n"
        "4:\n\t"
        "testq %[kr], %[kr]\n\t"
        "jz 6f\n"
        "5:\n\t"
        LINALG_T12_STEP(0, 0)
        "addq $96, %[a]\n\t"
        "addq $64, %[b]\n\t"
        "decq %[kr]\n\t"
        "jnz 5b\n"
        "6:\n\t"
        "movq %[c0], %[p]\n\t"
        LINALG_T12_ROWS(LINALG_T12_STORE, 0)
        : [a] "+r"(a), [b] "+r"(b), [k4] "+r"(k4), [kr] "+r"(kr), [p] "=&r"(p)
        : [c0] "r"(c), [ldc] "r"(ldcb), [first] "r"(f), [nx] "r"(next)
        : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22",
          "xmm23", "xmm24", "xmm29", "xmm30", "xmm31");
}
#undef LINALG_T12_ROWS
#undef LINALG_T12_TERM
#undef LINALG_T12_STEP
#undef LINALG_T12_LOAD
#undef LINALG_T12_STORE
#undef LINALG_T12_PREFETCH
#undef LINALG_T12_ZERO

} // namespace gemm
} // namespace
} // namespace linalg

#endif
