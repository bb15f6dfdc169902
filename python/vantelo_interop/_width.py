"""The widest register vantelo simulates, checked before any work starts.

The core refuses a wider state only when it allocates one, and then as an
`InternalFault` (a `BaseException` that frameworks and executors do not
deliver well), so every integration checks the width up front and raises
the ValueError the core raises for a starting state that is too wide.
"""

from __future__ import annotations

MAX_QUBITS = 31


def width_message(num_qubits: int) -> str:
    return f"state vector has {num_qubits} qubits, at most {MAX_QUBITS} are supported"


def check_width(num_qubits: int) -> None:
    """Raises ValueError for a register wider than vantelo simulates."""
    if num_qubits > MAX_QUBITS:
        raise ValueError(width_message(num_qubits))
