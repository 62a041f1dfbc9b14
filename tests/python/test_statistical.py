"""random_walk and seasonal: exact seeded values, laws, checks and faults.

The exact values are rebuilt from scratch with the reference engine and draws
(reference.py), so every value must match to the bit.
"""

import math

import numpy as np
import pytest
from scipy import stats

from conftest import assert_bits_equal, assert_panics
from quillmarten import _lib
from reference import RefEngine

S = _lib.statistical
random_walk, seasonal = S.random_walk, S.seasonal


# ---------------------------------------------------------------------------
# Reference series

def ref_random_walk(n, drift, volatility, start_value, seed, code, param):
    eng, x, out = RefEngine(seed), start_value, []
    for _ in range(n):
        x = x + (eng.innovation(code, volatility, param) + drift)
        out.append(x)
    return np.array(out), eng


def seasonal_curve(t, period, amplitude, trend, base):
    w = 6.283185307179586 / float(period)
    return (amplitude * math.sin(w * t) + base) + trend * t


def ref_seasonal(n, period, amplitude, trend, noise, base, seed, code, param):
    eng = RefEngine(seed)
    out = []
    for t in range(n):
        e = eng.innovation(code, noise, param)
        out.append(seasonal_curve(float(t), period, amplitude, trend, base) + e)
    return np.array(out), eng


# ---------------------------------------------------------------------------
# Exact values for every law

# (code, param, seed, length, rare branches the comparison must go through)
LAWS = [
    pytest.param(0, 0.0, 1, 2000, {"normal tail", "normal wedge"}, id="normal"),
    pytest.param(1, 2.5, 1, 800, {"normal wedge", "gamma t <= 0", "gamma log test", "gamma reject"},
                 id="student-t df=2.5"),
    pytest.param(1, 7.0, 3, 400, set(), id="student-t df=7"),
    pytest.param(2, 0.0, 1, 1200, {"exponential tail", "exponential wedge"}, id="laplace"),
    pytest.param(3, 0.0, 14, 700, set(), id="uniform"),
    pytest.param(4, 3.0, 1, 600, {"normal tail", "normal wedge"}, id="skew-normal a=3"),
    pytest.param(4, -0.7, 16, 400, set(), id="skew-normal a=-0.7"),
    pytest.param(7, 9.0, 17, 400, set(), id="code 7 is normal"),
    pytest.param(-1, 0.0, 0, 400, set(), id="code -1 is normal, seed 0"),
    pytest.param(2**31 - 1, 1.0, 2**64 - 1, 400, set(), id="code 2**31-1 is normal"),
]


@pytest.mark.parametrize("code,param,seed,n,rare", LAWS)
def test_seasonal_exact(code, param, seed, n, rare):
    args = (n, 24, 3.5, -0.01, 1.7, 100.0, seed, code, param)
    want, eng = ref_seasonal(*args)
    assert rare <= set(eng.paths), eng.paths
    assert eng.outputs > 312  # crosses at least one regeneration of the state
    assert_bits_equal(seasonal(*args), want)


@pytest.mark.parametrize("code,param,seed,n,rare", LAWS)
def test_random_walk_exact(code, param, seed, n, rare):
    n = min(n, 800)
    args = (n, 0.25, 0.7, -3.0, seed, code, param)
    want, _ = ref_random_walk(*args)
    assert_bits_equal(random_walk(*args), want)


# Regression pins: the first three innovations for seed 42 and scale 1.
PINNED = {
    (0, 0.0): ("0x1.e02d9701cd2a1p-2", "0x1.689402b4e11c7p-2", "0x1.75a050bac1cf6p+0"),
    (1, 5.0): ("0x1.6419b45712c63p-2", "-0x1.7d5e4654401f4p-1", "0x1.be541448caf97p-2"),
    (2, 0.0): ("-0x1.547c66bf13994p-3", "0x1.3a52c62f638e8p+1", "0x1.590a48e71b629p+0"),
    (3, 0.0): ("0x1.c48c88dac6c6cp-1", "0x1.ed2d7fa658060p-2", "0x1.bf35b3fe8f314p-1"),
    (4, 2.0): ("-0x1.8fd1ddf7134a6p-3", "-0x1.3f39b32503669p-5", "0x1.28bf59d76d3e5p-4"),
}


def innovations(n, seed, code, param, scale=1.0):
    """The raw innovations: seasonal with a zero curve adds nothing to them."""
    return seasonal(n, 1, 0.0, 0.0, scale, 0.0, seed, code, param)


@pytest.mark.parametrize("code,param", PINNED)
def test_pinned_innovations(code, param):
    got = innovations(3, 42, code, param)
    assert tuple(v.hex() for v in got) == PINNED[(code, param)]


# ---------------------------------------------------------------------------
# Draw-count and law invariants that need no reference

def test_skew_normal_with_zero_shape_is_the_second_of_two_normals():
    # Both normal draws are made even though the first one then counts for nothing.
    assert_bits_equal(innovations(500, 9, 4, 0.0, 1.3), innovations(1000, 9, 0, 0.0, 1.3)[1::2])


@pytest.mark.parametrize("code", [0, 2, 3, 5, -7])
def test_param_is_ignored_outside_student_t_and_skew_normal(code):
    base = innovations(300, 4, code, 0.0)
    for param in (1.0, -3.5, math.nan, math.inf):
        assert_bits_equal(innovations(300, 4, code, param), base)


def test_negative_scale_mirrors_the_normal_law():
    assert_bits_equal(innovations(300, 6, 0, 0.0, -2.0), -innovations(300, 6, 0, 0.0, 2.0))


@pytest.mark.parametrize("sigma", [1.0, 0.3, 1e-300, 1e300])
def test_uniform_law_stays_inside_its_range(sigma):
    a = sigma * 1.7320508075688772
    e = innovations(5000, 8, 3, 0.0, sigma)
    assert e.min() >= -a and e.max() < a


@pytest.mark.parametrize("code,param", [(0, 0.0), (1, 4.0), (2, 0.0), (3, 0.0), (4, 1.0)])
def test_same_seed_same_values_shorter_is_a_prefix(code, param):
    rw = random_walk(600, 0.1, 1.0, 5.0, 77, code, param)
    se = seasonal(600, 12, 2.0, 0.05, 1.0, 10.0, 77, code, param)
    for n in (1, 311, 312, 313, 600):
        assert_bits_equal(random_walk(n, 0.1, 1.0, 5.0, 77, code, param), rw[:n])
        assert_bits_equal(seasonal(n, 12, 2.0, 0.05, 1.0, 10.0, 77, code, param), se[:n])
    assert not np.array_equal(random_walk(600, 0.1, 1.0, 5.0, 78, code, param), rw)
    assert not np.array_equal(seasonal(600, 12, 2.0, 0.05, 1.0, 10.0, 78, code, param), se)


# ---------------------------------------------------------------------------
# Deterministic shapes

@pytest.mark.parametrize("code,param", [(0, 0.0), (1, 5.0), (2, 0.0), (4, 3.0), (9, 0.0)])
@pytest.mark.parametrize("period", [1, 7, 24, 2**31 - 1])
def test_seasonal_without_noise_is_the_curve(code, param, period):
    got = seasonal(1000, period, 3.25, -0.013, 0.0, 2.5, 21, code, param)
    want = np.array([seasonal_curve(float(t), period, 3.25, -0.013, 2.5) for t in range(1000)])
    assert_bits_equal(got, want)


def test_random_walk_without_volatility_accumulates_the_drift():
    got = random_walk(1000, 0.1, 0.0, 1.0, 3, 0, 0.0)
    x, want = 1.0, []
    for _ in range(1000):
        x = x + 0.1
        want.append(x)
    assert_bits_equal(got, np.array(want))
    # Summed step by step, not start + k * drift.
    assert not np.array_equal(got, 1.0 + 0.1 * np.arange(1, 1001))


@pytest.mark.parametrize("drift,start,level", [
    (math.nan, 0.0, math.nan), (0.0, math.nan, math.nan), (math.inf, -math.inf, math.nan),
    (math.inf, 0.0, math.inf), (-math.inf, 5.0, -math.inf), (0.0, math.inf, math.inf),
])
def test_random_walk_non_finite_level_runs_without_error(drift, start, level):
    assert_bits_equal(random_walk(50, drift, 1.0, start, 1, 0, 0.0), np.full(50, level))


@pytest.mark.parametrize("code,param", [(0, 0.0), (1, 5.0), (2, 0.0), (4, 2.0), (-4, 0.0)])
def test_zero_scale_signs(code, param):
    # With every term a zero, only the signs of the zeros are left to compare:
    # the normal law's value is never -0.0, the Student-t and skew-normal ones may be.
    args = (300, -0.0, 0.0, -0.0, 31, code, param)
    assert_bits_equal(random_walk(*args), ref_random_walk(*args)[0])


def test_seasonal_optional_and_keyword_arguments():
    pos = seasonal(200, 12, 1.0, 0.1, 0.5, 3.0, 2)
    assert_bits_equal(pos, seasonal(200, 12, 1.0, 0.1, 0.5, 3.0, 2, 0, 0.0))
    kw = dict(length=200, seasonality_period=12, seasonality_amplitude=1.0, trend=0.1, noise_level=0.5,
              base_level=3.0, seed=2)
    assert_bits_equal(seasonal(**kw), pos)
    assert_bits_equal(seasonal(**kw, innov_param=7.0, innov_dist=1), seasonal(200, 12, 1.0, 0.1, 0.5, 3.0, 2, 1, 7.0))
    assert_bits_equal(random_walk(innov_param=0.0, innov_dist=3, seed=2, start_value=1.0, volatility=0.5, drift=0.0,
                                  length=50), random_walk(50, 0.0, 0.5, 1.0, 2, 3, 0.0))


# ---------------------------------------------------------------------------
# Argument checks and faults

def rw_args(**changes):
    args = dict(length=10, drift=0.0, volatility=1.0, start_value=0.0, seed=1, innov_dist=0, innov_param=0.0)
    args.update(changes)
    return tuple(args.values())


def se_args(**changes):
    args = dict(length=10, seasonality_period=12, seasonality_amplitude=1.0, trend=0.0, noise_level=1.0,
                base_level=0.0, seed=1, innov_dist=0, innov_param=0.0)
    args.update(changes)
    return tuple(args.values())


CHECKS = [
    (random_walk, rw_args(length=0), "length must be > 0"),
    (random_walk, rw_args(length=-2**31), "length must be > 0"),
    # the check comes before any draw, so a law that would fault is never reached
    (random_walk, rw_args(length=0, innov_dist=1, innov_param=1.0), "length must be > 0"),
    (seasonal, se_args(length=0), "length must be > 0"),
    (seasonal, se_args(length=-1, seasonality_period=0), "length must be > 0"),
    (seasonal, se_args(seasonality_period=0), "seasonality_period must be > 0"),
    (seasonal, se_args(seasonality_period=-2**31), "seasonality_period must be > 0"),
    (seasonal, se_args(seasonality_period=-12, noise_level=math.inf), "seasonality_period must be > 0"),
]


@pytest.mark.parametrize("fn,args,text", CHECKS)
def test_argument_checks(fn, args, text):
    with pytest.raises(ValueError) as info:
        fn(*args)
    assert str(info.value) == text


def test_every_argument_is_converted_before_the_checks():
    with pytest.raises(OverflowError):
        random_walk(*rw_args(length=0, seed=-1))
    with pytest.raises(TypeError):
        seasonal(*se_args(length=0, seasonality_period=0, innov_param="x"))


STUDENT = "Student's t df must be > 2 for finite variance"
LAPLACE = "invalid laplace param: scale must be > 0: LambdaTooSmall"
UNIFORM = "invalid uniform innovation param: scale must be > 0: "
NORMAL = "invalid normal params: std must be finite and >= 0: BadVariance"

FAULTS = [
    (1, 1.0, 2.0, STUDENT),
    (1, 1.0, 1.0, STUDENT),
    (1, 1.0, -math.inf, STUDENT),
    (1, 1.0, math.nan, STUDENT),
    (2, -1.0, 0.0, LAPLACE),
    (2, -0.0, 0.0, LAPLACE),
    (2, math.nan, 0.0, LAPLACE),
    (3, 0.0, 0.0, UNIFORM + "EmptyRange"),
    (3, -2.0, 0.0, UNIFORM + "EmptyRange"),
    (3, math.nan, 0.0, UNIFORM + "EmptyRange"),
    (3, math.inf, 0.0, UNIFORM + "NonFinite"),
    (3, 1e308, 0.0, UNIFORM + "NonFinite"),  # a is finite, 2a is not
    (0, math.inf, 0.0, NORMAL),
    (0, math.nan, 0.0, NORMAL),
    (-3, -math.inf, 0.0, NORMAL),
]


@pytest.mark.parametrize("code,scale,param,text", FAULTS)
def test_law_faults(code, scale, param, text, capfd):
    for fn, args in ((random_walk, rw_args(volatility=scale, innov_dist=code, innov_param=param)),
                     (seasonal, se_args(noise_level=scale, innov_dist=code, innov_param=param))):
        assert_panics(fn, *args, text=text)
        assert text in capfd.readouterr().err


@pytest.mark.parametrize("code,scale,param", [
    (1, 1.0, 2.0000000001),  # just above 2 is a valid Student-t
    (1, 0.0, 5.0),
    (2, 0.0, 0.0),          # a zero-scale Laplace is 0, not a fault
    (3, 1e-300, 0.0),
    (4, math.inf, 1.0),     # skew-normal checks nothing
    (4, -1.0, math.nan),
    (0, -1.0, 0.0),         # a negative normal scale is accepted
])
def test_edge_parameters_that_run(code, scale, param):
    assert random_walk(*rw_args(volatility=scale, innov_dist=code, innov_param=param)).shape == (10,)
    assert seasonal(*se_args(noise_level=scale, innov_dist=code, innov_param=param)).shape == (10,)


# ---------------------------------------------------------------------------
# Statistics of the steps (fixed seeds, so each check is deterministic)

def skewnorm_standardised(alpha, sigma):
    delta = alpha / math.sqrt(1.0 + alpha * alpha)
    v = 1.0 - 2.0 * delta * delta / math.pi
    scale = sigma / math.sqrt(v)
    return stats.skewnorm(alpha, loc=-scale * delta * math.sqrt(2.0 / math.pi), scale=scale)


SIGMA = 1.5
STEP_LAWS = [
    pytest.param(0, 0.0, stats.norm(scale=SIGMA), id="normal"),
    pytest.param(1, 6.0, stats.t(6.0, scale=SIGMA * math.sqrt(4.0 / 6.0)), id="student-t df=6"),
    pytest.param(1, 30.0, stats.t(30.0, scale=SIGMA * math.sqrt(28.0 / 30.0)), id="student-t df=30"),
    pytest.param(2, 0.0, stats.laplace(scale=SIGMA / math.sqrt(2.0)), id="laplace"),
    pytest.param(3, 0.0, stats.uniform(loc=-SIGMA * math.sqrt(3.0), scale=2.0 * SIGMA * math.sqrt(3.0)),
                 id="uniform"),
    pytest.param(4, 4.0, skewnorm_standardised(4.0, SIGMA), id="skew-normal a=4"),
    pytest.param(4, -1.0, skewnorm_standardised(-1.0, SIGMA), id="skew-normal a=-1"),
]


@pytest.mark.parametrize("code,param,law", STEP_LAWS)
def test_random_walk_steps_follow_the_law(code, param, law):
    n, drift = 40_000, 0.2
    walk = random_walk(n, drift, SIGMA, 0.0, 2024, code, param)
    steps = np.diff(walk, prepend=0.0) - drift
    assert abs(steps.mean()) < 5.0 * SIGMA / math.sqrt(n)
    assert abs(steps.var() / SIGMA**2 - 1.0) < 0.06
    assert stats.kstest(steps, law.cdf).pvalue > 1e-3
    # The same steps against the normal law: the test can tell the laws apart.
    if code in (1, 2, 3) and param != 30.0:
        assert stats.kstest(steps, stats.norm(scale=SIGMA).cdf).pvalue < 1e-6
