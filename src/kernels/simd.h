// Body of the SIMD kernels, included once by each instruction-set file
// (sse2.cpp, avx2.cpp, avx512.cpp on x86; neon.cpp on aarch64), which compile
// it with their own target options (kernels.cmake): the intrinsics tiles of the product and the
// elimination update (plugged into the one blocked driver of each,
// gemm_blocking.h and rm_blocking.h), the direct product, the
// matrix-vector, element-wise, panel and eigen-solver kernels. Everything here
// has internal linkage, so code built for one instruction set can never be
// picked by the linker for another; for the same reason nothing here calls
// an inline function of the standard library.
//
// Arithmetic rule (see kernels.h): every product term is one vector
// multiplication followed by one vector addition (or subtraction) into the
// running value, in ascending summation index; lanes hold independent
// outputs.
#ifndef LINALG_KERNELS_SIMD_H
#define LINALG_KERNELS_SIMD_H

#include "kernels/edge_tile.h"
#include "kernels/gemm_blocking.h"
#include "kernels/kernels.h"
#include "kernels/panels.h"
#include "kernels/rm_blocking.h"

#include <cstring>
#if defined(__aarch64__)
#include <arm_neon.h>
#else
#include <immintrin.h>
#endif

namespace linalg {
namespace {

#if defined(__AVX512F__)
using vd = __m512d;
constexpr int W = 8;  // doubles per vector
constexpr int MR = 8;  // rows of the product micro-tile
constexpr int NV = 2;  // vectors across the micro-tile (NR = NV * W columns)
inline vd vzero() { return _mm512_setzero_pd(); }
inline vd vload(const double* p) { return _mm512_loadu_pd(p); }
inline void vstore(double* p, vd v) { _mm512_storeu_pd(p, v); }
inline vd vset1(double x) { return _mm512_set1_pd(x); }
inline vd vmul(vd a, vd b) { return _mm512_mul_pd(a, b); }
inline vd vadd(vd a, vd b) { return _mm512_add_pd(a, b); }
inline vd vsub(vd a, vd b) { return _mm512_sub_pd(a, b); }
inline vd vabs(vd a) { return _mm512_abs_pd(a); }
// a > b ? a : b lane by lane (b where either is NaN).
inline vd vmax(vd a, vd b) { return _mm512_max_pd(a, b); }
inline unsigned veq_mask(vd a, vd b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
// The first n (0 < n < W) lanes at p; the others read as 0.0 / left alone.
inline vd vload_part(const double* p, int n) { return _mm512_maskz_loadu_pd(static_cast<__mmask8>((1u << n) - 1), p); }
inline void vstore_part(double* p, vd v, int n) { _mm512_mask_storeu_pd(p, static_cast<__mmask8>((1u << n) - 1), v); }
// Rows x vectors of the direct product's register tile.
constexpr int kDirectRows = 6, kDirectVecs = 4;
// Elimination update tiles: row-major MR x (NV vectors), column-major
// (MV vectors) x NC.
constexpr int kRmRows = 12, kRmVecs = 2, kCmVecs = 2, kCmCols = 8;
// In-register transpose of 8 rows of 8: c[t] lane r = r_in[r] lane t.
inline void transpose(vd* v) {
    const vd t0 = _mm512_unpacklo_pd(v[0], v[1]), t1 = _mm512_unpackhi_pd(v[0], v[1]);
    const vd t2 = _mm512_unpacklo_pd(v[2], v[3]), t3 = _mm512_unpackhi_pd(v[2], v[3]);
    const vd t4 = _mm512_unpacklo_pd(v[4], v[5]), t5 = _mm512_unpackhi_pd(v[4], v[5]);
    const vd t6 = _mm512_unpacklo_pd(v[6], v[7]), t7 = _mm512_unpackhi_pd(v[6], v[7]);
    const vd u0 = _mm512_shuffle_f64x2(t0, t2, 0x88), u1 = _mm512_shuffle_f64x2(t0, t2, 0xDD);
    const vd u2 = _mm512_shuffle_f64x2(t1, t3, 0x88), u3 = _mm512_shuffle_f64x2(t1, t3, 0xDD);
    const vd u4 = _mm512_shuffle_f64x2(t4, t6, 0x88), u5 = _mm512_shuffle_f64x2(t4, t6, 0xDD);
    const vd u6 = _mm512_shuffle_f64x2(t5, t7, 0x88), u7 = _mm512_shuffle_f64x2(t5, t7, 0xDD);
    v[0] = _mm512_shuffle_f64x2(u0, u4, 0x88);
    v[4] = _mm512_shuffle_f64x2(u0, u4, 0xDD);
    v[2] = _mm512_shuffle_f64x2(u1, u5, 0x88);
    v[6] = _mm512_shuffle_f64x2(u1, u5, 0xDD);
    v[1] = _mm512_shuffle_f64x2(u2, u6, 0x88);
    v[5] = _mm512_shuffle_f64x2(u2, u6, 0xDD);
    v[3] = _mm512_shuffle_f64x2(u3, u7, 0x88);
    v[7] = _mm512_shuffle_f64x2(u3, u7, 0xDD);
}
#elif defined(__AVX2__)
using vd = __m256d;
constexpr int W = 4;
constexpr int MR = 4;
constexpr int NV = 2;
inline vd vzero() { return _mm256_setzero_pd(); }
inline vd vload(const double* p) { return _mm256_loadu_pd(p); }
inline void vstore(double* p, vd v) { _mm256_storeu_pd(p, v); }
inline vd vset1(double x) { return _mm256_set1_pd(x); }
inline vd vmul(vd a, vd b) { return _mm256_mul_pd(a, b); }
inline vd vadd(vd a, vd b) { return _mm256_add_pd(a, b); }
inline vd vsub(vd a, vd b) { return _mm256_sub_pd(a, b); }
inline vd vabs(vd a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
inline vd vmax(vd a, vd b) { return _mm256_max_pd(a, b); }
inline unsigned veq_mask(vd a, vd b) {
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_EQ_OQ)));
}
inline __m256i lane_mask(int n) { return _mm256_cmpgt_epi64(_mm256_set1_epi64x(n), _mm256_set_epi64x(3, 2, 1, 0)); }
inline vd vload_part(const double* p, int n) { return _mm256_maskload_pd(p, lane_mask(n)); }
inline void vstore_part(double* p, vd v, int n) { _mm256_maskstore_pd(p, lane_mask(n), v); }
constexpr int kDirectRows = 4, kDirectVecs = 2;
constexpr int kRmRows = 4, kRmVecs = 2, kCmVecs = 2, kCmCols = 4;
inline void transpose(vd* v) {
    const vd t0 = _mm256_unpacklo_pd(v[0], v[1]), t1 = _mm256_unpackhi_pd(v[0], v[1]);
    const vd t2 = _mm256_unpacklo_pd(v[2], v[3]), t3 = _mm256_unpackhi_pd(v[2], v[3]);
    v[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    v[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    v[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    v[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}
#elif defined(__aarch64__)
// Advanced SIMD: 2 doubles per vector, 32 vector registers. The tiles are
// sized so that accumulators, the loaded row of the other operand and the
// broadcast scalars fit the 32 registers (docs/kernels.md): 6 x 8 product
// (24 accumulators, 4 vectors of B), 6 x 4-vector direct product, 6 x 8 row
// update, 8 x 4 column update.
using vd = float64x2_t;
constexpr int W = 2;
constexpr int MR = 6;
constexpr int NV = 4;
inline vd vzero() { return vdupq_n_f64(0.0); }
inline vd vload(const double* p) { return vld1q_f64(p); }
inline void vstore(double* p, vd v) { vst1q_f64(p, v); }
inline vd vset1(double x) { return vdupq_n_f64(x); }
// Separate multiply and add instructions (fmul, fadd): never fmla.
inline vd vmul(vd a, vd b) { return vmulq_f64(a, b); }
inline vd vadd(vd a, vd b) { return vaddq_f64(a, b); }
inline vd vsub(vd a, vd b) { return vsubq_f64(a, b); }
inline vd vabs(vd a) { return vabsq_f64(a); }
// a > b ? a : b lane by lane, b where either is NaN: the rule of x86's
// maxpd, by compare and select (fmax would return the NaN).
inline vd vmax(vd a, vd b) { return vbslq_f64(vcgtq_f64(a, b), a, b); }
inline unsigned veq_mask(vd a, vd b) {
    const uint64x2_t e = vceqq_f64(a, b);
    return static_cast<unsigned>((vgetq_lane_u64(e, 0) & 1u) | ((vgetq_lane_u64(e, 1) & 1u) << 1));
}
inline vd vload_part(const double* p, int) { return vcombine_f64(vld1_f64(p), vdup_n_f64(0.0)); }
inline void vstore_part(double* p, vd v, int) { vst1q_lane_f64(p, v, 0); }
constexpr int kDirectRows = 6, kDirectVecs = 4;
constexpr int kRmRows = 6, kRmVecs = 4, kCmVecs = 4, kCmCols = 4;
inline void transpose(vd* v) {
    const vd t0 = vzip1q_f64(v[0], v[1]), t1 = vzip2q_f64(v[0], v[1]);
    v[0] = t0;
    v[1] = t1;
}
#else
using vd = __m128d;
constexpr int W = 2;
constexpr int MR = 4;
constexpr int NV = 2;
inline vd vzero() { return _mm_setzero_pd(); }
inline vd vload(const double* p) { return _mm_loadu_pd(p); }
inline void vstore(double* p, vd v) { _mm_storeu_pd(p, v); }
inline vd vset1(double x) { return _mm_set1_pd(x); }
inline vd vmul(vd a, vd b) { return _mm_mul_pd(a, b); }
inline vd vadd(vd a, vd b) { return _mm_add_pd(a, b); }
inline vd vsub(vd a, vd b) { return _mm_sub_pd(a, b); }
inline vd vabs(vd a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a); }
inline vd vmax(vd a, vd b) { return _mm_max_pd(a, b); }
inline unsigned veq_mask(vd a, vd b) { return static_cast<unsigned>(_mm_movemask_pd(_mm_cmpeq_pd(a, b))); }
inline vd vload_part(const double* p, int) { return _mm_load_sd(p); }
inline void vstore_part(double* p, vd v, int) { _mm_store_sd(p, v); }
constexpr int kDirectRows = 4, kDirectVecs = 2;
constexpr int kRmRows = 4, kRmVecs = 2, kCmVecs = 2, kCmCols = 4;
inline void transpose(vd* v) {
    const vd t0 = _mm_unpacklo_pd(v[0], v[1]), t1 = _mm_unpackhi_pd(v[0], v[1]);
    v[0] = t0;
    v[1] = t1;
}
#endif

constexpr int NR = NV * W;

inline idx imin(idx a, idx b) { return a < b ? a : b; }

// The solvers' unit of rows (see kernel_blocking): a multiple of every row
// tile of this file and of the 6-row AVX2 tile, so all sets split alike.
constexpr idx kRowUnit = 12;
static_assert(kRowUnit % kRmRows == 0 && kRowUnit % 6 == 0, "whole row tiles per unit");
// Products up to this many multiply-adds take mm_direct (see
// kernel_blocking::direct_products): about where the blocked product with
// this file's tile, packing included, starts to gain on it. The files with
// their own tile set their own bound.
constexpr idx kDirectProducts = W == 8 ? idx{96} * 96 * 96 : idx{48} * 48 * 48;

// ---- matrix product ---------------------------------------------------------

// The product's MR x NR register tile for the blocked driver (gemm_blocking.h):
// C (leading dimension ldc) = (first ? 0.0 : C) + the kc terms of the packed
// micro-panels a (a[p*MR + r]) and b (b[p*NR + j]).
struct simd_tile {
    static constexpr idx MR = linalg::MR, NR = linalg::NR;
    static void kernel(idx kc, const double* a, const double* b, double* c, idx ldc, bool first, const double*) {
        vd acc[MR][NV];
#pragma GCC unroll 16
        for (int r = 0; r < MR; ++r)
#pragma GCC unroll 4
            for (int v = 0; v < NV; ++v) acc[r][v] = first ? vzero() : vload(c + r * ldc + v * W);
        for (idx p = 0; p < kc; ++p) {
            vd bv[NV];
#pragma GCC unroll 4
            for (int v = 0; v < NV; ++v) bv[v] = vload(b + v * W);
#pragma GCC unroll 16
            for (int r = 0; r < MR; ++r) {
                const vd x = vset1(a[r]);
#pragma GCC unroll 4
                for (int v = 0; v < NV; ++v) acc[r][v] = vadd(acc[r][v], vmul(x, bv[v]));
            }
            a += MR;
            b += NR;
        }
#pragma GCC unroll 16
        for (int r = 0; r < MR; ++r)
#pragma GCC unroll 4
            for (int v = 0; v < NV; ++v) vstore(c + r * ldc + v * W, acc[r][v]);
    }
};

// ---- direct product (small orders) --------------------------------------------

// R rows x NV vectors of X (leading dimension m) from the unpacked A (R rows
// of k, leading dimension k) and B (leading dimension m); the last vector
// holds only `part` columns when PART. Each output starts at 0.0 and adds
// A(r, p) * B(p, j) for p ascending, as the plain loop does.
template <int R, int NV, bool PART>
inline void direct_tile(const double* A, idx k, const double* B, idx m, double* X, int part) {
    vd acc[R][NV];
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) acc[r][v] = vzero();
    for (idx p = 0; p < k; ++p) {
        const double* b = B + p * m;
        vd bv[NV];
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) bv[v] = PART && v == NV - 1 ? vload_part(b + v * W, part) : vload(b + v * W);
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) {
            const vd x = vset1(A[r * k + p]);
#pragma GCC unroll 4
            for (int v = 0; v < NV; ++v) acc[r][v] = vadd(acc[r][v], vmul(x, bv[v]));
        }
    }
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 4
        for (int v = 0; v < NV; ++v) {
            if (PART && v == NV - 1)
                vstore_part(X + r * m + v * W, acc[r][v], part);
            else
                vstore(X + r * m + v * W, acc[r][v]);
        }
}

// R whole rows of X: tiles of kDirectVecs vectors, then single vectors, then
// a partial one.
template <int R>
inline void direct_rows(const double* A, idx k, const double* B, idx m, double* X) {
    constexpr idx wide = kDirectVecs * W;
    idx j = 0;
    for (; j + wide <= m; j += wide) direct_tile<R, kDirectVecs, false>(A, k, B + j, m, X + j, 0);
    for (; j + W <= m; j += W) direct_tile<R, 1, false>(A, k, B + j, m, X + j, 0);
    if (j < m) direct_tile<R, 1, true>(A, k, B + j, m, X + j, static_cast<int>(m - j));
}

// The table's mm_direct: rows [r0, r1) of X = A B over the operands in
// place, nothing packed (see kernel_blocking::direct_products).
void mm_direct_impl(const double* A, idx k, const double* B, idx m, double* X, idx r0, idx r1) {
    idx i = r0;
    for (; i + kDirectRows <= r1; i += kDirectRows) direct_rows<kDirectRows>(A + i * k, k, B, m, X + i * m);
    // The rows left over in one tile of their own height.
    static_assert(kDirectRows <= 6, "one case per height");
    switch (r1 - i) {
    case 5: direct_rows<5>(A + i * k, k, B, m, X + i * m); break;
    case 4: direct_rows<4>(A + i * k, k, B, m, X + i * m); break;
    case 3: direct_rows<3>(A + i * k, k, B, m, X + i * m); break;
    case 2: direct_rows<2>(A + i * k, k, B, m, X + i * m); break;
    case 1: direct_rows<1>(A + i * k, k, B, m, X + i * m); break;
    default: break;
    }
}

// ---- matrix times vector ------------------------------------------------------

// Rows [r0, r1) one at a time: the rows below the last whole group.
inline void mv_rows_plain(const double* M, const double* V, idx cols, double* X, idx r0, idx r1) {
    for (idx i = r0; i < r1; ++i) {
        const double* m = M + i * cols;
        double x = 0.0;
        for (idx j = 0; j < cols; ++j) x += m[j] * V[j];
        X[i] = x;
    }
}

#if defined(__AVX2__)
// Columns j and j+1 of four rows (the first at m, row stride ld) as two
// vectors, lane r holding row r: two 128-bit pieces per row pair, one
// unpack per column.
inline void four_rows_two_cols(const double* m, idx ld, __m256d* c0, __m256d* c1) {
    const __m256d a = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(m)), _mm_loadu_pd(m + 2 * ld), 1);
    const __m256d b = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(m + ld)), _mm_loadu_pd(m + 3 * ld), 1);
    *c0 = _mm256_unpacklo_pd(a, b);
    *c1 = _mm256_unpackhi_pd(a, b);
}

// Columns j and j+1 of the G groups' rows, added to acc.
template <int G>
inline void mv_two_cols(const double* M, const double* V, idx cols, idx j, __m256d* acc) {
    const __m256d v0 = _mm256_set1_pd(V[j]), v1 = _mm256_set1_pd(V[j + 1]);
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
        __m256d c0, c1;
        four_rows_two_cols(M + 4 * g * cols + j, cols, &c0, &c1);
        acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(c0, v0));
        acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(c1, v1));
    }
}

// G groups of four rows: lane r of group g holds row 4g + r, whose terms
// M(i, j) * V(j) are added in ascending j; the G groups' additions are
// independent of one another, so they overlap. Four columns per turn of the
// loop, so that its own instructions weigh less beside the element moves.
template <int G>
inline void mv_four_row_groups(const double* M, const double* V, idx cols, double* X) {
    __m256d acc[G];
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) acc[g] = _mm256_setzero_pd();
    idx j = 0;
    for (; j + 4 <= cols; j += 4) {
        mv_two_cols<G>(M, V, cols, j, acc);
        mv_two_cols<G>(M, V, cols, j + 2, acc);
    }
    if (j + 2 <= cols) {
        mv_two_cols<G>(M, V, cols, j, acc);
        j += 2;
    }
    if (j < cols) {
        const __m256d v0 = _mm256_set1_pd(V[j]);
#pragma GCC unroll 4
        for (int g = 0; g < G; ++g) {
            const double* m = M + 4 * g * cols + j;
            const __m256d c0 = _mm256_set_pd(m[3 * cols], m[2 * cols], m[cols], m[0]);
            acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(c0, v0));
        }
    }
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) _mm256_storeu_pd(X + 4 * g, acc[g]);
}

// Eight rows at a time (two groups: as many row pointers as stay in
// registers), then four, then one by one.
void mv_rows_impl(const double* M, const double* V, idx cols, double* X, idx r0, idx r1) {
    idx i = r0;
    for (; i + 8 <= r1; i += 8) mv_four_row_groups<2>(M + i * cols, V, cols, X + i);
    for (; i + 4 <= r1; i += 4) mv_four_row_groups<1>(M + i * cols, V, cols, X + i);
    mv_rows_plain(M, V, cols, X, i, r1);
}
#else
// W rows at a time: W row segments are multiplied by the matching segment
// of V, the W x W block of products is transposed so that lane r holds row
// r's terms in ascending j, and the terms are added one vector at a time.
void mv_rows_impl(const double* M, const double* V, idx cols, double* X, idx r0, idx r1) {
    idx i = r0;
    const idx jv = cols / W * W;
    for (; i + W <= r1; i += W) {
        const double* m = M + i * cols;
        vd acc = vzero();
        for (idx j = 0; j < jv; j += W) {
            const vd v = vload(V + j);
            vd p[W];
#pragma GCC unroll 8
            for (int r = 0; r < W; ++r) p[r] = vmul(vload(m + r * cols + j), v);
            transpose(p);
#pragma GCC unroll 8
            for (int t = 0; t < W; ++t) acc = vadd(acc, p[t]);
        }
        alignas(64) double s[W];
        vstore(s, acc);
        for (int r = 0; r < W; ++r) {
            double x = s[r];
            const double* mr = m + r * cols;
            for (idx j = jv; j < cols; ++j) x += mr[j] * V[j];
            X[i + r] = x;
        }
    }
    mv_rows_plain(M, V, cols, X, i, r1);
}

#endif

// ---- vector times matrix ------------------------------------------------------

// X[c0, c1) is the accumulator: it starts at 0.0 and the rows of M are
// added in ascending i, eight rows per pass over the whole range: each pass
// reads X once for eight terms of every output, and eight sequential row
// streams keep the memory busy (rather than strips of columns re-walked once
// per row group).
void vm_cols_impl(const double* V, idx rows, const double* M, idx cols, double* X, idx c0, idx c1) {
    constexpr int R = 8;
    const idx cv = c0 + (c1 - c0) / W * W;
    for (idx j = c0; j < c1; ++j) X[j] = 0.0;
    idx i = 0;
    for (; i + R <= rows; i += R) {
        const double* m = M + i * cols;
        vd v[R];
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) v[r] = vset1(V[i + r]);
        idx j = c0;
        for (; j < cv; j += W) {
            vd x = vload(X + j);
#pragma GCC unroll 8
            for (int r = 0; r < R; ++r) x = vadd(x, vmul(v[r], vload(m + r * cols + j)));
            vstore(X + j, x);
        }
        for (; j < c1; ++j) {
            double x = X[j];
            for (int r = 0; r < R; ++r) x += V[i + r] * m[r * cols + j];
            X[j] = x;
        }
    }
    for (; i < rows; ++i) {
        const double* m0 = M + i * cols;
        const vd v0 = vset1(V[i]);
        idx j = c0;
        for (; j < cv; j += W) vstore(X + j, vadd(vload(X + j), vmul(v0, vload(m0 + j))));
        for (; j < c1; ++j) X[j] += V[i] * m0[j];
    }
}

// ---- outer product, transpose, element-wise -----------------------------------

void cross_rows_impl(const double* V1, const double* V2, idx cols, double* X, idx r0, idx r1) {
    const idx jv = cols / W * W;
    for (idx i = r0; i < r1; ++i) {
        double* x = X + i * cols;
        const vd a = vset1(V1[i]);
        idx j = 0;
        for (; j < jv; j += W) vstore(x + j, vmul(a, vload(V2 + j)));
        for (; j < cols; ++j) x[j] = V1[i] * V2[j];
    }
}

// Rows [r0, r1) x columns [c0, c1) of M (row stride ldm) written transposed
// into X (row stride ldx): W x W blocks through an in-register transpose,
// the edges one element at a time.
inline void transpose_rect(const double* M, idx ldm, double* X, idx ldx, idx r0, idx r1, idx c0, idx c1) {
    idx r = r0;
    for (; r + W <= r1; r += W) {
        idx c = c0;
        for (; c + W <= c1; c += W) {
            vd v[W];
#pragma GCC unroll 8
            for (int k = 0; k < W; ++k) v[k] = vload(M + (r + k) * ldm + c);
            transpose(v);
#pragma GCC unroll 8
            for (int k = 0; k < W; ++k) vstore(X + (c + k) * ldx + r, v[k]);
        }
        for (; c < c1; ++c)
            for (idx k = 0; k < W; ++k) X[c * ldx + r + k] = M[(r + k) * ldm + c];
    }
    for (; r < r1; ++r)
        for (idx c = c0; c < c1; ++c) X[c * ldx + r] = M[r * ldm + c];
}

// Square tiles of the input rows [r0, r1).
void transpose_rows_impl(const double* M, idx rows, idx cols, double* X, idx r0, idx r1) {
    constexpr idx T = 32;
    for (idx ib = r0; ib < r1; ib += T)
        for (idx jb = 0; jb < cols; jb += T) transpose_rect(M, cols, X, rows, ib, imin(ib + T, r1), jb, imin(jb + T, cols));
}

// Column strips of 4W, so that each row of X takes whole cache lines. Meant
// for narrow blocks (the eigen-solvers' blocks, the eliminations' panels);
// whole matrices go through transpose_rows_impl, whose square tiles keep
// both the rows read and the rows written within the cache.
void transpose_block_impl(const double* M, idx ldm, double* X, idx ldx, idx rows, idx cols) {
    constexpr idx T = 4 * W;
    for (idx cb = 0; cb < cols; cb += T) transpose_rect(M, ldm, X, ldx, 0, rows, cb, imin(cb + T, cols));
}

// ---- elimination updates -------------------------------------------------------
//
// The vectors only ever hold independent outputs C(r, j); the loop over the
// pivots k stays innermost per tile and ascending, and every term is a
// separate multiplication followed by a subtraction. Written with GCC vector
// extensions of V doubles.

template <int V>
struct VecOf;
template <>
struct VecOf<2> {
    typedef double type __attribute__((vector_size(16)));
};
template <>
struct VecOf<4> {
    typedef double type __attribute__((vector_size(32)));
};
template <>
struct VecOf<8> {
    typedef double type __attribute__((vector_size(64)));
};

#define LINALG_INLINE inline __attribute__((always_inline))

// One MR x (NV*V) tile of a row-major C:
// C(i, t) = C(i, t) - U(k, t) * G(i, k), k = 0 .. kb-1 in order.
// U(k, t) at U[k*kPanelCols + t], G(i, k) at G[k*ldg + i].
template <int V, int MR, int NV>
LINALG_INLINE void rm_tile(double* C, idx ldc, const double* G, idx ldg, const double* U, idx kb) {
    typedef typename VecOf<V>::type vec;
    vec c[MR][NV];
#pragma GCC unroll 16
    for (int i = 0; i < MR; ++i)
#pragma GCC unroll 16
        for (int t = 0; t < NV; ++t) std::memcpy(&c[i][t], C + i * ldc + t * V, sizeof(vec));
    for (idx k = 0; k < kb; ++k) {
        vec u[NV];
#pragma GCC unroll 16
        for (int t = 0; t < NV; ++t) std::memcpy(&u[t], U + k * kPanelCols + t * V, sizeof(vec));
        const double* g = G + k * ldg;
#pragma GCC unroll 16
        for (int i = 0; i < MR; ++i)
#pragma GCC unroll 16
            for (int t = 0; t < NV; ++t) c[i][t] = c[i][t] - u[t] * g[i];
    }
#pragma GCC unroll 16
    for (int i = 0; i < MR; ++i)
#pragma GCC unroll 16
        for (int t = 0; t < NV; ++t) std::memcpy(C + i * ldc + t * V, &c[i][t], sizeof(vec));
}

// One (MV*V) x NC tile of a column-major C:
// C(t, j) = C(t, j) - U(k, j) * G(t, k), k ascending.
template <int V, int MV, int NC>
LINALG_INLINE void cm_tile(double* C, idx ldc, const double* G, idx ldg, const double* U, idx ldu, idx kb) {
    typedef typename VecOf<V>::type vec;
    vec c[NC][MV];
#pragma GCC unroll 16
    for (int j = 0; j < NC; ++j)
#pragma GCC unroll 16
        for (int t = 0; t < MV; ++t) std::memcpy(&c[j][t], C + j * ldc + t * V, sizeof(vec));
    for (idx k = 0; k < kb; ++k) {
        vec g[MV];
#pragma GCC unroll 16
        for (int t = 0; t < MV; ++t) std::memcpy(&g[t], G + k * ldg + t * V, sizeof(vec));
#pragma GCC unroll 16
        for (int j = 0; j < NC; ++j) {
            const double u = U[j * ldu + k];
#pragma GCC unroll 16
            for (int t = 0; t < MV; ++t) c[j][t] = c[j][t] - u * g[t];
        }
    }
#pragma GCC unroll 16
    for (int j = 0; j < NC; ++j)
#pragma GCC unroll 16
        for (int t = 0; t < MV; ++t) std::memcpy(C + j * ldc + t * V, &c[j][t], sizeof(vec));
}

// NC columns of C, all rows: full tiles, then the last rows one by one.
template <int V, int MV, int NC>
LINALG_INLINE void cm_cols(double* C, idx ldc, idx m, const double* G, idx ldg, const double* U, idx ldu, idx kb) {
    constexpr idx RB = MV * V;
    idx r = 0;
    for (; r + RB <= m; r += RB) cm_tile<V, MV, NC>(C + r, ldc, G + r, ldg, U, ldu, kb);
    for (; r < m; ++r)
        for (int j = 0; j < NC; ++j) {
            double c = C[j * ldc + r];
            for (idx k = 0; k < kb; ++k) c = c - U[j * ldu + k] * G[k * ldg + r];
            C[j * ldc + r] = c;
        }
}

template <int V, int MV, int NC>
LINALG_INLINE void cm_update_impl(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U,
                                  idx ldu, idx kb) {
    if (m <= 0 || nc <= 0 || kb <= 0) return;
    idx j = 0;
    for (; j + NC <= nc; j += NC) cm_cols<V, MV, NC>(C + j * ldc, ldc, m, G, ldg, U + j * ldu, ldu, kb);
    for (; j < nc; ++j) cm_cols<V, MV, 1>(C + j * ldc, ldc, m, G, ldg, U + j * ldu, ldu, kb);
}

// The row update's MR x NR register tile for the row-update driver
// (rm_blocking.h): the packed multipliers g (g[k*MR + r]) over one piece of
// a packed U panel.
struct simd_rm_tile {
    static constexpr idx MR = kRmRows, NR = kRmVecs * W;
    static void kernel(idx kb, const double* g, const double* u, double* c, idx ldc, const double*) {
        rm_tile<W, kRmRows, kRmVecs>(c, ldc, g, MR, u, kb);
    }
};
void cm_update_simd(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U, idx ldu, idx kb) {
    cm_update_impl<W, kCmVecs, kCmCols>(C, ldc, m, nc, G, ldg, U, ldu, kb);
}

// ---- chains of QL rotations -----------------------------------------------------

// Calls tick once every `period` steps of a chain pass.
struct ChainTicker {
    void (*tick)(void*);
    void* ctx;
    idx period;
    idx left;
    void step() {
        if (--left == 0) {
            left = period;
            tick(ctx);
        }
    }
};

// Columns [k, k + V vectors) of NC chains in one pass (the last vector
// holds only `part` columns when PART); NC = 1 is rotate_ql_chain, NC = 2
// rotate_ql_pair. Chain q's running row (the x side of its rotation before)
// stays in registers from rotation to rotation, and at each step the row
// chain q puts out is chain q+1's x, so each row is read and written once
// per pass instead of twice per rotation and chain. Per element the
// operations are those of rotate_ql, rotation after rotation. With TICK,
// every rotation of a step of the strip is one step of the ticker.
template <int NC, int V, bool PART, bool TICK>
inline void ql_chains_strip(double* const* rows, idx k, const double* const* c, const double* const* s, idx count,
                            int part, ChainTicker* ticker) {
    auto load = [&](const double* p, int v) { return PART && v == V - 1 ? vload_part(p + v * W, part) : vload(p + v * W); };
    auto store = [&](double* p, int v, vd x) {
        if (PART && v == V - 1)
            vstore_part(p + v * W, x, part);
        else
            vstore(p + v * W, x);
    };
    vd f[NC][V];
    for (int q = 0; q < NC; ++q)
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) f[q][v] = load(rows[count + q] + k, v);
    for (idx j = count - 1; j >= 0; --j) {
        double* const xr = rows[j] + k;
        double* const yr = rows[j + NC] + k;
        vd cj[NC], sj[NC];
        for (int q = 0; q < NC; ++q) cj[q] = vset1(c[q][j]), sj[q] = vset1(s[q][j]);
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) {
            vd x = load(xr, v);
            for (int q = 0; q < NC; ++q) {
                const vd y = vadd(vmul(sj[q], x), vmul(cj[q], f[q][v]));
                f[q][v] = vsub(vmul(cj[q], x), vmul(sj[q], f[q][v]));
                x = y;
            }
            store(yr, v, x);
        }
        if (TICK)
            for (int q = 0; q < NC; ++q) ticker->step();
    }
    for (int q = 0; q < NC; ++q)
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) store(rows[q] + k, v, f[q][v]);
}

// The whole pass over strips of four vectors (independent recurrences that
// overlap), then single and partial vectors.
template <int NC, bool TICK>
void ql_chains_pass(double* const* rows, idx n, const double* const* c, const double* const* s, idx count,
                    ChainTicker* ticker) {
    constexpr idx wide = 4 * W;
    idx k = 0;
    for (; k + wide <= n; k += wide) ql_chains_strip<NC, 4, false, TICK>(rows, k, c, s, count, 0, ticker);
    for (; k + W <= n; k += W) ql_chains_strip<NC, 1, false, TICK>(rows, k, c, s, count, 0, ticker);
    if (k < n) ql_chains_strip<NC, 1, true, TICK>(rows, k, c, s, count, static_cast<int>(n - k), ticker);
}

// The ticker's period is the number of strips, so a pass of count steps of
// NC rotations per strip ticks exactly NC * count times.
template <int NC>
void ql_chains(double* const* rows, idx n, const double* const* c, const double* const* s, idx count,
               void (*tick)(void*), void* ctx) {
    if (count <= 0) return;
    if (tick == nullptr) {
        ql_chains_pass<NC, false>(rows, n, c, s, count, nullptr);
        return;
    }
    constexpr idx wide = 4 * W;
    const idx rest = n > 0 ? n % wide : 0;
    const idx strips = n > 0 ? n / wide + rest / W + (rest % W != 0 ? 1 : 0) : 0;
    if (strips == 0) {
        for (idx j = 0; j < NC * count; ++j) tick(ctx);
        return;
    }
    ChainTicker ticker{tick, ctx, strips, strips};
    ql_chains_pass<NC, true>(rows, n, c, s, count, &ticker);
}

void rotate_ql_chain_impl(double* const* rows, idx n, const double* c, const double* s, idx count,
                          void (*tick)(void*), void* ctx) {
    const double* const cc[1] = {c};
    const double* const ss[1] = {s};
    ql_chains<1>(rows, n, cc, ss, count, tick, ctx);
}

void rotate_ql_pair_impl(double* const* rows, idx n, const double* ca, const double* sa, const double* cb,
                         const double* sb, idx count, void (*tick)(void*), void* ctx) {
    const double* const cc[2] = {ca, cb};
    const double* const ss[2] = {sa, sb};
    ql_chains<2>(rows, n, cc, ss, count, tick, ctx);
}

// ---- sums of scaled rows ----------------------------------------------------------

// Columns [k, k + V vectors) of add_scaled_rows (the last vector holds only
// `part` columns when PART): y stays in registers while the rows pass by,
// each added as one multiplication and one addition, in row order.
template <int V, bool PART>
inline void scaled_rows_strip(double* y, const double* const* x, idx off, const double* a, idx count, idx k,
                              int part) {
    auto load = [&](const double* p, int v) { return PART && v == V - 1 ? vload_part(p + v * W, part) : vload(p + v * W); };
    vd acc[V];
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) acc[v] = load(y + k, v);
    for (idx j = 0; j < count; ++j) {
        const double* const r = x[j] + off + k;
        const vd aj = vset1(a[j]);
#pragma GCC unroll 8
        for (int v = 0; v < V; ++v) acc[v] = vadd(acc[v], vmul(aj, load(r, v)));
    }
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
        if (PART && v == V - 1)
            vstore_part(y + k + v * W, acc[v], part);
        else
            vstore(y + k + v * W, acc[v]);
    }
}

// The table's add_scaled_rows: strips of four vectors, then single and
// partial vectors.
void add_scaled_rows_impl(double* y, const double* const* x, idx off, const double* a, idx count, idx n) {
    if (count <= 0) return;
    constexpr idx wide = 4 * W;
    idx k = 0;
    for (; k + wide <= n; k += wide) scaled_rows_strip<4, false>(y, x, off, a, count, k, 0);
    for (; k + W <= n; k += W) scaled_rows_strip<1, false>(y, x, off, a, count, k, 0);
    if (k < n) scaled_rows_strip<1, true>(y, x, off, a, count, k, static_cast<int>(n - k));
}

// ---- one elimination step on a block of rows -------------------------------------

// Columns [k, k + V vectors + tail) of sub_scaled_rows: the pivot row's
// vectors stay in registers while the rows pass by; each element takes one
// multiplication and one subtraction, as in sub_scaled. The last `tail`
// (< W) columns are done by half a vector and one at a time: a partial
// (masked) store would keep the next step's reads of the same row from
// taking the value straight from the store.
template <int V>
inline void sub_rows_strip(double* Y, idx ldy, const double* x, const double* g, idx ldg, idx rows, idx k, int tail) {
    vd xv[V > 0 ? V : 1];
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) xv[v] = vload(x + k + v * W);
    const double* const xt = x + k + V * W;
    for (idx r = 0; r < rows; ++r) {
        double* const y = Y + r * ldy + k;
        const double gs = g[r * ldg];
        const vd gr = vset1(gs);
#pragma GCC unroll 4
        for (int v = 0; v < V; ++v) vstore(y + v * W, vsub(vload(y + v * W), vmul(xv[v], gr)));
        double* const yt = y + V * W;
        int j = 0;
#if defined(__AVX512F__)
        if (tail >= 4) {
            const __m256d p = _mm256_mul_pd(_mm256_loadu_pd(xt), _mm256_set1_pd(gs));
            _mm256_storeu_pd(yt, _mm256_sub_pd(_mm256_loadu_pd(yt), p));
            j = 4;
        }
#endif
#pragma GCC unroll 8
        for (int t = 0; t < (W == 8 ? 4 : W) - 1; ++t, ++j)
            if (j < tail) yt[j] -= xt[j] * gs;
    }
}

// The table's sub_scaled_rows: strips of four vectors, then the rest (up to
// three vectors and a tail) as one strip.
void sub_scaled_rows_impl(double* Y, idx ldy, const double* x, idx n, const double* g, idx ldg, idx rows) {
    if (rows <= 0 || n <= 0) return;
    constexpr idx wide = 4 * W;
    idx k = 0;
    for (; k + wide <= n; k += wide) sub_rows_strip<4>(Y, ldy, x, g, ldg, rows, k, 0);
    const idx rest = n - k;
    const int tail = static_cast<int>(rest % W);
    switch (rest / W) {
    case 0: if (tail) sub_rows_strip<0>(Y, ldy, x, g, ldg, rows, k, tail); break;
    case 1: sub_rows_strip<1>(Y, ldy, x, g, ldg, rows, k, tail); break;
    case 2: sub_rows_strip<2>(Y, ldy, x, g, ldg, rows, k, tail); break;
    default: sub_rows_strip<3>(Y, ldy, x, g, ldg, rows, k, tail); break;
    }
}

// The panels' pivot row, as panel::first_largest chooses it. max(a, M) is
// a > M ? a : M, that search's own rule, so from a non-NaN start every lane
// ends on the largest of its non-NaN magnitudes, whatever the order; the
// pivot row is then the first row holding the largest of them all, or row k
// when none exceeds its magnitude.
idx column_argmax_impl(const double* c, idx k, idx m) {
    const double a0 = std::fabs(c[k]);
    if (m - k <= W || a0 != a0) return panel::first_largest(c, k, m);
    // Lanes past the column read as 0.0, which never exceeds a0 (and the
    // largest is above a0 when it is looked for).
    vd m0 = vset1(a0), m1 = m0;
    idx r = k + 1;
    for (; r + 2 * W <= m; r += 2 * W) {
        m0 = vmax(vabs(vload(c + r)), m0);
        m1 = vmax(vabs(vload(c + r + W)), m1);
    }
    if (r + W <= m) m0 = vmax(vabs(vload(c + r)), m0), r += W;
    if (r < m) m1 = vmax(vabs(vload_part(c + r, static_cast<int>(m - r))), m1);
    alignas(64) double lanes[W];
    vstore(lanes, vmax(m1, m0));
    double mag = a0;
    for (int l = 0; l < W; ++l)
        if (lanes[l] > mag) mag = lanes[l];
    if (mag == a0) return k;
    const vd mv = vset1(mag);
    for (r = k + 1; r + W <= m; r += W)
        if (const unsigned e = veq_mask(vabs(vload(c + r)), mv)) return r + __builtin_ctz(e);
    if (r < m)
        if (const unsigned e = veq_mask(vabs(vload_part(c + r, static_cast<int>(m - r))), mv))
            return r + __builtin_ctz(e);
    return k;
}

// The cache blocks of the product (summation slice kc, rows mc, columns nc,
// column block nb) and the row update's block, shared by the x86 tables.
struct CacheBlocks {
    static constexpr idx kc = 256, mc = 192, nc = 1024, nb = 64, rm_update = 192;
};

// The entries of this file's instruction set, and their tiles and blocks.
inline void set_simd_kernels(kernel_table& t) {
    using cb = CacheBlocks;
    gemm::set_product<simd_tile>(t, cb::kc, cb::mc, cb::nc, cb::nb, kDirectProducts);
    rmd::set_rm_update<simd_rm_tile>(t, cb::rm_update);
    t.blocking.row_unit = kRowUnit;
    t.mm_direct = mm_direct_impl;
    t.mv_rows = mv_rows_impl;
    t.vm_cols = vm_cols_impl;
    t.cross_rows = cross_rows_impl;
    t.transpose_rows = transpose_rows_impl;
    t.transpose_block = transpose_block_impl;
    t.cm_update = cm_update_simd;
    t.lu_panel = panel::lu<cm_update_simd, column_argmax_impl>;
    t.gj_panel = panel::gj<column_argmax_impl>;
    t.rotate_ql_chain = rotate_ql_chain_impl;
    t.rotate_ql_pair = rotate_ql_pair_impl;
    t.add_scaled_rows = add_scaled_rows_impl;
    t.sub_scaled_rows = sub_scaled_rows_impl;
}

} // namespace
} // namespace linalg

#endif
