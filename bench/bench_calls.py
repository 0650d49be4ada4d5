"""Per-call cost of every velt_core kernel on small and medium registers.

    python bench/bench_calls.py [--n 4,8,12,16] [--threads 1,2] [--load idle,busy]
                                [--calls 2000] [--json PATH] [--crossover]

For each thread count and each load it starts one child process (the OpenMP
runtime reads its thread count once per process).  "busy" means that, while the
child measures, this script keeps one core busy with a process of its own (a
spinning interpreter) and stops it afterwards.  The child times, for each kernel
and each n:

- us/call: the median over batches of back-to-back calls of the mean time per
  call, in microseconds;
- max: the longest single call among individually timed calls, and how many of
  them took over 1 ms;
- against a bare call into the module (cpu_dispatch_tier) and, where they are
  installed, the same gates through PennyLane Lightning's and Qulacs' per-gate
  calls (prepared gate objects, their own state; not checked against the
  reference, since their arithmetic differs).

Every kernel checks its result against the bit-exact NumPy reference of the
tests before it is timed.  --crossover times the kernel families at 1 and 2
threads on the registers around the serial thresholds of the parallel frame
(src/parallel/parallel_for.hpp); it says something only for a build whose
thresholds are set to 0, which is how they were measured.
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
from common import cpu_model

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

H = np.array([[1, 1], [1, -1]], dtype=np.complex128) / np.sqrt(2)
RX = np.array([[np.cos(0.3), -1j * np.sin(0.3)], [-1j * np.sin(0.3), np.cos(0.3)]], dtype=np.complex128)
GAMMA = 0.1
DAMPING = [
    np.array([[1, 0], [0, np.sqrt(1 - GAMMA)]], dtype=np.complex128),
    np.array([[0, np.sqrt(GAMMA)], [0, 0]], dtype=np.complex128),
]


def _state(rng, n):
    psi = rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)
    return (psi / np.linalg.norm(psi)).astype(np.complex128)


def cases(n, rng):
    """(name, call, check): call() applies the kernel in place on its own array;
    check() runs one call on a fresh copy and compares it with the reference."""
    import reference as ref

    import velt_core as vc

    q, hi = n // 2, n - 1
    m = [complex(x) for x in RX.ravel()]  # Python complex entries: the common form
    u2 = np.ascontiguousarray(np.kron(RX, H))
    out = []

    def add(name, kernel, args, expect):
        psi = _state(rng, n) if name != "apply_kraus_1q" else None
        if psi is None:
            nq = n // 2
            rho = np.outer(_state(rng, nq), _state(rng, nq).conj())
            psi = rho
        first = psi.copy()
        expected = expect(first)

        def check():
            trial = first.copy()
            kernel(trial, *args)
            assert np.array_equal(trial.view(np.uint64), np.asarray(expected).view(np.uint64)), name

        out.append((name, lambda: kernel(psi, *args), check))

    add("apply_1q", vc.apply_1q, (q, *m), lambda s: ref.apply_1q(s, q, RX.ravel()))
    add("apply_cnot_fast", vc.apply_cnot_fast, (0, hi), lambda s: ref.apply_cnot(s, 0, hi))
    add(
        "apply_controlled_1q",
        vc.apply_controlled_1q,
        (0, hi, *m),
        lambda s: ref.apply_controlled_1q(s, 0, hi, RX.ravel()),
    )
    add("apply_swap", vc.apply_swap, (0, hi), lambda s: ref.apply_swap(s, 0, hi))
    add("apply_gate_fast k=1", vc.apply_gate_fast, ([q], RX), lambda s: ref.apply_gate_fast(s, [q], RX))
    add("apply_gate_fast k=2", vc.apply_gate_fast, ([0, q], u2), lambda s: ref.apply_gate_fast(s, [0, q], u2))
    add("apply_gate k=1", vc.apply_gate, ([q], RX), lambda s: ref.apply_gate(s, [q], RX))
    add("apply_gate k=1 c=1", vc.apply_gate, ([q], RX, [0]), lambda s: ref.apply_gate(s, [q], RX, [0]))
    nq = n // 2
    add(
        "apply_kraus_1q",
        vc.apply_kraus_1q,
        (nq, nq // 2, DAMPING),
        lambda r: ref.kraus_1q(r, nq, nq // 2, DAMPING).reshape(r.shape),
    )
    return out


def peer_cases(n):
    """The same gates through the peers' per-gate calls, where installed: the
    shared adapters of bench/peers.py when they offer per_gate_calls, otherwise
    the small set below (pip install pennylane-lightning qulacs)."""
    try:
        import peers

        return [(f"{name} [{peer}]", call) for peer, name, call in peers.per_gate_calls(n)]
    except (ImportError, AttributeError):
        pass
    return _lightning(n) + _qulacs(n)


def _lightning(n):
    try:
        from pennylane_lightning.lightning_qubit_ops import StateVectorC128
    except ImportError:
        return []
    sv = StateVectorC128(n)
    q, hi = n // 2, n - 1
    u1, u2 = RX.ravel().copy(), np.kron(RX, H).ravel().copy()
    return [
        ("apply_1q [lightning RX]", lambda: sv.RX([q], False, [0.3])),
        ("apply_cnot_fast [lightning CNOT]", lambda: sv.CNOT([0, hi], False, [])),
        ("apply_controlled_1q [lightning CRX]", lambda: sv.CRX([0, hi], False, [0.3])),
        ("apply_swap [lightning SWAP]", lambda: sv.SWAP([0, hi], False, [])),
        ("apply_gate_fast k=1 [lightning matrix]", lambda: sv.applyMatrix(u1, [q], False)),
        ("apply_gate_fast k=2 [lightning matrix]", lambda: sv.applyMatrix(u2, [0, q], False)),
    ]


def _qulacs(n):
    try:
        from qulacs import QuantumState, gate
    except ImportError:
        return []
    state = QuantumState(n)
    q, hi = n // 2, n - 1
    gates = [
        ("apply_1q [qulacs RX]", gate.RX(q, 0.3)),
        ("apply_cnot_fast [qulacs CNOT]", gate.CNOT(0, hi)),
        ("apply_swap [qulacs SWAP]", gate.SWAP(0, hi)),
        ("apply_gate_fast k=1 [qulacs dense]", gate.DenseMatrix([q], RX)),
        ("apply_gate_fast k=2 [qulacs dense]", gate.DenseMatrix([0, q], np.kron(RX, H))),
    ]
    return [(name, lambda g=g: g.update_quantum_state(state)) for name, g in gates]


def time_call(fn, calls):
    """(median us/call over batches, max single call in us, calls over 1 ms)."""
    for _ in range(20):
        fn()
    per_batch = []
    batch = 50
    clock = time.perf_counter_ns
    for _ in range(max(1, calls // batch)):
        t0 = clock()
        for _ in range(batch):
            fn()
        per_batch.append((clock() - t0) / batch / 1e3)
    single = []
    for _ in range(min(calls, 1000)):
        t0 = clock()
        fn()
        single.append((clock() - t0) / 1e3)
    return statistics.median(per_batch), max(single), sum(t > 1000 for t in single)


def child(args):
    import velt_core as vc

    rng = np.random.default_rng(7)
    rows = []
    for n in args.n:
        budget = args.calls if n < 14 else max(200, args.calls // 8)
        bare = time_call(vc.cpu_dispatch_tier, budget)
        rows.append(
            {"n": n, "kernel": "bare call (cpu_dispatch_tier)", "us": bare[0], "max_us": bare[1], "over_1ms": bare[2]}
        )
        for name, call, check in cases(n, rng):
            check()
            us, worst, slow = time_call(call, budget)
            rows.append({"n": n, "kernel": name, "us": us, "max_us": worst, "over_1ms": slow})
        for name, call in peer_cases(n):
            us, worst, slow = time_call(call, budget)
            rows.append({"n": n, "kernel": name, "us": us, "max_us": worst, "over_1ms": slow})
    print(json.dumps(rows))


def measure(threads, load, args):
    # OpenBLAS on one thread: its workers spin for a while after every BLAS
    # call (the states' norms here), and on a two-core machine a spinning
    # worker took a core from the timed calls for their first 0.1 s.
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    cmd = [sys.executable, __file__, "--child", "--n", ",".join(map(str, args.n)), "--calls", str(args.calls)]
    spinner = None
    if load == "busy":
        spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
        time.sleep(0.5)
    try:
        out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=False)
    finally:
        if spinner is not None:
            spinner.kill()
            spinner.wait()
    if out.returncode != 0:
        sys.exit(out.stderr)
    return json.loads(out.stdout)


def _ints(text):
    return [int(x) for x in text.split(",")]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=_ints, default=[4, 8, 12, 16])
    parser.add_argument("--threads", type=_ints, default=[1, 2])
    parser.add_argument("--load", default="idle,busy")
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--json", type=Path)
    parser.add_argument("--crossover", action="store_true")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return
    if args.crossover:
        args.n = list(range(10, 19))
        args.load = "idle"
    results = {}
    for load in args.load.split(","):
        for threads in args.threads:
            results[(load, threads)] = measure(threads, load, args)

    cpu = cpu_model()
    print(f"# {cpu}, {os.cpu_count()} CPUs; Python {platform.python_version()}, NumPy {np.__version__}")
    columns = [(load, t) for load in args.load.split(",") for t in args.threads]
    header = "  ".join(f"{load}/{t}t".rjust(10) for load, t in columns)
    for n in args.n:
        print(f"\nn = {n}: us per call (median)              {header}   worst single call (us) per column")
        names = [r["kernel"] for r in results[columns[0]] if r["n"] == n]
        for name in names:
            cells, worst = [], []
            for col in columns:
                row = next(r for r in results[col] if r["n"] == n and r["kernel"] == name)
                cells.append(f"{row['us']:10.3f}")
                worst.append(f"{row['max_us']:.0f}" + (f"({row['over_1ms']}>1ms)" if row["over_1ms"] else ""))
            print(f"  {name:40s}{'  '.join(cells)}   {' '.join(worst)}")
    if args.json:
        flat = [dict(r, load=load, threads=t) for (load, t), rows in results.items() for r in rows]
        args.json.write_text(json.dumps({"cpu": cpu, "rows": flat}, indent=1))


if __name__ == "__main__":
    main()
