"""CompiledCircuit and the parameter buffers: surface, plain against buffer
forms, batches against single calls, conversions, messages, and values against
the float32 reference model."""

import gc
import sys
import threading
import tracemalloc

import numpy as np
import pytest

import reference as ref
from compiled_helpers import build, fill, fill_batch, make_observable, same
from vantelo import CircuitSpec, CompiledCircuit, Gate, Observable, ParamBatchBuffer, ParamBuffer

ITEMS = [("ry", 0, 0), ("rx", 1, 1), ("h", 2), ("cx", 0, 1), ("rz", 2, 2), ("p", 0, 1),
         ("cz", 2, 0), ("ry", 1, 2)]
TERMS = [(0.5, [("Z", 0)]), (-1.25, [("X", 1), ("Y", 2)]), (2.0, [("Z", 0), ("Z", 2)])]






@pytest.fixture(scope="module")
def setup():
    circuit = build(3, ITEMS, 3)
    obs = make_observable(TERMS)
    rng = np.random.default_rng(7)
    batch = rng.uniform(-np.pi, np.pi, size=(6, 3)).astype(np.float32)
    return circuit, obs, batch


METHODS = {
    "statevector": "(params)", "expectation": "(params, observable)",
    "batch_expectation": "(params_batch, observable)", "param_buffer": "()",
    "param_batch_buffer": "(batch_size)", "statevector_buffer": "(params)",
    "expectation_buffer": "(params, observable)", "gradient": "(params, observable)",
    "gradient_buffer": "(params, observable)", "value_and_gradient": "(params, observable)",
    "value_and_gradient_buffer": "(params, observable)",
    "batch_gradient": "(params_batch, observable)",
    "batch_expectation_buffer": "(params_batch, observable)",
    "batch_gradient_buffer": "(params_batch, observable)",
    "batch_value_and_gradient": "(params_batch, observable)",
    "batch_value_and_gradient_buffer": "(params_batch, observable)", "execution_context": "()",
    "adjoint_value_and_gradient": "(params, observable)",
    "adjoint_value_and_gradient_buffer": "(params, observable)",
    "batch_adjoint_value_and_gradient": "(params_batch, observable)",
    "batch_adjoint_value_and_gradient_buffer": "(params_batch, observable)",
    "batch_statevector": "(params_batch)",
    "trajectory_expectation": "(params, observable, trajectories, seed=None)",
    "trajectory_expectation_buffer": "(params, observable, trajectories, seed=None)",
    "trajectory_values": "(params, observable, trajectories, seed, first=0)",
    "batch_trajectory_expectation": "(params_batch, observable, trajectories, seed=None)",
    "batch_trajectory_expectation_buffer": "(params_batch, observable, trajectories, seed=None)",
    "density_matrix": "(params)",
    "density_expectation": "(params, observable)",
}
DOCS = {"param_buffer": "Allocate a reusable parameter buffer backed by a NumPy array.",
        "param_batch_buffer": "Allocate a reusable parameter batch buffer backed by a NumPy array.",
        "batch_statevector": "Final state vectors of every row, as a (rows, 2**num_qubits) complex64 array."}
PROPERTIES = [
    (CompiledCircuit, "num_qubits", "Number of qubits in the compiled circuit."),
    (CompiledCircuit, "parameter_count", "Number of parameters expected in each bound parameter vector."),
    (ParamBuffer, "size", "Number of parameters stored in the buffer."),
    (ParamBatchBuffer, "batch_size", "Number of parameter vectors stored in the batch buffer."),
    (ParamBatchBuffer, "parameter_count", "Number of parameters in each row of the batch buffer."),
]


@pytest.mark.parametrize("name", METHODS)
def test_method_texts(name):
    method = getattr(CompiledCircuit, name)
    sig = METHODS[name]
    assert method.__text_signature__ == "($self" + (", " + sig[1:] if sig != "()" else ")")
    assert method.__doc__ == DOCS.get(name)


def test_member_order_and_class_texts():
    # the interpreter lists a type's methods before its properties
    assert [m for m in vars(CompiledCircuit) if not m.startswith("__")] == [
        *METHODS, "num_qubits", "parameter_count"]
    assert [m for m in vars(ParamBuffer) if not m.startswith("__")] == ["numpy", "size"]
    assert [m for m in vars(ParamBatchBuffer) if not m.startswith("__")] == [
        "numpy", "batch_size", "parameter_count"]
    assert ParamBuffer.numpy.__doc__ == "Return the writable NumPy array backing this buffer."
    assert ParamBatchBuffer.numpy.__doc__ == ("Return the writable NumPy array backing this "
                                              "batch buffer.")
    assert ParamBuffer.numpy.__text_signature__ == "($self)"
    for cls in (CompiledCircuit, ParamBuffer, ParamBatchBuffer):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()


@pytest.mark.parametrize("cls, name, doc", PROPERTIES)
def test_properties_read_only(setup, cls, name, doc):
    circuit = setup[0]
    obj = {CompiledCircuit: circuit, ParamBuffer: circuit.param_buffer(),
           ParamBatchBuffer: circuit.param_batch_buffer(2)}[cls]
    assert getattr(cls, name).__doc__ == doc
    with pytest.raises(AttributeError):
        setattr(obj, name, 1)


def test_buffers(setup):
    circuit, obs, batch = setup
    assert (circuit.num_qubits, circuit.parameter_count) == (3, 3)
    buf = circuit.param_buffer()
    arr = buf.numpy()
    assert buf.numpy() is arr and buf.size == 3
    assert arr.dtype == np.float32 and arr.shape == (3,) and arr.flags.c_contiguous
    assert not arr.any() and arr.flags.writeable
    bb = circuit.param_batch_buffer(batch_size=4)
    assert (bb.batch_size, bb.parameter_count) == (4, 3)
    assert bb.numpy() is bb.numpy() and bb.numpy().shape == (4, 3) and not bb.numpy().any()
    with pytest.raises(OverflowError):
        circuit.param_batch_buffer(-1)
    # writes into the array are what the next call reads
    before = circuit.expectation_buffer(buf, obs)
    arr[:] = batch[0]
    assert circuit.expectation_buffer(buf, obs) == circuit.expectation(batch[0], obs) != before








SCALAR = ["statevector", "expectation", "gradient", "value_and_gradient", "adjoint_value_and_gradient"]
BATCH = ["batch_expectation", "batch_gradient", "batch_value_and_gradient"]


@pytest.mark.parametrize("method", SCALAR)
@pytest.mark.parametrize("row", range(6))
def test_plain_equals_buffer(setup, method, row):
    circuit, obs, batch = setup
    extra = () if method == "statevector" else (obs,)
    plain = getattr(circuit, method)(batch[row], *extra)
    buffered = getattr(circuit, method + "_buffer")(fill(circuit, batch[row]), *extra)
    assert same(plain, buffered)


@pytest.mark.parametrize("method", BATCH)
@pytest.mark.parametrize("rows", [0, 1, 6])
def test_batch_forms_and_rows(setup, method, rows):
    circuit, obs, batch = setup
    block = batch[:rows]
    plain = getattr(circuit, method)(block, obs)
    assert same(plain, getattr(circuit, method + "_buffer")(fill_batch(circuit, block), obs))
    values, grads = circuit.batch_value_and_gradient(block, obs)
    assert values.shape == (rows,) and grads.shape == (rows, 3)
    assert values.dtype == grads.dtype == np.float32
    for r in range(rows):
        v, g = circuit.value_and_gradient(block[r], obs)
        assert same(np.float32(v), values[r]) and same(g, grads[r])


@pytest.mark.parametrize("row", range(3))
def test_values_match_reference(setup, row):
    circuit, obs, batch = setup
    p = batch[row]
    assert np.allclose(circuit.statevector(p), ref.run(3, ITEMS, p), rtol=0, atol=1e-6)
    value, grad = ref.value_and_gradient(3, ITEMS, p, TERMS)
    got_v, got_g = circuit.value_and_gradient(p, obs)
    assert got_v == pytest.approx(float(value), abs=2e-6)
    assert np.allclose(got_g, grad, rtol=0, atol=2e-6)


@pytest.mark.parametrize("params", [lambda p: list(map(float, p)), tuple,
                                    lambda p: p.astype(np.float64), lambda p: p[::-1].copy()[::-1]])
def test_parameter_conversions(setup, params):
    circuit, obs, batch = setup
    assert circuit.expectation(params(batch[1]), obs) == circuit.expectation(batch[1], obs)
    assert same(circuit.batch_gradient(batch.astype(np.float64).tolist(), obs),
                circuit.batch_gradient(batch, obs))


@pytest.mark.parametrize("call, exc, message", [
    (lambda c, o, b: c.expectation(np.zeros((1, 3)), o), TypeError,
     "params must be convertible to a 1D numpy float32 array"),
    (lambda c, o, b: c.statevector(1.0), ValueError, "parameter vector has length 1, expected 3"),
    # NumPy reads None as one NaN
    (lambda c, o, b: c.expectation(None, o), TypeError, "params must be convertible to a 1D numpy float32 array"),
    (lambda c, o, b: c.batch_expectation(None, o), TypeError,
     "params_batch must be convertible to a 2D numpy float32 array"),
    (lambda c, o, b: c.batch_expectation(np.zeros(3), o), TypeError,
     "params_batch must be convertible to a 2D numpy float32 array"),
    (lambda c, o, b: c.batch_gradient([[1, 2], [3]], o), ValueError, None),
    (lambda c, o, b: c.batch_value_and_gradient(np.zeros((4, 2)), o), ValueError,
     "params_batch has width 2, expected 3"),
    (lambda c, o, b: c.gradient([0.0, 1.0], o), ValueError, "parameter vector has length 2, expected 3"),
    (lambda c, o, b: c.adjoint_value_and_gradient([0.0, 1.0], o), ValueError,
     "parameter vector has length 2, expected 3"),
    (lambda c, o, b: c.batch_adjoint_value_and_gradient(np.zeros((4, 2)), o), ValueError,
     "params_batch has width 2, expected 3"),
    (lambda c, o, b: c.adjoint_value_and_gradient_buffer(c.param_buffer(), Observable.pauli_z(3)),
     ValueError, "observable references qubit 3 but state vector only has 3 qubits"),
    (lambda c, o, b: c.expectation([0.0, 0.0, 0.0], Observable.pauli_z(3)), ValueError,
     "observable references qubit 3 but state vector only has 3 qubits"),
    (lambda c, o, b: c.batch_expectation(np.zeros((0, 3)), Observable.pauli_x(5)), ValueError,
     "observable references qubit 5 but state vector only has 3 qubits"),
    # argument types are checked before any parameter conversion
    (lambda c, o, b: c.expectation("bad params", 5), TypeError,
     "argument 'observable': 'int' object cannot be converted to 'Observable'"),
    (lambda c, o, b: c.batch_gradient("bad", "x"), TypeError,
     "argument 'observable': 'str' object cannot be converted to 'Observable'"),
    (lambda c, o, b: c.expectation_buffer([0.0] * 3, 5), TypeError,
     "argument 'params': 'list' object cannot be converted to 'ParamBuffer'"),
    (lambda c, o, b: c.batch_gradient_buffer(c.param_buffer(), o), TypeError,
     "argument 'params_batch': 'ParamBuffer' object cannot be converted to 'ParamBatchBuffer'"),
    (lambda c, o, b: c.gradient_buffer(build(1, [], 2).param_buffer(), o), ValueError,
     "param_buffer has length 2, expected 3"),
    (lambda c, o, b: c.batch_expectation_buffer(build(1, [], 4).param_batch_buffer(2), o),
     ValueError, "param_batch_buffer has width 4, expected 3"),
])
def test_failures(setup, call, exc, message):
    circuit, obs, batch = setup
    with pytest.raises(exc) as info:
        call(circuit, obs, batch)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_buffer_resized_in_place_reports_core_length():
    circuit = build(1, [("rx", 0, 0), ("ry", 0, 1)], 2)
    buf = circuit.param_buffer()
    buf.numpy().resize(3, refcheck=False)
    assert buf.size == 2
    with pytest.raises(ValueError, match="^parameter vector has length 3, expected 2$"):
        circuit.statevector_buffer(buf)
    batch = circuit.param_batch_buffer(2)
    batch.numpy().resize((3, 2), refcheck=False)
    assert (batch.batch_size, batch.parameter_count) == (2, 2)
    with pytest.raises(ValueError) as info:
        circuit.batch_expectation_buffer(batch, Observable.pauli_z(0))
    assert str(info.value) == "parameter batch contains 6 values, expected 4 for shape (2, 2)"


def test_buffer_works_with_any_circuit_of_same_count(setup):
    circuit, obs, batch = setup
    other = build(3, [("rx", 2, 0), ("ry", 1, 2), ("rz", 0, 1)], 3)
    buf = fill(other, batch[2])
    assert other.expectation_buffer(buf, obs) == other.expectation(batch[2], obs)
    assert circuit.expectation_buffer(buf, obs) == circuit.expectation(batch[2], obs)


def test_circuit_without_parameters():
    circuit = build(2, [("h", 0), ("cx", 0, 1)], 0)
    obs = Observable.pauli_string([("X", 0), ("X", 1)])
    assert circuit.gradient([], obs).shape == (0,)
    value, grad = circuit.value_and_gradient(np.zeros(0), obs)
    assert value == pytest.approx(1.0, abs=1e-6) and grad.dtype == np.float32 and grad.size == 0
    for rows in (0, 3):
        g = circuit.batch_gradient(np.zeros((rows, 0)), obs)
        assert g.shape == (rows, 0) and g.dtype == np.float32
        values, g2 = circuit.batch_value_and_gradient_buffer(circuit.param_batch_buffer(rows), obs)
        assert values.shape == (rows,) and g2.shape == (rows, 0)
        assert np.all(values == np.float32(value))
    with pytest.raises(ValueError, match="^parameter vector has length 1, expected 0$"):
        circuit.expectation([0.0], obs)


@pytest.mark.parametrize("method", ["statevector", "expectation", "gradient", "value_and_gradient"])
def test_none_is_no_parameter_vector(method):
    circuit = build(1, [("rx", 0, 0)], 1)
    args = () if method == "statevector" else (Observable.pauli_z(0),)
    with pytest.raises(TypeError, match="^params must be convertible to a 1D numpy float32 array$"):
        getattr(circuit, method)(None, *args)


# Parameter-free rows of a plan that measures or resets are independent runs:
# Z on the random qubit is ±1 per row, about half of each.
@pytest.mark.parametrize("last", ["measure", "reset"])
@pytest.mark.parametrize("method", ["batch_expectation", "batch_value_and_gradient"])
def test_parameter_free_random_rows_are_independent(last, method):
    spec = CircuitSpec(2)
    spec.h(0)
    spec.cx(0, 1)
    spec.gate(getattr(Gate, last)(0))
    rows = 1000
    values = getattr(spec.compile(), method)(np.zeros((rows, 0)), Observable.pauli_z(1))
    values = values[0] if method == "batch_value_and_gradient" else values
    assert set(values.tolist()) == {-1.0, 1.0}
    assert abs(int(np.sum(values == 1.0)) - rows / 2) < 5 * np.sqrt(rows) / 2


@pytest.mark.parametrize("rot", ["rx", "ry"])
@pytest.mark.parametrize("theta", [-2.5, -0.3, 0.0, 0.8, 3.14159265])
def test_analytic_rotation_then_z(rot, theta):
    circuit = build(1, [(rot, 0, 0)], 1)
    value, grad = circuit.value_and_gradient([theta], Observable.pauli_z(0))
    assert value == pytest.approx(np.cos(theta), abs=1e-6)
    assert grad[0] == pytest.approx(-np.sin(theta), abs=1e-6)


@pytest.mark.parametrize("theta", [-1.0, 0.4, 2.0])
def test_analytic_h_phase_x(theta):
    circuit = build(1, [("h", 0), ("p", 0, 0)], 2)  # slot 1 is used by no item
    value, grad = circuit.value_and_gradient([theta, 5.0], Observable.pauli_x(0))
    assert value == pytest.approx(np.cos(theta), abs=1e-6)
    assert grad[0] == pytest.approx(-np.sin(theta), abs=1e-6) and grad[1] == 0.0


def test_rx_pi_state():
    circuit = build(1, [("rx", 0, 0)], 1)
    state = circuit.statevector([3.14159265])
    assert state.dtype == np.complex64 and np.allclose(state, [0, -1j], atol=1e-6)


def test_results_outlive_their_producers():
    circuit = build(2, [("ry", 0, 0), ("cx", 0, 1)], 1)
    obs = Observable.pauli_z(1)
    buf = fill(circuit, np.array([0.5], np.float32))
    results = [circuit.statevector_buffer(buf), circuit.gradient([0.5], obs),
               circuit.batch_expectation([[0.5], [1.0]], obs),
               *circuit.batch_value_and_gradient([[0.5]], obs)]
    copies = [r.copy() for r in results]
    del circuit, obs, buf
    gc.collect()
    for r, c in zip(results, copies):
        assert r.flags.writeable and np.array_equal(r, c)
        r[...] = 0
        assert not r.any()


def test_threads_share_one_circuit(setup):
    circuit, obs, batch = setup
    expected = [circuit.value_and_gradient(row, obs) for row in batch]
    failures = []

    def worker(k):
        for i in range(20):
            r = (k + i) % len(batch)
            if not same(circuit.value_and_gradient(batch[r], obs), expected[r]):
                failures.append((k, r))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


LEAK_CALLS = {
    "statevector": lambda c, o, p, b, pb, bb: c.statevector(p),
    "statevector_buffer": lambda c, o, p, b, pb, bb: c.statevector_buffer(pb),
    "expectation": lambda c, o, p, b, pb, bb: c.expectation(p, o),
    "expectation_buffer": lambda c, o, p, b, pb, bb: c.expectation_buffer(pb, o),
    "gradient": lambda c, o, p, b, pb, bb: c.gradient(p, o),
    "gradient_buffer": lambda c, o, p, b, pb, bb: c.gradient_buffer(pb, o),
    "value_and_gradient": lambda c, o, p, b, pb, bb: c.value_and_gradient(p, o),
    "value_and_gradient_buffer": lambda c, o, p, b, pb, bb: c.value_and_gradient_buffer(pb, o),
    "batch_expectation": lambda c, o, p, b, pb, bb: c.batch_expectation(b, o),
    "batch_expectation_buffer": lambda c, o, p, b, pb, bb: c.batch_expectation_buffer(bb, o),
    "batch_gradient": lambda c, o, p, b, pb, bb: c.batch_gradient(b, o),
    "batch_gradient_buffer": lambda c, o, p, b, pb, bb: c.batch_gradient_buffer(bb, o),
    "batch_value_and_gradient": lambda c, o, p, b, pb, bb: c.batch_value_and_gradient(b, o),
    "batch_value_and_gradient_buffer":
        lambda c, o, p, b, pb, bb: c.batch_value_and_gradient_buffer(bb, o),
    "adjoint_value_and_gradient": lambda c, o, p, b, pb, bb: c.adjoint_value_and_gradient(p, o),
    "adjoint_value_and_gradient_buffer":
        lambda c, o, p, b, pb, bb: c.adjoint_value_and_gradient_buffer(pb, o),
    "batch_adjoint_value_and_gradient":
        lambda c, o, p, b, pb, bb: c.batch_adjoint_value_and_gradient(b, o),
    "batch_adjoint_value_and_gradient_buffer":
        lambda c, o, p, b, pb, bb: c.batch_adjoint_value_and_gradient_buffer(bb, o),
    "adjoint_wrong_length":
        lambda c, o, p, b, pb, bb: pytest.raises(ValueError, c.adjoint_value_and_gradient, b[:, 0], o),
    "param_buffer": lambda c, o, p, b, pb, bb: c.param_buffer().numpy(),
    "param_batch_buffer": lambda c, o, p, b, pb, bb: c.param_batch_buffer(2).numpy(),
    "execution_context": lambda c, o, p, b, pb, bb: c.execution_context(),
    "wrong_length": lambda c, o, p, b, pb, bb: pytest.raises(ValueError, c.gradient, b[:, 0], o),
    "wrong_shape": lambda c, o, p, b, pb, bb: pytest.raises(TypeError, c.gradient, b, o),
    "wrong_type": lambda c, o, p, b, pb, bb: pytest.raises(TypeError, c.batch_gradient, b, p),
}


@pytest.mark.parametrize("name", LEAK_CALLS)
def test_no_reference_leak(name):
    circuit = build(1, [("ry", 0, 0)], 1)
    obs = Observable.pauli_z(0)
    p = np.array([0.3], np.float32)
    b = np.array([[0.3], [0.6]], np.float32)
    pb, bb = fill(circuit, p), fill_batch(circuit, b)
    args = (circuit, obs, p, b, pb, bb)
    call = LEAK_CALLS[name]
    for _ in range(200):
        call(*args)
    gc.collect()
    counts = [sys.getrefcount(a) for a in args]
    objects = len(gc.get_objects())
    tracemalloc.start()
    start = tracemalloc.get_traced_memory()[0]
    for _ in range(10_000):
        call(*args)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - start
    tracemalloc.stop()
    assert [sys.getrefcount(a) for a in args] == counts
    assert len(gc.get_objects()) - objects < 100
    assert grown < 100_000
