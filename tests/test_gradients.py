"""Gradients of parameters that drive several rotations (each rotation is
shifted alone and the terms are summed per parameter in plan order), judged
against double-precision central differences and against the same circuit
with one parameter per rotation; results identical on every pool size."""

import json

import numpy as np
import pytest

import reference as ref
from compiled_helpers import build, make_observable, same

ROTATIONS = ("rx", "ry", "rz", "p")
CYCLE = [(0, 1), (1, 2), (2, 3), (0, 3)]
QAOA = ([("h", q) for q in range(4)]
        + [it for i, j in CYCLE for it in (("cx", i, j), ("rz", j, 0), ("cx", i, j))]
        + [("rx", q, 1) for q in range(4)])
QAOA_TERMS = [(1.0, [("Z", i), ("Z", j)]) for i, j in CYCLE]
# Parameter 0 drives all four kinds, parameter 2 none.
MIXED = [("h", 0), ("h", 1), ("rx", 0, 0), ("cx", 0, 1), ("ry", 1, 0), ("rz", 2, 0), ("h", 2),
         ("p", 1, 0), ("cz", 1, 2), ("ry", 2, 1), ("rx", 1, 1), ("cx", 2, 0), ("rz", 0, 0)]
MIXED_TERMS = [(0.5, [("Z", 0)]), (-1.25, [("X", 1), ("Y", 2)]), (2.0, [("Z", 0), ("Z", 2)]),
               (0.75, [])]
CASES = {"qaoa": (4, QAOA, 2, QAOA_TERMS), "mixed": (3, MIXED, 3, MIXED_TERMS)}


def one_param_per_rotation(items):
    """The same plan with the j-th rotation reading its own parameter j, and
    the original parameter of every new one."""
    out, owner = [], []
    for item in items:
        if item[0] in ROTATIONS:
            out.append((item[0], item[1], len(owner)))
            owner.append(item[2])
        else:
            out.append(item)
    return out, owner


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("seed", range(3))
def test_shared_parameters_against_central_differences(case, seed):
    n, items, count, terms = CASES[case]
    params = np.random.default_rng(seed).uniform(-np.pi, np.pi, count).astype(np.float32)
    c = build(n, items, count)
    value, grad = c.value_and_gradient(params, make_observable(terms))
    want = ref.central_differences(n, items, params, terms)
    scale = sum(abs(t[0]) for t in terms)
    assert np.allclose(grad, want, rtol=0, atol=2e-6 * scale * len(items))
    assert value == pytest.approx(ref.expectation64(ref.run64(n, items, params), terms), abs=1e-5 * scale)
    # The float32 model of the same rule, and an unused parameter is exactly +0.
    assert np.allclose(grad, ref.value_and_gradient(n, items, params, terms)[1], rtol=0, atol=2e-6 * scale)
    if case == "mixed":
        assert grad[2].tobytes() == np.float32(0).tobytes()


@pytest.mark.parametrize("case", CASES)
def test_shared_entry_is_the_float32_sum_of_per_rotation_entries(case):
    n, items, count, terms = CASES[case]
    obs = make_observable(terms)
    params = np.float32([0.3, 0.4, -1.1])[:count]
    split, owner = one_param_per_rotation(items)
    value, shared = build(n, items, count).value_and_gradient(params, obs)
    split_value, per_rotation = build(n, split, len(owner)).value_and_gradient(params[owner], obs)
    summed = np.zeros(count, dtype=np.float32)
    started = set()
    for j, k in enumerate(owner):
        summed[k] = np.float32(summed[k] + per_rotation[j]) if k in started else per_rotation[j]
        started.add(k)
    assert same(value, split_value) and same(shared, summed)


# Single-use parameters keep the value-shift rule's bits: the entry is half
# the float32 difference of two shifted `expectation` calls. Plain, batch and
# context forms agree on every pool size.
POOL_SCRIPT = """
import json, hashlib, sys
import numpy as np
import vantelo
sys.path.insert(0, {tests!r})
from compiled_helpers import build, make_observable
vantelo.set_num_threads({threads})
n = 10
items = [("h", q) for q in range(n)]
for layer in range(3):
    for q in range(n):
        items.append((("rx", "ry", "rz", "p")[(q + layer) % 4], q, layer * n + q))
    items += [("cx", q, (q + 1) % n) for q in range(n)]
c = build(n, items, 3 * n)
obs = make_observable([(0.5, [("Z", 0), ("Z", 1)]), (-0.3, [("X", 2)]), (1.0, [("Y", 3), ("Z", 9)])])
rows = np.random.default_rng(1).uniform(-3, 3, (5, 3 * n)).astype(np.float32)
s = np.float32(1.5707964)
ok = True
for row in rows:
    v, g = c.value_and_gradient(row, obs)
    for k in range(row.size):
        p, m = row.copy(), row.copy()
        p[k] += s
        m[k] -= s
        ok &= g[k].tobytes() == np.float32((c.expectation(p, obs) - c.expectation(m, obs)) * np.float32(0.5)).tobytes()
values, grads = c.batch_value_and_gradient(rows, obs)
ctx = c.execution_context()
ok &= all(grads[r].tobytes() == ctx.gradient(c, rows[r], obs).tobytes() for r in range(len(rows)))
out = {{"ok": bool(ok), "shift": hashlib.sha256(values.tobytes() + grads.tobytes()).hexdigest()}}
{extra}
print(json.dumps(out))
"""


def pool_results(isolated, threads, extra=""):
    import os
    tests = os.path.dirname(os.path.abspath(__file__))
    proc = isolated(POOL_SCRIPT.format(tests=tests, threads=threads, extra=extra))
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def test_single_use_bits_on_pool_sizes(isolated):
    results = [pool_results(isolated, t) for t in (1, 2, 3)]
    assert all(r["ok"] for r in results)
    assert len({r["shift"] for r in results}) == 1


# ---- Adjoint differentiation ----

@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("seed", range(3))
def test_adjoint_against_central_differences_and_shift(case, seed):
    n, items, count, terms = CASES[case]
    params = np.random.default_rng(10 + seed).uniform(-np.pi, np.pi, count).astype(np.float32)
    c, obs = build(n, items, count), make_observable(terms)
    value, grad = c.adjoint_value_and_gradient(params, obs)
    assert type(value) is float and grad.dtype == np.float32 and grad.shape == (count,)
    assert same(value, c.expectation(params, obs))
    scale = sum(abs(t[0]) for t in terms)
    want = ref.central_differences(n, items, params, terms)
    assert np.allclose(grad, want, rtol=0, atol=2e-6 * scale * len(items))
    assert np.allclose(grad, c.gradient(params, obs), rtol=0, atol=4e-6 * scale * len(items))


@pytest.mark.parametrize("rows", [0, 1, 6])
def test_adjoint_batch_rows_equal_single_calls(rows):
    n, items, count, terms = CASES["mixed"]
    c, obs = build(n, items, count), make_observable(terms)
    block = np.random.default_rng(rows).uniform(-3, 3, (rows, count)).astype(np.float32)
    values, grads = c.batch_adjoint_value_and_gradient(block, obs)
    assert values.shape == (rows,) and grads.shape == (rows, count)
    assert values.dtype == grads.dtype == np.float32
    bb = c.param_batch_buffer(rows)
    bb.numpy()[:] = block
    assert same((values, grads), c.batch_adjoint_value_and_gradient_buffer(bb, obs))
    ctx = c.execution_context()
    for r in range(rows):
        v, g = c.adjoint_value_and_gradient(block[r], obs)
        assert same(np.float32(v), values[r]) and same(g, grads[r])
        assert same((v, g), ctx.adjoint_value_and_gradient(c, block[r], obs))


ADJOINT_EXTRA = """
n = 13  # swept in halves, over 32 product blocks
items = [("h", q) for q in range(n)]
for layer in range(2):
    items += [(("rx", "ry", "rz", "p")[(q + layer) % 4], q, q % 5) for q in range(n)]
    items += [("cx", q, (q + 3) % n) for q in range(n)]
c = build(n, items, 5)
obs = make_observable([(0.5, [("Z", 0), ("Z", 1)]), (-0.3, [("X", 2)]), (1.0, [("Y", 3), ("Z", 12)]), (0.2, [])])
rows = np.random.default_rng(2).uniform(-3, 3, (3, 5)).astype(np.float32)
v, g = c.adjoint_value_and_gradient(rows[0], obs)
bv, bg = c.batch_adjoint_value_and_gradient(rows, obs)
out["adjoint"] = hashlib.sha256(np.float32(v).tobytes() + g.tobytes() + bv.tobytes() + bg.tobytes()).hexdigest()
"""


def test_adjoint_identical_on_pool_sizes(isolated):
    results = [pool_results(isolated, t, ADJOINT_EXTRA) for t in (1, 2, 3, 7)]
    assert len({r["adjoint"] for r in results}) == 1
    assert len({r["shift"] for r in results}) == 1
