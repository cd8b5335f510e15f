// The 19 kernels of the GPU back-end (defined in kernels.cuh, compiled into
// one translation unit). Thread indices: g = blockIdx.x * blockDim.x +
// threadIdx.x in one dimension; gx likewise and gy = (blockIdx.z * gridDim.y
// + blockIdx.y) * blockDim.y + threadIdx.y in two (grid.z carries the row
// blocks beyond grid.y's limit). Matrices are row-major; element offsets are
// formed in 64-bit arithmetic.
#ifndef LINALG_CUDA_KERNELS_H
#define LINALG_CUDA_KERNELS_H

#include "cuda/cuda_compat.h"

// ---- element-wise and product kernels -------------------------------------
// Each thread writes at most one element; threads outside the result do
// nothing. Products take their terms in ascending k, one fma per term, from
// 0.0 (an inner count <= 0 stores 0.0).

// v[g] = v[g] * s for g < n.
__global__ void vectorscalarMultiplicationKernel(double* v, int n, double s);
// b[g] = a[g] + b[g] for g < n.
__global__ void vectorvectorAdditionKernel(double* a, double* b, int n);
// b[g] = b[g] - a[g] for g < n.
__global__ void vectorvectorSubstractionKernel(double* a, double* b, int n);
// x[r*nCols + c] = u[r] * w[c] for r = gy < nRows, c = gx < nCols.
__global__ void vectorvectorMultiplicationKernel(double* u, int nRows, double* w, int nCols, double* x);
// x[g] = sum_k m[g*nRowsV + k] * v[k] for g < nRowsM.
__global__ void matrixvectorMultiplicationKernel(double* m, int nRowsM, double* v, int nRowsV, double* x);
// x[g] = sum_k v[k] * m[k*nColsM + g] for g < nColsM.
__global__ void vectormatrixMultiplicationKernel(double* v, int nColsV, double* m, int nColsM, double* x);
// m[e] = m[e] * s, e = r*nCols + c, for r = gy < nRows, c = gx < nCols.
__global__ void matrixscalarMultiplicationKernel(double* m, int nRows, int nCols, double s);
// b[e] = a[e] + b[e] over the nRows x nCols matrix.
__global__ void matrixmatrixAdditionKernel(double* a, double* b, int nRows, int nCols);
// b[e] = b[e] - a[e] over the nRows x nCols matrix.
__global__ void matrixmatrixSubstractionKernel(double* a, double* b, int nRows, int nCols);
// x[r*nCols2 + c] = sum_k m1[r*nCols + k] * m2[k*nCols2 + c],
// r = gy < nRows1, c = gx < nCols2.
__global__ void matrixMultiplicationKernel(double* m1, int nRows1, int nCols, double* m2, int nCols2, double* x);

// ---- solver kernels ----------------------------------------------------------
// w is the augmented matrix [A | B] of n rows and row length nC = n + 1.

// Row g < n: w[g*nC + k] = a[g*n + k] for k < n (ascending), w[g*nC + n] = b[g].
__global__ void JOINABd_CU(double* a, double* b, double* w, int n, int nC);
// Row g < n is multiplied (all nC entries) by a power of lnBase's base that
// brings its absolute sum over the first n entries into [0.5, 1]; rows with a
// sum <= 1e-10 (or NaN) or already in [0.5, 1] are left alone.
__global__ void SCALEd_CU(double* w, int n, int nC, double lnBase);
// p[g] = g for g < n.
__global__ void VIDX_CU(int* p, int n);
// k = g + off < n: v[k] = w[k*nC + k].
__global__ void EXTRDIAGd_CU(double* w, double* v, int n, int nC, int off);
// k = g + off < n: v[k] = w[k*nC + col].
__global__ void EXTRCOLd_CU(double* w, double* v, int n, int nC, int col, int off);
// Pivots of magnitude below this make a system singular (the CPU solvers'
// threshold).
constexpr double kSingularPivot = 1e-12;

// One block of T threads (T*T >= n - start, T <= 1024): p[col] = uppermost
// row among start..n-1 with the largest |w(row, col)| (row length n + 1),
// v[col] = w(p[col], col). Thread t scans rows start + t*T .. +T-1, then a
// barrier, then thread 0 reduces the per-thread candidates in order. Ties
// and NaN never displace an earlier row. p holds n + 1 ints: p[n] is the
// singularity flag. v[r], r > col, holds row r's factor in the CPU solvers'
// row scaling (1 for the rows SCALEd_CU scaled; the search with col == 0
// computes them all): the flag is set when |v[col]| times that factor is
// below kSingularPivot and no other row's pivot in its own scale reaches it;
// if one does, the largest such is the pivot. The factor of row start moves
// to the chosen row.
__global__ void MAXd_CU(double* w, double* v, int* p, int n, int col, int start, int T);
// k = g + i < nC: with q = p[i], exchanges w(i, k) and w(q, k) and divides
// the new w(i, k) by v[i] (just divides when q == i). Columns < i untouched.
__global__ void SWAPd_CU(double* v, int* p, double* w, int nC, int i);
// c = gx + off < nC, r = gy < n, r != i:
// w(r, c) = fma(-w(r, i), w(i, c), w(r, c)). Never writes row i or column i.
__global__ void SUBROWSd_CU(double* w, int n, int nC, int i, int off);
// As SUBROWSd_CU for the rows below i only: r = i + gy < n with gy != 0.
__global__ void SUBSUBROWSd_CU(double* w, int n, int nC, int i, int off);

#endif
