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


HUGE_TEAM = """
    import hashlib, os, sys
    import numpy as np
    import velt_core

    def threads():
        for line in open("/proc/self/status"):
            if line.startswith("Threads:"):
                return int(line.split()[1])

    before = threads()
    rng = np.random.default_rng(11)
    digest = hashlib.sha256()
    # A 10-target gate (per-worker heap scratch), a sequence (per-worker
    # blocks) and a 2x2 gate, each large enough to share its loop.
    psi = rng.standard_normal(1 << 14) + 1j * rng.standard_normal(1 << 14)
    u = rng.standard_normal((1024, 1024)) + 1j * rng.standard_normal((1024, 1024))
    velt_core.apply_gate(psi, list(range(10)), u)
    digest.update(psi.tobytes())
    psi = rng.standard_normal(1 << 16) + 1j * rng.standard_normal(1 << 16)
    h = 2 ** -0.5
    velt_core.apply_sequence(psi, [("apply_1q", q, h, h, h, -h) for q in range(16)] + [("apply_swap", 0, 15)])
    digest.update(psi.tobytes())
    psi = rng.standard_normal(1 << 18) + 1j * rng.standard_normal(1 << 18)
    for q in (0, 9, 17):
        velt_core.apply_1q(psi, q, h, h, h, -h)
    digest.update(psi.tobytes())
    print(digest.hexdigest(), threads() - before, len(os.sched_getaffinity(0)))
"""


@pytest.mark.parametrize("threads", ["300", "1000000"])
def test_huge_thread_count_starts_at_most_the_cap(threads):
    # The pool caps its team at 256 members and starts no more threads than
    # the process has CPUs; per-worker scratch is sized by the threads that
    # run.  Asking for a million threads once meant a scratch of a million
    # slots (MemoryError) and as many thread starts as the system allowed.
    def run(count):
        env = dict(os.environ, OMP_NUM_THREADS=count, OPENBLAS_NUM_THREADS="1")
        code = textwrap.dedent(HUGE_TEAM)
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
        assert out.returncode == 0, out.stderr
        digest, started, cpus = out.stdout.split()
        return digest, int(started), int(cpus)

    one, started_alone, _ = run("1")
    many, started, cpus = run(threads)
    assert started_alone == 0
    assert many == one
    assert 0 <= started <= min(cpus, 256) - 1
