#!/usr/bin/env bash
# Compares two runs of scripts/bench.sh (their BENCH_OUT JSON files) with
# Google Benchmark's compare.py: per benchmark, the relative change of the
# time from the first file to the second, with a U test over the repetitions.
# Usage: scripts/bench_compare.sh before.json after.json [compare.py options]
set -euo pipefail
if [ $# -lt 2 ]; then echo "usage: $0 before.json after.json [compare.py options]" >&2; exit 2; fi
bash "$(dirname "$0")/deps.sh" benchcompare
before="$1" after="$2"
shift 2
exec /usr/bin/python3 /usr/share/benchmark/compare.py "$@" benchmarks "$before" "$after"
