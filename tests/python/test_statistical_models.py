"""sarima, ets, inar, stochastic_volatility and regime_switching: both roads,
seeded digests, one identity or moment per model, and the failure texts."""

import hashlib
import math

import numpy as np
import pytest

from conftest import assert_bits_equal, assert_panics
from quillmarten import _lib

S, V = _lib.statistical, _lib.volatility
A, E = np.array, np.zeros(0)
CODES = {"sarima": 2, "ets": 3, "inar": 4, "stochastic_volatility": 15, "regime_switching": 16}


def fn(name):
    return getattr(S if CODES[name] < 5 else V, name)


def batch(code, scalars, arrays, n, seed=1):
    (row,) = _lib.batch.generate_batch(code, np.array(scalars, float), [np.asarray(a, float) for a in arrays],
                                       np.array([n], np.int32), np.array([seed], np.uint64),
                                       np.zeros(3, np.uint64), {}, 0)
    return row["values"]


def as_batch(name, kw):
    """generate_batch's values for the Python call fn(name)(**kw): scalars and
    arrays in signature order, without length and seed."""
    params = [p.strip() for p in fn(name).__text_signature__.strip("()").split(",")]
    rest = [kw[p] for p in params if p not in ("length", "seed")]
    return batch(CODES[name], [float(v) for v in rest if not isinstance(v, np.ndarray)],
                 [v for v in rest if isinstance(v, np.ndarray)], kw["length"], kw["seed"])


SARIMA = dict(length=300, full_ar_poly=A([0.5, -0.2, 0.1]), full_ma_poly=A([0.4, 0.2]), d=1, seasonal_d=1,
              seasonal_period=12, mean=0.0, drift_val=0.01, noise_std=1.0, burn_in=50, seed=7, innov_dist=0,
              innov_param=0.0)
ETS = dict(length=300, error_type=0, trend_type=1, seasonal_type=2, seasonal_period=7, level=10.0, trend_init=0.1,
           seasonal_init=A([0.9, 1.1, 1.0, 1.2, 0.8, 1.0, 1.0]), alpha=0.3, beta_param=0.05, gamma=0.1, phi=0.9,
           damped=True, noise_std=0.5, seed=3, innov_dist=0, innov_param=0.0)
INAR = dict(length=300, p=2, alpha_arr=A([0.4, 0.2]), innov_type=0, innov_mean=3.0, innov_dispersion=0.0, seed=5)
SV = dict(length=300, model_type=0, initial_price=100.0, initial_vol=0.04, drift=0.05, mean_vol=0.04,
          vol_mean_reversion=2.0, vol_of_vol=0.3, correlation=-0.7, beta_param=0.5, dt=1 / 252, output_type=0,
          seed=11, innov_dist=0, innov_param=0.0)
RS = dict(length=300, n_regimes=3, regime_means=A([0.0, 5.0, -3.0]), regime_variances=A([1.0, 0.5, 2.0]),
          regime_ar_coeffs=A([0.5, -0.3, 0.9]), transition_matrix=A([0.9, 0.05, 0.05, 0.1, 0.8, 0.1, 0.2, 0.2, 0.6]),
          stationary_probs=A([0.5, 0.3, 0.2]), initial_regime=-1, seed=13, innov_dist=0, innov_param=0.0)
BASE = {"sarima": SARIMA, "ets": ETS, "inar": INAR, "stochastic_volatility": SV, "regime_switching": RS}

# id -> (function, changes to its base arguments, start of the sha256 of the float64 bytes)
CASES = {
    "sarima": ("sarima", {}, "0ba4145fb2627c8c"),
    "sarima-mean-student": ("sarima", dict(d=0, seasonal_d=0, mean=3.0, innov_dist=1, innov_param=5.0),
                            "f4597931f8587975"),
    "sarima-lags-past-start": ("sarima", dict(length=5, burn_in=0, d=2, full_ar_poly=np.full(40, 0.01)),
                               "49ae91542b2c0143"),
    "ets": ("ets", {}, "d4416c4bb3552fa3"),
    "ets-mul-error-mul-trend": ("ets", dict(error_type=1, trend_type=2, seasonal_type=1, trend_init=1.01,
                                            innov_dist=2), "28422b5102273c43"),
    "ets-other-season": ("ets", dict(seasonal_type=3, damped=False, innov_dist=4, innov_param=2.0),
                         "d0b6d0d04fa50b89"),
    "inar": ("inar", {}, "24ed31c7719042bd"),
    "inar-gamma-poisson": ("inar", dict(p=1, alpha_arr=A([0.6]), innov_type=1, innov_dispersion=1.5),
                           "c58f55b63af8d009"),
    "sv-heston": ("stochastic_volatility", {}, "239d51cf9693e994"),
    "sv-sabr-returns": ("stochastic_volatility", dict(model_type=1, initial_vol=0.09, output_type=1),
                        "4a67d3d1aa2c885a"),
    "sv-sabr-vol-t": ("stochastic_volatility", dict(model_type=2, initial_vol=0.3, output_type=2, innov_dist=1,
                                                    innov_param=4.0), "3c99c9c1d73af7d1"),
    "rs": ("regime_switching", {}, "571d6c256349c24d"),
    "rs-start-1-laplace": ("regime_switching", dict(initial_regime=1, innov_dist=2), "87ad7026633dbd66"),
}


def case_values(case):
    name, changes, _ = CASES[case]
    return fn(name)(**{**BASE[name], **changes})


@pytest.mark.parametrize("case", CASES)
def test_both_roads_give_the_same_values(case):
    name, changes, _ = CASES[case]
    kw = {**BASE[name], **changes}
    assert_bits_equal(as_batch(name, kw), case_values(case))


@pytest.mark.parametrize("case", CASES)
def test_seeded_digests(case):
    assert hashlib.sha256(case_values(case).tobytes()).hexdigest()[:16] == CASES[case][2]


# ---------------------------------------------------------------------------
# One identity or moment per model

def seasonal_sums(y, times, lag):
    with np.errstate(all="ignore"):
        if lag == 0:  # doubling, exact until it overflows
            return np.where(y == 0, y, np.copysign(np.inf, y)) if times >= 2100 else y * 2.0**times
        for _ in range(times):
            for r in range(lag):
                y[r::lag] = np.add.accumulate(y[r::lag])
    return y


SPARSE_AR = np.r_[-0.5, np.zeros(10), -0.3, 0.15]  # mostly zeros, like a multiplied-out seasonal polynomial
SPARSE_MA = np.r_[0.4, np.zeros(10), 0.2, 0.08]
NORMAL, ZERO_T, HUGE_T = (0, 1.0, 0.0), (1, 0.0, 3.0), (1, 1e308, 3.0)  # (innov_dist, noise_std, innov_param)


@pytest.mark.parametrize("ar,ma,d,D,P,B,n,law", [
    ([0.5, -0.2, 0.1], [0.4, 0.2], 1, 1, 12, 30, 200, NORMAL),
    (SPARSE_AR, SPARSE_MA, 0, 0, 0, 0, 3000, NORMAL),
    (SPARSE_AR, [], 0, 0, 0, 0, 300, ZERO_T),  # zeros of either sign
    (SPARSE_AR, [], 0, 0, 0, 0, 300, HUGE_T),  # infinities: 0 * inf is NaN
    ([0.9], np.full(60, 0.05), 0, 0, 4, 0, 50, NORMAL),  # lags longer than the buffer
    ([], [], 1, 0, 12, 5, 100, NORMAL),
    ([], [], 3003, 0, 0, 0, 200, NORMAL),  # running sums that blow up to +-inf and NaN
    ([], [], 2**16, 2**31 - 1, -1, 2**31 - 1 - 2**16, 200, NORMAL),  # a negative period skips the seasonal sums
    ([], [], 9, 700, 1, 0, 200, NORMAL),
    ([0.2], [], 0, 40, 3, 10, 200, NORMAL),
    ([], [], 0, 2**31 - 1, 0, 0, 50, NORMAL),  # doublings past overflow
])
def test_sarima_is_filtered_then_integrated(ar, ma, d, D, P, B, n, law):
    N, c, seed, (code, scale, param) = P * D + d + n + B, 0.25, 3, law
    # a mean of -0.0 leaves every value as it is, zeros' signs included
    innov = S.sarima(N, E, E, 0, 0, 0, -0.0, 0.0, scale, 0, seed, code, param)
    filtered = S.sarima(N, A(ar, float), A(ma, float), 0, 0, 0, -0.0, 0.0, scale, 0, seed, code, param)
    w = innov.copy()
    with np.errstate(all="ignore"):
        for k, theta in enumerate(ma, 1):
            w[k:] = w[k:] + theta * innov[:-k]
        for k, phi in enumerate(ar, 1):
            w[k:] = w[k:] + phi * filtered[:-k]
        assert_bits_equal(filtered, w)
        y = filtered + c
        for _ in range(d):
            y = np.add.accumulate(y)
    want = seasonal_sums(y, D, P) if D > 0 and 0 <= P < N else y
    mean, drift = (-9.0, c) if d > 0 or D > 0 else (c, -9.0)  # the other one is not used
    got = S.sarima(n, A(ar, float), A(ma, float), d, D, P, mean, drift, scale, B, seed, code, param)
    assert_bits_equal(got, want[N - n:])


@pytest.mark.parametrize("alpha", [0.0, 0.3, 1.0])
def test_ets_local_level(alpha):
    # Additive error, no trend, no season: y_t = l_t + e_t with l_{t+1} = l_t + alpha e_t.
    args = dict(ETS, trend_type=0, seasonal_type=0, level=5.0, noise_std=2.0)
    e = S.ets(**{**args, "alpha": 0.0}) - 5.0
    level = 5.0 + alpha * np.concatenate([[0.0], np.cumsum(e)[:-1]])
    np.testing.assert_allclose(S.ets(**{**args, "alpha": alpha}), level + e, rtol=1e-12, atol=1e-9)


@pytest.mark.parametrize("p,alpha,innov_type,mean,dispersion", [
    (1, [0.5], 0, 2.0, 0.0),
    (2, [0.3, 0.2, 0.9], 0, 1.5, 0.0),  # only the first p coefficients count
    (1, [0.4], 1, 2.0, 2.0),
])
def test_inar_counts_have_the_stationary_mean(p, alpha, innov_type, mean, dispersion):
    x = S.inar(40_000, p, A(alpha), innov_type, mean, dispersion, 17)
    assert (x >= 0).all() and (x == np.floor(x)).all()
    assert x.mean() == pytest.approx(mean / (1.0 - sum(alpha[:p])), rel=0.04)


def test_stochastic_volatility_with_constant_variance():
    args = dict(SV, length=20_000, vol_of_vol=0.0, mean_vol=0.04, initial_vol=0.04, drift=0.0)
    assert (V.stochastic_volatility(**{**args, "output_type": 2}) == 0.2).all()
    price = V.stochastic_volatility(**args)
    steps = np.diff(price) / price[:-1]
    assert steps.std() == pytest.approx(0.2 * math.sqrt(args["dt"]), rel=0.03)
    returns = V.stochastic_volatility(**{**args, "output_type": 1})
    assert returns[0] == 0.0
    np.testing.assert_allclose(returns[1:], np.log(price[1:] / price[:-1]), rtol=1e-12, atol=1e-15)


def test_one_regime_is_its_ar1():
    mu, var, phi = 2.0, 1.5, 0.6
    x = V.regime_switching(60_000, 1, A([mu]), A([var]), A([phi]), A([1.0]), A([1.0]), -1, 23, 0, 0.0)
    assert x.mean() == pytest.approx(mu, abs=0.05)
    assert x.var() == pytest.approx(var / (1 - phi**2), rel=0.04)
    assert np.corrcoef(x[1:], x[:-1])[0, 1] == pytest.approx(phi, abs=0.02)


@pytest.mark.parametrize("got,want", [
    # Seasonal states beyond the n a series reaches are never read.
    (lambda: S.ets(**dict(ETS, length=20, seasonal_period=2**31 - 1, seasonal_init=E)),
     lambda: S.ets(**dict(ETS, length=20, seasonal_period=20, seasonal_init=E))),
    # Counts saturate instead of wrapping.
    (lambda: S.inar(50, 1, A([1.0]), 0, 2e9, 0.0, 1), lambda: np.full(50, 2147483647.0)),
])
def test_sizes_beyond_32_bits(got, want):
    assert_bits_equal(got(), want())


# ---------------------------------------------------------------------------
# Failures: ValueError on the Python road, faults (PanicException) in the cores

def call(name, **changes):
    return lambda: fn(name)(**{**BASE[name], **changes})


def sarima_batch(n, d=0, D=0, P=0, B=0, noise=1.0, arrays=(E, E)):
    return lambda: batch(2, [d, D, P, 0.0, 0.0, noise, B, 0, 0.0], arrays, n)


def ets_batch(n, m, season=1, init=E):
    return lambda: batch(3, [0, 0, season, m, 1.0, 0.0, 0.1, 0.1, 0.1, 1.0, 0, 1.0, 0, 0.0], [init], n)


def rs_batch(n, k, start, arrays):
    return lambda: batch(16, [k, start, 0, 0.0], arrays, n)


TWO = [A([0.0, 5.0]), A([1.0, 1.0]), A([0.5, 0.5]), A([0.9, 0.1, 0.1, 0.9]), A([0.5, 0.5])]
NORMAL_FILL = "invalid normal innovation param: scale must be finite and >= 0: BadVariance"
GAMMA = "invalid gamma params: shape and scale must be > 0 and finite: "
STUDENT = "Student's t df must be > 2 for finite variance"


@pytest.mark.parametrize("run,kind,text", [
    (call("sarima", length=0, noise_std=math.nan), ValueError, "length must be > 0"),
    # the buffer is sized in 64 bits: negative or past 2^31 - 1 before anything is allocated
    (sarima_batch(5, B=-6, noise=math.nan), BaseException, "sarima: buffer length -1 is negative"),
    (sarima_batch(10, B=2**31 - 1), BaseException, "sarima: buffer length 2147483657 exceeds 2147483647"),
    (sarima_batch(1, D=2**31 - 1, P=2**31 - 1), BaseException,
     "sarima: buffer length 4611686014132420610 exceeds 2147483647"),
    (sarima_batch(0, noise=math.inf), BaseException, NORMAL_FILL),  # the law is checked for N = 0 too
    (sarima_batch(10, B=-3, noise=math.inf), BaseException, NORMAL_FILL),  # before the offset
    (sarima_batch(10, B=-3), BaseException, "sarima: offset -3 of the output is negative"),
    (call("ets", length=-1, seasonal_period=0), ValueError, "length must be > 0"),
    (call("ets", seasonal_period=0, seasonal_type=0), ValueError, "seasonal_period must be > 0"),
    (ets_batch(0, -1), BaseException, "ets: negative seasonal_period -1"),
    (ets_batch(3, 0), BaseException, "ets: seasonal_period is 0"),
    (ets_batch(0, 4, season=3, init=A([1.0, 2.0])), BaseException,
     "ets: seasonal_init (length 2) is shorter than seasonal_period 4"),
    (call("inar", length=0, p=0), ValueError, "length must be > 0"),
    (call("inar", p=-2**31), ValueError, "p must be > 0"),
    (call("inar", alpha_arr=A([0.5])), BaseException, "inar: no coefficient for lag 2 in alpha_arr (length 1)"),
    (call("inar", innov_type=1, innov_dispersion=0.0), BaseException, GAMMA + "ShapeTooSmall"),
    (call("inar", innov_type=-1, innov_dispersion=1.0, innov_mean=0.0, p=2**31 - 1), BaseException,
     GAMMA + "ScaleTooSmall"),  # before any step, even when none runs
    (call("inar", innov_mean=math.inf), BaseException, "invalid poisson param: lambda must be finite: NonFinite"),
    (call("stochastic_volatility", length=0), ValueError, "length must be > 0"),
    (lambda: batch(15, [0, 100.0, 0.04, 0, 0, 0, 0, 0, 0, 0.01, 0, 0, 0.0], [], 0), BaseException,
     "stochastic_volatility: empty series"),
    (call("stochastic_volatility", innov_dist=1, innov_param=2.0), BaseException, STUDENT),
    (call("regime_switching", length=0, n_regimes=0), ValueError, "length must be > 0"),
    (call("regime_switching", n_regimes=0), ValueError, "n_regimes must be > 0"),
    (call("regime_switching", n_regimes=4), ValueError,
     "stationary_probs must have n_regimes entries when initial_regime < 0"),
    (rs_batch(0, 2, 0, TWO), BaseException, "regime_switching: empty series"),
    (rs_batch(5, 0, -1, TWO), BaseException, "regime_switching: regime -1 is outside regime_means (length 2)"),
    (rs_batch(5, 2, 2, TWO), BaseException, "regime_switching: regime 2 is outside regime_means (length 2)"),
    (rs_batch(5, 2, 1, [*TWO[:2], A([0.5]), A([0.0, 0.0, 0.0, 1.0]), E]), BaseException,
     "regime_switching: regime 1 is outside regime_ar_coeffs (length 1)"),
    # the row offset r*K is formed in 64 bits
    (rs_batch(5, 2**31 - 1, 1, TWO), BaseException,
     "regime_switching: transition row 1 runs past transition_matrix (length 4)"),
    (call("regime_switching", innov_dist=1, innov_param=1.0), BaseException, STUDENT),
])
def test_failures(run, kind, text):
    if kind is ValueError:
        with pytest.raises(ValueError) as info:
            run()
        assert str(info.value) == text
    else:
        assert_panics(run, text=text)
