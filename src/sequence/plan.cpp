#include "sequence/plan.hpp"

#include <algorithm>
#include <string>

#include "common/bits.hpp"
#include "statevector/kernels.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

namespace {

using mask = std::uint64_t;

// The qubits an op touches, or 0 with `noop` set when it changes nothing on
// a register of n_qubits (its kernel finds no amplitude group to update).
mask op_qubits(const sequence_op& op, int n_qubits, bool& noop) {
    mask qubits = 0;
    noop = false;
    for (const int q : op.qubits) {
        if (q >= n_qubits) {
            noop = true;  // validated: only kernels that ignore such qubits let them through
        }
        qubits |= mask{1} << q;
    }
    const bool two_qubit = op.kind == op_kind::apply_cnot_fast ||
                           op.kind == op_kind::apply_controlled_1q ||
                           op.kind == op_kind::apply_swap;
    if (two_qubit && op.qubits[0] == op.qubits[1]) {
        noop = true;
    }
    return qubits;
}

int count_bits(mask x) { return __builtin_popcountll(x); }

// Whether the op may run inside a block, on a worker: its kernel must not
// allocate, as nothing could catch the failure there.  A diagonal allocates
// nothing, but beyond blocked_diagonal_targets its table (16 KiB and more)
// would crowd the block out of the cache: a pass of its own costs less.
bool blockable(const sequence_op& op) {
    switch (op.kind) {
        case op_kind::apply_gate: return op.n_targets <= apply_gate_stack_targets;
        case op_kind::apply_diagonal: return op.n_targets <= blocked_diagonal_targets;
        default: return true;
    }
}

// The number m of high qubits of the smallest block holding `qubits`: the
// block's low part is 0..b-m-1 and its high part the qubits at or above
// b-m; -1 when no block of at most 2^b amplitudes with a low part of at
// least min_low qubits holds them.  Taking the least m keeps the segments
// as long as possible; the high part then has exactly m qubits.
int high_count(mask qubits, int b, int min_low) {
    for (int m = 0; b - m >= min_low; ++m) {
        if (count_bits(qubits >> (b - m)) <= m) {
            return m;
        }
    }
    return -1;
}

sequence_run close_run(std::vector<std::size_t> ops, mask qubits, int b, int min_low) {
    sequence_run run;
    run.ops = std::move(ops);
    const int m = high_count(qubits, b, min_low);
    if (run.ops.size() == 1 || m < 0) {
        run.whole = true;
        return run;
    }
    run.low = b - m;
    for (int q = run.low; q < 64; ++q) {
        if ((qubits >> q) & 1) {
            run.high.push_back(q);
        }
    }
    return run;
}

}  // namespace

bool rides(const sequence_op& op) {
    switch (op.kind) {
        case op_kind::apply_diagonal: return blockable(op);
        case op_kind::apply_pauli_rotation:
            return op.letters.find_first_of("XY", 0) == std::string::npos;
        default: return false;
    }
}

int block_qubits_for(int n_qubits) {
    return n_qubits <= single_block_qubits
               ? n_qubits
               : std::min(max_block_qubits,
                          std::max(single_block_qubits, n_qubits - min_free_qubits));
}

sequence_plan plan_sequence(const std::vector<sequence_op>& ops, int n_qubits) {
    const int block_qubits = block_qubits_for(n_qubits);
    const int min_low = std::min(min_low_qubits, block_qubits);
    std::vector<sequence_run> runs;
    std::vector<std::size_t> current;
    mask current_qubits = 0;
    for (std::size_t i = 0; i < ops.size(); ++i) {
        bool noop = false;
        const mask qubits = op_qubits(ops[i], n_qubits, noop);
        if (noop) {
            continue;
        }
        if (rides(ops[i])) {
            current.push_back(i);  // its qubits stay out of the block's
            continue;
        }
        const mask joined = current_qubits | qubits;
        if (!current.empty() &&
            (!blockable(ops[i]) || high_count(joined, block_qubits, min_low) < 0)) {
            runs.push_back(close_run(std::move(current), current_qubits, block_qubits, min_low));
            current.clear();
            current_qubits = 0;
        }
        if (!blockable(ops[i])) {
            runs.push_back(close_run({i}, qubits, block_qubits, min_low));  // whole: one op
            continue;
        }
        current.push_back(i);
        current_qubits |= qubits;
    }
    if (!current.empty()) {
        runs.push_back(close_run(std::move(current), current_qubits, block_qubits, min_low));
    }
    return {block_qubits, std::move(runs)};
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
