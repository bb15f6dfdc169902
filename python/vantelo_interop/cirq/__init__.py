"""Cirq integration: a simulator behind Cirq's simulator interfaces.

- `Simulator`: `cirq.SimulatesSamples`, `SimulatesAmplitudes`,
  `SimulatesExpectationValues` and `SimulatesFinalState`, evaluated by
  vantelo; parameter sweeps are one batch call.

Importing this module imports Cirq (``pip install "vantelo[cirq]"``).
"""

from __future__ import annotations

from .._program import UnsupportedConstruct
from .simulator import Simulator

__all__ = ["Simulator", "UnsupportedConstruct"]
