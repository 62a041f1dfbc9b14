"""Per-call time and memory of batch calls that ask for another worker count each time.

    python benchmarks/bench_pool_counts.py [--calls 12000] [--block 2000]

Each case runs in a fresh interpreter pinned to 1, 2 or all CPUs (the pin is set
before any pool thread starts) and calls generate_multi_batch with one spec of two
random walks of 40 values, nothing injected, with n_workers cycling through
1 .. 7 (or alternating 1 and 2). It prints, per block of --block calls, the
microseconds per call and the RSS at the end of the block: the first and last
blocks should match. There is no peer: no other library keeps a pool per count.
"""

import argparse
import os
import subprocess
import sys

CHILD = """
import os, sys, time
import numpy as np
os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:{cpus}])
from quillmarten import _lib
spec = {{"gen_type": 0, "scalar_params": np.array([0.0, 1.0, 0.0, 0.0, 0.0]), "array_params": [],
        "lengths": np.array([40, 40], np.int32), "gen_seeds": np.arange(2, dtype=np.uint64),
        "pi_seeds": np.arange(6, dtype=np.uint64), "pi_config": {{}}}}
t = time.perf_counter()
for i in range({calls}):
    _lib.batch.generate_multi_batch([spec], 1 + i % {cycle})
    if (i + 1) % {block} == 0:
        now = time.perf_counter()
        rss = int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
        print(f"{{(now - t) / {block} * 1e6:.1f}} {{rss:.0f}}", flush=True)
        t = now
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=12000)
    parser.add_argument("--block", type=int, default=2000)
    args = parser.parse_args()
    cpus = len(os.sched_getaffinity(0))
    print(f"{args.calls} calls, blocks of {args.block}; µs per call and RSS (MiB) of the first and last blocks")
    print(f"{'CPUs':>5} {'counts':>8} {'first µs':>9} {'last µs':>8} {'first MiB':>10} {'last MiB':>9}")
    for n_cpus, cycle in ((1, 7), (2, 7), (cpus, 7), (cpus, 2)):
        code = CHILD.format(cpus=n_cpus, calls=args.calls, block=args.block, cycle=cycle)
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        blocks = [line.split() for line in done.stdout.split("\n") if line]
        (first_us, first_mib), (last_us, last_mib) = blocks[0], blocks[-1]
        counts = "1..7" if cycle == 7 else "1, 2"
        print(f"{n_cpus:>5} {counts:>8} {first_us:>9} {last_us:>8} {first_mib:>10} {last_mib:>9}")


if __name__ == "__main__":
    main()
