#!/usr/bin/env bash
# Cross-builds linalg.dll and the test suite with MinGW-w64 and runs the
# tests under Wine (CTest's cross-compiling emulator), then compares the
# kernel tests' result digest at every instruction set with the Linux build
# when build-test/ (scripts/test.sh) holds one.
# Usage: scripts/test_windows.sh [build-dir]   (default build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh windows
build="${1:-build-windows}"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DLINALG_CUDA=OFF -DLINALG_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j2

# A Wine prefix of the build's own.
export WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all
# (A server kept running with wineserver -p would hold the test programs'
# output pipes open, and CTest's test discovery would wait for them.)
trap 'wineserver -k 2>/dev/null || true' EXIT
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
# A Wine process now and then fails to start at all (no output, exit at
# once), most often the first ones while the server comes up: a failed test
# is run up to twice more, and any test that fails three times fails the
# stage.
ctest --test-dir "$build" -j2 --timeout 600 --output-on-failure --repeat until-pass:3

digest() {  # program, isa
  LINALG_ISA="$2" "${@:3}" "$1" --gtest_also_run_disabled_tests \
    --gtest_filter=KernelDispatch.DISABLED_PrintResultDigest 2>/dev/null | sed -n 's/^digest: //p' | tr -d '\r'
}
if [ -x build-test/tests/test_kernels ]; then
  status=0
  for isa in sse2 avx2 avx512 avx512_256; do
    linux=$(digest build-test/tests/test_kernels "$isa")
    windows=$(digest "$build/tests/test_kernels.exe" "$isa" wine)
    echo "result digest, LINALG_ISA=$isa: Linux '$linux', Windows under Wine '$windows'"
    [ -n "$linux" ] && [ "$linux" = "$windows" ] || status=1
  done
  [ "$status" -eq 0 ] || { echo "the Windows build's results differ from the Linux build's" >&2; exit 1; }
else
  echo "no Linux build in build-test/: digest comparison skipped"
fi
