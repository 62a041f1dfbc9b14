"""Values of the distributions functions against closed forms and scipy.

Each function is a fixed approximation, so the comparisons use that
approximation's own error: the erf formula behind norm_cdf is within 1.5e-7
(7.5e-8 on the distribution function), Acklam's quantile within 1.15e-9
relative; the incomplete beta and gamma iterations run to ~1e-14.
"""

import math

import numpy as np
import pytest
from scipy import stats

from quillmarten import _lib

D = _lib.distributions
NAN, INF = math.nan, math.inf

CALLS = {
    "norm_cdf": lambda x: D.norm_cdf(x),
    "norm_ppf": lambda x: D.norm_ppf(x),
    "t_cdf": lambda x: D.t_cdf(x, 3.0),
    "gamma_ppf": lambda x: D.gamma_ppf(x, 2.0, 1.5),
    "expon_ppf": lambda x: D.expon_ppf(x, 2.0),
    "lognorm_ppf": lambda x: D.lognorm_ppf(x, 0.5, 2.0),
    "uniform_ppf": lambda x: D.uniform_ppf(x, 2.0, 3.0),
}


def rel_err(got, want):
    return np.abs(got - want) / np.maximum(np.abs(want), 1e-300)


@pytest.mark.parametrize("name", CALLS)
def test_elementwise_without_validation(name):
    call = CALLS[name]
    assert call(np.empty(0)).shape == (0,)
    # NaN passes through every formula without an error.
    assert np.isnan(call(np.array([NAN]))).all()
    # Element by element: a value does not depend on its neighbours or on the length.
    x = np.linspace(0.01, 0.99, 301)
    whole = call(x)
    np.testing.assert_array_equal(np.concatenate([call(x[:100]), call(x[100:])]), whole)
    np.testing.assert_array_equal(call(x[::-1].copy()), whole[::-1])


def test_norm_cdf():
    x = np.linspace(-9.0, 9.0, 3601)
    got = D.norm_cdf(x)
    err = np.abs(got - stats.norm.cdf(x))
    assert err.max() <= 7.5e-8
    # The formula's own error is part of the output, not an exact erf.
    assert err.max() > 1e-9
    # Its coefficients sum to 1 - 1e-9, so the centre is 0.5 + 5e-10, for both zeros.
    centre = D.norm_cdf(np.array([0.0, -0.0]))
    assert centre[0] == centre[1] and abs(centre[0] - 0.5) < 1e-9
    np.testing.assert_array_equal(D.norm_cdf(np.array([-40.0, 40.0, -INF, INF])), [0.0, 1.0, 0.0, 1.0])
    assert np.all(np.diff(got) >= 0)


def test_norm_ppf():
    p = np.concatenate([np.logspace(-300, -1, 600), np.linspace(1e-3, 1 - 1e-3, 9981), 1 - np.logspace(-16, -1, 300)])
    want = stats.norm.ppf(p)
    got = D.norm_ppf(p)
    nonzero = want != 0
    assert rel_err(got[nonzero], want[nonzero]).max() <= 1.15e-9
    assert D.norm_ppf(np.array([0.5]))[0] == 0.0
    assert np.isnan(D.norm_ppf(np.array([0.0, 1.0, 1.5, -0.5, INF, -INF]))).all()


@pytest.mark.parametrize("df", [0.5, 1.0, 2.5, 3.5072, 10.0, 30.0, 200.0])
def test_t_cdf(df):
    x = np.concatenate([np.linspace(-30.0, 30.0, 1201), [1.382214578564768, -1.382214578564768]])
    got = D.t_cdf(x, df)
    assert np.abs(got - stats.t.cdf(x, df)).max() <= 1e-13
    # The lower half is computed as 1 - upper half, exactly.
    np.testing.assert_array_equal(D.t_cdf(-x, df), 1.0 - got)
    assert D.t_cdf(np.array([0.0, -0.0]), df).tolist() == [0.5, 0.5]


def test_t_cdf_cauchy_and_mirror_edge():
    x = np.linspace(-50.0, 50.0, 1001)
    np.testing.assert_allclose(D.t_cdf(x, 1.0), 0.5 + np.arctan(x) / np.pi, rtol=0, atol=2e-15)
    # Rounding puts this value above both mirror thresholds of the incomplete beta:
    # it must still finish with a probability.
    v = D.t_cdf(np.array([1.382214578564768]), 3.5072)[0]
    assert 0.0 < v < 1.0 and abs(v - stats.t.cdf(1.382214578564768, 3.5072)) < 1e-14


@pytest.mark.parametrize("a", [0.5, 1.0, 2.5, 10.0, 100.0])
@pytest.mark.parametrize("scale", [1.0, 0.25, 3.0])
def test_gamma_ppf(a, scale):
    # The start value is Wilson-Hilferty, floored at 1e-12; in the bulk of
    # (0, 1) Newton converges to the relative step test.
    u = np.linspace(1e-3, 1 - 1e-3, 999)
    got = D.gamma_ppf(u, a, scale)
    assert rel_err(got, stats.gamma.ppf(u, a, scale=scale)).max() <= 1e-12
    assert np.all(np.diff(got) > 0)


def test_gamma_ppf_closed_forms():
    ln2 = D.gamma_ppf(np.array([0.5]), 1.0, 1.0)[0]
    assert abs(ln2 - math.log(2.0)) <= 1e-12 * math.log(2.0)
    u = np.linspace(0.01, 0.99, 99)
    np.testing.assert_allclose(D.gamma_ppf(u, 1.0, 2.0), -2.0 * np.log1p(-u), rtol=1e-12)
    # Half-integer shape: chi-square with 2a degrees of freedom, times scale / 2.
    np.testing.assert_allclose(D.gamma_ppf(u, 1.5, 2.0), stats.chi2.ppf(u, 3), rtol=1e-12)
    # u = 0 and u = 1 make the start value NaN.
    assert np.isnan(D.gamma_ppf(np.array([0.0, 1.0]), 2.0, 1.0)).all()


def test_expon_ppf():
    u = np.linspace(0.0, 0.99, 100)
    got = D.expon_ppf(u, 2.5)
    np.testing.assert_allclose(got, stats.expon.ppf(u, scale=2.5), rtol=1e-13, atol=0)
    # ln(1 - u) * (-scale): a negative scale mirrors every value.
    np.testing.assert_array_equal(D.expon_ppf(u, -2.5), -got)
    assert D.expon_ppf(np.array([1.0]), 2.5)[0] == INF
    assert D.expon_ppf(np.array([1.0]), -2.5)[0] == -INF
    assert np.isnan(D.expon_ppf(np.array([1.5]), 1.0)[0])


@pytest.mark.parametrize("s,scale", [(0.5, 2.0), (1.5, 0.3)])
def test_lognorm_ppf(s, scale):
    u = np.concatenate([np.logspace(-12, -2, 50), np.linspace(0.02, 0.98, 97), 1 - np.logspace(-12, -2, 50)])
    got = D.lognorm_ppf(u, s, scale)
    # exp(norm_ppf(u) * s) * scale, rounded the same way.
    z = D.norm_ppf(u)
    assert got.tolist() == [math.exp(v * s) * scale for v in z]
    tol = 1.2e-9 * s * np.abs(stats.norm.ppf(u)) + 1e-14
    assert np.all(rel_err(got, stats.lognorm.ppf(u, s, scale=scale)) <= tol)
    # No spread: every quantile is the scale itself.
    assert np.all(D.lognorm_ppf(u, 0.0, scale) == scale)


def test_uniform_ppf():
    u = np.array([0.0, 0.25, 0.5, 1.0, -1.0, 7.0])
    np.testing.assert_array_equal(D.uniform_ppf(u, 2.0, 3.0), u * 3.0 + 2.0)
    np.testing.assert_array_equal(D.uniform_ppf(u, -1.0, 0.5), u * 0.5 - 1.0)
    np.testing.assert_array_equal(D.uniform_ppf(np.array([0.5, INF]), 0.0, -1.0), [-0.5, -INF])
