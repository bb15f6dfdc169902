"""``vantelo.qubit``: a PennyLane device on vantelo's single-precision engine.

Tapes run in one of three ways:

- analytic expectation values of Pauli words and their sums, on tapes whose
  gates all reduce to the compiled gate set, go to a cached CompiledCircuit
  (``expectation``, or ``batch_expectation`` for a broadcast tape);
- other analytic tapes run as a one-off ``Circuit`` (from a loaded state when
  the tape starts with a state preparation); expectation values and
  variances are then taken with the observable's sparse matrix, and the
  other measurements are read off the final state;
- tapes with shots draw their samples with ``Circuit.sample_from``, after the
  measurements' diagonalising gates, seeded from the device's ``seed``.

Tapes with channels (BitFlip, DepolarizingChannel, AmplitudeDamping, …, also
inserted by ``qml.add_noise``) run as seeded trajectories: with shots, one
trajectory per shot; analytic expectation values, probabilities and reduced
density matrices only on a device created with ``trajectories=T``, as the
mean over T trajectories (an estimate, not the exact density-matrix value),
or exactly on the density matrix on a device created with
``noise_method="density"``, which also gives purities, entropies and mutual
information.

Derivatives (``diff_method="adjoint"`` or ``"device"``) decompose the tape to
the compiled gate set and call the compiled adjoint or parameter-shift
gradient. PennyLane's own gradient transforms run on the device too; those
that take difference quotients get steps suited to single precision.

Mid-circuit measurements are deferred onto auxiliary qubits of the device's
own, which no result shows.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, Callable, cast

import numpy as np
import pennylane as qml
from pennylane.devices import Device, ExecutionConfig
from pennylane.devices.modifiers import simulator_tracking, single_tape_support
from pennylane.devices.preprocess import (
    decompose,
    no_sampling,
    validate_adjoint_trainable_params,
    validate_device_wires,
    validate_measurements,
    validate_observables,
)
from pennylane.devices.capabilities import observable_stopping_condition_factory
from pennylane.exceptions import (
    DecompositionUndefinedError,
    DeviceError,
    QuantumFunctionError,
    SparseMatrixUndefinedError,
    WireError,
)
from pennylane.measurements import (
    DensityMatrixMP,
    ExpectationMP,
    MutualInfoMP,
    ProbabilityMP,
    PurityMP,
    SampleMeasurement,
    StateMeasurement,
    VarianceMP,
    VnEntropyMP,
)
from pennylane.operation import StatePrepBase
from pennylane.ops import MidMeasure
from pennylane.transforms import broadcast_expand, defer_measurements, split_non_commuting
from pennylane.transforms.core import CompilePipeline, transform
from pennylane.wires import Wires

from vantelo import Circuit, CompiledCircuit, Observable

from .._width import MAX_QUBITS, check_width
from .compiled import COMPILABLE, PlanCache, Sums, observable_for
from .translate import GATES, gates_for, has_table_entry, is_channel, qubit_map

DERIVATIVE_METHODS = ("adjoint", "device")
# Builds of the module without adjoint differentiation fall back to the
# compiled parameter-shift gradient for diff_method="best".
HAS_ADJOINT = hasattr(CompiledCircuit, "adjoint_value_and_gradient")
BEST = "adjoint" if HAS_ADJOINT else "device"


# PennyLane's tapes, operations and measurements are typed as Any here:
# PennyLane may be missing where this is type-checked.

# Difference quotients in single precision. Each value carries rounding
# errors of about 1e-6, so PennyLane's default steps (1e-7 for finite-diff,
# 1e-5 for SPSA) give quotients made mostly of rounding. Central differences
# with a step of 1e-2 keep truncation and rounding both near 1e-4 on
# circuits of tens of gates; first-order forward differences do best near
# 1e-3. Steps below MIN_STEP are refused: rounding alone then exceeds 1e-3.
CENTRAL_STEP = 1e-2
FORWARD_STEP = 1e-3
MIN_STEP = 1e-3


@dataclass(frozen=True)
class AuxiliaryWire:
    """A wire the device adds to hold one deferred mid-circuit measurement.
    Its own type keeps it apart from every label a user can write."""

    index: int

    def __repr__(self) -> str:
        return f"aux{self.index}"


def _single(tape: Any) -> tuple[list[Any], Callable[[Any], Any]]:
    return [tape], lambda results: results[0]


def _expectations_only(tape: Any) -> bool:
    return bool(tape.measurements) and all(
        isinstance(mp, ExpectationMP) and mp.obs is not None and mp.obs.pauli_rep is not None
        for mp in tape.measurements
    )


def _on_positions(mp: Any, wire_order: Any) -> tuple[Any, Wires]:
    """The measurement with each wire replaced by its position in
    `wire_order`, and the positions' own order. Some of PennyLane's
    measurements (entropies, mutual information) read their wires as
    indices into the state, which holds only for wires 0 … n − 1 in order."""
    return mp.map_wires({w: i for i, w in enumerate(wire_order)}), Wires(range(len(wire_order)))


# What noise_method="density" reads off a circuit's density matrix.
_ON_DENSITY_MATRIX = (ExpectationMP, VarianceMP, ProbabilityMP, DensityMatrixMP, PurityMP, VnEntropyMP,
                      MutualInfoMP)


def _goes_to_compiled(tape: Any) -> bool:
    """Analytic Pauli expectations on a tape of compiled-set gates and
    channels (a plan with channels estimates them over trajectories)."""
    return (
        not tape.shots
        and _expectations_only(tape)
        and all(op.name in COMPILABLE or (is_channel(op) and op.batch_size is None)
                for op in tape.operations)
    )


@transform  # type: ignore[untyped-decorator, unused-ignore]  # PennyLane may be untyped here
def _expand_unless_batched(tape: Any) -> Any:
    """Broadcast tapes the compiled batch path cannot take run row by row."""
    if tape.batch_size is None or _goes_to_compiled(tape):
        return _single(tape)
    return broadcast_expand(tape)


@transform  # type: ignore[untyped-decorator, unused-ignore]  # PennyLane may be untyped here
def _expand_if_trainable(tape: Any) -> Any:
    """Broadcast tapes being differentiated run row by row, so each row's
    Jacobian has PennyLane's shape; evaluations alone stay one batch call."""
    if tape.batch_size is None or not tape.trainable_params:
        return _single(tape)
    return broadcast_expand(tape)


@transform  # type: ignore[untyped-decorator, unused-ignore]  # PennyLane may be untyped here
def _defer_on_auxiliary_wires(tape: Any) -> Any:
    """Mid-circuit measurements as controlled operations (PennyLane's
    defer_measurements), with each wire that transform adds renamed to an
    AuxiliaryWire. Measurements over all wires get the tape's own wires first,
    so the auxiliary ones stay out of every result."""
    if not any(isinstance(op, MidMeasure) for op in tape.operations):
        return _single(tape)
    (tape,), _ = validate_device_wires(tape, tape.wires)
    (deferred,), _ = defer_measurements(tape, allow_postselect=False)
    added = [w for w in deferred.wires if w not in tape.wires]
    if not added:
        return _single(deferred)
    rename = {w: AuxiliaryWire(k) for k, w in enumerate(added)}
    renamed = deferred.copy(
        operations=[op.map_wires(rename) for op in deferred.operations],
        measurements=[mp.map_wires(rename) for mp in deferred.measurements],
    )
    return _single(renamed)


def _is_auxiliary(wire: Any) -> bool:
    return isinstance(wire, AuxiliaryWire)


@transform  # type: ignore[untyped-decorator, unused-ignore]  # PennyLane may be untyped here
def _no_wires_but_auxiliary_ones(tape: Any, wires: Any, name: str) -> Any:
    """After decomposition: a wire that is neither the device's nor an
    auxiliary one (a work wire a decomposition added) is refused as
    PennyLane's validate_device_wires refuses it."""
    if wires:
        extra = {w for w in tape.wires if w not in wires and not _is_auxiliary(w)}
        if extra:
            raise WireError(f"Cannot run circuit(s) on {name} as they contain wires not found on the device: {extra}")
    return _single(tape)


@transform  # type: ignore[untyped-decorator, unused-ignore]  # PennyLane may be untyped here
def _no_trainable_observables(tape: Any, name: str) -> Any:
    """The device's derivatives are those of the circuit's gate parameters;
    an observable with trainable coefficients is refused, so that "best"
    picks PennyLane's parameter shift for it (which differentiates them)."""
    # The observables' parameters come after the operations'. Where
    # PennyLane has marked the trainable ones, that settles it at once.
    gate_parameters = sum(op.num_params for op in tape.operations)
    if all(i < gate_parameters for i in tape.trainable_params):
        return _single(tape)
    for mp in tape.measurements:
        if mp.obs is not None and any(qml.math.requires_grad(d) for d in mp.obs.data):
            raise DeviceError(
                f"{name} differentiates gate parameters only; {mp.obs} has trainable "
                "coefficients: use diff_method='parameter-shift', or make them non-trainable")
    return _single(tape)


@transform  # type: ignore[untyped-decorator, unused-ignore]  # PennyLane may be untyped here
def _hermitian_observables(tape: Any, name: str) -> Any:
    """Refuses an observable that is not Hermitian (a Pauli sum with complex
    coefficients, such as X @ Y on one wire, which is iZ): its expectation
    is not a real number, and dropping the imaginary part would give a
    wrong one."""
    for mp in tape.measurements:
        if mp.obs is not None and not _is_hermitian(mp.obs):
            raise DeviceError(f"{name} measures Hermitian observables only; {mp.obs} is not Hermitian")
    return _single(tape)


def _is_hermitian(obs: Any) -> bool:
    rep = obs.pauli_rep
    if rep is not None:
        coefficients = list(rep.values())
        try:  # plain numbers, all at once
            values = np.asarray(coefficients, dtype=np.complex128).ravel()
        except (TypeError, ValueError):  # framework tensors, one by one
            values = np.concatenate([np.zeros(0)] + [np.ravel(np.asarray(qml.math.unwrap(c), np.complex128))
                                                     for c in coefficients if not qml.math.is_abstract(c)])
        return not np.any(np.abs(values.imag) > 1e-10 * np.maximum(1.0, np.abs(values)))
    if getattr(obs, "is_verified_hermitian", False) or len(obs.wires) > 10:
        return True  # wider matrices are too dear to check here
    try:
        matrix = np.asarray(qml.math.unwrap(qml.matrix(obs)))
    except Exception:  # no matrix: PennyLane's own checks decide
        return True
    return bool(np.allclose(matrix, matrix.conj().T, rtol=0, atol=1e-8 * max(1.0, np.abs(matrix).max())))


@transform  # type: ignore[untyped-decorator, unused-ignore]  # PennyLane may be untyped here
def _split_for_sampling(tape: Any) -> Any:
    """Tapes with shots get groups of qubit-wise commuting measurements, each
    group sampled once in the basis its diagonalising gates give."""
    mps = tape.measurements
    if not tape.shots or len(mps) < 2 and not any(_is_sum(mp) for mp in mps):
        return _single(tape)
    if not all(_splits_soundly(mp) for mp in mps):
        # Each measurement is then sampled in its own eigenbasis (_sampled
        # shares the samples of those whose bases agree).
        return _single(tape)
    return split_non_commuting(tape, grouping_strategy="qwc")


def _splits_soundly(mp: Any) -> bool:
    """Whether split_non_commuting keeps the measurement's meaning. It splits
    only expectation values into terms; any other measurement of a sum makes
    it raise, and any other measurement of the identity it replaces by the
    constant 1 (so a variance of the identity would come out as 1)."""
    obs = mp.obs
    if obs is None or isinstance(mp, ExpectationMP):
        return True
    if isinstance(obs, qml.Identity):
        return False
    if isinstance(obs, (qml.ops.SProd, qml.ops.Prod)):
        obs = obs.simplify()
    return not isinstance(obs, qml.ops.Sum)


def _is_sum(mp: Any) -> bool:
    return isinstance(mp.obs, qml.ops.Sum)


def _pauli_observable(obs: Any) -> bool:
    return obs.pauli_rep is not None


def _observable(mp: Any, qubits: dict[Any, int]) -> Observable:
    """The measurement's observable on the compiled path. Tapes reach it only
    with Pauli observables (_expectations_only); anything else stays None and
    vantelo refuses it with its own TypeError."""
    return cast(Observable, observable_for(mp.obs, qubits))


def _finite_diff_fallback(tape: Any, argnum: Any = None, **kwargs: Any) -> Any:
    """Parameter shift's fallback for parameters without a shift rule."""
    return qml.gradients.finite_diff(tape, argnum=argnum, h=CENTRAL_STEP, approx_order=2)


def _single_precision_steps(method: Any, kwargs: dict[str, Any]) -> dict[str, Any] | None:
    """The gradient keyword arguments with difference steps suited to single
    precision where the user gave none, or None when nothing changes.
    Refuses steps too small to resolve."""
    gradients = qml.gradients
    if method in ("finite-diff", gradients.finite_diff, "spsa", gradients.spsa_grad):
        if "h" in kwargs:
            h = kwargs["h"]
            if not abs(float(h)) >= MIN_STEP:
                raise DeviceError(
                    f"a difference step h={h!r} is below what vantelo.qubit's single-precision "
                    f"values resolve: use h >= {MIN_STEP:g}, or leave h out and the device picks "
                    "one, or use diff_method='adjoint' for exact gradients"
                )
            return None
        steps = dict(kwargs)
        if method in ("finite-diff", gradients.finite_diff):
            steps.setdefault("approx_order", 2)
            steps["h"] = FORWARD_STEP if steps["approx_order"] == 1 else CENTRAL_STEP
        else:
            steps["h"] = CENTRAL_STEP
        return steps
    if method in ("parameter-shift", gradients.param_shift) and "fallback_fn" not in kwargs:
        return {**kwargs, "fallback_fn": _finite_diff_fallback}
    return None


def _format_jacobian(jac: list[list[Any]]) -> Any:
    """Measurements × parameters, in PennyLane's nesting for one tape."""
    n_mps = len(jac)
    n_params = len(jac[0]) if jac else 0
    if n_mps == 1:
        row = jac[0]
        return row[0] if n_params == 1 else tuple(row)
    if n_params == 1:
        return tuple(r[0] for r in jac)
    return tuple(tuple(r) for r in jac)


@simulator_tracking
@single_tape_support
class VanteloQubit(Device):  # type: ignore[misc, unused-ignore]  # PennyLane may be untyped here
    """vantelo's state-vector simulator as a PennyLane device.

    Args:
        wires (int, Iterable): the number of wires or their labels; ``None``
            takes the wires of each circuit.
        shots: the default shots (prefer setting shots on the QNode).
        seed (int, numpy Generator or None): makes sampling reproducible:
            every sampling call draws its own seed from a generator seeded
            with this value. ``None`` samples from fresh system entropy.
        trajectories (int or None): analytic results of circuits with
            channels are estimated as the mean over this many trajectories;
            ``None`` refuses such circuits without shots.
        noise_method (str): keyword only. ``"trajectories"`` (the default)
            runs circuits with channels as described for ``trajectories``;
            ``"density"`` computes their analytic expectation values,
            variances, probabilities, reduced density matrices, purities,
            entropies and mutual information exactly on the density matrix
            (``Circuit.density_matrix``, ``density_expectation``), on at
            most 12 qubits; shots still draw one trajectory per shot.
        sums (str): keyword only. ``"float64"`` (the default here) sums
            expectation values, adjoint inner products and sampling weights
            in double precision (``vantelo``'s ``sums="float64"``), so results
            compare closely with double-precision references; ``"float32"``
            uses the specified single-precision sums, a little faster.
        fusion (int): keyword only. ``0`` (the default) runs every gate as
            it is; ``k`` from 2 to 5 fuses fixed gates into dense blocks of
            at most ``k`` qubits (``vantelo``'s ``fusion=k``).
    """

    config_filepath = Path(__file__).with_name("vantelo_qubit.toml")

    @property
    def name(self) -> str:
        return "vantelo.qubit"

    def __init__(self, wires: Any = None, shots: Any = None, seed: Any = None,
                 trajectories: int | None = None, *, sums: Sums = "float64", fusion: int = 0,
                 noise_method: str = "trajectories") -> None:
        if sums not in ("float32", "float64"):
            raise ValueError(f"sums must be 'float32' or 'float64', not {sums!r}")
        if noise_method not in ("trajectories", "density"):
            raise ValueError(f"noise_method must be 'trajectories' or 'density', not {noise_method!r}")
        if noise_method == "density" and trajectories is not None:
            raise ValueError("noise_method='density' computes exact values: give no trajectory count")
        Circuit([], fusion=fusion)  # the module's checks and messages
        super().__init__(wires=wires, shots=shots)
        if trajectories is not None and int(trajectories) < 1:
            raise ValueError(f"trajectories must be a positive number, got {trajectories}")
        self._trajectories = None if trajectories is None else int(trajectories)
        self._density = noise_method == "density"
        self._seeds = None if seed is None else np.random.default_rng(seed)
        # Every analytic estimate uses the same trajectories, so the tapes of
        # a parameter-shift gradient differ only by their parameters.
        self._analytic_seed = int(np.random.default_rng(seed).integers(2**63))
        self._sums = sums
        self._fusion = fusion
        self._plans = PlanCache(sums=sums, fusion=fusion)

    # ------------------------------------------------------------ set-up ----

    def setup_execution_config(
        self, config: ExecutionConfig | None = None, circuit: Any = None
    ) -> ExecutionConfig:
        config = config or ExecutionConfig()
        updated = {}
        method = config.gradient_method
        if method == "best":
            if self.supports_derivatives(replace(config, gradient_method=BEST), circuit):
                method = BEST
            updated["gradient_method"] = method
        if config.use_device_gradient is None:
            updated["use_device_gradient"] = method in DERIVATIVE_METHODS
        if config.grad_on_execution is None:
            updated["grad_on_execution"] = method == "adjoint"
        if config.use_device_jacobian_product is None:
            updated["use_device_jacobian_product"] = False
        mcm_method = config.mcm_config.mcm_method
        if mcm_method not in (None, "deferred"):
            raise DeviceError(
                f"mcm_method '{mcm_method}' is not supported by vantelo.qubit; "
                "mid-circuit measurements run deferred (mcm_method='deferred')"
            )
        updated["mcm_config"] = replace(config.mcm_config, mcm_method="deferred")
        steps = _single_precision_steps(method, config.gradient_keyword_arguments)
        if steps is not None:
            updated["gradient_keyword_arguments"] = steps
        return replace(config, **updated)

    def preprocess_transforms(self, execution_config: ExecutionConfig | None = None) -> CompilePipeline:
        config = execution_config or ExecutionConfig()
        program = CompilePipeline()
        # The user's wires are checked before deferral adds auxiliary ones.
        program.add_transform(validate_device_wires, self.wires, name=self.name)
        if config.mcm_config.mcm_method in (None, "deferred"):
            program.add_transform(_defer_on_auxiliary_wires)
        if config.gradient_method in DERIVATIVE_METHODS:
            self._add_derivative_transforms(program, config.gradient_method)
        else:
            program.add_transform(
                decompose,
                stopping_condition=has_table_entry,
                target_gates=set(GATES),
                name=self.name,
            )
            program.add_transform(_split_for_sampling)
            program.add_transform(_expand_unless_batched)
        program.add_transform(_no_wires_but_auxiliary_ones, self.wires, name=self.name)
        analytic = self.capabilities.filter(finite_shots=False)
        sampled = self.capabilities.filter(finite_shots=True)
        # Any measurement that can read a final state (or samples) works, also
        # user-defined ones; the capabilities list the standard ones.
        program.add_transform(
            validate_measurements,
            analytic_measurements=lambda mp: isinstance(mp, StateMeasurement),
            sample_measurements=lambda mp: isinstance(mp, SampleMeasurement),
            name=self.name,
        )
        program.add_transform(
            validate_observables,
            stopping_condition=observable_stopping_condition_factory(analytic),
            stopping_condition_shots=observable_stopping_condition_factory(sampled),
            name=self.name,
        )
        program.add_transform(_hermitian_observables, name=self.name)
        return program

    def _add_derivative_transforms(self, program: CompilePipeline, method: str) -> None:
        name = f"{method} + vantelo.qubit"
        program.add_transform(no_sampling, name=name)
        program.add_transform(
            decompose,
            stopping_condition=lambda op: op.name in COMPILABLE,
            target_gates=set(COMPILABLE),
            skip_initial_state_prep=False,
            name=name,
        )
        program.add_transform(validate_observables, _pauli_observable, name=name)
        program.add_transform(_hermitian_observables, name=name)
        program.add_transform(
            validate_measurements,
            analytic_measurements=lambda mp: isinstance(mp, ExpectationMP) and mp.obs is not None,
            name=name,
        )
        program.add_transform(_no_trainable_observables, name=name)
        program.add_transform(validate_adjoint_trainable_params)
        program.add_transform(_expand_if_trainable)

    def supports_derivatives(self, execution_config: ExecutionConfig | None = None, circuit: Any = None) -> bool:
        if execution_config is None:
            return True
        method = execution_config.gradient_method
        if method == "best":
            method = BEST
        if method not in DERIVATIVE_METHODS or (method == "adjoint" and not HAS_ADJOINT):
            return False
        # The device's derivatives are first order: PennyLane would take the
        # derivative of a device gradient as zero, so a QNode that asks for
        # more (max_diff > 1) gets PennyLane's own method under "best".
        if getattr(execution_config, "derivative_order", 1) > 1:
            return False
        if circuit is None:
            return not self.shots
        if circuit.shots:
            return False
        program = CompilePipeline()
        # The tape differentiated is the one after deferral: a parameter of a
        # qml.cond operation is then an ordinary controlled gate's.
        program.add_transform(validate_device_wires, self.wires, name=self.name)
        program.add_transform(_defer_on_auxiliary_wires)
        self._add_derivative_transforms(program, method)
        try:
            program((circuit,))
        except (DecompositionUndefinedError, DeviceError, QuantumFunctionError, AttributeError, ValueError):
            return False
        return True

    # --------------------------------------------------------- execution ----

    def execute(self, circuits: Any, execution_config: ExecutionConfig | None = None) -> Any:
        return tuple(self._execute(tape) for tape in circuits)

    def _wire_order(self, tape: Any) -> Wires:
        """The device's wires (or the tape's), then the auxiliary ones of
        deferred measurements as the least significant qubits."""
        user = list(self.wires) if self.wires else [w for w in tape.wires if not _is_auxiliary(w)]
        auxiliary = sorted((w for w in tape.wires if _is_auxiliary(w)), key=lambda w: w.index)
        check_width(len(user))
        if len(user) + len(auxiliary) > MAX_QUBITS:
            raise DeviceError(
                f"vantelo.qubit defers mid-circuit measurements onto auxiliary qubits: "
                f"{len(user)} wires and {len(auxiliary)} auxiliary qubits make "
                f"{len(user) + len(auxiliary)}, more than the {MAX_QUBITS} it simulates"
            )
        return Wires(user + auxiliary)

    def _execute(self, tape: Any) -> Any:
        wire_order = self._wire_order(tape)
        qubits = qubit_map(wire_order)
        if any(is_channel(op) for op in tape.operations):
            return self._noisy(tape, wire_order, qubits)
        if _goes_to_compiled(tape):
            return self._compiled_values(tape, qubits)
        state = self._final_state(tape, qubits)
        if not tape.shots:
            results = tuple(self._analytic(mp, state, wire_order, qubits) for mp in tape.measurements)
        else:
            results = self._sampled(tape, state, wire_order, qubits)
            if tape.shots.has_partitioned_shots:
                return results
        return results[0] if len(results) == 1 else results

    def _final_state(self, tape: Any, qubits: dict[Any, int]) -> np.ndarray:
        operations = [op for op in tape.operations if op.name != "Snapshot"]
        if operations and isinstance(operations[0], StatePrepBase):
            wire_order = list(qubits)
            initial = np.asarray(operations[0].state_vector(wire_order=wire_order)).reshape(-1)
            return Circuit(gates_for(operations[1:], qubits), fusion=self._fusion,
                           sums=self._sums).run_from(initial)
        return Circuit(gates_for(operations, qubits), fusion=self._fusion, sums=self._sums).run(len(qubits))

    @staticmethod
    def _analytic(mp: Any, state: np.ndarray, wire_order: Any, qubits: dict[Any, int]) -> Any:
        """One measurement of the final state: expectation values and variances
        as ⟨ψ|O|ψ⟩ with the observable's sparse matrix, everything else read
        off the state turned into the observable's eigenbasis."""
        if isinstance(mp, (ExpectationMP, VarianceMP)) and mp.obs is not None:
            try:
                matrix = mp.obs.sparse_matrix(wire_order=wire_order)
            except (SparseMatrixUndefinedError, ValueError, TypeError):
                matrix = None
            if matrix is not None:
                psi = state.astype(np.complex128)
                o_psi = matrix @ psi
                mean = np.real(np.vdot(psi, o_psi))
                if isinstance(mp, ExpectationMP):
                    return np.float64(mean)
                return np.float64(np.real(np.vdot(o_psi, o_psi)) - mean * mean)
        rotation = mp.diagonalizing_gates() if mp.obs is not None else []
        if rotation:
            state = Circuit(gates_for(rotation, qubits)).run_from(state)
        mp, positions = _on_positions(mp, wire_order)
        return mp.process_state(state.astype(np.complex128), positions)

    def _seed(self) -> int | None:
        return None if self._seeds is None else int(self._seeds.integers(2**63))

    def _trajectory_seed(self) -> int:
        seed = self._seed()
        return int(np.random.default_rng().integers(2**63)) if seed is None else seed

    def _noisy(self, tape: Any, wire_order: Any, qubits: dict[Any, int]) -> Any:
        """A tape with channels: one trajectory per shot, or the mean over the
        device's trajectories for analytic expectations and probabilities
        (Pauli expectations of compiled-set gates in one call per observable
        to the cached plan, anything else trajectory by trajectory here)."""
        operations = [op for op in tape.operations if op.name != "Snapshot"]
        initial = None
        if operations and isinstance(operations[0], StatePrepBase):
            initial = np.asarray(operations[0].state_vector(wire_order=list(qubits))).reshape(-1)
            operations = operations[1:]
        n = len(wire_order)
        if tape.shots:
            gates = gates_for(operations, qubits)

            def draw(rotation: list[Any], total: int) -> np.ndarray:
                circuit = Circuit(gates + gates_for(rotation, qubits))
                seed = self._trajectory_seed()
                if initial is not None:
                    return np.asarray(circuit.sample_from(initial, total, seed))
                return np.asarray(circuit.sample_trajectories(n, total, seed))
            results = self._sampled(tape, None, wire_order, qubits, draw)
            if tape.shots.has_partitioned_shots:
                return results
            return results[0] if len(results) == 1 else results
        if self._density:
            return self._exact(tape, operations, initial, wire_order, qubits)
        if self._trajectories is None:
            raise DeviceError(
                "vantelo.qubit runs circuits with channels as trajectories: give the QNode "
                "shots, or create the device with trajectories=T to estimate analytic "
                "results as the mean over T trajectories")
        for mp in tape.measurements:
            # Means over trajectories estimate what is linear in the state's
            # density matrix; a variance or an entropy is not.
            if not isinstance(mp, (ExpectationMP, ProbabilityMP, DensityMatrixMP)):
                raise DeviceError(
                    f"vantelo.qubit estimates only expectation values, probabilities and reduced "
                    f"density matrices of circuits with channels over trajectories, not "
                    f"{type(mp).__name__}")
        seed = self._analytic_seed
        # A compiled plan starts from |0…0⟩; a prepared state takes the
        # trajectory-by-trajectory path.
        if initial is None and _goes_to_compiled(tape):
            return self._compiled_values(tape, qubits, (self._trajectories, seed))
        circuit = Circuit(gates_for(operations, qubits))
        # Each observable's sparse matrix is made once for all trajectories.
        matrices: list[Any] = []
        for mp in tape.measurements:
            matrix = None
            if isinstance(mp, ExpectationMP) and mp.obs is not None:
                try:
                    matrix = mp.obs.sparse_matrix(wire_order=wire_order)
                except (SparseMatrixUndefinedError, ValueError, TypeError):
                    matrix = None
            matrices.append(matrix)
        sums: list[Any] = [0.0] * len(tape.measurements)
        for t in range(self._trajectories):
            state = circuit.run_trajectory(n, seed, t, state=initial)[0]
            psi = state.astype(np.complex128)
            for i, mp in enumerate(tape.measurements):
                if matrices[i] is not None:
                    value: Any = np.real(np.vdot(psi, matrices[i] @ psi))
                else:
                    # A reduced density matrix is complex, the rest real.
                    value = np.asarray(self._analytic(mp, state, wire_order, qubits))
                    value = value.astype(np.complex128 if np.iscomplexobj(value) else np.float64)
                sums[i] = sums[i] + value
        means = tuple(s / self._trajectories for s in sums)
        return means[0] if len(means) == 1 else means

    def _exact(self, tape: Any, operations: list[Any], initial: Any, wire_order: Any,
               qubits: dict[Any, int]) -> Any:
        """Analytic results of a tape with channels on its exact density matrix:
        Pauli expectations of compiled-set gates by the cached plan's
        ``density_expectation``, the rest from ``Circuit.density_matrix``."""
        if initial is not None:
            raise DeviceError("vantelo.qubit cannot compute analytic results of a circuit with "
                              "channels that starts with a state preparation; use shots")
        for mp in tape.measurements:
            if not isinstance(mp, _ON_DENSITY_MATRIX):
                raise DeviceError(
                    f"vantelo.qubit computes only expectation values, variances, probabilities, "
                    f"reduced density matrices, purities, entropies and mutual information of "
                    f"circuits with channels on the density matrix, not {type(mp).__name__}")
        if _goes_to_compiled(tape):
            plan = self._plans.get(tape.operations, qubits)
            slots = plan.slots_for(tape.operations, tape.batch_size)
            rows = [slots] if tape.batch_size is None else list(slots)
            values: list[Any] = []
            for mp in tape.measurements:
                observable = _observable(mp, qubits)
                row_values = [np.float64(plan.circuit.density_expectation(r, observable)) for r in rows]
                values.append(row_values[0] if tape.batch_size is None else np.array(row_values))
            return values[0] if len(values) == 1 else tuple(values)
        # PennyLane reads every measurement off the diagonal of a density
        # matrix already turned into the observable's eigenbasis: one matrix
        # per distinct set of diagonalising gates.
        gates = gates_for(operations, qubits)
        rotated: dict[tuple[Any, ...], np.ndarray] = {}
        results: list[Any] = []
        for mp in tape.measurements:
            rotation = mp.diagonalizing_gates() if mp.obs is not None else []
            key = tuple((g.name, tuple(g.wires), tuple(np.ravel(g.parameters))) for g in rotation)
            if key not in rotated:
                rho = Circuit(gates + gates_for(rotation, qubits)).density_matrix(len(wire_order))
                rotated[key] = rho.astype(np.complex128)
            mapped, positions = _on_positions(mp, wire_order)
            results.append(mapped.process_density_matrix(rotated[key], positions))
        return results[0] if len(results) == 1 else tuple(results)

    def _sampled(self, tape: Any, state: np.ndarray | None, wire_order: Any, qubits: dict[Any, int],
                 draw: Callable[[list[Any], int], np.ndarray] | None = None) -> Any:
        """Results per shot partition (a tuple of per-measurement tuples when
        the shots are partitioned, else one per-measurement tuple). Samples
        come from the final state, or from `draw(rotation, shots)`."""
        n = len(wire_order)
        total = tape.shots.total_shots
        shifts = np.arange(n - 1, -1, -1, dtype=np.int64)
        # Measurements whose diagonalising gates agree share one set of samples.
        groups: dict[tuple[Any, ...], tuple[list[Any], list[int]]] = {}
        for index, mp in enumerate(tape.measurements):
            rotation = mp.diagonalizing_gates() if mp.obs is not None else []
            key = tuple((g.name, tuple(g.wires), tuple(np.ravel(g.parameters))) for g in rotation)
            groups.setdefault(key, (rotation, []))[1].append(index)
        per_mp: list[Any] = [None] * len(tape.measurements)
        for rotation, indices in groups.values():
            unique: list[Any] = []
            seen: set[tuple[Any, ...]] = set()
            for g in rotation:
                k = (g.name, tuple(g.wires), tuple(np.ravel(g.parameters)))
                if k not in seen:
                    seen.add(k)
                    unique.append(g)
            if draw is not None:
                indices_drawn = draw(unique, total)
            else:
                assert state is not None
                indices_drawn = Circuit(gates_for(unique, qubits), sums=self._sums).sample_from(
                    state, total, self._seed())
            bits = (indices_drawn[:, None] >> shifts) & 1
            for i in indices:
                per_mp[i] = bits
        partitions: list[tuple[Any, ...]] = []
        start = 0
        for count in tape.shots:
            partitions.append(tuple(
                mp.process_samples(per_mp[i], wire_order, shot_range=(start, start + count))
                for i, mp in enumerate(tape.measurements)
            ))
            start += count
        if tape.shots.has_partitioned_shots:
            return tuple(p[0] if len(p) == 1 else p for p in partitions)
        return partitions[0]

    def _compiled_values(self, tape: Any, qubits: dict[Any, int],
                         trajectories: tuple[int, int] | None = None) -> Any:
        """Values of the tape's cached plan; with `(count, seed)` (a plan with
        channels) each is the mean over trajectories 0 … count − 1 of that
        seed, in one call per observable."""
        plan = self._plans.get(tape.operations, qubits)
        slots = plan.slots_for(tape.operations, tape.batch_size)
        values: list[Any] = []
        for mp in tape.measurements:
            observable = _observable(mp, qubits)
            if trajectories is not None:
                count, seed = trajectories
                if tape.batch_size is None:
                    mean, _ = plan.circuit.trajectory_expectation(slots, observable, count, seed)
                    values.append(np.float64(mean))
                else:
                    means, _ = plan.circuit.batch_trajectory_expectation(slots, observable, count, seed)
                    values.append(means)
            elif tape.batch_size is None:
                values.append(np.float64(plan.circuit.expectation(slots, observable)))
            else:
                values.append(np.asarray(plan.circuit.batch_expectation(slots, observable), np.float64))
        return values[0] if len(values) == 1 else tuple(values)

    # ------------------------------------------------------- derivatives ----

    def _values_and_jacobian(self, tape: Any, method: str) -> tuple[Any, Any]:
        qubits = qubit_map(self._wire_order(tape))
        plan = self._plans.get(tape.operations, qubits)
        slots = plan.slots_for(tape.operations, tape.batch_size)
        slot_of = plan.slot_of()
        flat = [(p, k) for p, op in enumerate(tape.operations) for k in range(op.num_params)]
        # A trainable parameter without a slot is a GlobalPhase's, which no
        # expectation value depends on: its column is zero.
        columns = [slot_of.get(flat[i]) for i in tape.trainable_params]
        circuit = plan.circuit
        batched = tape.batch_size is not None
        if method == "adjoint":
            evaluate: Callable[[Any, Observable], tuple[Any, Any]] = (
                circuit.batch_adjoint_value_and_gradient if batched else circuit.adjoint_value_and_gradient)
        else:
            evaluate = circuit.batch_value_and_gradient if batched else circuit.value_and_gradient
        values: list[Any] = []
        jac: list[list[Any]] = []
        for mp in tape.measurements:
            value, gradient = evaluate(slots, _observable(mp, qubits))
            gradient = np.asarray(gradient, np.float64)
            values.append(np.asarray(value, np.float64))
            jac.append([gradient[..., c] if c is not None else np.zeros(gradient.shape[:-1]) for c in columns])
        results = values[0] if len(values) == 1 else tuple(values)
        if not columns:
            return results, (() if len(jac) == 1 else tuple(() for _ in jac))
        return results, _format_jacobian(jac)

    def compute_derivatives(self, circuits: Any, execution_config: ExecutionConfig | None = None) -> Any:
        method = (execution_config or ExecutionConfig()).gradient_method
        return tuple(self._values_and_jacobian(t, method)[1] for t in circuits)

    def execute_and_compute_derivatives(
        self, circuits: Any, execution_config: ExecutionConfig | None = None
    ) -> tuple[Any, Any]:
        method = (execution_config or ExecutionConfig()).gradient_method
        pairs = [self._values_and_jacobian(t, method) for t in circuits]
        return tuple(p[0] for p in pairs), tuple(p[1] for p in pairs)

    def supports_vjp(self, execution_config: ExecutionConfig | None = None, circuit: Any = None) -> bool:
        return self.supports_derivatives(execution_config, circuit)

    def compute_vjp(self, circuits: Any, cotangents: Any, execution_config: ExecutionConfig | None = None) -> Any:
        jacobians = self.compute_derivatives(circuits, execution_config)
        return tuple(
            qml.gradients.compute_vjp_single(dy, jac, num=len(tape.trainable_params))
            for tape, dy, jac in zip(circuits, cotangents, jacobians)
        )
