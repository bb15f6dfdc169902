"""The one-off Circuit class: results bit for bit against a float32 model of
the one-qubit and dense kernels (and of fusion), the edge cases of running,
measurement and sampling semantics, and the ownership of result arrays."""

import gc

import numpy as np
import pytest

from vantelo import Circuit, Gate

F32 = np.float32


# ---------------------------------------------------------------- model ----

def cmul(a_re, a_im, b_re, b_im):
    """Single-precision complex product, separate multiplies then add/sub."""
    return a_re * b_re - a_im * b_im, a_re * b_im + a_im * b_re


def apply_1q_float32(state, q, m):
    """In-place pair update: y0 = m00*x0 + m01*x1, y1 = m10*x0 + m11*x1."""
    n = state.size.bit_length() - 1
    pairs = state.reshape(1 << (n - q - 1), 2, 1 << q)
    x0, x1 = pairs[:, 0, :].copy(), pairs[:, 1, :].copy()
    out = []
    for r in range(2):
        p0 = cmul(x0.real, x0.imag, F32(m[r, 0].real), F32(m[r, 0].imag))
        p1 = cmul(x1.real, x1.imag, F32(m[r, 1].real), F32(m[r, 1].imag))
        out.append((p0[0] + p1[0]) + 1j * (p0[1] + p1[1]))
    pairs[:, 0, :] = out[0].astype(np.complex64)
    pairs[:, 1, :] = out[1].astype(np.complex64)


def apply_dense_float32(state, targets, m):
    """Every output from the dense matrix: acc from +0, columns in order."""
    n = state.size.bit_length() - 1
    k = len(targets)
    i = np.arange(1 << n)
    row = np.zeros_like(i)
    base = i.copy()
    for j, t in enumerate(targets):
        row |= ((i >> t) & 1) << (k - 1 - j)
        base &= ~(1 << t)
    acc_re = np.zeros(i.size, F32)
    acc_im = np.zeros(i.size, F32)
    for col in range(1 << k):
        idx = base.copy()
        for j, t in enumerate(targets):
            if (col >> (k - 1 - j)) & 1:
                idx |= 1 << t
        mm = m[row, col]
        x = state[idx]
        p_re, p_im = cmul(mm.real, mm.imag, x.real, x.imag)
        acc_re = acc_re + p_re
        acc_im = acc_im + p_im
    state[:] = acc_re + 1j * acc_im


def fuse(items):
    """Adjacent one-qubit operations on the same qubit multiplied B·A."""
    out = []
    for targets, m in items:
        if len(targets) == 1 and out and len(out[-1][0]) == 1 and out[-1][0] == targets:
            a = out[-1][1]
            new = np.empty((2, 2), np.complex64)
            for r in range(2):
                for c in range(2):
                    p0 = cmul(m[r, 0].real, m[r, 0].imag, a[0, c].real, a[0, c].imag)
                    p1 = cmul(m[r, 1].real, m[r, 1].imag, a[1, c].real, a[1, c].imag)
                    new[r, c] = complex(p0[0] + p1[0], p0[1] + p1[1])
            out[-1] = (targets, new)
        else:
            out.append((targets, m))
    return out


def model_run(items, n):
    if sum(len(t) == 1 for t, _ in items) > 15:
        items = fuse(items)
    state = np.zeros(1 << n, np.complex64)
    state[0] = 1
    for targets, m in items:
        if len(targets) == 1:
            apply_1q_float32(state, targets[0], m)
        else:
            apply_dense_float32(state, targets, m)
    return state


# ------------------------------------------------------ random circuits ----

def random_unitary(rng, dim):
    z = (rng.standard_normal((dim, dim)) + 1j * rng.standard_normal((dim, dim))).astype(np.complex64)
    q, r = np.linalg.qr(z)
    return (q * (np.diag(r) / np.abs(np.diag(r)))).astype(np.complex64)


def controlled(u, c):
    dim = u.shape[0] << c
    m = np.eye(dim, dtype=np.complex64)
    m[dim - u.shape[0]:, dim - u.shape[0]:] = u
    return m


X = np.array([[0, 1], [1, 0]], np.complex64)
SWAP = np.eye(4, dtype=np.complex64)[[0, 2, 1, 3]]


def random_circuit(rng, n, count, dense_every):
    """Returns (gates, model items); one-qubit gates often repeat the previous
    qubit so that fusion has runs to merge."""
    gates, items, q = [], [], 0
    for g in range(count):
        if dense_every and g % dense_every == dense_every - 1:
            kind = rng.integers(5)
            qs = [int(v) for v in rng.permutation(n)[:3]]
            if kind == 0:
                gates.append(Gate.cx(qs[0], qs[1]))
                items.append((qs[:2], controlled(X, 1)))
            elif kind == 1:
                gates.append(Gate.ccx(*qs))
                items.append((qs, controlled(X, 2)))
            elif kind == 2:
                gates.append(Gate.swap(qs[0], qs[1]))
                items.append((qs[:2], SWAP))
            else:
                k = int(kind)  # 3 -> two targets, 4 -> three targets
                m = random_unitary(rng, 1 << (k - 1))
                gates.append(Gate.unitary(qs[:k - 1], m))
                items.append((qs[:k - 1], m))
            continue
        if rng.random() < 0.5:
            q = int(rng.integers(n))
        m = random_unitary(rng, 2)
        gates.append(Gate.unitary([q], m))
        items.append(([q], m))
    return gates, items


def assert_bits_equal(got, want):
    assert got.dtype == np.complex64 and got.shape == want.shape
    # == treats -0 and +0 alike, which is the promised equality
    assert np.array_equal(got.view(F32), want.view(F32)), np.abs(got - want).max()


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("n, count, dense_every", [
    (1, 10, 0),   # short: kept unfused
    (4, 15, 0),   # exactly at the threshold: unfused
    (4, 16, 0),   # first fused size
    (5, 60, 4),   # fused, runs cut by dense gates
    (6, 40, 3),
    (3, 12, 2),   # unfused with dense gates
])
def test_random_circuit_bit_for_bit(seed, n, count, dense_every):
    rng = np.random.default_rng(1000 * seed + 17 * n + count)
    gates, items = random_circuit(rng, n, count, dense_every)
    assert_bits_equal(Circuit(gates).run(n), model_run(items, n))


def test_fusion_threshold_is_observable():
    """15 gates on one qubit stay separate; a 16th (even on another qubit)
    switches to fused products, which round differently. A dense gate first
    leaves a general state (on a basis state a product rounds like the
    sequence)."""
    rng = np.random.default_rng(5)
    first = random_unitary(rng, 4)
    mats = [random_unitary(rng, 2) for _ in range(15)]
    items = [([0, 1], first)] + [([0], m) for m in mats]
    gates = [Gate.unitary([0, 1], first)] + [Gate.unitary([0], m) for m in mats]
    unfused = model_run(items, 2)
    assert_bits_equal(Circuit(gates).run(2), unfused)

    fused = model_run(items + [([1], np.eye(2, dtype=np.complex64))], 2)
    assert not np.array_equal(fused, unfused)
    assert_bits_equal(Circuit(gates + [Gate.i(1)]).run(2), fused)


def test_interleaved_named_gates_fuse_only_adjacent_runs():
    h = np.array([[1, 1], [1, -1]], np.complex64) * F32(0.70710677)
    gates, items = [], []
    for k in range(8):
        gates += [Gate.h(k % 3), Gate.h(k % 3), Gate.cx(k % 3, (k + 1) % 3)]
        items += [([k % 3], h), ([k % 3], h), ([k % 3, (k + 1) % 3], controlled(X, 1))]
    assert_bits_equal(Circuit(gates).run(3), model_run(items, 3))


# ----------------------------------------------------------- edge cases ----

@pytest.mark.parametrize("n, want", [(0, [1]), (2, [1, 0, 0, 0])])
def test_empty_circuit(n, want):
    got = Circuit([]).run(n)
    assert got.dtype == np.complex64 and got.ndim == 1
    assert_bits_equal(got, np.array(want, np.complex64))
    assert Circuit([Gate.barrier()]).run_with_measurements(n)[1] == []


@pytest.mark.parametrize("gates", [
    [Gate.x(1)], [Gate.measure(1)], [Gate.reset(1)], [Gate.x(0), Gate.x(1)],
])
def test_qubit_checked_against_width_when_run(gates):
    c = Circuit(gates)
    for call in (lambda: c.run(1), lambda: c.run_with_measurements(1), lambda: c.sample(1, 3)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "qubit index 1 is out of range for 1 qubits"
    assert c.run(2).shape == (4,)


def test_x_on_one_and_two_qubits():
    assert_bits_equal(Circuit([Gate.x(0)]).run(1), np.array([0, 1], np.complex64))
    assert_bits_equal(Circuit([Gate.x(0)]).run(2), np.array([0, 1, 0, 0], np.complex64))
    assert_bits_equal(Circuit([Gate.x(1)]).run(2), np.array([0, 0, 1, 0], np.complex64))


def test_gates_must_be_a_list_of_gates():
    with pytest.raises(TypeError) as info:
        Circuit((Gate.x(0),))
    assert str(info.value) == "argument 'gates': 'tuple' object cannot be converted to 'PyList'"
    with pytest.raises(TypeError) as info:
        Circuit([Gate.x(0), 5])
    assert str(info.value) == "all circuit items must be vantelo.Gate instances"

    class GateList(list):
        pass
    assert_bits_equal(Circuit(GateList([Gate.x(0)])).run(1), np.array([0, 1], np.complex64))


def test_circuit_holds_copies_of_its_list():
    gates = [Gate.x(0)]
    c = Circuit(gates)
    gates.append(Gate.x(0))
    del gates
    gc.collect()
    assert_bits_equal(c.run(1), np.array([0, 1], np.complex64))


@pytest.mark.parametrize("call", [
    lambda c: c.run(32), lambda c: c.run_with_measurements(32), lambda c: c.sample(32, 1),
    lambda c: c.sample(40, 0),
], ids=["run", "run_with_measurements", "sample", "sample_zero_shots"])
def test_32_qubits_is_internal_fault_before_any_gate(call):
    # qubit 40 would give ValueError if any gate were applied first
    with pytest.raises(BaseException) as info:
        call(Circuit([Gate.x(40)]))
    assert not issubclass(info.type, Exception)
    assert str(info.value) == "too many qubits in state vector"


def test_measurement_record_types():
    state, record = Circuit([Gate.x(0), Gate.measure(0)]).run_with_measurements(1)
    assert_bits_equal(state, np.array([0, 1], np.complex64))
    assert record == [(0, 1)]
    assert all(type(v) is int for v in record[0]) and type(record) is list
    state, record = Circuit([Gate.x(0), Gate.measure(0), Gate.measure(0)]).run_with_measurements(1)
    assert record == [(0, 1), (0, 1)]
    assert Circuit([Gate.h(0)]).run_with_measurements(1)[1] == []


def test_sample_edge_cases():
    assert Circuit([Gate.h(0)]).sample(1, 0) == []
    got = Circuit([]).sample(2, 5)
    assert got == [0, 0, 0, 0, 0] and all(type(v) is int for v in got)
    assert set(Circuit([Gate.x(1), Gate.x(2)]).sample(3, 50)) == {6}


def test_result_arrays_are_independent_and_own_their_memory():
    c = Circuit([Gate.h(0), Gate.cx(0, 1)])
    first = c.run(2)
    want = first.copy()
    assert first.flags.writeable and first.flags.c_contiguous
    first[:] = 7
    second, _ = c.run_with_measurements(2)
    assert_bits_equal(second, want)
    assert not np.shares_memory(first, second)
    del c
    gc.collect()
    _ = [np.ones(4, np.complex64) for _ in range(100)]
    assert_bits_equal(second, want)
    assert np.all(first == 7)


def test_same_circuit_runs_on_several_widths():
    c = Circuit([Gate.h(0)])
    for n in range(1, 5):
        want = np.zeros(1 << n, np.complex64)
        want[[0, 1]] = F32(0.70710677)
        assert_bits_equal(c.run(n), want)


# ---------------------------------------------------------- measurement ----

def test_measure_after_h_collapses_to_exact_basis_state():
    seen = set()
    for _ in range(100):
        state, [(q, outcome)] = Circuit([Gate.h(0), Gate.measure(0)]).run_with_measurements(1)
        want = np.zeros(2, np.complex64)
        want[outcome] = 1
        assert_bits_equal(state, want)
        seen.add(outcome)
    assert seen == {0, 1}


def test_measure_reset_ends_in_zero():
    seen = set()
    for _ in range(100):
        state, record = Circuit([Gate.h(0), Gate.measure(0), Gate.reset(0)]).run_with_measurements(2)
        assert_bits_equal(state, np.array([1, 0, 0, 0], np.complex64))
        assert len(record) == 1
        seen.add(record[0][1])
    assert seen == {0, 1}


def test_measure_one_qubit_of_entangled_pair_keeps_correlation():
    for _ in range(50):
        state, [(_, outcome)] = Circuit(
            [Gate.h(0), Gate.cx(0, 1), Gate.measure(1)]).run_with_measurements(2)
        want = np.zeros(4, np.complex64)
        want[3 * outcome] = 1
        assert_bits_equal(state, want)


def within_bounds(samples, probs, sigmas=6.0):
    counts = np.bincount(samples, minlength=probs.size)
    shots = len(samples)
    bound = sigmas * np.sqrt(shots * probs * (1 - probs)) + 1
    assert np.all(np.abs(counts - shots * probs) <= bound), (counts, shots * probs)
    assert np.all(counts[probs == 0] == 0)


def test_h_sampling_is_fair():
    within_bounds(Circuit([Gate.h(0)]).sample(1, 20000), np.array([0.5, 0.5]))


def test_sampling_follows_state_probabilities():
    gates = [Gate.ry(0, 1.0), Gate.cx(0, 1), Gate.ry(2, 2.0), Gate.t(2)]
    c = Circuit(gates)
    probs = np.abs(c.run(3).astype(np.complex128)) ** 2
    probs /= probs.sum()
    assert np.count_nonzero(probs) == 4
    samples = c.sample(3, 40000)
    assert len(samples) == 40000 and min(samples) >= 0 and max(samples) < 8
    within_bounds(np.array(samples), probs)


def test_sample_after_mid_circuit_measure_shares_one_outcome():
    seen = set()
    for _ in range(40):
        samples = Circuit([Gate.h(0), Gate.measure(0)]).sample(1, 1000)
        assert len(set(samples)) == 1
        seen.add(samples[0])
    assert seen == {0, 1}


def test_repeated_sampling_is_independent():
    c = Circuit([Gate.h(q) for q in range(6)])
    assert c.sample(6, 64) != c.sample(6, 64)


# ------------------------------------------------------- loaded states ----

def test_run_from_continues_a_run_bit_for_bit():
    head = [Gate.h(0), Gate.ry(1, 0.3), Gate.cx(0, 2)]
    tail = [Gate.rz(2, 1.1), Gate.swap(0, 1), Gate.t(1), Gate.x(2)]
    middle = Circuit(head).run(3)
    given = middle.copy()
    got = Circuit(tail).run_from(middle)
    assert got.dtype == np.complex64 and got.shape == (8,)
    assert_bits_equal(got, Circuit(head + tail).run(3))
    assert_bits_equal(middle, given) and not np.shares_memory(got, middle)
    # any sequence of numbers converts (here complex128 from a list)
    assert_bits_equal(Circuit(tail).run_from(middle.astype(np.complex128).tolist()), got)


def test_run_with_measurements_from():
    one = np.array([0, 0, 1, 0])
    state, record = Circuit([Gate.measure(1), Gate.x(0)]).run_with_measurements_from(one)
    assert_bits_equal(state, np.array([0, 0, 0, 1], np.complex64))
    assert record == [(1, 1)]
    assert Circuit([]).run_with_measurements_from([1.0])[1] == []


@pytest.mark.parametrize("state, circuit, message", [
    (np.eye(2), [], "state must be a one-dimensional array of amplitudes"),
    ([], [], "state vector length 0 is not a power of two"),
    ([0.6, 0.8, 0], [], "state vector length 3 is not a power of two"),
    ([1, 1], [], "state vector must be normalised: its norm differs from 1 by more than 1e-2"),
    ([1 + 2e-2, 0], [], "state vector must be normalised: its norm differs from 1 by more than 1e-2"),
    ([np.nan, 0], [], "state vector must be normalised: its norm differs from 1 by more than 1e-2"),
    ([1, 0], [Gate.h(0), Gate.x(1)], "qubit index 1 is out of range for 1 qubits"),
    ([1, 0, 0, 0], [Gate.measure(3)], "qubit index 3 is out of range for 2 qubits"),
], ids=["2d", "empty", "length3", "unnormalised", "norm_tolerance", "nan", "gate", "measure"])
def test_loaded_state_checks(state, circuit, message):
    c = Circuit(circuit)
    for call in (c.run_from, c.run_with_measurements_from):
        with pytest.raises(ValueError) as info:
            call(state)
        assert str(info.value) == message


def test_drifted_norm_is_divided_out():
    # 30,000 rotations leave the norm about 3e-4 from 1 in single precision.
    drifted = Circuit([Gate.rx(0, 0.1)] * 30000).run(1)
    synthetic = np.array([0.6, 0.8j], np.complex64) * F32(1 + 5e-3)
    for state in (drifted, synthetic):
        wide = state.astype(np.complex128)
        want = (wide / np.sqrt(np.sum(wide.real ** 2 + wide.imag ** 2))).astype(np.complex64)
        assert_bits_equal(Circuit([]).run_from(state), want)


@pytest.mark.parametrize("call", [
    lambda c: c.run_with_measurements(1),
    lambda c: Circuit([Gate.rx(0, np.nan)]).sample(1, 4),
    lambda c: Circuit([Gate.rx(0, np.nan)]).sample_from([1, 0], 4, 3),
    lambda c: c.run_with_measurements_from([1, 0]),
])
def test_measuring_nan_state_raises(call):
    # A NaN probability used to read as outcome 0 and zero the state.
    with pytest.raises(ValueError, match="^cannot measure a state whose amplitudes are not finite$"):
        call(Circuit([Gate.rx(0, np.nan), Gate.measure(0)]))


def test_controls_checked_before_any_gate_runs():
    # Wide controlled gates keep their controls apart from the targets; the
    # check before the run names the first qubit out of range in item order.
    wide = Gate.mcx([1, 2, 3, 4], 0)
    with pytest.raises(ValueError, match="^qubit index 2 is out of range for 2 qubits$"):
        Circuit([Gate.h(0), wide, Gate.x(3)]).run_from([1, 0, 0, 0])


def test_norm_within_tolerance_is_loaded_unchanged():
    state = np.array([0.6, 0.8j], np.complex64) * F32(1 + 5e-5)
    assert_bits_equal(Circuit([]).run_from(state), state)


def test_sample_from_is_seeded_and_shares_the_loaded_state_checks():
    c = Circuit([Gate.h(0), Gate.measure(0), Gate.h(1)])
    zero = np.array([1, 0, 0, 0])
    a, b = c.sample_from(zero, 64, 11), c.sample_from(zero, 64, seed=11)
    assert a.dtype == np.int64 and a.shape == (64,)
    assert np.array_equal(a, b)  # the measurement outcome and the draws repeat
    assert not np.array_equal(a, c.sample_from(zero, 64, 12))
    assert len(set(a & 1)) == 1 and set(c.sample_from(zero, 200) >> 1) == {0, 1}
    assert Circuit([]).sample_from([0, 0, 0, 1], 5).tolist() == [3] * 5
    with pytest.raises(ValueError, match="state vector length 3 is not a power of two"):
        c.sample_from([1, 0, 0], 1)
