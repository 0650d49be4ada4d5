"""Self-checking circuit demo for velt_core.

    python examples/demo.py [--n 20] [--threads T] [--noisy-n 4]

Simulates real circuits with velt_core's kernels and checks every result
against an independent computation with NumPy:

- the quantum Fourier transform (Hadamards, controlled phases, the final
  reversal by SWAPs) against NumPy's FFT of the same input state;
- a GHZ preparation (Hadamard and a CNOT ladder) against its two amplitudes;
- the same QFT built from dense two-qubit blocks (apply_gate_fast,
  apply_gate with a control) against the first QFT, bit for bit up to
  rounding;
- the first QFT again as one apply_sequence call (cache-blocked), against
  the gate-by-gate run byte for byte;
- the same QFT sequence on a complex64 state (velt_core.single: half the
  memory), against NumPy's FFT to single precision's accuracy (its deviation
  measured in units of the amplitudes' size, 2^(-n/2));
- amplitude damping on every qubit of a GHZ density matrix (apply_kraus_1q)
  against the closed-form result;
- a MaxCut QAOA circuit (a random 3-regular graph, p = 3: ZZ phases on the
  edges and X mixers as apply_pauli_rotation ops, one apply_sequence call)
  against NumPy's phases and mixers, and its expected cut from
  expectation_pauli against NumPy's;
- a noisy circuit on a density matrix (random single-qubit gates and CNOTs,
  each CNOT followed by a two-qubit depolarising channel: every gate through
  apply_unitary_rho, every channel through apply_kraus) against NumPy's
  U rho U^dagger and sum K rho K^dagger with the operators expanded by np.kron;
- the same noisy circuit as 2000 sampled trajectories (apply_kraus_sampled),
  whose mean |psi><psi| must match that density matrix within the sampling
  error.

Prints, per circuit, the gates applied, the wall time, the time per gate and
the largest deviation from the check; exits with status 1 if a check fails.
"""

import argparse
import os
import sys
import time


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Self-checking velt_core circuit demo")
    parser.add_argument("--n", type=int, default=20, help="qubits of the state-vector circuits (default 20)")
    parser.add_argument("--noisy-n", type=int, default=4, help="qubits of the density-matrix circuit (default 4)")
    parser.add_argument("--threads", type=int, default=None, help="OpenMP threads (default: the runtime's)")
    args = parser.parse_args(argv)
    if not 2 <= args.n <= 30:
        parser.error("--n must lie in 2..30")
    if not 1 <= args.noisy_n <= 10:
        parser.error("--noisy-n must lie in 1..10")
    return args


def maxcut_graph(n, rng):
    """A random 3-regular graph on n qubits (n even, 4 or more; pairing model,
    drawn again until simple), else a ring."""
    import numpy as np

    if n < 4 or n % 2:
        return sorted({tuple(sorted((q, (q + 1) % n))) for q in range(n) if n > 1})
    while True:
        stubs = rng.permutation(np.repeat(np.arange(n), 3)).reshape(-1, 2)
        edges = {tuple(sorted((int(a), int(b)))) for a, b in stubs}
        if len(edges) == len(stubs) and all(a != b for a, b in edges):
            return sorted(edges)


def main(argv=None):
    args = parse_args(argv)
    if args.threads is not None:
        # Read by the OpenMP runtime when the module loads, so set it first.
        os.environ["OMP_NUM_THREADS"] = str(args.threads)
    import numpy as np

    import velt_core as vc

    rng = np.random.default_rng(7)
    n = args.n
    h = 1 / np.sqrt(2)
    H = np.array([[h, h], [h, -h]], dtype=complex)

    def phase(theta):
        return np.exp(1j * theta)

    def qft(psi):
        gates = 0
        for q in reversed(range(n)):
            vc.apply_1q(psi, q, *H.reshape(4))
            gates += 1
            for m in reversed(range(q)):
                vc.apply_controlled_1q(psi, m, q, 1, 0, 0, phase(np.pi / 2 ** (q - m)))
                gates += 1
        for q in range(n // 2):
            vc.apply_swap(psi, q, n - 1 - q)
            gates += 1
        return gates

    def qft_blocks(psi):
        gates = 0
        swap = np.eye(4, dtype=complex)[[0, 2, 1, 3]]
        for q in reversed(range(n)):
            vc.apply_gate_fast(psi, [q], H)
            gates += 1
            for m in reversed(range(q)):
                theta = np.pi / 2 ** (q - m)
                if (q + m) % 2:
                    # controlled phase as one dense two-qubit block
                    vc.apply_gate_fast(psi, [m, q], np.diag([1, 1, 1, phase(theta)]))
                else:
                    # the same gate as a controlled single-qubit matrix
                    vc.apply_gate(psi, [q], np.diag([1, phase(theta)]), controls=[m])
                gates += 1
        for q in range(n // 2):
            vc.apply_gate(psi, [q, n - 1 - q], swap)
            gates += 1
        return gates

    def qft_ops():
        ops = []
        for q in reversed(range(n)):
            ops.append(("apply_1q", q, *H.reshape(4)))
            for m in reversed(range(q)):
                ops.append(("apply_controlled_1q", m, q, 1, 0, 0, phase(np.pi / 2 ** (q - m))))
        ops += [("apply_swap", q, n - 1 - q) for q in range(n // 2)]
        return ops

    def qft_sequence(psi):
        ops = qft_ops()
        vc.apply_sequence(psi, ops)
        return len(ops)

    def ghz(psi):
        vc.apply_1q(psi, 0, *H.reshape(4))
        for q in range(1, n):
            vc.apply_cnot_fast(psi, q - 1, q)
        return n

    def damped_ghz(rho, nq, gamma):
        k0 = np.array([[1, 0], [0, np.sqrt(1 - gamma)]], dtype=complex)
        k1 = np.array([[0, np.sqrt(gamma)], [0, 0]], dtype=complex)
        for q in range(nq):
            vc.apply_kraus_1q(rho, nq, q, [k0, k1])
        return nq

    # Bring the OpenMP team up (and the second core awake) before timing:
    # the first parallel loops of a process can take a hundred milliseconds.
    warm = np.zeros(1 << 12, dtype=complex)
    t_end = time.perf_counter() + 0.05
    while time.perf_counter() < t_end:
        vc.apply_1q(warm, 0, *H.reshape(4))

    results = []

    def run(name, gates_fn, state, check):
        t0 = time.perf_counter()
        gates = gates_fn(state)
        elapsed = time.perf_counter() - t0
        deviation, tolerance = check(state)
        results.append((name, gates, elapsed, deviation, tolerance))

    size = 1 << n
    x = rng.standard_normal(size) + 1j * rng.standard_normal(size)
    x /= np.linalg.norm(x)
    expected_qft = np.fft.ifft(x) * np.sqrt(size)  # sum_x e^{+2 pi i xy/N} / sqrt(N)

    psi = x.copy()
    run("QFT (1q + controlled + swap)", qft, psi, lambda s: (np.max(np.abs(s - expected_qft)), 1e-10))
    qft_psi = psi

    blocks = x.copy()
    run("QFT (dense blocks)", qft_blocks, blocks, lambda s: (np.max(np.abs(s - qft_psi)), 1e-12))

    def bytes_differ(s):
        # Words that differ from the gate-by-gate run: the check wants none.
        return int(np.count_nonzero(s.view(np.uint64) != qft_psi.view(np.uint64))), 0

    sequenced = x.copy()
    run("QFT (one apply_sequence call)", qft_sequence, sequenced, bytes_differ)

    def qft_single(psi):
        ops = qft_ops()
        vc.single.apply_sequence(psi, ops)
        return len(ops)

    single = x.astype(np.complex64)
    run(
        "QFT (complex64, apply_sequence)",
        qft_single,
        single,
        lambda s: (np.max(np.abs(s - expected_qft)) * np.sqrt(size), 1e-4),
    )

    g = np.zeros(size, dtype=complex)
    g[0] = 1

    def ghz_check(s):
        expected = np.zeros(size, dtype=complex)
        expected[0] = expected[-1] = h
        return np.max(np.abs(s - expected)), 1e-15

    run("GHZ preparation", ghz, g, ghz_check)

    nq, gamma = args.noisy_n, 0.1
    dim = 1 << nq
    ket = np.zeros(dim, dtype=complex)
    ket[0] = ket[-1] = h
    rho = np.outer(ket, ket.conj())
    p00 = np.diag([1.0, 0.0])
    decayed = np.array([[gamma, 0], [0, 1 - gamma]])

    def kron_all(m):
        out = np.eye(1)
        for _ in range(nq):
            out = np.kron(out, m)
        return out

    closed = 0.5 * (kron_all(p00) + kron_all(decayed))
    closed[0, -1] = closed[-1, 0] = 0.5 * (1 - gamma) ** (nq / 2)
    run(
        f"amplitude damping on {nq}-qubit GHZ",
        lambda r: damped_ghz(r, nq, gamma),
        rho,
        lambda r: (np.max(np.abs(r - closed)), 1e-14),
    )

    # MaxCut QAOA: exp(+i g/2 Z_a Z_b) on every edge (the cost exp(-i g C),
    # C = sum (1 - Z_a Z_b)/2, up to a global phase), then exp(-i b X) on
    # every qubit, three times, from |+...+>.
    edges = maxcut_graph(n, rng)
    angles = rng.uniform(0.1, 1.2, size=(3, 2))

    def qaoa(psi):
        ops = [("apply_1q", q, *H.reshape(4)) for q in range(n)]
        for gamma, beta in angles:
            ops += [("apply_pauli_rotation", "ZZ", [a, b], -gamma) for a, b in edges]
            ops += [("apply_pauli_rotation", "X", [q], 2 * beta) for q in range(n)]
        vc.apply_sequence(psi, ops)
        return len(ops)

    index = np.arange(size)
    spins = [1 - 2 * ((index >> q) & 1) for q in range(n)]  # Z eigenvalue of each qubit
    couplings = sum(spins[a] * spins[b] for a, b in edges)
    expected_qaoa = np.full(size, 1 / np.sqrt(size), dtype=complex)
    for gamma, beta in angles:
        expected_qaoa *= np.exp(0.5j * gamma * couplings)
        mixer = np.array([[np.cos(beta), -1j * np.sin(beta)], [-1j * np.sin(beta), np.cos(beta)]])
        view = expected_qaoa.reshape([2] * n)
        for q in range(n):
            axis = n - 1 - q  # C order: the first axis is the highest qubit
            view = np.moveaxis(np.tensordot(mixer, view, axes=([1], [axis])), 0, axis)
        expected_qaoa = view.reshape(size)
    q_state = np.zeros(size, dtype=complex)
    q_state[0] = 1
    run("QAOA MaxCut p=3 (rotations)", qaoa, q_state, lambda s: (np.max(np.abs(s - expected_qaoa)), 1e-10))
    cut = sum((1 - vc.expectation_pauli(q_state, "ZZ", [a, b])) / 2 for a, b in edges)
    weights = np.abs(expected_qaoa) ** 2
    numpy_cut = float(np.sum(weights * (len(edges) - couplings) / 2))
    results.append((f"QAOA expected cut {cut:.4f} of {len(edges)} edges", len(edges), 0.0, abs(cut - numpy_cut), 1e-9))

    # A noisy circuit: two layers of random single-qubit gates and CNOTs, a
    # two-qubit depolarising channel after every CNOT.
    p_dep = 0.3
    paulis = [np.eye(2), np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1.0, -1.0])]
    dep = [
        np.sqrt(1 - p_dep if i == j == 0 else p_dep / 15) * np.kron(paulis[i], paulis[j])
        for i in range(4)
        for j in range(4)
    ]
    cnot = np.eye(4)[[0, 3, 2, 1]]  # control: the first qubit of the pair (bit 0)
    noisy_ops = []
    for layer in range(2):
        for q in range(nq):
            z = rng.standard_normal((2, 2)) + 1j * rng.standard_normal((2, 2))
            noisy_ops.append(("gate", [q], np.linalg.qr(z)[0]))
        for q in range(layer % 2, nq - 1, 2):
            noisy_ops += [("gate", [q, q + 1], cnot), ("channel", [q, q + 1], dep)]

    def embed(qubits, m):
        # The 2^nq x 2^nq operator of m on `qubits` (bit d of m's index = qubit
        # qubits[d]), column by column from the basis states.
        full = np.zeros((dim, dim), dtype=complex)
        for col in range(dim):
            j = sum(((col >> q) & 1) << d for d, q in enumerate(qubits))
            rest = col & ~sum(1 << q for q in qubits)
            for i in range(len(m)):
                row = rest | sum(((i >> d) & 1) << q for d, q in enumerate(qubits))
                full[row, col] += m[i, j]
        return full

    expected_noisy = np.zeros((dim, dim), dtype=complex)
    expected_noisy[0, 0] = 1
    for kind, qubits, m in noisy_ops:
        if kind == "gate":
            u = embed(qubits, m)
            expected_noisy = u @ expected_noisy @ u.conj().T
        else:
            expected_noisy = sum(embed(qubits, k) @ expected_noisy @ embed(qubits, k).conj().T for k in m)

    def noisy_rho(r):
        for kind, qubits, m in noisy_ops:
            if kind == "gate":
                vc.apply_unitary_rho(r, nq, qubits, m)
            else:
                vc.apply_kraus(r, nq, qubits, m)
        return len(noisy_ops)

    rho_noisy = np.zeros((dim, dim), dtype=complex)
    rho_noisy[0, 0] = 1
    run(
        f"noisy {nq}-qubit circuit, density matrix",
        noisy_rho,
        rho_noisy,
        lambda r: (np.max(np.abs(r - expected_noisy)), 1e-13),
    )

    trajectories = 2000

    squares = np.zeros((dim, dim))

    def noisy_trajectories(mean):
        uniforms = rng.random((trajectories, len(noisy_ops)))
        for t in range(trajectories):
            psi = np.zeros(dim, dtype=complex)
            psi[0] = 1
            for i, (kind, qubits, m) in enumerate(noisy_ops):
                if kind == "gate":
                    vc.apply_gate(psi, qubits, m)
                else:
                    vc.apply_kraus_sampled(psi, qubits, m, uniforms[t, i])
            outer = np.outer(psi, psi.conj())
            mean += outer / trajectories
            squares[...] += np.abs(outer) ** 2 / trajectories
        return trajectories * len(noisy_ops)

    def within_sampling_error(r):
        # Six standard errors of the largest entry's mean (from the samples).
        error = np.sqrt(np.max(squares - np.abs(r) ** 2) / trajectories)
        return np.max(np.abs(r - expected_noisy)), 6 * error

    run(
        f"noisy {nq}-qubit circuit, {trajectories} trajectories",
        noisy_trajectories,
        np.zeros((dim, dim), dtype=complex),
        within_sampling_error,
    )

    print(f"velt_core demo: {n} qubits, {os.environ.get('OMP_NUM_THREADS', 'default')} threads")
    print(f"{'circuit':<36} {'gates':>6} {'wall':>10} {'per gate':>11} {'max dev':>9}  check")
    print("(for the apply_sequence run, 'max dev' counts the 64-bit words that differ from the gate-by-gate QFT)")
    failed = False
    for name, gates, elapsed, deviation, tolerance in results:
        ok = bool(deviation <= tolerance)
        failed |= not ok
        print(
            f"{name:<36} {gates:>6} {elapsed * 1e3:>8.1f}ms {elapsed / gates * 1e6:>9.1f}us "
            f"{deviation:>9.1e}  {'pass' if ok else 'FAIL'} (<= {tolerance:.0e})"
        )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
