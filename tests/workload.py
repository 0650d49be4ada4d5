"""A fixed sequence of kernel calls whose output bytes are hashed.

Run as a script, it prints the SHA-256 of the states after every call; the
thread-count test runs it under several OMP_NUM_THREADS and compares.  Sizes
are odd on purpose (lengths that are not powers of two, qubits whose block
count does not divide among the workers).
"""

import hashlib

import numpy as np

import velt_core


def run():
    rng = np.random.default_rng(20261208)
    digest = hashlib.sha256()

    def state(n_amps):
        return rng.standard_normal(n_amps) + 1j * rng.standard_normal(n_amps)

    def mat(dim):
        return rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))

    for n_amps in (2**13, 3 * 2**11 + 7, 2**4):
        psi = state(n_amps)
        for q in range(14):
            velt_core.apply_1q(psi, q, *mat(2).reshape(4))
            digest.update(psi.tobytes())
        # Target sets low, mixed and high, so that the outer count ranges from
        # many iterations down to one.
        for targets in ([0], [3, 1], [12, 0, 7], [2, 13, 5, 9], [13, 12, 11, 10]):
            velt_core.apply_gate_fast(psi, targets, mat(1 << len(targets)))
            digest.update(psi.tobytes())

    psi = state(2**13)
    for targets, controls in (([], [4]), ([0], []), ([5, 2], [12]), ([1, 11, 6], [0, 9]), ([12, 3, 8, 0, 10], [])):
        velt_core.apply_gate(psi, targets, mat(1 << len(targets)), controls)
        digest.update(psi.tobytes())
    return digest.hexdigest()


if __name__ == "__main__":
    print(run())
