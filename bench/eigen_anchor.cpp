// Eigen 3 as an anchor for small orders: the same operations on row-major
// dynamic-size matrices mapped over the benchmark's arrays. Built on its own
// with -O3 -march=native (bench/CMakeLists.txt), as a program using Eigen
// would be; the library itself keeps its own flags.
#include "eigen_anchor.h"

#include <Eigen/Dense>

namespace {
using RowMat = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using CMap = Eigen::Map<const RowMat>;
using Map = Eigen::Map<RowMat>;
using CVec = Eigen::Map<const Eigen::VectorXd>;
using Vec = Eigen::Map<Eigen::VectorXd>;
} // namespace

namespace eigen_anchor {

void multiply_mm(const double* A, const double* B, double* X, int n) {
    Map(X, n, n).noalias() = CMap(A, n, n) * CMap(B, n, n);
}

void multiply_mv(const double* M, const double* V, double* X, int n) {
    Vec(X, n).noalias() = CMap(M, n, n) * CVec(V, n);
}

void inverse(const double* A, double* X, int n) { Map(X, n, n) = CMap(A, n, n).inverse(); }

void solve(const double* A, const double* b, double* x, int n) {
    Vec(x, n) = CMap(A, n, n).partialPivLu().solve(CVec(b, n));
}

void symmetric_eigen(const double* A, double* values, double* vectors, int n) {
    Eigen::SelfAdjointEigenSolver<RowMat> s(CMap(A, n, n));
    Vec(values, n) = s.eigenvalues();
    Map(vectors, n, n) = s.eigenvectors();
}

} // namespace eigen_anchor
