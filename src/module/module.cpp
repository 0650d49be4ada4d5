// Module entry and function table.
//
// The table is compiled once per precision (see common/amplitude.hpp): the
// complex128 rows fill velt_core itself, the complex64 rows the submodule
// velt_core.single, with the same names, arguments and docstrings.
// PYBIND11_MODULE generates PyInit_velt_core with multi-phase initialisation
// and the interpreter version gate (the running interpreter must be the
// major.minor version this file was compiled for).  Rows are registered in a
// fixed order; rows without py::arg names take positional arguments only.
#include "module/bind_noise.hpp"
#include "module/bind_readout.hpp"
#include "module/bindings.hpp"
#include "module/fast_path.hpp"

namespace py = pybind11;

namespace velt {

// Fills velt_core.single: the table of the complex64 compilation.
void register_single(py::module_& m);

inline namespace VELT_PRECISION_NS {
namespace {

void register_functions(py::module_& m) {
    m.def("apply_1q", &velt::bind::apply_1q,
          "Fast single-qubit gate application (contiguous-block, vectorizable)");
    m.def("apply_cnot_fast", &velt::bind::apply_cnot_fast,
          "Fast CNOT application (contiguous-block, vectorizable)");
    m.def("apply_controlled_1q", &velt::bind::apply_controlled_1q,
          "Fast single-control single-target gate (cx/cy/cz/cp/crx/cry/crz)");
    m.def("apply_swap", &velt::bind::apply_swap,
          "Fast SWAP application (contiguous-block, vectorizable)");
    m.def("apply_gate_fast", &velt::bind::apply_gate_fast,
          "Fast small-k (<=4) multi-qubit gate application (contiguous-block)");
    m.def("apply_gate", &velt::bind::apply_gate, py::arg("state"), py::arg("targets"), py::arg("u"),
          py::arg("controls") = py::list(),
          "General statevector gate application (targets + optional controls)");

    m.def("apply_kraus_1q", &velt::bind::apply_kraus_1q, py::arg("rho"), py::arg("n_qubits"),
          py::arg("qubit"), py::arg("kraus_ops"),
          "Apply a single-qubit Kraus channel to a density matrix, in place");

    if (!single_precision) {  // a constant of the process: not repeated in velt_core.single
        m.def(
            "cpu_dispatch_tier", [] { return 0; },
            "0=scalar, 1=AVX2+FMA, 2=AVX-512F+FMA -- which kernel tier this process actually "
            "selected at runtime on the current CPU");
    }

    // The kernels' instruction-set path, chosen once per precision, here
    // (the same path for both): an unusable VELT_ISA fails the import.
    velt::bind::select_isa();
    m.def("kernel_isa", &velt::bind::kernel_isa,
          "Instruction set of this process's kernels: 'sse2', 'avx2' or 'avx512f' (the widest "
          "this CPU runs, capped by the VELT_ISA environment variable read at import)");

    // After the kernel rows: their fast entries take their places (rows
    // registered later get theirs from a second call).
    velt::bind::install_fast_paths(m);

    m.def("apply_sequence", &velt::bind::apply_sequence, py::arg("state"), py::arg("ops"),
          "Apply a sequence of state-vector gate ops in order (cache-blocked, same bits as one "
          "call per op)");
    m.def("probabilities", &velt::bind::probabilities, py::arg("state"),
          py::arg("qubits") = py::none(),
          "Probabilities |amplitude|^2 of every basis state, or the marginal probabilities of "
          "the given qubits (not normalised)");
    m.def("expectation_pauli", &velt::bind::expectation_pauli, py::arg("state"), py::arg("paulis"),
          py::arg("qubits"),
          "Expectation value <state|P|state> of the Pauli string P (letters I, X, Y, Z on the "
          "given qubits)");
    m.def("sample", &velt::bind::sample, py::arg("state"), py::arg("uniforms"),
          "Basis-state indices drawn from |amplitude|^2, one per uniform in [0, 1)");
    m.def("measure", &velt::bind::measure, py::arg("state"), py::arg("qubit"), py::arg("u"),
          "Projective measurement of one qubit with the uniform u, collapsing the state in "
          "place; returns (outcome, probability)");

    m.def("apply_diagonal", &velt::bind::apply_diagonal, py::arg("state"), py::arg("targets"),
          py::arg("diag"), py::arg("controls") = py::list(),
          "Diagonal gate: multiplies each amplitude (where every control is 1) by the entry of "
          "diag that its target bits select");
    m.def("apply_pauli_rotation", &velt::bind::apply_pauli_rotation, py::arg("state"),
          py::arg("paulis"), py::arg("qubits"), py::arg("theta"), py::arg("controls") = py::list(),
          "Pauli rotation exp(-i theta/2 P) of the Pauli string P (letters I, X, Y, Z on the "
          "given qubits), where every control is 1");

    m.def("expectation_paulis", &velt::bind::expectation_paulis, py::arg("state"), py::arg("terms"),
          "Expectation values <state|P|state> of the Pauli strings of the (paulis, qubits) terms, "
          "each the value expectation_pauli gives");
    m.def("expectation_pauli_sum", &velt::bind::expectation_pauli_sum, py::arg("state"),
          py::arg("coeffs"), py::arg("terms"),
          "Sum of coeffs[t] * <state|P_t|state> over the (paulis, qubits) terms, added in term "
          "order");
    m.def("inner_product", &velt::bind::inner_product, py::arg("a"), py::arg("b"),
          "Overlap <a|b>: the sum of conj(a[i]) * b[i], a complex number");

    m.def("apply_kraus", &velt::bind::apply_kraus, py::arg("rho"), py::arg("n_qubits"),
          py::arg("qubits"), py::arg("kraus_ops"),
          "Apply a Kraus channel on 1 to 3 qubits to a density matrix, in place");
    m.def("apply_unitary_rho", &velt::bind::apply_unitary_rho, py::arg("rho"), py::arg("n_qubits"),
          py::arg("targets"), py::arg("u"), py::arg("controls") = py::list(),
          "Conjugate a density matrix by a dense gate (targets + optional controls), in place, in "
          "one pass");
    m.def("apply_kraus_sampled", &velt::bind::apply_kraus_sampled, py::arg("state"),
          py::arg("qubits"), py::arg("kraus_ops"), py::arg("u"),
          "One trajectory step of a Kraus channel on a state vector: the operator drawn by the "
          "uniform u, applied and renormalised in place; returns its index");

    // The fast entries of the rows registered since the first call.
    velt::bind::install_fast_paths(m);
}

}  // namespace
}  // namespace VELT_PRECISION_NS
}  // namespace velt

#if VELT_SINGLE
void velt::register_single(py::module_& m) { register_functions(m); }
#else
PYBIND11_MODULE(velt_core, m) {
    m.doc() = "VELT native statevector/density-matrix kernels";
    m.attr("__version__") = VELT_VERSION;  // from pyproject.toml, through CMakeLists.txt
    velt::register_functions(m);

    // After every row of the module: the same functions on complex64 states.
    // Registered in sys.modules too, so that `import velt_core.single` and
    // `from velt_core.single import apply_1q` work as for a package.
    py::module_ single = m.def_submodule(
        "single",
        "The same functions on complex64 states (C-contiguous complex64 numpy arrays, updated "
        "in place)");
    velt::register_single(single);
    py::module_::import("sys").attr("modules")["velt_core.single"] = single;
}
#endif
