"""A fixed, varied workload whose results are hashed bit for bit: every kernel
family (one-qubit on low and high qubits, monomial, dense on two to four
targets, controlled, cache-blocked circuits, expectation values, adjoint
gradients, a noise channel's trajectories) on seeded random inputs. Two
processes that ran the same kernels arithmetic print the same digest; the
AVX2 and portable kernels must too, and so must builds by other compilers
(they share libm's sincosf and exp).

Run as a script it prints a JSON line: the kernels chosen and the digest.
"""
import hashlib
import json
import sys

import numpy as np

import vantelo
from vantelo import Circuit, CircuitSpec, Gate, Observable


def _unitary(rng: np.random.Generator, k: int) -> np.ndarray:
    dim = 1 << k
    z = rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))
    q, r = np.linalg.qr(z)
    return (q * (np.diag(r) / np.abs(np.diag(r)))).astype(np.complex64)


def _random_gates(rng: np.random.Generator, n: int, count: int) -> list[Gate]:
    gates = []
    for _ in range(count):
        kind = int(rng.integers(9))
        qs = [int(q) for q in rng.permutation(n)]
        theta = float(rng.uniform(-np.pi, np.pi))
        if kind == 0 or n < 2:
            gates.append(getattr(Gate, str(rng.choice(["h", "x", "y", "s", "t"])))(qs[0]))
        elif kind == 1:
            gates.append(getattr(Gate, str(rng.choice(["rx", "ry", "rz", "p"])))(qs[0], theta))
        elif kind == 2:
            gates.append(getattr(Gate, str(rng.choice(["cx", "cz", "swap", "cy", "ch"])))(qs[0], qs[1]))
        elif kind == 3:
            gates.append(getattr(Gate, str(rng.choice(["crx", "cp", "crz"])))(qs[0], qs[1], theta))
        elif kind == 4:
            gates.append(Gate.unitary(qs[:2], _unitary(rng, 2)))
        elif kind == 5 and n >= 3:
            gates.append(Gate.ccx(qs[0], qs[1], qs[2]))
        elif kind == 6 and n >= 3:
            gates.append(Gate.unitary(qs[:3], _unitary(rng, 3)))
        elif kind == 7 and n >= 4:
            gates.append(Gate.unitary(qs[:4], _unitary(rng, 4)))
        elif kind == 8 and n >= 3:
            gates.append(Gate.controlled_unitary(qs[:1], qs[1:3], _unitary(rng, 2)))
        else:
            gates.append(Gate.u(qs[0], theta, 0.3, -0.7))
    return gates


def _compiled(rng: np.random.Generator, n: int, layers: int):
    spec = CircuitSpec(n)
    for _ in range(layers):
        for q in range(n):
            getattr(spec, str(rng.choice(["rx", "ry", "rz", "p"])))(q, spec.param())
        for q in range(0, n - 1, 2):
            spec.cx(q, q + 1)
        spec.h(int(rng.integers(n)))
    return spec.compile()


def digest() -> str:
    """The SHA-256 of every result of the workload, as raw float32 bytes."""
    rng = np.random.default_rng(20261209)
    h = hashlib.sha256()
    for n in (1, 2, 3, 5, 8, 11, 14):
        state = Circuit(_random_gates(rng, n, 40)).run(n)
        h.update(state.tobytes())
        start = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
        start = (start / np.linalg.norm(start)).astype(np.complex64)
        h.update(Circuit(_random_gates(rng, n, 20)).run_from(start).tobytes())
    for n in (3, 6, 9):
        cc = _compiled(rng, n, 3)
        obs = Observable.hamiltonian([Observable.pauli_z(0, 0.5), Observable.pauli_x(n - 1, -1.25),
                                      Observable.pauli_string([("Y", 1), ("Z", n - 1)], 0.75)])
        params = rng.uniform(-np.pi, np.pi, size=(4, cc.parameter_count)).astype(np.float32)
        h.update(cc.statevector(params[0]).tobytes())
        h.update(np.float32(cc.expectation(params[0], obs)).tobytes())
        h.update(cc.batch_expectation(params, obs).tobytes())
        value, grad = cc.adjoint_value_and_gradient(params[1], obs)
        h.update(np.float32(value).tobytes() + np.asarray(grad, np.float32).tobytes())
        h.update(cc.batch_gradient(params, obs).tobytes())
    # Channels: the relaxation's Kraus weights come from exp, the rotations'
    # from sincosf; seeded trajectories make the draws repeatable.
    n = 4
    noisy = _random_gates(rng, n, 16) + [Gate.thermal_relaxation(q, 40.0 + q, 55.0, 3.5, 0.05)
                                         for q in range(n)]
    # A reset zeroes half the state and z turns those zeros to −0; no channel
    # follows, so the trajectory ends without a renormalisation.
    measured = _random_gates(rng, n, 8) + [Gate.measure(0), Gate.reset(1), Gate.z(1)]
    for trajectory in range(3):
        h.update(Circuit(noisy).run_trajectory(n, 20261209, trajectory)[0].tobytes())
        h.update(Circuit(measured).run_trajectory(n, 20261209, trajectory)[0].tobytes())
    return h.hexdigest()


if __name__ == "__main__":
    print(json.dumps({"kernels": vantelo.build_info()["kernels"], "digest": digest()}))
    sys.stdout.flush()
