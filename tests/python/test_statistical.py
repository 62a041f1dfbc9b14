"""random_walk and seasonal: exact seeded values for every law, argument
checks, faults, and the shape of each law.

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

random_walk, seasonal = _lib.statistical.random_walk, _lib.statistical.seasonal
NAN, INF = math.nan, math.inf


def ref_random_walk(n, drift, volatility, start_value, seed, code, param):
    eng, x, out = RefEngine(seed), start_value, []
    for _ in range(n):
        x = x + (eng.innovation(code, volatility, param) + drift)
        out.append(x)
    return np.array(out), eng


def ref_seasonal(n, period, amplitude, trend, noise, base, seed, code, param):
    eng, w, out = RefEngine(seed), 6.283185307179586 / float(period), []
    for t in map(float, range(n)):
        e = eng.innovation(code, noise, param)
        out.append(((amplitude * math.sin(w * t) + base) + trend * t) + e)
    return np.array(out), eng


# (code, param, scale, seed, length, rare branches the comparison must go through)
LAWS = [
    pytest.param(0, 0.0, 1.7, 1, 2000, {"normal tail", "normal wedge"}, id="normal"),
    pytest.param(0, NAN, -2.0, 6, 400, set(), id="normal, negative scale, param ignored"),
    pytest.param(1, 2.5, 1.7, 1, 800, {"normal wedge", "gamma t <= 0", "gamma log test", "gamma reject"},
                 id="student-t df=2.5"),
    pytest.param(1, 7.0, 1.7, 3, 400, set(), id="student-t df=7"),
    pytest.param(2, NAN, 1.7, 1, 1200, {"exponential tail", "exponential wedge"}, id="laplace"),
    pytest.param(3, 0.0, 1.7, 14, 700, set(), id="uniform"),
    pytest.param(3, -3.5, 1e300, 5, 400, set(), id="uniform, huge scale"),
    pytest.param(4, 3.0, 1.7, 1, 600, {"normal tail", "normal wedge"}, id="skew-normal a=3"),
    pytest.param(4, -0.7, 1.7, 16, 400, set(), id="skew-normal a=-0.7"),
    pytest.param(4, 0.0, 1.3, 9, 400, set(), id="skew-normal a=0"),
    pytest.param(-1, INF, 1.7, 0, 400, set(), id="code -1 is normal, seed 0, param ignored"),
    pytest.param(2**31 - 1, 1.0, 1.7, 2**64 - 1, 400, set(), id="code 2**31-1 is normal"),
]


@pytest.mark.parametrize("code,param,scale,seed,n,rare", LAWS)
def test_exact_values(code, param, scale, seed, n, rare):
    args = (n, 24, 3.5, -0.01, scale, 100.0, seed, code, param)
    want, eng = ref_seasonal(*args)
    assert rare <= set(eng.paths), eng.paths
    assert eng.outputs > 312  # crosses at least one regeneration of the state
    assert_bits_equal(seasonal(*args), want)
    args = (min(n, 800), 0.25, scale, -3.0, seed, code, param)
    assert_bits_equal(random_walk(*args), ref_random_walk(*args)[0])


ZERO_LAWS = [(0, 0.0), (1, 5.0), (2, 0.0), (4, 2.0), (-4, 0.0)]


@pytest.mark.parametrize("fn,ref,args", [
    # With every term a zero only the signs of the zeros are left to compare: the
    # normal law's value is never -0.0, the Student-t and skew-normal ones may be.
    *[(random_walk, ref_random_walk, (300, -0.0, 0.0, -0.0, 31, *law)) for law in ZERO_LAWS],
    *[(seasonal, ref_seasonal, (400, period, 3.25, -0.013, 0.0, 2.5, 21, *law))
      for period, law in zip((1, 7, 24, 2**31 - 1, 5), ZERO_LAWS)],
    # Non-finite levels spread without an error.
    (random_walk, ref_random_walk, (50, NAN, 1.0, 0.0, 1, 0, 0.0)),
    (random_walk, ref_random_walk, (50, INF, 1.0, -INF, 1, 0, 0.0)),
    (random_walk, ref_random_walk, (50, -INF, 1.0, 5.0, 1, 2, 0.0)),
])
def test_edge_settings_match_reference(fn, ref, args):
    assert_bits_equal(fn(*args), ref(*args)[0])


def test_keyword_arguments_and_defaults():
    assert_bits_equal(seasonal(200, 12, 1.0, 0.1, 0.5, 3.0, 2), seasonal(200, 12, 1.0, 0.1, 0.5, 3.0, 2, 0, 0.0))
    assert_bits_equal(random_walk(innov_param=4.0, innov_dist=1, seed=2, start_value=1.0, volatility=0.5, drift=0.0,
                                  length=50), random_walk(50, 0.0, 0.5, 1.0, 2, 1, 4.0))


# ---------------------------------------------------------------------------
# Argument checks and faults

def rw_args(**changes):
    args = dict(length=10, drift=0.0, volatility=1.0, start_value=0.0, seed=1, innov_dist=0, innov_param=0.0)
    return tuple({**args, **changes}.values())


def se_args(**changes):
    args = dict(length=10, seasonality_period=12, seasonality_amplitude=1.0, trend=0.0, noise_level=1.0,
                base_level=0.0, seed=1, innov_dist=0, innov_param=0.0)
    return tuple({**args, **changes}.values())


@pytest.mark.parametrize("fn,args,text", [
    (random_walk, rw_args(length=-2**31), "length must be > 0"),
    # checked before any draw, so a law that would fault is never reached
    (random_walk, rw_args(length=0, innov_dist=1, innov_param=1.0), "length must be > 0"),
    (seasonal, se_args(length=0, seasonality_period=0), "length must be > 0"),
    (seasonal, se_args(seasonality_period=-2**31), "seasonality_period must be > 0"),
    (seasonal, se_args(seasonality_period=0, noise_level=INF), "seasonality_period must be > 0"),
])
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


@pytest.mark.parametrize("code,scale,param,text", [
    (1, 1.0, 2.0, STUDENT),
    (1, 1.0, NAN, STUDENT),
    (2, -0.0, 0.0, LAPLACE),
    (2, NAN, 0.0, LAPLACE),
    (3, 0.0, 0.0, UNIFORM + "EmptyRange"),
    (3, NAN, 0.0, UNIFORM + "EmptyRange"),
    (3, 1e308, 0.0, UNIFORM + "NonFinite"),  # a is finite, 2a is not
    (0, INF, 0.0, NORMAL),
    (-3, -INF, 0.0, NORMAL),
    # accepted: just above 2 degrees of freedom, a zero-scale Laplace, any skew-normal
    (1, 1.0, 2.0000000001, None),
    (2, 0.0, 0.0, None),
    (4, INF, NAN, None),
])
def test_law_faults(code, scale, param, text, capfd):
    for fn, args in ((random_walk, rw_args(volatility=scale, innov_dist=code, innov_param=param)),
                     (seasonal, se_args(noise_level=scale, innov_dist=code, innov_param=param))):
        if text is None:
            assert fn(*args).shape == (10,)
            continue
        assert_panics(fn, *args, text=text)
        assert text in capfd.readouterr().err


# ---------------------------------------------------------------------------
# Each law's scale: the step has mean 0 and standard deviation `volatility`
# (the constants behind this live in both the engine and the reference).

@pytest.mark.parametrize("code,param", [(0, 0.0), (1, 6.0), (2, 0.0), (3, 0.0), (4, 4.0), (4, -1.0)])
def test_steps_have_mean_zero_and_the_given_variance(code, param):
    n, drift, sigma = 40_000, 0.2, 1.5
    steps = np.diff(random_walk(n, drift, sigma, 0.0, 2024, code, param), prepend=0.0) - drift
    assert abs(steps.mean()) < 5.0 * sigma / math.sqrt(n)
    assert abs(steps.var() / sigma**2 - 1.0) < 0.06
    # Only the normal law's steps pass for normal ones.
    assert (stats.kstest(steps, stats.norm(scale=sigma).cdf).pvalue < 1e-3) == (code != 0)
