"""Gate constructors: what they build (read back through a circuit run),
their error messages, and the matrix conversion."""

import math

import numpy as np
import pytest

from vantelo import Circuit, Gate

H = np.float32(0.70710677)


def columns(gate, num_qubits):
    """The operation's action on every basis state: column b is the state
    after preparing |b> with x gates and applying the gate."""
    cols = []
    for b in range(2**num_qubits):
        prep = [Gate.x(q) for q in range(num_qubits) if (b >> q) & 1]
        cols.append(Circuit(prep + [gate]).run(num_qubits))
    return np.array(cols).T


def dense(matrix, targets, num_qubits):
    """Embeds an operation matrix (first target = most significant matrix
    bit) into the full register (qubit q = bit q of the index), in double
    precision."""
    k = len(targets)
    full = np.zeros((2**num_qubits, 2**num_qubits), dtype=np.complex128)
    for i in range(2**num_qubits):
        for j in range(2**num_qubits):
            others = [q for q in range(num_qubits) if q not in targets]
            if any(((i >> q) & 1) != ((j >> q) & 1) for q in others):
                continue
            row = sum(((i >> t) & 1) << (k - 1 - n) for n, t in enumerate(targets))
            col = sum(((j >> t) & 1) << (k - 1 - n) for n, t in enumerate(targets))
            full[i, j] = matrix[row, col]
    return full


def rx(t):
    c, s = math.cos(t / 2), math.sin(t / 2)
    return np.array([[c, -1j * s], [-1j * s, c]])


def ry(t):
    c, s = math.cos(t / 2), math.sin(t / 2)
    return np.array([[c, -s], [s, c]])


def rz(t):
    return np.diag([np.exp(-0.5j * t), np.exp(0.5j * t)])


def p(t):
    return np.diag([1, np.exp(1j * t)])


def u(t, f, l):
    c, s = math.cos(t / 2), math.sin(t / 2)
    return np.array([[c, -np.exp(1j * l) * s], [np.exp(1j * f) * s, np.exp(1j * (f + l)) * c]])


def controlled(m, c):
    d = 2**c * m.shape[0]
    e = np.eye(d, dtype=np.complex128)
    e[d - m.shape[0]:, d - m.shape[0]:] = m
    return e


X = np.array([[0, 1], [1, 0]])
Y = np.array([[0, -1j], [1j, 0]])
Z = np.diag([1, -1])
HM = np.array([[1, 1], [1, -1]]) / math.sqrt(2)
SWAP = np.eye(4)[[0, 2, 1, 3]]
ISWAP = np.array([[1, 0, 0, 0], [0, 0, 1j, 0], [0, 1j, 0, 0], [0, 0, 0, 1]])
A = 0.7

CASES = [
    ("i", Gate.i(1), np.eye(2), [1]), ("x", Gate.x(1), X, [1]), ("y", Gate.y(0), Y, [0]),
    ("z", Gate.z(1), Z, [1]), ("h", Gate.h(0), HM, [0]), ("s", Gate.s(1), np.diag([1, 1j]), [1]),
    ("sdg", Gate.sdg(1), np.diag([1, -1j]), [1]),
    ("t", Gate.t(0), np.diag([1, np.exp(0.25j * math.pi)]), [0]),
    ("tdg", Gate.tdg(0), np.diag([1, np.exp(-0.25j * math.pi)]), [0]),
    ("rx", Gate.rx(1, A), rx(A), [1]), ("ry", Gate.ry(0, A), ry(A), [0]),
    ("rz", Gate.rz(1, A), rz(A), [1]), ("p", Gate.p(0, A), p(A), [0]),
    ("phase", Gate.phase(0, A), p(A), [0]), ("u", Gate.u(1, 0.3, 0.5, 0.9), u(0.3, 0.5, 0.9), [1]),
    ("cnot", Gate.cnot(2, 0), controlled(X, 1), [2, 0]), ("cx", Gate.cx(0, 1), controlled(X, 1), [0, 1]),
    ("cy", Gate.cy(1, 2), controlled(Y, 1), [1, 2]), ("cz", Gate.cz(0, 2), controlled(Z, 1), [0, 2]),
    ("ch", Gate.ch(2, 1), controlled(HM, 1), [2, 1]), ("swap", Gate.swap(2, 0), SWAP, [2, 0]),
    ("iswap", Gate.iswap(0, 1), ISWAP, [0, 1]), ("crx", Gate.crx(1, 0, A), controlled(rx(A), 1), [1, 0]),
    ("cry", Gate.cry(0, 2, A), controlled(ry(A), 1), [0, 2]),
    ("crz", Gate.crz(2, 1, A), controlled(rz(A), 1), [2, 1]),
    ("cp", Gate.cp(0, 1, A), controlled(p(A), 1), [0, 1]),
    ("cphase", Gate.cphase(0, 1, A), controlled(p(A), 1), [0, 1]),
    ("cu", Gate.cu(1, 0, 0.3, 0.5, 0.9, 0.4), controlled(np.exp(0.4j) * u(0.3, 0.5, 0.9), 1), [1, 0]),
    ("ccx", Gate.ccx(0, 2, 1), controlled(X, 2), [0, 2, 1]),
    ("toffoli", Gate.toffoli(2, 1, 0), controlled(X, 2), [2, 1, 0]),
    ("cswap", Gate.cswap(1, 0, 2), controlled(SWAP, 1), [1, 0, 2]),
    ("fredkin", Gate.fredkin(0, 1, 2), controlled(SWAP, 1), [0, 1, 2]),
    ("mcx", Gate.mcx([2, 0], 1), controlled(X, 2), [2, 0, 1]),
    ("mcz", Gate.mcz((1,), 0), controlled(Z, 1), [1, 0]),
    ("mcp", Gate.mcp([0, 1], 2, A), controlled(p(A), 2), [0, 1, 2]),
    ("mcphase", Gate.mcphase([0], 2, A), controlled(p(A), 1), [0, 2]),
    ("unitary", Gate.unitary([1, 2], ISWAP), ISWAP, [1, 2]),
    ("controlled_unitary", Gate.controlled_unitary([2], [0, 1], SWAP), controlled(SWAP, 1), [2, 0, 1]),
]


@pytest.mark.parametrize("name, gate, matrix, targets", CASES, ids=[c[0] for c in CASES])
def test_gate_action_matches_dense_reference(name, gate, matrix, targets):
    got = columns(gate, 3)
    assert got.dtype == np.complex64
    np.testing.assert_allclose(got, dense(matrix, targets, 3), atol=2e-6)


ALIASES = [
    (lambda: Gate.p(0, 0.3), lambda: Gate.phase(0, 0.3)),
    (lambda: Gate.cnot(0, 1), lambda: Gate.cx(0, 1)),
    (lambda: Gate.cp(0, 1, 0.3), lambda: Gate.cphase(0, 1, 0.3)),
    (lambda: Gate.ccx(0, 1, 2), lambda: Gate.toffoli(0, 1, 2)),
    (lambda: Gate.cswap(0, 1, 2), lambda: Gate.fredkin(0, 1, 2)),
    (lambda: Gate.mcp([0, 1], 2, 0.3), lambda: Gate.mcphase([0, 1], 2, 0.3)),
    (lambda: Gate.cu(0, 1, 0.1, 0.2, 0.3), lambda: Gate.cu(0, 1, 0.1, 0.2, 0.3, None)),
    (lambda: Gate.cu(0, 1, 0.1, 0.2, 0.3), lambda: Gate.cu(0, 1, 0.1, 0.2, 0.3, gamma=0.0)),
]


@pytest.mark.parametrize("make_a, make_b", ALIASES)
def test_aliases_build_identical_items(make_a, make_b):
    a, b = columns(make_a(), 3), columns(make_b(), 3)
    assert a.tobytes() == b.tobytes()


def test_exact_single_precision_entries():
    assert columns(Gate.h(0), 1)[0, 0] == H
    s11 = columns(Gate.s(0), 1)[1, 1]
    assert s11.real == np.float32(-4.3711388e-08) and s11.imag == 1
    t11 = columns(Gate.t(0), 1)[1, 1]
    assert t11.real == H and t11.imag == H
    assert np.array_equal(columns(Gate.rx(0, 0.0), 1), np.eye(2))


@pytest.mark.parametrize("make, message", [
    (lambda: Gate.cnot(1, 1), "duplicate qubit index: 1"),
    (lambda: Gate.cnot(0, 0), "duplicate qubit index: 0"),
    (lambda: Gate.mcx([0, 2, 0], 1), "duplicate qubit index: 0"),
    (lambda: Gate.swap(3, 3), "duplicate qubit index: 3"),
    (lambda: Gate.unitary([0, 1], np.eye(2)),
     "matrix shape mismatch: expected 16 complex values for 2 targets, got 4"),
    (lambda: Gate.unitary([0], np.eye(4)),
     "matrix shape mismatch: expected 4 complex values for 1 targets, got 16"),
    (lambda: Gate.controlled_unitary([0], [1], np.eye(4)),
     "matrix shape mismatch: expected 4 complex values for 1 target qubits, got 16"),
    (lambda: Gate.controlled_unitary([], [1], X), "controlled unitary requires at least one control qubit"),
    (lambda: Gate.controlled_unitary([0], [], X), "controlled unitary requires at least one target qubit"),
    (lambda: Gate.controlled_unitary([], [0], [[0, 1], [1, 0]]),
     "controlled unitary requires at least one control qubit"),
    (lambda: Gate.unitary([], np.eye(2)), "unitary operation must target at least one qubit"),
    (lambda: Gate.unitary([0], [[1, 0], [0, 2]]), "matrix must be unitary within tolerance 1e-3"),
    (lambda: Gate.unitary([0], np.diag([1, 1.0006])), "matrix must be unitary within tolerance 1e-3"),
    (lambda: Gate.controlled_unitary([1], [0], [[1, 1], [0, 1]]),
     "matrix must be unitary within tolerance 1e-3"),
    (lambda: Gate.unitary(list(range(32)), np.eye(1)), "too many qubits in operation: 32"),
    (lambda: Gate.mcx(list(range(1, 32)), 0), "too many qubits in operation: 32"),
])
def test_construction_errors(make, message):
    with pytest.raises(ValueError) as info:
        make()
    assert str(info.value) == message


def test_near_tolerance_and_nan_matrices_accepted():
    Gate.unitary([0], np.diag([1, 1.0004]))
    Gate.unitary([0], [[np.nan, 0], [0, 1]])


@pytest.mark.parametrize("matrix, error, message", [
    ([1, 0, 0, 1], TypeError, "matrix must be convertible to a 2D numpy complex64 array"),
    (np.zeros((2, 2, 2)), TypeError, "matrix must be convertible to a 2D numpy complex64 array"),
    ([[1, 0, 0], [0, 1, 0]], ValueError, "matrix must be square"),
])
def test_matrix_conversion_errors(matrix, error, message):
    with pytest.raises(error) as info:
        Gate.unitary([0], matrix)
    assert str(info.value) == message


def test_matrix_conversion_passes_numpy_errors_through():
    with pytest.raises(ValueError) as info:
        Gate.unitary([0], [[1, 0], [0]])
    assert "matrix" not in str(info.value)
    with pytest.raises((TypeError, ValueError)):
        Gate.unitary([0], [["a", "b"], ["c", "d"]])


@pytest.mark.parametrize("matrix", [
    [[1, 0], [0, 1]], np.eye(2, dtype=np.float64), np.eye(2, dtype=np.complex128),
    np.asfortranarray(np.eye(2, dtype=np.complex64)), np.eye(4, dtype=np.complex64)[::2, ::2],
])
def test_matrix_inputs_accepted(matrix):
    got = columns(Gate.unitary([0], matrix), 1)
    assert np.array_equal(got, np.eye(2, dtype=np.complex64))


def test_matrix_read_row_major():
    m = np.array([[0, 1j], [1j, 0]], dtype=np.complex64)
    np.testing.assert_array_equal(columns(Gate.unitary([0], m), 1), m)
    np.testing.assert_array_equal(columns(Gate.unitary([0], np.asfortranarray(m)), 1), m)


def test_qubits_are_not_checked_at_construction():
    gate = Gate.x(100)
    with pytest.raises(ValueError, match="^qubit index 100 is out of range for 2 qubits$"):
        Circuit([gate]).run(2)
    Gate.measure(2**32 - 1)
    Gate.reset(7)
