"""moving_block_bootstrap(_many): exact seeded values from the reference engine, errors."""

import numpy as np
import pytest

from conftest import assert_error, raised
from quillmarten import _lib
from reference import RefEngine

A = _lib.augmentation
BLOCK_MESSAGE = "block_size must be in [2, len(values)]"


def expected(values, block_size, seed, period=None):
    """n / B + 2 block starts, then the offset into the blocks laid end to end."""
    trend, seasonal, residual = A.classical_decompose(values, period)
    n, rng = len(values), RefEngine(seed)
    starts = [rng.int_range(0, n - block_size + 1) for _ in range(n // block_size + 2)]
    offset = rng.int_range(0, block_size)
    blocks = np.concatenate([residual[s:s + block_size] for s in starts])
    return (trend + seasonal) + blocks[offset:offset + n]


def series(n, seed=0):
    rng = np.random.default_rng(seed)
    i = np.arange(n)
    return 5.0 + 0.1 * i + 2.0 * np.sin(2 * np.pi * i / 7) + rng.normal(0, 1, n)


@pytest.mark.parametrize("n,block_size,seed,period", [
    (3, 2, 0, None), (3, 3, 1, None), (50, 7, 2**64 - 1, 7), (200, 200, 9, None), (1001, 64, 77, 12),
])
def test_exact_values(n, block_size, seed, period):
    x = series(n, seed=n)
    one = A.moving_block_bootstrap(x, block_size, seed, period)
    assert one.dtype == np.float64 and one.shape == (n,)
    np.testing.assert_array_equal(one, expected(x, block_size, seed, period))
    many = A.moving_block_bootstrap_many(x, block_size, [seed, seed ^ 1, seed], period=period)
    assert len(many) == 3
    np.testing.assert_array_equal(many[0], one)
    np.testing.assert_array_equal(many[2], one)
    np.testing.assert_array_equal(many[1], expected(x, block_size, seed ^ 1, period))
    assert A.moving_block_bootstrap_many(x, block_size, [], period) == []


OK = series(10)


@pytest.mark.parametrize("values,block_size,period,message", [
    (np.array([1.0, 2.0]), 1, None, "values must contain at least 3 observations"),
    (np.r_[OK, np.nan], 1, None, "values must contain only finite observations"),
    (OK, 0, 1, "period must be >= 2 when provided"),
    (OK, 1, None, BLOCK_MESSAGE),
    (OK, 11, 2, BLOCK_MESSAGE),
])
@pytest.mark.parametrize("seeds", [None, [0, 1], []])  # None: the single-seed function
def test_value_errors(values, block_size, period, message, seeds):
    if seeds is None:
        exc = raised(A.moving_block_bootstrap, values, block_size, 0, period)
    else:
        exc = raised(A.moving_block_bootstrap_many, values, block_size, seeds, period)
    assert_error(exc, ValueError, message)
