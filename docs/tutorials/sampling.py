"""Histograms of whole-register samples: a GHZ state, and a QFT that reads
out a phase (phase estimation without the oracle), against the exact
probabilities."""

import collections
import math
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

from vantelo import Circuit, Gate

FIGURE = Path(__file__).resolve().parent.parent / "figures" / "sampling.png"
SHOTS = 4000

# GHZ on 5 qubits: H, then a CX chain. Only |00000> and |11111> can occur.
n_ghz = 5
ghz = Circuit([Gate.h(0)] + [Gate.cx(q, q + 1) for q in range(n_ghz - 1)])
ghz_counts = collections.Counter(ghz.sample(n_ghz, SHOTS))
assert set(ghz_counts) <= {0, 2**n_ghz - 1}

# Phase readout on 6 qubits. H on every qubit and a phase 2*pi*f*2^q on qubit q
# make amplitude x proportional to exp(2*pi*i*f*x); the inverse QFT then
# concentrates the probability near x = f * 2^n. Qubit 0 is the least
# significant bit, so qubit n-1 is the most significant one.
n = 6
f = 0.305
gates = [Gate.h(q) for q in range(n)] + [Gate.p(q, 2 * math.pi * f * 2**q) for q in range(n)]
for q in range(n // 2):
    gates.append(Gate.swap(q, n - 1 - q))
for j in range(n):
    for k in range(j):
        gates.append(Gate.cp(k, j, -math.pi / 2 ** (j - k)))
    gates.append(Gate.h(j))
qft = Circuit(gates)

# Exact probabilities in double precision: the inverse QFT is the discrete
# Fourier transform with the negative exponent, NumPy's fft, scaled by 1/sqrt(N).
N = 2**n
x = np.arange(N)
exact = np.abs(np.fft.fft(np.exp(2j * np.pi * f * x) / N)) ** 2
state = qft.run(n)
assert np.allclose(np.abs(state) ** 2, exact, atol=1e-5), "QFT circuit disagrees with the exact transform"
qft_counts = collections.Counter(qft.sample(n, SHOTS))
print(f"GHZ counts {dict(ghz_counts)}; QFT mode at {max(qft_counts, key=qft_counts.__getitem__)} "
      f"(f * 2^n = {f * N:.1f})")

fig, (ax_ghz, ax_qft) = plt.subplots(1, 2, figsize=(11, 4), gridspec_kw={"width_ratios": [1, 2]})
labels = [format(0, f"0{n_ghz}b"), format(2**n_ghz - 1, f"0{n_ghz}b")]
ax_ghz.bar(labels, [ghz_counts[0] / SHOTS, ghz_counts[2**n_ghz - 1] / SHOTS], color="tab:blue")
ax_ghz.axhline(0.5, color="black", linestyle="--", label="exact 1/2")
ax_ghz.set_ylabel("frequency")
ax_ghz.set_title(f"GHZ, {n_ghz} qubits, {SHOTS} samples")
ax_ghz.legend()
ax_qft.bar(x, [qft_counts[int(k)] / SHOTS for k in x], color="tab:blue", label="samples")
ax_qft.plot(x, exact, "k.", label="exact probability")
ax_qft.axvline(f * N, color="grey", linestyle=":", label=f"f * 2^n = {f * N:.1f}")
ax_qft.set_xlabel("basis state (integer, qubit 0 = least significant bit)")
ax_qft.set_ylabel("frequency")
ax_qft.set_title(f"inverse QFT of a phase f = {f}, {n} qubits, {SHOTS} samples")
ax_qft.legend()
fig.tight_layout()
fig.savefig(FIGURE, dpi=110)
