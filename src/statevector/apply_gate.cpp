// Dense gate on any number of targets, with optional controls.
//
//   occupied  every target and control qubit
//   free      the other qubits 0..n_qubits-1, ascending (m of them)
//   controls  mask with every control bit set
// Outer index i in 0..2^m-1 names one amplitude group: its base index is i's
// bits deposited on the free qubits on top of the control mask (all control
// bits 1, all target bits 0), and its members are the gate indices deposited
// on the targets on top of that.  Distinct i differ in a free bit, so the
// groups are disjoint.  Amplitudes with a control bit 0 are never touched.
#include <cstddef>
#include <vector>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "statevector/kernels.hpp"

namespace velt {

void apply_gate(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                int n_controls, const amp* u) {
    const int n_qubits = log2_exact(n);
    std::int64_t occupied = 0;
    std::int64_t control_mask = 0;
    for (int d = 0; d < k; ++d) {
        occupied |= bit(targets[d]);
    }
    for (int c = 0; c < n_controls; ++c) {
        occupied |= bit(controls[c]);
        control_mask |= bit(controls[c]);
    }
    std::vector<int> free;
    for (int q = 0; q < n_qubits; ++q) {
        if ((occupied & bit(q)) == 0) {
            free.push_back(q);
        }
    }
    const int m = static_cast<int>(free.size());
    const std::int64_t dim = bit(k);

    // Gather and result buffers for every worker, taken here so that a failed
    // allocation is raised before any amplitude changes.
    const auto slot = static_cast<std::size_t>(2 * dim);
    std::vector<amp> scratch(slot * static_cast<std::size_t>(worker_slots()));

    amp* const scratch_data = scratch.data();
    const int* const free_qubits = free.data();
    parallel_for(bit(m), [=](std::int64_t i) {
        amp* gather = scratch_data + slot * static_cast<std::size_t>(worker_index());
        amp* result = gather + dim;
        const std::int64_t base = deposit_bits(i, free_qubits, m, control_mask);
        for (std::int64_t j = 0; j < dim; ++j) {
            gather[j] = psi[deposit_bits(j, targets, k, base)];
        }
        matvec(u, dim, gather, result);
        for (std::int64_t j = 0; j < dim; ++j) {
            psi[deposit_bits(j, targets, k, base)] = result[j];
        }
    });
}

}  // namespace velt
