#!/usr/bin/env bash
# Benchmarks linalg beside OpenBLAS / LAPACKE and prints the comparison.
#
# The anchors run twice: once with the OpenBLAS core that the installed
# library picks by itself, and once with the core forced through
# OPENBLAS_CORETYPE (SkylakeX on AVX-512 machines, Haswell on AVX2 ones),
# because a distribution build may not recognise a new processor and fall
# back to a slow generic core. The table takes the faster of the two.
#
# Usage: scripts/bench.sh [google-benchmark options, e.g.
#        --benchmark_filter=MultiplyMM --benchmark_repetitions=5]
# Environment: BUILD_DIR (default build-bench), CORE (forced core name).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh bench
BUILD_DIR="${BUILD_DIR:-build-bench}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DLINALG_BUILD_BENCH=ON \
      -DLINALG_BUILD_TESTS=OFF -DLINALG_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target linalg_bench >/dev/null
bin="$BUILD_DIR/bench/linalg_bench"

if [ -z "${CORE:-}" ]; then
  if grep -qw avx512f /proc/cpuinfo; then CORE=SkylakeX
  elif grep -qw avx2 /proc/cpuinfo; then CORE=Haswell
  else CORE=""; fi
fi

common=(--benchmark_repetitions=3 --benchmark_color=false)
anchors="$(mktemp)"
trap 'rm -f "$anchors"' EXIT

if [ -n "$CORE" ]; then
  echo "== anchors with OPENBLAS_CORETYPE=$CORE"
  OPENBLAS_CORETYPE="$CORE" "$bin" --anchors-only --results-out="$anchors" "${common[@]}" "$@" 2>&1 \
    | grep -E '^OpenBLAS core' || true
fi
echo "== linalg and anchors with the installed OpenBLAS core"
if [ -s "$anchors" ]; then
  "$bin" --anchors-in="$anchors" "${common[@]}" "$@"
else
  "$bin" "${common[@]}" "$@"
fi
