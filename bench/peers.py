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
installed (pip install qulacs qiskit-aer).  Thread counts follow
OMP_NUM_THREADS, which the benchmark sets per process.
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


ADAPTERS = (Qulacs, Aer)


def available():
    """The peer adapters whose package imports here."""
    out = []
    for adapter in ADAPTERS:
        module = {"qulacs": "qulacs", "qiskit-aer": "qiskit_aer"}[adapter.name]
        try:
            __import__(module)
        except ImportError:
            continue
        out.append(adapter)
    return out
