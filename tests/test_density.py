"""The exact density-matrix evaluation against the NumPy density-matrix model
(tests/density.py): every channel, random circuits with measurements, resets
and wide controlled gates, parameterised plans, identity across pool sizes,
and the refusals."""

import numpy as np
import pytest

from density import DensityMatrix
from test_noise import CHANNELS, OBSERVABLE, TERMS, ad, compiled, noisy_program
from vantelo import Circuit, CircuitSpec, Gate, Observable

P0, P1, LOWER = np.diag([1.0, 0.0]), np.diag([0.0, 1.0]), np.array([[0, 1], [0, 0]])
TOL = 2e-6  # a few float32 roundings per entry of a trace-one matrix


def random_unitary(rng, k):
    z = rng.standard_normal((2 ** k, 2 ** k)) + 1j * rng.standard_normal((2 ** k, 2 ** k))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / abs(np.diag(r)))


class NoOracle:
    def unitary(self, u, targets):
        pass

    def channel(self, kraus, targets):
        pass


def random_program(rng, n, depth, oracle=True):
    """Gates of every executor kind (one-qubit, dense, wide controlled),
    channels, measurements, resets and barriers, with their density-matrix model
    (skipped without `oracle`)."""
    gates, dm = [], DensityMatrix(n) if oracle else NoOracle()
    for _ in range(depth):
        qs = [int(q) for q in rng.permutation(n)]
        kind = int(rng.integers(8))
        if kind == 0:
            u = random_unitary(rng, 1)
            gates.append(Gate.unitary([qs[0]], u))
            dm.unitary(u, qs[:1])
        elif kind == 1:
            u = random_unitary(rng, 3)
            gates.append(Gate.unitary(qs[:3], u))
            dm.unitary(u, qs[:3])
        elif kind == 2:  # 3 controls and a target: kept controlled by the executor
            u = random_unitary(rng, 1)
            gates.append(Gate.controlled_unitary(qs[:3], [qs[3]], u))
            full = np.eye(16, dtype=complex)
            full[14:, 14:] = u
            dm.unitary(full, qs[:4])
        elif kind == 3:
            gates.append(Gate.measure(qs[0]))
            dm.channel([P0, P1], qs[:1])
        elif kind == 4:
            gates.append(Gate.reset(qs[0]))
            dm.channel([P0, LOWER], qs[:1])
        elif kind == 5:
            kraus = [k for k in np.split(random_unitary(rng, 4)[:, :8], 2)]  # a 2-operator 3-qubit channel
            gates.append(Gate.kraus(qs[:3], kraus))
            dm.channel(kraus, qs[:3])
        elif kind == 6:
            gates.append(Gate.barrier())
        else:
            name = sorted(CHANNELS)[int(rng.integers(len(CHANNELS)))]
            make, kraus, width = CHANNELS[name]
            gates.append(make(*qs[:width]))
            dm.channel(kraus, qs[:width])
    return gates, dm


@pytest.mark.parametrize("name", sorted(CHANNELS))
def test_channel_matches_density_matrix(name):
    gates, dm = noisy_program(name)
    rho = Circuit(gates).density_matrix(3)
    assert rho.shape == (8, 8) and rho.dtype == np.complex64
    np.testing.assert_allclose(rho, dm.rho, atol=TOL)
    value = compiled(gates).density_expectation([], OBSERVABLE)
    assert value == pytest.approx(dm.expectation(TERMS), abs=1e-5)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("fusion", [0, 3])
def test_random_circuits_match_density_matrix(seed, fusion):
    rng = np.random.default_rng(seed)
    gates, dm = random_program(rng, 5, 40)
    rho = Circuit(gates, fusion=fusion).density_matrix(5)
    np.testing.assert_allclose(rho, dm.rho, atol=1e-5 if fusion else TOL)
    terms = [(float(rng.uniform(-1, 1)), [(p, int(q)) for p, q in zip("XYZ", rng.permutation(5)[:k])])
             for k in (1, 2, 3)]
    obs = Observable.hamiltonian([Observable.pauli_string(ops, c) for c, ops in terms])
    assert compiled(gates, 5).density_expectation([], obs) == pytest.approx(dm.expectation(terms), abs=1e-5)


def test_parameterised_plan_matches_density_matrix():
    spec = CircuitSpec(2)
    a, b = spec.param(), spec.param()
    spec.rx(0, a)
    spec.cx(0, 1)
    spec.gate(Gate.amplitude_damping(1, 0.3))
    spec.ry(1, b)
    spec.rz(0, a)
    spec.p(1, b)
    plan = spec.compile()
    t, u = 0.7, -1.9

    def rx(x):
        return np.array([[np.cos(x / 2), -1j * np.sin(x / 2)], [-1j * np.sin(x / 2), np.cos(x / 2)]])

    def ry(x):
        return np.array([[np.cos(x / 2), -np.sin(x / 2)], [np.sin(x / 2), np.cos(x / 2)]])

    cx = np.eye(4)[[0, 1, 3, 2]]
    dm = DensityMatrix(2)
    dm.unitary(rx(t), [0])
    dm.unitary(cx, [0, 1])
    dm.channel(ad(0.3), [1])
    dm.unitary(ry(u), [1])
    dm.unitary(np.diag([np.exp(-0.5j * t), np.exp(0.5j * t)]), [0])
    dm.unitary(np.diag([1, np.exp(1j * u)]), [1])
    np.testing.assert_allclose(plan.density_matrix([t, u]), dm.rho, atol=TOL)
    terms = [(0.5, [("X", 0), ("Y", 1)]), (-1.0, [("Z", 1)])]
    obs = Observable.hamiltonian([Observable.pauli_string(ops, c) for c, ops in terms])
    assert plan.density_expectation(np.float32([t, u]), obs) == pytest.approx(dm.expectation(terms), abs=1e-5)


def test_trajectory_means_agree_with_exact_value():
    gates, _ = noisy_program("generalized_amplitude_damping")
    plan = compiled(gates + [Gate.depolarizing2(0, 2, 0.2), Gate.reset_error(1, 0.1, 0.2)])
    exact = plan.density_expectation([], OBSERVABLE)
    mean, err = plan.trajectory_expectation([], OBSERVABLE, 3000, seed=3)
    assert abs(mean - exact) <= 4 * err


POOL_PROBE = """
import hashlib, sys
import numpy as np
sys.path.insert(0, {tests!r})
import vantelo
vantelo.set_num_threads({threads})
from test_density import random_program, compiled
from vantelo import Circuit, Observable
gates, _ = random_program(np.random.default_rng(5), 8, 60, oracle=False)
obs = Observable.hamiltonian([Observable.pauli_z(0), Observable.pauli_string([("X", 3), ("Y", 7)], 0.5)])
h = hashlib.sha256(Circuit(gates).density_matrix(8).tobytes())
h.update(np.float64(compiled(gates, 8).density_expectation([], obs)).tobytes())
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
    assert len(set(outs)) == 1 and outs[0].strip()


def test_refusals():
    noisy = Circuit([Gate.h(0), Gate.depolarizing(2, 0.1)])
    with pytest.raises(ValueError, match="qubit index 2 is out of range for 2 qubits"):
        noisy.density_matrix(2)
    with pytest.raises(ValueError, match="a density matrix of 13 qubits is too large: the limit is 12"):
        noisy.density_matrix(13)
    with pytest.raises(ValueError, match="too large"):
        compiled([Gate.x(12)], 13).density_expectation([], Observable.pauli_z(0))
    plan = compiled([Gate.h(0), Gate.bit_flip(1, 0.2)], 2)
    with pytest.raises(ValueError, match="parameter vector has length 1, expected 0"):
        plan.density_matrix([0.5])
    with pytest.raises(ValueError, match="observable references qubit 2"):
        plan.density_expectation([], Observable.pauli_x(2))
