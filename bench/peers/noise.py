"""Noisy circuits: vantelo's seeded trajectories against qsim's trajectory
simulator and Qiskit Aer (statevector shots, and its density matrix for the
shot table), all in one invocation on one machine.

Run inside bench/.venv-peers (make bench-peers installs the peers), e.g.
    bench/.venv-peers/bin/python bench/peers/noise.py [--quick]
Peers that are not installed are left out. Writes bench/results/noise.md.

Tables:
1. Trajectories per second: a depth-20 random circuit (run.py's layered
   circuit) with a channel on every qubit after every layer, depolarizing
   (p = 1e-3) or amplitude damping (gamma = 5e-3), at n = 20 and 24 on 1 and 2
   threads. vantelo runs `trajectory_expectation` (every trajectory its own
   run, no shared runs); qsim runs `QSimSimulator.run` with one repetition per
   trajectory; Aer runs `method="statevector"` shots (each a trajectory).
   The cost of a noisy trajectory against a noiseless run of the same
   circuit is vantelo's own ratio.
2. 10,000 noisy shots of the 14-qubit circuit: vantelo's
   `sample_trajectories` (shots with equal mixture draws share a run)
   against each peer's best method: qsim trajectories, Aer statevector and
   Aer density matrix.
Every peer's per-qubit marginals are checked against vantelo's (within six
standard deviations) before anything is timed; a disagreement stops the run.
"""

import argparse
import multiprocessing
import os
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

from run import layered  # noqa: E402  (the peers benchmark's random circuit)

DEPOLARIZING = 1e-3
DAMPING = 5e-3


def noisy(n, depth, kind, seed=3):
    """layered(n, depth) with a channel on every qubit after every layer."""
    items = []
    gates = layered(n, depth, seed)
    i = 0
    for d in range(depth):
        count = n + len(range(d % 2, n - 1, 2))
        items += gates[i:i + count]
        i += count
        items += [(kind, q) for q in range(n)]
    return items


# ------------------------------------------------------------------ vantelo

def vantelo_gate(g):
    from vantelo import Gate
    if g[0] == "depolarizing":
        return Gate.depolarizing(g[1], DEPOLARIZING)
    if g[0] == "amplitude_damping":
        return Gate.amplitude_damping(g[1], DAMPING)
    if g[0] == "cx":
        return Gate.cx(g[1], g[2])
    return getattr(Gate, g[0])(g[1], g[2])


def vantelo_runs(n, items, trajectories):
    from vantelo import CircuitSpec, Observable
    spec = CircuitSpec(n)
    for g in items:
        spec.gate(vantelo_gate(g))
    plan = spec.compile()
    obs = Observable.pauli_z(0)
    # The same circuit without its channels, through the same call: each
    # "trajectory" is then one noiseless run and its expectation.
    clean_spec = CircuitSpec(n)
    for g in items:
        if g[0] not in ("depolarizing", "amplitude_damping"):
            clean_spec.gate(vantelo_gate(g))
    clean = clean_spec.compile()
    return (lambda: plan.trajectory_expectation([], obs, trajectories, seed=1),
            lambda: clean.trajectory_expectation([], obs, trajectories, seed=1))


def vantelo_shots(n, items, shots):
    from vantelo import Circuit
    c = Circuit([vantelo_gate(g) for g in items])
    return lambda: c.sample_trajectories(n, shots, seed=1)


# --------------------------------------------------------------------- qsim

def qsim_circuit(n, items, measure):
    import cirq
    qs = cirq.LineQubit.range(n)
    c = cirq.Circuit()
    for g in items:
        if g[0] == "depolarizing":
            c.append(cirq.depolarize(DEPOLARIZING)(qs[g[1]]))  # same p as ours
        elif g[0] == "amplitude_damping":
            c.append(cirq.amplitude_damp(DAMPING)(qs[g[1]]))
        elif g[0] == "cx":
            c.append(cirq.CNOT(qs[g[1]], qs[g[2]]))
        else:
            c.append(getattr(cirq, g[0])(float(g[2]))(qs[g[1]]))
    if measure:
        c.append(cirq.measure(*qs[::-1], key="m"))  # qubit 0 the least significant bit
    return c


def qsim_shots(n, items, shots, threads):
    import qsimcirq
    c = qsim_circuit(n, items, True)
    sim = qsimcirq.QSimSimulator(qsim_options=qsimcirq.QSimOptions(cpu_threads=threads), seed=1)

    def run():
        bits = sim.run(c, repetitions=shots).measurements["m"]
        return bits.dot(1 << np.arange(n)[::-1])
    return run


# ---------------------------------------------------------------------- Aer

def aer_shots(n, items, shots, threads, method):
    from qiskit import QuantumCircuit, transpile
    from qiskit_aer import AerSimulator
    from qiskit_aer.noise import amplitude_damping_error, depolarizing_error
    qc = QuantumCircuit(n)
    # Aer's depolarizing lambda counts the identity: p = 3*lambda/4.
    dep = depolarizing_error(4 * DEPOLARIZING / 3, 1)
    damp = amplitude_damping_error(DAMPING)
    for g in items:
        if g[0] == "depolarizing":
            qc.append(dep, [g[1]])
        elif g[0] == "amplitude_damping":
            qc.append(damp, [g[1]])
        elif g[0] == "cx":
            qc.cx(g[1], g[2])
        else:
            getattr(qc, g[0])(float(g[2]), g[1])
    qc.measure_all()
    sim = AerSimulator(method=method, max_parallel_threads=threads, precision="single")
    qc = transpile(qc, sim, optimization_level=0)

    def run():
        counts = sim.run(qc, shots=shots, seed_simulator=1).result().get_counts()
        return np.repeat([int(k, 2) for k in counts], list(counts.values()))
    return run


# ---------------------------------------------------------------- plumbing

def median_time(fn, repeats):
    fn()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def marginals(samples, n):
    samples = np.asarray(samples, dtype=np.int64)
    return np.array([((samples >> q) & 1).mean() for q in range(n)])


def agree(ours, theirs, n, shots, what):
    a, b = marginals(ours, n), marginals(theirs, n)
    sigma = np.sqrt(np.maximum(a * (1 - a), 1 / shots) * 2 / shots)
    if np.any(np.abs(a - b) > 6 * sigma):
        raise SystemExit(f"{what}: marginals disagree with vantelo's: {a} vs {b}")


def available(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def job(args):
    """One timing in a fresh process told its thread count first."""
    kind, sim, n, channel, threads, count, repeats = args
    os.environ["OMP_NUM_THREADS"] = str(threads)
    os.environ["RAYON_NUM_THREADS"] = str(threads)
    import vantelo
    vantelo.set_num_threads(threads)
    items = noisy(n, 20, channel)
    if sim == "vantelo":
        if kind == "trajectories":
            noisy_run, clean_run = vantelo_runs(n, items, count)
            return median_time(noisy_run, repeats), median_time(clean_run, repeats)
        run = vantelo_shots(n, items, count)
    elif sim == "qsim":
        run = qsim_shots(n, items, count, threads)
    else:
        run = aer_shots(n, items, count, threads, sim.split(":")[1])
    if kind == "check":
        return run()
    return median_time(run, repeats), None


def in_process(args):
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        return pool.apply(job, (args,))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    args = parser.parse_args()
    sizes, threads, trajectories, shot_n, shots, repeats = (
        ([8, 10], [1, 2], 20, 8, 2000, 2) if args.quick else ([20, 24], [1, 2], 20, 14, 10_000, 3))
    peers = [p for p, m in (("qsim", "qsimcirq"), ("aer:statevector", "qiskit_aer")) if available(m)]
    shot_peers = peers + (["aer:density_matrix"] if available("qiskit_aer") else [])

    # Agreement first: every peer's marginals against vantelo's.
    for channel in ("depolarizing", "amplitude_damping"):
        ours = in_process(("check", "vantelo", shot_n, channel, 1, shots, 1))
        for sim in shot_peers:
            agree(ours, in_process(("check", sim, shot_n, channel, 1, shots, 1)), shot_n, shots,
                  f"{sim} {channel}")

    lines = ["# Noisy circuits", "",
             f"Depth-20 layered circuits with a channel on every qubit after every layer "
             f"(depolarizing p = {DEPOLARIZING}, amplitude damping gamma = {DAMPING}).", "",
             "## Trajectories per second", "",
             "| channel | n | threads | vantelo | noisy/noiseless | "
             + " | ".join(peers) + " |", "|---|---|---|---|---|" + "---|" * len(peers)]
    for channel in ("depolarizing", "amplitude_damping"):
        for n in sizes:
            for t in threads:
                noisy_s, clean_s = in_process(("trajectories", "vantelo", n, channel, t, trajectories, repeats))
                ours = trajectories / noisy_s
                row = [channel, str(n), str(t), f"{ours:.2f}", f"{noisy_s / clean_s:.2f}x"]
                for sim in peers:
                    s, _ = in_process(("shots", sim, n, channel, t, trajectories, repeats))
                    theirs = trajectories / s
                    row.append(f"{theirs:.2f} (ours {ours / theirs:.1f}x)")
                lines.append("| " + " | ".join(row) + " |")
                print(lines[-1], flush=True)
    lines += ["", f"## {shots} noisy shots, n = {shot_n}", "",
              "| channel | threads | vantelo | " + " | ".join(shot_peers) + " |",
              "|---|---|---|" + "---|" * len(shot_peers)]
    for channel in ("depolarizing", "amplitude_damping"):
        for t in threads:
            ours, _ = in_process(("shots", "vantelo", shot_n, channel, t, shots, repeats))
            row = [channel, str(t), f"{ours:.3f} s"]
            for sim in shot_peers:
                s, _ = in_process(("shots", sim, shot_n, channel, t, shots, repeats))
                row.append(f"{s:.3f} s ({s / ours:.1f}x)")
            lines.append("| " + " | ".join(row) + " |")
            print(lines[-1], flush=True)
    out = os.path.join(ROOT, "bench", "results", "noise_quick.md" if args.quick else "noise.md")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("wrote", out)


if __name__ == "__main__":
    main()
