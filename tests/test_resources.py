"""Resources: repeated calls keep no memory, and calls from several Python
threads at once give the results of the same calls made one after another."""

import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
from helpers import UNDER_SANITIZER, assert_same_bits

import velt_core

CHURN = Path(__file__).with_name("churn.py")
SLACK = 256 * 1024  # bytes; the resident size is measured in whole pages


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif(UNDER_SANITIZER, reason="ASan's quarantine holds freed memory; LeakSanitizer checks leaks there")
@pytest.mark.parametrize(
    ("scenario", "calls"),
    [
        ("success", 4000),
        ("converted", 4000),
        ("copied", 4000),
        ("runtime-error", 2000),
        ("type-error", 400),  # each message carries the arguments' repr: slow
        ("read-only", 4000),
        ("own-error", 4000),
    ],
)
def test_repeated_calls_keep_no_memory(scenario, calls):
    # Round 0 warms up (NumPy's caches, pybind11's type records); the next
    # five rounds must not add to the resident size.  One OpenMP thread: every
    # allocation of a call is made on the calling thread whatever the team,
    # and tens of thousands of tiny parallel loops crawl on a busy machine.
    rounds = 6
    out = subprocess.run(
        [sys.executable, str(CHURN), scenario, str(calls), str(rounds)],
        capture_output=True,
        text=True,
        timeout=600,
        env=dict(os.environ, OMP_NUM_THREADS="1"),
    )
    assert out.returncode == 0, out.stderr
    sizes = [int(line) for line in out.stdout.split()]
    assert len(sizes) == rounds
    growth = max(sizes[1:]) - sizes[1]
    assert growth <= SLACK, f"resident size grew by {growth} bytes over {calls * (rounds - 2)} rounds of calls: {sizes}"


def _tasks(count):
    """Per thread: its own state, rho and a list of calls on them, some of
    which fail.  Returns [(arrays, calls)]; a call maps arrays to a result."""
    tasks = []
    for t in range(count):
        rng = np.random.default_rng(100 + t)
        psi = rng.standard_normal(1 << 12) + 1j * rng.standard_normal(1 << 12)
        rho = rng.standard_normal(1 << 12) + 1j * rng.standard_normal(1 << 12)
        u = np.linalg.qr(rng.standard_normal((8, 8)) + 1j * rng.standard_normal((8, 8)))[0]
        m = list(u[:2, :2].reshape(4))
        ops = [u[:2, :2].copy(), u[2:4, 2:4].copy()]
        q = [int(x) for x in rng.permutation(12)]
        calls = [
            lambda a, q=q: velt_core.apply_1q(a["psi"], q[0], *m),
            lambda a, q=q: velt_core.apply_cnot_fast(a["psi"], q[1], q[2]),
            lambda a, q=q: velt_core.apply_controlled_1q(a["psi"], q[3], q[4], *m),
            lambda a, q=q: velt_core.apply_swap(a["psi"], q[5], q[6]),
            lambda a, q=q: velt_core.apply_gate_fast(a["psi"], q[7:10], u),
            lambda a, q=q: velt_core.apply_gate(a["psi"], q[10:12] + q[0:1], u, q[1:3]),
            lambda a, q=q: velt_core.apply_kraus_1q(a["rho"], 6, q[0] % 6, ops),
            lambda a, q=q: velt_core.apply_gate(a["psi"], [q[0], q[0]], np.eye(4)),  # refused
            lambda a: velt_core.apply_kraus_1q(a["rho"], 7, 0, ops),  # refused: rho too small
        ]
        tasks.append(({"psi": psi, "rho": rho}, calls))
    return tasks


def _run(arrays, calls, repeats):
    outcomes = []
    for _ in range(repeats):
        for call in calls:
            try:
                outcomes.append(call(arrays))
            except RuntimeError as exc:
                outcomes.append(str(exc))
    return outcomes


def test_threads_calling_at_once_match_one_after_another():
    threads, repeats = 4, 30
    serial = _tasks(threads)
    serial_outcomes = [_run(arrays, calls, repeats) for arrays, calls in serial]

    concurrent = _tasks(threads)
    outcomes = [None] * threads
    start = threading.Barrier(threads)

    def work(i):
        start.wait()
        arrays, calls = concurrent[i]
        outcomes[i] = _run(arrays, calls, repeats)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=600)
    assert not any(w.is_alive() for w in workers)

    for i in range(threads):
        assert outcomes[i] == serial_outcomes[i]
        assert any(isinstance(o, str) for o in outcomes[i])  # the refusals happened
        for name in ("psi", "rho"):
            assert_same_bits(concurrent[i][0][name], serial[i][0][name])
    # The tasks did real work: a thread's state is not its starting state.
    assert not np.array_equal(concurrent[0][0]["psi"], _tasks(1)[0][0]["psi"])
