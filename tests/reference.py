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


def kron_1q(n, q, u):
    """Full 2^n x 2^n operator of a 2x2 gate u on qubit q (qubit 0 lowest)."""
    u = np.asarray(u, dtype=np.complex128).reshape(2, 2)
    return np.kron(np.kron(np.eye(1 << (n - q - 1)), u), np.eye(1 << q))


@np.errstate(all="ignore")
def matvec(u, g):
    """u times every row of g (groups x dim): each sum starts from +0 and takes
    the columns in increasing order, every product formed."""
    out = np.empty_like(g)
    for r in range(u.shape[0]):
        re = np.zeros(len(g))
        im = np.zeros(len(g))
        for c in range(u.shape[1]):
            pr, pi = cmul(u[r, c].real, u[r, c].imag, g[:, c].real, g[:, c].imag)
            re = re + pr
            im = im + pi
        out[:, r] = _pack(re, im)
    return out


def group_addresses(limit, targets, controls=()):
    """Addresses of the amplitude groups below `limit` whose control bits are
    all 1, one row per group; column j is gate index j (bit d = targets[d])."""
    target_mask = sum(1 << t for t in targets)
    control_mask = sum(1 << c for c in controls)
    idx = np.arange(limit, dtype=np.int64)
    bases = idx[((idx & target_mask) == 0) & ((idx & control_mask) == control_mask)]
    offsets = [sum(1 << t for d, t in enumerate(targets) if j >> d & 1) for j in range(1 << len(targets))]
    return bases[:, None] | np.array(offsets, dtype=np.int64)[None, :]


def _dense_gate(psi, limit, targets, u, controls=()):
    out = np.array(psi, dtype=np.complex128, copy=True)
    dim = 1 << len(targets)
    addresses = group_addresses(limit, targets, controls)
    if addresses.size:
        out[addresses] = matvec(np.asarray(u, dtype=np.complex128).reshape(dim, dim), out[addresses])
    return out


def fast_limit(length, targets):
    """apply_gate_fast touches the indices below 2^(t+1) * floor(length / 2^(t+1)),
    t the highest target."""
    width = max(targets) + 1
    return (length >> width) << width


def apply_gate_fast(psi, targets, u):
    return _dense_gate(psi, fast_limit(len(psi), targets), targets, u)


def apply_gate(psi, targets, u, controls=()):
    return _dense_gate(psi, len(psi), targets, u, controls)


def kron_gate(n, targets, u, controls=()):
    """Full 2^n x 2^n operator of u on `targets` where every control is 1.

    Built with np.kron on a reordered register whose qubits, from the lowest
    bit up, are the free qubits, the controls and then the targets in list
    order (so that the gate index is the top k bits), then permuted back.
    """
    k, c = len(targets), len(controls)
    free = [q for q in range(n) if q not in targets and q not in controls]
    u = np.asarray(u, dtype=np.complex128).reshape(1 << k, 1 << k)
    on = np.zeros((1 << c, 1 << c))
    on[-1, -1] = 1  # projector onto "every control is 1"
    block = np.kron(u, on) + np.kron(np.eye(1 << k), np.eye(1 << c) - on)
    op = np.kron(block, np.eye(1 << len(free)))
    idx = np.arange(1 << n)
    new = np.zeros_like(idx)
    for position, qubit in enumerate(free + list(controls) + list(targets)):
        new |= ((idx >> qubit) & 1) << position
    return op[np.ix_(new, new)]
