#!/usr/bin/env python3
"""Markdown table from bench_dist JSON files: medians per operation, order and
rank count, each wrapper form as a ratio to the direct ScaLAPACK call, and
liblinalg's 2-thread time as a ratio to the faster DLA form."""
import json
import sys
from collections import defaultdict

med = {}
for path in sys.argv[1:]:
    with open(path) as f:
        for b in json.load(f)["benchmarks"]:
            if b.get("aggregate_name") == "median":
                name, n, ranks = b["name"][: -len("_median")].rsplit("/", 2)
                med[(name, int(n), int(ranks.split(":")[1]))] = b["real_time"]

ops = [("solve", "pdgesv", "DLA::SolveLSE", "DLA::SolveLSE_R", "LA::SolveLSE1/threads:2"),
       ("multiply", "pdgemm", "DLA::MultiplyMM", "DLA::MultiplyMM_R", "LA::MultiplyMM1/threads:2"),
       ("eigen", "pdsyevd", "DLA::EigenSymmSystemMsqD", "DLA::EigenSymmSystemMsqD_R", "LA::EigenSymmSystemMsqH")]
print("| operation | n | ranks | direct (s) | root form (s) | root / direct | distributed (s) | distributed / direct | liblinalg (s) | liblinalg / best form |")
print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
for op, direct, root, rows, la in ops:
    for n in sorted({k[1] for k in med}):
        for p in (1, 2):
            d, r, w = med.get((direct, n, p)), med.get((root, n, p)), med.get((rows, n, p))
            if d is None:
                continue
            # liblinalg (2 threads, measured in the 1-rank process) against
            # the faster DLA form on this rank count.
            l = med.get((la, n, 1))
            best = min(r, w)
            lcol = f"{l:.2f}" if l else ""
            lrat = f"{l / best:.1f}x" if l else ""
            print(f"| {op} | {n} | {p} | {d:.2f} | {r:.2f} | {r / d:.2f} | {w:.2f} | {w / d:.2f} | {lcol} | {lrat} |")
