"""What a Python simulator without native kernels does: the same gates and
channels applied with NumPy's tensordot on the state reshaped into one axis
per qubit.  These are the baselines the kernels are compared with, and their
results check the kernels' results in every benchmark case."""

import numpy as np


def _axis(n, q):
    # C order: the first axis is the most significant qubit.
    return n - 1 - q


def apply_dense(psi, n, targets, u):
    """u (2^k x 2^k, bit d of its index = qubit targets[d]) on targets, in place."""
    k = len(targets)
    t = np.asarray(u, dtype=np.complex128).reshape([2] * (2 * k))
    # Tensor axes of u: outputs then inputs, each most significant gate bit first.
    in_axes = list(range(k, 2 * k))
    state_axes = [_axis(n, targets[k - 1 - d]) for d in range(k)]
    out = np.tensordot(t, psi.reshape([2] * n), axes=(in_axes, state_axes))
    out = np.moveaxis(out, list(range(k)), state_axes)
    psi[...] = out.reshape(psi.shape)


def controlled_matrix(u, n_controls):
    """The matrix of u conditioned on n_controls further qubits (gate bits above
    u's own), identity where any control is 0."""
    dim = np.asarray(u).shape[0]
    full = np.eye(dim << n_controls, dtype=np.complex128)
    full[-dim:, -dim:] = u
    return full


def apply_gate(psi, n, targets, u, controls=()):
    u = np.asarray(u, dtype=np.complex128).reshape(1 << len(targets), 1 << len(targets))
    apply_dense(psi, n, list(targets) + list(controls), controlled_matrix(u, len(controls)))


def apply_kraus(rho, n, q, ops):
    """rho <- sum K rho K^dagger with each K on qubit q of an n-qubit matrix."""
    r = rho.reshape([2] * (2 * n))
    row, col = _axis(n, q), n + _axis(n, q)
    total = np.zeros_like(r)
    for k in ops:
        k = np.asarray(k, dtype=np.complex128).reshape(2, 2)
        left = np.moveaxis(np.tensordot(k, r, axes=([1], [row])), 0, row)
        total += np.moveaxis(np.tensordot(left, k.conj(), axes=([col], [1])), -1, col)
    rho[...] = total.reshape(rho.shape)


def conjugate(rho, n, targets, u, controls=()):
    """rho <- U rho U^dagger on the vectorised n-qubit matrix (rows are qubits
    n..2n-1): u on the row qubits, then conj(u) on the column qubits."""
    v = rho.reshape(-1)
    u = np.asarray(u, dtype=np.complex128)
    apply_gate(v, 2 * n, [t + n for t in targets], u, [c + n for c in controls])
    apply_gate(v, 2 * n, targets, u.conj(), controls)


def apply_channel(rho, n, qubits, ops):
    """rho <- sum K rho K^dagger with each K on `qubits`."""
    total = np.zeros_like(rho)
    for k in ops:
        term = rho.copy()
        conjugate(term, n, qubits, k)
        total += term
    rho[...] = total
