"""Benchmark of the state-vector kernels against the streaming pass.

    python bench/bench_kernels.py [--min-n 10] [--max-n 26] [--step 2]

For each qubit count n and each case (kernel and qubits) it prints the median
time per call, the streaming pass's time over the same array in the same run,
their ratio (1.00 = at the memory-bandwidth limit) and the effective bandwidth
of the amplitudes the kernel reads and writes.  Every case checks its own
result first: applying the gate twice must restore the state (the gates used
are involutions).
"""

import argparse
import sys

import numpy as np
from common import median_time, stream_pass

import velt_core

H = tuple((np.array([1, 1, 1, -1]) / np.sqrt(2)).astype(complex))


def cases(n):
    """(kernel, qubits, call, fraction of the state touched) for one n."""
    mid = n // 2
    out = [("apply_1q", (q,), lambda psi, q=q: velt_core.apply_1q(psi, q, *H), 1.0) for q in sorted({0, mid, n - 1})]
    for a, b in sorted({(0, 1), (0, n - 1), (n - 2, n - 1)}):
        out += [
            ("apply_cnot_fast", (a, b), lambda psi, a=a, b=b: velt_core.apply_cnot_fast(psi, a, b), 0.5),
            ("apply_swap", (a, b), lambda psi, a=a, b=b: velt_core.apply_swap(psi, a, b), 0.5),
            (
                "apply_controlled_1q",
                (a, b),
                lambda psi, a=a, b=b: velt_core.apply_controlled_1q(psi, a, b, *H),
                0.5,
            ),
        ]
    return out


def check_restores(psi, call):
    before = psi.copy()
    call(psi)
    call(psi)
    if not np.allclose(psi, before, rtol=1e-9, atol=1e-12):
        raise SystemExit("self-check failed: applying an involution twice did not restore the state")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--min-n", type=int, default=10)
    parser.add_argument("--max-n", type=int, default=26)
    parser.add_argument("--step", type=int, default=2)
    args = parser.parse_args(argv)

    rng = np.random.default_rng(1)
    header = f"{'kernel':<20} {'n':>3} {'qubits':>8} {'time/call':>12} {'stream':>12} {'ratio':>6} {'GB/s':>7}"
    print(header)
    print("-" * len(header))
    for n in range(args.min_n, args.max_n + 1, args.step):
        psi = (rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)) / np.sqrt(2 << n)
        t_stream = median_time(lambda: stream_pass(psi))
        for name, qubits, call, touched in cases(n):
            check_restores(psi, call)
            t = median_time(lambda: call(psi))
            gbs = 2 * touched * psi.nbytes / t / 1e9
            print(
                f"{name:<20} {n:>3} {','.join(map(str, qubits)):>8} {t * 1e6:>10.1f}us "
                f"{t_stream * 1e6:>10.1f}us {t / t_stream:>6.2f} {gbs:>7.1f}",
                flush=True,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
