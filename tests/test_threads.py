import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

WORKLOAD = Path(__file__).with_name("workload.py")


def _digest(threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, str(WORKLOAD)], env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_results_identical_for_any_thread_count():
    digests = {threads: _digest(threads) for threads in (1, 2, 3)}
    assert len(digests[1]) == 64
    assert len(set(digests.values())) == 1, digests


FORKED = """
    import os, sys, time
    sys.path.insert(0, {tests!r})
    import workload

    # The parent runs the workload first, so its worker team exists when it forks.
    expected = workload.run()
    read, write = os.pipe()
    child = os.fork()
    if child == 0:
        os.write(write, workload.run().encode())
        os._exit(0)
    deadline = time.monotonic() + 60
    while os.waitpid(child, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(child, 9)
            print("the forked child hung")
            sys.exit(1)
        time.sleep(0.05)
    print("same" if os.read(read, 64).decode() == expected else "different")
"""


def test_forked_child_of_a_parallel_process_runs_kernels():
    # libgomp's workers do not survive fork(): without care, the child's
    # first parallel loop waits for them forever.
    code = textwrap.dedent(FORKED.format(tests=str(WORKLOAD.parent)))
    env = dict(os.environ, OMP_NUM_THREADS="2")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0 and out.stdout.strip() == "same", out.stdout + out.stderr


TEAM_CHANGES = """
    import ctypes, sys
    sys.path.insert(0, {tests!r})
    import numpy as np
    import velt_core
    import reference as ref

    # The OpenMP runtime the module loaded (a wheel carries its own copy).
    maps = open("/proc/self/maps").read().split()
    gomp = sorted({{p for p in maps if "libgomp" in p}})
    if not gomp:
        print("skip: no libgomp in this process")
        sys.exit(0)
    omp = ctypes.CDLL(gomp[0])
    rng = np.random.default_rng(7)
    m = (rng.standard_normal((2, 2)) + 1j * rng.standard_normal((2, 2))).ravel()
    # Team sizes that grow and shrink between calls, and loops from a few
    # chunks (8 at 2^15 amplitudes: fewer than 11, so some shares are empty)
    # to many.
    for team in (4, 2, 11, 3, 1, 5, 2):
        omp.omp_set_num_threads(team)
        for n in (15, 17, 19):
            psi = rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)
            for q in (0, n // 2, n - 1):
                expected = ref.apply_1q(psi.copy(), q, m)
                velt_core.apply_1q(psi, q, *m)
                if not np.array_equal(psi.view(np.uint64), expected.view(np.uint64)):
                    print("different: team", team, "n", n, "q", q)
                    sys.exit(1)
    print("same")
"""


def test_team_size_changing_between_calls():
    # Shares left over from a larger team must stay closed, and a loop with
    # fewer chunks than members must still run every chunk once.
    code = textwrap.dedent(TEAM_CHANGES.format(tests=str(WORKLOAD.parent)))
    env = dict(os.environ, OMP_NUM_THREADS="2")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    if out.stdout.startswith("skip"):
        pytest.skip(out.stdout.strip())
    assert out.stdout.strip() == "same", out.stdout
