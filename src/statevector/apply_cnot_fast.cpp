#include "statevector/kernels.hpp"
#include "statevector/two_qubit_walk.hpp"

namespace velt {

void apply_cnot_fast(amp* psi, std::int64_t n, int c, int t) {
    two_qubit_walk(n, c, t).exchange(psi, bit(c), bit(c) + bit(t));
}

}  // namespace velt
