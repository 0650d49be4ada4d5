#include "module/bind_readout.hpp"

#include <cmath>
#include <cstring>

#include "common/bits.hpp"
#include "readout/readout.hpp"

namespace velt::bind {

namespace {

// A state taken for reading: at least one dimension and a power-of-two
// length (the first extent; an array without elements has length 0).
class readable_state {
public:
    readable_state(const complex_array& array, const char* function) : view_(array) {
        if (view_.info().ndim < 1) {
            fail(function, "state must have at least one dimension");
        }
        n_qubits_ = state_qubits(function, length());
    }

    const amp* data() const { return view_.data(); }
    std::int64_t length() const { return view_.size() == 0 ? 0 : view_.info().shape[0]; }
    int n_qubits() const { return n_qubits_; }

private:
    amp_view view_;
    int n_qubits_ = 0;
};

// Every qubit in 0 .. n_qubits - 1 first, then no qubit twice.
void check_qubits(const char* function, const std::vector<int>& qubits, int n_qubits) {
    for (const int q : qubits) {
        check_qubit(function, q, n_qubits - 1);
    }
    occupy(function, qubits.data(), static_cast<int>(qubits.size()), 0, "repeated qubit");
}

bool unit_interval(double u) { return u >= 0.0 && u < 1.0; }  // false for NaN

// The total of sample and measure: anything but a positive finite number
// leaves nothing to draw from.
void check_total(const char* function, double total) {
    if (!(total > 0.0 && std::isfinite(total))) {
        fail(function, "total probability is zero or not finite");
    }
}

}  // namespace

py::array_t<double> probabilities(const complex_array& state,
                                  const std::optional<std::vector<int>>& qubits) {
    constexpr const char* name = "probabilities";
    const readable_state psi(state, name);
    if (!qubits) {
        py::array_t<double> out(psi.length());
        velt::probabilities(psi.data(), psi.length(), out.mutable_data());
        return out;
    }
    check_qubits(name, *qubits, psi.n_qubits());
    const int k = static_cast<int>(qubits->size());
    py::array_t<double> out(bit(k));
    velt::marginal_probabilities(psi.data(), psi.length(), qubits->data(), k, out.mutable_data());
    return out;
}

double expectation_pauli(const complex_array& state, const py::str& paulis,
                         const std::vector<int>& qubits) {
    constexpr const char* name = "expectation_pauli";
    const readable_state psi(state, name);
    // Counted and read in characters (code points), not in the bytes of an
    // encoding: "Xé" is two letters, the second one wrong, and a lone
    // surrogate is a letter like any other.
    PyObject* text = paulis.ptr();
    if (static_cast<std::size_t>(PyUnicode_GetLength(text)) != qubits.size()) {
        fail(name, "Pauli string length does not match the qubit list");
    }
    std::string letters(qubits.size(), 'I');
    for (std::size_t d = 0; d < letters.size(); ++d) {
        const Py_UCS4 c = PyUnicode_ReadChar(text, static_cast<Py_ssize_t>(d));
        if (c != 'I' && c != 'X' && c != 'Y' && c != 'Z') {
            fail(name, "Pauli letter is not one of I, X, Y, Z");
        }
        letters[d] = static_cast<char>(c);
    }
    check_qubits(name, qubits, psi.n_qubits());
    return velt::expectation_pauli(psi.data(), psi.length(), qubits.data(), letters.data(),
                                   static_cast<int>(qubits.size()));
}

py::array_t<std::int64_t> sample(const complex_array& state, const real_array& uniforms) {
    constexpr const char* name = "sample";
    const readable_state psi(state, name);
    const py::buffer_info info = uniforms.request();
    const auto count = static_cast<std::size_t>(info.size);
    // A float64 array cut from a byte buffer at an odd offset is read through
    // an aligned copy.
    std::vector<double> aligned;
    const double* u = static_cast<const double*>(info.ptr);
    if (reinterpret_cast<std::uintptr_t>(info.ptr) % alignof(double) != 0) {
        aligned.resize(count);
        std::memcpy(aligned.data(), info.ptr, count * sizeof(double));
        u = aligned.data();
    }
    for (std::size_t s = 0; s < count; ++s) {
        if (!unit_interval(u[s])) {
            fail(name, "uniform outside [0, 1)");
        }
    }
    const sample_table table = sample_prepare(psi.data(), psi.length());
    check_total(name, table.total);
    py::array_t<std::int64_t> out(info.shape);
    sample_search(psi.data(), table, u, info.size, out.mutable_data());
    return out;
}

// Outcome 0 when u (p0 + p1) < p0, p0 and p1 being the marginal probabilities
// of the qubit; an outcome without probability is never chosen (u (p0 + p1)
// can round up to p0 + p1 when p1 is 0).
py::typing::Tuple<int, double> measure(complex_array state, int qubit, double u) {
    constexpr const char* name = "measure";
    const writable_state psi(state, name);
    check_qubit(name, qubit, state_qubits(name, psi.length()) - 1);
    if (!unit_interval(u)) {
        fail(name, "uniform outside [0, 1)");
    }
    double half[2];
    marginal_probabilities(psi.data(), psi.length(), &qubit, 1, half);
    const double total = half[0] + half[1];
    check_total(name, total);
    int outcome = u * total < half[0] ? 0 : 1;
    if (half[outcome] == 0.0) {
        outcome = 1 - outcome;
    }
    const double p = half[outcome];
    // The result is made before the first write: the one allocation left
    // after it would be this tuple, and a refused allocation must leave the
    // state as it was.
    py::typing::Tuple<int, double> result(py::make_tuple(outcome, p / total));
    collapse(psi.data(), psi.length(), qubit, outcome, 1.0 / std::sqrt(p));
    return result;
}

}  // namespace velt::bind
