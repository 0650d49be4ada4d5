// Dense matrix times a batch of amplitude groups, shared by apply_gate_fast
// and apply_gate (per-ISA units only).
//
// Group b's member with gate index j is psi[bases[b] + offset[j]].  The whole
// batch is gathered first, with real and imaginary parts in separate lanes
// (re[j * B + b], im[j * B + b]), so that the arithmetic runs on B groups side
// by side with the same operations each: for every row r, the sums
//   re = re + (u.re x.re - u.im x.im),  im = im + (u.re x.im + u.im x.re)
// start from +0 and take the columns in increasing order, every product formed
// and added, zero entries included.  A group's result is the same whatever
// batch it travels in and whatever lane it has.  Rows are written back as soon
// as they are complete: the inputs are all in the lanes by then.
#pragma once

#include "isa/lanes.hpp"

namespace velt::VELT_ISA_NS {

// Groups per batch: whole registers, at least eight groups.
inline constexpr int dense_batch_size = width < 8 ? 8 : width;

// Rows of u multiplied side by side: enough independent sums to keep the
// adder busy (each sum is a chain of dependent additions), few enough that the
// sums stay in the registers (R * B / width of them, twice).
template <int B>
inline constexpr int rows_at_once = B / width >= 4 ? 1 : 4 / (B / width);

// Rows r .. r+R-1 of u times the gathered lanes, then written back.  Each
// row's sums take the columns in increasing order, as one row alone would.
template <int B, int R>
inline void multiply(amp* psi, const std::int64_t* bases, int count, const std::int64_t* offset,
                     std::int64_t dim, const amp* u, const real* re, const real* im,
                     bool consecutive) {
    constexpr int V = B / width;
    constexpr auto RV = static_cast<std::size_t>(R * V);
    for (std::int64_t r = 0; r < dim; r += R) {
        vec acc_re[RV];
        vec acc_im[RV];
        for (std::size_t i = 0; i < RV; ++i) {
            acc_re[i] = broadcast(real{0});
            acc_im[i] = broadcast(real{0});
        }
        for (std::int64_t c = 0; c < dim; ++c) {
            const real* xr = re + c * B;
            const real* xi = im + c * B;
            vec x_re[static_cast<std::size_t>(V)];
            vec x_im[static_cast<std::size_t>(V)];
            for (int v = 0; v < V; ++v) {
                x_re[v] = load(xr + v * width);
                x_im[v] = load(xi + v * width);
            }
            for (int i = 0; i < R; ++i) {
                const amp w = u[(r + i) * dim + c];
                const vec ur = broadcast(w.real());
                const vec ui = broadcast(w.imag());
                for (int v = 0; v < V; ++v) {
                    const std::size_t a = static_cast<std::size_t>(i * V + v);
                    acc_re[a] = add(acc_re[a], sub(mul(ur, x_re[v]), mul(ui, x_im[v])));
                    acc_im[a] = add(acc_im[a], add(mul(ur, x_im[v]), mul(ui, x_re[v])));
                }
            }
        }
        for (int i = 0; i < R; ++i) {
            const vec* out_re = acc_re + i * V;
            const vec* out_im = acc_im + i * V;
            if (consecutive) {
                amp* p = psi + bases[0] + offset[r + i];
                for (int v = 0; v < V; ++v) {
                    store_split(p + v * width, out_re[v], out_im[v]);
                }
                continue;
            }
            real lane_re[static_cast<std::size_t>(B)];
            real lane_im[static_cast<std::size_t>(B)];
            for (int v = 0; v < V; ++v) {
                store(lane_re + v * width, out_re[v]);
                store(lane_im + v * width, out_im[v]);
            }
            for (int b = 0; b < count; ++b) {
                psi[bases[b] + offset[r + i]] = amp{lane_re[b], lane_im[b]};
            }
        }
    }
}

// re and im hold dim * B reals each (B a multiple of width).
template <int B>
inline void apply_dense_batch(amp* psi, const std::int64_t* bases, int count,
                              const std::int64_t* offset, std::int64_t dim, const amp* u, real* re,
                              real* im) {
    static_assert(B % width == 0, "a batch is made of whole registers");
    constexpr int V = B / width;  // registers per gate index
    // Consecutive bases (every target above the batch's span): the members
    // with one gate index are B consecutive amplitudes, moved in and out of
    // the lanes with whole-register loads.  The lanes then hold the groups in
    // a permuted order, the same for every gate index, and the same call
    // puts them back.
    const bool consecutive = count == B && bases[B - 1] - bases[0] == B - 1;
    for (std::int64_t j = 0; j < dim; ++j) {
        real* jr = re + j * B;
        real* ji = im + j * B;
        if (consecutive) {
            const amp* p = psi + bases[0] + offset[j];
            prefetch_ahead(p);
            for (int v = 0; v < V; ++v) {
                vec r, i;
                load_split(p + v * width, r, i);
                store(jr + v * width, r);
                store(ji + v * width, i);
            }
            continue;
        }
        for (int b = 0; b < count; ++b) {
            prefetch_ahead(psi + bases[b] + offset[j]);
            const amp a = psi[bases[b] + offset[j]];
            jr[b] = a.real();
            ji[b] = a.imag();
        }
        // Lanes past the end of a short batch repeat the first group: they
        // are computed and dropped, and never hold stale or uninitialised data.
        for (int b = count; b < B; ++b) {
            jr[b] = jr[0];
            ji[b] = ji[0];
        }
    }
    if (dim >= rows_at_once<B>) {
        multiply<B, rows_at_once<B>>(psi, bases, count, offset, dim, u, re, im, consecutive);
    } else {
        multiply<B, 1>(psi, bases, count, offset, dim, u, re, im, consecutive);
    }
}

}  // namespace velt::VELT_ISA_NS
