/* The read-only yardstick for the read-outs: one pass that reads every double
 * of an array once and adds them up, split over the OpenMP team with the same
 * static schedule as the module's loops.  Eight independent loads per
 * iteration keep the adds off the critical path, so memory sets the pace. */
#include <stdint.h>

double stream_sum(const double* x, int64_t n_doubles, int parallel) {
    double total = 0.0;
#pragma omp parallel for if (parallel) schedule(static) reduction(+ : total)
    for (int64_t b = 0; b < n_doubles / 8; ++b) {
        const double* p = x + 8 * b;
        total += ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
    }
    return total;
}
