#include <algorithm>
#include <vector>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "parallel/reduce.hpp"
#include "readout/readout.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

namespace {

// Amplitudes per iteration of the element-wise loop: 256 KiB of state.
constexpr std::int64_t chunk = std::int64_t{1} << 14;
// At most this many marginal entries are summed side by side (free_walk::block_all).
constexpr std::int64_t grouped_outputs = 16;

// The amplitudes of one marginal entry j, in increasing index order, are
// psi[spread(x) | offset_j] for the free index x = 0, 1, ..., n / 2^k - 1:
// spread puts the bits of x at the positions that are not marginal qubits,
// and offset_j holds bit d of j at position qubits[d].
struct free_walk {
    std::vector<int> sorted;               // the marginal qubits, ascending
    std::int64_t run = 0;                  // consecutive free indices with consecutive addresses
    std::vector<std::int64_t> spread_low;  // spread(t) for t < sum_block, without runs

    std::int64_t spread(std::int64_t x) const {
        for (const int q : sorted) {  // ascending, so each insertion leaves the lower ones in place
            x = insert_zero_bit(x, q);
        }
        return x;
    }

    // Lane total of |psi[spread(x) | offset]|^2 over free indices first ..
    // first + length - 1.
    template <class Square>
    double block(const amp* psi, std::int64_t first, std::int64_t length, std::int64_t offset,
                 Square square) const {
        if (run >= sum_lanes && length >= sum_lanes) {
            // Runs of r contiguous amplitudes (r and length are powers of two,
            // so the runs tile the block); lanes see the same terms in the
            // same order as below.
            const std::int64_t r = std::min(run, length);
            lane_sums acc;
            for (std::int64_t x = first; x < first + length; x += r) {
                const amp* p = psi + (spread(x) | offset);
                for (std::int64_t t = 0; t < r; t += sum_lanes) {
                    for (int l = 0; l < sum_lanes; ++l) {
                        acc.lane[l] += square(p[t + l]);
                    }
                }
            }
            return acc.total();
        }
        // A low marginal qubit breaks the runs.  first is a multiple of
        // sum_block and t < sum_block, so spread(first + t) is
        // spread(first) | spread(t), the second from a table.
        const std::int64_t base = spread(first) | offset;
        const std::int64_t* low = spread_low.data();
        return lane_total(0, length, [=](std::int64_t t) { return square(psi[base | low[t]]); });
    }

    // The same lane totals for every entry at once, for a few entries of low
    // qubits: group by group of 8 free indices, each entry's 8 terms (one per
    // lane) in turn.  Every lane still takes its terms in increasing free
    // index, but the state is read in address order, not once per entry.
    template <class Square>
    void block_all(const amp* psi, std::int64_t first, std::int64_t length,
                   const std::int64_t* offsets, std::int64_t outputs, double* out,
                   Square square) const {
        lane_sums acc[grouped_outputs];
        const std::int64_t base = spread(first);
        const std::int64_t* low = spread_low.data();
        for (std::int64_t g = 0; g < length; g += sum_lanes) {
            const std::int64_t group = base | low[g];
            for (std::int64_t j = 0; j < outputs; ++j) {
                const std::int64_t at = group | offsets[j];
                for (int l = 0; l < sum_lanes; ++l) {
                    acc[j].lane[l] += square(psi[at | low[l]]);
                }
            }
        }
        for (std::int64_t j = 0; j < outputs; ++j) {
            out[j] = acc[j].total();
        }
    }
};

// |a|^2 as norm2 forms it, of the amplitude itself or of the amplitude with
// both parts multiplied by a factor first.
struct plain_square {
    double operator()(const amp& a) const { return norm2(a); }
};
struct scaled_square {
    double factor;
    double operator()(const amp& a) const { return norm2_scaled(a, factor); }
};

}  // namespace

void probabilities(const amp* psi, std::int64_t n, double* out) {
    parallel_for((n + chunk - 1) / chunk, [=](std::int64_t c) {
        const std::int64_t end = std::min(n, (c + 1) * chunk);
        for (std::int64_t i = c * chunk; i < end; ++i) {
            out[i] = norm2(psi[i]);
        }
    });
}

namespace {

template <class Square>
void marginal_sums(const amp* psi, std::int64_t n, const int* qubits, int k, double* out,
                   Square square) {
    free_walk walk;
    walk.sorted.assign(qubits, qubits + k);
    std::sort(walk.sorted.begin(), walk.sorted.end());
    walk.run = k > 0 ? bit(walk.sorted[0]) : n;
    const std::int64_t terms = n >> k;                // per entry
    if (walk.run < sum_lanes || terms < sum_lanes) {  // when block() below takes no runs
        walk.spread_low.resize(static_cast<std::size_t>(std::min(terms, sum_block)));
        for (std::size_t t = 0; t < walk.spread_low.size(); ++t) {
            walk.spread_low[t] = walk.spread(static_cast<std::int64_t>(t));
        }
    }
    const std::int64_t outputs = bit(k);
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(outputs));
    for (std::int64_t j = 0; j < outputs; ++j) {
        offsets[static_cast<std::size_t>(j)] = deposit_bits(j, qubits, k);
    }
    const std::int64_t* offset = offsets.data();
    if (walk.run < sum_lanes && outputs <= grouped_outputs && terms >= sum_lanes) {
        blocked_sums(
            terms, outputs,
            [&](std::int64_t first, std::int64_t length, double* block_out) {
                walk.block_all(psi, first, length, offset, outputs, block_out, square);
            },
            out);
        return;
    }
    if (terms <= sum_block) {
        // One block per entry, so no tree: the entries are split among the
        // workers instead, about sum_block amplitudes per iteration.
        const std::int64_t per = std::max<std::int64_t>(1, sum_block / terms);
        parallel_for((outputs + per - 1) / per, [&](std::int64_t c) {
            const std::int64_t end = std::min(outputs, (c + 1) * per);
            for (std::int64_t j = c * per; j < end; ++j) {
                out[j] = walk.block(psi, 0, terms, offset[j], square);
            }
        });
        return;
    }
    blocked_sums(
        terms, outputs,
        [&](std::int64_t first, std::int64_t length, double* block_out) {
            for (std::int64_t j = 0; j < outputs; ++j) {
                block_out[j] = walk.block(psi, first, length, offset[j], square);
            }
        },
        out);
}

}  // namespace

void marginal_probabilities(const amp* psi, std::int64_t n, const int* qubits, int k, double* out) {
    marginal_sums(psi, n, qubits, k, out, plain_square{});
}

void marginal_probabilities_scaled(const amp* psi, std::int64_t n, const int* qubits, int k,
                                   double factor, double* out) {
    marginal_sums(psi, n, qubits, k, out, scaled_square{factor});
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
