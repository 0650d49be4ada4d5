// Argument conversion and validation at the module's edge.
//
// Arrays arrive as complex128 C-contiguous NumPy arrays: the caller's own array
// when it already has that form, otherwise a converted temporary.  Every check
// here runs before a kernel is called, so a rejected call leaves the caller's
// arrays exactly as they were.
//
// In the complex64 compilation (velt_core.single) matrices and Kraus
// operators are converted the same way, to complex64 (NumPy rounds each part
// as astype does), but a state or rho is never converted: it must already be
// a C-contiguous numpy.ndarray of native complex64, which the kernels update
// in place, and anything else raises TypeError.
#pragma once

#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/amplitude.hpp"

namespace velt {
inline namespace VELT_PRECISION_NS {
namespace bind {

namespace py = pybind11;

// Matrices and operators (and, in complex128, states).
using complex_array = py::array_t<amp, py::array::c_style | py::array::forcecast>;

#if VELT_SINGLE
// A state or rho of velt_core.single: the object exactly as the caller
// passed it (pybind11 accepts any object here), taken by state_argument.
class state_array : public py::object {
public:
    using py::object::object;
    static bool check_(py::handle) { return true; }
};
#else
using state_array = complex_array;
#endif

// The state (or rho) argument as an array of this precision's amplitudes:
// in complex128 the array pybind11 converted; in complex64 the caller's own
// array, refused with TypeError "<function>: <what> must be a C-contiguous
// numpy.ndarray of complex64 (got <what it got>)" unless it is one.
py::array state_argument(const state_array& state, const char* function, const char* what);

// Raises RuntimeError "<function>: <complaint>".
[[noreturn]] void fail(const char* function, const char* complaint);

// Refuses qubit indices outside 0..max_index.
void check_qubit(const char* function, int qubit, int max_index);

// Marks every qubit of the list in `occupied` (qubits already range-checked),
// failing with `complaint` on one that is marked already.
std::int64_t occupy(const char* function, const int* qubits, int count, std::int64_t occupied,
                    const char* complaint);

// The qubit count of a state of `length` amplitudes, refusing a length that is
// not a power of two (0 included): "<function>: state length is not a power
// of two".
int state_qubits(const char* function, std::int64_t length);

// The elements of a complex array at an address where the kernels may read
// and write them as amp.
//
// NumPy calls an array C-contiguous whatever the alignment of its data, so a
// complex128 array cut from a byte buffer at an odd offset is passed through
// as it is, and reading amp there is undefined.  Such elements are copied into
// an aligned buffer; a writable view copies them back when it ends, so the
// caller's memory receives the result exactly as for any other array.  The
// view holds the buffer request for as long as it lives.
class amp_view {
public:
    // For reading.  The elements are also copied when they share memory with
    // `written`, the state that the kernel writes while it reads these: the
    // kernel then sees them as they were when the call began, whatever the
    // order in which workers update the state.
    explicit amp_view(const py::array& array, const amp_view* written = nullptr);
    // For writing: a read-only array raises ValueError "<function>: <what> is
    // read-only" before anything is copied or written.
    amp_view(const py::array& array, const char* function, const char* what);
    ~amp_view();
    amp_view(const amp_view&) = delete;
    amp_view& operator=(const amp_view&) = delete;

    amp* data() const { return data_; }
    std::int64_t size() const { return info_.size; }
    const py::buffer_info& info() const { return info_; }

private:
    void stage(bool copy);
    bool overlaps(const amp_view& other) const;

    py::buffer_info info_;
    std::vector<amp> staging_;
    amp* data_ = nullptr;
    bool write_back_ = false;
};

// A state array taken for writing, with at least one dimension.
class writable_state {
public:
    writable_state(const state_array& array, const char* function);

    amp* data() const { return view_.data(); }
    // Amplitudes addressed by the state-vector kernels: the first extent,
    // or none when the array holds no elements at all (shape (4, 0) has a
    // first extent of 4 but no memory behind it).
    std::int64_t length() const { return view_.size() == 0 ? 0 : view_.info().shape[0]; }
    std::int64_t size() const { return view_.size(); }
    const amp_view& view() const { return view_; }

private:
    amp_view view_;
};

}  // namespace bind
}  // namespace VELT_PRECISION_NS
}  // namespace velt

#if VELT_SINGLE
// The signature pybind11 writes into the docstrings of velt_core.single.
template <>
struct pybind11::detail::handle_type_name<velt::bind::state_array> {
    static constexpr auto name = const_name("numpy.typing.NDArray[numpy.complex64]");
};
#endif
