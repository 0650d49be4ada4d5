"""Noise beyond one qubit: apply_kraus, apply_unitary_rho, apply_kraus_sampled,
and the renormalisation of tiny probabilities (in measure too).

The oracles are the bit-exact references of tests/reference.py; the
references are guarded by dense linear algebra (np.kron operators, U rho U^dagger,
sums of K rho K^dagger) and by velt_core's own functions where the contract
names them (apply_kraus_1q, two apply_gate calls, probabilities).
"""

import math
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

I2 = np.eye(2, dtype=complex)
PAULIS = [I2, np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1.0, -1.0])]


def random_rho(rng, n, special=False, dtype=np.complex128):
    """Random, deliberately non-Hermitian 2^n x 2^n matrix."""
    return random_state(rng, 4**n, special=special, dtype=dtype).reshape(1 << n, 1 << n)


def physical_rho(rng, n):
    a = random_matrix(rng, 1 << n)
    rho = a @ a.conj().T
    return rho / np.trace(rho)


def depolarising(k, p):
    """Kraus operators of the k-qubit depolarising channel: I with weight 1 - p,
    each other Pauli string with p / (4^k - 1)."""
    out = []
    for index in range(4**k):
        op = np.eye(1)
        for d in range(k):
            op = np.kron(PAULIS[(index >> (2 * d)) & 3], op)  # letter d acts on qubits[d]
        out.append(np.sqrt(1 - p if index == 0 else p / (4**k - 1)) * op)
    return out


def qubit_choices(rng, n, k, tries=3):
    """Qubit lists of k distinct qubits below n: low, high, reversed, random."""
    out = [list(range(k)), list(range(n - k, n))[::-1]]
    out += [list(rng.permutation(n)[:k]) for _ in range(tries)]
    return [list(map(int, q)) for q in out]


# ---------------------------------------------------------------- apply_kraus


@pytest.mark.parametrize("real", [False, True], ids=["complex-ops", "real-ops"])
@pytest.mark.parametrize(("n", "k"), [(1, 1), (3, 1), (2, 2), (3, 2), (5, 2), (3, 3), (4, 3), (6, 3)])
def test_kraus_matches_reference(rng, precision, n, k, real):
    for qubits in qubit_choices(rng, n, k):
        for count in (1, 3, 4**k):
            ops = [random_matrix(rng, 1 << k) for _ in range(count)]
            if real:
                ops = [op.real + 0j for op in ops]
            rho = random_rho(rng, n, special=True, dtype=precision.dtype)
            expected = ref.kraus(rho, n, qubits, ops)
            assert precision.module.apply_kraus(rho, n, qubits, ops) is None
            assert_same_bits(rho, expected, any_nan=True)


@pytest.mark.parametrize(("n", "q"), [(1, 0), (4, 0), (4, 3), (6, 2)])
def test_one_qubit_gives_the_bytes_of_apply_kraus_1q(rng, precision, n, q):
    for count in (1, 2, 4):
        ops = [random_matrix(rng, 2) for _ in range(count)]
        rho = random_rho(rng, n, special=True, dtype=precision.dtype)
        expected = rho.copy()
        precision.module.apply_kraus_1q(expected, n, q, ops)
        precision.module.apply_kraus(rho, n, [q], ops)
        assert_same_bits(rho, expected)


@pytest.mark.parametrize("real", [False, True], ids=["complex-ops", "real-ops"])
@pytest.mark.parametrize("qubits", [[0, 1], [3, 1], [0, 4], [2, 0, 4]], ids=str)
def test_superoperator_is_apply_gate_on_the_vectorised_rho(rng, precision, qubits, real):
    # On a finite rho the real products and the complex ones give the same bits.
    # (In complex64 the superoperator is formed in float from the rounded
    # operators: the reference's, handed over as complex64.)
    n = 5
    ops = [random_matrix(rng, 1 << len(qubits)) for _ in range(3)]
    if real:
        ops = [op.real + 0j for op in ops]
    rho = random_rho(rng, n, dtype=precision.dtype)
    vector = rho.reshape(-1).copy()
    s = ref.superoperator(ops, len(qubits), precision.dtype)
    precision.module.apply_gate(vector, qubits + [q + n for q in qubits], s)
    precision.module.apply_kraus(rho, n, qubits, ops)
    assert_same_bits(rho.reshape(-1), vector)


@pytest.mark.parametrize(("n", "qubits"), [(2, [0, 1]), (3, [2, 0]), (4, [1, 3, 0]), (5, [4, 2])], ids=str)
def test_kraus_reference_agrees_with_dense_channel(rng, n, qubits):
    ops = [random_matrix(rng, 1 << len(qubits)) for _ in range(3)]
    rho = random_rho(rng, n)
    np.testing.assert_allclose(
        ref.kraus(rho, n, qubits, ops), ref.kraus_dense_multi(rho, n, qubits, ops), rtol=1e-12, atol=1e-12
    )


@pytest.mark.parametrize("k", [2, 3])
def test_depolarising_channel_keeps_trace_and_hermiticity(rng, k):
    n = 5
    rho = physical_rho(rng, n)
    qubits = qubit_choices(rng, n, k)[-1]
    ops = depolarising(k, 0.3)
    expected = ref.kraus_dense_multi(rho, n, qubits, ops)
    velt_core.apply_kraus(rho, n, qubits, ops)
    np.testing.assert_allclose(rho, expected, atol=1e-14)
    assert np.trace(rho).real == pytest.approx(1.0, abs=1e-14)
    np.testing.assert_allclose(rho, rho.conj().T, atol=1e-15)


def test_full_depolarisation_gives_the_maximally_mixed_state(rng):
    rho = physical_rho(rng, 2)
    velt_core.apply_kraus(rho, 2, [0, 1], depolarising(2, 15 / 16))
    np.testing.assert_allclose(rho, np.eye(4) / 4, atol=1e-15)


# ---------------------------------------------------------- apply_unitary_rho


def by_two_gates(rho, n, targets, u, controls):
    """The documented bytes: apply_gate on the row qubits, then conj(u) on the columns."""
    module = velt_core.single if rho.dtype == np.complex64 else velt_core
    vector = np.ascontiguousarray(rho).reshape(-1)[: 4**n].copy()
    module.apply_gate(vector, [t + n for t in targets], u, [c + n for c in controls])
    module.apply_gate(vector, targets, np.conj(u), controls)
    return vector


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 6])
def test_unitary_rho_is_two_apply_gate_calls(rng, precision, n):
    for k in range(0, min(n, 4) + 1):
        for c in range(0, min(n - k, 2) + 1):
            for qubits in qubit_choices(rng, n, k + c, tries=2):
                targets, controls = qubits[:k], qubits[k:]
                u = random_matrix(rng, 1 << k)
                rho = random_rho(rng, n, special=True, dtype=precision.dtype)
                expected = by_two_gates(rho, n, targets, u, controls)
                reference = ref.unitary_rho(rho, n, targets, u, controls)
                assert precision.module.apply_unitary_rho(rho, n, targets, u, controls) is None
                assert_same_bits(rho.reshape(-1), expected)
                assert_same_bits(rho, reference, any_nan=True)


@pytest.mark.parametrize(("n", "targets", "controls"), [(2, [1], [0]), (3, [0, 2], []), (4, [3, 1], [0, 2])], ids=str)
def test_unitary_rho_reference_agrees_with_dense_conjugation(rng, n, targets, controls):
    u = random_matrix(rng, 1 << len(targets))
    rho = random_rho(rng, n)
    full = ref.kron_gate(n, targets, u, controls)
    np.testing.assert_allclose(
        ref.unitary_rho(rho, n, targets, u, controls), full @ rho @ full.conj().T, rtol=1e-12, atol=1e-12
    )


def test_unitary_rho_of_a_pure_state_is_the_gate_on_the_state(rng):
    n = 4
    psi = random_state(rng, 1 << n)
    psi /= np.linalg.norm(psi)
    rho = np.outer(psi, psi.conj())
    u = np.linalg.qr(random_matrix(rng, 4))[0]
    velt_core.apply_unitary_rho(rho, n, [3, 1], u, [0])
    velt_core.apply_gate(psi, [3, 1], u, [0])
    np.testing.assert_allclose(rho, np.outer(psi, psi.conj()), atol=1e-14)


# -------------------------------------------------------- apply_kraus_sampled


def images(psi, qubits, ops):
    module = velt_core.single if psi.dtype == np.complex64 else velt_core
    out = []
    for op in ops:
        x = psi.copy()
        module.apply_gate(x, qubits, op)
        out.append(x)
    return out


def operator_family(rng, family, k):
    """Operators of one kind on k qubits: dense, or with at most one nonzero
    entry per row (Pauli strings with weights, damping, phased permutations),
    which the trajectory step sums without dense products."""
    dim = 1 << k
    if family == "dense":
        return [random_matrix(rng, dim) for _ in range(3)]
    if family == "pauli":
        return depolarising(k, 0.3)
    if family == "damping":
        gamma = 0.2
        k0 = np.diag([1.0, np.sqrt(1 - gamma)])
        k1 = np.array([[0, np.sqrt(gamma)], [0, 0]])
        out = [np.eye(1)]
        for _ in range(k):
            out = [np.kron(a, b) for a in (k0, k1) for b in out]
        return out
    phases = np.exp(2j * np.pi * rng.random((3, dim)))
    return [np.eye(dim)[rng.permutation(dim)] * phase[:, None] for phase in phases]


@pytest.mark.parametrize("family", ["dense", "pauli", "damping", "phased-permutation"])
@pytest.mark.parametrize(("n", "k"), [(1, 1), (3, 2), (6, 3), (11, 2), (12, 1), (13, 3), (14, 2)])
def test_sampled_matches_reference(rng, precision, n, k, family):
    # In complex64 the images are formed in float, their norms and the
    # renormalisation in double: the sparse families' shortcut must give the
    # norms of those float images too.
    norm_error = 1e-13 if precision.dtype == np.complex128 else 1e-6
    for qubits in qubit_choices(rng, n, k, tries=1):
        ops = operator_family(rng, family, k)
        psi = random_state(rng, 1 << n, dtype=precision.dtype)
        for u in (0.0, rng.random(), np.nextafter(1.0, 0.0)):
            work = psi.copy()
            chosen = precision.module.apply_kraus_sampled(work, qubits, ops, u)
            expected_index, expected = ref.kraus_sampled(psi, qubits, ops, u)
            assert type(chosen) is int and chosen == expected_index
            assert_same_bits(work, expected)
            assert np.vdot(work, work).real == pytest.approx(1.0, rel=norm_error)


@pytest.mark.parametrize(("n", "qubits"), [(4, [1]), (12, [11, 0]), (13, [12, 5, 11])], ids=str)
def test_sampled_probabilities_are_the_read_outs_norms_of_the_images(rng, precision, n, qubits):
    # The reference's model of the sums against probabilities of K psi made
    # by apply_gate: the contract the distributed step relies on.
    ops = [random_matrix(rng, 1 << len(qubits)) for _ in range(4)]
    psi = random_state(rng, 1 << n, dtype=precision.dtype)
    for x in images(psi, qubits, ops):
        assert precision.module.probabilities(x, [])[0] == ref.readout_sum(ref.norm2_terms(x))


def test_sampled_never_chooses_an_operator_of_probability_zero(rng):
    psi = random_state(rng, 8)
    zero = np.zeros((2, 2))
    ops = [zero, 0.6 * I2, zero, 0.8 * PAULIS[1]]
    for u in (0.0, 0.35, 0.36, 0.5, np.nextafter(1.0, 0.0)):
        assert velt_core.apply_kraus_sampled(psi.copy(), [2], ops, u) in (1, 3)
    # With a subnormal total, u * total rounds up to the total itself for u
    # near 1: no running total exceeds it, and the last operator of nonzero
    # probability is taken, not the trailing zero.
    basis = np.eye(8, dtype=complex)[0]
    ops = [zero, 1e-160 * I2, 1e-160 * PAULIS[1], zero]
    assert velt_core.apply_kraus_sampled(basis.copy(), [0], ops, 0.9999) == 2
    assert velt_core.apply_kraus_sampled(basis.copy(), [0], ops, 0.4) == 1


def test_sampled_frequencies_follow_the_probabilities():
    rng = np.random.default_rng(25)
    psi = random_state(rng, 16)
    ops = [np.sqrt(0.2) * np.eye(4), np.sqrt(0.3) * np.kron(PAULIS[1], PAULIS[3]), np.sqrt(0.5) * np.eye(4)]
    p = np.array([velt_core.probabilities(x, [])[0] for x in images(psi, [0, 2], ops)])
    p /= p.sum()
    trials = 20_000
    counts = np.bincount([velt_core.apply_kraus_sampled(psi.copy(), [0, 2], ops, u) for u in rng.random(trials)])
    assert np.all(np.abs(counts - trials * p) <= 6 * np.sqrt(trials * p * (1 - p)))


def test_trajectories_average_to_the_density_matrix_channel():
    # A unitary then a depolarising channel, as the trajectory mean and as the
    # density matrix: agreement within the statistical error.
    rng = np.random.default_rng(2025)
    n, qubits, trials = 3, [2, 0], 4000
    psi = random_state(rng, 1 << n)
    psi /= np.linalg.norm(psi)
    ops = depolarising(2, 0.4)
    rho = np.outer(psi, psi.conj())
    velt_core.apply_kraus(rho, n, qubits, ops)
    mean = np.zeros((1 << n, 1 << n), dtype=complex)
    for u in rng.random(trials):
        work = psi.copy()
        velt_core.apply_kraus_sampled(work, qubits, ops, u)
        mean += np.outer(work, work.conj())
    mean /= trials
    assert np.abs(mean - rho).max() < 6 / np.sqrt(trials)


@pytest.mark.parametrize("family", ["pauli", "damping", "phased-permutation"])
@pytest.mark.parametrize(("n", "qubits"), [(2, [1]), (12, [11, 0]), (13, [0, 12, 5])], ids=str)
def test_sampled_sparse_operators_keep_apply_gates_arithmetic(precision, rng, n, qubits, family):
    # Operators with one nonzero entry per row are summed without a dense
    # product, yet each term must be that of K psi as apply_gate forms it in
    # the state's precision (in complex64 each part rounded to float), squared
    # in double: the step's index and bits are those of apply_gate,
    # probabilities and one rounding of each part times 1/sqrt(p).
    module, dtype = precision
    ops = operator_family(rng, family, len(qubits))
    psi = random_state(rng, 1 << n, dtype=dtype)
    kept = []
    for op in ops:
        x = psi.copy()
        module.apply_gate(x, qubits, op)
        kept.append(x)
    p = [module.probabilities(x, [])[0] for x in kept]
    for u in (0.0, rng.random(), np.nextafter(1.0, 0.0)):
        running = np.cumsum(p)  # left to right, as the step adds
        hits = np.flatnonzero(running > u * running[-1])
        chosen = int(hits[0]) if hits.size else max(i for i, v in enumerate(p) if v > 0)
        work = psi.copy()
        assert module.apply_kraus_sampled(work, qubits, ops, u) == chosen
        parts = kept[chosen].view(kept[chosen].real.dtype).astype(np.float64) * (1.0 / math.sqrt(p[chosen]))
        assert_same_bits(work, parts.astype(kept[chosen].real.dtype).view(dtype))


# ------------------------------------------------------ tiny probabilities


def ulps_from_one(psi):
    """|1 - sum |psi_i|^2| in units of the spacing of doubles at 1 (the sum exact
    but for the rounding of each square)."""
    norm = math.fsum(np.concatenate([psi.real * psi.real, psi.imag * psi.imag]))
    return abs(norm - 1.0) / np.spacing(1.0)


@pytest.mark.parametrize(
    "amplitudes",
    [
        pytest.param([1e-160, 5e-324], id="1e-160-and-min-subnormal"),
        pytest.param([3e-162, 1e-165, 7e-163j, 5e-324], id="subnormal-squares"),
        pytest.param([2.0**-537, 2.0**-537], id="smallest-squares"),
        pytest.param([1e-150, -2e-151j, 3e-152, 1e-155], id="tiny-normal-p"),
    ],
)
def test_measure_keeps_norm_one_for_tiny_probabilities(amplitudes):
    psi = np.zeros(4, dtype=complex)
    psi[: len(amplitudes)] = amplitudes
    for qubit in (0, 1):
        work = psi.copy()
        outcome, _ = velt_core.measure(work, qubit, 0.0)
        assert ulps_from_one(work) <= 4
        half = velt_core.probabilities(psi, [qubit])
        keep = (np.arange(4) >> qubit) & 1 == outcome
        expected = np.zeros_like(psi)
        expected[keep] = ref.renormalise(psi[keep], half[outcome])
        assert_same_bits(work, expected)


def test_measure_norm_across_the_subnormal_range():
    # Amplitudes whose squares fall anywhere from just above the tiny-probability
    # threshold down to the last subnormals; a 64-amplitude state, so the terms
    # meet in the lanes of the read-outs' sums.
    rng = np.random.default_rng(9)
    for exponent in range(-452, -538, -3):
        psi = random_state(rng, 64) * 2.0**exponent
        work = psi.copy()
        velt_core.measure(work, 3, 0.5)
        assert ulps_from_one(work) <= 8, exponent


@pytest.mark.parametrize("scale", [1e-150, 1e-160, 2.0**-530], ids=str)
def test_sampled_keeps_norm_one_for_tiny_probabilities(rng, scale):
    psi = random_state(rng, 32)
    psi /= np.linalg.norm(psi)
    ops = [scale * random_matrix(rng, 2), np.zeros((2, 2))]
    work = psi.copy()
    assert velt_core.apply_kraus_sampled(work, [3], ops, 0.5) == 0
    _, expected = ref.kraus_sampled(psi, [3], ops, 0.5)
    assert_same_bits(work, expected)
    assert ulps_from_one(work) <= 8


# ------------------------------------------------------------------ refusals

RHO_N = 2  # rho of the refusal cases: 16 elements


def kraus_call(n=RHO_N, qubits=(0, 1), ops=None):
    ops = [np.eye(1 << len(qubits))] if ops is None else ops
    return lambda rho, module=velt_core: module.apply_kraus(rho, n, list(qubits), ops)


def unitary_call(n=RHO_N, targets=(0,), u=None, controls=()):
    u = np.eye(1 << len(targets)) if u is None else u
    return lambda rho, module=velt_core: module.apply_unitary_rho(rho, n, list(targets), u, list(controls))


def sampled_call(qubits=(0,), ops=None, u=0.5):
    ops = [np.eye(1 << len(qubits))] if ops is None else ops
    return lambda psi, module=velt_core: module.apply_kraus_sampled(psi, list(qubits), ops, u)


REFUSED = [
    ("apply_kraus", kraus_call(qubits=()), "the channel must act on 1 to 3 qubits"),
    ("apply_kraus", kraus_call(n=4, qubits=(0, 1, 2, 3)), "the channel must act on 1 to 3 qubits"),
    ("apply_kraus", kraus_call(ops=[]), "a channel on k qubits takes 1 to 4^k Kraus ops"),
    ("apply_kraus", kraus_call(qubits=(1,), ops=[I2] * 5), "a channel on k qubits takes 1 to 4^k Kraus ops"),
    ("apply_kraus", kraus_call(ops=[np.eye(4), I2]), "each Kraus op must be 2^k x 2^k"),
    ("apply_kraus", kraus_call(qubits=(0,), ops=[np.eye(4)]), "each Kraus op must be 2^k x 2^k"),
    # several faults: the operators first, then n_qubits, qubits, rho's size
    ("apply_kraus", kraus_call(n=-1, qubits=(0, 0), ops=[I2]), "each Kraus op must be 2^k x 2^k"),
    ("apply_kraus", kraus_call(n=30), "n_qubits out of range"),
    ("apply_kraus", kraus_call(n=-1), "n_qubits out of range"),
    ("apply_kraus", kraus_call(qubits=(0, 2)), "qubit index out of range"),
    ("apply_kraus", kraus_call(qubits=(-1, 0)), "qubit index out of range"),
    ("apply_kraus", kraus_call(qubits=(1, 1)), "repeated qubit"),
    ("apply_kraus", kraus_call(n=3, qubits=(1, 1)), "repeated qubit"),
    ("apply_kraus", kraus_call(n=3), "rho holds fewer than 4^n_qubits elements"),
    ("apply_unitary_rho", unitary_call(n=5, targets=range(5)), "more than 4 targets"),
    ("apply_unitary_rho", unitary_call(u=np.eye(4)), "matrix size does not match 2^|targets|"),
    ("apply_unitary_rho", unitary_call(targets=(), u=np.eye(2)), "matrix size does not match 2^|targets|"),
    ("apply_unitary_rho", unitary_call(n=30), "n_qubits out of range"),
    ("apply_unitary_rho", unitary_call(targets=(2,)), "qubit index out of range"),
    ("apply_unitary_rho", unitary_call(controls=(2,)), "qubit index out of range"),
    ("apply_unitary_rho", unitary_call(targets=(1, 1)), "repeated target qubit"),
    ("apply_unitary_rho", unitary_call(targets=(1,), controls=(1,)), "control overlaps a target qubit"),
    ("apply_unitary_rho", unitary_call(targets=(1,), controls=(0, 0)), "control overlaps a target qubit"),
    ("apply_unitary_rho", unitary_call(n=3, targets=(1,), controls=(1,)), "control overlaps a target qubit"),
    ("apply_unitary_rho", unitary_call(n=3), "rho holds fewer than 4^n_qubits elements"),
    ("apply_kraus_sampled", sampled_call(qubits=()), "the channel must act on 1 to 3 qubits"),
    ("apply_kraus_sampled", sampled_call(ops=[]), "a channel on k qubits takes 1 to 4^k Kraus ops"),
    ("apply_kraus_sampled", sampled_call(ops=[np.eye(4)]), "each Kraus op must be 2^k x 2^k"),
    ("apply_kraus_sampled", sampled_call(qubits=(4,)), "qubit index out of range"),
    ("apply_kraus_sampled", sampled_call(qubits=(1, 1)), "repeated qubit"),
    ("apply_kraus_sampled", sampled_call(u=1.0), "uniform outside [0, 1)"),
    ("apply_kraus_sampled", sampled_call(u=-0.0 - 1e-300), "uniform outside [0, 1)"),
    ("apply_kraus_sampled", sampled_call(u=math.nan), "uniform outside [0, 1)"),
    ("apply_kraus_sampled", sampled_call(qubits=(4,), u=2.0), "qubit index out of range"),
    ("apply_kraus_sampled", sampled_call(ops=[np.zeros((2, 2))]), "total probability is zero or not finite"),
    ("apply_kraus_sampled", sampled_call(ops=[1e200 * I2]), "total probability is zero or not finite"),
]


@pytest.mark.parametrize(("function", "call", "message"), REFUSED, ids=lambda v: v if isinstance(v, str) else "")
def test_refused_calls_leave_the_arrays_unchanged(rng, precision, function, call, message):
    array = random_rho(rng, RHO_N, special=function == "apply_kraus", dtype=precision.dtype)
    if function == "apply_kraus_sampled":
        array = random_state(rng, 16, dtype=precision.dtype)
    before = array.copy()
    # (1e200 converted to complex64 overflows, which NumPy reports unless told not to.)
    with pytest.raises(RuntimeError) as info, np.errstate(over="ignore"):
        call(array, precision.module)
    assert str(info.value) == f"{function}: {message}"
    assert_same_bits(array, before)


@pytest.mark.parametrize("special", [np.nan, np.inf, complex(1, -np.inf)])
@pytest.mark.parametrize(
    "ops",
    [
        pytest.param([random_matrix(np.random.default_rng(1), 2)], id="dense"),
        pytest.param([I2], id="identity"),
        # reads only the amplitudes with qubit 0 set: the dense products
        # 0 * inf still turn every row NaN, so the state is refused all the same
        pytest.param([np.array([[0, 1], [0, 0]])], id="never-reads-it"),
    ],
)
def test_sampled_refuses_a_state_holding_infinity_or_nan(rng, precision, special, ops):
    for n in (3, 12):
        psi = random_state(rng, 1 << n, dtype=precision.dtype)
        psi[4] = special  # qubit 0 clear
        before = psi.copy()
        with pytest.raises(RuntimeError, match=r"^apply_kraus_sampled: total probability is zero or not finite$"):
            precision.module.apply_kraus_sampled(psi, [0], ops, 0.2)
        assert_same_bits(psi, before)


@pytest.mark.parametrize("family", ["pauli", "damping", "phased-permutation"])
def test_sampled_refuses_an_image_beyond_the_precision_range(rng, precision, family):
    # Finite amplitudes whose image K psi overflows in the state's precision:
    # apply_gate would write infinities, so the step is refused, the state
    # unchanged, also for operators whose probabilities skip the dense
    # product (in complex64 their products must overflow as float ones do).
    big = np.finfo(precision.dtype).max / 4
    psi = random_state(rng, 1 << 6, dtype=precision.dtype) * precision.dtype.type(0.01)
    psi[9] = big
    ops = [op * 1e6 for op in operator_family(rng, family, 2)]
    before = psi.copy()
    with pytest.raises(RuntimeError, match=r"^apply_kraus_sampled: total probability is zero or not finite$"):
        precision.module.apply_kraus_sampled(psi, [0, 3], ops, 0.5)
    assert_same_bits(psi, before)


@pytest.mark.parametrize(
    ("function", "call", "what"),
    [
        ("apply_kraus", kraus_call(ops=[np.ones(3)]), "rho"),
        ("apply_unitary_rho", unitary_call(u=np.ones(3)), "rho"),
        ("apply_kraus_sampled", sampled_call(ops=[np.ones(3)]), "state"),
    ],
)
def test_read_only_arrays_are_refused_first(rng, precision, function, call, what):
    array = random_state(rng, 16, dtype=precision.dtype)
    before = array.copy()
    array.flags.writeable = False
    with pytest.raises(ValueError, match=rf"^{function}: {what} is read-only$"):
        call(array, precision.module)
    assert_same_bits(array, before)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: velt_core.apply_kraus_sampled(np.zeros(6, complex), [0], [I2], 0.5), "state length is not a power"),
        (lambda: velt_core.apply_kraus_sampled(np.zeros(0, complex), [0], [I2], 0.5), "state length is not a power"),
        (lambda: velt_core.apply_kraus_sampled(np.array(1 + 0j), [0], [I2], 0.5), "at least one dimension"),
    ],
)
def test_sampled_state_shape_refusals(call, message):
    with pytest.raises(RuntimeError, match=message):
        call()


def test_readme_lists_every_error():
    readme = (Path(__file__).parent.parent / "README.md").read_text(encoding="utf-8").replace("\\|", "|")
    for function, _, message in REFUSED:
        assert f'"{function}: {message}"' in readme, message
    for function, what in (("apply_kraus", "rho"), ("apply_unitary_rho", "rho"), ("apply_kraus_sampled", "state")):
        assert f'"{function}: {what} is read-only"' in readme


# ------------------------------------------------- forms of argument, memory


def test_keywords_defaults_and_operator_shapes(rng):
    n = 3
    rho = random_rho(rng, n)
    ops = [random_matrix(rng, 4) for _ in range(2)]
    expected = ref.kraus(rho, n, [2, 0], ops)
    velt_core.apply_kraus(kraus_ops=[op.reshape(16) for op in ops], qubits=(2, 0), n_qubits=n, rho=rho)
    assert_same_bits(rho, expected)
    u = random_matrix(rng, 2)
    expected = ref.unitary_rho(rho, n, [1], u)
    velt_core.apply_unitary_rho(u=u.tolist(), targets=[1], n_qubits=n, rho=rho)
    assert_same_bits(rho, expected)
    psi = random_state(rng, 8)
    index, expected = ref.kraus_sampled(psi, [1, 2], ops, 0.25)
    assert velt_core.apply_kraus_sampled(u=0.25, kraus_ops=tuple(ops), qubits=range(1, 3), state=psi) == index
    assert_same_bits(psi, expected)


@pytest.mark.parametrize("offset", [1, 8, 13])
def test_misaligned_arrays_are_updated_in_place(rng, offset):
    n = 3
    values = random_rho(rng, n, special=True)
    ops = [random_matrix(rng, 4) for _ in range(2)]
    rho, _ = misaligned(values, offset, rng)
    velt_core.apply_kraus(rho, n, [0, 2], [misaligned(op, offset + 3, rng)[0] for op in ops])
    assert_same_bits(rho, ref.kraus(values, n, [0, 2], ops), any_nan=True)
    u = random_matrix(rng, 4)
    rho, _ = misaligned(values, offset, rng)
    velt_core.apply_unitary_rho(rho, n, [2, 1], misaligned(u, offset + 5, rng)[0], [0])
    assert_same_bits(rho, ref.unitary_rho(values, n, [2, 1], u, [0]), any_nan=True)


def test_only_the_first_four_to_the_n_elements_change(rng):
    extra = random_state(rng, 16 + 7, special=True)
    ops = [random_matrix(rng, 4) for _ in range(2)]
    work = extra.copy()
    velt_core.apply_kraus(work, 2, [1, 0], ops)
    assert_same_bits(work[:16], ref.kraus(extra[:16], 2, [1, 0], ops), any_nan=True)
    assert_same_bits(work[16:], extra[16:])
    work = extra.copy()
    velt_core.apply_unitary_rho(work, 2, [1], ops[0][:2, :2].copy())
    assert_same_bits(work[16:], extra[16:])


def test_operators_sharing_memory_with_rho_count_as_they_were(rng):
    rho = random_rho(rng, 3)
    alias = rho.reshape(-1)[:16].reshape(4, 4)  # the operator is the start of rho itself
    expected = ref.kraus(rho, 3, [0, 1], [alias.copy()])
    velt_core.apply_kraus(rho, 3, [0, 1], [alias])
    assert_same_bits(rho, expected)
    rho = random_rho(rng, 3)
    u = rho.reshape(-1)[4:8].reshape(2, 2)
    expected = ref.unitary_rho(rho, 3, [2], u.copy())
    velt_core.apply_unitary_rho(rho, 3, [2], u)
    assert_same_bits(rho, expected)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
@pytest.mark.skipif(UNDER_SANITIZER, reason="ASan's shadow memory does not fit under a tight address-space limit")
def test_density_kernels_need_no_second_matrix():
    code = """
        import resource
        import numpy as np
        import velt_core

        n = 11
        rho = np.full(4**n, 1 + 2j)
        with open("/proc/self/status") as f:
            mapped = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped + rho.nbytes // 2, hard))
        velt_core.apply_kraus(rho, n, [0, n - 1], [2 * np.eye(4)])
        velt_core.apply_kraus(rho, n, [3, 1, 7], [0.5 * np.eye(8)])
        velt_core.apply_unitary_rho(rho, n, [n - 1, 2], np.eye(4), [0])
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print("works" if (rho == 1 + 2j).all() else "broken")
    """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, OMP_NUM_THREADS="2"),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["works"]
