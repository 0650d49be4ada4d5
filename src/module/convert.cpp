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
py::buffer_info request_for_writing(complex_array& array, const char* function, const char* what) {
    if (!array.writeable()) {
        throw py::value_error(std::string(function) + ": " + what + " is read-only");
    }
    return array.request(/*writable=*/true);
}

}  // namespace

amp_view::amp_view(const complex_array& array, const amp_view* written) : info_(array.request()) {
    stage(written != nullptr && overlaps(*written));
}

amp_view::amp_view(complex_array& array, const char* function, const char* what)
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

writable_state::writable_state(complex_array& array, const char* function)
    : view_(array, function, "state") {
    if (view_.info().ndim < 1) {
        fail(function, "state must have at least one dimension");
    }
}

}  // namespace velt::bind
