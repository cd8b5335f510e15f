/// \file linalg_dist.h
/// \brief liblinalg_dist: linalg's dense solve, product, inverse,
/// determinant and symmetric eigenproblem over MPI (ScaLAPACK).
///
/// The dense solve, product, inverse, determinant and symmetric eigenproblem
/// of linalg over MPI, computed by ScaLAPACK, with linalg's raw row-major
/// arrays. Link with -llinalg_dist (pkg-config linalg_dist).
///
/// Every function is collective over the communicator given to Init_MPI: all
/// of its processes call it with the same sizes, in the same order.
///
/// \par Two forms
///  * Root form (SolveLSE, MultiplyMM, InverseMsq, DeterminantMsq,
///    EigenSymmSystemMsqD): rank 0 passes whole arrays exactly as for LA::;
///    other ranks pass nullptr (their array arguments are not read).
///  * Distributed form (names ending in _R): each rank passes only its
///    RowsCount(n, rank) rows (starting at row RowsFirst(n, rank)) of every
///    matrix and vector, row-major, so no rank holds a whole matrix.
///    Ranks holding no rows may pass nullptr.
/// Both forms give the same bits as each other for the same inputs, grid and
/// block size. Results agree with liblinalg's to rounding only (ScaLAPACK and
/// its BLAS use fused multiply-add and another order of operations), and
/// change with the rank count, grid or block size.
///
/// \par Errors
/// Nothing throws, nothing ends the job. Arguments are checked on
/// every rank before any ScaLAPACK call (sizes equal on all ranks, arrays
/// present, finite input for the eigen-solver, work memory), and the ranks
/// agree on the outcome before any output is written: after any failure every
/// output of every rank is untouched. Every rank's calling thread gets the
/// failure in LinearAlgebra::Diagnostics::LastError() (linalg_diag.h; None
/// after a call that succeeds), and the message goes once, from rank 0 of the
/// communicator, through liblinalg's message path (its handler, else standard
/// output); its words ("\\n" a line feed):
/// \verbatim
///   "ERROR! Singular system!"                    (Singular) no line feed: SolveLSE,
///       SolveLSE_R, InverseMsq, DeterminantMsq (order >= 4; returns 0.0).
///       Same test as liblinalg's: rows scaled by powers of two to absolute
///       sums in [0.5, 1), then any |U_kk| < 1e-12 after the LU factorisation
///       (DeterminantMsq: no scaling, as in liblinalg).
///   "\nERROR! MPI not initialized! Use DLA::Init_MPI( comm, nprow, npcol, nb )!\n"  (NotInitialized)
///       any call before Init_MPI (or after Exit_MPI), and Init_MPI before
///       MPI_Init; printed by rank 0 of MPI_COMM_WORLD (by every process when
///       MPI itself is not running).
///   "ERROR! DLA::Init_MPI: grid %d x %d with block %d does not fit %d ranks!\n"
///   "ERROR! DLA::Init_MPI: grid arguments differ between ranks!\n"
///   "ERROR! DLA::Init_MPI: block %d above the largest, %d!\n"
///   "ERROR! DLA::%s: sizes differ between ranks!\n"
///   "ERROR! DLA::%s: null array on a rank that holds data!\n"
///   "ERROR! DLA::%s: NaN or infinity in the matrix!\n"  (NonFinite; eigen-solvers)
///   "ERROR! Not enough memory for the DLA::%s work arrays (%zu bytes)!\n"  (NoMemory)
///       also when a work array or panel exceeds what ScaLAPACK's int sizes
///       hold (checked before anything is allocated)
///   "ERROR! DLA::%s: %s refused argument %d!\n"  (NotInitialized) a ScaLAPACK
///       routine's negative info, agreed across ranks (not expected: sizes
///       are checked first)
///   "ERROR! DLA::%s: pdsyevd did not converge (info %d)!\n"  (NotConverged)
///   "ERROR! DLA::%s: MPI error!\n"  (Io)
/// \endverbatim
/// (\%s is the function's name.) Every rank of the communicator ends a call
/// with the same LastError(). The grid, size and null-array messages set
/// NotInitialized: the error codes have no "invalid argument". DeterminantMsq returns NaN after a failure
/// other than a singular matrix, on every rank.
///
/// The library's communicator returns MPI errors instead of aborting
/// (MPI_ERRORS_RETURN), but a peer that dies or never makes the call can still
/// leave the others waiting in a collective call. The small internal
/// allocations of Cpdgemr2d and the PBLAS are ScaLAPACK's, which aborts the
/// job itself when one fails.
#ifndef LINALG_DIST_H
#define LINALG_DIST_H

/// \cond LINALG_INTERNAL
// Only MPI's C interface is used; Open MPI's and MPICH's deprecated C++
// bindings (which need libmpi_cxx) stay out unless <mpi.h> came first.
#ifndef OMPI_SKIP_MPICXX
#define OMPI_SKIP_MPICXX 1
#endif
#ifndef MPICH_SKIP_MPICXX
#define MPICH_SKIP_MPICXX 1
#endif
/// \endcond
#include <mpi.h>

namespace LinearAlgebra {

/// \brief Dense solve, product, inverse, determinant and symmetric
/// eigenproblem over MPI (ScaLAPACK), collective over the communicator
/// given to Init_MPI(); see linalg_dist.h for the forms and errors.
class __attribute__((visibility("default"))) DLA {
public:
    /// Duplicates comm (MPI_ERRORS_RETURN on the copy) and builds an
    /// nprow x npcol process grid on its first nprow*npcol ranks (0, 0: a
    /// near-square grid of all ranks from the rank count alone) with nb x nb
    /// blocks (0: 64; at most 4096, since ScaLAPACK takes its sizes as int).
    /// Ranks outside the grid take part in every call but compute nothing. A
    /// second Init_MPI replaces the first once its arguments are checked: when
    /// it fails, the grid of the call before stays in place. Returns 0, or
    /// -1 with a message. Needs MPI_Init first.
    static int Init_MPI(MPI_Comm comm, int nprow, int npcol, int nb);
    /// Frees the grid and the duplicated communicator; never calls
    /// MPI_Finalize. Returns 0.
    static int Exit_MPI();

    /// The distributed form's rows: rank r holds rows RowsFirst .. RowsFirst +
    /// RowsCount - 1 of an nRows-row array, a contiguous block of
    /// ceil(nRows / size) rows (the last ranks may hold fewer, or none).
    /// 0 before Init_MPI or for a rank outside the communicator.
    static int RowsCount(int nRows, int rank);
    /// First row of rank's block in the distributed form (see RowsCount()).
    static int RowsFirst(int nRows, int rank);

    /// \name Root form: whole arrays on rank 0, nullptr elsewhere
    ///@{

    /// A X = B (A nDim x nDim, B and X nDim); A and B are not changed; X may be B.
    static void SolveLSE(double* A, double* B, double* X, int nDim);
    /// X (nRows1 x nCols2) = M1 (nRows1 x nCols) * M2 (nCols x nCols2).
    static void MultiplyMM(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);
    /// Inverse of M into iM (nDim x nDim); iM may be M. Singular: iM untouched.
    static void InverseMsq(double* M, double* iM, int nDim);
    /// Determinant of M, returned on every rank. nDim <= 0: 1.0. Orders 1 to 3
    /// are computed by LA::DeterminantMsq on rank 0.
    static double DeterminantMsq(double* M, int nDim);
    /// Symmetric M (the diagonal and lower triangle are read): eigenvalues eV
    /// (descending) and orthonormal eigenvectors in the columns of eM (nDim x
    /// nDim, column j belongs to eV[j]), as LA::EigenSymmSystemMsqH gives
    /// them; by divide and conquer (pdsyevd). Outputs must not overlap M.
    static void EigenSymmSystemMsqD(double* M, int nDim, double* eV, double* eM);

    ///@}

    /// \name Distributed form: each rank its RowsCount rows
    ///@{

    /// A, B, X: this rank's rows of A (nDim wide) and of B and X.
    static void SolveLSE_R(double* A, double* B, double* X, int nDim);
    /// M1 and X: RowsCount(nRows1) rows; M2: RowsCount(nCols) rows.
    static void MultiplyMM_R(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);
    /// M and eM: RowsCount(nDim) rows; eV: all nDim eigenvalues on every rank.
    static void EigenSymmSystemMsqD_R(double* M, int nDim, double* eV, double* eM);
    ///@}
};

} // namespace LinearAlgebra

#endif
