"""The call convention shared by every method: argument parsing with the
interpreter's wording, the argument-name prefix of conversion errors, and the
conversions themselves."""

import numpy as np
import pytest

import vantelo
from vantelo import Circuit, Gate

EMPTY = Circuit([])

# (display name, callable, parameter names, number required)
GATE_METHODS = [
    (name, params) for name, params in [
        ("i", ["target"]), ("x", ["target"]), ("y", ["target"]), ("z", ["target"]),
        ("h", ["target"]), ("s", ["target"]), ("sdg", ["target"]), ("t", ["target"]),
        ("tdg", ["target"]), ("rx", ["target", "theta"]), ("ry", ["target", "theta"]),
        ("rz", ["target", "theta"]), ("p", ["target", "theta"]), ("phase", ["target", "theta"]),
        ("u", ["target", "theta", "phi", "lambda"]), ("cnot", ["control", "target"]),
        ("cx", ["control", "target"]), ("cy", ["control", "target"]), ("cz", ["control", "target"]),
        ("ch", ["control", "target"]), ("swap", ["a", "b"]), ("iswap", ["a", "b"]),
        ("crx", ["control", "target", "theta"]), ("cry", ["control", "target", "theta"]),
        ("crz", ["control", "target", "theta"]), ("cp", ["control", "target", "theta"]),
        ("cphase", ["control", "target", "theta"]),
        ("cu", ["control", "target", "theta", "phi", "lambda", "gamma"]),
        ("ccx", ["control_a", "control_b", "target"]),
        ("toffoli", ["control_a", "control_b", "target"]), ("cswap", ["control", "a", "b"]),
        ("fredkin", ["control", "a", "b"]), ("mcx", ["controls", "target"]),
        ("mcz", ["controls", "target"]), ("mcp", ["controls", "target", "theta"]),
        ("mcphase", ["controls", "target", "theta"]), ("unitary", ["targets", "matrix"]),
        ("controlled_unitary", ["controls", "targets", "matrix"]), ("measure", ["target"]),
        ("reset", ["target"]),
    ]
]

CALLABLES = [
    (f"Gate.{name}()", getattr(Gate, name), params, len(params) - (name == "cu"))
    for name, params in GATE_METHODS
] + [
    ("Circuit.__new__()", Circuit, ["gates"], 1),
    ("Circuit.run()", EMPTY.run, ["num_qubits"], 1),
    ("Circuit.run_with_measurements()", EMPTY.run_with_measurements, ["num_qubits"], 1),
    ("Circuit.sample()", EMPTY.sample, ["num_qubits", "shots"], 2),
    ("Circuit.run_from()", EMPTY.run_from, ["state"], 1),
    ("Circuit.run_with_measurements_from()", EMPTY.run_with_measurements_from, ["state"], 1),
    ("set_num_threads()", vantelo.set_num_threads, ["num_threads"], 1),
]
IDS = [c[0] for c in CALLABLES]


def quoted_join(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


@pytest.mark.parametrize("display, fn, params, required", CALLABLES, ids=IDS)
def test_missing_arguments(display, fn, params, required):
    missing = params[:required]
    plural = "argument" if len(missing) == 1 else "arguments"
    expected = f"{display} missing {len(missing)} required positional {plural}: {quoted_join(missing)}"
    with pytest.raises(TypeError) as info:
        fn()
    assert str(info.value) == expected


@pytest.mark.parametrize("display, fn, params, required", CALLABLES, ids=IDS)
def test_too_many_positional(display, fn, params, required):
    n, given = len(params), len(params) + 1
    takes = str(n) if required == n else f"from {required} to {n}"
    expected = f"{display} takes {takes} positional arguments but {given} were given"
    with pytest.raises(TypeError) as info:
        fn(*range(given))
    assert str(info.value) == expected


@pytest.mark.parametrize("display, fn, params, required", CALLABLES, ids=IDS)
def test_unexpected_keyword_reported_before_missing(display, fn, params, required):
    with pytest.raises(TypeError) as info:
        fn(bogus=1)
    assert str(info.value) == f"{display} got an unexpected keyword argument 'bogus'"


@pytest.mark.parametrize("display, fn, params, required", CALLABLES, ids=IDS)
def test_multiple_values(display, fn, params, required):
    with pytest.raises(TypeError) as info:
        fn(0, **{params[0]: 0})
    assert str(info.value) == f"{display} got multiple values for argument '{params[0]}'"


def test_partial_missing_lists_only_unfilled():
    with pytest.raises(TypeError) as info:
        Gate.ccx(control_b=1)
    assert str(info.value) == ("Gate.ccx() missing 2 required positional arguments: "
                               "'control_a' and 'target'")


def test_keywords_fill_parameters():
    a = Gate.u(0, 0.1, phi=0.2, **{"lambda": 0.3})
    b = Gate.u(0, 0.1, 0.2, 0.3)
    assert np.array_equal(Circuit([a]).run(1), Circuit([b]).run(1))
    assert EMPTY.run(num_qubits=2).shape == (4,)
    assert EMPTY.sample(shots=3, num_qubits=1) == [0, 0, 0]


def test_barrier_takes_no_arguments():
    Gate.barrier()
    with pytest.raises(TypeError, match="takes no arguments"):
        Gate.barrier(0)


class Indexable:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BadIndex:
    def __index__(self):
        raise TypeError("inner") from KeyError("root")


@pytest.mark.parametrize("value, ok", [
    (True, True), (np.int64(1), True), (np.uint8(1), True), (Indexable(1), True),
    (1.0, False), ("1", False), (None, False), (np.float32(1), False),
])
def test_unsigned_conversion_types(value, ok):
    if ok:
        assert EMPTY.run(value).shape == (2,)
    else:
        with pytest.raises(TypeError) as info:
            EMPTY.run(value)
        assert str(info.value).startswith("argument 'num_qubits': ")


@pytest.mark.parametrize("value, message", [
    (-1, "can't convert negative int to unsigned"),
    (2**32, "out of range integral type conversion attempted"),
    (2**64, "int too big to convert"),
])
def test_unsigned_conversion_overflow(value, message):
    with pytest.raises(OverflowError) as info:
        Gate.x(value)
    assert str(info.value) == message
    assert not str(info.value).startswith("argument")


def test_unsigned_conversion_accepts_largest_word():
    Gate.x(2**32 - 1)


def test_prefixed_error_keeps_cause():
    with pytest.raises(TypeError) as info:
        Gate.x(BadIndex())
    assert str(info.value) == "argument 'target': inner"
    assert isinstance(info.value.__cause__, KeyError)


class Floaty:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize("value", [0.5, 1, True, np.float64(0.5), Floaty()])
def test_angle_accepts_real_numbers(value):
    Gate.rx(0, value)


@pytest.mark.parametrize("value", ["0.5", None, [0.5], 1j])
def test_angle_rejects_others(value):
    with pytest.raises(TypeError) as info:
        Gate.rx(0, value)
    assert str(info.value).startswith("argument 'theta': ")


@pytest.mark.parametrize("controls", [(0, 1), [0, 1], range(2), np.array([0, 1])])
def test_qubit_sequences(controls):
    Gate.mcx(controls, 2)


@pytest.mark.parametrize("controls, message", [
    ("01", "argument 'controls': Can't extract `str` to `Vec`"),
    (5, "argument 'controls': 'int' object cannot be converted to 'Sequence'"),
    ({0: 1}, "argument 'controls': 'dict' object cannot be converted to 'Sequence'"),
    ([0, 1.5], "argument 'controls': 'float' object cannot be interpreted as an integer"),
])
def test_qubit_sequence_errors(controls, message):
    with pytest.raises(TypeError) as info:
        Gate.mcx(controls, 2)
    assert str(info.value) == message


def test_sequence_item_overflow_passes_unchanged():
    with pytest.raises(OverflowError):
        Gate.mcx([0, -1], 2)


def test_arguments_converted_in_order():
    with pytest.raises(TypeError, match="^argument 'target'"):
        Gate.rx("a", "b")
    with pytest.raises(TypeError, match="^argument 'num_qubits'"):
        EMPTY.sample(1.5, "x")
    with pytest.raises(TypeError, match="^argument 'shots'"):
        EMPTY.sample(1, "x")
