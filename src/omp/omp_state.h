// Library-wide OpenMP thread count and its initialisation check, shared by
// the OpenMP operations and the OpenMP Gauss solver.
#ifndef LINALG_OMP_OMP_STATE_H
#define LINALG_OMP_OMP_STATE_H

#include <omp.h>

namespace linalg {

// Number of threads of every parallel region the library opens. 0 (the value
// at load) means "not initialised"; any value >= 1 is used unchanged. Only
// InitOMP writes it. A plain variable: callers must not change the count
// while another thread is inside an OpenMP routine.
extern int MAX_THREADS;

// With max_thr >= 1: records max_thr as the thread count and returns 0.
// With max_thr <= 0: returns 0 when a count is already recorded (it stays
// unchanged), otherwise prints the not-initialised message on standard output
// and returns -1. Does not talk to the OpenMP runtime.
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
