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
    t.mm_rows = gemm::mm_rows<6, gemm::kernel6x8, mm_rows_impl>;
    t.mm_team = gemm::mm_team<6, gemm::kernel6x8>;
    t.rm_update = rm_update_6x8;
    plain::set_vectorised_loops(t);
}
