"""Timing shared by the benchmarks."""

import math
import time


def best_time(fn, repeat, warmup=False):
    """Best wall time of `repeat` calls of fn(), and the last call's result.

    warmup: one untimed call first (pools started, allocator primed).
    """
    if warmup:
        fn()
    best, result = math.inf, None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result
