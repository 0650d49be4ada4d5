import copy
import itertools
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import reference as ref
from helpers import UNDER_SANITIZER, assert_same_bits, random_matrix, random_state

import velt_core

X = np.array([[0, 1], [1, 0]], dtype=complex)
I2 = np.eye(2, dtype=complex)


def random_rho(rng, n, special=False, dtype=np.complex128):
    """Random, deliberately non-Hermitian 2^n x 2^n matrix."""
    return random_state(rng, 4**n, special=special, dtype=dtype).reshape(1 << n, 1 << n)


def random_ops(rng, count):
    return [random_matrix(rng, 2) for _ in range(count)]


@pytest.mark.parametrize("count", [1, 2, 4])
@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 6])
def test_matches_reference_on_every_qubit(rng, precision, n, count):
    for q in range(n):
        rho = random_rho(rng, n, special=True, dtype=precision.dtype)
        ops = random_ops(rng, count)
        expected = ref.kraus_1q(rho, n, q, ops)
        assert precision.module.apply_kraus_1q(rho, n, q, ops) is None
        assert_same_bits(rho, expected, any_nan=True)


@pytest.mark.parametrize("dtype", [np.complex128, np.complex64])
@pytest.mark.parametrize(("n", "q"), [(1, 0), (3, 0), (3, 1), (3, 2), (5, 4)])
def test_reference_agrees_with_dense_channel(rng, n, q, dtype):
    rho = random_rho(rng, n, dtype=dtype)
    ops = random_ops(rng, 3)
    close = 1e-12 if dtype == np.complex128 else 1e-5
    got = ref.kraus_1q(rho, n, q, ops)
    assert got.dtype == dtype
    np.testing.assert_allclose(got, ref.kraus_dense(rho, n, q, ops), rtol=close, atol=close)


@pytest.mark.parametrize(("n", "q"), [(1, 0), (2, 0), (2, 1), (4, 1), (5, 4)])
def test_x_on_qubit_flips_both_indices(rng, precision, n, q):
    # X rho X: element (r, c) comes from (r ^ s, c ^ s), e.g. for n = 2, q = 1
    # (0, 1) <-> (2, 3) and (0, 3) <-> (2, 1).  Independent of the reference,
    # so a stride mistake shared by both cannot hide.
    rho = random_rho(rng, n, dtype=precision.dtype)
    before = rho.copy()
    precision.module.apply_kraus_1q(rho, n, q, [X])
    idx = np.arange(1 << n) ^ (1 << q)
    assert np.array_equal(rho, before[np.ix_(idx, idx)])


def test_empty_list_zeroes_every_element(rng, precision):
    rho = random_rho(rng, 3, special=True, dtype=precision.dtype)
    precision.module.apply_kraus_1q(rho, 3, 1, [])
    assert_same_bits(rho, np.zeros((8, 8), dtype=precision.dtype))


@pytest.mark.parametrize(
    ("ops", "factor"),
    [
        pytest.param([I2], 1.0, id="identity"),
        pytest.param([0.5 * I2], 0.25, id="half-identity"),
        pytest.param([I2, I2], 2.0, id="identity-twice"),
    ],
)
def test_multiples_of_identity_scale_rho(rng, precision, ops, factor):
    rho = random_rho(rng, 4, dtype=precision.dtype)
    before = rho.copy()
    precision.module.apply_kraus_1q(rho, 4, 2, ops)
    assert np.array_equal(rho, factor * before)


@pytest.mark.parametrize("p", [0.0, 0.25, 1.0])
def test_bit_flip_channel_on_ground_state(p):
    rho = np.array([[1, 0], [0, 0]], dtype=complex)
    velt_core.apply_kraus_1q(rho, 1, 0, [np.sqrt(1 - p) * I2, np.sqrt(p) * X])
    np.testing.assert_allclose(rho, [[1 - p, 0], [0, p]], rtol=0, atol=1e-15)


@pytest.mark.parametrize(
    ("make", "real"),
    [
        pytest.param(lambda k: k.reshape(4), False, id="flat"),
        pytest.param(lambda k: k.reshape(4, 1), False, id="column"),
        pytest.param(np.asfortranarray, False, id="fortran"),
        pytest.param(lambda k: k.tolist(), False, id="nested-list"),
        pytest.param(lambda k: tuple(k.reshape(4)), False, id="tuple-of-complex"),
        pytest.param(lambda k: k.real.copy(), True, id="float64"),
    ],
)
def test_operator_shapes_and_types_are_read_in_c_order(rng, precision, make, real):
    ops = random_ops(rng, 2)
    if real:
        ops = [k.real + 0j for k in ops]
    rho = random_rho(rng, 3, special=True, dtype=precision.dtype)
    expected = ref.kraus_1q(rho, 3, 1, ops)
    precision.module.apply_kraus_1q(rho, 3, 1, [make(k) for k in ops])
    assert_same_bits(rho, expected, any_nan=True)


def test_flat_and_square_rho_agree(rng):
    square = random_rho(rng, 4, special=True)
    flat = square.reshape(-1).copy()
    ops = random_ops(rng, 2)
    velt_core.apply_kraus_1q(square, 4, 3, ops)
    velt_core.apply_kraus_1q(flat, 4, 3, ops)
    assert_same_bits(flat, square.reshape(-1))


@pytest.mark.parametrize("shape", [(16 + 5,), (5, 4), (2, 2, 2, 2, 2)])
def test_only_the_first_d_squared_elements_change(rng, precision, shape):
    rho = random_state(rng, int(np.prod(shape)), special=True, dtype=precision.dtype).reshape(shape)
    before = rho.copy()
    ops = random_ops(rng, 2)
    precision.module.apply_kraus_1q(rho, 2, 1, ops)
    flat, old = rho.reshape(-1), before.reshape(-1)
    assert_same_bits(flat[:16], ref.kraus_1q(old[:16], 2, 1, ops), any_nan=True)
    assert_same_bits(flat[16:], old[16:])


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda rho: rho.tolist(), id="list"),
        pytest.param(lambda rho: rho.real.copy(), id="float64"),
        pytest.param(lambda rho: np.repeat(rho, 2, axis=1)[:, ::2], id="strided"),
    ],
)
def test_converted_rho_leaves_callers_object_unchanged(rng, make):
    obj = make(random_rho(rng, 2))
    before = copy.deepcopy(obj)
    assert velt_core.apply_kraus_1q(obj, 2, 0, [X]) is None
    assert np.array_equal(np.asarray(obj), np.asarray(before)) and type(obj) is type(before)


@pytest.mark.parametrize("order", list(itertools.permutations(["rho", "n_qubits", "qubit", "kraus_ops"])), ids="-".join)
def test_keyword_calls_in_any_order(rng, order):
    rho = random_rho(rng, 3)
    values = {"rho": rho, "n_qubits": 3, "qubit": 1, "kraus_ops": random_ops(rng, 2)}
    expected = ref.kraus_1q(rho, 3, 1, values["kraus_ops"])
    assert velt_core.apply_kraus_1q(**{name: values[name] for name in order}) is None
    assert_same_bits(rho, expected)


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        pytest.param((np.zeros(4, complex), 1, 0), {}, id="too-few"),
        pytest.param((np.zeros(4, complex), 1, 0, [I2], 1), {}, id="too-many"),
        pytest.param((np.zeros(4, complex), 1, 0), {"ops": [I2]}, id="unknown-keyword"),
        pytest.param((np.zeros(4, complex), 1, 0, "ab"), {}, id="string-ops"),
        pytest.param((np.zeros(4, complex), 1.0, 0, [I2]), {}, id="float-n"),
    ],
)
def test_bad_calls_raise_type_error(args, kwargs):
    with pytest.raises(TypeError):
        velt_core.apply_kraus_1q(*args, **kwargs)


BAD_OP = "apply_kraus_1q: each Kraus op must be 2x2"
BAD_N = "apply_kraus_1q: n_qubits out of range"
BAD_Q = "apply_kraus_1q: qubit index out of range"
SHORT = "apply_kraus_1q: rho holds fewer than 4^n_qubits elements"


@pytest.mark.parametrize(
    ("n", "q", "ops", "message"),
    [
        pytest.param(2, 0, [np.ones(3)], BAD_OP, id="three-elements"),
        pytest.param(2, 0, [np.eye(3)], BAD_OP, id="nine-elements"),
        pytest.param(2, 0, [I2, np.ones(3)], BAD_OP, id="bad-after-good"),
        pytest.param(2, 0, [I2, X, np.zeros((0,))], BAD_OP, id="empty-after-two-good"),
        pytest.param(2, 0, [np.ones(8), I2], BAD_OP, id="bad-before-good"),
        pytest.param(-1, 0, [I2], BAD_N, id="negative-n"),
        pytest.param(30, 0, [I2], BAD_N, id="n-bytes-overflow"),
        pytest.param(32, 0, [I2], BAD_N, id="n-elements-overflow"),
        pytest.param(2**31 - 1, 0, [I2], BAD_N, id="n-max-int"),
        pytest.param(2, -1, [I2], BAD_Q, id="negative-qubit"),
        pytest.param(2, 2, [I2], BAD_Q, id="qubit-at-width"),
        pytest.param(0, 0, [I2], BAD_Q, id="no-qubits"),
        pytest.param(3, 0, [I2], SHORT, id="rho-too-small"),
        pytest.param(29, 0, [I2], SHORT, id="largest-n-passes-range"),
        # Several faults at once: the operators are checked first, then
        # n_qubits, then qubit, then the size of rho.
        pytest.param(-1, -1, [np.ones(3)], BAD_OP, id="op-before-n"),
        pytest.param(2, 5, [np.ones(3)], BAD_OP, id="op-before-qubit"),
        pytest.param(5, 0, [np.ones(3)], BAD_OP, id="op-before-size"),
        pytest.param(40, 40, [I2], BAD_N, id="n-before-qubit"),
        pytest.param(5, 5, [I2], BAD_Q, id="qubit-before-size"),
    ],
)
def test_refused_calls_leave_rho_unchanged(rng, precision, n, q, ops, message):
    rho = random_rho(rng, 2, special=True, dtype=precision.dtype)  # 16 elements
    before = rho.copy()
    with pytest.raises(RuntimeError) as info:
        precision.module.apply_kraus_1q(rho, n, q, ops)
    assert str(info.value) == message
    assert_same_bits(rho, before)


@pytest.mark.parametrize("ops", [[I2], [np.ones(3)]], ids=["good-op", "bad-op"])
def test_read_only_rho_is_refused_first(rng, precision, ops):
    rho = random_rho(rng, 2, dtype=precision.dtype)
    before = rho.copy()
    rho.flags.writeable = False
    with pytest.raises(ValueError, match=r"^apply_kraus_1q: rho is read-only$"):
        precision.module.apply_kraus_1q(rho, 2, 0, ops)
    assert_same_bits(rho, before)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
@pytest.mark.skipif(UNDER_SANITIZER, reason="ASan's shadow memory does not fit under a tight address-space limit")
def test_works_in_place_without_room_for_a_second_matrix():
    # In a child process: cap the address space just above what is mapped once
    # rho (64 MiB) exists, so that no second matrix could be had; the channel
    # works on rho itself, on every instruction-set path.
    code = """
        import resource
        import numpy as np
        import velt_core

        n = 11
        rho = np.full(4**n, 1 + 2j)
        ops = [np.eye(2, dtype=complex)]
        with open("/proc/self/status") as f:
            mapped = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped + rho.nbytes // 2, hard))
        for q in (0, n - 1):
            velt_core.apply_kraus_1q(rho, n, q, [2 * ops[0]])
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print("works" if (rho == 16 + 32j).all() else "broken")
    """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, OMP_NUM_THREADS="1"),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["works"]
