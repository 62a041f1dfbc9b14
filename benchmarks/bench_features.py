"""Time the feature functions and the MAR feature batch.

    python benchmarks/bench_features.py [--series 10000] [--length 500] [--calls 100000] [--repeat 3]

1. compute_feature_set_batch on a flat panel (--series x --length, period 12)
   against the same twelve features computed series by series with numpy and
   statsmodels' acf on the same panel (one thread; the panel is built outside
   the timing, the peer's rows are stacked into one array inside it).
2. compute_features per call on short series (length 16): the fixed cost of
   one call, against the numpy version of the four features, --calls calls
   each.
3. mar_features_batch with 1,000 candidates x 3 lengths at n_workers 1 and 8
   (generating each candidate's series is inside the timing).

Each figure, ours and the peers', is the best of --repeat runs.
"""

import argparse
import os
import sys
from pathlib import Path

import numpy as np
from statsmodels.tsa.stattools import acf as sm_acf

from _timing import best_time
from quillmarten import _lib

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
from reference import classical_decompose, median_crossings, spectral_features, window_features  # noqa: E402

A = _lib.augmentation


# ---------------------------------------------------------------------------
# The per-series peer: the usual numpy way of writing the twelve features, with
# the parts it shares with the tests' reference row taken from there.

def peer_row(x, period, window):
    n = len(x)
    y = x / np.abs(x).max()
    z = (y - y.mean()) / y.std()
    parts = classical_decompose(z, period)
    row = spectral_features(z, period, parts)
    r = sm_acf(z, nlags=max(10, period or 0), fft=False)
    dz = np.diff(z)
    row += [np.sum(r[1:11] ** 2), sm_acf(dz, nlags=1, fft=False)[1], r[period] if period else 0.0]
    d = parts[2] - parts[2].mean()
    loo = np.maximum((np.dot(d, d) - d * d * (n / (n - 1))) / (n - 1), 0.0)
    row.append(np.var(loo))
    row += window_features(z, window or period or 10)
    row.append(median_crossings(z))
    return row


def panel(n_series, length, seed=0):
    rng = np.random.default_rng(seed)
    i = np.arange(length)
    level = rng.uniform(-100, 100, (n_series, 1))
    slope = rng.normal(0, 0.05, (n_series, 1))
    amp = rng.uniform(0, 5, (n_series, 1))
    x = level + slope * i + amp * np.sin(2 * np.pi * i / 12) + rng.standard_normal((n_series, length))
    return x


def bench_panel(args):
    period, window = 12, None
    x = panel(args.series, args.length)
    values = x.ravel()
    offsets = np.arange(0, values.size + 1, args.length, dtype=np.int64)
    print(f"\n1. twelve features, {args.series} series x {args.length} on both sides, period {period},"
          f" best of {args.repeat}")
    ours = {}
    for n_workers in (1, 8, 0):
        t, out = best_time(lambda: A.compute_feature_set_batch(values, offsets, period, window, n_workers),
                           args.repeat)
        ours[n_workers] = (t, out)
        label = "default pool" if n_workers == 0 else f"n_workers={n_workers}"
        print(f"   compute_feature_set_batch ({label:>12}): {t:8.3f} s  {1e6 * t / args.series:8.1f} us/series")

    t_peer, peer = best_time(lambda: np.array([peer_row(row, period, window) for row in x]), args.repeat)
    print(f"   numpy + statsmodels per series       : {t_peer:8.3f} s  {1e6 * t_peer / args.series:8.1f} us/series")
    for n_workers, (t, _) in ours.items():
        label = "default pool" if n_workers == 0 else f"n_workers={n_workers}"
        print(f"   speed-up ({label}): {t_peer / t:7.1f}x")
    rows = ours[1][1].reshape(-1, 12)
    diff = np.abs(rows - peer)
    print("   largest |ours - peer| per slot: " + " ".join(f"{d:.1e}" for d in np.nanmax(diff, axis=0)))


def bench_short_calls(args):
    n, calls = 16, args.calls
    rng = np.random.default_rng(4)
    xs = [rng.standard_normal(n) for _ in range(64)]
    print(f"\n2. compute_features per call, length {n}, {calls} calls")

    def ours():
        f = A.compute_features
        for i in range(calls):
            f(xs[i & 63])

    def peer():
        f = spectral_features
        for i in range(calls):
            f(xs[i & 63], None)

    t, _ = best_time(ours, args.repeat)
    print(f"   compute_features   : {1e6 * t / calls:7.2f} us/call")
    t_peer, _ = best_time(peer, args.repeat)
    print(f"   numpy version      : {1e6 * t_peer / calls:7.2f} us/call   numpy/ours {t_peer / t:.1f}x")


def bench_mar(args):
    rng = np.random.default_rng(7)
    n_cand, lengths = 1000, [100, 250, 500]
    scalars, arrays, seeds = [], [], []
    for c in range(n_cand):
        s = [float(rng.integers(1, 5)), float(rng.integers(1, 4)), float(rng.choice([0, 12])),
             float(rng.uniform(0.5, 3)), float(rng.uniform(0, 1)), 0.3, float(rng.uniform(0.3, 2)),
             100.0, 1.0, 0.0, 0.0, 0.0]
        scalars.append(s)
        arrays.append([])
        seeds.append([int(v) for v in rng.integers(0, 2**63, 3)])
    print(f"\n3. mar_features_batch, {n_cand} candidates x lengths {lengths}, period 12")
    results = {}
    for n_workers in (1, 8):
        t, out = best_time(lambda: A.mar_features_batch(scalars, arrays, lengths, seeds, 12, n_workers), args.repeat)
        results[n_workers] = (t, out)
        print(f"   n_workers={n_workers}: {t:7.3f} s  {1e3 * t / n_cand:6.3f} ms/candidate")
    assert results[1][1] == results[8][1]
    print(f"   speed-up 8 vs 1: {results[1][0] / results[8][0]:.2f}x; "
          f"failed candidates: {sum(r is None for r in results[1][1])}")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--series", type=int, default=10000)
    p.add_argument("--length", type=int, default=500)
    p.add_argument("--calls", type=int, default=100000)
    p.add_argument("--repeat", type=int, default=3)
    args = p.parse_args()
    print(f"nproc {os.cpu_count()}, affinity {len(os.sched_getaffinity(0))}")
    bench_panel(args)
    bench_short_calls(args)
    bench_mar(args)


if __name__ == "__main__":
    main()
