#!/usr/bin/env bash
# Builds examples/consumer against an installed linalg three ways, as a user
# would, and runs each program without LD_LIBRARY_PATH:
#   1. CMake:       find_package(linalg) (CMake records the library's run path)
#   2. pkg-config:  $(pkg-config --cflags --libs linalg), plus
#                   -Wl,-rpath,$(pkg-config --variable=libdir linalg) when the
#                   library is not in a system directory
#   3. plain flags: -llinalg (with -I, -L and -rpath for a prefix of one's own)
# Each program must load the installed library.
# Usage: tests/consume_installed.sh <source-dir> <work-dir> <prefix>
# Environment: CXX, CONSUMER_FLAGS (extra compile and link flags).
set -euo pipefail
src="$1" work="$2" prefix="$3"
# shellcheck source=tests/consumer_lib.sh
. "$(dirname "$0")/consumer_lib.sh"
consumer_init linalg

echo "== find_package"
cmake_consumer "$src/examples/consumer" "$work/cmake"
run_consumer find_package "$work/cmake/linalg_consumer" liblinalg

echo "== pkg-config"
pc_consumer "$work/consumer-pc" "$src/examples/consumer/main.cpp"
case "$cflags $libs" in *..*) fail "pkg-config paths are not plain: $cflags $libs" ;; esac
run_consumer pkg-config "$work/consumer-pc" liblinalg

echo "== plain -llinalg"
if [ "$system" = 1 ]; then
  plain=(-llinalg)
else
  plain=(-I"$prefix/include" -L"$libdir" -llinalg -Wl,-rpath,"$libdir")
fi
# shellcheck disable=SC2086
"$cxx" -std=c++17 $flags -o "$work/consumer-plain" "$src/examples/consumer/main.cpp" "${plain[@]}"
run_consumer plain "$work/consumer-plain" liblinalg
