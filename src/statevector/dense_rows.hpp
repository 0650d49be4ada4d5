// Dense gate on the lowest qubits, targets 0, 1, ..., k-1 in this order, with
// 2^k <= width (per-ISA units only).
//
// Then a group is 2^k consecutive amplitudes, member j at position j, and a
// chunk of `width` amplitudes holds whole groups: the chunk is loaded with
// whole registers and its lanes hold output rows instead of groups.  The lane
// of amplitude p (row j = p mod 2^k of group p div 2^k) sums, for columns
// c = 0, 1, ... in increasing order and from +0,
//   re = re + (u.re x.re - u.im x.im),  im = im + (u.re x.im + u.im x.re)
// with u = u[j][c] and x its group's member c, shuffled into place: the
// operations of the batched kernel (dense_batch.hpp) for that amplitude, in
// its order, so the result is the same bit for bit.  Loading the chunk
// whole replaces a gather and scatter element by element.
#pragma once

#include "isa/lanes.hpp"
#include "statevector/group_walk.hpp"

namespace velt::VELT_ISA_NS {

namespace detail {

// Lane L's member c of its own group, for groups of 2^K.
template <int K, std::size_t C, std::size_t... L>
inline vec group_member(vec x, std::index_sequence<L...>) {
    return __builtin_shufflevector(x, x, lane_of(((amp_of_lane(L) >> K) << K) + C)...);
}

template <int K, std::size_t... L>
inline cvec column_lanes(const amp* u, std::size_t c, std::index_sequence<L...>) {
    constexpr std::size_t dim = std::size_t{1} << K;
    return {vec{u[(amp_of_lane(L) % dim) * dim + c].real()...},
            vec{u[(amp_of_lane(L) % dim) * dim + c].imag()...}};
}

template <int K, bool Masked, std::size_t... C>
inline void dense_rows(amp* a, std::int64_t chunks, const amp* u, const lane_mask& on,
                       std::index_sequence<C...>) {
    constexpr auto lanes = std::make_index_sequence<width>{};
    const cvec column[] = {column_lanes<K>(u, C, lanes)...};
    in_two_streams(chunks, [&](std::int64_t i) {
        amp* p = a + i * width;
        prefetch_ahead(p);
        vec xr, xi;
        load_split(p, xr, xi);
        vec re = broadcast(real{0});
        vec im = broadcast(real{0});
        const auto add_column = [&](const cvec& w, vec mr, vec mi) {
            re = add(re, sub(mul(w.re, mr), mul(w.im, mi)));
            im = add(im, add(mul(w.re, mi), mul(w.im, mr)));
        };
        (add_column(column[C], group_member<K, C>(xr, lanes), group_member<K, C>(xi, lanes)), ...);
        if constexpr (Masked) {
            store_split(p, select(on, re, xr), select(on, im, xi));
        } else {
            store_split(p, re, im);
        }
    });
}

}  // namespace detail

// Whether targets[0..k-1] are 0, 1, ..., k-1, a chunk holds whole groups
// and every control lies inside the chunk too.
inline bool dense_rows_apply(const int* targets, int k, const int* controls = nullptr,
                             int n_controls = 0) {
    if ((std::int64_t{1} << k) > width) {
        return false;
    }
    for (int d = 0; d < k; ++d) {
        if (targets[d] != d) {
            return false;
        }
    }
    for (int c = 0; c < n_controls; ++c) {
        if ((std::int64_t{1} << controls[c]) >= width) {
            return false;
        }
    }
    return true;
}

namespace detail {

template <int K>
inline void dense_rows_tile(amp* a, std::int64_t count, const amp* u, bool masked,
                            const lane_mask& on) {
    constexpr auto columns = std::make_index_sequence<std::size_t{1} << K>{};
    if (masked) {
        dense_rows<K, true>(a, count, u, on, columns);
    } else {
        dense_rows<K, false>(a, count, u, on, columns);
    }
}

}  // namespace detail

// The dense gate u on targets 0..k-1 where every control bit is set
// (dense_rows_apply true) over the groups of a state of n amplitudes; as
// with the group walk, a trailing partial block of 2^(highest qubit + 1)
// amplitudes stays as it is.  The lanes of groups with a control bit clear
// are computed and dropped: they store back what they read.
inline void dense_rows_state(amp* psi, std::int64_t n, int k, const amp* u,
                             const int* controls = nullptr, int n_controls = 0) {
    const std::int64_t dim = std::int64_t{1} << k;
    int top = k;
    std::int64_t control_mask = 0;
    lane_mask on = all_lanes();
    for (int c = 0; c < n_controls; ++c) {
        top = std::max(top, controls[c] + 1);
        control_mask |= std::int64_t{1} << controls[c];
        on = on & lanes_with_qubit(controls[c]);
    }
    const bool masked = n_controls > 0;
    const std::int64_t end = (n >> top) << top;
    const std::int64_t chunks = end / width;
    const loop_work work{end >> n_controls, serial_below::dense_amplitudes};
    for_each_chunk_tile(chunks, work, [=](std::int64_t first, std::int64_t count) {
        amp* a = psi + first * width;
        switch (k) {
            case 0: return detail::dense_rows_tile<0>(a, count, u, masked, on);
            case 1: return detail::dense_rows_tile<1>(a, count, u, masked, on);
            case 2:
                if constexpr (width >= 4) {
                    return detail::dense_rows_tile<2>(a, count, u, masked, on);
                }
                break;
            case 3:
                if constexpr (width >= 8) {
                    return detail::dense_rows_tile<3>(a, count, u, masked, on);
                }
                break;
            case 4:
                if constexpr (width >= 16) {
                    return detail::dense_rows_tile<4>(a, count, u, masked, on);
                }
                break;
            default: break;
        }
    });
    // Whole blocks past the last whole chunk (states shorter than a chunk),
    // one amplitude at a time with the same operations.
    for (std::int64_t g = chunks * width; g < end; g += dim) {
        if ((g & control_mask) != control_mask) {
            continue;
        }
        amp x[width];
        std::copy(psi + g, psi + g + dim, x);
        for (std::int64_t j = 0; j < dim; ++j) {
            real re = 0;
            real im = 0;
            for (std::int64_t c = 0; c < dim; ++c) {
                const amp w = u[j * dim + c];
                re = add(re, mul(w.real(), x[c].real()) - mul(w.imag(), x[c].imag()));
                im = add(im, add(mul(w.real(), x[c].imag()), mul(w.imag(), x[c].real())));
            }
            psi[g + j] = amp{re, im};
        }
    }
}

}  // namespace velt::VELT_ISA_NS
