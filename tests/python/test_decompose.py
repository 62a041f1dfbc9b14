"""classical_decompose: the plain-convolution reference checked by hand, the engine against it,
errors and precision far from zero."""

import math

import numpy as np
import pytest

from conftest import assert_error, raised
from quillmarten import _lib
from reference import classical_decompose

decompose = _lib.augmentation.classical_decompose


def series(n, seed=0, period=12):
    rng = np.random.default_rng(seed)
    i = np.arange(n)
    return 10.0 + 0.05 * i + 3.0 * np.cos(2 * np.pi * i / period) + rng.normal(0.0, 0.5, n)


@pytest.mark.parametrize("x,period,trend", [
    ([1.0, 2.0, 6.0], None, [3.0, 3.0, 3.0]),
    # even period: half weights on the window's two ends, the edges repeat the nearest value
    ([3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0], 4, [2.5, 2.5, 2.5, 3.75, 4.5, 4.875, 4.875, 4.875]),
    # an impulse far from zero shows the default window (n // 10 | 1 = 5 values) and no lost digits
    ([1e9] * 20 + [1e9 + 5.0] + [1e9] * 19, None, [1e9] * 18 + [1e9 + 1.0] * 5 + [1e9] * 17),
])
def test_reference_by_hand(x, period, trend):
    x = np.array(x)
    t, s, r = classical_decompose(x, period)
    np.testing.assert_array_equal(t, trend)
    np.testing.assert_array_equal(r, (x - t) - s)
    assert not s.any() if period is None else abs(s[:period].sum()) <= 1e-12
    np.testing.assert_array_equal(s, np.resize(s[:(period or len(x))], len(x)))


@pytest.mark.parametrize("n,period", [
    (3, None), (4, 2), (9, 4), (9, 5), (10, 5), (10, 6), (59, None), (60, None), (100, 7), (101, 50),
    (1000, 24), (1001, None), (50, 2**64 - 1),
])
def test_matches_reference(n, period):
    x = series(n, seed=n)
    got = decompose(x, period)
    assert type(got) is tuple and all(p.dtype == np.float64 and p.shape == (n,) for p in got)
    for part, want in zip(got, classical_decompose(x, period)):
        np.testing.assert_allclose(part, want, rtol=0, atol=1e-11)
    trend, seasonal, residual = got
    # The residual is exactly what the other two parts leave.
    np.testing.assert_array_equal(residual, (x - trend) - seasonal)


@pytest.mark.parametrize("kind", ["level", "ramp"])
@pytest.mark.parametrize("period", [24, 25])
def test_trend_exact_to_a_few_ulps_far_from_zero(kind, period):
    # Unit noise on a level of 1e9, or on a ramp up to 1e9, over a long series:
    # a plain running sum drifts by a hundred ulps and more; the trend must stay
    # within a few ulps of the exactly summed window.
    n = 200_000
    rng = np.random.default_rng(1)
    base = np.full(n, 1e9) if kind == "level" else np.linspace(0.0, 1e9, n)
    x = base + rng.normal(0.0, 1.0, n)
    trend = decompose(x, period)[0]
    h = period // 2
    weights = [0.5] + [1.0] * (period - 1) + [0.5] if period % 2 == 0 else [1.0] * period
    for i in rng.integers(h, n - h, 300):
        exact = math.fsum(w * v for w, v in zip(weights, x[i - h:i + h + 1])) / period
        assert abs(trend[i] - exact) <= 4 * math.ulp(exact), i


E_SHORT = "values must contain at least 3 observations"
E_FINITE = "values must contain only finite observations"
E_PERIOD = "period must be >= 2 when provided"


@pytest.mark.parametrize("values,period,message", [
    ([1.0, 2.0], 1, E_SHORT),
    ([np.nan, 2.0], 0, E_SHORT),
    ([1.0, np.nan, 2.0], None, E_FINITE),
    ([1.0, 2.0, np.inf, 3.0], 0, E_FINITE),
    ([1.0, 2.0, 3.0], 1, E_PERIOD),
])
def test_errors_in_order(values, period, message):
    assert_error(raised(decompose, np.asarray(values, dtype=np.float64), period), ValueError, message)
