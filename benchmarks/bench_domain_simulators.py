"""Time energy_load, vital_signs and clickstream through generate_batch, and
energy_load against the same hourly model written with NumPy.

    python benchmarks/bench_domain_simulators.py [--series 10000] [--n 8760] [--repeat 3]

Batch: --series series of --n hourly values of each generator through
generate_batch on the default pool (all cores) and on one worker; series per
second and the scaling between the two (result dicts inside both). Each
figure is the best of --repeat runs.

Peer: one year of hourly energy load (type 0 with every pattern, temperature,
holidays, extreme weather and noise) from the energy_load function against the
same model vectorised with NumPy over np.random.Generator (PCG64); both give
one series of --n values per call and seed inside it, 20 x --repeat calls per
run, best of --repeat runs after a warm-up. "numpy/ours" above 1 means
energy_load is faster. The two draw different random numbers, so only their
means are compared.
"""

import argparse
import os

import numpy as np

from _timing import best_time, plain_batch
from quillmarten import _lib

SEED = 2024
TWO_PI = 6.283185307179586
HOLIDAYS = np.array([0, 45, 150, 185, 246, 330, 358, 359], np.int32)

ENERGY = dict(
    base_load=100.0, load_type=0, daily_pattern=True, daily_amplitude=10.0, weekly_pattern=True,
    weekly_amplitude=5.0, yearly_pattern=True, yearly_amplitude=8.0, temperature_sensitive=True,
    temperature_sensitivity=2.0, base_temperature=18.0, morning_peak_hour=8, evening_peak_hour=19,
    peak_amplitude=20.0, holiday_effect=0.3, extreme_weather_prob=0.02, extreme_weather_impact=1.5,
    noise_std=2.0, step_hours=1.0)
VITAL = dict(
    baseline_mean=70.0, baseline_std=5.0, min_val=40.0, max_val=180.0, include_circadian=True,
    circadian_magnitude=5.0, include_hrv=True, include_events=True, event_probability=0.01, vital_sign_type=1)
CLICK = dict(
    base_sessions=100.0, conversion_mult=1.0, bounce_mult=1.0, depth_mult=1.0, seasonality_amp=0.5,
    conversion_rate=0.05, bounce_rate=0.4, avg_session_depth=3.0, include_seasonality=True, include_bots=True,
    bot_fraction=0.1, output_type=1)

# name, code, scalar slots, arrays
GENERATORS = [
    ("energy_load", 24, ENERGY, [HOLIDAYS.astype(float)]),
    ("vital_signs", 25, VITAL, []),
    ("clickstream", 27, CLICK, []),
]


def numpy_energy_load(n, seed, p=ENERGY, holidays=HOLIDAYS):
    """The energy_load model (load type 0) with NumPy arrays and draws."""
    g = np.random.default_rng(seed)
    hours = (np.arange(n) * p["step_hours"]).astype(np.int64)
    day = hours // 24
    h = (hours - 24 * day).astype(float)
    dow, doy = day % 7, day % 365
    year_cos = np.cos(doy * TWO_PI / 365.0)
    temperature = p["base_temperature"] - 5.0 * np.cos(h * TWO_PI / 24.0) - 10.0 * year_cos
    temperature += 2.0 * g.standard_normal(n)
    a = p["peak_amplitude"]
    load = (a * np.exp(-((h - p["evening_peak_hour"]) ** 2) * 0.125)
            + a * np.exp(-((h - p["morning_peak_hour"]) ** 2) * 0.125) + p["base_load"])
    load -= p["weekly_amplitude"] * (dow >= 5)
    load += (year_cos + 1.0) * p["yearly_amplitude"]
    load += np.abs(temperature - p["base_temperature"]) * p["temperature_sensitivity"]
    load[np.isin(doy, holidays)] *= 1.0 - p["holiday_effect"]
    extreme = g.random(n) < p["extreme_weather_prob"]
    load[extreme] *= p["extreme_weather_impact"]
    np.maximum(load, 0.0, out=load)
    load += g.standard_normal(n) * p["noise_std"]
    return np.maximum(load, 0.0, out=load)


def ours_energy_load(n, seed):
    return _lib.domain.energy_load(length=n, holiday_days=HOLIDAYS, seed=seed, **ENERGY)


def run_batch(code, scalars, arrays, n_series, n, workers):
    return plain_batch(code, [float(v) for v in scalars.values()], arrays, n_series, n, workers)()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=10_000)
    parser.add_argument("--n", type=int, default=8760)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    n_series, n, repeat = args.series, args.n, args.repeat

    print(f"generate_batch: {n_series:,} series x {n:,} values, result dicts inside, best of {repeat},"
          f" {os.cpu_count()} cores")
    print(f"{'generator':<14}{'all cores s':>12}{'series/s':>11}{'1 worker s':>12}{'series/s':>11}{'scaling':>9}")
    for name, code, scalars, arrays in GENERATORS:
        run_batch(code, scalars, arrays, 8, n, 0)  # pools started before timing
        run_batch(code, scalars, arrays, 8, n, 1)
        many = best_time(lambda: run_batch(code, scalars, arrays, n_series, n, 0), repeat)[0]
        one = best_time(lambda: run_batch(code, scalars, arrays, n_series, n, 1), repeat)[0]
        print(f"{name:<14}{many:>12.3f}{n_series / many:>11,.0f}{one:>12.3f}{n_series / one:>11,.0f}"
              f"{one / many:>9.2f}")

    calls = max(1, 20 * repeat)
    ours = best_time(lambda: [ours_energy_load(n, SEED + i) for i in range(calls)], repeat, warmup=True)[0] / calls
    peer = best_time(lambda: [numpy_energy_load(n, SEED + i) for i in range(calls)], repeat, warmup=True)[0] / calls
    mean_ours = np.mean([ours_energy_load(n, SEED + i).mean() for i in range(20)])
    mean_peer = np.mean([numpy_energy_load(n, SEED + i).mean() for i in range(20)])
    print(f"\nenergy_load, one series of {n:,} hourly values per call, seeding inside, best of {repeat}"
          f" (means: ours {mean_ours:.2f}, numpy {mean_peer:.2f})")
    print(f"{'ours us':>10}{'numpy us':>10}{'numpy/ours':>12}")
    print(f"{ours * 1e6:>10.1f}{peer * 1e6:>10.1f}{peer / ours:>12.2f}")


if __name__ == "__main__":
    main()
