// The vector and matrix operations behind LA's sequential arithmetic, each
// over the whole of its operands (shapes as the exported member of the same
// name documents them).
#ifndef LINALG_CORE_OPERATIONS_H
#define LINALG_CORE_OPERATIONS_H

namespace linalg {

void copy_v(double* Vin, int nDim, double* Vout);
double sum_v(double* V, int nDim);
double sum_vv(double* V, int nDim);
double sqrt_vv(double* V, int nDim);
double dot_vv(double* V1, double* V2, int nDim);
void multiply_vs(double* V, int nDim, double S, double* X);
void add_vv(double* V1, double* V2, int nDim, double* X);
void substract_vv(double* V1, double* V2, int nDim, double* X);
void table_multiply_vv(double* V1, double* V2, int nDim, double* X);
void zero_v(double* V, int nDim);
void zero_vi(int* VI, int nDim);
void one_vi(int* VI, int nDim);
void select_v(double* V, int* VI, int nDim, double* X);
void assemble_vv(double* V1, int* VI, int nDim, double* V2, double* X);
void cross_vv(double* V1, int nRows, double* V2, int nCols, double* X);
int find_v(double* V, int nDim, double S, int Cond, int* XI);
void sort_v(double* V, int nDim, double* X);
void sort_vi(double* V, int nDim, int* XI);
double max_v(double* V, int iStart, int iStop, int step);
int id_max_v(double* V, int iStart, int iStop, int step);
void multiply_mv(double* M, int nRowsM, double* V, int nRowsV, double* X);
void multiply_vm(double* V, int nColsV, double* M, int nColsM, double* X);
void multiply_ms(double* M, int nRows, int nCols, double S, double* X);
void add_mm(double* M1, double* M2, int nRows, int nCols, double* X);
void substract_mm(double* M1, double* M2, int nRows, int nCols, double* X);
void transpose_m(double* M, int nRows, int nCols, double* X);
void select_msq(double* M, int nDim, int* VI, double* X);
void aggregate_mmsq(double* m, int mDim, int* VI, int vDim, double* M, int MDim);
void multiply_mm(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);

} // namespace linalg

#endif
