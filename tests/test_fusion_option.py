"""fusion=k: stretches of fixed gates multiplied into dense blocks of at most k
qubits. Judged against complex128 NumPy: every catalogue gate, controls kept
and expanded, measurements, resets and barriers, and compiled plans, within a
bound of a few float32 roundings per gate; identical for every pool size."""

import itertools
import os

import numpy as np
import pytest

from reference import _apply64, expectation64, run64
from test_accurate_sums import layered_items, observable, random_terms
from test_gate import CASES, controlled
from vantelo import Circuit, CircuitSpec, Gate

EPS32 = 2.0 ** -24
X = np.array([[0, 1], [1, 0]])


def random_unitary(dim, rng):
    q, r = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q * (np.diag(r) / abs(np.diag(r)))


def catalogue_circuit(n, rng, count=60):
    """(gate, matrix, qubits) triples: the whole catalogue (on qubits 0-2),
    then random dense unitaries, u gates, cx, and controlled gates wide enough
    to keep their controls, on qubits below n."""
    items = [(gate, matrix, targets) for _, gate, matrix, targets in CASES]
    for _ in range(count):
        kind = rng.integers(5)
        qs = [int(q) for q in rng.permutation(n)[:4]]
        if kind == 0:
            m = random_unitary(4, rng).astype(np.complex64)
            items.append((Gate.unitary(qs[:2], m), m, qs[:2]))
        elif kind == 1:
            a = rng.uniform(-3, 3, 3)
            c, s = np.cos(a[0] / 2), np.sin(a[0] / 2)
            m = np.array([[c, -np.exp(1j * a[2]) * s], [np.exp(1j * a[1]) * s, np.exp(1j * (a[1] + a[2])) * c]])
            items.append((Gate.u(qs[0], *a), m, qs[:1]))
        elif kind == 2:
            items.append((Gate.cx(qs[0], qs[1]), controlled(X, 1), qs[:2]))
        elif kind == 3:
            items.append((Gate.mcx(qs[:3], qs[3]), controlled(X, 3), qs))
        else:
            m = random_unitary(4, rng).astype(np.complex64)
            items.append((Gate.controlled_unitary(qs[:2], qs[2:], m), controlled(m, 2), qs))
    return items


def reference(n, items, psi=None):
    if psi is None:
        psi = np.zeros(1 << n, dtype=np.complex128)
        psi[0] = 1
    for _, matrix, qubits in items:
        psi = _apply64(psi, n, qubits, matrix)
    return psi


# At 18 qubits, wider than the block the reordering plans for, fused lists
# run reordered: a gate moved past one sharing a qubit would miss the bound.
@pytest.mark.parametrize("n, k", [(6, k) for k in (0, 2, 3, 4, 5)] + [(18, 2), (18, 4)])
def test_catalogue_against_double_reference(n, k):
    rng = np.random.default_rng(k)
    items = catalogue_circuit(n, rng)
    got = Circuit([g for g, _, _ in items], fusion=k).run(n)
    assert np.linalg.norm(got - reference(n, items)) <= 4 * len(items) * EPS32


@pytest.mark.parametrize("k", [2, 5])
def test_measurements_resets_and_barriers_end_blocks(k):
    # Qubit 6 is |1> when measured and reset, so outcomes are certain; the
    # random gates never touch it.
    n, rng = 7, np.random.default_rng(10 + k)
    first, second = catalogue_circuit(6, rng, 20), catalogue_circuit(6, rng, 20)
    gates = ([Gate.x(6)] + [g for g, _, _ in first] + [Gate.measure(6), Gate.barrier()]
             + [g for g, _, _ in second] + [Gate.reset(6)])
    state, record = Circuit(gates, fusion=k).run_with_measurements(n)
    assert record == [(6, 1)]
    ref = reference(n, first + second, reference(n, [(None, X, [6])]))
    ref = _apply64(ref, n, [6], X)
    assert np.linalg.norm(state - ref) <= 4 * (len(first) + len(second)) * EPS32


@pytest.mark.parametrize("n, k", [(6, 2), (6, 4), (18, 3)])
def test_compiled_plans_against_double_reference(n, k):
    rng = np.random.default_rng(20 + k)
    items, count = layered_items(n, 3, rng)
    spec = CircuitSpec(n)
    handles = [spec.param() for _ in range(count)]
    for item in items:
        if item[0] in ("rx", "ry", "rz", "p"):
            getattr(spec, item[0])(item[1], handles[item[2]])
        else:
            getattr(spec, item[0])(*item[1:])
    plan = spec.compile(fusion=k, sums="float64")
    params = rng.uniform(-2, 2, count).astype(np.float32)
    terms = random_terms(n, 5, rng)
    bound = 4 * len(items) * EPS32
    assert np.linalg.norm(plan.statevector(params) - run64(n, items, params)) <= bound
    value, _ = plan.adjoint_value_and_gradient(params, observable(terms))
    ref = expectation64(run64(n, items, params), terms)
    assert abs(value - ref) <= 2 * bound * sum(abs(c) for c, _ in terms)


@pytest.mark.parametrize("n", [16, 18])
def test_identical_for_every_pool_size(isolated, n):
    here = os.path.dirname(os.path.abspath(__file__))
    body = f"""
import hashlib, sys
import numpy as np
import vantelo
sys.path.insert(0, {here!r})
from test_fusion_option import catalogue_circuit
vantelo.set_num_threads(K)
items = catalogue_circuit({n}, np.random.default_rng(5), 150)
state = vantelo.Circuit([g for g, _, _ in items], fusion=4).run({n})
print(hashlib.sha256(state.tobytes()).hexdigest())
"""
    digests = set()
    for k in (1, 2, 3):
        proc = isolated(body.replace("K)", f"{k})"))
        assert proc.returncode == 0, proc.stderr
        digests.add(proc.stdout.strip())
    assert len(digests) == 1


@pytest.mark.parametrize("value, error, message", [
    (1, ValueError, "fusion must be 0 \\(off\\) or a block width from 2 to 5, not 1"),
    (6, ValueError, "not 6"), (True, TypeError, "fusion must be an int"), ("2", TypeError, None)])
def test_option_values(value, error, message):
    with pytest.raises(error, match=message):
        Circuit([], fusion=value)
    with pytest.raises(error, match=message):
        CircuitSpec(1).compile(fusion=value)


@pytest.mark.parametrize("k", [2, 3, 4, 5])
def test_dense_blocks_on_every_target_pattern(k):
    # One dense gate per set of k targets among 7 qubits (low ones inside a
    # SIMD register, high ones, mixed), listed in shuffled order, on a random
    # state: the fused kernels against complex128.
    n, rng = 7, np.random.default_rng(30 + k)
    for qs in itertools.combinations(range(n), k):
        qs = [int(q) for q in rng.permutation(qs)]
        m = random_unitary(1 << k, rng).astype(np.complex64)
        psi = (rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)).astype(np.complex64)
        psi /= np.linalg.norm(psi)
        got = Circuit([Gate.unitary(qs, m)], fusion=k).run_from(psi)
        ref = _apply64(psi.astype(np.complex128), n, qs, m.astype(np.complex128))
        assert np.linalg.norm(got - ref) <= 4 * (1 << k) * EPS32, qs


def test_adjoint_value_is_the_expectation_of_the_fused_run():
    # From 16 qubits the adjoint method runs the forward pass in halves,
    # moving qubits to other bit positions; its value must still be the
    # expectation of the state the fused plan makes.
    n, rng = 16, np.random.default_rng(40)
    items, count = layered_items(n, 2, rng)
    spec = CircuitSpec(n)
    handles = [spec.param() for _ in range(count)]
    for item in items:
        if item[0] in ("rx", "ry", "rz", "p"):
            getattr(spec, item[0])(item[1], handles[item[2]])
        else:
            getattr(spec, item[0])(*item[1:])
    for _ in range(12):
        spec.gate(Gate.unitary([int(q) for q in rng.permutation(n)[:2]], random_unitary(4, rng).astype(np.complex64)))
    plan = spec.compile(fusion=2)
    params = rng.uniform(-2, 2, count).astype(np.float32)
    obs = observable(random_terms(n, 5, rng))
    assert plan.adjoint_value_and_gradient(params, obs)[0] == plan.expectation(params, obs)
