"""Every kernel at every qubit position, hashed case by case.

Run as a script, it prints one line per case, "<case> <SHA-256 of the
result>", and the line "isa <kernel_isa()>".  Every bit counts, NaN signs and
payloads included: where two NaNs meet in an addition or product, the one
that propagates must be the same on every path.  The instruction-set test
runs it under each VELT_ISA path and several OMP_NUM_THREADS and compares the
lines.  States and matrices hold signed zeros, infinities and NaNs of several
signs and payloads; lengths include odd ones (not a
multiple of any register width), and the larger registers span several tiles
of the parallel loop so that several workers share each call.
"""

import hashlib
import itertools

import numpy as np

import velt_core as vc

# NaNs with distinct signs and payloads, so that the one an operation keeps shows.
NANS = np.array([0x7FF8000000000001, 0xFFF8000000000F00, 0x7FF4000000000002, 0x7FFFFFFFFFFFFFFF], np.uint64).view(
    np.float64
)
SPECIAL = np.array(
    [-0.0, complex(0.0, -0.0), complex(-0.0, -0.0), np.inf, -np.inf, np.nan, complex(np.nan, 1.0)]
    + [complex(a, b) for a, b in zip(NANS, NANS[::-1], strict=True)]
    + [complex(1.0, a) for a in NANS]
)


def cases():
    rng = np.random.default_rng(20261209)

    def state(n_amps, wide_groups=False):
        # Every 16th amplitude special; only two in a state for gates on three
        # or more targets, whose groups would otherwise all turn NaN and hide
        # any difference in the sums.
        psi = rng.standard_normal(n_amps) + 1j * rng.standard_normal(n_amps)
        picks = rng.choice(n_amps, size=min(2, n_amps) if wide_groups else max(1, n_amps // 16), replace=False)
        psi[picks] = SPECIAL[rng.integers(0, len(SPECIAL), size=len(picks))]
        return psi

    def mat(dim):
        m = rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))
        m.flat[rng.integers(0, dim * dim)] = 0.0  # a zero entry is multiplied like any other
        # and a special one: NaN times NaN, inf times zero
        m.flat[rng.integers(0, dim * dim)] = SPECIAL[rng.integers(0, len(SPECIAL))]
        return m

    # (amplitude count, qubits reached): powers of two and odd lengths.
    for n_amps, n in ((2**13, 13), (2**13 + 5, 14), (2**6, 6), (77, 7), (2, 1)):
        for q in range(n):
            m = mat(2)
            yield f"apply_1q L={n_amps} q={q}", state(n_amps), lambda s, q=q, m=m: vc.apply_1q(s, q, *m.flat)
        for a, b in itertools.product(range(n), repeat=2):
            if n > 7 and a not in (0, 1, 2, 5, n - 1) and b not in (0, 1, 2, 5, n - 1):
                continue
            yield f"apply_cnot_fast L={n_amps} {a},{b}", state(n_amps), lambda s, a=a, b=b: vc.apply_cnot_fast(s, a, b)
            yield f"apply_swap L={n_amps} {a},{b}", state(n_amps), lambda s, a=a, b=b: vc.apply_swap(s, a, b)
            m = mat(2)
            yield (
                f"apply_controlled_1q L={n_amps} {a},{b}",
                state(n_amps),
                lambda s, a=a, b=b, m=m: vc.apply_controlled_1q(s, a, b, *m.flat),
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
                        lambda s, t=order, u=u: vc.apply_gate_fast(s, t, u),
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
                    lambda s, t=t, ctl=ctl, u=u: vc.apply_gate(s, t, u, ctl),
                )
    for n in range(1, 8):
        for q in range(n):
            for count in (0, 1, 2, 3):
                ops = [mat(2) for _ in range(count)]
                yield (
                    f"apply_kraus_1q n={n} q={q} ops={count}",
                    state(4**n),
                    lambda r, n=n, q=q, ops=ops: vc.apply_kraus_1q(r, n, q, ops),
                )


def phase_cases(state, mat, rng):
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
                        lambda s, t=targets, d=d, c=controls: vc.apply_diagonal(s, t, d, c),
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
                        lambda s, p=paulis, qs=qubits, t=theta, c=controls: vc.apply_pauli_rotation(s, p, qs, t, c),
                    )
    d = mat(1 << 10)[0]
    yield "apply_diagonal n=13 k=10", state(1 << 13), lambda s: vc.apply_diagonal(s, [12, *range(9)], d, [10])


def digest(arr):
    return hashlib.sha256(np.ascontiguousarray(arr).tobytes()).hexdigest()


def main():
    rng = np.random.default_rng(20261210)

    def state(n_amps):
        psi = rng.standard_normal(n_amps) + 1j * rng.standard_normal(n_amps)
        picks = rng.choice(n_amps, size=max(1, n_amps // 16), replace=False)
        psi[picks] = SPECIAL[rng.integers(0, len(SPECIAL), size=len(picks))]
        return psi

    def mat(dim):
        m = rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))
        m.flat[rng.integers(0, dim)] = SPECIAL[rng.integers(0, len(SPECIAL))]
        return m

    for name, arr, call in itertools.chain(cases(), phase_cases(state, mat, rng)):
        call(arr)
        print(name, digest(arr))
    print("isa", vc.kernel_isa())


if __name__ == "__main__":
    main()
