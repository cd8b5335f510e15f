// Advanced SIMD kernels (aarch64 only, see kernels.cmake): the vector layer
// of simd.h with two doubles per vector, every term a vmulq_f64 followed by
// a separate vaddq_f64 or vsubq_f64 (-ffp-contract=off keeps the compiler
// from fusing them into fmla).
#include "kernels/isa_tables.h"
#include "kernels/plain_loops.h"
#include "kernels/simd.h"

void linalg::override_neon(kernel_table& t) {
    t.level = isa::neon;
    t.name = "neon";
    set_simd_kernels(t);
    plain::set_vectorised_loops(t);
    // Blocks for the 6 x 8 product tile (docs/kernels.md): a 256-deep slice
    // keeps one packed panel of B (256 x 8, 16 KB) in a 64 KB L1 beside the
    // tile's rows of A; a 192-row block of A (384 KB) stays in a 1 MB L2.
    // Chosen by reasoning, not measured.
    gemm::set_product<simd_tile>(t, 256, 192, 1024, 64, kDirectProducts);
    rmd::set_rm_update<simd_rm_tile>(t, 192);
}
