// apply_diagonal and apply_pauli_rotation: checks, and the calls of their
// kernels.  Each check function is shared by the ordinary entry, the fast
// entry (fast_path.cpp) and apply_sequence's ops (bind_sequence.cpp), so a
// refusal has one text and one place in the order of checks.
#include <cmath>
#include <vector>

#include "common/bits.hpp"
#include "common/trig.hpp"
#include "module/bindings.hpp"
#include "statevector/diagonal_order.hpp"
#include "statevector/kernels.hpp"

namespace velt::bind {

namespace {

int count(const std::vector<int>& qubits) { return static_cast<int>(qubits.size()); }

// Every qubit (then every control) in 0 .. n_qubits - 1, then no repeat
// among the qubits, then no control on a qubit or another control.
void check_register(const char* name, int n_qubits, const int* qubits, int k, const int* controls,
                    int n_controls, const char* repeated, const char* overlap) {
    for (int i = 0; i < k; ++i) {
        check_qubit(name, qubits[i], n_qubits - 1);
    }
    for (int i = 0; i < n_controls; ++i) {
        check_qubit(name, controls[i], n_qubits - 1);
    }
    const std::int64_t occupied = occupy(name, qubits, k, 0, repeated);
    occupy(name, controls, n_controls, occupied, overlap);
}

}  // namespace

// Checks in this order: table size, the state itself (read-only, no
// dimensions), a length that is a power of two, the target count (1 to the
// register's size), qubit range (targets, then controls), repeated target,
// control overlap.
void check_diagonal_shape(std::size_t k, std::int64_t diag_size) {
    // 2^k has no int64 value from k = 63 on, and no table has that many entries.
    if (k >= 63 || diag_size != bit(static_cast<int>(k))) {
        fail("apply_diagonal", "diagonal size does not match 2^|targets|");
    }
}

void check_diagonal_qubits(std::int64_t n, const int* targets, int k, const int* controls,
                           int n_controls) {
    constexpr const char* name = "apply_diagonal";
    const int n_qubits = state_qubits(name, n);
    if (k == 0 || k > n_qubits) {
        fail(name, "target count out of range");
    }
    check_register(name, n_qubits, targets, k, controls, n_controls, "repeated target qubit",
                   "control overlaps a target qubit");
}

void run_diagonal(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                  int n_controls, const amp* diag) {
    if (increasing(targets, k)) {
        velt::apply_diagonal(psi, n, targets, k, controls, n_controls, diag);
        return;
    }
    constexpr int stack_targets = 4;
    int sorted[64];
    amp small[std::size_t{1} << stack_targets];
    std::vector<amp> large;
    amp* table = small;
    if (k > stack_targets) {
        large.resize(static_cast<std::size_t>(bit(k)));
        table = large.data();
    }
    sort_diagonal(targets, k, diag, sorted, table);
    velt::apply_diagonal(psi, n, sorted, k, controls, n_controls, table);
}

void apply_diagonal(state_array state, std::vector<int> targets, complex_array diag,
                    std::vector<int> controls) {
    state_argument(state, "apply_diagonal", "state");  // a TypeError comes first
    check_diagonal_shape(targets.size(), diag.size());
    const writable_state psi(state, "apply_diagonal");
    check_diagonal_qubits(psi.length(), targets.data(), count(targets), controls.data(),
                          count(controls));
    const amp_view table(diag, &psi.view());
    run_diagonal(psi.data(), psi.length(), targets.data(), count(targets), controls.data(),
                 count(controls), table.data());
}

// Checks in this order: the string's length in letters against the qubit
// list, its letters, theta, the state itself (read-only, no dimensions), a
// length that is a power of two, qubit range (the string's qubits, then the
// controls), repeated qubit, control overlap.  Letters are counted, not
// bytes: a letter outside ASCII is a bad letter, not a length mismatch.
void check_rotation_args(const char* paulis, std::size_t bytes, std::size_t n_qubits,
                         double theta) {
    constexpr const char* name = "apply_pauli_rotation";
    std::size_t letters = 0;
    bool ascii = true;
    for (std::size_t i = 0; i < bytes; ++i) {
        const auto b = static_cast<unsigned char>(paulis[i]);
        letters += (b & 0xC0) != 0x80 ? 1 : 0;  // UTF-8: every letter has one lead byte
        ascii = ascii && b < 0x80;
    }
    if (letters != n_qubits) {
        fail(name, "Pauli string length does not match the qubit list");
    }
    for (std::size_t i = 0; i < bytes; ++i) {
        const char c = paulis[i];
        if (!ascii || (c != 'I' && c != 'X' && c != 'Y' && c != 'Z')) {
            fail(name, "Pauli letter is not one of I, X, Y, Z");
        }
    }
    if (!std::isfinite(theta)) {
        fail(name, "theta is not finite");
    }
}

void check_rotation_qubits(std::int64_t n, const int* qubits, int k, const int* controls,
                           int n_controls) {
    constexpr const char* name = "apply_pauli_rotation";
    const int n_qubits = state_qubits(name, n);
    check_register(name, n_qubits, qubits, k, controls, n_controls, "repeated qubit",
                   "control overlaps a qubit of the string");
}

void apply_pauli_rotation(state_array state, const std::string& paulis, std::vector<int> qubits,
                          double theta, std::vector<int> controls) {
    state_argument(state, "apply_pauli_rotation", "state");  // a TypeError comes first
    check_rotation_args(paulis.data(), paulis.size(), qubits.size(), theta);
    const writable_state psi(state, "apply_pauli_rotation");
    check_rotation_qubits(psi.length(), qubits.data(), count(qubits), controls.data(),
                          count(controls));
    const cos_sin cs = cos_sin_half(theta);
    velt::apply_pauli_rotation(psi.data(), psi.length(), qubits.data(), paulis.data(),
                               count(qubits), controls.data(), count(controls),
                               static_cast<real>(cs.c), static_cast<real>(cs.s));
}

}  // namespace velt::bind
