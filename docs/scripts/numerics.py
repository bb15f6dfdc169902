"""Measures vantelo's float32 results against a double-precision reference
for typical circuits, and writes the tables of the Numerics page
(docs/generated/numerics_tables.md) and its figure (docs/figures/float32_error.png).

The reference is a plain NumPy simulator in complex128. Every angle is a
float32 value, given to both sides unchanged, so the figures measure the
simulator's own arithmetic, not the rounding of the inputs."""

import functools
import time
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
from numpy.typing import NDArray

from vantelo import Circuit, CircuitSpec, Gate, Observable

DOCS = Path(__file__).resolve().parent.parent
TABLES = DOCS / "generated" / "numerics_tables.md"
FIGURE = DOCS / "figures" / "float32_error.png"
RNG = np.random.default_rng(2026)

State = NDArray[np.complex128]


def ry(theta: float) -> NDArray[np.complex128]:
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -s], [s, c]], dtype=np.complex128)


def rz(theta: float) -> NDArray[np.complex128]:
    return np.array([[np.exp(-0.5j * theta), 0], [0, np.exp(0.5j * theta)]], dtype=np.complex128)


def apply_one(psi: State, n: int, q: int, m: NDArray[np.complex128]) -> State:
    # Axis 1 of the reshaped state is bit q of the basis index.
    view = psi.reshape(2 ** (n - q - 1), 2, 2**q)
    out = np.empty_like(view)
    out[:, 0, :] = m[0, 0] * view[:, 0, :] + m[0, 1] * view[:, 1, :]
    out[:, 1, :] = m[1, 0] * view[:, 0, :] + m[1, 1] * view[:, 1, :]
    return out.reshape(-1)


@functools.cache
def cx_pairs(n: int, c: int, t: int) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    idx = np.arange(2**n)
    lo = idx[((idx >> c) & 1 == 1) & ((idx >> t) & 1 == 0)]
    return lo, lo | (1 << t)


def apply_cx(psi: State, n: int, c: int, t: int) -> State:
    lo, hi = cx_pairs(n, c, t)
    out = psi.copy()
    out[lo], out[hi] = psi[hi], psi[lo]
    return out


def zero(n: int) -> State:
    psi = np.zeros(2**n, dtype=np.complex128)
    psi[0] = 1
    return psi


def random_layers(n: int, depth: int) -> tuple[list[Gate], State]:
    """Layers of ry and rz on every qubit, then a brick of cx; the gates and the exact final state."""
    gates: list[Gate] = []
    psi = zero(n)
    for layer in range(depth):
        for q in range(n):
            a, b = (float(v) for v in RNG.uniform(0, 2 * np.pi, 2).astype(np.float32))
            gates += [Gate.ry(q, a), Gate.rz(q, b)]
            psi = apply_one(psi, n, q, rz(b) @ ry(a))
        for q in range(layer % 2, n - 1, 2):
            gates.append(Gate.cx(q, q + 1))
            psi = apply_cx(psi, n, q, q + 1)
    return gates, psi


def ansatz(n: int, layers: int) -> tuple[CircuitSpec, int]:
    builder = CircuitSpec(n)
    count = 0
    for _ in range(layers):
        for q in range(n):
            builder.ry(q, builder.param())
            count += 1
        for q in range(n - 1):
            builder.cx(q, q + 1)
    return builder, count


def ansatz_exact(n: int, layers: int, params: NDArray[np.float64]) -> State:
    psi = zero(n)
    k = 0
    for _ in range(layers):
        for q in range(n):
            psi = apply_one(psi, n, q, ry(float(params[k])))
            k += 1
        for q in range(n - 1):
            psi = apply_cx(psi, n, q, q + 1)
    return psi


def ising(n: int) -> tuple[Observable, list[tuple[str, tuple[int, ...], float]]]:
    """Transverse-field Ising chain: sum of Z_q Z_q+1 plus 0.5 times the sum of X_q."""
    terms: list[tuple[str, tuple[int, ...], float]] = [("ZZ", (q, q + 1), 1.0) for q in range(n - 1)]
    terms += [("X", (q,), 0.5) for q in range(n)]
    observable = Observable.hamiltonian(
        [Observable.pauli_string([(label, q) for label, q in zip(kind, qubits)], c) for kind, qubits, c in terms]
    )
    return observable, terms


def exact_energy(psi: State, n: int, terms: list[tuple[str, tuple[int, ...], float]]) -> float:
    idx = np.arange(2**n)
    total = 0.0
    for kind, qubits, c in terms:
        if kind == "ZZ":
            sign = 1 - 2 * (((idx >> qubits[0]) ^ (idx >> qubits[1])) & 1)
            total += c * float(np.sum(sign * np.abs(psi) ** 2))
        else:
            total += c * float(np.real(np.vdot(psi, psi[idx ^ (1 << qubits[0])])))
    return total


def markdown_table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def main() -> None:
    start = time.perf_counter()
    depths = [10, 50, 200]
    widths = [8, 12, 16]
    state_rows: list[list[str]] = []
    amplitude_error: dict[int, list[float]] = {}
    for n in widths:
        for depth in depths:
            gates, exact = random_layers(n, depth)
            state = Circuit(gates).run(n).astype(np.complex128)
            error = float(np.max(np.abs(state - exact)))
            distance = float(np.linalg.norm(state - exact))
            norm = abs(float(np.vdot(state, state).real) - 1)
            amplitude_error.setdefault(n, []).append(distance)
            state_rows.append([str(n), str(depth), str(len(gates)), f"{error:.1e}", f"{distance:.1e}", f"{norm:.1e}"])

    energy_rows: list[list[str]] = []
    energy_widths = [4, 8, 12, 16, 20]
    energy_error: list[float] = []
    state_error: list[float] = []
    for n in energy_widths:
        builder, count = ansatz(n, 3)
        circuit = builder.compile()
        observable, terms = ising(n)
        params = RNG.uniform(0, 2 * np.pi, count).astype(np.float32)
        energy = exact_energy(ansatz_exact(n, 3, params.astype(np.float64)), n, terms)
        value = circuit.expectation(params, observable)
        # The same float32 state summed in double: separates the state's error from the sum's.
        state_only = exact_energy(circuit.statevector(params).astype(np.complex128), n, terms)
        energy_error.append(abs(value - energy))
        state_error.append(abs(state_only - energy))
        energy_rows.append([str(n), str(len(terms)), f"{energy:.6f}", f"{abs(value - energy):.1e}",
                            f"{abs(value - energy) / abs(energy):.1e}", f"{abs(state_only - energy):.1e}"])

    gradient_rows: list[list[str]] = []
    for n in [4, 8, 12]:
        builder, count = ansatz(n, 3)
        circuit = builder.compile()
        observable, terms = ising(n)
        params = RNG.uniform(0, 2 * np.pi, count).astype(np.float32)
        _, gradient = circuit.value_and_gradient(params, observable)
        # Every parameter drives one rotation, so the shift rule is exact.
        reference = np.empty(count)
        for k in range(count):
            shifted = params.astype(np.float64)
            shifted[k] += np.pi / 2
            plus = exact_energy(ansatz_exact(n, 3, shifted), n, terms)
            shifted[k] -= np.pi
            minus = exact_energy(ansatz_exact(n, 3, shifted), n, terms)
            reference[k] = (plus - minus) / 2
        error = float(np.max(np.abs(gradient - reference)))
        gradient_rows.append([str(n), str(count), f"{float(np.max(np.abs(reference))):.3f}", f"{error:.1e}"])

    TABLES.write_text(
        "**Final state of random circuits** (one-off `Circuit`; a layer is `ry` and `rz` on every qubit and a "
        "brick of `cx`): the largest amplitude error, the distance ‖ψ − ψ<sub>exact</sub>‖ and the drift of the norm.\n\n"
        + markdown_table(["qubits", "layers", "gates", "max abs amplitude error", "‖ψ − ψ<sub>exact</sub>‖", "abs(‖ψ‖² − 1)"], state_rows)
        + "\n**Expectation values** (`CompiledCircuit.expectation`; 3 layers of `ry` on every qubit and a `cx` "
        "ladder; transverse-field Ising chain Σ Z<sub>q</sub>Z<sub>q+1</sub> + 0.5 Σ X<sub>q</sub>):\n\n"
        + markdown_table(["qubits", "terms", "exact value", "abs error", "relative error",
                        "abs error, float32 state summed in double"], energy_rows)
        + "\n**Gradients** (`CompiledCircuit.value_and_gradient`, same circuits and observable, against the "
        "exact parameter-shift gradient in double precision):\n\n"
        + markdown_table(["qubits", "parameters", "max abs gradient", "max abs gradient error"], gradient_rows),
        encoding="utf-8",
    )

    fig, (ax_state, ax_energy) = plt.subplots(1, 2, figsize=(10, 4))
    for n in widths:
        ax_state.loglog(depths, amplitude_error[n], "o-", label=f"{n} qubits")
    ax_state.set_xlabel("layers")
    ax_state.set_ylabel("||psi - psi_exact||")
    ax_state.set_title("final state vs complex128 reference")
    ax_state.legend()
    ax_energy.semilogy(energy_widths, energy_error, "o-", label="expectation (float32 sums)")
    ax_energy.semilogy(energy_widths, state_error, "s--", label="float32 state, summed in double")
    ax_energy.legend()
    ax_energy.set_xlabel("qubits")
    ax_energy.set_ylabel("abs error of <H>")
    ax_energy.set_title("expectation value vs complex128 reference")
    fig.tight_layout()
    fig.savefig(FIGURE, dpi=110)
    print(f"measured in {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
