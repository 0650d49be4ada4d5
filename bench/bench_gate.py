"""Benchmark of the dense gate kernels against the streaming pass.

    python bench/bench_gate.py [--min-n 10] [--max-n 26] [--step 2]

Cases: apply_gate_fast with k = 1..4 targets and apply_gate with k = 1..5
targets and 0 or 1 controls, each on the lowest and on the highest qubits.
For each it prints the median time per call, the ratio to a streaming pass
over the same array measured in the same run (1.00 = at the memory-bandwidth
limit) and the arithmetic rate in complex multiply-adds per second (a call
does 2^k of them per amplitude it updates).  Every case checks its own
result: at the smallest n it must equal the bit-exact reference, and at every
n the gate followed by its adjoint must restore the state.
"""

import argparse
import sys
from pathlib import Path

import numpy as np
from common import median_time, stream_pass

import velt_core

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import reference as ref  # noqa: E402


def unitary(rng, dim):
    z = rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))
    q, r = np.linalg.qr(z)
    return np.ascontiguousarray(q * (np.diag(r) / np.abs(np.diag(r))))


def cases(n):
    """(kernel, k, targets, controls) for the low and the high placement."""
    for k in range(1, 5):
        yield "apply_gate_fast", k, list(range(k)), []
        yield "apply_gate_fast", k, list(range(n - 1, n - 1 - k, -1)), []
    for n_controls in (0, 1):
        for k in range(1, 6):
            yield "apply_gate", k, list(range(k)), [n - 1][:n_controls]
            yield "apply_gate", k, list(range(n - 1, n - 1 - k, -1)), [0][:n_controls]


def runner(kernel, psi, targets, u, controls):
    if kernel == "apply_gate_fast":
        return lambda: velt_core.apply_gate_fast(psi, targets, u)
    return lambda: velt_core.apply_gate(psi, targets, u, controls)


def self_check(kernel, psi, targets, u, controls, exact):
    before = psi.copy()
    runner(kernel, psi, targets, u, controls)()
    if exact:
        expected = getattr(ref, kernel)(before, targets, u, *([controls] if controls else []))
        if not np.array_equal(psi.view(np.uint64), expected.view(np.uint64)):
            raise SystemExit(f"self-check failed: {kernel} {targets} {controls} differs from the reference")
    runner(kernel, psi, targets, np.ascontiguousarray(u.conj().T), controls)()
    if not np.allclose(psi, before, rtol=1e-9, atol=1e-12):
        raise SystemExit(f"self-check failed: {kernel} {targets} {controls} and its adjoint did not restore the state")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--min-n", type=int, default=10)
    parser.add_argument("--max-n", type=int, default=26)
    parser.add_argument("--step", type=int, default=2)
    args = parser.parse_args(argv)

    rng = np.random.default_rng(4)
    header = (
        f"{'kernel':<16} {'n':>3} {'k':>2} {'ctl':>3} {'place':>5} {'time/call':>12} "
        f"{'stream':>12} {'ratio':>6} {'Gmadd/s':>8}"
    )
    print(header)
    print("-" * len(header))
    for n in range(args.min_n, args.max_n + 1, args.step):
        psi = (rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)) / np.sqrt(2 << n)
        t_stream = median_time(lambda: stream_pass(psi))
        for kernel, k, targets, controls in cases(n):
            u = unitary(rng, 1 << k)
            self_check(kernel, psi, targets, u, controls, exact=n == args.min_n)
            t = median_time(runner(kernel, psi, targets, u, controls))
            madds = (1 << n) * (1 << k) / (1 << len(controls))
            place = "low" if targets[0] == 0 else "high"
            print(
                f"{kernel:<16} {n:>3} {k:>2} {len(controls):>3} {place:>5} {t * 1e6:>10.1f}us "
                f"{t_stream * 1e6:>10.1f}us {t / t_stream:>6.2f} {madds / t / 1e9:>8.2f}",
                flush=True,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
