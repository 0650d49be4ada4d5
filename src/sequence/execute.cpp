// The executor of a blocking plan (see plan.hpp).
//
// Runs are applied one after another.  A whole run is the one-call kernel.
// A blocked run is prepared here, on the calling thread: its ops with their
// qubits renamed to block qubits (high qubit high[j] becomes block qubit
// low + j) and told how a block applies them (block.hpp), and the offsets
// of its segments.  Renaming keeps every op's groups and their gate indices
// (a group member's place in the block follows from its place in the
// state), so each group is computed from the same inputs by the same
// operations.  The workers then take the blocks (block_engine.cpp).  Blocks
// are disjoint, so results do not depend on which worker takes which.
//
// Everything a call allocates (the prepared runs, every worker's block
// buffer, the heap scratch of the widest apply_gate op) is allocated before
// the first run starts: a failure is raised with the state unchanged, and
// nothing may throw once the workers run.
#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "sequence/block.hpp"
#include "sequence/plan.hpp"
#include "sequence/sequence.hpp"
#include "statevector/kernels.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

namespace {

// Blocks of fewer than 2^6 amplitudes (states that small) are not worth
// the chunked layout: their ops run one by one.
constexpr int min_chunked_qubits = 6;

using buffer = std::unique_ptr<void, void (*)(void*)>;

buffer allocate(std::size_t bytes) {
    return {bytes > 0 ? ::operator new(bytes, std::align_val_t{64}) : nullptr,
            [](void* p) { ::operator delete(p, std::align_val_t{64}); }};
}

// A riding op (plan.hpp's rides()) for the blocks of a run: its qubits in
// the block renamed, the others moved into bop's masks, a diagonal's table
// regrouped into b.tables (see block.hpp).  Renaming is monotone, so the
// targets in the block stay increasing, as the kernel wants them.
template <class Rename, class InBlock>
sequence_op prepare_riding(const sequence_op& op, block_op& bop, block_run& b, const Rename& rename,
                           const InBlock& in_block) {
    sequence_op r;
    r.kind = op.kind;
    r.c = op.c;
    r.s = op.s;
    bop.rides = true;
    int inner_positions[64];
    int outer_positions[64];
    int k_in = 0;
    int k_out = 0;
    for (int d = 0; d < op.n_targets; ++d) {
        const int q = op.qubits[static_cast<std::size_t>(d)];
        if (in_block(q)) {
            r.qubits.push_back(rename(q));
            if (op.kind == op_kind::apply_pauli_rotation) {
                r.letters.push_back(op.letters[static_cast<std::size_t>(d)]);
            }
            inner_positions[k_in++] = d;
        } else if (op.kind == op_kind::apply_diagonal) {
            bop.outer_targets |= bit(q);
            outer_positions[k_out++] = d;
        } else if (op.letters[static_cast<std::size_t>(d)] == 'Z') {
            bop.outer_z |= bit(q);  // an I outside the block changes nothing
        }
    }
    r.n_targets = static_cast<int>(r.qubits.size());
    for (std::size_t d = static_cast<std::size_t>(op.n_targets); d < op.qubits.size(); ++d) {
        const int q = op.qubits[d];
        if (in_block(q)) {
            r.qubits.push_back(rename(q));
        } else {
            bop.outer_controls |= bit(q);
        }
    }
    if (op.kind == op_kind::apply_diagonal) {
        bop.table = b.tables.size();
        for (std::int64_t o = 0; o < bit(k_out); ++o) {
            for (std::int64_t i = 0; i < bit(k_in); ++i) {
                std::int64_t j = 0;
                for (int e = 0; e < k_out; ++e) {
                    j |= ((o >> e) & 1) << outer_positions[e];
                }
                for (int e = 0; e < k_in; ++e) {
                    j |= ((i >> e) & 1) << inner_positions[e];
                }
                b.tables.push_back(op.u[j]);
            }
        }
    }
    return r;
}

block_run prepare(const sequence_run& run, const std::vector<sequence_op>& ops, int n_qubits) {
    block_run b;
    b.n_qubits = n_qubits;
    b.low = run.low;
    b.high = run.high;
    const int m = static_cast<int>(run.high.size());
    const auto rename = [&run](int q) {
        if (q < run.low) {
            return q;
        }
        const auto at = std::lower_bound(run.high.begin(), run.high.end(), q);
        return run.low + static_cast<int>(at - run.high.begin());
    };
    const auto in_block = [&run](int q) {
        return q < run.low || std::binary_search(run.high.begin(), run.high.end(), q);
    };
    b.renamed.reserve(run.ops.size());  // no reallocation: kernel ops point into it
    for (const std::size_t i : run.ops) {
        const sequence_op& op = ops[i];
        block_op bop;
        switch (op.kind) {
            case op_kind::apply_1q:
                bop.kind = block_kind::pair;
                bop.t = rename(op.qubits[0]);
                bop.m = op.m;
                break;
            case op_kind::apply_controlled_1q:
                bop.kind = block_kind::pair;
                bop.c = rename(op.qubits[0]);
                bop.t = rename(op.qubits[1]);
                bop.m = op.m;
                break;
            case op_kind::apply_cnot_fast:
                bop.kind = block_kind::cnot;
                bop.c = rename(op.qubits[0]);
                bop.t = rename(op.qubits[1]);
                break;
            case op_kind::apply_swap:
                bop.kind = block_kind::swap;
                bop.c = rename(op.qubits[0]);
                bop.t = rename(op.qubits[1]);
                break;
            // Renaming is monotone, so a diagonal's targets stay increasing
            // (its table's order) and a rotation's pairs keep their members.
            case op_kind::apply_gate_fast:
            case op_kind::apply_gate:
            case op_kind::apply_diagonal:
            case op_kind::apply_pauli_rotation: {
                if (rides(op)) {
                    b.renamed.push_back(prepare_riding(op, bop, b, rename, in_block));
                    bop.kind = block_kind::kernel;
                    bop.op = &b.renamed.back();
                    break;
                }
                sequence_op renamed = op;
                for (int& q : renamed.qubits) {
                    q = rename(q);
                }
                b.renamed.push_back(std::move(renamed));
                bop.kind = block_kind::kernel;
                bop.op = &b.renamed.back();
                break;
            }
        }
        b.ops.push_back(bop);
    }
    b.segment.resize(static_cast<std::size_t>(bit(m)));
    for (std::int64_t s = 0; s < bit(m); ++s) {
        b.segment[static_cast<std::size_t>(s)] = deposit_bits(s, run.high.data(), m);
    }
    return b;
}

bool stopped(const sequence_interrupt& interrupt) {
    return interrupt.stop != nullptr && interrupt.stop(interrupt.context);
}

}  // namespace

void apply_op(amp* psi, std::int64_t n, const sequence_op& op, void* scratch) {
    const int* q = op.qubits.data();
    switch (op.kind) {
        case op_kind::apply_1q: return apply_1q(psi, n, q[0], op.m);
        case op_kind::apply_cnot_fast: return apply_cnot_fast(psi, n, q[0], q[1]);
        case op_kind::apply_controlled_1q: return apply_controlled_1q(psi, n, q[0], q[1], op.m);
        case op_kind::apply_swap: return apply_swap(psi, n, q[0], q[1]);
        case op_kind::apply_gate_fast: return apply_gate_fast(psi, n, q, op.n_targets, op.u);
        case op_kind::apply_gate:
            return apply_gate_scratch(psi, n, q, op.n_targets, q + op.n_targets,
                                      static_cast<int>(op.qubits.size()) - op.n_targets, op.u,
                                      scratch);
        case op_kind::apply_diagonal:
            return apply_diagonal(psi, n, q, op.n_targets, q + op.n_targets,
                                  static_cast<int>(op.qubits.size()) - op.n_targets, op.u);
        case op_kind::apply_pauli_rotation:
            return apply_pauli_rotation(psi, n, q, op.letters.data(), op.n_targets,
                                        q + op.n_targets,
                                        static_cast<int>(op.qubits.size()) - op.n_targets,
                                        static_cast<real>(op.c), static_cast<real>(op.s));
    }
    throw std::logic_error("apply_op: unknown kernel");
}

std::size_t apply_sequence(amp* psi, std::int64_t n, const std::vector<sequence_op>& ops,
                           sequence_interrupt interrupt) {
    // The heap scratch of the widest apply_gate op, shared by all of them:
    // they run one after another, each as a whole run on the calling thread.
    std::size_t scratch_bytes = 0;
    for (const sequence_op& op : ops) {
        if (op.kind == op_kind::apply_gate) {
            scratch_bytes =
                std::max(scratch_bytes, apply_gate_scratch_bytes(op.n_targets, worker_slots()));
        }
    }
    const buffer scratch = allocate(scratch_bytes);

    if (!is_power_of_two(n) || n < bit(min_chunked_qubits)) {
        // Lengths that are not powers of two leave a partial block alone, a
        // different one for each op: no blocking, the kernels one by one.
        for (std::size_t i = 0; i < ops.size(); ++i) {
            if (i > 0 && stopped(interrupt)) {
                return i;
            }
            apply_op(psi, n, ops[i], scratch.get());
        }
        return ops.size();
    }
    const int n_qubits = log2_exact(n);
    const sequence_plan plan = plan_sequence(ops, n_qubits);

    // Everything the workers read, and their buffers, before the first write.
    std::vector<block_run> blocked;
    bool gathers = false;
    for (const sequence_run& run : plan.runs) {
        if (!run.whole) {
            blocked.push_back(prepare(run, ops, n_qubits));
            gathers |= !run.high.empty();
        }
    }
    // Left uninitialised: every block is gathered before it is read.
    const buffer buffers =
        allocate(gathers ? static_cast<std::size_t>(block_buffer_reals(plan.block_qubits)) *
                               sizeof(real) * static_cast<std::size_t>(worker_slots())
                         : 0);

    auto next = blocked.begin();
    for (std::size_t r = 0; r < plan.runs.size(); ++r) {
        const sequence_run& run = plan.runs[r];
        // Ops left out of the plan change nothing: every op before this
        // run's first has been applied.
        if (r > 0 && stopped(interrupt)) {
            return run.ops.front();
        }
        if (run.whole) {
            apply_op(psi, n, ops[run.ops.front()], scratch.get());
        } else {
            apply_block_run(psi, *next++, static_cast<real*>(buffers.get()));
        }
    }
    return ops.size();
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
