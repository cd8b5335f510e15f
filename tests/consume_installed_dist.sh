#!/usr/bin/env bash
# Builds examples/dist_solve.cpp against an installed liblinalg_dist two ways,
# as a user would, and runs each program on 2 ranks without LD_LIBRARY_PATH:
#   1. CMake:       find_package(linalg_dist) (examples/dist_consumer)
#   2. pkg-config:  $(pkg-config --cflags --libs linalg_dist), plus
#                   -Wl,-rpath,<libdir> when not in a system directory
# Each program must load the installed liblinalg_dist and liblinalg.
# Usage: tests/consume_installed_dist.sh <source-dir> <work-dir> <prefix>
# Environment: CXX, CONSUMER_FLAGS (extra compile and link flags), MPIEXEC
# (default mpirun); Open MPI runs on loopback, as root where needed.
set -euo pipefail
src="$1" work="$2" prefix="$3"
mpiexec="${MPIEXEC:-mpirun}"
# shellcheck source=tests/consumer_lib.sh
. "$(dirname "$0")/consumer_lib.sh"
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_btl=self,vader \
  OMPI_MCA_btl_tcp_if_include=lo OMPI_MCA_oob_tcp_if_include=lo OMPI_MCA_rmaps_base_oversubscribe=1 \
  OPENBLAS_NUM_THREADS=1
# Open MPI's own allocations outlive MPI_Finalize: no leak check when the
# installed libraries carry AddressSanitizer (the last setting wins).
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
consumer_init linalg_dist

echo "== find_package(linalg_dist)"
cmake_consumer "$src/examples/dist_consumer" "$work/dist-cmake"
run_consumer dist-find_package "$work/dist-cmake/linalg_dist_consumer" liblinalg_dist liblinalg -- "$mpiexec" -n 2

echo "== pkg-config linalg_dist"
pc_consumer "$work/dist-consumer-pc" "$src/examples/dist_solve.cpp"
run_consumer dist-pkg-config "$work/dist-consumer-pc" liblinalg_dist liblinalg -- "$mpiexec" -n 2
