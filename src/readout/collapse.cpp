#include <algorithm>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "readout/readout.hpp"

namespace velt {

namespace {

// Amplitudes per iteration: 256 KiB of state.
constexpr std::int64_t chunk = std::int64_t{1} << 14;

}  // namespace

// Every amplitude is written once: the kept ones as (re * scale, im * scale),
// the others as +0.0 (not a product with 0.0, which would give -0.0 for a
// negative part and NaN for an infinite one).  The halves alternate in runs of
// 2^q amplitudes.
void collapse(amp* psi, std::int64_t n, int q, int outcome, double scale) {
    const std::int64_t run = bit(q);
    const std::int64_t kept_bit = outcome != 0 ? run : 0;
    parallel_for((n + chunk - 1) / chunk, [=](std::int64_t c) {
        const std::int64_t first = c * chunk;
        const std::int64_t end = std::min(n, first + chunk);
        if (run >= 8) {
            for (std::int64_t r = first; r < end; r += std::min(run, end - first)) {
                amp* p = psi + r;
                const std::int64_t length = std::min(run, end - r);
                if ((r & run) == kept_bit) {
                    for (std::int64_t i = 0; i < length; ++i) {
                        p[i] = amp{p[i].real() * scale, p[i].imag() * scale};
                    }
                } else {
                    std::fill(p, p + length, amp{0.0, 0.0});
                }
            }
            return;
        }
        for (std::int64_t i = first; i < end; ++i) {
            psi[i] = (i & run) == kept_bit ? amp{psi[i].real() * scale, psi[i].imag() * scale}
                                           : amp{0.0, 0.0};
        }
    });
}

}  // namespace velt
