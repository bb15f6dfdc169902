import ctypes

import pytest

import vantelo

NAMES = ["Gate", "Parameter", "Observable", "CompiledCircuit", "ParamBuffer", "ParamBatchBuffer",
         "ExecutionContext", "CircuitSpec", "Circuit", "set_num_threads"]
CLASSES = NAMES[:-1]

DOCS = {
    "Gate": "Gate constructors for one-off circuit building and custom unitary definition.",
    "Circuit": "One-off gate-by-gate circuit execution API.",
    "Parameter": "Symbolic parameter handle used when building a compiled circuit specification.",
    "Observable": "Pauli observables and Hamiltonians for expectation-value workflows.",
    "CircuitSpec": "Builder for reusable parameterized circuit structure.",
    "ParamBuffer": "Reusable parameter buffer for zero-copy compiled scalar execution.",
    "CompiledCircuit": "Reusable compiled execution plan for repeated parameterized circuit evaluation.",
    "ExecutionContext": "Reusable execution buffer for repeated scalar compiled-circuit calls.",
    "ParamBatchBuffer": "Reusable parameter batch buffer for zero-copy compiled batch execution.",
}
SIGNATURES = {"Circuit": "(gates)", "CircuitSpec": "(num_qubits)"}


def test_module_attributes_in_registration_order():
    assert vantelo.__all__ == NAMES
    assert vantelo.__doc__ == ""
    for name in NAMES:
        assert hasattr(vantelo, name)
    public = [n for n in vars(vantelo) if not n.startswith("_")]
    assert public == NAMES + ["InternalFault", "build_info"]  # neither is in __all__


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name):
    cls = getattr(vantelo, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__doc__ == DOCS[name]
    assert cls.__text_signature__ == SIGNATURES.get(name)
    assert cls.__base__ is object


@pytest.mark.parametrize("name", CLASSES)
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(vantelo, name),), {})


@pytest.mark.parametrize("name", [n for n in CLASSES if n not in SIGNATURES])
def test_classes_without_constructor(name):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        getattr(vantelo, name)()


def test_instances_have_no_dict():
    gate = vantelo.Gate.x(0)
    with pytest.raises(AttributeError):
        gate.anything = 1
    with pytest.raises(AttributeError):
        vantelo.Circuit([]).anything = 1


def test_identity_equality_and_default_repr():
    a, b = vantelo.Gate.x(0), vantelo.Gate.x(0)
    assert a != b and a == a
    assert hash(a) != hash(b)
    assert repr(a).startswith("<builtins.Gate object at ")


def test_function_metadata():
    f = vantelo.set_num_threads
    assert f.__module__ == "vantelo"
    assert f.__doc__ == "Set the number of threads for Rayon"
    assert f.__text_signature__ == "(num_threads)"


def test_method_docs():
    assert vantelo.Circuit.run.__doc__ is None
    assert vantelo.Circuit.run.__text_signature__ == "($self, num_qubits)"
    assert vantelo.Gate.x.__text_signature__ == "(target)"
    assert vantelo.Gate.barrier.__text_signature__ == "()"
    assert vantelo.Gate.cu.__text_signature__ == "(control, target, theta, phi, lambda, gamma=None)"


def test_second_initialisation_fails_and_first_module_survives():
    init = ctypes.PyDLL(vantelo.__file__).PyInit_vantelo
    init.restype = ctypes.py_object
    with pytest.raises(ImportError, match="only be initialized once"):
        init()
    assert vantelo.Circuit([vantelo.Gate.x(0)]).run(1)[1] == 1


@pytest.mark.parametrize("call", [lambda: vantelo.Circuit([]).run(32),
                                  lambda: vantelo.CircuitSpec(32).compile().statevector([])])
def test_internal_fault_derives_from_base_exception(call):
    with pytest.raises(BaseException) as info:
        call()
    fault = info.type
    assert fault.__bases__ == (BaseException,)
    assert not issubclass(fault, Exception)
    assert str(info.value) == "too many qubits in state vector"
    # Catchable by name: the module attribute is the class faults raise.
    assert fault is vantelo.InternalFault and fault.__module__ == "vantelo"
