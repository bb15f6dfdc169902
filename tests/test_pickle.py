"""Pickling and copying: round trips of random objects give bit-identical
results, the refused classes say why, and crafted or mutated payloads raise
ValueError or TypeError only."""

import copy
import os
import pickle
import struct

import numpy as np
import pytest

import vantelo
from vantelo import Circuit, CircuitSpec, Gate, Observable
from compiled_helpers import same

hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies

N = 4
ROTATIONS = ("rx", "ry", "rz", "p")


def random_spec(rng, names=True):
    spec = CircuitSpec(N)
    params = [spec.param(f"θ{i}" if names and i % 2 else None) for i in range(3)]
    for _ in range(24):
        kind = rng.choice(["x", "h", "z", "cx", "cz", *ROTATIONS])
        q = int(rng.integers(N))
        if kind in ROTATIONS:
            getattr(spec, kind)(q, params[int(rng.integers(3))])
        elif kind in ("cx", "cz"):
            getattr(spec, kind)(q, (q + 1 + int(rng.integers(N - 1))) % N)
        else:
            getattr(spec, kind)(q)
    return spec, params


def random_gates(rng):
    """More than 15 one-qubit gates, so the circuit is stored fused."""
    gates = [Gate.u(int(rng.integers(N)), *rng.uniform(-3, 3, 3)) for _ in range(20)]
    gates += [Gate.cu(0, 2, *rng.uniform(-3, 3, 4)), Gate.mcx([0, 1, 3], 2), Gate.iswap(1, 3),
              Gate.unitary([3, 0], np.linalg.qr(rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4)))[0]),
              Gate.barrier()]
    rng.shuffle(gates)
    return gates


def random_observable(rng):
    return Observable.hamiltonian([
        Observable.pauli_string([(p, q) for q, p in enumerate(rng.choice(list("XYZ"), N)) if rng.random() < 0.7],
                                float(rng.normal()))
        for _ in range(4)])


COPIES = {
    "pickle": lambda o: pickle.loads(pickle.dumps(o, protocol=pickle.HIGHEST_PROTOCOL)),
    "pickle-0": lambda o: pickle.loads(pickle.dumps(o, protocol=0)),
    "deepcopy": copy.deepcopy,
    "copy": copy.copy,
}


@pytest.mark.parametrize("how", COPIES)
@pytest.mark.parametrize("seed", range(3))
def test_round_trips_give_bit_identical_results(how, seed):
    again = COPIES[how]
    rng = np.random.default_rng(seed)
    spec, params = random_spec(rng)
    compiled, observable = spec.compile(), random_observable(rng)
    batch = rng.uniform(-3, 3, (5, compiled.parameter_count)).astype(np.float32)
    c2, o2 = again(compiled), again(observable)
    assert same(compiled.batch_value_and_gradient(batch, observable), c2.batch_value_and_gradient(batch, o2))
    assert same(compiled.batch_expectation(batch, observable), c2.batch_expectation(batch, o2))
    assert same(compiled.statevector(batch[0]), again(spec).compile().statevector(batch[0]))
    for p in params:
        assert repr(again(p)) == repr(p)
    gates = random_gates(rng)
    circuit = Circuit(gates)
    assert same(circuit.run(N), again(circuit).run(N))
    assert same(circuit.run(N), Circuit([again(g) for g in gates]).run(N))
    # The byte form is stable: a restored object pickles to the same bytes.
    for obj in (compiled, observable, spec, circuit, gates[0], params[1]):
        assert type(again(obj)) is type(obj)
        assert again(obj).__reduce__() == obj.__reduce__()


def test_copied_spec_is_independent():
    spec, params = random_spec(np.random.default_rng(5))
    dup = copy.deepcopy(spec)
    dup.h(0)
    dup.param()
    assert spec.__reduce__() == pickle.loads(pickle.dumps(spec)).__reduce__() != dup.__reduce__()
    assert spec.parameter_count == 3 and dup.parameter_count == 4


def test_reconstructor_is_private_and_versioned():
    fn, (data,) = Gate.h(0).__reduce__()
    assert fn is vantelo._unpickle and "_unpickle" not in vantelo.__all__
    assert data[:4] == b"VNTL" and struct.unpack("<H", data[4:6]) == (2,)


def _local_objects():
    compiled = random_spec(np.random.default_rng(0))[0].compile()
    return {"ParamBuffer": compiled.param_buffer(), "ParamBatchBuffer": compiled.param_batch_buffer(2),
            "ExecutionContext": compiled.execution_context()}


@pytest.mark.parametrize("name", ["ParamBuffer", "ParamBatchBuffer", "ExecutionContext"])
@pytest.mark.parametrize("how", [pickle.dumps, copy.deepcopy, copy.copy])
def test_process_local_objects_refuse(name, how):
    with pytest.raises(TypeError, match=rf"^cannot pickle '{name}' object: buffers and execution "
                                        "contexts are process-local; pickle the CompiledCircuit"):
        how(_local_objects()[name])


def _payload(obj):
    return obj.__reduce__()[1][0]


def _u32(v):
    return struct.pack("<I", v)


HEAD = b"VNTL\x01\x00"
UNITARY = HEAD + b"\x00\x00"  # a Gate, then the unitary code
U = np.eye(2, dtype=np.complex64).tobytes()
CRAFTED = [
    (b"", "data is not a pickled vantelo object"),
    (b"PKL1\x01\x00\x00\x03", "data is not a pickled vantelo object"),
    (b"VNTL\x03\x00\x00\x03", "pickled vantelo data has format version 3; this build reads versions 1 to 2"),
    (b"VNTL\x00\x00\x00\x03", "pickled vantelo data has format version 0; this build reads versions 1 to 2"),
    (b"VNTL\x02\x00\x05\x02", "pickled vantelo data has an invalid list form code 2"),
    (HEAD + b"\x09", "pickled vantelo data has an invalid object code 9"),
    (HEAD + b"\x00\x07", "pickled vantelo data has an invalid gate code 7"),
    (HEAD + b"\x00\x03\x00", "pickled vantelo data has 1 unexpected trailing bytes"),
    (HEAD + b"\x00\x01\x00", "pickled vantelo data is truncated"),
    # A unitary claiming 2^32 - 1 targets, or 2^63 entries, in a few bytes.
    (UNITARY + _u32(0xFFFFFFFF), "pickled vantelo data is truncated"),
    (UNITARY + _u32(1) + _u32(0) + _u32(0) + struct.pack("<Q", 1 << 63), "pickled vantelo data is truncated"),
    (UNITARY + _u32(1) + _u32(0) + _u32(0) + struct.pack("<Q", 3) + U[:24],
     "matrix shape mismatch: expected 4 complex values for 1 targets, got 3"),
    (UNITARY + _u32(1) + _u32(0) + _u32(0) + struct.pack("<Q", 4) + U[:-8] + np.complex64(2).tobytes(),
     "matrix must be unitary within tolerance 1e-3"),
    (UNITARY + _u32(2) + _u32(1) + _u32(1) + _u32(0) + struct.pack("<Q", 16) + np.eye(4, dtype=np.complex64).tobytes(),
     "duplicate qubit index: 1"),
    # Stored controls are rebuilt with the checks of Gate.controlled_unitary.
    (UNITARY + _u32(1) + _u32(0) + _u32(1) + _u32(0) + struct.pack("<Q", 4) + U, "duplicate qubit index: 0"),
    (UNITARY + _u32(1) + _u32(0) + _u32(1) + _u32(2) + struct.pack("<Q", 4) + U[:-8] + np.complex64(2).tobytes(),
     "matrix must be unitary within tolerance 1e-3"),
    (HEAD + b"\x01" + _u32(0) + b"\x01" + _u32(1) + b"\xff", "pickled vantelo data has a parameter name that is not UTF-8"),
    (HEAD + b"\x01" + _u32(0) + b"\x02", "pickled vantelo data has an invalid name flag code 2"),
    (HEAD + b"\x02" + _u32(1) + struct.pack("<f", 1) + _u32(1) + _u32(0) + b"\x03",
     "pickled vantelo data has an invalid Pauli code 3"),
    (HEAD + b"\x02" + _u32(1) + struct.pack("<f", 1) + _u32(2) + _u32(4) + b"\x00" + _u32(4) + b"\x02",
     "duplicate qubit index: 4"),
    (HEAD + b"\x02" + _u32(0), "observable must contain at least one term"),
    (HEAD + b"\x03" + _u32(0) + _u32(0) + _u32(0), "compiled circuits must have at least one qubit"),
    (HEAD + b"\x03" + _u32(2) + _u32(0) + _u32(1) + b"\x01\x00" + _u32(0) + _u32(0),
     "parameter slot 0 does not exist in this circuit spec"),
    (HEAD + b"\x04" + _u32(0) + _u32(0) + _u32(0), "compiled circuits must have at least one qubit"),
    (HEAD + b"\x04" + _u32(2) + _u32(1) + _u32(1) + b"\x01\x04" + _u32(0) + _u32(0),
     "pickled vantelo data has an invalid rotation code 4"),
    (HEAD + b"\x04" + _u32(2) + _u32(1) + _u32(1) + b"\x01\x00" + _u32(2) + _u32(0),
     "qubit index 2 is out of range for 2 qubits"),
    (HEAD + b"\x04" + _u32(2) + _u32(1) + _u32(1) + b"\x01\x00" + _u32(1) + _u32(1),
     "parameter slot 1 does not exist in this circuit spec"),
    (HEAD + b"\x04" + _u32(2) + _u32(0) + _u32(1) + b"\x00\x01" + _u32(5),
     "qubit index 5 is out of range for 2 qubits"),
    (HEAD + b"\x04" + _u32(2) + _u32(0) + _u32(1) + b"\x02", "pickled vantelo data has an invalid item code 2"),
]


class _Crafted:
    def __init__(self, data):
        self.data = data

    def __reduce__(self):
        return vantelo._unpickle, (self.data,)


@pytest.mark.parametrize("data, message", CRAFTED)
def test_crafted_payloads_raise_value_error(data, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        vantelo._unpickle(data)
    with pytest.raises(ValueError, match=f"^{message}$"):
        pickle.loads(pickle.dumps(_Crafted(data)))


def test_stored_controls_build_the_controlled_gate():
    x = np.array([[0, 1], [1, 0]], np.complex64)
    gate = vantelo._unpickle(UNITARY + _u32(1) + _u32(0) + _u32(1) + _u32(2) + struct.pack("<Q", 4) + x.tobytes())
    assert same(Circuit([Gate.h(2), gate]).run(3), Circuit([Gate.h(2), Gate.controlled_unitary([2], [0], x)]).run(3))


def _barriers(kind):
    gates = [Gate.h(0), *[Gate.barrier()] * 50000, Gate.h(0), Gate.barrier()]
    if kind == "circuit":
        return Circuit(gates), lambda c: c.run(1)
    spec = CircuitSpec(1)
    for g in gates:
        spec.gate(g)
    return spec, lambda s: s.compile().statevector([])


@pytest.mark.parametrize("kind", ["circuit", "spec"])
def test_runs_of_barriers_are_restored_as_one(kind):
    # A stored barrier takes one byte and a restored gate far more; a run of
    # them acts as one barrier (it only keeps fusion from joining the h gates).
    obj, run = _barriers(kind)
    data = pickle.dumps(obj)
    restored = pickle.loads(data)
    assert same(run(restored), run(obj))
    assert len(pickle.dumps(restored)) < len(data) - 49000


def test_conditions_on_a_circuit_restored_without_its_listed_gates_are_refused():
    # Merged barriers, or format 1 (which stored fused lists), lose the
    # places by which conditions name gates.
    circuit = Circuit([Gate.h(0), Gate.measure(0), Gate.barrier(), Gate.barrier(), Gate.x(1)])
    data = _payload(circuit)
    older = b"VNTL\x01\x00" + data[6:7] + data[8:]  # format 1 has no list form byte
    for restored in (pickle.loads(pickle.dumps(circuit)), vantelo._unpickle(older)):
        assert same(restored.run_trajectory(2, 3), circuit.run_trajectory(2, 3))
        with pytest.raises(ValueError, match="^conditions name gates by their place in the circuit's list"):
            restored.run_trajectory(2, 3, conditions=[(4, [[0]])])


@pytest.mark.parametrize("data", ["VNTL", bytearray(b"VNTL"), None, memoryview(b"VNTL")])
def test_reconstructor_takes_bytes_only(data):
    with pytest.raises(TypeError, match="^argument 'data': '.*' object cannot be converted to 'PyBytes'$"):
        vantelo._unpickle(data)


def _seeds():
    rng = np.random.default_rng(11)
    spec, params = random_spec(rng)
    objs = [spec, spec.compile(), Circuit(random_gates(rng)), random_observable(rng), params[1],
            Gate.mcz([0, 1, 2], 3), Gate.measure(2), Gate.reset(1)]
    return [_payload(o) for o in objs]


SEEDS = _seeds()


def _exercise(obj):
    """What a user might do next with a restored object: nothing may crash."""
    again = pickle.loads(pickle.dumps(obj))
    assert type(again) is type(obj)
    if isinstance(obj, vantelo.CompiledCircuit) and obj.num_qubits <= 8 and obj.parameter_count <= 64:
        obj.statevector(np.zeros(obj.parameter_count, np.float32))
    if isinstance(obj, CircuitSpec) and obj.num_qubits <= 8:
        obj.compile()
    if isinstance(obj, Circuit):
        try:
            obj.run(6)
        except ValueError:
            pass


@hypothesis.settings(max_examples=100 if os.environ.get("VANTELO_SANITIZED") else 400, deadline=None,
                     suppress_health_check=list(hypothesis.HealthCheck))
@hypothesis.given(seed=st.sampled_from(SEEDS), edits=st.lists(
    st.tuples(st.sampled_from(["flip", "set", "cut", "insert", "delete"]), st.integers(0, 1 << 20),
              st.integers(0, 255)), min_size=1, max_size=4))
def test_mutated_payloads_raise_python_errors_only(seed, edits):
    data = bytearray(seed)
    for op, at, value in edits:
        at %= len(data) + 1
        if op == "flip" and at < len(data):
            data[at] ^= 1 << (value % 8)
        elif op == "set" and at < len(data):
            data[at] = value
        elif op == "cut":
            del data[at:]
        elif op == "insert":
            data[at:at] = bytes([value]) * (1 + value % 5)
        elif op == "delete":
            del data[at:at + 1 + value % 8]
    try:
        obj = vantelo._unpickle(bytes(data))
    except ValueError:
        return
    _exercise(obj)
