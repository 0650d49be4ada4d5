"""Loops below their family's size run on the calling thread, loops above it
on the team: the bytes must not tell the two apart, at any thread count."""

import hashlib
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
import reference as ref
from helpers import assert_same_bits, random_matrix, random_state

import velt_core

TESTS = Path(__file__).parent

# Registers just below and at the serial thresholds of the parallel frame:
# 2^14 pairs for the pair kernels (a 2x2 gate on 15 qubits, a CNOT, SWAP or
# controlled gate on 16), 2^14 amplitudes for the dense gates, 2^12 density
# matrix elements (6 qubits) for the Kraus channel.
PAIR_N = (14, 15, 16)
DENSE_N = (13, 14)
KRAUS_N = (5, 6)


def calls(rng):
    """(name, run, reference) triples on fresh random inputs."""
    out = []
    for n in PAIR_N:
        for q in (0, n // 2, n - 1):
            m = random_matrix(rng, 2).ravel()
            psi = random_state(rng, 1 << n, special=True)
            out.append(
                (
                    f"1q n={n} q={q}",
                    psi,
                    lambda s, q=q, m=m: velt_core.apply_1q(s, q, *m),
                    lambda s, q=q, m=m: ref.apply_1q(s, q, m),
                )
            )
        for a, b in ((0, n - 1), (n - 1, 3), (2, 5)):
            m = random_matrix(rng, 2).ravel()
            psi = random_state(rng, 1 << n, special=True)
            out.append(
                (
                    f"cnot n={n} {a},{b}",
                    psi,
                    lambda s, a=a, b=b: velt_core.apply_cnot_fast(s, a, b),
                    lambda s, a=a, b=b: ref.apply_cnot(s, a, b),
                )
            )
            out.append(
                (
                    f"swap n={n} {a},{b}",
                    psi.copy(),
                    lambda s, a=a, b=b: velt_core.apply_swap(s, a, b),
                    lambda s, a=a, b=b: ref.apply_swap(s, a, b),
                )
            )
            out.append(
                (
                    f"c1q n={n} {a},{b}",
                    psi.copy(),
                    lambda s, a=a, b=b, m=m: velt_core.apply_controlled_1q(s, a, b, *m),
                    lambda s, a=a, b=b, m=m: ref.apply_controlled_1q(s, a, b, m),
                )
            )
    for n in DENSE_N:
        for targets, controls in (([0], []), ([n - 1, 2], []), ([5, 0, n - 1], []), ([1], [n - 1]), ([3, 7], [0, 2])):
            u = random_matrix(rng, 1 << len(targets))
            psi = random_state(rng, 1 << n, special=True)
            if not controls and len(targets) <= 4:
                out.append(
                    (
                        f"gate_fast n={n} {targets}",
                        psi.copy(),
                        lambda s, t=targets, u=u: velt_core.apply_gate_fast(s, t, u),
                        lambda s, t=targets, u=u: ref.apply_gate_fast(s, t, u),
                    )
                )
            out.append(
                (
                    f"gate n={n} {targets} {controls}",
                    psi,
                    lambda s, t=targets, u=u, c=controls: velt_core.apply_gate(s, t, u, c),
                    lambda s, t=targets, u=u, c=controls: ref.apply_gate(s, t, u, c),
                )
            )
    for n in KRAUS_N:
        for q in (0, n - 1):
            ops = [random_matrix(rng, 2) for _ in range(3)]
            rho = random_matrix(rng, 1 << n)
            out.append(
                (
                    f"kraus n={n} q={q}",
                    rho,
                    lambda r, n=n, q=q, ops=ops: velt_core.apply_kraus_1q(r, n, q, ops),
                    lambda r, n=n, q=q, ops=ops: ref.kraus_1q(r, n, q, ops).reshape(r.shape),
                )
            )
    return out


def digest():
    h = hashlib.sha256()
    for _, data, run, _ in calls(np.random.default_rng(1215)):
        run(data)
        h.update(data.tobytes())
    return h.hexdigest()


def test_results_match_the_reference_either_side_of_the_thresholds():
    for name, data, run, expect in calls(np.random.default_rng(1215)):
        expected = expect(data)
        run(data)
        try:
            assert_same_bits(data, expected, any_nan=True)
        except AssertionError as error:
            raise AssertionError(f"{name}: {error}") from None


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_results_identical_for_any_thread_count(threads):
    code = textwrap.dedent(
        f"""
        import sys
        sys.path.insert(0, {str(TESTS)!r})
        import test_thresholds
        print(test_thresholds.digest())
        """
    )
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == digest()
