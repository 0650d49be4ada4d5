"""Benchmark of velt_mpi: local gates, gates on rank-selecting qubits, the
exchange, and a distributed QFT checked against one process.

    python bench/bench_mpi.py --ranks 1,2,4 [--local-qubits 24] [--qft 26]
    mpiexec -n N python -m mpi4py bench/bench_mpi.py [options]   (one rank count)

With --ranks the script starts itself under mpiexec (the one beside this
interpreter, else the first on PATH) once per rank count and prints one table.
Every rank's slice holds 2^local-qubits amplitudes whatever the rank count,
so the state has local-qubits + log2(N) qubits, and a gate on a
rank-selecting qubit compares with the same gate on a local qubit of a slice
of the same size.  Each rank runs OMP_NUM_THREADS threads (1 by default).

Figures per rank count:
- copy: every rank copies half its slice with NumPy at once; GB/s summed over
  the ranks (bytes copied / time): the machine's memory-copy bandwidth;
- exchange: make_local() of a rank-selecting qubit: every rank sends half its
  slice and receives as much; GB/s = bytes sent by all ranks / time;
- apply_1q on local qubit 0, on the top local qubit, and on a rank-selecting
  qubit (exchange included: after the exchange the map keeps the qubit local,
  so every repetition picks a qubit that is rank-selecting at that moment);
- with --qft N: the QFT over N qubits (one apply_sequence call), compared
  byte for byte with velt_core on the full state in the root process;
- with --calls L: the time per call on a slice of 2^L amplitudes, where the
  ranks' agreements show: a bare MPI_Allreduce of an agreement's nine
  int64, apply_swap (the map only: one agreement), apply_1q on local qubit 0
  (two), norm_squared (two and an allgather), and the rate at which the
  digest hashes matrix bytes.
Results go to bench/results/latest-mpi.json.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def parse(argv):
    parser = argparse.ArgumentParser(description="velt_mpi benchmark")
    parser.add_argument("--ranks", default=None, help="comma-separated rank counts to launch, e.g. 1,2,4")
    parser.add_argument("--local-qubits", type=int, default=24, help="qubits per slice (default 24: 256 MiB)")
    parser.add_argument("--reps", type=int, default=7, help="repetitions per timing (median; default 7)")
    parser.add_argument("--qft", type=int, nargs="*", default=[], help="QFT sizes to run and check")
    parser.add_argument("--no-check", action="store_true", help="skip the single-process check of the QFT")
    parser.add_argument("--threads", type=int, default=1, help="OpenMP threads per rank (default 1)")
    parser.add_argument("--calls", type=int, default=None, help="time per call on slices of 2^CALLS amplitudes")
    return parser.parse_args(argv)


def launcher(args):
    """Starts this script under mpiexec for each rank count; prints the table."""
    beside = Path(sys.executable).parent / "mpiexec"
    mpiexec = str(beside) if beside.exists() else shutil.which("mpiexec")
    if mpiexec is None:
        sys.exit("no mpiexec: pip install velt_core[mpi]")
    env = dict(os.environ, OMP_NUM_THREADS=str(args.threads), OMP_WAIT_POLICY="passive")
    rows = []
    for ranks in (int(r) for r in args.ranks.split(",")):
        command = [mpiexec, "-n", str(ranks), sys.executable, "-m", "mpi4py", __file__]
        command += ["--local-qubits", str(args.local_qubits), "--reps", str(args.reps), "--threads", str(args.threads)]
        if args.qft:
            command += ["--qft", *map(str, args.qft)]
        if args.no_check:
            command.append("--no-check")
        if args.calls is not None:
            command += ["--calls", str(args.calls)]
        done = subprocess.run(command, capture_output=True, text=True, env=env)
        sys.stderr.write(done.stderr)
        if done.returncode != 0:
            sys.exit(f"{ranks} ranks failed:\n{done.stdout}")
        result = json.loads(next(line for line in done.stdout.splitlines() if line.startswith("{")))
        rows.append(result)
        print(table_row(result), flush=True)
    out = HERE / "results" / "latest-mpi.json"
    out.parent.mkdir(exist_ok=True)
    out.write_text(json.dumps(rows, indent=1))
    print(f"results in {out}")


def table_row(r):
    if "n" not in r:  # --calls alone
        c = r["calls"]
        return (
            f"== {r['ranks']} ranks, per call on slices of 2^{c['local_qubits']}: "
            f"Allreduce {c['allreduce_us']:.1f} us, apply_swap {c['apply_swap_us']:.1f} us, "
            f"apply_1q q=0 {c['apply_1q_us']:.1f} us, norm_squared {c['norm_squared_us']:.1f} us; "
            f"digest {c['digest_gbps']:.2f} GB/s"
        )
    lines = [
        f"== {r['ranks']} ranks x {r['threads']} threads, {r['n']} qubits, slice 2^{r['local_qubits']} "
        f"({r['slice_mib']} MiB per rank)",
        f"   copy (all ranks)         {r['copy_s'] * 1e3:9.1f} ms  {r['copy_gbps']:6.2f} GB/s",
        f"   apply_1q local q=0       {r['local0_s'] * 1e3:9.1f} ms",
        f"   apply_1q top local q     {r['local_top_s'] * 1e3:9.1f} ms",
    ]
    if r["ranks"] > 1:
        lines += [
            f"   exchange (make_local)    {r['exchange_s'] * 1e3:9.1f} ms  {r['exchange_gbps']:6.2f} GB/s "
            f"({r['exchange_bytes'] / 2**20:.0f} MiB sent in all)  = {r['exchange_gbps'] / r['copy_gbps']:.2f} x copy",
            f"   apply_1q global q        {r['global_s'] * 1e3:9.1f} ms  = {r['global_s'] / r['local_top_s']:.2f} x "
            "the top local qubit",
        ]
    if "calls" in r:
        c = r["calls"]
        lines.append(
            f"   per call, slice 2^{c['local_qubits']}: Allreduce {c['allreduce_us']:.1f} us, "
            f"apply_swap {c['apply_swap_us']:.1f} us, apply_1q q=0 {c['apply_1q_us']:.1f} us, "
            f"norm_squared {c['norm_squared_us']:.1f} us; digest {c['digest_gbps']:.2f} GB/s"
        )
    for q in r.get("qft", []):
        check = q["check"]
        lines.append(
            f"   QFT {q['n']} qubits: {q['ops']} ops, {q['exchanges']} exchanges, {q['seconds']:.1f} s distributed; "
            f"one process {q['single_seconds'] if q['single_seconds'] is None else round(q['single_seconds'], 1)} s; "
            f"{check}"
        )
    return "\n".join(lines)


def worker(args):
    import numpy as np
    from mpi4py import MPI

    import velt_core
    from velt_mpi import DistributedState, quiet_barrier

    comm = MPI.COMM_WORLD
    rank, size = comm.Get_rank(), comm.Get_size()
    p = size.bit_length() - 1
    width = args.local_qubits
    n = width + p
    h = 1 / np.sqrt(2)

    def timed(fn, reps=args.reps):
        times = []
        for _ in range(reps):
            comm.Barrier()
            t0 = time.perf_counter()
            fn()
            comm.Barrier()
            times.append(time.perf_counter() - t0)
        return statistics.median(times)

    if args.calls is not None:
        result = {"ranks": size, "calls": per_call(args, comm, np, DistributedState)}
        if rank == 0:
            print(json.dumps(result), flush=True)
        return

    state = DistributedState(n)
    state.local[...] = 1 / np.sqrt(2.0**n)  # any state: the timings do not depend on the values

    half = 1 << (width - 1)
    src = np.ones(half, dtype=np.complex128)
    dst = np.empty_like(src)
    copy_s = timed(lambda: np.copyto(dst, src))
    src = dst = None  # the slice-sized copies go before the gates run
    result = {
        "ranks": size,
        "threads": int(os.environ.get("OMP_NUM_THREADS", "0") or 0),
        "n": n,
        "local_qubits": width,
        "slice_mib": (16 << width) >> 20,
        "copy_s": copy_s,
        "copy_gbps": size * half * 16 / copy_s / 1e9,
        "local0_s": timed(lambda: state.apply_1q(0, h, h, h, -h)),
    }

    def logical_at(physical):
        return state.qubit_map.index(physical)

    # The top local qubit: whichever logical qubit sits there now.
    result["local_top_s"] = timed(lambda: state.apply_1q(logical_at(width - 1), h, h, h, -h))
    if size > 1:
        sent0 = state.bytes_sent
        result["exchange_s"] = timed(lambda: state.make_local([logical_at(width)]))
        per_exchange = (state.bytes_sent - sent0) // args.reps
        result["exchange_bytes"] = per_exchange * size
        result["exchange_gbps"] = per_exchange * size / result["exchange_s"] / 1e9
        result["global_s"] = timed(lambda: state.apply_1q(logical_at(width), h, h, h, -h))
    state = None

    result["qft"] = []
    for nq in args.qft:
        ops = qft_ops(nq, np)
        state = DistributedState(nq)
        # A random product state would do; a seeded random slice is cheaper to make.
        local_rng = np.random.default_rng([nq, rank])
        state.local.real = local_rng.standard_normal(state.local.shape[0])
        state.local.imag = local_rng.standard_normal(state.local.shape[0])
        initial = state.gather()
        comm.Barrier()
        t0 = time.perf_counter()
        state.apply_sequence(ops)
        comm.Barrier()
        seconds = time.perf_counter() - t0
        single = None
        check = "not checked"
        if not args.no_check:
            if rank == 0:
                t1 = time.perf_counter()
                for name, *op_args in ops:
                    getattr(velt_core, name)(initial, *op_args)
                single = time.perf_counter() - t1
            quiet_barrier(comm)  # the other ranks sleep while the root computes
            same = state.matches(initial)
            check = "same bits as one process" if same else "DIFFERENT BITS"
            if not same and rank == 0:
                print("QFT check failed", file=sys.stderr)
        initial = None
        result["qft"].append(
            {
                "n": nq,
                "ops": len(ops),
                "exchanges": state.exchanges,
                "seconds": seconds,
                "single_seconds": single,
                "check": check,
            }
        )
        state = None
        if check == "DIFFERENT BITS":
            comm.Abort(1)
    if rank == 0:
        print(json.dumps(result), flush=True)


def per_call(args, comm, np, DistributedState):
    """Median time per call over 7 runs of `count` calls, in microseconds."""
    import hashlib

    from mpi4py import MPI

    count = 400
    width = args.calls
    state = DistributedState(width + comm.Get_size().bit_length() - 1)
    h = 1 / np.sqrt(2)
    mine, total = np.zeros(9, dtype=np.int64), np.zeros(9, dtype=np.int64)

    def per(fn):
        times = []
        for _ in range(7):
            comm.Barrier()
            t0 = time.perf_counter()
            for _ in range(count):
                fn()
            comm.Barrier()
            times.append((time.perf_counter() - t0) / count)
        return statistics.median(times) * 1e6

    matrix = np.ones(1 << 20, dtype=np.complex128)  # a 10-target gate's 16 MiB
    t0 = time.perf_counter()
    for _ in range(5):
        hashlib.blake2b(matrix.view(np.uint8), digest_size=16).digest()
    digest_gbps = 5 * matrix.nbytes / (time.perf_counter() - t0) / 1e9
    return {
        "local_qubits": width,
        "allreduce_us": per(lambda: comm.Allreduce(mine, total, op=MPI.MIN)),
        "apply_swap_us": per(lambda: state.apply_swap(0, 1)),
        "apply_1q_us": per(lambda: state.apply_1q(0, h, h, h, -h)),
        "norm_squared_us": per(state.norm_squared),
        "digest_gbps": digest_gbps,
    }


def qft_ops(n, np):
    c = np.array([1, 1, 1, -1], dtype=complex) / np.sqrt(2)
    ops = []
    for q in reversed(range(n)):
        ops.append(("apply_1q", q, *c))
        for m in reversed(range(q)):
            ops.append(("apply_controlled_1q", m, q, 1, 0, 0, np.exp(1j * np.pi / 2 ** (q - m))))
    ops += [("apply_swap", q, n - 1 - q) for q in range(n // 2)]
    return ops


def main(argv=None):
    args = parse(argv)
    if args.ranks:
        launcher(args)
    else:
        worker(args)


if __name__ == "__main__":
    main()
