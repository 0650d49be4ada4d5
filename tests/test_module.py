"""The module's boundary: table, docstrings, argument conversion, import."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
import reference as ref
from helpers import assert_same_bits, misaligned, random_matrix, random_state

import velt_core

DOCSTRINGS = {  # in the order of the function table
    "apply_1q": "Fast single-qubit gate application (contiguous-block, vectorizable)",
    "apply_cnot_fast": "Fast CNOT application (contiguous-block, vectorizable)",
    "apply_controlled_1q": "Fast single-control single-target gate (cx/cy/cz/cp/crx/cry/crz)",
    "apply_swap": "Fast SWAP application (contiguous-block, vectorizable)",
    "apply_gate_fast": "Fast small-k (<=4) multi-qubit gate application (contiguous-block)",
    "apply_gate": "General statevector gate application (targets + optional controls)",
    "apply_kraus_1q": "Apply a single-qubit Kraus channel to a density matrix, in place",
    "cpu_dispatch_tier": "0=scalar, 1=AVX2+FMA, 2=AVX-512F+FMA -- which kernel tier this "
    "process actually selected at runtime on the current CPU",
    "kernel_isa": "Instruction set of this process's kernels: 'sse2', 'avx2' or 'avx512f' (the widest this "
    "CPU runs, capped by the VELT_ISA environment variable read at import)",
    "apply_sequence": "Apply a sequence of state-vector gate ops in order (cache-blocked, same bits as one call "
    "per op)",
    "probabilities": "Probabilities |amplitude|^2 of every basis state, or the marginal probabilities of the given "
    "qubits (not normalised)",
    "expectation_pauli": "Expectation value <state|P|state> of the Pauli string P (letters I, X, Y, Z on the given "
    "qubits)",
    "sample": "Basis-state indices drawn from |amplitude|^2, one per uniform in [0, 1)",
    "measure": "Projective measurement of one qubit with the uniform u, collapsing the state in place; returns "
    "(outcome, probability)",
    "apply_diagonal": "Diagonal gate: multiplies each amplitude (where every control is 1) by the entry of diag that "
    "its target bits select",
    "apply_pauli_rotation": "Pauli rotation exp(-i theta/2 P) of the Pauli string P (letters I, X, Y, Z on the given "
    "qubits), where every control is 1",
    "expectation_paulis": "Expectation values <state|P|state> of the Pauli strings of the (paulis, qubits) terms, "
    "each the value expectation_pauli gives",
    "expectation_pauli_sum": "Sum of coeffs[t] * <state|P_t|state> over the (paulis, qubits) terms, added in term "
    "order",
    "inner_product": "Overlap <a|b>: the sum of conj(a[i]) * b[i], a complex number",
    "apply_kraus": "Apply a Kraus channel on 1 to 3 qubits to a density matrix, in place",
    "apply_unitary_rho": "Conjugate a density matrix by a dense gate (targets + optional controls), in place, in "
    "one pass",
    "apply_kraus_sampled": "One trajectory step of a Kraus channel on a state vector: the operator drawn by the "
    "uniform u, applied and renormalised in place; returns its index",
    "single": "The same functions on complex64 states (C-contiguous complex64 numpy arrays, updated in place)",
}
H = (np.array([1, 1, 1, -1]) / np.sqrt(2)).astype(complex)


def test_module_docstring_and_functions():
    assert velt_core.__doc__ == "VELT native statevector/density-matrix kernels"
    public = [name for name in vars(velt_core) if not name.startswith("__")]
    assert public == list(DOCSTRINGS)  # registered in the table's order
    for name, doc in DOCSTRINGS.items():
        assert getattr(velt_core, name).__doc__.rstrip().endswith(doc)


def test_cpu_dispatch_tier_is_scalar():
    tier = velt_core.cpu_dispatch_tier()
    assert tier == 0 and type(tier) is int
    with pytest.raises(TypeError):
        velt_core.cpu_dispatch_tier(0)


def _h_on_copy(values):
    return ref.apply_1q(np.asarray(values, dtype=np.complex128), 0, H)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda psi: psi.tolist(), id="list"),
        pytest.param(lambda psi: psi.real.copy(), id="float64"),
        pytest.param(lambda psi: psi.astype(np.complex64), id="complex64"),
        pytest.param(lambda psi: psi.astype(np.dtype(">c16")), id="byteswapped"),
        pytest.param(lambda psi: np.repeat(psi, 2)[::2], id="strided"),
        pytest.param(lambda psi: np.asfortranarray(np.stack([psi, psi], axis=1)), id="fortran"),
    ],
)
def test_converted_inputs_leave_callers_object_unchanged(rng, make):
    obj = make(random_state(rng, 8))
    before = obj.copy() if hasattr(obj, "copy") else list(obj)
    assert velt_core.apply_1q(obj, 0, *H) is None
    if isinstance(obj, np.ndarray):
        assert obj.dtype == before.dtype
        assert np.array_equal(obj, before, equal_nan=True)
    else:
        assert obj == before


def test_in_place_path_writes_callers_array(rng):
    psi = random_state(rng, 8)
    expected = _h_on_copy(psi)
    velt_core.apply_1q(psi, 0, *H)
    assert_same_bits(psi, expected)


@pytest.mark.parametrize(
    ("qubit", "ok"),
    [(np.int64(1), True), (True, True), (np.int32(0), True), (1.0, False), (2**31, False), ("1", False)],
)
def test_int_parameter_conversion(rng, qubit, ok):
    psi = random_state(rng, 4)
    if ok:
        velt_core.apply_1q(psi, qubit, *H)
    else:
        before = psi.copy()
        with pytest.raises(TypeError):
            velt_core.apply_1q(psi, qubit, *H)
        assert_same_bits(psi, before)


def test_complex_parameters_accept_real_and_numpy_scalars(rng):
    psi = random_state(rng, 4)
    expected = ref.apply_1q(psi, 0, [0.5, 2, np.float32(1.5), np.complex64(1j)])
    velt_core.apply_1q(psi, 0, 0.5, 2, np.float32(1.5), np.complex64(1j))
    assert_same_bits(psi, expected)


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        pytest.param(("not a number", 0, *H), {}, id="string-state"),
        pytest.param((np.zeros(4, complex), 0, *H[:3]), {}, id="too-few"),
        pytest.param((np.zeros(4, complex), 0, *H, 1), {}, id="too-many"),
        pytest.param((np.zeros(4, complex), 0, *H[:3]), {"arg5": 1}, id="keyword"),
        pytest.param((np.zeros(4, complex), 0, "x", *H[1:]), {}, id="string-matrix"),
    ],
)
def test_bad_calls_raise_type_error(args, kwargs):
    with pytest.raises(TypeError):
        velt_core.apply_1q(*args, **kwargs)


def _run(python, code, **env_extra):
    env = dict(os.environ, **env_extra)
    return subprocess.run([python, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env, timeout=120)


def test_import_needs_no_numpy():
    result = _run(
        sys.executable,
        """
        import sys
        sys.modules["numpy"] = None  # any import of numpy now fails
        import velt_core
        assert velt_core.cpu_dispatch_tier() == 0
        try:
            velt_core.apply_1q([1, 0], 0, 1, 0, 0, 1)
        except ImportError:
            print("array call needs numpy")
        """,
    )
    assert result.returncode == 0, result.stderr
    assert "array call needs numpy" in result.stdout


def test_import_does_not_load_numpy():
    result = _run(sys.executable, "import sys, velt_core; print('numpy' in sys.modules)")
    assert result.stdout.strip() == "False", result.stderr


def _other_interpreter():
    this = f"{sys.version_info.major}.{sys.version_info.minor}"
    roots = [Path(sys.base_prefix).parent, Path(os.environ.get("PYENV_ROOT", "~/.pyenv")).expanduser() / "versions"]
    for root in roots:
        for exe in sorted(root.glob("3.*/bin/python3")):
            version = exe.parent.parent.name
            if not version.startswith(this + ".") and version.split(".")[1].isdigit():
                if int(version.split(".")[1]) >= 8:
                    return exe, ".".join(version.split(".")[:2])
    return None, None


# One call of every kernel on an 8-amplitude state (or 16-element rho), with
# its matrix arrays, as functions of (state, arrays).
MATRIX_ARRAYS = {
    "apply_1q": (lambda psi, m: velt_core.apply_1q(psi, 1, *m[0].reshape(4)), 1),
    "apply_cnot_fast": (lambda psi, m: velt_core.apply_cnot_fast(psi, 2, 0), 0),
    "apply_controlled_1q": (lambda psi, m: velt_core.apply_controlled_1q(psi, 0, 2, *m[0].reshape(4)), 1),
    "apply_swap": (lambda psi, m: velt_core.apply_swap(psi, 2, 1), 0),
    "apply_gate_fast": (lambda psi, m: velt_core.apply_gate_fast(psi, [2, 0], m[0]), 1),
    "apply_gate": (lambda psi, m: velt_core.apply_gate(psi, [1], m[0], [2]), 1),
    "apply_kraus_1q": (lambda rho, m: velt_core.apply_kraus_1q(rho, 2, 1, m), 3),
}


@pytest.mark.parametrize("offset", [1, 4, 13])
@pytest.mark.parametrize("kernel", MATRIX_ARRAYS)
def test_misaligned_arrays_are_used_in_place(rng, kernel, offset):
    # NumPy calls a complex128 array cut from a byte buffer at an odd offset
    # C-contiguous, so it reaches the kernel as the caller's own memory; the
    # result must land there, identical to the aligned call's, with the bytes
    # around it untouched (and no misaligned access: UBSan checks that).
    run, count = MATRIX_ARRAYS[kernel]
    size = 16 if kernel == "apply_kraus_1q" else 8
    values = random_state(rng, size, special=True)
    matrices = [random_matrix(rng, 4 if kernel == "apply_gate_fast" else 2) for _ in range(count)]
    expected = values.copy()
    run(expected, matrices)
    state, buffer = misaligned(values, offset, rng)
    moved = [misaligned(m, offset + 3, rng)[0] for m in matrices]
    around = np.delete(buffer, np.s_[offset : offset + state.nbytes]).copy()
    run(state, moved)
    assert_same_bits(state, expected)
    assert np.array_equal(np.delete(buffer, np.s_[offset : offset + state.nbytes]), around)
    for m, original in zip(moved, matrices, strict=True):
        assert_same_bits(m, original)


def test_version_gate_refuses_other_interpreter():
    python, version = _other_interpreter()
    if python is None:
        pytest.skip("no second Python interpreter on this machine")
    # Load this very binary in the other interpreter.  Lazy symbol binding lets
    # the loader reach the entry point, whose version check runs first.
    result = _run(
        str(python),
        f"""
        import importlib.util, os, sys
        sys.setdlopenflags(os.RTLD_LAZY)
        spec = importlib.util.spec_from_file_location("velt_core", {velt_core.__file__!r})
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as exc:
            print(exc)
        """,
    )
    this = f"{sys.version_info.major}.{sys.version_info.minor}"
    expected = (
        f"Python version mismatch: module was compiled for Python {this}, but the interpreter version is incompatible: "
    )
    assert result.stdout.startswith(expected), result.stdout + result.stderr
    assert version in result.stdout
