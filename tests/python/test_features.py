"""compute_features, compute_feature_set and compute_feature_set_batch: known answers,
NaN/zero rules, a numpy reference of the twelve-value row, panel offsets and threads."""

import math
import random
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from quillmarten import _lib
from reference import EPS, classical_decompose, median_crossings, popvar, spectral_features, window_features

A = _lib.augmentation
NAN12 = [math.nan] * 12


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
    if n < 3:
        return NAN12
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


def same(a, b):
    """Element-wise equality with NaN equal to NaN."""
    np.testing.assert_array_equal(np.asarray(a, float), np.asarray(b, float))


# ---------------------------------------------------------------------------
# compute_features

def test_impulse_known_answer():
    entropy, trend, seasonal, acf1 = A.compute_features(np.array([1.0, 0.0, 0.0, 0.0]))
    assert entropy == pytest.approx(1.0, abs=1e-15)
    assert trend == pytest.approx(8 / 27, rel=1e-14)
    assert seasonal == 0.0
    assert acf1 == pytest.approx(-1 / 12, rel=1e-14)


def test_three_values_skip_the_transform():
    # Window 3 covers the whole series: trend + residual is the series itself.
    assert A.compute_features(np.array([1.0, 2.0, 6.0])) == pytest.approx((0.0, 0.0, 0.0, -1 / 14), abs=1e-15)


@pytest.mark.parametrize("x,period", [
    (np.full(30, 0.1), None),  # mean of 0.1s is not exactly 0.1: a rounding-level variance
    (np.full(30, 0.1), 6),
    (np.full(17, -3.7), None),
    (np.zeros(8), 4),
    (1.0 + 1e-9 * np.random.default_rng(3).standard_normal(64), 8),  # variance ~1e-18 <= eps
])
def test_flat_series_give_exact_zeros(x, period):
    assert A.compute_features(x, period) == (0.0, 0.0, 0.0, 0.0)


def test_exact_bin_cosine_has_no_entropy_and_noise_has_much():
    n = 64
    tone = np.cos(2 * np.pi * 5 * np.arange(n) / n)
    assert A.compute_features(tone)[0] == pytest.approx(0.0, abs=1e-12)
    assert A.compute_features(np.random.default_rng(0).standard_normal(4096))[0] > 0.9


@pytest.mark.parametrize("n,period", [(10, 6), (30, 16), (31, 30)])
def test_period_above_half_is_ignored(n, period):
    x = noisy(n, n)
    with_period = A.compute_features(x, period)
    assert with_period[2] == 0.0
    assert with_period == A.compute_features(x)


@pytest.mark.parametrize("n,period", [(4, None), (9, 4), (50, None), (64, 7), (101, 12), (500, 24), (1000, None)])
def test_compute_features_matches_reference(n, period):
    x = noisy(n, n, period or 7)
    np.testing.assert_allclose(A.compute_features(x, period), spectral_features(x, period), rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("values,period,message", [
    ([], None, "values must contain at least 3 observations"),
    ([1.0, 2.0], 1, "values must contain at least 3 observations"),
    ([1.0, math.nan, 2.0], None, "values must contain only finite observations"),
    ([1.0, 2.0, math.inf], 0, "values must contain only finite observations"),
    ([1.0, 2.0, 3.0], 1, "period must be >= 2 when provided"),
    (list(range(100)), 0, "period must be >= 2 when provided"),
])
def test_compute_features_errors(values, period, message):
    with pytest.raises(ValueError) as e:
        A.compute_features(np.array(values, float), period)
    assert str(e.value) == message


# ---------------------------------------------------------------------------
# compute_feature_set

@pytest.mark.parametrize("n,period,window", [
    (3, None, None), (4, None, 2), (10, None, None), (11, None, None), (19, None, None), (20, None, None),
    (20, 15, None), (20, 15, 4), (21, 10, None), (48, 12, None), (50, 7, 5), (101, None, 3), (256, 24, None),
    (500, None, None), (500, 12, 25), (997, 365, None),
])
def test_row_matches_reference(n, period, window):
    for seed in (n, n + 1):
        x = noisy(n, seed, period or 7)
        got, want = A.compute_feature_set(x, period, window), ref_row(x, period, window)
        np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12, equal_nan=True)
        assert got[11] == want[11]


@pytest.mark.parametrize("n,period,window,nan_slots", [
    (10, None, None, {4, 8, 9, 10}),
    (11, None, None, {8, 9, 10}),
    (19, None, None, {8, 9, 10}),
    (20, None, None, set()),
    (20, 15, None, {1, 2, 7, 8, 9, 10}),
    (20, 15, 4, {1, 2, 7}),
    (20, 25, 4, {1, 2, 6, 7}),  # a lag at or past the end has no autocorrelation
    (20, 10, 11, {8, 9, 10}),
])
def test_nan_slots(n, period, window, nan_slots):
    row = A.compute_feature_set(noisy(n, 5), period, window)
    assert {i for i, v in enumerate(row) if math.isnan(v)} == nan_slots


@pytest.mark.parametrize("values", [[4.0], [1.0, 2.0]])
@pytest.mark.parametrize("period", [None, 5])
def test_one_or_two_values_give_twelve_nan(values, period):
    same(A.compute_feature_set(np.array(values), period, 3), NAN12)


@pytest.mark.parametrize("x", [np.full(30, 0.1), np.zeros(30), np.full(31, -2.5e300)])
def test_constant_row_is_all_zero(x):
    assert A.compute_feature_set(x) == [0.0] * 12


def test_median_crossings_even_and_odd():
    assert A.compute_feature_set(np.array([-1.5, -0.5, 0.5, 1.5]))[11] == 1.0
    # Odd n: the middle element itself (2.5), not an average with its neighbour.
    assert A.compute_feature_set(np.array([2.5, 0.0, 3.0, 1.0, 4.0]))[11] == 3.0
    assert A.compute_feature_set(np.array([1.0, 3.0, 1.0, 3.0, 1.0, 3.0]))[11] == 5.0


@pytest.mark.parametrize("a,b", [(1.0, 0.0), (1e-6, 0.0), (3e5, 0.0), (1.0, 1e4), (0.5, -7.0)])
def test_row_ignores_scale_and_level(a, b):
    x = noisy(120, 9, 12)
    np.testing.assert_allclose(A.compute_feature_set(a * x + b, 12), A.compute_feature_set(x, 12),
                               rtol=1e-6, atol=1e-9, equal_nan=True)


@pytest.mark.parametrize("values,period,window,message", [
    ([], None, None, "values must be non-empty and finite"),
    ([], 1, 1, "values must be non-empty and finite"),
    ([1.0, math.nan], 1, None, "values must be non-empty and finite"),
    ([-math.inf] * 5, None, None, "values must be non-empty and finite"),
    ([1.0, 2.0], 1, None, "period must be >= 2 when provided"),
    ([1.0, 2.0, 3.0], 0, 1, "period must be >= 2 when provided"),
    ([1.0, 2.0], None, 1, "window_size must be >= 2 when provided"),
    (list(range(40)), 4, 0, "window_size must be >= 2 when provided"),
])
def test_compute_feature_set_errors(values, period, window, message):
    with pytest.raises(ValueError) as e:
        A.compute_feature_set(np.array(values, float), period, window)
    assert str(e.value) == message


@pytest.mark.parametrize("fn", [A.compute_features, A.compute_feature_set])
def test_negative_period_is_an_overflow(fn):
    with pytest.raises(OverflowError):
        fn(np.arange(10.0), -2)


# ---------------------------------------------------------------------------
# compute_feature_set_batch

def panel(lengths, seed=0):
    rng = np.random.default_rng(seed)
    parts = [noisy(n, int(rng.integers(1 << 30))) * rng.uniform(0.1, 10) for n in lengths]
    offsets = np.r_[0, np.cumsum(lengths)].astype(np.int64)
    return np.concatenate(parts), offsets, parts


PANEL_LENGTHS = [40, 3, 1, 120, 2, 19, 20, 64, 7, 300, 11, 40, 10, 365, 5]


@pytest.mark.parametrize("period,window", [(None, None), (7, None), (None, 4), (12, 6), (30, None)])
def test_batch_equals_rows_for_every_worker_count(period, window):
    values, offsets, parts = panel(PANEL_LENGTHS, seed=period or 1)
    expected = np.concatenate([A.compute_feature_set(p, period, window) for p in parts])
    for n_workers in (0, 1, 8):
        got = A.compute_feature_set_batch(values, offsets, period, window, n_workers)
        assert got.dtype == np.float64 and got.shape == (12 * len(parts),)
        same(got, expected)


def test_single_series_panel():
    x = noisy(77, 2)
    same(A.compute_feature_set_batch(x, np.array([0, 77]), 7), A.compute_feature_set(x, 7))


@pytest.mark.parametrize("n_values,offsets,message", [
    (0, [], "offsets must increase strictly from 0 to len(values)"),
    (0, [0], "offsets must increase strictly from 0 to len(values)"),
    (0, [0, 0], "offsets must increase strictly from 0 to len(values)"),
    (10, [0, 3, 3, 10], "offsets must increase strictly from 0 to len(values)"),
    (10, [0, 5], "offsets must increase strictly from 0 to len(values)"),
    (10, [0, 11], "offsets must increase strictly from 0 to len(values)"),
    (10, [1, 10], "offsets must increase strictly from 0 to len(values)"),
    (10, [0, 6, 4, 10], "offsets must increase strictly from 0 to len(values)"),
    (10, [0, -1, 10], "offsets must be non-negative"),
    (10, [0, 3, 3, -1], "offsets must be non-negative"),  # before the order is looked at
    (0, [-5], "offsets must be non-negative"),
])
def test_batch_offset_errors(n_values, offsets, message):
    with pytest.raises(ValueError) as e:
        A.compute_feature_set_batch(np.arange(float(n_values)), np.array(offsets, np.int64))
    assert str(e.value) == message


@pytest.mark.parametrize("period,window,poison,message", [
    (1, None, False, "period must be >= 2 when provided"),
    (None, 1, False, "window_size must be >= 2 when provided"),
    (None, None, True, "values must be non-empty and finite"),
])
@pytest.mark.parametrize("n_workers", [0, 3])
def test_batch_series_errors(period, window, poison, message, n_workers):
    values, offsets, _ = panel(PANEL_LENGTHS)
    if poison:
        values[offsets[9] + 17] = math.nan
    with pytest.raises(ValueError) as e:
        A.compute_feature_set_batch(values, offsets, period, window, n_workers)
    assert str(e.value) == message


# ---------------------------------------------------------------------------
# Many lengths at once: the FFT plan cache keeps 16, so these keep evicting.

def test_threads_over_many_lengths_match_a_serial_run():
    lengths = list(range(4, 90)) + [128, 255, 256, 1000, 1023, 4096]
    series = [noisy(n, n * 31 + 1) for n in lengths]
    serial4 = [A.compute_features(x) for x in series]
    serial12 = [A.compute_feature_set(x, 5) for x in series]
    values, offsets, _ = panel(lengths, seed=11)
    serial_batch = A.compute_feature_set_batch(values, offsets, None, 3, 1)

    jobs = [(kind, i) for kind in ("f", "s") for i in range(len(series))] * 3 + [("b", 0)] * 4
    random.Random(5).shuffle(jobs)

    def run(job):
        kind, i = job
        if kind == "f":
            return A.compute_features(series[i])
        if kind == "s":
            return A.compute_feature_set(series[i], 5)
        return A.compute_feature_set_batch(values, offsets, None, 3, 8)

    with ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(run, jobs))
    for (kind, i), got in zip(jobs, results):
        if kind == "f":
            assert got == serial4[i], lengths[i]
        elif kind == "s":
            same(got, serial12[i])
        else:
            same(got, serial_batch)
