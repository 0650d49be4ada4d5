"""VELT native statevector/density-matrix kernels"""

# Type information for the velt_core extension, installed beside it.
#
# Kinds of parameter, as the bindings convert them:
# - arrays (`ArrayLike`): a complex128 C-contiguous ndarray is updated in place;
#   anything else NumPy can convert goes to a temporary that the call drops.
# - qubits (`SupportsIndex`): ints, bools and NumPy integer scalars; floats are
#   refused.  (The bindings also take objects with only __int__, such as
#   Decimal; the stub leaves those out so that a float qubit stays an error.)
# - matrix entries (`_Complex`): anything with __complex__, __float__ or
#   __index__, NumPy scalars included.
# - qubit lists (`Iterable[SupportsIndex]`): any iterable (lists, tuples,
#   ranges, sets, generators, arrays) except str, bytes and dict.
# - uniforms and coeffs (`ArrayLike`): anything NumPy converts to float64
#   without loss (complex numbers are refused).
# Functions without parameter names take their arguments by position only.
# The submodule velt_core.single (velt_core.single.pyi in the source tree,
# installed as velt_core-stubs/single.pyi) holds the complex64 family.

from collections.abc import Iterable
from typing import Any, SupportsComplex, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import single as single  # the complex64 family, registered after every function

_Complex: TypeAlias = complex | SupportsComplex | SupportsFloat | SupportsIndex
# An op of apply_sequence: a kernel's name, then its arguments after the
# state, e.g. ("apply_cnot_fast", 0, 1).
_Op: TypeAlias = tuple[Any, ...] | list[Any]
# A term of expectation_paulis: (paulis, qubits), a tuple or a list, e.g.
# ("XZ", [0, 3]).
_Term: TypeAlias = tuple[str, Iterable[SupportsIndex]] | list[Any]

__version__: str

def apply_1q(
    state: ArrayLike,
    q: SupportsIndex,
    m00: _Complex,
    m01: _Complex,
    m10: _Complex,
    m11: _Complex,
    /,
) -> None:
    """Fast single-qubit gate application (contiguous-block, vectorizable)"""

def apply_cnot_fast(state: ArrayLike, control: SupportsIndex, target: SupportsIndex, /) -> None:
    """Fast CNOT application (contiguous-block, vectorizable)"""

def apply_controlled_1q(
    state: ArrayLike,
    control: SupportsIndex,
    target: SupportsIndex,
    m00: _Complex,
    m01: _Complex,
    m10: _Complex,
    m11: _Complex,
    /,
) -> None:
    """Fast single-control single-target gate (cx/cy/cz/cp/crx/cry/crz)"""

def apply_swap(state: ArrayLike, a: SupportsIndex, b: SupportsIndex, /) -> None:
    """Fast SWAP application (contiguous-block, vectorizable)"""

def apply_gate_fast(state: ArrayLike, targets: Iterable[SupportsIndex], u: ArrayLike, /) -> None:
    """Fast small-k (<=4) multi-qubit gate application (contiguous-block)"""

def apply_gate(
    state: ArrayLike,
    targets: Iterable[SupportsIndex],
    u: ArrayLike,
    controls: Iterable[SupportsIndex] = ...,
) -> None:
    """General statevector gate application (targets + optional controls)"""

def apply_kraus_1q(
    rho: ArrayLike,
    n_qubits: SupportsIndex,
    qubit: SupportsIndex,
    kraus_ops: Iterable[ArrayLike],
) -> None:
    """Apply a single-qubit Kraus channel to a density matrix, in place"""

def cpu_dispatch_tier() -> int:
    """0=scalar, 1=AVX2+FMA, 2=AVX-512F+FMA -- which kernel tier this process actually
    selected at runtime on the current CPU"""

def kernel_isa() -> str:
    """Instruction set of this process's kernels: 'sse2', 'avx2' or 'avx512f' (the widest
    this CPU runs, capped by the VELT_ISA environment variable read at import)"""

def apply_sequence(state: ArrayLike, ops: Iterable[_Op]) -> None:
    """Apply a sequence of state-vector gate ops in order (cache-blocked, same bits as one call per op)"""

def probabilities(state: ArrayLike, qubits: Iterable[SupportsIndex] | None = ...) -> NDArray[np.float64]:
    """Probabilities |amplitude|^2 of every basis state, or the marginal probabilities of the given
    qubits (not normalised)"""

def expectation_pauli(state: ArrayLike, paulis: str, qubits: Iterable[SupportsIndex]) -> float:
    """Expectation value <state|P|state> of the Pauli string P (letters I, X, Y, Z on the given
    qubits)"""

def sample(state: ArrayLike, uniforms: ArrayLike) -> NDArray[np.int64]:
    """Basis-state indices drawn from |amplitude|^2, one per uniform in [0, 1)"""

def measure(state: ArrayLike, qubit: SupportsIndex, u: SupportsFloat | SupportsIndex) -> tuple[int, float]:
    """Projective measurement of one qubit with the uniform u, collapsing the state in place;
    returns (outcome, probability)"""

def apply_diagonal(
    state: ArrayLike,
    targets: Iterable[SupportsIndex],
    diag: ArrayLike,
    controls: Iterable[SupportsIndex] = ...,
) -> None:
    """Diagonal gate: multiplies each amplitude (where every control is 1) by the entry of diag that
    its target bits select"""

def apply_pauli_rotation(
    state: ArrayLike,
    paulis: str,
    qubits: Iterable[SupportsIndex],
    theta: SupportsFloat | SupportsIndex,
    controls: Iterable[SupportsIndex] = ...,
) -> None:
    """Pauli rotation exp(-i theta/2 P) of the Pauli string P (letters I, X, Y, Z on the given
    qubits), where every control is 1"""

def expectation_paulis(state: ArrayLike, terms: Iterable[_Term]) -> NDArray[np.float64]:
    """Expectation values <state|P|state> of the Pauli strings of the (paulis, qubits) terms,
    each the value expectation_pauli gives"""

def expectation_pauli_sum(state: ArrayLike, coeffs: ArrayLike, terms: Iterable[_Term]) -> float:
    """Sum of coeffs[t] * <state|P_t|state> over the (paulis, qubits) terms, added in term order"""

def inner_product(a: ArrayLike, b: ArrayLike) -> complex:
    """Overlap <a|b>: the sum of conj(a[i]) * b[i], a complex number"""

def apply_kraus(
    rho: ArrayLike,
    n_qubits: SupportsIndex,
    qubits: Iterable[SupportsIndex],
    kraus_ops: Iterable[ArrayLike],
) -> None:
    """Apply a Kraus channel on 1 to 3 qubits to a density matrix, in place"""

def apply_unitary_rho(
    rho: ArrayLike,
    n_qubits: SupportsIndex,
    targets: Iterable[SupportsIndex],
    u: ArrayLike,
    controls: Iterable[SupportsIndex] = ...,
) -> None:
    """Conjugate a density matrix by a dense gate (targets + optional controls), in place, in one
    pass"""

def apply_kraus_sampled(
    state: ArrayLike,
    qubits: Iterable[SupportsIndex],
    kraus_ops: Iterable[ArrayLike],
    u: SupportsFloat | SupportsIndex,
) -> int:
    """One trajectory step of a Kraus channel on a state vector: the operator drawn by the uniform
    u, applied and renormalised in place; returns its index"""
