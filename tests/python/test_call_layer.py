"""The shared road from Python into the engine: binding, conversion, arrays, results, faults.

Most cases go through the functions that exist today (distributions and
classical_decompose). Converters that only later functions use are reached
through those functions and skip until they are registered; they stop at the
argument under test or, when it is accepted, at a deliberately bad argument
right after it, so no valid call of the generator is needed.
"""

import json
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import assert_panics, notes, raised
from quillmarten import _lib

D = _lib.distributions
A = np.linspace(0.1, 0.9, 5)
BAD = object()  # converts to nothing


def note_for(param):
    return [f"while processing '{param}'"]


# ---------------------------------------------------------------------------
# Binding

BINDING = [
    ("norm_cdf", (A, A), {}, "norm_cdf() takes 1 positional arguments but 2 were given"),
    ("gamma_ppf", (A, 1.0, 1.0, 1.0, 1.0), {}, "gamma_ppf() takes 3 positional arguments but 5 were given"),
    ("classical_decompose", (A, 2, 3), {},
     "classical_decompose() takes from 1 to 2 positional arguments but 3 were given"),
    ("norm_cdf", (A,), {"c": 1}, "norm_cdf() got an unexpected keyword argument 'c'"),
    ("norm_cdf", (), {"X": A}, "norm_cdf() got an unexpected keyword argument 'X'"),
    ("t_cdf", (A, 1.0), {"x": A}, "t_cdf() got multiple values for argument 'x'"),
    ("classical_decompose", (A, 4), {"period": 4}, "classical_decompose() got multiple values for argument 'period'"),
    ("norm_cdf", (), {}, "norm_cdf() missing 1 required positional argument: 'x'"),
    ("t_cdf", (), {}, "t_cdf() missing 2 required positional arguments: 'x' and 'df'"),
    ("gamma_ppf", (), {}, "gamma_ppf() missing 3 required positional arguments: 'u', 'a', and 'scale'"),
    ("gamma_ppf", (), {"a": 1.0}, "gamma_ppf() missing 2 required positional arguments: 'u' and 'scale'"),
    ("gamma_ppf", (A,), {"scale": 1.0}, "gamma_ppf() missing 1 required positional argument: 'a'"),
    ("classical_decompose", (), {"period": 4}, "classical_decompose() missing 1 required positional argument: 'values'"),
    # Too many positionals first, then keywords in the order given, then missing ones.
    ("norm_cdf", (A, A), {"c": 1}, "norm_cdf() takes 1 positional arguments but 2 were given"),
    ("t_cdf", (A, 1.0), {"z": 1, "x": A}, "t_cdf() got an unexpected keyword argument 'z'"),
    ("t_cdf", (A, 1.0), {"x": A, "z": 1}, "t_cdf() got multiple values for argument 'x'"),
    ("gamma_ppf", (), {"b": 1}, "gamma_ppf() got an unexpected keyword argument 'b'"),
    # Binding comes before any conversion.
    ("t_cdf", ("not an array",), {}, "t_cdf() missing 1 required positional argument: 'df'"),
    # Functions registered later.
    ("random_walk", (1,) * 7, {"seed": 1}, "random_walk() got multiple values for argument 'seed'"),
    ("dtw_distance", (A, A, None, None), {}, "dtw_distance() takes from 2 to 3 positional arguments but 4 were given"),
    ("dtw_distance", (A,), {}, "dtw_distance() missing 1 required positional argument: 'b'"),
    ("generate_multi_batch", (), {"n_workers": 1}, "generate_multi_batch() missing 1 required positional argument: 'specs'"),
]


@pytest.mark.parametrize("name,args,kwargs,message", BINDING)
def test_binding_errors(native, name, args, kwargs, message):
    exc = raised(native(name), *args, **kwargs)
    assert type(exc) is TypeError
    assert str(exc) == message
    assert notes(exc) is None


def test_keywords_and_positionals_bind_alike():
    u = np.array([0.1, 0.5, 0.9])
    ref = D.gamma_ppf(u, 2.5, 3.0)
    for call in (lambda: D.gamma_ppf(scale=3.0, a=2.5, u=u), lambda: D.gamma_ppf(u, scale=3.0, a=2.5)):
        np.testing.assert_array_equal(call(), ref)
    x = np.arange(6.0) % 3
    for parts in (_lib.augmentation.classical_decompose(values=x, period=3),
                  _lib.augmentation.classical_decompose(x, period=3)):
        for got, want in zip(parts, _lib.augmentation.classical_decompose(x, 3)):
            np.testing.assert_array_equal(got, want)


# ---------------------------------------------------------------------------
# Conversion: first failure in signature order wins and carries the note

class HasFloat:
    def __float__(self):
        return 3.0


class HasIndex:
    def __index__(self):
        return 3


class SubArray(np.ndarray):
    pass


REJECTED_ARRAYS = {
    "list": ([0.5, 0.7], "list"),
    "tuple": ((0.5,), "tuple"),
    "float": (0.5, "float"),
    "float64-scalar": (np.float64(0.5), "float64"),
    "0-d": (np.array(0.5), "ndarray"),
    "2-d": (np.zeros((2, 2)), "ndarray"),
    "float32": (np.zeros(3, np.float32), "ndarray"),
    "int64": (np.zeros(3, np.int64), "ndarray"),
    "object": (np.zeros(3, object), "ndarray"),
    "big-endian": (np.arange(3.0).astype(">f8"), "ndarray"),
    "None": (None, "NoneType"),
}


@pytest.mark.parametrize("value,given", REJECTED_ARRAYS.values(), ids=REJECTED_ARRAYS.keys())
@pytest.mark.parametrize("name,rest,param", [
    ("norm_cdf", (), "x"),
    ("t_cdf", (BAD,), "x"),               # the later bad argument is never looked at
    ("classical_decompose", (BAD,), "values"),
])
def test_array_converter_rejects(native, value, given, name, rest, param):
    exc = raised(native(name), value, *rest)
    assert type(exc) is TypeError
    prefix = f"'{given}' object is not an instance of '"
    assert str(exc).startswith(prefix) and str(exc).endswith("'") and len(str(exc)) > len(prefix) + 1
    assert notes(exc) == note_for(param)


# (function, arguments, exception type, parameter named in the note, text or its prefix up to a quote)
CONVERSION_ERRORS = [
    # float64
    ("t_cdf", (A, "3"), TypeError, "df", None),
    ("t_cdf", (A, None), TypeError, "df", None),
    ("t_cdf", (A, 1j), TypeError, "df", None),
    # signature order decides, not the order keywords were given in
    ("gamma_ppf", ([1.0], "a", "s"), TypeError, "u", None),
    ("gamma_ppf", (A, "a", "s"), TypeError, "a", None),
    ("gamma_ppf", (A, 1.0, "s"), TypeError, "scale", None),
    ("gamma_ppf", {"scale": "s", "a": "a", "u": A}, TypeError, "a", None),
    # conversion comes before the contiguity rule
    ("t_cdf", (np.arange(8.0)[::2], "x"), TypeError, "df", None),
    ("classical_decompose", (np.arange(8.0)[::2], -1), OverflowError, "period", None),
    # optional unsigned 64-bit
    ("classical_decompose", (A, -1), OverflowError, "period", None),
    ("classical_decompose", (A, 2**64), OverflowError, "period", None),
    ("classical_decompose", (A, 4.0), TypeError, "period", None),
    ("classical_decompose", (A, "4"), TypeError, "period", None),
    # 32-bit signed and unsigned 64-bit, through a later generator
    ("random_walk", (1.5, BAD, BAD, BAD, BAD, BAD, BAD), TypeError, "length", None),
    ("random_walk", (2**31, BAD, BAD, BAD, BAD, BAD, BAD), OverflowError, "length",
     "out of range integral type conversion attempted"),
    ("random_walk", (-2**31 - 1, BAD, BAD, BAD, BAD, BAD, BAD), OverflowError, "length",
     "out of range integral type conversion attempted"),
    ("random_walk", (2**70, BAD, BAD, BAD, BAD, BAD, BAD), OverflowError, "length", None),
    ("random_walk", (10, 0.0, 1.0, 0.0, -1, BAD, BAD), OverflowError, "seed", None),
    ("random_walk", (10, 0.0, 1.0, 0.0, 2**64, BAD, BAD), OverflowError, "seed", None),
    ("random_walk", (10, 0.0, 1.0, 0.0, 1.0, BAD, BAD), TypeError, "seed", None),
    # flag
    ("poisson_process", (10, 1.0, 1, BAD), TypeError, "cumulative", "'int' object is not an instance of '"),
    ("poisson_process", (10, 1.0, 1.0, BAD), TypeError, "cumulative", "'float' object is not an instance of '"),
    ("poisson_process", (10, 1.0, None, BAD), TypeError, "cumulative", None),
    # sequence (any but str)
    ("add_anomalies", (A, 0, 5, BAD, BAD, BAD, BAD, BAD), TypeError, "anomaly_types",
     "'int' object is not an instance of 'Sequence'"),
    ("add_anomalies", (A, 0, "spike", BAD, BAD, BAD, BAD, BAD), TypeError, "anomaly_types",
     "Can't extract `str` to `Vec`"),
]


@pytest.mark.parametrize("name,args,exc_type,param,text", CONVERSION_ERRORS)
def test_conversion_errors(native, name, args, exc_type, param, text):
    fn = native(name)
    exc = raised(fn, **args) if isinstance(args, dict) else raised(fn, *args)
    assert type(exc) is exc_type, repr(exc)
    assert notes(exc) == note_for(param)
    if text is not None:
        assert str(exc) == text or (text.endswith("'") and str(exc).startswith(text))


# Accepted values: the call then stops at the bad argument after the one under test.
ACCEPTED = [
    ("gamma_ppf", (A, np.float32(2.5), BAD), "scale"),
    ("gamma_ppf", (A, HasFloat(), BAD), "scale"),
    ("gamma_ppf", (A, HasIndex(), BAD), "scale"),
    ("gamma_ppf", (A, True, BAD), "scale"),
    ("gamma_ppf", (A.view(SubArray), BAD, BAD), "a"),
    ("random_walk", (True, BAD, BAD, BAD, BAD, BAD, BAD), "drift"),
    ("random_walk", (-2**31, BAD, BAD, BAD, BAD, BAD, BAD), "drift"),
    ("random_walk", (np.int32(7), BAD, BAD, BAD, BAD, BAD, BAD), "drift"),
    ("random_walk", (10, 0.0, 1.0, 0.0, np.int64(5), BAD, BAD), "innov_dist"),
    ("random_walk", (10, 0.0, 1.0, 0.0, 2**64 - 1, BAD, BAD), "innov_dist"),
    ("random_walk", (10, 0.0, 1.0, 0.0, HasIndex(), BAD, BAD), "innov_dist"),
    ("poisson_process", (10, 1.0, True, BAD), "seed"),
    ("poisson_process", (10, 1.0, np.True_, BAD), "seed"),
    ("poisson_process", (10, 1.0, np.False_, BAD), "seed"),
    ("add_anomalies", (A, 0, ("spike",), BAD, BAD, BAD, BAD, BAD), "anomaly_fraction"),
    ("add_anomalies", (A, 0, ["spike", "dip"], BAD, BAD, BAD, BAD, BAD), "anomaly_fraction"),
]


@pytest.mark.parametrize("name,args,next_param", ACCEPTED)
def test_conversion_accepts(native, name, args, next_param):
    exc = raised(native(name), *args)
    assert notes(exc) == note_for(next_param), repr(exc)


@pytest.mark.parametrize("df", [3, np.float32(3.0), np.float64(3.0), np.int64(3), HasFloat(), HasIndex()],
                         ids=lambda v: type(v).__name__)
def test_float_converter_takes_the_value(df):
    np.testing.assert_array_equal(D.t_cdf(A, df), D.t_cdf(A, 3.0))


@pytest.mark.parametrize("period", [np.int64(4), np.uint64(4), np.int8(4), HasIndex()], ids=lambda v: type(v).__name__)
def test_unsigned_converter_takes_index(period):
    x = np.sin(np.arange(24.0))
    want = 3 if isinstance(period, HasIndex) else 4
    for got, ref in zip(_lib.augmentation.classical_decompose(x, period), _lib.augmentation.classical_decompose(x, want)):
        np.testing.assert_array_equal(got, ref)


def test_bool_period_is_one():
    # True is an int: it converts to 1 and fails the function's own check, without a note.
    exc = raised(_lib.augmentation.classical_decompose, np.arange(10.0), True)
    assert type(exc) is ValueError and str(exc) == "period must be >= 2 when provided"
    assert notes(exc) is None


# ---------------------------------------------------------------------------
# Array arguments

def misaligned(n):
    buf = np.zeros(n * 8 + 1, np.uint8)
    return np.frombuffer(buf.data, dtype=np.float64, count=n, offset=1)


def decompose(x):
    return _lib.augmentation.classical_decompose(x)


ARRAY_USERS = [D.norm_cdf, lambda x: D.t_cdf(x, 4.0), decompose]


@pytest.mark.parametrize("call", ARRAY_USERS, ids=["norm_cdf", "t_cdf", "classical_decompose"])
@pytest.mark.parametrize("make", [
    lambda: np.arange(10.0)[::2],
    lambda: np.arange(10.0)[::-1],
    lambda: np.arange(20.0).reshape(4, 5)[:, 1],
    lambda: misaligned(5),
], ids=["strided", "reversed", "column", "misaligned"])
def test_non_contiguous_or_misaligned_arrays(call, make):
    x = make()
    assert not (x.flags.c_contiguous and x.flags.aligned)
    exc = raised(call, x)
    assert type(exc) is TypeError
    assert str(exc) == "The given array is not contiguous or is misaligned."
    assert notes(exc) is None


@pytest.mark.parametrize("make", [
    lambda: np.arange(10.0)[::2][:0],
    lambda: np.arange(10.0)[::-1][:0],
    lambda: misaligned(0),
    lambda: np.zeros((3, 0))[0],
], ids=["strided", "reversed", "misaligned", "row"])
def test_empty_views_pass(make):
    x = make()
    assert x.size == 0
    out = D.norm_cdf(x)
    assert out.shape == (0,) and out.dtype == np.float64
    # The decomposition gets past the array rule to its own length check.
    exc = raised(decompose, x)
    assert type(exc) is ValueError and str(exc) == "values must contain at least 3 observations"


def test_contiguity_comes_before_the_functions_checks():
    exc = raised(decompose, np.array([1.0, np.nan, 2.0, np.nan])[::2])
    assert str(exc) == "The given array is not contiguous or is misaligned."


def test_contiguous_slices_read_the_right_elements():
    base = np.arange(10.0) / 10
    np.testing.assert_array_equal(D.uniform_ppf(base[3:7], 0.0, 1.0), base[3:7])


# Borrows: only the pattern_injection functions write into a caller's array.

def test_write_target_conflicts_with_a_read_of_the_same_data(native):
    add_changepoints = native("add_changepoints")
    x = np.linspace(0.0, 1.0, 8)
    before = x.copy()
    empty = np.empty(0)
    for values, locations in ((x, x), (x[:6], x[4:])):
        exc = raised(add_changepoints, values, 0, 1, locations, "level", empty, empty, empty)
        assert type(exc) is TypeError and str(exc) == "The given array is already borrowed"
        np.testing.assert_array_equal(x, before)
    # Borrows end with the call, on failure too.
    out = add_changepoints(x, 0, 1, np.array([0.5]), "level", np.array([1.0]), empty, empty)
    assert out[0] is x


def test_read_only_write_target(native):
    x = np.linspace(0.0, 1.0, 8)
    x.setflags(write=False)
    exc = raised(native("add_missingness"), x, 0, "random", 0.5, 1, 1)
    assert type(exc) is TypeError and str(exc) == "The given array is not writeable"


def test_distributions_read_a_copy_taken_before_the_loop(native):
    # The input is copied under the lock, so a concurrent write into the
    # caller's array while the loop runs cannot change (or tear) the result.
    add_missingness = native("add_missingness")
    x = np.linspace(0.01, 0.99, 2_000_000)
    expected = D.t_cdf(x.copy(), 3.5)
    inside = threading.Event()
    result = {}

    def work():
        inside.set()
        result["out"] = D.t_cdf(x, 3.5)

    worker = threading.Thread(target=work)
    worker.start()
    inside.wait()
    time.sleep(0.15)
    try:
        add_missingness(x, 0, "random", 0.5, 1, 1)
    finally:
        worker.join()
    assert np.isnan(x).any()
    np.testing.assert_array_equal(result["out"], expected)


# ---------------------------------------------------------------------------
# Results

def every_call(x):
    """Calls every existing function that takes one float64 array, returning the result arrays."""
    out = [D.norm_cdf(x), D.norm_ppf(x), D.t_cdf(x, 3.0), D.gamma_ppf(x, 2.0, 1.0), D.expon_ppf(x, 1.0),
           D.lognorm_ppf(x, 0.5, 1.0), D.uniform_ppf(x, 0.0, 1.0)]
    if x.size >= 3:
        parts = decompose(x)
        assert type(parts) is tuple and len(parts) == 3
        out.extend(parts)
    return out


@pytest.mark.parametrize("n", [0, 1, 7])
def test_results_are_owned_fresh_arrays(n):
    x = np.linspace(0.05, 0.95, n)
    results = every_call(x)
    for i, r in enumerate(results):
        assert type(r) is np.ndarray and r.ndim == 1 and r.shape == (n,) and r.dtype == np.float64
        assert type(r.base).__name__ == "PySliceContainer"
        assert r.flags.c_contiguous and r.flags.aligned and r.flags.writeable
        assert not np.shares_memory(r, x)
        for other in results[i + 1:]:
            assert not np.shares_memory(r, other)
    assert len({type(r.base) for r in results}) == 1


def test_result_buffer_outlives_the_call():
    r = D.uniform_ppf(np.arange(1000.0), 1.0, 2.0)
    container = r.base
    view = r[10:20]
    del r
    view[:] += 1.0  # still writeable memory owned by the container
    np.testing.assert_array_equal(view, np.arange(10.0, 20.0) * 2.0 + 2.0)
    assert view.base.base is container


@pytest.mark.parametrize("n", [1, 9])
def test_inputs_are_read_only_and_never_modified(n):
    x = np.linspace(0.05, 0.95, n)
    before = x.copy()
    x.setflags(write=False)
    every_call(x)
    np.testing.assert_array_equal(x, before)
    assert not x.flags.writeable


# ---------------------------------------------------------------------------
# Interpreter lock and concurrency

def test_lock_is_released_during_the_element_loop():
    u = np.linspace(0.001, 0.999, 500_000)
    done = threading.Event()
    started = threading.Event()
    elapsed = []

    def work():
        started.set()
        t0 = time.perf_counter()
        for _ in range(3):
            D.gamma_ppf(u, 2.5, 1.0)
        elapsed.append(time.perf_counter() - t0)
        done.set()

    worker = threading.Thread(target=work)
    worker.start()
    started.wait()
    last = time.perf_counter()
    longest_gap = 0.0
    while not done.is_set():
        now = time.perf_counter()
        longest_gap = max(longest_gap, now - last)
        last = now
    worker.join()
    # A call that kept the lock would stall this loop for a whole call.
    assert longest_gap < elapsed[0] / 6, (longest_gap, elapsed[0])


def test_concurrent_reads_of_one_array():
    x = np.linspace(-3, 3, 50_000)
    want_cdf, want_trend = D.norm_cdf(x), decompose(x)[0]
    results, errors = [], []

    def work():
        try:
            for _ in range(20):
                results.append(np.array_equal(D.norm_cdf(x), want_cdf) and np.array_equal(decompose(x)[0], want_trend))
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and len(results) == 120 and all(results)


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


def test_fault_in_a_core(native, capfd):
    add_changepoints = native("add_changepoints")
    x = np.arange(8.0)
    empty = np.empty(0)
    first = assert_panics(add_changepoints, x, 0, -1, empty, "level", empty, empty, empty)
    second = assert_panics(add_changepoints, x, 0, -2, empty, "level", empty, empty, empty)
    assert type(first) is type(second) and notes(first) is None
    assert str(first) in capfd.readouterr().err
    np.testing.assert_array_equal(x, np.arange(8.0))


def test_fault_at_first_numpy_use():
    out = subprocess.run([sys.executable, "-c", BROKEN_NUMPY], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    first, second, after = json.loads(out.stdout)
    text = "Failed to access NumPy array API capsule: _ARRAY_API is not PyCapsule object"
    assert first[:3] == ["PanicException", text, "BaseException"]
    assert second[:3] == first[:3]
    assert second[3] == first[3]  # one type, created once
    assert first[4] is None and first[5]
    assert out.stderr.count(text) == 2  # a short report per fault
    # Nothing is left half set up: once NumPy is back the same process works.
    assert after == [2.0]
