"""Timing helpers shared by the benchmarks.

The yardstick for every kernel is a plain in-place streaming pass over the
same array (bench/stream.c, compiled on first use for the host CPU with all
its vector instructions), measured in the same run: the ratio kernel / stream says
how close a kernel comes to the machine's memory bandwidth.
"""

import ctypes
import os
import shutil
import statistics
import subprocess
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
BUILD = HERE / "_build"


def _load_stream():
    src = HERE / "stream.c"
    lib = BUILD / "libstream.so"
    if not lib.exists() or lib.stat().st_mtime < max(src.stat().st_mtime, Path(__file__).stat().st_mtime):
        BUILD.mkdir(exist_ok=True)
        cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
        if cc is None:
            raise RuntimeError("the streaming yardstick needs a C compiler (cc)")
        subprocess.run(
            [cc, "-O3", "-march=native", "-fopenmp", "-shared", "-fPIC", str(src), "-o", str(lib)],
            check=True,
        )
    so = ctypes.CDLL(str(lib))
    so.stream_scale.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_double, ctypes.c_int]
    so.stream_scale.restype = None
    return so


_STREAM = None


def stream_pass(arr, parallel=True):
    global _STREAM
    if _STREAM is None:
        _STREAM = _load_stream()
    assert arr.flags.c_contiguous and arr.dtype == np.complex128
    _STREAM.stream_scale(arr.ctypes.data, 2 * arr.size, 1.0, int(parallel))


def median_time(fn, budget=0.25, min_reps=3, max_reps=2000, warm_up=True):
    """Median wall time of fn() in seconds over as many calls as fit in the
    budget (after one warm-up call, unless told otherwise)."""
    if warm_up:
        fn()
    times = []
    start = time.perf_counter()
    while len(times) < max_reps and (len(times) < min_reps or time.perf_counter() - start < budget):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def paired_medians(fn_a, fn_b, budget=0.5, min_reps=3, max_reps=2000):
    """Median wall times of fn_a() and fn_b(), called alternately (after one
    warm-up call each), so that a change in the machine's load touches both."""
    fn_a()
    fn_b()
    times_a, times_b = [], []
    start = time.perf_counter()
    while len(times_a) < max_reps and (len(times_a) < min_reps or time.perf_counter() - start < budget):
        for fn, times in ((fn_a, times_a), (fn_b, times_b)):
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
    return statistics.median(times_a), statistics.median(times_b)
