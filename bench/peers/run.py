"""vantelo against peer simulators (Qiskit Aer, Qulacs, PennyLane Lightning,
qsim), all in one invocation on one machine.

Run inside bench/.venv-peers (make bench-peers), e.g.
    bench/.venv-peers/bin/python bench/peers/run.py [--quick] [--workloads adjoint,qaoa] [--pennylane]
--pennylane runs only the QNode-level rows: the vantelo.qubit device against
lightning.qubit (adjoint gradients, broadcast batch) on 1 and all threads.
Writes bench/results/peers.md (medians and peer/vantelo ratios) and
bench/results/gate_times.png (time per gate against n, with the memory
bandwidth floor measured in the same run).

Each simulator runs in its own worker process per thread count, so every one
is told its thread count before it starts:
    vantelo    set_num_threads(k) (and RAYON_NUM_THREADS=k)
    Qiskit Aer max_parallel_threads=k (and OMP_NUM_THREADS=k)
    Qulacs     OMP_NUM_THREADS=k
    Lightning  OMP_NUM_THREADS=k
    qsim       QSimOptions(cpu_threads=k)
Before anything is timed, every peer's result is checked against vantelo's
(to 1e-4; for states the relative distance of amplitudes at fixed indices
after aligning the global phase, values for expectations and gradients,
per-qubit marginals within six standard deviations for samples); a
disagreement stops the run.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

TOLERANCE = 1e-4


def config(quick, pennylane=False):
    if pennylane:
        # QNode-level rows only: gradients and the broadcast batch, on every
        # thread count.
        return dict(gates=[], layered=[], qft=[], depth=20, expectation=[],
                    qv=[], gradient=[10] if quick else [12, 16], batch=(8, 64) if quick else (12, 256),
                    samples=None, adjoint=[], qaoa=[], repeats=3 if quick else 5, all_threads=True)
    if quick:
        return dict(gates=list(range(8, 15, 2)), layered=[10, 12], qft=[10, 12], qv=[10, 12], depth=20,
                    expectation=[8, 10], gradient=[8, 10], batch=(8, 64), samples=(12, 10_000),
                    adjoint=[8, 10], qaoa=[10], repeats=3)
    return dict(gates=list(range(16, 27)), layered=[16, 20, 24], qft=[20, 24], qv=[20, 22, 24], depth=20,
                expectation=[12, 16, 20], gradient=[12, 16], batch=(12, 256),
                samples=(20, 100_000), adjoint=[12, 16, 20], qaoa=[20, 22], repeats=5)


WORKLOADS = ["gates", "layered", "qft", "qv", "expectation", "gradient", "batch", "samples",
             "adjoint", "qaoa"]


# ---------------------------------------------------------------- workloads

def h_each(n):
    return [("h", q) for q in range(n)]


def layered(n, depth, seed):
    """rx, ry or rz (chosen at random) on every qubit, then a brick of cx."""
    rng = np.random.default_rng(seed)
    gates = []
    for d in range(depth):
        for q in range(n):
            gates.append((str(rng.choice(["rx", "ry", "rz"])), q, float(rng.uniform(-np.pi, np.pi))))
        for q in range(d % 2, n - 1, 2):
            gates.append(("cx", q, q + 1))
    return gates


def qft(n):
    """The quantum Fourier transform: h and controlled phases from the top
    qubit down, then the swaps that reverse the qubit order."""
    gates = []
    for t in range(n - 1, -1, -1):
        gates.append(("h", t))
        for c in range(t - 1, -1, -1):
            gates.append(("cp", c, t, float(np.pi / (1 << (t - c)))))
    for q in range(n // 2):
        gates.append(("swap", q, n - 1 - q))
    return gates


def quantum_volume(n, seed):
    """Depth n of random SU(4) matrices (complex64, first target the top bit
    of the matrix index) on the pairs of a random permutation."""
    rng = np.random.default_rng(seed)
    gates = []
    for _ in range(n):
        perm = rng.permutation(n)
        for i in range(0, n - 1, 2):
            q, r = np.linalg.qr(rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4)))
            m = q * (np.diag(r) / abs(np.diag(r)))
            m = (m / np.linalg.det(m) ** 0.25).astype(np.complex64)
            gates.append(("unitary", int(perm[i]), int(perm[i + 1]), m))
    return gates


def pauli_terms(n, count, seed=7):
    rng = np.random.default_rng(seed)
    terms = []
    for _ in range(count):
        qubits = rng.choice(n, size=min(3, n), replace=False)
        terms.append((float(rng.normal()), [(str(rng.choice(["X", "Y", "Z"])), int(q)) for q in qubits]))
    return terms


def regular_graph(n, d=3, seed=5):
    """A simple d-regular graph by random pairing of edge stubs (fixed seed)."""
    rng = np.random.default_rng(seed)
    while True:
        stubs = rng.permutation(np.repeat(np.arange(n), d)).reshape(-1, 2)
        edges = {tuple(sorted(map(int, e))) for e in stubs}
        if len(edges) == len(stubs) and all(i != j for i, j in edges):
            return sorted(edges)


QAOA_LAYERS = 4
FUSION_SIZES = (2, 3, 4, 5)


def layers_for(n):
    """Ansatz depth giving about 100 parameters (2·n per layer)."""
    return max(1, round(100 / (2 * n)))


def params_for(n, seed=2):
    from adapters import parameter_count
    return np.random.default_rng(seed).uniform(-1, 1, parameter_count(n, layers_for(n))).astype(np.float32)


# ------------------------------------------------------------------- worker

def median_time(fn, repeats):
    fn()  # warm-up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def probe(n):
    """Fixed indices at which state probabilities are compared."""
    size = 1 << n
    if size <= 1 << 16:
        return np.arange(size)
    return np.sort(np.random.default_rng(n).choice(size, 1 << 16, replace=False))


class Checker:
    """vantelo's worker stores references; the peers' workers compare."""

    def __init__(self, name, ref_dir):
        self.name, self.ref_dir = name, ref_dir

    def __call__(self, key, **values):
        path = os.path.join(self.ref_dir, key + ".npz")
        if self.name == "vantelo":
            np.savez(path, **values)
            return
        ref = np.load(path)
        for field, value in values.items():
            expected = ref[field]
            if field == "amps":
                # Relative distance after aligning the global phase.
                value = np.asarray(value, dtype=np.complex128)
                overlap = np.vdot(value, expected)
                phase = overlap / abs(overlap) if abs(overlap) > 0 else 1.0
                distance = np.linalg.norm(value * phase - expected) / np.linalg.norm(expected)
                if value.shape != expected.shape or not distance <= TOLERANCE:
                    raise SystemExit(f"DISAGREEMENT: {self.name} {key}: relative distance {distance}")
                continue
            value = np.asarray(value, dtype=np.float64)
            if field == "marginals":
                shots = float(ref["shots"])
                bound = 6 * np.sqrt(0.25 / shots)
                bad = np.abs(value - expected) > bound
            elif field == "shots":
                continue
            else:
                bad = ~np.isfinite(value) | (np.abs(value - expected) > TOLERANCE)
            if value.shape != expected.shape or np.any(bad):
                worst = np.max(np.abs(value - expected)) if value.shape == expected.shape else "shape"
                raise SystemExit(f"DISAGREEMENT: {self.name} {key} {field}: max difference {worst}")


def marginals(samples, n):
    samples = np.asarray(samples, dtype=np.int64)
    return np.array([np.mean((samples >> q) & 1) for q in range(n)])


def exact_marginals(state, n):
    probs = np.abs(np.asarray(state, dtype=np.complex128)) ** 2
    idx = np.arange(1 << n)
    return np.array([probs[((idx >> q) & 1) == 1].sum() for q in range(n)])


def worker(name, threads, cfg, ref_dir, out_path, workloads):
    from adapters import load
    adapter = load(name)
    adapter.configure(threads)
    check = Checker(name, ref_dir)
    reps = cfg["repeats"]
    records = []

    def record(workload, n, seconds, **extra):
        records.append(dict(sim=name, workload=workload, n=n, threads=threads, seconds=seconds, **extra))

    def state_check(key, n, run, convert):
        raw = run()
        state = np.asarray(convert(raw))
        check(key, amps=state[probe(n)].astype(np.complex128))
        return raw

    def optional(make, *args):
        try:
            return make(*args)
        except NotImplementedError:
            return None

    # 7: adjoint-style gradients of the ansatz (Lightning adjoint, Qulacs
    # backprop), on every thread count.
    for n in cfg["adjoint"] if "adjoint" in workloads else []:
        params = params_for(n)
        fn = optional(adapter.make_gradient, n, layers_for(n), pauli_terms(n, 2 * n), "adjoint")
        if fn is not None:
            value, grad = fn(params)
            check(f"adjoint-{n}", value=value, grad=grad)
            record("adjoint", n, median_time(lambda: fn(params), reps), parameters=len(params))

    # 8: QAOA (shared angles) gradients, adjoint-style, on every thread count.
    for n in cfg["qaoa"] if "qaoa" in workloads and hasattr(adapter, "make_qaoa") else []:
        fn = adapter.make_qaoa(n, regular_graph(n), QAOA_LAYERS)
        params = np.random.default_rng(4).uniform(-1, 1, 2 * QAOA_LAYERS).astype(np.float32)
        value, grad = fn(params)
        check(f"qaoa-{n}", value=value, grad=grad)
        seconds = median_time(lambda: fn(params), max(1, reps // 2))
        record("qaoa", n, seconds)
        # 8b: vantelo with sums="float64" against the same peer times.
        if name == "vantelo":
            wide = adapter.make_qaoa(n, regular_graph(n), QAOA_LAYERS, sums="float64")
            wide(params)
            seconds = median_time(lambda: wide(params), max(1, reps // 2))
        record("qaoa-f64", n, seconds)

    # 1: one h on each target; per gate = (circuit − empty circuit) / n. When
    # the circuit is not measurably slower than the empty one (timer noise on
    # a busy machine), the time is unknown, not zero: None, shown as n/a and
    # left out of the plot.
    for n in cfg["gates"] if "gates" in workloads else []:
        run, convert = adapter.make_state(n, h_each(n), False)
        empty, _ = adapter.make_state(n, [], False)
        state_check(f"gates-{n}", n, run, convert)
        full_t = median_time(run, reps)
        empty_t = median_time(empty, reps)
        record("gates", n, (full_t - empty_t) / n if full_t > empty_t else None, circuit=full_t, empty=empty_t)
        if name == "vantelo" and threads == 1:
            a = np.ones(1 << n, dtype=np.complex64)

            def rmw():
                a.__imul__(np.complex64(1))
            record("floor", n, median_time(rmw, reps))
            del a
    # 2: random layered circuits and the QFT, final state; on every thread
    # count. vantelo also reports its passes over the state per circuit.
    circuits = [("layered", n, layered(n, cfg["depth"], seed=n)) for n in cfg["layered"]]
    circuits += [("qft", n, qft(n)) for n in cfg["qft"]]
    circuits += [("qv", n, quantum_volume(n, seed=n)) for n in cfg.get("qv", [])]
    for workload, n, gates in circuits:
        if workload not in workloads:
            continue
        try:
            run, convert = adapter.make_state(n, gates, True)
        except NotImplementedError:
            continue
        state_check(f"{workload}-{n}", n, run, convert)
        passes = adapter.passes(n, gates) if hasattr(adapter, "passes") else None
        seconds = median_time(run, reps)
        record(workload, n, seconds, passes=passes, gate_count=len(gates))
        # 2c: vantelo's fusion=k and qsim's max_fused_gate_size at their best
        # k; the other peers' default times again.
        best = None
        for k in FUSION_SIZES if hasattr(adapter, "make_state_fused") else []:
            try:
                fused, _ = adapter.make_state_fused(n, gates, k)
            except NotImplementedError:
                continue
            state_check(f"{workload}-{n}", n, fused, convert)
            t = median_time(fused, reps)
            if best is None or t < best[0]:
                best = (t, k)
        record(f"{workload}-fused", n, best[0] if best else seconds, fusion=best[1] if best else None)
    if threads != max(thread_counts()) and not cfg.get("all_threads"):
        return dump(records, out_path)

    # 3: expectation of a 2n-term Pauli sum on the ansatz.
    for n in cfg["expectation"] if "expectation" in workloads else []:
        fn = adapter.make_expectation(n, layers_for(n), pauli_terms(n, 2 * n))
        params = params_for(n)
        check(f"expectation-{n}", value=fn(params))
        record("expectation", n, median_time(lambda: fn(params), reps))

    # 4: value and gradient, parameter shift.
    for n in cfg["gradient"] if "gradient" in workloads else []:
        params = params_for(n)
        fn = adapter.make_gradient(n, layers_for(n), pauli_terms(n, 2 * n), "shift")
        value, grad = fn(params)
        check(f"gradient-{n}", value=value, grad=grad)
        record("gradient-shift", n, median_time(lambda: fn(params), max(1, reps // 2)),
               parameters=len(params))

    if "batch" not in workloads:
        return dump(records, out_path)

    # 5: batch expectation.
    n, rows = cfg["batch"]
    fn = adapter.make_batch(n, layers_for(n), pauli_terms(n, 2 * n))
    batch = np.random.default_rng(3).uniform(-1, 1, (rows, len(params_for(n)))).astype(np.float32)
    check(f"batch-{n}", values=fn(batch))
    record("batch", n, median_time(lambda: fn(batch), reps), rows=rows)

    if "samples" not in workloads:
        return dump(records, out_path)

    # 6: samples of a layered state.
    if cfg["samples"] is None:
        return dump(records, out_path)
    n, shots = cfg["samples"]
    gates = layered(n, 4, seed=100 + n)
    fn = adapter.make_sampler(n, gates, shots)
    if name == "vantelo":
        run, _ = adapter.make_state(n, gates)
        check(f"samples-{n}", marginals=exact_marginals(run(), n), shots=shots)
    else:
        check(f"samples-{n}", marginals=marginals(fn(), n))
    record("samples", n, median_time(fn, reps), shots=shots)
    return dump(records, out_path)




def dump(records, out_path):
    with open(out_path, "w") as f:
        json.dump(records, f)


# ------------------------------------------------------------------- parent

def thread_counts():
    return sorted({1, len(os.sched_getaffinity(0))})


def thread_env(threads):
    env = dict(os.environ)
    for var in ("OMP_NUM_THREADS", "RAYON_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
        env[var] = str(threads)
    return env


def run_worker(name, threads, cfg, ref_dir, args):
    out = os.path.join(ref_dir, f"out-{name}-{threads}.json")
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", name, "--threads", str(threads),
           "--ref-dir", ref_dir, "--out-json", out, "--workloads", args.workloads] + \
        (["--quick"] if args.quick else []) + (["--repeats", str(args.repeats)] if args.repeats else []) + \
        (["--pennylane"] if args.pennylane else []) + (["--qubits", args.qubits] if args.qubits else [])
    print(f"== {name}, {threads} thread(s)", flush=True)
    proc = subprocess.run(cmd, env=thread_env(threads))
    if proc.returncode != 0:
        raise SystemExit(f"{name} with {threads} thread(s) failed (exit {proc.returncode})")
    with open(out) as f:
        return json.load(f)


def versions():
    from importlib import metadata
    out = {}
    for pkg in ("vantelo", "qiskit", "qiskit-aer", "qulacs", "pennylane", "pennylane-lightning",
                "cirq-core", "qsimcirq", "numpy"):
        try:
            out[pkg] = metadata.version(pkg)
        except metadata.PackageNotFoundError:
            out[pkg] = "not installed"
    return out


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def fmt(seconds):
    if seconds is None:
        return "n/a"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} µs"


def table(records, workload, sims, title, note=""):
    rows = sorted({(r["n"], r["threads"]) for r in records if r["workload"] == workload})
    if not rows:
        return []
    times = {(r["sim"], r["n"], r["threads"]): r["seconds"] for r in records if r["workload"] == workload}
    from adapters import load
    names = [load(s).NAME for s in sims]
    lines = [f"\n## {title}\n"] + ([note + "\n"] if note else [])
    lines.append("| n | threads | " + " | ".join(names) + " |")
    lines.append("|---|---|" + "---|" * len(sims))
    for n, threads in rows:
        base = times.get(("vantelo", n, threads))
        cells = []
        for s in sims:
            t = times.get((s, n, threads))
            if t is None:
                cells.append("n/a")
            elif s == "vantelo" or not base:
                cells.append(fmt(t))
            else:
                cells.append(f"{fmt(t)} ({t / base:.2f}×)")
        lines.append(f"| {n} | {threads} | " + " | ".join(cells) + " |")
    return lines


def report(records, cfg, args, sims):
    from adapters import load
    lines = ["# vantelo against peer simulators", "",
             ("**Quick mode: tiny sizes and few repetitions; the numbers are noisy and not "
              "representative.**\n" if args.quick else ""),
             f"Machine: {cpu_model()}, {len(os.sched_getaffinity(0))} CPUs available, "
             f"Python {platform.python_version()}.  ",
             "Versions: " + ", ".join(f"{k} {v}" for k, v in versions().items()) + ".  ",
             "Precision: " + ", ".join(f"{load(s).NAME} {load(s).PRECISION}" for s in sims) + ".",
             "",
             "Medians of repeated runs after a warm-up, in one invocation; in brackets the ratio "
             "peer / vantelo (above 1: vantelo is faster). Threads: vantelo set_num_threads, Aer "
             "max_parallel_threads, qsim cpu_threads, Qulacs and Lightning OMP_NUM_THREADS; "
             "each simulator runs in its own process per thread count."]
    lines += table(records, "gates", sims, "1. One h on each target: time per gate",
                   "(circuit of n h gates − empty circuit) / n; fusion across qubits turned off "
                   "(Aer fusion_enable=False, qsim max_fused_gate_size=1). n/a: the circuit was not "
                   "measurably slower than the empty one (timer noise).")
    floor = {r["n"]: r["seconds"] for r in records if r["workload"] == "floor"}
    if floor:
        lines.append("\nBandwidth floor (numpy in-place `a *= complex64(1)` over the same 2^n complex64 "
                     "array, one thread): " + ", ".join(f"n={n}: {fmt(t)}" for n, t in sorted(floor.items())))
    lines += table(records, "layered", sims, f"2. Random layered circuits, depth {cfg['depth']}, final state",
                   "Each simulator's default fusion.")
    lines += passes_note(records, "layered")
    lines += table(records, "qft", sims, "2b. Quantum Fourier transform (h, cp, swap), final state",
                   "Each simulator's default fusion.")
    lines += passes_note(records, "qft")
    lines += table(records, "qv", sims, "2e. Quantum volume (random SU(4) on random pairs, depth n), "
                   "final state", "Each simulator's default fusion.")
    lines += passes_note(records, "qv")
    for workload, label, of in (("layered", "2c", "2"), ("qft", "2d", "2b"), ("qv", "2f", "2e")):
        lines += table(records, f"{workload}-fused", sims,
                       f"{label}. Table {of} with vantelo fusion=k and "
                       "qsim max_fused_gate_size=k, each at its best k",
                       "Best k per row: " + ", ".join(
                           f"{r['sim']} n={r['n']} {r['threads']}t: {r['fusion']}" for r in records
                           if r["workload"] == f"{workload}-fused" and r.get("fusion")) + ".")
    lines += table(records, "expectation", sims, "3. Expectation of a 2n-term Pauli sum on the ansatz",
                   "Ansatz: layers of two ry sublayers and a cx ladder, about 100 parameters.")
    lines += table(records, "gradient-shift", sims, "4. Value and gradient, parameter shift",
                   "Peers: 1 + 2P expectation runs (batched where the API allows); vantelo: "
                   "value_and_gradient.")
    lines += table(records, "batch", sims, f"5. Batch expectation, {cfg['batch'][1]} rows")
    if cfg["samples"]:
        lines += table(records, "samples", sims, f"6. {cfg['samples'][1]} samples (including simulation)")
    lines += table(records, "adjoint", sims, "7. Value and gradient of the ansatz, adjoint methods",
                   "vantelo adjoint_value_and_gradient, Lightning diff_method=\"adjoint\" (complex64), "
                   "Qulacs backprop (double); the peers' other methods are slower (table 4).")
    lines += table(records, "qaoa", sims,
                   f"8. Value and gradient of QAOA, p = {QAOA_LAYERS}, 3-regular graph, shared angles",
                   "Same methods as table 7; each angle drives every rz (or rx) of its layer.")
    lines += table(records, "qaoa-f64", sims,
                   "8b. Table 8 with vantelo's accurate sums (sums=\"float64\")",
                   "The peers' times of table 8; vantelo's cost over its default is table 8's "
                   "vantelo column against this one. Errors: bench/accurate_sums.py.")
    lines += qnode_table(records, cfg)
    return "\n".join(lines) + "\n"


def qnode_table(records, cfg):
    """vantelo.qubit against lightning.qubit, both through PennyLane QNodes."""
    times = {(r["sim"], r["workload"], r["n"], r["threads"]): r["seconds"] for r in records}
    rows = sorted({(r["workload"], r["n"], r["threads"]) for r in records if r["sim"] == "vantelo_qubit"
                   and r["workload"] in ("gradient-adjoint", "batch")})
    if not rows:
        return []
    lines = ["\n## 9. PennyLane QNode level: vantelo.qubit against lightning.qubit\n",
             "Same QNodes on both devices (complex64); adjoint gradient of the ~100-parameter ansatz "
             f"through qml.grad, and a broadcast batch of {cfg['batch'][1]} parameter rows. In brackets "
             "lightning / vantelo.qubit (above 1: vantelo.qubit is faster).\n",
             "| workload | n | threads | vantelo.qubit | lightning.qubit |", "|---|---|---|---|---|"]
    for workload, n, threads in rows:
        ours, theirs = times.get(("vantelo_qubit", workload, n, threads)), times.get(("lightning", workload, n, threads))
        ratio = f" ({theirs / ours:.2f}×)" if ours and theirs else ""
        lines.append(f"| {workload} | {n} | {threads} | {fmt(ours)} | {fmt(theirs)}{ratio} |")
    return lines


def passes_note(records, workload):
    """vantelo's passes over the state per circuit; gate by gate it would
    make one per gate."""
    rows = sorted({(r["n"], r["threads"], r["passes"], r["gate_count"]) for r in records
                   if r["workload"] == workload and r["sim"] == "vantelo" and r.get("passes")})
    if not rows:
        return []
    return ["\nvantelo passes over the state per circuit (gate by gate: one per gate): " +
            ", ".join(f"n={n}, {t} thread{'s' if t > 1 else ''}: {p} (of {g} gates)"
                      for n, t, p, g in rows)]


def plot(records, path, quick):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from adapters import load
    fig, ax = plt.subplots(figsize=(8, 5))
    sims = sorted({r["sim"] for r in records if r["workload"] == "gates"}, key=SIM_ORDER.index)
    for i, s in enumerate(sims):
        for threads in thread_counts():
            pts = sorted((r["n"], r["seconds"]) for r in records
                         if r["workload"] == "gates" and r["sim"] == s and r["threads"] == threads
                         and r["seconds"] is not None)
            if pts:
                ax.plot(*zip(*pts), marker="o", color=f"C{i}", linestyle="-" if threads == 1 else "--",
                        label=f"{load(s).NAME}, {threads} thread{'s' if threads > 1 else ''}")
    pts = sorted((r["n"], r["seconds"]) for r in records if r["workload"] == "floor")
    if pts:
        ax.plot(*zip(*pts), color="black", linewidth=2, label="bandwidth floor (numpy RMW, 1 thread)")
    ax.set_yscale("log")
    ax.set_xlabel("qubits n")
    ax.set_ylabel("seconds per h gate")
    ax.set_title("One h on each target" + (" (quick mode, noisy)" if quick else ""))
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=120)


SIM_ORDER = ["vantelo", "aer", "qulacs", "lightning", "qsim", "vantelo_qubit"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="tiny sizes, few repetitions")
    parser.add_argument("--pennylane", action="store_true",
                        help="only the QNode-level rows: vantelo.qubit against lightning.qubit")
    parser.add_argument("--only", default=",".join(SIM_ORDER[1:-1]), help="comma-separated peers")
    parser.add_argument("--results", default=os.path.join(ROOT, "bench", "results"))
    parser.add_argument("--worker")
    parser.add_argument("--threads", type=int)
    parser.add_argument("--ref-dir")
    parser.add_argument("--out-json")
    parser.add_argument("--repeats", type=int, help="timed runs per measurement (default 5, quick 3)")
    parser.add_argument("--workloads", default=",".join(WORKLOADS),
                        help="comma-separated subset of " + ", ".join(WORKLOADS))
    parser.add_argument("--qubits", help="comma-separated register sizes: keep only these of each workload")
    args = parser.parse_args()
    cfg = config(args.quick, args.pennylane)
    if args.qubits:
        keep = {int(q) for q in args.qubits.split(",")}
        for key, sizes in cfg.items():
            if isinstance(sizes, list):
                cfg[key] = [n for n in sizes if n in keep]
    if args.repeats:
        cfg["repeats"] = args.repeats
    if args.pennylane and not args.worker:
        args.only = "lightning,vantelo_qubit"
    if args.worker:
        chosen = tuple(w for w in WORKLOADS if w in args.workloads.split(","))
        return worker(args.worker, args.threads, cfg, args.ref_dir, args.out_json, chosen)

    sims = ["vantelo"] + [s for s in SIM_ORDER[1:] if s in args.only.split(",")]
    records = []
    with tempfile.TemporaryDirectory() as ref_dir:
        for threads in thread_counts():
            for s in sims:
                records += run_worker(s, threads, cfg, ref_dir, args)
    os.makedirs(args.results, exist_ok=True)
    md = os.path.join(args.results, "peers.md")
    with open(md, "w") as f:
        f.write(report(records, cfg, args, sims))
    if "aer" in sims:
        # The Qiskit primitives and OpenQASM import against Aer, as a section of their own.
        cmd = [sys.executable, os.path.join(HERE, "qiskit_primitives.py"), "--results", args.results]
        subprocess.run(cmd + (["--quick"] if args.quick else []), check=True, stdout=subprocess.DEVNULL)
        with open(md, "a") as f, open(os.path.join(args.results, "qiskit_primitives.md")) as g:
            f.write("\n" + g.read().replace("# vantelo's", "## 10. vantelo's", 1).replace("\n## ", "\n### "))
    plot(records, os.path.join(args.results, "gate_times.png"), args.quick)
    with open(os.path.join(args.results, "peers.json"), "w") as f:
        json.dump(records, f, indent=1)
    print(open(md).read())


if __name__ == "__main__":
    main()
