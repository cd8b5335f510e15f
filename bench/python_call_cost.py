"""Call cost of linalgbits beside numpy, and its large calls beside the C++ call.

Usage: python bench/python_call_cost.py [--lib build-test/liblinalg.so] [--reps 15]

Small orders (4, 16): the time per call of linalgbits and numpy, each the
median of --reps interleaved repetitions of a timed loop (about 2 ms), in
one process; the ratio is the median of the ratios of the pairs, and "best
/ best" the ratio of the fastest repetitions (the cost on a quiet core).
Order 1000: solve, eigh and matmul through linalgbits, through numpy, and
the library's C++ function itself called through ctypes on liblinalg.so in
the same process (ctypes adds about a microsecond); ratios to the C++ call,
medians of the ratios of paired runs.
Prints a Markdown table. numpy's BLAS and its thread count are reported; the
library's calls run on one thread unless the row says otherwise.
"""
import argparse
import ctypes
import os
import platform
import statistics
import time

import numpy as np

import linalgbits as lb


def blas_info():
    """The BLAS numpy loaded, and its thread count when it is OpenBLAS."""
    with open("/proc/self/maps") as f:
        libs = sorted({line.split()[-1] for line in f if "blas" in line.split()[-1].lower()})
    threads = "?"
    for path in libs:
        try:
            lib = ctypes.CDLL(path)
            threads = str(lib.openblas_get_num_threads())
            break
        except (OSError, AttributeError):
            continue
    return ", ".join(os.path.realpath(p) for p in libs) or "unknown", threads


def per_call(f, target=0.002):
    """Loop count giving about `target` seconds."""
    k = 1
    while True:
        t = time.perf_counter()
        for _ in range(k):
            f()
        dt = time.perf_counter() - t
        if dt >= target / 4 or k >= 1 << 20:
            return max(1, int(k * target / max(dt, 1e-9)))
        k *= 4


def compare(f, g, reps):
    """Median seconds per call of f and of g, and the median of the ratios
    f / g of the repetitions (each a timed loop of f beside one of g, the
    order alternating), which cancels most of a shared machine's drift."""
    loops = [per_call(f), per_call(g)]
    tf, tg, ratios = [], [], []
    for r in range(reps):
        pair = {}
        for which in ((0, 1) if r % 2 == 0 else (1, 0)):
            fn, k = (f, g)[which], loops[which]
            t = time.perf_counter()
            for _ in range(k):
                fn()
            pair[which] = (time.perf_counter() - t) / k
        tf.append(pair[0]), tg.append(pair[1]), ratios.append(pair[0] / pair[1])
    return statistics.median(tf), statistics.median(tg), statistics.median(ratios), min(tf) / min(tg)


class Cxx:
    """The exported C++ functions of liblinalg.so through ctypes."""

    def __init__(self, path):
        lib = ctypes.CDLL(os.path.abspath(path))
        P, I = ctypes.c_void_p, ctypes.c_int

        def fn(name, args, res=None):
            f = getattr(lib, name)
            f.argtypes, f.restype = args, res
            return f

        self.solve = fn("_ZN13LinearAlgebra2LA8SolveLSEEPdS1_S1_i", [P, P, P, I])
        self.eigh = fn("_ZN13LinearAlgebra2LA19EigenSymmSystemMsqHEPdiS1_S1_", [P, I, P, P])
        self.mm = fn("_ZN13LinearAlgebra2LA10MultiplyMMEPdiiS1_iS1_", [P, I, I, P, I, P])
        self.mm1 = fn("_ZN13LinearAlgebra2LA11MultiplyMM1EPdiiS1_iS1_", [P, I, I, P, I, P])
        self.init_omp = fn("_ZN13LinearAlgebra2LA11Init_openMPEi", [I], I)


def ptr(a):
    return a.ctypes.data


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lib", default="build-test/liblinalg.so")
    ap.add_argument("--reps", type=int, default=41)
    args = ap.parse_args()
    rng = np.random.default_rng(1)
    lb.set_num_threads(1)
    blas, blas_threads = blas_info()
    print(f"linalgbits {lb.version()} ({lb.instruction_set()}), numpy {np.__version__}, Python {platform.python_version()}")
    print(f"numpy's BLAS: {blas}, {blas_threads} threads; linalgbits on 1 thread unless noted")
    print()
    print("| call | order | linalgbits | numpy | linalgbits / numpy | best / best |")
    print("|---|---|---|---|---|---|")
    for n in (4, 16):
        a = rng.uniform(-1, 1, (n, n)) + n * np.eye(n)
        s = a + a.T
        b = rng.uniform(-1, 1, n)
        rows = [
            ("solve(a, b)", lambda: lb.solve(a, b), lambda: np.linalg.solve(a, b)),
            ("det(a)", lambda: lb.det(a), lambda: np.linalg.det(a)),
            ("inv(a)", lambda: lb.inv(a), lambda: np.linalg.inv(a)),
            ("eigh(a)", lambda: lb.eigh(s), lambda: np.linalg.eigh(s)),
            ("eigvals(a)", lambda: lb.eigvals(a), lambda: np.linalg.eigvals(a)),
            ("matmul(a, a)", lambda: lb.matmul(a, a), lambda: np.matmul(a, a)),
            ("matmul(a, b)", lambda: lb.matmul(a, b), lambda: np.matmul(a, b)),
        ]
        for name, f, g in rows:
            t, u, q, best = compare(f, g, args.reps)
            print(f"| {name} | {n} | {t * 1e6:.2f} µs | {u * 1e6:.2f} µs | {q:.2f} | {best:.2f} |")

    if not os.path.exists(args.lib):
        print(f"\n({args.lib} not found: no C++ comparison)")
        return
    cxx = Cxx(args.lib)
    n = 1000
    a = rng.uniform(-1, 1, (n, n)) + np.eye(n)
    s = a + a.T
    b = rng.uniform(-1, 1, n)
    x, w, v, c = np.empty(n), np.empty(n), np.empty((n, n)), np.empty((n, n))
    cxx.init_omp(2)
    rows = [
        ("solve(a, b)", lambda: lb.solve(a, b), lambda: cxx.solve(ptr(a), ptr(b), ptr(x), n),
         lambda: np.linalg.solve(a, b)),
        ("eigh(a)", lambda: lb.eigh(s), lambda: cxx.eigh(ptr(s), n, ptr(w), ptr(v)), lambda: np.linalg.eigh(s)),
        ("matmul(a, a)", lambda: lb.matmul(a, a, threads=1), lambda: cxx.mm(ptr(a), n, n, ptr(a), n, ptr(c)),
         lambda: np.matmul(a, a)),
        ("matmul(a, a), 2 threads", lambda: lb.matmul(a, a, threads=2),
         lambda: cxx.mm1(ptr(a), n, n, ptr(a), n, ptr(c)), lambda: np.matmul(a, a)),
    ]
    reps = max(3, args.reps // 6)
    print()
    print(f"Order {n}: medians of {reps} runs; the ratios are medians of paired runs (order alternating).")
    print(f"C++: {args.lib} through ctypes.")
    print()
    print("| call | linalgbits | C++ call | numpy | linalgbits / C++ | numpy / C++ |")
    print("|---|---|---|---|---|---|")
    for name, f, g, h in rows:
        tf, tg, th, q, qn = [], [], [], [], []
        for r in range(reps):
            order = (f, g, h) if r % 2 == 0 else (g, f, h)
            took = {}
            for fn in order:
                t = time.perf_counter()
                fn()
                took[fn] = time.perf_counter() - t
            tf.append(took[f]), tg.append(took[g]), th.append(took[h])
            q.append(took[f] / took[g]), qn.append(took[h] / took[g])
        med = statistics.median
        print(f"| {name} | {med(tf) * 1e3:.1f} ms | {med(tg) * 1e3:.1f} ms | {med(th) * 1e3:.1f} ms "
              f"| {med(q):.3f} | {med(qn):.2f} |")


if __name__ == "__main__":
    main()
