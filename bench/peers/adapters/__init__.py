"""One module per simulator, each mapping the workloads of bench/peers/run.py
onto that simulator's public Python API.

Every adapter exposes:
    NAME, PRECISION
    configure(threads)                      before the first simulation
    make_state(n, gates, fuse) -> (run, convert)  run() simulates; convert(raw)
                                            gives
                                            the state with qubit 0 as the least
                                            significant bit of the index
    make_expectation(n, layers, terms) -> fn(params) -> float
    make_gradient(n, layers, terms, method) -> fn(params) -> (value, grad)
                                            method "shift" or "adjoint"
    make_batch(n, layers, terms) -> fn(batch) -> values
    make_qaoa(n, edges, layers) -> fn(params) -> (value, grad)
                                            the adapter's adjoint-style gradient
                                            of QAOA (see qaoa_items), optional
    make_sampler(n, gates, shots) -> fn() -> integer array of basis indices
A function an adapter cannot offer raises NotImplementedError.

Gates are tuples: ("h", q), ("cx", control, target), ("rx"|"ry"|"rz", q, angle),
("cp", control, target, angle) (phase e^{i·angle} when both are 1), ("swap", a, b).
The ansatz has `layers` layers, each two sublayers of ry on every qubit (one
parameter each, in order) followed by a cx ladder cx(q, q + 1).
Terms are (coefficient, [(pauli letter, qubit), ...]).
"""

import importlib

import numpy as np

NAMES = ["vantelo", "aer", "qulacs", "lightning", "qsim", "vantelo_qubit"]


def load(name):
    return importlib.import_module(f"adapters.{name}")


def ansatz_items(n, layers):
    """Yields ("ry", q, k) with k the parameter index, and ("cx", a, b)."""
    k = 0
    for _ in range(layers):
        for _ in range(2):
            for q in range(n):
                yield ("ry", q, k)
                k += 1
        for q in range(n - 1):
            yield ("cx", q, q + 1)


def qaoa_items(n, edges, layers):
    """QAOA for MaxCut: h on every qubit, then per layer l a cost block
    cx(i, j), rz(j, gamma_l), cx(i, j) on every edge and a mixer rx(q, beta_l)
    on every qubit. Yields ("h", q), ("cx", a, b) and ("rz"|"rx", q, k) with
    k = 2l for gamma_l and 2l + 1 for beta_l: each angle drives many gates."""
    for q in range(n):
        yield ("h", q)
    for layer in range(layers):
        for i, j in edges:
            yield ("cx", i, j)
            yield ("rz", j, 2 * layer)
            yield ("cx", i, j)
        for q in range(n):
            yield ("rx", q, 2 * layer + 1)


def qaoa_terms(edges):
    return [(-0.5, [("Z", i), ("Z", j)]) for i, j in edges]


def parameter_count(n, layers):
    return 2 * n * layers


def shift_gradient(rows, params):
    """Parameter-shift rule as one batch of 1 + 2P parameter rows."""
    params = np.asarray(params, dtype=np.float64)
    p = len(params)
    batch = np.tile(params, (1 + 2 * p, 1))
    for k in range(p):
        batch[1 + 2 * k, k] += np.pi / 2
        batch[2 + 2 * k, k] -= np.pi / 2
    values = rows(batch)
    return float(values[0]), 0.5 * (values[1::2] - values[2::2])
