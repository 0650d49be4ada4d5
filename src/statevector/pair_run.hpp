// The pair update of a 2x2 gate over a run of pairs, in vector lanes
// (per-ISA units only).  Shared by apply_1q and apply_controlled_1q.
//
// Every lane does exactly the operations of pair_update (common/amplitude.hpp)
// on one pair, so every path gives the bits of the scalar loop; the lanes only
// decide how many pairs are in flight and how they are moved in and out of
// registers.
#pragma once

#include "isa/lanes.hpp"
#include "statevector/group_walk.hpp"

namespace velt::VELT_ISA_NS {

namespace detail {

// Unit stride: `width` pairs per step, split into real and imaginary lanes.
// Masked, only the lanes selected by `on` take the new values; the others
// are stored back as they were read.
template <bool Masked>
inline std::int64_t pair_lanes_unit(amp* a0, amp* a1, std::int64_t length, const mat2& m,
                                    const lane_mask& on) {
    const cvec m00 = broadcast(m.m00), m01 = broadcast(m.m01);
    const cvec m10 = broadcast(m.m10), m11 = broadcast(m.m11);
    std::int64_t j = 0;
    for (; j + width <= length; j += width) {
        if constexpr (Masked) {
            prefetch_ahead(a0 + j);
            prefetch_ahead(a1 + j);
        }
        cvec x0, x1;
        load_split(a0 + j, x0.re, x0.im);
        load_split(a1 + j, x1.re, x1.im);
        const cvec y0 = cadd(cmul(m00, x0), cmul(m01, x1));
        const cvec y1 = cadd(cmul(m10, x0), cmul(m11, x1));
        if constexpr (Masked) {
            store_split(a0 + j, select(on, y0.re, x0.re), select(on, y0.im, x0.im));
            store_split(a1 + j, select(on, y1.re, x1.re), select(on, y1.im, x1.im));
        } else {
            store_split(a0 + j, y0.re, y0.im);
            store_split(a1 + j, y1.re, y1.im);
        }
    }
    return j;
}

// Pairs inside one chunk of `width` amplitudes (target qubit t with
// 2^t < width): after load_split the two members of a pair sit in lanes
// that differ in bit Partner = lane_of(2^t).  Each output lane takes its
// pair's first member as the first operand and the partner as the second,
// with (m00, m01) in first-member lanes and (m10, m11) in partner lanes, so
// that every lane forms m_r0 a0 + m_r1 a1 in the scalar order.
template <std::size_t Partner, std::size_t... I>
inline vec first_members(vec v, std::index_sequence<I...>) {
    return __builtin_shufflevector(v, v, (I & ~Partner)...);
}

template <std::size_t Partner, std::size_t... I>
inline vec partners(vec v, std::index_sequence<I...>) {
    return __builtin_shufflevector(v, v, (I | Partner)...);
}

template <std::size_t Partner, std::size_t... I>
inline cvec by_member(const amp& first, const amp& partner, std::index_sequence<I...>) {
    return {vec{((I & Partner) ? partner.real() : first.real())...},
            vec{((I & Partner) ? partner.imag() : first.imag())...}};
}

template <std::size_t Partner, bool Masked>
inline void pair_lanes_packed(amp* a, std::int64_t chunks, const mat2& m, const lane_mask& on) {
    constexpr auto lanes = std::make_index_sequence<width>{};
    const cvec left = by_member<Partner>(m.m00, m.m10, lanes);
    const cvec right = by_member<Partner>(m.m01, m.m11, lanes);
    in_two_streams(chunks, [&](std::int64_t c) {
        amp* p = a + c * width;
        cvec x;
        load_split(p, x.re, x.im);
        const cvec x0 = {first_members<Partner>(x.re, lanes), first_members<Partner>(x.im, lanes)};
        const cvec x1 = {partners<Partner>(x.re, lanes), partners<Partner>(x.im, lanes)};
        const cvec y = cadd(cmul(left, x0), cmul(right, x1));
        if constexpr (Masked) {
            store_split(p, select(on, y.re, x.re), select(on, y.im, x.im));
        } else {
            store_split(p, y.re, y.im);
        }
    });
}

template <bool Masked>
inline void pair_lanes_packed(amp* a, std::int64_t chunks, int t, const mat2& m,
                              const lane_mask& on) {
    const std::size_t partner = lane_of(std::size_t{1} << t);
    if (partner == 1) {
        return pair_lanes_packed<1, Masked>(a, chunks, m, on);
    }
    if constexpr (width > 2) {
        if (partner == 2) {
            return pair_lanes_packed<2, Masked>(a, chunks, m, on);
        }
    }
    if constexpr (width > 4) {
        if (partner == 4) {
            return pair_lanes_packed<4, Masked>(a, chunks, m, on);
        }
    }
    if constexpr (width > 8) {
        if (partner == 8) {
            return pair_lanes_packed<8, Masked>(a, chunks, m, on);
        }
    }
    throw std::logic_error("pair_lanes_packed: target outside the chunk");
}

}  // namespace detail

// Pairs of target qubit t (2^t < width) in `chunks` whole chunks of `width`
// amplitudes from a, where a sits at a multiple of `width` in the state.
// With a control c (2^c < width, c != t; -1 for none) only the pairs whose
// control bit is set change.
inline void pair_update_chunks(amp* a, std::int64_t chunks, int t, int c, const mat2& m) {
    if (c < 0) {
        detail::pair_lanes_packed<false>(a, chunks, t, m, lane_mask{});
    } else {
        detail::pair_lanes_packed<true>(a, chunks, t, m, lanes_with_qubit(c));
    }
}

// The pair update of every pair (a0[j], a1[j]), j < length, that has qubit
// c set (2^c < width, c not the target), a0 at a multiple of `width` in the
// state and a1 - a0 a multiple of `width`.
inline void pair_update_run_masked(amp* a0, amp* a1, std::int64_t length, int c, const mat2& m) {
    const lane_mask on = lanes_with_qubit(c);
    if (a1 - a0 >= far_apart()) {
        // One half after the other, as in pair_update_run.
        amp first_half[far_chunk];
        for (std::int64_t j = 0; j < length; j += far_chunk) {
            const std::int64_t chunk = std::min(far_chunk, length - j);
            std::copy(a0 + j, a0 + j + chunk, first_half);
            std::int64_t k = detail::pair_lanes_unit<true>(first_half, a1 + j, chunk, m, on);
            for (; k < chunk; ++k) {
                if (((j + k) >> c) & 1) {
                    pair_update(first_half[k], a1[j + k], m);
                }
            }
            std::copy(first_half, first_half + chunk, a0 + j);
        }
        return;
    }
    std::int64_t j = detail::pair_lanes_unit<true>(a0, a1, length, m, on);
    for (; j < length; ++j) {
        if ((j >> c) & 1) {
            pair_update(a0[j], a1[j], m);
        }
    }
}

// The pair update on `length` pairs (a0[j * step], a1[j * step]).
template <class Step>
inline void pair_update_run(amp* a0, amp* a1, std::int64_t length, Step step, const mat2& m) {
    constexpr std::int64_t s = Step::value;
    std::int64_t j = 0;
    if (a1 - a0 >= far_apart()) {
        // Chunk by chunk: read the first halves, update the second halves in
        // place, then write the first halves back (see far_apart()).
        amp first_half[far_chunk];
        for (; j < length; j += far_chunk) {
            const std::int64_t chunk = std::min(far_chunk, length - j);
            amp* b0 = a0 + j * s;
            amp* b1 = a1 + j * s;
            for (std::int64_t c = 0; c < chunk; ++c) {
                first_half[c] = b0[c * s];
            }
            std::int64_t c = 0;
            if constexpr (s == 1) {
                c = detail::pair_lanes_unit<false>(first_half, b1, chunk, m, lane_mask{});
            }
            for (; c < chunk; ++c) {
                pair_update(first_half[c], b1[c * s], m);
            }
            for (c = 0; c < chunk; ++c) {
                b0[c * s] = first_half[c];
            }
        }
        return;
    }
    if constexpr (s == 1) {
        j = detail::pair_lanes_unit<false>(a0, a1, length, m, lane_mask{});
    }
    for (; j < length; ++j) {
        pair_update(a0[j * step], a1[j * step], m);
    }
}

// Targets below this stride have pairs close enough that a walk run by run
// would spend more on finding each run than on updating it: 2^6 amplitudes,
// a kilobyte per half.
inline constexpr std::int64_t short_stride = std::int64_t{1} << 6;

// Every pair of target qubit t (2^t < short_stride) in a state of n
// amplitudes, with a control c below the register width (2^c < width,
// c != t) or none (c = -1).  Every block of 2^(t+1) amplitudes holds whole
// pairs with their control bits, so the state is streamed tile by tile, with
// no index arithmetic per pair: for 2^t < width each chunk of `width`
// amplitudes holds whole pairs, otherwise each block is a run of 2^t pairs
// of unit stride.  As with the group walk, a trailing partial block of
// 2^(highest qubit + 1) amplitudes stays as it is.
inline void pair_update_near(amp* psi, std::int64_t n, int t, int c, const mat2& m) {
    const int top = std::max(t, c) + 1;
    const std::int64_t end = (n >> top) << top;
    const std::int64_t chunks = end / width;
    const loop_work work{end >> (c < 0 ? 1 : 2), serial_below::pairs};
    const std::int64_t stride = bit(t);
    if (stride < width) {
        for_each_chunk_tile(chunks, work, [=](std::int64_t first, std::int64_t count) {
            pair_update_chunks(psi + first * width, count, t, c, m);
        });
    } else {
        // Tiles start at multiples of 2^12 amplitudes, so at block borders.
        static_assert(short_stride * 2 <= group_walk::tile_amplitudes);
        const lane_mask on = c < 0 ? lane_mask{} : lanes_with_qubit(c);
        for_each_chunk_tile(chunks, work, [=](std::int64_t first, std::int64_t count) {
            amp* const a = psi + first * width;
            in_two_streams(count * width / (2 * stride), [&](std::int64_t block) {
                amp* const b = a + block * 2 * stride;
                if (c < 0) {
                    detail::pair_lanes_unit<false>(b, b + stride, stride, m, on);
                } else {
                    detail::pair_lanes_unit<true>(b, b + stride, stride, m, on);
                }
            });
        });
    }
    // Whole blocks past the last whole chunk (states shorter than a chunk).
    for (std::int64_t i = chunks * width; i < end; ++i) {
        if (((i >> t) & 1) == 0 && (c < 0 || ((i >> c) & 1) != 0)) {
            pair_update(psi[i], psi[i + stride], m);
        }
    }
    clean_upper();
}

}  // namespace velt::VELT_ISA_NS
