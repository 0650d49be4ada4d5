// Density-matrix kernels: plain functions over raw matrix memory.
//
// The argument order follows the state-vector kernels: the matrix and its
// dimension, then the qubit, then the operators.  A density matrix of
// dimension D is stored row by row (element (r, c) at r*D + c); rows index the
// ket, columns the bra, and qubit q is bit q of both.  The kernels trust their
// inputs; the bindings in src/module validate them first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/amplitude.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

// Largest register whose 4^n elements of 16 bytes can form one object:
// 2^(2n+4) bytes must not exceed PTRDIFF_MAX (2^63 - 1), so n <= 29.
inline constexpr int max_density_qubits = 29;

// rho <- sum over k of K_k rho K_k^dagger, each K_k (ops[0..count-1], row-major
// 2x2 records) acting on `qubit`.  Touches exactly the first dim*dim elements
// of rho, in place, without allocating; needs 0 <= qubit and 2^qubit < dim.
void apply_kraus_1q(amp* rho, std::int64_t dim, int qubit, const mat2* ops, std::size_t count);

// The qubit counts the channel and the conjugation below take.
inline constexpr int kraus_max_qubits = 3;
inline constexpr int unitary_rho_max_targets = 4;

// rho <- S applied to every sub-block that the k = 1..3 distinct qubits select
// (bit d of a sub-block's row or column index is qubit qubits[d]; the
// sub-block read as a vector of 4^k entries, row index high, column index
// low), S a row-major 4^k x 4^k matrix; every entry a sum from +0 over
// increasing columns, as apply_gate sums, each product complex or, when every
// entry of S has a zero imaginary part, the real entry times both parts.
// Dispatched to the chosen path.
void apply_superop(amp* rho, std::int64_t dim, const int* qubits, int k, const amp* s);

// rho <- sum over the `count` operators (row-major 2^k x 2^k, contiguous in
// ops) of K rho K^dagger, on k = 1..3 distinct qubits below log2(dim).  One
// qubit: apply_kraus_1q's arithmetic.  More: the superoperator
// S[(g,h)][(a,b)] = sum over the operators, in list order, of
// K[g][a] conj(K[h][b]) (each a complex product, the sum starting with the
// first operator's product), applied by apply_superop.  Allocates S (or the
// 2x2 records) before writing; a failed allocation throws with rho intact.
void apply_kraus(amp* rho, std::int64_t dim, const int* qubits, int k, const amp* ops,
                 std::size_t count);

// rho <- U rho U^dagger for the dense 2^k x 2^k gate u on k = 0..4 distinct
// targets where every control is 1 (controls distinct from the targets), all
// below log2(dim): u applied to the row qubits, then conj(u) to the column
// qubits, each with apply_gate's arithmetic, in one pass over rho.
// Dispatched to the chosen path.
void apply_unitary_rho(amp* rho, std::int64_t dim, const int* targets, int k, const int* controls,
                       int n_controls, const amp* u);

}  // namespace VELT_PRECISION_NS
}  // namespace velt
