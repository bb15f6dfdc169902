"""MaxCut with QAOA: p = 3 layers on a random 3-regular graph of 8 nodes,
each layer's two angles shared by all its rotations. Gradient ascent with
value_and_gradient raises the expected cut; sampling the optimised state
finds a cut that is compared with the brute-force maximum."""

import itertools

import numpy as np

from vantelo import CircuitSpec, Observable

NODES, DEGREE, LAYERS, SEED = 8, 3, 3, 11
STEPS, RATE, SHOTS = 80, 0.05, 2000


def regular_graph(n, d, rng):
    """A simple d-regular graph by random pairing of edge stubs, retried until
    it has no loops or repeated edges."""
    while True:
        stubs = rng.permutation(np.repeat(np.arange(n), d)).reshape(-1, 2)
        edges = {tuple(sorted(map(int, e))) for e in stubs}
        if len(edges) == len(stubs) and all(i != j for i, j in edges):
            return sorted(edges)


def cut_size(bits, edges):
    return sum(((bits >> i) & 1) != ((bits >> j) & 1) for i, j in edges)


rng = np.random.default_rng(SEED)
edges = regular_graph(NODES, DEGREE, rng)

spec = CircuitSpec(NODES)
gammas = [spec.param(f"gamma{layer}") for layer in range(LAYERS)]
betas = [spec.param(f"beta{layer}") for layer in range(LAYERS)]
for q in range(NODES):
    spec.h(q)
for gamma, beta in zip(gammas, betas):
    for i, j in edges:  # exp(-i gamma Z_i Z_j / 2) on every edge, one shared angle
        spec.cx(i, j)
        spec.rz(j, gamma)
        spec.cx(i, j)
    for q in range(NODES):
        spec.rx(q, beta)
circuit = spec.compile()

# C = sum over edges of (1 - Z_i Z_j) / 2: the expected number of cut edges.
cost = Observable.hamiltonian([Observable.pauli_string([], 0.5 * len(edges))]
                              + [Observable.pauli_string([("Z", i), ("Z", j)], -0.5) for i, j in edges])

params = np.full(2 * LAYERS, 0.1, dtype=np.float32)
start, _ = circuit.value_and_gradient(params, cost)
value = start
for step in range(STEPS):
    value, grad = circuit.value_and_gradient(params, cost)
    params += RATE * grad
    if step % 20 == 0:
        print(f"step {step:3d}: <C> = {value:.4f}")
value = circuit.expectation(params, cost)
uniform = len(edges) / 2
print(f"graph: {len(edges)} edges {edges}")
print(f"<C>: start {start:.4f}, uniform superposition {uniform:.4f}, optimised {value:.4f} "
      f"({circuit.parameter_count} shared angles over "
      f"{LAYERS * (len(edges) + NODES)} rotations)")
if not value > start:
    raise SystemExit(f"gradient ascent did not improve <C>: {start} -> {value}")
if not value > uniform:
    raise SystemExit(f"optimised <C> = {value} is no better than the uniform superposition's {uniform}")

probabilities = np.abs(circuit.statevector(params).astype(np.complex128)) ** 2
samples = rng.choice(probabilities.size, size=SHOTS, p=probabilities / probabilities.sum())
best = max(samples, key=lambda b: cut_size(int(b), edges))
maximum = max(cut_size(b, edges) for b in range(2 ** NODES))
print(f"best sampled cut: {cut_size(int(best), edges)} edges ({int(best):0{NODES}b}); "
      f"brute-force maximum: {maximum}")
