"""Qiskit integration: circuits to vantelo, and V2 primitives backed by it.

- `from_qiskit(circuit)`: a `QuantumCircuit` as a `vantelo.Circuit`, or as a
  `vantelo.CircuitSpec` when it has free parameters.
- `EstimatorV2`, `SamplerV2`: `qiskit.primitives.BaseEstimatorV2` and
  `BaseSamplerV2` implementations with Qiskit's pub semantics.

Importing this module imports Qiskit (``pip install "vantelo[qiskit]"``).
"""

from __future__ import annotations

from typing import Union

from qiskit.circuit import QuantumCircuit

import vantelo

from .._program import UnsupportedConstruct, to_circuit, to_spec
from ._translate import translate
from .estimator import EstimatorV2
from .sampler import SamplerV2


def from_qiskit(circuit: QuantumCircuit) -> Union[vantelo.Circuit, vantelo.CircuitSpec]:
    """Translates a Qiskit circuit.

    Without free parameters the result is a one-off `vantelo.Circuit` (run it
    with ``circuit.num_qubits`` qubits). With free parameters it is a
    `vantelo.CircuitSpec` whose parameters are ``circuit.parameters`` in
    their order and with their names; angles must be ``k * t + c`` with an
    integer ``k`` (the primitives accept any real ``k``). Gates vantelo has
    map to its own; others are expanded through their Qiskit definition.
    Measurements and resets map to vantelo's measurement items; classical
    feedback (``if``, ``while``, ``switch``) raises `UnsupportedConstruct`.
    """
    program = translate(circuit)
    return to_spec(program) if program.parameters else to_circuit(program)


__all__ = ["EstimatorV2", "SamplerV2", "UnsupportedConstruct", "from_qiskit"]
