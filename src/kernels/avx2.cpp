// AVX2 kernels (built with -mavx2 -mno-fma, see kernels.cmake).
#include "kernels/isa_tables.h"
#include "kernels/plain_loops.h"
#include "kernels/simd.h"
#include "kernels/gemm_avx2.h"
#include "kernels/rm_update_avx2.h"

namespace linalg {
namespace {

// The 6 x 8 product; an empty summation index (zeros) goes to the common code.
void mm_rows_avx2(const double* A, idx k, const double* B, idx m, double* X, idx r0, idx r1) {
    if (k > 0 && m > 0 && r1 > r0)
        gemm6x8::product(r1 - r0, m, k, A + r0 * k, k, B, m, X + r0 * m, m);
    else
        mm_rows_impl(A, k, B, m, X, r0, r1);
}

} // namespace
} // namespace linalg

void linalg::override_avx2(kernel_table& t) {
    t.level = isa::avx2;
    t.name = "avx2";
    set_simd_kernels(t);
    t.mm_rows = mm_rows_avx2;
    t.rm_update = rm_update_6x8;
    plain::set_vectorised_loops(t);
}
