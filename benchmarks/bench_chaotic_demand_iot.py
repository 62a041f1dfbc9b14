"""Time chaotic_system (Lorenz), intermittent_demand on the batch road, and iot_sensor against peers.

    python benchmarks/bench_chaotic_demand_iot.py [--lorenz 10000] [--tight 1000] [--series 10000]
                                                   [--sensor 1000000] [--repeat 3]

Cases:
  - Lorenz (sigma 10, rho 28, beta 8/3), --lorenz samples with dt = 0.01: fixed-step RK4,
    1/dt = 100 steps per sample (one time unit), after 1000 burn-in samples. The peer is
    scipy's solve_ivp (RK45, adaptive, Python right-hand side) over the same time span,
    burn-in included, with one output per sample: at its default tolerances on --lorenz
    samples (about 0.7 s per 1000 samples), and at rtol = atol = 1e-9 (closer to RK4 at
    dt = 0.01; about 8 s per 1000) on --tight samples, each against ours on the same
    samples. scipy returns all three coordinates, ours only x. Chaos separates any two
    integrations within a few dozen time units, so the check is the attractor's spread
    (std of x), not the values.
  - intermittent_demand, --series x 365 through generate_batch: the default pool (one
    thread per core) against one worker; series per second and the speed-up.
  - iot_sensor, --sensor values (drift, noise, battery ageing, stuck-sensor failures)
    against NumPy doing the same features: vectorised signal, drift, noise and battery,
    then a Python loop for the failure state (sequential by nature). Same work, not the
    same draws.
Each figure is the best of --repeat runs; ours after an untimed warm-up.
"""

import argparse
import os

import numpy as np
from scipy.integrate import solve_ivp

from _timing import best_time, plain_batch
from quillmarten import _lib

SIGMA, RHO, BETA, DT = 10.0, 28.0, 8.0 / 3.0, 0.01


def lorenz_ours(n):
    return _lib.stochastic.chaotic_system(n, 0, SIGMA, RHO, BETA, DT, 0.0, 0.0, 0.0, 0.0, 0, 0.0, 0.0, 1)


def lorenz_scipy(n, **tol):
    def f(_, s):
        x, y, z = s
        return [(y - x) * SIGMA, (RHO - z) * x - y, x * y - BETA * z]
    t = np.arange(1.0, n + 1001.0)  # one time unit per sample
    sol = solve_ivp(f, (0.0, t[-1]), [1.0, 1.0, 1.0], method="RK45", t_eval=t, **tol)
    return sol.y[0, 1000:]


DEMAND = [0.3, 0, 3.0, 2.0, 1, 3, 7, 0.6, 1.0]  # clustered occurrences, Poisson sizes


SENSOR = dict(base_value=20.0, trend=1e-6, amplitude=2.0, period=1440.0, measurement_noise=0.3, drift_rate=1e-6,
              drift_noise=0.002, battery_degradation=True, battery_life=600_000.0, battery_degradation_rate=1e-6,
              calibration_offset=0.5, failure_mode=3, failure_probability=0.001, failure_duration=30,
              stuck_value=None, spatial_correlation=0.0)


def sensor_ours(n):
    return _lib.domain.iot_sensor(n, **SENSOR, seed=1)


def sensor_numpy(n):
    p = SENSOR
    rng = np.random.Generator(np.random.MT19937(1))
    t = np.arange(n, dtype=np.float64)
    s = p["trend"] * t + p["base_value"] + np.sin(t * 6.283185307179586 / p["period"]) * p["amplitude"]
    s += p["calibration_offset"]
    steps = rng.standard_normal(n) * p["drift_noise"] + p["drift_rate"]
    steps[0] = 0.0
    y = s + np.cumsum(steps) + rng.standard_normal(n) * p["measurement_noise"]
    aged = t >= p["battery_life"]
    e = (t[aged] - p["battery_life"]) * p["battery_degradation_rate"]
    y[aged] = (y[aged] + rng.standard_normal(e.size) * (e + 1.0) * p["measurement_noise"]) * np.maximum(
        1.0 - 0.1 * e, 0.0)
    u = rng.random(n)
    out = y.tolist()
    left, stuck, prob, extra = 0, 0.0, p["failure_probability"], p["failure_duration"] - 1
    for i in range(n):
        if left > 0:
            left -= 1
            out[i] = stuck
        elif prob > u[i]:
            stuck, left = out[i], extra
    return np.array(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lorenz", type=int, default=10_000)
    parser.add_argument("--tight", type=int, default=1000)
    parser.add_argument("--series", type=int, default=10_000)
    parser.add_argument("--sensor", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    r = args.repeat

    print(f"Lorenz, RK4 with dt = {DT}, 1,000 burn-in samples inside every timing; us per sample, burn-in included")
    stds = []
    tight = dict(rtol=1e-9, atol=1e-9)
    for label, samples, tol in [("default tol", args.lorenz, {}), ("tol 1e-9", args.tight, tight)]:
        ours_t, ours_x = best_time(lambda: lorenz_ours(samples), r, warmup=True)
        peer_t, peer_x = best_time(lambda: lorenz_scipy(samples, **tol), r)
        us = 1e6 / (samples + 1000)
        print(f"  {samples:>7,} samples: ours {ours_t * us:7.2f}   solve_ivp RK45 {label:<11} {peer_t * us:9.2f}"
              f"   scipy/ours {peer_t / ours_t:8.1f}")
        stds += [ours_x.std(), peer_x.std()]
    print("  std of x: ours {:.3f}, scipy default {:.3f}; ours {:.3f}, scipy 1e-9 {:.3f}".format(*stds))

    ns = args.series
    all_t, rows = best_time(plain_batch(22, DEMAND, [], ns, 365, 0), r, warmup=True)
    one_t, _ = best_time(plain_batch(22, DEMAND, [], ns, 365, 1), r, warmup=True)
    assert len(rows) == ns and all(row["values"].size == 365 for row in rows)
    cores = os.cpu_count()
    print(f"intermittent_demand, {ns:,} x 365 through generate_batch (result dicts inside)")
    print(f"  all cores ({cores})  {ns / all_t:12,.0f} series/s   ({all_t:.3f} s)")
    print(f"  1 worker       {ns / one_t:12,.0f} series/s   ({one_t:.3f} s)   speed-up {one_t / all_t:.2f}")

    n = args.sensor
    ours_t, ours_y = best_time(lambda: sensor_ours(n), r, warmup=True)
    np_t, np_y = best_time(lambda: sensor_numpy(n), r)
    assert ours_y.shape == np_y.shape
    print(f"iot_sensor, {n:,} values on both sides (stuck-sensor failures, battery ageing; numpy: its draws,"
          f" the failure loop and its list conversion inside)")
    print(f"  ours   {ours_t * 1e9 / n:8.2f} ns/value")
    print(f"  numpy  {np_t * 1e9 / n:8.2f} ns/value   numpy/ours {np_t / ours_t:6.1f}")


if __name__ == "__main__":
    main()
