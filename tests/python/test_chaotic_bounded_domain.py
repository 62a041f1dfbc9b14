"""chaotic_system, bounded_process, intermittent_demand, iot_sensor and
daily_active_users: the batch road equals the Python road, seeded outputs
are pinned by digest, one stated property per generator, and the faults."""

import hashlib
import inspect
import math

import numpy as np
import pytest

from conftest import assert_bits_equal, assert_panics
from quillmarten import _lib

S, D = _lib.stochastic, _lib.domain
NAN, INF = math.nan, math.inf
NORMAL = "invalid normal params: std must be finite and >= 0: BadVariance"
GAMMA = "invalid gamma params: shape and scale must be > 0 and finite: "
UNIFORM = "invalid uniform params: requires a < b and finite: "
MG_TAU = "chaotic_system: mg_tau must be >= 0 for the Mackey-Glass map"
BERNOULLI = "invalid bernoulli param: p must be in [0, 1]: InvalidProbability"


def call(fn_kw):
    return fn_kw[0](**fn_kw[1])


def maker(fn, **base):
    """maker(fn, **base)(**changes) -> (fn, kwargs): one generator's calls, as changes to a base call."""
    return lambda **changes: (fn, {**base, **changes})


chaotic = maker(S.chaotic_system, length=300, system_id=0, sigma=10.0, rho=28.0, beta=8 / 3, dt=0.01,
                logistic_r=3.9, mg_beta=0.2, mg_gamma=0.1, mg_n=10.0, mg_tau=17, observation_noise=0.0,
                initial_perturbation=0.1, seed=7)
bounded = maker(S.bounded_process, length=300, model_id=0, phi=0.6, omega=0.2, kappa=20.0, sigma_param=0.4,
                initial_value=0.5, lower=-2.0, upper=3.0, seed=11)
demand = maker(D.intermittent_demand, length=400, demand_probability=0.3, demand_distribution=0, demand_mean=3.0,
               demand_std=2.0, intermittent_pattern=0, cluster_size=3, seasonal_period=12, seasonal_peak_prob=0.8,
               min_demand=0.0, seed=5)
sensor = maker(D.iot_sensor, length=400, base_value=20.0, trend=0.01, amplitude=2.0, period=24.0,
               measurement_noise=0.3, drift_rate=0.001, drift_noise=0.02, battery_degradation=True,
               battery_life=300.0, battery_degradation_rate=0.02, calibration_offset=0.5, failure_mode=0,
               failure_probability=0.02, failure_duration=5, stuck_value=None, spatial_correlation=0.3, seed=3)
users = maker(D.daily_active_users, length=300, base_users=1000.0, growth_rate=0.002, weekend_factor=0.7,
              weekly_pattern=True, event_probability=0.03, event_impact_min=1.2, event_impact_max=2.5,
              event_decay_rate=0.2, noise_std=0.05, step_hours=6.0, seed=13)


# ---------------------------------------------------------------------------
# The batch road runs the same core: same values, bit for bit

ROAD = [
    (12, *chaotic()),
    (12, *chaotic(system_id=1, observation_noise=0.05, seed=2**64 - 1)),
    (12, *chaotic(system_id=2, mg_tau=3, observation_noise=0.01)),
    (13, *bounded()),
    (13, *bounded(model_id=-4, phi=0.95, seed=0)),
    *[(22, *demand(intermittent_pattern=pat, demand_distribution=law, min_demand=0.5))
      for pat, law in [(0, 0), (1, 1), (2, 2), (0, 3), (7, 0)]],
]


@pytest.mark.parametrize("gen_type,fn,kw", ROAD)
def test_batch_road_equals_python_road(gen_type, fn, kw):
    scalars = [kw[p] for p in inspect.signature(fn).parameters if p not in ("length", "seed")]
    rows = _lib.batch.generate_batch(gen_type, np.array(scalars, dtype=np.float64), [],
                                     np.array([kw["length"]], dtype=np.int32), np.array([kw["seed"]], dtype=np.uint64),
                                     np.zeros(3, dtype=np.uint64), {}, 0)
    assert_bits_equal(rows[0]["values"], fn(**kw))


# ---------------------------------------------------------------------------
# Seeded outputs, pinned

GOLDEN = [
    (*chaotic(), "35d17a0bbf94a2e4"),
    (*chaotic(system_id=1, observation_noise=0.05), "43e61559ceb91ee4"),
    (*chaotic(system_id=2), "5e78563efd176c24"),
    (*chaotic(system_id=2, mg_tau=0), "5b638086c129ee32"),
    # A delay longer than the series: every delayed value is the start (no 16 GiB ring).
    (*chaotic(system_id=2, mg_tau=2**31 - 1), "362d03ac1b6785a5"),
    (*chaotic(dt=0.003, length=40), "9d3fab41267f82ba"),  # 333 steps per sample
    (*bounded(), "168c5f1d211917fd"),
    (*bounded(model_id=1, phi=0.9), "cf7c5ed546ec18da"),
    (*bounded(model_id=1, phi=1.0, sigma_param=40.0), "ddb45cb1d0c42a45"),  # past both logit cut-offs
    # kappa = 0.01: both gamma draws underflow to 0 at value 12 (0/0 as written).
    (*bounded(kappa=0.01, seed=7, length=100), "8c4a81403f534b38"),
    (*demand(), "b425ddb1e18c311d"),
    (*demand(demand_mean=40.0), "881354664ed22483"),  # Poisson from 12 on
    (*demand(intermittent_pattern=1, demand_distribution=1), "2e12b62ce3b79c46"),
    (*demand(intermittent_pattern=2, demand_distribution=2), "bc568d09cefff302"),
    (*demand(demand_distribution=3), "86f6de8ede2a9ae8"),
    (*demand(intermittent_pattern=1, demand_distribution=4, demand_probability=0.01), "b21613f45cfb1b7c"),
    (*sensor(), "fec7e07505ee4e84"),
    (*sensor(failure_mode=1, failure_probability=0.005), "2df334f9ca13cdca"),
    (*sensor(failure_mode=2, period=-1.0), "5d48d8e13ccd7d87"),
    (*sensor(failure_mode=3), "893a6b7bc329adf2"),
    (*sensor(failure_mode=3, stuck_value=-1.5, failure_duration=-2**31), "a28c99b9be56a318"),
    (*users(), "9211b0b4ed2bd7f5"),
    (*users(step_hours=24.0, event_decay_rate=0.0, growth_rate=-0.01), "3a889dfdfc699c9e"),
    # The day wraps to -2^31 at sample 1 (growth 1.5^-2^31 = 0), to 0 at sample 2.
    (*users(length=3, step_hours=24.0 * 2**31, growth_rate=0.5), "09e9d1a762850ab4"),
    (*users(step_hours=NAN), "895d0c6c4c4c09a2"),
]


def digest(out):  # daily_active_users: the values' bytes, then the flags'
    parts = out if isinstance(out, tuple) else (out,)
    return hashlib.sha256(b"".join(a.tobytes() for a in parts)).hexdigest()[:16]


@pytest.mark.parametrize("fn,kw,want", GOLDEN)
def test_golden(fn, kw, want):
    assert digest(fn(**kw)) == want


# ---------------------------------------------------------------------------
# Properties

def test_chaotic_observation_noise_is_added_after_the_system():
    # The system's draws come first, so the noisy series minus the clean one
    # is the noise alone: N(0, 0.5^2).
    fn, kw = chaotic(length=20_000, dt=0.05)
    diff = fn(**{**kw, "observation_noise": 0.5}) - fn(**kw)
    assert abs(diff.mean()) < 4 * 0.5 / math.sqrt(diff.size)
    assert abs(diff.std() / 0.5 - 1) < 0.03


def test_bounded_beta_values_are_independent_betas_without_memory():
    # phi = 0, omega = 1/2: every unit value is a Beta(k/2, k/2) draw,
    # mean 1/2 and variance 1 / (4 (k + 1)).
    fn, kw = bounded(length=100_000, phi=0.0, omega=0.5, kappa=4.0, lower=0.0, upper=1.0)
    u = fn(**kw)
    assert abs(u.mean() - 0.5) < 4 * math.sqrt(0.05 / u.size)
    assert abs(u.var() / 0.05 - 1) < 0.02


def flagged(**changes):
    fn, kw = demand(min_demand=1.0, **changes)
    return np.flatnonzero(fn(**kw))


@pytest.mark.parametrize("p", [0.2, 0.8])  # the two roads of the geometric draw
def test_demand_clusters_are_separated_by_geometric_gaps(p):
    # Each cycle is one empty period, a gap of mean (1 - p) / p, and a cluster.
    share = flagged(length=200_000, intermittent_pattern=1, demand_probability=p).size / 200_000
    assert abs(share / (3 / (3 + 1 + (1 - p) / p)) - 1) < 0.02


@pytest.mark.parametrize("kw,same_as", [
    (dict(demand_distribution=1, demand_std=1.5), dict(demand_distribution=0)),  # s^2 <= mean: Poisson
    (dict(intermittent_pattern=2, seasonal_peak_prob=0.3), dict(intermittent_pattern=0)),
    (dict(intermittent_pattern=2, seasonal_period=-1, seasonal_peak_prob=0.0),  # r = 0: the peak every period
     dict(intermittent_pattern=0, demand_probability=0.0)),
])
def test_demand_identities(kw, same_as):
    assert_bits_equal(call(demand(**kw)), call(demand(**same_as)))


@pytest.mark.parametrize("changes,want", [
    (dict(intermittent_pattern=1, demand_probability=1.0, cluster_size=2), [1, 2, 4, 5, 7]),
    (dict(intermittent_pattern=3), []),
    # 1 - p rounds to 1: an unbounded gap, no cluster (no endless loop with size 0).
    (dict(intermittent_pattern=1, demand_probability=1e-17, cluster_size=2), []),
    (dict(intermittent_pattern=1, demand_probability=1e-17, cluster_size=0), []),
    (dict(intermittent_pattern=1, demand_probability=1e-12, cluster_size=2), []),  # gaps near 10^12 (k = 40)
])
def test_demand_flags(changes, want):
    assert flagged(length=8, **changes).tolist() == want


def test_sensor_reading_is_the_signal_plus_measurement_noise():
    fn, kw = sensor(length=50_000, drift_rate=0.0, drift_noise=0.0, battery_degradation=False)
    t = np.arange(50_000.0)
    signal = ((0.01 * t + 20.0) + np.sin((t * 6.283185307179586) / 24.0) * 2.0) + 0.5
    noise = fn(**kw) - signal
    assert abs(noise.mean()) < 4 * 0.3 / math.sqrt(noise.size)
    assert abs(noise.std() / 0.3 - 1) < 0.02


@pytest.mark.parametrize("changes,check", [
    (dict(failure_mode=1, failure_probability=1.0), lambda a: np.isnan(a).all()),
    (dict(failure_mode=2, failure_probability=1.0, failure_duration=3), lambda a: np.isnan(a).all()),
    # Stuck at the reading of the failing sample, for d samples, then a new failure.
    (dict(failure_mode=3, failure_probability=1.0, failure_duration=4),
     lambda a: (a.reshape(-1, 4) == a[::4, None]).all() and len(set(a)) == 100),
    (dict(failure_mode=3, failure_probability=1.0, failure_duration=1, stuck_value=7.0), lambda a: (a == 7.0).all()),
    # Aged by 10 per sample: the factor 1 - e / 10 is 0 from one sample past battery_life.
    (dict(battery_life=150.0, battery_degradation_rate=10.0), lambda a: (a[151:] == 0).all() and (a[:151] > 10).all()),
])
def test_sensor_failures(changes, check):
    assert check(call(sensor(**changes)))


def test_users_events_lift_their_own_sample_by_a_uniform_impact():
    # Decay 1, no growth, no noise: a flagged sample is base * m with m uniform
    # on [1.2, 2.5), every other sample is base.
    values, flags = call(users(length=100_000, growth_rate=0.0, weekly_pattern=False, event_probability=0.2,
                               event_decay_rate=1.0, noise_std=0.0))
    assert flags.dtype == np.int32 and flags.shape == values.shape and set(flags) == {0, 1}
    m = values[flags == 1] / 1000.0
    assert abs(m.size / 100_000 - 0.2) < 0.005 and (values[flags == 0] == 1000.0).all()
    assert abs(m.mean() - 1.85) < 0.01 and m.min() >= 1.2 and m.max() < 2.5


@pytest.mark.parametrize("step,weekend", [(24.0, [5, 6, 12, 13]), (1.0, list(range(120, 168)))])
def test_users_weekend_days(step, weekend):
    values, _ = call(users(length=168, growth_rate=0.0, event_probability=0.0, noise_std=0.0, step_hours=step))
    assert np.flatnonzero(values != 1000.0)[:len(weekend)].tolist() == weekend
    assert set(values) == {1000.0, 700.0}


# ---------------------------------------------------------------------------
# Faults and argument checks

FAULTS = [
    (*chaotic(length=0), ValueError, "length must be > 0"),
    (*chaotic(system_id=2, mg_tau=-1), "panic", MG_TAU),
    (*chaotic(system_id=2, mg_tau=-2**31, length=1), "panic", MG_TAU),
    (*chaotic(observation_noise=INF), "panic", NORMAL),
    (*demand(demand_probability=1.5), "panic", BERNOULLI),
    (*demand(intermittent_pattern=2, seasonal_peak_prob=NAN), "panic", BERNOULLI),
    (*demand(intermittent_pattern=2, seasonal_period=0), "panic",
     "intermittent_demand: seasonal_period must not be 0 for the seasonal pattern"),
    (*demand(intermittent_pattern=1, demand_probability=0.0), "panic",
     "invalid geometric param: p must be in (0, 1]: InvalidProbability"),
    (*demand(demand_distribution=1, demand_mean=0.0), "panic", GAMMA + "ShapeTooSmall"),
    (*demand(demand_distribution=1, demand_mean=-1.0, demand_std=1.0), "panic", GAMMA + "ScaleTooSmall"),
    (*demand(demand_distribution=3, demand_std=0.0), "panic", GAMMA + "ScaleTooSmall"),
    (*demand(demand_distribution=2, demand_mean=0.0), "panic",
     "invalid lognormal params: std must be finite and >= 0: BadVariance"),
    (*demand(demand_mean=NAN), "panic", "invalid poisson param: lambda must be finite: NonFinite"),
    (*sensor(measurement_noise=NAN), "panic", NORMAL),
    (*sensor(length=2, drift_noise=-INF), "panic", NORMAL),
    (*sensor(battery_life=0.0, battery_degradation_rate=INF), "panic", NORMAL),
    (*users(length=0, step_hours=0.0), ValueError, "length must be > 0"),
    (*users(step_hours=0.0), ValueError, "step_hours must be > 0"),
    (*users(step_hours=-INF), ValueError, "step_hours must be > 0"),
    (*users(event_probability=1.0, event_impact_min=2.0, event_impact_max=2.0), "panic", UNIFORM + "EmptyRange"),
    (*users(event_probability=1.0, event_impact_min=-INF), "panic", UNIFORM + "NonFinite"),
    (*users(noise_std=INF), "panic", NORMAL),
    (*bounded(length=0, lower=1.0, upper=0.0), ValueError, "length must be > 0"),
    (*bounded(lower=1.0, upper=1.0), ValueError, "lower must be < upper"),
    (*bounded(kappa=0.0), "panic", GAMMA + "ShapeTooSmall"),
    (*bounded(kappa=NAN), "panic", GAMMA + "ShapeTooSmall"),
]


@pytest.mark.parametrize("fn,kw,kind,text", FAULTS)
def test_faults(fn, kw, kind, text):
    if kind == "panic":
        assert_panics(fn, **kw, text=text)
    else:
        with pytest.raises(kind) as info:
            fn(**kw)
        assert str(info.value) == text
