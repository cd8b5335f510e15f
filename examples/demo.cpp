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
    std::vector<double> x_true = {1, -2, 3, -4}, b(n), x(n, 0.0), r(n);

    LA::MultiplyMV(A.data(), n, x_true.data(), n, b.data());
    std::printf("b = A * (1, -2, 3, -4) = (%g, %g, %g, %g)\n", b[0], b[1], b[2], b[3]);

    LA::SolveLSE(A.data(), b.data(), x.data(), n);
    std::printf("SolveLSE:  x = (%.15g, %.15g, %.15g, %.15g)\n", x[0], x[1], x[2], x[3]);
    LA::MultiplyMV(A.data(), n, x.data(), n, r.data());
    LA::SubstractVV(r.data(), b.data(), n, r.data());
    std::printf("residual |Ax - b| = %.3g\n", LA::SqrtVV(r.data(), n));

    std::printf("det(A) = %.15g\n", LA::DeterminantMsq(A.data(), n));

    std::vector<double> eV(n), eM(n * n);
    LA::EigenSymmSystemMsqH(A.data(), n, eV.data(), eM.data());
    std::printf("eigenvalues (Householder-QL): %.12g %.12g %.12g %.12g\n", eV[0], eV[1], eV[2], eV[3]);

    std::vector<double> P(n * n);
    LA::Init_openMP(2);
    LA::MultiplyMM1(A.data(), n, n, A.data(), n, P.data());
    std::printf("trace(A*A) with 2 threads = %g\n", P[0] + P[5] + P[10] + P[15]);

    const unsigned first = LA::MT_u32();
    const unsigned second = LA::MT_u32();
    std::printf("first draws of the default-seeded generator: %u %u\n", first, second);
    return 0;
}
