#include <algorithm>
#include <type_traits>
#include <vector>

#include "common/bits.hpp"
#include "parallel/reduce.hpp"
#include "readout/readout.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

namespace {

bool parity(std::int64_t v) { return __builtin_parityll(static_cast<unsigned long long>(v)) != 0; }

}  // namespace

// With x the bits of the qubits under X or Y, z those under Z or Y and y the
// number of Y letters, P|i> = i^y (-1)^|i & z| |i ^ x>, so
//   <psi|P|psi> = i^y sum_i (-1)^|i & z| conj(psi[i ^ x]) psi[i].
// Without X or Y (x = 0) that is sum_i (-1)^|i & z| |psi[i]|^2.  Otherwise the
// terms of i and i ^ x add up to (-1)^|i & z| (c + (-1)^y conj(c)) with
// c = conj(psi[i ^ x]) psi[i], so one term per pair suffices: 2 Re c for even
// y, 2i Im c for odd y, times i^y.  The pairs are walked by the index i with
// bit h (the highest qubit under X or Y) clear, in increasing order.
double expectation_pauli(const amp* psi, std::int64_t n, const int* qubits, const char* letters,
                         int k) {
    std::int64_t x = 0;
    std::int64_t z = 0;
    int y = 0;
    int h = 0;
    for (int d = 0; d < k; ++d) {
        const std::int64_t b = bit(qubits[d]);
        switch (letters[d]) {
            case 'I': break;
            case 'X': x |= b; break;
            case 'Y':
                x |= b;
                z |= b;
                ++y;
                break;
            case 'Z': z |= b; break;
            default: return 0.0;  // the binding refuses any other letter before this is called
        }
        if ((x & b) != 0 && qubits[d] > h) {
            h = qubits[d];
        }
    }
    // Block by block (sum_block terms from a multiple of sum_block), the
    // index of term first + t is base + offset[t], base = insert_zero_bit(first, h)
    // having no bit below those of offset[t] = insert_zero_bit(t, h) (h = 0 and
    // insert_zero_bit left out when x = 0).  So the sign (-1)^|i & z| is that of
    // base times sign[t], and multiplying by +1.0 or -1.0 is exact.
    const std::int64_t count = x == 0 ? n : n / 2;
    const std::int64_t span = std::min(count, sum_block);
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(span));
    std::vector<double> signs(static_cast<std::size_t>(2 * span));
    for (std::int64_t t = 0; t < span; ++t) {
        const std::int64_t i = x == 0 ? t : insert_zero_bit(t, h);
        const double s = parity(i & z) ? -1.0 : 1.0;
        offsets[static_cast<std::size_t>(t)] = i;
        signs[static_cast<std::size_t>(t)] = s;
        signs[static_cast<std::size_t>(span + t)] = -s;  // for a base of odd parity
    }
    const std::int64_t* offset = offsets.data();
    const double* sign_table = signs.data();
    if (x == 0) {
        return blocked_sum(n, [=](std::int64_t first, std::int64_t length) {
            const double* sign = sign_table + (parity(first & z) ? span : 0);
            const amp* p = psi + first;
            return lane_total(0, length, [=](std::int64_t t) { return sign[t] * norm2(p[t]); });
        });
    }
    const bool imaginary = y % 2 != 0;
    const auto pair_block = [=](std::int64_t first, std::int64_t length, auto imag) {
        const std::int64_t base = insert_zero_bit(first, h);
        const double* sign = sign_table + (parity(base & z) ? span : 0);
        return lane_total(0, length, [=](std::int64_t t) {
            const std::int64_t i = base | offset[t];
            // The parts, widened to double (a no-op in complex128).
            const double ar = psi[i].real();
            const double ai = psi[i].imag();
            const double br = psi[i ^ x].real();
            const double bi = psi[i ^ x].imag();
            // Re or Im of conj(b) a.
            const double c = decltype(imag)::value ? br * ai - bi * ar : br * ar + bi * ai;
            return sign[t] * c;
        });
    };
    const double sum = imaginary
                           ? blocked_sum(count,
                                         [&](std::int64_t first, std::int64_t length) {
                                             return pair_block(first, length, std::true_type{});
                                         })
                           : blocked_sum(count, [&](std::int64_t first, std::int64_t length) {
                                 return pair_block(first, length, std::false_type{});
                             });
    // i^y times 2 Re c (y even) or 2i Im c (y odd): +2, -2, -2, +2 for y = 0, 1, 2, 3 mod 4.
    const int phase = y % 4;
    return (phase == 0 || phase == 3) ? 2.0 * sum : -2.0 * sum;
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
