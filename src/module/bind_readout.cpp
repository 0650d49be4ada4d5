#include "module/bind_readout.hpp"

#include <cmath>
#include <cstring>

#include "common/amplitude.hpp"
#include "common/bits.hpp"
#include "readout/pauli.hpp"
#include "readout/readout.hpp"

namespace velt::bind {

namespace {

// A state taken for reading: at least one dimension and a power-of-two
// length (the first extent; an array without elements has length 0).
class readable_state {
public:
    readable_state(const state_array& array, const char* function)
        : view_(state_argument(array, function, "state")) {
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

// A Pauli string of `length` letters, letter(d) being letter d, on `qubits`,
// checked in expectation_pauli's order: lengths, letters, qubit range,
// repeats.  Complaints read "<function>: <prefix><complaint>".  Returns the
// string's masks.
template <class Letter>
pauli_string check_string(const char* function, const std::string& prefix, std::size_t length,
                          Letter&& letter, const std::vector<int>& qubits, int n_qubits) {
    const auto complain = [&](const char* complaint) {
        fail(function, (prefix + complaint).c_str());
    };
    if (length != qubits.size()) {
        complain("Pauli string length does not match the qubit list");
    }
    for (std::size_t d = 0; d < length; ++d) {
        const auto c = letter(d);
        if (c != 'I' && c != 'X' && c != 'Y' && c != 'Z') {
            complain("Pauli letter is not one of I, X, Y, Z");
        }
    }
    for (const int q : qubits) {
        if (q < 0 || q > n_qubits - 1) {
            complain("qubit index out of range");
        }
    }
    pauli_string s;
    std::int64_t seen = 0;
    for (std::size_t d = 0; d < length; ++d) {
        const std::int64_t b = bit(qubits[d]);
        if ((seen & b) != 0) {
            complain("repeated qubit");
        }
        seen |= b;
        const auto c = letter(d);
        if (c == 'X' || c == 'Y') {
            s.x |= b;
        }
        if (c == 'Y' || c == 'Z') {
            s.z |= b;
        }
        s.y += c == 'Y' ? 1 : 0;
    }
    return s;
}

// The terms of expectation_paulis and expectation_pauli_sum: each a tuple or
// list (paulis, qubits), paulis a str, qubits converted as expectation_pauli
// converts them; every term checked, in order, before anything is read.
std::vector<pauli_string> read_terms(const char* function, const py::iterable& terms,
                                     int n_qubits) {
    std::vector<pauli_string> strings;
    std::size_t index = 0;
    for (const py::handle term : terms) {
        // The prefix is spelled out only for a complaint.
        const auto prefix = [&] { return "term " + std::to_string(index) + ": "; };
        const bool pair = (py::isinstance<py::tuple>(term) || py::isinstance<py::list>(term)) &&
                          py::len(term) == 2;
        const py::sequence items =
            pair ? py::reinterpret_borrow<py::sequence>(term) : py::sequence();
        if (!pair || !py::isinstance<py::str>(items[0])) {
            throw py::value_error(std::string(function) + ": " + prefix() +
                                  "a term is a pair (paulis, qubits)");
        }
        py::detail::make_caster<std::vector<int>> caster;
        if (!caster.load(items[1], /*convert=*/true)) {
            throw py::type_error(std::string(function) + "(): incompatible function arguments: " +
                                 prefix() + "qubits must be a sequence of ints");
        }
        const auto& qubits = py::detail::cast_op<const std::vector<int>&>(caster);
        const py::object paulis = items[0];
        PyObject* text = paulis.ptr();
        const auto length = static_cast<std::size_t>(PyUnicode_GetLength(text));
        strings.push_back(check_string(
            function, prefix(), length,
            [text](std::size_t d) { return PyUnicode_ReadChar(text, static_cast<Py_ssize_t>(d)); },
            qubits, n_qubits));
        ++index;
    }
    return strings;
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

py::array_t<double> probabilities(const state_array& state,
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

double expectation_pauli(const state_array& state, const py::str& paulis,
                         const std::vector<int>& qubits) {
    constexpr const char* name = "expectation_pauli";
    const readable_state psi(state, name);
    // Counted and read in characters (code points), not in the bytes of an
    // encoding: "Xé" is two letters, the second one wrong, and a lone
    // surrogate is a letter like any other.
    PyObject* text = paulis.ptr();
    const auto letter = [text](std::size_t d) {
        return PyUnicode_ReadChar(text, static_cast<Py_ssize_t>(d));
    };
    check_string(name, "", static_cast<std::size_t>(PyUnicode_GetLength(text)), letter, qubits,
                 psi.n_qubits());
    std::string letters(qubits.size(), 'I');
    for (std::size_t d = 0; d < letters.size(); ++d) {
        letters[d] = static_cast<char>(letter(d));
    }
    return velt::expectation_pauli(psi.data(), psi.length(), qubits.data(), letters.data(),
                                   static_cast<int>(qubits.size()));
}

py::array_t<std::int64_t> sample(const state_array& state, const real_array& uniforms) {
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
py::typing::Tuple<int, double> measure(state_array state, int qubit, double u) {
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
    if (p < tiny_probability) {
        // The kept half's terms may have lost bits to underflow, and a
        // subnormal p has few: the half is summed again with its amplitudes
        // multiplied by an exact power of two, which multiplies them first.
        // The second sum only reads the state (a refused allocation in it
        // still leaves the state as it was).
        const double pre = renormalising_power(p);
        double scaled[2];
        marginal_probabilities_scaled(psi.data(), psi.length(), &qubit, 1, pre, scaled);
        collapse(psi.data(), psi.length(), qubit, outcome, pre, 1.0 / std::sqrt(scaled[outcome]));
    } else {
        collapse(psi.data(), psi.length(), qubit, outcome, 1.0 / std::sqrt(p));
    }
    return result;
}

py::array_t<double> expectation_paulis(const state_array& state, const py::iterable& terms) {
    constexpr const char* name = "expectation_paulis";
    const readable_state psi(state, name);
    const std::vector<pauli_string> strings = read_terms(name, terms, psi.n_qubits());
    const auto count = static_cast<py::ssize_t>(strings.size());
    py::array_t<double> out(count);
    velt::expectation_paulis(psi.data(), psi.length(), strings.data(), count, out.mutable_data());
    return out;
}

// The energy: from 0.0, coeffs[t] * value[t] added in term order, each
// product and sum rounded on its own.
double expectation_pauli_sum(const state_array& state, const real_array& coeffs,
                             const py::iterable& terms) {
    constexpr const char* name = "expectation_pauli_sum";
    const readable_state psi(state, name);
    const std::vector<pauli_string> strings = read_terms(name, terms, psi.n_qubits());
    const py::buffer_info info = coeffs.request();
    if (static_cast<std::size_t>(info.size) != strings.size()) {
        fail(name, "coeffs and terms have different lengths");
    }
    // Copied whole: a float64 array cut from a byte buffer at an odd offset
    // is read like any other.
    std::vector<double> c(strings.size());
    if (!c.empty()) {
        std::memcpy(c.data(), info.ptr, c.size() * sizeof(double));
    }
    std::vector<double> values(strings.size());
    velt::expectation_paulis(psi.data(), psi.length(), strings.data(),
                             static_cast<std::int64_t>(strings.size()), values.data());
    double total = 0.0;
    for (std::size_t t = 0; t < values.size(); ++t) {
        total = add(total, mul(c[t], values[t]));
    }
    return total;
}

complex_result inner_product(const state_array& a, const state_array& b) {
    constexpr const char* name = "inner_product";
    const amp_view va(state_argument(a, name, "a"));
    const amp_view vb(state_argument(b, name, "b"));
    if (va.info().ndim < 1) {
        fail(name, "a must have at least one dimension");
    }
    if (vb.info().ndim < 1) {
        fail(name, "b must have at least one dimension");
    }
    const std::int64_t length = va.size() == 0 ? 0 : va.info().shape[0];
    if (length != (vb.size() == 0 ? 0 : vb.info().shape[0])) {
        fail(name, "a and b have different lengths");
    }
    state_qubits(name, length);
    const std::complex<double> v = velt::inner_product(va.data(), vb.data(), length);
    PyObject* result = PyComplex_FromDoubles(v.real(), v.imag());
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return {py::reinterpret_steal<py::object>(result)};
}

}  // namespace velt::bind
