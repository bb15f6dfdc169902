"""PennyLane integration: the ``vantelo.qubit`` device.

Importing this submodule imports PennyLane; ``import vantelo_interop`` alone
does not. PennyLane finds the device through the ``pennylane.plugins`` entry
point, so ``qml.device("vantelo.qubit", wires=4)`` works once vantelo is
installed with its ``pennylane`` extra.
"""

from .device import VanteloQubit

__all__ = ["VanteloQubit"]
