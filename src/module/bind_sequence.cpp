// apply_sequence: every op converted and checked before the first write.
//
// An op is a tuple (or list) whose first item names a state-vector kernel and
// whose other items are that kernel's arguments after the state, in its
// order.  Each argument goes through the caster of the kernel's own binding,
// and each op through its kernel's checks in their order, so that an op fails
// exactly as its kernel would, with "apply_sequence: op K: " in front of the
// message.  The state's own checks (read-only, no dimension) run once, under
// apply_sequence's name, before any op is looked at.
#include <cstring>
#include <string>
#include <vector>

#include "common/bits.hpp"
#include "common/trig.hpp"
#include "module/bindings.hpp"
#include "sequence/sequence.hpp"
#include "statevector/diagonal_order.hpp"

namespace velt::bind {

namespace {

struct kernel_row {
    const char* name;
    op_kind kind;
    std::size_t min_args;  // arguments after the state
    std::size_t max_args;
};

constexpr kernel_row kernel_rows[] = {
    {"apply_1q", op_kind::apply_1q, 5, 5},
    {"apply_cnot_fast", op_kind::apply_cnot_fast, 2, 2},
    {"apply_controlled_1q", op_kind::apply_controlled_1q, 6, 6},
    {"apply_swap", op_kind::apply_swap, 2, 2},
    {"apply_gate_fast", op_kind::apply_gate_fast, 2, 2},
    {"apply_gate", op_kind::apply_gate, 2, 3},
    {"apply_diagonal", op_kind::apply_diagonal, 2, 3},
    {"apply_pauli_rotation", op_kind::apply_pauli_rotation, 3, 4},
};

// One op's tuple, read with the prefix that every complaint about it carries.
class op_reader {
public:
    // The prefix is spelled out only for a complaint: a sequence of
    // thousands of small gates pays nothing for it.
    op_reader(std::size_t index, py::handle op) : index_(index) {
        if (!py::isinstance<py::tuple>(op) && !py::isinstance<py::list>(op)) {
            malformed("an op is a tuple (kernel name, arguments...)");
        }
        items_ = py::reinterpret_borrow<py::sequence>(op);
        if (items_.size() == 0 || !py::isinstance<py::str>(items_[0])) {
            malformed("an op is a tuple (kernel name, arguments...)");
        }
        const py::object first = items_[0];
        Py_ssize_t size = 0;
        const char* name = PyUnicode_AsUTF8AndSize(first.ptr(), &size);
        if (name == nullptr) {
            // No UTF-8 form (a lone surrogate): no kernel's name either.
            // Named in the complaint with \uXXXX escapes for what UTF-8
            // cannot hold.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                throw py::error_already_set();
            }
            PyErr_Clear();
            const auto shown = py::reinterpret_steal<py::bytes>(
                PyUnicode_AsEncodedString(first.ptr(), "utf-8", "backslashreplace"));
            if (!shown) {
                throw py::error_already_set();
            }
            malformed("unknown kernel '" + static_cast<std::string>(shown) + "'");
        }
        for (const kernel_row& row : kernel_rows) {
            if (std::strlen(row.name) == static_cast<std::size_t>(size) &&
                std::memcmp(name, row.name, static_cast<std::size_t>(size)) == 0) {
                row_ = &row;
            }
        }
        if (row_ == nullptr) {
            malformed("unknown kernel '" + std::string(name, static_cast<std::size_t>(size)) + "'");
        }
        const std::size_t args = items_.size() - 1;
        if (args < row_->min_args || args > row_->max_args) {
            malformed(
                std::string(row_->name) + " takes " + std::to_string(row_->min_args) +
                (row_->max_args > row_->min_args ? " or " + std::to_string(row_->max_args) : "") +
                " arguments after the state, got " + std::to_string(args));
        }
    }

    const kernel_row& row() const { return *row_; }
    std::size_t args() const { return items_.size() - 1; }
    std::string prefix() const { return "apply_sequence: op " + std::to_string(index_) + ": "; }

    // Argument j (1 = the first after the state) through the kernel's caster.
    template <class T>
    T arg(std::size_t j) const {
        // The caster of the kernel's binding, in its converting pass: what
        // it refuses makes the kernel raise TypeError.
        py::detail::make_caster<T> caster;
        if (!caster.load(items_[j], /*convert=*/true)) {
            throw py::type_error(prefix() + row_->name +
                                 "(): incompatible function arguments: cannot convert argument " +
                                 std::to_string(j) + " of the op");
        }
        return py::detail::cast_op<T>(std::move(caster));
    }

    mat2 matrix(std::size_t first) const {
        return mat2{arg<amp>(first), arg<amp>(first + 1), arg<amp>(first + 2), arg<amp>(first + 3)};
    }

private:
    [[noreturn]] void malformed(const std::string& complaint) const {
        throw py::value_error(prefix() + complaint);
    }

    std::size_t index_;
    py::sequence items_;
    const kernel_row* row_ = nullptr;
};

// The kernel's checks in its order (its binding's own check functions), the
// state's own checks left out (done once for the sequence).  Matrices and
// diagonal tables are copied: the sequence reads each one as it was when the
// call began.
sequence_op convert(const op_reader& r, std::int64_t length,
                    std::vector<std::vector<amp>>& matrices) {
    const char* name = r.row().name;  // the 2x2 rows' checks are check_qubit alone
    sequence_op op{};
    op.kind = r.row().kind;
    switch (op.kind) {
        case op_kind::apply_1q:
            op.qubits = {r.arg<int>(1)};
            op.m = r.matrix(2);
            check_qubit(name, op.qubits[0], max_qubit_1q);
            return op;
        case op_kind::apply_controlled_1q: op.m = r.matrix(3); [[fallthrough]];
        case op_kind::apply_cnot_fast:
        case op_kind::apply_swap:
            op.qubits = {r.arg<int>(1), r.arg<int>(2)};
            check_qubit(name, op.qubits[0], max_qubit_index);
            check_qubit(name, op.qubits[1], max_qubit_index);
            return op;
        case op_kind::apply_gate_fast:
        case op_kind::apply_gate: {
            op.qubits = r.arg<std::vector<int>>(1);
            const auto u = r.arg<complex_array>(2);
            op.n_targets = static_cast<int>(op.qubits.size());
            if (r.args() == 3) {
                const auto controls = r.arg<std::vector<int>>(3);
                op.qubits.insert(op.qubits.end(), controls.begin(), controls.end());
            }
            const auto k = static_cast<std::size_t>(op.n_targets);
            const int* qubits = op.qubits.data();
            if (op.kind == op_kind::apply_gate_fast) {
                check_gate_fast_shape(k, u.size());
                check_gate_fast_targets(qubits, op.n_targets);
            } else {
                check_gate_shape(k, u.size());
                check_gate_qubits(length, qubits, op.n_targets, qubits + k,
                                  static_cast<int>(op.qubits.size() - k));
            }
            // Copied as bytes: a converted array need not be aligned for amp.
            matrices.emplace_back(static_cast<std::size_t>(u.size()));
            std::memcpy(static_cast<void*>(matrices.back().data()), u.data(),
                        static_cast<std::size_t>(u.size()) * sizeof(amp));
            op.u = matrices.back().data();
            return op;
        }
        case op_kind::apply_diagonal: {
            const auto targets = r.arg<std::vector<int>>(1);
            const auto diag = r.arg<complex_array>(2);
            std::vector<int> controls;
            if (r.args() == 3) {
                controls = r.arg<std::vector<int>>(3);
            }
            const int k = static_cast<int>(targets.size());
            check_diagonal_shape(targets.size(), diag.size());
            check_diagonal_qubits(length, targets.data(), k, controls.data(),
                                  static_cast<int>(controls.size()));
            // Copied as bytes (a converted array need not be aligned for amp),
            // then reordered for increasing targets where they are not.
            std::vector<amp> table(static_cast<std::size_t>(diag.size()));
            std::memcpy(static_cast<void*>(table.data()), diag.data(), table.size() * sizeof(amp));
            op.qubits = targets;
            if (!increasing(targets.data(), k)) {
                std::vector<amp> sorted(table.size());
                sort_diagonal(targets.data(), k, table.data(), op.qubits.data(), sorted.data());
                table.swap(sorted);
            }
            op.n_targets = k;
            op.qubits.insert(op.qubits.end(), controls.begin(), controls.end());
            matrices.push_back(std::move(table));
            op.u = matrices.back().data();
            return op;
        }
        case op_kind::apply_pauli_rotation: {
            const auto paulis = r.arg<std::string>(1);
            op.qubits = r.arg<std::vector<int>>(2);
            const auto theta = r.arg<double>(3);
            std::vector<int> controls;
            if (r.args() == 4) {
                controls = r.arg<std::vector<int>>(4);
            }
            const int k = static_cast<int>(op.qubits.size());
            check_rotation_args(paulis.data(), paulis.size(), op.qubits.size(), theta);
            check_rotation_qubits(length, op.qubits.data(), k, controls.data(),
                                  static_cast<int>(controls.size()));
            const cos_sin cs = cos_sin_half(theta);
            op.letters = paulis;
            op.c = cs.c;
            op.s = cs.s;
            op.n_targets = k;
            op.qubits.insert(op.qubits.end(), controls.begin(), controls.end());
            return op;
        }
    }
    throw std::logic_error("apply_sequence: unknown kernel");
}

// Between runs the core asks whether to stop: a signal that arrived
// meanwhile runs its Python handler here, on the calling thread with the
// interpreter lock held (the lock is never released during the call).  An
// exception from the handler stops the sequence and stays set.
bool signal_raised(void*) { return PyErr_CheckSignals() != 0; }

// The sequence stopped after `applied` of `total` ops because a signal
// handler raised: KeyboardInterrupt is raised again with the count, the
// handler's exception as its cause; any other exception goes on as it is,
// with the count as a note where Python has notes (3.11 on).
[[noreturn]] void raise_interrupted(std::size_t applied, std::size_t total) {
    py::error_already_set raised;
    const std::string message = "apply_sequence: interrupted after " + std::to_string(applied) +
                                " of " + std::to_string(total) +
                                " ops (the state holds the result of the first " +
                                std::to_string(applied) + ")";
    if (raised.matches(PyExc_KeyboardInterrupt)) {
        py::raise_from(raised, PyExc_KeyboardInterrupt, message.c_str());
        throw py::error_already_set();
    }
    if (py::hasattr(raised.value(), "add_note")) {
        raised.value().attr("add_note")(message);
    }
    throw raised;
}

}  // namespace

void apply_sequence(state_array state, const py::iterable& ops) {
    const writable_state psi(state, "apply_sequence");
    std::vector<sequence_op> converted;
    std::vector<std::vector<amp>>
        matrices;  // moved vectors keep their storage, so op.u stays valid
    std::size_t index = 0;
    for (const py::handle item : ops) {
        const op_reader reader(index++, item);
        try {
            converted.push_back(convert(reader, psi.length(), matrices));
        } catch (const py::builtin_exception&) {
            throw;  // raised with its prefix already
        } catch (const std::runtime_error& e) {
            throw std::runtime_error(reader.prefix() + e.what());
        }
    }
    const std::size_t applied =
        velt::apply_sequence(psi.data(), psi.length(), converted, {&signal_raised, nullptr});
    if (applied < converted.size()) {
        raise_interrupted(applied, converted.size());
    }
}

}  // namespace velt::bind
