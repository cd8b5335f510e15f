#!/usr/bin/env bash
# The README's first program, compiled and run with the README's own line
# for a build tree (include/, <build>/include, -L<build>, a run path), or
# with its line for the installed packages (plain -llinalg), must print what
# the README says it prints.
# Usage: tests/readme_program.sh <source-dir> <build-dir>
#        tests/readme_program.sh <source-dir> --installed
set -euo pipefail
src="$1" build="$2"
cxx="${CXX:-c++}"
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp="$(mktemp -d)"; trap 'rm -rf "$tmp"' EXIT
readme="$src/README.md"
# The first C++ block after the "A first program" heading.
awk '/^## A first program/ {f = 1} f && /^```cpp/ {p = 1; next} p && /^```/ {exit} p' "$readme" >"$tmp/app.cpp"
[ -s "$tmp/app.cpp" ] || fail "no program in the README"
if [ "$build" = --installed ]; then
  line="$(grep -m1 -E '^c\+\+ -std=c\+\+17 app\.cpp -llinalg ' "$readme")" || fail "no installed-package compile line in the README"
else
  line="$(grep -m1 -E '^c\+\+ .* -Iinclude -Ibuild/include -Lbuild -llinalg' "$readme")" || fail "no build-tree compile line in the README"
fi
expected="$(grep -m1 -E '^\./app +# ' "$readme" | sed -E 's/^\.\/app +# //')"
# The line as written, run from a directory where include/ and build/ are
# the source and build trees.
mkdir -p "$tmp/tree"
if [ "$build" != --installed ]; then
  ln -s "$src/include" "$tmp/tree/include"
  ln -s "$build" "$tmp/tree/build"
fi
cp "$tmp/app.cpp" "$tmp/tree/app.cpp"
(cd "$tmp/tree" && PWD="$tmp/tree" && eval "${line/#c++ /$cxx }") || fail "compile: $line"
got="$(cd "$tmp/tree" && unset LD_LIBRARY_PATH && ./app)" || fail "run"
echo "$got"
[ "$got" = "$expected" ] || fail "the program printed '$got', the README says '$expected'"
