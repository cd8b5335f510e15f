// AVX-512 kernels (built with -mavx512f and companions, see kernels.cmake).
#include "kernels/isa_tables.h"
#include "kernels/plain_loops.h"
#include "kernels/simd.h"
#include "kernels/gemm_avx512vl.h"

void linalg::override_avx512(kernel_table& t) {
    t.level = isa::avx512;
    t.name = "avx512";
    set_simd_kernels(t);
    plain::set_vectorised_loops(t);
}

void linalg::override_avx512_halves(kernel_table& t) {
    t.mm_rows = gemm::mm_rows<12, gemm::kernel12x8, mm_rows_impl>;
    t.mm_team = gemm::mm_team<12, gemm::kernel12x8>;
}
