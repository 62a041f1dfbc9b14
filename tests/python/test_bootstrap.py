"""moving_block_bootstrap(_many): exact seeded values from the reference engine, structure, errors."""

import numpy as np
import pytest

from conftest import assert_error, raised
from quillmarten import _lib
from reference import RefEngine

A = _lib.augmentation
BLOCK_MESSAGE = "block_size must be in [2, len(values)]"


def expected(values, block_size, seed, period=None):
    trend, seasonal, residual = A.classical_decompose(values, period)
    n, rng = len(values), RefEngine(seed)
    starts = [rng.int_range(0, n - block_size + 1) for _ in range(n // block_size + 2)]
    offset = rng.int_range(0, block_size)
    blocks = np.concatenate([residual[s:s + block_size] for s in starts])
    return (trend + seasonal) + blocks[offset:offset + n], starts, offset


def series(n, seed=0):
    rng = np.random.default_rng(seed)
    i = np.arange(n)
    return 5.0 + 0.1 * i + 2.0 * np.sin(2 * np.pi * i / 7) + rng.normal(0, 1, n)


@pytest.mark.parametrize("n,block_size,seed,period", [
    (3, 2, 0, None), (3, 3, 1, None), (10, 3, 42, None), (50, 7, 2**64 - 1, 7), (200, 200, 9, None),
    (365, 30, 123456789, 7), (1000, 2, 5, 12), (1001, 64, 77, None),
])
def test_exact_values(n, block_size, seed, period):
    x = series(n, seed=n)
    want, _, _ = expected(x, block_size, seed, period)
    one = A.moving_block_bootstrap(x, block_size, seed, period)
    assert one.dtype == np.float64 and one.shape == (n,)
    np.testing.assert_array_equal(one, want)
    many = A.moving_block_bootstrap_many(x, block_size, [seed, seed ^ 1, seed], period=period)
    assert len(many) == 3 and all(m.shape == (n,) for m in many)
    np.testing.assert_array_equal(many[0], one)
    np.testing.assert_array_equal(many[2], one)
    np.testing.assert_array_equal(many[1], expected(x, block_size, seed ^ 1, period)[0])


def test_block_structure():
    x = series(60, seed=3)
    trend, seasonal, residual = A.classical_decompose(x, 6)
    for seed in range(20):
        out = A.moving_block_bootstrap(x, 8, seed, 6)
        _, starts, offset = expected(x, 8, seed, 6)
        assert all(0 <= s <= 52 for s in starts) and 0 <= offset < 8
        # What is added back is residual runs of length 8 (the first cut by the offset).
        added = out - (trend + seasonal)
        pos = 0
        for b, s in enumerate(starts):
            take = residual[s + (offset if b == 0 else 0):s + 8][:60 - pos]
            np.testing.assert_allclose(added[pos:pos + len(take)], take, rtol=0, atol=1e-12)
            pos += len(take)
            if pos == 60:
                break
    # A block of the whole series leaves a rotation of the residuals.
    out = A.moving_block_bootstrap(x, 60, 11, 6)
    added = out - (trend + seasonal)
    offset = expected(x, 60, 11, 6)[2]
    np.testing.assert_allclose(added, np.roll(residual, -offset), rtol=0, atol=1e-12)


def test_seeds_as_any_integer_sequence():
    x = series(40)
    want = A.moving_block_bootstrap_many(x, 5, [1, 2, 3])
    for seeds in ((1, 2, 3), np.array([1, 2, 3], dtype=np.uint64), [np.int64(1), 2, 3]):
        got = A.moving_block_bootstrap_many(x, 5, seeds)
        assert all(np.array_equal(g, w) for g, w in zip(got, want))
    assert A.moving_block_bootstrap_many(x, 5, []) == []
    assert not np.array_equal(want[0], want[1])


OK = series(10)


@pytest.mark.parametrize("values,block_size,period,message", [
    (np.array([1.0, 2.0]), 1, None, "values must contain at least 3 observations"),
    (np.r_[OK, np.nan], 1, None, "values must contain only finite observations"),
    (OK, 0, 1, "period must be >= 2 when provided"),
    (OK, 1, None, BLOCK_MESSAGE),
    (OK, 0, None, BLOCK_MESSAGE),
    (OK, 11, 2, BLOCK_MESSAGE),
])
def test_value_errors(values, block_size, period, message):
    for call in (lambda: A.moving_block_bootstrap(values, block_size, 0, period),
                 lambda: A.moving_block_bootstrap_many(values, block_size, [0, 1], period),
                 lambda: A.moving_block_bootstrap_many(values, block_size, [], period)):
        exc = raised(call)
        assert type(exc) is ValueError and str(exc) == message


@pytest.mark.parametrize("fn,args,kind,text,note", [
    ("moving_block_bootstrap", (list(OK), 2, 0), TypeError, None, "values"),
    ("moving_block_bootstrap", (OK, -2, 0), OverflowError, None, "block_size"),
    ("moving_block_bootstrap", (OK, 2, -1), OverflowError, None, "seed"),
    ("moving_block_bootstrap", (OK, 2, 2**64), OverflowError, None, "seed"),
    ("moving_block_bootstrap", (OK, 2, 0, 1.5), TypeError, None, "period"),
    ("moving_block_bootstrap_many", (OK, 2, "12"), TypeError, "Can't extract `str` to `Vec`", "seeds"),
    ("moving_block_bootstrap_many", (OK, 2, 5), TypeError, None, "seeds"),
    ("moving_block_bootstrap_many", (OK, 2, [0, -1]), OverflowError, None, "seeds"),
    ("moving_block_bootstrap_many", (OK[::2], 2, [0]), TypeError,
     "The given array is not contiguous or is misaligned.", None),
])
def test_argument_errors(fn, args, kind, text, note):
    assert_error(raised(getattr(A, fn), *args), kind, text, note)


def test_input_untouched():
    x = series(30)
    keep = x.copy()
    A.moving_block_bootstrap_many(x, 4, range(5))
    np.testing.assert_array_equal(x, keep)
