"""Bit-exact NumPy references of the kernels' arithmetic.

Each reference works on separate float64 real and imaginary arrays and spells
out every multiplication and addition in the order the kernels use, so that
NumPy performs exactly the same IEEE-754 operations (one rounding each, no
fused multiply-add).  The references return new arrays and never touch their
inputs.
"""

import math

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


@np.errstate(all="ignore")
def kraus_1q(rho, n, q, ops):
    """Channel ops (2x2 each, any shape of four) on qubit q of an n-qubit density
    matrix.  Only the first 4^n elements of rho in C order take part; the result
    has rho's shape.  Works on all sub-blocks at once: per operator K, M = K R,
    then C = M K^dagger with conjugates entering as negated imaginary parts,
    then A = A + C from A = +0, operators in list order."""
    out = np.array(rho, dtype=np.complex128, copy=True)
    flat = out.reshape(-1)
    d, s = 1 << n, 1 << q
    h = d // (2 * s)
    # Row index = (hr, xr, lr) and column index = (hc, xc, lc) with xr, xc the
    # target bits: block[x][y] holds R_xy of every sub-block.
    v = flat[: d * d].reshape(h, 2, s, h, 2, s)
    block = [[v[:, x, :, :, y, :].copy() for y in (0, 1)] for x in (0, 1)]
    r = [[(b.real, b.imag) for b in row] for row in block]
    zero = np.zeros(block[0][0].shape)
    acc = [[(zero, zero) for _ in (0, 1)] for _ in (0, 1)]

    def add(u, w):
        return u[0] + w[0], u[1] + w[1]

    for op in ops:
        k = [complex(z) for z in np.asarray(op, dtype=np.complex128).reshape(4)]
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


# ------------------------------------------------- diagonal gates, rotations


def _on_controls(n_amps, controls):
    idx = np.arange(n_amps, dtype=np.int64)
    mask = sum(1 << c for c in controls)
    return idx, (idx & mask) == mask


def _parity(values):
    """Parity of the set bits of each int64 value."""
    v = np.asarray(values, dtype=np.uint64).copy()
    for shift in (32, 16, 8, 4, 2, 1):
        v ^= v >> np.uint64(shift)
    return (v & np.uint64(1)).astype(bool)


def apply_diagonal(psi, targets, diag, controls=()):
    """psi[i] = diag[j] psi[i] (the entry first) where every control bit of i
    is 1, j the target bits of i (bit d of j is bit targets[d] of i)."""
    out = np.array(psi, dtype=np.complex128, copy=True)
    idx, on = _on_controls(len(out), controls)
    j = np.zeros(len(out), dtype=np.int64)
    for d, t in enumerate(targets):
        j |= ((idx >> t) & 1) << d
    e = np.asarray(diag, dtype=np.complex128).reshape(-1)[j[on]]
    x = out[on]
    out[on] = _pack(*cmul(e.real, e.imag, x.real, x.imag))
    return out


def pauli_masks(paulis, qubits):
    """(x, z, y): the bits under X or Y, under Z or Y, and the number of Y's."""
    x = sum(1 << q for q, p in zip(qubits, paulis, strict=True) if p in "XY")
    z = sum(1 << q for q, p in zip(qubits, paulis, strict=True) if p in "ZY")
    return x, z, paulis.count("Y")


@np.errstate(all="ignore")
def apply_pauli_rotation(psi, paulis, qubits, cs, controls=()):
    """exp(-i theta/2 P) with (c, s) = cs = (cos(theta/2), sin(theta/2)), as
    the kernel forms it: without X or Y one phase (c, -s or s by the parity of
    i & z) times each amplitude (cmul, the phase first); otherwise, with
    (pre, pim) the partner i ^ x and t = +-s the sign of the exact phase,
    re' = c re + t pre, im' = c im + t pim (odd number of Y's) or
    re' = c re + (-t) pim, im' = c im + t pre (even)."""
    c, s = cs
    out = np.array(psi, dtype=np.complex128, copy=True)
    src = out.copy()
    idx, on = _on_controls(len(out), controls)
    x, z, y = pauli_masks(paulis, qubits)
    odd = _parity(idx & z)
    if x == 0:
        t = np.where(odd, s, -s)
        a = src[on]
        out[on] = _pack(*cmul(np.full(len(a), c), t[on], a.real, a.imag))
        return out
    e_negative = y % 4 < 2
    t = np.where(odd != e_negative, -s, s)[on]
    a = src[on]
    b = src[(idx ^ x)[on]]
    if y % 2 == 0:
        re = c * a.real + (-t) * b.imag
        im = c * a.imag + t * b.real
    else:
        re = c * a.real + t * b.real
        im = c * a.imag + t * b.imag
    out[on] = _pack(re, im)
    return out


def kron_pauli_rotation(n, paulis, qubits, theta, controls=()):
    """Dense exp(-i theta/2 P) where every control is 1, from np.kron and the
    platform's cos and sin (a cross-check to a tolerance)."""
    letters = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]])}
    letters["Z"] = np.diag([1.0, -1.0])
    p = kron_ops(n, {q: letters[a] for q, a in zip(qubits, paulis, strict=True)})
    u = np.cos(theta / 2) * np.eye(1 << n) - 1j * np.sin(theta / 2) * p
    _, on = _on_controls(1 << n, controls)
    return np.where(np.outer(on, on), u, np.eye(1 << n))


# cos(theta/2) and sin(theta/2) as the module computes them, operation for
# operation: Python's floats are IEEE doubles with every operation rounded
# on its own, and its ints are exact.  The digits of 2/pi come from an
# integer computation of pi here (Machin's formula), not from the module's
# table, so a wrong digit there shows as a difference.


def _pi_digits(bits):
    """floor(pi 2^bits), from pi = 16 atan(1/5) - 4 atan(1/239) in integers."""
    guard = 64
    one = 1 << (bits + guard)

    def atan_inv(x):
        total, term, k, sign = 0, one // x, 1, 1
        while term:
            total += sign * (term // k)
            term //= x * x
            k += 2
            sign = -sign
        return total

    return (16 * atan_inv(5) - 4 * atan_inv(239)) >> guard


_DIGITS = 1600
_PI = _pi_digits(_DIGITS + 64)
# 2/pi to _DIGITS binary places, behind 128 zeros (the module's table layout).
_TWO_OVER_PI = ((1 << (2 * (_DIGITS + 64) + 1)) // _PI) >> 64
_SIN = [
    float.fromhex(h)
    for h in (
        "-0x1.5555555555555p-3",
        "0x1.1111111111110p-7",
        "-0x1.a01a01a019938p-13",
        "0x1.71de3a546095bp-19",
        "-0x1.ae645412c560cp-26",
        "0x1.61217f0b800d5p-33",
        "-0x1.ab17d404de57cp-41",
    )
]
_COS = [
    float.fromhex(h)
    for h in (
        "0x1.5555555555555p-5",
        "-0x1.6c16c16c16967p-10",
        "0x1.a01a019f4eb01p-16",
        "-0x1.27e4fa17da09ep-22",
        "0x1.1eeb68e93b64bp-29",
        "-0x1.907da367a379ap-37",
    )
]
_PIO2_HI = float.fromhex("0x1.921fb54442d18p+0")
_PIO2_LO = float.fromhex("0x1.1a62633145c07p-54")


def _product_error(a, b, p):
    ta = 134217729.0 * a
    a_hi = ta - (ta - a)
    a_lo = a - a_hi
    tb = 134217729.0 * b
    b_hi = tb - (tb - b)
    b_lo = b - b_hi
    return ((a_hi * b_hi - p) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo


def _reduce(ax):
    m, e = math.frexp(ax)  # ax = m 2^e, 0.5 <= m < 1
    mant, e = int(m * 2**53), e - 53
    # The 256 digits of 2/pi from digit e - 1 (weight 2^-(e-1)); digits before
    # the point are zeros.
    first = e - 1
    window = (_TWO_OVER_PI >> (_DIGITS - first - 255)) & ((1 << 256) - 1)
    p = mant * window
    quadrant = (p >> 254) & 3
    f = (p >> 62) & ((1 << 192) - 1)  # the fraction's top 192 bits
    negative = f >> 191 != 0
    if negative:
        quadrant = (quadrant + 1) & 3
        f = (1 << 192) - f
    if f == 0:
        return 0.0, 0.0, quadrant
    scale = 192 - f.bit_length()  # so that f << scale has its top bit at 2^191
    g = f << scale
    g0, g1 = g >> 128, (g >> 64) & ((1 << 64) - 1)
    hi = float(g0 >> 11) * 2.0 ** (-53 - scale)
    lo = float(((g0 & 0x7FF) << 52) | (g1 >> 12)) * 2.0 ** (-116 - scale)
    product = hi * _PIO2_HI
    tail = _product_error(hi, _PIO2_HI, product) + (hi * _PIO2_LO + lo * _PIO2_HI)
    r_hi = product + tail
    r_lo = tail - (r_hi - product)
    return (-r_hi, -r_lo, quadrant) if negative else (r_hi, r_lo, quadrant)


def cos_sin_half(theta):
    """(cos(theta/2), sin(theta/2)) bit for bit as the module computes them."""
    x = theta * 0.5
    negative = math.copysign(1.0, x) < 0
    ax = abs(x)
    hi, lo, quadrant = ax, 0.0, 0
    if ax > _PIO2_HI / 2:
        hi, lo, quadrant = _reduce(ax)
    z = hi * hi
    v = z * hi
    tail = _SIN[1] + z * (_SIN[2] + z * (_SIN[3] + z * (_SIN[4] + z * (_SIN[5] + z * _SIN[6]))))
    sn = hi + (v * (_SIN[0] + z * tail) + (lo - (0.5 * z) * lo))
    hz = 0.5 * z
    w = 1.0 - hz
    quartic = (z * z) * (_COS[0] + z * (_COS[1] + z * (_COS[2] + z * (_COS[3] + z * (_COS[4] + z * _COS[5])))))
    cs = w + (((1.0 - w) - hz) + (quartic - hi * lo))
    c, s = ((cs, sn), (-sn, cs), (-cs, -sn), (sn, -cs))[quadrant]
    return c, (-s if negative else s)
