"""Qiskit `QuantumCircuit` to a `Program`, in one pass over the instructions.

Standard gates that vantelo has map to its own constructors (looked up by
Qiskit's `base_class`, so a user gate that merely shares a name is not
mistaken for one); other gates with bound parameters become dense unitaries;
everything else is expanded through the gate's own definition.
"""

from __future__ import annotations

import math
import operator
from typing import TYPE_CHECKING, Any, Callable, Sequence

import numpy as np
from qiskit.circuit import (
    CASE_DEFAULT,
    BoxOp,
    Clbit,
    Instruction,
    ControlledGate,
    ForLoopOp,
    Gate as QiskitGate,
    IfElseOp,
    ParameterExpression,
    QuantumCircuit,
    SwitchCaseOp,
)
from qiskit.circuit import library as lib
from qiskit.circuit.classical import expr

from vantelo import Gate

from .._program import Angle, Barrier, Conditional, Measure, Program, Reset, Rotation, UnsupportedConstruct
from ._conditions import Condition

if TYPE_CHECKING:
    from ._noise import NoisePlan

# Gates whose dense matrix is cheap enough to build when vantelo has no
# constructor of its own; wider ones are expanded through their definition.
_MAX_DENSE_QUBITS = 3

_FIXED_1Q: dict[type, Callable[[int], Gate]] = {
    lib.IGate: Gate.i,
    lib.XGate: Gate.x,
    lib.YGate: Gate.y,
    lib.ZGate: Gate.z,
    lib.HGate: Gate.h,
    lib.SGate: Gate.s,
    lib.SdgGate: Gate.sdg,
    lib.TGate: Gate.t,
    lib.TdgGate: Gate.tdg,
}
_FIXED_2Q: dict[type, Callable[[int, int], Gate]] = {
    lib.CXGate: Gate.cx,
    lib.CYGate: Gate.cy,
    lib.CZGate: Gate.cz,
    lib.CHGate: Gate.ch,
    lib.SwapGate: Gate.swap,
    lib.iSwapGate: Gate.iswap,
}
_ROTATION_KIND = {
    lib.RXGate: "rx",
    lib.RYGate: "ry",
    lib.RZGate: "rz",
    lib.PhaseGate: "p",
    lib.U1Gate: "p",
}
_CONTROLLED_ROTATION: dict[type, Callable[[int, int, float], Gate]] = {
    lib.CRXGate: Gate.crx,
    lib.CRYGate: Gate.cry,
    lib.CRZGate: Gate.crz,
    lib.CPhaseGate: Gate.cp,
    lib.CU1Gate: Gate.cp,
}
# Control flow that would need classical feedback within one shot beyond
# gates under conditions on measured bits.
_FEEDBACK = {"while_loop": "while"}


def _numeric(params: Sequence[Any]) -> list[float] | None:
    """The parameters as floats, or None when any is still symbolic."""
    out = []
    for value in params:
        if isinstance(value, ParameterExpression):
            if value.parameters:
                return None
            value = complex(value)
            if value.imag != 0.0:
                return None
            value = value.real
        try:
            out.append(float(value))
        except OverflowError:  # an integer beyond any float: as a float literal that large
            out.append(math.inf if value > 0 else -math.inf)
        except (TypeError, ValueError):  # a matrix, a label, a complex amplitude
            return None
    return out


def _swaps(pattern: Sequence[int]) -> list[tuple[int, int]]:
    """Swaps of positions that leave at position k the qubit that was at
    pattern[k] (a PermutationGate, which has a matrix but no definition)."""
    held = list(range(len(pattern)))  # held[k]: the qubit now at position k
    where = list(range(len(pattern)))  # where[q]: the position of qubit q
    swaps = []
    for k, wanted in enumerate(int(p) for p in pattern):
        j = where[wanted]
        if j != k:
            swaps.append((k, j))
            held[k], held[j] = held[j], held[k]
            where[held[k]], where[held[j]] = k, j
    return swaps


def _all_controls_on(op: ControlledGate) -> bool:
    return bool(op.ctrl_state == (1 << op.num_ctrl_qubits) - 1)


class _Translator:
    def __init__(self, circuit: QuantumCircuit, noise: NoisePlan | None = None) -> None:
        self.noise = noise
        self.parameters = list(circuit.parameters)
        self.index_of = {p: i for i, p in enumerate(self.parameters)}
        self.program = Program(
            num_qubits=circuit.num_qubits,
            num_clbits=circuit.num_clbits,
            parameters=[p.name for p in self.parameters],
        )
        for creg in circuit.cregs:
            self.program.registers.append((creg.name, [circuit.find_bit(b).index for b in creg]))
        self.touched: set[int] = set()  # qubits some step has acted on
        # The conditions of the `if` bodies being translated, outermost first.
        self.path: list[tuple[int, ...]] = []

    def angle(self, value: object, where: str) -> Angle:
        if not isinstance(value, ParameterExpression) or not value.parameters:
            number = _numeric([value])
            return Angle.constant(number[0] if number is not None else float(value))  # type: ignore[arg-type]
        if len(value.parameters) > 1:
            raise UnsupportedConstruct(
                f"angle '{value}' of {where} depends on {len(value.parameters)} parameters; "
                "only expressions affine in one parameter are supported"
            )
        (param,) = value.parameters
        slope = value.gradient(param)
        if isinstance(slope, ParameterExpression) and slope.parameters:
            raise UnsupportedConstruct(
                f"angle '{value}' of {where} is not affine in '{param.name}'"
            )
        offset = value.bind({param: 0.0})
        return Angle(self.index_of[param], float(slope), float(offset))  # type: ignore[arg-type, unused-ignore]

    def add_phase(self, phase: object) -> None:
        # A phase that depends on a free parameter is dropped (see Program).
        if isinstance(phase, ParameterExpression):
            if phase.parameters:
                return
            phase = float(phase)
        self.program.global_phase += float(phase)  # type: ignore[arg-type, unused-ignore]

    def circuit(self, circuit: QuantumCircuit, qmap: Sequence[int], cmap: Sequence[int],
                noisy: bool = False) -> None:
        """Translates the instructions; with `noisy`, the noise model's errors
        follow them (a gate's definition is not noisy: the model names the
        instructions the user wrote)."""
        self.add_phase(circuit.global_phase)
        for item in circuit.data:
            qubits = [qmap[circuit.find_bit(q).index] for q in item.qubits]
            clbits = [cmap[circuit.find_bit(c).index] for c in item.clbits]
            error = None
            if noisy and self.noise is not None and not isinstance(item.operation, (ForLoopOp, BoxOp)):
                error = self.noise.error(item.operation.name, qubits)
            # As in Aer, a measurement's error comes before it, any other's after.
            if error is not None and item.operation.name == "measure":
                self.channel(error, qubits, "measure")
            if isinstance(item.operation, IfElseOp):
                self.if_else(item.operation, circuit, cmap, qubits, clbits, noisy)
                continue
            if isinstance(item.operation, SwitchCaseOp):
                self.switch(item.operation, circuit, cmap, qubits, clbits, noisy)
                continue
            self.instruction(item.operation, qubits, clbits, noisy)
            if error is not None and item.operation.name != "measure":
                self.channel(error, qubits, item.operation.name)

    def if_else(self, op: IfElseOp, circuit: QuantumCircuit, cmap: Sequence[int], qubits: list[int],
                clbits: list[int], noisy: bool) -> None:
        """The bodies as gates under the condition (the true body) and its
        negation (the false body), on top of the enclosing bodies' conditions.
        A condition on a clbit or on a register's value is a conjunction of
        tests of clbits (`Conditional`'s encoding: ``b`` for 1, ``~b`` for 0);
        its negation is one group. An expression takes the groups of
        `Condition`."""
        if isinstance(op.condition, expr.Expr):
            condition = Condition(op.condition, circuit, cmap, f"'if' on '{op.condition}'")
            for holds, block in ((bool, op.blocks[0]), (operator.not_, (op.blocks + (None,))[1])):
                groups = condition.groups(holds)
                if block is not None and groups is not None:
                    self.body(block, groups, qubits, clbits, noisy)
            return
        target, value = op.condition if isinstance(op.condition, tuple) else (None, None)
        if isinstance(target, Clbit):
            tests = [(cmap[circuit.find_bit(target).index], int(bool(value)))]
        elif target is not None and isinstance(value, int) and not isinstance(value, bool):
            bits = [cmap[circuit.find_bit(b).index] for b in target]
            if not 0 <= value < 1 << len(bits):
                tests = None  # the register never holds that value
            else:
                tests = [(b, (value >> i) & 1) for i, b in enumerate(bits)]
        else:
            raise UnsupportedConstruct(
                f"'if' on '{op.condition}': only conditions on one clbit, on a register's value or "
                "classical expressions of them are supported")
        true_body, false_body = op.blocks[0], op.blocks[1] if len(op.blocks) > 1 else None
        if tests is None:  # never true
            if false_body is not None:
                self.body(false_body, [], qubits, clbits, noisy)
            return
        literal = [b if v else ~b for b, v in tests]
        self.body(true_body, [(t,) for t in literal], qubits, clbits, noisy)
        if false_body is not None and literal:
            self.body(false_body, [tuple(~t for t in literal)], qubits, clbits, noisy)

    def switch(self, op: SwitchCaseOp, circuit: QuantumCircuit, cmap: Sequence[int], qubits: list[int],
               clbits: list[int], noisy: bool) -> None:
        """Each case's body under the condition that the target takes one of
        its values (the default: none of the other cases' values)."""
        condition = Condition(op.target, circuit, cmap, f"'switch' on '{op.target}'")
        cases = list(op.cases_specifier())
        listed = {v for values, _ in cases for v in values if v is not CASE_DEFAULT}
        for values, block in cases:
            def holds(value: int | bool, values: tuple[Any, ...] = values) -> bool:
                return int(value) in values or (CASE_DEFAULT in values and int(value) not in listed)
            groups = condition.groups(holds)
            if groups is not None:
                self.body(block, groups, qubits, clbits, noisy)

    def body(self, block: QuantumCircuit, groups: list[tuple[int, ...]], qubits: list[int],
             clbits: list[int], noisy: bool) -> None:
        """One branch of an `if`: its gates as `Conditional` steps that hold
        the enclosing conditions and `groups`."""
        outer, phase, channels = self.program.steps, self.program.global_phase, self.program.channels
        self.program.steps = []
        self.path.extend(groups)
        try:
            self.circuit(block, qubits, clbits, noisy)
            inner = self.program.steps
            if self.program.channels != channels:
                raise UnsupportedConstruct(
                    "noise inside an 'if' body: vantelo runs classically controlled gates, not channels")
        finally:
            self.program.steps, self.program.channels = outer, channels
            # A body's global phase is a phase between shots of different
            # outcomes, which no sample or expectation value sees.
            self.program.global_phase = phase
            del self.path[len(self.path) - len(groups):]
        conditions = tuple(self.path) + tuple(groups)
        run: list[Gate | Rotation] = []
        for step in inner + [None]:
            if isinstance(step, (Gate, Rotation)):
                run.append(step)
                continue
            if run and conditions:
                outer.append(Conditional(tuple(run), conditions))
            elif run:
                outer.extend(run)  # a body that always runs
            run = []
            if isinstance(step, (Measure, Reset)):
                raise UnsupportedConstruct(
                    "a measurement or reset inside an 'if' body needs classical feedback within a shot, "
                    "which vantelo cannot express")
            if isinstance(step, Conditional):
                outer.append(step)  # a nested body, with every condition on its path

    def channel(self, kraus: list[np.ndarray], qubits: list[int], name: str) -> None:
        # Qiskit's operators put the first qubit in the least significant bit.
        if not 1 <= len(qubits) <= 3:
            raise UnsupportedConstruct(
                f"channel '{name}' on {len(qubits)} qubits; vantelo's channels act on 1 to 3")
        self.program.steps.append(Gate.kraus(qubits[::-1], kraus))
        self.program.channels += 1
        self.touched.update(qubits)

    def instruction(self, op: Instruction, qubits: list[int], clbits: list[int], noisy: bool = False) -> None:
        steps = self.program.steps
        name = op.name
        if name == "measure":
            steps.append(Measure(qubits[0], clbits[0]))
            self.touched.update(qubits)
        elif name == "reset":
            steps.append(Reset(qubits[0], leading=qubits[0] not in self.touched))
            self.touched.update(qubits)
        elif name == "barrier":
            steps.append(Barrier())
        elif name == "delay":
            pass
        elif (kraus := _kraus_of(op)) is not None:
            self.channel(kraus, qubits, name)
        elif isinstance(op, ForLoopOp):
            indexset, loop_parameter, body = op.params
            for value in indexset:
                bound = body if loop_parameter is None else body.assign_parameters({loop_parameter: value})
                self.circuit(bound, qubits, clbits, noisy)
        elif isinstance(op, BoxOp):
            self.circuit(op.body, qubits, clbits, noisy)
        elif name in _FEEDBACK or getattr(op, "_control_flow", False) or name in ("break_loop", "continue_loop"):
            raise UnsupportedConstruct(
                f"'{_FEEDBACK.get(name, name)}' (Qiskit {name}) needs classical feedback within a shot, "
                "which vantelo cannot express"
            )
        elif isinstance(op, QiskitGate):
            self.gate(op, qubits)
            self.touched.update(qubits)
        elif not isinstance(op, Instruction):
            # An operation that is not an instruction (an AnnotatedOperation
            # with its inverse, power and control modifiers, a Clifford) has
            # no definition: Qiskit's synthesis writes it out.
            self.circuit(_synthesized(op, qubits), qubits, clbits)
        elif op.definition is not None:
            self.circuit(op.definition, qubits, clbits)
        else:
            raise UnsupportedConstruct(f"instruction '{name}' on qubits {qubits} is not supported")

    def gate(self, op: QiskitGate, qubits: list[int]) -> None:
        cls = op.base_class
        steps = self.program.steps
        params = op.params
        values = _numeric(params)
        where = f"{op.name} on qubits {qubits}"
        if cls is lib.GlobalPhaseGate:
            self.add_phase(params[0])
        elif cls is lib.UnitaryGate:
            steps.append(Gate.unitary(qubits[::-1], np.asarray(op.to_matrix(), dtype=np.complex64)))
        elif cls in _FIXED_1Q:
            steps.append(_FIXED_1Q[cls](qubits[0]))
        elif cls in _ROTATION_KIND:
            self.program.rotation(_ROTATION_KIND[cls], qubits[0], self.angle(params[0], where))
        elif cls in (lib.UGate, lib.U3Gate, lib.U2Gate):
            theta, phi, lam = ([math.pi / 2] + list(params)) if cls is lib.U2Gate else params
            if values is not None:
                t, f, l = _numeric([theta, phi, lam])  # type: ignore[misc]
                steps.append(Gate.u(qubits[0], t, f, l))
            else:
                # u(θ, φ, λ) = p(φ) · ry(θ) · p(λ) exactly, global phase included.
                self.program.rotation("p", qubits[0], self.angle(lam, where))
                self.program.rotation("ry", qubits[0], self.angle(theta, where))
                self.program.rotation("p", qubits[0], self.angle(phi, where))
        elif isinstance(op, ControlledGate) and not _all_controls_on(op):
            self.expand(op, qubits)
        elif cls in _FIXED_2Q:
            steps.append(_FIXED_2Q[cls](qubits[0], qubits[1]))
        elif cls is lib.CCXGate:
            steps.append(Gate.ccx(*qubits))
        elif cls is lib.CSwapGate:
            steps.append(Gate.cswap(*qubits))
        elif cls in _CONTROLLED_ROTATION and values is not None:
            steps.append(_CONTROLLED_ROTATION[cls](qubits[0], qubits[1], values[0]))
        elif cls in (lib.CUGate, lib.CU3Gate) and values is not None:
            steps.append(Gate.cu(qubits[0], qubits[1], *values))
        elif isinstance(op, ControlledGate) and values is not None:
            self.controlled(op, qubits)
        elif cls is lib.PermutationGate:
            steps.extend(Gate.swap(qubits[a], qubits[b]) for a, b in _swaps(op.pattern))
        elif values is not None and (matrix := _matrix(op)) is not None:
            # Qiskit's matrices put the first qubit in the least significant
            # bit; vantelo's put the first target in the most significant.
            steps.append(Gate.unitary(qubits[::-1], matrix))
        else:
            self.expand(op, qubits)

    def controlled(self, op: ControlledGate, qubits: list[int]) -> None:
        k = op.num_ctrl_qubits
        controls, targets = qubits[:k], qubits[k:]
        base = op.base_gate
        base_values = _numeric(base.params)
        if base.base_class is lib.XGate:
            self.program.steps.append(Gate.mcx(controls, targets[0]))
        elif base.base_class is lib.ZGate:
            self.program.steps.append(Gate.mcz(controls, targets[0]))
        elif base.base_class in (lib.PhaseGate, lib.U1Gate) and base_values is not None:
            self.program.steps.append(Gate.mcp(controls, targets[0], base_values[0]))
        elif (matrix := _matrix(base)) is not None:
            self.program.steps.append(Gate.controlled_unitary(controls, targets[::-1], matrix))
        else:
            self.expand(op, qubits)

    def expand(self, op: Instruction, qubits: list[int]) -> None:
        definition = op.definition
        if definition is None:
            raise UnsupportedConstruct(
                f"gate '{op.name}' on qubits {qubits} has no definition to expand"
            )
        self.circuit(definition, qubits, [])


def _synthesized(op: Any, qubits: list[int]) -> QuantumCircuit:
    """The operation written out by Qiskit's high-level synthesis."""
    from qiskit.transpiler.passes import HighLevelSynthesis

    holder = QuantumCircuit(op.num_qubits, op.num_clbits)
    holder.append(op, range(op.num_qubits), range(op.num_clbits))
    try:
        out: QuantumCircuit = HighLevelSynthesis()(holder)
    except Exception as error:
        raise UnsupportedConstruct(
            f"operation '{op.name}' on qubits {qubits} could not be synthesized by Qiskit: {error}"
        ) from None
    if any(instruction.operation is op for instruction in out.data):
        raise UnsupportedConstruct(f"operation '{op.name}' on qubits {qubits} is not supported")
    return out


def _kraus_of(op: Instruction) -> list[np.ndarray] | None:
    """The Kraus operators of a channel instruction, or None for anything else.

    Qiskit's ``kraus`` instruction carries them; Aer's ``quantum_channel``
    carries a channel object, and Aer's ``QuantumError`` a mixture of small
    circuits: a mixture of unitaries keeps that form (scaled unitaries, which
    vantelo draws without a norm)."""
    if op.name == "kraus":
        return [np.asarray(k, dtype=np.complex64) for k in op.params]
    probabilities = getattr(op, "probabilities", None)
    circuits = getattr(op, "circuits", None)
    if hasattr(op, "to_quantumchannel") and probabilities is not None and circuits is not None:
        from qiskit.quantum_info import Operator

        try:
            return [np.asarray(math.sqrt(p) * Operator(c).data, dtype=np.complex64)
                    for p, c in zip(probabilities, circuits) if p > 0]
        except Exception:  # a branch that is not unitary (a reset, a Kraus map)
            pass
    channel = op.to_quantumchannel() if hasattr(op, "to_quantumchannel") else None
    if op.name == "quantum_channel" and op.params:
        channel = op.params[0]
    if channel is None:
        return None
    from qiskit.quantum_info import Kraus

    return [np.asarray(k, dtype=np.complex64) for k in Kraus(channel).data]


def _matrix(op: Instruction) -> np.ndarray | None:
    """The gate's matrix when it is small and defined, else None."""
    if op.num_qubits > _MAX_DENSE_QUBITS:
        return None
    try:
        return np.asarray(op.to_matrix(), dtype=np.complex64)
    except Exception:  # Qiskit raises CircuitError for gates without a matrix
        return None


def translate(circuit: QuantumCircuit, noise: NoisePlan | None = None) -> Program:
    """The circuit as a Program; its parameters are `circuit.parameters`, in
    order. With `noise`, its errors follow the instructions they apply to."""
    if not isinstance(circuit, QuantumCircuit):
        raise TypeError(f"expected a qiskit QuantumCircuit, got {type(circuit).__name__}")
    translator = _Translator(circuit, noise)
    translator.circuit(circuit, range(circuit.num_qubits), range(circuit.num_clbits), noisy=True)
    if noise is not None:
        noise.check_conditions(translator.program)
    return translator.program
