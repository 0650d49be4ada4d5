// The Kraus channel in place, in vector lanes.
//
// Sub-block (r, c) of rho is the 2x2 matrix R of the elements (r, c),
// (r, c+s), (r+s, c), (r+s, c+s), r and c with the target bit clear.  Its new
// value is the sum over the operators, in list order, of (K R) K^dagger, and
// depends on R alone; sub-blocks partition the matrix.  So each sub-block is
// read whole into registers, computed and written back over itself: no
// scratch matrix and no copy, and every element has exactly one reader and
// writer, the worker that owns the sub-block's top row.
//
// Each entry of K R and of (K R) K^dagger is the sum of its two products; the
// latter is then added to an accumulator that starts at +0 for every
// sub-block (so a lone -0 comes out as +0, which the references reproduce).
// The lanes hold `width` independent sub-blocks; each lane does exactly these
// operations.
#include "density/kraus.hpp"
#include "isa/kernel_table.hpp"
#include "isa/lanes.hpp"

namespace velt::VELT_ISA_NS {

namespace {

struct block_lanes {
    cvec m00, m01, m10, m11;
};

// The operators are broadcast from their records as they are used (a
// broadcast from memory costs what a load does): vectors kept on the heap
// would need the registers' alignment.
inline block_lanes channel(const block_lanes& r, const mat2* ops, std::size_t count) {
    const cvec zero = {broadcast(real{0}), broadcast(real{0})};
    block_lanes acc{zero, zero, zero, zero};
    for (std::size_t k = 0; k < count; ++k) {
        const mat2& op = ops[k];
        const cvec k00 = broadcast(op.m00), k01 = broadcast(op.m01);
        const cvec k10 = broadcast(op.m10), k11 = broadcast(op.m11);
        const cvec m00 = cadd(cmul(k00, r.m00), cmul(k01, r.m10));
        const cvec m01 = cadd(cmul(k00, r.m01), cmul(k01, r.m11));
        const cvec m10 = cadd(cmul(k10, r.m00), cmul(k11, r.m10));
        const cvec m11 = cadd(cmul(k10, r.m01), cmul(k11, r.m11));
        const cvec c00 = broadcast(cconj(op.m00)), c01 = broadcast(cconj(op.m01));
        const cvec c10 = broadcast(cconj(op.m10)), c11 = broadcast(cconj(op.m11));
        acc.m00 = cadd(acc.m00, cadd(cmul(m00, c00), cmul(m01, c01)));
        acc.m01 = cadd(acc.m01, cadd(cmul(m00, c10), cmul(m01, c11)));
        acc.m10 = cadd(acc.m10, cadd(cmul(m10, c00), cmul(m11, c01)));
        acc.m11 = cadd(acc.m11, cadd(cmul(m10, c10), cmul(m11, c11)));
    }
    return acc;
}

// Sub-blocks at columns col[0..width-1] of the row pair (top, bottom),
// moved lane by lane.
template <std::size_t... I>
inline void blocks_gathered(amp* top, amp* bottom, std::int64_t s, const std::int64_t* col,
                            const mat2* ops, std::size_t count, std::index_sequence<I...>) {
    const auto gather = [&](const amp* row, std::int64_t shift) {
        return cvec{vec{row[col[I] + shift].real()...}, vec{row[col[I] + shift].imag()...}};
    };
    const block_lanes r{gather(top, 0), gather(top, s), gather(bottom, 0), gather(bottom, s)};
    const block_lanes out = channel(r, ops, count);
    const auto scatter = [&](amp* row, std::int64_t shift, const cvec& v) {
        ((row[col[I] + shift] = amp{v.re[I], v.im[I]}), ...);
    };
    scatter(top, 0, out.m00);
    scatter(top, s, out.m01);
    scatter(bottom, 0, out.m10);
    scatter(bottom, s, out.m11);
}

// Columns that differ in the target bit s < width share a chunk of `width`
// columns: two chunks, c .. c + 2 width - 1, hold `width` whole sub-block
// columns.  After load_split the columns with the target bit clear sit in
// the lanes with bit P = lane_of(s) clear, and their partners in the lanes
// with it set; `picks` lists, for each sub-block lane, the lane of the two
// chunks (second chunk + width) that holds its clear column.
template <std::size_t P>
struct pair_lanes {
    static constexpr std::size_t pick(std::size_t i) {
        // the i-th lane with bit P clear, counting the first chunk's first
        std::size_t seen = 0;
        for (std::size_t l = 0; l < 2 * width; ++l) {
            if ((l & P) == 0 && seen++ == i) {
                return l;
            }
        }
        return 0;
    }
    // Where lane l of the chunks comes from after the channel: from the
    // clear-column vector (first operand) or the partner vector (second).
    static constexpr std::size_t place(std::size_t l) {
        const std::size_t clear = l & ~P;
        std::size_t i = 0;
        while (pick(i) != clear) {
            ++i;
        }
        return (l & P) ? width + i : i;
    }
};

template <std::size_t P, std::size_t... I>
inline vec columns_clear(vec a, vec b, std::index_sequence<I...>) {
    return __builtin_shufflevector(a, b, pair_lanes<P>::pick(I)...);
}

template <std::size_t P, std::size_t... I>
inline vec columns_set(vec a, vec b, std::index_sequence<I...>) {
    return __builtin_shufflevector(a, b, (pair_lanes<P>::pick(I) | P)...);
}

// Lanes 0..width-1 (first chunk) or width..2 width - 1 (second) back from
// the clear-column and partner vectors.
template <std::size_t P, std::size_t Offset, std::size_t... I>
inline vec columns_back(vec clear, vec set, std::index_sequence<I...>) {
    return __builtin_shufflevector(clear, set, pair_lanes<P>::place(Offset + I)...);
}

template <std::size_t P>
inline void blocks_near(amp* top, amp* bottom, std::int64_t c, const mat2* ops, std::size_t count) {
    constexpr auto lanes = std::make_index_sequence<width>{};
    const auto load_row = [&](const amp* row, cvec& clear, cvec& set) {
        cvec a, b;
        load_split(row + c, a.re, a.im);
        load_split(row + c + width, b.re, b.im);
        clear = {columns_clear<P>(a.re, b.re, lanes), columns_clear<P>(a.im, b.im, lanes)};
        set = {columns_set<P>(a.re, b.re, lanes), columns_set<P>(a.im, b.im, lanes)};
    };
    const auto store_row = [&](amp* row, const cvec& clear, const cvec& set) {
        store_split(row + c, columns_back<P, 0>(clear.re, set.re, lanes),
                    columns_back<P, 0>(clear.im, set.im, lanes));
        store_split(row + c + width, columns_back<P, width>(clear.re, set.re, lanes),
                    columns_back<P, width>(clear.im, set.im, lanes));
    };
    block_lanes r;
    load_row(top, r.m00, r.m01);
    load_row(bottom, r.m10, r.m11);
    const block_lanes out = channel(r, ops, count);
    store_row(top, out.m00, out.m01);
    store_row(bottom, out.m10, out.m11);
}

// `width` sub-blocks at consecutive columns c..c+width-1 (all with the target
// bit clear), moved with whole registers.
inline void blocks_consecutive(amp* top, amp* bottom, std::int64_t s, std::int64_t c,
                               const mat2* ops, std::size_t count) {
    block_lanes r;
    load_split(top + c, r.m00.re, r.m00.im);
    load_split(top + c + s, r.m01.re, r.m01.im);
    load_split(bottom + c, r.m10.re, r.m10.im);
    load_split(bottom + c + s, r.m11.re, r.m11.im);
    const block_lanes out = channel(r, ops, count);
    store_split(top + c, out.m00.re, out.m00.im);
    store_split(top + c + s, out.m01.re, out.m01.im);
    store_split(bottom + c, out.m10.re, out.m10.im);
    store_split(bottom + c + s, out.m11.re, out.m11.im);
}

}  // namespace

// One iteration per row r with the target bit clear (a row with the bit set
// belongs to the sub-blocks of row r - s): the loop runs over those rows
// alone, dim / 2 of them whatever the target, so the static schedule gives
// every worker the same share.  Such a row walks its columns with the target
// bit clear in increasing order, `width` sub-blocks at a time.
void apply_kraus_1q(amp* rho, std::int64_t dim, int qubit, const mat2* ops, std::size_t count) {
    const mat2* const kops = ops;
    const std::int64_t s = bit(qubit);
    const std::int64_t half = dim / 2;  // columns (and rows) with the target bit clear

    parallel_for(half, loop_work{dim * dim, serial_below::kraus_elements}, [=](std::int64_t i) {
        const std::int64_t r = insert_zero_bit(i, qubit);
        amp* top = rho + r * dim;
        amp* bottom = top + s * dim;
        std::int64_t j = 0;
        if (s >= width) {
            // Runs of s consecutive columns hold whole registers.
            for (; j + width <= half; j += width) {
                blocks_consecutive(top, bottom, s, insert_zero_bit(j, qubit), kops, count);
            }
        } else if (dim >= 2 * width) {
            // Two chunks of columns hold `width` sub-blocks.
            const std::size_t p = lane_of(static_cast<std::size_t>(s));
            for (; j + width <= half; j += width) {
                const std::int64_t c = 2 * j;  // s < width: 2j is j with a zero bit inserted at
                                               // the target, for j a multiple of width
                if (p == 1) {
                    blocks_near<1>(top, bottom, c, kops, count);
                } else if constexpr (width > 2) {
                    if (p == 2) {
                        blocks_near<2>(top, bottom, c, kops, count);
                    } else if constexpr (width > 4) {
                        if (p == 4) {
                            blocks_near<4>(top, bottom, c, kops, count);
                        } else if constexpr (width > 8) {
                            blocks_near<8>(top, bottom, c, kops, count);
                        }
                    }
                }
            }
        } else {
            for (; j + width <= half; j += width) {
                std::int64_t col[width];
                for (int l = 0; l < width; ++l) {
                    col[l] = insert_zero_bit(j + l, qubit);
                }
                blocks_gathered(top, bottom, s, col, kops, count,
                                std::make_index_sequence<width>{});
            }
        }
        // Leftover sub-blocks (only when dim / 2 < width): one at a time, the
        // same value in every lane, written back once.
        for (; j < half; ++j) {
            const std::int64_t c = insert_zero_bit(j, qubit);
            const block_lanes rb{
                {broadcast(top[c].real()), broadcast(top[c].imag())},
                {broadcast(top[c + s].real()), broadcast(top[c + s].imag())},
                {broadcast(bottom[c].real()), broadcast(bottom[c].imag())},
                {broadcast(bottom[c + s].real()), broadcast(bottom[c + s].imag())}};
            const block_lanes out = channel(rb, kops, count);
            top[c] = amp{out.m00.re[0], out.m00.im[0]};
            top[c + s] = amp{out.m01.re[0], out.m01.im[0]};
            bottom[c] = amp{out.m10.re[0], out.m10.im[0]};
            bottom[c + s] = amp{out.m11.re[0], out.m11.im[0]};
        }
    });
}

}  // namespace velt::VELT_ISA_NS
