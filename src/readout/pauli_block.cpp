// The per-path cores of the Pauli-string and overlap read-outs: one
// summation block (parallel/reduce.hpp) of terms each.  See readout/pauli.hpp
// for the terms.
//
// The eight lane sums of a block sit side by side in sum_lanes / width
// vectors: lane j of vector k holds the lane of term slot(k, j) of every group
// of eight, the order in which load_split delivers amplitudes.  Each lane adds
// its terms in increasing order, with add and mul (lanes.hpp) keeping the
// scalar order of operands, so a block's lane totals are the scalar ones bit
// for bit on every path.
#include "isa/kernel_table.hpp"
#include "isa/lanes.hpp"
#include "isa/target.hpp"
#include "parallel/reduce.hpp"
#include "readout/pauli.hpp"

namespace velt::VELT_ISA_NS {

namespace {

// Terms are formed and summed in double in either precision.
using wide::add;
using wide::amp_of_lane;
using wide::lane_of;
using wide::load_split;
using wide::mul;
using wide::sub;
using wide::vec;
using wide::width;

// The parts of an amplitude, widened to double (exact; a no-op in complex128).
using wide_amp = std::complex<double>;

constexpr int per_group = sum_lanes / width;  // vectors per group of eight terms

// The term of a group that lane j of vector k holds.
constexpr int slot(int k, int j) {
    return k * width + static_cast<int>(amp_of_lane(static_cast<std::size_t>(j)));
}

bool parity(std::int64_t v) { return __builtin_parityll(static_cast<unsigned long long>(v)) != 0; }

double lane_tree(const double* l) {
    return add(add(add(l[0], l[1]), add(l[2], l[3])), add(add(l[4], l[5]), add(l[6], l[7])));
}

// v with lane j taken from lane j ^ S.
template <int S, std::size_t... I>
inline vec xor_lanes(vec v, std::index_sequence<I...>) {
    return __builtin_shufflevector(v, v, (I ^ static_cast<std::size_t>(S))...);
}

// The signs of one string at the eight places of a group, in lane order:
// sign[0] for a group whose first index has even parity with z, sign[1]
// (negated) for odd.
struct term_signs {
    vec sign[2][per_group];
};

// Always inlined: as a call of its own from the loops over lane sums, GCC
// keeps wide registers live across it (it knows which ones the callee
// leaves alone) and so calls it, and returns from the loop, with a dirty
// upper state and no vzeroupper (scripts/check_isa.py).
[[gnu::always_inline]] inline void signs_of(const pauli_chunk& c, std::int64_t z, term_signs& s) {
    for (int k = 0; k < per_group; ++k) {
        for (int j = 0; j < width; ++j) {
            const std::int64_t offset = c.x == 0 ? slot(k, j) : insert_zero_bit(slot(k, j), c.h);
            const double v = parity(offset & z) ? -1.0 : 1.0;
            s.sign[0][k][j] = v;
            s.sign[1][k][j] = -v;
        }
    }
}

// The lane sums of T strings of a chunk (string numbers which[0 .. T)),
// group by group: the term at place m of group g is sign * value, the sign
// being that of the block's first index, of the group's offset (bit t of
// group_parity[g]) and of the place m (term_signs).
template <std::size_t T>
struct lane_sums_of {
    term_signs signs[T];
    unsigned flip[T];
    int shift[T];
    vec acc[T][per_group] = {};

    lane_sums_of(const pauli_chunk& c, const int* which, std::int64_t base) {
        for (std::size_t a = 0; a < T; ++a) {
            const std::int64_t z = c.z[which[a]];
            signs_of(c, z, signs[a]);
            flip[a] = parity(base & z) ? 1U : 0U;
            shift[a] = which[a];
        }
    }

    void add_group(std::uint64_t group_bits, const vec* value) {
        for (std::size_t a = 0; a < T; ++a) {
            const unsigned s = static_cast<unsigned>((group_bits >> shift[a]) & 1U) ^ flip[a];
            const vec* sign = signs[a].sign[s];
            for (int k = 0; k < per_group; ++k) {
                acc[a][k] = add(acc[a][k], mul(sign[k], value[k]));
            }
        }
    }

    void finish(double* totals, std::int64_t stride) const {
        for (std::size_t a = 0; a < T; ++a) {
            double lanes[sum_lanes];
            for (int k = 0; k < per_group; ++k) {
                for (int j = 0; j < width; ++j) {
                    lanes[slot(k, j)] = acc[a][k][j];
                }
            }
            totals[shift[a] * stride] = lane_tree(lanes);
        }
    }
};

// Calls f(g, re, im) for the groups g = 0 .. groups - 1 of eight pairs, re
// and im pointing to Re c and Im c of the group (as wanted: Re, Im) in lane
// order, for x with its highest qubit h >= 3.  A group's eight pairs have
// eight consecutive indices i, and so do their partners i ^ x, the eight of
// another group permuted by the low bits of x: across vectors by those of
// the register's width and above (k_flip), across lanes by the rest
// (LaneFlip, one constant shuffle).
template <bool Re, bool Im, int LaneFlip, class F>
void walk_pairs(const amp* psi, std::int64_t base, std::int64_t x, int h, std::int64_t groups,
                F&& f) {
    const std::int64_t x_high = x & ~std::int64_t{7};
    const int k_flip = static_cast<int>(x & 7) / width;
    // Within a run the partners are consecutive too: x has no bit among
    // those the run's indices vary in.
    const int lowest = __builtin_ctzll(static_cast<unsigned long long>(x_high));
    const std::int64_t run = std::min(groups, bit(lowest - 3));
    for (std::int64_t g0 = 0; g0 < groups; g0 += run) {
        const std::int64_t i0 = base | insert_zero_bit(g0 * sum_lanes, h);
        const amp* pa = psi + i0;
        const amp* pb = psi + (i0 ^ x_high);
        for (std::int64_t g = g0; g < g0 + run; ++g) {
            vec re[per_group] = {};  // the one not wanted stays unused
            vec im[per_group] = {};
            for (int k = 0; k < per_group; ++k) {
                vec ar;
                vec ai;
                vec br;
                vec bi;
                load_split(pa + k * width, ar, ai);
                load_split(pb + (k ^ k_flip) * width, br, bi);
                if constexpr (LaneFlip != 0) {
                    br = xor_lanes<LaneFlip>(br, std::make_index_sequence<width>{});
                    bi = xor_lanes<LaneFlip>(bi, std::make_index_sequence<width>{});
                }
                if constexpr (Re) {
                    re[k] = add(mul(br, ar), mul(bi, ai));
                }
                if constexpr (Im) {
                    im[k] = sub(mul(br, ai), mul(bi, ar));
                }
            }
            f(g, re, im);
            pa += sum_lanes;
            pb += sum_lanes;
        }
    }
}

// walk_pairs with the lane shuffle of x.
template <bool Re, bool Im, int LaneFlip = 0, class F>
void walk_pairs_of(const amp* psi, std::int64_t base, std::int64_t x, int h, std::int64_t groups,
                   F&& f) {
    if constexpr (LaneFlip + 1 < width) {
        if (static_cast<int>(lane_of(static_cast<std::size_t>(x & 7) % width)) != LaneFlip) {
            return walk_pairs_of<Re, Im, LaneFlip + 1>(psi, base, x, h, groups, f);
        }
    }
    walk_pairs<Re, Im, LaneFlip>(psi, base, x, h, groups, f);
}

// The pairs of x within qubits 0-2 (h < 3): a group's eight pairs and their
// partners are the 16 amplitudes of one window, those with bit h clear the
// pairs' first members, in order.  c is formed for all 16 (as for h >= 3,
// each amplitude with its partner inside its own eight, permuted by x), and
// the eight wanted are then picked into lane order by constant shuffles:
// lane j of vector k takes the amplitude A = insert_zero_bit(slot(k, j), h),
// which sits in vector A / width, lane lane_of(A % width) of the window.
constexpr int window_amp(int h, int k, int j) {
    return static_cast<int>(insert_zero_bit(slot(k, j), h));
}
constexpr int window_vector(int a) { return a / width; }
constexpr int window_lane(int a) {
    return static_cast<int>(lane_of(static_cast<std::size_t>(a % width)));
}

// The (at most two) vectors of the window that vector k draws from.
constexpr int first_source(int h, int k) {
    int v = window_vector(window_amp(h, k, 0));
    for (int j = 1; j < width; ++j) {
        v = std::min(v, window_vector(window_amp(h, k, j)));
    }
    return v;
}
constexpr int last_source(int h, int k) {
    int v = window_vector(window_amp(h, k, 0));
    for (int j = 1; j < width; ++j) {
        v = std::max(v, window_vector(window_amp(h, k, j)));
    }
    return v;
}
constexpr int pick_index(int h, int k, int j) {
    const int a = window_amp(h, k, j);
    return (window_vector(a) == first_source(h, k) ? 0 : width) + window_lane(a);
}

template <int H, int K, std::size_t... I>
inline vec pick(const vec* window, std::index_sequence<I...>) {
    static_assert(last_source(H, K) - first_source(H, K) <= 1, "two source vectors at most");
    return __builtin_shufflevector(window[first_source(H, K)], window[last_source(H, K)],
                                   pick_index(H, K, static_cast<int>(I))...);
}
template <int H, std::size_t... K>
inline void pick_all(const vec* window, vec* out, std::index_sequence<K...>) {
    ((out[K] = pick<H, static_cast<int>(K)>(window, std::make_index_sequence<width>{})), ...);
}

template <bool Re, bool Im, int X, class F>
void walk_low_pairs(const amp* psi, std::int64_t base, std::int64_t groups, F&& f) {
    constexpr int h = X >= 4 ? 2 : (X >= 2 ? 1 : 0);
    constexpr int k_flip = X / width;
    constexpr int lane_flip = static_cast<int>(lane_of(static_cast<std::size_t>(X % width)));
    const amp* p = psi + base;
    for (std::int64_t g = 0; g < groups; ++g) {
        vec window_re[2 * per_group] = {};  // the one not wanted stays unused
        vec window_im[2 * per_group] = {};
        for (int k = 0; k < 2 * per_group; ++k) {
            // Vector k of the window and its partner vector in the same eight.
            const int partner = (k / per_group) * per_group + ((k % per_group) ^ k_flip);
            vec ar;
            vec ai;
            vec br;
            vec bi;
            load_split(p + k * width, ar, ai);
            load_split(p + partner * width, br, bi);
            if constexpr (lane_flip != 0) {
                br = xor_lanes<lane_flip>(br, std::make_index_sequence<width>{});
                bi = xor_lanes<lane_flip>(bi, std::make_index_sequence<width>{});
            }
            if constexpr (Re) {
                window_re[k] = add(mul(br, ar), mul(bi, ai));
            }
            if constexpr (Im) {
                window_im[k] = sub(mul(br, ai), mul(bi, ar));
            }
        }
        vec re[per_group] = {};
        vec im[per_group] = {};
        if constexpr (Re) {
            pick_all<h>(window_re, re, std::make_index_sequence<per_group>{});
        }
        if constexpr (Im) {
            pick_all<h>(window_im, im, std::make_index_sequence<per_group>{});
        }
        f(g, re, im);
        p += 2 * sum_lanes;
    }
}

// x (within qubits 0-2, not 0) picked bit by bit, from bit 2 down: a tree
// of tests rather than a switch, whose jump table would be an indirect jump
// out of code whose upper state is dirty (scripts/check_isa.py cannot follow
// one, and GCC adds no vzeroupper before it).
template <bool Re, bool Im, int Bit = 2, int X = 0, class F>
void walk_low_pairs_of(const amp* psi, std::int64_t base, std::int64_t x, std::int64_t groups,
                       F&& f) {
    if constexpr (Bit < 0) {
        if constexpr (X != 0) {
            walk_low_pairs<Re, Im, X>(psi, base, groups, f);
        }
    } else if (((x >> Bit) & 1) != 0) {
        walk_low_pairs_of<Re, Im, Bit - 1, X | (1 << Bit)>(psi, base, x, groups, f);
    } else {
        walk_low_pairs_of<Re, Im, Bit - 1, X>(psi, base, x, groups, f);
    }
}

// Calls f(g, norms) with |a|^2 = a.re * a.re + a.im * a.im of the eight
// consecutive amplitudes of group g, in lane order (x = 0).
template <class F>
void walk_norms(const amp* psi, std::int64_t base, std::int64_t groups, F&& f) {
    const amp* p = psi + base;
    for (std::int64_t g = 0; g < groups; ++g) {
        vec norms[per_group];
        for (int k = 0; k < per_group; ++k) {
            vec ar;
            vec ai;
            load_split(p + k * width, ar, ai);
            norms[k] = add(mul(ar, ar), mul(ai, ai));
        }
        f(g, norms);
        p += sum_lanes;
    }
}

// Up to four strings of one kind (all Re c, all Im c, or all |a|^2): the
// values go straight into the lane sums, group by group.
template <bool Imaginary, std::size_t T>
void sum_directly(const amp* psi, const pauli_chunk& c, const int* which, std::int64_t base,
                  std::int64_t groups, double* totals, std::int64_t stride) {
    lane_sums_of<T> sums(c, which, base);
    const std::uint64_t* group_parity = c.group_parity;
    if (c.x == 0) {
        walk_norms(psi, base, groups, [&](std::int64_t g, const vec* norms) {
            sums.add_group(group_parity[g], norms);
        });
    } else {
        walk_pairs_of<!Imaginary, Imaginary>(
            psi, base, c.x, c.h, groups, [&](std::int64_t g, const vec* re, const vec* im) {
                sums.add_group(group_parity[g], Imaginary ? im : re);
            });
    }
    sums.finish(totals, stride);
}

template <bool Imaginary>
void sum_directly_n(const amp* psi, const pauli_chunk& c, const int* which, int count,
                    std::int64_t base, std::int64_t groups, double* totals, std::int64_t stride) {
    switch (count) {
        case 1: return sum_directly<Imaginary, 1>(psi, c, which, base, groups, totals, stride);
        case 2: return sum_directly<Imaginary, 2>(psi, c, which, base, groups, totals, stride);
        case 3: return sum_directly<Imaginary, 3>(psi, c, which, base, groups, totals, stride);
        case 4: return sum_directly<Imaginary, 4>(psi, c, which, base, groups, totals, stride);
        default: __builtin_unreachable();
    }
}

// Every string of the chunk whose values are stored in `values`, four at a
// time.
void sum_stored(const pauli_chunk& c, const int* which, int count, std::int64_t base,
                const vec* values, std::int64_t groups, double* totals, std::int64_t stride) {
    const auto run = [&](auto sums) {
        for (std::int64_t g = 0; g < groups; ++g) {
            sums.add_group(c.group_parity[g], values + g * per_group);
        }
        sums.finish(totals, stride);
    };
    int t = 0;
    for (; t + 4 <= count; t += 4) {
        run(lane_sums_of<4>(c, which + t, base));
    }
    switch (count - t) {
        case 0: return;
        case 1: return run(lane_sums_of<1>(c, which + t, base));
        case 2: return run(lane_sums_of<2>(c, which + t, base));
        case 3: return run(lane_sums_of<3>(c, which + t, base));
        default: __builtin_unreachable();
    }
}

// Fewer than eight terms (a state of fewer than 16 amplitudes): term by term.
void pauli_short(const amp* psi, const pauli_chunk& c, std::int64_t first, std::int64_t length,
                 double* totals, std::int64_t stride) {
    for (int t = 0; t < c.count; ++t) {
        double lanes[sum_lanes] = {};
        for (std::int64_t p = 0; p < length; ++p) {
            const std::int64_t i = pauli_index(c, first + p);
            const wide_amp a = psi[i];
            double value;
            if (c.x == 0) {
                value = add(mul(a.real(), a.real()), mul(a.imag(), a.imag()));
            } else {
                const wide_amp b = psi[i ^ c.x];
                value = c.imaginary[t] ? mul(b.real(), a.imag()) - mul(b.imag(), a.real())
                                       : add(mul(b.real(), a.real()), mul(b.imag(), a.imag()));
            }
            const double sign = parity(i & c.z[t]) ? -1.0 : 1.0;
            lanes[p % sum_lanes] = add(lanes[p % sum_lanes], mul(sign, value));
        }
        totals[t * stride] = lane_tree(lanes);
    }
}

void pauli_block_lanes(const amp* psi, const pauli_chunk& c, std::int64_t first,
                       std::int64_t length, double* work, double* totals, std::int64_t stride) {
    if (length % sum_lanes != 0) {
        pauli_short(psi, c, first, length, totals, stride);
        return;
    }
    const std::int64_t groups = length / sum_lanes;
    const std::int64_t x = c.x;
    const int h = c.h;
    const std::int64_t base = x == 0 ? first : insert_zero_bit(first, h);
    int real_terms[pauli_chunk_terms];
    int imaginary_terms[pauli_chunk_terms];
    int n_real = 0;
    int n_imaginary = 0;
    for (int t = 0; t < c.count; ++t) {
        if (c.imaginary[t]) {
            imaginary_terms[n_imaginary++] = t;
        } else {
            real_terms[n_real++] = t;
        }
    }
    // A few strings of one kind: summed as the values come.
    if (!pauli_block_needs_work(c)) {
        if (n_imaginary == 0) {
            return sum_directly_n<false>(psi, c, real_terms, n_real, base, groups, totals, stride);
        }
        return sum_directly_n<true>(psi, c, imaginary_terms, n_imaginary, base, groups, totals,
                                    stride);
    }
    // Otherwise the values of the block first, then the strings over them.
    vec* re = reinterpret_cast<vec*>(work);
    vec* im = reinterpret_cast<vec*>(work + sum_block);
    const auto store = [&](std::int64_t g, const vec* r, const vec* m) {
        for (int k = 0; k < per_group; ++k) {
            if (n_real > 0) {
                re[g * per_group + k] = r[k];
            }
            if (n_imaginary > 0) {
                im[g * per_group + k] = m[k];
            }
        }
    };
    if (x == 0) {
        walk_norms(psi, base, groups, [&](std::int64_t g, const vec* norms) {
            for (int k = 0; k < per_group; ++k) {
                re[g * per_group + k] = norms[k];
            }
        });
    } else if (h >= 3) {
        if (n_imaginary == 0) {
            walk_pairs_of<true, false>(psi, base, x, h, groups, store);
        } else if (n_real == 0) {
            walk_pairs_of<false, true>(psi, base, x, h, groups, store);
        } else {
            walk_pairs_of<true, true>(psi, base, x, h, groups, store);
        }
    } else if (n_imaginary == 0) {
        walk_low_pairs_of<true, false>(psi, base, x, groups, store);
    } else if (n_real == 0) {
        walk_low_pairs_of<false, true>(psi, base, x, groups, store);
    } else {
        walk_low_pairs_of<true, true>(psi, base, x, groups, store);
    }
    sum_stored(c, real_terms, n_real, base, re, groups, totals, stride);
    sum_stored(c, imaginary_terms, n_imaginary, base, im, groups, totals, stride);
}

void overlap_block_lanes(const amp* a, const amp* b, std::int64_t first, std::int64_t length,
                         double* totals) {
    double lanes_re[sum_lanes] = {};
    double lanes_im[sum_lanes] = {};
    std::int64_t t = 0;
    if (length % sum_lanes == 0) {
        vec acc_re[per_group] = {};
        vec acc_im[per_group] = {};
        const amp* pa = a + first;
        const amp* pb = b + first;
        for (; t < length; t += sum_lanes) {
            for (int k = 0; k < per_group; ++k) {
                vec ar;
                vec ai;
                vec br;
                vec bi;
                load_split(pa + t + k * width, ar, ai);
                load_split(pb + t + k * width, br, bi);
                acc_re[k] = add(acc_re[k], add(mul(ar, br), mul(ai, bi)));
                acc_im[k] = add(acc_im[k], sub(mul(ar, bi), mul(ai, br)));
            }
        }
        for (int k = 0; k < per_group; ++k) {
            for (int j = 0; j < width; ++j) {
                lanes_re[slot(k, j)] = acc_re[k][j];
                lanes_im[slot(k, j)] = acc_im[k][j];
            }
        }
    } else {
        // Fewer than eight terms in all.
        for (; t < length; ++t) {
            const wide_amp x = a[first + t];
            const wide_amp y = b[first + t];
            const int l = static_cast<int>(t % sum_lanes);
            lanes_re[l] = add(lanes_re[l], add(mul(x.real(), y.real()), mul(x.imag(), y.imag())));
            lanes_im[l] = add(lanes_im[l], mul(x.real(), y.imag()) - mul(x.imag(), y.real()));
        }
    }
    totals[0] = lane_tree(lanes_re);
    totals[1] = lane_tree(lanes_im);
}

}  // namespace

void pauli_block(const amp* psi, const pauli_chunk& c, std::int64_t first, std::int64_t length,
                 double* work, double* totals, std::int64_t stride) {
    pauli_block_lanes(psi, c, first, length, work, totals, stride);
}

void overlap_block(const amp* a, const amp* b, std::int64_t first, std::int64_t length,
                   double* totals) {
    overlap_block_lanes(a, b, first, length, totals);
}

}  // namespace velt::VELT_ISA_NS
