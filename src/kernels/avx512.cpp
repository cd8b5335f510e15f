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
    // Widths chosen by measurement on the Intel processors this table is
    // the default for (docs/performance.md): narrower panels up to higher
    // orders than the other tables take.
    t.blocking.lu_panels = panel_rule{{128, 256, 512}, {24, 32, 64}};
    t.blocking.gj_panels = panel_rule{{64, 512, 512}, {16, 32, 32}};
}

void linalg::override_avx512_256(kernel_table& t) {
    override_avx512(t);
    t.level = isa::avx512_256;
    t.name = "avx512_256";
    // The blocked product gains on the direct one from about order 64.
    using cb = CacheBlocks;
    gemm::set_product<gemm::tile12x8>(t, cb::kc, cb::mc, cb::nc, cb::nb, idx{64} * 64 * 64);
    set_rm_update_avx2(t);
    // The default on AMD processors keeps the widths measured there.
    t.blocking.lu_panels = kLuPanels;
    t.blocking.gj_panels = kGjPanels;
}
