"""The fast path for variational tapes: a tape whose gates all reduce to the
compiled gate set becomes one CompiledCircuit, cached on the tape's structure
(gate names and wires), so an optimiser loop compiles once and afterwards
only binds new angles. Channels are fixed steps of the plan, keyed on their
parameters too, and such a plan serves averages over seeded trajectories.

Every angle, trainable or not, gets its own parameter slot; gates with a fixed
angle (S, T, CY's phases) get slots of constant value. Each PennyLane gate
parameter therefore owns exactly one slot, and its derivative is that slot's
gradient entry. Global phases are dropped: the path serves expectation values
only.
"""

from __future__ import annotations

import math
import pickle
from collections import OrderedDict
from collections.abc import Sequence
from typing import Any, Literal, Union

import numpy as np

from vantelo import CircuitSpec, Observable

from .translate import gates_for

HALF_PI = math.pi / 2

# PennyLane's objects (operations, observables, tapes) are typed as Any:
# PennyLane is optional and may be missing where this is type-checked.
# Wire labels map to register positions.
Wires = dict[Any, int]
# The angle of a step: the index of the gate's parameter, a constant
# ("c", angle), or None for a gate without an angle.
Source = Union[int, tuple[str, float], None]

# name -> steps; a step is (kind, wire positions, angle source) where the
# source is the index of the gate's parameter or a constant angle.
_STEPS: dict[str, list[tuple[str, tuple[int, ...], Source]]] = {
    "Identity": [], "GlobalPhase": [],
    "PauliX": [("x", (0,), None)], "PauliZ": [("z", (0,), None)],
    # X·Z is Y up to a global phase
    "PauliY": [("z", (0,), None), ("x", (0,), None)],
    "Hadamard": [("h", (0,), None)],
    "S": [("p", (0,), ("c", HALF_PI))], "Adjoint(S)": [("p", (0,), ("c", -HALF_PI))],
    "T": [("p", (0,), ("c", math.pi / 4))], "Adjoint(T)": [("p", (0,), ("c", -math.pi / 4))],
    "RX": [("rx", (0,), 0)], "RY": [("ry", (0,), 0)], "RZ": [("rz", (0,), 0)],
    "PhaseShift": [("p", (0,), 0)], "U1": [("p", (0,), 0)],
    "Rot": [("rz", (0,), 0), ("ry", (0,), 1), ("rz", (0,), 2)],
    "CNOT": [("cx", (0, 1), None)], "CZ": [("cz", (0, 1), None)],
    "CY": [("p", (1,), ("c", -HALF_PI)), ("cx", (0, 1), None), ("p", (1,), ("c", HALF_PI))],
    "SWAP": [("cx", (0, 1), None), ("cx", (1, 0), None), ("cx", (0, 1), None)],
}

# The sums option of CircuitSpec.compile and Circuit.
Sums = Literal["float32", "float64"]

COMPILABLE = frozenset(_STEPS)


class Plan:
    """A compiled tape structure: the circuit and where each slot's angle comes from."""

    def __init__(self, operations: Sequence[Any], qubits: Wires, sums: Sums = "float64",
                 fusion: int = 0) -> None:
        spec = CircuitSpec(max(len(qubits), 1))
        # (operation position, parameter index) or (None, constant)
        self.sources: list[tuple[int | None, float]] = []
        for position, op in enumerate(operations):
            if op.name not in _STEPS:  # a channel: its parameters are part of the key
                for gate in gates_for([op], qubits):
                    spec.gate(gate)
                continue
            for kind, places, source in _STEPS[op.name]:
                q = [qubits[op.wires[i]] for i in places]
                if source is None:
                    getattr(spec, kind)(*q)
                    continue
                getattr(spec, kind)(*q, spec.param())
                self.sources.append((None, source[1]) if isinstance(source, tuple)
                                    else (position, source))
        self.circuit = spec.compile(fusion=fusion, sums=sums)

    def slots_for(self, operations: Sequence[Any], batch_size: int | None) -> np.ndarray:
        """Slot values for these operations: (P,) or (batch_size, P) float32."""
        shape = (len(self.sources),) if batch_size is None else (batch_size, len(self.sources))
        values = np.empty(shape[::-1], np.float32)
        for k, (position, which) in enumerate(self.sources):
            values[k] = which if position is None else _real(operations[position].data[int(which)])
        return np.ascontiguousarray(values.T)

    def slot_of(self) -> dict[tuple[int | None, float], int]:
        """(operation position, parameter index) -> slot."""
        return {s: k for k, s in enumerate(self.sources) if s[0] is not None}


def _real(value: Any) -> Any:
    return np.real(np.asarray(value))


def _constants(op: Any, qubits: Wires) -> tuple[bytes, ...]:
    """A channel's gates, pickled: equal keys hold equal channels, whatever
    of the operation (data or hyperparameters) made them."""
    return tuple(pickle.dumps(g) for g in gates_for([op], qubits))


class PlanCache:
    """Least recently used plans, keyed on gate names, wires and width (and
    the parameters of channels, which the plans hold as constants)."""

    def __init__(self, capacity: int = 64, sums: Sums = "float64", fusion: int = 0) -> None:
        self.sums = sums
        self.fusion = fusion
        self._plans: OrderedDict[tuple[Any, ...], Plan] = OrderedDict()
        self.capacity = capacity
        self.compiles = 0

    def get(self, operations: Sequence[Any], qubits: Wires) -> Plan:
        key = (len(qubits), tuple((op.name, tuple(qubits[w] for w in op.wires),
                                   () if op.name in _STEPS else _constants(op, qubits)) for op in operations))
        plan = self._plans.get(key)
        if plan is None:
            plan = Plan(operations, qubits, self.sums, self.fusion)
            self.compiles += 1
            self._plans[key] = plan
            if len(self._plans) > self.capacity:
                self._plans.popitem(last=False)
        else:
            self._plans.move_to_end(key)
        return plan


def observable_for(obs: Any, qubits: Wires) -> Observable | None:
    """The vantelo observable of a Pauli word or a real sum of them, else None."""
    sentence = obs.pauli_rep
    if sentence is None or len(sentence) == 0:
        return None
    terms = []
    for word, coefficient in sentence.items():
        coefficient = complex(np.asarray(coefficient))
        if abs(coefficient.imag) > 1e-12:
            return None
        ops = [(label, qubits[w]) for w, label in word.items() if label != "I"]
        terms.append(Observable.pauli_string(ops, coefficient.real))
    return Observable.hamiltonian(terms)


def tape_is_compilable(tape: Any) -> bool:
    return all(op.name in COMPILABLE for op in tape.operations)
