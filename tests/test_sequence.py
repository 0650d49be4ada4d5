"""apply_sequence: the kernels one by one, in one call, cache-blocked.

The oracle is the one-by-one run of the same ops through the kernels' own
bindings (each of which the other test files hold against the bit-exact
reference); one mixed sequence is also held against the reference directly.
States are large enough for several blocks per worker (2^17 and 2^18
amplitudes: blocks of 2^14 and 2^15), and the qubit choices make every
planning case: runs that fit a contiguous block, runs that need high qubits
gathered, single ops and ops too wide for any block, ops that change nothing.
"""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
import reference as ref
from helpers import UNDER_SANITIZER, assert_same_bits, misaligned, random_matrix, random_state

import velt_core

KERNELS = [
    "apply_1q",
    "apply_cnot_fast",
    "apply_controlled_1q",
    "apply_swap",
    "apply_gate_fast",
    "apply_gate",
    "apply_diagonal",
    "apply_pauli_rotation",
]
SPECIAL = np.array([np.nan, np.inf, -np.inf, -0.0, complex(0.0, -0.0), complex(np.nan, -np.inf)])


def sprinkled_matrix(rng, dim):
    """A random matrix, sometimes with NaN, infinities and signed zeros in it."""
    u = random_matrix(rng, dim)
    if rng.random() < 0.3:
        picks = rng.integers(0, dim * dim, size=max(1, dim * dim // 4))
        u.reshape(-1)[picks] = SPECIAL[rng.integers(0, len(SPECIAL), size=len(picks))]
    return u


def qubit_pool(n, placement):
    """The qubits a sequence draws from: low ones fit a contiguous block,
    high ones need gathering, spread ones a mix of both."""
    if placement == "low":
        return list(range(min(n, 6)))
    if placement == "high":
        return sorted({0, 1, *range(max(0, n - 5), n)})
    return list(range(n))


def random_op(rng, n, pool, kernel=None):
    kernel = kernel or KERNELS[rng.integers(0, len(KERNELS))]
    pick = [int(q) for q in rng.choice(pool, size=min(len(pool), 5), replace=False)]
    if kernel == "apply_1q":
        return (kernel, pick[0], *sprinkled_matrix(rng, 2).reshape(4))
    if kernel in ("apply_cnot_fast", "apply_swap"):
        return (kernel, pick[0], pick[1])
    if kernel == "apply_controlled_1q":
        return (kernel, pick[0], pick[1], *sprinkled_matrix(rng, 2).reshape(4))
    if kernel == "apply_gate_fast":
        k = int(rng.integers(1, min(4, len(pick)) + 1))
        return (kernel, pick[:k], sprinkled_matrix(rng, 1 << k))
    if kernel == "apply_diagonal":
        k = int(rng.integers(1, min(4, len(pick)) + 1))
        controls = pick[k : k + int(rng.integers(0, 2))]
        op = (kernel, pick[:k], sprinkled_matrix(rng, 1 << k)[0][: 1 << k])
        return op + (controls,) if controls or rng.random() < 0.5 else op
    if kernel == "apply_pauli_rotation":
        k = int(rng.integers(0, min(4, len(pick)) + 1))
        controls = pick[k : k + int(rng.integers(0, 2))]
        letters = "".join(rng.choice(list("IXYZ"), size=k))
        op = (kernel, letters, pick[:k], float(rng.uniform(-10, 10)))
        return op + (controls,) if controls or rng.random() < 0.5 else op
    k = int(rng.integers(0, min(3, len(pick)) + 1))
    controls = pick[k : k + int(rng.integers(0, 3))]
    op = (kernel, pick[:k], sprinkled_matrix(rng, 1 << k))
    return op + (controls,) if controls or rng.random() < 0.5 else op


def random_sequence(rng, n, placement, length):
    pool = qubit_pool(n, placement)
    return [random_op(rng, n, pool) for _ in range(length)]


def module_of(state):
    """The functions of the state's precision."""
    return velt_core.single if state.dtype == np.complex64 else velt_core


def riding_sequence(rng, n, length):
    """Gates on a few low and high qubits, mixed with diagonals and Z-string
    rotations (with controls) on any qubits: those ride in every run, their
    qubits outside the run's blocks fixed block by block."""
    gate_pool = qubit_pool(n, "high")
    ops = []
    for _ in range(length):
        if rng.random() < 0.4:
            ops.append(random_op(rng, n, gate_pool, ("apply_1q", "apply_cnot_fast", "apply_swap")[rng.integers(0, 3)]))
            continue
        pick = [int(q) for q in rng.choice(n, size=min(n, 7), replace=False)]
        diagonal = rng.random() < 0.5
        k = int(rng.integers(1 if diagonal else 0, 5))
        controls = pick[k : k + int(rng.integers(0, 3))]
        if diagonal:
            ops.append(("apply_diagonal", pick[:k], sprinkled_matrix(rng, 1 << k)[0][: 1 << k], controls))
        else:
            letters = "".join(rng.choice(list("IZZ"), size=k))
            ops.append(("apply_pauli_rotation", letters, pick[:k], float(rng.uniform(-10, 10)), controls))
    return ops


def one_by_one(state, ops):
    out = state.copy()
    for name, *args in ops:
        getattr(module_of(state), name)(out, *args)
    return out


def sequenced(state, ops):
    out = state.copy()
    assert module_of(state).apply_sequence(out, ops) is None
    return out


@pytest.mark.parametrize("placement", ["low", "high", "spread"])
@pytest.mark.parametrize("n", [3, 12, 13, 17, 18])
def test_random_sequences_match_one_by_one(rng, precision, n, placement):
    state = random_state(rng, 1 << n, special=True, dtype=precision.dtype)
    ops = random_sequence(rng, n, placement, 60)
    assert_same_bits(sequenced(state, ops), one_by_one(state, ops))


@pytest.mark.parametrize(
    "ops",
    [
        # one long run of low gates: contiguous blocks
        pytest.param([("apply_1q", q % 14, *np.eye(2).reshape(4) * 1j) for q in range(40)], id="contiguous"),
        # low and high qubits together: gathered blocks
        pytest.param(
            [("apply_1q", q, 0.6, 0.8j, 0.8j, 0.6) for q in (0, 17, 3, 16, 9, 15)]
            + [("apply_cnot_fast", 17, 2), ("apply_swap", 1, 16), ("apply_gate_fast", [16, 0, 17], np.eye(8)[::-1])],
            id="gathered",
        ),
        # alternating runs that do not fit together
        pytest.param(
            [("apply_1q", q, 0.6, 0.8, -0.8, 0.6) for q in [*range(18), *reversed(range(18))] * 2], id="many-runs"
        ),
        # a gate too wide for any block, between blocked runs
        pytest.param(
            [("apply_1q", 0, 1, 2, 3, 4), ("apply_1q", 1, 1, 2, 3, 4)]
            + [("apply_gate", [17, 3], np.arange(16).reshape(4, 4) / 7, list(range(4, 16)))]
            + [("apply_swap", 0, 17), ("apply_swap", 17, 0)],
            id="too-wide",
        ),
        # gates that fit a block but need heap scratch: each runs alone, in order,
        # between ops that stay blocked
        pytest.param(
            [("apply_1q", 1, 0.6, 0.8j, 0.8j, 0.6), ("apply_gate", [0, 1, 2], np.eye(8)[::-1], [5, 6])]
            + [("apply_gate", [6, 0, 1, 2, 3, 4, 5], np.roll(np.eye(128), 3, axis=1) * 1j, [9])]
            + [
                ("apply_cnot_fast", 2, 3),
                ("apply_gate", list(range(7)), np.eye(128)[::-1]),
                ("apply_1q", 4, 1, 2, 3, 4),
            ],
            id="heap-scratch",
        ),
        # ops that change nothing: above the register, equal qubits
        pytest.param(
            [
                ("apply_1q", 40, 1, 2, 3, 4),
                ("apply_cnot_fast", 5, 5),
                ("apply_swap", 3, 62),
                ("apply_1q", 2, 1, 2, 3, 4),
            ]
            + [("apply_controlled_1q", 7, 7, 9, 9, 9, 9), ("apply_gate_fast", [1, 30], np.ones((4, 4)))],
            id="no-ops",
        ),
        pytest.param([("apply_gate", [], np.array([[1j]]))] * 3 + [("apply_gate", [], [[2]], [17])], id="no-targets"),
        pytest.param([("apply_cnot_fast", 17, 16)], id="single-op"),
        # diagonals and rotations among blocked ops, one diagonal too large to
        # be blocked (eleven targets: its table would crowd the block out)
        pytest.param(
            [("apply_pauli_rotation", "XZ", [17, 0], 0.3), ("apply_diagonal", [2, 16], [1j, -1, 0.5, 2j], [1])]
            + [("apply_diagonal", [16, *range(10)], np.exp(1j * np.arange(2048)), [17])]
            + [("apply_pauli_rotation", "YY", [3, 15], -2.0, [16]), ("apply_pauli_rotation", "", [], 1.0)]
            + [("apply_diagonal", list(range(7, 17)), np.exp(0.5j * np.arange(1024)))],
            id="diagonals-rotations",
        ),
        # diagonals and Z-string rotations riding in runs whose blocks leave
        # out some of their qubits: targets, Z's and controls outside (15-17
        # for the contiguous blocks, 13-15 for the gathered ones), among
        # exchanges and a few 2x2 and dense gates (a NaN or an infinity mixed
        # over whole blocks would hide a wrong factor), before the first gate
        # of a run and after its last
        pytest.param(
            [("apply_diagonal", [3, 16], [1j, -1, 0.5, 2j]), ("apply_pauli_rotation", "ZIZ", [17, 15, 2], 0.9)]
            + [("apply_swap", q, 14 - q) for q in range(7)]
            + [("apply_1q", 7, 0.6, 0.8j, 0.8j, 0.6)]
            + [("apply_diagonal", [0, 15, 17], np.exp(1j * np.arange(8)), [16, 4])]
            + [("apply_pauli_rotation", "ZZ", [15, 16], -0.4, [3]), ("apply_cnot_fast", 14, 0)]
            + [("apply_pauli_rotation", "Z", [17], 2.5, [15, 16]), ("apply_diagonal", [15, 16, 17], np.arange(8) - 3j)]
            + [("apply_gate_fast", [2, 13], np.eye(4)[::-1] * 1j), ("apply_pauli_rotation", "", [], 0.2, [17])]
            + [("apply_cnot_fast", q, p) for q, p in ((0, 5), (16, 17), (9, 2), (12, 16))]
            + [("apply_diagonal", [10, 11, 13, 14, 15, 12], np.exp(0.3j * np.arange(64)), [1])]
            + [("apply_pauli_rotation", "ZZIZ", [11, 15, 13, 1], 1.1, [14]), ("apply_swap", 16, 0)],
            id="riding",
        ),
        # a run of riding ops alone, before an op too wide for any block
        pytest.param(
            [("apply_diagonal", [16, 17], [1j, -1, 0.5, 2j]), ("apply_pauli_rotation", "ZZ", [0, 17], 0.9)]
            + [("apply_diagonal", list(range(7, 18)), np.exp(0.5j * np.arange(2048)))]
            + [("apply_pauli_rotation", "Z", [16], -0.3, [17]), ("apply_1q", 17, 1, 2, 3, 4)],
            id="riding-alone",
        ),
    ],
)
def test_blocking_cases_match_one_by_one(rng, precision, ops):
    state = random_state(rng, 1 << 18, special=True, dtype=precision.dtype)
    assert_same_bits(sequenced(state, ops), one_by_one(state, ops))


@pytest.mark.parametrize("n", [13, 17, 18])
def test_riding_ops_match_one_by_one(rng, precision, n):
    state = random_state(rng, 1 << n, special=True, dtype=precision.dtype)
    ops = riding_sequence(rng, n, 80)
    assert_same_bits(sequenced(state, ops), one_by_one(state, ops))


def every_block_shape(rng, qubits):
    """Every 2x2 gate, controlled gate, CNOT and SWAP on the given qubits, each
    ordered pair once, a diagonal and two rotations: with qubits 0-2 and higher ones, every combination of
    lane and chunk qubits that a block's layout has on each instruction-set
    path (a register holds 2, 4 or 8 amplitudes, 4, 8 or 16 in complex64)."""
    ops = [("apply_1q", q, *sprinkled_matrix(rng, 2).reshape(4)) for q in qubits]
    for c in qubits:
        for t in qubits:
            if c != t:
                ops.append(("apply_controlled_1q", c, t, *sprinkled_matrix(rng, 2).reshape(4)))
                ops.append(("apply_cnot_fast", c, t))
                ops.append(("apply_swap", c, t))
    # The diagonal (targets out of order: its table reordered) and a rotation
    # run as kernel ops among the chunked ones.
    phases = np.exp(1j * rng.uniform(-3, 3, 8))
    ops.append(("apply_diagonal", [qubits[2], qubits[0], qubits[5]], phases, [qubits[1]]))
    ops.append(("apply_pauli_rotation", "XYZ", [qubits[6], qubits[1], qubits[3]], 0.7, [qubits[4]]))
    ops.append(("apply_pauli_rotation", "YY", [qubits[0], qubits[2]], -1.3))
    order = rng.permutation(len(ops))
    return [ops[i] for i in order]


@pytest.mark.parametrize("dense", ["none", "first", "middle", "last"])
@pytest.mark.parametrize(
    "qubits",
    [[0, 1, 2, 3, 4, 7, 14], [2, 0, 1, 5, 3, 16, 17], [13, 1, 15, 0, 2, 17, 3]],
    ids=["in-place", "gathered", "spread"],
)
def test_every_op_shape_in_a_block(rng, precision, qubits, dense):
    # One run (the qubits fit a block) holding every op shape, on a state of
    # several blocks (2^15 amplitudes in complex128, 2^16 in complex64); a
    # dense op (its kernel, on the block in index order) before, among or
    # after them.
    state = random_state(rng, 1 << 18, special=True, dtype=precision.dtype)
    ops = every_block_shape(rng, qubits)
    gate = ("apply_gate_fast", qubits[:3], sprinkled_matrix(rng, 8))
    at = {"none": None, "first": 0, "middle": len(ops) // 2, "last": len(ops)}[dense]
    if at is not None:
        ops.insert(at, gate)
    assert_same_bits(sequenced(state, ops), one_by_one(state, ops))


def test_mixed_sequence_matches_reference(rng, precision):
    n = 14
    state = random_state(rng, 1 << n, dtype=precision.dtype)
    ops = [random_op(rng, n, list(range(n)), kernel) for kernel in KERNELS * 4]
    expected = state
    for name, *args in ops:
        if name in ("apply_1q", "apply_controlled_1q"):
            args = [*args[:-4], args[-4:]]
        if name == "apply_pauli_rotation":
            args[2] = ref.cos_sin_half(args[2])
        expected = {
            "apply_1q": ref.apply_1q,
            "apply_cnot_fast": ref.apply_cnot,
            "apply_controlled_1q": ref.apply_controlled_1q,
            "apply_swap": ref.apply_swap,
            "apply_gate_fast": ref.apply_gate_fast,
            "apply_gate": ref.apply_gate,
            "apply_diagonal": ref.apply_diagonal,
            "apply_pauli_rotation": ref.apply_pauli_rotation,
        }[name](expected, *args)
    assert_same_bits(sequenced(state, ops), expected, any_nan=True)


@pytest.mark.parametrize("length", [0, 1, 2, 7, 48, 3 * 2**11 + 5])
def test_lengths_without_blocks(rng, precision, length):
    # Lengths that are not powers of two, and tiny ones, run the kernels one by one.
    state = random_state(rng, length, special=True, dtype=precision.dtype)
    ops = [("apply_1q", q, *sprinkled_matrix(rng, 2).reshape(4)) for q in (0, 3, 1, 12, 2)]
    ops += [("apply_cnot_fast", 0, 4), ("apply_gate_fast", [2, 0], sprinkled_matrix(rng, 4))]
    if length in (1, 2):
        ops.append(("apply_gate", [], [[-1j]]))
    assert_same_bits(sequenced(state, ops), one_by_one(state, ops))


def test_empty_sequence_changes_nothing(rng):
    state = random_state(rng, 1 << 13, special=True)
    before = state.copy()
    velt_core.apply_sequence(state, [])
    velt_core.apply_sequence(state, iter(()))
    assert_same_bits(state, before)


def test_ops_as_lists_generators_and_arrays(rng):
    state = random_state(rng, 1 << 10)
    ops = [("apply_gate", np.array([3, 1]), random_matrix(rng, 4).tolist(), range(5, 7))]
    ops += [["apply_1q", np.int64(2), 1, 0.5, np.complex64(2j), True], ("apply_gate", (q for q in [4]), np.eye(2))]
    expected = one_by_one(state, [tuple(op) for op in ops[:2]] + [("apply_gate", [4], np.eye(2))])
    assert_same_bits(sequenced(state, (op for op in ops)), expected)


def test_state_follows_the_kernels_rules(rng):
    ops = [("apply_1q", 0, 0, 1, 1, 0), ("apply_swap", 0, 2)]
    values = random_state(rng, 8)
    expected = one_by_one(values, ops)
    as_list = values.tolist()
    velt_core.apply_sequence(as_list, ops)  # converted temporary: updated and dropped
    assert as_list == values.tolist()
    frozen = values.copy()
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="^apply_sequence: state is read-only$"):
        velt_core.apply_sequence(frozen, ops)
    with pytest.raises(RuntimeError, match="^apply_sequence: state must have at least one dimension$"):
        velt_core.apply_sequence(np.array(1j), ops)
    shifted, buffer = misaligned(values, 3)
    before = buffer.copy()
    velt_core.apply_sequence(shifted, ops)
    assert_same_bits(shifted, expected)
    outside = np.r_[0:3, 3 + values.nbytes : len(buffer)]
    assert np.array_equal(buffer[outside], before[outside])


GOOD = [("apply_1q", 0, 1, 2, 3, 4), ("apply_gate", [1, 2], np.eye(4)), ("apply_cnot_fast", 3, 0)] * 4
BAD_OPS = [
    (("apply_1q", 62, 1, 0, 0, 1), RuntimeError, "apply_1q: qubit index out of range"),
    (("apply_cnot_fast", 1, -1), RuntimeError, "apply_cnot_fast: qubit index out of range"),
    (("apply_controlled_1q", 63, 0, 1, 0, 0, 1), RuntimeError, "apply_controlled_1q: qubit index out of range"),
    (("apply_swap", 0, 99), RuntimeError, "apply_swap: qubit index out of range"),
    (("apply_gate_fast", [0, 1, 2, 3, 4], np.eye(32)), RuntimeError, "apply_gate_fast: k out of supported range"),
    (("apply_gate_fast", [0, 1], np.eye(2)), RuntimeError, "apply_gate_fast: matrix size mismatch"),
    (("apply_gate_fast", [3, 3], np.eye(4)), RuntimeError, "apply_gate_fast: repeated target qubit"),
    (("apply_gate", [0], np.eye(4)), RuntimeError, r"apply_gate: matrix size does not match 2\^\|targets\|"),
    (("apply_gate", [5], np.eye(2)), RuntimeError, "apply_gate: qubit index out of range"),
    (("apply_gate", [1], np.eye(2), [5]), RuntimeError, "apply_gate: qubit index out of range"),
    (("apply_gate", [2, 2], np.eye(4)), RuntimeError, "apply_gate: repeated target qubit"),
    (("apply_gate", [2], np.eye(2), [0, 2]), RuntimeError, "apply_gate: control overlaps a target qubit"),
    (("apply_gate", [2], np.eye(2), [0, 0]), RuntimeError, "apply_gate: control overlaps a target qubit"),
    (("apply_kraus_1q", 0, 0, []), ValueError, "unknown kernel 'apply_kraus_1q'"),
    (("cpu_dispatch_tier",), ValueError, "unknown kernel 'cpu_dispatch_tier'"),
    # A name UTF-8 cannot hold (a lone surrogate) is named with an escape.
    (("apply_1q\ud800", 0, 1, 0, 0, 1), ValueError, r"unknown kernel 'apply_1q\\ud800'$"),
    (("\udcff",), ValueError, r"unknown kernel '\\udcff'$"),
    (("apply_swé", 0, 1), ValueError, "unknown kernel 'apply_swé'$"),
    (("apply_1q", 0, 1, 0, 0), ValueError, "apply_1q takes 5 arguments after the state, got 4"),
    (("apply_gate", [0]), ValueError, "apply_gate takes 2 or 3 arguments after the state, got 1"),
    (("apply_swap", 0, 1, 2), ValueError, "apply_swap takes 2 arguments after the state, got 3"),
    ((), ValueError, r"an op is a tuple \(kernel name, arguments...\)"),
    ((0, 1), ValueError, r"an op is a tuple \(kernel name, arguments...\)"),
    ("apply_1q", ValueError, r"an op is a tuple \(kernel name, arguments...\)"),
    (("apply_1q", 1.0, 1, 0, 0, 1), TypeError, "apply_1q\\(\\): incompatible function arguments"),
    (("apply_cnot_fast", 0, 2**31), TypeError, "apply_cnot_fast\\(\\): incompatible function arguments"),
    (("apply_gate", "01", np.eye(4)), TypeError, "apply_gate\\(\\): incompatible function arguments"),
    (("apply_gate_fast", [0], "not a matrix"), TypeError, "apply_gate_fast\\(\\): incompatible function arguments"),
    (("apply_controlled_1q", 0, 1, 1, 0, 0, "x"), TypeError, "apply_controlled_1q\\(\\): incompatible"),
    (("apply_diagonal", [0], np.ones(4)), RuntimeError, r"apply_diagonal: diagonal size does not match 2\^\|targets\|"),
    (("apply_diagonal", [4], np.ones(2)), RuntimeError, "apply_diagonal: qubit index out of range"),
    (("apply_diagonal", [1, 1], np.ones(4)), RuntimeError, "apply_diagonal: repeated target qubit"),
    (("apply_diagonal", [1], np.ones(2), [1]), RuntimeError, "apply_diagonal: control overlaps a target qubit"),
    (("apply_diagonal", [0], "ab"), TypeError, "apply_diagonal\\(\\): incompatible function arguments"),
    (("apply_pauli_rotation", "XQ", [0, 1], 1.0), RuntimeError, "apply_pauli_rotation: Pauli letter is not one of"),
    (("apply_pauli_rotation", "X", [0], np.nan), RuntimeError, "apply_pauli_rotation: theta is not finite"),
    (("apply_pauli_rotation", "X", [0, 1], 1.0), RuntimeError, "apply_pauli_rotation: Pauli string length does not"),
    (("apply_pauli_rotation", "X", [0], 1.0, [0]), RuntimeError, "apply_pauli_rotation: control overlaps a qubit"),
    (
        ("apply_pauli_rotation", "X", [0]),
        ValueError,
        "apply_pauli_rotation takes 3 or 4 arguments after the state, got 2",
    ),
    (("apply_pauli_rotation", 5, [0], 1.0), TypeError, "apply_pauli_rotation\\(\\): incompatible function"),
]


@pytest.mark.parametrize("position", ["first", "middle", "last"])
@pytest.mark.parametrize(("bad", "error", "message"), BAD_OPS, ids=[str(i) for i in range(len(BAD_OPS))])
def test_bad_op_leaves_state_unchanged_and_names_its_index(rng, precision, position, bad, error, message):
    index = {"first": 0, "middle": len(GOOD) // 2, "last": len(GOOD)}[position]
    ops = GOOD[:index] + [bad] + GOOD[index:]
    state = random_state(rng, 1 << 4, special=True, dtype=precision.dtype)
    before = state.copy()
    with pytest.raises(error, match=f"^apply_sequence: op {index}: {message}"):
        precision.module.apply_sequence(state, ops)
    assert_same_bits(state, before)


def test_apply_gate_op_on_a_length_that_is_not_a_power_of_two(rng):
    state = random_state(rng, 12)
    before = state.copy()
    ops = [("apply_1q", 0, 0, 1, 1, 0), ("apply_gate", [0], np.eye(2))]
    with pytest.raises(RuntimeError, match="^apply_sequence: op 1: apply_gate: state length is not a power of two$"):
        velt_core.apply_sequence(state, ops)
    assert_same_bits(state, before)


def test_first_bad_op_is_the_one_reported(rng):
    state = random_state(rng, 8)
    ops = [("apply_1q", 0, 1, 0, 0, 1), ("apply_swap", 0, 70), ("nonsense",)]
    with pytest.raises(RuntimeError, match="^apply_sequence: op 1: apply_swap: qubit index out of range$"):
        velt_core.apply_sequence(state, ops)


def test_matrices_are_read_as_the_call_began(rng, precision):
    # A matrix that the ops themselves overwrite (it shares the state's memory)
    # counts with the values it had when apply_sequence was called.
    state = random_state(rng, 1 << 4, dtype=precision.dtype)
    u = state[:4]
    ops = [("apply_1q", 3, 0, 1, 1, 0), ("apply_gate_fast", [1], u)]
    frozen = u.copy()
    expected = one_by_one(state, [ops[0], ("apply_gate_fast", [1], frozen)])
    precision.module.apply_sequence(state, ops)
    assert_same_bits(state, expected)


def test_diagonal_tables_are_read_as_the_call_began(rng):
    state = random_state(rng, 1 << 4)
    table = state[8:12]
    ops = [("apply_1q", 3, 0, 1, 1, 0), ("apply_diagonal", [2, 0], table)]
    expected = one_by_one(state, [ops[0], ("apply_diagonal", [2, 0], table.copy())])
    velt_core.apply_sequence(state, ops)
    assert_same_bits(state, expected)


# Hashes of apply_sequence's results over sequences and sizes that make every
# blocking case, and whether each equals the one-by-one run in that process.
# The second hash replaces every NaN by one fixed NaN first: where both
# operands of an addition are NaN, which one survives may differ between
# instruction-set paths (never between runs of one path), so paths agree on
# everything else, the bits of every other value included.
WORKLOAD = """
    import hashlib, sys
    import numpy as np
    sys.path.insert(0, {tests!r})
    import test_sequence as t
    import velt_core
    rng = np.random.default_rng(20261208)
    exact, canonical, same = hashlib.sha256(), hashlib.sha256(), True
    cases = ((18, "spread"), (18, "high"), (17, "low"), (16, "spread"), (12, "spread"))
    for (n, placement), dtype in zip(cases + cases[::2], [np.complex128] * 5 + [np.complex64] * 3):
        state = t.random_state(rng, 1 << n, special=True, dtype=dtype)
        ops = t.random_sequence(rng, n, placement, 80)
        got = t.sequenced(state, ops)
        exact.update(got.tobytes())
        words = got.view(np.float64 if dtype == np.complex128 else np.float32).copy()
        words[np.isnan(words)] = np.nan
        canonical.update(words.tobytes())
        same &= bool(np.array_equal(got.view(np.uint8), t.one_by_one(state, ops).view(np.uint8)))
    for n, dtype in ((18, np.complex128), (17, np.complex128), (17, np.complex64)):
        state = t.random_state(rng, 1 << n, special=True, dtype=dtype)
        ops = t.riding_sequence(rng, n, 80)
        got = t.sequenced(state, ops)
        exact.update(got.tobytes())
        words = got.view(np.float64 if dtype == np.complex128 else np.float32).copy()
        words[np.isnan(words)] = np.nan
        canonical.update(words.tobytes())
        same &= bool(np.array_equal(got.view(np.uint8), t.one_by_one(state, ops).view(np.uint8)))
    print(exact.hexdigest(), canonical.hexdigest(), same, getattr(velt_core, "kernel_isa", lambda: "none")())
"""


def _workload_digest(threads, extra_env=None):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), **(extra_env or {}))
    code = textwrap.dedent(WORKLOAD.format(tests=str(Path(__file__).parent)))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    return out.stdout.split()


def test_same_bits_for_any_thread_count():
    results = {threads: _workload_digest(threads) for threads in (1, 2, 3)}
    assert all(same == "True" for _, _, same, _ in results.values()), results
    assert len({exact for exact, _, _, _ in results.values()}) == 1, results


@pytest.mark.parametrize("isa", ["sse2", "avx2", "avx512f"])
def test_same_bits_on_every_instruction_set_path(isa):
    if not hasattr(velt_core, "kernel_isa"):
        pytest.skip("this build has a single instruction-set path")
    env = {"VELT_ISA": isa}
    probe = subprocess.run([sys.executable, "-c", "import velt_core"], env=dict(os.environ, **env), capture_output=True)
    if probe.returncode != 0:
        pytest.skip(f"this CPU cannot run the {isa} path")
    baseline = _workload_digest(1, {"VELT_ISA": "sse2"})
    _, canonical, same, chosen = _workload_digest(2, env)
    assert chosen == isa and same == "True"
    assert canonical == baseline[1]


def _child(code, threads, timeout=300):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    code = textwrap.dedent(code).replace("TESTS", repr(str(Path(__file__).parent)))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=timeout)
    assert out.returncode == 0, out.stderr
    return out.stdout.split()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
@pytest.mark.skipif(UNDER_SANITIZER, reason="ASan's shadow memory does not fit under a tight address-space limit")
@pytest.mark.skipif(
    len(os.sched_getaffinity(0)) < 128 if hasattr(os, "sched_getaffinity") else True,
    reason="the pool runs a thread per CPU, too few here for a scratch above the cap; "
    "test_alloc_failure refuses each of the sequence's allocations in turn instead",
)
def test_no_write_before_an_allocation_fails():
    # A wide apply_gate op (heap scratch of 128 KiB for each worker, 16 MiB
    # and more with 128 workers) after an op that writes: with the address
    # space capped above the 16 MiB copy of its matrix but below the scratch,
    # the call must fail before the first op writes.  A gate that needs no
    # heap scratch still runs under the cap, and the wide one runs once the
    # cap is lifted.
    code = """
        import resource, sys
        import numpy as np
        sys.path.insert(0, TESTS)
        import test_sequence as t
        import velt_core

        rng = np.random.default_rng(7)
        state = t.random_state(rng, 1 << 14, special=True)
        h = 2**-0.5
        wide = [("apply_1q", 0, h, h, h, -h), ("apply_gate", list(range(1, 11)), t.random_matrix(rng, 1024))]
        narrow = [("apply_1q", 0, h, h, h, -h), ("apply_gate", list(range(1, 7)), t.random_matrix(rng, 64))]
        expected_wide, expected_narrow = t.one_by_one(state, wide), t.one_by_one(state, narrow)
        with open("/proc/self/status") as f:
            mapped = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (24 << 20), hard))
        def same(a, b):
            return np.array_equal(a.view(np.uint64), b.view(np.uint64))

        got = state.copy()
        try:
            velt_core.apply_sequence(got, wide)
            print("no-error")
        except MemoryError:
            print("memory-error")
        print("unchanged" if same(got, state) else "changed")
        print("narrow-ok" if same(t.sequenced(state, narrow), expected_narrow) else "narrow-wrong")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print("wide-ok" if same(t.sequenced(state, wide), expected_wide) else "wide-wrong")
    """
    assert _child(code, 256) == ["memory-error", "unchanged", "narrow-ok", "wide-ok"]


INTERRUPTED = """
    import os, re, signal, subprocess, sys
    import numpy as np
    sys.path.insert(0, TESTS)
    import test_sequence as t
    import velt_core

    length, handler = int(sys.argv[1]), sys.argv[2]
    if handler == "other":
        def stop(signum, frame):
            raise RuntimeError("stopped by the handler")
        signal.signal(signal.SIGINT, stop)
    rng = np.random.default_rng(11)
    n = max(1, (length - 1).bit_length())
    state = t.random_state(rng, length)
    # Thousands of 2x2 gates cycling through every qubit: a run ends every
    # fifteen ops or so, and the whole sequence takes seconds.
    ops = []
    for i in range(6000):
        q = (7 * i) % n
        if i % 3:
            ops.append(("apply_1q", q, *t.random_matrix(rng, 2).reshape(4) / 2))
        else:
            ops.append(("apply_cnot_fast", q, (q + 1) % n))
    # Ctrl-C from outside, as a terminal sends it, while the call runs.
    subprocess.Popen(["sh", "-c", f"sleep 0.3 && kill -INT {os.getpid()}"])
    got = state.copy()
    try:
        velt_core.apply_sequence(got, ops)
        print("finished")
        sys.exit(0)
    except (KeyboardInterrupt, RuntimeError) as error:
        print(type(error).__name__, type(error.__cause__).__name__)
        text = str(error) + " ".join(getattr(error, "__notes__", []))
    match = re.search(r"apply_sequence: interrupted after (\\d+) of (\\d+) ops", text)
    if match is None:
        print("no-count")
        sys.exit(0)
    applied = int(match[1])
    print("partial" if 0 < applied < len(ops) == int(match[2]) else f"applied={applied}")
    same = np.array_equal(got.view(np.uint64), t.one_by_one(state, ops[:applied]).view(np.uint64))
    print("prefix" if same else "not-a-prefix")
"""


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("length", [1 << 20, 3 << 18], ids=["blocked", "one-by-one"])
def test_ctrl_c_stops_between_runs_with_a_prefix_applied(length, threads):
    words = _child(INTERRUPTED.replace("sys.argv[1]", str(length)).replace("sys.argv[2]", '"default"'), threads)
    assert words == ["KeyboardInterrupt", "KeyboardInterrupt", "partial", "prefix"]


def test_another_signal_handler_exception_goes_on_with_the_count():
    words = _child(INTERRUPTED.replace("sys.argv[1]", str(1 << 20)).replace("sys.argv[2]", '"other"'), 1)
    if sys.version_info >= (3, 11):
        assert words == ["RuntimeError", "NoneType", "partial", "prefix"]
    else:  # no exception notes: the count is not attached
        assert words == ["RuntimeError", "NoneType", "no-count"]
