#!/usr/bin/env python3
"""Prints the linalg : anchor comparison from Google Benchmark JSON output.

Usage: bench_table.py RUN.json [RUN2.json]

RUN.json holds linalg and its anchors measured in one process; RUN2.json
(optional) the same from a second process with another OpenBLAS core. Each
benchmark is named <operation>/<n>/<threads>/<implementation>. A time is the
fastest repetition: CPU time for one-thread entries (other programs on a
shared machine disturb it less than the wall clock), wall-clock time for
multi-threaded ones, and each side's time is its fastest over both
processes. ratio = anchor time / linalg time.
"""
import sys

from bench_json import entries, read

ORDER = ["MultiplyMM", "MultiplyMV", "MultiplyVM", "copy", "SolveLSE", "SolveLSE1", "InverseMsq",
         "DeterminantMsq", "EigenSymmSystemMsqJ", "EigenSymmSystemMsqH", "EigenUnSymmSystemMsq",
         "SumV", "DotVV", "MT_u32", "addchain"]


def load(path):
    """Returns (OpenBLAS core, {(op, n, threads): {impl: result}})."""
    data = read(path)
    rows = {}
    for op, n, threads, impl, seconds, unit, b in entries(data):
        best = rows.setdefault((op, n, threads), {}).get(impl)
        if best is not None and best["seconds"] <= seconds:
            continue
        rows[(op, n, threads)][impl] = {
            "seconds": seconds,
            "wall": b["real_time"] * unit,
            # The counters hold the work of one iteration; rates against the chosen time.
            "gflops": b.get("GFLOPs", 0.0) / seconds,
            "gbs": b.get("GBs", 0.0) / seconds,
        }
    ctx = data.get("context", {})
    peaks = tuple(float(ctx.get(k, -1)) for k in ("peak_muladd_gflops", "peak_fma_gflops"))
    return ctx.get("openblas_core", "?"), rows, peaks


def fastest(*results):
    return min((r for r in results if r), key=lambda r: r["seconds"], default=None)


def ms(r):
    return "%.4g" % (r["seconds"] * 1e3) if r else "-"


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    core, rows, peaks = load(argv[1])
    other_core, other, other_peaks = load(argv[2]) if len(argv) == 3 else ("", {}, None)

    print("\nOpenBLAS core as installed: %s (one-thread times are CPU time, two-thread times wall-clock time)"
          % core + ("; second run: %s" % other_core if other_core else ""))
    shown = [p for p in (peaks, other_peaks) if p and min(p) > 0]
    if shown:
        print("Core peak at the start of each run, GFLOP/s: %s (separate multiply and add / fused; where the two "
              "usually match, a lower first figure means another program shared the core)"
              % ", ".join("%.1f / %.1f" % p for p in shown))
    print("Times in ms (fastest repetition). ratio = anchor time / linalg time, each the fastest of the runs "
          "(1.00 = as fast, 0.50 = half as fast).\n")
    fmt = "%-22s %9s %3s %10s %10s %10s %10s %-9s %6s %11s"
    print(fmt % ("operation", "n", "thr", "linalg", "anchor", "linalg2" if other_core else "-",
                 "anchor2" if other_core else "-", "anchor", "ratio", "linalg-rate"))

    def key(k):
        return (ORDER.index(k[0]) if k[0] in ORDER else len(ORDER), k)

    linalg_wall, linalg_best = {}, {}
    copy_gbs = chain_ns = 0.0
    for k in sorted(rows, key=key):
        op, n, threads = k
        runs = [rows[k], other.get(k, {})]
        # One line per anchor (small orders have Eigen beside OpenBLAS).
        for name in [i for i in runs[0] if i != "linalg"] or [""]:
            lin, anchor = runs[0].get("linalg"), runs[0].get(name)
            lin2, anchor2 = runs[1].get("linalg"), runs[1].get(name)
            best = fastest(lin, lin2)
            best_anchor = fastest(anchor, anchor2)
            ratio, rate = "-", ""
            if best and best_anchor:
                ratio = "%.2f" % (best_anchor["seconds"] / best["seconds"])
            if best and best["gflops"]:
                rate = "%.1f GF/s" % best["gflops"]
            if best and best["gbs"]:
                rate = "%.1f GB/s" % best["gbs"]
            if op == "copy" and best_anchor:
                rate = "%.1f GB/s" % best_anchor["gbs"]
                copy_gbs = best_anchor["gbs"]
            if op == "addchain" and best_anchor:
                chain_ns = best_anchor["seconds"] * 1e9 / n
            if best:
                linalg_best[k] = best
                linalg_wall[k] = min(l["wall"] for l in (lin, lin2) if l)
            print(fmt % (op, n, threads, ms(lin), ms(anchor), ms(lin2), ms(anchor2), name, ratio, rate))

    print()
    for n in (1000, 2000):
        one, two = linalg_wall.get(("MultiplyMM", n, 1)), linalg_wall.get(("MultiplyMM", n, 2))
        if one and two:
            print("MultiplyMM1 on 2 threads vs MultiplyMM (wall clock), n = %d: %.2fx" % (n, one / two))
    one, two = linalg_wall.get(("SolveLSE", 2000, 1)), linalg_wall.get(("SolveLSE1", 2000, 2))
    if one and two:
        print("SolveLSE1 on 2 threads vs SolveLSE (wall clock), n = 2000: %.2fx" % (one / two))
    for (op, n, threads), lin in sorted(linalg_best.items(), key=lambda x: key(x[0])):
        if op in ("SumV", "DotVV") and chain_ns:
            per = lin["seconds"] * 1e9 / n
            print("%s n = %d: %.3f ns per element = %.2f x one dependent add (%.3f ns)"
                  % (op, n, per, per / chain_ns, chain_ns))
        if op in ("MultiplyMV", "MultiplyVM") and threads == 1 and copy_gbs and lin["gbs"]:
            print("%s n = %d: %.1f GB/s read = %.2f x copy bandwidth (%.1f GB/s read + written)"
                  % (op, n, lin["gbs"], lin["gbs"] / copy_gbs, copy_gbs))


if __name__ == "__main__":
    main(sys.argv)
