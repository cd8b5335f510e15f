#!/usr/bin/env bash
# The symmetric eigen-solvers at large orders beside LAPACKE dsyev and dsyevd
# (bench/bench_main.cpp, register_eigen_scale), OpenBLAS on one thread.
#
# Orders up to 2000 run ROUNDS times, order 4000 once; each run is its own
# process holding its anchors. With BEFORE_LIB (a directory holding another
# build's liblinalg.so, e.g. one of an earlier commit) every run is repeated
# against that library right after, so before and after alternate on the
# same (possibly shared) machine. Then bench/eigen_scale.py prints the
# medians and, with PLOT, draws time / n^3 against n.
#
# Usage: scripts/bench_eigen_scale.sh
# Environment: BUILD_DIR (default build-bench), OUT_DIR (default
#   $BUILD_DIR/eigen-scale), ROUNDS (default 3), BEFORE_LIB, PLOT (PNG path),
#   LARGE (0: skip order 4000).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh bench
BUILD_DIR="${BUILD_DIR:-build-bench}"
OUT_DIR="${OUT_DIR:-$BUILD_DIR/eigen-scale}"
ROUNDS="${ROUNDS:-3}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DLINALG_BUILD_BENCH=ON \
      -DLINALG_BUILD_TESTS=OFF -DLINALG_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$BUILD_DIR" -j2 --target linalg_bench >/dev/null
bin="$BUILD_DIR/bench/linalg_bench"
mkdir -p "$OUT_DIR"
rm -f "$OUT_DIR"/*.json

# run LABEL FILTER: one process, against BEFORE_LIB when LABEL is "before".
run() {
  local lib=()
  [ "$1" = before ] && lib=(env LD_LIBRARY_PATH="$(cd "$BEFORE_LIB" && pwd)")
  "${lib[@]}" env LINALG_BENCH_EIGEN_SCALE=1 OPENBLAS_NUM_THREADS=1 "$bin" --benchmark_filter="$2" \
    --benchmark_min_time=0.01 --benchmark_color=false \
    --benchmark_out="$OUT_DIR/$1-$3.json" --benchmark_out_format=json >/dev/null
  echo "done: $1 $3"
}
labels=(after)
[ -n "${BEFORE_LIB:-}" ] && labels+=(before)
for r in $(seq 1 "$ROUNDS"); do
  for l in "${labels[@]}"; do run "$l" '/(500|1000|2000)/1/' "r$r"; done
done
if [ "${LARGE:-1}" != 0 ]; then
  for l in "${labels[@]}"; do run "$l" '/4000/1/' large; done
fi
/usr/bin/python3 bench/eigen_scale.py "$OUT_DIR" ${PLOT:+--plot "$PLOT"}
