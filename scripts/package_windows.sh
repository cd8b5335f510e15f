#!/usr/bin/env bash
# Packs the Windows build into linalg-<version>-windows-x86_64.zip with CPack,
# from the install rules (cmake/windows.cmake lists what goes in; the table in
# docs/windows.md names every file, and scripts/test_windows.sh compares).
# Usage: scripts/package_windows.sh [build-dir]   (default build-windows;
#   configured with the MinGW-w64 toolchain first when it holds no build)
# Prints the zip's path on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-windows}"
bash scripts/deps.sh windows
if [ ! -f "$build/CPackConfig.cmake" ]; then
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DLINALG_CUDA=OFF -DLINALG_BUILD_EXAMPLES=OFF -DLINALG_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target linalg >/dev/null
(cd "$build" && cpack -G ZIP --config CPackConfig.cmake >/dev/null)
zip=$(ls -t "$build"/linalg-*-windows-x86_64.zip | head -n 1)
unzip -l "$zip" >&2
echo "$zip"
