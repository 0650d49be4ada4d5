#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "statevector/kernels.hpp"

namespace velt {

void apply_1q(amp* psi, std::int64_t n, int q, const mat2& m) {
    const std::int64_t stride = bit(q);
    const std::int64_t blocks = n / (2 * stride);
    const mat2 gate = m;  // one copy per call, read by every worker
    parallel_for(blocks, [=](std::int64_t b) {
        amp* lo = psi + b * 2 * stride;
        amp* hi = lo + stride;
        for (std::int64_t j = 0; j < stride; ++j) {
            pair_update(lo[j], hi[j], gate);
        }
    });
}

}  // namespace velt
