#!/usr/bin/env bash
# Installs liblinalg from a build tree into a temporary prefix, checks the
# installed files, then builds examples/consumer against it twice — with
# find_package(linalg) and with pkg-config — and runs both programs.
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
libdir="$(dirname "$(find "$prefix" -name 'liblinalg.so.1.0.0' | head -n1)")"
[ -n "$libdir" ] && [ -f "$libdir/liblinalg.so.1.0.0" ] || fail "liblinalg.so.1.0.0 not installed"
[ "$(readlink "$libdir/liblinalg.so.1")" = "liblinalg.so.1.0.0" ] || fail "liblinalg.so.1 link"
[ "$(readlink "$libdir/liblinalg.so")" = "liblinalg.so.1" ] || fail "liblinalg.so link"
soname="$(objdump -p "$libdir/liblinalg.so.1.0.0" | awk '$1 == "SONAME" {print $2}')"
[ "$soname" = "liblinalg.so.1" ] || fail "SONAME is '$soname'"
# No RUNPATH pointing into the build tree.
if objdump -p "$libdir/liblinalg.so.1.0.0" | grep -E 'R(UN)?PATH' | grep -q "$build"; then
  fail "installed library has a run path into the build tree"
fi
[ -f "$prefix/include/linalg.h" ] || fail "header not installed"
[ -f "$libdir/cmake/linalg/linalgConfig.cmake" ] || fail "CMake package not installed"
[ -f "$libdir/cmake/linalg/linalgConfigVersion.cmake" ] || fail "CMake version file not installed"
[ -f "$libdir/pkgconfig/linalg.pc" ] || fail "linalg.pc not installed"
# Only the shared library is exported, and nothing else is installed.
grep -q 'linalg_static\|linalg_obj' "$libdir"/cmake/linalg/linalgTargets*.cmake && fail "internal targets exported"
extra="$(find "$prefix" -type f -o -type l | grep -v -E '/(liblinalg\.so(\.1(\.0\.0)?)?|linalg\.h|linalg\.pc|linalg(Config|ConfigVersion|Targets(-[a-z]+)?)\.cmake)$' || true)"
[ -z "$extra" ] || fail "unexpected installed files: $extra"

echo "== consumer with find_package"
cmake -S "$src/examples/consumer" -B "$tmp/consumer-cmake" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="$consumer_flags" -DCMAKE_EXE_LINKER_FLAGS="$consumer_flags" >"$tmp/cfg.log" 2>&1 || { cat "$tmp/cfg.log"; fail "configure consumer"; }
cmake --build "$tmp/consumer-cmake" >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; fail "build consumer"; }
# The consumer runs from its build tree (CMake records the run path of the
# imported library); check it resolves the installed copy.
# (ldd's output is kept whole: grep -q closing the pipe early would make ldd
# die of SIGPIPE, which pipefail reports as a failure.)
deps="$(ldd "$tmp/consumer-cmake/linalg_consumer")"
grep -q "$libdir/liblinalg.so.1" <<<"$deps" || { echo "$deps"; fail "consumer does not load the installed library"; }
"$tmp/consumer-cmake/linalg_consumer"

echo "== consumer with pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion linalg)" = "1.0.0" ] || fail "pkg-config version"
cflags="$(pkg-config --cflags linalg)"
libs="$(pkg-config --libs linalg)"
echo "cflags: $cflags"
echo "libs:   $libs"
# shellcheck disable=SC2086
"$cxx" -std=c++17 $consumer_flags -o "$tmp/consumer-pc" "$src/examples/consumer/main.cpp" $cflags $libs
LD_LIBRARY_PATH="$libdir" "$tmp/consumer-pc"
deps="$(LD_LIBRARY_PATH="$libdir" ldd "$tmp/consumer-pc")"
grep -q "$libdir/liblinalg.so.1" <<<"$deps" || { echo "$deps"; fail "pkg-config consumer does not load the installed library"; }

if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
  echo "== Debian package"
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/deb" >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; fail "cpack -G DEB"; }
  deb="$(ls "$tmp"/deb/liblinalg_*.deb)"
  dpkg-deb -f "$deb" Package Version
  dpkg-deb -c "$deb" >"$tmp/deb.list"
  for f in ./usr/include/linalg.h ./usr/lib/liblinalg.so.1.0.0 ./usr/lib/liblinalg.so.1 ./usr/lib/liblinalg.so \
           ./usr/lib/pkgconfig/linalg.pc ./usr/lib/cmake/linalg/linalgConfig.cmake; do
    grep -q " $f\( \|$\)" "$tmp/deb.list" || fail "$f missing from the Debian package"
  done
  # The unpacked package is usable as it stands (relocatable pkg-config file).
  dpkg-deb -x "$deb" "$tmp/debroot"
  PKG_CONFIG_PATH="$tmp/debroot/usr/lib/pkgconfig" pkg-config --libs linalg >/dev/null
  # shellcheck disable=SC2046,SC2086
  "$cxx" -std=c++17 $consumer_flags -o "$tmp/consumer-deb" "$src/examples/consumer/main.cpp" \
    $(PKG_CONFIG_PATH="$tmp/debroot/usr/lib/pkgconfig" pkg-config --cflags --libs linalg)
  LD_LIBRARY_PATH="$tmp/debroot/usr/lib" "$tmp/consumer-deb" >/dev/null || fail "consumer against the unpacked Debian package"
fi

echo "install-and-consume: all checks passed"
