#!/usr/bin/env bash
# Installs the Debian packages that building and testing linalg needs, if any
# is missing. Usage: scripts/deps.sh [build|test|bench|benchcompare|package|windows|all]
set -euo pipefail
what="${1:-build}"
pkgs=(g++ cmake make pkg-config binutils)
# liblinalg_dist (ScaLAPACK over MPI): built and tested with the test suite.
dist=(openmpi-bin libopenmpi-dev libscalapack-openmpi-dev)
case "$what" in
  build) ;;
  test)  pkgs+=(libgtest-dev libopenblas-dev liblapacke-dev "${dist[@]}") ;;
  bench) pkgs+=(libbenchmark-dev libopenblas-dev liblapacke-dev libeigen3-dev python3 "${dist[@]}") ;;
  benchcompare) pkgs+=(libbenchmark-tools python3-scipy) ;;
  package) pkgs+=(dpkg-dev lintian) ;;
  # The Windows DLL cross-built with MinGW-w64 and tested under Wine; clang
  # and llvm derive the MSVC export names and the Microsoft import library.
  windows) pkgs+=(g++-mingw-w64-x86-64-posix wine wine64 googletest clang llvm python3 bsdutils zip) ;;
  all)   pkgs+=(libgtest-dev libbenchmark-dev libopenblas-dev liblapacke-dev libeigen3-dev python3 "${dist[@]}") ;;
  *) echo "usage: $0 [build|test|bench|benchcompare|package|windows|all]" >&2; exit 2 ;;
esac
bash "$(dirname "$0")/need_pkgs.sh" "${pkgs[@]}"
