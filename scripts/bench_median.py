#!/usr/bin/env python3
"""Medians over several scripts/bench.sh runs.

Usage: bench_median.py RUN.txt [RUN.txt ...]

Each RUN.txt is what one scripts/bench.sh run printed. On a shared machine
single runs scatter by several per cent, so the performance figures in the
README are medians of interleaved runs: e.g. three rounds of
  scripts/bench.sh > default-R.txt; LINALG_ISA=avx2 scripts/bench.sh > avx2-R.txt
then bench_median.py default-*.txt and bench_median.py avx2-*.txt.
Prints, per operation, the median ratio (anchor time / linalg time) with the
spread of the runs, and the median of each two-thread speed-up line.
"""
import re
import statistics
import sys

# operation, n, threads, the times (numbers or "-"), the anchor's name, ratio.
ROW = re.compile(r"^(\w+)\s+(\d+)\s+(\d+)(?:\s+(?:[0-9.]+|-))+\s+[a-z]\w*\s+([0-9.]+)\b")
SPEEDUP = re.compile(r"^(.* vs .*): ([0-9.]+)x$")


def main(paths):
    if not paths:
        sys.exit(__doc__)
    ratios, speedups = {}, {}
    for path in paths:
        with open(path) as f:
            for line in f:
                line = line.rstrip()
                m = ROW.match(line)
                if m:
                    ratios.setdefault((m[1], int(m[2]), int(m[3])), []).append(float(m[4]))
                    continue
                m = SPEEDUP.match(line)
                if m:
                    speedups.setdefault(m[1], []).append(float(m[2]))
    print("%d runs; ratio = anchor time / linalg time (median, then min-max)" % len(paths))
    for (op, n, threads), v in ratios.items():
        print("%-22s %9d %3d   %.2f   (%.2f-%.2f)" % (op, n, threads, statistics.median(v), min(v), max(v)))
    for what, v in speedups.items():
        print("%s: %.2fx (%.2f-%.2f)" % (what, statistics.median(v), min(v), max(v)))


if __name__ == "__main__":
    main(sys.argv[1:])
