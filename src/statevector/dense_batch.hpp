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
// batch it travels in and whatever lane it has.  Row r is written back as soon
// as it is complete: the inputs are all in the lanes by then.
#pragma once

#include "isa/lanes.hpp"

namespace velt::VELT_ISA_NS {

// Groups per batch: whole registers, at least eight groups.
inline constexpr int dense_batch_size = width < 8 ? 8 : width;

// re and im hold dim * B doubles each (B a multiple of width).
template <int B>
inline void apply_dense_batch(amp* psi, const std::int64_t* bases, int count,
                              const std::int64_t* offset, std::int64_t dim, const amp* u,
                              double* re, double* im) {
    static_assert(B % width == 0, "a batch is made of whole registers");
    constexpr int V = B / width;  // registers per gate index
    // Consecutive bases (every target above the batch's span): the members
    // with one gate index are B consecutive amplitudes, moved in and out of
    // the lanes with whole-register loads.  The lanes then hold the groups in
    // a permuted order, the same for every gate index, and the same call
    // puts them back.
    const bool consecutive = count == B && bases[B - 1] - bases[0] == B - 1;
    for (std::int64_t j = 0; j < dim; ++j) {
        double* jr = re + j * B;
        double* ji = im + j * B;
        if (consecutive) {
            const amp* p = psi + bases[0] + offset[j];
            for (int v = 0; v < V; ++v) {
                vec r, i;
                load_split(p + v * width, r, i);
                store(jr + v * width, r);
                store(ji + v * width, i);
            }
            continue;
        }
        for (int b = 0; b < count; ++b) {
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
    for (std::int64_t r = 0; r < dim; ++r) {
        const amp* row = u + r * dim;
        vec acc_re[static_cast<std::size_t>(V)];
        vec acc_im[static_cast<std::size_t>(V)];
        for (auto& a : acc_re) {
            a = broadcast(0.0);
        }
        for (auto& a : acc_im) {
            a = broadcast(0.0);
        }
        for (std::int64_t c = 0; c < dim; ++c) {
            const vec ur = broadcast(row[c].real());
            const vec ui = broadcast(row[c].imag());
            const double* xr = re + c * B;
            const double* xi = im + c * B;
            for (int v = 0; v < V; ++v) {
                const vec x_re = load(xr + v * width);
                const vec x_im = load(xi + v * width);
                acc_re[v] = acc_re[v] + (ur * x_re - ui * x_im);
                acc_im[v] = acc_im[v] + (ur * x_im + ui * x_re);
            }
        }
        if (consecutive) {
            amp* p = psi + bases[0] + offset[r];
            for (int v = 0; v < V; ++v) {
                store_split(p + v * width, acc_re[v], acc_im[v]);
            }
            continue;
        }
        double out_re[static_cast<std::size_t>(B)];
        double out_im[static_cast<std::size_t>(B)];
        for (int v = 0; v < V; ++v) {
            store(out_re + v * width, acc_re[v]);
            store(out_im + v * width, acc_im[v]);
        }
        for (int b = 0; b < count; ++b) {
            psi[bases[b] + offset[r]] = amp{out_re[b], out_im[b]};
        }
    }
}

}  // namespace velt::VELT_ISA_NS
