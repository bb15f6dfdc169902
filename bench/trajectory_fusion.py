"""fusion=k on noisy trajectories: the error and speed of fused trajectories
against exact ones (fusion=0), on the noise workload of bench/peers/noise.py
(a depth-20 layered circuit with a channel on every qubit after every
layer: depolarizing p = 0.001 or amplitude damping gamma = 0.005).

Error: for each trajectory t, ||psi_fused(t) - psi_exact(t)||_2 of the final
states of Circuit.run_trajectory(n, seed, t); the table gives the largest
over the trajectories, and the difference of the trajectory means of
<Z_0> from trajectory_expectation. A draw that needs a norm reads
probabilities from the state, so rounding could in principle send a fused
trajectory down another branch; "diverged" counts trajectories whose state
difference exceeds 1e-3.

Speed: time per trajectory of trajectory_expectation (fused and exact), each
against the noiseless circuit on the same path (a plan's expectation), in
one process, least of --repeats runs. Fused against noiseless fused
includes the planning of every new pattern of draws.

Run with the module installed (make module), on a quiet machine, e.g.
    .venv/bin/python bench/trajectory_fusion.py --sizes 12,16,20 --fusion 2,3,4,5
    .venv/bin/python bench/trajectory_fusion.py --sizes 20 --no-error --cpu-time  # busy machine
"""

import argparse
import os
import sys
import time

import numpy as np

import vantelo
from vantelo import Circuit, CircuitSpec, Observable

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "peers"))
from noise import STRENGTH, is_channel, noisy, vantelo_gate  # noqa: E402

CLOCK = [time.perf_counter]


def best(fn, repeats):
    out = float("inf")
    for _ in range(repeats):
        start = CLOCK[0]()
        fn()
        out = min(out, CLOCK[0]() - start)
    return out


def plan(n, gates, k):
    spec = CircuitSpec(n)
    for g in gates:
        spec.gate(g)
    return spec.compile(fusion=k)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="12,16,20")
    parser.add_argument("--fusion", default="2,3,4,5")
    parser.add_argument("--trajectories", type=int, default=20, help="per timed call")
    parser.add_argument("--error-trajectories", type=int, default=50)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--no-error", action="store_true")
    parser.add_argument("--no-time", action="store_true")
    parser.add_argument("--cpu-time", action="store_true", help="process CPU time (one thread)")
    args = parser.parse_args()
    if args.cpu_time:
        CLOCK[0] = time.process_time
    vantelo.set_num_threads(args.threads)
    obs = Observable.pauli_z(0)
    ks = [int(k) for k in args.fusion.split(",")]
    print("| channel | n | k | max ‖Δψ‖ | diverged | Δ mean ⟨Z0⟩ | exact noisy/noiseless "
          "| fused noisy/noiseless | fused/exact noisy |")
    print("|---|---|---|---|---|---|---|---|---|")
    for channel in ("depolarizing", "amplitude_damping"):
        for n in (int(s) for s in args.sizes.split(",")):
            items = noisy(n, 20, channel, STRENGTH[channel])
            gates = [vantelo_gate(g) for g in items]
            clean = [vantelo_gate(g) for g in items if not is_channel(g)]
            T = args.trajectories
            exact, exact_clean = plan(n, gates, 0), plan(n, clean, 0)
            if not args.no_time:
                t_exact = best(lambda: exact.trajectory_expectation([], obs, T, seed=1), args.repeats)
                t_clean = best(lambda: [exact_clean.expectation([], obs) for _ in range(T)], args.repeats)
            for k in ks:
                cells = [channel, str(n), str(k)]
                if not args.no_error:
                    a, b = Circuit(gates), Circuit(gates, fusion=k)
                    E = args.error_trajectories
                    d = [float(np.linalg.norm(a.run_trajectory(n, 1, t)[0].astype(np.complex128)
                                              - b.run_trajectory(n, 1, t)[0])) for t in range(E)]
                    m0 = exact.trajectory_expectation([], obs, E, seed=1)[0]
                    m1 = plan(n, gates, k).trajectory_expectation([], obs, E, seed=1)[0]
                    cells += [f"{max(d):.1e}", str(sum(x > 1e-3 for x in d)), f"{abs(m1 - m0):.1e}"]
                else:
                    cells += ["", "", ""]
                if not args.no_time:
                    fused, fused_clean = plan(n, gates, k), plan(n, clean, k)
                    t_fused = best(lambda: fused.trajectory_expectation([], obs, T, seed=1), args.repeats)
                    t_fclean = best(lambda: [fused_clean.expectation([], obs) for _ in range(T)], args.repeats)
                    cells += [f"{t_exact / t_clean:.2f}x", f"{t_fused / t_fclean:.2f}x", f"{t_fused / t_exact:.2f}x"]
                else:
                    cells += ["", "", ""]
                print("| " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
