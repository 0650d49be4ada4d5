"""DistributedState: a state vector split over 2^p MPI ranks."""

import bisect
import math

import numpy as np

import velt_core

from . import _agree, _args, _comm, _layout

# The exchange buffer: two chunks (one sent, one received) of 1/32 of the
# slice each, so a rank needs its slice plus 1/16 of it.  Small slices use
# chunks of up to 4096 amplitudes (64 KiB) so that a message is not all
# latency; a chunk never exceeds half the slice.
CHUNK_SHARE = 32
MIN_CHUNK = 4096

_NO_FURTHER_USE = math.inf


def _allocate(n_amps, dtype=np.complex128):
    """Memory for n_amps amplitudes (tests replace this to make one rank fail)."""
    return np.empty(n_amps, dtype=dtype)


# The functions of each precision: a state's kernels and read-outs are those
# of the module of its amplitudes' type, looked up at each call.
_MODULES = {np.dtype(np.complex128): velt_core, np.dtype(np.complex64): velt_core.single}


def _precision(function, dtype):
    """The amplitude type `dtype` names, native complex128 or complex64;
    anything else (another type, a byte-swapped one, no type) ValueError."""
    try:
        dtype = np.dtype(dtype)
    except (TypeError, ValueError):
        dtype = None
    if dtype is None or dtype.type not in (np.complex128, np.complex64) or not dtype.isnative:
        raise ValueError(f"{function}: dtype must be complex128 or complex64")
    return dtype


def _is_power_of_two(x):
    return x > 0 and x & (x - 1) == 0


@_agree.collective_methods
class DistributedState:
    """A state of n_qubits qubits held as 2^p slices, one per rank of `comm`.

    Each rank holds 2^(n - p) amplitudes of `dtype` (complex128, or
    complex64 for half the memory): the low n - p physical qubits are local,
    the top p select the rank.  Gates take the arguments of the velt_core
    kernels of the same names (without the state) and raise their errors.
    Every kernel and read-out on a slice is that of the precision's module:
    velt_core for complex128, velt_core.single for complex64, so the bits
    are that module's on the full state.  Every rank must make the same
    calls with the same arguments, in the same order: the calls are
    collective.  Every public method is one collective call
    (_agree.collective_methods): the ranks agree on its arguments before
    anything changes and after each step a rank runs alone, so an error on
    any rank is raised on every rank.
    """

    def __init__(self, n_qubits, comm=None, *, chunk=None, dtype=np.complex128):
        self._mpi = _comm.world() if comm is None else comm
        # Methods communicate through self._comm, which agrees first; the
        # internals use self._mpi where they place the agreement points.
        self._comm = _agree.GuardedComm(self)
        self._rank = self._mpi.Get_rank()
        self._size = self._mpi.Get_size()
        self._call = None  # the collective call under way
        self._calls = 0  # calls made so far, the same count on every rank
        self._broken = None  # why the state is unusable, after a failure part way
        self._construct(n_qubits, chunk, dtype)

    @_agree.collective("DistributedState")
    def _construct(self, n_qubits, chunk, dtype):
        name = "DistributedState"
        n = _args.to_int(name, n_qubits, what="n_qubits")
        if not _is_power_of_two(self._size):
            raise ValueError(f"{name}: the rank count {self._size} is not a power of two")
        p = self._size.bit_length() - 1
        if not 0 <= n <= 62:
            raise ValueError(f"{name}: n_qubits out of range")
        if self._size > 1 and n <= p:
            raise ValueError(f"{name}: {self._size} ranks need at least {p + 1} qubits")
        self._n = n
        self._p = p
        self._l = n - p
        n_local = 1 << self._l
        if chunk is None:
            chunk = max(min(n_local // 2, MIN_CHUNK), n_local // CHUNK_SHARE, 1)
        else:
            chunk = _args.to_int(name, chunk, what="chunk")
            if not _is_power_of_two(chunk):
                raise ValueError(f"{name}: chunk must be a power of two")
            chunk = min(chunk, max(n_local // 2, 1))
        dtype = _precision(name, dtype)
        self._note(n, chunk, dtype.name)
        self._dtype = dtype
        self._chunk = chunk
        self._buffers = None
        self._exchanges = 0
        self._bytes_sent = 0
        self._l2p = list(range(n))
        self._p2l = list(range(n))
        self._local = self._allocate_collectively(name, n_local, "the slice")
        self._local[...] = 0
        if self._rank == 0:
            self._local[0] = 1

    # ------------------------------------------------------------------ views

    @property
    def n_qubits(self):
        return self._n

    @property
    def n_local(self):
        """Local qubits per rank: n_qubits - log2(ranks)."""
        return self._l

    @property
    def comm(self):
        return self._mpi

    @property
    def rank(self):
        return self._rank

    @property
    def size(self):
        return self._size

    @property
    def chunk(self):
        """Amplitudes per exchange message."""
        return self._chunk

    @property
    def exchanges(self):
        """Exchanges this state has made so far (each swaps one rank-selecting
        qubit with a local one)."""
        return self._exchanges

    @property
    def bytes_sent(self):
        """Bytes this rank has sent in exchanges so far (as many arrived)."""
        return self._bytes_sent

    @property
    def dtype(self):
        """The amplitudes' type: numpy.dtype complex128 or complex64."""
        return self._dtype

    @property
    def _module(self):
        """velt_core, or velt_core.single for complex64 amplitudes."""
        return _MODULES[self._dtype]

    @property
    def local(self):
        """This rank's slice, in physical order (see qubit_map)."""
        return self._local

    @property
    def qubit_map(self):
        """Physical bit of each logical qubit: qubit_map[q] < n_local is a
        local bit of the slice, the others select the rank."""
        return tuple(self._l2p)

    # ------------------------------------------------------------ the kernels

    def apply_1q(self, q, m00, m01, m10, m11, /):
        """Single-qubit gate [[m00, m01], [m10, m11]] on qubit q."""
        self._apply("apply_1q", (q, m00, m01, m10, m11))

    def apply_cnot_fast(self, control, target, /):
        """CNOT; a control on a rank-selecting qubit needs no exchange."""
        self._apply("apply_cnot_fast", (control, target))

    def apply_controlled_1q(self, control, target, m00, m01, m10, m11, /):
        """2x2 gate on `target` where `control` is 1."""
        self._apply("apply_controlled_1q", (control, target, m00, m01, m10, m11))

    def apply_swap(self, a, b, /):
        """SWAP of qubits a and b, recorded in the qubit map: no amplitude moves."""
        self._apply("apply_swap", (a, b))

    def apply_gate_fast(self, targets, u, /):
        """Dense gate u on 1 to 4 targets."""
        self._apply("apply_gate_fast", (targets, u))

    def apply_gate(self, targets, u, controls=()):
        """Dense gate u on `targets`, applied where every control is 1."""
        self._apply("apply_gate", (targets, u, controls))

    def apply_diagonal(self, targets, diag, controls=()):
        """Diagonal gate: each amplitude whose controls are all 1 times the
        entry of diag its target bits select.  Targets and controls on
        rank-selecting qubits need no exchange: each rank applies the part of
        the table its own bits select."""
        self._apply("apply_diagonal", (targets, diag, controls))

    def apply_pauli_rotation(self, paulis, qubits, theta, controls=()):
        """exp(-i theta/2 P) where every control is 1.  X and Y letters on
        rank-selecting qubits are exchanged onto local bits first; Z letters
        and controls there need no exchange."""
        self._apply("apply_pauli_rotation", (paulis, qubits, theta, controls))

    def apply_sequence(self, ops):
        """Applies the ops in order; each op is a tuple naming a kernel and
        giving its arguments after the state, e.g. ("apply_1q", q, m00, m01,
        m10, m11) or ("apply_gate", targets, u, controls).  Every op is checked
        before anything changes; errors carry the prefix
        "apply_sequence: op K: "."""
        name = "apply_sequence"
        try:
            ops = list(ops)
        except TypeError:
            raise _args.incompatible(name, "ops must be an iterable of tuples") from None
        checked = []
        for k, op in enumerate(ops):
            prefix = f"{name}: op {k}: "
            if not isinstance(op, (tuple, list)) or not op or not isinstance(op[0], str):
                raise ValueError(prefix + "an op is a tuple (kernel name, arguments...)")
            kernel, args = op[0], tuple(op[1:])
            if kernel not in _args.KERNELS:
                raise ValueError(prefix + f"unknown kernel '{kernel}'")
            fewest, most = _args.arity(kernel)
            if not fewest <= len(args) <= most:
                counts = f"{fewest} or {most}" if most > fewest else f"{fewest}"
                raise ValueError(prefix + f"{kernel} takes {counts} arguments after the state, got {len(args)}")
            if len(args) < most:  # the one optional argument: controls
                args = (*args, ())
            try:
                checked.append((kernel, self._check(kernel, args)))
            except (TypeError, ValueError, RuntimeError) as error:
                raise type(error)(prefix + str(error)) from error
        self._execute(name, self._plan(checked))

    def apply_kraus_sampled(self, qubits, kraus_ops, u):
        """One trajectory step of the channel with Kraus operators `kraus_ops`
        on `qubits`, drawn by the uniform u: apply_kraus_sampled of the
        precision's module on the whole state.  The qubits are made local
        first; the probabilities p_i = |K_i psi|^2 are summed in the module's
        order over the state in physical order, the ranks' partial sums
        meeting in a fixed tree, so the index (returned on every rank) and the
        amplitudes are those of the module's apply_kraus_sampled on the full
        state in physical order, for any number of ranks.  Collective."""
        name = "apply_kraus_sampled"
        qubits, ops, u = _args.convert(name, (qubits, kraus_ops, u), self._n)
        # The operators and the uniform decide the index and the amplitudes:
        # the ranks compare them (with the qubits, noted by _plan) before the
        # first exchange.
        self._note(ops, u)
        if len(qubits) > self._l:
            raise _args.fail(name, f"{len(qubits)} qubits do not fit the {self._l} local qubits of a rank")
        before = (self._l2p, self._p2l)
        plan = self._plan([("make_local", (qubits,))])
        self._execute(name, plan)
        call = self._active(name)
        # Every rank made the agreed exchanges: the slices hold the same
        # logical state under the new map, so a failure on one rank from here
        # to the first write leaves a usable state.
        call.wrote = False
        local_q = [self._l2p[q] for q in qubits]
        p = self._image_norms(local_q, ops)
        total = p[0]
        for value in p[1:]:
            total += value
        if not (total > 0.0 and math.isfinite(total)):
            # The same verdict on every rank: the exchanges are undone (each
            # is its own inverse), so the slices and the map are as they were.
            call.sync()
            with call.unguarded():
                for step in reversed(plan[0]):
                    self._exchange(step[1], step[2])
            self._l2p, self._p2l = before
            raise _args.fail(name, "total probability is zero or not finite")
        threshold = u * total
        running, chosen = 0.0, None
        for i, value in enumerate(p):
            running = value if i == 0 else running + value
            if running > threshold:
                chosen = i
                break
        if chosen is None:
            chosen = max(i for i, value in enumerate(p) if value > 0.0)
        matrix = ops[chosen].reshape(1 << len(qubits), -1)
        norm, pre = p[chosen], 1.0
        # Made before the first write: the double parts of a chunk of a
        # complex64 slice, scaled in double and rounded to float once.
        wide = None if self._dtype == np.complex128 else np.empty(min(2 * len(self._local), _SCALE_CHUNK))
        self._local_step(name, lambda: self._module.apply_gate(self._local, local_q, matrix))
        if norm < TINY_PROBABILITY:
            # As velt_core renormalises tiny probabilities: through an exact
            # power of two, then the squared norm (in double) of the parts so
            # scaled.  Only complex128 gets here: a complex64 p_i that is not
            # zero is at least the square of float's least subnormal, 2^-298.
            pre = math.ldexp(1.0, -math.frexp(norm)[1] // 2)
            scaled = self._local.astype(np.complex128)
            scaled.view(np.float64).__imul__(pre)
            norm = self._sums_of_terms([scaled.real * scaled.real + scaled.imag * scaled.imag])[0]
            del scaled
        scale = 1.0 / math.sqrt(norm)
        self._local_step(name, lambda: _scale_parts(self._local, pre, scale, wide))
        return chosen

    def make_local(self, qubits):
        """Moves the given qubits onto local bits (exchanging as needed), for
        instance before a run of gates on them.  Collective."""
        name = "make_local"
        qubits = _args.to_int_list(name, qubits)
        for q in qubits:
            _args.check_qubit(name, q, self._n - 1)
        _args.check_distinct(name, qubits, (), "repeated qubit")
        if len(qubits) > self._l:
            raise _args.fail(name, f"{len(qubits)} qubits do not fit the {self._l} local qubits of a rank")
        self._execute(name, self._plan([("make_local", (qubits,))]))

    # --------------------------------------------------------- state in/out

    @classmethod
    def from_full(cls, full, comm=None, root=0, *, chunk=None, dtype=np.complex128):
        """A distributed copy of the full state `full`, given on `root` (other
        ranks pass None), with amplitudes of `dtype` (complex128 or
        complex64): the root converts `full` as np.asarray(full, dtype)."""
        comm = _comm.world() if comm is None else comm
        rank = comm.Get_rank()
        call = _agree.Call(comm, "from_full")
        with _agree.guarded(call):
            root = _check_root("from_full", root, comm.Get_size())
            dtype = _precision("from_full", dtype)
            call.note(root, dtype.name)
            n = None
            if rank == root:
                full = _full_array("from_full", full, None, dtype)
                n = full.shape[0].bit_length() - 1
            else:
                call.abstain()
            call.sync()
            with call.unguarded():
                n = comm.bcast(n, root=root)
        state = cls(n, comm, chunk=chunk, dtype=dtype)
        state.scatter(full if rank == root else None, root=root)
        return state

    def scatter(self, full, root=0):
        """Replaces the amplitudes with the full state `full` (logical order),
        given on `root` and converted there to the state's dtype as
        np.asarray(full, dtype) converts it; the qubit map starts afresh.  The one method a state
        left unusable by a failure part way accepts (see _end)."""
        name = "scatter"
        call = self._active(name)
        root = _check_root(name, root, self._size)
        call.note(root)
        if self._rank == root:
            full = _full_array(name, full, self._n, self._dtype)
        else:
            call.abstain()
        call.sync()
        call.wrote = True
        self._l2p = list(range(self._n))
        self._p2l = list(range(self._n))
        n_local = 1 << self._l
        with call.unguarded():
            if self._rank == root:
                for r in range(self._size):
                    part = full[r * n_local : (r + 1) * n_local]
                    if r == root:
                        self._local[...] = part
                        continue
                    for start in range(0, n_local, self._chunk):
                        self._mpi.Send(part[start : start + self._chunk], dest=r, tag=_TAG_SCATTER)
            else:
                for start in range(0, n_local, self._chunk):
                    self._mpi.Recv(self._local[start : start + self._chunk], source=root, tag=_TAG_SCATTER)
        self._broken = None

    def gather(self, root=0):
        """The full state in logical order on `root` (an array of the state's
        dtype), None on the other ranks."""
        name = "gather"
        call = self._active(name)
        root = _check_root(name, root, self._size)
        call.note(root)
        n_local = 1 << self._l
        full = staging = None
        if self._rank == root:
            try:
                full = _allocate(1 << self._n, self._dtype)
                staging = _allocate(self._chunk, self._dtype)
            except (MemoryError, ValueError) as error:
                raise MemoryError(f"{name}: no memory for the full state on the root rank") from error
        else:
            call.abstain()
        call.sync()
        with call.unguarded():
            if self._rank != root:
                for start in range(0, n_local, self._chunk):
                    self._mpi.Send(self._local[start : start + self._chunk], dest=root, tag=_TAG_GATHER)
                return None
            c = self._chunk.bit_length() - 1
            for r in range(self._size):
                for start in range(0, n_local, self._chunk):
                    view = _layout.logical_view(full, self._p2l, r * n_local + start, c)
                    if r == root:
                        view[...] = self._local[start : start + self._chunk].reshape(view.shape)
                    elif view.ndim == 1 and view.strides[0] == full.itemsize:
                        self._mpi.Recv(view, source=r, tag=_TAG_GATHER)
                    else:
                        self._mpi.Recv(staging, source=r, tag=_TAG_GATHER)
                        view[...] = staging.reshape(view.shape)
        return full

    def matches(self, full, root=0):
        """Whether the state equals `full` (logical order, given on `root`,
        converted to the state's dtype) byte for byte, the same bool on every
        rank.  The root sends each rank
        its part chunk by chunk, so no rank holds more than its slice and a
        chunk besides (the root also holds `full`)."""
        name = "matches"
        call = self._active(name)
        root = _check_root(name, root, self._size)
        call.note(root)
        staging = self._allocate_alone(name, self._chunk, "the comparison buffer")
        if self._rank == root:
            full = _full_array(name, full, self._n, self._dtype)
        else:
            call.abstain()
        call.sync()
        n_local, c = 1 << self._l, self._chunk.bit_length() - 1
        same, failure = True, None
        with call.unguarded():
            for r in range(self._size) if self._rank == root else ():
                for start in range(0, n_local, self._chunk):
                    view = _layout.logical_view(full, self._p2l, r * n_local + start, c)
                    np.copyto(staging.reshape(view.shape), view)
                    if r != root:
                        self._mpi.Send(staging, dest=r, tag=_TAG_SCATTER)
                    elif failure is None:
                        same, failure = _compare(same, staging, self._local[start : start + self._chunk])
            if self._rank != root:
                for start in range(0, n_local, self._chunk):
                    self._mpi.Recv(staging, source=root, tag=_TAG_SCATTER)
                    if failure is None:
                        # A comparison that fails (its temporary array) keeps
                        # the receives going, so the root's sends complete.
                        same, failure = _compare(same, staging, self._local[start : start + self._chunk])
        if failure is not None:
            raise failure
        call.touch()
        call.sync()
        with call.unguarded():
            return _comm.count_failures(self._mpi, not same) == 0

    # ----------------------------------------------------------- reductions

    def probabilities(self, qubits=None):
        """Marginal probabilities over `qubits` (all qubits when None), the
        same array on every rank: entry j sums |a|^2 over the amplitudes whose
        qubit qubits[d] is bit d of j.  Partial sums combine in a fixed tree
        over rank order, so the result does not depend on thread counts and,
        for the same physical layout, not on the number of ranks."""
        name = "probabilities"
        if qubits is None:
            qubits = list(range(self._n))
        qubits = _args.to_int_list(name, qubits)
        for q in qubits:
            _args.check_qubit(name, q, self._n - 1)
        _args.check_distinct(name, qubits, (), "repeated qubit")
        return self._marginal(qubits)

    def norm_squared(self):
        """Sum of |a|^2 over the whole state, the same float on every rank."""
        return float(self._marginal([])[0])

    def _marginal(self, qubits):
        """Agrees on `qubits` (checked) and on each rank's partial sums, then
        combines them; the combination is a local step too."""
        name = "_marginal"
        call = self._active(name)
        call.note("marginal", qubits)
        n_loc = self._l
        local_q = [self._l2p[q] for q in qubits if self._l2p[q] < n_loc]
        core = getattr(self._module, "probabilities", None) if USE_CORE_PROBABILITIES else None
        if core is not None:
            part = self._local_step(name, lambda: np.asarray(core(self._local, local_q), dtype=np.float64), False)
        else:
            part = self._local_step(name, lambda: _layout.local_marginal(self._local, local_q, self._chunk), False)
        call.sync()
        with call.unguarded():
            parts = self._mpi.allgather(part) if self._size > 1 else [part]
        call.touch()
        # Positions: local entries in the low bits (bit e for local_q[e]), the
        # rank's bits above them; sum the free rank bits, lowest first.
        values = np.concatenate(parts)
        k_local = len(local_q)
        bits = list(local_q) + [n_loc + g for g in range(self._p)]
        kept = {self._l2p[q] for q in qubits}
        values, bits = _layout.sum_out(values, bits, [b for b in bits[k_local:] if b not in kept])
        return _layout.reorder(values, bits, [self._l2p[q] for q in qubits])

    # ----------------------------------------------------------- observables

    def expectation_paulis(self, terms):
        """<psi|P_t|psi> of each (paulis, qubits) term, as velt_core's
        expectation_paulis takes them: a new float64 array, the same on every
        rank, bit for bit the precision's module's values (velt_core, or
        velt_core.single for complex64) on the full state in physical order
        (the logical order while qubit_map is the identity), for any number
        of ranks.  The layout does not change: a string with X or Y on a
        rank-selecting qubit pairs amplitudes of two ranks, and the rank of
        each pair whose bit is 0 receives its partner's slice, chunk by chunk,
        and sums those pairs (see _cross_rank)."""
        name = "expectation_paulis"
        terms = _args.to_terms(name, terms, self._n)
        self._note(terms)
        return self._pauli_values(name, terms)

    def expectation_pauli_sum(self, coeffs, terms):
        """Sum of coeffs[t] * <psi|P_t|psi>, from 0.0 in term order, as
        velt_core's expectation_pauli_sum adds it; the same float on every
        rank."""
        name = "expectation_pauli_sum"
        terms = _args.to_terms(name, terms, self._n)
        coeffs = _args.to_coeffs(name, coeffs, len(terms))
        self._note(terms, coeffs)
        total = 0.0
        for c, v in zip(coeffs.tolist(), self._pauli_values(name, terms).tolist(), strict=True):
            total = total + c * v
        return total

    def inner_product(self, other):
        """<self|other> = sum of conj(a_i) b_i over the whole register, as a
        complex, the same on every rank: bit for bit the inner_product of
        the precision's module on the two full states in physical order.  Both
        states must share the communicator, the register, the dtype and the
        qubit map."""
        name = "inner_product"
        if not isinstance(other, DistributedState):
            raise _args.incompatible(name, f"other must be a DistributedState, not {type(other).__name__}")
        if other._n != self._n:
            raise _args.fail(name, f"the states have different registers ({self._n} and {other._n} qubits)")
        if other._dtype != self._dtype:
            raise _args.fail(name, f"the states have different dtypes ({self._dtype.name} and {other._dtype.name})")
        if not _same_ranks(self._mpi, other._mpi):
            raise _args.fail(name, "the states are spread over different communicators")
        if other._l2p != self._l2p:
            raise _args.fail(name, "the states' qubit maps differ (bring them to one layout first)")
        self._note(other)
        if self._size == 1 or self._l < _OVERLAP_LOCAL_QUBITS:
            return self._module.inner_product(self._physical_full(), self._physical_full(other))
        part = self._local_step(name, lambda: self._module.inner_product(self._local, other._local), False)
        parts = self._comm.allgather((part.real, part.imag))
        return complex(_tree([re for re, _ in parts]), _tree([im for _, im in parts]))

    def _image_norms(self, local_q, ops):
        """|K psi|^2 for every operator, in velt_core's summation order over
        the whole state in physical order (K psi formed by the precision's
        module, its squares in double), the same list on every rank."""
        if self._l < _layout.BLOCK_BITS:
            # A block of the sums spans several slices: every rank sends its
            # terms to every rank, which sums them as one process would.
            terms = []
            for op in ops:
                image = self._local.copy()
                self._module.apply_gate(image, local_q, op.reshape(1 << len(local_q), -1))
                image = image.astype(np.complex128, copy=False)  # |a|^2 in double, from exact parts
                terms.append(image.real * image.real + image.imag * image.imag)
            return self._sums_of_terms(terms)
        mine = np.array([_layout.pairwise(self._image_block_totals(local_q, op)) for op in ops])
        parts = self._comm.allgather(mine) if self._size > 1 else [mine]
        # The slices' trees are whole subtrees of the state's (each slice
        # holds 2^(l - 11) blocks), and the ranks' totals meet in rank order.
        return [_layout.pairwise([part[i] for part in parts]) for i in range(len(ops))]

    def _sums_of_terms(self, terms):
        """Each of `terms` (a list of per-amplitude terms of the local slice)
        summed in velt_core's order over the whole state."""
        if self._l < _layout.BLOCK_BITS:
            mine = np.array(terms)
            parts = self._comm.allgather(mine) if self._size > 1 else [mine]
            whole = np.concatenate(parts, axis=1)  # physical order
            return [_layout.pairwise(_layout.lane_totals(row)) for row in whole]
        out = []
        for t in terms:
            mine = _layout.pairwise(_layout.lane_totals(t))
            parts = self._comm.allgather(mine) if self._size > 1 else [mine]
            out.append(_layout.pairwise(parts))
        return out

    def _image_block_totals(self, local_q, op):
        """Lane totals of |K psi|^2 over each block of 2048 amplitudes of the
        slice, in block order, with K psi formed tile by tile: the c lowest
        bits together with the channel's qubits at or above them (about 1/32
        of the slice, copied out, transformed by the module's apply_gate and
        summed by its probabilities, whose entries over the tile's bits from
        11 up are the lane totals of its blocks)."""
        n_loc, low = self._l, _layout.BLOCK_BITS
        c = max(low, n_loc - 8)
        high = sorted(q for q in local_q if q >= c)
        mapped = [q if q < c else c + high.index(q) for q in local_q]
        rest = [b for b in range(c, n_loc) if b not in high]  # fixed in a tile, ascending
        # Axes: slice bits n_loc - 1 down to c, then the run of the c lowest.
        axes = self._local.reshape((2,) * (n_loc - c) + (1 << c,))
        order = [n_loc - 1 - b for b in reversed(rest)] + [n_loc - 1 - b for b in reversed(high)] + [n_loc - c]
        tiles = axes.transpose(order)
        tile_bits = c + len(high)
        slice_bit = list(range(c)) + high  # slice bit of each tile bit
        j = np.arange(1 << (tile_bits - low), dtype=np.int64)
        offsets = np.zeros_like(j)
        for d in range(tile_bits - low):
            offsets |= ((j >> d) & 1) << (slice_bit[low + d] - low)
        matrix = op.reshape(1 << len(local_q), -1)
        totals = np.empty(1 << (n_loc - low))
        for t in range(1 << len(rest)):
            index = tuple((t >> (len(rest) - 1 - a)) & 1 for a in range(len(rest)))
            base = sum(((t >> e) & 1) << b for e, b in enumerate(rest))
            tile = np.array(tiles[index], order="C").reshape(-1)  # a copy, even of the whole slice
            self._module.apply_gate(tile, mapped, matrix)
            totals[(base >> low) | offsets] = self._module.probabilities(tile, list(range(low, tile_bits)))
        return totals

    # ------------------------------------------------------------ internals

    def _physical_full(self, state=None):
        """The whole of `state` (this one by default, or another on the same
        ranks) in physical order on every rank (small states); gathered
        through this state's communicator, whose call is under way."""
        state = self if state is None else state
        if self._size == 1:
            return state._local
        return np.concatenate(self._comm.allgather(state._local))

    def _pauli_values(self, name, terms):
        """The values of checked terms (logical qubits).

        Each string's pair terms are those of velt_core on the full state in
        physical order, in the same order: a rank's pairs (local strings) or
        a receiving rank's pairs (strings with X or Y on rank-selecting bits)
        form one aligned run of whole summation blocks of 2048 terms, so each
        rank's sum is a subtree of the one-process tree, and the ranks' sums
        meet in the rest of that tree, in rank order.  Every factor applied
        on the way (+1.0 or -1.0) is exact.  Slices of fewer than
        2^_PAULI_LOCAL_QUBITS amplitudes hold less than a block: such a
        state is gathered on every rank and summed whole."""
        n_loc = self._l
        strings = [_physical_masks(paulis, qubits, self._l2p) for paulis, qubits in terms]
        if not strings:
            return np.zeros(0)
        if self._size == 1 or n_loc < _PAULI_LOCAL_QUBITS:
            return self._module.expectation_paulis(self._physical_full(), [_term(x, z) for x, z, _ in strings])
        rank = self._rank
        partial = np.zeros(len(strings))
        local = [t for t, (x, _, _) in enumerate(strings) if x >> n_loc == 0]
        if local:
            low = (1 << n_loc) - 1
            local_terms = [_term(strings[t][0] & low, strings[t][1] & low) for t in local]
            values = self._local_step(name, lambda: self._module.expectation_paulis(self._local, local_terms), False)
            for t, v in zip(local, values.tolist(), strict=True):
                partial[t] = (-1.0 if _parity(rank & (strings[t][1] >> n_loc)) else 1.0) * v
        groups = {}
        for t, (x, _, _) in enumerate(strings):
            if x >> n_loc:
                groups.setdefault(x >> n_loc, []).append(t)
        if groups:
            chunk = min(max(self._chunk, _SUM_BLOCK), 1 << n_loc)
            pair = self._allocate_collectively(name, 2 * chunk, "the pair buffer")
            for x_rank in sorted(groups):
                self._cross_rank(name, strings, groups[x_rank], x_rank, pair, chunk, partial)
        everyone = self._comm.allgather(partial)
        out = np.empty(len(strings))
        for t, (x, _, _) in enumerate(strings):
            top = (x >> n_loc).bit_length() - 1  # -1 for a local string: every rank counts
            leaves = [everyone[r][t] for r in range(self._size) if top < 0 or not (r >> top) & 1]
            out[t] = _tree(leaves)
        return out

    def _cross_rank(self, name, strings, which, x_rank, pair, chunk, partial):
        """The strings `which`, whose X/Y bits on rank-selecting qubits are
        x_rank: ranks r and r ^ x_rank pair up; the one whose top bit of
        x_rank is 0 holds the pairs' first index i and sums them, the other
        sends its slice chunk by chunk, in order.

        For a received chunk c' of the partner, and each local chunk c = c' ^
        k (k the string's local X/Y bits at and above the chunk's), the
        buffer `pair` holds the local chunk c and then the partner's chunk
        c', and velt_core sums the string on it as a state of 2 * chunk
        amplitudes: X/Y bits below the chunk's stay, those of the partner
        become the buffer's top bit (an X, or a Y where that keeps the number
        of Y's odd or even), so its pairs are the chunk's pairs, in order.
        The Z parts left out (rank bits, local bits at and above the chunk's)
        are one sign per chunk, and a Y count changed by 2 one more."""
        n_loc, rank = self._l, self._rank
        c_bits = chunk.bit_length() - 1
        chunks = (1 << n_loc) // chunk
        partner = rank ^ x_rank
        top = x_rank.bit_length() - 1
        if (rank >> top) & 1:
            for c in range(chunks):
                self._comm.Send(self._local[c * chunk : (c + 1) * chunk], dest=partner, tag=_TAG_PAIR)
            return
        low, mid = chunk - 1, ((1 << n_loc) - 1) & ~(chunk - 1)
        by_k = {}
        for t in which:
            x, z, y = strings[t]
            y_low = bin(x & z & low).count("1")
            odd = (y - y_low) % 2
            fix = -1.0 if _phase(y) != _phase(y_low + odd) else 1.0
            term = _term(x & low, z & low, c_bits, odd)
            by_k.setdefault((x & mid) >> c_bits, []).append((t, term, z & mid, fix * _sign(rank & (z >> n_loc))))
        sums = {t: [0.0] * chunks for t in which}
        for c_partner in range(chunks):
            self._comm.Recv(pair[chunk:], source=partner, tag=_TAG_PAIR)
            for k, items in by_k.items():
                c = c_partner ^ k
                pair[:chunk] = self._local[c * chunk : (c + 1) * chunk]
                chunk_terms = [term for _, term, _, _ in items]
                values = self._local_step(name, lambda: self._module.expectation_paulis(pair, chunk_terms), False)
                for (t, _, z_mid, factor), v in zip(items, values.tolist(), strict=True):
                    sums[t][c] = (factor * _sign((c << c_bits) & z_mid)) * v
        for t in which:
            partial[t] = _tree(sums[t])

    def _check(self, kernel, args):
        """The kernel's checks, then the one of the distributed layout."""
        args = _args.convert(kernel, args, self._n)
        if kernel in ("apply_gate_fast", "apply_gate"):
            targets = args[0]
            acts = all(t < self._n for t in targets)
            if acts and len(targets) > self._l:
                raise _args.fail(kernel, f"{len(targets)} targets do not fit the {self._l} local qubits of a rank")
        if kernel == "apply_pauli_rotation":
            moved = sum(1 for p in args[0] if p in "XY")
            if moved > self._l:
                raise _args.fail(kernel, f"{moved} X/Y qubits do not fit the {self._l} local qubits of a rank")
        return args

    def _apply(self, kernel, args):
        self._execute(kernel, self._plan([(kernel, self._check(kernel, args))]))

    def _plan(self, ops):
        """Turns checked ops into steps over physical qubits: runs of local
        kernel calls, exchanges and flips.  Runs on every rank alike and moves
        nothing; the qubit map it ends with is returned with the steps.  The
        ops are what the ranks agree on before the first step.

        The kinds and order of the steps never depend on the rank (an op a
        rank skips, for a control on a rank-selecting qubit, leaves None in
        its run): the agreement points between steps are then the same on
        every rank."""
        self._note(ops)
        n_loc, n, rank = self._l, self._n, self._rank
        l2p, p2l = list(self._l2p), list(self._p2l)
        uses = {}
        for i, (kernel, args) in enumerate(ops):
            for q in _qubits_used(kernel, args):
                uses.setdefault(q, []).append(i)

        def next_use(q, i):
            lst = uses.get(q, ())
            k = bisect.bisect_left(lst, i)
            return lst[k] if k < len(lst) else _NO_FURTHER_USE

        steps, run = [], []

        def flush():
            if run:
                steps.append(("ops", list(run)))
                run.clear()

        def localize(i, targets):
            # Each global target swaps with the local bit whose qubit is
            # needed latest (never, for preference), the highest such bit on
            # a tie: the top local bit makes the exchanged halves contiguous.
            held = {l2p[t] for t in targets if l2p[t] < n_loc}
            for t in targets:
                g = l2p[t]
                if g < n_loc:
                    continue
                j = max((b for b in range(n_loc) if b not in held), key=lambda b: (next_use(p2l[b], i), b))
                flush()
                steps.append(("exchange", g, j))
                qg, qj = p2l[g], p2l[j]
                p2l[g], p2l[j] = qj, qg
                l2p[qg], l2p[qj] = j, g
                held.add(j)

        def bit(q):
            return (rank >> (l2p[q] - n_loc)) & 1

        for i, (kernel, args) in enumerate(ops):
            if kernel == "make_local":
                localize(i, args[0])
            elif kernel == "apply_1q":
                q, *m = args
                if q < n:
                    localize(i, [q])
                    run.append(("apply_1q", l2p[q], *m))
            elif kernel in ("apply_cnot_fast", "apply_controlled_1q"):
                c, t, *m = args
                if c != t and max(c, t) < n:
                    localize(i, [t])
                    if l2p[c] < n_loc:
                        run.append((kernel, l2p[c], l2p[t], *m))
                    elif kernel == "apply_cnot_fast":
                        # Every rank keeps the step, so that every rank
                        # takes part in the buffer's allocation round.
                        flush()
                        steps.append(("flip", l2p[t], bit(c)))
                    else:
                        run.append(("apply_1q", l2p[t], *m) if bit(c) else None)
            elif kernel == "apply_swap":
                a, b = args
                if a != b and max(a, b) < n:
                    pa, pb = l2p[a], l2p[b]
                    l2p[a], l2p[b] = pb, pa
                    p2l[pa], p2l[pb] = b, a
            elif kernel == "apply_gate_fast":
                targets, u = args
                if all(t < n for t in targets):
                    localize(i, targets)
                    run.append(("apply_gate_fast", [l2p[t] for t in targets], u))
            elif kernel == "apply_gate":
                targets, u, controls = args
                localize(i, targets)
                if all(bit(c) for c in controls if l2p[c] >= n_loc):
                    local_controls = [l2p[c] for c in controls if l2p[c] < n_loc]
                    run.append(("apply_gate", [l2p[t] for t in targets], u, local_controls))
                else:
                    run.append(None)
            elif kernel == "apply_diagonal":
                targets, diag, controls = args
                held = {l2p[c] for c in controls if l2p[c] < n_loc}
                if not any(l2p[t] < n_loc for t in targets) and len(held) == n_loc:
                    # Every local bit is a control: a target comes over.
                    localize(i, targets[:1])
                if all(bit(c) for c in controls if l2p[c] >= n_loc):
                    run.append(_local_diagonal(targets, diag, controls, l2p, n_loc, rank))
                else:
                    run.append(None)
            elif kernel == "apply_pauli_rotation":
                paulis, qubits, theta, controls = args
                localize(i, [q for q, p in zip(qubits, paulis, strict=True) if p in "XY"])
                if all(bit(c) for c in controls if l2p[c] >= n_loc):
                    # Z letters on rank-selecting qubits multiply P by (-1)^(their
                    # bits): the rotation by -theta of the rest of the string,
                    # whose cos and sin are exactly cos and -sin of theta's.
                    flips = sum(bit(q) for q, p in zip(qubits, paulis, strict=True) if p == "Z" and l2p[q] >= n_loc)
                    kept = [(p, l2p[q]) for q, p in zip(qubits, paulis, strict=True) if p != "I" and l2p[q] < n_loc]
                    local_controls = [l2p[c] for c in controls if l2p[c] < n_loc]
                    run.append(
                        (
                            "apply_pauli_rotation",
                            "".join(p for p, _ in kept),
                            [q for _, q in kept],
                            -theta if flips % 2 else theta,
                            local_controls,
                        )
                    )
                else:
                    run.append(None)
            else:
                raise AssertionError(kernel)
        flush()
        return steps, l2p, p2l

    def _execute(self, function, plan):
        """Runs the steps.  Before each step the ranks agree on what is
        pending: the ops (before anything changes) and the outcome of the
        last local run, so that a run failing on one rank stops every rank
        before the next exchange."""
        steps, l2p, p2l = plan
        call = self._active(function)
        # The same verdict on every rank: exchanges and flips appear in every
        # rank's plan, whatever the rank's own bits.
        if any(step[0] != "ops" for step in steps) and self._buffers is None:
            self._buffers = self._allocate_buffers(function)
        for step in steps:
            call.sync()
            if step[0] == "ops":
                _run_local(self._module, self._local, step[1], call)
                call.touch()
            elif step[0] == "exchange":
                call.wrote = True
                with call.unguarded():
                    self._exchange(step[1], step[2])
            elif step[2]:
                call.wrote = True
                self._flip(step[1])
        # The map changes only once the ranks agree: on the ops when there
        # were no steps (a SWAP), on the last run's outcome otherwise.
        call.sync()
        self._l2p, self._p2l = l2p, p2l

    def _allocate_alone(self, function, n_amps, what):
        """Memory on this rank, or MemoryError; the next agreement point
        tells the other ranks, and how many failed."""
        try:
            return _allocate(n_amps, self._dtype)
        except (MemoryError, ValueError) as error:  # NumPy refuses sizes it cannot address with ValueError
            message = f"{function}: no memory for {what} ({n_amps * self._dtype.itemsize} bytes)"
            raise _agree.counted(MemoryError(message)) from error

    def _allocate_collectively(self, function, n_amps, what):
        """Memory on every rank, or MemoryError on every rank."""
        array = self._allocate_alone(function, n_amps, what)
        call = self._active(function)
        call.touch()
        call.sync()
        return array

    def _allocate_buffers(self, function):
        """The exchange buffer on this rank; agreed on at the first step."""
        send = self._allocate_alone(function, 2 * self._chunk, "the exchange buffer")
        return send[: self._chunk], send[self._chunk :]

    def _local_step(self, function, run, writes=True):
        """run() on this rank alone, as one step of the call under way: one
        velt_core call on the slice (writes=True) or local work that only
        reads it.  Before a write the ranks agree on what is pending (the
        arguments), so nothing changes unless every rank may go on; the
        step's outcome is agreed at the next agreement point (the next
        exchange, collective or the call's end), so a failure here reaches
        every rank.  A write that fails on some ranks after others made
        theirs leaves the state unusable (see _end)."""
        call = self._active(function)
        if writes:
            call.sync()
        try:
            result = run()
        except Exception:
            raise  # velt_core refuses a call before its first write
        except BaseException:
            call.wrote = call.wrote or writes  # an interrupt may come part way
            raise
        call.wrote = call.wrote or writes
        call.touch()
        return result

    # ------------------------------------------------------ collective calls

    def _active(self, what):
        """The collective call under way; internals that communicate run
        only inside one (a public method, or a method decorated with
        _agree.collective)."""
        if self._call is None:
            raise AssertionError(f"velt_mpi: {what} outside a collective call")
        return self._call

    def _note(self, *values):
        """Adds normalised argument values (ints, floats, complex numbers,
        strings, arrays, lists and tuples of them) to what the ranks compare
        at the next agreement point."""
        self._active("_note").note(*values)

    def _begin(self, name):
        ordinal = self._calls
        self._calls += 1
        if self._broken is not None and name != "scatter":
            raise RuntimeError(f"{name}: {self._broken}")
        self._call = _agree.Call(self._mpi, name, ordinal)
        return self._call

    def _end(self, call):
        self._call = None
        if call.broke or call.stranded:
            where = "some ranks only" if call.broke else f"rank {self._rank} only"
            self._broken = (
                f"the state is unusable: a failed {call.function} call had changed amplitudes on {where}; "
                "scatter a full state into it to go on"
            )

    def _agreement_key(self):
        """What a method taking this state as an argument compares across ranks."""
        return ("DistributedState", self._n, self._chunk, self._dtype.name, self._calls, tuple(self._l2p))

    def _halves(self, j):
        """The slice as (blocks, 2, 2^j): [:, 0, :] has local bit j clear."""
        return self._local.reshape(-1, 2, 1 << j)

    def _exchange(self, g, j):
        """Swaps physical bits g (rank-selecting) and j (local) with the
        partner rank that differs in bit g.  Only amplitudes move.

        A rank whose bit g is x keeps the half whose bit j is x and trades the
        other half, element for element in index order, with the partner's
        half of bit j = 1 - x; both sides send from and receive into the same
        positions, in chunks through the bounded buffer."""
        x = (self._rank >> (g - self._l)) & 1
        partner = self._rank ^ (1 << (g - self._l))
        half = self._halves(j)[:, 1 - x, :]
        send_buf, recv_buf = self._buffers
        rows, width = half.shape
        for r0, r1, c0, c1 in _segments(rows, width, self._chunk):
            seg = half[r0:r1, c0:c1]
            recv = recv_buf[: seg.size]
            if r1 - r0 == 1:
                send = seg.reshape(-1)  # one contiguous run: sent from where it is
            else:
                send = send_buf[: seg.size]
                np.copyto(send.reshape(seg.shape), seg)
            self._comm.Sendrecv(
                send, dest=partner, sendtag=_TAG_EXCHANGE, recvbuf=recv, source=partner, recvtag=_TAG_EXCHANGE
            )
            np.copyto(seg, recv.reshape(seg.shape))
        self._exchanges += 1
        self._bytes_sent += half.size * half.itemsize

    def _flip(self, t):
        """X on local bit t as a pure move (for a CNOT whose control selects
        this rank): the halves with bit t clear and set trade places, chunk
        by chunk through the buffer."""
        v = self._halves(t)
        keep_buf = self._buffers[1]
        rows, width = v.shape[0], v.shape[2]
        for r0, r1, c0, c1 in _segments(rows, width, self._chunk):
            lower = v[r0:r1, 0, c0:c1]
            upper = v[r0:r1, 1, c0:c1]
            keep = keep_buf[: lower.size].reshape(lower.shape)
            np.copyto(keep, lower)
            np.copyto(lower, upper)
            np.copyto(upper, keep)


_TAG_EXCHANGE = 151
_TAG_GATHER = 152
_TAG_SCATTER = 153
_TAG_PAIR = 154

# velt_core's read-outs sum blocks of 2048 terms: a rank's share lines up
# with whole blocks from 2^12 amplitudes per slice for Pauli strings (a pair
# per term) and from 2^11 for overlaps; smaller slices are gathered.
_SUM_BLOCK = 2048
_PAULI_LOCAL_QUBITS = 12
_OVERLAP_LOCAL_QUBITS = 11

# Doubles per chunk of a complex64 slice scaled in double (128 KiB).
_SCALE_CHUNK = 1 << 14

# Squared norms below this are renormalised through an exact power of two, as
# velt_core does it (its read-outs' tiny_probability).
TINY_PROBABILITY = 2.0**-900

# Marginals through velt_core.probabilities where the module has it; the
# NumPy path gives the same bits for any number of ranks by construction.
USE_CORE_PROBABILITIES = True


def _segments(rows, width, chunk):
    """Pieces of at most `chunk` elements of a (rows, width) view, both powers
    of two: parts of one row when a row is longer than a chunk, otherwise
    several whole rows."""
    if width >= chunk:
        for r in range(rows):
            for c0 in range(0, width, chunk):
                yield r, r + 1, c0, c0 + chunk
    else:
        step = chunk // width
        for r0 in range(0, rows, step):
            yield r0, min(r0 + step, rows), 0, width


def _run_local(module, local, ops, call):
    """Runs a run of local ops (None: an op this rank skips) through `module`
    (velt_core or velt_core.single).  Its functions refuse a call before the
    first write, so an Exception leaves the slice as it was; an interrupt
    (KeyboardInterrupt) may stop a sequence part way."""
    ops = [op for op in ops if op is not None]
    sequence = getattr(module, "apply_sequence", None)
    if sequence is not None and len(ops) > 1:
        calls = [(sequence, (ops,))]
    else:
        calls = [(getattr(module, kernel), args) for kernel, *args in ops]
    for kernel, args in calls:
        try:
            kernel(local, *args)
        except Exception:
            raise
        except BaseException:
            call.wrote = True
            raise
        call.wrote = True


def _scale_parts(local, pre, scale, wide):
    """Both parts of every amplitude times pre, then times scale, each
    product in double and the result rounded to the slice's precision once,
    as velt_core's trajectory step scales (pre is 1.0 or an exact power of
    two).  A complex64 slice goes through `wide`, a buffer of doubles made
    before the first write, a chunk at a time."""
    if local.dtype == np.complex128:
        parts = local.view(np.float64)
        if pre != 1.0:
            parts *= pre
        parts *= scale
        return
    parts = local.view(np.float32)
    for start in range(0, len(parts), len(wide)):
        piece = parts[start : start + len(wide)]
        buf = wide[: len(piece)]
        np.copyto(buf, piece)  # exact
        if pre != 1.0:
            buf *= pre
        buf *= scale
        np.copyto(piece, buf, casting="same_kind")  # rounded to nearest, ties to even


def _compare(same, a, b):
    """(same and a == b byte for byte, None), or (same, the exception)."""
    try:
        return same and _same_bytes(a, b), None
    except Exception as error:  # noqa: BLE001 - agreed on after the loop
        return same, error


def _local_diagonal(targets, diag, controls, l2p, n_loc, rank):
    """The diagonal gate of this rank's slice: the entries whose rank-selecting
    target bits are this rank's, on the local targets (the same entry for
    every amplitude as on the full state).  With no local target, a local bit
    that is no control carries the one entry twice."""
    fixed = 0
    local = []  # (physical bit, place in the table's index)
    for d, t in enumerate(targets):
        p = l2p[t]
        if p < n_loc:
            local.append((p, d))
        else:
            fixed |= ((rank >> (p - n_loc)) & 1) << d
    local_controls = [l2p[c] for c in controls if l2p[c] < n_loc]
    j = np.full(1 << len(local), fixed, dtype=np.int64)
    for e, (_, d) in enumerate(local):
        j |= ((np.arange(1 << len(local)) >> e) & 1) << d
    table = diag[j]
    bits = [p for p, _ in local]
    if not bits:
        bits = [next(b for b in range(n_loc) if b not in local_controls)]
        table = np.repeat(table, 2)
    return ("apply_diagonal", bits, np.ascontiguousarray(table), local_controls)


def _qubits_used(kernel, args):
    if kernel == "apply_1q":
        return [args[0]]
    if kernel in ("apply_cnot_fast", "apply_controlled_1q"):
        return [args[0], args[1]]
    if kernel == "apply_gate_fast":
        return list(args[0])
    if kernel in ("apply_gate", "apply_diagonal"):
        return list(args[0]) + list(args[2])
    if kernel == "apply_pauli_rotation":
        return list(args[1]) + list(args[3])
    return []  # a SWAP only relabels; make_local needs nothing after itself


def _same_bytes(a, b):
    return bool(np.array_equal(a.view(np.uint64), b.view(np.uint64)))


def _check_root(function, root, size):
    root = _args.to_int(function, root, what="root")
    if not 0 <= root < size:
        raise ValueError(f"{function}: root {root} out of range for {size} ranks")
    return root


def _full_array(function, full, n_qubits, dtype):
    """The root's full state as a flat C-contiguous array of `dtype`."""
    if full is None:
        raise TypeError(f"{function}: the root rank must pass the full state")
    try:
        full = np.ascontiguousarray(np.asarray(full, dtype=dtype)).reshape(-1)
    except (TypeError, ValueError):
        raise TypeError(f"{function}: the full state must convert to {dtype.name}") from None
    except MemoryError as error:  # an array of the other precision, say, whose copy does not fit
        message = f"{function}: no memory to convert the full state to {dtype.name} on the root rank"
        raise MemoryError(message) from error
    if n_qubits is None:
        if not _is_power_of_two(full.shape[0]):
            raise ValueError(f"{function}: the full state's length is not a power of two")
    elif full.shape[0] != 1 << n_qubits:
        raise ValueError(f"{function}: the full state must hold 2^{n_qubits} amplitudes")
    return full


def _parity(v):
    return bin(v).count("1") % 2


def _sign(v):
    """(-1)^popcount(v) as a float."""
    return -1.0 if _parity(v) else 1.0


def _phase(y):
    """The sign velt_core puts on twice the sum: + for y = 0, 3 mod 4."""
    return 1 if y % 4 in (0, 3) else -1


def _physical_masks(paulis, qubits, l2p):
    """(x, z, y) of a string on physical bits."""
    x = z = 0
    for letter, q in zip(paulis, qubits, strict=True):
        b = 1 << l2p[q]
        if letter in "XY":
            x |= b
        if letter in "YZ":
            z |= b
    return x, z, paulis.count("Y")


_LETTER = {(1, 0): "X", (1, 1): "Y", (0, 1): "Z"}


def _term(x, z, top=None, top_letter=0):
    """The (paulis, qubits) term of masks x and z, plus an X (top_letter 0)
    or a Y (1) on bit `top` when one is given."""
    paulis, qubits = [], []
    for b in range((x | z).bit_length()):
        bits = ((x >> b) & 1, (z >> b) & 1)
        if bits != (0, 0):
            paulis.append(_LETTER[bits])
            qubits.append(b)
    if top is not None:
        paulis.append("Y" if top_letter else "X")
        qubits.append(top)
    return "".join(paulis), qubits


def _tree(values):
    """velt_core's pairwise tree: neighbours added level by level."""
    values = [float(v) for v in values]
    while len(values) > 1:
        pairs = [values[2 * i] + values[2 * i + 1] for i in range(len(values) // 2)]
        values = pairs + values[len(pairs) * 2 :]
    return values[0] if values else 0.0


def _same_ranks(a, b):
    """Whether two communicators hold the same ranks in the same order (a
    local comparison: no message)."""
    if a is b:
        return True
    if a.Get_size() != b.Get_size():
        return False
    if a.Get_size() == 1:
        return True
    MPI = _comm.mpi()
    return MPI.Comm.Compare(a, b) in (MPI.IDENT, MPI.CONGRUENT)
