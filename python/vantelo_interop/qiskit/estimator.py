"""`EstimatorV2`: Qiskit's estimator primitive evaluated by vantelo."""

from __future__ import annotations

import math
from collections.abc import Iterable

import numpy as np
from qiskit.primitives import BaseEstimatorV2
from qiskit.primitives.containers import DataBin, EstimatorPubLike, PrimitiveResult, PubResult
from qiskit.primitives.containers.estimator_pub import EstimatorPub
from qiskit.primitives.primitive_job import PrimitiveJob

from .._program import Measure, compile_bound, pauli_observable
from ._translate import translate


class EstimatorV2(BaseEstimatorV2):  # type: ignore[misc, unused-ignore]  # Qiskit may be untyped here
    """Expectation values of Pauli observables with vantelo's compiled batch path.

    Each pub is translated and compiled once; its parameter sets are
    evaluated by one `CompiledCircuit.batch_expectation` call per distinct
    observable, so 1,000 parameter sets are one batch, not 1,000 runs.
    Values are computed in single precision. A nonzero ``precision`` adds
    Gaussian noise of that standard deviation to every value, as Qiskit's
    `StatevectorEstimator` does, and is reported as ``stds``. Resets are
    applied on one random trajectory per value (drawn by vantelo, not by
    ``seed``); measurements are refused, as in Qiskit's reference estimator.

    Circuits with channels (``kraus`` and ``quantum_channel`` instructions,
    Aer's quantum errors) are averaged over seeded trajectories, the seed
    drawn from ``seed``: ``ceil(1/precision**2)`` of them for a nonzero
    precision, else ``trajectories``. Their ``stds`` are the standard errors
    of those means, and no Gaussian noise is added.
    """

    def __init__(self, *, default_precision: float = 0.0, seed: np.random.Generator | int | None = None,
                 trajectories: int = 1000):
        self._default_precision = default_precision
        self._seed = seed
        if int(trajectories) < 1:
            raise ValueError(f"trajectories must be a positive number, got {trajectories}")
        self._trajectories = int(trajectories)

    @property
    def default_precision(self) -> float:
        return self._default_precision

    @property
    def seed(self) -> np.random.Generator | int | None:
        return self._seed

    def run(
        self, pubs: Iterable[EstimatorPubLike], *, precision: float | None = None
    ) -> PrimitiveJob[PrimitiveResult[PubResult]]:
        if precision is None:
            precision = self._default_precision
        coerced = [EstimatorPub.coerce(pub, precision) for pub in pubs]
        job = PrimitiveJob(self._run, coerced)
        job._submit()
        return job

    def _run(self, pubs: list[EstimatorPub]) -> PrimitiveResult[PubResult]:
        rng = np.random.default_rng(self._seed)
        return PrimitiveResult([self._run_pub(pub, rng) for pub in pubs], metadata={"version": 2})

    def _run_pub(self, pub: EstimatorPub, rng: np.random.Generator) -> PubResult:
        circuit = pub.circuit
        program = translate(circuit)
        if any(isinstance(step, Measure) for step in program.steps):
            raise ValueError("EstimatorV2 circuits must not contain measurements")
        plan = compile_bound(program)
        bindings = pub.parameter_values
        values = bindings.as_array(circuit.parameters).reshape(bindings.size, len(program.parameters))
        slots = plan.slot_values(values)
        shape = pub.shape
        param_index = np.broadcast_to(np.arange(values.shape[0]).reshape(bindings.shape), shape)
        observables = pub.observables.ravel()
        obs_index = np.broadcast_to(np.arange(observables.size).reshape(pub.observables.shape), shape)
        evs = np.zeros(shape, dtype=np.float64)
        stds = np.full(shape, pub.precision, dtype=np.float64)
        noisy = program.channels > 0
        if noisy:
            count = math.ceil(1 / pub.precision**2) if pub.precision > 0 else self._trajectories
            seed = int(rng.integers(2**63))
        for k in range(observables.size):
            where = obs_index == k
            rows, inverse = np.unique(param_index[where], return_inverse=True)
            if rows.size == 0:
                continue
            observable = pauli_observable(observables[k])
            if noisy:
                means, errors = plan.compiled.batch_trajectory_expectation(slots[rows], observable, count, seed)
                evs[where] = means[inverse.reshape(-1)]
                stds[where] = errors[inverse.reshape(-1)]
                continue
            batch = plan.compiled.batch_expectation(slots[rows], observable)
            evs[where] = batch[inverse.reshape(-1)]
        if pub.precision != 0 and not noisy:
            evs = rng.normal(evs, pub.precision)
        data = DataBin(evs=evs, stds=stds, shape=shape)
        return PubResult(
            data, metadata={"target_precision": pub.precision, "circuit_metadata": circuit.metadata}
        )
