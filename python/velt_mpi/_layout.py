"""Index bookkeeping between the physical slices and the logical state.

Physical index of local amplitude i on rank r: r * 2^l + i, l being the
number of local qubits.  Physical bit b holds logical qubit p2l[b]; the map
changes when an exchange swaps a rank-selecting bit with a local one, or when
a SWAP gate is recorded as a relabelling.
"""

import numpy as np
from numpy.lib.stride_tricks import as_strided


def logical_view(full, p2l, phys_start, c):
    """A view into `full` (1-D, logical order) of the 2^c amplitudes at
    physical indices phys_start ... phys_start + 2^c - 1 (phys_start a
    multiple of 2^c), shaped so that `view[...] = chunk.reshape(view.shape)`
    puts a chunk of the physical slice where it belongs.

    Physical bits at or above c are fixed by phys_start; the bits below vary.
    Neighbouring physical bits that hold neighbouring logical qubits merge
    into one axis, so an unpermuted layout gives a single contiguous axis."""
    base = 0
    rest, b = phys_start >> c, c
    while rest:
        if rest & 1:
            base |= 1 << p2l[b]
        rest >>= 1
        b += 1
    runs = []  # (number of bits, lowest logical qubit), from the lowest physical bit up
    b = 0
    while b < c:
        start = b
        while b + 1 < c and p2l[b + 1] == p2l[b] + 1:
            b += 1
        runs.append((b - start + 1, p2l[start]))
        b += 1
    runs.reverse()  # C order: the highest physical bits vary slowest
    shape = tuple(1 << width for width, _ in runs)
    strides = tuple((1 << low) * full.itemsize for _, low in runs)
    return as_strided(full[base:], shape=shape, strides=strides, writeable=True)


def sum_out(values, bits, free):
    """Sums the flat array `values` over the index bits listed in `free`, the
    lowest first; bit i of a position in `values` stands for bits[i].

    Each step adds the two halves that differ in one bit, so every entry is
    the perfect binary tree of its terms in index order: the tree over a
    range of contiguous slices is the tree of the slices' own trees, which is
    what lets ranks (and chunks) combine their partial sums into the same
    bits as one pass over the whole state.  Returns (values, remaining bits)."""
    bits = list(bits)
    for b in sorted(free):
        i = bits.index(b)
        v = values.reshape(-1, 2, 1 << i)
        values = (v[:, 0, :] + v[:, 1, :]).reshape(-1)
        del bits[i]
    return values, bits


def local_marginal(local, qubits, chunk):
    """Marginal probabilities of a slice over its local bits `qubits`: entry j
    sums |a|^2 (as re*re + im*im, in double from a complex64 slice's parts)
    over the amplitudes whose bit qubits[e] is bit e of j.  Summed chunk by
    chunk through sum_out, so the bits do not depend on the chunk size."""
    n_amps = local.shape[0]
    width = n_amps.bit_length() - 1
    c = min(width, max(chunk, 1).bit_length() - 1)
    kept = set(qubits)
    low = list(range(c))
    parts = []
    for start in range(0, n_amps, 1 << c):
        a = local[start : start + (1 << c)].astype(np.complex128)  # exact for complex64
        sq = a.real * a.real + a.imag * a.imag
        part, _ = sum_out(sq, low, [b for b in low if b not in kept])
        parts.append(part)
    values = np.concatenate(parts)
    bits = [b for b in low if b in kept] + list(range(c, width))
    values, bits = sum_out(values, bits, [b for b in range(c, width) if b not in kept])
    return reorder(values, bits, qubits)


def reorder(values, bits, qubits):
    """From positions whose bit i stands for bits[i] to entries whose bit e
    stands for qubits[e] (the same set of bits)."""
    j = np.arange(1 << len(qubits), dtype=np.int64)
    position = np.zeros_like(j)
    for e, q in enumerate(qubits):
        position |= ((j >> e) & 1) << bits.index(q)
    return values[position]


# velt_core's read-out sums: blocks of BLOCK terms; inside a block term t goes
# to lane t % 8, each lane adds its terms in order from +0.0, and the lanes
# meet as ((l0 + l1) + (l2 + l3)) + ((l4 + l5) + (l6 + l7)); the block totals
# meet in a pairwise tree.
BLOCK = 2048
BLOCK_BITS = 11


def lane_totals(terms):
    """The lane total of each block of `terms` (the last block may be short)."""
    out = []
    for start in range(0, len(terms), BLOCK):
        block = terms[start : start + BLOCK]
        rows = -(-len(block) // 8)
        padded = np.zeros((rows + 1, 8))  # a first row of zeros: each lane starts from +0.0
        padded[1:].flat[: len(block)] = block
        lane = np.cumsum(padded, axis=0)[-1]  # cumsum adds strictly in order
        out.append(((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7])))
    return np.array(out)


def pairwise(values):
    """The pairwise tree of the block totals: neighbours added level by level,
    an odd one out carried up; an empty list sums to 0.0."""
    values = list(values)
    if not values:
        return 0.0
    while len(values) > 1:
        pairs = [values[2 * i] + values[2 * i + 1] for i in range(len(values) // 2)]
        values = pairs + values[2 * len(pairs) :]
    return float(values[0])
