"""Helpers shared by the tests of the compiled style: circuits and observables
built from plain item lists, buffers filled with given rows, and bit-for-bit
comparison of results."""

import numpy as np

from vantelo import Circuit, CircuitSpec, Observable


def build(num_qubits, items, count):
    """Compiles items such as ("ry", qubit, slot), ("h", qubit) or
    ("cx", control, target) with `count` registered parameters."""
    builder = CircuitSpec(num_qubits)
    handles = [builder.param() for _ in range(count)]
    for item in items:
        method = getattr(builder, item[0])
        if item[0] in ("rx", "ry", "rz", "p"):
            method(item[1], handles[item[2]])
        else:
            method(*item[1:])
    return builder.compile()


def make_observable(terms):
    return Observable.hamiltonian([Observable.pauli_string(ops, c) for c, ops in terms])


def fill(circuit, rows):
    buf = circuit.param_buffer()
    buf.numpy()[:] = rows
    return buf


def fill_batch(circuit, rows):
    bb = circuit.param_batch_buffer(rows.shape[0])
    bb.numpy()[:] = rows
    return bb


def same(a, b):
    """Bit-for-bit equality of floats, arrays and tuples of them."""
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    return type(a) is type(b) and np.float64(a).tobytes() == np.float64(b).tobytes()


class FaultOnRows:
    """A compiled circuit whose calls on one or more rows fail with
    vantelo.InternalFault (a BaseException), as a fault on a worker would;
    calls on no rows, made locally before a sweep sends anything, pass."""

    def __init__(self, compiled):
        self.compiled = compiled
        self.num_qubits = compiled.num_qubits

    def batch_expectation(self, batch, observable):
        if len(batch):
            Circuit([]).run(32)  # raises the fault before allocating
        return self.compiled.batch_expectation(batch, observable)
