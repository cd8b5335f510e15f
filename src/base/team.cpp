// The team helper: thread count (InitOMP) and the team barrier.
#include "base/team.h"

#include <cstdio>

#include "base/message.h"

namespace linalg {

int MAX_THREADS = 0;

int max_team_size() {
    constexpr int kTeamBound = 1024;
    const int procs = omp_get_num_procs();
    const int bound = procs > kTeamBound ? procs : kTeamBound;
    const int limit = omp_get_thread_limit();
    return limit >= 1 && limit < bound ? limit : bound;
}

int InitOMP(int max_thr) {
    if (max_thr > 0) {
        const int bound = max_team_size();
        if (max_thr > bound) {
            emit(Out::out_flushed,
                 "\nWARNING! Init_openMP(%d): more threads than the OpenMP runtime can start; using %d!\n", max_thr,
                 bound);
            max_thr = bound;
        }
        MAX_THREADS = max_thr;
        clear_status();
        return 0;
    }
    if (MAX_THREADS >= 1) {
        clear_status();
        return 0;
    }
    report(Error::NotInitialized, Out::out, "\nERROR! OMP not initialized! Use LA::Init_openMP( max_threads )!\n");
    return -1;
}

void team_barrier() {
#pragma omp barrier
}

} // namespace linalg
