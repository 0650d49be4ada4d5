"""Checks run under mpiexec by tests/test_mpi.py, one scenario per launch.

    mpiexec -n P python -m mpi4py tests/mpi_worker.py SCENARIO [options]

Every rank builds the same circuits from the same seed.  The root rank
compares what the ranks computed with velt_core on the full state and prints
one line "RESULT <json>"; a failed check raises, and `python -m mpi4py` turns
an uncaught exception into an abort of every rank.
"""

import argparse
import contextlib
import faulthandler
import hashlib
import json
import math
import resource
import sys
from pathlib import Path

import numpy as np
from mpi4py import MPI

sys.path.insert(0, str(Path(__file__).resolve().parent))
from circuits import catch, error_cases, pick, random_circuit, reference, run_one_by_one  # noqa: E402
from helpers import PRECISIONS, assert_same_bits, random_state  # noqa: E402

import velt_core  # noqa: E402
from velt_mpi import DistributedState, SelfComm, _agree, _layout, _state  # noqa: E402
from velt_mpi._comm import quiet_barrier  # noqa: E402

COMM = MPI.COMM_WORLD
RANK, SIZE = COMM.Get_rank(), COMM.Get_size()
ROOT = 0


def precision(opts):
    """(the module, the dtype) of the scenario's --dtype: velt_core and
    complex128, or velt_core.single and complex64."""
    return PRECISIONS[opts.dtype]


def scenario_circuits(opts):
    """Random circuits: gathered bytes equal to velt_core on the full state,
    gate by gate and through apply_sequence; digests for cross-run checks."""
    digests = {}
    checked = 0
    dtype = np.dtype(opts.dtype)
    for n in opts.n:
        rng = np.random.default_rng([opts.seed, n])
        full = random_state(rng, 1 << n, special=opts.special, dtype=dtype)
        # The same circuit for every rank count up to opts.widest.
        n_local = n - (max(opts.widest, SIZE).bit_length() - 1)
        ops = random_circuit(rng, n, n_local, opts.length)
        expected = reference(full, ops) if RANK == ROOT else None
        quiet_barrier(COMM)  # the others sleep while the root computes
        last = SIZE - 1
        for how in ("one_by_one", "sequence"):
            if how == "sequence":
                # In and out through the last rank, to the root at the end.
                state = DistributedState.from_full(
                    full if RANK == last else None, root=last, chunk=opts.chunk, dtype=dtype
                )
                state.apply_sequence(ops)
                got = state.gather(root=last)
                if RANK == last and last != ROOT:
                    COMM.Send(got, dest=ROOT)
                elif RANK == ROOT and last != ROOT:
                    got = np.empty(1 << n, dtype=dtype)
                    COMM.Recv(got, source=last)
            else:
                state = DistributedState.from_full(full if RANK == ROOT else None, chunk=opts.chunk, dtype=dtype)
                run_one_by_one(state, ops)
                got = state.gather()
            if not opts.special:
                # matches() compares without a gather; one changed bit anywhere
                # (here in the last rank's part) turns every rank's answer.
                assert state.matches(expected)
                altered = expected.copy() if RANK == ROOT else None
                if RANK == ROOT:
                    altered.view(np.uint8)[-1] ^= 1
                assert not state.matches(altered)
            if RANK == ROOT:
                assert_same_bits(got, expected, any_nan=opts.special)
                digests[f"{n}"] = hashlib.sha256(got.tobytes()).hexdigest()
                checked += 1
        # Readouts on the final (permuted) layout, against sums on the full state.
        probs = state.probabilities(pick(rng, n, min(3, n)))
        norm = state.norm_squared()
        if RANK == ROOT and not opts.special:
            assert math.isclose(norm, math.fsum(np.abs(expected.astype(np.complex128)) ** 2), rel_tol=1e-12)
            assert math.isclose(float(np.sum(probs)), norm, rel_tol=1e-12)
    return {"checked": checked, "digests": digests}


def scenario_phases(opts):
    """Diagonal gates and rotations whose qubits select ranks: no exchange for
    a diagonal or a Z string (each rank applies its part), one for an X or Y
    letter there; the bits equal those of the precision's module on the full
    state after every op."""
    module, dtype = precision(opts)
    n = opts.n[0]
    rng = np.random.default_rng([opts.seed, n])
    full = random_state(rng, 1 << n, special=True, dtype=dtype)
    state = DistributedState.from_full(full if RANK == ROOT else None, chunk=opts.chunk, dtype=dtype)
    n_local = state.n_local
    top, next_ = n - 1, n - 2

    def diag(k):
        return np.exp(1j * rng.uniform(0, 6.3, 1 << k)) * rng.uniform(0.5, 2, 1 << k)

    ops = [
        ("apply_diagonal", [top, next_], diag(2), [], False),
        ("apply_diagonal", [top, 0, next_], diag(3), [1], False),
        ("apply_diagonal", [next_], diag(1), [top], False),
        ("apply_pauli_rotation", "ZZ", [top, next_], 0.7, [], False),
        ("apply_pauli_rotation", "ZIZ", [top, 1, 0], -2.5, [next_], False),
        ("apply_pauli_rotation", "", [], 1.5, [top], False),
        ("apply_pauli_rotation", "YZZ", [0, top, next_], 4.0, [], False),
        ("apply_pauli_rotation", "XZ", [top, next_], 0.3, [0], True),  # top is exchanged first
        ("apply_diagonal", [next_], diag(1), "every local bit", None),
    ]
    expected = full.copy()
    moves = []
    for name, *args, quiet in ops:
        if args[-1] == "every local bit":
            # Controls on every qubit held locally: with the target on a
            # rank-selecting qubit, it must come over (two ranks and more).
            args[-1] = [q for q in range(n) if state.qubit_map[q] < n_local and q != args[0][0]]
        before = state.exchanges
        getattr(state, name)(*args)
        getattr(module, name)(expected, *args)
        moved = state.exchanges - before
        if quiet is False:
            assert moved == 0, (name, args, moved)
        if quiet is True:
            assert moved == (1 if SIZE > 1 else 0), (name, args, moved)
        moves.append(moved)
        got = state.gather()
        if RANK == ROOT:
            assert_same_bits(got, expected, any_nan=True)
    return {"exchanges": moves}


def scenario_layout(opts):
    """Marginals and norms with the NumPy sums: the same bits for every rank
    count on the same physical layout (here the unpermuted one), equal to a
    one-rank state on the full vector."""
    _state.USE_CORE_PROBABILITIES = opts.core
    _, dtype = precision(opts)
    out = {}
    for n in opts.n:
        rng = np.random.default_rng([opts.seed, n])
        full = random_state(rng, 1 << n, dtype=dtype)
        state = DistributedState.from_full(full if RANK == ROOT else None, chunk=opts.chunk, dtype=dtype)
        cases = [[], [0], [n - 1], [n - 1, 0], list(range(n)), [1, n - 1, 0][: min(3, n)]]
        for qubits in cases:
            got = state.probabilities(qubits)
            if RANK == ROOT:
                single = DistributedState.from_full(full, comm=SelfComm(), chunk=opts.chunk, dtype=dtype)
                want = single.probabilities(qubits)
                # velt_core.probabilities sums blocks of 2048 terms, then the
                # blocks pairwise: the ranks' blocks line up with one
                # process's when each rank holds 2048 or more terms per entry.
                n_local = n - (SIZE.bit_length() - 1)
                terms = 1 << (n_local - sum(q < n_local for q in qubits))
                if not opts.core or terms >= 2048:
                    assert_same_bits(got, want)
                sq = np.abs(full.astype(np.complex128)) ** 2
                for j in range(1 << len(qubits)) if len(qubits) <= 3 else ():
                    mask = np.ones(1 << n, dtype=bool)
                    for d, q in enumerate(qubits):
                        mask &= ((np.arange(1 << n) >> q) & 1) == ((j >> d) & 1)
                    assert math.isclose(got[j], math.fsum(sq[mask]), rel_tol=1e-12, abs_tol=1e-300)
                out[f"{n}:{qubits}"] = hashlib.sha256(got.tobytes()).hexdigest()
            quiet_barrier(COMM)
        norm, total = state.norm_squared(), state.probabilities([])
        assert norm == float(total[0]) and total.shape == (1,)
    return {"digests": out}


def scenario_errors(opts):
    """Every error raised on every rank alike, each slice and the qubit map
    unchanged, and the same type and message as the precision's module on
    the full state."""
    module, dtype = precision(opts)
    n = opts.n[0]
    rng = np.random.default_rng([opts.seed, n])
    full = random_state(rng, 1 << n, dtype=dtype)
    state = DistributedState.from_full(full if RANK == ROOT else None, chunk=opts.chunk, dtype=dtype)
    n_local = state.n_local
    warm_up = random_circuit(rng, n, n_local, 12)  # a permuted map, for the checks below
    state.apply_sequence(warm_up)
    expected_full = reference(full, warm_up)
    seen = []
    for case_id, method, args, kwargs in error_cases(n, n_local, SIZE):
        before = state.local.copy()
        qubit_map = state.qubit_map
        got = catch(lambda: getattr(state, method)(*args, **kwargs))
        assert got is not None, f"{case_id}: no error"
        assert_same_bits(state.local, before)
        assert state.qubit_map == qubit_map, case_id
        kernel = getattr(module, method, None)
        if kernel is not None and "wide" not in case_id:
            psi = expected_full.copy()
            want = catch(lambda: kernel(psi, *args, **kwargs))
            assert want is not None and want[0] == got[0], f"{case_id}: {got} against velt_core's {want}"
            if got[0] != "TypeError":
                assert got[1] == want[1], f"{case_id}: {got} against velt_core's {want}"
            assert_same_bits(psi, expected_full)
        seen.append((case_id, *got))
    everyone = COMM.gather(seen, root=ROOT)
    # The state still works after all of that: a gate on every qubit.
    for q in range(n):
        state.apply_1q(q, 0.6, 0.8, -0.8, 0.6)
        module.apply_1q(expected_full, q, 0.6, 0.8, -0.8, 0.6)
    got = state.gather()
    if RANK == ROOT:
        assert all(rank_seen == everyone[0] for rank_seen in everyone), "ranks disagree"
        assert_same_bits(got, expected_full)
        return {"errors": {case_id: [kind, message] for case_id, kind, message in everyone[0]}}
    return None


def scenario_alloc(opts):
    """An allocation that fails on one rank only: every rank raises
    MemoryError, nothing has moved, and the state works afterwards."""
    module, dtype = precision(opts)
    n = opts.n[0]
    rng = np.random.default_rng([opts.seed, n])
    full = random_state(rng, 1 << n, dtype=dtype)
    state = DistributedState.from_full(full if RANK == ROOT else None, chunk=opts.chunk, dtype=dtype)
    top = n - 1
    real_allocate = _state._allocate

    def failing(n_amps, dtype=None):
        raise MemoryError("injected")

    results = {}
    calls = {
        "exchange": lambda: state.apply_1q(top, 0, 1, 1, 0),
        "flip": lambda: state.apply_cnot_fast(top, 0),
        "sequence": lambda: state.apply_sequence([("apply_1q", 0, 1, 0, 0, 1), ("apply_gate", [top], np.eye(2))]),
        "gather": lambda: state.gather(),
        "new state": lambda: DistributedState(n, dtype=dtype),
    }
    failing_rank = SIZE - 1 if opts.failing_rank is None else opts.failing_rank
    for label, call in calls.items():
        before, qubit_map = state.local.copy(), state.qubit_map
        _state._allocate = failing if RANK == failing_rank else real_allocate
        try:
            got = catch(call)
        finally:
            _state._allocate = real_allocate
        if label == "gather" and failing_rank != ROOT:
            assert got is None, got  # only the root allocates for a gather
            continue
        assert got is not None and got[0] == "MemoryError", (label, got)
        assert_same_bits(state.local, before)
        assert state.qubit_map == qubit_map
        results[label] = got[1]
    everyone = COMM.gather(results, root=ROOT)
    state.apply_1q(top, 0, 1, 1, 0)
    module.apply_1q(full, top, 0, 1, 1, 0)
    got = state.gather()
    if RANK == ROOT:
        assert all(r == everyone[0] for r in everyone), everyone
        assert_same_bits(got, full)
        return {"errors": everyone[0]}
    return None


def physical_order(full, state):
    """The logical state `full` in the physical order of `state`'s map."""
    x = np.arange(1 << state.n_qubits)
    logical = np.zeros_like(x)
    for q, b in enumerate(state.qubit_map):
        logical |= ((x >> b) & 1) << q
    return full[logical], logical


def scenario_sampled(opts):
    """Trajectory steps: the index and the amplitudes of the precision's
    module's step on the full state in the state's physical order, step after
    step, with channels on local and on rank-selecting qubits (exchanged
    first); a digest of the steps on local qubits for comparison across rank
    counts."""
    module, dtype = precision(opts)
    # Operators whose probabilities need the renormalisation in complex128;
    # complex64 holds no such operator, and takes small ones instead.
    small = 1e-160 if dtype == np.complex128 else 1e-20
    digests = {}
    for n in opts.n:
        rng = np.random.default_rng([opts.seed, n])
        full = (rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)).astype(dtype)
        state = DistributedState.from_full(full if RANK == ROOT else None, chunk=opts.chunk, dtype=dtype)
        expected = full.copy()
        local_steps = hashlib.sha256()
        top = n - 1
        plans = [[0], [1, 0], [0, 2, 1], [top], [top, 0], [1, top, top - 1]]
        for step, qubits in enumerate(plans * 2):
            k = len(qubits)
            shape = (1 << k, 1 << k)
            ops = [rng.standard_normal(shape) + 1j * rng.standard_normal(shape) for _ in range(3)]
            if step % 5 == 4:
                ops = [small * ops[0], np.zeros_like(ops[0])]  # the renormalisation of tiny probabilities
            if step % 5 == 2:  # one entry per row: the module sums these without dense products
                ops = [math.sqrt(0.7) * np.eye(1 << k), 1j * math.sqrt(0.3) * np.eye(1 << k)[::-1]]
            u = float(rng.random())
            chosen = state.apply_kraus_sampled(qubits, ops, u)
            assert chosen == COMM.bcast(chosen, root=ROOT)  # the same index on every rank
            got = state.gather()
            if RANK == ROOT:
                physical, logical = physical_order(expected, state)
                mapped = [state.qubit_map[q] for q in qubits]
                assert module.apply_kraus_sampled(physical, mapped, ops, u) == chosen, (n, qubits)
                expected[logical] = physical
                assert_same_bits(got, expected)
                if step < len(plans) and top not in qubits:
                    local_steps.update(got.tobytes() + bytes([chosen]))
            quiet_barrier(COMM)
        digests[str(n)] = local_steps.hexdigest()
    return {"digests": digests}


# ------------------------------------------------- failures on some ranks


class SensorError(RuntimeError):
    """An exception class only this script knows."""


class Raising:
    """An array-like whose conversion raises."""

    def __init__(self, error):
        self.error = error

    def __array__(self, dtype=None, copy=None):
        raise self.error


def catch_all(call):
    """(type name, message) of what the call raised, KeyboardInterrupt included."""
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - an interrupt is agreed on like any other error
        return type(error).__name__, str(error)
    return None


@contextlib.contextmanager
def case(label, seconds=60):
    """A case that hangs ends the job after `seconds`, with every rank's
    traceback on stderr and the case's name before it."""
    sys.stderr.write(f"rank {RANK}: {label}\n")
    faulthandler.dump_traceback_later(seconds, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


@contextlib.contextmanager
def address_space(extra):
    """Lets this process map only `extra` more bytes."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/status") as status:
        size = int(next(line for line in status if line.startswith("VmSize")).split()[1]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + extra, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def same_everywhere(results):
    """Every rank's results, checked equal; the root's copy (None elsewhere)."""
    everyone = COMM.gather(results, root=ROOT)
    if RANK != ROOT:
        return None
    for rank, theirs in enumerate(everyone):
        assert theirs == everyone[0], f"rank {rank} saw {theirs}, rank 0 saw {everyone[0]}"
    return everyone[0]


def unchanged(state, before, qubit_map, label):
    assert_same_bits(state.local, before)
    assert state.qubit_map == qubit_map, label


def scenario_convert(opts):
    """The root's conversion fails in from_full, scatter and matches with
    MemoryError (an array of the other precision whose copy in the state's
    dtype does not fit the root's address space, and one from __array__), an
    exception class of the caller's own, and KeyboardInterrupt: every rank
    raises the same, no slice changes, and the state works afterwards."""
    _, dtype = precision(opts)
    other = np.complex64 if dtype == np.complex128 else np.complex128
    n, root = opts.n[0], SIZE - 1 if opts.root is None else opts.root
    rng = np.random.default_rng([opts.seed, n])
    full = random_state(rng, 1 << n, dtype=dtype)
    state = DistributedState.from_full(full if RANK == ROOT else None, chunk=opts.chunk, dtype=dtype)
    state.apply_sequence(random_circuit(rng, n, state.n_local, 12))  # a permuted map
    expected = state.gather(root=root)
    # 2^25 amplitudes: 256 MiB in complex64, 512 MiB in complex128.  The copy
    # must fail however much freed memory the allocator still holds mapped (it
    # serves a large request from its heap's free top before it maps new
    # memory): with a 64 MiB copy, the conversion sometimes fitted and the
    # slice's allocation failed instead.
    wide = np.ones(1 << 25, dtype=other) if RANK == root else None
    if RANK == root:  # the premise: under the limit the copy itself fails
        with address_space(16 << 20):
            assert catch_all(lambda: np.asarray(wide, dtype=dtype))[0] == "MemoryError"
    kinds = {
        "other precision": wide,
        "array MemoryError": Raising(MemoryError("no room")),
        "array SensorError": Raising(SensorError("sensor offline")),
        "array KeyboardInterrupt": Raising(KeyboardInterrupt()),
    }
    calls = {
        "from_full": lambda given: DistributedState.from_full(given, root=root, chunk=opts.chunk, dtype=dtype),
        "scatter": lambda given: state.scatter(given, root=root),
        "matches": lambda given: state.matches(given, root=root),
    }
    results = {}
    for method, call in calls.items():
        for kind, given in kinds.items():
            before, qubit_map = state.local.copy(), state.qubit_map
            limit = address_space(16 << 20) if kind == "other precision" and RANK == root else contextlib.nullcontext()
            with case(f"{method} {kind}"), limit:
                got = catch_all(lambda: call(given if RANK == root else None))
            assert got is not None, (method, kind)
            unchanged(state, before, qubit_map, (method, kind))
            results[f"{method} {kind}"] = list(got)
    with case("afterwards"):
        assert state.matches(expected, root=root)
        assert DistributedState.from_full(expected, root=root, dtype=dtype).matches(expected, root=root)
    return {"errors": same_everywhere(results), "root": root}


def partial_norm(local):
    """A rank's share of the norm (a test replaces it to fail on one rank)."""
    return float(np.vdot(local, local).real)


@_agree.collective_methods
class WithNorms(DistributedState):
    """A method written as new ones are: checked arguments noted, a local
    step, then the communicator's own allgather (which agrees first)."""

    def partial_norms(self, scale):
        scale = float(scale)
        self._note(scale)
        return [scale * x for x in self._comm.allgather(partial_norm(self._local))]

    def apply_z(self, q):
        """Z on a qubit that must be local: a kernel called on the slice."""
        q = int(q)
        self._note(q)
        self._local_step("apply_z", lambda: self._module.apply_1q(self._local, self._l2p[q], 1, 0, 0, -1))


def scenario_local(opts):
    """A step a rank runs alone fails on rank F only (an injected failure of
    the precision's module or of a NumPy step): every rank raises the same error instead
    of waiting in the next exchange or collective.  After a failure that
    changed amplitudes on some ranks every method but scatter refuses the
    state; a failure that changed nothing leaves it usable."""
    module, dtype = precision(opts)
    n, failing = opts.n[0], SIZE - 1 if opts.failing_rank is None else opts.failing_rank
    rng = np.random.default_rng([opts.seed, n])
    full = random_state(rng, 1 << n, dtype=dtype)
    state = WithNorms.from_full(full if RANK == ROOT else None, chunk=opts.chunk, dtype=dtype)
    top = n - 1
    h = 1 / math.sqrt(2)

    def injected(*args, **kwargs):
        raise MemoryError("injected")

    real_sequence = module.apply_sequence

    def interrupted(psi, ops):
        real_sequence(psi, ops[:1])  # one op applied, then Ctrl-C
        raise KeyboardInterrupt

    def sequence_then_exchange():
        state.apply_sequence([("apply_1q", 0, h, h, h, -h), ("apply_cnot_fast", 0, 1), ("apply_1q", top, h, h, h, -h)])

    real_gate = module.apply_gate

    def gate_on_slice_fails(psi, *args):
        if psi is state.local:  # the chosen operator's write, not the sums over copies
            raise MemoryError("injected")
        return real_gate(psi, *args)

    def trajectory_step():
        local = [q for q in range(n) if state.qubit_map[q] < state.n_local][:2]  # no exchange
        ops = [np.eye(4) * math.sqrt(0.75), np.diag([1, -1, 1, -1]) * 0.5 + 0j]
        state.apply_kraus_sampled(local, ops, 0.6)

    cases = [
        # (label, object, attribute, replacement, ranks it fails on, call, changes amplitudes)
        ("local gate", module, "apply_1q", injected, [failing], lambda: state.apply_1q(0, h, h, h, -h), True),
        ("run before an exchange", module, "apply_sequence", injected, [failing], sequence_then_exchange, True),
        ("interrupted run", module, "apply_sequence", interrupted, [failing], sequence_then_exchange, True),
        ("every rank", module, "apply_1q", injected, range(SIZE), lambda: state.apply_1q(0, h, h, h, -h), False),
        ("read-out", _layout, "local_marginal", injected, [failing], lambda: state.probabilities([0, top]), False),
        ("comparison", _state, "_same_bytes", injected, [failing], lambda: state.matches(full), False),
        (
            "a method's own step",
            sys.modules[__name__],
            "partial_norm",
            injected,
            [failing],
            lambda: state.partial_norms(2),
            False,
        ),
        ("a method's own write", module, "apply_1q", injected, [failing], lambda: state.apply_z(0), True),
        (
            "expectation_paulis",
            module,
            "expectation_paulis",
            injected,
            [failing],
            lambda: state.expectation_paulis([("XZ", [0, top])]),
            False,
        ),
        ("inner_product", module, "inner_product", injected, [failing], lambda: state.inner_product(state), False),
        ("trajectory sums", module, "apply_gate", injected, [failing], trajectory_step, False),
        ("trajectory write", module, "apply_gate", gate_on_slice_fails, [failing], trajectory_step, True),
        (
            "diagonal",
            module,
            "apply_diagonal",
            injected,
            [failing],
            lambda: state.apply_diagonal([0], [1, -1]),
            True,
        ),
        (
            "rotation",
            module,
            "apply_pauli_rotation",
            injected,
            [failing],
            lambda: state.apply_pauli_rotation("XZ", [0, top], 0.5),
            True,
        ),
    ]
    _state.USE_CORE_PROBABILITIES = False  # the read-out case breaks the NumPy sums
    results = {}
    for label, owner, attribute, replacement, ranks, call, changes in cases:
        before, qubit_map = state.local.copy(), state.qubit_map
        real = getattr(owner, attribute)
        if RANK in ranks:
            setattr(owner, attribute, replacement)
        try:
            with case(label):
                got = catch_all(call)
        finally:
            setattr(owner, attribute, real)
        assert got is not None, label
        with case(f"{label}: afterwards"):
            after = catch_all(state.norm_squared)
            if changes:
                assert after is not None and after[0] == "RuntimeError", (label, after)
                unusable = [after, catch_all(lambda: state.apply_swap(0, 1)), catch_all(state.gather)]
                state.scatter(full)  # the one way back, tested on the next case
            else:
                assert after is None, (label, after)
                unchanged(state, before, qubit_map, label)
                unusable = []
        results[label] = [list(got), [list(u) for u in unusable]]
    _state.USE_CORE_PROBABILITIES = True
    with case("afterwards"):
        state.apply_1q(0, h, h, h, -h)
        module.apply_1q(full, 0, h, h, h, -h)
        assert state.matches(full)
    return {"errors": same_everywhere(results), "failing": failing}


def scenario_mismatch(opts):
    """Arguments that differ on rank F, each valid where it is given: every
    rank refuses the call with the same RuntimeError and nothing changes;
    arguments that differ only before conversion (a list for an array, a
    NumPy integer for an int) are no mismatch."""
    n, failing = opts.n[0], SIZE - 1 if opts.failing_rank is None else opts.failing_rank
    rng = np.random.default_rng([opts.seed, n])
    full = random_state(rng, 1 << n)
    state = WithNorms.from_full(full if RANK == ROOT else None, chunk=opts.chunk)
    d = RANK == failing
    top = n - 1
    h = 1 / math.sqrt(2)
    u2 = np.array([[h, h], [h, -h]], dtype=np.complex128)
    u2_other = u2.copy()
    u2_other.reshape(-1).view(np.uint64)[3] ^= 1  # one bit of one entry
    diag = np.array([1, 1j, -1, -1j], dtype=np.complex128)
    diag_other = diag.copy()
    diag_other.view(np.uint64)[2] ^= 1
    other_rank = 1 if failing == 0 else failing
    fresh = DistributedState(n, chunk=opts.chunk)
    cases = {
        "apply_1q qubit": lambda: state.apply_1q(1 if d else 0, h, h, h, -h),
        "apply_1q signed zero": lambda: state.apply_1q(0, 1, -0.0 if d else 0.0, 0, 1),
        "apply_cnot_fast": lambda: state.apply_cnot_fast(top, 1 if d else 0),
        "apply_controlled_1q": lambda: state.apply_controlled_1q(0, top, 0, 1, 1, -1 if d else 1),
        "apply_swap": lambda: state.apply_swap(0, 2 if d else 1),
        "apply_gate_fast": lambda: state.apply_gate_fast([top], u2_other if d else u2),
        "apply_gate": lambda: state.apply_gate([0], u2, [1] if d else [top]),
        "apply_sequence": lambda: state.apply_sequence(
            [("apply_1q", top, h, h, h, -h), ("apply_swap", 0, 2 if d else 1)]
        ),
        "apply_diagonal": lambda: state.apply_diagonal([0, top], diag_other if d else diag),
        "apply_pauli_rotation": lambda: state.apply_pauli_rotation(
            "XZ", [0, top], math.nextafter(0.3, 1) if d else 0.3
        ),
        "make_local": lambda: state.make_local([top - 1] if d else [top]),
        "probabilities": lambda: state.probabilities([1, 0] if d else [0, 1]),
        "norm_squared": lambda: state.probabilities([]) if d else state.norm_squared(),
        "gather": lambda: state.gather(root=1 if d else 0),
        "scatter": lambda: state.scatter(full, root=1 if d else 0),
        "matches": lambda: state.matches(full, root=1 if d else 0),
        "from_full": lambda: DistributedState.from_full(full, root=1 if d else 0),
        "DistributedState n": lambda: DistributedState(n + 1 if d else n),
        "DistributedState chunk": lambda: DistributedState(n, chunk=2 if d else 4),
        "DistributedState dtype": lambda: DistributedState(n, dtype=np.complex64 if d else np.complex128),
        "from_full dtype": lambda: DistributedState.from_full(full, dtype=np.complex64 if d else np.complex128),
        "invalid on one rank": lambda: state.apply_1q(62 if d else 0, h, h, h, -h),
        "a method's own argument": lambda: state.partial_norms(3 if d else 2),
        "a method's own write": lambda: state.apply_z(1 if d else 0),
        "expectation_paulis": lambda: state.expectation_paulis([("XZ", [0, 2 if d else 1])]),
        "expectation_pauli_sum": lambda: state.expectation_pauli_sum(
            [1.0, -0.5 if d else 0.5], [("ZZ", [0, 1]), ("X", [top])]
        ),
        # Another state of the same layout at a different call on one rank.
        "inner_product": lambda: state.inner_product(fresh if d else state),
        "apply_kraus_sampled operators": lambda: state.apply_kraus_sampled([top], [u2_other if d else u2], 0.5),
        "apply_kraus_sampled uniform": lambda: state.apply_kraus_sampled([0], [u2, u2], 0.75 if d else 0.25),
    }
    results = {}
    for label, call in cases.items():
        before, qubit_map = state.local.copy(), state.qubit_map
        with case(label):
            got = catch_all(call)
        assert got is not None, f"{label}: no error"
        unchanged(state, before, qubit_map, label)
        results[label] = list(got)
    # The same arguments in other clothes: these go through.
    with case("equal after conversion"):
        state.apply_gate_fast([top], u2.tolist() if d else u2)
        state.apply_1q(np.int64(0) if d else 0, h, h, h, -h)
        state.apply_gate([0], u2, (top,) if d else [top])
        velt_core.apply_gate_fast(full, [top], u2)
        velt_core.apply_1q(full, 0, h, h, h, -h)
        velt_core.apply_gate(full, [0], u2, [top])
        assert state.matches(full)
    return {"errors": same_everywhere(results), "other": other_rank}


def scenario_construct(opts):
    """Constructor errors, raised by every rank."""
    n = opts.n[0]
    got = catch(lambda: DistributedState(n))
    everyone = COMM.gather(got, root=ROOT)
    if RANK == ROOT:
        assert all(r == everyone[0] for r in everyone), everyone
        return {"error": everyone[0]}
    return None


def scenario_observables(opts):
    """Pauli strings and overlaps: bit for bit the values of the precision's
    module on the full state in physical order, on the unpermuted layout and on one that a
    circuit has permuted; strings with X or Y on rank-selecting qubits
    included.  Errors are raised on every rank with nothing changed."""
    module, dtype = precision(opts)
    checked = 0
    for n in opts.n:
        rng = np.random.default_rng([opts.seed, n])
        full = random_state(rng, 1 << n, special=opts.special, dtype=dtype)
        other = random_state(rng, 1 << n, special=opts.special, dtype=dtype)
        terms = [("", []), ("Z", [n - 1]), ("YY", [n - 1, 0]), ("XZX", [n - 2, n - 1, 1])]
        terms += [("XX", [q, (q + 1) % n]) for q in range(n)] + [("ZZ", [q, (q + 1) % n]) for q in range(n)]
        for _ in range(30):
            k = int(rng.integers(1, min(n, 6) + 1))
            qubits = [int(q) for q in rng.permutation(n)[:k]]
            terms.append(("".join(rng.choice(list("IXYZ"), k)), qubits))
        coeffs = rng.standard_normal(len(terms))
        ops = random_circuit(rng, n, n - (SIZE.bit_length() - 1), 12)
        for permuted in (False, True):
            a = DistributedState.from_full(full if RANK == ROOT else None, chunk=opts.chunk, dtype=dtype)
            b = DistributedState.from_full(other if RANK == ROOT else None, chunk=opts.chunk, dtype=dtype)
            if permuted:  # the same gates on both: the same qubit map
                a.apply_sequence(ops)
                b.apply_sequence(ops)
            assert a.qubit_map == b.qubit_map
            values = a.expectation_paulis(terms)
            energy = a.expectation_pauli_sum(coeffs, terms)
            overlap = a.inner_product(b)
            physical_a = np.concatenate(COMM.allgather(a.local))
            physical_b = np.concatenate(COMM.allgather(b.local))
            everyone = COMM.gather((values.tobytes(), energy, overlap), root=ROOT)
            if RANK == ROOT:
                if not opts.special:  # NaN != NaN
                    assert all(e == everyone[0] for e in everyone[1:])
                mapped = [(p, [a.qubit_map[q] for q in qs]) for p, qs in terms]
                assert_same_bits(values, module.expectation_paulis(physical_a, mapped), any_nan=opts.special)
                want = module.expectation_pauli_sum(physical_a, coeffs, mapped)
                assert_same_bits(np.array([energy]), np.array([want]), any_nan=opts.special)
                assert_same_bits(
                    np.array([overlap]),
                    np.array([module.inner_product(physical_a, physical_b)]),
                    any_nan=opts.special,
                )
                if not opts.special:  # and the physics: the logical state's values
                    logical = module.expectation_paulis(reference(full, ops) if permuted else full, terms)
                    np.testing.assert_allclose(values, logical, rtol=1e-9, atol=1e-9)
                checked += 1
            quiet_barrier(COMM)
        # Refusals: on every rank alike, the slices and maps unchanged.
        c = DistributedState(n, chunk=opts.chunk, dtype=dtype)
        c.apply_swap(0, 1)  # a relabelling: another qubit map on any rank count
        other_dtype = np.complex64 if dtype == np.complex128 else np.complex128
        cases = {
            "letter": lambda: a.expectation_paulis([("Z", [0]), ("Q", [1])]),
            "repeat": lambda: a.expectation_pauli_sum([1.0], [("XX", [1, 1])]),
            "coeffs": lambda: a.expectation_pauli_sum([1.0, 2.0], [("Z", [0])]),
            "complex": lambda: a.expectation_pauli_sum([1j], [("Z", [0])]),
            "layout": lambda: c.inner_product(DistributedState(n, chunk=opts.chunk, dtype=dtype)),
            "register": lambda: a.inner_product(DistributedState(n - 1, dtype=dtype)),
            "type": lambda: a.inner_product(full),
            "dtype": lambda: a.inner_product(DistributedState(n, chunk=opts.chunk, dtype=other_dtype)),
        }
        errors = {}
        for label, call in cases.items():
            before, qubit_map = a.local.copy(), a.qubit_map
            got = catch(call)
            assert got is not None, label
            assert_same_bits(a.local, before)
            assert a.qubit_map == qubit_map
            errors[label] = got
        everyone = COMM.gather(errors, root=ROOT)
        if RANK == ROOT:
            assert all(e == everyone[0] for e in everyone), everyone
            psi = full.copy()
            for label in ("letter", "repeat", "coeffs", "complex"):
                want = catch(lambda label=label: getattr(module, cases_core[label][0])(psi, *cases_core[label][1]))
                assert want[0] == everyone[0][label][0], label
                if want[0] != "TypeError":
                    assert want[1] == everyone[0][label][1], label
            last_errors = everyone[0]
    if RANK == ROOT:
        return {"checked": checked, "errors": {k: list(v) for k, v in last_errors.items()}}
    return None


cases_core = {  # the calls of the refusals above on a full state
    "letter": ("expectation_paulis", ([("Z", [0]), ("Q", [1])],)),
    "repeat": ("expectation_pauli_sum", ([1.0], [("XX", [1, 1])])),
    "coeffs": ("expectation_pauli_sum", ([1.0, 2.0], [("Z", [0])])),
    "complex": ("expectation_pauli_sum", ([1j], [("Z", [0])])),
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario")
    parser.add_argument("--n", type=int, nargs="+", default=[6])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--length", type=int, default=40)
    parser.add_argument("--dtype", default="complex128")
    parser.add_argument("--chunk", type=int, default=None)
    parser.add_argument("--widest", type=int, default=1, help="the largest rank count the circuits must fit")
    parser.add_argument("--special", action="store_true")
    parser.add_argument("--core", action="store_true")
    parser.add_argument("--failing-rank", type=int, default=None)
    parser.add_argument("--root", type=int, default=None)
    opts = parser.parse_args()
    result = globals()[f"scenario_{opts.scenario}"](opts)
    if RANK == ROOT:
        print("RESULT " + json.dumps({"size": SIZE, **(result or {})}), flush=True)


if __name__ == "__main__":
    main()
