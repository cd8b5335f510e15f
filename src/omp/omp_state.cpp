// OpenMP thread count: InitOMP and its export LA::Init_openMP.
#include "omp/omp_state.h"

#include <cstdio>

#include "linalg.h"

namespace linalg {

int MAX_THREADS = 0;

int InitOMP(int max_thr) {
    if (max_thr > 0) {
        MAX_THREADS = max_thr;
        return 0;
    }
    if (MAX_THREADS >= 1) return 0;
    std::printf("\nERROR! OMP not initialized! Use LA::Init_openMP( max_threads )!\n");
    return -1;
}

} // namespace linalg

namespace LinearAlgebra {

int LA::Init_openMP(int max_cores) { return linalg::InitOMP(max_cores); }

} // namespace LinearAlgebra
