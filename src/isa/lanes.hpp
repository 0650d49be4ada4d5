// Vector lanes of the current instruction-set path (per-ISA units only).
//
// vec holds `width` reals (doubles, or floats in the complex64 compilation:
// twice as many in a register of the same size); all arithmetic on it is
// element-wise, so a lane does exactly the operations a scalar would.  The
// kernels use lanes only across independent amplitudes or groups, never to
// split one sum.  A chunk of `width` amplitudes fills two registers.
#pragma once

#include "isa/target.hpp"

namespace velt::VELT_ISA_NS {

// VELT_ISA_WIDTH counts doubles per register: 16, 32 or 64 bytes.
inline constexpr int width = VELT_ISA_WIDTH * static_cast<int>(sizeof(double) / sizeof(real));
typedef real vec __attribute__((vector_size(width * sizeof(real))));

// A function that may stay a call of its own (anything beyond the one-line
// helpers here) takes its vectors by const reference, never by value.  A
// vector passed by value arrives in a ymm or zmm register, and GCC then
// leaves that function without a vzeroupper while taking its callers to get
// the state back clean: a kernel that called such a helper last returned to
// baseline code, and to the worker pool, with dirty upper halves, which
// slows every legacy SSE instruction that thread runs until the next
// vzeroupper.  scripts/check_isa.py follows the state through the machine
// code and fails the build on any such exit.

// Unaligned moves of a vector of reals (vec, or a narrower vector type
// where a kernel wants one).
template <class V = vec>
inline V load(const real* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
inline void store(real* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// x in every lane, bit for bit: adding x to a zero vector would turn -0
// into +0.
namespace detail {
template <std::size_t... I>
inline vec splat(real x, std::index_sequence<I...>) {
    return vec{((void)I, x)...};
}
}  // namespace detail
inline vec broadcast(real x) { return detail::splat(x, std::make_index_sequence<width>{}); }

// Complex data in registers.  A register is cut into 128-bit blocks of
// `block_reals` reals; a block of the interleaved amplitudes (re, im, re,
// im, ...) holds block_amps of them.  load_split takes two registers x and y
// (the low and the high half of a chunk) and, block by block, puts the real
// parts of x's block_amps amplitudes and then of y's into one register and
// the imaginary parts into another: one unpack (complex128) or shufps
// (complex64) instruction each on every path, as the blocks are independent.
inline constexpr std::size_t block_reals = 16 / sizeof(real);
inline constexpr std::size_t block_amps = block_reals / 2;

namespace detail {
// Lane I of the real (Part 0) or imaginary (Part 1) parts, taken from x
// (indices below width) and y.
template <std::size_t Part>
inline constexpr std::size_t split_source(std::size_t i) {
    const std::size_t k = i / block_reals;
    const std::size_t j = i % block_reals;
    return j < block_amps ? k * block_reals + 2 * j + Part
                          : width + k * block_reals + 2 * (j - block_amps) + Part;
}
// Lane I of x (Half 0) or y (Half 1) rebuilt from re (indices below width) and im.
template <std::size_t Half>
inline constexpr std::size_t join_source(std::size_t i) {
    const std::size_t k = i / block_reals;
    const std::size_t r = i % block_reals;
    return (r % 2) * width + k * block_reals + Half * block_amps + r / 2;
}
template <std::size_t Part, std::size_t... I>
inline vec split(vec x, vec y, std::index_sequence<I...>) {
    return __builtin_shufflevector(x, y, split_source<Part>(I)...);
}
template <std::size_t Half, std::size_t... I>
inline vec join(vec re, vec im, std::index_sequence<I...>) {
    return __builtin_shufflevector(re, im, join_source<Half>(I)...);
}
}  // namespace detail

// Lane-wise arithmetic with the operands in the order written.  When both
// operands of an addition or multiplication are NaN, the result is the first
// operand's NaN (quietened); the compiler, free to swap the operands of a
// commutative operation, could make the surviving NaN differ between paths.
// The instructions are therefore spelled out, first operand first, as the
// scalar helpers of common/amplitude.hpp do (subtraction keeps its order by
// itself).  Every path then returns the same NaN, sign and payload.  The
// packed-single instructions (addps, mulps) serve the complex64 compilation.
#if VELT_SINGLE
#define VELT_LANES_OP(op) op "ps"
#else
#define VELT_LANES_OP(op) op "pd"
#endif
inline vec add(vec a, vec b) {
#if VELT_ISA_WIDTH == 2
    asm(VELT_LANES_OP("add") " %1, %0" : "+x"(a) : "x"(b));
    return a;
#else
    vec r;
    asm(VELT_LANES_OP("vadd") " %2, %1, %0" : "=v"(r) : "v"(a), "vm"(b));
    return r;
#endif
}
inline vec mul(vec a, vec b) {
#if VELT_ISA_WIDTH == 2
    asm(VELT_LANES_OP("mul") " %1, %0" : "+x"(a) : "x"(b));
    return a;
#else
    vec r;
    asm(VELT_LANES_OP("vmul") " %2, %1, %0" : "=v"(r) : "v"(a), "vm"(b));
    return r;
#endif
}
#undef VELT_LANES_OP
inline vec sub(vec a, vec b) { return a - b; }
using velt::add;  // the scalar ones too, for the scalar remainders
using velt::mul;

// Real and imaginary parts of `width` consecutive amplitudes at p, in the
// lanes lane_of gives them.
inline void load_split(const amp* p, vec& re, vec& im) {
    const real* d = reinterpret_cast<const real*>(p);
    const vec x = load(d);
    const vec y = load(d + width);
    re = detail::split<0>(x, y, std::make_index_sequence<width>{});
    im = detail::split<1>(x, y, std::make_index_sequence<width>{});
}

// The inverse of load_split.
inline void store_split(amp* p, vec re, vec im) {
    real* d = reinterpret_cast<real*>(p);
    store(d, detail::join<0>(re, im, std::make_index_sequence<width>{}));
    store(d + width, detail::join<1>(re, im, std::make_index_sequence<width>{}));
}

// The lane that load_split gives amplitude a (0 <= a < width) of its chunk:
// in block k = (a mod width/2) / block_amps, the low half's amplitudes
// first, then the high half's.  A permutation of the index bits, so
// amplitudes that differ in bit q sit in lanes that differ in bit
// lane_of(2^q).
inline constexpr std::size_t lane_of(std::size_t a) {
    const std::size_t low = a % (width / 2);
    return low / block_amps * block_reals + (a / (width / 2)) * block_amps + low % block_amps;
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
    const std::size_t r = lane % block_reals;
    return r / block_amps * (width / 2) + lane / block_reals * block_amps + r % block_amps;
}

namespace detail {
constexpr bool lanes_permute_index_bits() {
    for (std::size_t a = 0; a < width; ++a) {
        std::size_t from_bits = 0;
        for (std::size_t b = 1; b < width; b <<= 1) {
            const std::size_t l = lane_of(b);
            if (l == 0 || (l & (l - 1)) != 0) {
                return false;  // a bit must go to a single bit
            }
            from_bits |= (a & b) != 0 ? l : 0;
        }
        if (lane_of(a) != from_bits || amp_of_lane(lane_of(a)) != a) {
            return false;
        }
    }
    return true;
}
static_assert(lanes_permute_index_bits(), "lane_of must permute the bits of an index");
}  // namespace detail

// Clears the upper halves of the vector registers (no-op on sse2).  For the
// ends of scalar loops on the wider paths: the scalar helpers' legacy SSE
// instructions take xmm0-15, and GCC may keep other values in xmm16-31
// around them, copied as whole zmm registers (AVX-512F has no 128-bit form
// of those moves), which leaves the upper state dirty where it sees none.
inline void clean_upper() {
#if VELT_ISA_WIDTH > 2
    __builtin_ia32_vzeroupper();
#endif
}

// Lane selectors: `select(on, a, b)` takes a's lane where `on` is all ones
// and b's where it is zero.  Only moves lanes: no arithmetic.
using lane_int = std::conditional_t<sizeof(real) == 8, long long, int>;
typedef lane_int lane_mask __attribute__((vector_size(width * sizeof(real))));
inline vec select(lane_mask on, vec a, vec b) { return on ? a : b; }

namespace detail {
template <std::size_t... I>
inline lane_mask lanes_with_bit(std::size_t lane_bit, std::index_sequence<I...>) {
    return lane_mask{((I & lane_bit) != 0 ? lane_int{-1} : lane_int{0})...};
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

// Lanes of doubles in either precision, for the read-outs, which form and sum
// their terms in double whatever the state's precision.  In complex128 they
// are the lanes above.  In complex64 a register holds VELT_ISA_WIDTH
// doubles, and load_split widens that many consecutive amplitudes into them
// (each float part converted exactly), amplitude a in lane a.
namespace wide {
#if VELT_SINGLE
inline constexpr int width = VELT_ISA_WIDTH;
typedef double vec __attribute__((vector_size(width * sizeof(double))));
typedef float parts __attribute__((vector_size(2 * width * sizeof(float))));
typedef float half_parts __attribute__((vector_size(width * sizeof(float))));

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
using velt::add;
using velt::mul;

namespace detail {
template <std::size_t Part, std::size_t... I>
inline half_parts part_of(parts x, std::index_sequence<I...>) {
    return __builtin_shufflevector(x, x, (2 * I + Part)...);
}
}  // namespace detail

inline void load_split(const amp* p, vec& re, vec& im) {
    parts x;
    std::memcpy(&x, p, sizeof x);
    re = __builtin_convertvector(detail::part_of<0>(x, std::make_index_sequence<width>{}), vec);
    im = __builtin_convertvector(detail::part_of<1>(x, std::make_index_sequence<width>{}), vec);
}

inline constexpr std::size_t lane_of(std::size_t a) { return a; }
inline constexpr std::size_t amp_of_lane(std::size_t lane) { return lane; }
#else
using VELT_ISA_NS::add;
using VELT_ISA_NS::amp_of_lane;
using VELT_ISA_NS::lane_of;
using VELT_ISA_NS::load_split;
using VELT_ISA_NS::mul;
using VELT_ISA_NS::sub;
using VELT_ISA_NS::vec;
using VELT_ISA_NS::width;
#endif
}  // namespace wide

}  // namespace velt::VELT_ISA_NS
