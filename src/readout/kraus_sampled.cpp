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
inline namespace VELT_PRECISION_NS {

namespace {
// Bits of a run of sum_lanes consecutive terms: their lanes in the sums.
constexpr int sum_lanes_bits = 3;
static_assert(1 << sum_lanes_bits == sum_lanes, "eight lanes");
}  // namespace

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
    qubits_.assign(qubits, qubits + k);
    const std::int64_t dim = bit(k);
    offset_.resize(static_cast<std::size_t>(dim));
    for (std::int64_t c = 0; c < dim; ++c) {
        offset_[static_cast<std::size_t>(c)] = deposit_bits(c, qubits, k);
    }
    target_mask_ = deposit_bits(dim - 1, qubits, k);
    sparse_column_.resize(static_cast<std::size_t>(dim) * count);
    sparse_entry_.resize(static_cast<std::size_t>(dim) * count);
    sum_of_.resize(count);
    finite_.resize(static_cast<std::size_t>(tiles_));
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
        std::memcpy(static_cast<void*>(tile + r * run),
                    psi + deposit_bits(r, high_.data(), h, base),
                    static_cast<std::size_t>(run) * sizeof(amp));
    }
}

// Operators whose rows hold at most one nonzero entry each (Pauli strings,
// diagonal and permutation matrices, the damping operators) need no dense
// product: with finite amplitudes, apply_gate's sum for row r is +0 plus that
// one product plus products with zero entries, which are signed zeros and
// change nothing, so |(K psi)[x]|^2 is the square of that one product.  The
// terms are then formed straight from psi, with no copy and no gate, every
// operator from the same tile while it sits in the cache.  An entry is zero
// when both its parts are (a NaN is not zero).
bool kraus_trajectory::probabilities(const amp* psi, const amp* ops, double* p) {
    const std::int64_t dim = bit(k_);
    const auto count = static_cast<std::int64_t>(totals_.size()) / blocks_;
    bool sparse = true;
    for (std::int64_t i = 0; i < count && sparse; ++i) {
        for (std::int64_t r = 0; r < dim && sparse; ++r) {
            int column = -1;
            for (std::int64_t c = 0; c < dim; ++c) {
                const amp& e = ops[(i * dim + r) * dim + c];
                if (e.real() == 0.0 && e.imag() == 0.0) {
                    continue;
                }
                if (column >= 0) {
                    sparse = false;  // a second nonzero entry in the row
                    break;
                }
                column = static_cast<int>(c);
                sparse_entry_[static_cast<std::size_t>(i * dim + r)] = e;
            }
            sparse_column_[static_cast<std::size_t>(i * dim + r)] = column;
        }
    }
    if (sparse) {
        return sparse_probabilities(psi, p);
    }
    const std::int64_t run = bit(low_);
    const int h = static_cast<int>(high_.size());
    const std::int64_t op_size = bit(2 * k_);
    amp* const scratch = scratch_.data();
    double* const totals = totals_.data();
    parallel_for(
        tiles_, loop_work{n_ * count, serial_below::dense_amplitudes}, [&](std::int64_t t) {
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
    return true;
}

// Two operators give the same terms when every row takes its entry from the
// same column and the entries square alike: the square of e times a is
// (e.re a.re - e.im a.im)^2 + (e.re a.im + e.im a.re)^2, which for an entry
// with one part zero is (m a.re)^2 + (m a.im)^2 in one order or the other,
// m the other part's magnitude (with a finite, the zero part's products are
// signed zeros that vanish from the sums); so such entries match on m alone.
// A sixteen-operator two-qubit Pauli channel needs five sums, not sixteen.
void kraus_trajectory::sparse_tables() {
    const auto dim = static_cast<std::size_t>(bit(k_));
    const std::size_t count = sum_of_.size();
    const auto same_square = [](const amp& a, const amp& b) {
        if ((a.real() == 0.0 || a.imag() == 0.0) && (b.real() == 0.0 || b.imag() == 0.0)) {
            return std::fabs(a.real()) + std::fabs(a.imag()) ==
                   std::fabs(b.real()) + std::fabs(b.imag());  // one term each is zero
        }
        return a.real() == b.real() && a.imag() == b.imag();
    };
    sum_op_.clear();
    for (std::size_t i = 0; i < count; ++i) {
        sum_of_[i] = sum_op_.size();
        for (std::size_t s = 0; s < sum_op_.size(); ++s) {
            const std::size_t j = sum_op_[s];
            bool same = true;
            for (std::size_t r = 0; r < dim && same; ++r) {
                const int c = sparse_column_[i * dim + r];
                same =
                    c == sparse_column_[j * dim + r] &&
                    (c < 0 || same_square(sparse_entry_[i * dim + r], sparse_entry_[j * dim + r]));
            }
            if (same) {
                sum_of_[i] = s;
                break;
            }
        }
        if (sum_of_[i] == sum_op_.size()) {
            sum_op_.push_back(i);
        }
    }
    // The lanes' tables: x0 + l has bits l at the qubits below 3 and the
    // row's digits from rh at the others.
    row_high_.clear();
    for (int d = 0; d < k_; ++d) {
        if (qubits_[static_cast<std::size_t>(d)] >= sum_lanes_bits) {
            row_high_.push_back(qubits_[static_cast<std::size_t>(d)]);
        }
    }
    const std::size_t highs = std::size_t{1} << row_high_.size();
    const std::size_t entries = sum_op_.size() * highs * sum_lanes;
    lane_delta_.assign(entries, 0);
    lane_re_.assign(entries, real{0});
    lane_im_.assign(entries, real{0});
    for (std::size_t s = 0; s < sum_op_.size(); ++s) {
        const std::size_t op = sum_op_[s];
        for (std::size_t rh = 0; rh < highs; ++rh) {
            for (int l = 0; l < sum_lanes; ++l) {
                std::size_t r = 0;
                std::int64_t bits = 0;  // x0 + l's bits at the qubits
                for (int d = 0; d < k_; ++d) {
                    const int q = qubits_[static_cast<std::size_t>(d)];
                    std::int64_t v = 0;
                    if (q < sum_lanes_bits) {
                        v = (l >> q) & 1;
                    } else {
                        const auto at = static_cast<std::size_t>(
                            std::find(row_high_.begin(), row_high_.end(), q) - row_high_.begin());
                        v = static_cast<std::int64_t>((rh >> at) & 1);
                    }
                    r |= static_cast<std::size_t>(v) << d;
                    bits |= v << q;
                }
                const std::size_t at = (s * highs + rh) * sum_lanes + static_cast<std::size_t>(l);
                const int c = sparse_column_[op * dim + r];
                if (c >= 0) {  // a row without entries squares +0 (zero entry, delta 0)
                    lane_delta_[at] = offset_[static_cast<std::size_t>(c)] - bits;
                    lane_re_[at] = sparse_entry_[op * dim + r].real();
                    lane_im_[at] = sparse_entry_[op * dim + r].imag();
                }
            }
        }
    }
}

// Lane total of |(K psi)[x]|^2 over the block of amplitudes first ..
// first + 2^low - 1, for sum `sum`'s operator in its sparse form: term x is
// the square of entry[r] times psi[x with its qubits' bits set to column[r]],
// r being x's bits at the qubits (a row without entries: +0, which changes no
// lane).  Plain arithmetic, in the order apply_gate multiplies and in the
// state's precision (in complex64 the product is apply_gate's float product,
// rounded, and overflowing, as that one does), then squared in double as
// norm2 squares: psi is finite here, so no NaN can show which operand came
// first.
double kraus_trajectory::sparse_block(const amp* psi, std::int64_t first, std::size_t sum) const {
    const std::int64_t run = bit(low_);
    const auto square = [](real er, real ei, const amp& a) {
        const real re = er * a.real() - ei * a.imag();
        const real im = er * a.imag() + ei * a.real();
        return norm2(amp{re, im});
    };
    if (run < sum_lanes) {
        // A state of fewer than eight amplitudes: term by term.
        const auto dim = static_cast<std::size_t>(bit(k_));
        const std::size_t op = sum_op_[sum];
        return lane_total(0, run, [&](std::int64_t x) {
            std::size_t r = 0;
            for (int d = 0; d < k_; ++d) {
                r |= static_cast<std::size_t>((x >> qubits_[static_cast<std::size_t>(d)]) & 1) << d;
            }
            const int c = sparse_column_[op * dim + r];
            if (c < 0) {
                return 0.0;
            }
            const amp e = sparse_entry_[op * dim + r];
            return square(e.real(), e.imag(),
                          psi[(x & ~target_mask_) | offset_[static_cast<std::size_t>(c)]]);
        });
    }
    const std::size_t highs = std::size_t{1} << row_high_.size();
    lane_sums acc;
    for (std::int64_t x0 = first; x0 < first + run; x0 += sum_lanes) {
        std::size_t rh = 0;
        for (std::size_t e = 0; e < row_high_.size(); ++e) {
            rh |= static_cast<std::size_t>((x0 >> row_high_[e]) & 1) << e;
        }
        const std::size_t at = (sum * highs + rh) * sum_lanes;
        const std::int64_t* delta = lane_delta_.data() + at;
        const real* er = lane_re_.data() + at;
        const real* ei = lane_im_.data() + at;
        if (row_high_.size() == static_cast<std::size_t>(k_)) {
            // No qubit among the lowest three: the eight terms share their row
            // and read eight consecutive amplitudes.
            const amp* a = psi + x0 + delta[0];
            for (int l = 0; l < sum_lanes; ++l) {
                acc.lane[l] += square(er[0], ei[0], a[l]);
            }
            continue;
        }
        for (int l = 0; l < sum_lanes; ++l) {
            acc.lane[l] += square(er[l], ei[l], psi[x0 + l + delta[l]]);
        }
    }
    return acc.total();
}

bool kraus_trajectory::sparse_probabilities(const amp* psi, double* p) {
    const std::int64_t run = bit(low_);
    const int h = static_cast<int>(high_.size());
    const auto count = static_cast<std::int64_t>(totals_.size()) / blocks_;
    sparse_tables();
    const std::size_t sums = sum_op_.size();
    double* const totals = totals_.data();
    char* const finite = finite_.data();
    parallel_for(tiles_, loop_work{n_ * count, serial_below::dense_amplitudes},
                 [&](std::int64_t t) {
                     const std::int64_t base = tile_base(t);
                     // Every amplitude of the tile is finite: x - x is 0 for finite x
                     // alone (NaN otherwise), and a NaN stays in a sum.  Checked as the
                     // tile comes into the cache, in eight independent sums.
                     double check[sum_lanes] = {};
                     for (std::int64_t r = 0; r < bit(h); ++r) {
                         const amp* a = psi + deposit_bits(r, high_.data(), h, base);
                         std::int64_t x = 0;
                         for (; x + sum_lanes <= run; x += sum_lanes) {
                             for (int l = 0; l < sum_lanes; ++l) {
                                 const amp& v = a[x + l];
                                 check[l] += (v.real() - v.real()) + (v.imag() - v.imag());
                             }
                         }
                         for (; x < run; ++x) {
                             check[0] += (a[x].real() - a[x].real()) + (a[x].imag() - a[x].imag());
                         }
                     }
                     const bool ok =
                         std::all_of(check, check + sum_lanes, [](double c) { return c == 0.0; });
                     finite[t] = ok ? 1 : 0;
                     if (!ok) {
                         return;
                     }
                     for (std::size_t sum = 0; sum < sums; ++sum) {
                         for (std::int64_t r = 0; r < bit(h); ++r) {
                             const std::int64_t first = deposit_bits(r, high_.data(), h, base);
                             totals[static_cast<std::int64_t>(sum) * blocks_ + (first >> low_)] =
                                 sparse_block(psi, first, sum);
                         }
                     }
                 });
    if (std::find(finite_.begin(), finite_.end(), 0) != finite_.end()) {
        return false;
    }
    std::vector<double> of_sum(sums);
    for (std::size_t sum = 0; sum < sums; ++sum) {
        of_sum[sum] = pairwise_total(totals + static_cast<std::int64_t>(sum) * blocks_, blocks_);
    }
    for (std::int64_t i = 0; i < count; ++i) {
        p[i] = of_sum[sum_of_[static_cast<std::size_t>(i)]];
    }
    return true;
}

// K psi in place by apply_gate on the whole state, then both parts of every
// amplitude times 1/sqrt(p); below tiny_probability, times the exact power of
// two first and then 1/sqrt of the squared norm of the amplitudes so
// multiplied, summed in the same order as p (every block's lane total into
// the scratch kept since the constructor, then their pairwise tree: nothing
// is allocated once psi is being written).
void kraus_trajectory::apply(amp* psi, const amp* op, double p) {
    velt::apply_gate(psi, n_, qubits_.data(), k_, nullptr, 0, op);
    double pre = 1.0;
    double scale = 1.0 / std::sqrt(p);
    if (p < tiny_probability) {
        pre = renormalising_power(p);
        const std::int64_t run = bit(low_);
        double* const totals = totals_.data();
        parallel_for(blocks_, loop_work{n_, serial_below::dense_amplitudes}, [=](std::int64_t b) {
            const amp* block = psi + b * run;
            totals[b] =
                lane_total(0, run, [=](std::int64_t x) { return norm2_scaled(block[x], pre); });
        });
        scale = 1.0 / std::sqrt(pairwise_total(totals, blocks_));
    }
    constexpr std::int64_t chunk = std::int64_t{1} << 14;
    const std::int64_t n = n_;
    parallel_for(
        (n + chunk - 1) / chunk, loop_work{n, serial_below::dense_amplitudes}, [=](std::int64_t c) {
            const std::int64_t end = std::min(n, (c + 1) * chunk);
            if (pre == 1.0) {
                for (std::int64_t x = c * chunk; x < end; ++x) {
                    psi[x] = amp{static_cast<real>(static_cast<double>(psi[x].real()) * scale),
                                 static_cast<real>(static_cast<double>(psi[x].imag()) * scale)};
                }
            } else {
                for (std::int64_t x = c * chunk; x < end; ++x) {
                    psi[x] =
                        amp{static_cast<real>((static_cast<double>(psi[x].real()) * pre) * scale),
                            static_cast<real>((static_cast<double>(psi[x].imag()) * pre) * scale)};
                }
            }
        });
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
