"""Noisy trajectories side by side (one per worker, each on its own state)
against one at a time (each spread over the pool), at each width: the
evidence for the width up to which vantelo runs them side by side.

The circuit is the noisy layered circuit of bench/peers/cirq_simulators.py:
depth 10 of random rx/ry/rz on every qubit and cx on alternating pairs, with
a depolarizing channel (p = 0.01) on every qubit after every layer;
`CompiledCircuit.trajectory_values` of Z on qubit 0. Both ways run in the
same process, alternating, so a busy machine disturbs them alike; they give
the same values bit for bit (checked). Prints the best and median wall time
and the CPU time of each, and trajectories per second.

Run with the module installed (make module), on a quiet machine, e.g.
    .venv/bin/python bench/side_by_side_bench.py --threads 2 --sizes 14,15,16,17,18,19,20
    .venv/bin/python bench/side_by_side_bench.py --threads 1 --sizes 16   # the baseline
Side by side pays where its ratio (one at a time / side by side) is above 1.
"""

import argparse
import statistics
import time

import numpy as np

import vantelo
from vantelo import CircuitSpec, Gate, Observable


def noisy_layered(n, depth=10, p=0.01, seed=5):
    rng = np.random.default_rng(seed)
    spec = CircuitSpec(n)
    for d in range(depth):
        for q in range(n):
            kind = ["rx", "ry", "rz"][int(rng.integers(3))]
            spec.gate(getattr(Gate, kind)(q, float(rng.uniform(-np.pi, np.pi))))
        for q in range(d % 2, n - 1, 2):
            spec.gate(Gate.cx(q, q + 1))
        for q in range(n):
            spec.gate(Gate.depolarizing(q, p))
    return spec.compile()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--sizes", default="14,15,16,17,18,19,20")
    parser.add_argument("--trajectories", type=int, default=32)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    vantelo.set_num_threads(args.threads)
    default = vantelo._set_side_by_side_qubits(0)
    # Width limits that force each way at every size here.
    ways = {"one at a time": 0, "side by side": 64}
    obs = Observable.pauli_z(0)
    print(f"{args.threads} thread(s), {args.trajectories} trajectories per call, best of {args.repeats}; "
          f"side by side by default up to {default} qubits")
    print("| n | one at a time: best / median / CPU | side by side: best / median / CPU | "
          "trajectories/s (side by side) | ratio (best) |")
    print("|---|---|---|---|---|")
    for n in [int(s) for s in args.sizes.split(",")]:
        plan = noisy_layered(n)
        walls = {way: [] for way in ways}
        cpus = {way: [] for way in ways}
        values = {}
        for r in range(args.repeats + 1):
            order = list(ways) if r % 2 == 0 else list(ways)[::-1]
            for way in order:
                vantelo._set_side_by_side_qubits(ways[way])
                cpu, wall = time.process_time(), time.perf_counter()
                got = plan.trajectory_values([], obs, args.trajectories, seed=7)
                wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
                values[way] = got.tobytes()
                if r > 0:  # the first round warms up
                    walls[way].append(wall)
                    cpus[way].append(cpu)
        if len(set(values.values())) != 1:
            raise SystemExit(f"DISAGREEMENT at n={n}: the two ways gave different values")
        cells = [f"{min(walls[w]) * 1e3:.1f} / {statistics.median(walls[w]) * 1e3:.1f} / "
                 f"{min(cpus[w]) * 1e3:.1f} ms" for w in ways]
        side = min(walls["side by side"])
        print(f"| {n} | {cells[0]} | {cells[1]} | {args.trajectories / side:.0f} | "
              f"{min(walls['one at a time']) / side:.2f} |", flush=True)
    vantelo._set_side_by_side_qubits(default)


if __name__ == "__main__":
    main()
