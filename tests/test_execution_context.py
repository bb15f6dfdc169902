"""ExecutionContext: surface, equality with the CompiledCircuit methods, width
adoption, messages and the exclusive borrow held while the lock is released."""

import gc
import sys
import threading
import time

import numpy as np
import pytest

from compiled_helpers import build, fill, make_observable, same
from vantelo import ExecutionContext, Observable

ITEMS = [("h", 0), ("ry", 1, 0), ("cx", 0, 2), ("rx", 2, 1), ("rz", 0, 2), ("cz", 1, 2),
         ("p", 1, 1)]
TERMS = [(1.5, [("Z", 1)]), (-0.75, [("X", 0), ("Y", 2)]), (0.25, [])]

METHODS = ["statevector_buffer", "statevector", "expectation", "expectation_buffer", "gradient",
           "gradient_buffer", "value_and_gradient", "value_and_gradient_buffer", "adjoint_value_and_gradient"]


@pytest.fixture(scope="module")
def setup():
    circuit = build(3, ITEMS, 3)
    rows = np.random.default_rng(11).uniform(-3, 3, size=(4, 3)).astype(np.float32)
    return circuit, make_observable(TERMS), rows


@pytest.mark.parametrize("name", METHODS)
def test_method_texts(name):
    method = getattr(ExecutionContext, name)
    obs = "" if name.startswith("statevector") else ", observable"
    assert method.__text_signature__ == f"($self, circuit, params{obs})"
    assert method.__doc__ is None


def test_class_surface():
    assert [m for m in vars(ExecutionContext) if not m.startswith("__")] == METHODS
    assert ExecutionContext.__doc__ == ("Reusable execution buffer for repeated scalar "
                                        "compiled-circuit calls.")
    with pytest.raises(TypeError, match="^No constructor defined$"):
        ExecutionContext()


def call(receiver, circuit, name, params, obs):
    """Calls a context method (receiver = context) or a circuit method (receiver = circuit)."""
    if name.endswith("_buffer"):
        params = fill(circuit, params)
    extra = () if name.startswith("statevector") else (obs,)
    lead = () if receiver is circuit else (circuit,)
    return getattr(receiver, name)(*lead, params, *extra)


@pytest.mark.parametrize("name", METHODS)
def test_equals_compiled_circuit(setup, name):
    circuit, obs, rows = setup
    ctx = circuit.execution_context()
    plain = name.removesuffix("_buffer")
    for row in list(rows) + list(rows[::-1]):  # reuse in both orders: nothing leaks between calls
        expected = call(circuit, circuit, plain, row, obs)
        got = call(ctx, circuit, name, row, obs)
        assert same(got, expected)


def test_statevector_returns_copies(setup):
    circuit, obs, rows = setup
    ctx = circuit.execution_context()
    first = ctx.statevector(circuit, rows[0])
    kept = first.copy()
    second = ctx.statevector_buffer(circuit, fill(circuit, rows[1]))
    ctx.value_and_gradient(circuit, rows[2], obs)
    assert not np.array_equal(first, second)
    assert np.array_equal(first, kept)
    assert first.flags.writeable and second.flags.writeable


def test_context_adopts_each_circuit_width(setup):
    circuit, obs, rows = setup
    small = build(2, [("ry", 0, 0), ("cx", 0, 1), ("rx", 1, 1), ("p", 0, 2)], 3)
    ctx = circuit.execution_context()
    for c, size in [(small, 4), (circuit, 8), (small, 4)]:
        got = ctx.statevector(c, rows[1])
        assert got.shape == (size,) and same(got, c.statevector(rows[1]))
        z = Observable.pauli_z(1)
        assert same(ctx.value_and_gradient_buffer(c, fill(c, rows[1]), z),
                    c.value_and_gradient(rows[1], z))


@pytest.mark.parametrize("bad, exc, message", [
    (lambda ctx, c, o, p: ctx.expectation(c, p[:2], o), ValueError,
     "parameter vector has length 2, expected 3"),
    (lambda ctx, c, o, p: ctx.gradient(c, np.zeros((1, 3)), o), TypeError,
     "params must be convertible to a 1D numpy float32 array"),
    (lambda ctx, c, o, p: ctx.value_and_gradient(c, p, Observable.pauli_y(4)), ValueError,
     "observable references qubit 4 but state vector only has 3 qubits"),
    (lambda ctx, c, o, p: ctx.expectation_buffer(c, build(1, [], 2).param_buffer(), o),
     ValueError, "param_buffer has length 2, expected 3"),
    (lambda ctx, c, o, p: ctx.statevector(c.param_buffer(), p), TypeError,
     "argument 'circuit': 'ParamBuffer' object cannot be converted to 'CompiledCircuit'"),
    (lambda ctx, c, o, p: ctx.expectation(c, "bad params", 5), TypeError,
     "argument 'observable': 'int' object cannot be converted to 'Observable'"),
    (lambda ctx, c, o, p: ctx.gradient_buffer(c, list(p), 5), TypeError,
     "argument 'params': 'list' object cannot be converted to 'ParamBuffer'"),
    (lambda ctx, c, o, p: ctx.statevector_buffer(c, p), TypeError,
     "argument 'params': 'ndarray' object cannot be converted to 'ParamBuffer'"),
    (lambda ctx, c, o, p: ctx.gradient(c, p), TypeError,
     "ExecutionContext.gradient() missing 1 required positional argument: 'observable'"),
])
def test_failures_leave_context_usable(setup, bad, exc, message):
    circuit, obs, rows = setup
    ctx = circuit.execution_context()
    with pytest.raises(exc) as info:
        bad(ctx, circuit, obs, rows[0])
    assert type(info.value) is exc and str(info.value) == message
    assert same(ctx.value_and_gradient(circuit, rows[0], obs),
                circuit.value_and_gradient(rows[0], obs))


class Reentrant:
    """An array-like whose conversion calls back into the module."""

    def __init__(self, values, callback):
        self.values, self.callback, self.error = values, callback, None

    def __array__(self, dtype=None, copy=None):
        try:
            self.callback()
        except RuntimeError as e:
            self.error = e
        return np.asarray(self.values, dtype=dtype)


def test_reentrant_call_on_busy_context(setup):
    circuit, obs, rows = setup
    ctx, other = circuit.execution_context(), circuit.execution_context()
    inner = []
    busy = Reentrant(rows[0], lambda: ctx.expectation(circuit, rows[1], obs))
    free = Reentrant(rows[0], lambda: inner.append(other.expectation(circuit, rows[1], obs)))
    assert same(ctx.expectation(circuit, busy, obs), circuit.expectation(rows[0], obs))
    assert str(busy.error) == "Already borrowed"
    # the circuit is only shared-borrowed, and another context is independent
    assert same(ctx.expectation(circuit, free, obs), circuit.expectation(rows[0], obs))
    assert inner == [circuit.expectation(rows[1], obs)]


def test_results_outlive_context(setup):
    circuit, obs, rows = setup
    ctx = circuit.execution_context()
    results = [ctx.statevector(circuit, rows[0]), ctx.gradient(circuit, rows[0], obs),
               ctx.value_and_gradient_buffer(circuit, fill(circuit, rows[0]), obs)[1]]
    copies = [r.copy() for r in results]
    del ctx
    gc.collect()
    for r, c in zip(results, copies):
        assert r.flags.writeable and np.array_equal(r, c)


def test_busy_context_refuses_a_second_thread():
    n, count = 18, 48
    items = [("h", q) for q in range(n)] + [("ry", k % n, k) for k in range(count)]
    big = build(n, items, count)
    obs = Observable.pauli_z(0)
    params = np.linspace(-1, 1, count, dtype=np.float32)
    ctx, other = big.execution_context(), big.execution_context()
    small = build(n, [("rx", 0, 0)], count)
    probe = fill(small, params)
    outcome = {}

    def long_call():
        outcome["result"] = ctx.value_and_gradient(big, params, obs)

    worker = threading.Thread(target=long_call)
    worker.start()
    conflict = None
    deadline = time.monotonic() + 60
    while worker.is_alive() and time.monotonic() < deadline:
        try:
            # the buffer form keeps the interpreter lock, so while it runs the worker
            # cannot take the borrow; it fails only once the worker holds it
            ctx.expectation_buffer(small, probe, obs)
        except RuntimeError as e:
            conflict = e
            other_value = other.expectation_buffer(small, probe, obs)
            break
        time.sleep(0.001)
    worker.join()
    if conflict is None:
        pytest.skip("the long call finished before a second call could overlap it")
    assert str(conflict) == "Already borrowed"
    assert other_value == small.expectation(params, obs)
    assert outcome["result"][0] == big.expectation(params, obs)


LEAK_CALLS = [(name, form) for name in ("statevector", "expectation", "gradient",
                                         "value_and_gradient") for form in ("", "_buffer")]


@pytest.mark.parametrize("name, form", LEAK_CALLS)
def test_no_reference_leak(name, form):
    circuit = build(1, [("ry", 0, 0)], 1)
    ctx = circuit.execution_context()
    obs = Observable.pauli_z(0)
    p = np.array([0.3], np.float32)
    params = fill(circuit, p) if form else p
    method = getattr(ctx, name + form)
    args = (circuit, params) if name == "statevector" else (circuit, params, obs)
    bad = (circuit, np.zeros(2, np.float32)) + args[2:]
    for _ in range(200):
        method(*args)
    gc.collect()
    counts = [sys.getrefcount(a) for a in (ctx, *args)]
    objects = len(gc.get_objects())
    for _ in range(10_000):
        method(*args)
        if not form:
            with pytest.raises(ValueError):
                method(*bad)
    gc.collect()
    assert [sys.getrefcount(a) for a in (ctx, *args)] == counts
    assert len(gc.get_objects()) - objects < 100
