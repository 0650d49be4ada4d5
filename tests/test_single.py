"""velt_core.single: the module's functions on complex64 states.

The other test files run their cases through both precisions (the
`precision` fixture) against the bit-exact references; this one holds what
is particular to the complex64 family: which states it takes (never a
converted copy), how it rounds gate entries and matrices, and that its
results track the complex128 ones to single-precision accuracy.
"""

import re
import subprocess
import sys

import numpy as np
import pytest
import reference as ref
from helpers import assert_same_bits, misaligned, random_matrix, random_state

import velt_core
from velt_core import single

C64 = np.complex64
H = list(np.array([1, 1, 1, -1]) / np.sqrt(2))


def test_submodule_holds_the_module_functions_in_table_order():
    names = [name for name in vars(velt_core) if not name.startswith("__") and name != "single"]
    assert [name for name in vars(single) if not name.startswith("__")] == [
        name for name in names if name != "cpu_dispatch_tier"
    ]
    assert list(vars(velt_core))[-1] == "single"  # registered after every function
    for name in vars(single):
        if not name.startswith("__"):
            # Same docstring and parameter names; the states' annotation differs.
            ours, theirs = getattr(single, name).__doc__, getattr(velt_core, name).__doc__
            assert ours.split("\n", 1)[1] == theirs.split("\n", 1)[1]
            params = re.findall(r"(\w+): ", ours.splitlines()[0])
            assert params == re.findall(r"(\w+): ", theirs.splitlines()[0])
    assert single.kernel_isa() == velt_core.kernel_isa()
    assert single.__name__ == "velt_core.single"


def test_submodule_imports_like_a_package_module():
    code = "import velt_core.single as s; from velt_core.single import apply_1q; print(s.apply_1q is apply_1q)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and out.stdout.strip() == "True", out.stderr


def not_complex64_states():
    """(id, object, what the message says it got) for states that must be refused."""
    psi = random_state(np.random.default_rng(3), 8, dtype=C64)
    yield "list", psi.tolist(), "list"
    yield "tuple", tuple(psi), "tuple"
    yield "complex128", psi.astype(np.complex128), "numpy.ndarray of complex128"
    yield "float32", psi.real.copy(), "numpy.ndarray of float32"
    yield "byteswapped", psi.astype(">c8"), "numpy.ndarray of >c8"
    yield "strided", np.repeat(psi, 2)[::2], "numpy.ndarray of complex64 that is not C-contiguous"
    fortran = np.asfortranarray(np.stack([psi, psi], axis=1))
    yield "fortran", fortran, "numpy.ndarray of complex64 that is not C-contiguous"
    yield "scalar", C64(1), "complex64"
    yield "none", None, "NoneType"


CALLS = {
    "apply_1q": lambda f, s: f(s, 0, *H),
    "apply_cnot_fast": lambda f, s: f(s, 0, 1),
    "apply_controlled_1q": lambda f, s: f(s, 0, 1, *H),
    "apply_swap": lambda f, s: f(s, 0, 1),
    "apply_gate_fast": lambda f, s: f(s, [0], np.eye(2)),
    "apply_gate": lambda f, s: f(s, [0], np.eye(2)),
    "apply_kraus_1q": lambda f, s: f(s, 1, 0, [np.eye(2)]),
    "apply_sequence": lambda f, s: f(s, [("apply_1q", 0, *H)]),
    "probabilities": lambda f, s: f(s),
    "expectation_pauli": lambda f, s: f(s, "Z", [0]),
    "sample": lambda f, s: f(s, [0.5]),
    "measure": lambda f, s: f(s, 0, 0.5),
    "apply_diagonal": lambda f, s: f(s, [0], [1, 1j]),
    "apply_pauli_rotation": lambda f, s: f(s, "XZ", [0, 1], 0.3),
    "expectation_paulis": lambda f, s: f(s, [("Z", [0])]),
    "expectation_pauli_sum": lambda f, s: f(s, [1.0], [("Z", [0])]),
    "inner_product": lambda f, s: f(s, np.ones(8, C64)),
    "inner_product:b": lambda f, s: f(np.ones(8, C64), s),
    "apply_kraus": lambda f, s: f(s, 1, [0], [np.eye(2)]),
    "apply_unitary_rho": lambda f, s: f(s, 1, [0], np.eye(2)),
    "apply_kraus_sampled": lambda f, s: f(s, [0], [np.eye(2)], 0.5),
}
# The argument a call's complaint names, where it is not "state".
WHAT = {"apply_kraus_1q": "rho", "apply_kraus": "rho", "apply_unitary_rho": "rho", "inner_product": "a"}


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize(("state", "got"), [pytest.param(s, g, id=i) for i, s, g in not_complex64_states()])
def test_states_of_another_form_are_refused_unchanged(call, state, got):
    name, _, what = call.partition(":")
    what = what or WHAT.get(name, "state")
    before = np.array(state, copy=True) if state is not None else None
    message = f"{name}: {what} must be a C-contiguous numpy.ndarray of complex64 (got {got})"
    with pytest.raises(TypeError) as info:
        CALLS[call](getattr(single, name), state)
    assert str(info.value) == message
    if isinstance(state, np.ndarray):
        assert state.dtype == before.dtype
        assert state.tobytes() == before.tobytes()
    elif state is not None:
        assert np.array_equal(np.array(state), before)


def test_state_type_is_the_first_complaint():
    # A conversion failure comes before every other check, as pybind11's do
    # in velt_core: here a state of the wrong type and a gate too wide.
    psi = np.zeros(4, np.complex128)
    with pytest.raises(TypeError, match="^apply_gate_fast: state must be"):
        single.apply_gate_fast(psi, [0, 1, 2, 3, 4], np.eye(2))
    with pytest.raises(TypeError, match="^apply_gate: state must be"):
        single.apply_gate(psi, [0], np.eye(4))
    with pytest.raises(TypeError, match="^apply_kraus_1q: rho must be"):
        single.apply_kraus_1q(psi, 40, 0, [np.ones(3)])
    # The functions that check some arguments before the state's other
    # properties: a diagonal of the wrong size, a bad letter, theta.
    with pytest.raises(TypeError, match="^apply_diagonal: state must be"):
        single.apply_diagonal(psi, [0], np.ones(4))
    with pytest.raises(TypeError, match="^apply_pauli_rotation: state must be"):
        single.apply_pauli_rotation(psi, "Q", [0], 1.0)
    with pytest.raises(TypeError, match="^apply_pauli_rotation: state must be"):
        single.apply_pauli_rotation(psi, "X", [0], float("nan"))
    with pytest.raises(TypeError, match="^apply_kraus: rho must be"):
        single.apply_kraus(psi, 1, [], [])
    with pytest.raises(TypeError, match="^apply_unitary_rho: rho must be"):
        single.apply_unitary_rho(psi, 1, [0, 1, 2, 3, 4], np.eye(2))
    with pytest.raises(TypeError, match="^apply_kraus_sampled: state must be"):
        single.apply_kraus_sampled(psi, [], [], 2.0)
    with pytest.raises(TypeError, match="^expectation_pauli_sum: state must be"):
        single.expectation_pauli_sum(psi, [1.0], [])
    # ... while an argument pybind11 cannot convert is refused before the body runs.
    with pytest.raises(TypeError, match=r"^apply_1q\(\): incompatible function arguments"):
        single.apply_1q(psi, 0.5, *H)


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize("form", ["subclass", "misaligned", "column", "read-only"])
def test_complex64_forms_written_in_place(rng, form):
    values = random_state(rng, 16, special=True, dtype=C64)
    expected = ref.apply_1q(values, 2, H)
    if form == "subclass":
        psi = values.copy().view(Sub)
    elif form == "misaligned":
        psi, buffer = misaligned(values, 3, rng, dtype=C64)
        outside = np.r_[buffer[:3], buffer[3 + psi.nbytes :]]
    elif form == "column":
        psi = values.reshape(-1, 1).copy()
    else:
        psi = values.copy()
        psi.flags.writeable = False
        with pytest.raises(ValueError, match="^apply_1q: state is read-only$"):
            single.apply_1q(psi, 2, *H)
        assert_same_bits(psi, values)
        return
    assert single.apply_1q(psi, 2, *H) is None
    assert_same_bits(np.asarray(psi).reshape(-1), expected, any_nan=True)
    if form == "misaligned":
        assert np.array_equal(np.r_[buffer[:3], buffer[3 + psi.nbytes :]], outside)


# Entries whose rounding to float shows: a tie (1 + 2^-24 rounds to even,
# 1.0), just above a tie, beyond float's range (infinity), below its
# smallest subnormal (a signed zero), NaN with a payload.
EDGES = [1 + 2**-24, 1 + 2**-24 + 2**-52, 3.5e38, -1e39, 1e-46, -1e-46, complex(np.nan, -np.inf)]


@np.errstate(over="ignore", under="ignore")
def test_entries_are_rounded_once_as_numpy_rounds(rng):
    psi = random_state(rng, 8, dtype=C64)
    for x in EDGES:
        m = [x, 0.5, complex(-0.25, x.real if isinstance(x, complex) else x), 1]
        rounded = np.array(m, dtype=np.complex128).astype(C64)
        entries = psi.copy()
        single.apply_1q(entries, 1, *m)
        pre_rounded = psi.copy()
        single.apply_1q(pre_rounded, 1, *rounded)
        assert_same_bits(entries, pre_rounded)
        assert_same_bits(entries, ref.apply_1q(psi, 1, rounded), any_nan=True)
        # In apply_sequence and apply_controlled_1q alike.
        sequenced = psi.copy()
        single.apply_sequence(sequenced, [("apply_controlled_1q", 0, 1, *m)])
        assert_same_bits(sequenced, ref.apply_controlled_1q(psi, 0, 1, rounded), any_nan=True)


@pytest.mark.parametrize(
    "form",
    ["complex128", "complex64", "float64", "float32", "int64", "list", "fortran", "strided", "byteswapped"],
)
@pytest.mark.parametrize("name", ["apply_gate_fast", "apply_gate", "apply_kraus_1q"])
def test_matrices_are_converted_to_complex64_by_numpy(rng, name, form):
    u = random_matrix(rng, 2 if name == "apply_kraus_1q" else 4) * 1e3
    u.flat[3] = 1 + 2**-24  # a tie
    if form in ("float64", "float32", "int64"):
        u = u.real
    obj = {
        "complex128": lambda: u,
        "complex64": lambda: u.astype(C64),
        "float64": lambda: u,
        "float32": lambda: u.astype(np.float32),
        "int64": lambda: u.astype(np.int64),
        "list": lambda: u.tolist(),
        "fortran": lambda: np.asfortranarray(u),
        "strided": lambda: np.repeat(u, 2, axis=1)[:, ::2],
        "byteswapped": lambda: u.astype(">c16"),
    }[form]()
    as_numpy = np.asarray(obj).astype(C64)  # what the module must use
    psi = random_state(rng, 16, dtype=C64)
    got, expected = psi.copy(), psi.copy()
    if name == "apply_kraus_1q":
        single.apply_kraus_1q(got, 2, 1, [obj, obj])
        single.apply_kraus_1q(expected, 2, 1, [as_numpy, as_numpy])
    else:
        getattr(single, name)(got, [1, 3], obj)
        getattr(single, name)(expected, [1, 3], as_numpy)
    assert_same_bits(got, expected)


def qft_ops(n):
    ops = []
    for j in reversed(range(n)):
        ops.append(("apply_1q", j, *H))
        for k in reversed(range(j)):
            phase = np.exp(2j * np.pi / 2 ** (j - k + 1))
            ops.append(("apply_controlled_1q", k, j, 1, 0, 0, phase))
    return ops + [("apply_swap", q, n - 1 - q) for q in range(n // 2)]


def test_complex64_circuit_tracks_the_complex128_one(rng):
    # The same circuit in both precisions: the complex64 state stays within a
    # few single-precision roundings per gate of the complex128 one, and its
    # read-outs (formed in double from the complex64 parts) within as much.
    n = 12
    psi = random_state(rng, 1 << n)
    psi /= np.linalg.norm(psi)
    ops = qft_ops(n)
    wide, narrow = psi.copy(), psi.astype(C64)
    velt_core.apply_sequence(wide, ops)
    single.apply_sequence(narrow, ops)
    np.testing.assert_allclose(narrow, wide, atol=len(ops) * 2**-24 / np.sqrt(1 << n))
    for f, args in (("probabilities", ([0, 5],)), ("expectation_pauli", ("XYZ", [1, 6, 11]))):
        np.testing.assert_allclose(getattr(single, f)(narrow, *args), getattr(velt_core, f)(wide, *args), atol=1e-5)
    assert single.sample(narrow, [0.3, 0.9]).dtype == np.int64


def test_read_outs_work_in_double_on_complex64_parts():
    # |a|^2 of a complex64 amplitude formed in float32 would round; in double
    # it is exact here (24-bit parts, 48-bit squares).
    a = np.float32(1 + 2**-23)
    psi = np.array([a, 0, 0, 0], dtype=C64)
    assert single.probabilities(psi)[0] == float(a) ** 2 != float(a * a)  # a * a: float32
    assert single.expectation_pauli(psi, "Z", [1]) == float(a) ** 2
    work = np.array([a, 1, 0, 0], dtype=C64)
    outcome, p = single.measure(work, 0, 0.0)
    total = float(a) ** 2 + 1
    assert (outcome, p) == (0, float(a) ** 2 / total)
    # The kept amplitude: the product in double, rounded once to float.
    assert work[0] == np.float32(float(a) * (1.0 / np.sqrt(float(a) ** 2)))


def test_complex64_passed_to_the_module_is_still_a_converted_copy(rng):
    psi = random_state(rng, 8, dtype=C64)
    before = psi.copy()
    velt_core.apply_1q(psi, 0, *H)
    assert_same_bits(psi, before)


@pytest.mark.parametrize("n", [3, 13, 17])
def test_observables_are_the_values_of_the_widened_state(rng, n):
    # Each part widened exactly, then the complex128 arithmetic in its order:
    # the bits velt_core gives for psi.astype(complex128), NaNs included.
    psi = random_state(rng, 1 << n, special=True, dtype=C64)
    other = random_state(rng, 1 << n, dtype=C64)
    wide, other_wide = psi.astype(np.complex128), other.astype(np.complex128)
    terms = [("XYZ", [0, 1, 2]), ("ZZ", [n - 1, 0]), ("Y", [n - 1]), ("", []), ("XX", [0, n - 1])]
    coeffs = [0.5, -1.25, 2.0, 1.0, 3.0]
    assert_same_bits(single.expectation_paulis(psi, terms), velt_core.expectation_paulis(wide, terms))
    got = single.expectation_pauli_sum(other, coeffs, terms)
    assert got == velt_core.expectation_pauli_sum(other_wide, coeffs, terms)
    for a, b in ((psi, other), (other, other)):
        overlap = single.inner_product(a, b)
        expected = velt_core.inner_product(a.astype(np.complex128), b.astype(np.complex128))
        assert_same_bits(np.array([overlap]), np.array([expected]))
