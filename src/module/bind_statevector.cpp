#include "common/bits.hpp"
#include "module/bindings.hpp"
#include "statevector/kernels.hpp"

namespace velt::bind {

void apply_1q(complex_array state, int qubit, amp m00, amp m01, amp m10, amp m11) {
    constexpr const char* name = "apply_1q";
    const writable_state psi(state, name);
    // Up to 61 the block size 2^(q+1) is a positive int64; qubits at or above
    // the register width simply find no whole block and change nothing.
    check_qubit(name, qubit, max_qubit_1q);
    velt::apply_1q(psi.data(), psi.length(), qubit, mat2{m00, m01, m10, m11});
}

void apply_cnot_fast(complex_array state, int control, int target) {
    constexpr const char* name = "apply_cnot_fast";
    const writable_state psi(state, name);
    check_qubit(name, control, max_qubit_2q);
    check_qubit(name, target, max_qubit_2q);
    velt::apply_cnot_fast(psi.data(), psi.length(), control, target);
}

void apply_controlled_1q(complex_array state, int control, int target, amp m00, amp m01, amp m10,
                         amp m11) {
    constexpr const char* name = "apply_controlled_1q";
    const writable_state psi(state, name);
    check_qubit(name, control, max_qubit_2q);
    check_qubit(name, target, max_qubit_2q);
    velt::apply_controlled_1q(psi.data(), psi.length(), control, target, mat2{m00, m01, m10, m11});
}

void apply_swap(complex_array state, int a, int b) {
    constexpr const char* name = "apply_swap";
    const writable_state psi(state, name);
    check_qubit(name, a, max_qubit_2q);
    check_qubit(name, b, max_qubit_2q);
    velt::apply_swap(psi.data(), psi.length(), a, b);
}

}  // namespace velt::bind
