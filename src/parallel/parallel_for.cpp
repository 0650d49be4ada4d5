#include "parallel/parallel_for.hpp"

#include <omp.h>
#include <pthread.h>

#include <atomic>

namespace velt {

namespace {

// libgomp keeps the worker pool of a thread that has run a parallel region
// across fork(), but not the threads behind it: in the child, the next
// parallel region waits forever for workers that do not exist.  (Python's
// multiprocessing forks by default on Linux.)  So once a process has switched
// the gate on, its forked children run every loop on the calling thread; the
// results do not depend on the number of workers.
std::atomic<bool> forked{false};

void on_fork_in_child() { forked.store(true, std::memory_order_relaxed); }

bool gate_from_runtime() {
    pthread_atfork(nullptr, nullptr, on_fork_in_child);
    return omp_get_max_threads() > 1;
}

}  // namespace

bool parallel_gate() {
    // Function-local static: thread-safe one-time initialisation, so a later
    // change of the runtime's thread count does not switch the gate on or off.
    static const bool gate = gate_from_runtime();
    return gate && !forked.load(std::memory_order_relaxed);
}

// With the gate on, the loop's team takes the runtime's default size, which is
// omp_get_max_threads() at that moment; with it off the calling thread runs
// alone as member 0.
int worker_slots() { return parallel_gate() ? omp_get_max_threads() : 1; }

int worker_index() { return omp_get_thread_num(); }

}  // namespace velt
