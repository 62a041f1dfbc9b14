"""The generator dispatch of the batch road, seen through generate_batch.

A batch series with an empty pattern-injection config must be the
single-series function's result, value for value; the dispatcher rejects
codes and parameter counts with fixed messages, in a fixed order, and
converts every scalar slot without ever failing on its value.
"""

import math

import numpy as np
import pytest

from conftest import assert_bits_equal, assert_panics
from quillmarten import _lib

B = _lib.batch
random_walk, seasonal = _lib.statistical.random_walk, _lib.statistical.seasonal


def batch(gen_type, scalars, lengths, seeds, arrays=()):
    return B.generate_batch(gen_type, np.asarray(scalars, dtype=np.float64),
                            [np.asarray(a, dtype=np.float64) for a in arrays], np.asarray(lengths, dtype=np.int32),
                            np.asarray(seeds, dtype=np.uint64), np.zeros(3 * len(lengths), dtype=np.uint64), {})


def values(gen_type, scalars, length, seed):
    return batch(gen_type, scalars, [length], [seed])[0]["values"]


@pytest.mark.parametrize("gen_type,params", [
    (0, (0.1, 1.0, 5.0, 0, 0.0)),  # drift, volatility, start_value, innov_dist, innov_param
    (0, (-0.2, 0.5, 0.0, 1, 4.0, math.nan, -1e300)),  # extra scalars are ignored
    (0, (0.3, 1.5, -1.0, 3, 0.0)),
    (0, (0.0, 1.0, 0.0, 12, 0.0)),
    (1, (12, 3.0, 0.01, 0.5, 10.0, 0, 0.0)),  # period, amplitude, trend, noise, base, innov_dist, innov_param
    (1, (7, 1.0, -0.1, 1.0, 0.0, 1, 3.0)),
    (1, (1, 2.0, 0.0, 0.2, 1.0, 2, 0.0)),
    (1, (24, 1.0, 0.0, 1.0, 0.0, 4, 5.0)),
])
def test_codes_0_and_1_are_the_single_series_functions(gen_type, params):
    lengths, seeds = [1, 500, 313, 40], [7, 2**64 - 1, 0, 7]
    rows = batch(gen_type, params, lengths, seeds, arrays=[[1.0]] if len(params) > 5 else ())
    assert len(rows) == 4
    for row, n, seed in zip(rows, lengths, seeds):
        assert list(row) == ["values", "cp_indices", "anom_indices", "miss_indices"]
        if gen_type == 0:
            want = random_walk(n, *params[:3], seed, *params[3:5])
        else:
            want = seasonal(n, *params[:5], seed, *params[5:])
        assert_bits_equal(row["values"], want)
        for key in ("cp_indices", "anom_indices", "miss_indices"):
            assert row[key].dtype == np.int64 and row[key].shape == (0,)


@pytest.mark.parametrize("gen_type,scalars", [
    (0, [0.0, 1.0, 0.0, 1, 1.0]),           # Student-t with df 1
    (1, [12, 1.0, 0.0, 0.0, 0.0, 3, 0.0]),  # uniform with zero scale
    (1, [0, 1.0, 0.0, 1.0, 0.0, 0, 0.0]),   # period 0 is not checked on this road
])
def test_empty_series_draws_nothing(gen_type, scalars):
    # Laws are refused at their first draw, and an empty series makes none.
    (row,) = batch(gen_type, scalars, [0], [1])
    assert row["values"].shape == (0,) and row["values"].dtype == np.float64


@pytest.mark.parametrize("gen_type,scalars,text", [
    (1, [12, 1.0, 0.0, math.nan, 0.0, 0, 0.0], "invalid normal params: std must be finite and >= 0: BadVariance"),
])
def test_core_faults_reach_python(gen_type, scalars, text, capfd):
    assert_panics(batch, gen_type, scalars, [10, 10], [1, 2], text=text)
    assert text in capfd.readouterr().err


# ---------------------------------------------------------------------------
# Messages, in order: unknown code, then scalar count, then array count

@pytest.mark.parametrize("gen_type", [17, 18, 23, 26, 31, 99, -1, 2**31 - 1, -2**31])
def test_unknown_generator_type(gen_type):
    with pytest.raises(ValueError) as info:
        batch(gen_type, [], [5], [1])  # no parameters at all: the code is looked at first
    assert str(info.value) == f"unknown generator type: {gen_type}"


CODES = [  # code, name, scalar params needed, array params needed
    (0, "random_walk", 5, 0), (1, "seasonal", 7, 0), (2, "sarima", 9, 2), (3, "ets", 14, 1), (4, "inar", 4, 1),
    (5, "ornstein_uhlenbeck", 7, 0), (6, "geometric_brownian_motion", 6, 0), (7, "jump_diffusion", 9, 0),
    (8, "poisson_process", 2, 0), (9, "cyclic", 10, 0), (10, "garch", 7, 2), (11, "hawkes_process", 7, 0),
    (12, "chaotic_system", 12, 0), (13, "bounded_process", 8, 0), (14, "levy_process", 6, 0),
    (15, "stochastic_volatility", 13, 0), (16, "regime_switching", 4, 5), (19, "state_space", 4, 6),
    (20, "fbm", 5, 0), (21, "gaussian_process", 6, 0), (22, "intermittent_demand", 9, 0),
    (24, "energy_load", 19, 0), (25, "vital_signs", 10, 0), (27, "clickstream", 12, 0), (28, "tsi", 23, 3),
    (29, "tcm", 13, 2), (30, "mar", 12, 0),
]
COUNTS = [(code, name, s - 1, 0, f"{name}: expected >= {s} scalar params, got {s - 1}") for code, name, s, _ in CODES]
COUNTS += [(code, name, s, a - 1, f"{name}: expected >= {a} array params, got {a - 1}")
           for code, name, s, a in CODES if a]


@pytest.mark.parametrize("gen_type,name,n_scalars,n_arrays,text", COUNTS,
                         ids=[f"{c[1]}-{c[4].split()[4]}" for c in COUNTS])
def test_parameter_counts(gen_type, name, n_scalars, n_arrays, text):
    with pytest.raises(ValueError) as info:
        batch(gen_type, [1.0] * n_scalars, [4], [1], arrays=[[1.0]] * n_arrays)
    if str(info.value) == f"unknown generator type: {gen_type}":
        pytest.skip(f"no core behind {name} yet")
    assert str(info.value) == text


# ---------------------------------------------------------------------------
# Slot conversions: toward zero, saturating at the 32-bit range, NaN to 0

@pytest.mark.parametrize("slot,code", [(2.9, 2), (1.5, 1), (3.999999, 3), (4.5, 4), (-0.5, 0), (math.nan, 0)])
def test_innov_dist_slot(slot, code):
    got = values(0, [0.1, 1.0, 0.0, slot, 5.0], 400, 3)
    assert_bits_equal(got, random_walk(400, 0.1, 1.0, 0.0, 3, code, 5.0))
    got = values(1, [12, 1.0, 0.0, 1.0, 0.0, slot, 5.0], 400, 3)
    assert_bits_equal(got, seasonal(400, 12, 1.0, 0.0, 1.0, 0.0, 3, code, 5.0))


@pytest.mark.parametrize("slot,period", [
    (2.9, 2), (-2.9, -2), (0.3, 0), (math.nan, 0), (math.inf, 2**31 - 1), (-math.inf, -2**31),
    (1e300, 2**31 - 1), (2.0**31, 2**31 - 1), (-2.0**31 - 1, -2**31),
])
def test_period_slot(slot, period):
    # Without noise a series is its curve, so periods the Python road refuses can be
    # checked too: 0 makes every value NaN, a negative period runs the sine backwards.
    got = values(1, [slot, 2.5, 0.125, 0.0, 1.0, 0, 0.0], 200, 1)
    w = 6.283185307179586 / period if period else math.nan
    want = np.array([(2.5 * math.sin(w * t) + 1.0) + 0.125 * t for t in map(float, range(200))])
    assert_bits_equal(got, want)
    if period > 0:
        assert_bits_equal(values(1, [slot, 2.5, 0.125, 0.7, 1.0, 2, 0.0], 200, 4),
                          seasonal(200, period, 2.5, 0.125, 0.7, 1.0, 4, 2, 0.0))
