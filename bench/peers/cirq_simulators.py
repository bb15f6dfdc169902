"""vantelo's Cirq simulator against qsimcirq, both called through Cirq's API
(so translation overhead is included, the noise model's too), in one
invocation:

1. the quantum Fourier transform (`cirq.qft`) of a basis state, final state
   by `simulate`, at n = 20 and 24;
2. a QAOA energy sweep: `simulate_expectation_values_sweep` of the MaxCut
   energy of a 3-regular graph over a 16 x 16 grid of (gamma, beta), 256
   points, at n = 16;
3. `run` with 10^5 repetitions of a 20-qubit layered circuit measured at
   the end;
4. noise: the 16-qubit layered circuit (depth 10) under a depolarizing
   noise model (p = 0.01 on every qubit after every moment), as
   `simulate_expectation_values` of the mean Z over 200 trajectories
   (vantelo's `trajectories`, qsim's `ev_noisy_repetitions`) and as `run`
   with 1000 repetitions, one trajectory each.

vantelo_interop.cirq.Simulator against qsimcirq.QSimSimulator (single
precision both), on 1 and 2 threads, each thread count in its own process
(vantelo's pool is sized once; qsim gets cpu_threads). Results are checked
against each other before anything is timed. Run inside bench/.venv-peers:
    bench/.venv-peers/bin/python bench/peers/cirq_simulators.py [--quick]
Writes bench/results/cirq_simulators.md.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

THREADS = (1, 2)


def config(quick):
    if quick:
        return dict(qft=[10, 12], qaoa=(8, 8), samples=(12, 10_000), noisy=(10, 6, 50, 200), repeats=2)
    return dict(qft=[20, 24], qaoa=(16, 16), samples=(20, 100_000), noisy=(16, 10, 200, 1000), repeats=3)


# Depolarizing probability of the noise model (Cirq's p, the same as ours).
NOISE_P = 0.01


def median_time(fn, repeats):
    fn()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def qft_circuit(n):
    import cirq

    q = cirq.LineQubit.range(n)
    return cirq.Circuit([cirq.X(q[b]) for b in range(n) if 0b1011 >> b & 1], cirq.qft(*q))


def qaoa(n, grid):
    """One QAOA layer for MaxCut, its energy and a grid x grid sweep."""
    import cirq
    import sympy

    from run import regular_graph

    q = cirq.LineQubit.range(n)
    gamma, beta = sympy.symbols("gamma beta")
    edges = regular_graph(n)
    circuit = cirq.Circuit(
        cirq.H.on_each(*q),
        [cirq.ZZ(q[i], q[j]) ** (gamma / np.pi) for i, j in edges],
        cirq.rx(2 * beta).on_each(*q),
    )
    energy = sum(0.5 * cirq.Z(q[i]) * cirq.Z(q[j]) for i, j in edges)
    sweep = cirq.Linspace("gamma", 0, np.pi, grid) * cirq.Linspace("beta", 0, np.pi / 2, grid)
    return circuit, energy, sweep


def layered_circuit(n, depth):
    import cirq

    from run import layered

    q = cirq.LineQubit.range(n)
    circuit = cirq.Circuit()
    for g in layered(n, depth, seed=100 + n):
        if g[0] == "cx":
            circuit.append(cirq.CNOT(q[g[1]], q[g[2]]))
        else:
            circuit.append(getattr(cirq, g[0])(g[2])(q[g[1]]))
    return circuit


def sampled_circuit(n):
    import cirq

    return layered_circuit(n, 4) + cirq.measure(*cirq.LineQubit.range(n), key="m")


def worker(threads, cfg, out_path):
    import cirq
    import qsimcirq
    import vantelo

    from vantelo_interop.cirq import Simulator

    vantelo.set_num_threads(threads)
    sims = {"vantelo": Simulator(seed=1),
            "qsim": qsimcirq.QSimSimulator(qsimcirq.QSimOptions(cpu_threads=threads), seed=1)}
    records = []

    def time_all(workload, n, calls):
        for name, fn in calls.items():
            records.append(dict(workload=workload, n=n, threads=threads, sim=name,
                                seconds=median_time(fn, cfg["repeats"])))

    for n in cfg["qft"]:
        circuit = qft_circuit(n)
        calls = {name: (lambda s=sim: s.simulate(circuit).final_state_vector) for name, sim in sims.items()}
        a, b = (np.asarray(fn(), dtype=np.complex128) for fn in calls.values())
        if not abs(abs(np.vdot(a, b)) - 1) <= 1e-4:
            raise SystemExit(f"DISAGREEMENT: QFT n={n}: overlap {abs(np.vdot(a, b))}")
        time_all("qft", n, calls)

    n, grid = cfg["qaoa"]
    circuit, energy, sweep = qaoa(n, grid)
    calls = {name: (lambda s=sim: s.simulate_expectation_values_sweep(circuit, [energy], sweep))
             for name, sim in sims.items()}
    a, b = (np.real(np.asarray(fn())) for fn in calls.values())
    if not np.max(np.abs(a - b)) <= 1e-4 * len(energy):
        raise SystemExit(f"DISAGREEMENT: QAOA n={n}: {np.max(np.abs(a - b))}")
    time_all("qaoa", n, calls)

    n, shots = cfg["samples"]
    circuit = sampled_circuit(n)
    calls = {name: (lambda s=sim: s.run(circuit, repetitions=shots).measurements["m"])
             for name, sim in sims.items()}
    a, b = (fn().mean(axis=0) for fn in calls.values())
    if not np.max(np.abs(a - b)) <= 6 * np.sqrt(0.5 / shots):
        raise SystemExit(f"DISAGREEMENT: samples n={n}: marginals differ by {np.max(np.abs(a - b))}")
    time_all("samples", n, calls)

    n, depth, count, shots = cfg["noisy"]
    circuit = layered_circuit(n, depth)
    q = cirq.LineQubit.range(n)
    noise = cirq.depolarize(NOISE_P)
    noisy = {"vantelo": Simulator(seed=1, noise=noise, trajectories=count),
             "qsim": qsimcirq.QSimSimulator(
                 qsimcirq.QSimOptions(cpu_threads=threads, ev_noisy_repetitions=count), seed=1, noise=noise)}
    mean_z = sum(cirq.Z(qubit) for qubit in q) / n
    calls = {name: (lambda s=sim: s.simulate_expectation_values(circuit, [mean_z])) for name, sim in noisy.items()}
    a, b = (float(np.real(fn()[0])) for fn in calls.values())
    # Two independent means of a value in [-1, 1]: 6 standard errors at most.
    if not abs(a - b) <= 6 * np.sqrt(2 / count):
        raise SystemExit(f"DISAGREEMENT: noisy expectation n={n}: {a} against {b}")
    time_all("noisy_ev", n, calls)
    measured = circuit + cirq.measure(*q, key="m")
    calls = {name: (lambda s=sim: s.run(measured, repetitions=shots).measurements["m"])
             for name, sim in noisy.items()}
    a, b = (fn().mean(axis=0) for fn in calls.values())
    if not np.max(np.abs(a - b)) <= 6 * np.sqrt(0.5 / shots):
        raise SystemExit(f"DISAGREEMENT: noisy samples n={n}: marginals differ by {np.max(np.abs(a - b))}")
    time_all("noisy_run", n, calls)
    with open(out_path, "w") as f:
        json.dump(records, f)


def fmt(seconds):
    return f"{seconds:.2f} s" if seconds >= 1 else f"{seconds * 1e3:.1f} ms"


def report(records, cfg, quick):
    from run import cpu_model, versions

    lines = ["# vantelo's Cirq simulator against qsimcirq", ""]
    if quick:
        lines.append("**Quick mode: small sizes; the numbers are noisy and not representative.**\n")
    lines.append(f"Machine: {cpu_model()}, {len(os.sched_getaffinity(0))} CPUs available.  ")
    v = versions()
    lines.append(f"Versions: vantelo {v['vantelo']}, cirq-core {v['cirq-core']}, qsimcirq {v['qsimcirq']}. "
                 "Both single precision and called through Cirq's API; medians after a warm-up; "
                 "ratio = qsim / vantelo (above 1: vantelo is faster).")
    grid, shots = cfg["qaoa"][1], cfg["samples"][1]
    _, depth, count, noisy_shots = cfg["noisy"]
    noise = f"depth {depth}, depolarizing noise model p = {NOISE_P}"
    titles = {"qft": "QFT of a basis state, `simulate(...).final_state_vector`",
              "qaoa": f"QAOA energy, `simulate_expectation_values_sweep` over {grid * grid} points "
                      "(one layer, 3-regular graph)",
              "samples": f"`run` with {shots} repetitions of a layered circuit (depth 4)",
              "noisy_ev": f"Noisy expectation: `simulate_expectation_values` of the mean Z over {count} "
                          f"trajectories, layered circuit ({noise})",
              "noisy_run": f"Noisy samples: `run` with {noisy_shots} repetitions, one trajectory each, "
                           f"layered circuit ({noise})"}
    for workload, title in titles.items():
        lines += ["", f"## {title}", "", "| n | threads | vantelo | qsim | qsim / vantelo |",
                  "|---|---|---|---|---|"]
        times = {(r["n"], r["threads"], r["sim"]): r["seconds"] for r in records if r["workload"] == workload}
        for n, threads in sorted({(n, t) for n, t, _ in times}):
            ours, qsim = times[(n, threads, "vantelo")], times[(n, threads, "qsim")]
            lines.append(f"| {n} | {threads} | {fmt(ours)} | {fmt(qsim)} | {qsim / ours:.2f}× |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--results", default=os.path.join(ROOT, "bench", "results"))
    parser.add_argument("--worker-threads", type=int)
    parser.add_argument("--out-json")
    args = parser.parse_args()
    cfg = config(args.quick)
    if args.worker_threads:
        return worker(args.worker_threads, cfg, args.out_json)
    from run import thread_env

    records = []
    with tempfile.TemporaryDirectory() as folder:
        for threads in THREADS:
            out = os.path.join(folder, f"{threads}.json")
            cmd = [sys.executable, os.path.abspath(__file__), "--worker-threads", str(threads),
                   "--out-json", out] + (["--quick"] if args.quick else [])
            print(f"== {threads} thread(s)", flush=True)
            if subprocess.run(cmd, env=thread_env(threads)).returncode != 0:
                raise SystemExit(f"run with {threads} thread(s) failed")
            with open(out) as f:
                records += json.load(f)
    os.makedirs(args.results, exist_ok=True)
    text = report(records, cfg, args.quick)
    with open(os.path.join(args.results, "cirq_simulators.md"), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
