// Update kernels of the blocked eliminations: one template body written with
// GCC vector extensions, instantiated per ISA inside functions compiled for
// that ISA (target attributes), chosen at run time.
//
// The vectors only ever hold independent outputs C(r, j); the loop over the
// pivots k stays innermost per tile and ascending, and every term is a
// separate multiplication followed by a subtraction (the build forbids
// contraction), so each ISA gives the bits of the plain loop.
#include "solvers/elim_kernels.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace linalg {

namespace {

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

// One packed panel (kPanelCols columns) of MR rows, in chunks of NV*V columns.
template <int V, int MR, int NV>
LINALG_INLINE void rm_panel(double* C, idx ldc, const double* G, idx ldg, const double* U, idx kb) {
    static_assert(kPanelCols % (NV * V) == 0, "tile width must divide the panel width");
#pragma GCC unroll 4
    for (int s = 0; s < kPanelCols / (NV * V); ++s)
        rm_tile<V, MR, NV>(C + s * NV * V, ldc, G, ldg, U + s * NV * V, kb);
}

// MR rows (MR <= rows left) of C over all packed panels; a last, partial
// panel goes through a zero-padded copy so that loads and stores stay inside C.
template <int V, int MR, int NV>
LINALG_INLINE void rm_rows(double* C, idx ldc, idx nc, const double* G, idx ldg, const double* U, idx ups, idx kb) {
    idx j0 = 0;
    for (; j0 + kPanelCols <= nc; j0 += kPanelCols)
        rm_panel<V, MR, NV>(C + j0, ldc, G, ldg, U + (j0 / kPanelCols) * ups, kb);
    if (j0 < nc) {
        const idx w = nc - j0;
        alignas(64) double tmp[MR * kPanelCols];
        for (int i = 0; i < MR; ++i)
            for (idx j = 0; j < kPanelCols; ++j) tmp[i * kPanelCols + j] = j < w ? C[i * ldc + j0 + j] : 0.0;
        rm_panel<V, MR, NV>(tmp, kPanelCols, G, ldg, U + (j0 / kPanelCols) * ups, kb);
        for (int i = 0; i < MR; ++i)
            for (idx j = 0; j < w; ++j) C[i * ldc + j0 + j] = tmp[i * kPanelCols + j];
    }
}

template <int V, int MR, int NV>
LINALG_INLINE void rm_update_impl(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U,
                                  idx ups, idx kb) {
    if (m <= 0 || nc <= 0 || kb <= 0) return;
    idx r = 0;
    for (; r + MR <= m; r += MR) rm_rows<V, MR, NV>(C + r * ldc, ldc, nc, G + r, ldg, U, ups, kb);
    for (; r < m; ++r) rm_rows<V, 1, NV>(C + r * ldc, ldc, nc, G + r, ldg, U, ups, kb);
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

// ---- instantiations per ISA ------------------------------------------------

void rm_update_base(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U, idx ups, idx kb) {
    rm_update_impl<2, 4, 2>(C, ldc, m, nc, G, ldg, U, ups, kb);
}
void cm_update_base(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U, idx ldu, idx kb) {
    cm_update_impl<2, 2, 4>(C, ldc, m, nc, G, ldg, U, ldu, kb);
}

#if defined(__x86_64__) || defined(__i386__)
#define LINALG_HAVE_X86_KERNELS 1

__attribute__((target("avx2"))) void rm_update_avx2(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg,
                                                    const double* U, idx ups, idx kb) {
    rm_update_impl<4, 4, 2>(C, ldc, m, nc, G, ldg, U, ups, kb);
}
__attribute__((target("avx2"))) void cm_update_avx2(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg,
                                                    const double* U, idx ldu, idx kb) {
    cm_update_impl<4, 2, 4>(C, ldc, m, nc, G, ldg, U, ldu, kb);
}
__attribute__((target("avx512f"))) void rm_update_avx512(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg,
                                                        const double* U, idx ups, idx kb) {
    rm_update_impl<8, 12, 2>(C, ldc, m, nc, G, ldg, U, ups, kb);
}
__attribute__((target("avx512f"))) void cm_update_avx512(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg,
                                                        const double* U, idx ldu, idx kb) {
    cm_update_impl<8, 2, 8>(C, ldc, m, nc, G, ldg, U, ldu, kb);
}
#endif

const ElimKernels kBase{rm_update_base, cm_update_base};
#ifdef LINALG_HAVE_X86_KERNELS
const ElimKernels kAvx2{rm_update_avx2, cm_update_avx2};
const ElimKernels kAvx512{rm_update_avx512, cm_update_avx512};
#endif

KernelIsa best_supported() {
#ifdef LINALG_HAVE_X86_KERNELS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return KernelIsa::Avx512;
    if (__builtin_cpu_supports("avx2")) return KernelIsa::Avx2;
#endif
    return KernelIsa::Baseline;
}

std::atomic<int> forced{static_cast<int>(KernelIsa::Auto)};

} // namespace

KernelIsa elim_kernel_isa() {
    static const KernelIsa best = best_supported();
    const int f = forced.load(std::memory_order_relaxed);
    if (f == static_cast<int>(KernelIsa::Auto)) return best;
    return static_cast<KernelIsa>(std::min(f, static_cast<int>(best)));
}

const ElimKernels& elim_kernels() {
#ifdef LINALG_HAVE_X86_KERNELS
    switch (elim_kernel_isa()) {
    case KernelIsa::Avx512: return kAvx512;
    case KernelIsa::Avx2: return kAvx2;
    default: break;
    }
#endif
    return kBase;
}

namespace testhooks {
KernelIsa force_kernel_isa(KernelIsa isa) {
    forced.store(static_cast<int>(isa), std::memory_order_relaxed);
    return elim_kernel_isa();
}
} // namespace testhooks

} // namespace linalg
