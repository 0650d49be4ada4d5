/* The memory-bandwidth yardstick for the kernels: one in-place pass that
 * reads and writes every double of an array once, split over the OpenMP team
 * with the same static schedule the kernels use.  The factor is a run-time
 * value, so the compiler cannot drop the pass.  bench/common.py compiles it
 * for the host CPU (-march=native): the yardstick uses every vector
 * instruction the machine has, so that it is the fastest such pass here and
 * does not flatter the kernels.  (The module itself is never built that way.) */
#include <stdint.h>

void stream_scale(double* restrict x, int64_t n_doubles, double factor, int parallel) {
#pragma omp parallel for simd if (parallel) schedule(static)
    for (int64_t i = 0; i < n_doubles; ++i) {
        x[i] = x[i] * factor;
    }
}
