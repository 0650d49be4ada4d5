"""Timing helpers shared by the benchmarks.

The yardstick for every kernel is the faster of two in-place streaming
passes over the same array (bench/stream.c, compiled on first use for the
host CPU with all its vector instructions: each thread walking its range as
one stream, or as two side by side), measured in the same run: the ratio
kernel / stream says how close a kernel comes to the machine's memory
bandwidth.
"""

import ctypes
import os
import platform
import shutil
import statistics
import subprocess
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
BUILD = HERE / "_build"


def cpu_model():
    """The CPU's model name as the kernel reports it, for the result tables."""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


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
    for name in STREAM_PASSES + tuple(f"{name}_float" for name in STREAM_PASSES):
        fn = getattr(so, name)
        fn.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_double, ctypes.c_int]
        fn.restype = None
    return so


# The in-place passes of bench/stream.c: one stream per thread, two per thread.
STREAM_PASSES = ("stream_scale", "stream_scale_two")
_STREAM = None
# (array size, parallel) -> the faster pass, chosen on first use.
_FASTEST = {}


def _run_pass(name, arr, parallel):
    # complex64 arrays: the float passes, over the same bytes (two parts each).
    if arr.dtype == np.complex64:
        name += "_float"
    getattr(_STREAM, name)(arr.ctypes.data, 2 * arr.size, 1.0, int(parallel))


def stream_choice(arr, parallel=True):
    """The name of the pass stream_pass runs for this array: the faster of
    STREAM_PASSES, timed alternately on the array itself the first time an
    array of its size is asked for (pass times are medians of 5 calls)."""
    global _STREAM
    if _STREAM is None:
        _STREAM = _load_stream()
    assert arr.flags.c_contiguous and arr.dtype in (np.complex128, np.complex64)
    key = (arr.nbytes, arr.dtype.str, bool(parallel))
    if key not in _FASTEST:
        times = {name: [] for name in STREAM_PASSES}
        for name in STREAM_PASSES:
            _run_pass(name, arr, parallel)
        for _ in range(5):
            for name in STREAM_PASSES:
                t0 = time.perf_counter()
                _run_pass(name, arr, parallel)
                times[name].append(time.perf_counter() - t0)
        _FASTEST[key] = min(STREAM_PASSES, key=lambda name: statistics.median(times[name]))
    return _FASTEST[key]


def stream_pass(arr, parallel=True):
    """The yardstick: the fastest in-place pass over arr (see stream_choice)."""
    _run_pass(stream_choice(arr, parallel), arr, parallel)


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
