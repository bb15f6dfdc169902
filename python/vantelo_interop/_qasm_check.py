"""What an OpenQASM program will cost, found on its syntax tree before any
importer expands it.

The importers unroll loops, gate definitions and broadcasts eagerly, so a
program of a few lines can ask for unbounded memory or time. `check` walks
the unexpanded tree once and computes upper bounds (qubits, classical bits,
unrolled operations, loop iterations, nesting of gate definitions), refusing
a program that passes a limit before anything is built. On the way it
refuses what depends on a measured value (the importers would fold it to a
constant) and writes register broadcasts of multi-qubit gates out one index
at a time, which pyqasm pairs wrongly.
"""

from __future__ import annotations

import copy
import dataclasses
import math
import re
from dataclasses import dataclass
from typing import Any, Iterator

from ._program import UnsupportedConstruct


@dataclass(frozen=True)
class Limits:
    max_qubits: int = 31
    max_operations: int = 10_000_000
    max_gate_nesting: int = 64
    max_loop_iterations: int = 1_000_000

    def __post_init__(self) -> None:
        for name in ("max_qubits", "max_operations", "max_gate_nesting", "max_loop_iterations"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < 0:
                raise ValueError(f"{name} must be a non-negative integer, not {value!r}")


_HUGE = 1 << 256  # integer constants beyond this stand for "too large"
_CONSTANTS = {"pi": math.pi, "π": math.pi, "tau": math.tau, "τ": math.tau, "euler": math.e, "ℇ": math.e}


def line_of(node: Any) -> int | None:
    span = getattr(node, "span", None)
    return getattr(span, "start_line", None)


def _at(node: Any) -> str:
    line = line_of(node)
    return f"line {line}: " if line is not None else ""


def _names(node: Any) -> Iterator[str]:
    """Every identifier an expression (or any part of a statement) reads."""
    from openqasm3 import ast

    if isinstance(node, ast.Identifier):
        yield node.name
    elif isinstance(node, list):
        for item in node:
            yield from _names(item)
    elif dataclasses.is_dataclass(node) and not isinstance(node, type):
        for field in dataclasses.fields(node):
            if field.name != "span":
                yield from _names(getattr(node, field.name))


def _nodes(node: Any) -> Iterator[Any]:
    yield node
    if isinstance(node, list):
        for item in node:
            yield from _nodes(item)
    elif dataclasses.is_dataclass(node) and not isinstance(node, type):
        for field in dataclasses.fields(node):
            if field.name != "span":
                yield from _nodes(getattr(node, field.name))


@dataclass
class _Cost:
    operations: int = 0
    iterations: int = 0


class _Checker:
    def __init__(self, limits: Limits) -> None:
        from openqasm3 import ast

        self.ast = ast
        self.limits = limits
        self.values: dict[str, float] = {}
        self.registers: dict[str, int] = {}  # qubit registers and aliases: size
        self.measured: set[str] = set()
        self.gates: dict[str, tuple[int, int]] = {}  # user gate: (operations, nesting)
        self.subroutines: dict[str, int] = {}
        self.declared: set[str] = set()  # qubit registers, not aliases
        self.unsized: set[str] = set()  # qubits declared without a size
        self.aliases: dict[str, list[Any]] = {}  # aliases known before unrolling: their qubits
        self.dropped: set[str] = set()  # aliases pyqasm cannot read, written out here
        self.pyqasm_refusal: UnsupportedConstruct | None = None
        self.qubits = 0
        self.clbits = 0
        self.cost = _Cost()

    # Values -----------------------------------------------------------------

    def value(self, expr: Any) -> float | None:
        """The value of a constant expression, or None when it is not known
        before the program runs."""
        ast = self.ast
        if isinstance(expr, ast.IntegerLiteral) and abs(expr.value) > _HUGE:
            return math.inf if expr.value > 0 else -math.inf
        if isinstance(expr, (ast.IntegerLiteral, ast.FloatLiteral, ast.BooleanLiteral)):
            return expr.value  # type: ignore[no-any-return]
        if isinstance(expr, ast.Identifier):
            return self.values.get(expr.name, _CONSTANTS.get(expr.name))
        if isinstance(expr, ast.Cast):
            return self.value(expr.argument)
        if isinstance(expr, ast.UnaryExpression):
            inner = self.value(expr.expression)
            return None if inner is None or expr.op.name != "-" else -inner
        if isinstance(expr, ast.BinaryExpression):
            a, b = self.value(expr.lhs), self.value(expr.rhs)
            if a is None or b is None:
                return None
            return _binary(expr.op.name, a, b)
        return None

    def count(self, expr: Any) -> int | None:
        """How many values a range, set or register expression has."""
        ast = self.ast
        if isinstance(expr, ast.DiscreteSet):
            return len(expr.values)
        if isinstance(expr, ast.RangeDefinition):
            start = 0 if expr.start is None else self.value(expr.start)
            end = self.value(expr.end) if expr.end is not None else None
            step = 1 if expr.step is None else self.value(expr.step)
            if start is None or end is None or step is None:
                return None
            if step == 0:
                raise ValueError(f"{_at(expr)}a range with step 0 never ends")
            steps = math.floor((end - start) / step) if math.isfinite((end - start) / step) else _HUGE
            return max(0, min(steps, _HUGE) + 1)
        if isinstance(expr, ast.Identifier):
            return self.registers.get(expr.name)
        return None

    def refuse_measured(self, st: Any, node: Any, what: str) -> None:
        used = next((name for name in _names(node) if name in self.measured), None)
        if used is not None:
            raise UnsupportedConstruct(
                f"{_at(st)}{what} depends on '{used}', which holds a measured value; feeding "
                "measurement results back into the circuit needs classical feedback within a "
                "shot, which vantelo cannot express"
            )

    # Sizes ----------------------------------------------------------------

    def width(self, operand: Any) -> int:
        """How many qubits an operand of a quantum statement stands for (an
        upper bound when it is not known)."""
        ast = self.ast
        if isinstance(operand, ast.Identifier):
            return self.registers.get(operand.name, 1 if operand.name.startswith("$") else self.qubits)
        if isinstance(operand, ast.IndexedIdentifier):
            width = 1
            for index in operand.indices:
                items = [index] if isinstance(index, ast.DiscreteSet) else index
                for item in items:
                    if isinstance(item, (ast.RangeDefinition, ast.DiscreteSet)):
                        counted = self.count(item)
                        width = max(width, self.qubits if counted is None else counted)
            return width
        return self.qubits

    def alias_width(self, value: Any) -> int:
        ast = self.ast
        if isinstance(value, ast.Concatenation):
            return self.alias_width(value.lhs) + self.alias_width(value.rhs)
        if isinstance(value, ast.IndexExpression):
            index = value.index
            items = [index] if isinstance(index, ast.DiscreteSet) else index
            counts = [self.count(i) if isinstance(i, (ast.RangeDefinition, ast.DiscreteSet)) else 1
                      for i in items]
            return self.qubits if any(c is None for c in counts) else sum(c or 0 for c in counts)
        return self.width(value)

    def declare_qubits(self, node: Any, size: int) -> None:
        self.qubits += size
        if self.qubits > self.limits.max_qubits:
            raise ValueError(
                f"{_at(node)}the program declares {self.qubits} qubits, more than "
                f"max_qubits={self.limits.max_qubits}"
            )

    def declare_clbits(self, node: Any, size: int) -> None:
        self.clbits += size
        if self.clbits > self.limits.max_operations:
            raise ValueError(
                f"{_at(node)}the program declares {self.clbits} classical values, more than "
                f"max_operations={self.limits.max_operations}"
            )

    def size(self, node: Any, expr: Any, what: str) -> int:
        if expr is None:
            return 1
        value = self.value(expr)
        if value == math.inf:
            return _HUGE
        if value is None or not math.isfinite(value) or value != int(value):
            raise UnsupportedConstruct(f"{_at(node)}the size of {what} is not a constant integer")
        return max(0, int(value))

    # Costs --------------------------------------------------------------

    def add(self, node: Any, operations: int, factor: int) -> None:
        self.cost.operations += operations * factor
        if self.cost.operations > self.limits.max_operations:
            raise ValueError(
                f"{_at(node)}the program unrolls to more than "
                f"max_operations={self.limits.max_operations} operations"
            )

    def gate_cost(self, gate: Any) -> tuple[int, int]:
        """Operations and nesting of one application of a gate (modifiers
        included, broadcast excluded)."""
        ast = self.ast
        operations, nesting = self.gates.get(gate.name.name, (1, 0))
        for modifier in gate.modifiers:
            if modifier.modifier == ast.GateModifierName.pow and modifier.argument is not None:
                power = self.value(modifier.argument)
                if power is not None:
                    repeat = _HUGE if not math.isfinite(power) else max(1, math.ceil(abs(power)))
                    operations *= min(repeat, _HUGE)
        return operations, nesting

    # The walk -------------------------------------------------------------

    def walk(self, statements: list[Any], factor: int, in_loop: bool) -> list[Any]:
        out: list[Any] = []
        for st in statements:
            out.extend(self.statement(st, factor, in_loop))
        return out

    def statement(self, st: Any, factor: int, in_loop: bool) -> list[Any]:
        ast = self.ast
        if isinstance(st, ast.QubitDeclaration):
            size = self.size(st, st.size, f"qubit register '{st.qubit.name}'")
            self.declare_qubits(st, size)
            self.registers[st.qubit.name] = size
            self.declared.add(st.qubit.name)
            if st.size is None:
                self.unsized.add(st.qubit.name)
        elif isinstance(st, (ast.ClassicalDeclaration, ast.ConstantDeclaration, ast.IODeclaration)):
            self.classical_declaration(st, in_loop)
        elif isinstance(st, ast.ClassicalAssignment):
            name = self.target_name(st.lvalue)
            if isinstance(st.rvalue, ast.QuantumMeasurement) or any(n in self.measured for n in _names(st.rvalue)):
                self.measured.add(name)
                if isinstance(st.rvalue, ast.QuantumMeasurement):
                    self.add(st, self.width(st.rvalue.qubit), factor)
                    self.single(st, st.rvalue, "qubit")
            self.values.pop(name, None)
            value = self.value(st.rvalue)
            if value is not None and st.op.name == "=" and not in_loop:
                self.values[name] = value
        elif isinstance(st, ast.QuantumMeasurementStatement):
            self.refuse_measured(st, st.measure, "a measurement")
            if st.target is not None:
                self.measured.add(self.target_name(st.target))
            self.add(st, self.width(st.measure.qubit), factor)
            self.single(st, st.measure, "qubit")
        elif isinstance(st, ast.QuantumGate):
            return self.gate(st, factor)
        elif isinstance(st, (ast.QuantumReset, ast.QuantumBarrier)):
            operands = st.qubits if isinstance(st.qubits, list) else [st.qubits]
            self.refuse_measured(st, operands, "'reset'" if isinstance(st, ast.QuantumReset) else "'barrier'")
            self.add(st, max([self.width(q) for q in operands] + [1]), factor)
            if any(self.alias_of(q) for q in operands):
                columns = self.columns(st, operands)
                if columns is not None:
                    flat = [q for column in columns for q in column]
                    if isinstance(st, ast.QuantumBarrier):
                        st.qubits = flat
                    else:
                        return [dataclasses.replace(st, qubits=q) for q in flat]
        elif isinstance(st, ast.QuantumPhase):
            self.refuse_measured(st, [st.argument, st.qubits, st.modifiers], "'gphase'")
            self.add(st, 1, factor)
        elif isinstance(st, ast.QuantumGateDefinition):
            self.define_gate(st)
        elif isinstance(st, ast.AliasStatement):
            self.refuse_measured(st, st.value, "an alias")
            self.registers[st.target.name] = self.alias_width(st.value)
            self.aliases.pop(st.target.name, None)
            self.dropped.discard(st.target.name)
            resolved = self.resolve(st.value)
            if resolved is not None:
                self.aliases[st.target.name] = resolved
                if any(isinstance(n, ast.Concatenation) or (isinstance(n, ast.Identifier) and n.name in self.dropped)
                       for n in _nodes(st.value)):
                    # pyqasm cannot alias a concatenation: its uses (and
                    # those of aliases of it) are written out here instead,
                    # and the statement goes.
                    self.dropped.add(st.target.name)
                    return []
        elif isinstance(st, ast.ForInLoop):
            self.refuse_measured(st, st.set_declaration, "a 'for' loop")
            count = self.count(st.set_declaration)
            if count is None:
                raise UnsupportedConstruct(
                    f"{_at(st)}the values of a 'for' loop must be known before the program "
                    "runs (a range or set of constants)"
                )
            self.cost.iterations += count * factor
            if self.cost.iterations > self.limits.max_loop_iterations:
                raise ValueError(
                    f"{_at(st)}the program runs more than "
                    f"max_loop_iterations={self.limits.max_loop_iterations} loop iterations"
                )
            self.values.pop(st.identifier.name, None)
            block = st.block if isinstance(st.block, list) else st.block.statements
            new_block = self.walk(block, factor * count, True) if count else block
            if isinstance(st.block, list):
                st.block = new_block
            else:
                st.block.statements = new_block
        elif isinstance(st, ast.CompoundStatement):
            st.statements = self.walk(st.statements, factor, in_loop)
        elif isinstance(st, ast.Box):
            st.body = self.walk(st.body, factor, in_loop)
        elif isinstance(st, (ast.WhileLoop, ast.BranchingStatement, ast.SwitchStatement)):
            keyword = {ast.WhileLoop: "while", ast.BranchingStatement: "if"}.get(type(st), "switch")
            raise UnsupportedConstruct(
                f"{_at(st)}'{keyword}' needs classical feedback within a shot, which vantelo cannot express"
            )
        elif isinstance(st, ast.SubroutineDefinition):
            self.define_subroutine(st)
        elif isinstance(st, ast.ExpressionStatement):
            self.calls(st, st.expression, factor)
        elif isinstance(st, (ast.CalibrationGrammarDeclaration, ast.CalibrationStatement,
                             ast.CalibrationDefinition)):
            raise UnsupportedConstruct(
                f"{_at(st)}pulse-level calibration ('defcalgrammar', 'cal', 'defcal') is not supported"
            )
        return [st]

    def single(self, st: Any, holder: Any, field: str) -> None:
        """Writes a use of a concatenation alias in a one-qubit operand slot
        as the qubit it names."""
        operand = getattr(holder, field)
        if self.alias_of(operand) is None:
            return
        columns = self.columns(st, [operand])
        if columns is not None:
            if len(columns[0]) != 1:
                if self.alias_of(operand) in self.dropped and self.pyqasm_refusal is None:
                    self.pyqasm_refusal = UnsupportedConstruct(
                        f"{_at(st)}measuring alias '{self.alias_of(operand)}' of concatenated registers "
                        "as a whole needs Qiskit's importer (pip install 'vantelo[qiskit]')"
                    )
                return
            setattr(holder, field, columns[0][0])

    def classical_declaration(self, st: Any, in_loop: bool) -> None:
        ast = self.ast
        name = st.identifier.name
        kind = st.type
        if isinstance(kind, ast.BitType):
            self.declare_clbits(st, self.size(st, kind.size, f"bit register '{name}'"))
        elif isinstance(kind, ast.ArrayType):
            total = 1
            for dimension in kind.dimensions:
                total *= self.size(st, dimension, f"array '{name}'")
            self.declare_clbits(st, total)
        init = getattr(st, "init_expression", None)
        self.values.pop(name, None)
        if init is None:
            return
        if isinstance(init, ast.QuantumMeasurement) or any(n in self.measured for n in _names(init)):
            self.measured.add(name)
            return
        value = self.value(init)
        if value is not None and (not in_loop or isinstance(st, ast.ConstantDeclaration)):
            self.values[name] = value

    def target_name(self, target: Any) -> str:
        name = target.name
        return name if isinstance(name, str) else str(name.name)

    def calls(self, node: Any, expr: Any, factor: int) -> None:
        ast = self.ast
        for name in (n for n in _names(expr) if n in self.subroutines):
            self.add(node, self.subroutines[name], factor)
        if any(n in self.measured for n in _names(expr)) and isinstance(expr, ast.FunctionCall):
            self.refuse_measured(node, expr, f"the call of '{expr.name.name}'")

    def gate(self, st: Any, factor: int) -> list[Any]:
        name = st.name.name
        self.refuse_measured(st, [st.arguments, st.qubits, st.modifiers], f"gate '{name}'")
        operations, _ = self.gate_cost(st)
        broadcast = max([self.width(q) for q in st.qubits] + [1])
        self.add(st, operations, factor * broadcast)
        columns = self.columns(st, st.qubits)
        if columns is None:
            return [st]
        lengths = {len(c) for c, q in zip(columns, st.qubits) if self.is_register(q)}
        if len(lengths) > 1:
            raise ValueError(f"{_at(st)}gate '{name}' is broadcast over registers of different sizes")
        copies = []
        for i in range(max(lengths, default=1)):
            one = copy.copy(st)
            one.qubits = [column[0] if len(column) == 1 else column[i] for column in columns]
            copies.append(one)
        return copies

    def columns(self, st: Any, operands: list[Any]) -> list[list[Any]] | None:
        """Each operand as the list of single qubits it stands for, or None
        where one is known only while unrolling (pyqasm expands those)."""
        columns = []
        for operand in operands:
            column = self.resolve(operand)
            if column is None:
                alias = self.alias_of(operand)
                if alias in self.dropped and self.pyqasm_refusal is None:
                    self.pyqasm_refusal = UnsupportedConstruct(
                        f"{_at(st)}alias '{alias}' of concatenated registers is indexed by a value "
                        "known only while unrolling, which pyqasm cannot read; install Qiskit "
                        "(pip install 'vantelo[qiskit]') or index it by constants"
                    )
                return None
            columns.append(column)
        return columns

    def is_register(self, operand: Any) -> bool:
        """Whether an operand is broadcast (a register, alias, slice or set),
        not one qubit."""
        ast = self.ast
        if isinstance(operand, ast.Identifier):
            return operand.name not in self.unsized and not operand.name.startswith("$")
        if isinstance(operand, ast.IndexedIdentifier):
            for index in operand.indices:
                if isinstance(index, ast.DiscreteSet):
                    return True
                if any(isinstance(item, (ast.RangeDefinition, ast.DiscreteSet)) for item in index):
                    return True
            return False
        return True

    def alias_of(self, operand: Any) -> str | None:
        ast = self.ast
        name = operand.name.name if isinstance(operand, ast.IndexedIdentifier) else getattr(operand, "name", None)
        return name if name in self.aliases else None

    def resolve(self, expr: Any) -> list[Any] | None:
        """The single qubits a register, alias, slice or concatenation stands
        for, when they are known before unrolling."""
        ast = self.ast
        if isinstance(expr, ast.Identifier):
            if expr.name in self.aliases:
                return self.aliases[expr.name]
            size = self.registers.get(expr.name)
            if expr.name.startswith("$") or (size is not None and expr.name in self.unsized):
                return [expr]
            if size is None or expr.name not in self.declared:
                return None
            return [self.indexed(expr, i, expr.span) for i in range(size)]
        if isinstance(expr, ast.Concatenation):
            lhs, rhs = self.resolve(expr.lhs), self.resolve(expr.rhs)
            return None if lhs is None or rhs is None else lhs + rhs
        if isinstance(expr, ast.IndexExpression):
            base = self.resolve(expr.collection)
            return None if base is None else self.pick(base, expr.index)
        if isinstance(expr, ast.IndexedIdentifier):
            base = self.resolve(expr.name)
            for index in expr.indices:
                if base is None:
                    return None
                base = self.pick(base, index)
            return base
        return None

    def pick(self, base: list[Any], index: Any) -> list[Any] | None:
        ast = self.ast
        items = [index] if isinstance(index, ast.DiscreteSet) else index
        picked: list[Any] = []
        for item in items:
            if isinstance(item, ast.DiscreteSet):
                values = [self.value(v) for v in item.values]
            elif isinstance(item, ast.RangeDefinition):
                bounds = [None if e is None else self.value(e) for e in (item.start, item.end, item.step)]
                if any(v is None for v, e in zip(bounds, (item.start, item.end, item.step)) if e is not None):
                    return None
                start, end, step = bounds
                step = 1 if step is None else step
                start = (0 if step > 0 else len(base) - 1) if start is None else start
                end = (len(base) - 1 if step > 0 else 0) if end is None else end
                if not all(math.isfinite(v) and v == int(v) for v in (start, end, step)) or step == 0:
                    return None
                values = list(range(int(start), int(end) + (1 if step > 0 else -1), int(step)))
            else:
                values = [self.value(item)]
            for v in values:
                if v is None or not math.isfinite(v) or v != int(v) or not -len(base) <= v < len(base):
                    return None  # the importer reports what is out of range
                picked.append(base[int(v)])
        return picked

    def indexed(self, name: Any, i: int, span: Any) -> Any:
        literal = self.ast.IntegerLiteral(value=i)
        literal.span = span
        node = self.ast.IndexedIdentifier(name=name, indices=[[literal]])
        node.span = span
        return node

    def define_gate(self, st: Any) -> None:
        operations, nesting = 0, 0
        for inner in st.body:
            if isinstance(inner, self.ast.QuantumGate):
                cost, depth = self.gate_cost(inner)
                operations += cost
                nesting = max(nesting, depth)
            else:
                operations += 1
        nesting += 1
        if nesting > self.limits.max_gate_nesting:
            raise ValueError(
                f"{_at(st)}gate '{st.name.name}' nests gate definitions {nesting} deep, more than "
                f"max_gate_nesting={self.limits.max_gate_nesting}"
            )
        self.gates[st.name.name] = (min(operations, _HUGE), nesting)

    def define_subroutine(self, st: Any) -> None:
        outer, self.cost = self.cost, _Cost()
        self.subroutines[st.name.name] = _HUGE  # a call of itself cannot be bounded
        try:
            self.walk(st.body, 1, True)
            self.subroutines[st.name.name] = self.cost.operations
        finally:
            inner, self.cost = self.cost, outer
            self.cost.iterations += inner.iterations


def _binary(op: str, a: float, b: float) -> float | None:
    try:
        if op == "+":
            result = a + b
        elif op == "-":
            result = a - b
        elif op == "*":
            result = a * b
        elif op == "/":
            if b == 0:
                return None
            result = a // b if isinstance(a, int) and isinstance(b, int) else a / b
        elif op == "%":
            result = a % b if b else None  # type: ignore[assignment]
        elif op == "**":
            if isinstance(a, int) and isinstance(b, int) and abs(a) > 1 and b > 256:
                return math.inf
            result = a**b
        else:
            return None
    except (OverflowError, ZeroDivisionError, ValueError, TypeError):
        return None
    if isinstance(result, complex):
        return None
    if isinstance(result, int) and abs(result) > _HUGE:
        return math.inf if result > 0 else -math.inf
    return result


def check(program: Any, limits: Limits) -> tuple[Any, UnsupportedConstruct | None]:
    """Checks the parsed program against the limits. Returns it with
    multi-qubit broadcasts and uses of concatenation aliases written out (the
    tree is changed in place), and the error for what pyqasm would still
    read wrongly (None when it reads the tree as it should)."""
    checker = _Checker(limits)
    program.statements = checker.walk(program.statements, 1, False)
    return program, checker.pyqasm_refusal


_QASM2_STATEMENT = re.compile(r"\s*(?:gate\b([^{;]*)\{([^}]*)\}|([^;{}]*);)")
_QASM2_NAME = re.compile(r"\s*([A-Za-z_][A-Za-z0-9_]*)")
_QASM2_REGISTER = re.compile(r"\s*(qreg|creg)\s+([A-Za-z_][A-Za-z0-9_]*)\s*\[\s*(\d+)\s*\]\s*$")


def check_qasm2(source: str, limits: Limits) -> set[str]:
    """The limits for OpenQASM 2, whose statements a scan of the comment-free
    text finds (the language has no loops, aliases or classical values): the
    Rust parser Qiskit uses is far faster than a syntax tree in Python. Returns
    the names of the gates the program defines; what the scan cannot read is
    left to the parser to report."""
    checker = _Checker.__new__(_Checker)
    checker.limits = limits
    checker.qubits = checker.clbits = 0
    checker.cost = _Cost()
    registers: dict[str, int] = {}
    gates: dict[str, tuple[int, int]] = {}
    pos, line = 0, 1
    while True:
        match = _QASM2_STATEMENT.match(source, pos)
        if match is None or match.end() == pos:
            return set(gates)
        pos = match.end()
        here = _Here(line + _leading_newlines(match.group(0)))
        line += match.group(0).count("\n")
        if match.group(1) is not None:
            name = _QASM2_NAME.match(match.group(1))
            if name is None:
                continue
            operations, nesting = 0, 0
            for call in match.group(2).split(";"):
                callee = _QASM2_NAME.match(call)
                if callee is not None:
                    cost, depth = gates.get(callee.group(1), (1, 0))
                    operations, nesting = operations + cost, max(nesting, depth)
            if nesting + 1 > limits.max_gate_nesting:
                raise ValueError(
                    f"{_at(here)}gate '{name.group(1)}' nests gate definitions {nesting + 1} deep, more "
                    f"than max_gate_nesting={limits.max_gate_nesting}"
                )
            gates[name.group(1)] = (min(operations, _HUGE), nesting + 1)
            continue
        statement = match.group(3)
        register = _QASM2_REGISTER.match(statement)
        if register is not None:
            size = int(register.group(3))
            registers[register.group(2)] = size
            if register.group(1) == "qreg":
                checker.declare_qubits(here, size)
            else:
                checker.declare_clbits(here, size)
            continue
        head = _QASM2_NAME.match(statement)
        if head is None or head.group(1) in ("OPENQASM", "include", "opaque", "if"):
            continue
        operands = statement[statement.rfind(")") + 1:] if "(" in statement else statement[head.end():]
        if head.group(1) == "measure":
            operands = operands.split("->")[0]
        width = 1
        for operand in operands.split(","):
            operand = operand.strip()
            if operand and "[" not in operand:
                width = max(width, registers.get(operand, 1))
        cost = gates.get(head.group(1), (1, 0))[0]
        checker.add(here, cost, width)


@dataclass(frozen=True)
class _Span:
    start_line: int


@dataclass(frozen=True)
class _Here:
    """A line, where the error helpers expect a node."""

    line: int

    @property
    def span(self) -> _Span:
        return _Span(self.line)


def _leading_newlines(text: str) -> int:
    return text[: len(text) - len(text.lstrip())].count("\n")
