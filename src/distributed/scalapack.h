// Declarations of the BLACS, PBLAS and ScaLAPACK entry points the companion
// library calls. The Fortran routines take every argument by address and, for
// each CHARACTER argument, a hidden length passed by value after the last
// visible argument (size_t with gfortran 8 and later).
#ifndef LINALG_DIST_SCALAPACK_H
#define LINALG_DIST_SCALAPACK_H

#include "linalg_dist.h"
#include <cstddef>

extern "C" {
// BLACS (C interface).
int Csys2blacs_handle(MPI_Comm comm);
void Cfree_blacs_system_handle(int handle);
void Cblacs_gridinit(int* context, const char* order, int nprow, int npcol);
void Cblacs_gridmap(int* context, int* usermap, int ldumap, int nprow, int npcol);
void Cblacs_gridinfo(int context, int* nprow, int* npcol, int* myrow, int* mycol);
void Cblacs_gridexit(int context);
// BLACS settings; what = 15: combine operations in a repeatable order,
// what = 16: every process gets the same bits from a combine.
void Cblacs_set(int context, int what, int* value);
// Copies a submatrix between two distributions; every process of the
// context `ictxt`, which must hold both distributions, calls it.
void Cpdgemr2d(int m, int n, double* a, int ia, int ja, int* desca, double* b, int ib, int jb, int* descb,
               int ictxt);

// ScaLAPACK tools.
int numroc_(const int* n, const int* nb, const int* iproc, const int* isrcproc, const int* nprocs);

// PBLAS.
void pdtran_(const int* m, const int* n, const double* alpha, const double* a, const int* ia, const int* ja,
             const int* desca, const double* beta, double* c, const int* ic, const int* jc, const int* descc);
void pdgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
             const double* alpha, const double* a, const int* ia, const int* ja, const int* desca,
             const double* b, const int* ib, const int* jb, const int* descb, const double* beta, double* c,
             const int* ic, const int* jc, const int* descc, std::size_t transa_len, std::size_t transb_len);

// ScaLAPACK.
void pdgetrf_(const int* m, const int* n, double* a, const int* ia, const int* ja, const int* desca, int* ipiv,
              int* info);
void pdgetrs_(const char* trans, const int* n, const int* nrhs, const double* a, const int* ia, const int* ja,
              const int* desca, const int* ipiv, double* b, const int* ib, const int* jb, const int* descb,
              int* info, std::size_t trans_len);
void pdgetri_(const int* n, double* a, const int* ia, const int* ja, const int* desca, const int* ipiv,
              double* work, const int* lwork, int* iwork, const int* liwork, int* info);
void pdsyevd_(const char* jobz, const char* uplo, const int* n, double* a, const int* ia, const int* ja,
              const int* desca, double* w, double* z, const int* iz, const int* jz, const int* descz,
              double* work, const int* lwork, int* iwork, const int* liwork, int* info, std::size_t jobz_len,
              std::size_t uplo_len);
}

#endif
