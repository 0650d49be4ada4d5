"""Variational and Hamiltonian circuits: diagonal gates and Pauli rotations.

    python bench/bench_rotations.py [--circuits qaoa:24,heisenberg:24] [--threads 1,2]
                                    [--routes velt,peers] [--reps 3]

Circuits (final state from |0...0>):

- qaoa:N        MaxCut QAOA on a random 3-regular graph of N nodes (seeded),
                p = 3: Hadamards, then per layer a ZZ phase exp(+i g/2 Z_a Z_b)
                on every edge and an X rotation exp(-i b X_q) on every qubit;
- heisenberg:N  10 Trotter steps of the Heisenberg chain on N qubits from
                the Neel state: per step exp(-i t/2 X X), exp(-i t/2 Y Y) and
                exp(-i t/2 Z Z) on every bond (q, q + 1).

Routes, each one apply_sequence call (or the peer's own circuit run):

- velt-rotations  apply_pauli_rotation ops ("ZZ", "X", "XX", "YY");
- velt-diagonal   QAOA only: ZZ phases as 4-entry apply_diagonal ops, the
                  mixers as apply_1q;
- velt-cnot       the same circuit from CNOTs and 2x2 gates (a ZZ phase is
                  CNOT, RZ, CNOT; XX and YY add basis changes around it);
- with --routes peers, the peers' fastest routes, when installed (pip
  install '.[circuits,peers]'): qsim through qsimcirq (single precision,
  gate fusion up to 2 and 4 qubits, the faster counts), Qiskit Aer (double,
  fusion on), PennyLane Lightning's C++ state vector (named IsingXX/YY/ZZ
  and RX gates, complex128 and complex64) and Qulacs (multi-qubit Pauli
  rotations; plain and with its circuit optimiser's 2-qubit fusion).

Every route's final state is checked first: the velt routes against each
other (1e-10), the double-precision peers to 1e-9, the single-precision ones
to 1e-4.  Each thread count runs in its own process (OMP_NUM_THREADS is read
once); the best of --reps runs counts.  A velt route's time is its
apply_sequence call on a prepared |0...0> vector (conversion of the op list
included); a peer's time is its whole run (state allocation included).
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
DEFAULT_CIRCUITS = "qaoa:24,heisenberg:24"
LAYERS = 3
STEPS = 10
H = (np.array([1, 1, 1, -1]) / np.sqrt(2)).astype(complex)
X = np.array([0, 1, 1, 0], dtype=complex)


def regular_graph(n, degree, seed):
    """A random simple degree-regular graph (pairing model, retried until simple)."""
    rng = np.random.default_rng(seed)
    while True:
        stubs = rng.permutation(np.repeat(np.arange(n), degree))
        pairs = stubs.reshape(-1, 2)
        edges = {tuple(sorted((int(a), int(b)))) for a, b in pairs}
        if len(edges) == len(pairs) and all(a != b for a, b in edges):
            return sorted(edges)


def circuit(name, n, seed=7):
    """The circuit as abstract gates: (kind, qubits, angle), kind one of
    h, x, zz, xx, yy, rx; zz/xx/yy(t) = exp(-i t/2 P P), rx(t) = exp(-i t/2 X)."""
    rng = np.random.default_rng(seed)
    gates = []
    if name == "qaoa":
        edges = regular_graph(n, 3, seed)
        gates += [("h", (q,), None) for q in range(n)]
        for _ in range(LAYERS):
            gamma, beta = rng.uniform(0.1, 1.2, size=2)
            gates += [("zz", e, -gamma) for e in edges]  # exp(+i gamma/2 Z Z)
            gates += [("rx", (q,), 2 * beta) for q in range(n)]  # exp(-i beta X)
    elif name == "heisenberg":
        gates += [("x", (q,), None) for q in range(1, n, 2)]
        dt = 0.1
        for _ in range(STEPS):
            for q in range(n - 1):
                for kind in ("xx", "yy", "zz"):
                    gates.append((kind, (q, q + 1), 2 * dt))
    else:
        raise ValueError(f"unknown circuit {name!r}")
    return gates


def rz(t):
    return np.array([np.exp(-0.5j * t), 0, 0, np.exp(0.5j * t)])


def rx(t):
    c, s = np.cos(t / 2), np.sin(t / 2)
    return np.array([c, -1j * s, -1j * s, c])


def velt_ops(gates, route):
    """apply_sequence ops of a route (see the module docstring)."""
    ops = []
    # Basis changes for the CNOT route: X = H Z H, Y = V Z V^dagger with
    # V = RX(-pi/2) (RX(pi/2) Y RX(-pi/2) = Z).
    to_y, from_y = rx(np.pi / 2), rx(-np.pi / 2)
    for kind, q, t in gates:
        if kind == "h":
            ops.append(("apply_1q", q[0], *H))
        elif kind == "x":
            ops.append(("apply_1q", q[0], *X))
        elif kind == "rx":
            if route == "velt-rotations":
                ops.append(("apply_pauli_rotation", "X", [q[0]], t))
            else:
                ops.append(("apply_1q", q[0], *rx(t)))
        elif route == "velt-rotations":
            ops.append(("apply_pauli_rotation", kind.upper(), list(q), t))
        elif route == "velt-diagonal" and kind == "zz":
            phase = np.exp(-0.5j * t * np.array([1, -1, -1, 1]))
            ops.append(("apply_diagonal", list(q), phase))
        else:
            a, b = q
            before, after = {"zz": ([], []), "xx": ([H, H], [H, H]), "yy": ([to_y, to_y], [from_y, from_y])}[kind]
            for m, qubit in zip(before, (a, b), strict=False):
                ops.append(("apply_1q", qubit, *m))
            ops += [("apply_cnot_fast", a, b), ("apply_1q", b, *rz(t)), ("apply_cnot_fast", a, b)]
            for m, qubit in zip(after, (a, b), strict=False):
                ops.append(("apply_1q", qubit, *m))
    return ops


def best_of(fn, reps):
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def run_velt(name, gates, n, reps):
    import velt_core as vc

    routes = ["velt-rotations", "velt-cnot"] + (["velt-diagonal"] if name == "qaoa" else [])
    results, states = {}, {}
    for route in routes:
        ops = velt_ops(gates, route)
        psi = np.zeros(1 << n, dtype=np.complex128)

        def go(ops=ops, psi=psi):
            psi[:] = 0
            psi[0] = 1
            t0 = time.perf_counter()
            vc.apply_sequence(psi, ops)
            return time.perf_counter() - t0

        results[route] = min(go() for _ in range(reps))
        results[route + " ops"] = len(ops)
        states[route] = psi
    first = states["velt-rotations"]
    for route, psi in states.items():
        error = float(np.max(np.abs(psi - first)))
        if error > 1e-10:
            raise AssertionError(f"{route} differs from velt-rotations by {error:.1e}")
    return results, first


# ------------------------------------------------------------------ peers


def run_qsim(gates, n, threads, reps, expected):
    try:
        import cirq
        import qsimcirq
    except ImportError:
        return None
    line = cirq.LineQubit.range(n)
    q = [line[n - 1 - i] for i in range(n)]  # cirq's first qubit is the most significant bit
    shift = -0.5  # exp(-i pi e/2 P P): the global phase that makes them rotations
    ops = []
    for kind, qs, t in gates:
        if kind == "h":
            ops.append(cirq.H(q[qs[0]]))
        elif kind == "x":
            ops.append(cirq.X(q[qs[0]]))
        elif kind == "rx":
            ops.append(cirq.rx(t).on(q[qs[0]]))
        else:
            gate = {"zz": cirq.ZZPowGate, "xx": cirq.XXPowGate, "yy": cirq.YYPowGate}[kind]
            ops.append(gate(exponent=t / np.pi, global_shift=shift).on(q[qs[0]], q[qs[1]]))
    qc = cirq.Circuit(ops, strategy=cirq.InsertStrategy.EARLIEST)
    best = None
    for fusion in (2, 4):
        sim = qsimcirq.QSimSimulator(qsim_options={"t": threads, "f": fusion})
        result = sim.simulate(qc, qubit_order=line)
        error = float(np.max(np.abs(result.final_state_vector - expected)))
        if error > 1e-4:
            raise AssertionError(f"qsim's final state differs by {error:.1e}")
        seconds = best_of(lambda sim=sim: sim.simulate(qc, qubit_order=line), reps)
        best = seconds if best is None else min(best, seconds)
    return best


def run_aer(gates, n, threads, reps, expected):
    try:
        from qiskit import QuantumCircuit
        from qiskit_aer import AerSimulator
    except ImportError:
        return None
    qc = QuantumCircuit(n)
    for kind, qs, t in gates:
        if kind in ("h", "x"):
            getattr(qc, kind)(qs[0])
        elif kind == "rx":
            qc.rx(t, qs[0])
        else:
            getattr(qc, "r" + kind)(t, qs[0], qs[1])
    qc.save_statevector()
    sim = AerSimulator(method="statevector", precision="double", fusion_enable=True, max_parallel_threads=threads)
    result = sim.run(qc, shots=1).result()
    error = float(np.max(np.abs(np.asarray(result.get_statevector(qc)) - expected)))
    if error > 1e-9:
        raise AssertionError(f"Aer's final state differs by {error:.1e}")
    return best_of(lambda: sim.run(qc, shots=1).result(), reps)


def run_lightning(gates, n, reps, expected, single):
    try:
        from pennylane_lightning import lightning_qubit_ops as ops
    except ImportError:
        return None
    cls = ops.StateVectorC64 if single else ops.StateVectorC128
    names = {"h": "Hadamard", "x": "PauliX", "rx": "RX", "zz": "IsingZZ", "xx": "IsingXX", "yy": "IsingYY"}
    program = []
    for kind, qs, t in gates:
        wires = [n - 1 - q for q in qs]  # wire 0 is the most significant bit
        program.append((names[kind], wires, [] if t is None else [float(t)]))

    sv = None

    def go():
        nonlocal sv
        sv = cls(n)  # |0...0>
        for gate, wires, params in program:
            getattr(sv, gate)(wires, False, params)

    go()
    out = np.empty(1 << n, dtype=np.complex64 if single else np.complex128)
    sv.getState(out)
    error = float(np.max(np.abs(out - expected)))
    if error > (1e-4 if single else 1e-9):
        raise AssertionError(f"Lightning's final state differs by {error:.1e}")
    return best_of(go, reps)


def run_qulacs(gates, n, reps, expected):
    try:
        import qulacs
        from qulacs.circuit import QuantumCircuitOptimizer
    except ImportError:
        return None
    pauli_id = {"X": 1, "Y": 2, "Z": 3}
    qc = qulacs.QuantumCircuit(n)
    for kind, qs, t in gates:
        if kind == "h":
            qc.add_H_gate(qs[0])
        elif kind == "x":
            qc.add_X_gate(qs[0])
        elif kind == "rx":
            qc.add_multi_Pauli_rotation_gate([qs[0]], [1], -t)  # Qulacs rotates by exp(+i angle/2 P)
        else:
            letter = kind[0].upper()
            qc.add_multi_Pauli_rotation_gate(list(qs), [pauli_id[letter]] * 2, -t)
    fused = qc.copy()
    QuantumCircuitOptimizer().optimize(fused, 2)
    best = None
    for c in (qc, fused):
        state = qulacs.QuantumState(n)

        def go(c=c, state=state):
            state.set_zero_state()
            c.update_quantum_state(state)

        go()
        error = float(np.max(np.abs(np.asarray(state.get_vector()) - expected)))
        if error > 1e-9:
            raise AssertionError(f"Qulacs' final state differs by {error:.1e}")
        seconds = best_of(go, reps)
        best = seconds if best is None else min(best, seconds)
    return best


def worker(args):
    for spec in args.circuits.split(","):
        name, n = spec.split(":")
        n = int(n)
        gates = circuit(name, n)
        record = {"circuit": spec, "gates": len(gates), "threads": args.threads_now}
        velt, expected = run_velt(name, gates, n, args.reps)
        if "velt" in args.routes:
            record.update(velt)
        if "peers" in args.routes:
            record["qsim"] = run_qsim(gates, n, args.threads_now, args.reps, expected)
            record["aer"] = run_aer(gates, n, args.threads_now, args.reps, expected)
            record["lightning-c128"] = run_lightning(gates, n, args.reps, expected, single=False)
            record["lightning-c64"] = run_lightning(gates, n, args.reps, expected, single=True)
            record["qulacs"] = run_qulacs(gates, n, args.reps, expected)
        del expected
        print(json.dumps(record), flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description="velt_core rotation-circuit benchmark")
    parser.add_argument("--circuits", default=DEFAULT_CIRCUITS, help="comma-separated name:qubits")
    parser.add_argument("--threads", default=f"1,{os.cpu_count()}", help="comma-separated thread counts")
    parser.add_argument("--routes", default="velt,peers", help="velt, peers or both")
    parser.add_argument("--reps", type=int, default=3, help="runs per measurement (the best counts)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--threads-now", type=int, default=1, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker(args)
        return 0
    sys.path.insert(0, str(HERE))
    from common import cpu_model

    import velt_core

    print(
        f"# {cpu_model()}, {os.cpu_count()} CPUs, velt_core {velt_core.__version__} ({velt_core.kernel_isa()}), "
        f"{platform.python_version()}; best of {args.reps} runs"
    )
    for t in sorted(int(x) for x in args.threads.split(",")):
        env = dict(os.environ, OMP_NUM_THREADS=str(t), OPENBLAS_NUM_THREADS="1")
        env.setdefault("OMP_WAIT_POLICY", "passive")
        cmd = [sys.executable, __file__, "--worker", "--threads-now", str(t), "--circuits", args.circuits]
        cmd += ["--reps", str(args.reps), "--routes", args.routes]
        with subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, text=True) as proc:
            for line in proc.stdout:
                rec = json.loads(line)
                cells = []
                for key in ("velt-rotations", "velt-diagonal", "velt-cnot", "qsim", "aer", "lightning-c128"):
                    if key in rec:
                        cells.append(f"{key} {'n/a' if rec[key] is None else format(rec[key], '.3f')}")
                for key in ("lightning-c64", "qulacs"):
                    if key in rec:
                        cells.append(f"{key} {'n/a' if rec[key] is None else format(rec[key], '.3f')}")
                extra = ""
                if "velt-rotations" in rec and "velt-cnot" in rec:
                    extra = f"  (cnot/rotations {rec['velt-cnot'] / rec['velt-rotations']:.2f}x)"
                print(f"{rec['circuit']:<14} {t} thr {rec['gates']:5d} gates  " + "  ".join(cells) + extra, flush=True)
                print("JSON " + json.dumps(rec), flush=True)
        if proc.returncode != 0:
            return proc.returncode
    return 0


if __name__ == "__main__":
    sys.exit(main())
