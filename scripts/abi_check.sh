#!/usr/bin/env bash
# Compares built libraries with their committed ABI baselines (abi/<name>-X.Y.Z.abi,
# written by abidw from the released library; liblinalg and liblinalg_dist
# each have their own) and enforces the SONAME policy:
#   - a removed or changed function or variable fails, unless the SONAME
#     (the major version) changed;
#   - an added one passes only with a minor version above the baseline's.
# The libraries need their debug information (built with -g, or the path of a
# separate debug file directory with --debug-dir).
# Usage: scripts/abi_check.sh <lib.so.X.Y.Z>... [--debug-dir DIR]
#   e.g. scripts/abi_check.sh build/liblinalg.so.1.1.0 build/liblinalg_dist.so.1.1.0
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
libs=() debug=()
while [ $# -gt 0 ]; do
  case "$1" in
    --debug-dir) debug=(--d2 "$2"); shift 2 ;;
    *) libs+=("$1"); shift ;;
  esac
done
[ ${#libs[@]} -gt 0 ] || { echo "usage: $0 <lib.so.X.Y.Z>... [--debug-dir DIR]" >&2; exit 2; }

# Checks one library against the newest baseline of its name.
check() {
  local lib="$1"
  local file name baseline base_version version base_soname soname report rc
  file="$(basename "$(readlink -f "$lib")")"
  name="${file%%.so.*}"
  baseline="$(ls "$here"/abi/"$name"-[0-9]*.abi 2>/dev/null | sort -V | tail -n1)"
  [ -n "$baseline" ] || { echo "ABI: no baseline abi/$name-*.abi for $lib" >&2; return 1; }
  base_version="$(basename "$baseline" .abi)"; base_version="${base_version#"$name"-}"
  version="${file#"$name".so.}"
  base_soname="$(sed -n "s/.*soname='\([^']*\)'.*/\1/p" "$baseline" | head -n1)"
  soname="$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')"
  echo "ABI: $lib ($version, $soname) against $(basename "$baseline") ($base_soname)"
  if [ "$soname" != "$base_soname" ]; then
    echo "ABI: SONAME changed from $base_soname to $soname: incompatible changes allowed; commit a new baseline"
    return 0
  fi
  report="$(mktemp)"
  rc=0
  abidiff --no-show-locs --hd2 "$here/include" "${debug[@]}" "$baseline" "$lib" >"$report" 2>&1 || rc=$?
  cat "$report"
  local summary
  summary="$(grep -E 'changes summary:' "$report" || true)"
  rm -f "$report"
  # abidiff's status: bit 1 error, 2 usage error, 4 ABI change, 8 incompatible.
  if (( rc & 3 )); then echo "ABI: abidiff failed (status $rc)" >&2; return 1; fi
  local removed_or_changed added base_minor minor
  removed_or_changed="$(grep -E '(^|[^0-9])[1-9][0-9]* (Removed|Changed)' <<<"$summary" || true)"
  added="$(grep -E '(^|[^0-9])[1-9][0-9]* Added' <<<"$summary" || true)"
  if (( rc & 8 )) || [ -n "$removed_or_changed" ]; then
    echo "ABI: FAIL: symbols removed or changed without a SONAME bump ($soname)" >&2
    return 1
  fi
  if [ -n "$added" ]; then
    base_minor="$(cut -d. -f2 <<<"$base_version")" minor="$(cut -d. -f2 <<<"$version")"
    if (( minor <= base_minor )); then
      echo "ABI: FAIL: symbols added without a minor version bump ($version, baseline $base_version)" >&2
      return 1
    fi
    echo "ABI: symbols added with minor version $version: compatible"
  fi
  echo "ABI: $name compatible with $base_version"
}

status=0
for lib in "${libs[@]}"; do check "$lib" || status=1; done
exit "$status"
