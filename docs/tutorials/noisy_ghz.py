"""GHZ fidelity against noise strength: seeded trajectories against the
exact density matrix, for depolarizing noise and for amplitude damping after
every gate."""

from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

from vantelo import Circuit, Gate

FIGURE = Path(__file__).resolve().parent.parent / "figures" / "noisy_ghz.png"
N = 5
TRAJECTORIES = 400
STRENGTHS = np.linspace(0.0, 0.1, 6)
GHZ = np.zeros(2**N, dtype=np.complex128)
GHZ[0] = GHZ[-1] = 2**-0.5


def noisy_ghz(channel: str, strength: float) -> list[Gate]:
    """H and a CX chain, with a channel on every qubit a gate touched."""
    noise = getattr(Gate, channel)
    gates = [Gate.h(0), noise(0, strength)]
    for q in range(N - 1):
        gates += [Gate.cx(q, q + 1), noise(q, strength), noise(q + 1, strength)]
    return gates


def fidelity(gates: list[Gate], seed: int) -> tuple[float, float]:
    """Mean of |<GHZ|psi_t>|^2 over trajectories, and its standard error."""
    circuit = Circuit(gates)
    values = np.array([abs(np.vdot(GHZ, circuit.run_trajectory(N, seed, t)[0])) ** 2
                       for t in range(TRAJECTORIES)])
    return float(values.mean()), float(values.std(ddof=1) / np.sqrt(TRAJECTORIES))


def exact_fidelity(channel: str, strength: float) -> float:
    """<GHZ|rho|GHZ> from a density matrix evolved with the channels' Kraus forms."""
    i2, x = np.eye(2), np.array([[0, 1], [1, 0]])
    y, z = np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])
    if channel == "depolarizing":
        kraus = [np.sqrt(1 - strength) * i2] + [np.sqrt(strength / 3) * p for p in (x, y, z)]
    else:
        kraus = [np.diag([1, np.sqrt(1 - strength)]), np.sqrt(strength) * np.array([[0, 1], [0, 0]])]

    def full(op: np.ndarray, qubit: int) -> np.ndarray:
        # qubit 0 is the least significant bit of an index
        return np.kron(np.kron(np.eye(2 ** (N - 1 - qubit)), op), np.eye(2**qubit))

    def noise(rho: np.ndarray, qubit: int) -> np.ndarray:
        out = np.zeros_like(rho)
        for k in kraus:
            out += full(k, qubit) @ rho @ full(k, qubit).conj().T
        return out

    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
    rho = np.zeros((2**N, 2**N), dtype=np.complex128)
    rho[0, 0] = 1
    rho = noise(full(h, 0) @ rho @ full(h, 0).T, 0)
    for q in range(N - 1):
        cx = np.eye(2**N)[[i ^ (1 << (q + 1)) if (i >> q) & 1 else i for i in range(2**N)]]
        rho = noise(noise(cx @ rho @ cx.T, q), q + 1)
    return float(np.real(GHZ.conj() @ rho @ GHZ))


fig, ax = plt.subplots(figsize=(6.4, 4.0))
for channel, colour in (("depolarizing", "tab:blue"), ("amplitude_damping", "tab:orange")):
    means, errors = zip(*(fidelity(noisy_ghz(channel, s), seed=11) for s in STRENGTHS))
    exact = [exact_fidelity(channel, s) for s in STRENGTHS]
    for m, e, x in zip(means, errors, exact):
        assert abs(m - x) <= 4 * e + 1e-5, (channel, m, e, x)
    ax.errorbar(STRENGTHS, means, yerr=errors, fmt="o", color=colour,
                label=f"{channel.replace('_', ' ')}: {TRAJECTORIES} trajectories")
    ax.plot(STRENGTHS, exact, "-", color=colour, alpha=0.6, label=f"{channel.replace('_', ' ')}: exact")
ax.set_xlabel("noise strength (p for depolarizing, gamma for damping)")
ax.set_ylabel("GHZ fidelity")
ax.set_title(f"{N}-qubit GHZ with a channel after every gate")
ax.legend(fontsize=8)
FIGURE.parent.mkdir(exist_ok=True)
fig.tight_layout()
fig.savefig(FIGURE, dpi=110)
