"""Distributed sweeps against the local batch call, measured in one run.

Prints, for a Dask LocalCluster and a process pool (2 workers each, each
worker's simulation threads a share of the CPUs), the time of a sweep relative
to one local batch_expectation call for several chunk sizes, and the overhead
per chunk (a sweep of a one-qubit circuit, one row per chunk). Needs
dask[distributed] (make test-dask builds .venv-dask with it).

    .venv-dask/bin/python bench/dask_sweep_bench.py [--qubits 14] [--rows 512]
"""

import argparse
import multiprocessing
import os
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
from distributed import Client, LocalCluster

import vantelo
from vantelo_interop import dask as vdask

WORKERS = 2


def layered(n, layers=4):
    builder = vantelo.CircuitSpec(n)
    params = [builder.param() for _ in range(2 * layers)]
    for layer in range(layers):
        for q in range(n):
            builder.ry(q, params[2 * layer])
            builder.rz(q, params[2 * layer + 1])
        for q in range(n - 1):
            builder.cx(q, q + 1)
    return builder.compile(), vantelo.Observable.hamiltonian(
        [vantelo.Observable.pauli_string([("Z", q), ("Z", q + 1)]) for q in range(n - 1)])


def timed(f):
    start = time.perf_counter()
    result = f()
    return time.perf_counter() - start, result


def overhead_per_chunk(executor, chunks=100):
    builder = vantelo.CircuitSpec(1)
    builder.rx(0, builder.param())
    compiled, observable = builder.compile(), vantelo.Observable.pauli_z(0)
    batch = np.zeros((chunks, 1), np.float32)
    vdask.batch_expectation(compiled, batch[:8], observable, executor=executor, chunk_rows=1)
    seconds, _ = timed(lambda: vdask.batch_expectation(compiled, batch, observable, executor=executor,
                                                       chunk_rows=1))
    return seconds / chunks


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qubits", type=int, default=14)
    parser.add_argument("--rows", type=int, default=512)
    args = parser.parse_args()
    compiled, observable = layered(args.qubits)
    batch = np.random.default_rng(1).uniform(-3, 3, (args.rows, compiled.parameter_count)).astype(np.float32)
    t_local, local = timed(lambda: compiled.batch_expectation(batch, observable))
    # Set after this process's own pool is sized by the local call; inherited
    # by the process pool's spawned workers.
    threads = str(max(1, (os.cpu_count() or 1) // WORKERS))
    os.environ["RAYON_NUM_THREADS"] = threads
    print(f"n={args.qubits}, {args.rows} rows: local batch_expectation {t_local:.2f} s "
          f"({os.cpu_count()} CPUs; {WORKERS} workers x {threads} threads)")
    print(f"{'executor':<14}{'chunk rows':>11}{'chunks':>8}{'local/sweep':>13}")
    with LocalCluster(n_workers=WORKERS, threads_per_worker=1, dashboard_address=None,
                      env={"RAYON_NUM_THREADS": threads}) as cluster, Client(cluster) as client, \
            ProcessPoolExecutor(WORKERS, mp_context=multiprocessing.get_context("spawn")) as pool:
        for name, executor in (("dask", client), ("process pool", pool)):
            vdask.batch_expectation(compiled, batch[:WORKERS], observable, executor=executor, chunk_rows=1)
            for chunk in (args.rows // 2, args.rows // 8, args.rows // 32):
                seconds, swept = timed(lambda: vdask.batch_expectation(
                    compiled, batch, observable, executor=executor, chunk_rows=chunk))
                assert swept.tobytes() == local.tobytes()
                print(f"{name:<14}{chunk:>11}{-(-args.rows // chunk):>8}{t_local / seconds:>13.2f}")
            print(f"{name:<14} overhead per chunk {overhead_per_chunk(executor) * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
