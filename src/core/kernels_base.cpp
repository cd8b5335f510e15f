// Kernels for any x86-64 processor (SSE2).
#include "core/kernels_impl.h"

const linalg::kernel_table* linalg::kernels_baseline() { return &kTable; }
