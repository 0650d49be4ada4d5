"""Coverage-guided fuzzing of velt_core's argument conversion, the
apply_sequence op parser and the read-outs (atheris).

    python tests/fuzz/fuzz_velt.py [libFuzzer options] [CORPUS_DIR ...]

scripts/fuzz.sh runs it against the sanitizer build for a fixed time.  Each
input picks a function from FUNCTIONS and builds its arguments from the
input's bytes: states, matrices, qubits and lists of every form a caller
might pass (exact and subclassed arrays, other dtypes, strided, misaligned,
read-only, byte-swapped and 0-d arrays, lists, tuples, generators, NumPy
scalars, huge ints, NaN and infinite entries, strings and None), and ops for
apply_sequence with known and unknown kernel names.  Each call must
  - not crash (the sanitizers abort on any memory or undefined-behaviour
    fault, which libFuzzer reports with the input that caused it);
  - end in its result or in TypeError, ValueError, RuntimeError or
    OverflowError, and when it raises, leave every array the caller passed
    unchanged byte for byte;
  - for the functions with a fast entry (FAST), give the same outcome as the
    same values in forms that take the ordinary pybind11 entry (an ndarray
    subclass view of a copy, int and complex subclasses): the same bytes in
    the state, the same exception type and the same message.
Any broken promise raises an AssertionError, which libFuzzer reports as a
crash and saves as crash-<sha1>; tests/test_fuzz_findings.py replays every
input under tests/fuzz/findings/.

A new function is one row of FUNCTIONS (its arguments from a Gen), plus its
name in FAST when it has a fast entry.
"""

import sys
import types
import warnings

import numpy as np

import velt_core

H = 2**-0.5

KERNELS = [
    "apply_1q",
    "apply_cnot_fast",
    "apply_controlled_1q",
    "apply_swap",
    "apply_gate_fast",
    "apply_gate",
    "apply_diagonal",
    "apply_pauli_rotation",
]
SPECIAL = [0.0, -0.0, 1.0, -1.5, np.inf, -np.inf, np.nan, 1e-310, 1e300, H]


class Sub(np.ndarray):
    pass


class Int(int):
    pass


class Complex(complex):
    pass


class Float(float):
    pass


class Gen:
    """Arguments of every form, drawn from the fuzzer's bytes."""

    def __init__(self, fdp):
        self.fdp = fdp

    def pick(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1)

    def number(self):
        k = self.pick(4)
        if k == 0:
            return SPECIAL[self.pick(len(SPECIAL))]
        if k == 1:
            return float(self.fdp.ConsumeIntInRange(-4, 4))
        return self.fdp.ConsumeRegularFloat() if k == 2 else self.fdp.ConsumeProbability()

    def values(self, count):
        return np.array([complex(self.number(), self.number()) for _ in range(count)], dtype=np.complex128)

    def array(self, count, for_state=False):
        """count complex values in one of many forms."""
        values = self.values(count)
        form = self.pick(14)
        if form <= 4:
            return values  # the fast entry's form
        if form == 5:
            return values.view(Sub)
        if form == 6:
            values.flags.writeable = False
            return values
        if form == 7:
            dtype = [np.complex64, np.float64, np.int64, np.bool_][self.pick(4)]
            with warnings.catch_warnings(), np.errstate(all="ignore"):
                warnings.simplefilter("ignore")  # the lost imaginary parts, NaN to int
                return (values if dtype is np.complex64 else values.real).astype(dtype)
        if form == 8:
            wide = np.empty(2 * count, dtype=np.complex128)
            wide[::2] = values
            return wide[::2]
        if form == 9:
            raw = np.zeros(values.nbytes + 8, dtype=np.uint8)
            out = raw[4 : 4 + values.nbytes].view(np.complex128)
            out[...] = values
            return out
        if form == 10:
            return values.astype(">c16")
        if form == 11:
            return values.tolist()
        if form == 12 and count >= 4 and count % 2 == 0:
            return values.reshape(2, count // 2)
        return np.array(values[0] if count else 0j) if for_state else values.reshape(-1, 1)

    def state(self):
        k = self.pick(8)
        count = [0, 1, 2, 3, 5, 6][self.pick(6)] if k == 0 else 1 << self.fdp.ConsumeIntInRange(1, 7)
        return self.array(count, for_state=True)

    def qubit(self):
        k = self.pick(12)
        if k <= 6:
            return self.fdp.ConsumeIntInRange(-2, 9)
        return (
            [63, 62, 61, 2**31, -(2**31) - 1, 2**70, True, np.int64(3), 2.0, "1", None][self.pick(11)] if k < 11 else 0
        )

    def qubits(self, most=5):
        items = [
            self.qubit() if self.pick(6) == 0 else self.fdp.ConsumeIntInRange(0, 8) for _ in range(self.pick(most + 1))
        ]
        form = self.pick(9)
        if form <= 3:
            return items
        return [tuple(items), (q for q in items), np.array(items, dtype=object), set(), "01", {0: 1}, None][form - 4]

    def entry(self):
        k = self.pick(10)
        if k <= 5:
            return complex(self.number(), self.number())
        return [self.number(), 1, np.complex64(1 + 2j), np.float32(0.5), 10**400, "1", None][k - 4] if k > 6 else 0

    def matrix(self, k=None):
        k = self.pick(4) if k is None else k
        size = 4**k if self.pick(5) else self.pick(20)
        return self.array(size)

    def kraus(self, k=1):
        ops = [self.matrix(k) for _ in range(self.pick(4))]
        return [ops, tuple(ops), ops[:1] * max(17, 4**k + 1), "ops", None][self.pick(5)] if self.pick(4) == 0 else ops

    def density(self):
        """rho and n_qubits, mostly of matching size."""
        n = self.pick(4)
        return self.array(4**n), n if self.pick(4) else self.qubit()

    def channel(self):
        """Qubits and operators, the operators mostly of the qubits' size."""
        qubits = self.qubits(3)
        k = len(qubits) if isinstance(qubits, list) and self.pick(4) else self.pick(4)
        return qubits, self.kraus(k)

    def paulis(self, count):
        alphabet = "IXYZ" if self.pick(3) else "IXYZxé\ud800 \0"
        text = "".join(alphabet[self.pick(len(alphabet))] for _ in range(count + self.pick(3) - 1 if count else 0))
        return text if self.pick(8) else [text.encode("utf-8", "replace"), list(text), None][self.pick(3)]

    def terms(self):
        """(paulis, qubits) pairs, now and then in another form or not a pair."""
        items = []
        for _ in range(self.pick(5)):
            k = self.pick(4)
            term = (self.paulis(k), self.qubits(k))
            items.append(term if self.pick(6) else [list(term), term[:1], term + (0,), "XZ", None][self.pick(5)])
        return items if self.pick(6) else [tuple(items), (t for t in items), None, "XZ"][self.pick(4)]

    def op(self):
        name = (
            KERNELS[self.pick(len(KERNELS))]
            if self.pick(8)
            else ["apply_kraus_1q", "", "apply_1q\ud800", "x"][self.pick(4)]
        )
        args = list(FUNCTIONS[name](self)[1:]) if name in FUNCTIONS else [self.qubit()]
        if self.pick(10) == 0 and args:
            args.pop()
        op = (name, *args)
        return [op, list(op), name, (), (0, 1)][self.pick(5)] if self.pick(10) == 0 else op

    def ops(self):
        ops = [self.op() for _ in range(self.pick(5))]
        return ops if self.pick(6) else [tuple(ops), (o for o in ops), None][self.pick(3)]

    def uniforms(self):
        count = self.pick(6)
        values = [self.fdp.ConsumeProbability() if self.pick(4) else self.number() for _ in range(count)]
        form = self.pick(6)
        if form <= 2:
            return np.array(values)
        return [values, np.array(values).reshape(-1, 1) if count else [], np.array(values, dtype=np.complex128)][
            form - 3
        ]


# One row per function: the arguments, state first.
FUNCTIONS = {
    "apply_1q": lambda g: (g.state(), g.qubit(), g.entry(), g.entry(), g.entry(), g.entry()),
    "apply_cnot_fast": lambda g: (g.state(), g.qubit(), g.qubit()),
    "apply_controlled_1q": lambda g: (g.state(), g.qubit(), g.qubit(), g.entry(), g.entry(), g.entry(), g.entry()),
    "apply_swap": lambda g: (g.state(), g.qubit(), g.qubit()),
    "apply_gate_fast": lambda g: (g.state(), g.qubits(4), g.matrix()),
    "apply_gate": lambda g: (g.state(), g.qubits(3), g.matrix(), *([g.qubits(2)] if g.pick(2) else [])),
    "apply_kraus_1q": lambda g: (g.array(4 ** g.pick(4)), g.qubit(), g.qubit(), g.kraus()),
    "apply_sequence": lambda g: (g.state(), g.ops()),
    "probabilities": lambda g: (g.state(), *([g.qubits(4)] if g.pick(2) else [])),
    "expectation_pauli": lambda g: (g.state(), g.paulis(3), g.qubits(3)),
    "sample": lambda g: (g.state(), g.uniforms()),
    "measure": lambda g: (g.state(), g.qubit(), g.fdp.ConsumeProbability() if g.pick(4) else g.entry()),
    "apply_diagonal": lambda g: (
        g.state(),
        g.qubits(3),
        g.array(1 << g.pick(4)),
        *([g.qubits(2)] if g.pick(2) else []),
    ),
    "apply_pauli_rotation": lambda g: (
        g.state(),
        g.paulis(3),
        g.qubits(3),
        g.number() if g.pick(4) else g.entry(),
        *([g.qubits(2)] if g.pick(2) else []),
    ),
    "expectation_paulis": lambda g: (g.state(), g.terms()),
    "expectation_pauli_sum": lambda g: (g.state(), g.uniforms(), g.terms()),
    "inner_product": lambda g: (g.state(), g.state()),
    "apply_kraus": lambda g: (*g.density(), *g.channel()),
    "apply_unitary_rho": lambda g: (
        *g.density(),
        g.qubits(3),
        g.matrix(),
        *([g.qubits(2)] if g.pick(2) else []),
    ),
    "apply_kraus_sampled": lambda g: (
        g.state(),
        *g.channel(),
        g.fdp.ConsumeProbability() if g.pick(4) else g.entry(),
    ),
}

# The functions with a fast entry (src/module/fast_path.cpp).
FAST = {
    "apply_1q",
    "apply_cnot_fast",
    "apply_controlled_1q",
    "apply_swap",
    "apply_gate_fast",
    "apply_gate",
    "apply_kraus_1q",
    "apply_diagonal",
    "apply_pauli_rotation",
    "apply_kraus",
    "apply_unitary_rho",
    "apply_kraus_sampled",
}

ALLOWED = (TypeError, ValueError, RuntimeError, OverflowError)


def arrays_in(value):
    """The arrays a caller holds in an argument, each as the owner of its memory."""
    if isinstance(value, np.ndarray):
        while isinstance(value.base, np.ndarray):
            value = value.base
        return [value]
    if isinstance(value, (list, tuple)):
        return [a for item in value for a in arrays_in(item)]
    return []


def call(name, args):
    """(result, None) or (None, exception); checks the promises of a refusal."""
    held = arrays_in(args)
    before = [a.tobytes() for a in held]
    try:
        return getattr(velt_core, name)(*args), None
    except ALLOWED as exc:
        after = [a.tobytes() for a in held]
        assert after == before, f"{name} raised {type(exc).__name__} ({exc}) and changed an argument"
        return None, exc


def ordinary_form(value):
    """The same value in a form the fast entry leaves to pybind11; arrays copied."""
    if type(value) is np.ndarray:
        return value.copy().view(Sub)
    if type(value) is int:
        return Int(value)
    if type(value) is complex:
        return Complex(value)
    if type(value) is float:
        return Float(value)  # a float stays a float: apply_kraus_sampled's uniform takes no complex
    if type(value) is list:
        return [ordinary_form(item) for item in value]
    return value


def plain_copy(value):
    if isinstance(value, np.ndarray) and type(value) is np.ndarray:
        return value.copy()
    if type(value) is list:
        return [plain_copy(item) for item in value]
    return value


def first_line(exc):
    return None if exc is None else (type(exc), str(exc).split("\n", 1)[0])


def same(a, b):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        a, b = np.asarray(a), np.asarray(b)
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, tuple) and isinstance(b, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, float) and isinstance(b, float):
        return np.float64(a).tobytes() == np.float64(b).tobytes()
    return a == b


def differential(name, args):
    fast_args = [plain_copy(a) for a in args]
    slow_args = [ordinary_form(a) for a in fast_args]
    fast, fast_exc = call(name, fast_args)
    slow, slow_exc = call(name, slow_args)
    assert first_line(fast_exc) == first_line(slow_exc), f"{name}: fast {fast_exc!r} vs ordinary {slow_exc!r}"
    assert same(fast, slow), f"{name}: results differ"
    for a, b in zip(fast_args, slow_args, strict=True):
        if isinstance(a, np.ndarray):
            assert same(a, np.asarray(b)), f"{name}: the entries left different bytes in an argument"


def one_input(data):
    import atheris

    g = Gen(atheris.FuzzedDataProvider(data))
    names = [n for n in FUNCTIONS if hasattr(velt_core, n)]
    name = names[g.pick(len(names))]
    args = FUNCTIONS[name](g)
    # A generator is used up by the first call: no second call can compare.
    if name in FAST and g.pick(2) and not any(isinstance(a, types.GeneratorType) for a in args):
        differential(name, args)
    else:
        call(name, args)


def main(argv):
    import atheris

    atheris.instrument_all()
    atheris.Setup(argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main(sys.argv)
