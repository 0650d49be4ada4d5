"""velt_mpi: distributed states against velt_core on the full state.

The first tests run in this process on one rank (SelfComm, no MPI needed).
The others start `mpiexec -n P` on tests/mpi_worker.py, oversubscribed where
the machine has fewer cores, with a timeout so that a hang fails the test;
they are skipped, with the reason, where no MPI is installed.
"""

import hashlib
import importlib.util
import json
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from circuits import catch, error_cases, random_circuit, reference, run_one_by_one
from helpers import PRECISIONS, assert_same_bits, random_state

import velt_core
from velt_mpi import DistributedState, SelfComm, _agree, _layout, _state

HERE = Path(__file__).resolve().parent
WORKER = HERE / "mpi_worker.py"
SIZES = (4, 5, 7, 10, 13, 18)
SEED = 11
LENGTH = 40
DTYPES = pytest.mark.parametrize("dtype", ["complex128", "complex64"])


def one_rank(n_or_full, chunk=None):
    if isinstance(n_or_full, int):
        return DistributedState(n_or_full, comm=SelfComm(), chunk=chunk)
    return DistributedState.from_full(n_or_full, comm=SelfComm(), chunk=chunk, dtype=n_or_full.dtype)


# ---------------------------------------------------------------- one rank


@pytest.mark.parametrize("dtype", [np.complex128, np.complex64])
@pytest.mark.parametrize("n", [1, 4, 9])
def test_one_rank_circuits_match_velt_core(n, dtype):
    rng = np.random.default_rng([SEED, n])
    full = random_state(rng, 1 << n, special=True, dtype=dtype)
    ops = random_circuit(rng, n, n, LENGTH)
    expected = reference(full, ops)
    state = one_rank(full)
    assert state.dtype == dtype and state.local.dtype == dtype
    run_one_by_one(state, ops)
    assert_same_bits(state.gather(), expected, any_nan=True)
    state = one_rank(full)
    state.apply_sequence(ops)
    assert_same_bits(state.gather(), expected, any_nan=True)
    assert state.matches(expected) and state.gather().dtype == dtype
    # Read-outs in double whatever the precision; summed in the slice's
    # physical order, so equal to the full state's up to rounding.
    module = PRECISIONS[np.dtype(dtype).name].module
    want = module.probabilities(expected, [0])
    np.testing.assert_allclose(state.probabilities([0]), want, rtol=1e-12, equal_nan=True)


@DTYPES
@pytest.mark.parametrize("case", error_cases(5, 5), ids=lambda case: case[0])
def test_one_rank_errors_match_velt_core(case, dtype):
    case_id, method, args, kwargs = case
    module = PRECISIONS[dtype].module
    rng = np.random.default_rng(3)
    full = random_state(rng, 32, dtype=dtype)
    state = one_rank(full)
    state.apply_swap(0, 4)  # a permuted qubit map, which a failed call must keep
    before = state.local.copy()
    got = catch(lambda: getattr(state, method)(*args, **kwargs))
    assert got is not None
    assert_same_bits(state.local, before)
    assert state.qubit_map == (4, 1, 2, 3, 0)
    kernel = getattr(module, method, None)
    if kernel is None or "wide" in case_id:
        return
    psi = full.copy()
    want = catch(lambda: kernel(psi, *args, **kwargs))
    assert want is not None and got[0] == want[0]
    if got[0] != "TypeError":  # conversion messages are pybind11's own there
        assert got[1] == want[1]


def test_state_starts_at_zero_and_gathers_in_logical_order():
    state = one_rank(3)
    assert_same_bits(state.gather(), np.eye(8, dtype=np.complex128)[0])
    psi = np.arange(8) * (1 + 2j)
    state.scatter(psi)
    state.apply_swap(0, 2)  # a relabelling: the slice stays, the map changes
    assert_same_bits(state.local, psi.astype(np.complex128))
    expected = psi.astype(np.complex128)
    velt_core.apply_swap(expected, 0, 2)
    assert_same_bits(state.gather(), expected)


@pytest.mark.parametrize("permutation", [(0, 1, 2, 3, 4), (4, 3, 2, 1, 0), (1, 0, 3, 4, 2)], ids=str)
@pytest.mark.parametrize("c", [0, 2, 5])
def test_logical_view_places_every_amplitude(permutation, c):
    # Physical bit b holds logical qubit permutation[b]: the view of each
    # chunk must put physical index x at the logical index with bits moved.
    n = 5
    physical = np.arange(1 << n)
    logical = np.zeros(1 << n, dtype=np.int64)
    for b, q in enumerate(permutation):
        logical |= ((physical >> b) & 1) << q
    out = np.full(1 << n, -1, dtype=np.complex128)
    for start in range(0, 1 << n, 1 << c):
        view = _layout.logical_view(out, list(permutation), start, c)
        view[...] = physical[start : start + (1 << c)].astype(np.complex128).reshape(view.shape)
    np.testing.assert_array_equal(out.real[logical], physical)


@pytest.mark.parametrize("qubits", [[], [0], [6], [6, 0], [2, 5, 1], list(range(7))], ids=str)
def test_marginals_against_fsum_and_independent_of_chunk(rng, qubits):
    n = 7
    full = random_state(rng, 1 << n)
    sq = full.real * full.real + full.imag * full.imag
    got = [_layout.local_marginal(full, qubits, chunk) for chunk in (1, 4, 32, 1 << n)]
    for other in got[1:]:
        assert_same_bits(other, got[0])
    index = np.arange(1 << n)
    for j, value in enumerate(got[0]):
        mask = np.ones(1 << n, dtype=bool)
        for d, q in enumerate(qubits):
            mask &= ((index >> q) & 1) == ((j >> d) & 1)
        assert math.isclose(value, math.fsum(sq[mask]), rel_tol=1e-13)


def test_constructor_and_root_errors():
    with pytest.raises(ValueError, match="^DistributedState: n_qubits out of range$"):
        one_rank(63)
    for dtype in (np.float64, ">c16", "c32", "not a type"):
        with pytest.raises(ValueError, match="^DistributedState: dtype must be complex128 or complex64$"):
            DistributedState(4, comm=SelfComm(), dtype=dtype)
    with pytest.raises(ValueError, match="^from_full: dtype must be complex128 or complex64$"):
        DistributedState.from_full(np.zeros(4), comm=SelfComm(), dtype=np.complex256)
    for dtype in ("complex128", "complex64"):
        with pytest.raises(TypeError, match=f"^from_full: the full state must convert to {dtype}$"):
            DistributedState.from_full(["a", "b"], comm=SelfComm(), dtype=dtype)
    with pytest.raises(ValueError, match="^DistributedState: chunk must be a power of two$"):
        one_rank(4, chunk=3)
    with pytest.raises(TypeError):
        DistributedState(4.0, comm=SelfComm())
    state = one_rank(2)
    with pytest.raises(ValueError, match="^from_full: the full state's length is not a power of two$"):
        DistributedState.from_full(np.zeros(6), comm=SelfComm())
    with pytest.raises(TypeError, match="^scatter: the root rank must pass the full state$"):
        state.scatter(None)
    with pytest.raises(ValueError, match="^gather: root 1 out of range for 1 ranks$"):
        state.gather(root=1)


@pytest.mark.skipif(not hasattr(velt_core, "apply_sequence"), reason="velt_core has no apply_sequence in this build")
@pytest.mark.parametrize("position", ["first", "middle", "last"])
def test_sequence_errors_match_velt_core_apply_sequence(position):
    good = [("apply_1q", 3, 1, 0, 0, 1), ("apply_cnot_fast", 0, 3)]
    bad = ("apply_gate", [1, 1], np.eye(4))
    ops = {"first": [bad, *good], "middle": [good[0], bad, good[1]], "last": [*good, bad]}[position]
    full = random_state(np.random.default_rng(5), 16)
    state = one_rank(full)
    got = catch(lambda: state.apply_sequence(ops))
    psi = full.copy()
    want = catch(lambda: velt_core.apply_sequence(psi, ops))
    assert got == want
    assert_same_bits(state.local, full)


def _observable_refusals():
    from test_observables import BAD

    for name, args, _, _ in BAD:
        state, *rest = args
        if name in ("expectation_paulis", "expectation_pauli_sum") and np.ndim(state) == 1 and len(state) == 4:
            yield name, rest


@pytest.mark.parametrize(("name", "args"), list(_observable_refusals()), ids=lambda v: str(v)[:40])
def test_one_rank_observable_errors_match_velt_core(name, args):
    full = np.array([0.5, 0.5j, -0.5, 0.5], dtype=np.complex128)
    state = one_rank(full)
    got = catch(lambda: getattr(state, name)(*args))
    want = catch(lambda: getattr(velt_core, name)(full, *args))
    assert got is not None and got[0] == want[0]
    if got[0] != "TypeError":
        assert got[1] == want[1]
    assert_same_bits(state.local, full)


@DTYPES
def test_one_rank_observables_are_velt_core_values(rng, dtype):
    module = PRECISIONS[dtype].module
    full, other = random_state(rng, 2**13, dtype=dtype), random_state(rng, 2**13, dtype=dtype)
    terms = [("XZ", [12, 0]), ("YY", [3, 7]), ("", []), ("ZZZ", [1, 2, 3])]
    state = one_rank(full)
    assert_same_bits(state.expectation_paulis(terms), module.expectation_paulis(full, terms))
    assert state.expectation_pauli_sum([1, -2, 3, 0.5], terms) == module.expectation_pauli_sum(
        full, [1, -2, 3, 0.5], terms
    )
    assert state.inner_product(one_rank(other)) == module.inner_product(full, other)
    # The overlap of two precisions is refused, whichever state asks.
    twin = one_rank(other.astype(np.complex64 if dtype == "complex128" else np.complex128))
    for a, b in ((state, twin), (twin, state)):
        message = f"inner_product: the states have different dtypes ({a.dtype.name} and {b.dtype.name})"
        assert catch(lambda a=a, b=b: a.inner_product(b)) == ("RuntimeError", message)
    assert_same_bits(state.local, full)


@DTYPES
@pytest.mark.parametrize("n", [5, 12])
def test_one_rank_allocations_count_the_dtype_bytes(monkeypatch, dtype, n):
    # Every allocation is of the state's dtype, and a refused one names its
    # bytes: 16 per amplitude in complex128, 8 in complex64.
    itemsize = np.dtype(dtype).itemsize
    made = []
    real = _state._allocate
    monkeypatch.setattr(_state, "_allocate", lambda n_amps, dtype: made.append(np.dtype(dtype)) or real(n_amps, dtype))
    state = DistributedState(n, comm=SelfComm(), chunk=4, dtype=dtype)
    state.gather()
    state.matches(np.eye(1 << n)[0])
    assert made and set(made) == {np.dtype(dtype)}

    def refuse(n_amps, dtype):
        raise MemoryError("injected")

    monkeypatch.setattr(_state, "_allocate", refuse)
    assert catch(lambda: DistributedState(n, comm=SelfComm(), dtype=dtype)) == (
        "MemoryError",
        f"DistributedState: no memory for the slice ({itemsize << n} bytes) on 1 of 1 ranks",
    )
    assert catch(lambda: state.matches(np.eye(1 << n)[0])) == (
        "MemoryError",
        f"matches: no memory for the comparison buffer ({itemsize * 4} bytes) on 1 of 1 ranks",
    )


# ------------------------------------------------- agreement across ranks


class FakeRank:
    """Rank `rank` of `size` for building records; it never communicates."""

    def __init__(self, rank, size):
        self.rank, self.size = rank, size

    def Get_rank(self):
        return self.rank

    def Get_size(self):
        return self.size


class Sensor(RuntimeError):
    pass


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no")


def records(outcomes, function="apply_1q", ordinals=None):
    """One record per rank: None (went on), "abstain", an exception, or a
    tuple of values noted (the rank's arguments)."""
    out = []
    for rank, outcome in enumerate(outcomes):
        call = _agree.Call(FakeRank(rank, len(outcomes)), function, 7 if ordinals is None else ordinals[rank])
        if isinstance(outcome, BaseException):
            out.append(call._record(outcome, False, b""))
            continue
        if isinstance(outcome, tuple):
            call.note(*outcome)
        out.append(call._record(None, outcome == "abstain", call._hash.digest()))
    return out


@pytest.mark.parametrize(
    "outcomes, verdict",
    [
        ([ValueError("m"), ValueError("m")], ("ValueError", "m", True)),
        ([None, None, MemoryError("m"), None], ("MemoryError", "m (on rank 2)", False)),
        ([None, KeyboardInterrupt()], ("KeyboardInterrupt", "(on rank 1)", False)),
        (
            [None, RuntimeError("a"), None, MemoryError("b")],
            ("RuntimeError", "a (on 2 of 4 ranks, the first rank 1)", False),
        ),
        ([RuntimeError("a"), RuntimeError("b")], ("RuntimeError", "a (on 2 of 2 ranks, the first rank 0)", False)),
        # A step only the root runs: its error, without a note, on every rank.
        (["abstain", Sensor("offline"), "abstain"], ("RuntimeError", "Sensor: offline", False)),
        ([KeyError("k"), None], ("LookupError", "KeyError: 'k' (on rank 0)", False)),
        (
            [UnicodeEncodeError("ascii", "é", 0, 1, "no"), None],
            (
                "UnicodeError",
                "UnicodeEncodeError: 'ascii' codec can't encode character '\\xe9' in position 0: no (on rank 0)",
                False,
            ),
        ),
        (
            [None, Unprintable()],
            ("Exception", "Unprintable: <Unprintable whose message cannot be shown> (on rank 1)", False),
        ),
        (
            [(1, 2.0), (1, 2.0), (1, -2.0)],
            ("RuntimeError", "apply_1q: the ranks passed different arguments (rank 2's differ from rank 0's)", False),
        ),
        ([(3,), (3,)], None),
        # Memory failures carry the count of failing ranks, even when every rank failed.
        ([None, _agree.counted(MemoryError("m")), None, None], ("MemoryError", "m on 1 of 4 ranks", False)),
        (
            [_agree.counted(MemoryError("m")), _agree.counted(MemoryError("m"))],
            ("MemoryError", "m on 2 of 2 ranks", False),
        ),
    ],
)
def test_every_rank_builds_the_same_exception(outcomes, verdict):
    assert _agree.decide(records(outcomes)) == verdict


def test_different_calls_are_told_apart_from_different_arguments():
    calls = records([None, None], ordinals=[4, 4])
    calls[1] = calls[1]._replace(function="gather", digest=b"other")
    assert _agree.decide(calls)[1] == "apply_1q: the ranks made different calls (rank 0: apply_1q, rank 1: gather)"
    steps = records([None, None], ordinals=[4, 5])
    assert (
        _agree.decide(steps)[1]
        == "apply_1q: the ranks are at different calls on this state (rank 0: call 4, rank 1: call 5)"
    )


def digest(*values):
    h = hashlib.blake2b(digest_size=16)
    _agree._feed(h, values)
    return h.digest()


@pytest.mark.parametrize(
    "a, b",
    [
        ((0.0,), (-0.0,)),
        ((float("nan"),), (np.frombuffer(np.uint64(0x7FF8000000000001).tobytes(), dtype=np.float64)[0],)),
        ((1,), (1.0,)),
        ((1,), (True,)),
        ((np.zeros(4, dtype=np.complex128),), (np.zeros((2, 2), dtype=np.complex128),)),
        ((np.zeros(2, dtype=np.complex128),), (np.zeros(4, dtype=np.float64),)),
        (([1, [2]],), ([[1], 2],)),
        (("ab",), (["a", "b"],)),
        ((complex(1, 0),), (1.0,)),
    ],
    ids=str,
)
def test_digest_tells_different_values_apart(a, b):
    assert digest(*a) != digest(*b)


def test_digest_ignores_the_container_and_integer_types():
    assert digest([1, np.int64(2)], np.complex128(1j)) == digest((1, 2), 1j)
    with pytest.raises(TypeError, match="cannot compare a object across ranks"):
        digest(object())


def test_one_rank_keeps_its_own_exception_and_refuses_a_state_changed_part_way(monkeypatch):
    class ArrayLike:
        def __array__(self, dtype=None, copy=None):
            raise Sensor("offline")

    with pytest.raises(Sensor, match="^offline$"):  # one rank: its own exception, unchanged
        DistributedState.from_full(ArrayLike(), comm=SelfComm())
    full = random_state(np.random.default_rng(2), 16)
    state = one_rank(full)
    monkeypatch.setattr(velt_core, "apply_1q", lambda *args: (_ for _ in ()).throw(MemoryError("refused")))
    with pytest.raises(MemoryError, match="^refused$"):
        state.apply_1q(0, 1, 0, 0, 1)
    assert_same_bits(state.local, full)  # refused before a write: usable
    monkeypatch.undo()
    real = velt_core.apply_sequence

    def interrupted(psi, ops):
        real(psi, ops[:1])
        raise KeyboardInterrupt

    monkeypatch.setattr(velt_core, "apply_sequence", interrupted)
    with pytest.raises(KeyboardInterrupt):
        state.apply_sequence([("apply_1q", 0, 0, 1, 1, 0), ("apply_1q", 1, 0, 1, 1, 0)])
    monkeypatch.undo()
    with pytest.raises(RuntimeError, match="^gather: the state is unusable: a failed apply_sequence call"):
        state.gather()
    state.scatter(full)
    assert state.matches(full)


def test_every_public_method_is_a_collective_call():
    public = [name for name, value in vars(DistributedState).items() if callable(value) and not name.startswith("_")]
    assert public and all(getattr(getattr(DistributedState, name), "_velt_collective", False) for name in public)
    state = one_rank(3)
    with pytest.raises(AssertionError, match="comm.allgather outside a collective call"):
        state._comm.allgather(1)


# ------------------------------------------------------------ under mpiexec


def _mpiexec():
    """mpiexec beside this interpreter (the `mpi` extra installs one there),
    else the first on PATH; None, with the reason, when MPI is missing."""
    if importlib.util.find_spec("mpi4py") is None:
        return None, "mpi4py is not installed (pip install velt_core[mpi])"
    beside = Path(sys.executable).parent / "mpiexec"
    found = str(beside) if beside.exists() else shutil.which("mpiexec")
    if found is None:
        return None, "no mpiexec found beside the interpreter or on PATH"
    return found, ""


MPIEXEC, WHY_NO_MPI = _mpiexec()
needs_mpi = pytest.mark.skipif(MPIEXEC is None, reason=WHY_NO_MPI)


def launch(ranks, *args, threads=1, timeout=180):
    """Runs one worker scenario on `ranks` ranks; returns the root's result."""
    command = [MPIEXEC, "-n", str(ranks)]
    version = subprocess.run([MPIEXEC, "--version"], capture_output=True, text=True).stdout
    if "Open MPI" in version or "OpenRTE" in version:
        command.append("--oversubscribe")
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OMP_WAIT_POLICY="passive")
    command += [sys.executable, "-m", "mpi4py", str(WORKER), *map(str, args)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    lines = [line for line in done.stdout.splitlines() if line.startswith("RESULT ")]
    assert len(lines) == 1, done.stdout
    result = json.loads(lines[0][len("RESULT ") :])
    assert result["size"] == ranks
    return result


def single_process_digests(sizes, widest, special=False, dtype=np.complex128):
    """Digests of the circuits of the worker's `circuits` scenario, run here
    by velt_core (or velt_core.single) on the full state (at this process's
    thread count)."""
    digests = {}
    for n in sizes:
        rng = np.random.default_rng([SEED, n])
        full = random_state(rng, 1 << n, special=special, dtype=dtype)
        n_local = n - (widest.bit_length() - 1)
        digests[str(n)] = hashlib.sha256(reference(full, random_circuit(rng, n, n_local, LENGTH)).tobytes()).hexdigest()
    return digests


@needs_mpi
@pytest.mark.parametrize(
    "ranks, threads, chunk, sizes",
    [
        pytest.param(1, 1, None, SIZES, id="1rank"),
        pytest.param(2, 1, None, SIZES, id="2ranks"),
        pytest.param(4, 1, None, SIZES, id="4ranks"),
        pytest.param(8, 1, None, SIZES[:5], id="8ranks"),
        pytest.param(2, 3, None, SIZES, id="2ranks-3threads"),
        pytest.param(4, 2, None, SIZES[:5], id="4ranks-2threads"),
        pytest.param(4, 1, 1, SIZES[:4], id="4ranks-chunk1"),
        pytest.param(2, 1, 8, SIZES[:4], id="2ranks-chunk8"),
        pytest.param(1, 1, None, SIZES, id="1rank-complex64"),
        pytest.param(2, 1, None, SIZES, id="2ranks-complex64"),
        pytest.param(4, 2, None, SIZES[:5], id="4ranks-2threads-complex64"),
        pytest.param(8, 1, 1, SIZES[:4], id="8ranks-chunk1-complex64"),
    ],
)
def test_circuits_match_single_process(ranks, threads, chunk, sizes, request):
    dtype = np.complex64 if request.node.callspec.id.endswith("complex64") else np.complex128
    args = ["circuits", "--seed", SEED, "--length", LENGTH, "--widest", 8, "--dtype", np.dtype(dtype).name]
    args += ["--n", *sizes]
    if chunk is not None:
        args += ["--chunk", chunk]
    result = launch(ranks, *args, threads=threads)
    assert result["checked"] == 2 * len(sizes)  # gate by gate, and as one sequence
    assert result["digests"] == single_process_digests(sizes, 8, dtype=dtype)


@needs_mpi
@pytest.mark.parametrize("ranks", [2, 4])
def test_special_values_move_untouched(ranks):
    # Infinities, NaNs and signed zeros: exchanges and flips move them whole.
    result = launch(ranks, "circuits", "--seed", SEED, "--length", LENGTH, "--special", "--n", 5, 9, 12)
    assert result["checked"] == 6


@needs_mpi
@DTYPES
@pytest.mark.parametrize(
    ("ranks", "exchanges"), [(1, [0] * 9), (2, [0] * 7 + [1, 0]), (4, [0] * 7 + [1, 1])], ids=["1", "2", "4"]
)
def test_phases_on_rank_selecting_qubits(ranks, exchanges, dtype):
    # Diagonals and Z strings on the qubits that select ranks move nothing;
    # an X letter there is exchanged first, and so is a diagonal's target when
    # every local bit is a control (on 4 ranks the last op).  The bits after
    # every op are those of velt_core (velt_core.single for complex64) on the
    # full state (checked in the worker).
    result = launch(ranks, "phases", "--n", 5, "--chunk", 2, "--dtype", dtype)
    assert result["exchanges"] == exchanges


@needs_mpi
@pytest.mark.parametrize(
    "ranks, dtype", [(1, "complex128"), (2, "complex128"), (4, "complex128"), (2, "complex64"), (4, "complex64")]
)
def test_every_error_on_every_rank(ranks, dtype):
    result = launch(ranks, "errors", "--n", 5, "--chunk", 2, "--dtype", dtype)
    expected_ids = [case[0] for case in error_cases(5, 5 - (ranks.bit_length() - 1), ranks)]
    assert list(result["errors"]) == expected_ids
    for case_id, (kind, message) in result["errors"].items():
        if "wide" in case_id and ranks > 1:  # on one rank the kernel's own check comes first
            assert kind == "RuntimeError" and "local qubits of a rank" in message


@needs_mpi
@pytest.mark.parametrize(
    "ranks, failing, dtype",
    [(2, 1, "complex128"), (2, 0, "complex128"), (4, 3, "complex128"), (4, 0, "complex128"), (2, 0, "complex64")],
    ids=lambda v: str(v),
)
def test_allocation_failure_on_one_rank_is_collective(ranks, failing, dtype):
    result = launch(ranks, "alloc", "--n", 6, "--failing-rank", failing, "--dtype", dtype)
    labels = {"exchange", "flip", "sequence", "new state"} | ({"gather"} if failing == 0 else set())
    assert set(result["errors"]) == labels
    assert all("on 1 of" in m or m.startswith("gather:") for m in result["errors"].values())
    # The bytes of the dtype: a slice of 2^6 / ranks amplitudes, and two chunks of half of it.
    itemsize = np.dtype(dtype).itemsize
    n_local = 64 // ranks
    assert (
        f"no memory for the slice ({n_local * itemsize} bytes) on 1 of {ranks} ranks" in result["errors"]["new state"]
    )
    assert f"no memory for the exchange buffer ({n_local * itemsize} bytes)" in result["errors"]["exchange"]


@needs_mpi
@pytest.mark.parametrize(
    "ranks, n, message",
    [
        (3, 5, "DistributedState: the rank count 3 is not a power of two"),
        (2, 1, "DistributedState: 2 ranks need at least 2 qubits"),
        (4, 2, "DistributedState: 4 ranks need at least 3 qubits"),
    ],
)
def test_constructor_errors_on_every_rank(ranks, n, message):
    assert launch(ranks, "construct", "--n", n)["error"] == ["ValueError", message]


@needs_mpi
def test_marginals_independent_of_rank_count():
    sizes = [4, 9, 14]
    digests = [launch(ranks, "layout", "--chunk", 4, "--n", *sizes)["digests"] for ranks in (1, 2, 4, 8)]
    assert all(d == digests[0] for d in digests)


@needs_mpi
@pytest.mark.skipif(not hasattr(velt_core, "probabilities"), reason="velt_core has no probabilities in this build")
@pytest.mark.parametrize("ranks, dtype", [(1, "complex128"), (2, "complex128"), (4, "complex128"), (4, "complex64")])
def test_marginals_through_velt_core_probabilities(ranks, dtype):
    launch(ranks, "layout", "--core", "--n", 5, 10, 16, "--dtype", dtype)


@needs_mpi
@DTYPES
def test_trajectory_steps_match_velt_core_for_every_rank_count(dtype):
    # Slices of 2^5 (terms gathered: a block of the sums spans ranks) and of
    # 2^11 and more amplitudes (the ranks' trees meet): the steps on local
    # qubits give the same bytes for 1, 2 and 4 ranks, as velt_core (or
    # velt_core.single) on one.
    args = ["sampled", "--seed", 4, "--n", 7, 12, 14, "--dtype", dtype]
    digests = [launch(ranks, *args)["digests"] for ranks in (1, 2, 4)]
    assert digests[0] == digests[1] == digests[2]


@DTYPES
def test_one_rank_trajectory_step_matches_velt_core(dtype):
    module = PRECISIONS[dtype].module
    rng = np.random.default_rng(8)
    for n, qubits in ((3, [2]), (11, [0, 10]), (13, [12, 3, 11])):
        full = random_state(rng, 1 << n, dtype=dtype)
        ops = [rng.standard_normal((1 << len(qubits),) * 2) + 0j for _ in range(4)]
        if n == 11:  # one entry per row: the module sums these without dense products
            ops = [np.sqrt(0.6) * np.eye(4), np.sqrt(0.4) * np.diag([1, -1j, 1j, -1])[::-1]]
        state = one_rank(full)
        state.apply_swap(0, n - 1)  # a relabelling: the slice stays, the step works in physical order
        expected = full.copy()
        mapped = [state.qubit_map[q] for q in qubits]
        index = module.apply_kraus_sampled(expected, mapped, ops, 0.3)
        assert state.apply_kraus_sampled(qubits, ops, 0.3) == index
        assert_same_bits(state.local, expected)


@needs_mpi
def test_demo_checks_itself_on_two_ranks():
    env = dict(os.environ, OMP_NUM_THREADS="1", OMP_WAIT_POLICY="passive")
    demo = HERE.parent / "examples" / "mpi_demo.py"
    if not demo.exists():
        pytest.skip(f"no examples folder beside the tests ({demo})")
    command = [MPIEXEC, "-n", "2", sys.executable, "-m", "mpi4py", str(demo), "--n", "10", "--gates", "60"]
    done = subprocess.run(command, capture_output=True, text=True, timeout=180, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "all checks passed" in done.stdout and done.stdout.count("bit for bit") == 2


@needs_mpi
@pytest.mark.parametrize(
    "ranks, chunk, special, dtype",
    [
        (1, None, False, "complex128"),
        (2, None, False, "complex128"),
        (4, None, False, "complex128"),
        (4, 2048, False, "complex128"),
        (2, None, True, "complex128"),
        (1, None, False, "complex64"),
        (2, None, True, "complex64"),
        (4, 2048, False, "complex64"),
    ],
    ids=[
        "1rank",
        "2ranks",
        "4ranks",
        "4ranks-chunk2048",
        "2ranks-special",
        "1rank-complex64",
        "2ranks-special-complex64",
        "4ranks-chunk2048-complex64",
    ],
)
def test_observables_match_velt_core_on_the_physical_state(ranks, chunk, special, dtype):
    # n = 6: slices too small for whole blocks (gathered); 14 and 15: the
    # ranks' sums, with pairs across ranks from the top qubits, and (chunk
    # 2048) several chunks per slice whose partners lie in other chunks.
    args = ["observables", "--seed", SEED, "--n", 6, 14, 15, "--dtype", dtype]
    if chunk is not None:
        args += ["--chunk", chunk]
    if special:
        args.append("--special")
    result = launch(ranks, *args)
    assert result["checked"] == 6
    errors = result["errors"]
    assert errors["letter"] == ["RuntimeError", "expectation_paulis: term 1: Pauli letter is not one of I, X, Y, Z"]
    assert errors["repeat"] == ["RuntimeError", "expectation_pauli_sum: term 0: repeated qubit"]
    assert errors["coeffs"] == ["RuntimeError", "expectation_pauli_sum: coeffs and terms have different lengths"]
    assert errors["complex"][0] == "TypeError"
    assert errors["layout"] == [
        "RuntimeError",
        "inner_product: the states' qubit maps differ (bring them to one layout first)",
    ]
    assert errors["register"] == [
        "RuntimeError",
        "inner_product: the states have different registers (15 and 14 qubits)",
    ]
    assert errors["type"][0] == "TypeError"
    other = "complex64" if dtype == "complex128" else "complex128"
    assert errors["dtype"] == ["RuntimeError", f"inner_product: the states have different dtypes ({dtype} and {other})"]


# ------------------------------------------- failures on some ranks only


@needs_mpi
@pytest.mark.parametrize(
    "ranks, root, dtype", [(2, 1, "complex128"), (4, 0, "complex128"), (4, 3, "complex128"), (2, 1, "complex64")]
)
def test_root_conversion_failure_of_any_kind_is_raised_on_every_rank(ranks, root, dtype):
    # Before the ranks agreed on the root's conversion, all of these left
    # the other ranks waiting in a broadcast or a receive.
    result = launch(ranks, "convert", "--n", 6, "--root", root, "--dtype", dtype)
    expected = {}
    for method in ("from_full", "scatter", "matches"):
        memory = ["MemoryError", f"{method}: no memory to convert the full state to {dtype} on the root rank"]
        expected[f"{method} other precision"] = memory
        expected[f"{method} array MemoryError"] = memory
        expected[f"{method} array SensorError"] = ["RuntimeError", "SensorError: sensor offline"]
        expected[f"{method} array KeyboardInterrupt"] = ["KeyboardInterrupt", ""]
    assert result["errors"] == expected


@needs_mpi
@pytest.mark.parametrize(
    "ranks, failing, dtype", [(2, 1, "complex128"), (4, 0, "complex128"), (4, 2, "complex128"), (2, 1, "complex64")]
)
def test_local_step_failing_on_one_rank_is_raised_on_every_rank(ranks, failing, dtype):
    result = launch(ranks, "local", "--n", 6, "--failing-rank", failing, "--dtype", dtype)
    note = f"(on rank {failing})"

    def refused(method):
        why = f"the state is unusable: a failed {method} call had changed amplitudes on some ranks only; "
        return [
            ["RuntimeError", f"{m}: {why}scatter a full state into it to go on"]
            for m in ("norm_squared", "apply_swap", "gather")
        ]

    assert result["errors"] == {
        "local gate": [["MemoryError", f"injected {note}"], refused("apply_1q")],
        "run before an exchange": [["MemoryError", f"injected {note}"], refused("apply_sequence")],
        "interrupted run": [["KeyboardInterrupt", note], refused("apply_sequence")],
        "every rank": [["MemoryError", "injected"], []],  # each rank's own error; nothing changed
        "read-out": [["MemoryError", f"injected {note}"], []],
        "comparison": [["MemoryError", f"injected {note}"], []],
        "a method's own step": [["MemoryError", f"injected {note}"], []],
        "a method's own write": [["MemoryError", f"injected {note}"], refused("apply_z")],
        "expectation_paulis": [["MemoryError", f"injected {note}"], []],
        "inner_product": [["MemoryError", f"injected {note}"], []],
        "trajectory sums": [["MemoryError", f"injected {note}"], []],
        "trajectory write": [["MemoryError", f"injected {note}"], refused("apply_kraus_sampled")],
        "diagonal": [["MemoryError", f"injected {note}"], refused("apply_diagonal")],
        "rotation": [["MemoryError", f"injected {note}"], refused("apply_pauli_rotation")],
    }


@needs_mpi
@pytest.mark.parametrize("ranks, failing", [(2, 1), (4, 0), (4, 3)])
def test_arguments_that_differ_between_ranks_are_refused_on_every_rank(ranks, failing):
    result = launch(ranks, "mismatch", "--n", 6, "--failing-rank", failing)
    other = 1 if failing == 0 else failing
    labels = {
        "apply_1q qubit": "apply_1q",
        "apply_1q signed zero": "apply_1q",
        "apply_cnot_fast": "apply_cnot_fast",
        "apply_controlled_1q": "apply_controlled_1q",
        "apply_swap": "apply_swap",
        "apply_gate_fast": "apply_gate_fast",
        "apply_gate": "apply_gate",
        "apply_sequence": "apply_sequence",
        "apply_diagonal": "apply_diagonal",
        "apply_pauli_rotation": "apply_pauli_rotation",
        "make_local": "make_local",
        "probabilities": "probabilities",
        "gather": "gather",
        "scatter": "scatter",
        "matches": "matches",
        "from_full": "from_full",
        "DistributedState n": "DistributedState",
        "DistributedState chunk": "DistributedState",
        "DistributedState dtype": "DistributedState",
        "from_full dtype": "from_full",
        "a method's own argument": "partial_norms",
        "a method's own write": "apply_z",
        "expectation_paulis": "expectation_paulis",
        "expectation_pauli_sum": "expectation_pauli_sum",
        "inner_product": "inner_product",
        "apply_kraus_sampled operators": "apply_kraus_sampled",
        "apply_kraus_sampled uniform": "apply_kraus_sampled",
    }
    expected = {
        label: ["RuntimeError", f"{method}: the ranks passed different arguments (rank {other}'s differ from rank 0's)"]
        for label, method in labels.items()
    }
    calls = ["norm_squared", "probabilities"] if failing else ["probabilities", "norm_squared"]
    expected["norm_squared"] = [
        "RuntimeError",
        f"{calls[0]}: the ranks made different calls (rank 0: {calls[0]}, rank {other}: {calls[1]})",
    ]
    expected["invalid on one rank"] = ["RuntimeError", f"apply_1q: qubit index out of range (on rank {failing})"]
    assert result["errors"] == expected
