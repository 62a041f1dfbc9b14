"""energy_load, vital_signs and clickstream: the batch road gives the Python
road's values, seeded output is pinned, one identity per generator, and the
argument checks and faults."""

import hashlib
import math

import numpy as np
import pytest

from conftest import assert_bits_equal, assert_panics
from quillmarten import _lib

NAN, INF = math.nan, math.inf
NORMAL = "invalid normal params: std must be finite and >= 0: BadVariance"

# Valid arguments in signature order, without length, seed and arrays: these
# are also the batch road's scalar slots, in the same order.
ARGS = {
    "energy_load": dict(
        base_load=100.0, load_type=0, daily_pattern=True, daily_amplitude=10.0, weekly_pattern=True,
        weekly_amplitude=5.0, yearly_pattern=True, yearly_amplitude=8.0, temperature_sensitive=True,
        temperature_sensitivity=2.0, base_temperature=18.0, morning_peak_hour=8, evening_peak_hour=19,
        peak_amplitude=20.0, holiday_effect=0.3, extreme_weather_prob=0.1, extreme_weather_impact=1.5,
        noise_std=1.0, step_hours=1.0),
    "vital_signs": dict(
        baseline_mean=70.0, baseline_std=5.0, min_val=40.0, max_val=180.0, include_circadian=True,
        circadian_magnitude=5.0, include_hrv=True, include_events=True, event_probability=0.05, vital_sign_type=1),
    "clickstream": dict(
        base_sessions=100.0, conversion_mult=1.0, bounce_mult=1.0, depth_mult=1.0, seasonality_amp=0.5,
        conversion_rate=0.05, bounce_rate=0.4, avg_session_depth=3.0, include_seasonality=True, include_bots=True,
        bot_fraction=0.1, output_type=0),
}
CODES = {"energy_load": 24, "vital_signs": 25, "clickstream": 27}


def call(name, n, seed, holidays=(), **changes):
    kwargs = {**ARGS[name], **changes}
    if name == "energy_load":
        kwargs["holiday_days"] = np.array(holidays, np.int32)
    return getattr(_lib.domain, name)(length=n, seed=seed, **kwargs)


def batch(name, n, seed, arrays=(), **changes):
    scalars = np.array([float(v) for v in {**ARGS[name], **changes}.values()])
    (row,) = _lib.batch.generate_batch(CODES[name], scalars, [np.array(a, float) for a in arrays],
                                       np.array([n], np.int32), np.array([seed], np.uint64),
                                       np.zeros(3, np.uint64), {}, 0)
    return row["values"]


# ---------------------------------------------------------------------------
# One core, two roads: (name, changes, Python holidays, batch arrays)

ROAD = [
    ("energy_load", {}, [0, 5], [[0.0, 5.0]]),
    ("energy_load", {}, [], []),  # no array: no holidays
    ("energy_load", {"load_type": 2, "step_hours": 7.0}, [6, 7, 0], [[6.0, 7.5, NAN], [1.0]]),
    ("energy_load", {"load_type": 1, "step_hours": 0.25}, [2**31 - 1, -2**31, 3], [[1e12, -INF, 3.9]]),
    ("energy_load", {"load_type": -4, "step_hours": NAN, "noise_std": -2.0}, [0], [[0.0]]),
    *[("vital_signs", {"vital_sign_type": t, "include_hrv": t % 2 == 0, "include_events": t < 3}, (), [])
      for t in (-1, 0, 1, 2, 3, 4, 5, 2**31 - 1)],
    *[("clickstream", {"output_type": o, "include_bots": o != 2, "include_seasonality": o != 3}, (), [])
      for o in (0, 1, 2, 3, -7)],
]


@pytest.mark.parametrize("name,changes,holidays,arrays", ROAD)
def test_batch_road_equals_python_road(name, changes, holidays, arrays):
    n, seed = 2000, 11
    assert_bits_equal(batch(name, n, seed, arrays, **changes), call(name, n, seed, holidays, **changes))


# ---------------------------------------------------------------------------
# Seeded output, pinned: sha256 of the float64 bytes

GOLDEN = [
    ("energy_load", {}, [0, 100, 359], 1,
     "145e342831d051243392bff020ef54babf784664c7d35bc4a28858cd0f602dc0"),
    ("energy_load", {"load_type": 2, "step_hours": 0.5}, [3], 2,
     "219d3be7fbdf4cb684387a7c84b115c0006ed7fb613da21f3bc10f8783d95636"),
    ("energy_load", {"load_type": 1, "temperature_sensitive": False, "step_hours": 24.0}, [], 3,
     "3848039c2bb63cc97565d149d2003b893d7ef096a0f6f04aa5d3b31a1425b116"),
    ("vital_signs", {}, (), 1,
     "4c3aba1e9940c163e07bbf27bacb69d4c28ca79637c43b73fe2a9b5b912b6e40"),
    ("vital_signs", {"vital_sign_type": 4, "event_probability": 0.3, "min_val": 60.0, "max_val": 80.0}, (), 2,
     "a5befac16f84937c0f19fd6a076920611c81fb7f5191ee840d6ac0610ee2e633"),
    ("vital_signs", {"vital_sign_type": 0, "baseline_std": -3.0, "include_circadian": False}, (), 3,
     "83ac80431006e3ecda34d32cda1febc3c13839d63a76d3479ef08731889b9f75"),
    ("clickstream", {"output_type": 1}, (), 1, 
     "e53d13c3ff18c94046ae024d81e3b628a7e3c065cf8ff42ee6e48bf25da5ba1b"),
    ("clickstream", {"output_type": 3, "base_sessions": 0.5, "depth_mult": 0.5}, (), 2, 
     "d6ad696e3a1b3e029a5416d68db672625203e8c35cdd70c911087f0450b111b8"),
    ("clickstream", {"output_type": 2, "include_bots": False, "conversion_mult": 4.0}, (), 3, 
     "ae29586de4e24d76ecbcf457c3f481ca9d0d3fa92ba94cee504d196f61bdba79"),
]


@pytest.mark.parametrize("name,changes,holidays,seed,digest", GOLDEN)
def test_golden(name, changes, holidays, seed, digest):
    got = call(name, 3000, seed, holidays, **changes)
    assert hashlib.sha256(got.tobytes()).hexdigest() == digest


# ---------------------------------------------------------------------------
# Identities

def test_energy_load_identities():
    # The extreme-weather uniform is drawn whatever the probability, so an
    # impact of 1 leaves every value, noise included, as without extreme weather.
    calm = call("energy_load", 3000, 5, [1], extreme_weather_prob=0.0)
    assert_bits_equal(call("energy_load", 3000, 5, [1], extreme_weather_prob=0.7, extreme_weather_impact=1.0), calm)
    assert calm.min() >= 0.0 and (call("energy_load", 3000, 5, base_load=-150.0) == 0.0).mean() > 0.3
    # Far peak hours: the squared distance does not wrap, so the peaks vanish.
    off = dict(weekly_pattern=False, yearly_pattern=False, temperature_sensitive=False, noise_std=0.0,
               extreme_weather_prob=0.0, morning_peak_hour=50_000, evening_peak_hour=-2**31)
    assert (call("energy_load", 100, 5, **off) == 100.0).all()


def test_vital_signs_identities():
    # Type 5 draws its own event series where type 0 draws the general one, and
    # adds nothing from it: without events and HRV the two give the same values.
    quiet = dict(event_probability=0.0, include_hrv=False)
    assert_bits_equal(call("vital_signs", 3000, 7, vital_sign_type=5, include_events=False, **quiet),
                      call("vital_signs", 3000, 7, vital_sign_type=0, include_events=True, **quiet))
    tight = call("vital_signs", 3000, 7, event_probability=0.5, min_val=68.0, max_val=72.0)
    assert tight.min() == 68.0 and tight.max() == 72.0


def test_clickstream_identities():
    # Amplitude 0 makes every seasonal factor exactly 1.
    assert_bits_equal(call("clickstream", 3000, 9, seasonality_amp=0.0),
                      call("clickstream", 3000, 9, include_seasonality=False))
    # Every draw is made whatever the output: pages over sessions of the same
    # run is the mean depth of the negative binomial pages, k + NB(k, 1/M).
    quiet = dict(bounce_rate=0.0, include_bots=False, avg_session_depth=2.5, depth_mult=1.5)
    ratio = call("clickstream", 3000, 9, output_type=1, **quiet).sum() / call("clickstream", 3000, 9, **quiet).sum()
    assert abs(ratio - 3.75) < 0.03
    rate = call("clickstream", 3000, 9, output_type=3, base_sessions=3.0)
    assert rate.min() >= 0.0 and rate.max() <= 1.0 and (rate == 0.0).any()
    # All bots: each saturated bot count joins its sessions in 64 bits.
    total = call("clickstream", 300, 9, bot_fraction=1.0)
    assert (total > 0).any() and (total[total > 0] > 2**31 - 1).all()


# ---------------------------------------------------------------------------
# Argument checks and faults: (call, exception, message)

FAULTS = [
    (lambda: call("energy_load", 0, 1, step_hours=0.0), ValueError, "length must be > 0"),
    (lambda: call("energy_load", 5, 1, step_hours=0.0), ValueError, "step_hours must be > 0"),
    (lambda: call("energy_load", 5, 1, step_hours=-INF), ValueError, "step_hours must be > 0"),
    (lambda: call("energy_load", 5, 1, noise_std=INF), None, NORMAL),
    (lambda: batch("energy_load", 5, 1, noise_std=NAN, step_hours=-1.0), None, NORMAL),
    (lambda: call("vital_signs", 0, 1, baseline_std=NAN), ValueError, "length must be > 0"),
    (lambda: call("vital_signs", 5, 1, baseline_std=-INF), None, NORMAL),
    (lambda: batch("vital_signs", 0, 1), None, "vital_signs: empty series (no value at index 0)"),
    *[(lambda lo=lo, hi=hi: call("vital_signs", 5, 1, min_val=lo, max_val=hi), None,
       "vital_signs: min_val must be <= max_val and neither may be NaN") for lo, hi in ((2.0, 1.0), (NAN, 1.0))],
    (lambda: call("clickstream", -1, 1, depth_mult=NAN), ValueError, "length must be > 0"),
    (lambda: batch("clickstream", 0, 1), None, "clickstream: empty series (no value at index 0)"),
    *[(lambda m=m: call("clickstream", 5, 1, depth_mult=m), None,
       "invalid negative binomial params: r > 0 and p in (0, 1): ScaleTooSmall") for m in (1 / 3, 0.0, -1.0, NAN)],
    (lambda: call("clickstream", 5, 1, depth_mult=INF), None,
     "negative binomial: gamma sample produced invalid lambda: NonFinite"),
    (lambda: call("clickstream", 5, 1, bounce_mult=NAN), None,
     "invalid binomial params: n >= 0 and p in [0, 1]: ProbabilityTooSmall"),
    (lambda: call("clickstream", 5, 1, base_sessions=INF), None,
     "invalid poisson param: lambda must be finite: NonFinite"),
]


@pytest.mark.parametrize("run,kind,text", FAULTS)
def test_faults(run, kind, text):
    if kind is None:
        assert_panics(run, text=text)
        return
    with pytest.raises(kind) as info:
        run()
    assert str(info.value) == text
