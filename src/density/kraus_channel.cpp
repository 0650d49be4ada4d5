// The Kraus channel on one to three qubits: the operators are turned into the
// form the path's kernel takes, on the calling thread, before rho is touched.
// Compiled once, for the baseline: the arithmetic here (velt::cmul and
// velt::cadd, each operation with its operands in the order written) is the
// same whichever path runs the kernel.
#include <vector>

#include "common/bits.hpp"
#include "density/kraus.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {

void apply_kraus(amp* rho, std::int64_t dim, const int* qubits, int k, const amp* ops,
                 std::size_t count) {
    if (k == 1) {
        std::vector<mat2> records(count);
        for (std::size_t i = 0; i < count; ++i) {
            records[i] = mat2{ops[4 * i], ops[4 * i + 1], ops[4 * i + 2], ops[4 * i + 3]};
        }
        apply_kraus_1q(rho, dim, qubits[0], records.data(), count);
        return;
    }
    // S[(g,h)][(a,b)], with (g,h) at g * side + h: the product of
    // K[g][a] and conj(K[h][b]) for the first operator, plus those of the
    // others in list order.  The operators' count is at least one.
    const std::int64_t side = bit(k);
    const std::int64_t size = side * side;
    const std::size_t op_size = static_cast<std::size_t>(size);
    std::vector<amp> s(static_cast<std::size_t>(size * size));
    for (std::int64_t g = 0; g < side; ++g) {
        for (std::int64_t h = 0; h < side; ++h) {
            for (std::int64_t a = 0; a < side; ++a) {
                for (std::int64_t b = 0; b < side; ++b) {
                    const std::size_t left = static_cast<std::size_t>(g * side + a);
                    const std::size_t right = static_cast<std::size_t>(h * side + b);
                    amp sum = cmul(ops[left], cconj(ops[right]));
                    for (std::size_t i = 1; i < count; ++i) {
                        const amp* op = ops + i * op_size;
                        sum = cadd(sum, cmul(op[left], cconj(op[right])));
                    }
                    s[static_cast<std::size_t>((g * side + h) * size + a * side + b)] = sum;
                }
            }
        }
    }
    apply_superop(rho, dim, qubits, k, s.data());
}

}  // namespace VELT_PRECISION_NS
}  // namespace velt
