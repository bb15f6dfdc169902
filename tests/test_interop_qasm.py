"""OpenQASM import: textbook circuits written here, in both dialects.

Without Qiskit the states are checked against their closed forms (up to a
global phase: the unrolling parser may drop one); with Qiskit installed they
are also compared, phase included, with Qiskit's Statevector of the same text.
"""

import math

import numpy as np
import pytest

qasm = pytest.importorskip("vantelo_interop.qasm")
try:
    import pyqasm  # noqa: F401

    HAVE_PYQASM = True
except ImportError:
    HAVE_PYQASM = False
try:
    import qiskit  # noqa: F401
    import qiskit_qasm3_import  # noqa: F401

    HAVE_QISKIT = True
except ImportError:
    HAVE_QISKIT = False

if not (HAVE_PYQASM or HAVE_QISKIT):
    pytest.skip("no OpenQASM parser installed", allow_module_level=True)

BACKENDS = [
    pytest.param("qiskit", marks=pytest.mark.skipif(not HAVE_QISKIT, reason="needs qiskit")),
    pytest.param("pyqasm", marks=pytest.mark.skipif(not HAVE_PYQASM, reason="needs pyqasm")),
]


@pytest.fixture
def load(request, monkeypatch):
    if request.param == "pyqasm":
        monkeypatch.setattr(qasm, "_load_with_qiskit", lambda text, folder: None)
    return qasm.load_qasm


def header(version, nq, nc=0):
    if version == 2:
        lines = ['OPENQASM 2.0;', 'include "qelib1.inc";', f"qreg q[{nq}];"]
        return lines + ([f"creg c[{nc}];"] if nc else [])
    lines = ["OPENQASM 3.0;", 'include "stdgates.inc";', f"qubit[{nq}] q;"]
    return lines + ([f"bit[{nc}] c;"] if nc else [])


def ghz(version, n):
    """The OpenQASM 3 form uses a loop, which the parsers must unroll."""
    if version == 2:
        body = ["h q[0];"] + [f"cx q[{k}], q[{k + 1}];" for k in range(n - 1)]
    else:
        body = ["h q[0];", f"for int k in [0:{n - 2}] {{", "  cx q[k], q[k + 1];", "}"]
    expected = np.zeros(2**n, complex)
    expected[0] = expected[-1] = 1 / math.sqrt(2)
    return header(version, n) + body, expected


def qft(version, n, x=5):
    """QFT of the basis state |x>, with the final swaps: amplitude k is
    exp(2 pi i x k / 2^n) / sqrt(2^n)."""
    phase = "u1" if version == 2 else "p"
    body = [f"x q[{b}];" for b in range(n) if x >> b & 1]
    for j in reversed(range(n)):
        body.append(f"h q[{j}];")
        for k in reversed(range(j)):
            body.append(f"c{phase}(pi/{2 ** (j - k)}) q[{k}], q[{j}];")
    body += [f"swap q[{k}], q[{n - 1 - k}];" for k in range(n // 2)]
    k = np.arange(2**n)
    return header(version, n) + body, np.exp(2j * np.pi * x * k / 2**n) / 2 ** (n / 2)


def grover(version, marked=0b101):
    """Two Grover iterations on 3 qubits with a user-defined oracle gate."""
    flips = [f"x q[{b}];" for b in range(3) if not marked >> b & 1]
    oracle = flips + ["h q[2];", "ccx q[0], q[1], q[2];", "h q[2];"] + flips
    diffusion = [f"{g} q[{b}];" for g in ("h", "x") for b in range(3)]
    diffusion += ["h q[2];", "ccx q[0], q[1], q[2];", "h q[2];"]
    diffusion += [f"{g} q[{b}];" for g in ("x", "h") for b in range(3)]
    rename = {"q[0]": "a", "q[1]": "b", "q[2]": "c"}
    gate = ["gate oracle a, b, c {"]
    for line in oracle:
        for old, new in rename.items():
            line = line.replace(old, new)
        gate.append(line)
    gate.append("}")
    body = [f"h q[{b}];" for b in range(3)]
    for _ in range(2):
        body += ["oracle q[0], q[1], q[2];"] + diffusion
    lines = header(version, 3)
    return lines[:2] + gate + lines[2:] + body, marked


def adder(version, a=5, b=6):
    """Cuccaro ripple-carry adder on 3-bit registers: b <- a + b, carry out.
    Qubits: cin = 0, a_i = 1 + 2i, b_i = 2 + 2i, cout = 7."""
    def maj(x, y, z):
        return [f"cx q[{z}], q[{y}];", f"cx q[{z}], q[{x}];", f"ccx q[{x}], q[{y}], q[{z}];"]

    def uma(x, y, z):
        return [f"ccx q[{x}], q[{y}], q[{z}];", f"cx q[{z}], q[{x}];", f"cx q[{x}], q[{y}];"]

    av, bv = [1 + 2 * i for i in range(3)], [2 + 2 * i for i in range(3)]
    body = [f"x q[{av[i]}];" for i in range(3) if a >> i & 1] + [f"x q[{bv[i]}];" for i in range(3) if b >> i & 1]
    body += maj(0, bv[0], av[0]) + maj(av[0], bv[1], av[1]) + maj(av[1], bv[2], av[2])
    body += [f"cx q[{av[2]}], q[7];"]
    body += uma(av[1], bv[2], av[2]) + uma(av[0], bv[1], av[1]) + uma(0, bv[0], av[0])
    s = a + b
    index = sum(1 << av[i] for i in range(3) if a >> i & 1) + sum(1 << bv[i] for i in range(3) if s >> i & 1)
    index += (s >> 3 & 1) << 7
    return header(version, 8) + body, index


def same_up_to_phase(state, expected, atol=2e-5):
    overlap = np.vdot(expected, state)
    return abs(abs(overlap) - 1) < atol and np.allclose(state, expected * overlap, atol=atol)


@pytest.mark.parametrize("load", BACKENDS, indirect=True)
@pytest.mark.parametrize("version", [2, 3])
def test_textbook_circuits_have_their_closed_form_states(load, version, tmp_path):
    text, expected = ghz(version, 5)
    assert same_up_to_phase(load("\n".join(text)).run(5), expected)
    text, expected = qft(version, 5)
    path = tmp_path / "qft.qasm"
    path.write_text("\n".join(text))
    assert same_up_to_phase(load(path).run(5), expected)
    text, marked = grover(version)
    probs = np.abs(load("\n".join(text)).run(3)) ** 2
    assert probs.argmax() == marked and probs[marked] > 0.94
    text, index = adder(version)
    probs = np.abs(load("\n".join(text)).run(8)) ** 2
    assert probs[index] == pytest.approx(1, abs=1e-5)


@pytest.mark.skipif(not HAVE_QISKIT, reason="needs qiskit")
@pytest.mark.parametrize("version", [2, 3])
@pytest.mark.parametrize("make", [ghz, qft, grover, adder])
def test_states_match_qiskit_statevector_of_the_same_text(version, make):
    from qiskit import qasm2, qasm3
    from qiskit.quantum_info import Statevector

    if (make, version) == (ghz, 3):
        pytest.skip("Qiskit's OpenQASM 3 importer cannot index qubits by a loop variable")
    text = "\n".join(make(version, **({"n": 4} if make in (ghz, qft) else {}))[0])
    loads = qasm2.loads if version == 2 else qasm3.loads
    circuit = loads(text, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS) if version == 2 else loads(text)
    ours = qasm.load_qasm(text).run(circuit.num_qubits)
    np.testing.assert_allclose(ours, Statevector(circuit).data, atol=2e-6)


@pytest.mark.parametrize("load", BACKENDS, indirect=True)
@pytest.mark.parametrize("version", [2, 3])
def test_measure_and_reset_become_measurement_items(load, version):
    if version == 2:
        ops = ["x q[0];", "measure q[0] -> c[0];", "reset q[0];", "x q[1];", "measure q[1] -> c[1];"]
    else:
        ops = ["x q[0];", "c[0] = measure q[0];", "reset q[0];", "x q[1];", "c[1] = measure q[1];"]
    circuit = load("\n".join(header(version, 2, 2) + ops))
    state, record = circuit.run_with_measurements(2)
    assert record == [(0, 1), (1, 1)]
    assert abs(state[2]) == pytest.approx(1)


@pytest.mark.parametrize("load", BACKENDS, indirect=True)
@pytest.mark.parametrize("construct, lines", [
    ("if", ["c[0] = measure q[0];", "if (c[0]) {", "  x q[1];", "}"]),
    ("while", ["c[0] = measure q[0];", "while (c[0]) {", "  x q[0];", "  c[0] = measure q[0];", "}"]),
])
def test_classical_feedback_is_refused_with_its_line(load, construct, lines):
    text = "\n".join(header(3, 2, 1) + ["h q[0];"] + lines)
    with pytest.raises(ValueError, match=rf"line 7: '{construct}' needs classical feedback"):
        load(text)


@pytest.mark.skipif(not HAVE_QISKIT, reason="needs qiskit")
def test_input_parameters_give_a_circuit_spec_with_named_slots():
    from qiskit import qasm3
    from qiskit.quantum_info import Statevector

    text = "\n".join(header(3, 2) + ["input float theta;", "input float phi;", "h q[0];",
                                      "rx(2 * theta) q[0];", "cx q[0], q[1];", "ry(0.5 - phi) q[1];",
                                      "rz(theta + phi) q[1];"])
    # "rz(theta + phi)" depends on two parameters; the rest is affine in one.
    with pytest.raises(ValueError, match="depends on 2 parameters"):
        qasm.load_qasm(text)
    text = text.replace("rz(theta + phi)", "rz(theta + 1)")
    spec = qasm.load_qasm(text)
    circuit = qasm3.loads(text)
    assert spec.parameter_count == 2
    values = {"phi": 0.7, "theta": -0.4}  # slots in Qiskit's order: by name
    ours = spec.compile().statevector([values["phi"], values["theta"]])
    bound = circuit.assign_parameters({p: values[p.name] for p in circuit.parameters})
    np.testing.assert_allclose(ours, Statevector(bound).data, atol=2e-6)
