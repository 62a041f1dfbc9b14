"""Time the pooled functions of two or more builds side by side, each case in fresh interpreters.

    python benchmarks/bench_pool_switch.py [--python PY ...] [--repeat 5] [--case NAME ...]

Every case runs in a fresh child of each interpreter given with --python (default: this one),
the interpreters alternating and their order reversed on every other round, --repeat rounds.
A child makes its call once untimed (pools started, allocator primed) and then times it; the
table shows the median over the rounds of each child's median, and the ratio of every further
interpreter to the first. The children inherit this process's CPU affinity (run it under
`taskset` to pin all of them) and get RAYON_NUM_THREADS set to that many CPUs, so the default
pool (n_workers 0, and the DTW and DBA functions) has one thread per pinned CPU on every build; with --machine-pool they get no RAYON_* at all, so the default pool is
sized by the machine, as in a container whose cpuset is smaller than the host.
"same" says whether all interpreters gave the same values (a digest of the whole result).

Cases:
  - generate_batch of 2,000 random walks of 1,000 values with changepoints, anomalies and
    missing values injected, at n_workers 1, 4 and 0 (ms per call, median of 7 calls);
  - generate_multi_batch of one spec of two random walks of 40 values, nothing injected, at
    n_workers 4, and with n_workers alternating 4 and 8 on every call (µs per call, the mean of
    2,000 calls after 200 untimed ones; "slowest" is the slowest single call of any round);
  - nearest_dtw_neighbors of 500 series of 100 values (band 10%, 5 neighbours) and
    dba_barycenter of 200 series of 300 values (10 iterations), both on the default pool;
    compute_feature_set_batch of 10,000 series of 500 values (period 12) at n_workers 0 and 4;
    mar_features_batch of 4,000 candidates at n_workers 4 (ms per call, median of 7 calls).
Result lists and dicts are built inside every timing. There is no peer: the builds compared
are this package's own.
"""

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys

# Cases: name -> (unit, description). The child builds the call from the name.
CASES = {
    "batch_w1": ("ms", "generate_batch 2000x1000 injected, n_workers=1"),
    "batch_w4": ("ms", "generate_batch 2000x1000 injected, n_workers=4"),
    "batch_w0": ("ms", "generate_batch 2000x1000 injected, n_workers=0"),
    "two_w4": ("µs", "2 series x 40, n_workers=4"),
    "two_4_8": ("µs", "2 series x 40, n_workers 4, 8, 4, ..."),
    "nn": ("ms", "nearest_dtw_neighbors 500x100 (default pool)"),
    "dba": ("ms", "dba_barycenter 200x300, 10 it. (default pool)"),
    "features_w0": ("ms", "compute_feature_set_batch 10000x500, n_workers=0"),
    "features_w4": ("ms", "compute_feature_set_batch 10000x500, n_workers=4"),
    "mar_w4": ("ms", "mar_features_batch 4000 candidates, n_workers=4"),
}

CONFIG = {
    "changepoints": True, "num_changepoints": 3, "changepoint_type": "level",
    "anomalies": True, "anomaly_types": ["spike", "dip", "level_shift"], "anomaly_fraction": 0.01,
    "spike_magnitude": 8.0, "dip_magnitude": -8.0, "level_shift_magnitude": 3.0, "level_shift_duration": 20,
    "missing_data": True, "missing_pattern": "random", "missing_rate": 0.05,
}


def digest_of(obj, h=None):
    """A digest of nested lists, tuples and dicts of arrays and numbers."""
    import numpy as np
    top = h is None
    h = h or hashlib.sha256()
    if isinstance(obj, dict):
        for k in sorted(obj):
            h.update(str(k).encode())
            digest_of(obj[k], h)
    elif isinstance(obj, (list, tuple)):
        h.update(b"[")
        for x in obj:
            digest_of(x, h)
        h.update(b"]")
    elif isinstance(obj, np.ndarray):
        h.update(np.ascontiguousarray(obj).tobytes())
    else:
        h.update(repr(obj).encode())
    return h.hexdigest()[:16] if top else None


def make_call(case):
    """(fn, calls per child, per-call switch) for a case; fn(i) makes call i."""
    import numpy as np
    from quillmarten import _lib
    A, B = _lib.augmentation, _lib.batch
    if case.startswith("batch_"):
        n, length, w = 2000, 1000, int(case[len("batch_w"):])
        scalars = np.array([0.0, 1.0, 0.0, 0.0, 0.0])
        lengths = np.full(n, length, dtype=np.int32)
        gen_seeds, pi_seeds = np.arange(n, dtype=np.uint64), np.arange(n, 4 * n, dtype=np.uint64)
        return lambda i: B.generate_batch(0, scalars, [], lengths, gen_seeds, pi_seeds, CONFIG, w)
    if case.startswith("two_"):
        spec = {"gen_type": 0, "scalar_params": np.array([0.0, 1.0, 0.0, 0.0, 0.0]), "array_params": [],
                "lengths": np.array([40, 40], np.int32), "gen_seeds": np.arange(2, dtype=np.uint64),
                "pi_seeds": np.arange(6, dtype=np.uint64), "pi_config": {}}
        counts = (4,) if case == "two_w4" else (4, 8)
        return lambda i: B.generate_multi_batch([spec], counts[i % len(counts)])
    rng = np.random.default_rng(42)
    if case == "nn":
        series = list(np.cumsum(rng.normal(size=(500, 100)), axis=1))
        return lambda i: A.nearest_dtw_neighbors(series, 0.1, 5)
    if case == "dba":
        x = np.cumsum(rng.normal(size=(200, 300)), axis=1)
        rest, weights = list(x[1:]), np.ones(len(x))
        return lambda i: A.dba_barycenter(x[0], rest, weights, 10)
    if case.startswith("features_"):
        w = int(case[len("features_w"):])
        values = np.cumsum(rng.normal(size=(10_000, 500)), axis=1).ravel()
        offsets = np.arange(0, values.size + 1, 500, dtype=np.int64)
        return lambda i: A.compute_feature_set_batch(values, offsets, 12, None, w)
    if case == "mar_w4":
        scalars, arrays, seeds = [], [], []
        for _ in range(4000):
            scalars.append([float(rng.integers(1, 5)), float(rng.integers(1, 4)), float(rng.choice([0, 12])),
                            float(rng.uniform(0.5, 3)), float(rng.uniform(0, 1)), 0.3, float(rng.uniform(0.3, 2)),
                            100.0, 1.0, 0.0, 0.0, 0.0])
            arrays.append([])
            seeds.append([int(v) for v in rng.integers(0, 2**63, 3)])
        return lambda i: A.mar_features_batch(scalars, arrays, [100, 250, 500], seeds, 12, 4)
    raise SystemExit(f"unknown case {case}")


def child(case):
    """Runs one case in this process; prints JSON: per-call figure, first call, slowest call, digest."""
    import time
    import quillmarten
    fn = make_call(case)
    per_call = case.startswith("two_")
    warm, calls = (200, 2000) if per_call else (1, 7)
    t0 = time.perf_counter()
    result = fn(0)
    first = time.perf_counter() - t0
    for i in range(1, warm):
        fn(i)
    times = []
    for i in range(warm, warm + calls):
        t0 = time.perf_counter()
        fn(i)
        times.append(time.perf_counter() - t0)
    scale = 1e6 if per_call else 1e3
    figure = sum(times) / len(times) if per_call else statistics.median(times)
    print(json.dumps({"figure": figure * scale, "first": first * scale, "slowest": max(times) * scale,
                      "digest": digest_of(result), "module": quillmarten.__file__}))


def run_child(python, case, env):
    done = subprocess.run([python, os.path.abspath(__file__), "--child", case], env=env, cwd="/",
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{python} {case}: exit {done.returncode}\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", help="an interpreter with the build to time (repeatable)")
    parser.add_argument("--repeat", type=int, default=5, help="rounds: fresh children per case and interpreter")
    parser.add_argument("--case", action="append", choices=sorted(CASES), help="run only these cases")
    parser.add_argument("--machine-pool", action="store_true",
                        help="set no RAYON_NUM_THREADS: the default pool is sized by the machine, not the pinned CPUs")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return

    pythons = args.python or [sys.executable]
    cases = args.case or list(CASES)
    cpus = len(os.sched_getaffinity(0))
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    if not args.machine_pool:
        env["RAYON_NUM_THREADS"] = str(cpus)
    order = list(range(len(pythons)))
    runs = {(i, c): [] for i in order for c in cases}
    for r in range(args.repeat):
        for case in cases:
            for i in (order if r % 2 == 0 else order[::-1]):
                runs[i, case].append(run_child(pythons[i], case, env))
        print(f"round {r + 1}/{args.repeat} done", file=sys.stderr, flush=True)

    pool = "no RAYON_NUM_THREADS" if args.machine_pool else f"RAYON_NUM_THREADS={cpus}"
    print(f"{cpus} CPUs (affinity; {pool}), {os.cpu_count()} online; median of {args.repeat}"
          " fresh children per interpreter")
    for i, python in enumerate(pythons):
        print(f"  [{i}] {python}: {runs[i, cases[0]][0]['module']}")
    head = f"{'case':<50} {'unit':>4}" + "".join(f" {f'[{i}]':>9}" for i in range(len(pythons)))
    head += "".join(f" {f'[{i}]/[0]':>8}" for i in range(1, len(pythons))) + f" {'same':>5}"
    print(head)
    for case in cases:
        unit, label = CASES[case]
        med = [statistics.median(x["figure"] for x in runs[i, case]) for i in order]
        same = len({x["digest"] for i in order for x in runs[i, case]}) == 1
        line = f"{label:<50} {unit:>4}" + "".join(f" {m:9.1f}" for m in med)
        line += "".join(f" {m / med[0]:8.2f}" for m in med[1:]) + f" {'yes' if same else 'NO':>5}"
        print(line)
    print("\nfirst call in a fresh child (pools started inside), median; slowest timed call of any round")
    print(f"{'case':<50} {'unit':>4}" + "".join(f" {f'first[{i}]':>9} {f'slow[{i}]':>9}" for i in range(len(pythons))))
    for case in cases:
        unit, label = CASES[case]
        line = f"{label:<50} {unit:>4}"
        for i in order:
            line += f" {statistics.median(x['first'] for x in runs[i, case]):9.1f}"
            line += f" {max(x['slowest'] for x in runs[i, case]):9.1f}"
        print(line)


if __name__ == "__main__":
    main()
