// How an operation's range body runs: the whole range in the calling thread
// (the sequential entry points) or in static blocks over the team of
// MAX_THREADS threads (the OpenMP entry points). Internal to ops/.
#ifndef LINALG_OPS_RUN_H
#define LINALG_OPS_RUN_H

#include "base/team.h"
#include "kernels/kernels.h"

namespace linalg {

enum class Run { serial, team };

// Runs body(i0, i1) over [0, n): once over the whole range, or in the
// calling thread's static block of a team. Nothing when n <= 0.
template <Run R, class Body>
inline void run_range(idx n, Body body) {
    if constexpr (R == Run::serial) {
        if (n > 0) body(idx{0}, n);
    } else {
        for_static_blocks(n, body);
    }
}

} // namespace linalg

#endif
