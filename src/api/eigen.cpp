// LinearAlgebra::LA: the eigen-solvers. Each clears the status and calls
// its driver (eigen/eigen.h).
#include "linalg.h"

#include "base/message.h"
#include "eigen/eigen.h"

namespace LinearAlgebra {

using namespace linalg;

void LA::EigenUnSymmSystemMsq(double* M, int nDim, double* eV_r, double* eV_i) {
    clear_status();
    EigenUnSymmSystem(M, nDim, eV_r, eV_i);
}

void LA::EigenSymmSystemMsqJ(double* M, int nDim, double* eV, double* eM) {
    clear_status();
    EigenSymmSystemJacobi(M, nDim, eV, eM);
}

void LA::EigenSymmSystemMsqH(double* M, int nDim, double* eV, double* eM) {
    clear_status();
    EigenSymmSystemHQL(M, nDim, eV, eM);
}

} // namespace LinearAlgebra
