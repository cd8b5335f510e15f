#!/usr/bin/env bash
# Offline check of the library's ln, sin and cos (not run in CI): every
# argument the Gaussian draw can give them (u = k/(2^32-1), k = 1 .. 2^32-1,
# and u * 6.283185307179586), through the fast stage, with the slow stage and
# MPFR on every argument the fast stage leaves undecided; then the draws
# against the C library's. Needs build-test/ (scripts/test.sh) and MPFR.
# Usage: scripts/crmath_exhaustive.sh [STRIDE [THREADS]]
#   STRIDE 1 (default) runs all 2^32-1 arguments, 16 a sample of 2^28.
set -euo pipefail
cd "$(dirname "$0")/.."
stride="${1:-1}"
threads="${2:-2}"
cmake --build build-test --target crmath_check -j2 >/dev/null
check=build-test/tests/crmath_check
time "$check" exhaustive "$stride" "$threads"
"$check" gauss 1000000
"$check" gauss 10000000
