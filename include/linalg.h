/// \file linalg.h
/// \brief Dense double-precision linear algebra on caller-owned raw arrays.
///
/// Declares the three exported classes of liblinalg: LinearAlgebra::LA
/// (vector and matrix arithmetic, linear systems, inverse, determinant,
/// eigen-solvers, Mersenne Twister), ConsoleFunctions::CRT (terminal) and
/// ConsoleFunctions::RS232 (serial ports). Every function is a static member.
///
/// \par Conventions shared by every function
/// - Vectors are contiguous doubles; matrices are contiguous row-major
///   doubles: element (i, j) of a matrix with nCols columns is at index
///   i*nCols + j.
/// - The caller allocates every output with the size the function writes.
///   No function keeps a pointer after it returns and none returns memory.
/// - Pointers are never checked for null, and sizes are not checked against
///   the arrays. A size of zero or less writes nothing; a sum over zero terms
///   is 0.0.
/// - An array a function only reads may be passed as a pointer to const
///   (for example the data() of a const std::vector<double>): inline
///   overloads in this header forward such calls to the exported functions.
///
/// \par Results
/// Reproducible to the last bit: the sequential and OpenMP variants give
/// identical bits for any thread count, and every instruction set the
/// library picks at run time gives the bits of the plain loops. Sums run in
/// one double accumulator in ascending index order, each term a
/// multiplication followed by a separate addition; no fused multiply-add on
/// the CPU. The GPU products use one fused multiply-add per term.
///
/// \par Errors
/// Problems are reported by messages on standard output; nothing throws and
/// only LA::Init_openMP, LA::Init_CUDA and the RS232 functions return a
/// status. Each function's description names the messages it can print;
/// docs/errors.md lists every message word for word, what the outputs hold
/// afterwards, the singularity thresholds and how to detect a failure.
/// linalg_diag.h adds, opt-in, the calling thread's status of its last call
/// (LinearAlgebra::Diagnostics::LastError), a handler for the messages, and
/// switches for the eigen-solvers' fatal exit and Init_CUDA's read from
/// standard input.
///
/// \par Threads
/// Functions without library state (sequential operations, CPU solvers,
/// inverse, determinant, eigen-solvers) may run concurrently on disjoint
/// arrays. LA::Init_openMP, the random generator, the GPU functions and the
/// console and serial-port functions share state: callers serialise them.
#ifndef LINALG_H
#define LINALG_H

#include <cstdint>

#include "linalg_version.h"  // LINALG_VERSION_MAJOR, _MINOR, _PATCH, LINALG_VERSION

/// \cond LINALG_INTERNAL
#if defined(_WIN32)
#if defined(LINALG_BUILDING_DLL)
#define LINALG_API __declspec(dllexport)
#elif defined(LINALG_STATIC)
#define LINALG_API
#else
#define LINALG_API __declspec(dllimport)
#endif
#else
#define LINALG_API __attribute__((visibility("default")))
#endif
/// \endcond

/// \brief Numerical functions of linalg.
namespace LinearAlgebra {

/// \brief Vector and matrix arithmetic, linear systems, inverse,
/// determinant, eigen-solvers and the Mersenne Twister.
///
/// Variants: a name ending in 1 is the OpenMP twin of the sequential
/// function (same parameters, same bits for any thread count); before
/// Init_openMP() it prints the not-initialised message
/// ("ERROR! OMP not initialized! ...") and writes nothing. A name ending in
/// 2 runs on the GPU chosen by Init_CUDA() (or on the host emulation of a
/// build without CUDA): the device is reset, the inputs are copied over, one
/// kernel runs and the output is copied back; a failed device allocation,
/// copy or launch prints a "cudaMalloc error!" / "cudaMemcpy HtD error!" /
/// "cudaMemcpy DtH error!" message and leaves X untouched. GPU products use
/// one fused multiply-add per term.
///
/// Element-wise functions may work in place (X equal to an input); products,
/// outer products and transposes need an output that overlaps no input.
class LINALG_API LA {
public:
    /// \name Back-end initialisers
    ///@{

    /// \brief Records the thread count of the OpenMP variants.
    /// \param[in] max_cores threads per OpenMP call (>= 1); <= 0 only asks
    ///   whether a count is recorded.
    /// \return 0 when a count is recorded; -1 when max_cores <= 0 and no
    ///   count was recorded before.
    /// \par Errors
    /// A count above 1024 (or above the processor count, when that is larger,
    /// never above OMP_THREAD_LIMIT) prints the "WARNING! Init_openMP" message
    /// and records that bound. max_cores <= 0 with no count recorded prints the
    /// not-initialised message.
    static int Init_openMP(int max_cores);
    /// \brief Checks GPU iDev and selects it for the GPU variants.
    /// \param[in] iDev device number (0 is the emulated device of a build
    ///   without CUDA).
    /// \return -1 for a number that names no device, else the compute
    ///   capability as 10*major + minor.
    /// \par Errors
    /// A number that names no device, or a device below compute capability
    /// 3.5, prints a message and "Press \<Enter\>..." and then reads one
    /// character from standard input (blocks on a terminal; not after
    /// Diagnostics::SetInteractive(false), linalg_diag.h).
    static int Init_CUDA(int iDev);
    ///@}

    /// \name Vector operations
    ///@{

    /// \brief Copies a vector: Vout[i] = Vin[i].
    /// \param[in] Vin source, nDim elements.
    /// \param[in] nDim number of elements.
    /// \param[out] Vout destination, nDim elements; the same array as Vin or
    ///   not overlapping it.
    static void CopyV(double* Vin, int nDim, double* Vout);
    /// \brief Sum of the elements, added in ascending index order.
    /// \param[in] V vector of nDim elements.
    /// \param[in] nDim number of elements.
    /// \return the sum; 0.0 for nDim <= 0.
    static double SumV(double* V, int nDim);
    /// \brief Sum of squares of the elements, in ascending index order.
    /// \param[in] V vector of nDim elements.
    /// \param[in] nDim number of elements.
    /// \return the sum of V[i]*V[i]; 0.0 for nDim <= 0.
    static double SumVV(double* V, int nDim);
    /// \brief Euclidean norm: square root of SumVV() (no scaling against
    ///   overflow).
    /// \param[in] V vector of nDim elements.
    /// \param[in] nDim number of elements.
    /// \return the norm; 0.0 for nDim <= 0.
    static double SqrtVV(double* V, int nDim);
    /// \brief Scalar product, added in ascending index order.
    /// \param[in] V1 first vector, nDim elements.
    /// \param[in] V2 second vector, nDim elements.
    /// \param[in] nDim number of elements.
    /// \return the sum of V1[i]*V2[i]; 0.0 for nDim <= 0.
    static double DotVV(double* V1, double* V2, int nDim);
    /// \brief Scalar multiple: X[i] = V[i] * S.
    /// \param[in] V vector of nDim elements.
    /// \param[in] nDim number of elements.
    /// \param[in] S the scalar.
    /// \param[out] X result, nDim elements; may be V.
    static void MultiplyVS(double* V, int nDim, double S, double* X);
    /// \brief OpenMP variant of MultiplyVS() (same parameters, same bits).
    static void MultiplyVS1(double* V, int nDim, double S, double* X);
    /// \brief GPU variant of MultiplyVS() (same parameters, same bits).
    static void MultiplyVS2(double* V, int nDim, double S, double* X);
    /// \brief Sum: X[i] = V1[i] + V2[i].
    /// \param[in] V1 first vector, nDim elements.
    /// \param[in] V2 second vector, nDim elements.
    /// \param[in] nDim number of elements.
    /// \param[out] X result, nDim elements; may be V1 or V2.
    static void AddVV(double* V1, double* V2, int nDim, double* X);
    /// \brief OpenMP variant of AddVV() (same parameters, same bits).
    static void AddVV1(double* V1, double* V2, int nDim, double* X);
    /// \brief GPU variant of AddVV() (same parameters, same bits).
    static void AddVV2(double* V1, double* V2, int nDim, double* X);
    /// \brief Difference: X[i] = V1[i] - V2[i].
    /// \param[in] V1 minuend, nDim elements.
    /// \param[in] V2 subtrahend, nDim elements.
    /// \param[in] nDim number of elements.
    /// \param[out] X result, nDim elements; may be V1 or V2.
    static void SubstractVV(double* V1, double* V2, int nDim, double* X);
    /// \brief OpenMP variant of SubstractVV() (same parameters, same bits).
    static void SubstractVV1(double* V1, double* V2, int nDim, double* X);
    /// \brief GPU variant of SubstractVV() (same parameters, same bits).
    static void SubstractVV2(double* V1, double* V2, int nDim, double* X);
    /// \brief Packs the elements V[i] with VI[i] == 1 into X[0..s-1].
    /// \param[in] V vector of nDim elements.
    /// \param[in] VI flags, nDim elements.
    /// \param[in] nDim number of elements.
    /// \param[out] X the s selected elements in ascending index order; may
    ///   be V.
    static void SelectV(double* V, int* VI, int nDim, double* X);
    /// \brief Finds the indices whose element compares with S as asked.
    /// \param[in] V vector of nDim elements.
    /// \param[in] nDim number of elements.
    /// \param[in] S the value compared with.
    /// \param[in] Cond < 0: V[i] < S; 0: V[i] == S; > 0: V[i] > S.
    /// \param[out] XI the matching indices in ascending order; needs room for
    ///   nDim entries. A NaN never matches.
    /// \return the number of matching indices.
    static int FindV(double* V, int nDim, double S, int Cond, int* XI);
    /// \brief Ascending Shell sort of a copy of V.
    /// \param[in] V vector of nDim elements.
    /// \param[in] nDim number of elements.
    /// \param[out] X the sorted values, nDim elements; may be V. A NaN stays
    ///   where it is and nothing moves past it.
    static void SortV(double* V, int nDim, double* X);
    /// \brief Permutation that sorts V ascending; V is unchanged.
    /// \param[in] V vector of nDim elements.
    /// \param[in] nDim number of elements.
    /// \param[out] XI nDim indices: V[XI[0]] <= V[XI[1]] <= ...
    /// \par Errors
    /// Allocates nDim doubles; on failure prints the "ERROR! Not enough memory
    /// for SortVI" message and writes nothing.
    static void SortVI(double* V, int nDim, int* XI);
    /// \brief Sets V[0..nDim-1] to 0.0.
    /// \param[out] V vector of nDim elements.
    /// \param[in] nDim number of elements.
    static void ZeroV(double* V, int nDim);
    /// \brief OpenMP variant of ZeroV() (same parameters, same bits).
    static void ZeroV1(double* V, int nDim);
    /// \brief Sets VI[0..nDim-1] to 0.
    /// \param[out] VI vector of nDim ints.
    /// \param[in] nDim number of elements.
    static void ZeroVI(int* VI, int nDim);
    /// \brief OpenMP variant of ZeroVI() (same parameters, same result).
    static void ZeroVI1(int* VI, int nDim);
    /// \brief Sets VI[0..nDim-1] to 1.
    /// \param[out] VI vector of nDim ints.
    /// \param[in] nDim number of elements.
    static void OneVI(int* VI, int nDim);
    /// \brief OpenMP variant of OneVI() (same parameters, same result).
    static void OneVI1(int* VI, int nDim);
    /// \brief Largest of V[iStart], V[iStart+step], ... up to index iStop.
    /// \param[in] V the vector.
    /// \param[in] iStart first index; V[iStart] is always read.
    /// \param[in] iStop last index that may be read.
    /// \param[in] step stride (>= 1; a step below 1 looks at V[iStart] only).
    /// \return the largest value.
    static double MaxV(double* V, int iStart, int iStop, int step);
    /// \brief Index in V of the value MaxV() returns.
    /// \param[in] V the vector.
    /// \param[in] iStart first index; V[iStart] is always read.
    /// \param[in] iStop last index that may be read.
    /// \param[in] step stride (>= 1; a step below 1 looks at V[iStart] only).
    /// \return the index of the largest value.
    static int idMaxV(double* V, int iStart, int iStop, int step);
    /// \brief Element-wise product: X[i] = V1[i] * V2[i].
    /// \param[in] V1 first vector, nDim elements.
    /// \param[in] V2 second vector, nDim elements.
    /// \param[in] nDim number of elements.
    /// \param[out] X result, nDim elements; may be V1 or V2.
    static void TableMultiplyVV(double* V1, double* V2, int nDim, double* X);
    /// \brief OpenMP variant of TableMultiplyVV() (same parameters, same bits).
    static void TableMultiplyVV1(double* V1, double* V2, int nDim, double* X);
    /// \brief Merges two vectors: X[i] = VI[i] != 0 ? next value of V2 : V1[i].
    /// \param[in] V1 vector of nDim elements.
    /// \param[in] VI flags, nDim elements.
    /// \param[in] nDim number of elements.
    /// \param[in] V2 the values for the flagged places, in order.
    /// \param[out] X result, nDim elements; may be V1.
    static void AssembleVV(double* V1, int* VI, int nDim, double* V2, double* X);
    /// \brief Outer product: X (nRows x nCols), X[i*nCols + j] = V1[i] * V2[j].
    /// \param[in] V1 column vector, nRows elements.
    /// \param[in] nRows rows of X.
    /// \param[in] V2 row vector, nCols elements.
    /// \param[in] nCols columns of X.
    /// \param[out] X result; must not overlap V1 or V2.
    static void CrossVV(double* V1, int nRows, double* V2, int nCols, double* X);
    /// \brief OpenMP variant of CrossVV() (same parameters, same bits).
    static void CrossVV1(double* V1, int nRows, double* V2, int nCols, double* X);
    /// \brief GPU variant of CrossVV() (same parameters, same bits).
    static void CrossVV2(double* V1, int nRows, double* V2, int nCols, double* X);
    ///@}

    /// \name Matrix operations
    ///@{

    /// \brief Matrix times column vector: X = M * V.
    /// \param[in] M matrix, nRowsM x nRowsV.
    /// \param[in] nRowsM rows of M.
    /// \param[in] V vector of nRowsV elements.
    /// \param[in] nRowsV elements of V (columns of M).
    /// \param[out] X result, nRowsM elements; overlaps no input.
    static void MultiplyMV(double* M, int nRowsM, double* V, int nRowsV, double* X);
    /// \brief OpenMP variant of MultiplyMV() (same parameters, same bits).
    static void MultiplyMV1(double* M, int nRowsM, double* V, int nRowsV, double* X);
    /// \brief GPU variant of MultiplyMV() (one fused multiply-add per term).
    static void MultiplyMV2(double* M, int nRowsM, double* V, int nRowsV, double* X);
    /// \brief Row vector times matrix: X = V * M.
    /// \param[in] V vector of nColsV elements.
    /// \param[in] nColsV elements of V (rows of M).
    /// \param[in] M matrix, nColsV x nColsM.
    /// \param[in] nColsM columns of M.
    /// \param[out] X result, nColsM elements; overlaps no input.
    static void MultiplyVM(double* V, int nColsV, double* M, int nColsM, double* X);
    /// \brief OpenMP variant of MultiplyVM() (same parameters, same bits).
    static void MultiplyVM1(double* V, int nColsV, double* M, int nColsM, double* X);
    /// \brief GPU variant of MultiplyVM() (one fused multiply-add per term).
    static void MultiplyVM2(double* V, int nColsV, double* M, int nColsM, double* X);
    /// \brief Scalar multiple of a matrix: X = M * S.
    /// \param[in] M matrix, nRows x nCols.
    /// \param[in] nRows rows.
    /// \param[in] nCols columns.
    /// \param[in] S the scalar.
    /// \param[out] X result, nRows x nCols; may be M.
    static void MultiplyMS(double* M, int nRows, int nCols, double S, double* X);
    /// \brief OpenMP variant of MultiplyMS() (same parameters, same bits).
    static void MultiplyMS1(double* M, int nRows, int nCols, double S, double* X);
    /// \brief GPU variant of MultiplyMS() (same parameters, same bits).
    static void MultiplyMS2(double* M, int nRows, int nCols, double S, double* X);
    /// \brief Matrix sum: X = M1 + M2.
    /// \param[in] M1 first matrix, nRows x nCols.
    /// \param[in] M2 second matrix, nRows x nCols.
    /// \param[in] nRows rows.
    /// \param[in] nCols columns.
    /// \param[out] X result, nRows x nCols; may be M1 or M2.
    static void AddMM(double* M1, double* M2, int nRows, int nCols, double* X);
    /// \brief OpenMP variant of AddMM() (same parameters, same bits).
    static void AddMM1(double* M1, double* M2, int nRows, int nCols, double* X);
    /// \brief GPU variant of AddMM() (same parameters, same bits).
    static void AddMM2(double* M1, double* M2, int nRows, int nCols, double* X);
    /// \brief Matrix difference: X = M1 - M2.
    /// \param[in] M1 minuend, nRows x nCols.
    /// \param[in] M2 subtrahend, nRows x nCols.
    /// \param[in] nRows rows.
    /// \param[in] nCols columns.
    /// \param[out] X result, nRows x nCols; may be M1 or M2.
    static void SubstractMM(double* M1, double* M2, int nRows, int nCols, double* X);
    /// \brief OpenMP variant of SubstractMM() (same parameters, same bits).
    static void SubstractMM1(double* M1, double* M2, int nRows, int nCols, double* X);
    /// \brief GPU variant of SubstractMM() (same parameters, same bits).
    static void SubstractMM2(double* M1, double* M2, int nRows, int nCols, double* X);
    /// \brief Transpose: X (nCols x nRows) = transpose of M (nRows x nCols).
    /// \param[in] M matrix, nRows x nCols.
    /// \param[in] nRows rows of M.
    /// \param[in] nCols columns of M.
    /// \param[out] X result, nCols x nRows; overlaps no input.
    static void TransposeM(double* M, int nRows, int nCols, double* X);
    /// \brief OpenMP variant of TransposeM() (same parameters, same bits).
    static void TransposeM1(double* M, int nRows, int nCols, double* X);
    /// \brief Packs the rows and columns i with VI[i] == 1 of a square matrix.
    /// \param[in] M matrix, nDim x nDim.
    /// \param[in] nDim order of M.
    /// \param[in] VI flags, nDim elements.
    /// \param[out] X the s x s selected matrix (s flags set).
    static void SelectMsq(double* M, int nDim, int* VI, double* X);
    /// \brief Adds the blocks of a small matrix into chosen blocks of a large one.
    /// \param[in] m matrix, mDim x mDim, made of vDim x vDim blocks of
    ///   b = mDim/vDim rows and columns.
    /// \param[in] mDim order of m.
    /// \param[in] VI block numbers in M of the vDim block rows and columns of m;
    ///   each (VI[k]+1)*b <= MDim.
    /// \param[in] vDim blocks per row of m.
    /// \param[in,out] M matrix, MDim x MDim, that receives the sums.
    /// \param[in] MDim order of M.
    static void AggregateMMsq(double* m, int mDim, int* VI, int vDim, double* M, int MDim);
    ///@}

    /// \name Linear systems A X = B
    /// A is nDim x nDim, B and X have nDim elements. A and B are not changed;
    /// X may be B.
    ///@{

    /// \brief Solves A X = B with the solver chosen by the order.
    /// \param[in] A matrix, nDim x nDim.
    /// \param[in] B right-hand side, nDim elements.
    /// \param[out] X solution, nDim elements; may be B.
    /// \param[in] nDim order.
    /// \param[in] n1 orders below n1 use SolveLSE().
    /// \param[in] n2 orders from n1 to below n2 use SolveLSE2(), larger ones
    ///   SolveLSE3().
    /// \par Errors
    /// Those of the solver it runs; X is untouched on every failure.
    static void SolveLSEauto(double* A, double* B, double* X, int nDim, int n1, int n2);
    /// \brief Solves A X = B by Gaussian elimination with power-of-two row
    ///   scaling and partial pivoting.
    /// \param[in] A matrix, nDim x nDim.
    /// \param[in] B right-hand side, nDim elements.
    /// \param[out] X solution, nDim elements; may be B.
    /// \param[in] nDim order; <= 0 does nothing.
    /// \par Errors
    /// A singular system (a pivot below 1e-12 after row scaling) prints
    /// "ERROR! Singular system!"; work memory that cannot be allocated prints
    /// "ERROR! Not enough memory for the SolveLSE work matrix ...". X is then
    /// untouched.
    static void SolveLSE(double* A, double* B, double* X, int nDim);
    /// \brief OpenMP form of SolveLSE(): same parameters and errors, the same
    ///   bits for any thread count; agrees with SolveLSE() up to rounding.
    ///   Needs Init_openMP() first.
    static void SolveLSE1(double* A, double* B, double* X, int nDim);
    /// \brief GPU Gauss-Jordan solver; same parameters as SolveLSE().
    /// \par Errors
    /// A singular system prints "ERROR! Singular system!"; a failed device
    /// step prints a cuda... message. X is then untouched.
    static void SolveLSE2(double* A, double* B, double* X, int nDim);
    /// \brief GPU elimination with back substitution on the CPU; same
    ///   parameters and errors as SolveLSE2(), plus the "SolveLSE3" host-copy
    ///   memory message.
    static void SolveLSE3(double* A, double* B, double* X, int nDim);
    ///@}

    /// \name Matrix product
    ///@{

    /// \brief Matrix product: X = M1 * M2.
    /// \param[in] M1 matrix, nRows1 x nCols.
    /// \param[in] nRows1 rows of M1 and X.
    /// \param[in] nCols columns of M1, rows of M2.
    /// \param[in] M2 matrix, nCols x nCols2.
    /// \param[in] nCols2 columns of M2 and X.
    /// \param[out] X result, nRows1 x nCols2; overlaps no input.
    static void MultiplyMM(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);
    /// \brief OpenMP variant of MultiplyMM() (same parameters, same bits).
    static void MultiplyMM1(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);
    /// \brief GPU variant of MultiplyMM() (one fused multiply-add per term).
    static void MultiplyMM2(double* M1, int nRows1, int nCols, double* M2, int nCols2, double* X);
    ///@}

    /// \name Inverse and determinant
    ///@{

    /// \brief Inverse by Gauss-Jordan elimination.
    /// \param[in] M matrix, nDim x nDim.
    /// \param[out] iM its inverse, nDim x nDim; may be M.
    /// \param[in] nDim order.
    /// \par Errors
    /// A singular M prints "ERROR! Singular system!" and leaves iM partly
    /// transformed; work memory that cannot be allocated prints the memory
    /// message and leaves iM untouched.
    static void InverseMsq(double* M, double* iM, int nDim);
    /// \brief Determinant by Gaussian elimination (closed formulas up to
    ///   order 3); M is not changed.
    /// \param[in] M matrix, nDim x nDim.
    /// \param[in] nDim order.
    /// \return the determinant; 1.0 for nDim <= 0.
    /// \par Errors
    /// Singular (order >= 4, a pivot below 1e-12, unscaled): prints
    /// "ERROR! Singular system!" and returns 0.0. Work memory that cannot be
    /// allocated: prints the memory message and returns NaN.
    static double DeterminantMsq(double* M, int nDim);
    ///@}

    /// \name Eigen-solvers
    /// M is not changed and the outputs must not overlap it; nDim <= 0 does
    /// nothing. Every finite matrix returns.
    /// \par Errors
    /// Work memory that cannot be allocated is reported and the outputs are
    /// left untouched. Only NaN or infinity among the elements read (order
    /// >= 2) can make an iteration fail: it then prints "NR run-time
    /// error..." and ends the process with exit status 1 (unless
    /// Diagnostics::SetFatalExit(false), linalg_diag.h: then every output
    /// element is NaN and the call returns).
    ///@{

    /// \brief All eigenvalues of a general real matrix (balancing, Hessenberg
    ///   reduction, shifted QR), unsorted.
    /// \param[in] M matrix, nDim x nDim.
    /// \param[in] nDim order.
    /// \param[out] eV_r real parts, nDim elements.
    /// \param[out] eV_i imaginary parts, nDim elements. A complex pair takes
    ///   two neighbouring places with equal real parts, the negative imaginary
    ///   part first; a real eigenvalue has an imaginary part of zero (0.0).
    static void EigenUnSymmSystemMsq(double* M, int nDim, double* eV_r, double* eV_i);
    /// \brief Eigenvalues and eigenvectors of a symmetric matrix by cyclic
    ///   Jacobi rotations; reads the diagonal and upper triangle.
    /// \param[in] M symmetric matrix, nDim x nDim.
    /// \param[in] nDim order.
    /// \param[out] eV eigenvalues, descending, nDim elements.
    /// \param[out] eM orthonormal eigenvectors in its columns, nDim x nDim
    ///   (column j belongs to eV[j]).
    static void EigenSymmSystemMsqJ(double* M, int nDim, double* eV, double* eM);
    /// \brief Eigenvalues and eigenvectors of a symmetric matrix by
    ///   Householder tridiagonalisation and implicit-shift QL; reads the
    ///   diagonal and lower triangle. Parameters as EigenSymmSystemMsqJ().
    static void EigenSymmSystemMsqH(double* M, int nDim, double* eV, double* eM);
    ///@}

    /// \name Mersenne Twister
    /// One MT19937 generator per process, not thread-safe. Without a seeding
    /// call the first draw seeds it with 5489 (the sequence of
    /// std::mt19937's default). The integer draws are 32 bits wide on every
    /// platform.
    ///@{

    /// \brief Seeds with the current time in seconds.
    static void Init_MT();
    /// \brief Seeds by array with ten rand() values after srand(time).
    static void Init_MT_by_array();
    /// \brief Next 32-bit output. \return 0 .. 2^32-1.
    static uint32_t MT_u32();
    /// \brief Next output shifted to 31 bits. \return 0 .. 2^31-1.
    static int32_t MT_i31();
    /// \brief Uniform double. \return a value in [0, 1].
    static double MT_d64();
    /// \brief Uniform double. \return a value in (0, 1].
    static double MT_d64_0();
    /// \brief Uniform double. \return a value in [0, 1).
    static double MT_d64_1();
    /// \brief Uniform double. \return a value in (0, 1).
    static double MT_d64_01();
    /// \brief Uniform double of 53-bit resolution from two draws.
    ///   \return a value in [0, 1).
    static double MT_d53_1();
    /// \brief Normal deviate by Box-Muller: odd calls draw two values and
    ///   return the cosine value, even calls return the cached sine partner
    ///   (reseeding does not clear it).
    /// \param[in] mu mean.
    /// \param[in] sigma standard deviation.
    /// \return mu + sigma * a standard normal deviate.
    static double MT_Gauss64(double mu, double sigma);
    ///@}

    /// \name Const inputs
    /// The same functions with a pointer to const for every array they only
    /// read, so that const data (for example the data() of a const
    /// std::vector<double>) can be passed.
    ///@{
    // Each forwards to the exported function; nothing here is exported. They
    // are templates so that a call with nullptr or 0 for an array, or the
    // address of a function taken with a function-pointer type, still picks
    // the exported function.

    /// \brief The function of the same name with its read-only arrays
    /// const; see the exported function for the parameters and result.
    template <int = 0> static double SumV(const double* V, int nDim) {
        return SumV(const_cast<double*>(V), nDim);
    }
    template <int = 0> static double SumVV(const double* V, int nDim) {
        return SumVV(const_cast<double*>(V), nDim);
    }
    template <int = 0> static double SqrtVV(const double* V, int nDim) {
        return SqrtVV(const_cast<double*>(V), nDim);
    }
    template <int = 0> static double DotVV(const double* V1, const double* V2, int nDim) {
        return DotVV(const_cast<double*>(V1), const_cast<double*>(V2), nDim);
    }
    template <int = 0> static void CopyV(const double* Vin, int nDim, double* Vout) {
        CopyV(const_cast<double*>(Vin), nDim, Vout);
    }
    template <int = 0> static void MultiplyVS(const double* V, int nDim, double S, double* X) {
        MultiplyVS(const_cast<double*>(V), nDim, S, X);
    }
    template <int = 0> static void MultiplyVS1(const double* V, int nDim, double S, double* X) {
        MultiplyVS1(const_cast<double*>(V), nDim, S, X);
    }
    template <int = 0> static void MultiplyVS2(const double* V, int nDim, double S, double* X) {
        MultiplyVS2(const_cast<double*>(V), nDim, S, X);
    }
    template <int = 0> static void AddVV(const double* V1, const double* V2, int nDim, double* X) {
        AddVV(const_cast<double*>(V1), const_cast<double*>(V2), nDim, X);
    }
    template <int = 0> static void AddVV1(const double* V1, const double* V2, int nDim, double* X) {
        AddVV1(const_cast<double*>(V1), const_cast<double*>(V2), nDim, X);
    }
    template <int = 0> static void AddVV2(const double* V1, const double* V2, int nDim, double* X) {
        AddVV2(const_cast<double*>(V1), const_cast<double*>(V2), nDim, X);
    }
    template <int = 0> static void SubstractVV(const double* V1, const double* V2, int nDim, double* X) {
        SubstractVV(const_cast<double*>(V1), const_cast<double*>(V2), nDim, X);
    }
    template <int = 0> static void SubstractVV1(const double* V1, const double* V2, int nDim, double* X) {
        SubstractVV1(const_cast<double*>(V1), const_cast<double*>(V2), nDim, X);
    }
    template <int = 0> static void SubstractVV2(const double* V1, const double* V2, int nDim, double* X) {
        SubstractVV2(const_cast<double*>(V1), const_cast<double*>(V2), nDim, X);
    }
    template <int = 0> static void SelectV(const double* V, const int* VI, int nDim, double* X) {
        SelectV(const_cast<double*>(V), const_cast<int*>(VI), nDim, X);
    }
    template <int = 0> static int FindV(const double* V, int nDim, double S, int Cond, int* XI) {
        return FindV(const_cast<double*>(V), nDim, S, Cond, XI);
    }
    template <int = 0> static void SortV(const double* V, int nDim, double* X) {
        SortV(const_cast<double*>(V), nDim, X);
    }
    template <int = 0> static void SortVI(const double* V, int nDim, int* XI) {
        SortVI(const_cast<double*>(V), nDim, XI);
    }
    template <int = 0> static double MaxV(const double* V, int iStart, int iStop, int step) {
        return MaxV(const_cast<double*>(V), iStart, iStop, step);
    }
    template <int = 0> static int idMaxV(const double* V, int iStart, int iStop, int step) {
        return idMaxV(const_cast<double*>(V), iStart, iStop, step);
    }
    template <int = 0> static void TableMultiplyVV(const double* V1, const double* V2, int nDim, double* X) {
        TableMultiplyVV(const_cast<double*>(V1), const_cast<double*>(V2), nDim, X);
    }
    template <int = 0> static void TableMultiplyVV1(const double* V1, const double* V2, int nDim, double* X) {
        TableMultiplyVV1(const_cast<double*>(V1), const_cast<double*>(V2), nDim, X);
    }
    template <int = 0> static void AssembleVV(const double* V1, const int* VI, int nDim, const double* V2, double* X) {
        AssembleVV(const_cast<double*>(V1), const_cast<int*>(VI), nDim, const_cast<double*>(V2), X);
    }
    template <int = 0> static void CrossVV(const double* V1, int nRows, const double* V2, int nCols, double* X) {
        CrossVV(const_cast<double*>(V1), nRows, const_cast<double*>(V2), nCols, X);
    }
    template <int = 0> static void CrossVV1(const double* V1, int nRows, const double* V2, int nCols, double* X) {
        CrossVV1(const_cast<double*>(V1), nRows, const_cast<double*>(V2), nCols, X);
    }
    template <int = 0> static void CrossVV2(const double* V1, int nRows, const double* V2, int nCols, double* X) {
        CrossVV2(const_cast<double*>(V1), nRows, const_cast<double*>(V2), nCols, X);
    }
    template <int = 0> static void MultiplyMV(const double* M, int nRowsM, const double* V, int nRowsV, double* X) {
        MultiplyMV(const_cast<double*>(M), nRowsM, const_cast<double*>(V), nRowsV, X);
    }
    template <int = 0> static void MultiplyMV1(const double* M, int nRowsM, const double* V, int nRowsV, double* X) {
        MultiplyMV1(const_cast<double*>(M), nRowsM, const_cast<double*>(V), nRowsV, X);
    }
    template <int = 0> static void MultiplyMV2(const double* M, int nRowsM, const double* V, int nRowsV, double* X) {
        MultiplyMV2(const_cast<double*>(M), nRowsM, const_cast<double*>(V), nRowsV, X);
    }
    template <int = 0> static void MultiplyVM(const double* V, int nColsV, const double* M, int nColsM, double* X) {
        MultiplyVM(const_cast<double*>(V), nColsV, const_cast<double*>(M), nColsM, X);
    }
    template <int = 0> static void MultiplyVM1(const double* V, int nColsV, const double* M, int nColsM, double* X) {
        MultiplyVM1(const_cast<double*>(V), nColsV, const_cast<double*>(M), nColsM, X);
    }
    template <int = 0> static void MultiplyVM2(const double* V, int nColsV, const double* M, int nColsM, double* X) {
        MultiplyVM2(const_cast<double*>(V), nColsV, const_cast<double*>(M), nColsM, X);
    }
    template <int = 0> static void MultiplyMS(const double* M, int nRows, int nCols, double S, double* X) {
        MultiplyMS(const_cast<double*>(M), nRows, nCols, S, X);
    }
    template <int = 0> static void MultiplyMS1(const double* M, int nRows, int nCols, double S, double* X) {
        MultiplyMS1(const_cast<double*>(M), nRows, nCols, S, X);
    }
    template <int = 0> static void MultiplyMS2(const double* M, int nRows, int nCols, double S, double* X) {
        MultiplyMS2(const_cast<double*>(M), nRows, nCols, S, X);
    }
    template <int = 0> static void AddMM(const double* M1, const double* M2, int nRows, int nCols, double* X) {
        AddMM(const_cast<double*>(M1), const_cast<double*>(M2), nRows, nCols, X);
    }
    template <int = 0> static void AddMM1(const double* M1, const double* M2, int nRows, int nCols, double* X) {
        AddMM1(const_cast<double*>(M1), const_cast<double*>(M2), nRows, nCols, X);
    }
    template <int = 0> static void AddMM2(const double* M1, const double* M2, int nRows, int nCols, double* X) {
        AddMM2(const_cast<double*>(M1), const_cast<double*>(M2), nRows, nCols, X);
    }
    template <int = 0> static void SubstractMM(const double* M1, const double* M2, int nRows, int nCols, double* X) {
        SubstractMM(const_cast<double*>(M1), const_cast<double*>(M2), nRows, nCols, X);
    }
    template <int = 0> static void SubstractMM1(const double* M1, const double* M2, int nRows, int nCols, double* X) {
        SubstractMM1(const_cast<double*>(M1), const_cast<double*>(M2), nRows, nCols, X);
    }
    template <int = 0> static void SubstractMM2(const double* M1, const double* M2, int nRows, int nCols, double* X) {
        SubstractMM2(const_cast<double*>(M1), const_cast<double*>(M2), nRows, nCols, X);
    }
    template <int = 0> static void TransposeM(const double* M, int nRows, int nCols, double* X) {
        TransposeM(const_cast<double*>(M), nRows, nCols, X);
    }
    template <int = 0> static void TransposeM1(const double* M, int nRows, int nCols, double* X) {
        TransposeM1(const_cast<double*>(M), nRows, nCols, X);
    }
    template <int = 0> static void SelectMsq(const double* M, int nDim, const int* VI, double* X) {
        SelectMsq(const_cast<double*>(M), nDim, const_cast<int*>(VI), X);
    }
    template <int = 0> static void AggregateMMsq(const double* m, int mDim, const int* VI, int vDim, double* M, int MDim) {
        AggregateMMsq(const_cast<double*>(m), mDim, const_cast<int*>(VI), vDim, M, MDim);
    }
    template <int = 0> static void SolveLSEauto(const double* A, const double* B, double* X, int nDim, int n1, int n2) {
        SolveLSEauto(const_cast<double*>(A), const_cast<double*>(B), X, nDim, n1, n2);
    }
    template <int = 0> static void SolveLSE(const double* A, const double* B, double* X, int nDim) {
        SolveLSE(const_cast<double*>(A), const_cast<double*>(B), X, nDim);
    }
    template <int = 0> static void SolveLSE1(const double* A, const double* B, double* X, int nDim) {
        SolveLSE1(const_cast<double*>(A), const_cast<double*>(B), X, nDim);
    }
    template <int = 0> static void SolveLSE2(const double* A, const double* B, double* X, int nDim) {
        SolveLSE2(const_cast<double*>(A), const_cast<double*>(B), X, nDim);
    }
    template <int = 0> static void SolveLSE3(const double* A, const double* B, double* X, int nDim) {
        SolveLSE3(const_cast<double*>(A), const_cast<double*>(B), X, nDim);
    }
    template <int = 0> static void MultiplyMM(const double* M1, int nRows1, int nCols, const double* M2, int nCols2, double* X) {
        MultiplyMM(const_cast<double*>(M1), nRows1, nCols, const_cast<double*>(M2), nCols2, X);
    }
    template <int = 0> static void MultiplyMM1(const double* M1, int nRows1, int nCols, const double* M2, int nCols2, double* X) {
        MultiplyMM1(const_cast<double*>(M1), nRows1, nCols, const_cast<double*>(M2), nCols2, X);
    }
    template <int = 0> static void MultiplyMM2(const double* M1, int nRows1, int nCols, const double* M2, int nCols2, double* X) {
        MultiplyMM2(const_cast<double*>(M1), nRows1, nCols, const_cast<double*>(M2), nCols2, X);
    }
    template <int = 0> static void InverseMsq(const double* M, double* iM, int nDim) {
        InverseMsq(const_cast<double*>(M), iM, nDim);
    }
    template <int = 0> static double DeterminantMsq(const double* M, int nDim) {
        return DeterminantMsq(const_cast<double*>(M), nDim);
    }
    template <int = 0> static void EigenUnSymmSystemMsq(const double* M, int nDim, double* eV_r, double* eV_i) {
        EigenUnSymmSystemMsq(const_cast<double*>(M), nDim, eV_r, eV_i);
    }
    template <int = 0> static void EigenSymmSystemMsqJ(const double* M, int nDim, double* eV, double* eM) {
        EigenSymmSystemMsqJ(const_cast<double*>(M), nDim, eV, eM);
    }
    template <int = 0> static void EigenSymmSystemMsqH(const double* M, int nDim, double* eV, double* eM) {
        EigenSymmSystemMsqH(const_cast<double*>(M), nDim, eV, eM);
    }
    ///@}
};

} // namespace LinearAlgebra

/// \brief Terminal and serial-port functions of linalg.
namespace ConsoleFunctions {

/// \brief Terminal control on standard output and key reading.
///
/// Control sequences (ANSI/VT) are written only when standard output is a
/// terminal, and standard output is flushed around each one, so printf text
/// and cursor or colour changes stay in order. Keys are read from a terminal
/// without echo and without Enter, its settings restored afterwards (also on
/// exit() and on SIGINT, SIGTERM, SIGHUP and SIGQUIT); from a pipe or a file,
/// standard input is read as it is, one byte per key. Not thread-safe.
class LINALG_API CRT {
public:
    /// \brief Clears the screen and the scroll-back, cursor home.
    static void clrscr();
    /// \brief Moves the cursor.
    /// \param[in] x zero-based column.
    /// \param[in] y zero-based row. A coordinate outside 0..32767 moves nothing.
    static void gotoxy(int x, int y);
    /// \brief Text attribute 7: light grey on black.
    static void SetTextDefault();
    /// \brief Text attribute 112: black on light grey.
    static void SetTextReverse();
    /// \brief Text attribute bColor*16 + fColor (1 blue, 2 green, 4 red,
    ///   8 bright).
    /// \param[in] fColor foreground, clamped to 0..15.
    /// \param[in] bColor background, clamped to 0..15.
    static void SetTextColor(int fColor, int bColor);
    /// \brief Cursor to (x1, y), then x2 - x1 + 1 blanks (at most 65536);
    ///   the cursor stays after them.
    /// \param[in] x1 first column.
    /// \param[in] x2 last column.
    /// \param[in] y row.
    static void clrline(int x1, int x2, int y);
    /// \brief Waits for a key and drops any further pending input.
    /// \return the key's first byte (ESC for arrow and function keys); -1 at
    ///   the end of input.
    static char keypressed();
    /// \brief Prints "\nPress any key...", waits for a key, then calls
    ///   exit(res) when res != 0.
    /// \param[in] res exit status; a non-zero res whose low 8 bits are 0
    ///   exits with 1.
    static void Press_and_Exit(int res);
    /// \brief Prints "\nPress \<Enter\>...", reads one character, then calls
    ///   exit(res) when res != 0.
    /// \param[in] res exit status; a non-zero res whose low 8 bits are 0
    ///   exits with 1.
    static void Enter_and_Exit(int res);
};

/// \brief One-byte writes to serial ports COM1..COM20.
///
/// On POSIX, COMn is the device named by the environment variable
/// LINALG_COMn if set and non-empty, else /dev/ttyS(n-1). Each call opens the
/// port (non-blocking, without becoming its controlling terminal), sets raw
/// 8N1 without flow control at the baud rate, writes one byte per write
/// (waiting at most 5 s for the device) and closes it. Calls on the same
/// port are serialised by the caller. Nothing is printed.
class LINALG_API RS232 {
public:
    /// \brief Sends one byte.
    /// \param[in] dat the byte.
    /// \param[in] port port number 1..20 (COM1..COM20).
    /// \param[in] baudRate a standard termios rate, 50 .. 4000000.
    /// \return 0 on success; -1 when the device is missing, refused (busy, no
    ///   permission), not a serial line or failing (or no memory is left to
    ///   reach it); -2 for a port number outside 1..20 or a baud rate the
    ///   port cannot take (no device touched).
    static int SendByte(unsigned char dat, unsigned char port, unsigned int baudRate);
    /// \brief Sends dat, then 13 (carriage return); parameters and results as
    ///   SendByte().
    static int SendChar(unsigned char dat, unsigned char port, unsigned int baudRate);
    /// \brief Sends one progress-bar byte at 9600 baud: a six-stage bar for
    ///   step / nsteps with a blinking head. Send errors are ignored.
    /// \param[in] step steps done.
    /// \param[in] nsteps steps in all.
    /// \param[in] blink the blink state the previous call returned.
    /// \param[in] port port number 1..20.
    /// \return the blink state to pass to the next call.
    static int Wall_Ev1(int step, int nsteps, int blink, unsigned char port);
    /// \brief Sends the percentage step / nsteps (modulo 256; 0 is sent as 1)
    ///   at 9600 baud. Send errors are ignored.
    /// \param[in] step steps done.
    /// \param[in] nsteps steps in all.
    /// \param[in] blink unused.
    /// \param[in] port port number 1..20.
    /// \return 0.
    static int Wall_Ev2(int step, int nsteps, int blink, unsigned char port);
};

} // namespace ConsoleFunctions

#endif // LINALG_H
