"""Observables in few reads: expectation_paulis, expectation_pauli_sum, inner_product.

The oracle is reference.py's model of the read-outs' summation order, which
gives the module's values bit for bit; dense Pauli matrices (np.kron) and
np.vdot guard the model.  The string sets are chosen so that every way the
module groups strings is taken: the one-block states (up to 2^15
amplitudes), the cache-blocked passes above, plain passes for strings on too
many high qubits, chunks of more than 64 strings sharing X/Y qubits, X/Y
qubits below 3 (pairs inside a group of eight), and between 3 and the top
one (partners in another group).
"""

import itertools
from pathlib import Path

import numpy as np
import pytest
import reference as ref
from helpers import assert_same_bits, misaligned, random_state

import velt_core


def random_terms(rng, n, count, fewest=0, most=6, letters="IXYZ"):
    terms = []
    for _ in range(count):
        k = int(rng.integers(fewest, min(n, most) + 1))
        qubits = [int(q) for q in rng.permutation(n)[:k]]
        terms.append(("".join(rng.choice(list(letters), k)), qubits))
    return terms


def ring(n):
    """XX, YY, ZZ on every edge of a ring and X on every qubit."""
    terms = []
    for q in range(n):
        edge = [q, (q + 1) % n]
        terms += [("XX", edge), ("YY", edge), ("ZZ", edge)]
    return terms + [("X", [q]) for q in range(n)]


def shared_pattern(n):
    """70 strings on the X/Y qubits {1, n-1} (more than one chunk of 64),
    real and imaginary ones (even and odd Y counts) mixed."""
    z_qubits = [q for q in range(n) if q not in (1, n - 1)][:6]
    terms = []
    for bits in range(70):
        zs = [q for d, q in enumerate(z_qubits) if (bits >> d) & 1]
        head = ("XX", "XY", "YY", "YX")[bits % 4]
        terms.append((head + "Z" * len(zs), [1, n - 1, *zs]))
    return terms


def cases():
    for n in (0, 1, 2, 3):  # every string on every qubit: states of at most 8 amplitudes
        yield n, ["".join(p) for p in itertools.product("IXYZ", repeat=n)], False
    yield 4, random_terms(np.random.default_rng(4), 4, 60), True
    yield 12, random_terms(np.random.default_rng(12), 12, 120) + shared_pattern(12), True
    yield 15, ring(15) + random_terms(np.random.default_rng(15), 15, 60), False
    # Cache blocks of 2, 3 and 4 high qubits; strings with more are plain passes.
    yield 16, ring(16) + random_terms(np.random.default_rng(16), 16, 80, fewest=2), True
    yield 17, random_terms(np.random.default_rng(17), 17, 60, fewest=2, most=8) + shared_pattern(17), False
    yield 18, ring(18) + random_terms(np.random.default_rng(18), 18, 60, fewest=2), True


CASES = [
    pytest.param(n, [t if isinstance(t, tuple) else (t, list(range(n))) for t in terms], special, id=f"n={n}")
    for n, terms, special in cases()
]


@pytest.mark.parametrize(("n", "terms", "special"), CASES)
def test_each_value_is_the_single_string_value_bit_for_bit(rng, precision, n, terms, special):
    psi = random_state(rng, 2**n, special=special, dtype=precision.dtype)
    got = precision.module.expectation_paulis(psi, terms)
    assert got.dtype == np.float64 and got.shape == (len(terms),)
    # Same arithmetic in the same order: equal bytes, NaN payloads included.
    alone = np.array([precision.module.expectation_pauli(psi, p, q) for p, q in terms])
    assert_same_bits(got, alone)
    assert_same_bits(got, ref.expectation_paulis(psi, terms), any_nan=special)


def test_model_against_dense_matrices(rng):
    n = 5
    psi = random_state(rng, 2**n)
    terms = random_terms(rng, n, 40) + ring(n)
    got = velt_core.expectation_paulis(psi, terms)
    for value, (paulis, qubits) in zip(got, terms, strict=True):
        exact = np.vdot(psi, ref.dense_pauli(n, paulis, qubits) @ psi)
        assert abs(exact.imag) < 1e-12
        assert value == pytest.approx(exact.real, rel=1e-12, abs=1e-12)


def test_terms_in_any_order_and_any_company_give_the_same_values(rng):
    n = 16
    psi = random_state(rng, 2**n)
    terms = ring(n) + random_terms(rng, n, 30)
    got = velt_core.expectation_paulis(psi, terms)
    order = rng.permutation(len(terms))
    assert_same_bits(velt_core.expectation_paulis(psi, [terms[i] for i in order]), got[order])
    assert_same_bits(velt_core.expectation_paulis(psi, terms[:7] * 3), np.tile(got[:7], 3))


@pytest.mark.parametrize("n", [3, 12, 17], ids=lambda n: f"n={n}")
def test_pauli_sum_is_the_sum_in_term_order(rng, precision, n):
    psi = random_state(rng, 2**n, dtype=precision.dtype)
    terms = ring(n) + random_terms(rng, n, 20)
    coeffs = rng.standard_normal(len(terms))
    got = precision.module.expectation_pauli_sum(psi, coeffs, terms)
    assert type(got) is float
    values = precision.module.expectation_paulis(psi, terms)
    total = 0.0
    for c, v in zip(coeffs.tolist(), values.tolist(), strict=True):
        total = total + c * v
    assert_same_bits(np.array([got]), np.array([total]))
    assert_same_bits(np.array([got]), np.array([ref.expectation_pauli_sum(psi, coeffs, terms)]))
    if n <= 3:
        h = sum(c * ref.dense_pauli(n, p, q) for c, (p, q) in zip(coeffs, terms, strict=True))
        assert got == pytest.approx(np.vdot(psi, h @ psi).real, rel=1e-12)


def test_pauli_sum_takes_real_numbers_of_any_float_kind():
    psi = np.array([0.6, 0.8j])
    terms = [("Z", [0]), ("Y", [0])]
    expected = velt_core.expectation_pauli_sum(psi, np.array([2.0, -1.0]), terms)
    assert expected == pytest.approx(2 * (0.36 - 0.64) - 2 * 0.48)
    for coeffs in ([2, -1], np.array([2, -1], np.float32), (2.0, -1), np.array([[2.0], [-1.0]])):
        assert velt_core.expectation_pauli_sum(psi, coeffs, terms) == expected
    z = velt_core.expectation_pauli(psi, "Z", [0])
    assert velt_core.expectation_pauli_sum(psi, np.array(3.0), [("Z", [0])]) == 3.0 * z
    assert np.isnan(velt_core.expectation_pauli_sum(psi, [np.nan, 0.0], terms))
    assert velt_core.expectation_pauli_sum(psi, [], []) == 0.0
    assert velt_core.expectation_paulis(psi, []).shape == (0,)


@pytest.mark.parametrize("n_amps", [1, 2, 4, 8, 64, 2**12, 2**13, 2**16], ids=lambda n: f"N={n}")
def test_inner_product_bit_exact_and_against_vdot(rng, precision, n_amps):
    module = precision.module
    a = random_state(rng, n_amps, dtype=precision.dtype)
    b = random_state(rng, n_amps, dtype=precision.dtype)
    got = module.inner_product(a, b)
    assert type(got) is complex
    expected = ref.inner_product(a, b)
    assert_same_bits(np.array([got]), np.array([expected]))
    # np.vdot of complex64 sums in float: compared on the exactly widened parts.
    assert got == pytest.approx(np.vdot(a.astype(complex), b.astype(complex)), rel=1e-12)
    # conj(a) b and conj(b) a: the same products, the subtraction reversed.
    assert_same_bits(np.array([module.inner_product(b, a)]), np.array([got.conjugate()]))
    # <a|a>: the squared norm of probabilities(a, []), term for term.
    assert_same_bits(np.array([module.inner_product(a, a).real]), module.probabilities(a, []))


def test_inner_product_with_special_values(rng, precision):
    a = random_state(rng, 2**13, special=True, dtype=precision.dtype)
    b = random_state(rng, 2**13, special=True, dtype=precision.dtype)
    got = precision.module.inner_product(a, b)
    assert_same_bits(np.array([got]), np.array([ref.inner_product(a, b)]), any_nan=True)


def test_read_outs_take_converted_read_only_and_misaligned_arrays(rng):
    psi = random_state(rng, 64)
    other = random_state(rng, 64)
    terms = ring(6)
    values = velt_core.expectation_paulis(psi, terms)
    overlap = velt_core.inner_product(psi, other)
    frozen = psi.copy()
    frozen.flags.writeable = False
    shifted, _ = misaligned(psi, 3)
    for make in (lambda a: a.tolist(), lambda a: a.astype(np.dtype(">c16")), lambda a: np.repeat(a, 2)[::2]):
        assert_same_bits(velt_core.expectation_paulis(make(psi), terms), values)
    for state in (frozen, shifted):
        before = state.copy()
        assert_same_bits(velt_core.expectation_paulis(state, terms), values)
        assert velt_core.inner_product(state, other) == overlap
        assert_same_bits(state, before)
    generator = ((p, np.array(q)) for p, q in terms)
    assert_same_bits(velt_core.expectation_paulis(state=psi, terms=generator), values)
    assert velt_core.expectation_pauli_sum(state=psi, coeffs=[1.0], terms=[["ZZ", (0, 1)]]) == values[2]
    assert velt_core.inner_product(b=other, a=psi) == overlap


# ---- bad input: a clear error, and every array as it was -------------------------------------

STATE = np.array([0.5, 0.5j, -0.5, 0.5], dtype=np.complex128)
R = RuntimeError


def _bad_calls():
    st = STATE
    for name, extra in (("expectation_paulis", ()), ("expectation_pauli_sum", ([],))):
        yield name, (np.zeros(6, complex), *extra, []), R, "state length is not a power of two"
        yield name, (np.zeros(0, complex), *extra, []), R, "state length is not a power of two"
        yield name, (np.array(1 + 0j), *extra, []), R, "state must have at least one dimension"
    good = ("Z", [0])
    for term in ("Z", ("Z",), ("Z", [0], 1), (b"Z", [0]), 5, [0, "Z"]):
        for name, extra in (("expectation_paulis", ()), ("expectation_pauli_sum", ([1.0, 1.0],))):
            yield name, (st, *extra, [good, term]), ValueError, f"{name}: term 1: a term is a pair (paulis, qubits)"
    for qubits in ("01", [0.5], [2**40], None):
        yield "expectation_paulis", (st, [("Z", qubits)]), TypeError, "incompatible function arguments: term 0"
    term_errors = [
        (("XZ", [0]), "Pauli string length does not match the qubit list"),
        (("Z", []), "Pauli string length does not match the qubit list"),
        (("Xé", [0, 1]), "Pauli letter is not one of I, X, Y, Z"),  # two letters, one bad
        (("x", [0]), "Pauli letter is not one of I, X, Y, Z"),
        (("Z\0", [0, 1]), "Pauli letter is not one of I, X, Y, Z"),
        (("ZZ", [0, 2]), "qubit index out of range"),
        (("Z", [-1]), "qubit index out of range"),
        (("XZ", [1, 1]), "repeated qubit"),
        (("ZZ", [0, 0]), "repeated qubit"),
    ]
    for term, message in term_errors:
        yield "expectation_paulis", (st, [good, good, term]), R, f"expectation_paulis: term 2: {message}"
        yield "expectation_pauli_sum", (st, [1, 1], [good, term]), R, f"expectation_pauli_sum: term 1: {message}"
    yield "expectation_pauli", (st, "Xé", [0, 1]), R, "Pauli letter is not one of I, X, Y, Z"
    for coeffs in ([1.0], [1.0, 2.0, 3.0], np.ones((2, 2)), 1.0):
        yield "expectation_pauli_sum", (st, coeffs, [good, good]), R, "coeffs and terms have different lengths"
    for coeffs in ([1 + 0j, 2.0], np.array([1.0, 2.0], complex), ["a", "b"]):
        yield "expectation_pauli_sum", (st, coeffs, [good, good]), TypeError, "incompatible function arguments"
    yield "inner_product", (np.array(1j), st), R, "inner_product: a must have at least one dimension"
    yield "inner_product", (st, np.array(1j)), R, "inner_product: b must have at least one dimension"
    yield "inner_product", (st, st[:2]), R, "inner_product: a and b have different lengths"
    yield "inner_product", (np.zeros(0, complex), st), R, "inner_product: a and b have different lengths"
    yield "inner_product", (np.zeros(3, complex), np.zeros(3, complex)), R, "state length is not a power of two"
    yield "inner_product", (np.zeros(0, complex), np.zeros(0, complex)), R, "state length is not a power of two"
    yield "inner_product", (st, "ab"), TypeError, "incompatible function arguments"


BAD = list(_bad_calls())


@pytest.mark.parametrize(("name", "args", "error", "message"), BAD, ids=[f"{b[0]}-{i}" for i, b in enumerate(BAD)])
def test_bad_input_raises_and_writes_nothing(precision, name, args, error, message):
    # The states in the precision's type; the messages are the same in both.
    args = [a.astype(precision.dtype) if isinstance(a, np.ndarray) and a.dtype.kind == "c" else a for a in args]
    before = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
    with pytest.raises(error) as info:
        getattr(precision.module, name)(*args)
    text = str(info.value)
    if error is TypeError and precision.module is velt_core.single and name == "inner_product":
        # velt_core.single takes any object as a state and says what it got.
        assert text == "inner_product: b must be a C-contiguous numpy.ndarray of complex64 (got str)"
    elif error is TypeError:
        assert text.startswith(f"{name}(): {message}")
    else:
        assert text == (message if message.startswith(name) else f"{name}: {message}")
    for arg, old in zip(args, before, strict=True):
        if isinstance(arg, np.ndarray):
            assert_same_bits(arg, old)


def test_readme_lists_every_error():
    readme = (Path(__file__).parent.parent / "README.md").read_text(encoding="utf-8")
    for name, _, error, message in BAD:
        if error is not TypeError:
            text = message if message.startswith(name) else f"{name}: {message}"
            text = text.replace("term 1", "term K").replace("term 2", "term K")
            assert f'"{text}"' in readme, text
