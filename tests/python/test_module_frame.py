"""Layout of the native module: submodules, registration order and function metadata.

SIGNATURES is the public surface: each submodule's functions in registration
order, with their parameters as the text signature shows them.
"""

import inspect
import sys
import types

import pytest

from quillmarten import _lib

SIGNATURES = {
    "augmentation": [
        "dtw_alignment(a, b, band=None)", "dtw_distance(a, b, band=None)",
        "nearest_dtw_neighbors(series, window_fraction, n_neighbors)",
        "dba_barycenter(reference, neighbors, weights, n_iterations, band=None)",
        "dba_barycenters(reference, neighbors, weights, n_iterations, band=None)",
        "mar_features_batch(scalars, arrays, lengths, seeds, period=None, n_workers=0)",
        "classical_decompose(values, period=None)", "compute_features(values, period=None)",
        "compute_feature_set(values, period=None, window_size=None)",
        "compute_feature_set_batch(values, offsets, period=None, window_size=None, n_workers=0)",
        "moving_block_bootstrap(values, block_size, seed, period=None)",
        "moving_block_bootstrap_many(values, block_size, seeds, period=None)",
    ],
    "pattern_injection": [
        "add_changepoints(values, seed, num_changepoints, locations, changepoint_type, level_changes, trend_changes, "
        "variance_changes)",
        "add_missingness(values, seed, pattern, missing_rate, missing_block_size, missing_seasonal_period)",
        "add_anomalies(values, seed, anomaly_types, anomaly_fraction, spike_magnitude, dip_magnitude, "
        "level_shift_magnitude, level_shift_duration)",
    ],
    "distributions": [
        "norm_cdf(x)", "norm_ppf(p)", "t_cdf(x, df)", "gamma_ppf(u, a, scale)", "expon_ppf(u, scale)",
        "lognorm_ppf(u, s, scale)", "uniform_ppf(u, loc, scale)",
    ],
    "statistical": [
        "random_walk(length, drift, volatility, start_value, seed, innov_dist, innov_param)",
        "seasonal(length, seasonality_period, seasonality_amplitude, trend, noise_level, base_level, seed, "
        "innov_dist=0, innov_param=0.0)",
        "sarima(length, full_ar_poly, full_ma_poly, d, seasonal_d, seasonal_period, mean, drift_val, noise_std, "
        "burn_in, seed, innov_dist, innov_param)",
        "ets(length, error_type, trend_type, seasonal_type, seasonal_period, level, trend_init, seasonal_init, alpha, "
        "beta_param, gamma, phi, damped, noise_std, seed, innov_dist, innov_param)",
        "inar(length, p, alpha_arr, innov_type, innov_mean, innov_dispersion, seed)",
    ],
    "stochastic": [
        "ornstein_uhlenbeck(length, theta, mu, sigma, initial_value, dt, seed, innov_dist, innov_param)",
        "geometric_brownian_motion(length, mu, sigma, initial_value, dt, seed, innov_dist, innov_param)",
        "jump_diffusion(length, mu, sigma, lambda_jump, jump_mean, jump_std, initial_value, dt, seed, innov_dist, "
        "innov_param)",
        "poisson_process(length, lambda_rate, cumulative, seed)",
        "cyclic(length, base_level, trend, cycle_period_mean, cycle_period_std, cycle_amplitude_mean, "
        "cycle_amplitude_std, num_cycles, noise_std, seed, innov_dist, innov_param)",
        "garch(length, p, q, omega, alpha_arr, beta_arr, mu, initial_variance, seed, innov_dist, innov_param)",
        "hawkes_process(length, baseline_intensity, excitation_amplitude, decay_rate, kernel_type, power_law_exponent, "
        "output_type, max_events, seed)",
        "chaotic_system(length, system_id, sigma, rho, beta, dt, logistic_r, mg_beta, mg_gamma, mg_n, mg_tau, "
        "observation_noise, initial_perturbation, seed)",
        "bounded_process(length, model_id, phi, omega, kappa, sigma_param, initial_value, lower, upper, seed)",
        "levy_process(length, alpha, beta_skew, scale, location, cumulative, initial_value, seed)",
    ],
    "volatility": [
        "stochastic_volatility(length, model_type, initial_price, initial_vol, drift, mean_vol, vol_mean_reversion, "
        "vol_of_vol, correlation, beta_param, dt, output_type, seed, innov_dist, innov_param)",
        "regime_switching(length, n_regimes, regime_means, regime_variances, regime_ar_coeffs, transition_matrix, "
        "stationary_probs, initial_regime, seed, innov_dist, innov_param)",
    ],
    "multivariate": [
        "copula(length, n_variables, copula_type, df, correlation_matrix, marginal_distribution, marginal_param1, "
        "marginal_param2, seed)",
        "var_process(length, n_variables, order, coef_matrices, intercept, innovation_cov, seed, innov_dist, "
        "innov_param)",
        "state_space(length, state_dim, obs_dim, f_mat, h_mat, q_mat, r_mat, initial_state, initial_state_cov, seed, "
        "innov_dist, innov_param)",
        "fbm(length, hurst, sigma, initial_value, cumulative, method, seed)",
        "gaussian_process(length, kernel_id, length_scale, amplitude, period, mean, noise_variance, seed)",
    ],
    "domain": [
        "intermittent_demand(length, demand_probability, demand_distribution, demand_mean, demand_std, "
        "intermittent_pattern, cluster_size, seasonal_period, seasonal_peak_prob, min_demand, seed)",
        "daily_active_users(length, base_users, growth_rate, weekend_factor, weekly_pattern, event_probability, "
        "event_impact_min, event_impact_max, event_decay_rate, noise_std, step_hours, seed)",
        "energy_load(length, base_load, load_type, daily_pattern, daily_amplitude, weekly_pattern, weekly_amplitude, "
        "yearly_pattern, yearly_amplitude, temperature_sensitive, temperature_sensitivity, base_temperature, "
        "morning_peak_hour, evening_peak_hour, peak_amplitude, holiday_effect, holiday_days, extreme_weather_prob, "
        "extreme_weather_impact, noise_std, step_hours, seed)",
        "vital_signs(length, baseline_mean, baseline_std, min_val, max_val, include_circadian, circadian_magnitude, "
        "include_hrv, include_events, event_probability, vital_sign_type, seed)",
        "iot_sensor(length, base_value, trend, amplitude, period, measurement_noise, drift_rate, drift_noise, "
        "battery_degradation, battery_life, battery_degradation_rate, calibration_offset, failure_mode, "
        "failure_probability, failure_duration, stuck_value, spatial_correlation, seed)",
        "clickstream(length, base_sessions, conversion_mult, bounce_mult, depth_mult, seasonality_amp, "
        "conversion_rate, bounce_rate, avg_session_depth, include_seasonality, include_bots, bot_fraction, "
        "output_type, seed)",
    ],
    "batch": [
        "generate_batch(gen_type, scalar_params, array_params, lengths, gen_seeds, pi_seeds, pi_config_dict, "
        "n_workers=0)",
        "generate_multi_batch(specs, n_workers=0)",
    ],
}
API = {sub: [entry.partition("(")[0] for entry in entries] for sub, entries in SIGNATURES.items()}
FUNCTIONS = [(sub, *entry[:-1].split("(", 1)) for sub, entries in SIGNATURES.items() for entry in entries]


def test_top_level_module():
    assert len(FUNCTIONS) == 52
    assert _lib.__name__ == "quillmarten._lib" and _lib.__all__ == ["__doc__", *API]
    assert _lib.__doc__.startswith("Quillmarten") and "\n" not in _lib.__doc__.strip()


@pytest.mark.parametrize("short", API)
def test_submodule(short):
    sub = getattr(_lib, short)
    assert isinstance(sub, types.ModuleType) and sub.__name__ == short
    assert sys.modules[f"quillmarten._lib.{short}"] is sub
    assert type(sub.__all__) is list and sub.__all__ == API[short]
    # Nothing callable escapes __all__.
    assert [n for n, v in vars(sub).items() if isinstance(v, types.BuiltinFunctionType) and n not in API[short]] == []


@pytest.mark.parametrize("short,name,params", FUNCTIONS, ids=[name for _, name, _ in FUNCTIONS])
def test_function_metadata(short, name, params):
    fn = getattr(getattr(_lib, short), name)
    assert isinstance(fn, types.BuiltinFunctionType)
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__self__) == (name, name, short, None)
    # Names, order and defaults; the text parses back to itself, so every
    # parameter can be given by position or by keyword.
    assert fn.__text_signature__ == str(inspect.signature(fn)) == f"({params})"
