#include "parallel/parallel_for.hpp"

#include <omp.h>

namespace velt {

bool parallel_gate() {
    // Function-local static: thread-safe one-time initialisation, so a later
    // change of the runtime's thread count does not switch the gate on or off.
    static const bool gate = omp_get_max_threads() > 1;
    return gate;
}

}  // namespace velt
