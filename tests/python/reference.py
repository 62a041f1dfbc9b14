"""Independent reference versions of the engine's building blocks, written from
the definitions: MT19937-64 on Python ints with its draw recipes (uniforms,
integer range, the two ziggurats with tables from data/, gamma, the five
innovation laws), the classical decomposition and the features built on it.

Python floats are IEEE doubles and math.exp/log are the libm calls the engine
makes (np.* may vectorise: math only), so the draws match to the bit. No test
framework, so the benchmarks can import it too.
"""

import collections
import math
from pathlib import Path

import numpy as np

M64 = (1 << 64) - 1
EPS = 2.220446049250313e-16


# ---------------------------------------------------------------------------
# Random stream and draws

ZIG = {}
for _line in (Path(__file__).parent / "data" / "ziggurat_tables.txt").read_text().splitlines():
    if (_line := _line.strip()).startswith("["):
        _table = ZIG[_line[1:-1]] = []
    elif _line and not _line.startswith("#"):
        _table.append(float(_line))
NX, NF, EX, EF = ZIG["normal_x"], ZIG["normal_f"], ZIG["exponential_x"], ZIG["exponential_f"]
NR, ER = NX[1], EX[1]


def one_two(bits):
    """[1, 2) from the top 52 bits: exact as a sum, no bit casting needed."""
    return 1.0 + (bits >> 12) * 2.0**-52


class RefEngine:
    """MT19937-64 with the draw recipes; `outputs` counts the raw outputs drawn and
    `paths` the rare branches taken, so a test can show its comparison went through them."""

    def __init__(self, seed):
        mt = [seed & M64]
        for i in range(1, 312):
            prev = mt[-1]
            mt.append((6364136223846793005 * (prev ^ (prev >> 62)) + i) & M64)
        self.mt, self.pos, self.outputs = mt, 312, 0
        self.paths = collections.Counter()

    def next_u64(self):
        if self.pos >= 312:
            mt = self.mt
            for i in range(312):
                x = (mt[i] & 0xFFFFFFFF80000000) | (mt[(i + 1) % 312] & 0x7FFFFFFF)
                xa = (x >> 1) ^ (0xB5026F5AA96619E9 if x & 1 else 0)
                mt[i] = mt[(i + 156) % 312] ^ xa
            self.pos = 0
        y = self.mt[self.pos]
        self.pos += 1
        self.outputs += 1
        y ^= (y >> 29) & 0x5555555555555555
        y ^= (y << 17) & 0x71D67FFFEDA60000
        y ^= (y << 37) & 0xFFF7EEE000000000
        return y ^ (y >> 43)

    def uniform01(self):
        return (self.next_u64() >> 11) * 2.0**-53

    def uniform_open01(self):
        return one_two(self.next_u64()) - (1.0 - 2.0**-53)

    def int_range(self, low, high):
        """Uniform in [low, high) by 32-bit multiply-and-reject on the low word."""
        span = (high - low) & 0xFFFFFFFF
        threshold = ((1 << 32) - span) % span
        while True:
            m = (self.next_u64() & 0xFFFFFFFF) * span
            if m & 0xFFFFFFFF >= threshold:
                return low + (m >> 32)

    def normal(self):
        while True:
            bits = self.next_u64()
            i = bits & 255
            u = 2.0 * one_two(bits) - 3.0
            x = u * NX[i]
            if abs(x) < NX[i + 1]:
                return x
            if i == 0:
                self.paths["normal tail"] += 1
                while True:
                    a = math.log(self.uniform_open01()) / NR
                    b = math.log(self.uniform_open01())
                    if not -2.0 * b < a * a:
                        return a - NR if u < 0 else NR - a
            self.paths["normal wedge"] += 1
            if NF[i + 1] + (NF[i] - NF[i + 1]) * self.uniform01() < math.exp(((-x) * x) / 2.0):
                return x

    def exponential(self):
        while True:
            bits = self.next_u64()
            i = bits & 255
            x = (one_two(bits) - (1.0 - 2.0**-53)) * EX[i]
            if x < EX[i + 1]:
                return x
            if i == 0:
                self.paths["exponential tail"] += 1
                w = self.uniform01()
                return ER - (math.log(w) if w > 0.0 else -math.inf)
            self.paths["exponential wedge"] += 1
            if EF[i + 1] + (EF[i] - EF[i + 1]) * self.uniform01() < math.exp(-x):
                return x

    def gamma(self, shape, scale):
        """Marsaglia-Tsang for shape > 1, the only case the laws need."""
        d = shape - 1.0 / 3.0
        c = 1.0 / math.sqrt(9.0 * d)
        while True:
            z = self.normal()
            t = 1.0 + c * z
            if t <= 0.0:
                self.paths["gamma t <= 0"] += 1
                continue
            v = (t * t) * t
            u = self.uniform_open01()
            z2 = z * z
            if u < (z2 * -0.0331) * z2 + 1.0:
                return (d * v) * scale
            if math.log(u) < (math.log(v) + (1.0 - v)) * d + z2 * 0.5:
                self.paths["gamma log test"] += 1
                return (d * v) * scale
            self.paths["gamma reject"] += 1

    def innovation(self, code, sigma, param):
        if code == 1:
            z = self.normal()
            g = self.gamma(param / 2.0, 2.0)
            return (sigma * math.sqrt((param - 2.0) / param)) * (z * math.sqrt(param / g))
        if code == 2:
            b = sigma / 1.4142135623730951
            beta = 1.0 / (1.0 / b) if b != 0.0 else 0.0  # a zero scale: rate +inf, scale 0
            e1 = self.exponential()
            e2 = self.exponential()
            return e1 * beta - e2 * beta
        if code == 3:  # [-a, a) with a = sigma * sqrt(3), the width narrowed until the top stays below a
            a = sigma * 1.7320508075688772
            s = 2.0 * a
            while -a + s * (1.0 - 2.0**-52) > a:
                s = math.nextafter(s, -math.inf)
            return (one_two(self.next_u64()) - 1.0) * s - a
        if code == 4:
            delta = param / math.sqrt(param * param + 1.0)
            u0 = abs(self.normal())
            z2 = self.normal()
            x = delta * u0 + math.sqrt(1.0 - delta * delta) * z2
            v = 1.0 - ((2.0 * delta) * delta) / 3.141592653589793
            if v > 0.0:
                return (sigma / math.sqrt(v)) * (x - delta * 0.7978845608028654)
            return sigma * x
        return 0.0 + sigma * self.normal()


# ---------------------------------------------------------------------------
# Classical decomposition and the spectral features

def classical_decompose(x, period):
    """Weights and a convolution, run over x - x[0] so a large level does not swamp the sums."""
    n = len(x)
    usable = period is not None and period <= n // 2
    if usable and period % 2 == 0:
        weights = np.r_[0.5, np.ones(period - 1), 0.5] / period
    else:
        w = period if usable else max((n // 10) | 1, 3)
        weights = np.full(w, 1.0 / w)
    h = (len(weights) - 1) // 2
    full = np.convolve(x - x[0], weights, "valid") + x[0]
    trend = np.r_[np.full(h, full[0]), full, np.full(h, full[-1])]
    seasonal = np.zeros(n)
    if usable:
        means = np.array([(x - trend)[k::period].mean() for k in range(period)])
        seasonal = np.resize(means - means.mean(), n)
    return trend, seasonal, (x - trend) - seasonal


def popvar(v):
    return np.mean((v - v.mean()) ** 2) if len(v) else math.nan


def strength(signal, residual):
    denom = popvar(signal + residual)
    return 0.0 if denom <= EPS else min(max(1.0 - popvar(residual) / denom, 0.0), 1.0)


def spectral_features(x, period, parts=None):
    """[spectral entropy, trend strength, seasonal strength, lag-1 autocorrelation];
    `parts` is x's decomposition when the caller already has it."""
    n = len(x)
    trend, seasonal, residual = classical_decompose(x, period) if parts is None else parts
    usable = period is not None and period <= n // 2
    seas = strength(seasonal, residual) if usable and np.any(seasonal != 0.0) else 0.0
    c = x - x.mean()
    v = np.mean(c * c)
    acf1 = 0.0 if v <= EPS else np.dot(c[1:], c[:-1]) / n / v
    entropy = 0.0
    if n >= 4 and popvar(c) > EPS:
        power = np.abs(np.fft.rfft(c)[1:]) ** 2
        if power.sum() > EPS:
            q = power[power > 0] / power.sum()
            entropy = min(max(-np.sum(np.log(q) * q) / math.log(n // 2), 0.0), 1.0)
    return [entropy, strength(trend, residual), seas, acf1]


def window_features(z, w):
    """[variance of the variances of the w-long tiles, largest change of the
    window mean, largest change of the window variance], windows w apart."""
    n = len(z)
    tiles = z[:n // w * w].reshape(-1, w)
    windows = np.lib.stride_tricks.sliding_window_view(z, w)
    mean, var = windows.mean(axis=1), windows.var(axis=1)
    return [popvar(tiles.var(axis=1)), np.max(np.abs(mean[:-w] - mean[w:])), np.max(np.abs(var[:-w] - var[w:]))]


def median_crossings(z):
    below = z <= np.median(z)
    return float(np.count_nonzero(below[1:] != below[:-1]))
