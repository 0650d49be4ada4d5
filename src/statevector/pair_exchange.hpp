// CNOT and SWAP are permutations: both exchange whole amplitudes, both
// components at once, so their results are exact (NaN payloads and signs of
// zero included) on every path.  Per-ISA units only.
//
// The walk is cut by the lower qubit l and the higher qubit h of the pair:
//   - h below chunk_bits: the pairs lie inside chunks of 2^chunk_bits
//     amplitudes, and each chunk is permuted in registers;
//   - l below chunk_bits, h at or above: a chunk with qubit h clear and the
//     chunk 2^h further on together hold whole groups, and are permuted as one
//     unit of two chunks;
//   - l at or above chunk_bits: the pairs' halves are whole runs of 2^l
//     amplitudes, exchanged register by register.
// Each case counts its units u = 0, 1, ... and finds a unit's address by
// inserting zero bits, without a per-run call: with a low qubit, runs of
// consecutive groups are only a few amplitudes long, and handling them one
// run at a time cost more than moving them.  Pairs far_apart() or more apart
// keep the walk of group_walk, which writes one half after the other.
#pragma once

#include "isa/lanes.hpp"
#include "statevector/group_walk.hpp"

namespace velt::VELT_ISA_NS {

namespace detail {

// Amplitudes per chunk: 2^3 = 8 (128 bytes, complex64: 64), so that qubits
// 0, 1 and 2 fall inside a chunk on every path (two to eight registers, see
// unit_width).
inline constexpr int chunk_bits = 3;
// The permutations inside units use registers of at most 32 bytes: on the
// AVX-512 path, with 64-byte registers CNOT and SWAP of qubits 0 and 1 on a
// state larger than the caches ran 10-25 % slower than with 32-byte ones
// (whether the state started on a cache line or 16 bytes into one), and in
// cache the narrower registers were no slower.  Moves only: the complex64
// compilation moves its amplitudes in registers of floats.
inline constexpr int unit_width =
    width < 32 / static_cast<int>(sizeof(real)) ? width : 32 / static_cast<int>(sizeof(real));
typedef real uvec __attribute__((vector_size(unit_width * sizeof(real))));
inline constexpr int per_register = unit_width / 2;  // amplitudes per register
inline constexpr int chunk_registers = (1 << chunk_bits) / per_register;

// Which members of a group of four are exchanged: bit 0 set when the offset
// has qubit a, bit 1 when it has qubit b.  CNOT exchanges {a} with {a, b}
// (a the control), SWAP {a} with {b}.
inline constexpr int cnot_codes = (1 << 2) | 3;
inline constexpr int swap_codes = (1 << 2) | 2;

// The exchange as a permutation of the amplitudes of a unit: one chunk, or
// two chunks whose unit index has the higher qubit as bit chunk_bits.  QA and
// QB are the bits of the unit index that stand for qubits a and b, Codes the
// two members exchanged (see above).  Register r holds amplitudes
// r * per_register onwards; everything here is evaluated at compile time.
template <int QA, int QB, int Codes>
struct unit_map {
    static constexpr int offset(int code) { return ((code & 1) << QA) | (((code >> 1) & 1) << QB); }

    // The amplitude whose value amplitude j receives.
    static constexpr int source(int j) {
        const int code = ((j >> QA) & 1) | (((j >> QB) & 1) << 1);
        const int base = j & ~((1 << QA) | (1 << QB));
        const int cx = Codes >> 2;
        const int cy = Codes & 3;
        return code == cx ? base | offset(cy) : code == cy ? base | offset(cx) : j;
    }

    // Register r receives a value from elsewhere: it is read and written.
    // The sources of such a register are such registers too (the
    // permutation is its own inverse), so no other register is touched.
    static constexpr bool changed(int r) {
        for (int i = 0; i < per_register; ++i) {
            if (source(r * per_register + i) != r * per_register + i) {
                return true;
            }
        }
        return false;
    }

    // Register r shares 64 bytes (a cache line when the state starts on
    // one) with a changed register: it is read and written back unchanged,
    // so that every line the exchange writes is written whole.  From memory,
    // a CNOT of control 1 and target 0 that wrote only the changed half of
    // each line ran 15 % slower.
    static constexpr bool touched(int r) {
        constexpr int line = 64 / static_cast<int>(sizeof(amp));  // amplitudes
        constexpr int group = per_register < line ? line / per_register : 1;
        for (int i = r / group * group; i < (r / group + 1) * group; ++i) {
            if (changed(i)) {
                return true;
            }
        }
        return false;
    }

    // Register r's values come from at most two registers: only one qubit
    // can move an amplitude across registers, so the lanes' sources differ
    // in at most one register-index bit.
    static constexpr int first(int r) { return source(r * per_register) / per_register; }
    static constexpr int second(int r) {
        for (int i = 0; i < per_register; ++i) {
            if (source(r * per_register + i) / per_register != first(r)) {
                return source(r * per_register + i) / per_register;
            }
        }
        return first(r);
    }

    // The shuffle index of real d of register r (first's lanes, then second's).
    static constexpr int lane(int r, int d) {
        const int from = source(r * per_register + d / 2);
        const int at = (from % per_register) * 2 + d % 2;
        return from / per_register == first(r) ? at : unit_width + at;
    }
};

template <int QA, int QB, int Codes, int Slices>
struct unit_exchange {
    using map = unit_map<QA, QB, Codes>;
    static constexpr std::size_t registers = Slices * chunk_registers;

    template <int R, std::size_t... D>
    static uvec output(const uvec* in, std::index_sequence<D...>) {
        return __builtin_shufflevector(in[map::first(R)], in[map::second(R)],
                                       map::lane(R, static_cast<int>(D))...);
    }

    template <std::size_t R>
    static void load_one(uvec* in, real* const* at) {
        if constexpr (map::touched(static_cast<int>(R))) {
            in[R] = load<uvec>(at[R]);
            if constexpr (!map::changed(static_cast<int>(R))) {
                // Hides the value, or the compiler drops the store of what was loaded.
                __asm__("" : "+x"(in[R]));
            }
        }
    }

    template <std::size_t R>
    static void permute_one(uvec* out, const uvec* in) {
        if constexpr (map::changed(static_cast<int>(R))) {
            out[R] = output<static_cast<int>(R)>(in, std::make_index_sequence<unit_width>{});
        }
    }

    template <std::size_t R>
    static void store_one(real* const* at, const uvec* in, const uvec* out) {
        if constexpr (map::touched(static_cast<int>(R))) {
            store(at[R], map::changed(static_cast<int>(R)) ? out[R] : in[R]);
        }
    }

    // Permutes the chunk at s0 (and, with two slices, the one at s1), all
    // registers read before any is written.
    template <std::size_t... R>
    static void apply(real* s0, real* s1, std::index_sequence<R...>) {
        real* const at[registers] = {(static_cast<int>(R) < chunk_registers ? s0 : s1) +
                                     (static_cast<int>(R) % chunk_registers) * unit_width...};
        uvec in[registers]{};
        uvec out[registers]{};
        (load_one<R>(in, at), ...);
        (permute_one<R>(out, in), ...);
        (store_one<R>(at, in, out), ...);
    }

    // Units u in [0, count): with one slice the chunk u; with two, the u-th
    // chunk with qubit h clear (at bit h - chunk_bits of the chunk index) and
    // the chunk 2^h further on.
    static void run(amp* psi, std::int64_t count, int h, std::int64_t pairs) {
        const int unit_bits = chunk_bits + Slices - 1;
        for_each_tile(
            count, unit_bits, loop_work{pairs, serial_below::pairs},
            [=](std::int64_t first, std::int64_t tile) {
                if constexpr (Slices == 1) {
                    // One stretch of memory per tile: walked as two streams.
                    in_two_streams(tile, [&](std::int64_t i) {
                        real* s0 = reinterpret_cast<real*>(psi + ((first + i) << chunk_bits));
                        apply(s0, s0, std::make_index_sequence<registers>{});
                    });
                } else {
                    for (std::int64_t u = first; u < first + tile; ++u) {
                        amp* s0 = psi + (insert_zero_bit(u, h - chunk_bits) << chunk_bits);
                        apply(reinterpret_cast<real*>(s0), reinterpret_cast<real*>(s0 + bit(h)),
                              std::make_index_sequence<registers>{});
                    }
                }
            });
    }
};

using unit_run = void (*)(amp* psi, std::int64_t count, int h, std::int64_t pairs);

// The unit bits (QA, QB) served: both qubits inside one chunk, or one of them
// standing for the higher qubit (bit chunk_bits: two slices).
inline constexpr int unit_qa[12] = {0, 0, 1, 1, 2, 2, 0, 1, 2, 3, 3, 3};
inline constexpr int unit_qb[12] = {1, 2, 0, 2, 0, 1, 3, 3, 3, 0, 1, 2};

template <int Codes, class K>
struct unit_table;
template <int Codes, std::size_t... K>
struct unit_table<Codes, std::index_sequence<K...>> {
    static constexpr unit_run runs[] = {
        &unit_exchange < unit_qa[K], unit_qb[K], Codes,
        (unit_qa[K] == chunk_bits || unit_qb[K] == chunk_bits) ? 2 : 1 > ::run...};
};

inline unit_run find_unit_run(int qa, int qb, int codes) {
    using all = std::make_index_sequence<12>;
    for (std::size_t k = 0; k < 12; ++k) {
        if (unit_qa[k] == qa && unit_qb[k] == qb) {
            switch (codes) {
                case cnot_codes: return unit_table<cnot_codes, all>::runs[k];
                case swap_codes: return unit_table<swap_codes, all>::runs[k];
                default: break;
            }
        }
    }
    throw std::logic_error("exchange_pairs: no unit permutation for these members");
}

// Both qubits at or above chunk_bits: for every group, the 2^CB amplitudes
// from base + dx and from base + dy are exchanged whole, 2^CB = the
// smaller of 2^l and 2^6 (a kilobyte per half).
template <int CB>
void exchange_runs(amp* psi, std::int64_t whole, int l, int h, std::int64_t dx, std::int64_t dy) {
    constexpr int registers = (1 << CB) / (width / 2);
    const std::int64_t count = whole >> (CB + 2);
    for_each_tile(count, CB + 2, loop_work{whole / 4, serial_below::pairs},
                  [=](std::int64_t first, std::int64_t tile) {
                      for (std::int64_t u = first; u < first + tile; ++u) {
                          const std::int64_t base =
                              insert_zero_bit(insert_zero_bit(u, l - CB), h - CB) << CB;
                          real* x = reinterpret_cast<real*>(psi + base + dx);
                          real* y = reinterpret_cast<real*>(psi + base + dy);
                          for (int k = 0; k < registers; ++k) {
                              const vec vx = load(x + k * width);
                              const vec vy = load(y + k * width);
                              store(x + k * width, vy);
                              store(y + k * width, vx);
                          }
                      }
                  });
}

// Pairs far_apart() or more apart: one run after the other (see far_apart()).
inline void exchange_far(amp* psi, std::int64_t n, int a, int b, std::int64_t dx, std::int64_t dy) {
    const int qubits[2] = {std::min(a, b), std::max(a, b)};
    group_walk(n, qubits, 2).for_each_run([=](std::int64_t first, std::int64_t length, auto step) {
        amp* x = psi + first + dx;
        amp* y = psi + first + dy;
        amp held[far_chunk];
        for (std::int64_t k = 0; k < length; k += far_chunk) {
            const std::int64_t chunk = std::min(far_chunk, length - k);
            amp* xk = x + k * step;
            amp* yk = y + k * step;
            for (std::int64_t c = 0; c < chunk; ++c) {
                held[c] = xk[c * step];
            }
            for (std::int64_t c = 0; c < chunk; ++c) {
                xk[c * step] = yk[c * step];
            }
            for (std::int64_t c = 0; c < chunk; ++c) {
                yk[c * step] = held[c];
            }
        }
    });
}

}  // namespace detail

// For every index x below n with qubits a and b clear (a != b), exchanges
// psi[x + dx] with psi[x + dy]; dx and dy are two of 0, 2^a, 2^b, 2^a + 2^b,
// as CNOT (2^a, 2^a + 2^b) or SWAP (2^a, 2^b) choose them.  Only whole blocks
// of 2^(max(a, b) + 1) amplitudes are visited: a trailing partial block is
// left alone.
inline void exchange_pairs(amp* psi, std::int64_t n, int a, int b, std::int64_t dx,
                           std::int64_t dy) {
    using namespace detail;
    if ((dx ^ dy) >= far_apart()) {
        exchange_far(psi, n, a, b, dx, dy);
        return;
    }
    const int l = std::min(a, b);
    const int h = std::max(a, b);
    const std::int64_t whole = (n >> (h + 1)) << (h + 1);
    if (l >= chunk_bits) {
        switch (std::min(l, 6)) {
            case 3: return exchange_runs<3>(psi, whole, l, h, dx, dy);
            case 4: return exchange_runs<4>(psi, whole, l, h, dx, dy);
            case 5: return exchange_runs<5>(psi, whole, l, h, dx, dy);
            case 6: return exchange_runs<6>(psi, whole, l, h, dx, dy);
            default: throw std::logic_error("exchange_pairs: run length out of range");
        }
    }
    const auto code = [a, b](std::int64_t d) { return ((d >> a) & 1) | (((d >> b) & 1) << 1); };
    const int codes = static_cast<int>((code(dx) << 2) | code(dy));
    const auto unit_bit = [](int q) { return std::min(q, chunk_bits); };
    const unit_run run = find_unit_run(unit_bit(a), unit_bit(b), codes);
    if (h >= chunk_bits) {
        run(psi, whole >> (chunk_bits + 1), h, whole / 4);
        return;
    }
    // Both qubits inside a chunk: the chunks, then the whole blocks of a
    // trailing partial chunk one pair at a time.
    const std::int64_t chunks = whole >> chunk_bits;
    run(psi, chunks, h, whole / 4);
    const std::int64_t mask = bit(a) | bit(b);
    for (std::int64_t x = chunks << chunk_bits; x < whole; ++x) {
        if ((x & mask) == 0) {
            std::swap(psi[x + dx], psi[x + dy]);
        }
    }
}

}  // namespace velt::VELT_ISA_NS
