#!/usr/bin/env python3
"""Table (and plot) of scripts/bench_eigen_scale.sh's runs.

Usage: eigen_scale.py OUT_DIR [--plot FILE.png]

OUT_DIR holds Google Benchmark JSON files named LABEL-RUN.json (LABEL
"after" or "before"), one process each, with linalg's symmetric solvers and
the anchors dsyev ("lapacke") and dsyevd at some orders. Times are CPU times
(one thread; other programs on a shared machine disturb them less than the
wall clock). For every process the linalg time is divided by dsyev's time in
the same process; the table shows medians over the processes of the times
and of those ratios, the speed-up after : before as the median anchored
ratio before over the median anchored ratio after, and time / n^3.
"""
import glob
import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
from bench_json import entries, read  # noqa: E402



def load(path):
    """{(op, n, impl): seconds} of one process."""
    return {(op, n, impl): seconds for op, n, _, impl, seconds, _, _ in entries(read(path))}


def main(argv):
    if not argv:
        sys.exit(__doc__)
    plot = argv[argv.index("--plot") + 1] if "--plot" in argv else None
    runs = {}  # label -> list of processes
    for path in sorted(glob.glob(os.path.join(argv[0], "*.json"))):
        runs.setdefault(os.path.basename(path).split("-")[0], []).append(load(path))
    times, ratios = {}, {}  # (label, op, n, impl) -> list
    for label, procs in runs.items():
        for p in procs:
            for (op, n, impl), t in p.items():
                times.setdefault((label, op, n, impl), []).append(t)
                anchor = p.get(("EigenSymmSystemMsqH", n, "lapacke"))
                if impl == "linalg" and anchor:
                    ratios.setdefault((label, op, n), []).append(t / anchor)
    med = {k: statistics.median(v) for k, v in times.items()}
    mratio = {k: statistics.median(v) for k, v in ratios.items()}
    orders = sorted({k[2] for k in med})
    print("CPU seconds, medians over processes (count); ratio = linalg / dsyev in the same process")
    print("%-20s %5s %9s %9s %9s %9s %8s %8s %8s %11s %11s" % (
        "operation", "n", "before", "after", "dsyev", "dsyevd", "b/dsyev", "a/dsyev", "speedup",
        "after/n^3", "before/n^3"))
    for op in ("EigenSymmSystemMsqH", "EigenSymmSystemMsqJ"):
        for n in orders:
            a, b = med.get(("after", op, n, "linalg")), med.get(("before", op, n, "linalg"))
            if a is None and b is None:
                continue
            ra, rb = mratio.get(("after", op, n)), mratio.get(("before", op, n))
            ev = [med.get((l, "EigenSymmSystemMsqH", n, i)) for l in ("after",) for i in ("lapacke", "dsyevd")]
            f = lambda x, fmt="%9.3f": fmt % x if x is not None else "%9s" % "-"
            print("%-20s %5d %s %s %s %s %s %s %s %s %s  (%d)" % (
                op, n, f(b), f(a), f(ev[0]), f(ev[1]), f(rb, "%8.3f"), f(ra, "%8.3f"),
                f(rb / ra if ra and rb else None, "%8.2f"), f(a / n**3 * 1e9 if a else None, "%11.3f"),
                f(b / n**3 * 1e9 if b else None, "%11.3f"), len(times.get(("after", op, n, "linalg"), []))))
    print("(x/n^3 in ns; speedup = (before/dsyev) / (after/dsyev))")
    if plot:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
        fig, ax = plt.subplots(figsize=(7, 4.5))
        series = [("after", "EigenSymmSystemMsqH", "linalg", "EigenSymmSystemMsqH (after)", "C0", "-o"),
                  ("before", "EigenSymmSystemMsqH", "linalg", "EigenSymmSystemMsqH (before)", "C0", "--o"),
                  ("after", "EigenSymmSystemMsqJ", "linalg", "EigenSymmSystemMsqJ", "C3", "-s"),
                  ("after", "EigenSymmSystemMsqH", "lapacke", "LAPACKE dsyev", "C2", "-^"),
                  ("after", "EigenSymmSystemMsqH", "dsyevd", "LAPACKE dsyevd", "C1", "-v")]
        for label, op, impl, name, color, style in series:
            pts = [(n, med[(label, op, n, impl)] / n**3 * 1e9) for n in orders if (label, op, n, impl) in med]
            if pts:
                ax.plot([p[0] for p in pts], [p[1] for p in pts], style, color=color, label=name)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_xticks(orders)
        ax.set_xticklabels([str(n) for n in orders])
        ax.set_xlabel("order n")
        ax.set_ylabel("CPU time / n^3 (ns)")
        ax.set_title("Symmetric eigenproblem with eigenvectors, one thread")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(plot, dpi=100)
        print("plot:", plot)


if __name__ == "__main__":
    main(sys.argv[1:])
