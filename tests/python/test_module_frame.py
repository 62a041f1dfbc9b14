"""Layout of the native module: submodules, registration order and function metadata.

API is the public surface: each submodule's functions in registration order.
"""

import inspect
import sys
import types

import pytest

from quillmarten import _lib

API = {sub: names.split() for sub, names in {
    "augmentation": "dtw_alignment dtw_distance nearest_dtw_neighbors dba_barycenter dba_barycenters "
                    "mar_features_batch classical_decompose compute_features compute_feature_set "
                    "compute_feature_set_batch moving_block_bootstrap moving_block_bootstrap_many",
    "pattern_injection": "add_changepoints add_missingness add_anomalies",
    "distributions": "norm_cdf norm_ppf t_cdf gamma_ppf expon_ppf lognorm_ppf uniform_ppf",
    "statistical": "random_walk seasonal sarima ets inar",
    "stochastic": "ornstein_uhlenbeck geometric_brownian_motion jump_diffusion poisson_process cyclic garch "
                  "hawkes_process chaotic_system bounded_process levy_process",
    "volatility": "stochastic_volatility regime_switching",
    "multivariate": "copula var_process state_space fbm gaussian_process",
    "domain": "intermittent_demand daily_active_users energy_load vital_signs iot_sensor clickstream",
    "batch": "generate_batch generate_multi_batch",
}.items()}
FUNCTIONS = [(sub, name) for sub, names in API.items() for name in names]


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


@pytest.mark.parametrize("short,name", FUNCTIONS, ids=[name for _, name in FUNCTIONS])
def test_function_metadata(short, name):
    fn = getattr(getattr(_lib, short), name)
    assert isinstance(fn, types.BuiltinFunctionType)
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__self__) == (name, name, short, None)
    # The text signature parses back to itself, every parameter positional-or-keyword.
    signature = inspect.signature(fn)
    assert fn.__text_signature__ == str(signature)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
