#include "statevector/kernels.hpp"
#include "statevector/two_qubit_walk.hpp"

namespace velt {

void apply_controlled_1q(amp* psi, std::int64_t n, int c, int t, const mat2& m) {
    const two_qubit_walk walk(n, c, t);
    const std::int64_t r = walk.run;
    const std::int64_t control = bit(c);
    const std::int64_t target = bit(t);
    const mat2 gate = m;  // one copy per call, read by every worker
    walk.for_each_run([=](std::int64_t base) {
        amp* a0 = psi + base + control;  // control set, target clear
        amp* a1 = a0 + target;           // control set, target set
        for (std::int64_t k = 0; k < r; ++k) {
            pair_update(a0[k], a1[k], gate);
        }
    });
}

}  // namespace velt
