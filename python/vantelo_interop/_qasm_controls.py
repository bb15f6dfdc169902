"""Controlled gates written out before pyqasm unrolls a program.

pyqasm 1.3 controls only some standard gates (`x`, `y`, `z`, `h`, `rx`,
`ry`, `rz`, `p`, `cx`, `swap`, `ccx`) and refuses the others, and with them
every `ctrl @` of a gate definition that holds one. `controls_written_out`
rewrites a call under a single `ctrl @` or `negctrl @` in terms of gates
pyqasm controls: `s`, `t` and their inverses as controlled phases, `sx` and
`U` as controlled rotations and a phase on the control, the two-qubit
standard gates as Toffolis or by halving their angle, and a gate the
program defines as a definition written here, each call in its body under
the control. Calls with several controls or with `pow @` are left as they
are: pyqasm reads them, or refuses them with its own message.
"""

from __future__ import annotations

import copy
import math
from typing import Any, Callable

from ._qasm_check import _names

# Gates pyqasm controls itself.
_PYQASM_CONTROLS = {"x", "y", "z", "h", "rx", "ry", "rz", "p", "phase", "cx", "CX", "swap", "ccx"}
_PHASES = {"s": math.pi / 2, "sdg": -math.pi / 2, "t": math.pi / 4, "tdg": -math.pi / 4}


def controls_written_out(tree: Any, ast: Any) -> None:
    """Changes the tree in place (after the inverses are written out)."""
    _Controller(tree, ast).run()


class _Controller:
    def __init__(self, tree: Any, ast: Any) -> None:
        self.tree, self.ast = tree, ast
        self.definitions = {
            st.name.name: st for st in tree.statements if isinstance(st, ast.QuantumGateDefinition)
        }
        self.taken = set(_names(tree.statements)) | _PYQASM_CONTROLS | set(_PHASES) | set(_WRITTEN)
        self.controlled_names: dict[str, str] = {}
        self.controlled: dict[str, Any] = {}  # defined name: its controlled definition

    def run(self) -> None:
        self.tree.statements = self.rewrite(self.tree.statements)
        statements = []
        for st in self.tree.statements:
            statements.append(st)
            if isinstance(st, self.ast.QuantumGateDefinition) and st.name.name in self.controlled:
                statements.append(self.controlled[st.name.name])
        self.tree.statements = statements

    def rewrite(self, statements: list[Any]) -> list[Any]:
        out: list[Any] = []
        for st in statements:
            if isinstance(st, self.ast.QuantumGate):
                written = self.written(st)
                out.extend([st] if written is None else written)
                continue
            for attribute in ("body", "block", "if_block", "else_block"):
                inner = getattr(st, attribute, None)
                if isinstance(inner, list):
                    setattr(st, attribute, self.rewrite(inner))
            out.append(st)
        return out

    def written(self, call: Any) -> list[Any] | None:
        """The call as gates pyqasm controls, or None to leave it."""
        ast = self.ast
        name = call.name.name
        kinds = {ast.GateModifierName.ctrl, ast.GateModifierName.negctrl}
        controls = [m for m in call.modifiers if m.modifier in kinds]
        powers = [m for m in call.modifiers if m.modifier == ast.GateModifierName.pow]
        if len(controls) != 1 or len(controls) + len(powers) != len(call.modifiers):
            return None
        modifier = controls[0]
        if modifier.argument is not None and not (
            isinstance(modifier.argument, ast.IntegerLiteral) and modifier.argument.value == 1
        ):
            return None
        # Integer powers (the inverse of sx is its cube) repeat the gate.
        repeat = 1
        for power in powers:
            if not isinstance(power.argument, ast.IntegerLiteral) or power.argument.value < 0:
                return None
            repeat *= power.argument.value
        control, targets = call.qubits[0], call.qubits[1:]
        if name in self.definitions:
            controlled = self.controlled_of(name)
            if controlled is None:
                return None
            body = [self.call(controlled, call.arguments, [control, *targets])]
        elif name in _WRITTEN and name not in _PYQASM_CONTROLS:
            body = _WRITTEN[name](self, control, targets, call.arguments)
        else:
            return None
        body = [copy.deepcopy(st) for _ in range(repeat) for st in body]
        if modifier.modifier == ast.GateModifierName.negctrl:
            body = [self.call("x", [], [control]), *body, self.call("x", [], [control])]
        return self.rewrite(body)

    def controlled_of(self, name: str) -> str | None:
        """A definition of the gate under one control, its first qubit (None
        when its body holds more than gate calls and phases)."""
        definition = self.definitions[name]
        if not all(isinstance(st, (self.ast.QuantumGate, self.ast.QuantumPhase)) for st in definition.body):
            return None
        if name in self.controlled_names:
            return self.controlled_names[name]
        ast = self.ast
        controlled_name = f"{name}_ctrl"
        while controlled_name in self.taken:
            controlled_name += "_"
        self.taken.add(controlled_name)
        self.controlled_names[name] = controlled_name
        control = "c"
        while control in self.taken or any(q.name == control for q in definition.qubits):
            control += "_"
        body = []
        for st in definition.body:
            st = copy.deepcopy(st)
            st.modifiers = [ast.QuantumGateModifier(ast.GateModifierName.ctrl, None), *st.modifiers]
            st.qubits = [ast.Identifier(control), *st.qubits]
            body.append(st)
        self.controlled[name] = ast.QuantumGateDefinition(
            ast.Identifier(controlled_name), copy.deepcopy(definition.arguments),
            [ast.Identifier(control), *copy.deepcopy(definition.qubits)], self.rewrite(body),
        )
        return controlled_name

    # -- building calls

    def call(self, name: str, arguments: list[Any], qubits: list[Any], controlled: bool = False) -> Any:
        ast = self.ast
        modifiers = [ast.QuantumGateModifier(ast.GateModifierName.ctrl, None)] if controlled else []
        return ast.QuantumGate(modifiers, ast.Identifier(name), arguments, [copy.deepcopy(q) for q in qubits])

    def half(self, expr: Any, sign: float = 1.0) -> Any:
        ast = self.ast
        value = ast.BinaryExpression(ast.BinaryOperator["/"], copy.deepcopy(expr), ast.FloatLiteral(2.0))
        return value if sign > 0 else ast.UnaryExpression(ast.UnaryOperator["-"], value)

    def halved(self, name: str, control: Any, targets: list[Any], arguments: list[Any]) -> list[Any]:
        """Two controls on a gate V² from V = the gate at half the angle:
        CV(b, t) · CX(a, b) · CV⁻¹(b, t) · CX(a, b) · CV(a, t)."""
        inner, target = targets
        return [
            self.call(name, [self.half(arguments[0])], [inner, target]),
            self.call("cx", [], [control, inner]),
            self.call(name, [self.half(arguments[0], -1.0)], [inner, target]),
            self.call("cx", [], [control, inner]),
            self.call(name, [self.half(arguments[0])], [control, target]),
        ]


def _phase(angle: float) -> Callable[[_Controller, Any, list[Any], list[Any]], list[Any]]:
    return lambda c, control, targets, args: [
        c.call("p", [c.ast.FloatLiteral(angle)], [control, *targets], controlled=True)]


def _u(c: _Controller, control: Any, targets: list[Any], args: list[Any]) -> list[Any]:
    """U(θ, φ, λ) = e^{i(φ+λ)/2} rz(φ) ry(θ) rz(λ)."""
    ast = c.ast
    theta, phi, lam = args
    phase = c.half(ast.BinaryExpression(ast.BinaryOperator["+"], copy.deepcopy(phi), copy.deepcopy(lam)))
    return [
        c.call("p", [phase], [control]),
        c.call("rz", [copy.deepcopy(lam)], [control, *targets], controlled=True),
        c.call("ry", [copy.deepcopy(theta)], [control, *targets], controlled=True),
        c.call("rz", [copy.deepcopy(phi)], [control, *targets], controlled=True),
    ]


_WRITTEN: dict[str, Callable[[_Controller, Any, list[Any], list[Any]], list[Any]]] = {
    **{name: _phase(angle) for name, angle in _PHASES.items()},
    "u1": lambda c, control, targets, args: [c.call("p", args, [control, *targets], controlled=True)],
    "id": lambda c, control, targets, args: [],
    # sx = e^{iπ/4} rx(π/2)
    "sx": lambda c, control, targets, args: [
        c.call("p", [c.ast.FloatLiteral(math.pi / 4)], [control]),
        c.call("rx", [c.ast.FloatLiteral(math.pi / 2)], [control, *targets], controlled=True)],
    "U": _u,
    "cz": lambda c, control, targets, args: [
        c.call("h", [], [targets[1]]), c.call("ccx", [], [control, *targets]), c.call("h", [], [targets[1]])],
    "cy": lambda c, control, targets, args: [
        c.call("sdg", [], [targets[1]]), c.call("ccx", [], [control, *targets]), c.call("s", [], [targets[1]])],
    **{name: (lambda n: lambda c, control, targets, args: c.halved(n, control, targets, args))(name)
       for name in ("cp", "cphase", "crx", "cry", "crz")},
}
