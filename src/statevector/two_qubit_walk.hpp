// The two-qubit block walk shared by the CNOT, SWAP and controlled kernels.
//
// For qubits lo < hi the state splits into blocks of 2^(hi+1) consecutive
// amplitudes.  Inside a block, runs of R = 2^lo amplitudes start at every
// base index whose bits lo and hi and all bits below lo are clear; a kernel
// adds its own offsets (2^lo, 2^hi or both) to reach the amplitudes it pairs
// up, and walks each run with unit stride.  Blocks are the parallel loop's
// iterations; each touches only its own 2^(hi+1) amplitudes.
#pragma once

#include <algorithm>
#include <utility>
#include <cstdint>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"

namespace velt {

struct two_qubit_walk {
    int lo;
    int hi;
    std::int64_t run;     // R: amplitudes per run
    std::int64_t runs;    // M: runs per block; none when the qubits are equal
    std::int64_t blocks;  // B: whole blocks in the first n amplitudes

    // a, b in 0..62; n >= 0.
    two_qubit_walk(std::int64_t n, int a, int b)
        : lo(std::min(a, b)),
          hi(std::max(a, b)),
          run(bit(lo)),
          runs(a == b ? 0 : bit(hi - lo - 1)),
          blocks(n >> (hi + 1)) {}

    // Calls body(base) for every run: in parallel over blocks, in increasing
    // order of base within a block.
    template <class RunBody>
    void for_each_run(const RunBody& body) const {
        const two_qubit_walk w = *this;
        parallel_for(w.blocks, [&w, &body](std::int64_t i) {
            for (std::int64_t j = 0; j < w.runs; ++j) {
                body((i << (w.hi + 1)) | (j << (w.lo + 1)));
            }
        });
    }

    // Exchanges psi[base + x + k] with psi[base + y + k] for every run base
    // and k < R: whole amplitudes are moved, no arithmetic is done.
    template <class T>
    void exchange(T* psi, std::int64_t x, std::int64_t y) const {
        const std::int64_t r = run;
        for_each_run([=](std::int64_t base) {
            T* p = psi + base + x;
            T* q = psi + base + y;
            for (std::int64_t k = 0; k < r; ++k) {
                std::swap(p[k], q[k]);
            }
        });
    }
};

}  // namespace velt
