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


def apply_diagonal(psi, n, targets, diag):
    """psi[i] *= diag[j], j the target bits of i (bit d = qubit targets[d]), as a
    broadcast product over the state's qubit axes."""
    k = len(targets)
    d = np.asarray(diag, dtype=np.complex128).reshape([2] * k)  # axis 0 = the highest gate bit
    shape = [1] * n
    order = []
    for axis_of_d in range(k):  # tensor axis axis_of_d of d is gate bit k - 1 - axis_of_d
        order.append(_axis(n, targets[k - 1 - axis_of_d]))
    # Put d's axes in the state's axis order, then give them their places.
    perm = np.argsort(order)
    d = np.transpose(d, perm)
    for a in sorted(order):
        shape[a] = 2
    view = psi.reshape([2] * n)
    view *= d.reshape(shape)


PAULI = {
    "I": np.eye(2),
    "X": np.array([[0, 1], [1, 0]]),
    "Y": np.array([[0, -1j], [1j, 0]]),
    "Z": np.diag([1.0, -1.0]),
}


def apply_pauli_rotation(psi, n, paulis, qubits, theta):
    """exp(-i theta/2 P): a diagonal for I/Z strings, a dense gate otherwise."""
    p = np.eye(1)
    for letter in paulis:  # the first letter ends up as the lowest gate bit
        p = np.kron(PAULI[letter], p)
    u = np.cos(theta / 2) * np.eye(1 << len(qubits)) - 1j * np.sin(theta / 2) * p
    if all(letter in "IZ" for letter in paulis):
        apply_diagonal(psi, n, qubits, np.diag(u))
    else:
        apply_dense(psi, n, qubits, u)


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
