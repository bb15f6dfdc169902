"""qsim through qsimcirq: QSimSimulator (single precision). Threads via
cpu_threads (the 't' option); fuse=False sets max_fused_gate_size to 1.
Circuits are simulated with the qubit order n-1 … 0, so qubit 0 is the least
significant bit of the state index, as in vantelo."""
import cirq
import numpy as np
import qsimcirq
import sympy

from . import ansatz_items, parameter_count, shift_gradient

NAME = "qsim"
PRECISION = "single"
_threads = 1


def configure(threads):
    global _threads
    _threads = threads


def _sim(fuse=True):
    options = qsimcirq.QSimOptions(cpu_threads=_threads)
    if fuse is not True and fuse:
        options = qsimcirq.QSimOptions(cpu_threads=_threads, max_fused_gate_size=int(fuse))
    elif not fuse:
        options = qsimcirq.QSimOptions(cpu_threads=_threads, max_fused_gate_size=1)
    return qsimcirq.QSimSimulator(qsim_options=options)


def _circuit(qs, gates):
    c = cirq.Circuit()
    for g in gates:
        if g[0] == "h":
            c.append(cirq.H(qs[g[1]]))
        elif g[0] == "cx":
            c.append(cirq.CNOT(qs[g[1]], qs[g[2]]))
        elif g[0] == "cp":
            c.append(cirq.cphase(float(g[3]))(qs[g[1]], qs[g[2]]))
        elif g[0] == "swap":
            c.append(cirq.SWAP(qs[g[1]], qs[g[2]]))
        elif g[0] == "unitary":
            # cirq's first qubit is the matrix index's top bit, as ours; the
            # complex64 matrix is unitary only to single precision.
            c.append(cirq.MatrixGate(g[3].astype(np.complex128), unitary_check=False)(qs[g[1]], qs[g[2]]))
        else:
            c.append(getattr(cirq, g[0])(float(g[2]))(qs[g[1]]))
    return c


def make_state(n, gates, fuse=True):
    qs = cirq.LineQubit.range(n)
    order = qs[::-1]
    c = _circuit(qs, gates)
    sim = _sim(fuse)
    return (lambda: sim.simulate(c, qubit_order=order).final_state_vector), (lambda raw: raw)


def make_state_fused(n, gates, k):
    """max_fused_gate_size = k (qsim allows up to 4)."""
    if k > 4:
        raise NotImplementedError
    return make_state(n, gates, k)


def _psum(qs, terms):
    letters = {"X": cirq.X, "Y": cirq.Y, "Z": cirq.Z}
    total = 0
    for coeff, ops in terms:
        total = total + cirq.PauliString({qs[q]: letters[p] for p, q in ops}, coefficient=coeff)
    return total


def _ansatz(n, layers, terms):
    qs = cirq.LineQubit.range(n)
    symbols = [sympy.Symbol(f"p{k}") for k in range(parameter_count(n, layers))]
    c = cirq.Circuit()
    for item in ansatz_items(n, layers):
        if item[0] == "ry":
            c.append(cirq.ry(symbols[item[2]])(qs[item[1]]))
        else:
            c.append(cirq.CNOT(qs[item[1]], qs[item[2]]))
    obs = [_psum(qs, terms)]
    sim = _sim()

    def rows(batch):
        resolvers = [cirq.ParamResolver({s: float(v) for s, v in zip(symbols, row)})
                     for row in np.atleast_2d(batch)]
        out = sim.simulate_expectation_values_sweep(c, obs, resolvers, qubit_order=qs[::-1])
        return np.array([r[0].real for r in out])
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
    qs = cirq.LineQubit.range(n)
    c = _circuit(qs, gates)
    c.append(cirq.measure(*qs[::-1], key="m"))
    sim = _sim()
    weights = 1 << np.arange(n - 1, -1, -1, dtype=np.int64)
    return lambda: sim.run(c, repetitions=shots).measurements["m"].astype(np.int64) @ weights
