"""Every generator with a Python function, and the batch dispatcher in front of
every generator.

A generator's tests follow one pattern (test_mar.py and test_scenarios.py do
the same for the batch-only ones):
- an entry in GENERATORS: its batch code (None: no batch road) and valid
  arguments in signature order, without length and seed; the batch slots are
  those arguments, scalars then arrays;
- rows in GOLDEN: digests of seeded output for parameter sets that take
  distinct paths (branches, kernels, laws, output codes), verified once
  against an independent computation when first written. Every row is also run
  on the batch road, which must give the same bits (a row without a digest is
  there for the road alone);
- one property test that holds whatever the seed (a moment or an identity),
  two where each catches something the other cannot;
- its argument checks and faults in FAULTS; the innovation laws are checked
  through every generator that takes one;
- no Python rebuild of a generator loop: the reference module covers only
  the shared blocks (engine, ziggurats, innovation laws, decomposition).
The dispatcher's parameter counts are checked against the Python signatures,
so a new code needs no row of its own there.
"""

import inspect
import math
import re
from collections import namedtuple

import numpy as np
import pytest
from scipy import stats

from conftest import assert_bits_equal, assert_panics, batch_values, digest, find_function, raised
from quillmarten import _lib
from reference import RefEngine

NAN, INF, IMAX = math.nan, math.inf, 2**31 - 1
E = np.zeros(0)
Gen = namedtuple("Gen", "code base")


def A(*values):
    return np.array(values, float)


GENERATORS = {
    "random_walk": Gen(0, dict(drift=0.1, volatility=1.0, start_value=5.0, innov_dist=0, innov_param=0.0)),
    "seasonal": Gen(1, dict(seasonality_period=12, seasonality_amplitude=3.0, trend=0.01, noise_level=0.5,
                            base_level=10.0, innov_dist=0, innov_param=0.0)),
    "sarima": Gen(2, dict(full_ar_poly=A(0.5, -0.2, 0.1), full_ma_poly=A(0.4, 0.2), d=1, seasonal_d=1,
                          seasonal_period=12, mean=0.0, drift_val=0.01, noise_std=1.0, burn_in=50, innov_dist=0,
                          innov_param=0.0)),
    "ets": Gen(3, dict(error_type=0, trend_type=1, seasonal_type=2, seasonal_period=7, level=10.0, trend_init=0.1,
                       seasonal_init=A(0.9, 1.1, 1.0, 1.2, 0.8, 1.0, 1.0), alpha=0.3, beta_param=0.05, gamma=0.1,
                       phi=0.9, damped=True, noise_std=0.5, innov_dist=0, innov_param=0.0)),
    "inar": Gen(4, dict(p=2, alpha_arr=A(0.4, 0.2), innov_type=0, innov_mean=3.0, innov_dispersion=0.0)),
    "ornstein_uhlenbeck": Gen(5, dict(theta=0.3, mu=1.5, sigma=0.8, initial_value=2.0, dt=0.1, innov_dist=0,
                                      innov_param=0.0)),
    "geometric_brownian_motion": Gen(6, dict(mu=0.05, sigma=0.3, initial_value=100.0, dt=0.01, innov_dist=0,
                                             innov_param=0.0)),
    "jump_diffusion": Gen(7, dict(mu=0.05, sigma=0.3, lambda_jump=20.0, jump_mean=-0.05, jump_std=0.1,
                                  initial_value=100.0, dt=0.05, innov_dist=0, innov_param=0.0)),
    "poisson_process": Gen(8, dict(lambda_rate=3.0, cumulative=False)),
    "cyclic": Gen(9, dict(base_level=10.0, trend=0.02, cycle_period_mean=24.0, cycle_period_std=5.0,
                          cycle_amplitude_mean=2.0, cycle_amplitude_std=0.5, num_cycles=3, noise_std=0.3,
                          innov_dist=0, innov_param=0.0)),
    "garch": Gen(10, dict(p=1, q=1, omega=0.1, alpha_arr=A(0.1), beta_arr=A(0.8), mu=0.5, initial_variance=1.0,
                          innov_dist=0, innov_param=0.0)),
    "hawkes_process": Gen(11, dict(baseline_intensity=0.5, excitation_amplitude=0.6, decay_rate=1.2, kernel_type=0,
                                   power_law_exponent=1.8, output_type=0, max_events=100_000)),
    "chaotic_system": Gen(12, dict(system_id=0, sigma=10.0, rho=28.0, beta=8 / 3, dt=0.01, logistic_r=3.9,
                                   mg_beta=0.2, mg_gamma=0.1, mg_n=10.0, mg_tau=17, observation_noise=0.0,
                                   initial_perturbation=0.1)),
    "bounded_process": Gen(13, dict(model_id=0, phi=0.6, omega=0.2, kappa=20.0, sigma_param=0.4, initial_value=0.5,
                                    lower=-2.0, upper=3.0)),
    "levy_process": Gen(14, dict(alpha=1.5, beta_skew=0.3, scale=1.3, location=0.2, cumulative=False,
                                 initial_value=5.0)),
    "stochastic_volatility": Gen(15, dict(model_type=0, initial_price=100.0, initial_vol=0.04, drift=0.05,
                                          mean_vol=0.04, vol_mean_reversion=2.0, vol_of_vol=0.3, correlation=-0.7,
                                          beta_param=0.5, dt=1 / 252, output_type=0, innov_dist=0, innov_param=0.0)),
    "regime_switching": Gen(16, dict(n_regimes=3, regime_means=A(0.0, 5.0, -3.0), regime_variances=A(1.0, 0.5, 2.0),
                                     regime_ar_coeffs=A(0.5, -0.3, 0.9),
                                     transition_matrix=A(0.9, 0.05, 0.05, 0.1, 0.8, 0.1, 0.2, 0.2, 0.6),
                                     stationary_probs=A(0.5, 0.3, 0.2), initial_regime=-1, innov_dist=0,
                                     innov_param=0.0)),
    "state_space": Gen(19, dict(state_dim=2, obs_dim=2, f_mat=A(0.9, 0.1, -0.2, 0.7), h_mat=A(1.0, 0.5, 0.3, -1.0),
                                q_mat=A(1.0, 0.3, 0.3, 0.5), r_mat=A(0.2, 0.0, 0.0, 0.4), initial_state=A(1.0, -1.0),
                                initial_state_cov=np.eye(2).ravel(), innov_dist=1, innov_param=5.0)),
    "fbm": Gen(20, dict(hurst=0.7, sigma=2.0, initial_value=0.0, cumulative=False, method=0)),
    "gaussian_process": Gen(21, dict(kernel_id=3, length_scale=3.0, amplitude=1.5, period=12.0, mean=2.0,
                                     noise_variance=0.1)),
    "intermittent_demand": Gen(22, dict(demand_probability=0.3, demand_distribution=0, demand_mean=3.0,
                                        demand_std=2.0, intermittent_pattern=0, cluster_size=3, seasonal_period=12,
                                        seasonal_peak_prob=0.8, min_demand=0.0)),
    "energy_load": Gen(24, dict(base_load=100.0, load_type=0, daily_pattern=True, daily_amplitude=10.0,
                                weekly_pattern=True, weekly_amplitude=5.0, yearly_pattern=True, yearly_amplitude=8.0,
                                temperature_sensitive=True, temperature_sensitivity=2.0, base_temperature=18.0,
                                morning_peak_hour=8, evening_peak_hour=19, peak_amplitude=20.0, holiday_effect=0.3,
                                holiday_days=np.array([0, 5], np.int32), extreme_weather_prob=0.1,
                                extreme_weather_impact=1.5, noise_std=1.0, step_hours=1.0)),
    "vital_signs": Gen(25, dict(baseline_mean=70.0, baseline_std=5.0, min_val=40.0, max_val=180.0,
                                include_circadian=True, circadian_magnitude=5.0, include_hrv=True, include_events=True,
                                event_probability=0.05, vital_sign_type=1)),
    "clickstream": Gen(27, dict(base_sessions=100.0, conversion_mult=1.0, bounce_mult=1.0, depth_mult=1.0,
                                seasonality_amp=0.5, conversion_rate=0.05, bounce_rate=0.4, avg_session_depth=3.0,
                                include_seasonality=True, include_bots=True, bot_fraction=0.1, output_type=0)),
    "copula": Gen(None, dict(n_variables=3, copula_type=1, df=4.0, correlation_matrix=A(1, .5, .2, .5, 1, .3, .2, .3, 1),
                             marginal_distribution=4, marginal_param1=2.0, marginal_param2=1.5)),
    "var_process": Gen(None, dict(n_variables=2, order=2, coef_matrices=A(0.5, 0.1, -0.2, 0.3, 0.2, 0.0, 0.05, -0.1),
                                  intercept=A(1.0, -0.5), innovation_cov=A(1.0, 0.4, 0.4, 2.0), innov_dist=0,
                                  innov_param=0.0)),
    "iot_sensor": Gen(None, dict(base_value=20.0, trend=0.01, amplitude=2.0, period=24.0, measurement_noise=0.3,
                                 drift_rate=0.001, drift_noise=0.02, battery_degradation=True, battery_life=300.0,
                                 battery_degradation_rate=0.02, calibration_offset=0.5, failure_mode=0,
                                 failure_probability=0.02, failure_duration=5, stuck_value=None,
                                 spatial_correlation=0.3)),
    "daily_active_users": Gen(None, dict(base_users=1000.0, growth_rate=0.002, weekend_factor=0.7,
                                         weekly_pattern=True, event_probability=0.03, event_impact_min=1.2,
                                         event_impact_max=2.5, event_decay_rate=0.2, noise_std=0.05, step_hours=6.0)),
}


def params(name, changes):
    """The base arguments with `changes`; a sequence takes the dtype of the array it replaces."""
    base = GENERATORS[name].base
    return base | {k: np.asarray(v, base[k].dtype) if isinstance(v, (list, tuple)) else v for k, v in changes.items()}


def python_road(name, changes, n, seed):
    return find_function(name)(length=n, seed=seed, **params(name, changes))


def batch_road(name, changes, lengths, seeds):
    """The same series from generate_batch: the arguments in signature order, scalars then arrays."""
    p = params(name, changes)
    values = [p[k] for k in inspect.signature(find_function(name)).parameters if k not in ("length", "seed")]
    return batch_values(GENERATORS[name].code, [float(v) for v in values if not isinstance(v, np.ndarray)],
                        [v for v in values if isinstance(v, np.ndarray)], lengths, seeds)


def gen(name, n, seed=7, **changes):
    return python_road(name, changes, n, seed)


# ---------------------------------------------------------------------------
# Seeded output: (generator, changes to its base, length, seed, digest or None)

GOLDEN = [
    ("random_walk", {}, 400, 7, "9bfee1587ac4ca46"),
    ("random_walk", dict(drift=-0.0, volatility=0.0, start_value=-0.0, innov_dist=4, innov_param=2.0), 400, 31,
     "8d2a71ad0dbda00e"),  # all zero: the signs of the zeros
    ("seasonal", {}, 400, 7, "a5fba69a9372bdf5"),
    ("seasonal", dict(seasonality_period=7, seasonality_amplitude=1.0, trend=-0.1, noise_level=1.0, base_level=0.0,
                      innov_dist=2), 400, 3, "e4e1b6d5eb26a5d9"),
    ("seasonal", dict(seasonality_period=1, seasonality_amplitude=2.0, trend=0.0, noise_level=0.2, base_level=1.0,
                      innov_dist=4, innov_param=-0.7), 400, 0, "2817e2c34ea1234b"),
    ("seasonal", dict(seasonality_period=IMAX, seasonality_amplitude=3.25, trend=-0.013, noise_level=0.0,
                      base_level=2.5, innov_dist=1, innov_param=5.0), 400, 21, "0f675f564e18f42b"),
    ("sarima", {}, 300, 7, "0ba4145fb2627c8c"),
    ("sarima", dict(d=0, seasonal_d=0, mean=3.0, innov_dist=1, innov_param=5.0), 300, 7, "f4597931f8587975"),
    ("sarima", dict(burn_in=0, d=2, full_ar_poly=np.full(40, 0.01)), 5, 7, "49ae91542b2c0143"),  # lags past the start
    # Many integrations, pinned before the sums learnt to skip settled values. A negative burn_in cuts the
    # buffer to the output, so the values still growing and the overflowed ones after them are all seen.
    ("sarima", dict(full_ar_poly=E, full_ma_poly=E, d=0, seasonal_d=100_000, burn_in=0), 200, 7,
     "a3cf6cf541c75e21"),  # a 1.2M buffer: +-inf turning NaN down each of the 12 columns
    ("sarima", dict(d=10**6, seasonal_d=0, burn_in=-10**6), 300, 7, "56fa25e5201e921d"),
    ("sarima", dict(full_ar_poly=E, full_ma_poly=E, d=0, seasonal_d=100_000, burn_in=-1_200_000), 1500, 7,
     "b14b35947fd98b78"),
    ("sarima", dict(d=5, seasonal_d=20_000, seasonal_period=7, burn_in=-140_005), 1000, 3, "8e6dc5fac1f1fa3a"),
    ("sarima", dict(d=30_000, seasonal_d=3000, seasonal_period=2, noise_std=0.0, drift_val=5e-324,
                    burn_in=-36_000), 600, 7, "549fd0133186d8d3"),  # subnormal steps keep far more values finite
    ("sarima", dict(d=2, seasonal_d=300, seasonal_period=1000), 200, 9, "9cb7d370d668ae9a"),
    ("sarima", dict(noise_std=1e300, d=2000, seasonal_d=2000, seasonal_period=5, burn_in=-12_000), 400, 11,
     "28eec6e75c75da0a"),
    ("sarima", dict(d=0, seasonal_d=50_000, seasonal_period=24, innov_dist=1, innov_param=2.5, burn_in=-1_200_000),
     3000, 13, "bddfabea5c1576b8"),
    ("ets", {}, 300, 3, "d4416c4bb3552fa3"),
    ("ets", dict(error_type=1, trend_type=2, seasonal_type=1, trend_init=1.01, innov_dist=2), 300, 3,
     "28422b5102273c43"),
    ("ets", dict(seasonal_type=3, damped=False, innov_dist=4, innov_param=2.0), 300, 3, "d0b6d0d04fa50b89"),
    ("inar", {}, 300, 5, "24ed31c7719042bd"),
    ("inar", dict(p=1, alpha_arr=[0.6], innov_type=1, innov_dispersion=1.5), 300, 5, "c58f55b63af8d009"),
    ("ornstein_uhlenbeck", dict(innov_dist=1, innov_param=3.5), 500, 3, "74f406c257af71dd"),
    ("geometric_brownian_motion", dict(innov_dist=2), 500, 4, "fbc7341f015f69de"),
    ("jump_diffusion", {}, 500, 7, "6a4bfdf921a158ab"),
    ("jump_diffusion", dict(innov_dist=1, innov_param=5.0, lambda_jump=400.0), 500, 5,  # Poisson means >= 12
     "82e2c5c644a23ab7"),
    ("poisson_process", {}, 500, 7, "7bc59d9ce3cf0cc4"),
    ("poisson_process", dict(lambda_rate=30.0, cumulative=True), 500, 8, "7daec020846ccebc"),
    ("cyclic", {}, 500, 7, "7c55a033c89125a4"),
    ("garch", {}, 500, 7, "e78b52508a8f355e"),
    ("garch", dict(p=103, beta_arr=[0.0] * 102 + [0.5]), 20, 7, "8d69f583867cd217"),
    ("garch", dict(p=2, q=2, alpha_arr=(0.05, 0.1), beta_arr=(0.5, 0.2)), 10_000, 16, "805bf6d4b265a4d6"),  # window slides
    ("garch", dict(p=2, q=3, alpha_arr=(0.05, 0.1, 0.02, 9.0), beta_arr=(0.3, 0.4), innov_dist=4, innov_param=1.5),
     500, 7, None),
    ("hawkes_process", {}, 300, 7, "c7e7f171c639195b"),
    ("hawkes_process", dict(output_type=1), 300, 13, "555e9d633f46b39f"),
    ("hawkes_process", dict(kernel_type=1, output_type=1), 300, 14, "6f600d9d3ed9ebd9"),
    ("hawkes_process", dict(kernel_type=-3, output_type=1), 300, 7, None),
    ("hawkes_process", dict(kernel_type=1, output_type=5, max_events=40), 300, 7, None),
    # Candidates that round back onto t are candidates at t: a bound near 4e12
    # at t < 1 (4087 events in the first sample, none after), and excitation
    # so strong that every event piles up at the first one (2000 in sample 0).
    ("hawkes_process", dict(baseline_intensity=1.0, excitation_amplitude=1e9, decay_rate=0.0, power_law_exponent=1.0,
                            max_events=4087), 10, 1, "bec6b64bafbd9e62"),
    *[("hawkes_process", dict(excitation_amplitude=1e17, decay_rate=1.0, kernel_type=k, max_events=2000), 300, 1,
       "27f0bf943810d16f") for k in (0, 1)],
    # A plain Poisson process of 8e7 candidates, some of which round onto t.
    ("hawkes_process", dict(baseline_intensity=80.0, excitation_amplitude=0.0, decay_rate=1.0, power_law_exponent=1.5,
                            max_events=IMAX), 10**6, 0, "2a4b668ef29f83c8"),
    ("levy_process", {}, 500, 7, "50cf7d9ff29c074c"),
    ("levy_process", dict(alpha=1.0, beta_skew=0.5, cumulative=True), 500, 11, "2ec5161ac78d0a73"),
    ("levy_process", dict(cumulative=True, alpha=0.8, beta_skew=-1.0), 500, 7, None),
    ("chaotic_system", {}, 300, 7, "35d17a0bbf94a2e4"),
    ("chaotic_system", dict(system_id=1, observation_noise=0.05), 300, 7, "43e61559ceb91ee4"),
    ("chaotic_system", dict(system_id=2), 300, 7, "5e78563efd176c24"),
    ("chaotic_system", dict(system_id=2, mg_tau=0), 300, 7, "5b638086c129ee32"),
    # A delay longer than the series: every delayed value is the start (no 16 GiB ring).
    ("chaotic_system", dict(system_id=2, mg_tau=IMAX), 300, 7, "362d03ac1b6785a5"),
    ("chaotic_system", dict(dt=0.003), 40, 7, "9d3fab41267f82ba"),  # 333 steps per sample
    ("bounded_process", {}, 300, 11, "168c5f1d211917fd"),
    ("bounded_process", dict(model_id=1, phi=0.9), 300, 11, "cf7c5ed546ec18da"),
    ("bounded_process", dict(model_id=1, phi=1.0, sigma_param=40.0), 300, 11, "ddb45cb1d0c42a45"),  # past both cut-offs
    # kappa = 0.01: both gamma draws underflow to 0 at value 12 (0/0 as written).
    ("bounded_process", dict(kappa=0.01), 100, 7, "8c4a81403f534b38"),
    ("bounded_process", dict(model_id=-4, phi=0.95), 300, 0, None),
    ("stochastic_volatility", {}, 300, 11, "239d51cf9693e994"),
    ("stochastic_volatility", dict(model_type=1, initial_vol=0.09, output_type=1), 300, 11, "4a67d3d1aa2c885a"),
    ("stochastic_volatility", dict(model_type=2, initial_vol=0.3, output_type=2, innov_dist=1, innov_param=4.0), 300,
     11, "3c99c9c1d73af7d1"),
    ("regime_switching", {}, 300, 13, "571d6c256349c24d"),
    ("regime_switching", dict(initial_regime=1, innov_dist=2), 300, 13, "87ad7026633dbd66"),
    *[("regime_switching", dict(stationary_probs=A(0.1, 0.2, 0.7)), 300, seed, d)  # the start drawn from them
      for seed, d in [(1, "bd94b425ce505197"), (3, "886e32512715ee4c")]],
    ("state_space", {}, 300, 3, "22c873b0dd27ccca"),
    ("state_space", dict(r_mat=(1, 1, 1, 1), innov_dist=2), 300, 3, "b28236fb9505a4ea"),  # singular R: eigen factor
    # non-finite entries that the eigen factor still takes: they split off as NaN eigenvalues, floored
    ("state_space", dict(q_mat=(1, 0, 0, NAN)), 300, 3, "e371c19a1a490429"),
    ("state_space", dict(q_mat=(-INF, 0, 0, 1)), 300, 3, "919cc101cd40e6da"),
    ("fbm", {}, 300, 1, "4027d2953b94708a"),
    ("fbm", dict(method=1), 300, 1, "ea4ce8533c207c24"),
    ("fbm", dict(hurst=0.25, initial_value=5.0, cumulative=True, method=2), 3000, 1, "60e53f765bbf2a19"),
    ("fbm", dict(hurst=0.6, method=-7), 5, 4, None),
    ("fbm", dict(hurst=1.2, method=1), 300, 5, "4a2523acaa59ba3c"),  # Hosking's variance clamp
    ("gaussian_process", dict(length_scale=8.0, amplitude=2.0, period=0.0, mean=-1.0, noise_variance=0.01), 1000, 2,
     "0d72306606a14f83"),
    ("gaussian_process", dict(kernel_id=4, length_scale=0.7, amplitude=2.0, period=24.0, mean=0.0,
                              noise_variance=0.0), 200, 2, "fb913d708089bb62"),
    ("gaussian_process", dict(kernel_id=4, length_scale=0.7, amplitude=2.0, period=24.0, mean=0.0,
                              noise_variance=0.3), 200, 2, "61ec59dd9ce74b36"),  # the nugget on the dense path
    *[("gaussian_process", dict(kernel_id=k), n, 6, d) for n, k, d in [
        (100, 0, "864626c2d8169883"), (101, 1, "c76b9cb08a9f33cf"), (64, 2, "308844e14c9f2caf"),
        (33, 7, "4666fa9ec240109b")]],
    ("intermittent_demand", {}, 400, 5, "b425ddb1e18c311d"),
    ("intermittent_demand", dict(demand_mean=40.0), 400, 5, "881354664ed22483"),  # Poisson from 12 on
    ("intermittent_demand", dict(intermittent_pattern=1, demand_distribution=1), 400, 5, "2e12b62ce3b79c46"),
    ("intermittent_demand", dict(intermittent_pattern=2, demand_distribution=2), 400, 5, "bc568d09cefff302"),
    ("intermittent_demand", dict(demand_distribution=3), 400, 5, "86f6de8ede2a9ae8"),
    ("intermittent_demand", dict(intermittent_pattern=1, demand_distribution=4, demand_probability=0.01), 400, 5,
     "b21613f45cfb1b7c"),
    ("intermittent_demand", dict(intermittent_pattern=7, min_demand=0.5), 400, 5, None),
    ("energy_load", dict(holiday_days=[0, 100, 359]), 3000, 1, "145e342831d05124"),
    ("energy_load", dict(load_type=2, step_hours=0.5, holiday_days=[3]), 3000, 2, "219d3be7fbdf4cb6"),
    ("energy_load", dict(load_type=1, temperature_sensitive=False, step_hours=24.0, holiday_days=[]), 3000, 3,
     "3848039c2bb63cc9"),
    ("energy_load", dict(load_type=-4, step_hours=NAN, noise_std=-2.0, holiday_days=[0]), 2000, 11, None),
    ("vital_signs", {}, 3000, 1, "4c3aba1e9940c163"),
    ("vital_signs", dict(vital_sign_type=4, event_probability=0.3, min_val=60.0, max_val=80.0), 3000, 2,
     "a5befac16f84937c"),
    ("vital_signs", dict(vital_sign_type=0, baseline_std=-3.0, include_circadian=False), 3000, 3, "83ac80431006e3ec"),
    *[("vital_signs", dict(vital_sign_type=t, include_hrv=t % 2 == 0, include_events=t < 3), 2000, 11, None)
      for t in (-1, 2, 3, 5, IMAX)],
    ("clickstream", dict(output_type=1), 3000, 1, "e53d13c3ff18c940"),
    ("clickstream", dict(output_type=3, base_sessions=0.5, depth_mult=0.5), 3000, 2, "d6ad696e3a1b3e02"),
    ("clickstream", dict(output_type=2, include_bots=False, conversion_mult=4.0), 3000, 3, "ae29586de4e24d76"),
    ("clickstream", dict(base_sessions=0.05, seasonality_amp=0.9), 500, 4, "b4bc1926f3e36256"),  # the 0.1 floor
    *[("clickstream", dict(output_type=o, include_seasonality=o != 0), 2000, 11, None) for o in (0, -7)],
    ("var_process", {}, 300, 5, "b2526f1e1ac3feb3"),
    ("var_process", dict(innov_dist=1, innov_param=4.0, innovation_cov=(1.0, 2.0, 2.0, 1.0)), 300, 5,
     "73651d7064b66d95"),
    ("copula", {}, 300, 8, "dbf4bc6b0d13aebd"),
    ("copula", dict(copula_type=0, marginal_distribution=1, marginal_param1=0.5), 300, 8, "28afbef5e83c7b9e"),
    *[("copula", dict(copula_type=0, marginal_distribution=m, marginal_param1=0.7, marginal_param2=1.9), 300, 8, d)
      for m, d in [(0, "2937ef7a282dd98d"), (2, "2587bbb13abb192d"), (3, "2a1e3a785e063a6e")]],
    ("iot_sensor", {}, 400, 3, "fec7e07505ee4e84"),
    ("iot_sensor", dict(failure_mode=1, failure_probability=0.005), 400, 3, "2df334f9ca13cdca"),
    ("iot_sensor", dict(failure_mode=2, period=-1.0), 400, 3, "5d48d8e13ccd7d87"),
    ("iot_sensor", dict(failure_mode=3), 400, 3, "893a6b7bc329adf2"),
    ("iot_sensor", dict(failure_mode=3, stuck_value=-1.5, failure_duration=-2**31), 400, 3, "a28c99b9be56a318"),
    ("daily_active_users", {}, 300, 13, "9211b0b4ed2bd7f5"),  # the values' bytes, then the flags'
    ("daily_active_users", dict(step_hours=24.0, event_decay_rate=0.0, growth_rate=-0.01), 300, 13,
     "3a889dfdfc699c9e"),
    # The day wraps to -2^31 at sample 1 (growth 1.5^-2^31 = 0), to 0 at sample 2.
    ("daily_active_users", dict(step_hours=24.0 * 2**31, growth_rate=0.5), 3, 13, "09e9d1a762850ab4"),
    ("daily_active_users", dict(step_hours=NAN), 300, 13, "895d0c6c4c4c09a2"),
]


def ids(rows):
    return [f"{row[0]}-{i}" for i, row in enumerate(rows)]


@pytest.mark.parametrize("name,changes,n,seed,want", GOLDEN, ids=ids(GOLDEN))
def test_seeded_output(name, changes, n, seed, want):
    # The Python road runs once per row (some rows are long): its digest, then the batch road's bits.
    out = python_road(name, changes, n, seed)
    if want:
        assert digest(*(out if isinstance(out, tuple) else (out,))) == want
    if GENERATORS[name].code is not None:
        lengths, seeds = [n, 1, 313], [seed, 2**64 - 1, 0]
        for got, m, s in zip(batch_road(name, changes, lengths, seeds), lengths, seeds):
            assert_bits_equal(got, out if (m, s) == (n, seed) else python_road(name, changes, m, s))


# Holidays travel as float days: toward zero, saturating, NaN as 0; arrays past the first are not read.
@pytest.mark.parametrize("changes,holidays,arrays", [
    (dict(load_type=2, step_hours=7.0), [6, 7, 0], [[6.0, 7.5, NAN], [1.0]]),
    (dict(load_type=1, step_hours=0.25), [IMAX, -2**31, 3], [[1e12, -INF, 3.9]]),
    ({}, [], []),  # no array: no holidays
])
def test_energy_load_holiday_slots(changes, holidays, arrays):
    scalars = [float(v) for k, v in params("energy_load", changes).items() if k != "holiday_days"]
    assert_bits_equal(batch_values(24, scalars, arrays, [2000], [11])[0],
                      python_road("energy_load", {**changes, "holiday_days": holidays}, 2000, 11))


# Batch slots that take integers: toward zero, saturating at the 32-bit range, NaN to 0.
# (generator, parameter, slot value, the integer it reads as)
SLOTS = [
    ("random_walk", "innov_dist", 3.999999, 3), ("random_walk", "innov_dist", NAN, 0),
    ("seasonal", "seasonality_period", INF, IMAX), ("seasonal", "seasonality_period", -INF, -2**31),
    ("seasonal", "seasonality_period", -2.9, -2),
    ("seasonal", "seasonality_period", 0.3, 0),  # a period the Python road refuses: every value NaN
]


@pytest.mark.parametrize("name,param,slot,value", SLOTS)
def test_integer_slots(name, param, slot, value):
    assert_bits_equal(batch_road(name, {"innov_param": 5.0, param: slot}, [300], [3])[0],
                      batch_road(name, {"innov_param": 5.0, param: value}, [300], [3])[0])


# ---------------------------------------------------------------------------
# Innovation laws against the reference: with a zero curve a seasonal value is
# 0.0 + its draw. (code, param, scale, seed, length, rare branches the run must take)

LAWS = [
    pytest.param(0, 0.0, 1.7, 1, 2000, {"normal tail", "normal wedge"}, id="normal"),
    pytest.param(0, NAN, -2.0, 6, 400, set(), id="normal, negative scale, param ignored"),
    pytest.param(1, 2.5, 1.7, 1, 800, {"normal wedge", "gamma t <= 0", "gamma log test", "gamma reject"},
                 id="student-t df=2.5"),
    pytest.param(2, NAN, 1.7, 1, 1200, {"exponential tail", "exponential wedge"}, id="laplace"),
    pytest.param(3, 0.0, 1.7, 14, 700, set(), id="uniform"),
    pytest.param(3, -3.5, 1e300, 5, 400, set(), id="uniform, huge scale"),
    pytest.param(4, 3.0, 1.7, 1, 600, {"normal tail", "normal wedge"}, id="skew-normal a=3"),
    pytest.param(4, -0.7, 0.0, 16, 400, set(), id="skew-normal, zero scale"),
    pytest.param(-1, INF, 1.7, 0, 400, set(), id="code -1 is normal, seed 0"),
]


@pytest.mark.parametrize("code,param,scale,seed,n,rare", LAWS)
def test_laws_match_reference(code, param, scale, seed, n, rare):
    eng = RefEngine(seed)
    want = np.array([0.0 + eng.innovation(code, scale, param) for _ in range(n)])
    assert rare <= set(eng.paths), eng.paths
    assert eng.outputs > 312  # at least one regeneration of the state
    assert_bits_equal(_lib.statistical.seasonal(n, 12, 0.0, 0.0, scale, 0.0, seed, code, param), want)


STUDENT = "Student's t df must be > 2 for finite variance"
UNIFORM = "invalid uniform innovation param: scale must be > 0: "
NORMAL = "invalid normal params: std must be finite and >= 0: BadVariance"

# (innovation code, scale, parameter, fault text; None: accepted), through the generators with a scale parameter
LAW_FAULTS = [
    (1, 1.0, 2.0, STUDENT), (1, 1.0, NAN, STUDENT),
    (2, -0.0, 0.0, "invalid laplace param: scale must be > 0: LambdaTooSmall"),
    (3, NAN, 0.0, UNIFORM + "EmptyRange"), (3, 1e308, 0.0, UNIFORM + "NonFinite"),  # a is finite, 2a is not
    (-3, -INF, 0.0, NORMAL),
    (1, 1.0, 2.0000000001, None), (2, 0.0, 0.0, None), (4, INF, NAN, None),
]


@pytest.mark.parametrize("name,scale", [("random_walk", "volatility"), ("seasonal", "noise_level")])
@pytest.mark.parametrize("code,value,param,text", LAW_FAULTS)
def test_law_faults(name, scale, code, value, param, text, capfd):
    changes = {scale: value, "innov_dist": code, "innov_param": param}
    for road in (lambda: python_road(name, changes, 10, 1), lambda: batch_road(name, changes, [10], [1])[0]):
        if text is None:
            assert road().shape == (10,)
        else:
            assert_panics(road, text=text)
            assert text in capfd.readouterr().err
    # A law is refused at its first draw, and an empty series makes none.
    assert batch_road(name, changes, [0], [1])[0].shape == (0,)


@pytest.mark.parametrize("name", [name for name, g in GENERATORS.items() if "innov_dist" in g.base])
def test_every_law_taking_generator_checks_its_law(name):
    changes = {"innov_dist": 1, "innov_param": 2.0}
    assert_panics(python_road, name, changes, 10, 1, text=STUDENT)
    if GENERATORS[name].code is not None:
        assert_panics(batch_road, name, changes, [10], [1], text=STUDENT)


# ---------------------------------------------------------------------------
# One property each (two where each catches what the other cannot)

S, ST, V, M = _lib.statistical, _lib.stochastic, _lib.volatility, _lib.multivariate


@pytest.mark.parametrize("code,param", [(0, 0.0), (1, 6.0), (2, 0.0), (3, 0.0), (4, 4.0), (4, -1.0)])
def test_random_walk_steps_have_mean_zero_and_the_given_variance(code, param):
    n, drift, sigma = 40_000, 0.2, 1.5
    steps = np.diff(S.random_walk(n, drift, sigma, 0.0, 2024, code, param), prepend=0.0) - drift
    assert abs(steps.mean()) < 5.0 * sigma / math.sqrt(n)
    assert abs(steps.var() / sigma**2 - 1.0) < 0.06
    # Only the normal law's steps pass for normal ones.
    assert (stats.kstest(steps, stats.norm(scale=sigma).cdf).pvalue < 1e-3) == (code != 0)


@pytest.mark.parametrize("period", [1, 7, 24])
def test_seasonal_is_its_curve_plus_noise(period):
    t = np.arange(5000.0)
    curve = (2.5 * np.sin(2 * np.pi / period * t) + 1.0) + 0.125 * t
    np.testing.assert_allclose(S.seasonal(5000, period, 2.5, 0.125, 0.0, 1.0, 4), curve, rtol=1e-12)
    noise = S.seasonal(5000, period, 2.5, 0.125, 0.7, 1.0, 4) - curve
    assert abs(noise.mean()) < 0.05 and abs(noise.std() - 0.7) < 0.03


def seasonal_sums(y, times, lag):
    with np.errstate(all="ignore"):
        if lag == 0:  # doubling, exact until it overflows
            return np.where(y == 0, y, np.copysign(np.inf, y)) if times >= 2100 else y * 2.0**times
        for _ in range(times):
            for r in range(lag):
                y[r::lag] = np.add.accumulate(y[r::lag])
    return y


SPARSE_AR = np.r_[-0.5, np.zeros(10), -0.3, 0.15]  # mostly zeros, like a multiplied-out seasonal polynomial
SPARSE_MA = np.r_[0.4, np.zeros(10), 0.2, 0.08]
LAW_N, ZERO_T, HUGE_T = (0, 1.0, 0.0), (1, 0.0, 3.0), (1, 1e308, 3.0)  # (innov_dist, noise_std, innov_param)
HUGE_N = (0, 1e300, 0.0)


@pytest.mark.parametrize("ar,ma,d,D,P,B,n,law", [
    ([0.5, -0.2, 0.1], [0.4, 0.2], 1, 1, 12, 30, 200, LAW_N),
    (SPARSE_AR, SPARSE_MA, 0, 0, 0, 0, 3000, LAW_N),
    (SPARSE_AR, [], 0, 0, 0, 0, 300, ZERO_T),  # zeros of either sign
    (SPARSE_AR, [], 0, 0, 0, 0, 300, HUGE_T),  # infinities: 0 * inf is NaN
    ([0.9], np.full(60, 0.05), 0, 0, 4, 0, 50, LAW_N),  # lags longer than the buffer
    ([], [], 1, 0, 12, 5, 100, LAW_N),
    ([], [], 3003, 0, 0, 0, 200, LAW_N),  # running sums that blow up to +-inf and NaN
    ([], [], 2**16, IMAX, -1, IMAX - 2**16, 200, LAW_N),  # a negative period skips the seasonal sums
    ([], [], 9, 700, 1, 0, 200, LAW_N),
    ([0.2], [], 0, 40, 3, 10, 200, LAW_N),
    ([], [], 0, IMAX, 0, 0, 50, LAW_N),  # doublings past overflow
    # Settled values that change again: a sum past the last change overflows to the other sign, so its
    # neighbour turns from inf to NaN; by columns (lag 1, 3 and 30) and in buffer order (12)
    ([], [], 40, 0, 0, 0, 200, HUGE_N),
    ([], [], 0, 60, 3, 0, 200, HUGE_N),
    ([], [], 58, 36, 30, 0, 200, HUGE_N),
    ([], [], 0, 60, 12, 0, 12000, HUGE_N),
    ([], [], 2, 300, 12, 0, 15000, LAW_N),
    ([], [], 0, 5, 20, 0, 500, LAW_N),  # too few passes for columns
])
def test_sarima_is_filtered_then_integrated(ar, ma, d, D, P, B, n, law):
    N, c, seed, (code, scale, param) = P * D + d + n + B, 0.25, 3, law
    # a mean of -0.0 leaves every value as it is, zeros' signs included
    innov = S.sarima(N, E, E, 0, 0, 0, -0.0, 0.0, scale, 0, seed, code, param)
    filtered = S.sarima(N, A(*ar), A(*ma), 0, 0, 0, -0.0, 0.0, scale, 0, seed, code, param)
    w = innov.copy()
    with np.errstate(all="ignore"):
        for k, theta in enumerate(ma, 1):
            w[k:] = w[k:] + theta * innov[:-k]
        for k, phi in enumerate(ar, 1):
            w[k:] = w[k:] + phi * filtered[:-k]
        assert_bits_equal(filtered, w)
        y = filtered + c
        for _ in range(d):
            y = np.add.accumulate(y)
    want = seasonal_sums(y, D, P) if D > 0 and 0 <= P < N else y
    mean, drift = (-9.0, c) if d > 0 or D > 0 else (c, -9.0)  # the other one is not used
    got = S.sarima(n, A(*ar), A(*ma), d, D, P, mean, drift, scale, B, seed, code, param)
    assert_bits_equal(got, want[N - n:])


@pytest.mark.parametrize("alpha", [0.0, 0.3, 1.0])
def test_ets_local_level(alpha):
    # Additive error, no trend, no season: y_t = l_t + e_t with l_{t+1} = l_t + alpha e_t.
    e = gen("ets", 300, 3, trend_type=0, seasonal_type=0, level=5.0, noise_std=2.0, alpha=0.0) - 5.0
    level = 5.0 + alpha * np.concatenate([[0.0], np.cumsum(e)[:-1]])
    got = gen("ets", 300, 3, trend_type=0, seasonal_type=0, level=5.0, noise_std=2.0, alpha=alpha)
    np.testing.assert_allclose(got, level + e, rtol=1e-12, atol=1e-9)


@pytest.mark.parametrize("p,alpha,innov_type,mean,dispersion", [
    (1, [0.5], 0, 2.0, 0.0),
    (2, [0.3, 0.2, 0.9], 0, 1.5, 0.0),  # only the first p coefficients count
    (1, [0.4], 1, 2.0, 2.0),
])
def test_inar_counts_have_the_stationary_mean(p, alpha, innov_type, mean, dispersion):
    x = S.inar(40_000, p, A(*alpha), innov_type, mean, dispersion, 17)
    assert (x >= 0).all() and (x == np.floor(x)).all()
    assert x.mean() == pytest.approx(mean / (1.0 - sum(alpha[:p])), rel=0.04)


@pytest.mark.parametrize("got,want", [
    # Seasonal states beyond the n a series reaches are never read.
    (lambda: gen("ets", 20, seasonal_period=IMAX, seasonal_init=[]), lambda: gen("ets", 20, seasonal_period=20,
                                                                                  seasonal_init=[])),
    # Counts saturate instead of wrapping.
    (lambda: S.inar(50, 1, A(1.0), 0, 2e9, 0.0, 1), lambda: np.full(50, 2147483647.0)),
])
def test_sizes_beyond_32_bits(got, want):
    assert_bits_equal(got(), want())


def test_ou_without_reversion_is_a_random_walk():
    got = gen("ornstein_uhlenbeck", 801, 9, theta=0.0, dt=1.0)
    assert got[0] == 2.0
    assert_bits_equal(got[1:], S.random_walk(800, 0.0, 0.8, 2.0, 9, 0, 0.0))


@pytest.mark.parametrize("innov_dist,innov_param", [(0, 0.0), (1, 5.0), (3, 0.0)])
def test_gbm_log_steps_have_the_corrected_drift(innov_dist, innov_param):
    # the correction turns a drift of +0.001 per step into -0.001
    mu, sigma, dt, n = 1.0, 2.0, 0.001, 100_000
    steps = np.diff(np.log(ST.geometric_brownian_motion(n, mu, sigma, 1.0, dt, 11, innov_dist, innov_param)))
    assert abs(steps.mean() - (mu - sigma**2 / 2) * dt) < 4 * sigma * math.sqrt(dt / n)
    assert abs(steps.std() / (sigma * math.sqrt(dt)) - 1) < 0.03


@pytest.mark.parametrize("jump_std", [0.1, INF, NAN])
@pytest.mark.parametrize("law", [(0, 0.0), (1, 4.0)])
def test_jump_diffusion_without_jumps_is_gbm(jump_std, law):
    # No Poisson count is drawn at rate 0, and the jump law is never asked.
    got = gen("jump_diffusion", 500, lambda_jump=0.0, jump_std=jump_std, innov_dist=law[0], innov_param=law[1])
    assert_bits_equal(got, gen("geometric_brownian_motion", 500, dt=0.05, innov_dist=law[0], innov_param=law[1]))


@pytest.mark.parametrize("rate", [0.0, 0.7, 11.999, 12.0, 250.0])
def test_poisson_counts_have_mean_and_variance_lambda(rate):
    counts = gen("poisson_process", 50_000, lambda_rate=rate)
    assert_bits_equal(gen("poisson_process", 50_000, lambda_rate=rate, cumulative=True), np.cumsum(counts))
    assert abs(counts.mean() - rate) < 5 * math.sqrt(rate / 50_000) + 1e-12
    assert abs(counts.var() - rate) < 0.05 * rate + 1e-12


@pytest.mark.parametrize("period", [12.0, 50.0])
def test_cyclic_repeats_at_about_its_period(period):
    # Fixed period and amplitude, no noise: the wobble of up to 20% in the
    # period averages out to a spectral peak within a few percent of it.
    got = gen("cyclic", 8192, base_level=0.0, trend=0.0, cycle_period_mean=period, cycle_period_std=0.0,
              cycle_amplitude_std=0.0, num_cycles=1, noise_std=0.0)
    assert np.abs(got).max() <= 2.0
    peak = np.argmax(np.abs(np.fft.rfft(got))[1:]) + 1
    assert abs(8192 / peak / period - 1) < 0.05


@pytest.mark.parametrize("omega,alpha,beta", [(0.1, 0.1, 0.8), (0.5, 0.3, 0.0), (2.0, 0.0, 0.0)])
def test_garch_variance_is_omega_over_one_minus_persistence(omega, alpha, beta):
    y = gen("garch", 200_000, omega=omega, alpha_arr=[alpha], beta_arr=[beta])
    assert abs(y.mean() - 0.5) < 0.02
    assert abs(y.var() / (omega / (1 - alpha - beta)) - 1) < 0.05


@pytest.mark.parametrize("p,q", [(101, 1), (0, 150), (130, 130)])
def test_garch_cells_before_the_orders_stay_zero(p, q):
    y = gen("garch", 60, p=p, q=q, alpha_arr=[0.01] * q, beta_arr=[0.01] * p)
    lead = max(p, q) - 100
    assert (y[:lead] == 0).all() and (y[lead:] != 0).all()


@pytest.mark.parametrize("length,alpha,kernel,output,rate", [
    (20_000, 0.0, 0, 0, 0.5),  # no excitation: Poisson of rate mu
    (20_000, 0.5, 0, 0, 1.0),  # branching ratio alpha / beta = 1/2 doubles the rate
    (20_000, 0.5, 0, 1, 1.0),  # and the intensity averages to the event rate
    (2_000, 0.5, 1, 0, 1.0),  # power law: alpha / (beta (gamma - 1)) = 1/2
    (2_000, 0.5, 1, 1, 1.0),
])
def test_hawkes_rate_is_mu_over_one_minus_branching_ratio(length, alpha, kernel, output, rate):
    y = gen("hawkes_process", length, excitation_amplitude=alpha, decay_rate=1.0, kernel_type=kernel,
            power_law_exponent=2.0, output_type=output)
    assert abs(y.mean() / rate - 1) < 0.08


@pytest.mark.parametrize("kernel", [0, 1])
def test_hawkes_outputs_agree(kernel):
    counts = gen("hawkes_process", 300, kernel_type=kernel)
    assert_bits_equal(gen("hawkes_process", 300, kernel_type=kernel, output_type=2), np.minimum(counts, 1.0))
    assert counts.max() > 1  # so the two differ somewhere
    capped = gen("hawkes_process", 300, kernel_type=kernel, max_events=25)
    assert capped.sum() == 25 and (capped <= counts).all()


@pytest.mark.parametrize("alpha,beta,law", [
    (2.0, 0.9, stats.norm(0.2, 1.3 * math.sqrt(2))),  # beta is ignored
    (2.0 + 5e-11, 0.0, stats.norm(0.2, 1.3 * math.sqrt(2))),
    (1.0, 0.0, stats.cauchy(0.2, 1.3)),
    (1.0 - 5e-11, 0.0, stats.cauchy(0.2, 1.3)),
])
def test_levy_closed_form_cases(alpha, beta, law):
    assert stats.kstest(gen("levy_process", 20_000, alpha=alpha, beta_skew=beta), law.cdf).pvalue > 1e-3


def test_chaotic_observation_noise_is_added_after_the_system():
    # The system's draws come first, so the noisy series minus the clean one
    # is the noise alone: N(0, 0.5^2).
    diff = gen("chaotic_system", 20_000, dt=0.05, observation_noise=0.5) - gen("chaotic_system", 20_000, dt=0.05)
    assert abs(diff.mean()) < 4 * 0.5 / math.sqrt(diff.size)
    assert abs(diff.std() / 0.5 - 1) < 0.03


def test_bounded_beta_values_are_independent_betas_without_memory():
    # phi = 0, omega = 1/2: every unit value is a Beta(k/2, k/2) draw,
    # mean 1/2 and variance 1 / (4 (k + 1)).
    u = gen("bounded_process", 100_000, 11, phi=0.0, omega=0.5, kappa=4.0, lower=0.0, upper=1.0)
    assert abs(u.mean() - 0.5) < 4 * math.sqrt(0.05 / u.size)
    assert abs(u.var() / 0.05 - 1) < 0.02


def test_stochastic_volatility_with_constant_variance():
    args = dict(vol_of_vol=0.0, mean_vol=0.04, initial_vol=0.04, drift=0.0)
    assert (gen("stochastic_volatility", 20_000, 11, output_type=2, **args) == 0.2).all()
    price = gen("stochastic_volatility", 20_000, 11, **args)
    assert (np.diff(price) / price[:-1]).std() == pytest.approx(0.2 * math.sqrt(1 / 252), rel=0.03)
    returns = gen("stochastic_volatility", 20_000, 11, output_type=1, **args)
    assert returns[0] == 0.0
    np.testing.assert_allclose(returns[1:], np.log(price[1:] / price[:-1]), rtol=1e-12, atol=1e-15)


def test_one_regime_is_its_ar1():
    mu, var, phi = 2.0, 1.5, 0.6
    x = V.regime_switching(60_000, 1, A(mu), A(var), A(phi), A(1.0), A(1.0), -1, 23, 0, 0.0)
    assert x.mean() == pytest.approx(mu, abs=0.05)
    assert x.var() == pytest.approx(var / (1 - phi**2), rel=0.04)
    assert np.corrcoef(x[1:], x[:-1])[0, 1] == pytest.approx(phi, abs=0.02)


def normals(seed, count):
    eng = RefEngine(seed)
    return np.array([eng.normal() for _ in range(count)])


def autocovariances(x, lags):
    x = x - x.mean()
    return np.array([np.dot(x[: len(x) - k], x[k:]) / len(x) for k in lags])


def test_fbm():
    # H = 0.5 makes the noise white: Hosking and the dense factor both give |sigma| z.
    z = normals(7, 60)
    for method in (1, 0):
        assert_bits_equal(M.fbm(60, 0.5, -1.5, 0.0, False, method, 7), 1.5 * z)
    # Otherwise both form L z with the Cholesky factor L, by different roundings.
    hosking, dense = (M.fbm(250, 0.7, 1.3, 0.0, False, m, 3) for m in (1, 0))
    np.testing.assert_allclose(hosking, dense, rtol=0, atol=1e-12)
    # Davies-Harte is exact for H in (0, 1): fractional Gaussian noise autocovariances.
    x = M.fbm(2**16, 0.3, 2.0, 0.0, False, 2, 5)
    want = [0.5 * 2.0**2 * ((k + 1) ** 0.6 - 2 * k ** 0.6 + abs(k - 1) ** 0.6) for k in (0, 1, 2, 5)]
    np.testing.assert_allclose(autocovariances(x, (0, 1, 2, 5)), want, atol=0.06)


def test_gaussian_process():
    l, a2, nugget = 4.0, 2.25, 0.1
    x = M.gaussian_process(2**16, 2, l, 1.5, 0.0, 3.0, nugget, 9)
    assert abs(x.mean() - 3.0) < 0.1
    lags = (0, 1, 4, 10)
    want = [math.exp(-r) * (r + 1) * a2 + (nugget if d == 0 else 0) for d in lags for r in [d * math.sqrt(3) / l]]
    np.testing.assert_allclose(autocovariances(x, lags), want, atol=0.08)
    # A zero kernel is exact on the circulant path and floored (1e-5 z) on the dense one.
    assert np.all(M.gaussian_process(50, 0, 3.0, 0.0, 0.0, 5.0, 0.0, 1) == 5.0)
    dense = M.gaussian_process(50, 4, 3.0, 0.0, 7.0, 5.0, 0.0, 1) - 5.0
    assert 0 < np.abs(dense).max() < 1e-4


def test_state_space():
    # One state seen through noise: var y = q / (1 - phi^2) + r.
    phi, q, r = 0.8, 0.5, 0.3
    y = M.state_space(50_000, 1, 1, A(phi), A(1.0), A(q), A(r), A(2.0), A(q / (1 - phi**2)), 11, 0, 0.0)
    assert abs(y.mean()) < 0.06
    assert abs(y.var() / (q / (1 - phi**2) + r) - 1) < 0.04
    # Only row 0 of H and of L_R reaches the output; the upper triangles are not read.
    other = gen("state_space", 300, 3, h_mat=(1.0, 0.5, 9.0, 9.0), r_mat=(0.2, 7.0, 0.0, 3.0),
                q_mat=(1.0, -5.0, 0.3, 0.5))
    assert_bits_equal(other, gen("state_space", 300, 3))
    # State dimension 0 on the batch road: each value is component 0 of L_R e.
    assert_bits_equal(batch_values(19, [-3.0, 1, 1, 2.0], [[], [], [], [4.0], [], []], [40], [9])[0],
                      2.0 * normals(9, 40))


def test_var_process():
    phi, mu, sigma2 = 0.6, 1.0, 2.0
    x = M.var_process(50_000, 1, 1, A(phi), A(mu), A(sigma2), 2, 0, 0.0)
    assert abs(x.mean() - mu / (1 - phi)) < 0.06
    assert abs(x.var() / (sigma2 / (1 - phi**2)) - 1) < 0.04
    # Values beyond order * n^2 are not read; lags reaching before t = 0 are skipped.
    coef = GENERATORS["var_process"].base["coef_matrices"]
    base = gen("var_process", 300, 5)
    assert_bits_equal(gen("var_process", 300, 5, coef_matrices=np.r_[coef, NAN, NAN]), base)
    assert_bits_equal(gen("var_process", 300, 5, order=500, coef_matrices=np.r_[coef, np.zeros(4 * 498)]), base)


def test_copula():
    # Gaussian copula, identity correlation, standard normal marginal: every third
    # normal goes through norm_cdf, the clamp and norm_ppf.
    D = _lib.distributions
    u = np.clip(D.norm_cdf(normals(4, 3 * 400)[::3].copy()), 1e-15, 0.999999999999999)
    assert_bits_equal(M.copula(400, 3, 0, NAN, np.eye(3).ravel(), 5, 0.0, 0.0, 4), D.norm_ppf(u))


def demand_flags(n, **changes):
    return np.flatnonzero(gen("intermittent_demand", n, 5, min_demand=1.0, **changes))


@pytest.mark.parametrize("p", [0.2, 0.8])  # the two roads of the geometric draw
def test_demand_clusters_are_separated_by_geometric_gaps(p):
    # Each cycle is one empty period, a gap of mean (1 - p) / p, and a cluster.
    share = demand_flags(200_000, intermittent_pattern=1, demand_probability=p).size / 200_000
    assert abs(share / (3 / (3 + 1 + (1 - p) / p)) - 1) < 0.02


@pytest.mark.parametrize("changes,want", [
    (dict(intermittent_pattern=1, demand_probability=1.0, cluster_size=2), [1, 2, 4, 5, 7]),
    (dict(intermittent_pattern=3), []),
    # 1 - p rounds to 1: an unbounded gap, no cluster (no endless loop with size 0).
    (dict(intermittent_pattern=1, demand_probability=1e-17, cluster_size=2), []),
    (dict(intermittent_pattern=1, demand_probability=1e-17, cluster_size=0), []),
    (dict(intermittent_pattern=1, demand_probability=1e-12, cluster_size=2), []),  # gaps near 10^12 (k = 40)
    # the same draws as another setting
    (dict(demand_distribution=1, demand_std=1.5), dict(demand_distribution=0)),  # s^2 <= mean: Poisson
    (dict(intermittent_pattern=2, seasonal_peak_prob=0.3), dict(intermittent_pattern=0)),
    (dict(intermittent_pattern=2, seasonal_period=-1, seasonal_peak_prob=0.0),  # r = 0: the peak every period
     dict(intermittent_pattern=0, demand_probability=0.0)),
])
def test_demand_flags(changes, want):
    if isinstance(want, dict):
        assert_bits_equal(gen("intermittent_demand", 400, 5, **changes), gen("intermittent_demand", 400, 5, **want))
    else:
        assert demand_flags(8, **changes).tolist() == want


def test_sensor_reading_is_the_signal_plus_measurement_noise():
    t = np.arange(50_000.0)
    signal = ((0.01 * t + 20.0) + np.sin((t * 6.283185307179586) / 24.0) * 2.0) + 0.5
    noise = gen("iot_sensor", 50_000, 3, drift_rate=0.0, drift_noise=0.0, battery_degradation=False) - signal
    assert abs(noise.mean()) < 4 * 0.3 / math.sqrt(noise.size)
    assert abs(noise.std() / 0.3 - 1) < 0.02


@pytest.mark.parametrize("changes,check", [
    (dict(failure_mode=1, failure_probability=1.0), lambda a: np.isnan(a).all()),
    (dict(failure_mode=2, failure_probability=1.0, failure_duration=3), lambda a: np.isnan(a).all()),
    # Stuck at the reading of the failing sample, for d samples, then a new failure.
    (dict(failure_mode=3, failure_probability=1.0, failure_duration=4),
     lambda a: (a.reshape(-1, 4) == a[::4, None]).all() and len(set(a)) == 100),
    (dict(failure_mode=3, failure_probability=1.0, failure_duration=1, stuck_value=7.0), lambda a: (a == 7.0).all()),
    # Aged by 10 per sample: the factor 1 - e / 10 is 0 from one sample past battery_life.
    (dict(battery_life=150.0, battery_degradation_rate=10.0), lambda a: (a[151:] == 0).all() and (a[:151] > 10).all()),
])
def test_sensor_failures(changes, check):
    assert check(gen("iot_sensor", 400, 3, **changes))


def test_users_events_lift_their_own_sample_by_a_uniform_impact():
    # Decay 1, no growth, no noise: a flagged sample is base * m with m uniform
    # on [1.2, 2.5), every other sample is base.
    values, flags = gen("daily_active_users", 100_000, 13, growth_rate=0.0, weekly_pattern=False,
                        event_probability=0.2, event_decay_rate=1.0, noise_std=0.0)
    assert flags.dtype == np.int32 and flags.shape == values.shape and set(flags) == {0, 1}
    m = values[flags == 1] / 1000.0
    assert abs(m.size / 100_000 - 0.2) < 0.005 and (values[flags == 0] == 1000.0).all()
    assert abs(m.mean() - 1.85) < 0.01 and m.min() >= 1.2 and m.max() < 2.5


@pytest.mark.parametrize("step,weekend", [(24.0, [5, 6, 12, 13]), (1.0, list(range(120, 168)))])
def test_users_weekend_days(step, weekend):
    values, _ = gen("daily_active_users", 168, 13, growth_rate=0.0, event_probability=0.0, noise_std=0.0,
                    step_hours=step)
    assert np.flatnonzero(values != 1000.0)[:len(weekend)].tolist() == weekend
    assert set(values) == {1000.0, 700.0}


def test_energy_load_identities():
    # The extreme-weather uniform is drawn whatever the probability, so an
    # impact of 1 leaves every value, noise included, as without extreme weather.
    calm = gen("energy_load", 3000, 5, holiday_days=[1], extreme_weather_prob=0.0)
    assert_bits_equal(gen("energy_load", 3000, 5, holiday_days=[1], extreme_weather_prob=0.7,
                          extreme_weather_impact=1.0), calm)
    assert calm.min() >= 0.0 and (gen("energy_load", 3000, 5, base_load=-150.0) == 0.0).mean() > 0.3
    # Far peak hours: the squared distance does not wrap, so the peaks vanish.
    off = gen("energy_load", 100, 5, holiday_days=[], weekly_pattern=False, yearly_pattern=False,
              temperature_sensitive=False, noise_std=0.0, extreme_weather_prob=0.0, morning_peak_hour=50_000,
              evening_peak_hour=-2**31)
    assert (off == 100.0).all()


def test_vital_signs_identities():
    # Type 5 draws its own event series where type 0 draws the general one, and
    # adds nothing from it: without events and HRV the two give the same values.
    quiet = dict(event_probability=0.0, include_hrv=False)
    assert_bits_equal(gen("vital_signs", 3000, 7, vital_sign_type=5, include_events=False, **quiet),
                      gen("vital_signs", 3000, 7, vital_sign_type=0, include_events=True, **quiet))
    tight = gen("vital_signs", 3000, 7, event_probability=0.5, min_val=68.0, max_val=72.0)
    assert tight.min() == 68.0 and tight.max() == 72.0


def test_clickstream_identities():
    # Amplitude 0 makes every seasonal factor exactly 1.
    assert_bits_equal(gen("clickstream", 3000, 9, seasonality_amp=0.0),
                      gen("clickstream", 3000, 9, include_seasonality=False))
    # Every draw is made whatever the output: pages over sessions of the same
    # run is the mean depth of the negative binomial pages, k + NB(k, 1/M).
    quiet = dict(bounce_rate=0.0, include_bots=False, avg_session_depth=2.5, depth_mult=1.5)
    ratio = gen("clickstream", 3000, 9, output_type=1, **quiet).sum() / gen("clickstream", 3000, 9, **quiet).sum()
    assert abs(ratio - 3.75) < 0.03
    rate = gen("clickstream", 3000, 9, output_type=3, base_sessions=3.0)
    assert rate.min() >= 0.0 and rate.max() <= 1.0 and (rate == 0.0).any()
    # All bots: each saturated bot count joins its sessions in 64 bits.
    total = gen("clickstream", 300, 9, bot_fraction=1.0)
    assert (total > 0).any() and (total[total > 0] > 2**31 - 1).all()


# ---------------------------------------------------------------------------
# Argument checks and faults: (generator, changes to its base (the seed among
# them), length, outcome, text). The outcome is the exception class of a
# Python-road check; PANIC, a fault on both roads (the batch road alone for
# an empty series, which the Python road refuses); BATCH, a fault on the batch
# road, which skips the Python checks; None, accepted on both roads.

PANIC, BATCH = "panic", "batch"
LEN = "length must be > 0"
GAMMA = "invalid gamma params: shape and scale must be > 0 and finite: "
POISSON = "invalid poisson param: lambda must be finite: "
EXPONENTIAL = "invalid exponential param: lambda must be > 0 and finite: LambdaTooSmall"
JUMPS = "jump_diffusion: more than 4294967296 jumps expected (lambda_jump * dt * (length - 1))"
BERNOULLI = "invalid bernoulli param: p must be in [0, 1]: InvalidProbability"
NORMAL_FILL = "invalid normal innovation param: scale must be finite and >= 0: BadVariance"
MG_TAU = "chaotic_system: mg_tau must be >= 0 for the Mackey-Glass map"
MATRIX_INIT = "Matrix init. error: the slice did not contain the right number of elements."
MATRIX_ADD = "Matrix addition/subtraction dimensions mismatch."
NO_CONVERGENCE = "covariance_factor: the eigendecomposition of a matrix that is not positive definite did not converge"
NEGATIVE_BINOMIAL = "invalid negative binomial params: r > 0 and p in (0, 1): ScaleTooSmall"
SB = dict(full_ar_poly=E, full_ma_poly=E, d=0, seasonal_d=0, seasonal_period=0, burn_in=0)
TWO = dict(regime_means=(0.0, 5.0), regime_variances=(1.0, 1.0), regime_ar_coeffs=(0.5, 0.5),
           transition_matrix=(0.9, 0.1, 0.1, 0.9), stationary_probs=(0.5, 0.5))
EMPTY_SS = dict(f_mat=(), h_mat=(), q_mat=(), r_mat=(), initial_state=(), initial_state_cov=(), innov_dist=0)
GP_FAULT = dict(kernel_id=4, length_scale=1.0, amplitude=1.0, period=0.0, mean=0.0, noise_variance=0.0)

FAULTS = [
    # The Python road checks the length first (after converting every argument), before the core's checks.
    ("random_walk", dict(innov_dist=1, innov_param=1.0), 0, ValueError, LEN),
    ("random_walk", dict(seed=-1), 0, OverflowError, None),
    ("seasonal", dict(seasonality_period=0, innov_param="x"), 0, TypeError, None),
    ("seasonal", dict(seasonality_period=0), 0, ValueError, LEN),
    ("seasonal", dict(seasonality_period=-2**31, noise_level=INF), 10, ValueError, "seasonality_period must be > 0"),
    ("sarima", dict(noise_std=NAN), 0, ValueError, LEN),
    ("ets", dict(seasonal_period=0), -1, ValueError, LEN),
    ("ets", dict(seasonal_period=0, seasonal_type=0), 10, ValueError, "seasonal_period must be > 0"),
    ("inar", dict(p=0), 0, ValueError, LEN),
    ("inar", dict(p=-2**31), 10, ValueError, "p must be > 0"),
    ("jump_diffusion", dict(innov_dist=1, innov_param=1.0), 0, ValueError, LEN),
    ("cyclic", dict(num_cycles=-1), 0, ValueError, LEN),
    ("garch", dict(p=-1), 0, ValueError, LEN),
    ("hawkes_process", dict(max_events=-1), 0, ValueError, LEN),
    ("bounded_process", dict(lower=1.0, upper=0.0), 0, ValueError, LEN),
    ("bounded_process", dict(lower=1.0, upper=1.0), 10, ValueError, "lower must be < upper"),
    ("regime_switching", dict(n_regimes=0), 0, ValueError, LEN),
    ("regime_switching", dict(n_regimes=0), 10, ValueError, "n_regimes must be > 0"),
    ("regime_switching", dict(n_regimes=4), 10, ValueError,
     "stationary_probs must have n_regimes entries when initial_regime < 0"),
    ("state_space", dict(state_dim=0), 0, ValueError, LEN),
    ("state_space", dict(state_dim=0, obs_dim=0), 10, ValueError, "state_dim must be > 0"),
    ("state_space", dict(obs_dim=-1), 10, ValueError, "obs_dim must be > 0"),
    ("var_process", dict(n_variables=0), -1, ValueError, LEN),
    ("var_process", dict(n_variables=0, order=0), 10, ValueError, "n_variables must be > 0"),
    ("var_process", dict(order=0), 10, ValueError, "order must be > 0"),
    ("copula", dict(n_variables=0), 0, ValueError, LEN),
    ("copula", dict(n_variables=0), 10, ValueError, "n_variables must be > 0"),
    ("energy_load", dict(step_hours=0.0), 0, ValueError, LEN),
    ("energy_load", dict(step_hours=0.0), 5, ValueError, "step_hours must be > 0"),
    ("energy_load", dict(step_hours=-INF), 5, ValueError, "step_hours must be > 0"),
    ("vital_signs", dict(baseline_std=NAN), 0, ValueError, LEN),
    ("clickstream", dict(depth_mult=NAN), -1, ValueError, LEN),
    ("daily_active_users", dict(step_hours=0.0), 0, ValueError, LEN),
    ("daily_active_users", dict(step_hours=0.0), 10, ValueError, "step_hours must be > 0"),
    ("daily_active_users", dict(step_hours=-INF), 10, ValueError, "step_hours must be > 0"),
    # sarima's buffer is sized in 64 bits: negative or past 2^31 - 1 before anything is allocated
    ("sarima", SB | dict(burn_in=-6, noise_std=NAN), 5, PANIC, "sarima: buffer length -1 is negative"),
    ("sarima", SB | dict(burn_in=IMAX), 10, PANIC, "sarima: buffer length 2147483657 exceeds 2147483647"),
    ("sarima", SB | dict(seasonal_d=IMAX, seasonal_period=IMAX), 1, PANIC,
     "sarima: buffer length 4611686014132420610 exceeds 2147483647"),
    ("sarima", SB | dict(burn_in=0, noise_std=INF), 0, PANIC, NORMAL_FILL),  # the law is checked for N = 0 too
    ("sarima", SB | dict(burn_in=-3, noise_std=INF), 10, PANIC, NORMAL_FILL),  # before the offset
    ("sarima", SB | dict(burn_in=-3), 10, PANIC, "sarima: offset -3 of the output is negative"),
    # a few dozen values that keep growing for every one of 2^31 passes: over the cap, after about 3 s
    ("sarima", SB | dict(d=IMAX - 100, burn_in=100 - IMAX), 100, PANIC,
     "sarima: more than 17179869184 integration sums (d or seasonal_d too large)"),
    ("ets", dict(trend_type=0, seasonal_type=1, seasonal_period=-1, seasonal_init=E), 0, PANIC,
     "ets: negative seasonal_period -1"),
    ("ets", dict(trend_type=0, seasonal_type=1, seasonal_period=0, seasonal_init=E), 3, BATCH,
     "ets: seasonal_period is 0"),
    ("ets", dict(seasonal_type=3, seasonal_period=4, seasonal_init=(1.0, 2.0)), 0, PANIC,
     "ets: seasonal_init (length 2) is shorter than seasonal_period 4"),
    ("inar", dict(alpha_arr=(0.5,)), 300, PANIC, "inar: no coefficient for lag 2 in alpha_arr (length 1)"),
    ("inar", dict(innov_type=1, innov_dispersion=0.0), 300, PANIC, GAMMA + "ShapeTooSmall"),
    ("inar", dict(innov_type=-1, innov_dispersion=1.0, innov_mean=0.0, p=IMAX), 300, PANIC,
     GAMMA + "ScaleTooSmall"),  # before any step, even when none runs
    ("inar", dict(innov_mean=INF), 300, PANIC, POISSON + "NonFinite"),
    ("ornstein_uhlenbeck", dict(innov_dist=1, innov_param=1.0), 0, None, None),  # laws: at the first draw
    ("geometric_brownian_motion", dict(innov_dist=1, innov_param=1.0), 1, None, None),
    ("jump_diffusion", dict(jump_std=INF), 500, PANIC, NORMAL),  # the jump law, at the first jump
    ("jump_diffusion", dict(lambda_jump=NAN), 500, PANIC, POISSON + "NonFinite"),
    ("jump_diffusion", dict(lambda_jump=NAN, jump_std=NAN), 0, None, None),
    ("jump_diffusion", dict(lambda_jump=1e12, dt=0.01), 500, PANIC, JUMPS),
    # the sampler's refusals come before the cap on expected jumps
    *[("jump_diffusion", dict(lambda_jump=rate, dt=1.0), 10, PANIC, text) for rate, text in (
        (INF, POISSON + "NonFinite"), (1e20, POISSON + "ShapeTooLarge"), (1.844e19, JUMPS))],
    ("jump_diffusion", dict(lambda_jump=3e11, dt=0.01), 2, PANIC,
     "jump_diffusion: jump count per step beyond the 32-bit range (lambda_jump * dt too large)"),
    # a step that draws a jump checks its law before either cap
    *[("jump_diffusion", dict(lambda_jump=rate, dt=dt, jump_std=std), n, PANIC, NORMAL) for rate, dt, std, n in (
        (1e12, 1.0, INF, 10), (1e12, 0.01, NAN, 500), (3e11, 0.01, INF, 2), (1.844e19, 1.0, -INF, 10))],
    ("poisson_process", dict(lambda_rate=INF), 500, PANIC, POISSON + "NonFinite"),
    ("poisson_process", dict(lambda_rate=NAN), 0, None, None),
    ("poisson_process", dict(lambda_rate=1e20), 500, PANIC, POISSON + "ShapeTooLarge"),
    # set-up faults come before the length is looked at, so an empty series has them too
    ("cyclic", dict(num_cycles=-1, cycle_period_std=NAN), 500, PANIC, "cyclic: num_cycles must be >= 0"),
    ("cyclic", dict(num_cycles=-1), 0, PANIC, "cyclic: num_cycles must be >= 0"),
    ("cyclic", dict(cycle_period_std=NAN), 0, PANIC, NORMAL),
    ("cyclic", dict(cycle_amplitude_std=-INF), 500, PANIC, NORMAL),
    ("cyclic", dict(num_cycles=0, cycle_period_std=INF, noise_std=0.0), 500, None, None),
    ("cyclic", dict(noise_std=INF), 0, None, None),
    ("cyclic", dict(num_cycles=IMAX), 3, PANIC, "cyclic: num_cycles * length above 4294967296 cycle terms"),
    ("cyclic", dict(innov_dist=3, noise_std=0.0), 500, PANIC, UNIFORM + "EmptyRange"),
    ("garch", dict(p=-1), 500, PANIC, "garch: p and q must be >= 0"),
    ("garch", dict(p=-1), 0, PANIC, "garch: p and q must be >= 0"),  # the 100 burn-in steps still run
    ("garch", dict(p=2, q=-5), 500, PANIC, "garch: p and q must be >= 0"),
    ("garch", dict(q=2), 500, PANIC, "garch: alpha_arr has 1 values, q = 2"),
    ("garch", dict(beta_arr=()), 500, PANIC, "garch: beta_arr has 0 values, p = 1"),
    # no step runs, so nothing is checked
    ("garch", dict(p=-1, q=-2, alpha_arr=(), beta_arr=(), innov_dist=1, innov_param=1.0), 500, None, None),
    ("garch", dict(p=IMAX, alpha_arr=(), beta_arr=(), innov_dist=1, innov_param=1.0), 3, None, None),
    ("hawkes_process", dict(max_events=-1, baseline_intensity=NAN), 300, PANIC,
     "hawkes_process: max_events must be >= 0"),
    ("hawkes_process", dict(max_events=-1), 0, PANIC, "hawkes_process: max_events must be >= 0"),
    ("hawkes_process", dict(baseline_intensity=-1.0), 0, PANIC, EXPONENTIAL),  # the first candidate's bound
    ("hawkes_process", dict(max_events=0, baseline_intensity=NAN), 0, None, None),
    *[("hawkes_process", dict(baseline_intensity=mu, kernel_type=k), 300, PANIC, EXPONENTIAL)
      for mu, k in ((NAN, 0), (-1e-9, 1), (INF, 1))],
    *[("hawkes_process", dict(excitation_amplitude=a, decay_rate=b), 300, None, None)
      for a, b in ((NAN, 1.0), (1.0, NAN), (-5.0, 0.0))],
    # 1500 early events read by each of 3e6 intensity samples: refused before the pass.
    ("hawkes_process", dict(baseline_intensity=100.0, kernel_type=1, output_type=1, max_events=1500), 3_000_000,
     PANIC, "hawkes_process: more than 4294967296 kernel terms (power-law kernel with too many events)"),
    ("levy_process", dict(alpha=NAN, beta_skew=INF), 500, None, None),  # nothing is validated
    ("chaotic_system", dict(system_id=2, mg_tau=-1), 300, PANIC, MG_TAU),
    ("chaotic_system", dict(system_id=2, mg_tau=-2**31), 1, PANIC, MG_TAU),
    ("chaotic_system", dict(observation_noise=INF), 300, PANIC, NORMAL),
    ("bounded_process", dict(kappa=0.0), 300, PANIC, GAMMA + "ShapeTooSmall"),
    ("bounded_process", dict(kappa=NAN), 300, PANIC, GAMMA + "ShapeTooSmall"),
    ("stochastic_volatility", {}, 0, PANIC, "stochastic_volatility: empty series"),
    ("regime_switching", TWO | dict(n_regimes=2, initial_regime=0), 0, PANIC, "regime_switching: empty series"),
    ("regime_switching", TWO | dict(n_regimes=0, initial_regime=-1), 5, BATCH,
     "regime_switching: regime -1 is outside regime_means (length 2)"),
    ("regime_switching", TWO | dict(n_regimes=2, initial_regime=2), 5, PANIC,
     "regime_switching: regime 2 is outside regime_means (length 2)"),
    ("regime_switching", TWO | dict(n_regimes=2, initial_regime=1, regime_ar_coeffs=(0.5,),
                                    transition_matrix=(0.0, 0.0, 0.0, 1.0), stationary_probs=()), 5, PANIC,
     "regime_switching: regime 1 is outside regime_ar_coeffs (length 1)"),
    # the row offset r*K is formed in 64 bits
    ("regime_switching", TWO | dict(n_regimes=IMAX, initial_regime=1), 5, PANIC,
     "regime_switching: transition row 1 runs past transition_matrix (length 4)"),
    # matrix sizes, in the order the matrices are built
    ("state_space", dict(f_mat=(1, 2, 3), h_mat=(1,)), 300, PANIC, MATRIX_INIT),
    ("state_space", dict(initial_state_cov=np.eye(3).ravel()), 300, PANIC, MATRIX_INIT),
    ("state_space", dict(initial_state=(0, 0, 0)), 300, PANIC, MATRIX_ADD),
    ("var_process", dict(coef_matrices=(1, 2, 3), innovation_cov=(1,)), 300, PANIC,
     "var_process: coef_matrices holds 3 values, fewer than order * n_variables^2"),
    ("var_process", dict(innovation_cov=(1, 0, 1)), 300, PANIC, MATRIX_INIT),
    ("var_process", dict(intercept=(0, 0, 0)), 300, PANIC, MATRIX_ADD),
    ("copula", dict(correlation_matrix=np.eye(2).ravel()), 300, PANIC, MATRIX_INIT),
    # the batch road has no positivity checks; products that overflow are size mismatches
    ("state_space", EMPTY_SS | dict(state_dim=1, obs_dim=0, f_mat=(1,), q_mat=(1,), initial_state=(0,),
                                    initial_state_cov=(1,)), 10, BATCH, "Matrix index out of bounds."),
    ("state_space", EMPTY_SS | dict(state_dim=2**32, obs_dim=2**32), 10, BATCH, MATRIX_INIT),
    ("state_space", dict(innov_param=2.0), 0, None, None),  # without a length nothing is drawn
    ("fbm", dict(method=1), 0, PANIC, "fbm: the Hosking method needs at least one value"),
    ("copula", dict(df=0.0), 300, PANIC, GAMMA + "ShapeTooSmall"),
    ("copula", dict(df=5e-324), 300, PANIC, GAMMA + "ShapeTooSmall"),
    # non-finite covariances that the eigensolver cannot factor fault before it runs (at 1000 values it
    # would iterate for about 15 s first)
    ("copula", dict(correlation_matrix=(1, 0, 0, NAN, 1, 0, NAN, 0, 1)), 300, PANIC, NO_CONVERGENCE),
    ("state_space", dict(initial_state_cov=(NAN, 0, 0, 1)), 300, PANIC, NO_CONVERGENCE),
    ("var_process", dict(innovation_cov=(1, INF, INF, 1)), 300, PANIC, NO_CONVERGENCE),
    ("fbm", dict(hurst=NAN), 20, PANIC, NO_CONVERGENCE),
    ("fbm", dict(sigma=NAN), 1000, PANIC, NO_CONVERGENCE),
    ("gaussian_process", GP_FAULT, 20, PANIC, NO_CONVERGENCE),
    *[("gaussian_process", GP_FAULT | dict(period=12.0) | c, 1000, PANIC, NO_CONVERGENCE)
      for c in (dict(length_scale=0.0), dict(amplitude=1e300))],
    # dense n x n methods
    ("fbm", {}, 10**6, MemoryError, None),
    ("gaussian_process", GP_FAULT | dict(period=5.0), 10**6, MemoryError, None),
    ("intermittent_demand", dict(demand_probability=1.5), 400, PANIC, BERNOULLI),
    ("intermittent_demand", dict(intermittent_pattern=2, seasonal_peak_prob=NAN), 400, PANIC, BERNOULLI),
    ("intermittent_demand", dict(intermittent_pattern=2, seasonal_period=0), 400, PANIC,
     "intermittent_demand: seasonal_period must not be 0 for the seasonal pattern"),
    ("intermittent_demand", dict(intermittent_pattern=1, demand_probability=0.0), 400, PANIC,
     "invalid geometric param: p must be in (0, 1]: InvalidProbability"),
    ("intermittent_demand", dict(demand_distribution=1, demand_mean=0.0), 400, PANIC, GAMMA + "ShapeTooSmall"),
    ("intermittent_demand", dict(demand_distribution=1, demand_mean=-1.0, demand_std=1.0), 400, PANIC,
     GAMMA + "ScaleTooSmall"),
    ("intermittent_demand", dict(demand_distribution=3, demand_std=0.0), 400, PANIC, GAMMA + "ScaleTooSmall"),
    ("intermittent_demand", dict(demand_distribution=2, demand_mean=0.0), 400, PANIC,
     "invalid lognormal params: std must be finite and >= 0: BadVariance"),
    ("intermittent_demand", dict(demand_mean=NAN), 400, PANIC, POISSON + "NonFinite"),
    ("energy_load", dict(noise_std=INF), 5, PANIC, NORMAL),
    ("energy_load", dict(noise_std=NAN, step_hours=-1.0), 5, BATCH, NORMAL),
    ("vital_signs", dict(baseline_std=-INF), 5, PANIC, NORMAL),
    ("vital_signs", {}, 0, PANIC, "vital_signs: empty series (no value at index 0)"),
    *[("vital_signs", dict(min_val=lo, max_val=2.0), 5, PANIC,
       "vital_signs: min_val must be <= max_val and neither may be NaN") for lo in (3.0, NAN)],
    ("clickstream", {}, 0, PANIC, "clickstream: empty series (no value at index 0)"),
    *[("clickstream", dict(depth_mult=m), 5, PANIC, NEGATIVE_BINOMIAL) for m in (1 / 3, NAN)],
    ("clickstream", dict(depth_mult=INF), 5, PANIC, "negative binomial: gamma sample produced invalid lambda: NonFinite"),
    ("clickstream", dict(bounce_mult=NAN), 5, PANIC,
     "invalid binomial params: n >= 0 and p in [0, 1]: ProbabilityTooSmall"),
    ("clickstream", dict(base_sessions=INF), 5, PANIC, POISSON + "NonFinite"),
    ("iot_sensor", dict(measurement_noise=NAN), 400, PANIC, NORMAL),
    ("iot_sensor", dict(drift_noise=-INF), 2, PANIC, NORMAL),
    ("iot_sensor", dict(battery_life=0.0, battery_degradation_rate=INF), 400, PANIC, NORMAL),
    ("daily_active_users", dict(event_probability=1.0, event_impact_min=2.0, event_impact_max=2.0), 300, PANIC,
     "invalid uniform params: requires a < b and finite: EmptyRange"),
    ("daily_active_users", dict(event_probability=1.0, event_impact_min=-INF), 300, PANIC,
     "invalid uniform params: requires a < b and finite: NonFinite"),
    ("daily_active_users", dict(noise_std=INF), 300, PANIC, NORMAL),
]


@pytest.mark.parametrize("name,changes,n,kind,text", FAULTS, ids=ids(FAULTS))
def test_faults(name, changes, n, kind, text):
    args = {"length": n, "seed": 1, **params(name, changes)}
    roads = [] if kind == BATCH or (kind in (PANIC, None) and n == 0) else [lambda: find_function(name)(**args)]
    if kind in (PANIC, BATCH, None) and GENERATORS[name].code is not None:
        roads.append(lambda: batch_road(name, changes, [n], [1])[0])
    assert roads
    for road in roads:
        if kind is None:
            assert road().shape == (n,)
        elif kind in (PANIC, BATCH):
            assert_panics(road, text=text)
        else:
            exc = raised(road)
            assert type(exc) is kind and (text is None or str(exc) == text), repr(exc)


@pytest.mark.parametrize("name", GENERATORS)
def test_every_python_road_refuses_an_empty_series(name):
    for n in (0, -2**31):
        exc = raised(python_road, name, {}, n, 1)
        assert type(exc) is ValueError and str(exc) == LEN, repr(exc)


# ---------------------------------------------------------------------------
# The dispatcher: counts read back from its messages

COUNT = re.compile(r"(\w+): expected >= (\d+) (scalar|array) params, got (\d+)")
# The batch-only codes have no Python signature to count from: code -> (name, scalars, arrays).
BATCH_ONLY = {28: ("tsi", 23, 3), 29: ("tcm", 13, 2), 30: ("mar", 12, 0)}


def batch_error(code, n_scalars, n_arrays=0):
    """The message of the ValueError a batch of one empty series raises, or None once the
    counts pass (the core runs, or faults on the empty series)."""
    try:
        _lib.batch.generate_batch(code, np.zeros(n_scalars), [np.zeros(1)] * n_arrays, np.zeros(1, np.int32),
                                  np.ones(1, np.uint64), np.ones(3, np.uint64), {})
    except ValueError as exc:
        return str(exc)
    except BaseException as exc:  # the core's fault on the empty series
        assert type(exc).__name__ == "PanicException", repr(exc)
    return None


def array_params(fn):
    """The parameters of `fn` that take an array. Every parameter starts as an
    array; the one a conversion failure names gets an int instead, then a bool.
    A length of 0 ends the call once everything has converted."""
    names = list(inspect.signature(fn).parameters)
    tries = {name: [True, 1, np.zeros(1, np.int32)] for name in names}
    args = dict.fromkeys(names, np.zeros(1)) | {"length": 0}
    while True:
        try:
            fn(**args)
            break
        except (TypeError, OverflowError) as exc:
            name = exc.__notes__[0].split("'")[1]
            assert tries[name], f"{fn.__name__}: nothing tried converts for {name}"
            args[name] = tries[name].pop()
        except ValueError:
            break
    return [name for name in names if isinstance(args[name], np.ndarray)]


@pytest.mark.parametrize("code", [-2**31, -1, *range(40), 2**31 - 1])
def test_dispatch_counts_match_the_functions(code):
    text = batch_error(code, 0)  # no parameters: the code is looked at first
    if text == f"unknown generator type: {code}":
        assert code not in BATCH_ONLY and all(g.code != code for g in GENERATORS.values())
        return
    name, scalars, kind, given = COUNT.fullmatch(text).groups()
    scalars = int(scalars)
    assert (kind, given) == ("scalar", "0")
    assert code in BATCH_ONLY or GENERATORS[name].code == code
    assert batch_error(code, scalars - 1) == f"{name}: expected >= {scalars} scalar params, got {scalars - 1}"
    # Arrays are counted only once the scalars are enough.
    text = batch_error(code, scalars)
    found = COUNT.fullmatch(text or "")
    arrays = int(found.group(2)) if found else 0
    if arrays:
        assert text == f"{name}: expected >= {arrays} array params, got 0"
        assert batch_error(code, scalars, arrays - 1) == f"{name}: expected >= {arrays} array params, got {arrays - 1}"
        assert not COUNT.fullmatch(batch_error(code, scalars, arrays) or "")
    if code in BATCH_ONLY:
        assert (name, scalars, arrays) == BATCH_ONLY[code]
    else:
        # The batch slots are the Python parameters but length, seed and the arrays,
        # some of which may be optional on the batch road.
        fn = find_function(name)
        taken = array_params(fn)
        assert len(inspect.signature(fn).parameters) - 2 - len(taken) == scalars
        assert arrays <= len(taken)
