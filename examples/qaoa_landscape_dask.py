"""A QAOA landscape for MaxCut swept on a Dask cluster.

The 64 x 64 grid of (gamma, beta) for one QAOA layer on a 16-node graph is one
parameter batch of 4096 rows; vantelo_interop.dask splits it into chunks, runs
each chunk as one batch call on a worker and gathers the rows in order. The
result equals the local batch call bit for bit, which the script checks, and
both are timed. On a real cluster only the Client changes (see the README).

Needs dask[distributed]; without it the script says so and exits with 0.
matplotlib, when installed, draws the heat map to qaoa_landscape.png; otherwise
a coarse text map is printed.

    python examples/qaoa_landscape_dask.py            # 64 x 64 at n = 16
    python examples/qaoa_landscape_dask.py --quick    # 16 x 16 at n = 10
"""

import argparse
import os
import sys
import time
from typing import Any

import numpy as np
from numpy.typing import NDArray

import vantelo

try:
    from distributed import Client, LocalCluster
except ImportError:
    print("qaoa_landscape_dask: dask[distributed] is not installed "
          "(pip install 'vantelo[dask]', or pip install '.[dask]' in a clone); skipping.")
    sys.exit(0)

from vantelo_interop import dask as vdask


def maxcut_graph(n: int, seed: int = 3) -> list[tuple[int, int]]:
    """A ring plus n/2 random chords: every node has degree 2 or more."""
    rng = np.random.default_rng(seed)
    edges: set[tuple[int, int]] = {(i, (i + 1) % n) for i in range(n)}
    while len(edges) < n + n // 2:
        a, b = sorted(rng.choice(n, 2, replace=False).tolist())
        edges.add((a, b))
    return sorted((min(e), max(e)) for e in edges)


def qaoa_circuit(n: int, edges: list[tuple[int, int]]) -> vantelo.CompiledCircuit:
    """One QAOA layer; slot 0 holds 2*gamma, slot 1 holds 2*beta."""
    spec = vantelo.CircuitSpec(n)
    two_gamma, two_beta = spec.param("2gamma"), spec.param("2beta")
    for q in range(n):
        spec.h(q)
    for a, b in edges:  # exp(-i gamma Z_a Z_b)
        spec.cx(a, b)
        spec.rz(b, two_gamma)
        spec.cx(a, b)
    for q in range(n):
        spec.rx(q, two_beta)
    return spec.compile()


def cut_observable(edges: list[tuple[int, int]]) -> vantelo.Observable:
    """The cut size: sum over edges of (1 - Z_a Z_b) / 2."""
    terms = []
    for a, b in edges:
        terms.append(vantelo.Observable.pauli_string([], 0.5))
        terms.append(vantelo.Observable.pauli_string([("Z", a), ("Z", b)], -0.5))
    return vantelo.Observable.hamiltonian(terms)


def text_heat_map(values: NDArray[np.float32], gammas: NDArray[np.float32], betas: NDArray[np.float32],
                  width: int = 32) -> None:
    shades = " .:-=+*#%@"
    step = max(1, values.shape[0] // width)
    low, high = values.min(), values.max()
    print(f"expected cut, rows gamma {gammas[0]:.2f}..{gammas[-1]:.2f}, "
          f"columns beta {betas[0]:.2f}..{betas[-1]:.2f} ({low:.3f} ' ' to {high:.3f} '@')")
    for row in values[::step, ::step]:
        print("  " + "".join(shades[int((v - low) / (high - low + 1e-12) * (len(shades) - 1))] for v in row))


def draw(values: NDArray[np.float32], gammas: NDArray[np.float32], betas: NDArray[np.float32],
         path: str = "qaoa_landscape.png") -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        text_heat_map(values, gammas, betas)
        return
    fig, ax = plt.subplots(figsize=(6, 5))
    image = ax.imshow(values, origin="lower", aspect="auto",
                      extent=(betas[0], betas[-1], gammas[0], gammas[-1]))
    ax.set_xlabel("beta")
    ax.set_ylabel("gamma")
    fig.colorbar(image, label="expected cut")
    fig.savefig(path, dpi=120)
    print(f"heat map written to {path}")


def overhead_per_chunk(client: Any, chunks: int = 200) -> float:
    """Seconds per chunk of a sweep whose chunks do almost no work."""
    spec = vantelo.CircuitSpec(1)
    spec.rx(0, spec.param())
    compiled, observable = spec.compile(), vantelo.Observable.pauli_z(0)
    batch = np.zeros((chunks, 1), np.float32)
    vdask.batch_expectation(compiled, batch[:4], observable, executor=client, chunk_rows=1)  # warm
    start = time.perf_counter()
    vdask.batch_expectation(compiled, batch, observable, executor=client, chunk_rows=1)
    return (time.perf_counter() - start) / chunks


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="16 x 16 grid at n = 10")
    parser.add_argument("--grid", type=int, help="grid points per axis (default 64, 16 with --quick)")
    parser.add_argument("--qubits", type=int, help="graph nodes (default 16, 10 with --quick)")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--worker-threads", type=int,
                        help="simulation threads per worker (default: the CPUs divided among the workers)")
    args = parser.parse_args()
    grid = args.grid or (16 if args.quick else 64)
    n = args.qubits or (10 if args.quick else 16)

    edges = maxcut_graph(n)
    compiled, observable = qaoa_circuit(n, edges), cut_observable(edges)
    gammas = np.linspace(0.0, np.pi, grid, dtype=np.float32)
    betas = np.linspace(0.0, np.pi / 2, grid, dtype=np.float32)
    g, b = np.meshgrid(gammas, betas, indexing="ij")
    batch = np.stack([2 * g.ravel(), 2 * b.ravel()], axis=1).astype(np.float32)

    start = time.perf_counter()
    local = compiled.batch_expectation(batch, observable)
    t_local = time.perf_counter() - start

    # Each worker's own thread pool gets its share of this machine's cores,
    # so that the workers together use each core once.
    worker_threads = args.worker_threads or max(1, (os.cpu_count() or 1) // args.workers)
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None,
                      env={"RAYON_NUM_THREADS": str(worker_threads)}) as cluster, Client(cluster) as client:
        vdask.batch_expectation(compiled, batch[:args.workers], observable, executor=client, chunk_rows=1)
        start = time.perf_counter()
        swept = vdask.batch_expectation(compiled, batch, observable, executor=client)
        t_dask = time.perf_counter() - start
        per_chunk = overhead_per_chunk(client)

    assert swept.tobytes() == local.tobytes(), "the sweep must equal the local batch bit for bit"
    values = swept.reshape(grid, grid)
    best = np.unravel_index(np.argmax(values), values.shape)
    print(f"MaxCut QAOA p=1, n={n}, {len(edges)} edges, {grid}x{grid} = {batch.shape[0]} rows")
    print(f"best expected cut {values[best]:.4f} at gamma={gammas[best[0]]:.3f}, beta={betas[best[1]]:.3f}")
    print(f"local batch_expectation: {t_local:.2f} s; {args.workers} Dask workers x {worker_threads} "
          f"threads: {t_dask:.2f} s (local/dask = {t_local / t_dask:.2f}); "
          f"overhead per chunk {per_chunk * 1e3:.1f} ms")
    draw(values, gammas, betas)


if __name__ == "__main__":
    main()
