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
// a control bit 0 are never touched.  Small gates are multiplied eight groups
// at a time, large ones one group at a time (see dense_batch.hpp).
#include <algorithm>
#include <cstddef>
#include <vector>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "statevector/dense_batch.hpp"
#include "statevector/group_walk.hpp"
#include "statevector/kernels.hpp"

namespace velt {

namespace {

template <int B>
void run(amp* psi, const group_walk& walk, const std::int64_t* offset, std::int64_t dim,
         const amp* u) {
    // Lanes for every worker, taken here so that a failed allocation is
    // raised before any amplitude changes.
    const auto slot = static_cast<std::size_t>(2 * dim * B);
    std::vector<double> lanes(slot * static_cast<std::size_t>(worker_slots()));
    double* const data = lanes.data();
    walk.for_each_batch<B>([=](const std::int64_t* bases, int count) {
        double* re = data + slot * static_cast<std::size_t>(worker_index());
        apply_dense_batch<B>(psi, bases, count, offset, dim, u, re, re + dim * B);
    });
}

}  // namespace

void apply_gate(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                int n_controls, const amp* u) {
    std::vector<int> occupied(targets, targets + k);
    occupied.insert(occupied.end(), controls, controls + n_controls);
    std::sort(occupied.begin(), occupied.end());
    std::int64_t control_mask = 0;
    for (int c = 0; c < n_controls; ++c) {
        control_mask |= bit(controls[c]);
    }
    const group_walk walk(n, occupied.data(), static_cast<int>(occupied.size()), control_mask);

    const std::int64_t dim = bit(k);
    std::vector<std::int64_t> offset(static_cast<std::size_t>(dim));
    for (std::int64_t g = 0; g < dim; ++g) {
        offset[static_cast<std::size_t>(g)] = deposit_bits(g, targets, k);
    }
    if (dim <= 64) {
        run<8>(psi, walk, offset.data(), dim, u);
    } else {
        run<1>(psi, walk, offset.data(), dim, u);
    }
}

}  // namespace velt
