"""Time the scenario generators tcm and tsi through generate_batch on all cores against one worker.

    python benchmarks/bench_scenarios.py [--series 10000] [--length 512] [--repeat 3]

Cases: --series x --length of each generator, no pattern injection, with
n_workers 0 (the default pool, one thread per core) and n_workers 1. Prints
series per second and the speed-up of the default pool over one worker.
Both timings hold building the result dicts. Each figure is the best of
--repeat runs, after one untimed warm-up run. There is no peer library for
these two generators.
"""

import argparse
import os

from _timing import best_time, plain_batch

# 2 to 5 nodes, lags 1 to 3, every edge kind and noise law.
TCM = (29, [2.0, 5.0, 1.0, 3.0, 0.2, 0.5, 0.2, 1.0, 1.0, 3.0, 0.5, 1.5, 0.3],
       [[0, 1, 2, 3, 4], [0, 1, 2, 3, 4]])
# Every trend kind, 1 to 3 seasonal components, every irregular kind.
TSI = (28, [1.0, 5.0, 0.5, 2.0, 1.0, 5.0, -1.0, 1.0, 1.0, 3.0, 0.5, 2.0, 0.3, 0.3, 0.01, 0.2, -0.5, 0.9, 3.0, 8.0,
            0.3, 0.5, 2.0],
       [[0, 1, 2, 3, 4, 5], [7.0, 12.0, 24.0], [0, 1, 2, 3, 4]])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=10_000)
    parser.add_argument("--length", type=int, default=512)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    n, length = args.series, args.length

    print(f"{os.cpu_count()} cores; {n:,} series x {length} per generator, result dicts inside; best of {args.repeat}")
    for name, gen in [("tcm", TCM), ("tsi", TSI)]:
        times = {}
        for n_workers in (0, 1):
            times[n_workers], rows = best_time(plain_batch(*gen, n, length, n_workers), args.repeat, warmup=True)
            assert len(rows) == n
            print(f"  {name} n_workers={n_workers}  {times[n_workers] * 1e3:9.1f} ms  "
                  f"{n / times[n_workers]:>10,.0f} series/s")
        print(f"  {name} all cores vs 1 worker: {times[1] / times[0]:.2f}x")


if __name__ == "__main__":
    main()
