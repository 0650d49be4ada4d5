#include "isa/kernel_table.hpp"
#include "isa/target.hpp"
#include "statevector/group_walk.hpp"
#include "statevector/pair_run.hpp"

namespace velt::VELT_ISA_NS {

void apply_controlled_1q(amp* psi, std::int64_t n, int c, int t, const mat2& m) {
    if (c == t) {
        return;
    }
    const std::int64_t control = bit(c);
    const std::int64_t target = bit(t);
    const mat2 gate = m;  // one copy per call, read by every worker
    const int qubits[2] = {std::min(c, t), std::max(c, t)};
    group_walk(n, qubits, 2).for_each_run([=](std::int64_t first, std::int64_t length, auto step) {
        amp* a0 = psi + first + control;  // control set, target clear
        amp* a1 = a0 + target;            // control set, target set
        pair_update_run(a0, a1, length, step, gate);
    });
}

}  // namespace velt::VELT_ISA_NS
