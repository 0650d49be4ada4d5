import numpy as np
import pytest
import reference as ref
from helpers import assert_same_bits, random_matrix, random_state

import velt_core

HADAMARD = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
X = np.array([[0, 1], [1, 0]], dtype=complex)


def call(psi, q, m, module=velt_core):
    m = np.asarray(m, dtype=complex).reshape(4)
    return module.apply_1q(psi, q, *m)


@pytest.mark.parametrize("n", [1, 2, 5, 9])
def test_matches_reference_on_every_qubit(rng, precision, n):
    for q in range(n):
        psi = random_state(rng, 1 << n, special=True, dtype=precision.dtype)
        m = random_matrix(rng, 2)
        expected = ref.apply_1q(psi, q, m.reshape(4))
        assert call(psi, q, m, precision.module) is None
        assert_same_bits(psi, expected, any_nan=True)


# Relative tolerances of the cross-check: a few roundings of each precision.
CLOSE = {np.complex128: 1e-12, np.complex64: 1e-5}


@pytest.mark.parametrize("dtype", [np.complex128, np.complex64])
@pytest.mark.parametrize("q", [0, 2, 4])
def test_reference_agrees_with_dense_operator(rng, q, dtype):
    n = 5
    psi = random_state(rng, 1 << n, dtype=dtype)
    m = random_matrix(rng, 2)
    dense = ref.kron_1q(n, q, m) @ psi.astype(np.complex128)
    got = ref.apply_1q(psi, q, m.reshape(4))
    assert got.dtype == dtype
    np.testing.assert_allclose(got, dense, rtol=CLOSE[dtype], atol=CLOSE[dtype])


def test_exchange_on_high_qubit(precision):
    psi = np.array([1, 2, 3, 4], dtype=precision.dtype)
    call(psi, 1, X, precision.module)
    assert psi.tolist() == [3, 4, 1, 2]


@pytest.mark.parametrize(
    ("length", "q", "touched"),
    [
        (6, 1, 4),  # one whole block of 4; amplitudes 4 and 5 stay
        (7, 0, 6),
        (1, 0, 0),
        (0, 0, 0),
        (8, 3, 0),  # qubit at the register width: no block at all
        (8, 61, 0),  # largest accepted index
    ],
)
def test_only_whole_blocks_are_touched(rng, precision, length, q, touched):
    psi = random_state(rng, length, dtype=precision.dtype)
    before = psi.copy()
    call(psi, q, HADAMARD, precision.module)
    assert_same_bits(psi, ref.apply_1q(before, q, HADAMARD.reshape(4)))
    assert_same_bits(psi[touched:], before[touched:])
    if touched:
        assert not np.array_equal(psi[:touched], before[:touched])


def test_multidimensional_state_addresses_first_extent_only(rng, precision):
    grid = random_state(rng, 16, dtype=precision.dtype).reshape(4, 4)
    before = grid.copy()
    call(grid, 0, HADAMARD, precision.module)
    flat = before.reshape(16)
    # N is the first extent (4): only the first four elements in memory move.
    assert_same_bits(grid.reshape(16), np.concatenate([ref.apply_1q(flat[:4], 0, HADAMARD.reshape(4)), flat[4:]]))


def test_state_with_no_elements_is_left_alone(precision):
    psi = np.zeros((4, 0), dtype=precision.dtype)
    call(psi, 0, HADAMARD, precision.module)
    assert psi.shape == (4, 0)


def test_identity_spreads_nan_through_zero_entries(precision):
    psi = np.array([1.0, np.nan], dtype=precision.dtype)
    call(psi, 0, np.eye(2), precision.module)
    assert np.isnan(psi[0].real)


@pytest.mark.parametrize("q", [-1, 62, 2**31 - 1])
def test_bad_qubit_index_is_refused_without_writing(rng, precision, q):
    psi = random_state(rng, 8, dtype=precision.dtype)
    before = psi.copy()
    with pytest.raises(RuntimeError, match=r"^apply_1q: qubit index out of range$"):
        call(psi, q, HADAMARD, precision.module)
    assert_same_bits(psi, before)


def test_zero_dimensional_state_is_refused(precision):
    psi = np.array(1 + 2j, dtype=precision.dtype)
    with pytest.raises(RuntimeError, match=r"^apply_1q: state must have at least one dimension$"):
        call(psi, 0, HADAMARD, precision.module)
    assert psi == 1 + 2j


def test_read_only_state_is_refused_unchanged(rng, precision):
    psi = random_state(rng, 8, dtype=precision.dtype)
    before = psi.copy()
    psi.flags.writeable = False
    with pytest.raises(ValueError, match=r"^apply_1q: state is read-only$"):
        call(psi, 0, HADAMARD, precision.module)
    assert_same_bits(psi, before)


# Signed zeros as gate entries and amplitudes: (-0)(1) - (0)(0) + (-0)(1) - ...
# keeps its sign only if every lane holds the entry exactly as given.
SIGNED = np.array([complex(-0.0, 0.0), complex(0.0, -0.0), complex(-0.0, -0.0), 0, 1, -1, 1j, -1j])


@pytest.mark.parametrize("kernel", ["apply_1q", "apply_controlled_1q", "apply_kraus_1q"])
def test_signed_zero_entries_keep_their_sign_on_every_qubit(rng, precision, kernel):
    n = 7
    vc = precision.module
    for _ in range(6):
        m = rng.choice(SIGNED, size=4)
        psi = rng.choice(SIGNED, size=1 << n).astype(precision.dtype)
        for q in range(n):
            got = psi.copy()
            if kernel == "apply_1q":
                vc.apply_1q(got, q, *m)
                expected = ref.apply_1q(psi, q, m)
            elif kernel == "apply_controlled_1q":
                c = (q + 3) % n
                vc.apply_controlled_1q(got, c, q, *m)
                expected = ref.apply_controlled_1q(psi, c, q, m)
            else:
                ops = [m.reshape(2, 2), rng.choice(SIGNED, size=(2, 2))]
                vc.apply_kraus_1q(got, 3, q % 3, ops)
                expected = psi.copy()
                expected[:64] = ref.kraus_1q(psi[:64].reshape(8, 8), 3, q % 3, ops).reshape(-1)
            assert_same_bits(got, expected)
