"""The same functions on complex64 states (C-contiguous complex64 numpy arrays, updated in place)"""

# Type information for velt_core.single, the complex64 family of velt_core's
# functions (installed as velt_core-stubs/single.pyi).  The parameter kinds
# are velt_core's (see velt_core.pyi) but for the state (and rho): a
# C-contiguous numpy.ndarray of complex64, never converted; anything else
# raises TypeError.  Matrices and Kraus operators are any ArrayLike, which
# NumPy converts to complex64.

from collections.abc import Iterable
from typing import Any, SupportsComplex, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

_Complex: TypeAlias = complex | SupportsComplex | SupportsFloat | SupportsIndex
_Op: TypeAlias = tuple[Any, ...] | list[Any]
_State: TypeAlias = NDArray[np.complex64]
_Term: TypeAlias = tuple[str, Iterable[SupportsIndex]] | list[Any]

def apply_1q(
    state: _State,
    q: SupportsIndex,
    m00: _Complex,
    m01: _Complex,
    m10: _Complex,
    m11: _Complex,
    /,
) -> None:
    """Fast single-qubit gate application (contiguous-block, vectorizable)"""

def apply_cnot_fast(state: _State, control: SupportsIndex, target: SupportsIndex, /) -> None:
    """Fast CNOT application (contiguous-block, vectorizable)"""

def apply_controlled_1q(
    state: _State,
    control: SupportsIndex,
    target: SupportsIndex,
    m00: _Complex,
    m01: _Complex,
    m10: _Complex,
    m11: _Complex,
    /,
) -> None:
    """Fast single-control single-target gate (cx/cy/cz/cp/crx/cry/crz)"""

def apply_swap(state: _State, a: SupportsIndex, b: SupportsIndex, /) -> None:
    """Fast SWAP application (contiguous-block, vectorizable)"""

def apply_gate_fast(state: _State, targets: Iterable[SupportsIndex], u: ArrayLike, /) -> None:
    """Fast small-k (<=4) multi-qubit gate application (contiguous-block)"""

def apply_gate(
    state: _State,
    targets: Iterable[SupportsIndex],
    u: ArrayLike,
    controls: Iterable[SupportsIndex] = ...,
) -> None:
    """General statevector gate application (targets + optional controls)"""

def apply_kraus_1q(
    rho: _State,
    n_qubits: SupportsIndex,
    qubit: SupportsIndex,
    kraus_ops: Iterable[ArrayLike],
) -> None:
    """Apply a single-qubit Kraus channel to a density matrix, in place"""

def kernel_isa() -> str:
    """Instruction set of this process's kernels: 'sse2', 'avx2' or 'avx512f' (the widest
    this CPU runs, capped by the VELT_ISA environment variable read at import)"""

def apply_sequence(state: _State, ops: Iterable[_Op]) -> None:
    """Apply a sequence of state-vector gate ops in order (cache-blocked, same bits as one call per op)"""

def probabilities(state: _State, qubits: Iterable[SupportsIndex] | None = ...) -> NDArray[np.float64]:
    """Probabilities |amplitude|^2 of every basis state, or the marginal probabilities of the given
    qubits (not normalised)"""

def expectation_pauli(state: _State, paulis: str, qubits: Iterable[SupportsIndex]) -> float:
    """Expectation value <state|P|state> of the Pauli string P (letters I, X, Y, Z on the given
    qubits)"""

def sample(state: _State, uniforms: ArrayLike) -> NDArray[np.int64]:
    """Basis-state indices drawn from |amplitude|^2, one per uniform in [0, 1)"""

def measure(state: _State, qubit: SupportsIndex, u: SupportsFloat | SupportsIndex) -> tuple[int, float]:
    """Projective measurement of one qubit with the uniform u, collapsing the state in place;
    returns (outcome, probability)"""

def apply_diagonal(
    state: _State,
    targets: Iterable[SupportsIndex],
    diag: ArrayLike,
    controls: Iterable[SupportsIndex] = ...,
) -> None:
    """Diagonal gate: multiplies each amplitude (where every control is 1) by the entry of diag that
    its target bits select"""

def apply_pauli_rotation(
    state: _State,
    paulis: str,
    qubits: Iterable[SupportsIndex],
    theta: SupportsFloat | SupportsIndex,
    controls: Iterable[SupportsIndex] = ...,
) -> None:
    """Pauli rotation exp(-i theta/2 P) of the Pauli string P (letters I, X, Y, Z on the given
    qubits), where every control is 1"""

def expectation_paulis(state: _State, terms: Iterable[_Term]) -> NDArray[np.float64]:
    """Expectation values <state|P|state> of the Pauli strings of the (paulis, qubits) terms,
    each the value expectation_pauli gives"""

def expectation_pauli_sum(state: _State, coeffs: ArrayLike, terms: Iterable[_Term]) -> float:
    """Sum of coeffs[t] * <state|P_t|state> over the (paulis, qubits) terms, added in term order"""

def inner_product(a: _State, b: _State) -> complex:
    """Overlap <a|b>: the sum of conj(a[i]) * b[i], a complex number"""

def apply_kraus(
    rho: _State,
    n_qubits: SupportsIndex,
    qubits: Iterable[SupportsIndex],
    kraus_ops: Iterable[ArrayLike],
) -> None:
    """Apply a Kraus channel on 1 to 3 qubits to a density matrix, in place"""

def apply_unitary_rho(
    rho: _State,
    n_qubits: SupportsIndex,
    targets: Iterable[SupportsIndex],
    u: ArrayLike,
    controls: Iterable[SupportsIndex] = ...,
) -> None:
    """Conjugate a density matrix by a dense gate (targets + optional controls), in place, in one
    pass"""

def apply_kraus_sampled(
    state: _State,
    qubits: Iterable[SupportsIndex],
    kraus_ops: Iterable[ArrayLike],
    u: SupportsFloat | SupportsIndex,
) -> int:
    """One trajectory step of a Kraus channel on a state vector: the operator drawn by the uniform
    u, applied and renormalised in place; returns its index"""
