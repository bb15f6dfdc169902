"""The vantelo.qubit PennyLane device against PennyLane's own default.qubit:
the translation of every operation in the table, the batch and compiled
paths, seeded sampling, derivatives and the errors for what it refuses.
Runs where PennyLane is installed (make test-pennylane)."""

import numpy as np
import pytest

qml = pytest.importorskip("pennylane")
pnp = pytest.importorskip("pennylane.numpy")

from pennylane.exceptions import DeviceError, QuantumFunctionError  # noqa: E402

from vantelo import CompiledCircuit  # noqa: E402
from vantelo_interop.pennylane import VanteloQubit  # noqa: E402
from vantelo_interop.pennylane.translate import CHANNELS, GATES  # noqa: E402

# float32 amplitudes: a few units in the last place of 1 per gate
ATOL = 1e-5
HAS_ADJOINT = hasattr(CompiledCircuit, "adjoint_value_and_gradient")
RNG = np.random.default_rng(1234)
WIRES = [2, 0, 3, 1]  # not in order, so the wire-to-qubit map is exercised


def random_unitary(dim):
    q, r = np.linalg.qr(RNG.normal(size=(dim, dim)) + 1j * RNG.normal(size=(dim, dim)))
    return q * (np.diag(r) / abs(np.diag(r)))


def make_op(name):
    a = RNG.uniform(-np.pi, np.pi, 3)
    special = {
        "Adjoint(S)": lambda: qml.adjoint(qml.S(WIRES[0])),
        "Adjoint(T)": lambda: qml.adjoint(qml.T(WIRES[0])),
        "Adjoint(SX)": lambda: qml.adjoint(qml.SX(WIRES[0])),
        "MultiControlledX": lambda: qml.MultiControlledX(WIRES[:3], control_values=[1, 0]),
        "QubitUnitary": lambda: qml.QubitUnitary(random_unitary(4), WIRES[:2]),
        "DiagonalQubitUnitary": lambda: qml.DiagonalQubitUnitary(np.exp(1j * a[:2]), WIRES[1]),
        "ControlledQubitUnitary": lambda: qml.ControlledQubitUnitary(
            random_unitary(2), wires=WIRES[:3], control_values=[0, 1]),
        "GlobalPhase": lambda: qml.GlobalPhase(a[0], WIRES[0]),
    }
    if name in special:
        return special[name]()
    cls = getattr(qml, name)
    return cls(*a[:cls.num_params], wires=WIRES[:cls.num_wires])


def state_on(device_name, prepare, ops):
    @qml.qnode(qml.device(device_name, wires=4))
    def circuit():
        prepare()
        for op in ops:
            qml.apply(op)
        return qml.state()
    return circuit()


def random_state():
    v = RNG.normal(size=16) + 1j * RNG.normal(size=16)
    return v / np.linalg.norm(v)


@pytest.mark.parametrize("name", sorted(set(GATES) - {"X", "Y", "Z"}))
def test_each_operation_matches_default_qubit(name):
    start = random_state()
    ops = [make_op(name), qml.Hadamard(WIRES[1]), make_op(name)]
    # from a loaded state, and from |0…0⟩ after a layer that touches every wire
    for prepare in (lambda: qml.StatePrep(start, wires=range(4)),
                    lambda: [qml.RY(0.3 + k, k) for k in range(4)]):
        got = state_on("vantelo.qubit", prepare, ops)
        want = state_on("default.qubit", prepare, ops)
        np.testing.assert_allclose(got, want, atol=ATOL)


def test_capabilities_list_the_translation_table():
    assert set(VanteloQubit.capabilities.operations) == (set(GATES) | set(CHANNELS)) - {"X", "Y", "Z"}


def ansatz(params, wires):
    for layer in params:
        for w, (a, b) in zip(wires, layer):
            qml.RY(a, w)
            qml.RZ(b, w)
        for w in wires[:-1]:
            qml.CNOT([w, w + 1])


HAMILTONIAN = qml.Hamiltonian([0.5, -0.8, 0.3], [qml.Z(0) @ qml.Z(1), qml.X(2), qml.Y(0) @ qml.X(3)])


def qnode(device, diff_method=None, measure=lambda: qml.expval(HAMILTONIAN)):
    @qml.qnode(device, diff_method=diff_method)
    def f(params):
        ansatz(params, range(4))
        return measure()
    return f


def test_broadcast_expectations_go_to_one_batch_execution():
    params = RNG.uniform(-1, 1, (2, 4, 2, 5))  # broadcast over the last axis
    dev = qml.device("vantelo.qubit", wires=4)
    with qml.Tracker(dev) as tracker:
        got = qnode(dev)(params)
    assert tracker.totals["simulations"] == 1 and got.shape == (5,)
    np.testing.assert_allclose(got, qnode(qml.device("default.qubit"))(params), atol=ATOL)


def test_compiled_tapes_are_cached_on_structure():
    dev = qml.device("vantelo.qubit", wires=4)
    f = qnode(dev)
    first, second = RNG.uniform(-1, 1, (2, 2, 4, 2))
    values = [f(first), f(second), f(first)]
    assert dev._plans.compiles == 1
    assert values[0] == values[2]  # identical bits from the cached plan
    assert values[0] == qnode(qml.device("vantelo.qubit", wires=4))(first)
    np.testing.assert_allclose(values[1], qnode(qml.device("default.qubit"))(second), atol=ATOL)


@pytest.mark.parametrize("measure", [
    lambda: qml.sample(wires=[0, 1, 2]),
    lambda: (qml.counts(qml.X(0) @ qml.Y(2)), qml.sample(qml.X(1))),
    lambda: (qml.expval(HAMILTONIAN), qml.probs(wires=[3, 1])),
], ids=["sample", "counts", "expval_probs"])
def test_seed_makes_sampling_reproducible(measure):
    params = RNG.uniform(-1, 1, (2, 4, 2))

    def run(seed):
        f = qml.set_shots(qnode(qml.device("vantelo.qubit", wires=4, seed=seed), measure=measure), 200)
        return str(f(params))
    assert run(7) == run(7)
    assert run(7) != run(8)


def test_sampled_statistics_match_default_qubit():
    params = RNG.uniform(-1, 1, (2, 4, 2))
    measure = lambda: (qml.expval(HAMILTONIAN), qml.var(qml.X(2)), qml.probs(wires=[0, 3]))  # noqa: E731
    shots = 10000
    got = qml.set_shots(qnode(qml.device("vantelo.qubit", wires=4, seed=3), measure=measure), shots)(params)
    want = qnode(qml.device("default.qubit"), measure=measure)(params)
    for g, w in zip(got, want):
        np.testing.assert_allclose(g, w, atol=5 / np.sqrt(shots))


@pytest.mark.parametrize("measure", [
    lambda: (qml.var(qml.Z(0)), qml.var(qml.I(1))),
    lambda: qml.var(qml.X(2) + 0.5 * qml.Z(0)),
    lambda: (qml.expval(HAMILTONIAN), qml.var(2 * (qml.X(0) @ qml.Z(1) + qml.Y(3)))),
], ids=["identity", "sum", "sum_with_others"])
def test_sampled_variances_of_sums_and_identities(measure):
    """Variances of sums and of the identity are sampled in their own
    eigenbasis, not split into terms."""
    params = RNG.uniform(-1, 1, (2, 4, 2))
    shots = 20000
    got = qml.set_shots(qnode(qml.device("vantelo.qubit", wires=4, seed=5), measure=measure), shots)(params)
    want = qnode(qml.device("default.qubit"), measure=measure)(params)
    np.testing.assert_allclose(got, want, atol=10 / np.sqrt(shots))



@pytest.mark.parametrize("wires", [["a", 3, "b"], [7, 0, 3], None], ids=["labels", "integers", "any_wires"])
def test_state_measurements_on_any_wire_labels_match_default_qubit(wires):
    """Entropies and mutual information read their wires as state indices
    in PennyLane; on labels that are not 0 … n − 1 in order they must still
    measure the wires named."""
    labels = wires or ["a", 3, "b"]

    def values(device):
        @qml.qnode(device)
        def circuit():
            qml.RY(0.7, labels[0])
            qml.CNOT([labels[0], labels[2]])
            qml.RX(1.3, labels[1])
            qml.CRY(0.9, [labels[2], labels[1]])
            return (qml.vn_entropy([labels[2]]), qml.mutual_info([labels[1]], [labels[0]]),
                    qml.purity([labels[1], labels[2]]), qml.density_matrix([labels[2], labels[0]]))
        return circuit()

    got = values(qml.device("vantelo.qubit", wires=wires))
    want = values(qml.device("default.qubit", wires=wires))
    for g, w in zip(got, want):
        np.testing.assert_allclose(g, w, atol=ATOL)

@pytest.mark.parametrize("wires", [None, 3], ids=["any_wires", "exact_wires"])
def test_mid_circuit_measurements_per_shot(wires):
    # Deferral needs an auxiliary qubit per measurement (wire 0 is measured
    # twice, wire 1 once): on a device of exactly the circuit's wires they
    # are the device's own, and no result shows them.
    def circuit():
        qml.Hadamard(0)
        m0 = qml.measure(0, reset=True)
        qml.cond(m0, qml.RY)(1.1, 1)
        qml.RX(0.7, 0)
        m1 = qml.measure(1)
        qml.cond(m1, qml.RX)(0.4, 2)
        qml.CNOT([0, 2])
        return qml.probs(wires=[0, 1, 2]), qml.expval(m0), qml.expval(m1)

    want = qml.QNode(circuit, qml.device("default.qubit"))()
    analytic = qml.QNode(circuit, qml.device("vantelo.qubit", wires=wires))()
    sampled = qml.set_shots(qml.QNode(circuit, qml.device("vantelo.qubit", wires=wires, seed=5)), 20000)()
    for got, tol in ((analytic, ATOL), (sampled, 0.03)):
        for g, w in zip(got, want):
            np.testing.assert_allclose(g, w, atol=tol)


DIFF_METHODS = ["device"] + (["adjoint"] if HAS_ADJOINT else [])


@pytest.mark.parametrize("diff_method", DIFF_METHODS)
def test_gradients_match_backprop(diff_method):
    params = pnp.array(RNG.uniform(-1, 1, (2, 4, 2)), requires_grad=True)
    measure = lambda: (qml.expval(HAMILTONIAN), qml.expval(qml.Z(1)))  # noqa: E731

    def jacobian(device, method):
        f = qnode(device, method, measure)
        return qml.jacobian(lambda p: pnp.stack(f(p)))(params)

    got = jacobian(qml.device("vantelo.qubit", wires=4), diff_method)
    want = jacobian(qml.device("default.qubit"), "backprop")
    np.testing.assert_allclose(got, want, atol=1e-4)



def test_second_derivatives_do_not_take_the_first_order_device_gradient():
    """With max_diff=2, "best" must not pick the device's gradient (whose own
    derivative PennyLane takes as zero), and asking for it is refused."""
    params = pnp.array([0.3, -0.7], requires_grad=True)

    def hessian(device, method, **options):
        @qml.qnode(device, diff_method=method, **options)
        def f(x):
            qml.RY(x[0], 0)
            qml.RX(x[1], 1)
            qml.CNOT([0, 1])
            qml.RY(x[0], 1)
            return qml.expval(qml.Z(0) @ qml.X(1))
        return qml.jacobian(qml.grad(f))(params)

    want = hessian(qml.device("default.qubit"), "backprop")
    np.testing.assert_allclose(hessian(qml.device("vantelo.qubit", wires=2), "best", max_diff=2), want, atol=1e-4)
    with pytest.raises(QuantumFunctionError, match="does not support"):
        hessian(qml.device("vantelo.qubit", wires=2), DIFF_METHODS[-1], max_diff=2)


@pytest.mark.parametrize("diff_method", DIFF_METHODS)
def test_gradient_with_a_trainable_global_phase(diff_method):
    """A global phase has no slot in the plan; its derivative is zero (a
    controlled one decomposes into gates that have slots). It failed with a
    KeyError."""
    x = pnp.array([0.4, -0.9], requires_grad=True)

    def gradient(device, method):
        @qml.qnode(device, diff_method=method)
        def f(x):
            qml.RY(x[0], 0)
            qml.GlobalPhase(x[1])
            qml.ctrl(qml.GlobalPhase(x[1], wires=1), control=0)
            return qml.expval(qml.X(0))
        return qml.grad(f)(x)

    want = gradient(qml.device("default.qubit"), "backprop")
    np.testing.assert_allclose(gradient(qml.device("vantelo.qubit", wires=2), diff_method), want, atol=1e-4)


def test_trainable_observable_coefficients():
    """The device's derivatives are the gates': "best" hands a QNode with
    trainable coefficients to PennyLane's parameter shift, and asking the
    device for them is refused (it failed with an IndexError)."""
    x = pnp.array([0.3, -0.7], requires_grad=True)
    c = pnp.array([0.5, -1.3], requires_grad=True)

    def gradient(device, method):
        @qml.qnode(device, diff_method=method)
        def f(x, c):
            qml.RY(x[0], 0)
            qml.CNOT([0, 1])
            qml.RX(x[1], 1)
            return qml.expval(qml.Hamiltonian(c, [qml.Z(0), qml.X(0) @ qml.Y(1)]))
        return np.concatenate(qml.grad(f, argnums=[0, 1])(x, c))

    want = gradient(qml.device("default.qubit"), "backprop")
    np.testing.assert_allclose(gradient(qml.device("vantelo.qubit", wires=2), "best"), want, atol=1e-4)
    with pytest.raises(QuantumFunctionError, match="does not support"):
        gradient(qml.device("vantelo.qubit", wires=2), DIFF_METHODS[-1])

@pytest.mark.parametrize("diff_method", DIFF_METHODS)
def test_jacobian_of_a_broadcast_tape(diff_method):
    def circuit(x, y):
        qml.RX(x, 0)
        qml.RY(y, 1)
        qml.CNOT([0, 1])
        return qml.expval(qml.Z(1)), qml.expval(qml.X(0) @ qml.Y(1))

    args = pnp.array([0.1, 0.5, 0.9], requires_grad=True), pnp.array(0.3, requires_grad=True)

    def jacobian(device, method):
        f = qml.QNode(circuit, device, diff_method=method)
        return qml.jacobian(lambda x, y: pnp.stack(f(x, y)))(*args)

    got = jacobian(qml.device("vantelo.qubit", wires=2), diff_method)
    want = jacobian(qml.device("default.qubit"), "backprop")
    for g, w in zip(got, want):
        np.testing.assert_allclose(g, w, atol=1e-5)


@pytest.mark.parametrize("diff_method", DIFF_METHODS)
def test_gradient_of_gates_outside_the_compiled_set(diff_method):
    # CRX and StatePrep are decomposed for differentiation; the chain rule
    # through the decomposition is PennyLane's.
    start = random_state()

    def circuit(x):
        qml.StatePrep(start, wires=range(4))
        qml.CRX(x[0], [0, 1])
        qml.IsingXY(x[1], [2, 3])
        return qml.expval(HAMILTONIAN)

    x = pnp.array([0.4, -0.7], requires_grad=True)
    got = qml.grad(qml.QNode(circuit, qml.device("vantelo.qubit", wires=4), diff_method=diff_method))(x)
    want = qml.grad(qml.QNode(circuit, qml.device("default.qubit"), diff_method="backprop"))(x)
    np.testing.assert_allclose(got, want, atol=1e-4)


def cond_circuit(x):
    qml.RY(x[0], 0)
    qml.CNOT([0, 1])
    m = qml.measure(1)
    qml.cond(m, qml.RX)(x[1], 2)
    qml.StronglyEntanglingLayers(x[2:11].reshape(1, 3, 3), wires=[0, 1, 2])
    return qml.expval(qml.Z(2) @ qml.X(0))


def entropy_circuit(x):
    qml.RY(x[0], 0)
    qml.CNOT([0, 1])
    qml.BasicEntanglerLayers(x[1:4].reshape(1, 3), wires=[0, 1, 2])
    return qml.vn_entropy(wires=[0])


def template_circuit(x):
    qml.StronglyEntanglingLayers(x.reshape(2, 4, 3), wires=range(4))
    return qml.expval(HAMILTONIAN)


GRADIENT_CIRCUITS = {"cond": cond_circuit, "vn_entropy": entropy_circuit, "template": template_circuit}
STATE_REFUSED = (ValueError, "return the state with the parameter-shift rule")
GRADIENT_REFUSALS = {
    ("vn_entropy", "best"): STATE_REFUSED,
    ("vn_entropy", "parameter-shift"): STATE_REFUSED,
    ("vn_entropy", "adjoint"): (QuantumFunctionError, "does not support adjoint"),
    ("vn_entropy", "device"): (QuantumFunctionError, "does not support device"),
    ("vn_entropy", "hadamard"): (ValueError, "return the state with the Hadamard test"),
    ("cond", "hadamard"): (Exception, r"Conditional\(RX\) does not have a generator"),
}


@pytest.mark.parametrize("diff_method", ["best", "adjoint", "device", "parameter-shift", "finite-diff", "spsa",
                                         "hadamard", "backprop"])
@pytest.mark.parametrize("name", GRADIENT_CIRCUITS)
def test_every_diff_method_is_right_or_refused(name, diff_method):
    # PennyLane's difference steps (1e-7, SPSA's 1e-5) resolve nothing in
    # single precision; parameter shift falls back to them for a qml.cond
    # parameter. Each method must match default.qubit or refuse.
    if diff_method == "adjoint" and not HAS_ADJOINT:
        pytest.skip("this build has no adjoint differentiation")
    circuit = GRADIENT_CIRCUITS[name]
    x = pnp.array(np.linspace(0.3, 1.7, 24), requires_grad=True)
    kwargs = {"gradient_kwargs": {"sampler_rng": 7}} if diff_method == "spsa" else {}

    def grad(device, method):
        return qml.grad(qml.QNode(circuit, device, diff_method=method, **kwargs))(x)

    error, text = GRADIENT_REFUSALS.get((name, diff_method), (QuantumFunctionError, "does not support backprop")
                                        if diff_method == "backprop" else (None, None))
    if error is not None:
        with pytest.raises(error, match=text):
            grad(qml.device("vantelo.qubit"), diff_method)
        return
    # SPSA estimates along random directions: the same directions on both
    want = grad(qml.device("default.qubit"), "spsa" if diff_method == "spsa" else "backprop")
    np.testing.assert_allclose(grad(qml.device("vantelo.qubit"), diff_method), want, atol=1e-3)


def test_adjoint_gradient_of_a_condition_on_exact_wires():
    x = pnp.array(np.linspace(0.3, 1.7, 11), requires_grad=True)
    got = qml.grad(qml.QNode(cond_circuit, qml.device("vantelo.qubit", wires=3), diff_method="best"))(x)
    want = qml.grad(qml.QNode(cond_circuit, qml.device("default.qubit"), diff_method="backprop"))(x)
    np.testing.assert_allclose(got, want, atol=1e-5)


def mid_circuit_measurements(count):
    for _ in range(count):
        qml.measure(0)
    return qml.probs(wires=[0])


@pytest.mark.parametrize("make, error, text", [
    (lambda: qml.QNode(lambda: qml.state(), qml.device("vantelo.qubit", wires=1), diff_method="device"),
     QuantumFunctionError, "does not support device"),
    (lambda: qml.set_shots(qml.QNode(lambda: qml.expval(qml.Z(0)), qml.device("vantelo.qubit", wires=1),
                                     diff_method="device"), 10),
     QuantumFunctionError, "does not support device"),
    (lambda: qml.set_shots(qml.QNode(lambda: qml.expval(qml.measure(0)), qml.device("vantelo.qubit", wires=2),
                                     mcm_method="one-shot"), 10),
     DeviceError, "mcm_method 'one-shot' is not supported by vantelo.qubit"),
    (lambda: qml.QNode(lambda: (qml.QubitDensityMatrix(np.eye(2) / 2, 0), qml.state())[1],
                       qml.device("vantelo.qubit", wires=1)),
     DeviceError, "QubitDensityMatrix"),
    (lambda: qml.QNode(lambda: qml.sample(wires=0), qml.device("vantelo.qubit", wires=1)),
     DeviceError, "not accepted for analytic simulation on vantelo.qubit"),
    (lambda: qml.QNode(lambda: qml.expval(qml.Z(0)), qml.device("vantelo.qubit", wires=1),
                       diff_method="finite-diff", gradient_kwargs={"h": 1e-7}),
     DeviceError, r"a difference step h=1e-07 is below what vantelo.qubit's single-precision values resolve: "
                  r"use h >= 0.001"),
    (lambda: qml.QNode(lambda: qml.expval(qml.Z(0)), qml.device("vantelo.qubit", wires=32)),
     ValueError, "^state vector has 32 qubits, at most 31 are supported$"),
    (lambda: qml.QNode(lambda: mid_circuit_measurements(3), qml.device("vantelo.qubit", wires=30)),
     DeviceError, "30 wires and 3 auxiliary qubits make 33, more than the 31 it simulates"),
    # X @ Y on one wire is iZ; its expectation is imaginary, not 0
    (lambda: qml.QNode(lambda: qml.expval(qml.prod(qml.X(0), qml.Y(0))), qml.device("vantelo.qubit", wires=1)),
     DeviceError, r"measures Hermitian observables only; X\(0\) @ Y\(0\) is not Hermitian"),
    (lambda: qml.QNode(lambda: (qml.RX(0.3, 0), qml.expval(qml.s_prod(1j, qml.Z(0))))[1],
                       qml.device("vantelo.qubit", wires=1)),
     DeviceError, "is not Hermitian"),
    (lambda: qml.set_shots(qml.QNode(lambda: qml.expval(qml.prod(qml.Hermitian(np.diag([1.0, 2.0]), 0), qml.X(0))),
                                     qml.device("vantelo.qubit", wires=1)), 10),
     DeviceError, "is not Hermitian"),
], ids=["derivative_of_state", "derivative_with_shots", "one_shot", "mixed_state", "sample_analytic",
        "tiny_step", "too_wide", "no_auxiliary_qubits_left", "pauli_product", "complex_coefficient",
        "matrix_product"])
def test_refusals_are_pennylane_errors(make, error, text):
    with pytest.raises(error, match=text):
        make()()


def test_importing_vantelo_leaves_pennylane_unimported(isolated):
    result = isolated("import sys, vantelo, vantelo_interop\nassert 'pennylane' not in sys.modules")
    assert result.returncode == 0, result.stderr


# ------------------------------------------------------------------ channels

NOISE = {
    "BitFlip": lambda w: qml.BitFlip(0.2, w[0]),
    "PhaseFlip": lambda w: qml.PhaseFlip(0.3, w[0]),
    "DepolarizingChannel": lambda w: qml.DepolarizingChannel(0.3, w[0]),
    "AmplitudeDamping": lambda w: qml.AmplitudeDamping(0.4, w[0]),
    "GeneralizedAmplitudeDamping": lambda w: qml.GeneralizedAmplitudeDamping(0.4, 0.7, w[0]),
    "PhaseDamping": lambda w: qml.PhaseDamping(0.5, w[0]),
    "ResetError": lambda w: qml.ResetError(0.2, 0.15, w[0]),
    "ThermalRelaxationError": lambda w: qml.ThermalRelaxationError(0.1, 40.0, 60.0, 20.0, w[0]),
    "PauliError": lambda w: qml.PauliError("XY", 0.3, wires=w[:2]),
    "QubitChannel": lambda w: qml.QubitChannel(
        [np.sqrt(0.7) * np.eye(2), np.sqrt(0.3) * np.array([[0, 1], [1, 0]])], wires=w[0]),
}
NOISE_OBS = [qml.Z(2), qml.X(0) @ qml.Z(3), qml.Y(1)]


def noisy_qnode(device, channel):
    @qml.qnode(device)
    def f():
        for k, w in enumerate(WIRES):
            qml.RY(0.4 + 0.5 * k, w)
        qml.CNOT(WIRES[:2])
        qml.apply(NOISE[channel](WIRES))
        qml.RX(0.7, WIRES[0])
        qml.apply(NOISE[channel](WIRES[1:]))
        return [qml.expval(o) for o in NOISE_OBS]
    return f


def test_channel_table_matches_the_tests():
    assert set(NOISE) == set(CHANNELS)


@pytest.mark.parametrize("channel", sorted(NOISE))
def test_channels_sampled_and_estimated_match_default_mixed(channel):
    want = np.array(noisy_qnode(qml.device("default.mixed", wires=WIRES), channel)())
    shots = 20000
    sampled = np.array(qml.set_shots(noisy_qnode(qml.device("vantelo.qubit", wires=WIRES, seed=3),
                                                 channel), shots=shots)())
    # expectations of ±1 observables: a standard deviation of at most 1/sqrt(shots)
    assert np.all(np.abs(sampled - want) < 4 * np.sqrt((1 - want ** 2 + 1e-3) / shots))
    trajectories = 2000
    estimated = np.array(noisy_qnode(
        qml.device("vantelo.qubit", wires=WIRES, seed=3, trajectories=trajectories), channel)())
    assert np.all(np.abs(estimated - want) < 4 / np.sqrt(trajectories))


def test_estimates_from_a_prepared_state_match_default_mixed():
    start = np.random.default_rng(6).normal(size=8) + 1j * np.random.default_rng(7).normal(size=8)
    start /= np.linalg.norm(start)

    def circuit():
        qml.StatePrep(start, wires=range(3))
        qml.RY(0.4, 0)
        qml.AmplitudeDamping(0.3, 1)
        qml.CNOT([1, 2])
        qml.DepolarizingChannel(0.2, 2)
        return (qml.expval(qml.Z(1)), qml.expval(qml.X(0) @ qml.Y(2)), qml.probs(wires=[1, 2]),
                qml.density_matrix([2, 0]))

    want = qml.QNode(circuit, qml.device("default.mixed", wires=3))()
    got = qml.QNode(circuit, qml.device("vantelo.qubit", wires=3, trajectories=4000, seed=2))()
    for a, b in zip(got, want):
        assert np.all(np.abs(np.asarray(a) - np.asarray(b)) < 4 / np.sqrt(4000))


def test_noise_models_and_refusals():
    model = qml.NoiseModel({qml.noise.op_eq(qml.RX): qml.noise.partial_wires(qml.AmplitudeDamping, 0.3)})

    def base():
        qml.RX(1.1, 0)
        qml.RX(0.5, 1)
        qml.CNOT([0, 1])
        return qml.expval(qml.Z(0)), qml.expval(qml.Z(1))

    want = np.array(qml.add_noise(qml.QNode(base, qml.device("default.mixed", wires=2)), model)())
    got = np.array(qml.add_noise(qml.QNode(base, qml.device("vantelo.qubit", wires=2, trajectories=4000,
                                                             seed=1)), model)())
    assert np.all(np.abs(got - want) < 4 / np.sqrt(4000))
    with pytest.raises(DeviceError, match="trajectories"):
        qml.add_noise(qml.QNode(base, qml.device("vantelo.qubit", wires=2)), model)()
    with pytest.raises((DeviceError, QuantumFunctionError, ValueError)):
        qml.add_noise(qml.QNode(base, qml.device("vantelo.qubit", wires=2, trajectories=10),
                                diff_method="adjoint"), model)()


def test_noisy_estimates_use_one_plan_per_channel_strength_and_batch_rows():
    trajectories = 2000
    device = qml.device("vantelo.qubit", wires=2, trajectories=trajectories, seed=5)

    def base(a, p):
        qml.RX(a, 0)
        qml.CNOT([0, 1])
        qml.DepolarizingChannel(p, 1)
        qml.AmplitudeDamping(p / 2, 0)
        return qml.expval(qml.Z(1)), qml.expval(qml.X(0) @ qml.Z(1))

    f, want = qml.QNode(base, device), qml.QNode(base, qml.device("default.mixed", wires=2))
    angles = np.array([0.3, 1.1, 2.0])
    batched = np.array(f(angles, 0.2))
    # Every row draws the same trajectories, as a call per row does.
    assert np.array_equal(batched, np.array([f(a, 0.2) for a in angles]).T)
    assert device._plans.compiles == 1
    # A new strength is a plan of its own, not the cached one.
    for p in (0.2, 0.6):
        got = np.array(f(angles[0], p))
        assert np.all(np.abs(got - np.array(want(angles[0], p))) < 4 / np.sqrt(trajectories))
    assert device._plans.compiles == 2

    def pauli_error(word):
        qml.PauliError(word, 0.5, wires=[0, 1])
        return qml.expval(qml.Z(0))

    # Channels that differ only in a hyperparameter are different plans too.
    for word in ("ZZ", "XX"):
        want = qml.QNode(pauli_error, qml.device("default.mixed", wires=2))(word)
        assert abs(qml.QNode(pauli_error, device)(word) - want) < 4 / np.sqrt(trajectories)
@pytest.mark.parametrize("channel", sorted(NOISE))
def test_density_method_matches_default_mixed(channel):
    want = np.array(noisy_qnode(qml.device("default.mixed", wires=WIRES), channel)())
    got = np.array(noisy_qnode(qml.device("vantelo.qubit", wires=WIRES, noise_method="density"), channel)())
    assert np.allclose(got, want, atol=1e-5)


def test_density_method_on_every_path_and_refusals():
    def base(a, p):
        qml.RX(a, 0)
        qml.Hadamard(2)
        qml.Toffoli([2, 0, 1])
        qml.DepolarizingChannel(p, 1)
        qml.AmplitudeDamping(p / 2, 0)
        return (qml.expval(qml.Z(1)), qml.var(qml.X(0) @ qml.Z(1)), qml.probs(wires=[1, 0]),
                qml.expval(qml.Hermitian(np.array([[1, 2j], [-2j, 0]]), 0)),
                qml.density_matrix([2, 0]), qml.purity([1, 2]), qml.vn_entropy([1], log_base=2),
                qml.mutual_info([0], [2, 1]))

    device = qml.device("vantelo.qubit", wires=3, noise_method="density")
    want = qml.QNode(base, qml.device("default.mixed", wires=3))(1.1, 0.3)
    for w, g in zip(want, qml.QNode(base, device)(1.1, 0.3)):
        assert np.allclose(g, w, atol=1e-5)

    def pauli(a):  # the compiled path, broadcast
        qml.RY(a, 0)
        qml.CNOT([0, 1])
        qml.AmplitudeDamping(0.4, 1)
        return qml.expval(qml.Z(1)), qml.expval(qml.X(0) @ qml.X(1))

    angles = np.array([0.3, 1.1, 2.0])
    want = np.array(qml.QNode(pauli, qml.device("default.mixed", wires=2))(angles))
    assert np.allclose(np.array(qml.QNode(pauli, qml.device("vantelo.qubit", wires=2,
                                                           noise_method="density"))(angles)),
                       want, atol=1e-5)

    def state():
        qml.BitFlip(0.1, 0)
        return qml.state()
    with pytest.raises(DeviceError, match="not StateMP"):
        qml.QNode(state, qml.device("vantelo.qubit", wires=1, noise_method="density"))()
    with pytest.raises(ValueError, match="noise_method must be"):
        qml.device("vantelo.qubit", wires=1, noise_method="exact")
    with pytest.raises(ValueError, match="no trajectory count"):
        qml.device("vantelo.qubit", wires=1, noise_method="density", trajectories=10)


def test_sums_option_reaches_the_compiled_plan():
    # Accurate sums are the device's default: its value is the float64-sums
    # plan's to the bit; sums="float32" computes differently.
    from vantelo import CircuitSpec, Observable
    n = 6
    angles = np.random.default_rng(0).uniform(-2, 2, n).astype(np.float32)

    def value(**options):
        @qml.qnode(qml.device("vantelo.qubit", wires=n, **options))
        def f(a):
            for q in range(n):
                qml.RY(a[q], wires=q)
            for q in range(n - 1):
                qml.CNOT(wires=[q, q + 1])
            return qml.expval(qml.sum(*[qml.PauliZ(q) @ qml.PauliX((q + 1) % n) for q in range(n)]))
        return float(f(angles))

    spec = CircuitSpec(n)
    slots = [spec.param() for _ in range(n)]
    for q in range(n):
        spec.ry(q, slots[q])
    for q in range(n - 1):
        spec.cx(q, q + 1)
    obs = Observable.hamiltonian([Observable.pauli_string([("Z", q), ("X", (q + 1) % n)]) for q in range(n)])
    assert value() == float(spec.compile(sums="float64").expectation(angles, obs))
    assert value(sums="float32") != value()
    with pytest.raises(ValueError, match="sums must be"):
        qml.device("vantelo.qubit", wires=2, sums="float16")


@pytest.mark.parametrize("fusion", [2, 4])
def test_fusion_option_matches_default_qubit(fusion):
    def circuit():
        for w in range(3):
            qml.Hadamard(w)
            qml.RX(0.3 * (w + 1), wires=w)
        qml.CNOT(wires=[0, 1])
        qml.Toffoli(wires=[0, 1, 2])
        qml.CRY(0.7, wires=[2, 0])
        return qml.state()

    got = qml.QNode(circuit, qml.device("vantelo.qubit", wires=3, fusion=fusion))()
    want = qml.QNode(circuit, qml.device("default.qubit", wires=3))()
    assert np.allclose(got, want, atol=ATOL)
    with pytest.raises(ValueError, match="fusion must be"):
        qml.device("vantelo.qubit", wires=2, fusion=1)
