"""generate_batch and generate_multi_batch: argument checks and their order,
parsing of the `specs` entries, pi_config reading and the results. (Values against the
single-series functions: test_generators.py; independence from the worker
count and concurrent callers: test_pools.py.)"""

import numpy as np
import pytest

from conftest import assert_error, assert_panics, raised
from quillmarten import _lib

B = _lib.batch
RW = [0.1, 1.0, 5.0, 0.0, 0.0]
SEAS = [12.0, 3.0, 0.05, 0.5, 10.0, 0.0, 0.0]
RESULT_KEYS = ["values", "cp_indices", "anom_indices", "miss_indices"]

# Every injector on, with drawn and given settings mixed.
FULL_PI = {
    "changepoints": True, "num_changepoints": 3, "changepoint_type": "mixed",
    "changepoint_level_changes": [4.0],
    "anomalies": True, "anomaly_types": ["spike", "dip", "level_shift"], "anomaly_fraction": 0.05,
    "spike_magnitude": 6.0, "dip_magnitude": -6.0, "level_shift_magnitude": 2.5, "level_shift_duration": 7,
    "missing_data": True, "missing_pattern": "block", "missing_rate": 0.08, "missing_block_size": 4,
}


def spec(gen_type=0, scalars=RW, lengths=(50, 0, 1, 80), seed0=10, pi=None, n_gen=None, n_pi=None):
    n = len(lengths)
    return {
        "gen_type": gen_type, "scalar_params": np.asarray(scalars, dtype=np.float64), "array_params": [],
        "lengths": np.asarray(lengths, dtype=np.int32),
        "gen_seeds": np.arange(seed0, seed0 + (n if n_gen is None else n_gen), dtype=np.uint64),
        "pi_seeds": np.arange(7 * seed0, 7 * seed0 + (3 * n if n_pi is None else n_pi), dtype=np.uint64),
        "pi_config": {} if pi is None else pi,
    }


def batch(s, n_workers=0):
    return B.generate_batch(s["gen_type"], s["scalar_params"], s["array_params"], s["lengths"],
                            s["gen_seeds"], s["pi_seeds"], s["pi_config"], n_workers)


def assert_same(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert list(g) == RESULT_KEYS
        assert g["values"].tobytes() == w["values"].tobytes()  # NaN positions and signed zeros count too
        for key in RESULT_KEYS[1:]:
            np.testing.assert_array_equal(g[key], w[key])


# ---------------------------------------------------------------------------
# generate_batch checks and their order

@pytest.mark.parametrize("gen_type,lengths,n_gen,n_pi,message", [
    (99, [5] * 4, 1, 11, "pi_seeds length 11 < 12 (n_series \u00d7 3)"),
    (99, [5] * 4, 2, 12, "gen_seeds length 2 < 4 (n_series)"),
    # Both seed checks come before the run, so the negative length is never reached.
    (0, [-1, 5], 1, 6, "gen_seeds length 1 < 2 (n_series)"),
    (0, [-1, 5], 2, 5, "pi_seeds length 5 < 6 (n_series \u00d7 3)"),
])
def test_seed_lengths_are_checked_first(gen_type, lengths, n_gen, n_pi, message):
    exc = raised(batch, spec(gen_type, RW, lengths, n_gen=n_gen, n_pi=n_pi), 3)
    assert type(exc) is ValueError and str(exc) == message


def test_more_seeds_than_series_no_series_and_a_negative_length():
    assert len(batch(spec(lengths=[5] * 4, n_gen=9, n_pi=40))) == 4
    empty = np.zeros(0, dtype=np.uint64)
    assert B.generate_batch(99, np.zeros(0), [], np.zeros(0, np.int32), empty, empty, {}) == []
    assert_panics(batch, spec(lengths=[4, -1, 4]))


@pytest.mark.parametrize("param,value,exc_type", [
    ("lengths", np.array([5], np.int64), TypeError), ("gen_seeds", np.array([1], np.int64), TypeError),
    ("pi_config_dict", [("changepoints", True)], TypeError), ("n_workers", -1, OverflowError),
])
def test_batch_conversion_errors_name_the_argument(param, value, exc_type):
    s = spec(lengths=[5])
    args = dict(gen_type=0, scalar_params=s["scalar_params"], array_params=[], lengths=s["lengths"],
                gen_seeds=s["gen_seeds"], pi_seeds=s["pi_seeds"], pi_config_dict={}, n_workers=0)
    assert_error(raised(B.generate_batch, **{**args, param: value}), exc_type, note=param)


# ---------------------------------------------------------------------------
# generate_multi_batch entries

SPEC_KEYS = ["gen_type", "scalar_params", "array_params", "lengths", "gen_seeds", "pi_seeds", "pi_config"]


@pytest.mark.parametrize("absent", [SPEC_KEYS[i:] for i in range(7)] + [["pi_config", "pi_seeds"], ["lengths"]])
def test_first_missing_key_is_reported(absent):
    s = {k: v for k, v in spec().items() if k not in absent}
    first = next(k for k in SPEC_KEYS if k in absent)
    exc = raised(B.generate_multi_batch, [spec(), s])
    assert type(exc) is ValueError and str(exc) == f"missing {first}"


@pytest.mark.parametrize("specs,exc_type,note", [
    # The later keys are absent: a value of the wrong type fails before they are looked for.
    ([{"gen_type": 2**40}], OverflowError, None), ([{"gen_type": 0, "scalar_params": list(RW)}], TypeError, None),
    ([{**spec(lengths=[5]), "pi_config": None}], TypeError, None), ([[("gen_type", 0)]], TypeError, None),
    (({},), TypeError, "specs"), ("specs", TypeError, "specs"),
])
def test_wrong_spec_types(specs, exc_type, note):
    assert_error(raised(B.generate_multi_batch, specs), exc_type, note=note)


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


def test_multi_batch_seeds_and_errors():
    # Short seed arrays are not checked up front here: the run faults.
    assert_panics(B.generate_multi_batch, [spec(lengths=[5] * 5, n_gen=3)])
    assert_panics(B.generate_multi_batch, [spec(lengths=[5] * 5, n_pi=14)])
    # The generator runs before the pattern seeds are looked for.
    exc = raised(B.generate_multi_batch, [spec(17, [], [5], n_pi=0)])
    assert type(exc) is ValueError and str(exc) == "unknown generator type: 17"
    exc = raised(B.generate_multi_batch, [spec(17, [], [5] * 50), spec(), spec(18, [], [5] * 50)], 4)
    assert type(exc) is ValueError
    assert str(exc) in ("unknown generator type: 17", "unknown generator type: 18")


# ---------------------------------------------------------------------------
# pi_config reading: (given, read as)

class AsFloat:
    def __float__(self):
        return 0.25


CP = {"changepoints": True, "num_changepoints": 2}
MISS = {"missing_data": True, "missing_rate": 0.2}
SPIKES = {"anomalies": True, "anomaly_types": ["spike"], "anomaly_fraction": 0.1, "spike_magnitude": 3.0}


@pytest.mark.parametrize("given,read_as", [
    # flags: only bools, NumPy's included
    ({"changepoints": 1, "num_changepoints": 2}, {}),
    ({"changepoints": np.True_, "num_changepoints": 2}, CP),
    # 32-bit integers: ints and __index__ objects in range, True is 1; anything else keeps the default
    ({**CP, "num_changepoints": True}, {**CP, "num_changepoints": 1}),
    ({**CP, "num_changepoints": 2.0}, {}),
    # float64: anything float() takes; a failure reads 0.0
    ({**MISS, "missing_rate": AsFloat()}, {**MISS, "missing_rate": 0.25}),
    ({**MISS, "missing_rate": "0.5"}, {}),
    # texts: only str, encodable as UTF-8
    ({**MISS, "missing_pattern": b"block"}, MISS),
    ({**CP, "changepoint_type": "\ud800"}, CP),
    # lists: any sequence but str, every item convertible, else empty
    ({**CP, "changepoint_locations": (0.25, 1)}, {**CP, "changepoint_locations": [0.25, 1.0]}),
    ({**CP, "changepoint_locations": [0.5, "x"]}, CP),
    # a dict subclass is read like a dict; unknown and misspelt keys are ignored
    (type("Config", (dict,), {})(MISS), MISS),
    ({"Changepoints": True, "num_changepoints": 2, "other": object()}, {}),
])
def test_pi_config_conversions(given, read_as):
    s = spec(0, RW, [100, 33])
    got = batch({**s, "pi_config": given})
    assert_same(got, batch({**s, "pi_config": read_as}))
    if read_as:  # the reference itself injects something
        assert any(g["values"].tobytes() != p["values"].tobytes() for g, p in zip(got, batch(s)))


@pytest.mark.parametrize("types", ["spike", ["spike", 1], ["spike", b"dip"]])
def test_unreadable_anomaly_types_read_as_empty(types):
    # An empty type list with anomalies to place stops the batch.
    s = spec(lengths=[100], pi={**SPIKES, "anomaly_types": types})
    assert_panics(batch, s, text="invalid integer range: requires low < high: EmptyRange")


def test_result_arrays_are_fresh():
    got = batch(spec(lengths=[30, 30], pi=FULL_PI))
    for a in (*got[0].values(), *got[1].values()):
        assert type(a.base).__name__ == "PySliceContainer" and a.flags.writeable and a.flags.c_contiguous
    assert got[0] is not got[1] and not np.shares_memory(got[0]["values"], got[1]["values"])
