#!/usr/bin/env bash
# Builds the Python package (python/, linalgbits) into a virtual environment
# of the system's python3 and runs its tests.
# Usage: scripts/test_python.sh [BUILD_DIR]
# With BUILD_DIR (a built tree of this repository, such as build-test/) the
# extension links that tree's liblinalg_static.a instead of compiling the
# library again; the environment and the extension's build go to
# BUILD_DIR/python. Without it, into build-python/, compiling the library.
# nanobind and scikit-build-core come from the package index (build time only).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/need_pkgs.sh python3 python3-dev python3-venv python3-numpy python3-pytest
py=/usr/bin/python3
defines=()
if [ $# -ge 1 ]; then
  prebuilt="$(cd "$1" && pwd)"
  out="$prebuilt/python"
  # A sanitizer build's objects need the sanitizer runtime in the
  # interpreter: compile the library for the extension instead.
  if grep -q '^LINALG_SANITIZE:BOOL=ON' "$prebuilt/CMakeCache.txt" 2>/dev/null; then
    echo "test_python.sh: $1 is a sanitizer build; compiling the library for the extension"
  else
    defines=(--config-settings=cmake.define.LINALG_PREBUILT_DIR="$prebuilt")
  fi
else
  out="$PWD/build-python"
fi
if [ ! -x "$out/venv/bin/python" ]; then
  "$py" -m venv --system-site-packages "$out/venv"
fi
"$out/venv/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "nanobind>=2.2"
CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)" "$out/venv/bin/python" -m pip install -q --disable-pip-version-check \
  --no-build-isolation --config-settings=build-dir="$out/build" "${defines[@]}" ./python
# From the tests' directory, so that the installed package is imported.
cd python/tests
"$out/venv/bin/python" -m pytest -q -p no:cacheprovider .
