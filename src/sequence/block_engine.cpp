// The workers' side of a blocked run (see block.hpp): gather, ops, scatter.
//
// Chunked layout: chunk c of a block holds block amplitudes c * width ..
// c * width + width - 1, as `width` real parts and then `width` imaginary
// parts, amplitude a of the chunk in lane lane_of(a).  Block qubit j <
// lane_bits is the lane bit lane_of(2^j); a higher one is chunk bit
// j - lane_bits.  The ops below are the one-call kernels' arithmetic on that
// layout:
//   pair   the pair update of common/amplitude.hpp, lane by lane: with the
//          target a chunk bit the two members of a pair sit in the same lane
//          of two chunks (no shuffle at all); with it a lane bit they sit in
//          one chunk, and each lane takes its pair's first member and its
//          partner, with the matrix row of its own member, as
//          pair_lanes_packed does.  A control that is a chunk bit leaves out
//          the chunks where it is clear; one that is a lane bit keeps the
//          old values in its clear lanes, as the kernels' masked paths do.
//   cnot, swap
//          exchanges of whole amplitudes, chunks or lanes, by moves only.
// Each lane does the scalar operations of its amplitude in the scalar order,
// so the bits are those of the one-call kernel on any path.
//
// Memory.  A block is gathered, worked on while it stays in the core's
// second-level cache, and scattered back.  The gather of a block with short
// segments waits on memory for most of its time, so while a block's ops run
// the worker asks for the next block's lines (software prefetch, a few per
// step of the ops' loops, spread over the first three quarters of the
// block's steps), and memory works while the arithmetic runs.  Not every
// line is still in the cache when its block is gathered: the segments of a
// block with many high qubits lie at strides that map them onto a few sets
// of the caches, where they evict one another.  The gather then waits less,
// not never.
#include "isa/kernel_table.hpp"
#include "isa/target.hpp"
#include "sequence/block.hpp"
#include "statevector/pair_run.hpp"

namespace velt::VELT_ISA_NS {

namespace {

constexpr int lane_bits = width == 2 ? 1 : width == 4 ? 2 : width == 8 ? 3 : 4;
static_assert(std::int64_t{1} << lane_bits == width);
constexpr std::int64_t chunk_reals = 2 * width;
// A qubit position no chunk index reaches: inserting a zero bit there
// changes nothing, so a walk can always clear two positions.
constexpr int no_bit = 62;

cvec load_chunk(const real* p) { return {load(p), load(p + width)}; }

void store_chunk(real* p, const cvec& x) {
    store(p, x.re);
    store(p + width, x.im);
}

cvec select(lane_mask on, const cvec& a, const cvec& b) {
    return {VELT_ISA_NS::select(on, a.re, b.re), VELT_ISA_NS::select(on, a.im, b.im)};
}

// Lane l takes lane l ^ M.
template <std::size_t M, std::size_t... I>
vec xor_lanes(vec v, std::index_sequence<I...>) {
    return __builtin_shufflevector(v, v, (I ^ M)...);
}

template <std::size_t M>
cvec xor_lanes(const cvec& x) {
    constexpr auto lanes = std::make_index_sequence<width>{};
    return {xor_lanes<M>(x.re, lanes), xor_lanes<M>(x.im, lanes)};
}

// Calls f(std::integral_constant<std::size_t, M>) for a lane mask m < width.
template <class F>
void with_lanes(std::size_t m, F&& f) {
    switch (m) {
        case 0: return f(std::integral_constant<std::size_t, 0>{});
        case 1: return f(std::integral_constant<std::size_t, 1>{});
        default: break;
    }
    if constexpr (width > 2) {
        switch (m) {
            case 2: return f(std::integral_constant<std::size_t, 2>{});
            case 3: return f(std::integral_constant<std::size_t, 3>{});
            default: break;
        }
    }
    if constexpr (width > 4) {
        switch (m) {
            case 4: return f(std::integral_constant<std::size_t, 4>{});
            case 5: return f(std::integral_constant<std::size_t, 5>{});
            case 6: return f(std::integral_constant<std::size_t, 6>{});
            case 7: return f(std::integral_constant<std::size_t, 7>{});
            default: break;
        }
    }
    // Complex64 on the avx512f path.  Four cases per switch, like the ones
    // above: a longer switch becomes a jump table, an indirect jump out of
    // code whose upper state is dirty (scripts/check_isa.py).
    if constexpr (width > 8) {
        switch (m) {
            case 8: return f(std::integral_constant<std::size_t, 8>{});
            case 9: return f(std::integral_constant<std::size_t, 9>{});
            case 10: return f(std::integral_constant<std::size_t, 10>{});
            case 11: return f(std::integral_constant<std::size_t, 11>{});
            default: break;
        }
        switch (m) {
            case 12: return f(std::integral_constant<std::size_t, 12>{});
            case 13: return f(std::integral_constant<std::size_t, 13>{});
            case 14: return f(std::integral_constant<std::size_t, 14>{});
            case 15: return f(std::integral_constant<std::size_t, 15>{});
            default: break;
        }
    }
}

// The lane bit of block qubit q < lane_bits.
std::size_t lane_bit(int q) { return lane_of(std::size_t{1} << q); }

// Chunk indices with the chunk bits q1 < q2 clear (no_bit: none) and the
// bits `set` set, in increasing order.
struct chunk_walk {
    int q1 = no_bit;
    int q2 = no_bit;
    std::int64_t set = 0;
    std::int64_t count = 0;
};

// Over `chunks` chunks: clear a and b (no_bit for none), then set `set`.
chunk_walk walk(std::int64_t chunks, int a, int b, std::int64_t set) {
    chunk_walk w;
    w.q1 = std::min(a, b);
    w.q2 = std::max(a, b);
    w.set = set;
    w.count = chunks >> ((a != no_bit) + (b != no_bit));
    return w;
}

// Calls f(c) for the walk's chunks in order: runs of 2^q1 consecutive
// chunks, so that only a run's first chunk needs its bits inserted.  The
// loops' state lives in locals: the chunks are written through memcpy,
// which could alias any field of a struct the loop read its state from.
template <class F>
inline void for_each_chunk(const chunk_walk& w, F&& f) {
    const int q1 = w.q1;
    const int q2 = w.q2;
    const std::int64_t set = w.set;
    const std::int64_t count = w.count;
    const std::int64_t run = q1 == no_bit ? count : std::min(count, bit(q1));
    for (std::int64_t u = 0; u < count; u += run) {
        const std::int64_t first = insert_zero_bit(insert_zero_bit(u, q1), q2) | set;
        for (std::int64_t j = 0; j < run; ++j) {
            f(first + j);
        }
    }
}

// Asks for the lines of the next block, a few per step of the ops' loops.
class prefetcher {
public:
    prefetcher() = default;

    // The next block: `segments` segments of 2^low amplitudes at base +
    // segment[s].  Its lines are asked for in order.
    prefetcher(const amp* base, const std::int64_t* segment, std::int64_t segments, int low)
        : base_(reinterpret_cast<const char*>(base)),
          segment_(segment),
          segments_(segments),
          lines_(std::max<std::int64_t>(1, (bit(low) * std::int64_t{sizeof(amp)}) / line_bytes)) {}

    // The block's ops will run `steps` loop steps in all: the lines are
    // spread evenly over the first three quarters of them, so that the last
    // ones have arrived by the time the block is done.
    void pace(std::int64_t steps) {
        quota_ = (segments_ - s_) * lines_ - line_;
        per_ = std::max<std::int64_t>(1, steps * 3 / 4);
        acc_ = 0;
    }

    // One step of a loop: the lines due by now.
    void step() {
        acc_ += quota_;
        while (acc_ >= per_) {
            acc_ -= per_;
            fetch_one();
        }
    }

private:
    static constexpr std::int64_t line_bytes = 64;

    void fetch_one() {
        if (s_ >= segments_) {
            return;
        }
        // Only a hint: never read, so no fault even past the array.  The
        // non-temporal hint measured no slower than the others on the
        // circuits of bench/bench_circuits.py, and the second-level hint
        // (T1) made the GHZ circuit, whose runs hold few ops, four times
        // slower to gather (AMD EPYC, 2^24 amplitudes).
        __builtin_prefetch(base_ + segment_[s_] * std::int64_t{sizeof(amp)} + line_ * line_bytes, 0,
                           0);
        if (++line_ == lines_) {
            line_ = 0;
            ++s_;
        }
    }

    const char* base_ = nullptr;
    const std::int64_t* segment_ = nullptr;
    std::int64_t segments_ = 0;
    std::int64_t lines_ = 1;
    std::int64_t s_ = 0;
    std::int64_t line_ = 0;
    std::int64_t quota_ = 0;
    std::int64_t per_ = 1;
    std::int64_t acc_ = 0;
};

// --- The ops on the chunked layout -----------------------------------------

// Pairs of chunks p0 = at(u) + d0 and p1 = at(u) + d1 (chunk offsets): the
// pair update lane by lane, the old values kept in the lanes outside `on`
// when Masked.
template <bool Masked>
void pair_of_chunks(real* b, const chunk_walk& w, std::int64_t d1, const mat2& m, lane_mask on,
                    prefetcher& pf) {
    const cvec m00 = broadcast(m.m00), m01 = broadcast(m.m01);
    const cvec m10 = broadcast(m.m10), m11 = broadcast(m.m11);
    const std::int64_t stride = d1 * chunk_reals;
    prefetcher ahead = pf;
    for_each_chunk(w, [&](std::int64_t c) {
        real* p0 = b + c * chunk_reals;
        real* p1 = p0 + stride;
        const cvec x0 = load_chunk(p0);
        const cvec x1 = load_chunk(p1);
        const cvec y0 = cadd(cmul(m00, x0), cmul(m01, x1));
        const cvec y1 = cadd(cmul(m10, x0), cmul(m11, x1));
        if constexpr (Masked) {
            store_chunk(p0, select(on, y0, x0));
            store_chunk(p1, select(on, y1, x1));
        } else {
            store_chunk(p0, y0);
            store_chunk(p1, y1);
        }
        ahead.step();
    });
    pf = ahead;
}

// Pairs inside chunks (target lane bit P), in the chunks of the walk.
template <std::size_t P, bool Masked>
void pair_in_chunks(real* b, const chunk_walk& w, const mat2& m, lane_mask on, prefetcher& pf) {
    constexpr auto lanes = std::make_index_sequence<width>{};
    const cvec left = detail::by_member<P>(m.m00, m.m10, lanes);
    const cvec right = detail::by_member<P>(m.m01, m.m11, lanes);
    prefetcher ahead = pf;
    for_each_chunk(w, [&](std::int64_t c) {
        real* p = b + c * chunk_reals;
        const cvec x = load_chunk(p);
        const cvec x0 = {detail::first_members<P>(x.re, lanes),
                         detail::first_members<P>(x.im, lanes)};
        const cvec x1 = {detail::partners<P>(x.re, lanes), detail::partners<P>(x.im, lanes)};
        const cvec y = cadd(cmul(left, x0), cmul(right, x1));
        if constexpr (Masked) {
            store_chunk(p, select(on, y, x));
        } else {
            store_chunk(p, y);
        }
        ahead.step();
    });
    pf = ahead;
}

// Exchanges between chunks p0 = at(u) and p1 = at(u) + d1: p0 takes lane
// l ^ M of p1 in the lanes of s0, p1 takes lane l ^ M of p0 in the lanes
// of s1 (Full: every lane of both).
template <std::size_t M, bool Full>
void exchange_chunks(real* b, const chunk_walk& w, std::int64_t d0, std::int64_t d1, lane_mask s0,
                     lane_mask s1, prefetcher& pf) {
    const std::int64_t stride = (d1 - d0) * chunk_reals;
    real* const b0 = b + d0 * chunk_reals;
    prefetcher ahead = pf;
    for_each_chunk(w, [&](std::int64_t c) {
        real* p0 = b0 + c * chunk_reals;
        real* p1 = p0 + stride;
        const cvec x0 = load_chunk(p0);
        const cvec x1 = load_chunk(p1);
        if constexpr (Full) {
            store_chunk(p0, xor_lanes<M>(x1));
            store_chunk(p1, xor_lanes<M>(x0));
        } else {
            store_chunk(p0, select(s0, xor_lanes<M>(x1), x0));
            store_chunk(p1, select(s1, xor_lanes<M>(x0), x1));
        }
        ahead.step();
    });
    pf = ahead;
}

// Exchanges inside chunks: lane l takes lane l ^ M where `on` is set.
template <std::size_t M, bool Full>
void exchange_in_chunks(real* b, const chunk_walk& w, lane_mask on, prefetcher& pf) {
    prefetcher ahead = pf;
    for_each_chunk(w, [&](std::int64_t c) {
        real* p = b + c * chunk_reals;
        const cvec x = load_chunk(p);
        if constexpr (Full) {
            store_chunk(p, xor_lanes<M>(x));
        } else {
            store_chunk(p, select(on, xor_lanes<M>(x), x));
        }
        ahead.step();
    });
    pf = ahead;
}

// The 2x2 gate m on block qubit t, where block qubit c is set (c < 0: everywhere).
void apply_pair(real* b, std::int64_t chunks, int t, int c, const mat2& m, prefetcher& pf) {
    const bool lane_control = c >= 0 && c < lane_bits;
    const int chunk_control = c >= lane_bits ? c - lane_bits : no_bit;
    const std::int64_t set = chunk_control == no_bit ? 0 : bit(chunk_control);
    const lane_mask on = lane_control ? lanes_with_qubit(c) : all_lanes();
    if (t >= lane_bits) {
        const int tc = t - lane_bits;
        const chunk_walk w = walk(chunks, tc, chunk_control, set);
        if (lane_control) {
            pair_of_chunks<true>(b, w, bit(tc), m, on, pf);
        } else {
            pair_of_chunks<false>(b, w, bit(tc), m, on, pf);
        }
        return;
    }
    const chunk_walk w = walk(chunks, chunk_control, no_bit, set);
    with_lanes(lane_bit(t), [&](auto p) {
        constexpr std::size_t P = decltype(p)::value;
        if constexpr (P != 0) {
            if (lane_control) {
                pair_in_chunks<P, true>(b, w, m, on, pf);
            } else {
                pair_in_chunks<P, false>(b, w, m, on, pf);
            }
        }
    });
}

// CNOT with control c and target t (block qubits, c != t).
void apply_cnot(real* b, std::int64_t chunks, int c, int t, prefetcher& pf) {
    if (t >= lane_bits) {
        const int tc = t - lane_bits;
        if (c >= lane_bits) {
            // Chunks with the control set, target clear <-> target set.
            const int cc = c - lane_bits;
            const chunk_walk w = walk(chunks, tc, cc, bit(cc));
            exchange_chunks<0, true>(b, w, 0, bit(tc), lane_mask{}, lane_mask{}, pf);
        } else {
            // The lanes with the control set, between the two chunks of a pair.
            const lane_mask on = lanes_with_qubit(c);
            const chunk_walk w = walk(chunks, tc, no_bit, 0);
            exchange_chunks<0, false>(b, w, 0, bit(tc), on, on, pf);
        }
        return;
    }
    const bool chunk_control = c >= lane_bits;
    const chunk_walk w = chunk_control ? walk(chunks, c - lane_bits, no_bit, bit(c - lane_bits))
                                       : walk(chunks, no_bit, no_bit, 0);
    const lane_mask on = chunk_control ? all_lanes() : lanes_with_qubit(c);
    with_lanes(lane_bit(t), [&](auto mask) {
        constexpr std::size_t M = decltype(mask)::value;
        if constexpr (M != 0) {
            if (chunk_control) {
                exchange_in_chunks<M, true>(b, w, on, pf);
            } else {
                exchange_in_chunks<M, false>(b, w, on, pf);
            }
        }
    });
}

// SWAP of block qubits a != b.
void apply_swap_block(real* b, std::int64_t chunks, int qa, int qb, prefetcher& pf) {
    if (qa > qb) {
        std::swap(qa, qb);  // the exchange is symmetric
    }
    if (qa >= lane_bits) {
        // a set, b clear <-> a clear, b set: whole chunks.
        const int ca = qa - lane_bits;
        const int cb = qb - lane_bits;
        const chunk_walk w = walk(chunks, ca, cb, 0);
        exchange_chunks<0, true>(b, w, bit(ca), bit(cb), lane_mask{}, lane_mask{}, pf);
        return;
    }
    const lane_mask on_a = lanes_with_qubit(qa);
    if (qb >= lane_bits) {
        // p0 (b clear) takes, in its lanes with a set, p1's lanes with a
        // clear; p1 (b set) takes, in its lanes with a clear, p0's lanes
        // with a set.
        const int cb = qb - lane_bits;
        const chunk_walk w = walk(chunks, cb, no_bit, 0);
        with_lanes(lane_bit(qa), [&](auto mask) {
            constexpr std::size_t M = decltype(mask)::value;
            if constexpr (M != 0) {
                exchange_chunks<M, false>(b, w, 0, bit(cb), on_a, ~on_a, pf);
            }
        });
        return;
    }
    // Both in the lanes: the lanes where a and b differ take their partners.
    const chunk_walk w = walk(chunks, no_bit, no_bit, 0);
    with_lanes(lane_bit(qa) | lane_bit(qb), [&](auto mask) {
        constexpr std::size_t M = decltype(mask)::value;
        if constexpr (M != 0) {
            exchange_in_chunks<M, false>(b, w, on_a ^ lanes_with_qubit(qb), pf);
        }
    });
}

// The loop steps of an op on a block of `chunks` chunks (0 for kernel ops):
// the count of the walk its function above takes.
std::int64_t op_steps(const block_op& op, std::int64_t chunks) {
    const bool t_chunk = op.t >= lane_bits;
    const bool c_chunk = op.c >= lane_bits;
    switch (op.kind) {
        case block_kind::pair:
        case block_kind::cnot: return chunks >> (int{t_chunk} + int{c_chunk});
        case block_kind::swap: return chunks >> (int{t_chunk} + int{c_chunk});
        case block_kind::kernel: break;
    }
    return 0;
}

// --- Riding ops -------------------------------------------------------------

// The bits of x at the set bits of `mask`, lowest first, as consecutive bits.
std::int64_t pack_bits(std::int64_t x, std::int64_t mask) {
    std::int64_t out = 0;
    int d = 0;
    for (; mask != 0; mask &= mask - 1) {
        out |= ((x >> __builtin_ctzll(static_cast<unsigned long long>(mask))) & 1) << d++;
    }
    return out;
}

// A riding op (block.hpp) on the block, in index order, whose amplitude 0 is
// state amplitude `base`: base holds the block's bits of every qubit outside
// it.  Its kernel runs on the block's qubits with the slice of its table (or
// the sign of its sine) that those outer bits select.
void apply_riding(amp* psi, std::int64_t n, const block_op& op, const block_run& run,
                  std::int64_t base) {
    if ((base & op.outer_controls) != op.outer_controls) {
        return;  // a control outside the block is 0 for all of it
    }
    const sequence_op& r = *op.op;
    const int* q = r.qubits.data();
    const int n_controls = static_cast<int>(r.qubits.size()) - r.n_targets;
    if (r.kind == op_kind::apply_diagonal) {
        const std::size_t slice = static_cast<std::size_t>(pack_bits(base, op.outer_targets))
                                  << r.n_targets;
        apply_diagonal(psi, n, q, r.n_targets, q + r.n_targets, n_controls,
                       run.tables.data() + op.table + slice);
        return;
    }
    // Rounded to the state's precision as the one-call path rounds them;
    // negation is exact either side of the rounding.
    const auto c = static_cast<real>(r.c);
    const auto s_op = static_cast<real>(r.s);
    const real s =
        __builtin_parityll(static_cast<unsigned long long>(base & op.outer_z)) != 0 ? -s_op : s_op;
    apply_pauli_rotation(psi, n, q, r.letters.data(), r.n_targets, q + r.n_targets, n_controls, c,
                         s);
}

// --- Layout ----------------------------------------------------------------

// Chunked layout <-> index order, in place, chunk by chunk.
void to_index_order(real* b, std::int64_t chunks) {
    for (std::int64_t c = 0; c < chunks; ++c) {
        real* p = b + c * chunk_reals;
        const cvec x = load_chunk(p);
        store_split(reinterpret_cast<amp*>(p), x.re, x.im);
    }
}

void to_chunks(real* b, std::int64_t chunks) {
    for (std::int64_t c = 0; c < chunks; ++c) {
        real* p = b + c * chunk_reals;
        cvec x;
        load_split(reinterpret_cast<const amp*>(p), x.re, x.im);
        store_chunk(p, x);
    }
}

// The block's amplitudes and how they are held.
struct block {
    real* data;            // the buffer, or the block itself where it lies
    std::int64_t chunks;   // 2^(block qubits - lane_bits)
    bool chunked = false;  // chunked layout, else index order
};

}  // namespace

void apply_block_run(amp* psi, const block_run& run, real* buffers) {
    const int m = static_cast<int>(run.high.size());
    const int low = run.low;
    const int block_qubits = low + m;
    const std::int64_t segment_length = bit(low);
    const std::int64_t segments = bit(m);
    const std::int64_t chunks_per_segment = segment_length / width;
    const std::int64_t blocks = bit(run.n_qubits - block_qubits);
    const std::int64_t buffer_reals = block_buffer_reals(block_qubits);
    // The loop steps of the ops on the chunked layout, for the prefetcher's pace.
    std::int64_t steps = 0;
    for (const block_op& op : run.ops) {
        steps += op_steps(op, bit(block_qubits - lane_bits));
    }
    const auto base_of = [&run, low](std::int64_t i) {
        std::int64_t base = i << low;
        for (const int h : run.high) {
            base = insert_zero_bit(base, h);
        }
        return base;
    };
    parallel_for(blocks, [=, &run](std::int64_t i) {
        const std::int64_t base = base_of(i);
        block blk{
            m == 0 ? reinterpret_cast<real*>(psi + base) : buffers + buffer_reals * worker_index(),
            bit(block_qubits - lane_bits)};
        const bool first_chunked = !run.ops.empty() && run.ops.front().kind != block_kind::kernel;
        // Gather: straight into the layout of the first op.
        if (m == 0) {
            if (first_chunked) {
                to_chunks(blk.data, blk.chunks);
                blk.chunked = true;
            }
        } else {
            for (std::int64_t s = 0; s < segments; ++s) {
                const amp* from = psi + base + run.segment[static_cast<std::size_t>(s)];
                real* to = blk.data + s * chunks_per_segment * chunk_reals;
                if (first_chunked) {
                    for (std::int64_t k = 0; k < chunks_per_segment; ++k) {
                        cvec x;
                        load_split(from + k * width, x.re, x.im);
                        store_chunk(to + k * chunk_reals, x);
                    }
                } else {
                    std::memcpy(static_cast<void*>(to), from,
                                static_cast<std::size_t>(segment_length) * sizeof(amp));
                }
            }
            blk.chunked = first_chunked;
        }
        prefetcher pf;
        if (i + 1 < blocks) {
            pf = prefetcher(psi + base_of(i + 1), run.segment.data(), segments, low);
            pf.pace(steps);
        }
        for (const block_op& op : run.ops) {
            if (op.kind == block_kind::kernel) {
                if (blk.chunked) {
                    to_index_order(blk.data, blk.chunks);
                    blk.chunked = false;
                }
                if (op.rides) {
                    apply_riding(reinterpret_cast<amp*>(blk.data), bit(block_qubits), op, run,
                                 base);
                } else {
                    apply_op(reinterpret_cast<amp*>(blk.data), bit(block_qubits), *op.op);
                }
                continue;
            }
            if (!blk.chunked) {
                to_chunks(blk.data, blk.chunks);
                blk.chunked = true;
            }
            switch (op.kind) {
                case block_kind::pair:
                    apply_pair(blk.data, blk.chunks, op.t, op.c, op.m, pf);
                    break;
                case block_kind::cnot: apply_cnot(blk.data, blk.chunks, op.c, op.t, pf); break;
                case block_kind::swap:
                    apply_swap_block(blk.data, blk.chunks, op.c, op.t, pf);
                    break;
                case block_kind::kernel: break;
            }
        }
        // Scatter, from whichever layout the last op left.
        if (m == 0) {
            if (blk.chunked) {
                to_index_order(blk.data, blk.chunks);
            }
            return;
        }
        for (std::int64_t s = 0; s < segments; ++s) {
            amp* to = psi + base + run.segment[static_cast<std::size_t>(s)];
            const real* from = blk.data + s * chunks_per_segment * chunk_reals;
            if (blk.chunked) {
                for (std::int64_t k = 0; k < chunks_per_segment; ++k) {
                    const cvec x = load_chunk(from + k * chunk_reals);
                    store_split(to + k * width, x.re, x.im);
                }
            } else {
                std::memcpy(static_cast<void*>(to), from,
                            static_cast<std::size_t>(segment_length) * sizeof(amp));
            }
        }
    });
}

}  // namespace velt::VELT_ISA_NS
