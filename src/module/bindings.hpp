// The bound functions: each converts and validates its arguments, then calls
// one kernel.  module.cpp registers them in the order of the function table.
//
// Each row reaches its kernel by one of two entries: the ordinary one below,
// which takes arguments as pybind11 converted them, and the fast entry of
// fast_path.hpp, which reads the common forms of argument in place.  Both go
// through the same steps (the *_checked functions and the check_* functions
// that precede taking the state), so every refusal has one text and one
// place in the order of checks whichever entry ran.  The steps trust that the
// state is writable and has a dimension: taking it checks that first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "module/convert.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {
namespace bind {

void apply_1q(state_array state, int qubit, amp m00, amp m01, amp m10, amp m11);
void apply_cnot_fast(state_array state, int control, int target);
void apply_controlled_1q(state_array state, int control, int target, amp m00, amp m01, amp m10,
                         amp m11);
void apply_swap(state_array state, int a, int b);
void apply_gate_fast(state_array state, std::vector<int> targets, complex_array u);
void apply_gate(state_array state, std::vector<int> targets, complex_array u,
                std::vector<int> controls);

void apply_sequence(state_array state, const py::iterable& ops);

void apply_kraus_1q(state_array rho, int n_qubits, int qubit,
                    const std::vector<complex_array>& kraus_ops);

// The 2x2 and permutation rows: qubit range checks, then the kernel on the
// `n` addressed amplitudes at `psi`.
void apply_1q_checked(amp* psi, std::int64_t n, int qubit, const mat2& m);
void apply_cnot_fast_checked(amp* psi, std::int64_t n, int control, int target);
void apply_controlled_1q_checked(amp* psi, std::int64_t n, int control, int target, const mat2& m);
void apply_swap_checked(amp* psi, std::int64_t n, int a, int b);

// apply_gate_fast: k and the matrix's element count, before the state is
// taken; then the targets.
void check_gate_fast_shape(std::size_t k, std::int64_t u_size);
void check_gate_fast_targets(const int* targets, int k);

// apply_gate: the matrix's element count, before the state is taken; then
// the state's length and the qubits.
void check_gate_shape(std::size_t k, std::int64_t u_size);
void check_gate_qubits(std::int64_t n, const int* targets, int k, const int* controls,
                       int n_controls);

// apply_kraus_1q, after rho is taken: each operator's element count in list
// order, then the register (returns the matrix dimension 2^n_qubits).
void check_kraus_op(std::int64_t op_size);
std::int64_t check_kraus_register(int n_qubits, int qubit, std::int64_t rho_size);

void apply_diagonal(state_array state, std::vector<int> targets, complex_array diag,
                    std::vector<int> controls);
void apply_pauli_rotation(state_array state, const std::string& paulis, std::vector<int> qubits,
                          double theta, std::vector<int> controls);

// apply_diagonal: the table's element count, before the state is taken; then
// the register (k against its size) and the qubits.
void check_diagonal_shape(std::size_t k, std::int64_t diag_size);
void check_diagonal_qubits(std::int64_t n, const int* targets, int k, const int* controls,
                           int n_controls);
// The kernel on a checked call: through a copy of the table reordered for
// increasing targets (diagonal_order.hpp) when they are not, allocated before
// the first write.
void run_diagonal(amp* psi, std::int64_t n, const int* targets, int k, const int* controls,
                  int n_controls, const amp* diag);

// apply_pauli_rotation: the string (`bytes` bytes of UTF-8 for `n_qubits`
// qubits) and the angle, before the state is taken; then the register and
// the qubits.
void check_rotation_args(const char* paulis, std::size_t bytes, std::size_t n_qubits, double theta);
void check_rotation_qubits(std::int64_t n, const int* qubits, int k, const int* controls,
                           int n_controls);

// Chooses the kernels' instruction-set path from VELT_ISA and the CPU; an
// unusable value raises ImportError.  Called once, from the module's entry.
void select_isa();
std::string kernel_isa();

}  // namespace bind
}  // namespace VELT_PRECISION_NS
}  // namespace velt
