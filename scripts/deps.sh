#!/usr/bin/env bash
# Installs the Debian packages that building and testing linalg needs, if any
# is missing. Usage: scripts/deps.sh [build|test|bench|all]
set -euo pipefail
what="${1:-build}"
pkgs=(g++ cmake make pkg-config binutils)
case "$what" in
  build) ;;
  test)  pkgs+=(libgtest-dev libgmock-dev libopenblas-dev liblapacke-dev) ;;
  bench) pkgs+=(libbenchmark-dev libopenblas-dev liblapacke-dev) ;;
  all)   pkgs+=(libgtest-dev libgmock-dev libbenchmark-dev libopenblas-dev liblapacke-dev) ;;
  *) echo "usage: $0 [build|test|bench|all]" >&2; exit 2 ;;
esac
bash "$(dirname "$0")/need_pkgs.sh" "${pkgs[@]}"
