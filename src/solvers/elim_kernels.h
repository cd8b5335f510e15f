// Update kernels of the blocked eliminations, with run-time ISA choice.
//
// Every kernel applies delayed elimination updates
//     C(r, j) = C(r, j) - U(k, j) * G(r, k)      for k = 0, 1, ..., kb-1 in order
// one term at a time (a multiplication, then a subtraction; never fused), so
// each entry ends with exactly the bits it would get from the plain
// one-pivot-at-a-time loop. Only the outputs are tiled and vectorised; the
// order of the terms of any one entry is never changed. All ISAs therefore
// give the same bits; the baseline path runs on any x86-64.
#ifndef LINALG_SOLVERS_ELIM_KERNELS_H
#define LINALG_SOLVERS_ELIM_KERNELS_H

#include "core/loops.h"

namespace linalg {

// Width of one packed column panel of U (see rm_update).
constexpr idx kPanelCols = 16;

struct ElimKernels {
    // Row-major update.
    // C: m x nc, row-major, row stride ldc (C(r, j) at C[r*ldc + j]).
    // G: multipliers, G(r, k) at G[k*ldg + r] (column-major).
    // U: packed pivot rows: column j of row k at
    //    U[(j / kPanelCols) * ups + k * kPanelCols + j % kPanelCols]; the last
    //    panel is padded to kPanelCols columns (pad values are read, never
    //    stored anywhere).
    // kb == 0 or m == 0 or nc == 0: nothing is touched. C must not overlap G
    // or U.
    void (*rm_update)(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U, idx ups,
                      idx kb);
    // Column-major update.
    // C: m x nc, column-major, column stride ldc (C(r, j) at C[j*ldc + r]).
    // G: G(r, k) at G[k*ldg + r]. U: U(k, j) at U[j*ldu + k].
    // Sizes 0: nothing is touched. C must not overlap G or U.
    void (*cm_update)(double* C, idx ldc, idx m, idx nc, const double* G, idx ldg, const double* U, idx ldu,
                      idx kb);
};

enum class KernelIsa { Auto = -1, Baseline = 0, Avx2 = 1, Avx512 = 2 };

// The kernels for the ISA in force: the best one the processor supports,
// unless a test has forced another.
const ElimKernels& elim_kernels();

// The ISA elim_kernels() currently returns.
KernelIsa elim_kernel_isa();

namespace testhooks {
// Forces the kernels of `isa` (Auto restores the run-time choice). A forced
// ISA the processor lacks falls back to the best supported one below it.
// Returns the ISA now in force.
KernelIsa force_kernel_isa(KernelIsa isa);
} // namespace testhooks

} // namespace linalg

#endif
