"""Benchmark of every velt_core kernel.

    python bench/bench_kernels.py [--min-n 4] [--max-n 24] [--step 2] [--big]
                                  [--threads 1,2] [--only apply_1q,...]
                                  [--isa sse2,avx2,avx512f] [--dtype complex64]

For each qubit count n, each kernel and each qubit choice (low, middle, high),
each thread count and each instruction-set path (VELT_ISA; by default every
path this CPU runs, side by side in one run), it measures the median time per
call and compares it with two yardsticks measured in the same process on the
same array:

- stream: the fastest in-place pass this machine runs, reading and writing
  every double once (bench/stream.c, compiled for this very CPU with all its
  vector instructions, for the yardstick only; each thread walking its range
  as one stream or as two side by side, whichever is faster on this array,
  which the results record per case; ratio 1.00 means the kernel runs
  at the memory-bandwidth limit);
- numpy: the same gate applied the way a Python simulator without native
  kernels would (tensordot on the state reshaped into one axis per qubit).

With each case goes its compute floor ("floor" columns): the same call on a
2^14-amplitude state (256 KiB, held in a core's cache; the same qubit choice
scaled down), timed in the 1-thread worker, per amplitude, times the state
size, divided by the thread count, over the streaming pass.  It is the time
the kernel's own arithmetic takes with memory out of the way, on ideally
shared work: a kernel whose floor is above a target cannot reach it by moving
data better.  (Timed in a worker with more threads, a call on 2^14 amplitudes
may already share its loop out, and dividing again would halve its floor; so
floors need the 1-thread worker, which --threads includes by default.)

The worker processes run with OMP_WAIT_POLICY=passive unless it is set:
otherwise the yardstick's OpenMP threads keep spinning after each pass, on
the cores the kernels' own workers need.

Every case checks itself first: the kernel's result must match the NumPy
baseline's.  Thread counts and paths run in separate processes, since the
OpenMP runtime reads its thread count once and the module its path once; the
NumPy yardstick is timed in the first path's processes only.  Results go to bench/results/latest.json and, when
matplotlib is installed, a plot to bench/results/latest.png.  The density-matrix
kernel runs on an n//2-qubit matrix, which has as many elements as an n-qubit
state.

--dtype complex64 times velt_core.single on complex64 states instead, against
the float passes of bench/stream.c over the same bytes (half those of a
complex128 state of the same n); each case then checks itself against the
NumPy baseline run in complex128 on the same (complex64) start, to 1e-5.
--out names the results files (bench/results/<out>.json, .md, .png).
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
FLOOR_N = 14  # qubits of the in-cache state that gives each case's compute floor
ORDER = [
    "apply_1q",
    "apply_cnot_fast",
    "apply_controlled_1q",
    "apply_swap",
    "apply_gate_fast",
    "apply_gate",
    "apply_kraus_1q",
    "apply_diagonal",
    "apply_pauli_rotation",
    "apply_kraus",
    "apply_unitary_rho",
    "expectation_paulis",
    "inner_product",
]
# Kernels on a density matrix of n//2 qubits (as many elements as an n-qubit state).
DENSITY = ("apply_kraus_1q", "apply_kraus", "apply_unitary_rho")


def unitary(rng, dim):
    z = rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def cases(n, rng, dtype="complex128"):
    """(kernel, label, call(arr), baseline(arr), complex multiply-adds per call);
    the calls go to velt_core.single for complex64 states."""
    import baseline as base

    import velt_core

    vc = velt_core.single if dtype == "complex64" else velt_core

    out = []
    u2 = unitary(rng, 2)
    m = tuple(u2.reshape(4))
    x = np.array([[0, 1], [1, 0]], dtype=complex)
    swap = np.eye(4, dtype=complex)[[0, 2, 1, 3]]
    size = 1 << n

    for label, q in (("low", 0), ("mid", n // 2), ("high", n - 1)):
        out.append(
            (
                "apply_1q",
                f"{label} q={q}",
                lambda a, q=q: vc.apply_1q(a, q, *m),
                lambda a, q=q: base.apply_dense(a, n, [q], u2),
                2 * size,
            )
        )
    if n >= 2:
        pairs = [("low", 0, 1), ("mid", n // 2 - 1, n // 2), ("high", n - 2, n - 1), ("spread", 0, n - 1)]
        for label, a, b in pairs:
            q = f"{label} {a},{b}"
            out += [
                (
                    "apply_cnot_fast",
                    q,
                    lambda s, a=a, b=b: vc.apply_cnot_fast(s, a, b),
                    lambda s, a=a, b=b: base.apply_gate(s, n, [b], x, [a]),
                    None,
                ),
                (
                    "apply_controlled_1q",
                    q,
                    lambda s, a=a, b=b: vc.apply_controlled_1q(s, a, b, *m),
                    lambda s, a=a, b=b: base.apply_gate(s, n, [b], u2, [a]),
                    size,
                ),
                (
                    "apply_swap",
                    q,
                    lambda s, a=a, b=b: vc.apply_swap(s, a, b),
                    lambda s, a=a, b=b: base.apply_dense(s, n, [a, b], swap),
                    None,
                ),
            ]
    for k in range(1, 5):
        if k > n:
            break
        u = unitary(rng, 1 << k)
        for label, targets in (("low", list(range(k))), ("high", list(range(n - k, n)))):
            out.append(
                (
                    "apply_gate_fast",
                    f"k={k} {label}",
                    lambda s, t=targets, u=u: vc.apply_gate_fast(s, t, u),
                    lambda s, t=targets, u=u: base.apply_dense(s, n, t, u),
                    size << k,
                )
            )
    for k in range(1, 6):
        for c in (0, 1):
            if k + c > n:
                continue
            u = unitary(rng, 1 << k)
            for label, qubits in (("low", list(range(k + c))), ("high", list(range(n - k - c, n)))):
                t, ctl = qubits[:k], qubits[k:]
                out.append(
                    (
                        "apply_gate",
                        f"k={k} c={c} {label}",
                        lambda s, t=t, ctl=ctl, u=u: vc.apply_gate(s, t, u, ctl),
                        lambda s, t=t, ctl=ctl, u=u: base.apply_gate(s, n, t, u, ctl),
                        (size << k) >> c,
                    )
                )
    nq = n // 2
    if nq >= 1:
        g = 0.1
        ops = [
            np.array([[1, 0], [0, np.sqrt(1 - g)]], dtype=complex),
            np.array([[0, np.sqrt(g)], [0, 0]], dtype=complex),
        ]
        for label, q in (("low", 0), ("high", nq - 1)):
            out.append(
                (
                    "apply_kraus_1q",
                    f"{nq}q {label} q={q}",
                    lambda r, q=q: vc.apply_kraus_1q(r, nq, q, ops),
                    lambda r, q=q: base.apply_kraus(r, nq, q, ops),
                    None,
                )
            )

    # Diagonal gates and Pauli rotations, targets low (from qubit 0), in the
    # middle and high (up to qubit n - 1).
    def spots(k):
        return (
            ("low", list(range(k))),
            ("mid", list(range(n // 2 - k // 2, n // 2 - k // 2 + k))),
            ("high", list(range(n - k, n))),
        )

    for k in range(1, 11):
        if k > n:
            break
        d = np.exp(1j * rng.uniform(0, 2 * np.pi, 1 << k))
        for label, targets in spots(k):
            out.append(
                (
                    "apply_diagonal",
                    f"k={k} {label}",
                    lambda s, t=targets, d=d: vc.apply_diagonal(s, t, d),
                    lambda s, t=targets, d=d: base.apply_diagonal(s, n, t, d),
                    size,
                )
            )
    for paulis in ("Z", "ZZ", "ZZZZ", "X", "XX", "XY", "XZ", "XXYY"):
        if len(paulis) > n:
            break
        for label, qubits in spots(len(paulis)):
            out.append(
                (
                    "apply_pauli_rotation",
                    f"{paulis} {label}",
                    lambda s, p=paulis, q=qubits: vc.apply_pauli_rotation(s, p, q, 0.7),
                    lambda s, p=paulis, q=qubits: base.apply_pauli_rotation(s, n, p, q, 0.7),
                    size,
                )
            )

    # Two-qubit density kernels: a random unitary conjugation and a random
    # channel of four operators (the blocks of a 16x4 isometry).
    if nq >= 2:
        u4 = unitary(rng, 4)
        iso = unitary(rng, 16)[:, :4]
        kraus = [np.ascontiguousarray(iso[4 * i : 4 * i + 4]) for i in range(4)]
        for label, qs in (("low", [0, 1]), ("high", [nq - 2, nq - 1])):
            out += [
                (
                    "apply_unitary_rho",
                    f"{nq}q {label} {qs[0]},{qs[1]}",
                    lambda r, qs=qs: vc.apply_unitary_rho(r, nq, qs, u4),
                    lambda r, qs=qs: base.conjugate(r, nq, qs, u4),
                    None,
                ),
                (
                    "apply_kraus",
                    f"{nq}q {label} {qs[0]},{qs[1]}",
                    lambda r, qs=qs: vc.apply_kraus(r, nq, qs, kraus),
                    lambda r, qs=qs: base.apply_channel(r, nq, qs, kraus),
                    None,
                ),
            ]

    # Read-outs (they only read the state and return values, which are
    # checked): a Pauli string's expectation and the overlap with a second
    # state, the first reversed.
    pauli = {"X": [[0, 1], [1, 0]], "Y": [[0, -1j], [1j, 0]], "Z": [[1, 0], [0, -1]]}

    def expect(s, paulis, qubits):
        t = s.copy()
        for p, q in zip(paulis, qubits, strict=True):
            base.apply_dense(t, n, [q], np.array(pauli[p], dtype=complex))
        return np.vdot(s, t).real

    for paulis in ("ZZ", "XY"):
        if len(paulis) > n:
            break
        for label, qubits in spots(len(paulis)):
            out.append(
                (
                    "expectation_paulis",
                    f"{paulis} {label}",
                    lambda s, p=paulis, q=qubits: vc.expectation_paulis(s, [(p, q)])[0],
                    lambda s, p=paulis, q=qubits: expect(s, p, q),
                    None,
                )
            )
    out.append(
        (
            "inner_product",
            "reversed",
            lambda s: vc.inner_product(s, _reversed(s)),
            lambda s: np.vdot(s, s[::-1]),
            None,
        )
    )
    return out


_REVERSED = {}


def _reversed(s):
    """The state reversed, made once per array and kept, so that the timed
    calls read two arrays without copying one."""
    key = (s.ctypes.data, s.size, s.dtype.str)
    if key not in _REVERSED:
        _REVERSED.clear()
        _REVERSED[key] = s[::-1].copy()
    return _REVERSED[key]


def runnable_paths():
    """The instruction-set paths this CPU runs, narrowest first."""
    out = []
    for isa in ("sse2", "avx2", "avx512f"):
        env = dict(os.environ, VELT_ISA=isa)
        if subprocess.run([sys.executable, "-c", "import velt_core"], env=env, capture_output=True).returncode == 0:
            out.append(isa)
    return out


def worker(args):
    """Runs in a child process whose OMP_NUM_THREADS is set: one JSON line per result."""
    sys.path.insert(0, str(HERE))
    from common import median_time, paired_medians, stream_choice, stream_pass

    import velt_core as vc

    def emit(record):
        print(json.dumps(record), flush=True)

    threads = int(os.environ["OMP_NUM_THREADS"])
    isa = vc.kernel_isa()
    emit(
        {
            "type": "overhead",
            "isa": isa,
            "threads": threads,
            "seconds": median_time(vc.cpu_dispatch_tier, budget=0.1, max_reps=100000),
        }
    )
    only = set(args.only.split(",")) if args.only else None
    rng = np.random.default_rng(2026)
    dtype = np.dtype(args.dtype)
    close = {"rtol": 1e-9, "atol": 1e-12} if dtype == np.complex128 else {"rtol": 1e-5, "atol": 1e-6}
    for n in args.sizes:
        state = rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)
        state /= np.linalg.norm(state)
        state = state.astype(dtype)
        here = list(cases(n, rng, args.dtype))
        # The same cases on a state that stays in cache, position by position;
        # floors are taken above FLOOR_N qubits only, where the two lists
        # hold the same cases (below it some families stop early).
        if n > FLOOR_N:
            small = list(cases(FLOOR_N, np.random.default_rng(2026), args.dtype))
        else:
            small = [None] * len(here)
        for (kernel, label, call, baseline, madds), floor_case in zip(here, small, strict=True):
            if only and kernel not in only:
                continue
            a = state.copy()
            _REVERSED.clear()  # a new array may reuse the last one's address
            if kernel in DENSITY:  # a density matrix: |psi><psi| restricted to n//2 qubits
                d = 1 << (n // 2)
                a = np.outer(state[:d], state[:d].conj()).reshape(-1)
                a /= np.trace(a.reshape(d, d))
            b = a.astype(np.complex128)  # the baseline in double precision
            got, want = call(a), baseline(b)  # values: the read-outs'
            if not np.allclose(a, b, **close) or (got is not None and not np.allclose(got, want, **close)):
                emit(
                    {
                        "type": "error",
                        "kernel": kernel,
                        "case": label,
                        "n": n,
                        "message": "kernel and NumPy baseline disagree",
                    }
                )
                sys.exit(1)
            # Kernel and yardstick alternate on the same array, so that both
            # see the same load from whatever else runs on the machine.
            t_kernel, t_stream = paired_medians(
                lambda: call(a), lambda: stream_pass(a, parallel=threads > 1), budget=2 * args.budget
            )
            t_floor = None
            if n > FLOOR_N and threads == 1:
                c = floor_case[2]
                f = (state[: 1 << FLOOR_N] if kernel not in DENSITY else a[: 1 << FLOOR_N]).copy()
                t_floor = median_time(lambda: c(f), budget=args.budget / 4) * (1 << (n - FLOOR_N))
            t_numpy = None
            if args.numpy:
                t_numpy = median_time(lambda: baseline(b), budget=args.budget, min_reps=1, warm_up=n < 20)
            emit(
                {
                    "type": "case",
                    "kernel": kernel,
                    "case": label,
                    "n": n,
                    "isa": isa,
                    "dtype": args.dtype,
                    "threads": threads,
                    "kernel_s": t_kernel,
                    "stream_s": t_stream,
                    "stream_pass": stream_choice(a, parallel=threads > 1),
                    "numpy_s": t_numpy,
                    "floor_s": t_floor,
                    "madds": madds,
                }
            )


def run_threads(args, threads, isa, numpy):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads), VELT_ISA=isa)
    # The yardstick's OpenMP team would spin for a while after every pass and
    # hold the core that the kernel's second worker needs next (measured: a
    # 2-thread apply_1q at n = 24 took 12.4 ms beside it, 8.8 ms alone); its
    # threads sleep at once instead, which costs the pass a wake-up.
    env.setdefault("OMP_WAIT_POLICY", "passive")
    cmd = [
        sys.executable,
        __file__,
        "--worker",
        "--budget",
        str(args.budget),
        "--sizes",
        ",".join(map(str, args.sizes)),
    ]
    if args.only:
        cmd += ["--only", args.only]
    cmd += ["--dtype", args.dtype]
    if numpy:
        cmd += ["--numpy"]
    records = []
    with subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, text=True) as proc:
        for line in proc.stdout:
            rec = json.loads(line)
            records.append(rec)
            if rec["type"] == "case":
                versus = f"{rec['numpy_s'] / rec['kernel_s']:>7.1f}x faster than numpy" if rec["numpy_s"] else ""
                print(
                    f"  [{isa} {threads} thr] n={rec['n']:>2} {rec['kernel']:<20} {rec['case']:<16} "
                    f"{rec['kernel_s'] * 1e6:>11.1f} us  {rec['kernel_s'] / rec['stream_s']:>6.2f}x stream  "
                    f"{floor(rec):>8} floor  {versus}",
                    flush=True,
                )
            elif rec["type"] == "error":
                print(f"SELF-CHECK FAILED: {rec}", flush=True)
    if proc.returncode != 0:
        raise SystemExit(f"benchmark worker ({isa}, {threads} threads) failed ({proc.returncode})")
    return records


def floor(rec):
    """The compute floor over the streaming pass, as text ('' when not measured)."""
    return f"{rec['floor_s'] / rec['stream_s']:.2f}x" if rec.get("floor_s") else ""


def table(records, sizes, threads, paths):
    """Markdown table of the cases at the given sizes: one row per case and n;
    per thread count, the time per call on the widest path and the ratio to the
    streaming pass and the compute floor (see the module's docstring) on every
    path, then the speed-up over NumPy."""
    by = {}
    for r in records:
        if r["type"] == "case" and r["n"] in sizes:
            by[(r["kernel"], r["case"], r["n"], r["threads"], r["isa"])] = r
    keys = sorted({k[:3] for k in by}, key=lambda x: (ORDER.index(x[0]), x[2], x[1]))
    widest = paths[-1]
    head = f"| {'kernel':<20} | {'case':<16} | {'n':>2} |"
    for t in threads:
        head += (
            f" {t} thr us ({widest}) |"
            + "".join(f" {t} thr ÷stream {p} |" for p in paths)
            + "".join(f" {t} thr floor {p} |" for p in paths)
            + f" {t} thr ×numpy |"
        )
    cells = head.split("|")[1:-1]
    lines = [head, "|" + "|".join("-" * len(c) for c in cells) + "|"]
    for kernel, case, n in keys:
        row = [f" {kernel:<20} ", f" {case:<16} ", f" {n:>2} "]
        for t in threads:
            top = by.get((kernel, case, n, t, widest))
            row.append(f" {top['kernel_s'] * 1e6:.1f} " if top else " ")
            for p in paths:
                r = by.get((kernel, case, n, t, p))
                row.append(f" {r['kernel_s'] / r['stream_s']:.2f} " if r else " ")
            for p in paths:
                r = by.get((kernel, case, n, t, p))
                row.append(f" {floor(r)[:-1]} " if r and floor(r) else " ")
            first = by.get((kernel, case, n, t, paths[0]))
            row.append(f" {first['numpy_s'] / top['kernel_s']:.1f} " if first and top and first["numpy_s"] else " ")
        lines.append("|" + "|".join(c.rjust(len(h)) for c, h in zip(row, cells, strict=True)) + "|")
    return "\n".join(lines)


def plot(records, threads, isa, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot (pip install matplotlib)")
        return
    fig, ax = plt.subplots(figsize=(9, 6))
    cases_ = [r for r in records if r["type"] == "case" and r["threads"] == threads and r["isa"] == isa]
    for kernel in ORDER:
        # one line per kernel: its slowest case at each n
        pts = {}
        for r in cases_:
            if r["kernel"] == kernel:
                pts[r["n"]] = max(pts.get(r["n"], 0), r["kernel_s"])
        if pts:
            ns = sorted(pts)
            ax.plot(ns, [pts[n] * 1e6 for n in ns], marker="o", label=f"{kernel} (slowest case)")
    stream = {r["n"]: r["stream_s"] for r in cases_}
    ns = sorted(stream)
    ax.plot(ns, [stream[n] * 1e6 for n in ns], "k--", linewidth=2, label="streaming pass (bandwidth limit)")
    ax.set_yscale("log")
    ax.set_xlabel("qubits n (density matrix: n//2 qubits)")
    ax.set_ylabel("time per call (us)")
    ax.set_title(f"velt_core kernels, {isa}, {threads} thread(s)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot: {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(description="velt_core kernel benchmark")
    parser.add_argument("--min-n", type=int, default=4)
    parser.add_argument("--max-n", type=int, default=24)
    parser.add_argument("--step", type=int, default=2)
    parser.add_argument("--big", action="store_true", help="also run n = 26 (1 GiB states; takes minutes)")
    parser.add_argument("--threads", default=f"1,{os.cpu_count()}", help="comma-separated thread counts")
    parser.add_argument("--only", default="", help="comma-separated kernels to run")
    parser.add_argument("--budget", type=float, default=0.2, help="seconds of timing per case and yardstick")
    parser.add_argument("--no-numpy", action="store_true", help="skip timing the NumPy yardstick (still checked)")
    parser.add_argument("--isa", default="", help="comma-separated paths (default: every path this CPU runs)")
    parser.add_argument("--dtype", default="complex128", choices=["complex128", "complex64"], help="state type")
    parser.add_argument("--out", default="latest", help="name of the results files in bench/results")
    parser.add_argument("--sizes", default="", help=argparse.SUPPRESS)
    parser.add_argument("--numpy", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.sizes:
        args.sizes = [int(s) for s in args.sizes.split(",")]
    else:
        args.sizes = list(range(args.min_n, args.max_n + 1, args.step))
        if args.big and 26 not in args.sizes:
            args.sizes.append(26)
    if args.worker:
        worker(args)
        return 0

    threads = sorted({int(t) for t in args.threads.split(",")})
    paths = args.isa.split(",") if args.isa else runnable_paths()
    print(
        f"velt_core benchmark: n = {args.sizes}, threads = {threads}, paths = {paths}, "
        f"{platform.processor() or platform.machine()}"
    )
    started = time.time()
    records = []
    for i, isa in enumerate(paths):
        for t in threads:
            records += run_threads(args, t, isa, numpy=i == 0 and not args.no_numpy)
    overhead = {(r["isa"], r["threads"]): r["seconds"] for r in records if r["type"] == "overhead"}
    # Every thread count's floor: the 1-thread floor shared out ideally.
    single = {
        (r["kernel"], r["case"], r["n"], r["isa"]): r["floor_s"]
        for r in records
        if r["type"] == "case" and r["threads"] == 1
    }
    for r in records:
        if r["type"] == "case" and r["threads"] > 1 and single.get((r["kernel"], r["case"], r["n"], r["isa"])):
            r["floor_s"] = single[(r["kernel"], r["case"], r["n"], r["isa"])] / r["threads"]
    print()
    print(table(records, args.sizes, threads, paths))
    print()
    # The summary kept in the README: the three largest sizes run.
    summary = table(records, sorted(args.sizes)[-3:], threads, paths)
    for (isa, t), s in sorted(overhead.items()):
        print(f"bare call into the module (cpu_dispatch_tier), {isa}, {t} thread(s): {s * 1e9:.0f} ns")
    chosen = Counter(r.get("stream_pass") for r in records if r["type"] == "case")
    print("yardstick passes (stream.c), cases per pass:", ", ".join(f"{k}: {v}" for k, v in sorted(chosen.items())))
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / f"{args.out}.md").write_text(summary + "\n")
    out = RESULTS / f"{args.out}.json"
    out.write_text(
        json.dumps(
            {
                "sizes": args.sizes,
                "threads": threads,
                "dtype": args.dtype,
                "machine": platform.machine(),
                "cpus": os.cpu_count(),
                "records": records,
            },
            indent=1,
        )
    )
    print(f"results: {out} ({time.time() - started:.0f} s)")
    plot(records, max(threads), paths[-1], RESULTS / f"{args.out}.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
