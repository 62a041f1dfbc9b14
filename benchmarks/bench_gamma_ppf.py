"""Time gamma_ppf against scipy.stats.gamma.ppf over shapes from 1e-300 to 1e308.

    python benchmarks/bench_gamma_ppf.py [--n 2000] [--repeat 5]

For each shape both sides get the same n uniforms (seeded) and scale 1; each
figure is the best of --repeat runs, in microseconds per value. "max rel"
is the largest relative difference where either value is non-zero and
"off" counts the values that differ by more than 1e-10 relative. scipy is
not exact at every shape: where "off" is not 0, "cdf check" gives the
largest |F(x) - F(x*)| / (x p(x)) of the two results, with F the distribution
function of the smaller tail from scipy.special.gammainc/gammaincc, x* the
other side's value and p the density (a first-order estimate of each side's
own relative error: the smaller one is the better quantile).
A last line times `copula` with a gamma marginal of shape 1e20 (200 values).
"""

import argparse
import math

import numpy as np
from scipy import special, stats

from _timing import best_time
from quillmarten import _lib

D = _lib.distributions

SHAPES = [1e-300, 1e-100, 1e-20, 1e-12, 1e-6, 1e-4, 1e-3, 0.5, 1.0, 10.0, 1e3, 1e4, 1e5, 1e6, 1e8, 1e10,
          1e16, 1e20, 1e50, 1e100, 1e200, 1e308]


def own_error(a, u, x):
    """First-order relative error of x as the quantile of u, from the smaller tail."""
    with np.errstate(all="ignore"):
        lower = u <= 0.5
        f = np.where(lower, special.gammainc(a, x) - u, (1.0 - u) - special.gammaincc(a, x))
        log_xp = a * np.log(x) - x - special.gammaln(a)
        return np.abs(f / np.exp(log_xp))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    u = np.random.default_rng(3).random(args.n)
    print(f"{'shape':>8} {'ours us':>9} {'scipy us':>9} {'speed-up':>9} {'max rel':>9} {'off':>5}  cdf check ours/scipy")
    for a in SHAPES:
        t_ours, ours = best_time(lambda: D.gamma_ppf(u, a, 1.0), args.repeat, warmup=True)
        t_peer, peer = best_time(lambda: stats.gamma.ppf(u, a), args.repeat, warmup=True)
        with np.errstate(all="ignore"):
            rel = np.abs(ours - peer) / np.maximum(np.abs(peer), np.abs(ours))
        rel = np.where((ours == 0) & (peer == 0), 0.0, rel)
        off = rel > 1e-10
        check = ""
        if off.any():
            check = f"{np.nanmax(own_error(a, u[off], ours[off])):.1e}/{np.nanmax(own_error(a, u[off], peer[off])):.1e}"
        print(f"{a:8.0e} {t_ours / args.n * 1e6:9.3f} {t_peer / args.n * 1e6:9.3f} {t_peer / t_ours:9.1f} "
              f"{np.nanmax(rel):9.1e} {int(off.sum()):5d}  {check}")

    corr = np.eye(3).ravel()
    t, _ = best_time(lambda: _lib.multivariate.copula(200, 3, 0, math.nan, corr, 4, 1e20, 1.0, 7), args.repeat)
    print(f"copula, gamma marginal a=1e20, 200 values: {t * 1e3:.3f} ms")


if __name__ == "__main__":
    main()
