// Read-outs of a state vector: probabilities, Pauli expectation values,
// sampling and the projective measurement of one qubit.
//
// Arguments come in the order of the gate kernels: the amplitudes and their
// count n, then the qubits, then the rest.  n is a power of two and the
// qubits are distinct and below log2(n); the bindings in src/module check
// this (and everything else) before a read-out is called.  Every sum is
// formed as parallel/reduce.hpp describes, so every result is the same bit
// for bit for any number of workers.  |a|^2 is a.re * a.re + a.im * a.im.
//
// All read-out arithmetic is double precision, in both compilations: each
// part of a complex64 amplitude is widened to double (exactly) where it is
// read, and everything after that (products, sums, signs, the scale of a
// collapse) is the complex128 compilation's arithmetic on those doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/amplitude.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

inline double norm2(const amp& a) {
    const double re = a.real();
    const double im = a.imag();
    return re * re + im * im;
}

// norm2 of the amplitude with both parts multiplied by `factor` first, in
// double (the scaled parts are not rounded to the state's precision).
inline double norm2_scaled(const amp& a, double factor) {
    const double re = static_cast<double>(a.real()) * factor;
    const double im = static_cast<double>(a.imag()) * factor;
    return re * re + im * im;
}

// out[i] = |psi[i]|^2 for every i < n.
void probabilities(const amp* psi, std::int64_t n, double* out);

// The 2^k marginal probabilities of qubits[0 .. k): out[j] sums |psi[i]|^2
// over the indices i whose bit qubits[d] equals bit d of j.  The terms of
// out[j] are taken in increasing order of i; k = 0 gives the squared norm.
void marginal_probabilities(const amp* psi, std::int64_t n, const int* qubits, int k, double* out);

// The same sums, in the same order, of |factor * psi[i]|^2: both parts of
// each amplitude multiplied by `factor` before they are squared.
void marginal_probabilities_scaled(const amp* psi, std::int64_t n, const int* qubits, int k,
                                   double factor, double* out);

// <psi|P|psi> for P = letters[0] on qubits[0] x ... x letters[k-1] on
// qubits[k-1], letters from "IXYZ" (checked by the binding).  No scratch of
// the state's size and no write.
double expectation_pauli(const amp* psi, std::int64_t n, const int* qubits, const char* letters,
                         int k);

// Cumulative probabilities for sample().  The state is cut into leaves of
// sample_leaf amplitudes; starts[b] is where leaf b's share of [0, total)
// begins and starts[leaves] where the last one ends.
struct sample_table {
    std::int64_t leaf = 0;  // amplitudes per leaf (n when n < sample_leaf)
    std::vector<double> starts;
    double total = 0.0;  // the sum of every |psi[i]|^2 by the leaves' tree
};
inline constexpr std::int64_t sample_leaf = 64;

// One pass over the state: leaf sums, their pairwise tree and the leaf starts.
sample_table sample_prepare(const amp* psi, std::int64_t n);

// out[s] = the index drawn by uniforms[s] (0 <= u < 1) on a table whose total
// is positive and finite.
void sample_search(const amp* psi, const sample_table& table, const double* uniforms,
                   std::int64_t count, std::int64_t* out);

// Keeps the half of the state where qubit q equals `outcome`, multiplied by
// `scale` (each part's product formed in double, then rounded to the state's
// precision), and sets the other half to +0.0.
void collapse(amp* psi, std::int64_t n, int q, int outcome, double scale);

// The same with each part of a kept amplitude multiplied by `pre`, then by
// `scale`.
void collapse(amp* psi, std::int64_t n, int q, int outcome, double pre, double scale);

// Squared norms below this are renormalised through an exact power of two
// (renormalising_power): their terms may have lost bits to gradual underflow,
// and 1 / sqrt(p) of a subnormal p carries as few significant bits as p.  From
// here up, even 2^62 terms that underflowed change a sum by less than 2^-100
// of itself.
inline constexpr double tiny_probability = 0x1p-900;

// 2^e with e = floor(-E / 2), p = f 2^E (0.5 <= f < 1): multiplying every
// term's amplitude by it puts the squared norm in [0.25, 1), exactly (a power
// of two scales without rounding while nothing overflows or underflows).
double renormalising_power(double p);

// One trajectory step of a channel with `count` Kraus operators K_i (row-major
// 2^k x 2^k, contiguous) on k = 1..3 distinct qubits below log2(n), n a power
// of two.  K_i psi is formed with apply_gate's arithmetic, on tiles of the
// state copied into per-worker scratch: the 2^low lowest bits (low = min(log2
// n, 11)) together with the qubits at or above them.  The constructor
// allocates every scratch the step needs, so a failure leaves psi untouched.
class kraus_trajectory {
public:
    kraus_trajectory(std::int64_t n, const int* qubits, int k, std::size_t count);

    // p[i] = |K_i psi|^2 for every operator, each summed in the read-outs'
    // order over the amplitudes of K_i psi (the bits of probabilities' squared
    // norm of K_i psi), from one read of psi.  When every operator's rows hold
    // at most one nonzero entry each, the terms are formed from psi directly
    // and psi is checked for infinities and NaNs on the way: false when it
    // holds one (the sums are then not formed; every p_i of the dense
    // arithmetic would be infinite or NaN there).
    bool probabilities(const amp* psi, const amp* ops, double* p);
    // psi <- K psi / sqrt(p), p = |K psi|^2 from probabilities: K psi by
    // apply_gate, then both parts of each amplitude times 1/sqrt(p); when p is
    // below tiny_probability, times renormalising_power(p) first and then
    // 1/sqrt of the squared norm (in the same order) of the amplitudes so
    // multiplied.  Allocates nothing.
    void apply(amp* psi, const amp* op, double p);

private:
    std::int64_t tile_base(std::int64_t t) const;
    void gather(const amp* psi, std::int64_t base, amp* tile) const;
    bool sparse_probabilities(const amp* psi, double* p);
    void sparse_tables();
    double sparse_block(const amp* psi, std::int64_t first, std::size_t sum) const;

    std::int64_t n_;
    int k_;
    int low_;                  // bits of a block, the contiguous runs of a tile
    std::vector<int> high_;    // qubits at or above low_, ascending
    std::vector<int> mapped_;  // the qubits' positions in a tile
    std::int64_t tile_size_;   // 2^(low + |high|)
    std::int64_t tiles_;
    std::int64_t blocks_;       // n / 2^low
    std::vector<amp> scratch_;  // one tile per worker slot
    std::vector<double> totals_;
    // The operators' rows when each holds at most one nonzero entry: row r of
    // operator i takes entry sparse_entry_[i * dim + r] times the amplitude of
    // column sparse_column_[i * dim + r] (-1: no entry, the row gives +0).
    std::vector<int> qubits_;
    std::int64_t target_mask_ = 0;
    std::vector<std::int64_t> offset_;  // offset_[c]: column c's bits at the qubits
    std::vector<int> sparse_column_;
    std::vector<amp> sparse_entry_;
    // Operators whose terms are the same numbers share one sum: sum_of_[i] is
    // operator i's.  For each sum, and each value of x's bits at the qubits
    // from 3 up, the eight lanes of a run of eight terms x0 .. x0 + 7: term
    // x0 + l squares entry (lane_re_, lane_im_) times psi[x0 + l + lane_delta_].
    std::vector<std::size_t> sum_of_;
    std::vector<std::size_t> sum_op_;  // an operator of each sum
    std::vector<int> row_high_;        // the qubits from 3 up
    std::vector<std::int64_t> lane_delta_;
    std::vector<real> lane_re_, lane_im_;
    std::vector<char> finite_;  // per tile
};

}  // namespace VELT_PRECISION_NS
}  // namespace velt
