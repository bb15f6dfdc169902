"""H2 ground-state energy by VQE: gradient descent on value_and_gradient,
plotted against the exact ground energy from NumPy's eigensolver."""

from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
from numpy.typing import NDArray

from vantelo import CircuitSpec, Observable

FIGURE = Path(__file__).resolve().parent.parent / "figures" / "vqe_h2.png"

# Two-qubit STO-3G Hamiltonian of H2 at 0.735 Å (parity mapping, reduced by
# symmetry), in Hartree: (coefficient, Pauli factors as (label, qubit)).
TERMS: list[tuple[float, list[tuple[str, int]]]] = [
    (-1.052373245772859, []),
    (0.39793742484318045, [("Z", 0)]),
    (-0.39793742484318045, [("Z", 1)]),
    (-0.01128010425623538, [("Z", 0), ("Z", 1)]),
    (0.18093119978423156, [("X", 0), ("X", 1)]),
]
hamiltonian = Observable.hamiltonian([Observable.pauli_string(ops, c) for c, ops in TERMS])

# Exact reference: the lowest eigenvalue of the dense 4x4 matrix. np.kron puts
# its first factor on the most significant bit, which is qubit 1.
PAULI = {"I": np.eye(2), "X": np.array([[0.0, 1.0], [1.0, 0.0]]), "Z": np.diag([1.0, -1.0])}


def dense(ops: list[tuple[str, int]]) -> NDArray[np.float64]:
    on = {qubit: label for label, qubit in ops}
    return np.kron(PAULI[on.get(1, "I")], PAULI[on.get(0, "I")])


exact = float(np.linalg.eigvalsh(sum(c * dense(ops) for c, ops in TERMS))[0])

# Hardware-efficient ansatz: Hartree-Fock reference |01>, Ry layer, CX, Ry layer.
spec = CircuitSpec(2)
theta = [spec.param(f"theta{k}") for k in range(4)]
spec.x(0)
spec.ry(0, theta[0])
spec.ry(1, theta[1])
spec.cx(0, 1)
spec.ry(0, theta[2])
spec.ry(1, theta[3])
circuit = spec.compile()

params = np.array([0.1, -0.2, 0.05, 0.15], dtype=np.float32)
energies = []
for step in range(120):
    energy, gradient = circuit.value_and_gradient(params, hamiltonian)
    energies.append(energy)
    params -= np.float32(0.4) * gradient

final = circuit.expectation(params, hamiltonian)
print(f"VQE energy {final:.7f} Ha, exact {exact:.7f} Ha, error {abs(final - exact):.1e} Ha")
assert abs(final - exact) < 1e-4, "VQE did not converge to the exact ground energy"

fig, (ax, ax_err) = plt.subplots(1, 2, figsize=(10, 4))
ax.plot(energies, label="VQE energy (vantelo, float32)")
ax.axhline(exact, color="black", linestyle="--", label=f"exact ground energy {exact:.5f} Ha")
ax.set_xlabel("gradient-descent step")
ax.set_ylabel("electronic energy (Ha)")
ax.set_title("H2 at 0.735 Å, STO-3G, 2 qubits")
ax.legend()
ax_err.semilogy(np.abs(np.array(energies) - exact))
ax_err.axhline(1.6e-3, color="grey", linestyle=":", label="chemical accuracy (1.6 mHa)")
ax_err.set_xlabel("gradient-descent step")
ax_err.set_ylabel("|E - E_exact| (Ha)")
ax_err.set_title("distance to the exact energy")
ax_err.legend()
fig.tight_layout()
fig.savefig(FIGURE, dpi=110)
