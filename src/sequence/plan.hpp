// The blocking plan of a gate sequence.
//
// A block is a set of 2^(low + |high|) amplitudes: those that agree in every
// qubit outside the block's qubits, which are the low qubits 0..low-1 and the
// high qubits `high`.  In memory a block is 2^|high| segments of 2^low
// consecutive amplitudes; with no high qubit it is one contiguous stretch.
// Every op whose qubits are block qubits maps each block onto itself, so the
// blocks of a run can be updated independently, by different workers, each
// applying all of the run's ops to its block.
//
// The planner cuts the sequence greedily into runs: it extends the current
// run while the qubits of all its ops still fit in one block of at most
// 2^block_qubits amplitudes with segments of at least 2^min_low amplitudes
// (long enough to be copied at full speed), and starts a new run otherwise.
// Fitting is monotone (fewer qubits always fit), so the greedy cut makes the
// fewest runs for the given order of ops; ops are never reordered, as that
// would change the rounding.  An op whose qubits are too many for any block,
// and a run of a single op, are "whole" runs: the one-call kernel over the
// whole state, which is at least as fast for one op as a pass by blocks.
// Ops that change nothing (a qubit at or above the register width, equal
// control and target) are left out of the plan.  An op whose kernel needs
// heap scratch (apply_gate beyond apply_gate_stack_targets targets) is a
// whole run of its own: blocks run on workers, where an allocation failure
// could not be reported.  Such a gate costs many operations per amplitude,
// so one pass of its own costs little extra.  A diagonal gate on more than
// blocked_diagonal_targets targets is a whole run too: its table would
// take the cache that the block needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sequence/sequence.hpp"

namespace velt {

inline constexpr int blocked_diagonal_targets = 10;

struct sequence_run {
    std::vector<std::size_t> ops;  // indices into the sequence, increasing
    bool whole = false;
    int low = 0;
    std::vector<int> high;  // increasing, each >= low
};

// ops on a state of 2^n_qubits amplitudes; block_qubits <= n_qubits.
std::vector<sequence_run> plan_sequence(const std::vector<sequence_op>& ops, int n_qubits,
                                        int block_qubits, int min_low);

}  // namespace velt
