// OpenMP Gauss solver.
#ifndef LINALG_OMP_OMP_SOLVER_H
#define LINALG_OMP_OMP_SOLVER_H

namespace linalg {

// Solves A*X = B (A nDim x nDim row-major, B and X nDim values) by Gaussian
// elimination with the row scaling and partial pivoting of SolveGcpu. Here
// the pivot row is divided by the pivot, so results agree with SolveGcpu up
// to rounding; they do not depend on the thread count. It is the elimination
// driver of solvers/blocked_lu.h run with MAX_THREADS threads: the row
// preparation as a parallel loop, orders from two panel widths up the
// blocked panels in one parallel region (same bits as the plain loop); the
// plain steps of the last columns (fewer than two panel widths, or the whole
// of a smaller order) and the back substitution in the calling thread.
// Not initialised: prints InitOMP's message, nothing else. Order <= 0:
// nothing after that check. Singular pivot: "ERROR! Singular system!" (no
// line feed), X untouched. Work memory unavailable: report_no_memory's
// message, X untouched. X may be the same array as B.
void SolveGomp(double* A, double* B, double* X, int nDim);

} // namespace linalg

#endif
