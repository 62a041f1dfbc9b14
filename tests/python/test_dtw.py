"""dtw_distance, dtw_alignment and nearest_dtw_neighbors against a plain full-matrix DTW."""

import math
import threading
import time

import numpy as np
import pytest

from conftest import assert_error, raised
from quillmarten import _lib

A = _lib.augmentation
INFEASIBLE = "DTW alignment is infeasible for the requested band"
EMPTY = "DTW inputs must be non-empty one-dimensional arrays"
NOT_FINITE = "DTW inputs must be finite"


def band_width(n, m, band):
    longest = max(n, m)
    return min(longest, max(longest if band is None else band, abs(n - m)))


def reference_dtw(a, b, band=None):
    """Full (n+1) x (m+1) table over the band; returns (distance, path).

    Same additions in the same order as a banded two-row programme, so the
    distance must match to the last bit. Ties go to the diagonal, then up.
    """
    n, m = len(a), len(b)
    w = band_width(n, m, band)
    inf = math.inf
    cost = [[inf] * (m + 1) for _ in range(n + 1)]
    parent = [[None] * (m + 1) for _ in range(n + 1)]
    cost[0][0] = 0.0
    for i in range(1, n + 1):
        for j in range(max(1, i - w), min(i + w, m) + 1):
            diag, up, left = cost[i - 1][j - 1], cost[i - 1][j], cost[i][j - 1]
            m1 = up if up < diag else diag
            best = left if left < m1 else m1
            d = float(a[i - 1]) - float(b[j - 1])
            cost[i][j] = d * d + best
            parent[i][j] = (i, j - 1) if left < m1 else (i - 1, j) if up < diag else (i - 1, j - 1)
    path, cell = [], (n, m)
    while cell[0] > 0 and cell[1] > 0:
        path.append((cell[0] - 1, cell[1] - 1))
        cell = parent[cell[0]][cell[1]]
    return math.sqrt(cost[n][m]), path[::-1]


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
        band = [None, 0, 1, 3, int(rng.integers(0, 50))][int(rng.integers(0, 5))]
        yield a, b, band


@pytest.mark.parametrize("integer_valued", [False, True])
def test_matches_full_matrix(integer_valued):
    for a, b, band in random_pairs(150, seed=7 + integer_valued, integer_valued=integer_valued):
        want_d, want_path = reference_dtw(a, b, band)
        d = A.dtw_distance(a, b, band)
        got_d, got_path = A.dtw_alignment(a, b, band=band)
        assert d == want_d, (a, b, band)
        assert got_d == d  # bit for bit
        assert got_path == want_path, (a, b, band)


@pytest.mark.parametrize("n,m,band", [(1, 1, None), (30, 30, 0), (30, 17, 0), (17, 30, 2), (25, 40, None),
                                      (40, 40, 5), (1, 50, 0), (50, 1, None)])
def test_path_shape(n, m, band):
    rng = np.random.default_rng(n * 100 + m)
    a, b = rng.normal(size=n), rng.normal(size=m)
    d, path = A.dtw_alignment(a, b, band)
    assert type(d) is float and type(path) is list
    assert all(type(p) is tuple and len(p) == 2 and type(p[0]) is int and type(p[1]) is int for p in path)
    assert path[0] == (0, 0) and path[-1] == (n - 1, m - 1)
    assert max(n, m) <= len(path) <= n + m - 1
    steps = {(i1 - i0, j1 - j0) for (i0, j0), (i1, j1) in zip(path, path[1:])}
    assert steps <= {(1, 1), (1, 0), (0, 1)}
    w = band_width(n, m, band)
    assert all(abs(i - j) <= w for i, j in path)
    # Summed in path order the squared differences give back the optimum exactly.
    total = 0.0
    for i, j in path:
        total = (a[i] - b[j]) ** 2 + total
    assert math.sqrt(total) == d


def test_hand_case():
    assert A.dtw_alignment(np.array([0.0, 1.0, 2.0]), np.array([0.0, 2.0])) == (1.0, [(0, 0), (1, 0), (2, 1)])
    assert A.dtw_distance(np.array([0.0, 1.0, 2.0]), np.array([0.0, 2.0])) == 1.0


def test_band_zero_is_euclidean_and_wide_band_is_no_band():
    rng = np.random.default_rng(3)
    a, b = rng.normal(size=50), rng.normal(size=50)
    d, path = A.dtw_alignment(a, b, 0)
    assert path == [(i, i) for i in range(50)]
    assert d == pytest.approx(np.linalg.norm(a - b), rel=1e-14)
    c = rng.normal(size=37)
    for x, y in [(a, c), (c, a), (a, b)]:
        assert A.dtw_alignment(x, y, 50) == A.dtw_alignment(x, y, 2**62) == A.dtw_alignment(x, y)
    assert A.dtw_distance(a, a) == 0.0


def test_inputs_untouched_and_readonly_accepted():
    a, b = np.array([3.0, 1.0, 4.0, 1.0]), np.array([5.0, 9.0, 2.0])
    a.flags.writeable = False
    keep = a.copy(), b.copy()
    A.dtw_alignment(a, b)
    A.dtw_distance(a, b, 1)
    np.testing.assert_array_equal(a, keep[0])
    np.testing.assert_array_equal(b, keep[1])


E, OK, NAN = np.array([]), np.array([1.0, 2.0]), np.array([1.0, np.nan])


@pytest.mark.parametrize("a,b,band,message", [
    (E, OK, None, EMPTY),
    (OK, E, None, EMPTY),
    (E, NAN, None, EMPTY),
    (NAN, OK, None, NOT_FINITE),
    (OK, NAN, 0, NOT_FINITE),
    (OK, np.array([np.inf]), None, NOT_FINITE),
    (E, E, -1, "band must be non-negative when provided"),
    (np.array([1e200, -1e200]), np.array([-1e200]), None, INFEASIBLE),
])
@pytest.mark.parametrize("fn", ["dtw_distance", "dtw_alignment"])
def test_value_errors(fn, a, b, band, message):
    exc = raised(getattr(A, fn), a, b, band)
    assert type(exc) is ValueError and str(exc) == message


@pytest.mark.parametrize("args,kind,param", [
    (([1.0], OK), TypeError, "a"),
    ((OK, OK.astype(np.float32)), TypeError, "b"),
    ((OK, np.ones((2, 2))), TypeError, "b"),
    ((OK, OK, 1.5), TypeError, "band"),
    ((OK, OK, 2**63), OverflowError, "band"),
    (([1.0], OK, -1), TypeError, "a"),  # conversion comes before the band check
])
@pytest.mark.parametrize("fn", ["dtw_distance", "dtw_alignment"])
def test_conversion_errors(fn, args, kind, param):
    exc = raised(getattr(A, fn), *args)
    assert_error(exc, kind, note=param)


@pytest.mark.parametrize("fn", ["dtw_distance", "dtw_alignment"])
def test_strided_input(fn):
    x = np.arange(10.0)
    exc = raised(getattr(A, fn), x[::2], OK)
    assert_error(exc, TypeError, "The given array is not contiguous or is misaligned.")
    with pytest.raises(ValueError, match=EMPTY):
        getattr(A, fn)(x[:0:2], OK)


def test_alignment_storage_limits():
    big = np.zeros(10_000)
    with pytest.raises(ValueError) as e:
        A.dtw_alignment(big, big)
    assert str(e.value) == ("DTW alignment exceeds the 64 MiB parent-storage limit; "
                            "shorten series or reduce the band")
    assert A.dtw_distance(big[:3000], big[:3000] + 1.0) == pytest.approx(math.sqrt(3000))
    long = np.zeros(2_100_000)
    with pytest.raises(ValueError) as e:
        A.dtw_alignment(long, long, 0)
    assert str(e.value) == "DTW path exceeds 64 MiB"
    assert A.dtw_distance(long, long, 0) == 0.0


# ---------------------------------------------------------------------------
# nearest_dtw_neighbors

def brute_force_neighbors(series, window_fraction, k):
    n = len(series)
    dist = {}
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
    (12, 0.1, 3, True),
    (12, 1.0, 100, False),  # k above N - 1: every other series
    (30, 0.5, 5, False),
    (100, 0.25, 7, True),   # 4950 pairs: more than one batch
    (100, 0.9, 1, False),
])
def test_neighbors_match_brute_force(count, window_fraction, k, ties):
    series = collection(count, seed=count + k, ties=ties)
    got = A.nearest_dtw_neighbors(series, window_fraction, k)
    want = brute_force_neighbors(series, window_fraction, min(k, count - 1))
    assert type(got) is list and len(got) == count
    for i, (row, expected) in enumerate(zip(got, want)):
        assert all(type(e) is tuple and type(e[0]) is int and type(e[1]) is float for e in row)
        assert row == [(j, d) for d, j in expected], i
    if ties:
        assert got[2][0] == (5, 0.0) and got[5][0] == (2, 0.0)


def test_neighbors_small_collections():
    assert A.nearest_dtw_neighbors([], 0.5, 3) == []
    assert A.nearest_dtw_neighbors((np.array([1.0]),), 0.5, 3) == [[]]
    x = np.array([1.0, 2.0])
    assert A.nearest_dtw_neighbors([x, x, x], 1.0, 2) == [[(1, 0.0), (2, 0.0)], [(0, 0.0), (2, 0.0)],
                                                           [(0, 0.0), (1, 0.0)]]


@pytest.mark.parametrize("series,window_fraction,k,message", [
    ([], 0.0, 1, "window_fraction must satisfy 0 < value <= 1"),
    ([OK], -0.5, 1, "window_fraction must satisfy 0 < value <= 1"),
    ([E], 1.0000001, 1, "window_fraction must satisfy 0 < value <= 1"),
    ([E], math.nan, 0, "window_fraction must satisfy 0 < value <= 1"),
    ([E], 0.5, 0, "n_neighbors must be >= 1"),
    ([OK, E, NAN], 0.5, 1, EMPTY),
    ([OK, NAN, E], 0.5, 1, NOT_FINITE),
    ([OK, np.array([1e200, -1e200])], 0.5, 1, INFEASIBLE),
])
def test_neighbor_value_errors(series, window_fraction, k, message):
    exc = raised(A.nearest_dtw_neighbors, series, window_fraction, k)
    assert type(exc) is ValueError and str(exc) == message


@pytest.mark.parametrize("args,kind,text,note", [
    (("abc", 0.5, 1), TypeError, "Can't extract `str` to `Vec`", "series"),
    (([OK, [1.0]], 0.5, 1), TypeError, None, "series"),
    (([OK], "x", 1), TypeError, None, "window_fraction"),
    (([OK], 0.5, -1), OverflowError, None, "n_neighbors"),
    (([OK, np.arange(6.0)[::2]], 0.0, 1), TypeError, "The given array is not contiguous or is misaligned.",
     None),
])
def test_neighbor_argument_errors(args, kind, text, note):
    exc = raised(A.nearest_dtw_neighbors, *args)
    assert_error(exc, kind, text, note)


# ---------------------------------------------------------------------------
# The interpreter lock is released around the work.

def progress_during(call):
    """Runs call() while another Python thread spins; True when that thread made
    progress in the middle half of the call (impossible while the lock is held)."""
    stamps, done = [], threading.Event()

    def spin():
        while not done.is_set():
            stamps.append(time.perf_counter())

    t = threading.Thread(target=spin)
    t.start()
    try:
        call()  # warm-up: pools and NumPy set up
        t0 = time.perf_counter()
        call()
        t1 = time.perf_counter()
    finally:
        done.set()
        t.join()
    lo, hi = t0 + (t1 - t0) / 4, t1 - (t1 - t0) / 4
    return any(lo <= s <= hi for s in stamps)


X = np.random.default_rng(0).normal(size=6000)


@pytest.mark.parametrize("call", [
    lambda: A.dtw_distance(X, X[::-1].copy()),
    lambda: A.dtw_alignment(X[:4000], X[:4000]),
    lambda: A.nearest_dtw_neighbors([X[k:k + 1500] for k in range(0, 6000, 500)], 1.0, 2),
])
def test_other_threads_run_meanwhile(call):
    assert progress_during(call)
