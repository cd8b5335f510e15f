#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build-fuzz/ and runs each for a while.
# A crash, sanitizer report or failed check stops the run with a non-zero
# status; the input that caused it is left in build-fuzz/artifacts/.
#
# Usage: scripts/fuzz.sh [seconds-per-target] [target ...]   (default 45 s, all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-45}"
shift || true
bash scripts/deps.sh build
bash scripts/need_pkgs.sh clang-14 libclang-rt-14-dev libomp-14-dev
cxx="$(command -v clang++-14 || command -v clang++)"
cc="$(command -v clang-14 || command -v clang)"
jobs="${JOBS:-2}"

CC="$cc" CXX="$cxx" cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$jobs"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p build-fuzz/artifacts
status=0
total=0
for t in "${targets[@]}"; do
  corpus="build-fuzz/corpus/$t"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  log="build-fuzz/$t.log"
  echo "== $t: ${seconds} s"
  if "build-fuzz/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=4096 \
       -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$t-" \
       "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    runs="$(awk '/stat::number_of_executed_units/ {print $2}' "$log")"
    echo "   ok: ${runs:-?} executions, corpus $(ls "$corpus" | wc -l) inputs"
    total=$((total + ${runs:-0}))
  else
    status=1
    echo "   FAILED; last lines of $log:"
    tail -n 60 "$log"
  fi
done
echo "fuzzing: $total executions in all"
exit $status
