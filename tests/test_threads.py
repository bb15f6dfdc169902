"""set_num_threads and the sizing of the worker pool. The pool is created once
per process, so every case runs in a fresh interpreter. The pool size is
observed as the number of threads the process gains when the pool is made."""

import pytest

ALREADY = "failed to set number of threads: The global thread pool has already been initialized."

PRELUDE = """
import os
for key in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
    os.environ.pop(key, None)
import hashlib
import numpy as np
import vantelo
from vantelo import Circuit, Gate, set_num_threads

def threads():
    return len(os.listdir("/proc/self/task"))

def outcome(call):
    try:
        call()
        return "ok"
    except BaseException as e:
        return f"{type(e).__name__}: {e}"

def random_circuit(n, seed):
    rng = np.random.default_rng(seed)
    gates = []
    for g in range(120):
        qs = [int(v) for v in rng.permutation(n)[:3]]
        if g % 5 == 4:
            z = rng.standard_normal((4, 4)) + 1j * rng.standard_normal((4, 4))
            gates.append(Gate.unitary(qs[:2], np.linalg.qr(z)[0].astype(np.complex64)))
        elif g % 7 == 6:
            gates.append(Gate.ccx(*qs))
        else:
            gates.append(Gate.u(qs[0], *(float(v) for v in rng.uniform(-3, 3, 3))))
    return Circuit(gates)

def digest(state):
    return hashlib.sha256(state.tobytes()).hexdigest()
"""


def run(isolated, body, env=None):
    proc = isolated(PRELUDE + body, env=env)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split()


def test_zero_refused_then_first_call_succeeds(isolated):
    out = run(isolated, """
try:
    set_num_threads(0)
except ValueError as e:
    print(repr(str(e)))
before = threads()
print(outcome(lambda: set_num_threads(2)), threads() - before)
""")
    assert out == ["'number", "of", "threads", "must", "be", "greater", "than", "0'", "ok", "2"]


@pytest.mark.parametrize("first, second", [
    ("set_num_threads(2)", "set_num_threads(4)"),
    ("set_num_threads(2)", "set_num_threads(2)"),
    ("Circuit([Gate.x(0)]).run(1)", "set_num_threads(2)"),
    ("Circuit([Gate.h(0), Gate.measure(0)]).sample(1, 3)", "set_num_threads(2)"),
    ("spec = vantelo.CircuitSpec(2); spec.h(1); spec.compile().statevector([])",
     "set_num_threads(2)"),
], ids=["twice", "same_size", "one_item_loop", "sample", "compiled"])
def test_pool_sized_only_once(isolated, first, second):
    out = run(isolated, f"""
{first}
print(repr(outcome(lambda: {second})))
""")
    assert " ".join(out) == repr("RuntimeError: " + ALREADY)


def test_creation_after_a_failed_second_call_keeps_first_size(isolated):
    out = run(isolated, """
before = threads()
set_num_threads(3)
print(outcome(lambda: set_num_threads(5)))
Circuit([Gate.h(q) for q in range(12)]).run(12)
print(threads() - before)
""")
    assert out[-1] == "3"


@pytest.mark.parametrize("call, expected", [
    ("set_num_threads(-1)", "OverflowError"),
    ("set_num_threads(2**64)", "OverflowError"),
    ("set_num_threads(2.0)", "TypeError"),
    ("set_num_threads('2')", "TypeError"),
])
def test_conversion_errors_leave_pool_unset(isolated, call, expected):
    out = run(isolated, f"""
print(outcome(lambda: {call}).split(":")[0])
before = threads()
print(outcome(lambda: set_num_threads(2)), threads() - before)
""")
    assert out == [expected, "ok", "2"]


@pytest.mark.parametrize("call, workers", [
    ("set_num_threads(num_threads=3)", 3),
    ("set_num_threads(1)", 1),
    ("set_num_threads(1000)", 255),
])
def test_explicit_sizes(isolated, call, workers):
    out = run(isolated, f"""
before = threads()
print({call})
print(threads() - before)
""")
    assert out == ["None", str(workers)]


def default_size(isolated):
    return int(run(isolated, """
before = threads()
Circuit([Gate.x(0)]).run(1)
print(threads() - before)
""")[0])


@pytest.mark.parametrize("num_threads, rs_num_cpus, expected", [
    ("3", None, 3),
    ("+6", None, 6),
    ("1000", None, 255),
    ("x", "3", 3),
    ("-2", "3", 3),
    (None, "5", 5),
    ("0", "3", "default"),
    (" 4", None, "default"),
    ("+", None, "default"),
    (None, "0", "default"),
    ("99999999999", None, "default"),
])
def test_environment_sizing(isolated, num_threads, rs_num_cpus, expected):
    setting = ""
    if num_threads is not None:
        setting += f"os.environ['RAYON_NUM_THREADS'] = {num_threads!r}\n"
    if rs_num_cpus is not None:
        setting += f"os.environ['RAYON_RS_NUM_CPUS'] = {rs_num_cpus!r}\n"
    out = run(isolated, setting + """
before = threads()
Circuit([Gate.x(0)]).run(1)
print(threads() - before)
""")
    if expected == "default":
        expected = default_size(isolated)
    assert int(out[0]) == expected


def test_results_identical_for_every_pool_size(isolated):
    body = """
c = random_circuit(15, 99)
print(digest(c.run(15)))
"""
    digests = {k: run(isolated, f"set_num_threads({k})\n" + body)[0] for k in (1, 2, 3, 7)}
    digests["default"] = run(isolated, body)[0]
    assert len(set(digests.values())) == 1, digests


def test_forked_child_runs_on_its_own(isolated):
    """The child inherits no worker threads; it must still finish loops and
    draw from a fresh random stream."""
    out = run(isolated, """
import select, time
set_num_threads(3)
c = random_circuit(12, 5)
parent = digest(c.run(12))
sampler = Circuit([Gate.h(q) for q in range(8)])
read_end, write_end = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(read_end)
    line = f"{digest(c.run(12))} {sampler.sample(8, 32)}\\n"
    os.write(write_end, line.encode())
    os._exit(0)
os.close(write_end)
own = sampler.sample(8, 32)
ready, _, _ = select.select([read_end], [], [], 120)
if not ready:
    os.kill(pid, 9)
    print("timeout")
else:
    child_digest, child_samples = os.read(read_end, 1 << 16).decode().split(" ", 1)
    os.waitpid(pid, 0)
    print(child_digest == parent, child_samples.strip() != str(own), digest(c.run(12)) == parent)
""")
    assert out == ["True", "True", "True"]
