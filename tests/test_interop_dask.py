"""Distributed sweeps: chunked batch calls on a Dask LocalCluster (2 workers,
1 thread each) and on a process pool equal the local batch call bit for bit,
survive a killed worker, and return workers' errors as the original
exceptions, or, for faults that cannot travel, as WorkerFault, without
hanging."""

import multiprocessing
import os
import re
import signal
import threading
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

from compiled_helpers import FaultOnRows, build, make_observable, same

distributed = pytest.importorskip("distributed")
from dask import config as dask_config  # noqa: E402
from vantelo_interop import dask as vdask  # noqa: E402

CHUNK = 8
N = 6
ITEMS = [("h", q) for q in range(N)] + [("cx", q, q + 1) for q in range(N - 1)] + [
    ("ry", q, q % 3) for q in range(N)] + [("rz", q, (q + 1) % 3) for q in range(N)] + [("cz", 0, N - 1)]
TERMS = [(0.5, [("Z", 0), ("Z", 1)]), (-1.25, [("X", 2)]), (0.75, [("Y", 3), ("X", 5)])]
METHODS = ["batch_expectation", "batch_value_and_gradient", "batch_adjoint_value_and_gradient"]


def _rows(count, seed=0, width=3):
    return np.random.default_rng(seed).uniform(-np.pi, np.pi, (count, width)).astype(np.float32)


@pytest.fixture(scope="module")
def client():
    # Dask's memory manager drops spare copies of data every few seconds;
    # running it often puts shared data on a single worker before the
    # killed-worker test kills one.
    with dask_config.set({"distributed.scheduler.active-memory-manager.interval": "10ms"}), \
         distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def pool():
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as ex:
        yield ex


@pytest.fixture(params=["dask", "pool"])
def executor(request):
    return request.getfixturevalue("client" if request.param == "dask" else "pool")


def _method(name, compiled):
    if not hasattr(compiled, name):
        pytest.skip(f"CompiledCircuit.{name} is not in this build")
    return getattr(vdask, name)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("rows", [0, 1, CHUNK - 1, CHUNK, CHUNK + 1, 1000])
def test_sweep_equals_local_batch(executor, method, rows):
    compiled, observable = build(N, ITEMS, 3), make_observable(TERMS)
    sweep = _method(method, compiled)
    batch = _rows(rows, seed=rows)
    expected = getattr(compiled, method)(batch, observable)
    assert same(sweep(compiled, batch, observable, executor=executor, chunk_rows=CHUNK), expected)


def test_default_chunking_and_list_input(client):
    compiled, observable = build(N, ITEMS, 3), make_observable(TERMS)
    batch = _rows(37).tolist()
    assert same(vdask.batch_expectation(compiled, batch, observable, executor=client),
                compiled.batch_expectation(batch, observable))


@pytest.mark.parametrize("batch, observable_terms", [
    (_rows(20, width=4), TERMS),                # width: refused before anything is sent
    (_rows(20)[:, 0], TERMS),                   # one dimension (TypeError)
    (_rows(20), [(1.0, [("Z", N + 3)])]),       # the observable: refused on the worker
])
def test_errors_are_the_local_calls(executor, batch, observable_terms):
    compiled, observable = build(N, ITEMS, 3), make_observable(observable_terms)
    with pytest.raises((ValueError, TypeError)) as local:
        compiled.batch_expectation(batch, observable)
    with pytest.raises(local.type, match=f"^{re.escape(str(local.value))}$"):
        vdask.batch_expectation(compiled, batch, observable, executor=executor, chunk_rows=CHUNK)


def _within(seconds, call):
    """The exception call raises, failing the test if it has not returned
    after `seconds` (it runs on a daemon thread, so a hang ends with pytest)."""
    outcome = []

    def run():
        try:
            call()
            outcome.append(None)
        except BaseException as error:  # noqa: BLE001 - the fault is a BaseException
            outcome.append(error)
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(seconds)
    if not outcome:
        pytest.fail(f"the sweep had not returned after {seconds} s")
    return outcome[0]


def test_a_fault_on_a_worker_reaches_the_caller(executor):
    compiled, observable = FaultOnRows(build(N, ITEMS, 3)), make_observable(TERMS)
    error = _within(60, lambda: vdask.batch_expectation(compiled, _rows(20), observable, executor=executor,
                                                        chunk_rows=CHUNK, retries=0))
    assert isinstance(error, vdask.WorkerFault), repr(error)
    assert (str(error), error.kind) == ("too many qubits in state vector", "vantelo.InternalFault")


def test_a_register_too_wide_is_refused_before_anything_is_sent(executor):
    compiled = build(40, [("rx", 0, 0)], 1)
    error = _within(60, lambda: vdask.batch_expectation(compiled, _rows(20, width=1), make_observable(TERMS),
                                                        executor=executor))
    assert isinstance(error, ValueError), repr(error)
    assert str(error) == "state vector has 40 qubits, at most 31 are supported"


def test_progress_bar_on_request(client, capsys):
    pytest.importorskip("tqdm")
    compiled, observable = build(N, ITEMS, 3), make_observable(TERMS)
    vdask.batch_expectation(compiled, _rows(20), observable, executor=client, chunk_rows=CHUNK, progress=True)
    assert "20/20" in capsys.readouterr().err
    vdask.batch_expectation(compiled, _rows(20), observable, executor=client, chunk_rows=CHUNK)
    assert capsys.readouterr().err == ""


def _kill_when(find_pid):
    """Kills the process find_pid returns (polling until it returns one)."""
    def run():
        while (pid := find_pid()) is None:
            time.sleep(0.01)
        os.kill(pid, signal.SIGKILL)
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


def test_dask_sweep_survives_a_killed_worker(client):
    compiled, observable = build(12, [("h", q) for q in range(12)] + [("cx", q, q + 1) for q in range(11)]
                                 + [("ry", q, q % 3) for q in range(12)], 3), make_observable(TERMS)
    batch = _rows(400)
    expected = compiled.batch_value_and_gradient(batch, observable)
    pids = client.run(os.getpid)

    def busy_worker():
        busy = [w for w, tasks in client.processing().items() if tasks]
        return pids[busy[0]] if busy else None

    killer = _kill_when(busy_worker)
    result = vdask.batch_value_and_gradient(compiled, batch, observable, executor=client, chunk_rows=10)
    killer.join(timeout=60)
    assert not killer.is_alive()
    assert same(result, expected)
    client.wait_for_workers(2, timeout=120)


def test_pool_sweep_survives_a_killed_worker():
    compiled, observable = build(N, ITEMS, 3), make_observable(TERMS)
    batch = _rows(300)
    expected = compiled.batch_value_and_gradient(batch, observable)
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as ex:
        killer = _kill_when(lambda: next(iter(getattr(ex, "_processes", None) or {}), None))
        with pytest.warns(RuntimeWarning, match=r"^the executor broke \(a worker process died\); \d+ of 30 "
                                                "chunks ran in this process$"):
            result = vdask.batch_value_and_gradient(compiled, batch, observable, executor=ex, chunk_rows=10)
        killer.join(timeout=60)
    assert same(result, expected)


def test_import_leaves_dask_unloaded(isolated):
    result = isolated("""
        import sys
        import vantelo_interop.dask
        assert not {"dask", "distributed", "tqdm"} & set(sys.modules), sorted(sys.modules)
    """)
    assert result.returncode == 0, result.stderr


def test_trajectories_spread_equal_the_local_call(executor):
    from vantelo import CircuitSpec, Gate, Observable

    spec = CircuitSpec(3)
    t = spec.param()
    for q in range(3):
        spec.ry(q, t)
        spec.gate(Gate.amplitude_damping(q, 0.2))
    spec.gate(Gate.cx(0, 2))
    spec.gate(Gate.depolarizing2(1, 2, 0.3))
    plan = spec.compile()
    obs = Observable.hamiltonian([Observable.pauli_z(0), Observable.pauli_x(2, 0.5)])
    local = plan.trajectory_expectation([0.8], obs, 50, 9)
    for chunk in (1, 7, 50):
        assert vdask.trajectory_expectation(plan, [0.8], obs, 50, 9, executor=executor,
                                            chunk_trajectories=chunk) == local
