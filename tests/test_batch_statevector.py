"""CompiledCircuit.batch_statevector: every row equals statevector of that row."""

import numpy as np
import pytest

from vantelo import CircuitSpec


def plan(num_params):
    spec = CircuitSpec(4)
    params = [spec.param() for _ in range(num_params)]
    spec.h(0)
    spec.cx(0, 3)
    for k, p in enumerate(params):
        getattr(spec, ("rx", "ry", "rz", "p")[k % 4])(k % 4, p)
        spec.cz(k % 4, (k + 1) % 4)
    return spec.compile()


@pytest.mark.parametrize("num_params, rows", [(5, 33), (5, 0), (0, 3)])
def test_rows_equal_single_runs_bit_for_bit(num_params, rows):
    circuit = plan(num_params)
    batch = np.random.default_rng(rows).uniform(-4, 4, (rows, num_params))
    states = circuit.batch_statevector(batch)
    assert states.shape == (rows, 16) and states.dtype == np.complex64
    for r in range(rows):
        np.testing.assert_array_equal(states[r], circuit.statevector(batch[r]))


def test_width_is_checked():
    with pytest.raises(ValueError, match="params_batch has width 3, expected 5"):
        plan(5).batch_statevector(np.zeros((2, 3)))
