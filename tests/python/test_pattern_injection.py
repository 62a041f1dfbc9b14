"""The three injectors, through the pattern_injection functions and the batch
road: hand-checked indices and values, draw order, the order of the steps,
and the in-place contract of add_changepoints / add_anomalies / add_missingness."""

import numpy as np
import pytest

from conftest import assert_panics, raised
from quillmarten import _lib

P = _lib.pattern_injection
NONE = np.zeros(0)
MISSING_BITS = 0x7FF8000000000000


def walk(n, seed=3):
    return _lib.statistical.random_walk(n, 0.0, 1.0, 0.0, seed, 0, 0.0)


def changepoints(x, seed, k, ctype="level", locations=NONE, level=NONE, trend=NONE, variance=NONE):
    return P.add_changepoints(x, seed, k, np.asarray(locations, float), ctype, np.asarray(level, float),
                              np.asarray(trend, float), np.asarray(variance, float))[1]["changepoint_indices"]


def anomalies(x, seed, types, fraction, spike=0.0, dip=0.0, shift=0.0, duration=0):
    return P.add_anomalies(x, seed, types, fraction, spike, dip, shift, duration)[1]["anomaly_indices"]


def missing(x, seed, pattern, rate, block=1, period=1):
    return P.add_missingness(x, seed, pattern, rate, block, period)[1]["missing_indices"]


def runs(idx):
    """Lengths of the runs of consecutive indices."""
    breaks = np.flatnonzero(np.diff(idx) != 1)
    return np.diff(np.concatenate([[0], breaks + 1, [len(idx)]])).tolist()


def apply_changes(x, idx, level, trend, variance):
    """Changepoints with every amount given, step by step as the engine does it."""
    x, n = list(x), len(x)
    for j, c in enumerate(idx):
        if level is not None:
            for t in range(c, n):
                x[t] = x[t] + level[j]
        if trend is not None:
            for t in range(c, n):
                x[t] = x[t] + float(t - c) * trend[j]
        if variance is not None and variance[j] != 1.0:
            for t in range(c, n):
                window = x[max(0, t - 10):t + 1]
                total = -0.0
                for v in window:
                    total += v
                mean = total / len(window)
                x[t] = (x[t] - mean) * variance[j] + mean
    return np.array(x)


# ---------------------------------------------------------------------------
# Changepoints

def test_drawn_locations_are_sorted_inside_the_middle():
    x = np.zeros(100)
    idx = changepoints(x, 5, 3)
    assert idx.tolist() == sorted(idx.tolist()) and all(10 <= i <= 89 for i in idx)
    # Level changes only: a step function whose steps sit at the indices.
    steps = np.diff(np.concatenate([[0.0], x]))
    assert set(np.flatnonzero(steps).tolist()) <= set(idx.tolist())
    assert np.all(np.abs(steps) <= 20.0 * 3)


@pytest.mark.parametrize("n,locations,k,first", [
    (100, [0.5], 3, [50]), (10, [1.5, -0.2], 2, [9, 0]), (8, [0.625], 1, [5]), (0, [], 2, [0, 0]),
    (1, [0.9, np.nan], 2, [0, 0]),
])
def test_given_locations_come_first(n, locations, k, first):
    idx = changepoints(np.zeros(n), 1, k, "level", locations)
    assert idx.tolist()[:len(first)] == first and len(idx) == k
    if n == 100:
        assert all(10 <= i <= 89 for i in idx[1:])


@pytest.mark.parametrize("ctype,level,trend,variance", [
    ("level", [2.5, -1.0], None, None),
    ("trend", None, [2.0, -0.25], None),
    ("variance", None, None, [0.0, 3.0]),
    ("variance", None, None, [1.0, 1.0]),
    ("mixed", [1.5, -4.0], [0.5, 0.125], [2.0, 0.5]),
])
def test_given_amounts_match_the_reference(ctype, level, trend, variance):
    base = walk(40)
    loc = [0.625, 0.3]
    got = [base.copy(), base.copy()]
    # Everything given: nothing is drawn, so the seed does not matter.
    for x, seed in zip(got, (1, 2)):
        idx = changepoints(x, seed, 2, ctype, loc, level or [], trend or [], variance or [])
        assert idx.tolist() == [25, 12]
    want = apply_changes(base, [25, 12], level, trend, variance)
    assert got[0].tobytes() == want.tobytes() == got[1].tobytes()


def test_trend_from_a_zero_series():
    x = np.zeros(8)
    assert changepoints(x, 0, 1, "trend", [0.625], trend=[2.0]).tolist() == [5]
    assert x.tolist() == [0, 0, 0, 0, 0, 0, 2, 4]


@pytest.mark.parametrize("ctype,given", [
    ("trend", {"level": [0.0] * 3, "variance": [1.0] * 3}),
    ("variance", {"level": [0.0] * 3, "trend": [0.0] * 3}),
    ("level", {"trend": [0.0] * 3, "variance": [1.0] * 3}),
])
def test_given_amounts_consume_no_draws(ctype, given):
    # "mixed" with the other kinds given as no-ops draws exactly what `ctype` draws.
    alone, mixed = walk(60), walk(60)
    a = changepoints(alone, 9, 3, ctype)
    b = changepoints(mixed, 9, 3, "mixed", **given)
    assert a.tolist() == b.tolist()
    np.testing.assert_array_equal(alone, mixed)


@pytest.mark.parametrize("ctype", ["Level", "none", ""])
def test_unknown_changepoint_type_changes_nothing(ctype):
    x = walk(30)
    before = x.copy()
    assert len(changepoints(x, 4, 2, ctype)) == 2
    assert x.tobytes() == before.tobytes()


# ---------------------------------------------------------------------------
# Anomalies

@pytest.mark.parametrize("n,fraction,types,count", [
    (100, 0.1, ["bogus"], 10), (100, 0.109, ["bogus"], 10), (10, 2.0, ["bogus"], 10), (7, 0.1, ["bogus"], 0),
    (20, 0.0, [], 0),  # no anomaly to place: the empty type list is never drawn from
])
def test_anomaly_count_and_distinct_indices(n, fraction, types, count):
    idx = anomalies(np.zeros(n), 8, types, fraction)
    assert len(idx) == len(set(idx.tolist())) == count
    assert all(0 <= i < n for i in idx)
    if count == n:
        assert sorted(idx.tolist()) == list(range(n))


def test_indices_are_drawn_before_the_kinds():
    ref = anomalies(np.zeros(50), 6, ["spike"], 0.2)
    assert ref.tolist() != sorted(ref.tolist())  # draw order, not sorted
    for types in (["dip", "level_shift"], ["bogus"] * 5, ["spike", "spike"]):
        assert anomalies(np.zeros(50), 6, types, 0.2).tolist() == ref.tolist()


@pytest.mark.parametrize("types,magnitudes,duration", [
    (["spike"], (5.0, 0.0, 0.0), 0),
    (["dip"], (0.0, 3.0, 0.0), 0),  # a dip adds its magnitude with its own sign
    (["level_shift"], (0.0, 0.0, 1.5), 5),
    (["level_shift"], (0.0, 0.0, 1.5), 0),
    (["bogus"], (9.0, 9.0, 9.0), 3),
])
def test_anomaly_values(types, magnitudes, duration):
    base = walk(60)
    x = base.copy()
    idx = anomalies(x, 2, types, 1.0 if types == ["level_shift"] else 0.25, *magnitudes, duration)
    want = base.copy()
    for i in idx:
        if types == ["spike"]:
            want[i] = magnitudes[0] + want[i]
        elif types == ["dip"]:
            want[i] = magnitudes[1] + want[i]
        elif types == ["level_shift"]:
            want[i:i + duration] = magnitudes[2] + want[i:i + duration]
    assert x.tobytes() == want.tobytes()


def test_kinds_are_chosen_from_the_whole_list():
    x = np.zeros(1000)
    idx = anomalies(x, 12, ["spike", "dip"], 0.5, 1000.0, -1000.0)
    hit = x[idx]
    assert set(hit.tolist()) == {1000.0, -1000.0}
    assert 150 < np.count_nonzero(hit > 0) < 350
    assert np.count_nonzero(x) == 500


# ---------------------------------------------------------------------------
# Missing values

def assert_blanked(x, before, idx):
    assert idx.tolist() == sorted(set(idx.tolist()))
    assert np.all(x.view(np.uint64)[idx] == MISSING_BITS)
    keep = np.setdiff1d(np.arange(len(x)), idx)
    assert x[keep].tobytes() == before[keep].tobytes()


@pytest.mark.parametrize("n,pattern,rate,block,check", [
    (100, "random", 0.1, 1, lambda idx: len(idx) == 10),
    (100, "random", 0.109, 1, lambda idx: len(idx) == 10),
    (100, "random", 0.005, 1, lambda idx: len(idx) == 0),
    (100, "block", 0.1, 5, lambda idx: 5 <= len(idx) <= 10 and all(r >= 5 for r in runs(idx))
     and len(runs(idx)) <= 2),
    (100, "block", 0.01, 5, lambda idx: runs(idx) == [5]),
    (100, "block", np.nan, 3, lambda idx: runs(idx) == [3]),
    (10, "block", 0.5, 20, lambda idx: idx.tolist() == list(range(10))),
    (100, "random", np.nan, 1, lambda idx: len(idx) == 0),
    (100, "seasonal", np.nan, 4, lambda idx: len(idx) == 0),
    (100, "other", 0.5, 1, lambda idx: len(idx) == 0),
    (100, "block", 0.0, 0, lambda idx: len(idx) == 0),
    (10, "other", 1.0, 1, lambda idx: idx.tolist() == list(range(10))),
    (10, "random", 3.5, 1, lambda idx: idx.tolist() == list(range(10))),
])
def test_missing_patterns(n, pattern, rate, block, check):
    before = walk(n)
    x = before.copy()
    if pattern == "block" and block < 1:  # the batch road: no up-front check, and rate 0 needs none
        r = _lib.batch.generate_batch(0, np.array([0, 1.0, 0, 0, 0]), [], np.array([n], np.int32),
                                      np.array([3], np.uint64), np.arange(3, dtype=np.uint64),
                                      {"missing_data": True, "missing_pattern": pattern, "missing_rate": rate,
                                       "missing_block_size": block})[0]
        x, idx = r["values"], r["miss_indices"]
    else:
        idx = missing(x, 21, pattern, rate, block)
    assert check(idx), idx
    assert_blanked(x, before, idx)


def test_block_starts_reach_the_last_place():
    # A block of n - 1 points starts at 0 or 1; both must occur.
    starts = {missing(np.zeros(10), seed, "block", 0.5, 9)[0] for seed in range(40)}
    assert starts == {0, 1}


def test_seasonal_missing_follows_the_sine():
    x = walk(400)
    idx = missing(x, 5, "seasonal", 0.5, 1, 4)
    phase = idx % 4
    assert set(range(1, 400, 4)) <= set(idx.tolist())  # chance 1 at the quarter period
    assert not np.any(phase == 3)  # chance 0 at three quarters
    assert 50 < np.count_nonzero(phase % 2 == 0) < 150


# ---------------------------------------------------------------------------
# Batch road: same injectors, fixed order, one seed each

FULL = {
    "changepoints": True, "num_changepoints": 2, "changepoint_type": "mixed",
    "anomalies": True, "anomaly_types": ["spike", "level_shift"], "anomaly_fraction": 0.1,
    "spike_magnitude": 4.0, "level_shift_magnitude": -2.0, "level_shift_duration": 6,
    "missing_data": True, "missing_pattern": "random", "missing_rate": 0.3,
}


def batch_road(pi, n=80, series=3):
    return _lib.batch.generate_batch(0, np.array([0.0, 1.0, 0.0, 0, 0.0]), [], np.full(series, n, np.int32),
                                     np.arange(3, 3 + series, dtype=np.uint64),
                                     np.arange(100, 100 + 3 * series, dtype=np.uint64), pi)


@pytest.mark.parametrize("pi", [
    FULL,
    {**FULL, "changepoint_type": "variance", "changepoint_locations": [0.5, 0.1], "missing_pattern": "seasonal",
     "missing_seasonal_period": 7},
    {**FULL, "anomaly_types": ["dip"], "dip_magnitude": 1e6, "missing_pattern": "block", "missing_block_size": 3},
])
def test_batch_road_chains_the_three_functions(pi):
    for i, r in enumerate(batch_road(pi)):
        x = walk(80, 3 + i)
        seeds = 100 + 3 * i
        cp = changepoints(x, seeds, pi["num_changepoints"], pi["changepoint_type"],
                          pi.get("changepoint_locations", []))
        an = anomalies(x, seeds + 1, pi["anomaly_types"], pi["anomaly_fraction"], pi["spike_magnitude"],
                       pi.get("dip_magnitude", 0.0), pi["level_shift_magnitude"], pi["level_shift_duration"])
        mi = missing(x, seeds + 2, pi["missing_pattern"], pi["missing_rate"], pi.get("missing_block_size", 1),
                     pi.get("missing_seasonal_period", 1))
        assert r["values"].tobytes() == x.tobytes()
        assert [r["cp_indices"].tolist(), r["anom_indices"].tolist(), r["miss_indices"].tolist()] == \
            [cp.tolist(), an.tolist(), mi.tolist()]
        assert len(cp) and len(an) and len(mi)


@pytest.mark.parametrize("off", ["changepoints", "anomalies", "missing_data"])
def test_switching_one_step_off_keeps_the_others(off):
    keys = {"changepoints": "cp_indices", "anomalies": "anom_indices", "missing_data": "miss_indices"}
    for full, part in zip(batch_road(FULL), batch_road({**FULL, off: False})):
        assert part[keys[off]].size == 0
        for flag, key in keys.items():
            if flag != off:
                np.testing.assert_array_equal(part[key], full[key])


@pytest.mark.parametrize("pi,text", [
    ({**FULL, "missing_pattern": "block", "missing_block_size": 0}, "missing_block_size must be > 0 for block pattern"),
    ({**FULL, "missing_pattern": "seasonal", "missing_seasonal_period": -1},
     "missing_seasonal_period must be > 0 for seasonal pattern"),
    ({**FULL, "level_shift_duration": -1}, "level_shift_duration must be >= 0"),
    ({**FULL, "anomaly_types": []}, "invalid integer range: requires low < high: EmptyRange"),
    ({**FULL, "num_changepoints": -1}, None),
    ({**FULL, "anomaly_fraction": -0.5}, None),
])
def test_bad_settings_panic_on_the_batch_road(pi, text):
    assert_panics(batch_road, pi, text=text)


# ---------------------------------------------------------------------------
# The Python functions: in place, checks, borrows

CALLS = {
    "add_changepoints": (lambda x: P.add_changepoints(x, 1, 2, NONE, "level", NONE, NONE, NONE),
                         "changepoint_indices"),
    "add_anomalies": (lambda x: P.add_anomalies(x, 1, ["spike"], 0.2, 1.0, 0.0, 0.0, 0), "anomaly_indices"),
    "add_missingness": (lambda x: P.add_missingness(x, 1, "random", 0.2, 1, 1), "missing_indices"),
}


@pytest.mark.parametrize("name", CALLS)
def test_result_is_the_callers_array_changed_in_place(name):
    call, key = CALLS[name]
    x = walk(50)
    before = x.copy()
    result = call(x)
    assert type(result) is tuple and len(result) == 2
    assert result[0] is x and list(result[1]) == [key]
    idx = result[1][key]
    assert idx.dtype == np.int64 and idx.size > 0
    assert x.tobytes() != before.tobytes()


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("make,message", [
    (lambda: np.arange(20.0)[::2], "The given array is not contiguous or is misaligned."),
    (lambda: np.arange(20.0).reshape(2, 10).T[0], "The given array is not contiguous or is misaligned."),
    (lambda: np.frombuffer(np.arange(10.0).tobytes()), "The given array is not writeable"),
])
def test_values_must_be_writeable_and_contiguous(name, make, message):
    x = make()
    before = x.copy()
    exc = raised(CALLS[name][0], x)
    assert type(exc) is TypeError and str(exc) == message
    assert x.tobytes() == before.tobytes()


@pytest.mark.parametrize("name,count", [("add_changepoints", 2), ("add_anomalies", 0), ("add_missingness", 0)])
def test_empty_values(name, count):
    call, key = CALLS[name]
    for x in (np.zeros(0), np.zeros(4)[::2][:0]):  # an empty strided view counts as contiguous
        assert call(x)[1][key].tolist() == [0] * count


@pytest.mark.parametrize("param", ["locations", "level_changes", "trend_changes", "variance_changes"])
def test_values_cannot_double_as_a_change_list(param):
    x = walk(10)
    args = dict(values=x, seed=1, num_changepoints=1, locations=NONE, changepoint_type="mixed",
                level_changes=NONE, trend_changes=NONE, variance_changes=NONE)
    for alias in (x, x[:]):
        exc = raised(P.add_changepoints, **{**args, param: alias})
        assert type(exc) is TypeError and str(exc) == "The given array is already borrowed"
    assert x.tobytes() == walk(10).tobytes()


@pytest.mark.parametrize("pattern,block,period,message", [
    ("block", 0, 1, "missing_block_size must be > 0 for block pattern"),
    ("block", -3, 0, "missing_block_size must be > 0 for block pattern"),
    ("seasonal", 0, 0, "missing_seasonal_period must be > 0 for seasonal pattern"),
    ("seasonal", 1, -1, "missing_seasonal_period must be > 0 for seasonal pattern"),
])
@pytest.mark.parametrize("rate", [0.0, 0.5, 1.0])
def test_add_missingness_checks_before_any_work(pattern, block, period, message, rate):
    # A read-only array would fail later, at the copy: the check comes first.
    x = np.frombuffer(np.arange(10.0).tobytes())
    exc = raised(P.add_missingness, x, 1, pattern, rate, block, period)
    assert type(exc) is ValueError and str(exc) == message


@pytest.mark.parametrize("pattern,block,period", [("random", 0, 0), ("seasonal", 0, 3), ("block", 2, 0)])
def test_unused_missing_settings_are_not_checked(pattern, block, period):
    assert len(missing(walk(40), 1, pattern, 0.25, block, period)) > 0


@pytest.mark.parametrize("call,text", [
    (lambda x: P.add_changepoints(x, 1, -1, NONE, "level", NONE, NONE, NONE), None),
    (lambda x: P.add_anomalies(x, 1, ["spike"], -0.5, 1.0, 0.0, 0.0, 0), None),
    (lambda x: P.add_anomalies(x, 1, [], 0.1, 1.0, 0.0, 0.0, 0),
     "invalid integer range: requires low < high: EmptyRange"),
], ids=["negative count", "negative fraction", "empty types"])
def test_injector_faults_leave_values_unchanged(call, text):
    x = walk(40)
    assert_panics(call, x, text=text)
    assert x.tobytes() == walk(40).tobytes()


@pytest.mark.parametrize("types,fraction", [(["level_shift"], 0.5), (["spike"], 0.0), ([], 0.0)])
def test_negative_level_shift_duration_is_refused(types, fraction):
    x = walk(20)
    exc = raised(P.add_anomalies, x, 1, types, fraction, 1.0, 1.0, 1.0, -1)
    assert type(exc) is ValueError and str(exc) == "level_shift_duration must be >= 0"
    assert x.tobytes() == walk(20).tobytes()
