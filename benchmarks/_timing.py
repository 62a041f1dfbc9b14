"""Timing shared by the benchmarks."""

import math
import time

import numpy as np

from quillmarten import _lib


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


def plain_batch(code, scalars, arrays, n_series, length, n_workers):
    """A call of generate_batch: n_series series of one generator, seeds 0, 1, ...,
    nothing injected."""
    args = (code, np.array(scalars, dtype=np.float64), [np.array(a, dtype=np.float64) for a in arrays],
            np.full(n_series, length, dtype=np.int32), np.arange(n_series, dtype=np.uint64),
            np.zeros(3 * n_series, dtype=np.uint64), {}, n_workers)
    return lambda: _lib.batch.generate_batch(*args)
