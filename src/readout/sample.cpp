#include <algorithm>
#include <vector>

#include "parallel/parallel_for.hpp"
#include "parallel/reduce.hpp"
#include "readout/readout.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

namespace {

// Leaves and samples handled per iteration of the parallel loops.
constexpr std::int64_t leaves_per_step = 256;
constexpr std::int64_t samples_per_step = 1024;
// The search first looks among every coarse-th start (a table small enough
// to stay in cache), then among the coarse + 1 starts of that stretch: the
// same leaf as one binary search over all starts, with fewer cache misses.
constexpr std::int64_t coarse = 64;

}  // namespace

// The cumulative distribution C of the draws is fixed by three steps, none of
// which depends on the number of workers:
//   1. leaf sums: the lane total of |psi[i]|^2 over each leaf;
//   2. leaf starts: the leaf sums' pairwise tree (as pairwise_total builds
//      it), walked down from the root with 0.0 as its start, a left child
//      starting where its parent starts and a right child where its parent
//      starts plus its left sibling's sum.  Those starts are accurate to
//      about log2(leaves) ulps but, computed along different paths, may
//      disagree with each other by an ulp or two; so, in leaf order, a leaf
//      whose sum is zero ends where it starts and no leaf ends before it
//      starts: the starts never decrease and a leaf without probability
//      covers nothing;
//   3. inside leaf b, C(i) is starts[b] + |psi[first]|^2 + ... + |psi[i]|^2,
//      added left to right, but starts[b + 1] for the last index with a
//      nonzero term and after.
// So C never decreases, an index without probability never owns an interval,
// and C(n - 1) = starts[leaves] = total.
sample_table sample_prepare(const amp* psi, std::int64_t n) {
    sample_table table;
    table.leaf = std::min(sample_leaf, n);
    const std::int64_t leaf = table.leaf;
    const std::int64_t leaves = n / leaf;

    std::vector<std::vector<double>> levels(1,
                                            std::vector<double>(static_cast<std::size_t>(leaves)));
    double* sums = levels[0].data();
    parallel_for((leaves + leaves_per_step - 1) / leaves_per_step, [=](std::int64_t s) {
        const std::int64_t end = std::min(leaves, (s + 1) * leaves_per_step);
        for (std::int64_t b = s * leaves_per_step; b < end; ++b) {
            const amp* p = psi + b * leaf;
            sums[b] = lane_total(0, leaf, [p](std::int64_t i) { return norm2(p[i]); });
        }
    });

    // Up the tree: level l + 1 holds the pairs of level l, an odd one out carried up.
    while (levels.back().size() > 1) {
        const std::vector<double>& below = levels.back();
        const std::size_t half = below.size() / 2;
        std::vector<double> above(half + below.size() % 2);
        for (std::size_t i = 0; i < half; ++i) {
            above[i] = below[2 * i] + below[2 * i + 1];
        }
        if (below.size() % 2 != 0) {
            above[half] = below.back();
        }
        levels.push_back(std::move(above));
    }
    // Down the tree: the start of every node, level by level.
    std::vector<double> starts(1, 0.0);
    for (std::size_t l = levels.size() - 1; l-- > 0;) {
        const std::vector<double>& level = levels[l];
        std::vector<double> next(level.size());
        for (std::size_t i = 0; i < level.size(); ++i) {
            next[i] = i % 2 == 0 ? starts[i / 2] : starts[i / 2] + level[i - 1];
        }
        starts = std::move(next);
    }
    starts.push_back(levels.back()[0]);

    for (std::int64_t b = 0; b < leaves; ++b) {
        double& end = starts[static_cast<std::size_t>(b + 1)];
        const double begin = starts[static_cast<std::size_t>(b)];
        if (levels[0][static_cast<std::size_t>(b)] == 0.0 || end < begin) {
            end = begin;
        }
    }
    table.total = starts.back();
    table.starts = std::move(starts);
    return table;
}

// A draw t = u * total falls in the leaf b with starts[b] <= t < starts[b + 1]
// (binary search), then on the first index of that leaf whose C exceeds t.
// When u * total rounds up to total itself, the last index with a nonzero
// term is drawn.
void sample_search(const amp* psi, const sample_table& table, const double* uniforms,
                   std::int64_t count, std::int64_t* out) {
    const double* starts = table.starts.data();
    const std::int64_t leaves = static_cast<std::int64_t>(table.starts.size()) - 1;
    const std::int64_t leaf = table.leaf;
    const double total = table.total;
    // The last leaf that covers anything.
    std::int64_t last_leaf = leaves - 1;
    while (last_leaf > 0 && !(starts[last_leaf + 1] > starts[last_leaf])) {
        --last_leaf;
    }
    std::vector<double> coarse_starts;
    for (std::int64_t b = 0; b <= leaves; b += coarse) {
        coarse_starts.push_back(starts[b]);
    }
    const double* top = coarse_starts.data();
    const auto tops = static_cast<std::int64_t>(coarse_starts.size());
    parallel_for((count + samples_per_step - 1) / samples_per_step, [=](std::int64_t s) {
        const std::int64_t end = std::min(count, (s + 1) * samples_per_step);
        for (std::int64_t k = s * samples_per_step; k < end; ++k) {
            const double t = uniforms[k] * total;
            // The last start <= t (starts[0] = 0 <= t): first its stretch, then itself.
            const std::int64_t g = std::upper_bound(top, top + tops, t) - top - 1;
            const double* from = starts + g * coarse;
            const double* to = starts + std::min(leaves + 1, (g + 1) * coarse + 1);
            std::int64_t b = std::upper_bound(from, to, t) - starts - 1;
            const bool beyond = b >= leaves;
            if (beyond) {
                b = last_leaf;
            }
            const amp* p = psi + b * leaf;
            double c = starts[b];
            std::int64_t drawn = -1;
            std::int64_t last = 0;
            for (std::int64_t i = 0; i < leaf; ++i) {
                const double term = norm2(p[i]);
                if (term > 0.0) {
                    last = i;
                    c += term;
                    if (!beyond && t < c) {
                        drawn = i;
                        break;
                    }
                }
            }
            if (drawn < 0) {
                // t lies between the running sum and the leaf's end (or beyond
                // the last leaf): the last nonzero term owns that stretch.
                drawn = last;
            }
            out[k] = b * leaf + drawn;
        }
    });
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
