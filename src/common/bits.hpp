// Bit helpers for amplitude indices.  Qubit q is the bit of value 2^q of an
// amplitude index; all shifts are done on 64-bit values.
#pragma once

#include <cstdint>

namespace velt {

// Largest qubit accepted by the single-qubit kernel: its block size 2^(q+1)
// is still a positive int64.
inline constexpr int max_qubit_1q = 61;
// Largest qubit accepted by the two-qubit kernels: 2^q and the shift
// n >> (q+1) are still defined on int64.
inline constexpr int max_qubit_2q = 62;

// 2^q as a signed 64-bit value; q must lie in 0..62.
constexpr std::int64_t bit(int q) { return std::int64_t{1} << q; }

// The bits of x below position q stay, the bits from q upwards move up by one:
// the result has bit q clear.  Counting x = 0, 1, 2, ... visits every index
// with bit q clear, in increasing order.
constexpr std::int64_t insert_zero_bit(std::int64_t x, int q) {
    return ((x >> q) << (q + 1)) | (x & (bit(q) - 1));
}

}  // namespace velt
