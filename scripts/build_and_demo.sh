#!/usr/bin/env bash
# Builds liblinalg.so (Release) into build/ and runs the demo program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLINALG_BUILD_TESTS=OFF "$@"
cmake --build build -j"$(nproc)"
./build/examples/linalg_demo
