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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
// gate on qubit 0) are done two pairs at a time with SSE2, part of every
// x86-64 processor, with real and imaginary parts in separate lanes; every
// pair still gets exactly the operations of pair_update, so the results are
// those of the scalar loop bit for bit.
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
#if defined(__SSE2__)
    if constexpr (s > 1) {
        // Strided pairs (neighbours, as for a gate on qubit 0): two pairs per
        // step, real parts in one register and imaginary parts in another,
        // each lane doing exactly the operations of pair_update.
        constexpr std::int64_t d = 2 * s;  // doubles from one pair to the next
        const __m128d r00 = _mm_set1_pd(m.m00.real()), i00 = _mm_set1_pd(m.m00.imag());
        const __m128d r01 = _mm_set1_pd(m.m01.real()), i01 = _mm_set1_pd(m.m01.imag());
        const __m128d r10 = _mm_set1_pd(m.m10.real()), i10 = _mm_set1_pd(m.m10.imag());
        const __m128d r11 = _mm_set1_pd(m.m11.real()), i11 = _mm_set1_pd(m.m11.imag());
        double* p0 = reinterpret_cast<double*>(a0);
        double* p1 = reinterpret_cast<double*>(a1);
        for (; j + 2 <= length; j += 2) {
            const __m128d x0a = _mm_loadu_pd(p0 + d * j), x0b = _mm_loadu_pd(p0 + d * j + d);
            const __m128d x1a = _mm_loadu_pd(p1 + d * j), x1b = _mm_loadu_pd(p1 + d * j + d);
            const __m128d re0 = _mm_unpacklo_pd(x0a, x0b), im0 = _mm_unpackhi_pd(x0a, x0b);
            const __m128d re1 = _mm_unpacklo_pd(x1a, x1b), im1 = _mm_unpackhi_pd(x1a, x1b);
            const __m128d nr0 = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(r00, re0), _mm_mul_pd(i00, im0)),
                                           _mm_sub_pd(_mm_mul_pd(r01, re1), _mm_mul_pd(i01, im1)));
            const __m128d ni0 = _mm_add_pd(_mm_add_pd(_mm_mul_pd(r00, im0), _mm_mul_pd(i00, re0)),
                                           _mm_add_pd(_mm_mul_pd(r01, im1), _mm_mul_pd(i01, re1)));
            const __m128d nr1 = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(r10, re0), _mm_mul_pd(i10, im0)),
                                           _mm_sub_pd(_mm_mul_pd(r11, re1), _mm_mul_pd(i11, im1)));
            const __m128d ni1 = _mm_add_pd(_mm_add_pd(_mm_mul_pd(r10, im0), _mm_mul_pd(i10, re0)),
                                           _mm_add_pd(_mm_mul_pd(r11, im1), _mm_mul_pd(i11, re1)));
            _mm_storeu_pd(p0 + d * j, _mm_unpacklo_pd(nr0, ni0));
            _mm_storeu_pd(p0 + d * j + d, _mm_unpackhi_pd(nr0, ni0));
            _mm_storeu_pd(p1 + d * j, _mm_unpacklo_pd(nr1, ni1));
            _mm_storeu_pd(p1 + d * j + d, _mm_unpackhi_pd(nr1, ni1));
        }
    }
#endif
    for (; j < length; ++j) {
        pair_update(a0[j * step], a1[j * step], m);
    }
}

}  // namespace velt
