// Gate sequences: many state-vector kernel calls applied as one.
//
// A sequence is a list of ops, each naming one of the state-vector
// kernels with its arguments already converted and validated (src/module).
// apply_sequence runs them in order with the result of calling the kernels
// one by one, bit for bit: it never reorders, fuses or rewrites an op.  What
// it changes is the order in which memory is visited.  Runs of consecutive
// ops whose qubits fit in one cache-sized block are applied block by block
// (see plan.hpp), each worker taking a block and applying every op of the
// run to it before it moves on, so that a run costs about one pass through
// memory instead of one pass per op.  Inside a block each op does its
// kernel's arithmetic on the block as on a small state (see block.hpp): a
// block is a set of amplitudes closed under every op of its run, and each op
// updates its amplitude groups independently of one another, with the same
// arithmetic whatever else lies in memory around them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/amplitude.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

enum class op_kind {
    apply_1q,
    apply_cnot_fast,
    apply_controlled_1q,
    apply_swap,
    apply_gate_fast,
    apply_gate,
    apply_diagonal,
    apply_pauli_rotation
};

struct sequence_op {
    op_kind kind;
    // The qubits in the kernel's argument order: apply_1q {q}; the two-qubit
    // kernels {control, target} or {a, b}; the dense kernels the targets and,
    // for apply_gate, the controls after them; apply_diagonal its targets in
    // increasing order, then the controls; apply_pauli_rotation the string's
    // qubits, then the controls.
    std::vector<int> qubits;
    int n_targets = 0;  // dense, diagonal, rotation: how many of `qubits` come before the controls
    mat2 m{};           // the 2x2 kernels' matrix
    const amp* u = nullptr;  // the dense kernels' matrix, the diagonal's table (for the
                             // increasing targets); owned by the caller
    std::string letters{};   // apply_pauli_rotation: the letter of each string qubit
    double c = 0.0;          // apply_pauli_rotation: cos(theta/2) and sin(theta/2)
    double s = 0.0;
};

// Calls the op's kernel on the n amplitudes at psi.  `scratch` serves an
// apply_gate op with more than apply_gate_stack_targets targets (see
// apply_gate_scratch); other ops take none.
void apply_op(amp* psi, std::int64_t n, const sequence_op& op, void* scratch = nullptr);

// Asked on the calling thread between runs (and between ops where they run
// one by one): true stops the sequence there.  The core knows nothing of
// its caller; the Python binding checks for signals here.
struct sequence_interrupt {
    bool (*stop)(void* context) = nullptr;
    void* context = nullptr;
};

// Applies the ops in order to the n amplitudes at psi.  Every allocation
// the sequence needs is made before the first write, so a failed one leaves
// psi unchanged.  Returns the number of ops applied: all of them, or K <
// ops.size() when `interrupt` stopped the sequence, psi then holding exactly
// the result of ops 0..K-1.
std::size_t apply_sequence(amp* psi, std::int64_t n, const std::vector<sequence_op>& ops,
                           sequence_interrupt interrupt = {});

}  // namespace VELT_PRECISION_NS
}  // namespace velt
