"""The ground-state energy of H2 with PennyLane's gradient descent on the
vantelo.qubit device, gradients by vantelo's adjoint method.

Needs PennyLane (pip install "vantelo[pennylane]", or pip install
".[pennylane]" in a clone); without it the example says so and stops.
"""

import sys
from typing import Any

from vantelo import CompiledCircuit

try:
    import pennylane as qml  # type: ignore[import-not-found, import-untyped, unused-ignore]
    from pennylane import numpy as pnp  # type: ignore[import-not-found, import-untyped, unused-ignore]
except ImportError:
    print("pennylane_vqe.py needs PennyLane: pip install 'vantelo[pennylane]' "
          "(in a clone: pip install '.[pennylane]')")
    sys.exit(0)

# H2 at its equilibrium bond length (coordinates in bohr), STO-3G basis.
symbols = ["H", "H"]
coordinates = pnp.array([0.0, 0.0, -0.6614, 0.0, 0.0, 0.6614], requires_grad=False)
hamiltonian, qubits = qml.qchem.molecular_hamiltonian(symbols, coordinates)
hf = qml.qchem.hf_state(electrons=2, orbitals=qubits)

# Builds without adjoint differentiation use the compiled parameter shift.
method = "adjoint" if hasattr(CompiledCircuit, "adjoint_value_and_gradient") else "device"
dev = qml.device("vantelo.qubit", wires=qubits)


def circuit(theta: Any) -> Any:
    qml.BasisState(hf, wires=range(qubits))
    qml.DoubleExcitation(theta[0], wires=[0, 1, 2, 3])
    return qml.expval(hamiltonian)


energy = qml.QNode(circuit, dev, diff_method=method)
optimizer = qml.GradientDescentOptimizer(stepsize=0.4)
theta = pnp.array([0.0], requires_grad=True)
for step in range(40):
    theta, previous = optimizer.step_and_cost(energy, theta)
    if step % 5 == 0:
        print(f"step {step:2d}: E = {previous:.8f} Ha")

final = float(energy(theta))
exact = float(pnp.min(pnp.linalg.eigvalsh(qml.matrix(hamiltonian, wire_order=range(qubits)))))
print(f"VQE energy {final:.8f} Ha, exact {exact:.8f} Ha, theta = {float(theta[0]):.6f} ({method})")
# float32 amplitudes: agreement to a few parts in 10^6 of the energy
if abs(final - exact) > 1e-5:
    sys.exit(f"VQE did not reach the ground state: off by {abs(final - exact):.2e} Ha")
