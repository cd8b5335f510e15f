#!/usr/bin/env bash
# Checks that a shared library carries the hardening of a distribution
# build: relocations resolved at load (BIND_NOW) and read-only afterwards
# (GNU_RELRO), the stack protector, and (when asked) fortified libc calls.
# Also that no thread_local object has a destructor: the C library registers
# such a destructor at the object's first use in each thread, and aborts the
# process when it has no memory for that.
# Usage: check_hardening.sh <library> [fortify]
set -uo pipefail
lib="$1"
status=0
fail() { echo "FAIL: $*"; status=1; }

dyn="$(readelf -d "$lib")" || { echo "readelf failed on $lib"; exit 1; }
grep -Eq '\(BIND_NOW\)|\(FLAGS\).*\bBIND_NOW\b|\(FLAGS_1\).*\bNOW\b' <<<"$dyn" \
  || fail "no BIND_NOW in the dynamic section (link with -z now)"
readelf -lW "$lib" | grep -q 'GNU_RELRO' || fail "no GNU_RELRO segment (link with -z relro)"
syms="$(nm -D "$lib")"
grep -Eq ' U __stack_chk_fail(@|$)' <<<"$syms" || fail "no stack protector (__stack_chk_fail not referenced)"
grep -Eq ' U __cxa_thread_atexit' <<<"$syms" && fail "a thread_local object with a destructor (__cxa_thread_atexit)"
if [ "${2:-}" = fortify ]; then
  grep -Eq ' U __[a-z]+_chk(@|$)' <<<"$syms" || fail "no fortified libc call (__*_chk not referenced)"
fi
[ $status -eq 0 ] && echo "hardened: $lib"
exit $status
