"""apply_gate_fast and apply_gate: dense gates on several targets."""

import re
from itertools import combinations, permutations

import numpy as np
import pytest
import reference as ref
from helpers import assert_same_bits, random_matrix, random_state

import velt_core

KERNELS = ["apply_gate_fast", "apply_gate"]
SWAP_2_3 = np.eye(4, dtype=complex)[[0, 1, 3, 2]]  # exchanges gate indices 2 and 3


def call(kernel, psi, targets, u, controls=(), module=velt_core):
    if kernel == "apply_gate_fast":
        assert not controls
        return module.apply_gate_fast(psi, targets, u)
    return module.apply_gate(psi, targets, u, list(controls))


def expect(kernel, psi, targets, u, controls=()):
    if kernel == "apply_gate_fast":
        return ref.apply_gate_fast(psi, targets, u)
    return ref.apply_gate(psi, targets, u, controls)


def assert_matches_reference(psi, before, expected, addresses):
    """Computed amplitudes equal the reference up to which of two NaNs
    propagates; all others keep their exact bits."""
    assert_same_bits(psi, expected, any_nan=True)
    untouched = np.ones(len(psi), dtype=bool)
    untouched[addresses.ravel()] = False
    assert_same_bits(psi[untouched], before[untouched])


@pytest.mark.parametrize("length", [2**7, 2**10, 3 * 2**6 + 5])
@pytest.mark.parametrize("k", [1, 2, 3, 4])
def test_fast_matches_reference(rng, precision, k, length):
    for _ in range(4):
        # Targets in random order, some of them at or above the register width.
        targets = rng.choice(9, size=k, replace=False).tolist()
        psi = random_state(rng, length, special=True, dtype=precision.dtype)
        before = psi.copy()
        u = random_matrix(rng, 1 << k)
        expected = ref.apply_gate_fast(psi, targets, u)
        assert precision.module.apply_gate_fast(psi, targets, u) is None
        groups = ref.group_addresses(ref.fast_limit(length, targets), targets)
        assert_matches_reference(psi, before, expected, groups)


@pytest.mark.parametrize("length", [2, 4, 8, 32, 2**7, 3 * 2**6 + 5, 2**10 + 3])
@pytest.mark.parametrize("k", [0, 1, 2, 3, 4, 5])
def test_lowest_targets_in_order_match_reference(rng, precision, k, length):
    # Targets 0..k-1 in this order: groups of consecutive amplitudes, which
    # small gates update a register-sized chunk at a time, controls inside the
    # chunk selecting lanes, and gates without controls up to four chunks at a
    # time.
    targets = list(range(k))
    u = random_matrix(rng, 1 << k)
    vc = precision.module
    for kernel in ["apply_gate"] if k in (0, 5) else ["apply_gate", "apply_gate_fast"]:
        psi = random_state(rng, length, special=True, dtype=precision.dtype)
        before = psi.copy()
        if kernel == "apply_gate_fast":
            expected = ref.apply_gate_fast(psi, targets, u)
            vc.apply_gate_fast(psi, targets, u)
            assert_matches_reference(psi, before, expected, ref.group_addresses((length >> k) << k, targets))
            continue
        # Controls inside a register-sized chunk, and one above it.
        for controls in ([], [k], [k + 1, k], [k, 5]):
            if len(set(controls)) < len(controls):
                continue
            if length & (length - 1) or length < 1 << (max(controls, default=k - 1) + 1):
                continue  # apply_gate needs a power of two holding every qubit
            psi[:] = before
            expected = ref.apply_gate(before, targets, u, controls)
            vc.apply_gate(psi, targets, u, controls)
            groups = ref.group_addresses(length, targets, controls)
            assert_matches_reference(psi, before, expected, groups)


@pytest.mark.parametrize(("k", "n_controls"), [(1, 0), (2, 1), (3, 2), (4, 0), (5, 0), (5, 1), (5, 5)])
def test_qubits_above_the_batch_match_reference(rng, precision, k, n_controls):
    # Every target and control at qubit 3 or above: whole batches of
    # consecutive groups go through the registers; with ten qubits in the
    # walk a tile holds fewer groups than a batch.
    n = k + n_controls + 4
    for kernel in KERNELS if n_controls == 0 and k <= 4 else ["apply_gate"]:
        qubits = (3 + rng.permutation(n - 3)).tolist()
        targets, controls = qubits[:k], qubits[k : k + n_controls]
        # Specials (NaN, infinities) would fill every wide group with NaN and
        # hide wrong sums: only the narrow gates get them.
        psi = random_state(rng, 1 << n, special=k <= 2, dtype=precision.dtype)
        before = psi.copy()
        u = random_matrix(rng, 1 << k)
        expected = expect(kernel, psi, targets, u, controls)
        call(kernel, psi, targets, u, controls, precision.module)
        groups = ref.group_addresses(1 << n, targets, controls)
        assert_matches_reference(psi, before, expected, groups)


@pytest.mark.parametrize("n_controls", [0, 1, 2, 3])
@pytest.mark.parametrize("k", range(7))
def test_general_matches_reference(rng, precision, k, n_controls):
    n = k + n_controls + 2
    for _ in range(3):
        qubits = rng.permutation(n).tolist()
        targets, controls = qubits[:k], qubits[k : k + n_controls]
        # Wide groups with specials would all turn NaN: only narrow gates get them.
        psi = random_state(rng, 1 << n, special=k <= 3, dtype=precision.dtype)
        before = psi.copy()
        u = random_matrix(rng, 1 << k)
        expected = ref.apply_gate(psi, targets, u, controls)
        assert precision.module.apply_gate(psi, targets, u, controls) is None
        groups = ref.group_addresses(1 << n, targets, controls)
        assert_matches_reference(psi, before, expected, groups)


def placements(n):
    """Every ordered target list with every control set among the other qubits."""
    for k in range(n + 1):
        for targets in permutations(range(n), k):
            rest = [q for q in range(n) if q not in targets]
            for c in range(len(rest) + 1):
                for controls in combinations(rest, c):
                    yield list(targets), list(controls)


@pytest.mark.parametrize(
    ("kernel", "n"),
    # n = 0: a single amplitude, on which only an empty target list fits
    [("apply_gate_fast", 1), ("apply_gate_fast", 4), ("apply_gate", 0), ("apply_gate", 1), ("apply_gate", 4)],
)
def test_every_placement_agrees_with_kron_operator(rng, precision, kernel, n):
    cases = [(t, c) for t, c in placements(n) if kernel == "apply_gate" or (not c and 1 <= len(t) <= 4)]
    assert cases
    close = 1e-12 if precision.dtype == np.complex128 else 1e-5
    for targets, controls in cases:
        psi = random_state(rng, 1 << n, dtype=precision.dtype)
        u = random_matrix(rng, 1 << len(targets))
        expected = expect(kernel, psi, targets, u, controls)
        dense = ref.kron_gate(n, targets, u, controls) @ psi.astype(np.complex128)
        np.testing.assert_allclose(expected, dense, rtol=close, atol=close, err_msg=f"{targets} {controls}")
        call(kernel, psi, targets, u, controls, precision.module)
        assert_same_bits(psi, expected)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize(("targets", "order"), [([0, 1], [0, 1, 3, 2]), ([1, 0], [0, 3, 2, 1])])
def test_bit_order_of_targets(kernel, targets, order):
    psi = np.array([10, 11, 12, 13], dtype=complex)
    call(kernel, psi, targets, SWAP_2_3)
    assert psi.tolist() == [10 + i for i in order]


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("shape", [(16,), (2, 8), (2, 2, 2, 2)])
def test_matrix_shape_is_not_consulted(rng, kernel, shape):
    psi = random_state(rng, 8)
    square = psi.copy()
    u = random_matrix(rng, 4)
    call(kernel, square, [2, 0], u)
    call(kernel, psi, [2, 0], u.reshape(shape))
    assert_same_bits(psi, square)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("start", [0, 7, 48])
def test_matrix_sharing_the_states_memory_applies_as_it_was(rng, precision, kernel, start):
    # u is a view into the state: the gate is u as it was when the call began,
    # not entries that some worker has already overwritten.
    psi = random_state(rng, 64, dtype=precision.dtype)
    u = psi[start : start + 16]
    expected = expect(kernel, psi, [5, 1], u.copy())
    call(kernel, psi, [5, 1], u, (), precision.module)
    assert_same_bits(psi, expected, any_nan=True)


@pytest.mark.parametrize("kernel", KERNELS)
def test_identity_spreads_nan_through_zero_entries(kernel):
    psi = np.array([1, np.nan, 2, 3], dtype=complex)
    call(kernel, psi, [0], np.eye(2))
    assert np.isnan(psi[0]) and psi[2:].tolist() == [2, 3]


@pytest.mark.parametrize("kernel", KERNELS)
def test_state_length_is_first_extent(rng, kernel):
    grid = random_state(rng, 16).reshape(4, 4)
    column = grid.reshape(16, 1)[:4].copy()
    flat = grid.reshape(16).copy()
    u = random_matrix(rng, 4)
    call(kernel, grid, [1, 0], u)
    call(kernel, column, [1, 0], u)  # shape (4, 1) reads like four amplitudes
    expected = expect(kernel, flat[:4], [1, 0], u)
    assert_same_bits(grid.reshape(16), np.concatenate([expected, flat[4:]]))
    assert_same_bits(column.reshape(4), expected)


@pytest.mark.parametrize(
    ("length", "targets", "touched"),
    [
        (53, [1, 3], 48),  # whole blocks of 2^4 only
        (53, [5, 0], 0),  # a block of 2^6 does not fit
        (0, [0], 0),
        (8, [3], 0),  # target at the register width
        (8, [0, 62], 0),  # largest accepted target
        (16, [2, 1, 0, 3], 16),
    ],
)
def test_fast_touches_only_whole_groups(rng, precision, length, targets, touched):
    psi = random_state(rng, length, dtype=precision.dtype)
    before = psi.copy()
    u = random_matrix(rng, 1 << len(targets))
    precision.module.apply_gate_fast(psi, targets, u)
    assert_same_bits(psi, ref.apply_gate_fast(before, targets, u))
    assert_same_bits(psi[touched:], before[touched:])
    if touched:
        assert not np.array_equal(psi[:touched], before[:touched])


def u_of(k):
    return np.eye(1 << k, dtype=complex)


FAST, GENERAL = KERNELS
FAILURES = [
    # (kernel, length, targets, u, controls, message); the first fault listed wins
    (FAST, 8, [], u_of(1), [], "k out of supported range"),
    (FAST, 64, [0, 1, 2, 3, 4], u_of(5), [], "k out of supported range"),
    (FAST, 64, [0, 1, 2, 3, 4], u_of(1), [], "k out of supported range"),
    (FAST, 8, [0, 1], u_of(1), [], "matrix size mismatch"),
    (FAST, 8, [1, 1], u_of(1), [], "matrix size mismatch"),
    (FAST, 8, [0, -1], u_of(2), [], "qubit index out of range"),
    (FAST, 8, [63], u_of(1), [], "qubit index out of range"),
    (FAST, 8, [2**31 - 1], u_of(1), [], "qubit index out of range"),
    (FAST, 8, [-1, -1], u_of(2), [], "qubit index out of range"),
    (FAST, 8, [2, 0, 2], u_of(3), [], "repeated target qubit"),
    (GENERAL, 4, [0], np.zeros(8), [], "matrix size does not match 2^|targets|"),
    (GENERAL, 4, [0], u_of(2), [0], "matrix size does not match 2^|targets|"),
    (GENERAL, 4, [0] * 32, np.zeros(0), [], "matrix size does not match 2^|targets|"),  # 4^32 wraps to 0
    (GENERAL, 4, [0] * 40, u_of(0), [], "matrix size does not match 2^|targets|"),
    (GENERAL, 3, [0], u_of(2), [], "matrix size does not match 2^|targets|"),
    (GENERAL, 3, [0], u_of(1), [], "state length is not a power of two"),
    (GENERAL, 0, [], u_of(0), [], "state length is not a power of two"),
    (GENERAL, 4, [2], u_of(1), [], "qubit index out of range"),
    (GENERAL, 4, [0], u_of(1), [-1], "qubit index out of range"),
    (GENERAL, 4, [5, 5], u_of(2), [], "qubit index out of range"),
    (GENERAL, 1, [], u_of(0), [0], "qubit index out of range"),
    (GENERAL, 4, [1, 1], u_of(2), [], "repeated target qubit"),
    (GENERAL, 4, [1, 1], u_of(2), [1], "repeated target qubit"),
    (GENERAL, 4, [0], u_of(1), [0], "control overlaps a target qubit"),
    (GENERAL, 4, [0], u_of(1), [1, 1], "control overlaps a target qubit"),
]


@pytest.mark.parametrize(("kernel", "length", "targets", "u", "controls", "message"), FAILURES)
def test_failures_leave_state_unchanged(rng, precision, kernel, length, targets, u, controls, message):
    psi = random_state(rng, length, dtype=precision.dtype)
    before = psi.copy()
    with pytest.raises(RuntimeError, match="^" + re.escape(f"{kernel}: {message}") + "$"):
        call(kernel, psi, targets, u, controls, precision.module)
    assert_same_bits(psi, before)


@pytest.mark.parametrize("kernel", KERNELS)
def test_unusable_states_are_refused_unchanged(rng, precision, kernel):
    scalar = np.array(1 + 2j, dtype=precision.dtype)
    with pytest.raises(RuntimeError, match=f"^{kernel}: state must have at least one dimension$"):
        call(kernel, scalar, [0], u_of(1), (), precision.module)
    assert scalar == 1 + 2j
    psi = random_state(rng, 8, dtype=precision.dtype)
    before = psi.copy()
    psi.flags.writeable = False
    with pytest.raises(ValueError, match=f"^{kernel}: state is read-only$"):
        call(kernel, psi, [0], u_of(1), (), precision.module)
    assert_same_bits(psi, before)


def test_general_keywords_and_default_controls(rng):
    psi = random_state(rng, 8)
    u = random_matrix(rng, 2)
    results = []
    for args, kwargs in [
        ((psi.copy(), [2], u), {}),
        ((psi.copy(), [2], u, []), {}),
        ((), {"u": u, "controls": [], "targets": [2], "state": psi.copy()}),
        ((psi.copy(),), {"controls": [], "u": u, "targets": [2]}),
    ]:
        state = args[0] if args else kwargs["state"]
        velt_core.apply_gate(*args, **kwargs)
        results.append(state)
    assert not np.array_equal(results[0], psi)
    for other in results[1:]:
        assert_same_bits(other, results[0])
    with pytest.raises(TypeError):
        velt_core.apply_gate_fast(psi, targets=[0], u=u)
    with pytest.raises(TypeError):
        velt_core.apply_gate(psi, [0], u, [], [])


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize(
    ("make", "ok"),
    [
        pytest.param(tuple, True, id="tuple"),
        pytest.param(lambda t: range(t[0], t[1] + 1), True, id="range"),
        pytest.param(np.array, True, id="ndarray"),
        pytest.param(lambda t: (q for q in t), True, id="generator"),
        pytest.param(lambda t: "".join(map(str, t)), False, id="str"),
        pytest.param(lambda t: dict.fromkeys(t), False, id="dict"),
        pytest.param(lambda t: [float(q) for q in t], False, id="float-element"),
    ],
)
def test_target_sequence_conversion(rng, kernel, make, ok):
    psi = random_state(rng, 8)
    u = random_matrix(rng, 4)
    expected = expect(kernel, psi, [1, 2], u)
    if ok:
        call(kernel, psi, make([1, 2]), u)
        assert_same_bits(psi, expected)
    else:
        before = psi.copy()
        with pytest.raises(TypeError):
            call(kernel, psi, make([1, 2]), u)
        assert_same_bits(psi, before)
