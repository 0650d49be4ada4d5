// The bound read-outs: probabilities, expectation_pauli, sample, measure,
// expectation_paulis, expectation_pauli_sum, inner_product.
// Each validates everything before it reads the state's amplitudes, and
// measure everything before it writes.
#pragma once

#include <pybind11/typing.h>

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
double expectation_pauli(const state_array& state, const py::str& paulis,
                         const std::vector<int>& qubits);
py::array_t<std::int64_t> sample(const state_array& state, const real_array& uniforms);
// (outcome, probability), as a tuple made before the state is written.
py::typing::Tuple<int, double> measure(state_array state, int qubit, double u);
py::array_t<double> expectation_paulis(const state_array& state, const py::iterable& terms);
double expectation_pauli_sum(const state_array& state, const real_array& coeffs,
                             const py::iterable& terms);

// A Python complex made by the binding itself: a refused allocation of the
// result is then the MemoryError it is (pybind11's own conversion of a
// std::complex reports it as a TypeError about the return type).
struct complex_result {
    py::object value;
};

complex_result inner_product(const state_array& a, const state_array& b);

}  // namespace bind
}  // namespace VELT_PRECISION_NS
}  // namespace velt

namespace pybind11::detail {

// Return only: named "complex" in signatures, handed over as made.
template <>
struct type_caster<velt::bind::complex_result> {
    static constexpr auto name = const_name("complex");
    static handle cast(const velt::bind::complex_result& result, return_value_policy /*policy*/,
                       handle /*parent*/) {
        return result.value.inc_ref();
    }
};

}  // namespace pybind11::detail
