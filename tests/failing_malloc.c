/* An allocator that fails one chosen allocation, for the allocation-failure
 * tests (tests/alloc_failure.py compiles it and preloads it with LD_PRELOAD).
 *
 * It stands in for malloc and its relatives (operator new calls malloc, and
 * NumPy and, under PYTHONMALLOC=malloc, the interpreter use them too) and
 * forwards to glibc's own functions, except that once armed it refuses the
 * (failing_malloc_left + 1)-th allocation of the process's main thread: it
 * returns null, as glibc does when memory runs out, and disarms itself.
 * Other threads are never refused (the worker pool's threads, glibc's
 * thread-local blocks): the module allocates only on the calling thread.
 *
 * The controls are plain variables, which the test writes and reads through
 * ctypes without calling (and so without allocating) anything:
 *   failing_malloc_armed    set to 1 to start counting, 0 to stop
 *   failing_malloc_left     allocations still let through
 *   failing_malloc_refused  1 once an allocation was refused
 */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* p, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void* __libc_valloc(size_t size);
extern void* __libc_pvalloc(size_t size);

volatile int failing_malloc_armed;
volatile long failing_malloc_left;
volatile int failing_malloc_refused;

static pthread_t main_thread;

__attribute__((constructor)) static void remember_main_thread(void) {
    main_thread = pthread_self();
}

/* True when this allocation is the one to refuse. */
static int refuse(void) {
    if (!failing_malloc_armed || !pthread_equal(pthread_self(), main_thread)) {
        return 0;
    }
    if (failing_malloc_left-- > 0) {
        return 0;
    }
    failing_malloc_refused = 1;
    failing_malloc_armed = 0;
    errno = ENOMEM;
    return 1;
}

void* malloc(size_t size) { return refuse() ? NULL : __libc_malloc(size); }

void* calloc(size_t count, size_t size) { return refuse() ? NULL : __libc_calloc(count, size); }

void* realloc(void* p, size_t size) { return refuse() ? NULL : __libc_realloc(p, size); }

void* reallocarray(void* p, size_t count, size_t size) {
    if (size != 0 && count > SIZE_MAX / size) {
        errno = ENOMEM;
        return NULL;
    }
    return realloc(p, count * size);
}

void* memalign(size_t alignment, size_t size) {
    return refuse() ? NULL : __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void* p = memalign(alignment, size);
    if (p == NULL) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}

void* valloc(size_t size) { return refuse() ? NULL : __libc_valloc(size); }

void* pvalloc(size_t size) { return refuse() ? NULL : __libc_pvalloc(size); }
