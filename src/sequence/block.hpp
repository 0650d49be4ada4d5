// A blocked run of a gate sequence, ready for the workers (see plan.hpp for
// blocks and runs, execute.cpp for how a run is prepared).
//
// Inside a block the ops of a run meet the same amplitudes again and again,
// so the block is held in the layout its arithmetic wants: chunks of `width`
// amplitudes (the vector width of the process's instruction-set path), each
// stored as its `width` real parts and then its `width` imaginary parts, in
// the lane order of isa/lanes.hpp's load_split.  The conversion happens once
// per block on the way in and once on the way out, instead of once per op.
// A block qubit below log2(width) then selects lanes inside a chunk, and a
// higher one selects chunks.  The 2x2 gates and the exchanges (block_kind
// pair, cnot, swap) run on that layout, each lane doing the operations of
// the one-call kernel for its amplitude, in its order, so that the bits are
// the kernel's.  Every other op is a `kernel` op: the block is put back into
// index order (in place, chunk by chunk) and the op's own kernel is called
// on it as on a small state, as the one-call kernels inside a block always
// were.
//
// A new kind of op slots in with its own block_kind and a function in
// block_engine.cpp that applies it to one block in the chunked layout; until
// then its kernel serves it as a `kernel` op.  A diagonal op (one complex
// product per amplitude) is one load, product and store per chunk, its
// factors picked per chunk from the op's chunk qubits and per lane from its
// lane qubits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/amplitude.hpp"
#include "sequence/sequence.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

enum class block_kind : std::uint8_t {
    pair,  // apply_1q (c = -1) and apply_controlled_1q: the 2x2 gate m on target t
    cnot,  // apply_cnot_fast: control c, target t
    swap,  // apply_swap of c and t
    kernel
};

struct block_op {
    block_kind kind = block_kind::kernel;
    int t = -1;  // block qubits (see block_run)
    int c = -1;  // -1: none
    mat2 m{};
    const sequence_op* op = nullptr;  // kernel ops: the op with its qubits renamed to block qubits
    // Kernel ops that ride (plan.hpp's rides()): `op` keeps only the qubits
    // in the block, and the others are state-qubit masks, read off each
    // block's base: the controls outside (the op skips a block where one is
    // 0), a diagonal's targets outside (they pick the block's slice of the
    // run's table, from entry `table`), a rotation's Z qubits outside (an
    // odd count of them set flips the sign of its sine).
    bool rides = false;
    std::int64_t outer_controls = 0;
    std::int64_t outer_targets = 0;
    std::int64_t outer_z = 0;
    std::size_t table = 0;
};

// Block qubit j is state qubit j for j < low and high[j - low] above; block
// i holds the amplitudes whose other qubits spell i, and its segment s
// starts at the block's base plus segment[s].
struct block_run {
    int n_qubits = 0;
    int low = 0;
    std::vector<int> high;
    std::vector<std::int64_t> segment;
    std::vector<block_op> ops;
    std::vector<sequence_op> renamed;  // what the kernel ops point to
    // The riding diagonals' tables, regrouped: slice o of an op with k
    // targets in the block holds, at entry i, the entry whose targets in
    // the block spell i and whose targets outside spell o (each in
    // increasing order), so that a block reads 2^k consecutive entries.
    // Entries are moved, never computed.
    std::vector<amp> tables;
};

// Reals of the buffer one worker needs for blocks of 2^block_qubits
// amplitudes (whole cache lines from block_qubits 2 on).
inline std::int64_t block_buffer_reals(int block_qubits) { return std::int64_t{2} << block_qubits; }

// Applies the run to the state of 2^run.n_qubits amplitudes at psi.
// `buffers` holds worker_slots() buffers of block_buffer_reals() reals
// each, 64-byte aligned, one per worker; blocks without high qubits are
// worked on where they lie.  Allocates nothing and cannot throw.
void apply_block_run(amp* psi, const block_run& run, real* buffers);

}  // namespace VELT_PRECISION_NS
}  // namespace velt
