#!/usr/bin/env bash
# Cross-builds linalg for aarch64 (cmake/aarch64-linux-gnu.cmake) and runs a
# subset of the test suite under qemu-user (CTest's cross-compiling
# emulator): the kernel tables against the reference (the neon and generic
# sets), the solvers, the eigen-solvers, the generator, the diagnostics, the
# exports and the version; then compares the result digest at every set
# with the x86-64 build in build-test/ (scripts/test.sh) at every set there,
# and makes the aarch64 binary tarball (CPack).
# Usage: scripts/test_aarch64.sh [build-dir]   (default build-aarch64)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh aarch64
build="${1:-build-aarch64}"
programs=(test_kernels test_solvers test_eigen test_random test_diagnostics test_exports test_version)
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DLINALG_CUDA=OFF -DLINALG_BUILD_EXAMPLES=OFF -DLINALG_TEST_PROGRAMS="$(IFS=';'; echo "${programs[*]}")" >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" -j2 --timeout 900 --output-on-failure

# The emulator as CTest runs it (see cmake/aarch64-linux-gnu.cmake).
emulator=(qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
digest() {  # isa, command...
  LINALG_ISA="$1" "${@:2}" --gtest_also_run_disabled_tests \
    --gtest_filter=KernelDispatch.DISABLED_PrintResultDigest 2>/dev/null | sed -n 's/^digest: //p'
}
status=0
declare -A seen=()
for isa in neon generic; do
  d=$(digest "$isa" "${emulator[@]}" "$build/tests/test_kernels")
  echo "result digest, aarch64 under qemu-user, LINALG_ISA=$isa: '$d'"
  [ "${d%% *}" = "$isa" ] || status=1
  seen["${d#* }"]=1
done
if [ -x build-test/tests/test_kernels ]; then
  for isa in sse2 avx2 avx512 avx512_256; do
    d=$(digest "$isa" build-test/tests/test_kernels)
    echo "result digest, x86-64, LINALG_ISA=$isa: '$d'"
    # A set this processor lacks falls back to the default, which is compared anyway.
    seen["${d#* }"]=1
  done
else
  echo "no x86-64 build in build-test/: digest compared between the aarch64 sets only"
fi
if [ "$status" -ne 0 ] || [ "${#seen[@]}" -ne 1 ]; then
  echo "the digests differ: ${!seen[*]}" >&2
  exit 1
fi
echo "one digest at every set: ${!seen[*]}"

# The aarch64 binary tarball of the installed files.
(cd "$build" && cpack -G TGZ >/dev/null)
ls -l "$build"/linalg-*-Linux-aarch64.tar.gz
