"""Benchmark of the kernels against the streaming pass over the same array.

    python bench/bench_kernels.py [--min-n 10] [--max-n 26]

For each qubit count n and qubit choice (low, middle, high) it prints the
median time per call, the streaming pass's time on the same array in the same
run, their ratio (1.00 = at the memory-bandwidth limit) and the effective
bandwidth (bytes read and written per second).  Every case checks its own
result: a gate and its inverse must restore the state.
"""

import argparse
import sys

import numpy as np
from common import median_time, stream_pass

import velt_core

H = (np.array([1, 1, 1, -1]) / np.sqrt(2)).astype(complex)


def check_restores(psi, apply_twice):
    before = psi.copy()
    apply_twice()
    if not np.allclose(psi, before, rtol=1e-9, atol=1e-12):
        raise SystemExit("self-check failed: applying a gate twice did not restore the state")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--min-n", type=int, default=10)
    parser.add_argument("--max-n", type=int, default=26)
    parser.add_argument("--step", type=int, default=2)
    args = parser.parse_args(argv)

    rng = np.random.default_rng(1)
    header = f"{'kernel':<10} {'n':>3} {'qubit':>5} {'time/call':>12} {'stream':>12} {'ratio':>6} {'GB/s':>7}"
    print(header)
    print("-" * len(header))
    for n in range(args.min_n, args.max_n + 1, args.step):
        psi = (rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)) / np.sqrt(2 << n)
        t_stream = median_time(lambda: stream_pass(psi))
        for q in sorted({0, n // 2, n - 1}):
            check_restores(psi, lambda: [velt_core.apply_1q(psi, q, *H) for _ in range(2)])
            t = median_time(lambda: velt_core.apply_1q(psi, q, *H))
            gbs = 2 * psi.nbytes / t / 1e9
            print(
                f"{'apply_1q':<10} {n:>3} {q:>5} {t * 1e6:>10.1f}us {t_stream * 1e6:>10.1f}us "
                f"{t / t_stream:>6.2f} {gbs:>7.1f}",
                flush=True,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
