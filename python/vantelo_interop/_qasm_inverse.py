"""Inverses written out before pyqasm unrolls a program.

pyqasm 1.3 inverts a gate by reversing what it decomposes to, but it leaves
the controlled rotations (`crx`, `cry`, `crz`, `cp`, `cu`) it decomposes
further as they are: `inv @ cp(0.5)` runs as `cp(0.5)`, and so does every
gate definition that holds one, under `inv @` or a negative `pow`. So no
inverse reaches pyqasm: `inverses_written_out` moves every `inv` of a call
onto the gate it names (`inv` commutes with `ctrl`, `negctrl` and integer
powers), where a standard gate becomes its inverse with other angles and a
gate the program defines becomes a definition written here, its body
reversed and each call in it inverted in turn.
"""

from __future__ import annotations

import copy
import math
from typing import Any, Callable

from ._program import UnsupportedConstruct
from ._qasm_check import _names, line_of

_SELF_INVERSE = {"x", "y", "z", "h", "id", "cx", "CX", "cnot", "cy", "cz", "ch", "swap", "ccx", "cswap"}
_SWAPPED = {"s": "sdg", "sdg": "s", "t": "tdg", "tdg": "t"}
_NEGATED = {"rx", "ry", "rz", "p", "phase", "u1", "crx", "cry", "crz", "cp", "cphase"}


def inverses_written_out(tree: Any, ast: Any) -> None:
    """Changes the tree in place so that no call carries `inv @` or a
    negative `pow`, except on gates this table does not know (pyqasm gets
    those right or refuses them)."""
    _Inverter(tree, ast).run()


class _Inverter:
    def __init__(self, tree: Any, ast: Any) -> None:
        self.tree, self.ast = tree, ast
        self.definitions = {
            st.name.name: st for st in tree.statements if isinstance(st, ast.QuantumGateDefinition)
        }
        self.constants = {
            st.identifier.name: st.init_expression
            for st in tree.statements if isinstance(st, ast.ConstantDeclaration)
        }
        self.inverse_names: dict[str, str] = {}
        self.inverses: dict[str, Any] = {}  # defined name: its inverse's definition
        # Names an inverse's definition must not take: every identifier of
        # the program and the standard gates.
        self.taken = set(_names(tree.statements)) | _SELF_INVERSE | set(_SWAPPED) | set(_INVERSE_ANGLES) | {"sx"}

    def run(self) -> None:
        for node in _calls(self.tree.statements, self.ast):
            self.fix(node, invert=False)
        statements = []
        for st in self.tree.statements:
            statements.append(st)
            if isinstance(st, self.ast.QuantumGateDefinition) and st.name.name in self.inverses:
                statements.append(self.inverses[st.name.name])
        self.tree.statements = statements

    def fix(self, call: Any, invert: bool) -> None:
        """Takes `inv` off the call's modifiers (and the sign off its
        powers), inverting the gate instead when they add up to an inverse."""
        ast = self.ast
        modifiers, unknown = [], None
        for modifier in call.modifiers:
            if modifier.modifier == ast.GateModifierName.inv:
                invert = not invert
                continue
            if modifier.modifier == ast.GateModifierName.pow:
                power = self.value(modifier.argument)
                if power is None:
                    unknown = modifier
                elif power < 0:
                    invert = not invert
                    modifier = ast.QuantumGateModifier(ast.GateModifierName.pow, _literal(ast, -power))
            modifiers.append(modifier)
        if isinstance(call, ast.QuantumPhase):
            call.modifiers = modifiers
            if invert:
                call.argument = _negative(ast, call.argument)
            return
        name = call.name.name
        known = name in self.definitions or name in _SELF_INVERSE or name in _SWAPPED or name in _INVERSE_ANGLES
        known = known or name == "sx"
        if unknown is not None and known and (name in self.definitions or name not in _SELF_INVERSE):
            at = f"line {line_of(call)}: " if line_of(call) is not None else ""
            raise UnsupportedConstruct(
                f"{at}the power of gate '{name}' must be a constant, known before the program is unrolled"
            )
        if not invert:
            call.modifiers = modifiers
        elif name in self.definitions:
            call.modifiers = modifiers
            call.name = ast.Identifier(self.inverse_of(name))
        elif name in _SELF_INVERSE:
            call.modifiers = modifiers
        elif name == "sx":  # sx⁴ = 1; pyqasm knows no inverse of sx
            call.modifiers = [*modifiers, ast.QuantumGateModifier(ast.GateModifierName.pow, ast.IntegerLiteral(3))]
        elif name in _SWAPPED:
            call.modifiers = modifiers
            call.name = ast.Identifier(_SWAPPED[name])
        elif name in _INVERSE_ANGLES:
            new_name, arguments = _INVERSE_ANGLES[name](ast, call.arguments)
            call.modifiers = modifiers
            call.name = ast.Identifier(new_name)
            call.arguments = arguments
        else:
            call.modifiers = [ast.QuantumGateModifier(ast.GateModifierName.inv, None), *modifiers]

    def inverse_of(self, name: str) -> str:
        if name in self.inverse_names:
            return self.inverse_names[name]
        inverse_name = f"{name}_inv"
        while inverse_name in self.taken:
            inverse_name += "_"
        self.taken.add(inverse_name)
        self.inverse_names[name] = inverse_name
        definition = self.definitions[name]
        body = []
        for st in reversed(definition.body):
            if not isinstance(st, (self.ast.QuantumGate, self.ast.QuantumPhase)):
                at = f"line {line_of(st)}: " if line_of(st) is not None else ""
                raise UnsupportedConstruct(
                    f"{at}cannot invert gate '{name}': its body holds a '{type(st).__name__}' statement"
                )
            st = copy.deepcopy(st)
            self.fix(st, invert=True)
            body.append(st)
        self.inverses[name] = self.ast.QuantumGateDefinition(
            self.ast.Identifier(inverse_name), copy.deepcopy(definition.arguments),
            copy.deepcopy(definition.qubits), body,
        )
        return inverse_name

    def value(self, expr: Any, depth: int = 0) -> float | None:
        """The value of a constant exponent (integers stay exact), or None."""
        ast = self.ast
        if isinstance(expr, (ast.IntegerLiteral, ast.FloatLiteral)):
            return expr.value  # type: ignore[no-any-return]
        if isinstance(expr, ast.Identifier) and expr.name in self.constants and depth < 64:
            return self.value(self.constants[expr.name], depth + 1)
        if isinstance(expr, ast.UnaryExpression) and expr.op.name == "-":
            inner = self.value(expr.expression, depth + 1)
            return None if inner is None else -inner
        if isinstance(expr, ast.BinaryExpression) and expr.op.name in ("+", "-", "*"):
            a, b = self.value(expr.lhs, depth + 1), self.value(expr.rhs, depth + 1)
            if a is None or b is None:
                return None
            try:
                return {"+": a + b, "-": a - b, "*": a * b}[expr.op.name]
            except OverflowError:
                return None
        return None


def _calls(node: Any, ast: Any) -> list[Any]:
    """Every gate call and `gphase` in the statements, definitions and loops
    included."""
    found = []
    stack = [node]
    while stack:
        item = stack.pop()
        if isinstance(item, list):
            stack.extend(item)
        elif isinstance(item, (ast.QuantumGate, ast.QuantumPhase)):
            found.append(item)
        elif isinstance(item, ast.QuantumGateDefinition):
            stack.append(item.body)
        elif isinstance(item, ast.Statement):
            for attribute in ("block", "body", "if_block", "else_block"):
                inner = getattr(item, attribute, None)
                if isinstance(inner, list):
                    stack.append(inner)
                elif isinstance(inner, ast.Statement):
                    stack.append(inner)
    return found


def _literal(ast: Any, value: float) -> Any:
    return ast.IntegerLiteral(value) if isinstance(value, int) else ast.FloatLiteral(value)


def _negative(ast: Any, expr: Any) -> Any:
    return ast.UnaryExpression(ast.UnaryOperator["-"], expr)


def _u(ast: Any, args: list[Any]) -> list[Any]:
    """U(θ, φ, λ)⁻¹ = U(−θ, −λ, −φ), the phase of u3 included."""
    theta, phi, lam = args
    return [_negative(ast, theta), _negative(ast, lam), _negative(ast, phi)]


_INVERSE_ANGLES: dict[str, Callable[[Any, list[Any]], tuple[str, list[Any]]]] = {
    **{name: (lambda n: lambda ast, args: (n, [_negative(ast, a) for a in args]))(name) for name in _NEGATED},
    "U": lambda ast, args: ("U", _u(ast, args)),
    "u3": lambda ast, args: ("u3", _u(ast, args)),
    "u": lambda ast, args: ("u", _u(ast, args)),
    # u2(φ, λ) is u3(π/2, φ, λ), global phase and all.
    "u2": lambda ast, args: ("u3", _u(ast, [ast.FloatLiteral(math.pi / 2), *args])),
    # cu(θ, φ, λ, γ) is p(γ) on the control, then ctrl @ U(θ, φ, λ).
    "cu": lambda ast, args: ("cu", [*_u(ast, args[:3]), _negative(ast, args[3])]),
}
