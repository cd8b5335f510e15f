// The vector and matrix operations behind LA's arithmetic. Each operation is
// written once over a range of its outer index (ops/vector_ops.cpp,
// ops/matrix_ops.cpp) and has two entry points: the sequential one (snake
// case, the whole range in the calling thread) and the OpenMP one (the
// names below ending in omp). Shapes are those of the exported member of
// the same base name.
//
// Common contract of the OpenMP entry points:
//  * Same parameters, shapes and results as the sequential entry point, and
//    bit-identical output for any thread count: each thread runs the same
//    range body on its block of outer indices, and the kernels give the
//    plain loop's bits for any split.
//  * Not initialised (no positive LA::Init_openMP yet): prints the message
//    of InitOMP and returns without touching the output.
//  * Otherwise one parallel region of MAX_THREADS threads runs the outer
//    index in static blocks (base/team.h); sizes <= 0 write nothing.
//  * Element-wise operations may write in place (X equal to an input); the
//    products, the outer product and the transpose need X disjoint from the
//    inputs.
#ifndef LINALG_OPS_OPERATIONS_H
#define LINALG_OPS_OPERATIONS_H

namespace linalg {

// Sequential only: copies, reductions, selections, sorting, searches.
void copy_v(double* Vin, int nDim, double* Vout);
double sum_v(double* V, int nDim);
double sum_vv(double* V, int nDim);
double sqrt_vv(double* V, int nDim);
double dot_vv(double* V1, double* V2, int nDim);
void select_v(double* V, int* VI, int nDim, double* X);
void assemble_vv(double* V1, int* VI, int nDim, double* V2, double* X);
int find_v(double* V, int nDim, double S, int Cond, int* XI);
void sort_v(double* V, int nDim, double* X);
void sort_vi(double* V, int nDim, int* XI);
double max_v(double* V, int iStart, int iStop, int step);
int id_max_v(double* V, int iStart, int iStop, int step);
void select_msq(double* M, int nDim, int* VI, double* X);
void aggregate_mmsq(double* m, int mDim, int* VI, int vDim, double* M, int MDim);

// Vectors of nDim elements; outer index i < nDim.
void multiply_vs(double* V, int nDim, double S, double* X);  // X = V*S
void MultiplyVSomp(double* V, int nDim, double S, double* X);
void add_vv(double* V1, double* V2, int nDim, double* X);  // X = V1+V2
void AddVVomp(double* V1, double* V2, int nDim, double* X);
void substract_vv(double* V1, double* V2, int nDim, double* X);  // X = V1-V2
void SubstractVVomp(double* V1, double* V2, int nDim, double* X);
void table_multiply_vv(double* V1, double* V2, int nDim, double* X);  // X = V1.*V2
void TableMultiplyVVomp(double* V1, double* V2, int nDim, double* X);
void zero_v(double* V, int nDim);  // V = 0.0
void ZeroVomp(double* V, int nDim);
void zero_vi(int* VI, int nDim);  // VI = 0
void ZeroVIomp(int* VI, int nDim);
void one_vi(int* VI, int nDim);  // VI = 1
void OneVIomp(int* VI, int nDim);

// X (nRows x nCols) = V1 * V2^T; outer index: rows i < nRows.
void cross_vv(double* V1, int nRows, double* V2, int nCols, double* X);
void CrossVVomp(double* V1, int nRows, double* V2, int nCols, double* X);
// X (nRowsM) = M (nRowsM x nRowsV) * V; rows i < nRowsM.
void multiply_mv(double* M, int nRowsM, double* V, int nRowsV, double* X);
void MultiplyMVomp(double* M, int nRowsM, double* V, int nRowsV, double* X);
// X (nColsM) = V^T (nColsV) * M (nColsV x nColsM); columns j < nColsM.
void multiply_vm(double* V, int nColsV, double* M, int nColsM, double* X);
void MultiplyVMomp(double* V, int nColsV, double* M, int nColsM, double* X);
// Element-wise on nRows x nCols matrices; rows i < nRows.
void multiply_ms(double* M, int nRows, int nCols, double S, double* X);
void MultiplyMSomp(double* M, int nRows, int nCols, double S, double* X);
void add_mm(double* M1, double* M2, int nRows, int nCols, double* X);
void AddMMomp(double* M1, double* M2, int nRows, int nCols, double* X);
void substract_mm(double* M1, double* M2, int nRows, int nCols, double* X);
void SubstractMMomp(double* M1, double* M2, int nRows, int nCols, double* X);
// X (nCols x nRows) = M^T; rows i < nRows of M.
void transpose_m(double* M, int nRows, int nCols, double* X);
void TransposeMomp(double* M, int nRows, int nCols, double* X);
// X (nRows1 x nCols2) = M1 (nRows1 x nCols) * M2 (nCols x nCols2); rows
// i < nRows1; nCols <= 0 writes zeros.
void multiply_mm(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);
void MultiplyMMomp(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);

} // namespace linalg

#endif
