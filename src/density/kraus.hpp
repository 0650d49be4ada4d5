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

}  // namespace VELT_PRECISION_NS
}  // namespace velt
