// A channel on k = 1..3 qubits as a superoperator on the sub-blocks of rho.
//
// The sub-block B that the qubits select (see rho_blocks.hpp), read as the
// vector b[g * 2^k + h] = B[g][h], becomes S b: entry i is the sum over j of
// S[i][j] b[j], starting from +0 and taking j in increasing order, every
// product formed, zero entries included.  That is apply_gate's arithmetic
// with S as the gate on the 2k qubits (column qubits low, row qubits high) of
// the vectorised rho, whatever S holds; the binding forms S from the Kraus
// operators (density/kraus.hpp).
#include "density/kraus.hpp"
#include "isa/kernel_table.hpp"
#include "isa/target.hpp"
#include "density/rho_blocks.hpp"

namespace velt::VELT_ISA_NS {

namespace {

// Entries of S b summed side by side: independent chains of additions keep
// the adders busy while each chain waits for its previous sum.
constexpr int outputs_at_once = 4;

template <int K>
void superop(amp* rho, std::int64_t dim, const int* qubits, const amp* s) {
    using blocks = rho_blocks<K>;
    constexpr int size = blocks::size;
    const blocks b(dim, qubits);
    for_each_block_batch<K>(rho, b, [=, &b](std::int64_t, amp* const* rows,
                                            const std::int64_t* cols, int count) {
        cvec x[blocks::sizes];
        load_blocks<K>(b, rows, cols, x);
        cvec out[blocks::sizes];
        for (int i = 0; i < size; i += outputs_at_once) {
            cvec acc[outputs_at_once];
            for (cvec& a : acc) {
                a = {broadcast(0.0), broadcast(0.0)};
            }
            for (int j = 0; j < size; ++j) {
                for (int o = 0; o < outputs_at_once; ++o) {
                    acc[o] = cadd(acc[o], cmul(broadcast(s[(i + o) * size + j]), x[j]));
                }
            }
            for (int o = 0; o < outputs_at_once; ++o) {
                out[i + o] = acc[o];
            }
        }
        store_blocks<K>(b, rows, cols, count, out);
    });
}

}  // namespace

void apply_superop(amp* rho, std::int64_t dim, const int* qubits, int k, const amp* s) {
    switch (k) {
        case 1: superop<1>(rho, dim, qubits, s); break;
        case 2: superop<2>(rho, dim, qubits, s); break;
        case 3: superop<3>(rho, dim, qubits, s); break;
        default: throw std::logic_error("apply_superop: qubit count outside 1..3");
    }
}

}  // namespace velt::VELT_ISA_NS
