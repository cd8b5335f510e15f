#!/usr/bin/env bash
# Builds tests/subproject (a parent project that adds linalg with
# add_subdirectory) with BUILD_SHARED_LIBS=OFF and no build type of its own:
# linalg must leave the build type empty, define no tests, build a static
# library, and the parent's program must run. A second configure checks that
# a chosen build type stays as chosen.
# Usage: tests/subproject.sh <source-dir>
set -euo pipefail
src="$(cd "$1" && pwd)"
tmp="$(mktemp -d "${TMPDIR:-/tmp}/linalg-subproject.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake -S "$src/tests/subproject" -B "$tmp/static" -DLINALG_DIR="$src" -DBUILD_SHARED_LIBS=OFF \
      >"$tmp/cfg.log" 2>&1 || { cat "$tmp/cfg.log"; fail "configure"; }
[ -z "$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$tmp/static/CMakeCache.txt")" ] || fail "build type set in the cache"
tests="$(cd "$tmp/static" && ctest -N | sed -n 's/^Total Tests: //p')"
[ "${tests:-0}" = 0 ] || fail "the parent build has $tests tests"
cmake --build "$tmp/static" -j2 --target parent_app >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; fail "build"; }
[ -f "$tmp/static/linalg/liblinalg.a" ] || fail "BUILD_SHARED_LIBS=OFF did not build liblinalg.a"
[ -z "$(find "$tmp/static" -name 'liblinalg.so*')" ] || fail "a shared library was built"
"$tmp/static/parent_app" | tail -n1

cmake -S "$src/tests/subproject" -B "$tmp/debug" -DLINALG_DIR="$src" -DCMAKE_BUILD_TYPE=Debug \
      -DEXPECTED_BUILD_TYPE=Debug >"$tmp/cfg2.log" 2>&1 || { cat "$tmp/cfg2.log"; fail "configure with Debug"; }
echo "subproject: all checks passed"
