// OpenMP variants of the element-wise and product operations.
//
// Common contract of every routine below:
//  * Same parameters, shapes and results as the sequential twin of the same
//    base name (LA::AddVV for AddVVomp, ...), and bit-identical output for
//    any thread count: each thread runs the twin's fast kernel on its block
//    of outer indices, and the kernels give the plain loop's bits for any
//    split.
//  * Not initialised (no positive LA::Init_openMP yet): prints the message
//    of InitOMP and returns without touching the output.
//  * Otherwise one parallel region of MAX_THREADS threads runs one loop over
//    the outer index under the static schedule; sizes <= 0 write nothing.
//  * Element-wise operations may write in place (X equal to an input); the
//    products, the outer product and the transpose need X disjoint from the
//    inputs.
#ifndef LINALG_OMP_OMP_OPS_H
#define LINALG_OMP_OMP_OPS_H

namespace linalg {

// Vectors of nDim elements; loop over i < nDim.
void MultiplyVSomp(double* V, int nDim, double S, double* X);       // X = V*S
void AddVVomp(double* V1, double* V2, int nDim, double* X);         // X = V1+V2
void SubstractVVomp(double* V1, double* V2, int nDim, double* X);   // X = V1-V2
void ZeroVomp(double* V, int nDim);                                  // V = 0.0
void ZeroVIomp(int* VI, int nDim);                                   // VI = 0
void OneVIomp(int* VI, int nDim);                                    // VI = 1
void TableMultiplyVVomp(double* V1, double* V2, int nDim, double* X);  // X = V1.*V2

// X (nRows x nCols) = V1 * V2^T; loop over rows i < nRows.
void CrossVVomp(double* V1, int nRows, double* V2, int nCols, double* X);
// X (nRowsM) = M (nRowsM x nRowsV) * V; loop over rows i < nRowsM.
void MultiplyMVomp(double* M, int nRowsM, double* V, int nRowsV, double* X);
// X (nColsM) = V^T (nColsV) * M (nColsV x nColsM); loop over columns j < nColsM.
void MultiplyVMomp(double* V, int nColsV, double* M, int nColsM, double* X);
// Element-wise on nRows x nCols matrices; loop over rows i < nRows.
void MultiplyMSomp(double* M, int nRows, int nCols, double S, double* X);
void AddMMomp(double* M1, double* M2, int nRows, int nCols, double* X);
void SubstractMMomp(double* M1, double* M2, int nRows, int nCols, double* X);
// X (nCols x nRows) = M^T; loop over rows i < nRows of M.
void TransposeMomp(double* M, int nRows, int nCols, double* X);
// X (nRows1 x nCols2) = M1 (nRows1 x nCols) * M2 (nCols x nCols2); loop over
// rows i < nRows1; nCols <= 0 writes zeros.
void MultiplyMMomp(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);

} // namespace linalg

#endif
