#!/usr/bin/env bash
# Installs the Debian packages that building and testing linalg needs, if any
# is missing. Usage: scripts/deps.sh [build|test|bench|benchcompare|package|windows|aarch64|all]
# Building and testing need the Build-Depends of debian/control (build: those
# outside the nocheck profile), installed with apt-get build-dep; the other
# uses list their packages here.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
what="${1:-build}"
pkgs=(g++ cmake make pkg-config binutils dpkg-dev)
profile=()
# liblinalg_dist (ScaLAPACK over MPI) for the benchmarks; building and
# testing get these packages from Build-Depends.
dist=(openmpi-bin libopenmpi-dev libscalapack-openmpi-dev)
case "$what" in
  build) profile=(-P nocheck) ;;
  # MPFR: the reference of tests/crmath (built only where it is installed).
  test)  pkgs+=(libmpfr-dev) ;;
  bench) pkgs+=(libbenchmark-dev libopenblas-dev liblapacke-dev libeigen3-dev python3 "${dist[@]}") ;;
  benchcompare) pkgs+=(libbenchmark-tools python3-scipy) ;;
  package) pkgs+=(debhelper devscripts equivs lintian autopkgtest abigail-tools) ;;
  # The Windows DLL cross-built with MinGW-w64 and tested under Wine; clang
  # and llvm derive the MSVC export names and the Microsoft import library.
  windows) pkgs+=(g++-mingw-w64-x86-64-posix wine wine64 googletest clang llvm python3 bsdutils zip) ;;
  # The aarch64 build: the cross compiler and binutils, the arm64 libraries
  # of the arm64 architecture added to dpkg (libgomp, and GoogleTest, LAPACKE
  # and OpenBLAS for the tests), qemu-user to run the tests.
  aarch64)
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
      echo "Adding the arm64 architecture to dpkg"
      SUDO=""
      if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
      $SUDO dpkg --add-architecture arm64
      $SUDO apt-get -o DPkg::Lock::Timeout=600 update -q
    fi
    pkgs+=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user libgomp1:arm64 libgtest-dev:arm64
           liblapacke-dev:arm64 libopenblas-dev:arm64) ;;
  all)   pkgs+=(libbenchmark-dev libeigen3-dev python3) ;;
  *) echo "usage: $0 [build|test|bench|benchcompare|package|windows|aarch64|all]" >&2; exit 2 ;;
esac
bash "$here/scripts/need_pkgs.sh" "${pkgs[@]}"
case "$what" in build|test|all) ;; *) exit 0 ;; esac
if ! (cd "$here" && dpkg-checkbuilddeps "${profile[@]}" >/dev/null 2>&1); then
  echo "Installing the build dependencies of debian/control"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -q
  (cd "$here" && DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 build-dep -y -q --no-install-recommends "${profile[@]}" ./)
fi
