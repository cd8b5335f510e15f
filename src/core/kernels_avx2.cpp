// Kernels for processors with AVX2 (compiled with -mavx2, see kernels.cmake).
#include "core/kernels_impl.h"

const linalg::kernel_table* linalg::kernels_avx2() { return &kTable; }
