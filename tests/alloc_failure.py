"""Refuses each allocation of a call in turn and checks what the caller sees.

Run by tests/test_alloc_failure.py in a process started with the failing
allocator (tests/failing_malloc.c) preloaded and PYTHONMALLOC=malloc, so that
the module's, NumPy's and the interpreter's allocations all pass through it:

    python alloc_failure.py CASE [CASE ...]

For each case (a row of CASES) the call is made once unarmed, which gives the
expected result and the number of allocations it makes.  Then, for k = 0, 1,
2, ..., the same call is made on freshly built arguments with allocation k
refused.  Each refusal must end in one of two ways:
  - the call raises MemoryError (or pybind11's TypeError, when the refusal
    hit the conversion of an argument: its casters report any failure so),
    and every array the caller passed (and any array inside a list or tuple
    it passed) is unchanged byte for byte;
  - the call absorbs the failure (a worker thread that could not be started)
    and returns the unarmed call's result, with the unarmed call's bytes.
The sweep ends at the first k the call never reaches.  One JSON line per
case: its name, the allocations refused, how the refused calls ended, and
the problems found (empty when the promise held).

A new function is covered by one row: its name in velt_core and a function
that builds its arguments from a Make (the same arguments every time).
"""

import ctypes
import json
import os
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from helpers import misaligned  # noqa: E402

import velt_core  # noqa: E402

H = 2**-0.5


class Make:
    """Arguments from a fixed seed: each case builds the same ones each time."""

    def __init__(self, seed=7):
        self.rng = np.random.default_rng(seed)

    def complex(self, shape):
        return (self.rng.standard_normal(shape) + 1j * self.rng.standard_normal(shape)).astype(np.complex128)

    def state(self, n):
        return self.complex(1 << n)

    def misaligned_state(self, n):
        # Updated in place through an aligned copy (the copy is an allocation).
        return misaligned(self.state(n), 4, self.rng)[0]

    def unitary(self, k):
        return np.linalg.qr(self.complex((1 << k, 1 << k)))[0]

    def entries(self):
        return [complex(x) for x in self.complex(4)]

    def rho(self, n):
        return self.complex((1 << n, 1 << n))

    def kraus(self):
        return [np.eye(2) * np.sqrt(0.75), np.array([[0, 1], [1, 0]]) * 0.5]

    def channel(self, k):
        return [np.sqrt(0.5) * self.unitary(k), np.sqrt(0.5) * self.unitary(k)]


# One row per case: (velt_core function, builds its arguments).  n = 15 and
# above share their loops when OMP_NUM_THREADS > 1.
CASES = {
    "apply_1q": ("apply_1q", lambda m: (m.state(16), 3, *m.entries())),
    "apply_1q misaligned": ("apply_1q", lambda m: (m.misaligned_state(10), 0, *m.entries())),
    "apply_cnot_fast": ("apply_cnot_fast", lambda m: (m.state(16), 0, 15)),
    "apply_controlled_1q": ("apply_controlled_1q", lambda m: (m.state(16), 2, 9, *m.entries())),
    "apply_swap": ("apply_swap", lambda m: (m.state(16), 1, 14)),
    "apply_gate_fast": ("apply_gate_fast", lambda m: (m.state(16), [0, 5, 9], m.unitary(3).tolist())),
    "apply_gate controls": ("apply_gate", lambda m: (m.state(15), [3, 1], m.unitary(2), (x for x in [0, 7]))),
    "apply_gate 8 targets": ("apply_gate", lambda m: (m.state(15), [1, 3, 5, 7, 8, 10, 12, 14], m.unitary(8))),
    "apply_kraus_1q": ("apply_kraus_1q", lambda m: (m.rho(7), 7, 3, m.kraus())),
    "apply_kraus_1q lists": ("apply_kraus_1q", lambda m: (m.rho(7), 7, 0, [k.tolist() for k in m.kraus()])),
    "apply_sequence": (
        "apply_sequence",
        lambda m: (
            m.state(14),
            [("apply_1q", 0, H, H, H, -H), ("apply_cnot_fast", 0, 13), ("apply_gate", list(range(1, 9)), m.unitary(8))],
        ),
    ),
    "probabilities": ("probabilities", lambda m: (m.state(16),)),
    "probabilities marginal": ("probabilities", lambda m: (m.state(16), [3, 0, 12])),
    "expectation_pauli": ("expectation_pauli", lambda m: (m.state(16), "XZY", [2, 9, 15])),
    "sample": ("sample", lambda m: (m.state(16), m.rng.random((3, 5)))),
    "measure": ("measure", lambda m: (m.state(16), 4, 0.3)),
    "apply_diagonal": ("apply_diagonal", lambda m: (m.state(16), [2, 9, 15], m.complex(8))),
    "apply_diagonal controls": ("apply_diagonal", lambda m: (m.state(16), [3], m.complex(2).tolist(), [0, 14])),
    "apply_pauli_rotation": ("apply_pauli_rotation", lambda m: (m.state(16), "XZY", [2, 9, 15], 0.7)),
    "apply_pauli_rotation Z controls": ("apply_pauli_rotation", lambda m: (m.state(16), "ZZ", [1, 14], 0.3, [5])),
    "expectation_paulis": (
        "expectation_paulis",
        lambda m: (m.state(16), [("XZ", [0, 15]), ("YY", [3, 14]), ("ZZ", [1, 2]), ("X", [12]), ("", [])]),
    ),
    "expectation_pauli_sum": (
        "expectation_pauli_sum",
        lambda m: (m.state(16), [0.5, -1.0, 2.0], [("XX", [0, 1]), ("ZZ", [1, 2]), ("Y", [15])]),
    ),
    "inner_product": ("inner_product", lambda m: (m.state(16), m.state(16))),
    "measure tiny": ("measure", lambda m: (m.state(16) * 1e-158, 4, 0.3)),  # the second, scaled sum
    "apply_kraus 2 qubits": ("apply_kraus", lambda m: (m.rho(7), 7, [5, 1], m.channel(2))),
    "apply_kraus 3 qubits": ("apply_kraus", lambda m: (m.rho(7), 7, [0, 6, 3], [k.tolist() for k in m.channel(3)])),
    "apply_unitary_rho": ("apply_unitary_rho", lambda m: (m.rho(7), 7, [2, 5], m.unitary(2), [0])),
    "apply_kraus_sampled": ("apply_kraus_sampled", lambda m: (m.state(16), [3, 12], m.channel(2), 0.4)),
    "apply_kraus_sampled tiny": (
        "apply_kraus_sampled",
        lambda m: (m.state(16) * 1e-158, [0, 9, 14], m.channel(3), 0.4),
    ),
    "apply_sequence rotations": (
        "apply_sequence",
        lambda m: (
            m.state(16),
            [
                ("apply_1q", 0, H, H, H, -H),
                ("apply_diagonal", [9, 2], m.complex(4)),
                ("apply_pauli_rotation", "XY", [1, 15], 0.3),
            ],
        ),
    ),
}


def arrays_in(value):
    """Every array the caller holds in an argument (lists and tuples opened),
    each as the array that owns its memory."""
    if isinstance(value, np.ndarray):
        while isinstance(value.base, np.ndarray):
            value = value.base
        return [value]
    if isinstance(value, (list, tuple)):
        return [a for item in value for a in arrays_in(item)]
    return []


def fingerprint(value):
    """The bytes of a result, to compare runs."""
    if isinstance(value, np.ndarray):
        return [value.dtype.str, list(value.shape), value.tobytes().hex()]
    if isinstance(value, tuple):
        return [fingerprint(v) for v in value]
    if isinstance(value, float):
        return np.float64(value).tobytes().hex()
    return repr(value)


def conversion_refused(exc):
    """pybind11's own refusal of an argument: its casters turn a failure
    inside a conversion (NumPy's, say) into "incompatible function
    arguments", whatever the failure was."""
    return isinstance(exc, TypeError) and "incompatible function arguments" in str(exc)


def run_case(name, allocator, limit=2000):
    function_name, build = CASES[name]
    function = getattr(velt_core, function_name)

    def fresh():
        args = build(Make())
        return args, [a.tobytes() for a in arrays_in(args)]

    args, _ = fresh()
    expected = fingerprint(function(*args))
    expected_after = [a.tobytes() for a in arrays_in(args)]

    refused, endings, problems = 0, {}, []
    for k in range(limit):
        args, before = fresh()
        allocator.left.value = k
        allocator.refused.value = 0
        # From here to the disarm nothing but the call may allocate.
        allocator.armed.value = 1
        try:
            result = function(*args)
            allocator.armed.value = 0
            raised = None
        except BaseException as exc:  # noqa: BLE001 - every ending is judged below
            allocator.armed.value = 0
            result, raised = None, exc
        fired = allocator.refused.value
        if not fired:
            if raised is not None:
                problems.append(f"k={k}: nothing refused, yet {type(raised).__name__}: {raised}")
            elif fingerprint(result) != expected:
                problems.append(f"k={k}: nothing refused, yet a different result")
            break
        refused += 1
        ending = type(raised).__name__ if raised is not None else "absorbed"
        endings[ending] = endings.get(ending, 0) + 1
        now = [a.tobytes() for a in arrays_in(args)]
        if raised is None:
            if fingerprint(result) != expected or now != expected_after:
                problems.append(f"k={k}: the refusal was absorbed but the result differs")
        elif now != before:
            changed = [i for i, (a, b) in enumerate(zip(now, before, strict=True)) if a != b]
            problems.append(
                f"k={k}: {type(raised).__name__} ({raised}) after the call changed argument arrays {changed}"
            )
        elif not (isinstance(raised, MemoryError) or conversion_refused(raised)):
            problems.append(f"k={k}: {type(raised).__name__} instead of MemoryError: {raised}")
    else:
        problems.append(f"the call still allocated after {limit} refusals")
    return {"case": name, "refused": refused, "endings": endings, "problems": problems[:10]}


class Allocator:
    """The failing allocator's controls (see failing_malloc.c)."""

    def __init__(self, path):
        lib = ctypes.CDLL(path)
        self.armed = ctypes.c_int.in_dll(lib, "failing_malloc_armed")
        self.left = ctypes.c_long.in_dll(lib, "failing_malloc_left")
        self.refused = ctypes.c_int.in_dll(lib, "failing_malloc_refused")


def main(names):
    allocator = Allocator(os.environ["VELT_FAILING_MALLOC"])
    for name in names:
        print(json.dumps(run_case(name, allocator)), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
