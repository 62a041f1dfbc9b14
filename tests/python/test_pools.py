"""Thread pools behind the batch functions: the default pool's size from the
environment, the one-slot cache for other worker counts, pools that outlive
failures, replacement while concurrent callers still use them, several
callers under an address-space cap, forks, and pools left idle.

Pool sizes are seen from outside as the process's thread count: a pool of n
threads starts its n - 1 workers when it is built (the caller is the n-th),
and a replaced pool ends them. So each size check runs in a fresh
interpreter, as does everything that could end or hang the process."""

import os
import random
import resource
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import assert_panics, digest, in_fork, raised
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


def probe(env, counts):
    """(thread count, digest) of a fresh interpreter after four runs with each count in turn."""
    code = f"for n in {list(counts)!r}:\n    for _ in range(4): h = T.run(n)\nprint(T.threads(), h)"
    threads, h = child_output(env, code)
    return int(threads), h


CPUS = os.cpu_count() or 1


# (environment, counts run in turn, threads): the environment sizes only the
# default pool (n_workers 0), which is built on first use and kept beside the
# pool of the last other count; a replaced pool ends its workers.
@pytest.mark.parametrize("env,counts,threads", [
    ({}, [0], CPUS),
    ({"RAYON_NUM_THREADS": "3"}, [0], 3),
    ({"RAYON_NUM_THREADS": "+2", "RAYON_RS_NUM_CPUS": "5"}, [0], 2),
    ({"RAYON_NUM_THREADS": "+", "RAYON_RS_NUM_CPUS": "+3"}, [0], 3),  # not a number: the next variable decides
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "2"}, [0], CPUS),  # 0 means the processors
    ({"RAYON_NUM_THREADS": "99999999999999999999", "RAYON_RS_NUM_CPUS": "2"}, [0], 2),  # overflows
    ({"RAYON_NUM_THREADS": "2"}, [1], 1), ({"RAYON_NUM_THREADS": "2"}, [3], 3), ({}, [CPUS + 4], CPUS + 4),
    ({}, [7, 3], 3),
    ({"RAYON_NUM_THREADS": "4"}, [0, 3], 4 + 2), ({"RAYON_NUM_THREADS": "4"}, [5, 0, 3], 4 + 2),
])
def test_pool_size(env, counts, threads):
    assert probe(env, counts) == (threads, run())


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


def capped_output(cap_mib, call, above_mapped=False, env=None):
    """The words printed by T.<call> in a child with NumPy's own BLAS threads
    (and `env`), capped at cap_mib (above what the child has mapped once
    imported, with above_mapped)."""
    base = "int(open('/proc/self/statm').read().split()[0]) * os.sysconf('SC_PAGE_SIZE')" if above_mapped else "0"
    code = (f"import os, resource\nimport numpy\ncap = {base} + ({cap_mib} << 20)\n"
            f"resource.setrlimit(resource.RLIMIT_AS, (cap, cap))\nT.{call}")
    return child_output(env or {}, code, blas_threads=True)


def capped_child(cap_mib, counts, above_mapped=False):
    """room_around_calls in a capped child (see capped_output)."""
    words = capped_output(cap_mib, f"room_around_calls({counts!r})", above_mapped)
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


def workers_once_the_room_is_freed(counts):
    """Workers after a batch with each count in turn: the first made while an
    array fills most of the room, the others once it is freed; and whether
    every batch gave one worker's values."""
    want = run(1, n=16)
    start = threads()
    big = np.empty((1900 << 20) // 8)
    same = run(counts[0], n=16) == want
    seen = [threads() - start]
    del big
    for n in counts[1:]:
        same = run(n, n=16) == want and same
        seen.append(threads() - start)
    print(*seen, int(same))


def workers_beside_a_long_run(count, n=40_000_000):
    """Workers of a long features run (n values) with n_workers=64 on another thread, of
    the pool for `count` built while it runs, and of that pool two calls
    after it has ended (for the default pool, once another count has also
    replaced the long run's pool, whose workers hold their room while it
    stays in the slot); whether the long run was still going when the pool
    was built; whether every batch gave one worker's values."""
    want = run(1, n=16)
    values = np.random.default_rng(0).random(n)
    offsets = np.linspace(0, n, 257).astype(np.int64)
    start = threads()
    thread = threading.Thread(target=_lib.augmentation.compute_feature_set_batch,
                              args=(values, offsets, None, None, 64))
    thread.start()
    deadline = time.monotonic() + 20
    while threads() < start + 2 and time.monotonic() < deadline:  # its pool has begun
        time.sleep(0.001)
    seen, since = threads(), time.monotonic()
    while time.monotonic() - since < 0.05 and time.monotonic() < deadline:  # and stopped growing
        time.sleep(0.002)
        if threads() != seen:
            seen, since = threads(), time.monotonic()
    long_run = seen - start - 1
    same = run(count, n=16) == want
    meanwhile = threads() - start - 1 - long_run
    overlapped = thread.is_alive()
    thread.join()
    if count == 0:
        same = run(1, n=16) == want and same
    for _ in range(2):
        same = run(count, n=16) == want and same
    print(long_run, meanwhile, threads() - start, int(overlapped), int(same))


# A pool built where there was no room kept that size for good: the budget
# was measured only when the cap changed, and a short pool never tried again.
@pytest.mark.parametrize("env,counts,workers", [
    ({}, (4, 3, 6), [0, 2, 5]),
    ({"RAYON_NUM_THREADS": "6"}, (0, 0, 0), [0, 5, 5]),
], ids=["counted pool", "default pool"])
def test_a_pool_built_without_room_gains_workers_once_it_is_freed(env, counts, workers):
    *seen, same = map(int, capped_output(2048, f"workers_once_the_room_is_freed({counts!r})", True, env))
    assert same and seen == workers


@pytest.mark.parametrize("count", [16, 0], ids=["counted pool", "default pool"])
def test_a_pool_built_short_beside_a_long_run_gains_workers_after_it(count):
    env = {"RAYON_NUM_THREADS": "16"}
    long_run, meanwhile, after, overlapped, same = map(
        int, capped_output(2048, f"workers_beside_a_long_run({count})", True, env))
    assert same and overlapped and long_run >= 2, (long_run, meanwhile, after)
    # The long run's pool measured a room that its call's own copy of the
    # values made smaller; within a worker of it either way.
    assert meanwhile < after and min(15, long_run) - 1 <= after <= 15, (long_run, meanwhile, after)


# ---------------------------------------------------------------------------
# Cases that could end or hang the process run in forks of a child
# interpreter, which waits for each with a deadline.

def failures(outcomes):
    """How often each outcome other than "ok" (or "<label>:ok") came up."""
    return {o: outcomes.count(o) for o in sorted(set(outcomes)) if o.rpartition(":")[2] != "ok"}


# The counts each of four callers asks for in turn: each its own, rotating
# through them, and two counts out of step with the neighbour's.
CALLERS = {
    "own count": [[n] * 4 for n in (17, 300, 0, 1024)],
    "rotating": [[(17, 300, 0, 1024)[(k + r) % 4] for r in range(4)] for k in range(4)],
    **{f"{a} and {b}": [[(a, b)[(k + r) % 2] for r in range(4)] for k in range(4)]
       for a, b in ((5, 2000), (64, 0), (2, 1024))},
}


def callers_at_once(plans, want, rounds, n):
    """Whether every call gave `want`: in each round one thread per plan, all
    started together, each making a batch of n series per count of its plan."""
    wrong = []

    def call(plan, start):
        try:
            start.wait()
            wrong.extend(k for k in plan if run(k, n=n) != want)
        except BaseException as exc:  # noqa: BLE001
            wrong.append(exc)

    for _ in range(rounds):
        start = threading.Barrier(len(plans))
        callers = [threading.Thread(target=call, args=(plan, start)) for plan in plans]
        for t in callers:
            t.start()
        for t in callers:
            t.join()
    if wrong:
        print("wrong", wrong, file=sys.stderr)
    return not wrong


def callers_under_cap(cap_mib, forks, rounds=8, n=64):
    """Outcomes of forks (of a process with no pool threads) that each cap
    their address space and run the callers of the next entry of CALLERS."""
    want = run(1, n=n)

    def capped(plans):
        # Two processors on any machine: with eight, the process ended far
        # more rarely.
        os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:2])
        resource.setrlimit(resource.RLIMIT_AS, (cap_mib << 20, cap_mib << 20))
        return callers_at_once(plans, want, rounds, n)

    plans = list(CALLERS.values())
    print(*(in_fork(lambda: capped(plans[i % len(plans)])) for i in range(forks)))


@pytest.mark.parametrize("cap_mib", [2048, 3072])
def test_several_callers_with_their_own_counts_under_a_cap(cap_mib):
    # Pools built for several counts at once once started more threads than
    # there was room for, and the process ended: in a few processes in a
    # hundred at their first calls, more often the longer they went on.
    outcomes = child_output({}, f"T.callers_under_cap({cap_mib}, 30)", blas_threads=True)
    assert not failures(outcomes) and len(outcomes) == 30, failures(outcomes)


# (cycle of counts, rounds, share of the room that must stay free): the
# default pool stays beside the batch pool, each taking at most half of the
# room it finds. What the first round leaves, later rounds reuse: they never
# go below its lowest room.
@pytest.mark.parametrize("cycle,rounds,share", [((300, 17), 5, 0.4), ((17, 300, 0, 1024), 3, 0.25)])
def test_switching_counts_keeps_the_room(cycle, rounds, share):
    # Every switch between two counts once left the room of the threads it
    # replaced behind: 2.8 GiB free fell to 0.2 GiB in ten calls.
    steps = capped_child(3072, list(cycle) * rounds)
    (_, largest, _, free, *_), *_ = steps
    room = [(after, free_after) for _, _, after, _, free_after, _, _ in steps]
    assert all(same for *_, same, _ in steps)
    lowest = [min(r) for r in zip(*room[:len(cycle)])]
    for k, (after, free_after) in enumerate(room):
        assert after >= share * largest and free_after >= share * free, (k, largest, free, room)
        assert after >= lowest[0] - 16 and free_after >= lowest[1] - 16, (k, room)


def threads_around_an_unmeasurable_room():
    """Thread counts (under the cap the child was given): at the start, after
    a pool of 4 built while the process could open no file (so could not
    measure its room), and after a pool of 5 built once it could again; and
    whether both gave one worker's values."""
    want = run(1, n=16)
    start = threads()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(map(int, os.listdir("/proc/self/fd"))) + 1, hard))
    taken = []
    try:
        while True:
            taken.append(os.open(os.devnull, os.O_RDONLY))
    except OSError:
        pass
    try:
        same = run(4, n=16) == want
    finally:
        for fd in taken:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    blind = threads()
    same = run(5, n=16) == want and same
    print(start, blind, threads(), int(same))


def test_a_room_that_could_not_be_measured_is_measured_again():
    start, blind, after, same = map(int, capped_output(3072, "threads_around_an_unmeasurable_room()"))
    assert same and blind == start and after == start + 4, (start, blind, after)


COUNTS_AT_RANDOM = [1, 2, 17, 300, 1024, 65535, 2**64 - 1, 0]


def room_with_callers_at_once(rounds, callers=8, n=64):
    """The largest array before any call and after each round, and whether
    every call gave one worker's values: in each round `callers` threads,
    started together, each make three batches with counts drawn at random."""
    want = run(1, n=n)
    top = resource.getrlimit(resource.RLIMIT_AS)[0] >> 20
    t = threading.Thread(target=int)  # as in room_around_calls
    t.start()
    t.join()
    largest_array_mib(top)
    room, right = [largest_array_mib(top)], True
    draw = random.Random(5)
    for _ in range(rounds):
        plans = [[draw.choice(COUNTS_AT_RANDOM + [draw.randint(1, 1100)]) for _ in range(3)] for _ in range(callers)]
        right = callers_at_once(plans, want, 1, n) and right
        room.append(largest_array_mib(top))
    print(*room, int(right))


def test_several_callers_at_once_share_the_room():
    # Pools built while others ran each took half of what was left: eight
    # callers left 13-20% of the room after ten rounds, and it kept shrinking.
    before, first, *rest, right = map(int, capped_output(3072, "room_with_callers_at_once(6)"))
    assert right
    for after in (first, *rest):
        assert after >= before // 4 and after >= 0.85 * first, (before, first, rest)


# (count of the parent's runs, the other count its children ask for)
FORKED_COUNTS = [(8, 3), (64, 300), (300, 8), (0, 8)]


def forks_right_after_runs(forks, during, n=16):
    """"count:outcome" for `forks` children per entry of FORKED_COUNTS, each
    forked right after a run with the count (with `during`, while another
    thread is inside one) and running with the count, then the other; up to
    the first child that hangs."""
    want = run(1, n=n)
    for k, other in FORKED_COUNTS:
        stop = threading.Event()

        def busy():
            while not stop.is_set():
                run(k, n=n)

        thread = threading.Thread(target=busy)
        if during:
            thread.start()
        for _ in range(forks):
            if not during:
                run(k, n=n)
            outcome = in_fork(lambda: run(k, n=n) == want and run(other, n=n) == want)
            print(f"{k}:{outcome}", flush=True)
            if outcome == "hung":
                os._exit(0)  # one is enough: each costs the deadline
        stop.set()
        if during:
            thread.join()


@pytest.mark.parametrize("during", [False, True], ids=["after a run", "during a run"])
def test_a_forked_child_runs_with_any_count(during):
    # Children forked right after a run once hung in a few forks in a hundred,
    # waiting for pool threads that exist only in the parent.
    outcomes = child_output({}, f"T.forks_right_after_runs(40, {during})")
    assert not failures(outcomes) and len(outcomes) == 40 * len(FORKED_COUNTS), failures(outcomes)


SMALL_SERIES = np.sin(np.arange(64) * 0.1)


def small_features():
    return digest(np.array(_lib.augmentation.compute_feature_set(SMALL_SERIES, None, None)))


def fork_during_first_uses(delay_ms, want_features, want_batch):
    """How a child ended that was forked `delay_ms` after another thread began
    the process's first FFT plans (and its pool for 1,024 threads) and that
    then makes features and batches itself."""
    run(2, n=4)  # pools in use, no plan yet
    lens = np.arange(200, 800)
    x, offsets = np.sin(np.arange(lens.sum()) * 0.1), np.concatenate([[0], np.cumsum(lens)]).astype(np.int64)
    thread = threading.Thread(target=lambda: _lib.augmentation.compute_feature_set_batch(x, offsets, None, None, 1024))
    thread.start()
    time.sleep(delay_ms / 1000)
    print(in_fork(lambda: small_features() == want_features and run(0, n=16) == want_batch
                  and run(3, n=16) == want_batch))
    thread.join()


def test_a_child_forked_during_the_first_fft_plan_runs():
    # The fork handlers were once registered on first use: a child forked while
    # another thread made the first plan inherited the planner's lock held and
    # hung in about half such forks.
    want = (small_features(), run(1, n=16))
    outcomes = [child_output({}, f"T.fork_during_first_uses({delay}, *{want!r})")[0] for delay in (0, 2, 5, 10) * 3]
    assert outcomes == ["ok"] * len(outcomes), outcomes


def idle_cpu_after_random_counts(phases, n=2):
    """CPU seconds the process spends over 5 s of sleep after phases of
    (callers, calls): the callers' threads, started together, each make that
    many batches with random counts in 1..1024; and the number of wrong values."""
    want = run(1, n=n)
    wrong = []

    def call(seed, calls):
        for k in np.random.default_rng(seed).integers(1, 1025, calls):
            if run(int(k), n=n) != want:
                wrong.append(k)

    for callers, calls in phases:
        started = [threading.Thread(target=call, args=(seed, calls)) for seed in range(callers)]
        for t in started:
            t.start()
        for t in started:
            t.join()
    start = time.process_time()
    time.sleep(5)
    print(time.process_time() - start, len(wrong))


def test_idle_pools_use_no_cpu():
    # Idle pool threads once kept both processors busy after the last call.
    cpu, wrong = child_output({}, "T.idle_cpu_after_random_counts([(1, 60), (4, 40)])")
    assert float(cpu) < 0.25 and wrong == "0", (cpu, wrong)
