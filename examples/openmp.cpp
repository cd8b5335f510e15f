// OpenMP variants: the functions whose names end in 1.
//
// Call Init_openMP(threads) once before any of them; until then they print
// "ERROR! OMP not initialized! ..." and write nothing. They take the same
// parameters as the sequential functions and give the same bits, for any
// thread count. Do not call Init_openMP while an OpenMP variant runs in
// another thread, and do not call OpenMP variants in a child process after
// fork() (the OpenMP runtime of the parent does not survive it).
#include "linalg.h"

#include <cstdio>
#include <cstring>
#include <vector>

using LinearAlgebra::LA;

int main() {
    if (LA::Init_openMP(2) != 0) return 1;

    const int n = 300;
    std::vector<double> A(n * n), B(n * n), X(n * n), X1(n * n);
    for (int i = 0; i < n * n; ++i) {
        A[i] = (i % 17) * 0.25 - 2.0;
        B[i] = (i % 13) * 0.5 - 3.0;
    }
    for (int i = 0; i < n; ++i) A[i * n + i] += n;  // well conditioned for the solver

    // Matrix product, sequential and on two threads: identical bits.
    LA::MultiplyMM(A.data(), n, n, B.data(), n, X.data());
    LA::MultiplyMM1(A.data(), n, n, B.data(), n, X1.data());
    const bool same_mm = std::memcmp(X.data(), X1.data(), X.size() * sizeof(double)) == 0;
    std::printf("MultiplyMM1 (2 threads) %s MultiplyMM\n", same_mm ? "equals" : "DIFFERS FROM");

    // Element-wise sum, in place: X1 = X1 + B.
    LA::AddMM(X.data(), B.data(), n, n, X.data());
    LA::AddMM1(X1.data(), B.data(), n, n, X1.data());
    const bool same_add = std::memcmp(X.data(), X1.data(), X.size() * sizeof(double)) == 0;
    std::printf("AddMM1 (2 threads) %s AddMM\n", same_add ? "equals" : "DIFFERS FROM");

    // The OpenMP solver gives the same bits for any thread count (and agrees
    // with SolveLSE up to rounding).
    std::vector<double> b(n, 1.0), x2(n), x1(n);
    LA::SolveLSE1(A.data(), b.data(), x2.data(), n);
    LA::Init_openMP(1);
    LA::SolveLSE1(A.data(), b.data(), x1.data(), n);
    const bool same_solve = std::memcmp(x1.data(), x2.data(), n * sizeof(double)) == 0;
    std::printf("SolveLSE1 on 2 threads %s SolveLSE1 on 1 thread; x[0] = %.17g\n",
                same_solve ? "equals" : "DIFFERS FROM", x2[0]);

    return same_mm && same_add && same_solve ? 0 : 1;
}
