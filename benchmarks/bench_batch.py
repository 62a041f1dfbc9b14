"""Time generate_batch against itself on fewer workers and against the same work as a NumPy loop.

    python benchmarks/bench_batch.py [--series 10000] [--length 1000] [--repeat 3]

Cases (random walks with changepoints, anomalies and missing values injected):
  - n_workers 8, 1 and 0 (the default pool, one thread per core) on --series x --length;
  - a NumPy loop doing the same work per series: Generator(MT19937(seed)).standard_normal,
    cumsum, then level changepoints, anomalies and missing values with NumPy calls
    (same amount of work and the same settings, not the same draws);
  - 20,000 short series, where the fixed cost per series dominates (µs per series): length 0
    without injection (building the result dicts and arrays), 16 without and 16 with injection,
    and the NumPy loop on the same 20,000 series of 16 with every injection.
Both sides build one dict per series with the values and the index arrays, inside the timing.
Each figure is the best of --repeat runs, after one untimed warm-up run (none for the slow
NumPy loop on short series).
"""

import argparse
import os

import numpy as np

from _timing import best_time
from quillmarten import _lib

DRIFT, VOLATILITY, START = 0.01, 1.0, 100.0
CONFIG = {
    "changepoints": True, "num_changepoints": 3, "changepoint_type": "level",
    "anomalies": True, "anomaly_types": ["spike", "dip", "level_shift"], "anomaly_fraction": 0.01,
    "spike_magnitude": 8.0, "dip_magnitude": -8.0, "level_shift_magnitude": 3.0, "level_shift_duration": 20,
    "missing_data": True, "missing_pattern": "random", "missing_rate": 0.05,
}


def ours(n_series, length, n_workers, config=CONFIG):
    scalars = np.array([DRIFT, VOLATILITY, START, 0, 0.0])
    lengths = np.full(n_series, length, dtype=np.int32)
    gen_seeds = np.arange(n_series, dtype=np.uint64)
    pi_seeds = np.arange(n_series, 4 * n_series, dtype=np.uint64)
    return lambda: _lib.batch.generate_batch(0, scalars, [], lengths, gen_seeds, pi_seeds, config, n_workers)


def numpy_series(seed, length):
    c = CONFIG
    rng = np.random.Generator(np.random.MT19937(seed))
    x = START + np.cumsum(rng.standard_normal(length) * VOLATILITY + DRIFT)
    # changepoints: sorted locations in the middle of the series, a level change from each
    k = c["num_changepoints"]
    cps = (np.sort(rng.uniform(0.1, 0.9, k)) * length).astype(np.int64)
    for cp, change in zip(cps, rng.uniform(-20.0, 20.0, k)):
        x[cp:] += change
    # anomalies: distinct points, each of a kind drawn from the list
    m = int(c["anomaly_fraction"] * length)
    anom = rng.choice(length, m, replace=False)
    kinds = rng.integers(0, len(c["anomaly_types"]), m)
    x[anom[kinds == 0]] += c["spike_magnitude"]
    x[anom[kinds == 1]] += c["dip_magnitude"]
    for i in anom[kinds == 2]:
        x[i:i + c["level_shift_duration"]] += c["level_shift_magnitude"]
    # missing values
    miss = np.sort(rng.choice(length, int(c["missing_rate"] * length), replace=False))
    x[miss] = np.nan
    return {"values": x, "cp_indices": cps, "anom_indices": anom, "miss_indices": miss}


def numpy_loop(n_series, length):
    return lambda: [numpy_series(seed, length) for seed in range(n_series)]


def summary(rows):
    return (sum(r["anom_indices"].size for r in rows), sum(r["miss_indices"].size for r in rows))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=10_000)
    parser.add_argument("--length", type=int, default=1_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    n, length = args.series, args.length

    print(f"{os.cpu_count()} cores; random walk {n:,} x {length:,} with changepoints, anomalies and missing values;"
          f" result dicts inside every timing; best of {args.repeat}")
    times = {}
    for label, fn in [("generate_batch n_workers=8", ours(n, length, 8)),
                      ("generate_batch n_workers=1", ours(n, length, 1)),
                      ("generate_batch n_workers=0", ours(n, length, 0)),
                      ("NumPy loop (1 thread)", numpy_loop(n, length))]:
        times[label], rows = best_time(fn, args.repeat, warmup=True)
        anomalies, missing = summary(rows)
        print(f"  {label:<28}{times[label] * 1e3:>10.1f} ms   {anomalies:,} anomalies, {missing:,} missing")
    t8, t1, tnp = (times[k] for k in ("generate_batch n_workers=8", "generate_batch n_workers=1",
                                      "NumPy loop (1 thread)"))
    print(f"  8 workers vs 1: {t1 / t8:.2f}x;  1 worker vs NumPy loop: {tnp / t1:.1f}x;"
          f"  8 workers vs NumPy loop: {tnp / t8:.1f}x")

    small = 20_000
    print(f"\nper-series overhead: {small:,} short series")
    for length, config, what in [(0, {}, "length 0, no injection"), (16, {}, "length 16, no injection"),
                                 (16, CONFIG, "length 16, all injections")]:
        per = {w: best_time(ours(small, length, w, config), args.repeat, warmup=True)[0] / small for w in (1, 8)}
        print(f"  {what:<27}" + "   ".join(f"n_workers={w}{t * 1e6:6.2f} µs" for w, t in per.items()))
    t = best_time(numpy_loop(small, 16), args.repeat)[0] / small
    print(f"  {'NumPy loop, length 16, all':<27}{t * 1e6:6.2f} µs per series (one thread);"
          f" vs n_workers=1 with all injections: {t / per[1]:.1f}x")


if __name__ == "__main__":
    main()
