// Eigenvalues and eigenvectors.
//
// A symmetric matrix goes to EigenSymmSystemMsqJ (Jacobi rotations) or
// EigenSymmSystemMsqH (Householder reduction, then QL): eigenvalues in
// descending order, orthonormal eigenvectors in the columns of eM. A general
// matrix goes to EigenUnSymmSystemMsq: eigenvalues only, real and imaginary
// parts, in no particular order. None of them changes the input matrix.
#include "linalg.h"

#include <cmath>
#include <cstdio>

using LinearAlgebra::LA;

int main() {
    int bad = 0;

    // The second-difference matrix of order 3: eigenvalues 2 + sqrt(2), 2,
    // 2 - sqrt(2).
    const int n = 3;
    double A[n * n] = {2, -1, 0,
                       -1, 2, -1,
                       0, -1, 2};
    const double expected[n] = {2 + std::sqrt(2.0), 2, 2 - std::sqrt(2.0)};

    for (int method = 0; method < 2; ++method) {
        double ev[n], eM[n * n];
        if (method == 0)
            LA::EigenSymmSystemMsqJ(A, n, ev, eM);
        else
            LA::EigenSymmSystemMsqH(A, n, ev, eM);
        std::printf("%s: eigenvalues %.15f %.15f %.15f\n", method == 0 ? "Jacobi      " : "Householder-QL",
                    ev[0], ev[1], ev[2]);
        // Each column j of eM is an eigenvector: |A v - ev[j] v| is tiny.
        for (int j = 0; j < n; ++j) {
            double residual = 0;
            for (int i = 0; i < n; ++i) {
                double Av = 0;
                for (int k = 0; k < n; ++k) Av += A[i * n + k] * eM[k * n + j];
                residual = std::fmax(residual, std::fabs(Av - ev[j] * eM[i * n + j]));
            }
            if (std::fabs(ev[j] - expected[j]) > 1e-13 || residual > 1e-13) ++bad;
        }
    }

    // A general matrix: the companion matrix of x^3 - 2x^2 + x - 2
    // = (x - 2)(x^2 + 1), eigenvalues 2 and +-i.
    double C[n * n] = {2, -1, 2,
                       1, 0, 0,
                       0, 1, 0};
    double re[n], im[n];
    LA::EigenUnSymmSystemMsq(C, n, re, im);
    std::printf("general matrix: eigenvalues");
    for (int j = 0; j < n; ++j) std::printf("  %.15f%+.15fi", re[j], im[j]);
    std::printf("\n");
    // The product of the eigenvalues is the determinant (2), their sum the
    // trace (2); the imaginary parts cancel.
    double sum_re = 0, sum_im = 0, prod_abs2 = 1;
    for (int j = 0; j < n; ++j) {
        sum_re += re[j];
        sum_im += im[j];
        prod_abs2 *= re[j] * re[j] + im[j] * im[j];
    }
    if (std::fabs(sum_re - 2) > 1e-13 || std::fabs(sum_im) > 1e-13 || std::fabs(prod_abs2 - 4) > 1e-12) ++bad;

    std::printf("%s\n", bad ? "MISMATCH" : "all eigenpairs check out");
    return bad ? 1 : 0;
}
