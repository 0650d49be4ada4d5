"""Benchmark of the observables: Pauli-string sums and overlaps.

    python bench/bench_observables.py [--n 24] [--inner-n 26] [--threads 1,2]
                                      [--only ring,random,inner] [--peers qulacs,aer,lightning]
                                      [--budget 2]

Cases, each on a random state:

- ring: the XXZ ring with transverse fields on n qubits (XX, YY and ZZ on
  every edge of the ring, X on every qubit: 4n strings in 2n + 1 X/Y
  patterns), random coefficients;
- random: 200 random strings of 2 to 6 letters from X, Y, Z on distinct
  qubits, random coefficients;
- inner: inner_product of two states of --inner-n qubits.

For ring and random, expectation_pauli_sum is timed against one
expectation_pauli call per string (the sum added in Python, which gives the
same bits: checked) and against the read-only pass over the state (the lower
of the C pass of bench/stream_read.c and NumPy's vdot), reported as "passes":
time / read pass, and per X/Y pattern.  With --peers, each listed simulator
that is installed evaluates the same Hamiltonian on the same state
(Qulacs' Observable, Qiskit Aer's AerStatevector with a SparsePauliOp,
PennyLane Lightning's HamiltonianC128), one call timed and checked against
velt_core (they take seconds).  inner is timed against a read-only pass over
both arrays (the lower of the C pass over one and then the other, and
np.vdot(a, b)).  Thread counts run in separate processes; results go to
bench/results/latest-observables.json.
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np
from bench_readout import _load_read, random_state
from common import HERE, cpu_model, median_time

RESULTS = HERE / "results"


def ring(n):
    terms = []
    for q in range(n):
        edge = [q, (q + 1) % n]
        terms += [("XX", edge), ("YY", edge), ("ZZ", edge)]
    return terms + [("X", [q]) for q in range(n)]


def random_strings(n, count=200, seed=24):
    rng = np.random.default_rng(seed)
    terms = []
    for _ in range(count):
        k = int(rng.integers(2, 7))
        qubits = [int(q) for q in rng.permutation(n)[:k]]
        terms.append(("".join(rng.choice(list("XYZ"), k)), qubits))
    return terms


def patterns(terms):
    return len({sum(1 << q for p, q in zip(paulis, qubits, strict=True) if p in "XY") for paulis, qubits in terms})


def numpy_value(psi, paulis, qubits):
    """<psi|P|psi> by NumPy, pair by pair, as an independent check."""
    x = sum(1 << q for p, q in zip(paulis, qubits, strict=True) if p in "XY")
    z = sum(1 << q for p, q in zip(paulis, qubits, strict=True) if p in "YZ")
    y = paulis.count("Y")
    total = 0.0
    for start in range(0, psi.size, 1 << 22):
        idx = np.arange(start, min(psi.size, start + (1 << 22)), dtype=np.int64)
        parity = np.zeros_like(idx)
        masked = idx & z
        while masked.any():
            parity ^= masked & 1
            masked >>= 1
        total += np.sum((1 - 2 * parity) * np.conj(psi[idx ^ x]) * psi[idx])
    return (1j**y * total).real


def peer_energy(name, n, psi, coeffs, terms):
    """A callable evaluating the Hamiltonian in the peer `name`, or None when
    it is not installed."""
    try:
        if name == "qulacs":
            import qulacs

            qs = qulacs.QuantumState(n)
            qs.load(psi)
            obs = qulacs.Observable(n)
            for c, (paulis, qubits) in zip(coeffs, terms, strict=True):
                obs.add_operator(float(c), " ".join(f"{p} {q}" for p, q in zip(paulis, qubits, strict=True)))
            return lambda: obs.get_expectation_value(qs).real
        if name == "aer":
            from qiskit.quantum_info import SparsePauliOp
            from qiskit_aer.quantum_info import AerStatevector

            sv = AerStatevector(psi)
            op = SparsePauliOp.from_sparse_list(
                [(paulis, qubits, float(c)) for c, (paulis, qubits) in zip(coeffs, terms, strict=True)], num_qubits=n
            )
            return lambda: sv.expectation_value(op).real
        if name == "lightning":
            from pennylane_lightning.lightning_qubit_ops import MeasurementsC128, StateVectorC128
            from pennylane_lightning.lightning_qubit_ops.observables import (
                HamiltonianC128,
                NamedObsC128,
                TensorProdObsC128,
            )

            lsv = StateVectorC128(n)
            lsv.updateData(psi)
            meas = MeasurementsC128(lsv)
            # Lightning numbers wires from the most significant bit.
            obs = [
                TensorProdObsC128([NamedObsC128(f"Pauli{p}", [n - 1 - q]) for p, q in zip(paulis, qubits, strict=True)])
                for paulis, qubits in terms
            ]
            ham = HamiltonianC128([float(c) for c in coeffs], obs)
            return lambda lsv=lsv: meas.expval(ham)  # lsv kept alive: meas only points to it
    except ImportError:
        return None
    raise ValueError(f"unknown peer {name}")


def worker(args):
    import velt_core as vc

    threads = int(os.environ["OMP_NUM_THREADS"])
    parallel = int(threads > 1)
    read = _load_read()

    def emit(**record):
        print(json.dumps(dict(record, threads=threads, isa=vc.kernel_isa())), flush=True)

    def read_pass(arr):
        t_c = median_time(lambda: read.stream_sum(arr.ctypes.data, 2 * arr.size, parallel), args.budget)
        return min(t_c, median_time(lambda: np.vdot(arr, arr), args.budget))

    hamiltonians = {"ring": ring(args.n), "random": random_strings(args.n)}
    wanted = [case for case in args.only if case in hamiltonians]
    if wanted:
        psi = random_state(args.n)
        t_read = read_pass(psi)
        emit(n=args.n, case="read pass", seconds=t_read)
    for case in wanted:
        terms = hamiltonians[case]
        coeffs = np.random.default_rng(len(terms)).standard_normal(len(terms))
        energy = vc.expectation_pauli_sum(psi, coeffs, terms)

        def one_by_one(terms=terms, coeffs=coeffs):
            total = 0.0
            for c, (paulis, qubits) in zip(coeffs.tolist(), terms, strict=True):
                total = total + c * vc.expectation_pauli(psi, paulis, qubits)
            return total

        assert one_by_one() == energy  # the same bits, by construction
        values = vc.expectation_paulis(psi, terms)
        for t in (0, 1, len(terms) - 1):
            ref = numpy_value(psi, *terms[t])
            assert abs(values[t] - ref) <= 1e-9 * max(1.0, abs(ref)), (terms[t], values[t], ref)
        t_sum = median_time(lambda t=terms, c=coeffs: vc.expectation_pauli_sum(psi, c, t), args.budget)
        t_one = median_time(one_by_one, args.budget, min_reps=1)
        k = patterns(terms)
        common = dict(n=args.n, strings=len(terms), patterns=k, read=t_read)
        emit(case=f"{case} expectation_pauli_sum", seconds=t_sum, **common)
        emit(case=f"{case} one expectation_pauli per string", seconds=t_one, **common)
        for name in args.peers:
            fn = peer_energy(name, args.n, psi, coeffs, terms)
            if fn is None:
                emit(case=f"{case} {name}", seconds=None, note="not installed", **common)
                continue
            # One call, timed and checked (a peer takes seconds): the
            # Hamiltonian and the state were handed over before.
            start = time.perf_counter()
            theirs = fn()
            t = time.perf_counter() - start
            if abs(theirs - energy) > 1e-8 * max(1.0, abs(energy)):
                emit(case=f"{case} {name}", seconds=None, note=f"disagrees: {theirs} vs {energy}", **common)
                continue
            emit(case=f"{case} {name}", seconds=t, **common)
            del fn
    if "inner" in args.only:
        psi = None  # the Hamiltonians' state is dropped first  # noqa: F841
        a = random_state(args.inner_n, seed=1)
        b = random_state(args.inner_n, seed=2)
        got = vc.inner_product(a, b)
        ref = np.vdot(a, b)
        assert abs(got - ref) <= 1e-12 * max(1.0, abs(ref)), (got, ref)
        t_c = median_time(
            lambda: (
                read.stream_sum(a.ctypes.data, 2 * a.size, parallel),
                read.stream_sum(b.ctypes.data, 2 * b.size, parallel),
            ),
            args.budget,
        )
        t_vdot = median_time(lambda: np.vdot(a, b), args.budget)
        t = median_time(lambda: vc.inner_product(a, b), args.budget)
        emit(n=args.inner_n, case="inner read pass over both (C)", seconds=t_c)
        emit(n=args.inner_n, case="inner np.vdot(a, b)", seconds=t_vdot)
        emit(n=args.inner_n, case="inner_product", seconds=t, read=min(t_c, t_vdot))
        del a, b


def run_threads(args, threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads))
    cmd = [sys.executable, __file__, "--worker", *sys.argv[1:]]
    records = []
    with subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, text=True) as proc:
        for line in proc.stdout:
            rec = json.loads(line)
            records.append(rec)
            if rec["seconds"] is None:
                print(f"{threads} thr  {rec['case']:48s} {rec.get('note', '')}", flush=True)
                continue
            extra = ""
            if "patterns" in rec:
                passes = rec["seconds"] / rec["read"]
                extra = f"  {passes:7.1f} passes, {passes / rec['patterns']:.2f} per X/Y pattern ({rec['patterns']})"
            elif "read" in rec:
                extra = f"  x{rec['seconds'] / rec['read']:.2f} the read pass over both"
            print(f"{threads} thr  {rec['case']:48s} {rec['seconds'] * 1e3:10.1f} ms{extra}", flush=True)
    if proc.returncode:
        raise SystemExit(proc.returncode)
    return records


def names(text):
    return [v for v in text.split(",") if v]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=24)
    parser.add_argument("--inner-n", type=int, default=26)
    parser.add_argument("--threads", type=lambda s: [int(v) for v in names(s)], default=[1, 2])
    parser.add_argument("--only", type=names, default=["ring", "random", "inner"])
    parser.add_argument("--peers", type=names, default=[])
    parser.add_argument("--budget", type=float, default=2.0)
    parser.add_argument("--worker", action="store_true")
    args = parser.parse_args(argv)
    if args.worker:
        worker(args)
        return
    print(f"# {cpu_model()}")
    records = []
    for threads in args.threads:
        records += run_threads(args, threads)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "latest-observables.json").write_text(json.dumps({"cpu": cpu_model(), "records": records}, indent=1))


if __name__ == "__main__":
    main()
