"""Accurate sums: the error of QAOA values and adjoint gradients against a
double-precision simulation, with sums="float32" (the default) and
sums="float64", and the cost of float64 sums over the default.

QAOA for MaxCut, p = 4 layers, on a random 3-regular graph (the graph,
circuit and angles of bench/peers/run.py's QAOA rows); the cost function is
C = sum over edges of 0.5 * (1 - Z_i Z_j), so the value is about 2/3 of the
edge count. The reference is a complex128 NumPy simulation of the same
circuit from the float32 angles; its gradient is a fourth-order central
difference (step 1e-3), whose truncation error is far below the figures
measured. Relative errors: |value - ref| / |ref| and
max_k |grad_k - ref_k| / max_k |ref_k|; the state's norm squared shows the
drift that float64 sums divide out.

Run with the module installed (make module), on a quiet machine for the
timing columns, e.g.
    .venv/bin/python bench/accurate_sums.py --sizes 20,22 --threads 1
    .venv/bin/python bench/accurate_sums.py --sizes 20,22 --threads 2 --no-error
The error figures do not depend on the machine or the thread count.
"""

import argparse
import os
import statistics
import sys
import time

import numpy as np

import vantelo
from vantelo import CircuitSpec, Observable

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "peers"))
from adapters import qaoa_items  # noqa: E402
from run import QAOA_LAYERS, regular_graph  # noqa: E402


def compiled(n, edges, layers, sums):
    spec = CircuitSpec(n)
    angles = [spec.param() for _ in range(2 * layers)]
    for item in qaoa_items(n, edges, layers):
        if item[0] == "h":
            spec.h(item[1])
        elif item[0] == "cx":
            spec.cx(item[1], item[2])
        else:
            getattr(spec, item[0])(item[1], angles[item[2]])
    return spec.compile(sums=sums)


def cost_observable(edges):
    terms = [Observable.pauli_string([], 0.5 * len(edges))]
    terms += [Observable.pauli_string([("Z", i), ("Z", j)], -0.5) for i, j in edges]
    return Observable.hamiltonian(terms)


class Reference:
    """The circuit in complex128: each cost layer is one diagonal phase
    (cx, rz(gamma), cx on an edge is exp(-i gamma/2 Z_i Z_j)), each mixer
    layer an rx on every qubit."""

    def __init__(self, n, edges, layers):
        self.n, self.layers = n, layers
        idx = np.arange(1 << n, dtype=np.int64)
        zz = np.zeros(1 << n, dtype=np.float64)
        for i, j in edges:
            zz += 1.0 - 2.0 * (((idx >> i) ^ (idx >> j)) & 1)
        self.zz = zz
        self.offset = 0.5 * len(edges)

    def value(self, params):
        n = self.n
        psi = np.full(1 << n, 2.0 ** (-n / 2), dtype=np.complex128)
        for layer in range(self.layers):
            gamma, beta = float(params[2 * layer]), float(params[2 * layer + 1])
            psi *= np.exp(-0.5j * gamma * self.zz)
            c, s = np.cos(beta / 2), np.sin(beta / 2)
            for q in range(n):
                v = psi.reshape(-1, 2, 1 << q)
                a, b = v[:, 0, :].copy(), v[:, 1, :].copy()
                v[:, 0, :] = c * a - 1j * s * b
                v[:, 1, :] = c * b - 1j * s * a
        probs = np.abs(psi) ** 2
        return self.offset - 0.5 * float(np.dot(probs, self.zz))

    def gradient(self, params, h=1e-3):
        params = np.asarray(params, dtype=np.float64)
        grad = np.empty(len(params))
        for k in range(len(params)):
            def at(d):
                shifted = params.copy()
                shifted[k] += d
                return self.value(shifted)
            grad[k] = (8 * (at(h) - at(-h)) - (at(2 * h) - at(-2 * h))) / (12 * h)
        return grad


def median_time(fn, repeats):
    # CPU time of the whole process (every pool thread): what the option
    # costs, and steadier than the wall clock on a shared machine.
    fn()
    times = []
    for _ in range(repeats):
        start = time.process_time()
        fn()
        times.append(time.process_time() - start)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="20,22")
    ap.add_argument("--threads", type=int, default=1, help="pool size for the timing")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--no-timing", action="store_true")
    ap.add_argument("--no-error", action="store_true", help="timing only (no complex128 reference)")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    vantelo.set_num_threads(args.threads)

    print(f"QAOA p = {QAOA_LAYERS}, 3-regular graph, C = sum 0.5 (1 - ZZ); errors against complex128")
    print("| n | sums | norm squared - 1 | value | rel. error of value | rel. error of adjoint gradient |"
          " rel. error of parameter-shift gradient |")
    print("|---|---|---|---|---|---|---|")
    timing = []
    for n in sizes:
        edges = regular_graph(n)
        params = np.random.default_rng(4).uniform(-1, 1, 2 * QAOA_LAYERS).astype(np.float32)
        obs = cost_observable(edges)
        plans = {sums: compiled(n, edges, QAOA_LAYERS, sums) for sums in ("float32", "float64")}
        timing.append((n, params, obs, plans))
        if args.no_error:
            continue
        ref = Reference(n, edges, QAOA_LAYERS)
        ref_value, ref_grad = ref.value(params), ref.gradient(params)
        scale = np.max(np.abs(ref_grad))
        # The sums never change the state; its norm drifts by rounding.
        psi = plans["float32"].statevector(params).astype(np.complex128)
        drift = float(np.vdot(psi, psi).real) - 1.0
        for sums, plan in plans.items():
            value, grad = plan.adjoint_value_and_gradient(params, obs)
            _, shift = plan.value_and_gradient(params, obs)
            print(f"| {n} | {sums} | {drift:.1e} | {value:.6f} | {abs(value - ref_value) / abs(ref_value):.1e} | "
                  f"{np.max(np.abs(np.asarray(grad, np.float64) - ref_grad)) / scale:.1e} | "
                  f"{np.max(np.abs(np.asarray(shift, np.float64) - ref_grad)) / scale:.1e} |")

    if args.no_timing:
        return
    print()
    print("Cost of float64 sums (medians of CPU time, same process, interleaved):")
    print("| n | threads | call | float32 CPU s | float64 CPU s | float64 / float32 |")
    print("|---|---|---|---|---|---|")
    for n, params, obs, plans in timing:
        for k in [args.threads]:
            calls = {"expectation": lambda p: p.expectation(params, obs),
                     "adjoint value and gradient": lambda p: p.adjoint_value_and_gradient(params, obs)}
            for name, call in calls.items():
                t = {s: [] for s in plans}
                for _ in range(args.repeats):
                    for s, plan in plans.items():
                        t[s].append(median_time(lambda: call(plan), 1))
                a, b = statistics.median(t["float32"]), statistics.median(t["float64"])
                print(f"| {n} | {k} | {name} | {a:.4f} | {b:.4f} | {b / a:.3f} |")


if __name__ == "__main__":
    main()
