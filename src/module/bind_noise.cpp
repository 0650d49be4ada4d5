#include "module/bind_noise.hpp"

#include <cmath>
#include <cstring>

#include "common/bits.hpp"
#include "density/kraus.hpp"
#include "readout/readout.hpp"

namespace velt::bind {

namespace {

bool unit_interval(double u) { return u >= 0.0 && u < 1.0; }  // false for NaN

std::vector<std::int64_t> sizes_of(const std::vector<complex_array>& arrays) {
    std::vector<std::int64_t> sizes;
    sizes.reserve(arrays.size());
    for (const complex_array& a : arrays) {
        sizes.push_back(a.size());
    }
    return sizes;
}

// The operators' elements, contiguous and in C order whatever each array's
// shape.  Copied as bytes: an operator cut from a byte buffer need not be
// aligned for amp; and the caller's arrays are not read again, so an operator
// that shares memory with rho or the state counts as it was when the call
// began.
std::vector<amp> contiguous_ops(const std::vector<complex_array>& kraus_ops) {
    std::vector<amp> ops;
    for (const complex_array& op : kraus_ops) {
        const std::size_t at = ops.size();
        ops.resize(at + static_cast<std::size_t>(op.size()));
        std::memcpy(static_cast<void*>(ops.data() + at), op.data(),
                    static_cast<std::size_t>(op.size()) * sizeof(amp));
    }
    return ops;
}

}  // namespace

// The checks of apply_kraus and apply_kraus_sampled on the operators, in this
// order: one to kraus_max_qubits qubits; one to 4^k operators (a channel on k
// qubits needs no more, and none is no channel); then 4^k elements in each,
// in list order, the first bad one stopping the call.
void check_channel_ops(const char* function, std::size_t k, std::size_t count,
                       const std::int64_t* op_sizes) {
    if (k < 1 || k > static_cast<std::size_t>(kraus_max_qubits)) {
        fail(function, "the channel must act on 1 to 3 qubits");
    }
    const std::int64_t op_size = bit(2 * static_cast<int>(k));
    if (count < 1 || count > static_cast<std::size_t>(op_size)) {
        fail(function, "a channel on k qubits takes 1 to 4^k Kraus ops");
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (op_sizes[i] != op_size) {
            fail(function, "each Kraus op must be 2^k x 2^k");
        }
    }
}

// n_qubits in 0..max_density_qubits (so that 4^n_qubits elements and their
// bytes are representable), then every target and control below n_qubits,
// then no target twice, then no control on a target or another control, then
// at least 4^n_qubits elements in rho (later elements are left alone, as
// apply_kraus_1q leaves them).
std::int64_t check_density_register(const char* function, int n_qubits, const int* targets, int k,
                                    const char* repeated, const int* controls, int n_controls,
                                    std::int64_t rho_size) {
    if (n_qubits < 0 || n_qubits > max_density_qubits) {
        fail(function, "n_qubits out of range");
    }
    for (int i = 0; i < k; ++i) {
        check_qubit(function, targets[i], n_qubits - 1);
    }
    for (int i = 0; i < n_controls; ++i) {
        check_qubit(function, controls[i], n_qubits - 1);
    }
    const std::int64_t occupied = occupy(function, targets, k, 0, repeated);
    occupy(function, controls, n_controls, occupied, "control overlaps a target qubit");
    const std::int64_t dim = bit(n_qubits);
    if (rho_size < dim * dim) {
        fail(function, "rho holds fewer than 4^n_qubits elements");
    }
    return dim;
}

void check_unitary_rho_shape(std::size_t k, std::int64_t u_size) {
    constexpr const char* name = "apply_unitary_rho";
    if (k > static_cast<std::size_t>(unitary_rho_max_targets)) {
        fail(name, "more than 4 targets");
    }
    if (u_size != bit(2 * static_cast<int>(k))) {
        fail(name, "matrix size does not match 2^|targets|");
    }
}

void check_sampled_call(std::int64_t length, const int* qubits, int k, std::size_t count,
                        const std::int64_t* op_sizes, double u) {
    constexpr const char* name = "apply_kraus_sampled";
    const int n_qubits = state_qubits(name, length);
    check_channel_ops(name, static_cast<std::size_t>(k), count, op_sizes);
    for (int i = 0; i < k; ++i) {
        check_qubit(name, qubits[i], n_qubits - 1);
    }
    occupy(name, qubits, k, 0, "repeated qubit");
    if (!unit_interval(u)) {
        fail(name, "uniform outside [0, 1)");
    }
}

// Operator i is chosen when its running total c_i = p_0 + ... + p_i (added
// left to right) is the first to exceed u * c_last; every earlier total is at
// most u * c_last, so p_i > 0.  When u * c_last rounds up to c_last itself (u
// just below 1) none exceeds it, and the last operator of nonzero probability
// is chosen.  Both are decided before psi is written; then psi becomes
// K_i psi / sqrt(p_i), through an exact power of two when p_i is tiny.
int kraus_sampled_checked(amp* psi, std::int64_t length, const int* qubits, int k, const amp* ops,
                          std::size_t count, double u) {
    constexpr const char* name = "apply_kraus_sampled";
    kraus_trajectory step(length, qubits, k, count);  // every allocation, before any write
    std::vector<double> p(count);
    const bool finite = step.probabilities(psi, ops, p.data());
    double total = finite ? p[0] : 0.0;
    for (std::size_t i = 1; finite && i < count; ++i) {
        total += p[i];
    }
    if (!(finite && total > 0.0 && std::isfinite(total))) {
        fail(name, "total probability is zero or not finite");
    }
    const double threshold = u * total;
    std::size_t chosen = count;
    double running = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        running = i == 0 ? p[0] : running + p[i];
        if (running > threshold) {
            chosen = i;
            break;
        }
    }
    if (chosen == count) {
        chosen = count - 1;
        while (p[chosen] == 0.0) {
            --chosen;
        }
    }
    step.apply(psi, ops + chosen * static_cast<std::size_t>(bit(2 * k)), p[chosen]);
    return static_cast<int>(chosen);
}

// Checks in this order: rho writable (ValueError), the operators
// (check_channel_ops), then the register (check_density_register).  One
// qubit runs apply_kraus_1q's kernel.
void apply_kraus(state_array rho, int n_qubits, const std::vector<int>& qubits,
                 const std::vector<complex_array>& kraus_ops) {
    constexpr const char* name = "apply_kraus";
    const amp_view view(state_argument(rho, name, "rho"), name, "rho");
    const std::vector<std::int64_t> sizes = sizes_of(kraus_ops);
    check_channel_ops(name, qubits.size(), kraus_ops.size(), sizes.data());
    const int k = static_cast<int>(qubits.size());
    const std::int64_t dim = check_density_register(name, n_qubits, qubits.data(), k,
                                                    "repeated qubit", nullptr, 0, view.size());
    const std::vector<amp> ops = contiguous_ops(kraus_ops);
    velt::apply_kraus(view.data(), dim, qubits.data(), k, ops.data(), kraus_ops.size());
}

// Checks in this order: rho writable (ValueError), the target count and u's
// size, then the register (check_density_register, controls included).
void apply_unitary_rho(state_array rho, int n_qubits, const std::vector<int>& targets,
                       complex_array u, const std::vector<int>& controls) {
    constexpr const char* name = "apply_unitary_rho";
    const amp_view view(state_argument(rho, name, "rho"), name, "rho");
    check_unitary_rho_shape(targets.size(), u.size());
    const int k = static_cast<int>(targets.size());
    const std::int64_t dim =
        check_density_register(name, n_qubits, targets.data(), k, "repeated target qubit",
                               controls.data(), static_cast<int>(controls.size()), view.size());
    const amp_view matrix(u, &view);
    velt::apply_unitary_rho(view.data(), dim, targets.data(), k, controls.data(),
                            static_cast<int>(controls.size()), matrix.data());
}

// Checks in this order: the state writable (ValueError) and with a
// dimension, then check_sampled_call, then the total probability.
int apply_kraus_sampled(state_array state, const std::vector<int>& qubits,
                        const std::vector<complex_array>& kraus_ops, double u) {
    constexpr const char* name = "apply_kraus_sampled";
    const writable_state psi(state, name);
    const std::vector<std::int64_t> sizes = sizes_of(kraus_ops);
    const int k = static_cast<int>(qubits.size());
    check_sampled_call(psi.length(), qubits.data(), k, kraus_ops.size(), sizes.data(), u);
    const std::vector<amp> ops = contiguous_ops(kraus_ops);
    return kraus_sampled_checked(psi.data(), psi.length(), qubits.data(), k, ops.data(),
                                 kraus_ops.size(), u);
}

}  // namespace velt::bind
