#include <cstring>
#include <vector>

#include "common/bits.hpp"
#include "density/kraus.hpp"
#include "module/bindings.hpp"

namespace velt::bind {

// Checks, in this order, all before rho is written and before anything is
// allocated for the call (but for the aligned copy of a misaligned rho):
//   1. rho is requested for writing (a read-only array: ValueError);
//   2. each operator has four elements, in list order, the first bad one
//      stopping the call;
//   3. n_qubits lies in 0..max_density_qubits, so that 4^n_qubits elements
//      and their byte count are representable;
//   4. qubit lies in 0..n_qubits-1;
//   5. rho holds at least 4^n_qubits elements.
// The operator test is the first complaint, so a call wrong in several ways
// reports its operators; the range tests follow because they concern D.
// Only then are the operators copied and (inside the kernel) the scratch
// matrix allocated; a failed allocation raises MemoryError with rho intact.
void check_kraus_op(std::int64_t op_size) {
    if (op_size != 4) {
        fail("apply_kraus_1q", "each Kraus op must be 2x2");
    }
}

std::int64_t check_kraus_register(int n_qubits, int qubit, std::int64_t rho_size) {
    constexpr const char* name = "apply_kraus_1q";
    if (n_qubits < 0 || n_qubits > max_density_qubits) {
        fail(name, "n_qubits out of range");
    }
    check_qubit(name, qubit, n_qubits - 1);
    const std::int64_t dim = bit(n_qubits);
    if (rho_size < dim * dim) {
        fail(name, "rho holds fewer than 4^n_qubits elements");
    }
    return dim;
}

void apply_kraus_1q(state_array rho, int n_qubits, int qubit,
                    const std::vector<complex_array>& kraus_ops) {
    const amp_view view(state_argument(rho, "apply_kraus_1q", "rho"), "apply_kraus_1q", "rho");
    for (const complex_array& op : kraus_ops) {
        check_kraus_op(op.size());
    }
    const std::int64_t dim = check_kraus_register(n_qubits, qubit, view.size());

    // Contiguous records, taken in C order whatever the operator's shape; the
    // caller's arrays are not read again, so an operator that shares memory
    // with rho counts as it was when the call began.  Copied as bytes: an
    // operator cut from a byte buffer need not be aligned for amp.
    std::vector<mat2> ops(kraus_ops.size());
    for (std::size_t k = 0; k < kraus_ops.size(); ++k) {
        const py::array& op = kraus_ops[k];
        std::memcpy(static_cast<void*>(&ops[k]), op.data(), sizeof(mat2));
    }

    velt::apply_kraus_1q(view.data(), dim, qubit, ops.data(), ops.size());
}

}  // namespace velt::bind
