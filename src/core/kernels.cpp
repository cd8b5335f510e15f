// Run-time choice of the kernel instruction set, and the int-dimension
// wrappers used by the sequential and OpenMP operations.
#include "core/kernels.h"
#include "core/loops.h"

#include <atomic>

namespace linalg {

bool isa_supported(isa level) {
#if defined(__x86_64__) || defined(__i386__)
    switch (level) {
    case isa::baseline: return true;
    case isa::avx2: return __builtin_cpu_supports("avx2");
    case isa::avx512: return __builtin_cpu_supports("avx512f");
    }
    return false;
#else
    return level == isa::baseline;
#endif
}

namespace {

const kernel_table* table_of(isa level) {
    switch (level) {
    case isa::avx512: return kernels_avx512();
    case isa::avx2: return kernels_avx2();
    case isa::baseline: break;
    }
    return kernels_baseline();
}

const kernel_table* best_table() {
    if (isa_supported(isa::avx512)) return table_of(isa::avx512);
    if (isa_supported(isa::avx2)) return table_of(isa::avx2);
    return table_of(isa::baseline);
}

std::atomic<const kernel_table*> active{nullptr};

} // namespace

const kernel_table& kernels() {
    const kernel_table* t = active.load(std::memory_order_acquire);
    if (t == nullptr) {
        t = best_table();
        active.store(t, std::memory_order_release);
    }
    return *t;
}

namespace testhooks {
bool force_isa(isa level) {
    if (!isa_supported(level)) return false;
    active.store(table_of(level), std::memory_order_release);
    return true;
}
void reset_isa() { active.store(best_table(), std::memory_order_release); }
} // namespace testhooks

void mm_rows(const double* A, int nCols, const double* B, int nCols2, double* X, idx r0, idx r1) {
    if (r1 <= r0 || nCols2 <= 0) return;
    const idx k = nCols < 0 ? 0 : nCols;
    // Tiny products: packing and its allocation would cost more than the
    // whole plain loop, which gives the same bits.
    if ((r1 - r0) * nCols2 * k <= 4096) {
        for (idx i = r0; i < r1; ++i) mm_row(A, nCols, B, nCols2, X, i);
        return;
    }
    kernels().mm_rows(A, k, B, nCols2, X, r0, r1);
}

void mv_rows(const double* M, const double* V, int nRowsV, double* X, idx r0, idx r1) {
    if (r1 <= r0) return;
    kernels().mv_rows(M, V, nRowsV < 0 ? 0 : nRowsV, X, r0, r1);
}

void vm_cols(const double* V, int nColsV, const double* M, int nColsM, double* X, idx c0, idx c1) {
    if (c1 <= c0) return;
    kernels().vm_cols(V, nColsV < 0 ? 0 : nColsV, M, nColsM, X, c0, c1);
}

void cross_rows(const double* V1, const double* V2, int nCols, double* X, idx r0, idx r1) {
    if (r1 <= r0 || nCols <= 0) return;
    kernels().cross_rows(V1, V2, nCols, X, r0, r1);
}

void transpose_rows(const double* M, int nRows, int nCols, double* X, idx r0, idx r1) {
    if (r1 <= r0 || nCols <= 0 || nRows <= 0) return;
    kernels().transpose_rows(M, nRows, nCols, X, r0, r1);
}

} // namespace linalg
