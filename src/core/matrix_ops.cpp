// Sequential matrix operations behind LinearAlgebra::LA.
#include "core/operations.h"
#include "kernels/kernels.h"

namespace linalg {

namespace {
// Number of elements of an nRows x nCols matrix, 0 when either is <= 0.
inline idx elements(int nRows, int nCols) {
    return (nRows > 0 && nCols > 0) ? static_cast<idx>(nRows) * nCols : 0;
}
} // namespace

void multiply_mv(double* M, int nRowsM, double* V, int nRowsV, double* X) {
    mv_rows(M, V, nRowsV, X, 0, nRowsM);
}

void multiply_vm(double* V, int nColsV, double* M, int nColsM, double* X) {
    vm_cols(V, nColsV, M, nColsM, X, 0, nColsM);
}

void multiply_ms(double* M, int nRows, int nCols, double S, double* X) {
    kernels().scale(M, S, X, 0, elements(nRows, nCols));
}

void add_mm(double* M1, double* M2, int nRows, int nCols, double* X) {
    kernels().add(M1, M2, X, 0, elements(nRows, nCols));
}

void substract_mm(double* M1, double* M2, int nRows, int nCols, double* X) {
    kernels().sub(M1, M2, X, 0, elements(nRows, nCols));
}

void transpose_m(double* M, int nRows, int nCols, double* X) {
    transpose_rows(M, nRows, nCols, X, 0, nRows);
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

void multiply_mm(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) {
    mm_rows(M1, nCols, M2, nCols2, X, 0, nRows1);
}

} // namespace linalg
