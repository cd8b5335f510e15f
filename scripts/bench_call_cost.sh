#!/usr/bin/env bash
# Cost per call before and after a change: builds liblinalg at <base> (a git
# revision, default main) in a temporary directory and the working tree in
# build-bench, loads both into one benchmark process (bench/bench_call_cost.cpp)
# and runs AddVV n = 8 and SolveLSE n = 4 of each, randomly interleaved, with
# REPS repetitions (default 30). Prints per benchmark the median time of each
# build and the median of the per-repetition ratios after / before, and the
# time of a call of Diagnostics::Report(None, nullptr) (an exported call that
# only stores the status) and of Diagnostics::Version() (the same call without
# the store) where the build has them. Times are CPU times per call.
# Usage: scripts/bench_call_cost.sh [base]   (BEFORE_LIB=path skips the base build)
set -euo pipefail
cd "$(dirname "$0")/.."
base="${1:-main}"
reps="${REPS:-30}"
jobs="${JOBS:-2}"
tmp="$(mktemp -d "${TMPDIR:-/tmp}/linalg-callcost.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
before="${BEFORE_LIB:-}"
if [ -z "$before" ]; then
  mkdir -p "$tmp/src"
  git archive "$base" | tar -x -C "$tmp/src"
  cmake -S "$tmp/src" -B "$tmp/build" -DCMAKE_BUILD_TYPE=Release -DLINALG_BUILD_TESTS=OFF \
        -DLINALG_BUILD_EXAMPLES=OFF >/dev/null
  cmake --build "$tmp/build" -j"$jobs" --target linalg >/dev/null
  before="$tmp/build/liblinalg.so"
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DLINALG_BUILD_TESTS=OFF -DLINALG_BUILD_EXAMPLES=OFF \
      -DLINALG_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j"$jobs" --target linalg linalg_bench_call_cost >/dev/null
build-bench/bench/linalg_bench_call_cost before="$before" after="$(pwd)/build-bench/liblinalg.so" \
  --benchmark_enable_random_interleaving=true --benchmark_repetitions="$reps" \
  --benchmark_min_time=0.05 --benchmark_format=json --benchmark_out="$tmp/out.json" >/dev/null
python3 - "$tmp/out.json" <<'PY'
import json, statistics, sys
runs = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type") != "iteration":
        continue
    op, n, build = b["run_name"].split("/")
    # CPU time: on a shared host the wall clock also counts time the
    # process spent waiting for a core.
    runs.setdefault((op, n), {}).setdefault(build, []).append(b["cpu_time"])
print(f"{'benchmark':<12} {'before ns':>10} {'after ns':>10} {'after/before':>13} {'spread of ratios':>18}")
for (op, n), t in runs.items():
    if "before" not in t:
        print(f"{op + ' ' + n:<12} {'-':>10} {statistics.median(t['after']):>10.2f}")
        continue
    ratios = [a / b for a, b in zip(t["after"], t["before"])]
    q = statistics.quantiles(ratios, n=4)
    print(f"{op + ' ' + n:<12} {statistics.median(t['before']):>10.2f} {statistics.median(t['after']):>10.2f} "
          f"{statistics.median(ratios):>13.3f} {q[0]:>8.3f}..{q[2]:.3f}")
PY
