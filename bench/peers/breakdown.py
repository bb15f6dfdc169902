"""Timer breakdown behind the peer comparison: passes of the layered circuit
by kind, and how a 100,000-shot sample splits between the run and the
sampling itself. Run with the module importable (make module)."""
import sys, time, statistics
import numpy as np
import vantelo
from vantelo import Circuit, Gate
vantelo.set_num_threads(2)
n, depth = 20, 20
rng = np.random.default_rng(0)
rot, cx = [], []
for d in range(depth):
    for q in range(n):
        rot.append(getattr(Gate, str(rng.choice(["rx", "ry", "rz"])))(q, float(rng.uniform(-3, 3))))
    for q in range(d % 2, n - 1, 2):
        cx.append(Gate.cx(q, q + 1))
def med(f, r=5):
    f(); ts=[]
    for _ in range(r):
        t=time.perf_counter(); f(); ts.append(time.perf_counter()-t)
    return statistics.median(ts)
empty = med(lambda: Circuit([]).run(n))
t_rot = med(lambda: Circuit(rot).run(n)) - empty
t_cx = med(lambda: Circuit(cx).run(n)) - empty
a = np.zeros(2**n, np.complex64)
floor = med(lambda: a.__imul__(np.complex64(1)))
print(f"n={n} depth={depth}: state creation {empty*1e3:.2f} ms")
print(f"  {len(rot)} rotations: {t_rot*1e3:.1f} ms = {t_rot/len(rot)*1e6:.0f} us/pass ({t_rot/len(rot)/floor:.2f} x floor)")
print(f"  {len(cx)} cx: {t_cx*1e3:.1f} ms = {t_cx/len(cx)*1e6:.0f} us/pass ({t_cx/len(cx)/floor:.2f} x floor)")
print(f"  floor (numpy RMW, 1 thread) {floor*1e6:.0f} us")
# sampling
c = Circuit([Gate.h(q) for q in range(n)] + [Gate.rz(q, 0.3*q) for q in range(n)])
t_run = med(lambda: c.run(n))
t_sample = med(lambda: c.sample(n, 100000))
print(f"sample n={n} 100k shots: total {t_sample*1e3:.1f} ms, of which the run {t_run*1e3:.1f} ms, sampling {(t_sample-t_run)*1e3:.1f} ms")
