"""Bit-exact NumPy references of the kernels' arithmetic.

Each reference works on separate float64 real and imaginary arrays and spells
out every multiplication and addition in the order the kernels use, so that
NumPy performs exactly the same IEEE-754 operations (one rounding each, no
fused multiply-add).  The references return new arrays and never touch their
inputs.
"""

import numpy as np


@np.errstate(all="ignore")
def cmul(ar, ai, xr, xi):
    """(ar + i ai)(xr + i xi) as (ar xr - ai xi, ar xi + ai xr)."""
    return ar * xr - ai * xi, ar * xi + ai * xr


@np.errstate(all="ignore")  # infinities and NaNs flow through as in the kernels
def pair_update(a0, a1, m):
    """New (a0, a1) of a 2x2 gate m = (m00, m01, m10, m11), complex arrays in."""
    m00, m01, m10, m11 = (complex(x) for x in m)
    out = []
    for first, second in ((m00, m01), (m10, m11)):
        r0, i0 = cmul(first.real, first.imag, a0.real, a0.imag)
        r1, i1 = cmul(second.real, second.imag, a1.real, a1.imag)
        out.append(_pack(r0 + r1, i0 + i1))
    return out[0], out[1]


def _pack(re, im):
    z = np.empty(np.shape(re), dtype=np.complex128)
    z.real = re
    z.imag = im
    return z


def apply_1q(psi, q, m):
    """2x2 gate on qubit q over the first len(psi) // 2^(q+1) whole blocks."""
    out = np.array(psi, dtype=np.complex128, copy=True)
    s = 1 << q
    blocks = len(out) // (2 * s)
    if blocks == 0:
        return out
    v = out[: blocks * 2 * s].reshape(blocks, 2, s)
    new0, new1 = pair_update(v[:, 0, :].copy(), v[:, 1, :].copy(), m)
    v[:, 0, :] = new0
    v[:, 1, :] = new1
    return out


def _walk_bases(n_amps, lo, hi):
    """Indices with bits lo and hi clear inside the whole 2^(hi+1) blocks."""
    if lo == hi:
        return np.zeros(0, dtype=np.int64)
    limit = (n_amps >> (hi + 1)) << (hi + 1)
    x = np.arange(limit, dtype=np.int64)
    return x[(x & ((1 << lo) | (1 << hi))) == 0]


def _exchange(psi, first, second):
    out = np.array(psi, dtype=np.complex128, copy=True)
    out[first], out[second] = out[second].copy(), out[first].copy()
    return out


def apply_cnot(psi, c, t):
    x = _walk_bases(len(psi), min(c, t), max(c, t)) + (1 << c)
    return _exchange(psi, x, x + (1 << t))


def apply_swap(psi, a, b):
    x = _walk_bases(len(psi), min(a, b), max(a, b))
    return _exchange(psi, x + (1 << a), x + (1 << b))


def apply_controlled_1q(psi, c, t, m):
    out = np.array(psi, dtype=np.complex128, copy=True)
    i0 = _walk_bases(len(psi), min(c, t), max(c, t)) + (1 << c)
    i1 = i0 + (1 << t)
    out[i0], out[i1] = pair_update(out[i0], out[i1], m)
    return out


def kron_ops(n, ops):
    """Full 2^n x 2^n operator of the tensor product of 2x2 matrices placed on
    qubits (dict qubit -> matrix, identity elsewhere; qubit 0 lowest)."""
    full = np.eye(1)
    for q in reversed(range(n)):
        full = np.kron(full, np.asarray(ops.get(q, np.eye(2)), dtype=np.complex128).reshape(2, 2))
    return full


def kron_controlled(n, c, t, u):
    """Operator of u on t where c is 1: |0><0|_c x I + |1><1|_c x u_t."""
    p0, p1 = np.diag([1.0, 0.0]), np.diag([0.0, 1.0])
    return kron_ops(n, {c: p0}) + kron_ops(n, {c: p1, t: u})


def kron_swap(n, a, b):
    """SWAP of qubits a and b: the sum over i, j of |i><j| on a times |j><i| on b."""
    units = [np.outer(np.eye(2)[i], np.eye(2)[j]) for i in range(2) for j in range(2)]
    return sum(kron_ops(n, {a: e, b: e.T}) for e in units)


def kron_1q(n, q, u):
    """Full 2^n x 2^n operator of a 2x2 gate u on qubit q (qubit 0 lowest)."""
    return kron_ops(n, {q: u})
