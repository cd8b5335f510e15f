// Sequential matrix operations of LinearAlgebra::LA.
#include "linalg.h"
#include "core/loops.h"

namespace LinearAlgebra {

using linalg::idx;

namespace {
// Number of elements of an nRows x nCols matrix, 0 when either is <= 0.
inline idx elements(int nRows, int nCols) {
    return (nRows > 0 && nCols > 0) ? static_cast<idx>(nRows) * nCols : 0;
}
} // namespace

void LA::MultiplyMV(double* M, int nRowsM, double* V, int nRowsV, double* X) {
    for (idx i = 0; i < nRowsM; ++i) linalg::mv_row(M, V, nRowsV, X, i);
}

void LA::MultiplyVM(double* V, int nColsV, double* M, int nColsM, double* X) {
    for (idx j = 0; j < nColsM; ++j) linalg::vm_col(V, nColsV, M, nColsM, X, j);
}

void LA::MultiplyMS(double* M, int nRows, int nCols, double S, double* X) {
    const idx n = elements(nRows, nCols);
    for (idx i = 0; i < n; ++i) X[i] = M[i] * S;
}

void LA::AddMM(double* M1, double* M2, int nRows, int nCols, double* X) {
    const idx n = elements(nRows, nCols);
    for (idx i = 0; i < n; ++i) X[i] = M1[i] + M2[i];
}

void LA::SubstractMM(double* M1, double* M2, int nRows, int nCols, double* X) {
    const idx n = elements(nRows, nCols);
    for (idx i = 0; i < n; ++i) X[i] = M1[i] - M2[i];
}

void LA::TransposeM(double* M, int nRows, int nCols, double* X) {
    for (idx i = 0; i < nRows; ++i) linalg::transpose_row(M, nRows, nCols, X, i);
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
    for (idx i = 0; i < nRows1; ++i) linalg::mm_row(M1, nCols, M2, nCols2, X, i);
}

} // namespace LinearAlgebra
