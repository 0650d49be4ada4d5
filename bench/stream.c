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

/* Both passes, defined once per element type: stream_scale and
 * stream_scale_two over doubles, and stream_scale_float and
 * stream_scale_two_float over floats for complex64 states (the same bytes
 * read and written, with the arithmetic of the kernels' single-precision
 * path; a complex64 state of 2^n amplitudes takes as long to stream as a
 * complex128 state of 2^(n-1)).
 *
 * stream_scale<suffix>: each thread walks its range front to back.
 * stream_scale_two<suffix>: each thread walks the two halves of its range
 * side by side, a block of 512 bytes of each in turn: two streams keep more
 * cache-line loads in flight than one, which on some machines streams
 * measurably faster. */
#define STREAM_PASSES(T, SUFFIX)                                                                   \
    void stream_scale##SUFFIX(T* restrict x, int64_t n, double factor, int parallel) {             \
        const T f = (T)factor;                                                                     \
        _Pragma("omp parallel for simd if (parallel) schedule(static)") for (int64_t i = 0; i < n; \
                                                                             ++i) {                \
            x[i] = x[i] * f;                                                                       \
        }                                                                                          \
    }                                                                                              \
    void stream_scale_two##SUFFIX(T* restrict x, int64_t n, double factor, int parallel) {         \
        enum { block = 512 / sizeof(T) };                                                          \
        const T f = (T)factor;                                                                     \
        _Pragma("omp parallel if (parallel)") {                                                    \
            const int64_t t = omp_get_thread_num();                                                \
            const int64_t team = omp_get_num_threads();                                            \
            const int64_t lo = n * t / team;                                                       \
            const int64_t hi = n * (t + 1) / team;                                                 \
            const int64_t half = (hi - lo) / 2;                                                    \
            T* const a = x + lo;                                                                   \
            T* const b = x + lo + half;                                                            \
            for (int64_t o = 0; o < half; o += block) {                                            \
                const int64_t m = half - o < block ? half - o : block;                             \
                _Pragma("omp simd") for (int64_t i = 0; i < m; ++i) { a[o + i] = a[o + i] * f; }   \
                _Pragma("omp simd") for (int64_t i = 0; i < m; ++i) { b[o + i] = b[o + i] * f; }   \
            }                                                                                      \
            for (int64_t i = lo + 2 * half; i < hi; ++i) {                                         \
                x[i] = x[i] * f;                                                                   \
            }                                                                                      \
        }                                                                                          \
    }

STREAM_PASSES(double, )
STREAM_PASSES(float, _float)

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
