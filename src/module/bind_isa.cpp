// The instruction-set path: chosen at import, reported by kernel_isa.
#include <pybind11/pybind11.h>

#include <cstdlib>
#include <string>

#include "isa/kernel_table.hpp"
#include "module/bindings.hpp"

namespace velt::bind {

void select_isa() {
    // Read once: later changes of VELT_ISA do not move a running process.
    const std::string refused = isa::select(std::getenv("VELT_ISA"));
    if (!refused.empty()) {
        throw pybind11::import_error("velt_core: " + refused);
    }
}

std::string kernel_isa() { return isa::name(); }

}  // namespace velt::bind
