"""classical_decompose: windows, padding, seasonal means, errors and precision far from zero."""

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


@pytest.mark.parametrize("n,period", [
    (3, None), (4, 2), (5, 2), (6, 3), (8, 4), (9, 4), (10, 5), (24, None), (39, None), (40, None),
    (59, None), (60, None), (79, None), (80, None), (100, 7), (100, 12), (101, 50), (1000, 24), (1001, None),
])
def test_matches_reference(n, period):
    x = series(n, seed=n)
    got = decompose(x, period)
    for part, want in zip(got, classical_decompose(x, period)):
        np.testing.assert_allclose(part, want, rtol=0, atol=1e-11)
    trend, seasonal, residual = got
    # The residual is exactly what the other two parts leave.
    np.testing.assert_array_equal(residual, (x - trend) - seasonal)


def test_three_values():
    trend, seasonal, residual = decompose(np.array([1.0, 2.0, 6.0]))
    assert trend.tolist() == [3.0, 3.0, 3.0]
    assert seasonal.tolist() == [0.0, 0.0, 0.0]
    assert residual.tolist() == [-2.0, -1.0, 3.0]


def test_even_period_uses_half_weight_ends():
    x = np.array([3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0])
    trend, _, _ = decompose(x, 4)
    assert trend[2] == pytest.approx((x[0] / 2 + x[1] + x[2] + x[3] + x[4] / 2) / 4, rel=1e-15)
    assert trend[0] == trend[1] == trend[2]
    assert trend[7] == trend[6] == trend[5]
    assert trend[5] == pytest.approx((x[3] / 2 + x[4] + x[5] + x[6] + x[7] / 2) / 4, rel=1e-15)


@pytest.mark.parametrize("n,period,weights", [
    (39, None, [1 / 3] * 3),
    (40, None, [1 / 5] * 5),
    (59, None, [1 / 5] * 5),
    (60, None, [1 / 7] * 7),
    (999, None, [1 / 99] * 99),
    (1000, None, [1 / 101] * 101),
    (30, 5, [1 / 5] * 5),
    (30, 4, [1 / 8, 1 / 4, 1 / 4, 1 / 4, 1 / 8]),
    (50, 15, [1 / 15] * 15),
    (30, 16, [1 / 3] * 3),  # above n / 2: default window
])
def test_window_from_an_impulse(n, period, weights):
    x = np.zeros(n)
    c = n // 2
    x[c] = 1.0
    trend = decompose(x, period)[0]
    h = len(weights) // 2
    expected = np.zeros(n)
    expected[c - h:c + h + 1] = weights
    np.testing.assert_allclose(trend, expected, rtol=0, atol=1e-15)


@pytest.mark.parametrize("n,period", [(9, 5), (10, 6), (7, 4), (50, 2**64 - 1)])
def test_unusable_period_is_ignored(n, period):
    x = series(n)
    trend, seasonal, residual = decompose(x, period)
    assert not seasonal.any()
    for part, plain in zip((trend, seasonal, residual), decompose(x)):
        np.testing.assert_array_equal(part, plain)


@pytest.mark.parametrize("period", [2, 3, 7, 12, 24])
def test_seasonal_is_periodic_and_centred(period):
    x = series(500, seed=period, period=period)
    _, seasonal, _ = decompose(x, period)
    np.testing.assert_array_equal(seasonal, np.resize(seasonal[:period], 500))
    assert abs(seasonal[:period].sum()) <= 1e-12
    assert np.ptp(seasonal) > 1.0  # the sine was found


@pytest.mark.parametrize("level", [0.0, -3.25, 1e9 + 0.5])
@pytest.mark.parametrize("period", [None, 7, 12])
def test_constant_series(level, period):
    trend, seasonal, residual = decompose(np.full(100, level), period)
    assert np.all(trend == level)
    assert not seasonal.any() and not residual.any()


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
    ([], None, E_SHORT),
    ([1.0, 2.0], None, E_SHORT),
    ([1.0, 2.0], 1, E_SHORT),
    ([np.nan, 2.0], 0, E_SHORT),
    ([1.0, np.nan, 2.0], None, E_FINITE),
    ([1.0, 2.0, np.inf, 3.0], 0, E_FINITE),
    ([-np.inf, 2.0, 3.0], 2, E_FINITE),
    ([1.0, 2.0, 3.0], 0, E_PERIOD),
    ([1.0, 2.0, 3.0], 1, E_PERIOD),
    (np.arange(100_000.0), 1, E_PERIOD),
    (np.arange(100_000.0), 0, E_PERIOD),
])
def test_errors_in_order(values, period, message):
    assert_error(raised(decompose, np.asarray(values, dtype=np.float64), period), ValueError, message)


def test_results_are_float64_arrays_of_the_input_length():
    x = series(37)
    parts = decompose(x, 6)
    assert type(parts) is tuple and len(parts) == 3
    for part in parts:
        assert type(part) is np.ndarray and part.dtype == np.float64 and part.shape == (37,)
