"""Per-gate comparison of velt_core with other simulators (optional extra).

    python bench/bench_peers.py [--sizes 16,20,24] [--threads 1,2] [--budget 0.2]

For each size, thread count and gate family, every installed peer
(bench/peers.py: pip install '.[peers]', which brings Qulacs, Qiskit Aer,
PennyLane Lightning and qibojit) is first checked: one gate
from the same random state must give velt_core's result (to rounding).  Then
each simulator applies the gate over and over to a state it keeps itself,
and the median time per call is reported, with peer time / velt_core time
(above 1: velt_core is faster).  Thread counts run in separate processes, each with OMP_NUM_THREADS and
NUMBA_NUM_THREADS (qibojit's kernels) set to the count.
velt_core runs on the path it chooses (VELT_ISA caps it).  The table goes to
bench/results/peers.md, the peers' versions to its first line.
"""

import argparse
import json
import os
import subprocess
import sys
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


def worker(args):
    sys.path.insert(0, str(HERE))
    import peers
    from common import median_time

    import velt_core

    threads = int(os.environ["OMP_NUM_THREADS"])
    rng = np.random.default_rng(7)
    for n in args.sizes:
        psi = rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)
        psi /= np.linalg.norm(psi)
        sims = [peers.Velt] + peers.available()
        for label, family, params in families(n, rng):
            ref = peers.Velt(psi)
            getattr(ref, family)(*params)
            expected = ref.vector()
            times = {}
            for sim in sims:
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
                times[sim.name] = median_time(lambda: call(*params), budget=args.budget)
                del s
            print(
                json.dumps(
                    {"n": n, "threads": threads, "gate": label, "isa": velt_core.kernel_isa(), "seconds": times}
                ),
                flush=True,
            )


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
        env = dict(os.environ, OMP_NUM_THREADS=str(t), NUMBA_NUM_THREADS=str(t))
        cmd = [sys.executable, __file__, "--worker", "--sizes", ",".join(map(str, args.sizes))]
        cmd += ["--budget", str(args.budget)]
        out = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if out.returncode != 0:
            raise SystemExit(out.stderr)
        records += [json.loads(line) for line in out.stdout.splitlines()]
    peers_seen = sorted({p for r in records for p in r["seconds"]} - {"velt_core"})
    head = "| n | threads | gate | velt_core us | " + " | ".join(f"{p} ÷ velt_core" for p in peers_seen) + " |"
    lines = [head, "|" + "|".join("---" for _ in head.split("|")[1:-1]) + "|"]
    for r in records:
        base = r["seconds"]["velt_core"]
        cells = [f"{r['seconds'][p] / base:.2f}" if p in r["seconds"] else "" for p in peers_seen]
        lines.append(f"| {r['n']} | {r['threads']} | {r['gate']} | {base * 1e6:.1f} | " + " | ".join(cells) + " |")
    table = "\n".join(lines)
    found = versions()
    print(f"velt_core path: {records[0]['isa'] if records else '?'}; above 1: velt_core is faster")
    print(found)
    print(table)
    (HERE / "results").mkdir(exist_ok=True)
    (HERE / "results" / "peers.md").write_text(f"{found}\n\n{table}\n")
    (HERE / "results" / "peers.json").write_text(json.dumps(records, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
