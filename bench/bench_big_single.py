"""The quantum Fourier transform on a complex64 state too large for complex128.

    python bench/bench_big_single.py [--n 31] [--threads 2]

A state of n qubits takes 2^(n+3) bytes in complex64 (16 GiB at 31 qubits)
and 2^(n+4) in complex128: on a machine of 24 GiB, 31 qubits fit only in
single precision.  This runs bench_circuits.py's QFT circuit (X gates that
spell a fixed basis state x, then the transform with its closing SWAPs) on
|0...0> through velt_core.single.apply_sequence, once, and reports the time.
The result checks itself against the closed form: the transform of |x> has
amplitude exp(2 pi i x k / 2^n) / sqrt(2^n) at index k, evaluated in double
for a few thousand indices spread over the state (to 1e-4 of the
amplitudes' size, single precision's accuracy over a few hundred gates).
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=31)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    args = parser.parse_args(argv)
    if "OMP_NUM_THREADS" not in os.environ:  # read when the module loads
        os.environ["OMP_NUM_THREADS"] = str(args.threads)
    from bench_circuits import circuit
    from common import cpu_model

    from velt_core import single

    n = args.n
    gates = circuit("qft", n)
    ops = [g[3] for g in gates]
    x = sum(1 << g[1][0] for g in gates if g[0] == "x")
    t0 = time.perf_counter()
    psi = np.zeros(1 << n, dtype=np.complex64)
    psi[0] = 1
    t_alloc = time.perf_counter() - t0
    t0 = time.perf_counter()
    single.apply_sequence(psi, ops)
    seconds = time.perf_counter() - t0
    k = np.unique(np.r_[np.arange(2048), np.random.default_rng(3).integers(0, 1 << n, 4096), (1 << n) - 1])
    expected = np.exp(2j * np.pi * ((x * k) % (1 << n)) / (1 << n)) / np.sqrt(1 << n)
    error = float(np.max(np.abs(psi[k].astype(np.complex128) - expected)) * np.sqrt(1 << n))
    print(
        f"QFT on {n} qubits, complex64 ({psi.nbytes / 2**30:.0f} GiB), {len(ops)} gates, "
        f"{os.environ['OMP_NUM_THREADS']} thread(s), path {single.kernel_isa()}, {cpu_model()}: "
        f"apply_sequence {seconds:.1f} s (zeroed state made in {t_alloc:.1f} s); "
        f"largest error over {len(k)} amplitudes {error:.1e} of their size"
    )
    if error > 1e-4:
        raise SystemExit("the result does not match the closed form")
    return 0


if __name__ == "__main__":
    sys.exit(main())
