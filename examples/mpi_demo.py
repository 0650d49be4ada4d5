"""Distributed circuits with velt_mpi, checked against one process.

    mpiexec -n 4 python -m mpi4py examples/mpi_demo.py [--n 20] [--chunk C]

Runs on any power-of-two number of ranks (1 included):

- the quantum Fourier transform of a random state, distributed, against
  velt_core on the full state in the root process (bit for bit) and against
  NumPy's inverse FFT (up to rounding);
- a random circuit over all six gate kernels, against the same circuit run
  gate by gate on the full state (bit for bit).

Prints, per circuit, the ops, the exchanges the rank-selecting qubits cost,
the wall time and the check; exits with status 1 (on every rank) if a check
fails.
"""

import argparse
import sys
import time

import numpy as np
from mpi4py import MPI

import velt_core
from velt_mpi import DistributedState, quiet_barrier

COMM = MPI.COMM_WORLD
ROOT = 0
H = np.array([1, 1, 1, -1], dtype=complex) / np.sqrt(2)


def qft_ops(n):
    """Hadamards and controlled phases from the top qubit down, then the
    reversal by SWAPs (which a distributed state records in its qubit map)."""
    ops = []
    for q in reversed(range(n)):
        ops.append(("apply_1q", q, *H))
        for m in reversed(range(q)):
            ops.append(("apply_controlled_1q", m, q, 1, 0, 0, np.exp(1j * np.pi / 2 ** (q - m))))
    ops += [("apply_swap", q, n - 1 - q) for q in range(n // 2)]
    return ops


def random_ops(rng, n, n_local, length):
    def qubits(k):
        return [int(q) for q in rng.choice(n, size=k, replace=False)]

    def unitary(dim):
        q, r = np.linalg.qr(rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim)))
        return q * (np.diag(r) / np.abs(np.diag(r)))

    ops = []
    for _ in range(length):
        kind = rng.integers(0, 6)
        if kind == 0:
            ops.append(("apply_1q", *qubits(1), *unitary(2).reshape(4)))
        elif kind == 1:
            ops.append(("apply_cnot_fast", *qubits(2)))
        elif kind == 2:
            ops.append(("apply_controlled_1q", *qubits(2), *unitary(2).reshape(4)))
        elif kind == 3:
            ops.append(("apply_swap", *qubits(2)))
        elif kind == 4:
            k = int(rng.integers(1, min(3, n_local) + 1))
            ops.append(("apply_gate_fast", qubits(k), unitary(1 << k)))
        else:
            chosen = qubits(3)
            ops.append(("apply_gate", chosen[:2], unitary(4), chosen[2:]))
    return ops


def full_run(psi, ops):
    for name, *args in ops:
        getattr(velt_core, name)(psi, *args)
    return psi


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=20, help="qubits (default 20)")
    parser.add_argument("--chunk", type=int, default=None, help="amplitudes per exchange message")
    parser.add_argument("--gates", type=int, default=200, help="length of the random circuit (default 200)")
    args = parser.parse_args(argv)
    n = args.n
    rng = np.random.default_rng(2024)  # the same draws on every rank
    x = rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)
    x /= np.linalg.norm(x)

    failures = 0
    lines = [f"{n} qubits on {COMM.size} ranks: {n - (COMM.size.bit_length() - 1)} local qubits per rank"]
    circuits = [("QFT", qft_ops(n)), ("random circuit", random_ops(rng, n, n - 3, args.gates))]
    for label, ops in circuits:
        state = DistributedState.from_full(x if COMM.rank == ROOT else None, chunk=args.chunk)
        COMM.Barrier()
        t0 = time.perf_counter()
        state.apply_sequence(ops)
        COMM.Barrier()
        elapsed = time.perf_counter() - t0
        exchanges = state.exchanges
        got = state.gather()
        if COMM.rank == ROOT:
            t1 = time.perf_counter()
            expected = full_run(x.copy(), ops)
            single = time.perf_counter() - t1
            same = np.array_equal(got.view(np.uint64), expected.view(np.uint64))
            check = "bit for bit" if same else "DIFFERENT BITS"
            if label == "QFT":
                fft_error = float(np.max(np.abs(got - np.fft.ifft(x) * np.sqrt(1 << n))))
                same = same and fft_error < 1e-10
                check += f", max |error| {fft_error:.1e} against numpy.fft"
            failures += not same
            lines.append(
                f"{label:15s} {len(ops):5d} ops {exchanges:4d} exchanges {elapsed:8.3f} s distributed, "
                f"{single:8.3f} s in one process: {check}"
            )
        quiet_barrier(COMM)  # the other ranks sleep while the root checks
    failures = COMM.bcast(failures, root=ROOT)
    if COMM.rank == ROOT:
        print("\n".join(lines))
        print("all checks passed" if not failures else f"{failures} checks FAILED")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
