#!/usr/bin/env bash
# Builds examples/dist_solve.cpp against an installed liblinalg_dist two ways,
# as a user would, and runs each program on 2 ranks without LD_LIBRARY_PATH:
#   1. CMake:       find_package(linalg_dist) (examples/dist_consumer)
#   2. pkg-config:  $(pkg-config --cflags --libs linalg_dist), plus
#                   -Wl,-rpath,<libdir> when not in a system directory
# Each program must load the installed liblinalg_dist and liblinalg.
# Usage: tests/consume_installed_dist.sh <source-dir> <work-dir> <prefix>
# Environment: CXX, CONSUMER_FLAGS (extra compile and link flags), MPIEXEC
# (default mpirun); Open MPI runs on loopback, as root where needed.
set -euo pipefail
src="$1" work="$2" prefix="$3"
cxx="${CXX:-c++}"
flags="${CONSUMER_FLAGS:-}"
mpiexec="${MPIEXEC:-mpirun}"
fail() { echo "FAIL: $*" >&2; exit 1; }
mkdir -p "$work"
unset LD_LIBRARY_PATH
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_btl=self,vader \
  OMPI_MCA_btl_tcp_if_include=lo OMPI_MCA_oob_tcp_if_include=lo OMPI_MCA_rmaps_base_oversubscribe=1 \
  OPENBLAS_NUM_THREADS=1
# Open MPI's own allocations outlive MPI_Finalize: no leak check when the
# installed libraries carry AddressSanitizer (the last setting wins).
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

if [ "$prefix" = /usr ]; then
  system=1
  pcpath=""
else
  system=0
  pcpath="$(dirname "$(find "$prefix" -name linalg_dist.pc | head -n1)")"
fi
pc() { PKG_CONFIG_PATH="$pcpath" pkg-config "$@" linalg_dist; }
libdir="$(pc --variable=libdir)"
[ -f "$libdir/liblinalg_dist.so" ] || fail "pkg-config libdir '$libdir' holds no liblinalg_dist.so"

run() {
  local name="$1" exe="$2" deps lib loaded
  deps="$(ldd "$exe")"
  for lib in liblinalg_dist liblinalg; do
    loaded="$(awk -v l="$lib" '$1 ~ "^" l "\\.so" && $2 == "=>" {print $3}' <<<"$deps")"
    [ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$libdir/$lib.so")" ] \
      || { echo "$deps"; fail "$name: does not load $libdir/$lib.so.*"; }
  done
  "$mpiexec" -n 2 "$exe" >"$work/$name.out" 2>&1 || { cat "$work/$name.out"; fail "$name: the program failed"; }
  echo "ok   $name: $(tail -n1 "$work/$name.out")"
}

echo "== find_package(linalg_dist)"
cmake_args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags")
[ "$system" = 1 ] || cmake_args+=(-DCMAKE_PREFIX_PATH="$prefix")
CXX="$cxx" cmake -S "$src/examples/dist_consumer" -B "$work/dist-cmake" "${cmake_args[@]}" >"$work/dist-cmake.log" 2>&1 \
  || { cat "$work/dist-cmake.log"; fail "configure the find_package consumer"; }
cmake --build "$work/dist-cmake" >"$work/dist-build.log" 2>&1 \
  || { cat "$work/dist-build.log"; fail "build the find_package consumer"; }
run dist-find_package "$work/dist-cmake/linalg_dist_consumer"

echo "== pkg-config linalg_dist"
cflags="$(pc --cflags)" libs="$(pc --libs)"
echo "     --cflags: '$cflags'  --libs: '$libs'"
rpath=""
[ "$system" = 1 ] || rpath="-Wl,-rpath,$libdir"
# shellcheck disable=SC2086
"$cxx" -std=c++17 $flags -o "$work/dist-consumer-pc" "$src/examples/dist_solve.cpp" $cflags $libs $rpath
run dist-pkg-config "$work/dist-consumer-pc"
