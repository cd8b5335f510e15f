// LinearAlgebra::LA: the GPU device check and the GPU arithmetic (suffix 2).
// The GPU solvers SolveLSE2, SolveLSE3 and SolveLSEauto are in
// api/solvers.cpp.
#include "base/message.h"
#include "cuda/cuda_backend.h"
#include "linalg.h"

namespace LinearAlgebra {

int LA::Init_CUDA(int iDev) { return linalg::CheckComputeCapability(iDev); }

void LA::MultiplyVS2(double* V, int nDim, double S, double* X) {
    linalg::clear_status();
    linalg::vectorscalarMultiplication(V, nDim, S, X);
}
void LA::AddVV2(double* V1, double* V2, int nDim, double* X) {
    linalg::clear_status();
    linalg::vectorvectorAddition(V1, V2, nDim, X);
}
void LA::SubstractVV2(double* V1, double* V2, int nDim, double* X) {
    linalg::clear_status();
    linalg::vectorvectorSubstraction(V1, V2, nDim, X);
}
void LA::CrossVV2(double* V1, int nRows, double* V2, int nCols, double* X) {
    linalg::clear_status();
    linalg::vectorvectorMultiplication(V1, nRows, V2, nCols, X);
}
void LA::MultiplyMV2(double* M, int nRowsM, double* V, int nRowsV, double* X) {
    linalg::clear_status();
    linalg::matrixvectorMultiplication(M, nRowsM, V, nRowsV, X);
}
void LA::MultiplyVM2(double* V, int nColsV, double* M, int nColsM, double* X) {
    linalg::clear_status();
    linalg::vectormatrixMultiplication(V, nColsV, M, nColsM, X);
}
void LA::MultiplyMS2(double* M, int nRows, int nCols, double S, double* X) {
    linalg::clear_status();
    linalg::matrixscalarMultiplication(M, nRows, nCols, S, X);
}
void LA::AddMM2(double* M1, double* M2, int nRows, int nCols, double* X) {
    linalg::clear_status();
    linalg::matrixmatrixAddition(M1, M2, nRows, nCols, X);
}
void LA::SubstractMM2(double* M1, double* M2, int nRows, int nCols, double* X) {
    linalg::clear_status();
    linalg::matrixmatrixSubstraction(M1, M2, nRows, nCols, X);
}
void LA::MultiplyMM2(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) {
    linalg::clear_status();
    linalg::matrixMultiplication(M1, nRows1, nCols, M2, nCols2, X);
}

} // namespace LinearAlgebra
