// Plain forms of the eigen-solvers: 1-based work matrices of row pointers,
// strided column loops, the arithmetic of each step written out directly. They are the oracle that the library's solvers must match bit
// for bit. They print nothing, allocate with vectors, and report an
// iteration that does not converge by returning false (outputs untouched)
// instead of ending the process.
#ifndef LINALG_TESTS_REF_EIGEN_H
#define LINALG_TESTS_REF_EIGEN_H

namespace ref {

// As LA::EigenSymmSystemMsqJ: eigenvalues descending to eV[0..n-1],
// eigenvectors as the columns of eM (n x n, row-major). Only the diagonal and
// upper triangle of M are read.
bool eigen_symm_jacobi(const double* M, int n, double* eV, double* eM);

// As LA::EigenSymmSystemMsqH (tred2, tqli, sort). Only the diagonal and lower
// triangle of M are read.
bool eigen_symm_hql(const double* M, int n, double* eV, double* eM);

// The QL iteration alone, as the library's tqli but with the vectors as the
// columns of z (1-based, order n).
bool ql_tridiagonal(double* d, double* e, int n, double** z);

// As LA::EigenUnSymmSystemMsq (balanc, elmhes, hqr): real and imaginary parts
// in the order the eigenvalues were isolated.
bool eigen_unsymm(const double* M, int n, double* eV_r, double* eV_i);

} // namespace ref

#endif
