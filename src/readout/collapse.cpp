#include <algorithm>
#include <cstdint>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "readout/readout.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

namespace {

// Amplitudes per iteration: 256 KiB of state.
constexpr std::int64_t chunk = std::int64_t{1} << 14;

// A kept amplitude's new value: each part times `scale`, or times `pre` and
// then `scale`, in double and rounded once to the state's precision (no
// rounding at all in complex128).
struct by_scale {
    double scale;
    amp operator()(const amp& a) const {
        return amp{static_cast<real>(static_cast<double>(a.real()) * scale),
                   static_cast<real>(static_cast<double>(a.imag()) * scale)};
    }
};
struct by_pre_and_scale {
    double pre, scale;
    amp operator()(const amp& a) const {
        return amp{static_cast<real>((static_cast<double>(a.real()) * pre) * scale),
                   static_cast<real>((static_cast<double>(a.imag()) * pre) * scale)};
    }
};

// Halves in runs of R < 8 amplitudes (qubit q < 3, R = 2^q): the run length
// is a compile-time constant, so the loop over one pair of runs unrolls.
template <std::int64_t R, class Keep>
void collapse_short(amp* p, std::int64_t length, int outcome, Keep keep_value) {
    for (std::int64_t i = 0; i < length; i += 2 * R) {
        amp* keep = p + i + (outcome != 0 ? R : 0);
        amp* clear = p + i + (outcome != 0 ? 0 : R);
        for (std::int64_t t = 0; t < R; ++t) {
            keep[t] = keep_value(keep[t]);
            clear[t] = amp{0.0, 0.0};
        }
    }
}

// Every amplitude is written once: the kept ones as keep_value gives them,
// the others as +0.0 (not a product with 0.0, which would give -0.0 for a
// negative part and NaN for an infinite one).  The halves alternate in runs of
// 2^q amplitudes.
template <class Keep>
void collapse_with(amp* psi, std::int64_t n, int q, int outcome, Keep keep_value) {
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
                        p[i] = keep_value(p[i]);
                    }
                } else {
                    std::fill(p, p + length, amp{0.0, 0.0});
                }
            }
            return;
        }
        switch (q) {
            case 0: collapse_short<1>(psi + first, end - first, outcome, keep_value); break;
            case 1: collapse_short<2>(psi + first, end - first, outcome, keep_value); break;
            default:  // q = 2
                collapse_short<4>(psi + first, end - first, outcome, keep_value);
                break;
        }
    });
}

}  // namespace

void collapse(amp* psi, std::int64_t n, int q, int outcome, double scale) {
    collapse_with(psi, n, q, outcome, by_scale{scale});
}

void collapse(amp* psi, std::int64_t n, int q, int outcome, double pre, double scale) {
    collapse_with(psi, n, q, outcome, by_pre_and_scale{pre, scale});
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
