#include "isa/kernel_table.hpp"
#include "isa/target.hpp"
#include "statevector/pair_exchange.hpp"

namespace velt::VELT_ISA_NS {

void apply_swap(amp* psi, std::int64_t n, int a, int b) {
    if (a != b) {
        // a set, b clear <-> a clear, b set
        exchange_pairs(psi, n, a, b, bit(a), bit(b));
    }
}

}  // namespace velt::VELT_ISA_NS
