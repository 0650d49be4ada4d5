"""Generated hostile calls of every function, and the judge of their outcomes.

Each case starts from a valid call and spoils one thing (or, where the order
of the checks is the point, two): the argument count, a keyword, an argument's
type, an array's shape, dimensions, writability, alignment or contents, a
qubit index, a list member.  Its expectation is what the README documents for
that input: an exception of one class whose message leads with the function's
name, the caller's own exception passing through, or a result given by the
bit-exact references.  Whatever happens, every array the caller handed in ends
byte for byte as expected: untouched after a refusal, and after a success
changed only where the result says, never in the bytes around it.

Cases are built lazily and deterministically (each from its own seed), so a
forked child rebuilds any case from its index.  test_hostile.py runs them.
"""

import pickle
import zlib
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import reference as ref

import velt_core

PAD = 64  # guard bytes on each side of every array made here
N = 3  # qubits of the baseline state
L = 1 << N

# ---------------------------------------------------------------------------
# Arrays the caller owns


def guarded(rng, values, shape=None, misalign=0):
    """A complex128 C-contiguous view into a larger buffer of random bytes.

    The bytes around the view must survive every call.  misalign shifts the
    view off the element alignment; NumPy still calls it C-contiguous."""
    values = np.asarray(values, dtype=np.complex128)
    nbytes = values.size * 16
    raw = rng.integers(0, 256, size=2 * PAD + nbytes, dtype=np.uint8)
    view = raw[PAD + misalign : PAD + misalign + nbytes].view(np.complex128)
    view[...] = values.reshape(-1)
    return view.reshape(values.shape if shape is None else shape)


def amplitudes(rng, n, special=False):
    psi = rng.standard_normal(n) + 1j * rng.standard_normal(n)
    if special and n:
        picks = rng.choice(n, size=max(1, n // 3), replace=False)
        pool = np.array([np.nan, np.inf, -np.inf, complex(np.nan, 1), complex(2, -np.inf), -0.0])
        psi[picks] = pool[rng.integers(0, len(pool), size=len(picks))]
    return psi


def matrix(rng, dim):
    return rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))


def root_of(array):
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array


def snapshot(obj):
    """Exact bytes of what the caller owns: an array's whole underlying buffer,
    or the pickled value of a container (pickle keeps floats bit for bit)."""
    if isinstance(obj, np.ndarray):
        return root_of(obj).tobytes()
    if isinstance(obj, memoryview):
        return obj.tobytes()
    if isinstance(obj, list):  # arrays in it are watched on their own
        return [("array", id(v)) if isinstance(v, np.ndarray) else snapshot(v) for v in obj]
    try:
        return pickle.dumps(obj)
    except (pickle.PicklingError, TypeError, AttributeError):
        return repr(obj)


# ---------------------------------------------------------------------------
# Expectations


@dataclass
class Raises:
    """The call raises exactly `cls`.  Its message is the function's name, a
    colon, a blank and `complaint`; for the TypeError of the argument binder
    it begins with the function's name and "(): incompatible ..."."""

    cls: type
    complaint: str = ""


@dataclass
class Propagates:
    """The caller's own exception comes back as the very same object."""

    error: BaseException


@dataclass
class Returns:
    """The call returns `value`; `target`, an array of the call, then holds
    what `expected()` computes (NaNs may differ in payload where any_nan),
    and nothing else the caller owns has changed: no other argument, no byte
    around target.  The reference runs only when the call succeeded."""

    value: Any = None
    target: Any = None
    expected: Any = None
    any_nan: bool = True


TYPE_ERROR = "(): incompatible function arguments"


@dataclass
class Call:
    args: tuple
    expect: Any
    kwargs: dict = field(default_factory=dict)

    def expecting(self, expect):
        """Sets the expectation (None keeps the one the call was built with)."""
        if expect is not None:
            self.expect = expect
        return self

    def replacing(self, position, value):
        args = list(self.args)
        args[position] = value
        self.args = tuple(args)
        return self

    def read_only(self):
        self.args[0].flags.writeable = False
        return self

    def unchanged(self):
        """Success that leaves the state (args[0]) exactly as it was."""
        state = self.args[0]
        before = state.copy()
        return self.expecting(Returns(target=state, expected=lambda: before, any_nan=False))


@dataclass
class Case:
    function: str
    name: str
    build: Callable[[np.random.Generator], Call]

    def call(self):
        seed = zlib.crc32(f"{self.function}/{self.name}".encode())
        return self.build(np.random.default_rng(seed))


def _owned(call):
    """Everything of the caller's that a call could change: the arguments,
    and the arrays inside list arguments."""
    found = []
    for value in list(call.args) + list(call.kwargs.values()):
        found.append(value)
        if isinstance(value, list):
            found.extend(v for v in value if isinstance(v, np.ndarray))
    return list({id(obj): obj for obj in found}.values())


def _same_bits(actual, expected, any_nan):
    a = np.ascontiguousarray(actual, dtype=np.complex128).reshape(-1)
    e = np.ascontiguousarray(expected, dtype=np.complex128).reshape(-1)
    if a.shape != e.shape:
        return False
    differs = a.view(np.uint64) != e.view(np.uint64)
    if any_nan:
        differs &= ~(np.isnan(a.view(np.float64)) & np.isnan(e.view(np.float64)))
    return not differs.any()


def _around(array, raw):
    """Bytes of array's root buffer (as in raw) outside array's own span."""
    root = root_of(array)
    start = array.__array_interface__["data"][0] - root.__array_interface__["data"][0]
    return raw[:start] + raw[start + array.nbytes :]


def run(case):
    """Runs one case; returns None when it behaved, else what went wrong."""
    call = case.call()
    owned = _owned(call)
    before = [snapshot(obj) for obj in owned]
    try:
        outcome = getattr(velt_core, case.function)(*call.args, **call.kwargs)
    except BaseException as exc:  # every outcome is judged below
        outcome = exc
    expect = call.expect

    if isinstance(expect, Propagates):
        if outcome is not expect.error:
            return f"gave {outcome!r} instead of the caller's own error"
    elif isinstance(expect, Raises):
        if type(outcome) is not expect.cls:
            return f"gave {outcome!r} instead of raising {expect.cls.__name__}"
        message = str(outcome)
        if expect.cls is TypeError:
            if not message.startswith(case.function + TYPE_ERROR):
                return f"TypeError message {message[:80]!r}"
        elif message != f"{case.function}: {expect.complaint}":
            return f"message {message!r}, expected {case.function}: {expect.complaint!r}"
    else:
        if isinstance(outcome, BaseException):
            return f"raised {type(outcome).__name__}: {outcome}"
        if type(outcome) is not type(expect.value) or outcome != expect.value:
            return f"returned {outcome!r}, expected {expect.value!r}"

    target = getattr(expect, "target", None)
    if target is not None:
        if not _same_bits(target, expect.expected(), expect.any_nan):
            return "result differs from the reference"
        raw_before = before[[id(obj) for obj in owned].index(id(target))]
        if _around(target, snapshot(target)) != _around(target, raw_before):
            return "bytes around the state changed"
    for obj, old in zip(owned, before, strict=True):
        shares_target = target is not None and isinstance(obj, np.ndarray) and root_of(obj) is root_of(target)
        if not shares_target and snapshot(obj) != old:
            return f"argument {type(obj).__name__} changed"
    return None


# ---------------------------------------------------------------------------
# Value pools shared by the functions


class ArrayRefuses:
    """An object whose conversion to an array fails inside NumPy."""

    def __array__(self, dtype=None, copy=None):
        raise KeyError("no array here")


NOT_ARRAYS = {
    "str": lambda: "not a number",
    "bytes": lambda: b"\x00" * 32,
    "object": object,
    "dict": lambda: {"a": 1},
    "mixed-list": lambda: [1, "x"],
    "ragged-list": lambda: [[1, 2], [3]],
    "array-refuses": ArrayRefuses,
    "function": lambda: len,
}
# NumPy turns these into arrays of no dimension (None becomes NaN).
SCALARS = {"none": lambda: None, "int": lambda: 7, "complex": lambda: 1j, "0d-array": lambda: np.array(2 - 1j)}
NOT_INTS = {
    "none": None,
    "float": 1.0,
    "nan": float("nan"),
    "inf": float("inf"),
    "str": "1",
    "list": [1],
    "numpy-float": np.float64(1.0),
    "complex": 1j,
    "2^31": 2**31,
    "-2^31-1": -(2**31) - 1,
    "2^64": 2**64,
    "numpy-2^40": np.int64(2**40),
}
NOT_COMPLEX = {"none": None, "str": "1", "list": [1], "object": object(), "vector": np.array([1.0, 2.0])}
SPECIAL_NUMBERS = {
    "nan": complex(np.nan, 0),
    "inf": complex(np.inf, 0),
    "-inf-imag": complex(0, -np.inf),
    "nan-inf": complex(np.nan, np.inf),
    "-0": complex(-0.0, -0.0),
    "huge": complex(1e308, -1e308),
    "subnormal": complex(5e-324, -5e-324),
}
NOT_SEQUENCES = {
    "none": None,
    "int": 3,
    "str": "01",
    "bytes": b"\x00\x01",
    "dict": {0: 1},
    "object": object(),
    "float-member": [0.5],
    "none-member": [None],
    "str-member": ["0"],
    "2^31-member": [2**31],
    "float-array": np.array([0.0]),
}
# Element counts around every 4^k: all wrong but the one that fits.
MATRIX_SIZES = (0, 1, 2, 3, 4, 5, 8, 9, 15, 16, 17, 63, 64, 65, 255, 256, 257)


def raising_generator(values, error):
    yield from values
    raise error


def _whole(state, flat, kernel):
    """The expected whole array after a kernel that addresses the amplitudes
    `flat` at the start of `state`: kernel(flat) there, the rest as it was."""
    if flat is None or not isinstance(state, np.ndarray):
        return None
    flat = np.array(flat, dtype=np.complex128)
    rest = state.reshape(-1)[len(flat) :].copy()
    return lambda: np.concatenate([kernel(flat), rest])


# ---------------------------------------------------------------------------
# Spoilt calls common to several functions


def _arity(name, valid, keywords):
    """Too few and too many arguments, and keywords that are refused."""
    cases = []
    count = len(valid(np.random.default_rng(0)).args)
    for keep in range(count):
        cases.append(
            Case(name, f"arity/first-{keep}", lambda rng, keep=keep: Call(valid(rng).args[:keep], Raises(TypeError)))
        )
    cases.append(Case(name, "arity/one-more", lambda rng: Call(valid(rng).args + (0,), Raises(TypeError))))
    cases.append(Case(name, "arity/two-more", lambda rng: Call(valid(rng).args + (0, None), Raises(TypeError))))
    for keyword in keywords:
        cases.append(
            Case(
                name,
                f"keyword/{keyword}",
                lambda rng, keyword=keyword: Call(valid(rng).args, Raises(TypeError), kwargs={keyword: 0}),
            )
        )
    return cases


POSITIONAL_KEYWORDS = ("state", "arg0", "arg1", "q", "qubit", "control", "targets", "u", "x")


def _state_variants(name, make, refuses_length=None):
    """Spoilt `state` arguments of a state-vector kernel.

    make(rng, state, flat) gives a successful call on `state`, flat being the
    amplitudes the kernel addresses (None where no result is checked).
    refuses_length(first extent) gives the complaint of a kernel that refuses
    the length, or None."""
    cases = []

    def add(label, build):
        cases.append(Case(name, f"state/{label}", build))

    for label, value in NOT_ARRAYS.items():
        add(label, lambda rng, value=value: make(rng, value(), None).expecting(Raises(TypeError)))
    for label, value in SCALARS.items():
        add(
            f"scalar-{label}",
            lambda rng, value=value: make(rng, value(), None).expecting(
                Raises(RuntimeError, "state must have at least one dimension")
            ),
        )

    def read_only(rng, shape=None):
        values = amplitudes(rng, 1 if shape == () else L)
        return (
            make(rng, guarded(rng, values, shape=shape), None)
            .read_only()
            .expecting(Raises(ValueError, "state is read-only"))
        )

    add("read-only", read_only)
    add("read-only-0d", lambda rng: read_only(rng, shape=()))

    def amplitudes_of(rng, size, shape=None, special=False, misalign=0):
        values = amplitudes(rng, size, special)
        psi = guarded(rng, values, shape=shape, misalign=misalign)
        first = psi.shape[0] if psi.size else 0
        complaint = refuses_length(first) if refuses_length else None
        if complaint:
            return make(rng, psi, None).expecting(Raises(RuntimeError, complaint))
        return make(rng, psi, values[:first])

    for size in (0, 1, 2, 3, 5, 6, 7, 12, 13, 24):
        add(f"length-{size}", lambda rng, size=size: amplitudes_of(rng, size))
    for shape in ((4, 0), (0, 4), (8, 1), (4, 2), (2, 2, 2), (2, 4), (1, 8), (16, 2)):
        add(f"shape-{shape}", lambda rng, shape=shape: amplitudes_of(rng, int(np.prod(shape)), shape=shape))
    add("nan-inf", lambda rng: amplitudes_of(rng, L, special=True))
    add("nan-inf-long", lambda rng: amplitudes_of(rng, 4 * L, special=True))
    for offset in (1, 4, 8):
        add(f"misaligned-{offset}", lambda rng, offset=offset: amplitudes_of(rng, L, misalign=offset))

    # Converted inputs: the kernel works on a temporary and the caller's
    # object stays as it was, whatever it was.
    converted = {
        "list": lambda v: v.tolist(),
        "float64": lambda v: v.real.copy(),
        "complex64": lambda v: v.astype(np.complex64),
        "byteswapped": lambda v: v.astype(">c16"),
        "strided": lambda v: np.repeat(v, 2)[::2],
        "reversed": lambda v: v[::-1],
        "fortran": lambda v: np.asfortranarray(np.stack([v, v], axis=1)),
        "int8": lambda v: np.arange(len(v), dtype=np.int8),
        "bool": lambda v: np.ones(len(v), dtype=bool),
        "memoryview": lambda v: memoryview(bytearray(v.tobytes())),
    }

    def converted_state(rng, convert, read_only=False):
        obj = convert(amplitudes(rng, L))
        if read_only:
            obj.flags.writeable = False
        return make(rng, obj, None).expecting(Returns())

    for label, convert in converted.items():
        add(f"converted-{label}", lambda rng, convert=convert: converted_state(rng, convert))
    add("converted-read-only-float64", lambda rng: converted_state(rng, converted["float64"], read_only=True))
    add("converted-read-only-strided", lambda rng: converted_state(rng, converted["strided"], read_only=True))
    return cases


def _qubit_cases(name, valid, position, high):
    """Qubit index args[position]: refused outside 0..high, a no-op from the
    register width up to high, a TypeError for what is not a 32-bit int."""
    cases = []
    for q in sorted({-1, -2, -(2**31), high + 1, high + 2, 63, 64, 2**31 - 1}):
        cases.append(
            Case(
                name,
                f"qubit{position}/{q}",
                lambda rng, q=q: (
                    valid(rng).replacing(position, q).expecting(Raises(RuntimeError, "qubit index out of range"))
                ),
            )
        )
    for q in sorted({N, N + 1, 40, high}):
        cases.append(
            Case(
                name, f"qubit{position}/{q}-above-width", lambda rng, q=q: valid(rng).replacing(position, q).unchanged()
            )
        )
    for label, value in NOT_INTS.items():
        cases.append(
            Case(
                name,
                f"qubit{position}/{label}",
                lambda rng, value=value: valid(rng).replacing(position, value).expecting(Raises(TypeError)),
            )
        )
    return cases


def _matrix_entry_cases(name, valid, first, reference):
    """The four complex entries args[first:first+4]: non-numbers refused,
    special values computed like any other."""
    cases = []
    for entry in range(4):
        for label, value in NOT_COMPLEX.items():
            cases.append(
                Case(
                    name,
                    f"m{entry}/{label}",
                    lambda rng, entry=entry, value=value: (
                        valid(rng).replacing(first + entry, value).expecting(Raises(TypeError))
                    ),
                )
            )
        for label, value in SPECIAL_NUMBERS.items():

            def build(rng, entry=entry, value=value):
                call = valid(rng).replacing(first + entry, value)
                state, before = call.args[0], call.args[0].copy()
                return call.expecting(Returns(target=state, expected=lambda: reference(before, call.args)))

            cases.append(Case(name, f"m{entry}/{label}", build))
    return cases


# ---------------------------------------------------------------------------
# apply_1q


def _one_qubit(rng, state, flat, q=1):
    m = list(matrix(rng, 2).reshape(4))
    expected = _whole(state, flat, lambda f: ref.apply_1q(f, q, m))
    return Call((state, q, *m), Returns(target=state, expected=expected))


def apply_1q_cases():
    name = "apply_1q"

    def valid(rng):
        psi = guarded(rng, amplitudes(rng, L, special=True))
        return _one_qubit(rng, psi, psi.copy())

    cases = _arity(name, valid, POSITIONAL_KEYWORDS)
    cases += _state_variants(name, _one_qubit)
    cases += _qubit_cases(name, valid, 1, 61)
    cases += _matrix_entry_cases(name, valid, 2, lambda psi, a: ref.apply_1q(psi, a[1], a[2:6]))
    # Every qubit on registers of awkward lengths.
    for length in (0, 1, 2, 3, 8, 9, 16, 17):
        for q in (0, 1, 2, 3, 4, 61):

            def grid(rng, length=length, q=q):
                psi = guarded(rng, amplitudes(rng, length, special=True))
                return _one_qubit(rng, psi, psi.copy(), q=q)

            cases.append(Case(name, f"grid/length-{length}-qubit-{q}", grid))
    # Order of the checks: writability, dimensions, then the qubit.
    cases.append(
        Case(
            name,
            "order/read-only-before-qubit",
            lambda rng: valid(rng).replacing(1, -1).read_only().expecting(Raises(ValueError, "state is read-only")),
        )
    )
    cases.append(
        Case(
            name,
            "order/0d-before-qubit",
            lambda rng: (
                valid(rng)
                .replacing(0, np.array(1j))
                .replacing(1, -1)
                .expecting(Raises(RuntimeError, "state must have at least one dimension"))
            ),
        )
    )
    return cases


# ---------------------------------------------------------------------------
# apply_cnot_fast, apply_swap, apply_controlled_1q


def _two_qubit(name):
    def make(rng, state, flat, a=0, b=2):
        m = list(matrix(rng, 2).reshape(4))
        if name == "apply_cnot_fast":
            expected = _whole(state, flat, lambda f: ref.apply_cnot(f, a, b))
        elif name == "apply_swap":
            expected = _whole(state, flat, lambda f: ref.apply_swap(f, a, b))
        else:
            expected = _whole(state, flat, lambda f: ref.apply_controlled_1q(f, a, b, m))
        matrix_args = tuple(m) if name == "apply_controlled_1q" else ()
        # Permutations move bits exactly; only the arithmetic may pick either NaN.
        any_nan = name == "apply_controlled_1q"
        return Call((state, a, b, *matrix_args), Returns(target=state, expected=expected, any_nan=any_nan))

    return make


def two_qubit_cases(name):
    make = _two_qubit(name)

    def valid(rng):
        psi = guarded(rng, amplitudes(rng, L, special=True))
        return make(rng, psi, psi.copy())

    cases = _arity(name, valid, POSITIONAL_KEYWORDS + ("a", "b", "target"))
    cases += _state_variants(name, make)
    cases += _qubit_cases(name, valid, 1, 62)
    cases += _qubit_cases(name, valid, 2, 62)
    # Every pair from a set of good and bad indices: refused when either lies
    # outside 0..62, else the reference (equal qubits and qubits at or above
    # the register width change nothing).
    picks = (-(2**31), -1, 0, 1, 2, 3, 61, 62, 63, 2**31 - 1)
    for a in picks:
        for b in picks:

            def pair(rng, a=a, b=b):
                psi = guarded(rng, amplitudes(rng, L, special=True))
                if not (0 <= a <= 62 and 0 <= b <= 62):
                    return make(rng, psi, None, a, b).expecting(Raises(RuntimeError, "qubit index out of range"))
                return make(rng, psi, psi.copy(), a, b)

            cases.append(Case(name, f"pairs/{a}-{b}", pair))
    for q in (0, 2, 5, 62):
        cases.append(
            Case(name, f"equal-qubits-{q}", lambda rng, q=q: valid(rng).replacing(1, q).replacing(2, q).unchanged())
        )
    for a, b in ((-1, 63), (63, -1), (-5, -5), (63, 63)):
        cases.append(
            Case(
                name,
                f"both-bad-{a}-{b}",
                lambda rng, a=a, b=b: (
                    valid(rng)
                    .replacing(1, a)
                    .replacing(2, b)
                    .expecting(Raises(RuntimeError, "qubit index out of range"))
                ),
            )
        )
    cases.append(
        Case(
            name,
            "order/read-only-before-qubit",
            lambda rng: valid(rng).replacing(1, -1).read_only().expecting(Raises(ValueError, "state is read-only")),
        )
    )
    if name == "apply_controlled_1q":
        cases += _matrix_entry_cases(name, valid, 3, lambda psi, a: ref.apply_controlled_1q(psi, a[1], a[2], a[3:7]))
    return cases


# ---------------------------------------------------------------------------
# apply_gate_fast, apply_gate


def dense_cases(name):
    fast = name == "apply_gate_fast"
    size_complaint = "matrix size mismatch" if fast else "matrix size does not match 2^|targets|"

    def gate(rng, state, flat, targets=(2, 0), u=None, controls=None):
        targets = list(targets)
        u = matrix(rng, 1 << len(targets)) if u is None else u
        u_before = np.array(u, dtype=np.complex128)  # what applies, even if u aliases the state
        if fast:
            expected = _whole(state, flat, lambda f: ref.apply_gate_fast(f, targets, u_before))
        else:
            expected = _whole(state, flat, lambda f: ref.apply_gate(f, targets, u_before, controls or ()))
        args = (state, targets, u) + (() if controls is None else (list(controls),))
        return Call(args, Returns(target=state, expected=expected))

    def on(rng, targets, u=None, controls=None, length=L):
        psi = guarded(rng, amplitudes(rng, length, special=True))
        return gate(rng, psi, psi.copy(), targets, u, controls)

    def valid(rng):
        return on(rng, (2, 0))

    cases = []

    def add(label, build):
        cases.append(Case(name, label, build))

    cases += _arity(
        name, valid, ("arg0", "arg1", "state_", "matrix", "x") + (("state", "targets", "u", "controls") if fast else ())
    )

    def refused_length(length):
        # apply_gate wants 2^n amplitudes, and n above the targets 2 and 0.
        if length <= 0 or length & (length - 1):
            return "state length is not a power of two"
        return "qubit index out of range" if length < 8 else None

    cases += _state_variants(name, gate, refuses_length=None if fast else refused_length)

    # Targets: how many, which, how given.
    qubit_error = Raises(RuntimeError, "qubit index out of range")
    if fast:
        for k in (0, 5, 6, 40):
            add(
                f"targets/k={k}",
                lambda rng, k=k: on(rng, range(k), u=np.eye(1 << min(k, 4))).expecting(
                    Raises(RuntimeError, "k out of supported range")
                ),
            )
    else:
        add(
            "targets/32-repeats",
            lambda rng: on(rng, [0] * 32, u=np.zeros(0)).expecting(Raises(RuntimeError, size_complaint)),
        )
        add(
            "targets/40-repeats",
            lambda rng: on(rng, [0] * 40, u=np.ones(1)).expecting(Raises(RuntimeError, size_complaint)),
        )
    highest = 62 if fast else N - 1
    for bad in sorted({-1, -(2**31), highest + 1, 63, 64, 2**31 - 1}):
        for position in (0, 1):
            targets = [0, 1]
            targets[position] = bad
            add(f"targets/{targets}", lambda rng, targets=targets: on(rng, targets).expecting(qubit_error))
    for targets in ([0, 0], [1, 2, 1], [2, 2, 2, 2]):
        add(
            f"targets/repeat-{targets}",
            lambda rng, targets=targets: on(rng, targets).expecting(Raises(RuntimeError, "repeated target qubit")),
        )
    if fast:
        for targets in ([3], [40], [62], [0, 62], [62, 61, 60, 59]):  # no whole group fits
            add(f"targets/above-width-{targets}", lambda rng, targets=targets: on(rng, targets).unchanged())
    else:
        add("targets/empty", lambda rng: on(rng, [], u=np.array([2 - 1j])))
        add("targets/all", lambda rng: on(rng, [1, 2, 0]))
    for label, value in NOT_SEQUENCES.items():
        add(f"targets/{label}", lambda rng, value=value: valid(rng).replacing(1, value).expecting(Raises(TypeError)))
    given = {
        "tuple": tuple,
        "range": lambda t: range(t[0], t[0] + 1),
        "uint8-array": lambda t: np.array(t, dtype=np.uint8),
        "generator": lambda t: (q for q in t),
    }
    for label, convert in given.items():
        add(f"targets/{label}", lambda rng, convert=convert: on(rng, [1]).replacing(1, convert([1])))

    def own_error(rng):
        error = KeyError("the caller's own")
        return valid(rng).replacing(1, raising_generator([0], error)).expecting(Propagates(error))

    add("targets/generator-raises", own_error)

    # Target lists (and control lists) drawn from good and bad indices, judged
    # by the documented order of the checks.
    draw = np.random.default_rng(2024)
    picks = [-1, 0, 1, 2, 3, 5, 62, 63]
    for i in range(120):
        targets = [int(q) for q in draw.choice(picks, size=draw.integers(0 if not fast else 1, 5))]
        controls = None if fast else [int(q) for q in draw.choice(picks[:5], size=draw.integers(0, 3))]
        add(
            f"lists/{i}-{targets}-{controls}",
            lambda rng, t=targets, c=controls: on(rng, t, controls=c).expecting(_dense_verdict(fast, t, c)),
        )
    for k in (1, 2, 3, 4) if fast else (0, 1, 2, 3):
        for size in MATRIX_SIZES:
            if size != 4**k:
                add(
                    f"u/k={k}-size-{size}",
                    lambda rng, k=k, size=size: on(rng, range(k), u=np.ones(size, dtype=complex), length=16).expecting(
                        Raises(RuntimeError, size_complaint)
                    ),
                )
    for shape in ((16,), (2, 8), (4, 2, 2), (1, 16, 1)):
        add(f"u/shape-{shape}", lambda rng, shape=shape: on(rng, [2, 0], u=matrix(rng, 4).reshape(shape)))
    for label, value in NOT_ARRAYS.items():
        add(f"u/{label}", lambda rng, value=value: valid(rng).replacing(2, value()).expecting(Raises(TypeError)))
    add("u/scalar", lambda rng: valid(rng).replacing(2, 1j).expecting(Raises(RuntimeError, size_complaint)))
    add("u/nan-inf", lambda rng: on(rng, [1, 2], u=amplitudes(rng, 16, special=True)))

    def read_only_u(rng):
        u = guarded(rng, matrix(rng, 4))
        u.flags.writeable = False
        return on(rng, [0, 2], u=u)

    add("u/read-only", read_only_u)
    for offset in (1, 8):
        add(
            f"u/misaligned-{offset}",
            lambda rng, offset=offset: on(rng, [0, 2], u=guarded(rng, matrix(rng, 4), misalign=offset)),
        )
    converted = {
        "list": lambda u: u.tolist(),
        "float64": lambda u: u.real.copy(),
        "strided": lambda u: np.repeat(u, 2, axis=1)[:, ::2],
        "byteswapped": lambda u: u.astype(">c16"),
    }
    for label, convert in converted.items():

        def converted_u(rng, convert=convert):
            obj = convert(matrix(rng, 4))
            return on(rng, [1, 2], u=np.asarray(obj, dtype=np.complex128)).replacing(2, obj)

        add(f"u/converted-{label}", converted_u)

    def aliased_u(rng, start):
        # The matrix is a view of the state's own memory: what applies is the
        # matrix as it was when the call began.
        psi = guarded(rng, amplitudes(rng, 32))
        u = psi[start : start + 16]
        return gate(rng, psi, psi.copy(), [4, 1], u=u.copy()).replacing(2, u)

    for start in (0, 5, 16):
        add(f"u/aliases-state-{start}", lambda rng, start=start: aliased_u(rng, start))

    # Order of the checks.
    add(
        "order/size-before-read-only",
        lambda rng: on(rng, [0], u=np.ones(3)).read_only().expecting(Raises(RuntimeError, size_complaint)),
    )
    add(
        "order/read-only-before-range",
        lambda rng: on(rng, [-1], u=np.eye(2)).read_only().expecting(Raises(ValueError, "state is read-only")),
    )
    add(
        "order/0d-before-range",
        lambda rng: (
            on(rng, [-1], u=np.eye(2))
            .replacing(0, np.array(1j))
            .expecting(Raises(RuntimeError, "state must have at least one dimension"))
        ),
    )
    add("order/range-before-repeat", lambda rng: on(rng, [1, 1, 63]).expecting(qubit_error))
    if fast:
        add(
            "order/k-before-size",
            lambda rng: (
                on(rng, [], u=np.ones(3)).read_only().expecting(Raises(RuntimeError, "k out of supported range"))
            ),
        )
    else:
        add(
            "order/size-before-overlap",
            lambda rng: on(rng, [0], u=np.ones(3), controls=[0]).expecting(Raises(RuntimeError, size_complaint)),
        )
        add(
            "order/length-before-range",
            lambda rng: on(rng, [7], length=6).expecting(Raises(RuntimeError, "state length is not a power of two")),
        )
        cases += _control_cases(name, on)
    return cases


def _dense_verdict(fast, targets, controls):
    """What the README says a dense gate on an 8-amplitude state does with
    these lists (the matrix always has the right size)."""
    highest = 62 if fast else N - 1
    qubits = list(targets) + list(controls or ())
    if any(not 0 <= q <= highest for q in qubits):
        return Raises(RuntimeError, "qubit index out of range")
    if len(set(targets)) < len(targets):
        return Raises(RuntimeError, "repeated target qubit")
    if len(set(qubits)) < len(qubits):
        return Raises(RuntimeError, "control overlaps a target qubit")
    return None  # success: keep the call's own expectation


def _control_cases(name, on):
    overlap = Raises(RuntimeError, "control overlaps a target qubit")
    qubit_error = Raises(RuntimeError, "qubit index out of range")
    cases = []
    for targets, controls, expect in (
        ([0], [0], overlap),
        ([0, 2], [2], overlap),
        ([0], [1, 1], overlap),
        ([1], [2, 0, 2], overlap),
        ([0], [-1], qubit_error),
        ([0], [N], qubit_error),
        ([0], [1, 63], qubit_error),
        ([0], [1, 2**31 - 1], qubit_error),
        ([0, 0], [0], Raises(RuntimeError, "repeated target qubit")),
        ([N], [0], qubit_error),
        ([1], [2, 0], None),
        ([], [0, 1, 2], None),
        ([2], [], None),
    ):

        def build(rng, targets=targets, controls=controls, expect=expect):
            call = on(rng, targets, controls=controls)
            return call.expecting(expect) if expect else call

        cases.append(Case(name, f"controls/{targets}-{controls}", build))
    for label, value in NOT_SEQUENCES.items():
        cases.append(
            Case(
                name,
                f"controls/{label}",
                lambda rng, value=value: on(rng, [0], controls=[1]).replacing(3, value).expecting(Raises(TypeError)),
            )
        )

    names = ("state", "targets", "u", "controls")

    def by_keyword(rng, keywords):
        call = on(rng, [2], controls=[0])
        call.kwargs = {names[i]: call.args[i] for i in keywords}
        call.args = tuple(call.args[i] for i in range(4) if i not in keywords)
        return call

    for keywords in ((3,), (2, 3), (3, 1, 2), (3, 2, 1, 0), (0, 1, 2, 3)):
        cases.append(Case(name, f"keywords/{keywords}", lambda rng, keywords=keywords: by_keyword(rng, keywords)))

    def duplicate(rng):
        call = on(rng, [2])
        call.kwargs = {"targets": [1]}
        return call.expecting(Raises(TypeError))

    def missing(rng):
        call = by_keyword(rng, (0, 3))
        call.args = ()
        return call.expecting(Raises(TypeError))

    cases.append(Case(name, "keywords/duplicate", duplicate))
    cases.append(Case(name, "keywords/missing-targets-and-u", missing))
    return cases


# ---------------------------------------------------------------------------
# apply_kraus_1q

BAD_OP = "each Kraus op must be 2x2"
BAD_N = "n_qubits out of range"
BAD_Q = "qubit index out of range"
SHORT = "rho holds fewer than 4^n_qubits elements"


def _kraus(rng, rho=None, n=2, q=1, ops=None, extra=0, special=False, misalign=0):
    """A call on a random rho of 4^n + extra elements (or the given one),
    expecting the reference's result on its first 4^n elements."""
    if ops is None:
        ops = [matrix(rng, 2) for _ in range(2)]
    if rho is None:
        size = 4**n if 0 <= n <= 8 else 16  # a rho of 16 elements when n is refused anyway
        rho = guarded(rng, amplitudes(rng, size + extra, special), misalign=misalign)
    expect = Returns()
    if isinstance(rho, np.ndarray) and 0 <= n <= 8:
        flat = rho.reshape(-1).copy()
        expect = Returns(
            target=rho, expected=lambda: np.concatenate([ref.kraus_1q(flat[: 4**n], n, q, ops), flat[4**n :]])
        )
    return Call((rho, n, q, ops), expect)


def kraus_cases():
    name = "apply_kraus_1q"
    cases = _arity(name, _kraus, ("ops", "n", "state", "arg0", "kraus", "x"))

    def add(label, build):
        cases.append(Case(name, label, build))

    # rho
    for label, value in NOT_ARRAYS.items():
        add(f"rho/{label}", lambda rng, value=value: _kraus(rng, rho=value()).expecting(Raises(TypeError)))
    add("rho/scalar", lambda rng: _kraus(rng, rho=np.array(1j), n=1, q=0).expecting(Raises(RuntimeError, SHORT)))
    add("rho/scalar-n0", lambda rng: _kraus(rng, rho=np.array(1j), n=0, q=0).expecting(Raises(RuntimeError, BAD_Q)))
    add("rho/read-only", lambda rng: _kraus(rng).read_only().expecting(Raises(ValueError, "rho is read-only")))
    add(
        "order/read-only-before-ops",
        lambda rng: _kraus(rng, ops=[np.ones(3)]).read_only().expecting(Raises(ValueError, "rho is read-only")),
    )
    for size in (0, 1, 4, 15):
        add(
            f"rho/short-{size}",
            lambda rng, size=size: _kraus(rng, rho=guarded(rng, amplitudes(rng, size))).expecting(
                Raises(RuntimeError, SHORT)
            ),
        )
    for extra in (1, 7, 16):
        add(f"rho/extra-{extra}", lambda rng, extra=extra: _kraus(rng, extra=extra))
    for shape in ((4, 4), (2, 8), (16, 1), (2, 2, 2, 2), (5, 4), (1, 17)):
        add(
            f"rho/shape-{shape}",
            lambda rng, shape=shape: _kraus(rng, rho=guarded(rng, amplitudes(rng, int(np.prod(shape))), shape=shape)),
        )
    add("rho/nan-inf", lambda rng: _kraus(rng, n=3, q=2, special=True))
    for offset in (1, 8):
        add(f"rho/misaligned-{offset}", lambda rng, offset=offset: _kraus(rng, misalign=offset))
    converted = {
        "list": lambda r: r.tolist(),
        "float64": lambda r: r.real.copy(),
        "strided": lambda r: np.repeat(r, 2)[::2],
        "byteswapped": lambda r: r.astype(">c16"),
    }
    for label, convert in converted.items():
        add(
            f"rho/converted-{label}",
            lambda rng, convert=convert: _kraus(rng, rho=convert(amplitudes(rng, 16))).expecting(Returns()),
        )

    # n_qubits and qubit
    for n in (-1, -(2**31), 30, 31, 32, 62, 63, 64, 2**31 - 1):
        add(f"n/{n}", lambda rng, n=n: _kraus(rng, n=n, q=0).expecting(Raises(RuntimeError, BAD_N)))
    for q in (-1, -(2**31), 2, 3, 62, 63, 2**31 - 1):
        add(f"qubit/{q}", lambda rng, q=q: _kraus(rng, q=q).expecting(Raises(RuntimeError, BAD_Q)))
    add("qubit/n=0", lambda rng: _kraus(rng, n=0, q=0).expecting(Raises(RuntimeError, BAD_Q)))
    add(
        "n/29-short",
        lambda rng: _kraus(rng, n=29, q=0, rho=guarded(rng, amplitudes(rng, 16))).expecting(
            Raises(RuntimeError, SHORT)
        ),
    )
    for position in (1, 2):
        for label, value in NOT_INTS.items():
            add(
                f"int{position}/{label}",
                lambda rng, position=position, value=value: (
                    _kraus(rng).replacing(position, value).expecting(Raises(TypeError))
                ),
            )

    # Every (n_qubits, qubit) from a set of good and bad values, on a rho of
    # 16 elements.
    for n in (-1, 0, 1, 2, 3, 29, 30):
        for q in (-1, 0, 1, 2, 3):

            def grid(rng, n=n, q=q):
                call = _kraus(rng, rho=guarded(rng, amplitudes(rng, 16, special=True)), n=n, q=q)
                if not 0 <= n <= 29:
                    return call.expecting(Raises(RuntimeError, BAD_N))
                if not 0 <= q < n:
                    return call.expecting(Raises(RuntimeError, BAD_Q))
                if 4**n > 16:
                    return call.expecting(Raises(RuntimeError, SHORT))
                return call

            add(f"grid/n={n}-qubit={q}", grid)

    # kraus_ops: the list itself, then a bad member at every position.
    for label, value in {
        "none": None,
        "int": 3,
        "str": "ab",
        "bytes": b"ab",
        "dict": {0: 1},
        "object": object(),
    }.items():
        add(f"ops/{label}", lambda rng, value=value: _kraus(rng).replacing(3, value).expecting(Raises(TypeError)))
    add("ops/empty", lambda rng: _kraus(rng, ops=[]))
    members = {
        f"size-{s}": (lambda s=s: np.ones(s, dtype=complex), Raises(RuntimeError, BAD_OP))
        for s in (0, 1, 2, 3, 5, 8, 9, 16)
    }
    members.update(
        {
            "eye3": (lambda: np.eye(3), Raises(RuntimeError, BAD_OP)),
            "2x3": (lambda: np.ones((2, 3)), Raises(RuntimeError, BAD_OP)),
            "0d": (lambda: np.array(1j), Raises(RuntimeError, BAD_OP)),
            "none": (lambda: None, Raises(RuntimeError, BAD_OP)),  # NumPy makes it a NaN of no dimension
            "str": (lambda: "x", Raises(TypeError)),
            "object": (object, Raises(TypeError)),
            "ragged": (lambda: [[1, 2], [3]], Raises(TypeError)),
            "array-refuses": (ArrayRefuses, Raises(TypeError)),
        }
    )
    for count in (1, 2, 3, 4):
        for position in range(count):
            for label, (value, expect) in members.items():

                def bad_member(rng, count=count, position=position, value=value, expect=expect):
                    ops = [matrix(rng, 2) for _ in range(count)]
                    ops[position] = value()
                    return _kraus(rng, ops=ops).expecting(expect)

                add(f"ops/{count}-bad-at-{position}-{label}", bad_member)

    def own_error(rng):
        error = KeyError("the caller's own")
        return _kraus(rng).replacing(3, raising_generator([np.eye(2)], error)).expecting(Propagates(error))

    add("ops/generator-raises", own_error)

    def members_given(rng, kind):
        ops = [matrix(rng, 2) for _ in range(3)]
        if kind == "nan-inf":
            ops = [amplitudes(rng, 4, special=True) for _ in range(3)]
        call = _kraus(rng, ops=[op.copy() for op in ops])
        if kind == "read-only":
            for op in ops:
                op.flags.writeable = False
        elif kind == "misaligned":
            ops = [guarded(rng, op, misalign=3) for op in ops]
        elif kind == "converted":
            ops = [ops[0].tolist(), ops[1].astype(">c16"), tuple(ops[2].reshape(4))]
        elif kind == "aliases-rho":
            rho = call.args[0]
            ops = [rho[:4], rho[4:8].reshape(2, 2), rho[12:]]
            call = _kraus(rng, rho=rho, ops=[op.copy() for op in ops])
        return call.replacing(3, ops)

    for kind in ("read-only", "misaligned", "nan-inf", "converted", "aliases-rho"):
        add(f"ops/{kind}", lambda rng, kind=kind: members_given(rng, kind))

    # Order of the checks: operators, n_qubits, qubit, size.
    add(
        "order/op-before-n",
        lambda rng: _kraus(rng, n=-1, q=-1, ops=[np.ones(3)]).expecting(Raises(RuntimeError, BAD_OP)),
    )
    add("order/n-before-qubit", lambda rng: _kraus(rng, n=40, q=40).expecting(Raises(RuntimeError, BAD_N)))
    add(
        "order/qubit-before-size",
        lambda rng: _kraus(rng, n=5, q=5, rho=guarded(rng, amplitudes(rng, 16))).expecting(Raises(RuntimeError, BAD_Q)),
    )
    return cases


# ---------------------------------------------------------------------------
# apply_diagonal, apply_pauli_rotation

NOT_REALS = {"none": None, "str": "1", "list": [1.0], "complex": 1j, "object": object(), "10^400": 10**400}


def _phase_length(needed):
    """The complaint for a state of `length` amplitudes when the call's
    qubits need `needed` of them (targets 2 and 0, or qubits 2 and 0)."""

    def refused(length, count_first=False):
        if length <= 0 or length & (length - 1):
            return "state length is not a power of two"
        n = length.bit_length() - 1
        if count_first and n < 2:
            return "target count out of range"
        return "qubit index out of range" if n < needed else None

    return refused


def _phase_lists(name, on, verdict):
    """Qubit lists drawn from good and bad indices, judged by the documented
    order of the checks; and the lists' forms."""
    cases = []
    draw = np.random.default_rng(2026 if name == "apply_diagonal" else 2027)
    picks = [-1, 0, 1, 2, 3, 5, 63]
    for i in range(80):
        qubits = [int(q) for q in draw.choice(picks, size=draw.integers(0, 4))]
        controls = [int(q) for q in draw.choice(picks[:5], size=draw.integers(0, 3))]
        cases.append(
            Case(
                name,
                f"lists/{i}-{qubits}-{controls}",
                lambda rng, q=qubits, c=controls: on(rng, q, controls=c).expecting(verdict(q, c)),
            )
        )
    for position in (1 if name == "apply_diagonal" else 2, 4 if name != "apply_diagonal" else 3):
        for label, value in NOT_SEQUENCES.items():
            cases.append(
                Case(
                    name,
                    f"list{position}/{label}",
                    lambda rng, value=value, position=position: (
                        on(rng, [0], controls=[1]).replacing(position, value).expecting(Raises(TypeError))
                    ),
                )
            )
    return cases


def _phase_verdict(name, qubits, controls):
    everything = list(qubits) + list(controls)
    if name == "apply_diagonal" and not 1 <= len(qubits) <= N:
        return Raises(RuntimeError, "target count out of range")
    if any(not 0 <= q < N for q in everything):
        return Raises(RuntimeError, "qubit index out of range")
    if len(set(qubits)) < len(qubits):
        return Raises(RuntimeError, "repeated target qubit" if name == "apply_diagonal" else "repeated qubit")
    if len(set(everything)) < len(everything):
        if name == "apply_diagonal":
            return Raises(RuntimeError, "control overlaps a target qubit")
        return Raises(RuntimeError, "control overlaps a qubit of the string")
    return None


def diagonal_cases():
    name = "apply_diagonal"
    size_complaint = "diagonal size does not match 2^|targets|"

    def gate(rng, state, flat, targets=(2, 0), d=None, controls=None):
        targets = list(targets)
        d = amplitudes(rng, 1 << len(targets), special=True) if d is None else d
        d_before = np.array(d, dtype=np.complex128).reshape(-1)  # as the call began, even if d aliases the state
        expected = _whole(state, flat, lambda f: ref.apply_diagonal(f, targets, d_before, controls or ()))
        args = (state, targets, d) + (() if controls is None else (list(controls),))
        return Call(args, Returns(target=state, expected=expected))

    def on(rng, targets, d=None, controls=None, length=L):
        psi = guarded(rng, amplitudes(rng, length, special=True))
        return gate(rng, psi, psi.copy(), targets, d, controls)

    def valid(rng):
        return on(rng, (2, 0))

    cases = []

    def add(label, build):
        cases.append(Case(name, label, build))

    cases += _arity(name, valid, ("arg0", "arg1", "u", "table", "x"))
    refused = _phase_length(3)
    cases += _state_variants(name, gate, refuses_length=lambda length: refused(length, count_first=True))
    cases += _phase_lists(name, on, lambda q, c: _phase_verdict(name, q, c))
    for k in (0, 1, 2, 3):
        for size in MATRIX_SIZES:
            if size != 1 << k and size < 20:
                add(
                    f"diag/k={k}-size-{size}",
                    lambda rng, k=k, size=size: on(rng, range(k), d=np.ones(size, dtype=complex)).expecting(
                        Raises(RuntimeError, size_complaint)
                    ),
                )
    add("diag/k=63", lambda rng: on(rng, [0] * 63, d=np.ones(2)).expecting(Raises(RuntimeError, size_complaint)))
    for label, value in NOT_ARRAYS.items():
        add(f"diag/{label}", lambda rng, value=value: valid(rng).replacing(2, value()).expecting(Raises(TypeError)))
    for shape in ((2, 2), (1, 4, 1)):
        add(f"diag/shape-{shape}", lambda rng, shape=shape: on(rng, [2, 0], d=amplitudes(rng, 4).reshape(shape)))

    def read_only_d(rng):
        d = guarded(rng, amplitudes(rng, 4))
        d.flags.writeable = False
        return on(rng, [0, 2], d=d)

    add("diag/read-only", read_only_d)
    add("diag/misaligned", lambda rng: on(rng, [0, 2], d=guarded(rng, amplitudes(rng, 4), misalign=4)))
    add("diag/list", lambda rng: on(rng, [1, 2], d=np.array([1, 2j, -1, 0.5])).replacing(2, [1, 2j, -1, 0.5]))

    def aliased_d(rng, start):
        psi = guarded(rng, amplitudes(rng, 16))
        d = psi[start : start + 4]
        return gate(rng, psi, psi.copy(), [3, 1], d=d.copy()).replacing(2, d)

    for start in (0, 6, 12):
        add(f"diag/aliases-state-{start}", lambda rng, start=start: aliased_d(rng, start))
    add(
        "order/size-before-read-only",
        lambda rng: on(rng, [0], d=np.ones(3)).read_only().expecting(Raises(RuntimeError, size_complaint)),
    )
    add(
        "order/read-only-before-count",
        lambda rng: on(rng, [], d=np.ones(1)).read_only().expecting(Raises(ValueError, "state is read-only")),
    )
    add(
        "order/count-before-range",
        lambda rng: on(rng, [0, 1, 2, 9], d=np.ones(16)).expecting(Raises(RuntimeError, "target count out of range")),
    )
    return cases


def rotation_cases():
    name = "apply_pauli_rotation"

    def gate(rng, state, flat, qubits=(2, 0), paulis=None, theta=0.7, controls=None):
        qubits = list(qubits)
        paulis = "".join(rng.choice(list("IXYZ"), size=len(qubits))) if paulis is None else paulis
        if isinstance(theta, (int, float)) and np.isfinite(theta) and isinstance(paulis, str):
            cs = ref.cos_sin_half(float(theta))
            expected = _whole(state, flat, lambda f: ref.apply_pauli_rotation(f, paulis, qubits, cs, controls or ()))
        else:
            expected = None
        args = (state, paulis, qubits, theta) + (() if controls is None else (list(controls),))
        return Call(args, Returns(target=state, expected=expected))

    def on(rng, qubits, paulis=None, theta=0.7, controls=None, length=L):
        psi = guarded(rng, amplitudes(rng, length, special=True))
        return gate(rng, psi, psi.copy(), qubits, paulis, theta, controls)

    def valid(rng):
        return on(rng, (2, 0))

    cases = []

    def add(label, build):
        cases.append(Case(name, label, build))

    cases += _arity(name, valid, ("arg0", "string", "angle", "targets", "x"))
    cases += _state_variants(
        name, lambda rng, state, flat: gate(rng, state, flat, paulis="YZ"), refuses_length=_phase_length(3)
    )
    cases += _phase_lists(name, on, lambda q, c: _phase_verdict(name, q, c))
    bad_letter = Raises(RuntimeError, "Pauli letter is not one of I, X, Y, Z")
    mismatch = Raises(RuntimeError, "Pauli string length does not match the qubit list")
    for paulis, qubits, expect in (
        ("x", [0], bad_letter),
        ("XA", [0, 1], bad_letter),
        ("é", [0], bad_letter),
        ("ZZé", [0, 1, 2], bad_letter),
        ("\0", [0], bad_letter),
        ("XX", [0], mismatch),
        ("é", [0, 1], mismatch),
        ("", [0], mismatch),
        ("Q", [-1], bad_letter),
        ("X", [5], Raises(RuntimeError, "qubit index out of range")),
        ("", [], None),
        ("IIZ", [0, 1, 2], None),
    ):
        add(
            f"paulis/{paulis!r}-{qubits}",
            lambda rng, p=paulis, q=qubits, e=expect: on(rng, q, paulis=p).expecting(e) if e else on(rng, q, paulis=p),
        )
    for label, value in {"none": None, "int": 1, "list": ["X", "Z"], "ndarray": np.array(["X", "Z"])}.items():
        add(f"paulis/{label}", lambda rng, value=value: valid(rng).replacing(1, value).expecting(Raises(TypeError)))
    for label, value in NOT_REALS.items():
        add(f"theta/{label}", lambda rng, value=value: valid(rng).replacing(3, value).expecting(Raises(TypeError)))
    for label, value in {"inf": float("inf"), "-inf": -float("inf"), "nan": float("nan")}.items():
        add(
            f"theta/{label}",
            lambda rng, value=value: (
                valid(rng).replacing(3, value).expecting(Raises(RuntimeError, "theta is not finite"))
            ),
        )
    for label, value in {"int": 3, "bool": True, "numpy": np.float32(0.25), "huge": 1e308, "tiny": 5e-324}.items():
        add(
            f"theta/{label}",
            lambda rng, value=value: on(rng, [1, 2], paulis="XY", theta=float(value)).replacing(3, value),
        )
    add(
        "order/theta-before-read-only",
        lambda rng: (
            on(rng, [0], paulis="X", theta=float("nan"))
            .read_only()
            .expecting(Raises(RuntimeError, "theta is not finite"))
        ),
    )
    add(
        "order/letter-before-theta",
        lambda rng: on(rng, [0], paulis="q", theta=float("nan")).expecting(bad_letter),
    )
    add(
        "order/length-before-range",
        lambda rng: on(rng, [7], paulis="X", length=6).expecting(
            Raises(RuntimeError, "state length is not a power of two")
        ),
    )
    return cases


# ---------------------------------------------------------------------------
# cpu_dispatch_tier


def tier_cases():
    name = "cpu_dispatch_tier"
    cases = [Case(name, "no-arguments", lambda rng: Call((), Returns(value=0)))]
    for label, args in {"int": (0,), "none": (None,), "two": (1, 2), "array": (np.zeros(2),)}.items():
        cases.append(Case(name, f"args/{label}", lambda rng, args=args: Call(args, Raises(TypeError))))
    for keyword in ("tier", "x", "arg0"):
        cases.append(
            Case(
                name,
                f"keyword/{keyword}",
                lambda rng, keyword=keyword: Call((), Raises(TypeError), kwargs={keyword: 0}),
            )
        )
    return cases


# ---------------------------------------------------------------------------


def cases_of(function):
    if function == "apply_1q":
        return apply_1q_cases()
    if function in ("apply_cnot_fast", "apply_swap", "apply_controlled_1q"):
        return two_qubit_cases(function)
    if function in ("apply_gate_fast", "apply_gate"):
        return dense_cases(function)
    if function == "apply_kraus_1q":
        return kraus_cases()
    if function == "cpu_dispatch_tier":
        return tier_cases()
    if function == "apply_diagonal":
        return diagonal_cases()
    if function == "apply_pauli_rotation":
        return rotation_cases()
    raise ValueError(function)


FUNCTIONS = (
    "apply_1q",
    "apply_cnot_fast",
    "apply_controlled_1q",
    "apply_swap",
    "apply_gate_fast",
    "apply_gate",
    "apply_kraus_1q",
    "cpu_dispatch_tier",
    "apply_diagonal",
    "apply_pauli_rotation",
)
CASES = {function: cases_of(function) for function in FUNCTIONS}


# ---------------------------------------------------------------------------
# Running cases in children.  A group of cases runs in one child, forked from
# a server process that has imported NumPy and velt_core but never called a
# kernel: the children start their own OpenMP teams, as a fresh process does
# (a child forked after its parent ran a kernel would run every loop on one
# thread).  The child reports each verdict as it goes, so when it dies the
# case it was running is the first one without a verdict.


def probe_cases():
    """Stand-ins for the harness's own test: pass, die, fail, hang."""
    import os
    import time

    def passes():
        return None

    def dies():
        os.abort()

    def fails():
        return "a wrong result"

    def hangs():
        time.sleep(600)

    return {"passes": passes, "dies": dies, "fails": fails, "hangs": hangs}


def run_group(conn, function, indices):
    if function in CASES:
        cases = CASES[function]
        for i in indices:
            conn.send((i, run(cases[i])))
    else:
        probes = list(probe_cases().values())
        for i in indices:
            conn.send((i, probes[i]()))
    conn.close()
