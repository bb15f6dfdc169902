"""Observable constructors: their surface, conversions, messages, and the values
they produce when evaluated, checked against the float32 reference model."""

import numpy as np
import pytest

import reference as ref
from compiled_helpers import build
from vantelo import Observable

# A generic three-qubit state (all amplitudes non-zero, complex phases).
ITEMS = [("ry", 0, 0), ("rx", 1, 1), ("h", 2), ("cx", 0, 1), ("rz", 2, 2), ("p", 0, 1),
         ("cz", 2, 0)]
PARAMS = np.array([0.7, -1.3, 0.4], dtype=np.float32)




CIRCUIT = build(3, ITEMS, 3)
PSI = ref.run(3, ITEMS, PARAMS)


def value(obs):
    return CIRCUIT.expectation(PARAMS, obs)


SIGNATURES = {
    "pauli_x": "pauli_x(qubit, coefficient=1.0)", "pauli_y": "pauli_y(qubit, coefficient=1.0)",
    "pauli_z": "pauli_z(qubit, coefficient=1.0)",
    "pauli_string": "pauli_string(ops, coefficient=1.0)", "hamiltonian": "hamiltonian(terms)",
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_static_function_texts(name):
    fn = getattr(Observable, name)
    assert fn.__text_signature__ == SIGNATURES[name][len(name):]
    assert fn.__doc__ is None
    sample = {"pauli_string": ([],), "hamiltonian": ([Observable.pauli_z(0)],)}.get(name, (0,))
    assert isinstance(fn(*sample), Observable)


def test_class_surface():
    assert Observable.__doc__ == "Pauli observables and Hamiltonians for expectation-value workflows."
    with pytest.raises(TypeError, match="^No constructor defined$"):
        Observable()
    assert [m for m in vars(Observable) if not m.startswith("__")] == list(SIGNATURES)


@pytest.mark.parametrize("label", "XYZ")
@pytest.mark.parametrize("qubit", [0, 1, 2])
@pytest.mark.parametrize("coef", [None, 1.0, -0.5, 2.25])
def test_single_factor_matches_reference(label, qubit, coef):
    fn = getattr(Observable, "pauli_" + label.lower())
    obs = fn(qubit) if coef is None else fn(qubit, coef)
    expected = ref.expectation(PSI, [(1.0 if coef is None else coef, [(label, qubit)])])
    assert value(obs) == pytest.approx(float(expected), abs=1e-6)
    # keyword and positional forms are the same observable
    if coef is not None:
        assert value(fn(coefficient=coef, qubit=qubit)) == value(obs)
        assert value(Observable.pauli_string([(label, qubit)], coef)) == value(obs)


@pytest.mark.parametrize("ops", [
    [("x", 0), ("Z", 2)], [("Z", 2), ("y", 0)], [("X", 0), ("Y", 1), ("Z", 2)], [],
    [("y", 2), ("x", 1)],
])
@pytest.mark.parametrize("coef", [1.0, -1.0, 0.375])
def test_pauli_string_matches_reference(ops, coef):
    got = value(Observable.pauli_string(ops, coef))
    assert got == pytest.approx(float(ref.expectation(PSI, [(coef, ops)])), abs=1e-6)


def test_hamiltonian_concatenates_terms_unmerged():
    a = Observable.pauli_string([("X", 0), ("Z", 1)], 0.5)
    b = Observable.pauli_y(2, -2.0)
    terms = [(0.5, [("X", 0), ("Z", 1)]), (-2.0, [("Y", 2)]), (0.5, [("X", 0), ("Z", 1)])]
    h = Observable.hamiltonian([a, b, a])
    assert value(h) == pytest.approx(float(ref.expectation(PSI, terms)), abs=1e-6)
    assert value(Observable.hamiltonian([a, a])) == pytest.approx(2 * value(a), abs=1e-6)

    class TermList(list):
        pass

    assert value(Observable.hamiltonian(TermList([b]))) == value(b)
    assert value(a) == pytest.approx(float(ref.expectation(PSI, terms[:1])), abs=1e-6)


def test_identity_term_gives_coefficient():
    assert value(Observable.pauli_string([], 2.5)) == pytest.approx(2.5, abs=1e-6)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: Observable.pauli_string([("X", 1), ("Y", 1)]), ValueError, "duplicate qubit index: 1"),
    (lambda: Observable.pauli_string([("I", 0)]), ValueError,
     "unsupported Pauli label 'I'; expected X, Y, or Z"),
    (lambda: Observable.pauli_string([("XX", 0), ("Z", 0)]), ValueError,
     "unsupported Pauli label 'XX'; expected X, Y, or Z"),
    (lambda: Observable.pauli_string([("", 0)]), ValueError,
     "unsupported Pauli label ''; expected X, Y, or Z"),
    (lambda: Observable.pauli_string([("\u00c9", 0)]), ValueError,
     "unsupported Pauli label '\u00c9'; expected X, Y, or Z"),
    (lambda: Observable.pauli_string("XZ"), TypeError, "argument 'ops': Can't extract `str` to `Vec`"),
    (lambda: Observable.pauli_string([["X", 0]]), TypeError,
     "argument 'ops': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: Observable.pauli_string([("X", 0, 1)]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (lambda: Observable.pauli_string(5), TypeError,
     "argument 'ops': 'int' object cannot be converted to 'Sequence'"),
    (lambda: Observable.pauli_string([(0, 0)]), TypeError,
     "argument 'ops': 'int' object cannot be converted to 'PyString'"),
    # ops is converted before the coefficient, and before any label is read
    (lambda: Observable.pauli_string([("Q", 0), ("X", -1)], "c"), OverflowError, None),
    (lambda: Observable.pauli_string([("Q", 0)], "c"), TypeError, "argument 'coefficient': "),
    (lambda: Observable.pauli_z(0, None), TypeError, "argument 'coefficient': "),
    (lambda: Observable.pauli_x(-1), OverflowError, None),
    (lambda: Observable.pauli_y(1.0), TypeError, "argument 'qubit': "),
    (lambda: Observable.pauli_z(2 ** 32), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: Observable.hamiltonian([]), ValueError, "observable must contain at least one term"),
    (lambda: Observable.hamiltonian([Observable.pauli_z(0), 1]), TypeError,
     "hamiltonian terms must all be vantelo.Observable instances"),
    (lambda: Observable.hamiltonian((Observable.pauli_z(0),)), TypeError,
     "argument 'terms': 'tuple' object cannot be converted to 'PyList'"),
])
def test_failures(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        text = str(info.value)
        assert text == message or (message.endswith(": ") and text.startswith(message))


def test_observable_out_of_register_fails_at_evaluation():
    obs = Observable.pauli_z(3)
    with pytest.raises(ValueError) as info:
        value(obs)
    assert str(info.value) == "observable references qubit 3 but state vector only has 3 qubits"
