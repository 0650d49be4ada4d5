"""Property-based tests: random registers, qubits, target orders, controls,
matrices and input forms, each kernel against its bit-exact reference.

The number of examples per test comes from the hypothesis profile set in
conftest.py (VELT_HYPOTHESIS_EXAMPLES raises it for a longer run).
"""

import pickle

import numpy as np
import pytest
import reference as ref
from helpers import assert_same_bits, misaligned
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import velt_core

FINITE = st.complex_numbers(min_magnitude=0, max_magnitude=1e3, allow_nan=False, allow_infinity=False)
ANY = st.complex_numbers(allow_nan=True, allow_infinity=True, allow_subnormal=True)
# Mostly ordinary values, sometimes anything a double can hold.
NUMBERS = st.one_of(FINITE, FINITE, FINITE, ANY)


def values(length):
    return hnp.arrays(np.complex128, length, elements=NUMBERS)


def lengths(max_qubits):
    """Mostly 2^n, sometimes any length (the kernels address whole blocks)."""
    return st.one_of(st.integers(0, max_qubits).map(lambda n: 1 << n), st.integers(0, 1 << max_qubits))


# Forms of an array argument.  In-place forms are complex128 C-contiguous, so
# the kernel writes the caller's memory; converted forms reach the kernel as a
# temporary and the caller's object must come back unchanged.
IN_PLACE = ("array", "misaligned", "column")
CONVERTED = ("list", "float64", "complex64", "strided", "byteswapped")


@np.errstate(all="ignore")  # complex64 turns huge values into infinities
def make_form(form, v):
    if form == "array":
        return v.copy()
    if form == "misaligned":
        return misaligned(v, 5)[0]
    if form == "column":  # shape (N, 1): the first extent is still N
        return v.reshape(-1, 1).copy()
    if form == "list":
        return v.tolist()
    if form == "float64":
        return v.real.copy()
    if form == "complex64":
        return v.astype(np.complex64)
    if form == "strided":
        return np.repeat(v, 2)[::2]
    if form == "byteswapped":
        return v.astype(">c16")
    raise ValueError(form)


def frozen(obj):
    """Exact bytes of a caller's object, to show it did not change."""
    if isinstance(obj, np.ndarray):
        return obj.dtype.str, obj.shape, obj.tobytes()
    return pickle.dumps(obj)


def written_in_place(obj):
    """The README's rule: a native complex128 C-contiguous array is the
    caller's memory (a strided view of one element is C-contiguous too)."""
    return isinstance(obj, np.ndarray) and obj.dtype == np.dtype(np.complex128) and obj.flags.c_contiguous


def check(run, form, v, expected, any_nan=True):
    """Calls run(obj) on v in the given form and checks the outcome."""
    obj = make_form(form, v)
    before = frozen(obj)
    assert run(obj) is None
    if written_in_place(obj):
        assert_same_bits(obj.reshape(-1), expected, any_nan=any_nan)
    else:
        assert form in CONVERTED
        assert frozen(obj) == before


@st.composite
def state_and_form(draw, max_qubits=7):
    v = draw(values(draw(lengths(max_qubits))))
    form = draw(st.sampled_from(IN_PLACE + CONVERTED))
    return v, form


MATRIX_FORMS = ("array", "flat", "list", "fortran", "strided", "complex64", "float64")


@np.errstate(all="ignore")
def matrix_form(form, u):
    """u (dim x dim) in the given form, and the complex128 matrix it converts to."""
    if form == "flat":
        obj = u.reshape(-1).copy()
    elif form == "list":
        obj = u.tolist()
    elif form == "fortran":
        obj = np.asfortranarray(u)
    elif form == "strided":
        obj = np.repeat(u, 2, axis=1)[:, ::2]
    elif form == "complex64":
        obj = u.astype(np.complex64)
    elif form == "float64":
        obj = u.real.copy()
    else:
        obj = u.copy()
    return obj, np.asarray(obj, dtype=np.complex128).reshape(u.shape)


@given(state_and_form(), st.integers(0, 9), st.lists(NUMBERS, min_size=4, max_size=4))
def test_apply_1q(state, q, m):
    v, form = state
    check(lambda psi: velt_core.apply_1q(psi, q, *m), form, v, ref.apply_1q(v, q, m))


def two_qubit_call(kernel, v, a, b, m):
    """(call on a state, reference result on v) for one of the two-qubit kernels."""
    if kernel == "apply_cnot_fast":
        return (lambda psi: velt_core.apply_cnot_fast(psi, a, b)), ref.apply_cnot(v, a, b)
    if kernel == "apply_swap":
        return (lambda psi: velt_core.apply_swap(psi, a, b)), ref.apply_swap(v, a, b)
    return (lambda psi: velt_core.apply_controlled_1q(psi, a, b, *m)), ref.apply_controlled_1q(v, a, b, m)


@pytest.mark.parametrize("kernel", ["apply_cnot_fast", "apply_swap", "apply_controlled_1q"])
@given(state=state_and_form(), a=st.integers(0, 8), b=st.integers(0, 8), m=st.lists(NUMBERS, min_size=4, max_size=4))
def test_two_qubit_kernels(kernel, state, a, b, m):
    v, form = state
    run, expected = two_qubit_call(kernel, v, a, b, m)
    # The permutations move whole amplitudes: exact bits, NaN payloads included.
    check(run, form, v, expected, any_nan=kernel == "apply_controlled_1q")


@st.composite
def dense_matrix(draw, k):
    dim = 1 << k
    u = draw(hnp.arrays(np.complex128, (dim, dim), elements=NUMBERS))
    return matrix_form(draw(st.sampled_from(MATRIX_FORMS)), u)


@given(st.data(), state_and_form(max_qubits=7))
def test_apply_gate_fast(data, state):
    v, form = state
    # Targets in any order, some of them at or above the register width.
    targets = data.draw(st.lists(st.integers(0, 8), min_size=1, max_size=4, unique=True), label="targets")
    u_obj, u = data.draw(dense_matrix(len(targets)), label="u")
    check(lambda psi: velt_core.apply_gate_fast(psi, targets, u_obj), form, v, ref.apply_gate_fast(v, targets, u))


@given(st.data(), st.integers(0, 7))
def test_apply_gate(data, n):
    qubits = data.draw(st.permutations(range(n)), label="qubit order")
    k = data.draw(st.integers(0, min(n, 5)), label="k")
    c = data.draw(st.integers(0, n - k), label="controls")
    targets, controls = qubits[:k], qubits[k : k + c]
    v = data.draw(values(1 << n), label="state")
    form = data.draw(st.sampled_from(IN_PLACE + CONVERTED), label="form")
    u_obj, u = data.draw(dense_matrix(k), label="u")
    expected = ref.apply_gate(v, targets, u, controls)
    if controls or data.draw(st.booleans(), label="controls given"):
        run = lambda psi: velt_core.apply_gate(psi, targets, u_obj, controls=controls)  # noqa: E731
    else:
        run = lambda psi: velt_core.apply_gate(psi, targets, u_obj)  # noqa: E731
    check(run, form, v, expected)


@given(st.data(), st.integers(1, 4))
def test_apply_kraus_1q(data, n):
    q = data.draw(st.integers(0, n - 1), label="qubit")
    extra = data.draw(st.integers(0, 5), label="extra elements")
    v = data.draw(values(4**n + extra), label="rho")
    form = data.draw(st.sampled_from(IN_PLACE + CONVERTED), label="form")
    count = data.draw(st.integers(0, 4), label="operators")
    ops = [data.draw(dense_matrix(1), label=f"K{i}") for i in range(count)]
    expected = np.concatenate([ref.kraus_1q(v[: 4**n], n, q, [u for _, u in ops]), v[4**n :]])
    check(lambda rho: velt_core.apply_kraus_1q(rho, n, q, [obj for obj, _ in ops]), form, v, expected)


LARGE_KERNELS = ["apply_1q", "apply_cnot_fast", "apply_swap", "apply_controlled_1q", "apply_gate_fast", "apply_gate"]


@pytest.mark.parametrize("kernel", LARGE_KERNELS)
@given(data=st.data(), n=st.integers(11, 15), seed=st.integers(0, 2**32 - 1))
def test_large_registers(kernel, data, n, seed):
    # Registers large enough that the pair walks are cut into several tiles
    # and the dense gates into many outer iterations: every amplitude against
    # the reference, whatever the split.  Values from a seeded generator (a
    # drawn array of 2^15 elements would be slow to generate).
    rng = np.random.default_rng(seed)
    extra = data.draw(st.sampled_from([0, 0, 1, 77, 1 << (n - 2)]), label="extra amplitudes")
    length = (1 << n) + (extra if kernel != "apply_gate" else 0)
    v = rng.standard_normal(length) + 1j * rng.standard_normal(length)
    m = list(rng.standard_normal(4) + 1j * rng.standard_normal(4))
    qubit = st.integers(0, n)
    if kernel == "apply_1q":
        q = data.draw(qubit, label="q")
        run, expected = (lambda psi: velt_core.apply_1q(psi, q, *m)), ref.apply_1q(v, q, m)
    elif kernel in ("apply_cnot_fast", "apply_swap", "apply_controlled_1q"):
        a, b = data.draw(qubit, label="a"), data.draw(qubit, label="b")
        run, expected = two_qubit_call(kernel, v, a, b, m)
    elif kernel == "apply_gate_fast":
        targets = data.draw(st.lists(qubit, min_size=1, max_size=4, unique=True), label="targets")
        dim = 1 << len(targets)
        u = rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))
        run, expected = (lambda psi: velt_core.apply_gate_fast(psi, targets, u)), ref.apply_gate_fast(v, targets, u)
    else:
        qubits = data.draw(st.permutations(range(n)), label="qubit order")
        k = data.draw(st.integers(0, 4), label="k")
        c = data.draw(st.integers(0, 3), label="controls")
        targets, controls = qubits[:k], qubits[k : k + c]
        u = rng.standard_normal((1 << k,) * 2) + 1j * rng.standard_normal((1 << k,) * 2)
        run = lambda psi: velt_core.apply_gate(psi, targets, u, controls)  # noqa: E731
        expected = ref.apply_gate(v, targets, u, controls)
    check(run, "array", v, expected, any_nan=False)
