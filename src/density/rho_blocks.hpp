// The sub-blocks of a density matrix that k qubits select, `width` at a
// time in vector lanes (per-ISA units only).
//
// With the qubits' bits clear in a row base r0 and a column base c0, the
// sub-block B(r0, c0) is the 2^k x 2^k matrix of the elements
// (r0 + offset[g], c0 + offset[h]), offset[g] holding bit d of g at position
// qubits[d].  Sub-blocks partition the matrix, and a channel or a conjugation
// by a gate on those qubits maps each sub-block to a new value that depends on
// that sub-block alone.  So each is read whole into registers, transformed and
// written back over itself: no scratch matrix, and every element has one
// reader and writer, the worker that owns the sub-block's row base.
//
// A batch holds `width` sub-blocks of one row base, side by side in the lanes:
// those of the column bases spread(f), ..., spread(f + width - 1) (spread puts
// the bits of f at the positions that are not the qubits').  When the lowest
// qubit is at or above log2(width), those bases are consecutive columns and
// each element of the batch moves with whole-register loads (in load_split's
// lane order, which store_split undoes); otherwise the lanes are filled and
// emptied element by element.  Lanes past the end of a short batch repeat the
// first sub-block: they are computed and dropped.
#pragma once

#include "isa/lanes.hpp"

namespace velt::VELT_ISA_NS {

template <int K>
struct rho_blocks {
    static constexpr int side = 1 << K;  // rows (and columns) of a sub-block
    static constexpr int size = side * side;
    // The same as array extents.
    static constexpr std::size_t sides = static_cast<std::size_t>(side);
    static constexpr std::size_t sizes = static_cast<std::size_t>(size);

    std::int64_t dim = 0;   // rows of rho
    std::int64_t half = 0;  // row (or column) bases: dim / side
    int sorted[K > 0 ? static_cast<std::size_t>(K) : 1] = {};
    std::int64_t offset[sides] = {};
    bool consecutive = false;

    rho_blocks(std::int64_t dim_, const int* qubits) : dim(dim_), half(dim_ >> K) {
        for (int i = 0; i < K; ++i) {  // insertion sort: at most a handful of qubits
            int j = i;
            for (; j > 0 && sorted[j - 1] > qubits[i]; --j) {
                sorted[j] = sorted[j - 1];
            }
            sorted[j] = qubits[i];
        }
        for (int g = 0; g < side; ++g) {
            offset[g] = deposit_bits(g, qubits, K);
        }
        consecutive = half >= width && (K == 0 || bit(sorted[0]) >= width);
    }

    // The index with the bits of f at the positions that are not qubits.
    std::int64_t spread(std::int64_t f) const {
        for (int i = 0; i < K; ++i) {  // ascending: each insertion keeps the lower ones in place
            f = insert_zero_bit(f, sorted[i]);
        }
        return f;
    }

    // The column of rho that lane L of a batch holds at column offset 0.
    std::int64_t lane_column(const std::int64_t* cols, int L) const {
        return consecutive
                   ? cols[0] + static_cast<std::int64_t>(amp_of_lane(static_cast<std::size_t>(L)))
                   : cols[L];
    }
};

namespace detail {
template <std::size_t... I>
inline cvec gather_lanes(const amp* row, const std::int64_t* cols, std::int64_t shift,
                         std::index_sequence<I...>) {
    return cvec{vec{row[cols[I] + shift].real()...}, vec{row[cols[I] + shift].imag()...}};
}
}  // namespace detail

// x[g * side + h] <- element (g, h) of each lane's sub-block.  rows[g] points
// at row r0 + offset[g]; cols lists the lanes' column bases (consecutive:
// cols[0] alone counts; otherwise all `width`, short batches padded with
// cols[0]).
template <int K>
inline void load_blocks(const rho_blocks<K>& b, amp* const* rows, const std::int64_t* cols,
                        cvec* x) {
    constexpr int side = rho_blocks<K>::side;
    for (int g = 0; g < side; ++g) {
        for (int h = 0; h < side; ++h) {
            cvec& v = x[g * side + h];
            if (b.consecutive) {
                const amp* p = rows[g] + cols[0] + b.offset[h];
                prefetch_ahead(p);
                prefetch_ahead(p + width / 2);
                load_split(p, v.re, v.im);
            } else {
                v = detail::gather_lanes(rows[g], cols, b.offset[h],
                                         std::make_index_sequence<width>{});
            }
        }
    }
}

// The inverse of load_blocks for the first `count` lanes.
template <int K>
inline void store_blocks(const rho_blocks<K>& b, amp* const* rows, const std::int64_t* cols,
                         int count, const cvec* x) {
    constexpr int side = rho_blocks<K>::side;
    for (int g = 0; g < side; ++g) {
        for (int h = 0; h < side; ++h) {
            const cvec& v = x[g * side + h];
            if (b.consecutive) {
                store_split(rows[g] + cols[0] + b.offset[h], v.re, v.im);
                continue;
            }
            real re[width];
            real im[width];
            store(re, v.re);
            store(im, v.im);
            for (int l = 0; l < count; ++l) {
                rows[g][cols[l] + b.offset[h]] = amp{re[l], im[l]};
            }
        }
    }
}

// Runs batch(r0, rows, cols, count) for every batch of sub-blocks: one loop
// iteration per row base (dim / side of them, so the static schedule gives
// every worker the same share), its batches in increasing column order.
template <int K, class Batch>
void for_each_block_batch(amp* rho, const rho_blocks<K>& b, const Batch& batch) {
    constexpr int side = rho_blocks<K>::side;
    const std::int64_t dim = b.dim;
    const std::int64_t half = b.half;
    parallel_for(half, loop_work{dim * dim, serial_below::kraus_elements}, [=, &b](std::int64_t i) {
        const std::int64_t r0 = b.spread(i);
        amp* rows[rho_blocks<K>::sides];
        for (int g = 0; g < side; ++g) {
            rows[g] = rho + (r0 + b.offset[g]) * dim;
        }
        std::int64_t cols[width];
        for (std::int64_t f = 0; f < half; f += width) {
            const int count = static_cast<int>(std::min<std::int64_t>(width, half - f));
            if (b.consecutive) {
                cols[0] = b.spread(f);
            } else {
                for (int l = 0; l < width; ++l) {
                    cols[l] = b.spread(l < count ? f + l : f);
                }
            }
            batch(r0, rows, cols, count);
        }
    });
}

}  // namespace velt::VELT_ISA_NS
