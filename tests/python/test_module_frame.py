"""Layout of the native module: submodules, registration order and function metadata.

Functions are registered submodule by submodule as their code lands, so the
checks below hold for whatever subset is registered: every registered
function must sit in its submodule at its place in the full table.
"""

import inspect
import sys
import types

import pytest

from quillmarten import _lib

SUBMODULES = ["augmentation", "pattern_injection", "distributions", "statistical", "stochastic", "volatility",
              "multivariate", "domain", "batch"]

# submodule -> ["function(parameter list as its text signature shows it)"], in registration order; a
# function not built yet has its bare name until it is registered.
TABLE = {
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
        "ornstein_uhlenbeck", "geometric_brownian_motion", "jump_diffusion", "poisson_process", "cyclic", "garch",
        "hawkes_process", "chaotic_system", "bounded_process", "levy_process",
    ],
    "volatility": [
        "stochastic_volatility(length, model_type, initial_price, initial_vol, drift, mean_vol, vol_mean_reversion, "
        "vol_of_vol, correlation, beta_param, dt, output_type, seed, innov_dist, innov_param)",
        "regime_switching(length, n_regimes, regime_means, regime_variances, regime_ar_coeffs, transition_matrix, "
        "stationary_probs, initial_regime, seed, innov_dist, innov_param)",
    ],
    "multivariate": ["copula", "var_process", "state_space", "fbm", "gaussian_process"],
    "domain": ["intermittent_demand", "daily_active_users", "energy_load", "vital_signs", "iot_sensor", "clickstream"],
    "batch": [
        "generate_batch(gen_type, scalar_params, array_params, lengths, gen_seeds, pi_seeds, pi_config_dict, "
        "n_workers=0)",
        "generate_multi_batch(specs, n_workers=0)",
    ],
}

ALL_FUNCTIONS = [(sub, entry.split("(")[0], entry[:-1].partition("(")[2] or None)
                 for sub, entries in TABLE.items() for entry in entries]


def test_top_level_module():
    assert len(ALL_FUNCTIONS) == 52 and list(TABLE) == SUBMODULES
    assert _lib.__name__ == "quillmarten._lib" and _lib.__all__ == ["__doc__", *SUBMODULES]
    assert _lib.__doc__.startswith("Quillmarten") and "\n" not in _lib.__doc__.strip()


@pytest.mark.parametrize("short", SUBMODULES)
def test_submodule(short):
    sub = getattr(_lib, short)
    assert isinstance(sub, types.ModuleType) and sub.__name__ == short
    assert sys.modules[f"quillmarten._lib.{short}"] is sub
    registered = getattr(sub, "__all__", [])
    assert type(registered) is list and all(callable(getattr(sub, name)) for name in registered)
    names = [entry.split("(")[0] for entry in TABLE[short]]
    assert registered == sorted(registered, key=names.index), f"{registered} out of order or unknown in {short}"
    # Nothing callable escapes __all__.
    stray = [n for n, v in vars(sub).items() if isinstance(v, types.BuiltinFunctionType) and n not in registered]
    assert stray == []


@pytest.mark.parametrize("short,name,params", ALL_FUNCTIONS, ids=[n for _, n, _ in ALL_FUNCTIONS])
def test_function_metadata(short, name, params):
    fn = getattr(getattr(_lib, short), name, None)
    if fn is None:
        pytest.skip(f"{name} is not registered yet")
    assert params is not None, f"{name} is registered: its signature belongs in TABLE"
    assert isinstance(fn, types.BuiltinFunctionType)
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__self__) == (name, name, short, None)
    assert fn.__text_signature__ == f"({params})"
    # It parses back to the same list: every parameter positional-or-keyword, defaults as shown.
    assert str(inspect.signature(fn)) == f"({params})"
