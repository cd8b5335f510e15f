"""The C++ suite's result digest, computed through linalgbits.

tests/test_kernels.cpp (result_digest) hashes with 64-bit FNV-1a the
results of MultiplyMM, MultiplyVM, SolveLSE, InverseMsq, DeterminantMsq,
EigenSymmSystemMsqH, EigenSymmSystemMsqJ (order 40 on the same array),
EigenUnSymmSystemMsq (order 60), 2000 MT_u32 and 10^6 MT_Gauss64 draws of a
fresh generator, on inputs from std::mt19937_64 through
std::uniform_real_distribution(-1, 1) as libstdc++ computes it. The same
calls through this package must give the same hash. Run as a script, it
prints the instruction set, that hash and a hash of more results (sizes 1 to
33 and a batch) as JSON, for the comparison across LINALG_ISA values.
"""
import hashlib
import json
import os

import numpy as np

import linalgbits as lb

M64 = (1 << 64) - 1


def mt19937_64(seed):
    """Outputs of std::mt19937_64 seeded with seed (the standard's parameters)."""
    n, m = 312, 156
    s = [seed & M64]
    for i in range(1, n):
        s.append((6364136223846793005 * (s[-1] ^ (s[-1] >> 62)) + i) & M64)
    i = n
    while True:
        if i >= n:
            for k in range(n):
                y = (s[k] & 0xFFFFFFFF80000000) | (s[(k + 1) % n] & 0x7FFFFFFF)
                s[k] = s[(k + m) % n] ^ (y >> 1) ^ (0xB5026F5AA96619E9 if y & 1 else 0)
            i = 0
        y = s[i]
        i += 1
        y ^= (y >> 29) & 0x5555555555555555
        y ^= (y << 17) & 0x71D67FFFEDA60000
        y ^= (y << 37) & 0xFFF7EEE000000000
        y ^= y >> 43
        yield y


def random_vector(count, salt):
    """ref::random_vector of the C++ tests with the default LINALG_TEST_SEED."""
    seed = int(os.environ.get("LINALG_TEST_SEED", "20261207"), 0)
    g = mt19937_64(seed ^ ((salt * 0x9E3779B97F4A7C15) & M64))
    u = np.fromiter((next(g) for _ in range(count)), dtype=np.uint64, count=count)
    # generate_canonical: double(u) / 2^64, kept below 1; then * (hi - lo) + lo
    c = u.astype(np.float64) / 18446744073709551616.0
    c = np.where(c >= 1.0, np.nextafter(1.0, 0.0), c)
    return c * 2.0 + -1.0


def fnv(h, array):
    for byte in np.ascontiguousarray(array, dtype="<f8").tobytes():
        h = ((h ^ byte) * 1099511628211) & M64
    return h


def result_digest():
    n = 150
    A = random_vector(n * n, 91).reshape(n, n)
    B = random_vector(n * n, 92).reshape(n, n)
    b = random_vector(n, 93)
    h = 1469598103934665603
    h = fnv(h, lb.matmul(A, B))
    h = fnv(h, lb.matmul(b, A))
    h = fnv(h, lb.solve(A, b))
    h = fnv(h, lb.inv(A))
    h = fnv(h, [lb.det(A)])
    S = A + A.T
    w, v = lb.eigh(S)
    e = w[::-1].copy()  # the library's order: descending, vectors alike
    h = fnv(h, e)
    h = fnv(h, v[:, ::-1])
    # The C++ call reads the first 40 x 40 elements of the same array and
    # writes the first 40 eigenvalues over the previous ones.
    e[:40] = lb.eigh(S.reshape(-1)[: 40 * 40].reshape(40, 40), "jacobi")[0][::-1]
    h = fnv(h, e)
    ev = lb.eigvals(A.reshape(-1)[: 60 * 60].reshape(60, 60))
    ei = np.zeros(n)
    e[:60], ei[:60] = ev.real, ev.imag
    h = fnv(h, e)
    h = fnv(h, ei)
    g = lb.Generator()
    h = fnv(h, g.integers(2000).astype(np.float64))
    h = fnv(h, g.normal(0.0, 1.0, 1000000))
    return f"{h:016x}"


def more_results():
    """SHA-256 of many results: every function at orders 1 to 33, a batch, the generator."""
    sha = hashlib.sha256()
    rng = np.random.default_rng(2026)
    for n in list(range(1, 34)) + [64, 97]:
        a = rng.uniform(-1, 1, (n, n)) + n * np.eye(n)
        s = a + a.T
        m = rng.uniform(-1, 1, (n, n + 3))
        for r in (lb.solve(a, m[:, 0]), lb.solve(a, m), lb.inv(a), [lb.det(a)], *lb.eigh(s),
                  *lb.eigh(s, "jacobi"), lb.eigvals(a), lb.matmul(a, m), lb.matmul(m.T, a),
                  lb.matmul(a, m[:, 1]), lb.matmul(m[:, 2], a)):
            sha.update(np.ascontiguousarray(r).tobytes())
    batch = rng.uniform(-1, 1, (6, 20, 20))
    for r in (lb.inv(batch, threads=2), *lb.eigh(batch, threads=2), lb.matmul(batch, batch, threads=2)):
        sha.update(r.tobytes())
    g = lb.Generator([1, 2, 3])
    for r in (g.random(999), g.random(5, "(0,1)"), g.random(5, "[0,1]"), g.random(5, "(0,1]"),
              g.random(5, "[0,1)"), g.integers(7, bits=31), g.normal(2.0, 3.0, 333)):
        sha.update(r.tobytes())
    return sha.hexdigest()


if __name__ == "__main__":
    print(json.dumps({"isa": lb.instruction_set(), "digest": result_digest(), "more": more_results()}))
