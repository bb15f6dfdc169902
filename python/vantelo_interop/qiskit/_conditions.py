"""Classical conditions of `if` and `switch` blocks: a
`qiskit.circuit.classical.expr` expression, or a `switch` target compared
with a case's values, evaluated at each setting of the clbits it reads (see
`condition_groups`)."""

from __future__ import annotations

import operator
from typing import Callable, Sequence

from qiskit.circuit import Clbit, ClassicalRegister, QuantumCircuit
from qiskit.circuit.classical import expr, types

from .._conditions import MAX_CONDITION_BITS, condition_groups
from .._program import UnsupportedConstruct

_COMPARE: dict[expr.Binary.Op, Callable[[int, int], bool]] = {
    expr.Binary.Op.EQUAL: operator.eq,
    expr.Binary.Op.NOT_EQUAL: operator.ne,
    expr.Binary.Op.LESS: operator.lt,
    expr.Binary.Op.LESS_EQUAL: operator.le,
    expr.Binary.Op.GREATER: operator.gt,
    expr.Binary.Op.GREATER_EQUAL: operator.ge,
}
_BITWISE: dict[expr.Binary.Op, Callable[[int, int], int]] = {
    expr.Binary.Op.BIT_AND: operator.and_,
    expr.Binary.Op.BIT_OR: operator.or_,
    expr.Binary.Op.BIT_XOR: operator.xor,
    expr.Binary.Op.SHIFT_LEFT: operator.lshift,
    expr.Binary.Op.SHIFT_RIGHT: operator.rshift,
}

Bits = dict[Clbit, int]


def _register(bits: Sequence[Clbit], values: Bits) -> int:
    return sum(values[b] << i for i, b in enumerate(bits))


def _fit(node: expr.Expr, value: int | bool) -> int | bool:
    """value as node's type holds it: an unsigned integer keeps its width's bits."""
    if isinstance(node.type, types.Uint):
        return int(value) & ((1 << int(node.type.width)) - 1)
    return bool(value)


def _evaluate(node: expr.Expr, values: Bits) -> int | bool:
    if isinstance(node, expr.Value):
        return _fit(node, node.value)
    if isinstance(node, expr.Var):
        if isinstance(node.var, Clbit):
            return bool(values[node.var])
        return _register(list(node.var), values)
    if isinstance(node, expr.Cast):
        return _fit(node, _evaluate(node.operand, values))
    if isinstance(node, expr.Index):
        return bool((int(_evaluate(node.target, values)) >> int(_evaluate(node.index, values))) & 1)
    if isinstance(node, expr.Unary):
        operand = _evaluate(node.operand, values)
        if node.op is expr.Unary.Op.LOGIC_NOT or isinstance(node.type, types.Bool):
            return not operand
        return _fit(node, ~int(operand))  # BIT_NOT of an unsigned integer
    assert isinstance(node, expr.Binary)
    left, right = _evaluate(node.left, values), _evaluate(node.right, values)
    if node.op is expr.Binary.Op.LOGIC_AND:
        return bool(left) and bool(right)
    if node.op is expr.Binary.Op.LOGIC_OR:
        return bool(left) or bool(right)
    if node.op in _COMPARE:
        return _COMPARE[node.op](int(left), int(right))
    return _fit(node, _BITWISE[node.op](int(left), int(right)))


def _check(node: expr.Expr, where: str) -> None:
    """Refuses what the evaluation does not cover, before it runs."""
    if not isinstance(node.type, (types.Bool, types.Uint)):
        raise UnsupportedConstruct(f"{where}: values of type {node.type} are not supported")
    if isinstance(node, expr.Var) and not isinstance(node.var, (Clbit, ClassicalRegister)):
        raise UnsupportedConstruct(
            f"{where}: classical variable '{node.name}' is not supported; conditions may read clbits and "
            "registers")
    if isinstance(node, expr.Unary) and node.op is expr.Unary.Op.NEGATE:
        raise UnsupportedConstruct(f"{where}: negation is not supported")
    if isinstance(node, expr.Binary) and node.op not in _COMPARE and node.op not in _BITWISE \
            and node.op not in (expr.Binary.Op.LOGIC_AND, expr.Binary.Op.LOGIC_OR):
        raise UnsupportedConstruct(f"{where}: the operation {node.op.name.lower()} is not supported")
    if not isinstance(node, (expr.Value, expr.Var, expr.Cast, expr.Index, expr.Unary, expr.Binary)):
        raise UnsupportedConstruct(f"{where}: '{type(node).__name__}' expressions are not supported")
    for child in ("operand", "left", "right", "target", "index"):
        if isinstance(getattr(node, child, None), expr.Expr):
            _check(getattr(node, child), where)


class Condition:
    """A function of some clbits: `where` (indices in the translated program)
    and its value at each setting of them (bit j of a setting: where[j])."""

    def __init__(self, node: expr.Expr | Clbit | ClassicalRegister, circuit: QuantumCircuit,
                 cmap: Sequence[int], where: str) -> None:
        if isinstance(node, expr.Expr):
            _check(node, where)
            read = []
            for var in expr.iter_vars(node):
                read += [var.var] if isinstance(var.var, Clbit) else list(var.var)
            self.node: expr.Expr | None = node
        else:
            read = [node] if isinstance(node, Clbit) else list(node)
            self.node = None
        self.target = node
        self.clbits = list(dict.fromkeys(read))
        if len(self.clbits) > MAX_CONDITION_BITS:
            raise UnsupportedConstruct(
                f"{where}: the condition reads {len(self.clbits)} clbits; at most {MAX_CONDITION_BITS} are supported")
        self.where = [cmap[circuit.find_bit(b).index] for b in self.clbits]

    def value(self, setting: int) -> int | bool:
        values = {b: (setting >> j) & 1 for j, b in enumerate(self.clbits)}
        if self.node is not None:
            return _evaluate(self.node, values)
        if isinstance(self.target, Clbit):
            return bool(values[self.target])
        return _register(list(self.target), values)

    def groups(self, holds: Callable[[int | bool], bool]) -> list[tuple[int, ...]] | None:
        """The `Conditional` groups that pass where holds(value) does; None
        where it never does."""
        return condition_groups(self.where, lambda setting: holds(self.value(setting)))
