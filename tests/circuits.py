"""Random circuits and the catalogue of bad calls, shared by the in-process
tests and the scenarios that run under mpiexec (tests/mpi_worker.py)."""

import math

import numpy as np

import velt_core


def matrix(rng, dim):
    m = rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))
    return (m / math.sqrt(2 * dim)).astype(np.complex128)


def pick(rng, n, count):
    """Distinct qubits, drawn mostly from the places where slices meet: the
    lowest qubits and the top four, which are the rank-selecting qubits and
    the top local one for 2, 4 and 8 ranks."""
    favourites = sorted({0, 1, n - 4, n - 3, n - 2, n - 1} & set(range(n)))
    chosen = []
    while len(chosen) < count:
        q = int(rng.choice(favourites)) if rng.random() < 0.6 else int(rng.integers(0, n))
        if q not in chosen:
            chosen.append(q)
    return chosen


def random_circuit(rng, n, n_local, length):
    """Ops over all the state-vector kernels, as tuples for apply_sequence;
    dense gates on at most n_local targets, rotations with at most n_local
    X and Y letters."""
    ops = []
    for _ in range(length):
        kind = rng.integers(0, 9)
        if kind == 0 or n < 2:
            (q,) = pick(rng, n, 1)
            ops.append(("apply_1q", q, *matrix(rng, 2).reshape(4)))
        elif kind == 1:
            ops.append(("apply_cnot_fast", *pick(rng, n, 2)))
        elif kind == 2:
            ops.append(("apply_controlled_1q", *pick(rng, n, 2), *matrix(rng, 2).reshape(4)))
        elif kind == 3:
            ops.append(("apply_swap", *pick(rng, n, 2)))
        elif kind == 4:
            k = int(rng.integers(1, min(4, n_local) + 1))
            ops.append(("apply_gate_fast", pick(rng, n, k), matrix(rng, 1 << k)))
        elif kind in (5, 6):
            k = int(rng.integers(0, min(3, n_local) + 1))
            c = int(rng.integers(0, min(2, n - k) + 1))
            qubits = pick(rng, n, k + c)
            ops.append(("apply_gate", qubits[:k], matrix(rng, 1 << k), qubits[k:]))
        elif kind == 7:
            k = int(rng.integers(1, min(4, n) + 1))
            c = int(rng.integers(0, min(2, n - k) + 1))
            qubits = pick(rng, n, k + c)
            diag = np.exp(1j * rng.uniform(0, 2 * np.pi, 1 << k)) * rng.uniform(0.5, 1.5, 1 << k)
            ops.append(("apply_diagonal", qubits[:k], diag, qubits[k:]))
        else:
            k = int(rng.integers(0, min(4, n) + 1))
            c = int(rng.integers(0, min(2, n - k) + 1))
            qubits = pick(rng, n, k + c)
            letters = list(rng.choice(list("IXYZ"), size=k))
            for d in [d for d, p in enumerate(letters) if p in "XY"][n_local:]:
                letters[d] = "Z"  # at most n_local letters that move amplitudes
            theta = float(rng.uniform(-8, 8))
            ops.append(("apply_pauli_rotation", "".join(letters), qubits[:k], theta, qubits[k:]))
    return ops


def run_one_by_one(target, ops):
    for name, *args in ops:
        getattr(target, name)(*args)


def reference(full, ops):
    """The ops on a copy of `full` through velt_core (velt_core.single for complex64)."""
    out = full.copy()
    module = velt_core.single if full.dtype == np.complex64 else velt_core
    for name, *args in ops:
        getattr(module, name)(out, *args)
    return out


def catch(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - every error is compared
        return type(error).__name__, str(error)
    return None


def error_cases(n, n_local, ranks=1):
    """(id, distributed call, the same call on a full state or None)."""
    u2 = np.eye(2, dtype=np.complex128)
    u4 = np.eye(4, dtype=np.complex128)
    top = n - 1
    cases = []

    def add(case_id, method, *args, **kwargs):
        cases.append((case_id, method, args, kwargs))

    add("1q low", "apply_1q", -1, 1, 0, 0, 1)
    add("1q high", "apply_1q", 62, 1, 0, 0, 1)
    add("1q float", "apply_1q", 1.0, 1, 0, 0, 1)
    add("1q int32", "apply_1q", 2**31, 1, 0, 0, 1)
    add("1q str entry", "apply_1q", 0, "1", 0, 0, 1)
    add("cnot range", "apply_cnot_fast", top, 63)
    add("cnot negative", "apply_cnot_fast", -1, top)
    add("controlled range", "apply_controlled_1q", top, -5, 1, 0, 0, 1)
    add("swap range", "apply_swap", 63, top)
    add("swap list", "apply_swap", [0], 1)
    add("fast k=0", "apply_gate_fast", [], u2)
    add("fast k=5", "apply_gate_fast", [0, 1, 2, 3, 4], np.eye(32))
    add("fast size", "apply_gate_fast", [top, 0], u2)
    add("fast range", "apply_gate_fast", [top, 63], u4)
    add("fast repeated", "apply_gate_fast", [top, top], u4)
    add("fast str", "apply_gate_fast", "01", u4)
    add("gate size", "apply_gate", [top], np.eye(4))
    add("gate size and overlap", "apply_gate", [top], np.eye(4), [top])
    add("gate target range", "apply_gate", [n], u2)
    add("gate control range", "apply_gate", [0], u2, [n])
    add("gate repeated", "apply_gate", [top, top], u4)
    add("gate overlap", "apply_gate", [top], u2, [top])
    add("gate repeated control", "apply_gate", [0], u2, [top, top])
    add("gate dict", "apply_gate", {0: 1}, u2)
    add("gate matrix str", "apply_gate", [0], "abcd")
    add("gate too wide", "apply_gate", list(range(n_local + 1)), np.eye(1 << (n_local + 1)))
    if n_local < 4:
        add("fast too wide", "apply_gate_fast", list(range(n_local + 1)), np.eye(1 << (n_local + 1)))
    add("diagonal size", "apply_diagonal", [top], u4)
    add("diagonal count", "apply_diagonal", [], np.ones(1))
    add("diagonal range", "apply_diagonal", [0, n], u4.reshape(-1)[:4])
    add("diagonal repeated", "apply_diagonal", [top, top], np.ones(4))
    add("diagonal overlap", "apply_diagonal", [top], np.ones(2), [top])
    add("diagonal str", "apply_diagonal", [0], "ab")
    add("rotation length", "apply_pauli_rotation", "XY", [0], 1.0)
    add("rotation letter", "apply_pauli_rotation", "XÉ", [0, top], 1.0)
    add("rotation theta", "apply_pauli_rotation", "Z", [top], float("nan"))
    add("rotation theta type", "apply_pauli_rotation", "Z", [top], "1")
    add("rotation range", "apply_pauli_rotation", "Z", [top], 1.0, [n])
    add("rotation repeated", "apply_pauli_rotation", "ZX", [top, top], 1.0)
    add("rotation overlap", "apply_pauli_rotation", "X", [top], 1.0, [top])
    if n_local < n:
        add("rotation too wide", "apply_pauli_rotation", "X" * (n_local + 1), list(range(n_local + 1)), 1.0)
    ops_good = [("apply_1q", top, 1, 0, 0, 1), ("apply_cnot_fast", 0, top)]
    add("sequence first", "apply_sequence", [("apply_gate", [top, top], u4)] + ops_good)
    add("sequence middle", "apply_sequence", ops_good[:1] + [("apply_swap", -1, 0)] + ops_good[1:])
    add("sequence last", "apply_sequence", ops_good + [("apply_gate_fast", [0], u4)])
    add("sequence unknown", "apply_sequence", ops_good + [("apply_kraus_1q", 0)])
    add("sequence malformed", "apply_sequence", ops_good + [("apply_cnot_fast", 0)])
    add("sequence not tuple", "apply_sequence", ops_good + [5])
    add("sequence type", "apply_sequence", [("apply_1q", 0.5, 1, 0, 0, 1)])
    add("sequence rotation", "apply_sequence", ops_good + [("apply_pauli_rotation", "Z", [top], np.inf)])
    add("sequence diagonal", "apply_sequence", ops_good + [("apply_diagonal", [0, 0], np.ones(4), [top])])
    add("sequence rotation arity", "apply_sequence", ops_good + [("apply_pauli_rotation", "Z", [top])])
    add(
        "sequence too wide",
        "apply_sequence",
        ops_good + [("apply_gate", list(range(n_local + 1)), np.eye(1 << (n_local + 1)))],
    )
    add("probabilities range", "probabilities", [n])
    add("probabilities repeated", "probabilities", [0, 0])
    add("gather root", "gather", ranks)
    add("scatter length", "scatter", np.zeros(3))
    add("make_local range", "make_local", [n])
    add("make_local repeated", "make_local", [0, 0])
    if n_local < n:
        add("make_local too wide", "make_local", list(range(n_local + 1)))
    add("sampled range", "apply_kraus_sampled", [n], [u2], 0.5)
    add("sampled repeated", "apply_kraus_sampled", [top, top], [u4], 0.5)
    add("sampled op shape", "apply_kraus_sampled", [top], [u2, u4], 0.5)
    add("sampled no ops", "apply_kraus_sampled", [0], [], 0.5)
    add("sampled uniform", "apply_kraus_sampled", [top], [u2], 1.0)
    add("sampled nan", "apply_kraus_sampled", [0], [u2], float("nan"))
    add("sampled complex u", "apply_kraus_sampled", [0], [u2], 0.5j)
    add("sampled zero", "apply_kraus_sampled", [top, 0], [np.zeros((4, 4))], 0.5)
    if n_local < 3:
        add("sampled too wide", "apply_kraus_sampled", list(range(n_local + 1)), [np.eye(1 << (n_local + 1))], 0.5)
    return cases
