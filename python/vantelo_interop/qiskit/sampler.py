"""`SamplerV2`: Qiskit's sampler primitive with vantelo's simulation."""

from __future__ import annotations

import warnings
from collections.abc import Iterable
from typing import Any

import numpy as np
import vantelo
from qiskit.primitives import BaseSamplerV2
from qiskit.primitives.containers import BitArray, DataBin, PrimitiveResult, SamplerPubLike, SamplerPubResult
from qiskit.primitives.containers.sampler_pub import SamplerPub
from qiskit.primitives.primitive_job import PrimitiveJob

from .._shots import sample_bits
from .._width import check_width
from ._noise import noise_plan
from ._translate import translate


class SamplerV2(BaseSamplerV2):  # type: ignore[misc, unused-ignore]  # Qiskit may be untyped here
    """Shots of measured circuits as `BitArray`s, one per classical register.

    Every shot is its own trajectory, as on hardware: circuits with
    mid-circuit measurements or resets are supported, and shots are grouped
    by outcome history so the state is simulated once per distinct history,
    not once per shot. Without them, each parameter set is one compiled run
    and all shots are drawn from its final state. ``seed`` fixes every draw.
    The weights of the draws are always summed in double precision.

    Args:
        default_shots: the shots of pubs that give none.
        seed: seeds every draw, so equal seeds give equal samples.
        fusion: ``k`` from 2 to 5 fuses fixed gates into dense blocks of at
            most ``k`` qubits (vantelo's ``fusion=k``); 0, the default, keeps
            the exact path.
        noise_model: a ``qiskit_aer.noise.NoiseModel`` (qiskit-aer must be
            installed), or None. Its quantum errors follow the instructions
            they apply to, by name (before a ``measure``, as in Aer): the
            error for the instruction's qubits if the model has one, else
            its all-qubit error. Its readout errors flip the recorded bits,
            each with the assignment probabilities of the qubit measured
            into it, drawn from the sampler's generator. What vantelo cannot
            apply (custom noise passes, correlated readout errors, errors
            on more than 3 qubits) raises `UnsupportedConstruct` here.
    """

    def __init__(self, *, default_shots: int = 1024, seed: np.random.Generator | int | None = None,
                 fusion: int = 0, noise_model: Any = None):
        vantelo.Circuit([], fusion=fusion)  # the module's checks and messages
        self._noise = noise_plan(noise_model)
        self._default_shots = default_shots
        self._seed = seed
        self._fusion = fusion

    @property
    def default_shots(self) -> int:
        return self._default_shots

    @property
    def seed(self) -> np.random.Generator | int | None:
        return self._seed

    def run(
        self, pubs: Iterable[SamplerPubLike], *, shots: int | None = None
    ) -> PrimitiveJob[PrimitiveResult[SamplerPubResult]]:
        """Samples pubs ``(circuit[, parameter_values[, shots]])``.

        Returns:
            A job whose ``result()`` holds one `SamplerPubResult` per pub,
            with one `BitArray` per classical register in ``data``.
        """
        if shots is None:
            shots = self._default_shots
        coerced = [SamplerPub.coerce(pub, shots) for pub in pubs]
        if any(len(pub.circuit.cregs) == 0 for pub in coerced):
            warnings.warn(
                "One of your circuits has no output classical registers and so the result "
                "will be empty. Did you mean to add measurement instructions?",
                UserWarning,
            )
        job = PrimitiveJob(self._run, coerced)
        job._submit()
        return job

    def _run(self, pubs: list[SamplerPub]) -> PrimitiveResult[SamplerPubResult]:
        rng = np.random.default_rng(self._seed)
        return PrimitiveResult([self._run_pub(pub, rng) for pub in pubs], metadata={"version": 2})

    def _run_pub(self, pub: SamplerPub, rng: np.random.Generator) -> SamplerPubResult:
        circuit = pub.circuit
        check_width(circuit.num_qubits)
        program = translate(circuit, self._noise)
        bindings = pub.parameter_values
        values = bindings.as_array(circuit.parameters).reshape(bindings.size, len(program.parameters))
        bits = sample_bits(program, values, pub.shots, rng, fusion=self._fusion)
        if self._noise is not None:
            self._noise.apply_readout(program, bits, rng)
        bits = bits.reshape(bindings.shape + bits.shape[1:])
        meas = {
            name: BitArray.from_bool_array(bits[..., clbits], order="little")
            for name, clbits in program.registers
        }
        return SamplerPubResult(
            DataBin(**meas, shape=pub.shape),
            metadata={"shots": pub.shots, "circuit_metadata": circuit.metadata},
        )
