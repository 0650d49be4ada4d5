"""Agreement across ranks: what one rank meets, every rank learns before data
moves, so that a failure on one rank never leaves another waiting.

Every public method of DistributedState runs as one collective Call.  Between
two agreements a rank works alone: it converts and checks arguments (noting
the normalised values), allocates, runs local kernels.  An agreement is one
MPI_Allreduce (MIN) of nine int64: whether this rank failed, and a 128-bit
digest of what it noted since the previous agreement (the method's name, the
call's ordinal on the state and the normalised arguments).  When no rank
failed and every digest is the same, each rank goes on.  Otherwise a second
round, an allgather of one small record per rank, gives every rank the same
list, from which each builds the same exception (decide()).

Invariant: as long as no rank has failed, every rank passes the same
agreement points in the same order (the points depend on the call's
arguments and the plan's step kinds, never on the rank).  A rank that fails
goes straight to an agreement of its own (guarded()), which meets the next
agreement point of the others.  Code between two agreement points that
communicates (an exchange's messages) runs "unguarded": it cannot fail in a
way the module can see, and an exception escaping it (an interrupt) is
raised on that rank alone.
"""

import builtins
import contextlib
import functools
import hashlib
import inspect
import struct
from typing import NamedTuple

import numpy as np

from . import _comm

_WORDS = 4  # the digest as four 32-bit words: their negations fit an int64
_SIZE = 1 + 2 * _WORDS
_NEVER = 2**62  # a failed rank's words: above any digest word and its negation


class _Record(NamedTuple):
    """What one rank tells the others in the second round."""

    status: str  # "ok", "abstain" (sat out a step only another rank runs) or "failed"
    type_name: str  # module-qualified class of the rank's exception
    portable: str  # the nearest built-in class every rank can raise
    message: str
    wrote: bool  # the rank has changed amplitudes during this call
    counted: bool  # the message ends with the count of failing ranks (counted())
    function: str
    ordinal: object
    digest: bytes


def _tag(error):
    """Marks an exception as already raised on every rank."""
    try:
        error._velt_agreed = True
    except (AttributeError, TypeError):
        pass  # a class with __slots__: an outer call agrees once more, on every rank alike
    return error


def is_agreed(error):
    return getattr(error, "_velt_agreed", False) is True


def counted(error):
    """Asks the agreement to end the message with " on K of N ranks" (the
    ranks that failed), even when every rank failed: for failures whose
    extent matters, as memory."""
    error._velt_counted = True
    return error


def _message(error):
    try:
        return str(error)
    except Exception:  # noqa: BLE001 - a __str__ that fails must not strand the others
        return f"<{type(error).__name__} whose message cannot be shown>"


def _portable(error, message):
    """The nearest built-in class in the exception's ancestry whose instances
    take the message as their one argument and print it unchanged (KeyError
    quotes its argument, UnicodeEncodeError wants five): every rank can raise
    it, whatever modules it has imported."""
    for cls in type(error).__mro__:
        if getattr(builtins, cls.__name__, None) is not cls:
            continue
        try:
            if str(cls(message)) == message:
                return cls.__name__
        except Exception:  # noqa: BLE001, S112 - a class that refuses the message is skipped
            continue
    return "BaseException"


def _failed_ranks_note(failed, size):
    if len(failed) == 1:
        return f"(on rank {failed[0]})"
    return f"(on {len(failed)} of {size} ranks, the first rank {failed[0]})"


def decide(records):
    """The verdict of the second round, the same on every rank: None when
    every rank may go on, else (portable class name, message, own) where
    `own` says each rank may raise its own exception (every rank failed, and
    identically)."""
    size = len(records)
    failed = [r for r, rec in enumerate(records) if rec.status == "failed"]
    if failed:
        first = records[failed[0]]
        if first.counted:
            return first.portable, f"{first.message} on {len(failed)} of {size} ranks", False
        runners = [r for r, rec in enumerate(records) if rec.status != "abstain"]
        uniform = all(
            records[r].status == "failed"
            and (records[r].type_name, records[r].message) == (first.type_name, first.message)
            for r in runners
        )
        if uniform and len(runners) == size:
            return first.portable, first.message, True
        message = first.message
        if first.type_name != f"builtins.{first.portable}":
            message = f"{first.type_name.rpartition('.')[2]}: {message}"
        if not uniform:
            note = _failed_ranks_note(failed, size)
            message = f"{message} {note}" if message else note
        return first.portable, message, False
    going = [r for r, rec in enumerate(records) if rec.status != "failed"]
    b = going[0]
    base = records[b]
    other = next((r for r in going if records[r].digest != base.digest), None)
    if other is None:
        return None
    rec = records[other]
    if rec.function != base.function:
        what = f"the ranks made different calls (rank {b}: {base.function}, rank {other}: {rec.function})"
    elif rec.ordinal != base.ordinal:
        what = (
            f"the ranks are at different calls on this state "
            f"(rank {b}: call {base.ordinal}, rank {other}: call {rec.ordinal})"
        )
    else:
        what = f"the ranks passed different arguments (rank {other}'s differ from rank {b}'s)"
    return "RuntimeError", f"{base.function}: {what}", False


_PACK_D = struct.Struct("<d").pack
_PACK_DD = struct.Struct("<dd").pack
_WORDS_OF = struct.Struct("<4I").unpack


def _encode(value, out, h):
    """Appends a normalised argument's bytes to `out`, with its kind and
    length, so that different values never give the same bytes; arrays go
    to the digest `h` directly (after what `out` holds).  Floats go in as
    their bits: -0.0 and 0.0, or two NaN payloads, are different arguments.
    The common types are told by their exact type: this runs on every call."""
    kind = type(value)
    if kind is int:
        out.append(b"I%d;" % value)
    elif kind is complex:
        out.append(b"C" + _PACK_DD(value.real, value.imag))
    elif kind is float:
        out.append(b"D" + _PACK_D(value))
    elif kind is tuple or kind is list:
        out.append(b"L%d;" % len(value))
        for item in value:
            k = type(item)  # the scalars of an op inline: a call's arguments are mostly these
            if k is int:
                out.append(b"I%d;" % item)
            elif k is complex:
                out.append(b"C" + _PACK_DD(item.real, item.imag))
            else:
                _encode(item, out, h)
    elif kind is str:
        data = value.encode("utf-8", "surrogatepass")
        out.append(b"S%d;" % len(data))
        out.append(data)
    elif value is None:
        out.append(b"N")
    elif isinstance(value, (bool, np.bool_)):
        out.append(b"T" if value else b"F")
    elif isinstance(value, (int, np.integer)):
        out.append(b"I%d;" % int(value))
    elif isinstance(value, (float, np.floating)):
        out.append(b"D" + _PACK_D(float(value)))
    elif isinstance(value, (complex, np.complexfloating)):
        c = complex(value)
        out.append(b"C" + _PACK_DD(c.real, c.imag))
    elif isinstance(value, (tuple, list)):
        _encode(list(value), out, h)
    elif isinstance(value, (bytes, bytearray)):
        out.append(b"Y%d;" % len(value))
        out.append(bytes(value))
    elif isinstance(value, np.ndarray) and not value.dtype.hasobject:
        a = np.ascontiguousarray(value)
        out.append(b"A" + a.dtype.str.encode() + repr(a.shape).encode() + b";")
        h.update(b"".join(out))
        out.clear()
        h.update(a.reshape(-1).view(np.uint8))
    elif hasattr(value, "_agreement_key"):
        _encode(value._agreement_key(), out, h)
    else:
        raise TypeError(f"velt_mpi: cannot compare a {type(value).__name__} across ranks (note normalised values)")


def _feed(h, value):
    """Feeds a normalised argument to the digest (see _encode)."""
    out = []
    _encode(value, out, h)
    h.update(b"".join(out))


class Call:
    """One collective call: the agreement points of one method on every rank.

    dirty: something happened on this rank since the last agreement (the
    call's start, a note, a local step) whose outcome the others have not
    seen; sync() agrees only then.  wrote: this rank has changed amplitudes
    during the call.  broke: an agreed failure found amplitudes changed on
    some rank.  stranded: an exception escaped an unguarded region; it is
    raised on this rank only."""

    def __init__(self, comm, function, ordinal=None):
        self.comm = comm
        self.size = comm.Get_size()
        self.rank = comm.Get_rank()
        self.function = function
        self.ordinal = ordinal
        self.dirty = True
        self.wrote = False
        self.broke = False
        self.stranded = False
        self._abstain = False
        self._hash = self._head = None
        self._buffers = None  # the first round's send and receive buffers, made on first use
        if self.size > 1:
            self._head = hashlib.blake2b(digest_size=4 * _WORDS)
            _feed(self._head, (self.function, self.ordinal))
        self._restart()

    def _restart(self):
        """Every digest starts with the call's name and ordinal."""
        if self._head is not None:
            self._hash = self._head.copy()

    def note(self, *values):
        """Adds normalised argument values to what the next agreement compares."""
        if self.size > 1:
            _feed(self._hash, values)
        self.dirty = True

    def touch(self):
        """A local step ran: the next agreement point must agree."""
        self.dirty = True

    def abstain(self):
        """This rank sits out the step before the next agreement (the root
        converts alone): a failure there is the runners' own."""
        self._abstain = True
        self.dirty = True

    @contextlib.contextmanager
    def unguarded(self):
        """A region that communicates without agreement points in between."""
        try:
            yield
        except BaseException:
            self.stranded = True
            raise

    def sync(self, force=False):
        """An agreement point: returns when every rank may go on, else raises
        the agreed exception (the same type and message on every rank)."""
        if not (self.dirty or force):
            return
        self.dirty = False
        verdict = self._agree(None)
        if verdict is not None:
            raise verdict

    def fail(self, error):
        """The agreement point of a rank that failed: returns the exception
        to raise (the rank's own, when every rank failed alike)."""
        self.dirty = False
        return self._agree(error)

    def _agree(self, error):
        abstain, self._abstain = self._abstain, False
        if self.size == 1:
            self._restart()
            if error is None:
                return None
            self.broke = self.wrote
            if getattr(error, "_velt_counted", False) is True:
                agreed = _tag(type(error)(f"{_message(error)} on 1 of 1 ranks"))
                agreed.__cause__ = error
                return agreed
            return _tag(error)
        digest = self._hash.digest()
        self._restart()
        if self._buffers is None:
            self._buffers = (np.zeros(_SIZE, dtype=np.int64), np.zeros(_SIZE, dtype=np.int64), _comm.mpi().MIN)
        mine, total, minimum = self._buffers
        if error is None:
            words = _WORDS_OF(digest)
            mine[:] = (0, *words, *(-w for w in words))
        else:
            mine[:] = (-1, *(_NEVER,) * (2 * _WORDS))
        try:  # unguarded (as in unguarded(), spelt out on this path taken by every call)
            self.comm.Allreduce(mine, total, op=minimum)
            # min(d) == -min(-d) is min(d) == max(d): the same digest everywhere.
            t = total.tolist()
            if t[0] == 0 and t[1 : 1 + _WORDS] == [-x for x in t[1 + _WORDS :]]:
                return None
            records = self.comm.allgather(self._record(error, abstain, digest))
        except BaseException:
            self.stranded = True
            raise
        self.broke = any(rec.wrote for rec in records)
        verdict = decide(records)
        if verdict is None:  # not reached: both rounds compare the same digests
            return None
        portable, message, own = verdict
        if own and error is not None:
            return _tag(error)
        agreed = _tag(getattr(builtins, portable)(message))
        if error is not None:
            agreed.__cause__ = error
        return agreed

    def _record(self, error, abstain, digest):
        if error is None:
            status = "abstain" if abstain else "ok"
            return _Record(status, "", "", "", self.wrote, False, self.function, self.ordinal, digest)
        cls = type(error)
        message = _message(error)
        return _Record(
            "failed",
            f"{cls.__module__}.{cls.__qualname__}",
            _portable(error, message),
            message,
            self.wrote,
            getattr(error, "_velt_counted", False) is True,
            self.function,
            self.ordinal,
            b"",
        )


@contextlib.contextmanager
def guarded(call):
    """Runs a collective call's body: agrees on whatever is pending when it
    ends, and turns an exception on some ranks into the same exception on
    every rank."""
    try:
        yield call
        call.sync()
    except BaseException as error:
        if is_agreed(error) or call.stranded:
            raise
        agreed = call.fail(error)
        if agreed is error:
            raise
        raise agreed from agreed.__cause__


# The state's communicator as the methods see it: these operations agree on
# everything done since the last agreement before they communicate.
_COMMUNICATING = frozenset(
    """Barrier barrier Ibarrier Bcast bcast Ibcast Gather gather Gatherv Igather
    Scatter scatter Scatterv Allgather allgather Allgatherv Iallgather Alltoall
    alltoall Alltoallv Reduce reduce Allreduce allreduce Iallreduce
    Reduce_scatter Reduce_scatter_block Scan scan Exscan exscan Send send Ssend
    ssend Isend isend Recv recv Irecv irecv Sendrecv sendrecv Sendrecv_replace
    Probe probe Iprobe iprobe Mprobe Dup Split""".split()
)


class GuardedComm:
    """What `self._comm` is inside DistributedState: the communicator, whose
    communicating operations first agree (so that a method's own allgather,
    say, can never meet another rank's agreement), and which refuses them
    outside a collective call.  The internals use the raw communicator
    (`self._mpi`) where they place the agreement points themselves."""

    def __init__(self, state):
        self._state = state

    def __getattr__(self, name):
        attr = getattr(self._state._mpi, name)
        if name not in _COMMUNICATING:
            return attr

        def agreed_first(*args, **kwargs):
            call = self._state._active(f"comm.{name}")
            call.sync(force=True)
            with call.unguarded():
                result = attr(*args, **kwargs)
            call.touch()  # what the method does with the result is a local step
            return result

        return agreed_first


def collective(name_or_method):
    """Decorates a DistributedState method as one collective call (nested
    calls of other methods join the outer call).  @collective or
    @collective("Name") for the name its errors use."""

    def wrap(method, name):
        @functools.wraps(method)
        def run(self, *args, **kwargs):
            if self._call is not None:
                return method(self, *args, **kwargs)
            call = self._begin(name)
            try:
                with guarded(call):
                    return method(self, *args, **kwargs)
            finally:
                self._end(call)

        run._velt_collective = True
        return run

    if isinstance(name_or_method, str):
        return lambda method: wrap(method, name_or_method)
    return wrap(name_or_method, name_or_method.__name__)


def collective_methods(cls):
    """Makes every public method of the class a collective call, so that a
    method added later takes part without a line of its own."""
    for name, value in list(vars(cls).items()):
        if not name.startswith("_") and inspect.isfunction(value) and not hasattr(value, "_velt_collective"):
            setattr(cls, name, collective(value))
    return cls
