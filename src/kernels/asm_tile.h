// Pieces of the 6 x 8 assembly tiles shared by the AVX2 product and row
// update (gemm_avx2.h, rm_update_avx2.h). Both keep the tile of C in
// ymm0-11 (row r in ymm2r, ymm2r+1), the two vectors of the k step in
// ymm12-13, the broadcast scalar in ymm14 and the product in ymm15; the
// extended-asm operands are c0 and c3 (rows 0 and 3 of C), ldc (row stride
// in bytes), nx and nx3 (rows 0 and 3 of the tile to prefetch).
#ifndef LINALG_KERNELS_ASM_TILE_H
#define LINALG_KERNELS_ASM_TILE_H

// Where the k loop of both tiles starts: 51 bytes past a 64-byte boundary,
// so that the loop's instructions fall into the processor's fetch windows
// the same way on every build (the loop's bytes are fixed, because both
// kernels pin the registers the loop addresses through: rsi, rdi). The loop
// has no software prefetch: its packed operands are sequential streams the
// hardware prefetcher follows. The chosen offset and its measurement are in
// docs/performance.md; a change to either loop's instructions needs the
// start chosen again.
#define LINALG_TILE_LOOP_START ".p2align 6\n\t.nops 51\n"

#define LINALG_TILE_ROWS_(OP, R0, R1, R2, R3, R4, R5) \
    OP(R0, "0", "1") OP(R1, "2", "3") OP(R2, "4", "5") OP(R3, "6", "7") OP(R4, "8", "9") OP(R5, "10", "11")

#define LINALG_TILE_LOAD_ROW_(ADDR, LO, HI) \
    "vmovupd " ADDR ", %%ymm" LO "\n\t" "vmovupd 32" ADDR ", %%ymm" HI "\n\t"
#define LINALG_TILE_STORE_ROW_(ADDR, LO, HI) \
    "vmovupd %%ymm" LO ", " ADDR "\n\t" "vmovupd %%ymm" HI ", 32" ADDR "\n\t"
#define LINALG_TILE_PREFETCH_ROW_(ADDR, LO, HI) "prefetcht0 " ADDR "\n\t" "prefetcht0 56" ADDR "\n\t"

#define LINALG_TILE_C_ROWS_(OP, P0, P3)                                                                        \
    LINALG_TILE_ROWS_(OP, "(%[" P0 "])", "(%[" P0 "],%[ldc],1)", "(%[" P0 "],%[ldc],2)", "(%[" P3 "])",       \
                      "(%[" P3 "],%[ldc],1)", "(%[" P3 "],%[ldc],2)")

// The tile of C into ymm0-11, back from them, and the next tile's rows
// (both halves of each) into the cache.
#define LINALG_TILE_LOAD_C LINALG_TILE_C_ROWS_(LINALG_TILE_LOAD_ROW_, "c0", "c3")
#define LINALG_TILE_STORE_C LINALG_TILE_C_ROWS_(LINALG_TILE_STORE_ROW_, "c0", "c3")
#define LINALG_TILE_PREFETCH_NEXT LINALG_TILE_C_ROWS_(LINALG_TILE_PREFETCH_ROW_, "nx", "nx3")

// One k step: the two vectors at VOFF(VB) and VOFF+32(VB) into ymm12-13, and
// for each row r the scalar at SOFF+8r(SB) broadcast, multiplied with both
// (MUL("12"), MUL("13") write ymm15) and applied to the row's accumulators
// with OP (vaddpd or vsubpd: accumulator op product).
#define LINALG_TILE_STEP_ROW_(MUL, OP, SCALAR, LO, HI)                                                      \
    "vbroadcastsd " SCALAR ", %%ymm14\n\t" MUL("12") OP " %%ymm15, %%ymm" LO ", %%ymm" LO "\n\t" MUL("13") OP \
    " %%ymm15, %%ymm" HI ", %%ymm" HI "\n\t"
#define LINALG_TILE_STEP(LOAD, VB, VOFF, SB, SOFF, MUL, OP)                                                 \
    LOAD " " VOFF "(%[" VB "]), %%ymm12\n\t" LOAD " " VOFF "+32(%[" VB "]), %%ymm13\n\t"                   \
    LINALG_TILE_STEP_ROW_(MUL, OP, SOFF "(%[" SB "])", "0", "1")                                             \
    LINALG_TILE_STEP_ROW_(MUL, OP, SOFF "+8(%[" SB "])", "2", "3")                                           \
    LINALG_TILE_STEP_ROW_(MUL, OP, SOFF "+16(%[" SB "])", "4", "5")                                          \
    LINALG_TILE_STEP_ROW_(MUL, OP, SOFF "+24(%[" SB "])", "6", "7")                                          \
    LINALG_TILE_STEP_ROW_(MUL, OP, SOFF "+32(%[" SB "])", "8", "9")                                          \
    LINALG_TILE_STEP_ROW_(MUL, OP, SOFF "+40(%[" SB "])", "10", "11")

#endif
