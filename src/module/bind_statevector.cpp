#include <vector>

#include "common/bits.hpp"
#include "module/bindings.hpp"
#include "statevector/kernels.hpp"

namespace velt::bind {

namespace {

int count(const std::vector<int>& qubits) { return static_cast<int>(qubits.size()); }

}  // namespace

void apply_1q_checked(amp* psi, std::int64_t n, int qubit, const mat2& m) {
    // Up to 61 the block size 2^(q+1) is a positive int64; qubits at or above
    // the register width simply find no whole block and change nothing.
    check_qubit("apply_1q", qubit, max_qubit_1q);
    velt::apply_1q(psi, n, qubit, m);
}

void apply_cnot_fast_checked(amp* psi, std::int64_t n, int control, int target) {
    check_qubit("apply_cnot_fast", control, max_qubit_index);
    check_qubit("apply_cnot_fast", target, max_qubit_index);
    velt::apply_cnot_fast(psi, n, control, target);
}

void apply_controlled_1q_checked(amp* psi, std::int64_t n, int control, int target, const mat2& m) {
    check_qubit("apply_controlled_1q", control, max_qubit_index);
    check_qubit("apply_controlled_1q", target, max_qubit_index);
    velt::apply_controlled_1q(psi, n, control, target, m);
}

void apply_swap_checked(amp* psi, std::int64_t n, int a, int b) {
    check_qubit("apply_swap", a, max_qubit_index);
    check_qubit("apply_swap", b, max_qubit_index);
    velt::apply_swap(psi, n, a, b);
}

void apply_1q(state_array state, int qubit, amp m00, amp m01, amp m10, amp m11) {
    const writable_state psi(state, "apply_1q");
    apply_1q_checked(psi.data(), psi.length(), qubit, mat2{m00, m01, m10, m11});
}

void apply_cnot_fast(state_array state, int control, int target) {
    const writable_state psi(state, "apply_cnot_fast");
    apply_cnot_fast_checked(psi.data(), psi.length(), control, target);
}

void apply_controlled_1q(state_array state, int control, int target, amp m00, amp m01, amp m10,
                         amp m11) {
    const writable_state psi(state, "apply_controlled_1q");
    apply_controlled_1q_checked(psi.data(), psi.length(), control, target,
                                mat2{m00, m01, m10, m11});
}

void apply_swap(state_array state, int a, int b) {
    const writable_state psi(state, "apply_swap");
    apply_swap_checked(psi.data(), psi.length(), a, b);
}

// Checks in this order: k, matrix size, the state itself (read-only, no
// dimensions), target range, repeated target.  Targets from the register width
// up to 62 are accepted and find no amplitude group, like apply_1q's qubits.
void check_gate_fast_shape(std::size_t k, std::int64_t u_size) {
    if (k == 0 || k > 4) {
        fail("apply_gate_fast", "k out of supported range");
    }
    if (u_size != bit(2 * static_cast<int>(k))) {
        fail("apply_gate_fast", "matrix size mismatch");
    }
}

void check_gate_fast_targets(const int* targets, int k) {
    for (int i = 0; i < k; ++i) {
        check_qubit("apply_gate_fast", targets[i], max_qubit_index);
    }
    occupy("apply_gate_fast", targets, k, 0, "repeated target qubit");
}

void apply_gate_fast(state_array state, std::vector<int> targets, complex_array u) {
    state_argument(state, "apply_gate_fast", "state");  // a TypeError comes first
    check_gate_fast_shape(targets.size(), u.size());
    const writable_state psi(state, "apply_gate_fast");
    check_gate_fast_targets(targets.data(), count(targets));
    const amp_view matrix(u, &psi.view());
    velt::apply_gate_fast(psi.data(), psi.length(), targets.data(), count(targets), matrix.data());
}

// Checks in this order: matrix size, the state itself (read-only, no
// dimensions), a length that is a power of two (0 is not: an empty state is
// refused), qubit range (targets, then controls), repeated target, control
// overlap.  The matrix size is tested first so that it is the one reported
// whatever else is wrong.
void check_gate_shape(std::size_t k, std::int64_t u_size) {
    // 4^k has no int64 value from k = 32 on, and no matrix has that many elements.
    if (k >= 32 || u_size != bit(2 * static_cast<int>(k))) {
        fail("apply_gate", "matrix size does not match 2^|targets|");
    }
}

void check_gate_qubits(std::int64_t n, const int* targets, int k, const int* controls,
                       int n_controls) {
    constexpr const char* name = "apply_gate";
    const int n_qubits = state_qubits(name, n);
    for (int i = 0; i < k; ++i) {
        check_qubit(name, targets[i], n_qubits - 1);
    }
    for (int i = 0; i < n_controls; ++i) {
        check_qubit(name, controls[i], n_qubits - 1);
    }
    // A control that repeats a control counts as an overlap too.
    const std::int64_t occupied = occupy(name, targets, k, 0, "repeated target qubit");
    occupy(name, controls, n_controls, occupied, "control overlaps a target qubit");
}

void apply_gate(state_array state, std::vector<int> targets, complex_array u,
                std::vector<int> controls) {
    state_argument(state, "apply_gate", "state");  // a TypeError comes first
    check_gate_shape(targets.size(), u.size());
    const writable_state psi(state, "apply_gate");
    check_gate_qubits(psi.length(), targets.data(), count(targets), controls.data(),
                      count(controls));
    const amp_view matrix(u, &psi.view());
    velt::apply_gate(psi.data(), psi.length(), targets.data(), count(targets), controls.data(),
                     count(controls), matrix.data());
}

}  // namespace velt::bind
