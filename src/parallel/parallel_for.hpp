// The one parallel-loop frame of the module.
//
// Every kernel prepares its launch values on the calling thread and then hands
// an outer count and a per-iteration body to parallel_for.  Iterations are
// split into contiguous ranges; each iteration writes a set of amplitudes that
// no other iteration touches and runs its inner loops in order, so the result
// is the same bit for bit whatever the number of workers and whichever worker
// runs which range.  The body must not throw: nothing could catch it on a
// worker thread.
//
// A loop runs on the calling thread alone, without waking a worker, when
//   - the parallel gate is off (one thread offered, or a forked child),
//   - it has a single iteration,
//   - its work is below its kernel family's threshold (serial_below), or
//   - it is called from inside a loop of this frame or an OpenMP parallel
//     region: the enclosing loop already shares the work out.
// Otherwise the workers of the module's own pool join it (see parallel_for.cpp
// for why the module does not open an OpenMP region).
#pragma once

#include <cstdint>

namespace velt {

// True when the OpenMP runtime offered more than one thread the first time
// this was asked in the process; never recomputed afterwards.  Always false
// in a process forked after that (the workers do not survive fork).
bool parallel_gate();

// Per-worker scratch.  A kernel that needs scratch memory allocates
// worker_slots() slots on the calling thread, right before parallel_for (so an
// allocation failure is raised before anything is written), and a body picks
// its slot with worker_index().  The next parallel_for runs its body on no
// more threads than worker_slots() reports, and every such thread's index is
// below it; a loop run on the calling thread alone uses slot 0.  The count is
// at most max_threads, whatever OMP_NUM_THREADS says, and at most the CPUs
// the process may run on (see parallel_for.cpp).
inline constexpr int max_threads = 256;
int worker_slots();
int worker_index();

// True on a thread that is running a body of this frame's team or is inside
// an OpenMP parallel region.
bool inside_parallel_loop();

// How much work one call does, in the unit of its kernel family, and the
// amount below which that family runs on the calling thread: waking a worker
// and handing it half the loop costs a few microseconds, which only pays off
// above these sizes (measured with bench/bench_calls.py --crossover).
struct loop_work {
    std::int64_t amount;
    std::int64_t serial_below;
};

namespace serial_below {
// The 2x2 and permutation kernels (apply_1q, apply_cnot_fast, apply_swap,
// apply_controlled_1q): pairs of amplitudes updated, so a CNOT on n qubits
// (2^(n-2) pairs) counts half as much as a 2x2 gate (2^(n-1) pairs).
inline constexpr std::int64_t pairs = std::int64_t{1} << 14;
// The dense gates (apply_gate_fast, apply_gate): amplitudes in the walk, that
// is groups times group size.
inline constexpr std::int64_t dense_amplitudes = std::int64_t{1} << 14;
// The Kraus channel: elements of the density matrix.
inline constexpr std::int64_t kraus_elements = std::int64_t{1} << 12;
// The diagonal gate and the Pauli rotations: amplitudes updated, each by one
// complex product or one pair half (half the work of a 2x2 gate's pair).
inline constexpr std::int64_t phase_amplitudes = std::int64_t{1} << 15;
}  // namespace serial_below

namespace detail {

// Runs iterations [begin, end) of the loop `body` points to.
using range_call = void (*)(const void* body, std::int64_t begin, std::int64_t end);

// Shares iterations 0..count-1 out over the pool and the calling thread and
// returns when all have run.
void run_shared(std::int64_t count, range_call call, const void* body);

// Whether a loop of `count` iterations is shared out (see above).
bool share(std::int64_t count);

// Never inlined: a loop run on the calling thread alone and one shared out
// then execute the same machine code.  Compiled twice, the body's arithmetic
// could come out with the operands of an addition or product swapped, which
// changes nothing but which of two NaN operands survives, and the bytes must
// not depend on the thread count even there.
template <class Body>
[[gnu::noinline]] void run_range(const void* body, std::int64_t begin, std::int64_t end) {
    const Body& b = *static_cast<const Body*>(body);
    for (std::int64_t i = begin; i < end; ++i) {
        b(i);
    }
}

}  // namespace detail

// Runs body(i) for i = 0..count-1 (none when count < 1), each range of
// iterations in increasing order.
template <class Body>
void parallel_for(std::int64_t count, const Body& body) {
    if (detail::share(count)) {
        detail::run_shared(count, &detail::run_range<Body>, &body);
    } else {
        detail::run_range<Body>(&body, 0, count);
    }
}

// The same, on the calling thread alone while work.amount < work.serial_below.
template <class Body>
void parallel_for(std::int64_t count, loop_work work, const Body& body) {
    if (work.amount >= work.serial_below && detail::share(count)) {
        detail::run_shared(count, &detail::run_range<Body>, &body);
    } else {
        detail::run_range<Body>(&body, 0, count);
    }
}

}  // namespace velt
