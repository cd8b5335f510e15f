// The one way the kernels treat a tile of C that the matrix's edge cuts:
// the register tile runs on a full local copy, and only the part that exists
// goes back. Included by the instruction-set files; internal linkage.
#ifndef LINALG_KERNELS_EDGE_TILE_H
#define LINALG_KERNELS_EDGE_TILE_H

#include "kernels/kernels.h"

namespace linalg {
namespace {

// kernel(t, TC) on a TR x TC buffer t standing for the mr x nr corner of C at
// c (leading dimension ldc). When `keep`, the corner's values are copied in
// first (the rest of the buffer is 0.0: its lanes are independent of the
// corner's and never stored); otherwise the kernel does not read the buffer.
// Afterwards the corner is copied back.
template <idx TR, idx TC, class Kernel>
inline void on_edge_tile(double* c, idx ldc, idx mr, idx nr, bool keep, Kernel kernel) {
    alignas(64) double t[TR * TC];
    if (keep)
        for (idx r = 0; r < TR; ++r)
            for (idx q = 0; q < TC; ++q) t[r * TC + q] = r < mr && q < nr ? c[r * ldc + q] : 0.0;
    kernel(t, TC);
    for (idx r = 0; r < mr; ++r)
        for (idx q = 0; q < nr; ++q) c[r * ldc + q] = t[r * TC + q];
}

} // namespace
} // namespace linalg

#endif
