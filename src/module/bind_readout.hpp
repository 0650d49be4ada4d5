// The bound read-outs: probabilities, expectation_pauli, sample, measure.
// Each validates everything before it reads the state's amplitudes, and
// measure everything before it writes.
#pragma once

#include <pybind11/typing.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/convert.hpp"

namespace velt::bind {

using real_array = py::array_t<double, py::array::c_style>;

py::array_t<double> probabilities(const complex_array& state,
                                  const std::optional<std::vector<int>>& qubits);
double expectation_pauli(const complex_array& state, const py::str& paulis,
                         const std::vector<int>& qubits);
py::array_t<std::int64_t> sample(const complex_array& state, const real_array& uniforms);
// (outcome, probability), as a tuple made before the state is written.
py::typing::Tuple<int, double> measure(complex_array state, int qubit, double u);

}  // namespace velt::bind
