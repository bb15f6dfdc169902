"""Shots of a `Program` as classical bits, one independent trajectory per shot.

Shots are not simulated one by one: every measurement or reset splits the
shots that reach it into the two outcomes (a binomial draw with the outcome's
probability), and each group continues from its own collapsed state. A
circuit whose measurements all come at the end therefore costs one run, and
one with mid-circuit measurements at most one run per distinct outcome
history. Trailing measurements are drawn from the final state directly.
All randomness comes from the caller's NumPy generator, so a seed fixes the
result.
"""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import NDArray

import vantelo
from vantelo import Gate

from ._program import (
    _FIXED_ROTATION,
    Barrier,
    Conditional,
    Measure,
    Program,
    Reset,
    Rotation,
    Step,
    UnsupportedConstruct,
    compile_bound,
)


# Amplitudes of the row states that one batch call may hold (128 MiB).
_BATCH_AMPLITUDES = 1 << 24


def _split_terminal(steps: list[Step]) -> int:
    """Index where the trailing run of measurements (and barriers) starts."""
    start = len(steps)
    while start > 0 and isinstance(steps[start - 1], (Measure, Barrier)):
        start -= 1
    return start


def _draw(state: NDArray[np.complex64], count: int, rng: np.random.Generator) -> NDArray[np.int64]:
    probs = np.abs(state).astype(np.float64) ** 2
    probs /= probs.sum()
    return rng.choice(probs.size, size=count, p=probs)


def _project(state: NDArray[np.complex64], qubit: int, outcome: int, prob: float) -> NDArray[np.complex64]:
    out = state.copy()
    view = out.reshape(-1, 2, 1 << qubit)
    view[:, 1 - outcome, :] = 0
    out /= np.float32(math.sqrt(prob))
    return out


# A run of gates as one circuit, a measurement or reset between runs, or a
# circuit applied only where its conditions on the bits hold.
Segment = vantelo.Circuit | Measure | Reset | tuple[vantelo.Circuit, Conditional]


def _bind(step: Gate | Rotation, row: NDArray[np.float64]) -> Gate:
    if isinstance(step, Rotation):
        angle = np.float32(step.scale * row[step.param] + step.offset)
        return _FIXED_ROTATION[step.kind](step.qubit, float(angle))
    return step


def _bind_segments(program: Program, steps: list[Step], row: NDArray[np.float64],
                   fusion: int = 0) -> list[Segment]:
    """The steps with this row's angles: runs of gates become one-off circuits
    (applied with `Circuit.run_from`), measurements and resets stay."""
    segments: list[Segment] = []
    gates: list[Gate] = []
    for step in steps:
        if isinstance(step, (Measure, Reset, Conditional)):
            if gates:
                segments.append(vantelo.Circuit(gates, fusion=fusion))
                gates = []
            if isinstance(step, Conditional):
                segments.append((vantelo.Circuit([_bind(s, row) for s in step.steps]), step))
            else:
                segments.append(step)
        elif isinstance(step, Barrier):
            continue
        else:
            gates.append(_bind(step, row))
    if gates:
        segments.append(vantelo.Circuit(gates, fusion=fusion))
    return segments


def _trajectories(
    program: Program,
    segments: list[Segment],
    shots: int,
    rng: np.random.Generator,
    start: NDArray[np.complex64] | None = None,
) -> list[tuple[NDArray[np.complex64], int, NDArray[np.bool_]]]:
    """Groups of shots that share an outcome history: (final state, count, bits)."""
    if start is None:
        start = np.zeros(1 << program.num_qubits, dtype=np.complex64)
        start[0] = 1
    leaves = []
    # Depth first, so at most one pending state per measurement is alive.
    stack = [(0, start, shots, np.zeros(program.num_clbits, dtype=bool))]
    while stack:
        position, state, count, bits = stack.pop()
        while position < len(segments):
            segment = segments[position]
            position += 1
            if isinstance(segment, vantelo.Circuit):
                state = segment.run_from(state)
                continue
            if isinstance(segment, tuple):
                if segment[1].holds(bits):
                    state = segment[0].run_from(state)
                continue
            qubit = segment.qubit
            p1 = float(np.sum(np.abs(state.reshape(-1, 2, 1 << qubit)[:, 1, :]).astype(np.float64) ** 2))
            p0 = float(np.sum(np.abs(state.reshape(-1, 2, 1 << qubit)[:, 0, :]).astype(np.float64) ** 2))
            ones = int(rng.binomial(count, min(max(p1 / (p0 + p1), 0.0), 1.0)))
            branches = [(o, n, p) for o, n, p in ((0, count - ones, p0), (1, ones, p1)) if n > 0]
            for outcome, n, prob in branches[1:]:
                branch_state, branch_bits = _outcome(segment, state, outcome, prob, bits)
                stack.append((position, branch_state, n, branch_bits))
            outcome, count, prob = branches[0]
            state, bits = _outcome(segment, state, outcome, prob, bits)
        leaves.append((state, count, bits))
    return leaves


def _outcome(
    segment: Measure | Reset, state: NDArray[np.complex64], outcome: int, prob: float, bits: NDArray[np.bool_]
) -> tuple[NDArray[np.complex64], NDArray[np.bool_]]:
    state = _project(state, segment.qubit, outcome, prob)
    if isinstance(segment, Measure):
        bits = bits.copy()
        bits[segment.clbit] = bool(outcome)
    elif outcome == 1:
        view = state.reshape(-1, 2, 1 << segment.qubit)
        view[:, 0, :] = view[:, 1, :]
        view[:, 1, :] = 0
    return state, bits


def _noisy_bits(program: Program, values: NDArray[np.float64], shots: int, rng: np.random.Generator,
                out: NDArray[np.bool_]) -> None:
    """Shots of a program with channels: one seeded trajectory per shot (the
    seed drawn from ``rng``). Without mid-circuit measurements or resets the
    shots are drawn by `Circuit.sample_trajectories`; otherwise each shot is
    `Circuit.run_trajectory`, its record giving the mid-circuit bits."""
    split = _split_terminal(program.steps)
    prefix, terminal = program.steps[:split], program.steps[split:]
    measures = [m for m in terminal if isinstance(m, Measure)]
    inner = [s for s in prefix if isinstance(s, Measure)]
    mid_circuit = any(isinstance(s, (Measure, Reset)) for s in prefix)
    for row in range(values.shape[0]):
        gates, conditions = _flatten(program, prefix, values[row])
        circuit = vantelo.Circuit(gates)
        seed = int(rng.integers(2**63))
        n = max(program.num_qubits, 1)
        if not mid_circuit:
            if measures:
                _terminal_bits(out[row], circuit.sample_trajectories(n, shots, seed), measures)
            continue
        for shot in range(shots):
            state, record = circuit.run_trajectory(n, seed, shot, conditions=conditions)
            for m, (_, bit) in zip(inner, record):
                out[row, shot, m.clbit] = bool(bit)
            if measures:
                _terminal_bits(out[row, shot : shot + 1], _draw(state, 1, rng), measures)


Conditions = list[tuple[int, list[list[int | tuple[int, int]]]]]


def _outcome_tests(conditions: tuple[tuple[int, ...], ...],
                   latest: dict[int, int]) -> list[list[int | tuple[int, int]]] | None:
    """A `Conditional`'s groups as tests of measurement outcomes for
    `Circuit.run_trajectory`; a clbit not yet measured reads 0, so its tests
    are decided here. None when some group can never pass."""
    groups: list[list[int | tuple[int, int]]] = []
    for group in conditions:
        tests: list[int | tuple[int, int]] = []
        for t in group:
            bit = t if t >= 0 else ~t
            if bit in latest:
                tests.append(latest[bit] if t >= 0 else (latest[bit], 0))
            elif t < 0:
                break  # an unmeasured bit is 0: the group passes
        else:
            if not tests:
                return None
            groups.append(tests)
    return groups


def _flatten(program: Program, steps: list[Step], row: NDArray[np.float64]) -> tuple[list[Gate], Conditions]:
    """The steps as one list of gates with this row's angles (measurements
    and resets as gates), and the conditions of its classically controlled
    gates for `Circuit.run_trajectory`: a clbit reads the latest measurement
    into it before the gate, and one not yet measured reads 0."""
    gates: list[Gate] = []
    conditions: Conditions = []
    latest: dict[int, int] = {}  # clbit: its measurement's position in the record
    measured = 0
    for step in steps:
        if isinstance(step, Measure):
            gates.append(Gate.measure(step.qubit))
            latest[step.clbit] = measured
            measured += 1
        elif isinstance(step, Reset):
            gates.append(Gate.reset(step.qubit))
        elif isinstance(step, Rotation):
            angle = np.float32(step.scale * row[step.param] + step.offset)
            gates.append(_FIXED_ROTATION[step.kind](step.qubit, float(angle)))
        elif isinstance(step, Conditional):
            groups = _outcome_tests(step.conditions, latest)
            if groups is None:
                continue  # never applies
            for inner in step.steps:
                if groups:
                    conditions.append((len(gates), groups))
                gates.append(_bind(inner, row))
        elif not isinstance(step, Barrier):
            gates.append(step)
    return gates, conditions


def seeded_trajectory(
    program: Program, row: NDArray[np.float64], seed: int, index: int,
    start: NDArray[np.complex64] | None = None,
) -> tuple[NDArray[np.complex64], NDArray[np.bool_]]:
    """Trajectory ``index`` of ``seed`` of a program with channels, with one
    row of parameter values (`Circuit.run_trajectory`), from ``start`` when
    given: the final state and the classical bits."""
    gates, conditions = _flatten(program, program.steps, row)
    state, record = vantelo.Circuit(gates).run_trajectory(
        max(program.num_qubits, 1), seed, index, conditions=conditions, state=start)
    bits = np.zeros(program.num_clbits, dtype=bool)
    measures = [s for s in program.steps if isinstance(s, Measure)]
    for m, (_, bit) in zip(measures, record):
        bits[m.clbit] = bool(bit)
    return state, bits


def trajectory(
    program: Program,
    row: NDArray[np.float64],
    rng: np.random.Generator,
    start: NDArray[np.complex64] | None = None,
) -> tuple[NDArray[np.complex64], NDArray[np.bool_]]:
    """One shot of the whole program with one row of parameter values: the
    final (collapsed) state and the classical bits."""
    segments = _bind_segments(program, program.steps, row)
    ((state, _, bits),) = _trajectories(program, segments, 1, rng, start)
    return state, bits


def sample_bits(
    program: Program, values: NDArray[np.float64], shots: int, rng: np.random.Generator,
    *, fusion: int = 0
) -> NDArray[np.bool_]:
    """Classical bits of ``shots`` shots for each row of parameter values.

    ``values`` has shape (rows, P); the result (rows, shots, num_clbits).
    """
    rows = values.shape[0]
    out = np.zeros((rows, shots, program.num_clbits), dtype=bool)
    if program.channels:
        _noisy_bits(program, values, shots, rng, out)
        return out
    split = _split_terminal(program.steps)
    prefix, terminal = program.steps[:split], program.steps[split:]
    measures = [m for m in terminal if isinstance(m, Measure)]
    if not measures and not any(isinstance(s, (Measure, Reset)) for s in prefix):
        return out
    if not any(isinstance(s, (Measure, Reset)) for s in prefix):
        plan = compile_bound(program, prefix, fusion=fusion)
        slots = plan.slot_values(values)
        # One batch call per chunk of rows, the chunk's states within budget.
        chunk = max(1, _BATCH_AMPLITUDES >> plan.compiled.num_qubits)
        for first in range(0, rows, chunk):
            states = plan.compiled.batch_statevector(slots[first : first + chunk])
            for offset, state in enumerate(states):
                _terminal_bits(out[first + offset], _draw(state, shots, rng), measures)
        return out
    for row in range(rows):
        segments = _bind_segments(program, prefix, values[row], fusion)
        position = 0
        for state, count, bits in _trajectories(program, segments, shots, rng):
            block = out[row, position : position + count]
            block[:] = bits
            if measures:
                _terminal_bits(block, _draw(state, count, rng), measures)
            position += count
        # Groups come out by outcome history; shots are independent draws.
        out[row] = out[row, rng.permutation(shots)]
    return out


def _terminal_bits(block: NDArray[np.bool_], indices: NDArray[np.int64], terminal: list[Measure]) -> None:
    for m in terminal:
        block[:, m.clbit] = (indices >> m.qubit) & 1

