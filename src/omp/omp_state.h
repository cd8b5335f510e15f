// Library-wide OpenMP thread count and its initialisation check, shared by
// the OpenMP operations and the OpenMP Gauss solver.
#ifndef LINALG_OMP_OMP_STATE_H
#define LINALG_OMP_OMP_STATE_H

#include <omp.h>

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

} // namespace linalg

#endif
