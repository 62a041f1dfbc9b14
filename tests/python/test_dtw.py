"""dtw_distance, dtw_alignment and nearest_dtw_neighbors: seeded output, limits, errors."""

import math

import numpy as np
import pytest

from conftest import assert_error, digest, raised
from quillmarten import _lib

A = _lib.augmentation
INFEASIBLE = "DTW alignment is infeasible for the requested band"
EMPTY = "DTW inputs must be non-empty one-dimensional arrays"
NOT_FINITE = "DTW inputs must be finite"
STRIDED = "The given array is not contiguous or is misaligned."


def random_pairs(count, seed, integer_valued=False):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        n, m = rng.integers(1, 40, size=2)
        if rng.random() < 0.3:
            m = n
        if integer_valued:  # many equal costs: exercises the tie-break
            a, b = rng.integers(-2, 3, n).astype(float), rng.integers(-2, 3, m).astype(float)
        else:
            a, b = rng.normal(0, 1, n) * 10 ** rng.uniform(-3, 3), rng.normal(0, 1, m)
        band = [None, 0, 1, 3, int(rng.integers(0, 50)), 2**62][int(rng.integers(0, 6))]
        yield a, b, band


# Seeded output (see test_generators.py for the pattern): the distances and paths of
# 150 random pairs, verified against a plain full-matrix DTW when written.
@pytest.mark.parametrize("integer_valued,want", [(False, "9f4ef5bcb157c6b4"), (True, "2279778ed92c349a")])
def test_random_pairs(integer_valued, want):
    distances, paths = [], []
    for a, b, band in random_pairs(150, seed=7 + integer_valued, integer_valued=integer_valued):
        d, path = A.dtw_alignment(a, b, band=band)
        assert A.dtw_distance(a, b, band) == d  # bit for bit
        distances.append(d)
        paths += path
    assert digest(np.array(distances), np.array(paths, np.int64)) == want


def test_hand_case():
    # The last step ties between the diagonal and up: the diagonal wins.
    assert A.dtw_alignment(np.array([0.0, 1.0, 2.0]), np.array([0.0, 2.0])) == (1.0, [(0, 0), (1, 0), (2, 1)])
    assert A.dtw_distance(np.array([0.0, 1.0, 2.0]), np.array([0.0, 2.0])) == 1.0


E, OK, NAN = np.array([]), np.array([1.0, 2.0]), np.array([1.0, np.nan])


@pytest.mark.parametrize("args,kind,text,note", [
    ((E, NAN), ValueError, EMPTY, None),  # emptiness before finiteness
    ((OK, np.array([np.inf]), 0), ValueError, NOT_FINITE, None),
    ((E, E, -1), ValueError, "band must be non-negative when provided", None),
    ((np.array([1e200, -1e200]), np.array([-1e200])), ValueError, INFEASIBLE, None),
    (([1.0], OK, -1), TypeError, None, "a"),  # conversion comes before the band check
])
@pytest.mark.parametrize("fn", ["dtw_distance", "dtw_alignment"])
def test_errors(fn, args, kind, text, note):
    assert_error(raised(getattr(A, fn), *args), kind, text, note)


def test_alignment_storage_limits():
    # 8192 x 8192 cells is exactly the 64 MiB parent table; one more row is over.
    zeros = np.zeros(8193)
    assert A.dtw_alignment(zeros[:8192], zeros[:8192]) == (0.0, [(i, i) for i in range(8192)])
    assert_error(raised(A.dtw_alignment, zeros, zeros[:8192]), ValueError,
                 "DTW alignment exceeds the 64 MiB parent-storage limit; shorten series or reduce the band")
    assert A.dtw_distance(zeros, zeros + 1.0) == pytest.approx(math.sqrt(8193))  # two rows: no such limit


# ---------------------------------------------------------------------------
# nearest_dtw_neighbors

def brute_force_neighbors(series, window_fraction, k):
    n, dist = len(series), {}
    for i in range(n):
        for j in range(i + 1, n):
            p, q = len(series[i]), len(series[j])
            band = max(math.ceil(max(p, q) * window_fraction), abs(p - q) + 1)
            dist[i, j] = dist[j, i] = A.dtw_distance(series[i], series[j], band)
    return [sorted((dist[i, j], j) for j in range(n) if j != i)[:k] for i in range(n)]


def collection(count, seed, ties):
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(count):
        length = int(rng.integers(3, 12))
        out.append(rng.integers(0, 3, length).astype(float) if ties else rng.normal(size=length))
    if ties:
        out[5] = out[2].copy()  # an exact duplicate: distance 0.0
    return out


@pytest.mark.parametrize("count,window_fraction,k,ties", [
    (0, 0.5, 3, False),
    (1, 0.5, 3, False),
    (12, 1.0, 100, False),  # k above N - 1: every other series
    (30, 0.5, 5, False),
    (100, 0.25, 7, True),   # 4950 pairs: more than one batch
])
def test_neighbors_are_the_nearest_by_distance(count, window_fraction, k, ties):
    series = collection(count, seed=count + k, ties=ties)
    got = A.nearest_dtw_neighbors(series, window_fraction, k)
    want = brute_force_neighbors(series, window_fraction, min(k, count - 1))
    assert type(got) is list and len(got) == count
    for i, (row, expected) in enumerate(zip(got, want)):
        assert all(type(e) is tuple and type(e[0]) is int and type(e[1]) is float for e in row)
        assert row == [(j, d) for d, j in expected], i
    if ties:
        assert got[2][0] == (5, 0.0) and got[5][0] == (2, 0.0)


FRACTION = "window_fraction must satisfy 0 < value <= 1"


@pytest.mark.parametrize("args,kind,text,note", [
    (([], 0.0, 1), ValueError, FRACTION, None),
    (([E], math.nan, 0), ValueError, FRACTION, None),
    (([E], 0.5, 0), ValueError, "n_neighbors must be >= 1", None),
    (([OK, E, NAN], 0.5, 1), ValueError, EMPTY, None),  # the series in order
    (([OK, NAN, E], 0.5, 1), ValueError, NOT_FINITE, None),
    (([OK, np.array([1e200, -1e200])], 0.5, 1), ValueError, INFEASIBLE, None),
    (([OK, np.arange(6.0)[::2]], 0.0, 1), TypeError, STRIDED, None),
])
def test_neighbor_errors(args, kind, text, note):
    assert_error(raised(A.nearest_dtw_neighbors, *args), kind, text, note)
