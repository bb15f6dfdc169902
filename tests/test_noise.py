"""Channels run as seeded trajectories, checked against the exact density
matrix (tests/density.py): trajectory means within 4 standard errors, sample
histograms by a chi-square test, bit-identical results for every pool size
and every split of the trajectories, and the refusals."""

import pickle

import numpy as np
import pytest

from density import DensityMatrix
from vantelo import Circuit, CircuitSpec, Gate, Observable, _unpickle

I2 = np.eye(2)
X = np.array([[0, 1], [1, 0]], dtype=complex)
Y = np.array([[0, -1j], [1j, 0]])
Z = np.diag([1.0, -1.0]).astype(complex)
P0, P1 = np.diag([1.0, 0.0]), np.diag([0.0, 1.0])
LOWER, RAISE = np.array([[0, 1], [0, 0]]), np.array([[0, 0], [1, 0]])


def ad(g):
    return [np.diag([1, np.sqrt(1 - g)]), np.sqrt(g) * LOWER]


def gad(g, p):
    # p: the probability of relaxing towards |1>
    return [np.sqrt(1 - p) * k for k in ad(g)] + [
        np.sqrt(p) * np.diag([np.sqrt(1 - g), 1]), np.sqrt(p) * np.sqrt(g) * RAISE]


def thermal(t1, t2, time, pe):
    # The T2 <= T1 form: identity, dephasing and the two resets.
    e1, e2 = np.exp(-time / t1), np.exp(-time / t2)
    reset = 1 - e1
    pz = (1 - reset) * (1 - e2 / e1) / 2
    p0, p1 = (1 - pe) * reset, pe * reset
    return [np.sqrt(1 - pz - p0 - p1) * I2, np.sqrt(pz) * Z, np.sqrt(p0) * P0,
            np.sqrt(p0) * LOWER, np.sqrt(p1) * RAISE, np.sqrt(p1) * P1]


PAULIS = [I2, X, Y, Z]
RNG = np.random.default_rng(7)
_z = RNG.standard_normal((8, 2)) + 1j * RNG.standard_normal((8, 2))
_q, _ = np.linalg.qr(_z)
USER_KRAUS = [_q[2 * i:2 * i + 2] for i in range(4)]  # a random 4-operator channel

# name: (constructor taking the qubit(s), Kraus operators, width)
CHANNELS = {
    "bit_flip": (lambda q: Gate.bit_flip(q, 0.2), [np.sqrt(0.8) * I2, np.sqrt(0.2) * X], 1),
    "phase_flip": (lambda q: Gate.phase_flip(q, 0.3), [np.sqrt(0.7) * I2, np.sqrt(0.3) * Z], 1),
    "depolarizing": (lambda q: Gate.depolarizing(q, 0.3),
                     [np.sqrt(0.7) * I2] + [np.sqrt(0.1) * P for P in PAULIS[1:]], 1),
    "pauli_error": (lambda q: Gate.pauli_error(q, 0.1, 0.15, 0.2),
                    [np.sqrt(w) * P for w, P in zip((0.55, 0.1, 0.15, 0.2), PAULIS)], 1),
    "phase_damping": (lambda q: Gate.phase_damping(q, 0.4),
                      [np.diag([1, np.sqrt(0.6)]), np.diag([0, np.sqrt(0.4)])], 1),
    "amplitude_damping": (lambda q: Gate.amplitude_damping(q, 0.35), ad(0.35), 1),
    "generalized_amplitude_damping": (
        lambda q: Gate.generalized_amplitude_damping(q, 0.3, 0.7), gad(0.3, 0.7), 1),
    "reset_error": (lambda q: Gate.reset_error(q, 0.2, 0.1),
                    [np.sqrt(0.7) * I2, np.sqrt(0.2) * P0, np.sqrt(0.2) * LOWER,
                     np.sqrt(0.1) * RAISE, np.sqrt(0.1) * P1], 1),
    "thermal_relaxation": (lambda q: Gate.thermal_relaxation(q, 50.0, 30.0, 20.0, 0.1),
                           thermal(50.0, 30.0, 20.0, 0.1), 1),
    "kraus": (lambda q: Gate.kraus([q], USER_KRAUS), USER_KRAUS, 1),
    "kraus_mixture": (lambda q: Gate.kraus([q], [np.sqrt(0.6) * I2, np.sqrt(0.4) * Y]),
                      [np.sqrt(0.6) * I2, np.sqrt(0.4) * Y], 1),
    "depolarizing2": (lambda a, b: Gate.depolarizing2(a, b, 0.4),
                      [np.sqrt(0.6) * np.eye(4)] + [np.sqrt(0.4 / 15) * np.kron(P, Q)
                                                    for i, P in enumerate(PAULIS)
                                                    for j, Q in enumerate(PAULIS) if i or j], 2),
    "kraus2": (lambda a, b: Gate.kraus([a, b], [np.kron(k, I2) for k in ad(0.5)]),
               [np.kron(k, I2) for k in ad(0.5)], 2),
}

TERMS = [(1.0, [("Z", 0)]), (0.7, [("X", 1)]), (0.5, [("Y", 2)]), (0.3, [("Z", 0), ("Z", 1)]),
         (0.4, [("X", 0), ("X", 2)]), (0.6, [("Z", 2)])]
OBSERVABLE = Observable.hamiltonian(
    [Observable.pauli_string(ops, c) for c, ops in TERMS])


def noisy_program(name):
    """The gates and channels of a 3-qubit test circuit, as vantelo items and
    as density-matrix steps."""
    make, kraus, width = CHANNELS[name]
    sites = [(0,), (1,), (2,)] if width == 1 else [(0, 1), (2, 1)]
    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)

    def ry(t):
        return np.array([[np.cos(t / 2), -np.sin(t / 2)], [np.sin(t / 2), np.cos(t / 2)]])
    cx = np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]])
    steps = [("u", Gate.ry(0, 2.1), ry(2.1), [0]), ("u", Gate.h(1), h, [1]),
             ("u", Gate.cx(1, 2), cx, [1, 2]), ("u", Gate.ry(2, 0.8), ry(0.8), [2])]
    for s in sites:
        steps.append(("k", make(*s), kraus, list(s)))
    steps += [("u", Gate.h(0), h, [0]), ("u", Gate.cx(0, 2), cx, [0, 2])]
    steps.append(("k", make(*sites[0]), kraus, list(sites[0])))
    steps.append(("u", Gate.ry(1, 0.6), ry(0.6), [1]))
    dm = DensityMatrix(3)
    for kind, _, m, t in steps:
        dm.unitary(m, t) if kind == "u" else dm.channel(m, t)
    return [g for _, g, _, _ in steps], dm


def compiled(gates, n=3, fusion=0):
    spec = CircuitSpec(n)
    for g in gates:
        spec.gate(g)
    return spec.compile(fusion=fusion)


def chi_square_bound(dof):
    # The 0.999 quantile by Wilson and Hilferty's approximation.
    z = 3.09
    return dof * (1 - 2 / (9 * dof) + z * np.sqrt(2 / (9 * dof))) ** 3


@pytest.mark.parametrize("fusion", [0, 3])
@pytest.mark.parametrize("name", sorted(CHANNELS))
def test_channel_matches_density_matrix(name, fusion):
    # fusion=3 fuses the drawn branches, Kraus operators included, with the
    # gates around them into blocks over all three qubits.
    gates, dm = noisy_program(name)
    plan = compiled(gates, fusion=fusion)
    values = plan.trajectory_values([], OBSERVABLE, 3000, seed=11)
    mean, err = plan.trajectory_expectation([], OBSERVABLE, 3000, seed=11)
    assert mean == pytest.approx(float(np.mean(values.astype(np.float64))), abs=1e-12)
    assert abs(mean - dm.expectation(TERMS)) <= 4 * err + 1e-5

    shots = 4000
    counts = np.bincount(Circuit(gates, fusion=fusion).sample_trajectories(3, shots, seed=5), minlength=8)
    expected = dm.probabilities() * shots
    keep = expected >= 5
    stat = np.sum((counts[keep] - expected[keep]) ** 2 / expected[keep])
    assert counts[~keep].sum() <= max(5, 3 * expected[~keep].sum())
    assert stat < chi_square_bound(max(1, keep.sum() - 1))


@pytest.mark.parametrize("fusion", [0, 3])
@pytest.mark.parametrize("collapse", ["measure", "reset"])
def test_a_kraus_branch_after_a_collapse_leaves_its_draw_alone(collapse, fusion):
    # Pauli branches queue on qubits 0 and 2 and a collapse of qubit 0
    # follows; a Kraus branch drawn within its bounds on qubit 2 must not
    # join the queued Pauli ahead of the collapse, whose draw reads the norm.
    make, kraus, _ = CHANNELS["kraus"]
    gates = [Gate.pauli_error(0, 0.5, 0.5, 0.0), Gate.pauli_error(2, 0.3, 0.3, 0.3),
             getattr(Gate, collapse)(0), make(2)]
    dm = DensityMatrix(3)
    dm.channel([np.sqrt(0.5) * X, np.sqrt(0.5) * Y], [0])
    dm.channel([np.sqrt(0.1) * I2] + [np.sqrt(0.3) * P for P in (X, Y, Z)], [2])
    dm.channel([P0, P1] if collapse == "measure" else [P0, LOWER], [0])
    dm.channel(kraus, [2])
    circuit = Circuit(gates, fusion=fusion)
    for t in range(200):
        assert np.linalg.norm(circuit.run_trajectory(3, 4, t)[0]) == pytest.approx(1, abs=1e-5)
    shots = 4000
    counts = np.bincount(circuit.sample_trajectories(3, shots, seed=4), minlength=8)
    expected = dm.probabilities() * shots
    keep = expected >= 5
    assert counts[~keep].sum() == 0
    assert np.sum((counts[keep] - expected[keep]) ** 2 / expected[keep]) < chi_square_bound(keep.sum() - 1)


@pytest.mark.parametrize("fusion", [0, 3])
def test_long_strong_damping_keeps_its_norm(fusion):
    # A thousand strong damping channels, with rotations putting population
    # back on |1>: each trajectory's norm falls by many hundreds of binary
    # orders unless it is renormalised in time, and single precision would
    # flush it to zero.
    gates, dm = [], DensityMatrix(2)
    for _ in range(500):
        for q, t in ((0, 1.1), (1, 1.3)):
            gates.append(Gate.rx(q, t))
            dm.unitary(np.array([[np.cos(t / 2), -1j * np.sin(t / 2)],
                                 [-1j * np.sin(t / 2), np.cos(t / 2)]]), [q])
            gates.append(Gate.amplitude_damping(q, 0.3))
            dm.channel(ad(0.3), [q])
    terms = [(1.0, [("Z", 0)]), (0.5, [("Z", 1)])]
    observable = Observable.hamiltonian([Observable.pauli_string(ops, c) for c, ops in terms])
    plan = compiled(gates, n=2, fusion=fusion)
    values = plan.trajectory_values([], observable, 600, seed=3)
    assert np.all(np.abs(values) <= 1.5 + 1e-5)
    mean, err = plan.trajectory_expectation([], observable, 600, seed=3)
    assert abs(mean - dm.expectation(terms)) <= 4 * err + 1e-5
    shots = 2000
    counts = np.bincount(Circuit(gates, fusion=fusion).sample_trajectories(2, shots, seed=5), minlength=4)
    expected = dm.probabilities() * shots
    assert np.sum((counts - expected) ** 2 / expected) < chi_square_bound(3)


def test_seeded_runs_repeat_and_differ():
    gates, _ = noisy_program("amplitude_damping")
    c = Circuit(gates + [Gate.measure(0)])
    a = c.run_trajectory(3, seed=4)
    b = c.run_trajectory(3, 4, 0)
    assert a[1] == b[1] and np.array_equal(a[0], b[0])
    states = {c.run_trajectory(3, 4, t)[0].tobytes() for t in range(12)}
    assert len(states) > 1
    for t in range(4):  # every trajectory is normalised
        assert np.linalg.norm(c.run_trajectory(3, 9, t)[0]) == pytest.approx(1, abs=1e-5)
    assert np.linalg.norm(c.run(3)) == pytest.approx(1, abs=1e-5)
    assert len(c.sample(3, 7)) == 7


@pytest.mark.parametrize("n", [3, 18])
@pytest.mark.parametrize("fusion", [0, 3])
def test_noiseless_circuit_keeps_its_values(fusion, n):
    # Enough gates on qubits 0 and 1 for fusion=3 to make a dense block, and
    # a barrier that fusion must not cross. Above 16 qubits layers over the
    # whole register are reordered too, and the barrier fences that as well.
    layer = [Gate.ry(q, 0.1 * q) for q in range(3, n)] + [Gate.cx(q, q + 1) for q in range(2, n - 1, 2)]
    gates = [Gate.u(0, 0.3, 1.1, 0.7), Gate.u(1, 0.9, 0.2, 1.3), Gate.cx(0, 1)] * 4 + layer + [
        Gate.barrier(), Gate.h(0), Gate.cx(0, 1), Gate.ry(2, 0.3)] + layer
    c = Circuit(gates, fusion=fusion)
    assert c.run(n).tobytes() == c.run_trajectory(n, 9)[0].tobytes()
    plan = compiled(gates, n, fusion=fusion)
    assert plan.trajectory_values([], OBSERVABLE, 3, seed=1).tolist() == [
        plan.expectation([], OBSERVABLE)] * 3
    # Channels that can only draw the identity leave the fused stretch that
    # of the noiseless circuit.
    silent = gates[:7] + [Gate.depolarizing(1, 0.0), Gate.bit_flip(2, 0.0)] + gates[7:]
    assert Circuit(silent, fusion=fusion).run_trajectory(n, 9)[0].tobytes() == c.run(n).tobytes()
    assert compiled(silent, n, fusion=fusion).trajectory_values([], OBSERVABLE, 3, seed=1).tolist() == [
        plan.expectation([], OBSERVABLE)] * 3

    # Parameterized rotations move with the fixed gates in both paths.
    def rotated(items):
        spec = CircuitSpec(n)
        theta = spec.param()
        for g in items:
            spec.gate(g)
        for q in range(n):
            spec.ry(q, theta)
        for g in items:
            spec.gate(g)
        return spec.compile(fusion=fusion)
    assert rotated(silent).trajectory_values([0.4], OBSERVABLE, 2, seed=1).tolist() == [
        rotated(gates).expectation([0.4], OBSERVABLE)] * 2


@pytest.mark.parametrize("fusion", [0, 3])
def test_splits_and_batches_give_identical_values(fusion):
    gates, _ = noisy_program("reset_error")
    spec = CircuitSpec(3)
    theta = spec.param("theta")
    spec.rx(1, theta)
    for g in gates:
        spec.gate(g)
    plan = spec.compile(fusion=fusion)
    whole = plan.trajectory_values([0.3], OBSERVABLE, 40, seed=3)
    parts = [plan.trajectory_values([0.3], OBSERVABLE, n, seed=3, first=f)
             for f, n in ((0, 7), (7, 1), (8, 32))]
    assert np.concatenate(parts).tobytes() == whole.tobytes()
    rows = np.array([[0.3], [1.2], [0.3]], dtype=np.float32)
    means, errs = plan.batch_trajectory_expectation(rows, OBSERVABLE, 40, seed=3)
    single = plan.trajectory_expectation([0.3], OBSERVABLE, 40, seed=3)
    assert (means[0], errs[0]) == single and (means[2], errs[2]) == single
    buf = plan.param_buffer()
    buf.numpy()[:] = 0.3
    assert plan.trajectory_expectation_buffer(buf, OBSERVABLE, 40, seed=3) == single
    batch = plan.param_batch_buffer(3)
    batch.numpy()[:] = rows
    got = plan.batch_trajectory_expectation_buffer(batch, OBSERVABLE, 40, seed=3)
    assert got[0].tobytes() == means.tobytes() and got[1].tobytes() == errs.tobytes()


POOL_PROBE = """
import hashlib, sys
import numpy as np
sys.path.insert(0, {tests!r})
import vantelo
vantelo.set_num_threads({threads})
from vantelo import Circuit, CircuitSpec, Gate, Observable
rng = np.random.default_rng(1)
for n in (4, 17):
    gates = []
    for i in range(30):
        q = int(rng.integers(n))
        gates.append(Gate.u(q, *map(float, rng.uniform(-3, 3, 3))))
        gates.append(Gate.cx(q, (q + 1) % n))
        gates.append([Gate.depolarizing(q, 0.1), Gate.amplitude_damping(q, 0.2),
                      Gate.depolarizing2(q, (q + 2) % n, 0.05)][i % 3])
    spec = CircuitSpec(n)
    for g in gates:
        spec.gate(g)
    obs = Observable.pauli_z(0)
    t = 24 if n == 4 else 3
    # Both ways for each width: one trajectory at a time, then side by side.
    for k in (0, 3):
        for width in (0, 64):
            vantelo._set_side_by_side_qubits(width)
            h = hashlib.sha256(spec.compile(fusion=k).trajectory_values([], obs, t, seed=2).tobytes())
            h.update(Circuit(gates, fusion=k).sample_trajectories(n, 40, seed=6).tobytes())
            h.update(Circuit(gates, fusion=k).run_trajectory(n, 8, 3)[0].tobytes())
            # A gate controlled by a mid-circuit outcome, from a given state.
            start = np.full(1 << n, (1 << n) ** -0.5, dtype=np.complex64)
            fed = Circuit(gates[:30] + [Gate.measure(0), Gate.x(1)] + gates[30:], fusion=k)
            h.update(b"".join(fed.run_trajectory(n, 8, t, conditions=[(31, [[0]])], state=start)[0].tobytes()
                              for t in range(4)))
            print(h.hexdigest())
"""


def test_identical_for_every_pool_size(isolated):
    import os
    tests = os.path.dirname(os.path.abspath(__file__))
    outs = []
    for threads in (1, 2, 3, 7):
        proc = isolated(POOL_PROBE.format(tests=tests, threads=threads))
        assert proc.returncode == 0, proc.stderr
        outs.append(proc.stdout)
    assert len(set(outs)) == 1
    hashes = outs[0].split()
    # Equal both ways; distinct across widths and fusion.
    assert len(hashes) == 8 and hashes[0::2] == hashes[1::2] and len(set(hashes)) == 4


@pytest.mark.parametrize("make, message", [
    (lambda: Gate.depolarizing(0, 1.5), "must be in [0, 1]"),
    (lambda: Gate.bit_flip(0, -0.1), "must be in [0, 1]"),
    (lambda: Gate.pauli_error(0, 0.5, 0.4, 0.3), "px + py + pz"),
    (lambda: Gate.reset_error(0, 0.7, 0.4), "p0 + p1"),
    (lambda: Gate.thermal_relaxation(0, 10.0, 30.0, 1.0), "t2 must be in (0, 2*t1]"),
    (lambda: Gate.kraus([0], [np.eye(2), np.eye(2)]), "not trace preserving"),
    (lambda: Gate.kraus([0], [np.eye(2) * (1 + 1e-4)]), "not trace preserving"),
    (lambda: Gate.kraus([0], [np.diag([np.nan, 1.0])]), "not trace preserving"),
    (lambda: Gate.kraus([0, 1], [np.diag([1.0, np.nan, 1.0, 1.0])]), "not trace preserving"),
    (lambda: Gate.kraus([0, 1, 2, 3], [np.eye(16)]), "1 to 3 qubits"),
    (lambda: Gate.kraus([0, 0], [np.eye(4)]), "duplicate qubit"),
    (lambda: Gate.kraus([0], [np.eye(4)]), "must be 2x2"),
    (lambda: Gate.depolarizing2(1, 1, 0.1), "duplicate qubit"),
])
def test_bad_channels_refused(make, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")
                       .replace("[", r"\[").replace("]", r"\]").replace("+", r"\+")
                       .replace("*", r"\*")):
        make()


@pytest.mark.parametrize("conditions, message", [
    ([(9, [[0]])], "condition on gate 9, but the circuit has 5 gates"),
    ([(1, [[0]])], "gate 1, which is not a unitary gate"),
    ([(2, [[0]]), (2, [[0]])], "gate 2 has more than one condition"),
    ([(2, [[0], [1]])], "reads measurement 1, but only 1 measurements come before it"),
    ([(2,)], "a condition must be a \\(gate, groups\\) pair"),
    ([(2, [[(0, 2)]])], "a test of a condition must be a measurement index or an \\(index, 0 or 1\\) pair"),
    ([(2, [[(0,)]])], "a test of a condition must be"),
    ([(2, [[(1, 0)]])], "reads measurement 1, but only 1 measurements come before it"),
])
def test_bad_conditions_refused(conditions, message):
    c = Circuit([Gate.h(0), Gate.measure(0), Gate.x(1), Gate.depolarizing(1, 0.1), Gate.measure(1)])
    with pytest.raises((ValueError, TypeError), match=message):
        c.run_trajectory(2, 1, conditions=conditions)


@pytest.mark.parametrize("fusion, channel", [(0, False), (0, True), (2, False)])
def test_conditions_name_the_gates_as_listed_when_the_circuit_is_fused(fusion, channel):
    # Twenty one-qubit gates make the constructor fuse the list, as fusion=2
    # does; a condition still names the caller's gate, which runs exactly
    # when the circuit without it would run it.
    rng = np.random.default_rng(5)
    gates = ([Gate.h(0), Gate.measure(0)] + [Gate.ry(int(q), float(a)) for q, a in
                                             zip(rng.integers(1, 3, 20), rng.uniform(-3, 3, 20))]
             + [Gate.cx(1, 2), Gate.x(2)] + ([Gate.depolarizing(1, 0.3)] if channel else []))
    conditions = [(2, [[0]]), (23, [[0]])]  # the first ry and the x
    circuit = Circuit(gates, fusion=fusion)
    copy = pickle.loads(pickle.dumps(circuit))
    for t in range(6):
        state, record = circuit.run_trajectory(3, 9, t, conditions=conditions)
        kept = [g for i, g in enumerate(gates) if record[0][1] or i not in (2, 23)]
        ref, ref_record = Circuit(kept, fusion=fusion).run_trajectory(3, 9, t)
        assert ref_record == record
        np.testing.assert_allclose(state, ref, atol=2e-6)
        again, again_record = copy.run_trajectory(3, 9, t, conditions=conditions)
        assert again.tobytes() == state.tobytes() and again_record == record


def test_trajectory_ranges_stop_at_the_last_index():
    gates, _ = noisy_program("amplitude_damping")
    plan = compiled(gates)
    last = 2**64 - 1
    ends = plan.trajectory_values([], OBSERVABLE, 2, seed=4, first=last - 1)
    assert np.array_equal(ends, np.concatenate(
        [plan.trajectory_values([], OBSERVABLE, 1, seed=4, first=t) for t in (last - 1, last)]))
    with pytest.raises(ValueError, match="3 trajectories from 18446744073709551614 run past the last"):
        plan.trajectory_values([], OBSERVABLE, 3, seed=4, first=last - 1)


def test_trajectory_from_a_state():
    rng = np.random.default_rng(4)
    start = (rng.normal(size=8) + 1j * rng.normal(size=8)).astype(np.complex64)
    start /= np.linalg.norm(start)
    gates = [Gate.u(0, 0.3, 1.1, 0.7), Gate.cx(0, 2), Gate.ry(1, 0.4)]
    got = Circuit(gates).run_trajectory(3, 9, state=start)[0]
    assert got.tobytes() == Circuit(gates).run_from(start).tobytes()
    with pytest.raises(ValueError, match="state has 3 qubits, but num_qubits is 4"):
        Circuit(gates).run_trajectory(4, 9, state=start)


def test_misuse_refused_before_anything_runs():
    noisy = [Gate.h(0), Gate.depolarizing(2, 0.1)]
    with pytest.raises(ValueError, match="out of range"):
        Circuit(noisy).run_trajectory(2, 1)
    with pytest.raises(ValueError, match="out of range"):
        CircuitSpec(2).gate(Gate.amplitude_damping(2, 0.1))
    spec = CircuitSpec(3)
    spec.rx(0, spec.param())
    spec.gate(Gate.depolarizing(1, 0.1))
    plan = spec.compile()
    with pytest.raises(ValueError, match="without channels"):
        plan.adjoint_value_and_gradient([0.1], OBSERVABLE)
    with pytest.raises(ValueError, match="without channels"):
        plan.batch_adjoint_value_and_gradient(np.zeros((2, 1), np.float32), OBSERVABLE)
    for call in (lambda: plan.expectation([0.1], OBSERVABLE), lambda: plan.statevector([0.1]),
                 lambda: plan.gradient([0.1], OBSERVABLE)):
        with pytest.raises(ValueError, match="run it as trajectories"):
            call()
    with pytest.raises(ValueError, match="at least 1"):
        plan.trajectory_expectation([0.1], OBSERVABLE, 0, seed=1)


def test_pickled_channels_draw_the_same():
    gates, _ = noisy_program("thermal_relaxation")
    c = Circuit(gates + [Gate.depolarizing(1, 0.2)])
    back = pickle.loads(pickle.dumps(c))
    assert all(np.array_equal(back.run_trajectory(3, 1, t)[0], c.run_trajectory(3, 1, t)[0]) for t in range(5))
    plan = compiled(gates)
    again = pickle.loads(pickle.dumps(plan))
    assert again.trajectory_values([], OBSERVABLE, 10, seed=1).tobytes() == \
        plan.trajectory_values([], OBSERVABLE, 10, seed=1).tobytes()


@pytest.mark.parametrize("channel, branch, message", [
    (Gate.bit_flip(0, 0.2), X, "stored mixture has a branch that is not unitary"),
    (Gate.amplitude_damping(0, 0.36), 0.6 * LOWER, "not trace preserving"),
])
def test_stored_channels_with_nan_refused(channel, branch, message):
    data = channel.__reduce__()[1][0]
    stored = np.asarray(branch, dtype=np.complex64).tobytes()
    assert data.count(stored) == 1
    poisoned = np.asarray(branch, dtype=np.complex64).copy()
    poisoned[0, 0] = np.nan
    with pytest.raises(ValueError, match=message):
        _unpickle(data.replace(stored, poisoned.tobytes()))
