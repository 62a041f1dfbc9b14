"""Thread pools behind the batch functions: the default pool's size from the
environment, the one-slot cache for other worker counts, and pools that
outlive failures, and replacement while concurrent callers still use them.

Pool sizes are seen from outside as the process's thread count after a few
large batches (TBB starts its threads on demand, so the batch must keep them
all busy), and so each size check runs in a fresh interpreter."""

import os
import resource
import subprocess
import sys
import threading

import numpy as np
import pytest

from conftest import assert_panics, digest, raised
from quillmarten import _lib

B = _lib.batch
SCALARS = np.array([0.0, 1.0, 0.0, 0, 0.0])
PI = {"changepoints": True, "num_changepoints": 2, "anomalies": True, "anomaly_types": ["spike"],
      "anomaly_fraction": 0.05, "spike_magnitude": 3.0, "missing_data": True, "missing_rate": 0.1}


def run(n_workers=0, n=256):
    """The digest of a batch of n series with every injector on."""
    out = B.generate_batch(0, SCALARS, [], np.full(n, 2000, np.int32), np.arange(n, dtype=np.uint64),
                           np.arange(3 * n, dtype=np.uint64), PI, n_workers)
    return digest(*(a for r in out for a in r.values()))


def threads():
    return len(os.listdir("/proc/self/task"))


def child_output(env, code, blas_threads=False):
    """The words printed by `code` run in a fresh interpreter that imports this module as T."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("RAYON_", "OPENBLAS_", "OMP_"))} | env
    if not blas_threads:
        env["OPENBLAS_NUM_THREADS"] = env["OMP_NUM_THREADS"] = "1"  # keep NumPy's own threads out of the count
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.abspath(__file__)), *filter(None, sys.path)])
    done = subprocess.run([sys.executable, "-c", "import test_pools as T\n" + code], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def probe(env, n_workers=0):
    """(thread count, digest) of a fresh interpreter after four runs."""
    threads, h = child_output(env, f"for _ in range(4): h = T.run({n_workers})\nprint(T.threads(), h)")
    return int(threads), h


CPUS = os.cpu_count() or 1


# (environment, n_workers, threads): the environment sizes only the default pool (n_workers 0).
@pytest.mark.parametrize("env,n_workers,threads", [
    ({}, 0, CPUS),
    ({"RAYON_NUM_THREADS": "3"}, 0, 3),
    ({"RAYON_NUM_THREADS": "+2", "RAYON_RS_NUM_CPUS": "5"}, 0, 2),
    ({"RAYON_NUM_THREADS": "+", "RAYON_RS_NUM_CPUS": "+3"}, 0, 3),  # not a number: the next variable decides
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "2"}, 0, CPUS),  # 0 means the processors
    ({"RAYON_NUM_THREADS": "99999999999999999999", "RAYON_RS_NUM_CPUS": "2"}, 0, 2),  # overflows
    ({"RAYON_NUM_THREADS": "2"}, 1, 1), ({"RAYON_NUM_THREADS": "2"}, 3, 3), ({}, CPUS + 4, CPUS + 4),
])
def test_pool_size(env, n_workers, threads):
    assert probe(env, n_workers) == (threads, run())


def test_concurrent_callers_while_pools_are_replaced():
    want = run(1, n=64)
    errors = []

    def work(k):
        try:
            for r in range(6):
                assert run((2, 3, 5, 0, 7)[(k + r) % 5], n=64) == want
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(5)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@pytest.mark.parametrize("n_workers", [0, 3])
def test_pool_survives_failed_runs(n_workers):
    want = run(n_workers)
    lengths = np.full(1000, 500, np.int32)
    lengths[777] = -1  # a fault on some worker
    seeds, pi_seeds = np.arange(1000, dtype=np.uint64), np.arange(3000, dtype=np.uint64)
    assert_panics(B.generate_batch, 0, SCALARS, [], lengths, seeds, pi_seeds, PI, n_workers)
    assert run(n_workers) == want
    specs = [{"gen_type": g, "scalar_params": SCALARS, "array_params": [], "lengths": lengths[:500],
              "gen_seeds": seeds, "pi_seeds": pi_seeds, "pi_config": {}} for g in (0, 17, 0)]
    exc = raised(B.generate_multi_batch, specs, n_workers)
    assert type(exc) is ValueError and str(exc) == "unknown generator type: 17"
    assert run(n_workers) == want


def counts_changing_on_every_call(calls=12000):
    """RSS in MiB after the first 2,000 calls and at the end, on two CPUs, of a
    loop that asks for another worker count on every call, generating and
    computing features in turn (the two share the pool cache)."""
    os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:2])  # before any pool thread starts
    spec = {"gen_type": 0, "scalar_params": SCALARS, "array_params": [], "lengths": np.array([40, 40], np.int32),
            "gen_seeds": np.arange(2, dtype=np.uint64), "pi_seeds": np.arange(6, dtype=np.uint64), "pi_config": {}}
    x, offsets = np.linspace(0.0, 1.0, 80), np.array([0, 40, 80], np.int64)
    rss = []
    for i in range(calls):
        if i % 2:
            _lib.augmentation.compute_feature_set_batch(x, offsets, None, 4, 1 + i % 7)
        else:
            B.generate_multi_batch([spec], 1 + i % 7)
        if i + 1 in (2000, calls):
            rss.append(int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE") >> 20)
    return rss


def test_changing_the_worker_count_keeps_memory_flat():
    # Replaced pools once stayed behind in the scheduler: about 8 KiB per change.
    warm, end = map(int, child_output({}, "print(*T.counts_changing_on_every_call())"))
    assert end - warm <= 8, (warm, end)


def distributions_then_batch():
    """Thread counts: at the start, after each distributions function on 10^6 values, after one batch."""
    D = _lib.distributions
    u = np.linspace(0.001, 0.999, 10**6)
    counts = [threads()]
    for call in (D.norm_cdf, D.norm_ppf, lambda u: D.t_cdf(u, 3.0), lambda u: D.gamma_ppf(u, 2.5, 1.0),
                 lambda u: D.expon_ppf(u, 1.0), lambda u: D.lognorm_ppf(u, 0.5, 1.0),
                 lambda u: D.uniform_ppf(u, 0.0, 1.0)):
        call(u)
        counts.append(threads())
    run()
    return counts + [threads()]


def test_distributions_run_on_the_calling_thread_only():
    # Callers that run these functions from their own workers count on one call
    # being one thread: no pool may start. The batch afterwards shows that the
    # pool's threads would have been seen.
    *counts, after_batch = map(int, child_output({"RAYON_NUM_THREADS": "4"}, "print(*T.distributions_then_batch())"))
    assert counts == [counts[0]] * 8 and after_batch > counts[0]


def largest_array_mib(top):
    """The largest float64 array, in MiB, that can be allocated now (at most `top`)."""
    lo, hi = 0, top
    while lo < hi:
        mid = (lo + hi + 1) // 2
        try:
            np.empty(mid << 17)
            lo = mid
        except MemoryError:
            hi = mid - 1
    return lo


def free_mib():
    """Address space left under the cap, in MiB."""
    mapped = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    return (resource.getrlimit(resource.RLIMIT_AS)[0] - mapped) >> 20


def room_around_calls(counts):
    """For each count in turn (under the address-space cap the child was given):
    the largest array and the free address space before and after the first
    batch with it, whether its values are those of one worker, and the thread
    count after."""
    want = run(1, n=16)
    top = resource.getrlimit(resource.RLIMIT_AS)[0] >> 20
    # Once a process has had a second thread, glibc answers the first failed
    # allocation with a new allocator arena (64 MiB of address space) for the
    # failing thread: let the measure itself pay for that before it counts.
    t = threading.Thread(target=int)
    t.start()
    t.join()
    largest_array_mib(top)
    for n in counts:
        before, free = largest_array_mib(top), free_mib()
        same = run(n, n=16) == want
        print(n, before, largest_array_mib(top), free, free_mib(), int(same), threads())


def capped_child(cap_mib, counts, above_mapped=False):
    """room_around_calls in a child with NumPy's own BLAS threads, capped at
    cap_mib (above what the child has mapped once imported, with above_mapped)."""
    base = "int(open('/proc/self/statm').read().split()[0]) * os.sysconf('SC_PAGE_SIZE')" if above_mapped else "0"
    code = (f"import os, resource\nimport numpy\ncap = {base} + ({cap_mib} << 20)\n"
            f"resource.setrlimit(resource.RLIMIT_AS, (cap, cap))\nT.room_around_calls({counts!r})")
    words = child_output({}, code, blas_threads=True)
    return [tuple(map(int, words[i:i + 7])) for i in range(0, len(words), 7)]


# Each order starts with a count larger than any before it in its child.
@pytest.mark.parametrize("cap_mib", [1024, 2048, 3072])
@pytest.mark.parametrize("counts", [(8, 64, 1024), (256, 1024), (1024,)])
def test_address_space_cap_never_ends_the_process_and_keeps_half_the_room(cap_mib, counts):
    # Starting pool threads once aborted the process in about a third of such
    # children, and left a tenth of the room; the workers that did start must
    # still leave half of what was free, and give one worker's values.
    for _ in range(2):
        for n, before, after, free_before, free_after, same, _threads in capped_child(cap_mib, list(counts)):
            assert same, n
            assert after >= before // 2 and free_after >= free_before // 2, (n, before, after, free_before, free_after)


def test_a_pool_with_no_room_for_a_worker_costs_next_to_nothing():
    # 100 MiB free: half of it holds no worker with its allocator arena.
    (n, before, after, free_before, free_after, same, count), = capped_child(100, [64], above_mapped=True)
    assert same and after >= before - 4 and free_after >= free_before - 4, (before, after, free_before, free_after)
    (*_, alone), = capped_child(100, [1], above_mapped=True)
    assert count == alone
