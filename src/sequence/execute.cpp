// The executor of a blocking plan (see plan.hpp).
//
// Runs are applied one after another.  A whole run is the one-call kernel.
// For a blocked run the parallel loop's iterations are the blocks: block i
// holds the amplitudes whose free qubits (those outside the block) spell i.
// A block without high qubits is a contiguous stretch of the state and is
// updated where it lies; otherwise the worker gathers its segments into its
// own buffer, where high qubit high[j] becomes qubit low + j, applies the
// run's ops with their qubits renamed accordingly, and scatters the buffer
// back.  Renaming keeps every op's groups and their gate indices (a group
// member's place in the buffer follows from its place in the state), so each
// group is computed by the kernel's own per-group core from the same inputs.
// Blocks are disjoint, so results do not depend on which worker takes which.
// The kernels' own loops, called from inside a block, run on that worker.
// Nothing may throw there (an exception on a worker would end the process),
// so blocks hold only ops whose kernels never allocate: every kernel but
// apply_gate with more than blocked_dense_targets targets, which needs heap
// scratch and stays a whole run of its own (see plan.hpp).
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "sequence/plan.hpp"
#include "sequence/sequence.hpp"
#include "statevector/kernels.hpp"

namespace velt {

namespace {

// Blocks of 2^15 amplitudes (512 KiB) stay in a core's second-level cache
// while a run's ops pass over them, gathered copy and all.
constexpr int block_qubits = 15;
// Segments of at least 2^7 amplitudes (2 KiB): 32 cache lines in a row,
// which the gather and scatter copies stream at close to full speed (2^6
// and 2^8 measured slower on the layered and QFT circuits of
// bench/bench_circuits.py: fewer high qubits per block against longer
// segments).
constexpr int min_low = 7;
// States of up to 2^12 amplitudes (64 KiB, one tile of the kernels' loops)
// are one block, run by one worker; larger ones get at least eight blocks,
// so that every worker has several.
constexpr int single_block_qubits = 12;
constexpr int min_free_qubits = 3;

// A blocked run, ready for the workers: its ops with renamed qubits and the
// offsets of its segments.
struct blocked_run {
    std::vector<const sequence_op*> ops;
    std::vector<sequence_op> renamed;  // the ops with renamed qubits, when there are high qubits
    int low = 0;
    std::vector<int> high;
    std::vector<std::int64_t> segment;  // segment[s] = deposit of s at the high qubits
};

blocked_run prepare(const sequence_run& run, const std::vector<sequence_op>& ops) {
    blocked_run b;
    b.low = run.low;
    b.high = run.high;
    const int m = static_cast<int>(run.high.size());
    if (m == 0) {
        // Every qubit is below `low`: the ops apply to the block as they are.
        for (const std::size_t i : run.ops) {
            b.ops.push_back(&ops[i]);
        }
    } else {
        b.renamed.reserve(run.ops.size());  // no reallocation: b.ops points into it
        for (const std::size_t i : run.ops) {
            sequence_op op = ops[i];
            for (int& q : op.qubits) {
                if (q >= run.low) {
                    const auto at = std::lower_bound(run.high.begin(), run.high.end(), q);
                    q = run.low + static_cast<int>(at - run.high.begin());
                }
            }
            b.renamed.push_back(std::move(op));
            b.ops.push_back(&b.renamed.back());
        }
    }
    b.segment.resize(static_cast<std::size_t>(bit(m)));
    for (std::int64_t s = 0; s < bit(m); ++s) {
        b.segment[static_cast<std::size_t>(s)] = deposit_bits(s, run.high.data(), m);
    }
    return b;
}

void run_blocks(amp* psi, int n_qubits, const blocked_run& run, amp* buffers,
                std::int64_t buffer_length) {
    const int m = static_cast<int>(run.high.size());
    const int low = run.low;
    const std::int64_t segment_length = bit(low);
    const std::int64_t block_length = bit(low + m);
    const std::int64_t blocks = bit(n_qubits - low - m);
    const std::size_t segment_bytes = static_cast<std::size_t>(segment_length) * sizeof(amp);
    parallel_for(blocks, [=, &run](std::int64_t i) {
        std::int64_t base = i << low;
        for (const int h : run.high) {
            base = insert_zero_bit(base, h);
        }
        if (m == 0) {
            for (const sequence_op* op : run.ops) {
                apply_op(psi + base, block_length, *op);
            }
            return;
        }
        amp* block = buffers + buffer_length * worker_index();
        for (std::int64_t s = 0; s < bit(m); ++s) {
            std::memcpy(static_cast<void*>(block + (s << low)),
                        psi + base + run.segment[static_cast<std::size_t>(s)], segment_bytes);
        }
        for (const sequence_op* op : run.ops) {
            apply_op(block, block_length, *op);
        }
        for (std::int64_t s = 0; s < bit(m); ++s) {
            std::memcpy(static_cast<void*>(psi + base + run.segment[static_cast<std::size_t>(s)]),
                        block + (s << low), segment_bytes);
        }
    });
}

}  // namespace

void apply_op(amp* psi, std::int64_t n, const sequence_op& op) {
    const int* q = op.qubits.data();
    switch (op.kind) {
        case op_kind::apply_1q: return apply_1q(psi, n, q[0], op.m);
        case op_kind::apply_cnot_fast: return apply_cnot_fast(psi, n, q[0], q[1]);
        case op_kind::apply_controlled_1q: return apply_controlled_1q(psi, n, q[0], q[1], op.m);
        case op_kind::apply_swap: return apply_swap(psi, n, q[0], q[1]);
        case op_kind::apply_gate_fast: return apply_gate_fast(psi, n, q, op.n_targets, op.u);
        case op_kind::apply_gate:
            return apply_gate(psi, n, q, op.n_targets, q + op.n_targets,
                              static_cast<int>(op.qubits.size()) - op.n_targets, op.u);
        case op_kind::apply_diagonal:
            return apply_diagonal(psi, n, q, op.n_targets, q + op.n_targets,
                                  static_cast<int>(op.qubits.size()) - op.n_targets, op.u);
        case op_kind::apply_pauli_rotation:
            return apply_pauli_rotation(
                psi, n, q, op.letters.data(), op.n_targets, q + op.n_targets,
                static_cast<int>(op.qubits.size()) - op.n_targets, op.c, op.s);
    }
    throw std::logic_error("apply_op: unknown kernel");
}

void apply_sequence(amp* psi, std::int64_t n, const std::vector<sequence_op>& ops) {
    if (!is_power_of_two(n)) {
        // Lengths that are not powers of two leave a partial block alone, a
        // different one for each op: no blocking, the kernels one by one.
        for (const sequence_op& op : ops) {
            apply_op(psi, n, op);
        }
        return;
    }
    const int n_qubits = log2_exact(n);
    const int b =
        n_qubits <= single_block_qubits
            ? n_qubits
            : std::min(block_qubits, std::max(single_block_qubits, n_qubits - min_free_qubits));
    const std::vector<sequence_run> plan = plan_sequence(ops, n_qubits, b, std::min(min_low, b));

    // Everything the workers read, and their buffers, before the first write.
    std::vector<blocked_run> blocked;
    bool gathers = false;
    for (const sequence_run& run : plan) {
        if (!run.whole) {
            blocked.push_back(prepare(run, ops));
            gathers |= !run.high.empty();
        }
    }
    // Left uninitialised: every block is gathered before it is read.
    const std::int64_t buffer_length = bit(b);
    const std::size_t buffer_bytes =
        gathers ? static_cast<std::size_t>(buffer_length * worker_slots()) * sizeof(amp) : 0;
    const std::unique_ptr<void, void (*)(void*)> buffers(::operator new(buffer_bytes),
                                                         [](void* p) { ::operator delete(p); });

    auto next = blocked.begin();
    for (const sequence_run& run : plan) {
        if (run.whole) {
            apply_op(psi, n, ops[run.ops.front()]);
        } else {
            run_blocks(psi, n_qubits, *next++, static_cast<amp*>(buffers.get()), buffer_length);
        }
    }
}

}  // namespace velt
