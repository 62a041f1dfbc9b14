"""Quickstart: split a noisy seasonal series into trend, seasonal and residual."""

import numpy as np

from quillmarten import _lib

rng = np.random.default_rng(7)
n, period = 24 * 14, 24
t = np.arange(n, dtype=np.float64)
series = 100.0 + 0.05 * t + 8.0 * np.sin(2 * np.pi * t / period) + rng.normal(0.0, 1.0, n)

trend, seasonal, residual = _lib.augmentation.classical_decompose(series, period)

print(f"series of {n} hourly values, period {period}")
for name, part in (("trend", trend), ("seasonal", seasonal), ("residual", residual)):
    print(f"  {name:<9} mean {part.mean():9.4f}  std {part.std():8.4f}  min {part.min():9.4f}  max {part.max():9.4f}")
print(f"  seasonal amplitude {seasonal[:period].max() - seasonal[:period].min():.3f} (true 16.0)")
