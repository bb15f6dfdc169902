"""A NumPy density-matrix model in double precision: the exact oracle for
circuits with channels. Qubit 0 is the least significant bit of an index; in
an operator on targets [t0, t1, …] the first target is the most significant
bit of the operator's index."""

import numpy as np


def embed(op, targets, n):
    """The 2^n × 2^n matrix of `op` on `targets`, the identity elsewhere."""
    idx = np.arange(2 ** n)
    local = np.zeros_like(idx)
    for j, t in enumerate(targets):
        local |= ((idx >> t) & 1) << (len(targets) - 1 - j)
    mask = sum(1 << t for t in targets)
    rest = idx & ~mask
    op = np.asarray(op, dtype=np.complex128)
    return op[local[:, None], local[None, :]] * (rest[:, None] == rest[None, :])


class DensityMatrix:
    def __init__(self, n):
        self.n = n
        self.rho = np.zeros((2 ** n, 2 ** n), dtype=np.complex128)
        self.rho[0, 0] = 1

    def unitary(self, u, targets):
        full = embed(u, targets, self.n)
        self.rho = full @ self.rho @ full.conj().T

    def channel(self, kraus, targets):
        out = np.zeros_like(self.rho)
        for k in kraus:
            full = embed(k, targets, self.n)
            out += full @ self.rho @ full.conj().T
        self.rho = out

    def expectation(self, paulis):
        """Σ c·⟨P⟩ for paulis = [(c, [("X", q), …]), …]."""
        mats = {"X": [[0, 1], [1, 0]], "Y": [[0, -1j], [1j, 0]], "Z": [[1, 0], [0, -1]]}
        total = 0.0
        for c, ops in paulis:
            full = np.eye(2 ** self.n, dtype=np.complex128)
            for p, q in ops:
                full = embed(mats[p], [q], self.n) @ full
            total += c * np.trace(full @ self.rho).real
        return total

    def probabilities(self):
        return np.clip(np.diag(self.rho).real, 0, None)
