// rho <- U rho U^dagger for a dense gate U on k = 0..4 targets, where every
// control is 1, in one pass over rho.
//
// Viewed as a vector of 2n qubits (row-major: the row's bits above the
// column's), U rho U^dagger is U applied to the row qubits and then conj(U)
// to the column qubits.  Each sub-block B that the targets select (see
// rho_blocks.hpp) becomes
//   T[g][h] = sum over a of U[g][a] B[a][h]         if the row's controls are all 1,
//   R[g][c] = sum over b of conj(U)[c][b] T[g][b]   if the column's controls are all 1,
// each sum starting from +0 and taking a (or b) in increasing order, every
// product formed, zero entries included: the arithmetic of apply_gate, so the
// result is the bytes of those two apply_gate calls on the vectorised rho.  A
// row whose controls are not all 1 keeps B (T = B); a column whose controls are
// not all 1 keeps T.  Controls are never targets, so they are bits of the row
// and column bases: one verdict per row base, one per lane for the columns.
#include "density/kraus.hpp"
#include "density/rho_blocks.hpp"
#include "isa/kernel_table.hpp"
#include "isa/target.hpp"

namespace velt::VELT_ISA_NS {

namespace {

template <int K>
void conjugate(amp* rho, std::int64_t dim, const int* targets, const std::int64_t control_mask,
               const amp* u) {
    using blocks = rho_blocks<K>;
    constexpr int side = blocks::side;
    const blocks b(dim, targets);
    // The gate and its conjugate, read as broadcasts from these records.
    amp gate[blocks::sizes];
    amp conj_gate[blocks::sizes];
    for (int i = 0; i < blocks::size; ++i) {
        gate[i] = u[i];
        conj_gate[i] = cconj(u[i]);
    }
    const amp* const m = gate;
    const amp* const cm = conj_gate;
    const std::int64_t cmask = control_mask;

    for_each_block_batch<K>(
        rho, b, [=, &b](std::int64_t r0, amp* const* rows, const std::int64_t* cols, int count) {
            const bool row_on = (r0 & cmask) == cmask;
            lane_int on_bits[width];  // one mask lane per amplitude lane
            bool any_column = false;
            bool every_column = true;
            for (int l = 0; l < width; ++l) {
                const bool on = (b.lane_column(cols, l) & cmask) == cmask;
                on_bits[l] = on ? lane_int{-1} : lane_int{0};
                if (l < count) {
                    any_column = any_column || on;
                    every_column = every_column && on;
                }
            }
            if (!row_on && !any_column) {
                return;  // nothing in these sub-blocks changes
            }
            cvec x[blocks::sizes];
            load_blocks<K>(b, rows, cols, x);
            cvec t[blocks::sizes];
            if (row_on) {
                for (int g = 0; g < side; ++g) {
                    for (int h = 0; h < side; ++h) {
                        cvec acc = {broadcast(0.0), broadcast(0.0)};
                        for (int a = 0; a < side; ++a) {
                            acc = cadd(acc, cmul(broadcast(m[g * side + a]), x[a * side + h]));
                        }
                        t[g * side + h] = acc;
                    }
                }
            } else {
                std::copy(x, x + blocks::size, t);
            }
            if (any_column) {
                lane_mask on;
                static_assert(sizeof on == sizeof on_bits, "one mask lane per lane");
                std::memcpy(&on, on_bits, sizeof on);
                for (int g = 0; g < side; ++g) {
                    for (int c = 0; c < side; ++c) {
                        cvec acc = {broadcast(0.0), broadcast(0.0)};
                        for (int d = 0; d < side; ++d) {
                            acc = cadd(acc, cmul(broadcast(cm[c * side + d]), t[g * side + d]));
                        }
                        const cvec& keep = t[g * side + c];
                        x[g * side + c] = every_column ? acc
                                                       : cvec{select(on, acc.re, keep.re),
                                                              select(on, acc.im, keep.im)};
                    }
                }
            } else {
                std::copy(t, t + blocks::size, x);
            }
            store_blocks<K>(b, rows, cols, count, x);
        });
}

}  // namespace

void apply_unitary_rho(amp* rho, std::int64_t dim, const int* targets, int k, const int* controls,
                       int n_controls, const amp* u) {
    std::int64_t control_mask = 0;
    for (int c = 0; c < n_controls; ++c) {
        control_mask |= bit(controls[c]);
    }
    switch (k) {
        case 0: conjugate<0>(rho, dim, targets, control_mask, u); break;
        case 1: conjugate<1>(rho, dim, targets, control_mask, u); break;
        case 2: conjugate<2>(rho, dim, targets, control_mask, u); break;
        case 3: conjugate<3>(rho, dim, targets, control_mask, u); break;
        case 4: conjugate<4>(rho, dim, targets, control_mask, u); break;
        default: throw std::logic_error("apply_unitary_rho: target count outside 0..4");
    }
}

}  // namespace velt::VELT_ISA_NS
