// Bit helpers for amplitude indices.  Qubit q is the bit of value 2^q of an
// amplitude index; all shifts are done on 64-bit values.
#pragma once

#include <cstdint>

namespace velt {

// Largest qubit accepted by the single-qubit kernel: its block size 2^(q+1)
// is still a positive int64.
inline constexpr int max_qubit_1q = 61;
// Largest qubit accepted by the other state-vector kernels: 2^q is still a
// positive int64, and the shift n >> (q+1) is still defined.
inline constexpr int max_qubit_index = 62;

// 2^q as a signed 64-bit value; q must lie in 0..62.
constexpr std::int64_t bit(int q) { return std::int64_t{1} << q; }

// The bits of x below position q stay, the bits from q upwards move up by one:
// the result has bit q clear.  Counting x = 0, 1, 2, ... visits every index
// with bit q clear, in increasing order.
constexpr std::int64_t insert_zero_bit(std::int64_t x, int q) {
    return ((x >> q) << (q + 1)) | (x & (bit(q) - 1));
}

// Bit deposit: `start` with bit positions[d] set for every set bit d of x,
// d = 0..count-1.  Bits of x at or above count are ignored.  Positions must
// lie in 0..62.
constexpr std::int64_t deposit_bits(std::int64_t x, const int* positions, int count,
                                    std::int64_t start = 0) {
    for (int d = 0; d < count; ++d) {
        start |= ((x >> d) & 1) << positions[d];  // no branch: counters' low bits flip all the time
    }
    return start;
}

// True when x is 2^j for some j >= 0 (zero is not a power of two).
constexpr bool is_power_of_two(std::int64_t x) { return x > 0 && (x & (x - 1)) == 0; }

// The j of x = 2^j; x must be a power of two.
constexpr int log2_exact(std::int64_t x) {
    int j = 0;
    while (bit(j) < x) {
        ++j;
    }
    return j;
}

}  // namespace velt
