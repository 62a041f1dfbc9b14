"""compute_features, compute_feature_set and compute_feature_set_batch: known answers,
NaN/zero rules, a numpy reference of the twelve-value row, panel offsets and workers."""

import math

import numpy as np
import pytest

from conftest import assert_error, raised
from quillmarten import _lib
from reference import EPS, classical_decompose, median_crossings, popvar, spectral_features, window_features

A = _lib.augmentation


# ---------------------------------------------------------------------------
# A straightforward numpy version of the twelve-value row, written independently
# (with the parts it shares with the benchmark from reference.py).

def acf(z, lag):
    c = z - z.mean()
    s = np.sum(c * c)
    if lag >= len(z):
        return math.nan
    return 0.0 if s <= EPS else np.sum(c[lag:] * c[:len(z) - lag]) / s


def ref_row(x, period=None, window_size=None):
    x = np.asarray(x, float)
    n = len(x)
    z = np.zeros(n)
    if np.abs(x).max() > 0:
        y = x / np.abs(x).max()
        if y.var() != 0.0:
            z = (y - y.mean()) / y.std()
    masked = period is not None and period > n // 2
    row = spectral_features(z, period)
    if masked:
        row[1] = row[2] = math.nan
    row.append(math.nan if n < 11 else sum(acf(z, k) ** 2 for k in range(1, 11)))
    row.append(acf(np.diff(z), 1))
    row.append(0.0 if period is None else acf(z, period))
    if masked:
        row.append(math.nan)
    else:
        r = classical_decompose(z, period)[2]
        row.append(popvar(np.array([popvar(np.delete(r, i)) for i in range(n)])))
    w = window_size or period or 10
    row += [math.nan] * 3 if w > n // 2 else window_features(z, w)
    row.append(median_crossings(z))
    return row


def noisy(n, seed, period=7):
    rng = np.random.default_rng(seed)
    i = np.arange(n)
    return 50.0 + 0.02 * i + 2.0 * np.sin(2 * np.pi * i / period) + rng.standard_normal(n)


def test_impulse_known_answer():
    entropy, trend, seasonal, acf1 = A.compute_features(np.array([1.0, 0.0, 0.0, 0.0]))
    assert entropy == pytest.approx(1.0, abs=1e-15)  # two bins of equal power
    assert trend == pytest.approx(8 / 27, rel=1e-14)
    assert seasonal == 0.0
    assert acf1 == pytest.approx(-1 / 12, rel=1e-14)


@pytest.mark.parametrize("x,period", [
    (np.full(30, 0.1), None),  # the mean of 0.1s is not exactly 0.1: a rounding-level variance
    (np.full(30, 0.1), 6),
    (np.full(31, -3.7), None),
    (1.0 + 1e-9 * np.random.default_rng(3).standard_normal(64), 8),  # variance ~1e-18 <= eps
])
def test_flat_series_give_exact_zeros(x, period):
    assert A.compute_features(x, period) == (0.0, 0.0, 0.0, 0.0)
    if np.ptp(x) == 0.0:  # the row rescales first, so only a constant series is flat there
        assert A.compute_feature_set(x, period) == [0.0] * 12


@pytest.mark.parametrize("n,period,window", [
    (3, None, None), (4, None, 2), (9, 4, None), (10, None, None), (11, None, None), (20, 15, 4), (20, 25, 4),
    (21, 10, None), (50, 7, 5), (256, 24, None),
])
def test_features_and_row_match_reference(n, period, window):
    x = noisy(n, n, period or 7)
    np.testing.assert_allclose(A.compute_features(x, period), spectral_features(x, period), rtol=1e-9, atol=1e-12)
    got, want = A.compute_feature_set(x, period, window), ref_row(x, period, window)
    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12, equal_nan=True)
    assert got[11] == want[11]


SHORT, FINITE = "values must contain at least 3 observations", "values must contain only finite observations"
PERIOD, WINDOW = "period must be >= 2 when provided", "window_size must be >= 2 when provided"
SET_FINITE = "values must be non-empty and finite"


@pytest.mark.parametrize("values,period,window,features_error,set_error", [
    ([], None, None, SHORT, SET_FINITE),
    ([4.0], 5, 3, SHORT, None),  # None: one or two values give a row of NaN
    ([1.0], 1, None, SHORT, PERIOD),
    ([1.0, 2.0], None, 1, SHORT, WINDOW),
    ([1.0, math.nan, 2.0], 0, 0, FINITE, SET_FINITE),
    (list(range(50)), 1, 0, PERIOD, PERIOD),
    ([1.0, 2.0, 3.0, 4.0], 2, 0, None, WINDOW),
])
def test_errors_in_check_order(values, period, window, features_error, set_error):
    x = np.array(values, float)
    if features_error is not None:
        assert_error(raised(A.compute_features, x, period), ValueError, features_error)
    if set_error is None:
        assert np.isnan(A.compute_feature_set(x, period, window)).all()
    else:
        assert_error(raised(A.compute_feature_set, x, period, window), ValueError, set_error)


# ---------------------------------------------------------------------------
# compute_feature_set_batch

def panel(lengths, seed=0):
    rng = np.random.default_rng(seed)
    parts = [noisy(n, int(rng.integers(1 << 30))) * rng.uniform(0.1, 10) for n in lengths]
    offsets = np.r_[0, np.cumsum(lengths)].astype(np.int64)
    return np.concatenate(parts), offsets, parts


PANEL_LENGTHS = [40, 3, 1, 120, 2, 19, 20, 64, 7, 300, 11, 40, 10, 365, 5]


@pytest.mark.parametrize("period,window", [(None, None), (7, None), (12, 6)])
def test_batch_equals_rows_for_every_worker_count(period, window):
    values, offsets, parts = panel(PANEL_LENGTHS, seed=period or 1)
    expected = np.concatenate([A.compute_feature_set(p, period, window) for p in parts])
    for n_workers in (0, 1, 8):
        got = A.compute_feature_set_batch(values, offsets, period, window, n_workers)
        assert got.dtype == np.float64 and got.shape == (12 * len(parts),)
        np.testing.assert_array_equal(got, expected)  # NaN matches NaN


ORDER = "offsets must increase strictly from 0 to len(values)"


@pytest.mark.parametrize("n_values,offsets,message", [
    (0, [], ORDER), (0, [0], ORDER), (10, [0, 3, 3, 10], ORDER), (10, [0, 5], ORDER), (10, [0, 11], ORDER),
    (10, [1, 10], ORDER), (10, [0, 6, 4, 10], ORDER),
    (10, [0, -1, 10], "offsets must be non-negative"),
    (10, [0, 3, 3, -1], "offsets must be non-negative"),  # before the order is looked at
])
def test_batch_offset_errors(n_values, offsets, message):
    exc = raised(A.compute_feature_set_batch, np.arange(float(n_values)), np.array(offsets, np.int64))
    assert_error(exc, ValueError, message)


@pytest.mark.parametrize("period,window,poison,message", [
    (1, None, False, PERIOD),
    (None, 1, False, WINDOW),
    (None, None, True, SET_FINITE),
])
@pytest.mark.parametrize("n_workers", [0, 3])
def test_batch_series_errors(period, window, poison, message, n_workers):
    values, offsets, _ = panel(PANEL_LENGTHS)
    if poison:
        values[offsets[9] + 17] = math.nan
    exc = raised(A.compute_feature_set_batch, values, offsets, period, window, n_workers)
    assert_error(exc, ValueError, message)


@pytest.mark.parametrize("scale", [1.0, 1e-8, 1e-170, 2.0**-1060])
def test_acf1_is_judged_at_the_series_own_scale(scale):
    # A shape keeps its lag-1 autocorrelation at any scale, even where its
    # squares underflow; a constant's rounding noise stays 0.
    assert A.compute_features(np.array([0, 1, 2, 3, 2, 1]) * scale)[3] == pytest.approx(7 / 22, rel=1e-12)
    assert A.compute_features(np.full(30, 0.1) * scale)[3] == 0.0
