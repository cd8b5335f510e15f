// GPU back-end: device selection, the host routines behind the exported GPU
// variants and the two GPU solvers. Every routine works on caller-owned host
// arrays; a routine never returns a status, its failures are printed.
//
// Common protocol of a GPU operation: device reset; (solvers) eight-byte
// shared-memory banks; device buffers allocated in a fixed order;
// checkpoint 1 "cudaMalloc error! %s\n"; zero-fill of every buffer; uploads;
// checkpoint 2 "cudaMemcpy HtD error! %s\n"; kernel launches; (solvers)
// synchronise and read the singularity flag; download, skipped when a launch
// or the wait failed; checkpoint 3 "cudaMemcpy DtH error! %s\n"; release of
// the buffers in allocation order; device reset. After checkpoint 1 or 2
// fails the element-wise and product routines return at once (the next
// operation's reset discards their buffers) and the solvers release and
// reset. The output is written only when every step succeeded. Sizes of zero
// or less make no device call at all.
#ifndef LINALG_CUDA_CUDA_BACKEND_H
#define LINALG_CUDA_CUDA_BACKEND_H

namespace linalg {

// Checks GPU iDev: -1 (after "GPU=%d is not a valid Coprocessor Device!\n",
// "\nPress <Enter>..." and one character read from stdin) when no such
// device exists; otherwise 10*major + minor. At 35 or more the device becomes
// the current one silently; below, it is rejected with two messages, the
// prompt and a one-character read, and the current device stays.
int CheckComputeCapability(int iDev);

// Element-wise operations, one GPU thread per element, results equal to the
// sequential variants bit for bit. X may be an input array.
void vectorscalarMultiplication(double* V, int nDim, double S, double* X);      // X = V*S
void vectorvectorAddition(double* V1, double* V2, int nDim, double* X);         // X = V1+V2
void vectorvectorSubstraction(double* V1, double* V2, int nDim, double* X);     // X = V1-V2
void vectorvectorMultiplication(double* V1, int nRows, double* V2, int nCols, double* X);  // outer product
void matrixscalarMultiplication(double* M, int nRows, int nCols, double S, double* X);     // X = M*S
void matrixmatrixAddition(double* M1, double* M2, int nRows, int nCols, double* X);        // X = M1+M2
void matrixmatrixSubstraction(double* M1, double* M2, int nRows, int nCols, double* X);    // X = M1-M2

// Products, one GPU thread per result element, terms in ascending k with one
// fused multiply-add each; an inner count <= 0 gives zeros.
void matrixvectorMultiplication(double* M, int nRowsM, double* V, int nRowsV, double* X);  // X = M*V
void vectormatrixMultiplication(double* V, int nColsV, double* M, int nColsM, double* X);  // X = V*M
void matrixMultiplication(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);  // X = M1*M2

// Solves A*X = B (A nDim x nDim row-major) by Gauss-Jordan elimination on the
// GPU with power-of-two row scaling and partial pivoting. A pivot of
// magnitude below the CPU solvers' threshold (1e-12) prints "ERROR! Singular
// system!" (no line feed) and leaves X untouched. X may be B.
void SolveGJcuda(double* A, double* B, double* X, const int nDim);

// Solves A*X = B with the forward elimination on the GPU (same preparation
// and pivoting as SolveGJcuda, singular systems reported alike) and the back
// substitution on the host, X written from its last element to its first.
// X may be B.
void SolveGcudacpu(double* A, double* B, double* X, const int nDim);

} // namespace linalg

#endif
