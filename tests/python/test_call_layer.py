"""The shared road from Python into the engine: binding, conversion, arrays, results, faults."""

import json
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import assert_error, find_function, raised
from quillmarten import _lib

D = _lib.distributions
A = np.linspace(0.1, 0.9, 5)
BAD = object()  # converts to nothing
E = np.empty(0)
decompose = _lib.augmentation.classical_decompose


# ---------------------------------------------------------------------------
# Binding

BINDING = [
    ("classical_decompose", (A, 2, 3), {},
     "classical_decompose() takes from 1 to 2 positional arguments but 3 were given"),
    ("classical_decompose", (A, 4), {"period": 4}, "classical_decompose() got multiple values for argument 'period'"),
    ("norm_cdf", (), {}, "norm_cdf() missing 1 required positional argument: 'x'"),
    ("t_cdf", (), {}, "t_cdf() missing 2 required positional arguments: 'x' and 'df'"),
    ("gamma_ppf", (), {}, "gamma_ppf() missing 3 required positional arguments: 'u', 'a', and 'scale'"),
    ("gamma_ppf", (), {"a": 1.0}, "gamma_ppf() missing 2 required positional arguments: 'u' and 'scale'"),
    # Too many positionals first, then keywords in the order given, then missing ones.
    ("norm_cdf", (A, A), {"c": 1}, "norm_cdf() takes 1 positional arguments but 2 were given"),
    ("t_cdf", (A, 1.0), {"z": 1, "x": A}, "t_cdf() got an unexpected keyword argument 'z'"),
    ("t_cdf", (A, 1.0), {"x": A, "z": 1}, "t_cdf() got multiple values for argument 'x'"),
    # Binding comes before any conversion.
    ("t_cdf", ("not an array",), {}, "t_cdf() missing 1 required positional argument: 'df'"),
]


@pytest.mark.parametrize("name,args,kwargs,message", BINDING)
def test_binding_errors(name, args, kwargs, message):
    assert_error(raised(find_function(name), *args, **kwargs), TypeError, message)


def test_keywords_bind_by_name():
    np.testing.assert_array_equal(D.gamma_ppf(A, scale=3.0, a=2.5), D.gamma_ppf(A, 2.5, 3.0))


# ---------------------------------------------------------------------------
# Conversion: the first failure in signature order wins and carries a note
# naming its parameter. An accepted value shows as the note of a bad argument
# after it.

HasFloat = type("HasFloat", (), {"__float__": lambda self: 3.0})
HasIndex = type("HasIndex", (), {"__index__": lambda self: 3})
SubArray = type("SubArray", (np.ndarray,), {})


def refused(given, what=""):
    return f"'{given}' object is not an instance of '{what}"


WALK_BAD = (BAD,) * 6
OUT_OF_RANGE = "out of range integral type conversion attempted"

# (function, arguments, exception type, parameter in the note (None: no note), text or its prefix up to a quote)
CONVERSIONS = [
    # arrays: 1-D native-endian float64 ndarrays and their subclasses only
    ("norm_cdf", ([0.5, 0.7],), TypeError, "x", refused("list")),
    ("norm_cdf", (np.float64(0.5),), TypeError, "x", refused("float64")),
    ("norm_cdf", (np.zeros((2, 2)),), TypeError, "x", refused("ndarray")),
    ("norm_cdf", (np.zeros(3, np.float32),), TypeError, "x", refused("ndarray")),
    ("norm_cdf", (np.arange(3.0).astype(">f8"),), TypeError, "x", refused("ndarray")),
    ("gamma_ppf", (A.view(SubArray), BAD, BAD), TypeError, "a", None),
    # signature order decides, not the order keywords were given in
    ("t_cdf", ((0.5,), BAD), TypeError, "x", refused("tuple")),
    ("gamma_ppf", {"scale": "s", "a": "a", "u": A}, TypeError, "a", None),
    # conversion of every argument comes before the contiguity rule
    ("t_cdf", (np.arange(8.0)[::2], "x"), TypeError, "df", None),
    ("classical_decompose", (np.arange(8.0)[::2], -1), OverflowError, "period", None),
    # float64
    ("t_cdf", (A, "3"), TypeError, "df", None),
    ("gamma_ppf", (A, np.float32(2.5), BAD), TypeError, "scale", None),
    ("gamma_ppf", (A, HasFloat(), BAD), TypeError, "scale", None),
    ("gamma_ppf", (A, HasIndex(), BAD), TypeError, "scale", None),
    ("gamma_ppf", (A, True, BAD), TypeError, "scale", None),
    # optional unsigned 64-bit; True is the int 1 and fails the function's own check
    ("classical_decompose", (A, 2**64), OverflowError, "period", None),
    ("classical_decompose", (A, 4.0), TypeError, "period", None),
    ("classical_decompose", (np.arange(10.0), True), ValueError, None, "period must be >= 2 when provided"),
    ("compute_feature_set", (A, np.uint64(4), BAD), TypeError, "window_size", None),
    ("compute_feature_set", (A, HasIndex(), BAD), TypeError, "window_size", None),
    # 32-bit signed, unsigned 64-bit
    ("random_walk", (1.5, *WALK_BAD), TypeError, "length", None),
    ("random_walk", (2**31, *WALK_BAD), OverflowError, "length", OUT_OF_RANGE),
    ("random_walk", (-2**31 - 1, *WALK_BAD), OverflowError, "length", OUT_OF_RANGE),
    ("random_walk", (-2**31, *WALK_BAD), TypeError, "drift", None),
    ("random_walk", (np.int32(7), *WALK_BAD), TypeError, "drift", None),
    ("random_walk", (10, 0.0, 1.0, 0.0, -1, BAD, BAD), OverflowError, "seed", None),
    ("random_walk", (10, 0.0, 1.0, 0.0, 1.0, BAD, BAD), TypeError, "seed", None),
    ("random_walk", (10, 0.0, 1.0, 0.0, 2**64 - 1, BAD, BAD), TypeError, "innov_dist", None),
    ("random_walk", (10, 0.0, 1.0, 0.0, HasIndex(), BAD, BAD), TypeError, "innov_dist", None),
    # flag
    ("poisson_process", (10, 1.0, 1, BAD), TypeError, "cumulative", refused("int")),
    ("poisson_process", (10, 1.0, np.True_, BAD), TypeError, "seed", None),
    # sequence (any but str)
    ("add_anomalies", (A, 0, 5, *(BAD,) * 5), TypeError, "anomaly_types", refused("int", "Sequence'")),
    ("add_anomalies", (A, 0, "spike", *(BAD,) * 5), TypeError, "anomaly_types", "Can't extract `str` to `Vec`"),
    ("add_anomalies", (A, 0, ("spike",), *(BAD,) * 5), TypeError, "anomaly_fraction", None),
]


@pytest.mark.parametrize("name,args,exc_type,param,text", CONVERSIONS)
def test_conversion(name, args, exc_type, param, text):
    fn = find_function(name)
    exc = raised(fn, **args) if isinstance(args, dict) else raised(fn, *args)
    assert_error(exc, exc_type, note=param)
    if text is not None:
        assert str(exc) == text or (text.endswith("'") and str(exc).startswith(text)), str(exc)


# ---------------------------------------------------------------------------
# Array arguments: contiguity and alignment, then borrows (only the
# pattern_injection functions write into a caller's array)

def misaligned(n):
    return np.zeros(n * 8 + 1, np.uint8)[1:].view(np.float64)


def changepoints(values, locations):
    return _lib.pattern_injection.add_changepoints(values, 0, 1, locations, "level", E, E, E)


def read_only(x):
    x.flags.writeable = False
    return x


NOT_CONTIGUOUS = (TypeError, "The given array is not contiguous or is misaligned.")
SHORT = (ValueError, "values must contain at least 3 observations")
BORROWED = (TypeError, "The given array is already borrowed")
X8 = np.linspace(0.0, 1.0, 8)

ARRAY_RULES = {
    "strided": (lambda: D.norm_cdf(np.arange(10.0)[::2]), NOT_CONTIGUOUS),
    "reversed": (lambda: D.t_cdf(np.arange(10.0)[::-1], 4.0), NOT_CONTIGUOUS),
    "misaligned": (lambda: D.norm_cdf(misaligned(5)), NOT_CONTIGUOUS),
    "before-own-checks": (lambda: decompose(np.array([1.0, np.nan, 2.0, np.nan])[::2]), NOT_CONTIGUOUS),
    # empty views pass the rule and reach the function's own length check
    "empty-strided": (lambda: decompose(np.arange(10.0)[::2][:0]), SHORT),
    "empty-misaligned": (lambda: decompose(misaligned(0)), SHORT),
    "write-and-read-same": (lambda: changepoints(X8, X8), BORROWED),
    "write-and-read-overlap": (lambda: changepoints(X8[:6], X8[4:]), BORROWED),
    "write-read-only": (lambda: changepoints(read_only(X8.copy()), E), (TypeError, "The given array is not writeable")),
}


@pytest.mark.parametrize("call,expected", ARRAY_RULES.values(), ids=ARRAY_RULES.keys())
def test_array_rules(call, expected):
    before = X8.copy()
    assert_error(raised(call), *expected)
    np.testing.assert_array_equal(X8, before)


# Strides that reach past any address space (NumPy's as_strided takes any
# value) get the strided array's refusal, whatever kind of argument they are.
# (make: stride-taking function of a base array -> the call)
HUGE_STRIDE_ARGUMENTS = {
    "distributions": lambda h: D.norm_cdf(h(np.zeros(4))),
    "batch-array-param": lambda h: _lib.batch.generate_batch(
        0, np.zeros(5), [h(np.zeros(4))], np.full(2, 8, np.int32), np.arange(2, dtype=np.uint64),
        np.arange(6, dtype=np.uint64), {}),
    "batch-lengths": lambda h: _lib.batch.generate_batch(
        0, np.zeros(5), [], h(np.zeros(4, np.int32)), np.arange(2, dtype=np.uint64),
        np.arange(6, dtype=np.uint64), {}),
    "written-values": lambda h: _lib.pattern_injection.add_missingness(h(np.zeros(4)), 0, "random", 0.5, 1, 1),
    "read-setting": lambda h: changepoints(X8.copy(), h(np.zeros(4))),
    # borrowed for reading before `values` is borrowed for writing
    "setting-over-values": lambda h: (lambda x: changepoints(x, h(x)))(X8.copy()),
    "augmentation": lambda h: _lib.augmentation.dtw_distance(A, h(np.zeros(4))),
    "augmentation-offsets": lambda h: _lib.augmentation.compute_feature_set_batch(
        np.zeros(30), h(np.zeros(4, np.int64)), None, 4, 0),
}


@pytest.mark.parametrize("stride,n", [(2**62, 3), (-2**62, 3), (2**60, 9), (-2**60, 9)])
@pytest.mark.parametrize("call", HUGE_STRIDE_ARGUMENTS.values(), ids=HUGE_STRIDE_ARGUMENTS.keys())
def test_strides_past_the_address_space_are_refused(call, stride, n):
    huge = lambda base: np.lib.stride_tricks.as_strided(base, shape=(n,), strides=(stride,))  # noqa: E731
    assert_error(raised(call, huge), *NOT_CONTIGUOUS)


def test_borrows_end_with_the_call():
    x = X8.copy()
    raised(changepoints, x, x)
    assert changepoints(x, np.array([0.5]))[0] is x


def test_distributions_read_a_copy_taken_before_the_loop():
    # The input is copied under the lock, so a concurrent write into the
    # caller's array while the loop runs cannot change (or tear) the result.
    x = np.linspace(0.01, 0.99, 2_000_000)
    expected, result = D.t_cdf(x.copy(), 3.5), []
    worker = threading.Thread(target=lambda: result.append(D.t_cdf(x, 3.5)))
    worker.start()
    time.sleep(0.15)
    _lib.pattern_injection.add_missingness(x, 0, "random", 0.5, 1, 1)
    worker.join()
    assert np.isnan(x).any()
    np.testing.assert_array_equal(result[0], expected)


# ---------------------------------------------------------------------------
# Results

@pytest.mark.parametrize("n", [0, 1, 7])
def test_results_are_fresh_owned_arrays(n):
    # A read-only slice that does not start at its buffer: read where it
    # starts, never written.
    x = read_only(np.linspace(0.05, 0.95, n + 4)[2:2 + n])
    before = x.copy()
    results = [D.norm_cdf(x), D.norm_ppf(x), D.t_cdf(x, 3.0), D.gamma_ppf(x, 2.0, 1.0), D.expon_ppf(x, 1.0),
               D.lognorm_ppf(x, 0.5, 1.0), D.uniform_ppf(x, 0.0, 1.0)]
    if n >= 3:
        parts = decompose(x)
        assert type(parts) is tuple and len(parts) == 3
        results.extend(parts)
    np.testing.assert_array_equal(x, before)
    np.testing.assert_array_equal(results[6], x)
    for i, r in enumerate(results):
        assert type(r) is np.ndarray and r.shape == (n,) and r.dtype == np.float64
        assert type(r.base).__name__ == "PySliceContainer"
        assert r.flags.c_contiguous and r.flags.aligned and r.flags.writeable
        assert not any(np.shares_memory(r, other) for other in [x, *results[i + 1:]])
    # The container keeps the buffer alive for views that outlive the result.
    r = results.pop(6)
    view, container = r[1:], r.base
    del r
    view += 1.0
    np.testing.assert_array_equal(view, before[1:] + 1.0)
    assert view.base.base is container


# ---------------------------------------------------------------------------
# Interpreter lock

X = np.random.default_rng(0).normal(size=6000)
Y = np.random.default_rng(1).normal(size=1_000_000)
U = np.linspace(0.001, 0.999, 500_000)
AUG, PI, B = _lib.augmentation, _lib.pattern_injection, _lib.batch
MAR = [2.0, 2.0, 0.0, 1.0, 0.5, 0.5, 1.5, 10.0, 0.0, 0.0, 0.0, 0.0]


def walks(n, k):
    return {"gen_type": 0, "scalar_params": np.array([0.0, 1.0, 0.0, 0.0, 0.0]), "array_params": [],
            "lengths": np.full(k, n, np.int32), "gen_seeds": np.arange(k, dtype=np.uint64),
            "pi_seeds": np.arange(3 * k, dtype=np.uint64),
            "pi_config": {"missing_data": True, "missing_rate": 0.2, "anomalies": True}}


# One long call per place a binding lets go of the lock.
LONG_CALLS = {
    "gamma_ppf": lambda: _lib.distributions.gamma_ppf(U, 2.5, 1.0),
    "random_walk": lambda: _lib.statistical.random_walk(3_000_000, 0.0, 1.0, 0.0, 1, 0, 0.0),
    "daily_active_users": lambda: _lib.domain.daily_active_users(1_000_000, 1e4, 0.001, 0.7, True, 0.01, 0.5,
                                                                  2.0, 0.1, 0.05, 1.0, 1),
    "generate_batch": lambda: B.generate_batch(*walks(100_000, 8).values(), 1),
    "generate_multi_batch": lambda: B.generate_multi_batch([walks(100_000, 4)] * 2, 1),
    "dtw_distance": lambda: AUG.dtw_distance(X, X[::-1].copy()),
    "dtw_alignment": lambda: AUG.dtw_alignment(X[:4000], X[:4000]),
    "nearest_dtw_neighbors": lambda: AUG.nearest_dtw_neighbors([X[k:k + 1500] for k in range(0, 6000, 500)], 1.0, 2),
    "dba_barycenter": lambda: AUG.dba_barycenter(X[:300], [X[:300][::-1].copy()] * 8, np.ones(9), 10),
    "dba_barycenters": lambda: AUG.dba_barycenters(X[:300], [X[:300][::-1].copy()] * 8, [[1.0] * 9] * 2, 5),
    "classical_decompose": lambda: AUG.classical_decompose(Y, 24),
    "compute_features": lambda: AUG.compute_features(Y[:400_000], 24),
    "compute_feature_set": lambda: AUG.compute_feature_set(Y[:400_000], 24, 50),
    "compute_feature_set_batch": lambda: AUG.compute_feature_set_batch(
        Y[:400_000], np.array([0, 200_000, 400_000], np.int64), 24, 50, 1),
    "mar_features_batch": lambda: AUG.mar_features_batch([MAR], [[]], [500_000], [[1]], None, 1),
    "moving_block_bootstrap": lambda: AUG.moving_block_bootstrap(Y[:500_000], 50, 1, None),
    "moving_block_bootstrap_many": lambda: AUG.moving_block_bootstrap_many(Y[:500_000], 50, [1, 2], None),
    "add_missingness": lambda: PI.add_missingness(Y.copy(), 1, "random", 0.3, 1, 1),
    "add_changepoints": lambda: PI.add_changepoints(Y[:300_000].copy(), 1, 10, E, "mixed", E, E, E),
}


@pytest.mark.parametrize("call", LONG_CALLS.values(), ids=LONG_CALLS)
def test_lock_is_released_during_the_work(call):
    # A spinning Python thread makes progress in the middle half of the call
    # only if the call let go of the interpreter lock.
    stamps, done = [], threading.Event()

    def spin():
        while not done.is_set():
            stamps.append(time.perf_counter())

    t = threading.Thread(target=spin)
    t.start()
    try:
        call()  # warm-up: pools and NumPy set up
        t0 = time.perf_counter()
        call()
        t1 = time.perf_counter()
    finally:
        done.set()
        t.join()
    assert any(t0 + (t1 - t0) / 4 <= s <= t1 - (t1 - t0) / 4 for s in stamps)


# ---------------------------------------------------------------------------
# Faults

# NumPy's table is set up on first array use; a broken NumPy there is a fault.
# It has to be the first use in the process, hence the fresh interpreter.
BROKEN_NUMPY = r"""
import json, sys, types
import numpy as np
import quillmarten._lib as lib
x = np.zeros(3)
real = sys.modules["numpy._core._multiarray_umath"]
fake = types.ModuleType("fake")
fake._ARRAY_API = 1
sys.modules["numpy._core._multiarray_umath"] = fake
seen = []
for call in (lambda: lib.distributions.norm_cdf(x), lambda: lib.augmentation.classical_decompose(x)):
    try:
        call()
    except Exception as exc:
        seen.append(["caught as Exception", repr(exc)])
    except BaseException as exc:
        seen.append([type(exc).__name__, str(exc), type(exc).__mro__[1].__name__, id(type(exc)),
                     getattr(exc, "__notes__", None), bool(type(exc).__doc__)])
sys.modules["numpy._core._multiarray_umath"] = real
seen.append(lib.distributions.uniform_ppf(np.array([0.25]), 1.0, 4.0).tolist())
print(json.dumps(seen))
"""


def test_fault_is_a_panic_exception_reported_on_stderr():
    out = subprocess.run([sys.executable, "-c", BROKEN_NUMPY], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    first, second, after = json.loads(out.stdout)
    text = "Failed to access NumPy array API capsule: _ARRAY_API is not PyCapsule object"
    assert first[:3] == ["PanicException", text, "BaseException"]
    assert second[:4] == first[:4]  # one type, created once
    assert first[4] is None and first[5]
    assert out.stderr.count(text) == 2  # a short report per fault
    # Nothing is left half set up: once NumPy is back the same process works.
    assert after == [2.0]
