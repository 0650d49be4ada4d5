"""apply_cnot_fast, apply_swap and apply_controlled_1q."""

import itertools
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import reference as ref
from helpers import assert_same_bits, misaligned, random_matrix, random_state

import velt_core

X = np.array([[0, 1], [1, 0]], dtype=complex)
M = np.array([[0.6 + 0.1j, -0.3 + 0.7j], [0.2 - 0.5j, 0.9 + 0.4j]])


def controlled(psi, c, t, m, module=velt_core):
    return module.apply_controlled_1q(psi, c, t, *np.asarray(m, dtype=complex).reshape(4))


KERNELS = {
    "cnot": (velt_core.apply_cnot_fast, ref.apply_cnot),
    "swap": (velt_core.apply_swap, ref.apply_swap),
    "controlled": (
        lambda psi, c, t: controlled(psi, c, t, M),
        lambda psi, c, t: ref.apply_controlled_1q(psi, c, t, M.reshape(4)),
    ),
}


def kernel_of(kernel, precision):
    """(run, expect) of KERNELS for the precision's module."""
    if kernel == "controlled":
        return (lambda psi, c, t: controlled(psi, c, t, M, precision.module)), KERNELS[kernel][1]
    return getattr(precision.module, NAMES[kernel]), KERNELS[kernel][1]


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("n", [2, 3, 7])
def test_every_qubit_pair_matches_reference(rng, precision, kernel, n):
    run, expect = kernel_of(kernel, precision)
    for a, b in itertools.product(range(n), repeat=2):
        psi = random_state(rng, 1 << n, special=True, dtype=precision.dtype)
        expected = expect(psi, a, b)
        assert run(psi, a, b) is None
        # Permutations move bits exactly; arithmetic promises NaN positions.
        assert_same_bits(psi, expected, any_nan=kernel == "controlled")


# Lengths around the eight-amplitude chunks the exchanges permute in registers
# and the blocks of their walks: below one chunk, 2^k - 1, 2^k + 3.
EXCHANGE_LENGTHS = [1, 3, 5, 7, 12, 15, 19, 31, 35, 63, 64, 67, 127, 131, 255, 259, 515, 1027]


@pytest.mark.parametrize("offset", [0, 4], ids=["aligned", "misaligned"])
@pytest.mark.parametrize("length", EXCHANGE_LENGTHS)
@pytest.mark.parametrize("kernel", ["cnot", "swap"])
def test_exchanges_on_every_low_qubit_pair_and_length(rng, precision, kernel, length, offset):
    # Every ordered pair of qubits 0..8: both inside a chunk, one inside and
    # one outside, both outside with runs of 8 to 64 amplitudes; the
    # trailing partial block must come through untouched.  Offset 4: off the
    # parts' alignment of either precision.
    run, expect = kernel_of(kernel, precision)
    for a, b in itertools.permutations(range(9), 2):
        values = random_state(rng, length, special=True, dtype=precision.dtype)
        psi, buffer = misaligned(values, offset, rng, dtype=precision.dtype)
        outside = np.r_[buffer[:offset], buffer[offset + psi.nbytes :]]
        run(psi, a, b)
        assert_same_bits(psi, expect(values, a, b))
        assert np.array_equal(np.r_[buffer[:offset], buffer[offset + psi.nbytes :]], outside)


# Qubit pairs for each way the exchanges walk a state that several workers
# share: inside a chunk, across chunks with a low qubit, whole runs.
SHARED_PAIRS = [(0, 1), (2, 1), (0, 2), (1, 16), (16, 2), (0, 5), (3, 4), (6, 4), (7, 16), (16, 9)]
SHARED_LENGTH = (1 << 17) + 3


def shared_exchanges(rng):
    for kernel in ("cnot", "swap"):
        for a, b in SHARED_PAIRS:
            yield kernel, a, b, random_state(rng, SHARED_LENGTH, special=True)


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_exchanges_shared_by_workers_match_reference(threads):
    code = textwrap.dedent(
        f"""
        import sys
        import numpy as np
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import test_two_qubit as t
        for kernel, a, b, psi in t.shared_exchanges(np.random.default_rng(17)):
            t.KERNELS[kernel][0](psi, a, b)
            sys.stdout.buffer.write(psi.tobytes())
        """
    )
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, timeout=300)
    assert out.returncode == 0, out.stderr.decode()
    got = np.frombuffer(out.stdout, dtype=np.complex128).reshape(-1, SHARED_LENGTH)
    cases = list(shared_exchanges(np.random.default_rng(17)))
    assert len(got) == len(cases)
    for (kernel, a, b, psi), result in zip(cases, got, strict=True):
        assert_same_bits(result, KERNELS[kernel][1](psi, a, b))


def test_controlled_random_matrices_match_reference(rng, precision):
    for c, t in itertools.permutations(range(5), 2):
        psi = random_state(rng, 32, special=True, dtype=precision.dtype)
        m = random_matrix(rng, 2)
        expected = ref.apply_controlled_1q(psi, c, t, m.reshape(4))
        controlled(psi, c, t, m, precision.module)
        assert_same_bits(psi, expected, any_nan=True)


@pytest.mark.parametrize("dtype", [np.complex128, np.complex64])
@pytest.mark.parametrize(("a", "b"), list(itertools.permutations(range(4), 2)))
def test_references_agree_with_dense_operators(rng, a, b, dtype):
    n = 4
    psi = random_state(rng, 1 << n, dtype=dtype)
    wide = psi.astype(np.complex128)
    m = random_matrix(rng, 2)
    cnot = ref.kron_controlled(n, a, b, X)
    swap = ref.kron_swap(n, a, b)
    tolerance = 1e-12 if dtype == np.complex128 else 1e-5
    close = dict(rtol=tolerance, atol=tolerance)
    np.testing.assert_allclose(ref.apply_cnot(psi, a, b), cnot @ wide, **close)
    np.testing.assert_allclose(ref.apply_swap(psi, a, b), swap @ wide, **close)
    controlled = ref.apply_controlled_1q(psi, a, b, m.reshape(4))
    assert controlled.dtype == dtype
    np.testing.assert_allclose(controlled, ref.kron_controlled(n, a, b, m) @ wide, **close)


@pytest.mark.parametrize(
    ("kernel", "a", "b", "result"),
    [
        ("cnot", 0, 1, [0, 3, 2, 1]),
        ("cnot", 1, 0, [0, 1, 3, 2]),
        ("swap", 0, 1, [0, 2, 1, 3]),
        ("swap", 1, 0, [0, 2, 1, 3]),
        ("controlled", 0, 1, [0, 3, 2, 1]),
        ("controlled", 1, 0, [0, 1, 3, 2]),
    ],
)
def test_two_qubit_exchanges(kernel, a, b, result):
    psi = np.arange(4, dtype=complex)
    if kernel == "controlled":
        controlled(psi, a, b, X)
    else:
        KERNELS[kernel][0](psi, a, b)
    assert psi.tolist() == result


@pytest.mark.parametrize("kernel", ["cnot", "swap"])
def test_permutations_are_involutions(rng, precision, kernel):
    run = kernel_of(kernel, precision)[0]
    for a, b in itertools.permutations(range(6), 2):
        psi = random_state(rng, 64, special=True, dtype=precision.dtype)
        before = psi.copy()
        run(psi, a, b)
        run(psi, a, b)
        assert_same_bits(psi, before)


def test_swap_is_symmetric(rng):
    for a, b in itertools.combinations(range(6), 2):
        psi = random_state(rng, 64, special=True)
        other = psi.copy()
        velt_core.apply_swap(psi, a, b)
        velt_core.apply_swap(other, b, a)
        assert_same_bits(psi, other)


def test_controlled_x_equals_cnot_on_finite_amplitudes(rng):
    for c, t in itertools.permutations(range(5), 2):
        psi = random_state(rng, 32)
        other = psi.copy()
        controlled(psi, c, t, X)
        velt_core.apply_cnot_fast(other, c, t)
        assert np.array_equal(psi, other)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize(
    ("length", "a", "b"), [(12, 0, 2), (12, 2, 1), (7, 1, 0), (1, 0, 1), (0, 1, 0), (8, 3, 0), (8, 62, 1)]
)
def test_only_whole_blocks_are_touched(rng, precision, kernel, length, a, b):
    run, expect = kernel_of(kernel, precision)
    psi = random_state(rng, length, dtype=precision.dtype)
    before = psi.copy()
    run(psi, a, b)
    assert_same_bits(psi, expect(before, a, b))
    block = 1 << (max(a, b) + 1)
    tail = (length // block) * block
    assert_same_bits(psi[tail:], before[tail:])


@pytest.mark.parametrize("kernel", KERNELS)
def test_multidimensional_state_addresses_first_extent_only(rng, kernel):
    run, expect = KERNELS[kernel]
    grid = random_state(rng, 32).reshape(8, 4)
    flat = grid.reshape(32).copy()
    run(grid, 0, 2)
    assert_same_bits(grid.reshape(32), np.concatenate([expect(flat[:8], 0, 2), flat[8:]]))


NAMES = {"cnot": "apply_cnot_fast", "swap": "apply_swap", "controlled": "apply_controlled_1q"}


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize(("a", "b"), [(-1, 0), (0, -1), (63, 0), (1, 2**31 - 1)])
def test_bad_qubit_index_is_refused_without_writing(rng, precision, kernel, a, b):
    psi = random_state(rng, 8, dtype=precision.dtype)
    before = psi.copy()
    with pytest.raises(RuntimeError, match=rf"^{NAMES[kernel]}: qubit index out of range$"):
        kernel_of(kernel, precision)[0](psi, a, b)
    assert_same_bits(psi, before)


@pytest.mark.parametrize("kernel", KERNELS)
def test_zero_dimensional_and_read_only_states_are_refused(rng, precision, kernel):
    run = kernel_of(kernel, precision)[0]
    scalar = np.array(1 + 2j, dtype=precision.dtype)
    with pytest.raises(RuntimeError, match=rf"^{NAMES[kernel]}: state must have at least one dimension$"):
        run(scalar, 0, 1)
    psi = random_state(rng, 8, dtype=precision.dtype)
    before = psi.copy()
    psi.flags.writeable = False
    with pytest.raises(ValueError, match=rf"^{NAMES[kernel]}: state is read-only$"):
        run(psi, 0, 1)
    assert_same_bits(psi, before)


def test_cnot_and_swap_share_a_signature_but_differ(rng):
    psi = random_state(rng, 8)
    other = psi.copy()
    velt_core.apply_cnot_fast(psi, 0, 2)
    velt_core.apply_swap(other, 0, 2)
    assert not np.array_equal(psi, other)


def test_halves_far_apart_in_memory(precision):
    # Pairs 256 MiB or more apart (2^24 complex128 amplitudes, 2^25 complex64
    # ones) are written one half after the other on AMD machines; that path
    # needs a state of 512 MiB.  Check it on a sample of pairs against the
    # reference arithmetic.
    vc = precision.module
    n = 25 if precision.dtype == np.complex128 else 26
    t = n - 1
    psi = (np.arange(1 << n, dtype=np.float64) * (1 + 0.5j) / (1 << n)).astype(precision.dtype)
    m = np.array([0.6 + 0.1j, -0.3 + 0.7j, 0.2 - 0.5j, 0.9 + 0.4j])
    sample = np.r_[0:3000, (1 << t) - 3000 : (1 << t)]
    x, y = sample, sample + (1 << t)
    before = psi.copy()

    vc.apply_1q(psi, t, *m)
    new_x, new_y = ref.pair_update(before[x], before[y], m)
    assert_same_bits(psi[x], new_x)
    assert_same_bits(psi[y], new_y)

    psi[:] = before
    vc.apply_controlled_1q(psi, 0, t, *m)
    odd = x[x % 2 == 1]
    new_x, new_y = ref.pair_update(before[odd], before[odd + (1 << t)], m)
    assert_same_bits(psi[odd], new_x)
    assert_same_bits(psi[odd + (1 << t)], new_y)
    even = x[x % 2 == 0]
    assert_same_bits(psi[even], before[even])

    for kernel, a, b, first, second in (
        (vc.apply_cnot_fast, 0, t, 1, 1 + (1 << t)),
        (vc.apply_swap, 3, t, 8, 1 << t),
    ):
        psi[:] = before
        kernel(psi, a, b)
        lows = sample[(sample & ((1 << a) | (1 << t))) == 0]
        assert_same_bits(psi[lows + first], before[lows + second])
        assert_same_bits(psi[lows + second], before[lows + first])
        kernel(psi, a, b)
        assert_same_bits(psi, before)
