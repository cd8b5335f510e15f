// The blocked matrix product: one driver for every table, around a register
// tile of MR rows and NR columns of C. The tile is code (a template
// parameter: simd.h's intrinsics tile, gemm_avx2.h's 6 x 8 and
// gemm_avx512vl.h's 12 x 8 assembly tiles); the block sizes come from the
// table the product is called through (kernel_blocking), at run time.
//
// Bits: every output starts at 0.0 and takes its terms A(i, p) * B(p, j)
// one at a time in ascending p, one multiplication then one addition per
// term; the summation index is cut into kc-deep slices taken in ascending
// order, the first starting from 0.0 and the later ones from the partial
// sum stored in C. Lanes hold independent outputs only. So the blocking
// never changes a bit.
//
// Blocking (A's block and one chunk of B on the stack, about 0.5 MB):
//   for each nc-column block of C (the rows of C that each summation slice
//     revisits stay within a bounded width, so their lines and pages stay
//     cached between slices)
//     for each kc-deep slice of the summation index
//       for each mc-row block of A: pack it into MR-row micro-panels, k-major
//         (kept in L2)
//         for each nb-column chunk of B: pack it into NR-column micro-panels,
//           k-major, reading B row by row (one visit per page and chunk: B's
//           rows lie on different pages, and packing one narrow strip at a
//           time would cost a TLB miss per row)
//           for each NR-column micro-panel (kept in L1)
//             for each MR-row micro-panel: the MR x NR tile of C.
// With more than one row block, B's slice would be packed again for every
// block; the product then takes one work block for the whole packed slice
// (packed_slice_bytes), packs each slice once, at the first row block, and
// reuses it for the others. Each call (each thread of a row-split product)
// has its own block; the team product (mm_team) shares one among its
// threads. If work memory is refused the product packs per row block,
// silently: same terms in the same order, so the same bits; only where B's
// panels lie changes.
//
// A tile is a type with
//   static constexpr idx MR, NR;
//   static void kernel(idx kc, const double* a, const double* b, double* c,
//                      idx ldc, bool first, const double* next);
// computing one MR x NR tile of C (leading dimension ldc) from the packed
// micro-panels a (MR x kc, a[p*MR + r]) and b (kc x NR, b[p*NR + j], 64-byte
// aligned when NR is a multiple of 8), starting from 0.0 when first and
// from C otherwise, and free to prefetch the C rows at next.
//
// Included by the instruction-set files (each built with its own target
// options and -ffp-contract=off); everything has internal linkage.
#ifndef LINALG_KERNELS_GEMM_BLOCKING_H
#define LINALG_KERNELS_GEMM_BLOCKING_H

#if defined(__aarch64__)
#include <arm_neon.h>
#else
#include <immintrin.h>
#endif

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

// Room of the stack buffers: a packed block of A (at most 384 KB) and a
// packed chunk of B (at most 128 KB). A table's blocks that do not fit are
// cut to fit (same bits).
constexpr idx kPackA = 192 * 256;
constexpr idx kPackB = 256 * 64;

// The block sizes one call runs with: the table's, cut to what the buffers
// hold and rounded down to whole tiles (at least one).
struct Blocks {
    idx kc, mc, nb, nc;
};
inline idx whole_tiles(idx v, idx cap, idx unit) {
    v = v < cap ? v : cap;
    v = v / unit * unit;
    return v < unit ? unit : v;
}
template <class Tile>
inline Blocks blocks_of(const kernel_blocking& b) {
    static_assert(kPackB / 1024 >= Tile::NR && kPackA / 1024 >= Tile::MR, "buffers hold a tile of the deepest slice");
    Blocks s;
    s.kc = b.kc < 1 ? 1 : b.kc > 1024 ? 1024 : b.kc;
    s.mc = whole_tiles(b.mc, kPackA / s.kc, Tile::MR);
    s.nb = whole_tiles(b.nb, kPackB / s.kc, Tile::NR);
    s.nc = b.nc > 0 ? b.nc : PTRDIFF_MAX;
    return s;
}

// One full micro-panel: rows [0, MR) x columns [0, kc) of A (leading
// dimension lda) k-major, out[p*MR + r] = A(r, p), through register
// transposes (whole-vector loads instead of one per element): with AVX,
// four columns at a time, each 4-row group through a 4 x 4 transpose and a
// 2-row rest through one unpack; with SSE2 or Advanced SIMD, 2 x 2 blocks.
template <idx MR>
inline void pack_a_panel(const double* src, idx lda, idx kc, double* out) {
    static_assert(MR % 2 == 0, "rows come in pairs");
    idx p = 0;
#if defined(__AVX__)
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
#elif defined(__aarch64__)
    for (; p + 2 <= kc; p += 2) {
        double* o = out + p * MR;
        for (idx r = 0; r < MR; r += 2) {
            const float64x2_t a = vld1q_f64(src + r * lda + p), b = vld1q_f64(src + (r + 1) * lda + p);
            vst1q_f64(o + r, vzip1q_f64(a, b));
            vst1q_f64(o + MR + r, vzip2q_f64(a, b));
        }
    }
#else
    for (; p + 2 <= kc; p += 2) {
        double* o = out + p * MR;
        for (idx r = 0; r < MR; r += 2) {
            const __m128d a = _mm_loadu_pd(src + r * lda + p), b = _mm_loadu_pd(src + (r + 1) * lda + p);
            _mm_storeu_pd(o + r, _mm_unpacklo_pd(a, b));
            _mm_storeu_pd(o + MR + r, _mm_unpackhi_pd(a, b));
        }
    }
#endif
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
// ceil(nc / NR) micro-panels of kc x NR, k-major, one after the other;
// columns past nc are zero. B is read row by row, so that each of its pages
// is visited once per chunk rather than once per micro-panel.
template <idx NR>
inline void pack_b(const double* B, idx ldb, idx kc, idx nc, double* out) {
    const idx full = nc / NR, rest = nc % NR;
    for (idx p = 0; p < kc; ++p) {
        const double* src = B + p * ldb;
        double* dst = out + p * NR;
        for (idx q = 0; q < full; ++q) __builtin_memcpy(dst + q * kc * NR, src + q * NR, NR * sizeof(double));
        if (rest) {
            double* d = dst + full * kc * NR;
            idx j = 0;
            for (; j < rest; ++j) d[j] = src[full * NR + j];
            for (; j < NR; ++j) d[j] = 0.0;
        }
    }
}

// The tiles of one packed block: rows [0, mc) of the packed A block Ap
// times the nb columns of B's packed micro-panels at Bc, into C (its
// top-left corner, leading dimension ldc); edge tiles go through a buffer.
template <class Tile>
inline void block_tiles(idx mc, idx nb, idx kc, const double* Ap, const double* Bc, double* C, idx ldc, bool first) {
    constexpr idx MR = Tile::MR, NR = Tile::NR;
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
                Tile::kernel(kc, Ap + ir * kc, b, c, ldc, first, next);
            else
                on_edge_tile<MR, NR>(c, ldc, mr, nr, !first, [&](double* t, idx ldt) {
                    Tile::kernel(kc, Ap + ir * kc, b, t, ldt, first, t);
                });
        }
    }
}

// One row block of one slice, the step both mm_rows and mm_team are made
// of: rows [0, mc) of A's slice (leading dimension lda) packed into Ap, then
// times each nb-column chunk of the slice's cols columns, whose packed
// micro-panels chunk(jc, nb) supplies, into C (leading dimension ldc).
template <class Tile, class Chunk>
inline void row_block(const Blocks& s, idx mc, idx cols, idx kc, const double* A, idx lda, double* Ap, Chunk chunk,
                      double* C, idx ldc, bool first) {
    pack_a<Tile::MR>(A, lda, mc, kc, Ap);
    for (idx jc = 0; jc < cols; jc += s.nb) {
        const idx nb = cols - jc < s.nb ? cols - jc : s.nb;
        block_tiles<Tile>(mc, nb, kc, Ap, chunk(jc, nb), C + jc, ldc, first);
    }
}

// The table's mm_rows: rows r0 .. r1-1 of X = A (n x k) * B (k x m). Bs
// (room for a packed slice of B, 64-byte aligned) is shared by the row
// blocks of a slice; without it B's chunks are packed again for every row
// block.
template <class Tile>
void mm_rows(const kernel_blocking& b, const double* A, idx k, const double* B, idx m, double* X, idx r0, idx r1) {
    const idx rows = r1 - r0;
    if (rows <= 0 || m <= 0) return;
    A += r0 * k;
    X += r0 * m;
    if (k <= 0) {
        for (idx i = 0; i < rows * m; ++i) X[i] = 0.0;
        return;
    }
    const Blocks s = blocks_of<Tile>(b);
    void* block = nullptr;
    double* Bs = nullptr;
    if (rows > s.mc) {
        const std::size_t bytes = packed_slice_bytes(b, k, m);
        if (bytes != 0) block = work_alloc(bytes);
        if (block) Bs = align64(block);
    }
    alignas(64) double Ap[kPackA];
    alignas(64) double Bp[kPackB];
    for (idx j0 = 0; j0 < m; j0 += s.nc) {
        const idx cols = m - j0 < s.nc ? m - j0 : s.nc;
        for (idx pc = 0; pc < k; pc += s.kc) {
            const idx kc = k - pc < s.kc ? k - pc : s.kc;
            const double* Bk = B + pc * m + j0;
            for (idx ic = 0; ic < rows; ic += s.mc) {
                const idx mc = rows - ic < s.mc ? rows - ic : s.mc;
                // Chunk jc's micro-panels: packed at the first row block
                // into the slice buffer (chunk offsets are multiples of NR,
                // so its panels follow one another as in Bp), or into Bp
                // for every block.
                auto chunk = [&](idx jc, idx nb) -> const double* {
                    double* dst = Bs ? Bs + jc * kc : Bp;
                    if (!Bs || ic == 0) pack_b<Tile::NR>(Bk + jc, m, kc, nb, dst);
                    return dst;
                };
                row_block<Tile>(s, mc, cols, kc, A + ic * k + pc, k, Ap, chunk, X + ic * m + j0, m, pc == 0);
            }
        }
    }
    work_free(block);
}

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
// [lo, hi): a half of the rows left in whole micro-panels, at least two
// micro-panels and at most one packed block of A (MC rows), so the range
// ends on small chunks. Returns the chunk's length (0: nothing left) and its
// first row in *r0.
template <idx MR>
inline idx take_front(team_range& r, idx MC, idx* r0) {
    std::uint64_t v = r.rows.load(std::memory_order_relaxed);
    for (;;) {
        const idx lo = range_lo(v), hi = range_hi(v);
        if (lo >= hi) return 0;
        idx c = half_in_panels<MR>(hi - lo);
        c = c < 2 * MR ? 2 * MR : c;
        c = c > MC ? MC : c;
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
// arguments (Bs: room for a packed slice of B, packed_slice_bytes, 64-byte
// aligned; team->range: T ranges). For each slice of B:
//   a barrier: nobody works on the previous slice any more; thread t sets
//     its range to its static block of rows and packs chunks t, t + T, ...
//     of the slice;
//   a barrier: the slice is packed and every range set;
//   thread t runs its range chunk by chunk (take_front), then takes over
//     rows of threads still busy (take_over), so that a thread slowed by
//     another program on its core does fewer.
// Each chunk of rows is one row_block, as in mm_rows: every tile takes the
// same terms in the same order whichever thread runs it, so the bits are
// the same.
template <class Tile>
void mm_team(const kernel_blocking& b, const double* A, idx k, const double* B, idx m, double* X, idx n, double* Bs,
             int t, int T, team_rows* team) {
    constexpr idx MR = Tile::MR;
    const Blocks s = blocks_of<Tile>(b);
    alignas(64) double Ap[kPackA];
    team_range& own = team->range[t];
    const idx panels = (n + MR - 1) / MR;  // static blocks of whole micro-panels
    const idx lo = std::min(n, panels / T * t + std::min<idx>(t, panels % T)) * MR;
    const idx hi = std::min(n, (panels / T * (t + 1) + std::min<idx>(t + 1, panels % T)) * MR);
    for (idx j0 = 0; j0 < m; j0 += s.nc) {
        const idx cols = m - j0 < s.nc ? m - j0 : s.nc;
        for (idx pc = 0; pc < k; pc += s.kc) {
            const idx kc = k - pc < s.kc ? k - pc : s.kc;
            team->sync();
            own.rows.store(row_range(lo, hi), std::memory_order_relaxed);
            for (idx jc = t * s.nb; jc < cols; jc += T * s.nb)
                pack_b<Tile::NR>(B + pc * m + j0 + jc, m, kc, cols - jc < s.nb ? cols - jc : s.nb, Bs + jc * kc);
            team->sync();
            auto chunk = [&](idx jc, idx) -> const double* { return Bs + jc * kc; };
            do {
                idx r0 = 0;
                while (const idx mc = take_front<MR>(own, s.mc, &r0))
                    row_block<Tile>(s, mc, cols, kc, A + r0 * k + pc, k, Ap, chunk, X + r0 * m + j0, m, pc == 0);
            } while (take_over<MR>(team->range, t, T));
        }
    }
}

// The product's entries of a table and its blocking, around the tile
// `Tile`; `direct`: the table's bound for the direct path.
template <class Tile>
void set_product(kernel_table& t, idx kc, idx mc, idx nc, idx nb, idx direct) {
    static_assert(Tile::MR % 2 == 0, "micro-panels of row pairs");
    t.mm_rows_fn = mm_rows<Tile>;
    t.mm_team_fn = mm_team<Tile>;
    t.blocking.mr = Tile::MR;
    t.blocking.nr = Tile::NR;
    t.blocking.kc = kc;
    t.blocking.mc = mc;
    t.blocking.nc = nc;
    t.blocking.nb = nb;
    t.blocking.direct_products = direct;
}

} // namespace gemm
} // namespace
} // namespace linalg

#endif
