"""Hostile arguments against every registered function, and the crashes they found.

A call ends in a result, in an exception the engine raises on purpose or in
the one the caller's own object raised while being converted, never in a crash
or a hang. Everything runs in child interpreters with a bounded address space,
where a size that cannot be held must come back as MemoryError or ValueError.
"""

import ast
import gc
import inspect
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import quillmarten
from conftest import digest, find_function, in_fork
from test_generators import GENERATORS
from test_pattern_injection import ALIASES
from quillmarten import _lib

HERE = os.path.dirname(os.path.abspath(__file__))
PKG_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(quillmarten.__file__)))
ADDRESS_SPACE = 3 << 30  # room for NumPy, the pools and small inputs, far from any huge request


class Hostile(Exception):
    """Raised by the argument objects below from their conversion hooks."""


ALLOWED = (TypeError, OverflowError, ValueError, MemoryError, IndexError, Hostile)


# ---------------------------------------------------------------------------
# Valid calls, built fresh for every use (the injectors change their input)

def f64(n, seed=0):
    return np.random.default_rng(seed).normal(size=n)


def unit(n):
    return np.random.default_rng(0).uniform(0.01, 0.99, size=n)


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
    "mar_features_batch": lambda: [[[2.0, 2.0, 0.0, 1.0, 0.5, 0.5, 1.5, 10.0, 0.0, 0.0, 0.0, 0.0]], [[]],
                                   [20, 30], [[1, 2]], None, 0],
    "compute_feature_set_batch": lambda: [f64(30), np.array([0, 10, 30], np.int64), None, 4, 0],
    "moving_block_bootstrap": lambda: [f64(24), 4, 7, None],
    "moving_block_bootstrap_many": lambda: [f64(24), 4, [1, 2], 6],
    "add_changepoints": lambda: [f64(20), 1, 2, np.zeros(0), "mixed", np.array([1.0]), np.zeros(0), np.zeros(0)],
    "add_missingness": lambda: [f64(20), 1, "block", 0.3, 2, 4],
    "add_anomalies": lambda: [f64(20), 1, ["spike", "dip", "level_shift"], 0.2, 1.0, -1.0, 2.0, 3],
    "gamma_ppf": lambda: [unit(10), 2.0, 1.5],
    "generate_batch": lambda: [*batch_spec().values(), 0],
    "generate_multi_batch": lambda: [[batch_spec(), batch_spec()], 0],
}
# Anything else: its defaults, and a guess by parameter name that gets past
# the leading arguments, where the sweep does its work.
GUESS = {"length": 16, "seed": 1, "n_workers": 0, "values": f64, "x": f64, "u": unit, "p": unit}


def valid_args(name):
    if name in VALID:
        return VALID[name]()
    if name in GENERATORS:  # the generators' own valid arguments, 16 values
        base = GENERATORS[name].base | {"length": 16, "seed": 1}
        return [base[p] for p in inspect.signature(find_function(name)).parameters]
    out = []
    for item in find_function(name).__text_signature__.strip("()").split(","):
        param, eq, default = item.strip().partition("=")
        guess = GUESS.get(param, 1)
        out.append(ast.literal_eval(default) if eq else guess(16) if callable(guess) else guess)
    return out


# ---------------------------------------------------------------------------
# Hostile values: one of each way a conversion can go wrong

def give(v):
    """v, or a fresh copy of it raised if it is an exception (so no traceback stays held)."""
    if isinstance(v, BaseException):
        raise type(v)(*v.args)
    return v


class Converts:
    """Converts to `to` through __index__ and __float__ (an exception: raised)."""

    def __init__(self, to):
        self.to = to

    def __index__(self):
        return give(self.to)

    __float__ = __index__


WRECK = {
    "retype": lambda a: setattr(a, "dtype", np.int8),
    "reshape": lambda a: setattr(a, "shape", (1, a.size)),
    "resize": lambda a: a.resize(1 if a.size > 1 else 7, refcheck=False),
}


class Mutator:
    """Converts to 1 / 1.0, sized 3, but first wrecks its victims: lists are
    emptied, arrays get another dtype, shape or size in place, dicts have
    their arrays wrecked and are then emptied (kept, for "retype")."""

    def __init__(self, how, victims=()):
        self.how, self.victims = how, list(victims)

    def strike(self, victims=None):
        for v in self.victims if victims is None else victims:
            try:
                if isinstance(v, list):
                    v.clear()
                elif isinstance(v, dict):
                    self.strike([x for x in v.values() if isinstance(x, np.ndarray)])
                    if self.how != "retype":
                        v.clear()
                elif isinstance(v, np.ndarray) and v.flags.c_contiguous and v.base is None and v.size:
                    WRECK[self.how](v)
            except (ValueError, TypeError, AttributeError):
                pass

    def __index__(self):
        self.strike()
        return 1

    def __float__(self):
        return float(self.__index__())

    def __len__(self):
        self.strike()
        return 3

    def __getitem__(self, i):
        self.strike()
        return (1.0, 1.0, 1.0)[i]


class Seq:
    """A sequence of two, 1.0 and 2.0, that claims `length` items; an
    exception as `length` or `item` is raised by __len__ or __getitem__."""

    def __init__(self, length=10**6, item=None):
        self.length, self.item = length, item

    def __len__(self):
        return give(self.length)

    def __getitem__(self, i):
        return give(self.item) if self.item else (1.0, 2.0)[i]


class LongList(list):
    def __len__(self):
        return 10**6


def hostile_values():
    """(label, value) pairs, made afresh for every place."""
    misaligned = np.zeros(6 * 8 + 1, np.uint8)[1:].view(np.float64)
    readonly = f64(6)
    readonly.flags.writeable = False
    cleared_by_its_item = [1.0, 2.0, 3.0]
    cleared_by_its_item[1] = Mutator("resize", [cleared_by_its_item])
    values = [
        None, True, np.uint64(2**64 - 1), 0, -1, 2**31 - 1, 2**64 - 1, 2**64, float("nan"), float("inf"),
        "", "\udc80", object(), Converts(Hostile("index")), Converts("1"),
        [], [[]], [None], [2**64], [f64(4), f64(0)], {"a": 1}, range(2**62), memoryview(b"abcdefgh"),
        Seq(), Seq(Hostile("len"), Hostile("item")), Seq(3, Hostile("item")), LongList([1.0]), cleared_by_its_item,
        np.zeros(0), np.array(1.5), np.zeros((2, 3)), np.zeros(3, np.float32), np.zeros(3, ">f8"),
        np.zeros(3, object), f64(10)[::2], misaligned, readonly, np.full(5, np.nan),
        np.array([-1, 2**31 - 1], np.int32), np.array([-5, 3], np.int64), np.array([0, 2**62], np.int64),
        np.array([2**64 - 1, 0], np.uint64), *map(Mutator, WRECK),
    ]
    return [(f"ndarray{v.shape}[{v.dtype}]" if isinstance(v, np.ndarray) else f"{type(v).__name__}:{v!r}"[:40], v)
            for v in values]


def outcome(fn, args, kwargs=None, count_refs=True):
    """None when the call ended acceptably, else what went wrong."""
    watched = [a for a in args if isinstance(a, (np.ndarray, list, dict, Seq))] if count_refs else []
    before = [sys.getrefcount(a) for a in watched]
    try:
        fn(*args, **(kwargs or {}))
    except ALLOWED:
        pass
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        if type(exc).__name__ != "PanicException" or isinstance(exc, Exception):
            return f"{type(exc).__name__}: {exc}"
    after = [sys.getrefcount(a) for a in watched]
    return None if before == after else f"reference counts of the arguments changed: {before} -> {after}"


PI_KEYS = [
    "changepoints", "num_changepoints", "changepoint_type", "changepoint_locations", "changepoint_level_changes",
    "changepoint_trend_changes", "changepoint_variance_changes", "anomalies", "anomaly_types", "anomaly_fraction",
    "spike_magnitude", "dip_magnitude", "level_shift_magnitude", "level_shift_duration", "missing_data",
    "missing_pattern", "missing_rate", "missing_block_size", "missing_seasonal_period",
]


def places(name, params):
    """Where a hostile value goes: (label, find) with find(args) giving the
    container and the key or index to overwrite."""
    out = [(p, lambda args, i=i: (args, i)) for i, p in enumerate(params)]
    if name == "generate_batch":
        out += [(f"pi_config[{k}]", lambda args, k=k: (args[6], k)) for k in PI_KEYS]
    if name == "generate_multi_batch":
        out += [(f"specs[1][{k}]", lambda args, k=k: (args[0][1], k)) for k in batch_spec()]
        out += [(f"specs[1][pi_config][{k}]", lambda args, k=k: (args[0][1]["pi_config"], k)) for k in PI_KEYS]
    return out


def sweep(names):
    """Every hostile value at every place of every function, then unusual bindings."""
    failures = []
    for name in names:
        fn = find_function(name)
        params = [p.strip().partition("=")[0] for p in fn.__text_signature__.strip("()").split(",")]
        try:  # a template that fails would leave the later places unswept
            fn(*valid_args(name))
        except BaseException as exc:  # noqa: BLE001
            failures.append(f"{name} with valid arguments: {exc!r}")
        for place, find in places(name, params):
            for label, value in hostile_values():
                if place == "n_workers" and type(value) is int and 8 < value < 2**64:
                    continue  # real threads, more than the address space holds; tested on their own
                args = valid_args(name)
                target, key = find(args)
                target[key] = value
                if isinstance(value, Mutator):  # it changes its victims' reference counts
                    value.victims = [a for a in args if a is not value] + ([target] if target is not args else [])
                print(f"CASE {name}:{place}={label}", flush=True)
                if (problem := outcome(fn, args, count_refs=not isinstance(value, Mutator))) is not None:
                    failures.append(f"{name}:{place}={label}: {problem}")
        for args, kwargs in (([], {"\udc80": 1}), (list(range(300)), {})):
            if (problem := outcome(fn, args, kwargs)) is not None:
                failures.append(f"{name} bound to {len(args)} positionals, {list(kwargs)!r}: {problem}")
    assert failures == [], failures


# ---------------------------------------------------------------------------
# Child interpreters

PRELUDE = """
import faulthandler, resource, sys
faulthandler.enable()
if {limit}:
    resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))
sys.path[:0] = [{here!r}, {pkg!r}]
import test_hostile_inputs as H
"""

# Few threads whatever the machine, so the address space left for the calls
# does not shrink with the number of cores.
CHILD_ENV = {"RAYON_NUM_THREADS": "4", "MALLOC_ARENA_MAX": "4", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}


def in_child(fn, *args, timeout=60, limit=ADDRESS_SPACE):
    """Runs this module's `fn(*args)` in a fresh interpreter, failing if the
    child dies, hangs or fails an assertion."""
    code = PRELUDE.format(limit=limit, here=HERE, pkg=PKG_ROOT) + f"H.{fn.__name__}(*{args!r})\n"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **CHILD_ENV})
    cases = [line[5:] for line in proc.stdout.splitlines() if line.startswith("CASE ")]
    where = cases[-1] if cases else "(no case started)"
    assert proc.returncode == 0, f"child ended with {proc.returncode} during {where}\n{proc.stderr[-3000:]}"


@pytest.mark.parametrize("sub", [s for s in _lib.__all__[1:] if getattr(getattr(_lib, s), "__all__", [])])
def test_hostile_arguments_everywhere(sub):
    in_child(sweep, list(getattr(_lib, sub).__all__), timeout=120)


# ---------------------------------------------------------------------------
# Arrays changed by a later argument's conversion hook

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

    for fn in (_lib.distributions.t_cdf, _lib.augmentation.classical_decompose):
        a.dtype = np.float64
        with pytest.raises(TypeError, match=r"^'ndarray' object is not an instance of 'ndarray\[float64\]'$"):
            fn(a, Retype())
    # A write target changed before its copy back is refused and left as it was.
    for how in ("retype", "reshape"):
        x = f64(4096)
        before = x.copy()
        with pytest.raises(TypeError, match=r"is not an instance of 'ndarray\[float64\]'"):
            _lib.pattern_injection.add_missingness(x, 1, "random", Mutator(how, [x]), 1, 1)
        np.testing.assert_array_equal(x.view(np.float64).ravel(), before)
    # A resized one is read as it is then.
    a = np.arange(1.0, 9.0)
    got = _lib.distributions.uniform_ppf(a, Mutator("resize", [a]), 1.0)
    np.testing.assert_array_equal(got, [2.0])


def test_arrays_changed_by_a_later_argument():
    in_child(retyped_by_a_later_argument)


def pi_config_dropped_while_read():
    # Reading one value replaces this entry's "pi_config", and a new dict takes
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


def test_pi_config_dropped_while_it_is_read():
    in_child(pi_config_dropped_while_read)


# ---------------------------------------------------------------------------
# Sizes and worker counts that cannot be had

HUGE = [
    ("random_walk", [2**31 - 1, 0.0, 1.0, 0.0, 1, 0, 0.0]),
    ("add_changepoints", [f64(10), 1, 2**31 - 1, np.zeros(0), "level", np.zeros(0), np.zeros(0), np.zeros(0)]),
    ("moving_block_bootstrap_many", [f64(24), 4, range(10**13), None]),
    ("generate_batch", [0, np.zeros(5), [], np.array([2**31 - 1], np.int32), np.ones(1, np.uint64),
                        np.ones(3, np.uint64), {}, 0]),
    ("generate_batch", [0, np.zeros(5), [], np.array([5], np.int32), np.ones(1, np.uint64),
                        np.ones(3, np.uint64), {"changepoints": True, "num_changepoints": 2**31 - 1}, 0]),
]


def huge_requests():
    for name, args in HUGE:
        print("CASE", name, flush=True)
        with pytest.raises((MemoryError, ValueError)):
            find_function(name)(*args)


def test_huge_requests_fail_cleanly():
    in_child(huge_requests)


def vital_signs_beyond_memory():
    # Room for the output but not for the event series beside it. The series
    # is taken before the first draw: with a NaN baseline_std that draw would
    # fault, and a long run would draw for seconds before failing.
    import resource
    n = 10**7
    with open("/proc/self/status") as status:
        in_use = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (in_use + 12 * n, in_use + 12 * n))
    run = lambda std, events, kind: _lib.domain.vital_signs(  # noqa: E731
        n, 70.0, std, 40.0, 180.0, True, 5.0, True, events, 0.05, kind, 7)
    for std, events, kind in ((5.0, True, 1), (float("nan"), True, 0), (float("nan"), False, 4)):
        print("CASE", std, events, kind, flush=True)
        with pytest.raises(MemoryError):
            run(std, events, kind)
    print("CASE without event series", flush=True)
    assert run(5.0, False, 0).shape == (n,)


def test_vital_signs_takes_its_event_series_before_drawing():
    in_child(vital_signs_beyond_memory, limit=0)


def huge_worker_count():
    x, offsets = f64(40), np.array([0, 10, 25, 40], np.int64)
    for run in (lambda n: _lib.augmentation.compute_feature_set_batch(x, offsets, None, 4, n),
                lambda n: _lib.batch.generate_batch(*valid_args("generate_batch")[:-1], n)):
        np.testing.assert_equal(run(2**64 - 1), run(1))
    # The pool's threads live on; at most 1024 of them, and they must not take
    # the process down.
    time.sleep(2)
    assert len(os.listdir("/proc/self/task")) < 1100


def test_huge_worker_count_is_capped():
    in_child(huge_worker_count, timeout=30, limit=0)


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


def exit_workload(kind):
    """A call that releases the interpreter lock for tens of milliseconds."""
    rng = np.random.default_rng(0)
    if kind == "distributions and features":
        x = rng.uniform(size=100_000)
        offsets = np.array([0, 50_000, 100_000], np.int64)
        return lambda: (_lib.distributions.norm_ppf(x),
                        _lib.augmentation.compute_feature_set_batch(x, offsets, None, None, 0))
    if kind == "batch":
        n = 64
        return lambda: [_lib.batch.generate_batch(0, np.array([0.0, 1.0, 0.0, 0, 0.0]), [], np.full(n, 20_000, np.int32),
                                                  np.arange(n, dtype=np.uint64), np.arange(3 * n, dtype=np.uint64),
                                                  {"missing_data": True}, w) for w in (0, 3)]
    raise ValueError(kind)


def daemon_threads_at_exit(kind):
    # Threads still inside calls when the interpreter shuts down must not take
    # the process down with them.
    call = exit_workload(kind)

    def spin():
        while True:
            call()

    for _ in range(4):
        threading.Thread(target=spin, daemon=True).start()
    time.sleep(0.2)


# (test_dba.py has the barycentres, which take the lock back during their work)
@pytest.mark.parametrize("kind", ["distributions and features", "batch"])
def test_daemon_threads_inside_calls_at_exit(kind):
    in_child(daemon_threads_at_exit, kind)


def fork_while_threads_borrow(forks=20):
    # Threads keep the borrow registry busy: norm_cdf takes and drops a read
    # borrow, add_missingness holds a write borrow while it works without the
    # lock. A forked child has none of those threads, so it must find the
    # registry unlocked and holding nothing, and write into the same arrays.
    arrays = [np.random.default_rng(i).uniform(size=400_000) for i in range(3)]
    stop = threading.Event()

    def spin(x):
        while not stop.is_set():
            _lib.distributions.norm_cdf(x)
            _lib.pattern_injection.add_missingness(x, 0, "random", 0.01, 1, 1)

    threads = [threading.Thread(target=spin, args=(x,)) for x in arrays]
    for t in threads:
        t.start()
    try:
        for i in range(forks):
            time.sleep(0.02)
            outcome = in_fork(lambda: [_lib.pattern_injection.add_missingness(x, 0, "random", 0.01, 1, 1)
                                       for x in arrays], deadline=10)
            assert outcome == "ok", f"fork {i}: {outcome}"
    finally:
        stop.set()
        for t in threads:
            t.join()


def test_fork_while_threads_borrow():
    in_child(fork_while_threads_borrow, timeout=60)


# ---------------------------------------------------------------------------
# Worker threads that cannot be started

def workers_that_cannot_start(cap):
    # A pool that cannot start a worker must get by with the threads that
    # fit, not end the process. Threads are capped by the address space (set
    # by in_child) or, for users other than root, by their number. The
    # largest count comes first, so the first pool built runs into the cap.
    if cap == "threads":
        import resource
        resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
    n = 4096
    run = lambda workers: _lib.batch.generate_batch(  # noqa: E731
        0, np.array([0.0, 1.0, 0.0, 0.0, 0.0]), [], np.full(n, 2000, np.int32), np.arange(1, n + 1, dtype=np.uint64),
        np.arange(3 * n, dtype=np.uint64), dict(PI_CONFIG), workers)
    print("CASE 1024", flush=True)
    first = run(1024)
    want = run(1)
    for workers in (1024, 64, 0, 256):
        print("CASE", workers, flush=True)
        got = first if workers == 1024 else run(workers)
        for a, b in zip(got, want, strict=True):
            for key in b:
                np.testing.assert_array_equal(a[key], b[key])


@pytest.mark.parametrize("cap,limit", [("address space", 1536 << 20), ("threads", 0)])
def test_pool_gets_by_with_the_threads_that_fit(cap, limit):
    in_child(workers_that_cannot_start, cap, limit=limit, timeout=120)


# ---------------------------------------------------------------------------
# pi_config values whose conversion hooks raise

# One place per kind of key whose conversion runs the value's own code: an
# integer (__index__), a float (__float__), a float list (an item's
# __float__, the sequence's __len__) and a text list (__getitem__).
HOOKED_PI_VALUES = {
    "num_changepoints": Converts, "missing_rate": Converts,
    "changepoint_locations": lambda exc: [1.0, Converts(exc)], "changepoint_level_changes": Seq,
    "anomaly_types": lambda exc: Seq(3, exc),
}


@pytest.mark.parametrize("key", HOOKED_PI_VALUES)
@pytest.mark.parametrize("exc,falls_back", [
    *[(e, True) for e in (TypeError, ValueError, OverflowError, RuntimeError, ZeroDivisionError, IndexError, Hostile)],
    *[(e, False) for e in (KeyboardInterrupt, SystemExit, MemoryError)],
])
def test_pi_config_conversion_errors_fall_back_but_interrupts_propagate(key, exc, falls_back):
    args = valid_args("generate_batch")
    args[6] = {"missing_data": True, key: HOOKED_PI_VALUES[key](exc("raised by the hook"))}
    if falls_back:
        assert all(len(r["miss_indices"]) == 0 for r in _lib.batch.generate_batch(*args))
    else:
        with pytest.raises(exc, match="raised by the hook"):
            _lib.batch.generate_batch(*args)


# ---------------------------------------------------------------------------
# pi_config lists that shrink or grow while they are read

LIST_KEYS = {"changepoint_locations": [0.25, 0.75], "changepoint_level_changes": [1.0, 2.0],
             "changepoint_trend_changes": [0.5, -0.5], "changepoint_variance_changes": [2.0, 0.5],
             "anomaly_types": ["spike", "dip"]}


def change(items, how):
    items.clear() if how == "shrink" else items.append(items[-1])


class ChangedByItsFirstRead(list):
    def __getitem__(self, i):
        item = super().__getitem__(i)
        if i == 0:
            change(self, self.how)
        return item


def changing_list(key, how, by):
    if by == "__getitem__":
        out = ChangedByItsFirstRead(LIST_KEYS[key])
        out.how = how
        return out
    out = list(LIST_KEYS[key])  # the first item's __float__ changes the list
    first = out[0]
    out[0] = type("Hook", (), {"__float__": lambda _: (change(out, how), first)[1]})()
    return out


def batch_outcome(key, value=None):
    """Digest of a batch with `key` set to `value` (None: absent), or the fault it ended in."""
    config = {"changepoints": True, "num_changepoints": 2, "changepoint_type": "mixed",
              "anomalies": True, "anomaly_types": ["spike"], "anomaly_fraction": 0.2}
    config.pop(key, None)
    if value is not None:
        config[key] = value
    try:
        rows = _lib.batch.generate_batch(0, np.array([0.0, 1.0, 0.0, 0.0, 0.0]), [], np.array([10, 7], np.int32),
                                         np.array([1, 2], np.uint64), np.arange(6, dtype=np.uint64), config, 0)
    except BaseException as exc:  # noqa: BLE001 - an empty anomaly_types faults
        return type(exc).__name__, str(exc)
    return digest(*(a for r in rows for a in r.values()))


@pytest.mark.parametrize("key,by", [(k, by) for k in LIST_KEYS for by in ("__getitem__", "item hook")
                                    if by == "__getitem__" or k != "anomaly_types"])
@pytest.mark.parametrize("how", ["shrink", "grow"])
def test_pi_config_lists_changed_while_read_count_as_empty(key, how, by):
    absent = batch_outcome(key)
    assert batch_outcome(key, list(LIST_KEYS[key])) != absent  # the key matters when it reads
    assert batch_outcome(key, changing_list(key, how, by)) == absent


# ---------------------------------------------------------------------------
# Sequences that claim more items than they hold

class Claims:
    """`items`, claiming to hold `length` of them; reading past them raises IndexError."""

    def __init__(self, length, items):
        self.length, self.items = length, list(items)

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


# Where a false claim is read: an argument (its call, its two real items and
# the note its error gets) or a pi_config list key.
CLAIMED_ARGUMENTS = {
    "add_anomalies(anomaly_types)": (
        lambda seq: _lib.pattern_injection.add_anomalies(f64(20), 1, seq, 0.2, 1.0, -1.0, 2.0, 3),
        ["spike", "dip"], "anomaly_types"),
    "mar_features_batch(scalars)": (
        lambda seq: _lib.augmentation.mar_features_batch([seq], [[]], [20, 30], [[1, 2]], None, 0),
        [2.0, 2.0], "scalars"),
    "nearest_dtw_neighbors(series)": (
        lambda seq: _lib.augmentation.nearest_dtw_neighbors(seq, 0.5, 1), [f64(6), f64(6, 1)], "series"),
}
CLAIMED_PI_KEYS = ["changepoint_locations", "anomaly_types"]


def claimed_lengths(place):
    # A length no memory could hold must end as the modest false claim does:
    # nothing may be sized by a length before its items have been read.
    for length in (10**6, 2**40, 2**62):
        print("CASE", place, length, flush=True)
        if place in CLAIMED_ARGUMENTS:
            call, items, param = CLAIMED_ARGUMENTS[place]
            with pytest.raises(IndexError) as info:
                call(Claims(length, items))
            assert str(info.value) == "list index out of range"
            assert info.value.__notes__ == [f"while processing '{param}'"]
        else:  # a value that does not convert reads as the key absent
            assert batch_outcome(place, Claims(length, LIST_KEYS[place])) == batch_outcome(place)


@pytest.mark.parametrize("place", [*CLAIMED_ARGUMENTS, *CLAIMED_PI_KEYS])
def test_claimed_lengths_size_nothing(place):
    in_child(claimed_lengths, place)


@pytest.mark.parametrize("length", [10, 10**13, 2**62])
def test_a_range_of_the_wrong_items_fails_on_its_first_whatever_its_length(length):
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        _lib.pattern_injection.add_anomalies(f64(20), 1, range(length), 0.2, 1.0, -1.0, 2.0, 3)


# ---------------------------------------------------------------------------
# One array updated in place by two threads at once

# The second thread writes through x itself or through an alias that does not
# name x as its base.
@pytest.mark.parametrize("alias", ["same", "memoryview", "as_strided"])
def test_concurrent_injections_into_one_array_lose_nothing(alias):
    # Each call either lands in full or is refused as already borrowed, so the
    # blanks in the array are exactly those the successful calls report.
    for trial in range(5):
        x = np.zeros(2_000_000)
        targets = {1: x, 2: x if alias == "same" else ALIASES[alias](x)}
        start = threading.Barrier(2)
        reported, refused = [], []

        def inject(k):
            start.wait()
            try:
                reported.append(_lib.pattern_injection.add_missingness(targets[k], trial * 2 + k, "random", 0.3, 1,
                                                                       1)[1])
            except TypeError as exc:
                assert str(exc) == "The given array is already borrowed"
                refused.append(k)

        threads = [threading.Thread(target=inject, args=(k,)) for k in (1, 2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(reported) + len(refused) == 2 and reported
        want = np.zeros(x.size, bool)
        for r in reported:
            want[r["missing_indices"]] = True
        np.testing.assert_array_equal(np.isnan(x), want)
