"""How fast baseline code runs right after a kernel call on each path.

    python bench/bench_upper.py [--isa sse2,avx2,avx512f] [--repeats 400] [--python INTERPRETER]

A 256- or 512-bit instruction that writes the upper half of a vector register
leaves it dirty, and on many x86 cores every legacy SSE instruction the
thread runs afterwards pays for that (a false dependency on the upper
halves, or a state transition) until something executes vzeroupper.  The
caller's code after a kernel call (the interpreter, NumPy's baseline loops,
other compiled extensions) is such code.  For each instruction-set path, in
its own process, this times a plain x86-64 loop over 2^16 doubles
(bench/upper_state.c, compiled without -m flags, timed from the inside)
called right after:

- a vzeroupper (the loop's usual time, the first row);
- a bare call into velt_core;
- each kernel call (small registers, so that the loop's time dominates:
  2x2 gates on qubits inside one register, the exchanges, dense gates on
  low and spread qubits, the Kraus channel, a sequence);
- the same kernel call followed by a vzeroupper.

All of them run in turn, `repeats` times, so that a change in the machine's
state touches every row.  Each figure is the median time of the loop, in
microseconds, and its ratio to the first row.  A ratio above 1 after a
kernel and not after the kernel and a vzeroupper means the kernel returned
with a dirty upper state.  What a dirty state costs depends on the CPU and
on what the registers hold (on an AMD EPYC with AVX-512, kernels that
returned dirty slowed the loop 6.6x, while ones written into a few zmm
registers by a helper of this benchmark cost nothing measurable), so the
table times the kernels themselves; scripts/check_isa.py proves the clean
returns from the machine code whatever the CPU.
"""

import argparse
import ctypes
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

import numpy as np
from common import cpu_model

HERE = Path(__file__).resolve().parent
BUILD = HERE / "_build"


def load_library():
    src = HERE / "upper_state.c"
    lib = BUILD / "libupper_state.so"
    if not lib.exists() or lib.stat().st_mtime < src.stat().st_mtime:
        BUILD.mkdir(exist_ok=True)
        cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
        if cc is None:
            sys.exit("bench_upper.py needs a C compiler (cc)")
        subprocess.run([cc, "-O2", "-fno-tree-vectorize", "-shared", "-fPIC", str(src), "-o", str(lib)], check=True)
    so = ctypes.CDLL(str(lib))
    so.baseline_loop.restype = ctypes.c_double
    so.baseline_loop.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_double]
    return so


def cpu_flags():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def cases(vc):
    rng = np.random.default_rng(1)

    def state(n):
        return (rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)).astype(np.complex128)

    h = 2**-0.5
    m = (h, h, h, -h)
    u4 = np.linalg.qr(rng.standard_normal((4, 4)) + 1j * rng.standard_normal((4, 4)))[0]
    u8 = np.linalg.qr(rng.standard_normal((8, 8)) + 1j * rng.standard_normal((8, 8)))[0]
    kraus = [np.eye(2) * np.sqrt(0.9), np.array([[0, 1], [1, 0]]) * np.sqrt(0.1)]
    psi, rho = state(10), state(8).reshape(16, 16)
    ops = [("apply_1q", q, *m) for q in range(4)] + [("apply_gate_fast", [0, 1], u4), ("apply_cnot_fast", 0, 1)]
    return [
        ("apply_1q q=0", lambda: vc.apply_1q(psi, 0, *m)),
        ("apply_1q q=5", lambda: vc.apply_1q(psi, 5, *m)),
        ("apply_controlled_1q 0->1", lambda: vc.apply_controlled_1q(psi, 0, 1, *m)),
        ("apply_cnot_fast 0->1", lambda: vc.apply_cnot_fast(psi, 0, 1)),
        ("apply_swap 0,1", lambda: vc.apply_swap(psi, 0, 1)),
        ("apply_gate_fast [0,1]", lambda: vc.apply_gate_fast(psi, [0, 1], u4)),
        ("apply_gate_fast [2,5,7]", lambda: vc.apply_gate_fast(psi, [2, 5, 7], u8)),
        ("apply_gate [0] c=[1]", lambda: vc.apply_gate(psi, [0], u4[:2, :2].copy(), [1])),
        ("apply_kraus_1q", lambda: vc.apply_kraus_1q(rho, 4, 0, kraus)),
        ("apply_sequence", lambda: vc.apply_sequence(psi, ops)),
    ]


def child(repeats):
    import velt_core as vc

    so = load_library()
    x = np.ones(1 << 16)
    address, size = x.ctypes.data, x.size
    wide = vc.kernel_isa() != "sse2"
    flags = cpu_flags()

    # (name, what runs before the loop).  The loop's usual time comes from
    # a vzeroupper right before it.
    befores = [("usual: vzeroupper, then the loop", so.clean_upper)] if "avx" in flags else []
    befores.append(("a bare call into velt_core", vc.cpu_dispatch_tier))
    for name, call in cases(vc):
        befores.append((name, call))
        if wide:
            befores.append((name + " + vzeroupper", lambda call=call: (call(), so.clean_upper())))
    # Interleaved, so that a change in the machine's state touches every row.
    times = {name: [] for name, _ in befores}
    for _ in range(repeats):
        for name, before in befores:
            before()
            times[name].append(so.baseline_loop(address, size, 1.0000001))
    rows = [(name, statistics.median(t) * 1e6) for name, t in times.items()]
    print(json.dumps({"isa": vc.kernel_isa(), "rows": rows}))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--isa", default="sse2,avx2,avx512f")
    parser.add_argument("--repeats", type=int, default=400)
    parser.add_argument("--python", default=sys.executable, help="interpreter whose velt_core is timed")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.repeats)
        return
    print(f"# {cpu_model()}, {os.cpu_count()} CPUs; Python {platform.python_version()}; OMP_NUM_THREADS=1")
    print(f"# baseline loop over 2^16 doubles right after each call: median of {args.repeats}, us (ratio to nothing)")
    for isa in args.isa.split(","):
        env = dict(os.environ, VELT_ISA=isa, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
        cmd = [args.python, __file__, "--child", "--repeats", str(args.repeats)]
        out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=False)
        if out.returncode != 0:
            print(f"\n{isa}: not run ({out.stderr.strip().splitlines()[-1] if out.stderr.strip() else out.returncode})")
            continue
        result = json.loads(out.stdout)
        base = result["rows"][0][1]
        print(f"\npath {result['isa']}")
        print(f"  {'right after':44s} {'loop us':>9} {'ratio':>6}")
        for name, us in result["rows"]:
            print(f"  {name:44s} {us:9.1f} {us / base:6.2f}")


if __name__ == "__main__":
    main()
