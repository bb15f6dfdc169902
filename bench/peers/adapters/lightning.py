"""PennyLane Lightning: lightning.qubit with complex64 amplitudes. Threads via
OMP_NUM_THREADS set by the runner before import. The device's wires are
listed from qubit n-1 down to 0, so the first listed wire is the most
significant bit and qubit 0 the least, as in vantelo."""
import numpy as np
import pennylane as qml
from pennylane import numpy as pnp

from . import ansatz_items, parameter_count, qaoa_items, qaoa_terms

NAME = "PennyLane Lightning"
PRECISION = "single"


def configure(threads):
    pass


def _device(n, shots=None):
    return qml.device("lightning.qubit", wires=list(range(n - 1, -1, -1)), c_dtype=np.complex64)


def _apply(gates):
    for g in gates:
        if g[0] == "h":
            qml.Hadamard(wires=g[1])
        elif g[0] == "cx":
            qml.CNOT(wires=[g[1], g[2]])
        elif g[0] == "cp":
            qml.ControlledPhaseShift(float(g[3]), wires=[g[1], g[2]])
        elif g[0] == "swap":
            qml.SWAP(wires=[g[1], g[2]])
        elif g[0] == "unitary":
            qml.QubitUnitary(g[3], wires=[g[1], g[2]])
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
    circuit = _qnode(n, layers, terms, "parameter-shift" if method == "shift" else "adjoint")
    grad = qml.grad(circuit)

    def run(params):
        x = pnp.array(np.asarray(params, dtype=np.float64), requires_grad=True)
        return float(circuit(x)), np.asarray(grad(x))
    return run


def make_qaoa(n, edges, layers):
    h = _hamiltonian(qaoa_terms(edges))

    @qml.qnode(_device(n), diff_method="adjoint")
    def circuit(params):
        for item in qaoa_items(n, edges, layers):
            if item[0] == "h":
                qml.Hadamard(wires=item[1])
            elif item[0] == "cx":
                qml.CNOT(wires=[item[1], item[2]])
            else:
                {"rx": qml.RX, "rz": qml.RZ}[item[0]](params[item[2]], wires=item[1])
        return qml.expval(h)
    grad = qml.grad(circuit)

    def run(params):
        x = pnp.array(np.asarray(params, dtype=np.float64), requires_grad=True)
        return float(circuit(x)), np.asarray(grad(x))
    return run


def make_batch(n, layers, terms):
    circuit = _qnode(n, layers, terms)
    # Parameter broadcasting: one call for the whole batch.
    return lambda batch: np.asarray(circuit(np.asarray(batch, dtype=np.float64)))


def make_sampler(n, gates, shots):
    @qml.set_shots(shots)
    @qml.qnode(_device(n))
    def circuit():
        _apply(gates)
        return qml.sample(wires=list(range(n - 1, -1, -1)))
    weights = 1 << np.arange(n - 1, -1, -1, dtype=np.int64)
    return lambda: np.asarray(circuit()).astype(np.int64) @ weights
