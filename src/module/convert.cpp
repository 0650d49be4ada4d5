#include "module/convert.hpp"

#include <cstring>
#include <stdexcept>

#include "common/bits.hpp"

namespace velt::bind {

void fail(const char* function, const char* complaint) {
    throw std::runtime_error(std::string(function) + ": " + complaint);
}

void check_qubit(const char* function, int qubit, int max_index) {
    if (qubit < 0 || qubit > max_index) {
        fail(function, "qubit index out of range");
    }
}

std::int64_t occupy(const char* function, const int* qubits, int count, std::int64_t occupied,
                    const char* complaint) {
    for (int i = 0; i < count; ++i) {
        const int q = qubits[i];
        if ((occupied & bit(q)) != 0) {
            fail(function, complaint);
        }
        occupied |= bit(q);
    }
    return occupied;
}

int state_qubits(const char* function, std::int64_t length) {
    if (!is_power_of_two(length)) {
        fail(function, "state length is not a power of two");
    }
    return log2_exact(length);
}

namespace {

// Refuses a read-only array with the function's name leading the message;
// the write request would refuse it too, with NumPy's message alone.
py::buffer_info request_for_writing(const py::array& array, const char* function,
                                    const char* what) {
    if (!array.writeable()) {
        throw py::value_error(std::string(function) + ": " + what + " is read-only");
    }
    return array.request(/*writable=*/true);
}

}  // namespace

#if VELT_SINGLE
py::array state_argument(const state_array& state, const char* function, const char* what) {
    // NumPy's type number of complex64 (NPY_CFLOAT), the same in 1.x and 2.x.
    constexpr int npy_cfloat = 14;
    std::string got;
    if (!py::isinstance<py::array>(state)) {
        got = py::str(py::type::handle_of(state).attr("__name__"));
    } else {
        const auto array = py::reinterpret_borrow<py::array>(state);
        const py::dtype type = array.dtype();
        const bool native = type.byteorder() == '=' || type.byteorder() == '<';
        if (type.num() != npy_cfloat || !native) {
            got = "numpy.ndarray of " + std::string(py::str(type));
        } else if ((array.flags() & py::array::c_style) == 0) {
            got = "numpy.ndarray of complex64 that is not C-contiguous";
        } else {
            return array;
        }
    }
    throw py::type_error(std::string(function) + ": " + what +
                         " must be a C-contiguous numpy.ndarray of complex64 (got " + got + ")");
}
#else
py::array state_argument(const state_array& state, const char*, const char*) { return state; }
#endif

amp_view::amp_view(const py::array& array, const amp_view* written) : info_(array.request()) {
    stage(written != nullptr && overlaps(*written));
}

amp_view::amp_view(const py::array& array, const char* function, const char* what)
    : info_(request_for_writing(array, function, what)) {
    stage(false);
    write_back_ = !staging_.empty();
}

amp_view::~amp_view() {
    if (write_back_) {
        std::memcpy(info_.ptr, staging_.data(), staging_.size() * sizeof(amp));
    }
}

void amp_view::stage(bool copy) {
    const auto address = reinterpret_cast<std::uintptr_t>(info_.ptr);
    if (!copy && address % alignof(amp) == 0) {
        data_ = static_cast<amp*>(info_.ptr);
        return;
    }
    staging_.resize(static_cast<std::size_t>(info_.size));
    std::memcpy(static_cast<void*>(staging_.data()), info_.ptr, staging_.size() * sizeof(amp));
    data_ = staging_.data();
}

bool amp_view::overlaps(const amp_view& other) const {
    const auto begin = reinterpret_cast<std::uintptr_t>(info_.ptr);
    const auto other_begin = reinterpret_cast<std::uintptr_t>(other.info_.ptr);
    const auto end = begin + static_cast<std::uintptr_t>(info_.size) * sizeof(amp);
    const auto other_end =
        other_begin + static_cast<std::uintptr_t>(other.info_.size) * sizeof(amp);
    return begin < other_end && other_begin < end;
}

writable_state::writable_state(const state_array& array, const char* function)
    : view_(state_argument(array, function, "state"), function, "state") {
    if (view_.info().ndim < 1) {
        fail(function, "state must have at least one dimension");
    }
}

}  // namespace velt::bind
