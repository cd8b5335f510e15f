// Eigen-solvers: symmetric matrices by cyclic Jacobi rotations or by
// Householder tridiagonalisation with implicit-shift QL; general matrices by
// balancing, elimination to Hessenberg form and shifted double-step QR.
//
// Work layout shared by every routine here. A work matrix of order n is an
// array of n+1 row pointers, each to a row of its own holding n+1 doubles;
// element (i, j) is a[i][j] for 1 <= i, j <= n, row 0 and column 0 are never
// touched. A work vector of order n holds n+1 doubles, indices 1..n in use.
// The drivers copy caller element M[(i-1)*nDim + (j-1)] into a[i][j] and copy
// results back with the same shift.
//
// Failure policy: a driver with nDim <= 0 does nothing. Work memory that
// cannot be obtained is reported with report_no_memory and the driver returns
// with its outputs untouched and nothing held. A matrix whose largest
// magnitude (among the elements the solver reads) lies outside
// [2^-500, 2^500] is scaled by a power of two first and its eigenvalues
// scaled back. An iteration that does not converge ends the process through
// fatal_numeric_error; with the late phase of tqli and hqr that happens for
// NaN and infinity, not for matrices of finite elements. When the program has
// turned the fatal exit off, the iteration returns false instead and the
// driver frees its work memory and writes NaN to every output; it does the
// same for an input holding NaN or infinity whose iteration finished. The
// status is NonFinite when an element read is not finite, NotConverged when
// the iteration failed on finite elements, NoMemory as for every work
// allocation.
#ifndef LINALG_EIGEN_EIGEN_H
#define LINALG_EIGEN_EIGEN_H

#include <cstddef>

namespace linalg {

// ---- work layout ---------------------------------------------------------

// Work matrix of order n >= 1: rows a[0..n] of n+1 doubles in one block
// (two allocations: the pointer array, then the block), element 1 of every
// row 64-byte aligned. Only the row pointers say where a row is: the rows
// are padded, and callers may exchange them. On failure prints
// report_no_memory(who, ...), releases whatever was obtained and returns
// nullptr.
double** alloc_work_matrix(int n, const char* who);
// Releases the block, then the pointer array. Null is ignored.
void free_work_matrix(double** a, int n);
// Work vector of order n >= 1 (one allocation, element 1 64-byte aligned);
// nullptr after the message on failure.
double* alloc_work_vector(int n, const char* who);
void free_work_vector(double* v);

// a[i+1][j+1] = M[i*n + j] for 0 <= i, j < n (all n*n elements).
void copy_to_work(const double* M, int n, double** a);
// X[i*n + j] = a[i+1][j+1] for 0 <= i, j < n.
void copy_from_work(double** a, int n, double* X);

// Transposes the work matrix a (order n) in place: a[i][j] <-> a[j][i].
void transpose_work(double** a, int n);
// Writes a symmetric solver's results, with the eigenvectors kept as the rows
// of v: for i = 0..n-1, first eV[i] = d[i+1], then row i of eM,
// eM[i*n + j] = v[j+1][i+1] for j = 0..n-1 (the rows of v become the columns
// of eM). Each eigenvalue goes out just before its row of eM, so outputs that
// overlap end up as that order leaves them.
void store_eigensystem(const double* d, double** v, int n, double* eV, double* eM);

// ---- scaling at the ends of the range ----------------------------------------

// Which elements of a work matrix a solver reads.
enum class Triangle { Upper, Lower, Full };

// Exact scaling for inputs whose largest magnitude lies outside
// [2^-500, 2^500]: returns the k for which 2^k times that magnitude lies in
// [1, 2), and 0 when it lies inside the range, when the elements read are all
// zero, or when one of them is not finite (NaN and infinity are left to the
// iteration, which cannot converge on them; *finite, when given, tells
// whether all were finite). Every step of the solvers is homogeneous in the
// scale of the matrix except where it underflows or overflows, and inside
// the range it does neither for ordinary matrices, so matrices there are
// left exactly as they are.
int range_exponent(double** a, int n, Triangle part, bool* finite = nullptr);
// a[i][j] = 2^k a[i][j] for 1 <= i, j <= n (exact unless it underflows).
void scale_work(double** a, int n, int k);
// v[i] = 2^k v[i] for 1 <= i <= n.
void scale_vector(double* v, int n, int k);

// ---- shared by the three solvers -------------------------------------------

// Selection sort of d[1..n] into descending order; the columns of the work
// matrix v (rows 1..n) follow their values. The comparison is >=, so among
// equal values the one with the highest index moves forward and equal values
// change places. n <= 1 does nothing.
void eigsrt(double* d, double** v, int n);

// eigsrt for vectors kept as the rows of v: the same selection, the same
// exchanges, done by exchanging the row pointers v[i] and v[k].
void eigsrt_rows(double* d, double** v, int n);

// Prints "NR run-time error...\n<reason>\n...now exiting to system...\n"
// through the message unit and ends the process with exit status 1. Work
// memory is not released and no output is written. With the fatal exit
// turned off (Diagnostics::SetFatalExit(false)) it hands over
// "NR run-time error...\n<reason>\n" instead and returns; the status is then
// NotConverged unless the driver has already recorded NonFinite.
void fatal_numeric_error(const char* reason);

// What a driver does once its iteration has ended: true when the outputs are
// to be filled with NaN (the fatal exit is off and the iteration failed or
// the input was not finite). A driver records NonFinite itself, as soon as
// range_exponent has found a non-finite element.
bool eigen_failed(bool converged, bool finite);

// Writes NaN to X[0 .. count-1].
void fill_nan(double* X, long long count);

// ---- symmetric, Jacobi -------------------------------------------------------

// Driver behind LA::EigenSymmSystemMsqJ. M (nDim x nDim, row-major) is read,
// never written; only its diagonal and upper triangle are used. Writes the
// eigenvalues in descending order to eV[0..nDim-1] and the orthonormal
// eigenvectors as the columns of eM (column j belongs to eV[j]). Outputs must
// not overlap M. nDim <= 0: nothing is read or written.
void EigenSymmSystemJacobi(double* M, int nDim, double* eV, double* eM);

// Cyclic Jacobi rotations on the work matrix a (order n >= 1) whose diagonal
// and upper triangle hold a symmetric matrix. On return d[1..n] holds the
// eigenvalues (unsorted), the rows of the work matrix v the eigenvectors (row
// k belongs to d[k]; v is kept transposed so that a rotation works on two
// contiguous rows), every element of a above the diagonal is 0.0, and the
// diagonal and lower triangle of a are unchanged. At most 50 sweeps, then the
// fatal exit. Returns false, with d and v undefined, when its work memory
// cannot be allocated (the message is printed), or after the sweeps when the
// fatal exit is turned off.
[[nodiscard]] bool jacobi(double** a, int n, double* d, double** v);
// The same with the eigenvector updates chosen by the caller: with group >= 1
// they are kept in groups of up to group rotations and applied in column
// strips of strip_columns (rounded up to a multiple of 8) in their order;
// with group 0, or when the group's memory is refused, each at once. Same
// bits either way; the form above passes the table's choice.
[[nodiscard]] bool jacobi(double** a, int n, double* d, double** v, long long group, int strip_columns);

// ---- symmetric, Householder + QL ------------------------------------------------

// Driver behind LA::EigenSymmSystemMsqH. As EigenSymmSystemJacobi, but only
// the diagonal and lower triangle of M are used.
void EigenSymmSystemHQL(double* M, int nDim, double* eV, double* eM);

// Householder reduction of the symmetric work matrix a (order n, diagonal and
// lower triangle read) to tridiagonal form: d[1..n] receives the diagonal,
// e[i] (i = 2..n) the element coupling rows i-1 and i, e[1] = 0.0, and a the
// orthogonal Q with Q^T A Q tridiagonal. Below order 700 the upper
// triangle is overwritten by a mirror of the lower one before anything
// else (from 700 on it is not read); row 0 and w[0..n]
// serve as scratch (w may be null: the accumulation then makes each step's
// sums in a pass of their own). n <= 0 does nothing.
void tred2(double** a, int n, double* d, double* e, double* w);
// The same, with the reduction on the lower triangle alone from order
// lower_from on (tred2 above: from 700): no mirror is made and the sums
// read each element once from the lower triangle. The same results, bit
// for bit, either way.
void tred2(double** a, int n, double* d, double* e, double* w, int lower_from);
// The same with the accumulation chosen by the caller: with acc_steps >= 2
// its steps go in blocks of acc_steps, each applied to Q in column strips of
// about acc_strip_bytes (see kernel_blocking::acc_steps); with fewer, or when
// the reflectors' copies are refused, step by step over all of Q. Same bits
// either way; the forms above pass the table's choice.
void tred2(double** a, int n, double* d, double* e, double* w, int lower_from, int acc_steps,
           std::ptrdiff_t acc_strip_bytes);

// Implicit-shift QL on the tridiagonal matrix left by tred2 (d, e of order n)
// with the transformation kept transposed in z: on entry row k of z holds
// column k of Q, on return row k holds the eigenvector of d[k] (d unsorted);
// e is destroyed. The first 30 iterations per eigenvalue are the classic
// ones; past them a split test against the norm of the whole matrix and
// exceptional shifts take over, up to 30 max(10, n) iterations, then the
// fatal exit (at once past 30 when the block holds NaN or infinity). Returns
// true, or false where the fatal exit would come when it is turned off.
bool tqli(double* d, double* e, int n, double** z);
// The same with the run-ahead chosen by the caller: with sweeps >= 2 the
// iteration runs ahead by up to `sweeps` sweeps and z takes them in column
// strips of about strip_bytes (see kernel_blocking::ql_sweeps); with fewer,
// or when the work block for the rotations is refused, z takes them chunk by
// chunk. Same bits either way; tqli(d, e, n, z) passes the table's choice.
bool tqli(double* d, double* e, int n, double** z, int sweeps, std::ptrdiff_t strip_bytes);

// Two runs of QL rotations applied to z (rows 1.., columns 1..n) in one
// pass where they meet: rotation i of run x (x_first <= i < x_hi) turns rows
// i and i+1 with cx[i - x_first], sx[i - x_first], each run from the top
// down; every element gets all of x's rotations, then all of y's (the same
// bits as the runs one after the other). An empty run (first >= hi) may
// have null c and s. A non-null tick(ctx) is called once per rotation.
void rotate_rows_ql_twice(double** z, int n, const double* cx, const double* sx, int x_first, int x_hi,
                          const double* cy, const double* sy, int y_first, int y_hi, void (*tick)(void*), void* ctx);

// sqrt(a*a + b*b) without overflow or destructive underflow: the larger
// magnitude times sqrt(1 + ratio^2). Keeps no state, so concurrent calls are
// safe.
double pythag(double a, double b);

// ---- general matrices ------------------------------------------------------------

// Driver behind LA::EigenUnSymmSystemMsq. M (nDim x nDim, row-major) is read,
// never written. Writes real parts to eV_r[0..nDim-1] and imaginary parts to
// eV_i[0..nDim-1] in the order the eigenvalues were isolated: a complex pair
// sits at neighbouring indices with equal real parts, the negative imaginary
// part first; a real eigenvalue has a zero imaginary part. nDim <= 0: nothing is
// read or written.
void EigenUnSymmSystem(double* M, int nDim, double* eV_r, double* eV_i);

// Balances the work matrix a (order n) in place by exact powers of two
// (eigenvalues unchanged, diagonal unchanged). Rows/columns whose
// off-diagonal sum is zero or not finite are left alone.
void balanc(double** a, int n);

// Reduces a (order n) in place to upper Hessenberg form by elimination with
// pivoting; elements (i, j), j >= i-1, form the result, the multipliers stay
// below the subdiagonal. Row 0 and column 0 serve as scratch.
void elmhes(double** a, int n);

// All eigenvalues of the upper Hessenberg work matrix a (order n): real parts
// to wr[1..n], imaginary parts to wi[1..n]; a is destroyed. The first 30
// iterations per eigenvalue or pair are the classic ones; past them a
// deflation test against the norm of the whole matrix and further shifts
// take over, up to 30 max(10, n) iterations, then the fatal exit (at once
// past 30 when the window holds NaN or infinity, and for a trailing 2 x 2
// block holding one). Returns true, or false where the fatal exit would come
// when it is turned off.
bool hqr(double** a, int n, double* wr, double* wi);

} // namespace linalg

#endif
