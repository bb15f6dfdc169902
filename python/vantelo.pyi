"""Single-precision quantum state-vector simulation with a NumPy interface.

Two styles of use:

* one-off circuits: `Gate` constructors and `Circuit`, which runs a list of
  gates for a chosen register width;
* compiled circuits: `CircuitSpec` declares a parameterized circuit once,
  `CircuitSpec.compile` gives a `CompiledCircuit` that evaluates states,
  expectation values of `Observable`s and their gradients, for one parameter
  vector or for whole batches.

Conventions shared by every member:

* Qubit 0 is the least significant bit of a basis-state index: amplitude `i`
  of a state vector belongs to the basis state whose qubit `q` is
  `(i >> q) & 1`.
* State vectors are one-dimensional `complex64` arrays of length `2**n`;
  values, gradients and parameters are `float32`. Every array returned is a
  new, writeable array that shares memory with nothing else.
* Angles are in radians and are rounded to `float32` before use.
* Qubit indices and counts accept any integer (`int`, `bool`, NumPy
  integers); a negative or oversized one raises `OverflowError`, a
  non-integer `TypeError` naming the argument.
* Bad values raise `ValueError` with a message that names the offending
  value; see the documentation's Errors page for the full list.
"""

from collections.abc import Callable, Sequence
from typing import Literal, NoReturn, SupportsFloat, SupportsIndex, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "Gate",
    "Parameter",
    "Observable",
    "CompiledCircuit",
    "ParamBuffer",
    "ParamBatchBuffer",
    "ExecutionContext",
    "CircuitSpec",
    "Circuit",
    "set_num_threads",
]

__version__: str
"""The version of this build (the package version), e.g. `"0.1.0"`."""

@final
class Gate:
    """One gate, measurement, reset or barrier of a one-off circuit.

    `Gate` has no constructor of its own: use its static constructors, such
    as `Gate.h(0)` or `Gate.cx(0, 1)`, and pass the results to `Circuit` in a
    list. A `Gate` is immutable. Qubit indices are not checked here but when
    a circuit holding the gate runs: `Gate.x(100)` is accepted, and running
    it on fewer than 101 qubits raises `ValueError`.

    Raises:
        TypeError: `Gate()` ("No constructor defined").
    """

    @staticmethod
    def i(target: SupportsIndex) -> Gate:
        """Identity on `target`.

        Returns:
            A new gate that leaves the state unchanged (it still counts as a
            gate on `target`, so the qubit must exist when the circuit runs).
        """
    @staticmethod
    def x(target: SupportsIndex) -> Gate:
        """Pauli X (bit flip) on `target`: matrix `[[0, 1], [1, 0]]`.

        Example:
            `Circuit([Gate.x(0)]).run(1)` is `[0, 1]`.
        """
    @staticmethod
    def y(target: SupportsIndex) -> Gate:
        """Pauli Y on `target`: matrix `[[0, -i], [i, 0]]`."""
    @staticmethod
    def z(target: SupportsIndex) -> Gate:
        """Pauli Z (phase flip) on `target`: matrix `[[1, 0], [0, -1]]`."""
    @staticmethod
    def h(target: SupportsIndex) -> Gate:
        """Hadamard on `target`: `s * [[1, 1], [1, -1]]` with `s = float32(1/sqrt(2))`."""
    @staticmethod
    def s(target: SupportsIndex) -> Gate:
        """Phase gate S on `target`: `diag(1, i)`."""
    @staticmethod
    def sdg(target: SupportsIndex) -> Gate:
        """Inverse phase gate S† on `target`: `diag(1, -i)`."""
    @staticmethod
    def t(target: SupportsIndex) -> Gate:
        """T gate on `target`: `diag(1, exp(i*pi/4))`."""
    @staticmethod
    def tdg(target: SupportsIndex) -> Gate:
        """Inverse T gate T† on `target`: `diag(1, exp(-i*pi/4))`."""
    @staticmethod
    def rx(target: SupportsIndex, theta: SupportsFloat) -> Gate:
        """Rotation about X by `theta`: `exp(-i*theta*X/2)`.

        Example:
            `Circuit([Gate.rx(0, math.pi)]).run(1)` is about `[0, -1j]`.
        """
    @staticmethod
    def ry(target: SupportsIndex, theta: SupportsFloat) -> Gate:
        """Rotation about Y by `theta`: `exp(-i*theta*Y/2)`, a real matrix."""
    @staticmethod
    def rz(target: SupportsIndex, theta: SupportsFloat) -> Gate:
        """Rotation about Z by `theta`: `diag(exp(-i*theta/2), exp(i*theta/2))`."""
    @staticmethod
    def p(target: SupportsIndex, theta: SupportsFloat) -> Gate:
        """Phase shift by `theta` on `target`: `diag(1, exp(i*theta))`. Same as `phase`."""
    @staticmethod
    def phase(target: SupportsIndex, theta: SupportsFloat) -> Gate:
        """Phase shift by `theta` on `target`: `diag(1, exp(i*theta))`. Same as `p`."""
    @staticmethod
    def u(target: SupportsIndex, theta: SupportsFloat, phi: SupportsFloat, lambda_: SupportsFloat, /) -> Gate:
        """General one-qubit rotation U(theta, phi, lambda).

        The matrix is `[[cos(theta/2), -exp(i*lambda)*sin(theta/2)],
        [exp(i*phi)*sin(theta/2), exp(i*(phi+lambda))*cos(theta/2)]]`.
        The last parameter is named `lambda` at run time, which a typed
        signature cannot spell; pass the four arguments by position.
        """
    @staticmethod
    def cnot(control: SupportsIndex, target: SupportsIndex) -> Gate:
        """Controlled X: flips `target` where `control` is 1. Same as `cx`.

        Raises:
            ValueError: `control == target` ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def cx(control: SupportsIndex, target: SupportsIndex) -> Gate:
        """Controlled X: flips `target` where `control` is 1. Same as `cnot`.

        Raises:
            ValueError: `control == target` ("duplicate qubit index: `<q>`").

        Example:
            `Circuit([Gate.h(0), Gate.cx(0, 1)]).run(2)` is the Bell state
            `[0.7071, 0, 0, 0.7071]`.
        """
    @staticmethod
    def cy(control: SupportsIndex, target: SupportsIndex) -> Gate:
        """Controlled Y on `target` where `control` is 1.

        Raises:
            ValueError: `control == target` ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def cz(control: SupportsIndex, target: SupportsIndex) -> Gate:
        """Controlled Z: negates the amplitudes where both qubits are 1.

        Raises:
            ValueError: `control == target` ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def ch(control: SupportsIndex, target: SupportsIndex) -> Gate:
        """Controlled Hadamard on `target` where `control` is 1.

        Raises:
            ValueError: `control == target` ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def swap(a: SupportsIndex, b: SupportsIndex) -> Gate:
        """Exchanges qubits `a` and `b`.

        Raises:
            ValueError: `a == b` ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def iswap(a: SupportsIndex, b: SupportsIndex) -> Gate:
        """iSWAP: exchanges `a` and `b` and multiplies the swapped amplitudes (01 and 10) by `i`.

        Raises:
            ValueError: `a == b` ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def crx(control: SupportsIndex, target: SupportsIndex, theta: SupportsFloat) -> Gate:
        """`rx(target, theta)` applied where `control` is 1.

        Raises:
            ValueError: `control == target` ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def cry(control: SupportsIndex, target: SupportsIndex, theta: SupportsFloat) -> Gate:
        """`ry(target, theta)` applied where `control` is 1.

        Raises:
            ValueError: `control == target` ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def crz(control: SupportsIndex, target: SupportsIndex, theta: SupportsFloat) -> Gate:
        """`rz(target, theta)` applied where `control` is 1.

        Raises:
            ValueError: `control == target` ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def cp(control: SupportsIndex, target: SupportsIndex, theta: SupportsFloat) -> Gate:
        """Controlled phase: multiplies the amplitudes where both qubits are 1 by `exp(i*theta)`. Same as `cphase`.

        Raises:
            ValueError: `control == target` ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def cphase(control: SupportsIndex, target: SupportsIndex, theta: SupportsFloat) -> Gate:
        """Controlled phase: multiplies the amplitudes where both qubits are 1 by `exp(i*theta)`. Same as `cp`.

        Raises:
            ValueError: `control == target` ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def cu(
        control: SupportsIndex,
        target: SupportsIndex,
        theta: SupportsFloat,
        phi: SupportsFloat,
        lambda_: SupportsFloat,
        /,
        gamma: SupportsFloat | None = None,
    ) -> Gate:
        """Controlled `exp(i*gamma) * U(theta, phi, lambda)` on `target` where `control` is 1.

        `gamma` omitted or `None` means 0. The fifth parameter is named
        `lambda` at run time, which a typed signature cannot spell; pass the
        first five arguments by position.

        Raises:
            ValueError: `control == target` ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def ccx(control_a: SupportsIndex, control_b: SupportsIndex, target: SupportsIndex) -> Gate:
        """Toffoli: flips `target` where both controls are 1. Same as `toffoli`.

        Raises:
            ValueError: two equal qubits ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def toffoli(control_a: SupportsIndex, control_b: SupportsIndex, target: SupportsIndex) -> Gate:
        """Toffoli: flips `target` where both controls are 1. Same as `ccx`.

        Raises:
            ValueError: two equal qubits ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def cswap(control: SupportsIndex, a: SupportsIndex, b: SupportsIndex) -> Gate:
        """Fredkin: swaps `a` and `b` where `control` is 1. Same as `fredkin`.

        Raises:
            ValueError: two equal qubits ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def fredkin(control: SupportsIndex, a: SupportsIndex, b: SupportsIndex) -> Gate:
        """Fredkin: swaps `a` and `b` where `control` is 1. Same as `cswap`.

        Raises:
            ValueError: two equal qubits ("duplicate qubit index: `<q>`").
        """
    @staticmethod
    def mcx(controls: Sequence[SupportsIndex], target: SupportsIndex) -> Gate:
        """X on `target` where every qubit in `controls` is 1.

        Args:
            controls: any sequence of qubit indices except `str` (a list or a
                tuple); an empty one is refused.

        Raises:
            TypeError: `controls` is a `str` or not a sequence.
            ValueError: no controls ("controlled unitary requires at least one
                control qubit") or a repeated qubit ("duplicate qubit index: `<q>`").

        Example:
            `Gate.mcx([0, 1, 2], 3)` flips qubit 3 where qubits 0, 1, 2 are all 1.
        """
    @staticmethod
    def mcz(controls: Sequence[SupportsIndex], target: SupportsIndex) -> Gate:
        """Z on `target` where every qubit in `controls` is 1.

        Raises:
            TypeError: `controls` is a `str` or not a sequence.
            ValueError: no controls, or a repeated qubit.
        """
    @staticmethod
    def mcp(controls: Sequence[SupportsIndex], target: SupportsIndex, theta: SupportsFloat) -> Gate:
        """Phase `exp(i*theta)` on `target` where every qubit in `controls` is 1. Same as `mcphase`.

        Raises:
            TypeError: `controls` is a `str` or not a sequence.
            ValueError: no controls, or a repeated qubit.
        """
    @staticmethod
    def mcphase(controls: Sequence[SupportsIndex], target: SupportsIndex, theta: SupportsFloat) -> Gate:
        """Phase `exp(i*theta)` on `target` where every qubit in `controls` is 1. Same as `mcp`.

        Raises:
            TypeError: `controls` is a `str` or not a sequence.
            ValueError: no controls, or a repeated qubit.
        """
    @staticmethod
    def unitary(targets: Sequence[SupportsIndex], matrix: ArrayLike) -> Gate:
        """A custom unitary on the ordered `targets`.

        Args:
            targets: k distinct qubits; the first one is the most significant
                bit of the matrix's row and column index.
            matrix: a `2**k` by `2**k` unitary, anything NumPy converts to a
                two-dimensional `complex64` array (nested lists, real or
                double arrays). It is copied.

        Raises:
            TypeError: `matrix` is not two-dimensional ("matrix must be
                convertible to a 2D numpy complex64 array"), or NumPy's own
                error for a ragged or non-numeric object.
            ValueError: "matrix must be square"; the size does not match the
                targets ("matrix shape mismatch: ..."); "matrix must be unitary
                within tolerance 1e-3"; no targets; a repeated target.

        The unitarity test costs about `(2**k)**3 / 2` complex products
        (about 5 s of one core at 12 targets with the AVX2 kernels); from 6
        targets on it runs on the worker pool without the interpreter lock,
        and Ctrl-C stops it.

        Example:
            `Gate.unitary([0], [[0, 1], [1, 0]])` is the same gate as `Gate.x(0)`.
        """
    @staticmethod
    def controlled_unitary(
        controls: Sequence[SupportsIndex], targets: Sequence[SupportsIndex], matrix: ArrayLike
    ) -> Gate:
        """A custom unitary on `targets`, applied where every qubit in `controls` is 1.

        `matrix` is converted and checked as in `unitary`; its size follows
        the targets alone.

        Raises:
            TypeError: as `unitary`.
            ValueError: as `unitary`, and "controlled unitary requires at least
                one control qubit" or "... at least one target qubit".
        """
    @staticmethod
    def measure(target: SupportsIndex) -> Gate:
        """Projective measurement of `target` in the Z basis.

        When the circuit runs, the outcome is drawn with the Born probability,
        the state collapses and is renormalised, and `(target, outcome)` is
        appended to the measurement record of `Circuit.run_with_measurements`.
        """
    @staticmethod
    def reset(target: SupportsIndex) -> Gate:
        """Resets `target` to 0: measures it and flips it where the outcome was 1.

        The measurement is not recorded.
        """
    @staticmethod
    def barrier() -> Gate:
        """A barrier: does nothing but stops the fusion of one-qubit gates across it. Takes no arguments."""
    @staticmethod
    def bit_flip(target: SupportsIndex, p: SupportsFloat) -> Gate:
        """Channel: bit flip with probability `p`, Kraus operators {sqrt(1-p) I, sqrt(p) X}.

        A circuit holding a channel runs as seeded trajectories (see the
        Noise page of the documentation): `Circuit.run` draws one trajectory,
        `Circuit.sample` one per shot, and compiled plans average them with
        `CompiledCircuit.trajectory_expectation`.

        Raises:
            ValueError: `p` outside [0, 1] ("channel parameter p must be in
                [0, 1], got `{p}`").
        """
    @staticmethod
    def phase_flip(target: SupportsIndex, p: SupportsFloat) -> Gate:
        """Channel: phase flip with probability `p`, Kraus operators {sqrt(1-p) I, sqrt(p) Z}.

        Raises:
            ValueError: `p` outside [0, 1].
        """
    @staticmethod
    def depolarizing(target: SupportsIndex, p: SupportsFloat) -> Gate:
        """Channel: one-qubit depolarizing, {sqrt(1-p) I, sqrt(p/3) X, sqrt(p/3) Y, sqrt(p/3) Z}.

        `p` is the probability that an error happens (the convention of Cirq
        and PennyLane). Qiskit Aer's `depolarizing_error(lam, 1)` counts the
        identity among its errors: it is `p = 3*lam/4`.

        Raises:
            ValueError: `p` outside [0, 1].
        """
    @staticmethod
    def depolarizing2(a: SupportsIndex, b: SupportsIndex, p: SupportsFloat) -> Gate:
        """Channel: two-qubit depolarizing, {sqrt(1-p) I⊗I, sqrt(p/15) P⊗Q for the 15 other Pauli pairs}.

        Aer's `depolarizing_error(lam, 2)` is `p = 15*lam/16`.

        Raises:
            ValueError: `p` outside [0, 1], or `a == b` ("duplicate qubit `{q}`
                in channel").
        """
    @staticmethod
    def pauli_error(target: SupportsIndex, px: SupportsFloat, py: SupportsFloat, pz: SupportsFloat) -> Gate:
        """Channel: {sqrt(1-px-py-pz) I, sqrt(px) X, sqrt(py) Y, sqrt(pz) Z}.

        Raises:
            ValueError: a probability outside [0, 1], or `px + py + pz` above 1.
        """
    @staticmethod
    def phase_damping(target: SupportsIndex, gamma: SupportsFloat) -> Gate:
        """Channel: phase damping {diag(1, sqrt(1-gamma)), diag(0, sqrt(gamma))}.

        Simulated as the phase flip with `p = (1 - sqrt(1-gamma))/2`, which
        acts identically on every state and needs no norm to draw.

        Raises:
            ValueError: `gamma` outside [0, 1].
        """
    @staticmethod
    def amplitude_damping(target: SupportsIndex, gamma: SupportsFloat) -> Gate:
        """Channel: amplitude damping {[[1, 0], [0, sqrt(1-gamma)]], [[0, sqrt(gamma)], [0, 0]]}.

        Raises:
            ValueError: `gamma` outside [0, 1].
        """
    @staticmethod
    def generalized_amplitude_damping(target: SupportsIndex, gamma: SupportsFloat, p: SupportsFloat) -> Gate:
        """Channel: generalized amplitude damping, relaxation towards |1> with probability `p`.

        Kraus operators sqrt(1-p)·{[[1, 0], [0, sqrt(1-gamma)]], [[0, sqrt(gamma)],
        [0, 0]]} and sqrt(p)·{[[sqrt(1-gamma), 0], [0, 1]], [[0, 0],
        [sqrt(gamma), 0]]}: `p` is the excited population of the fixed point.
        These are PennyLane's `GeneralizedAmplitudeDamping(gamma, p)` and Aer's
        `amplitude_damping_error(gamma, excited_state_population=p)`; Cirq's
        `GeneralizedAmplitudeDampingChannel(p_cirq, gamma)` takes the
        arguments the other way round, with `p_cirq = 1 - p`.

        Raises:
            ValueError: `gamma` or `p` outside [0, 1].
        """
    @staticmethod
    def reset_error(target: SupportsIndex, p0: SupportsFloat, p1: SupportsFloat) -> Gate:
        """Channel: reset to |0> with probability `p0`, to |1> with probability `p1`.

        Kraus operators {sqrt(1-p0-p1) I, sqrt(p0) |0><0|, sqrt(p0) |0><1|,
        sqrt(p1) |1><0|, sqrt(p1) |1><1|}.

        Raises:
            ValueError: `p0` or `p1` outside [0, 1], or `p0 + p1` above 1.
        """
    @staticmethod
    def thermal_relaxation(
        target: SupportsIndex, t1: SupportsFloat, t2: SupportsFloat, time: SupportsFloat,
        excited_population: SupportsFloat = 0.0,
    ) -> Gate:
        """Channel: relaxation for `time` towards the thermal state with `excited_population`.

        Populations relax as exp(-time/t1) and coherences decay as
        exp(-time/t2), for any `0 < t2 <= 2*t1`: generalized amplitude
        damping with `gamma = 1 - exp(-time/t1)` and `p = excited_population`,
        followed by the phase flip that brings the coherences from
        exp(-time/(2*t1)) to exp(-time/t2).

        Raises:
            ValueError: `t1` not positive, `t2` outside (0, 2*t1], `time`
                negative, or `excited_population` outside [0, 1].
        """
    @staticmethod
    def kraus(targets: Sequence[SupportsIndex], matrices: Sequence[ArrayLike]) -> Gate:
        """Channel from Kraus matrices on 1 to 3 distinct qubits.

        Each matrix is `2**k` x `2**k` over `targets` (the first target is the
        most significant bit of the row index, as in `Gate.unitary`). A list
        whose operators are all multiples of unitaries is kept as a mixture,
        which draws without a norm.

        Raises:
            ValueError: sum of K^dagger K differs from the identity by more
                than 1e-5 ("Kraus operators are not trace preserving: ..."),
                a matrix has the wrong size, the targets are empty, more than
                three, or repeated.
        """
    def __reduce__(self) -> tuple[Callable[[bytes], Gate], tuple[bytes]]:
        """Pickle support: `(vantelo._unpickle, (data,))`.

        `data` is a versioned byte string (a few kilobytes at most for
        typical gates); unpickling rebuilds an equal object that computes
        exactly what this one does, in any process with the same or a newer
        vantelo.

        Example:
            `pickle.loads(pickle.dumps(obj))` is an independent equal object.
        """
    def __copy__(self) -> Gate:
        """`copy.copy(obj)`: an independent copy (the object is immutable in use, so shallow and deep copies are alike)."""
    def __deepcopy__(self, memo: dict[int, object]) -> Gate:
        """`copy.deepcopy(obj)`: an independent copy equal to `copy.copy(obj)`; `memo` is not used."""

@final
class Circuit:
    """A one-off circuit: a fixed list of gates run on a fresh register per call.

    The circuit copies the gates; it is immutable and can be run any number
    of times, with any register width that covers its qubits.

    Example:
        `Circuit([Gate.h(0), Gate.cx(0, 1)]).run(2)`
    """

    def __new__(
        cls, gates: list[Gate], *, fusion: int = 0, sums: Literal["float32", "float64"] = "float32"
    ) -> Circuit:
        """`Circuit(gates, *, fusion=0, sums="float32")`: builds a circuit from a list of gates, copying them.

        Consecutive one-qubit gates on one qubit are fused here (a
        `Gate.barrier()` stops the fusion); qubit indices are not checked
        until the circuit runs.

        Args:
            gates: a `list` (or list subclass) of `Gate` objects, applied in order.
                Channels (`Gate.depolarizing` and the others) make a noisy
                circuit: each run is one trajectory drawn from its `seed`.
            fusion: keyword only. `0` (the default) keeps the exact path
                described above. `k` from 2 to 5 multiplies stretches of
                unitary gates (between measurements, resets and barriers)
                into dense blocks of at most `k` qubits, in double precision
                rounded once to `float32`, where a cost model finds the block
                cheaper than its gates; dense operations on 2 to 5 qubits
                then run on kernels with fused multiply-adds, and gates on
                different qubits may run in another order. Results then
                differ from the exact path by rounding (measured on the
                Numerics page); they are deterministic and identical for
                every pool size. A circuit with channels fuses each
                trajectory instead: the stretches between draws that need
                a norm, with the branches drawn there (Noise page).
            sums: keyword only. `"float32"` (the default) sums measurement
                probabilities and sampling weights as specified;
                `"float64"` forms each weight from the exact squares in
                double precision and sums them in double, so mid-circuit
                measurements and samples see probabilities accurate to
                double rounding of the `float32` state, relative to its
                own norm (see the Numerics page). The option is kept when
                the circuit is pickled.

        Raises:
            TypeError: `gates` is not a list (a tuple or generator is refused),
                or an item is not a `Gate` ("all circuit items must be
                vantelo.Gate instances").
            ValueError: `sums` is not `"float32"` or `"float64"`, or `fusion`
                is not 0 or from 2 to 5.
        """
    def run(self, num_qubits: SupportsIndex) -> NDArray[np.complex64]:
        """Runs the circuit on `num_qubits` qubits starting from |0...0>.

        Measurements and resets in the circuit draw fresh random outcomes on
        every call. A circuit with channels runs one trajectory of a fresh
        random seed; `run_trajectory` is the seeded form.

        Returns:
            The final state: a one-dimensional `complex64` array of length
            `2**num_qubits`.

        Raises:
            ValueError: a gate names a qubit >= `num_qubits` ("qubit index `<q>`
                is out of range for `<n>` qubits").
            vantelo.InternalFault: `num_qubits` >= 32 ("too many qubits in
                state vector"); derived from `BaseException`.
        """
    def run_with_measurements(
        self, num_qubits: SupportsIndex
    ) -> tuple[NDArray[np.complex64], list[tuple[int, int]]]:
        """Runs the circuit like `run` and also returns its measurement record.

        Returns:
            `(state, record)`: the final state as in `run`, and a list of
            `(qubit, outcome)` pairs of `int`, outcome 0 or 1, one for each
            `Gate.measure` in the order they were performed (resets are not
            recorded). The list is empty when the circuit measures nothing.

        Raises:
            ValueError: as `run`.

        Example:
            `Circuit([Gate.x(0), Gate.measure(0)]).run_with_measurements(1)`
            is `(array([0, 1]), [(0, 1)])`.
        """
    def sample(self, num_qubits: SupportsIndex, shots: SupportsIndex) -> list[int]:
        """Runs the circuit once and draws `shots` whole-register samples from the final state.

        The circuit is not re-run per shot: mid-circuit measurements are
        drawn once and shared by every sample. A circuit with channels is
        the exception: shot `s` runs trajectory `s` of the seed and draws
        one sample from it (shots whose channel draws are all equal mixture
        draws share one run, which gives the same distribution), from a
        fresh random seed; `sample_trajectories` is the seeded form.

        Returns:
            A list of `shots` basis-state indices (`int` in `[0, 2**num_qubits)`),
            in the order drawn; bit `q` of an index is the outcome of qubit `q`.

        Raises:
            ValueError: as `run`.

        Example:
            `Circuit([Gate.h(0), Gate.cx(0, 1)]).sample(2, 5)` gives five
            values, each 0 or 3.
        """
    def run_from(self, state: ArrayLike) -> NDArray[np.complex64]:
        """Runs the circuit starting from a copy of `state` instead of |0...0>.

        Args:
            state: the amplitudes of the starting state, converted to a
                one-dimensional `complex64` array; its length `2**n` fixes the
                register width `n`. `state` itself is not changed.

        Returns:
            The final state: a new one-dimensional `complex64` array of the
            same length.

        Raises:
            ValueError: `state` is not one-dimensional ("state must be a
                one-dimensional array of amplitudes"), its length is not a
                power of two ("state vector length `<k>` is not a power of
                two"), it spans more than 31 qubits, its norm differs from 1
                by more than 1e-2 ("state vector must be normalised: its norm
                differs from 1 by more than 1e-2"), or a gate names a qubit at
                or above `n` (the message of `run`); all are checked before any
                gate runs. A norm off by more than 1e-4 but at most 1e-2
                (single-precision drift of a long run) is divided out first.
        """
    def run_with_measurements_from(
        self, state: ArrayLike
    ) -> tuple[NDArray[np.complex64], list[tuple[int, int]]]:
        """Runs the circuit like `run_from` and also returns its measurement record.

        Returns:
            `(state, record)` as in `run_with_measurements`.

        Raises:
            ValueError: as `run_from`.
        """
    def run_trajectory(
        self,
        num_qubits: SupportsIndex,
        seed: SupportsIndex,
        trajectory: SupportsIndex = 0,
        *,
        conditions: Sequence[
            tuple[SupportsIndex, Sequence[Sequence[SupportsIndex | tuple[SupportsIndex, SupportsIndex]]]]
        ] | None = None,
        state: ArrayLike | None = None,
    ) -> tuple[NDArray[np.complex64], list[tuple[int, int]]]:
        """Runs trajectory `trajectory` of `seed` from |0...0> and returns `(state, record)`.

        Every channel draws from a counter-based generator keyed by
        `(seed, trajectory)`, and measurements and resets from a generator
        keyed the same way, so the result is the same on every call and for
        every thread count. The state is normalised. A circuit without
        channels gives the state of `run` (with seeded measurements).

        Args:
            conditions: classically controlled gates, as `(gate, groups)`
                pairs: gate `gate` (its index in the circuit, a unitary gate)
                runs only when every group of `groups` holds at least one
                test that passes. A test is an index `k`, which passes when
                outcome `k` is 1, or a pair `(k, v)`, which passes when
                outcome `k` is `v` (0 or 1); outcome `k` is that of the
                circuit's `k`-th measurement in this trajectory, which must
                come before the gate. A gate may have one condition.
            state: starting amplitudes, `2**num_qubits` of them, instead of
                |0...0>, checked as by `run_from`; the trajectory runs on a
                copy.

        Returns:
            `(state, record)` as in `run_with_measurements`.

        Raises:
            ValueError: as `run`; for a condition on a gate that does not
                exist or is not unitary, a gate with two conditions, or a
                condition that reads a measurement not yet made; for a
                `state` that `run_from` refuses or of another width ("state
                has `<k>` qubits, but num_qubits is `<n>`").
            TypeError: for `conditions` not of that shape ("a test of a
                condition must be a measurement index or an (index, 0 or 1)
                pair" for a test that is neither).
        """
    def sample_trajectories(
        self, num_qubits: SupportsIndex, shots: SupportsIndex, seed: SupportsIndex
    ) -> NDArray[np.int64]:
        """One trajectory per shot: shot `s` runs trajectory `s` of `seed` and draws one sample from it.

        Shots whose channel draws are all equal mixture draws (and whose
        circuit neither measures nor resets) share one run; this changes
        neither the distribution nor, for a given seed, the result on any
        thread count. With general channels, shots whose draws all fall
        below the channels' lower bounds and pick the same branches share
        one run as well, each still drawing its sample from its own
        generator, so every shot gets the outcome a run of its own gives.

        Returns:
            A one-dimensional `int64` array of `shots` basis-state indices.

        Raises:
            ValueError: as `run`.
        """
    def sample_from(
        self, state: ArrayLike, shots: SupportsIndex, seed: SupportsIndex | None = None
    ) -> NDArray[np.int64]:
        """Runs the circuit once from a copy of `state` and draws `shots` samples of the final state.

        As in `sample`, mid-circuit measurements are drawn once and shared by
        every sample, and a circuit with channels runs one trajectory per
        shot, each from a copy of `state`.

        Args:
            state: the starting amplitudes, as in `run_from`.
            shots: the number of samples.
            seed: an unsigned 64-bit seed; the same seed gives the same
                measurement outcomes and samples. `None` draws from the
                calling thread's generator.

        Returns:
            A one-dimensional `int64` array of `shots` basis-state indices in
            the order drawn; bit `q` of an index is the outcome of qubit `q`.

        Raises:
            ValueError: as `run_from`.
        """
    def density_matrix(self, num_qubits: SupportsIndex) -> NDArray[np.complex64]:
        """The exact density matrix of the circuit run on `num_qubits` qubits from |0...0><0...0|.

        Every channel is applied as its whole Kraus map, a measurement as the
        dephasing of its qubit (its outcome averaged over, not recorded) and
        a reset as the channel that takes its qubit to |0>, so the result is
        the average of all trajectories, with no draw and no statistical
        error. The matrix is evolved in single precision by the state-vector
        kernels, as a vector of `2*num_qubits` qubits; the values are the
        same on every thread count. Memory is `8 * 4**num_qubits` bytes
        (128 MiB at 12 qubits); the cost is that of a run of the circuit on
        `2*num_qubits` qubits (see the Noise page). A circuit without
        channels, measurements or resets gives |psi><psi| of `run` up to
        rounding.

        Returns:
            A `(2**num_qubits, 2**num_qubits)` `complex64` array `rho` with
            `rho[r, c]` the entry of row `r` and column `c`; bit `q` of an
            index is qubit `q`.

        Raises:
            ValueError: `num_qubits` is above 12 ("a density matrix of `<n>`
                qubits is too large: the limit is 12 qubits (4^n entries of 8
                bytes)"), or as `run`.
        """
    def __reduce__(self) -> tuple[Callable[[bytes], Circuit], tuple[bytes]]:
        """Pickle support: `(vantelo._unpickle, (data,))`.

        `data` is a versioned byte string (a few kilobytes at most for
        typical circuits); unpickling rebuilds an equal object that computes
        exactly what this one does, in any process with the same or a newer
        vantelo.

        Example:
            `pickle.loads(pickle.dumps(obj))` is an independent equal object.
        """
    def __copy__(self) -> Circuit:
        """`copy.copy(obj)`: an independent copy (the object is immutable in use, so shallow and deep copies are alike)."""
    def __deepcopy__(self, memo: dict[int, object]) -> Circuit:
        """`copy.deepcopy(obj)`: an independent copy equal to `copy.copy(obj)`; `memo` is not used."""

@final
class Observable:
    """A Hermitian observable: a real-weighted sum of Pauli strings.

    Built only by the static functions below and immutable afterwards. Pass
    it as the `observable` argument of the `CompiledCircuit` and
    `ExecutionContext` evaluations. Terms are kept as given: equal terms are
    not merged. Coefficients are rounded to `float32`.

    Raises:
        TypeError: `Observable()` ("No constructor defined").
    """

    @staticmethod
    def pauli_x(qubit: SupportsIndex, coefficient: SupportsFloat = 1.0) -> Observable:
        """`coefficient * X` on `qubit`."""
    @staticmethod
    def pauli_y(qubit: SupportsIndex, coefficient: SupportsFloat = 1.0) -> Observable:
        """`coefficient * Y` on `qubit`."""
    @staticmethod
    def pauli_z(qubit: SupportsIndex, coefficient: SupportsFloat = 1.0) -> Observable:
        """`coefficient * Z` on `qubit`.

        Example:
            `Observable.pauli_z(0, 0.5)` is `0.5 * Z0`.
        """
    @staticmethod
    def pauli_string(ops: Sequence[tuple[str, SupportsIndex]], coefficient: SupportsFloat = 1.0) -> Observable:
        """`coefficient` times the product of the Pauli factors in `ops`.

        Args:
            ops: a sequence (not a `str`) of `(label, qubit)` tuples; the label
                is "X", "Y" or "Z" (lower case accepted). Each item must be a
                tuple, not a list. An empty `ops` is the identity, whose
                expectation is `coefficient` in every state.
            coefficient: the real weight of the term.

        Raises:
            TypeError: `ops` is a `str` or not a sequence, or an item is not a
                tuple.
            ValueError: an item is not a pair ("expected tuple of length 2,
                but got tuple of length `<k>`"); an unknown label ("unsupported
                Pauli label '`<label>`'; expected X, Y, or Z"); a repeated qubit
                ("duplicate qubit index: `<q>`").

        Example:
            `Observable.pauli_string([("X", 0), ("X", 1)], 0.5)` is `0.5 * X0 X1`.
        """
    @staticmethod
    def hamiltonian(terms: list[Observable]) -> Observable:
        """The sum of the given observables: their terms concatenated in order.

        Args:
            terms: a `list` of `Observable`s; the same one may appear several
                times (its terms are then counted as often).

        Raises:
            TypeError: `terms` is not a list, or an item is not an
                `Observable` ("hamiltonian terms must all be vantelo.Observable
                instances").
            ValueError: an empty list ("observable must contain at least one
                term").

        Example:
            `Observable.hamiltonian([Observable.pauli_z(0), Observable.pauli_z(1)])`
        """
    def __reduce__(self) -> tuple[Callable[[bytes], Observable], tuple[bytes]]:
        """Pickle support: `(vantelo._unpickle, (data,))`.

        `data` is a versioned byte string (a few kilobytes at most for
        typical observables); unpickling rebuilds an equal object that computes
        exactly what this one does, in any process with the same or a newer
        vantelo.

        Example:
            `pickle.loads(pickle.dumps(obj))` is an independent equal object.
        """
    def __copy__(self) -> Observable:
        """`copy.copy(obj)`: an independent copy (the object is immutable in use, so shallow and deep copies are alike)."""
    def __deepcopy__(self, memo: dict[int, object]) -> Observable:
        """`copy.deepcopy(obj)`: an independent copy equal to `copy.copy(obj)`; `memo` is not used."""

@final
class Parameter:
    """A symbolic parameter of a `CircuitSpec`, returned by `CircuitSpec.param`.

    It stands for slot `index` of every parameter vector bound to the
    compiled circuit. It holds no reference to its specification; equality
    is identity. `repr()` reads `Parameter(index=0)` or
    `Parameter(index=1, name='theta')`.

    Raises:
        TypeError: `Parameter()` ("No constructor defined").
    """

    @property
    def index(self) -> int:
        """Zero-based slot of this parameter in every parameter vector (0, 1, 2, ... in `param` order)."""
    @property
    def name(self) -> str | None:
        """The name given to `CircuitSpec.param`, or `None`."""
    def __reduce__(self) -> tuple[Callable[[bytes], Parameter], tuple[bytes]]:
        """Pickle support: `(vantelo._unpickle, (data,))`.

        `data` is a versioned byte string (a few kilobytes at most for
        typical parameters); unpickling rebuilds an equal object that computes
        exactly what this one does, in any process with the same or a newer
        vantelo.

        Example:
            `pickle.loads(pickle.dumps(obj))` is an independent equal object.
        """
    def __copy__(self) -> Parameter:
        """`copy.copy(obj)`: an independent copy (the object is immutable in use, so shallow and deep copies are alike)."""
    def __deepcopy__(self, memo: dict[int, object]) -> Parameter:
        """`copy.deepcopy(obj)`: an independent copy equal to `copy.copy(obj)`; `memo` is not used."""

@final
class CircuitSpec:
    """Builder of a parameterized circuit, compiled once and evaluated many times.

    Declare parameters with `param`, append gates in order, then `compile`.
    The builder methods return `None` (they cannot be chained); a failing
    call leaves the specification unchanged. The specification stays usable
    after `compile`.

    Example:
        ```
        spec = CircuitSpec(2)
        theta = spec.param("theta")
        spec.ry(0, theta)
        spec.cx(0, 1)
        circuit = spec.compile()
        ```
    """

    def __new__(cls, num_qubits: SupportsIndex) -> CircuitSpec:
        """`CircuitSpec(num_qubits)`: an empty specification of the given width.

        Args:
            num_qubits: register width, at least 1 (compiled circuits of 32 or
                more qubits cannot be run).

        Raises:
            ValueError: `num_qubits` is 0 ("compiled circuits must have at
                least one qubit").
        """
    @property
    def num_qubits(self) -> int:
        """Register width declared at construction."""
    @property
    def parameter_count(self) -> int:
        """Number of parameters registered so far with `param`."""
    def param(self, name: str | None = None) -> Parameter:
        """Registers a new parameter and returns its handle.

        The handle's `index` is the number of parameters registered before
        it; `parameter_count` grows by one. A parameter may drive any number
        of rotations, or none.

        Raises:
            TypeError: `name` is neither a `str` nor `None`.
        """
    def x(self, target: SupportsIndex) -> None:
        """Appends a fixed X on `target`.

        Raises:
            ValueError: `target` >= `num_qubits` ("qubit index `<q>` is out of
                range for `<n>` qubits").
        """
    def h(self, target: SupportsIndex) -> None:
        """Appends a fixed Hadamard on `target`.

        Raises:
            ValueError: `target` >= `num_qubits`.
        """
    def z(self, target: SupportsIndex) -> None:
        """Appends a fixed Z on `target`.

        Raises:
            ValueError: `target` >= `num_qubits`.
        """
    def cnot(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Appends a fixed controlled X. Same as `cx`.

        Raises:
            ValueError: `control == target` ("duplicate qubit index: `<q>`"),
                then a qubit >= `num_qubits` (control tested first).
        """
    def cx(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Appends a fixed controlled X. Same as `cnot`.

        Raises:
            ValueError: `control == target`, or a qubit >= `num_qubits`.
        """
    def cz(self, control: SupportsIndex, target: SupportsIndex) -> None:
        """Appends a fixed controlled Z.

        Raises:
            ValueError: `control == target`, or a qubit >= `num_qubits`.
        """
    def rx(self, target: SupportsIndex, param: Parameter) -> None:
        """Appends `rx(target, theta)` whose angle is the value of `param` at run time.

        Args:
            target: the rotated qubit.
            param: a handle from `param`; only its `index` is used, so it must
                be below `parameter_count`. A float angle is refused: use the
                fixed `Gate` constructors for constant rotations.

        Raises:
            TypeError: `param` is not a `Parameter`.
            ValueError: `target` >= `num_qubits`, then an unknown slot
                ("parameter slot `<k>` does not exist in this circuit spec").
        """
    def ry(self, target: SupportsIndex, param: Parameter) -> None:
        """Appends `ry(target, theta)` whose angle is the value of `param` at run time.

        Raises:
            TypeError: `param` is not a `Parameter`.
            ValueError: `target` >= `num_qubits`, or an unknown slot.
        """
    def rz(self, target: SupportsIndex, param: Parameter) -> None:
        """Appends `rz(target, theta)` whose angle is the value of `param` at run time.

        Raises:
            TypeError: `param` is not a `Parameter`.
            ValueError: `target` >= `num_qubits`, or an unknown slot.
        """
    def p(self, target: SupportsIndex, param: Parameter) -> None:
        """Appends the phase gate `diag(1, exp(i*theta))` whose angle is the value of `param` at run time.

        Raises:
            TypeError: `param` is not a `Parameter`.
            ValueError: `target` >= `num_qubits`, or an unknown slot.
        """
    def compile(
        self, *, fusion: int = 0, sums: Literal["float32", "float64"] = "float32"
    ) -> CompiledCircuit:
        """Compiles the current content into an immutable `CompiledCircuit`.

        The result keeps the width and `parameter_count` of this moment;
        later additions to the specification do not affect it.

        Args:
            fusion: keyword only. `0` (the default) fuses each stretch of
                fixed gates between rotations as specified. `k` from 2 to 5
                fuses each stretch into dense blocks of at most `k` qubits,
                as `Circuit(gates, fusion=k)` does; the parameterized
                rotations stay separate. A plan with channels fuses its
                trajectories instead: each stretch together with the
                branches a trajectory drew (Noise page).
            sums: keyword only. `"float32"` (the default) keeps the
                specified single-precision sums. `"float64"` accumulates
                expectation values, the adjoint method's inner products,
                parameter-shift differences and measurement probabilities
                in double precision, in fixed blocks combined in a fixed
                order: results are identical for every pool size and are
                still returned as `float32` values and arrays. The state
                stays `complex64`; values and gradients are those of the
                normalised state (divided by its norm squared, summed in
                the same pass), which removes the drift of the norm that
                rounded rotations leave, so what remains is the state's
                own random error (see the Numerics page for measured
                figures). The option is kept when the plan is pickled.

        Raises:
            ValueError: `sums` is not `"float32"` or `"float64"`, or `fusion`
                is not 0 or from 2 to 5.
            TypeError: an option is given by position, or `fusion` is not an
                `int`.
        """
    def gate(self, gate: Gate) -> None:
        """Appends a copy of a fixed `Gate` (unitary, measurement, reset or barrier).

        For gates that have no builder method here, such as `Gate.unitary`,
        `Gate.swap` or controlled gates; the gate is not parameterized.

        Raises:
            TypeError: `gate` is not a `Gate`.
            ValueError: a qubit of the gate is >= `num_qubits` (the message
                of `Circuit.run`).

        Example:
            `spec.gate(Gate.swap(0, 1))`
        """
    def __reduce__(self) -> tuple[Callable[[bytes], CircuitSpec], tuple[bytes]]:
        """Pickle support: `(vantelo._unpickle, (data,))`.

        `data` is a versioned byte string (a few kilobytes at most for
        typical specifications); unpickling rebuilds an equal object that computes
        exactly what this one does, in any process with the same or a newer
        vantelo.

        Example:
            `pickle.loads(pickle.dumps(obj))` is an independent equal object.
        """
    def __copy__(self) -> CircuitSpec:
        """`copy.copy(obj)`: an independent copy (the object is immutable in use, so shallow and deep copies are alike)."""
    def __deepcopy__(self, memo: dict[int, object]) -> CircuitSpec:
        """`copy.deepcopy(obj)`: an independent copy equal to `copy.copy(obj)`; `memo` is not used."""

@final
class CompiledCircuit:
    """An immutable, reusable execution plan made by `CircuitSpec.compile`.

    Every evaluation comes in a plain form, whose `params` is anything NumPy
    converts to `float32` (copied, with the interpreter lock released during
    the computation, so other Python threads run meanwhile), and a `_buffer`
    form that reads the parameters in place from a `ParamBuffer` or
    `ParamBatchBuffer` (no conversion or copy; the lock is kept).

    Gradients are exact parameter-shift gradients: for each rotation a
    parameter drives, the circuit is run with that rotation alone shifted by
    +pi/2 and -pi/2, and the half-differences are summed in plan order.

    Results are bit-identical whatever the thread count.

    Raises:
        TypeError: `CompiledCircuit()` ("No constructor defined").
    """

    @property
    def num_qubits(self) -> int:
        """Register width of the plan."""
    @property
    def parameter_count(self) -> int:
        """Length P of every parameter vector (the width of every batch)."""
    def statevector(self, params: ArrayLike) -> NDArray[np.complex64]:
        """Runs the circuit for one parameter vector from |0...0>.

        Args:
            params: P values, anything NumPy converts to a one-dimensional
                `float32` array (list, tuple, array of any real dtype).

        Returns:
            The final state: `complex64` array of length `2**num_qubits`.

        Raises:
            TypeError: `params` is not one-dimensional ("params must be
                convertible to a 1D numpy float32 array").
            ValueError: wrong length ("parameter vector has length `<n>`,
                expected `<P>`").
            vantelo.InternalFault: `num_qubits` >= 32.
        """
    def expectation(self, params: ArrayLike, observable: Observable) -> float:
        """Expectation value ⟨ψ(params)|observable|ψ(params)⟩.

        Returns:
            A Python `float` holding a `float32` value.

        Raises:
            TypeError: as `statevector`; `observable` not an `Observable`
                (checked before `params` is converted).
            ValueError: as `statevector`; the observable names a qubit outside
                the register ("observable references qubit `<q>` but state vector
                only has `<n>` qubits"); the plan holds a channel ("this circuit
                has channels: run it as trajectories ..."), refused before any
                step runs: use `trajectory_expectation`.

        Example:
            `circuit.expectation([0.3], Observable.pauli_z(0))`
        """
    def batch_expectation(self, params_batch: ArrayLike, observable: Observable) -> NDArray[np.float32]:
        """Expectation values for every row of a batch, rows evaluated in parallel.

        Args:
            params_batch: R x P values, anything NumPy converts to a
                two-dimensional `float32` array; row r is one parameter vector.
                R = 0 is allowed.
            observable: the observable measured in every row.

        Returns:
            `float32` array of shape (R,); entry r is bit-identical to
            `expectation(params_batch[r], observable)`. A plan that
            measures or resets draws its outcomes anew in every row, with or
            without parameters.

        Raises:
            TypeError: `params_batch` is not two-dimensional ("params_batch
                must be convertible to a 2D numpy float32 array").
            ValueError: wrong width ("params_batch has width `<c>`, expected
                `<P>`"), or as `expectation`.
        """
    def trajectory_expectation(
        self, params: ArrayLike, observable: Observable, trajectories: SupportsIndex,
        seed: SupportsIndex | None = None,
    ) -> tuple[float, float]:
        """The expectation averaged over trajectories 0 ... `trajectories` - 1 of a plan with channels.

        Trajectory `t` draws from a counter-based generator keyed by
        `(seed, t)`, and the values are summed in trajectory order in double
        precision, so the result is the same for every thread count and
        equals the mean of `trajectory_values` however those were split.
        A plan without channels gives its noiseless expectation with error 0.

        Returns:
            `(mean, standard_error)`: the mean of the per-trajectory values
            and sqrt(sum((v - mean)**2) / (T*(T-1))) (0 for one trajectory).

        Raises:
            ValueError: `trajectories` is 0 ("the trajectory count must be at
                least 1"), or as `expectation`.
        """
    def trajectory_expectation_buffer(
        self, params: ParamBuffer, observable: Observable, trajectories: SupportsIndex,
        seed: SupportsIndex | None = None,
    ) -> tuple[float, float]:
        """`trajectory_expectation` with the parameters read from a `ParamBuffer`."""
    def trajectory_values(
        self, params: ArrayLike, observable: Observable, trajectories: SupportsIndex,
        seed: SupportsIndex, first: SupportsIndex = 0,
    ) -> NDArray[np.float32]:
        """The expectation of each trajectory `first` ... `first + trajectories - 1`, in order.

        Splitting a range into pieces and concatenating their values gives
        the values of the whole range bit for bit (the way Dask sweeps split
        trajectories).

        Returns:
            A `float32` array of `trajectories` values.
        """
    def batch_trajectory_expectation(
        self, params_batch: ArrayLike, observable: Observable, trajectories: SupportsIndex,
        seed: SupportsIndex | None = None,
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """`trajectory_expectation` for every row of a batch; every row draws the same trajectories.

        Returns:
            `(means, standard_errors)`, two `float64` arrays of shape (R,);
            row r equals `trajectory_expectation(params_batch[r], ...)`.
        """
    def batch_trajectory_expectation_buffer(
        self, params_batch: ParamBatchBuffer, observable: Observable, trajectories: SupportsIndex,
        seed: SupportsIndex | None = None,
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """`batch_trajectory_expectation` with the rows read from a `ParamBatchBuffer`."""
    def density_matrix(self, params: ArrayLike) -> NDArray[np.complex64]:
        """The exact density matrix of the plan for one parameter vector, as `Circuit.density_matrix`.

        Works for plans with or without channels; measurements and resets
        act as the dephasing and reset channels.

        Returns:
            A `(2**num_qubits, 2**num_qubits)` `complex64` array.

        Raises:
            TypeError: as `statevector`.
            ValueError: the plan has more than 12 qubits (the message of
                `Circuit.density_matrix`), then as `statevector`.
        """
    def density_expectation(self, params: ArrayLike, observable: Observable) -> float:
        """The exact expectation Tr(rho(params) observable) on the density matrix of the plan.

        The value trajectory averages converge to, with no statistical error:
        the density matrix is built as by `density_matrix`, and each term's
        trace is summed in double precision over the row index in increasing
        order, the terms in their order. The result is the same on every
        thread count.

        Returns:
            A Python `float`.

        Raises:
            TypeError: as `expectation`.
            ValueError: the observable names a qubit outside the register
                (checked first, with the message of `expectation`), or as
                `density_matrix`.
        """
    def param_buffer(self) -> ParamBuffer:
        """Allocates a zero-filled `ParamBuffer` of `parameter_count` values for the `_buffer` methods."""
    def param_batch_buffer(self, batch_size: SupportsIndex) -> ParamBatchBuffer:
        """Allocates a zero-filled `ParamBatchBuffer` of shape (`batch_size`, `parameter_count`); 0 rows are allowed."""
    def statevector_buffer(self, params: ParamBuffer) -> NDArray[np.complex64]:
        """`statevector` with the parameters read in place from a `ParamBuffer`.

        Raises:
            TypeError: `params` is not a `ParamBuffer`.
            ValueError: the buffer's size differs from `parameter_count`
                ("param_buffer has length `<n>`, expected `<P>`").
        """
    def expectation_buffer(self, params: ParamBuffer, observable: Observable) -> float:
        """`expectation` with the parameters read in place from a `ParamBuffer`.

        Raises:
            TypeError: `params` is not a `ParamBuffer`, or `observable` not an
                `Observable`.
            ValueError: as `statevector_buffer` and `expectation`.
        """
    def gradient(self, params: ArrayLike, observable: Observable) -> NDArray[np.float32]:
        """Gradient of `expectation(params, observable)` with respect to every parameter.

        Returns:
            `float32` array of shape (P,): entry k is the sum, over the
            rotations that parameter k drives and in plan order, of their
            parameter-shift terms; 0 for a parameter that drives none.

        Raises:
            TypeError, ValueError: as `expectation`.
        """
    def gradient_buffer(self, params: ParamBuffer, observable: Observable) -> NDArray[np.float32]:
        """`gradient` with the parameters read in place from a `ParamBuffer`.

        Raises:
            TypeError, ValueError: as `expectation_buffer`.
        """
    def value_and_gradient(self, params: ArrayLike, observable: Observable) -> tuple[float, NDArray[np.float32]]:
        """The expectation value and its gradient from one pass.

        Returns:
            `(value, gradient)`: a `float` equal to `expectation(params,
            observable)` and a `float32` array of shape (P,) equal to
            `gradient(params, observable)`.

        Raises:
            TypeError, ValueError: as `expectation`.

        Example:
            `energy, grad = circuit.value_and_gradient(theta, hamiltonian)`
        """
    def value_and_gradient_buffer(
        self, params: ParamBuffer, observable: Observable
    ) -> tuple[float, NDArray[np.float32]]:
        """`value_and_gradient` with the parameters read in place from a `ParamBuffer`.

        Raises:
            TypeError, ValueError: as `expectation_buffer`.
        """
    def batch_gradient(self, params_batch: ArrayLike, observable: Observable) -> NDArray[np.float32]:
        """Gradients for every row of a batch, rows evaluated in parallel.

        Returns:
            `float32` array of shape (R, P); row r is bit-identical to
            `gradient(params_batch[r], observable)`.

        Raises:
            TypeError, ValueError: as `batch_expectation`.
        """
    def batch_expectation_buffer(self, params_batch: ParamBatchBuffer, observable: Observable) -> NDArray[np.float32]:
        """`batch_expectation` with the rows read in place from a `ParamBatchBuffer`.

        Returns:
            `float32` array of shape (`batch_size`,).

        Raises:
            TypeError: `params_batch` is not a `ParamBatchBuffer`.
            ValueError: the buffer's width differs from `parameter_count`
                ("param_batch_buffer has width `<c>`, expected `<P>`").
        """
    def batch_gradient_buffer(self, params_batch: ParamBatchBuffer, observable: Observable) -> NDArray[np.float32]:
        """`batch_gradient` with the rows read in place from a `ParamBatchBuffer`.

        Returns:
            `float32` array of shape (`batch_size`, P).

        Raises:
            TypeError, ValueError: as `batch_expectation_buffer`.
        """
    def batch_value_and_gradient(
        self, params_batch: ArrayLike, observable: Observable
    ) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
        """Values and gradients for every row of a batch.

        Returns:
            `(values, gradients)`: `float32` arrays of shapes (R,) and (R, P),
            equal row by row to `value_and_gradient`.

        Raises:
            TypeError, ValueError: as `batch_expectation`.
        """
    def batch_value_and_gradient_buffer(
        self, params_batch: ParamBatchBuffer, observable: Observable
    ) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
        """`batch_value_and_gradient` with the rows read in place from a `ParamBatchBuffer`.

        Raises:
            TypeError, ValueError: as `batch_expectation_buffer`.
        """
    def adjoint_value_and_gradient(
        self, params: ArrayLike, observable: Observable
    ) -> tuple[float, NDArray[np.float32]]:
        """The value and gradient by adjoint differentiation.

        One forward run and one backward sweep through the plan: a few passes
        over the state whatever the parameter count. Entry k sums, in plan
        order, the contributions of the rotations that read parameter k
        (exactly 0 if none). Equal to `value_and_gradient` up to float32
        rounding, and bit-identical for every thread count. Releases the
        interpreter lock.

        Returns:
            `(value, gradient)`: a `float` equal to `expectation(params,
            observable)` bit for bit and a `float32` array of shape (P,).

        Raises:
            TypeError, ValueError: as `expectation`.
            ValueError: the plan measures or resets ("adjoint differentiation
                needs a circuit without measurements or resets"), or holds a
                channel ("adjoint differentiation needs a circuit without
                channels"); both are refused before anything runs.

        Example:
            `energy, grad = circuit.adjoint_value_and_gradient(theta, hamiltonian)`
        """
    def adjoint_value_and_gradient_buffer(
        self, params: ParamBuffer, observable: Observable
    ) -> tuple[float, NDArray[np.float32]]:
        """`adjoint_value_and_gradient` with the parameters read in place from a `ParamBuffer`.

        Raises:
            TypeError, ValueError: as `expectation_buffer` and
                `adjoint_value_and_gradient`.
        """
    def batch_adjoint_value_and_gradient(
        self, params_batch: ArrayLike, observable: Observable
    ) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
        """`adjoint_value_and_gradient` for every row of a batch, rows spread over the pool.

        Returns:
            `(values, gradients)`: `float32` arrays of shapes (R,) and (R, P);
            row r equals the single call bit for bit.

        Raises:
            TypeError, ValueError: as `batch_expectation` and
                `adjoint_value_and_gradient`.
        """
    def batch_adjoint_value_and_gradient_buffer(
        self, params_batch: ParamBatchBuffer, observable: Observable
    ) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
        """`batch_adjoint_value_and_gradient` with the rows read in place from a `ParamBatchBuffer`.

        Raises:
            TypeError, ValueError: as `batch_expectation_buffer` and
                `adjoint_value_and_gradient`.
        """
    def execution_context(self) -> ExecutionContext:
        """Creates an `ExecutionContext` holding a reusable state of this circuit's width.

        Raises:
            vantelo.InternalFault: `num_qubits` >= 32.
        """
    def batch_statevector(self, params_batch: ArrayLike) -> NDArray[np.complex64]:
        """Final state vectors of every row of a batch, rows run in parallel.

        Args:
            params_batch: R x P values, as in `batch_expectation`; R = 0 is
                allowed.

        Returns:
            `complex64` array of shape (R, `2**num_qubits`); row r is
            bit-identical to `statevector(params_batch[r])`.

        Raises:
            TypeError: `params_batch` is not two-dimensional ("params_batch
                must be convertible to a 2D numpy float32 array").
            ValueError: wrong width ("params_batch has width `<c>`, expected
                `<P>`").
            MemoryError: the R states do not fit in memory ("cannot
                allocate the results of a batch of `<R>` rows (`<size>`)").

        Example:
            `circuit.batch_statevector(np.zeros((4, circuit.parameter_count))).shape`
            is `(4, 2**circuit.num_qubits)`.
        """
    def __reduce__(self) -> tuple[Callable[[bytes], CompiledCircuit], tuple[bytes]]:
        """Pickle support: `(vantelo._unpickle, (data,))`.

        `data` is a versioned byte string (a few kilobytes at most for
        typical circuits); unpickling rebuilds an equal object that computes
        exactly what this one does, in any process with the same or a newer
        vantelo.

        Example:
            `pickle.loads(pickle.dumps(obj))` is an independent equal object.
        """
    def __copy__(self) -> CompiledCircuit:
        """`copy.copy(obj)`: an independent copy (the object is immutable in use, so shallow and deep copies are alike)."""
    def __deepcopy__(self, memo: dict[int, object]) -> CompiledCircuit:
        """`copy.deepcopy(obj)`: an independent copy equal to `copy.copy(obj)`; `memo` is not used."""

@final
class ParamBuffer:
    """A reusable `float32` parameter vector read in place by the `_buffer` methods.

    Made by `CompiledCircuit.param_buffer`. Fill `numpy()` in place and pass
    the buffer; it works with any compiled circuit of the same
    `parameter_count`. The module never writes into it.

    Raises:
        TypeError: `ParamBuffer()` ("No constructor defined").
    """

    @property
    def size(self) -> int:
        """Number of parameters the buffer holds."""
    def numpy(self) -> NDArray[np.float32]:
        """The buffer's own array (shape (`size`,), `float32`, writeable); the same object on every call.

        Example:
            `buffer.numpy()[:] = theta` sets the values the next call reads.
        """
    def __reduce__(self) -> NoReturn:
        """Refuses to pickle: a `ParamBuffer` holds memory of one process.

        Raises:
            TypeError: always ("cannot pickle 'ParamBuffer' object: buffers and
                execution contexts are process-local; pickle the
                CompiledCircuit and create a new one where it is unpickled").
        """

@final
class ParamBatchBuffer:
    """A reusable `float32` parameter batch read in place by the batch `_buffer` methods.

    Made by `CompiledCircuit.param_batch_buffer`. Row r of `numpy()` is
    parameter vector r. The module never writes into it.

    Raises:
        TypeError: `ParamBatchBuffer()` ("No constructor defined").
    """

    @property
    def batch_size(self) -> int:
        """Number of rows R."""
    @property
    def parameter_count(self) -> int:
        """Number of parameters P in each row."""
    def numpy(self) -> NDArray[np.float32]:
        """The buffer's own array (shape (R, P), C order, `float32`, writeable); the same object on every call."""
    def __reduce__(self) -> NoReturn:
        """Refuses to pickle: a `ParamBatchBuffer` holds memory of one process.

        Raises:
            TypeError: always ("cannot pickle 'ParamBatchBuffer' object: buffers and
                execution contexts are process-local; pickle the
                CompiledCircuit and create a new one where it is unpickled").
        """

@final
class ExecutionContext:
    """A reusable state vector for repeated scalar evaluations of compiled circuits.

    Made by `CompiledCircuit.execution_context`. Each method takes the
    compiled circuit as its first argument and gives the same result as the
    `CompiledCircuit` method of the same name, but runs in the context's
    state instead of allocating a new one (the state adopts the circuit's
    width when it differs). Between calls the context holds the state of the
    last run it made. One context serves one call at a time; use one context
    per thread.

    Raises:
        TypeError: `ExecutionContext()` ("No constructor defined").
        RuntimeError: a call on a context that another call is still using
            ("Already borrowed").
    """

    def statevector_buffer(self, circuit: CompiledCircuit, params: ParamBuffer) -> NDArray[np.complex64]:
        """`CompiledCircuit.statevector_buffer` run in this context.

        Returns:
            A new `complex64` array of length `2**circuit.num_qubits`: a copy
            of the context's state, unaffected by later calls.
        """
    def statevector(self, circuit: CompiledCircuit, params: ArrayLike) -> NDArray[np.complex64]:
        """`CompiledCircuit.statevector` run in this context.

        Returns:
            A new `complex64` array of length `2**circuit.num_qubits`: a copy
            of the context's state, unaffected by later calls.

        Raises:
            TypeError, ValueError: as `CompiledCircuit.statevector`.
        """
    def expectation(self, circuit: CompiledCircuit, params: ArrayLike, observable: Observable) -> float:
        """`CompiledCircuit.expectation` run in this context.

        Raises:
            TypeError, ValueError: as `CompiledCircuit.expectation`.
        """
    def expectation_buffer(self, circuit: CompiledCircuit, params: ParamBuffer, observable: Observable) -> float:
        """`CompiledCircuit.expectation_buffer` run in this context.

        Raises:
            TypeError, ValueError: as `CompiledCircuit.expectation_buffer`.
        """
    def gradient(self, circuit: CompiledCircuit, params: ArrayLike, observable: Observable) -> NDArray[np.float32]:
        """`CompiledCircuit.gradient` run in this context: `float32` array of shape (P,).

        Raises:
            TypeError, ValueError: as `CompiledCircuit.gradient`.
        """
    def gradient_buffer(
        self, circuit: CompiledCircuit, params: ParamBuffer, observable: Observable
    ) -> NDArray[np.float32]:
        """`CompiledCircuit.gradient_buffer` run in this context: `float32` array of shape (P,).

        Raises:
            TypeError, ValueError: as `CompiledCircuit.gradient_buffer`.
        """
    def value_and_gradient(
        self, circuit: CompiledCircuit, params: ArrayLike, observable: Observable
    ) -> tuple[float, NDArray[np.float32]]:
        """`CompiledCircuit.value_and_gradient` run in this context.

        Raises:
            TypeError, ValueError: as `CompiledCircuit.value_and_gradient`.
        """
    def value_and_gradient_buffer(
        self, circuit: CompiledCircuit, params: ParamBuffer, observable: Observable
    ) -> tuple[float, NDArray[np.float32]]:
        """`CompiledCircuit.value_and_gradient_buffer` run in this context.

        Raises:
            TypeError, ValueError: as `CompiledCircuit.value_and_gradient_buffer`.
        """
    def adjoint_value_and_gradient(
        self, circuit: CompiledCircuit, params: ArrayLike, observable: Observable
    ) -> tuple[float, NDArray[np.float32]]:
        """`CompiledCircuit.adjoint_value_and_gradient` run in this context.

        Afterwards the context's state is scratch (the sweep un-applies the
        circuit in it).

        Raises:
            TypeError, ValueError: as `CompiledCircuit.adjoint_value_and_gradient`.
            RuntimeError: another call is using the context ("Already borrowed").
        """
    def __reduce__(self) -> NoReturn:
        """Refuses to pickle: a `ExecutionContext` holds memory of one process.

        Raises:
            TypeError: always ("cannot pickle 'ExecutionContext' object: buffers and
                execution contexts are process-local; pickle the
                CompiledCircuit and create a new one where it is unpickled").
        """

def _unpickle(data: bytes) -> Gate | Circuit | Observable | Parameter | CircuitSpec | CompiledCircuit:
    """Rebuilds a pickled vantelo object from the bytes that its `__reduce__` gave; used by `pickle`.

    The bytes are treated as untrusted: objects are rebuilt through the
    constructors' checks.

    Raises:
        TypeError: `data` is not `bytes`.
        ValueError: malformed data ("pickled vantelo data is truncated",
            "data is not a pickled vantelo object", "pickled vantelo data has
            format version `<v>`; this build reads versions 1 to `<w>`", or a
            check of the rebuilt object).
    """

def _set_side_by_side_qubits(num_qubits: SupportsIndex) -> int:
    """Sets the widest register whose trajectories run side by side, one per worker, and returns the previous width.

    Fused trajectories run side by side one qubit wider. Wider registers
    run one trajectory at a time, spread over the pool.
    Results do not depend on it; tests and benchmarks set it to reach both
    ways at any width.
    """

def set_num_threads(num_threads: SupportsIndex) -> None:
    """Fixes the number of worker threads (capped at 255) before the first simulation.

    Without it the pool is sized on first use from `RAYON_NUM_THREADS`, else
    `RAYON_RS_NUM_CPUS`, else the CPUs available to the process. The size
    never changes afterwards. Results do not depend on it.

    Raises:
        ValueError: `num_threads` is 0 ("number of threads must be greater
            than 0").
        RuntimeError: the pool already exists, because of an earlier call or
            any earlier simulation ("failed to set number of threads: The
            global thread pool has already been initialized.").
    """

class InternalFault(BaseException):
    """An internal limit of the simulator was hit; the call was abandoned.

    Raised for registers of 32 qubits or more ("too many qubits in state
    vector") and for sampling a state whose weights cannot be sampled, such
    as a NaN weight or all weights zero ("failed to sample: `<kind>`"). It
    derives from `BaseException`, not `Exception`, so `except Exception`
    does not hide it; catch it by name:

    ```python
    try:
        vantelo.Circuit([vantelo.Gate.h(0)]).run(32)
    except vantelo.InternalFault as fault:
        print(fault)  # too many qubits in state vector
    ```

    The objects involved stay usable.
    """

def build_info() -> dict[str, str | bool]:
    """Describes this build and the kernels this process runs, for bug reports.

    A new dict on each call (not in `__all__`):

    - `version`: as `__version__`.
    - `kernels`: `"avx2"` or `"portable"`, chosen once per process. The AVX2
      kernels run where the build has them (x86-64), the CPU reports AVX2
      (CPUID) and the operating system saves the vector registers (XGETBV),
      unless the environment variable `VANTELO_DISABLE_AVX2` is set to a
      non-empty value other than `"0"` before the first simulation. Both
      kernel sets give the same bits.
    - `avx2_built`, `avx2_cpu`, `avx2_disabled`: the three conditions above.
    - `machine`: the target architecture (`"x86_64"`, `"aarch64"`, ...).
    - `compiler`, `build_type`, `cxx_flags`, `avx2_cxx_flags`: how the
      extension was compiled.
    """
