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
