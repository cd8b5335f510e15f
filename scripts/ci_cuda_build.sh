#!/usr/bin/env bash
# Compiles and links the library against the real CUDA runtime when nvcc is
# available (nothing is run: there may be no GPU). Skips otherwise.
# Usage: scripts/ci_cuda_build.sh [build-dir]   (default: build-cuda)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-cuda}"

nvcc="$(command -v nvcc || true)"
if [[ -z "$nvcc" && -x /usr/local/cuda/bin/nvcc ]]; then
    nvcc=/usr/local/cuda/bin/nvcc
fi
if [[ -z "$nvcc" ]]; then
    echo "ci_cuda_build: nvcc not found, real CUDA build skipped"
    exit 0
fi

echo "ci_cuda_build: building the CUDA variant with $nvcc"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DLINALG_CUDA=ON -DCMAKE_CUDA_COMPILER="$nvcc" \
    -DLINALG_BUILD_TESTS=OFF -DLINALG_BUILD_EXAMPLES=OFF -DLINALG_BUILD_BENCH=OFF
cmake --build "$build" -j2 --target linalg linalg_static

# The shared library must hold the GPU kernels and the CUDA runtime it links.
lib="$(find "$build" -maxdepth 2 -name 'liblinalg.so*' -type f | head -n1)"
if [[ -z "$lib" ]]; then
    echo "ci_cuda_build: liblinalg.so was not built" >&2
    exit 1
fi
symbols="$(nm -C "$lib")"
if ! grep -q 'MAXd_CU' <<<"$symbols" || ! grep -q '__cudaRegisterFatBinary' <<<"$symbols"; then
    echo "ci_cuda_build: kernels missing from $lib" >&2
    exit 1
fi
echo "ci_cuda_build: OK ($lib)"
