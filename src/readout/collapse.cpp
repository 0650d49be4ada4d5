#include <algorithm>
#include <cstdint>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "readout/readout.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

namespace {

// Each part times the scale in double, rounded once to the state's precision
// (no rounding at all in complex128).
inline amp scaled(const amp& a, double scale) {
    return amp{static_cast<real>(static_cast<double>(a.real()) * scale),
               static_cast<real>(static_cast<double>(a.imag()) * scale)};
}

// Amplitudes per iteration: 256 KiB of state.
constexpr std::int64_t chunk = std::int64_t{1} << 14;

// Halves in runs of R < 8 amplitudes (qubit q < 3, R = 2^q): the run length
// is a compile-time constant, so the loop over one pair of runs unrolls.
template <std::int64_t R>
void collapse_short(amp* p, std::int64_t length, int outcome, double scale) {
    for (std::int64_t i = 0; i < length; i += 2 * R) {
        amp* keep = p + i + (outcome != 0 ? R : 0);
        amp* clear = p + i + (outcome != 0 ? 0 : R);
        for (std::int64_t t = 0; t < R; ++t) {
            keep[t] = scaled(keep[t], scale);
            clear[t] = amp{0.0, 0.0};
        }
    }
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
                        p[i] = scaled(p[i], scale);
                    }
                } else {
                    std::fill(p, p + length, amp{0.0, 0.0});
                }
            }
            return;
        }
        switch (q) {
            case 0: collapse_short<1>(psi + first, end - first, outcome, scale); break;
            case 1: collapse_short<2>(psi + first, end - first, outcome, scale); break;
            default: collapse_short<4>(psi + first, end - first, outcome, scale); break;  // q = 2
        }
    });
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
