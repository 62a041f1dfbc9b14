"""Quickstart: a large batch of synthetic series from four generators on all cores,
their features, then a classical decomposition of one noisy seasonal series."""

import os
import time

import numpy as np

from quillmarten import _lib

# ---------------------------------------------------------------------------
# 1. A batch: 10,000 series of 1,000 values from each of four generators, with
#    changepoints, anomalies and missing values injected.

N_SERIES, LENGTH = 10_000, 1_000
RANDOM_WALK, SEASONAL, SARIMA, GARCH = 0, 1, 2, 10  # generator codes

injection = {
    "changepoints": True, "num_changepoints": 2, "changepoint_type": "level",
    "anomalies": True, "anomaly_types": ["spike", "dip", "level_shift"], "anomaly_fraction": 0.01,
    "spike_magnitude": 8.0, "dip_magnitude": -8.0, "level_shift_magnitude": 3.0, "level_shift_duration": 20,
    "missing_data": True, "missing_pattern": "block", "missing_rate": 0.02, "missing_block_size": 5,
}


def spec(gen_type, scalar_params, first_seed, arrays=()):
    seeds = np.arange(first_seed, first_seed + 4 * N_SERIES, dtype=np.uint64)
    return {
        "gen_type": gen_type,
        "scalar_params": np.array(scalar_params, dtype=np.float64),
        "array_params": [np.array(a, dtype=np.float64) for a in arrays],
        "lengths": np.full(N_SERIES, LENGTH, dtype=np.int32),
        "gen_seeds": seeds[:N_SERIES],  # one generator seed per series
        "pi_seeds": seeds[N_SERIES:],  # changepoint, anomaly and missing-value seeds per series
        "pi_config": injection,
    }


specs = [
    # drift, volatility, start_value, innov_dist, innov_param (Student-t, 5 degrees of freedom)
    ("random walk", spec(RANDOM_WALK, [0.01, 1.0, 100.0, 1, 5.0], 1)),
    # period, amplitude, trend, noise_level, base_level, innov_dist, innov_param
    ("seasonal", spec(SEASONAL, [24, 5.0, 0.01, 1.0, 50.0, 0, 0.0], 1_000_000)),
    # d, seasonal_d, seasonal_period, mean, drift, noise_std, burn_in, innov_dist, innov_param;
    # AR and MA polynomials
    ("sarima", spec(SARIMA, [1, 1, 24, 0.0, 0.0, 1.0, 100, 0, 0.0], 2_000_000, [[0.5, -0.2], [0.3]])),
    # p, q, omega, mu, initial_variance, innov_dist, innov_param; alpha and beta
    ("garch", spec(GARCH, [1, 1, 0.05, 0.0, 1.0, 0, 0.0], 3_000_000, [[0.1], [0.85]])),
]

t0 = time.perf_counter()
batches = _lib.batch.generate_multi_batch([s for _, s in specs])  # n_workers=0: all cores
elapsed = time.perf_counter() - t0

print(f"{len(specs) * N_SERIES:,} series of {LENGTH:,} values in {elapsed:.2f} s on {os.cpu_count()} cores")
for (name, _), rows in zip(specs, batches):
    values = np.stack([r["values"] for r in rows])
    counts = {key: sum(r[key].size for r in rows) for key in ("cp_indices", "anom_indices", "miss_indices")}
    print(f"  {name:<11} changepoints {counts['cp_indices']:,}  anomalies {counts['anom_indices']:,}  "
          f"missing {counts['miss_indices']:,} (NaN fraction {np.isnan(values).mean():.4f})  "
          f"values {np.nanmin(values):.2f} .. {np.nanmax(values):.2f}")

# ---------------------------------------------------------------------------
# 2. Features of every generated series, as one flat panel in one call. Missing
#    values are filled by linear interpolation first (features need finite values).

FEATURES = ("spectral_entropy", "trend_strength", "seasonal_strength", "acf1", "acf10_sum_sq", "diff1_acf1",
            "seasonal_acf", "spikiness", "lumpiness", "max_level_shift", "max_variance_shift", "crossing_points")


def filled(v):
    gaps = np.isnan(v)
    if gaps.any():
        v = v.copy()
        idx = np.arange(v.size)
        v[gaps] = np.interp(idx[gaps], idx[~gaps], v[~gaps])
    return v


rows = [filled(r["values"]) for batch in batches for r in batch]
panel = np.concatenate(rows)
offsets = np.concatenate([[0], np.cumsum([r.size for r in rows])]).astype(np.int64)

t0 = time.perf_counter()
features = _lib.augmentation.compute_feature_set_batch(panel, offsets, period=24).reshape(-1, len(FEATURES))
elapsed = time.perf_counter() - t0

print(f"\nfeatures of {len(rows):,} series in {elapsed:.2f} s (mean per generator)")
print(f"  {'feature':<19}" + "".join(f"{name:>14}" for name, _ in specs))
for k, feature in enumerate(FEATURES):
    means = [features[i * N_SERIES:(i + 1) * N_SERIES, k].mean() for i in range(len(specs))]
    print(f"  {feature:<19}" + "".join(f"{m:14.4g}" for m in means))

# ---------------------------------------------------------------------------
# 3. Classical decomposition of a noisy seasonal series.

rng = np.random.default_rng(7)
n, period = 24 * 14, 24
t = np.arange(n, dtype=np.float64)
series = 100.0 + 0.05 * t + 8.0 * np.sin(2 * np.pi * t / period) + rng.normal(0.0, 1.0, n)

trend, seasonal, residual = _lib.augmentation.classical_decompose(series, period)

print(f"\nseries of {n} hourly values, period {period}")
for name, part in (("trend", trend), ("seasonal", seasonal), ("residual", residual)):
    print(f"  {name:<9} mean {part.mean():9.4f}  std {part.std():8.4f}  min {part.min():9.4f}  max {part.max():9.4f}")
print(f"  seasonal amplitude {seasonal[:period].max() - seasonal[:period].min():.3f} (true 16.0)")
