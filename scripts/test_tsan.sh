#!/usr/bin/env bash
# Builds the library and its thread tests with ThreadSanitizer into
# build-tsan/ and runs them: several caller threads on disjoint arrays
# (tests/test_concurrency.cpp, the concurrent eigen-solver calls, and failing
# calls in several threads while another replaces the message handler). Any
# data race ends the test program with a failure.
#
# OpenMP: libgomp is not built with ThreadSanitizer, so the synchronisation
# inside an OpenMP team (its barriers and the join) is invisible to the
# sanitizer, and the writes of team threads before a barrier would read as
# races with the reads after it. OMP_THREAD_LIMIT=1 makes every team the
# calling thread alone: the OpenMP variants still run (with the same bits,
# for any team size), and what is checked is what these tests are about:
# calls from several caller threads at once. No suppression is used.
# Usage: scripts/test_tsan.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
jobs="${JOBS:-2}"
flags="-fsanitize=thread -fno-omit-frame-pointer"
# No hardening flags here: fortified libc calls bypass the sanitizer's
# interceptors of the plain ones.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINALG_BUILD_TESTS=ON \
  -DLINALG_BUILD_EXAMPLES=OFF -DLINALG_CUDA=OFF -DLINALG_HARDEN=OFF \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread "$@"
cmake --build build-tsan -j"$jobs" --target test_concurrency test_eigen test_diagnostics

export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1"
export OMP_THREAD_LIMIT=1
build-tsan/tests/test_concurrency
build-tsan/tests/test_eigen --gtest_filter='*Concurrent*'
build-tsan/tests/test_diagnostics --gtest_filter='Diagnostics.StatusPerThread*'
echo "ThreadSanitizer: no data race in the thread tests"
