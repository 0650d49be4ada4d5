"""Read-outs: probabilities, expectation_pauli, sample, measure.

The oracle is a NumPy model of the read-outs' summation order (blocks of 2048
terms, eight lanes per block, a pairwise tree over the blocks), which gives
the module's results bit for bit; dense matrices, reshaped marginals, cumsum
with searchsorted and math.fsum guard the model itself.  In both precisions
the read-outs compute in double: the model widens a complex64 state's parts
to float64 (exactly) before anything else.
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
from helpers import assert_same_bits, misaligned, random_state

import velt_core

BLOCK = 2048
LANES = 8
LEAF = 64
EPS = 2.0**-53


# ---- the summation order, in NumPy -------------------------------------------------------------


def lane_total(terms):
    """Term t to lane t % 8, each lane added from 0.0 in order; lanes by a fixed tree."""
    rows = -(-len(terms) // LANES)
    padded = np.zeros((rows + 1, LANES))  # a first row of zeros: each lane starts from +0.0
    padded[1:].flat[: len(terms)] = terms
    lane = np.cumsum(padded, axis=0)[-1]  # cumsum adds strictly in order
    return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]))


def pairwise_total(values):
    values = list(values)
    if not values:
        return 0.0
    while len(values) > 1:
        pairs = [values[2 * i] + values[2 * i + 1] for i in range(len(values) // 2)]
        values = pairs + values[len(pairs) * 2 :]
    return values[0]


def blocked_sum(terms):
    terms = np.asarray(terms, dtype=np.float64)
    return pairwise_total([lane_total(terms[s : s + BLOCK]) for s in range(0, len(terms), BLOCK)] or [0.0])


def norm2(psi):
    psi = np.asarray(psi, dtype=np.complex128)  # exact for complex64
    return psi.real * psi.real + psi.imag * psi.imag


def entry_of(n_amps, qubits):
    """For every amplitude index, the marginal entry it belongs to."""
    idx = np.arange(n_amps)
    return sum((((idx >> q) & 1) << d for d, q in enumerate(qubits)), np.zeros_like(idx))


def ref_marginal(psi, qubits):
    p = norm2(psi)
    entry = entry_of(len(psi), qubits)
    return np.array([blocked_sum(p[entry == j]) for j in range(2 ** len(qubits))])


def parity(values):
    values = np.array(values, dtype=np.int64)
    out = np.zeros_like(values)
    while values.any():
        out ^= values & 1
        values >>= 1
    return out


def pauli_masks(paulis, qubits):
    x = sum(1 << q for p, q in zip(paulis, qubits, strict=True) if p in "XY")
    z = sum(1 << q for p, q in zip(paulis, qubits, strict=True) if p in "YZ")
    return x, z, paulis.count("Y")


@np.errstate(all="ignore")
def ref_expectation(psi, paulis, qubits):
    """One term per index (x = 0) or per pair (index with the top X/Y bit clear)."""
    x, z, y = pauli_masks(paulis, qubits)
    psi = np.asarray(psi, dtype=np.complex128)
    idx = np.arange(len(psi))
    if x == 0:
        return blocked_sum((1 - 2 * parity(idx & z)) * norm2(psi))
    h = x.bit_length() - 1
    i = idx[(idx >> h) & 1 == 0]
    a, b = psi[i], psi[i ^ x]
    c = b.real * a.imag - b.imag * a.real if y % 2 else b.real * a.real + b.imag * a.imag
    total = blocked_sum((1 - 2 * parity(i & z)) * c)
    return (2.0 if y % 4 in (0, 3) else -2.0) * total


def ref_sample_table(psi):
    p = norm2(psi)
    leaf = min(LEAF, len(p))
    sums = [lane_total(p[s : s + leaf]) for s in range(0, len(p), leaf)]
    levels = [sums]
    while len(levels[-1]) > 1:
        below = levels[-1]
        levels.append([below[2 * i] + below[2 * i + 1] for i in range(len(below) // 2)] + below[len(below) // 2 * 2 :])
    starts = [0.0]
    for level in reversed(levels[:-1]):
        starts = [starts[i // 2] if i % 2 == 0 else starts[i // 2] + level[i - 1] for i in range(len(level))]
    starts.append(levels[-1][0])
    for b, s in enumerate(sums):
        if s == 0.0 or starts[b + 1] < starts[b]:
            starts[b + 1] = starts[b]
    return p, leaf, starts


def ref_sample(psi, uniforms):
    p, leaf, starts = ref_sample_table(psi)
    leaves = len(starts) - 1
    last_leaf = max([b for b in range(leaves) if starts[b + 1] > starts[b]], default=0)
    out = []
    for u in uniforms:
        t = u * starts[-1]
        b = int(np.searchsorted(starts, t, side="right")) - 1
        terms = p[b * leaf : (b + 1) * leaf]
        if b >= leaves:
            b, terms, hits = last_leaf, p[last_leaf * leaf : (last_leaf + 1) * leaf], []
        else:
            running = np.cumsum(np.concatenate([[starts[b]], terms]))[1:]
            hits = np.flatnonzero(t < running)
        out.append(b * leaf + (hits[0] if len(hits) else np.flatnonzero(terms)[-1]))
    return np.array(out, dtype=np.int64)


def ref_measure(psi, qubit, u):
    half = ref_marginal(psi, [qubit])
    total = half[0] + half[1]
    outcome = 0 if u * total < half[0] else 1
    if half[outcome] == 0.0:
        outcome = 1 - outcome
    scale = 1.0 / np.sqrt(half[outcome])
    out = np.zeros_like(psi)
    keep = (np.arange(len(psi)) >> qubit) & 1 == outcome
    # Each product in double, rounded once to the state's precision.
    out.real[keep] = psi.real[keep].astype(np.float64) * scale
    out.imag[keep] = psi.imag[keep].astype(np.float64) * scale
    return outcome, half[outcome] / total, out


# ---- plain linear algebra, guarding the model ---------------------------------------------------


def reshaped_marginal(psi, qubits):
    n = len(psi).bit_length() - 1
    p = np.abs(psi.reshape([2] * n)) ** 2  # axis a is qubit n - 1 - a
    rest = tuple(n - 1 - q for q in range(n) if q not in qubits)
    kept = [q for q in reversed(range(n)) if q in qubits]  # remaining axes, high qubit first
    m = p.sum(axis=rest)
    order = [kept.index(q) for q in reversed(qubits)]  # qubits[0] becomes the last axis: bit 0 of j
    return np.transpose(m, order).reshape(-1)


# ---- results ---------------------------------------------------------------------------------

SIZES = [pytest.param(n, id=f"n={n}") for n in (0, 1, 3, 12, 15)]


@pytest.mark.parametrize("n", SIZES)
def test_probabilities_of_every_amplitude(rng, precision, n):
    psi = random_state(rng, 2**n, special=True, dtype=precision.dtype)
    assert_same_bits(precision.module.probabilities(psi), norm2(psi))


MARGINALS = [
    [],
    [0],
    [2],
    [14],
    [1, 0],
    [0, 1, 2],
    [14, 3, 9],
    [5, 12, 0, 7],
    [13, 14],
    list(range(15))[::-1],
]


@pytest.mark.parametrize("qubits", MARGINALS, ids=str)
def test_marginals_bit_exact_and_against_reshaped_sums(rng, precision, qubits):
    psi = random_state(rng, 2**15, dtype=precision.dtype)
    got = precision.module.probabilities(psi, qubits)
    assert_same_bits(got, ref_marginal(psi, qubits))
    np.testing.assert_allclose(got, reshaped_marginal(psi.astype(np.complex128), qubits), rtol=1e-12)


def test_marginal_of_all_qubits_is_a_permutation_and_empty_list_the_norm(rng):
    psi = random_state(rng, 2**6, special=True)
    qubits = [3, 0, 5, 1, 4, 2]
    assert_same_bits(velt_core.probabilities(psi, qubits)[entry_of(64, qubits)], norm2(psi))
    norm = velt_core.probabilities(psi, [])
    assert norm.shape == (1,)
    assert_same_bits(norm, np.array([velt_core.expectation_pauli(psi, "", [])]), any_nan=True)


@pytest.mark.parametrize("n", [12, 16, 20], ids=lambda n: f"n={n}")
def test_sums_are_as_accurate_as_a_pairwise_sum(rng, n):
    # Terms close to one another make a left-to-right sum drift by up to
    # 2^n ulps; the blocked tree stays within (256 + 3 + log2 blocks) ulps.
    psi = (1 + 1e-3 * rng.random(2**n)) * np.exp(2j * np.pi * rng.random(2**n))
    p = norm2(psi)
    bound = (BLOCK // LANES + 4 + n) * EPS
    exact = math.fsum(p)
    assert abs(velt_core.probabilities(psi, [])[0] - exact) <= bound * exact
    for j, value in enumerate(velt_core.probabilities(psi, [n - 1, 0])):
        exact = math.fsum(p[entry_of(len(p), [n - 1, 0]) == j])
        assert abs(value - exact) <= bound * exact
    zz = (1 - 2 * parity(np.arange(len(p)) & 3)) * p
    assert abs(velt_core.expectation_pauli(psi, "ZZ", [0, 1]) - math.fsum(zz)) <= bound * exact * 4


PAULI_CASES = [
    ("", []),
    ("I", [3]),
    ("Z", [0]),
    ("X", [0]),
    ("Y", [0]),
    ("X", [4]),
    ("Y", [5]),
    ("ZZ", [2, 5]),
    ("XX", [0, 5]),
    ("YY", [1, 4]),
    ("XY", [3, 1]),
    ("YYY", [0, 2, 4]),
    ("YYYY", [5, 3, 1, 0]),
    ("XYZ", [5, 2, 0]),
    ("ZIXY", [0, 1, 2, 3]),
    ("YXZIZY", [4, 0, 1, 5, 3, 2]),
]


@pytest.mark.parametrize(("paulis", "qubits"), PAULI_CASES, ids=lambda c: str(c))
def test_expectation_against_dense_matrix(rng, precision, paulis, qubits):
    psi = random_state(rng, 2**6, dtype=precision.dtype)
    got = precision.module.expectation_pauli(psi, paulis, qubits)
    assert type(got) is float
    assert_same_bits(np.array([got]), np.array([ref_expectation(psi, paulis, qubits)]))
    psi = psi.astype(np.complex128)  # a complex64 state's value, exactly: as accurate in double
    exact = np.vdot(psi, ref.dense_pauli(6, paulis, qubits) @ psi)
    assert abs(exact.imag) < 1e-12 and got == pytest.approx(exact.real, rel=1e-12, abs=1e-12)


@pytest.mark.parametrize(
    ("paulis", "qubits"),
    [("Z", [13]), ("X", [13]), ("Y", [0]), ("XYZ", [0, 7, 13]), ("ZYXZYX", [1, 3, 5, 7, 9, 11]), ("IIX", [0, 1, 2])],
    ids=str,
)
def test_expectation_bit_exact_over_many_blocks(rng, precision, paulis, qubits):
    psi = random_state(rng, 2**14, special=True, dtype=precision.dtype)
    got = precision.module.expectation_pauli(psi, paulis, qubits)
    assert_same_bits(np.array([got]), np.array([ref_expectation(psi, paulis, qubits)]), any_nan=True)
    before = psi.copy()
    precision.module.expectation_pauli(psi, paulis, qubits)
    assert_same_bits(psi, before)  # read, never written


def dyadic_state(rng, n):
    """Parts that are small multiples of 2^-8: every |a|^2 and every partial sum is exact."""
    psi = (rng.integers(0, 8, 2**n) + 1j * rng.integers(0, 8, 2**n)) / 256
    psi[rng.random(2**n) < 0.3] = 0  # zero-probability outcomes, whole leaves of them too
    psi[: 3 * LEAF] = 0
    return psi


@pytest.mark.parametrize("n", [0, 2, 6, 12], ids=lambda n: f"n={n}")
def test_sample_against_model_and_searchsorted(rng, precision, n):
    psi = dyadic_state(rng, n) if n >= 8 else random_state(rng, 2**n)
    psi[-1] = 0.5  # some probability even for n = 0
    psi = psi.astype(precision.dtype)  # dyadic parts are exact in complex64 too
    uniforms = np.concatenate([rng.random(3000), [0.0, np.nextafter(1.0, 0.0)]])
    got = precision.module.sample(psi, uniforms)
    assert got.dtype == np.int64 and got.shape == uniforms.shape
    assert_same_bits(got.view(np.float64), ref_sample(psi, uniforms).view(np.float64))
    if n >= 8:  # exact sums: the model and a plain cumulative sum agree on every draw
        cdf = np.cumsum(norm2(psi))
        expected = np.searchsorted(cdf, uniforms * cdf[-1], side="right")
        expected[expected == len(psi)] = np.flatnonzero(norm2(psi))[-1]
        np.testing.assert_array_equal(got, expected)
    assert np.all(norm2(psi)[got] > 0)


def test_sample_keeps_the_shape_of_uniforms(rng):
    psi = random_state(rng, 16)
    uniforms = rng.random((3, 4))
    assert_same_bits(velt_core.sample(psi, uniforms), velt_core.sample(psi, uniforms.ravel()).reshape(3, 4))
    assert velt_core.sample(psi, []).shape == (0,)


def test_sample_statistics_follow_the_probabilities():
    rng = np.random.default_rng(20261208)
    psi = np.sqrt(np.array([0.3, 0, 0.05, 0.15, 0.1, 0, 0, 0.4])) * np.exp(1j * np.arange(8))
    p = norm2(psi) / norm2(psi).sum()
    draws = 200_000
    counts = np.bincount(velt_core.sample(psi, rng.random(draws)), minlength=8)
    # Six standard deviations per outcome: a correct sampler fails this with
    # probability below 1e-8; an outcome off by 0.5 % of the draws fails it.
    assert np.all(np.abs(counts - draws * p) <= 6 * np.sqrt(draws * p * (1 - p)) + 1e-9)
    assert counts[p == 0].sum() == 0


@pytest.mark.parametrize(("n", "qubit"), [(1, 0), (3, 0), (3, 2), (12, 0), (12, 5), (14, 13)])
def test_measure_bit_exact(rng, precision, n, qubit):
    psi = random_state(rng, 2**n, dtype=precision.dtype)
    vc = precision.module
    for u in (0.0, 0.3, 0.7, np.nextafter(1.0, 0.0)):
        work = psi.copy()
        outcome, probability = vc.measure(work, qubit, u)
        ref_outcome, ref_probability, expected = ref_measure(psi, qubit, u)
        assert (outcome, probability) == (ref_outcome, ref_probability)
        assert type(outcome) is int and type(probability) is float
        assert_same_bits(work, expected)
        half = vc.probabilities(psi, [qubit])
        assert probability == half[outcome] / (half[0] + half[1])
        wide = work.astype(np.complex128)
        rel = 1e-13 if precision.dtype == np.complex128 else 1e-6
        assert np.vdot(wide, wide).real == pytest.approx(1.0, rel=rel)


def test_measure_never_keeps_an_empty_half():
    psi = np.array([0.6, 0.8j, 0, 0])  # qubit 1 is 0 with certainty
    for u in (0.0, 0.5, np.nextafter(1.0, 0.0)):
        work = psi.copy()
        assert velt_core.measure(work, 1, u) == (0, 1.0)
    work = psi.copy()
    assert velt_core.measure(work, 0, 0.5)[0] == 1  # 0.5 * 1.0 >= p0 = 0.36
    assert_same_bits(work, np.array([0, 1j, 0, 0]))


def test_measure_statistics_follow_the_probabilities():
    rng = np.random.default_rng(14)
    psi = random_state(rng, 8)
    p0 = velt_core.probabilities(psi, [1])
    p0 = p0[0] / p0.sum()
    trials = 20_000
    zeros = sum(velt_core.measure(psi.copy(), 1, u)[0] == 0 for u in rng.random(trials))
    assert abs(zeros - trials * p0) <= 6 * math.sqrt(trials * p0 * (1 - p0))


def test_read_outs_take_converted_and_misaligned_states(rng):
    psi = random_state(rng, 32)
    expected = velt_core.probabilities(psi, [4, 1])
    for make in (lambda a: a.tolist(), lambda a: a.astype(np.dtype(">c16")), lambda a: a):
        assert_same_bits(velt_core.probabilities(make(psi), [4, 1]), expected)
    strided = np.repeat(psi, 2)[::2]
    assert_same_bits(velt_core.probabilities(strided, [4, 1]), expected)
    shifted, _ = misaligned(psi, 3)
    assert_same_bits(velt_core.probabilities(shifted, [4, 1]), expected)
    shifted_u, _ = (lambda u: (np.frombuffer(b"\0" + u.tobytes(), offset=1), None))(rng.random(5))
    assert_same_bits(velt_core.sample(psi, shifted_u), velt_core.sample(psi, shifted_u.copy()))
    frozen = psi.copy()
    frozen.flags.writeable = False
    assert_same_bits(velt_core.probabilities(frozen, [4, 1]), expected)
    # measure writes through an aligned copy into misaligned memory, like the kernels
    work, _ = misaligned(psi, 3)
    velt_core.measure(work, 2, 0.25)
    assert_same_bits(work, ref_measure(psi, 2, 0.25)[2])


def test_keywords_and_default():
    psi = np.array([0.6, 0.8])
    assert_same_bits(velt_core.probabilities(state=psi, qubits=None), velt_core.probabilities(psi))
    assert velt_core.expectation_pauli(qubits=[0], paulis="Z", state=psi) == pytest.approx(0.36 - 0.64)
    assert velt_core.sample(uniforms=[0.5], state=psi).tolist() == [1]
    assert velt_core.measure(np.array([0.6, 0.8j]), u=0.1, qubit=0) == (0, pytest.approx(0.36))


# ---- bad input: a clear error, and every array as it was -------------------------------------

STATE = np.array([0.5, 0.5j, -0.5, 0.5], dtype=np.complex128)
R = RuntimeError


def _bad_calls():
    st = STATE
    zero = np.zeros(4, dtype=np.complex128)
    nan = STATE.copy()
    nan[1] = complex(np.nan, 0)
    inf = STATE.copy()
    inf[2] = np.inf
    huge = np.full(4, 1e200, dtype=np.complex128)
    frozen = STATE.copy()
    frozen.flags.writeable = False
    for name in ("probabilities", "expectation_pauli", "sample", "measure"):
        extra = {"probabilities": ([0],), "expectation_pauli": ("Z", [0]), "sample": ([0.5],), "measure": (0, 0.5)}
        args = extra[name]
        yield name, (np.zeros(0, complex), *args), R, "state length is not a power of two"
        yield name, (np.zeros(6, complex), *args), R, "state length is not a power of two"
        yield name, (np.zeros((3, 2), complex), *args), R, "state length is not a power of two"
        yield name, (np.array(1 + 0j), *args), R, "state must have at least one dimension"
    for q in ([2], [-1], [0, 2]):
        yield "probabilities", (st, q), R, "qubit index out of range"
        yield "expectation_pauli", (st, "Z" * len(q), q), R, "qubit index out of range"
    yield "probabilities", (st, [1, 1]), R, "repeated qubit"
    yield "expectation_pauli", (st, "XZ", [0, 0]), R, "repeated qubit"
    yield "expectation_pauli", (st, "XZ", [0]), R, "Pauli string length does not match the qubit list"
    yield "expectation_pauli", (st, "", [0]), R, "Pauli string length does not match the qubit list"
    for letters in ("A", "x", "Z ", "\0Z", "Xé", "é", "X\ud800", "\U0001d54fZ"):
        # Letters are characters, whatever their UTF-8 length (é: 2 bytes,
        # 𝕏: 4, a lone surrogate: none at all).
        yield "expectation_pauli", (st, letters, [0, 1][: len(letters)]), R, "Pauli letter is not one of I, X, Y, Z"
    yield "expectation_pauli", (st, "éX", [0]), R, "Pauli string length does not match the qubit list"
    for u in (np.nan, -0.0 - 1e-300, 1.0, np.inf, -np.inf, 2.0):
        yield "sample", (st, [0.5, u]), R, "uniform outside [0, 1)"
        yield "measure", (st.copy(), 0, u), R, "uniform outside [0, 1)"
    for state in (zero, nan, inf, huge):
        yield "sample", (state, [0.5]), R, "total probability is zero or not finite"
        yield "measure", (state.copy(), 1, 0.5), R, "total probability is zero or not finite"
    yield "measure", (frozen, 0, 0.5), ValueError, "measure: state is read-only"
    yield "measure", (st.copy(), 2, 0.5), R, "qubit index out of range"
    yield "measure", (st.copy(), -1, 0.5), R, "qubit index out of range"
    yield "sample", (st, [0.5 + 0j]), TypeError, "incompatible function arguments"
    yield "sample", (st, ["a"]), TypeError, "incompatible function arguments"
    yield "measure", (st.copy(), 0, "0.5"), TypeError, "incompatible function arguments"
    yield "measure", (st.copy(), 0.0, 0.5), TypeError, "incompatible function arguments"
    yield "expectation_pauli", (st, ["Z"], [0]), TypeError, "incompatible function arguments"
    yield "expectation_pauli", (st, b"Z", [0]), TypeError, "incompatible function arguments"
    yield "probabilities", (st, "01"), TypeError, "incompatible function arguments"


BAD = list(_bad_calls())


@np.errstate(over="ignore")  # 1e200 in complex64: infinity, refused all the same
def in_precision(args, dtype):
    """The call's complex arrays in `dtype` (read-only ones stay read-only)."""
    out = []
    for a in args:
        if isinstance(a, np.ndarray) and a.dtype.kind == "c":
            converted = a.astype(dtype)
            converted.flags.writeable = a.flags.writeable
            a = converted
        out.append(a)
    return out


@pytest.mark.parametrize(("name", "args", "error", "message"), BAD, ids=[f"{b[0]}-{i}" for i, b in enumerate(BAD)])
def test_bad_input_raises_and_writes_nothing(precision, name, args, error, message):
    args = in_precision(args, precision.dtype)
    before = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
    with pytest.raises(error) as info:
        getattr(precision.module, name)(*args)
    text = str(info.value)
    if error is TypeError:
        assert text.startswith(f"{name}(): {message}")
    else:
        assert text == (message if message.startswith(name) else f"{name}: {message}")
    for arg, old in zip(args, before, strict=True):
        if isinstance(arg, np.ndarray):
            assert_same_bits(arg, old)


# ---- the same bits for any number of threads ------------------------------------------------

DIGEST = """
    import hashlib, sys
    import numpy as np
    import velt_core as vc
    rng = np.random.default_rng(5)
    n = 18
    psi = rng.standard_normal(2**n) + 1j * rng.standard_normal(2**n)
    out = hashlib.sha256()
    def add(x):
        out.update(np.ascontiguousarray(x).tobytes())
    strings = (("", []), ("Z", [0]), ("X", [17]), ("Y", [3]), ("XYZ", [0, 1, 2]), ("ZYXIZX", [16, 1, 8, 4, 0, 12]))
    uniforms = rng.random(50000)
    for module, state in ((vc, psi), (vc.single, psi.astype(np.complex64))):
        add(module.probabilities(state))
        for qubits in ([], [0], [17], [0, 1, 2], [17, 3, 9], [2, 5, 11, 16], list(range(10, 18))):
            add(module.probabilities(state, qubits))
        for paulis, qubits in strings:
            add(np.array([module.expectation_pauli(state, paulis, qubits)]))
        add(module.sample(state, uniforms))
        for q in (0, 9, 17):
            work = state.copy()
            add(np.array(module.measure(work, q, 0.6)))
            add(work)
    print(out.hexdigest())
"""


def _digest(threads, isa=None):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    env.pop("VELT_ISA", None)
    if isa is not None:
        env["VELT_ISA"] = isa
    code = textwrap.dedent(DIGEST)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
    if isa is not None and "cannot run" in out.stderr:
        return None  # a path this CPU lacks
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_read_outs_identical_for_any_thread_count_and_kernel_path():
    # The read-outs have one path of their own; the kernels' path (VELT_ISA)
    # must not change them either.
    digests = {threads: _digest(threads) for threads in (1, 2, 3)}
    for isa in ("sse2", "avx2", "avx512f"):
        digest = _digest(2, isa)
        if digest is not None:
            digests[isa] = digest
    assert len(digests[1]) == 64 and len(set(digests.values())) == 1, digests


def test_readme_lists_every_read_out_error():
    readme = (Path(__file__).parent.parent / "README.md").read_text(encoding="utf-8")
    for name, _, error, message in BAD:
        if error is not TypeError:
            text = message if message.startswith(name) else f"{name}: {message}"
            assert f'"{text}"' in readme, text
