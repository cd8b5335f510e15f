#!/usr/bin/env bash
# Builds linalg and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-asan/ and runs the whole suite. Any
# sanitizer report ends the program that made it with a failure.
# Usage: scripts/test_sanitize.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
jobs="${JOBS:-2}"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINALG_SANITIZE=ON \
  -DLINALG_BUILD_TESTS=ON -DLINALG_BUILD_EXAMPLES=OFF -DLINALG_CUDA=OFF "$@"
cmake --build build-asan -j"$jobs"

# detect_leaks: work memory must be returned on every path;
# halt_on_error / exitcode: a report fails the test program even in a child
# process (death tests, fork-based tests keep their own exit codes otherwise).
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:exitcode=86:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87"
export LSAN_OPTIONS="exitcode=88"
# SANITIZE_EXCLUDE: a ctest regular expression of tests to leave out.
exclude=()
[ -n "${SANITIZE_EXCLUDE:-}" ] && exclude=(-E "$SANITIZE_EXCLUDE")
ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 1200 "${exclude[@]}"
