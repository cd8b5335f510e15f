#!/usr/bin/env bash
# Builds examples/consumer against an installed linalg three ways, as a user
# would, and runs each program without LD_LIBRARY_PATH:
#   1. CMake:       find_package(linalg) (CMake records the library's run path)
#   2. pkg-config:  $(pkg-config --cflags --libs linalg), plus
#                   -Wl,-rpath,$(pkg-config --variable=libdir linalg) when the
#                   library is not in a system directory
#   3. plain flags: -llinalg (with -I, -L and -rpath for a prefix of one's own)
# Each program must load the installed library.
# Usage: tests/consume_installed.sh <source-dir> <work-dir> <prefix>
# Environment: CXX, CONSUMER_FLAGS (extra compile and link flags).
set -euo pipefail
src="$1" work="$2" prefix="$3"
cxx="${CXX:-c++}"
flags="${CONSUMER_FLAGS:-}"
fail() { echo "FAIL: $*" >&2; exit 1; }
mkdir -p "$work"
unset LD_LIBRARY_PATH

if [ "$prefix" = /usr ]; then
  system=1
  pcpath=""
else
  system=0
  pcpath="$(dirname "$(find "$prefix" -name linalg.pc | head -n1)")"
fi
pc() { PKG_CONFIG_PATH="$pcpath" pkg-config "$@" linalg; }
libdir="$(pc --variable=libdir)"
[ -f "$libdir/liblinalg.so" ] || fail "pkg-config libdir '$libdir' holds no liblinalg.so"

# Runs a consumer and checks which liblinalg it loads.
run() {
  local name="$1" exe="$2"
  local deps
  # (ldd's output is kept whole: grep -q closing the pipe early would kill
  # ldd with SIGPIPE, which pipefail reports as a failure.)
  deps="$(ldd "$exe")"
  local loaded
  loaded="$(awk '$1 ~ /^liblinalg\.so/ && $2 == "=>" {print $3}' <<<"$deps")"
  [ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$libdir/liblinalg.so")" ] \
    || { echo "$deps"; fail "$name: does not load $libdir/liblinalg.so.*"; }
  "$exe" >"$work/$name.out" || { cat "$work/$name.out"; fail "$name: the consumer failed"; }
  echo "ok   $name: $(tail -n1 "$work/$name.out")"
}

echo "== find_package"
cmake_args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags")
[ "$system" = 1 ] || cmake_args+=(-DCMAKE_PREFIX_PATH="$prefix")
CXX="$cxx" cmake -S "$src/examples/consumer" -B "$work/cmake" "${cmake_args[@]}" >"$work/cmake.log" 2>&1 \
  || { cat "$work/cmake.log"; fail "configure the find_package consumer"; }
cmake --build "$work/cmake" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build the find_package consumer"; }
run find_package "$work/cmake/linalg_consumer"

echo "== pkg-config"
cflags="$(pc --cflags)" libs="$(pc --libs)"
echo "     --cflags: '$cflags'  --libs: '$libs'"
case "$cflags $libs" in *..*) fail "pkg-config paths are not plain: $cflags $libs" ;; esac
rpath=""
[ "$system" = 1 ] || rpath="-Wl,-rpath,$libdir"
# shellcheck disable=SC2086
"$cxx" -std=c++17 $flags -o "$work/consumer-pc" "$src/examples/consumer/main.cpp" $cflags $libs $rpath
run pkg-config "$work/consumer-pc"

echo "== plain -llinalg"
if [ "$system" = 1 ]; then
  plain=(-llinalg)
else
  plain=(-I"$prefix/include" -L"$libdir" -llinalg -Wl,-rpath,"$libdir")
fi
# shellcheck disable=SC2086
"$cxx" -std=c++17 $flags -o "$work/consumer-plain" "$src/examples/consumer/main.cpp" "${plain[@]}"
run plain "$work/consumer-plain"
