"""Failures are exceptions: the right class and the library's message, no
output, no exit, in a fresh interpreter."""
import json
import resource

import numpy as np
import pytest

import linalgbits as lb
from conftest import run_python

FAILING = r'''
import json, sys
import numpy as np
import linalgbits as lb
nan = np.full((5, 5), np.nan)
inf = np.eye(5); inf[2, 3] = np.inf
batch = np.stack([np.eye(4), np.ones((4, 4)), np.eye(4)])
calls = {
    "solve": lambda: lb.solve(np.ones((4, 4)), np.ones(4)),
    "solve_k": lambda: lb.solve([[1.0, 2.0], [2.0, 4.0]], np.eye(2)),
    "solve_tiny": lambda: lb.solve([[1.0, 1.0], [1.0, 1.0 + 1e-13]], [1.0, 2.0]),
    "inv": lambda: lb.inv(np.zeros((3, 3))),
    "inv_batch": lambda: lb.inv(batch),
    "solve_batch0": lambda: lb.solve(batch[1:], np.ones(4)),
    "eigh_nan": lambda: lb.eigh(nan),
    "eigh_jacobi_inf": lambda: lb.eigh(inf, "jacobi"),
    "eigvals_nan": lambda: lb.eigvals(nan),
    "eigh_batch": lambda: lb.eigh(np.stack([np.eye(5), nan])),
}
out = {}
for name, call in calls.items():
    try:
        call()
        out[name] = None
    except Exception as e:
        out[name] = [type(e).__name__, isinstance(e, np.linalg.LinAlgError), str(e)]
out["det"] = [lb.det(np.ones((5, 5))), lb.det(np.ones((2, 2)))]
out["alive"] = lb.solve([[2.0]], [4.0]).tolist()
sys.stderr.write(json.dumps(out))
'''

SINGULAR = ["SingularError", True, "ERROR! Singular system!"]
TQLI = "NR run-time error...\nToo many iterations in tqli"


def test_failing_calls_raise_and_the_interpreter_carries_on():
    p = run_python(FAILING)
    assert p.returncode == 0, p.stderr
    assert p.stdout == ""
    out = json.loads(p.stderr)
    assert out["solve"] == out["solve_k"] == out["solve_tiny"] == out["inv"] == SINGULAR
    assert out["inv_batch"] == ["SingularError", True, "ERROR! Singular system! (matrix 1 of the batch)"]
    assert out["solve_batch0"] == ["SingularError", True, "ERROR! Singular system! (matrix 0 of the batch)"]
    assert out["eigh_nan"] == out["eigvals_nan"][:2] + [TQLI] == ["NonFiniteError", True, TQLI]
    assert out["eigvals_nan"][2] == "NR run-time error...\nToo many iterations in hqr"
    assert out["eigh_jacobi_inf"][:2] == ["NonFiniteError", True]
    assert out["eigh_jacobi_inf"][2].startswith("NR run-time error...") or out["eigh_jacobi_inf"][2] == "eigh: non-finite"
    assert out["eigh_batch"] == ["NonFiniteError", True, TQLI + " (matrix 1 of the batch)"]
    assert out["det"] == [0.0, 0.0]
    assert out["alive"] == [2.0]


def test_exception_classes():
    for cls in (lb.SingularError, lb.NotConvergedError, lb.NonFiniteError):
        assert issubclass(cls, np.linalg.LinAlgError)
    assert lb.LinAlgError is np.linalg.LinAlgError


NO_MEMORY = r'''
import resource, sys
import numpy as np
import linalgbits as lb
a = np.eye(3000) * 2.0
used = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
with open("/proc/self/statm") as f:
    vm = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (vm + 100 * 2**20, resource.RLIM_INFINITY))
try:
    lb.inv(a)
except MemoryError as e:
    sys.stderr.write("MemoryError:" + str(e))
'''


def test_no_memory_is_memory_error():
    p = run_python(NO_MEMORY)
    assert p.returncode == 0 and p.stdout == "", p.stderr
    assert p.stderr.startswith("MemoryError:"), p.stderr
