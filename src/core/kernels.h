// Fast kernels of the products, the outer product, the transpose and the
// element-wise operations, with run-time choice of the instruction set.
//
// Contract shared by every routine here: the result is bit for bit the
// result of the plain loop in core/loops.h (or of the one-line element-wise
// formula). Each product output starts at 0.0 and takes its terms one at a
// time in ascending summation index, a multiplication followed by a separate
// addition; the kernels only tile over output indices, vectorise across
// independent outputs, pack operands and cut the summation index into
// consecutive blocks taken in ascending order. No FMA is used on any path,
// so the AVX-512, AVX2 and baseline (SSE2) paths give the same bits.
//
// All counts are 64-bit. A range that is empty (or a dimension of zero or
// less) writes nothing, except that a product over an empty summation index
// writes 0.0 to its outputs, as the plain loops do. Outputs must not overlap
// the inputs of a product, the outer product or the transpose; the
// element-wise operations may work in place (X equal to an input).
//
// No kernel allocates: the product packs B micro-panels into a fixed stack
// buffer (about 33 KB on the AVX-512 path) and reads A in place.
//
// The row/column range entry points exist for the OpenMP variants: any split
// of the output range over threads gives the same bits as one call over the
// whole range.
#ifndef LINALG_CORE_KERNELS_H
#define LINALG_CORE_KERNELS_H

#include <cstddef>

namespace linalg {

using idx = std::ptrdiff_t;

enum class isa : int { baseline = 0, avx2 = 1, avx512 = 2 };

// One implementation of every kernel, compiled for one instruction set.
struct kernel_table {
    isa level;
    const char* name;
    // Rows [r0, r1) of X (n x m) = A (n x k) * B (k x m), all row-major.
    void (*mm_rows)(const double* A, idx k, const double* B, idx m, double* X, idx r0, idx r1);
    // Delayed elimination update: C(i, j) = C(i, j) - U(p, j) * L(i, p) for
    // p = 0 .. k-1 in ascending order, one rounded multiplication and one
    // rounded subtraction per term; C is rows x cols, L rows x k, U k x cols,
    // each with its own leading dimension. C must not overlap L or U.
    void (*gemm_sub)(idx rows, idx cols, idx k, const double* L, idx ldl, const double* U, idx ldu, double* C,
                     idx ldc);
    // X[i] = sum_j M[i, j] V[j] for rows i in [r0, r1); M has `cols` columns.
    void (*mv_rows)(const double* M, const double* V, idx cols, double* X, idx r0, idx r1);
    // X[j] = sum_i V[i] M[i, j] for columns j in [c0, c1); M is rows x cols.
    void (*vm_cols)(const double* V, idx rows, const double* M, idx cols, double* X, idx c0, idx c1);
    // Rows [r0, r1) of the outer product X = V1 V2^T with `cols` columns.
    void (*cross_rows)(const double* V1, const double* V2, idx cols, double* X, idx r0, idx r1);
    // Rows [r0, r1) of M (rows x cols) written as columns of X (cols x rows).
    void (*transpose_rows)(const double* M, idx rows, idx cols, double* X, idx r0, idx r1);
    // Element-wise over [i0, i1): X = V*S, V1+V2, V1-V2, V1*V2.
    void (*scale)(const double* V, double S, double* X, idx i0, idx i1);
    void (*add)(const double* V1, const double* V2, double* X, idx i0, idx i1);
    void (*sub)(const double* V1, const double* V2, double* X, idx i0, idx i1);
    void (*mul)(const double* V1, const double* V2, double* X, idx i0, idx i1);
};

// The table in use: the widest instruction set the processor and the
// operating system support, unless a test forced another one.
const kernel_table& kernels();

// Tables of the individual instruction sets (nullptr when the library was
// built without that path).
const kernel_table* kernels_baseline();
const kernel_table* kernels_avx2();
const kernel_table* kernels_avx512();

// Whether the running processor can execute the given path.
bool isa_supported(isa level);

// Convenience wrappers over kernels(), with int dimensions as the public
// functions take them; sizes of zero or less do nothing (products over an
// empty summation index write zeros).
void mm_rows(const double* A, int nCols, const double* B, int nCols2, double* X, idx r0, idx r1);
void mv_rows(const double* M, const double* V, int nRowsV, double* X, idx r0, idx r1);
void vm_cols(const double* V, int nColsV, const double* M, int nColsM, double* X, idx c0, idx c1);
void cross_rows(const double* V1, const double* V2, int nCols, double* X, idx r0, idx r1);
void transpose_rows(const double* M, int nRows, int nCols, double* X, idx r0, idx r1);

namespace testhooks {
// Forces the kernels of one instruction set; returns false (and changes
// nothing) when the processor cannot run it. reset_isa() restores the
// automatic choice.
bool force_isa(isa level);
void reset_isa();
} // namespace testhooks

} // namespace linalg

#endif
