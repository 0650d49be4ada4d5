// The bound noise functions: the Kraus channel on one to three qubits, the
// conjugation of a density matrix by a gate, and the sampled trajectory step
// on a state vector.  Each validates everything, and copies its operators,
// before the first write.
//
// The steps below are shared with the fast entries (fast_path.cpp), so that
// both entries refuse a call with one text at one place in the order of
// checks.  They run after the density matrix or state has been taken for
// writing (read-only: ValueError first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "module/convert.hpp"

namespace velt::bind {

void apply_kraus(state_array rho, int n_qubits, const std::vector<int>& qubits,
                 const std::vector<complex_array>& kraus_ops);
void apply_unitary_rho(state_array rho, int n_qubits, const std::vector<int>& targets,
                       complex_array u, const std::vector<int>& controls);
int apply_kraus_sampled(state_array state, const std::vector<int>& qubits,
                        const std::vector<complex_array>& kraus_ops, double u);

// apply_kraus: the qubit count, the operators' count, then each operator's
// element count in list order.
void check_channel_ops(const char* function, std::size_t k, std::size_t count,
                       const std::int64_t* op_sizes);

// apply_kraus and apply_unitary_rho, after the shapes: n_qubits, the qubits
// (range, then repeats, complaining `repeated`; controls after targets), then
// rho's size; returns the matrix dimension 2^n_qubits.
std::int64_t check_density_register(const char* function, int n_qubits, const int* targets, int k,
                                    const char* repeated, const int* controls, int n_controls,
                                    std::int64_t rho_size);

// apply_unitary_rho, before the register: the target count, then u's size.
void check_unitary_rho_shape(std::size_t k, std::int64_t u_size);

// apply_kraus_sampled: the state's length (a power of two), the operators
// (check_channel_ops), the qubits (range, then repeats), then u.
void check_sampled_call(std::int64_t length, const int* qubits, int k, std::size_t count,
                        const std::int64_t* op_sizes, double u);

// The trajectory step on a checked call: the probabilities, the choice, the
// write.  ops holds the operators' elements contiguously.
int kraus_sampled_checked(amp* psi, std::int64_t length, const int* qubits, int k, const amp* ops,
                          std::size_t count, double u);

}  // namespace velt::bind
