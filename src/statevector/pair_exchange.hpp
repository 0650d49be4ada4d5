// CNOT and SWAP are permutations: both exchange whole amplitudes, both
// components at once, so their results are exact (NaN payloads and signs of
// zero included) on every path.  Per-ISA units only.
#pragma once

#include "isa/lanes.hpp"
#include "statevector/group_walk.hpp"

namespace velt::VELT_ISA_NS {

namespace detail {

// Neighbours x[k], y[k] = x[k] + 1 in one register: exchange the two halves of
// every group of four lanes.
template <std::size_t... I>
inline vec swap_neighbours(vec v, std::index_sequence<I...>) {
    return __builtin_shufflevector(v, v, (I ^ 2)...);
}

}  // namespace detail

// For every index x below n with qubits a and b clear (a != b), exchanges
// psi[x + dx] with psi[x + dy].
inline void exchange_pairs(amp* psi, std::int64_t n, int a, int b, std::int64_t dx,
                           std::int64_t dy) {
    const int qubits[2] = {std::min(a, b), std::max(a, b)};
    group_walk(n, qubits, 2).for_each_run([=](std::int64_t first, std::int64_t length, auto step) {
        amp* x = psi + first + dx;
        amp* y = psi + first + dy;
        if ((dx ^ dy) >= far_apart) {
            // One run after the other: see far_apart.
            amp held[far_chunk];
            for (std::int64_t k = 0; k < length; k += far_chunk) {
                const std::int64_t chunk = std::min(far_chunk, length - k);
                amp* xk = x + k * step;
                amp* yk = y + k * step;
                for (std::int64_t c = 0; c < chunk; ++c) {
                    held[c] = xk[c * step];
                }
                for (std::int64_t c = 0; c < chunk; ++c) {
                    xk[c * step] = yk[c * step];
                }
                for (std::int64_t c = 0; c < chunk; ++c) {
                    yk[c * step] = held[c];
                }
            }
            return;
        }
        std::int64_t k = 0;
        if constexpr (decltype(step)::value == 1) {
            // Two runs of whole registers.
            constexpr std::int64_t per = width / 2;  // amplitudes per register
            double* xd = reinterpret_cast<double*>(x);
            double* yd = reinterpret_cast<double*>(y);
            for (; k + per <= length; k += per) {
                const vec vx = load(xd + 2 * k);
                const vec vy = load(yd + 2 * k);
                store(xd + 2 * k, vy);
                store(yd + 2 * k, vx);
            }
        } else if constexpr (decltype(step)::value == 2 && width > 2) {
            if (y == x + 1) {
                // CNOT with target 0: the pairs fill the memory from x.
                constexpr std::int64_t per = width / 4;  // pairs per register
                double* xd = reinterpret_cast<double*>(x);
                for (; k + per <= length; k += per) {
                    const vec v = load(xd + 4 * k);
                    store(xd + 4 * k,
                          detail::swap_neighbours(v, std::make_index_sequence<width>{}));
                }
            }
        }
        for (; k < length; ++k) {
            std::swap(x[k * step], y[k * step]);
        }
    });
}

}  // namespace velt::VELT_ISA_NS
