#!/usr/bin/env bash
# Builds linalg with its tests into build-test/ and runs the whole suite,
# then the Python package's tests on the same build (scripts/test_python.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release -DLINALG_BUILD_TESTS=ON "$@"
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test --output-on-failure -j"$(nproc)"
bash scripts/test_python.sh build-test
