"""Argument conversion and the kernels' checks, replicated in Python.

Every rank receives the same arguments, so every rank runs these checks and
reaches the same verdict before any message is sent: an error is raised on
all ranks alike and no rank is left waiting for a partner.  The checks follow
velt_core's bindings in order, type and message, so that a distributed call
fails exactly where the same call on the full state would.  Conversion
failures are TypeError like pybind11's, with a message of our own.
"""

import operator

import numpy as np

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

# Highest qubit index each kernel accepts (apply_1q needs 2^(q+1) to be a
# positive int64, the two-qubit kernels 2^(hi+1)).
MAX_QUBIT_1Q = 61
MAX_QUBIT_INDEX = 62
# Qubits of a channel (velt_core's apply_kraus_sampled).
MAX_CHANNEL_QUBITS = 3

KERNELS = (
    "apply_1q",
    "apply_cnot_fast",
    "apply_controlled_1q",
    "apply_swap",
    "apply_gate_fast",
    "apply_gate",
    "apply_diagonal",
    "apply_pauli_rotation",
)


def incompatible(function, what):
    return TypeError(f"{function}(): incompatible function arguments: {what}")


def fail(function, complaint):
    return RuntimeError(f"{function}: {complaint}")


def to_int(function, value, what="qubit"):
    """A signed 32-bit int as pybind11 takes it: ints, bools and NumPy integer
    scalars; no floats."""
    try:
        v = operator.index(value)
    except TypeError:
        raise incompatible(function, f"{what} must be an int, not {type(value).__name__}") from None
    if not INT32_MIN <= v <= INT32_MAX:
        raise incompatible(function, f"{what} {v} does not fit a 32-bit int")
    return v


def to_complex(function, value):
    if isinstance(value, (str, bytes, bytearray)):
        raise incompatible(function, f"a matrix entry must be a number, not {type(value).__name__}")
    try:
        return complex(value)
    except (TypeError, ValueError):
        raise incompatible(function, f"a matrix entry must be a number, not {type(value).__name__}") from None


def to_int_list(function, value, what="qubit list"):
    if isinstance(value, (str, bytes, bytearray, dict)):
        raise incompatible(function, f"{what} must be a sequence of ints, not {type(value).__name__}")
    try:
        items = list(value)
    except TypeError:
        raise incompatible(function, f"{what} must be a sequence of ints, not {type(value).__name__}") from None
    return [to_int(function, q, what=f"{what} entry") for q in items]


def to_matrix(function, value):
    """A complex128 C-contiguous array, cast as the bindings cast (forcecast)."""
    try:
        return np.ascontiguousarray(np.asarray(value, dtype=np.complex128))
    except (TypeError, ValueError):
        raise incompatible(function, "the matrix must convert to complex128") from None


def to_real(function, value, what="theta"):
    """A double as pybind11 takes it: floats, ints (that a double holds), bools,
    NumPy real scalars and anything with __float__ or __index__; no strings,
    no complex numbers."""
    if isinstance(value, (str, bytes, bytearray, complex, np.complexfloating)):
        raise incompatible(function, f"{what} must be a real number, not {type(value).__name__}")
    try:
        return float(value)
    except (TypeError, ValueError, OverflowError):
        raise incompatible(function, f"{what} must be a real number, not {type(value).__name__}") from None


def to_text(function, value, what="paulis"):
    """The UTF-8 bytes of a str (or a bytes object as it is), as pybind11's
    std::string caster takes them."""
    if isinstance(value, str):
        try:
            return value.encode("utf-8")
        except UnicodeEncodeError:
            raise incompatible(function, f"{what} cannot be encoded as UTF-8") from None
    if isinstance(value, bytes):
        return value
    raise incompatible(function, f"{what} must be a str, not {type(value).__name__}")


def to_float(function, value):
    """A double as pybind11 takes it: floats, ints and NumPy real scalars."""
    if isinstance(value, (str, bytes, bytearray, complex)) or np.iscomplexobj(value):
        raise incompatible(function, f"u must be a real number, not {type(value).__name__}")
    try:
        return float(value)
    except (TypeError, ValueError):
        raise incompatible(function, f"u must be a real number, not {type(value).__name__}") from None


def to_matrix_list(function, value):
    if isinstance(value, (str, bytes, bytearray, dict)):
        raise incompatible(function, f"kraus_ops must be a sequence of matrices, not {type(value).__name__}")
    try:
        items = list(value)
    except TypeError:
        raise incompatible(function, f"kraus_ops must be a sequence of matrices, not {type(value).__name__}") from None
    return [to_matrix(function, m) for m in items]


def check_qubit(function, q, max_index):
    if q < 0 or q > max_index:
        raise fail(function, "qubit index out of range")


def check_distinct(function, qubits, occupied, complaint):
    seen = set(occupied)
    for q in qubits:
        if q in seen:
            raise fail(function, complaint)
        seen.add(q)
    return seen


def convert(name, args, n_qubits):
    """Converts and checks the arguments of kernel `name` (everything after
    the state) for a register of n_qubits, in the binding's order; returns
    the normalised argument tuple."""
    if name == "apply_1q":
        q, *m = args
        q = to_int(name, q)
        m = tuple(to_complex(name, x) for x in m)
        check_qubit(name, q, MAX_QUBIT_1Q)
        return (q, *m)
    if name in ("apply_cnot_fast", "apply_swap"):
        a, b = (to_int(name, x) for x in args)
        check_qubit(name, a, MAX_QUBIT_INDEX)
        check_qubit(name, b, MAX_QUBIT_INDEX)
        return (a, b)
    if name == "apply_controlled_1q":
        c, t, *m = args
        c, t = to_int(name, c), to_int(name, t)
        m = tuple(to_complex(name, x) for x in m)
        check_qubit(name, c, MAX_QUBIT_INDEX)
        check_qubit(name, t, MAX_QUBIT_INDEX)
        return (c, t, *m)
    if name == "apply_gate_fast":
        targets, u = args
        targets = to_int_list(name, targets)
        u = to_matrix(name, u)
        if not 1 <= len(targets) <= 4:
            raise fail(name, "k out of supported range")
        if u.size != 1 << (2 * len(targets)):
            raise fail(name, "matrix size mismatch")
        for q in targets:
            check_qubit(name, q, MAX_QUBIT_INDEX)
        check_distinct(name, targets, (), "repeated target qubit")
        return (targets, u)
    if name == "apply_gate":
        targets, u, controls = args
        targets = to_int_list(name, targets)
        u = to_matrix(name, u)
        controls = to_int_list(name, controls)
        if len(targets) >= 32 or u.size != 1 << (2 * len(targets)):
            raise fail(name, "matrix size does not match 2^|targets|")
        for q in targets + controls:
            check_qubit(name, q, n_qubits - 1)
        occupied = check_distinct(name, targets, (), "repeated target qubit")
        check_distinct(name, controls, occupied, "control overlaps a target qubit")
        return (targets, u, controls)
    if name == "apply_diagonal":
        targets, diag, controls = args
        targets = to_int_list(name, targets)
        diag = to_matrix(name, diag)
        controls = to_int_list(name, controls)
        if len(targets) >= 63 or diag.size != 1 << len(targets):
            raise fail(name, "diagonal size does not match 2^|targets|")
        if not 1 <= len(targets) <= n_qubits:
            raise fail(name, "target count out of range")
        for q in targets + controls:
            check_qubit(name, q, n_qubits - 1)
        occupied = check_distinct(name, targets, (), "repeated target qubit")
        check_distinct(name, controls, occupied, "control overlaps a target qubit")
        return (targets, diag.reshape(-1).copy(), controls)  # as the call began
    if name == "apply_pauli_rotation":
        paulis, qubits, theta, controls = args
        text = to_text(name, paulis)
        qubits = to_int_list(name, qubits)
        theta = to_real(name, theta)
        controls = to_int_list(name, controls)
        if sum(1 for b in text if b & 0xC0 != 0x80) != len(qubits):  # letters, not bytes
            raise fail(name, "Pauli string length does not match the qubit list")
        if any(b not in b"IXYZ" for b in text):
            raise fail(name, "Pauli letter is not one of I, X, Y, Z")
        if not np.isfinite(theta):
            raise fail(name, "theta is not finite")
        for q in qubits + controls:
            check_qubit(name, q, n_qubits - 1)
        occupied = check_distinct(name, qubits, (), "repeated qubit")
        check_distinct(name, controls, occupied, "control overlaps a qubit of the string")
        return (text.decode("ascii"), qubits, theta, controls)
    if name == "apply_kraus_sampled":
        qubits, ops, u = args
        qubits = to_int_list(name, qubits)
        ops = to_matrix_list(name, ops)
        u = to_float(name, u)
        k = len(qubits)
        if not 1 <= k <= MAX_CHANNEL_QUBITS:
            raise fail(name, "the channel must act on 1 to 3 qubits")
        if not 1 <= len(ops) <= 4**k:
            raise fail(name, "a channel on k qubits takes 1 to 4^k Kraus ops")
        for m in ops:
            if m.size != 4**k:
                raise fail(name, "each Kraus op must be 2^k x 2^k")
        for q in qubits:
            check_qubit(name, q, n_qubits - 1)
        check_distinct(name, qubits, (), "repeated qubit")
        if not 0.0 <= u < 1.0:
            raise fail(name, "uniform outside [0, 1)")
        return (qubits, [m.reshape(-1) for m in ops], u)
    raise AssertionError(name)


def arity(name):
    """(fewest, most) arguments after the state."""
    return {
        "apply_1q": (5, 5),
        "apply_cnot_fast": (2, 2),
        "apply_controlled_1q": (6, 6),
        "apply_swap": (2, 2),
        "apply_gate_fast": (2, 2),
        "apply_gate": (2, 3),
        "apply_diagonal": (2, 3),
        "apply_pauli_rotation": (3, 4),
    }[name]


def to_terms(function, terms, n_qubits):
    """The (paulis, qubits) terms of expectation_paulis, converted and checked
    term by term in velt_core's order: the pair, the qubits' conversion, the
    lengths (letters counted), the letters, the qubit range, repeats."""
    try:
        items = list(terms)
    except TypeError:
        raise incompatible(function, "terms must be an iterable of (paulis, qubits) pairs") from None
    out = []
    for k, term in enumerate(items):
        prefix = f"term {k}: "
        if not isinstance(term, (tuple, list)) or len(term) != 2 or not isinstance(term[0], str):
            raise ValueError(f"{function}: {prefix}a term is a pair (paulis, qubits)")
        paulis, qubits = term
        try:
            qubits = to_int_list(function, qubits)
        except TypeError:
            raise incompatible(function, prefix + "qubits must be a sequence of ints") from None
        if len(paulis) != len(qubits):
            raise fail(function, prefix + "Pauli string length does not match the qubit list")
        if any(letter not in "IXYZ" for letter in paulis):
            raise fail(function, prefix + "Pauli letter is not one of I, X, Y, Z")
        if any(q < 0 or q > n_qubits - 1 for q in qubits):
            raise fail(function, prefix + "qubit index out of range")
        if len(set(qubits)) != len(qubits):
            raise fail(function, prefix + "repeated qubit")
        out.append((paulis, qubits))
    return out


def to_coeffs(function, coeffs, count):
    """One real number per term as float64, converted as velt_core converts
    them (no complex numbers, strings or other objects)."""
    try:
        array = np.asarray(coeffs)
    except (TypeError, ValueError):
        raise incompatible(function, "coeffs must be real numbers") from None
    if not np.can_cast(array.dtype, np.float64, casting="safe"):
        raise incompatible(function, "coeffs must be real numbers")
    array = np.ascontiguousarray(array, dtype=np.float64).reshape(-1)
    if array.size != count:
        raise fail(function, "coeffs and terms have different lengths")
    return array
