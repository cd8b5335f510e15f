"""The promise: the same bits under every instruction set the CPU has, and
the bits of the C++ library (its suite's result digest)."""
import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import HERE

# The C++ suite's frozen digest (tests/test_kernels.cpp, docs/performance.md).
CXX_DIGEST = "1553b9454dc89a69"
SETS = ["sse2", "avx2", "avx512", "avx512_256"]


def digest_under(isa):
    env = dict(os.environ, LINALG_ISA=isa)
    p = subprocess.run([sys.executable, os.path.join(HERE, "digest.py")], capture_output=True, text=True,
                       env=env, timeout=300)
    assert p.returncode == 0, p.stderr
    return json.loads(p.stdout), p.stderr


@pytest.fixture(scope="module")
def runs():
    with ThreadPoolExecutor(2) as pool:
        return dict(zip(SETS, pool.map(digest_under, SETS)))


@pytest.mark.parametrize("isa", SETS)
def test_same_bits_under_every_instruction_set(runs, isa):
    got, err = runs[isa]
    if got["isa"] != isa:
        # a set the processor lacks is refused at load, with a note on stderr
        assert "CPU lacks" in err, err
        pytest.skip(f"the CPU lacks {isa}")
    assert err == ""
    assert got["digest"] == CXX_DIGEST
    assert got["more"] == runs["sse2"][0]["more"]
