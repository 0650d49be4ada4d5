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

}  // namespace velt
