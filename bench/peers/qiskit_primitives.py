"""vantelo's Qiskit integration against Qiskit Aer, in one invocation:

1. an EstimatorV2 pub of 1,000 parameter sets (the peers' ansatz with a
   2n-term Pauli sum), vantelo_interop.qiskit.EstimatorV2 against
   qiskit_aer.primitives.EstimatorV2, both in single precision;
2. OpenQASM 2 import plus simulation of a QFT file at n = 20:
   vantelo_interop.qasm.load_qasm + Circuit.run against qiskit.qasm2.load +
   AerSimulator (statevector, single precision).

Each thread count runs in its own process (vantelo's pool is sized once).
Results are checked against each other before anything is timed.
Run inside bench/.venv-peers:
    bench/.venv-peers/bin/python bench/peers/qiskit_primitives.py [--quick]
Writes bench/results/qiskit_primitives.md.
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

ROWS = 1000


def config(quick):
    if quick:
        return dict(estimator=[8, 10], qft=14, repeats=2)
    return dict(estimator=[12, 16], qft=20, repeats=3)


def median_time(fn, repeats):
    fn()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def ansatz_circuit(n):
    from qiskit import QuantumCircuit
    from qiskit.circuit import ParameterVector

    from adapters import ansatz_items, parameter_count
    from run import layers_for

    theta = ParameterVector("p", parameter_count(n, layers_for(n)))
    qc = QuantumCircuit(n)
    for item in ansatz_items(n, layers_for(n)):
        if item[0] == "ry":
            qc.ry(theta[item[2]], item[1])
        else:
            qc.cx(item[1], item[2])
    return qc


def operator(n):
    from qiskit.quantum_info import SparsePauliOp

    from run import pauli_terms

    return SparsePauliOp.from_sparse_list(
        [("".join(p for p, _ in ops), [q for _, q in ops], c) for c, ops in pauli_terms(n, 2 * n)],
        num_qubits=n)


def qft_qasm(n, x=0b1011):
    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";', f"qreg q[{n}];"]
    lines += [f"x q[{b}];" for b in range(n) if x >> b & 1]
    for j in reversed(range(n)):
        lines.append(f"h q[{j}];")
        for k in reversed(range(j)):
            lines.append(f"cu1(pi/{2 ** (j - k)}) q[{k}], q[{j}];")
    lines += [f"swap q[{k}], q[{n - 1 - k}];" for k in range(n // 2)]
    return "\n".join(lines) + "\n"


def worker(threads, cfg, out_path):
    import vantelo
    from qiskit import qasm2
    from qiskit_aer import AerSimulator
    from qiskit_aer.primitives import EstimatorV2 as AerEstimator

    from vantelo_interop.qasm import load_qasm
    from vantelo_interop.qiskit import EstimatorV2

    vantelo.set_num_threads(threads)
    backend = {"method": "statevector", "precision": "single", "max_parallel_threads": threads}
    ours, aer = EstimatorV2(), AerEstimator(options={"backend_options": backend})
    records = []
    for n in cfg["estimator"]:
        qc, obs = ansatz_circuit(n), operator(n)
        values = np.random.default_rng(n).uniform(-1, 1, (ROWS, qc.num_parameters))
        pub = [(qc, obs, values)]
        a = ours.run(pub).result()[0].data.evs
        b = aer.run(pub).result()[0].data.evs
        scale = float(np.sum(np.abs(obs.coeffs)))
        if not np.max(np.abs(a - b)) <= 1e-4 * scale:
            raise SystemExit(f"DISAGREEMENT: estimator n={n}: {np.max(np.abs(a - b))}")
        for sim, est in (("vantelo", ours), ("aer", aer)):
            t = median_time(lambda: est.run(pub).result(), cfg["repeats"])
            records.append(dict(workload="estimator", n=n, threads=threads, sim=sim, seconds=t))

    n = cfg["qft"]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, f"qft{n}.qasm")
        with open(path, "w") as f:
            f.write(qft_qasm(n))
        sim = AerSimulator(**backend)

        def run_ours():
            return load_qasm(path).run(n)

        def run_aer():
            qc = qasm2.load(path, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
            qc.save_statevector()
            return np.asarray(sim.run(qc).result().get_statevector())

        a, b = run_ours(), run_aer()
        if not abs(abs(np.vdot(a, b)) - 1) <= 1e-4:
            raise SystemExit(f"DISAGREEMENT: QFT n={n}: overlap {abs(np.vdot(a, b))}")
        for name, fn in (("vantelo", run_ours), ("aer", run_aer)):
            t = median_time(fn, cfg["repeats"])
            records.append(dict(workload="qft", n=n, threads=threads, sim=name, seconds=t))
    with open(out_path, "w") as f:
        json.dump(records, f)


def fmt(seconds):
    return f"{seconds:.2f} s" if seconds >= 1 else f"{seconds * 1e3:.1f} ms"


def report(records, quick):
    from run import cpu_model, versions

    lines = ["# vantelo's Qiskit integration against Qiskit Aer", ""]
    if quick:
        lines.append("**Quick mode: small sizes; the numbers are noisy and not representative.**\n")
    lines.append(f"Machine: {cpu_model()}, {len(os.sched_getaffinity(0))} CPUs available.  ")
    v = versions()
    lines.append(f"Versions: vantelo {v['vantelo']}, qiskit {v['qiskit']}, qiskit-aer {v['qiskit-aer']}. "
                 "Both single precision; medians after a warm-up; ratio = Aer / vantelo "
                 "(above 1: vantelo is faster).")
    titles = {"estimator": f"EstimatorV2, one pub of {ROWS} parameter sets (ansatz of about 100 "
                           "parameters, 2n-term Pauli sum)",
              "qft": "OpenQASM 2 import + simulation of a QFT file (final state)"}
    for workload, title in titles.items():
        lines += ["", f"## {title}", "", "| n | threads | vantelo | Aer | Aer / vantelo |", "|---|---|---|---|---|"]
        times = {(r["n"], r["threads"], r["sim"]): r["seconds"] for r in records if r["workload"] == workload}
        for n, threads in sorted({(n, t) for n, t, _ in times}):
            ours, aer = times[(n, threads, "vantelo")], times[(n, threads, "aer")]
            lines.append(f"| {n} | {threads} | {fmt(ours)} | {fmt(aer)} | {aer / ours:.2f}× |")
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
    from run import thread_counts, thread_env

    records = []
    with tempfile.TemporaryDirectory() as folder:
        for threads in thread_counts():
            out = os.path.join(folder, f"{threads}.json")
            cmd = [sys.executable, os.path.abspath(__file__), "--worker-threads", str(threads),
                   "--out-json", out] + (["--quick"] if args.quick else [])
            print(f"== {threads} thread(s)", flush=True)
            if subprocess.run(cmd, env=thread_env(threads)).returncode != 0:
                raise SystemExit(f"run with {threads} thread(s) failed")
            with open(out) as f:
                records += json.load(f)
    os.makedirs(args.results, exist_ok=True)
    text = report(records, args.quick)
    with open(os.path.join(args.results, "qiskit_primitives.md"), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
