// GPU variants: the functions whose names end in 2, and the GPU solvers.
//
// Init_CUDA(device) checks and selects a GPU and returns its compute
// capability (10 * major + minor). A build without CUDA runs the GPU
// variants on the library's host emulation of one device: same calls, same
// results as a GPU (fused multiply-adds included), computed on the CPU.
// Every GPU call resets the device, copies the inputs over, runs and copies
// the result back; two GPU calls must never overlap in time. The products
// use one fused multiply-add per term, so they agree with the CPU functions
// up to rounding, not to the bit.
#include "linalg.h"

#include <cmath>
#include <cstdio>
#include <vector>

using LinearAlgebra::LA;

int main() {
    const int capability = LA::Init_CUDA(0);
    std::printf("device 0: compute capability %d.%d\n", capability / 10, capability % 10);
    if (capability < 35) return 1;

    // Matrix product on the GPU against the CPU.
    const int n = 64;
    std::vector<double> A(n * n), B(n * n), X(n * n), X2(n * n);
    for (int i = 0; i < n * n; ++i) {
        A[i] = std::sin(0.1 * i);
        B[i] = std::cos(0.07 * i);
    }
    LA::MultiplyMM(A.data(), n, n, B.data(), n, X.data());
    LA::MultiplyMM2(A.data(), n, n, B.data(), n, X2.data());
    double diff = 0;
    for (int i = 0; i < n * n; ++i) diff = std::fmax(diff, std::fabs(X[i] - X2[i]));
    std::printf("MultiplyMM2 vs MultiplyMM: largest difference %.3g\n", diff);

    // The GPU solvers: Gauss-Jordan on the GPU (SolveLSE2), elimination on
    // the GPU with back substitution on the CPU (SolveLSE3), and the choice
    // by order (SolveLSEauto: SolveLSE below n1, SolveLSE2 below n2, else
    // SolveLSE3). The GPU solvers do not report a singular system.
    for (int i = 0; i < n; ++i) A[i * n + i] += n;
    std::vector<double> b(n), x(n), x2(n), x3(n), xa(n);
    for (int i = 0; i < n; ++i) b[i] = i + 1.0;
    LA::SolveLSE(A.data(), b.data(), x.data(), n);
    LA::SolveLSE2(A.data(), b.data(), x2.data(), n);
    LA::SolveLSE3(A.data(), b.data(), x3.data(), n);
    LA::SolveLSEauto(A.data(), b.data(), xa.data(), n, 10, 1000);  // 10 <= 64 < 1000: SolveLSE2
    double d2 = 0, d3 = 0, da = 0;
    for (int i = 0; i < n; ++i) {
        d2 = std::fmax(d2, std::fabs(x2[i] - x[i]));
        d3 = std::fmax(d3, std::fabs(x3[i] - x[i]));
        da = std::fmax(da, std::fabs(xa[i] - x2[i]));
    }
    std::printf("SolveLSE2 vs SolveLSE %.3g, SolveLSE3 vs SolveLSE %.3g, SolveLSEauto vs SolveLSE2 %.3g\n", d2, d3,
                da);

    return diff < 1e-12 && d2 < 1e-12 && d3 < 1e-12 && da == 0 ? 0 : 1;
}
