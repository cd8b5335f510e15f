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
// avx512.cpp, each built for its own set).
void override_sse2(kernel_table& t);
void override_avx2(kernel_table& t);
void override_avx512(kernel_table& t);
// For processors that execute 512-bit operations as two 256-bit halves: the
// AVX-512 table's product switched to a 12 x 8 tile of 256-bit vectors
// (avx512.cpp).
void override_avx512_halves(kernel_table& t);

} // namespace linalg

#endif
