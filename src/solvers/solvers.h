// Dense linear systems on the CPU: Gaussian elimination, Gauss-Jordan
// inverse and determinant, single-threaded.
//
// Orders of two panels and more (see blocked_lu.h) run blocked eliminations
// with vector kernels; they give the bits of the plain one-column-at-a-time
// loops, which smaller orders run directly.
//
// Shared contract: matrices are row-major nDim x nDim (element (i, j) at
// i*nDim + j); inputs are never modified; orders <= 0 read and write nothing;
// a singular pivot (largest magnitude in the pivot column below 1e-12) prints
// "ERROR! Singular system!" without a line feed; work memory that cannot be
// allocated (including orders whose size does not fit in memory) prints
// report_no_memory's message and leaves every output untouched.
#ifndef LINALG_SOLVERS_SOLVERS_H
#define LINALG_SOLVERS_SOLVERS_H

#include <cstddef>

namespace linalg {

// Solves A*X = B (A nDim x nDim, B and X nDim values) by Gaussian elimination
// on the augmented matrix [A | B] with power-of-two row scaling and partial
// pivoting, then back substitution from the last element of X to the first.
// X is written only after a successful elimination (untouched when singular)
// and may be the same array as B.
void SolveGcpu(double* A, double* B, double* X, int nDim);

// SolveGcpu's elimination run with MAX_THREADS threads (base/team.h): the
// row preparation as a parallel loop, orders from two panel widths up the
// blocked panels in one parallel region (same bits as the plain loop); the
// plain steps of the last columns and the back substitution in the calling
// thread. Here the pivot row is divided by the pivot, so results agree with
// SolveGcpu up to rounding; they do not depend on the thread count.
// Not initialised: prints InitOMP's message, nothing else. Order <= 0:
// nothing after that check. Singular pivot and work memory as SolveGcpu.
void SolveGomp(double* A, double* B, double* X, int nDim);

// invA = inverse of A by Gauss-Jordan elimination with row scaling and
// partial pivoting. invA is the right-hand block of the elimination: when A
// is singular it is left partly transformed (overwritten). invA may be the
// same array as A.
void InvertGJcpu(double* A, double* invA, int nDim);

// Determinant of A: closed formulas for orders 1 to 3 (no allocation, no
// singularity test), Gaussian elimination with partial pivoting and no row
// scaling above. Singular pivot: message and 0.0. Order <= 0: 1.0 (the empty
// product). Work memory unavailable: message and NaN (no value computed).
double DeterminantGcpu(double* A, int nDim);

// Power of two that brings a row with absolute sum s (s > 0, outside
// [0.5, 1]) into [0.5, 1): exp(-e*ln2) with e = floor(log2(s)) + 1, computed
// from ln(s)/ln2 + 1. ln2 is the caller's ln(2.0).
double RowScaleFactor(double s, double ln2);

// The last exponent whose factor was computed, and that factor: rows of one
// matrix mostly share their exponent.
struct ScaleMemo {
    double e = -1.0e9;  // no exponent
    double f = 0.0;
};

// Multiplies w[0 .. nw-1] and v[0 .. nv-1] (v may be null with nv = 0) by
// RowScaleFactor(s, ln2), where s is the absolute sum of w[0 .. nsum-1]. When
// that factor is not representable (s below about 2^-1023, or s overflowed
// while every entry is finite) the same power of two is applied in two exact
// steps, so such rows are solved like any other. memo carries the last
// factor from one row of a matrix to the next.
void scale_row(double* w, std::ptrdiff_t nsum, std::ptrdiff_t nw, double* v, std::ptrdiff_t nv, double s,
               double ln2, ScaleMemo& memo);

} // namespace linalg

#endif
