"""vantelo_interop.cirq.Simulator against cirq.Simulator (double precision)."""

import numpy as np
import pytest

cirq = pytest.importorskip("cirq")
import sympy
from scipy import stats

from vantelo_interop.cirq import Simulator, UnsupportedConstruct

X = sympy.Symbol("x")
Y = sympy.Symbol("y")


def _gate_domain():
    """Cirq's common gate set with exponents and global shifts off their
    special values, dense and controlled gates (arity as random_circuit wants)."""
    domain = dict(cirq.testing.DEFAULT_GATE_DOMAIN)
    domain.update({
        cirq.XPowGate(exponent=0.3, global_shift=0.2): 1,
        cirq.YPowGate(exponent=-0.7, global_shift=-0.5): 1,
        cirq.ZPowGate(exponent=0.45, global_shift=0.1): 1,
        cirq.HPowGate(exponent=0.4): 1,
        cirq.PhasedXPowGate(phase_exponent=0.25, exponent=0.6): 1,
        cirq.CZPowGate(exponent=0.7, global_shift=0.3): 2,
        cirq.CXPowGate(exponent=0.3): 2,
        cirq.SWAP**0.6: 2,
        cirq.ISWAP**-0.4: 2,
        cirq.PhasedISwapPowGate(phase_exponent=0.2, exponent=0.7): 2,
        cirq.FSimGate(theta=0.4, phi=1.1): 2,
        cirq.MatrixGate(cirq.testing.random_unitary(4, random_state=3)): 2,
        cirq.CCX: 3,
        cirq.CCZ: 3,
        # The sub gate's global phase must apply only where the controls hold.
        cirq.XPowGate(exponent=0.5, global_shift=0.3).controlled(2, control_values=[0, 1]): 3,
        cirq.MatrixGate(cirq.testing.random_unitary(2, random_state=4)).controlled(1): 2,
        cirq.QuantumFourierTransformGate(4): 4,
        cirq.QuantumFourierTransformGate(5, without_reverse=True): 5,
    })
    return domain


def random_circuit(n, seed, depth=12):
    domain = {g: k for g, k in _gate_domain().items() if k <= n}
    return cirq.testing.random_circuit(n, depth, 0.9, gate_domain=domain, random_state=seed)


def random_pauli_sum(qubits, seed, terms=4):
    rng = np.random.default_rng(seed)
    total = cirq.PauliSum()
    for _ in range(terms):
        chosen = rng.choice(len(qubits), size=min(3, len(qubits)), replace=False)
        paulis = {qubits[int(i)]: (cirq.X, cirq.Y, cirq.Z)[rng.integers(3)] for i in chosen}
        total += cirq.PauliString(paulis, coefficient=float(rng.normal()))
    return total


@pytest.mark.parametrize("n, seed", [(1, 0), (2, 1), (3, 2), (5, 3), (7, 4), (10, 5)])
def test_random_circuits_match_cirq_states_and_expectations(n, seed):
    circuit = random_circuit(n, seed)
    qubits = sorted(circuit.all_qubits())
    ours = Simulator().simulate(circuit, qubit_order=qubits).final_state_vector
    ref = cirq.Simulator(dtype=np.complex128).simulate(circuit, qubit_order=qubits).final_state_vector
    # Exactly, global phase included (single precision).
    np.testing.assert_allclose(ours, ref, atol=2e-6 * np.sqrt(n))
    observables = [random_pauli_sum(qubits, seed + k) for k in range(2)] + [cirq.Z(qubits[0])]
    got = Simulator().simulate_expectation_values(circuit, observables)
    want = cirq.Simulator(dtype=np.complex128).simulate_expectation_values(circuit, observables)
    np.testing.assert_allclose(got, np.real(want), atol=1e-5)


def _histogram(records, key):
    bits = records[key]
    return bits @ (1 << np.arange(bits.shape[1])[::-1])


@pytest.mark.parametrize("mid_circuit", [False, True], ids=["terminal", "mid-circuit"])
def test_sample_distributions_match_cirq_by_chi_square(mid_circuit):
    q = cirq.NamedQubit.range(4, prefix="")  # random_circuit's qubits
    unitary = random_circuit(4, seed=11, depth=8)
    circuit = unitary.copy()
    if mid_circuit:
        # A mid-circuit measurement, a classically controlled gate on its
        # outcome, a reset, an inverted measurement.
        circuit += cirq.Circuit(
            cirq.measure(q[0], q[1], key="m", invert_mask=(True,)),
            cirq.H(q[2]).with_classical_controls("m"),
            cirq.XPowGate(exponent=0.3)(q[0]).with_classical_controls("m"),
            cirq.reset(q[1]),
            cirq.ry(0.9)(q[1]),
            cirq.measure(q[3], key="inv", invert_mask=(True,)),
        )
    circuit += cirq.measure(*q, key="all", invert_mask=(False, True, True))
    shots = 20_000
    ours = Simulator(seed=5).run(circuit, repetitions=shots)
    assert ours.measurements["all"].shape == (shots, 4)
    # The first measured key against the exact distribution of the unitary part.
    state = cirq.final_state_vector(unitary, qubit_order=q, dtype=np.complex128)
    first = ("m", q[:2], 0b10) if mid_circuit else ("all", q, 0b0110)
    probs = np.abs(state.reshape([2] * 4)) ** 2
    probs = probs.sum(axis=tuple(range(len(first[1]), 4))).reshape(-1)
    # The recorded bits are the outcomes xor the invert mask.
    probs = probs[np.arange(probs.size) ^ first[2]]
    counts = np.bincount(_histogram(ours.measurements, first[0]), minlength=probs.size)
    keep = probs > 1e-9
    assert counts[~keep].sum() == 0
    assert stats.chisquare(counts[keep], probs[keep] / probs[keep].sum() * shots).pvalue > 1e-3
    if mid_circuit:
        # The later keys against Cirq's own samples (Cirq simulates every
        # repetition of a mid-circuit measurement on its own, hence few).
        ref = cirq.Simulator(seed=5).run(circuit, repetitions=600)
        for key in ("inv", "all"):
            a, b = _histogram(ours.measurements, key), _histogram(ref.measurements, key)
            values = np.union1d(a, b)
            table = np.array([[np.sum(a == v) for v in values], [np.sum(b == v) for v in values]])
            assert stats.chi2_contingency(table).pvalue > 1e-3, key


def test_sympy_and_bit_mask_conditions_match_cirq():
    q = cirq.LineQubit.range(4)
    a = sympy.IndexedBase("a")
    circuit = cirq.Circuit(
        cirq.ry(1.1)(q[0]), cirq.ry(2.0)(q[1]), cirq.H(q[2]),
        cirq.measure(q[0], q[1], key="a"), cirq.measure(q[2], key="b"),
        cirq.rx(0.9)(q[3]).with_classical_controls(sympy.Eq(sympy.Symbol("a"), 2)),
        cirq.H(q[2]).with_classical_controls(cirq.SympyCondition(sympy.Xor(a[0], a[1])), "b"),
        cirq.ry(0.6)(q[3]).with_classical_controls(
            cirq.BitMaskKeyCondition("a", bitmask=1, target_value=1, equal_target=True)),
        cirq.X(q[0]).with_classical_controls(sympy.And(sympy.Symbol("a") > 0, sympy.Symbol("b") < 1)),
        cirq.measure(q[0], q[2], q[3], key="z"),
    )
    ours, ref = Simulator(seed=4).run(circuit, repetitions=6000), cirq.Simulator(seed=4).run(circuit, repetitions=1500)
    assert list(ours.records) == list(ref.records) == ["a", "b", "z"]
    joint = [r.data.to_numpy() @ [16, 8, 1] for r in (ours, ref)]
    values = np.union1d(*joint)
    table = np.array([[np.sum(j == v) for v in values] for j in joint])
    assert stats.chi2_contingency(table).pvalue > 1e-3


def test_a_key_measured_again_records_every_measurement_as_cirq_does():
    q = cirq.LineQubit.range(3)
    circuit = cirq.Circuit(
        cirq.ry(1.1)(q[0]), cirq.ry(0.4)(q[1]),
        cirq.measure(q[0], q[1], key="r"),
        cirq.H(q[2]).with_classical_controls("r"),
        cirq.CX(q[2], q[0]),
        cirq.measure(q[0], q[2], key="r", invert_mask=(True,)),
        cirq.ry(0.8)(q[1]).with_classical_controls("r"),  # reads the second measurement
        cirq.measure(q[1], key="end"),
    )
    ours, ref = Simulator(seed=3).run(circuit, repetitions=4000), cirq.Simulator(seed=3).run(circuit, repetitions=800)
    assert ours.records["r"].shape == (4000, 2, 2)
    joint = [np.concatenate([r.records["r"].reshape(len(r.records["r"]), -1), r.records["end"][:, 0]], axis=1)
             @ (1 << np.arange(5)) for r in (ours, ref)]
    values = np.union1d(*joint)
    table = np.array([[np.sum(j == v) for v in values] for j in joint])
    assert stats.chi2_contingency(table).pvalue > 1e-3
    # simulate() reports the latest measurement of a key, as Cirq's does.
    flipped = cirq.Circuit(cirq.X(q[0]), cirq.measure(q[0], q[1], key="d"), cirq.X(q[0]), cirq.X(q[1]),
                           cirq.measure(q[0], q[1], key="d"))
    assert Simulator().simulate(flipped).measurements["d"].tolist() == [0, 1]
    assert cirq.Simulator().simulate(flipped).measurements["d"].tolist() == [0, 1]


def test_confusion_maps_match_cirq_by_chi_square():
    q = cirq.LineQubit.range(3)
    m2 = np.array([[0.7, 0.1, 0.1, 0.1], [0.05, 0.8, 0.1, 0.05], [0.2, 0.2, 0.5, 0.1], [0.0, 0.1, 0.2, 0.7]])
    m1 = np.array([[0.9, 0.1], [0.25, 0.75]])
    circuit = cirq.Circuit(
        cirq.ry(0.9)(q[0]), cirq.CX(q[0], q[1]), cirq.ry(1.7)(q[2]),
        cirq.measure(q[0], q[2], key="a", confusion_map={(1, 0): m2}, invert_mask=(True,)),
        cirq.H(q[0]),
        cirq.measure(*q, key="b", confusion_map={(2,): m1, (0,): m1[::-1]}))
    runs = [sim(seed=1).run(circuit, repetitions=10_000) for sim in (Simulator, cirq.Simulator)]
    joint = [np.concatenate([r.records["a"][:, 0], r.records["b"][:, 0]], axis=1) @ (1 << np.arange(5))
             for r in runs]
    values = np.union1d(*joint)
    table = np.array([[np.sum(j == v) for v in values] for j in joint])
    assert stats.chi2_contingency(table).pvalue > 1e-3


QUBIT_SETS = {
    "line": cirq.LineQubit.range(4),
    "grid": [cirq.GridQubit(r, c) for r in range(2) for c in range(2)],
    "named": [cirq.NamedQubit(name) for name in ("b", "a", "d", "c")],
}


@pytest.mark.parametrize("kind", QUBIT_SETS)
@pytest.mark.parametrize("order", ["default", "reversed", "extra qubit"])
def test_qubit_orders(kind, order):
    qs = QUBIT_SETS[kind]
    circuit = cirq.Circuit(cirq.X(qs[0]), cirq.H(qs[1]), cirq.CNOT(qs[1], qs[2]), cirq.ry(0.4)(qs[3]),
                           cirq.CZPowGate(exponent=0.3)(qs[0], qs[3]))
    qubit_order = {
        "default": cirq.QubitOrder.DEFAULT,
        "reversed": sorted(qs, reverse=True),
        "extra qubit": [cirq.NamedQubit("zz")] + qs[::-1],
    }[order]
    ours = Simulator().simulate(circuit, qubit_order=qubit_order)
    ref = cirq.Simulator().simulate(circuit, qubit_order=qubit_order)
    np.testing.assert_allclose(ours.final_state_vector, ref.final_state_vector, atol=1e-6)
    assert ours.qubit_map == ref.qubit_map
    bitstrings = [0, 3, 5, len(ref.final_state_vector) - 1]
    np.testing.assert_allclose(
        Simulator().compute_amplitudes(circuit, bitstrings, qubit_order=qubit_order),
        ref.final_state_vector[bitstrings], atol=1e-6)


@pytest.mark.parametrize("initial", ["index", "vector"])
def test_initial_states_match_cirq(initial):
    circuit = random_circuit(3, seed=8)
    qubits = sorted(circuit.all_qubits())
    vector = cirq.testing.random_superposition(8, random_state=2).astype(np.complex64)
    start = 5 if initial == "index" else vector
    ours = Simulator().simulate(circuit, initial_state=start).final_state_vector
    ref = cirq.Simulator().simulate(circuit, initial_state=start).final_state_vector
    np.testing.assert_allclose(ours, ref, atol=2e-6)
    observable = random_pauli_sum(qubits, 3)
    np.testing.assert_allclose(
        Simulator().simulate_expectation_values(circuit, observable, initial_state=start),
        np.real(cirq.Simulator().simulate_expectation_values(circuit, observable, initial_state=start)),
        atol=1e-5)


def symbolic_circuit():
    """Every gate with a symbolic rule, exponents affine in x or y."""
    a, b, c = cirq.LineQubit.range(3)
    return cirq.Circuit(
        cirq.H.on_each(a, b, c),
        cirq.rx(2 * X + 0.1)(a), cirq.ry(-Y)(b), cirq.rz(0.5 * X)(c),
        cirq.XPowGate(exponent=X, global_shift=0.2)(b),
        cirq.YPowGate(exponent=Y - 0.3, global_shift=0.1)(c),
        cirq.ZPowGate(exponent=0.7 * X)(a),
        cirq.HPowGate(exponent=Y, global_shift=0.2)(b),
        cirq.PhasedXPowGate(phase_exponent=X, exponent=0.5 * Y)(c),
        cirq.CZPowGate(exponent=X, global_shift=0.3)(a, b),
        cirq.CXPowGate(exponent=-Y)(c, a),
        cirq.XX(a, b) ** X, cirq.YY(b, c) ** (2 * Y), cirq.ZZ(a, c) ** (X + 1),
        cirq.ISWAP(a, c) ** Y, cirq.SWAP(b, c) ** X,
        cirq.PhasedISwapPowGate(phase_exponent=0.3, exponent=X)(a, b),
        cirq.FSimGate(theta=Y, phi=0.3 * X)(b, c),
        cirq.CCZ(a, b, c) ** Y,  # through Cirq's decomposition
    )


def other_expressions_circuit():
    """Angles not affine in one symbol, each evaluated per resolver;
    symbolic gates under controls on 0 or on several qubits; symbolic phases."""
    a, b, c = cirq.LineQubit.range(3)
    return cirq.Circuit(
        cirq.H.on_each(a, b, c),
        cirq.rx(X * Y)(a), cirq.ry(sympy.sin(X) + 0.2)(b), cirq.ZPowGate(exponent=X - Y)(c),
        cirq.FSimGate(theta=X * Y, phi=X + Y)(a, c),
        cirq.rz(X).on(b).controlled_by(a, control_values=[0]),
        cirq.ry(2 * Y).on(c).controlled_by(a),
        cirq.XPowGate(exponent=Y, global_shift=0.25).on(a).controlled_by(b, c, control_values=[1, 0]),
        cirq.GlobalPhaseGate(sympy.exp(sympy.I * X)).on(),
    )


SWEEP = cirq.Linspace("x", -1.2, 0.9, 4) * cirq.Points("y", [0.0, 0.35, -2.1])


@pytest.mark.parametrize("build", [symbolic_circuit, other_expressions_circuit])
def test_symbol_sweeps_match_cirq_states_amplitudes_and_expectations(build):
    circuit = build()
    ours = Simulator().simulate_sweep(circuit, SWEEP)
    ref = cirq.Simulator(dtype=np.complex128).simulate_sweep(circuit, SWEEP)
    assert len(ours) == len(ref) == 12
    for got, want in zip(ours, ref):
        assert got.params == want.params
        np.testing.assert_allclose(got.final_state_vector, want.final_state_vector, atol=3e-6)
    amplitudes = Simulator().compute_amplitudes_sweep(circuit, [1, 6], SWEEP)
    np.testing.assert_allclose(amplitudes, [r.final_state_vector[[1, 6]] for r in ref], atol=3e-6)
    q = sorted(circuit.all_qubits())
    observables = [random_pauli_sum(q, 1), 0.5 * cirq.X(q[0]) * cirq.Y(q[2])]
    got = Simulator().simulate_expectation_values_sweep(circuit, observables, SWEEP)
    want = cirq.Simulator(dtype=np.complex128).simulate_expectation_values_sweep(circuit, observables, SWEEP)
    np.testing.assert_allclose(got, np.real(want), atol=1e-5)


def test_terminal_measurements_are_refused_or_ignored_in_expectations():
    q = cirq.LineQubit.range(2)
    unitary = cirq.Circuit(cirq.H(q[0]), cirq.ry(0.3)(q[1]))
    circuit = unitary + cirq.Circuit(cirq.measure(q[0], key="a", invert_mask=(True,)), cirq.measure(q[1], key="b"))
    observables = [cirq.X(q[0]), cirq.Z(q[1])]
    with pytest.raises(ValueError, match="terminal measurements"):
        Simulator().simulate_expectation_values(circuit, observables)
    got = Simulator().simulate_expectation_values(circuit, observables, permit_terminal_measurements=True)
    np.testing.assert_allclose(got, cirq.Simulator().simulate_expectation_values(unitary, observables), atol=1e-6)
    # A measurement that nothing acts on afterwards but a classical control reads stays.
    controlled = cirq.Circuit(cirq.X(q[0]), cirq.measure(q[0], key="a"), cirq.X(q[1]).with_classical_controls("a"))
    assert Simulator().simulate_expectation_values(controlled, cirq.Z(q[1]), permit_terminal_measurements=True) == [-1]


def test_seed_makes_results_reproducible():
    q = cirq.LineQubit.range(3)
    circuit = cirq.Circuit(cirq.H.on_each(*q), cirq.measure(q[0], key="a"),
                           cirq.X(q[1]).with_classical_controls("a"), cirq.measure(*q, key="b"))

    def draws(seed):
        sim = Simulator(seed=seed)
        runs = [sim.run(circuit, repetitions=50).measurements["b"] for _ in range(2)]
        return runs + [sim.simulate(circuit).final_state_vector]

    first, again, other = draws(3), draws(3), draws(4)
    for a, b in zip(first, again):
        np.testing.assert_array_equal(a, b)
    assert not np.array_equal(first[0], first[1])  # the generator advances
    assert not np.array_equal(first[0], other[0])


@pytest.mark.parametrize("build, message", [
    (lambda q: [cirq.depolarize(0.1, n_qubits=4)(*q, cirq.LineQubit(3))], "acts on 4 qubits"),
    (lambda q: [cirq.X.with_probability(X)(q[0])], "RandomGateChannel has symbols \\(x\\)"),
    (lambda q: [cirq.GlobalPhaseGate(X)()], "symbolic coefficient"),
    (lambda q: [cirq.X(q[0]), 0.5j * cirq.Z(q[0])], "not Hermitian"),
    (lambda q: [cirq.measure(q[0], key="k"), cirq.measure(q[1], q[2], key="k")],
     "'k' is measured on 2 qubits .* and on 1 before"),
    (lambda q: [cirq.measure(q[0], key="k"),
                cirq.X(q[1]).with_classical_controls(cirq.KeyCondition(cirq.MeasurementKey("k"), index=0))],
     "condition.*not supported; conditions read the latest measurement"),
    (lambda q: [cirq.X(q[1]).with_classical_controls("never")], "'never', which is not measured"),
    (lambda q: [cirq.measure(q[0], key="k", confusion_map={(0,): np.eye(2)}),
                cirq.X(q[1]).with_classical_controls("k")], "confusion map and classical controls read its key"),
    (lambda q: [cirq.measure(q[0], key="k"),
                cirq.reset(q[1]).with_classical_controls("k")], "inside a classically controlled"),
])
def test_unsupported_constructs_are_refused_by_name(build, message):
    items = build(cirq.LineQubit.range(3))
    observables = [item for item in items if isinstance(item, cirq.PauliString)]
    circuit = cirq.Circuit(item for item in items if item not in observables)
    with pytest.raises(UnsupportedConstruct, match=message):
        resolver = cirq.ParamResolver({"x": 0.1, "y": 0.2})
        if observables:
            Simulator().simulate_expectation_values(circuit, observables, resolver)
        else:
            Simulator().simulate(circuit, resolver)



# ---------------------------------------------------------------- noise

def _isometry_kraus(count, qubits, seed):
    """A random channel: the blocks of a random isometry are Kraus operators."""
    d = 2**qubits
    rng = np.random.default_rng(seed)
    v, _ = np.linalg.qr(rng.normal(size=(count * d, d)) + 1j * rng.normal(size=(count * d, d)))
    return [v[i * d:(i + 1) * d] for i in range(count)]


NQ = cirq.NamedQubit.range(3, prefix="")
CHANNELS = {
    "depolarize": [cirq.depolarize(0.3)(NQ[0])],
    "depolarize n=2": [cirq.depolarize(0.4, n_qubits=2)(NQ[0], NQ[2])],
    "depolarize n=3": [cirq.depolarize(0.5, n_qubits=3)(*NQ)],
    "bit_flip": [cirq.bit_flip(0.3)(NQ[1])],
    "phase_flip": [cirq.phase_flip(0.3)(NQ[2])],
    "asymmetric_depolarize": [cirq.asymmetric_depolarize(0.1, 0.25, 0.15)(NQ[0])],
    "phase_damp": [cirq.phase_damp(0.6)(NQ[0])],
    "amplitude_damp": [cirq.amplitude_damp(0.5)(NQ[1])],
    "generalized_amplitude_damp": [cirq.generalized_amplitude_damp(0.2, 0.6)(NQ[0])],
    "reset": [cirq.bit_flip(0.2)(NQ[0]), cirq.reset(NQ[1])],
    "kraus": [cirq.KrausChannel(_isometry_kraus(3, 2, seed=1))(NQ[2], NQ[0])],
    "mixture": [cirq.MixedUnitaryChannel([(0.35, cirq.testing.random_unitary(4, random_state=5)),
                                          (0.65, cirq.testing.random_unitary(4, random_state=6))])(NQ[1], NQ[2])],
}
PAULIS = [p(q) for q in NQ for p in (cirq.X, cirq.Y, cirq.Z)] + [cirq.Z(NQ[0]) * cirq.Z(NQ[1]),
                                                                   cirq.X(NQ[1]) * cirq.Y(NQ[2])]


@pytest.mark.parametrize("name", CHANNELS)
def test_channels_match_the_density_matrix(name):
    """Trajectory means within 4 standard errors of the density matrix's
    values (a Pauli's value in one trajectory lies in [-1, 1], so the error
    of a mean of T is at most 1/sqrt(T)), and samples by chi-square."""
    noise = CHANNELS[name]
    unitary = random_circuit(3, seed=20, depth=5) + cirq.Circuit(cirq.H(NQ[2]))
    circuit = unitary + cirq.Circuit(noise) + random_circuit(3, seed=21, depth=3) + cirq.Circuit(noise)
    trajectories = 10_000
    got = Simulator(seed=3, trajectories=trajectories).simulate_expectation_values(circuit, PAULIS, qubit_order=NQ)
    exact = cirq.DensityMatrixSimulator(dtype=np.complex128).simulate_expectation_values(
        circuit, PAULIS, qubit_order=NQ)
    np.testing.assert_array_less(np.abs(np.array(got) - np.real(exact)), 4 / np.sqrt(trajectories))
    shots = 10_000
    runs = Simulator(seed=4).run(circuit + cirq.measure(*NQ, key="all"), repetitions=shots)
    rho = cirq.DensityMatrixSimulator(dtype=np.complex128).simulate(circuit, qubit_order=NQ).final_density_matrix
    probs = np.real(np.diag(rho))
    counts = np.bincount(_histogram(runs.measurements, "all"), minlength=8)
    keep = probs > 1e-9
    assert counts[~keep].sum() == 0
    assert stats.chisquare(counts[keep], probs[keep] / probs[keep].sum() * shots).pvalue > 1e-3


@pytest.mark.parametrize("model", [cirq.depolarize(0.05),
                                   cirq.ConstantQubitNoiseModel(cirq.amplitude_damp(0.1), prepend=True)],
                         ids=["channel", "model"])
def test_noise_model_matches_cirq_density_matrix_simulator(model):
    # Without empty moments: Cirq's simulate drops them before the model sees them.
    unitary = cirq.drop_empty_moments(random_circuit(3, seed=30, depth=6))
    sim = Simulator(seed=5, noise=model, trajectories=20_000)
    oracle = cirq.DensityMatrixSimulator(noise=model, dtype=np.complex128, seed=5)
    got = sim.simulate_expectation_values(unitary, PAULIS, qubit_order=NQ)
    np.testing.assert_array_less(
        np.abs(np.array(got) - np.real(oracle.simulate_expectation_values(unitary, PAULIS, qubit_order=NQ))),
        4 / np.sqrt(20_000))
    # States: each resolver is one trajectory; their mean is the density matrix.
    states = np.array([r.final_state_vector for r in sim.simulate_sweep(unitary, [{}] * 3000, qubit_order=NQ)])
    rho = np.einsum("ti,tj->ij", states, states.conj()) / len(states)
    np.testing.assert_allclose(rho, oracle.simulate(unitary, qubit_order=NQ).final_density_matrix, atol=0.05)
    # A measurement that later noise on its qubit follows, then gates on the
    # others and a terminal measurement: the records against Cirq's.
    circuit = unitary + cirq.Circuit(cirq.measure(NQ[0], key="m"), cirq.CZ(NQ[1], NQ[2]), cirq.H(NQ[1]),
                                     cirq.measure(NQ[1], NQ[2], key="r", invert_mask=(True,)))
    ours = sim.run(circuit, repetitions=20_000)
    ref = oracle.run(circuit, repetitions=1_000)
    a, b = (4 * r.measurements["m"][:, 0] + _histogram(r.measurements, "r") for r in (ours, ref))
    values = np.union1d(a, b)
    table = np.array([[np.sum(a == v) for v in values], [np.sum(b == v) for v in values]])
    assert stats.chi2_contingency(table).pvalue > 1e-3


def test_noisy_results_are_reproducible_from_the_seed():
    circuit = random_circuit(3, seed=40, depth=4) + cirq.Circuit(cirq.amplitude_damp(0.3).on_each(*NQ))

    def draws(seed):
        sim = Simulator(seed=seed, noise=cirq.depolarize(0.1), trajectories=100)
        return [sim.run(circuit + cirq.measure(*NQ, key="k"), repetitions=200).measurements["k"],
                sim.simulate(circuit, qubit_order=NQ).final_state_vector,
                sim.simulate_expectation_values(circuit, PAULIS, qubit_order=NQ)]

    first, again, other = draws(8), draws(8), draws(9)
    for a, b, c in zip(first, again, other):
        np.testing.assert_array_equal(a, b)
        assert not np.array_equal(a, c)


def test_noisy_expectations_without_trajectories_are_refused_clearly():
    circuit = cirq.Circuit(cirq.H(NQ[0]), cirq.depolarize(0.1)(NQ[0]))
    with pytest.raises(ValueError, match="create the Simulator with trajectories=T"):
        Simulator().simulate_expectation_values(circuit, cirq.X(NQ[0]))
    with pytest.raises(ValueError, match="trajectories must be a positive integer"):
        Simulator(trajectories=0)
    with pytest.raises(ValueError, match="noise_method must be 'trajectories' or 'density'"):
        Simulator(noise_method="exact")
    with pytest.raises(ValueError, match="give no trajectory count"):
        Simulator(noise_method="density", trajectories=10)
    controlled = cirq.Circuit(cirq.measure(NQ[0], key="k"), cirq.X(NQ[1]).with_classical_controls("k"))
    with pytest.raises(ValueError, match="cannot start from a state vector or run classically controlled"):
        Simulator(noise_method="density").simulate_expectation_values(
            circuit + controlled, cirq.Z(NQ[1]), permit_terminal_measurements=True)


def test_density_expectations_match_cirq_density_matrix_simulator():
    """Exact values of a swept noisy circuit with a reset, a mid-circuit
    measurement (its outcome averaged: Cirq's reference dephases the qubit
    instead, as it would draw an outcome) and a noise model, against Cirq's
    density-matrix simulator on each resolved circuit with the model's noise
    written in (that simulator skips the noise of empty moments, which
    cirq.Simulator and the model's own moments keep)."""
    x = sympy.Symbol("x")
    body = random_circuit(3, seed=41, depth=4) + cirq.Circuit(
        cirq.ry(2 * x)(NQ[0]), cirq.CNOT(NQ[0], NQ[1]), cirq.amplitude_damp(0.3)(NQ[1]), cirq.reset(NQ[2]),
        cirq.rx(x)(NQ[2]), cirq.CNOT(NQ[1], NQ[2]))
    measured, dephased = (body + cirq.Circuit(op, cirq.H(NQ[0]), cirq.CZ(NQ[0], NQ[2]))
                          for op in (cirq.measure(NQ[0], key="m"), cirq.phase_damp(1.0)(NQ[0])))
    noise, sweep = cirq.depolarize(0.05), cirq.Linspace("x", -1.0, 2.0, 4)
    sim = Simulator(noise=noise, noise_method="density")
    assert sim.noise_method == "density"
    got = sim.simulate_expectation_values_sweep(measured, PAULIS, sweep)
    oracle = cirq.DensityMatrixSimulator(dtype=np.complex128)
    want = [oracle.simulate_expectation_values(cirq.Circuit(cirq.NoiseModel.from_noise_model_like(noise).noisy_moments(
        cirq.resolve_parameters(dephased, r), NQ)), PAULIS) for r in sweep]
    np.testing.assert_allclose(got, np.real(want), atol=2e-5)



@pytest.mark.parametrize("initial", [None, "vector"])
@pytest.mark.parametrize("collapse", ["reset", "measure"])
def test_collapses_are_averaged_when_trajectories_are_given(collapse, initial):
    """A reset or mid-circuit measurement of an entangled qubit leaves a
    mixture: with trajectories the expectation is the mixture's, within 5
    standard errors, not one drawn trajectory's (+1 or -1 here)."""
    op = cirq.reset(NQ[1]) if collapse == "reset" else cirq.measure(NQ[1], key="m")
    circuit = cirq.Circuit(cirq.H(NQ[0]), cirq.CNOT(NQ[0], NQ[1]), op, cirq.H(NQ[1]))
    observables = [cirq.Z(NQ[0]), cirq.X(NQ[1])]
    start = None if initial is None else np.eye(1, 8, 0, dtype=np.complex64)[0]
    rho = _deferred_density_matrix(circuit)
    want = [np.real(o.expectation_from_density_matrix(rho, {q: i for i, q in enumerate(NQ)})) for o in observables]
    got = Simulator(seed=3, trajectories=2000).simulate_expectation_values(
        circuit, observables, qubit_order=NQ, initial_state=start)
    np.testing.assert_allclose(got, want, atol=5 / np.sqrt(2000))

# Noise before and after mid-circuit measurements whose outcomes control
# later gates (a single key, two keys, a key of two bits).
FED_FORWARD = cirq.Circuit(
    cirq.amplitude_damp(0.3)(NQ[0]), cirq.measure(NQ[0], key="m"),
    cirq.H(NQ[1]).with_classical_controls("m"), cirq.depolarize(0.2)(NQ[1]),
    cirq.measure(NQ[1], NQ[2], key="r"),
    cirq.ry(0.7)(NQ[2]).with_classical_controls("m", "r"), cirq.X(NQ[0]).with_classical_controls("r"),
    cirq.bit_flip(0.1)(NQ[2]))


def _deferred_density_matrix(circuit, initial=None):
    """The exact mixed state on NQ: measurements deferred onto ancillas
    (classical controls become quantum ones) and dephased, ancillas traced out."""
    deferred = cirq.dephase_measurements(cirq.defer_measurements(circuit))
    extra = sorted(set(deferred.all_qubits()) - set(NQ))
    start = None
    if initial is not None:
        start = np.kron(initial, np.eye(1, 2 ** len(extra))[0]).astype(np.complex128)
    rho = cirq.DensityMatrixSimulator(dtype=np.complex128).simulate(
        deferred, qubit_order=NQ + extra, initial_state=start).final_density_matrix
    return np.einsum("iaja->ij", rho.reshape([8, 2 ** len(extra)] * 2))


@pytest.mark.parametrize("initial", [None, "vector"])
def test_noisy_classical_control_matches_the_deferred_density_matrix(initial):
    """Means within 4 standard errors, final states averaged over resolvers
    and (from |000>) the final samples by chi-square."""
    circuit = random_circuit(3, seed=50, depth=4) + FED_FORWARD
    start = None
    if initial is not None:
        rng = np.random.default_rng(2)
        start = (rng.normal(size=8) + 1j * rng.normal(size=8)).astype(np.complex64)
        start /= np.linalg.norm(start)
    rho = _deferred_density_matrix(circuit, start)
    positions = {q: i for i, q in enumerate(NQ)}
    exact = [np.real(p.expectation_from_density_matrix(rho, positions)) for p in PAULIS]
    trajectories = 3000
    sim = Simulator(seed=3, trajectories=trajectories)
    got = sim.simulate_expectation_values(circuit, PAULIS, qubit_order=NQ, initial_state=start,
                                          permit_terminal_measurements=True)
    np.testing.assert_array_less(np.abs(np.array(got) - exact), 4 / np.sqrt(trajectories))
    states = np.array([r.final_state_vector for r in sim.simulate_sweep(
        circuit, [{}] * 2000, qubit_order=NQ, initial_state=start)])
    np.testing.assert_allclose(np.einsum("ti,tj->ij", states, states.conj()) / len(states), rho, atol=0.06)
    if initial is None:
        shots = 10_000
        runs = sim.run(circuit + cirq.measure(*NQ, key="all"), repetitions=shots)
        probs = np.real(np.diag(rho))
        counts = np.bincount(_histogram(runs.measurements, "all"), minlength=8)
        keep = probs > 1e-9
        assert counts[~keep].sum() == 0
        assert stats.chisquare(counts[keep], probs[keep] / probs[keep].sum() * shots).pvalue > 1e-3


POOL_PROBE = """
import hashlib, sys
import numpy as np
sys.path.insert(0, {tests!r})
import vantelo
vantelo.set_num_threads({threads})
from test_interop_cirq import FED_FORWARD, NQ, PAULIS, Simulator, cirq, random_circuit
circuit = random_circuit(3, seed=51, depth=4) + FED_FORWARD
sim = Simulator(seed=7, noise=cirq.depolarize(0.05), trajectories=50)
h = hashlib.sha256(sim.run(circuit + cirq.measure(*NQ, key="all"), repetitions=300).measurements["all"].tobytes())
h.update(np.array(sim.simulate_expectation_values(circuit, PAULIS, permit_terminal_measurements=True)).tobytes())
h.update(sim.final_state_vector(circuit, initial_state=np.full(8, 8 ** -0.5, dtype=np.complex64)).tobytes())
print(h.hexdigest())
"""


def test_noisy_classical_control_is_identical_for_every_pool_size(isolated):
    import os
    tests = os.path.dirname(os.path.abspath(__file__))
    outs = set()
    for threads in (1, 3):
        proc = isolated(POOL_PROBE.format(tests=tests, threads=threads))
        assert proc.returncode == 0, proc.stderr
        outs.add(proc.stdout)
    assert len(outs) == 1


def test_a_circuit_edited_after_a_call_is_translated_anew():
    """Translations are cached by value (angle expressions), never by
    circuit: a circuit edited in place gives the edited results."""
    circuit = symbolic_circuit()
    resolver = {"x": 0.4, "y": -0.7}
    sim = Simulator()
    sim.final_state_vector(circuit, resolver)
    a, b, _ = sorted(circuit.all_qubits())
    circuit.append([cirq.rx(3 * X - 0.2)(a), cirq.CZ(a, b) ** (0.5 * Y), cirq.T(b)])
    want = cirq.final_state_vector(circuit, param_resolver=resolver, dtype=np.complex128)
    np.testing.assert_allclose(sim.final_state_vector(circuit, resolver), want, atol=3e-6)
