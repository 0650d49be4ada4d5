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
// 2^block_qubits amplitudes with segments of at least 2^min_low amplitudes,
// and starts a new run otherwise.  Fitting is monotone (fewer qubits always
// fit), so the greedy cut makes the fewest runs for the given order of ops;
// ops are never reordered, as that would change the rounding.  Among the
// blocks that hold a run, the one with the fewest high qubits is taken: its
// segments are the longest, which the gather copies fastest.  An op whose
// qubits are too many for any block, and a run of a single op, are "whole"
// runs: the one-call kernel over the whole state, which is at least as fast
// for one op as a pass by blocks.  Ops that change nothing (a qubit at or
// above the register width, equal control and target) are left out of the
// plan.  An op whose kernel needs heap scratch (apply_gate beyond
// apply_gate_stack_targets targets) is a whole run of its own: blocks run on
// workers, where its scratch could not be handed out per block.  Such a gate
// costs many operations per amplitude, so one pass of its own costs little
// extra.  A diagonal gate on more than blocked_diagonal_targets targets is a
// whole run too: its table would take the cache that the block needs.
//
// Diagonal gates and rotations whose string has no X or Y (rides()) join the
// current run whatever their qubits, which add nothing to the block's: they
// only multiply each amplitude by a factor picked by its index, and inside a
// block the qubits outside the block are the same for every amplitude, fixed
// by the block.  Such an op's qubits outside the block select a slice of its
// table, flip the sign of its sine, or (a control that is 0 there) leave the
// block alone; its qubits in the block do the rest, as for any op.  Each
// amplitude then takes the same factor, in the same product, as from the
// one-call kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sequence/sequence.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

inline constexpr int blocked_diagonal_targets = 10;

struct sequence_run {
    std::vector<std::size_t> ops;  // indices into the sequence, increasing
    bool whole = false;
    int low = 0;
    std::vector<int> high;  // increasing, each >= low
};

struct sequence_plan {
    int block_qubits = 0;  // every blocked run's blocks hold 2^block_qubits amplitudes
    std::vector<sequence_run> runs;
};

// Blocks of 2^15 amplitudes (512 KiB) stay in a core's second-level cache
// while a run's ops pass over them; complex64 blocks hold 2^16, the same
// 512 KiB, and so one more qubit per run.
inline constexpr int max_block_qubits = sizeof(amp) == 8 ? 16 : 15;
// Segments of at least 2^5 amplitudes (512 bytes, eight cache lines).  Short
// segments let a block take more high qubits, so that a run holds more ops
// and a circuit takes fewer passes; the executor fetches the next block's
// segments ahead while the current block's ops run, which hides the cost of
// the shorter segments (see execute.cpp and bench/bench_circuits.py).
inline constexpr int min_low_qubits = 5;
// States of up to 2^12 amplitudes (64 KiB) are one block, run by one worker;
// larger ones get at least eight blocks, so that every worker has several.
inline constexpr int single_block_qubits = 12;
inline constexpr int min_free_qubits = 3;

// Whether the op rides in every block (see above): a diagonal on at most
// blocked_diagonal_targets targets, or a rotation without X or Y.
bool rides(const sequence_op& op);

// The block size for a state of 2^n_qubits amplitudes.
int block_qubits_for(int n_qubits);

// ops on a state of 2^n_qubits amplitudes.
sequence_plan plan_sequence(const std::vector<sequence_op>& ops, int n_qubits);

}  // namespace VELT_PRECISION_NS
}  // namespace velt
