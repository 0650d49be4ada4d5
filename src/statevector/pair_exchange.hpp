// CNOT and SWAP are permutations: both exchange whole amplitudes, both
// components at once, so their results are exact (NaN payloads and signs of
// zero included).
#pragma once

#include <algorithm>
#include <utility>

#include "common/amplitude.hpp"
#include "statevector/group_walk.hpp"

namespace velt {

// For every index x below n with qubits a and b clear (a != b), exchanges
// psi[x + dx] with psi[x + dy].
template <class T>
void exchange_pairs(T* psi, std::int64_t n, int a, int b, std::int64_t dx, std::int64_t dy) {
    const int qubits[2] = {std::min(a, b), std::max(a, b)};
    group_walk(n, qubits, 2).for_each_run([=](std::int64_t first, std::int64_t length, auto step) {
        T* x = psi + first + dx;
        T* y = psi + first + dy;
        if ((dx ^ dy) >= far_apart) {
            // One run after the other: see far_apart.
            T held[far_chunk];
            for (std::int64_t k = 0; k < length; k += far_chunk) {
                const std::int64_t chunk = std::min(far_chunk, length - k);
                T* xk = x + k * step;
                T* yk = y + k * step;
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
        for (std::int64_t k = 0; k < length * step; k += step) {
            std::swap(x[k], y[k]);
        }
    });
}

}  // namespace velt
