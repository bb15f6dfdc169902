"""Compiled-style benchmarks: expectation of a 10-term Pauli sum, gradients
of a hardware-efficient ansatz (checkpointed parameter-shift runs against the
plain rule of 1 + 2P runs from |0…0⟩, timed in the same process), a
256-row batch expectation on one thread against all threads, parameter-shift
gradients of QAOA with shared angles (1 + 2M runs), and adjoint gradients
against one plain expectation on 1 and 2 threads.

Run with the module installed (make module), e.g.
    .venv/bin/python bench/compiled_bench.py [--quick]
Prints medians and ratios; every ratio compares figures measured in this run.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

import numpy as np

import vantelo
from vantelo import CircuitSpec, Observable

SHIFT = np.float32(1.5707964)


def median_time(fn, repeats):
    fn()  # warm-up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def ansatz(n, layers):
    """Layers of ry on every qubit followed by a cx ladder; P = 2·n·layers
    (each layer has two ry sublayers)."""
    builder = CircuitSpec(n)
    for _ in range(layers):
        for _ in range(2):
            for q in range(n):
                builder.ry(q, builder.param())
        for q in range(n - 1):
            builder.cx(q, q + 1)
    return builder.compile()


def pauli_sum(n, terms, seed=7):
    rng = np.random.default_rng(seed)
    parts = []
    for _ in range(terms):
        qubits = rng.choice(n, size=min(3, n), replace=False)
        ops = [(str(rng.choice(["X", "Y", "Z"])), int(q)) for q in qubits]
        parts.append(Observable.pauli_string(ops, float(rng.normal())))
    return Observable.hamiltonian(parts)


def plain_value_and_gradient(circuit, context, buffer, observable):
    """The parameter-shift rule run by run: 1 + 2P complete runs."""
    values = buffer.numpy()
    base = values.copy()
    value = context.expectation_buffer(circuit, buffer, observable)
    grad = np.empty(len(base), dtype=np.float32)
    for k in range(len(base)):
        values[k] = base[k] + SHIFT
        plus = context.expectation_buffer(circuit, buffer, observable)
        values[k] = base[k] - SHIFT
        minus = context.expectation_buffer(circuit, buffer, observable)
        values[k] = base[k]
        grad[k] = (np.float32(plus) - np.float32(minus)) * np.float32(0.5)
    return value, grad


def bench_expectation(sizes, repeats):
    print("\n## Expectation of a 10-term Pauli sum on a 2^n state")
    print("| n | expectation (10 terms) | one read pass (numpy dot) | expectation / pass |")
    print("|---|---|---|---|")
    for n in sizes:
        # An empty plan: a run only resets the context's state, so the call
        # is dominated by the ten sums of the expectation.
        circuit = CircuitSpec(n).compile()
        observable = pauli_sum(n, 10)
        context = circuit.execution_context()
        buffer = circuit.param_buffer()
        floats = np.ones(2 ** (n + 1), dtype=np.float32)  # the state's bytes
        one_pass = median_time(lambda: floats.dot(floats), repeats)
        both = median_time(lambda: context.expectation_buffer(circuit, buffer, observable), repeats)
        print(f"| {n} | {both * 1e3:.3f} ms | {one_pass * 1e3:.3f} ms | {both / one_pass:.2f} |")


def bench_gradient(sizes, layers, repeats):
    print("\n## value_and_gradient of a hardware-efficient ansatz")
    print("| n | P | checkpointed | plain 1+2P runs | plain / checkpointed |")
    print("|---|---|---|---|---|")
    for n in sizes:
        circuit = ansatz(n, layers)
        p = circuit.parameter_count
        params = np.random.default_rng(2).uniform(-1, 1, p).astype(np.float32)
        observable = pauli_sum(n, 2 * n)
        context = circuit.execution_context()
        buffer = circuit.param_buffer()
        buffer.numpy()[:] = params
        fast_value, fast_grad = context.value_and_gradient_buffer(circuit, buffer, observable)
        plain_value, plain_grad = plain_value_and_gradient(circuit, context, buffer, observable)
        assert fast_value == plain_value and np.array_equal(fast_grad, plain_grad), \
            "checkpointed gradient differs from the plain rule"
        reps = max(1, repeats // (4 if n >= 16 else 1))
        fast = median_time(lambda: context.value_and_gradient_buffer(circuit, buffer, observable), reps)
        plain = median_time(lambda: plain_value_and_gradient(circuit, context, buffer, observable), reps)
        print(f"| {n} | {p} | {fast * 1e3:.1f} ms | {plain * 1e3:.1f} ms | {plain / fast:.2f} |")


BATCH_CHILD = """
import sys, time, statistics, numpy as np, vantelo
sys.path.insert(0, {bench_dir!r})
from compiled_bench import ansatz, pauli_sum
vantelo.set_num_threads({threads})
circuit = ansatz(12, 2)
observable = pauli_sum(12, 24)
batch = np.random.default_rng(3).uniform(-1, 1, (256, circuit.parameter_count)).astype(np.float32)
first = circuit.batch_expectation(batch, observable)
times = []
for _ in range({repeats}):
    t = time.perf_counter(); circuit.batch_expectation(batch, observable); times.append(time.perf_counter() - t)
print(statistics.median(times), first.tobytes().hex()[:32])
"""


def bench_batch(repeats):
    print("\n## batch_expectation, 256 rows, n = 12 (one process per thread count)")
    counts = sorted({1, os.cpu_count() or 1})
    results = {}
    for threads in counts:
        code = BATCH_CHILD.format(bench_dir=os.path.dirname(os.path.abspath(__file__)),
                                  threads=threads, repeats=repeats)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        seconds, digest = out.stdout.split()
        results[threads] = (float(seconds), digest)
    digests = {d for _, d in results.values()}
    assert len(digests) == 1, "batch results differ between thread counts"
    base = results[1][0]
    print("| threads | time | speed-up over 1 thread |")
    print("|---|---|---|")
    for threads, (seconds, _) in results.items():
        print(f"| {threads} | {seconds * 1e3:.1f} ms | {base / seconds:.2f} |")


def regular_graph(n, d=3, seed=5):
    """A simple d-regular graph by random pairing of stubs (fixed seed)."""
    rng = np.random.default_rng(seed)
    while True:
        stubs = rng.permutation(np.repeat(np.arange(n), d)).reshape(-1, 2)
        edges = {tuple(sorted(map(int, e))) for e in stubs}
        if len(edges) == len(stubs) and all(i != j for i, j in edges):
            return sorted(edges)


def qaoa(n, layers):
    """QAOA for MaxCut on a 3-regular graph: per layer one shared cost angle
    (an rz between two cx on every edge) and one shared mixer angle (rx on
    every qubit). Returns the circuit, its cost observable and M, the number
    of parameterized rotations."""
    edges = regular_graph(n)
    builder = CircuitSpec(n)
    for q in range(n):
        builder.h(q)
    for _ in range(layers):
        gamma, beta = builder.param(), builder.param()
        for i, j in edges:
            builder.cx(i, j)
            builder.rz(j, gamma)
            builder.cx(i, j)
        for q in range(n):
            builder.rx(q, beta)
    cost = Observable.hamiltonian([Observable.pauli_string([("Z", i), ("Z", j)], -0.5) for i, j in edges])
    return builder.compile(), cost, layers * (len(edges) + n)


def bench_qaoa_shift(sizes, repeats):
    print("\n## value_and_gradient (parameter shift) of QAOA, p = 4, 3-regular graph")
    print("| n | P | runs 1+2M | value_and_gradient | expectation | time per run / expectation |")
    print("|---|---|---|---|---|---|")
    for n in sizes:
        circuit, cost, m = qaoa(n, 4)
        params = np.random.default_rng(4).uniform(-1, 1, circuit.parameter_count).astype(np.float32)
        runs = 1 + 2 * m
        one = median_time(lambda: circuit.expectation(params, cost), repeats)
        grad = median_time(lambda: circuit.value_and_gradient(params, cost), max(1, repeats // 3))
        print(f"| {n} | {circuit.parameter_count} | {runs} | {grad * 1e3:.0f} ms | {one * 1e3:.2f} ms "
              f"| {grad / runs / one:.2f} |")


ADJOINT_CHILD = """
import json, sys, numpy as np, vantelo
sys.path.insert(0, {bench_dir!r})
import compiled_bench as cb
vantelo.set_num_threads({threads})
out = []
for kind, n in {cases!r}:
    if kind == "ansatz":
        circuit = cb.ansatz(n, max(1, round(100 / (2 * n))))
        observable = cb.pauli_sum(n, 2 * n)
    else:
        circuit, observable, _ = cb.qaoa(n, 4)
    params = np.random.default_rng(2).uniform(-1, 1, circuit.parameter_count).astype(np.float32)
    reps = {repeats} if n < 20 else max(1, {repeats} // 2)
    one = cb.median_time(lambda: circuit.expectation(params, observable), reps)
    adj = cb.median_time(lambda: circuit.adjoint_value_and_gradient(params, observable), reps)
    shift = None
    if n <= 16 or kind == "qaoa":
        shift = cb.median_time(lambda: circuit.value_and_gradient(params, observable), 1)
    # Rows of a batch run side by side with nothing shared: their speed-up
    # is what this machine's cores give this work right now, the ceiling
    # for a single call split between them.
    row = None
    if kind == "ansatz" and n <= 16:
        rows = np.random.default_rng(3).uniform(-1, 1, (16, circuit.parameter_count)).astype(np.float32)
        row = cb.median_time(lambda: circuit.batch_adjoint_value_and_gradient(rows, observable),
                             max(1, reps // 2)) / len(rows)
    value, grad = circuit.adjoint_value_and_gradient(params, observable)
    out.append(dict(kind=kind, n=n, p=circuit.parameter_count, one=one, adj=adj, shift=shift, row=row,
                    digest=(np.float32(value).tobytes() + grad.tobytes()).hex()))
print(json.dumps(out))
"""


def cpu_times():
    """Linux's CPU time counters (all CPUs): the total and the time the
    hypervisor ran something else on our virtual CPUs (steal); None where
    /proc/stat is not there."""
    try:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
    except (OSError, ValueError):
        return None
    return sum(fields), fields[7] if len(fields) > 7 else 0


def steal_share(before, after):
    if before is None or after is None or after[0] == before[0]:
        return "–"
    return f"{100 * (after[1] - before[1]) / (after[0] - before[0]):.0f} %"


def bench_adjoint(sizes, qaoa_sizes, repeats):
    print("\n## adjoint_value_and_gradient on 1 and 2 threads (one process per thread count)")
    cases = [("ansatz", n) for n in sizes] + [("qaoa", n) for n in qaoa_sizes]
    results, steal = {}, {}
    for threads in (1, 2):
        code = ADJOINT_CHILD.format(bench_dir=os.path.dirname(os.path.abspath(__file__)),
                                    threads=threads, cases=cases, repeats=repeats)
        before = cpu_times()
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        steal[threads] = steal_share(before, cpu_times())
        results[threads] = __import__("json").loads(out.stdout)
    for a, b in zip(results[1], results[2]):
        assert a["digest"] == b["digest"], "adjoint results differ between thread counts"
    print("| circuit | n | P | threads | adjoint | expectation | adjoint / expectation "
          "| parameter shift / adjoint | 2-thread speed-up | batch rows' 2-thread speed-up |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for threads in (1, 2):
        for r, base in zip(results[threads], results[1]):
            shift = f"{r['shift'] / r['adj']:.1f}" if r["shift"] else "–"
            rows = f"{base['row'] / r['row']:.2f}" if r["row"] else "–"
            print(f"| {r['kind']} | {r['n']} | {r['p']} | {threads} | {r['adj'] * 1e3:.2f} ms "
                  f"| {r['one'] * 1e3:.2f} ms | {r['adj'] / r['one']:.2f} | {shift} "
                  f"| {base['adj'] / r['adj']:.2f} | {rows} |")
    print(f"CPU time stolen by the hypervisor while the processes ran: {steal[1]} (1 thread), "
          f"{steal[2]} (2 threads).")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small sizes, few repetitions")
    args = parser.parse_args()
    sizes = [12, 16] if args.quick else [12, 16, 20]
    repeats = 3 if args.quick else 7
    print(f"vantelo compiled benchmarks, {os.cpu_count()} CPUs")
    bench_expectation(sizes, repeats)
    bench_gradient(sizes, 2, repeats)
    bench_batch(repeats)
    bench_qaoa_shift([12, 16] if args.quick else [16, 20], repeats)
    bench_adjoint(sizes, [16] if args.quick else [20], repeats)


if __name__ == "__main__":
    main()
