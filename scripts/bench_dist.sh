#!/usr/bin/env bash
# Benchmarks liblinalg_dist (bench/dist/bench_dist.cpp) on this machine:
# n = 4000 and 8000 on 1 and 2 ranks, each operation's root form, distributed
# form and ScaLAPACK routine called directly, interleaved; on 1 rank also
# liblinalg's SolveLSE1 and MultiplyMM1 on 2 OpenMP threads, and at n = 4000
# EigenSymmSystemMsqH once. Prints a Markdown table of medians and ratios.
#
# Usage: scripts/bench_dist.sh [--overhead] [sizes...]   (default: 4000 8000)
#   --overhead  only the wrapper's overhead: solve and multiply on 2 ranks
#               (root form, distributed form, pdgesv / pdgemm), REPS default
#               5 at n <= 4000, else 3; about 4 minutes on 2 quiet cores
#               (OPS=solve or OPS=multiply for one operation only).
# Environment: BUILD_DIR (default build-bench-dist), OUT_DIR (JSON files,
#   default $BUILD_DIR/dist-bench), REPS (default 3 at n <= 4000, else 2),
#   EIGEN_REPS (default 1), EIGEN_MAX_1RANK (largest order whose eigenproblem
#   also runs on 1 rank, default 4000), CPU_TIME=1 (processor time of each
#   call, the largest over the ranks, instead of wall time: steadier on a
#   host shared with other work; waiting ranks then yield the processor).
# The whole default run takes about 20 minutes on 2 cores. The table ends
# with the overhead as the median of per-repetition ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh bench
BUILD_DIR="${BUILD_DIR:-build-bench-dist}"
OUT_DIR="${OUT_DIR:-$BUILD_DIR/dist-bench}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DLINALG_BUILD_BENCH=ON -DLINALG_DIST=ON \
      -DLINALG_BUILD_TESTS=OFF -DLINALG_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target bench_dist >/dev/null
mkdir -p "$OUT_DIR"
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_btl=self,vader OMPI_MCA_btl_tcp_if_include=lo OMPI_MCA_oob_tcp_if_include=lo
export OPENBLAS_NUM_THREADS=1
bin="$BUILD_DIR/bench_dist"
clock=()
if [ "${CPU_TIME:-0}" = 1 ]; then clock=(--cpu); export OMPI_MCA_mpi_yield_when_idle=1; fi
overhead=0
if [ "${1:-}" = --overhead ]; then overhead=1; shift; fi
sizes=("$@")
((${#sizes[@]})) || sizes=(4000 8000)
if [ "$overhead" = 1 ]; then
  files=()
  for n in "${sizes[@]}"; do
    reps="${REPS:-$([ "$n" -le 4000 ] && echo 5 || echo 3)}"
    echo "n = $n, 2 ranks, ${OPS:-solve,multiply} ..." >&2
    mpirun -n 2 --bind-to none --oversubscribe "$bin" "${clock[@]}" --n "$n" --reps "$reps" --ops "${OPS:-solve,multiply}" \
      --out "$OUT_DIR/overhead-n$n-ranks2.json"
    files+=("$OUT_DIR/overhead-n$n-ranks2.json")
  done
  python3 scripts/bench_dist_table.py "${files[@]}"
  exit 0
fi
for n in "${sizes[@]}"; do
  reps="${REPS:-$([ "$n" -le 4000 ] && echo 3 || echo 2)}"
  ereps="${EIGEN_REPS:-1}"
  ops1="solve,multiply"; extra=()
  if [ "$n" -le "${EIGEN_MAX_1RANK:-4000}" ]; then ops1="solve,multiply,eigen"; extra=(--la-eigen); fi
  echo "n = $n, 1 rank ..." >&2
  mpirun -n 1 --bind-to none "$bin" "${clock[@]}" --n "$n" --reps "$reps" --eigen-reps "$ereps" --ops "$ops1" --la \
    "${extra[@]}" --out "$OUT_DIR/n$n-ranks1.json"
  echo "n = $n, 2 ranks ..." >&2
  mpirun -n 2 --bind-to none --oversubscribe "$bin" "${clock[@]}" --n "$n" --reps "$reps" --eigen-reps "$ereps" \
    --out "$OUT_DIR/n$n-ranks2.json"
done
python3 scripts/bench_dist_table.py "$OUT_DIR"/*.json
