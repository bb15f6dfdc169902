"""A qiskit-aer `NoiseModel` as the channels and readout flips vantelo applies.

The model is read once, when a primitive is created: its quantum errors
become Kraus lists (a mixture of unitaries keeps that form) that the
translator inserts after the instructions they apply to, and its readout
errors become per-qubit flip probabilities that the sampler applies to the
recorded bits. Whatever the model holds that this cannot express is refused
up front, naming it, rather than silently simulated without it.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from .._program import Conditional, Measure, Program, UnsupportedConstruct

Kraus = list[NDArray[np.complex64]]


def _aer_noise_model() -> Any:
    # Imported only when a noise model is passed: qiskit-aer is optional.
    try:
        from qiskit_aer.noise import NoiseModel
    except ImportError as error:
        raise ImportError(
            "noise_model needs qiskit-aer (pip install qiskit-aer); "
            "without it, add the errors to the circuit as kraus instructions"
        ) from error
    return NoiseModel


def _error_kraus(error: Any, where: str) -> Kraus:
    """The error's Kraus operators in Qiskit's order (first qubit least
    significant); a mixture of unitaries stays one (scaled unitaries, which
    vantelo draws without a norm)."""
    from qiskit.quantum_info import Kraus as QiskitKraus, Operator

    if hasattr(error, "to_pauli_error"):  # a Pauli-Lindblad error is a Pauli mixture
        error = error.to_pauli_error()
    if not hasattr(error, "to_quantumchannel"):
        raise UnsupportedConstruct(f"noise model: the error on {where} is not a quantum error")
    probabilities = getattr(error, "probabilities", None)
    branches = getattr(error, "paulis", None)
    if branches is None:
        branches = getattr(error, "circuits", None)
    if probabilities is not None and branches is not None:
        try:
            return [np.asarray(np.sqrt(p) * Operator(branch).data, dtype=np.complex64)
                    for p, branch in zip(probabilities, branches) if p > 0]
        except Exception:  # a branch that is not unitary (a reset, a Kraus map)
            pass
    return [np.asarray(k, dtype=np.complex64) for k in QiskitKraus(error.to_quantumchannel()).data]


class NoisePlan:
    """The parts of a noise model that vantelo applies, checked and converted."""

    def __init__(self, model: Any) -> None:
        noise_model = _aer_noise_model()
        if not isinstance(model, noise_model):
            raise TypeError(f"noise_model must be a qiskit_aer.noise.NoiseModel, got {type(model).__name__}")
        refused = []
        if getattr(model, "_custom_noise_passes", None):
            names = ", ".join(type(p).__name__ for p in model._custom_noise_passes)
            refused.append(f"custom noise passes ({names})")
        if getattr(model, "_nonlocal_quantum_errors", None):
            refused.append("non-local quantum errors")
        readout: dict[int, tuple[float, float]] = {}
        self.default_readout: tuple[float, float] | None = None
        default = model._default_readout_error
        for qubits, error in [((), default)] + list(model._local_readout_errors.items()):
            if error is None:
                continue
            if error.number_of_qubits != 1:
                refused.append(f"the correlated readout error on qubits {list(qubits)}")
                continue
            probs = np.asarray(error.probabilities, dtype=np.float64)
            # Rows are the true outcome: P(read 1 | 0) and P(read 1 | 1).
            flip = (float(probs[0, 1]), float(probs[1, 1]))
            if qubits:
                readout[qubits[0]] = flip
            else:
                self.default_readout = flip
        errors = [(f"all qubits for '{name}'", error) for name, error in model._default_quantum_errors.items()]
        errors += [(f"qubits {list(qubits)} for '{name}'", error)
                   for name, by_qubits in model._local_quantum_errors.items() for qubits, error in by_qubits.items()]
        refused += [f"the {error.num_qubits}-qubit error on {where} (channels act on 1 to 3 qubits)"
                    for where, error in errors if not 1 <= error.num_qubits <= 3]
        if refused:
            raise UnsupportedConstruct("noise model: vantelo cannot apply " + "; ".join(refused))
        self.readout = readout
        self.default_errors = {name: _error_kraus(error, f"all qubits for '{name}'")
                               for name, error in model._default_quantum_errors.items()}
        self.local_errors = {
            name: {tuple(qubits): _error_kraus(error, f"qubits {list(qubits)} for '{name}'")
                   for qubits, error in by_qubits.items()}
            for name, by_qubits in model._local_quantum_errors.items()}

    def error(self, name: str, qubits: list[int]) -> Kraus | None:
        """The channel after (for ``measure``, before) an instruction: the
        error for these qubits if there is one, else the all-qubit error."""
        kraus = self.local_errors.get(name, {}).get(tuple(qubits))
        if kraus is None:
            kraus = self.default_errors.get(name)
        if kraus is not None and kraus[0].shape[0] != 1 << len(qubits):
            raise UnsupportedConstruct(
                f"noise model: the error for '{name}' acts on {kraus[0].shape[0].bit_length() - 1} "
                f"qubits, but the instruction on qubits {qubits} has {len(qubits)}")
        return kraus

    def apply_readout(self, program: Program, bits: NDArray[np.bool_], rng: np.random.Generator) -> None:
        """Flips recorded bits in place, clbit by clbit in order, each by the
        readout error of the qubit last measured into it."""
        source: dict[int, int] = {}
        for step in program.steps:
            if isinstance(step, Measure):
                source[step.clbit] = step.qubit
        for clbit in sorted(source):
            flip = self.readout.get(source[clbit], self.default_readout)
            if flip is None:
                continue
            column = bits[..., clbit]
            bits[..., clbit] = rng.random(column.shape) < np.where(column, flip[1], flip[0])


    def check_conditions(self, program: Program) -> None:
        """Refuses a readout error on a bit that an `if` reads: the flips
        are drawn for the recorded bits after the shot, so the condition
        would read the true outcome, where Aer reads the flipped bit."""
        latest: dict[int, int] = {}  # clbit: the qubit last measured into it
        for step in program.steps:
            if isinstance(step, Measure):
                latest[step.clbit] = step.qubit
            elif isinstance(step, Conditional):
                for clbit in sorted({t if t >= 0 else ~t for group in step.conditions for t in group}):
                    qubit = latest.get(clbit)
                    if qubit is not None and self.readout.get(qubit, self.default_readout) is not None:
                        raise UnsupportedConstruct(
                            f"an 'if' reads clbit {clbit}, measured from qubit {qubit}, which has a readout "
                            "error; readout errors on bits that conditions read are not supported")


def noise_plan(model: Any) -> NoisePlan | None:
    return None if model is None else NoisePlan(model)
