"""Worker counts of pools built short under an address-space cap, before and once the room is back.

    python benchmarks/bench_pool_short.py PYTHON [PYTHON ...] [--runs 3]

Each case runs in a fresh child of each PYTHON (RAYON_*, OPENBLAS_*, OMP_* removed, then
OPENBLAS_NUM_THREADS=1), capped at its mapped size plus 2 GiB. Workers are the threads beyond
the child's own. The children run the tests' scenarios (tests/python/test_pools.py), so run
this from a full checkout with the test dependencies (pytest) installed:
  - "freed": a batch while a 1,900 MiB array fills the room, then two batches once it is freed,
    with n_workers 4, 3, 6 (counted) or 0 three times with RAYON_NUM_THREADS=6 (default);
    prints the workers after each batch;
  - "beside a run": another thread runs compute_feature_set_batch over 60 million values with
    n_workers=64; once its pool has stopped growing the main thread makes a batch with
    n_workers 16 (counted) or 0 with RAYON_NUM_THREADS=16 (default), then two more once the
    long run has ended (the default pool after a call with another count has replaced the long
    run's pool); prints the workers of the long run, of the pool built meanwhile and after.
The last two numbers: whether the long run overlapped the build (1) and whether every batch
gave one worker's values (1); "freed" prints only the latter.
"""

import argparse
import os
import subprocess
import sys

TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "python")
CASES = {
    "freed, counted": ({}, "workers_once_the_room_is_freed((4, 3, 6))"),
    "freed, default": ({"RAYON_NUM_THREADS": "6"}, "workers_once_the_room_is_freed((0, 0, 0))"),
    "beside a run, counted": ({"RAYON_NUM_THREADS": "16"}, "workers_beside_a_long_run(16, n=60_000_000)"),
    "beside a run, default": ({"RAYON_NUM_THREADS": "16"}, "workers_beside_a_long_run(0, n=60_000_000)"),
}
CHILD = """import os, resource
mapped = int(open('/proc/self/statm').read().split()[0]) * os.sysconf('SC_PAGE_SIZE')
cap = mapped + (2048 << 20)
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
import test_pools
test_pools.{call}
"""


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("python", nargs="*")
    p.add_argument("--runs", type=int, default=3)
    args = p.parse_args()
    base = {k: v for k, v in os.environ.items() if not k.startswith(("RAYON_", "OPENBLAS_", "OMP_"))}
    base |= {"OPENBLAS_NUM_THREADS": "1", "PYTHONPATH": TESTS}
    for python in args.python or [sys.executable]:
        print(python)
        for case, (env, call) in CASES.items():
            for _ in range(args.runs):
                done = subprocess.run([python, "-c", CHILD.format(call=call)], env=base | env,
                                      capture_output=True, text=True, timeout=300)
                result = done.stdout.strip() or f"exit {done.returncode}: {done.stderr.strip()[-200:]}"
                print(f"  {case:22} {result}")


if __name__ == "__main__":
    main()
