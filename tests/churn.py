"""Repeated calls of one scenario, with the resident memory after each round.

    python churn.py SCENARIO CALLS ROUNDS

prints one line per round: the resident set size in bytes after CALLS calls.
test_resources.py runs it in a fresh interpreter and checks that the memory
stops growing after the first round.  Scenarios cover success and every way
a call can fail, so that no path keeps what it allocated (a buffer view, a
converted temporary, an aligned copy, a list, an exception).
"""

import gc
import os
import sys

import numpy as np

import velt_core

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def scenarios():
    rng = np.random.default_rng(7)
    psi = rng.standard_normal(256) + 1j * rng.standard_normal(256)
    rho = rng.standard_normal(256) + 1j * rng.standard_normal(256)
    u4 = np.eye(4, dtype=complex)
    ops = [np.eye(2, dtype=complex) * 0.5**0.5, np.array([[0, 1], [1, 0]], dtype=complex) * 0.5**0.5]
    small = psi[:4].copy()
    frozen = psi.copy()
    frozen.flags.writeable = False
    listed = psi[:16].tolist()
    buffer = np.zeros(256 * 16 + 16, dtype=np.uint8)
    shifted = buffer[3 : 3 + 256 * 16].view(np.complex128)
    h = 2**-0.5

    def raises(error, call, *args, **kwargs):
        try:
            call(*args, **kwargs)
        except error:
            return
        raise AssertionError(f"{call.__name__} did not raise {error.__name__}")

    def failing_generator(first):
        yield first
        raise KeyError("the caller's own")

    return {
        # Successful calls of every kernel on the caller's own arrays.
        "success": lambda: (
            velt_core.apply_1q(psi, 3, h, h, h, -h),
            velt_core.apply_cnot_fast(psi, 0, 5),
            velt_core.apply_controlled_1q(psi, 7, 2, h, h, h, -h),
            velt_core.apply_swap(psi, 1, 6),
            velt_core.apply_gate_fast(psi, [4, 0], u4),
            velt_core.apply_gate(psi, [2, 6], u4, [1]),
            velt_core.apply_kraus_1q(rho, 4, 1, ops),
            velt_core.cpu_dispatch_tier(),
        ),
        # Converted temporaries, made and dropped by every call.
        "converted": lambda: (
            velt_core.apply_1q(listed, 0, h, h, h, -h),
            velt_core.apply_gate(psi.real, (7,), u4[:2, :2].tolist()),
            velt_core.apply_kraus_1q(rho.astype(np.complex64), 4, 0, [op.tolist() for op in ops]),
        ),
        # Aligned copies of misaligned arrays, and of a matrix that is a view of the state.
        "copied": lambda: (
            velt_core.apply_1q(shifted, 5, h, h, h, -h),
            velt_core.apply_gate_fast(psi, [1, 0], psi[:16]),
            velt_core.apply_kraus_1q(shifted, 4, 3, [shifted[:4]]),
        ),
        # The kernels' own checks.
        "runtime-error": lambda: (
            raises(RuntimeError, velt_core.apply_1q, psi, -1, 1, 0, 0, 1),
            raises(RuntimeError, velt_core.apply_gate_fast, psi, [0, 0], u4),
            raises(RuntimeError, velt_core.apply_gate, psi, [0], u4),
            raises(RuntimeError, velt_core.apply_gate, psi, [0], u4[:2, :2], [0]),
            raises(RuntimeError, velt_core.apply_kraus_1q, rho, 4, 0, ops + [np.ones(3)]),
            raises(RuntimeError, velt_core.apply_swap, np.array(1j), 0, 1),
        ),
        # Arguments that cannot be converted, after others that were (small
        # ones: the message repeats every argument's repr).
        "type-error": lambda: (
            raises(TypeError, velt_core.apply_1q, small, 0.5, 1, 0, 0, 1),
            raises(TypeError, velt_core.apply_gate, small, [0, "x"], u4),
            raises(TypeError, velt_core.apply_gate, small, [0], u4, controls=None),
            raises(TypeError, velt_core.apply_kraus_1q, small, 1, 0, [ops[0], object()]),
            raises(TypeError, velt_core.apply_cnot_fast, small, 0),
        ),
        "read-only": lambda: (
            raises(ValueError, velt_core.apply_controlled_1q, frozen, 0, 1, 1, 0, 0, 1),
            raises(ValueError, velt_core.apply_kraus_1q, frozen, 4, 0, ops),
        ),
        # The caller's own exception, raised while a list is being read.
        "own-error": lambda: (
            raises(KeyError, velt_core.apply_gate, psi, failing_generator(0), u4),
            raises(KeyError, velt_core.apply_kraus_1q, rho, 4, 0, failing_generator(ops[0])),
        ),
    }


def main(name, calls, rounds):
    run = scenarios()[name]
    for _ in range(rounds):
        for _ in range(calls):
            run()
        gc.collect()
        print(resident(), flush=True)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
