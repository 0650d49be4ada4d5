// Dense gate on one to four targets.
//
// Built once per call on the calling thread and only read by the workers:
//   sorted   the targets in increasing order: the qubits the group walk
//            clears to enumerate the amplitude groups' base indices
//   offset   offset[g] = the sum of 2^targets[d] over the set bits d of g:
//            the member of a group whose target bits form gate index g sits
//            at base + offset[g]
// The walk visits the groups in increasing order of base index; below the
// lowest target consecutive groups are consecutive amplitudes, so for each
// gate index the kernel streams through contiguous runs.  Groups are
// multiplied in batches of dense_batch_size (see dense_batch.hpp) with buffers of fixed
// capacity on each worker's stack.
#include "isa/kernel_table.hpp"
#include "isa/target.hpp"
#include "statevector/dense_batch.hpp"
#include "statevector/dense_rows.hpp"
#include "statevector/dense_runs.hpp"
#include "statevector/group_walk.hpp"

namespace velt::VELT_ISA_NS {

namespace {
constexpr int max_targets = 4;
constexpr int max_dim = 16;  // 2^max_targets: the capacity of the per-batch buffers
constexpr int batch = dense_batch_size;
}  // namespace

void apply_gate_fast(amp* psi, std::int64_t n, const int* targets, int k, const amp* u) {
    if (dense_rows_apply(targets, k)) {
        dense_rows_state(psi, n, k, u);
        return;
    }
    // Insertion sort: at most four entries.
    int sorted[max_targets] = {};
    for (int i = 0; i < k; ++i) {
        int j = i;
        for (; j > 0 && sorted[j - 1] > targets[i]; --j) {
            sorted[j] = sorted[j - 1];
        }
        sorted[j] = targets[i];
    }

    const std::int64_t dim = bit(k);
    std::int64_t offset[max_dim];
    for (std::int64_t g = 0; g < dim; ++g) {
        offset[g] = deposit_bits(g, targets, k);
    }

    const group_walk walk(n, sorted, k);
    if (k >= 1 && dense_runs_apply(sorted, k)) {
        dense_runs_state(psi, walk, k, offset, u);
        return;
    }
    walk.for_each_batch<batch>([&](const std::int64_t* bases, int count) {
        real re[max_dim * batch];
        real im[max_dim * batch];
        apply_dense_batch<batch>(psi, bases, count, offset, dim, u, re, im);
    });
}

}  // namespace velt::VELT_ISA_NS
