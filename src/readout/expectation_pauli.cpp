#include "common/bits.hpp"
#include "parallel/reduce.hpp"
#include "readout/readout.hpp"

namespace velt {

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
    // Multiplying by +1 or -1 is exact; the sign only depends on the parity.
    const auto sign = [z](std::int64_t i) { return __builtin_parityll(static_cast<unsigned long long>(i & z)) != 0 ? -1.0 : 1.0; };
    if (x == 0) {
        return blocked_sum(n, [=](std::int64_t first, std::int64_t length) {
            return lane_total(first, length, [=](std::int64_t i) { return sign(i) * norm2(psi[i]); });
        });
    }
    const bool imaginary = y % 2 != 0;
    const double sum = blocked_sum(n / 2, [=](std::int64_t first, std::int64_t length) {
        return lane_total(first, length, [=](std::int64_t p) {
            const std::int64_t i = insert_zero_bit(p, h);
            const amp a = psi[i];
            const amp b = psi[i ^ x];
            // Re and Im of conj(b) a.
            const double c = imaginary ? b.real() * a.imag() - b.imag() * a.real()
                                       : b.real() * a.real() + b.imag() * a.imag();
            return sign(i) * c;
        });
    });
    // i^y times 2 Re c (y even) or 2i Im c (y odd): +2, -2, -2, +2 for y = 0, 1, 2, 3 mod 4.
    const int phase = y % 4;
    return (phase == 0 || phase == 3) ? 2.0 * sum : -2.0 * sum;
}

}  // namespace velt
