// The walk of the diagonal gate and the Pauli rotations (per-ISA units only).
//
// These kernels update every amplitude (or every pair) whose control bits
// are 1, each by a coefficient that depends on a few of its index bits, so
// they stream the state in chunks of `width` amplitudes, one register pair
// (real parts, imaginary parts) per chunk:
//   - controls inside a chunk (2^c < width) select lanes: the other lanes are
//     stored back as they were read, within the call;
//   - controls at or above the chunk, and the highest X/Y qubit of a
//     rotation, are bits of the chunk index c that the walk holds at 1 (the
//     controls) or 0 (the X/Y qubit, whose pair partner is visited with it);
//   - the coefficient's index bits above the chunk are a function of c that
//     the walk keeps up to date as c counts up (packed_counter), so that a
//     chunk costs a few integer operations, not a loop over the qubits.
// Every amplitude's arithmetic is fixed by its index alone, so the walk's
// order, its tiles and the lanes change nothing in the results.
#pragma once

#include "isa/lanes.hpp"
#include "statevector/group_walk.hpp"

namespace velt::VELT_ISA_NS {

// Amplitudes per chunk: 2^phase_chunk_bits = width.
inline constexpr int phase_chunk_bits = width == 2 ? 1 : width == 4 ? 2 : width == 8 ? 3 : 4;
static_assert((1 << phase_chunk_bits) == width);

// pack(c): the bits of c at the set positions of `mask`, lowest first, as
// consecutive bits from bit 0 (the index of a diagonal's entry), or their
// parity (the sign of a Z string).  Counting c up by one flips bits 0..r of
// c, r the number of trailing zeros of c + 1; both results are linear over
// XOR, so they change by the pack (or parity) of those bits alone, which
// next() looks up.
class packed_counter {
public:
    packed_counter(std::int64_t mask, bool parity_only) : mask_(mask), parity_(parity_only) {
        for (int r = 0; r < 63; ++r) {
            // Unsigned: at r = 62 the low mask is 2^63 - 1, past a signed shift.
            const auto low = static_cast<std::int64_t>((std::uint64_t{2} << r) - 1);
            const std::int64_t below = mask & low;
            const int m = __builtin_popcountll(static_cast<unsigned long long>(below));
            flips_[r] = parity_ ? (m & 1) : (std::int64_t{1} << m) - 1;
        }
    }

    std::int64_t pack(std::int64_t c) const {
        std::int64_t out = 0;
        int d = 0;
        for (std::int64_t m = mask_; m != 0; m &= m - 1) {
            out |= ((c >> __builtin_ctzll(static_cast<unsigned long long>(m))) & 1) << d++;
        }
        return parity_ ? __builtin_parityll(static_cast<unsigned long long>(out)) : out;
    }

    // pack(c) from pack(c - 1), c > 0.
    std::int64_t next(std::int64_t previous, std::int64_t c) const {
        return previous ^ flips_[__builtin_ctzll(static_cast<unsigned long long>(c))];
    }

private:
    std::int64_t mask_;
    bool parity_;
    std::int64_t flips_[63];
};

// The controls of a call, split at the chunk: those inside it select lanes,
// the others are chunk-index bits held at 1.  `clear` may add one chunk-index
// bit held at 0 (a rotation's highest X/Y qubit).
struct phase_controls {
    bool masked = false;   // some control inside the chunk
    lane_mask on;          // lanes whose control bits are all 1 (set after the sort)
    int clear[64];         // chunk-index bits the walk fixes, increasing
    int fixed = 0;         // how many
    std::int64_t set = 0;  // the chunk-index bits held at 1

    // The chunk-index bits are sorted before any lane mask is formed: the
    // sort is baseline code, and a vector register written before it would
    // reach it with dirty upper halves.
    phase_controls(const int* controls, int n_controls, int clear_bit = -1) {
        for (int i = 0; i < n_controls; ++i) {
            if (controls[i] >= phase_chunk_bits) {
                clear[fixed++] = controls[i] - phase_chunk_bits;
                set |= bit(controls[i] - phase_chunk_bits);
            }
        }
        if (clear_bit >= 0) {
            clear[fixed++] = clear_bit;
        }
        std::sort(clear, clear + fixed);
        on = all_lanes();
        for (int i = 0; i < n_controls; ++i) {
            if (controls[i] < phase_chunk_bits) {
                masked = true;
                on = on & lanes_with_qubit(controls[i]);
            }
        }
    }
};

// Calls body(first, count) for runs of `count` consecutive chunk indices
// from `first`, together every chunk index below `chunks` whose bits at the
// walk's fixed positions are those of `ctl` (1 for controls, 0 for the clear
// bit); chunks is a power of two above every fixed position.  The runs are
// cut into tiles of about tile_amplitudes, the iterations of the parallel
// loop, each tile's runs in increasing order.
template <class RunBody>
void for_each_chunk_run(std::int64_t chunks, const phase_controls& ctl, loop_work work,
                        const RunBody& body) {
    const std::int64_t count = chunks >> ctl.fixed;
    const std::int64_t run = ctl.fixed > 0 ? bit(ctl.clear[0]) : count;
    const std::int64_t tile = std::max<std::int64_t>(1, group_walk::tile_amplitudes / width);
    const int* clear = ctl.clear;
    const int fixed = ctl.fixed;
    const std::int64_t set = ctl.set;
    parallel_for((count + tile - 1) / tile, work, [=, &body](std::int64_t t) {
        std::int64_t p = t * tile;
        const std::int64_t end = std::min(p + tile, count);
        while (p < end) {
            const std::int64_t length = std::min(run - (p & (run - 1)), end - p);
            std::int64_t first = p;
            for (int i = 0; i < fixed; ++i) {
                first = insert_zero_bit(first, clear[i]);
            }
            body(first | set, length);
            p += length;
        }
    });
}

// Calls step(c, value) for the chunks c = first .. first + count - 1 with
// value = counter.pack(c), as two streams: the two halves of the run side
// by side (a worker that reads two stretches of memory at once keeps more
// cache-line loads in flight), then the last chunk of an odd count.
template <class Step>
inline void two_stream_run(std::int64_t first, std::int64_t count, const packed_counter& counter,
                           Step&& step) {
    const std::int64_t half = count / 2;
    std::int64_t a = counter.pack(first);
    std::int64_t b = counter.pack(first + half);
    for (std::int64_t i = 0; i < half; ++i) {
        if (i > 0) {
            a = counter.next(a, first + i);
            b = counter.next(b, first + half + i);
        }
        step(first + i, a);
        step(first + half + i, b);
    }
    if ((count & 1) != 0) {
        step(first + count - 1, counter.pack(first + count - 1));
    }
}

// The parity of the bits of `x` at the set bits of z.
inline int parity_of(std::int64_t x, std::int64_t z) {
    return __builtin_parityll(static_cast<unsigned long long>(x & z));
}

}  // namespace velt::VELT_ISA_NS
