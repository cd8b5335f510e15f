// LinearAlgebra::LA: linear systems, inverse and determinant. Each clears
// the status and calls one solver; SolveLSEauto picks the solver by order.
#include "linalg.h"

#include "base/message.h"
#include "cuda/cuda_backend.h"
#include "solvers/solvers.h"

namespace LinearAlgebra {

using namespace linalg;

void LA::SolveLSE(double* A, double* B, double* X, int nDim) {
    clear_status();
    SolveGcpu(A, B, X, nDim);
}

// The initialisation check (InitOMP) stores the status.
void LA::SolveLSE1(double* A, double* B, double* X, int nDim) { SolveGomp(A, B, X, nDim); }

void LA::SolveLSE2(double* A, double* B, double* X, int nDim) {
    clear_status();
    SolveGJcuda(A, B, X, nDim);
}

void LA::SolveLSE3(double* A, double* B, double* X, int nDim) {
    clear_status();
    SolveGcudacpu(A, B, X, nDim);
}

// Exactly one solver runs: sequential Gauss below n1, GPU Gauss-Jordan below
// n2, the hybrid solver from n2 on (signed, strict comparisons).
void LA::SolveLSEauto(double* A, double* B, double* X, int nDim, int n1, int n2) {
    clear_status();
    if (nDim < n1)
        SolveGcpu(A, B, X, nDim);
    else if (nDim < n2)
        SolveGJcuda(A, B, X, nDim);
    else
        SolveGcudacpu(A, B, X, nDim);
}

void LA::InverseMsq(double* M, double* iM, int nDim) {
    clear_status();
    InvertGJcpu(M, iM, nDim);
}

double LA::DeterminantMsq(double* M, int nDim) {
    clear_status();
    const double det = DeterminantGcpu(M, nDim);
    // The closed formulas of orders 1 to 3 test nothing and print nothing; an
    // exactly singular matrix is still recorded as such.
    if (nDim >= 1 && nDim <= 3 && det == 0.0) set_status(Error::Singular);
    return det;
}

} // namespace LinearAlgebra
