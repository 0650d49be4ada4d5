// A channel on k = 1..3 qubits as a superoperator on the sub-blocks of rho.
//
// The sub-block B that the qubits select (see rho_blocks.hpp), read as the
// vector b[g * 2^k + h] = B[g][h], becomes S b: entry i is the sum over j of
// S[i][j] b[j], starting from +0 and taking j in increasing order, every
// product formed, zero entries included.  That is apply_gate's arithmetic
// with S as the gate on the 2k qubits (column qubits low, row qubits high) of
// the vectorised rho, whatever S holds; the binding forms S from the Kraus
// operators (density/kraus.hpp).
//
// When every entry of S has a zero imaginary part (as for Pauli channels,
// amplitude and phase damping, any channel with real operators), each product
// is the real entry times both parts, s * b.re and s * b.im: half the
// arithmetic.  The complex product would add the terms 0 * b.im and 0 * b.re,
// signed zeros when b is finite, which change no sum that starts at +0; so on
// a finite rho both forms give the same bits, and only infinities and NaNs
// (0 * inf) tell them apart.
#include "density/kraus.hpp"
#include "density/rho_blocks.hpp"
#include "isa/kernel_table.hpp"
#include "isa/target.hpp"

namespace velt::VELT_ISA_NS {

namespace {

// Entries of S b summed side by side: independent chains of additions keep
// the adders busy while each chain waits for its previous sum.
constexpr int outputs_at_once = 4;

template <int K, bool Real>
void superop(amp* rho, std::int64_t dim, const int* qubits, const amp* s) {
    using blocks = rho_blocks<K>;
    constexpr int size = blocks::size;
    const blocks b(dim, qubits);
    for_each_block_batch<K>(
        rho, b, [=, &b](std::int64_t, amp* const* rows, const std::int64_t* cols, int count) {
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
                        const amp& e = s[(i + o) * size + j];
                        if constexpr (Real) {
                            const vec w = broadcast(e.real());
                            acc[o] = {add(acc[o].re, mul(w, x[j].re)),
                                      add(acc[o].im, mul(w, x[j].im))};
                        } else {
                            acc[o] = cadd(acc[o], cmul(broadcast(e), x[j]));
                        }
                    }
                }
                for (int o = 0; o < outputs_at_once; ++o) {
                    out[i + o] = acc[o];
                }
            }
            store_blocks<K>(b, rows, cols, count, out);
        });
}

template <bool Real>
void superop_of(amp* rho, std::int64_t dim, const int* qubits, int k, const amp* s) {
    switch (k) {
        case 1: superop<1, Real>(rho, dim, qubits, s); break;
        case 2: superop<2, Real>(rho, dim, qubits, s); break;
        case 3: superop<3, Real>(rho, dim, qubits, s); break;
        default: throw std::logic_error("apply_superop: qubit count outside 1..3");
    }
}

}  // namespace

void apply_superop(amp* rho, std::int64_t dim, const int* qubits, int k, const amp* s) {
    const std::int64_t entries = bit(4 * k);
    const bool real = std::all_of(s, s + entries, [](const amp& e) { return e.imag() == 0.0; });
    if (real) {
        superop_of<true>(rho, dim, qubits, k, s);
    } else {
        superop_of<false>(rho, dim, qubits, k, s);
    }
}

}  // namespace velt::VELT_ISA_NS
