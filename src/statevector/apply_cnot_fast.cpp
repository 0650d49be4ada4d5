#include "isa/kernel_table.hpp"
#include "isa/target.hpp"
#include "statevector/pair_exchange.hpp"

namespace velt::VELT_ISA_NS {

void apply_cnot_fast(amp* psi, std::int64_t n, int c, int t) {
    if (c != t) {
        // control set, target clear <-> control set, target set
        exchange_pairs(psi, n, c, t, bit(c), bit(c) + bit(t));
    }
}

}  // namespace velt::VELT_ISA_NS
