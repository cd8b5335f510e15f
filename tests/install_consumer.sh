#!/usr/bin/env bash
# Installs liblinalg from a build tree into a temporary prefix, checks the
# installed files, then builds examples/consumer against it with
# find_package(linalg), with pkg-config and with plain -llinalg, and runs the
# programs without LD_LIBRARY_PATH (tests/consume_installed.sh). With
# DIST_MPIEXEC set (a build with liblinalg_dist), then installs the
# dist-runtime and dist-development components into the same prefix, checks
# them and builds examples/dist_solve.cpp against them with
# find_package(linalg_dist) and pkg-config, run by DIST_MPIEXEC on 2 ranks
# (tests/consume_installed_dist.sh).
# Usage: tests/install_consumer.sh <build-dir> <source-dir>
set -euo pipefail
build="$(cd "$1" && pwd)"
src="$(cd "$2" && pwd)"
cxx="${CXX:-c++}"
# Extra compiler and linker flags of the consumer (the sanitizer build passes
# its -fsanitize flags, since the installed library then needs their runtime).
consumer_flags="${CONSUMER_FLAGS:-}"

tmp="$(mktemp -d "${TMPDIR:-/tmp}/linalg-install.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"

fail() { echo "FAIL: $*" >&2; exit 1; }

echo "== install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; fail "cmake --install"; }

# The library is versioned, carries its SONAME and has the two links.
version="$(sed -n 's/^#define LINALG_VERSION_STRING "\(.*\)"$/\1/p' "$build/include/linalg_version.h")"
major="${version%%.*}"
lib="liblinalg.so.$version"
libdir="$(dirname "$(find "$prefix" -name "$lib" | head -n1)")"
[ -n "$libdir" ] && [ -f "$libdir/$lib" ] || fail "$lib not installed"
[ "$(readlink "$libdir/liblinalg.so.$major")" = "$lib" ] || fail "liblinalg.so.$major link"
[ "$(readlink "$libdir/liblinalg.so")" = "liblinalg.so.$major" ] || fail "liblinalg.so link"
soname="$(objdump -p "$libdir/$lib" | awk '$1 == "SONAME" {print $2}')"
[ "$soname" = "liblinalg.so.$major" ] || fail "SONAME is '$soname'"
# No RUNPATH pointing into the build tree.
if objdump -p "$libdir/$lib" | grep -E 'R(UN)?PATH' | grep -q "$build"; then
  fail "installed library has a run path into the build tree"
fi
[ -f "$prefix/include/linalg.h" ] || fail "header not installed"
[ -f "$prefix/include/linalg_diag.h" ] || fail "diagnostics header not installed"
[ -f "$prefix/include/linalg_version.h" ] || fail "version header not installed"
grep -qx "#define LINALG_VERSION_STRING \"$version\"" "$prefix/include/linalg_version.h" || fail "installed version header"
[ -f "$libdir/cmake/linalg/linalgConfig.cmake" ] || fail "CMake package not installed"
[ -f "$libdir/cmake/linalg/linalgConfigVersion.cmake" ] || fail "CMake version file not installed"
[ -f "$libdir/pkgconfig/linalg.pc" ] || fail "linalg.pc not installed"
# Only the shared library is exported, and nothing else is installed.
grep -q 'linalg_static\|linalg_obj' "$libdir"/cmake/linalg/linalgTargets*.cmake && fail "internal targets exported"
extra="$(find "$prefix" -type f -o -type l | grep -v -E '/(liblinalg\.so(\.[0-9]+)*|linalg\.h|linalg_diag\.h|linalg_version\.h|linalg\.pc|linalg(Config|ConfigVersion|Targets(-[a-z]+)?)\.cmake)$' || true)"
[ -z "$extra" ] || fail "unexpected installed files: $extra"

# linalg.pc holds plain paths into this prefix.
pc="$libdir/pkgconfig/linalg.pc"
grep -qx "prefix=$prefix" "$pc" || { cat "$pc"; fail "linalg.pc does not name the prefix $prefix"; }
grep -q '\.\.' "$pc" && { cat "$pc"; fail "linalg.pc paths are not plain"; }
grep -qx 'gpu_backend=\(emulation\|cuda\)' "$pc" || fail "linalg.pc does not name the GPU back-end"
[ "$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --modversion linalg)" = "$version" ] || fail "pkg-config version"

# The consumers, built as a user would build them (README), run without
# LD_LIBRARY_PATH.
bash "$src/tests/consume_installed.sh" "$src" "$tmp/consumers" "$prefix"

if [ -n "${DIST_MPIEXEC:-}" ]; then
  echo "== install liblinalg_dist (dist-runtime, dist-development) into $prefix"
  for c in dist-runtime dist-development; do
    cmake --install "$build" --component "$c" --prefix "$prefix" >>"$tmp/install.log" \
      || { cat "$tmp/install.log"; fail "cmake --install --component $c"; }
  done
  dlib="liblinalg_dist.so.$version"
  [ -f "$libdir/$dlib" ] || fail "$dlib not installed"
  [ "$(readlink "$libdir/liblinalg_dist.so.1")" = "$dlib" ] || fail "liblinalg_dist.so.1 link"
  [ "$(readlink "$libdir/liblinalg_dist.so")" = "liblinalg_dist.so.1" ] || fail "liblinalg_dist.so link"
  dsoname="$(objdump -p "$libdir/$dlib" | awk '$1 == "SONAME" {print $2}')"
  [ "$dsoname" = "liblinalg_dist.so.1" ] || fail "liblinalg_dist SONAME is '$dsoname'"
  [ -f "$prefix/include/linalg_dist.h" ] || fail "linalg_dist.h not installed"
  for f in linalg_distConfig.cmake linalg_distConfigVersion.cmake linalg_distTargets.cmake; do
    [ -f "$libdir/cmake/linalg_dist/$f" ] || fail "$f not installed"
  done
  [ "$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --modversion linalg_dist)" = "$version" ] \
    || fail "pkg-config linalg_dist version"
  MPIEXEC="$DIST_MPIEXEC" bash "$src/tests/consume_installed_dist.sh" "$src" "$tmp/consumers" "$prefix"
fi

echo "install-and-consume: all checks passed"
