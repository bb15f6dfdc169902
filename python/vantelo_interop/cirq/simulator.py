"""`Simulator`: vantelo behind Cirq's simulator interfaces."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import Any

import cirq
import numpy as np
from numpy.typing import NDArray

import vantelo
from vantelo import Gate

from .._program import Conditional, Measure, Reset, UnsupportedConstruct, compile_bound
from .._shots import _BATCH_AMPLITUDES, sample_bits, seeded_trajectory, trajectory
from ._translate import CirqProgram, control_keys, translate


def _observable(psum: cirq.PauliSum, index: dict[cirq.Qid, int]) -> vantelo.Observable:
    """The Pauli sum as an observable on vantelo's qubits."""
    terms = []
    for string in psum:
        ops = [(str(pauli), index[q]) for q, pauli in string.items()]
        terms.append(vantelo.Observable.pauli_string(ops, complex(string.coefficient).real))
    if not terms:
        terms.append(vantelo.Observable.pauli_string([], 0.0))
    return vantelo.Observable.hamiltonian(terms)


def _without_terminal_measurements(program: cirq.AbstractCircuit) -> cirq.AbstractCircuit:
    """The circuit less the measurements that nothing acts after (their
    collapse would only add noise to an exact expectation value)."""
    controls = control_keys(program.all_operations())
    terminal = [
        (moment, op)
        for moment, op in program.findall_operations(cirq.is_measurement)
        if program.next_moment_operating_on(op.qubits, moment + 1) is None
        and not {str(key) for key in cirq.measurement_key_objs(op)} & controls
    ]
    if not terminal:
        return program
    circuit = program.unfreeze(copy=True)
    circuit.batch_remove(terminal)
    return circuit


def _sampled_part(operations: list[cirq.Operation]) -> list[cirq.Operation]:
    """What decides the records of ``run``: the operations that come before
    a measurement on one of their qubits, in order, with every measurement
    that no later kept operation touches (and no classical control reads)
    moved to the end. The rest cannot change the distribution of the
    records: a channel or gate on qubits that nothing measures afterwards
    leaves the other qubits' reduced state as it is. Noise that a model
    adds after the final measurements therefore leaves them terminal, and
    their repetitions are drawn from one run or trajectory each."""
    controls = control_keys(operations)
    live: set[cirq.Qid] = set()  # qubits a kept later operation reads
    kept: list[cirq.Operation] = []
    terminal: list[cirq.Operation] = []
    for op in reversed(operations):
        qubits = set(op.qubits)
        if cirq.is_measurement(op):
            keys = {str(key) for key in cirq.measurement_key_objs(op)}
            (terminal if not qubits & live and not keys & controls else kept).append(op)
            live |= qubits
        elif qubits & live:
            kept.append(op)
            live |= qubits
    return kept[::-1] + terminal[::-1]


def _as_pauli_sums(observables: Any) -> list[cirq.PauliSum]:
    items = observables if isinstance(observables, list) else [observables]
    out = []
    for item in items:
        try:
            psum = cirq.PauliSum.wrap(item)
        except (TypeError, ValueError) as error:
            raise UnsupportedConstruct(
                f"observable {item!r} is not supported; only PauliSum and PauliString observables are"
            ) from error
        for string in psum:
            if complex(string.coefficient).imag:
                raise UnsupportedConstruct(
                    f"observable term {string} is not Hermitian: its coefficient is not real"
                )
        out.append(psum)
    return out


# Cirq may be untyped where the types are checked.
class Simulator(
    cirq.SimulatesSamples,  # type: ignore[misc, unused-ignore]
    cirq.SimulatesAmplitudes,  # type: ignore[misc, unused-ignore]
    cirq.SimulatesExpectationValues,  # type: ignore[misc, unused-ignore]
    cirq.SimulatesFinalState[cirq.StateVectorTrialResult],  # type: ignore[misc, unused-ignore]
):
    """A Cirq simulator evaluated by vantelo in single precision.

    Implements `cirq.SimulatesSamples` (``run``, ``run_sweep``),
    `cirq.SimulatesAmplitudes` (``compute_amplitudes(_sweep)``),
    `cirq.SimulatesExpectationValues` (``simulate_expectation_values(_sweep)``
    for `cirq.PauliSum` and `cirq.PauliString` observables) and
    `cirq.SimulatesFinalState` (``simulate``, ``simulate_sweep``; the results
    are `cirq.StateVectorTrialResult`s), plus ``final_state_vector``.

    A circuit is translated once per call; its symbols (``x`` or ``a*x + b``
    in one symbol per angle; any other expression is a parameter of its own,
    evaluated per resolver) become parameters of one compiled circuit, and a
    sweep is one batch call (`CompiledCircuit.batch_statevector` or
    `batch_expectation`) over all its resolvers. Circuits with mid-circuit
    measurements, resets or classically controlled operations run one
    trajectory per repetition (repetitions that share an outcome history
    share a run); ``simulate`` draws one.

    Channels (``cirq.depolarize``, ``bit_flip``, ``amplitude_damp``, …, any
    channel of up to three qubits) and the noise model make a circuit noisy.
    A noisy circuit runs as seeded trajectories: ``run`` draws one
    trajectory per repetition, ``simulate``, ``final_state_vector`` and
    ``compute_amplitudes`` one trajectory per resolver, and expectation
    values are the mean over ``trajectories`` trajectories, which every
    resolver and observable of a call share.

    Args:
        seed: seeds the simulator's random generator (an ``int``, a
            `numpy.random.Generator` or None); every call draws from it, so
            the same seed and the same sequence of calls give the same
            results.
        noise: a noise model, or anything `cirq.NoiseModel.from_noise_model_like`
            takes (a one-qubit channel applies after every moment to every
            qubit of the circuit), as Cirq's own simulators take it.
        trajectories: how many trajectories the expectation values of a
            noisy circuit, or of one with mid-circuit measurements or
            resets, average; an estimate whose statistical error falls as
            1/sqrt(``trajectories``). Without it, expectation values of a
            noisy circuit are refused, and a circuit with mid-circuit
            measurements or resets takes one trajectory, as Cirq's
            state-vector simulator does.
        noise_method: ``"trajectories"`` (the default) estimates the
            expectation values of noisy circuits as described for
            ``trajectories``; ``"density"`` computes them exactly on the
            density matrix (`CompiledCircuit.density_expectation`, at most
            12 qubits), as `cirq.DensityMatrixSimulator` does, mid-circuit
            measurements and resets included. Samples, states and
            amplitudes still draw trajectories.
    """

    def __init__(
        self,
        *,
        seed: int | np.random.Generator | None = None,
        noise: cirq.NOISE_MODEL_LIKE = None,
        trajectories: int | None = None,
        noise_method: str = "trajectories",
    ) -> None:
        if trajectories is not None and (not isinstance(trajectories, (int, np.integer)) or trajectories < 1):
            raise ValueError(f"trajectories must be a positive integer or None, got {trajectories!r}")
        if noise_method not in ("trajectories", "density"):
            raise ValueError(f"noise_method must be 'trajectories' or 'density', not {noise_method!r}")
        if noise_method == "density" and trajectories is not None:
            raise ValueError("noise_method='density' computes exact values: give no trajectory count")
        self._density = noise_method == "density"
        self._rng = np.random.default_rng(seed)
        self._noise = cirq.NoiseModel.from_noise_model_like(noise)
        self._trajectories = None if trajectories is None else int(trajectories)

    @property
    def noise(self) -> cirq.NoiseModel:
        """The noise model applied to every circuit (`cirq.NO_NOISE` when none)."""
        return self._noise

    @property
    def trajectories(self) -> int | None:
        """The trajectories averaged for an expectation value of a noisy circuit."""
        return self._trajectories

    @property
    def noise_method(self) -> str:
        """How expectation values of noisy circuits are computed: ``"trajectories"`` or ``"density"``."""
        return "density" if self._density else "trajectories"

    # ------------------------------------------------------------- preparing

    def _translate(
        self,
        program: cirq.AbstractCircuit,
        qubit_order: cirq.QubitOrderOrList,
        extra: Sequence[cirq.Qid] = (),
        samples_only: bool = False,
    ) -> CirqProgram:
        """The circuit with the noise model's operations, translated;
        ``samples_only`` keeps just what decides ``run``'s records."""
        if not isinstance(program, cirq.AbstractCircuit):
            raise TypeError(f"expected a cirq Circuit, got {type(program).__name__}")
        qubits = set(program.all_qubits()) | set(extra)
        if self._noise is cirq.NO_NOISE:
            operations = list(program.all_operations())
        else:
            # As in Cirq's simulators: the model sees the circuit's own qubits.
            noisy = self._noise.noisy_moments(program, sorted(program.all_qubits()))
            operations = list(cirq.flatten_to_ops(noisy))
            qubits |= {q for op in operations for q in op.qubits}
        if samples_only:
            # Qubits that only dropped operations act on need no amplitudes.
            operations = _sampled_part(operations)
            qubits = {q for op in operations for q in op.qubits}
        order = cirq.QubitOrder.as_qubit_order(qubit_order)
        return translate(operations, order.order_for(qubits))

    @staticmethod
    def _values(cp: CirqProgram, resolvers: list[cirq.ParamResolver]) -> NDArray[np.float64]:
        values = np.zeros((len(resolvers), len(cp.symbols)), dtype=np.float64)
        for r, resolver in enumerate(resolvers):
            for p, symbol in enumerate(cp.symbols):
                value = resolver.value_of(symbol)
                try:
                    values[r, p] = float(value)
                except TypeError:
                    raise ValueError(f"no numeric value for symbol '{symbol}' in {resolver}") from None
        return values

    @staticmethod
    def _start(cp: CirqProgram, initial_state: Any) -> NDArray[np.complex64] | None:
        """Applies an integer initial state as X gates; returns an array one."""
        if initial_state is None:
            return None
        if isinstance(initial_state, (int, np.integer)):
            index = int(initial_state)
            if not 0 <= index < 1 << cp.num_qubits:
                raise ValueError(f"initial state {index} is out of range for {cp.num_qubits} qubits")
            cp.program.steps[:0] = [Gate.x(q) for q in range(cp.num_qubits) if index >> q & 1]
            return None
        state = np.asarray(initial_state, dtype=np.complex64).reshape(-1)
        if state.size != 1 << cp.num_qubits:
            raise ValueError(f"initial state has {state.size} amplitudes; {cp.num_qubits} qubits need {1 << cp.num_qubits}")
        if cp.num_qubits == 0:
            return None
        return state

    def _phases(self, cp: CirqProgram, values: NDArray[np.float64]) -> NDArray[np.complex64] | None:
        phase = np.full(values.shape[0], cp.phase)
        for param, scale in cp.phase_terms.items():
            phase = phase + scale * values[:, param]
        if not np.any(phase % (2 * np.pi)):
            return None
        return np.exp(1j * phase).astype(np.complex64)

    def _final_states(
        self, cp: CirqProgram, values: NDArray[np.float64], start: NDArray[np.complex64] | None
    ) -> tuple[NDArray[np.complex64], list[NDArray[np.bool_]]]:
        """Final states (rows, 2**n) and, per row, the classical bits of one
        trajectory (empty without measurements)."""
        rows, size = values.shape[0], 1 << cp.num_qubits
        if cp.program.channels:
            states = np.empty((rows, size), dtype=np.complex64)
            bits = []
            seed = int(self._rng.integers(2**63))
            for r in range(rows):
                state, row_bits = seeded_trajectory(cp.program, values[r], seed, r, start)
                states[r] = state[:size]
                bits.append(row_bits)
        elif cp.has_measurements() or start is not None:
            states = np.empty((rows, size), dtype=np.complex64)
            bits = []
            for r in range(rows):
                state, row_bits = trajectory(cp.program, values[r], self._rng, start)
                states[r] = state[:size]
                bits.append(row_bits)
        else:
            plan = compile_bound(cp.program)
            if cp.program.parameters or rows == 0:
                states = plan.compiled.batch_statevector(plan.slot_values(values))[:, :size]
            else:
                # Nothing to sweep: one run serves every resolver (a single
                # one takes it without a copy, which is as large as the run).
                state = plan.compiled.statevector([])[None, :size]
                states = state if rows == 1 else np.repeat(state, rows, axis=0)
            bits = [np.zeros(0, dtype=bool)] * rows
        phases = self._phases(cp, values)
        if phases is not None:
            states *= phases[:, None]
        return states, bits

    # --------------------------------------------------------- final states

    def simulate_sweep(
        self,
        program: cirq.AbstractCircuit,
        params: cirq.Sweepable = None,
        qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
        initial_state: Any = None,
    ) -> list[cirq.StateVectorTrialResult]:
        """Final states for every resolver of ``params``, from one batch call
        when the circuit has no measurements (one trajectory per resolver
        when it is noisy). ``initial_state`` is a basis state index (Cirq's
        order) or a state vector (not with noise)."""
        cp = self._translate(program, qubit_order)
        start = self._start(cp, initial_state)
        resolvers = list(cirq.to_resolvers(params))
        states, bits = self._final_states(cp, self._values(cp, resolvers), start)
        results = []
        for resolver, state, row_bits in zip(resolvers, states, bits):
            recorded = cp.confuse(row_bits, self._rng)
            measurements = {key: cp.record(recorded, key)[-1] for key in cp.keys}
            final = cirq.StateVectorSimulationState(qubits=cp.qubits, initial_state=state, dtype=np.complex64)
            results.append(cirq.StateVectorTrialResult(resolver, measurements, final))
        return results

    def simulate_sweep_iter(  # type: ignore[override, unused-ignore]
        self,
        program: cirq.AbstractCircuit,
        params: cirq.Sweepable = None,
        qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
        initial_state: Any = None,
    ) -> Iterator[cirq.StateVectorTrialResult]:
        yield from self.simulate_sweep(program, params, qubit_order, initial_state)

    def final_state_vector(
        self,
        program: cirq.AbstractCircuit,
        param_resolver: cirq.ParamResolverOrSimilarType = None,
        qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
        initial_state: Any = None,
    ) -> NDArray[np.complex64]:
        """The final state vector (Cirq's order: ``qubit_order[0]`` is the most
        significant bit of an index) for one resolver."""
        cp = self._translate(program, qubit_order)
        start = self._start(cp, initial_state)
        resolvers = [cirq.ParamResolver(param_resolver)]
        states, _ = self._final_states(cp, self._values(cp, resolvers), start)
        state: NDArray[np.complex64] = states[0]
        return state

    # ------------------------------------------------------------ amplitudes

    def compute_amplitudes_sweep(
        self,
        program: cirq.AbstractCircuit,
        bitstrings: Sequence[int],
        params: cirq.Sweepable,
        qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
    ) -> Sequence[Sequence[complex]]:
        """Amplitudes of the given basis states (big-endian integers, as in
        Cirq) for every resolver, from one batch call (of one trajectory per
        resolver when the circuit is noisy)."""
        cp = self._translate(program, qubit_order)
        if cp.has_measurements():
            raise ValueError("amplitudes are defined for circuits without measurements")
        indices = np.asarray(bitstrings, dtype=np.int64)
        if indices.size and (indices.min() < 0 or indices.max() >= 1 << cp.num_qubits):
            raise ValueError(f"bitstrings must lie in [0, {1 << cp.num_qubits}) for {cp.num_qubits} qubits")
        values = self._values(cp, list(cirq.to_resolvers(params)))
        out: list[list[complex]] = []
        # Only the amplitudes are kept: the states come in chunks of rows.
        chunk = max(1, _BATCH_AMPLITUDES >> cp.num_qubits)
        for first in range(0, values.shape[0], chunk):
            states, _ = self._final_states(cp, values[first : first + chunk], None)
            out += [list(row[indices]) for row in states]
        return out

    def compute_amplitudes_sweep_iter(  # type: ignore[override, unused-ignore]
        self,
        program: cirq.AbstractCircuit,
        bitstrings: Sequence[int],
        params: cirq.Sweepable,
        qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
    ) -> Iterator[Sequence[complex]]:
        yield from self.compute_amplitudes_sweep(program, bitstrings, params, qubit_order)

    # ----------------------------------------------------- expectation values

    def simulate_expectation_values_sweep(
        self,
        program: cirq.AbstractCircuit,
        observables: Any,
        params: cirq.Sweepable,
        qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
        initial_state: Any = None,
        permit_terminal_measurements: bool = False,
    ) -> list[list[float]]:
        """Exact expectation values for every resolver and observable: one
        `batch_expectation` call per observable over all resolvers.
        Coefficients must be real. Terminal measurements are ignored when
        permitted (Cirq collapses the state on one drawn outcome instead);
        other measurements, resets,
        classical control and an array ``initial_state`` take one trajectory
        per resolver.

        A simulator with ``noise_method="density"`` computes the values of
        a noisy circuit, or of one with mid-circuit measurements or resets,
        exactly on its density matrix. Otherwise a noisy circuit needs the
        simulator's ``trajectories``: its values
        are then means over that many trajectories of one seed (one
        `batch_trajectory_expectation` call per observable), estimates with
        a statistical error of order 1/sqrt(``trajectories``). A simulator
        with ``trajectories`` averages a circuit with mid-circuit
        measurements or resets the same way: on an entangled qubit they
        leave a mixture, whose expectation one trajectory does not give."""
        sums = _as_pauli_sums(observables)
        if not permit_terminal_measurements and program.are_any_measurements_terminal():
            raise ValueError(
                "Provided circuit has terminal measurements, which may skew expectation values. "
                "If this is intentional, set permit_terminal_measurements=True."
            )
        cp = self._translate(_without_terminal_measurements(program), qubit_order, [q for s in sums for q in s.qubits])
        start = self._start(cp, initial_state)
        resolvers = list(cirq.to_resolvers(params))
        values = self._values(cp, resolvers)
        index = {q: cp.num_qubits - 1 - i for i, q in enumerate(cp.qubits)}
        out = np.zeros((len(resolvers), len(sums)), dtype=np.float64)
        collapses = any(isinstance(s, (Measure, Reset)) for s in cp.program.steps)
        drawn = self._trajectories is not None and collapses
        if self._density and (cp.program.channels or collapses):
            if start is not None or any(isinstance(s, Conditional) for s in cp.program.steps):
                raise ValueError(
                    "noise_method='density' cannot start from a state vector or run classically "
                    "controlled operations; use trajectories")
            plan = compile_bound(cp.program)
            slots = plan.slot_values(values)
            for k, psum in enumerate(sums):
                observable = _observable(psum, index)
                out[:, k] = [plan.compiled.density_expectation(row, observable) for row in slots]
        elif cp.program.channels or drawn:
            if self._trajectories is None:
                raise ValueError(
                    "expectation values of a circuit with noise channels are estimated over trajectories; "
                    "create the Simulator with trajectories=T to average T of them, or with "
                    "noise_method='density' for exact values")
            seed = int(self._rng.integers(2**63))
            if start is None and not any(isinstance(s, Conditional) for s in cp.program.steps):
                plan = compile_bound(cp.program)
                slots = plan.slot_values(values)
                for k, psum in enumerate(sums):
                    means, _ = plan.compiled.batch_trajectory_expectation(
                        slots, _observable(psum, index), self._trajectories, seed)
                    out[:, k] = means
            else:
                # A starting state or classical control needs each
                # trajectory's own run; every row draws trajectories
                # 0 … T − 1 of one seed, as in the batch call, and the mean
                # is summed in trajectory order.
                positions = {q: i for i, q in enumerate(cp.qubits)}
                for r in range(values.shape[0]):
                    for t in range(self._trajectories):
                        state, _ = seeded_trajectory(cp.program, values[r], seed, t, start)
                        state = state[: 1 << cp.num_qubits].astype(np.complex128)
                        for k, psum in enumerate(sums):
                            out[r, k] += np.real(psum.expectation_from_state_vector(
                                state, positions, check_preconditions=False))
                out /= self._trajectories
        elif cp.has_measurements() or start is not None:
            states, _ = self._final_states(cp, values, start)
            positions = {q: i for i, q in enumerate(cp.qubits)}
            for k, psum in enumerate(sums):
                for r, state in enumerate(states):
                    value = psum.expectation_from_state_vector(
                        state.astype(np.complex128), positions, check_preconditions=False
                    )
                    out[r, k] = np.real(value)
        else:
            plan = compile_bound(cp.program)
            slots = plan.slot_values(values)
            for k, psum in enumerate(sums):
                out[:, k] = plan.compiled.batch_expectation(slots, _observable(psum, index))
        return out.tolist()  # type: ignore[no-any-return, unused-ignore]

    def simulate_expectation_values_sweep_iter(  # type: ignore[override, unused-ignore]
        self,
        program: cirq.AbstractCircuit,
        observables: Any,
        params: cirq.Sweepable,
        qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
        initial_state: Any = None,
        permit_terminal_measurements: bool = False,
    ) -> Iterator[list[float]]:
        yield from self.simulate_expectation_values_sweep(
            program, observables, params, qubit_order, initial_state, permit_terminal_measurements
        )

    # --------------------------------------------------------------- samples

    def run_sweep(
        self, program: cirq.AbstractCircuit, params: cirq.Sweepable = None, repetitions: int = 1
    ) -> list[cirq.Result]:
        """Measurement results of ``repetitions`` shots for every resolver.
        Without mid-circuit measurements the shots of all resolvers are drawn
        from the states of one batch call; otherwise every shot is its own
        trajectory, and so is every shot of a noisy circuit. Operations that
        no later measurement depends on do not run: they cannot change the
        records."""
        if not program.has_measurements():
            raise ValueError("Circuit has no measurements to sample.")
        if repetitions < 0:
            raise ValueError(f"repetitions must be non-negative, got {repetitions}")
        cp = self._translate(program, cirq.QubitOrder.DEFAULT, samples_only=True)
        resolvers = list(cirq.to_resolvers(params))
        values = self._values(cp, resolvers)
        bits = cp.confuse(sample_bits(cp.program, values, repetitions, self._rng), self._rng)
        # Records in the order the circuit first measures their keys, as Cirq's own.
        order = {str(k): None for op in program.all_operations() for k in cirq.measurement_key_objs(op)}
        keys = [key for key in order if key in cp.keys] + [key for key in cp.keys if key not in order]
        return [
            cirq.ResultDict(
                params=resolver,
                records={key: cp.record(bits[r], key) for key in keys},
            )
            for r, resolver in enumerate(resolvers)
        ]

    def run_sweep_iter(
        self, program: cirq.AbstractCircuit, params: cirq.Sweepable = None, repetitions: int = 1
    ) -> Iterator[cirq.Result]:
        yield from self.run_sweep(program, params, repetitions)

    def _run(
        self, circuit: cirq.AbstractCircuit, param_resolver: cirq.ParamResolver, repetitions: int
    ) -> dict[str, np.ndarray]:
        (result,) = self.run_sweep(circuit, param_resolver, repetitions)
        return dict(result.records)


__all__ = ["Simulator"]
