// Matrix operations behind LinearAlgebra::LA: the products, element-wise
// operations and the transpose written once over a range of rows (columns
// for V*M) with a sequential and an OpenMP entry point (ops/operations.h),
// and the sequential selections.
#include "ops/operations.h"

#include <new>

#include "base/work_memory.h"
#include "ops/run.h"

namespace linalg {

namespace {

// Columns of an nRows x nCols matrix as the row bodies see them: 0 when
// either size is <= 0, so an empty matrix writes nothing.
inline idx row_length(int nRows, int nCols) { return (nRows > 0 && nCols > 0) ? nCols : 0; }

template <Run R>
void mv_range(double* M, int nRowsM, double* V, int nRowsV, double* X) {
    run_range<R>(nRowsM, [&](idx i0, idx i1) { mv_rows(M, V, nRowsV, X, i0, i1); });
}

template <Run R>
void vm_range(double* V, int nColsV, double* M, int nColsM, double* X) {
    run_range<R>(nColsM, [&](idx j0, idx j1) { vm_cols(V, nColsV, M, nColsM, X, j0, j1); });
}

template <Run R>
void scale_rows(double* M, int nRows, int nCols, double S, double* X) {
    const idx cols = row_length(nRows, nCols);
    run_range<R>(nRows, [&](idx i0, idx i1) { kernels().scale(M, S, X, i0 * cols, i1 * cols); });
}

template <Run R>
void add_rows(double* M1, double* M2, int nRows, int nCols, double* X) {
    const idx cols = row_length(nRows, nCols);
    run_range<R>(nRows, [&](idx i0, idx i1) { kernels().add(M1, M2, X, i0 * cols, i1 * cols); });
}

template <Run R>
void sub_rows(double* M1, double* M2, int nRows, int nCols, double* X) {
    const idx cols = row_length(nRows, nCols);
    run_range<R>(nRows, [&](idx i0, idx i1) { kernels().sub(M1, M2, X, i0 * cols, i1 * cols); });
}

template <Run R>
void transpose_range(double* M, int nRows, int nCols, double* X) {
    run_range<R>(nRows, [&](idx i0, idx i1) { transpose_rows(M, nRows, nCols, X, i0, i1); });
}

template <Run R>
void mm_range(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) {
    run_range<R>(nRows1, [&](idx i0, idx i1) { mm_rows(M1, nCols, M2, nCols2, X, i0, i1); });
}

} // namespace

void multiply_mv(double* M, int nRowsM, double* V, int nRowsV, double* X) {
    mv_range<Run::serial>(M, nRowsM, V, nRowsV, X);
}
void multiply_vm(double* V, int nColsV, double* M, int nColsM, double* X) {
    vm_range<Run::serial>(V, nColsV, M, nColsM, X);
}
void multiply_ms(double* M, int nRows, int nCols, double S, double* X) {
    scale_rows<Run::serial>(M, nRows, nCols, S, X);
}
void add_mm(double* M1, double* M2, int nRows, int nCols, double* X) {
    add_rows<Run::serial>(M1, M2, nRows, nCols, X);
}
void substract_mm(double* M1, double* M2, int nRows, int nCols, double* X) {
    sub_rows<Run::serial>(M1, M2, nRows, nCols, X);
}
void transpose_m(double* M, int nRows, int nCols, double* X) { transpose_range<Run::serial>(M, nRows, nCols, X); }
void multiply_mm(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) {
    mm_range<Run::serial>(M1, nRows1, nCols, M2, nCols2, X);
}

// The OpenMP entry points: the initialisation check, then the team run.
void MultiplyMVomp(double* M, int nRowsM, double* V, int nRowsV, double* X) {
    if (omp_initialised()) mv_range<Run::team>(M, nRowsM, V, nRowsV, X);
}
void MultiplyVMomp(double* V, int nColsV, double* M, int nColsM, double* X) {
    if (omp_initialised()) vm_range<Run::team>(V, nColsV, M, nColsM, X);
}
void MultiplyMSomp(double* M, int nRows, int nCols, double S, double* X) {
    if (omp_initialised()) scale_rows<Run::team>(M, nRows, nCols, S, X);
}
void AddMMomp(double* M1, double* M2, int nRows, int nCols, double* X) {
    if (omp_initialised()) add_rows<Run::team>(M1, M2, nRows, nCols, X);
}
void SubstractMMomp(double* M1, double* M2, int nRows, int nCols, double* X) {
    if (omp_initialised()) sub_rows<Run::team>(M1, M2, nRows, nCols, X);
}
void TransposeMomp(double* M, int nRows, int nCols, double* X) {
    if (omp_initialised()) transpose_range<Run::team>(M, nRows, nCols, X);
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
    mm_range<Run::team>(M1, nRows1, nCols, M2, nCols2, X);
}

void select_msq(double* M, int nDim, int* VI, double* X) {
    idx k = 0;
    for (idx i = 0; i < nDim; ++i) {
        if (VI[i] != 1) continue;
        for (idx j = 0; j < nDim; ++j)
            if (VI[j] == 1) X[k++] = M[i * nDim + j];
    }
}

void aggregate_mmsq(double* m, int mDim, int* VI, int vDim, double* M, int MDim) {
    if (vDim <= 0 || mDim <= 0) return;
    const idx b = mDim / vDim;
    for (idx bi = 0; bi < vDim; ++bi)
        for (idx r = 0; r < b; ++r) {
            const double* src = m + (bi * b + r) * mDim;
            double* dst = M + (VI[bi] * b + r) * MDim;
            for (idx bj = 0; bj < vDim; ++bj) {
                double* d = dst + VI[bj] * b;
                const double* s = src + bj * b;
                for (idx q = 0; q < b; ++q) d[q] += s[q];
            }
        }
}

} // namespace linalg
