// Dense gate on any number of targets, with optional controls.
//
//   occupied  every target and control qubit, in increasing order: the group
//             walk clears them to enumerate the base indices, and ORs the
//             control mask in, so every base has all control bits 1 and all
//             target bits 0
//   offset    offset[g] = the sum of 2^targets[d] over the set bits d of g:
//             the member of a group whose target bits form gate index g sits
//             at base + offset[g]
// Distinct groups differ in a free bit, so they are disjoint; amplitudes with
// a control bit 0 are never touched.  Small gates are multiplied a batch of groups
// at a time, large ones one register of groups
// at a time (see dense_batch.hpp).
#include "isa/kernel_table.hpp"
#include "isa/target.hpp"
#include "statevector/dense_batch.hpp"
#include "statevector/dense_rows.hpp"
#include "statevector/dense_runs.hpp"
#include "statevector/group_walk.hpp"

namespace velt::VELT_ISA_NS {

namespace {

// Gates up to this size travel in batches, with their lanes on the worker's
// own stack (2 * 64 * 8 doubles, 8 KiB; complex64: 2 * 64 * 16 floats): nothing shared between
// workers, not even a cache line at the border of two scratch slots.
constexpr std::int64_t batched_dim = std::int64_t{1} << apply_gate_stack_targets;
constexpr int batch = dense_batch_size;

void run_batched(amp* psi, const group_walk& walk, const std::int64_t* offset, std::int64_t dim,
                 const amp* u) {
    walk.for_each_batch<batch>([=](const std::int64_t* bases, int count) {
        real re[batched_dim * batch];
        real im[batched_dim * batch];
        apply_dense_batch<batch>(psi, bases, count, offset, dim, u, re, im);
    });
}

// Larger gates go one register of groups at a time, each worker in its own
// slot of the caller's scratch (see apply_gate_scratch_bytes), which starts
// on a cache line of its own.
void run_wide(amp* psi, const group_walk& walk, const std::int64_t* offset, std::int64_t dim,
              const amp* u, real* lanes) {
    constexpr std::size_t line = 64 / sizeof(real);
    const auto slot = (static_cast<std::size_t>(2 * dim * width) + line - 1) / line * line;
    walk.for_each_batch<width>([=](const std::int64_t* bases, int count) {
        real* re = lanes + slot * static_cast<std::size_t>(worker_index());
        apply_dense_batch<width>(psi, bases, count, offset, dim, u, re, re + dim * width);
    });
}

}  // namespace

void apply_gate_scratch(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                        int n_controls, const amp* u, void* scratch) {
    if (dense_rows_apply(targets, k, controls, n_controls)) {
        dense_rows_state(psi, n, k, u, controls, n_controls);
        return;
    }
    // Distinct qubits below 63: at most 63 of them.
    int occupied[64];
    std::copy(targets, targets + k, occupied);
    std::copy(controls, controls + n_controls, occupied + k);
    std::sort(occupied, occupied + k + n_controls);
    std::int64_t control_mask = 0;
    for (int c = 0; c < n_controls; ++c) {
        control_mask |= bit(controls[c]);
    }
    const group_walk walk(n, occupied, k + n_controls, control_mask);

    const std::int64_t dim = bit(k);
    if (dim <= batched_dim) {
        std::int64_t offset[batched_dim];
        for (std::int64_t g = 0; g < dim; ++g) {
            offset[g] = deposit_bits(g, targets, k);
        }
        if (k >= 1 && k <= dense_runs_max_targets && dense_runs_apply(occupied, k + n_controls)) {
            dense_runs_state(psi, walk, k, offset, u);
        } else {
            run_batched(psi, walk, offset, dim, u);
        }
        return;
    }
    // The scratch: the offsets, then the lanes from the next cache line on.
    auto* offset = static_cast<std::int64_t*>(scratch);
    for (std::int64_t g = 0; g < dim; ++g) {
        offset[g] = deposit_bits(g, targets, k);
    }
    const auto lanes_at = (reinterpret_cast<std::uintptr_t>(offset + dim) + 63) / 64 * 64;
    run_wide(psi, walk, offset, dim, u, reinterpret_cast<real*>(lanes_at));
}

void apply_gate(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                int n_controls, const amp* u) {
    // Taken on the calling thread before the first write: a failed
    // allocation is raised with the state unchanged.
    const std::size_t bytes = apply_gate_scratch_bytes(k, worker_slots());
    const std::unique_ptr<void, void (*)(void*)> scratch(
        bytes > 0 ? ::operator new(bytes) : nullptr, [](void* p) { ::operator delete(p); });
    apply_gate_scratch(psi, n, targets, k, controls, n_controls, u, scratch.get());
}

}  // namespace velt::VELT_ISA_NS
