"""The generators with a Python function (random_walk, seasonal) and the batch
dispatcher in front of every generator.

A generator's tests follow one pattern (test_mar.py does the same for the
batch-only mar):
- an entry in GENERATORS (batch code, the Python parameters that fill the
  scalar and array slots, in slot order, and its scale parameter), rows in GOLDEN: digests of seeded output for a few
  parameter sets, a non-default innovation law among them, verified once
  against an independent computation when first written. Each row is also
  run on the batch road, which must give the same bits;
- one property test that holds whatever the seed (a moment or an identity);
- its argument checks in FAULTS; LAW_FAULTS and SLOTS run on it through its
  entry;
- no Python rebuild of the generator loop: the reference module covers only
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

from conftest import assert_bits_equal, assert_panics, digest, find_function, raised
from quillmarten import _lib
from reference import RefEngine
from test_module_frame import API

NAN, INF = math.nan, math.inf
Gen = namedtuple("Gen", "code scalars arrays scale")

GENERATORS = {
    "random_walk": Gen(0, "drift volatility start_value innov_dist innov_param", "", "volatility"),
    "seasonal": Gen(1, "seasonality_period seasonality_amplitude trend noise_level base_level innov_dist innov_param",
                    "", "noise_level"),
}

# (generator, parameters in slot order, scalars then arrays (a short tuple leaves
# the rest to their defaults), seed, digest of the 400 values)
GOLDEN = [
    ("random_walk", (0.1, 1.0, 5.0, 0, 0.0), 7, "9bfee1587ac4ca46"),
    ("random_walk", (-0.2, 0.5, 0.0, 1, 4.0), 2**64 - 1, "01aa20d3ce15291e"),
    ("random_walk", (0.3, 1.5, -1.0, 3, 0.0), 0, "2244793affe326c7"),
    ("random_walk", (-0.0, 0.0, -0.0, 4, 2.0), 31, "8d2a71ad0dbda00e"),  # all zero: the signs of the zeros
    ("seasonal", (12, 3.0, 0.01, 0.5, 10.0), 7, "a5fba69a9372bdf5"),
    ("seasonal", (7, 1.0, -0.1, 1.0, 0.0, 2, 0.0), 3, "e4e1b6d5eb26a5d9"),
    ("seasonal", (1, 2.0, 0.0, 0.2, 1.0, 4, -0.7), 0, "2817e2c34ea1234b"),
    ("seasonal", (2**31 - 1, 3.25, -0.013, 0.0, 2.5, 1, 5.0), 21, "0f675f564e18f42b"),
]
GOLDEN = [(name, dict(zip(f"{GENERATORS[name].scalars} {GENERATORS[name].arrays}".split(), values)), *rest)
          for name, values, *rest in GOLDEN]
GOLDEN_IDS = [f"{row[0]}-{i}" for i, row in enumerate(GOLDEN)]


def base(name):
    return next(params for gen, params, _, _ in GOLDEN if gen == name)


def python_road(name, params, n, seed):
    return find_function(name)(length=n, seed=seed, **params)


def batch_road(name, params, lengths, seeds):
    """The same series from generate_batch; a parameter left out takes the Python default."""
    gen = GENERATORS[name]
    params = {k: p.default for k, p in inspect.signature(find_function(name)).parameters.items()} | params
    rows = _lib.batch.generate_batch(gen.code, np.array([params[k] for k in gen.scalars.split()], float),
                                     [np.asarray(params[k], float) for k in gen.arrays.split()],
                                     np.array(lengths, np.int32), np.array(seeds, np.uint64),
                                     np.zeros(3 * len(lengths), np.uint64), {})
    for row in rows:
        assert list(row) == ["values", "cp_indices", "anom_indices", "miss_indices"]
        assert all(row[k].dtype == np.int64 and row[k].shape == (0,) for k in list(row)[1:])
    return [row["values"] for row in rows]


@pytest.mark.parametrize("name,params,seed,want", GOLDEN, ids=GOLDEN_IDS)
def test_golden_digests(name, params, seed, want):
    assert digest(python_road(name, params, 400, seed)) == want


@pytest.mark.parametrize("name,params,seed,want", GOLDEN, ids=GOLDEN_IDS)
def test_batch_road_is_the_python_road(name, params, seed, want):
    lengths, seeds = [1, 400, 313], [seed, 2**64 - 1, 0]
    for got, n, s in zip(batch_road(name, params, lengths, seeds), lengths, seeds):
        assert_bits_equal(got, python_road(name, params, n, s))


# Batch slots that take integers: toward zero, saturating at the 32-bit range, NaN to 0.
# (generator, parameter, slot value, the integer it reads as)
SLOTS = [
    ("random_walk", "innov_dist", 3.999999, 3), ("random_walk", "innov_dist", NAN, 0),
    ("seasonal", "seasonality_period", INF, 2**31 - 1), ("seasonal", "seasonality_period", -INF, -2**31),
    ("seasonal", "seasonality_period", -2.9, -2),
    ("seasonal", "seasonality_period", 0.3, 0),  # a period the Python road refuses: every value NaN
]


@pytest.mark.parametrize("name,param,slot,value", SLOTS)
def test_integer_slots(name, param, slot, value):
    params = {**base(name), "innov_param": 5.0}
    assert_bits_equal(batch_road(name, {**params, param: slot}, [300], [3])[0],
                      batch_road(name, {**params, param: value}, [300], [3])[0])


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


# ---------------------------------------------------------------------------
# One property each

@pytest.mark.parametrize("code,param", [(0, 0.0), (1, 6.0), (2, 0.0), (3, 0.0), (4, 4.0), (4, -1.0)])
def test_random_walk_steps_have_mean_zero_and_the_given_variance(code, param):
    n, drift, sigma = 40_000, 0.2, 1.5
    steps = np.diff(_lib.statistical.random_walk(n, drift, sigma, 0.0, 2024, code, param), prepend=0.0) - drift
    assert abs(steps.mean()) < 5.0 * sigma / math.sqrt(n)
    assert abs(steps.var() / sigma**2 - 1.0) < 0.06
    # Only the normal law's steps pass for normal ones.
    assert (stats.kstest(steps, stats.norm(scale=sigma).cdf).pvalue < 1e-3) == (code != 0)


@pytest.mark.parametrize("period", [1, 7, 24])
def test_seasonal_is_its_curve_plus_noise(period):
    t = np.arange(5000.0)
    curve = (2.5 * np.sin(2 * np.pi / period * t) + 1.0) + 0.125 * t
    np.testing.assert_allclose(_lib.statistical.seasonal(5000, period, 2.5, 0.125, 0.0, 1.0, 4), curve, rtol=1e-12)
    noise = _lib.statistical.seasonal(5000, period, 2.5, 0.125, 0.7, 1.0, 4) - curve
    assert abs(noise.mean()) < 0.05 and abs(noise.std() - 0.7) < 0.03


# ---------------------------------------------------------------------------
# Faults

# (generator, changed parameters, exception type, text)
FAULTS = [
    ("random_walk", {"length": -2**31}, ValueError, "length must be > 0"),
    ("random_walk", {"length": 0, "innov_dist": 1, "innov_param": 1.0}, ValueError, "length must be > 0"),
    ("seasonal", {"length": 0, "seasonality_period": 0}, ValueError, "length must be > 0"),
    ("seasonal", {"seasonality_period": -2**31, "noise_level": INF}, ValueError, "seasonality_period must be > 0"),
    # every argument is converted before the checks
    ("random_walk", {"length": 0, "seed": -1}, OverflowError, None),
    ("seasonal", {"length": 0, "seasonality_period": 0, "innov_param": "x"}, TypeError, None),
]


@pytest.mark.parametrize("name,changes,kind,text", FAULTS)
def test_argument_checks(name, changes, kind, text):
    exc = raised(find_function(name), **{"length": 10, "seed": 1, **base(name), **changes})
    assert type(exc) is kind and (text is None or str(exc) == text), repr(exc)


STUDENT = "Student's t df must be > 2 for finite variance"
UNIFORM = "invalid uniform innovation param: scale must be > 0: "

# (innovation code, scale, parameter, fault text; None: accepted)
LAW_FAULTS = [
    (1, 1.0, 2.0, STUDENT),
    (2, -0.0, 0.0, "invalid laplace param: scale must be > 0: LambdaTooSmall"),
    (3, NAN, 0.0, UNIFORM + "EmptyRange"), (3, 1e308, 0.0, UNIFORM + "NonFinite"),  # a is finite, 2a is not
    (-3, -INF, 0.0, "invalid normal params: std must be finite and >= 0: BadVariance"),
    (1, 1.0, 2.0000000001, None), (2, 0.0, 0.0, None), (4, INF, NAN, None),
]


@pytest.mark.parametrize("name", GENERATORS)
@pytest.mark.parametrize("code,scale,param,text", LAW_FAULTS)
def test_law_faults(name, code, scale, param, text, capfd):
    params = {**base(name), GENERATORS[name].scale: scale, "innov_dist": code, "innov_param": param}
    for road in (lambda: python_road(name, params, 10, 1), lambda: batch_road(name, params, [10], [1])[0]):
        if text is None:
            assert road().shape == (10,)
        else:
            assert_panics(road, text=text)
            assert text in capfd.readouterr().err
    # A law is refused at its first draw, and an empty series makes none.
    assert batch_road(name, params, [0], [1])[0].shape == (0,)


# ---------------------------------------------------------------------------
# The dispatcher: counts read back from its messages

COUNT = re.compile(r"(\w+): expected >= (\d+) (scalar|array) params, got (\d+)")
BATCH_ONLY = {"mar", "tsi", "tcm"}


def batch_error(code, n_scalars, n_arrays=0):
    """The message of the ValueError a batch of one empty series raises, or None when it runs."""
    try:
        _lib.batch.generate_batch(code, np.zeros(n_scalars), [np.zeros(1)] * n_arrays, np.zeros(1, np.int32),
                                  np.ones(1, np.uint64), np.ones(3, np.uint64), {})
    except ValueError as exc:
        return str(exc)
    return None


def array_params(fn):
    """The parameters of `fn` that take an array. Every parameter starts as an
    array; the one a conversion failure names gets an int instead, then a bool.
    A length of 0 ends the call once everything has converted."""
    names = list(inspect.signature(fn).parameters)
    tries = {name: [True, 1] for name in names}
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
        return  # no generator, or its core is not built yet
    name, scalars, kind, given = COUNT.fullmatch(text).groups()
    scalars = int(scalars)
    assert (kind, given) == ("scalar", "0")
    assert name in BATCH_ONLY or any(name in names for names in API.values())
    assert batch_error(code, scalars - 1) == f"{name}: expected >= {scalars} scalar params, got {scalars - 1}"
    # Arrays are counted only once the scalars are enough.
    text = batch_error(code, scalars)
    found = COUNT.fullmatch(text or "")
    arrays = int(found.group(2)) if found else 0
    if arrays:
        assert text == f"{name}: expected >= {arrays} array params, got 0"
        assert batch_error(code, scalars, arrays - 1) == f"{name}: expected >= {arrays} array params, got {arrays - 1}"
        assert not COUNT.fullmatch(batch_error(code, scalars, arrays) or "")
    fn = find_function(name)
    if fn is not None:
        # The batch slots are the Python parameters but length, seed and the arrays,
        # some of which may be optional on the batch road.
        taken = array_params(fn)
        assert len(inspect.signature(fn).parameters) - 2 - len(taken) == scalars
        assert arrays <= len(taken)
