#include "module/convert.hpp"

#include <stdexcept>

namespace velt::bind {

void fail(const char* function, const char* complaint) {
    throw std::runtime_error(std::string(function) + ": " + complaint);
}

void check_qubit(const char* function, int qubit, int max_index) {
    if (qubit < 0 || qubit > max_index) {
        fail(function, "qubit index out of range");
    }
}

writable_state::writable_state(complex_array& array, const char* function)
    : info_(array.request(/*writable=*/true)) {
    if (info_.ndim < 1) {
        fail(function, "state must have at least one dimension");
    }
}

}  // namespace velt::bind
