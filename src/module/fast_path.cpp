#include "module/fast_path.hpp"

#include <pybind11/numpy.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "common/trig.hpp"
#include "density/kraus.hpp"
#include "module/bind_noise.hpp"
#include "module/bindings.hpp"
#include "statevector/kernels.hpp"

namespace velt::bind {

namespace {

namespace py = pybind11;

using fastcall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// NumPy's array flags and type number (numpy/ndarraytypes.h), the same in
// NumPy 1.x and 2.x.
constexpr unsigned npy_c_contiguous = 0x0001;
constexpr unsigned npy_aligned = 0x0100;
constexpr unsigned npy_writeable = 0x0400;
// Set on arrays that warn when written (views returned by broadcast_arrays):
// the ordinary path's writable buffer request raises that warning, so such an
// array takes the ordinary path.
constexpr unsigned npy_warn_on_write = 1U << 31;
constexpr int npy_cfloat = 14;
constexpr int npy_cdouble = 15;
// The type of this precision's amplitudes: what a state must hold.
constexpr int npy_amp = single_precision ? npy_cfloat : npy_cdouble;
// complex128 elements a complex64 row rounds on its stack: a 16 x 16
// matrix, a 2 x 2 operator (complex128 rows round nothing).
constexpr std::size_t max_rounded = single_precision ? 256 : 0;
constexpr std::size_t op_rounded = single_precision ? 4 : 0;

// Room for N rounded amplitudes, left uninitialised: only the elements
// written are read (a zeroed buffer would cost every call its size).
template <std::size_t N>
struct amp_buffer {
    alignas(amp) unsigned char bytes[N > 0 ? N * sizeof(amp) : 1];
    amp* data() { return reinterpret_cast<amp*>(bytes); }
    static constexpr std::int64_t capacity = static_cast<std::int64_t>(N);
};

constexpr int max_list = 64;  // qubits in a fast-path list
constexpr int max_ops = 16;   // Kraus operators in a fast-path list
// Operators of apply_kraus and apply_kraus_sampled: as many as a channel on
// three qubits takes.
constexpr int max_channel_ops = 64;

// numpy.ndarray, looked up when the first array arrives: importing velt_core
// does not load NumPy, and neither does a call that passes no array.
PyTypeObject* ndarray_type = nullptr;

bool is_exact_ndarray(PyObject* o) {
    if (ndarray_type == nullptr) {
        if (std::strcmp(Py_TYPE(o)->tp_name, "numpy.ndarray") != 0) {
            return false;
        }
        ndarray_type = py::detail::npy_api::get().PyArray_Type_;
    }
    return Py_TYPE(o) == ndarray_type;
}

// An array in the form the ordinary path would pass through without a copy
// and without staging: data, element count (the product of the extents) and
// first extent.
struct array_ref {
    amp* data;
    std::int64_t size;
    std::int64_t first;
};

// The same for an array of `type` elements (npy_cfloat or npy_cdouble).
bool plain_array_of(PyObject* o, bool for_writing, int type, void*& data, std::int64_t& size,
                    std::int64_t& first) {
    if (!is_exact_ndarray(o)) {
        return false;
    }
    const auto* a = py::detail::array_proxy(o);
    const auto flags = static_cast<unsigned>(a->flags);
    const unsigned needed = npy_c_contiguous | npy_aligned | (for_writing ? npy_writeable : 0U);
    if ((flags & needed) != needed || (for_writing && (flags & npy_warn_on_write) != 0)) {
        return false;
    }
    const auto* d = py::detail::array_descriptor_proxy(a->descr);
    // '=' is native; '<' is native too on x86-64 (NumPy normally writes it '=').
    if (d->type_num != type || (d->byteorder != '=' && d->byteorder != '<')) {
        return false;
    }
    const std::size_t align = type == npy_cfloat ? alignof(float) : alignof(double);
    if (a->nd < 1 || reinterpret_cast<std::uintptr_t>(a->data) % align != 0) {
        return false;
    }
    size = 1;
    for (int i = 0; i < a->nd; ++i) {
        size *= a->dimensions[i];
    }
    data = a->data;
    first = a->dimensions[0];
    return true;
}

bool plain_array(PyObject* o, bool for_writing, array_ref& out) {
    void* data = nullptr;
    if (!plain_array_of(o, for_writing, npy_amp, data, out.size, out.first)) {
        return false;
    }
    out.data = static_cast<amp*>(data);
    return true;
}

// A complex128 element rounded part by part to float, as NumPy's astype
// rounds it; false when a finite part overflows to infinity, where NumPy's
// conversion in the ordinary entry reports the overflow (a RuntimeWarning,
// an error under warnings-as-errors): such an array is left to that entry.
bool round_element(const std::complex<double>& wide, amp& out) {
    out = amp{static_cast<real>(wide.real()), static_cast<real>(wide.imag())};
    return !((std::isinf(out.real()) && !std::isinf(wide.real())) ||
             (std::isinf(out.imag()) && !std::isinf(wide.imag())));
}

// A matrix or Kraus operator: this precision's array where it lies, or in
// velt_core.single a complex128 array of at most `capacity` elements, rounded
// part by part to float into `buffer` (round_element).  Such a copy cannot
// share memory with the state: `rounded` says it is one.
bool plain_operator(PyObject* o, amp* buffer, std::int64_t capacity, array_ref& out,
                    bool& rounded) {
    rounded = false;
    if (plain_array(o, false, out)) {
        return true;
    }
    if (!single_precision) {
        return false;
    }
    void* data = nullptr;
    if (!plain_array_of(o, false, npy_cdouble, data, out.size, out.first) || out.size > capacity) {
        return false;
    }
    const auto* wide = static_cast<const std::complex<double>*>(data);
    for (std::int64_t i = 0; i < out.size; ++i) {
        amp* slot = new (buffer + i) amp{};
        if (!round_element(wide[i], *slot)) {
            return false;
        }
    }
    out.data = buffer;
    rounded = true;
    return true;
}

// The state as writable_state takes it: its elements, and as its length the
// first extent, or nothing at all when the array holds no elements.
struct state_ref {
    array_ref array;
    std::int64_t length;
};

bool plain_state(PyObject* o, state_ref& out) {
    if (!plain_array(o, true, out.array)) {
        return false;
    }
    out.length = out.array.size == 0 ? 0 : out.array.first;
    return true;
}

bool plain_int(PyObject* o, int& out) {
    if (!PyLong_CheckExact(o)) {
        return false;
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(o, &overflow);
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
        return false;  // pybind11 refuses it: TypeError from the ordinary path
    }
    out = static_cast<int>(value);
    return true;
}

// What PyComplex_AsCComplex, pybind11's complex conversion, gives for these
// exact types: the value itself, or the real value with a +0 imaginary part;
// in velt_core.single each part then cast to float, as pybind11 casts it.
amp entry(double re, double im) { return amp{static_cast<real>(re), static_cast<real>(im)}; }

bool plain_entry(PyObject* o, amp& out) {
    if (PyComplex_CheckExact(o)) {
        const Py_complex c = reinterpret_cast<PyComplexObject*>(o)->cval;
        out = entry(c.real, c.imag);
    } else if (PyFloat_CheckExact(o)) {
        out = entry(PyFloat_AS_DOUBLE(o), 0.0);
    } else if (PyLong_CheckExact(o)) {
        const double value = PyLong_AsDouble(o);
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            PyErr_Clear();  // too large for a double: the ordinary path refuses it
            return false;
        }
        out = entry(value, 0.0);
    } else {
        return false;
    }
    return true;
}

bool plain_matrix(PyObject* const* args, amp* m) {
    for (int i = 0; i < 4; ++i) {
        if (!plain_entry(args[i], m[i])) {
            return false;
        }
    }
    return true;
}

// The items of an exact list or tuple of at most `limit` items.
bool plain_sequence(PyObject* o, int limit, PyObject* const*& items, int& count) {
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) {
        return false;
    }
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(o);
    if (size > limit) {
        return false;
    }
    items = PySequence_Fast_ITEMS(o);
    count = static_cast<int>(size);
    return true;
}

bool plain_int_list(PyObject* o, int* out, int& count) {
    PyObject* const* items = nullptr;
    if (!plain_sequence(o, max_list, items, count)) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        if (!plain_int(items[i], out[i])) {
            return false;
        }
    }
    return true;
}

// The ordinary path copies a matrix that shares memory with the state (see
// amp_view); the fast path leaves that case to it.
bool disjoint(const array_ref& a, const array_ref& b) {
    const auto a0 = reinterpret_cast<std::uintptr_t>(a.data);
    const auto b0 = reinterpret_cast<std::uintptr_t>(b.data);
    const auto a1 = a0 + static_cast<std::uintptr_t>(a.size) * sizeof(amp);
    const auto b1 = b0 + static_cast<std::uintptr_t>(b.size) * sizeof(amp);
    return a1 <= b0 || b1 <= a0;
}

bool no_keywords(PyObject* kwnames) { return kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0; }

// Runs a row's steps, raising what they throw as pybind11's dispatcher would.
template <class Steps>
PyObject* run(const Steps& steps) {
    try {
        steps();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The same for a row that returns an int.
template <class Steps>
PyObject* run_int(const Steps& steps) {
    int result = 0;
    try {
        result = steps();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
    return PyLong_FromLong(result);
}

// An operator of a channel row: a plain array of this precision's elements,
// or in velt_core.single one of complex128 elements (`wide`), rounded to
// complex64 when the elements are copied.
struct op_ref {
    const void* data;
    std::int64_t size;
    bool wide;
};

// The operators of a channel row: an exact list or tuple of such arrays.
bool plain_ops(PyObject* o, op_ref* ops, int& count) {
    PyObject* const* items = nullptr;
    if (!plain_sequence(o, max_channel_ops, items, count)) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        void* data = nullptr;
        std::int64_t first = 0;
        ops[i].wide = false;
        if (!plain_array_of(items[i], false, npy_amp, data, ops[i].size, first)) {
            if (!single_precision ||
                !plain_array_of(items[i], false, npy_cdouble, data, ops[i].size, first)) {
                return false;
            }
            const auto* wide = static_cast<const std::complex<double>*>(data);
            amp rounded;
            for (std::int64_t e = 0; e < ops[i].size; ++e) {
                if (!round_element(wide[e], rounded)) {
                    return false;
                }
            }
            ops[i].wide = true;
        }
        ops[i].data = data;
    }
    return true;
}

// Their elements, contiguous, copied before anything is written (so an
// operator that shares memory with the matrix or state counts as it was when
// the call began), complex128 ones rounded part by part to float as NumPy's
// astype rounds them.  Called after the shapes are checked.
std::vector<amp> copy_ops(const op_ref* ops, int count) {
    std::vector<amp> out;
    for (int i = 0; i < count; ++i) {
        if (ops[i].wide) {
            const auto* wide = static_cast<const std::complex<double>*>(ops[i].data);
            amp rounded;
            for (std::int64_t e = 0; e < ops[i].size; ++e) {
                round_element(wide[e], rounded);  // no overflow: plain_ops checked
                out.push_back(rounded);
            }
        } else {
            const auto* own = static_cast<const amp*>(ops[i].data);
            out.insert(out.end(), own, own + ops[i].size);
        }
    }
    return out;
}

// The kernel rows in the order of the function table; ordinary[row] is the
// entry pybind11 generated for it.
enum row : int {
    row_1q,
    row_cnot,
    row_controlled,
    row_swap,
    row_gate_fast,
    row_gate,
    row_kraus,
    row_diagonal,
    row_rotation,
    row_kraus_k,
    row_unitary_rho,
    row_kraus_sampled,
    row_count
};
fastcall ordinary[row_count] = {};

PyObject* fast_apply_1q(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    state_ref psi{};
    int q = 0;
    amp m[4];
    if (nargs == 6 && no_keywords(kwnames) && plain_state(args[0], psi) && plain_int(args[1], q) &&
        plain_matrix(args + 2, m)) {
        return run(
            [&] { apply_1q_checked(psi.array.data, psi.length, q, mat2{m[0], m[1], m[2], m[3]}); });
    }
    return ordinary[row_1q](self, args, nargs, kwnames);
}

PyObject* fast_apply_cnot_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    state_ref psi{};
    int c = 0;
    int t = 0;
    if (nargs == 3 && no_keywords(kwnames) && plain_state(args[0], psi) && plain_int(args[1], c) &&
        plain_int(args[2], t)) {
        return run([&] { apply_cnot_fast_checked(psi.array.data, psi.length, c, t); });
    }
    return ordinary[row_cnot](self, args, nargs, kwnames);
}

PyObject* fast_apply_controlled_1q(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    state_ref psi{};
    int c = 0;
    int t = 0;
    amp m[4];
    if (nargs == 7 && no_keywords(kwnames) && plain_state(args[0], psi) && plain_int(args[1], c) &&
        plain_int(args[2], t) && plain_matrix(args + 3, m)) {
        return run([&] {
            apply_controlled_1q_checked(psi.array.data, psi.length, c, t,
                                        mat2{m[0], m[1], m[2], m[3]});
        });
    }
    return ordinary[row_controlled](self, args, nargs, kwnames);
}

PyObject* fast_apply_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    state_ref psi{};
    int a = 0;
    int b = 0;
    if (nargs == 3 && no_keywords(kwnames) && plain_state(args[0], psi) && plain_int(args[1], a) &&
        plain_int(args[2], b)) {
        return run([&] { apply_swap_checked(psi.array.data, psi.length, a, b); });
    }
    return ordinary[row_swap](self, args, nargs, kwnames);
}

PyObject* fast_apply_gate_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    state_ref psi{};
    int targets[max_list];
    int k = 0;
    array_ref u{};
    amp_buffer<max_rounded> rounded_u;
    bool rounded = false;
    if (nargs == 3 && no_keywords(kwnames) && plain_state(args[0], psi) &&
        plain_int_list(args[1], targets, k) &&
        plain_operator(args[2], rounded_u.data(), rounded_u.capacity, u, rounded) &&
        (rounded || disjoint(psi.array, u))) {
        return run([&] {
            check_gate_fast_shape(static_cast<std::size_t>(k), u.size);
            check_gate_fast_targets(targets, k);
            velt::apply_gate_fast(psi.array.data, psi.length, targets, k, u.data);
        });
    }
    return ordinary[row_gate_fast](self, args, nargs, kwnames);
}

PyObject* fast_apply_gate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    state_ref psi{};
    int targets[max_list];
    int k = 0;
    array_ref u{};
    amp_buffer<max_rounded> rounded_u;
    bool rounded = false;
    int controls[max_list];
    int n_controls = 0;  // the default: an empty list
    if ((nargs == 3 || nargs == 4) && no_keywords(kwnames) && plain_state(args[0], psi) &&
        plain_int_list(args[1], targets, k) &&
        plain_operator(args[2], rounded_u.data(), rounded_u.capacity, u, rounded) &&
        (nargs == 3 || plain_int_list(args[3], controls, n_controls)) &&
        (rounded || disjoint(psi.array, u))) {
        return run([&] {
            check_gate_shape(static_cast<std::size_t>(k), u.size);
            check_gate_qubits(psi.length, targets, k, controls, n_controls);
            velt::apply_gate(psi.array.data, psi.length, targets, k, controls, n_controls, u.data);
        });
    }
    return ordinary[row_gate](self, args, nargs, kwnames);
}

PyObject* fast_apply_kraus_1q(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    array_ref rho{};
    int n_qubits = 0;
    int qubit = 0;
    PyObject* const* items = nullptr;
    int count = 0;
    array_ref ops[max_ops];
    amp_buffer<op_rounded> rounded_ops[max_ops];
    bool plain = nargs == 4 && no_keywords(kwnames) && plain_array(args[0], true, rho) &&
                 plain_int(args[1], n_qubits) && plain_int(args[2], qubit) &&
                 plain_sequence(args[3], max_ops, items, count);
    for (int i = 0; plain && i < count; ++i) {
        bool rounded = false;
        plain = plain_operator(items[i], rounded_ops[i].data(), rounded_ops[i].capacity, ops[i],
                               rounded);
    }
    if (!plain) {
        return ordinary[row_kraus](self, args, nargs, kwnames);
    }
    return run([&] {
        for (int i = 0; i < count; ++i) {
            check_kraus_op(ops[i].size);
        }
        const std::int64_t dim = check_kraus_register(n_qubits, qubit, rho.size);
        // Copied before rho is written, as the ordinary path does: an operator
        // that shares memory with rho counts as it was when the call began.
        mat2 records[max_ops];
        for (int i = 0; i < count; ++i) {
            std::memcpy(static_cast<void*>(&records[i]), ops[i].data, sizeof(mat2));
        }
        velt::apply_kraus_1q(rho.data, dim, qubit, records, static_cast<std::size_t>(count));
    });
}

PyObject* fast_apply_diagonal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    state_ref psi{};
    int targets[max_list];
    int k = 0;
    array_ref diag{};
    amp_buffer<max_rounded> rounded_diag;
    bool rounded = false;
    int controls[max_list];
    int n_controls = 0;  // the default: an empty list
    if ((nargs == 3 || nargs == 4) && no_keywords(kwnames) && plain_state(args[0], psi) &&
        plain_int_list(args[1], targets, k) &&
        plain_operator(args[2], rounded_diag.data(), rounded_diag.capacity, diag, rounded) &&
        (nargs == 3 || plain_int_list(args[3], controls, n_controls)) &&
        (rounded || disjoint(psi.array, diag))) {
        return run([&] {
            check_diagonal_shape(static_cast<std::size_t>(k), diag.size);
            check_diagonal_qubits(psi.length, targets, k, controls, n_controls);
            run_diagonal(psi.array.data, psi.length, targets, k, controls, n_controls, diag.data);
        });
    }
    return ordinary[row_diagonal](self, args, nargs, kwnames);
}

// The UTF-8 bytes of an exact str, as pybind11's std::string caster takes
// them (a str that has none, with lone surrogates, is left to it).
bool plain_text(PyObject* o, const char*& text, Py_ssize_t& bytes) {
    if (!PyUnicode_CheckExact(o)) {
        return false;
    }
    text = PyUnicode_AsUTF8AndSize(o, &bytes);
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// An exact float, or an exact int that a double holds, as pybind11's double
// caster reads them.
bool plain_real(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    amp value;
    if (PyLong_CheckExact(o) && plain_entry(o, value)) {
        out = value.real();
        return true;
    }
    return false;
}

PyObject* fast_apply_pauli_rotation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    state_ref psi{};
    const char* paulis = nullptr;
    Py_ssize_t bytes = 0;
    int qubits[max_list];
    int k = 0;
    double theta = 0.0;
    int controls[max_list];
    int n_controls = 0;  // the default: an empty list
    if ((nargs == 4 || nargs == 5) && no_keywords(kwnames) && plain_state(args[0], psi) &&
        plain_text(args[1], paulis, bytes) && plain_int_list(args[2], qubits, k) &&
        plain_real(args[3], theta) &&
        (nargs == 4 || plain_int_list(args[4], controls, n_controls))) {
        return run([&] {
            check_rotation_args(paulis, static_cast<std::size_t>(bytes),
                                static_cast<std::size_t>(k), theta);
            check_rotation_qubits(psi.length, qubits, k, controls, n_controls);
            const cos_sin cs = cos_sin_half(theta);
            velt::apply_pauli_rotation(psi.array.data, psi.length, qubits, paulis, k, controls,
                                       n_controls, static_cast<real>(cs.c),
                                       static_cast<real>(cs.s));
        });
    }
    return ordinary[row_rotation](self, args, nargs, kwnames);
}

PyObject* fast_apply_kraus(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    array_ref rho{};
    int n_qubits = 0;
    int qubits[max_list];
    int k = 0;
    op_ref ops[max_channel_ops];
    int count = 0;
    if (!(nargs == 4 && no_keywords(kwnames) && plain_array(args[0], true, rho) &&
          plain_int(args[1], n_qubits) && plain_int_list(args[2], qubits, k) &&
          plain_ops(args[3], ops, count))) {
        return ordinary[row_kraus_k](self, args, nargs, kwnames);
    }
    return run([&] {
        std::int64_t sizes[max_channel_ops];
        for (int i = 0; i < count; ++i) {
            sizes[i] = ops[i].size;
        }
        check_channel_ops("apply_kraus", static_cast<std::size_t>(k),
                          static_cast<std::size_t>(count), sizes);
        const std::int64_t dim = check_density_register("apply_kraus", n_qubits, qubits, k,
                                                        "repeated qubit", nullptr, 0, rho.size);
        const std::vector<amp> elements = copy_ops(ops, count);
        velt::apply_kraus(rho.data, dim, qubits, k, elements.data(),
                          static_cast<std::size_t>(count));
    });
}

PyObject* fast_apply_unitary_rho(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    array_ref rho{};
    int n_qubits = 0;
    int targets[max_list];
    int k = 0;
    array_ref u{};
    amp_buffer<max_rounded> rounded_u;
    bool rounded = false;
    int controls[max_list];
    int n_controls = 0;  // the default: an empty list
    if ((nargs == 4 || nargs == 5) && no_keywords(kwnames) && plain_array(args[0], true, rho) &&
        plain_int(args[1], n_qubits) && plain_int_list(args[2], targets, k) &&
        plain_operator(args[3], rounded_u.data(), rounded_u.capacity, u, rounded) &&
        (nargs == 4 || plain_int_list(args[4], controls, n_controls)) &&
        (rounded || disjoint(rho, u))) {
        return run([&] {
            check_unitary_rho_shape(static_cast<std::size_t>(k), u.size);
            const std::int64_t dim =
                check_density_register("apply_unitary_rho", n_qubits, targets, k,
                                       "repeated target qubit", controls, n_controls, rho.size);
            velt::apply_unitary_rho(rho.data, dim, targets, k, controls, n_controls, u.data);
        });
    }
    return ordinary[row_unitary_rho](self, args, nargs, kwnames);
}

PyObject* fast_apply_kraus_sampled(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    state_ref psi{};
    int qubits[max_list];
    int k = 0;
    op_ref ops[max_channel_ops];
    int count = 0;
    if (!(nargs == 4 && no_keywords(kwnames) && plain_state(args[0], psi) &&
          plain_int_list(args[1], qubits, k) && plain_ops(args[2], ops, count) &&
          PyFloat_CheckExact(args[3]))) {
        return ordinary[row_kraus_sampled](self, args, nargs, kwnames);
    }
    const double u = PyFloat_AS_DOUBLE(args[3]);
    return run_int([&] {
        std::int64_t sizes[max_channel_ops];
        for (int i = 0; i < count; ++i) {
            sizes[i] = ops[i].size;
        }
        check_sampled_call(psi.length, qubits, k, static_cast<std::size_t>(count), sizes, u);
        const std::vector<amp> elements = copy_ops(ops, count);
        return kraus_sampled_checked(psi.array.data, psi.length, qubits, k, elements.data(),
                                     static_cast<std::size_t>(count), u);
    });
}

struct fast_row {
    const char* name;
    fastcall entry;
};

constexpr fast_row fast_rows[row_count] = {
    {"apply_1q", fast_apply_1q},
    {"apply_cnot_fast", fast_apply_cnot_fast},
    {"apply_controlled_1q", fast_apply_controlled_1q},
    {"apply_swap", fast_apply_swap},
    {"apply_gate_fast", fast_apply_gate_fast},
    {"apply_gate", fast_apply_gate},
    {"apply_kraus_1q", fast_apply_kraus_1q},
    {"apply_diagonal", fast_apply_diagonal},
    {"apply_pauli_rotation", fast_apply_pauli_rotation},
    {"apply_kraus", fast_apply_kraus},
    {"apply_unitary_rho", fast_apply_unitary_rho},
    {"apply_kraus_sampled", fast_apply_kraus_sampled},
};

// Method records of the fast entries: a function object keeps a pointer to
// its record, so they live as long as the process.
PyMethodDef fast_defs[row_count] = {};

}  // namespace

void install_fast_paths(py::module_& m) {
    for (int r = 0; r < row_count; ++r) {
        if (ordinary[r] != nullptr || !py::hasattr(m, fast_rows[r].name)) {
            continue;  // installed by an earlier call, or registered later
        }
        const py::object generated = m.attr(fast_rows[r].name);
        PyObject* f = generated.ptr();
        if (PyCFunction_Check(f) == 0 ||
            PyCFunction_GET_FLAGS(f) != (METH_FASTCALL | METH_KEYWORDS)) {
            py::pybind11_fail("velt_core: unexpected form of a generated function");
        }
        ordinary[r] =
            reinterpret_cast<fastcall>(reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(f)));
        const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(f)->m_ml;
        fast_defs[r] = PyMethodDef{
            def->ml_name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_rows[r].entry)),
            METH_FASTCALL | METH_KEYWORDS, def->ml_doc};
        // The same bound record as the generated function: it owns the name
        // and docstring that fast_defs[r] points to, and the new function
        // keeps it alive.
        const py::object module_name = generated.attr("__module__");
        PyObject* fast =
            PyCFunction_NewEx(&fast_defs[r], PyCFunction_GET_SELF(f), module_name.ptr());
        if (fast == nullptr) {
            throw py::error_already_set();
        }
        m.attr(fast_rows[r].name) = py::reinterpret_steal<py::object>(fast);
    }
}

}  // namespace velt::bind
