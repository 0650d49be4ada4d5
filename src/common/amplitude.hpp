// Amplitude type and the complex arithmetic every kernel shares.
//
// All arithmetic is spelled out on the real and imaginary parts so that each
// multiplication and addition is one separately rounded operation in a fixed
// order.  std::complex's operator* is deliberately not used: it adds an
// Inf/NaN recovery path (C Annex G) that would change results for non-finite
// inputs and cost a library call per product.
//
// Two precisions, one source.  Every unit that depends on the element type is
// compiled twice: with VELT_SINGLE unset (or 0) for complex128 and with
// VELT_SINGLE=1 for complex64 (see CMakeLists.txt).  Everything that names the
// element type lives in the inline namespace velt::c128 or velt::c64, so the
// code says velt::amp, velt::apply_1q, ... and means its own precision's,
// while the two compilations never share a symbol: no inline or template
// function of one precision can stand in for the other's at link time.
#pragma once

#include <complex>
#include <cstdint>

#if !defined(VELT_SINGLE)
#define VELT_SINGLE 0
#endif
#if VELT_SINGLE
#define VELT_PRECISION_NS c64
#else
#define VELT_PRECISION_NS c128
#endif

namespace velt {

// Addition and multiplication with the operands in the order written: when
// both are NaN, the result is the first one's NaN (quietened), and the
// compiler, free to swap the operands of a commutative operation, would
// otherwise decide which NaN survives, differently in differently compiled
// copies of the same loop.  Spelled out as instructions, the first operand
// stays first; the vector lanes (isa/lanes.hpp) do the same.  One overload
// per precision: single-precision operands get the single-precision
// instructions, rounded to float once each.
inline double add(double a, double b) {
    asm("addsd %1, %0" : "+x"(a) : "x"(b));
    return a;
}
inline double mul(double a, double b) {
    asm("mulsd %1, %0" : "+x"(a) : "x"(b));
    return a;
}
inline float add(float a, float b) {
    asm("addss %1, %0" : "+x"(a) : "x"(b));
    return a;
}
inline float mul(float a, float b) {
    asm("mulss %1, %0" : "+x"(a) : "x"(b));
    return a;
}

// Pairs whose halves lie at least far_apart() amplitudes apart are read and
// written one half after the other.  When the two halves of a pair differ
// only in high address bits, touching them alternately makes the memory
// controller switch between two rows of the same DRAM bank for every cache
// line; on the AMD EPYC machines this was tuned on that cuts the bandwidth
// to a fifth from 2^24 amplitudes (256 MiB) on, while grouping the accesses
// costs copies through the cache that do not pay off at shorter distances.
// On Intel Xeons the grouped walk measured 1.5x slower than the alternating
// one at every distance (2^25 and 2^26 amplitudes, 1 and 2 threads), so
// there the halves always alternate.  Either way the arithmetic is the same.
// Set once at import from the CPU's vendor (see isa/dispatch.cpp), as a
// distance in bytes: the DRAM rows do not care about the element type.
extern std::int64_t far_apart_bytes;
// Pairs per chunk when writing one half after the other: 16 KiB per half
// in complex128, 8 KiB in complex64.
inline constexpr std::int64_t far_chunk = 1024;

inline namespace VELT_PRECISION_NS {

// The element type: NumPy complex128 (two IEEE-754 doubles, real part
// first), or complex64 (two floats) in the single-precision compilation.
#if VELT_SINGLE
using real = float;
#else
using real = double;
#endif
using amp = std::complex<real>;
inline constexpr bool single_precision = VELT_SINGLE != 0;

// (a.re + i a.im)(x.re + i x.im) = (a.re x.re - a.im x.im) + i (a.re x.im + a.im x.re)
inline amp cmul(const amp& a, const amp& x) {
    return {mul(a.real(), x.real()) - mul(a.imag(), x.imag()),
            add(mul(a.real(), x.imag()), mul(a.imag(), x.real()))};
}

inline amp cadd(const amp& a, const amp& b) {
    return {add(a.real(), b.real()), add(a.imag(), b.imag())};
}

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

// The distance in amplitudes from which the halves of a pair are far apart.
inline std::int64_t far_apart() { return far_apart_bytes / static_cast<std::int64_t>(sizeof(amp)); }

}  // namespace VELT_PRECISION_NS
}  // namespace velt
