// The bound read-outs: probabilities, expectation_pauli, sample, measure.
// Each validates everything before it reads the state's amplitudes, and
// measure everything before it writes.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/convert.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {
namespace bind {

using real_array = py::array_t<double, py::array::c_style>;

py::array_t<double> probabilities(const state_array& state,
                                  const std::optional<std::vector<int>>& qubits);
double expectation_pauli(const state_array& state, const std::string& paulis,
                         const std::vector<int>& qubits);
py::array_t<std::int64_t> sample(const state_array& state, const real_array& uniforms);
std::pair<int, double> measure(state_array state, int qubit, double u);

}  // namespace bind
}  // namespace VELT_PRECISION_NS
}  // namespace velt
