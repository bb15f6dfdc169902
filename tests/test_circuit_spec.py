"""Parameter and CircuitSpec: surface, builder checks and their order, and the
compiled result of each builder method against the float32 reference model."""

import numpy as np
import pytest

import reference as ref
from vantelo import Circuit, CircuitSpec, Gate, Parameter

SPEC_METHODS = {
    "param": "($self, name=None)", "x": "($self, target)", "h": "($self, target)",
    "z": "($self, target)", "cnot": "($self, control, target)", "cx": "($self, control, target)",
    "cz": "($self, control, target)", "rx": "($self, target, param)",
    "ry": "($self, target, param)", "rz": "($self, target, param)", "p": "($self, target, param)",
    "compile": "($self)",
    "gate": "($self, gate)",
}
SPEC_DOCS = {"param": "Register a new symbolic parameter and return its handle.",
             "compile": "Compile the circuit specification into a reusable execution plan.",
             "gate": "Append a copy of a fixed vantelo.Gate (unitary, measurement, reset or barrier)."}
PROPERTIES = [
    (Parameter, "index", "Stable zero-based slot used when binding parameter vectors."),
    (Parameter, "name", "Optional user-provided parameter name."),
    (CircuitSpec, "num_qubits", "Number of qubits declared for the circuit specification."),
    (CircuitSpec, "parameter_count",
     "Number of symbolic parameters currently registered on the specification."),
]


@pytest.mark.parametrize("name", SPEC_METHODS)
def test_method_texts(name):
    method = getattr(CircuitSpec, name)
    assert method.__text_signature__ == SPEC_METHODS[name]
    assert method.__doc__ == SPEC_DOCS.get(name)


def test_member_order_and_class_texts():
    # the interpreter lists a type's methods before its properties
    members = [m for m in vars(CircuitSpec) if not m.startswith("__")]
    assert members == [*SPEC_METHODS, "num_qubits", "parameter_count"]
    assert CircuitSpec.__doc__ == "Builder for reusable parameterized circuit structure."
    assert CircuitSpec.__text_signature__ == "(num_qubits)"
    assert Parameter.__doc__ == ("Symbolic parameter handle used when building a compiled "
                                 "circuit specification.")
    with pytest.raises(TypeError, match="^No constructor defined$"):
        Parameter()


@pytest.mark.parametrize("cls, name, doc", PROPERTIES)
def test_properties_are_read_only(cls, name, doc):
    assert getattr(cls, name).__doc__ == doc
    spec = CircuitSpec(2)
    obj = spec if cls is CircuitSpec else spec.param("a")
    with pytest.raises(AttributeError):
        setattr(obj, name, 1)


def test_width_and_parameters():
    with pytest.raises(ValueError) as info:
        CircuitSpec(0)
    assert str(info.value) == "compiled circuits must have at least one qubit"
    spec = CircuitSpec(num_qubits=1)
    assert (spec.num_qubits, spec.parameter_count) == (1, 0)
    a, b, c = spec.param(), spec.param("theta"), spec.param(name=None)
    assert [p.index for p in (a, b, c)] == [0, 1, 2] and spec.parameter_count == 3
    assert (a.name, b.name, c.name) == (None, "theta", None)
    assert repr(a) == "Parameter(index=0)"
    assert repr(b) == "Parameter(index=1, name='theta')"
    assert repr(spec.param("it's")) == "Parameter(index=3, name='it's')"
    with pytest.raises(TypeError) as info:
        spec.param(5)
    assert str(info.value) == "argument 'name': 'int' object cannot be converted to 'PyString'"
    assert spec.parameter_count == 4
    del spec
    assert b.index == 1 and b.name == "theta"  # handles outlive their builder


@pytest.mark.parametrize("call, exc, message", [
    (lambda s, p: s.x(2), ValueError, "qubit index 2 is out of range for 2 qubits"),
    (lambda s, p: s.h(7), ValueError, "qubit index 7 is out of range for 2 qubits"),
    (lambda s, p: s.z(target=2), ValueError, "qubit index 2 is out of range for 2 qubits"),
    (lambda s, p: s.cz(1, 1), ValueError, "duplicate qubit index: 1"),
    (lambda s, p: s.cnot(5, 5), ValueError, "duplicate qubit index: 5"),
    (lambda s, p: s.cnot(2, 0), ValueError, "qubit index 2 is out of range for 2 qubits"),
    (lambda s, p: s.cx(3, 4), ValueError, "qubit index 3 is out of range for 2 qubits"),
    (lambda s, p: s.cz(0, 2), ValueError, "qubit index 2 is out of range for 2 qubits"),
    (lambda s, p: s.rx(0, 0.5), TypeError,
     "argument 'param': 'float' object cannot be converted to 'Parameter'"),
    (lambda s, p: s.ry(2, p[1]), ValueError, "qubit index 2 is out of range for 2 qubits"),
    (lambda s, p: s.rz(0, p[1]), ValueError, "parameter slot 1 does not exist in this circuit spec"),
    # the target is tested before the slot
    (lambda s, p: s.p(9, p[1]), ValueError, "qubit index 9 is out of range for 2 qubits"),
    (lambda s, p: s.rx(-1, p[0]), OverflowError, None),
    (lambda s, p: s.x(1.0), TypeError, "argument 'target': "),
    (lambda s, p: s.cx("a", 0), TypeError, "argument 'control': "),
])
def test_builder_failures_leave_spec_unchanged(call, exc, message):
    other = CircuitSpec(1)
    handles = [other.param(), other.param()]
    spec = CircuitSpec(2)
    spec.param()
    with pytest.raises(exc) as info:
        call(spec, handles)
    if message is not None:
        assert str(info.value) == message or (message.endswith(": ")
                                             and str(info.value).startswith(message))
    assert spec.parameter_count == 1
    # nothing was appended: the plan is still the identity
    state = spec.compile().statevector([0.3])
    assert np.array_equal(state, ref.zero_state(2))


def test_foreign_handle_uses_its_index():
    other = CircuitSpec(1)
    other.param()
    second = other.param()
    spec = CircuitSpec(1)
    spec.param()
    with pytest.raises(ValueError, match="^parameter slot 1 does not exist in this circuit spec$"):
        spec.rx(0, second)
    spec.param()
    assert spec.rx(0, second) is None
    compiled = spec.compile()
    state = compiled.statevector([0.0, 3.14159265])
    assert np.allclose(state, [0, -1j], atol=1e-6)


ONE_QUBIT = ["x", "h", "z"]
TWO_QUBIT = ["cnot", "cx", "cz"]
ROTATIONS = ["rx", "ry", "rz", "p"]


@pytest.mark.parametrize("gate", ONE_QUBIT + TWO_QUBIT + ROTATIONS)
@pytest.mark.parametrize("order", [(0, 1), (1, 0)])
def test_each_builder_method_matches_reference(gate, order):
    # prepare a state with every amplitude non-zero, then apply the gate under test
    prep = [("ry", 0, 0), ("ry", 1, 1), ("p", 1, 0)]
    if gate in ONE_QUBIT:
        item = (gate, order[0])
    elif gate in TWO_QUBIT:
        item = (gate, *order)
    else:
        item = (gate, order[0], 1)
    items = prep + [item]
    spec = CircuitSpec(2)
    handles = [spec.param(), spec.param()]
    for it in items:
        method = getattr(spec, it[0])
        result = method(it[1], handles[it[2]]) if it[0] in ROTATIONS else method(*it[1:])
        assert result is None
    params = np.array([0.9, -2.1], dtype=np.float32)
    got = spec.compile().statevector(params)
    assert got.dtype == np.complex64 and got.shape == (4,)
    assert np.allclose(got, ref.run(2, items, params), rtol=0, atol=1e-6)


def test_compile_snapshots_the_spec():
    spec = CircuitSpec(2)
    a = spec.param()
    spec.ry(0, a)
    first = spec.compile()
    spec.param()
    spec.x(1)
    second = spec.compile()
    assert (first.parameter_count, second.parameter_count) == (1, 2)
    assert np.allclose(first.statevector([0.0]), ref.zero_state(2), atol=0)
    assert np.allclose(second.statevector([0.0, 0.0]), [0, 0, 1, 0], atol=0)
    empty = CircuitSpec(3).compile()
    assert (empty.num_qubits, empty.parameter_count) == (3, 0)


class Reentrant:
    """An index whose conversion calls back into the builder being changed."""

    def __init__(self, callback):
        self.callback, self.error = callback, None

    def __index__(self):
        try:
            self.callback()
        except RuntimeError as e:
            self.error = e
        return 0


@pytest.mark.parametrize("callback, message", [
    (lambda s: s.h(0), "Already borrowed"),
    (lambda s: s.param(), "Already borrowed"),
    (lambda s: s.num_qubits, "Already mutably borrowed"),
    (lambda s: s.compile(), "Already mutably borrowed"),
])
def test_reentrant_builder_call_is_refused(callback, message):
    spec = CircuitSpec(1)
    index = Reentrant(lambda: callback(spec))
    assert spec.x(index) is None
    assert str(index.error) == message
    assert spec.parameter_count == 0
    assert np.array_equal(spec.compile().statevector([]), [0, 1])


def test_gate_appends_any_fixed_gate_as_a_one_off_circuit_would():
    gates = [Gate.h(0), Gate.ccx(0, 1, 2), Gate.u(1, 0.3, -0.2, 0.9), Gate.barrier(),
             Gate.x(2), Gate.measure(2), Gate.reset(2), Gate.mcp([0, 2], 1, 0.4)]
    spec = CircuitSpec(3)
    for gate in gates:
        assert spec.gate(gate) is None
    expected, record = Circuit(gates).run_with_measurements(3)
    assert record == [(2, 1)]
    np.testing.assert_allclose(spec.compile().statevector([]), expected, atol=1e-6)
    with pytest.raises(ValueError, match="qubit index 3 is out of range for 3 qubits"):
        spec.gate(Gate.measure(3))
    with pytest.raises(TypeError, match="argument 'gate'"):
        spec.gate("h")
