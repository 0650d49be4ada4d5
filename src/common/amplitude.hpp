// Amplitude type and the complex arithmetic every kernel shares.
//
// All arithmetic is spelled out on the real and imaginary parts so that each
// multiplication and addition is one separately rounded double operation in a
// fixed order.  std::complex's operator* is deliberately not used: it adds an
// Inf/NaN recovery path (C Annex G) that would change results for non-finite
// inputs and cost a library call per product.
#pragma once

#include <algorithm>
#include <complex>
#include <cstdint>

namespace velt {

// NumPy complex128: two IEEE-754 doubles, real part first.
using amp = std::complex<double>;

// (a.re + i a.im)(x.re + i x.im) = (a.re x.re - a.im x.im) + i (a.re x.im + a.im x.re)
inline amp cmul(const amp& a, const amp& x) {
    return {a.real() * x.real() - a.imag() * x.imag(), a.real() * x.imag() + a.imag() * x.real()};
}

inline amp cadd(const amp& a, const amp& b) { return {a.real() + b.real(), a.imag() + b.imag()}; }

// Complex conjugate: only the sign bit of the imaginary part changes (exact,
// NaNs included), so cmul(x, cconj(a)) is the product with a* as written.
inline amp cconj(const amp& a) { return {a.real(), -a.imag()}; }

// acc + a*x: the product is formed first, then added to the running sum.
inline amp cmul_add(const amp& acc, const amp& a, const amp& x) { return cadd(acc, cmul(a, x)); }

// A row-major 2x2 matrix: the row is the output value, the column the input.
struct mat2 {
    amp m00, m01, m10, m11;
};

// The pair update of a 2x2 gate: (a0, a1) <- (m00 a0 + m01 a1, m10 a0 + m11 a1).
// Both inputs are read before either output is written.
inline void pair_update(amp& a0, amp& a1, const mat2& m) {
    const amp x0 = a0;
    const amp x1 = a1;
    a0 = cadd(cmul(m.m00, x0), cmul(m.m01, x1));
    a1 = cadd(cmul(m.m10, x0), cmul(m.m11, x1));
}

// Pairs whose halves lie at least this many amplitudes (256 MiB) apart are
// read and written one half after the other.  When the two halves of a pair
// differ only in high address bits, touching them alternately makes the
// memory controller switch between two rows of the same DRAM bank for every
// cache line; on the machines this was tuned on that cuts the bandwidth to a
// fifth from 2^24 amplitudes on, while grouping the accesses costs copies
// through the cache that do not pay off at shorter distances.
inline constexpr std::int64_t far_apart = std::int64_t{1} << 24;
// Pairs per chunk when writing one half after the other: 16 KiB per half.
inline constexpr std::int64_t far_chunk = 1024;

// The pair update on `length` pairs (a0[j * step], a1[j * step]).  Unit-stride
// runs vectorise as they stand.  Strided ones (neighbouring pairs, as for a
// gate on qubit 0) are done L pairs at a time with real and imaginary parts
// in separate lanes, so that the same operations run on L pairs side by side;
// every pair still gets exactly the operations of pair_update.
template <class Step>
inline void pair_update_run(amp* a0, amp* a1, std::int64_t length, Step step, const mat2& m) {
    constexpr std::int64_t s = Step::value;
    std::int64_t j = 0;
    if (a1 - a0 >= far_apart) {
        // Chunk by chunk: read the first halves, update the second halves in
        // place, then write the first halves back (see far_apart).
        amp first_half[far_chunk];
        for (; j < length; j += far_chunk) {
            const std::int64_t chunk = std::min(far_chunk, length - j);
            amp* b0 = a0 + j * s;
            amp* b1 = a1 + j * s;
            for (std::int64_t c = 0; c < chunk; ++c) {
                first_half[c] = b0[c * s];
            }
            for (std::int64_t c = 0; c < chunk; ++c) {
                pair_update(first_half[c], b1[c * s], m);
            }
            for (std::int64_t c = 0; c < chunk; ++c) {
                b0[c * s] = first_half[c];
            }
        }
        return;
    }
    if constexpr (s > 1) {
        constexpr int L = 4;
        for (; j + L <= length; j += L) {
            double r0[L], i0[L], r1[L], i1[L];
            for (int l = 0; l < L; ++l) {
                r0[l] = a0[(j + l) * s].real();
                i0[l] = a0[(j + l) * s].imag();
                r1[l] = a1[(j + l) * s].real();
                i1[l] = a1[(j + l) * s].imag();
            }
            double nr0[L], ni0[L], nr1[L], ni1[L];
            for (int l = 0; l < L; ++l) {
                nr0[l] = (m.m00.real() * r0[l] - m.m00.imag() * i0[l]) +
                         (m.m01.real() * r1[l] - m.m01.imag() * i1[l]);
                ni0[l] = (m.m00.real() * i0[l] + m.m00.imag() * r0[l]) +
                         (m.m01.real() * i1[l] + m.m01.imag() * r1[l]);
                nr1[l] = (m.m10.real() * r0[l] - m.m10.imag() * i0[l]) +
                         (m.m11.real() * r1[l] - m.m11.imag() * i1[l]);
                ni1[l] = (m.m10.real() * i0[l] + m.m10.imag() * r0[l]) +
                         (m.m11.real() * i1[l] + m.m11.imag() * r1[l]);
            }
            for (int l = 0; l < L; ++l) {
                a0[(j + l) * s] = amp{nr0[l], ni0[l]};
                a1[(j + l) * s] = amp{nr1[l], ni1[l]};
            }
        }
    }
    for (; j < length; ++j) {
        pair_update(a0[j * step], a1[j * step], m);
    }
}

}  // namespace velt
