#!/usr/bin/env bash
# Builds the Debian packages of linalg as Debian splits a library:
#   liblinalg<major>  the versioned shared library (stripped; shlibs file,
#                     ldconfig trigger, copyright, changelog.Debian.gz)
#   liblinalg-dev     headers, liblinalg.so link, CMake package, linalg.pc
# and checks both with lintian (no errors allowed). The file split is the
# build's install components (runtime, development); this script stages each
# with `cmake --install --component`, writes the control files and calls
# dpkg-deb. (CPack's DEB generator calls ldconfig from postinst/postrm instead
# of declaring the ldconfig trigger, which lintian reports.)
#
# Usage: scripts/package.sh [--install-check]
#   --install-check  also installs both packages with dpkg -i (root), builds a
#                    program against them with find_package, pkg-config and
#                    plain -llinalg, runs each without LD_LIBRARY_PATH, and
#                    removes the packages again.
# Environment: BUILD_DIR (default build-package), OUT_DIR (default
#   $BUILD_DIR/debian), DEB_RELEASE (Debian revision, default 1),
#   DEB_MAINTAINER (default from the build's LINALG_DEB_MAINTAINER).
set -euo pipefail
cd "$(dirname "$0")/.."
src="$(pwd)"
install_check=0
for a in "$@"; do
  case "$a" in
    --install-check) install_check=1 ;;
    *) echo "usage: $0 [--install-check]" >&2; exit 2 ;;
  esac
done
bash scripts/deps.sh package

build="${BUILD_DIR:-build-package}"
out="${OUT_DIR:-$build/debian}"
release="${DEB_RELEASE:-1}"

# Debian's compiler and linker flags (hardening included); CMake reads
# CXXFLAGS and LDFLAGS from the environment on the first configure.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CXXFLAGS="$CXXFLAGS $CPPFLAGS" CFLAGS="$CFLAGS $CPPFLAGS"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DLINALG_BUILD_TESTS=OFF -DLINALG_BUILD_EXAMPLES=OFF -DLINALG_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target linalg >/dev/null

cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version="$(sed -n 's/^#define LINALG_VERSION_STRING "\(.*\)"$/\1/p' "$build/include/linalg_version.h")"
major="${version%%.*}"
debversion="$version-$release"
arch="$(dpkg --print-architecture)"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
maintainer="${DEB_MAINTAINER:-$(cache LINALG_DEB_MAINTAINER)}"
libdir="$(cache CMAKE_INSTALL_LIBDIR)"
runtime_pkg="liblinalg$major"
[ "$libdir" = "lib/$multiarch" ] || { echo "library directory is '$libdir', not lib/$multiarch" >&2; exit 1; }
head -n1 cmake/debian/changelog | grep -q "^linalg ($debversion) " \
  || { echo "cmake/debian/changelog has no entry for $debversion at the top" >&2; exit 1; }

tmp="$(mktemp -d "${TMPDIR:-/tmp}/linalg-deb.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"
rm -f "$out"/liblinalg*.deb

# Stages one component into $tmp/<package>; prints nothing.
stage() {
  local component="$1" pkg="$2"
  DESTDIR="$tmp/$pkg" cmake --install "$build" --component "$component" >/dev/null
  mkdir -p "$tmp/$pkg/DEBIAN"
}

# Writes DEBIAN/control and DEBIAN/md5sums and builds the package.
build_deb() {
  local pkg="$1" section="$2" depends="$3" description="$4"
  local root="$tmp/$pkg"
  (cd "$root" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
  {
    echo "Package: $pkg"
    echo "Source: linalg"
    echo "Version: $debversion"
    echo "Architecture: $arch"
    echo "Maintainer: $maintainer"
    echo "Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)"
    echo "Depends: $depends"
    echo "Section: $section"
    echo "Priority: optional"
    echo "Multi-Arch: same"
    echo "Description: $description"
  } >"$root/DEBIAN/control"
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out/${pkg}_${debversion}_${arch}.deb" >/dev/null
}

common_description=" linalg is a C++ library of dense linear algebra on caller-owned arrays of
 doubles: vector and matrix arithmetic, products, sorting and searching,
 Gaussian elimination with partial pivoting, inverse and determinant,
 eigenvalues and eigenvectors of symmetric matrices, eigenvalues of general
 matrices, and a Mersenne Twister random-number generator. Most operations
 also come as OpenMP and GPU variants with the same parameters; results are
 reproducible to the last bit."

# ---- liblinalg<major> -----------------------------------------------------------
stage runtime "$runtime_pkg"
root="$tmp/$runtime_pkg"
so="$root/usr/$libdir/liblinalg.so.$version"
[ -f "$so" ] || { echo "$so was not installed" >&2; exit 1; }
# Stripped as dh_strip strips shared libraries.
strip --remove-section=.comment --remove-section=.note --strip-unneeded "$so"
soname="$(objdump -p "$so" | awk '$1 == "SONAME" {print $2}')"
[ "$soname" = "liblinalg.so.$major" ] || { echo "SONAME is '$soname'" >&2; exit 1; }
echo "liblinalg $major $runtime_pkg (>= $version)" >"$root/DEBIAN/shlibs"
echo "activate-noawait ldconfig" >"$root/DEBIAN/triggers"
# Library dependencies as dpkg-shlibdeps finds them (it wants a debian/control).
mkdir -p "$tmp/shlibdeps/debian"
printf 'Source: linalg\n\nPackage: %s\nArchitecture: any\n' "$runtime_pkg" >"$tmp/shlibdeps/debian/control"
depends="$(cd "$tmp/shlibdeps" && dpkg-shlibdeps -O -e"$so" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')"
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }
# symbols file: every exported symbol with the version that introduced it,
# from cmake/debian/symbols; the build fails when the library exports a
# symbol that file does not list or lacks one it lists (-c4).
(cd "$tmp/shlibdeps" && dpkg-gensymbols -q -c4 -p"$runtime_pkg" -v"$version" -e"$so" \
  -I"$src/cmake/debian/symbols" -O"$root/DEBIAN/symbols" >/dev/null)
grep -q '^\* Build-Depends-Package:' "$root/DEBIAN/symbols" \
  || sed -i '1a\* Build-Depends-Package: liblinalg-dev' "$root/DEBIAN/symbols"
build_deb "$runtime_pkg" libs "$depends" "dense double-precision linear algebra on raw arrays
$common_description
 .
 This package contains the shared library."

# ---- liblinalg-dev ----------------------------------------------------------------
stage development liblinalg-dev
build_deb liblinalg-dev libdevel "$runtime_pkg (= $debversion)" \
  "dense double-precision linear algebra on raw arrays (development files)
$common_description
 .
 This package contains the headers, the CMake package (find_package(linalg))
 and the pkg-config file (linalg.pc) for building programs with liblinalg."

echo "== packages"
for deb in "$out"/*.deb; do
  echo "$deb"
  dpkg-deb -c "$deb" | awk '{print "   " $1, $6, $7, $8}'
done

echo "== lintian"
lintian --fail-on error --tag-display-limit 0 -I "$out"/*.deb 2>&1 | grep -v '^running with root privileges' || true
# (lintian's exit status is checked separately so its report is always shown)
lintian --fail-on error -q "$out"/*.deb >/dev/null 2>&1 || { echo "lintian reports errors" >&2; exit 1; }
echo "lintian: no errors"

[ "$install_check" = 1 ] || exit 0

# ---- install and use the packages --------------------------------------------------
echo "== install check"
for p in "$runtime_pkg" liblinalg-dev; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    echo "$p is already installed; the install check would replace it, skipped" >&2
    exit 1
  fi
done
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
trap '$SUDO dpkg --purge liblinalg-dev "$runtime_pkg" >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT
$SUDO dpkg -i "$out/${runtime_pkg}_${debversion}_${arch}.deb" "$out/liblinalg-dev_${debversion}_${arch}.deb" >/dev/null
bash tests/consume_installed.sh "$src" "$tmp/consumers" /usr
echo "install check: passed"
