// Pauli strings and overlaps, summed in the read-outs' order.
//
// A Pauli string is three numbers (src/module turns the letters into them):
// x, the qubits under X or Y; z, those under Y or Z; y, the number of Y's.
// P|i> = i^y (-1)^|i & z| |i ^ x>, so
//   <psi|P|psi> = i^y sum_i (-1)^|i & z| conj(psi[i ^ x]) psi[i].
// Without X or Y (x = 0) the terms are (-1)^|i & z| |psi[i]|^2, one per
// index i in increasing order.  Otherwise the terms of i and i ^ x add up to
// (-1)^|i & z| (c + (-1)^y conj(c)) with c = conj(psi[i ^ x]) psi[i], so one
// term per pair suffices: (-1)^|i & z| Re c for even y, (-1)^|i & z| Im c for
// odd y, with
//   Re c = b.re * a.re + b.im * a.im,  Im c = b.re * a.im - b.im * a.re
// (a = psi[i], b = psi[i ^ x], each product and sum rounded on its own).  The
// pairs are taken by their index i with bit h (the highest qubit of x) clear,
// in increasing order: pair term p has i = insert_zero_bit(p, h).  The sum of
// these terms (parallel/reduce.hpp's order: blocks of sum_block, 8 lanes, the
// blocks' pairwise tree) is multiplied by +2.0 (y = 0 or 3 mod 4) or -2.0
// (y = 1 or 2 mod 4), the real part of i^y times 2.  Multiplying a term by a
// sign of +1.0 or -1.0 is exact.
//
// Strings that share x visit the same pairs in the same order, so one read
// of the state serves them all; pauli_block sums up to pauli_chunk_terms of
// them side by side over one summation block.  Its code is compiled once per
// instruction-set path (src/isa) and forwards to the chosen one; the vector
// lanes only hold the eight lane sums of a block side by side, each lane
// adding its terms in the scalar order, so every path gives the same bits.
#pragma once

#include <cstdint>

#include "common/amplitude.hpp"
#include "common/bits.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

struct pauli_string {
    std::int64_t x = 0;
    std::int64_t z = 0;
    int y = 0;
};

// Terms one pauli_block call sums side by side (one bit each in a mask).
inline constexpr int pauli_chunk_terms = 64;
// Groups of eight pair terms in a summation block (sum_block / 8).
inline constexpr int pauli_groups = 256;

// Up to pauli_chunk_terms strings that share x.
struct pauli_chunk {
    std::int64_t x = 0;  // shared X/Y qubits; 0 for strings of I and Z only
    int h = 0;           // the highest qubit of x (0 when x = 0)
    int count = 0;       // strings, 1 .. pauli_chunk_terms
    std::int64_t z[pauli_chunk_terms] = {};
    bool imaginary[pauli_chunk_terms] = {};  // odd y: the string sums Im c, not Re c
    // Bit t of group_parity[g]: the parity of z[t] & offset(g), offset(g) being
    // the index offset of the g-th group of eight pair terms inside a
    // summation block (insert_zero_bit(8 g, h), or 8 g when x = 0).  The sign
    // of a term is that of the block's first index, of its group's offset and
    // of its place inside the group, multiplied.
    std::uint64_t group_parity[pauli_groups] = {};
};

// The index of pair term p (x != 0) or of term p (x = 0).
inline std::int64_t pauli_index(const pauli_chunk& c, std::int64_t p) {
    return c.x == 0 ? p : insert_zero_bit(p, c.h);
}

// Whether pauli_block needs its `work` scratch for the chunk: it sums up to
// four strings of one kind (all Re c, all Im c, or no X/Y) as the values
// come, when x has a qubit from 3 up (or none); otherwise it stores a
// block's values first.
inline bool pauli_block_needs_work(const pauli_chunk& c) {
    bool real = false;
    bool imaginary = false;
    for (int t = 0; t < c.count; ++t) {
        (c.imaginary[t] ? imaginary : real) = true;
    }
    return c.count > 4 || (real && imaginary) || (c.x != 0 && c.h < 3);
}

// Lane totals (parallel/reduce.hpp, step 2) of every string of `chunk` over
// its terms first .. first + length - 1: totals[t * stride] for string t.
// first is a multiple of sum_block and length = min(sum_block, term count);
// the terms read the amplitudes of those indices and their partners only.
// work: scratch of 2 * sum_block doubles, 64-byte aligned, for this call
// alone, when pauli_block_needs_work(chunk); unused otherwise.
void pauli_block(const amp* psi, const pauli_chunk& chunk, std::int64_t first, std::int64_t length,
                 double* work, double* totals, std::int64_t stride);

// Lane totals of the terms first .. first + length - 1 of <a|b>: totals[0]
// of the real parts ar * br + ai * bi, totals[1] of the imaginary parts
// ar * bi - ai * br (each product and sum rounded on its own).  first is a
// multiple of sum_block, length at most sum_block.
void overlap_block(const amp* a, const amp* b, std::int64_t first, std::int64_t length,
                   double* totals);

// --- the read-outs (compiled once; the blocks above run on the chosen path)

// out[t] = <psi|P_t|psi> for the `count` strings, each bit for bit the value
// that the string alone gives (expectation_pauli).  Strings sharing an x are
// summed in the same read of the state, and strings whose x differ only in
// qubits inside one cache-sized block of the state in the same pass of
// blocks.  Every allocation happens before the state is read; a failure
// throws std::bad_alloc from the calling thread.
void expectation_paulis(const amp* psi, std::int64_t n, const pauli_string* strings,
                        std::int64_t count, double* out);

// <a|b> = sum_i conj(a[i]) b[i], the real and the imaginary parts each summed
// in parallel/reduce.hpp's order (term i = index i).
std::complex<double> inner_product(const amp* a, const amp* b, std::int64_t n);

}  // namespace VELT_PRECISION_NS
}  // namespace velt
