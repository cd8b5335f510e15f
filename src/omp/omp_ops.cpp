// OpenMP variants of the element-wise and product operations. Each routine opens one parallel region in
// which every thread takes the contiguous block of outer indices that the
// static schedule would give it and runs the fast kernel of its sequential
// twin on that block (kernels/kernels.h). The kernels give the bits of the
// plain loop for any split of the outer index, so the result is the same
// for every thread count.
#include "omp/omp_ops.h"

#include <new>

#include "base/work_memory.h"
#include "kernels/kernels.h"
#include "linalg.h"
#include "omp/omp_state.h"

namespace linalg {

namespace {

// The calling thread's block [*i0, *i1) of [0, n) under the static schedule
// without chunk size: contiguous, nearly equal blocks, the first n % T
// threads taking one index more.
inline void static_block(idx n, idx* i0, idx* i1) {
    const idx T = omp_get_num_threads();
    const idx t = omp_get_thread_num();
    const idx q = n > 0 ? n / T : 0;
    const idx rem = n > 0 ? n % T : 0;
    *i0 = t * q + (t < rem ? t : rem);
    *i1 = *i0 + q + (t < rem ? 1 : 0);
}

// Runs f(i0, i1) in one parallel region of MAX_THREADS threads, each on its
// static_block. Threads with an empty block do nothing.
template <class F>
void for_static_blocks(idx n, F f) {
    set_team_size();
#pragma omp parallel
    {
        idx i0, i1;
        static_block(n, &i0, &i1);
        if (i1 > i0) f(i0, i1);
    }
}

inline idx elements(int nRows, int nCols) {
    return (nRows > 0 && nCols > 0) ? static_cast<idx>(nRows) * nCols : 0;
}

// A barrier of the innermost enclosing team (called from inside a region).
void team_barrier() {
#pragma omp barrier
}

} // namespace

void MultiplyVSomp(double* V, int nDim, double S, double* X) {
    if (!omp_initialised()) return;
    for_static_blocks(nDim, [&](idx i0, idx i1) { kernels().scale(V, S, X, i0, i1); });
}

void AddVVomp(double* V1, double* V2, int nDim, double* X) {
    if (!omp_initialised()) return;
    for_static_blocks(nDim, [&](idx i0, idx i1) { kernels().add(V1, V2, X, i0, i1); });
}

void SubstractVVomp(double* V1, double* V2, int nDim, double* X) {
    if (!omp_initialised()) return;
    for_static_blocks(nDim, [&](idx i0, idx i1) { kernels().sub(V1, V2, X, i0, i1); });
}

void ZeroVomp(double* V, int nDim) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nDim; ++i) V[i] = 0.0;
}

void ZeroVIomp(int* VI, int nDim) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nDim; ++i) VI[i] = 0;
}

void OneVIomp(int* VI, int nDim) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nDim; ++i) VI[i] = 1;
}

void TableMultiplyVVomp(double* V1, double* V2, int nDim, double* X) {
    if (!omp_initialised()) return;
    for_static_blocks(nDim, [&](idx i0, idx i1) { kernels().mul(V1, V2, X, i0, i1); });
}

void CrossVVomp(double* V1, int nRows, double* V2, int nCols, double* X) {
    if (!omp_initialised()) return;
    for_static_blocks(nRows, [&](idx i0, idx i1) { cross_rows(V1, V2, nCols, X, i0, i1); });
}

void MultiplyMVomp(double* M, int nRowsM, double* V, int nRowsV, double* X) {
    if (!omp_initialised()) return;
    for_static_blocks(nRowsM, [&](idx i0, idx i1) { mv_rows(M, V, nRowsV, X, i0, i1); });
}

void MultiplyVMomp(double* V, int nColsV, double* M, int nColsM, double* X) {
    if (!omp_initialised()) return;
    for_static_blocks(nColsM, [&](idx j0, idx j1) { vm_cols(V, nColsV, M, nColsM, X, j0, j1); });
}

void MultiplyMSomp(double* M, int nRows, int nCols, double S, double* X) {
    if (!omp_initialised()) return;
    const idx cols = elements(nRows, nCols) > 0 ? nCols : 0;
    for_static_blocks(nRows, [&](idx i0, idx i1) { kernels().scale(M, S, X, i0 * cols, i1 * cols); });
}

void AddMMomp(double* M1, double* M2, int nRows, int nCols, double* X) {
    if (!omp_initialised()) return;
    const idx cols = elements(nRows, nCols) > 0 ? nCols : 0;
    for_static_blocks(nRows, [&](idx i0, idx i1) { kernels().add(M1, M2, X, i0 * cols, i1 * cols); });
}

void SubstractMMomp(double* M1, double* M2, int nRows, int nCols, double* X) {
    if (!omp_initialised()) return;
    const idx cols = elements(nRows, nCols) > 0 ? nCols : 0;
    for_static_blocks(nRows, [&](idx i0, idx i1) { kernels().sub(M1, M2, X, i0 * cols, i1 * cols); });
}

void TransposeMomp(double* M, int nRows, int nCols, double* X) {
    if (!omp_initialised()) return;
    for_static_blocks(nRows, [&](idx i0, idx i1) { transpose_rows(M, nRows, nCols, X, i0, i1); });
}

// Where the kernel table offers it, the threads share one packed copy of
// each slice of B, each running its static block of rows and then helping
// threads still busy (a thread slowed by another program does fewer rows);
// one work block holds the slice and the threads' ranges of rows.
// Otherwise, or if that block is refused, each thread runs its static block
// and packs for itself (same bits, nothing printed).
void MultiplyMMomp(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) {
    if (!omp_initialised()) return;
    if (const kernel_table* team = mm_team_for(nRows1, nCols, nCols2)) {
        const std::size_t slice = packed_slice_bytes(team->blocking, nCols, nCols2);
        const std::size_t ranges = sizeof(team_range) * static_cast<std::size_t>(MAX_THREADS);
        void* block = slice != 0 ? work_alloc(slice + ranges) : nullptr;
        if (block) {
            team_range* range = reinterpret_cast<team_range*>(align64(block));
            for (int t = 0; t < MAX_THREADS; ++t) new (range + t) team_range{};
            team_rows rows{team_barrier, range};
            double* Bs = reinterpret_cast<double*>(range + MAX_THREADS);
            set_team_size();
#pragma omp parallel
            team->mm_team(M1, nCols, M2, nCols2, X, nRows1, Bs, omp_get_thread_num(), omp_get_num_threads(), &rows);
            work_free(block);
            return;
        }
    }
    for_static_blocks(nRows1, [&](idx i0, idx i1) { mm_rows(M1, nCols, M2, nCols2, X, i0, i1); });
}

} // namespace linalg
