// SSE2 kernels: the x86-64 baseline, built with the library's default flags.
// The vectorised plain loops of the reference table are already built for
// this set, so only the SIMD products and updates are set here.
#include "kernels/isa_tables.h"
#include "kernels/simd.h"

void linalg::override_sse2(kernel_table& t) {
    t.level = isa::sse2;
    t.name = "sse2";
    set_simd_kernels(t);
}
