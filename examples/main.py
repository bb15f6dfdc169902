"""Variational ground-state energy of the hydrogen molecule with vantelo.

The Hamiltonian is the two-qubit STO-3G Hamiltonian of H2 at a bond length of
0.735 Å, in Hartree: the four minimal-basis spin orbitals under the parity
mapping, reduced to two qubits by the symmetry of the electron number. These
are the standard coefficients of the VQE literature for this geometry; for
the construction of such reduced Hamiltonians see P. J. J. O'Malley et al.,
"Scalable Quantum Simulation of Molecular Energies", Phys. Rev. X 6, 031007
(2016), and A. Kandala et al., "Hardware-efficient variational quantum
eigensolver for small molecules and quantum magnets", Nature 549, 242 (2017).
The energy below is electronic; the nuclear repulsion at this distance is
0.7199689944 Ha, and the exact ground energy is -1.8572750 Ha.

A hardware-efficient ansatz (Ry layers around a CX) is compiled once and
minimised by plain gradient descent on value_and_gradient, whose gradient is
the exact parameter-shift rule. The result is compared with the exact ground
energy from NumPy's eigensolver on the same Hamiltonian.
"""

import numpy as np
from numpy.typing import NDArray

from vantelo import CircuitSpec, CompiledCircuit, Observable

NUCLEAR_REPULSION = 0.7199689944489797

# (coefficient, Pauli factors as (label, qubit)); qubit 0 is the least
# significant bit of a basis-state index.
TERMS = [
    (-1.052373245772859, []),
    (0.39793742484318045, [("Z", 0)]),
    (-0.39793742484318045, [("Z", 1)]),
    (-0.01128010425623538, [("Z", 0), ("Z", 1)]),
    (0.18093119978423156, [("X", 0), ("X", 1)]),
]


def dense_hamiltonian() -> NDArray[np.float64]:
    pauli = {"X": np.array([[0, 1], [1, 0]]), "Z": np.diag([1, -1]), "I": np.eye(2)}
    h = np.zeros((4, 4))
    for coefficient, factors in TERMS:
        on = dict((q, label) for label, q in factors)
        # np.kron puts its first factor on the most significant bit: qubit 1.
        h += coefficient * np.kron(pauli[on.get(1, "I")], pauli[on.get(0, "I")])
    return h


def ansatz() -> CompiledCircuit:
    builder = CircuitSpec(2)
    theta = [builder.param(f"theta{k}") for k in range(4)]
    builder.x(0)  # the Hartree-Fock reference state
    builder.ry(0, theta[0])
    builder.ry(1, theta[1])
    builder.cx(0, 1)
    builder.ry(0, theta[2])
    builder.ry(1, theta[3])
    return builder.compile()


def main() -> None:
    hamiltonian = Observable.hamiltonian(
        [Observable.pauli_string(factors, coefficient) for coefficient, factors in TERMS])
    circuit = ansatz()
    exact = float(np.linalg.eigvalsh(dense_hamiltonian())[0])

    params = np.array([0.1, -0.2, 0.05, 0.15], dtype=np.float32)
    learning_rate = 0.4
    print(f"H2, STO-3G, 0.735 Å: {len(TERMS)} Pauli terms, {circuit.parameter_count} parameters")
    for step in range(1, 301):
        energy, gradient = circuit.value_and_gradient(params, hamiltonian)
        params -= learning_rate * gradient
        if step == 1 or step % 20 == 0:
            print(f"step {step:3d}  energy {energy: .8f} Ha  |gradient| {np.linalg.norm(gradient):.2e}")
        if np.linalg.norm(gradient) < 1e-6:
            break

    final = circuit.expectation(params, hamiltonian)
    error = abs(final - exact)
    print(f"final energy    {final: .8f} Ha (electronic)")
    print(f"exact (NumPy)   {exact: .8f} Ha")
    print(f"difference      {error:.2e} Ha")
    print(f"total energy    {final + NUCLEAR_REPULSION: .8f} Ha including nuclear repulsion")
    state = circuit.statevector(params)
    print("ground state amplitudes:", np.array2string(state, precision=5))
    if error > 1e-4:
        raise SystemExit("did not converge to within 1e-4 Ha")


if __name__ == "__main__":
    main()
