// Sequential matrix operations of LinearAlgebra::LA.
#include "linalg.h"
#include "kernels/kernels.h"

namespace LinearAlgebra {

using linalg::idx;

namespace {
// Number of elements of an nRows x nCols matrix, 0 when either is <= 0.
inline idx elements(int nRows, int nCols) {
    return (nRows > 0 && nCols > 0) ? static_cast<idx>(nRows) * nCols : 0;
}
} // namespace

void LA::MultiplyMV(double* M, int nRowsM, double* V, int nRowsV, double* X) {
    linalg::mv_rows(M, V, nRowsV, X, 0, nRowsM);
}

void LA::MultiplyVM(double* V, int nColsV, double* M, int nColsM, double* X) {
    linalg::vm_cols(V, nColsV, M, nColsM, X, 0, nColsM);
}

void LA::MultiplyMS(double* M, int nRows, int nCols, double S, double* X) {
    linalg::kernels().scale(M, S, X, 0, elements(nRows, nCols));
}

void LA::AddMM(double* M1, double* M2, int nRows, int nCols, double* X) {
    linalg::kernels().add(M1, M2, X, 0, elements(nRows, nCols));
}

void LA::SubstractMM(double* M1, double* M2, int nRows, int nCols, double* X) {
    linalg::kernels().sub(M1, M2, X, 0, elements(nRows, nCols));
}

void LA::TransposeM(double* M, int nRows, int nCols, double* X) {
    linalg::transpose_rows(M, nRows, nCols, X, 0, nRows);
}

void LA::SelectMsq(double* M, int nDim, int* VI, double* X) {
    idx k = 0;
    for (idx i = 0; i < nDim; ++i) {
        if (VI[i] != 1) continue;
        for (idx j = 0; j < nDim; ++j)
            if (VI[j] == 1) X[k++] = M[i * nDim + j];
    }
}

void LA::AggregateMMsq(double* m, int mDim, int* VI, int vDim, double* M, int MDim) {
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

void LA::MultiplyMM(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) {
    linalg::mm_rows(M1, nCols, M2, nCols2, X, 0, nRows1);
}

} // namespace LinearAlgebra
