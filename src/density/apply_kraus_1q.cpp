#include <algorithm>
#include <vector>

#include "common/bits.hpp"
#include "density/kraus.hpp"
#include "parallel/parallel_for.hpp"

namespace velt {

namespace {

// The new value of one sub-block R, read as a 2x2 matrix:
//   sum over the operators, in list order, of (K R) K^dagger.
// Each entry of K R and of (K R) K^dagger is the sum of its two products; the
// latter is then added to an accumulator that starts at +0 for every
// sub-block (so a lone -0 comes out as +0, which the references reproduce).
mat2 channel_block(const mat2& r, const mat2* ops, std::size_t count) {
    mat2 acc{};
    for (std::size_t k = 0; k < count; ++k) {
        const mat2& op = ops[k];
        const amp m00 = cadd(cmul(op.m00, r.m00), cmul(op.m01, r.m10));
        const amp m01 = cadd(cmul(op.m00, r.m01), cmul(op.m01, r.m11));
        const amp m10 = cadd(cmul(op.m10, r.m00), cmul(op.m11, r.m10));
        const amp m11 = cadd(cmul(op.m10, r.m01), cmul(op.m11, r.m11));
        const amp a = cconj(op.m00);
        const amp b = cconj(op.m01);
        const amp c = cconj(op.m10);
        const amp d = cconj(op.m11);
        acc.m00 = cadd(acc.m00, cadd(cmul(m00, a), cmul(m01, b)));
        acc.m01 = cadd(acc.m01, cadd(cmul(m00, c), cmul(m01, d)));
        acc.m10 = cadd(acc.m10, cadd(cmul(m10, a), cmul(m11, b)));
        acc.m11 = cadd(acc.m11, cadd(cmul(m10, c), cmul(m11, d)));
    }
    return acc;
}

}  // namespace

// One iteration per row r with the target bit clear (a row with the bit set
// belongs to the sub-blocks of row r - s).  Such a row walks its columns
// with the target bit clear in increasing order and, for each, reads the
// sub-block (r, c), (r, c+s), (r+s, c), (r+s, c+s) from rho and writes the
// same four positions of the scratch matrix.  Sub-blocks partition the
// matrix, so every scratch element has exactly one writer, and rho is only
// read until the loop has joined.
void apply_kraus_1q(amp* rho, std::int64_t dim, int qubit, const mat2* ops, std::size_t count) {
    const std::size_t elements = static_cast<std::size_t>(dim) * static_cast<std::size_t>(dim);
    std::vector<amp> scratch(elements);  // zero-filled; throws before rho is touched
    amp* const out = scratch.data();
    const amp* const in = rho;
    const std::int64_t s = bit(qubit);

    // Only rows with the target bit clear do work, so the loop runs over those
    // alone: with the target on the highest qubit they are the whole first
    // half of the matrix, which would otherwise fall to one worker.
    parallel_for(dim / 2, loop_work{dim * dim, serial_below::kraus_elements}, [=](std::int64_t i) {
        const std::int64_t r = insert_zero_bit(i, qubit);
        const amp* top = in + r * dim;
        const amp* bottom = top + s * dim;
        amp* out_top = out + r * dim;
        amp* out_bottom = out_top + s * dim;
        for (std::int64_t c0 = 0; c0 < dim; c0 += 2 * s) {
            for (std::int64_t c = c0; c < c0 + s; ++c) {
                const mat2 block =
                    channel_block(mat2{top[c], top[c + s], bottom[c], bottom[c + s]}, ops, count);
                out_top[c] = block.m00;
                out_top[c + s] = block.m01;
                out_bottom[c] = block.m10;
                out_bottom[c + s] = block.m11;
            }
        }
    });

    // Serial, on the calling thread, after every worker has finished.
    std::copy(scratch.begin(), scratch.end(), rho);
}

}  // namespace velt
