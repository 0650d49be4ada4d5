// The pair update of a 2x2 gate over a run of pairs, in vector lanes
// (per-ISA units only).  Shared by apply_1q and apply_controlled_1q.
//
// Every lane does exactly the operations of pair_update (common/amplitude.hpp)
// on one pair, so every path gives the bits of the scalar loop; the lanes only
// decide how many pairs are in flight and how they are moved in and out of
// registers.
#pragma once

#include "isa/lanes.hpp"

namespace velt::VELT_ISA_NS {

namespace detail {

// Unit stride: `width` pairs per step, split into real and imaginary lanes.
inline std::int64_t pair_lanes_unit(amp* a0, amp* a1, std::int64_t length, const mat2& m) {
    const cvec m00 = broadcast(m.m00), m01 = broadcast(m.m01);
    const cvec m10 = broadcast(m.m10), m11 = broadcast(m.m11);
    std::int64_t j = 0;
    for (; j + width <= length; j += width) {
        cvec x0, x1;
        load_split(a0 + j, x0.re, x0.im);
        load_split(a1 + j, x1.re, x1.im);
        const cvec y0 = cadd(cmul(m00, x0), cmul(m01, x1));
        const cvec y1 = cadd(cmul(m10, x0), cmul(m11, x1));
        store_split(a0 + j, y0.re, y0.im);
        store_split(a1 + j, y1.re, y1.im);
    }
    return j;
}

// Neighbouring pairs (a gate on qubit 0): a0[j] and a1[j] = a0[j] + 1 fill
// the memory from a0 without gaps.  After load_split, a lane group of `half`
// lanes holds first members and the next group their partners; each output
// lane takes the first member as its first operand and the partner as its
// second, with (m00, m01) in first-member lanes and (m10, m11) in partner
// lanes, so that every lane forms m_r0 a0 + m_r1 a1 in the scalar order.
inline constexpr std::size_t half = width == 2 ? 1 : 2;

template <std::size_t... I>
inline vec first_members(vec v, std::index_sequence<I...>) {
    return __builtin_shufflevector(v, v, (I & ~half)...);
}
template <std::size_t... I>
inline vec partners(vec v, std::index_sequence<I...>) {
    return __builtin_shufflevector(v, v, (I | half)...);
}
template <std::size_t... I>
inline cvec by_member(const amp& first, const amp& partner, std::index_sequence<I...>) {
    return {vec{((I & half) ? partner.real() : first.real())...},
            vec{((I & half) ? partner.imag() : first.imag())...}};
}

inline std::int64_t pair_lanes_adjacent(amp* a0, std::int64_t length, const mat2& m) {
    constexpr auto lanes = std::make_index_sequence<width>{};
    const cvec left = by_member(m.m00, m.m10, lanes);
    const cvec right = by_member(m.m01, m.m11, lanes);
    constexpr std::int64_t pairs = width / 2;  // pairs per step
    std::int64_t j = 0;
    for (; j + pairs <= length; j += pairs) {
        cvec x;
        load_split(a0 + 2 * j, x.re, x.im);
        const cvec x0 = {first_members(x.re, lanes), first_members(x.im, lanes)};
        const cvec x1 = {partners(x.re, lanes), partners(x.im, lanes)};
        const cvec y = cadd(cmul(left, x0), cmul(right, x1));
        store_split(a0 + 2 * j, y.re, y.im);
    }
    return j;
}

// Any other stride: `width` pairs gathered lane by lane.
template <std::int64_t S, std::size_t... I>
inline std::int64_t pair_lanes_strided(amp* a0, amp* a1, std::int64_t length, const mat2& m,
                                       std::index_sequence<I...>) {
    const cvec m00 = broadcast(m.m00), m01 = broadcast(m.m01);
    const cvec m10 = broadcast(m.m10), m11 = broadcast(m.m11);
    std::int64_t j = 0;
    for (; j + width <= length; j += width) {
        amp* b0 = a0 + j * S;
        amp* b1 = a1 + j * S;
        const cvec x0 = {vec{b0[I * S].real()...}, vec{b0[I * S].imag()...}};
        const cvec x1 = {vec{b1[I * S].real()...}, vec{b1[I * S].imag()...}};
        const cvec y0 = cadd(cmul(m00, x0), cmul(m01, x1));
        const cvec y1 = cadd(cmul(m10, x0), cmul(m11, x1));
        ((b0[I * S] = amp{y0.re[I], y0.im[I]}), ...);
        ((b1[I * S] = amp{y1.re[I], y1.im[I]}), ...);
    }
    return j;
}

}  // namespace detail

// The pair update on `length` pairs (a0[j * step], a1[j * step]).
template <class Step>
inline void pair_update_run(amp* a0, amp* a1, std::int64_t length, Step step, const mat2& m) {
    constexpr std::int64_t s = Step::value;
    std::int64_t j = 0;
    if (a1 - a0 >= far_apart) {
        // Chunk by chunk: read the first halves, update the second halves in
        // place, then write the first halves back (see far_apart).
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
                c = detail::pair_lanes_unit(first_half, b1, chunk, m);
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
        j = detail::pair_lanes_unit(a0, a1, length, m);
    } else {
        if (s == 2 && a1 == a0 + 1 && width > 2) {
            j = detail::pair_lanes_adjacent(a0, length, m);
        } else {
            j = detail::pair_lanes_strided<s>(a0, a1, length, m, std::make_index_sequence<width>{});
        }
    }
    for (; j < length; ++j) {
        pair_update(a0[j * step], a1[j * step], m);
    }
}

}  // namespace velt::VELT_ISA_NS
