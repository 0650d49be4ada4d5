// The index walk shared by every state-vector kernel.
//
// A kernel updates amplitudes in groups whose members differ only in a few
// qubits (the target of a 2x2 gate, the two qubits of CNOT and SWAP, the
// targets of a dense gate).  Each group is named by its base index: the
// member with all those qubits clear, optionally with some further bits set
// (the controls of apply_gate).  Counting p = 0, 1, 2, ... and inserting a
// zero at each "clear" qubit, in increasing order, visits the bases in
// increasing order; consecutive p give consecutive bases in runs of
// 2^(lowest clear qubit), which the 2x2 kernels walk with unit stride.  Only
// bases inside whole blocks of 2^(highest clear qubit + 1) amplitudes are
// visited: a trailing partial block is left alone.
//
// The count is cut into tiles of consecutive p, and the tiles are the
// iterations of the one parallel loop.  Tiling, rather than one iteration per
// block, keeps every worker busy when the highest qubit leaves one or two
// blocks, and keeps the work per iteration large when blocks are tiny.  Every
// base belongs to exactly one tile and every tile runs its bases in order, so
// results do not depend on how the tiles are shared among workers.
//
// Per-ISA units only: the walk inlines each kernel's core, so it is compiled
// for the unit's instruction set, in its namespace.
#pragma once

#include "isa/lanes.hpp"

namespace velt::VELT_ISA_NS {

class group_walk {
public:
    // Amplitudes per parallel iteration, roughly: 2^12 complex128 are 64 KiB,
    // enough to hide the loop's overhead and few enough that a 2^16-amplitude
    // state still splits over several workers.
    static constexpr std::int64_t tile_amplitudes = std::int64_t{1} << 12;

    // clear: k distinct qubits in increasing order, each in 0..62 (k <= 62);
    // set: bits OR-ed into every base (none of them a clear qubit).  With no
    // clear qubit every index below n is a base.
    group_walk(std::int64_t n, const int* clear, int k, std::int64_t set = 0) : k_(k), set_(set) {
        std::copy(clear, clear + k, clear_);
        // low_: how many clear qubits 0, 1, ... in a row.  A run is a stretch
        // of p over which the base grows by a fixed stride 2^low_: up to the
        // next clear qubit (none: the whole walk).
        low_ = 0;
        while (low_ < k && clear[low_] == low_) {
            ++low_;
        }
        run_ = bit(low_ < k ? clear[low_] - low_ : 62);
        const int top = k > 0 ? clear[k - 1] + 1 : 0;
        count_ = (n >> top) << (top - k);
        // Groups hold 2^k amplitudes; a tile holds about tile_amplitudes.
        tile_ = std::max<std::int64_t>(1, tile_amplitudes >> std::min(k, 12));
    }

    std::int64_t count() const { return count_; }

    // The base of the p-th group.
    std::int64_t base(std::int64_t p) const {
        for (int i = 0; i < k_; ++i) {
            p = insert_zero_bit(p, clear_[i]);
        }
        return p | set_;
    }

    // Calls body(first, length, stride) for runs of bases first + j * stride,
    // j = 0..length-1, each tile's runs in increasing order.  stride is a
    // std::integral_constant: 1 when qubit 0 is not a clear qubit, otherwise
    // 2^(number of clear qubits 0, 1, ... in a row) (2 for a single-qubit
    // gate on qubit 0, 4 for two clear qubits 0 and 1), so that a kernel's
    // inner loop has a fixed stride even when its pairs are neighbours.
    //
    // The loop counts count() pairs of work towards its serial threshold,
    // or count() >> work_shift when a kernel updates only part of each run.
    template <class RunBody>
    void for_each_run(const RunBody& body, int work_shift = 0) const {
        const loop_work work{count_ >> work_shift, serial_below::pairs};  // one pair per group
        switch (low_) {
            case 0: return runs(body, std::integral_constant<std::int64_t, 1>{}, work);
            case 1: return runs(body, std::integral_constant<std::int64_t, 2>{}, work);
            case 2: return runs(body, std::integral_constant<std::int64_t, 4>{}, work);
            default:
                throw std::logic_error("group_walk: strided runs serve at most two low qubits");
        }
    }

    // The runs of a walk without clear qubit 0 (unit stride), counted as a
    // dense gate's work: groups times group size, as for_each_batch counts.
    template <class RunBody>
    void for_each_unit_run(const RunBody& body) const {
        if (low_ != 0) {
            throw std::logic_error("group_walk: unit runs need qubit 0 outside the groups");
        }
        const int group_bits = k_ - __builtin_popcountll(static_cast<unsigned long long>(set_));
        const loop_work work{count_ << group_bits, serial_below::dense_amplitudes};
        runs(body, std::integral_constant<std::int64_t, 1>{}, work);
    }

    // Calls body(bases, count) for batches of up to B bases in increasing
    // order, each tile's batches in order.
    template <int B, class BatchBody>
    void for_each_batch(const BatchBody& body) const {
        const group_walk& w = *this;
        const std::int64_t stride = bit(w.low_);
        // Groups times group size: the set bits (controls) are not part of a group.
        const int group_bits = w.k_ - __builtin_popcountll(static_cast<unsigned long long>(w.set_));
        const loop_work work{w.count_ << group_bits, serial_below::dense_amplitudes};
        parallel_for(w.tiles(), work, [&w, &body, stride](std::int64_t t) {
            std::int64_t bases[static_cast<std::size_t>(B)];
            int count = 0;
            std::int64_t p = t * w.tile_;
            const std::int64_t end = std::min(p + w.tile_, w.count_);
            while (p < end) {
                const std::int64_t length = std::min(w.run_ - (p & (w.run_ - 1)), end - p);
                const std::int64_t first = w.base(p);
                for (std::int64_t j = 0; j < length; ++j) {
                    bases[count++] = first + j * stride;
                    if (count == B) {
                        body(static_cast<const std::int64_t*>(bases), count);
                        count = 0;
                    }
                }
                p += length;
            }
            if (count > 0) {
                body(static_cast<const std::int64_t*>(bases), count);
            }
        });
    }

private:
    std::int64_t tiles() const { return (count_ + tile_ - 1) / tile_; }

    template <class RunBody, class Stride>
    void runs(const RunBody& body, Stride stride, loop_work work) const {
        const group_walk& w = *this;
        parallel_for(w.tiles(), work, [&w, &body, stride](std::int64_t t) {
            std::int64_t p = t * w.tile_;
            const std::int64_t end = std::min(p + w.tile_, w.count_);
            while (p < end) {
                const std::int64_t length = std::min(w.run_ - (p & (w.run_ - 1)), end - p);
                body(w.base(p), length, stride);
                p += length;
            }
        });
    }

    int clear_[64];
    int k_;
    int low_;
    std::int64_t set_;
    std::int64_t run_;
    std::int64_t count_;
    std::int64_t tile_;
};

// Calls body(first, count) for tiles of `count` consecutive units starting
// with unit `first`, together covering units 0..units-1, a unit being
// 2^unit_bits amplitudes and a tile about tile_amplitudes of them: the loop
// of kernels that address their work unit by unit instead of by a walk.
template <class TileBody>
void for_each_tile(std::int64_t units, int unit_bits, loop_work work, const TileBody& body) {
    const std::int64_t tile = std::max<std::int64_t>(1, group_walk::tile_amplitudes >> unit_bits);
    parallel_for((units + tile - 1) / tile, work, [&body, units, tile](std::int64_t i) {
        const std::int64_t first = i * tile;
        body(first, std::min(tile, units - first));
    });
}

// The same with units of one chunk of `width` amplitudes: the walk of
// kernels whose amplitude groups lie inside one chunk, so that a tile is one
// contiguous stretch of memory.
template <class TileBody>
void for_each_chunk_tile(std::int64_t chunks, loop_work work, const TileBody& body) {
    for_each_tile(chunks, __builtin_ctz(static_cast<unsigned>(width)), work, body);
}

}  // namespace velt::VELT_ISA_NS
