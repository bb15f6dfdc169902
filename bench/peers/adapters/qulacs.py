"""Qulacs: QuantumState (double precision only) and ParametricQuantumCircuit.
Threads via OMP_NUM_THREADS set by the runner before import. Qubit 0 is the
least significant bit. Qulacs rotations are exp(+i·θ/2·P), so angles are
negated to match exp(-i·θ/2·P)."""
import numpy as np
import qulacs
from qulacs import gate as qgate

from . import ansatz_items, parameter_count, qaoa_items, qaoa_terms, shift_gradient

NAME = "Qulacs"
PRECISION = "double"


def configure(threads):
    pass


def _circuit(n, gates):
    c = qulacs.QuantumCircuit(n)
    for g in gates:
        if g[0] == "h":
            c.add_gate(qgate.H(g[1]))
        elif g[0] == "cx":
            c.add_gate(qgate.CNOT(g[1], g[2]))
        elif g[0] == "cp":
            phase = qgate.to_matrix_gate(qgate.U1(g[2], float(g[3])))
            phase.add_control_qubit(g[1], 1)
            c.add_gate(phase)
        elif g[0] == "swap":
            c.add_gate(qgate.SWAP(g[1], g[2]))
        elif g[0] == "unitary":
            # Qulacs's first listed target is the matrix index's lowest bit.
            c.add_gate(qgate.DenseMatrix([g[2], g[1]], g[3].astype(np.complex128)))
        else:
            c.add_gate(getattr(qgate, g[0].upper())(g[1], -float(g[2])))
    return c


def make_state(n, gates, fuse=True):
    c = _circuit(n, gates)

    def run():
        state = qulacs.QuantumState(n)
        c.update_quantum_state(state)
        return state
    return run, (lambda raw: raw.get_vector())


def _observable(n, terms):
    obs = qulacs.Observable(n)
    for coeff, ops in terms:
        obs.add_operator(coeff, " ".join(f"{p} {q}" for p, q in ops))
    return obs


class _Ansatz:
    def __init__(self, n, layers, terms):
        self.circuit = qulacs.ParametricQuantumCircuit(n)
        for item in ansatz_items(n, layers):
            if item[0] == "ry":
                self.circuit.add_parametric_RY_gate(item[1], 0.0)
            else:
                self.circuit.add_CNOT_gate(item[1], item[2])
        self.obs = _observable(n, terms)
        self.state = qulacs.QuantumState(n)
        self.p = parameter_count(n, layers)

    def set(self, params):
        for k in range(self.p):
            self.circuit.set_parameter(k, -float(params[k]))

    def value(self, params):
        self.set(params)
        self.state.set_zero_state()
        self.circuit.update_quantum_state(self.state)
        return self.obs.get_expectation_value(self.state).real

    def rows(self, batch):
        return np.array([self.value(row) for row in np.atleast_2d(batch)])


def make_expectation(n, layers, terms):
    return _Ansatz(n, layers, terms).value


def make_gradient(n, layers, terms, method):
    a = _Ansatz(n, layers, terms)
    if method == "shift":
        return lambda params: shift_gradient(a.rows, params)

    def adjoint(params):
        # backprop works on the circuit's own (negated) parameters.
        value = a.value(params)
        return value, -np.asarray(a.circuit.backprop(a.obs))
    return adjoint


def make_qaoa(n, edges, layers):
    circuit = qulacs.ParametricQuantumCircuit(n)
    owners = []  # the shared angle of each parametric gate, in gate order
    for item in qaoa_items(n, edges, layers):
        if item[0] == "h":
            circuit.add_H_gate(item[1])
        elif item[0] == "cx":
            circuit.add_CNOT_gate(item[1], item[2])
        else:
            getattr(circuit, f"add_parametric_{item[0].upper()}_gate")(item[1], 0.0)
            owners.append(item[2])
    obs = _observable(n, qaoa_terms(edges))
    owners = np.asarray(owners)
    state = qulacs.QuantumState(n)

    def run(params):
        for g, k in enumerate(owners):
            circuit.set_parameter(g, -float(params[k]))
        state.set_zero_state()
        circuit.update_quantum_state(state)
        value = obs.get_expectation_value(state).real
        # backprop gives one entry per gate, for the negated angles.
        per_gate = -np.asarray(circuit.backprop(obs))
        return value, np.bincount(owners, weights=per_gate, minlength=2 * layers)
    return run


def make_batch(n, layers, terms):
    return _Ansatz(n, layers, terms).rows


def make_sampler(n, gates, shots):
    c = _circuit(n, gates)

    def run():
        state = qulacs.QuantumState(n)
        c.update_quantum_state(state)
        return np.asarray(state.sampling(shots), dtype=np.int64)
    return run
