// State-vector kernels: plain functions over raw amplitude memory.
//
// Every kernel takes its arguments in the same order: the amplitudes and how
// many of them are addressed (n), then the qubit indices, then the gate.  The
// kernels trust their inputs; the bindings in src/module validate them first,
// so that a rejected call never reaches a kernel and never writes.
#pragma once

#include <cstdint>

#include "common/amplitude.hpp"

namespace velt {

// 2x2 gate on qubit q (0 <= q <= 61).  Walks blocks of 2^(q+1) amplitudes; in
// each, the lower and upper halves are the pairs (bit q clear, bit q set).
// Amplitudes past the last whole block are left alone.
void apply_1q(amp* psi, std::int64_t n, int q, const mat2& m);

// CNOT with control c and target t (0..62): exchanges the amplitudes with
// control set and target clear with their partners that have the target set.
// Equal qubits change nothing.
void apply_cnot_fast(amp* psi, std::int64_t n, int c, int t);

// 2x2 gate on target t where control c is set (0..62); amplitudes with the
// control clear are neither read nor written.  Equal qubits change nothing.
void apply_controlled_1q(amp* psi, std::int64_t n, int c, int t, const mat2& m);

// SWAP of qubits a and b (0..62): exchanges the amplitudes with a set and b
// clear with those with a clear and b set.  Equal qubits change nothing.
void apply_swap(amp* psi, std::int64_t n, int a, int b);

}  // namespace velt
