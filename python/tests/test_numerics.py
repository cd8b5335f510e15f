"""Results against numpy, shapes, immutability, batches and threads."""
import threading

import numpy as np
import pytest

import linalgbits as lb
from conftest import EPS, KINDS, matrix

SIZES = [1, 2, 3, 4, 7, 16, 50]


def sym(a):
    return (a + np.swapaxes(a, -1, -2)) / 2


def inf_norm(a):
    return np.abs(a).sum(axis=-1).max()


@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("kind", KINDS)
def test_results_agree_with_numpy(kind, n):
    a = matrix(kind, n)
    tol = 30 * n * EPS
    rng = np.random.default_rng(n)
    b = rng.uniform(-1, 1, n)
    bs = rng.uniform(-1, 1, (n, 3))
    # solve: backward error as small as numpy's
    for rhs in (b, bs):
        x = lb.solve(a, rhs)
        assert x.shape == rhs.shape
        r = np.abs(a @ x - rhs).max() / (inf_norm(a) * np.abs(x).max() + np.abs(rhs).max())
        xn = np.linalg.solve(a, rhs)
        rn = np.abs(a @ xn - rhs).max() / (inf_norm(a) * np.abs(xn).max() + np.abs(rhs).max())
        assert r <= max(tol, 4 * rn)
    # inverse
    ai = lb.inv(a)
    assert np.abs(a @ ai - np.eye(n)).max() <= tol * inf_norm(a) * inf_norm(ai)
    # determinant, relative to its condition
    d, dn = lb.det(a), np.linalg.det(a)
    assert isinstance(d, float)
    assert abs(d - dn) <= 1e3 * n * EPS * np.linalg.cond(a) * abs(dn)
    # symmetric eigenproblem, both methods: residual, orthonormality, values
    s = sym(a)
    wn = np.linalg.eigvalsh(s)
    for method in ("ql", "jacobi"):
        w, v = lb.eigh(s, method)
        assert np.all(np.diff(w) >= 0)
        assert np.abs(s @ v - v * w).max() <= tol * inf_norm(s)
        assert np.abs(v.T @ v - np.eye(n)).max() <= tol
        assert np.abs(w - wn).max() <= tol * inf_norm(s)
    # general eigenvalues: each close to one of numpy's, conjugate pairs
    ev, evn = lb.eigvals(a), np.linalg.eigvals(a)
    assert ev.dtype == np.complex128 and ev.shape == (n,)
    assert np.abs(ev[:, None] - evn[None, :]).min(axis=1).max() <= 1e-7 * inf_norm(a)
    assert np.allclose(np.sort_complex(ev.conj()), np.sort_complex(ev))
    # products, element by element within the bound of a sum of n terms
    m = rng.uniform(-1, 1, (n, 5))
    for x, y in ((a, m), (a, b), (b, a), (b, b)):
        c = lb.matmul(x, y)
        bound = n * EPS * (np.abs(x) @ np.abs(y))
        assert np.all(np.abs(c - np.matmul(x, y)) <= bound)


def test_exactly_representable_results():
    a = np.array([[4.0, 1.0], [1.0, 3.0]])
    assert lb.det(a) == 11.0
    assert lb.det(np.diag([2.0, 3.0, 4.0, 5.0, 0.5])) == 60.0
    assert lb.matmul(a, a).tolist() == [[17.0, 7.0], [7.0, 10.0]]
    assert lb.solve(np.diag([2.0, 4.0]), [1.0, 1.0]).tolist() == [0.5, 0.25]
    w, v = lb.eigh(np.diag([3.0, 1.0, 2.0]))
    assert w.tolist() == [1.0, 2.0, 3.0]
    assert np.abs(v).tolist() == [[0, 0, 1], [1, 0, 0], [0, 1, 0]]
    assert sorted(lb.eigvals([[0.0, -1.0], [1.0, 0.0]]).tolist(), key=lambda z: z.imag) == [-1j, 1j]
    assert lb.det(np.zeros((0, 0))) == 1.0 and lb.inv(np.zeros((0, 0))).shape == (0, 0)


def test_eigh_reads_the_triangle_numpy_documents():
    a = matrix("spd", 6)
    junk = np.full((6, 6), 7.0)
    lower = np.tril(a) + np.triu(junk, 1)
    upper = np.triu(a) + np.tril(junk, -1)
    assert np.array_equal(lb.eigh(lower, "ql")[0], lb.eigh(a, "ql")[0])
    assert np.array_equal(lb.eigh(upper, "jacobi")[0], lb.eigh(a, "jacobi")[0])


def vec(a):
    """A vector of a's order, the same for every matrix of a batch."""
    n = np.shape(a)[-1]
    return np.arange(1.0, n + 1.0) / n


CALLS = {
    "solve": lambda a: lb.solve(a, vec(a)),
    "solve_k": lambda a: lb.solve(a, np.asarray(a)[..., :2]),
    "inv": lb.inv,
    "det": lb.det,
    "eigh_ql": lambda a: lb.eigh(a, "ql"),
    "eigh_jacobi": lambda a: lb.eigh(a, "jacobi"),
    "eigvals": lb.eigvals,
    "matmul": lambda a: lb.matmul(a, a),
    "matvec": lambda a: lb.matmul(a, vec(a)),
    "vecmat": lambda a: lb.matmul(vec(a), a),
}


def flat(result):
    parts = result if isinstance(result, tuple) else (result,)
    return [np.asarray(p) for p in parts]


@pytest.mark.parametrize("name", CALLS)
def test_inputs_are_never_modified_and_array_likes_are_accepted(name):
    f = CALLS[name]
    a = sym(matrix("dominant", 5, batch=(2,)))
    keep = a.copy()
    out = flat(f(a))
    assert np.array_equal(a, keep)
    assert all(not np.shares_memory(o, a) for o in out)
    # read-only, Fortran-ordered, strided and list inputs give the same bits
    ro = a.copy()
    ro.setflags(write=False)
    fortran = np.asfortranarray(a)
    strided = np.repeat(a, 2, axis=-1)[..., ::2]
    for other in (ro, fortran, strided, a.tolist()):
        for x, y in zip(flat(f(other)), out):
            assert np.array_equal(x, y, equal_nan=True)
    assert np.array_equal(fortran, keep) and np.array_equal(strided, keep)


BAD = [
    (lb.solve, (np.eye(3), np.ones(4))),
    (lb.solve, (np.eye(3), np.ones((4, 2)))),
    (lb.solve, (np.ones((3, 4)), np.ones(3))),
    (lb.solve, (np.ones((2, 3, 3)), np.ones((4, 3, 1)))),
    (lb.inv, (np.ones(3),)),
    (lb.inv, (np.ones((2, 3)),)),
    (lb.det, (np.ones((3, 2)),)),
    (lb.eigh, (np.ones((3, 2)),)),
    (lb.eigh, (np.eye(3), "qr")),
    (lb.eigvals, (np.ones((4,)),)),
    (lb.matmul, (np.ones((2, 3)), np.ones((2, 3)))),
    (lb.matmul, (np.ones(3), np.ones(2))),
    (lb.matmul, (np.ones((2, 2, 3)), np.ones((3, 3, 2)))),
    (lb.matmul, (np.float64(1.0), np.ones(2))),
    (lb.set_num_threads, (0,)),
    (lambda: lb.solve(np.eye(2), np.ones(2), threads=0), ()),
    (lambda: lb.Generator().random(-1), ()),
    (lambda: lb.Generator().integers(3, bits=16), ()),
    (lambda: lb.Generator(2**32), ()),
]


@pytest.mark.parametrize("call,args", BAD, ids=range(len(BAD)))
def test_wrong_shapes_and_values_raise_value_error(call, args):
    with pytest.raises(ValueError):
        call(*args)


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("name", CALLS)
def test_batches_give_the_bits_of_one_call_per_matrix(name, threads):
    f = CALLS[name]
    for n in (3, 40):
        a = sym(matrix("dominant", n, batch=(3, 2)))
        whole = flat(f(a) if threads == 1 else _with_threads(f, a, threads))
        for i in range(3):
            for j in range(2):
                for w, one in zip(whole, flat(f(a[i, j]))):
                    assert np.array_equal(w[i, j], one)


def _with_threads(f, a, threads):
    before = lb.get_num_threads()
    lb.set_num_threads(threads)
    try:
        return f(a)
    finally:
        lb.set_num_threads(before)


def test_batch_dimensions_broadcast_as_numpy():
    a = matrix("dominant", 4, batch=(3, 1))
    b = np.random.default_rng(1).uniform(-1, 1, (2, 4, 2))
    x = lb.solve(a, b)
    assert x.shape == (3, 2, 4, 2)
    assert np.array_equal(lb.solve(a[0, 0], b)[1], lb.solve(a[0, 0], b[1]))
    assert np.array_equal(x[2, 1], lb.solve(a[2, 0], b[1]))
    m = lb.matmul(a, b)
    assert m.shape == (3, 2, 4, 2) and np.array_equal(m[1, 0], lb.matmul(a[1, 0], b[0]))
    assert np.array_equal(lb.solve(a, b[0, :, 0])[1, 0], lb.solve(a[1, 0], b[0, :, 0]))
    assert np.array_equal(lb.matmul(b[0, :, 0], b)[1], lb.matmul(b[0, :, 0], b[1]))
    assert lb.matmul(b[0, :, 0], b).shape == np.matmul(b[0, :, 0], b).shape == (2, 2)


def test_large_products_on_threads_keep_the_bits():
    rng = np.random.default_rng(7)
    a, b, v = rng.uniform(-1, 1, (130, 120)), rng.uniform(-1, 1, (120, 110)), rng.uniform(-1, 1, 120)
    for t in (2, 3):
        assert np.array_equal(lb.matmul(a, b, threads=t), lb.matmul(a, b, threads=1))
    big = rng.uniform(-1, 1, (1100, 1000))
    w = rng.uniform(-1, 1, 1000)
    assert np.array_equal(lb.matmul(big, w, threads=2), lb.matmul(big, w, threads=1))
    assert np.array_equal(lb.matmul(w, big[:1000], threads=2), lb.matmul(w, big[:1000], threads=1))


def test_two_python_threads_at_once():
    a = sym(matrix("dominant", 30, batch=(8,)))
    want = [CALLS[name](a) for name in ("solve", "eigh_ql", "inv")]
    errors, results = [], {}

    def work(k):
        try:
            for _ in range(20):
                got = [CALLS[name](a) for name in ("solve", "eigh_ql", "inv")]
                for g, w in zip(got, want):
                    for x, y in zip(flat(g), flat(w)):
                        assert np.array_equal(x, y)
                # a failing call in one thread reports that thread's error only
                with pytest.raises(lb.SingularError, match="Singular system"):
                    lb.solve(np.ones((4, 4)), np.ones(4))
            gen = lb.Generator(k)
            results[k] = gen.normal(size=1001)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in (1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    for k in (1, 2):
        assert np.array_equal(results[k], lb.Generator(k).normal(size=1001))


def test_version_and_instruction_set():
    from importlib.metadata import version
    assert lb.version() == lb.__version__ == version("linalgbits")  # pyproject.toml follows the library
    assert lb.instruction_set() in ("sse2", "avx2", "avx512", "avx512_256")


@pytest.mark.parametrize("bad", [np.eye(2) * 1j, [[1.0, "x"], [0.0, 1.0]], [[1j, 0], [0, 1]]])
def test_inputs_numpy_cannot_make_real_raise_type_error(bad):
    for call in (lb.inv, lb.det, lb.eigvals, lambda a: lb.solve(a, [1.0, 1.0]), lambda a: lb.matmul(a, a)):
        with pytest.raises(TypeError):
            call(bad)
