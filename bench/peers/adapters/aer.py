"""Qiskit Aer: AerSimulator, statevector method, single precision. Threads
via max_parallel_threads (and OMP_NUM_THREADS set by the runner). Qiskit's
qubit 0 is the least significant bit, as in vantelo."""
import numpy as np
from qiskit import QuantumCircuit
from qiskit.circuit import ParameterVector
from qiskit.circuit.library import UnitaryGate
from qiskit.quantum_info import SparsePauliOp
from qiskit_aer import AerSimulator

from . import ansatz_items, parameter_count, shift_gradient

NAME = "Qiskit Aer"
PRECISION = "single"
_threads = 1


def configure(threads):
    global _threads
    _threads = threads


def _sim(fuse=True):
    return AerSimulator(method="statevector", precision="single",
                        max_parallel_threads=_threads, fusion_enable=fuse)


def _circuit(n, gates):
    qc = QuantumCircuit(n)
    for g in gates:
        if g[0] == "h":
            qc.h(g[1])
        elif g[0] == "cx":
            qc.cx(g[1], g[2])
        elif g[0] == "cp":
            qc.cp(float(g[3]), g[1], g[2])
        elif g[0] == "swap":
            qc.swap(g[1], g[2])
        elif g[0] == "unitary":
            # Qiskit's first listed qubit is the matrix index's lowest bit.
            # The complex64 matrix is unitary only to single precision.
            qc.append(UnitaryGate(g[3].astype(np.complex128), check_input=False), [g[2], g[1]])
        else:
            getattr(qc, g[0])(float(g[2]), g[1])
    return qc


def make_state(n, gates, fuse=True):
    qc = _circuit(n, gates)
    qc.save_statevector()
    sim = _sim(fuse)
    return (lambda: sim.run(qc).result().get_statevector()), (lambda raw: np.asarray(raw))


def _operator(n, terms):
    return SparsePauliOp.from_sparse_list(
        [("".join(p for p, _ in ops), [q for _, q in ops], coeff) for coeff, ops in terms],
        num_qubits=n)


def _ansatz(n, layers, terms):
    theta = ParameterVector("p", parameter_count(n, layers))
    qc = QuantumCircuit(n)
    for item in ansatz_items(n, layers):
        if item[0] == "ry":
            qc.ry(theta[item[2]], item[1])
        else:
            qc.cx(item[1], item[2])
    qc.save_expectation_value(_operator(n, terms), list(range(n)))
    sim = _sim()

    def rows(batch):
        batch = np.atleast_2d(batch)
        binds = [{theta[k]: batch[:, k].astype(float).tolist() for k in range(batch.shape[1])}]
        result = sim.run(qc, parameter_binds=binds).result()
        return np.array([result.data(i)["expectation_value"] for i in range(batch.shape[0])])
    return rows


def make_expectation(n, layers, terms):
    rows = _ansatz(n, layers, terms)
    return lambda params: float(rows(params)[0])


def make_gradient(n, layers, terms, method):
    if method != "shift":
        raise NotImplementedError
    rows = _ansatz(n, layers, terms)
    return lambda params: shift_gradient(rows, params)


def make_batch(n, layers, terms):
    return _ansatz(n, layers, terms)


def make_sampler(n, gates, shots):
    qc = _circuit(n, gates)
    qc.measure_all()
    sim = _sim()

    def run():
        counts = sim.run(qc, shots=shots).result().get_counts()
        keys = np.array([int(k, 2) for k in counts], dtype=np.int64)
        return np.repeat(keys, list(counts.values()))
    return run

