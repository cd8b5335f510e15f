// AVX2 matrix product with a 6 x 8 register tile, for processors whose
// vector multiplies and adds issue on separate pipes (separate multiply and
// add then reach the throughput of fused multiply-add).
//
// Included only by the AVX2 table (avx2.cpp, built with -mavx2 -mno-fma
// -ffp-contract=off); everything has internal linkage.
//
// Bits: every output starts at 0.0 and takes its terms A(i, p) * B(p, j)
// one at a time in ascending p, one vmulpd then one vaddpd per term; the
// summation index is cut into KC-deep slices taken in ascending order, the
// first starting from 0.0 and the later ones from the partial sum stored
// in C. Lanes hold independent outputs only.
//
// Blocking (A's block and one chunk of B on the stack, about 0.5 MB):
//   for each KC-deep slice of the summation index
//     for each MC-row block of A: pack it into 6-row micro-panels, k-major
//       (kept in L2)
//       for each NB-column chunk of B: pack it into 8-column micro-panels,
//         k-major, reading B row by row (one visit per page and chunk: B's
//         rows lie on different pages, and packing one narrow strip at a
//         time cost a TLB miss per row)
//         for each 8-column micro-panel (kept in L1)
//           for each 6-row micro-panel: the 6 x 8 tile of C.
// With more than one row block, B's slice would be packed again for every
// block; the product then takes one work block for the whole packed slice
// (KC x cols rounded up to 8, about 4 MB at 2000 columns), packs each slice
// once, at the first row block, and reuses it for the others. Each call
// (each thread of a row-split product) has its own block. If work memory is
// refused the product packs per row block as above, silently: same terms in
// the same order, so the same bits; only where B's panels lie changes.
// The 12 accumulators, two vectors of B, one broadcast of A and one product
// fill the 16 ymm registers.
#ifndef LINALG_KERNELS_GEMM_AVX2_H
#define LINALG_KERNELS_GEMM_AVX2_H

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/work_memory.h"

#include "kernels/asm_tile.h"
#include "kernels/kernels.h"

#if !defined(__AVX2__) || defined(__FMA__)
#error "gemm_avx2.h is for the AVX2 table, built with -mavx2 -mno-fma"
#endif

namespace linalg {
namespace {
namespace gemm6x8 {

constexpr idx MR = 6;
constexpr idx NR = 8;
constexpr idx KC = 256;  // depth of a slice of the summation index
constexpr idx MC = 192;  // rows of a packed block of A (MC x KC: 384 KB, L2)
constexpr idx NB = 64;   // columns of a packed chunk of B (KC x NB: 128 KB)

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
// unrolled by 4.
// One k step of the product: b (aligned) times the broadcast of a, added.
#define MUL(V) "vmulpd %%ymm" V ", %%ymm14, %%ymm15\n\t"
#define STEP(A, B) LINALG_TILE_STEP("vmovapd", "b", B, "a", A, MUL, "vaddpd")
inline void kernel(idx kc, const double* a, const double* b, double* c, idx ldc, bool first, const double* next) {
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
        ".p2align 5\n"
        "3:\n\t"
        "prefetcht0 384(%[a])\n\t"
        STEP("0", "0")
        STEP("48", "64")
        "prefetcht0 448(%[a])\n\t"
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
        : [a] "+r"(a), [b] "+r"(b), [k4] "+r"(k4), [kr] "+r"(kr)
        : [c0] "r"(c), [c3] "r"(c3), [ldc] "r"(ldcb), [first] "r"(f), [nx] "r"(next), [nx3] "r"(nx3)
        : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}
#undef STEP
#undef MUL

// Rows [0, mc) x columns [0, kc) of A (leading dimension lda) as 6-row
// micro-panels, k-major; rows past mc in the last micro-panel are zero.
inline void pack_a(const double* A, idx lda, idx mc, idx kc, double* out) {
    for (idx i = 0; i < mc; i += MR) {
        const idx mr = mc - i < MR ? mc - i : MR;
        const double* src = A + i * lda;
        if (mr == MR) {
            const double *r0 = src, *r1 = src + lda, *r2 = src + 2 * lda, *r3 = src + 3 * lda, *r4 = src + 4 * lda,
                         *r5 = src + 5 * lda;
            for (idx p = 0; p < kc; ++p) {
                out[0] = r0[p], out[1] = r1[p], out[2] = r2[p];
                out[3] = r3[p], out[4] = r4[p], out[5] = r5[p];
                out += MR;
            }
        } else {
            for (idx p = 0; p < kc; ++p) {
                idx r = 0;
                for (; r < mr; ++r) out[r] = src[r * lda + p];
                for (; r < MR; ++r) out[r] = 0.0;
                out += MR;
            }
        }
    }
}

// Rows [0, kc) x columns [0, nc) of B (leading dimension ldb) as
// ceil(nc / 8) micro-panels of kc x 8, k-major, one after the other;
// columns past nc are zero. B is read row by row, so that each of its pages
// is visited once per chunk rather than once per micro-panel.
inline void pack_b(const double* B, idx ldb, idx kc, idx nc, double* out) {
    const idx full = nc / NR, rest = nc % NR;
    for (idx p = 0; p < kc; ++p) {
        const double* src = B + p * ldb;
        double* dst = out + p * NR;
        for (idx q = 0; q < full; ++q) {
            _mm256_store_pd(dst + q * kc * NR, _mm256_loadu_pd(src + q * NR));
            _mm256_store_pd(dst + q * kc * NR + 4, _mm256_loadu_pd(src + q * NR + 4));
        }
        if (rest) {
            double* d = dst + full * kc * NR;
            idx j = 0;
            for (; j < rest; ++j) d[j] = src[full * NR + j];
            for (; j < NR; ++j) d[j] = 0.0;
        }
    }
}

// C (rows x cols, ldc) = A (rows x k, lda) * B (k x cols, ldb); k >= 1.
inline void product(idx rows, idx cols, idx k, const double* A, idx lda, const double* B, idx ldb, double* C,
                    idx ldc) {
    alignas(64) double Ap[MC * KC];
    alignas(64) double Bp[KC * NB];
    alignas(64) double tile[MR * NR];  // edge tiles of C
    // The whole packed slice of B, when several row blocks share it.
    void* block = nullptr;
    double* Bs = nullptr;
    if (rows > MC) {
        const idx kmax = k < KC ? k : KC;
        const idx width = (cols + NR - 1) / NR * NR;
        const std::size_t bytes = work_bytes(kmax, width, sizeof(double));
        if (bytes != 0 && bytes <= SIZE_MAX - 64) block = work_alloc(bytes + 64);
        if (block) {
            const std::uintptr_t at = (reinterpret_cast<std::uintptr_t>(block) + 63) & ~static_cast<std::uintptr_t>(63);
            Bs = reinterpret_cast<double*>(at);
        }
    }
    for (idx pc = 0; pc < k; pc += KC) {
        const idx kc = k - pc < KC ? k - pc : KC;
        const bool first = pc == 0;
        for (idx ic = 0; ic < rows; ic += MC) {
            const idx mc = rows - ic < MC ? rows - ic : MC;
            pack_a(A + ic * lda + pc, lda, mc, kc, Ap);
            for (idx jc = 0; jc < cols; jc += NB) {
                const idx nb = cols - jc < NB ? cols - jc : NB;
                // Chunk jc's micro-panels: packed at the first row block
                // into the slice buffer (chunk offsets are multiples of 8,
                // so its panels follow one another as in Bp), or into Bp
                // for every block.
                const double* Bc;
                if (Bs) {
                    double* dst = Bs + jc * kc;
                    if (ic == 0) pack_b(B + pc * ldb + jc, ldb, kc, nb, dst);
                    Bc = dst;
                } else {
                    pack_b(B + pc * ldb + jc, ldb, kc, nb, Bp);
                    Bc = Bp;
                }
                for (idx jr = 0; jr < nb; jr += NR) {
                    const idx nr = nb - jr < NR ? nb - jr : NR;
                    const double* b = Bc + jr * kc;
                    for (idx ir = 0; ir < mc; ir += MR) {
                        const idx mr = mc - ir < MR ? mc - ir : MR;
                        double* c = C + (ic + ir) * ldc + jc + jr;
                        // The following tile: next micro-panel, else the
                        // next strip's first one.
                        const double* next = ir + 2 * MR <= mc ? c + MR * ldc : C + ic * ldc + jc + jr + NR;
                        if (mr == MR && nr == NR) {
                            kernel(kc, Ap + ir * kc, b, c, ldc, first, next);
                        } else {
                            if (!first)
                                for (idx r = 0; r < mr; ++r)
                                    for (idx q = 0; q < nr; ++q) tile[r * NR + q] = c[r * ldc + q];
                            kernel(kc, Ap + ir * kc, b, tile, NR, first, tile);
                            for (idx r = 0; r < mr; ++r)
                                for (idx q = 0; q < nr; ++q) c[r * ldc + q] = tile[r * NR + q];
                        }
                    }
                }
            }
        }
    }
    work_free(block);
}

} // namespace gemm6x8
} // namespace
} // namespace linalg

#endif
