#!/usr/bin/env bash
# Builds the Debian packages from debian/ as Debian does, in a copy of the
# source tree (dpkg-buildpackage -us -uc -b; with DEB_BUILD_OPTIONS=nocheck
# the test suite is not run again), then checks them:
#   lintian --pedantic  no error or warning (the initial-upload tag aside)
#   ABI                 the packaged libraries against abi/ (scripts/abi_check.sh)
#   autopkgtest         debian/tests against the built packages, on this
#                       machine (null runner, root); the packages are purged
#                       afterwards
# Build dependencies come from debian/control (mk-build-deps; its
# linalg-build-deps package is purged again at once, leaving the
# dependencies installed). Every apt and dpkg call waits up to 10 minutes
# for the package manager's lock. About 10 minutes on 2 cores with the test
# suite, less with DEB_BUILD_OPTIONS=nocheck. A re-run with the packages
# installed skips autopkgtest (which would replace them) with a warning and
# exits 0.
# Usage: scripts/debian.sh [--no-autopkgtest]
# Output: $OUT_DIR (default build-deb): the packages, .changes, .buildinfo
# and build.log.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$(pwd)"
run_autopkgtest=1
for a in "$@"; do
  case "$a" in
    --no-autopkgtest) run_autopkgtest=0 ;;
    *) echo "usage: $0 [--no-autopkgtest]" >&2; exit 2 ;;
  esac
done
bash scripts/deps.sh package
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
apt_get() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 "$@"; }
if ! dpkg-checkbuilddeps 2>/dev/null; then
  echo "== build dependencies (mk-build-deps)"
  tmpdeps="$(mktemp -d)"
  (cd "$tmpdeps" && $SUDO mk-build-deps --install --remove \
     --tool 'apt-get -o DPkg::Lock::Timeout=600 -y -q --no-install-recommends' "$src/debian/control" >/dev/null)
  rm -rf "$tmpdeps"
fi
# The dependencies stay; the package that pulled them in goes (also one an
# earlier run left behind).
if dpkg-query -W -f='${Status}' linalg-build-deps 2>/dev/null | grep -q 'install ok installed'; then
  apt_get purge -y -q linalg-build-deps >/dev/null
fi

out="$(mkdir -p "${OUT_DIR:-build-deb}" && cd "${OUT_DIR:-build-deb}" && pwd)"
version="$(dpkg-parsechangelog -S Version)"
upstream="${version%-*}"
tmp="$(mktemp -d "${TMPDIR:-/tmp}/linalg-deb.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
tree="$tmp/linalg-$upstream"
mkdir -p "$tree"
# The tracked and new files of this tree, without build directories.
git ls-files -co --exclude-standard -z | tar --null -T - -cf - | tar -x -C "$tree"

echo "== dpkg-buildpackage -us -uc -b (DEB_BUILD_OPTIONS='${DEB_BUILD_OPTIONS:-}')"
(cd "$tree" && dpkg-buildpackage -us -uc -b -j"$(nproc)") >"$tmp/build.log" 2>&1 \
  || { tail -n 60 "$tmp/build.log"; echo "dpkg-buildpackage failed" >&2; exit 1; }
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
cp "$tmp"/*.deb "$tmp"/*.changes "$tmp"/*.buildinfo "$tmp/build.log" "$out"/
changes="$(ls "$out"/*.changes)"
for deb in "$out"/*.deb; do
  echo "-- $(basename "$deb")"
  dpkg-deb -c "$deb" | awk '{print "   " $6, $7, $8}'
done

echo "== lintian --pedantic"
# The only tag allowed: a first upload's changelog closes no bug report.
lintian --pedantic --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs \
  --tag-display-limit 0 "$changes"
echo "lintian: clean"

echo "== ABI"
x="$tmp/extract"
for deb in "$out"/liblinalg1_*.deb "$out"/liblinalg1-dbgsym_*.deb \
           "$out"/liblinalg-dist1_*.deb "$out"/liblinalg-dist1-dbgsym_*.deb; do
  dpkg-deb -x "$deb" "$x"
done
lib="$(find "$x/usr/lib" -name 'liblinalg.so.*.*.*' | head -n1)"
dist_lib="$(find "$x/usr/lib" -name 'liblinalg_dist.so.*.*.*' | head -n1)"
bash scripts/abi_check.sh "$lib" "$dist_lib" --debug-dir "$x/usr/lib/debug"

[ "$run_autopkgtest" = 1 ] || exit 0
echo "== autopkgtest (null runner)"
for p in liblinalg1 liblinalg-dev liblinalg-dist1 liblinalg-dist-dev; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    echo "WARNING: $p is installed already; autopkgtest would replace it, skipped" >&2
    exit 0
  fi
done
trap 'apt_get purge -y -q liblinalg-dist-dev liblinalg-dist1 liblinalg-dev liblinalg1 >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT
$SUDO autopkgtest --no-built-binaries "$out"/liblinalg1_*.deb "$out"/liblinalg-dev_*.deb \
  "$out"/liblinalg-dist1_*.deb "$out"/liblinalg-dist-dev_*.deb "$tree" -- null
