"""A Qiskit EstimatorV2 pub evaluated by vantelo: a 2-D slice of an
ansatz's energy landscape, 25 x 40 = 1,000 parameter sets in one pub, and
the same pub on Qiskit Aer's EstimatorV2 when Aer is installed.

Needs Qiskit (pip install "vantelo[qiskit]", or pip install ".[qiskit]" in a
clone); without it the example says so and exits cleanly.
"""

import sys
import time

try:
    from qiskit.circuit.library import efficient_su2
    from qiskit.quantum_info import SparsePauliOp
except ImportError:
    print("qiskit is not installed; skipping this example "
          "(pip install 'vantelo[qiskit]', or pip install '.[qiskit]' in a clone)")
    sys.exit(0)

import numpy as np

from vantelo_interop.qiskit import EstimatorV2

NUM_QUBITS = 10
circuit = efficient_su2(NUM_QUBITS, reps=2)

# A transverse-field Ising chain: -sum Z_i Z_{i+1} - 0.5 sum X_i.
terms = [("ZZ", [q, q + 1], -1.0) for q in range(NUM_QUBITS - 1)]
terms += [("X", [q], -0.5) for q in range(NUM_QUBITS)]
hamiltonian = SparsePauliOp.from_sparse_list(terms, num_qubits=NUM_QUBITS)

# The landscape along two random directions through a random point.
rng = np.random.default_rng(7)
centre, u, v = rng.uniform(-np.pi, np.pi, (3, circuit.num_parameters))
s = np.linspace(-1, 1, 25)[:, None, None]
t = np.linspace(-1, 1, 40)[None, :, None]
values = centre + s * u + t * v  # shape (25, 40, P): one pub of 1,000 sets

start = time.perf_counter()
ours = EstimatorV2().run([(circuit, hamiltonian, values)]).result()[0].data.evs
elapsed = time.perf_counter() - start
best = np.unravel_index(np.argmin(ours), ours.shape)
print(f"vantelo EstimatorV2: {ours.size} values of shape {ours.shape} in {elapsed * 1e3:.1f} ms")
print(f"  lowest energy {ours[best]:.5f} at grid point {tuple(int(i) for i in best)}")

try:
    from qiskit_aer.primitives import EstimatorV2 as AerEstimatorV2
except ImportError:
    print("qiskit-aer is not installed; skipping the comparison with Aer")
    sys.exit(0)

aer = AerEstimatorV2(options={"backend_options": {"method": "statevector", "precision": "single"}})
start = time.perf_counter()
theirs = aer.run([(circuit, hamiltonian, values)]).result()[0].data.evs
aer_elapsed = time.perf_counter() - start
print(f"Aer EstimatorV2 (single precision): {aer_elapsed * 1e3:.1f} ms, "
      f"{aer_elapsed / elapsed:.1f}x vantelo's time")
print(f"  largest difference {np.max(np.abs(ours - theirs)):.2e}")
