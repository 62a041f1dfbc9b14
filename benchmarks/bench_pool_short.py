"""Worker counts of pools built short under an address-space cap, before and once the room is back.

    python benchmarks/bench_pool_short.py PYTHON [PYTHON ...] [--runs 3]

Each case runs in a fresh child of each PYTHON, capped at its mapped size plus 2 GiB, with
OPENBLAS_NUM_THREADS=1 (workers are counted as threads beyond the child's own):
  - "freed, counted": a batch with n_workers=4 while a 1,900 MiB array fills the room, then,
    the array freed, batches with 3 and 6 (workers after each);
  - "freed, default": the same with n_workers=0 three times, RAYON_NUM_THREADS=6;
  - "beside a run, counted": another thread runs compute_feature_set_batch over 60 million
    values with n_workers=64; once its pool has stopped growing, the main thread makes a batch
    with n_workers=16 (workers of the long run, of the pool built meanwhile, and of that pool
    after three more calls once the long run has ended); RAYON_NUM_THREADS=16;
  - "beside a run, default": the same with n_workers=0; the long run's pool stays in the slot
    after its run, holding its room, so the default pool is counted again once a call with
    n_workers=1 has replaced it.
Every batch is compared with n_workers=1 ("same").
"""

import argparse
import json
import os
import subprocess
import sys

CASES = {"freed, counted": {}, "freed, default": {"RAYON_NUM_THREADS": "6"},
         "beside a run, counted": {"RAYON_NUM_THREADS": "16"}, "beside a run, default": {"RAYON_NUM_THREADS": "16"}}


def child(case):
    import resource
    import threading
    import time

    import numpy as np

    from quillmarten import _lib

    scalars = np.array([0.0, 1.0, 0.0, 0, 0.0])

    def batch(w, n=64):
        out = _lib.batch.generate_batch(0, scalars, [], np.full(n, 2000, np.int32), np.arange(n, dtype=np.uint64),
                                        np.arange(3 * n, dtype=np.uint64), {}, w)
        return [np.asarray(a).tobytes() for r in out for a in r.values()]

    def threads():
        return len(os.listdir("/proc/self/task"))

    want = batch(1)
    mapped = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    cap = mapped + (2048 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    base = threads()
    out = {}
    if case.startswith("freed"):
        counts = (4, 3, 6) if case.endswith("counted") else (0, 0, 0)
        big = np.empty((1900 << 20) // 8)
        same = batch(counts[0]) == want
        out["while full"] = threads() - base
        del big
        for k, w in enumerate(counts[1:], 1):
            same &= batch(w) == want
            out[f"freed, call {k}"] = threads() - base
    else:
        count = 16 if case.endswith("counted") else 0
        n = 60_000_000
        values = np.random.default_rng(0).random(n)
        offsets = np.linspace(0, n, 257).astype(np.int64)
        long_run = threading.Thread(target=_lib.augmentation.compute_feature_set_batch,
                                    args=(values, offsets, None, None, 64))
        long_run.start()
        deadline = time.monotonic() + 30
        while threads() < base + 2 and time.monotonic() < deadline:
            time.sleep(0.001)
        seen, since = threads(), time.monotonic()
        while time.monotonic() - since < 0.1 and time.monotonic() < deadline:
            time.sleep(0.002)
            if threads() != seen:
                seen, since = threads(), time.monotonic()
        out["long run"] = seen - base - 1
        same = batch(count) == want
        out["meanwhile"] = threads() - base - 1 - out["long run"]
        out["overlapped"] = long_run.is_alive()
        long_run.join()
        for _ in range(3):
            same &= batch(count) == want
        out["after"] = threads() - base - (out["long run"] if count == 0 else 0)
        if count == 0:
            same &= batch(1) == want
            same &= batch(0) == want
            out["after the slot's pool ended"] = threads() - base
    out["same"] = same
    print(json.dumps(out))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("python", nargs="*")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--child", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        return child(args.child)
    base_env = {k: v for k, v in os.environ.items() if not k.startswith(("RAYON_", "OPENBLAS_", "OMP_"))}
    for python in args.python or [sys.executable]:
        print(python)
        for case, env in CASES.items():
            for _ in range(args.runs):
                done = subprocess.run([python, os.path.abspath(__file__), "--child", case],
                                      env=base_env | env | {"OPENBLAS_NUM_THREADS": "1"},
                                      capture_output=True, text=True, timeout=300)
                result = done.stdout.strip() or f"exit {done.returncode}: {done.stderr.strip()[-200:]}"
                print(f"  {case:22} {result}")


if __name__ == "__main__":
    main()
