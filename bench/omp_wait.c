/* Why a 2-thread OpenMP region stalls beside a busy core (the reason the
 * module runs its loops on a pool of its own; src/parallel/parallel_for.cpp).
 *
 *   cc -O2 -fopenmp bench/omp_wait.c -o omp_wait
 *   python -c "while True: pass" &        # keep one core busy
 *   OMP_NUM_THREADS=2 ./omp_wait 65536    # libgomp's default wait policy
 *   OMP_NUM_THREADS=2 OMP_WAIT_POLICY=passive ./omp_wait 65536
 *
 * Runs 2000 back-to-back parallel loops over `n` doubles (each thread scales
 * its half) and prints the median and longest loop, the loops over 1 ms, and
 * the worker thread's voluntary and involuntary context switches, read from
 * /proc.  A worker that spins between loops (the default) is switched out
 * involuntarily, by the scheduler, while one that sleeps (passive) gives the
 * core up voluntarily and is woken at once when the next loop starts. */
#define _GNU_SOURCE
#include <omp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static double now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static int cmp(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static void switches(long tid, long* voluntary, long* involuntary) {
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/self/task/%ld/status", tid);
    FILE* f = fopen(path, "r");
    while (f && fgets(line, sizeof line, f)) {
        sscanf(line, "voluntary_ctxt_switches: %ld", voluntary);
        sscanf(line, "nonvoluntary_ctxt_switches: %ld", involuntary);
    }
    if (f) fclose(f);
}

int main(int argc, char** argv) {
    const long n = argc > 1 ? atol(argv[1]) : 65536;
    const int loops = 2000;
    double* x = calloc((size_t)n, sizeof *x);
    double* t = malloc(loops * sizeof *t);
    long worker = 0;
#pragma omp parallel
    if (omp_get_thread_num() == 1) worker = syscall(SYS_gettid);
    for (int k = 0; k < loops; ++k) {
        const double t0 = now_us();
#pragma omp parallel for schedule(static)
        for (long i = 0; i < n; ++i) x[i] = x[i] * 0.5 + 1.0;
        t[k] = now_us() - t0;
    }
    long v = 0, iv = 0;
    if (worker) switches(worker, &v, &iv);
    int slow = 0;
    for (int k = 0; k < loops; ++k) slow += t[k] > 1000.0;
    qsort(t, loops, sizeof *t, cmp);
    printf(
        "n=%ld threads=%d: median %.1f us, max %.0f us, %d of %d loops over 1 ms; "
        "worker context switches: %ld voluntary, %ld involuntary\n",
        n, omp_get_max_threads(), t[loops / 2], t[loops - 1], slow, loops, v, iv);
    free(x);
    free(t);
    return 0;
}
