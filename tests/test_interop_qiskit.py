"""Qiskit circuits and V2 primitives against Qiskit's own reference
primitives (StatevectorEstimator, StatevectorSampler, Statevector)."""

import numpy as np
import pytest

pytest.importorskip("qiskit")

from qiskit import ClassicalRegister, QuantumCircuit
from qiskit.circuit import (AnnotatedOperation, Clbit, ControlModifier, InverseModifier, Parameter, ParameterVector,
                            PowerModifier)
from qiskit.circuit.library import PermutationGate, QFTGate, RZZGate, efficient_su2
from qiskit.circuit.random import random_circuit
from qiskit.primitives import StatevectorEstimator, StatevectorSampler
from qiskit.quantum_info import DensityMatrix, Pauli, SparsePauliOp, Statevector, random_clifford, random_unitary

from vantelo import Circuit, CircuitSpec
from vantelo_interop.qiskit import EstimatorV2, SamplerV2, UnsupportedConstruct, from_qiskit

RNG = np.random.default_rng(20261208)


def ansatz(n=4):
    """A parameterized circuit that exercises every translation path: native
    rotations, a ParameterVector, affine angles, u with free parameters, a
    controlled rotation expanded through its definition, a wide library gate."""
    qc = efficient_su2(n, reps=2)
    a, b = Parameter("a"), Parameter("b")
    qc.cp(0.5 * a - 0.25, 0, 1)
    qc.u(b, -a, 0.3, 2)
    qc.crx(2 * b, 3, 0)
    qc.append(QFTGate(3), [0, 2, 3])
    qc.rzz(a, 1, 2)
    return qc


@pytest.mark.parametrize("seed", range(4))
def test_random_bound_circuits_match_statevector_with_global_phase(seed):
    qc = random_circuit(5, 8, max_operands=3, seed=seed)
    qc.unitary(random_unitary(4, seed=seed), [seed % 5, (seed + 2) % 5])
    qc.append(PermutationGate(np.random.default_rng(seed).permutation(4)), [(seed + k) % 5 for k in (3, 0, 4, 1)])
    # Operations that are not instructions: Qiskit's synthesis writes them out.
    modifiers = [InverseModifier(), PowerModifier(2), ControlModifier(1, ctrl_state=seed % 2)]
    qc.append(AnnotatedOperation(RZZGate(0.3 + seed), modifiers), [(seed + k) % 5 for k in (1, 2, 4)])
    qc.append(random_clifford(2, seed=seed), [seed % 5, (seed + 3) % 5])
    circuit = from_qiskit(qc)
    assert isinstance(circuit, Circuit)
    np.testing.assert_allclose(circuit.run(5), Statevector(qc).data, atol=3e-6)


def test_free_parameters_give_a_circuit_spec_in_qiskit_order():
    theta = ParameterVector("t", 3)
    qc = QuantumCircuit(2)
    qc.h(0)
    qc.rx(2 * theta[2], 0)
    qc.ry(-theta[0] + 0.5, 1)
    qc.cx(0, 1)
    qc.p(-3 * theta[1], 1)
    qc.u(theta[0], 0.2, theta[1], 0)
    spec = from_qiskit(qc)
    assert isinstance(spec, CircuitSpec) and spec.parameter_count == 3
    values = RNG.uniform(-np.pi, np.pi, 3)
    bound = Statevector(qc.assign_parameters(values)).data
    ours = spec.compile().statevector(values)
    # p(-k t) is built as X p(k t) X, which differs by a global phase only.
    assert abs(abs(np.vdot(bound, ours)) - 1) < 2e-6


@pytest.mark.parametrize("angle, message", [
    (lambda a, b: 0.5 * a, "non-integer factor"),
    (lambda a, b: a * b, "depends on 2 parameters"),
    (lambda a, b: a.sin(), "not affine"),
])
def test_angles_outside_the_supported_forms_are_refused(angle, message):
    a, b = Parameter("a"), Parameter("b")
    qc = QuantumCircuit(1)
    qc.rx(angle(a, b), 0)
    with pytest.raises(UnsupportedConstruct, match=message):
        from_qiskit(qc)


def test_classical_feedback_is_refused():
    qc = QuantumCircuit(2, 1)
    qc.h(0)
    qc.measure(0, 0)
    with qc.while_loop((qc.clbits[0], 1)):
        qc.x(1)
    with pytest.raises(UnsupportedConstruct, match="'while' .* classical feedback"):
        from_qiskit(qc)
    qc = QuantumCircuit(2, 1)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(1)
    with pytest.raises(UnsupportedConstruct, match="classically controlled gate needs the shots' own outcomes"):
        from_qiskit(qc)  # a one-off circuit has no shots: SamplerV2 runs it


# Broadcasting shapes from Qiskit's primitives guide: (observables, values).
SHAPES = [
    ((), ()),
    ((), (5,)),
    ((3,), (3,)),
    ((4, 1), (1, 6)),
    ((2, 1, 1), (1, 3, 2)),
]


@pytest.mark.parametrize("obs_shape, value_shape", SHAPES)
def test_estimator_matches_statevector_estimator_with_broadcasting(obs_shape, value_shape):
    qc = ansatz()
    labels = ["XXYZ", "IZZI", "ZIII", "IIXY", "YYII", "ZZZZ"]
    pool = [SparsePauliOp.from_list([(labels[k], 0.7), (labels[k - 1], -0.3), ("IIII", 0.2)]) for k in range(6)]
    pool[1] = Pauli("XYZI")  # a bare Pauli is an observable too
    observables = np.empty(obs_shape, dtype=object)
    for k, index in enumerate(np.ndindex(obs_shape)):
        observables[index] = pool[k % len(pool)]
    if obs_shape == ():
        observables = pool[0]
    values = RNG.uniform(-np.pi, np.pi, value_shape + (qc.num_parameters,))
    pub = (qc, observables, values)
    ours = EstimatorV2().run([pub]).result()[0].data
    ref = StatevectorEstimator().run([pub]).result()[0].data
    assert ours.evs.shape == ref.evs.shape
    np.testing.assert_allclose(ours.evs, ref.evs, atol=2e-5)


def test_estimator_precision_is_gaussian_shot_noise():
    qc = ansatz()
    values = RNG.uniform(-np.pi, np.pi, (400, qc.num_parameters))
    pub = (qc, SparsePauliOp("ZZII"), values)
    exact = StatevectorEstimator().run([pub]).result()[0].data.evs
    noisy = EstimatorV2(seed=7).run([pub], precision=0.05).result()[0]
    again = EstimatorV2(seed=7).run([pub], precision=0.05).result()[0]
    np.testing.assert_array_equal(noisy.data.evs, again.data.evs)
    residual = noisy.data.evs - exact
    # 400 draws of N(0, 0.05^2): mean and spread within five standard errors.
    assert abs(residual.mean()) < 5 * 0.05 / 20
    assert abs(residual.std() - 0.05) < 5 * 0.05 / np.sqrt(800)
    assert noisy.metadata["target_precision"] == 0.05


def reset_circuit():
    t = Parameter("t")
    qc = QuantumCircuit(2)
    qc.ry(t, 0)
    qc.cx(0, 1)
    qc.reset(0)
    qc.h(0)
    qc.rx(0.4, 1)
    return qc


@pytest.mark.parametrize("circuit, observable", [
    (ansatz(), SparsePauliOp("ZZII")),
    (reset_circuit(), SparsePauliOp(["ZI", "YX"], [0.5, 0.3])),
], ids=["noise", "resets"])
def test_estimator_seed_gives_every_pub_its_own_generator(circuit, observable):
    values = RNG.uniform(-np.pi, np.pi, (300, circuit.num_parameters))
    pub = (circuit, observable, values)

    def run(estimator, precision=0.05):
        return [r.data.evs for r in estimator.run([pub, pub], precision=precision).result()]

    ours, ours_twin = run(EstimatorV2(seed=12))
    theirs, theirs_twin = run(StatevectorEstimator(seed=12))
    np.testing.assert_array_equal(theirs, theirs_twin)  # the reference's semantics
    np.testing.assert_array_equal(ours, ours_twin)
    np.testing.assert_array_equal(ours, run(EstimatorV2(seed=12))[0])
    if circuit.num_qubits == 4:
        # The same noise draws as the reference for the same seed.
        exact, exact_theirs = run(EstimatorV2(), 0)[0], run(StatevectorEstimator(), 0)[0]
        np.testing.assert_allclose(ours - exact, theirs - exact_theirs, atol=1e-5)
    else:
        # Resets are averaged over ceil(1/0.05**2) trajectories, not drawn
        # once per value (whose errors would be 0.1 and more): the means are
        # within the precision asked for of the mixture's values.
        data = EstimatorV2(seed=12).run([pub], precision=0.05).result()[0].data
        mixture = [DensityMatrix(circuit.assign_parameters(v)).expectation_value(observable).real for v in values]
        assert np.sqrt(np.mean((data.evs - mixture) ** 2)) < 0.05
        assert 0 < data.stds.max() <= 0.05



def test_estimator_runs_resets_of_untouched_qubits_exactly():
    """`initialize` resets first; on qubits nothing has touched that reset
    has one outcome, so the values are exact, with no trajectories."""
    from qiskit.quantum_info import random_statevector

    qc = QuantumCircuit(3)
    qc.h(1)
    qc.initialize(random_statevector(4, seed=3).data, [0, 2])
    qc.cx(1, 0)
    observable = SparsePauliOp(["ZZI", "XIY", "IYX"], [0.5, 0.3, -0.7])
    data = EstimatorV2(seed=1).run([(qc, observable)]).result()[0].data
    assert data.stds == 0
    assert data.evs == pytest.approx(DensityMatrix(qc).expectation_value(observable).real, abs=1e-5)

@pytest.mark.parametrize("primitive, pub", [
    (EstimatorV2, lambda qc: (qc, SparsePauliOp("Z" * 32))),
    (SamplerV2, lambda qc: (qc.measure_all(inplace=False),)),
], ids=["estimator", "sampler"])
def test_primitives_refuse_more_than_31_qubits_up_front(primitive, pub):
    qc = QuantumCircuit(32)
    qc.h(0)
    with pytest.raises(ValueError, match="^state vector has 32 qubits, at most 31 are supported$"):
        primitive().run([pub(qc)]).result()


def total_variation(counts_a, counts_b):
    na, nb = sum(counts_a.values()), sum(counts_b.values())
    keys = set(counts_a) | set(counts_b)
    return 0.5 * sum(abs(counts_a.get(k, 0) / na - counts_b.get(k, 0) / nb) for k in keys)


def measured(qc):
    """The ansatz with two registers of terminal measurements."""
    out = QuantumCircuit(*qc.qregs)
    out.compose(qc, inplace=True)
    low, high = ClassicalRegister(3, "low"), ClassicalRegister(2, "high")
    out.add_register(low)
    out.add_register(high)
    out.measure([0, 1, 2], low)
    out.measure([3, 0], high)
    return out


def test_sampler_matches_statevector_sampler_per_register():
    qc = measured(ansatz())
    values = RNG.uniform(-np.pi, np.pi, (2, 3, qc.num_parameters))
    shots = 8000
    ours = SamplerV2(seed=1).run([(qc, values)], shots=shots).result()[0].data
    ref = StatevectorSampler(seed=1).run([(qc, values)], shots=shots).result()[0].data
    for name, bits in (("low", 3), ("high", 2)):
        got, want = getattr(ours, name), getattr(ref, name)
        assert (got.shape, got.num_shots, got.num_bits) == ((2, 3), shots, bits)
        for index in np.ndindex(2, 3):
            # Two independent 8000-shot histograms over at most 8 outcomes.
            assert total_variation(got.get_counts(index), want.get_counts(index)) < 0.05
    repeat = SamplerV2(seed=1).run([(qc, values)], shots=shots).result()[0].data
    np.testing.assert_array_equal(repeat.low.array, ours.low.array)


def exact_distribution(qc):
    """Outcome probabilities of a circuit with mid-circuit measurements,
    resets and `if` blocks, by following every branch with Qiskit's
    Statevector."""
    def run(circuit, qmap, cmap, branches):
        for item in circuit.data:
            qubits = [qmap[circuit.find_bit(q).index] for q in item.qubits]
            clbits = [cmap[circuit.find_bit(c).index] for c in item.clbits]
            name = item.operation.name
            if name == "if_else":
                target, value = item.operation.condition
                where = [cmap[circuit.find_bit(b).index] for b in ([target] if isinstance(target, Clbit) else target)]
                nxt = []
                for branch in branches:
                    held = sum(branch[2][c] << i for i, c in enumerate(where)) == int(value)
                    body = item.operation.blocks[0] if held else (item.operation.blocks + (None,))[1]
                    nxt += [branch] if body is None else run(body, qubits, clbits, [branch])
                branches = nxt
            elif name not in ("measure", "reset"):
                branches = [(s.evolve(item.operation, qubits), p, b) for s, p, b in branches]
            else:
                nxt = []
                for state, prob, bits in branches:
                    for outcome, p in enumerate(state.probabilities(qubits)):
                        if p < 1e-12:
                            continue
                        data = state.data.reshape(-1, 2, 2 ** qubits[0]).copy()
                        data[:, 1 - outcome, :] = 0
                        if name == "reset" and outcome:
                            data[:, 0, :], data[:, 1, :] = data[:, 1, :], 0
                        new_bits = list(bits)
                        if name == "measure":
                            new_bits[clbits[0]] = outcome
                        nxt.append((Statevector(data.reshape(-1) / np.sqrt(p)), prob * p, new_bits))
                branches = nxt
        return branches

    start = [(Statevector.from_int(0, 2**qc.num_qubits), 1.0, [0] * qc.num_clbits)]
    branches = run(qc, range(qc.num_qubits), range(qc.num_clbits), start)
    dist = {}
    for _, prob, bits in branches:
        key = "".join(str(b) for b in reversed(bits))
        dist[key] = dist.get(key, 0) + prob
    return dist


def test_sampler_runs_each_shot_as_its_own_trajectory():
    theta = Parameter("theta")
    qc = QuantumCircuit(3, 4)
    qc.ry(theta, 0)
    qc.cx(0, 1)
    qc.measure(0, 0)
    qc.reset(0)
    qc.h(0)
    qc.cry(1.1, 1, 2)
    qc.measure(2, 1)
    qc.cx(0, 2)
    qc.ry(0.4, 1)
    qc.measure([1, 2, 0], [2, 3, 0])
    shots = 20000
    result = SamplerV2(seed=5).run([(qc, [1.3])], shots=shots).result()[0].data.c
    counts = result.get_counts()
    exact = exact_distribution(qc.assign_parameters([1.3]))
    assert total_variation(counts, {k: v * shots for k, v in exact.items()}) < 0.03
    # Shots are shuffled after grouping: the first half looks like the whole.
    first = result.slice_shots(range(shots // 2)).get_counts()
    assert total_variation(first, counts) < 0.04


def _teleport():
    qc = QuantumCircuit(3, 3)
    qc.ry(1.1, 0)
    qc.rz(0.4, 0)
    qc.h(1)
    qc.cx(1, 2)
    qc.cx(0, 1)
    qc.h(0)
    qc.measure([0, 1], [0, 1])
    with qc.if_test((qc.clbits[1], 1)):
        qc.x(2)
    with qc.if_test((qc.clbits[0], True)):
        qc.z(2)
    qc.rz(-0.4, 2)
    qc.ry(-1.1, 2)
    qc.measure(2, 2)
    return qc


def _register_if_else():
    # A register's value (tests of bits for 1 and for 0), its else, an `if`
    # nested in the else on a bit being 0, one on a bit never measured, and
    # a parameterized rotation under a condition.
    theta = Parameter("theta")
    qc = QuantumCircuit(4, 4)
    qc.h(0)
    qc.ry(1.3, 1)
    qc.measure([0, 1], [0, 1])
    with qc.if_test((qc.cregs[0], 2)) as orelse:
        qc.x(2)
        qc.ry(theta, 3)
    with orelse:
        qc.ry(1.2, 2)
        with qc.if_test((qc.clbits[0], 0)):
            qc.h(3)
            qc.cx(3, 2)
    with qc.if_test((qc.clbits[3], 1)):
        qc.x(3)
    qc.measure([2, 3], [2, 3])
    return qc


@pytest.mark.parametrize("make, values", [(_teleport, []), (_register_if_else, [0.7])])
def test_sampler_runs_gates_under_conditions_on_measured_bits(make, values):
    qc = make()
    shots = 20000
    counts = SamplerV2(seed=4).run([(qc, values)], shots=shots).result()[0].data.c.get_counts()
    exact = exact_distribution(qc.assign_parameters(values))
    assert total_variation(counts, {k: v * shots for k, v in exact.items()}) < 0.03
    if make is _teleport:
        assert all(k[0] == "0" for k in counts)  # the state teleported back and undone


def _two_measured_qubits(angle):
    """Qubits 0 and 1 measured into clbits 0 and 1 and into a register of their own."""
    qc = QuantumCircuit(4, 4)
    qc.h(0)
    qc.ry(angle, 1)
    qc.measure([0, 1], [0, 1])
    low = ClassicalRegister(2, "low")
    qc.add_register(low)
    qc.measure([0, 1], list(low))
    return qc, low


def _expression_conditions():
    # Logic, comparisons and a bitwise operation of a register and clbits,
    # with an else and a nested test.
    from qiskit.circuit.classical import expr
    qc, low = _two_measured_qubits(1.9)
    with qc.if_test(expr.logic_or(expr.logic_and(qc.clbits[0], expr.logic_not(qc.clbits[1])),
                                  expr.equal(low, 3))) as orelse:
        qc.x(2)
    with orelse:
        qc.ry(0.9, 2)
        with qc.if_test(expr.less(expr.bit_xor(low, 1), 2)):
            qc.rx(1.2, 3)
    qc.measure([2, 3], [2, 3])
    return qc


def _switches():
    # On a register (a case of two values, a default) and on a clbit.
    qc, low = _two_measured_qubits(2.1)
    with qc.switch(low) as case:
        with case(0, 3):
            qc.ry(0.7, 2)
        with case(case.DEFAULT):
            qc.h(2)
            qc.cx(2, 3)
    with qc.switch(qc.clbits[0]) as case:
        with case(True):
            qc.rx(0.5, 3)
    qc.measure([2, 3], [2, 3])
    return qc


@pytest.mark.parametrize("make", [_expression_conditions, _switches])
def test_sampler_runs_expression_conditions_and_switches_as_aer_does(make):
    from qiskit.primitives import BitArray
    from qiskit_aer import AerSimulator
    qc = make()
    shots, aer_shots = 20000, 200000
    data = SamplerV2(seed=6).run([qc], shots=shots).result()[0].data
    ours = BitArray.concatenate_bits([getattr(data, r.name) for r in qc.cregs]).get_counts()
    theirs = AerSimulator(seed_simulator=3).run(qc, shots=aer_shots).result().get_counts()
    theirs = {k.replace(" ", ""): v * shots / aer_shots for k, v in theirs.items()}
    assert total_variation(ours, theirs) < 0.02


# ------------------------------------------------------------------ channels

def _noisy_circuit(measure=False):
    from qiskit.quantum_info import Kraus
    g = 0.3
    damping = Kraus([np.array([[1, 0], [0, np.sqrt(1 - g)]]), np.array([[0, np.sqrt(g)], [0, 0]])])
    flips = Kraus([np.sqrt(0.8) * np.eye(4), np.sqrt(0.2) * np.kron(Pauli("X").to_matrix(), Pauli("Z").to_matrix())])
    qc = QuantumCircuit(3)
    qc.h(0)
    qc.cx(0, 1)
    qc.ry(0.7, 2)
    qc.append(damping, [1])
    qc.append(flips, [0, 2])
    qc.cx(1, 2)
    qc.append(damping, [0])
    if measure:
        qc.measure_all()
    return qc


def test_kraus_channels_match_the_density_matrix():
    from qiskit.quantum_info import DensityMatrix
    qc = _noisy_circuit()
    observables = [SparsePauliOp(label) for label in ("ZZI", "IXX", "ZIY", "IIZ")]
    exact = [DensityMatrix(qc).expectation_value(o).real for o in observables]
    result = EstimatorV2(seed=4, trajectories=4000).run([(qc, observables)]).result()[0]
    assert np.all(np.abs(result.data.evs - exact) <= 4 * result.data.stds + 1e-5)
    assert result.data.stds.max() > 0  # true standard errors, not the precision
    again = EstimatorV2(seed=4, trajectories=4000).run([(qc, observables)]).result()[0]
    assert again.data.evs.tolist() == result.data.evs.tolist()
    # Exactly on the density matrix, a reset of an entangled qubit and a
    # free parameter included, broadcast against the observables.
    theta = Parameter("theta")
    swept = qc.copy()
    swept.reset(1)
    swept.rx(theta, 1)
    swept.cx(1, 0)
    points = np.array([[-0.4], [1.3]])
    density = EstimatorV2(noise_method="density").run([(swept, [[o] for o in observables], points)]).result()[0]
    exact = [[DensityMatrix(swept.assign_parameters([t[0]])).expectation_value(o).real for t in points]
             for o in observables]
    np.testing.assert_allclose(density.data.evs, exact, atol=2e-5)

    shots = 4000
    counts = SamplerV2(seed=2).run([_noisy_circuit(measure=True)], shots=shots).result()[0].data.meas
    probs = DensityMatrix(qc).probabilities()
    got = np.bincount(np.array([int(k, 2) for k in counts.get_bitstrings()]), minlength=8)
    keep = probs * shots >= 5
    stat = np.sum((got[keep] - probs[keep] * shots) ** 2 / (probs[keep] * shots))
    dof = keep.sum() - 1
    assert stat < dof * (1 - 2 / (9 * dof) + 3.09 * np.sqrt(2 / (9 * dof))) ** 3


def test_noisy_mid_circuit_measurement_and_refusal():
    from qiskit.quantum_info import Kraus
    qc = QuantumCircuit(2, 2)
    qc.x(0)
    qc.append(Kraus([np.diag([1, np.sqrt(0.5)]), np.array([[0, np.sqrt(0.5)], [0, 0]])]), [0])
    qc.measure(0, 0)
    qc.cx(0, 1)
    qc.measure(1, 1)
    bits = SamplerV2(seed=1).run([qc], shots=2000).result()[0].data.c.get_counts()
    assert set(bits) <= {"00", "11"}  # the second bit copies the first
    assert abs(bits.get("11", 0) / 2000 - 0.5) < 4 * np.sqrt(0.25 / 2000)
    wide = QuantumCircuit(4)
    wide.append(Kraus([np.sqrt(0.5) * np.eye(16), np.sqrt(0.5) * np.diag([1.0, -1.0] * 8)]), range(4))
    with pytest.raises(UnsupportedConstruct, match="1 to 3"):
        EstimatorV2().run([(wide, SparsePauliOp("ZZZZ"))]).result()

# -------------------------------------------------------------- noise models

def _aer_noise_model():
    """Depolarizing gates, an amplitude-damping error that overrides them on
    one qubit, an asymmetric two-qubit error on one ordered pair, a
    measurement error and per-qubit readout errors."""
    noise = pytest.importorskip("qiskit_aer.noise")
    model = noise.NoiseModel()
    model.add_all_qubit_quantum_error(noise.depolarizing_error(0.06, 1), ["h", "ry", "sx"])
    model.add_all_qubit_quantum_error(noise.depolarizing_error(0.08, 2), "cx")
    model.add_quantum_error(noise.amplitude_damping_error(0.3), "ry", [1])
    model.add_quantum_error(noise.amplitude_damping_error(0.25).tensor(noise.pauli_error([("X", 0.2), ("I", 0.8)])),
                            "cx", [1, 2], warnings=False)
    model.add_all_qubit_quantum_error(noise.pauli_error([("X", 0.15), ("I", 0.85)]), "measure")
    model.add_all_qubit_readout_error(noise.ReadoutError([[0.95, 0.05], [0.1, 0.9]]))
    model.add_readout_error(noise.ReadoutError([[0.8, 0.2], [0.03, 0.97]]), [2], warnings=False)
    return model


def _noise_model_circuit():
    qc = QuantumCircuit(3)
    qc.h(0)
    qc.ry(1.1, 1)
    qc.cx(0, 1)
    qc.sx(2)
    qc.cx(1, 2)
    qc.ry(0.4, 0)
    qc.cx(2, 0)
    return qc


def test_noise_model_matches_aer_density_matrix():
    from qiskit_aer import AerSimulator
    model = _aer_noise_model()
    qc = _noise_model_circuit()
    saved = qc.copy()
    saved.save_density_matrix()
    aer = AerSimulator(method="density_matrix", noise_model=model)
    rho = DensityMatrix(aer.run(saved).result().data()["density_matrix"])
    observables = [SparsePauliOp(label) for label in ("IIZ", "IZI", "ZII", "ZZI", "XIX", "YZY")]
    exact = np.array([rho.expectation_value(o).real for o in observables])
    result = EstimatorV2(seed=6, trajectories=4000, noise_model=model).run([(qc, observables)]).result()[0]
    assert np.all(np.abs(result.data.evs - exact) <= 4 * result.data.stds + 1e-5)
    density = EstimatorV2(noise_model=model, noise_method="density").run([(qc, observables)]).result()[0]
    np.testing.assert_allclose(density.data.evs, exact, atol=2e-5)
    assert not density.data.stds.any()

    # Aer samples its own density matrix, measurement and readout errors
    # included: a two-sample chi-square against many of its shots.
    measured = qc.copy()
    measured.measure_all()
    shots, aer_shots = 4000, 200000
    ours = SamplerV2(seed=3, noise_model=model).run([measured], shots=shots).result()[0].data.meas.get_counts()
    theirs = AerSimulator(method="density_matrix", noise_model=model, seed_simulator=11).run(
        measured, shots=aer_shots).result().get_counts()
    a = np.array([ours.get(k, 0) for k in theirs], dtype=float)
    b = np.array(list(theirs.values()), dtype=float)
    keep = (a + b) >= 10
    k1, k2 = np.sqrt(aer_shots / shots), np.sqrt(shots / aer_shots)
    stat = np.sum((k1 * a[keep] - k2 * b[keep]) ** 2 / (a[keep] + b[keep]))
    dof = keep.sum() - 1
    assert sum(ours.values()) == shots and set(ours) <= set(theirs)
    assert stat < dof * (1 - 2 / (9 * dof) + 3.09 * np.sqrt(2 / (9 * dof))) ** 3


def test_noise_model_with_conditions_matches_aer():
    # Shots with channels run as trajectories in the core, whose conditions
    # test outcomes for 1 and for 0; the noise stays outside the bodies.
    from qiskit_aer import AerSimulator
    noise = pytest.importorskip("qiskit_aer.noise")
    model = noise.NoiseModel()
    model.add_all_qubit_quantum_error(noise.depolarizing_error(0.1, 2), "cx")
    model.add_all_qubit_quantum_error(noise.amplitude_damping_error(0.3), "sx")
    qc = QuantumCircuit(3, 3)
    qc.h(0)
    qc.cx(0, 1)
    qc.sx(1)
    qc.measure([0, 1], [0, 1])
    with qc.if_test((qc.cregs[0], 1)) as orelse:
        qc.x(2)
    with orelse:
        qc.ry(0.8, 2)
    with qc.if_test((qc.clbits[1], 0)):
        qc.h(2)
    qc.cx(2, 0)
    qc.measure([0, 2], [0, 2])
    shots, aer_shots = 8000, 200000
    ours = SamplerV2(seed=2, noise_model=model).run([qc], shots=shots).result()[0].data.c.get_counts()
    theirs = AerSimulator(method="density_matrix", noise_model=model, seed_simulator=11).run(
        qc, shots=aer_shots).result().get_counts()
    assert total_variation(ours, {k: v * shots / aer_shots for k, v in theirs.items()}) < 0.025


def test_conditions_refusals():
    noise = pytest.importorskip("qiskit_aer.noise")
    from qiskit.circuit.classical import expr, types
    qc = QuantumCircuit(2, 2)
    flag = qc.add_input("flag", types.Bool())
    with qc.if_test(flag):
        qc.x(1)
    with pytest.raises(UnsupportedConstruct, match="classical variable 'flag' is not supported"):
        SamplerV2().run([qc]).result()
    wide = ClassicalRegister(11)
    qc = QuantumCircuit(2)
    qc.add_register(wide)
    with qc.switch(wide) as case:
        with case(3):
            qc.x(1)
    with pytest.raises(UnsupportedConstruct, match="reads 11 clbits; at most 10"):
        SamplerV2().run([qc]).result()
    qc = QuantumCircuit(2, 2)
    with qc.if_test(expr.greater(expr.cast(qc.cregs[0], types.Float()), 1.5)):
        qc.x(1)
    with pytest.raises(UnsupportedConstruct, match=r"values of type Float\(\) are not supported"):
        SamplerV2().run([qc]).result()
    qc = QuantumCircuit(2, 2)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.measure(1, 1)
    with pytest.raises(UnsupportedConstruct, match="a measurement or reset inside an 'if' body"):
        SamplerV2().run([qc]).result()
    qc = QuantumCircuit(2, 2)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.sx(1)
    model = noise.NoiseModel()
    model.add_all_qubit_quantum_error(noise.depolarizing_error(0.1, 1), "sx")
    with pytest.raises(UnsupportedConstruct, match="noise inside an 'if' body"):
        SamplerV2(noise_model=model).run([qc]).result()
    model = noise.NoiseModel()
    model.add_readout_error(noise.ReadoutError([[0.9, 0.1], [0.1, 0.9]]), [0])
    with pytest.raises(UnsupportedConstruct, match="reads clbit 0, measured from qubit 0, which has a readout error"):
        SamplerV2(noise_model=model).run([qc]).result()


def test_noise_model_refusals(monkeypatch):
    noise = pytest.importorskip("qiskit_aer.noise")
    correlated = noise.NoiseModel()
    correlated.add_readout_error(noise.ReadoutError([[0.9, 0.1, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]),
                                 [0, 1])
    correlated.add_quantum_error(noise.depolarizing_error(0.1, 4), "mcx", [0, 1, 2, 3])
    with pytest.raises(UnsupportedConstruct, match=r"correlated readout error on qubits \[0, 1\]; "
                                                   r"the 4-qubit error on qubits \[0, 1, 2, 3\] for 'mcx'"):
        SamplerV2(noise_model=correlated)
    with pytest.raises(TypeError, match="NoiseModel, got dict"):
        EstimatorV2(noise_model={})
    monkeypatch.setitem(__import__("sys").modules, "qiskit_aer.noise", None)
    with pytest.raises(ImportError, match="noise_model needs qiskit-aer"):
        EstimatorV2(noise_model=correlated)
    EstimatorV2(noise_model=None)  # no import without a model



def test_estimator_sums_option_reaches_the_compiled_plan():
    # Accurate sums are the estimator's default.
    from vantelo_interop._program import compile_bound, pauli_observable
    from vantelo_interop.qiskit._translate import translate
    qc = efficient_su2(7, reps=2).assign_parameters(np.random.default_rng(3).uniform(-2, 2, 42))
    obs = SparsePauliOp.from_list([("XZIIYIZ", 0.7), ("IIZZIIX", -1.3), ("ZZZZZZZ", 0.4)])
    values = {}
    for sums in ("float32", "float64"):
        plan = compile_bound(translate(qc), sums=sums)
        want = float(plan.compiled.expectation(plan.slot_values(np.zeros((1, 0)))[0],
                                               pauli_observable(obs.to_list())))
        options = {} if sums == "float64" else {"sums": sums}
        values[sums] = float(EstimatorV2(**options).run([(qc, obs)]).result()[0].data.evs)
        assert values[sums] == want
    with pytest.raises(ValueError, match="sums must be"):
        EstimatorV2(sums="double")


@pytest.mark.parametrize("fusion", [2, 5])
def test_primitives_fusion_option(fusion):
    qc = efficient_su2(5, reps=2).assign_parameters(np.random.default_rng(4).uniform(-2, 2, 30))
    obs = SparsePauliOp.from_list([("XZIYZ", 0.7), ("ZZZZZ", -0.4)])
    want = StatevectorEstimator().run([(qc, obs)]).result()[0].data.evs
    got = EstimatorV2(fusion=fusion).run([(qc, obs)]).result()[0].data.evs
    assert abs(got - want) < 1e-5
    measured = qc.copy()
    measured.measure_all()
    counts = SamplerV2(fusion=fusion, seed=3).run([measured], shots=4000).result()[0].data.meas.get_counts()
    probs = np.abs(Statevector(qc).data) ** 2
    for key, count in counts.items():
        p = probs[int(key, 2)]
        assert abs(count / 4000 - p) <= 6 * np.sqrt(p * (1 - p) / 4000) + 1e-3
    with pytest.raises(ValueError, match="fusion must be"):
        EstimatorV2(fusion=6)
