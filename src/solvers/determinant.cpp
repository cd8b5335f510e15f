// Determinant by Gaussian elimination (DeterminantGcpu).
#include <cstring>
#include <limits>

#include "base/fixed_nan.h"
#include "base/message.h"
#include "solvers/blocked_lu.h"
#include "solvers/elimination.h"
#include "solvers/solvers.h"

namespace linalg {

namespace {

// Closed formulas for orders 1 to 3, in a fixed order of operations.
double det_small(const double* a, int n) {
    if (n == 1) return a[0];
    if (n == 2) return a[3] * a[0] - a[2] * a[1];
    // Rule of Sarrus on a(i, j) = a[3*i + j].
    const double P = ((a[0] * a[4]) * a[8] + (a[3] * a[7]) * a[2]) + (a[1] * a[5]) * a[6];
    const double Q = ((a[4] * a[2]) * a[6] + (a[1] * a[3]) * a[8]) + (a[5] * a[0]) * a[7];
    return P - Q;
}

} // namespace

double DeterminantGcpu(double* A, int nDim) {
    if (nDim <= 0) return 1.0;
    if (nDim <= 3) return det_small(A, nDim);

    // No row scaling: it would change the determinant. The singularity
    // threshold is therefore absolute here.
    const idx n = nDim;
    double det = kFixedNaN;
    const ElimStatus st = run_elimination(
        n, n, PivotForm::Quotient, 1, "the DeterminantMsq work matrix",
        [&](double* W, idx i0, idx i1) {
            std::memcpy(W + i0 * n, A + i0 * n, static_cast<std::size_t>((i1 - i0) * n) * sizeof(double));
        },
        [&](const double* W, idx swaps) {
            det = 1.0;
            for (idx i = 0; i < n; ++i) det *= W[i * n + i];
            if (swaps & 1) det = -det;
        });
    return st == ElimStatus::singular ? 0.0 : det;
}

} // namespace linalg
