// The bound read-outs: probabilities, expectation_pauli, sample, measure,
// expectation_paulis, expectation_pauli_sum, inner_product.
// Each validates everything before it reads the state's amplitudes, and
// measure everything before it writes.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/convert.hpp"

namespace velt::bind {

using real_array = py::array_t<double, py::array::c_style>;

py::array_t<double> probabilities(const complex_array& state,
                                  const std::optional<std::vector<int>>& qubits);
double expectation_pauli(const complex_array& state, const std::string& paulis,
                         const std::vector<int>& qubits);
py::array_t<std::int64_t> sample(const complex_array& state, const real_array& uniforms);
std::pair<int, double> measure(complex_array state, int qubit, double u);
py::array_t<double> expectation_paulis(const complex_array& state, const py::iterable& terms);
double expectation_pauli_sum(const complex_array& state, const real_array& coeffs,
                             const py::iterable& terms);
std::complex<double> inner_product(const complex_array& a, const complex_array& b);

}  // namespace velt::bind
