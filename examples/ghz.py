"""A first computation with vantelo: a GHZ state on 12 qubits, its exact
amplitudes and a histogram of whole-register samples."""

import collections

import numpy as np

import vantelo
from vantelo import Circuit, Gate

NUM_QUBITS = 12
SHOTS = 10_000

gates = [Gate.h(0)] + [Gate.cx(q, q + 1) for q in range(NUM_QUBITS - 1)]
circuit = Circuit(gates)

state = circuit.run(NUM_QUBITS)
print(f"vantelo exports: {', '.join(vantelo.__all__)}")
print(f"GHZ state on {NUM_QUBITS} qubits: {state.size} amplitudes of dtype {state.dtype}")
nonzero = np.flatnonzero(np.abs(state) > 1e-6)
for index in nonzero:
    print(f"  |{index:0{NUM_QUBITS}b}>  amplitude {state[index]:.6f}")
print(f"  norm = {np.vdot(state, state).real:.7f}")

samples = circuit.sample(NUM_QUBITS, SHOTS)
counts = collections.Counter(samples)
print(f"{SHOTS} samples:")
for basis, count in sorted(counts.items()):
    print(f"  |{basis:0{NUM_QUBITS}b}>  {count:6d}  ({count / SHOTS:.3f})")
assert set(counts) <= {0, 2**NUM_QUBITS - 1}

# A mid-circuit measurement collapses the state once for the whole run.
measured = Circuit(gates + [Gate.measure(0)])
final, record = measured.run_with_measurements(NUM_QUBITS)
outcome = record[0][1]
print(f"measuring qubit 0 gave {outcome}; every qubit follows: "
      f"amplitude of |{'1' * NUM_QUBITS if outcome else '0' * NUM_QUBITS}> = "
      f"{final[(2**NUM_QUBITS - 1) if outcome else 0]:.6f}")
