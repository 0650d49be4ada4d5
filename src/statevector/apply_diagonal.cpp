// Diagonal gate: psi[i] = diag[j] psi[i] (cmul, the entry first) for every i
// whose control bits are all 1, j the target bits of i.
//
// Targets arrive in increasing order (the bindings reorder the table to
// match), so the targets inside a chunk are the low bits of j:
//   j = (pack(c) << k_low) | pack(a)
// for chunk index c and amplitude a inside the chunk, pack(c) taking the
// targets at or above the chunk and pack(a) the k_low below it.  A chunk's
// 2^k_low entries are therefore consecutive in the table: they are loaded
// as they lie and shuffled into the lanes (the lane of amplitude a takes
// entry pack(a)), so that a chunk costs one or two loads besides its own,
// whatever k.
#include "isa/kernel_table.hpp"
#include "isa/target.hpp"
#include "statevector/phase_walk.hpp"

namespace velt::VELT_ISA_NS {

namespace {

// pack(a) for the target bits Low of an amplitude a inside a chunk.
constexpr std::size_t low_index(std::size_t a, std::size_t low) {
    std::size_t out = 0;
    std::size_t d = 0;
    for (std::size_t b = 0; b < static_cast<std::size_t>(phase_chunk_bits); ++b) {
        if ((low >> b) & 1) {
            out |= ((a >> b) & 1) << d++;
        }
    }
    return out;
}

constexpr int low_count(std::size_t low) { return __builtin_popcount(static_cast<unsigned>(low)); }

// The lanes whose amplitude takes entry M.
template <std::size_t Low, std::size_t M, std::size_t... L>
inline lane_mask entry_lanes(std::index_sequence<L...>) {
    return lane_mask{(low_index(amp_of_lane(L), Low) == M ? -1LL : 0LL)...};
}

template <std::size_t Low, std::size_t... M>
inline cvec entries_by_select(const real* d, std::index_sequence<M...>) {
    constexpr auto lanes = std::make_index_sequence<width>{};
    cvec out = {broadcast(d[0]), broadcast(d[1])};
    // Entries 1, 2, ... over entry 0's broadcast.
    ((out = {select(entry_lanes<Low, M + 1>(lanes), broadcast(d[2 * M + 2]), out.re),
             select(entry_lanes<Low, M + 1>(lanes), broadcast(d[2 * M + 3]), out.im)}),
     ...);
    return out;
}

// The entries e[0 .. 2^k_low) of a chunk in its lanes: real parts and
// imaginary parts.  Only moves reals: no arithmetic.  The 2^(k_low + 1)
// reals are read as one or two whole registers where they fill them, and
// broadcast otherwise (a narrower vector widened into a register went
// through the stack: twice the time of the whole pass at 2^26 amplitudes).
template <std::size_t Low, std::size_t... L>
inline cvec chunk_entries(const amp* e, std::index_sequence<L...>) {
    const real* d = reinterpret_cast<const real*>(e);
    constexpr int reals = 2 << low_count(Low);
    if constexpr (Low == 0) {
        return {broadcast(d[0]), broadcast(d[1])};
    } else if constexpr (reals == 2 * width) {
        const vec lo = load(d);
        const vec hi = load(d + width);
        return {__builtin_shufflevector(lo, hi, (2 * low_index(amp_of_lane(L), Low))...),
                __builtin_shufflevector(lo, hi, (2 * low_index(amp_of_lane(L), Low) + 1)...)};
    } else if constexpr (reals == width) {
        const vec v = load(d);
        return {__builtin_shufflevector(v, v, (2 * low_index(amp_of_lane(L), Low))...),
                __builtin_shufflevector(v, v, (2 * low_index(amp_of_lane(L), Low) + 1)...)};
    } else {
        return entries_by_select<Low>(
            d, std::make_index_sequence<(std::size_t{1} << low_count(Low)) - 1>{});
    }
}

template <std::size_t Low, bool Masked>
void diagonal_chunks(amp* psi, std::int64_t chunks, const phase_controls& ctl,
                     const packed_counter& counter, const amp* diag, loop_work work) {
    constexpr int k_low = low_count(Low);
    const lane_mask on = ctl.on;
    for_each_chunk_run(chunks, ctl, work, [=, &counter](std::int64_t first, std::int64_t count) {
        two_stream_run(first, count, counter, [=](std::int64_t c, std::int64_t j) {
            amp* p = psi + c * width;
            const cvec e =
                chunk_entries<Low>(diag + (j << k_low), std::make_index_sequence<width>{});
            cvec x;
            load_split(p, x.re, x.im);
            const cvec y = cmul(e, x);
            if constexpr (Masked) {
                store_split(p, select(on, y.re, x.re), select(on, y.im, x.im));
            } else {
                store_split(p, y.re, y.im);
            }
        });
    });
}

using chunks_call = void (*)(amp*, std::int64_t, const phase_controls&, const packed_counter&,
                             const amp*, loop_work);

template <std::size_t... Low>
chunks_call pick(std::size_t low, bool masked, std::index_sequence<Low...>) {
    constexpr chunks_call plain[] = {&diagonal_chunks<Low, false>...};
    constexpr chunks_call with_mask[] = {&diagonal_chunks<Low, true>...};
    return masked ? with_mask[low] : plain[low];
}

}  // namespace

void apply_diagonal(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                    int n_controls, const amp* diag) {
    std::int64_t control_mask = 0;
    for (int i = 0; i < n_controls; ++i) {
        control_mask |= bit(controls[i]);
    }
    if (n < width) {
        // Shorter than a chunk: one amplitude at a time, the same operations.
        for (std::int64_t i = 0; i < n; ++i) {
            if ((i & control_mask) == control_mask) {
                std::int64_t j = 0;
                for (int d = 0; d < k; ++d) {
                    j |= ((i >> targets[d]) & 1) << d;
                }
                psi[i] = velt::cmul(diag[j], psi[i]);
            }
        }
        return;
    }
    std::size_t low = 0;    // target bits inside a chunk
    std::int64_t high = 0;  // target bits of the chunk index
    for (int d = 0; d < k; ++d) {
        if (targets[d] < phase_chunk_bits) {
            low |= std::size_t{1} << targets[d];
        } else {
            high |= bit(targets[d] - phase_chunk_bits);
        }
    }
    const phase_controls ctl(controls, n_controls);
    const packed_counter counter(high, false);
    const loop_work work{n >> n_controls, serial_below::phase_amplitudes};
    pick(low, ctl.masked, std::make_index_sequence<width>{})(psi, n / width, ctl, counter, diag,
                                                             work);
}

}  // namespace velt::VELT_ISA_NS
