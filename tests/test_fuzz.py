"""Bad input from a hostile caller: every public callable with arguments drawn
from a pool of wrong types, out-of-range numbers, odd arrays and objects
whose protocols raise. A call may return or raise an ordinary exception (or
the internal-fault exception for too-wide registers); it must never crash
the process, hang, or let anything else escape. Runs under the sanitizer
build too (make asan)."""

import faulthandler
import math
import os
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vantelo
from vantelo import Circuit, CircuitSpec, Gate, Observable

EXAMPLES = 3000
WATCHDOG_SECONDS = 60  # one case; a hang ends the process with a traceback


class RaisingIndex:
    def __index__(self):
        raise RuntimeError("index")


class LyingSequence:
    """Claims a huge length, then ends early."""

    def __len__(self):
        return 1 << 40

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return i


class RaisingSequence:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise ValueError("item")


class NanFloat:
    def __float__(self):
        return math.nan


def _instances():
    spec = CircuitSpec(3)
    theta = spec.param("theta")
    spec.h(0)
    spec.ry(1, theta)
    spec.cx(1, 2)
    compiled = spec.compile()
    return {
        "gate": Gate.h(0),
        "param": theta,
        "observable": Observable.pauli_string([("Z", 0), ("X", 2)]),
        "circuit": Circuit([Gate.h(0), Gate.mcx([0, 1, 2], 3), Gate.measure(1)]),
        "spec": CircuitSpec(4),
        "compiled": compiled,
        "context": compiled.execution_context(),
        "buffer": compiled.param_buffer(),
        "batch": compiled.param_batch_buffer(3),
    }


INSTANCES = _instances()

# Widths stay small or beyond the limit: a hostile width of 25 to 31 qubits
# would only test the machine's memory.
INTS = st.sampled_from([-(1 << 63), -1, 0, 1, 2, 3, 4, 5, 6, 32, 33, 1 << 32, (1 << 32) + 1,
                        1 << 64, True])
FLOATS = st.sampled_from([0.0, -0.0, 1.5, math.nan, math.inf, -math.inf, 1e300])
ARRAYS = st.sampled_from([
    np.eye(2, dtype=np.complex64), np.eye(4), np.eye(8, dtype=np.complex128), np.zeros((2, 3)),
    np.zeros(0, np.float32), np.float32([0.5]), np.float32([math.nan]), np.float32([[0.5], [1.0]]),
    np.arange(6, dtype=np.float32)[::2], np.zeros((2, 2, 2)), np.array(["a"]),
    np.zeros((2, 2), np.float16), np.full((2, 2), math.inf, np.complex64), np.uint32([0, 1]),
    np.array(0.5, np.float32), np.zeros((3, 0), np.float32), np.float32([[0.1], [0.2], [0.3]]),
])
HOSTILE = st.sampled_from([RaisingIndex(), LyingSequence(), RaisingSequence(), NanFloat(),
                           object(), b"bytes", {"a": 1}, range(3), range(-1, 2), "", "X", "Q",
                           None, [[0]], [None], [("X", 0), ("Q", 1)], [("Z", -1)], [(0, "X")],
                           [("X",)], (0, 1), [0, 0], list(range(40)), [Gate.x(0), 1]])
LEAVES = st.one_of(INTS, FLOATS, ARRAYS, HOSTILE, st.sampled_from(list(INSTANCES.values())),
                   st.text(max_size=3))
ARGS = st.one_of(LEAVES, st.lists(st.one_of(INTS, LEAVES), max_size=5),
                 st.lists(st.tuples(st.sampled_from(["X", "Y", "Z", "x", "W"]), INTS), max_size=4))
KWARG_NAMES = st.sampled_from(["target", "theta", "controls", "qubit", "params", "num_qubits",
                               "shots", "observable", "name", "coefficient", "bogus"])


def _callables():
    found = []
    for owner in (Gate, Observable):
        found += [(f"{owner.__name__}.{m}", getattr(owner, m)) for m in dir(owner)
                  if not m.startswith("_")]
    found += [("CircuitSpec", CircuitSpec), ("Circuit", Circuit)]
    for key, obj in INSTANCES.items():
        for m in dir(obj):
            attr = getattr(obj, m) if not m.startswith("_") else None
            if callable(attr):
                found.append((f"{key}.{m}", attr))
    found += [(f"{cls}()", getattr(vantelo, cls)) for cls in
              ("Gate", "Parameter", "Observable", "CompiledCircuit", "ParamBuffer",
               "ParamBatchBuffer", "ExecutionContext")]
    return sorted(found, key=lambda item: item[0])


CALLABLES = _callables()


@settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=True,
          suppress_health_check=list(HealthCheck))
@given(target=st.sampled_from(CALLABLES), args=st.lists(ARGS, max_size=4),
       kwargs=st.dictionaries(KWARG_NAMES, ARGS, max_size=2))
def test_hostile_arguments_raise_cleanly(target, args, kwargs):
    name, function = target
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    try:
        function(*args, **kwargs)
    except Exception:
        pass
    except BaseException as e:  # only the internal-fault exception may pass
        assert type(e).__name__ == "InternalFault", f"{name}: {e!r}"
    finally:
        faulthandler.cancel_dump_traceback_later()


# OpenQASM programs mutated towards what a hostile file would hold: huge
# numbers, deep or recursive definitions, measured values, stray braces,
# foreign includes. The import must return or raise ValueError, within the
# watchdog, with limits low enough that no case can be slow.
# The time goes to parsing in Python: the sanitizer build gains little from more.
QASM_EXAMPLES = 40 if os.environ.get("VANTELO_SANITIZED") else 150
QASM_SEEDS = [
    'OPENQASM 3.0;\ninclude "stdgates.inc";\nqubit[3] q;\nbit[3] c;\nh q;\ncx q[0], q[1];\n'
    "for int i in [0:1] { rx(0.5 * i) q[i + 1]; }\nlet a = q[0:1] ++ q[2];\n"
    "gate g(t) x, y { ctrl @ rz(t) x, y; }\ninv @ g(pi / 4) a[0], a[2];\nc = measure q;\n",
    'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[2];\ngate sx a { h a; }\n'
    "sx q[0];\nu3(0.1, 0.2, 0.3) q[1];\ncx q, q;\nmeasure q -> c;\nreset q[0];\n",
]
QASM_SNIPPETS = [
    "for int i in [0:10**9] { }", "gate g a { g a; }", 'include "/etc/passwd";', 'include "../x.inc";',
    "/*", "*/", "let b = q ++ q;", "c[0] = measure q[0];", "rx(float(c[0])) q[0];",
    "pow(1e300) @ x q[0];", "ctrl(40) @ x q[0];", "qubit[100000000] r;", "x q[-1];", "}", "{",
    "def f(qubit a) { x a; }", "f(q[0]);", "box { x q[0]; }", "input float t;", "rx(1e300 * t) q[0];",
    "bit[1000000000] big;", "x q[1 / 0];", "rx(1 / 0) q[0];", "array[int, 3] a = {1, 2, 3};",
    "while (true) { }", "if (c[0]) x q[0];", 'defcalgrammar "openpulse";', "gphase(pi);", "x $0;",
]
QASM_NUMBERS = ["0", "-1", "1e300", "10**9", "2**64", "nan", "31", "32", "100000000", "0.5", "-2"]


@st.composite
def _mutated_qasm(draw):
    lines = draw(st.sampled_from(QASM_SEEDS)).splitlines()
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["snippet", "number", "duplicate", "delete", "swap"]))
        at = draw(st.integers(0, len(lines) - 1))
        if kind == "snippet":
            lines.insert(at, draw(st.sampled_from(QASM_SNIPPETS)))
        elif kind == "number":
            parts = re.split(r"(\d+(?:\.\d+)?)", lines[at])
            if len(parts) > 1:
                parts[draw(st.integers(0, len(parts) // 2 - 1)) * 2 + 1] = draw(st.sampled_from(QASM_NUMBERS))
                lines[at] = "".join(parts)
        elif kind == "duplicate":
            lines[at:at] = [lines[at]] * draw(st.integers(1, 50))
        elif kind == "delete" and len(lines) > 1:
            del lines[at]
        elif kind == "swap":
            other = draw(st.integers(0, len(lines) - 1))
            lines[at], lines[other] = lines[other], lines[at]
    return "\n".join(lines)


@settings(max_examples=QASM_EXAMPLES, deadline=None, database=None, derandomize=True,
          suppress_health_check=list(HealthCheck))
@given(text=_mutated_qasm())
def test_hostile_openqasm_raises_value_errors_only(text):
    qasm = pytest.importorskip("vantelo_interop.qasm")
    pytest.importorskip("pyqasm")
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    try:
        qasm.load_qasm(text, max_operations=100_000, max_loop_iterations=10_000)
    except ValueError:
        pass
    finally:
        faulthandler.cancel_dump_traceback_later()
