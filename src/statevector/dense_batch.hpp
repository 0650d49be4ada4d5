// Dense matrix times a batch of amplitude groups, shared by apply_gate_fast
// and apply_gate.
//
// Group b's member with gate index j is psi[bases[b] + offset[j]].  The whole
// batch is gathered first, with real and imaginary parts in separate lanes
// (re[j * B + b], im[j * B + b]), so that the arithmetic runs on B groups side
// by side with the same operations each: for every row r, the sums
//   re = re + (u.re x.re - u.im x.im),  im = im + (u.re x.im + u.im x.re)
// start from +0 and take the columns in increasing order, every product formed
// and added, zero entries included.  A group's result is the same whatever
// batch it travels in.  Row r is written back as soon as it is complete: the
// inputs are all in the lanes by then.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/amplitude.hpp"

namespace velt {

// re and im hold dim * B doubles each.
template <int B>
inline void apply_dense_batch(amp* psi, const std::int64_t* bases, int count,
                              const std::int64_t* offset, std::int64_t dim, const amp* u,
                              double* re, double* im) {
    for (std::int64_t j = 0; j < dim; ++j) {
        double* jr = re + j * B;
        double* ji = im + j * B;
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
        double acc_re[static_cast<std::size_t>(B)];
        double acc_im[static_cast<std::size_t>(B)];
        for (int b = 0; b < B; ++b) {
            acc_re[b] = 0.0;
            acc_im[b] = 0.0;
        }
        for (std::int64_t c = 0; c < dim; ++c) {
            const double ur = row[c].real();
            const double ui = row[c].imag();
            const double* xr = re + c * B;
            const double* xi = im + c * B;
            for (int b = 0; b < B; ++b) {
                acc_re[b] = acc_re[b] + (ur * xr[b] - ui * xi[b]);
                acc_im[b] = acc_im[b] + (ur * xi[b] + ui * xr[b]);
            }
        }
        for (int b = 0; b < count; ++b) {
            psi[bases[b] + offset[r]] = amp{acc_re[b], acc_im[b]};
        }
    }
}

}  // namespace velt
