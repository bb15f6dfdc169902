import numpy as np

import vantelo
from vantelo import Circuit, CircuitSpec, Gate, Observable

from . import ansatz_items, qaoa_items, qaoa_terms

NAME = "vantelo"
PRECISION = "single"


def configure(threads):
    vantelo.set_num_threads(threads)


def _gate(g):
    if g[0] == "h":
        return Gate.h(g[1])
    if g[0] == "cx":
        return Gate.cx(g[1], g[2])
    if g[0] == "cp":
        return Gate.cp(g[1], g[2], float(g[3]))
    if g[0] == "swap":
        return Gate.swap(g[1], g[2])
    if g[0] == "unitary":
        return Gate.unitary([g[1], g[2]], g[3])
    return getattr(Gate, g[0])(g[1], float(g[2]))


def make_state(n, gates, fuse=True):
    circuit = Circuit([_gate(g) for g in gates])
    return (lambda: circuit.run(n)), (lambda raw: raw)


def make_state_fused(n, gates, k):
    circuit = Circuit([_gate(g) for g in gates], fusion=k)
    return (lambda: circuit.run(n)), (lambda raw: raw)


def passes(n, gates):
    """Passes over the state that a run of this circuit makes."""
    return Circuit([_gate(g) for g in gates])._passes(n)


def _compiled(n, layers):
    builder = CircuitSpec(n)
    params = []
    for item in ansatz_items(n, layers):
        if item[0] == "ry":
            params.append(builder.param())
            builder.ry(item[1], params[-1])
        else:
            builder.cx(item[1], item[2])
    return builder.compile()


def _observable(terms):
    return Observable.hamiltonian([Observable.pauli_string(ops, coeff) for coeff, ops in terms])


def make_expectation(n, layers, terms):
    circuit, obs = _compiled(n, layers), _observable(terms)
    return lambda params: float(circuit.expectation(params, obs))


def make_gradient(n, layers, terms, method):
    circuit, obs = _compiled(n, layers), _observable(terms)
    call = circuit.value_and_gradient if method == "shift" else circuit.adjoint_value_and_gradient

    def run(params):
        value, grad = call(params, obs)
        return float(value), np.asarray(grad)
    return run


def make_qaoa(n, edges, layers, sums="float32"):
    builder = CircuitSpec(n)
    angles = [builder.param() for _ in range(2 * layers)]
    for item in qaoa_items(n, edges, layers):
        if item[0] == "h":
            builder.h(item[1])
        elif item[0] == "cx":
            builder.cx(item[1], item[2])
        else:
            getattr(builder, item[0])(item[1], angles[item[2]])
    circuit, obs = builder.compile(sums=sums), _observable(qaoa_terms(edges))

    def run(params):
        value, grad = circuit.adjoint_value_and_gradient(params, obs)
        return float(value), np.asarray(grad)
    return run


def make_batch(n, layers, terms):
    circuit, obs = _compiled(n, layers), _observable(terms)
    return lambda batch: np.asarray(circuit.batch_expectation(batch, obs))


def make_sampler(n, gates, shots):
    circuit = Circuit([_gate(g) for g in gates])
    return lambda: np.asarray(circuit.sample(n, shots), dtype=np.int64)
