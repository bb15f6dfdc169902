"""Ending the program while calls run, and Ctrl-C during long calls. Every
case runs in a child interpreter: what is checked is how a whole process
behaves (its exit status, a signal from outside)."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

# Threads that keep calling into the module (with and without the
# interpreter lock) while the main thread ends the program.
EXIT_WHILE_COMPUTING = """
import sys, threading, time
import numpy as np
import vantelo
spec = vantelo.CircuitSpec(14)
t = spec.param()
for q in range(14):
    spec.h(q)
    spec.ry(q, t)
compiled = spec.compile()
obs = vantelo.Observable.pauli_z(0)
context = compiled.execution_context()
class Angle:
    # Python code inside a call, which gives the lock away and asks for it
    # back while the module's frames are on the stack.
    def __float__(self):
        time.sleep(0)
        return 0.5
calls = [lambda: compiled.expectation([0.3], obs),
         lambda: compiled.batch_expectation(np.ones((4, 1), np.float32), obs),
         lambda: context.gradient(compiled, np.float32([0.3]), obs),
         lambda: vantelo.Circuit([vantelo.Gate.h(0)] * 40).run(14),
         lambda: vantelo.Gate.rx(0, Angle())]
def loop(call):
    while True:
        call()
for call in calls:
    threading.Thread(target=loop, args=(call,), daemon=True).start()
time.sleep(0.02)
"""


@pytest.mark.parametrize("ending, status", [("", 0), ("sys.exit(3)", 3),
                                            ("raise KeyboardInterrupt", -signal.SIGINT)])
def test_exit_while_threads_compute(ending, status):
    for _ in range(8):
        proc = subprocess.run([sys.executable, "-c", EXIT_WHILE_COMPUTING + ending],
                              capture_output=True, text=True, timeout=60)
        assert proc.returncode == status, proc.stderr
        assert "terminate" not in proc.stderr and "FATAL" not in proc.stderr


def test_interrupt_while_loading_numpy_propagates():
    # The first array result loads NumPy's C interface; a KeyboardInterrupt
    # raised by that import is the caller's, not a reason to try elsewhere.
    code = textwrap.dedent("""
        import sys
        import vantelo
        assert "numpy" not in sys.modules
        class Interrupting:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy._core.multiarray":
                    raise KeyboardInterrupt
        sys.meta_path.insert(0, Interrupting())
        try:
            vantelo.Circuit([]).run(1)
        except KeyboardInterrupt:
            print("interrupted")
        sys.meta_path.pop(0)
        print(vantelo.Circuit([]).run(1))
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.stdout.split() == ["interrupted", "[1.+0.j", "0.+0.j]"], proc.stderr


# Each case would run for minutes; the parent sends SIGINT shortly after the
# child announces it. The child reports how long the call lasted, then checks
# that the module still works (the same objects, the same context).
LONG_CALLS = """
import signal, sys, time, tracemalloc
# A shell that starts the tests in the background leaves SIGINT ignored, and
# the interpreter then installs no handler of its own.
signal.signal(signal.SIGINT, signal.default_int_handler)
import numpy as np
import vantelo
from vantelo import Circuit, CircuitSpec, ExecutionContext, Gate, Observable
n = 18
spec = CircuitSpec(n)
t = spec.param()
for i in range(200000):
    spec.ry(i % n, t) if i % 2 else spec.cx(i % n, (i + 1) % n)
compiled = spec.compile()
obs = Observable.pauli_z(0)
context = compiled.execution_context()
circuit = Circuit([Gate.h(i % n) if i % 2 else Gate.cx(i % n, (i + 1) % n) for i in range(200000)])
rows = np.full((64, 1), 0.25, np.float32)
huge = np.broadcast_to(np.uint32(0), (1 << 40,))
wide = np.eye(1 << 12, dtype=np.complex64)  # its unitarity test takes seconds of one core
cases = {
    "statevector": lambda: compiled.statevector([0.5]),
    "gradient": lambda: compiled.gradient([0.5], obs),
    "batch": lambda: compiled.batch_value_and_gradient(rows, obs),
    "context": lambda: context.expectation(compiled, [0.5], obs),
    "circuit": lambda: circuit.run(n),
    "sample": lambda: Circuit([Gate.h(0)]).sample(1, (1 << 32) - 1),
    "conversion": lambda: Gate.mcx(huge, 0),
    "batch_statevector": lambda: compiled.batch_statevector(rows),
    # repeated, so that many cores cannot finish before the signal comes
    "unitary": lambda: [Gate.unitary(range(12), wide) for _ in range(1000)],
    # a handler set after the module started watching the process's handlers
    "rehandled": lambda: (signal.signal(signal.SIGINT, signal.default_int_handler),
                          compiled.statevector([0.5])),
}
small = CircuitSpec(2)
small.h(0)
small.cx(0, 1)
small = small.compile()
for name in sys.argv[1:]:
    print("go", flush=True)
    start = time.monotonic()
    try:
        cases[name]()
        print(name, "finished", flush=True)
        continue
    except KeyboardInterrupt:
        elapsed = time.monotonic() - start
    after = context.expectation(small, [], Observable.pauli_z(1)) == 0.0
    print(name, "stopped", after, round(elapsed, 3), flush=True)
"""


def test_ctrl_c_stops_long_calls():
    names = ["statevector", "gradient", "batch", "context", "circuit", "sample", "conversion",
             "batch_statevector", "unitary", "rehandled"]
    child = subprocess.Popen([sys.executable, "-c", LONG_CALLS, *names], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    watchdog = threading.Timer(120, child.kill)  # a call that ignores SIGINT fails, not hangs
    watchdog.start()
    try:
        for name in names:
            assert child.stdout.readline() == "go\n", child.stderr.read()
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
            reported = child.stdout.readline().split()
            assert reported[:3] == [name, "stopped", "True"], child.stderr.read()
            # A generous bound: the calls would run for minutes; the stop
            # itself is checked every few milliseconds.
            assert float(reported[3]) < 0.3 + 5.0
        assert child.wait(timeout=30) == 0, child.stderr.read()
    finally:
        watchdog.cancel()
        child.kill()
        child.wait()
