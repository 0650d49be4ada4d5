"""Benchmark of apply_kraus_1q against the streaming pass over the same matrix.

    python bench/bench_kraus.py [--min-n 6] [--max-n 13]

For each qubit count n and target qubit (0 and n-1) it prints the median time
per call, the streaming pass's time over the same 4^n elements in the same
run, and their ratio.  The kernel reads rho, writes a zero-filled scratch
matrix and copies it back, so it moves about 2.5 times the stream's bytes;
a ratio near 2.5 would mean the memory-bandwidth limit.  Its arithmetic (about
120 separately rounded operations per operator and 2x2 sub-block) costs far
more than that, so the ratio mostly measures the arithmetic.  With the target
on qubit n-1 only the first half of the rows does work, and the static
schedule hands that half to the first workers.

Every case checks its own result.  The channel is amplitude damping, which
preserves the trace of any matrix, so the trace after all timed calls must
equal the trace before; for small n, one call is also compared with the dense
sum of K rho K^dagger built with np.kron.
"""

import argparse
import sys

import numpy as np
from common import median_time, stream_pass

import velt_core

GAMMA = 0.3
DAMPING = [
    np.array([[1, 0], [0, np.sqrt(1 - GAMMA)]], dtype=complex),
    np.array([[0, np.sqrt(GAMMA)], [0, 0]], dtype=complex),
]
DENSE_UP_TO = 7


def dense_channel(rho, n, q):
    out = np.zeros_like(rho)
    for k in DAMPING:
        full = np.kron(np.kron(np.eye(1 << (n - q - 1)), k), np.eye(1 << q))
        out += full @ rho @ full.conj().T
    return out


def check(rho, n, q):
    if n <= DENSE_UP_TO:
        expected = dense_channel(rho, n, q)
        got = rho.copy()
        velt_core.apply_kraus_1q(got, n, q, DAMPING)
        if not np.allclose(got, expected, rtol=1e-12, atol=1e-12):
            raise SystemExit(f"self-check failed: n={n} qubit={q} differs from the dense channel")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--min-n", type=int, default=6)
    parser.add_argument("--max-n", type=int, default=13)
    args = parser.parse_args(argv)

    rng = np.random.default_rng(1)
    header = f"{'kernel':<14} {'n':>3} {'qubit':>5} {'time/call':>12} {'stream':>12} {'ratio':>6}"
    print(header)
    print("-" * len(header))
    for n in range(args.min_n, args.max_n + 1):
        d = 1 << n
        rho = np.empty((d, d), dtype=complex)
        rho.real = rng.standard_normal((d, d))
        rho.imag = rng.standard_normal((d, d))
        rho /= d
        t_stream = median_time(lambda: stream_pass(rho))
        for q in sorted({0, n - 1}):
            check(rho, n, q)
            trace = np.trace(rho)
            t = median_time(lambda: velt_core.apply_kraus_1q(rho, n, q, DAMPING))
            if not np.isclose(np.trace(rho), trace, rtol=1e-9, atol=1e-12):
                raise SystemExit(f"self-check failed: n={n} qubit={q} did not keep the trace")
            print(
                f"{'apply_kraus_1q':<14} {n:>3} {q:>5} {t * 1e6:>10.1f}us {t_stream * 1e6:>10.1f}us "
                f"{t / t_stream:>6.2f}",
                flush=True,
            )
        rho = None  # frees this matrix before the next, four times larger, is allocated
    return 0


if __name__ == "__main__":
    sys.exit(main())
