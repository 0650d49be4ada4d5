"""Diagonal gates and Pauli rotations on large states, against the streaming pass.

    python bench/bench_phases.py [--n 26] [--threads 1,2] [--isa avx512f,...]
                                 [--only diagonal,rotation] [--budget 0.6]

Times apply_diagonal with k = 1 to 10 targets and apply_pauli_rotation with
I/Z-only strings and strings with X and Y letters, each on the lowest qubits
(from qubit 0), in the middle and on the highest ones, at every thread count
and instruction-set path (each in its own process), against the yardstick of
bench/bench_kernels.py: the fastest in-place streaming pass over the same
array (bench/stream.c), timed alternately with the kernel.  The "floor" is
the same call on a 2^14-amplitude state held in cache, scaled to the state
and divided by the thread count (the 1-thread worker's figure, shared out),
over the pass: what the arithmetic alone costs.

Every case checks itself first, on a sample of 4096 amplitudes (and their
partners): the kernel's result there, bit for bit, against the arithmetic the
README states, computed with NumPy from the sampled inputs.  (A whole-state
NumPy check at 2^26 amplitudes would cost more than all the timing.)
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
FLOOR_N = 14
SAMPLE = 4096


def spots(n, k):
    middle = n // 2 - k // 2
    return (("low", list(range(k))), ("mid", list(range(middle, middle + k))), ("high", list(range(n - k, n))))


def cases(n, rng, only):
    """(kernel, label, qubits, argument) for the kernels chosen."""
    out = []
    if "diagonal" in only:
        for k in range(1, 11):
            d = np.exp(1j * rng.uniform(0, 2 * np.pi, 1 << k))
            for label, targets in spots(n, k):
                out.append(("apply_diagonal", f"k={k} {label}", targets, d))
    if "rotation" in only:
        for paulis in ("Z", "ZZ", "ZZZZ", "ZIZ", "X", "XX", "XY", "YZ", "XXYY"):
            for label, qubits in spots(n, len(paulis)):
                out.append(("apply_pauli_rotation", f"{paulis} {label}", qubits, paulis))
    return out


def call_of(vc, kernel, qubits, arg):
    if kernel == "apply_diagonal":
        return lambda s: vc.apply_diagonal(s, qubits, arg)
    return lambda s: vc.apply_pauli_rotation(s, arg, qubits, 0.7)


def expected_sample(kernel, qubits, arg, idx, before_i, before_partner):
    """The kernel's result at indices idx from the inputs there (and at the
    partners), by the README's arithmetic; module's c and s from a 1-qubit run."""
    import velt_core as vc

    if kernel == "apply_diagonal":
        j = np.zeros(len(idx), dtype=np.int64)
        for d, t in enumerate(qubits):
            j |= ((idx >> t) & 1) << d
        e = arg[j]
        a = before_i
        return (e.real * a.real - e.imag * a.imag) + 1j * (e.real * a.imag + e.imag * a.real)
    probe = np.array([1, 0], dtype=np.complex128)
    vc.apply_pauli_rotation(probe, "X", [0], 0.7)
    c, s = probe[0].real, -probe[1].imag
    x = sum(1 << q for q, p in zip(qubits, arg, strict=True) if p in "XY")
    z = sum(1 << q for q, p in zip(qubits, arg, strict=True) if p in "ZY")
    y = arg.count("Y")
    odd = np.array([bin(int(i) & z).count("1") % 2 for i in idx], dtype=bool)
    a, b = before_i, before_partner
    re, im = np.empty(len(idx)), np.empty(len(idx))
    if x == 0:
        t = np.where(odd, s, -s)
        re = c * a.real - t * a.imag
        im = c * a.imag + t * a.real
    else:
        t = np.where(odd != (y % 4 < 2), -s, s)
        if y % 2 == 0:
            re, im = c * a.real + (-t) * b.imag, c * a.imag + t * b.real
        else:
            re, im = c * a.real + t * b.real, c * a.imag + t * b.imag
    return re + 1j * im


def partner_mask(kernel, qubits, arg):
    if kernel == "apply_diagonal":
        return 0
    return sum(1 << q for q, p in zip(qubits, arg, strict=True) if p in "XY")


def worker(args):
    sys.path.insert(0, str(HERE))
    from common import median_time, paired_medians, stream_pass

    import velt_core as vc

    threads = int(os.environ["OMP_NUM_THREADS"])
    n = args.n
    rng = np.random.default_rng(2026)
    state = rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)
    state /= np.linalg.norm(state)
    small = state[: 1 << FLOOR_N].copy()
    sample = np.sort(rng.choice(1 << n, size=SAMPLE, replace=False))
    only = args.only.split(",")
    for (kernel, label, qubits, arg), small_case in zip(
        cases(n, rng, only), cases(FLOOR_N, np.random.default_rng(2026), only), strict=True
    ):
        call = call_of(vc, kernel, qubits, arg)
        x = partner_mask(kernel, qubits, arg)
        before_i, before_p = state[sample].copy(), state[sample ^ x].copy()
        call(state)
        want = expected_sample(kernel, qubits, arg, sample, before_i, before_p)
        if not np.array_equal(state[sample].view(np.uint64), want.view(np.uint64)):
            print(json.dumps({"type": "error", "kernel": kernel, "case": label}), flush=True)
            sys.exit(1)
        t_kernel, t_stream = paired_medians(
            lambda: call(state), lambda: stream_pass(state, parallel=threads > 1), budget=args.budget
        )
        floor = None
        if threads == 1:
            small_call = call_of(vc, *[small_case[0], small_case[2], small_case[3]])
            floor = median_time(lambda: small_call(small), budget=0.1) * (1 << (n - FLOOR_N))
        record = {"kernel": kernel, "case": label, "n": n, "isa": vc.kernel_isa(), "threads": threads}
        record.update(kernel_s=t_kernel, stream_s=t_stream, floor_s=floor)
        print(json.dumps(record), flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description="diagonal gates and Pauli rotations against the streaming pass")
    parser.add_argument("--n", type=int, default=26)
    parser.add_argument("--threads", default=f"1,{os.cpu_count()}")
    parser.add_argument("--isa", default="", help="comma-separated paths (default: the widest this CPU runs)")
    parser.add_argument("--only", default="diagonal,rotation")
    parser.add_argument("--budget", type=float, default=0.6, help="seconds of paired timing per case")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker(args)
        return 0
    sys.path.insert(0, str(HERE))
    from common import cpu_model

    print(f"# {cpu_model()}, {os.cpu_count()} CPUs, n = {args.n}")
    floors = {}
    for isa in args.isa.split(",") if args.isa else [""]:
        for t in sorted(int(x) for x in args.threads.split(",")):
            env = dict(os.environ, OMP_NUM_THREADS=str(t), VELT_ISA=isa)
            env.setdefault("OMP_WAIT_POLICY", "passive")
            cmd = [sys.executable, __file__, "--worker", "--n", str(args.n), "--only", args.only]
            cmd += ["--budget", str(args.budget)]
            with subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, text=True) as proc:
                for line in proc.stdout:
                    rec = json.loads(line)
                    if rec.get("type") == "error":
                        print(f"SELF-CHECK FAILED: {rec}")
                        continue
                    key = (rec["kernel"], rec["case"], rec["isa"])
                    if rec["floor_s"] is not None:
                        floors[key] = rec["floor_s"]
                    floor = floors.get(key)
                    shown = f"{floor / t / rec['stream_s']:.2f}" if floor else ""
                    print(
                        f"{rec['isa']:<8} {t} thr {rec['kernel']:<21} {rec['case']:<12} {rec['kernel_s'] * 1e3:8.2f} ms"
                        f"  {rec['kernel_s'] / rec['stream_s']:5.2f}x stream  floor {shown}",
                        flush=True,
                    )
                    print("JSON " + json.dumps(rec), flush=True)
            if proc.returncode != 0:
                return proc.returncode
    return 0


if __name__ == "__main__":
    sys.exit(main())
