// OpenMP Gauss solver (SolveGomp).
#include "omp/omp_solver.h"

#include "linalg.h"
#include "omp/omp_state.h"
#include "solvers/blocked_lu.h"

namespace linalg {

void SolveGomp(double* A, double* B, double* X, const int nDim) {
    if (!omp_initialised()) return;
    solve_gauss(A, B, X, nDim, PivotForm::Divided, MAX_THREADS, "the SolveLSE1 work matrix");
}

} // namespace linalg
