#include "isa/kernel_table.hpp"
#include "isa/target.hpp"
#include "statevector/group_walk.hpp"
#include "statevector/pair_run.hpp"

namespace velt::VELT_ISA_NS {

// The pairs are those of the target with the control bit set.  Qubits below
// the register width (2^q < width) get paths of their own, so that no inner
// loop is left with runs shorter than a register:
//   control low, target below short_stride
//                   streamed without a walk, lanes selected by the control;
//   target low      the control-set half of every block of 2^(c+1), chunk by chunk;
//   control low     the target's runs, lanes selected by the control;
//   neither         the walk over both qubits, runs of at least a register.
void apply_controlled_1q(amp* psi, std::int64_t n, int c, int t, const mat2& m) {
    if (c == t) {
        return;
    }
    const std::int64_t control = bit(c);
    const std::int64_t target = bit(t);
    const mat2 gate = m;  // one copy per call, read by every worker
    if (control < width && target < short_stride) {
        pair_update_near(psi, n, t, c, gate);
        return;
    }
    if (target < width) {
        group_walk(n, &c, 1).for_each_run(
            [=](std::int64_t first, std::int64_t length, auto) {
                amp* a = psi + first + control;  // `length` amplitudes with the control set
                const std::int64_t chunks = length / width;
                pair_update_chunks(a, chunks, t, -1, gate);
                for (std::int64_t i = chunks * width; i < length; ++i) {
                    if (((i >> t) & 1) == 0) {
                        pair_update(a[i], a[i + target], gate);
                    }
                }
            },
            1);
        return;
    }
    if (control < width) {
        group_walk(n, &t, 1).for_each_run(
            [=](std::int64_t first, std::int64_t length, auto) {
                amp* a0 = psi + first;  // target clear, either control value
                pair_update_run_masked(a0, a0 + target, length, c, gate);
            },
            1);
        return;
    }
    const int qubits[2] = {std::min(c, t), std::max(c, t)};
    group_walk(n, qubits, 2).for_each_run([=](std::int64_t first, std::int64_t length, auto step) {
        amp* a0 = psi + first + control;  // control set, target clear
        amp* a1 = a0 + target;            // control set, target set
        pair_update_run(a0, a1, length, step, gate);
    });
}

}  // namespace velt::VELT_ISA_NS
