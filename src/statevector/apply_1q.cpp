#include "isa/kernel_table.hpp"
#include "isa/target.hpp"
#include "statevector/group_walk.hpp"
#include "statevector/pair_run.hpp"

namespace velt::VELT_ISA_NS {

void apply_1q(amp* psi, std::int64_t n, int q, const mat2& m) {
    const std::int64_t stride = bit(q);
    const mat2 gate = m;  // one copy per call, read by every worker
    if (stride < short_stride) {
        // Short runs of pairs: streamed without a walk.
        pair_update_near(psi, n, q, -1, gate);
        return;
    }
    group_walk(n, &q, 1).for_each_run([=](std::int64_t first, std::int64_t length, auto step) {
        amp* a0 = psi + first;  // bit q clear
        amp* a1 = a0 + stride;  // bit q set
        pair_update_run(a0, a1, length, step, gate);
    });
}

}  // namespace velt::VELT_ISA_NS
