// Kernels for processors with AVX-512F (compiled with -mavx512f, see
// kernels.cmake).
#include "core/kernels_impl.h"

const linalg::kernel_table* linalg::kernels_avx512() { return &kTable; }
