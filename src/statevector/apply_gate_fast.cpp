// Dense gate on one to four targets, walked as contiguous runs.
//
// Tables, built once per call on the calling thread and only read by workers:
//   order   positions 0..k-1 of the target list, sorted by target number
//   s       the sorted targets, s[0] < s[1] < ... < s[k-1]
//   map     local index j (bit b stands for qubit s[b]) -> gate index
//           (bit order[b] of it stands for the same qubit)
//   radix   R[0] = 2^s[0], the run of positions below the lowest target;
//           R[i] = 2^(s[i] - s[i-1] - 1), the values of the non-target bits
//           strictly between s[i-1] and s[i] (1 <= i < k);
//           R[k] = floor(n / 2^(s[k-1] + 1)), the values of the bits above.
// An outer index o is split into mixed-radix digits (radices R[1..k], least
// significant first); digit i fills the bits just above s[i-1].  The amplitude
// groups of one outer index have base indices (those bits) | x for the inner
// offsets x = 0..R[0]-1, so for each of the 2^k target patterns consecutive
// groups touch consecutive amplitudes.
#include <algorithm>
#include <numeric>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "statevector/kernels.hpp"

namespace velt {

namespace {
constexpr int max_targets = 4;
constexpr int max_dim = 16;  // 2^max_targets: the capacity of every per-group buffer
}  // namespace

void apply_gate_fast(amp* psi, std::int64_t n, const int* targets, int k, const amp* u) {
    int order[max_targets];
    std::iota(order, order + k, 0);
    std::sort(order, order + k, [targets](int a, int b) { return targets[a] < targets[b]; });

    int s[max_targets];
    for (int b = 0; b < k; ++b) {
        s[b] = targets[order[b]];
    }

    const std::int64_t dim = bit(k);
    int map[max_dim];
    for (std::int64_t j = 0; j < dim; ++j) {
        map[j] = static_cast<int>(deposit_bits(j, order, k));
    }

    std::int64_t radix[max_targets + 1];
    radix[0] = bit(s[0]);
    for (int i = 1; i < k; ++i) {
        radix[i] = bit(s[i] - s[i - 1] - 1);
    }
    // s[k-1] + 1 may be 63; n is not negative, so the shift then gives 0.
    radix[k] = n >> (s[k - 1] + 1);

    const std::int64_t run = radix[0];
    std::int64_t outer = 1;
    for (int i = 1; i <= k; ++i) {
        outer *= radix[i];
    }

    parallel_for(outer, [=](std::int64_t o) {
        std::int64_t base = 0;
        std::int64_t rest = o;
        for (int i = 1; i <= k; ++i) {
            base |= (rest % radix[i]) << (s[i - 1] + 1);
            rest /= radix[i];
        }
        // Fixed-capacity buffers on the worker's own stack, whatever k is.
        // They are raw storage, not amp arrays: std::complex's constructor
        // would zero all 2 x 16 entries for every outer index, which costs more
        // than the arithmetic when k is small and the run is short.  Nothing
        // reads an entry before the same amplitude group has written it.
        alignas(amp) unsigned char gather_storage[sizeof(amp) * max_dim];
        alignas(amp) unsigned char result_storage[sizeof(amp) * max_dim];
        amp* const gather = reinterpret_cast<amp*>(gather_storage);
        amp* const result = reinterpret_cast<amp*>(result_storage);
        std::int64_t address[max_dim];
        for (std::int64_t x = 0; x < run; ++x) {
            for (std::int64_t j = 0; j < dim; ++j) {
                address[j] = deposit_bits(j, s, k, base | x);
                gather[map[j]] = psi[address[j]];
            }
            matvec(u, dim, gather, result);
            for (std::int64_t j = 0; j < dim; ++j) {
                psi[address[j]] = result[map[j]];
            }
        }
    });
}

}  // namespace velt
