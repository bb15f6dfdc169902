"""fusion=k: the state error against a complex128 simulation and the run time
against the exact path (fusion=0), on quantum-volume circuits (depth n,
random SU(4) gates on random pairs), random layered circuits (depth 20) and
the QFT (the layered and QFT circuits of bench/peers/run.py).

Error: ||psi - psi_ref||_2 for the final state, where psi_ref applies the same
gates (the complex64 matrices of the unitaries, the float32 angles of the
rotations) in complex128. Time: median of --repeats runs of Circuit.run after
a warm-up, with the passes over the state of each run.

Run with the module installed (make module), on a quiet machine for the
timing columns, e.g.
    .venv/bin/python bench/fusion_bench.py --sizes 8,12,16,20,24
    .venv/bin/python bench/fusion_bench.py --sizes 20,24 --no-error   # timing only
    .venv/bin/python bench/fusion_bench.py --sizes 20 --no-error --cpu-time --repeats 7  # busy machine
The reference needs 16 * 2^n bytes; 24 qubits take about 1 GiB and minutes.
"""

import argparse
import math
import os
import statistics
import sys
import time

import numpy as np

import vantelo
from vantelo import Circuit, Gate

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "peers"))
from run import layered, qft  # noqa: E402

X = np.array([[0, 1], [1, 0]], dtype=np.complex128)
SWAP = np.eye(4, dtype=np.complex128)[[0, 2, 1, 3]]


def quantum_volume(n, seed):
    """(gate, matrix, qubits): depth n of random SU(4) on a random pairing."""
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(n):
        perm = rng.permutation(n)
        for i in range(0, n - 1, 2):
            q, r = np.linalg.qr(rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4)))
            m = (q * (np.diag(r) / abs(np.diag(r)))).astype(np.complex64)
            qs = [int(perm[i]), int(perm[i + 1])]
            out.append((Gate.unitary(qs, m), m.astype(np.complex128), qs))
    return out


def with_matrices(gates):
    """The peers' gate tuples as (gate, complex128 matrix, qubits)."""
    out = []
    for g in gates:
        name = g[0]
        if name == "h":
            out.append((Gate.h(g[1]), np.array([[1, 1], [1, -1]]) / math.sqrt(2), [g[1]]))
        elif name == "cx":
            out.append((Gate.cx(g[1], g[2]), np.block([[np.eye(2), 0 * X], [0 * X, X]]), [g[1], g[2]]))
        elif name == "swap":
            out.append((Gate.swap(g[1], g[2]), SWAP, [g[1], g[2]]))
        else:
            t = float(np.float32(g[-1]))
            c, s = math.cos(t / 2), math.sin(t / 2)
            m = {"rx": np.array([[c, -1j * s], [-1j * s, c]]), "ry": np.array([[c, -s], [s, c]]),
                 "rz": np.diag([np.exp(-0.5j * t), np.exp(0.5j * t)]),
                 "cp": np.diag([1, 1, 1, np.exp(1j * t)])}[name]
            qubits = [g[1], g[2]] if name == "cp" else [g[1]]
            gate = Gate.cp(g[1], g[2], g[3]) if name == "cp" else getattr(Gate, name)(g[1], g[2])
            out.append((gate, m, qubits))
    return out


def reference(n, items):
    psi = np.zeros(1 << n, dtype=np.complex128)
    psi[0] = 1
    for _, m, qubits in items:
        k = len(qubits)
        t = psi.reshape([2] * n)
        axes = [n - 1 - q for q in qubits]
        t = np.moveaxis(t, axes, list(range(k)))
        shape = t.shape
        t = (m @ t.reshape(1 << k, -1)).reshape(shape)
        psi = np.moveaxis(t, list(range(k)), axes).reshape(-1)
    return psi


def median_time(fn, repeats, cpu=False):
    """Median wall time, or with cpu the least CPU time of this process
    (steadier on a shared machine; one thread only)."""
    fn()
    clock = time.process_time if cpu else time.perf_counter
    times = []
    for _ in range(repeats):
        start = clock()
        fn()
        times.append(clock() - start)
    return min(times) if cpu else statistics.median(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="8,12,16")
    ap.add_argument("--fusion", default="0,2,3,4,5")
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--no-error", action="store_true")
    ap.add_argument("--no-timing", action="store_true")
    ap.add_argument("--cpu-time", action="store_true",
                    help="least CPU time of the repeats instead of the median wall time (one thread)")
    args = ap.parse_args()
    vantelo.set_num_threads(args.threads)
    ks = [int(k) for k in args.fusion.split(",")]
    print(f"threads {args.threads}; error ||psi - psi_ref||_2 against complex128; time in ms (passes)")
    print("| circuit | n | gates | " + " | ".join(f"fusion={k}" for k in ks) + " |")
    print("|---|---|---|" + "---|" * len(ks))
    for n in [int(s) for s in args.sizes.split(",")]:
        circuits = [("qv", quantum_volume(n, seed=n)), ("layered-20", with_matrices(layered(n, 20, seed=n))),
                    ("qft", with_matrices(qft(n)))]
        for name, items in circuits:
            ref = None if args.no_error else reference(n, items)
            cells = []
            for k in ks:
                circuit = Circuit([g for g, _, _ in items], fusion=k)
                cell = []
                if ref is not None:
                    cell.append(f"{np.linalg.norm(circuit.run(n) - ref):.1e}")
                if not args.no_timing:
                    cell.append(f"{1e3 * median_time(lambda: circuit.run(n), args.repeats, args.cpu_time):.3g} ms "
                                f"({circuit._passes(n)})")
                cells.append(", ".join(cell))
            print(f"| {name} | {n} | {len(items)} | " + " | ".join(cells) + " |")
            del ref


if __name__ == "__main__":
    main()
