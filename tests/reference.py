"""Bit-exact NumPy references of the kernels' arithmetic.

Each reference works on separate float64 real and imaginary arrays and spells
out every multiplication and addition in the order the kernels use, so that
NumPy performs exactly the same IEEE-754 operations (one rounding each, no
fused multiply-add).  The references return new arrays and never touch their
inputs.

Both precisions: a reference computes in the precision of the state it is
given.  A complex64 state (velt_core.single's) is worked on as float32 arrays,
with the gate entries and matrices first rounded to complex64 as NumPy's
astype rounds them; NumPy's float32 operations round each result to float32,
as the module's single-precision instructions do.  Any other state is taken
as complex128.
"""

import numpy as np


def state_dtype(psi):
    """complex64 for a complex64 state, complex128 for anything else."""
    return np.dtype(np.complex64) if np.asarray(psi).dtype == np.complex64 else np.dtype(np.complex128)


def entries(m, dtype):
    """Gate entries as scalars of `dtype`, rounded once from complex128."""
    return [dtype.type(complex(x)) for x in m]


@np.errstate(all="ignore")
def cmul(ar, ai, xr, xi):
    """(ar + i ai)(xr + i xi) as (ar xr - ai xi, ar xi + ai xr)."""
    return ar * xr - ai * xi, ar * xi + ai * xr


@np.errstate(all="ignore")  # infinities and NaNs flow through as in the kernels
def pair_update(a0, a1, m):
    """New (a0, a1) of a 2x2 gate m = (m00, m01, m10, m11), complex arrays in
    (both of one precision)."""
    m00, m01, m10, m11 = entries(m, state_dtype(a0))
    out = []
    for first, second in ((m00, m01), (m10, m11)):
        r0, i0 = cmul(first.real, first.imag, a0.real, a0.imag)
        r1, i1 = cmul(second.real, second.imag, a1.real, a1.imag)
        out.append(_pack(r0 + r1, i0 + i1))
    return out[0], out[1]


def _pack(re, im):
    z = np.empty(np.shape(re), dtype=np.complex64 if np.asarray(re).dtype == np.float32 else np.complex128)
    z.real = re
    z.imag = im
    return z


def apply_1q(psi, q, m):
    """2x2 gate on qubit q over the first len(psi) // 2^(q+1) whole blocks."""
    out = np.array(psi, dtype=state_dtype(psi), copy=True)
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
    out = np.array(psi, dtype=state_dtype(psi), copy=True)
    out[first], out[second] = out[second].copy(), out[first].copy()
    return out


def apply_cnot(psi, c, t):
    x = _walk_bases(len(psi), min(c, t), max(c, t)) + (1 << c)
    return _exchange(psi, x, x + (1 << t))


def apply_swap(psi, a, b):
    x = _walk_bases(len(psi), min(a, b), max(a, b))
    return _exchange(psi, x + (1 << a), x + (1 << b))


def apply_controlled_1q(psi, c, t, m):
    out = np.array(psi, dtype=state_dtype(psi), copy=True)
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


@np.errstate(all="ignore")
def kraus_1q(rho, n, q, ops):
    """Channel ops (2x2 each, any shape of four) on qubit q of an n-qubit density
    matrix.  Only the first 4^n elements of rho in C order take part; the result
    has rho's shape.  Works on all sub-blocks at once: per operator K, M = K R,
    then C = M K^dagger with conjugates entering as negated imaginary parts,
    then A = A + C from A = +0, operators in list order."""
    dtype = state_dtype(rho)
    out = np.array(rho, dtype=dtype, copy=True)
    flat = out.reshape(-1)
    d, s = 1 << n, 1 << q
    h = d // (2 * s)
    # Row index = (hr, xr, lr) and column index = (hc, xc, lc) with xr, xc the
    # target bits: block[x][y] holds R_xy of every sub-block.
    v = flat[: d * d].reshape(h, 2, s, h, 2, s)
    block = [[v[:, x, :, :, y, :].copy() for y in (0, 1)] for x in (0, 1)]
    r = [[(b.real, b.imag) for b in row] for row in block]
    zero = np.zeros(block[0][0].shape, dtype=r[0][0][0].dtype)
    acc = [[(zero, zero) for _ in (0, 1)] for _ in (0, 1)]

    def add(u, w):
        return u[0] + w[0], u[1] + w[1]

    for op in ops:
        k = list(np.asarray(op, dtype=dtype).reshape(4))
        kk = [[(k[0].real, k[0].imag), (k[1].real, k[1].imag)], [(k[2].real, k[2].imag), (k[3].real, k[3].imag)]]
        m = [[add(cmul(*kk[x][0], *r[0][y]), cmul(*kk[x][1], *r[1][y])) for y in (0, 1)] for x in (0, 1)]
        for x in (0, 1):
            for y in (0, 1):
                # C_xy = M_x0 conj(K_y0) + M_x1 conj(K_y1)
                c = add(
                    cmul(*m[x][0], kk[y][0][0], -kk[y][0][1]),
                    cmul(*m[x][1], kk[y][1][0], -kk[y][1][1]),
                )
                acc[x][y] = add(acc[x][y], c)
    for x in (0, 1):
        for y in (0, 1):
            v[:, x, :, :, y, :] = _pack(*acc[x][y])
    return out


def kraus_dense(rho, n, q, ops):
    """sum_k K rho K^dagger with each K expanded to 2^n x 2^n by np.kron."""
    d = 1 << n
    rho = np.asarray(rho, dtype=np.complex128).reshape(d, d)
    out = np.zeros((d, d), dtype=np.complex128)
    for op in ops:
        full = kron_1q(n, q, op)
        out += full @ rho @ full.conj().T
    return out


@np.errstate(all="ignore")
def matvec(u, g):
    """u times every row of g (groups x dim): each sum starts from +0 and takes
    the columns in increasing order, every product formed."""
    out = np.empty_like(g)
    for r in range(u.shape[0]):
        re = np.zeros(len(g), dtype=g.real.dtype)
        im = np.zeros(len(g), dtype=g.real.dtype)
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
    out = np.array(psi, dtype=state_dtype(psi), copy=True)
    dim = 1 << len(targets)
    addresses = group_addresses(limit, targets, controls)
    if addresses.size:
        out[addresses] = matvec(np.asarray(u, dtype=out.dtype).reshape(dim, dim), out[addresses])
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
