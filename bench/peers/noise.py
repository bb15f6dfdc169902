"""Noisy circuits: vantelo's seeded trajectories against qsim's trajectory
simulator and Qiskit Aer (statevector shots, and its density matrix for the
shot table), all in one invocation on one machine.

Run with the peers installed (make bench-noise does it in bench/.venv-peers):
    python bench/peers/noise.py [--quick] [--sizes 16,18] [--threads 1,2]
        [--trajectories 20,4] [--shot-qubits 14] [--shots 10000] [--repeats 3]
        [--fusion 2,3,4,5]
Peers that are not installed are left out. Writes bench/results/noise.md
(noise_quick.md with --quick, or --out). Every timing runs in a fresh process told its
thread count first, and is the best of --repeats runs: on a shared machine
the least disturbed run is the closest to the true cost (--cpu-time counts
the process's CPU time instead of wall time in one-thread rows); a run of
more than 30 s is not repeated. --trajectories takes one count for every
size or one per size; by default 20 trajectories per call up to 20 qubits,
halved with each qubit above down to 4 (a trajectory at 24 qubits takes
seconds).

Tables:
0. Cross-check, before anything is timed: a small layered circuit followed
   by its inverse, with strong noise after every layer, so that the mean
   <Z> over the qubits falls from 1 by an amount the noise strength sets (a
   wrong convention, say Aer's depolarizing lambda taken for our p, moves
   it by about thirty standard errors). Every simulator's estimate is
   compared with the exact value of a NumPy density matrix built from our
   Kraus forms; more than five standard errors stops the run.
1. Trajectories per second: a depth-20 random circuit (run.py's layered
   circuit) with a channel on every qubit after every layer, depolarizing
   (p = 1e-3) or amplitude damping (gamma = 5e-3). vantelo runs
   `trajectory_expectation` of Z on qubit 0 (one call: trajectories with
   equal draws run once, and the others share their common prefixes);
   qsim runs `simulate_expectation_values` of the same observable with
   `ev_noisy_repetitions` set to the trajectory count (one call, one
   trajectory each); Aer runs `method="statevector"` shots (one trajectory
   each). noisy/noiseless is vantelo's trajectory time against the circuit
   without its channels run as many times (the faster of a plan's
   `expectation` and `Circuit.run`). A second vantelo row per case gives
   fused trajectories (`compile(fusion=k)`) at the best k of --fusion,
   with noisy/noiseless against the noiseless circuit fused with that k.
2. Noisy shots of the 14-qubit circuit: vantelo's `sample_trajectories`
   (shots with equal mixture draws share a run) against every peer's
   method for shots: qsim's `run`, Aer statevector and Aer density matrix.
"""

import argparse
import multiprocessing
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

from run import layered  # noqa: E402  (the peers benchmark's random circuit)

# Strengths of the timed circuits, and of the cross-check's.
STRENGTH = {"depolarizing": 1e-3, "amplitude_damping": 5e-3}
CHECK_STRENGTH = {"depolarizing": 0.02, "amplitude_damping": 0.05}
CHECK_N, CHECK_DEPTH, CHECK_SHOTS = 4, 8, 20_000
CHANNELS = ("depolarizing", "amplitude_damping")


def default_trajectories(n):
    """Trajectories per timed call at n qubits: about one second's work."""
    return 20 if n <= 20 else max(4, (20 << 20) >> n)


def trajectory_counts(given, sizes):
    """{n: trajectories per call} from --trajectories (one count, or one per size)."""
    if not given:
        return {n: default_trajectories(n) for n in sizes}
    counts = [int(c) for c in given.split(",")]
    if len(counts) == 1:
        counts *= len(sizes)
    if len(counts) != len(sizes):
        raise SystemExit(f"--trajectories takes one count or one per size ({len(sizes)}), not {len(counts)}")
    return dict(zip(sizes, counts))


def layers(n, depth, seed=3):
    """layered(n, depth)'s gates, one list per layer."""
    gates = layered(n, depth, seed)
    out, i = [], 0
    for d in range(depth):
        count = n + len(range(d % 2, n - 1, 2))
        out.append(gates[i:i + count])
        i += count
    return out


def noisy(n, depth, kind, strength, seed=3):
    """layered(n, depth) with a channel on every qubit after every layer;
    channels are (kind, qubit, strength)."""
    return [g for layer in layers(n, depth, seed) for g in layer + [(kind, q, strength) for q in range(n)]]


def mirrored(n, depth, kind, strength):
    """noisy(n, depth) followed by the inverse of its gates, layer by layer,
    with channels after every layer too: |0...0> without noise, so <Z> falls
    from 1 as fast as the noise is strong."""
    inverse = [[(g[0], g[1], g[2] if g[0] == "cx" else -g[2]) for g in reversed(layer)]
               for layer in reversed(layers(n, depth))]
    return noisy(n, depth, kind, strength) + [
        g for layer in inverse for g in layer + [(kind, q, strength) for q in range(n)]]


def is_channel(g):
    return g[0] in CHANNELS


# ------------------------------------------------------------ exact answer

def kraus(g):
    """Our Kraus form of a channel item (the documented conventions)."""
    p = g[2]
    if g[0] == "depolarizing":
        paulis = [np.eye(2), np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])]
        return [np.sqrt(1 - p) * paulis[0]] + [np.sqrt(p / 3) * m for m in paulis[1:]]
    return [np.array([[1, 0], [0, np.sqrt(1 - p)]]), np.array([[0, np.sqrt(p)], [0, 0]])]


def rotation(kind, theta):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return {"rx": np.array([[c, -1j * s], [-1j * s, c]]),
            "ry": np.array([[c, -s], [s, c]]),
            "rz": np.diag([np.exp(-0.5j * theta), np.exp(0.5j * theta)])}[kind]


def exact_magnetisation(n, items):
    """The mean over qubits of <Z> from a double-precision density matrix
    (qubit 0 the least significant bit of a basis index)."""
    dim = 1 << n
    index = np.arange(dim)

    def on(matrix, q):
        return np.kron(np.kron(np.eye(dim >> (q + 1)), matrix), np.eye(1 << q))

    rho = np.zeros((dim, dim), complex)
    rho[0, 0] = 1
    for g in items:
        if is_channel(g):
            rho = sum(k @ rho @ k.conj().T for k in (on(m, g[1]) for m in kraus(g)))
            continue
        if g[0] == "cx":
            u = np.eye(dim)[index ^ (((index >> g[1]) & 1) << g[2])]
        else:
            u = on(rotation(g[0], g[2]), g[1])
        rho = u @ rho @ u.conj().T
    z = np.mean([1 - 2 * ((index >> q) & 1) for q in range(n)], axis=0)
    return float(np.real(np.diag(rho)) @ z)


def shot_magnetisation(samples, n):
    """Mean and standard error of the per-shot mean <Z> over the qubits."""
    samples = np.asarray(samples, dtype=np.int64)
    values = np.mean([1 - 2 * ((samples >> q) & 1) for q in range(n)], axis=0)
    return float(values.mean()), float(values.std(ddof=1) / np.sqrt(len(values)))


# ------------------------------------------------------------------ vantelo

def vantelo_gate(g):
    from vantelo import Gate
    if is_channel(g):
        return getattr(Gate, g[0])(g[1], g[2])
    if g[0] == "cx":
        return Gate.cx(g[1], g[2])
    return getattr(Gate, g[0])(g[1], g[2])


def vantelo_plan(n, items, fusion=0):
    from vantelo import CircuitSpec
    spec = CircuitSpec(n)
    for g in items:
        spec.gate(vantelo_gate(g))
    return spec.compile(fusion=fusion)


def vantelo_trajectories(n, items, trajectories, observable=None, fusion=0):
    from vantelo import Observable
    plan = vantelo_plan(n, items, fusion)
    obs = Observable.pauli_z(0) if observable is None else observable
    return lambda: plan.trajectory_expectation([], obs, trajectories, seed=1)


def vantelo_noiseless(n, items, trajectories, fusion=0):
    """The noiseless circuit as many times, by its faster route: a plan's
    `expectation` or `Circuit.run` (the two executors may differ)."""
    from vantelo import Circuit, Observable
    clean = [g for g in items if not is_channel(g)]
    plan = vantelo_plan(n, clean, fusion)
    circuit = Circuit([vantelo_gate(g) for g in clean], fusion=fusion)
    obs = Observable.pauli_z(0)

    def by_plan():
        for _ in range(trajectories):
            plan.expectation([], obs)

    def by_circuit():
        for _ in range(trajectories):
            circuit.run(n)
    return by_plan, by_circuit


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
            c.append(cirq.depolarize(g[2])(qs[g[1]]))  # Cirq's p is ours
        elif g[0] == "amplitude_damping":
            c.append(cirq.amplitude_damp(g[2])(qs[g[1]]))
        elif g[0] == "cx":
            c.append(cirq.CNOT(qs[g[1]], qs[g[2]]))
        else:
            c.append(getattr(cirq, g[0])(float(g[2]))(qs[g[1]]))
    if measure:
        c.append(cirq.measure(*qs[::-1], key="m"))  # qubit 0 the least significant bit
    return c, qs


def qsim_shots(n, items, shots, threads):
    import qsimcirq
    c, _ = qsim_circuit(n, items, True)
    sim = qsimcirq.QSimSimulator(qsim_options=qsimcirq.QSimOptions(cpu_threads=threads), seed=1)

    def run():
        bits = sim.run(c, repetitions=shots).measurements["m"]
        return bits.dot(1 << np.arange(n)[::-1])
    return run


def qsim_trajectories(n, items, trajectories, threads, observable=None):
    import cirq
    import qsimcirq
    c, qs = qsim_circuit(n, items, False)
    options = qsimcirq.QSimOptions(cpu_threads=threads, ev_noisy_repetitions=trajectories)
    sim = qsimcirq.QSimSimulator(qsim_options=options, seed=1)
    obs = cirq.Z(qs[0]) if observable is None else observable(qs)
    return lambda: sim.simulate_expectation_values(c, [obs])[0].real


# ---------------------------------------------------------------------- Aer

def aer_shots(n, items, shots, threads, method):
    from qiskit import QuantumCircuit, transpile
    from qiskit_aer import AerSimulator
    from qiskit_aer.noise import amplitude_damping_error, depolarizing_error
    qc = QuantumCircuit(n)
    errors = {}
    for g in items:
        if g[0] == "depolarizing":
            # Aer's depolarizing lambda counts the identity: p = 3*lambda/4.
            if g[2] not in errors:
                errors[g[2]] = depolarizing_error(4 * g[2] / 3, 1)
            qc.append(errors[g[2]], [g[1]])
        elif g[0] == "amplitude_damping":
            if g[2] not in errors:
                errors[g[2]] = amplitude_damping_error(g[2])
            qc.append(errors[g[2]], [g[1]])
        elif g[0] == "cx":
            qc.cx(g[1], g[2])
        else:
            getattr(qc, g[0])(float(g[2]), g[1])
    qc.measure_all()
    sim = AerSimulator(method=method, max_parallel_threads=threads, precision="single")
    qc = transpile(qc, sim, optimization_level=0)
    seed = [0]

    def run():
        seed[0] += 1
        counts = sim.run(qc, shots=shots, seed_simulator=seed[0]).result().get_counts()
        return np.repeat([int(k, 2) for k in counts], list(counts.values()))
    return run


# ---------------------------------------------------------------- plumbing

# Wall time, or with --cpu-time the process's CPU time for one-thread rows:
# on a machine shared with other work it counts only this process's cycles.
CLOCK = [time.perf_counter]


# A timing that took this long is not repeated (Aer's density matrix at 14
# qubits takes minutes per run).
LONG_S = 30.0


def best_time(fn, repeats):
    clock = CLOCK[0]
    times = []
    for _ in range(repeats):
        start = clock()
        fn()
        times.append(clock() - start)
        if times[-1] > LONG_S:
            break
    return min(times)


def available(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def job(args):
    """One measurement in a fresh process told its thread count first."""
    kind, sim, n, channel, threads, count, repeats, cpu_time = args
    if cpu_time and threads == 1:
        CLOCK[0] = time.process_time
    os.environ["OMP_NUM_THREADS"] = str(threads)
    os.environ["RAYON_NUM_THREADS"] = str(threads)
    import vantelo
    vantelo.set_num_threads(threads)
    if kind == "check":
        return check(sim, channel)
    items = noisy(n, 20, channel, STRENGTH[channel])
    # "vantelo:fusion=k" and "noiseless:fusion=k" run fused.
    sim, _, fused = sim.partition(":fusion=")
    fusion = int(fused) if fused else 0
    if sim == "noiseless":
        return min(best_time(run, repeats) for run in vantelo_noiseless(n, items, count, fusion))
    if kind == "trajectories":
        run = {"vantelo": lambda: vantelo_trajectories(n, items, count, fusion=fusion),
               "qsim": lambda: qsim_trajectories(n, items, count, threads),
               "aer:statevector": lambda: aer_shots(n, items, count, threads, "statevector")}[sim]()
    else:
        run = {"vantelo": lambda: vantelo_shots(n, items, count),
               "qsim": lambda: qsim_shots(n, items, count, threads)}.get(
            sim, lambda: aer_shots(n, items, count, threads, sim.split(":")[1]))()
    return best_time(run, repeats)


def check(sim, channel):
    """(estimate, standard error) of the cross-check circuit's mean <Z>."""
    n = CHECK_N
    items = mirrored(n, CHECK_DEPTH, channel, CHECK_STRENGTH[channel])
    if sim.partition(":fusion=")[0] == "vantelo":
        from vantelo import Observable
        obs = Observable.hamiltonian([Observable.pauli_string([("Z", q)], 1 / n) for q in range(n)])
        fused = sim.partition(":fusion=")[2]
        return tuple(vantelo_trajectories(n, items, CHECK_SHOTS, obs, int(fused) if fused else 0)())
    if sim == "qsim":
        import cirq

        def magnetisation(qs):
            return cirq.PauliSum.from_pauli_strings([cirq.Z(q) / n for q in qs])
        mean = qsim_trajectories(n, items, CHECK_SHOTS, 1, magnetisation)()
        # No per-trajectory values come back: a trajectory's <Z> varies less
        # than a shot's, so the shots' error bounds the trajectories' one.
        _, error = shot_magnetisation(qsim_shots(n, items, CHECK_SHOTS, 1)(), n)
        return float(mean), error
    samples = (vantelo_shots(n, items, CHECK_SHOTS) if sim == "vantelo:shots" else
               qsim_shots(n, items, CHECK_SHOTS, 1) if sim == "qsim:shots" else
               aer_shots(n, items, CHECK_SHOTS, 1, sim.split(":")[1]))()
    return shot_magnetisation(samples, n)


def measure(*args):
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        return pool.apply(job, (args + (CPU_TIME[0],),))


CPU_TIME = [False]


def table(header, rows):
    return ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)] + rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    parser.add_argument("--sizes", help="register widths of the trajectory table, e.g. 16,18")
    parser.add_argument("--threads", help="thread counts, e.g. 1,2")
    parser.add_argument("--trajectories",
                        help="trajectories per timed call: one count, or one per size (e.g. 20,4)")
    parser.add_argument("--shot-qubits", type=int, help="width of the shot table's circuit")
    parser.add_argument("--shots", type=int, help="shots of the shot table")
    parser.add_argument("--repeats", type=int, help="timed runs per row; the best counts")
    parser.add_argument("--tables", default="trajectories,shots",
                        help="timed tables to run (the cross-check always runs first)")
    parser.add_argument("--out", help="the report's path (default bench/results/noise.md)")
    parser.add_argument("--cpu-time", action="store_true",
                        help="time one-thread rows by process CPU time (for a busy machine)")
    parser.add_argument("--fusion", default="2,3,4,5",
                        help="fusion widths tried for the fused trajectory rows (empty: none)")
    parser.add_argument("--no-density-matrix", action="store_true",
                        help="leave Aer's density matrix out of the shot table")
    parser.add_argument("--peers", help="the peers timed, e.g. qsim (default: every one installed)")
    args = parser.parse_args()
    if args.quick:
        sizes, threads, shot_n, shots, repeats = [8, 10], [1, 2], 8, 2000, 2
    else:
        sizes, threads, shot_n, shots, repeats = [20, 24], [1, 2], 14, 10_000, 3
    sizes = [int(s) for s in args.sizes.split(",")] if args.sizes else sizes
    threads = [int(t) for t in args.threads.split(",")] if args.threads else threads
    per_size = trajectory_counts(args.trajectories, sizes)
    shot_n = args.shot_qubits or shot_n
    shots = args.shots or shots
    repeats = args.repeats or repeats
    CPU_TIME[0] = args.cpu_time
    fusion = [int(k) for k in args.fusion.split(",") if k]

    wanted = set(args.peers.split(",")) if args.peers else None
    peers = [p for p, m in (("qsim", "qsimcirq"), ("aer:statevector", "qiskit_aer"))
             if available(m) and (wanted is None or p in wanted)]
    shot_peers = peers + (["aer:density_matrix"] if available("qiskit_aer") and not args.no_density_matrix
                          and (wanted is None or "aer:density_matrix" in wanted) else [])
    lines = ["# Noisy circuits", ""]

    # 0. The cross-check, before anything is timed.
    checked = (["vantelo", "vantelo:shots"] + [f"vantelo:fusion={k}" for k in fusion[-1:]]
               + (["qsim", "qsim:shots"] if available("qsimcirq") else [])
               + (["aer:statevector", "aer:density_matrix"] if available("qiskit_aer") else []))
    rows, failed = [], []
    for channel in CHANNELS:
        exact = exact_magnetisation(CHECK_N, mirrored(CHECK_N, CHECK_DEPTH, channel, CHECK_STRENGTH[channel]))
        cells = [f"{channel} {CHECK_STRENGTH[channel]}", f"{exact:.4f}"]
        for sim in checked:
            mean, error = measure("check", sim, CHECK_N, channel, 1, 0, 0)
            z = (mean - exact) / error
            cells.append(f"{mean:.4f} ± {error:.4f} ({z:+.1f}σ)")
            if abs(z) > 5:
                failed.append(f"{sim} {channel}: {mean} ± {error}, exact {exact}")
        rows.append("| " + " | ".join(cells) + " |")
        print(rows[-1], flush=True)
    lines += [f"## Cross-check: mean <Z> over {CHECK_N} qubits, depth {CHECK_DEPTH} and its inverse, "
              f"{CHECK_SHOTS} trajectories or shots", "",
              "Exact: a NumPy density matrix with our Kraus forms. A simulator named alone "
              "estimates from trajectories, with :shots or an Aer method from samples.", ""]
    lines += table(["channel", "exact"] + checked, rows) + [""]
    if failed:
        raise SystemExit("estimates disagree with the exact value:\n" + "\n".join(failed))

    tables = args.tables.split(",")
    # 1. Trajectories per second.
    rows = []
    for channel in CHANNELS if "trajectories" in tables else ():
        for n in sizes:
            trajectories = per_size[n]
            for t in threads:
                noisy_s = measure("trajectories", "vantelo", n, channel, t, trajectories, repeats)
                clean_s = measure("trajectories", "noiseless", n, channel, t, trajectories, repeats)
                # The fused row: the k with the fastest noisy trajectories.
                fused = [(measure("trajectories", f"vantelo:fusion={k}", n, channel, t, trajectories, repeats), k)
                         for k in fusion]
                theirs = [trajectories / measure("trajectories", sim, n, channel, t, trajectories, repeats)
                          for sim in peers]
                ours = [("exact", noisy_s, clean_s)]
                if fused:
                    fused_s, k = min(fused)
                    ours.append((f"fusion={k}", fused_s,
                                 measure("trajectories", f"noiseless:fusion={k}", n, channel, t, trajectories, repeats)))
                for label, noisy_t, clean_t in ours:
                    rate = trajectories / noisy_t
                    cells = [channel, str(n), str(t), label, f"{rate:.2f}", f"{noisy_t / clean_t:.2f}x"]
                    cells += [f"{p:.2f} (ours {rate / p:.1f}x)" for p in theirs]
                    rows.append("| " + " | ".join(cells) + " |")
                    print(rows[-1], flush=True)
    counts = sorted(set(per_size.values()))
    per_call = (f"{counts[0]} trajectories per call" if len(counts) == 1 else
                "trajectories per call: " + ", ".join(f"{per_size[n]} at n = {n}" for n in sizes))
    lines += [] if not rows else [f"## Trajectories per second, depth 20, {per_call}", "",
              f"A channel on every qubit after every layer (depolarizing p = {STRENGTH['depolarizing']}, "
              f"amplitude damping gamma = {STRENGTH['amplitude_damping']}). Goals: at least 2x qsim, "
              "at least 10x Aer statevector, noisy/noiseless at most 1.3x for mixtures.", ""]
    lines += [] if not rows else table(["channel", "n", "threads", "vantelo path", "vantelo", "noisy/noiseless"] + peers,
                                       rows) + [""]

    # 2. Noisy shots.
    rows = []
    for channel in CHANNELS if "shots" in tables else ():
        for t in threads:
            ours = measure("shots", "vantelo", shot_n, channel, t, shots, repeats)
            cells = [channel, str(t), f"{ours:.3f} s"]
            for sim in shot_peers:
                s = measure("shots", sim, shot_n, channel, t, shots, repeats)
                cells.append(f"{s:.3f} s (ours {s / ours:.1f}x)")
            rows.append("| " + " | ".join(cells) + " |")
            print(rows[-1], flush=True)
    if rows:
        lines += [f"## {shots} noisy shots, n = {shot_n}, depth 20", "",
                  "Goal: faster than every peer's best method.", ""]
        lines += table(["channel", "threads", "vantelo"] + shot_peers, rows)

    out = args.out or os.path.join(ROOT, "bench", "results", "noise_quick.md" if args.quick else "noise.md")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("wrote", out)


if __name__ == "__main__":
    main()
