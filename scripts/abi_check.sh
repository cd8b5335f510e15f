#!/usr/bin/env bash
# Compares a built liblinalg with the committed ABI baseline (abi/, written
# by abidw from the released library) and enforces the SONAME policy:
#   - a removed or changed function or variable fails, unless the SONAME
#     (the major version) changed;
#   - an added one passes only with a minor version above the baseline's.
# The library needs its debug information (built with -g, or the path of a
# separate debug file directory with --debug-dir).
# Usage: scripts/abi_check.sh <liblinalg.so.X.Y.Z> [--debug-dir DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
lib="$1"; shift
debug=()
if [ "${1:-}" = --debug-dir ]; then debug=(--d2 "$2"); fi
baseline="$(ls "$here"/abi/liblinalg-*.abi | sort -V | tail -n1)"
base_version="$(basename "$baseline" .abi)"; base_version="${base_version#liblinalg-}"
version="$(basename "$(readlink -f "$lib")")"; version="${version#liblinalg.so.}"
base_soname="$(sed -n "s/.*soname='\([^']*\)'.*/\1/p" "$baseline" | head -n1)"
soname="$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')"
echo "ABI: $lib ($version, $soname) against $(basename "$baseline") ($base_soname)"
if [ "$soname" != "$base_soname" ]; then
  echo "ABI: SONAME changed from $base_soname to $soname: incompatible changes allowed; commit a new baseline"
  exit 0
fi
report="$(mktemp)"; trap 'rm -f "$report"' EXIT
rc=0
abidiff --no-show-locs --hd2 "$here/include" "${debug[@]}" "$baseline" "$lib" >"$report" 2>&1 || rc=$?
cat "$report"
# abidiff's status: bit 1 error, 2 usage error, 4 ABI change, 8 incompatible.
if (( rc & 3 )); then echo "ABI: abidiff failed (status $rc)" >&2; exit 1; fi
removed_or_changed="$(grep -E 'changes summary:' "$report" | grep -E '(^|[^0-9])[1-9][0-9]* (Removed|Changed)' || true)"
added="$(grep -E 'changes summary:' "$report" | grep -E '(^|[^0-9])[1-9][0-9]* Added' || true)"
if (( rc & 8 )) || [ -n "$removed_or_changed" ]; then
  echo "ABI: FAIL: symbols removed or changed without a SONAME bump ($soname)" >&2
  exit 1
fi
if [ -n "$added" ]; then
  base_minor="$(cut -d. -f2 <<<"$base_version")" minor="$(cut -d. -f2 <<<"$version")"
  if (( minor <= base_minor )); then
    echo "ABI: FAIL: symbols added without a minor version bump ($version, baseline $base_version)" >&2
    exit 1
  fi
  echo "ABI: symbols added with minor version $version: compatible"
fi
echo "ABI: compatible with $base_version"
