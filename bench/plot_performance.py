#!/usr/bin/python3
"""The "at a glance" table and plots of docs/performance.md from Google
Benchmark JSON (bench/linalg_bench, run with --benchmark_repetitions and
--benchmark_format=json or --benchmark_out).

Each benchmark is named <operation>/<n>/<threads>/<implementation>; linalg
and its anchors (Eigen, OpenBLAS, LAPACKE) run in the same process. A time
is the median over the repetitions (CPU time for one thread, wall-clock time
otherwise); ratio = anchor time / linalg time, so above 1 means linalg is
faster.

Writes one PNG per operation (time against order, linalg beside each
anchor, both axes logarithmic) into OUT_DIR, named <prefix><operation>.png,
and prints the Markdown table on standard output: one row per operation and
anchor, one column per order, the cells anchor time / linalg time.

usage: plot_performance.py RUN.json OUT_DIR [--prefix PREFIX] [--title TEXT]
Needs matplotlib: Debian's python3-matplotlib, hence /usr/bin/python3 (a python3
earlier on PATH may lack it).
"""
import argparse
import os
import statistics
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from bench_json import entries, read  # noqa: E402

ORDER = ["MultiplyMM", "MultiplyMV", "SolveLSE", "InverseMsq", "DeterminantMsq", "EigenSymmSystemMsqH",
         "EigenUnSymmSystemMsq"]


def load(path):
    """{op: {n: {impl: seconds}}}: the median of the repetitions."""
    samples = {}
    for op, n, threads, impl, seconds, _, _ in entries(read(path)):
        samples.setdefault(op, {}).setdefault(n, {}).setdefault(impl, []).append(seconds)
    return {op: {n: {impl: statistics.median(v) for impl, v in impls.items()} for n, impls in sizes.items()}
            for op, sizes in samples.items()}


def fmt_time(s):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if s >= scale:
            return "%.3g %s" % (s / scale, unit)
    return "%.3g ns" % (s / 1e-9)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("json")
    ap.add_argument("out_dir")
    ap.add_argument("--prefix", default="")
    ap.add_argument("--title", default="")
    a = ap.parse_args()
    runs = load(a.json)
    os.makedirs(a.out_dir, exist_ok=True)
    ops = [op for op in ORDER if op in runs] + sorted(op for op in runs if op not in ORDER)
    all_sizes = sorted({n for op in ops for n in runs[op]})
    print("| operation (anchor) | " + " | ".join("n = %d" % n if i == 0 else str(n)
                                               for i, n in enumerate(all_sizes)) + " |")
    print("|---|" + "---:|" * len(all_sizes))
    for op in ops:
        sizes = sorted(runs[op])
        anchors = sorted({impl for n in sizes for impl in runs[op][n] if impl != "linalg"})
        if not anchors or not any("linalg" in runs[op][n] for n in sizes):
            continue
        for impl in anchors:
            cells = []
            for n in all_sizes:
                row = runs[op].get(n, {})
                cells.append("%.2f" % (row[impl] / row["linalg"]) if impl in row and "linalg" in row else "")
            print("| %s (%s) | %s |" % (op, impl, " | ".join(cells)))
    for op in ops:
        sizes = sorted(runs[op])
        anchors = sorted({impl for n in sizes for impl in runs[op][n] if impl != "linalg"})
        fig, ax = plt.subplots(figsize=(5.5, 3.6), dpi=100)
        for impl in ["linalg"] + anchors:
            pts = [(n, runs[op][n][impl]) for n in sizes if impl in runs[op][n]]
            if pts:
                ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", label=impl,
                        linewidth=2.2 if impl == "linalg" else 1.2)
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_xlabel("order n")
        ax.set_ylabel("time per call (s)")
        ax.set_title("%s%s" % (op, (" — " + a.title) if a.title else ""), fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(os.path.join(a.out_dir, "%s%s.png" % (a.prefix, op)))
        plt.close(fig)


if __name__ == "__main__":
    main()
