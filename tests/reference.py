"""A small NumPy model of the simulator's single-precision arithmetic, used as an
independent oracle by the Python tests. Every product and sum is a separate
float32 operation, in the order the kernels use; qubit 0 is the least
significant bit of an amplitude index."""

import numpy as np

F = np.float32
HALF_PI = F(1.5707964)
INV_SQRT2 = F(0.70710677)

X = np.array([[0, 1], [1, 0]], dtype=np.complex64)
Z = np.array([[1, 0], [0, -1]], dtype=np.complex64)
H = np.array([[INV_SQRT2, INV_SQRT2], [INV_SQRT2, -INV_SQRT2]], dtype=np.complex64)
FIXED_ONE_QUBIT = {"x": X, "h": H, "z": Z}


def cmul(m, x):
    """Complex product with real = x.re*m.re - x.im*m.im, imag = x.re*m.im + x.im*m.re."""
    re = F(F(x.real * m.real) - F(x.imag * m.imag))
    im = F(F(x.real * m.imag) + F(x.imag * m.real))
    return re, im


def zero_state(n):
    psi = np.zeros(2 ** n, dtype=np.complex64)
    psi[0] = 1
    return psi


def apply_one_qubit(psi, q, m):
    """Pairs (j, j + 2^q) updated as y0 = m00*x0 + m01*x1, y1 = m10*x0 + m11*x1."""
    psi = psi.copy()
    idx = np.arange(psi.size)
    lo = idx[(idx >> q) & 1 == 0]
    hi = lo + (1 << q)
    x0, x1 = psi[lo], psi[hi]
    for row, dst in ((0, lo), (1, hi)):
        r0, i0 = cmul(np.complex64(m[row, 0]), x0)
        r1, i1 = cmul(np.complex64(m[row, 1]), x1)
        psi[dst] = (r0 + r1).astype(F) + 1j * (i0 + i1).astype(F)
    return psi.astype(np.complex64)


def controlled(u):
    """Dense 4x4 controlled gate on targets [control, target]; control is the high matrix bit."""
    m = np.eye(4, dtype=np.complex64)
    m[2:, 2:] = u
    return m


def apply_dense(psi, targets, m):
    """The general path: out[i] = sum over columns in increasing order, first target most significant."""
    k = len(targets)
    dim = 1 << k
    out = np.zeros_like(psi)
    idx = np.arange(psi.size)
    row = np.zeros_like(idx)
    base = idx.copy()
    for j, t in enumerate(targets):
        row |= ((idx >> t) & 1) << (k - 1 - j)
        base &= ~(1 << t)
    acc_re = np.zeros(psi.size, dtype=F)
    acc_im = np.zeros(psi.size, dtype=F)
    for col in range(dim):
        src = base.copy()
        for j, t in enumerate(targets):
            if (col >> (k - 1 - j)) & 1:
                src |= 1 << t
        mm = m[row, col]
        x = psi[src]
        acc_re = (acc_re + (mm.real * x.real - mm.imag * x.imag).astype(F)).astype(F)
        acc_im = (acc_im + (mm.real * x.imag + mm.imag * x.real).astype(F)).astype(F)
    out[:] = acc_re + 1j * acc_im
    return out


def rotation(kind, theta):
    theta = F(theta)
    h = F(theta * F(0.5))
    c, s = np.cos(h, dtype=F), np.sin(h, dtype=F)
    if kind == "rx":
        return np.array([[c, -1j * s], [-1j * s, c]], dtype=np.complex64)
    if kind == "ry":
        return np.array([[c, -s], [s, c]], dtype=np.complex64)
    if kind == "rz":
        hm = F(theta * F(-0.5))
        return np.array([[np.cos(hm, dtype=F) + 1j * np.sin(hm, dtype=F), 0], [0, c + 1j * s]],
                        dtype=np.complex64)
    if kind == "p":
        return np.array([[1, 0], [0, np.cos(theta, dtype=F) + 1j * np.sin(theta, dtype=F)]],
                        dtype=np.complex64)
    raise ValueError(kind)


def run(num_qubits, items, params, shifted=None, shift=F(0)):
    """items: ("x"|"h"|"z", q), ("cx"|"cnot"|"cz", c, t) or ("rx"|"ry"|"rz"|"p", q, slot).
    The item at position `shifted` alone is turned by `shift`."""
    psi = zero_state(num_qubits)
    for pos, item in enumerate(items):
        name = item[0]
        if name in FIXED_ONE_QUBIT:
            psi = apply_one_qubit(psi, item[1], FIXED_ONE_QUBIT[name])
        elif name in ("cx", "cnot", "cz"):
            psi = apply_dense(psi, [item[1], item[2]], controlled(X if name != "cz" else Z))
        else:
            theta = F(params[item[2]])
            psi = apply_one_qubit(psi, item[1], rotation(name, F(theta + shift) if pos == shifted else theta))
    return psi


def expectation(psi, terms):
    """terms: list of (coefficient, [(label, qubit), ...]); serial float32 sums."""
    n = psi.size.bit_length() - 1
    total = F(0)
    for coef, ops in terms:
        ops = sorted(ops, key=lambda o: o[1])
        s = F(0)
        for b in range(psi.size):
            a, ph = b, 1 + 0j
            for label, q in ops:
                assert q < n
                v = (b >> q) & 1
                if label in "Xx":
                    a ^= 1 << q
                elif label in "Yy":
                    a ^= 1 << q
                    ph *= 1j if v == 0 else -1j
                elif v:
                    ph = -ph
            w = np.complex64(ph * complex(psi[b]))
            s = F(s + F(F(psi[a].real * w.real) + F(psi[a].imag * w.imag)))
        total = F(total + F(s * F(coef)))
    return total


def value_and_gradient(num_qubits, items, params, terms):
    """The parameter-shift rule one rotation at a time: each rotation's term
    (E+ - E-) * 0.5 is added to its parameter's entry in plan order, the
    first term replacing the entry."""
    params = np.asarray(params, dtype=F)
    value = expectation(run(num_qubits, items, params), terms)
    grad = np.zeros(params.size, dtype=F)
    started = set()
    for pos, item in enumerate(items):
        if item[0] not in ("rx", "ry", "rz", "p"):
            continue
        plus = expectation(run(num_qubits, items, params, pos, HALF_PI), terms)
        minus = expectation(run(num_qubits, items, params, pos, -HALF_PI), terms)
        term = F(F(plus - minus) * F(0.5))
        k = item[2]
        grad[k] = F(grad[k] + term) if k in started else term
        started.add(k)
    return value, grad


# ---- Double precision: the exact model the derivatives are judged by ----

def _rotation64(kind, t):
    c, s = np.cos(t / 2), np.sin(t / 2)
    return {"rx": np.array([[c, -1j * s], [-1j * s, c]]), "ry": np.array([[c, -s], [s, c]]),
            "rz": np.diag([np.exp(-0.5j * t), np.exp(0.5j * t)]),
            "p": np.diag([1, np.exp(1j * t)])}[kind]


def _apply64(psi, n, targets, m):
    """m on targets (first target the most significant matrix bit), complex128."""
    k = len(targets)
    t = psi.reshape([2] * n)
    axes = [n - 1 - q for q in targets]
    t = np.moveaxis(t, axes, list(range(k)))
    shape = t.shape
    t = (np.asarray(m, dtype=np.complex128) @ t.reshape(1 << k, -1)).reshape(shape)
    return np.moveaxis(t, list(range(k)), axes).reshape(-1)


def run64(num_qubits, items, params):
    psi = np.zeros(1 << num_qubits, dtype=np.complex128)
    psi[0] = 1
    for item in items:
        name = item[0]
        if name in FIXED_ONE_QUBIT:
            psi = _apply64(psi, num_qubits, [item[1]], FIXED_ONE_QUBIT[name].astype(np.complex128))
        elif name in ("cx", "cnot", "cz"):
            u = np.array([[0, 1], [1, 0]]) if name != "cz" else np.diag([1, -1])
            psi = _apply64(psi, num_qubits, [item[1], item[2]], controlled(u).astype(np.complex128))
        else:
            psi = _apply64(psi, num_qubits, [item[1]], _rotation64(name, float(params[item[2]])))
    return psi


def expectation64(psi, terms):
    n = psi.size.bit_length() - 1
    mats = {"X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
            "Z": np.diag([1, -1])}
    total = 0.0
    for coef, ops in terms:
        phi = psi
        for label, q in ops:
            phi = _apply64(phi, n, [q], mats[label.upper()])
        total += coef * float(np.vdot(psi, phi).real)
    return total


def central_differences(num_qubits, items, params, terms, h=1e-5):
    """The gradient by central differences of the double-precision model."""
    params = np.asarray(params, dtype=np.float64)
    grad = np.zeros(params.size)
    for k in range(params.size):
        e = []
        for d in (h, -h):
            v = params.copy()
            v[k] += d
            e.append(expectation64(run64(num_qubits, items, v), terms))
        grad[k] = (e[0] - e[1]) / (2 * h)
    return grad
