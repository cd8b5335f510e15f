import os
import subprocess
import sys

import numpy as np
import pytest

EPS = np.finfo(np.float64).eps
HERE = os.path.dirname(os.path.abspath(__file__))


def matrix(kind, n, seed=0, batch=()):
    """Test matrices of several kinds, (*batch, n, n)."""
    rng = np.random.default_rng([seed, n, len(kind)])
    shape = batch + (n, n)
    if kind == "random":
        return rng.uniform(-1, 1, shape)
    if kind == "spd":
        g = rng.standard_normal(shape)
        return g @ np.swapaxes(g, -1, -2) + n * np.eye(n)
    if kind == "dominant":
        return rng.uniform(-1, 1, shape) + 2 * n * np.eye(n)
    if kind == "scaled":  # rows over 2^-20 .. 2^20
        return rng.uniform(-1, 1, shape) * 2.0 ** rng.integers(-20, 21, batch + (n, 1))
    if kind == "orthogonal":
        q, _ = np.linalg.qr(rng.standard_normal(shape))
        return q
    if kind == "integer":
        return rng.integers(-9, 10, shape).astype(np.float64) + 20 * np.eye(n)
    raise ValueError(kind)


KINDS = ["random", "spd", "dominant", "scaled", "orthogonal", "integer"]


def run_python(code, env=None):
    """Runs code in a fresh interpreter; returns the completed process."""
    e = dict(os.environ)
    e.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=e, timeout=300)


@pytest.fixture
def rng():
    return np.random.default_rng(12345)
