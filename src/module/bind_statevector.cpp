#include "common/bits.hpp"
#include "module/bindings.hpp"
#include "statevector/kernels.hpp"

namespace velt::bind {

void apply_1q(complex_array state, int qubit, amp m00, amp m01, amp m10, amp m11) {
    constexpr const char* name = "apply_1q";
    const writable_state psi(state, name);
    // Up to 61 the block size 2^(q+1) is a positive int64; qubits at or above
    // the register width simply find no whole block and change nothing.
    check_qubit(name, qubit, max_qubit_index);
    velt::apply_1q(psi.data(), psi.length(), qubit, mat2{m00, m01, m10, m11});
}

}  // namespace velt::bind
