import os
import subprocess
import sys
import textwrap
from pathlib import Path

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
