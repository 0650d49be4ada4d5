// The worker pool behind parallel_for.
//
// Why not an OpenMP parallel region: libgomp's threads wait for work, and at
// the region's closing barrier, by spinning (GOMP_SPINCOUNT, 300000 rounds of
// pause by default, several milliseconds) before they sleep.  A thread that
// spins between kernel calls never sleeps during a gate sequence, so the
// scheduler treats it as busy: when another process keeps one of two cores
// busy, that worker shares its core with the process in slices of
// milliseconds, and every region whose share the worker holds waits at the
// closing barrier until the worker's next slice.  The wait policy is a
// process-wide setting, read once from the environment, that the caller's
// other OpenMP code relies on; the module may not change it.  So the module
// runs its loops on a pool of its own, where:
//   - the iterations are cut into chunks that the calling thread and the
//     workers claim one at a time, so the calling thread starts at once and
//     takes every chunk that no worker has claimed: it never waits for a
//     worker that is not running, only for chunks already being worked on;
//   - a worker spins only briefly after a loop and then sleeps, so it stays
//     a thread that the scheduler wakes promptly rather than a busy one.
// The team size is still the OpenMP runtime's thread count (OMP_NUM_THREADS,
// omp_set_num_threads), read for every loop, up to max_team members; but the
// pool starts no more threads (the calling thread included) than the process
// has CPUs to run them on.  A team larger than that still cuts its loop into
// one share per member, and the threads take the shares of the members that
// have none.  More threads than CPUs could only take turns: every loop
// would wake them all, each wake-up of a thread that must wait for a core
// costs the running ones time, and a thread descheduled while it holds a
// chunk makes the caller wait for it (on 2 CPUs, 200 calls on 2^18
// amplitudes took 14 times as long with 64 threads as with 2, and 100 times
// with 256; capped, they take the time of 2).
//
// The chunks of a loop are split into one contiguous share per team member,
// the same shares for every loop of the same length: a member takes the
// chunks of its own share first, so that from call to call it works on the
// same memory, which then stays in its core's cache, and only then takes
// what is left of the others' shares.  Each share is published as one 64-bit
// word, the loop's number in the high half and the share's next unclaimed
// chunk in the low half, beside the loop's description.  A thread claims
// chunk i of loop g by swapping a word from (g, i) to (g, i + 1).  When every
// chunk of loop g is done the caller closes every share, (g, all ones), and
// only then describes and publishes loop g + 1: a word only ever grows, so a
// successful swap proves that the description read just before it was that
// of loop g, still live, and a worker that arrives late finds the words moved
// on and claims nothing.
//
// Why that proof holds in the C++ memory model, not only by x86's ordering
// (pool::run writes, pool::take_one reads):
//   - every field of the description is written with a release store and
//     read with an acquire load, and so is every share's word;
//   - a worker reads a share's word W (loop g, acquire), then the fields it
//     needs, then swaps W for W + 1.
// The acquire of W synchronises with the store that published it, which
// comes after loop g's description was written: every field read is g's or a
// later loop's.  Had a field come from loop g + 1, its release store comes
// after the caller's store that closed W's share, and the acquire load that
// read it makes that close happen before the worker's swap; the swap, a
// read-modify-write, then reads the closed word or a later one, never W, and
// fails.  So a swap that succeeds read W while loop g was open, and every
// field used with it was g's.  With relaxed fields, as the code once had,
// only x86's own ordering of loads and of stores made this so.  On x86
// these acquire loads and release stores are the same plain moves; they
// only keep the compiler from reordering them.
//
// The team has at most max_team members whatever thread count is asked for,
// and per-worker scratch (worker_slots) has one slot per thread that can run
// a loop, so a huge OMP_NUM_THREADS costs neither threads nor memory.
#include "parallel/parallel_for.hpp"

#include <omp.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velt {

namespace {

// The runtime's workers and the pool's do not survive fork(): in a child, a
// loop would wait forever for workers that do not exist.  (Python's
// multiprocessing forks by default on Linux.)  So once a process has switched
// the gate on, its forked children run every loop on the calling thread; the
// results do not depend on the number of workers.
std::atomic<bool> forked{false};

void on_fork_in_child() { forked.store(true, std::memory_order_relaxed); }

bool gate_from_runtime() {
    pthread_atfork(nullptr, nullptr, on_fork_in_child);
    return omp_get_max_threads() > 1;
}

// 0 on the calling thread, 1.. on the pool's workers.
thread_local int this_worker = 0;
// Set while a thread runs bodies of a shared loop.
thread_local bool in_shared_loop = false;

void relax() {
#if defined(__SSE2__)
    _mm_pause();
#endif
}

// How long a worker keeps looking for the next loop before it sleeps: long
// enough to catch the next call of a gate sequence on an idle machine, short
// against a scheduler's time slice.
constexpr std::chrono::microseconds worker_spin{50};

// Chunks per team member: enough that a late or descheduled worker leaves
// only a small part of the loop for the others to wait on.
constexpr std::int64_t chunks_per_member = 8;

// The largest team: larger thread counts leave the rest of the threads out.
constexpr int max_team = max_threads;

constexpr int index_bits = 32;
constexpr std::uint64_t index_mask = (std::uint64_t{1} << index_bits) - 1;

// The CPUs this process may run on (its affinity mask), when the pool is
// made; unknown (more than cpu_set_t holds, say): no limit.
int usable_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return max_team;
    }
    return std::max(1, CPU_COUNT(&set));
}

class pool {
public:
    int workers() const { return started_.load(std::memory_order_acquire); }
    int thread_cap() const { return thread_cap_; }

    void run(std::int64_t count, detail::range_call call, const void* body, int team) {
        grow(std::min(team, thread_cap_) - 1);
        const std::int64_t chunk = std::max<std::int64_t>(
            1, count / (static_cast<std::int64_t>(team) * chunks_per_member));
        const std::int64_t chunks = (count + chunk - 1) / chunk;
        const std::uint64_t loop = loop_.load(std::memory_order_relaxed) + 1;

        // The description, in release stores (see the top of this file).
        done_.store(0, std::memory_order_release);
        count_.store(count, std::memory_order_release);
        chunk_.store(chunk, std::memory_order_release);
        call_.store(call, std::memory_order_release);
        body_.store(body, std::memory_order_release);
        team_.store(team, std::memory_order_release);
        for (int m = 0; m < team; ++m) {
            shares_[m].end.store(share_begin(chunks, m + 1, team), std::memory_order_release);
        }
        for (int m = 0; m < team; ++m) {
            const auto begin = static_cast<std::uint64_t>(share_begin(chunks, m, team));
            shares_[m].word.store((loop << index_bits) | begin, std::memory_order_release);
        }
        {
            // Under the lock, so that a worker about to sleep sees the new loop.
            const std::lock_guard<std::mutex> lock(mutex_);
            loop_.store(loop, std::memory_order_release);
        }
        if (sleepers_.load(std::memory_order_seq_cst) > 0) {
            wake_.notify_all();
        }

        in_shared_loop = true;
        take_chunks(0);
        in_shared_loop = false;
        // Only chunks that a running worker has claimed remain.
        for (int spins = 0; done_.load(std::memory_order_acquire) < chunks; ++spins) {
            if (spins < 4096) {
                relax();
            } else {
                std::this_thread::yield();  // the worker may be waiting for this core
            }
        }
        // Closed: no claim of this loop can succeed any more, whatever the
        // next loop's description says, which is written from here on.
        for (int m = 0; m < team; ++m) {
            shares_[m].word.store((loop << index_bits) | index_mask, std::memory_order_release);
        }
    }

private:
    // The first chunk of member m's share: the chunks are split into `team`
    // contiguous shares, the same for every loop of the same length.
    static std::int64_t share_begin(std::int64_t chunks, int m, int team) {
        return chunks * m / team;
    }

    // Claims one chunk of the current loop, from the member's own share
    // first and then from the others' in turn, and runs it; false when no
    // chunk is left.  A member that keeps its share from loop to loop keeps
    // the memory it works on in its own core's cache: a state of a few MiB
    // stays in the cores' private caches across calls, where chunks handed
    // out first come, first served would move between them on every call.
    bool take_one(int member) {
        // Maybe the next loop's already: then every swap below fails.
        const int team = team_.load(std::memory_order_acquire);
        if (member >= team) {
            return false;
        }
        for (int s = 0; s < team; ++s) {
            share& from = shares_[(member + s) % team];
            std::uint64_t word = from.word.load(std::memory_order_acquire);
            for (;;) {
                const std::int64_t end = from.end.load(std::memory_order_acquire);
                const std::int64_t count = count_.load(std::memory_order_acquire);
                const std::int64_t chunk = chunk_.load(std::memory_order_acquire);
                const detail::range_call call = call_.load(std::memory_order_acquire);
                const void* body = body_.load(std::memory_order_acquire);
                const auto index = static_cast<std::int64_t>(word & index_mask);
                if (index >= end) {
                    break;
                }
                // A successful swap proves that the share was still open, so
                // that the description read since the word was that of its loop.
                if (from.word.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel,
                                                    std::memory_order_acquire)) {
                    const std::int64_t begin = index * chunk;
                    call(body, begin, std::min(begin + chunk, count));
                    done_.fetch_add(1, std::memory_order_release);
                    return true;
                }
            }
        }
        return false;
    }

    // Claims and runs chunks of the current loop until none is left.
    void take_chunks(int member) {
        while (take_one(member)) {
        }
    }

    void work(int member) {
        this_worker = member;
        in_shared_loop = true;
        std::uint64_t seen = 0;  // the number of the last loop looked at
        for (;;) {
            auto loop = [this] { return loop_.load(std::memory_order_acquire); };
            auto stopping = [this] { return stopping_.load(std::memory_order_acquire); };
            const auto until = std::chrono::steady_clock::now() + worker_spin;
            while (loop() == seen && std::chrono::steady_clock::now() < until) {
                for (int i = 0; i < 64 && loop() == seen; ++i) {
                    relax();
                }
            }
            if (loop() == seen) {
                sleepers_.fetch_add(1, std::memory_order_seq_cst);
                std::unique_lock<std::mutex> lock(mutex_);
                // A timed wait on the steady clock: libstdc++ inlines it down to
                // pthread_cond_clockwait, while the untimed wait() is a library
                // symbol new in GCC 12 (GLIBCXX_3.4.30) that would raise the
                // wheel's manylinux tag above glibc 2.34.  The timeout only
                // bounds each sleep; the predicate decides.
                while (loop() == seen && !stopping()) {
                    wake_.wait_for(lock, std::chrono::seconds(10));
                }
                sleepers_.fetch_sub(1, std::memory_order_relaxed);
            }
            if (stopping()) {
                return;
            }
            seen = loop();
            take_chunks(member);
        }
    }

public:
    // Ends the workers when the process exits, so that nothing runs beside
    // the exit handlers (a leak checker among them).  Not in a forked child,
    // where the threads do not exist.
    void stop() {
        if (forked.load(std::memory_order_relaxed)) {
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_.store(true, std::memory_order_release);
        }
        wake_.notify_all();
        for (std::thread& t : threads_) {
            t.join();
        }
        threads_.clear();
    }

private:
    // Starts workers until there are `wanted`, on the calling thread.  One
    // that cannot be started leaves fewer threads to take the team's shares;
    // the results are the same.
    void grow(int wanted) {
        for (int have = workers(); have < wanted; ++have) {
            try {
                threads_.reserve(static_cast<std::size_t>(wanted));
                threads_.emplace_back(&pool::work, this, have + 1);
            } catch (...) {
                return;
            }
            started_.store(have + 1, std::memory_order_release);
        }
    }

    // One member's share of the current loop: the word holds the loop's
    // number in its high half and the share's next unclaimed chunk in the
    // low half; the share ends before chunk `end`.
    struct alignas(64) share {
        std::atomic<std::uint64_t> word{index_mask};
        std::atomic<std::int64_t> end{0};
    };
    share shares_[max_team];
    std::atomic<std::uint64_t> loop_{0};
    std::atomic<std::int64_t> done_{0};
    std::atomic<std::int64_t> count_{0};
    std::atomic<std::int64_t> chunk_{1};
    std::atomic<detail::range_call> call_{nullptr};
    std::atomic<const void*> body_{nullptr};
    std::atomic<int> team_{0};
    std::atomic<int> started_{0};
    std::atomic<int> sleepers_{0};
    std::atomic<bool> stopping_{false};
    // The most threads a loop runs on, the calling thread included.
    const int thread_cap_ = std::min(usable_cpus(), max_team);
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
};

// Never destroyed (its workers may outlive static destruction in a process
// that ends without running exit handlers); its workers end at exit.
pool& the_pool();

pool* make_pool() {
    auto* p = new pool();
    std::atexit([] { the_pool().stop(); });
    return p;
}

pool& the_pool() {
    static pool* const p = make_pool();
    return *p;
}

// The runtime's thread count, capped at max_team.
int team_size() { return std::min(omp_get_max_threads(), max_team); }

}  // namespace

bool parallel_gate() {
    // Function-local static: thread-safe one-time initialisation, so a later
    // change of the runtime's thread count does not switch the gate on or off.
    static const bool gate = gate_from_runtime();
    return gate && !forked.load(std::memory_order_relaxed);
}

// With the gate on, the next loop runs on at most min(team, thread cap)
// threads, and every worker already started keeps its index (below the cap,
// so below max_team); with it off the calling thread runs alone as member 0.
int worker_slots() {
    if (!parallel_gate()) {
        return 1;
    }
    const pool& p = the_pool();
    return std::max(std::min(team_size(), p.thread_cap()), p.workers() + 1);
}

int worker_index() { return this_worker; }

bool inside_parallel_loop() { return in_shared_loop || omp_in_parallel() != 0; }

namespace detail {

bool share(std::int64_t count) {
    return count > 1 && parallel_gate() && !inside_parallel_loop() && team_size() > 1;
}

void run_shared(std::int64_t count, range_call call, const void* body) {
    // One loop at a time: the interpreter lock keeps kernel calls apart today,
    // but a caller that released it would find the pool taken and run its
    // loop alone rather than corrupt another's.
    static std::atomic<bool> taken{false};
    if (taken.exchange(true, std::memory_order_acquire)) {
        call(body, 0, count);
        return;
    }
    the_pool().run(count, call, body, team_size());
    taken.store(false, std::memory_order_release);
}

}  // namespace detail

}  // namespace velt
