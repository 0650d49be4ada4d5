// Vector lanes of the current instruction-set path (per-ISA units only).
//
// vec holds `width` doubles; all arithmetic on it is element-wise, so a lane
// does exactly the operations a scalar would.  The kernels use lanes only
// across independent amplitudes or groups, never to split one sum.
#pragma once

#include "isa/target.hpp"

namespace velt::VELT_ISA_NS {

inline constexpr int width = VELT_ISA_WIDTH;
typedef double vec __attribute__((vector_size(width * sizeof(double))));

// A function that may stay a call of its own (anything beyond the one-line
// helpers here) takes its vectors by const reference, never by value.  A
// vector passed by value arrives in a ymm or zmm register, and GCC then
// leaves that function without a vzeroupper while taking its callers to get
// the state back clean: a kernel that called such a helper last returned to
// baseline code, and to the worker pool, with dirty upper halves, which
// slows every legacy SSE instruction that thread runs until the next
// vzeroupper.  scripts/check_isa.py follows the state through the machine
// code and fails the build on any such exit.

// Unaligned moves of a vector of doubles (vec, or a narrower vector type
// where a kernel wants one).
template <class V = vec>
inline V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
inline void store(double* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// x in every lane, bit for bit: adding x to a zero vector would turn -0
// into +0.
namespace detail {
template <std::size_t... I>
inline vec splat(double x, std::index_sequence<I...>) {
    return vec{((void)I, x)...};
}
}  // namespace detail
inline vec broadcast(double x) { return detail::splat(x, std::make_index_sequence<width>{}); }

namespace detail {
template <std::size_t... I>
inline vec unpack_lo(vec a, vec b, std::index_sequence<I...>) {
    // Within each pair of lanes: the first of a, then the first of b.
    return __builtin_shufflevector(a, b, (I % 2 == 0 ? I : width + I - 1)...);
}
template <std::size_t... I>
inline vec unpack_hi(vec a, vec b, std::index_sequence<I...>) {
    return __builtin_shufflevector(a, b, (I % 2 == 0 ? I + 1 : width + I)...);
}
}  // namespace detail

// (a0 a1 | a2 a3 ...), (b0 b1 | b2 b3 ...) -> (a0 b0 | a2 b2 ...) and
// (a1 b1 | a3 b3 ...): on complex data, the real parts and the imaginary parts
// of 2 * width / 2 amplitudes, in the same (permuted) lane order, which the
// same two calls undo.  These are the unpack instructions of every path.
inline vec unpack_lo(vec a, vec b) {
    return detail::unpack_lo(a, b, std::make_index_sequence<width>{});
}
inline vec unpack_hi(vec a, vec b) {
    return detail::unpack_hi(a, b, std::make_index_sequence<width>{});
}

// Lane-wise arithmetic with the operands in the order written.  When both
// operands of an addition or multiplication are NaN, the result is the first
// operand's NaN (quietened); the compiler, free to swap the operands of a
// commutative operation, could make the surviving NaN differ between paths.
// The instructions are therefore spelled out, first operand first, as the
// scalar helpers of common/amplitude.hpp do (subtraction keeps its order by
// itself).  Every path then returns the same NaN, sign and payload.
inline vec add(vec a, vec b) {
#if VELT_ISA_WIDTH == 2
    asm("addpd %1, %0" : "+x"(a) : "x"(b));
    return a;
#else
    vec r;
    asm("vaddpd %2, %1, %0" : "=v"(r) : "v"(a), "vm"(b));
    return r;
#endif
}
inline vec mul(vec a, vec b) {
#if VELT_ISA_WIDTH == 2
    asm("mulpd %1, %0" : "+x"(a) : "x"(b));
    return a;
#else
    vec r;
    asm("vmulpd %2, %1, %0" : "=v"(r) : "v"(a), "vm"(b));
    return r;
#endif
}
inline vec sub(vec a, vec b) { return a - b; }
using velt::add;  // the scalar ones too, for the scalar remainders
using velt::mul;

// Real and imaginary parts of `width` consecutive amplitudes at p.
inline void load_split(const amp* p, vec& re, vec& im) {
    const double* d = reinterpret_cast<const double*>(p);
    const vec x = load(d);
    const vec y = load(d + width);
    re = unpack_lo(x, y);
    im = unpack_hi(x, y);
}

// The inverse of load_split.
inline void store_split(amp* p, vec re, vec im) {
    double* d = reinterpret_cast<double*>(p);
    store(d, unpack_lo(re, im));
    store(d + width, unpack_hi(re, im));
}

// The lane that load_split gives amplitude a (0 <= a < width) of its chunk:
// the low half of the chunk goes to the even lanes, the high half to the odd
// ones.  A permutation of the index bits, so amplitudes that differ in bit q
// sit in lanes that differ in bit lane_of(2^q).
inline constexpr std::size_t lane_of(std::size_t a) {
    return ((a % (width / 2)) << 1) | (a / (width / 2));
}

// Streaming loops that do much arithmetic per byte keep too few cache-line
// loads in flight for the memory to stream at full speed: the dense gates
// on two or three of the lowest qubits ran 1.3-2x slower at 2^24 amplitudes
// than with this prefetch, and a dense gate on qubits 0-3, gathered element
// by element, 1.2x; the 2x2 kernels and the Kraus channel, with less
// arithmetic per line, measured 5-15% slower with it and go without.
// The line asked for lies 1 KiB ahead of the one read (with the loops
// walking two streams, 1 KiB measured up to 15% faster than 2 KiB and no
// slower than 512 bytes); the address is only a hint, never read, so it may
// lie past the array.
inline constexpr std::uintptr_t prefetch_bytes = 1024;
inline void prefetch_ahead(const void* p) {
    __builtin_prefetch(
        reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + prefetch_bytes), 1);
}

// Runs f(i) for i = 0..count-1 as two streams: i and i + count/2 side by
// side, then the last i when count is odd.  A worker that walks one stretch
// of memory front to back keeps too few cache-line loads in flight; two
// stretches read at once let the memory stream measurably faster (a 2x2
// gate on qubit 0 took 17% less time at 2^24 amplitudes, two workers).
// For loops whose iterations touch disjoint memory: the order between
// iterations changes, the arithmetic of each does not.
template <class F>
inline void in_two_streams(std::int64_t count, F&& f) {
    const std::int64_t half = count / 2;
    for (std::int64_t i = 0; i < half; ++i) {
        f(i);
        f(i + half);
    }
    if ((count & 1) != 0) {
        f(count - 1);
    }
}

// The amplitude of the chunk in lane L: the inverse of lane_of.
inline constexpr std::size_t amp_of_lane(std::size_t lane) {
    return (lane >> 1) + (lane & 1) * (width / 2);
}

// Lane selectors: `select(on, a, b)` takes a's lane where `on` is all ones
// and b's where it is zero.  Only moves lanes: no arithmetic.
typedef long long lane_mask __attribute__((vector_size(width * sizeof(double))));
inline vec select(lane_mask on, vec a, vec b) { return on ? a : b; }

namespace detail {
template <std::size_t... I>
inline lane_mask lanes_with_bit(std::size_t lane_bit, std::index_sequence<I...>) {
    return lane_mask{((I & lane_bit) != 0 ? -1LL : 0LL)...};
}
}  // namespace detail

// The lanes of a chunk whose amplitude has qubit c set (2^c < width).
inline lane_mask lanes_with_qubit(int c) {
    return detail::lanes_with_bit(lane_of(std::size_t{1} << c), std::make_index_sequence<width>{});
}

inline lane_mask all_lanes() { return lane_mask{} - 1; }

// The complex product of the scalar tier, lane by lane:
// (ar + i ai)(xr + i xi) = (ar xr - ai xi) + i (ar xi + ai xr).
struct cvec {
    vec re, im;
};
inline cvec cmul(cvec a, cvec x) {
    return {sub(mul(a.re, x.re), mul(a.im, x.im)), add(mul(a.re, x.im), mul(a.im, x.re))};
}
inline cvec cadd(cvec a, cvec b) { return {add(a.re, b.re), add(a.im, b.im)}; }
inline cvec broadcast(const amp& a) { return {broadcast(a.real()), broadcast(a.imag())}; }

}  // namespace velt::VELT_ISA_NS
