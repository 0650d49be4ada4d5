"""apply_diagonal and apply_pauli_rotation against their bit-exact references,
the module's cos/sin of theta/2 against 300-bit arithmetic, and every refusal."""

import functools
import math

import numpy as np
import pytest
import reference as ref
from helpers import assert_same_bits, random_state

import velt_core

# NumPy 1.x's add loop propagates the second of two NaN operands where x86's
# addition (and NumPy 2's loop) keeps the first: inf x 0 + 0 x NaN in a
# product's imaginary part then differs in the NaN's sign only.  IEEE-754
# leaves that choice open, so under NumPy 1.x two NaNs count as equal there.
NAN_ORDER_OPEN = np.lib.NumpyVersion(np.__version__) < "2.0.0"

LETTERS = "IXYZ"


def placements(n, count, rng):
    """Qubit lists of `count` distinct qubits: the lowest (inside a vector
    register's chunk), the highest, and random ones (in random order)."""
    low = list(range(count))
    high = list(range(n - count, n))
    spread = [int(q) for q in rng.permutation(n)[:count]]
    return {"low": low, "high": high, "random": spread}


def split(qubits, k):
    return qubits[:k], qubits[k:]


CASES = [(n, k, c) for n in (1, 2, 3, 4, 7, 11, 14) for k in (1, 2, 3, 5, 10) for c in (0, 1, 2) if k + c <= n]


@pytest.mark.parametrize(("n", "k", "c"), CASES, ids=[f"n{n}-k{k}-c{c}" for n, k, c in CASES])
def test_diagonal_matches_reference(rng, precision, n, k, c):
    for qubits in placements(n, k + c, rng).values():
        targets, controls = split(qubits, k)
        psi = random_state(rng, 1 << n, special=True, dtype=precision.dtype)
        diag = random_state(rng, 1 << k, special=True)  # complex128: rounded by the complex64 entry
        got = psi.copy()
        precision.module.apply_diagonal(got, targets, diag, controls)
        assert_same_bits(got, ref.apply_diagonal(psi, targets, diag, controls), any_nan=NAN_ORDER_OPEN)


@pytest.mark.parametrize(("n", "k", "c"), CASES + [(n, 0, c) for n in (1, 5) for c in (0, 1)])
def test_rotation_matches_reference(rng, precision, n, k, c):
    for qubits in placements(n, k + c, rng).values():
        for _ in range(3):
            string, controls = split(qubits, k)
            paulis = "".join(rng.choice(list(LETTERS), size=k))
            theta = float(rng.uniform(-20, 20))
            psi = random_state(rng, 1 << n, special=True, dtype=precision.dtype)
            got = psi.copy()
            precision.module.apply_pauli_rotation(got, paulis, string, theta, controls)
            expected = ref.apply_pauli_rotation(psi, paulis, string, ref.cos_sin_half(theta), controls)
            assert_same_bits(got, expected)


@pytest.mark.parametrize("paulis", ["", "I", "Z", "X", "Y", "ZZ", "XY", "YYY", "IXIZ", "ZXYZ"])
def test_references_against_dense_operators(rng, paulis):
    # The references' arithmetic checked against np.kron and the platform's
    # cos and sin, to a tolerance: the oracle must itself be right.
    n = 4
    qubits = [int(q) for q in rng.permutation(n)[: len(paulis)]]
    controls = [q for q in range(n) if q not in qubits][:1]
    theta = 2.3
    psi = random_state(rng, 1 << n)
    dense = ref.kron_pauli_rotation(n, paulis, qubits, theta, controls) @ psi
    got = ref.apply_pauli_rotation(psi, paulis, qubits, ref.cos_sin_half(theta), controls)
    np.testing.assert_allclose(got, dense, atol=1e-13)
    if qubits:
        diag = rng.standard_normal(1 << len(qubits)) + 1j * rng.standard_normal(1 << len(qubits))
        u = np.diag(diag)
        full = ref.kron_gate(n, qubits, u, controls) @ psi
        np.testing.assert_allclose(ref.apply_diagonal(psi, qubits, diag, controls), full, atol=1e-13)


@pytest.mark.parametrize("paulis", ["Z", "ZZ", "IZ", "ZIZZ", "I", "II"])
def test_z_string_is_the_diagonal_of_its_phases(rng, precision, paulis):
    # exp(-i theta/2 P) for P of I's and Z's is the diagonal with entries
    # (c, -s) and (c, s) by the parity of the Z bits: the same products (in
    # complex64 with c and s rounded once, as the table's entries are).
    n = 9
    qubits = [1, 7, 0, 8][: len(paulis)]
    psi = random_state(rng, 1 << n, special=True, dtype=precision.dtype)
    theta = -1.25
    c, s = ref.cos_sin_half(theta)
    z_bits = [d for d, p in enumerate(paulis) if p == "Z"]
    table = np.array([complex(c, s if sum((j >> d) & 1 for d in z_bits) % 2 else -s) for j in range(1 << len(paulis))])
    rotated = psi.copy()
    precision.module.apply_pauli_rotation(rotated, paulis, qubits, theta, [4])
    diagonal = psi.copy()
    precision.module.apply_diagonal(diagonal, qubits, table, [4])
    assert_same_bits(rotated, diagonal)


def test_empty_string_is_a_global_phase(rng):
    psi = random_state(rng, 64)
    got = psi.copy()
    velt_core.apply_pauli_rotation(got, "", [], 0.5)
    np.testing.assert_allclose(got, np.exp(-0.25j) * psi, rtol=1e-15)
    controlled = psi.copy()
    velt_core.apply_pauli_rotation(controlled, "", [], 0.5, [5])
    assert_same_bits(controlled[:32], psi[:32])
    assert_same_bits(controlled[32:], got[32:])


@pytest.mark.parametrize("order", [[2, 0, 1], [5, 3, 0, 4, 1], [6, 1, 0, 2, 5, 4, 3], [9, 8, 7, 6, 5, 4, 3, 2, 1, 0]])
def test_targets_in_any_order(rng, precision, order):
    # Unordered targets go through a reordered copy of the table (on the
    # stack up to four targets, on the heap beyond): the same entries.
    psi = random_state(rng, 1 << 10, special=True, dtype=precision.dtype)
    diag = random_state(rng, 1 << len(order), special=True)
    got = psi.copy()
    precision.module.apply_diagonal(got, order, diag)
    assert_same_bits(got, ref.apply_diagonal(psi, order, diag), any_nan=NAN_ORDER_OPEN)


def test_table_sharing_the_state_is_read_as_it_was(rng, precision):
    psi = random_state(rng, 16, dtype=precision.dtype)
    expected = ref.apply_diagonal(psi, [0, 3], psi[4:8].copy())
    precision.module.apply_diagonal(psi, [0, 3], psi[4:8])
    assert_same_bits(psi, expected)


def test_keywords_and_default_controls(rng):
    psi = random_state(rng, 8)
    a, b = psi.copy(), psi.copy()
    velt_core.apply_pauli_rotation(state=a, paulis="XZ", qubits=[2, 0], theta=1, controls=[1])
    velt_core.apply_pauli_rotation(b, "XZ", [2, 0], 1.0, [1])
    assert_same_bits(a, b)
    d = np.array([1j, -1.0])
    velt_core.apply_diagonal(state=a, targets=[1], diag=d)
    velt_core.apply_diagonal(b, [1], d, [])
    assert_same_bits(a, b)


# --------------------------------------------------------- cos/sin of theta/2


def angles():
    rng = np.random.default_rng(2026)
    out = [0.0, -0.0, 1.0, -1.0, math.pi, -math.pi, 2 * math.pi, 5e-324, -1e-310, 1e-300, 2.0**-30]
    out += [1.7976931348623157e308, -1.7976931348623157e308, 1e22, 1e300, 6381956970095103 * 2.0**798]
    out += list(rng.uniform(-50, 50, 1500))
    out += list(np.exp(rng.uniform(-40, 709, 1500)) * rng.choice([-1, 1], 1500))
    # Near multiples of pi, where theta/2 nears a multiple of pi/2 and the
    # reduction cancels the most.
    for k in range(1, 800):
        out += [k * math.pi, math.nextafter(k * math.pi, 0.0), -k * math.pi / 2]
    return [float(t) for t in out]


def module_cos_sin(theta):
    """c and s as the module computes them, read off a rotation by X of |0>:
    (c, 0) and (0, -s) exactly (s by value: its zero's sign does not show)."""
    psi = np.array([1.0, 0.0], dtype=np.complex128)
    velt_core.apply_pauli_rotation(psi, "X", [0], theta)
    return psi[0].real, -psi[1].imag


def test_cos_sin_follow_the_reference_bit_for_bit():
    for theta in angles():
        c, s = ref.cos_sin_half(theta)
        got_c, got_s = module_cos_sin(theta)
        assert np.float64(got_c).tobytes() == np.float64(c).tobytes(), theta
        assert got_s == s, theta


def test_cos_sin_within_one_ulp():
    mpmath = pytest.importorskip("mpmath")
    mpmath.mp.prec = 300
    worst = 0.0
    for theta in angles():
        c, s = ref.cos_sin_half(theta)
        half = mpmath.mpf(theta) / 2
        for got, exact in ((c, mpmath.cos(half)), (s, mpmath.sin(half))):
            e = float(exact)
            ulp = math.ulp(e) if e != 0 else 5e-324
            worst = max(worst, float(abs(mpmath.mpf(got) - exact) / ulp))
    assert worst < 1.0, worst  # measured: 0.76


def test_cos_sin_against_the_platform():
    # A cross-check of the above with the platform's libm, to a tolerance
    # (absolute near zero: libm itself is off by many ulps there for huge
    # angles, e.g. cos(1.0638745296653083e256 / 2)).
    for theta in angles()[:3000]:
        c, s = module_cos_sin(theta)
        assert math.isclose(c, math.cos(theta / 2), rel_tol=4e-16, abs_tol=4e-16)
        assert math.isclose(s, math.sin(theta / 2), rel_tol=4e-16, abs_tol=4e-16)


def test_negative_theta_gives_the_mirrored_sine():
    for theta in angles()[:2000]:
        c, s = ref.cos_sin_half(theta)
        c2, s2 = ref.cos_sin_half(-theta)
        assert np.float64(c).tobytes() == np.float64(c2).tobytes()
        assert np.float64(s).tobytes() == np.float64(-s2).tobytes()


# -------------------------------------------------------------------- refusals

D2 = np.array([1, 1j])
D4 = np.ones(4, dtype=complex)


def diagonal_refusals(n):
    top = n - 1
    return [
        (([0], D4), "apply_diagonal: diagonal size does not match 2^|targets|"),
        (([], D2), "apply_diagonal: diagonal size does not match 2^|targets|"),
        (([0, 0], D2), "apply_diagonal: diagonal size does not match 2^|targets|"),  # size before qubits
        (([], np.ones(1)), "apply_diagonal: target count out of range"),
        ((list(range(n + 1)), np.ones(1 << (n + 1))), "apply_diagonal: target count out of range"),
        (([n], D2), "apply_diagonal: qubit index out of range"),
        (([-1], D2), "apply_diagonal: qubit index out of range"),
        (([0], D2, [n]), "apply_diagonal: qubit index out of range"),
        (([top, top], D4), "apply_diagonal: repeated target qubit"),
        (([0], D2, [0]), "apply_diagonal: control overlaps a target qubit"),
        (([0], D2, [1, 1]), "apply_diagonal: control overlaps a target qubit"),
    ]


def rotation_refusals(n):
    return [
        (("XY", [0]), "apply_pauli_rotation: Pauli string length does not match the qubit list"),
        (("X", [0, 1]), "apply_pauli_rotation: Pauli string length does not match the qubit list"),
        (("é", [0]), "apply_pauli_rotation: Pauli letter is not one of I, X, Y, Z"),  # two bytes, one letter
        (("Xé", [0, 1]), "apply_pauli_rotation: Pauli letter is not one of I, X, Y, Z"),
        (("é", [0, 1]), "apply_pauli_rotation: Pauli string length does not match the qubit list"),
        (("x", [0]), "apply_pauli_rotation: Pauli letter is not one of I, X, Y, Z"),
        (("Q", [n]), "apply_pauli_rotation: Pauli letter is not one of I, X, Y, Z"),  # letter before qubit
        (("X", [n]), "apply_pauli_rotation: qubit index out of range"),
        (("X", [0], 1.0, [n]), "apply_pauli_rotation: qubit index out of range"),
        (("XZ", [1, 1]), "apply_pauli_rotation: repeated qubit"),
        (("X", [1], 1.0, [1]), "apply_pauli_rotation: control overlaps a qubit of the string"),
        (("", [], 1.0, [2, 2]), "apply_pauli_rotation: control overlaps a qubit of the string"),
    ]


def rotation_args(args):
    paulis, qubits, *rest = args
    theta = rest[0] if rest else 0.5
    return (paulis, qubits, theta, *rest[1:])


@pytest.mark.parametrize(("args", "message"), diagonal_refusals(3), ids=lambda x: str(x)[:40])
def test_diagonal_refusals_leave_the_state_alone(rng, precision, args, message):
    psi = random_state(rng, 8, special=True, dtype=precision.dtype)
    before = psi.copy()
    with pytest.raises(RuntimeError) as info:
        precision.module.apply_diagonal(psi, *args)
    assert str(info.value) == message
    assert_same_bits(psi, before)


@pytest.mark.parametrize(("args", "message"), rotation_refusals(3), ids=lambda x: str(x)[:40])
def test_rotation_refusals_leave_the_state_alone(rng, precision, args, message):
    psi = random_state(rng, 8, special=True, dtype=precision.dtype)
    before = psi.copy()
    with pytest.raises(RuntimeError) as info:
        precision.module.apply_pauli_rotation(psi, *rotation_args(args))
    assert str(info.value) == message
    assert_same_bits(psi, before)


@pytest.mark.parametrize("theta", [math.inf, -math.inf, math.nan])
def test_non_finite_theta_is_refused(rng, precision, theta):
    psi = random_state(rng, 8, dtype=precision.dtype)
    before = psi.copy()
    with pytest.raises(RuntimeError) as info:
        precision.module.apply_pauli_rotation(psi, "X", [0], theta)
    assert str(info.value) == "apply_pauli_rotation: theta is not finite"
    # Checked before the state: a read-only state reports theta first.
    psi.flags.writeable = False
    with pytest.raises(RuntimeError, match="theta is not finite"):
        precision.module.apply_pauli_rotation(psi, "X", [9], theta)
    assert_same_bits(psi, before)


@pytest.mark.parametrize(
    ("name", "call"),
    [
        ("apply_diagonal", lambda m, s: m.apply_diagonal(s, [0], D2)),
        ("apply_pauli_rotation", lambda m, s: m.apply_pauli_rotation(s, "Z", [0], 1.0)),
    ],
    ids=["diagonal", "rotation"],
)
def test_state_refusals(rng, precision, name, call):
    call = functools.partial(call, precision.module)
    frozen = random_state(rng, 8, dtype=precision.dtype)
    before = frozen.copy()
    frozen.flags.writeable = False
    with pytest.raises(ValueError) as info:
        call(frozen)
    assert str(info.value) == f"{name}: state is read-only"
    assert_same_bits(frozen, before)
    for state, complaint in (
        (np.array(1 + 0j, dtype=precision.dtype), "state must have at least one dimension"),
        (random_state(rng, 6, dtype=precision.dtype), "state length is not a power of two"),
        (np.zeros(0, precision.dtype), "state length is not a power of two"),
    ):
        kept = state.copy()
        with pytest.raises(RuntimeError) as info:
            call(state)
        assert str(info.value) == f"{name}: {complaint}"
        assert_same_bits(state, kept)


@pytest.mark.parametrize(
    "args",
    [("XZ", [0, "1"], 1.0), ("X", [0], "1.0"), (["X"], [0], 1.0), ("X", [0], 1j), ("X", 0, 1.0), ("X", [0], 10**400)],
    ids=str,
)
def test_rotation_conversion_failures_are_type_errors(rng, precision, args):
    psi = random_state(rng, 4, dtype=precision.dtype)
    before = psi.copy()
    with pytest.raises(TypeError):
        precision.module.apply_pauli_rotation(psi, *args)
    assert_same_bits(psi, before)


# ------------------------------------------------------------ far-apart pairs


def test_pairs_far_apart_in_memory():
    # Pairs 2^24 amplitudes (256 MiB) or more apart are updated a piece at a
    # time through a copy of the walked half on machines where that is
    # faster; the path needs 2^25 amplitudes.  Checked on a sample of pairs,
    # with a control and a partner bit inside the vector chunk, against the
    # reference arithmetic.
    n, top = 25, 24
    psi = np.arange(1 << n, dtype=np.float64) * (1 - 0.5j) / (1 << n)
    before = psi.copy()
    theta = 0.9
    velt_core.apply_pauli_rotation(psi, "XZY", [top, 3, 1], theta, [2])
    sample = np.r_[0:5000, (1 << top) - 5000 : (1 << top) + 5000, (1 << n) - 5000 : 1 << n]
    expected = _sampled_rotation(before, "XZY", [top, 3, 1], theta, [2], sample)
    assert_same_bits(psi[sample], expected)


def _sampled_rotation(psi, paulis, qubits, theta, controls, sample):
    """The reference formula for the sampled outputs alone."""
    c, s = ref.cos_sin_half(theta)
    x, z, y = ref.pauli_masks(paulis, qubits)
    cmask = sum(1 << q for q in controls)
    out = psi[sample].copy()
    for n_i, i in enumerate(sample):
        if i & cmask != cmask:
            continue
        a, b = psi[i], psi[i ^ x]
        t = -s if ((y % 4 < 2) != (bin(i & z).count("1") % 2 == 1)) else s
        if y % 2 == 0:
            out[n_i] = complex(c * a.real + (-t) * b.imag, c * a.imag + t * b.real)
        else:
            out[n_i] = complex(c * a.real + t * b.real, c * a.imag + t * b.imag)
    return out
