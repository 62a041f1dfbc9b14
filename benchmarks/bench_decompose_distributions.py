"""Time classical_decompose and four distributions functions against their usual Python peers.

    python benchmarks/bench_decompose_distributions.py [--n 1000000] [--repeat 5]

Peers: statsmodels' seasonal_decompose (when importable) and scipy.stats.
Both sides run on one thread (the distributions functions work on the calling
thread) over the same --n values; each figure is the best of --repeat runs
after one untimed warm-up. Inside the timings: classical_decompose and
seasonal_decompose both compute trend, seasonal and residual (only the trends
are compared); each distributions function and its scipy.stats peer read one
array and return a new one. "peer/ours" is peer time / our time (above 1: ours
is faster), "max |diff|" compares the two results where both are defined and
"off" counts the elements that differ by more than 1e-6 (relative above 1).
"""

import argparse

import numpy as np
from scipy import stats

from _timing import best_time
from quillmarten import _lib

D = _lib.distributions


def decompose_case(n):
    rng = np.random.default_rng(1)
    i = np.arange(n)
    x = 100.0 + 0.001 * i + 5.0 * np.sin(2 * np.pi * i / 24) + rng.normal(0.0, 1.0, n)
    ours = lambda: _lib.augmentation.classical_decompose(x, 24)[0]
    try:
        from statsmodels.tsa.seasonal import seasonal_decompose
    except ImportError:
        return "classical_decompose p=24", ours, None
    peer = lambda: np.asarray(seasonal_decompose(x, model="additive", period=24).trend)

    return "classical_decompose p=24", ours, peer


def compare(a, b):
    both = ~(np.isnan(a) | np.isnan(b))  # statsmodels leaves the trend's edges undefined
    a, b = a[both], b[both]
    off = np.abs(a - b) > 1e-6 * np.maximum(np.abs(b), 1.0)
    return np.abs(a - b).max(), int(off.sum())


def distribution_cases(n):
    rng = np.random.default_rng(2)
    u = rng.random(n)
    z = rng.normal(0.0, 3.0, n)
    return [
        ("norm_cdf", lambda: D.norm_cdf(z), lambda: stats.norm.cdf(z)),
        ("norm_ppf", lambda: D.norm_ppf(u), lambda: stats.norm.ppf(u)),
        ("t_cdf df=5", lambda: D.t_cdf(z, 5.0), lambda: stats.t.cdf(z, 5.0)),
        ("gamma_ppf a=2.5", lambda: D.gamma_ppf(u, 2.5, 1.0), lambda: stats.gamma.ppf(u, 2.5)),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10**6)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    cases = [decompose_case(args.n), *distribution_cases(args.n)]
    print(f"n = {args.n:,} on both sides, one thread each, best of {args.repeat}")
    print(f"{'function':<26}{'ours [ms]':>11}{'peer [ms]':>11}{'peer/ours':>11}{'max |diff|':>13}{'off':>8}")
    for name, ours, peer in cases:
        t_ours, r_ours = best_time(ours, args.repeat, warmup=True)
        if peer is None:
            print(f"{name:<26}{t_ours * 1e3:>11.2f}{'n/a':>11}{'n/a':>11}   (statsmodels not installed)")
            continue
        t_peer, r_peer = best_time(peer, args.repeat, warmup=True)
        worst, off = compare(r_ours, r_peer)
        print(f"{name:<26}{t_ours * 1e3:>11.2f}{t_peer * 1e3:>11.2f}{t_peer / t_ours:>10.2f}x{worst:>13.2e}"
              f"{off:>8}")


if __name__ == "__main__":
    main()
