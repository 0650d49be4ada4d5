"""Noise: the channel kernels against the streaming pass, and noisy circuits
against Qiskit Aer and qsim.

    python bench/bench_noise.py kernels      [--threads 1,2] [--n 12]
    python bench/bench_noise.py density      [--threads 1,2] [--n 12] [--depth 6]
    python bench/bench_noise.py trajectories [--threads 1,2] [--n 20] [--depth 6] [--trajectories 200]

kernels: apply_kraus on two qubits of an n-qubit density matrix (a two-qubit
depolarising channel, whose superoperator is real, and a channel of four
random complex operators), apply_unitary_rho with a random two-qubit unitary
and with a one-qubit one, and apply_kraus_1q, at low, middle, high and spread
qubits; each time over the fastest in-place streaming pass over the same
array (bench/stream.c, as bench_kernels.py), measured alternately with it,
and the compute floor (the same call on a 7-qubit matrix, in cache, scaled,
1-thread time over the thread count).  Every case checks itself against
NumPy first.  The per-operator sub-block form of a channel (each operator's
K B K^dagger on every sub-block, the arithmetic apply_kraus_1q uses) does for
each operator what apply_unitary_rho does for its gate; its time for 16
operators is at least 16 times apply_unitary_rho's compute floor, which the
table gives beside the superoperator's time.

density: a noisy circuit on an n-qubit density matrix: `depth` layers of a
random single-qubit unitary on every qubit and a brickwork of CNOTs, each
CNOT followed by a two-qubit depolarising channel (Qiskit's
depolarizing_error(0.05, 2)).  velt_core runs every gate through
apply_unitary_rho and every channel through apply_kraus; Qiskit Aer's
density-matrix method runs the same circuit with the same noise model.  The
final density matrices must agree to 1e-10 first.

trajectories: the same model on n qubits as `trajectories` sampled
trajectories: velt_core runs the gates between channels through
apply_sequence and each channel through apply_kraus_sampled with uniforms
from a seeded generator; Qiskit Aer's noisy state-vector method runs the
circuit with `trajectories` shots; qsim (qsimcirq) runs its trajectories
with cirq.depolarize.  Each gives the trajectory means of <Z_0>,
<Z_(n/2)>, <Z_(n-1)> and <Z_0 Z_1>; every pair of simulators must agree
within five standard errors before any time is kept.  With --check-exact N
(default 10), velt_core's trajectory means on N qubits are also checked
against the exact density matrix of the same circuit.

Thread counts run in separate processes (OMP_NUM_THREADS and the peers' own
thread settings); a peer that is not installed is reported as such
(`pip install qiskit qiskit-aer qsimcirq`, the `circuits` extra).
"""

import argparse
import json
import math
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
LAMBDA = 0.05  # Qiskit's depolarizing_error parameter: E(rho) = (1 - l) rho + l I / 4
PAULI = [np.eye(2), np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1.0, -1.0])]
CNOT = np.eye(4)[[0, 3, 2, 1]]  # control qubits[0] (bit 0), target qubits[1]
X = np.array([[0, 1], [1, 0]], dtype=complex)


def depolarising_ops(lam=LAMBDA):
    """Kraus operators of depolarizing_error(lam, 2): I with weight 1 - 15 lam / 16, each
    other two-qubit Pauli string with lam / 16."""
    return [
        np.sqrt(1 - 15 * lam / 16 if i == j == 0 else lam / 16) * np.kron(PAULI[i], PAULI[j])
        for i in range(4)
        for j in range(4)
    ]


def random_unitary(rng, dim):
    z = rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def noisy_circuit(n, depth, seed=25):
    """[("u", q, 2x2 matrix, (theta, phi, lam)), ("cx", c, t), ("dep", a, b), ...]."""
    rng = np.random.default_rng(seed)
    ops = []
    for layer in range(depth):
        for q in range(n):
            theta, phi, lam = rng.uniform(0, 2 * np.pi, size=3)
            c, s = np.cos(theta / 2), np.sin(theta / 2)
            m = np.array([[c, -np.exp(1j * lam) * s], [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]])
            ops.append(("u", q, m, (theta, phi, lam)))
        for q in range(layer % 2, n - 1, 2):
            ops.append(("cx", q, q + 1))
            ops.append(("dep", q, q + 1))
    return ops


OBSERVABLES = ("Z0", "Zmid", "Zlast", "Z0Z1")


def observable_qubits(n):
    return {"Z0": [0], "Zmid": [n // 2], "Zlast": [n - 1], "Z0Z1": [0, 1]}


# ------------------------------------------------------------------ kernels


def kernel_cases(n):
    """(kernel, case, qubits, call(rho, n), check(rho, n)) at low, middle, high
    and spread qubits; check applies the same with NumPy (baseline.py)."""
    import baseline as base

    import velt_core as vc

    rng = np.random.default_rng(7)
    dep = depolarising_ops()
    complex4 = [random_unitary(rng, 4) / 2 for _ in range(4)]
    u4, u2 = random_unitary(rng, 4), random_unitary(rng, 2)
    gamma = 0.1
    damping = [np.diag([1, np.sqrt(1 - gamma)]), np.array([[0, np.sqrt(gamma)], [0, 0]])]
    out = []

    def add(kernel, label, qs, call, check):
        out.append((kernel, f"{label} {qs}", call, check))

    for label, qs in (("low", [0, 1]), ("mid", [n // 2 - 1, n // 2]), ("high", [n - 2, n - 1]), ("spread", [0, n - 1])):
        add(
            "apply_kraus, depolarising (16 ops, real S)",
            label,
            qs,
            lambda r, m, q=qs: vc.apply_kraus(r, m, q, dep),
            lambda r, m, q=qs: base.apply_channel(r, m, q, dep),
        )
        add(
            "apply_kraus, 4 complex ops",
            label,
            qs,
            lambda r, m, q=qs: vc.apply_kraus(r, m, q, complex4),
            lambda r, m, q=qs: base.apply_channel(r, m, q, complex4),
        )
        add(
            "apply_unitary_rho, 2 targets",
            label,
            qs,
            lambda r, m, q=qs: vc.apply_unitary_rho(r, m, q, u4),
            lambda r, m, q=qs: base.conjugate(r, m, q, u4),
        )
    for label, q in (("low", 0), ("high", n - 1)):
        add(
            "apply_unitary_rho, 1 target",
            label,
            [q],
            lambda r, m, q=q: vc.apply_unitary_rho(r, m, [q], u2),
            lambda r, m, q=q: base.conjugate(r, m, [q], u2),
        )
        add(
            "apply_kraus_1q, damping",
            label,
            [q],
            lambda r, m, q=q: vc.apply_kraus_1q(r, m, q, damping),
            lambda r, m, q=q: base.apply_kraus(r, m, q, damping),
        )
    return out


def kernels_worker(args):
    from common import median_time, paired_medians, stream_pass

    threads = int(os.environ["OMP_NUM_THREADS"])
    n, small = args.n, 7
    rng = np.random.default_rng(2026)
    psi = rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)
    psi /= np.linalg.norm(psi)
    rho = np.outer(psi, psi.conj()).reshape(-1)
    floors = kernel_cases(small)
    checks = kernel_cases(5)
    for (kernel, case, call, _), (_, _, floor_call, _), (_, _, small_call, check) in zip(
        kernel_cases(n), floors, checks, strict=True
    ):
        # Each case first checks itself against NumPy, on a 5-qubit matrix.
        r = np.random.default_rng(3).standard_normal(1 << 10) + 1j * np.random.default_rng(4).standard_normal(1 << 10)
        got, want = r.copy(), r.copy()
        small_call(got, 5)
        check(want, 5)
        if not np.allclose(got, want, rtol=1e-11, atol=1e-12):
            raise SystemExit(f"SELF-CHECK FAILED: {kernel} {case}")
        a = rho.copy()
        t_kernel, t_stream = paired_medians(
            lambda: call(a, n), lambda: stream_pass(a, parallel=threads > 1), budget=1.0
        )
        f = rho[: 1 << (2 * small)].copy()
        t_floor = median_time(lambda: floor_call(f, small), budget=0.2) * (1 << (2 * (n - small)))
        print(
            json.dumps(
                {
                    "kernel": kernel,
                    "case": case,
                    "threads": threads,
                    "kernel_s": t_kernel,
                    "stream_s": t_stream,
                    "floor_1thread_s": t_floor,
                }
            ),
            flush=True,
        )


def kernels_report(records, n):
    threads = sorted({r["threads"] for r in records})
    single = {(r["kernel"], r["case"]): r["floor_1thread_s"] for r in records if r["threads"] == threads[0]}
    head = "| kernel | case |" + "".join(f" {t} thr ms | {t} thr ÷stream | {t} thr floor |" for t in threads)
    lines = [head, "|" + "---|" * (2 + 3 * len(threads))]
    keys = list(dict.fromkeys((r["kernel"], r["case"]) for r in records))
    by = {(r["kernel"], r["case"], r["threads"]): r for r in records}
    for kernel, case in keys:
        row = f"| {kernel} | {case} |"
        for t in threads:
            r = by.get((kernel, case, t))
            if r is None:
                row += " | | |"
                continue
            floor = single[(kernel, case)] / t / r["stream_s"]
            row += f" {r['kernel_s'] * 1e3:.1f} | {r['kernel_s'] / r['stream_s']:.2f} | {floor:.2f} |"
        lines.append(row)
    size = 4**n * 16 >> 20
    print(f"\n{n}-qubit density matrix ({size} MiB); floor: the 1-thread in-cache time, scaled, over t threads")
    print("\n".join(lines))
    # The per-operator sub-block form of the 16-operator channel: at least 16
    # times one operator's sub-block arithmetic, which is apply_unitary_rho's.
    for t in threads:
        for place in ("low", "mid", "high", "spread"):
            mine = [r for r in records if r["threads"] == t and r["case"].startswith(place)]
            rho_rec = [r for r in mine if r["kernel"].startswith("apply_unitary_rho, 2")]
            dep = [r for r in mine if "depolarising" in r["kernel"]]
            if rho_rec and dep:
                per_op = single[(rho_rec[0]["kernel"], rho_rec[0]["case"])] / t
                print(
                    f"  {t} thr {place}: superoperator {dep[0]['kernel_s'] * 1e3:.1f} ms; sub-blocks operator by "
                    f"operator at least 16 x {per_op * 1e3:.1f} ms = {16 * per_op * 1e3:.0f} ms"
                )


# ------------------------------------------------------------ density matrix


def density_velt(n, circuit):
    import velt_core as vc

    rho = np.zeros((1 << n, 1 << n), dtype=np.complex128)
    rho[0, 0] = 1
    dep = depolarising_ops()
    t0 = time.perf_counter()
    for op in circuit:
        if op[0] == "u":
            vc.apply_unitary_rho(rho, n, [op[1]], op[2])
        elif op[0] == "cx":
            vc.apply_unitary_rho(rho, n, [op[2]], X, [op[1]])
        else:
            vc.apply_kraus(rho, n, [op[1], op[2]], dep)
    return time.perf_counter() - t0, rho


def qiskit_circuit(n, circuit, save):
    from qiskit import QuantumCircuit

    qc = QuantumCircuit(n)
    for op in circuit:
        if op[0] == "u":
            qc.u(*op[3], op[1])
        elif op[0] == "cx":
            qc.cx(op[1], op[2])
    save(qc)
    return qc


def aer_noise():
    from qiskit_aer.noise import NoiseModel, depolarizing_error

    noise = NoiseModel()
    noise.add_all_qubit_quantum_error(depolarizing_error(LAMBDA, 2), ["cx"])
    return noise


def density_aer(n, circuit, threads):
    try:
        from qiskit_aer import AerSimulator
    except ImportError:
        return None, None
    qc = qiskit_circuit(n, circuit, lambda qc: qc.save_density_matrix())
    sim = AerSimulator(method="density_matrix", noise_model=aer_noise(), max_parallel_threads=threads)
    t0 = time.perf_counter()
    result = sim.run(qc, shots=1).result()
    seconds = time.perf_counter() - t0
    return seconds, np.asarray(result.data(0)["density_matrix"])


def density_worker(args):
    threads = int(os.environ["OMP_NUM_THREADS"])
    circuit = noisy_circuit(args.n, args.depth)
    t_velt, rho = density_velt(args.n, circuit)
    record = {
        "threads": threads,
        "velt_s": t_velt,
        "gates": sum(op[0] != "dep" for op in circuit),
        "channels": sum(op[0] == "dep" for op in circuit),
        "trace": float(np.trace(rho).real),
    }
    t_aer, rho_aer = density_aer(args.n, circuit, threads)
    if rho_aer is not None:
        error = float(np.max(np.abs(rho_aer - rho)))
        if error > 1e-10:
            raise SystemExit(f"SELF-CHECK FAILED: Aer's density matrix differs by {error:.1e}")
        record.update(aer_s=t_aer, aer_max_difference=error)
    print(json.dumps(record), flush=True)


# ------------------------------------------------------------- trajectories


def z_expectation(psi, qubits):
    import velt_core as vc

    return vc.expectation_pauli(psi, "Z" * len(qubits), qubits)


def trajectories_velt(n, circuit, count, seed=99):
    """Trajectory means and standard errors of the observables, and the time."""
    import velt_core as vc

    dep = depolarising_ops()
    qubits = observable_qubits(n)
    uniforms = np.random.default_rng(seed).random((count, sum(op[0] == "dep" for op in circuit)))
    values = np.zeros((count, len(OBSERVABLES)))
    t0 = time.perf_counter()
    for trial in range(count):
        psi = np.zeros(1 << n, dtype=np.complex128)
        psi[0] = 1
        pending, channel = [], 0
        for op in circuit:
            if op[0] == "u":
                pending.append(("apply_1q", op[1], *op[2].reshape(4)))
            elif op[0] == "cx":
                pending.append(("apply_cnot_fast", op[1], op[2]))
            else:
                vc.apply_sequence(psi, pending)
                pending = []
                vc.apply_kraus_sampled(psi, [op[1], op[2]], dep, uniforms[trial, channel])
                channel += 1
        vc.apply_sequence(psi, pending)
        values[trial] = [z_expectation(psi, qubits[name]) for name in OBSERVABLES]
    seconds = time.perf_counter() - t0
    return seconds, values.mean(axis=0), values.std(axis=0, ddof=1) / math.sqrt(count)


def trajectories_aer(n, circuit, count, threads):
    try:
        from qiskit.quantum_info import Pauli
        from qiskit_aer import AerSimulator
    except ImportError:
        return None, None
    qubits = observable_qubits(n)

    def save(qc):
        for name in OBSERVABLES:
            label = ["I"] * n
            for q in qubits[name]:
                label[n - 1 - q] = "Z"  # Qiskit's labels put qubit 0 last
            qc.save_expectation_value(Pauli("".join(label)), list(range(n)), label=name)

    qc = qiskit_circuit(n, circuit, save)
    sim = AerSimulator(method="statevector", noise_model=aer_noise(), max_parallel_threads=threads, seed_simulator=7)
    t0 = time.perf_counter()
    result = sim.run(qc, shots=count).result()
    seconds = time.perf_counter() - t0
    data = result.data(0)
    return seconds, np.array([float(np.real(data[name])) for name in OBSERVABLES])


def trajectories_qsim(n, circuit, count, threads):
    try:
        import cirq
        import qsimcirq
    except ImportError:
        return None, None
    line = cirq.LineQubit.range(n)
    ops = []
    for op in circuit:
        if op[0] == "u":
            ops.append(cirq.MatrixGate(op[2]).on(line[op[1]]))
        elif op[0] == "cx":
            ops.append(cirq.CNOT(line[op[1]], line[op[2]]))
        else:
            ops.append(cirq.depolarize(15 * LAMBDA / 16, n_qubits=2).on(line[op[1]], line[op[2]]))
    qc = cirq.Circuit(ops)
    qubits = observable_qubits(n)
    observables = []
    for name in OBSERVABLES:
        term = cirq.PauliString({line[q]: cirq.Z for q in qubits[name]})
        observables.append(term)
    options = qsimcirq.QSimOptions(cpu_threads=threads, ev_noisy_repetitions=count)
    sim = qsimcirq.QSimSimulator(qsim_options=options, seed=7)
    t0 = time.perf_counter()
    values = sim.simulate_expectation_values(qc, observables=observables)
    seconds = time.perf_counter() - t0
    return seconds, np.array([float(np.real(v)) for v in values])


def exact_means(n, circuit):
    import velt_core as vc

    _, rho = density_velt(n, circuit)
    qubits = observable_qubits(n)
    diag = np.real(np.diag(rho))
    idx = np.arange(1 << n)
    out = []
    for name in OBSERVABLES:
        sign = np.ones(1 << n)
        for q in qubits[name]:
            sign *= 1 - 2 * ((idx >> q) & 1)
        out.append(float(np.dot(sign, diag)))
    del vc
    return np.array(out)


def trajectories_worker(args):
    threads = int(os.environ["OMP_NUM_THREADS"])
    if args.check_exact:
        m = args.check_exact
        small = noisy_circuit(m, args.depth)
        _, mean, err = trajectories_velt(m, small, args.trajectories)
        exact = exact_means(m, small)
        if np.any(np.abs(mean - exact) > 5 * np.maximum(err, 1e-3)):
            raise SystemExit(f"SELF-CHECK FAILED: {m}-qubit trajectory means {mean} against the exact {exact}")
    circuit = noisy_circuit(args.n, args.depth)
    t_velt, mean, err = trajectories_velt(args.n, circuit, args.trajectories)
    record = {
        "threads": threads,
        "trajectories": args.trajectories,
        "velt_s": t_velt,
        "means": {"velt": mean.tolist()},
        "stderr": err.tolist(),
        "channels": sum(op[0] == "dep" for op in circuit),
    }
    for name, run in (("aer", trajectories_aer), ("qsim", trajectories_qsim)):
        seconds, values = run(args.n, circuit, args.trajectories, threads)
        if values is None:
            continue
        # Each mean carries about the standard error of velt_core's own.
        if np.any(np.abs(values - mean) > 5 * math.sqrt(2) * np.maximum(err, 1e-3)):
            raise SystemExit(f"SELF-CHECK FAILED: {name}'s means {values} against velt_core's {mean} +- {err}")
        record[f"{name}_s"] = seconds
        record["means"][name] = values.tolist()
    print(json.dumps(record), flush=True)


def density_report(records, n, depth):
    print(f"\n{n}-qubit density matrix, depth {depth}: {records[0]['gates']} gates, {records[0]['channels']} channels")
    print("| threads | velt_core s | Aer density_matrix s | Aer ÷ velt_core | max abs difference |")
    print("|---|---|---|---|---|")
    for r in records:
        if "aer_s" in r:
            aer = f"{r['aer_s']:.2f} | {r['aer_s'] / r['velt_s']:.2f} | {r['aer_max_difference']:.1e}"
        else:
            aer = "not installed | | "
        print(f"| {r['threads']} | {r['velt_s']:.2f} | {aer} |")


def trajectories_report(records, n, depth):
    first = records[0]
    print(f"\n{n} qubits, depth {depth}, {first['channels']} channels, {first['trajectories']} trajectories")
    print("| threads | velt_core s | Aer statevector s | Aer ÷ velt_core | qsim s | qsim ÷ velt_core |")
    print("|---|---|---|---|---|---|")
    for r in records:
        row = f"| {r['threads']} | {r['velt_s']:.2f} |"
        for peer in ("aer", "qsim"):
            t = r.get(f"{peer}_s")
            row += " not installed | |" if t is None else f" {t:.2f} | {t / r['velt_s']:.2f} |"
        print(row)
    print("\nmeans (<Z_0>, <Z_n/2>, <Z_n-1>, <Z_0 Z_1>), velt_core's standard errors:")
    for r in records:
        for name, values in r["means"].items():
            print(f"  {r['threads']} thr {name}: " + ", ".join(f"{v:+.4f}" for v in values))
        print(f"  {r['threads']} thr stderr: " + ", ".join(f"{v:.4f}" for v in r["stderr"]))


# ---------------------------------------------------------------------- main


def run_threads(args, threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1", OMP_WAIT_POLICY="passive")
    cmd = [
        sys.executable,
        __file__,
        args.what,
        "--worker",
        "--n",
        str(args.n),
        "--depth",
        str(args.depth),
        "--trajectories",
        str(args.trajectories),
        "--check-exact",
        str(args.check_exact),
    ]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if out.returncode != 0:
        raise SystemExit(out.stdout + out.stderr)
    return [json.loads(line) for line in out.stdout.splitlines() if line.startswith("{")]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("what", choices=["kernels", "density", "trajectories"])
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--n", type=int, default=None)
    parser.add_argument("--depth", type=int, default=6)
    parser.add_argument("--trajectories", type=int, default=200)
    parser.add_argument("--check-exact", type=int, default=10)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.n is None:
        args.n = 20 if args.what == "trajectories" else 12
    sys.path.insert(0, str(HERE))
    if args.worker:
        {"kernels": kernels_worker, "density": density_worker, "trajectories": trajectories_worker}[args.what](args)
        return 0
    from common import cpu_model

    import velt_core as vc

    print(f"{args.what}: n = {args.n}, {cpu_model()}, kernel path {vc.kernel_isa()}", flush=True)
    records = []
    for t in (int(x) for x in args.threads.split(",")):
        got = run_threads(args, t)
        records += got
        for r in got:
            print(json.dumps(r), flush=True)
    if args.what == "kernels":
        kernels_report(records, args.n)
    elif args.what == "density":
        density_report(records, args.n, args.depth)
    else:
        trajectories_report(records, args.n, args.depth)
    return 0


if __name__ == "__main__":
    sys.exit(main())
