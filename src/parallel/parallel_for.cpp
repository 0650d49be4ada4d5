#include "parallel/parallel_for.hpp"

#include <omp.h>

namespace velt {

bool parallel_gate() {
    // Function-local static: thread-safe one-time initialisation, so a later
    // change of the runtime's thread count does not switch the gate on or off.
    static const bool gate = omp_get_max_threads() > 1;
    return gate;
}

// With the gate on, the loop's team takes the runtime's default size, which is
// omp_get_max_threads() at that moment; with it off the calling thread runs
// alone as member 0.
int worker_slots() { return parallel_gate() ? omp_get_max_threads() : 1; }

int worker_index() { return omp_get_thread_num(); }

}  // namespace velt
