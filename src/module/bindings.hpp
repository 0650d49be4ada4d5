// The bound functions: each converts and validates its arguments, then calls
// one kernel.  module.cpp registers them in the order of the function table.
#pragma once

#include <string>
#include <vector>

#include "module/convert.hpp"

namespace velt::bind {

void apply_1q(complex_array state, int qubit, amp m00, amp m01, amp m10, amp m11);
void apply_cnot_fast(complex_array state, int control, int target);
void apply_controlled_1q(complex_array state, int control, int target, amp m00, amp m01, amp m10,
                         amp m11);
void apply_swap(complex_array state, int a, int b);
void apply_gate_fast(complex_array state, std::vector<int> targets, complex_array u);
void apply_gate(complex_array state, std::vector<int> targets, complex_array u,
                std::vector<int> controls);

void apply_kraus_1q(complex_array rho, int n_qubits, int qubit,
                    const std::vector<complex_array>& kraus_ops);

// Chooses the kernels' instruction-set path from VELT_ISA and the CPU; an
// unusable value raises ImportError.  Called once, from the module's entry.
void select_isa();
std::string kernel_isa();

}  // namespace velt::bind
