"""OpenQASM import: textbook circuits written here, in both dialects.

Without Qiskit the states are checked against their closed forms (up to a
global phase: the unrolling parser may drop one); with Qiskit installed they
are also compared, phase included, with Qiskit's Statevector of the same text.
"""

import math
import re

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
        monkeypatch.setattr(qasm, "_load_with_qiskit", lambda *args: None)
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


H2 = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'
H3 = 'OPENQASM 3.0;\ninclude "stdgates.inc";\n'


def prep(*qubits):
    """Rotations that leave no amplitude zero and no two equal, so that a
    wrongly paired or reordered gate shows."""
    return "".join(f"ry({0.3 + 0.4 * k}) {q};\nrz({0.2 + 0.3 * k}) {q};\n" for k, q in enumerate(qubits))


Q3 = prep("q[0]", "q[1]", "q[2]")
QR = prep("q[0]", "q[1]", "r[0]", "r[1]")
LIB = "// our own library\ngate twist(t) a, b {\n  cx a, b;\n  rz(t) b;\n  cx a, b;\n  h a;\n}\n"
# (dialect header, program, the same program written out gate by gate, qubits)
CASES = {
    "broadcast over two registers": (
        H3, "qubit[2] q;\nqubit[2] r;\nh q;\ncx q, r;\nfor int i in [0:1] { x q[i]; x q[i]; }",
        "qubit[2] q;\nqubit[2] r;\nh q[0];\nh q[1];\ncx q[0], r[0];\ncx q[1], r[1];", 4),
    "broadcast of a qubit and a register": (
        H3, "qubit[2] q;\nqubit[2] r;\n" + QR + "cx q, r;\nh q;\nswap q[0], r;\ncx r[1:-1:0], q;",
        "qubit[2] q;\nqubit[2] r;\n" + QR + "cx q[0], r[0];\ncx q[1], r[1];\nh q[0];\nh q[1];\n"
        "swap q[0], r[0];\nswap q[0], r[1];\ncx r[1], q[0];\ncx r[0], q[1];", 4),
    "concatenation and aliases": (
        H3, "qubit[2] q;\nqubit[2] r;\n" + QR + "let a = q ++ r;\ncx a[0], a[3];\nlet b = a[1:2];\n"
        "cx b[1], b[0];\nrx(0.4) b[0];\nlet c = r[0:1];\ncx c, q;\nh a;",
        "qubit[2] q;\nqubit[2] r;\n" + QR + "cx q[0], r[1];\ncx r[0], q[1];\nrx(0.4) q[1];\n"
        "cx r[0], q[0];\ncx r[1], q[1];\nh q[0];\nh q[1];\nh r[0];\nh r[1];", 4),
    "loops over ranges and sets": (
        H3, "qubit[3] q;\n" + Q3 + "for int i in [0:2] { ry(0.25 * (i + 1)) q[i]; }\n"
        "for int j in {2, 0} { h q[j]; }\nfor int k in [1:-1:0] { cx q[k], q[k + 1]; }",
        "qubit[3] q;\n" + Q3 + "ry(0.25) q[0];\nry(0.5) q[1];\nry(0.75) q[2];\nh q[2];\nh q[0];\n"
        "cx q[1], q[2];\ncx q[0], q[1];", 3),
    "gate modifiers": (
        H3, "qubit[3] q;\n" + Q3 + "gate rot(t) a { ry(t) a; rz(t / 2) a; }\ngate pair a, b { h a; cx a, b; }\n"
        "ctrl @ rot(0.7) q[0], q[1];\ninv @ pair q[1], q[2];\npow(2) @ rot(0.4) q[2];\n"
        "negctrl @ x q[0], q[2];\nctrl(2) @ x q[0], q[1], q[2];\ninv @ s q[1];",
        "qubit[3] q;\n" + Q3 + "cry(0.7) q[0], q[1];\ncrz(0.35) q[0], q[1];\ncx q[1], q[2];\nh q[1];\n"
        "ry(0.4) q[2];\nrz(0.2) q[2];\nry(0.4) q[2];\nrz(0.2) q[2];\nx q[0];\ncx q[0], q[2];\nx q[0];\n"
        "ccx q[0], q[1], q[2];\nsdg q[1];", 3),
    "include file": (
        H3, 'include "lib.inc";\nqubit[3] q;\n' + Q3 + "twist(0.9) q[2], q[0];\ninv @ twist(0.2) q[0], q[1];",
        "qubit[3] q;\n" + Q3 + "cx q[2], q[0];\nrz(0.9) q[0];\ncx q[2], q[0];\nh q[2];\n"
        "h q[0];\ncx q[0], q[1];\nrz(-0.2) q[1];\ncx q[0], q[1];", 3),
    "no version line": ("", 'include "stdgates.inc";\nqubit[2] q;\nh q[0];\ncx q[0], q[1];',
                        "qubit[2] q;\nh q[0];\ncx q[0], q[1];", 2),
    "a program's own phase": (
        H3, "gate phase(a) x { rx(a) x; }\nqubit[1] q;\n" + prep("q[0]") + "phase(0.7) q[0];",
        "qubit[1] q;\n" + prep("q[0]") + "rx(0.7) q[0];", 1),
    **{
        f"OpenQASM 2 program's own {name}": (
            H2, f"gate {name}{params} a, b {{ {body} }}\nqreg q[2];\n{prep('q[0]', 'q[1]')}{name}{args} q[0], q[1];",
            f"qreg q[2];\n{prep('q[0]', 'q[1]')}{flat}", 2)
        for name, params, body, args, flat in [
            ("sx", "", "h a; h b;", "", "h q[0];\nh q[1];"),
            ("rxx", "(t)", "rz(t) a; cx a, b;", "(0.3)", "rz(0.3) q[0];\ncx q[0], q[1];"),
            ("csx", "", "x b; h a;", "", "x q[1];\nh q[0];"),
            ("cu", "", "cx a, b; t b;", "", "cx q[0], q[1];\nt q[1];"),
        ]
    },
}


def reference(header, flat, n):
    """The written-out program's state: Qiskit's Statevector where Qiskit is
    installed, otherwise the import of the plainest text there is."""
    if not HAVE_QISKIT:
        return qasm.load_qasm(header + flat).run(n)
    from qiskit import qasm2, qasm3
    from qiskit.quantum_info import Statevector

    if header == H2:
        return Statevector(qasm2.loads(header + flat)).data
    return Statevector(qasm3.loads(H3 + flat)).data


@pytest.mark.parametrize("load", BACKENDS, indirect=True)
@pytest.mark.parametrize("case", sorted(CASES))
def test_programs_match_their_written_out_form(load, case, tmp_path):
    header, program, flat, n = CASES[case]
    (tmp_path / "lib.inc").write_text(LIB)
    ours = load(header + program, include_path=[tmp_path]).run(n)
    np.testing.assert_allclose(ours, reference(header, flat, n), atol=2e-6)


@pytest.mark.parametrize("load", BACKENDS, indirect=True)
def test_inverses_of_controlled_rotations_and_of_gates_holding_them(load):
    """pyqasm alone would run `inv @ cp(0.5)` as cp(0.5); the same state as
    the inverses written out, up to the global phase an unrolling parser may
    drop."""
    program = Q3 + (
        "gate rot2(a) x, y { h x; crz(a) x, y; ry(a / 2) y; }\n"
        "inv @ cp(0.5) q[0], q[1];\npow(-2) @ crx(0.3) q[1], q[2];\ninv @ cu(0.4, 0.5, 0.6, 0.7) q[2], q[0];\n"
        "inv @ rot2(0.8) q[0], q[2];\ninv @ sx q[1];\nctrl @ inv @ ry(0.3) q[2], q[0];"
    )
    flat = Q3 + (
        "cp(-0.5) q[0], q[1];\ncrx(-0.3) q[1], q[2];\ncrx(-0.3) q[1], q[2];\n"
        "cu(-0.4, -0.6, -0.5, -0.7) q[2], q[0];\nry(-0.4) q[2];\ncrz(-0.8) q[0], q[2];\nh q[0];\n"
        "sx q[1];\nsx q[1];\nsx q[1];\ncry(-0.3) q[2], q[0];"
    )
    ours = load(H3 + "qubit[3] q;\n" + program).run(3)
    expected = reference(H3, "qubit[3] q;\n" + flat, 3)
    assert same_up_to_phase(ours, np.asarray(expected, complex))


@pytest.mark.skipif(not (HAVE_QISKIT and HAVE_PYQASM), reason="needs qiskit and pyqasm")
def test_controlled_gates_through_pyqasm_match_qiskit(monkeypatch):
    """pyqasm controls few standard gates itself; the others, and gate
    definitions that hold them, are written out before it unrolls. The same
    state as Qiskit's importer, up to the global phase pyqasm may drop."""
    from qiskit import qasm3
    from qiskit.quantum_info import Statevector

    calls = [f"{m} @ {g} q[{c}], {t};" for m, (g, c, t) in zip(
        ["ctrl", "negctrl"] * 7,
        [("s", 0, "q[1]"), ("tdg", 1, "q[2]"), ("u1(0.3)", 2, "q[3]"), ("sx", 3, "q[0]"),
         ("U(0.4, -0.7, 1.3)", 0, "q[2]"), ("cz", 1, "q[3], q[0]"), ("cy", 2, "q[0], q[1]"),
         ("cp(0.9)", 3, "q[1], q[2]"), ("crx(-0.6)", 0, "q[3], q[1]"), ("cry(1.7)", 1, "q[0], q[3]"),
         ("crz(0.5)", 2, "q[1], q[0]"), ("id", 3, "q[2]"), ("t", 0, "q[3]"), ("sdg", 1, "q[0]")])]
    text = H3 + "qubit[4] q;\n" + prep("q[0]", "q[1]", "q[2]", "q[3]") + (
        "gate inner(a) x, y { t x; crz(a) x, y; s y; gphase(a); }\n"
        "gate outer(a, b) x, y, z { inner(a) x, y; cz y, z; U(a, b, 0.3) z; sx x; }\n"
        + "\n".join(calls) + "\nctrl @ outer(0.7, -0.2) q[3], q[0], q[1], q[2];\n"
        "negctrl @ inner(1.1) q[2], q[1], q[0];\ninv @ ctrl @ outer(0.1, 0.5) q[1], q[2], q[3], q[0];\n"
        "ctrl @ pow(2) @ t q[0], q[3];"
    )
    monkeypatch.setattr(qasm, "_load_with_qiskit", lambda *args: None)
    ours = qasm.load_qasm(text).run(4)
    assert same_up_to_phase(ours, Statevector(qasm3.loads(text)).data)


@pytest.mark.parametrize("load", BACKENDS, indirect=True)
def test_stdgates_phase_and_cphase_are_p_and_cp(load):
    """stdgates.inc's other names for p and cp (which pyqasm lacks), in a
    loop and in a definition too: the same state as the short names, up to
    the global phase an unrolling parser may drop."""
    body = prep("q[0]", "q[1]") + "gate g(a) x { {p}(a) x; }\n{p}(0.7) q[0];\n"
    body += "for int i in [0:1] { {cp}(0.3) q[0], q[1]; }\ng(0.2) q[1];"
    text = H3 + "qubit[2] q;\n" + body
    long = load(text.replace("{p}", "phase").replace("{cp}", "cphase")).run(2)
    short = qasm.load_qasm(text.replace("{p}", "p").replace("{cp}", "cp")).run(2)
    assert same_up_to_phase(long, short.astype(complex), atol=2e-6)

def test_a_file_includes_from_its_own_folder_and_text_from_no_folder(tmp_path, monkeypatch):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "lib.inc").write_text(LIB)
    header, program, flat, n = CASES["include file"]
    (tmp_path / "main.qasm").write_text(header + program.replace("lib.inc", "sub/lib.inc"))
    np.testing.assert_allclose(qasm.load_qasm(tmp_path / "main.qasm").run(n), reference(header, flat, n), atol=2e-6)
    monkeypatch.chdir(tmp_path / "sub")
    with pytest.raises(ValueError, match="line 3: include 'lib.inc' is not a standard library"):
        qasm.load_qasm(header + program)


SECRET = "SECRET_WORD"


@pytest.mark.parametrize("load", BACKENDS, indirect=True)
@pytest.mark.parametrize("header", [H2, H3])
@pytest.mark.parametrize("name, match", [
    ("{outside}", "must be a relative path"),
    ("../outside.inc", "must be a relative path"),
    ("inner/../../outside.inc", "must be a relative path"),
    ("escape.inc", "was not found in the include path"),  # a link out of the folder
    ("missing.inc", "was not found in the include path"),
])
def test_includes_reach_no_file_outside_the_include_path(load, header, name, match, tmp_path):
    outside = tmp_path / "outside.inc"
    outside.write_text(f"{SECRET} x;\n")
    folder = tmp_path / "lib"
    folder.mkdir()
    (folder / "escape.inc").symlink_to(outside)
    name = name.format(outside=outside)
    with pytest.raises(ValueError, match=f"line 3: include '{re.escape(name)}' .*{match}") as error:
        load(header + f'include "{name}";\n' + ("qreg q[1];" if header == H2 else "qubit[1] q;"),
             include_path=[folder])
    assert SECRET not in str(error.value)


MEASURED = H3 + "qubit[2] q;\nbit[2] c;\nx q[0];\nc[0] = measure q[0];\n"


@pytest.mark.parametrize("load", BACKENDS, indirect=True)
@pytest.mark.parametrize("text, match", [
    (MEASURED + "rx(pi * float(c[0])) q[1];", "line 7: gate 'rx' depends on 'c', which holds a measured value"),
    (MEASURED + "int k = c[0];\nfor int i in [0:k] { x q[1]; }", "line 8: a 'for' loop depends on 'k'"),
    (MEASURED + "x q[int(c[0])];", "line 7: gate 'x' depends on 'c'"),
    (MEASURED + "bit b = c[0];\nfloat t = 2 * b;\nreset q[int(t)];", "line 9: 'reset' depends on 't'"),
    (H3 + 'defcalgrammar "openpulse";\ncal { }\nqubit q;', "line 3: pulse-level calibration"),
    (H3 + "qubit[100000000] q;\nh q[0];", r"line 3: the program declares 100000000 qubits, more than max_qubits=31"),
    (H2 + "qreg q[20];\nqreg r[12];", "line 4: the program declares 32 qubits, more than max_qubits=31"),
    (H3 + "qubit q;\nbit[1000000000] c;", "line 4: .* classical values, more than max_operations=10000000"),
    (H3 + "qubit q;\nfor uint i in [0:10**9] { }", "line 4: .* more than max_loop_iterations=1000000"),
    (H3 + "qubit q;\ngate g0 a { x a; x a; }\n" + "".join(f"gate g{k} a {{ g{k - 1} a; g{k - 1} a; }}\n"
                                                         for k in range(1, 40)) + "g39 q;",
     "line 44: the program unrolls to more than max_operations=10000000 operations"),
    (H2 + "qreg q[1];\ncreg c[1000000000];", "line 4: .* classical values, more than max_operations=10000000"),
    (H2 + "qreg q[1];\ngate g0 a { x a; x a; }\n" + "".join(f"gate g{k} a {{ g{k - 1} a; g{k - 1} a; }}\n"
                                                            for k in range(1, 40)) + "g39 q[0];",
     "line 44: the program unrolls to more than max_operations=10000000 operations"),
    (H3 + "qubit q;\ngate g0 a { x a; }\n" + "".join(f"gate g{k} a {{ g{k - 1} a; }}\n" for k in range(1, 70)),
     "line 68: gate 'g64' nests gate definitions 65 deep, more than max_gate_nesting=64"),
    (H3 + "qubit q;\n" + "/*a" * 30000, "line 4: comment '/\\*' is never closed"),  # 90 KB, many starts
])
def test_refused_programs_say_what_and_where(load, text, match):
    with pytest.raises(ValueError, match=match):
        load(text)


@pytest.mark.skipif(not HAVE_PYQASM, reason="needs pyqasm")
@pytest.mark.parametrize("text, match", [
    (H3 + "qubit q;\nrx(1 / 0) q;", "line 4: division by zero"),
    (H3 + "qubit[2] q;\nint a = 0;\nrx(1 / a) q[0];", "line 5: division by zero"),
    (H3 + "qubit[2] q;\nx q[5];", "line 4: Index 5 out of range"),
    (H3 + "qubit q;\nfoo q;", "line 4: .*foo"),
    (H3 + "qubit[2] q;\nint i = 0;\nx q[i + 1.5];", "line 5: pyqasm cannot unroll this statement"),
    (H3 + "qubit[2] q;\nqubit[1] r;\ncx q, r;", "line 5: gate 'cx' is broadcast over registers of different sizes"),
    (H3 + "qubit[2] q;\nqubit r;\nlet a = q ++ r;\nfor int i in [0:2] { x a[i]; }", "line 6: alias 'a'"),
    (H3 + "qubit[2] q;\nfor int i in [0:1] { pow(i) @ crx(0.3) q[0], q[1]; }",
     "line 4: the power of gate 'crx' must be a constant, known before the program is unrolled"),
])
def test_pyqasm_failures_become_errors_with_the_line(monkeypatch, text, match):
    monkeypatch.setattr(qasm, "_load_with_qiskit", lambda *args: None)
    with pytest.raises(ValueError, match=match):
        qasm.load_qasm(text)


HUGE = "9" * 400  # an integer beyond any float


@pytest.mark.parametrize("load", BACKENDS, indirect=True)
@pytest.mark.parametrize("body", [
    f"gate g a, b {{ pow(-{HUGE}) @ crx(0.1) a, b; }}",
    f"rx({HUGE}) q[0];",
    f"cp(-{HUGE}) q[0], q[1];",
])
def test_integers_beyond_any_float_give_a_circuit_or_a_value_error(load, body):
    try:
        load(H3 + "qubit[2] q;\n" + body)
    except ValueError:
        pass


@pytest.mark.parametrize("option, value, text", [
    ("max_qubits", 2, "qubit[3] q;"),
    ("max_operations", 5, "qubit[3] q;\nh q;\nh q;"),
    ("max_gate_nesting", 2, "qubit q;\ngate a0 r { x r; }\ngate a1 r { a0 r; }\ngate a2 r { a1 r; }\na2 q;"),
    ("max_loop_iterations", 14, "qubit q;\nfor int i in [0:4] { for int j in [0:1] { x q; } }"),
])
def test_every_limit_is_the_callers_to_set(option, value, text):
    qasm.load_qasm(H3 + text, **{option: value + 1})
    with pytest.raises(ValueError, match=f"{option}={value}"):
        qasm.load_qasm(H3 + text, **{option: value})


@pytest.mark.skipif(not HAVE_QISKIT, reason="needs qiskit")
def test_a_huge_integer_angle_factor_is_refused_before_it_is_built():
    with pytest.raises(ValueError, match="more than max_operations=10000000"):
        qasm.load_qasm(H3 + "input float theta;\nqubit q;\nrx(1e300 * theta) q;")
