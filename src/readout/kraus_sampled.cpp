// One trajectory step of a Kraus channel on a state vector.
//
// The state is walked in tiles: the 2^low lowest bits of the index (low =
// min(log2 n, 11), so that a tile's runs are the read-outs' blocks of 2048
// terms) together with the channel's qubits at or above them, all other bits
// fixed.  A tile holds whole groups of the channel's qubits, so K psi on a
// tile is K psi on the state there; copied into a worker's scratch (runs in
// order, the qubits at or above `low` becoming the tile's bits low, low + 1,
// ...), it is transformed by apply_gate itself, the kernel on the chosen path,
// called from inside this loop and so on the worker alone.  Its arithmetic per
// group does not depend on where the group lies, so the tile's values are
// those of apply_gate on the whole state.  Compiled once, for the baseline.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/bits.hpp"
#include "parallel/parallel_for.hpp"
#include "parallel/reduce.hpp"
#include "readout/readout.hpp"
#include "statevector/kernels.hpp"

namespace velt {

double renormalising_power(double p) {
    int exponent = 0;
    std::frexp(p, &exponent);
    return std::ldexp(1.0, -exponent / 2);  // exponent < 0 here: -exponent / 2 rounds down
}

kraus_trajectory::kraus_trajectory(std::int64_t n, const int* qubits, int k, std::size_t count)
    : n_(n), k_(k) {
    const int width = log2_exact(n);
    low_ = std::min(width, static_cast<int>(log2_exact(sum_block)));
    for (int d = 0; d < k; ++d) {
        if (qubits[d] >= low_) {
            high_.push_back(qubits[d]);
        }
    }
    std::sort(high_.begin(), high_.end());
    for (int d = 0; d < k; ++d) {
        const int q = qubits[d];
        if (q < low_) {
            mapped_.push_back(q);
        } else {
            const auto at = std::find(high_.begin(), high_.end(), q) - high_.begin();
            mapped_.push_back(low_ + static_cast<int>(at));
        }
    }
    const int tile_bits = low_ + static_cast<int>(high_.size());
    tile_size_ = bit(tile_bits);
    tiles_ = n >> tile_bits;
    blocks_ = n >> low_;
    scratch_.resize(static_cast<std::size_t>(tile_size_ * worker_slots()));
    totals_.resize(static_cast<std::size_t>(blocks_) * std::max<std::size_t>(count, 1));
}

// The index of tile t's first amplitude: t's bits at the positions from low
// up that are not the channel's.
std::int64_t kraus_trajectory::tile_base(std::int64_t t) const {
    std::int64_t x = t << low_;
    for (const int q : high_) {  // ascending, each at or above low
        x = insert_zero_bit(x, q);
    }
    return x;
}

void kraus_trajectory::gather(const amp* psi, std::int64_t base, amp* tile) const {
    const std::int64_t run = bit(low_);
    const int h = static_cast<int>(high_.size());
    for (std::int64_t r = 0; r < bit(h); ++r) {
        std::memcpy(static_cast<void*>(tile + r * run), psi + deposit_bits(r, high_.data(), h, base),
                    static_cast<std::size_t>(run) * sizeof(amp));
    }
}

void kraus_trajectory::probabilities(const amp* psi, const amp* ops, double* p) {
    const std::int64_t run = bit(low_);
    const int h = static_cast<int>(high_.size());
    const std::int64_t op_size = bit(2 * k_);
    const auto count = static_cast<std::int64_t>(totals_.size()) / blocks_;
    amp* const scratch = scratch_.data();
    double* const totals = totals_.data();
    parallel_for(tiles_, loop_work{n_ * count, serial_below::dense_amplitudes}, [&](std::int64_t t) {
        amp* tile = scratch + tile_size_ * worker_index();
        const std::int64_t base = tile_base(t);
        for (std::int64_t i = 0; i < count; ++i) {
            // The first copy reads the state from memory; the others find it
            // in the cache.
            gather(psi, base, tile);
            apply_gate(tile, tile_size_, mapped_.data(), k_, nullptr, 0, ops + i * op_size);
            for (std::int64_t r = 0; r < bit(h); ++r) {
                const amp* block = tile + r * run;
                const std::int64_t number = deposit_bits(r, high_.data(), h, base) >> low_;
                totals[i * blocks_ + number] =
                    lane_total(0, run, [=](std::int64_t x) { return norm2(block[x]); });
            }
        }
    });
    for (std::int64_t i = 0; i < count; ++i) {
        p[i] = pairwise_total(totals + i * blocks_, blocks_);
    }
}

double kraus_trajectory::scaled_norm(const amp* psi, const amp* op, double pre) {
    const std::int64_t run = bit(low_);
    const int h = static_cast<int>(high_.size());
    amp* const scratch = scratch_.data();
    double* const totals = totals_.data();
    parallel_for(tiles_, loop_work{n_, serial_below::dense_amplitudes}, [&](std::int64_t t) {
        amp* tile = scratch + tile_size_ * worker_index();
        const std::int64_t base = tile_base(t);
        gather(psi, base, tile);
        apply_gate(tile, tile_size_, mapped_.data(), k_, nullptr, 0, op);
        for (std::int64_t r = 0; r < bit(h); ++r) {
            const amp* block = tile + r * run;
            totals[deposit_bits(r, high_.data(), h, base) >> low_] =
                lane_total(0, run, [=](std::int64_t x) {
                    return norm2(amp{block[x].real() * pre, block[x].imag() * pre});
                });
        }
    });
    return pairwise_total(totals, blocks_);
}

void kraus_trajectory::apply(amp* psi, const amp* op, double pre, double scale) {
    const std::int64_t run = bit(low_);
    const int h = static_cast<int>(high_.size());
    amp* const scratch = scratch_.data();
    parallel_for(tiles_, loop_work{n_, serial_below::dense_amplitudes}, [&](std::int64_t t) {
        amp* tile = scratch + tile_size_ * worker_index();
        const std::int64_t base = tile_base(t);
        gather(psi, base, tile);
        apply_gate(tile, tile_size_, mapped_.data(), k_, nullptr, 0, op);
        if (pre == 1.0) {
            for (std::int64_t x = 0; x < tile_size_; ++x) {
                tile[x] = amp{tile[x].real() * scale, tile[x].imag() * scale};
            }
        } else {
            for (std::int64_t x = 0; x < tile_size_; ++x) {
                tile[x] = amp{(tile[x].real() * pre) * scale, (tile[x].imag() * pre) * scale};
            }
        }
        for (std::int64_t r = 0; r < bit(h); ++r) {
            std::memcpy(static_cast<void*>(psi + deposit_bits(r, high_.data(), h, base)),
                        tile + r * run, static_cast<std::size_t>(run) * sizeof(amp));
        }
    });
}

}  // namespace velt
