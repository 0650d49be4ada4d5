// Argument conversion and validation at the module's edge.
//
// Arrays arrive as complex128 C-contiguous NumPy arrays: the caller's own array
// when it already has that form, otherwise a converted temporary.  Every check
// here runs before a kernel is called, so a rejected call leaves the caller's
// arrays exactly as they were.
#pragma once

#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>

#include "common/amplitude.hpp"

namespace velt::bind {

namespace py = pybind11;

using complex_array = py::array_t<amp, py::array::c_style | py::array::forcecast>;

// Raises RuntimeError "<function>: <complaint>".
[[noreturn]] void fail(const char* function, const char* complaint);

// Refuses qubit indices outside 0..max_index.
void check_qubit(const char* function, int qubit, int max_index);

// A state array taken for writing.  Requesting write access makes NumPy refuse
// a read-only array (ValueError) before anything is touched.  The view lives
// as long as this object.
class writable_state {
public:
    writable_state(complex_array& array, const char* function);

    amp* data() const { return static_cast<amp*>(info_.ptr); }
    // Amplitudes addressed by the state-vector kernels: the first extent,
    // or none when the array holds no elements at all (shape (4, 0) has a
    // first extent of 4 but no memory behind it).
    std::int64_t length() const { return info_.size == 0 ? 0 : info_.shape[0]; }
    std::int64_t size() const { return info_.size; }

private:
    py::buffer_info info_;
};

}  // namespace velt::bind
