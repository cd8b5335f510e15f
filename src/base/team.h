// The team helper: the library-wide OpenMP thread count, its initialisation
// check, and the static split of an index range over a team, shared by the
// OpenMP operations (ops/) and the parallel eliminations (solvers/).
#ifndef LINALG_BASE_TEAM_H
#define LINALG_BASE_TEAM_H

#include <omp.h>

#include <cstddef>

namespace linalg {

// Number of threads of every parallel region the library opens. 0 (the value
// at load) means "not initialised"; any value from 1 to max_team_size() is
// used unchanged. Only InitOMP writes it. A plain variable: callers must not change the count
// while another thread is inside an OpenMP routine.
extern int MAX_THREADS;

// Largest thread count the library hands to the OpenMP runtime: 1024, or the
// processor count when that is larger, and never more than the runtime's own
// thread limit (OMP_THREAD_LIMIT). libgomp ends the process when it cannot
// start a team (far larger counts exhaust thread stacks or process limits),
// so counts above this bound are not passed on.
int max_team_size();

// With max_thr >= 1: records max_thr as the thread count and returns 0; a
// count above max_team_size() prints a warning on standard output and records
// the bound instead. With max_thr <= 0: returns 0 when a count is already recorded (it stays
// unchanged), otherwise prints the not-initialised message on standard output
// and returns -1. Records the outcome as the calling thread's status (None,
// or NotInitialized with the message): every OpenMP routine calls it first,
// so this is their one status store on success. Starts no thread.
int InitOMP(int max_thr);

// The check every OpenMP routine makes before doing anything: true when a
// thread count is recorded; otherwise the message has been printed.
inline bool omp_initialised() { return InitOMP(0) == 0; }

// Hands the recorded count to the OpenMP runtime for the next parallel
// region. Called before every region, so a new count from Init_openMP takes
// effect at the next call.
inline void set_team_size() { omp_set_num_threads(MAX_THREADS); }


// The calling thread's block [*i0, *i1) of [0, n) under the static schedule
// without chunk size: contiguous, nearly equal blocks, the first n % T
// threads taking one index more.
inline void static_block(std::ptrdiff_t n, std::ptrdiff_t* i0, std::ptrdiff_t* i1) {
    const std::ptrdiff_t T = omp_get_num_threads();
    const std::ptrdiff_t t = omp_get_thread_num();
    const std::ptrdiff_t q = n > 0 ? n / T : 0;
    const std::ptrdiff_t rem = n > 0 ? n % T : 0;
    *i0 = t * q + (t < rem ? t : rem);
    *i1 = *i0 + q + (t < rem ? 1 : 0);
}

// Runs f(i0, i1) in one parallel region of MAX_THREADS threads (the count
// handed over by set_team_size), each thread on its static_block of [0, n).
// Threads with an empty block do nothing.
template <class F>
void for_static_blocks(std::ptrdiff_t n, F f) {
    set_team_size();
#pragma omp parallel
    {
        std::ptrdiff_t i0, i1;
        static_block(n, &i0, &i1);
        if (i1 > i0) f(i0, i1);
    }
}

// The same split in a region of `threads` threads (a count the caller
// chose, the runtime's default count left as it is); threads <= 1 runs
// f(0, n) in the calling thread.
template <class F>
void for_static_blocks(int threads, std::ptrdiff_t n, F f) {
    if (threads <= 1) {
        if (n > 0) f(std::ptrdiff_t{0}, n);
        return;
    }
#pragma omp parallel num_threads(threads)
    {
        std::ptrdiff_t i0, i1;
        static_block(n, &i0, &i1);
        if (i1 > i0) f(i0, i1);
    }
}

// A barrier of the innermost enclosing team (called from inside a region).
void team_barrier();

} // namespace linalg

#endif
