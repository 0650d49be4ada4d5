// CNOT and SWAP are permutations: both exchange whole amplitudes, both
// components at once, so their results are exact (NaN payloads and signs of
// zero included).
#pragma once

#include <algorithm>
#include <utility>

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
            for (std::int64_t k = 0; k < length * step; k += step) {
                std::swap(x[k], y[k]);
            }
        });
}

}  // namespace velt
