// The diagonal kernel's target order (baseline code, for the bindings).
//
// apply_diagonal takes its targets in increasing order.  A caller's table
// for targets in another order is the same diagonal with its entries
// permuted: entry j moves to the index whose bit p is bit d of j, p the
// place of targets[d] in increasing order.  Moving entries is exact, so the
// kernel multiplies every amplitude by the very entry the caller gave it.
#pragma once

#include <algorithm>
#include <cstdint>

#include "common/amplitude.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

inline bool increasing(const int* targets, int k) {
    for (int d = 1; d < k; ++d) {
        if (targets[d] <= targets[d - 1]) {
            return false;
        }
    }
    return true;
}

// sorted = targets in increasing order, and out[j'] = diag[j] for the 2^k
// entries (k <= 62, distinct targets; out must not overlap diag).
inline void sort_diagonal(const int* targets, int k, const amp* diag, int* sorted, amp* out) {
    std::copy(targets, targets + k, sorted);
    std::sort(sorted, sorted + k);
    // moved[r] = the bits of j' that change when j counts up past r trailing
    // ones (bits 0..r of j flip, and so do their places in j').
    std::int64_t moved[64];
    std::int64_t places = 0;
    for (int d = 0; d < k; ++d) {
        const auto at = std::lower_bound(sorted, sorted + k, targets[d]) - sorted;
        places |= std::int64_t{1} << at;
        moved[d] = places;
    }
    const std::int64_t count = std::int64_t{1} << k;
    std::int64_t target_index = 0;
    for (std::int64_t j = 0; j < count; ++j) {
        if (j > 0) {
            target_index ^= moved[__builtin_ctzll(static_cast<unsigned long long>(j))];
        }
        out[target_index] = diag[j];
    }
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
