/* Baseline code for bench/bench_upper.py: a plain x86-64 loop, compiled
 * without any -m flag (so with legacy SSE instructions, as the interpreter,
 * NumPy's baseline code and most compiled extensions are), timed from the
 * inside so that only the loop counts; and a vzeroupper, which switches AVX
 * on for itself alone (bench_upper.py calls it only where the CPU has AVX). */
#include <stdint.h>
#include <time.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* Seconds for x[i] = x[i] * f + 1 over n doubles: scalar SSE2 multiplies
 * and additions, each a legacy instruction that writes an xmm register. */
double baseline_loop(double* x, int64_t n, double f) {
    const double t0 = now();
    for (int64_t i = 0; i < n; ++i) {
        x[i] = x[i] * f + 1.0;
    }
    return now() - t0;
}

__attribute__((target("avx"))) void clean_upper(void) { __asm__ volatile("vzeroupper"); }
