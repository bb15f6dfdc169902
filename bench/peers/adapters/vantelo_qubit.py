"""vantelo through PennyLane: the vantelo.qubit device, called exactly like
the Lightning adapter calls lightning.qubit (same QNodes, same wire order),
so the two rows compare the devices at the QNode level. Threads via
vantelo.set_num_threads."""
import numpy as np
import pennylane as qml
from pennylane import numpy as pnp

import vantelo

from . import ansatz_items

NAME = "vantelo.qubit (PennyLane)"
PRECISION = "single"


def configure(threads):
    vantelo.set_num_threads(threads)


def _device(n):
    return qml.device("vantelo.qubit", wires=list(range(n - 1, -1, -1)))


def _apply(gates):
    for g in gates:
        if g[0] == "h":
            qml.Hadamard(wires=g[1])
        elif g[0] == "cx":
            qml.CNOT(wires=[g[1], g[2]])
        else:
            {"rx": qml.RX, "ry": qml.RY, "rz": qml.RZ}[g[0]](float(g[2]), wires=g[1])


def make_state(n, gates, fuse=True):
    @qml.qnode(_device(n))
    def circuit():
        _apply(gates)
        return qml.state()
    return circuit, (lambda raw: np.asarray(raw))


def _hamiltonian(terms):
    letters = {"X": qml.PauliX, "Y": qml.PauliY, "Z": qml.PauliZ}
    ops = [qml.prod(*[letters[p](q) for p, q in ops]) if len(ops) > 1 else letters[ops[0][0]](ops[0][1])
           for _, ops in terms]
    return qml.Hamiltonian([c for c, _ in terms], ops)


def _qnode(n, layers, terms, diff_method=None):
    h = _hamiltonian(terms)

    @qml.qnode(_device(n), diff_method=diff_method)
    def circuit(params):
        for item in ansatz_items(n, layers):
            if item[0] == "ry":
                qml.RY(params[..., item[2]], wires=item[1])
            else:
                qml.CNOT(wires=[item[1], item[2]])
        return qml.expval(h)
    return circuit


def make_expectation(n, layers, terms):
    circuit = _qnode(n, layers, terms)
    return lambda params: float(circuit(np.asarray(params, dtype=np.float64)))


def make_gradient(n, layers, terms, method):
    if method == "adjoint" and not hasattr(vantelo.CompiledCircuit, "adjoint_value_and_gradient"):
        raise NotImplementedError
    circuit = _qnode(n, layers, terms, "device" if method == "shift" else "adjoint")
    grad = qml.grad(circuit)

    def run(params):
        x = pnp.array(np.asarray(params, dtype=np.float64), requires_grad=True)
        return float(circuit(x)), np.asarray(grad(x))
    return run


def make_batch(n, layers, terms):
    circuit = _qnode(n, layers, terms)
    # Parameter broadcasting: one call, one batch_expectation.
    return lambda batch: np.asarray(circuit(np.asarray(batch, dtype=np.float64)))


def make_sampler(n, gates, shots):
    @qml.set_shots(shots)
    @qml.qnode(_device(n))
    def circuit():
        _apply(gates)
        return qml.sample(wires=list(range(n - 1, -1, -1)))
    weights = 1 << np.arange(n - 1, -1, -1, dtype=np.int64)
    return lambda: np.asarray(circuit()).astype(np.int64) @ weights
