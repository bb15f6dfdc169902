"""Cirq circuit to a `Program`, in one pass over the operations.

Cirq orders qubits big-endian (the first qubit of the order is the most
significant bit of a state index) and vantelo little-endian, so the qubit at
position ``i`` of the order becomes vantelo qubit ``n - 1 - i``: the state
vectors then have the same index order in both, and a Cirq matrix on
``(a, b)`` is a vantelo `Gate.unitary` on ``(a, b)`` unchanged.

Gates with numeric exponents map to vantelo's own constructors where it has
one, else to their Cirq unitary (exact, global phase included) up to three
qubits, else to their decomposition. Gates with symbolic exponents map,
through the table `_SYMBOLIC`, onto rotations whose angles are affine in one
symbol, which become parameters of the compiled circuit. Global phases,
symbolic ones included, are kept apart as ``phase`` and ``phase_terms`` and
applied to final states only.

Channels map through `_CHANNELS` onto vantelo's own (with Cirq's parameter
conventions converted there), and any other channel of up to three qubits
onto `Gate.kraus` of its Kraus operators; a program with channels runs as
seeded trajectories.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, field
from typing import Callable, Iterable, Sequence

import cirq
import numpy as np
import sympy
from numpy.typing import NDArray

from vantelo import Gate

from .._conditions import MAX_CONDITION_BITS, condition_groups
from .._program import (
    Angle,
    Conditional,
    Measure,
    Program,
    Reset,
    Rotation,
    UnsupportedConstruct,
    phase_gate,
    rotation_step,
)

# Wider gates are decomposed by Cirq rather than turned into dense matrices.
_MAX_DENSE_QUBITS = 3
_PI = math.pi


@dataclass
class CirqProgram:
    """A translated circuit: the program, the qubits in Cirq's order
    (``qubits[i]`` is vantelo qubit ``n - 1 - i``), each measurement key's
    clbits in the order of its qubits, and the global phase
    ``phase + sum(scale * parameters[p] for p, scale in phase_terms.items())``.
    A key measured more than once has one list of clbits per measurement."""

    program: Program
    qubits: list[cirq.Qid]
    # The sympy symbol of each program parameter, in order, or the
    # expression a parameter stands for when an angle is not affine in one
    # symbol.
    symbols: list[sympy.Basic] = field(default_factory=list)
    keys: dict[str, list[list[int]]] = field(default_factory=dict)
    phase: float = 0.0
    phase_terms: dict[int, float] = field(default_factory=dict)
    # Clbits whose recorded value is the inverse of the simulated outcome
    # (an ``invert_mask`` whose key no classical control reads).
    inverted: list[int] = field(default_factory=list)
    # Confusion matrices of measurements: the clbits a matrix's index reads
    # (big-endian) and the matrix, whose row of the true outcome gives the
    # probabilities of the recorded ones.
    confusions: list[tuple[list[int], NDArray[np.float64]]] = field(default_factory=list)

    @property
    def num_qubits(self) -> int:
        return len(self.qubits)

    def has_measurements(self) -> bool:
        return any(isinstance(s, (Measure, Reset, Conditional)) for s in self.program.steps)

    def confuse(self, bits: NDArray[np.bool_], rng: np.random.Generator) -> NDArray[np.bool_]:
        """Simulated clbits ``bits`` (..., num_clbits) as the confusion
        matrices record them, each drawn from its matrix's row for the true
        outcome, as Cirq draws them (before any invert mask)."""
        if not self.confusions:
            return bits
        out = bits.copy()
        for clbits, matrix in self.confusions:
            places = np.arange(len(clbits) - 1, -1, -1)
            true = (bits[..., clbits].astype(np.int64) << places).sum(axis=-1).reshape(-1)
            drawn = np.empty_like(true)
            for row in np.unique(true):
                where = true == row
                drawn[where] = rng.choice(len(matrix), size=int(where.sum()), p=matrix[row])
            out[..., clbits] = ((drawn.reshape(bits.shape[:-1])[..., None] >> places) & 1).astype(bool)
        return out

    def record(self, bits: NDArray[np.bool_], key: str) -> NDArray[np.uint8]:
        """The bits of ``key`` as Cirq records them, shape (..., instances,
        qubits), from simulated clbits ``bits`` (..., num_clbits)."""
        clbits = np.array(self.keys[key])
        flips = np.isin(clbits, self.inverted)
        return (bits[..., clbits] ^ flips).astype(np.uint8)


_NATIVE_GATES: dict[cirq.Gate, Callable[..., Gate]] = {
    cirq.X: Gate.x,
    cirq.Y: Gate.y,
    cirq.Z: Gate.z,
    cirq.H: Gate.h,
    cirq.S: Gate.s,
    cirq.S**-1: Gate.sdg,
    cirq.T: Gate.t,
    cirq.T**-1: Gate.tdg,
    cirq.CNOT: Gate.cx,
    cirq.CZ: Gate.cz,
    cirq.SWAP: Gate.swap,
    cirq.ISWAP: Gate.iswap,
    cirq.CCX: Gate.ccx,
    cirq.CSWAP: Gate.cswap,
    cirq.CCZ: lambda a, b, c: Gate.mcz([a, b], c),
}


def _key(gate: object) -> tuple[type, object, object]:
    # Cirq's own gate hash canonicalises exponents and is slow; this key is
    # exact on the attributes instead.
    return type(gate), getattr(gate, "exponent", None), getattr(gate, "global_shift", None)


_NATIVE = {_key(gate): constructor for gate, constructor in _NATIVE_GATES.items()}


# Cirq's channels with a vantelo counterpart: the gate and its qubits to the
# channel, or None where only the general Kraus form fits (Cirq's
# depolarizing and asymmetric depolarizing channels on three or more qubits).
_CHANNELS: dict[type, Callable[..., Gate | None]] = {
    cirq.BitFlipChannel: lambda g, q: Gate.bit_flip(q[0], g.p),
    cirq.PhaseFlipChannel: lambda g, q: Gate.phase_flip(q[0], g.p),
    # Cirq's p, like ours, is the probability of a non-identity Pauli.
    cirq.DepolarizingChannel: lambda g, q: (
        Gate.depolarizing(q[0], g.p) if len(q) == 1 else Gate.depolarizing2(q[0], q[1], g.p) if len(q) == 2
        else None),
    cirq.AsymmetricDepolarizingChannel: lambda g, q: (
        Gate.pauli_error(q[0], g.p_x, g.p_y, g.p_z) if len(q) == 1 else None),
    cirq.PhaseDampingChannel: lambda g, q: Gate.phase_damping(q[0], g.gamma),
    cirq.AmplitudeDampingChannel: lambda g, q: Gate.amplitude_damping(q[0], g.gamma),
    # Cirq's p weighs the decay towards |0>; ours is the weight towards |1>.
    cirq.GeneralizedAmplitudeDampingChannel: lambda g, q: Gate.generalized_amplitude_damping(
        q[0], g.gamma, 1.0 - g.p),
}


def _reset_channel(qubit: int) -> Gate:
    """Cirq's reset as the channel it is: {|0><0|, |0><1|}."""
    return Gate.reset_error(qubit, 1.0, 0.0)


@functools.lru_cache(maxsize=4096)
def _affine(value: sympy.Basic) -> tuple[sympy.Basic | None, float, float]:
    """``value`` as (symbol, slope, offset), ``slope * symbol + offset``
    (symbol None for a constant). An expression that is not affine in one
    symbol (``x*y``, ``sin(x)``) is a parameter of its own: (value, 1, 0),
    which each resolver evaluates. Cached by value: sympy's analysis costs
    more than the rest of a gate's translation, and a circuit repeats a few
    expressions many times."""
    free = value.free_symbols
    if not free:
        return None, 0.0, float(value)  # type: ignore[arg-type, unused-ignore]
    if len(free) == 1:
        (symbol,) = free
        slope = sympy.diff(value, symbol)
        if not slope.free_symbols:
            return symbol, float(slope), float(value.subs(symbol, 0))
    return value, 1.0, 0.0


def _control_bits(values: object, count: int) -> list[int] | None:
    """The value each control waits for when each is a single 0 or 1, else
    None (a sum of products, or a control on several values)."""
    try:
        bits = [tuple(v) for v in values]  # type: ignore[attr-defined, unused-ignore]
    except TypeError:  # a sum of products
        return None
    if len(bits) != count or not all(len(b) == 1 and b[0] in (0, 1) for b in bits):
        return None
    return [int(b[0]) for b in bits]


class _Translator:
    def __init__(self, qubits: Sequence[cirq.Qid], control_keys: set[str]) -> None:
        n = len(qubits)
        self.index = {q: n - 1 - i for i, q in enumerate(qubits)}
        self.symbols: dict[sympy.Basic, int] = {}
        self.out = CirqProgram(Program(num_qubits=max(n, 1)), list(qubits))
        self.steps = self.out.program.steps
        self.conditional = False
        # Keys that classical controls read: their bits must be right during
        # the run, not only in the record.
        self.control_keys = control_keys

    # -- angles and phases

    def angle(self, value: object, factor: float, where: object) -> Angle:
        """``factor * value`` for a number or a symbolic expression (an
        expression not affine in one symbol is a parameter of its own)."""
        if not isinstance(value, sympy.Basic):
            return Angle.constant(factor * float(value))  # type: ignore[arg-type, unused-ignore]
        symbol, slope, offset = _affine(value)
        if symbol is None:
            return Angle.constant(factor * offset)
        param = self.symbols.get(symbol)  # type: ignore[call-overload, unused-ignore]
        if param is None:
            param = self.symbols[symbol] = len(self.out.program.parameters)  # type: ignore[index, unused-ignore]
            self.out.program.parameters.append(str(symbol))
            self.out.symbols.append(symbol)
        return Angle(param, factor * slope, factor * offset)

    def add_phase(self, angle: Angle) -> None:
        if self.conditional:
            # A phase only on the shots whose conditions hold is a gate there.
            if angle.param is None and angle.offset != 0.0:
                self.steps.append(phase_gate(angle.offset))
            return
        self.out.phase += angle.offset
        if angle.param is not None:
            terms = self.out.phase_terms
            terms[angle.param] = terms.get(angle.param, 0.0) + angle.scale

    def rot(self, kind: str, qubit: int, angle: Angle) -> None:
        self.steps.append(rotation_step(kind, qubit, angle))

    def gate(self, gate: Gate) -> None:
        self.steps.append(gate)

    # -- operations

    def operation(self, op: cirq.Operation) -> None:
        op = op.untagged
        gate = op.gate
        if any(q.dimension != 2 for q in op.qubits):
            raise UnsupportedConstruct(f"operation {op} acts on qudits; only qubits are supported")
        qubits = [self.index[q] for q in op.qubits]
        if isinstance(op, cirq.ClassicallyControlledOperation):
            self.classically_controlled(op)
        elif isinstance(gate, cirq.MeasurementGate):
            self.measurement(op, gate, qubits)
        elif isinstance(gate, cirq.ResetChannel):
            self.no_feedback_inside(op)
            self.steps.append(Reset(qubits[0]))
        elif isinstance(gate, cirq.GlobalPhaseGate):
            coefficient = gate.coefficient
            if isinstance(coefficient, sympy.Basic) and coefficient.free_symbols:
                self.add_phase(self.angle(self.phase_angle(op, coefficient), 1.0, op))
            else:
                self.add_phase(Angle.constant(float(np.angle(complex(coefficient)))))  # type: ignore[arg-type, unused-ignore]
        elif isinstance(gate, (cirq.IdentityGate, cirq.WaitGate)):
            pass
        elif type(gate) in _CHANNELS:
            self.channel(op, qubits)
        elif not cirq.is_parameterized(op):
            self.numeric(op, qubits)
        elif isinstance(gate, cirq.ControlledGate):
            self.controlled_symbolic(op, gate)
        else:
            handler = next((_SYMBOLIC[t] for t in type(gate).__mro__ if t in _SYMBOLIC), None)
            if handler is not None:
                handler(self, gate, qubits, op)
            else:
                self.decompose(op)

    def numeric(self, op: cirq.Operation, qubits: list[int]) -> None:
        gate = op.gate
        native = _NATIVE.get(_key(gate))
        if native is not None:
            self.gate(native(*qubits))
        elif type(gate) is cirq.QuantumFourierTransformGate:
            self.qft(gate, qubits)
        elif type(gate) is cirq.ZPowGate:
            self.gate(Gate.p(qubits[0], _PI * gate.exponent))
            self.add_phase(Angle.constant(_PI * gate.exponent * gate.global_shift))
        elif type(gate) is cirq.CZPowGate:
            self.gate(Gate.cp(qubits[0], qubits[1], _PI * gate.exponent))
            self.add_phase(Angle.constant(_PI * gate.exponent * gate.global_shift))
        elif isinstance(gate, cirq.MatrixGate):
            self.gate(Gate.unitary(qubits, cirq.unitary(gate)))
        elif isinstance(op, cirq.ControlledOperation) or isinstance(gate, cirq.ControlledGate):
            self.controlled(op, qubits)
        elif len(qubits) <= _MAX_DENSE_QUBITS and cirq.has_unitary(op):
            self.dense(op, qubits)
        else:
            self.decompose(op)

    def qft(self, gate: cirq.QuantumFourierTransformGate, qubits: list[int]) -> None:
        """Cirq's own decomposition (h, controlled phases, swaps), written
        out: building it through Cirq costs more than simulating it. The
        controlled phases commute, so each follows the h of its earlier
        qubit rather than preceding the h of its later one: grouped by the
        earlier qubit, the run needs fewer passes over the state."""
        for j, first in enumerate(qubits):
            self.gate(Gate.h(first))
            for i in range(j + 1, len(qubits)):
                self.gate(Gate.cp(qubits[i], first, _PI / 2 ** (i - j)))
        if not gate._without_reverse:
            n = len(qubits)
            self.steps.extend(Gate.swap(qubits[i], qubits[n - 1 - i]) for i in range(n // 2))

    def dense(self, op: cirq.Operation, qubits: list[int]) -> None:
        if qubits:
            self.gate(Gate.unitary(qubits, cirq.unitary(op)))
        else:
            self.add_phase(Angle.constant(float(np.angle(cirq.unitary(op)[0, 0]))))

    def controlled(self, op: cirq.Operation, qubits: list[int]) -> None:
        """Controls that are each 0 or 1 and a sub gate with a unitary; the
        sub gate's own global phase is applied where the controls hold, so it
        is kept exactly."""
        if isinstance(op, cirq.ControlledOperation):
            values, sub = op.control_values, op.sub_operation
            count = len(op.controls)
        else:
            gate = op.gate
            assert isinstance(gate, cirq.ControlledGate)
            values, sub = gate.control_values, gate.sub_gate.on(*op.qubits[gate.num_controls() :])
            count = gate.num_controls()
        bits = _control_bits(values, count)
        controls, targets = qubits[:count], qubits[count:]
        sub_gate = sub.untagged.gate
        if bits is None or len(targets) > _MAX_DENSE_QUBITS or not cirq.has_unitary(sub):
            # Wide sub gates (a controlled phase gradient in the QFT) are
            # decomposed: their dense matrix would be 4**k entries.
            if len(qubits) <= _MAX_DENSE_QUBITS and cirq.has_unitary(op):
                self.dense(op, qubits)
            else:
                self.decompose(op)
            return
        flips = [Gate.x(c) for c, b in zip(controls, bits) if b == 0]
        self.steps.extend(flips)
        if sub_gate == cirq.X:
            self.gate(Gate.mcx(controls, targets[0]))
        elif sub_gate == cirq.Z:
            self.gate(Gate.mcz(controls, targets[0]))
        elif type(sub_gate) is cirq.ZPowGate and sub_gate.global_shift == 0:
            self.gate(Gate.mcp(controls, targets[0], _PI * sub_gate.exponent))
        else:
            self.gate(Gate.controlled_unitary(controls, targets, cirq.unitary(sub)))
        self.steps.extend(flips)

    @staticmethod
    def phase_angle(op: cirq.Operation, coefficient: sympy.Basic) -> sympy.Basic:
        """The angle of a symbolic coefficient ``b**e`` with ``|b| = 1`` (as
        in Cirq's decompositions of controlled rotations) or ``exp(i*x)``."""
        base, exponent = coefficient.as_base_exp()
        angle = None
        if not base.free_symbols:
            if base == sympy.E:
                angle = sympy.expand(exponent / sympy.I)
            elif abs(abs(complex(base)) - 1.0) < 1e-12:
                angle = exponent * float(np.angle(complex(base)))
        if angle is None or angle.has(sympy.I):
            raise UnsupportedConstruct(f"global phase {op} with a symbolic coefficient is not supported "
                                       "(only b**x with |b| = 1, or exp(i*x))")
        return angle

    def controlled_symbolic(self, op: cirq.Operation, gate: cirq.ControlledGate) -> None:
        """A symbolic gate under controls that are each 0 or 1. Controls on 0
        become controls on 1 between X gates (Cirq decomposes only the
        latter); a global phase under controls is a phase gate on the last
        control, controlled by the others; the rest goes through Cirq's
        decomposition."""
        count = gate.num_controls()
        controls, targets = op.qubits[:count], op.qubits[count:]
        bits = _control_bits(gate.control_values, count)
        if bits is None:
            self.decompose(op)
            return
        flips = [cirq.X(c) for c, b in zip(controls, bits) if b == 0]
        if isinstance(gate.sub_gate, cirq.GlobalPhaseGate):
            angle = self.phase_angle(op, gate.sub_gate.coefficient)
            inner = cirq.ZPowGate(exponent=angle / sympy.pi).on(controls[-1])
            if count > 1:
                inner = inner.controlled_by(*controls[:-1])
        elif flips:
            inner = gate.sub_gate.on(*targets).controlled_by(*controls)
        else:
            self.decompose(op)
            return
        for part in [*flips, inner, *flips]:
            self.operation(part)

    def decompose(self, op: cirq.Operation) -> None:
        parts = cirq.decompose_once(op, default=None)
        if parts is None:
            if not cirq.is_parameterized(op) and cirq.has_unitary(op):
                # No decomposition: the dense matrix, however wide.
                self.dense(op, [self.index[q] for q in op.qubits])
                return
            if not cirq.is_parameterized(op) and cirq.has_kraus(op):
                self.channel(op, [self.index[q] for q in op.qubits])
                return
            kind = "it has no unitary (a channel or other non-unitary operation)"
            if cirq.is_parameterized(op):
                symbols = ", ".join(sorted(cirq.parameter_names(op)))
                kind = f"its gate {type(op.gate).__name__} has symbols ({symbols}) and no decomposition"
            raise UnsupportedConstruct(f"operation {op} is not supported: {kind}")
        for part in parts:
            self.operation(part)

    def channel(self, op: cirq.Operation, qubits: list[int]) -> None:
        self.no_feedback_inside(op)
        build = _CHANNELS.get(type(op.gate))
        channel = build(op.gate, qubits) if build is not None else None
        if channel is None:
            if not 1 <= len(qubits) <= _MAX_DENSE_QUBITS:
                raise UnsupportedConstruct(
                    f"channel {op} acts on {len(qubits)} qubits; vantelo's channels act on 1 to 3")
            channel = Gate.kraus(qubits, list(cirq.kraus(op)))
        self.steps.append(channel)
        self.out.program.channels += 1

    def measurement(self, op: cirq.Operation, gate: cirq.MeasurementGate, qubits: list[int]) -> None:
        self.no_feedback_inside(op)
        key = str(gate.mkey)
        earlier = self.out.keys.setdefault(key, [])
        if earlier and len(earlier[0]) != len(qubits):
            raise UnsupportedConstruct(f"measurement key '{key}' is measured on {len(qubits)} qubits by {op} "
                                       f"and on {len(earlier[0])} before")
        if gate.confusion_map and key in self.control_keys:
            raise UnsupportedConstruct(
                f"measurement {op} has a confusion map and classical controls read its key, which is not "
                "supported")
        program = self.out.program
        clbits = list(range(program.num_clbits, program.num_clbits + len(qubits)))
        for indices, matrix in gate.confusion_map.items():
            self.out.confusions.append(([clbits[i] for i in indices], np.asarray(matrix, dtype=np.float64)))
        program.num_clbits += len(qubits)
        program.registers.append((key, clbits))
        earlier.append(clbits)
        mask = gate.full_invert_mask()
        if key not in self.control_keys:
            # The state collapses as without the mask; only the record is
            # inverted, so a terminal measurement stays terminal.
            self.out.inverted += [c for c, inverted in zip(clbits, mask) if inverted]
            self.steps.extend(Measure(q, c) for q, c in zip(qubits, clbits))
            return
        # X, measure, X: the state collapses as without the flips and the
        # clbit that later conditions read is the inverted outcome.
        flips = [Gate.x(q) for q, inverted in zip(qubits, mask) if inverted]
        self.steps.extend(flips)
        self.steps.extend(Measure(q, c) for q, c in zip(qubits, clbits))
        self.steps.extend(flips)

    def no_feedback_inside(self, op: cirq.Operation) -> None:
        if self.conditional:
            raise UnsupportedConstruct(f"{op} inside a classically controlled operation is not supported")

    def condition_groups(self, condition: cirq.Condition, op: cirq.Operation) -> list[tuple[int, ...]] | None:
        """Groups of any other condition (a sympy expression, a bit mask), by
        Cirq's own resolution at each setting of the latest bits of its keys."""
        keys = list(condition.keys)
        bits = [self.out.keys[str(key)][-1] for key in keys]
        where = [b for clbits in bits for b in clbits]
        if len(where) > MAX_CONDITION_BITS:
            raise UnsupportedConstruct(
                f"classical condition '{condition}' of {op} reads {len(where)} measured bits; at most "
                f"{MAX_CONDITION_BITS} are supported")

        def holds(setting: int) -> bool:
            records, j = {}, 0
            for key, clbits in zip(keys, bits):
                records[key] = [tuple((setting >> (j + i)) & 1 for i in range(len(clbits)))]
                j += len(clbits)
            try:
                return bool(condition.resolve(cirq.ClassicalDataDictionaryStore(_records=records)))
            except (TypeError, ValueError) as e:
                raise UnsupportedConstruct(f"classical condition '{condition}' of {op}: {e}") from e

        return condition_groups(where, holds)

    def classically_controlled(self, op: cirq.ClassicallyControlledOperation) -> None:
        if self.conditional:
            raise UnsupportedConstruct(f"nested classical control {op} is not supported")
        groups: list[tuple[int, ...]] = []
        for condition in op.classical_controls:
            if getattr(condition, "index", -1) != -1:
                raise UnsupportedConstruct(
                    f"classical condition '{condition}' of {op} is not supported; conditions read the "
                    "latest measurement of a key")
            for key in condition.keys:
                if str(key) not in self.out.keys:
                    raise UnsupportedConstruct(
                        f"{op} is conditioned on key '{key}', which is not measured before it")
            if isinstance(condition, cirq.KeyCondition):
                # The latest measurement, as Cirq reads it, is nonzero.
                groups.append(tuple(self.out.keys[str(condition.key)][-1]))
                continue
            tests = self.condition_groups(condition, op)
            if tests is None:
                return  # never holds
            groups += tests
        outer = self.steps
        self.steps = []
        self.conditional = True
        try:
            self.operation(op.without_classical_controls())
            inner = self.steps
        finally:
            self.steps, self.conditional = outer, False
        assert all(isinstance(s, (Gate, Rotation)) for s in inner)
        outer.append(Conditional(tuple(inner), tuple(groups)))  # type: ignore[arg-type, unused-ignore]


# ---------------------------------------------------------------- symbolic gates
#
# Each handler builds the gate exactly, global phase included, from rotations
# (rx, ry, rz, p) whose angles are affine in the gate's symbols, and fixed
# gates. With t the exponent and s the global shift:
#   XPow = e^{iπt(s+1/2)} rx(πt), YPow likewise with ry,
#   ZPow = e^{iπts} p(πt),  HPow = e^{iπts} ry(π/4) p(πt) ry(-π/4),
#   CZPow = e^{iπts} cp(πt),  CXPow = H CZPow H on the target,
#   ZZPow = e^{iπt(s+1/2)} exp(-iπt/2 ZZ), XX and YY by a change of basis,
#   ISwapPow = e^{iπts} exp(iπt/4 (XX + YY)),  SwapPow = e^{iπts} CX(b,a) CX(a,b)^t CX(b,a),
#   FSim(θ, φ) = exp(-iθ/2 (XX + YY)) cp(-φ).


def _pow_1q(kind: str, half: bool) -> Callable[[_Translator, cirq.EigenGate, list[int], object], None]:
    def apply(tr: _Translator, gate: cirq.EigenGate, q: list[int], where: object) -> None:
        tr.rot(kind, q[0], tr.angle(gate.exponent, _PI, where))
        tr.add_phase(tr.angle(gate.exponent, _PI * (gate.global_shift + (0.5 if half else 0.0)), where))

    return apply


def _hpow(tr: _Translator, gate: cirq.HPowGate, q: list[int], where: object) -> None:
    tr.gate(Gate.ry(q[0], -_PI / 4))
    tr.rot("p", q[0], tr.angle(gate.exponent, _PI, where))
    tr.gate(Gate.ry(q[0], _PI / 4))
    tr.add_phase(tr.angle(gate.exponent, _PI * gate.global_shift, where))


def _phased_x(tr: _Translator, gate: cirq.PhasedXPowGate, q: list[int], where: object) -> None:
    # Z^p X^t Z^-p, applied right to left.
    tr.rot("p", q[0], tr.angle(gate.phase_exponent, -_PI, where))
    tr.rot("rx", q[0], tr.angle(gate.exponent, _PI, where))
    tr.rot("p", q[0], tr.angle(gate.phase_exponent, _PI, where))
    tr.add_phase(tr.angle(gate.exponent, _PI * (gate.global_shift + 0.5), where))


def _cp(tr: _Translator, a: int, b: int, angle: Angle) -> None:
    """cp(θ) = p_a(θ/2) p_b(θ/2) CX p_b(-θ/2) CX, exactly."""
    half = Angle(angle.param, angle.scale / 2, angle.offset / 2)
    minus = Angle(angle.param, -half.scale, -half.offset)
    tr.gate(Gate.cx(a, b))
    tr.rot("p", b, minus)
    tr.gate(Gate.cx(a, b))
    tr.rot("p", a, half)
    tr.rot("p", b, half)


def _czpow(tr: _Translator, gate: cirq.CZPowGate, q: list[int], where: object) -> None:
    _cp(tr, q[0], q[1], tr.angle(gate.exponent, _PI, where))
    tr.add_phase(tr.angle(gate.exponent, _PI * gate.global_shift, where))


def _cxpow(tr: _Translator, gate: cirq.CXPowGate, q: list[int], where: object) -> None:
    tr.gate(Gate.h(q[1]))
    _cp(tr, q[0], q[1], tr.angle(gate.exponent, _PI, where))
    tr.gate(Gate.h(q[1]))
    tr.add_phase(tr.angle(gate.exponent, _PI * gate.global_shift, where))


# Basis changes V with V Z V† = P, as (gates applying V†, gates applying V).
_BASIS: dict[str, tuple[Callable[[int], list[Gate]], Callable[[int], list[Gate]]]] = {
    "X": (lambda q: [Gate.h(q)], lambda q: [Gate.h(q)]),
    "Y": (lambda q: [Gate.sdg(q), Gate.h(q)], lambda q: [Gate.h(q), Gate.s(q)]),
    "Z": (lambda q: [], lambda q: []),
}


def _pauli_pair(tr: _Translator, pauli: str, a: int, b: int, angle: Angle) -> None:
    """exp(-iθ/2 P⊗P) for θ = angle."""
    to_z, back = _BASIS[pauli]
    tr.steps.extend(to_z(a) + to_z(b))
    tr.gate(Gate.cx(a, b))
    tr.rot("rz", b, angle)
    tr.gate(Gate.cx(a, b))
    tr.steps.extend(back(a) + back(b))


def _pair_pow(pauli: str) -> Callable[[_Translator, cirq.EigenGate, list[int], object], None]:
    def apply(tr: _Translator, gate: cirq.EigenGate, q: list[int], where: object) -> None:
        _pauli_pair(tr, pauli, q[0], q[1], tr.angle(gate.exponent, _PI, where))
        tr.add_phase(tr.angle(gate.exponent, _PI * (gate.global_shift + 0.5), where))

    return apply


def _iswap_pow(tr: _Translator, gate: cirq.ISwapPowGate, q: list[int], where: object) -> None:
    angle = tr.angle(gate.exponent, -_PI / 2, where)
    _pauli_pair(tr, "X", q[0], q[1], angle)
    _pauli_pair(tr, "Y", q[0], q[1], angle)
    tr.add_phase(tr.angle(gate.exponent, _PI * gate.global_shift, where))


def _phased_iswap(tr: _Translator, gate: cirq.PhasedISwapPowGate, q: list[int], where: object) -> None:
    # Z^-p ⊗ Z^p, ISWAP^t, Z^p ⊗ Z^-p (right to left).
    a, b = q
    tr.rot("rz", a, tr.angle(gate.phase_exponent, _PI, where))
    tr.rot("rz", b, tr.angle(gate.phase_exponent, -_PI, where))
    _iswap_pow(tr, cirq.ISwapPowGate(exponent=gate.exponent), q, where)
    tr.rot("rz", a, tr.angle(gate.phase_exponent, -_PI, where))
    tr.rot("rz", b, tr.angle(gate.phase_exponent, _PI, where))


def _swap_pow(tr: _Translator, gate: cirq.SwapPowGate, q: list[int], where: object) -> None:
    a, b = q
    tr.gate(Gate.cx(b, a))
    tr.gate(Gate.h(b))
    _cp(tr, a, b, tr.angle(gate.exponent, _PI, where))
    tr.gate(Gate.h(b))
    tr.gate(Gate.cx(b, a))
    tr.add_phase(tr.angle(gate.exponent, _PI * gate.global_shift, where))


def _fsim(tr: _Translator, gate: cirq.FSimGate, q: list[int], where: object) -> None:
    theta = tr.angle(gate.theta, 1.0, where)
    _pauli_pair(tr, "X", q[0], q[1], theta)
    _pauli_pair(tr, "Y", q[0], q[1], theta)
    _cp(tr, q[0], q[1], tr.angle(gate.phi, -1.0, where))


_SYMBOLIC: dict[type, Callable[[_Translator, object, list[int], object], None]] = {
    cirq.XPowGate: _pow_1q("rx", half=True),
    cirq.YPowGate: _pow_1q("ry", half=True),
    cirq.ZPowGate: _pow_1q("p", half=False),
    cirq.HPowGate: _hpow,
    cirq.PhasedXPowGate: _phased_x,
    cirq.CZPowGate: _czpow,
    cirq.CXPowGate: _cxpow,
    cirq.XXPowGate: _pair_pow("X"),
    cirq.YYPowGate: _pair_pow("Y"),
    cirq.ZZPowGate: _pair_pow("Z"),
    cirq.ISwapPowGate: _iswap_pow,
    cirq.PhasedISwapPowGate: _phased_iswap,
    cirq.SwapPowGate: _swap_pow,
    cirq.FSimGate: _fsim,
}


def control_keys(operations: Iterable[cirq.Operation]) -> set[str]:
    """The measurement keys that classical controls among ``operations``
    read (`cirq.control_keys` of a circuit leaves out those it measures)."""
    return {str(key) for op in operations for key in cirq.control_keys(op)}


def translate(circuit: cirq.AbstractCircuit | Sequence[cirq.Operation], qubits: Sequence[cirq.Qid]) -> CirqProgram:
    """The circuit (or its operations in order) as a program on ``qubits``
    (Cirq's order, a superset of the circuit's qubits). In a program with
    channels, resets are channels too, so that its shots stay trajectories
    that vantelo runs whole."""
    if isinstance(circuit, cirq.AbstractCircuit):
        operations: Sequence[cirq.Operation] = list(circuit.all_operations())
    elif isinstance(circuit, (list, tuple)):
        operations = circuit
    else:
        raise TypeError(f"expected a cirq Circuit, got {type(circuit).__name__}")
    translator = _Translator(qubits, control_keys(operations))
    for op in operations:
        translator.operation(op)
    program = translator.out.program
    if program.channels:
        for i, step in enumerate(program.steps):
            if isinstance(step, Reset):
                program.steps[i] = _reset_channel(step.qubit)
                program.channels += 1
    return translator.out
