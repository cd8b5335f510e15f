// AVX2 kernels (built with -mavx2 -mno-fma, see kernels.cmake).
#include "kernels/isa_tables.h"
#include "kernels/plain_loops.h"
#include "kernels/simd.h"
#include "kernels/gemm_avx2.h"
#include "kernels/rm_update_avx2.h"

void linalg::override_avx2(kernel_table& t) {
    t.level = isa::avx2;
    t.name = "avx2";
    set_simd_kernels(t);
    // The blocked product gains on the direct one from about order 56.
    using cb = CacheBlocks;
    gemm::set_product<gemm::tile6x8>(t, cb::kc, cb::mc, cb::nc, cb::nb, idx{56} * 56 * 56);
    set_rm_update_avx2(t);
    plain::set_vectorised_loops(t);
}

void linalg::set_rm_update_avx2(kernel_table& t) {
    rmd::set_rm_update<rm68::tile>(t, CacheBlocks::rm_update);
}
