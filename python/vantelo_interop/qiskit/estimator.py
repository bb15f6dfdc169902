"""`EstimatorV2`: Qiskit's estimator primitive evaluated by vantelo."""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Any

import numpy as np
from numpy.typing import NDArray

import vantelo
from qiskit.primitives import BaseEstimatorV2
from qiskit.primitives.containers import DataBin, EstimatorPubLike, PrimitiveResult, PubResult
from qiskit.primitives.containers.estimator_pub import EstimatorPub
from qiskit.primitives.primitive_job import PrimitiveJob

from .._program import BoundPlan, Measure, Reset, Sums, compile_bound, pauli_observable
from .._width import check_width
from ._noise import noise_plan
from ._translate import translate


class EstimatorV2(BaseEstimatorV2):  # type: ignore[misc, unused-ignore]  # Qiskit may be untyped here
    """Expectation values of Pauli observables with vantelo's compiled batch path.

    Each pub is translated and compiled once; its parameter sets are
    evaluated by one `CompiledCircuit.batch_expectation` call per distinct
    observable, so 1,000 parameter sets are one batch, not 1,000 runs.
    The state is simulated in single precision; ``sums="float64"`` (the
    default here) accumulates the expectation values in double precision,
    so they agree with double-precision references to the state's own error
    (``"float32"`` uses vantelo's specified single-precision sums, a little
    faster). ``fusion=k`` (2 to 5; default 0) fuses fixed gates into dense
    blocks of at most ``k`` qubits (vantelo's ``fusion=k``). A nonzero ``precision`` adds
    Gaussian noise of that standard deviation to every value, as Qiskit's
    `StatevectorEstimator` does, and is reported as ``stds``. Measurements
    are refused, as in Qiskit's reference estimator; resets are channels
    (below).

    As in Qiskit's reference, every pub draws from its own generator,
    ``numpy.random.default_rng(seed)``: the noise and the trajectories of
    a pub depend only on the seed and the pub, so identical pubs in one job
    give identical results, and a job run twice with an integer seed gives
    the same values.

    Args:
        default_precision: the ``precision`` of pubs that give none; 0 gives
            exact values.
        seed: seeds each pub's generator of the precision noise and the
            trajectories.
        trajectories: the trajectories averaged for a circuit with channels
            or resets when its precision is 0.
        sums: ``"float64"`` (the default) or ``"float32"``, the sums of the
            compiled plans (vantelo's ``sums``).
        fusion: 0 (the default) or ``k`` from 2 to 5 (vantelo's ``fusion``).
        noise_model: a ``qiskit_aer.noise.NoiseModel`` (qiskit-aer must be
            installed), or None. Its quantum errors follow the instructions
            they apply to, by name: the error for the instruction's qubits if
            the model has one, else its all-qubit error. Readout errors do not
            change expectation values and are ignored. What vantelo cannot
            apply (custom noise passes, correlated readout errors, errors
            on more than 3 qubits) raises `UnsupportedConstruct` here.

    Circuits with channels (``kraus`` and ``quantum_channel`` instructions,
    Aer's quantum errors, a noise model's errors) or resets (a reset of a
    qubit entangled with others leaves a mixture, so one trajectory's value
    is not the expectation) are averaged over seeded
    trajectories, the seed drawn from the pub's generator:
    ``ceil(1/precision**2)`` of them for a nonzero precision, else
    ``trajectories``. Their ``stds`` are the
    standard errors of those means, and no Gaussian noise is added.
    With ``noise_method="density"`` (keyword only; the default is
    ``"trajectories"``) their values are computed exactly instead, on the
    density matrix (`CompiledCircuit.density_expectation`, at most 12
    qubits), and treated as exact values: a nonzero precision adds Gaussian
    noise of that standard deviation.
    """

    def __init__(self, *, default_precision: float = 0.0, seed: np.random.Generator | int | None = None,
                 trajectories: int = 1000, sums: Sums = "float64", fusion: int = 0,
                 noise_model: Any = None, noise_method: str = "trajectories"):
        if sums not in ("float32", "float64"):
            raise ValueError(f"sums must be 'float32' or 'float64', not {sums!r}")
        if noise_method not in ("trajectories", "density"):
            raise ValueError(f"noise_method must be 'trajectories' or 'density', not {noise_method!r}")
        self._density = noise_method == "density"
        vantelo.Circuit([], fusion=fusion)  # the module's checks and messages
        if int(trajectories) < 1:
            raise ValueError(f"trajectories must be a positive number, got {trajectories}")
        self._default_precision = default_precision
        self._seed = seed
        self._trajectories = int(trajectories)
        self._noise = noise_plan(noise_model)
        self._fusion = fusion
        self._sums = sums

    @property
    def default_precision(self) -> float:
        return self._default_precision

    @property
    def seed(self) -> np.random.Generator | int | None:
        return self._seed

    def run(
        self, pubs: Iterable[EstimatorPubLike], *, precision: float | None = None
    ) -> PrimitiveJob[PrimitiveResult[PubResult]]:
        """Evaluates pubs ``(circuit, observables[, parameter_values[, precision]])``.

        Returns:
            A job whose ``result()`` holds one `PubResult` per pub, with
            ``data.evs`` and ``data.stds`` broadcast as Qiskit defines.
        """
        if precision is None:
            precision = self._default_precision
        coerced = [EstimatorPub.coerce(pub, precision) for pub in pubs]
        job = PrimitiveJob(self._run, coerced)
        job._submit()
        return job

    def _run(self, pubs: list[EstimatorPub]) -> PrimitiveResult[PubResult]:
        return PrimitiveResult([self._run_pub(pub) for pub in pubs], metadata={"version": 2})

    def _run_pub(self, pub: EstimatorPub) -> PubResult:
        rng = np.random.default_rng(self._seed)
        circuit = pub.circuit
        check_width(circuit.num_qubits)
        program = translate(circuit, self._noise)
        if any(isinstance(step, Measure) for step in program.steps):
            raise ValueError("EstimatorV2 circuits must not contain measurements")
        bindings = pub.parameter_values
        values = bindings.as_array(circuit.parameters).reshape(bindings.size, len(program.parameters))
        shape = pub.shape
        param_index = np.broadcast_to(np.arange(values.shape[0]).reshape(bindings.shape), shape)
        observables = pub.observables.ravel()
        obs_index = np.broadcast_to(np.arange(observables.size).reshape(pub.observables.shape), shape)
        stds = np.full(shape, pub.precision, dtype=np.float64)
        # A reset is a channel too: on an entangled qubit one trajectory's
        # value is not the expectation, so both are averaged. A reset of a
        # qubit nothing has touched yet (as `initialize` starts) has one
        # outcome, and the batch call runs it exactly.
        noisy = program.channels or any(isinstance(step, Reset) and not step.leading for step in program.steps)
        if noisy and self._density:
            evs = _density_values(compile_bound(program, fusion=self._fusion, sums=self._sums), values,
                                  observables, param_index, obs_index)
            if pub.precision != 0:
                evs = rng.normal(evs, pub.precision)
        elif noisy:
            count = math.ceil(1 / pub.precision**2) if pub.precision > 0 else self._trajectories
            evs, stds = _noisy_values(compile_bound(program, fusion=self._fusion, sums=self._sums), values,
                                      observables, param_index, obs_index, count, int(rng.integers(2**63)))
        else:
            evs = _batch_values(compile_bound(program, fusion=self._fusion, sums=self._sums), values,
                                observables, param_index, obs_index)
            if pub.precision != 0:
                evs = rng.normal(evs, pub.precision)
        data = DataBin(evs=evs, stds=stds, shape=shape)
        return PubResult(
            data, metadata={"target_precision": pub.precision, "circuit_metadata": circuit.metadata}
        )


def _batch_values(
    plan: BoundPlan,
    values: NDArray[np.float64],
    observables: NDArray[Any],
    param_index: NDArray[np.intp],
    obs_index: NDArray[np.intp],
) -> NDArray[np.float64]:
    """Exact values: one batch call per distinct observable, over the
    parameter sets it is paired with."""
    slots = plan.slot_values(values)
    evs = np.zeros(param_index.shape, dtype=np.float64)
    for k in range(observables.size):
        where = obs_index == k
        rows, inverse = np.unique(param_index[where], return_inverse=True)
        if rows.size == 0:
            continue
        batch = plan.compiled.batch_expectation(slots[rows], pauli_observable(observables[k]))
        evs[where] = batch[inverse.reshape(-1)]
    return evs


def _density_values(
    plan: BoundPlan,
    values: NDArray[np.float64],
    observables: NDArray[Any],
    param_index: NDArray[np.intp],
    obs_index: NDArray[np.intp],
) -> NDArray[np.float64]:
    """Exact values of a circuit with channels or resets on its density
    matrix, one call per distinct parameter set and observable."""
    slots = plan.slot_values(values)
    evs = np.zeros(param_index.shape, dtype=np.float64)
    for k in range(observables.size):
        where = obs_index == k
        rows, inverse = np.unique(param_index[where], return_inverse=True)
        if rows.size == 0:
            continue
        observable = pauli_observable(observables[k])
        exact = np.array([plan.compiled.density_expectation(slots[row], observable) for row in rows])
        evs[where] = exact[inverse.reshape(-1)]
    return evs


def _noisy_values(
    plan: BoundPlan,
    values: NDArray[np.float64],
    observables: NDArray[Any],
    param_index: NDArray[np.intp],
    obs_index: NDArray[np.intp],
    count: int,
    seed: int,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Means over `count` trajectories of a circuit with channels or resets, and their
    standard errors: one batch call per distinct observable, every row on the
    same trajectories of `seed`."""
    slots = plan.slot_values(values)
    evs = np.zeros(param_index.shape, dtype=np.float64)
    stds = np.zeros(param_index.shape, dtype=np.float64)
    for k in range(observables.size):
        where = obs_index == k
        rows, inverse = np.unique(param_index[where], return_inverse=True)
        if rows.size == 0:
            continue
        means, errors = plan.compiled.batch_trajectory_expectation(
            slots[rows], pauli_observable(observables[k]), count, seed)
        evs[where] = means[inverse.reshape(-1)]
        stds[where] = errors[inverse.reshape(-1)]
    return evs, stds
