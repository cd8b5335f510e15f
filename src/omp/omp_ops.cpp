// OpenMP variants of the element-wise and product operations, and their
// exported forwarders LA::...1. Each routine is a thin parallel loop over the
// row body its sequential twin uses, so the two give the same bits.
#include "omp/omp_ops.h"

#include "core/loops.h"
#include "linalg.h"
#include "omp/omp_state.h"

namespace linalg {

void MultiplyVSomp(double* V, int nDim, double S, double* X) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nDim; ++i) X[i] = V[i] * S;
}

void AddVVomp(double* V1, double* V2, int nDim, double* X) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nDim; ++i) X[i] = V1[i] + V2[i];
}

void SubstractVVomp(double* V1, double* V2, int nDim, double* X) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nDim; ++i) X[i] = V1[i] - V2[i];
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
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nDim; ++i) X[i] = V1[i] * V2[i];
}

void CrossVVomp(double* V1, int nRows, double* V2, int nCols, double* X) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nRows; ++i) cross_row(V1, V2, nCols, X, i);
}

void MultiplyMVomp(double* M, int nRowsM, double* V, int nRowsV, double* X) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nRowsM; ++i) mv_row(M, V, nRowsV, X, i);
}

void MultiplyVMomp(double* V, int nColsV, double* M, int nColsM, double* X) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx j = 0; j < nColsM; ++j) vm_col(V, nColsV, M, nColsM, X, j);
}

void MultiplyMSomp(double* M, int nRows, int nCols, double S, double* X) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nRows; ++i) {
        const idx row = i * nCols;
        for (idx j = 0; j < nCols; ++j) X[row + j] = M[row + j] * S;
    }
}

void AddMMomp(double* M1, double* M2, int nRows, int nCols, double* X) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nRows; ++i) {
        const idx row = i * nCols;
        for (idx j = 0; j < nCols; ++j) X[row + j] = M1[row + j] + M2[row + j];
    }
}

void SubstractMMomp(double* M1, double* M2, int nRows, int nCols, double* X) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nRows; ++i) {
        const idx row = i * nCols;
        for (idx j = 0; j < nCols; ++j) X[row + j] = M1[row + j] - M2[row + j];
    }
}

void TransposeMomp(double* M, int nRows, int nCols, double* X) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nRows; ++i) transpose_row(M, nRows, nCols, X, i);
}

void MultiplyMMomp(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) {
    if (!omp_initialised()) return;
    set_team_size();
#pragma omp parallel for schedule(static)
    for (idx i = 0; i < nRows1; ++i) mm_row(M1, nCols, M2, nCols2, X, i);
}

} // namespace linalg

namespace LinearAlgebra {

void LA::MultiplyVS1(double* V, int nDim, double S, double* X) { linalg::MultiplyVSomp(V, nDim, S, X); }
void LA::AddVV1(double* V1, double* V2, int nDim, double* X) { linalg::AddVVomp(V1, V2, nDim, X); }
void LA::SubstractVV1(double* V1, double* V2, int nDim, double* X) { linalg::SubstractVVomp(V1, V2, nDim, X); }
void LA::ZeroV1(double* V, int nDim) { linalg::ZeroVomp(V, nDim); }
void LA::ZeroVI1(int* VI, int nDim) { linalg::ZeroVIomp(VI, nDim); }
void LA::OneVI1(int* VI, int nDim) { linalg::OneVIomp(VI, nDim); }
void LA::TableMultiplyVV1(double* V1, double* V2, int nDim, double* X) { linalg::TableMultiplyVVomp(V1, V2, nDim, X); }
void LA::CrossVV1(double* V1, int nRows, double* V2, int nCols, double* X) { linalg::CrossVVomp(V1, nRows, V2, nCols, X); }
void LA::MultiplyMV1(double* M, int nRowsM, double* V, int nRowsV, double* X) {
    linalg::MultiplyMVomp(M, nRowsM, V, nRowsV, X);
}
void LA::MultiplyVM1(double* V, int nColsV, double* M, int nColsM, double* X) {
    linalg::MultiplyVMomp(V, nColsV, M, nColsM, X);
}
void LA::MultiplyMS1(double* M, int nRows, int nCols, double S, double* X) {
    linalg::MultiplyMSomp(M, nRows, nCols, S, X);
}
void LA::AddMM1(double* M1, double* M2, int nRows, int nCols, double* X) { linalg::AddMMomp(M1, M2, nRows, nCols, X); }
void LA::SubstractMM1(double* M1, double* M2, int nRows, int nCols, double* X) {
    linalg::SubstractMMomp(M1, M2, nRows, nCols, X);
}
void LA::TransposeM1(double* M, int nRows, int nCols, double* X) { linalg::TransposeMomp(M, nRows, nCols, X); }
void LA::MultiplyMM1(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) {
    linalg::MultiplyMMomp(M1, nRows1, nCols, M2, nCols2, X);
}

} // namespace LinearAlgebra
