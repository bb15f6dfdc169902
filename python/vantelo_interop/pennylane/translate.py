"""The one translation table from PennyLane operations to vantelo gates.

PennyLane orders a state with its first wire as the most significant bit;
vantelo makes qubit 0 the least significant. Mapping wire position i of an
n-wire register to qubit n - 1 - i makes the two state arrays identical, and
both libraries take the first listed target of a matrix as its most
significant bit, so matrices pass through unchanged.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from vantelo import Gate

Qubits = Sequence[int]
# PennyLane's operations are typed as Any: PennyLane is optional and may be
# missing where this is type-checked.
Builder = Callable[[Sequence[float], Qubits, Any], list[Gate]]

_SX = np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]], np.complex128) / 2


def _fixed(name: str) -> Builder:
    make = getattr(Gate, name)
    return lambda p, q, op: [make(*q)]


def _angles(name: str) -> Builder:
    make = getattr(Gate, name)
    return lambda p, q, op: [make(*q, *p)]


def _controls_flipped(control_values: Sequence[bool] | None, controls: Qubits) -> list[Gate]:
    """X on every control that fires on |0⟩, before and after the gate."""
    if control_values is None:
        return []
    return [Gate.x(c) for c, v in zip(controls, control_values) if not v]


def _mcx(p: Sequence[float], q: Qubits, op: Any) -> list[Gate]:
    controls, target = list(q[:-1]), q[-1]
    flips = _controls_flipped(op.hyperparameters.get("control_values"), controls)
    return flips + [Gate.mcx(controls, target)] + flips


def _controlled_unitary(p: Sequence[float], q: Qubits, op: Any) -> list[Gate]:
    n_controls = len(op.control_wires)
    controls, targets = list(q[:n_controls]), list(q[n_controls:])
    flips = _controls_flipped(op.control_values, controls)
    matrix = np.asarray(op.base.matrix(), np.complex64)
    return flips + [Gate.controlled_unitary(controls, targets, matrix)] + flips


def _unitary(p: Sequence[float], q: Qubits, op: Any) -> list[Gate]:
    return [Gate.unitary(list(q), np.asarray(op.matrix(), np.complex64))]


def _global_phase(p: Sequence[float], q: Qubits, op: Any) -> list[Gate]:
    # e^{-iφ} on every amplitude: one diagonal gate on any qubit does it.
    phase = np.exp(-1j * float(p[0]))
    return [Gate.unitary([q[0] if len(q) else 0], np.diag([phase, phase]).astype(np.complex64))]


def _rot(p: Sequence[float], q: Qubits, op: Any) -> list[Gate]:
    phi, theta, omega = p
    return [Gate.rz(q[0], phi), Gate.ry(q[0], theta), Gate.rz(q[0], omega)]


# name -> builder(parameters as floats, vantelo qubits in wire order, the op)
GATES: dict[str, Builder] = {
    "Identity": lambda p, q, op: [],
    "PauliX": _fixed("x"), "X": _fixed("x"),
    "PauliY": _fixed("y"), "Y": _fixed("y"),
    "PauliZ": _fixed("z"), "Z": _fixed("z"),
    "Hadamard": _fixed("h"),
    "S": _fixed("s"), "Adjoint(S)": _fixed("sdg"),
    "T": _fixed("t"), "Adjoint(T)": _fixed("tdg"),
    "SX": lambda p, q, op: [Gate.unitary([q[0]], _SX.astype(np.complex64))],
    "Adjoint(SX)": lambda p, q, op: [Gate.unitary([q[0]], _SX.conj().T.astype(np.complex64))],
    "RX": _angles("rx"), "RY": _angles("ry"), "RZ": _angles("rz"),
    "PhaseShift": _angles("p"), "U1": _angles("p"),
    "Rot": _rot,
    "U2": lambda p, q, op: [Gate.u(q[0], math.pi / 2, p[0], p[1])],
    "U3": lambda p, q, op: [Gate.u(q[0], *p)],
    "CNOT": _fixed("cx"), "CY": _fixed("cy"), "CZ": _fixed("cz"), "CH": _fixed("ch"),
    "CRX": _angles("crx"), "CRY": _angles("cry"), "CRZ": _angles("crz"),
    "ControlledPhaseShift": _angles("cp"),
    "SWAP": _fixed("swap"), "ISWAP": _fixed("iswap"),
    "CSWAP": _fixed("cswap"), "Toffoli": _fixed("ccx"),
    "MultiControlledX": _mcx,
    "QubitUnitary": _unitary,
    "DiagonalQubitUnitary": _unitary,
    "ControlledQubitUnitary": _controlled_unitary,
    "GlobalPhase": _global_phase,
}


def _kraus(p: Sequence[float], q: Qubits, op: Any) -> list[Gate]:
    return [Gate.kraus(list(q), [np.asarray(k, np.complex64) for k in op.kraus_matrices()])]


def _thermal(p: Sequence[float], q: Qubits, op: Any) -> list[Gate]:
    pe, t1, t2, tq = p
    return [Gate.thermal_relaxation(q[0], t1, t2, tq, pe)]


# Channels: a circuit holding one runs as trajectories. PennyLane's
# parameter conventions are vantelo's (GeneralizedAmplitudeDamping is
# (gamma, p) in both); PauliError, QubitChannel and any other channel with
# Kraus matrices on 1-3 wires go through Gate.kraus, which keeps mixtures of
# unitaries as mixtures.
CHANNELS: dict[str, Builder] = {
    "BitFlip": _angles("bit_flip"),
    "PhaseFlip": _angles("phase_flip"),
    "DepolarizingChannel": _angles("depolarizing"),
    "AmplitudeDamping": _angles("amplitude_damping"),
    "GeneralizedAmplitudeDamping": _angles("generalized_amplitude_damping"),
    "PhaseDamping": _angles("phase_damping"),
    "ResetError": _angles("reset_error"),
    "ThermalRelaxationError": _thermal,
    "PauliError": _kraus,
    "QubitChannel": _kraus,
}


def is_channel(op: Any) -> bool:
    from pennylane.operation import Channel

    return op.name in CHANNELS or isinstance(op, Channel)


def has_table_entry(op: Any) -> bool:
    """Ops in the table run directly; so do ops PennyLane cannot decompose
    but can give a matrix for (they run as a dense unitary), and channels."""
    return op.name in GATES or is_channel(op) or (not op.has_decomposition and op.has_matrix)


def qubit_map(wire_order: Sequence[Any]) -> dict[Any, int]:
    n = len(wire_order)
    return {w: n - 1 - i for i, w in enumerate(wire_order)}


def gates_for(operations: Sequence[Any], qubits: dict[Any, int]) -> list[Gate]:
    """vantelo gates for operations the table covers, in order."""
    out: list[Gate] = []
    for op in operations:
        if is_channel(op):
            channel = CHANNELS.get(op.name, _kraus)
            values = [] if channel is _kraus else [float(x) for x in op.parameters]
            out += channel(values, [qubits[w] for w in op.wires], op)
            continue
        build = GATES.get(op.name)
        if build is None:
            if not op.has_matrix:
                raise ValueError(f"vantelo.qubit cannot apply the operation {op.name}")
            build = _unitary
        parameters = () if build is _unitary or op.name in _MATRIX_OPS else [float(x) for x in op.parameters]
        out += build(parameters, [qubits[w] for w in op.wires], op)
    return out


_MATRIX_OPS = {"QubitUnitary", "DiagonalQubitUnitary", "ControlledQubitUnitary"}
