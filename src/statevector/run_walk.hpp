// The index walk shared by the single-qubit, CNOT, SWAP and controlled kernels.
//
// These kernels touch amplitudes in pairs whose first member has one or two
// given bits clear (the "clear bits", ascending).  Counting p = 0, 1, 2, ...
// and inserting a zero at each clear bit visits those first members in
// increasing order; consecutive p give consecutive indices in runs of
// 2^(lowest clear bit), so each kernel's inner loop walks a run with unit
// stride.  Only indices inside whole blocks of 2^(highest clear bit + 1)
// amplitudes are visited: a trailing partial block is left alone.
//
// The count is cut into tiles of consecutive p, and the tiles are the parallel
// loop's iterations.  Tiling instead of one iteration per block keeps both
// workers busy when the highest qubit leaves only one or two blocks, and keeps
// per-iteration work large when the blocks are tiny.  Every index belongs to
// exactly one tile, so results do not depend on how tiles are shared out.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"

namespace velt {

template <std::size_t K>
class run_walk {
public:
    // Pairs visited per parallel iteration (at most): 2^11 pairs of complex128
    // are 64 KiB of amplitudes, enough to hide the loop overhead and small
    // enough that a 2^16-amplitude state still splits over several workers.
    static constexpr std::int64_t tile = std::int64_t{1} << 11;

    // clear: K distinct qubits in increasing order, each in 0..62; n >= 0.
    run_walk(std::int64_t n, const std::array<int, K>& clear)
        : clear_(clear),
          run_(bit(clear[0])),
          count_((n >> (clear[K - 1] + 1)) << (clear[K - 1] + 1 - static_cast<int>(K))) {}

    std::int64_t count() const { return count_; }

    // Calls body(first, length) for runs of consecutive first members
    // [first, first + length), in increasing order within each tile.
    template <class RunBody>
    void for_each_run(const RunBody& body) const {
        const run_walk w = *this;
        parallel_for((w.count_ + tile - 1) / tile, [&w, &body](std::int64_t t) {
            std::int64_t p = t * tile;
            const std::int64_t end = std::min(p + tile, w.count_);
            while (p < end) {
                const std::int64_t length = std::min(w.run_ - (p & (w.run_ - 1)), end - p);
                body(w.first_member(p), length);
                p += length;
            }
        });
    }

private:
    std::int64_t first_member(std::int64_t p) const {
        for (int b : clear_) {
            p = insert_zero_bit(p, b);
        }
        return p;
    }

    std::array<int, K> clear_;
    std::int64_t run_;
    std::int64_t count_;
};

}  // namespace velt
