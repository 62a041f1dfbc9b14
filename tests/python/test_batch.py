"""generate_batch and generate_multi_batch: parity with the single-series
functions, independence from the worker count, argument checks and their
order, spec parsing, pi_config reading and the shape of the results."""

import threading

import numpy as np
import pytest

from conftest import assert_error, assert_panics, raised
from quillmarten import _lib

B = _lib.batch
S = _lib.statistical

RW_KW = dict(drift=0.1, volatility=1.0, start_value=5.0, innov_dist=0, innov_param=0.0)
SEAS_KW = dict(seasonality_period=12, seasonality_amplitude=3.0, trend=0.05, noise_level=0.5, base_level=10.0,
               innov_dist=0, innov_param=0.0)
RW = [float(v) for v in RW_KW.values()]
SEAS = [float(v) for v in SEAS_KW.values()]
RESULT_KEYS = ["values", "cp_indices", "anom_indices", "miss_indices"]

# Every injector on, with drawn and given settings mixed.
FULL_PI = {
    "changepoints": True, "num_changepoints": 3, "changepoint_type": "mixed",
    "changepoint_level_changes": [4.0],
    "anomalies": True, "anomaly_types": ["spike", "dip", "level_shift"], "anomaly_fraction": 0.05,
    "spike_magnitude": 6.0, "dip_magnitude": -6.0, "level_shift_magnitude": 2.5, "level_shift_duration": 7,
    "missing_data": True, "missing_pattern": "block", "missing_rate": 0.08, "missing_block_size": 4,
}


def f64(xs):
    return np.asarray(xs, dtype=np.float64)


def u64(xs):
    return np.asarray(xs, dtype=np.uint64)


def spec(gen_type=0, scalars=RW, lengths=(50, 0, 1, 80), seed0=10, pi=None, n_gen=None, n_pi=None):
    n = len(lengths)
    return {
        "gen_type": gen_type, "scalar_params": f64(scalars), "array_params": [],
        "lengths": np.asarray(lengths, dtype=np.int32),
        "gen_seeds": u64(np.arange(seed0, seed0 + (n if n_gen is None else n_gen))),
        "pi_seeds": u64(np.arange(7 * seed0, 7 * seed0 + (3 * n if n_pi is None else n_pi))),
        "pi_config": {} if pi is None else pi,
    }


def batch(s, n_workers=0):
    return B.generate_batch(s["gen_type"], s["scalar_params"], s["array_params"], s["lengths"],
                            s["gen_seeds"], s["pi_seeds"], s["pi_config"], n_workers)


def assert_same(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert list(g) == RESULT_KEYS
        # Bitwise, so NaN positions and signed zeros count too.
        assert g["values"].tobytes() == w["values"].tobytes()
        for key in RESULT_KEYS[1:]:
            np.testing.assert_array_equal(g[key], w[key])


# ---------------------------------------------------------------------------
# Parity with the single-series functions

@pytest.mark.parametrize("gen_type,kw,extra", [
    (0, RW_KW, []),
    (0, {**RW_KW, "innov_dist": 1, "innov_param": 5.0}, []),
    (0, {**RW_KW, "innov_dist": 3, "drift": -0.3}, [9.0, 9.0, 9.0, 9.0]),  # extra scalars are ignored
    (1, SEAS_KW, []),
    (1, {**SEAS_KW, "innov_dist": 4, "innov_param": 2.0}, []),
])
def test_batch_equals_single_series(gen_type, kw, extra):
    single = (S.random_walk, S.seasonal)[gen_type]
    lengths = [1, 37, 200]
    got = batch(spec(gen_type, [float(v) for v in kw.values()] + extra, lengths))
    for i, (n, r) in enumerate(zip(lengths, got)):
        assert r["values"].tobytes() == single(length=n, seed=10 + i, **kw).tobytes()
        assert all(r[key].size == 0 for key in RESULT_KEYS[1:])


def test_zero_length_series_with_injection():
    # Nothing to change; the changepoints still report their (clamped) indices.
    for r in batch(spec(lengths=[0, 0], pi=FULL_PI)):
        assert r["values"].size == r["anom_indices"].size == r["miss_indices"].size == 0
        assert r["cp_indices"].tolist() == [0, 0, 0]


# ---------------------------------------------------------------------------
# Independence from workers and callers

def big_spec():
    return spec(0, RW, lengths=[300, 0, 1, 57] * 40, pi=FULL_PI)


def test_same_results_for_any_worker_count():
    s = big_spec()
    want = batch(s, 1)
    assert sum(all(r[k].size for k in RESULT_KEYS) for r in want) == 80
    for n_workers in (0, 3, 8, 1):
        assert_same(batch(s, n_workers), want)
    multi = B.generate_multi_batch([s, spec(1, SEAS, [120] * 30, pi=FULL_PI)], 8)
    assert_same(multi[0], want)


def test_concurrent_callers_get_identical_results():
    s = big_spec()
    want = batch(s, 1)
    barrier = threading.Barrier(4)
    outcomes = [None] * 4

    def work(k):
        barrier.wait()
        try:
            outcomes[k] = [batch(s, (0, 1, 3, 8)[(k + r) % 4]) for r in range(3)]
        except BaseException as exc:  # noqa: BLE001
            outcomes[k] = exc

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for runs in outcomes:
        assert isinstance(runs, list), runs
        for got in runs:
            assert_same(got, want)


# ---------------------------------------------------------------------------
# generate_batch checks and their order

TIMES = "\u00d7"


@pytest.mark.parametrize("gen_type,n_scalars,lengths,n_gen,n_pi,message", [
    (99, 0, [5] * 4, 1, 11, f"pi_seeds length 11 < 12 (n_series {TIMES} 3)"),
    (99, 0, [5] * 4, 2, 12, "gen_seeds length 2 < 4 (n_series)"),
    # Both seed checks come before the run, so the negative length is never reached.
    (0, 5, [-1, 5], 1, 6, "gen_seeds length 1 < 2 (n_series)"),
    (0, 5, [-1, 5], 2, 5, f"pi_seeds length 5 < 6 (n_series {TIMES} 3)"),
    (99, 0, [5], 1, 3, "unknown generator type: 99"),
    (17, 0, [5], 1, 3, "unknown generator type: 17"),
    (-1, 0, [5], 1, 3, "unknown generator type: -1"),
    (0, 4, [5], 1, 3, "random_walk: expected >= 5 scalar params, got 4"),
    (1, 6, [5], 1, 3, "seasonal: expected >= 7 scalar params, got 6"),
])
def test_batch_errors_in_order(gen_type, n_scalars, lengths, n_gen, n_pi, message):
    s = spec(gen_type, [1.0] * n_scalars, lengths, n_gen=n_gen, n_pi=n_pi)
    exc = raised(batch, s, 3)
    assert type(exc) is ValueError and str(exc) == message


@pytest.mark.parametrize("lengths,n_gen,n_pi,n_results", [
    ([5] * 4, 4, 12, 4), ([5] * 4, 9, 40, 4), ([0, 3], 2, 6, 2),
])
def test_enough_seeds_run(lengths, n_gen, n_pi, n_results):
    assert len(batch(spec(lengths=lengths, n_gen=n_gen, n_pi=n_pi))) == n_results


@pytest.mark.parametrize("s", [
    spec(lengths=[4, -1, 4]),
    spec(0, [0.0, float("nan"), 0.0, 0, 0.0], [4]),  # the innovation law refuses a NaN scale
    spec(0, RW[:3] + [1, 2.0], [4]),  # Student-t needs more than 2 degrees of freedom
], ids=["negative length", "nan volatility", "student-t df 2"])
def test_faults_in_the_run_panic(s):
    assert_panics(batch, s)


def test_empty_lengths_return_at_once():
    empty = np.zeros(0, dtype=np.uint64)
    assert B.generate_batch(99, f64([]), [], np.zeros(0, np.int32), empty, empty, {}) == []


@pytest.mark.parametrize("param,value,exc_type", [
    ("gen_type", 1.5, TypeError), ("gen_type", 2**31, OverflowError),
    ("scalar_params", [0.1, 1.0, 5.0, 0, 0.0], TypeError),
    ("scalar_params", np.zeros(5, np.float32), TypeError),
    ("array_params", (), TypeError), ("array_params", [[1.0]], TypeError),
    ("array_params", [np.zeros(2, np.int32)], TypeError),
    ("lengths", np.array([5], np.int64), TypeError), ("lengths", [5], TypeError),
    ("gen_seeds", np.array([1], np.int64), TypeError),
    ("pi_seeds", f64([1, 2, 3]), TypeError),
    ("pi_config_dict", [("changepoints", True)], TypeError),
    ("n_workers", -1, OverflowError),
])
def test_batch_conversion_errors_name_the_argument(param, value, exc_type):
    s = spec(lengths=[5])
    args = dict(gen_type=0, scalar_params=s["scalar_params"], array_params=[], lengths=s["lengths"],
                gen_seeds=s["gen_seeds"], pi_seeds=s["pi_seeds"], pi_config_dict={}, n_workers=0)
    args[param] = value
    exc = raised(B.generate_batch, **args)
    assert_error(exc, exc_type, note=param)


def test_inputs_are_left_unchanged():
    s = spec(pi=dict(FULL_PI))
    before = {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in s.items() if k != "pi_config"}
    batch(s)
    assert s["pi_config"] == FULL_PI
    for k, v in before.items():
        np.testing.assert_array_equal(s[k], v)


# ---------------------------------------------------------------------------
# generate_multi_batch specs

SPEC_KEYS = ["gen_type", "scalar_params", "array_params", "lengths", "gen_seeds", "pi_seeds", "pi_config"]


@pytest.mark.parametrize("absent", [SPEC_KEYS[i:] for i in range(7)] + [[k] for k in SPEC_KEYS[:-1]]
                         + [["pi_config", "pi_seeds"]])
def test_first_missing_key_is_reported(absent):
    s = {k: v for k, v in spec().items() if k not in absent}
    first = next(k for k in SPEC_KEYS if k in absent)
    exc = raised(B.generate_multi_batch, [spec(), s])
    assert type(exc) is ValueError and str(exc) == f"missing {first}"


@pytest.mark.parametrize("key,value,exc_type", [
    ("gen_type", "0", TypeError), ("gen_type", 2**40, OverflowError),
    ("scalar_params", list(RW), TypeError),
    ("array_params", (), TypeError), ("array_params", [np.zeros(2, np.float32)], TypeError),
    ("lengths", np.array([5], np.int64), TypeError),
    ("gen_seeds", np.array([1], np.int64), TypeError),
    ("pi_seeds", [1, 2, 3], TypeError),
    ("pi_config", None, TypeError),
])
def test_wrong_spec_types_raise_without_a_key_note(key, value, exc_type):
    # The later keys are absent: a value of the wrong type fails before they are looked for.
    s = {k: v for k, v in spec(lengths=[5]).items() if SPEC_KEYS.index(k) <= SPEC_KEYS.index(key)}
    assert_error(raised(B.generate_multi_batch, [{**s, key: value}]), exc_type)


@pytest.mark.parametrize("specs", [({},), [[("gen_type", 0)]], "specs"])
def test_specs_must_be_a_list_of_dicts(specs):
    assert type(raised(B.generate_multi_batch, specs)) is TypeError


def test_multi_batch_regroups_per_spec():
    class Spec(dict):
        pass

    class Specs(list):
        pass

    a = spec(0, RW, [40, 3, 0], pi=FULL_PI)
    b = Spec(spec(1, SEAS, [25, 60], seed0=99, pi={"missing_data": True, "missing_rate": 0.3}), extra=object())
    empty = spec(99, [], [])
    got = B.generate_multi_batch(Specs([a, empty, b, a]), n_workers=3)
    assert len(got) == 4 and got[1] == []
    for g, s in zip((got[0], got[2], got[3]), (a, b, a)):
        assert_same(g, batch(s))
    assert B.generate_multi_batch([]) == []
    assert B.generate_multi_batch([empty, empty], 5) == [[], []]


@pytest.mark.parametrize("s,exc_type,message", [
    (spec(lengths=[5] * 5, n_gen=3), None, None),
    (spec(lengths=[5] * 5, n_pi=14), None, None),
    # The generator runs before the pattern seeds are looked for.
    (spec(17, [], [5], n_pi=0), ValueError, "unknown generator type: 17"),
])
def test_multi_batch_missing_seeds(s, exc_type, message):
    if exc_type is None:
        assert_panics(B.generate_multi_batch, [s])
    else:
        exc = raised(B.generate_multi_batch, [s])
        assert type(exc) is exc_type and str(exc) == message


def test_multi_batch_raises_one_of_the_recorded_errors():
    exc = raised(B.generate_multi_batch, [spec(17, [], [5] * 50), spec(), spec(18, [], [5] * 50)], 4)
    assert type(exc) is ValueError
    assert str(exc) in ("unknown generator type: 17", "unknown generator type: 18")


# ---------------------------------------------------------------------------
# pi_config reading: (given, read as)

class AsFloat:
    def __float__(self):
        return 0.25


class Config(dict):
    pass


CP = {"changepoints": True, "num_changepoints": 2}
MISS = {"missing_data": True, "missing_rate": 0.2}
SPIKES = {"anomalies": True, "anomaly_types": ["spike"], "anomaly_fraction": 0.1, "spike_magnitude": 3.0}

PI_CONVERSIONS = [
    # flags: only bools, NumPy's included
    ({"changepoints": 1, "num_changepoints": 2}, {}),
    ({"changepoints": 1.0, "num_changepoints": 2}, {}),
    ({"changepoints": "True", "num_changepoints": 2}, {}),
    ({"changepoints": np.True_, "num_changepoints": 2}, CP),
    ({**CP, "changepoints": np.False_}, {}),
    # 32-bit integers: ints and __index__ objects in range; True is 1
    ({**CP, "num_changepoints": 2.0}, {}),
    ({**CP, "num_changepoints": "2"}, {}),
    ({**CP, "num_changepoints": np.int16(2)}, CP),
    ({**CP, "num_changepoints": True}, {**CP, "num_changepoints": 1}),
    ({**CP, "num_changepoints": 2**31}, {}),
    ({**CP, "num_changepoints": 2**70}, {}),
    ({**MISS, "missing_pattern": "block", "missing_block_size": -2**31 - 1}, {**MISS, "missing_pattern": "block"}),
    ({**MISS, "missing_pattern": "block", "missing_block_size": 3.0}, {**MISS, "missing_pattern": "block"}),
    ({**SPIKES, "anomaly_types": ["level_shift", "spike"], "level_shift_magnitude": 1.0,
      "level_shift_duration": 2**31},
     {**SPIKES, "anomaly_types": ["level_shift", "spike"], "level_shift_magnitude": 1.0}),
    # float64: anything float() takes; failures read 0.0, -1 is a value
    ({**MISS, "missing_rate": 1}, {**MISS, "missing_rate": 1.0}),
    ({**MISS, "missing_rate": True}, {**MISS, "missing_rate": 1.0}),
    ({**MISS, "missing_rate": AsFloat()}, {**MISS, "missing_rate": 0.25}),
    ({**MISS, "missing_rate": np.float32(0.25)}, {**MISS, "missing_rate": 0.25}),
    ({**MISS, "missing_rate": "0.5"}, {}),
    ({**MISS, "missing_rate": None}, {}),
    ({**SPIKES, "spike_magnitude": -1}, {**SPIKES, "spike_magnitude": -1.0}),
    # texts: only str
    ({**MISS, "missing_pattern": b"block"}, MISS),
    ({**CP, "changepoint_type": 1}, CP),
    ({**CP, "changepoint_type": "\ud800"}, CP),  # not encodable as UTF-8
    # float lists: any sequence but str, all items convertible, else empty
    ({**CP, "changepoint_locations": (0.25, 0.75)}, {**CP, "changepoint_locations": [0.25, 0.75]}),
    ({**CP, "changepoint_locations": np.array([0.25, 0.75])}, {**CP, "changepoint_locations": [0.25, 0.75]}),
    ({**CP, "changepoint_locations": [0.25, 1]}, {**CP, "changepoint_locations": [0.25, 1.0]}),
    ({**CP, "changepoint_locations": [0.5, "x"]}, CP),
    ({**CP, "changepoint_locations": "0.5"}, CP),
    ({**CP, "changepoint_locations": 0.5}, CP),
    ({**CP, "changepoint_level_changes": [1.0, None]}, CP),
    # text lists
    ({**SPIKES, "anomaly_types": ("spike",)}, SPIKES),
    # a dict subclass is read like a dict; unknown and misspelt keys are ignored
    (Config(MISS), MISS),
    ({"Changepoints": True, "num_changepoints": 2, "other": object()}, {}),
]


@pytest.mark.parametrize("given,read_as", PI_CONVERSIONS)
def test_pi_config_conversions(given, read_as):
    s = spec(0, RW, [100, 33])
    plain = batch(s)
    got = batch({**s, "pi_config": given})
    assert_same(got, batch({**s, "pi_config": read_as}))
    if read_as:  # the reference itself injects something
        assert any(g["values"].tobytes() != p["values"].tobytes() for g, p in zip(got, plain))


@pytest.mark.parametrize("types", ["spike", ["spike", 1], ["spike", b"dip"]])
def test_unreadable_anomaly_types_read_as_empty(types):
    # An empty type list with anomalies to place stops the batch.
    s = spec(lengths=[100], pi={**SPIKES, "anomaly_types": types})
    assert_panics(batch, s, text="invalid integer range: requires low < high: EmptyRange")


class RaisingKey:
    """A key that collides with `name` and fails every comparison."""

    def __init__(self, name):
        self.h = hash(name)

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        raise RuntimeError("comparison failed")


@pytest.mark.parametrize("key,raises", [
    ("changepoints", True), ("anomaly_types", True), ("missing_seasonal_period", True),
    ("changepoint_locations", False), ("changepoint_variance_changes", False),
])
def test_failing_pi_config_lookup(key, raises):
    s = spec(lengths=[20], pi={RaisingKey(key): 1, **MISS})
    if raises:
        exc = raised(batch, s)
        assert type(exc) is RuntimeError and str(exc) == "comparison failed"
    else:
        assert_same(batch(s), batch({**s, "pi_config": MISS}))


# ---------------------------------------------------------------------------
# Results

def test_result_dicts():
    got = batch(spec(lengths=[30, 30], pi=FULL_PI))
    assert got[0] is not got[1]
    for r in got:
        assert list(r) == RESULT_KEYS
        assert r["values"].dtype == np.float64 and r["values"].shape == (30,)
        for key in RESULT_KEYS[1:]:
            assert r[key].dtype == np.int64 and r[key].ndim == 1
        for a in r.values():
            assert type(a.base).__name__ == "PySliceContainer"
            assert a.flags.writeable and a.flags.c_contiguous
    assert not np.shares_memory(got[0]["values"], got[1]["values"])
