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

# The zip, made by CPack from the install rules: unpacked into an empty
# folder, it holds exactly the files docs/windows.md lists, and the README's
# first program, built there with the plain MinGW-w64 line of
# docs/windows.md, prints what the README says under Wine.
zip_start=$(date +%s)
zip=$(bash scripts/package_windows.sh "$build" 2>/dev/null | tail -n 1)
unpacked=$(mktemp -d)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$unpacked"' EXIT
unzip -q "$zip" -d "$unpacked"
top="$unpacked/$(basename "$zip" .zip)"
listed=$(awk '/^## What the package holds/ {f = 1; next} f && /^## / {exit}
              f && /^\| `/ {split($0, c, "`"); print c[2]}' docs/windows.md | sort)
held=$(cd "$top" && find . -type f | sed 's|^\./||' | sort)
if [ "$listed" != "$held" ]; then
  echo "the zip's files differ from the table in docs/windows.md (< table, > zip):" >&2
  diff <(echo "$listed") <(echo "$held") >&2 || true
  exit 1
fi
awk '/^## A first program/ {f = 1} f && /^```cpp/ {p = 1; next} p && /^```/ {exit} p' README.md >"$top/app.cpp"
line=$(grep -m1 -E '^    x86_64-w64-mingw32-g\+\+-posix .*app\.cpp' docs/windows.md | sed 's/^ *//')
(cd "$top" && eval "$line")
expected=$(grep -m1 -E '^\./app +# ' README.md | sed -E 's/^\.\/app +# //')
got=$(cd "$top" && WINEPATH="$top/bin" wine app.exe | tr -d '\r')
echo "the README's program from the unpacked zip under Wine: '$got'"
[ "$got" = "$expected" ] || { echo "expected '$expected'" >&2; exit 1; }
echo "zip: contents match docs/windows.md; MinGW consumer ran ($(( $(date +%s) - zip_start )) s)"
