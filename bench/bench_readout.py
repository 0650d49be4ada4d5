"""Benchmark of the read-outs: probabilities, expectation_pauli, sample, measure.

    python bench/bench_readout.py [--sizes 24,26] [--threads 1,2] [--budget 0.5]
                                  [--samples 1000000] [--sample-n 24] [--others 16,20]

Yardsticks, measured in the same process on the same array:

- read: the fastest read-only pass over the state, the lower of a C pass that
  adds up every double (bench/stream_read.c, on the module's thread count) and
  NumPy's vdot; probabilities and expectation_pauli are compared with it;
- stream: the in-place pass that reads and writes every element once
  (bench/stream.c), the yardstick of measure, which writes the state.

sample is timed with one uniform (its pass over the state) and with
--samples uniforms at --sample-n qubits; the difference is the searches.
With --others, the same read-outs are also timed in Qulacs, Qiskit Aer and
PennyLane Lightning where they are installed (pip install '.[compare]'), on
the same state.  Every case checks its result against NumPy first; results go
to bench/results/latest-readout.json.  Thread counts run in separate
processes: the OpenMP runtime reads its count once.
"""

import argparse
import ctypes
import json
import os
import platform
import subprocess
import sys

import numpy as np
from common import BUILD, HERE, median_time, stream_pass

RESULTS = HERE / "results"


def _load_read():
    src = HERE / "stream_read.c"
    lib = BUILD / "libstream_read.so"
    if not lib.exists() or lib.stat().st_mtime < src.stat().st_mtime:
        BUILD.mkdir(exist_ok=True)
        cc = os.environ.get("CC", "cc")
        subprocess.run(
            [cc, "-O3", "-ffp-contract=off", "-fopenmp", "-shared", "-fPIC", str(src), "-o", str(lib)], check=True
        )
    so = ctypes.CDLL(str(lib))
    so.stream_sum.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_int]
    so.stream_sum.restype = ctypes.c_double
    return so


def random_state(n, seed=7):
    rng = np.random.default_rng(seed)
    psi = np.empty(2**n, dtype=np.complex128)
    chunk = 1 << 20
    for s in range(0, psi.size, chunk):  # piecewise: no second state-sized temporary
        m = min(chunk, psi.size - s)
        psi[s : s + m].real = rng.standard_normal(m)
        psi[s : s + m].imag = rng.standard_normal(m)
    psi /= np.sqrt(np.vdot(psi, psi).real)
    return psi


PAULI_20 = "XYZI" * 5


def pauli_cases(n):
    return [
        ("Z q=0", "Z", [0]),
        (f"Z q={n - 1}", "Z", [n - 1]),
        ("XYZ 0,1,2", "XYZ", [0, 1, 2]),
        (f"XYZ {n - 3}..{n - 1}", "XYZ", [n - 3, n - 2, n - 1]),
        ("20 letters", PAULI_20, list(range(20))),
    ]


def marginal_cases(n):
    return [
        ("3 low 0,1,2", [0, 1, 2]),
        (f"3 high {n - 3}..{n - 1}", [n - 3, n - 2, n - 1]),
        ("3 spread", [0, n // 2, n - 1]),
    ]


def check_pauli(psi, paulis, qubits, value):
    """<psi|P|psi> by NumPy, chunk by chunk (no index array of the state's size)."""
    x = z = y = 0
    for letter, q in zip(paulis, qubits, strict=True):
        x |= (letter in "XY") << q
        z |= (letter in "YZ") << q
        y += letter == "Y"
    total = 0j
    chunk = 1 << 20
    for start in range(0, psi.size, chunk):
        idx = np.arange(start, min(psi.size, start + chunk), dtype=np.int64)
        parity = np.zeros_like(idx)
        masked = idx & z
        while masked.any():
            parity ^= masked & 1
            masked >>= 1
        total += np.sum((1 - 2 * parity) * np.conj(psi[idx ^ x]) * psi[idx])
    ref = (1j**y * total).real
    assert abs(value - ref) <= 1e-9 * max(1.0, abs(ref)), (paulis, qubits, value, ref)


def worker(args):
    import velt_core as vc

    threads = int(os.environ["OMP_NUM_THREADS"])
    parallel = int(threads > 1)
    read = _load_read()

    def emit(**record):
        print(json.dumps(dict(record, threads=threads)), flush=True)

    for n in args.sizes:
        psi = random_state(n)
        probs = psi.real * psi.real + psi.imag * psi.imag

        def yard_read(psi=psi):
            read.stream_sum(psi.ctypes.data, 2 * psi.size, parallel)

        t_c = median_time(yard_read, args.budget)
        t_vdot = median_time(lambda psi=psi: np.vdot(psi, psi), args.budget)
        t_read = min(t_c, t_vdot)
        t_stream = median_time(lambda psi=psi: stream_pass(psi, parallel=bool(parallel)), args.budget)
        emit(n=n, function="yardstick", case="read (C pass)", seconds=t_c, ratio=t_c / t_read)
        emit(n=n, function="yardstick", case="read (np.vdot)", seconds=t_vdot, ratio=t_vdot / t_read)
        emit(n=n, function="yardstick", case="stream in place", seconds=t_stream, ratio=t_stream / t_read)

        assert np.array_equal(vc.probabilities(psi), probs)
        t = median_time(lambda psi=psi: vc.probabilities(psi), args.budget)
        emit(n=n, function="probabilities", case="all", seconds=t, ratio=t / t_read)
        for label, qubits in marginal_cases(n):
            got = vc.probabilities(psi, qubits)
            ref = (
                probs.reshape([2] * n)
                .transpose(
                    [n - 1 - q for q in reversed(qubits)] + [n - 1 - q for q in reversed(range(n)) if q not in qubits]
                )
                .reshape(2 ** len(qubits), -1)
                .sum(axis=1)
            )
            assert np.allclose(got, ref, rtol=1e-12, atol=0), label
            t = median_time(lambda psi=psi, qubits=qubits: vc.probabilities(psi, qubits), args.budget)
            emit(n=n, function="probabilities", case=label, seconds=t, ratio=t / t_read)
        for label, paulis, qubits in pauli_cases(n):
            check_pauli(psi, paulis, qubits, vc.expectation_pauli(psi, paulis, qubits))
            t = median_time(lambda psi=psi, p=paulis, q=qubits: vc.expectation_pauli(psi, p, q), args.budget)
            emit(n=n, function="expectation_pauli", case=label, seconds=t, ratio=t / t_read)
        del probs
        for q in (0, n // 2, n - 1):
            work = psi.copy()
            u = iter(np.random.default_rng(q).random(100000))

            def measure(work=work, q=q, u=u):
                vc.measure(work, q, next(u))

            measure()
            assert abs(np.vdot(work, work).real - 1.0) < 1e-12
            t = median_time(measure, args.budget)
            emit(n=n, function="measure", case=f"q={q}", seconds=t, ratio=t / t_stream)
            del work

        if n == args.sample_n:
            uniforms = np.random.default_rng(1).random(args.samples)
            one = uniforms[:1]
            got = vc.sample(psi, uniforms[:1000])
            cdf = np.cumsum(psi.real * psi.real + psi.imag * psi.imag)
            ref = np.searchsorted(cdf, uniforms[:1000] * cdf[-1], side="right")
            assert np.mean(got == ref) > 0.99  # the two sums round apart only within a few ulps
            t1 = median_time(lambda psi=psi, one=one: vc.sample(psi, one), args.budget)
            emit(n=n, function="sample", case="1 uniform (the pass)", seconds=t1, ratio=t1 / t_read)
            t = median_time(lambda psi=psi, u=uniforms: vc.sample(psi, u), args.budget, min_reps=3)
            emit(n=n, function="sample", case=f"{args.samples} uniforms", seconds=t, ratio=t / t_read)
            # The searches alone, per uniform (seconds; printed in ns).
            emit(n=n, function="sample", case="search per uniform", seconds=(t - t1) / args.samples, ratio=float("nan"))
        del psi

    for n in args.others:
        psi = random_state(n)
        for record in others(n, psi, args.budget):
            emit(**record)


def others(n, psi, budget):
    """The same read-outs in the other simulators that are installed, each
    timed against velt_core on the same state (ratio = theirs / ours)."""
    import velt_core as vc

    shots = 100_000
    uniforms = np.random.default_rng(2).random(shots)
    ours = {
        "probabilities all": lambda: vc.probabilities(psi),
        "probabilities 3 qubits": lambda: vc.probabilities(psi, [0, 1, 2]),
        "expectation Z": lambda: vc.expectation_pauli(psi, "Z", [0]),
        "expectation XYZ": lambda: vc.expectation_pauli(psi, "XYZ", [0, 1, 2]),
        f"sample {shots}": lambda: vc.sample(psi, uniforms),
        "measure (collapse)": lambda: vc.measure(work, 0, 0.5),
    }
    work = psi.copy()
    theirs = {}
    try:
        import qulacs
        from qulacs import Observable
        from qulacs.gate import Measurement

        qs = qulacs.QuantumState(n)
        qs.load(psi)
        obs_z, obs_xyz = Observable(n), Observable(n)
        obs_z.add_operator(1.0, "Z 0")
        obs_xyz.add_operator(1.0, "X 0 Y 1 Z 2")
        # One marginal entry per call: the 2^3 entries take eight passes.
        entries = [[(j >> d) & 1 if d < 3 else 2 for d in range(n)] for j in range(8)]
        measure_q0 = Measurement(0, 0)
        theirs["qulacs"] = {
            "probabilities 3 qubits": lambda: [qs.get_marginal_probability(e) for e in entries],
            "expectation Z": lambda: obs_z.get_expectation_value(qs),
            "expectation XYZ": lambda: obs_xyz.get_expectation_value(qs),
            f"sample {shots}": lambda: qs.sampling(shots, 1),
            "measure (collapse)": lambda: measure_q0.update_quantum_state(qs),
        }
    except ImportError:
        pass
    try:
        from qiskit.quantum_info import Pauli
        from qiskit_aer.quantum_info import AerStatevector

        sv = AerStatevector(psi)
        theirs["qiskit-aer"] = {
            "probabilities all": lambda: sv.probabilities(),
            "probabilities 3 qubits": lambda: sv.probabilities([0, 1, 2]),
            "expectation Z": lambda: sv.expectation_value(Pauli("Z"), [0]),
            "expectation XYZ": lambda: sv.expectation_value(Pauli("ZYX"), [0, 1, 2]),
            f"sample {shots}": lambda: sv.sample_memory(shots),
        }
    except ImportError:
        pass
    try:
        from pennylane_lightning.lightning_qubit_ops import MeasurementsC128, StateVectorC128
        from pennylane_lightning.lightning_qubit_ops.observables import NamedObsC128, TensorProdObsC128

        lsv = StateVectorC128(n)
        lsv.updateData(psi)
        meas = MeasurementsC128(lsv)
        # Lightning numbers wires from the most significant bit.
        w = [n - 1, n - 2, n - 3]
        xyz = TensorProdObsC128(
            [NamedObsC128("PauliX", [w[0]]), NamedObsC128("PauliY", [w[1]]), NamedObsC128("PauliZ", [w[2]])]
        )
        theirs["lightning"] = {
            "probabilities all": lambda: meas.probs(),
            "probabilities 3 qubits": lambda: meas.probs(w),
            "expectation Z": lambda: meas.expval("PauliZ", [w[0]]),
            "expectation XYZ": lambda: meas.expval(xyz),
            f"sample {shots}": lambda: meas.generate_samples(n, shots),
            "measure (collapse)": lambda: lsv.collapse(w[0], False),
        }
    except ImportError:
        pass
    results = []
    for case, fn in ours.items():
        t_ours = median_time(fn, budget)
        results.append(dict(n=n, function="compare", case=f"velt_core {case}", seconds=t_ours, ratio=1.0))
        for name, table in theirs.items():
            if case in table:
                try:
                    t = median_time(table[case], budget)
                except Exception as error:  # an API that differs in the installed release
                    print(f"# {name} {case}: {error}", file=sys.stderr)
                    continue
                results.append(dict(n=n, function="compare", case=f"{name} {case}", seconds=t, ratio=t / t_ours))
    return results


def run_threads(args, threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads))
    cmd = [sys.executable, __file__, "--worker", *sys.argv[1:]]
    records = []
    with subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, text=True) as proc:
        for line in proc.stdout:
            rec = json.loads(line)
            records.append(rec)
            per = rec["case"].endswith("per uniform")
            shown = f"{rec['seconds'] * 1e9:10.1f} ns" if per else f"{rec['seconds'] * 1e3:10.3f} ms"
            print(
                f"{rec['threads']} thr  n={rec['n']:2d}  {rec['function']:18s} {rec['case']:34s} {shown}"
                f"  x{rec['ratio']:.2f}",
                flush=True,
            )
    if proc.returncode:
        raise SystemExit(proc.returncode)
    return records


def ints(text):
    return [int(v) for v in text.split(",") if v]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=ints, default=[24, 26])
    parser.add_argument("--threads", type=ints, default=[1, 2])
    parser.add_argument("--budget", type=float, default=0.5)
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--sample-n", type=int, default=24)
    parser.add_argument("--others", type=ints, default=[])
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker(args)
        return
    records = []
    for threads in args.threads:
        records += run_threads(args, threads)
    RESULTS.mkdir(exist_ok=True)
    out = RESULTS / "latest-readout.json"
    out.write_text(json.dumps({"machine": platform.processor() or platform.machine(), "records": records}, indent=1))
    print(f"results: {out}")


if __name__ == "__main__":
    main()
