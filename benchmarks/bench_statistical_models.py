"""Time sarima, ets and stochastic_volatility against statsmodels and a NumPy loop.

    python benchmarks/bench_statistical_models.py [--n 1000000] [--repeat 5] [--loop-repeat 3]

- sarima: SARIMA(3,1,2)(1,1,1)12 as full lag polynomials, against statsmodels'
  arma_generate_sample (scipy's lfilter) followed by the two integrations in
  NumPy, and against SARIMAX(...).simulate.
- ets: additive error, damped additive trend, multiplicative season of 12,
  against ETSModel(...).smooth(params).simulate.
- stochastic_volatility: the Heston-type price path, against the same Euler
  steps in a Python loop over NumPy draws.

Both sides of every row make the same --n values. Ours and the two sarima
peers are the best of --repeat runs; the peers that step through the series in
Python (ETSModel.simulate, the Heston loop: about 17 s and 1.3 s per run at
10^6) the best of --loop-repeat. Figures are ns per value; "peer/ours" above 1 means
ours is faster. What each timing holds is printed under the table:
SARIMAX(...) and ETSModel(...).smooth are built once, outside the timing, as
ours has no model object to build.
"""

import argparse
import math
import warnings

import numpy as np

from _timing import best_time
from quillmarten import _lib

S, V = _lib.statistical, _lib.volatility
SEED = 12345

# SARIMA(3,1,2)(1,1,1)12: lag polynomials multiplied out
AR_POLY = np.polymul([1.0, -0.5, 0.2, -0.1], np.r_[1.0, np.zeros(11), -0.3])
MA_POLY = np.polymul([1.0, 0.4, 0.2], np.r_[1.0, np.zeros(11), 0.2])
BURN = 100

SEASON = np.linspace(0.9, 1.1, 12)
ETS_PARAMS = dict(alpha=0.3, beta=0.05, gamma=0.1, phi=0.9, level=10.0, trend=0.1)

HESTON = dict(s0=100.0, v0=0.04, mu=0.05, theta=0.04, kappa=2.0, xi=0.3, rho=-0.7, dt=1 / 252)


def ours_sarima(n):
    return S.sarima(n, -AR_POLY[1:], MA_POLY[1:], 1, 1, 12, 0.0, 0.0, 1.0, BURN, SEED, 0, 0.0)


def arma_then_integrate(n):
    from statsmodels.tsa.arima_process import arma_generate_sample
    x = arma_generate_sample(AR_POLY, MA_POLY, n + 13, scale=1.0, burnin=BURN)
    x = np.cumsum(x)
    pad = (-len(x)) % 12  # seasonal running sums, one column per season
    x = np.cumsum(np.r_[x, np.zeros(pad)].reshape(-1, 12), axis=0).ravel()[:len(x)]
    return x[13:]


def sarimax_model():
    from statsmodels.tsa.statespace.sarimax import SARIMAX
    return SARIMAX(np.zeros(100), order=(3, 1, 2), seasonal_order=(1, 1, 1, 12))


SARIMAX_PARAMS = [0.5, -0.2, 0.1, 0.4, 0.2, 0.3, 0.2, 1.0]


def ours_ets(n):
    p = ETS_PARAMS
    return S.ets(n, 0, 1, 2, 12, p["level"], p["trend"], SEASON, p["alpha"], p["beta"], p["gamma"], p["phi"],
                 True, 0.5, SEED, 0, 0.0)


def ets_model_results():
    from statsmodels.tsa.exponential_smoothing.ets import ETSModel
    p = ETS_PARAMS
    history = p["level"] * np.tile(SEASON, 4)
    model = ETSModel(history, error="add", trend="add", seasonal="mul", damped_trend=True, seasonal_periods=12)
    return model.smooth([p["alpha"], p["beta"], p["gamma"], p["phi"], p["level"], p["trend"], *SEASON])


def ours_heston(n):
    h = HESTON
    return V.stochastic_volatility(n, 0, h["s0"], h["v0"], h["mu"], h["theta"], h["kappa"], h["xi"], h["rho"], 0.5,
                                   h["dt"], 0, SEED, 0, 0.0)


def numpy_heston(n):
    h = HESTON
    z = np.random.default_rng(SEED).standard_normal((n - 1, 2)).tolist()
    out = np.empty(n)
    out[0] = price = h["s0"]
    v, sq, c = h["v0"], math.sqrt(h["dt"]), math.sqrt(1.0 - h["rho"] * h["rho"])
    xi, kappa, theta, mu, rho, dt = h["xi"], h["kappa"], h["theta"], h["mu"], h["rho"], h["dt"]
    for i, (z1, z2) in enumerate(z, 1):
        w = z2 * c + z1 * rho
        vp = v if v > 0.0 else 0.0
        r = math.sqrt(vp)
        v = v + ((r * xi) * (w * sq) + (kappa * (theta - vp)) * dt)
        price = price + ((r * price) * (z1 * sq) + (mu * price) * dt)
        out[i] = price
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10**6)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--loop-repeat", type=int, default=3)
    args = parser.parse_args()
    n, repeat, loop_repeat = args.n, args.repeat, args.loop_repeat
    warnings.simplefilter("ignore")  # statsmodels' notes about the placeholder data

    # Sanity checks: the same seasonal model has the same spread of seasonal
    # differences of differences; the Heston price has unit-free steps of the
    # size the variance gives.
    ours, peer = ours_sarima(n), arma_then_integrate(n)
    spread = [np.std(np.diff(x)[12:] - np.diff(x)[:-12]) for x in (ours, peer)]
    assert abs(spread[0] / spread[1] - 1.0) < 0.05, spread
    prices = ours_heston(n)
    steps = np.diff(prices) / prices[:-1]
    assert abs(steps.std() / math.sqrt(HESTON["v0"] * HESTON["dt"]) - 1.0) < 0.25, steps.std()

    rows = []

    def row(model, peer_name, ours_fn, peer_fn, peer_repeat, inside):
        ours_t = best_time(lambda: ours_fn(n), repeat, warmup=True)[0] / n * 1e9
        peer_t = best_time(lambda: peer_fn(n), peer_repeat)[0] / n * 1e9
        rows.append((model, peer_name, ours_t, peer_t, peer_repeat, inside))

    row("sarima", "arma_generate_sample + cumsum", ours_sarima, arma_then_integrate, repeat,
        "both: 100 burn-in and 13 values for the differences, dropped")
    build, model = best_time(sarimax_model, repeat, warmup=True)
    row("sarima", "SARIMAX.simulate", ours_sarima, lambda m: model.simulate(SARIMAX_PARAMS, m), repeat,
        f"ours: 100 burn-in; SARIMAX: no burn-in, model built outside ({build * 1e3:.1f} ms)")
    results = ets_model_results()
    row("ets", "ETSModel.simulate", ours_ets,
        lambda m: results.simulate(m, anchor="end", repetitions=1, rng=SEED), loop_repeat,
        "ETSModel built and smoothed outside")
    row("stochastic_volatility", "Python loop over NumPy draws", ours_heston, numpy_heston, loop_repeat,
        "loop: its draws and their list conversion")

    print(f"n = {n:,} values on both sides; ours best of {repeat}; times in ns per value")
    print(f"{'model':<23}{'peer':<31}{'best of':>8}{'ours':>8}{'peer':>10}{'peer/ours':>11}")
    for model, peer_name, ours_t, peer_t, peer_repeat, _ in rows:
        print(f"{model:<23}{peer_name:<31}{peer_repeat:>8}{ours_t:>8.1f}{peer_t:>10.1f}{peer_t / ours_t:>11.1f}")
    print("inside the timings:")
    for model, peer_name, *_, inside in rows:
        print(f"  {model}, {peer_name}: {inside}")


if __name__ == "__main__":
    main()
