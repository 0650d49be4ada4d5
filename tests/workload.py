"""A fixed sequence of kernel calls whose output bytes are hashed.

Run as a script, it prints the SHA-256 of the states after every call, on
complex128 states through velt_core and then on complex64 ones through
velt_core.single; the thread-count test runs it under several
OMP_NUM_THREADS and compares.  Sizes
are odd on purpose (lengths that are not powers of two, qubits whose block
count does not divide among the workers).
"""

import hashlib

import numpy as np

import velt_core


def run():
    digest = hashlib.sha256()
    for vc, dtype in ((velt_core, np.complex128), (velt_core.single, np.complex64)):
        run_precision(vc, dtype, digest)
    return digest.hexdigest()


def run_precision(vc, dtype, digest):
    """The calls on states of one precision, through that precision's functions."""
    rng = np.random.default_rng(20261208)

    def state(n_amps):
        return (rng.standard_normal(n_amps) + 1j * rng.standard_normal(n_amps)).astype(dtype)

    def mat(dim):
        return rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))

    # 2^15 amplitudes make several tiles of the parallel loop for every kernel.
    for n_amps in (2**15, 3 * 2**11 + 7, 2**4):
        psi = state(n_amps)
        for q in range(14):
            vc.apply_1q(psi, q, *mat(2).reshape(4))
            digest.update(psi.tobytes())
        for a, b in ((0, 1), (1, 0), (0, 12), (12, 3), (7, 13), (5, 5)):
            vc.apply_cnot_fast(psi, a, b)
            vc.apply_swap(psi, b, a)
            vc.apply_controlled_1q(psi, a, b, *mat(2).reshape(4))
            digest.update(psi.tobytes())

        # Target sets low, mixed and high, so that the outer count ranges from
        # many iterations down to one.
        for targets in ([0], [0, 1], [0, 1, 2], [3, 1], [12, 0, 7], [2, 13, 5, 9], [13, 12, 11, 10]):
            vc.apply_gate_fast(psi, targets, mat(1 << len(targets)))
            digest.update(psi.tobytes())

    # Low targets and controls, on a state large enough for every worker to
    # take several tiles of the 2x2 kernels.
    psi = state(2**17 + 3)
    for q in (0, 1, 2, 3, 5):
        vc.apply_1q(psi, q, *mat(2).reshape(4))
        digest.update(psi.tobytes())
    for c, t in ((1, 2), (2, 0), (0, 6), (9, 1), (1, 9), (2, 16)):
        vc.apply_controlled_1q(psi, c, t, *mat(2).reshape(4))
        digest.update(psi.tobytes())

    psi = state(2**16)
    for targets, controls in (([0, 1], [2]), ([0], [2, 1]), ([0, 1, 2], [])):
        vc.apply_gate(psi, targets, mat(1 << len(targets)), controls)
        digest.update(psi.tobytes())

    psi = state(2**13)
    for targets, controls in (([], [4]), ([0], []), ([5, 2], [12]), ([1, 11, 6], [0, 9]), ([12, 3, 8, 0, 10], [])):
        vc.apply_gate(psi, targets, mat(1 << len(targets)), controls)
        digest.update(psi.tobytes())

    # Diagonal gates and Pauli rotations, low, mixed and high, with controls
    # inside and outside a vector chunk, on a state of several tiles.
    psi = state(2**16)
    for targets, controls in (([0], []), ([1, 0], [5]), ([2, 9, 15], [1]), ([4, 3, 8, 0, 12, 7], [])):
        vc.apply_diagonal(psi, targets, mat(1 << len(targets))[0], controls)
        digest.update(psi.tobytes())
    for paulis, qubits, controls in (("Z", [0], []), ("ZZ", [3, 15], [0]), ("X", [0], []), ("XY", [15, 1], [2])):
        vc.apply_pauli_rotation(psi, paulis, qubits, float(rng.uniform(-9, 9)), controls)
        digest.update(psi.tobytes())
    for paulis, qubits in (("YZX", [2, 7, 12]), ("XIXZ", [0, 5, 14, 3])):
        vc.apply_pauli_rotation(psi, paulis, qubits, float(rng.uniform(-9, 9)))
        digest.update(psi.tobytes())

    # Density matrices: 2^7 rows do not split evenly over 3 workers, and the
    # highest qubit leaves the upper half of the row range empty.  The extra
    # elements past 4^n must come through untouched.
    for n in (7, 4, 1):
        rho = state(4**n + 5)
        for q in range(n):
            for count in (1, 3):
                vc.apply_kraus_1q(rho, n, q, [mat(2) / 2 for _ in range(count)])
                digest.update(rho.tobytes())
    # The Pauli-string and overlap read-outs: blocks of sums shared among the
    # workers (cache-blocked passes from 2^16 amplitudes on).
    for n in (17, 13):
        psi = state(2**n)
        terms = [("XX", [q, (q + 1) % n]) for q in range(n)] + [("ZZ", [q, (q + 1) % n]) for q in range(n)]
        terms += [("YZX", [0, 5, n - 1]), ("XYZI", [n - 2, 3, 9, 1]), ("Y", [2])]
        digest.update(vc.expectation_paulis(psi, terms).tobytes())
        digest.update(np.array([vc.expectation_pauli_sum(psi, np.arange(len(terms)) - 3.5, terms)]).tobytes())
        digest.update(np.array([vc.inner_product(psi, state(2**n))]).tobytes())

    # Channels and conjugations on several qubits, and trajectory steps on a
    # state of several read-out blocks (finite, as the step requires).
    for n in (7, 5, 2):
        rho = state(4**n + 3)
        for qubits in ([0, 1], [n - 1, 0], [1, n - 1, 0] if n > 2 else [1]):
            vc.apply_kraus(rho, n, qubits, [mat(1 << len(qubits)) / 4 for _ in range(3)])
            digest.update(rho.tobytes())
            vc.apply_unitary_rho(rho, n, qubits[:2], mat(1 << len(qubits[:2])) / 2, qubits[2:])
            digest.update(rho.tobytes())
    psi = state(2**15)
    for qubits in ([0], [14, 3], [12, 0, 13], [5, 6, 7]):
        k = len(qubits)
        index = vc.apply_kraus_sampled(psi, qubits, [mat(1 << k) for _ in range(4)], 0.4)
        digest.update(psi.tobytes() + bytes([index]))
        # Operators with one nonzero entry per row (no dense products).
        sparse = [np.eye(1 << k)[::-1] * mat(1)[0, 0], np.diag(mat(1 << k)[0])]
        index = vc.apply_kraus_sampled(psi, qubits, sparse, 0.7)
        digest.update(psi.tobytes() + bytes([index]))


if __name__ == "__main__":
    print(run())
