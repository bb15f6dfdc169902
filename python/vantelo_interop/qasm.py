"""OpenQASM 2 and 3 import.

`load_qasm(text_or_path)` returns a `vantelo.Circuit`, or a
`vantelo.CircuitSpec` for an OpenQASM 3 program with ``input float``
parameters. Parsing is left to maintained parsers: Qiskit's importers
(`qiskit.qasm2`, and `qiskit.qasm3` with ``qiskit-qasm3-import``) when Qiskit
is installed, otherwise (or for what Qiskit's OpenQASM 3 importer cannot
read) ``pyqasm``, which parses both versions and unrolls
every gate definition down to the standard gates (``pip install
"vantelo[qasm]"``). Neither is imported before the first call.

Before either importer runs, the text is read here: includes are resolved
against the caller's folders only, and the syntax tree (``openqasm3``, a
dependency of both) is checked against the size limits and for values that
depend on measurements.
"""

from __future__ import annotations

import logging
import math
import os
import re
import types
from pathlib import Path
from typing import Any, Callable, Iterable, Union

import numpy as np

import vantelo
from vantelo import Gate

from ._program import Barrier, Measure, Program, Reset, UnsupportedConstruct, to_circuit, to_spec
from ._qasm_check import Limits, check, check_qasm2, line_of
from ._qasm_controls import controls_written_out
from ._qasm_inverse import inverses_written_out
from ._qasm_text import inline_includes, strip_comments, version

_INPUT = re.compile(r"^\s*input\s+(float|angle)\b", re.MULTILINE)
# Constructs that need classical feedback within a shot, by keyword.
_FEEDBACK = re.compile(r"(?:^|[\s;{}])(if|while|switch)\s*\(")
_OPAQUE = re.compile(r"\bopaque\b[^;]*;")
_CALIBRATION = re.compile(r"\b(defcalgrammar|defcal|cal)\b")


def load_qasm(
    text_or_path: Union[str, os.PathLike[str]],
    *,
    include_path: Iterable[Union[str, os.PathLike[str]]] = (),
    max_qubits: int = 31,
    max_operations: int = 10_000_000,
    max_gate_nesting: int = 64,
    max_loop_iterations: int = 1_000_000,
) -> Union[vantelo.Circuit, vantelo.CircuitSpec]:
    """Loads OpenQASM 2 or 3 source text, or a file holding it.

    A string that contains a newline or a semicolon is taken as source;
    anything else names a file. ``include`` names the standard libraries
    (``qelib1.inc``, ``stdgates.inc``) or a relative path inside a folder of
    ``include_path`` (for a file, its own folder is searched first); source
    text reads no other file. Measurements and resets become vantelo
    measurement items; classical feedback (``if``, ``while``, ``switch``) and
    values computed from measurements raise `UnsupportedConstruct` naming the
    construct and its line. A program that declares more than ``max_qubits``
    qubits, unrolls to more than ``max_operations`` operations (classical
    values declared count too), nests gate definitions deeper than
    ``max_gate_nesting`` or runs more than ``max_loop_iterations`` loop
    iterations raises `ValueError` naming the limit, before it is expanded.
    """
    try:
        return _load(text_or_path, include_path,
                     Limits(max_qubits, max_operations, max_gate_nesting, max_loop_iterations))
    except RecursionError:
        raise ValueError("the program nests expressions or blocks too deeply to be read") from None


def _load(
    text_or_path: Union[str, os.PathLike[str]],
    include_path: Iterable[Union[str, os.PathLike[str]]],
    limits: Limits,
) -> Union[vantelo.Circuit, vantelo.CircuitSpec]:
    text, folder = _read(text_or_path)
    folders = ([folder] if folder else []) + [os.fspath(p) for p in include_path]
    source = inline_includes(strip_comments(text), folders)
    major = version(source)
    if _FEEDBACK.search(source):
        raise _feedback_error(source)
    if major == 2:
        # Qiskit's OpenQASM 2 parser is fast; a syntax tree is built only
        # for pyqasm, which needs one.
        program = _load_with_qiskit(source, check_qasm2(source, limits))
        tree, pyqasm_refusal = None, None
    else:
        tree, pyqasm_refusal = check(_parse(source, major), limits)
        program = _load_with_qiskit(source, _defined_gates(tree), tree)
    if program is None:
        if tree is None:
            tree, pyqasm_refusal = check(_parse(source, major), limits)
        if pyqasm_refusal is not None:
            raise pyqasm_refusal
        program = _load_with_pyqasm(tree, source, limits.max_loop_iterations)
    return to_spec(program, max_operations=limits.max_operations) if program.parameters else to_circuit(program)


def _read(text_or_path: Union[str, os.PathLike[str]]) -> tuple[str, str | None]:
    if isinstance(text_or_path, str) and ("\n" in text_or_path or ";" in text_or_path):
        return text_or_path, None
    path = Path(text_or_path)
    return path.read_text(encoding="utf-8"), str(path.resolve().parent)


def _parse(source: str, major: int) -> Any:
    """The syntax tree of comment-free source, errors as `ValueError`."""
    try:
        import openqasm3
    except ImportError as error:
        raise ImportError(
            "OpenQASM import needs Qiskit or pyqasm: pip install 'vantelo[qasm]'"
        ) from error
    if major == 2:
        # openqasm3 has no 'opaque'; such a gate declares nothing the limits count.
        source = _OPAQUE.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), source)
    try:
        tree = openqasm3.parse(source, ignore_version=True) if major == 2 else openqasm3.parse(source)
    except ImportError:
        match = _CALIBRATION.search(source)
        where = f"line {source.count(chr(10), 0, match.start()) + 1}: " if match else ""
        raise UnsupportedConstruct(
            f"{where}pulse-level calibration ('defcalgrammar', 'cal', 'defcal') is not supported"
        ) from None
    except Exception as error:
        line = _parse_error_line(error)
        at = f"line {line}: " if line is not None else ""
        raise ValueError(f"{at}the program is not valid OpenQASM {major}: {error}") from None
    if tree.version is None:
        tree.version = "3.0"
    return tree


def _parse_error_line(error: BaseException) -> int | None:
    """The line of a syntax error: the parser gives it on the error, or on
    the token its bail-out strategy stopped at."""
    line = getattr(error, "line", None)
    cause = error.__cause__
    while line is None and cause is not None:
        for candidate in (cause, *cause.args):
            token = getattr(candidate, "offendingToken", None)
            line = line or getattr(token, "line", None)
        cause = cause.__cause__
    return line if isinstance(line, int) else None


def _defined_gates(tree: Any) -> set[str]:
    return {st.name.name for st in tree.statements if type(st).__name__ == "QuantumGateDefinition"}


def _feedback_error(text: str, detail: str = "") -> UnsupportedConstruct:
    """The error for classical feedback, with the line of its first use."""
    for number, line in enumerate(strip_comments(text).splitlines(), start=1):
        match = _FEEDBACK.search(line)
        if match:
            return UnsupportedConstruct(
                f"line {number}: '{match.group(1)}' needs classical feedback within a shot, "
                "which vantelo cannot express"
            )
    return UnsupportedConstruct(detail or "the program uses classical feedback, which vantelo cannot express")


def _load_with_qiskit(text: str, defined: set[str], tree: Any = None) -> Program | None:
    try:
        import qiskit  # noqa: F401
    except ImportError:
        return None
    from .qiskit._translate import translate

    if version(text) == 2:
        from qiskit import qasm2

        # OpenQASM 2 is qelib1.inc plus the program's own definitions: a gate
        # the program defines keeps its definition even where Qiskit knows
        # one of the same name.
        custom = [c for c in qasm2.LEGACY_CUSTOM_INSTRUCTIONS if c.name not in defined]
        circuit = qasm2.loads(text, include_path=(), custom_instructions=custom)
    else:
        try:
            import qiskit_qasm3_import
        except ImportError:
            return None
        from qiskit import qasm3

        try:
            # The checked tree, with no second parse (the Python parser is slow).
            convert = getattr(qiskit_qasm3_import, "convert", None)
            circuit = convert(tree) if convert is not None and tree is not None else qasm3.loads(text)
        except Exception:
            # Qiskit's importer lacks some of the language (a loop variable
            # as a qubit index, for one); pyqasm may unroll what it cannot.
            if _INPUT.search(text) or not _have_pyqasm():
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


def _load_with_pyqasm(tree: Any, text: str, max_loop_iterations: int) -> Program:
    try:
        import pyqasm
        from openqasm3 import ast
    except ImportError as error:
        raise ImportError(
            "OpenQASM import needs Qiskit or pyqasm: pip install 'vantelo[qasm]'"
        ) from error
    if _INPUT.search(text):
        raise UnsupportedConstruct(
            "OpenQASM 3 'input' parameters need Qiskit's importer: pip install 'vantelo[qiskit]'"
        )
    _stdgates_aliases(tree, ast)
    inverses_written_out(tree, ast)
    controls_written_out(tree, ast)
    # pyqasm logs each error before raising it; the error we raise says it all.
    logger = logging.getLogger("pyqasm")
    level = logger.level
    logger.setLevel(logging.CRITICAL)
    try:
        module = pyqasm.loads(tree)
        module.unroll(max_loop_iters=max_loop_iterations)
        statements = module.unrolled_ast.statements
    except UnsupportedConstruct:
        raise
    except Exception as error:
        raise _pyqasm_error(error, ast) from None
    finally:
        logger.setLevel(level)
    return _PyqasmWalker(ast).walk(statements)


# stdgates.inc names two gates twice: phase is p and cphase is cp. pyqasm
# knows only the short names.
_ALIASES = {"phase": "p", "cphase": "cp"}


def _stdgates_aliases(tree: Any, ast: Any) -> None:
    """Renames calls of stdgates.inc's `phase` and `cphase` to `p` and `cp`
    in place, in a program that includes stdgates.inc and defines none of
    these names itself."""
    from openqasm3.visitor import QASMVisitor

    statements = tree.statements
    if not any(isinstance(s, ast.Include) and s.filename == "stdgates.inc" for s in statements):
        return
    defined = {s.name.name for s in statements if isinstance(s, ast.QuantumGateDefinition)}
    renames = {old: new for old, new in _ALIASES.items() if old not in defined and new not in defined}

    class Rename(QASMVisitor[None]):  # type: ignore[misc, unused-ignore]
        def visit_QuantumGate(self, node: Any, context: None = None) -> None:
            node.name.name = renames.get(node.name.name, node.name.name)
            self.generic_visit(node, context)

    if renames:
        Rename().visit(tree)


def _pyqasm_error(error: Exception, ast: Any) -> ValueError:
    """pyqasm's failure as our error, with the line of the statement it was
    working on (found in the frames it raised through)."""
    line = _failing_line(error.__traceback__, ast)
    at = f"line {line}: " if line is not None else ""
    if isinstance(error, ZeroDivisionError):
        return ValueError(f"{at}division by zero")
    if type(error).__module__.startswith(("pyqasm", "openqasm3")):
        return ValueError(f"{at}{error}")
    return UnsupportedConstruct(f"{at}pyqasm cannot unroll this statement ({type(error).__name__}: {error})")


def _failing_line(tb: types.TracebackType | None, ast: Any) -> int | None:
    frames = []
    while tb is not None:
        frames.append(tb.tb_frame)
        tb = tb.tb_next
    for frame in reversed(frames):
        for value in frame.f_locals.values():
            if isinstance(value, ast.QASMNode) or type(value).__name__ == "Span":
                line = getattr(value, "start_line", None) or line_of(value)
                if line is not None:
                    return int(line)
    return None


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
        for st in statements:
            try:
                self.statement(st)
            except UnsupportedConstruct:
                raise
            except (ArithmeticError, LookupError, TypeError, AttributeError, ValueError) as error:
                line = line_of(st)
                at = f"line {line}: " if line is not None else ""
                detail = "division by zero" if isinstance(error, ZeroDivisionError) else (
                    f"{type(error).__name__}: {error}")
                raise UnsupportedConstruct(f"{at}cannot translate the unrolled statement ({detail})") from None
        return self.program

    def statement(self, st: Any) -> None:
        ast, program = self.ast, self.program
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
        elif isinstance(st, ast.Box):
            for inner in st.body:
                self.statement(inner)
        elif isinstance(st, (ast.Include, ast.ClassicalDeclaration, ast.ConstantDeclaration,
                             ast.DelayInstruction)):
            pass  # an ideal simulation idles without cost
        else:
            raise UnsupportedConstruct(f"OpenQASM statement '{type(st).__name__}' is not supported")

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
