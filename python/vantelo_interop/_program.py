"""The framework-neutral form that the Qiskit and OpenQASM front ends produce.

A `Program` is a list of steps on a register: fixed `vantelo.Gate` objects,
single-qubit rotations whose angle is ``scale * parameter + offset``,
measurements into classical bits, and resets. It is built in one pass by a
front end and turned into whatever the caller needs: a one-off `Circuit`, a
`CircuitSpec` whose slots are the program's parameters, or a compiled plan
with one slot per distinct angle expression (what the primitives bind).
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Callable, Literal, Sequence, Union

import numpy as np
from numpy.typing import NDArray

import vantelo
from vantelo import Gate

ROTATIONS = ("rx", "ry", "rz", "p")


class UnsupportedConstruct(ValueError):
    """A construct of the source circuit that vantelo cannot express."""


@dataclass(frozen=True)
class Rotation:
    kind: str  # one of ROTATIONS
    qubit: int
    param: int  # index into Program.parameters
    scale: float
    offset: float


@dataclass(frozen=True)
class Measure:
    qubit: int
    clbit: int


@dataclass(frozen=True)
class Reset:
    qubit: int
    # Nothing acted on the qubit before, so from |0…0⟩ the reset changes
    # nothing and has one outcome (a Program's other users keep it: a
    # circuit may start from another state).
    leading: bool = False


@dataclass(frozen=True)
class Barrier:
    pass


@dataclass(frozen=True)
class Conditional:
    """Gates applied only in the shots whose classical bits meet every
    condition. A condition is a group of tests of which at least one passes:
    a clbit ``b`` passes when it is 1, ``~b`` (negative) when clbit ``b`` is 0."""

    steps: tuple[Union[Gate, Rotation], ...]
    conditions: tuple[tuple[int, ...], ...]

    def holds(self, bits: NDArray[np.bool_]) -> bool:
        return all(any(bool(bits[t]) if t >= 0 else not bits[~t] for t in group)
                   for group in self.conditions)


Step = Union[Gate, Rotation, Measure, Reset, Barrier, Conditional]


@dataclass
class Program:
    num_qubits: int
    num_clbits: int = 0
    parameters: list[str] = field(default_factory=list)
    steps: list[Step] = field(default_factory=list)
    # Classical registers in declaration order: name and the clbits it holds,
    # least significant first.
    registers: list[tuple[str, list[int]]] = field(default_factory=list)
    # The numeric part of the global phase; a phase that depends on a free
    # parameter changes no expectation value or sample and is not kept.
    global_phase: float = 0.0
    # Steps that are channels (Gate.kraus and the like): such programs run as
    # seeded trajectories.
    channels: int = 0

    def rotation(self, kind: str, qubit: int, angle: "Angle") -> None:
        """Appends a rotation by a constant or affine angle."""
        self.steps.append(rotation_step(kind, qubit, angle))

    @property
    def is_parameterized(self) -> bool:
        return any(isinstance(s, Rotation) for s in self.steps)


@dataclass(frozen=True)
class Angle:
    """``scale * parameters[param] + offset``, or the constant ``offset``."""

    param: int | None
    scale: float
    offset: float

    @staticmethod
    def constant(value: float) -> "Angle":
        return Angle(None, 0.0, float(value))


_FIXED_ROTATION: dict[str, Callable[[int, float], Gate]] = {
    "rx": Gate.rx,
    "ry": Gate.ry,
    "rz": Gate.rz,
    "p": Gate.p,
}


def rotation_step(kind: str, qubit: int, angle: Angle) -> Gate | Rotation:
    """A fixed rotation for a constant angle, else a `Rotation` on its parameter."""
    if angle.param is None or angle.scale == 0.0:
        return _FIXED_ROTATION[kind](qubit, angle.offset)
    return Rotation(kind, qubit, angle.param, angle.scale, angle.offset)


def phase_gate(phase: float) -> Gate:
    """A global phase as a one-qubit gate on qubit 0."""
    value = complex(math.cos(phase), math.sin(phase))
    return Gate.unitary([0], np.array([[value, 0], [0, value]], dtype=np.complex64))


def to_circuit(program: Program) -> vantelo.Circuit:
    """A one-off circuit; the program must have no free parameters."""
    if program.is_parameterized:
        raise ValueError("the circuit has free parameters; bind them or build a CircuitSpec")
    gates: list[Gate] = []
    for step in program.steps:
        if isinstance(step, Measure):
            gates.append(Gate.measure(step.qubit))
        elif isinstance(step, Reset):
            gates.append(Gate.reset(step.qubit))
        elif isinstance(step, Barrier):
            gates.append(Gate.barrier())
        elif isinstance(step, Conditional):
            _append_fixed(vantelo.CircuitSpec(1), step)  # refuses it
        else:
            assert not isinstance(step, Rotation)  # a program with rotations was refused above
            gates.append(step)
    if program.global_phase % (2 * math.pi) != 0.0 and program.num_qubits > 0:
        gates.append(phase_gate(program.global_phase))
    return vantelo.Circuit(gates)


def _append_fixed(spec: vantelo.CircuitSpec, step: Gate | Measure | Reset | Barrier | Conditional) -> None:
    if isinstance(step, Conditional):
        raise UnsupportedConstruct(
            "a classically controlled gate needs the shots' own outcomes; it runs only per-shot trajectories"
        )
    if isinstance(step, Measure):
        spec.gate(Gate.measure(step.qubit))
    elif isinstance(step, Reset):
        spec.gate(Gate.reset(step.qubit))
    elif isinstance(step, Barrier):
        spec.gate(Gate.barrier())
    else:
        spec.gate(step)


# Conjugating a rotation by these Paulis negates its angle: Z rx(t) Z = rx(-t),
# Z ry(t) Z = ry(-t), X rz(t) X = rz(-t); X p(t) X = e^{it} p(-t) differs
# from p(-t) by a global phase only.
_NEGATOR = {"rx": Gate.z, "ry": Gate.z, "rz": Gate.x, "p": Gate.x}


def to_spec(program: Program, *, max_operations: int = 10_000_000) -> vantelo.CircuitSpec:
    """A `CircuitSpec` whose slots are the program's parameters, in order and by
    name. Angles ``k * t + c`` with integer ``k`` are built exactly from |k|
    rotations on slot ``t`` and a fixed rotation by ``c``; other factors need
    a slot of their own, which only the primitives provide. A spec of more
    than ``max_operations`` items is refused before it is built."""
    total = 0
    for step in program.steps:
        if isinstance(step, Rotation) and math.isfinite(step.scale):
            total += abs(round(step.scale)) + 3
        else:
            total += 1
    if total > max_operations:
        raise ValueError(
            f"the circuit expands to more than max_operations={max_operations} operations (an "
            "angle k*t with integer k becomes |k| rotations)"
        )
    spec = vantelo.CircuitSpec(max(program.num_qubits, 1))
    handles = [spec.param(name) for name in program.parameters]
    for step in program.steps:
        if not isinstance(step, Rotation):
            _append_fixed(spec, step)
            continue
        k = round(step.scale) if math.isfinite(step.scale) else None
        if k != step.scale:
            raise UnsupportedConstruct(
                f"angle {step.scale!r}*{program.parameters[step.param]} + {step.offset!r} of "
                f"{step.kind} on qubit {step.qubit} has a non-integer factor, which a "
                "CircuitSpec slot cannot express; use the qiskit primitives or bind the parameter"
            )
        if step.offset != 0.0:
            spec.gate(_FIXED_ROTATION[step.kind](step.qubit, step.offset))
        negate = _NEGATOR[step.kind](step.qubit) if k < 0 else None
        if negate is not None:
            spec.gate(negate)
        add = getattr(spec, step.kind)
        assert k is not None
        for _ in range(abs(k)):
            add(step.qubit, handles[step.param])
        if negate is not None:
            spec.gate(_NEGATOR[step.kind](step.qubit))
    return spec


@dataclass
class BoundPlan:
    """A compiled plan with one slot per distinct angle expression.

    ``slot_values(values)`` maps parameter values (..., P) to the plan's slot
    values (..., S): column s is ``scales[s] * values[..., params[s]] +
    offsets[s]``, formed in double precision and rounded once to float32.
    """

    compiled: vantelo.CompiledCircuit
    params: NDArray[np.intp]
    scales: NDArray[np.float64]
    offsets: NDArray[np.float64]

    def slot_values(self, values: NDArray[np.float64]) -> NDArray[np.float32]:
        values = np.asarray(values, dtype=np.float64)
        if self.params.size == 0:
            return np.zeros(values.shape[:-1] + (0,), dtype=np.float32)
        slots = values[..., self.params] * self.scales + self.offsets
        return slots.astype(np.float32)


Sums = Literal["float32", "float64"]


def compile_bound(program: Program, steps: Sequence[Step] | None = None, *,
                  fusion: int = 0, sums: Sums = "float32") -> BoundPlan:
    """Compiles ``steps`` (default: the whole program) with a slot per distinct
    (parameter, scale, offset); a plain ``t`` keeps its value exactly.
    ``fusion`` and ``sums`` are `CircuitSpec.compile`'s options."""
    spec = vantelo.CircuitSpec(max(program.num_qubits, 1))
    slots: dict[tuple[int, float, float], vantelo.Parameter] = {}
    for step in program.steps if steps is None else steps:
        if isinstance(step, Rotation):
            key = (step.param, step.scale, step.offset)
            handle = slots.get(key)
            if handle is None:
                handle = slots[key] = spec.param()
            getattr(spec, step.kind)(step.qubit, handle)
        else:
            _append_fixed(spec, step)
    keys = list(slots)
    return BoundPlan(
        spec.compile(fusion=fusion, sums=sums),
        np.array([k[0] for k in keys], dtype=np.intp),
        np.array([k[1] for k in keys], dtype=np.float64),
        np.array([k[2] for k in keys], dtype=np.float64),
    )


def pauli_observable(terms: dict[str, float] | Sequence[tuple[str, float]]) -> vantelo.Observable:
    """An observable from Pauli labels in Qiskit's order (the last character is
    qubit 0) and real coefficients."""
    items = terms.items() if isinstance(terms, dict) else terms
    observables = []
    for label, coeff in items:
        ops = []
        for qubit, letter in enumerate(reversed(label)):
            if letter in "XYZ":
                ops.append((letter, qubit))
            elif letter != "I":
                raise UnsupportedConstruct(
                    f"observable term '{label}' uses '{letter}'; only Pauli terms (I, X, Y, Z) are supported"
                )
        observables.append(vantelo.Observable.pauli_string(ops, float(np.real(coeff))))
    if not observables:
        observables.append(vantelo.Observable.pauli_string([], 0.0))
    return vantelo.Observable.hamiltonian(observables)
