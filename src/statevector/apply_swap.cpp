#include "statevector/kernels.hpp"
#include "statevector/two_qubit_walk.hpp"

namespace velt {

void apply_swap(amp* psi, std::int64_t n, int a, int b) {
    two_qubit_walk(n, a, b).exchange(psi, bit(a), bit(b));
}

}  // namespace velt
