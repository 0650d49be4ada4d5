"""Shared test helpers: random inputs and a byte-exact comparison."""

import os
from typing import NamedTuple

import numpy as np

import velt_core

# scripts/sanitize.sh preloads the AddressSanitizer runtime into the interpreter.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")


class Precision(NamedTuple):
    """The functions of one precision and the states they take: velt_core on
    complex128, velt_core.single on complex64 (the `precision` fixture)."""

    module: object
    dtype: np.dtype


PRECISIONS = {
    "complex128": Precision(velt_core, np.dtype(np.complex128)),
    "complex64": Precision(velt_core.single, np.dtype(np.complex64)),
}


def random_state(rng, n_amps, special=False, dtype=np.complex128):
    """Random amplitudes of `dtype`; with special=True some are replaced by
    signed zeros, infinities and NaNs so that no kernel may treat them apart."""
    psi = rng.standard_normal(n_amps) + 1j * rng.standard_normal(n_amps)
    if special and n_amps >= 4:
        picks = rng.choice(n_amps, size=max(1, n_amps // 8), replace=False)
        values = np.array([-0.0, 0.0 - 0.0j, np.inf, -np.inf, np.nan, complex(np.nan, 1.0)])
        psi[picks] = values[rng.integers(0, len(values), size=len(picks))]
    return psi.astype(dtype)


def random_matrix(rng, dim):
    return (rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))).astype(np.complex128)


def assert_same_bits(actual, expected, any_nan=False):
    """Equal byte for byte: NaN payloads and signs of zero included.

    With any_nan=True two NaNs count as equal whatever their sign and payload:
    when both operands of an addition are NaN, IEEE-754 leaves open which one
    propagates, and the compiler may put either first.  Use it only for values
    that were computed, never for amplitudes a kernel must leave alone.
    """
    actual = np.ascontiguousarray(actual)
    expected = np.ascontiguousarray(expected)
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    # Word by word: the parts of complex64 (and float32) values are 4 bytes.
    single = actual.dtype in (np.complex64, np.float32)
    word, part = (np.uint32, np.float32) if single else (np.uint64, np.float64)
    differs = actual.view(word) != expected.view(word)
    if any_nan:
        differs &= ~(np.isnan(actual.view(part)) & np.isnan(expected.view(part)))
    diff = np.flatnonzero(differs)
    assert diff.size == 0, f"{diff.size} words differ, first at {diff[:5]}"


def misaligned(values, offset, rng=None, dtype=np.complex128):
    """A copy of complex values at `offset` bytes into a larger byte buffer.

    NumPy calls the result complex128 (or `dtype`) and C-contiguous, so a
    kernel takes it as it is, but its elements are not aligned for their type
    unless offset is a multiple of the part size.  Returns (array, buffer);
    the buffer's other bytes are random, and a kernel must leave them alone."""
    values = np.asarray(values, dtype=dtype)
    rng = np.random.default_rng(0) if rng is None else rng
    buffer = rng.integers(0, 256, size=values.nbytes + 32, dtype=np.uint8)
    array = buffer[offset : offset + values.nbytes].view(dtype).reshape(values.shape)
    array[...] = values
    return array, buffer
