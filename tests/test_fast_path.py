"""The fast entry of each kernel row against the ordinary (pybind11) one.

Exact complex128 arrays (velt_core.single: complex64 states, complex64 or
small complex128 matrices), ints and complex/float entries take the fast
entry; any other form takes the ordinary one.  The differential tests run the same
values both ways: an ndarray subclass view of the same memory, int and
complex subclasses of the same values and a keyword argument all send a call
down the ordinary path, which must give the same bytes or the same error.
"""

import pydoc

import numpy as np
import pytest
import reference as ref
from helpers import PRECISIONS, assert_same_bits, misaligned, random_matrix, random_state

import velt_core


class Sub(np.ndarray):
    pass


class Int(int):
    pass


class Complex(complex):
    pass


class Float(float):
    pass


class Str(str):
    pass


def ordinary(args):
    """The same values in forms the fast entry leaves to pybind11."""

    def convert(x):
        if type(x) is np.ndarray:
            return x.view(Sub)
        if type(x) is int:
            return Int(x)
        if type(x) is float:
            return Float(x)
        if type(x) is complex:
            return Complex(x)
        if type(x) is float:
            return Float(x)
        if type(x) is str:
            return Str(x)
        if type(x) is list:
            return [convert(item) for item in x]
        return x

    return [convert(x) for x in args]


def outcome(function, args, kwargs=None):
    try:
        result = function(*args, **(kwargs or {}))
    except Exception as error:  # the type and text are what is compared
        return type(error), str(error)
    return result


def _copies(args):
    return [x.copy() if isinstance(x, np.ndarray) else list(x) if isinstance(x, list) else x for x in args]


def _arrays(args):
    out = []
    for x in args:
        if isinstance(x, np.ndarray):
            out.append(np.asarray(x))
        elif isinstance(x, list):
            out.extend(np.asarray(item) for item in x if isinstance(item, np.ndarray))
    return out


M = [complex(0.6, 0.1), complex(-0.3, 0.7), 0.25, 1.5]


def cases(precision):
    rng = np.random.default_rng(12)
    velt_core, dtype = precision  # the functions and states of one precision

    def state(values):
        return np.asarray(values).astype(dtype)

    psi = random_state(rng, 16, special=True, dtype=dtype)
    u1, u2, u3 = random_matrix(rng, 2), random_matrix(rng, 4), random_matrix(rng, 8)
    rho = state(random_matrix(rng, 8))
    ops = [random_matrix(rng, 2), random_matrix(rng, 2)]
    if dtype == np.complex64:
        # Matrices the fast entry reads where they lie, rounds into its buffer
        # (complex128, at most 256 elements) or leaves to the ordinary entry;
        # states it leaves to the ordinary entry's TypeError.
        yield "gate_fast-complex64-matrix", velt_core.apply_gate_fast, [psi, [2, 0], u2.astype(dtype)]
        yield "gate-complex128-matrix-256", velt_core.apply_gate, [psi, [0, 1, 2, 3], random_matrix(rng, 16)]
        u5, psi64 = random_matrix(rng, 32), state(random_matrix(rng, 8).ravel())
        yield "gate-complex128-matrix-1024", velt_core.apply_gate, [psi64, [0, 4, 1, 2, 5], u5]
        yield "kraus-mixed-operators", velt_core.apply_kraus_1q, [rho, 3, 2, [ops[0].astype(dtype), ops[1]]]
        yield "kraus-complex128-three-elements", velt_core.apply_kraus_1q, [rho, 3, 2, [np.ones(3, complex)]]
        yield "1q-complex128-state", velt_core.apply_1q, [psi.astype(np.complex128), 1, *M]
        yield "gate-complex128-state", velt_core.apply_gate, [psi.astype(np.complex128), [9], u1]
    yield "1q", velt_core.apply_1q, [psi, 1, *M]
    yield "1q-high-qubit", velt_core.apply_1q, [psi, 9, *M]
    yield "1q-qubit-62", velt_core.apply_1q, [psi, 62, *M]
    yield "1q-negative", velt_core.apply_1q, [psi, -1, *M]
    yield "1q-int-entries", velt_core.apply_1q, [psi, 0, 0, 1, 1, 0]
    yield "1q-2d-state", velt_core.apply_1q, [state(random_matrix(rng, 4)), 0, *M]
    yield "1q-empty", velt_core.apply_1q, [np.zeros(0, dtype), 0, *M]
    yield "1q-odd-length", velt_core.apply_1q, [random_state(rng, 7, dtype=dtype), 1, *M]
    for name, f in (("cnot", velt_core.apply_cnot_fast), ("swap", velt_core.apply_swap)):
        for a, b in ((0, 3), (3, 0), (2, 2), (0, 63), (-1, 0), (1, 62)):
            yield f"{name}-{a}-{b}", f, [psi, a, b]
    for c, t in ((0, 3), (3, 1), (1, 1), (63, 0), (0, -2)):
        yield f"c1q-{c}-{t}", velt_core.apply_controlled_1q, [psi, c, t, *M]
    for targets, u in (([0], u1), ([3, 1], u2), ([0, 2, 1], u3), ([], u1), ([1, 1], u2), ([0], u2), ([63], u1)):
        yield f"gate_fast-{targets}-{len(u)}", velt_core.apply_gate_fast, [psi, targets, u]
    for targets, u, controls in (
        ([0], u1, []),
        ([2, 0], u2, [3]),
        ([1], u1, [1]),
        ([1], u1, [0, 0]),
        ([4], u1, []),
        ([0, 0], u2, []),
        ([0], u2, []),
        ([], np.ones((1, 1), complex), [2]),
    ):
        yield f"gate-{targets}-{controls}-{len(u)}", velt_core.apply_gate, [psi, targets, u, controls]
    yield "gate-three-args", velt_core.apply_gate, [psi, [2], u1]
    yield "gate-length-not-power", velt_core.apply_gate, [random_state(rng, 12, dtype=dtype), [0], u1]
    for n_qubits, qubit, these in (
        (3, 1, ops),
        (3, 3, ops),
        (4, 0, ops),
        (-1, 0, ops),
        (3, 0, [ops[0], u2]),
        (3, 2, []),
    ):
        yield f"kraus-{n_qubits}-{qubit}-{len(these)}", velt_core.apply_kraus_1q, [rho, n_qubits, qubit, these]
    d1, d2, d3 = (random_state(rng, 1 << k, special=True) for k in (1, 2, 3))
    for targets, d, controls in (
        ([0], d1, []),
        ([2, 0], d2, [3]),
        ([3, 1, 0], d3, []),  # unordered: through a reordered table
        ([1], d2, []),
        ([], np.ones(1, complex), []),
        ([4], d1, []),
        ([1, 1], d2, []),
        ([1], d1, [1]),
        ([1], d1, [0, 0]),
    ):
        yield f"diagonal-{targets}-{controls}-{len(d)}", velt_core.apply_diagonal, [psi, targets, d, controls]
    yield "diagonal-three-args", velt_core.apply_diagonal, [psi, [3], d1]
    yield "diagonal-length-not-power", velt_core.apply_diagonal, [random_state(rng, 12, dtype=dtype), [0], d1]
    yield "diagonal-2d-state", velt_core.apply_diagonal, [state(random_matrix(rng, 4)), [1], d1]
    for paulis, qubits, theta, controls in (
        ("XZ", [0, 2], 0.7, []),
        ("ZZ", [3, 1], -2, [0]),
        ("YIX", [1, 0, 3], 1e300, [2]),
        ("", [], 0.5, [1]),
        ("X", [0, 1], 0.5, []),
        ("Xé", [0, 1], 0.5, []),
        ("XQ", [0, 1], 0.5, []),
        ("X", [4], 0.5, []),
        ("XX", [2, 2], 0.5, []),
        ("X", [2], 0.5, [2]),
        ("X", [2], float("inf"), []),
        ("X", [2], True, []),
    ):
        yield (
            f"rotation-{paulis}-{qubits}-{theta}-{controls}",
            velt_core.apply_pauli_rotation,
            [psi, paulis, qubits, theta, controls],
        )
    yield "rotation-four-args", velt_core.apply_pauli_rotation, [psi, "Y", [1], 0.25]
    yield "rotation-length-not-power", velt_core.apply_pauli_rotation, [state(random_state(rng, 6)), "Y", [1], 0.25]
    ops2 = [random_matrix(rng, 4), random_matrix(rng, 4)]
    for n_qubits, qubits, these in (
        (3, [2, 0], ops2),
        (3, [1], ops),
        (3, [0, 1, 2], [u3]),
        (3, [0, 0], ops2),
        (3, [0, 3], ops2),
        (4, [0, 1], ops2),
        (3, [0, 1], ops),
        (3, [0, 1], []),
        (3, [], ops),
    ):
        yield f"kraus_k-{n_qubits}-{qubits}-{len(these)}", velt_core.apply_kraus, [rho, n_qubits, qubits, these]
    for targets, u, controls in (([1, 0], u2, [2]), ([2], u1, []), ([], np.ones((1, 1), complex), [0]), ([1], u2, [])):
        for args in ([rho, 3, targets, u, controls], [rho, 3, targets, u]):
            yield f"unitary_rho-{targets}-{controls}-{len(args)}", velt_core.apply_unitary_rho, args
    yield "unitary_rho-overlap", velt_core.apply_unitary_rho, [rho, 3, [1], u1, [1]]
    yield "unitary_rho-big-n", velt_core.apply_unitary_rho, [rho, 4, [1], u1, []]
    for qubits, these, u in (([3, 0], ops2, 0.3), ([1], ops, 0.99), ([1], ops, 1.0), ([4], ops, 0.5), ([1], [u2], 0.5)):
        yield f"sampled-{qubits}-{len(these)}-{u}", velt_core.apply_kraus_sampled, [psi.copy(), qubits, these, u]
    finite = random_state(rng, 16, dtype=dtype)
    yield "sampled-finite", velt_core.apply_kraus_sampled, [finite, [2, 1], ops2, 0.7]
    yield "sampled-zero", velt_core.apply_kraus_sampled, [np.zeros(8, dtype), [0], ops, 0.7]
    if dtype == np.complex64:
        # The newer rows' matrices, diagonals and operators: complex64 ones
        # where they lie; complex128 ones rounded as astype rounds them (a
        # tie among them), diagonals and u up to 256 elements, operators of
        # any size; larger diagonals and u left to the ordinary entry.
        tie = 1 + 2**-24
        big = random_state(rng, 1 << 9, special=True, dtype=dtype)
        d8, d9 = random_state(rng, 256, special=True), random_state(rng, 512)
        d8[5] = d9[7] = tie
        yield "diagonal-complex128-256", velt_core.apply_diagonal, [big, [7, 0, 1, 2, 3, 4, 5, 6], d8]
        yield "diagonal-complex128-512", velt_core.apply_diagonal, [big, list(range(9)), d9]
        yield "diagonal-complex64", velt_core.apply_diagonal, [psi, [1, 0], d2.astype(dtype), [3]]
        rho4, u4 = state(random_matrix(rng, 16)), random_matrix(rng, 16)
        u4[2, 3] = tie
        yield "unitary_rho-complex128-256", velt_core.apply_unitary_rho, [rho4, 4, [3, 1, 0, 2], u4]
        yield "unitary_rho-complex64", velt_core.apply_unitary_rho, [rho, 3, [2, 0], u2.astype(dtype), [1]]
        wide = [op.copy() for op in ops2]
        wide[1][0, 1] = tie
        mixed = [wide[0].astype(dtype), wide[1]]
        yield "kraus_k-complex128-operators", velt_core.apply_kraus, [rho, 3, [2, 0], wide]
        yield "kraus_k-mixed-operators", velt_core.apply_kraus, [rho, 3, [2, 0], mixed]
        yield "kraus_k-complex128-bad-size", velt_core.apply_kraus, [rho, 3, [2, 0], [wide[0], u3]]
        yield "sampled-complex128-operators", velt_core.apply_kraus_sampled, [finite.copy(), [2, 1], wide, 0.7]
        yield "sampled-mixed-operators", velt_core.apply_kraus_sampled, [finite.copy(), [2, 1], mixed, 0.3]
        yield "sampled-complex128-state", velt_core.apply_kraus_sampled, [finite.astype(complex), [2, 1], wide, 0.3]
        yield "diagonal-complex128-state", velt_core.apply_diagonal, [psi.astype(complex), [1], d1]


@pytest.mark.parametrize(
    ("function", "args"),
    [pytest.param(f, a, id=f"{name}-{i}") for name, p in PRECISIONS.items() for i, f, a in cases(p)],
)
def test_fast_entry_matches_ordinary_entry(function, args):
    fast_args, slow_args = _copies(args), _copies(args)
    fast = outcome(function, fast_args)
    slow = outcome(function, ordinary(slow_args))
    assert fast == slow
    for after_fast, after_slow in zip(_arrays(fast_args), _arrays(slow_args), strict=True):
        assert_same_bits(after_fast, after_slow)
    if isinstance(fast, tuple):  # a refused call leaves every array as it was
        for after, before in zip(_arrays(fast_args), _arrays(args), strict=True):
            assert_same_bits(after, before)


@pytest.mark.parametrize(
    ("name", "kwargs"),
    [
        ("apply_gate", {"controls": [0]}),
        ("apply_gate", {"u": None, "targets": [1]}),
        ("apply_kraus_1q", {"kraus_ops": None}),
    ],
)
def test_keyword_calls_match_positional_calls(rng, name, kwargs):
    u = random_matrix(rng, 2)
    if name == "apply_gate":
        state = random_state(rng, 8)
        positional = [state.copy(), kwargs.get("targets", [2]), u, kwargs.get("controls", [])]
        keyword_args = [state.copy()]
        keywords = {"targets": positional[1], "u": u, "controls": positional[3]}
    else:
        rho = random_matrix(rng, 4)
        ops = [u, random_matrix(rng, 2)]
        positional = [rho.copy(), 2, 1, ops]
        keyword_args = [rho.copy()]
        keywords = {"kraus_ops": ops, "qubit": 1, "n_qubits": 2}
    function = getattr(velt_core, name)
    assert outcome(function, positional) == outcome(function, keyword_args, keywords) is None
    assert_same_bits(positional[0], keyword_args[0])


H = [complex(x) for x in (np.array([1, 1, 1, -1]) / np.sqrt(2))]


def _h(values, q=0):
    return ref.apply_1q(np.asarray(values, dtype=np.complex128), q, np.array(H))


def test_subclass_state_is_written_in_place(rng):
    psi = random_state(rng, 8).view(Sub)
    expected = _h(psi)
    assert velt_core.apply_1q(psi, 0, *H) is None
    assert type(psi) is Sub
    assert_same_bits(np.asarray(psi), expected)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda psi: psi.astype(np.dtype(">c16")), id="byteswapped"),
        pytest.param(lambda psi: np.repeat(psi, 2)[::2], id="strided-view"),
        pytest.param(lambda psi: psi.astype(np.complex64), id="complex64"),
    ],
)
def test_converted_state_leaves_callers_array_alone(rng, make):
    state = make(random_state(rng, 8))
    before = state.copy()
    assert velt_core.apply_1q(state, 0, *H) is None
    assert state.dtype == before.dtype
    assert_same_bits(np.ascontiguousarray(state).view(np.uint8), before.view(np.uint8))


@pytest.mark.parametrize("offset", [4, 12])
def test_misaligned_state_gets_the_result(rng, offset):
    values = random_state(rng, 8)
    state, buffer = misaligned(values, offset, rng)
    around = buffer.copy()
    velt_core.apply_1q(state, 1, *H)
    assert_same_bits(np.array(state), _h(values, 1))
    outside = np.ones(buffer.size, bool)
    outside[offset : offset + values.nbytes] = False
    assert np.array_equal(buffer[outside], around[outside])


@pytest.mark.parametrize(
    ("state", "error", "message"),
    [
        pytest.param(
            lambda: np.zeros((), complex), RuntimeError, "apply_1q: state must have at least one dimension", id="0d"
        ),
        pytest.param(lambda: _read_only(), ValueError, "apply_1q: state is read-only", id="read-only"),
        pytest.param(
            lambda: np.broadcast_to(np.zeros(4, complex), (4,)),
            ValueError,
            "apply_1q: state is read-only",
            id="broadcast",
        ),
    ],
)
def test_refused_states(state, error, message):
    psi = state()
    before = np.array(psi, copy=True)
    with pytest.raises(error) as raised:
        velt_core.apply_1q(psi, 0, *H)
    assert str(raised.value) == message
    assert_same_bits(np.asarray(psi), before)


def _read_only():
    psi = np.arange(4, dtype=complex)
    psi.flags.writeable = False
    return psi


@pytest.mark.parametrize(
    ("qubit", "same_as"),
    [(True, 1), (False, 0), (np.int64(2), 2), (np.int32(1), 1), (np.uint8(0), 0), (Int(2), 2)],
    ids=["True", "False", "int64", "int32", "uint8", "int-subclass"],
)
def test_qubit_forms(rng, qubit, same_as):
    psi = random_state(rng, 8)
    expected = _h(psi, same_as)
    velt_core.apply_1q(psi, qubit, *H)
    assert_same_bits(psi, expected)


@pytest.mark.parametrize(
    "entries",
    [
        [np.float64(0.5), np.complex128(1j), np.float32(1.5), np.complex64(2 - 1j)],
        [np.int64(1), np.int8(-2), 3, True],
        [Complex(0.5, 1), 0.5, 2**60, -0.0],
    ],
    ids=["numpy-floats-and-complex", "numpy-ints-and-bool", "subclass-bigint-negzero"],
)
def test_matrix_entry_forms(rng, entries):
    psi = random_state(rng, 8)
    expected = ref.apply_1q(psi, 2, np.array([complex(x) for x in entries]))
    velt_core.apply_1q(psi, 2, *entries)
    assert_same_bits(psi, expected)
    target = random_state(rng, 8)
    expected = ref.apply_controlled_1q(target, 0, 2, np.array([complex(x) for x in entries]))
    velt_core.apply_controlled_1q(target, 0, 2, *entries)
    assert_same_bits(target, expected)


def test_entry_too_large_for_a_double_is_a_type_error(rng):
    psi = random_state(rng, 4)
    before = psi.copy()
    with pytest.raises(TypeError):
        velt_core.apply_1q(psi, 0, 10**400, 0, 0, 1)
    assert_same_bits(psi, before)


@pytest.mark.parametrize(
    "u",
    [
        pytest.param(lambda u: u.tolist(), id="list"),
        pytest.param(lambda u: tuple(map(tuple, u)), id="tuple"),
        pytest.param(lambda u: u.astype(np.dtype(">c16")), id="byteswapped"),
        pytest.param(lambda u: u.T.copy().T, id="fortran"),
        pytest.param(lambda u: u.view(Sub), id="subclass"),
        pytest.param(lambda u: misaligned(u, 4)[0], id="misaligned"),
    ],
)
@pytest.mark.parametrize("name", ["apply_gate_fast", "apply_gate"])
def test_matrix_forms(rng, name, u):
    matrix = random_matrix(rng, 4)
    psi = random_state(rng, 16)
    expected = getattr(ref, name)(psi, [2, 0], matrix)
    getattr(velt_core, name)(psi, [2, 0], u(matrix))
    assert_same_bits(psi, expected)


@pytest.mark.parametrize("name", ["apply_gate_fast", "apply_gate"])
def test_matrix_sharing_the_states_memory(rng, name):
    buffer = random_state(rng, 20)
    psi, u = buffer[:16], buffer[16:].reshape(2, 2)
    expected = getattr(ref, name)(psi, [1], u.copy())
    getattr(velt_core, name)(psi, [1], u)
    assert_same_bits(psi, expected)


@pytest.mark.parametrize(
    "targets",
    [[1, 0], (1, 0), range(1, -1, -1), np.array([1, 0]), [np.int64(1), 0], [True, 0], (q for q in (1, 0))],
    ids=["list", "tuple", "range", "ndarray", "numpy-int-item", "bool-item", "generator"],
)
def test_qubit_list_forms(rng, targets):
    matrix = random_matrix(rng, 4)
    psi = random_state(rng, 8)
    expected = ref.apply_gate(psi, [1, 0], matrix)
    velt_core.apply_gate(psi, targets, matrix)
    assert_same_bits(psi, expected)


def test_kraus_operator_forms(rng):
    rho = random_matrix(rng, 4)
    ops = [random_matrix(rng, 2), random_matrix(rng, 2)]
    expected = ref.kraus_1q(rho, 2, 0, ops)
    for form in (ops, tuple(ops), [o.tolist() for o in ops], [ops[0], ops[1].view(Sub)], [o.ravel() for o in ops]):
        trial = rho.copy()
        velt_core.apply_kraus_1q(trial, 2, 0, form)
        assert_same_bits(trial, expected.reshape(rho.shape))


def test_rows_keep_their_generated_signature_and_record():
    # cpu_dispatch_tier is left as pybind11 made it: the kernel rows must
    # look the same from outside.
    plain = velt_core.cpu_dispatch_tier
    for name in (
        "apply_1q",
        "apply_cnot_fast",
        "apply_controlled_1q",
        "apply_swap",
        "apply_gate_fast",
        "apply_gate",
        "apply_kraus_1q",
        "apply_diagonal",
        "apply_pauli_rotation",
        "apply_kraus",
        "apply_unitary_rho",
        "apply_kraus_sampled",
    ):
        f = getattr(velt_core, name)
        assert type(f) is type(plain) and type(f.__self__) is type(plain.__self__)
        assert f.__name__ == name and f.__module__ == plain.__module__
        assert f.__text_signature__ is plain.__text_signature__ is None
        assert f.__doc__.startswith(name + "(")
        page = pydoc.render_doc(f, renderer=pydoc.plaintext)
        assert f.__doc__.splitlines()[0] in page
    assert "rho: " in velt_core.apply_kraus_1q.__doc__.splitlines()[0]
    assert "controls: " in velt_core.apply_gate.__doc__.splitlines()[0]


def _overflowing_calls(single):
    """velt_core.single calls whose complex128 matrix, diagonal or operators
    have a finite part beyond float's range (one element of many)."""
    psi = random_state(np.random.default_rng(5), 16, dtype=np.complex64)
    rho = psi.copy()
    u = np.eye(4, dtype=complex)
    u[1, 2] = 1e39
    ops = [np.eye(4, dtype=complex) / 2, u / 2]
    return (
        [
            ("apply_gate", lambda s: single.apply_gate(s, [0, 1], u)),
            ("apply_gate_fast", lambda s: single.apply_gate_fast(s, [2, 1], u)),
            ("apply_diagonal", lambda s: single.apply_diagonal(s, [3, 0], u[1])),
            ("apply_unitary_rho", lambda r: single.apply_unitary_rho(r, 2, [1, 0], u)),
            ("apply_kraus", lambda r: single.apply_kraus(r, 2, [0, 1], ops)),
            ("apply_kraus_sampled", lambda s: single.apply_kraus_sampled(s, [0, 1], ops, 0.2)),
        ],
        psi,
        rho,
    )


@pytest.mark.parametrize("index", range(6))
def test_rounding_overflow_is_reported_as_by_the_ordinary_entry(index):
    # NumPy's conversion to complex64 warns of the overflow (RuntimeWarning);
    # the fast entry, which rounds small complex128 arrays itself, leaves such
    # an array to it, so a call warns (or, with warnings as errors, fails to
    # convert) whichever entry it reached, and the bits are the same.
    calls, psi, rho = _overflowing_calls(velt_core.single)
    name, call = calls[index]
    array = rho if name in ("apply_unitary_rho", "apply_kraus") else psi
    before = array.copy()
    with pytest.raises(TypeError, match=rf"^{name}\(\): incompatible function arguments"):
        call(array)  # the suite turns warnings into errors
    assert_same_bits(array, before)
    results = []
    for make in (lambda a: a, lambda a: a.view(Sub)):
        work = make(before.copy())
        with pytest.warns(RuntimeWarning, match="overflow encountered in cast"):
            outcome(call, [work])
        results.append(np.asarray(work))
    assert_same_bits(results[0], results[1], any_nan=True)
