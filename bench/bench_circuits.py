"""Whole circuits: apply_sequence against one kernel call per gate.

    python bench/bench_circuits.py [--circuits qft:20,layered:24,...] [--threads 1,2]
                                   [--precisions complex128,complex64] [--others] [--small]

Circuits (final state from |0...0>):

- qft:N      X gates spelling a fixed basis state, then the quantum Fourier
             transform (Hadamards, controlled phases, the closing SWAPs);
- layered:N  ten layers of (a random single-qubit gate on every qubit, then a
             brickwork of CNOTs on neighbouring qubits, offset by one in every
             other layer);
- ghz:N      a Hadamard and a ladder of CNOTs;
- qaoa:N     bench_rotations.py's MaxCut QAOA (3-regular graph, p = 3): ZZ
             phases and X mixers as apply_pauli_rotation ops.

For each circuit, thread count and precision (velt_core on complex128 states,
velt_core.single on complex64 ones) it times one call per gate from Python and
one apply_sequence call, after checking that both give the same bytes (and the
complex64 state against the complex128 one, to 1e-4), and gives the circuit's
compute floor in that precision (see compute_floor): the time of its
arithmetic alone, so that calls / floor bounds what any blocking can gain.  With
--others it also times, in the precision of the row, Qiskit Aer (gate fusion
on; precision "double" or "single") and PennyLane Lightning's C++ state vector
(StateVectorC128 or StateVectorC64, one call per gate, no fusion), and qsim
through qsimcirq (single precision only, its default fusion: in the complex64
rows, or in the complex128 rows when complex64 is not run), the optional
extras `circuits` and `peers` of the package, after checking their final
states against velt_core's complex128 one (to 1e-9 in double, 1e-4 in single
precision); a simulator that is not installed is reported as such.  Aer and
qsim are timed from the circuit to the final state (their allocation
included); Lightning's state is allocated once and reset to |0...0> outside
the timed gate calls, as velt_core's is.  Thread counts run in separate
processes, since the OpenMP runtime reads its thread count once.

Each circuit's plan is reported too: the runs the planner makes (a Python
mirror of src/sequence/plan.cpp, checked against nothing but its own
definition; blocks of 2^15 amplitudes in complex128, 2^16 in complex64), per
layer, against the block-size bound (a layer touching q qubits needs at
least ceil(q / block qubits) runs; diagonals and rotations without X or Y
ride in any run, so their qubits do not count).  For the ops' fixed order
the greedy cut is already the fewest runs (fitting is monotone); the bound
would need reordering, which changes the bits.  The gather/scatter
share is the time of a hollow sequence over the same blocks (each blocked
run replaced by SWAPs over exactly its qubits: gather, layout, moves,
scatter, next block fetched ahead; whole runs kept) over the sequence's.

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
DEFAULT_CIRCUITS = "ghz:20,qft:20,layered:20,ghz:24,qft:24,layered:24,qaoa:24,qft:26"
LAYERS = {"qft": None, "layered": 10, "ghz": 1, "qaoa": 3}  # None: n layers (one per Hadamard)
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
    elif name == "qaoa":
        sys.path.insert(0, str(HERE))
        import bench_rotations

        for kind, qs, theta in bench_rotations.circuit("qaoa", n):
            if kind == "h":
                gates.append(("h", qs, (), ("apply_1q", qs[0], *H)))
            elif kind == "zz":
                gates.append(("zz", qs, (theta,), ("apply_pauli_rotation", "ZZ", list(qs), theta)))
            else:
                gates.append(("rx", qs, (theta,), ("apply_pauli_rotation", "X", list(qs), theta)))
    else:
        raise ValueError(f"unknown circuit {name!r}")
    return gates


# --- the planner's runs (mirror of src/sequence/plan.cpp) -------------------

MAX_BLOCK_QUBITS, MIN_LOW_QUBITS, SINGLE_BLOCK_QUBITS, MIN_FREE_QUBITS = 15, 5, 12, 3
GATE_STACK_TARGETS, BLOCKED_DIAGONAL_TARGETS = 6, 10
MAX_BLOCK_QUBITS_C64 = 16  # complex64 blocks: 2^16 amplitudes, the same 512 KiB


def block_qubits_for(n, dtype=np.complex128):
    top = MAX_BLOCK_QUBITS_C64 if np.dtype(dtype) == np.complex64 else MAX_BLOCK_QUBITS
    return n if n <= SINGLE_BLOCK_QUBITS else min(top, max(SINGLE_BLOCK_QUBITS, n - MIN_FREE_QUBITS))


def op_qubit_list(op):
    spots = {
        "apply_1q": [1],
        "apply_gate_fast": [1],
        "apply_gate": [1, 3],
        "apply_diagonal": [1, 3],
        "apply_pauli_rotation": [2, 4],
    }.get(op[0], [1, 2])
    return [q for i in spots if i < len(op) for q in (list(op[i]) if np.ndim(op[i]) else [op[i]])]


def high_count(qubits, b, min_low):
    for m in range(b - min_low + 1):
        if sum(1 for q in qubits if q >= b - m) <= m:
            return m
    return -1


def rides(op):
    """Diagonals and rotations without X or Y join any run (plan.hpp)."""
    if op[0] == "apply_diagonal":
        return len(op[1]) <= BLOCKED_DIAGONAL_TARGETS
    return op[0] == "apply_pauli_rotation" and not set(op[1]) & set("XY")


def plan_runs(ops, n, dtype=np.complex128):
    """[(op indices, qubit set, whole)] as plan_sequence cuts them; a riding
    op's qubits are not in its run's set."""
    b = block_qubits_for(n, dtype)
    min_low = min(MIN_LOW_QUBITS, b)

    def blockable(op):
        if op[0] == "apply_gate":
            return len(op[1]) <= GATE_STACK_TARGETS
        if op[0] == "apply_diagonal":
            return len(op[1]) <= BLOCKED_DIAGONAL_TARGETS
        return True

    def close(idx, qs):
        return (idx, frozenset(qs), len(idx) == 1 or high_count(qs, b, min_low) < 0)

    runs, current, qubits = [], [], set()
    for i, op in enumerate(ops):
        qs = op_qubit_list(op)
        if any(q >= n for q in qs) or (
            op[0] in ("apply_cnot_fast", "apply_controlled_1q", "apply_swap") and qs[0] == qs[1]
        ):
            continue
        if rides(op):
            current.append(i)
            continue
        if current and (not blockable(op) or high_count(qubits | set(qs), b, min_low) < 0):
            runs.append(close(current, qubits))
            current, qubits = [], set()
        if not blockable(op):
            runs.append(close([i], qs))
            continue
        current.append(i)
        qubits |= set(qs)
    if current:
        runs.append(close(current, qubits))
    return runs


def hollow_ops(ops, n, dtype=np.complex128):
    """The same runs over the same blocks, each blocked run's arithmetic
    replaced by SWAPs over exactly its qubits, the first on the qubits of
    the run's first op (so the cuts fall where they fell)."""
    hollow = []
    for idx, qs, whole in plan_runs(ops, n, dtype):
        gates = [i for i in idx if not rides(ops[i])]
        if whole or not gates:  # (a run of riding ops alone gathers nothing: kept as it is)
            hollow += [ops[i] for i in idx]
            continue
        first = op_qubit_list(ops[gates[0]])
        rest = sorted(qs - set(first))
        if len(first) == 1:
            first = [first[0], rest.pop(0) if rest else next(q for q in qs if q != first[0])]
        pairs = [first[:2]] + [[q] for q in first[2:]] + [rest[i : i + 2] for i in range(0, len(rest), 2)]
        for p in pairs:
            a, c = (p[0], p[1]) if len(p) == 2 else (p[0], first[0])
            hollow.append(("apply_swap", a, c))
    got = [(qs, whole) for _, qs, whole in plan_runs(hollow, n, dtype)]
    if got != [(qs, whole) for _, qs, whole in plan_runs(ops, n, dtype)]:
        raise AssertionError("the hollow sequence is cut differently")
    return hollow


def plan_stats(name, ops, n, dtype=np.complex128):
    b = block_qubits_for(n, dtype)
    runs = plan_runs(ops, n, dtype)
    layers = LAYERS[name] or n
    touched = len({q for op in ops if not rides(op) for q in op_qubit_list(op)})
    return {
        "runs": len(runs),
        "whole": sum(1 for r in runs if r[2]),
        "runs_per_layer": len(runs) / layers,
        "bound_per_layer": -(-touched // b) if name != "qft" else 1,
    }


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
    """One call per gate, one apply_sequence call and its hollow twin, through
    velt_core on complex128 states or velt_core.single on complex64 ones."""
    import velt_core

    vc = velt_core.single if np.dtype(dtype) == np.complex64 else velt_core
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

    hollow = hollow_ops(ops, n, dtype)

    def hollow_sequence():
        psi = zero_state(n, dtype)
        t0 = time.perf_counter()
        vc.apply_sequence(psi, hollow)
        return time.perf_counter() - t0

    t_calls, expected = one_by_one()
    t_seq, got = sequence()
    if not np.array_equal(got.view(np.uint64), expected.view(np.uint64)):
        raise AssertionError("apply_sequence and one call per gate differ")
    del got
    t_hollow = hollow_sequence()
    for _ in range(reps - 1):
        t_calls = min(t_calls, one_by_one()[0])
        t_seq = min(t_seq, sequence()[0])
        t_hollow = min(t_hollow, hollow_sequence())
    return {"calls": t_calls, "sequence": t_seq, "hollow": t_hollow}, expected


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
        elif kind in ("zz", "rx"):
            getattr(qc, {"zz": "rzz", "rx": "rx"}[kind])(params[0], *qubits)
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
        elif kind == "zz":
            ops.append(cirq.ZZPowGate(exponent=params[0] / np.pi, global_shift=-0.5).on(q[qubits[0]], q[qubits[1]]))
        elif kind == "rx":
            ops.append(cirq.rx(params[0]).on(q[qubits[0]]))
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


def run_lightning(gates, n, reps, expected, dtype=np.complex128):
    try:
        from pennylane_lightning import lightning_qubit_ops as lq
    except ImportError:
        return None
    names = {"x": "PauliX", "h": "Hadamard", "cx": "CNOT", "cp": "ControlledPhaseShift", "swap": "SWAP"}
    names |= {"zz": "IsingZZ", "rx": "RX"}
    program = []
    for kind, qubits, params, velt_op in gates:
        wires = [n - 1 - q for q in qubits]  # wire 0 is the most significant bit
        if kind == "u":
            program.append((None, wires, np.array(velt_op[2:], dtype=dtype)))
        else:
            program.append((names[kind], wires, [float(p) for p in params]))
    single = np.dtype(dtype) == np.complex64
    sv = (lq.StateVectorC64 if single else lq.StateVectorC128)(n)
    calls = [
        (sv.applyMatrix, (params, wires, False)) if gate is None else (getattr(sv, gate), (wires, False, params))
        for gate, wires, params in program
    ]

    def go():
        sv.resetStateVector()  # |0...0>, outside the timed calls
        t0 = time.perf_counter()
        for fn, args in calls:
            fn(*args)
        return time.perf_counter() - t0

    seconds = min(go() for _ in range(reps))
    out = np.empty(1 << n, dtype=dtype)
    sv.getState(out)
    error = float(np.max(np.abs(out - expected)))
    if error > (1e-4 if single else 1e-9):
        raise AssertionError(f"Lightning's final state ({np.dtype(dtype).name}) differs by {error:.1e}")
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
FLOOR_QUBITS_C64 = 16  # the same 512 KiB, one block, in complex64
FLOOR_LOW = 8  # qubits below this keep their index there; higher ones are renamed


def compute_floor(ops, n, threads, dtype=np.complex128):
    """The circuit's arithmetic with memory out of the way: each op's kernel on a
    512 KiB state held in cache (2^15 amplitudes in complex128, 2^16 in
    complex64: one block), its qubits below 8 kept and its higher qubits
    renamed 8, 9, ... in order (as apply_sequence renames a block's high
    qubits), scaled to the state size and divided by the thread count.  No
    blocking scheme can take less time on ideally shared work."""
    import velt_core

    single = np.dtype(dtype) == np.complex64
    vc = velt_core.single if single else velt_core
    floor_qubits = FLOOR_QUBITS_C64 if single else FLOOR_QUBITS
    if n <= floor_qubits:
        return None
    rng = np.random.default_rng(5)
    small = rng.standard_normal(1 << floor_qubits) + 1j * rng.standard_normal(1 << floor_qubits)
    small = (small / np.linalg.norm(small)).astype(dtype)
    cache = {}
    total = 0.0
    for op in ops:
        # Positions of the qubit arguments: one qubit, two, or lists (targets, controls).
        spots = {
            "apply_1q": [1],
            "apply_gate_fast": [1],
            "apply_gate": [1, 3],
            "apply_diagonal": [1, 3],
            "apply_pauli_rotation": [2, 4],
        }.get(op[0], [1, 2])
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
    return total * (1 << (n - floor_qubits)) / threads


def worker(args):
    reps = args.reps
    if args.small:
        print(json.dumps({"small": small_case(max(reps, 50))}), flush=True)
        return
    precisions = args.precisions.split(",")
    for spec in args.circuits.split(","):
        name, n = spec.split(":")
        n = int(n)
        gates = circuit(name, n)
        ops = [g[3] for g in gates]
        if "complex128" in precisions:
            velt, expected = run_velt(gates, n, reps)
        else:  # the state every other run is checked against, untimed
            import velt_core

            expected = zero_state(n)
            velt_core.apply_sequence(expected, ops)
        for precision in precisions:
            dtype = np.dtype(precision)
            record = {"circuit": spec, "precision": precision, "gates": len(gates)}
            record |= plan_stats(name, ops, n, dtype)
            if dtype == np.complex128:
                record.update(velt)
            else:
                velt64, narrow = run_velt(gates, n, reps, dtype)
                error = float(np.max(np.abs(narrow - expected)))
                if error > 1e-4:
                    raise AssertionError(f"velt_core.single's final state differs by {error:.1e}")
                del narrow
                record.update(velt64)
            # Timed with one thread only: with more, the in-cache calls may share
            # their loops out already, and dividing by the thread count again
            # would halve the floor.  main() shares the 1-thread floor out.
            record["floor"] = compute_floor(ops, n, 1, dtype) if args.threads_now == 1 else None
            if args.others:
                aer_precision = "single" if dtype == np.complex64 else "double"
                record["aer"] = run_aer(gates, n, args.threads_now, reps, expected, aer_precision)
                # qsim runs in single precision only: timed once per circuit.
                if dtype == np.complex64 or "complex64" not in precisions:
                    record["qsim"] = run_qsim(gates, n, args.threads_now, reps, expected)
                record["lightning"] = run_lightning(gates, n, reps, expected, dtype)
            print(json.dumps(record), flush=True)
        del expected


def main(argv=None):
    parser = argparse.ArgumentParser(description="velt_core circuit benchmark")
    parser.add_argument("--circuits", default=DEFAULT_CIRCUITS, help="comma-separated name:qubits")
    parser.add_argument("--threads", default=f"1,{os.cpu_count()}", help="comma-separated thread counts")
    parser.add_argument("--reps", type=int, default=3, help="runs per measurement (the best counts)")
    parser.add_argument("--others", action="store_true", help="also time Qiskit Aer, qsim and Lightning when installed")
    parser.add_argument("--precisions", default="complex128,complex64", help="comma-separated state types to time")
    parser.add_argument("--small", action="store_true", help="only the small-state per-op measurement")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--threads-now", type=int, default=1, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker(args)
        return 0

    print(f"# {platform.processor() or platform.machine()}, {os.cpu_count()} CPUs; best of {args.reps} runs")
    threads = [1] if args.small else [int(t) for t in args.threads.split(",")]
    floors = {}  # (circuit, precision) -> its 1-thread compute floor
    for t in sorted(threads):
        env = dict(os.environ, OMP_NUM_THREADS=str(t))
        cmd = [sys.executable, __file__, "--worker", "--threads-now", str(t), "--circuits", args.circuits]
        cmd += ["--reps", str(args.reps)] + (["--others"] if args.others else []) + (["--small"] if args.small else [])
        cmd += ["--precisions", args.precisions]
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

                key = (rec["circuit"], rec["precision"])
                if t == 1:
                    floors[key] = rec["floor"]
                elif floors.get(key):
                    rec["floor"] = floors[key] / t
                tag = "c64" if rec["precision"] == "complex64" else "c128"

                def fmt(v):
                    return "   n/a" if v is None else f"{v:8.3f}"

                print(
                    f"{rec['circuit']:<11} {tag:<4} {t} thr {rec['gates']:5d} gates  calls {fmt(rec['calls'])} s  "
                    f"sequence {fmt(rec['sequence'])} s  ({rec['calls'] / rec['sequence']:5.2f}x)  "
                    f"floor {fmt(rec['floor'])} s"
                    + (f" (at most {rec['calls'] / rec['floor']:5.2f}x)" if rec["floor"] else "")
                    + (
                        f"  aer {fmt(rec['aer'])} s  qsim {fmt(rec.get('qsim'))} s  lightning {fmt(rec['lightning'])} s"
                        if args.others
                        else ""
                    ),
                    flush=True,
                )
                print(
                    f"{'':<11} {tag:<4} {t} thr  sequence/floor "
                    + (f"{rec['sequence'] / rec['floor']:5.2f}" if rec["floor"] else "  n/a")
                    + f"  runs {rec['runs']} ({rec['whole']} whole), {rec['runs_per_layer']:.2f} per layer"
                    f" (block-size bound {rec['bound_per_layer']})"
                    f"  gather/scatter share {rec['hollow'] / rec['sequence']:.0%}",
                    flush=True,
                )
                print("#json " + json.dumps(rec | {"threads": t}), flush=True)
        if proc.returncode != 0:
            return proc.returncode
    return 0


if __name__ == "__main__":
    sys.exit(main())
