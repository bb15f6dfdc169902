"""sums="float64": expectation values, adjoint inner products, parameter-shift
differences and measurement probabilities summed in double precision. Judged
against complex128 NumPy: on the engine's own float32 state, where only the
final rounding to float32 may separate them, and against the double-precision
model of the whole circuit, within a bound set by the float32 state's error."""

import hashlib
import pickle

import numpy as np
import pytest

from reference import _apply64, central_differences, expectation64, run64
from vantelo import Circuit, CircuitSpec, Gate, Observable

EPS32 = 2.0 ** -24
PAULI = {"X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]), "Z": np.diag([1, -1])}


def compile_items(n, items, count, sums):
    spec = CircuitSpec(n)
    handles = [spec.param() for _ in range(count)]
    for item in items:
        if item[0] in ("rx", "ry", "rz", "p"):
            getattr(spec, item[0])(item[1], handles[item[2]])
        else:
            getattr(spec, item[0])(*item[1:])
    return spec.compile(sums=sums)


def layered_items(n, layers, rng):
    """Rotations of every kind on every qubit and cx ladders; slot k per
    rotation, so each parameter drives one gate."""
    items, slot = [("h", q) for q in range(n)], 0
    for _ in range(layers):
        for q in range(n):
            items.append((str(rng.choice(["rx", "ry", "rz", "p"])), q, slot))
            slot += 1
        items += [("cx", q, q + 1) for q in range(n - 1)]
    return items, slot


def random_terms(n, count, rng):
    terms = [(0.75, [])]
    for _ in range(count):
        qubits = rng.choice(n, size=min(n, 3), replace=False)
        terms.append((float(rng.normal()), [(str(rng.choice(list("XYZ"))), int(q)) for q in qubits]))
    return terms


def observable(terms):
    return Observable.hamiltonian([Observable.pauli_string(ops, c) for c, ops in terms])


def apply_terms64(psi, terms):
    n = psi.size.bit_length() - 1
    out = np.zeros_like(psi)
    for c, ops in terms:
        phi = psi
        for label, q in ops:
            phi = _apply64(phi, n, [q], PAULI[label])
        out += c * phi
    return out


@pytest.mark.parametrize("constant", [True, False])
@pytest.mark.parametrize("n", [1, 2, 3, 6, 13, 15])
def test_expectation_sums_the_float32_state_in_double(n, constant):
    rng = np.random.default_rng(n)
    items, count = layered_items(n, 2, rng)
    params = rng.uniform(-2, 2, count).astype(np.float32)
    plan = compile_items(n, items, count, "float64")
    psi = plan.statevector(params).astype(np.complex128)
    terms = random_terms(n, 9, rng)[0 if constant else 1:]
    # The observable holds float32 coefficients; the value is divided by the
    # norm squared (with or without an identity term to take it from), which
    # rounded rotations leave off 1.
    ref = expectation64(psi, [(float(np.float32(c)), ops) for c, ops in terms]) / np.vdot(psi, psi).real
    got = plan.expectation(params, observable(terms))
    assert abs(got - ref) <= EPS32 * abs(ref) + 1e-12 * sum(abs(c) for c, _ in terms)
    # Trajectories sum as the plan says (without channels, one is the state).
    assert plan.trajectory_expectation(params, observable(terms), 1, seed=0)[0] == got


@pytest.mark.parametrize("kind", ["rx", "ry", "rz", "p"])
@pytest.mark.parametrize("target", [0, 1, 2, 9])
def test_adjoint_inner_products_in_double(kind, target):
    # The last rotation's derivative is Im<Hψ|Gψ> (−2 Im<Hψ|Π₁ψ> for p) on
    # the final state; φ = Hψ is formed in float32, so only its rounding
    # separates the two.
    n, rng = 13, np.random.default_rng(target)
    items, count = layered_items(n, 1, rng)
    items.append((kind, target, count))
    params = rng.uniform(-2, 2, count + 1).astype(np.float32)
    plan = compile_items(n, items, count + 1, "float64")
    terms = random_terms(n, 5, rng)
    _, grad = plan.adjoint_value_and_gradient(params, observable(terms))
    psi = plan.statevector(params).astype(np.complex128)
    phi = apply_terms64(psi, terms)
    if kind == "p":
        projected = psi * ((np.arange(psi.size) >> target) & 1)
        ref = -2 * np.vdot(phi, projected).imag
    else:
        ref = np.vdot(phi, _apply64(psi, n, [target], PAULI[kind[1].upper()])).imag
    bound = (len(terms) + 4) * EPS32 * sum(abs(c) for c, _ in terms)
    assert abs(grad[count] - ref) <= bound


@pytest.mark.parametrize("method", ["adjoint_value_and_gradient", "value_and_gradient"])
def test_values_and_gradients_against_double_model(method):
    n, rng = 5, np.random.default_rng(3)
    items, count = layered_items(n, 3, rng)
    params = rng.uniform(-2, 2, count).astype(np.float32)
    terms = random_terms(n, 6, rng)
    plan = compile_items(n, items, count, "float64")
    value, grad = getattr(plan, method)(params, observable(terms))
    # The float32 state is off by a few roundings per gate; the sums add none
    # that matter.
    bound = 4 * len(items) * EPS32 * sum(abs(c) for c, _ in terms)
    assert abs(value - expectation64(run64(n, items, params), terms)) <= bound
    ref = central_differences(n, items, params, terms)
    np.testing.assert_allclose(np.asarray(grad, np.float64), ref, rtol=0, atol=bound + 1e-6)


def test_values_divide_out_the_coherent_norm_drift():
    # Every rx and rz of this deep circuit rounds the same cosine and sine,
    # so the float32 state's norm drifts by ~1e-5, coherently; the value is
    # that of the normalised state, whose error grows only as the random
    # roundings do.
    n = 4
    items = [("h", q) for q in range(n)]
    for _ in range(40):
        items += [("rx", q, 0) for q in range(n)] + [("cx", q, q + 1) for q in range(n - 1)]
        items += [("rz", q, 1) for q in range(n)]
    params = np.array([0.3, 0.4], np.float32)
    terms = [(2.0, []), (0.5, [("Z", 0), ("Z", 1)]), (-0.7, [("X", 2)]), (0.3, [("Y", 1), ("Z", 3)])]
    plan = compile_items(n, items, 2, "float64")
    psi = plan.statevector(params).astype(np.complex128)
    bound = np.sqrt(len(items)) * EPS32 * sum(abs(c) for c, _ in terms)
    assert abs(np.vdot(psi, psi).real - 1) * terms[0][0] > 3 * bound
    ref = expectation64(run64(n, items, params), terms)
    obs = observable(terms)
    for value in (plan.expectation(params, obs), plan.adjoint_value_and_gradient(params, obs)[0],
                  plan.value_and_gradient(params, obs)[0]):
        assert abs(value - ref) <= bound


def test_identical_for_every_pool_size(isolated):
    body = """
import hashlib, sys
import numpy as np
import vantelo
sys.path.insert(0, {tests!r})
from test_accurate_sums import compile_items, layered_items, observable, random_terms
vantelo.set_num_threads({k})
rng = np.random.default_rng(7)
items, count = layered_items(16, 2, rng)
plan = compile_items(16, items, count, "float64")
params = rng.uniform(-2, 2, count).astype(np.float32)
obs = observable(random_terms(16, 12, rng))
rows = rng.uniform(-2, 2, (3, count)).astype(np.float32)
parts = [np.float32(plan.expectation(params, obs)), *plan.adjoint_value_and_gradient(params, obs),
         *plan.value_and_gradient(params, obs), plan.batch_expectation(rows, obs)]
print(hashlib.sha256(b"".join(np.asarray(p).tobytes() for p in parts)).hexdigest())
"""
    import os
    tests = os.path.dirname(os.path.abspath(__file__))
    digests = set()
    for k in (1, 2, 3):
        proc = isolated(body.format(tests=tests, k=k))
        assert proc.returncode == 0, proc.stderr
        digests.add(proc.stdout.strip())
    assert len(digests) == 1


@pytest.mark.parametrize("drift", [0.0, 3e-5])
@pytest.mark.parametrize("outcome_qubit", [0, 3])
def test_measurement_collapses_with_double_probability(outcome_qubit, drift):
    # A drifted norm (as rounded rotations leave it) must not leak into the
    # collapsed state, whichever the outcome.
    rng = np.random.default_rng(outcome_qubit)
    state = (rng.normal(size=16) + 1j * rng.normal(size=16)).astype(np.complex64)
    state /= np.linalg.norm(state) / np.sqrt(1 + drift)
    circuit = Circuit([Gate.measure(outcome_qubit)], sums="float64")
    out, record = circuit.run_with_measurements_from(state)
    (qubit, bit), = record
    keep = ((np.arange(16) >> qubit) & 1) == bit
    ref = np.where(keep, state.astype(np.complex128), 0)
    ref /= np.linalg.norm(ref)
    np.testing.assert_allclose(out, ref, rtol=0, atol=2 * EPS32)


def test_samples_follow_the_weights():
    state = np.sqrt(np.array([0.1, 0.2, 0.3, 0.4])).astype(np.complex64)
    samples = Circuit([], sums="float64").sample_from(state, 40_000, seed=5)
    counts = np.bincount(samples, minlength=4) / 40_000
    assert np.all(np.abs(counts - [0.1, 0.2, 0.3, 0.4]) < 6 * np.sqrt(0.25 / 40_000))


def test_option_spelling_and_pickling():
    spec = CircuitSpec(2)
    theta = spec.param()
    spec.h(0)
    spec.rx(1, theta)
    with pytest.raises(ValueError, match="sums must be 'float32' or 'float64', not 'double'"):
        spec.compile(sums="double")
    with pytest.raises(TypeError):
        spec.compile("float64")
    with pytest.raises(ValueError):
        Circuit([], sums="float16")
    # The default keeps its bytes; a float64 plan keeps its option.
    assert pickle.dumps(spec.compile()) == pickle.dumps(spec.compile(sums="float32"))
    wide = spec.compile(sums="float64")
    obs = Observable.pauli_x(0, 0.3)
    restored = pickle.loads(pickle.dumps(wide))
    params = np.array([0.4], np.float32)
    assert restored.adjoint_value_and_gradient(params, obs)[1].tobytes() == \
        wide.adjoint_value_and_gradient(params, obs)[1].tobytes()
    assert pickle.dumps(restored) == pickle.dumps(wide) != pickle.dumps(spec.compile())
    circuit = Circuit([Gate.h(0)], sums="float64")
    assert pickle.dumps(pickle.loads(pickle.dumps(circuit))) == pickle.dumps(circuit)
