#!/usr/bin/env bash
# Packs the Windows build into linalg-<version>-windows-x86_64.zip:
#   bin/linalg.dll        the library (GCC runtime and OpenMP linked in)
#   lib/liblinalg.dll.a   import library for MinGW-w64
#   lib/linalg.lib        import library for the Microsoft linker
#   lib/linalg.def        the exported names (GCC and MSVC)
#   include/              linalg.h, linalg_version.h
#   LICENSE, docs/windows.md
# Usage: scripts/package_windows.sh [build-dir]   (default build-windows;
#   built with the MinGW-w64 toolchain first when it holds no linalg.dll)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-windows}"
bash scripts/deps.sh windows
if [ ! -f "$build/linalg.dll" ]; then
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DLINALG_CUDA=OFF -DLINALG_BUILD_EXAMPLES=OFF -DLINALG_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target linalg
fi
version=$(sed -n 's/^#define LINALG_VERSION_STRING "\(.*\)"/\1/p' "$build/include/linalg_version.h")
name="linalg-$version-windows-x86_64"
stage="$build/$name"
rm -rf "$stage" "$build/$name.zip"
mkdir -p "$stage/bin" "$stage/lib" "$stage/include" "$stage/docs"
cp "$build/linalg.dll" "$stage/bin/"
x86_64-w64-mingw32-strip --strip-unneeded "$stage/bin/linalg.dll"
cp "$build/liblinalg.dll.a" "$build/linalg.lib" "$build/linalg.def" "$stage/lib/"
cp include/*.h "$build/include/linalg_version.h" "$stage/include/"
cp LICENSE "$stage/"
cp docs/windows.md "$stage/docs/"
(cd "$build" && zip -qr "$name.zip" "$name")
echo "$build/$name.zip"
unzip -l "$build/$name.zip"
