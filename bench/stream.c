/* The memory-bandwidth yardstick for the kernels: in-place passes that read
 * and write every double of an array once, split over the OpenMP team in
 * static ranges.  The factor is a run-time value, so the compiler cannot drop
 * a pass.  bench/common.py compiles this for the host CPU (-march=native), so
 * that the passes use every vector instruction the machine has, and times
 * both passes on each array, keeping the faster: the yardstick is the fastest
 * such pass here and does not flatter the kernels.  (The module itself is
 * never built that way.) */
#include <omp.h>
#include <stdint.h>

/* Each thread walks its range front to back. */
void stream_scale(double* restrict x, int64_t n_doubles, double factor, int parallel) {
#pragma omp parallel for simd if (parallel) schedule(static)
    for (int64_t i = 0; i < n_doubles; ++i) {
        x[i] = x[i] * factor;
    }
}

/* Each thread walks the two halves of its range side by side, a block of
 * each in turn: two streams keep more cache-line loads in flight than one,
 * which on some machines streams measurably faster. */
enum { two_stream_block = 64 }; /* doubles: 512 bytes */

void stream_scale_two(double* restrict x, int64_t n_doubles, double factor, int parallel) {
#pragma omp parallel if (parallel)
    {
        const int64_t t = omp_get_thread_num();
        const int64_t team = omp_get_num_threads();
        const int64_t lo = n_doubles * t / team;
        const int64_t hi = n_doubles * (t + 1) / team;
        const int64_t half = (hi - lo) / 2;
        double* const a = x + lo;
        double* const b = x + lo + half;
        for (int64_t o = 0; o < half; o += two_stream_block) {
            const int64_t m = half - o < two_stream_block ? half - o : two_stream_block;
#pragma omp simd
            for (int64_t i = 0; i < m; ++i) {
                a[o + i] = a[o + i] * factor;
            }
#pragma omp simd
            for (int64_t i = 0; i < m; ++i) {
                b[o + i] = b[o + i] * factor;
            }
        }
        for (int64_t i = lo + 2 * half; i < hi; ++i) {
            x[i] = x[i] * factor;
        }
    }
}

/* The same two passes over floats, for complex64 states: the same bytes read
 * and written, with the arithmetic of the kernels' single-precision path.  A
 * complex64 state of 2^n amplitudes takes as long to stream as a complex128
 * state of 2^(n-1). */
void stream_scale_float(float* restrict x, int64_t n_floats, double factor, int parallel) {
    const float f = (float)factor;
#pragma omp parallel for simd if (parallel) schedule(static)
    for (int64_t i = 0; i < n_floats; ++i) {
        x[i] = x[i] * f;
    }
}

enum { two_stream_block_float = 128 }; /* floats: 512 bytes */

void stream_scale_two_float(float* restrict x, int64_t n_floats, double factor, int parallel) {
    const float f = (float)factor;
#pragma omp parallel if (parallel)
    {
        const int64_t t = omp_get_thread_num();
        const int64_t team = omp_get_num_threads();
        const int64_t lo = n_floats * t / team;
        const int64_t hi = n_floats * (t + 1) / team;
        const int64_t half = (hi - lo) / 2;
        float* const a = x + lo;
        float* const b = x + lo + half;
        for (int64_t o = 0; o < half; o += two_stream_block_float) {
            const int64_t m = half - o < two_stream_block_float ? half - o : two_stream_block_float;
#pragma omp simd
            for (int64_t i = 0; i < m; ++i) {
                a[o + i] = a[o + i] * f;
            }
#pragma omp simd
            for (int64_t i = 0; i < m; ++i) {
                b[o + i] = b[o + i] * f;
            }
        }
        for (int64_t i = lo + 2 * half; i < hi; ++i) {
            x[i] = x[i] * f;
        }
    }
}

/* Not a yardstick: the one-stream pass with `products` multiplications of
 * every double in a row (1, 2, 4, 6, 8, 12 or 16; other counts do nothing),
 * for bench/bench_overlap.py, which measures how much slower a streaming loop
 * runs from memory once it carries arithmetic.  Each count has a loop of its
 * own, so that the products unroll and vectorise as in the pass above. */
#define CHAIN(K)                                                                                   \
    static void chain_##K(double* restrict x, int64_t n_doubles, double factor, int parallel) {    \
        _Pragma("omp parallel for simd if (parallel) schedule(static)") for (int64_t i = 0;        \
                                                                             i < n_doubles; ++i) { \
            double y = x[i];                                                                       \
            for (int k = 0; k < K; ++k) {                                                          \
                y = y * factor;                                                                    \
            }                                                                                      \
            x[i] = y;                                                                              \
        }                                                                                          \
    }
CHAIN(1)
CHAIN(2)
CHAIN(4)
CHAIN(6)
CHAIN(8)
CHAIN(12)
CHAIN(16)

void stream_chain(double* restrict x, int64_t n_doubles, double factor, int products,
                  int parallel) {
    switch (products) {
        case 1: chain_1(x, n_doubles, factor, parallel); break;
        case 2: chain_2(x, n_doubles, factor, parallel); break;
        case 4: chain_4(x, n_doubles, factor, parallel); break;
        case 6: chain_6(x, n_doubles, factor, parallel); break;
        case 8: chain_8(x, n_doubles, factor, parallel); break;
        case 12: chain_12(x, n_doubles, factor, parallel); break;
        case 16: chain_16(x, n_doubles, factor, parallel); break;
        default: break;
    }
}
