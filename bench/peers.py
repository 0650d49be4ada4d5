"""Adapters for other simulators, for per-gate comparisons with velt_core.

Each adapter wraps one simulator's lowest-level per-gate call on a state of n
qubits that it keeps itself, loaded once from a NumPy vector.  Gate families
(the same for every adapter, and for velt_core):

    one(q, m)            2x2 matrix m on qubit q
    cnot(c, t)           CNOT
    swap(a, b)           SWAP
    controlled(c, t, m)  2x2 matrix m on t where c is 1
    dense(targets, u)    2^k x 2^k matrix u; bit d of its index is targets[d]

A family a simulator lacks raises NotImplementedError.  `vector()` returns the
current state as a NumPy complex128 vector (qubit 0 the least significant bit),
so that a benchmark can check every peer against velt_core before it times it.
Peers are optional: `available()` lists the adapters whose package is
installed (pip install '.[peers]': qulacs, qiskit-aer, pennylane-lightning,
qibojit).  Thread counts follow OMP_NUM_THREADS (qibojit's numba kernels:
NUMBA_NUM_THREADS), which the benchmark sets per process.

Several peers number qubits from the most significant bit of the index
(Lightning's wires, qibo's qubits); their adapters map qubit q to n - 1 - q,
so that every adapter's qubit q is bit q of the index, as in velt_core.
"""

import os

import numpy as np


class Velt:
    name = "velt_core"

    def __init__(self, psi):
        import velt_core

        self.vc = velt_core
        self.psi = np.array(psi, dtype=np.complex128)

    def one(self, q, m):
        self.vc.apply_1q(self.psi, q, *np.asarray(m).flat)

    def cnot(self, c, t):
        self.vc.apply_cnot_fast(self.psi, c, t)

    def swap(self, a, b):
        self.vc.apply_swap(self.psi, a, b)

    def controlled(self, c, t, m):
        self.vc.apply_controlled_1q(self.psi, c, t, *np.asarray(m).flat)

    def dense(self, targets, u):
        self.vc.apply_gate_fast(self.psi, targets, u)

    def vector(self):
        return self.psi.copy()


class Qulacs:
    """Qulacs: gate objects made once, then update_quantum_state per call."""

    name = "qulacs"

    def __init__(self, psi):
        import qulacs

        self.q = qulacs
        n = int(np.log2(len(psi)))
        self.state = qulacs.QuantumState(n)
        self.state.load(np.asarray(psi, dtype=np.complex128))
        self.cache = {}

    def _run(self, key, make):
        gate = self.cache.get(key)
        if gate is None:
            gate = self.cache[key] = make()
        gate.update_quantum_state(self.state)

    def one(self, q, m):
        self._run(("one", q, id(m)), lambda: self.q.gate.DenseMatrix(q, np.asarray(m)))

    def cnot(self, c, t):
        self._run(("cnot", c, t), lambda: self.q.gate.CNOT(c, t))

    def swap(self, a, b):
        self._run(("swap", a, b), lambda: self.q.gate.SWAP(a, b))

    def controlled(self, c, t, m):
        def make():
            g = self.q.gate.DenseMatrix(t, np.asarray(m))
            g.add_control_qubit(c, 1)
            return g

        self._run(("controlled", c, t, id(m)), make)

    def dense(self, targets, u):
        self._run(("dense", tuple(targets), id(u)), lambda: self.q.gate.DenseMatrix(list(targets), np.asarray(u)))

    def vector(self):
        return np.array(self.state.get_vector())


class Aer:
    """Qiskit Aer's AerState: the simulator's state driven gate by gate.  Its
    native state may hold operations back; every call ends with flush(), so
    that the time is the gate's, not its queueing's."""

    name = "qiskit-aer"

    def __init__(self, psi):
        from qiskit_aer.quantum_info.states.aer_state import AerState

        threads = int(os.environ.get("OMP_NUM_THREADS", "0"))
        self.state = AerState(method="statevector", max_parallel_threads=threads, fusion_enable=False)
        self.state.initialize(np.array(psi, dtype=np.complex128), copy=True)

    def one(self, q, m):
        self.state.apply_unitary([q], np.asarray(m))
        self.state.flush()

    def cnot(self, c, t):
        self.state.apply_mcx([c], t)
        self.state.flush()

    def swap(self, a, b):
        self.state.apply_mcswap([], a, b)
        self.state.flush()

    def controlled(self, c, t, m):
        # No controlled-2x2 call: the 4x4 controlled matrix on [t, c] (the
        # first qubit is the index's low bit), built once per matrix.
        key = id(m)
        if getattr(self, "_cu_key", None) != key:
            self._cu = np.eye(4, dtype=np.complex128)
            self._cu[np.ix_([2, 3], [2, 3])] = np.asarray(m)
            self._cu_key = key
        self.state.apply_unitary([t, c], self._cu)
        self.state.flush()

    def dense(self, targets, u):
        self.state.apply_unitary(list(targets), np.asarray(u))
        self.state.flush()

    def vector(self):
        # Ends this state: only for the check before timing.
        return np.array(self.state.move_to_ndarray())


class Lightning:
    """PennyLane Lightning (lightning.qubit): its C++ state vector through the
    bindings, one named-gate or matrix call per gate.  The object keeps its
    own copy of the amplitudes (updateData copies in, getState copies out).
    Lightning's wire 0 is the index's most significant bit, so qubit q is wire
    n - 1 - q; a matrix's row index has its first wire as the high bit, hence
    the reversed target list."""

    name = "lightning"

    def __init__(self, psi):
        from pennylane_lightning.lightning_qubit_ops import StateVectorC128

        self.n = int(np.log2(len(psi)))
        self.sv = StateVectorC128(self.n)
        self.sv.updateData(np.ascontiguousarray(psi, dtype=np.complex128))
        self.mats = {}

    def _wire(self, q):
        return self.n - 1 - q

    def _flat(self, m):
        # The bindings take a contiguous complex128 array: convert once per
        # matrix, not per call.  The entry keeps the matrix itself, so that a
        # new matrix at a freed one's id is not mistaken for it.
        entry = self.mats.get(id(m))
        if entry is None or entry[0] is not m:
            entry = self.mats[id(m)] = (m, np.ascontiguousarray(np.asarray(m, dtype=np.complex128).ravel()))
        return entry[1]

    def one(self, q, m):
        self.sv.applyMatrix(self._flat(m), [self._wire(q)], False)

    def cnot(self, c, t):
        self.sv.CNOT([self._wire(c), self._wire(t)], False, [])

    def swap(self, a, b):
        self.sv.SWAP([self._wire(a), self._wire(b)], False, [])

    def controlled(self, c, t, m):
        self.sv.applyControlledMatrix(self._flat(m), [self._wire(c)], [True], [self._wire(t)], False)

    def dense(self, targets, u):
        self.sv.applyMatrix(self._flat(u), [self._wire(t) for t in reversed(targets)], False)

    def vector(self):
        out = np.empty(1 << self.n, dtype=np.complex128)
        self.sv.getState(out)
        return out


class Qibojit:
    """qibojit's numba kernels (qibojit.custom_operators.gates) called directly
    on a NumPy state, without qibo's gate objects and backend dispatch.  The
    kernels take bit positions of the index (the backend turns qibo's qubit q,
    numbered from the most significant bit, into bit n - 1 - q), so velt_core's
    qubit q is passed as bit q.  The two-qubit kernels want their two bit
    positions in ascending order; swap_targets says that the matrix's low index
    bit is the higher position.  The three-qubit kernel takes one mask per
    matrix index bit, lowest first, and the sorted positions of all qubits.
    Threads: numba's pool, sized by NUMBA_NUM_THREADS when numba loads."""

    name = "qibojit"

    def __init__(self, psi):
        from qibojit.custom_operators import gates

        self.g = gates
        self.n = int(np.log2(len(psi)))
        self.state = np.array(psi, dtype=np.complex128)
        self.mats = {}
        self.positions = {}
        # The X and SWAP kernels take a matrix argument they do not read.
        self.unused = np.eye(2, dtype=np.complex128)

    def _sorted(self, qubits):
        # The kernels' int32 array of the sorted bit positions, made once.
        key = tuple(qubits)
        arr = self.positions.get(key)
        if arr is None:
            arr = self.positions[key] = np.array(sorted(key), dtype=np.int32)
        return arr

    def _mat(self, m):
        # Converted once per matrix; the entry keeps the matrix (see Lightning).
        entry = self.mats.get(id(m))
        if entry is None or entry[0] is not m:
            entry = self.mats[id(m)] = (m, np.ascontiguousarray(m, dtype=np.complex128))
        return entry[1]

    def one(self, q, m):
        self.g.apply_gate_kernel(self.state, self._mat(m), 1 << (self.n - 1), q)

    def cnot(self, c, t):
        self.g.multicontrol_apply_x_kernel(self.state, self.unused, self._sorted((c, t)), 1 << (self.n - 2), t)

    def swap(self, a, b):
        lo, hi = sorted((a, b))
        self.g.apply_swap_kernel(self.state, self.unused, 1 << (self.n - 2), lo, hi, False)

    def controlled(self, c, t, m):
        self.g.multicontrol_apply_gate_kernel(self.state, self._mat(m), self._sorted((c, t)), 1 << (self.n - 2), t)

    def dense(self, targets, u):
        k = len(targets)
        if k == 2:
            a, b = targets
            self.g.apply_two_qubit_gate_kernel(self.state, self._mat(u), 1 << (self.n - 2), min(a, b), max(a, b), a > b)
        elif k == 3:
            key = ("masks", *targets)
            masks = self.positions.get(key)
            if masks is None:
                masks = self.positions[key] = np.array([1 << t for t in targets], dtype=np.int64)
            self.g.apply_three_qubit_gate_kernel(
                self.state, self._mat(u), self._sorted(targets), 1 << (self.n - 3), masks
            )
        else:
            raise NotImplementedError(f"qibojit: dense gates on {k} qubits are not wired up here")

    def vector(self):
        return self.state.copy()


ADAPTERS = (Qulacs, Aer, Lightning, Qibojit)

MODULES = {
    "qulacs": "qulacs",
    "qiskit-aer": "qiskit_aer",
    "lightning": "pennylane_lightning.lightning_qubit_ops",
    "qibojit": "qibojit.custom_operators.gates",
}


def available():
    """The peer adapters whose package imports here."""
    out = []
    for adapter in ADAPTERS:
        module = MODULES[adapter.name]
        try:
            __import__(module)
        except ImportError:
            continue
        out.append(adapter)
    return out
