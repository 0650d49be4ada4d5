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
as complex128.  A rotation's c and s are the doubles of cos_sin_half, each
rounded to float once.  The read-outs (Pauli values, overlaps, a trajectory
step's probabilities and its renormalisation) widen each part to float64
exactly and work in double from there, whatever the state's precision.
"""

import math

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
    dtype = state_dtype(psi)
    out = np.array(psi, dtype=dtype, copy=True)
    idx, on = _on_controls(len(out), controls)
    j = np.zeros(len(out), dtype=np.int64)
    for d, t in enumerate(targets):
        j |= ((idx >> t) & 1) << d
    e = np.asarray(diag).astype(dtype).reshape(-1)[j[on]]
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
    re' = c re + (-t) pim, im' = c im + t pre (even).  On a complex64 state
    c and s (doubles) are first rounded to float once each."""
    dtype = state_dtype(psi)
    part = np.float32 if dtype == np.complex64 else np.float64
    c, s = (part(v) for v in cs)
    out = np.array(psi, dtype=dtype, copy=True)
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


# ---- the read-outs' sums: Pauli strings and overlaps ----------------------------------------

SUM_BLOCK = 2048
SUM_LANES = 8


@np.errstate(all="ignore")
def lane_totals(terms):
    """Lane totals of consecutive blocks of 2048 terms (the last may be
    shorter when it is the only one): term t of a block to lane t % 8, each
    lane added from +0.0 in order, the lanes as ((l0 + l1) + (l2 + l3)) +
    ((l4 + l5) + (l6 + l7))."""
    terms = np.asarray(terms, dtype=np.float64)
    per = min(SUM_BLOCK, len(terms))
    rows = np.zeros((len(terms) // per, 1 + -(-per // SUM_LANES), SUM_LANES))  # a first row of +0.0
    rows[:, 1:, :].reshape(len(rows), -1)[:, :per] = terms.reshape(-1, per)
    lane = np.add.accumulate(rows, axis=1)[:, -1, :]  # accumulate adds strictly in order
    low = (lane[:, 0] + lane[:, 1]) + (lane[:, 2] + lane[:, 3])
    return low + ((lane[:, 4] + lane[:, 5]) + (lane[:, 6] + lane[:, 7]))


def pairwise_total(values):
    """Neighbours added level by level, an odd one out carried up."""
    values = [float(v) for v in values]
    while len(values) > 1:
        pairs = [values[2 * i] + values[2 * i + 1] for i in range(len(values) // 2)]
        values = pairs + values[len(pairs) * 2 :]
    return values[0] if values else 0.0


def blocked_sum(terms):
    """The read-outs' sum of a power-of-two count of terms: blocks of 2048,
    lanes inside, the blocks' totals by the tree."""
    return pairwise_total(lane_totals(terms))


def _parity(values):
    out = np.zeros_like(values)
    values = values.copy()
    while values.any():
        out ^= values & 1
        values >>= 1
    return out


@np.errstate(all="ignore")
def expectation_pauli(psi, paulis, qubits):
    """<psi|P|psi>: one term per index (no X or Y) or per pair, i with the top
    X/Y bit clear in increasing order: sign * Re c or sign * Im c, c =
    conj(psi[i ^ x]) psi[i]; the sum times +2 or -2 by the number of Y's."""
    psi = np.asarray(psi, dtype=np.complex128)
    x, z, y = pauli_masks(paulis, qubits)
    idx = np.arange(len(psi), dtype=np.int64)
    if x == 0:
        a = psi
        terms = (1.0 - 2.0 * _parity(idx & z)) * (a.real * a.real + a.imag * a.imag)
        return blocked_sum(terms)
    h = x.bit_length() - 1
    i = idx[(idx >> h) & 1 == 0]
    a, b = psi[i], psi[i ^ x]
    c = b.real * a.imag - b.imag * a.real if y % 2 else b.real * a.real + b.imag * a.imag
    total = blocked_sum((1.0 - 2.0 * _parity(i & z)) * c)
    return (2.0 if y % 4 in (0, 3) else -2.0) * total


def expectation_paulis(psi, terms):
    return np.array([expectation_pauli(psi, paulis, qubits) for paulis, qubits in terms], dtype=np.float64)


def expectation_pauli_sum(psi, coeffs, terms):
    """From 0.0, coeffs[t] * value[t] added in term order."""
    total = 0.0
    for c, v in zip(np.asarray(coeffs, dtype=np.float64).ravel(), expectation_paulis(psi, terms), strict=True):
        total = total + float(c) * float(v)
    return total


@np.errstate(all="ignore")
def inner_product(a, b):
    """sum conj(a_i) b_i: (ar*br + ai*bi) and (ar*bi - ai*br), each part by
    the read-outs' sum."""
    a = np.asarray(a, dtype=np.complex128)
    b = np.asarray(b, dtype=np.complex128)
    re = a.real * b.real + a.imag * b.imag
    im = a.real * b.imag - a.imag * b.real
    return complex(blocked_sum(re), blocked_sum(im))


PAULI_MATRICES = {
    "I": np.eye(2),
    "X": np.array([[0, 1], [1, 0]]),
    "Y": np.array([[0, -1j], [1j, 0]]),
    "Z": np.diag([1.0, -1.0]),
}


def dense_pauli(n, paulis, qubits):
    """The 2^n x 2^n matrix of the string, by np.kron (qubit 0 the last factor)."""
    ops = ["I"] * n
    for p, q in zip(paulis, qubits, strict=True):
        ops[q] = p
    m = np.eye(1)
    for q in reversed(range(n)):
        m = np.kron(m, PAULI_MATRICES[ops[q]])
    return m


# ---- multi-qubit channels, conjugation of rho, trajectory steps -------------------------------


@np.errstate(all="ignore")
def superoperator(ops, k, dtype=np.complex128):
    """S[(g,h),(a,b)] (index g * 2^k + h) = the sum over the operators, in list
    order and starting with the first operator's term, of K[g][a] conj(K[h][b]),
    with the operators rounded to `dtype` and the arithmetic in its precision."""
    side = 1 << k
    g, h, a, b = np.meshgrid(*(np.arange(side),) * 4, indexing="ij")
    total = None
    for op in ops:
        m = np.asarray(op).astype(dtype).reshape(side, side)
        left, right = m[g, a], m[h, b]
        term = cmul(left.real, left.imag, right.real, -right.imag)
        total = term if total is None else (total[0] + term[0], total[1] + term[1])
    return _pack(*total).reshape(side * side, side * side)


@np.errstate(all="ignore")
def matvec_real(s, g):
    """The real matrix s times every row of g: each sum from +0 over increasing
    columns, each product s * x.re, s * x.im."""
    out = np.empty_like(g)
    for r in range(s.shape[0]):
        re = np.zeros(len(g), dtype=g.real.dtype)
        im = np.zeros(len(g), dtype=g.real.dtype)
        for c in range(s.shape[1]):
            re = re + s[r, c] * g[:, c].real
            im = im + s[r, c] * g[:, c].imag
        out[:, r] = _pack(re, im)
    return out


def kraus(rho, n, qubits, ops):
    """apply_kraus: one qubit as apply_kraus_1q; more as the superoperator on the
    vectorised rho (column qubits low, row qubits high), real when every entry
    of S has a zero imaginary part."""
    if len(qubits) == 1:
        return kraus_1q(rho, n, qubits[0], ops)
    dtype = state_dtype(rho)
    out = np.array(rho, dtype=dtype, copy=True)
    flat = out.reshape(-1)
    s = superoperator(ops, len(qubits), dtype)
    addresses = group_addresses(1 << (2 * n), list(qubits) + [q + n for q in qubits])
    if np.all(s.imag == 0):
        flat[addresses] = matvec_real(s.real, flat[addresses])
    else:
        flat[addresses] = matvec(s, flat[addresses])
    return out


def kraus_dense_multi(rho, n, qubits, ops):
    """sum_k K rho K^dagger with each K expanded by kron_gate."""
    d = 1 << n
    rho = np.asarray(rho, dtype=np.complex128).reshape(-1)[: d * d].reshape(d, d)
    out = np.zeros((d, d), dtype=np.complex128)
    for op in ops:
        full = kron_gate(n, qubits, op)
        out += full @ rho @ full.conj().T
    return out


def unitary_rho(rho, n, targets, u, controls=()):
    """U rho U^dagger as apply_gate with u on the row qubits (q + n) of the
    vectorised rho, then apply_gate with conj(u) on the column qubits."""
    dtype = state_dtype(rho)
    out = np.array(rho, dtype=dtype, copy=True)
    flat = out.reshape(-1)
    size = 1 << (2 * n)
    u = np.asarray(u).astype(dtype)  # conj(u) of the rounded u: the same bits either way
    rows = apply_gate(flat[:size], [t + n for t in targets], u, [c + n for c in controls])
    flat[:size] = apply_gate(rows, targets, np.conj(u), controls)
    return out


READOUT_BLOCK = 2048


def readout_lane_total(terms):
    """Term t to lane t % 8, each lane added from +0.0 in order; lanes met by a fixed tree."""
    rows = -(-len(terms) // 8)
    padded = np.zeros((rows + 1, 8))
    padded[1:].flat[: len(terms)] = terms
    lane = np.cumsum(padded, axis=0)[-1]  # cumsum adds strictly in order
    return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]))


def readout_sum(terms):
    """The read-outs' order: lane totals of blocks of 2048 terms, then a pairwise tree."""
    terms = np.asarray(terms, dtype=np.float64)
    values = [readout_lane_total(terms[s : s + READOUT_BLOCK]) for s in range(0, len(terms), READOUT_BLOCK)]
    if not values:
        return 0.0
    while len(values) > 1:
        pairs = [values[2 * i] + values[2 * i + 1] for i in range(len(values) // 2)]
        values = pairs + values[len(pairs) * 2 :]
    return values[0]


TINY_PROBABILITY = 2.0**-900


def renormalising_power(p):
    """2^floor(-E / 2) for p = f 2^E, 0.5 <= f < 1."""
    return 2.0 ** ((-np.frexp(p)[1]) // 2)


def norm2_terms(x):
    """|x_i|^2 as the read-outs form it: both parts widened to double, re*re + im*im."""
    re, im = x.real.astype(np.float64), x.imag.astype(np.float64)
    return re * re + im * im


@np.errstate(all="ignore")
def renormalise(kept, p):
    """Both parts of every amplitude times 1/sqrt(p); below TINY_PROBABILITY,
    times an exact power of two and then 1/sqrt of the squared norm (in the
    read-outs' order) of the amplitudes so multiplied.  In double precision
    whatever kept's: a complex64 amplitude's parts are widened, and each
    product is rounded to float once at the end."""
    dtype = state_dtype(kept)
    re, im = kept.real.astype(np.float64), kept.imag.astype(np.float64)
    if p < TINY_PROBABILITY:
        pre = renormalising_power(p)
        re, im = re * pre, im * pre
        p = readout_sum(re * re + im * im)
    scale = 1.0 / np.sqrt(np.float64(p))
    return _pack(re * scale, im * scale).astype(dtype)


def kraus_sampled(psi, qubits, ops, u):
    """(index, new state) of apply_kraus_sampled, from its probabilities in the
    read-outs' order and its running totals: K psi in the state's precision,
    everything after it in double."""
    psi = np.asarray(psi, dtype=state_dtype(psi))
    images = [apply_gate(psi, qubits, op) for op in ops]
    p = [readout_sum(norm2_terms(x)) for x in images]
    running = list(np.cumsum(p))  # left to right
    threshold = u * running[-1]
    hits = [i for i, c in enumerate(running) if c > threshold]
    chosen = hits[0] if hits else max(i for i, value in enumerate(p) if value > 0)
    return chosen, renormalise(images[chosen], p[chosen])
