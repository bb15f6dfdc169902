"""Parameter sweeps of a compiled circuit over many processes or machines.

Each function splits the rows of a parameter batch into chunks, runs every
chunk on a worker as one batch call of the compiled circuit (which uses all of
that worker's cores), and gathers the chunks in row order. Every row is
computed exactly as the local batch call computes it, so the result equals the
local call bit for bit.

``executor`` is a ``dask.distributed.Client`` or any
``concurrent.futures.Executor`` (``ProcessPoolExecutor``,
``Client.get_executor()``, ``mpi4py.futures.MPIPoolExecutor``):

- The circuit and the observable travel with each chunk as their
  few-kilobyte pickled form, and each worker process rebuilds them once,
  keyed by their digest. Nothing is kept on a worker that another chunk
  needs, so a worker that dies takes only its own chunks with it (data
  scattered to workers would be lost with them, and Dask's memory manager
  keeps no spare copies; a shared task's result would stall the other
  workers while they try to fetch it from the dead one).
- With a Dask client, chunks whose worker dies are rerun on another worker,
  and ``retries`` more attempts are allowed for chunks that fail.
- With any other executor, if the pool breaks (a worker process died), the
  chunks it did not finish run in this process and a ``RuntimeWarning`` says
  so.

Errors raised on a worker come back as the original exception, or, where the
original cannot travel (``vantelo.InternalFault``, which derives from
``BaseException`` and cannot be pickled, or any exception that cannot be
pickled), as a `WorkerFault` with the original message. A circuit wider than
31 qubits is refused before anything is sent, as a local call on rows would
fail. Dask itself is imported only when a Dask client is passed.
"""

from __future__ import annotations

import concurrent.futures as cf
import hashlib
import math
import os
import pickle
import sys
import warnings
from typing import Any, Callable

import numpy as np
from numpy.typing import ArrayLike, NDArray

import vantelo

from ._width import check_width

# The executor: a concurrent.futures.Executor or a dask.distributed.Client
# (Dask is optional, so its type cannot be named here).
Executor = Any
_Parts = list[Any]

__all__ = ["WorkerFault", "batch_expectation", "batch_value_and_gradient", "batch_adjoint_value_and_gradient",
           "trajectory_expectation"]

# Chunks per worker when chunk_rows is not given: enough to balance uneven
# workers, few enough that the per-chunk overhead stays small.
_CHUNKS_PER_WORKER = 4

# Worker-side cache of rebuilt (circuit, observable) pairs, keyed by the
# digest of their pickled form. Lives as long as the worker process.
_REBUILT: dict[str, tuple[Any, Any]] = {}
_REBUILT_LIMIT = 8


def batch_expectation(compiled: vantelo.CompiledCircuit, batch: ArrayLike, observable: vantelo.Observable, *,
                      executor: Executor = None, chunk_rows: int | None = None,
                      progress: bool | None = None, retries: int = 1) -> NDArray[np.float32]:
    """``compiled.batch_expectation(batch, observable)``, one chunk of rows per task.

    Args:
        compiled: the circuit; it is pickled once and rebuilt on each worker.
        batch: one row of parameters per evaluation, shape ``(rows, P)``.
        observable: the observable, sent along with the circuit.
        executor: a ``dask.distributed.Client`` or a
            ``concurrent.futures.Executor``; ``None`` takes the current Dask
            client (``ValueError`` when there is none, ``TypeError`` when
            Dask is not installed).
        chunk_rows: rows per task; ``None`` gives four chunks per worker.
            Choose chunks that take seconds: each costs a round trip.
        progress: a ``tqdm`` progress bar over the rows; ``None`` shows one
            only when standard error is a terminal.
        retries: further attempts for a chunk that fails (Dask only).

    Returns:
        The ``float32`` values, one per row, bit for bit those of the local
        call.
    """
    values: NDArray[np.float32] = _sweep("batch_expectation", compiled, batch, observable, executor, chunk_rows,
                                         progress, retries)
    return values


def batch_value_and_gradient(compiled: vantelo.CompiledCircuit, batch: ArrayLike, observable: vantelo.Observable,
                             *, executor: Executor = None,
                             chunk_rows: int | None = None, progress: bool | None = None,
                             retries: int = 1) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
    """``compiled.batch_value_and_gradient(batch, observable)``, one chunk of rows per task.

    Args:
        compiled: the circuit; it is pickled once and rebuilt on each worker.
        batch: one row of parameters per evaluation, shape ``(rows, P)``.
        observable: the observable, sent along with the circuit.
        executor: a ``dask.distributed.Client`` or a
            ``concurrent.futures.Executor``; ``None`` takes the current Dask
            client (``ValueError`` when there is none, ``TypeError`` when
            Dask is not installed).
        chunk_rows: rows per task; ``None`` gives four chunks per worker.
            Choose chunks that take seconds: each costs a round trip.
        progress: a ``tqdm`` progress bar over the rows; ``None`` shows one
            only when standard error is a terminal.
        retries: further attempts for a chunk that fails (Dask only).

    Returns:
        ``(values, gradients)``: ``float32`` arrays of shapes ``(rows,)`` and
        ``(rows, P)``, bit for bit those of the local call.
    """
    pair: tuple[NDArray[np.float32], NDArray[np.float32]] = _sweep(
        "batch_value_and_gradient", compiled, batch, observable, executor, chunk_rows, progress, retries)
    return pair


def batch_adjoint_value_and_gradient(compiled: vantelo.CompiledCircuit, batch: ArrayLike,
                                     observable: vantelo.Observable, *, executor: Executor = None,
                                     chunk_rows: int | None = None, progress: bool | None = None,
                                     retries: int = 1) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
    """``compiled.batch_adjoint_value_and_gradient(batch, observable)``, one chunk of rows per task.

    Takes the same arguments as `batch_value_and_gradient` and returns the
    same shapes, with adjoint gradients.

    Raises:
        AttributeError: the installed module has no adjoint batch method.
    """
    if not hasattr(compiled, "batch_adjoint_value_and_gradient"):
        raise AttributeError("this build of vantelo has no CompiledCircuit.batch_adjoint_value_and_gradient")
    pair: tuple[NDArray[np.float32], NDArray[np.float32]] = _sweep(
        "batch_adjoint_value_and_gradient", compiled, batch, observable, executor, chunk_rows, progress, retries)
    return pair


class WorkerFault(RuntimeError):
    """A chunk's failure on a worker that could not travel back as itself.

    ``vantelo.InternalFault`` derives from ``BaseException``, which Dask does
    not deliver (the sweep would wait forever), and it cannot be pickled
    (a process pool reports a ``PicklingError`` instead); exceptions that
    cannot be pickled have the second problem. Such a failure is raised on
    the worker as this exception instead: its message is the original's, and
    ``kind`` names the original type, such as ``"vantelo.InternalFault"``.
    """

    def __init__(self, message: str, kind: str) -> None:
        super().__init__(message, kind)

    def __str__(self) -> str:
        return str(self.args[0])

    @property
    def kind(self) -> str:
        return str(self.args[1])


def _travels(error: BaseException) -> bool:
    """Whether the executor can deliver the error to the caller as itself."""
    if not isinstance(error, Exception):
        return isinstance(error, (KeyboardInterrupt, SystemExit))
    try:
        pickle.loads(pickle.dumps(error))
    except Exception:
        return False
    return True


def _call_on_worker(call: Callable[..., Any], chunk: NDArray[np.float32], observable: Any) -> Any:
    try:
        return call(chunk, observable)
    except BaseException as error:
        if _travels(error):
            raise
        kind = f"{type(error).__module__}.{type(error).__qualname__}"
        raise WorkerFault(str(error), kind) from None


# Worker side ------------------------------------------------------------------

def _rebuilt(key: str, blob: bytes) -> tuple[Any, Any]:
    """The (circuit, observable) pair, rebuilt once per worker process."""
    pair = _REBUILT.get(key)
    if pair is None:
        if len(_REBUILT) >= _REBUILT_LIMIT:
            _REBUILT.clear()
        pair = _REBUILT[key] = pickle.loads(blob)
    return pair


def _run_chunk_from_bytes(method: str, key: str, blob: bytes, chunk: NDArray[np.float32]) -> Any:
    """One chunk on a worker."""
    pair = _rebuilt(key, blob)
    return _call_on_worker(getattr(pair[0], method), chunk, pair[1])


def _pickled(compiled: vantelo.CompiledCircuit, observable: vantelo.Observable) -> tuple[str, bytes]:
    """The pair's pickled form and its digest, the key of its rebuilt copies."""
    blob = pickle.dumps((compiled, observable), protocol=pickle.HIGHEST_PROTOCOL)
    return hashlib.sha256(blob).hexdigest(), blob


# Client side ------------------------------------------------------------------

def _is_dask_client(executor: Executor) -> bool:
    distributed = sys.modules.get("distributed")
    return distributed is not None and isinstance(executor, distributed.Client)


def _default_executor() -> Executor:
    try:
        from distributed import get_client
    except ImportError:
        raise TypeError("executor is required: pass a concurrent.futures.Executor or a "
                        "dask.distributed.Client") from None
    try:
        return get_client()
    except ValueError:
        raise ValueError("executor was not given and there is no current Dask client") from None


def _worker_count(executor: Executor) -> int:
    if _is_dask_client(executor):
        return max(1, len(executor.nthreads()))
    return max(1, int(getattr(executor, "_max_workers", 0) or os.cpu_count() or 1))


def _chunk_bounds(rows: int, chunk_rows: int) -> list[tuple[int, int]]:
    return [(start, min(start + chunk_rows, rows)) for start in range(0, rows, chunk_rows)]


def _progress_bar(enabled: bool | None, total: int) -> Any:
    """A tqdm bar, or None. By default only on an interactive terminal."""
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        if enabled is True and sys.stderr.isatty():
            warnings.warn("progress=True needs tqdm; install it to see a progress bar", RuntimeWarning,
                          stacklevel=4)
        return None
    return tqdm(total=total, unit="row", desc="vantelo sweep")


def _join(method: str, parts: _Parts) -> Any:
    if method == "batch_expectation":
        return np.concatenate(parts)
    values, grads = zip(*parts)
    return np.concatenate(values), np.concatenate(grads)


def _sweep(method: str, compiled: vantelo.CompiledCircuit, batch: ArrayLike, observable: vantelo.Observable,
           executor: Executor, chunk_rows: int | None, progress: bool | None, retries: int) -> Any:
    call: Callable[..., Any] = getattr(compiled, method)
    if retries < 0:
        raise ValueError("retries must be 0 or greater")
    if chunk_rows is not None and chunk_rows < 1:
        raise ValueError("chunk_rows must be at least 1")
    # The local call's own conversion, done once here, so that the chunks
    # are the rows it would have used.
    try:
        array = np.ascontiguousarray(batch, dtype=np.float32)
    except (TypeError, ValueError):
        return call(batch, observable)  # raises the local call's error
    if array.ndim != 2:
        return call(array, observable)  # likewise
    # The local call on no rows checks dimensions, type and width, with its
    # own messages, before anything is sent; it allocates no state, so the
    # register's width is checked here.
    empty = call(array[:0], observable)
    check_width(compiled.num_qubits)
    rows = array.shape[0]
    if rows == 0:
        return empty
    if executor is None:
        executor = _default_executor()
    if chunk_rows is None:
        chunk_rows = max(1, math.ceil(rows / (_CHUNKS_PER_WORKER * _worker_count(executor))))
    bounds = _chunk_bounds(rows, chunk_rows)
    bar = _progress_bar(progress, rows)
    try:
        if _is_dask_client(executor):
            parts = _sweep_dask(executor, method, compiled, observable, array, bounds, bar, retries)
        else:
            parts = _sweep_executor(executor, method, compiled, observable, array, bounds, bar, retries)
    finally:
        if bar is not None:
            bar.close()
    return _join(method, parts)


def _sweep_dask(client: Any, method: str, compiled: vantelo.CompiledCircuit, observable: vantelo.Observable,
                array: NDArray[np.float32], bounds: list[tuple[int, int]], bar: Any, retries: int) -> _Parts:
    from distributed import as_completed

    key, blob = _pickled(compiled, observable)
    futures = [client.submit(_run_chunk_from_bytes, method, key, blob, array[a:b], pure=False, retries=retries)
               for a, b in bounds]
    index = {future: i for i, future in enumerate(futures)}
    try:
        for future in as_completed(futures):
            if future.status == "error":
                future.result()  # raises the worker's exception
            if bar is not None:
                a, b = bounds[index[future]]
                bar.update(b - a)
        parts: _Parts = client.gather(futures)
        return parts
    finally:
        client.cancel(futures)


def _sweep_executor(executor: cf.Executor, method: str, compiled: vantelo.CompiledCircuit,
                    observable: vantelo.Observable, array: NDArray[np.float32], bounds: list[tuple[int, int]],
                    bar: Any, retries: int) -> _Parts:
    key, blob = _pickled(compiled, observable)
    parts: _Parts = [None] * len(bounds)
    attempts = [0] * len(bounds)
    pending: dict[cf.Future[Any], int] = {}

    def submit(index: int) -> bool:
        a, b = bounds[index]
        try:
            pending[executor.submit(_run_chunk_from_bytes, method, key, blob, array[a:b])] = index
            return True
        except cf.BrokenExecutor:
            return False

    broken = not all(submit(i) for i in range(len(bounds)))
    while pending and not broken:
        done, _ = cf.wait(pending, return_when=cf.FIRST_COMPLETED)
        for future in done:
            index = pending.pop(future)
            error = future.exception()
            if error is None:
                parts[index] = future.result()
                if bar is not None:
                    bar.update(bounds[index][1] - bounds[index][0])
            elif isinstance(error, cf.BrokenExecutor):
                broken = True
            elif attempts[index] < retries and _is_transient(error):
                attempts[index] += 1
                broken = broken or not submit(index)
            else:
                for other in pending:
                    other.cancel()
                raise error
    if broken:
        for future in pending:
            future.cancel()
        # A broken pool accepts no more work; what it did not finish runs here.
        missing = [i for i, part in enumerate(parts) if part is None]
        warnings.warn(f"the executor broke (a worker process died); {len(missing)} of {len(bounds)} "
                      "chunks ran in this process", RuntimeWarning, stacklevel=4)
        call = getattr(compiled, method)
        for index in missing:
            a, b = bounds[index]
            parts[index] = call(array[a:b], observable)
            if bar is not None:
                bar.update(b - a)
    return parts


def _is_transient(error: BaseException) -> bool:
    """Failures of the transport or the worker, not of the computation: worth a retry."""
    return isinstance(error, (OSError, EOFError, cf.CancelledError, cf.TimeoutError))


# Trajectories -----------------------------------------------------------------

def trajectory_expectation(compiled: vantelo.CompiledCircuit, params: ArrayLike, observable: vantelo.Observable,
                           trajectories: int, seed: int, *, executor: Executor = None,
                           chunk_trajectories: int | None = None) -> tuple[float, float]:
    """``compiled.trajectory_expectation(params, observable, trajectories, seed)``
    with the trajectories spread over the executor's workers.

    Each task returns the values of one range of trajectories
    (``trajectory_values``); the ranges are joined in trajectory order and
    summed as the local call sums them, so the mean and its standard error
    equal the local call's bit for bit, however the range is split.
    """
    trajectories = int(trajectories)
    if trajectories < 1:
        raise ValueError("the trajectory count must be at least 1")
    if chunk_trajectories is not None and chunk_trajectories < 1:
        raise ValueError("chunk_trajectories must be at least 1")
    values = np.ascontiguousarray(params, dtype=np.float32)
    compiled.trajectory_values(values, observable, 1, seed)  # the local checks, before anything is sent
    if executor is None:
        executor = _default_executor()
    if chunk_trajectories is None:
        chunk_trajectories = max(1, math.ceil(trajectories / (_CHUNKS_PER_WORKER * _worker_count(executor))))
    bounds = _chunk_bounds(trajectories, chunk_trajectories)
    key, blob = _pickled(compiled, observable)
    if _is_dask_client(executor):
        futures = [executor.submit(_trajectory_chunk, key, blob, values, a, b - a, seed, pure=False)
                   for a, b in bounds]
        try:
            parts = executor.gather(futures)
        finally:
            executor.cancel(futures)
    else:
        futures = [executor.submit(_trajectory_chunk, key, blob, values, a, b - a, seed) for a, b in bounds]
        parts = [f.result() for f in futures]
    return trajectory_mean(np.concatenate(parts))


def trajectory_mean(values: NDArray[np.float32]) -> tuple[float, float]:
    """Mean and standard error of per-trajectory values, with the arithmetic of
    ``CompiledCircuit.trajectory_expectation``: double-precision sums in order."""
    total = 0.0
    for v in values.tolist():
        total += v
    mean = total / len(values)
    if len(values) < 2:
        return mean, 0.0
    squares = 0.0
    for v in values.tolist():
        squares += (v - mean) * (v - mean)
    t = float(len(values))
    return mean, math.sqrt(squares / (t * (t - 1.0)))


def _trajectory_chunk(key: str, blob: bytes, params: NDArray[np.float32], first: int, count: int,
                      seed: int) -> NDArray[np.float32]:
    compiled, observable = _rebuilt(key, blob)
    values: NDArray[np.float32] = compiled.trajectory_values(params, observable, count, seed, first)
    return values
