"""Time random_walk against the same walk built with NumPy's generators.

    python benchmarks/bench_random_walk.py [--n 1000000] [--repeat 7]

The NumPy peer of each law is cumsum(drift + scale * draws) from
np.random.Generator over MT19937 (the 32-bit twister, NumPy has no 64-bit
one) and over PCG64, NumPy's default bit generator, on the same --n values.
Each figure is the best of --repeat runs, seeding included (and on the NumPy
side the scaled draws' temporary array); "peer/ours" above 1 means
random_walk is faster. The single-thread batch road (generate_batch, one
series, one worker) is timed too, to show what the dispatch and result dicts
add.
"""

import argparse
import math

import numpy as np

from _timing import best_time
from quillmarten import _lib

random_walk = _lib.statistical.random_walk
SEED, DRIFT, SCALE, START = 12345, 0.01, 1.0, 0.0


def numpy_walk(bit_generator, draw):
    def run(n):
        g = np.random.Generator(bit_generator(SEED))
        return START + np.cumsum(DRIFT + SCALE * draw(g, n))
    return run


# name, innov_dist, innov_param, unit-variance NumPy draw (None: no direct peer)
LAWS = [
    ("normal", 0, 0.0, lambda g, n: g.standard_normal(n)),
    ("student-t df=5", 1, 5.0, lambda g, n: g.standard_t(5.0, n) * math.sqrt(3.0 / 5.0)),
    ("laplace", 2, 0.0, lambda g, n: g.laplace(0.0, 1.0 / math.sqrt(2.0), n)),
    ("uniform", 3, 0.0, lambda g, n: g.uniform(-math.sqrt(3.0), math.sqrt(3.0), n)),
    ("skew-normal a=2", 4, 2.0, None),
]


def batch_one(n, code, param):
    return _lib.batch.generate_batch(0, np.array([DRIFT, SCALE, START, code, param]), [],
                                     np.array([n], dtype=np.int32), np.array([SEED], dtype=np.uint64),
                                     np.zeros(3, dtype=np.uint64), {}, 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10**6)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    n, repeat = args.n, args.repeat

    # Sanity check (the normal walk has unit-variance steps), which also warms
    # up the batch road's one-worker pool before anything is timed.
    steps = np.diff(random_walk(n, 0.0, 1.0, 0.0, SEED, 0, 0.0))
    assert abs(steps.var() - 1.0) < 0.05, steps.var()
    np.testing.assert_array_equal(batch_one(1000, 0, 0.0)[0]["values"], random_walk(1000, DRIFT, SCALE, START,
                                                                                      SEED, 0, 0.0))

    print(f"n = {n:,} on every side, seeding inside each timing, best of {repeat}, times in ns per value")
    print(f"{'law':<17}{'ours':>8}{'batch':>8}{'MT19937':>9}{'PCG64':>8}{'MT/ours':>9}{'PCG/ours':>10}")
    for name, code, param, draw in LAWS:
        ours = best_time(lambda: random_walk(n, DRIFT, SCALE, START, SEED, code, param), repeat)[0] / n * 1e9
        batch = best_time(lambda: batch_one(n, code, param), repeat)[0] / n * 1e9
        if draw is None:
            print(f"{name:<17}{ours:>8.2f}{batch:>8.2f}{'n/a':>9}{'n/a':>8}{'n/a':>9}{'n/a':>10}")
            continue
        mt = best_time(lambda: numpy_walk(np.random.MT19937, draw)(n), repeat)[0] / n * 1e9
        pcg = best_time(lambda: numpy_walk(np.random.PCG64, draw)(n), repeat)[0] / n * 1e9
        print(f"{name:<17}{ours:>8.2f}{batch:>8.2f}{mt:>9.2f}{pcg:>8.2f}{mt / ours:>9.2f}{pcg / ours:>10.2f}")


if __name__ == "__main__":
    main()
