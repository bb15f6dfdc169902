"""Inputs at the limits: long qubit lists, memory that cannot be had, objects
busy in another thread when the process forks."""

import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from vantelo import Circuit, CircuitSpec, Gate, Observable

SANITIZED = os.environ.get("VANTELO_SANITIZED") == "1"


def first_duplicate(values):
    """The value at the first position that has a later equal entry."""
    for i, v in enumerate(values):
        if v in values[i + 1:]:
            return v
    return None


@pytest.mark.parametrize("seed", range(6))
def test_duplicate_reported_like_the_pairwise_search(seed):
    rng = np.random.default_rng(seed)
    values = [int(v) for v in rng.integers(0, 400, size=int(rng.integers(20, 120)))]
    dup = first_duplicate(values)
    with pytest.raises(ValueError, match=f"duplicate qubit index: {dup}$"):
        Gate.unitary(values, np.eye(2))
    with pytest.raises(ValueError, match=f"duplicate qubit index: {dup}$"):
        Observable.pauli_string([("Z", v) for v in values])


def test_long_lists_checked_in_linear_time():
    # A million entries: the pairwise search would take hours; a generous
    # bound in a child process (not a benchmark). A range whose conversion
    # must fail at element 2^32 fails there without converting the others.
    code = textwrap.dedent("""
        import numpy as np
        from vantelo import Gate, Observable
        n = 1_000_000
        for call in (lambda: Gate.unitary([*range(n), n - 2], np.eye(2)),
                     lambda: Observable.pauli_string([("X", q) for q in [*range(n), n - 2]]),
                     lambda: Gate.unitary(range(1 << 40), np.eye(2)),
                     lambda: Gate.mcx(range(7, -(1 << 40), -1), 9),
                     lambda: Gate.unitary([0, 1, 1 << 32], np.eye(2)),
                     lambda: Gate.mcx([7, 6, -1], 9)):
            try:
                call()
            except (ValueError, OverflowError) as e:
                print(type(e).__name__, e)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    out = proc.stdout.splitlines()
    assert out[:2] == ["ValueError duplicate qubit index: 999998"] * 2, proc.stderr
    assert out[2:4] == out[4:6] and len(out) == 6


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve more address space than the cap")
def test_memory_errors_say_what_failed():
    code = textwrap.dedent("""
        import resource
        import numpy as np
        from vantelo import Circuit, CircuitSpec, Observable
        spec = CircuitSpec(30)
        spec.ry(0, spec.param())
        compiled = spec.compile()
        small = CircuitSpec(1)
        small.ry(0, small.param())
        small = small.compile()
        page = resource.getpagesize()
        used = int(open("/proc/self/statm").read().split()[0]) * page
        resource.setrlimit(resource.RLIMIT_AS, (used + (3 << 29), used + (3 << 29)))
        rows = small.param_batch_buffer(1 << 28)  # 1 GiB of parameters fits
        fixed = CircuitSpec(10)
        fixed.h(0)
        fixed = fixed.compile()
        for call in (lambda: Circuit([]).run(30),
                     lambda: compiled.expectation([0.5], Observable.pauli_z(0)),
                     lambda: small.batch_value_and_gradient_buffer(rows, Observable.pauli_z(0)),
                     lambda: fixed.batch_statevector(np.zeros((1 << 20, 0))),
                     lambda: fixed.batch_expectation(np.zeros((1 << 31, 0)), Observable.pauli_z(0))):
            try:
                call()
            except MemoryError as e:
                print(e)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.stdout.splitlines() == [
        "cannot allocate a state vector of 30 qubits (8.0 GiB)",
        "cannot allocate a state vector of 30 qubits (8.0 GiB)",
        "cannot allocate the results of a batch of 268435456 rows (2.0 GiB)",
        "cannot allocate the results of a batch of 1048576 rows (8.0 GiB)",
        "cannot allocate the results of a batch of 2147483648 rows (8.0 GiB)",
    ], proc.stderr


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve more address space than the cap")
def test_samples_that_do_not_fit_say_so():
    # Samples are drawn into a growing array until memory runs out.
    code = textwrap.dedent("""
        import resource
        from vantelo import Circuit, Gate
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 28), used + (1 << 28)))
        for call in (lambda: Circuit([]).sample_from([1], 1 << 31),
                     lambda: Circuit([Gate.h(0)]).sample(1, (1 << 32) - 1)):
            try:
                call()
            except MemoryError as e:
                print(e)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.stdout.splitlines() == [
        "cannot allocate 2147483648 samples (16.0 GiB)",
        "cannot allocate 4294967295 samples (32.0 GiB)",
    ], proc.stderr



@pytest.mark.parametrize("call", [
    lambda c, o: c.trajectory_expectation([0.1], o, 2**63, 1),
    lambda c, o: c.trajectory_values([0.1], o, 2**64 - 1, 1),
    lambda c, o: c.batch_trajectory_expectation([[0.1]] * 3, o, 2**63, 1),
    lambda c, o: Circuit([Gate.h(0), Gate.depolarizing(0, 0.1)]).sample_trajectories(1, 2**62, 3),
], ids=["expectation", "values", "batch", "shots"])
def test_trajectory_counts_past_any_allocation_are_memory_errors(call):
    """Counts whose per-trajectory bookkeeping no container can hold fail
    as memory that cannot be had, before anything runs."""
    spec = CircuitSpec(2)
    spec.rx(0, spec.param())
    spec.gate(Gate.amplitude_damping(1, 0.2))
    with pytest.raises(MemoryError):
        call(spec.compile(), Observable.pauli_z(0))

@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_context_busy_at_fork_usable_in_child():
    from vantelo import CircuitSpec
    spec = CircuitSpec(16)
    t = spec.param()
    spec.h(3)
    spec.ry(0, t)
    compiled = spec.compile()
    context = compiled.execution_context()
    obs = Observable.pauli_z(0)
    expected = compiled.expectation([0.25], obs)
    spec = CircuitSpec(16)
    t = spec.param()
    for i in range(60000):
        spec.ry(i % 16, t)
    long_running = spec.compile()
    worker = threading.Thread(target=lambda: context.expectation(long_running, [0.25], obs))
    worker.start()
    try:
        while True:  # until the worker's call holds the context
            try:
                context.expectation(compiled, [0.25], obs)
            except RuntimeError as e:
                assert str(e) == "Already borrowed"
                break
        pid = os.fork()
        if pid == 0:
            # Only the forking thread exists here: the worker's borrow is gone.
            ok = context.expectation(compiled, [0.25], obs) == expected
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    finally:
        worker.join()


@pytest.mark.parametrize("controls, targets", [([4, 0, 2], [5]), ([1, 5, 3], [0, 2]),
                                               ([2, 0, 4, 5], [1])])
def test_controlled_gate_equals_its_dense_expansion(controls, targets):
    from vantelo import Circuit
    rng = np.random.default_rng(len(controls) * 10 + len(targets))
    t = 1 << len(targets)
    u = np.linalg.qr(rng.standard_normal((t, t)) + 1j * rng.standard_normal((t, t)))[0]
    u = u.astype(np.complex64)
    d = 1 << (len(controls) + len(targets))
    dense = np.eye(d, dtype=np.complex64)
    dense[d - t:, d - t:] = u
    prefix = [Gate.u(q, *rng.uniform(-3, 3, 3)) for q in range(6)]
    kept = Circuit(prefix + [Gate.controlled_unitary(controls, targets, u)]).run(6)
    expanded = Circuit(prefix + [Gate.unitary(controls + targets, dense)]).run(6)
    assert np.array_equal(kept, expanded)  # +0 == -0: equal up to the sign of zero


def test_wide_multi_controlled_x_runs_without_expansion():
    from vantelo import Circuit
    n = 22
    prefix = [Gate.ry(q, 0.1 + 0.13 * q) for q in range(n)]
    before = Circuit(prefix).run(n)
    after = Circuit(prefix + [Gate.mcx(list(range(20)), 21)]).run(n)
    i = np.arange(1 << n)
    hit = (i & ((1 << 20) - 1)) == (1 << 20) - 1
    expected = before.copy()
    expected[hit] = before[i[hit] ^ (1 << 21)]
    assert np.array_equal(after, expected)
