"""Hostile arguments against every registered function.

Whatever a caller passes, a call ends in a result, in one of the exceptions the
engine raises on purpose (TypeError, OverflowError, ValueError, MemoryError,
PanicException) or in the exception the caller's own object raised while being
converted. The sweeps run in child interpreters with a bounded address space:
a size that cannot be held must come back as MemoryError or ValueError, and a
crash or a hang shows up as the child's return code or timeout instead of
taking the test run down with it.
"""

import ast
import gc
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import quillmarten
from quillmarten import _lib

HERE = os.path.dirname(os.path.abspath(__file__))
PKG_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(quillmarten.__file__)))
ADDRESS_SPACE = 3 << 30  # room for NumPy, the pools and small inputs, far from any huge request


class Hostile(Exception):
    """Raised by the argument objects below from their conversion hooks."""


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


ALLOWED = (TypeError, OverflowError, ValueError, MemoryError, IndexError, Hostile)


def registered():
    """Every registered function as (submodule, name)."""
    out = []
    for sub in _lib.__all__[1:]:
        module = getattr(_lib, sub)
        out += [(sub, name) for name in getattr(module, "__all__", [])]
    return out


def function(name):
    for sub, fname in registered():
        if fname == name:
            return getattr(getattr(_lib, sub), fname)
    raise KeyError(name)


def params_of(fn):
    text = fn.__text_signature__.strip("()")
    return [p.strip().partition("=")[0] for p in text.split(",")]


# ---------------------------------------------------------------------------
# Valid calls, built fresh for every use (the injectors change their input)

def f64(n, seed=0):
    return np.random.default_rng(seed).normal(size=n)


def unit(n, seed=0):
    return np.random.default_rng(seed).uniform(0.01, 0.99, size=n)


MAR_SCALARS = [2.0, 2.0, 0.0, 1.0, 0.5, 0.5, 1.5, 10.0, 0.0, 0.0, 0.0, 0.0]
PI_CONFIG = {
    "changepoints": True, "num_changepoints": 2, "changepoint_type": "mixed",
    "anomalies": True, "anomaly_types": ["spike", "level_shift"], "anomaly_fraction": 0.2,
    "spike_magnitude": 3.0, "level_shift_duration": 3,
    "missing_data": True, "missing_pattern": "block", "missing_rate": 0.2, "missing_block_size": 2,
}


def batch_spec():
    return {"gen_type": 0, "scalar_params": np.array([0.0, 1.0, 0.0, 0.0, 0.0]), "array_params": [],
            "lengths": np.array([12, 0, 5], np.int32), "gen_seeds": np.arange(1, 4, dtype=np.uint64),
            "pi_seeds": np.arange(9, dtype=np.uint64), "pi_config": dict(PI_CONFIG)}


VALID = {
    "dtw_alignment": lambda: [f64(8), f64(9, 1), 3],
    "dtw_distance": lambda: [f64(8), f64(9, 1), None],
    "nearest_dtw_neighbors": lambda: [[f64(6, s) for s in range(4)], 0.5, 2],
    "dba_barycenter": lambda: [f64(8), [f64(8, 1), f64(7, 2)], np.ones(3), 2, None],
    "dba_barycenters": lambda: [f64(8), [f64(8, 1)], [[1.0, 1.0], [0.5, 1.0]], 2, 4],
    "mar_features_batch": lambda: [[list(MAR_SCALARS)], [[]], [20, 30], [[1, 2]], None, 0],
    "classical_decompose": lambda: [f64(24), 4],
    "compute_features": lambda: [f64(24), 4],
    "compute_feature_set": lambda: [f64(24), 4, 5],
    "compute_feature_set_batch": lambda: [f64(30), np.array([0, 10, 30], np.int64), None, 4, 0],
    "moving_block_bootstrap": lambda: [f64(24), 4, 7, None],
    "moving_block_bootstrap_many": lambda: [f64(24), 4, [1, 2], 6],
    "add_changepoints": lambda: [f64(20), 1, 2, np.zeros(0), "mixed", np.array([1.0]), np.zeros(0), np.zeros(0)],
    "add_missingness": lambda: [f64(20), 1, "block", 0.3, 2, 4],
    "add_anomalies": lambda: [f64(20), 1, ["spike", "dip", "level_shift"], 0.2, 1.0, -1.0, 2.0, 3],
    "norm_cdf": lambda: [f64(10)],
    "norm_ppf": lambda: [unit(10)],
    "t_cdf": lambda: [f64(10), 3.0],
    "gamma_ppf": lambda: [unit(10), 2.0, 1.5],
    "expon_ppf": lambda: [unit(10), 2.0],
    "lognorm_ppf": lambda: [unit(10), 0.5, 1.0],
    "uniform_ppf": lambda: [unit(10), -1.0, 2.0],
    "random_walk": lambda: [16, 0.0, 1.0, 0.0, 1, 0, 0.0],
    "seasonal": lambda: [16, 4, 1.0, 0.1, 0.2, 0.0, 1, 0, 0.0],
    "generate_batch": lambda: [*(lambda s: [s["gen_type"], s["scalar_params"], s["array_params"], s["lengths"],
                                            s["gen_seeds"], s["pi_seeds"], s["pi_config"]])(batch_spec()), 0],
    "generate_multi_batch": lambda: [[batch_spec(), batch_spec()], 0],
}

# A guess by parameter name for functions registered later: enough to get
# past the leading arguments, where the sweep then does its work.
GUESS = {"length": 16, "seed": 1, "n_workers": 0, "values": "f64", "x": "f64", "u": "f64", "p": "f64"}


def valid_args(name):
    if name in VALID:
        return VALID[name]()
    fn = function(name)
    text = fn.__text_signature__.strip("()")
    out = []
    for item in text.split(","):
        pname, eq, default = item.strip().partition("=")
        if eq:
            out.append(ast.literal_eval(default))
        else:
            guess = GUESS.get(pname, 1)
            out.append(f64(16) if guess == "f64" else guess)
    return out


# ---------------------------------------------------------------------------
# Hostile values

class IndexRaises:
    def __index__(self):
        raise Hostile("index")

    def __float__(self):
        raise Hostile("float")


class IndexWrongType:
    def __index__(self):
        return 1.5

    def __float__(self):
        return "1.5"


class Mutator:
    """Converts to 1 / 1.0, sized 3, but first wrecks the other arguments: lists
    are emptied, arrays get another dtype or shape in place, dicts have their
    arrays wrecked and are then emptied (or only the former, for "retype")."""

    def __init__(self, victims, how):
        self.victims, self.how = victims, how

    def strike(self, victims=None):
        for v in self.victims if victims is None else victims:
            if v is self:
                continue
            try:
                if isinstance(v, list):
                    v.clear()
                elif isinstance(v, dict):
                    self.strike([x for x in v.values() if isinstance(x, np.ndarray)])
                    if self.how != "retype":
                        v.clear()
                elif isinstance(v, np.ndarray) and v.flags.c_contiguous and v.base is None and v.size:
                    if self.how == "retype":
                        v.dtype = np.int8
                    elif self.how == "reshape":
                        v.shape = (1, v.size)
                    else:
                        v.resize(1 if v.size > 1 else 7, refcheck=False)
            except (ValueError, TypeError, AttributeError):
                pass

    def __index__(self):
        self.strike()
        return 1

    def __float__(self):
        self.strike()
        return 1.0

    def __len__(self):
        self.strike()
        return 3

    def __getitem__(self, i):
        self.strike()
        if i >= 3:
            raise IndexError(i)
        return 1.0


class Lying:
    """A sequence whose length is a lie."""

    def __init__(self, length, items=(1.0, 2.0)):
        self.length, self.items = length, list(items)

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class LenRaises:
    def __len__(self):
        raise Hostile("len")

    def __getitem__(self, i):
        return 1.0


class ItemRaises:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise Hostile("item")


class ShrinkingList(list):
    def __getitem__(self, i):
        self.clear()
        return super().__getitem__(i)


class LongList(list):
    def __len__(self):
        return 10**6


class SubArray(np.ndarray):
    pass


class ArrayItemRaises(np.ndarray):
    def __getitem__(self, i):
        raise Hostile("array item")


class EvilKey(str):
    """Equal in hash to a config key; comparing it clears the dict or raises."""

    def __new__(cls, key, target, raise_it):
        self = super().__new__(cls, key + "~")
        self.key, self.target, self.raise_it = key, target, raise_it
        return self

    def __hash__(self):
        return hash(self.key)

    def __eq__(self, other):
        if self.raise_it:
            raise Hostile("key")
        self.target.clear()
        return False


def misaligned(n=6):
    raw = np.zeros(n * 8 + 1, np.uint8)
    return raw[1:].view(np.float64)


def readonly(n=6):
    a = f64(n)
    a.flags.writeable = False
    return a


def scalar_values():
    return [
        None, True, False, np.True_, np.float64(np.nan), np.int64(-1), np.uint64(2**64 - 1), np.float32(1e38),
        0, 1, -1, 2**31 - 1, 2**31, -2**31 - 1, 2**32 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63 - 1, 2**200,
        0.0, -0.0, 0.5, -0.5, 1e308, -1e308, 5e-324, float("nan"), float("inf"), float("-inf"), 1 + 1j,
        "", "spike", "\udc80", b"x", bytearray(b"xy"), object(), IndexRaises(), IndexWrongType(),
    ]


def container_values():
    shrinking = [1.0, 2.0, 3.0]
    clearing = [1, 2, 3]
    clearing[1] = Mutator([clearing], "resize")
    return [
        [], [[]], [float("nan")], [1.0, "x"], ["spike", 1], [None], [f64(4), "x"], [f64(4), f64(0)],
        [np.zeros((2, 2))], [[1.0, 2.0], [np.nan]], [2**64], [-1], (f64(3),), ("spike",), {"a": 1}, set(),
        range(0), range(3), range(10**12), range(2**62), Lying(10**6), Lying(-1 + 2**62), Lying(3, ()),
        LenRaises(), ItemRaises(), ShrinkingList(shrinking), LongList([1.0]), clearing,
        memoryview(b"abcdefgh"), f64(3).tolist(), [IndexRaises()],
    ]


def array_values():
    return [
        np.zeros(0), np.array(1.5), np.zeros((2, 3)), np.zeros((3, 1), order="F"), np.zeros(3, np.float32),
        np.zeros(3, ">f8"), np.zeros(3, np.int64), np.zeros(3, np.int32), np.zeros(3, np.uint64),
        np.zeros(3, ">i4"), np.zeros(3, ">u8"), np.zeros(3, object), np.zeros(3, bool), np.zeros(3, complex),
        np.zeros(3, [("a", "<f8")]), f64(10)[::2], f64(10)[::-1], f64(10)[::2][:0], misaligned(), readonly(),
        np.full(5, np.nan), np.full(5, np.inf), np.full(5, -1e308), f64(6).view(SubArray),
        f64(4).view(ArrayItemRaises), np.ma.masked_array(f64(5), mask=[0, 1, 0, 1, 0]),
        np.arange(5, dtype=np.int64) * (2**62), np.array([-1, 2**31 - 1], np.int32),
        np.array([2**64 - 1, 0], np.uint64), np.array([-5, 3], np.int64),
    ]


def label(value):
    if isinstance(value, np.ndarray):
        return f"{type(value).__name__}{value.shape}[{value.dtype}]"
    return f"{type(value).__name__}:{value!r}"[:48]


def hostile_values():
    """(label, value) pairs, made afresh for every argument position; the
    mutators are aimed at the call's other arguments once it is built."""
    out = [(label(v), v) for v in scalar_values() + container_values() + array_values()]
    out += [(f"Mutator({how})", Mutator([], how)) for how in ("retype", "reshape", "resize")]
    return out


# Worker counts beyond a few are left out: a pool has that many real threads.
def usable(param, value):
    if param != "n_workers":
        return True
    return not isinstance(value, (int, np.integer)) or isinstance(value, bool) or not 8 < int(value) < 2**64


def mutates(value):
    """Values that change other objects, and so their reference counts."""
    if isinstance(value, (Mutator, ShrinkingList)):
        return True
    return isinstance(value, list) and any(isinstance(v, Mutator) for v in value)


def outcome(fn, args, kwargs=None, count_refs=True):
    """None when the call ended acceptably, else a description of what went wrong."""
    watched = [a for a in args if isinstance(a, (np.ndarray, list, dict, Mutator, Lying))] if count_refs else []
    before = [sys.getrefcount(a) for a in watched]
    problem = None
    try:
        result = fn(*args, **(kwargs or {}))
        del result
    except ALLOWED:
        pass
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        if not is_panic(exc):
            problem = f"{type(exc).__name__}: {exc}"
    after = [sys.getrefcount(a) for a in watched]
    if problem is None and before != after:
        problem = f"reference counts of the arguments changed: {before} -> {after}"
    return problem


PI_KEYS = [
    "changepoints", "num_changepoints", "changepoint_type", "changepoint_locations", "changepoint_level_changes",
    "changepoint_trend_changes", "changepoint_variance_changes", "anomalies", "anomaly_types", "anomaly_fraction",
    "spike_magnitude", "dip_magnitude", "level_shift_magnitude", "level_shift_duration", "missing_data",
    "missing_pattern", "missing_rate", "missing_block_size", "missing_seasonal_period",
]
SPEC_KEYS = ["gen_type", "scalar_params", "array_params", "lengths", "gen_seeds", "pi_seeds", "pi_config"]


def nested_places(name):
    """Places inside the dict arguments: (label, find) where find(args) is the
    dict and key to overwrite."""
    if name == "generate_batch":
        return [(f"pi_config[{k}]", lambda args, k=k: (args[6], k)) for k in PI_KEYS]
    if name == "generate_multi_batch":
        return ([(f"specs[1][{k}]", lambda args, k=k: (args[0][1], k)) for k in SPEC_KEYS]
                + [(f"specs[1][pi_config][{k}]", lambda args, k=k: (args[0][1]["pi_config"], k)) for k in PI_KEYS])
    return []


def sweep(names, report=print):
    """Every hostile value at every position of every function and inside the
    batch functions' dicts, then each value at all positions at once. Returns
    the failures."""
    failures = []

    def attempt(case, fn, args, value, victims=()):
        if isinstance(value, Mutator):
            value.victims = list(victims)
        report(f"CASE {case}")
        problem = outcome(fn, args, count_refs=not mutates(value))
        if problem:
            failures.append(f"{case}: {problem}")

    for name in names:
        fn = function(name)
        params = params_of(fn)
        for pos, param in enumerate(params):
            for label, value in hostile_values():
                if usable(param, value):
                    args = valid_args(name)
                    args[pos] = value
                    attempt(f"{name}[{param}]={label}", fn, args, value, args)
        for place, find in nested_places(name):
            for label, value in hostile_values():
                args = valid_args(name)
                target, key = find(args)
                target[key] = value
                attempt(f"{name}:{place}={label}", fn, args, value, [target, *args])
        for label, value in hostile_values():
            if all(usable(p, value) for p in params):
                attempt(f"{name}[*]={label}", fn, [value] * len(params), value)
    return failures


# ---------------------------------------------------------------------------
# Child interpreters

PRELUDE = """
import faulthandler, resource, sys
faulthandler.enable()
resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))
sys.path[:0] = [{here!r}, {pkg!r}]
import test_hostile_inputs as H
"""

# Few threads whatever the machine, so the address space left for the calls
# does not shrink with the number of cores.
CHILD_ENV = {"RAYON_NUM_THREADS": "4", "MALLOC_ARENA_MAX": "4", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}


def in_child(fn, *args, timeout=60):
    """Runs this module's `fn(*args)` in a fresh interpreter with a bounded
    address space. The test fails if the child dies, hangs or fails an
    assertion; returns what the child printed."""
    code = PRELUDE.format(limit=ADDRESS_SPACE, here=HERE, pkg=PKG_ROOT) + f"H.{fn.__name__}(*{args!r})\n"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **CHILD_ENV})
    cases = [line[5:] for line in proc.stdout.splitlines() if line.startswith("CASE ")]
    where = cases[-1] if cases else "(no case started)"
    assert proc.returncode == 0, f"child ended with {proc.returncode} during {where}\n{proc.stderr[-3000:]}"
    return proc.stdout


def sweep_and_report(names):
    failures = sweep(names, report=lambda line: print(line, flush=True))
    assert failures == [], failures


@pytest.mark.parametrize("sub", [s for s in _lib.__all__[1:] if getattr(getattr(_lib, s), "__all__", [])])
def test_hostile_arguments_at_every_position(sub):
    in_child(sweep_and_report, list(getattr(_lib, sub).__all__), timeout=120)


def test_the_valid_calls_are_valid():
    # A template that fails at its first argument would leave the rest unswept.
    broken = []
    for name in sorted(set(VALID) & {name for _, name in registered()}):
        try:
            function(name)(*valid_args(name))
        except BaseException as exc:  # noqa: BLE001
            broken.append(f"{name}: {type(exc).__name__}: {exc}")
    assert broken == []


@pytest.mark.parametrize("args,kwargs", [
    ([], {"\udc80": 1}),
    ([], {"values": IndexRaises(), "unknown": 1}),
    ([], {f"k{i}": i for i in range(300)}),
    (list(range(300)), {}),
])
def test_hostile_binding(args, kwargs):
    for _, name in registered():
        assert outcome(function(name), args, kwargs) is None


# ---------------------------------------------------------------------------
# Arguments that change while the call converts them

def retyped_by_a_later_argument():
    # The buffer stays 32 MiB while the element count grows eightfold: a copy
    # by the new count would read far past it.
    a = np.ones(1 << 22)

    class Retype:
        def __index__(self):
            a.dtype = np.int8
            return 4

        def __float__(self):
            return float(self.__index__())

    for call in (lambda: _lib.distributions.t_cdf(a, Retype()),
                 lambda: _lib.augmentation.classical_decompose(a, Retype())):
        a.dtype = np.float64
        with pytest.raises(TypeError, match=r"^'ndarray' object is not an instance of 'ndarray\[float64\]'$"):
            call()


def test_array_retyped_by_a_later_argument_is_refused():
    in_child(retyped_by_a_later_argument)


def write_target_changed(how):
    x = f64(4096)
    before = x.copy()
    with pytest.raises(TypeError, match=r"is not an instance of 'ndarray\[float64\]'"):
        _lib.pattern_injection.add_missingness(x, 1, "random", Mutator([x], how), 1, 1)
    np.testing.assert_array_equal(x.view(np.float64).ravel(), before)


@pytest.mark.parametrize("how", ["retype", "reshape"])
def test_write_target_changed_before_the_copy_is_refused(how):
    in_child(write_target_changed, how)


def test_array_resized_by_a_later_argument_is_read_as_it_is_then():
    a = np.arange(1.0, 9.0)

    class Shrink:
        def __float__(self):
            a.resize(3, refcheck=False)
            return 0.0

    got = _lib.distributions.uniform_ppf(a, Shrink(), 1.0)
    np.testing.assert_array_equal(got, [1.0, 2.0, 3.0])


def spec_config_dropped_while_read():
    # Reading one value replaces the spec's "pi_config", and a new dict takes
    # the freed one's place. The parse must go on with the dict it started on.
    keep = []

    class Replace:
        def __float__(self):
            spec["pi_config"] = None
            keep.append({"missing_data": True, "missing_rate": 1.0, "missing_pattern": "random"})
            return 0.0

    spec = batch_spec()
    spec["pi_config"] = {"anomaly_fraction": Replace()}
    (series,) = _lib.batch.generate_multi_batch([spec])
    assert keep and [len(r["miss_indices"]) for r in series] == [0, 0, 0]


def test_spec_config_dropped_while_it_is_read():
    in_child(spec_config_dropped_while_read)


@pytest.mark.parametrize("raise_it", [False, True])
@pytest.mark.parametrize("key", ["num_changepoints", "changepoint_locations"])
def test_config_key_that_mutates_the_dict_during_lookup(key, raise_it):
    config = dict(PI_CONFIG)
    config.pop(key, None)
    config[EvilKey(key, config, raise_it)] = 1
    args = valid_args("generate_batch")
    args[6] = config
    assert outcome(_lib.batch.generate_batch, args, count_refs=False) is None


# ---------------------------------------------------------------------------
# Sizes that cannot be held

HUGE = [
    ("random_walk", [2**31 - 1, 0.0, 1.0, 0.0, 1, 0, 0.0]),
    ("seasonal", [2**31 - 1, 4, 1.0, 0.0, 0.1, 0.0, 1, 0, 0.0]),
    ("add_changepoints", [f64(10), 1, 2**31 - 1, np.zeros(0), "level", np.zeros(0), np.zeros(0), np.zeros(0)]),
    ("moving_block_bootstrap_many", [f64(24), 4, range(10**13), None]),
    ("nearest_dtw_neighbors", [Lying(2**61), 0.5, 1]),
    ("generate_batch", [0, np.zeros(5), [], np.array([2**31 - 1], np.int32), np.ones(1, np.uint64),
                        np.ones(3, np.uint64), {}, 0]),
    ("generate_batch", [0, np.zeros(5), [], np.array([5], np.int32), np.ones(1, np.uint64),
                        np.ones(3, np.uint64), {"changepoints": True, "num_changepoints": 2**31 - 1}, 0]),
]


def huge_requests():
    for name, args in HUGE:
        if any(name == f for _, f in registered()):
            print("CASE", name, flush=True)
            with pytest.raises((MemoryError, ValueError)):
                function(name)(*args)


def test_huge_requests_fail_cleanly():
    in_child(huge_requests)


# ---------------------------------------------------------------------------
# Threads

def first_use_from_many_threads():
    # Each lazily made object (NumPy table, result holder type, fault type,
    # pools) is first asked for by several threads at once.
    x = np.linspace(-2, 2, 64)
    calls = [
        lambda: _lib.distributions.norm_cdf(x),
        lambda: _lib.augmentation.classical_decompose(x, 4)[0],
        lambda: _lib.augmentation.compute_feature_set_batch(x, np.array([0, 20, 64], np.int64), None, None, 3),
        lambda: _lib.statistical.random_walk(50, 0.0, float("inf"), 0.0, 3, 0, 0.0),
        lambda: _lib.pattern_injection.add_anomalies(x.copy(), 1, [], 0.5, 1.0, 1.0, 1.0, 1)[0],
    ] * 3
    barrier = threading.Barrier(len(calls))
    out = [None] * len(calls)

    def run(i):
        barrier.wait()
        try:
            out[i] = np.asarray(calls[i]()).tolist()
        except BaseException as exc:  # noqa: BLE001
            out[i] = (type(exc).__name__, str(exc))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(calls))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    n = len(calls) // 3
    assert out[:n] == out[n:2 * n] == out[2 * n:]
    assert out[3][0] == "PanicException" and out[4][0] == "PanicException"


def test_first_use_from_many_threads():
    in_child(first_use_from_many_threads)


def concurrent_calls_match_serial_ones():
    x = np.random.default_rng(5).normal(size=3000)
    u = np.random.default_rng(6).uniform(size=3000)
    offsets = np.array([0, 700, 1500, 3000], np.int64)
    calls = [
        lambda: _lib.distributions.gamma_ppf(u, 2.5, 1.0),
        lambda: _lib.distributions.t_cdf(x, 4.0),
        lambda: _lib.augmentation.compute_feature_set_batch(x, offsets, 12, None, 2),
        lambda: _lib.augmentation.compute_features(x, 12),
        lambda: _lib.augmentation.dtw_distance(x[:300], x[100:400], 20),
        lambda: _lib.statistical.seasonal(2000, 7, 1.0, 0.01, 0.3, 2.0, 11),
        lambda: _lib.augmentation.moving_block_bootstrap(x, 9, 4, 12),
        lambda: _lib.pattern_injection.add_missingness(x.copy(), 3, "seasonal", 0.3, 1, 24)[0],
    ]
    want = [np.asarray(c()) for c in calls]
    differ = []

    def worker(k):
        for i in range(12):
            j = (i + k) % len(calls)
            if not np.array_equal(np.asarray(calls[j]()), want[j], equal_nan=True):
                differ.append(j)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert differ == []


def test_concurrent_calls_match_serial_ones():
    in_child(concurrent_calls_match_serial_ones)


def borrow_conflicts_between_threads():
    shared = [f64(4000, s) for s in range(3)]
    problems = []

    def writer(k):
        for i in range(40):
            a = shared[(i + k) % 3]
            try:
                if i % 2:
                    _lib.pattern_injection.add_changepoints(a, i, 3, shared[(i + k + 1) % 3], "variance",
                                                            np.zeros(0), np.zeros(0), np.zeros(0))
                else:
                    _lib.pattern_injection.add_anomalies(a, i, ["spike"], 0.01, 1e-9, 0.0, 0.0, 0)
            except TypeError as exc:
                if str(exc) != "The given array is already borrowed":
                    problems.append(repr(exc))
            except BaseException as exc:  # noqa: BLE001
                problems.append(repr(exc))

    def reader(k):
        for i in range(60):
            try:
                # Whole arrays only: a view would dangle once the resizer moves its base.
                _lib.distributions.norm_cdf(shared[(i + k) % 3])
                _lib.augmentation.dtw_distance(shared[i % 3], shared[(i + 1) % 3], 2)
            except BaseException as exc:  # noqa: BLE001
                problems.append(repr(exc))

    def resizer():
        # Dropping the tail moves the data while other calls run without the lock.
        for i in range(30):
            a = shared[i % 3]
            try:
                a.resize(a.size - 1, refcheck=False)
            except ValueError:
                pass

    threads = [threading.Thread(target=writer, args=(k,)) for k in range(3)]
    threads += [threading.Thread(target=reader, args=(k,)) for k in range(3)]
    threads.append(threading.Thread(target=resizer))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(p.startswith("ValueError('values array changed length") for p in problems), problems
    for a in shared:  # every borrow was given back: a write borrow succeeds
        _lib.pattern_injection.add_missingness(a, 1, "random", 0.0, 1, 1)


def test_borrow_conflicts_between_threads_leave_no_borrow_behind():
    in_child(borrow_conflicts_between_threads)


def sweeps_in_threads():
    names = ["t_cdf", "dtw_alignment", "add_anomalies", "compute_feature_set_batch", "generate_batch"]
    names = [n for n in names if any(n == f for _, f in registered())]
    failures = []

    def run(k):
        failures.extend(sweep(names[k:] + names[:k], report=lambda line: None))

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(names))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Reference counts are only compared within one thread's sweep.
    assert [f for f in failures if "reference counts" not in f] == []


def test_hostile_sweep_from_several_threads():
    in_child(sweeps_in_threads, timeout=120)


# ---------------------------------------------------------------------------
# Re-entry and shutdown

def reentry(case):
    x = np.zeros(3)
    if case == "first result array":
        # Making the result holder type allocates, the allocation starts a
        # collection, and a finalizer asks for a result array again.
        try:
            _lib.distributions.norm_cdf([1])  # NumPy set up, no result made yet
        except TypeError:
            pass
        call = lambda: _lib.distributions.norm_cdf(x)  # noqa: E731
    elif case == "first fault":
        call = lambda: _lib.statistical.random_walk(5, 0.0, float("inf"), 0.0, 1, 0, 0.0)  # noqa: E731
    else:
        # A refused borrow sets its error inside an except block, so the error
        # becomes an instance at once; that allocation starts a collection
        # whose finalizer takes a borrow itself.
        _lib.distributions.norm_cdf(x)
        w, e = np.zeros(8), np.zeros(0)
        call = lambda: _lib.pattern_injection.add_changepoints(w, 1, 1, w, "level", e, e, e)  # noqa: E731

    ran = []

    class Again:
        def __del__(self):
            ran.append(outcome(call, []))

    try:
        raise KeyError("being handled")
    except KeyError:
        a = Again()
        a.cycle = a
        del a
        # From here to the native first use nothing may allocate a tracked
        # object, or the collection would run too early.
        gc.set_threshold(1, 1, 1)
        try:
            call()
        except BaseException:  # noqa: BLE001
            pass
    gc.set_threshold(700, 10, 10)
    gc.collect()
    assert ran == [None]


@pytest.mark.parametrize("case", ["first result array", "first fault", "refused borrow"])
def test_reentry_from_a_finalizer_does_not_deadlock(case):
    in_child(reentry, case, timeout=30)


def daemon_threads_at_exit():
    # Threads still inside calls when the interpreter shuts down must not take
    # the process down with them.
    x = np.random.default_rng(0).uniform(size=100_000)
    offsets = np.array([0, 50_000, 100_000], np.int64)

    def spin():
        while True:
            _lib.distributions.norm_ppf(x)
            _lib.augmentation.compute_feature_set_batch(x, offsets, None, None, 0)

    for _ in range(4):
        threading.Thread(target=spin, daemon=True).start()
    time.sleep(0.3)


def test_daemon_threads_inside_calls_at_exit():
    in_child(daemon_threads_at_exit)
