#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "readout/readout.hpp"

namespace velt {

namespace {

// Amplitudes per iteration: 256 KiB of state.
constexpr std::int64_t chunk = std::int64_t{1} << 14;

double masked(double v, std::uint64_t mask) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bits &= mask;
    std::memcpy(&v, &bits, sizeof bits);
    return v;
}

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
        // Runs shorter than 8: the same pattern repeats every 8 amplitudes,
        // so each element is scaled and then kept or cleared with a bit mask
        // (a cleared element's bits all 0: +0.0), without a branch.
        std::uint64_t keep[8];
        for (int l = 0; l < 8; ++l) {
            keep[l] = (l & run) == kept_bit ? ~std::uint64_t{0} : 0;
        }
        double* d = reinterpret_cast<double*>(psi + first);
        const std::int64_t length = end - first;
        std::int64_t i = 0;
        for (; i + 8 <= length; i += 8) {
            for (int l = 0; l < 8; ++l) {
                d[2 * (i + l)] = masked(d[2 * (i + l)] * scale, keep[l]);
                d[2 * (i + l) + 1] = masked(d[2 * (i + l) + 1] * scale, keep[l]);
            }
        }
        for (; i < length; ++i) {  // states of fewer than 8 amplitudes
            d[2 * i] = masked(d[2 * i] * scale, keep[i]);
            d[2 * i + 1] = masked(d[2 * i + 1] * scale, keep[i]);
        }
    });
}

}  // namespace velt
