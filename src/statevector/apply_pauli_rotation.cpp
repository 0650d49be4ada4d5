// Pauli rotation exp(-i theta/2 P) = c I - i s P, c = cos(theta/2) and
// s = sin(theta/2) (computed once by the binding, common/trig.hpp).
//
// P is two masks and a count: x (qubits under X or Y), z (under Z or Y) and
// y (the number of Y's), with P|j> = i^y (-1)^|j & z| |j ^ x>.  So
//   psi'[i] = c psi[i] + s f(i) psi[i ^ x],   f(i) = -i i^y (-1)^|(i ^ x) & z|,
// and since |x & z| = y, f(i) = e (-1)^|i & z| with e = -i, -1, i, 1 for
// y = 0, 1, 2, 3 mod 4: a real sign for odd y, an imaginary one for even y.
//
// Without X or Y (x = 0) that is one phase per amplitude,
//   psi'[i] = cmul((c, t), psi[i]),   t = -s or s for |i & z| even or odd,
// exactly the diagonal gate's product with the entry (c, t).  (An empty
// string, or one of I's, is the global phase exp(-i theta/2).)
//
// With X or Y, the pairs (i, i ^ x) are updated together, each output
// taking its partner's value times the exact phase f(i) by moving and
// negating parts, never by a product with 0 (which would turn an infinite
// part into NaN):
//   odd y:   re' = c re + t pre,        im' = c im + t pim
//   even y:  re' = c re + (-t) pim,     im' = c im + t pre
// with (re, im) the amplitude, (pre, pim) its partner and t = s or -s, the
// sign of e (-1)^|i & z| (-e's for the imaginary case's real part).  Every
// product and sum is one rounded operation in this order, coefficient first.
#include "isa/kernel_table.hpp"
#include "isa/target.hpp"
#include "statevector/phase_walk.hpp"

namespace velt::VELT_ISA_NS {

namespace {

struct pauli_masks {
    std::int64_t x = 0;
    std::int64_t z = 0;
    int y = 0;
    int top = -1;  // the highest qubit under X or Y
};

pauli_masks masks_of(const int* qubits, const char* letters, int k) {
    pauli_masks p;
    for (int d = 0; d < k; ++d) {
        const std::int64_t b = bit(qubits[d]);
        switch (letters[d]) {
            case 'X': p.x |= b; break;
            case 'Y':
                p.x |= b;
                p.z |= b;
                ++p.y;
                break;
            case 'Z': p.z |= b; break;
            default: break;  // 'I' (the bindings refuse any other letter)
        }
    }
    for (int q = 62; q >= 0 && p.x != 0; --q) {
        if ((p.x >> q) & 1) {
            p.top = q;
            break;
        }
    }
    return p;
}

// The pair update of one output: its value a, its partner's value b, and
// the signed coefficient t (see above).
template <bool Imaginary>
inline amp pair_output(real c, real t, const amp& a, const amp& b) {
    if constexpr (Imaginary) {
        return {add(mul(c, a.real()), mul(-t, b.imag())), add(mul(c, a.imag()), mul(t, b.real()))};
    } else {
        return {add(mul(c, a.real()), mul(t, b.real())), add(mul(c, a.imag()), mul(t, b.imag()))};
    }
}

// The signed coefficient of output i: s times e's sign times (-1)^|i & z|.
inline real pair_sign(real s, bool e_negative, std::int64_t i, std::int64_t z) {
    return (e_negative != (parity_of(i, z) != 0)) ? -s : s;
}

// Lane l's parity of |a & z| for its amplitude a inside a chunk.
inline int lane_parity(std::size_t lane, std::int64_t z) {
    return parity_of(static_cast<std::int64_t>(amp_of_lane(lane)), z & (width - 1));
}

// ---------------------------------------------------------------- Z strings

template <bool Masked>
void phase_chunks(amp* psi, std::int64_t chunks, const phase_controls& ctl,
                  const packed_counter& counter, const cvec* coef, loop_work work) {
    const lane_mask on = ctl.on;
    for_each_chunk_run(chunks, ctl, work, [=, &counter](std::int64_t first, std::int64_t count) {
        two_stream_run(first, count, counter, [=](std::int64_t c, std::int64_t parity) {
            amp* p = psi + c * width;
            cvec x;
            load_split(p, x.re, x.im);
            const cvec y = cmul(coef[parity], x);
            if constexpr (Masked) {
                store_split(p, select(on, y.re, x.re), select(on, y.im, x.im));
            } else {
                store_split(p, y.re, y.im);
            }
        });
    });
}

void rotate_z(amp* psi, std::int64_t n, const pauli_masks& p, const int* controls, int n_controls,
              real c, real s) {
    const phase_controls ctl(controls, n_controls);
    // coef[parity of the chunk's own z bits]: lanes (c, -s) or (c, s) by the
    // parity of the lane's index.
    cvec coef[2];
    for (int half = 0; half < 2; ++half) {
        real t[width];
        for (std::size_t l = 0; l < width; ++l) {
            t[l] = (half ^ lane_parity(l, p.z)) != 0 ? s : -s;
        }
        coef[half] = {broadcast(c), load(t)};
    }
    const packed_counter counter(p.z >> phase_chunk_bits, true);
    const loop_work work{n >> n_controls, serial_below::phase_amplitudes};
    if (ctl.masked) {
        phase_chunks<true>(psi, n / width, ctl, counter, coef, work);
    } else {
        phase_chunks<false>(psi, n / width, ctl, counter, coef, work);
    }
}

// ------------------------------------------------------------ X/Y strings

// Lane l of the result holds lane l ^ P of v: each amplitude's partner when
// the X/Y bits inside a chunk are the lane bits P.
template <std::size_t P, std::size_t... I>
inline vec partner_lanes(vec v, std::index_sequence<I...>) {
    return __builtin_shufflevector(v, v, (I ^ P)...);
}

// The new values of a chunk x whose partners are the chunk b (lanes in
// partner order already): coefficient w (w.re for the real part, w.im for
// the imaginary part).
template <bool Imaginary>
inline cvec pair_lanes(vec cc, const cvec& w, const cvec& x, const cvec& b) {
    if constexpr (Imaginary) {
        return {add(mul(cc, x.re), mul(w.re, b.im)), add(mul(cc, x.im), mul(w.im, b.re))};
    } else {
        return {add(mul(cc, x.re), mul(w.re, b.re)), add(mul(cc, x.im), mul(w.im, b.im))};
    }
}

template <bool Masked>
inline void store_chunk(amp* p, const cvec& y, const cvec& x, lane_mask on) {
    if constexpr (Masked) {
        store_split(p, select(on, y.re, x.re), select(on, y.im, x.im));
    } else {
        store_split(p, y.re, y.im);
    }
}

struct pair_plan {
    amp* psi;
    std::int64_t chunks;
    std::int64_t partner;  // chunk-index bits under X or Y (0: partners share a chunk)
    bool far;              // the highest of them at least far_apart() amplitudes
    int partner_parity;    // |partner chunk offset & z| mod 2
    real c;
    cvec w[2];  // by the parity of the chunk's own z bits
    lane_mask on;
};

template <std::size_t P, bool Imaginary, bool Masked>
void pair_chunks(const pair_plan& plan, const phase_controls& ctl, const packed_counter& counter,
                 loop_work work) {
    constexpr auto lanes = std::make_index_sequence<width>{};
    amp* const psi = plan.psi;
    const vec cc = broadcast(plan.c);
    const cvec* w = plan.w;
    const lane_mask on = plan.on;
    if (plan.partner == 0) {
        // Both members of every pair inside one chunk.
        for_each_chunk_run(
            plan.chunks, ctl, work, [=, &counter](std::int64_t first, std::int64_t count) {
                two_stream_run(first, count, counter, [=](std::int64_t ci, std::int64_t parity) {
                    amp* p = psi + ci * width;
                    cvec x;
                    load_split(p, x.re, x.im);
                    const cvec b = {partner_lanes<P>(x.re, lanes), partner_lanes<P>(x.im, lanes)};
                    store_chunk<Masked>(p, pair_lanes<Imaginary>(cc, w[parity], x, b), x, on);
                });
            });
        return;
    }
    const std::int64_t partner = plan.partner;
    const int flip = plan.partner_parity;
    // One pair of chunks: a (walked, partner bit clear) and its partner chunk.
    const auto pair = [=](amp* pa, amp* pb, std::int64_t parity) {
        cvec x, u;
        load_split(pa, x.re, x.im);
        load_split(pb, u.re, u.im);
        const cvec xp = {partner_lanes<P>(x.re, lanes), partner_lanes<P>(x.im, lanes)};
        const cvec up = {partner_lanes<P>(u.re, lanes), partner_lanes<P>(u.im, lanes)};
        store_chunk<Masked>(pa, pair_lanes<Imaginary>(cc, w[parity], x, up), x, on);
        store_chunk<Masked>(pb, pair_lanes<Imaginary>(cc, w[parity ^ flip], u, xp), u, on);
    };
    if (!plan.far) {
        for_each_chunk_run(
            plan.chunks, ctl, work, [=, &counter](std::int64_t first, std::int64_t count) {
                two_stream_run(first, count, counter, [=](std::int64_t ci, std::int64_t parity) {
                    pair(psi + ci * width, psi + (ci ^ partner) * width, parity);
                });
            });
        return;
    }
    // Far apart (see far_apart()): a piece of the walked chunks is copied
    // out, the partners are updated in place, then the piece goes back.
    constexpr std::int64_t piece = far_chunk / width;
    for_each_chunk_run(
        plan.chunks, ctl, work, [=, &counter](std::int64_t first, std::int64_t count) {
            amp held[far_chunk];
            for (std::int64_t off = 0; off < count; off += piece) {
                const std::int64_t length = std::min(piece, count - off);
                const std::int64_t c0 = first + off;
                std::copy(psi + c0 * width, psi + (c0 + length) * width, held);
                std::int64_t parity = counter.pack(c0);
                for (std::int64_t i = 0; i < length; ++i) {
                    if (i > 0) {
                        parity = counter.next(parity, c0 + i);
                    }
                    pair(held + i * width, psi + ((c0 + i) ^ partner) * width, parity);
                }
                std::copy(held, held + length * width, psi + c0 * width);
            }
        });
}

using pair_call = void (*)(const pair_plan&, const phase_controls&, const packed_counter&,
                           loop_work);

template <bool Imaginary, bool Masked, std::size_t... P>
pair_call pick_pair(std::size_t lanes, std::index_sequence<P...>) {
    constexpr pair_call calls[] = {&pair_chunks<P, Imaginary, Masked>...};
    return calls[lanes];
}

void rotate_xy(amp* psi, std::int64_t n, const pauli_masks& p, const int* controls, int n_controls,
               real c, real s) {
    const bool imaginary = p.y % 2 == 0;
    const bool e_negative = p.y % 4 < 2;  // e = -i or -1
    const std::int64_t x_high = p.x >> phase_chunk_bits;
    // The walked chunk of a pair has the partner's highest chunk-index bit clear.
    const phase_controls ctl(controls, n_controls, x_high != 0 ? p.top - phase_chunk_bits : -1);
    pair_plan plan{};
    plan.psi = psi;
    plan.chunks = n / width;
    plan.partner = x_high;
    plan.partner_parity = parity_of(x_high, p.z >> phase_chunk_bits);
    plan.far = x_high != 0 && bit(p.top) >= far_apart();
    plan.c = c;
    plan.on = ctl.on;
    for (int half = 0; half < 2; ++half) {
        real t[width];
        for (std::size_t l = 0; l < width; ++l) {
            t[l] = (e_negative != ((half ^ lane_parity(l, p.z)) != 0)) ? -s : s;
        }
        const vec tv = load(t);
        plan.w[half] = {imaginary ? -tv : tv, tv};
    }
    const packed_counter counter(p.z >> phase_chunk_bits, true);
    const loop_work work{n >> n_controls, serial_below::phase_amplitudes};
    const std::size_t lanes = lane_of(static_cast<std::size_t>(p.x & (width - 1)));
    constexpr auto all = std::make_index_sequence<width>{};
    pair_call call = nullptr;
    if (imaginary) {
        call = ctl.masked ? pick_pair<true, true>(lanes, all) : pick_pair<true, false>(lanes, all);
    } else {
        call =
            ctl.masked ? pick_pair<false, true>(lanes, all) : pick_pair<false, false>(lanes, all);
    }
    call(plan, ctl, counter, work);
}

// States shorter than a chunk: one amplitude (or pair) at a time, the same
// operations.
void rotate_short(amp* psi, std::int64_t n, const pauli_masks& p, std::int64_t control_mask, real c,
                  real s) {
    const bool e_negative = p.y % 4 < 2;
    for (std::int64_t i = 0; i < n; ++i) {
        if ((i & control_mask) != control_mask) {
            continue;
        }
        if (p.x == 0) {
            psi[i] = velt::cmul(amp{c, parity_of(i, p.z) != 0 ? s : -s}, psi[i]);
            continue;
        }
        if ((i >> p.top) & 1) {
            continue;  // updated with its partner
        }
        const std::int64_t j = i ^ p.x;
        const amp a = psi[i];
        const amp b = psi[j];
        const real ti = pair_sign(s, e_negative, i, p.z);
        const real tj = pair_sign(s, e_negative, j, p.z);
        if (p.y % 2 == 0) {
            psi[i] = pair_output<true>(c, ti, a, b);
            psi[j] = pair_output<true>(c, tj, b, a);
        } else {
            psi[i] = pair_output<false>(c, ti, a, b);
            psi[j] = pair_output<false>(c, tj, b, a);
        }
    }
}

}  // namespace

void apply_pauli_rotation(amp* psi, std::int64_t n, const int* qubits, const char* letters, int k,
                          const int* controls, int n_controls, real c, real s) {
    const pauli_masks p = masks_of(qubits, letters, k);
    if (n < width) {
        std::int64_t control_mask = 0;
        for (int i = 0; i < n_controls; ++i) {
            control_mask |= bit(controls[i]);
        }
        rotate_short(psi, n, p, control_mask, c, s);
    } else if (p.x == 0) {
        rotate_z(psi, n, p, controls, n_controls, c, s);
    } else {
        rotate_xy(psi, n, p, controls, n_controls, c, s);
    }
}

}  // namespace velt::VELT_ISA_NS
