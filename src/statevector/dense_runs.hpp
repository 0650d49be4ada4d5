// Dense gate on targets (and controls) that all lie at or above qubit
// log2(dense_batch_size) (per-ISA units only).
//
// Then the group walk's bases come in runs of consecutive indices whose
// lengths are multiples of the batch size (as long as a walk tile holds a
// whole batch: fewer than ten qubits in the walk), and the members of a
// batch with one gate index are dense_batch_size consecutive amplitudes: the
// batch is loaded straight into registers, with no list of bases and no
// buffer, and the gate's size is a compile-time constant, so every loop over
// rows and columns unrolls.  Each lane (one group) does the operations of
// apply_dense_batch in its order (dense_batch.hpp): for every row the sums
//   re = re + (u.re x.re - u.im x.im),  im = im + (u.re x.im + u.im x.re)
// start from +0 and take the columns in increasing order, so the bits are the
// same as on the batched path.
#pragma once

#include "statevector/dense_batch.hpp"
#include "statevector/group_walk.hpp"

namespace velt::VELT_ISA_NS {

// The widest gate served here: 2^5 columns of registers per batch.
inline constexpr int dense_runs_max_targets = 5;

// Whether every qubit in qubits[0..count-1] lies at or above the batch size.
inline bool dense_runs_apply(const int* qubits, int count) {
    for (int i = 0; i < count; ++i) {
        if (bit(qubits[i]) < dense_batch_size) {
            return false;
        }
    }
    return true;
}

namespace detail {

// One batch: dense_batch_size consecutive groups from p, member c of each
// at p + offset[c] + (0 .. dense_batch_size - 1).
template <int K>
inline void dense_batch_at(amp* p, const std::int64_t* offset, const amp* u) {
    constexpr int dim = 1 << K;
    constexpr int V = dense_batch_size / width;  // registers per gate index
    constexpr int R = dim < 4 ? dim : 4;         // rows summed side by side
    constexpr auto dims = static_cast<std::size_t>(dim);
    constexpr auto regs = static_cast<std::size_t>(V);
    vec xr[dims][regs];
    vec xi[dims][regs];
    for (int c = 0; c < dim; ++c) {
        prefetch_ahead(p + offset[c]);
        for (int v = 0; v < V; ++v) {
            load_split(p + offset[c] + v * width, xr[c][v], xi[c][v]);
        }
    }
    for (int r = 0; r < dim; r += R) {
        vec acc_re[static_cast<std::size_t>(R)][regs];
        vec acc_im[static_cast<std::size_t>(R)][regs];
        for (int i = 0; i < R; ++i) {
            for (int v = 0; v < V; ++v) {
                acc_re[i][v] = broadcast(real{0});
                acc_im[i][v] = broadcast(real{0});
            }
        }
        for (int c = 0; c < dim; ++c) {
            for (int i = 0; i < R; ++i) {
                const amp w = u[(r + i) * dim + c];
                const vec ur = broadcast(w.real());
                const vec ui = broadcast(w.imag());
                for (int v = 0; v < V; ++v) {
                    acc_re[i][v] = add(acc_re[i][v], sub(mul(ur, xr[c][v]), mul(ui, xi[c][v])));
                    acc_im[i][v] = add(acc_im[i][v], add(mul(ur, xi[c][v]), mul(ui, xr[c][v])));
                }
            }
        }
        // Every input is in the registers: rows go back as they are done.
        for (int i = 0; i < R; ++i) {
            for (int v = 0; v < V; ++v) {
                store_split(p + offset[r + i] + v * width, acc_re[i][v], acc_im[i][v]);
            }
        }
    }
}

template <int K>
inline void dense_runs(amp* psi, const group_walk& walk, const std::int64_t* offset, const amp* u) {
    constexpr int dim = 1 << K;
    constexpr int B = dense_batch_size;
    // Copies on the calling thread's stack, read by every worker: a gate and
    // offsets that no store into the state can alias.
    constexpr auto dims = static_cast<std::size_t>(dim);
    amp gate[dims * dims];
    std::int64_t off[dims];
    std::copy(u, u + dim * dim, gate);
    std::copy(offset, offset + dim, off);
    const amp* g = gate;
    const std::int64_t* o = off;
    walk.for_each_unit_run([=](std::int64_t first, std::int64_t length, auto) {
        std::int64_t j = 0;
        for (; j + B <= length; j += B) {
            dense_batch_at<K>(psi + first + j, o, g);
        }
        if (j < length) {
            // Runs shorter than a batch: a walk over ten or more qubits has
            // tiles of fewer groups than a batch, and cuts its runs there.
            std::int64_t bases[B] = {};
            real re[dims * B];
            real im[dims * B];
            const int count = static_cast<int>(length - j);
            for (int b = 0; b < count; ++b) {
                bases[b] = first + j + b;
            }
            apply_dense_batch<B>(psi, bases, count, o, dim, g, re, im);
        }
    });
}

}  // namespace detail

// The dense gate u (k targets, 1 <= k <= dense_runs_max_targets) over the
// groups of `walk`, whose qubits all pass dense_runs_apply; offset[g] as in
// apply_gate_fast.
inline void dense_runs_state(amp* psi, const group_walk& walk, int k, const std::int64_t* offset,
                             const amp* u) {
    switch (k) {
        case 1: return detail::dense_runs<1>(psi, walk, offset, u);
        case 2: return detail::dense_runs<2>(psi, walk, offset, u);
        case 3: return detail::dense_runs<3>(psi, walk, offset, u);
        case 4: return detail::dense_runs<4>(psi, walk, offset, u);
        case 5: return detail::dense_runs<5>(psi, walk, offset, u);
        default: throw std::logic_error("dense_runs_state: gate width out of range");
    }
}

}  // namespace velt::VELT_ISA_NS
