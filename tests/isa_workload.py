"""Every kernel at every qubit position, hashed case by case.

Run as a script, it prints one line per case, "<case> <SHA-256 of the
result>", and the line "isa <kernel_isa()>".  Every bit counts, NaN signs and
payloads included: where two NaNs meet in an addition or product, the one
that propagates must be the same on every path.  The instruction-set test
runs it under each VELT_ISA path and several OMP_NUM_THREADS and compares the
lines.  States and matrices hold signed zeros, infinities and NaNs of several
signs and payloads; lengths include odd ones (not a
multiple of any register width), and the larger registers span several tiles
of the parallel loop so that several workers share each call.  Every case
runs twice: on complex128 through velt_core, then on complex64 through
velt_core.single (with NaNs of float32 payloads), named "c64 <case>".
"""

import hashlib
import itertools

import numpy as np

import velt_core as vc

# NaNs with distinct signs and payloads, so that the one an operation keeps shows.
NANS = np.array([0x7FF8000000000001, 0xFFF8000000000F00, 0x7FF4000000000002, 0x7FFFFFFFFFFFFFFF], np.uint64).view(
    np.float64
)
NANS32 = np.array([0x7FC00001, 0xFFC00F00, 0x7FA00002, 0x7FFFFFFF], np.uint32).view(np.float32)


def specials(nans, dtype):
    values = [-0.0, complex(0.0, -0.0), complex(-0.0, -0.0), np.inf, -np.inf, np.nan, complex(np.nan, 1.0)]
    out = np.array(values, dtype=dtype)
    pairs = np.empty(2 * len(nans), dtype=dtype)  # parts set one by one: payloads survive
    pairs.real = np.r_[nans, np.ones_like(nans)]
    pairs.imag = np.r_[nans[::-1], nans]
    return np.r_[out, pairs]


SPECIAL = specials(NANS, np.complex128)
SPECIAL32 = specials(NANS32, np.complex64)


def cases(single=False):
    rng = np.random.default_rng(20261209)
    module = vc.single if single else vc
    dtype = np.complex64 if single else np.complex128
    special = SPECIAL32 if single else SPECIAL

    def state(n_amps, wide_groups=False):
        # Every 16th amplitude special; only two in a state for gates on three
        # or more targets, whose groups would otherwise all turn NaN and hide
        # any difference in the sums.
        psi = (rng.standard_normal(n_amps) + 1j * rng.standard_normal(n_amps)).astype(dtype)
        picks = rng.choice(n_amps, size=min(2, n_amps) if wide_groups else max(1, n_amps // 16), replace=False)
        psi[picks] = special[rng.integers(0, len(special), size=len(picks))]
        return psi

    def mat(dim):
        m = (rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))).astype(dtype)
        m.flat[rng.integers(0, dim * dim)] = 0.0  # a zero entry is multiplied like any other
        # and a special one: NaN times NaN, inf times zero
        m.flat[rng.integers(0, dim * dim)] = special[rng.integers(0, len(special))]
        return m

    # (amplitude count, qubits reached): powers of two and odd lengths.
    for n_amps, n in ((2**13, 13), (2**13 + 5, 14), (2**6, 6), (77, 7), (2, 1)):
        for q in range(n):
            m = mat(2)
            yield f"apply_1q L={n_amps} q={q}", state(n_amps), lambda s, q=q, m=m: module.apply_1q(s, q, *m.flat)
        for a, b in itertools.product(range(n), repeat=2):
            if n > 7 and a not in (0, 1, 2, 5, n - 1) and b not in (0, 1, 2, 5, n - 1):
                continue
            cnot, swap = module.apply_cnot_fast, module.apply_swap
            yield f"apply_cnot_fast L={n_amps} {a},{b}", state(n_amps), lambda s, a=a, b=b: cnot(s, a, b)
            yield f"apply_swap L={n_amps} {a},{b}", state(n_amps), lambda s, a=a, b=b: swap(s, a, b)
            m = mat(2)
            yield (
                f"apply_controlled_1q L={n_amps} {a},{b}",
                state(n_amps),
                lambda s, a=a, b=b, m=m: module.apply_controlled_1q(s, a, b, *m.flat),
            )
    for n_amps, n in ((2**12, 12), (2**9 + 3, 10), (2**5, 5)):
        for k in range(1, 5):
            for targets in (list(range(k)), list(range(n - k, n)), [n - 1 - 2 * d for d in range(k)][::-1]):
                if min(targets) < 0:
                    continue
                for order in (targets, targets[::-1]):
                    u = mat(1 << k)
                    yield (
                        f"apply_gate_fast L={n_amps} {order}",
                        state(n_amps, wide_groups=k >= 3),
                        lambda s, t=order, u=u: module.apply_gate_fast(s, t, u),
                    )
    for n in (5, 9):
        for k, c in ((0, 0), (0, 1), (1, 1), (2, 1), (3, 2), (4, 0), (5, 0), (5, 1), (7, 0), (7, 1)):
            if k + c > n:
                continue
            qubits = list(rng.permutation(n)[: k + c])
            for t, ctl in ((qubits[:k], qubits[k:]), (list(range(k)), list(range(k, k + c)))):
                u = mat(1 << k)
                yield (
                    f"apply_gate n={n} t={t} c={ctl}",
                    state(1 << n, wide_groups=k >= 3),
                    lambda s, t=t, ctl=ctl, u=u: module.apply_gate(s, t, u, ctl),
                )
    for n in range(1, 8):
        for q in range(n):
            for count in (0, 1, 2, 3):
                ops = [mat(2) for _ in range(count)]
                yield (
                    f"apply_kraus_1q n={n} q={q} ops={count}",
                    state(4**n),
                    lambda r, n=n, q=q, ops=ops: module.apply_kraus_1q(r, n, q, ops),
                )
    # Channels on two and three qubits (complex and real superoperators) and
    # conjugations by gates with controls: low qubits (lanes filled element by
    # element), high ones (whole registers), mixed; matrices of 2^7 = 128 rows
    # share their row bases among the workers.
    for n in (2, 3, 5, 7):
        for k in (1, 2, 3):
            if k > n:
                continue
            for qubits in (list(range(k)), list(range(n - k, n))[::-1], [int(q) for q in rng.permutation(n)[:k]]):
                for real in (False, True):
                    ops = [mat(1 << k) for _ in range(2)]
                    if real:
                        ops = [op.real.astype(complex) for op in ops]
                    yield (
                        f"apply_kraus n={n} q={qubits} real={real}",
                        state(4**n, wide_groups=True),
                        lambda r, n=n, q=qubits, ops=ops: module.apply_kraus(r, n, q, ops),
                    )
        for k in range(0, min(n, 4) + 1):
            for c in (0, 1):
                if k + c > n:
                    continue
                qubits = [int(q) for q in rng.permutation(n)[: k + c]]
                for targets, controls in ((qubits[:k], qubits[k:]), (list(range(k)), list(range(k, k + c)))):
                    u = mat(1 << k)
                    yield (
                        f"apply_unitary_rho n={n} t={targets} c={controls}",
                        state(4**n, wide_groups=k >= 2),
                        lambda r, n=n, t=targets, ctl=controls, u=u: module.apply_unitary_rho(r, n, t, u, ctl),
                    )
    # Trajectory steps: finite states (a NaN would be refused), one block and
    # several, channel qubits below and above the blocks' 11 bits, and an
    # operator small enough for the renormalisation through a power of two.
    for n in (3, 11, 13):
        for qubits in [[0], [n - 1, 1], [1, 0, 2]] + ([[2, n - 1, n - 2]] if n > 4 else []):
            k = len(qubits)
            dim = 1 << k
            ops = [(rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))) / 4 for _ in range(3)]
            # complex64: as small as its normal range keeps the squares apart from zero
            tiny = [(1e-18 if single else 1e-160) * ops[0], np.zeros((dim, dim))]
            # one nonzero entry per row: the probabilities formed without dense products
            sparse = [np.eye(dim)[::-1] * 0.6j, np.diag(np.exp(1j * np.arange(dim))) * 0.8]
            for label, these in (("", ops), (" tiny", tiny), (" sparse", sparse)):
                for u in (0.1, 0.6):
                    psi = (rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)).astype(dtype)
                    yield (
                        f"apply_kraus_sampled n={n} q={qubits} u={u}{label}",
                        psi,
                        lambda s, q=qubits, ops=these, u=u: module.apply_kraus_sampled(s, q, ops, u),
                    )

    # The Pauli-string and overlap read-outs sum on the kernels' path: their
    # values are hashed.  Strings on X/Y qubits below 3, between 3 and the
    # top one, shared by many strings, and (at 2^17) in cache-blocked passes.
    for n, with_special in ((1, True), (3, True), (4, False), (9, True), (13, False), (13, True), (17, False)):
        terms = [("", []), ("Y", [n - 1])]
        for _ in range(40 if n < 17 else 90):
            k = int(rng.integers(1, min(n, 5) + 1))
            qubits = [int(q) for q in rng.permutation(n)[:k]]
            terms.append(("".join(rng.choice(list("IXYZ"), k)), qubits))
        if n > 4:
            terms += [("XZ" + "Z" * d, [2, n - 1, *range(3, 3 + d)]) for d in range(n - 3)] * 6
        coeffs = rng.standard_normal(len(terms))
        plain = (rng.standard_normal(1 << n) + 1j * rng.standard_normal(1 << n)).astype(dtype)
        psi = state(1 << n) if with_special else plain
        other = state(1 << n)
        label = f"n={n} special={with_special}"
        yield f"expectation_paulis {label}", psi, lambda s, t=terms: module.expectation_paulis(s, t)
        yield (
            f"expectation_pauli_sum {label}",
            psi,
            lambda s, c=coeffs, t=terms: np.array([module.expectation_pauli_sum(s, c, t)]),
        )
        yield f"inner_product {label}", psi, lambda s, b=other: np.array([module.inner_product(s, b)])


def phase_cases(module, state, mat, rng):
    """Diagonal gates and Pauli rotations at every qubit position, with and
    without controls, on registers from one vector chunk up to several tiles."""
    for n in (1, 2, 3, 4, 6, 13):
        for q in range(n):
            for k in (1, 2, 3):
                targets = [(q + 2 * d) % n for d in range(k)]
                if len(set(targets)) < k:
                    continue
                free = [c for c in range(n) if c not in targets]
                for controls in ([], free[:1], free[-2:]):
                    d = mat(1 << k)[0]
                    yield (
                        f"apply_diagonal n={n} t={targets} c={controls}",
                        state(1 << n),
                        lambda s, t=targets, d=d, c=controls: module.apply_diagonal(s, t, d, c),
                    )
            for paulis in ("Z", "X", "Y", "XZ", "YY", "ZXY", "IZ"):
                qubits = [(q + 3 * d) % n for d in range(len(paulis))]
                if len(set(qubits)) < len(paulis):
                    continue
                free = [c for c in range(n) if c not in qubits]
                theta = float(rng.uniform(-40, 40))
                for controls in ([], free[:1]):
                    yield (
                        f"apply_pauli_rotation n={n} {paulis} {qubits} c={controls}",
                        state(1 << n),
                        lambda s, p=paulis, qs=qubits, t=theta, c=controls: module.apply_pauli_rotation(s, p, qs, t, c),
                    )
    d = mat(1 << 10)[0]
    yield "apply_diagonal n=13 k=10", state(1 << 13), lambda s: module.apply_diagonal(s, [12, *range(9)], d, [10])


def digest(arr):
    return hashlib.sha256(np.ascontiguousarray(arr).tobytes()).hexdigest()


def main():
    for single in (False, True):
        module = vc.single if single else vc
        dtype = np.complex64 if single else np.complex128
        special = SPECIAL32 if single else SPECIAL
        rng = np.random.default_rng(20261210)

        def state(n_amps, dtype=dtype, special=special, rng=rng):
            psi = (rng.standard_normal(n_amps) + 1j * rng.standard_normal(n_amps)).astype(dtype)
            picks = rng.choice(n_amps, size=max(1, n_amps // 16), replace=False)
            psi[picks] = special[rng.integers(0, len(special), size=len(picks))]
            return psi

        def mat(dim, dtype=dtype, special=special, rng=rng):
            m = (rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))).astype(dtype)
            m.flat[rng.integers(0, dim)] = special[rng.integers(0, len(special))]
            return m

        for name, arr, call in itertools.chain(cases(single), phase_cases(module, state, mat, rng)):
            out = call(arr)  # a read-out's value, or None from a kernel that wrote arr
            print("c64 " + name if single else name, digest(arr if out is None else out))
    print("isa", vc.kernel_isa())
    print("isa", vc.single.kernel_isa())


if __name__ == "__main__":
    main()
