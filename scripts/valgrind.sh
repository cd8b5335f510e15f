#!/usr/bin/env bash
# Runs the test programs of the solvers and eigen-solvers under valgrind
# memcheck: any invalid access, use of uninitialised memory or leak fails.
# Reuses build-test/ (the Release build of scripts/test.sh) when present.
#
# Usage: scripts/valgrind.sh [program-name-pattern ...]
#   default patterns: test_solvers* test_eigen* test_fault_injection
#   VALGRIND_FILTER  gtest filter (default: skip death tests, which end the
#                    process on purpose, and the large-size cases)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
bash scripts/need_pkgs.sh valgrind
build="${BUILD_DIR:-build-test}"
jobs="${JOBS:-2}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLINALG_BUILD_TESTS=ON
fi
cmake --build "$build" -j"$jobs"

patterns=("$@")
[ ${#patterns[@]} -gt 0 ] || patterns=("test_solvers*" "test_eigen*" "test_fault_injection")
filter="${VALGRIND_FILTER:--*Death*:*DeathTest*:*Large*:*Huge*}"

progs=()
for pat in "${patterns[@]}"; do
  for f in "$build"/tests/$pat; do
    [ -x "$f" ] && [ -f "$f" ] && progs+=("$f")
  done
done
if [ ${#progs[@]} -eq 0 ]; then
  echo "valgrind.sh: no test program matches ${patterns[*]} in $build/tests" >&2
  exit 1
fi

logdir="$build/valgrind"
mkdir -p "$logdir"
status=0
for p in "${progs[@]}"; do
  name="$(basename "$p")"
  echo "== valgrind $name (filter $filter)"
  start=$SECONDS
  # OMP_WAIT_POLICY=passive keeps idle OpenMP workers from spinning, which is
  # very slow under valgrind's serialised threads.
  if OMP_WAIT_POLICY=passive GTEST_DEATH_TEST_STYLE=threadsafe \
     valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible \
       --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes \
       --suppressions=scripts/valgrind.supp --error-exitcode=99 \
       --log-file="$logdir/$name.log" \
       "$p" --gtest_filter="$filter" --gtest_brief=1 >"$logdir/$name.out" 2>&1; then
    echo "   clean ($((SECONDS - start)) s): $(grep -E 'ERROR SUMMARY' "$logdir/$name.log" | tail -n1 | sed 's/^==[0-9]*== //')"
  else
    rc=$?
    status=1
    echo "   FAILED with status $rc ($((SECONDS - start)) s); see $logdir/$name.log"
    tail -n 40 "$logdir/$name.out"
    grep -E -A20 'Invalid|uninitialised|definitely lost|possibly lost|ERROR SUMMARY' "$logdir/$name.log" | head -n 80
  fi
done
exit $status
