"""The three injectors through the pattern_injection functions and the batch
road: seeded output, the order of the steps, faults, and the in-place contract
of add_changepoints / add_anomalies / add_missingness."""

import ctypes
import math

import numpy as np
import pytest

from conftest import assert_error, assert_panics, digest, raised
from quillmarten import _lib

P = _lib.pattern_injection
NONE = np.zeros(0)
NAN = math.nan


def walk(n, seed=3):
    return _lib.statistical.random_walk(n, 0.0, 1.0, 0.0, seed, 0, 0.0) if n else np.zeros(0)


def changepoints(x, seed, k, ctype="level", locations=(), level=(), trend=(), variance=()):
    arrays = [np.asarray(a, float) for a in (locations, level, trend, variance)]
    return P.add_changepoints(x, seed, k, arrays[0], ctype, *arrays[1:])[1]["changepoint_indices"]


def anomalies(x, seed, types, fraction, spike=0.0, dip=0.0, shift=0.0, duration=0):
    return P.add_anomalies(x, seed, types, fraction, spike, dip, shift, duration)[1]["anomaly_indices"]


def missing(x, seed, pattern, rate, block=1, period=1):
    return P.add_missingness(x, seed, pattern, rate, block, period)[1]["missing_indices"]


# ---------------------------------------------------------------------------
# Seeded output: the series after the injection and the indices it reports
# (see test_generators.py for the pattern)

INJECTORS = {"changepoints": changepoints, "anomalies": anomalies, "missing": missing}
MAGNITUDES = (5.0, -3.0, 0.25)  # spike, dip (added with its own sign), level shift


@pytest.mark.parametrize("name,n,seed,args,want", [
    # changepoints: count, kind, locations, level, trend and variance amounts
    ("changepoints", 40, 11, (3, "mixed", [], [], [], []), "c0ec2be7b05a19bd"),  # locations drawn and sorted
    ("changepoints", 100, 3, (3, "level", [0.5], [1.0, 2.0], [], []), "08529e5435674172"),  # then draws, unsorted
    ("changepoints", 60, 9, (3, "variance", [], [], [], [0.0]), "290d936933c76358"),
    ("changepoints", 40, 1, (2, "mixed", [0.625, 0.3], [1.5, -4.0], [0.5, 0.125], [2.0, 0.5]), "fb9e50432a4e0859"),
    ("changepoints", 4, 2, (2, "mixed", [0.5, 0.5], [1.0, 2.0], [1.0, 0.0], [NAN, 1.0]), "eac50f2e99fc6861"),
    ("changepoints", 10, 2, (3, "trend", [1.5, -0.2, NAN], [], [], []), "261b2e35cbce2163"),  # clamped to the ends
    ("changepoints", 30, 4, (2, "Level", [], [], [], []), "506452710e63f73e"),  # unknown kind: locations only
    ("changepoints", 0, 5, (2, "mixed", [], [], [], []), "374708fff7719dd5"),
    # anomalies: kinds, fraction, magnitudes, level-shift duration
    ("anomalies", 20, 2024, (["spike", "dip", "level_shift", "nothing"], 0.25, *MAGNITUDES, 3), "e9813744aba026fb"),
    ("anomalies", 60, 2, (["level_shift"], 1.0, *MAGNITUDES, 5), "782a3911ab8dd5d1"),  # shifts stop at the end
    ("anomalies", 60, 2, (["level_shift", "spike"], 0.5, *MAGNITUDES, 0), "747fea63a6e41508"),
    ("anomalies", 100, 8, (["bogus"], 0.109, *MAGNITUDES, 0), "25565af3b801c218"),
    ("anomalies", 10, 8, (["spike"], 2.0, *MAGNITUDES, 0), "eecc90263b9f8e33"),
    ("anomalies", 3000, 8, (["spike"], 0.002, *MAGNITUDES, 0), "b23de54c6cb4379c"),  # few among many
    ("anomalies", 20, 8, ([], 0.0, *MAGNITUDES, 0), "1aa5a1e79dfe4792"),  # the empty list is never drawn from
    ("anomalies", 10, 8, (["spike"], NAN, *MAGNITUDES, 0), "2a210e8a1546a575"),
    # missing values: pattern, rate, block size, period (settings a pattern does not use are not checked)
    ("missing", 100, 77, ("random", 0.1, 0, 0), "a47fa3c4d8db6ee4"),
    ("missing", 100, 21, ("random", 0.005, 1, 1), "ba11defbd075c3a9"),
    ("missing", 100, 31, ("block", 0.37, 3, 0), "c3a3021290e13cfa"),  # twelve blocks in turn, overlaps merged
    ("missing", 10, 31, ("block", 0.5, 20, 1), "e94748ca3ae3d32a"),
    ("missing", 50, 31, ("block", NAN, 4, 1), "b88a877367280766"),
    ("missing", 400, 123, ("seasonal", 0.5, 0, 4), "cc2718438fccfa72"),
    ("missing", 100, 1, ("seasonal", NAN, 1, 1), "ba11defbd075c3a9"),
    ("missing", 10, 1, ("no-such-pattern", 3.0, -1, -1), "e94748ca3ae3d32a"),  # a rate of 1 or more blanks all
    ("missing", 100, 1, ("other", 0.5, 1, 1), "ba11defbd075c3a9"),
])
def test_injectors(name, n, seed, args, want):
    x = walk(n)
    assert digest(x, INJECTORS[name](x, seed, *args)) == want


@pytest.mark.parametrize("x,loc,ctype,given,want", [
    ([0.0] * 8, 0.625, "trend", {"trend": [2.0]}, [0, 0, 0, 0, 0, 0, 2, 4]),
    ([1, 2, 3, 4], 0.5, "variance", {"variance": [0.0]}, [1, 2, 2, 2.25]),  # windows see rescaled points
    (list(range(13)), 1.0, "variance", {"variance": [0.0]}, list(range(12)) + [7]),  # at most 11 points
    # Level and trend amounts that are off still add their zero: -0.0 turns +0.0 from the changepoint on.
    ([-0.0] * 4, 0.5, "variance", {"variance": [1.0]}, [-0.0, -0.0, 0.0, 0.0]),
])
def test_changepoints_by_hand(x, loc, ctype, given, want):
    x = np.array(x, float)
    changepoints(x, 1, 1, ctype, [loc], **given)
    assert x.tobytes() == np.array(want, float).tobytes()


# ---------------------------------------------------------------------------
# Batch road: the same injectors in a fixed order, one seed each

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
    {**FULL, "changepoint_type": "variance", "changepoint_locations": [0.5, 0.1], "anomaly_types": ["dip"],
     "dip_magnitude": 1e6, "missing_pattern": "block", "missing_block_size": 3},
])
def test_batch_road_chains_the_three_functions(pi):
    for i, r in enumerate(batch_road(pi)):
        x, seeds = walk(80, 3 + i), 100 + 3 * i
        cp = changepoints(x, seeds, pi["num_changepoints"], pi["changepoint_type"],
                          pi.get("changepoint_locations", []))
        an = anomalies(x, seeds + 1, pi["anomaly_types"], pi["anomaly_fraction"], pi["spike_magnitude"],
                       pi.get("dip_magnitude", 0.0), pi["level_shift_magnitude"], pi["level_shift_duration"])
        mi = missing(x, seeds + 2, pi["missing_pattern"], pi["missing_rate"], pi.get("missing_block_size", 1))
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


@pytest.mark.parametrize("changes,text,call", [
    ({"missing_pattern": "block", "missing_block_size": 0}, "missing_block_size must be > 0 for block pattern",
     lambda x: P.add_missingness(x, 1, "block", 0.0, 0, 1)),
    ({"missing_pattern": "seasonal", "missing_seasonal_period": -1},
     "missing_seasonal_period must be > 0 for seasonal pattern",
     lambda x: P.add_missingness(x, 1, "seasonal", 0.5, 1, -1)),
    ({"level_shift_duration": -1}, "level_shift_duration must be >= 0",
     lambda x: P.add_anomalies(x, 1, [], 0.0, 1.0, 1.0, 1.0, -1)),
    ({"anomaly_types": []}, "invalid integer range: requires low < high: EmptyRange", None),
    ({"num_changepoints": -1}, "num_changepoints must be >= 0", None),
    ({"anomaly_fraction": -0.5}, "anomaly_fraction gives a negative anomaly count: -40", None),
    # Settings that are never reached are not checked: no missing point to place, no block needed.
    ({"missing_pattern": "block", "missing_block_size": 0, "missing_rate": 0.0}, None, None),
])
def test_bad_settings(changes, text, call):
    """A fault on the batch road; a ValueError from the Python function, raised before
    any work (a read-only array would fail later, at the copy)."""
    if text is None:
        batch_road({**FULL, **changes})
    else:
        assert_panics(batch_road, {**FULL, **changes}, text=text)
    if call is not None:
        assert_error(raised(call, np.frombuffer(np.arange(10.0).tobytes())), ValueError, text)


# ---------------------------------------------------------------------------
# The Python functions: in place, checks first

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
    assert result[1][key].dtype == np.int64 and result[1][key].size > 0
    assert x.tobytes() != before.tobytes()
    # An empty strided view counts as contiguous; a non-empty one is refused.
    assert call(np.zeros(4)[::2][:0])[1][key].tolist() == ([0, 0] if name == "add_changepoints" else [])
    assert_error(raised(call, before[::2]), TypeError, "The given array is not contiguous or is misaligned.")


def read_only(x):
    x.flags.writeable = False
    return x


STRIDED = np.zeros(6)[::2]


# add_changepoints takes `values` before it copies its four settings arrays,
# so the array's own error wins over theirs. (make: x -> the call's arguments after seed)
@pytest.mark.parametrize("make,text", [
    (lambda x: (read_only(x), 2, STRIDED, "level", NONE, NONE, NONE), "The given array is not writeable"),
    (lambda x: (x, 2, STRIDED, "level", NONE, NONE, x), "The given array is already borrowed"),
    (lambda x: (x, 2, NONE, "level", NONE, STRIDED, NONE), "The given array is not contiguous or is misaligned."),
])
def test_add_changepoints_takes_values_first(make, text):
    x = walk(20)
    before = x.copy()
    values, *settings = make(x)
    assert_error(raised(P.add_changepoints, values, 1, *settings), TypeError, text)
    np.testing.assert_array_equal(x, before)


# ---------------------------------------------------------------------------
# Borrows of views of `values`: an empty view holds no element, so it shares
# nothing with the array it was cut from, wherever NumPy points its data

SETTINGS = ("locations", "level_changes", "trend_changes", "variance_changes")
EMPTY_VIEWS = {
    "head": lambda x: x[:0],
    "tail": lambda x: x[x.size:],
    "middle": lambda x: x[2:2],
    "reversed": lambda x: x[::-1][:0],  # data pointer at the last element
    "strided": lambda x: x[1::2][:0],
}


def changepoints_with(values, position, array):
    """add_changepoints with `array` as the settings array at `position`, the others empty."""
    settings = {name: np.zeros(0) for name in SETTINGS} | {position: array}
    return P.add_changepoints(values=values, seed=5, num_changepoints=2, changepoint_type="mixed", **settings)


@pytest.mark.parametrize("view", EMPTY_VIEWS.values(), ids=EMPTY_VIEWS.keys())
@pytest.mark.parametrize("position", SETTINGS)
def test_empty_view_of_values_reads_as_any_empty_array(position, view):
    x, want = walk(10), walk(10)
    expected = changepoints_with(want, position, np.zeros(0))
    result = changepoints_with(x, position, view(x))
    assert result[0] is x
    np.testing.assert_array_equal(result[1]["changepoint_indices"], expected[1]["changepoint_indices"])
    np.testing.assert_array_equal(x, want)
    assert x.tobytes() != walk(10).tobytes()


@pytest.mark.parametrize("n", [0, 10])
@pytest.mark.parametrize("position", SETTINGS)
def test_one_array_as_values_and_settings_is_refused(position, n):
    x = walk(n)
    before = x.copy()
    assert_error(raised(changepoints_with, x, position, x), TypeError, "The given array is already borrowed")
    np.testing.assert_array_equal(x, before)


# (make: x -> a pair of arrays over x, whether they share a byte)
@pytest.mark.parametrize("make,shared", [
    (lambda x: (x, x[:0]), False),
    (lambda x: (x, x[::-1][:0]), False),
    (lambda x: (x[:4], x[4:]), False),
    (lambda x: (x[:5], x[3:]), True),
    (lambda x: (x[1:2], x[::-1][5:7]), True),  # elements 2 and 1, the second shared
], ids=["empty-at-start", "empty-inside", "adjoining", "overlapping", "reversed-overlapping"])
def test_a_pair_conflicts_alike_in_either_role(make, shared):
    # `values` is borrowed for writing after the settings arrays are borrowed
    # for reading, and the settings are read again after it: swapping the two
    # arrays swaps the order in which a read and a write meet.
    for swap in (False, True):
        x = np.linspace(0.1, 0.9, 8)
        a, b = make(x)
        values, locations = (b, a) if swap else (a, b)
        if shared:
            assert_error(raised(changepoints_with, values, "locations", locations), TypeError,
                         "The given array is already borrowed")
        else:
            assert changepoints_with(values, "locations", locations)[0] is values


# ---------------------------------------------------------------------------
# The same memory reached through objects that are not its ndarray base

class Interface:
    """Shows another array's memory through __array_interface__ alone."""

    def __init__(self, a):
        self.__array_interface__ = dict(a.__array_interface__)
        self.keep = a


# (make: x -> an array over the same bytes as x whose base chain never reaches x)
ALIASES = {
    "as_strided": lambda x: np.lib.stride_tricks.as_strided(x, x.shape, x.strides),
    "memoryview": lambda x: np.asarray(memoryview(x)),
    "frombuffer": lambda x: np.frombuffer(memoryview(x).cast("B"), np.float64),
    "ctypes": lambda x: np.ctypeslib.as_array(x.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), x.shape),
    "array_interface": lambda x: np.asarray(Interface(x)),
}


def reaches(a, x):
    """Whether x is in a's chain of ndarray bases."""
    while isinstance(a, np.ndarray) and a.base is not None:
        a = a.base
        if a is x:
            return True
    return False


@pytest.mark.parametrize("alias", ALIASES.values(), ids=ALIASES.keys())
@pytest.mark.parametrize("cut,shared", [
    (lambda x, y: (x, y), True),
    (lambda x, y: (x[:5], y[3:]), True),
    (lambda x, y: (x[:4], y[4:]), False),
    (lambda x, y: (x, y[:0]), False),
], ids=["whole", "overlapping", "adjoining", "empty"])
def test_aliases_through_other_objects_conflict_by_their_bytes(alias, cut, shared):
    for swap in (False, True):
        x = np.linspace(0.1, 0.9, 8)
        before = x.copy()
        y = alias(x)
        assert y.__array_interface__["data"] == x.__array_interface__["data"] and not reaches(y, x)
        a, b = cut(x, y)
        values, locations = (b, a) if swap else (a, b)
        if shared:
            assert_error(raised(changepoints_with, values, "locations", locations), TypeError,
                         "The given array is already borrowed")
            np.testing.assert_array_equal(x, before)
        else:
            assert changepoints_with(values, "locations", locations)[0] is values


def test_two_buffers_over_one_bytearray_conflict():
    raw = bytearray(80)
    a, b = np.frombuffer(raw), np.frombuffer(raw)
    assert_error(raised(changepoints_with, a, "locations", b), TypeError, "The given array is already borrowed")
    # Reading both at once is fine.
    assert _lib.augmentation.dtw_distance(a, b) == 0.0
