"""dba_barycenter and dba_barycenters: seeded output, limits, pools and Ctrl-C."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from conftest import assert_error, digest, raised
from quillmarten import _lib
from test_dtw import EMPTY, NOT_FINITE, STRIDED

A = _lib.augmentation
BAD_WEIGHTS = "weights must be non-negative and match all input series"
CACHE = "DBA alignment cache exceeds 64 MiB; shorten series or reduce neighbors"


def case(seed, n=15, k=4):
    rng = np.random.default_rng(seed)
    reference = rng.normal(size=n)
    neighbors = [rng.normal(size=int(rng.integers(max(1, n - 6), n + 7))) + 0.3 * j for j in range(k)]
    return reference, neighbors


# Seeded output (see test_generators.py for the pattern), verified when written
# against a plain DBA that realigns every iteration and sums in order.
@pytest.mark.parametrize("seed,n,k,n_iterations,band,want", [
    (2, 15, 4, 3, None, "fffb38baf9c7dd3e"), (3, 12, 6, 4, 2, "5c48ab9d155f0541"),
    (4, 20, 0, 2, None, "e0e22725c35c41c2"), (5, 1, 3, 2, None, "cc0bbdbca56a9ab3"),
    (6, 18, 3, 5, 0, "8b9cb1f957ebbf3a"),
])
def test_seeded_barycenters(seed, n, k, n_iterations, band, want):
    reference, neighbors = case(seed, n, k)
    rng = np.random.default_rng(seed + 100)
    weights = rng.uniform(0.0, 2.0, k + 1)
    if k:
        weights[rng.integers(0, k + 1)] = 0.0  # a zero entry among positive ones is fine
    got = A.dba_barycenter(reference, neighbors, weights, n_iterations, band)
    assert got.dtype == np.float64 and got.shape == (n,)
    assert digest(got) == want


def test_barycenters_equal_single_calls():
    reference, neighbors = case(9, n=14, k=5)
    rng = np.random.default_rng(9)
    weightings = [rng.uniform(0.1, 1.0, 6) for _ in range(17)]  # chunks of 8, 8 and 1
    got = A.dba_barycenters(reference, tuple(neighbors), [list(w) for w in weightings], 3, 4)
    assert type(got) is list and len(got) == 17
    for bary, w in zip(got, weightings):
        np.testing.assert_array_equal(bary, A.dba_barycenter(reference, neighbors, w, 3, 4))


def test_alignment_cache_cap_is_inclusive():
    # (1 + 1) + (1 + 4194301) path pairs fill the 64 MiB cache exactly.
    nb = np.zeros(4_194_301)
    nb[0] = 6.0
    assert A.dba_barycenter(np.array([2.0]), [nb], np.ones(2), 1).tolist() == [8.0 / 4_194_302]


R, OK, NAN, E = np.array([1.0, 2.0, 3.0]), np.array([2.0, 1.0]), np.array([1.0, np.nan]), np.array([])
LONG = [np.zeros(4_194_302)]


@pytest.mark.parametrize("reference,neighbors,weights,n_iterations,band,message", [
    (E, [E], [], 0, -1, "band must be non-negative when provided"),
    (E, [E], [[1.0]], 0, None, "n_iterations must be in [1, 1000]"),
    (E, [E], [], 1, None, "DBA requires between 1 and 1000 copies"),
    (np.zeros(8389), [E], [[1.0]] * 1000, 1, None, "DBA output exceeds 64 MiB; reduce copies or series length"),
    (E, [NAN], [[1.0, 1.0]], 1, None, EMPTY),
    (R, [NAN, E], [[1.0, 1.0, 1.0]], 1, None, NOT_FINITE),
    (R, [OK], [[1.0, 1.0], [0.0, -0.0]], 1, None, BAD_WEIGHTS),  # a copy whose weights are all zero
    (R, [OK], [[1.0]], 1, None, BAD_WEIGHTS),
    (R, [OK], [[1e308, 1e308]], 1, None, BAD_WEIGHTS),  # the sum overflows
    (np.zeros(1), LONG, [[0.0, 0.0]], 1, None, BAD_WEIGHTS),  # weights before the cache
    (np.zeros(1), LONG, [[1.0, 1.0]], 1, None, CACHE),
])
def test_value_errors(reference, neighbors, weights, n_iterations, band, message):
    assert_error(raised(A.dba_barycenters, reference, neighbors, weights, n_iterations, band), ValueError, message)
    if len(weights) == 1:
        exc = raised(A.dba_barycenter, reference, neighbors, np.array(weights[0]), n_iterations, band)
        assert_error(exc, ValueError, message)


@pytest.mark.parametrize("fn,args,kind,text,note", [
    ("dba_barycenters", (R, [], R, 1), TypeError, None, "weights"),  # one list per copy
    ("dba_barycenters", (R, [], [[1.0]], -1), OverflowError, None, "n_iterations"),
    # The layout of a neighbour is checked after conversion, before the band.
    ("dba_barycenters", (R, [np.arange(6.0)[::2]], [[1.0]], 1, -1), TypeError, STRIDED, None),
])
def test_argument_errors(fn, args, kind, text, note):
    assert_error(raised(getattr(A, fn), *args), kind, text, note)


POOL_SCRIPT = """
import numpy as np
from quillmarten import _lib
rng = np.random.default_rng(5)
ref, nb = rng.normal(size=60), [rng.normal(size=int(rng.integers(40, 80))) for _ in range(20)]
w = rng.uniform(0.0, 1.0, (11, 21))
out = [_lib.augmentation.dba_barycenter(ref, nb, w[0], 4, 10), *_lib.augmentation.dba_barycenters(ref, nb, list(w), 3)]
print(";".join(",".join(v.hex() for v in b) for b in out))
"""


def test_pool_size_does_not_change_values():
    runs = [subprocess.run([sys.executable, "-c", POOL_SCRIPT], env=dict(os.environ, RAYON_NUM_THREADS=threads),
                           capture_output=True, text=True, timeout=120) for threads in ("1", "4")]
    assert runs[0].returncode == runs[1].returncode == 0, runs[0].stderr + runs[1].stderr
    assert runs[0].stdout == runs[1].stdout and runs[0].stdout.count(";") == 11


INTERRUPT_SCRIPT = textwrap.dedent("""
    import time
    import numpy as np
    from quillmarten import _lib
    rng = np.random.default_rng(0)
    ref = rng.normal(size=400)
    nb = [rng.normal(size=400) for _ in range(40)]
    print("ready", flush=True)
    t0 = time.perf_counter()
    try:
        _lib.augmentation.dba_barycenter(ref, nb, np.ones(41), 1000)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print(f"interrupted {time.perf_counter() - t0:.3f}", flush=True)
""")


def test_ctrl_c_interrupts_a_long_run():
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPT_SCRIPT], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(0.6)  # well inside the native call
        sent = time.perf_counter()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        reaction = time.perf_counter() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, err
    word, seconds = out.split()
    assert word == "interrupted" and float(seconds) >= 0.5
    assert reaction < 5.0


EXIT_SCRIPT = textwrap.dedent("""
    import sys, threading, time
    import numpy as np
    from quillmarten import _lib
    rng = np.random.default_rng(0)
    ref = rng.normal(size=1200)
    nb = [rng.normal(size=1200) for _ in range(29)]
    def loop():
        while True:
            if sys.argv[1] == "one":
                _lib.augmentation.dba_barycenter(ref, nb, np.ones(30), 1000)
            else:
                _lib.augmentation.dba_barycenters(ref, nb, [np.ones(30)] * 2, 1000)
    for _ in range(3):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.2)
""")


@pytest.mark.parametrize("fn", ["one", "several"])
def test_daemon_threads_inside_a_barycentre_at_exit(fn):
    # Threads inside a barycentre take the interpreter lock back between
    # chunks to look for signals; one that did so after finalisation had gone
    # far enough once ended the process in about one exit in four.
    for _ in range(12):
        proc = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, fn], capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0 and "runtime error" not in proc.stderr, (proc.returncode, proc.stderr[-2000:])
