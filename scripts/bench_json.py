"""Reads Google Benchmark JSON whose benchmarks are named
<operation>/<n>/<threads>/<implementation> (bench/linalg_bench), for
scripts/bench_table.py, bench/plot_performance.py and bench/eigen_scale.py.
"""
import json

TO_SECONDS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def read(path):
    with open(path) as f:
        return json.load(f)


def entries(data):
    """Yields (op, n, threads, impl, seconds, unit, b) for every measured
    iteration run of `data`: seconds is the CPU time for one thread (other
    programs on a shared machine disturb it less than the wall clock) and
    the wall-clock time for more; unit converts b's times to seconds; b is
    the raw entry. Suffixes Google Benchmark adds to a name (real_time,
    iterations:N) are ignored; other names are skipped."""
    for b in data.get("benchmarks", []):
        if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
            continue
        parts = [p for p in b["name"].split("/") if p != "real_time" and not p.startswith("iterations:")]
        if len(parts) != 4:
            continue
        op, n, threads, impl = parts[0], int(parts[1]), int(parts[2]), parts[3]
        unit = TO_SECONDS[b.get("time_unit", "ns")]
        seconds = (b["cpu_time"] if threads == 1 else b["real_time"]) * unit
        yield op, n, threads, impl, seconds, unit, b
