// Eigen 3 anchors of the small-order benchmarks (eigen_anchor.cpp): square
// row-major operands of order n, as the library's functions take them.
#ifndef LINALG_BENCH_EIGEN_ANCHOR_H
#define LINALG_BENCH_EIGEN_ANCHOR_H

namespace eigen_anchor {
void multiply_mm(const double* A, const double* B, double* X, int n);  // X = A B
void multiply_mv(const double* M, const double* V, double* X, int n);  // X = M V
void inverse(const double* A, double* X, int n);                       // X = A^-1
void solve(const double* A, const double* b, double* x, int n);        // A x = b
// Eigenvalues (ascending) and eigenvectors of the symmetric A.
void symmetric_eigen(const double* A, double* values, double* vectors, int n);
} // namespace eigen_anchor

#endif
