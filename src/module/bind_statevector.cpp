#include <vector>

#include "common/bits.hpp"
#include "module/bindings.hpp"
#include "statevector/kernels.hpp"

namespace velt::bind {

namespace {

// Marks every qubit of the list in `occupied` (qubits already range-checked),
// failing with `complaint` on one that is marked already.
std::int64_t occupy(const char* function, const std::vector<int>& qubits, std::int64_t occupied,
                    const char* complaint) {
    for (const int q : qubits) {
        if ((occupied & bit(q)) != 0) {
            fail(function, complaint);
        }
        occupied |= bit(q);
    }
    return occupied;
}

int count(const std::vector<int>& qubits) { return static_cast<int>(qubits.size()); }

}  // namespace

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
    check_qubit(name, control, max_qubit_index);
    check_qubit(name, target, max_qubit_index);
    velt::apply_cnot_fast(psi.data(), psi.length(), control, target);
}

void apply_controlled_1q(complex_array state, int control, int target, amp m00, amp m01, amp m10,
                         amp m11) {
    constexpr const char* name = "apply_controlled_1q";
    const writable_state psi(state, name);
    check_qubit(name, control, max_qubit_index);
    check_qubit(name, target, max_qubit_index);
    velt::apply_controlled_1q(psi.data(), psi.length(), control, target, mat2{m00, m01, m10, m11});
}

void apply_swap(complex_array state, int a, int b) {
    constexpr const char* name = "apply_swap";
    const writable_state psi(state, name);
    check_qubit(name, a, max_qubit_index);
    check_qubit(name, b, max_qubit_index);
    velt::apply_swap(psi.data(), psi.length(), a, b);
}

// Checks in this order: k, matrix size, the state itself (read-only, no
// dimensions), target range, repeated target.  Targets from the register width
// up to 62 are accepted and find no amplitude group, like apply_1q's qubits.
void apply_gate_fast(complex_array state, std::vector<int> targets, complex_array u) {
    constexpr const char* name = "apply_gate_fast";
    if (targets.empty() || targets.size() > 4) {
        fail(name, "k out of supported range");
    }
    if (u.size() != bit(2 * count(targets))) {
        fail(name, "matrix size mismatch");
    }
    const writable_state psi(state, name);
    for (const int q : targets) {
        check_qubit(name, q, max_qubit_index);
    }
    occupy(name, targets, 0, "repeated target qubit");
    const amp_view matrix(u, &psi.view());
    velt::apply_gate_fast(psi.data(), psi.length(), targets.data(), count(targets), matrix.data());
}

// Checks in this order: matrix size, the state itself (read-only, no
// dimensions), a length that is a power of two (0 is not: an empty state is
// refused), qubit range (targets, then controls), repeated target, control
// overlap.  The matrix size is tested first so that it is the one reported
// whatever else is wrong.
void apply_gate(complex_array state, std::vector<int> targets, complex_array u,
                std::vector<int> controls) {
    constexpr const char* name = "apply_gate";
    // 4^k has no int64 value from k = 32 on, and no matrix has that many elements.
    if (targets.size() >= 32 || u.size() != bit(2 * count(targets))) {
        fail(name, "matrix size does not match 2^|targets|");
    }
    const writable_state psi(state, name);
    if (!is_power_of_two(psi.length())) {
        fail(name, "state length is not a power of two");
    }
    const int n_qubits = log2_exact(psi.length());
    for (const int q : targets) {
        check_qubit(name, q, n_qubits - 1);
    }
    for (const int q : controls) {
        check_qubit(name, q, n_qubits - 1);
    }
    // A control that repeats a control counts as an overlap too.
    const std::int64_t occupied = occupy(name, targets, 0, "repeated target qubit");
    occupy(name, controls, occupied, "control overlaps a target qubit");
    const amp_view matrix(u, &psi.view());
    velt::apply_gate(psi.data(), psi.length(), targets.data(), count(targets), controls.data(),
                     count(controls), matrix.data());
}

}  // namespace velt::bind
