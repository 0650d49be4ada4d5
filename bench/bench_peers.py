"""Per-gate comparison of velt_core with other simulators (optional extra).

    python bench/bench_peers.py [--sizes 16,20,24] [--threads 1,2] [--budget 0.2]

For each size, thread count and gate family, every installed peer
(bench/peers.py: pip install '.[peers]', which brings Qulacs, Qiskit Aer,
PennyLane Lightning and qibojit) is first checked: one gate
from the same random state must give velt_core's result (to rounding).  Then
velt_core and the peer apply the gate over and over, in alternating blocks
of calls (paired_times), each to a state it keeps itself, and the table gives the peer's time / velt_core's time
as the ratio of the medians, with the ratio of the fastest calls in brackets
(above 1: velt_core is faster; the fastest calls are the least disturbed by
other jobs on a shared machine), and velt_core's median time per call.
Thread counts run in separate processes, each with OMP_NUM_THREADS and
NUMBA_NUM_THREADS (qibojit's kernels) set to the count and OpenBLAS on one thread.
velt_core runs on the path it chooses (VELT_ISA caps it).  The table goes to
bench/results/peers.md, the peers' versions to its first line.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent


def families(n, rng):
    m = np.linalg.qr(rng.standard_normal((2, 2)) + 1j * rng.standard_normal((2, 2)))[0]
    u4 = np.linalg.qr(rng.standard_normal((4, 4)) + 1j * rng.standard_normal((4, 4)))[0]
    u8 = np.linalg.qr(rng.standard_normal((8, 8)) + 1j * rng.standard_normal((8, 8)))[0]
    h = n // 2
    return [
        ("1q q=0", "one", (0, m)),
        (f"1q q={h}", "one", (h, m)),
        (f"cnot {h - 1},{h}", "cnot", (h - 1, h)),
        (f"cnot 0,{n - 1}", "cnot", (0, n - 1)),
        (f"swap {h - 1},{h}", "swap", (h - 1, h)),
        (f"controlled {h - 1},{h}", "controlled", (h - 1, h, m)),
        (f"dense k=2 {h},{h + 1}", "dense", ([h, h + 1], u4)),
        (f"dense k=3 {h - 1}..{h + 1}", "dense", ([h - 1, h, h + 1], u8)),
    ]


def versions():
    """The installed peers' distributions and versions, as one line."""
    from importlib import metadata

    out = []
    for dist in ("qulacs", "qiskit-aer", "pennylane-lightning", "qibojit", "numba"):
        try:
            out.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            continue
    return "peers: " + ", ".join(out) if out else "peers: none installed"


def paired_times(fn_a, fn_b, budget, block=0.02, min_reps=3):
    """Wall times of fn_a() and fn_b(), called in alternating blocks of about
    `block` seconds each (after one warm-up call each), so that a change in
    the shared machine's load touches both.  Blocks rather than single calls:
    an OpenMP runtime's threads spin for a while after each parallel region,
    and a block keeps one simulator's spinning threads from taking the cores
    from the other's next call; the first call of each block is dropped."""
    fn_a()
    fn_b()
    times_a, times_b = [], []
    start = time.perf_counter()
    while len(times_a) < min_reps or time.perf_counter() - start < budget:
        for fn, times in ((fn_a, times_a), (fn_b, times_b)):
            block_start = time.perf_counter()
            fn()
            reps = 0
            while reps < 1 or time.perf_counter() - block_start < block:
                t0 = time.perf_counter()
                fn()
                times.append(time.perf_counter() - t0)
                reps += 1
    return times_a, times_b


def worker(args):
    sys.path.insert(0, str(HERE))
    import peers

    import velt_core

    threads = int(os.environ["OMP_NUM_THREADS"])
    rng = np.random.default_rng(7)
    for n in args.sizes:
        psi = rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)
        psi /= np.linalg.norm(psi)
        for label, family, params in families(n, rng):
            ref = peers.Velt(psi)
            getattr(ref, family)(*params)
            expected = ref.vector()
            del ref
            # velt_core is timed alternately with each peer in turn, on a state
            # of its own; each peer's ratio comes from its own pairing.
            velt = peers.Velt(psi)
            velt_call = getattr(velt, family)
            velt_all, ratios = [], {}
            for sim in peers.available():
                check = sim(psi)
                try:
                    getattr(check, family)(*params)
                except NotImplementedError:
                    continue
                if not np.allclose(check.vector(), expected, rtol=1e-9, atol=1e-12):
                    raise SystemExit(f"{sim.name} disagrees with velt_core on {label}, n={n}")
                del check
                s = sim(psi)
                call = getattr(s, family)
                ours, theirs = paired_times(lambda: velt_call(*params), lambda: call(*params), args.budget)
                del s
                velt_all += ours
                ratios[sim.name] = {
                    "median": statistics.median(theirs) / statistics.median(ours),
                    "min": min(theirs) / min(ours),
                    "seconds": statistics.median(theirs),
                }
            record = {
                "n": n,
                "threads": threads,
                "gate": label,
                "isa": velt_core.kernel_isa(),
                "velt_seconds": statistics.median(velt_all) if velt_all else None,
                "peers": ratios,
            }
            print(json.dumps(record), flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="16,20,24")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--budget", type=float, default=0.2)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    args.sizes = [int(s) for s in args.sizes.split(",")]
    if args.worker:
        worker(args)
        return 0
    records = []
    for t in sorted({int(x) for x in args.threads.split(",")}):
        # OpenBLAS on one thread: no peer's gate uses it, and its workers spin
        # for a while after every BLAS call of the set-up (random unitaries),
        # taking a core from the timed calls.
        env = dict(os.environ, OMP_NUM_THREADS=str(t), NUMBA_NUM_THREADS=str(t), OPENBLAS_NUM_THREADS="1")
        cmd = [sys.executable, __file__, "--worker", "--sizes", ",".join(map(str, args.sizes))]
        cmd += ["--budget", str(args.budget)]
        out = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if out.returncode != 0:
            raise SystemExit(out.stderr)
        records += [json.loads(line) for line in out.stdout.splitlines()]
    peers_seen = sorted({p for r in records for p in r["peers"]})
    head = "| n | threads | gate | velt_core us | " + " | ".join(f"{p} ÷ velt_core" for p in peers_seen) + " |"
    lines = [head, "|" + "|".join("---" for _ in head.split("|")[1:-1]) + "|"]
    for r in records:
        cells = []
        for p in peers_seen:
            got = r["peers"].get(p)
            cells.append(f"{got['median']:.2f} ({got['min']:.2f})" if got else "n/a")
        base = f"{r['velt_seconds'] * 1e6:.1f}" if r["velt_seconds"] else ""
        lines.append(f"| {r['n']} | {r['threads']} | {r['gate']} | {base} | " + " | ".join(cells) + " |")
    table = "\n".join(lines)
    found = versions()
    print(
        f"velt_core path: {records[0]['isa'] if records else '?'}; ratio of medians (ratio of fastest calls);"
        " above 1: velt_core is faster"
    )
    print(found)
    print(table)
    (HERE / "results").mkdir(exist_ok=True)
    (HERE / "results" / "peers.md").write_text(f"{found}\n\n{table}\n")
    (HERE / "results" / "peers.json").write_text(json.dumps(records, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
