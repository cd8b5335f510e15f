#!/usr/bin/env python3
"""Markdown table from bench_dist JSON files: medians per operation, order and
rank count, each wrapper form as a ratio to the direct ScaLAPACK call, and
liblinalg's 2-thread time as a ratio to the faster DLA form; then the
overhead as the median over repetitions of each form's time divided by the
direct call's time in the same repetition (the figure least disturbed by
other load, since the contenders of a repetition run back to back)."""
import json
import statistics
import sys
from collections import defaultdict

# On a shared machine other processes stretch single runs a lot (one run of
# the same call can take 10x another), so each contender's fastest run is the
# figure compared; the median is given beside it.
med, best = {}, {}
runs = defaultdict(list)  # (base, n, ranks, file) -> times in repetition order
for path in sys.argv[1:]:
    with open(path) as f:
        for b in json.load(f)["benchmarks"]:
            name = b["name"]
            if b.get("aggregate_name") == "median":
                name = name[: -len("_median")]
            base, n, ranks = name.rsplit("/", 2)
            key = (base, int(n), int(ranks.split(":")[1]))
            if b.get("aggregate_name") == "median":
                med[key] = b["real_time"]
            elif b.get("run_type") == "iteration":
                best[key] = min(best.get(key, float("inf")), b["real_time"])
                runs[key + (path,)].append(b["real_time"])

ops = [("solve", "pdgesv", "DLA::SolveLSE", "DLA::SolveLSE_R", "LA::SolveLSE1/threads:2"),
       ("multiply", "pdgemm", "DLA::MultiplyMM", "DLA::MultiplyMM_R", "LA::MultiplyMM1/threads:2"),
       ("eigen", "pdsyevd", "DLA::EigenSymmSystemMsqD", "DLA::EigenSymmSystemMsqD_R", "LA::EigenSymmSystemMsqH")]
print("Fastest run in seconds (median in brackets); ratios of the fastest runs.")
print()


def cases():
    """Every operation, order and rank count of the tables, in their order."""
    for op, direct, root, rows, la in ops:
        for n in sorted({k[1] for k in med}):
            for p in (1, 2):
                yield op, direct, root, rows, la, n, p


print("| operation | n | ranks | direct | root form | root / direct | distributed | distributed / direct | liblinalg | liblinalg / faster form |")
print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
for op, direct, root, rows, la, n, p in cases():
    d, r, w = best.get((direct, n, p)), best.get((root, n, p)), best.get((rows, n, p))
    if d is None:
        continue
    cell = lambda t, k: f"{t:.2f} ({med[k]:.2f})"
    # liblinalg (2 threads, measured in the 1-rank process) against the
    # faster DLA form on this rank count.
    l = best.get((la, n, 1))
    fast = min(r, w)
    lcol = cell(l, (la, n, 1)) if l else ""
    lrat = f"{l / fast:.1f}x" if l else ""
    print(f"| {op} | {n} | {p} | {cell(d, (direct, n, p))} | {cell(r, (root, n, p))} | {r / d:.2f} | "
          f"{cell(w, (rows, n, p))} | {w / d:.2f} | {lcol} | {lrat} |")

print()
print("Overhead: median over repetitions of form time / direct time in the same repetition.")
print()
print("| operation | n | ranks | repetitions | root / direct | distributed / direct |")
print("|---|---:|---:|---:|---:|---:|")
for op, direct, root, rows, la, n, p in cases():
    ratios = {root: [], rows: []}
    for key, times in runs.items():
        if key[:3] != (direct, n, p):
            continue
        for form in ratios:
            ratios[form] += [t / d for t, d in zip(runs.get((form, n, p, key[3]), []), times)]
    if not ratios[root]:
        continue
    print(f"| {op} | {n} | {p} | {len(ratios[root])} | {statistics.median(ratios[root]):.2f} | "
          f"{statistics.median(ratios[rows]):.2f} |")
