// Plain loop bodies shared by the sequential operations and their OpenMP
// twins. Each function computes one outer index of its operation exactly as
// the reference loop nest does, so a caller that runs the outer index in any
// order or on any thread gets the same bits.
//
// Index arithmetic is 64-bit (ptrdiff_t): a product of two int dimensions may
// exceed 2^31 - 1 without wrapping into a wrong address.
#ifndef LINALG_CORE_LOOPS_H
#define LINALG_CORE_LOOPS_H

#include <cstddef>

namespace linalg {

using idx = std::ptrdiff_t;

// Row i of the outer product: X[i*nCols + j] = V1[i] * V2[j], j ascending.
inline void cross_row(const double* V1, const double* V2, int nCols, double* X, idx i) {
    double* x = X + i * nCols;
    const double a = V1[i];
    for (idx j = 0; j < nCols; ++j) x[j] = a * V2[j];
}

// X[i] = sum_j M[i, j] * V[j], accumulated from 0.0 in ascending j.
inline void mv_row(const double* M, const double* V, int nRowsV, double* X, idx i) {
    const double* m = M + i * nRowsV;
    double s = 0.0;
    for (idx j = 0; j < nRowsV; ++j) s += m[j] * V[j];
    X[i] = s;
}

// X[j] = sum_i V[i] * M[i, j], accumulated from 0.0 in ascending i.
inline void vm_col(const double* V, int nColsV, const double* M, int nColsM, double* X, idx j) {
    double s = 0.0;
    for (idx i = 0; i < nColsV; ++i) s += V[i] * M[i * nColsM + j];
    X[j] = s;
}

// Row i of X = M1 * M2: each X[i, j] from 0.0, k ascending.
inline void mm_row(const double* M1, int nCols, const double* M2, int nCols2, double* X, idx i) {
    const double* a = M1 + i * nCols;
    double* x = X + i * nCols2;
    for (idx j = 0; j < nCols2; ++j) {
        double s = 0.0;
        for (idx k = 0; k < nCols; ++k) s += a[k] * M2[k * nCols2 + j];
        x[j] = s;
    }
}

// Row i of the transpose: X[j*nRows + i] = M[i*nCols + j].
inline void transpose_row(const double* M, int nRows, int nCols, double* X, idx i) {
    const double* m = M + i * nCols;
    for (idx j = 0; j < nCols; ++j) X[j * nRows + i] = m[j];
}

} // namespace linalg

#endif
