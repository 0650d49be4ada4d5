"""What the worker pool costs at large thread counts.

    python bench/bench_pool.py [--threads 1,2,3,64,256,2000] [--n 18] [--calls 200]
                               [--repeats 3] [--rounds 3] [--load idle,busy]
                               [--python INTERPRETER] [--huge]

For each OMP_NUM_THREADS value (and load) one child process makes a state of
2^n amplitudes, makes one call to start the pool, and then times `calls`
apply_1q calls on qubit 0 back to back (the total, in ms; the best of
`repeats` batches), and reports the threads the process holds afterwards
(/proc/self/status).  The thread counts are measured in turn, `rounds`
times, so that a change in the machine's load touches all of them; the table
gives the best and the median of the rounds, and the best over the best at 2
threads.  "busy" runs each child beside a process of this script's own that
keeps one core busy.  --python times the velt_core another interpreter
imports (another build, say).

--huge also runs, with OMP_NUM_THREADS=1000000, apply_gate with 10 targets
on 2^14 amplitudes and apply_sequence on 2^16 amplitudes, and reports
whether each ran (and matched the one-thread result) or what it raised.
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


def _threads_in_process():
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("Threads:"):
            return int(line.split()[1])
    return -1


def child_timing(args):
    import velt_core as vc

    rng = np.random.default_rng(3)
    psi = rng.standard_normal(1 << args.n) + 1j * rng.standard_normal(1 << args.n)
    h = 1 / np.sqrt(2)
    m = (h, h, h, -h)
    vc.apply_1q(psi, 0, *m)  # starts the pool
    batches = []
    for _ in range(args.repeats):
        t0 = time.perf_counter()
        for _ in range(args.calls):
            vc.apply_1q(psi, 0, *m)
        batches.append(time.perf_counter() - t0)
    print(
        json.dumps(
            {
                "best_ms": min(batches) * 1e3,
                "median_ms": statistics.median(batches) * 1e3,
                "threads": _threads_in_process(),
            }
        )
    )


HUGE = """
import json, sys
import numpy as np
import velt_core as vc

def run(name, fn, make):
    state = make()
    try:
        fn(state)
    except BaseException as exc:  # noqa: BLE001 - reported, not handled
        return {"call": name, "outcome": type(exc).__name__ + ": " + str(exc)}
    return {"call": name, "outcome": "ran", "digest": state.tobytes().hex()[-32:]}

rng = np.random.default_rng(5)
psi14 = rng.standard_normal(1 << 14) + 1j * rng.standard_normal(1 << 14)
psi16 = rng.standard_normal(1 << 16) + 1j * rng.standard_normal(1 << 16)
u = np.linalg.qr(rng.standard_normal((1024, 1024)) + 1j * rng.standard_normal((1024, 1024)))[0]
h = 1 / np.sqrt(2)
ops = [("apply_1q", q, h, h, h, -h) for q in range(16)] + [("apply_cnot_fast", 0, 15)]
rows = [
    run("apply_gate 10 targets, 2^14", lambda s: vc.apply_gate(s, list(range(10)), u), psi14.copy),
    run("apply_sequence, 2^16", lambda s: vc.apply_sequence(s, ops), psi16.copy),
]
print(json.dumps(rows))
"""


def spawn(python, env_threads, argv, load):
    env = dict(os.environ, OMP_NUM_THREADS=str(env_threads), OPENBLAS_NUM_THREADS="1")
    spinner = None
    if load == "busy":
        spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
        time.sleep(0.3)
    try:
        out = subprocess.run([python, *argv], env=env, capture_output=True, text=True, timeout=900)
    finally:
        if spinner is not None:
            spinner.kill()
            spinner.wait()
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1] if out.stderr.strip() else f"exit {out.returncode}"}
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", default="1,2,3,64,256,2000")
    parser.add_argument("--n", type=int, default=18)
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--load", default="idle")
    parser.add_argument("--python", default=sys.executable, help="interpreter whose velt_core is timed")
    parser.add_argument("--huge", action="store_true")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_timing(args)
        return

    info = subprocess.run(
        [args.python, "-c", "import velt_core as v; print(v.kernel_isa(), v.__file__)"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    print(f"# {cpu_model()}, {os.cpu_count()} CPUs; Python {platform.python_version()}; kernel_isa {info[0]}")
    print(f"# module {info[1]}")
    print(
        f"# {args.calls} apply_1q calls on qubit 0, 2^{args.n} amplitudes; each process times {args.repeats} "
        f"batches, {args.rounds} rounds over the thread counts in turn: best batch, median of the rounds' bests"
    )
    child_argv = [__file__, "--child", "--n", str(args.n), "--calls", str(args.calls), "--repeats", str(args.repeats)]
    counts = [int(x) for x in args.threads.split(",")]
    for load in args.load.split(","):
        rows = {t: [] for t in counts}
        for _ in range(args.rounds):
            for t in counts:
                rows[t].append(spawn(args.python, t, child_argv, load))
        print(f"\nload {load}")
        print(f"{'OMP_NUM_THREADS':>16} {'best ms':>10} {'median ms':>10} {'threads':>8} {'÷ 2 threads':>12}")
        best = {}
        for t in counts:
            ok = [r for r in rows[t] if "error" not in r]
            if not ok:
                print(f"{t:>16} {rows[t][0]['error']}")
                continue
            best[t] = min(r["best_ms"] for r in ok)
            med = statistics.median(r["best_ms"] for r in ok)
            ratio = f"{best[t] / best[2]:12.2f}" if 2 in best else ""
            print(f"{t:>16} {best[t]:10.1f} {med:10.1f} {ok[-1]['threads']:8d} {ratio}")
    if args.huge:
        one = spawn(args.python, 1, ["-c", HUGE], "idle")
        huge = spawn(args.python, 1000000, ["-c", HUGE], "idle")
        print("\nOMP_NUM_THREADS=1000000")
        if "error" in huge:
            print("  child failed:", huge["error"])
            return
        for a, b in zip(huge, one, strict=True):
            same = a.get("digest") == b.get("digest")
            print(
                f"  {a['call']:32s} {a['outcome']}"
                + (" (same bytes as 1 thread)" if a["outcome"] == "ran" and same else "")
            )


if __name__ == "__main__":
    main()
