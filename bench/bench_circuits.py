"""Whole circuits: apply_sequence against one kernel call per gate.

    python bench/bench_circuits.py [--circuits qft:20,layered:24,...] [--threads 1,2]
                                   [--precisions complex128,complex64] [--others] [--small]

Circuits (final state from |0...0>):

- qft:N      X gates spelling a fixed basis state, then the quantum Fourier
             transform (Hadamards, controlled phases, the closing SWAPs);
- layered:N  ten layers of (a random single-qubit gate on every qubit, then a
             brickwork of CNOTs on neighbouring qubits, offset by one in every
             other layer);
- ghz:N      a Hadamard and a ladder of CNOTs.

For each circuit, thread count and precision (velt_core on complex128,
velt_core.single on complex64) it times one call per gate from Python and one
apply_sequence call, after checking that both give the same bytes (and the
complex64 state against the complex128 one, to 1e-4), and gives the
circuit's compute floor (see compute_floor; complex128): the time of its
arithmetic alone, so that calls / floor bounds what any blocking can gain.
With --others it also times Qiskit Aer (gate fusion on) in double and in
single precision, qsim through qsimcirq (single precision, its default
fusion) and PennyLane Lightning's complex64 state vector (its named-gate
calls, one per gate, no fusion), the optional extras `circuits` and `peers`
of the package, after checking their final states against velt_core's (to
1e-9 in double, 1e-4 in single precision); a simulator that is not installed
is reported as such.  Thread counts run in separate processes, since the
OpenMP runtime reads its thread count once.

--small measures the per-op cost of apply_sequence on small states: a
12-qubit circuit of 100 gates (rotations, CNOTs and controlled phases), at
one thread.  The kernels' compute time is taken as, for each gate, the time of
its kernel call minus that of the same call on a qubit above the register
(which converts and checks the same arguments and then finds nothing to do);
the conversion share of an apply_sequence call is the time of the same
sequence with every qubit moved above the register.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
DEFAULT_CIRCUITS = "ghz:20,qft:20,layered:20,ghz:24,qft:24,layered:24,qft:26"
H = (np.array([1, 1, 1, -1]) / np.sqrt(2)).astype(complex)
X = np.array([0, 1, 1, 0], dtype=complex)


def random_1q(rng):
    """A random unitary 2x2 as Euler angles and its matrix (row-major)."""
    theta, phi, lam = rng.uniform(0, 2 * np.pi, size=3)
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    m = np.array([c, -np.exp(1j * lam) * s, np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c])
    return (theta, phi, lam), m


def circuit(name, n, seed=11):
    """Gates as (kind, qubits, params, velt op); kind is one of x, h, u, cx, cp, swap."""
    rng = np.random.default_rng(seed)
    gates = []
    if name == "qft":
        x = int(rng.integers(0, 1 << n))
        for q in range(n):
            if (x >> q) & 1:
                gates.append(("x", (q,), (), ("apply_1q", q, *X)))
        for q in reversed(range(n)):
            gates.append(("h", (q,), (), ("apply_1q", q, *H)))
            for m in reversed(range(q)):
                theta = np.pi / 2 ** (q - m)
                gates.append(("cp", (m, q), (theta,), ("apply_controlled_1q", m, q, 1, 0, 0, np.exp(1j * theta))))
        for q in range(n // 2):
            gates.append(("swap", (q, n - 1 - q), (), ("apply_swap", q, n - 1 - q)))
    elif name == "layered":
        for layer in range(10):
            for q in range(n):
                angles, m = random_1q(rng)
                gates.append(("u", (q,), angles, ("apply_1q", q, *m)))
            for q in range(layer % 2, n - 1, 2):
                gates.append(("cx", (q, q + 1), (), ("apply_cnot_fast", q, q + 1)))
    elif name == "ghz":
        gates.append(("h", (0,), (), ("apply_1q", 0, *H)))
        for q in range(1, n):
            gates.append(("cx", (q - 1, q), (), ("apply_cnot_fast", q - 1, q)))
    else:
        raise ValueError(f"unknown circuit {name!r}")
    return gates


def timed(fn, reps):
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def zero_state(n, dtype=np.complex128):
    psi = np.zeros(1 << n, dtype=dtype)
    psi[0] = 1
    return psi


def run_velt(gates, n, reps, dtype=np.complex128):
    """One call per gate and one apply_sequence call, through velt_core on
    complex128 states or velt_core.single on complex64 ones."""
    import velt_core

    vc = velt_core.single if dtype == np.complex64 else velt_core
    ops = [g[3] for g in gates]
    calls = [(getattr(vc, op[0]), op[1:]) for op in ops]

    def one_by_one():
        psi = zero_state(n, dtype)
        t0 = time.perf_counter()
        for fn, args in calls:
            fn(psi, *args)
        return time.perf_counter() - t0, psi

    def sequence():
        psi = zero_state(n, dtype)
        t0 = time.perf_counter()
        vc.apply_sequence(psi, ops)
        return time.perf_counter() - t0, psi

    t_calls, expected = one_by_one()
    t_seq, got = sequence()
    if not np.array_equal(got.view(np.uint8), expected.view(np.uint8)):
        raise AssertionError("apply_sequence and one call per gate differ")
    del got
    for _ in range(reps - 1):
        t_calls = min(t_calls, one_by_one()[0])
        t_seq = min(t_seq, sequence()[0])
    return {"calls": t_calls, "sequence": t_seq}, expected


def run_aer(gates, n, threads, reps, expected, precision="double"):
    try:
        from qiskit import QuantumCircuit
        from qiskit_aer import AerSimulator
    except ImportError:
        return None
    qc = QuantumCircuit(n)
    for kind, qubits, params, _ in gates:
        if kind == "u":
            qc.u(*params, *qubits)
        elif kind == "cp":
            qc.cp(params[0], *qubits)
        else:
            getattr(qc, kind)(*qubits)
    qc.save_statevector()
    sim = AerSimulator(method="statevector", precision=precision, fusion_enable=True, max_parallel_threads=threads)
    result = None

    def go():
        nonlocal result
        result = sim.run(qc, shots=1).result()

    seconds = timed(go, reps)
    state = np.asarray(result.get_statevector(qc))
    error = float(np.max(np.abs(state - expected)))
    if error > (1e-9 if precision == "double" else 1e-4):
        raise AssertionError(f"Aer's final state ({precision}) differs by {error:.1e}")
    return seconds


def run_lightning(gates, n, reps, expected):
    """PennyLane Lightning's complex64 state vector, one named-gate call per
    gate (its wire 0 is the index's most significant bit: qubit q is wire
    n - 1 - q).  Threads follow OMP_NUM_THREADS."""
    try:
        from pennylane_lightning.lightning_qubit_ops import StateVectorC64
    except ImportError:
        return None
    sv = StateVectorC64(n)

    def wire(q):
        return n - 1 - q

    calls = []
    for kind, qubits, params, velt_op in gates:
        wires = [wire(q) for q in qubits]
        if kind == "x":
            calls.append((sv.PauliX, (wires, False, [])))
        elif kind == "h":
            calls.append((sv.Hadamard, (wires, False, [])))
        elif kind == "u":
            m = np.ascontiguousarray(np.array(velt_op[2:], dtype=np.complex64))
            calls.append((sv.applyMatrix, (m, wires, False)))
        elif kind == "cp":
            calls.append((sv.ControlledPhaseShift, (wires, False, [params[0]])))
        elif kind == "cx":
            calls.append((sv.CNOT, (wires, False, [])))
        elif kind == "swap":
            calls.append((sv.SWAP, (wires, False, [])))

    def go():
        sv.resetStateVector()  # |0...0>, outside the timed loop
        t0 = time.perf_counter()
        for fn, args in calls:
            fn(*args)
        return time.perf_counter() - t0

    seconds = min(go() for _ in range(reps))
    state = np.empty(1 << n, dtype=np.complex64)
    sv.getState(state)
    error = float(np.max(np.abs(state - expected)))
    if error > 1e-4:
        raise AssertionError(f"Lightning's final state differs by {error:.1e}")
    return seconds


def run_qsim(gates, n, threads, reps, expected):
    try:
        import cirq
        import qsimcirq
    except ImportError:
        return None
    # cirq orders qubits from the most significant bit: velt's qubit q is line qubit n-1-q.
    line = cirq.LineQubit.range(n)
    q = [line[n - 1 - i] for i in range(n)]
    ops = []
    for kind, qubits, params, velt_op in gates:
        if kind == "x":
            ops.append(cirq.X(q[qubits[0]]))
        elif kind == "h":
            ops.append(cirq.H(q[qubits[0]]))
        elif kind == "u":
            ops.append(cirq.MatrixGate(np.array(velt_op[2:]).reshape(2, 2)).on(q[qubits[0]]))
        elif kind == "cp":
            ops.append(cirq.CZPowGate(exponent=params[0] / np.pi).on(q[qubits[0]], q[qubits[1]]))
        elif kind == "cx":
            ops.append(cirq.CNOT(q[qubits[0]], q[qubits[1]]))
        elif kind == "swap":
            ops.append(cirq.SWAP(q[qubits[0]], q[qubits[1]]))
    qc = cirq.Circuit(ops, strategy=cirq.InsertStrategy.EARLIEST)
    sim = qsimcirq.QSimSimulator(qsim_options={"t": threads})
    result = None

    def go():
        nonlocal result
        result = sim.simulate(qc, qubit_order=line)

    seconds = timed(go, reps)
    error = float(np.max(np.abs(result.final_state_vector - expected)))
    if error > 1e-4:
        raise AssertionError(f"qsim's final state differs by {error:.1e}")
    return seconds


def small_case(reps):
    """Per-op cost on a 12-qubit, 100-gate circuit (see the module docstring)."""
    import velt_core as vc

    n, rng = 12, np.random.default_rng(5)
    ops = []
    while len(ops) < 100:
        kind = len(ops) % 4
        a, b = (int(v) for v in rng.choice(n, size=2, replace=False))
        if kind in (0, 1):
            ops.append(("apply_1q", a, *random_1q(rng)[1]))
        elif kind == 2:
            ops.append(("apply_cnot_fast", a, b))
        else:
            ops.append(("apply_controlled_1q", a, b, 1, 0, 0, np.exp(1j * rng.uniform(0, 6.3))))

    def above(op):  # the same op on qubits above the register: converted, checked, no work
        return (op[0], 61, *op[2:]) if op[0] == "apply_1q" else (op[0], 62, 62, *op[3:])

    psi = zero_state(n)
    psi[:] = (rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)) / 64

    def median(fn, count=reps):
        fn()
        times = []
        for _ in range(count):
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
        return statistics.median(times)

    compute = 0.0
    for op in ops:
        fn = getattr(vc, op[0])
        busy = median(lambda: fn(psi, *op[1:]), 200)
        idle = median(lambda: fn(psi, *above(op)[1:]), 200)
        compute += max(busy - idle, 0.0)
    seq = median(lambda: vc.apply_sequence(psi, ops), reps)
    convert = median(lambda: vc.apply_sequence(psi, [above(op) for op in ops]), reps)
    calls = median(lambda: [getattr(vc, op[0])(psi, *op[1:]) for op in ops], reps)
    return {"compute": compute, "sequence": seq, "convert": convert, "calls": calls}


FLOOR_QUBITS = 15  # the in-cache state of the compute floor: 512 KiB, one block
FLOOR_LOW = 8  # qubits below this keep their index there; higher ones are renamed


def compute_floor(ops, n, threads):
    """The circuit's arithmetic with memory out of the way: each op's kernel on a
    2^15-amplitude state held in cache, its qubits below 8 kept and its higher
    qubits renamed 8, 9, ... in order (as apply_sequence renames a block's high
    qubits), scaled to the state size and divided by the thread count.  No
    blocking scheme can take less time on ideally shared work."""
    import velt_core as vc

    if n <= FLOOR_QUBITS:
        return None
    rng = np.random.default_rng(5)
    small = rng.standard_normal(1 << FLOOR_QUBITS) + 1j * rng.standard_normal(1 << FLOOR_QUBITS)
    small /= np.linalg.norm(small)
    cache = {}
    total = 0.0
    for op in ops:
        # Positions of the qubit arguments: one qubit, two, or lists (targets, controls).
        spots = {"apply_1q": [1], "apply_gate_fast": [1], "apply_gate": [1, 3]}.get(op[0], [1, 2])
        spots = [i for i in spots if i < len(op)]
        qubits = [q for i in spots for q in (list(op[i]) if np.ndim(op[i]) else [op[i]])]
        rename = {q: FLOOR_LOW + i for i, q in enumerate(sorted({q for q in qubits if q >= FLOOR_LOW}))}
        renamed = list(op)
        for i in spots:
            renamed[i] = [rename.get(q, q) for q in op[i]] if np.ndim(op[i]) else rename.get(op[i], op[i])
        key = (op[0], repr([renamed[i] for i in spots]))
        if key not in cache:
            fn, args = getattr(vc, op[0]), renamed[1:]
            fn(small, *args)
            times = []
            for _ in range(7):
                t0 = time.perf_counter()
                fn(small, *args)
                times.append(time.perf_counter() - t0)
            cache[key] = statistics.median(times)
        total += cache[key]
    return total * (1 << (n - FLOOR_QUBITS)) / threads


def worker(args):
    reps = args.reps
    if args.small:
        print(json.dumps({"small": small_case(max(reps, 50))}), flush=True)
        return
    for spec in args.circuits.split(","):
        name, n = spec.split(":")
        n = int(n)
        gates = circuit(name, n)
        record = {"circuit": spec, "gates": len(gates)}
        precisions = args.precisions.split(",")
        velt, expected = run_velt(gates, n, reps)
        if "complex128" in precisions:
            record.update(velt)
        if "complex64" in precisions:
            velt64, narrow = run_velt(gates, n, reps, np.complex64)
            error = float(np.max(np.abs(narrow - expected)))
            if error > 1e-4:
                raise AssertionError(f"velt_core.single's final state differs by {error:.1e}")
            record.update({f"{key}64": value for key, value in velt64.items()})
            del narrow
        # Timed with one thread only: with more, the in-cache calls may share
        # their loops out already, and dividing by the thread count again
        # would halve the floor.  main() shares the 1-thread floor out.
        if not args.no_floor:
            record["floor"] = compute_floor([g[3] for g in gates], n, 1) if args.threads_now == 1 else None
        if args.others:
            if "complex128" in precisions:
                record["aer"] = run_aer(gates, n, args.threads_now, reps, expected)
            if "complex64" in precisions:
                record["aer_single"] = run_aer(gates, n, args.threads_now, reps, expected, "single")
                record["lightning64"] = run_lightning(gates, n, reps, expected)
            record["qsim"] = run_qsim(gates, n, args.threads_now, reps, expected)
        del expected
        print(json.dumps(record), flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description="velt_core circuit benchmark")
    parser.add_argument("--circuits", default=DEFAULT_CIRCUITS, help="comma-separated name:qubits")
    parser.add_argument("--threads", default=f"1,{os.cpu_count()}", help="comma-separated thread counts")
    parser.add_argument("--reps", type=int, default=3, help="runs per measurement (the best counts)")
    parser.add_argument("--others", action="store_true", help="also time Qiskit Aer, qsim and Lightning when installed")
    parser.add_argument("--precisions", default="complex128,complex64", help="velt_core's precisions to time")
    parser.add_argument("--no-floor", action="store_true", help="skip the compute floor")
    parser.add_argument("--json", default="", help="append every record, as a JSON line, to this file")
    parser.add_argument("--small", action="store_true", help="only the small-state per-op measurement")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--threads-now", type=int, default=1, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker(args)
        return 0

    print(f"# {platform.processor() or platform.machine()}, {os.cpu_count()} CPUs; best of {args.reps} runs")
    threads = [1] if args.small else [int(t) for t in args.threads.split(",")]
    floors = {}  # circuit -> its 1-thread compute floor
    for t in sorted(threads):
        env = dict(os.environ, OMP_NUM_THREADS=str(t))
        cmd = [sys.executable, __file__, "--worker", "--threads-now", str(t), "--circuits", args.circuits]
        cmd += ["--reps", str(args.reps)] + (["--others"] if args.others else []) + (["--small"] if args.small else [])
        cmd += ["--precisions", args.precisions] + (["--no-floor"] if args.no_floor else [])
        with subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, text=True) as proc:
            for line in proc.stdout:
                rec = json.loads(line)
                if "small" in rec:
                    s = rec["small"]
                    print(
                        f"12 qubits, 100 gates, 1 thread: apply_sequence {s['sequence'] * 1e6:.0f} us, "
                        f"kernels' compute {s['compute'] * 1e6:.0f} us (ratio {s['sequence'] / s['compute']:.2f}), "
                        f"conversion alone {s['convert'] * 1e6:.0f} us, one call per gate {s['calls'] * 1e6:.0f} us"
                    )
                    continue

                if t == 1:
                    floors[rec["circuit"]] = rec.get("floor")
                elif floors.get(rec["circuit"]):
                    rec["floor"] = floors[rec["circuit"]] / t
                rec["threads"] = t
                if args.json:
                    with open(args.json, "a") as out:
                        out.write(json.dumps(rec) + "\n")

                def fmt(v):
                    return "   n/a" if v is None else f"{v:8.3f}"

                line = f"{rec['circuit']:<11} {t} thr {rec['gates']:5d} gates"
                if "sequence" in rec:
                    line += (
                        f"  calls {fmt(rec['calls'])} s  sequence {fmt(rec['sequence'])} s"
                        f"  ({rec['calls'] / rec['sequence']:5.2f}x)"
                    )
                if rec.get("floor"):
                    line += f"  floor {fmt(rec['floor'])} s (at most {rec['calls'] / rec['floor']:5.2f}x)"
                if "sequence64" in rec:
                    line += f"  complex64: calls {fmt(rec['calls64'])} s  sequence {fmt(rec['sequence64'])} s"
                if args.others:
                    peers = [key for key in ("aer", "aer_single", "qsim", "lightning64") if key in rec]
                    line += "".join(f"  {key} {fmt(rec[key])} s" for key in peers)
                print(line, flush=True)
        if proc.returncode != 0:
            return proc.returncode
    return 0


if __name__ == "__main__":
    sys.exit(main())
