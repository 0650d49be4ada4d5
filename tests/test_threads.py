import os
import subprocess
import sys
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
