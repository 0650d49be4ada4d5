// The one parallel-loop frame of the module.
//
// Every kernel prepares its launch values on the calling thread and then hands
// an outer count and a per-iteration body to parallel_for.  Iterations are
// split into contiguous ranges by OpenMP's static schedule; each iteration
// writes a set of amplitudes that no other iteration touches, so the result is
// the same bit for bit whatever the number of workers.  The body must not
// throw: an exception cannot leave an OpenMP region.
#pragma once

#include <cstdint>

namespace velt {

// True when the OpenMP runtime offered more than one thread the first time
// this was asked in the process; never recomputed afterwards.  Always false
// in a process forked after that (the runtime's workers do not survive fork).
bool parallel_gate();

// Per-worker scratch.  A kernel that needs scratch memory allocates
// worker_slots() slots on the calling thread, right before parallel_for (so an
// allocation failure is raised before anything is written), and a body picks
// its slot with worker_index().  The team of the next parallel_for never has
// more members than worker_slots() reports, and every member's index is below
// it; one slot is enough when the gate is off.
int worker_slots();
int worker_index();

template <class Body>
void parallel_for(std::int64_t count, const Body& body) {
    const bool gate = parallel_gate();
#pragma omp parallel for if (gate) schedule(static)
    for (std::int64_t i = 0; i < count; ++i) {
        body(i);
    }
}

}  // namespace velt
