// LinearAlgebra::LA: the vector and matrix arithmetic, sequential (no suffix)
// and OpenMP (suffix 1), and the OpenMP thread count. The GPU forms (suffix 2)
// are in api/gpu.cpp. The sequential arithmetic leaves the status as it was;
// the OpenMP forms record it in their initialisation check (InitOMP), SortVI
// records its own.
#include "linalg.h"

#include "base/message.h"
#include "base/team.h"
#include "ops/operations.h"

namespace LinearAlgebra {

using namespace linalg;

int LA::Init_openMP(int max_cores) { return InitOMP(max_cores); }

// Sequential.
void LA::CopyV(double* Vin, int nDim, double* Vout) { copy_v(Vin, nDim, Vout); }
double LA::SumV(double* V, int nDim) { return sum_v(V, nDim); }
double LA::SumVV(double* V, int nDim) { return sum_vv(V, nDim); }
double LA::SqrtVV(double* V, int nDim) { return sqrt_vv(V, nDim); }
double LA::DotVV(double* V1, double* V2, int nDim) { return dot_vv(V1, V2, nDim); }
void LA::MultiplyVS(double* V, int nDim, double S, double* X) { multiply_vs(V, nDim, S, X); }
void LA::AddVV(double* V1, double* V2, int nDim, double* X) { add_vv(V1, V2, nDim, X); }
void LA::SubstractVV(double* V1, double* V2, int nDim, double* X) { substract_vv(V1, V2, nDim, X); }
void LA::TableMultiplyVV(double* V1, double* V2, int nDim, double* X) { table_multiply_vv(V1, V2, nDim, X); }
void LA::ZeroV(double* V, int nDim) { zero_v(V, nDim); }
void LA::ZeroVI(int* VI, int nDim) { zero_vi(VI, nDim); }
void LA::OneVI(int* VI, int nDim) { one_vi(VI, nDim); }
void LA::SelectV(double* V, int* VI, int nDim, double* X) { select_v(V, VI, nDim, X); }
void LA::AssembleVV(double* V1, int* VI, int nDim, double* V2, double* X) { assemble_vv(V1, VI, nDim, V2, X); }
void LA::CrossVV(double* V1, int nRows, double* V2, int nCols, double* X) { cross_vv(V1, nRows, V2, nCols, X); }
int LA::FindV(double* V, int nDim, double S, int Cond, int* XI) { return find_v(V, nDim, S, Cond, XI); }
void LA::SortV(double* V, int nDim, double* X) { sort_v(V, nDim, X); }
void LA::SortVI(double* V, int nDim, int* XI) {
    clear_status();
    sort_vi(V, nDim, XI);
}
double LA::MaxV(double* V, int iStart, int iStop, int step) { return max_v(V, iStart, iStop, step); }
int LA::idMaxV(double* V, int iStart, int iStop, int step) { return id_max_v(V, iStart, iStop, step); }
void LA::MultiplyMV(double* M, int nRowsM, double* V, int nRowsV, double* X) { multiply_mv(M, nRowsM, V, nRowsV, X); }
void LA::MultiplyVM(double* V, int nColsV, double* M, int nColsM, double* X) { multiply_vm(V, nColsV, M, nColsM, X); }
void LA::MultiplyMS(double* M, int nRows, int nCols, double S, double* X) { multiply_ms(M, nRows, nCols, S, X); }
void LA::AddMM(double* M1, double* M2, int nRows, int nCols, double* X) { add_mm(M1, M2, nRows, nCols, X); }
void LA::SubstractMM(double* M1, double* M2, int nRows, int nCols, double* X) { substract_mm(M1, M2, nRows, nCols, X); }
void LA::TransposeM(double* M, int nRows, int nCols, double* X) { transpose_m(M, nRows, nCols, X); }
void LA::SelectMsq(double* M, int nDim, int* VI, double* X) { select_msq(M, nDim, VI, X); }
void LA::AggregateMMsq(double* m, int mDim, int* VI, int vDim, double* M, int MDim) { aggregate_mmsq(m, mDim, VI, vDim, M, MDim); }
void LA::MultiplyMM(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) { multiply_mm(M1, nRows1, nCols, M2, nCols2, X); }

// OpenMP: each checks the initialisation first (InitOMP), which stores the
// status.
void LA::MultiplyVS1(double* V, int nDim, double S, double* X) { MultiplyVSomp(V, nDim, S, X); }
void LA::AddVV1(double* V1, double* V2, int nDim, double* X) { AddVVomp(V1, V2, nDim, X); }
void LA::SubstractVV1(double* V1, double* V2, int nDim, double* X) { SubstractVVomp(V1, V2, nDim, X); }
void LA::ZeroV1(double* V, int nDim) { ZeroVomp(V, nDim); }
void LA::ZeroVI1(int* VI, int nDim) { ZeroVIomp(VI, nDim); }
void LA::OneVI1(int* VI, int nDim) { OneVIomp(VI, nDim); }
void LA::TableMultiplyVV1(double* V1, double* V2, int nDim, double* X) { TableMultiplyVVomp(V1, V2, nDim, X); }
void LA::CrossVV1(double* V1, int nRows, double* V2, int nCols, double* X) { CrossVVomp(V1, nRows, V2, nCols, X); }
void LA::MultiplyMV1(double* M, int nRowsM, double* V, int nRowsV, double* X) { MultiplyMVomp(M, nRowsM, V, nRowsV, X); }
void LA::MultiplyVM1(double* V, int nColsV, double* M, int nColsM, double* X) { MultiplyVMomp(V, nColsV, M, nColsM, X); }
void LA::MultiplyMS1(double* M, int nRows, int nCols, double S, double* X) { MultiplyMSomp(M, nRows, nCols, S, X); }
void LA::AddMM1(double* M1, double* M2, int nRows, int nCols, double* X) { AddMMomp(M1, M2, nRows, nCols, X); }
void LA::SubstractMM1(double* M1, double* M2, int nRows, int nCols, double* X) { SubstractMMomp(M1, M2, nRows, nCols, X); }
void LA::TransposeM1(double* M, int nRows, int nCols, double* X) { TransposeMomp(M, nRows, nCols, X); }
void LA::MultiplyMM1(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X) { MultiplyMMomp(M1, nRows1, nCols, M2, nCols2, X); }

} // namespace LinearAlgebra
