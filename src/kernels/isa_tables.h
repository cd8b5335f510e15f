// How the tables are assembled (dispatch.cpp): the reference table, then the
// overrides of one instruction set applied to a copy of it.
#ifndef LINALG_KERNELS_ISA_TABLES_H
#define LINALG_KERNELS_ISA_TABLES_H

#include "kernels/kernels.h"

namespace linalg {

// The plain loops (reference.cpp).
kernel_table make_reference_table();

// Each sets the entries its instruction set has faster code for, and its
// level and name; the others keep what the table held (sse2.cpp, avx2.cpp,
// avx512.cpp, each built for its own set, on x86 only; neon.cpp on aarch64
// only).
void override_sse2(kernel_table& t);
void override_avx2(kernel_table& t);
void override_avx512(kernel_table& t);
// The AVX-512 set with 256-bit tiles: the avx512 table with the product on
// a 12 x 8 tile of 256-bit vectors (avx512.cpp) and the AVX2 row update
// (set_rm_update_avx2).
void override_avx512_256(kernel_table& t);
// The AVX2 table's rm_update and its tile (avx2.cpp), for the sets that
// share it.
void set_rm_update_avx2(kernel_table& t);
// The aarch64 Advanced SIMD table (neon.cpp).
void override_neon(kernel_table& t);

} // namespace linalg

#endif
