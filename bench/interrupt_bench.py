"""The cost of the Ctrl-C check, and how soon Ctrl-C stops a call, measured
in one run.

Poll cost: one adjoint gradient on the main thread while another thread holds
the interpreter lock in long C calls (sorting a list), relative to the same
call on a helper thread (which never looks for signals). A check that takes
the lock back every few milliseconds waits for each of those C calls.

Latency: the time from SIGINT to the KeyboardInterrupt of a long call, for
statevector, batch_expectation, batch_statevector and Gate.unitary.

    .venv/bin/python bench/interrupt_bench.py [--qubits 20] [--hold-ms 20]
"""

import argparse
import os
import random
import signal
import threading
import time

import numpy as np

import vantelo


def layered(n, layers=6):
    spec = vantelo.CircuitSpec(n)
    for layer in range(layers):
        for q in range(n):
            spec.ry(q, spec.param())
        for q in range(n - 1):
            spec.cx(q, q + 1)
    return spec.compile()


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def poll_cost(n, hold_ms):
    compiled = layered(n)
    params = np.full(compiled.parameter_count, 0.3, np.float32)
    obs = vantelo.Observable.pauli_z(0)
    call = lambda: compiled.adjoint_value_and_gradient(params, obs)
    call()
    # A list whose sort holds the lock for about hold_ms.
    size = 1000
    while True:
        data = [random.random() for _ in range(size)]
        if timed(lambda: sorted(data)) * 1e3 >= hold_ms:
            break
        size *= 2
    quiet = timed(call)
    stop = threading.Event()

    def hold():
        while not stop.is_set():
            sorted(data)

    holder = threading.Thread(target=hold, daemon=True)
    holder.start()
    try:
        main = timed(call)
        box = []
        helper = threading.Thread(target=lambda: box.append(timed(call)))
        helper.start()
        helper.join()
    finally:
        stop.set()
        holder.join()
    print(f"adjoint, {n} qubits: alone {quiet:.3f} s; beside {hold_ms} ms C calls: "
          f"main thread {main:.3f} s, helper thread {box[0]:.3f} s, "
          f"main / helper {main / box[0]:.2f}")


def latency(n, targets):
    compiled = layered(n, layers=400)
    params = np.full(compiled.parameter_count, 0.3, np.float32)
    rows = np.tile(params, (64, 1))
    obs = vantelo.Observable.pauli_z(0)
    big = np.eye(1 << targets, dtype=np.complex64)
    cases = {
        "statevector": lambda: compiled.statevector(params),
        "batch_expectation": lambda: compiled.batch_expectation(rows, obs),
        "batch_statevector": lambda: compiled.batch_statevector(rows),
        f"Gate.unitary({targets} targets)": lambda: vantelo.Gate.unitary(list(range(targets)), big),
    }
    for name, call in cases.items():
        timer = threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT))
        timer.start()
        start = time.perf_counter()
        try:
            call()
            timer.cancel()
            print(f"{name}: finished before the signal")
            continue
        except KeyboardInterrupt:
            pass
        print(f"{name}: stopped {1e3 * (time.perf_counter() - start - 0.5):.1f} ms after SIGINT")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, default=20)
    parser.add_argument("--hold-ms", type=int, default=20)
    parser.add_argument("--targets", type=int, default=12, help="of the Gate.unitary case")
    args = parser.parse_args()
    signal.signal(signal.SIGINT, signal.default_int_handler)
    poll_cost(args.qubits, args.hold_ms)
    latency(min(args.qubits, 16), args.targets)
