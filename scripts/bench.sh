#!/usr/bin/env bash
# Benchmarks linalg beside OpenBLAS / LAPACKE and prints, for each operation,
# the ratio anchor time / linalg time.
#
# Everything runs twice, in two processes: once with the OpenBLAS core that
# the installed library picks by itself, and once with the core forced
# through OPENBLAS_CORETYPE (SkylakeX on AVX-512 machines, Haswell on AVX2
# ones), because a distribution build may not recognise a new processor and
# fall back to a slow generic core. The ratio takes each side's fastest time
# over both processes: linalg runs in both too, so on a busy machine both
# sides get the same number of chances at a quiet moment. Each process also
# records this core's peak with separate multiplies and adds and with fused
# ones at its start (see the table's header line).
#
# Usage: scripts/bench.sh [google-benchmark options, e.g.
#        --benchmark_filter=MultiplyMM --benchmark_repetitions=5]
# Environment: BUILD_DIR (default build-bench), CORE (forced core name; empty
#   string to skip the second run), BENCH_OUT (Google Benchmark JSON of the
#   run with the installed core, default $BUILD_DIR/bench.json; the run with
#   the forced core goes beside it as *-core.json).
# Before/after a change: keep two BENCH_OUT files and compare them with
#   scripts/bench_compare.sh before.json after.json
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh bench
BUILD_DIR="${BUILD_DIR:-build-bench}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DLINALG_BUILD_BENCH=ON \
      -DLINALG_BUILD_TESTS=OFF -DLINALG_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target linalg_bench >/dev/null
bin="$BUILD_DIR/bench/linalg_bench"
out="${BENCH_OUT:-$BUILD_DIR/bench.json}"
second="${out%.json}-core.json"
rm -f "$second"

if [ -z "${CORE+set}" ]; then
  if grep -qw avx512f /proc/cpuinfo; then CORE=SkylakeX
  elif grep -qw avx2 /proc/cpuinfo; then CORE=Haswell
  else CORE=""; fi
fi

common=(--benchmark_repetitions=3 --benchmark_color=false)
if [ -n "$CORE" ]; then
  echo "== linalg and anchors with OPENBLAS_CORETYPE=$CORE"
  OPENBLAS_CORETYPE="$CORE" "$bin" "${common[@]}" "$@" \
    --benchmark_out="$second" --benchmark_out_format=json >/dev/null
fi
echo "== linalg and anchors with the installed OpenBLAS core"
"$bin" "${common[@]}" "$@" --benchmark_out="$out" --benchmark_out_format=json
if [ -s "$second" ]; then
  /usr/bin/python3 scripts/bench_table.py "$out" "$second"
else
  /usr/bin/python3 scripts/bench_table.py "$out"
fi
echo "JSON: $out"
