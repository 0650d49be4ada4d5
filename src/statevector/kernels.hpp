// State-vector kernels: plain functions over raw amplitude memory.
//
// Every kernel takes its arguments in the same order: the amplitudes and how
// many of them are addressed (n), then the qubit indices, then the gate.  The
// kernels trust their inputs; the bindings in src/module validate them first,
// so that a rejected call never reaches a kernel and never writes.
//
// Each is compiled once per instruction-set path (velt::sse2::apply_1q, ...);
// the functions declared here forward to the path chosen at import
// (src/isa/dispatch.cpp), whose results are the same bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/amplitude.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

// 2x2 gate on qubit q (0 <= q <= 61).  Walks blocks of 2^(q+1) amplitudes; in
// each, the lower and upper halves are the pairs (bit q clear, bit q set).
// Amplitudes past the last whole block are left alone.
void apply_1q(amp* psi, std::int64_t n, int q, const mat2& m);

// CNOT with control c and target t (0..62): exchanges the amplitudes with
// control set and target clear with their partners that have the target set.
// Equal qubits change nothing.
void apply_cnot_fast(amp* psi, std::int64_t n, int c, int t);

// 2x2 gate on target t where control c is set (0..62); amplitudes with the
// control clear keep their values (a vector path may load and store them
// back unchanged, within the call).  Equal qubits change nothing.
void apply_controlled_1q(amp* psi, std::int64_t n, int c, int t, const mat2& m);

// SWAP of qubits a and b (0..62): exchanges the amplitudes with a set and b
// clear with those with a clear and b set.  Equal qubits change nothing.
void apply_swap(amp* psi, std::int64_t n, int a, int b);

// The dense gates below share one index convention: bit d of a row or column
// index of the row-major 2^k x 2^k matrix u is the value of qubit targets[d],
// whatever the numeric order of the targets.  Each amplitude group (the 2^k
// amplitudes that differ only in the target bits) is read whole, multiplied by
// u (see dense_batch.hpp) and written back.

// Dense gate on k = 1..4 distinct targets in 0..62.  Only indices below
// 2^(t+1) * floor(n / 2^(t+1)), t the highest target, are touched.
void apply_gate_fast(amp* psi, std::int64_t n, const int* targets, int k, const amp* u);

// Dense gate on k >= 0 targets, applied where every control bit is 1; the
// other amplitudes keep their values (as for apply_controlled_1q).  n is a power of two, targets
// and controls are pairwise distinct qubits below log2(n).  With at most
// apply_gate_stack_targets targets it allocates nothing (its scratch is on
// the stack) and cannot throw; larger gates take heap scratch for every
// worker before the first write.
inline constexpr int apply_gate_stack_targets = 6;
void apply_gate(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                int n_controls, const amp* u);

// Diagonal gate: every amplitude i whose control bits are all 1 becomes
// cmul(diag[j], psi[i]) (the entry first), j the target bits of i: bit d of
// j is bit targets[d] of i.  n is a power of two; the k targets are
// strictly increasing (diagonal_order.hpp reorders a caller's table to
// match), the controls distinct from them, every qubit below log2(n).
// k may be 0 (a sequence's block whose targets all lie outside it): every
// such amplitude then takes diag[0].  Allocates nothing and cannot throw.
void apply_diagonal(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                    int n_controls, const amp* diag);

// exp(-i theta/2 P) on the amplitudes whose control bits are all 1, P the
// Pauli string with letter letters[d] (one of I, X, Y, Z) on qubits[d], the
// identity elsewhere; c = cos(theta/2) and s = sin(theta/2) (common/trig.hpp).
// n is a power of two and the qubits and controls are distinct and below
// log2(n).  The arithmetic is spelled out in apply_pauli_rotation.cpp.
// Allocates nothing and cannot throw.
void apply_pauli_rotation(amp* psi, std::int64_t n, const int* qubits, const char* letters, int k,
                          const int* controls, int n_controls, real c, real s);

// The bytes of heap scratch apply_gate needs for k targets when its loop may
// have `workers` workers (worker_slots()): none up to apply_gate_stack_targets
// targets, else the gate's member offsets and one cache-line-aligned slot of
// lanes per worker, sized for the widest instruction-set path.
inline std::size_t apply_gate_scratch_bytes(int k, int workers) {
    if (k <= apply_gate_stack_targets) {
        return 0;
    }
    constexpr std::size_t widest = 8;  // doubles (or 16 floats) per register on the widest path
    constexpr std::size_t line = 64;
    const std::size_t dim = std::size_t{1} << k;
    const std::size_t slot = (2 * dim * widest * sizeof(double) + line - 1) / line * line;
    return dim * sizeof(std::int64_t) + line + slot * static_cast<std::size_t>(workers);
}

// apply_gate with its heap scratch made by the caller: at least
// apply_gate_scratch_bytes(k, worker_slots()) bytes at `scratch` (may be null
// when that is 0).  Allocates nothing, so a caller that allocates first
// (apply_sequence, for every op of a sequence) cannot fail after writing.
void apply_gate_scratch(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                        int n_controls, const amp* u, void* scratch);

}  // namespace VELT_PRECISION_NS
}  // namespace velt
