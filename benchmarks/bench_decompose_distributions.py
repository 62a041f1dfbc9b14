"""Time classical_decompose and four distributions functions against their usual Python peers.

    python benchmarks/bench_decompose_distributions.py [--n 1000000] [--repeat 5]

Peers: statsmodels' seasonal_decompose (when importable) and scipy.stats.
The distributions functions fill large arrays on the default pool; they are
timed with the whole machine and, in a child process, with
RAYON_NUM_THREADS=1 ("1 thread"). Each figure is the best of --repeat runs;
"speed-up" is peer time / our time on the whole machine, "max |diff|" compares
the two results where both are defined and "off" counts the elements that
differ by more than 1e-6 (relative above 1).
"""

import argparse
import json
import os
import subprocess
import sys

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


def single_thread_times(n, repeat):
    """Our distributions cases timed in a child with a one-thread default pool."""
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    out = subprocess.run([sys.executable, __file__, "--ours-single", "--n", str(n), "--repeat", str(repeat)],
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10**6)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--ours-single", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.ours_single:
        print(json.dumps({name: best_time(ours, args.repeat, warmup=True)[0]
                          for name, ours, _ in distribution_cases(args.n)}))
        return

    cases = [decompose_case(args.n), *distribution_cases(args.n)]
    single = single_thread_times(args.n, args.repeat)

    print(f"n = {args.n:,}, best of {args.repeat}, cores (nproc): {os.cpu_count()}")
    print(f"{'function':<26}{'ours [ms]':>11}{'1 thread':>10}{'peer [ms]':>11}{'speed-up':>10}{'max |diff|':>13}"
          f"{'off':>8}")
    for name, ours, peer in cases:
        t_ours, r_ours = best_time(ours, args.repeat, warmup=True)
        t_one = f"{single[name] * 1e3:>10.2f}" if name in single else f"{'':>10}"
        if peer is None:
            print(f"{name:<26}{t_ours * 1e3:>11.2f}{t_one}{'n/a':>11}{'n/a':>10}   (statsmodels not installed)")
            continue
        t_peer, r_peer = best_time(peer, args.repeat)
        worst, off = compare(r_ours, r_peer)
        print(f"{name:<26}{t_ours * 1e3:>11.2f}{t_one}{t_peer * 1e3:>11.2f}{t_peer / t_ours:>9.2f}x{worst:>13.2e}"
              f"{off:>8}")


if __name__ == "__main__":
    main()
