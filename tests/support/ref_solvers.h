// Plain, unblocked reference copies of the CPU solvers: the oracle that any
// faster (blocked, vectorised) solver must match bit for bit. They follow the
// library's arithmetic step by step — row scaling, pivot rule, reciprocal or
// divided pivot, update order — but print nothing and allocate with vectors.
#ifndef LINALG_TESTS_REF_SOLVERS_H
#define LINALG_TESTS_REF_SOLVERS_H

#include <cstdint>
#include <vector>

namespace ref {

// 2^-(floor(log2 s) + 1) computed as the library does (via ln, floor/ceil, exp).
double row_scale_factor(double s, double ln2);

// Sequential Gauss solver (reciprocal pivots on the diagonal). Returns false
// when a pivot magnitude falls below 1e-12; X is then untouched.
bool solve_gauss(const double* A, const double* B, double* X, int n);

// The OpenMP solver's arithmetic run in one thread (pivot row divided by the
// pivot, multiplier W(r, k) itself). Returns false when singular.
bool solve_gauss_divided(const double* A, const double* B, double* X, int n);

// Gauss-Jordan inverse. Returns false when singular; invA is then left as it
// stood at the failing column.
bool invert_gauss_jordan(const double* A, double* invA, int n);

// Determinant: closed formulas for n = 1..3, unscaled elimination above;
// 0.0 and *singular = true when a pivot falls below 1e-12.
double determinant(const double* A, int n, bool* singular = nullptr);

// Integer entries in [-3, 3]: many equal pivot magnitudes, so the tie rule
// decides the row exchanges.
std::vector<double> tie_matrix(int n, std::uint64_t salt);

// ref::random_matrix with rows multiplied by powers of ten between 1e-150
// and 1e150: only the row scaling keeps such a system solvable, and the
// pivot order forces many exchanges.
std::vector<double> wild_rows_matrix(int n, std::uint64_t salt);

} // namespace ref

#endif
