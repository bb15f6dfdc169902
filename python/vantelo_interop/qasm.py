"""OpenQASM 2 and 3 import.

`load_qasm(text_or_path)` returns a `vantelo.Circuit`, or a
`vantelo.CircuitSpec` for an OpenQASM 3 program with ``input float``
parameters. Parsing is left to maintained parsers: Qiskit's importers
(`qiskit.qasm2`, and `qiskit.qasm3` with ``qiskit-qasm3-import``) when Qiskit
is installed, otherwise (or for what Qiskit's OpenQASM 3 importer cannot
read) ``pyqasm``, which parses both versions and unrolls
every gate definition down to the standard gates (``pip install
"vantelo[qasm]"``). Neither is imported before the first call.
"""

from __future__ import annotations

import inspect
import math
import os
import re
from pathlib import Path
from typing import Any, Callable, Union

import numpy as np

import vantelo
from vantelo import Gate

from ._program import Barrier, Measure, Program, Reset, UnsupportedConstruct, to_circuit, to_spec

_VERSION = re.compile(r"^\s*OPENQASM\s+(\d+)", re.MULTILINE)
_INPUT = re.compile(r"^\s*input\s+(float|angle)\b", re.MULTILINE)
# Constructs that need classical feedback within a shot, by keyword.
_FEEDBACK = re.compile(r"(?:^|[\s;{}])(if|while|switch)\s*\(")


def load_qasm(text_or_path: Union[str, os.PathLike[str]]) -> Union[vantelo.Circuit, vantelo.CircuitSpec]:
    """Loads OpenQASM 2 or 3 source text, or a file holding it.

    A string that contains a newline or a semicolon is taken as source;
    anything else names a file (``include`` is resolved next to it).
    Measurements and resets become vantelo measurement items; classical
    feedback (``if``, ``while``, ``switch``) raises `UnsupportedConstruct`
    naming the construct and its line.
    """
    text, folder = _read(text_or_path)
    program = _load_with_qiskit(text, folder)
    if program is None:
        program = _load_with_pyqasm(text)
    return to_spec(program) if program.parameters else to_circuit(program)


def _read(text_or_path: Union[str, os.PathLike[str]]) -> tuple[str, str | None]:
    if isinstance(text_or_path, str) and ("\n" in text_or_path or ";" in text_or_path):
        return text_or_path, None
    path = Path(text_or_path)
    return path.read_text(encoding="utf-8"), str(path.resolve().parent)


def _version(text: str) -> int:
    match = _VERSION.search(_strip_comments(text))
    return int(match.group(1)) if match else 3


def _strip_comments(text: str) -> str:
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.DOTALL)
    return re.sub(r"//[^\n]*", "", text)


def _feedback_error(text: str, detail: str = "") -> UnsupportedConstruct:
    """The error for classical feedback, with the line of its first use."""
    for number, line in enumerate(_strip_comments(text).splitlines(), start=1):
        match = _FEEDBACK.search(line)
        if match:
            return UnsupportedConstruct(
                f"line {number}: '{match.group(1)}' needs classical feedback within a shot, "
                "which vantelo cannot express"
            )
    return UnsupportedConstruct(detail or "the program uses classical feedback, which vantelo cannot express")


def _load_with_qiskit(text: str, folder: str | None) -> Program | None:
    try:
        import qiskit  # noqa: F401
    except ImportError:
        return None
    from .qiskit._translate import translate

    if _version(text) == 2:
        from qiskit import qasm2

        include_path = (folder,) if folder else (".",)
        circuit = qasm2.loads(
            text, include_path=include_path, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS
        )
    else:
        try:
            import qiskit_qasm3_import  # noqa: F401
        except ImportError:
            return None
        from qiskit import qasm3

        try:
            circuit = qasm3.loads(text)
        except Exception:
            # Qiskit's importer lacks some of the language (a loop variable
            # as a qubit index, for one); pyqasm may unroll what it cannot.
            if _INPUT.search(_strip_comments(text)) or not _have_pyqasm():
                raise
            return None
    try:
        return translate(circuit)
    except UnsupportedConstruct as error:
        if "classical feedback" in str(error):
            raise _feedback_error(text, str(error)) from None
        raise


def _have_pyqasm() -> bool:
    try:
        import pyqasm  # noqa: F401
    except ImportError:
        return False
    return True


def _load_with_pyqasm(text: str) -> Program:
    try:
        import pyqasm
        from openqasm3 import ast
    except ImportError as error:
        raise ImportError(
            "OpenQASM import needs Qiskit or pyqasm: pip install 'vantelo[qasm]'"
        ) from error
    if _INPUT.search(_strip_comments(text)):
        raise UnsupportedConstruct(
            "OpenQASM 3 'input' parameters need Qiskit's importer: pip install 'vantelo[qiskit]'"
        )
    if _FEEDBACK.search(_strip_comments(text)):
        raise _feedback_error(text)
    module = _pyqasm_loads(pyqasm, text)
    module.unroll()
    return _PyqasmWalker(ast).walk(module.unrolled_ast.statements)


def _pyqasm_loads(pyqasm: Any, text: str) -> Any:
    """pyqasm's module for the program. From release 1.0.2 the openqasm3
    parser that pyqasm calls refuses programs that declare version 2, while
    pyqasm still reads a tree that says 2.0 as OpenQASM 2: such programs are
    parsed here with the parser's version check off, and its errors reported
    as pyqasm reports them."""
    import openqasm3

    if _version(text) != 2 or "ignore_version" not in inspect.signature(openqasm3.parse).parameters:
        return pyqasm.loads(text)
    try:
        tree = openqasm3.parse(text, ignore_version=True)
    except Exception as error:
        raise pyqasm.exceptions.ValidationError(f"Failed to parse OpenQASM string: {error}") from error
    return pyqasm.loads(tree)


_PYQASM_FIXED: dict[str, Callable[..., Gate]] = {
    "id": Gate.i, "i": Gate.i, "x": Gate.x, "y": Gate.y, "z": Gate.z, "h": Gate.h,
    "s": Gate.s, "sdg": Gate.sdg, "t": Gate.t, "tdg": Gate.tdg,
    "cx": Gate.cx, "cnot": Gate.cx, "CX": Gate.cx, "cy": Gate.cy, "cz": Gate.cz, "ch": Gate.ch,
    "swap": Gate.swap, "iswap": Gate.iswap, "ccx": Gate.ccx, "cswap": Gate.cswap,
    "rx": Gate.rx, "ry": Gate.ry, "rz": Gate.rz, "p": Gate.p, "phase": Gate.p, "u1": Gate.p,
    "u": Gate.u, "U": Gate.u, "u3": Gate.u,
    "crx": Gate.crx, "cry": Gate.cry, "crz": Gate.crz, "cp": Gate.cp, "cphase": Gate.cp, "cu1": Gate.cp,
    "cu": Gate.cu, "cu3": Gate.cu,
}
_SX = np.array([[0.5 + 0.5j, 0.5 - 0.5j], [0.5 - 0.5j, 0.5 + 0.5j]], dtype=np.complex64)
_PYQASM_MATRIX = {"sx": _SX, "sxdg": _SX.conj().T.copy()}


class _PyqasmWalker:
    """Turns pyqasm's unrolled syntax tree into a Program."""

    def __init__(self, ast: Any) -> None:
        self.ast = ast
        self.qubit_offset: dict[str, int] = {}
        self.clbit_offset: dict[str, int] = {}
        self.program = Program(num_qubits=0)

    def walk(self, statements: Any) -> Program:
        ast, program = self.ast, self.program
        for st in statements:
            if isinstance(st, ast.QubitDeclaration):
                size = 1 if st.size is None else self.number(st.size)
                self.qubit_offset[st.qubit.name] = program.num_qubits
                program.num_qubits += int(size)
            elif isinstance(st, ast.ClassicalDeclaration) and isinstance(st.type, ast.BitType):
                size = 1 if st.type.size is None else int(self.number(st.type.size))
                self.clbit_offset[st.identifier.name] = program.num_clbits
                program.registers.append(
                    (st.identifier.name, list(range(program.num_clbits, program.num_clbits + size)))
                )
                program.num_clbits += size
            elif isinstance(st, ast.QuantumGate):
                self.gate(st)
            elif isinstance(st, ast.QuantumMeasurementStatement):
                qubit = self.bit(st.measure.qubit, self.qubit_offset)
                if st.target is None:
                    raise UnsupportedConstruct("a measurement without a classical target is not supported")
                program.steps.append(Measure(qubit, self.bit(st.target, self.clbit_offset)))
            elif isinstance(st, ast.QuantumReset):
                program.steps.append(Reset(self.bit(st.qubits, self.qubit_offset)))
            elif isinstance(st, ast.QuantumBarrier):
                program.steps.append(Barrier())
            elif isinstance(st, ast.QuantumPhase):
                program.global_phase += self.number(st.argument)
            elif isinstance(st, (ast.Include, ast.ClassicalDeclaration, ast.ConstantDeclaration)):
                continue
            else:
                raise UnsupportedConstruct(f"OpenQASM statement '{type(st).__name__}' is not supported")
        return program

    def gate(self, st: Any) -> None:
        name = st.name.name
        if st.modifiers:
            raise UnsupportedConstruct(f"gate modifiers on '{name}' were not unrolled")
        qubits = [self.bit(q, self.qubit_offset) for q in st.qubits]
        args = [self.number(a) for a in st.arguments]
        if name in _PYQASM_MATRIX:
            self.program.steps.append(Gate.unitary(qubits, _PYQASM_MATRIX[name]))
        elif name in _PYQASM_FIXED:
            self.program.steps.append(_PYQASM_FIXED[name](*qubits, *args))
        else:
            raise UnsupportedConstruct(f"gate '{name}' is not supported")

    def bit(self, ref: Any, offsets: dict[str, int]) -> int:
        ast = self.ast
        if isinstance(ref, ast.IndexedIdentifier):
            (index,) = ref.indices[0]
            return offsets[ref.name.name] + int(self.number(index))
        return offsets[ref.name]

    def number(self, expr: Any) -> float:
        """Evaluates the constant expressions pyqasm leaves after unrolling."""
        ast = self.ast
        if isinstance(expr, (ast.IntegerLiteral, ast.FloatLiteral)):
            value: float = expr.value
            return value
        if isinstance(expr, ast.Identifier) and expr.name in ("pi", "π"):
            return math.pi
        if isinstance(expr, ast.UnaryExpression) and expr.op.name == "-":
            return -self.number(expr.expression)
        if isinstance(expr, ast.BinaryExpression):
            a, b = self.number(expr.lhs), self.number(expr.rhs)
            ops = {"+": a + b, "-": a - b, "*": a * b}
            if expr.op.name in ops:
                return ops[expr.op.name]
            if expr.op.name == "/":
                return a / b
        raise UnsupportedConstruct(f"expression {expr!r} is not a constant")
