// AVX2 kernels (built with -mavx2 -mno-fma, see kernels.cmake).
#include "kernels/isa_tables.h"
#include "kernels/plain_loops.h"
#include "kernels/simd.h"

void linalg::override_avx2(kernel_table& t) {
    t.level = isa::avx2;
    t.name = "avx2";
    set_simd_kernels(t);
    plain::set_vectorised_loops(t);
}
