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

// out[i] = |psi[i]|^2 for every i < n.
void probabilities(const amp* psi, std::int64_t n, double* out);

// The 2^k marginal probabilities of qubits[0 .. k): out[j] sums |psi[i]|^2
// over the indices i whose bit qubits[d] equals bit d of j.  The terms of
// out[j] are taken in increasing order of i; k = 0 gives the squared norm.
void marginal_probabilities(const amp* psi, std::int64_t n, const int* qubits, int k, double* out);

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

}  // namespace VELT_PRECISION_NS
}  // namespace velt
