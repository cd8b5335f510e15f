"""Dense linear algebra on numpy arrays with the same bits on every machine.

The functions follow numpy's names and argument orders (``solve``, ``inv``,
``det``, ``eigh``, ``eigvals``, ``matmul``) and run the C++ library linalg,
linked into the extension: every result is bit-identical whatever the
processor's instruction set (SSE2, AVX2, AVX-512), the thread count and the
batch layout.

Arguments are converted to C-contiguous float64 arrays (no copy when they
already are; a copy otherwise) and never modified. Leading batch dimensions
``(..., n, n)`` broadcast as in numpy; the matrices of a batch are spread
over threads and give the bits of one call per matrix. Numerical failures
raise subclasses of :class:`numpy.linalg.LinAlgError` carrying the library's
message; the library never prints, reads input or ends the interpreter.
"""
from __future__ import annotations

import operator as _operator

import numpy as _np

from . import _core

__all__ = [
    "solve", "inv", "det", "eigh", "eigvals", "matmul", "dot",
    "set_num_threads", "get_num_threads", "instruction_set", "version",
    "Generator", "LinAlgError", "SingularError", "NotConvergedError", "NonFiniteError",
]

LinAlgError = _np.linalg.LinAlgError


class SingularError(LinAlgError):
    """A pivot below the singularity threshold ("ERROR! Singular system!")."""


class NotConvergedError(LinAlgError):
    """An eigen-solver's iteration failed on finite elements."""


class NonFiniteError(LinAlgError):
    """An eigen-solver read NaN or infinity."""


_core._set_errors(SingularError, NotConvergedError, NonFiniteError)

__version__ = _core.version()


def version() -> str:
    """Version of the linked library, "MAJOR.MINOR.PATCH"."""
    return _core.version()


def instruction_set() -> str:
    """Kernel set in use: "sse2", "avx2", "avx512" or "avx512_256".

    The processor's default, or the one the environment variable LINALG_ISA
    named when the module was imported. The results do not depend on it.
    """
    return _core.instruction_set()


def set_num_threads(n: int) -> None:
    """Default number of threads for batches and large products (at least 1)."""
    _core.set_num_threads(_index(n, "set_num_threads"))


def get_num_threads() -> int:
    """Default number of threads (the processor count until set)."""
    return _core.get_num_threads()


def _index(v, name):
    try:
        return _operator.index(v)
    except TypeError:
        raise TypeError(f"{name}: an integer is required") from None


def _threads(threads):
    if threads is None:
        return 0
    t = _index(threads, "threads")
    if t < 1:
        raise ValueError("threads must be at least 1")
    return t


_f8 = _np.dtype(_np.float64)
_nd = _np.ndarray

# Fast paths: a float64 ndarray goes straight to the extension, which
# checks the shapes and makes it C-contiguous (a copy when it is not).


def _array(x, name):
    """x as a C-contiguous float64 array (the same object when it is one)."""
    if type(x) is _np.ndarray and x.dtype is _f8 and x.flags.c_contiguous:
        return x
    if isinstance(x, _np.ndarray) and x.dtype.kind == "c" or _np.iscomplexobj(x):
        raise TypeError(f"{name}: complex input is not supported")
    try:
        return _np.ascontiguousarray(x, dtype=_np.float64)
    except (TypeError, ValueError) as e:
        raise TypeError(f"{name}: cannot convert to a float64 array: {e}") from None


def _square(a, name):
    a = _array(a, name)
    if a.ndim < 2:
        raise ValueError(f"{name}: {a.ndim}-dimensional array given; the array must be at least two-dimensional")
    if a.shape[-1] != a.shape[-2]:
        raise ValueError(f"{name}: last 2 dimensions of the array must be square, got {a.shape[-2:]}")
    return a


def _broadcast(a, b, ra, rb, name):
    """a and b with equal leading (batch) dimensions; copies only when broadcasting."""
    ba, bb = a.shape[: a.ndim - ra], b.shape[: b.ndim - rb]
    if ba == bb:
        return a, b
    try:
        batch = _np.broadcast_shapes(ba, bb)
    except ValueError:
        raise ValueError(f"{name}: batch dimensions {ba} and {bb} do not broadcast") from None
    a = _np.ascontiguousarray(_np.broadcast_to(a, batch + a.shape[a.ndim - ra:]))
    b = _np.ascontiguousarray(_np.broadcast_to(b, batch + b.shape[b.ndim - rb:]))
    return a, b


def solve(a, b, *, threads: int | None = None):
    """Solve ``a @ x = b`` for x, like :func:`numpy.linalg.solve`.

    a: (..., n, n). b: (n,) -- one right-hand side, or (..., n, k) --
    k right-hand sides (numpy 2's rule: b is a vector only when it is
    one-dimensional). Gaussian elimination with power-of-two row scaling and
    partial pivoting (``LA::SolveLSE``, once per right-hand side).
    Raises SingularError for a pivot below 1e-12 after row scaling.
    """
    if (threads is None and type(a) is _nd and type(b) is _nd and a.dtype is _f8 and b.dtype is _f8
            and a.ndim == 2 and 1 <= b.ndim <= 2):
        return _core.solve(a, b, b.ndim == 1, 0)
    a = _square(a, "solve")
    b = _array(b, "solve")
    n = a.shape[-1]
    if b.ndim == 1:
        if b.shape[0] != n:
            raise ValueError(f"solve: b has {b.shape[0]} elements, a is of order {n}")
        return _core.solve(a, b, True, _threads(threads))
    if b.shape[-2] != n:
        raise ValueError(f"solve: b has {b.shape[-2]} rows, a is of order {n}")
    a, b = _broadcast(a, b, 2, 2, "solve")
    return _core.solve(a, b, False, _threads(threads))


def inv(a, *, threads: int | None = None):
    """Inverse of a (..., n, n), like :func:`numpy.linalg.inv` (``LA::InverseMsq``).

    Raises SingularError for a singular matrix.
    """
    if threads is None and type(a) is _nd and a.dtype is _f8:
        return _core.inv(a, 0)
    return _core.inv(_square(a, "inv"), _threads(threads))


def det(a, *, threads: int | None = None):
    """Determinant of a (..., n, n), like :func:`numpy.linalg.det` (``LA::DeterminantMsq``).

    A float for one matrix, an array for a batch. A singular matrix gives 0.0
    (from order 4 on: a pivot below 1e-12 in absolute value, unscaled).
    """
    if threads is None and type(a) is _nd and a.dtype is _f8:
        return _core.det(a, 0)
    return _core.det(_square(a, "det"), _threads(threads))


def eigh(a, method: str = "ql", *, threads: int | None = None):
    """Eigenvalues and eigenvectors of symmetric (..., n, n), like :func:`numpy.linalg.eigh`.

    Returns (w, v): w ascending, v[..., :, i] the unit eigenvector of w[..., i].
    method "ql": Householder tridiagonalisation and implicit-shift QL
    (``LA::EigenSymmSystemMsqH``), reads the lower triangle (numpy's default
    UPLO="L"); "jacobi": cyclic Jacobi rotations (``LA::EigenSymmSystemMsqJ``),
    reads the upper triangle. Raises NonFiniteError for NaN or infinity,
    NotConvergedError when the iteration fails.
    """
    if method == "ql":
        jacobi = False
    elif method == "jacobi":
        jacobi = True
    else:
        raise ValueError(f'eigh: method must be "ql" or "jacobi", not {method!r}')
    if threads is None and type(a) is _nd and a.dtype is _f8:
        return _core.eigh(a, jacobi, 0)
    return _core.eigh(_square(a, "eigh"), jacobi, _threads(threads))


def eigvals(a, *, threads: int | None = None):
    """Eigenvalues of a general (..., n, n), like :func:`numpy.linalg.eigvals`, unsorted.

    Always complex128 (a real eigenvalue has zero imaginary component; a complex
    pair takes neighbouring places, the negative imaginary part first).
    Balancing, Hessenberg reduction and shifted QR (``LA::EigenUnSymmSystemMsq``).
    """
    if threads is None and type(a) is _nd and a.dtype is _f8:
        return _core.eigvals(a, 0)
    return _core.eigvals(_square(a, "eigvals"), _threads(threads))


def matmul(a, b, *, threads: int | None = None):
    """Matrix product, like :func:`numpy.matmul` (``a @ b``), with numpy's rules.

    (..., n, k) @ (..., k, m) (``LA::MultiplyMM``), (..., n, k) @ (k,)
    (``LA::MultiplyMV``), (k,) @ (..., k, m) (``LA::MultiplyVM``), (k,) @ (k,)
    (``LA::DotVV``, a float). Each element is a sum in ascending index order,
    multiply then separate add; a single large product runs the OpenMP
    variant (the same bits).
    """
    if threads is None and type(a) is _nd and type(b) is _nd and a.dtype is _f8 and b.dtype is _f8 and a.ndim == 2:
        if b.ndim == 2:
            return _core.matmul(a, b, 0)
        if b.ndim == 1:
            return _core.matvec(a, b, 0)
    a = _array(a, "matmul")
    b = _array(b, "matmul")
    if a.ndim == 0 or b.ndim == 0:
        raise ValueError("matmul: operands must not be scalars")
    if a.shape[-1] != (b.shape[0] if b.ndim == 1 else b.shape[-2]):
        raise ValueError(f"matmul: mismatch in the core dimension: {a.shape} @ {b.shape}")
    t = _threads(threads)
    if a.ndim == 1 and b.ndim == 1:
        return _core.dot(a, b)
    if b.ndim == 1:
        return _core.matvec(a, b, t)
    if a.ndim == 1:
        return _core.vecmat(a, b, t)
    a, b = _broadcast(a, b, 2, 2, "matmul")
    return _core.matmul(a, b, t)


def dot(a, b) -> float:
    """Inner product of two vectors of one length (``LA::DotVV``)."""
    a = _array(a, "dot")
    b = _array(b, "dot")
    if a.ndim != 1 or b.ndim != 1 or a.shape != b.shape:
        raise ValueError(f"dot: two vectors of one length expected, got {a.shape} and {b.shape}")
    return _core.dot(a, b)


_KINDS = {"[0,1)53": 0, "[0,1]": 1, "(0,1]": 2, "[0,1)": 3, "(0,1)": 4}


def _count(size):
    if size is None:
        return None, 1
    shape = (size,) if isinstance(size, (int, _np.integer)) else tuple(size)
    shape = tuple(_index(s, "size") for s in shape)
    if any(s < 0 for s in shape):
        raise ValueError("size: negative dimensions are not allowed")
    return shape, int(_np.prod(shape, dtype=_np.int64))


def _shaped(x, shape):
    return x[0] if shape is None else x.reshape(shape)


class Generator:
    """The library's Mersenne Twister (MT19937) and its own conversions.

    Generator(seed): seed None -- the library's default seed 5489 (the
    sequence of std::mt19937's default), an int -- that 32-bit seed, a
    sequence of ints -- seeding by array (``init_by_array``). Each Generator
    keeps its own state: the library's single process-wide generator is
    swapped in for each call under a lock, so generators are independent and
    safe to use from several threads (draws of one generator from several
    threads at once come out in some order).
    """

    def __init__(self, seed=None):
        if seed is None:
            self._s = _core._Stream([], False)
        elif isinstance(seed, (int, _np.integer)):
            if not 0 <= int(seed) < 2**32:
                raise ValueError("seed must be in [0, 2**32)")
            self._s = _core._Stream([int(seed)], False)
        else:
            key = [int(k) for k in seed]
            if not key or any(not 0 <= k < 2**32 for k in key):
                raise ValueError("seed: a non-empty sequence of integers in [0, 2**32) expected")
            self._s = _core._Stream(key, True)

    def random(self, size=None, interval: str = "[0,1)53"):
        """Uniform doubles (``LA::MT_d53_1`` by default: [0, 1), 53 bits from two outputs).

        interval "[0,1]" (``MT_d64``), "(0,1]" (``MT_d64_0``), "[0,1)"
        (``MT_d64_1``), "(0,1)" (``MT_d64_01``): one 32-bit output each.
        """
        if interval not in _KINDS:
            raise ValueError(f"random: interval must be one of {sorted(_KINDS)}")
        shape, n = _count(size)
        return _shaped(self._s.real(n, _KINDS[interval]), shape)

    def integers(self, size=None, bits: int = 32):
        """Raw outputs: bits=32 -- uint32 (``LA::MT_u32``); 31 -- int32 in [0, 2**31) (``LA::MT_i31``)."""
        shape, n = _count(size)
        if bits == 32:
            return _shaped(self._s.u32(n), shape)
        if bits == 31:
            return _shaped(self._s.i31(n), shape)
        raise ValueError("integers: bits must be 31 or 32")

    def normal(self, loc: float = 0.0, scale: float = 1.0, size=None):
        """Normal deviates by Box-Muller (``LA::MT_Gauss64``, the library's own ln, sin, cos).

        Draws come in pairs: an odd draw computes two values and returns the
        first, the next returns the cached second (scaled by its own loc and
        scale).
        """
        shape, n = _count(size)
        return _shaped(self._s.normal(n, float(loc), float(scale)), shape)

    def __getstate__(self):
        return {"state": self._s.getstate()}

    def __setstate__(self, d):
        self._s = _core._Stream([], False)
        self._s.setstate(d["state"])
