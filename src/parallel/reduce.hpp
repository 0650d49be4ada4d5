// Sums whose bits do not depend on the number of workers.
//
// A sum of count terms, term x for x = 0, 1, ..., count - 1, is always formed
// in the same order:
//   1. the terms are cut into blocks of sum_block consecutive terms (the last
//      block may be shorter);
//   2. inside a block, term x goes to lane x % 8, each lane adding its terms
//      in increasing x from 0.0, and the eight lanes meet in the fixed tree
//      ((l0 + l1) + (l2 + l3)) + ((l4 + l5) + (l6 + l7));
//   3. the block totals meet in the pairwise tree of pairwise_total.
// Which worker computes which block changes nothing, so the result is the
// same bit for bit for any team size, and only baseline instructions are
// involved.  The rounding error grows like sum_block / 8 + log2(blocks) ulps
// of the sum of |terms|, as for a pairwise sum with a base case of 256.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "parallel/parallel_for.hpp"

namespace velt {

// Terms per block: a power of two and a multiple of the lane count, so that
// every block but the last starts at a multiple of 8.
inline constexpr std::int64_t sum_block = 2048;
inline constexpr int sum_lanes = 8;

// The eight running sums of one block.
struct lane_sums {
    double lane[sum_lanes] = {};

    double total() const {
        return ((lane[0] + lane[1]) + (lane[2] + lane[3])) +
               ((lane[4] + lane[5]) + (lane[6] + lane[7]));
    }
};

// Lane total (step 2) of term(x) for x = first .. first + length - 1, first
// being a multiple of 8.  term is called once per x, in increasing x, so it
// may carry state from one term to the next (a running address, say).
template <class Term>
double lane_total(std::int64_t first, std::int64_t length, Term&& term) {
    lane_sums acc;
    std::int64_t x = first;
    const std::int64_t end = first + length;
    for (; x + sum_lanes <= end; x += sum_lanes) {
        for (int l = 0; l < sum_lanes; ++l) {
            acc.lane[l] += term(x + l);
        }
    }
    for (int l = 0; x < end; ++x, ++l) {
        acc.lane[l] += term(x);
    }
    return acc.total();
}

// Sum of values[0 .. count) by a fixed pairwise tree: neighbours are added
// level by level ((v0 + v1), (v2 + v3), ...), an odd one out is carried up
// unchanged.  Overwrites values; the sum of no values is 0.0.
inline double pairwise_total(double* values, std::int64_t count) {
    if (count <= 0) {
        return 0.0;
    }
    while (count > 1) {
        const std::int64_t half = count / 2;
        for (std::int64_t i = 0; i < half; ++i) {
            values[i] = values[2 * i] + values[2 * i + 1];
        }
        if (count % 2 != 0) {
            values[half] = values[count - 1];
        }
        count = half + count % 2;
    }
    return values[0];
}

// Blocks needed for count terms.
constexpr std::int64_t sum_blocks(std::int64_t count) {
    return (count + sum_block - 1) / sum_block;
}

// `outputs` sums over the same count terms at once.  block(first, length, out)
// writes, for each output o, the lane total (step 2) of terms first ..
// first + length - 1 to out[o]; result[o] receives the pairwise total of
// those block totals.  Blocks run through parallel_for; the block totals are
// kept in a scratch of blocks x outputs doubles, allocated before the loop.
template <class Block>
void blocked_sums(std::int64_t count, std::int64_t outputs, const Block& block, double* result) {
    const std::int64_t blocks = sum_blocks(count);
    if (blocks <= 1) {
        // One block: its lane totals are the sums (no tree above one value).
        if (count > 0) {
            block(std::int64_t{0}, count, result);
        } else {
            std::fill(result, result + outputs, 0.0);
        }
        return;
    }
    std::vector<double> totals(static_cast<std::size_t>(blocks * outputs));
    double* const scratch = totals.data();
    parallel_for(blocks, [=, &block](std::int64_t b) {
        const std::int64_t first = b * sum_block;
        block(first, std::min(sum_block, count - first), scratch + b * outputs);
    });
    // The trees are short (count / sum_block leaves each): done on the calling thread.
    std::vector<double> column(static_cast<std::size_t>(blocks));
    for (std::int64_t o = 0; o < outputs; ++o) {
        for (std::int64_t b = 0; b < blocks; ++b) {
            column[static_cast<std::size_t>(b)] = scratch[b * outputs + o];
        }
        result[o] = pairwise_total(column.data(), blocks);
    }
}

// One sum: block(first, length) returns the lane total of its terms.
template <class Block>
double blocked_sum(std::int64_t count, const Block& block) {
    double result = 0.0;
    blocked_sums(
        count, 1,
        [&block](std::int64_t first, std::int64_t length, double* out) {
            *out = block(first, length);
        },
        &result);
    return result;
}

}  // namespace velt
