"""Shared test helpers: random inputs and a byte-exact comparison."""

import numpy as np


def random_state(rng, n_amps, special=False):
    """Random complex128 amplitudes; with special=True some are replaced by
    signed zeros, infinities and NaNs so that no kernel may treat them apart."""
    psi = rng.standard_normal(n_amps) + 1j * rng.standard_normal(n_amps)
    if special and n_amps >= 4:
        picks = rng.choice(n_amps, size=max(1, n_amps // 8), replace=False)
        values = np.array([-0.0, 0.0 - 0.0j, np.inf, -np.inf, np.nan, complex(np.nan, 1.0)])
        psi[picks] = values[rng.integers(0, len(values), size=len(picks))]
    return psi.astype(np.complex128)


def random_matrix(rng, dim):
    return (rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))).astype(
        np.complex128
    )


def assert_same_bits(actual, expected):
    """Equal byte for byte: NaN payloads and signs of zero included."""
    actual = np.ascontiguousarray(actual)
    expected = np.ascontiguousarray(expected)
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    diff = np.flatnonzero(actual.view(np.uint64) != expected.view(np.uint64))
    assert diff.size == 0, f"{diff.size} words differ, first at {diff[:5]}"


def assert_same_bits_any_nan(actual, expected):
    """Equal bit for bit in every float64 word that is not NaN, and NaN in the
    same words.  Which NaN a sum or product of two NaNs returns is left open by
    IEEE 754 (x86 returns the first operand's), and compilers swap the operands
    of commutative operations freely; kernels whose sums can meet two NaNs
    therefore promise NaN positions, not NaN sign and payload bits."""
    actual = np.ascontiguousarray(actual)
    expected = np.ascontiguousarray(expected)
    assert actual.dtype == expected.dtype == np.complex128 and actual.shape == expected.shape
    a, e = actual.view(np.float64).reshape(-1), expected.view(np.float64).reshape(-1)
    same = np.where(np.isnan(e), np.isnan(a), a.view(np.uint64) == e.view(np.uint64))
    diff = np.flatnonzero(~same)
    assert diff.size == 0, f"{diff.size} words differ, first at {diff[:5]}"
