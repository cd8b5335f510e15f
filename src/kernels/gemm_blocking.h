// Blocked matrix product around a register tile of MR rows and 8 columns
// (the tile's assembly lives with its instruction set: gemm_avx2.h for the
// 6 x 8 AVX2 tile, gemm_avx512vl.h for the 12 x 8 one that needs the 32
// registers of AVX-512VL).
//
// Bits: every output starts at 0.0 and takes its terms A(i, p) * B(p, j)
// one at a time in ascending p, one vmulpd then one vaddpd per term; the
// summation index is cut into KC-deep slices taken in ascending order, the
// first starting from 0.0 and the later ones from the partial sum stored
// in C. Lanes hold independent outputs only.
//
// Blocking (A's block and one chunk of B on the stack, about 0.5 MB):
//   for each KC-deep slice of the summation index
//     for each MC-row block of A: pack it into MR-row micro-panels, k-major
//       (kept in L2)
//       for each NB-column chunk of B: pack it into 8-column micro-panels,
//         k-major, reading B row by row (one visit per page and chunk: B's
//         rows lie on different pages, and packing one narrow strip at a
//         time cost a TLB miss per row)
//         for each 8-column micro-panel (kept in L1)
//           for each MR-row micro-panel: the MR x 8 tile of C.
// With more than one row block, B's slice would be packed again for every
// block; the product then takes one work block for the whole packed slice
// (KC x cols rounded up to 8: at most 2 MB, as wider products run in column
// blocks of NC = 1024), packs each slice once, at the first row block, and
// reuses it for the others. Each call
// (each thread of a row-split product) has its own block. If work memory is
// refused the product packs per row block as above, silently: same terms in
// the same order, so the same bits; only where B's panels lie changes.
//
// Included by the AVX2 and AVX-512 tables (built with -ffp-contract=off);
// everything has internal linkage.
#ifndef LINALG_KERNELS_GEMM_BLOCKING_H
#define LINALG_KERNELS_GEMM_BLOCKING_H

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/work_memory.h"

#include "kernels/edge_tile.h"
#include "kernels/kernels.h"

namespace linalg {
namespace {
namespace gemm {

constexpr idx NR = 8;
constexpr idx KC = 256;  // depth of a slice of the summation index
constexpr idx MC = 192;  // rows of a packed block of A (MC x KC: 384 KB, L2)
constexpr idx NB = 64;   // columns of a packed chunk of B (KC x NB: 128 KB)
// Columns of C per product call: wider products run as column blocks, one
// after the other, so that the rows of C each summation slice revisits stay
// within a bounded width (their lines and pages stay cached between slices).
constexpr idx NC = 1024;

// One full micro-panel: rows [0, MR) x columns [0, kc) of A (leading
// dimension lda) k-major, out[p*MR + r] = A(r, p). Four columns at a time,
// each 4-row group through a 4 x 4 register transpose and a 2-row rest
// through one unpack (whole-vector loads instead of one per element).
template <idx MR>
inline void pack_a_panel(const double* src, idx lda, idx kc, double* out) {
    static_assert(MR % 2 == 0, "rows come in pairs");
    idx p = 0;
    for (; p + 4 <= kc; p += 4) {
        double* o = out + p * MR;
        idx r = 0;
        for (; r + 4 <= MR; r += 4) {
            const double* s = src + r * lda + p;
            const __m256d t0 = _mm256_unpacklo_pd(_mm256_loadu_pd(s), _mm256_loadu_pd(s + lda));
            const __m256d t1 = _mm256_unpackhi_pd(_mm256_loadu_pd(s), _mm256_loadu_pd(s + lda));
            const __m256d t2 = _mm256_unpacklo_pd(_mm256_loadu_pd(s + 2 * lda), _mm256_loadu_pd(s + 3 * lda));
            const __m256d t3 = _mm256_unpackhi_pd(_mm256_loadu_pd(s + 2 * lda), _mm256_loadu_pd(s + 3 * lda));
            _mm256_storeu_pd(o + r, _mm256_permute2f128_pd(t0, t2, 0x20));
            _mm256_storeu_pd(o + MR + r, _mm256_permute2f128_pd(t1, t3, 0x20));
            _mm256_storeu_pd(o + 2 * MR + r, _mm256_permute2f128_pd(t0, t2, 0x31));
            _mm256_storeu_pd(o + 3 * MR + r, _mm256_permute2f128_pd(t1, t3, 0x31));
        }
        if (r < MR) {
            const double* s = src + r * lda + p;
            const __m256d t0 = _mm256_unpacklo_pd(_mm256_loadu_pd(s), _mm256_loadu_pd(s + lda));
            const __m256d t1 = _mm256_unpackhi_pd(_mm256_loadu_pd(s), _mm256_loadu_pd(s + lda));
            _mm_storeu_pd(o + r, _mm256_castpd256_pd128(t0));
            _mm_storeu_pd(o + MR + r, _mm256_castpd256_pd128(t1));
            _mm_storeu_pd(o + 2 * MR + r, _mm256_extractf128_pd(t0, 1));
            _mm_storeu_pd(o + 3 * MR + r, _mm256_extractf128_pd(t1, 1));
        }
    }
    for (; p < kc; ++p)
        for (idx r = 0; r < MR; ++r) out[p * MR + r] = src[r * lda + p];
}

// Rows [0, mc) x columns [0, kc) of A (leading dimension lda) as MR-row
// micro-panels, k-major; rows past mc in the last micro-panel are zero.
template <idx MR>
inline void pack_a(const double* A, idx lda, idx mc, idx kc, double* out) {
    for (idx i = 0; i < mc; i += MR) {
        const idx mr = mc - i < MR ? mc - i : MR;
        const double* src = A + i * lda;
        if (mr == MR) {
            pack_a_panel<MR>(src, lda, kc, out);
            out += MR * kc;
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
// MR rows per register tile (MC a multiple of it); kernel(kc, a, b, c, ldc,
// first, next) computes one MR x 8 tile of C from the packed micro-panels a
// (MR x kc, a[p*MR + r]) and b (kc x 8, b[p*8 + j], 32-byte aligned),
// starting from 0.0 when first and from C otherwise, and prefetches the C
// rows at next. Bs: room for a whole packed slice of B (KC x cols rounded up
// to 8, 64-byte aligned), shared by the row blocks; nullptr packs B's chunks
// again for every row block.
using TileKernel = void (*)(idx kc, const double* a, const double* b, double* c, idx ldc, bool first,
                            const double* next);

// The tiles of one packed block: rows [0, mc) of the packed A block Ap
// times the nb columns of B's packed micro-panels at Bc, into C (its
// top-left corner, leading dimension ldc); edge tiles go through a buffer.
template <idx MR, TileKernel kernel>
inline void block_tiles(idx mc, idx nb, idx kc, const double* Ap, const double* Bc, double* C, idx ldc, bool first) {
    for (idx jr = 0; jr < nb; jr += NR) {
        const idx nr = nb - jr < NR ? nb - jr : NR;
        const double* b = Bc + jr * kc;
        for (idx ir = 0; ir < mc; ir += MR) {
            const idx mr = mc - ir < MR ? mc - ir : MR;
            double* c = C + ir * ldc + jr;
            // The following tile: next micro-panel, else the next strip's
            // first one.
            const double* next = ir + 2 * MR <= mc ? c + MR * ldc : C + jr + NR;
            if (mr == MR && nr == NR)
                kernel(kc, Ap + ir * kc, b, c, ldc, first, next);
            else
                on_edge_tile<MR, NR>(c, ldc, mr, nr, !first, [&](double* t, idx ldt) {
                    kernel(kc, Ap + ir * kc, b, t, ldt, first, t);
                });
        }
    }
}
template <idx MR, TileKernel kernel>
inline void product(idx rows, idx cols, idx k, const double* A, idx lda, const double* B, idx ldb, double* C,
                    idx ldc, double* Bs) {
    alignas(64) double Ap[MC * KC];
    alignas(64) double Bp[KC * NB];
    static_assert(MC % MR == 0, "row blocks hold whole micro-panels");
    for (idx pc = 0; pc < k; pc += KC) {
        const idx kc = k - pc < KC ? k - pc : KC;
        const bool first = pc == 0;
        for (idx ic = 0; ic < rows; ic += MC) {
            const idx mc = rows - ic < MC ? rows - ic : MC;
            pack_a<MR>(A + ic * lda + pc, lda, mc, kc, Ap);
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
                block_tiles<MR, kernel>(mc, nb, kc, Ap, Bc, C + ic * ldc + jc, ldc, first);
            }
        }
    }
}

// The kernel table's mm_rows on top of product: rows r0 .. r1-1 of
// X = A (n x k) * B (k x m). An empty summation index (zeros) goes to
// fallback, the common code.
template <idx MR, TileKernel kernel, void (*fallback)(const double*, idx, const double*, idx, double*, idx, idx)>
void mm_rows(const double* A, idx k, const double* B, idx m, double* X, idx r0, idx r1) {
    if (k <= 0 || m <= 0 || r1 <= r0) {
        fallback(A, k, B, m, X, r0, r1);
        return;
    }
    const idx rows = r1 - r0;
    // The packed slice of B shared by the row blocks (one block serves every
    // column block).
    void* block = nullptr;
    double* Bs = nullptr;
    if (rows > MC) {
        const std::size_t bytes = packed_slice_bytes(k, m);
        if (bytes != 0) block = work_alloc(bytes);
        if (block) Bs = align64(block);
    }
    for (idx j0 = 0; j0 < m; j0 += NC)
        product<MR, kernel>(rows, m - j0 < NC ? m - j0 : NC, k, A + r0 * k, k, B + j0, m, X + r0 * m + j0, m, Bs);
    work_free(block);
}

// The product's entries of a table, around the MR x 8 tile `kernel`.
// `direct`: the table's bound for the direct path (kernel_blocking).
template <idx MR, TileKernel kernel>
void set_product(kernel_table& t, idx direct);

inline std::uint64_t row_range(idx lo, idx hi) {
    return static_cast<std::uint64_t>(lo) << 32 | static_cast<std::uint64_t>(hi);
}
inline idx range_lo(std::uint64_t v) { return static_cast<idx>(v >> 32); }
inline idx range_hi(std::uint64_t v) { return static_cast<idx>(v & 0xffffffffu); }

// Half of `rows`, rounded up to whole micro-panels.
template <idx MR>
inline idx half_in_panels(idx rows) {
    return (rows / 2 + MR - 1) / MR * MR;
}

// Takes the next chunk of rows from the front of range r, whose rows are
// [lo, hi): a half of the rows left in whole micro-panels, at most one
// packed block of A and at least two micro-panels, so the range ends on
// small chunks. Returns the chunk's length (0: nothing left) and its first
// row in *r0.
template <idx MR>
inline idx take_front(team_range& r, idx* r0) {
    std::uint64_t v = r.rows.load(std::memory_order_relaxed);
    for (;;) {
        const idx lo = range_lo(v), hi = range_hi(v);
        if (lo >= hi) return 0;
        idx c = half_in_panels<MR>(hi - lo);
        c = c < 2 * MR ? 2 * MR : c > MC ? MC : c;
        if (c > hi - lo) c = hi - lo;
        if (r.rows.compare_exchange_weak(v, row_range(lo + c, hi), std::memory_order_relaxed)) {
            *r0 = lo;
            return c;
        }
    }
}

// For a thread whose own range is empty: takes the back half of the rows
// left in the fullest other range and makes it the thread's own range.
// Returns false when no rows are left anywhere.
template <idx MR>
inline bool take_over(team_range* range, int t, int T) {
    for (;;) {
        int victim = -1;
        idx most = 0;
        std::uint64_t seen = 0;
        for (int u = 0; u < T; ++u) {
            const std::uint64_t v = range[u].rows.load(std::memory_order_relaxed);
            const idx left = range_hi(v) - range_lo(v);
            if (u != t && left > most) victim = u, most = left, seen = v;
        }
        if (victim < 0) return false;
        const idx lo = range_lo(seen), hi = range_hi(seen);
        const idx s = most <= 2 * MR ? most : half_in_panels<MR>(most);
        if (range[victim].rows.compare_exchange_strong(seen, row_range(lo, hi - s), std::memory_order_relaxed)) {
            range[t].rows.store(row_range(hi - s, hi), std::memory_order_relaxed);
            return true;
        }
    }
}

// The kernel table's mm_team: X (n x m) = A (n x k) * B (k x m), k >= 1,
// m >= 1, by thread t of a team of T that all call it with the same
// arguments (Bs: room for a packed slice of B, KC x min(m, NC) rounded up to
// 8 columns, 64-byte aligned; team->range: T ranges). For each slice of B:
//   a barrier: nobody works on the previous slice any more; thread t sets
//     its range to its static block of rows and packs chunks t, t + T, ...
//     of the slice;
//   a barrier: the slice is packed and every range set;
//   thread t runs its range chunk by chunk (take_front), then takes over
//     rows of threads still busy (take_over), so that a thread slowed by
//     another program on its core does fewer.
// Every tile takes the same terms in the same order as in mm_rows,
// whichever thread runs it, so the bits are the same.
template <idx MR, TileKernel kernel>
void mm_team(const double* A, idx k, const double* B, idx m, double* X, idx n, double* Bs, int t, int T,
             team_rows* team) {
    alignas(64) double Ap[MC * KC];
    team_range& own = team->range[t];
    const idx panels = (n + MR - 1) / MR;  // static blocks of whole micro-panels
    const idx lo = std::min(n, panels / T * t + std::min<idx>(t, panels % T)) * MR;
    const idx hi = std::min(n, (panels / T * (t + 1) + std::min<idx>(t + 1, panels % T)) * MR);
    for (idx j0 = 0; j0 < m; j0 += NC) {
        const idx cols = m - j0 < NC ? m - j0 : NC;
        for (idx pc = 0; pc < k; pc += KC) {
            const idx kc = k - pc < KC ? k - pc : KC;
            team->sync();
            own.rows.store(row_range(lo, hi), std::memory_order_relaxed);
            for (idx jc = t * NB; jc < cols; jc += T * NB)
                pack_b(B + pc * m + j0 + jc, m, kc, cols - jc < NB ? cols - jc : NB, Bs + jc * kc);
            team->sync();
            do {
                idx r0 = 0;
                while (const idx mc = take_front<MR>(own, &r0)) {
                    pack_a<MR>(A + r0 * k + pc, k, mc, kc, Ap);
                    for (idx jc = 0; jc < cols; jc += NB)
                        block_tiles<MR, kernel>(mc, cols - jc < NB ? cols - jc : NB, kc, Ap, Bs + jc * kc,
                                                X + r0 * m + j0 + jc, m, pc == 0);
                }
            } while (take_over<MR>(team->range, t, T));
        }
    }
}

template <idx MR, TileKernel kernel>
void set_product(kernel_table& t, idx direct) {
    t.blocking.direct_products = direct;
    t.mm_rows = mm_rows<MR, kernel, mm_rows_impl>;
    t.mm_team = mm_team<MR, kernel>;
    t.blocking.mr = MR;
    t.blocking.nr = NR;
    t.blocking.kc = KC;
    t.blocking.mc = MC;
    t.blocking.nc = NC;
}

} // namespace gemm
} // namespace
} // namespace linalg

#endif
