"""Time dba_barycenter on a few pinned CPUs with the default pool sized by the environment or not.

    python benchmarks/bench_dba_pinned.py PYTHON [--cpus 2] [--reps 15] [--warm 3] [--calls 5]

Each child of PYTHON first pins itself to the first --cpus CPUs of its affinity (before NumPy or the
extension start any thread), then calls dba_barycenter (reference + 199 neighbours, 200 random walks of
300 values from default_rng(42), weights of ones, 10 iterations) --warm times untimed and --calls times
timed, and reports the median of its timed calls. Two settings alternate, their order swapped every rep:
"default" (no RAYON_* variable: the default pool has one thread per online CPU) and "RAYON" (RAYON_NUM_THREADS
= --cpus). Reported: median and interquartile range of the per-child medians, the ratio default/RAYON of the
medians, the thread count after the calls, and whether every child gave the same bits.
"""

import argparse
import json
import os
import statistics
import subprocess


def child(cpus, warm, calls):
    os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:cpus])  # before any thread exists
    import hashlib
    import time

    import numpy as np
    from quillmarten import _lib

    rng = np.random.default_rng(42)
    x = np.cumsum(rng.normal(size=(200, 300)), axis=1)
    rest, weights = list(x[1:]), np.ones(len(x))
    fn = lambda: _lib.augmentation.dba_barycenter(x[0], rest, weights, 10)  # noqa: E731
    result = fn()
    for _ in range(warm - 1):
        fn()
    times = []
    for _ in range(calls):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    h = hashlib.sha256(np.ascontiguousarray(np.asarray(result, dtype=np.float64)).tobytes()).hexdigest()[:16]
    print(json.dumps({"median_ms": statistics.median(times) * 1e3, "times_ms": [t * 1e3 for t in times],
                      "digest": h, "threads": len(os.listdir("/proc/self/task")),
                      "affinity": sorted(os.sched_getaffinity(0))}))


def quartiles(v):
    if len(v) < 2:
        return v[0], v[0], v[0]
    q = statistics.quantiles(v, n=4, method="inclusive")
    return q[0], statistics.median(v), q[2]


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("python", nargs="?")
    p.add_argument("--cpus", type=int, default=2)
    p.add_argument("--reps", type=int, default=15)
    p.add_argument("--warm", type=int, default=3)
    p.add_argument("--calls", type=int, default=5)
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        child(args.cpus, args.warm, args.calls)
        return
    if not args.python:
        p.error("PYTHON is required")

    base = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    settings = {"default": base, "RAYON": base | {"RAYON_NUM_THREADS": str(args.cpus)}}
    names = list(settings)
    got = {n: [] for n in names}
    failed = []
    for r in range(args.reps):
        for name in (names if r % 2 == 0 else names[::-1]):
            done = subprocess.run([args.python, os.path.abspath(__file__), "--child", "--cpus", str(args.cpus),
                                   "--warm", str(args.warm), "--calls", str(args.calls)],
                                  env=settings[name], cwd="/", capture_output=True, text=True, timeout=600)
            if done.returncode != 0:
                failed.append((name, done.returncode, done.stderr.strip()[-300:]))
                continue
            got[name].append(json.loads(done.stdout.splitlines()[-1]))

    print(f"{args.python}: dba_barycenter 200x300, 10 it., pinned to {args.cpus} of {os.cpu_count()} CPUs; "
          f"{args.reps} children per setting, {args.warm} warm-up + {args.calls} timed calls each")
    med = {}
    for name in names:
        rows = got[name]
        if not rows:
            print(f"  {name:8}: no child finished")
            continue
        q1, m, q3 = quartiles([x["median_ms"] for x in rows])
        med[name] = m
        allc = sorted(t for x in rows for t in x["times_ms"])
        env = f"RAYON_NUM_THREADS={args.cpus}" if name == "RAYON" else "no RAYON_*"
        print(f"  {name:8} ({env:20}): median {m:8.2f} ms  IQR {q1:.2f}..{q3:.2f} ({q3 - q1:.2f})  "
              f"fastest call {allc[0]:.2f}  slowest {allc[-1]:.2f}  threads {sorted({x['threads'] for x in rows})}  "
              f"CPUs {rows[0]['affinity']}")
    if len(med) == 2:
        print(f"  ratio default/RAYON: {med['default'] / med['RAYON']:.2f}")
    digests = {x["digest"] for n in names for x in got[n]}
    print(f"  values bit-identical across all children and settings: {'yes' if len(digests) == 1 else 'NO'} "
          f"({', '.join(sorted(digests))})")
    for f in failed:
        print("  child failed:", f)


if __name__ == "__main__":
    main()
