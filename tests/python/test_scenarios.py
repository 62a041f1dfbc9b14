"""The scenario generators reached only through the batch functions: tsi
(code 28) and tcm (code 29). Their pools travel as array_params; seeded output
is pinned by digest (see test_generators.py for the pattern)."""

import math

import numpy as np
import pytest
from scipy import stats

from conftest import assert_panics, batch_values, digest

NAN, INF, IMAX = math.nan, math.inf, 2.0**31 - 1
TSI, TCM = 28, 29


def batch(code, s, pools, n=60, seed=1, n_workers=0, series=1):
    rows = batch_values(code, s, pools, [n] * series, range(seed, seed + series), n_workers)
    return rows[0] if series == 1 else np.stack(rows)


def slots(base, **changes):
    """`base` with slots overridden as s0=..., s12=..."""
    s = list(base)
    for key, v in changes.items():
        s[int(key[1:])] = v
    return s


# TSI: s0,s1 trend magnitude; s2,s3 exponential rate; s4,s5 knots; s6,s7 level;
# s8,s9 components; s10,s11 amplitude (log); s12 modulation; s13 harmonics;
# s14,s15 noise level (log); s16,s17 AR coefficient; s18,s19 Student-t df;
# s20 multiplicative; s21,s22 output scale (log)
TSI_S = [1.0, 5.0, 0.5, 2.0, 1.0, 5.0, -1.0, 1.0, 1.0, 3.0, 0.5, 2.0, 0.3, 0.3, 0.01, 0.2, -0.5, 0.9, 3.0, 8.0,
         0.3, 0.5, 2.0]
TSI_POOLS = [[0, 1, 2, 3, 4, 5], [7.0, 12.0, 24.0], [0, 1, 2, 3, 4]]
LINE = slots(TSI_S, s0=10.0, s1=10.0, s6=0.0, s7=0.0, s8=0.0, s9=0.0, s14=0.0, s15=0.0, s21=1.0, s22=1.0)

# TCM: s0,s1 node count; s2,s3 maximum lag; s4,s5 edge probability; s6,s7 edge
# weight magnitude; s8 radius scale; s9 soft-clip scale; s10,s11 noise scale;
# s12 envelope probability
TCM_S = [2.0, 5.0, 1.0, 3.0, 0.2, 0.5, 0.2, 1.0, 1.0, 3.0, 0.5, 1.5, 0.3]
TCM_POOLS = [[0, 1, 2, 3, 4], [0, 1, 2, 3, 4]]
FLAT = slots(TCM_S, s10=0.0, s11=0.0)  # every node stays 0: six rejections, then the fallback

# (code, scalars, pools, length, seed, digest); checked once against a line-by-line
# reading of the generator before being pinned
GOLDEN = [
    (TSI, TSI_S, TSI_POOLS, 200, 3, "2255a19c6585bae6"),
    (TSI, slots(TSI_S, s20=1.0, s12=1.0), [[2], [12.0], [1]], 150, 4, "5ef88a8d13bebaa9"),  # multiplicative, modulated
    (TSI, slots(TSI_S, s13=1.0, s12=0.0), [[3], [7.0, 30.0], [2]], 150, 5, "f425c4b7dd67c474"),  # harmonics
    (TSI, slots(TSI_S, s4=40.0, s5=60.0, s20=1.0), [[4], [24.0], [3]], 300, 6, "9fca7f6172c4e3eb"),  # many knots
    (TSI, slots(TSI_S, s8=0.0, s9=0.0), [[5], [24.0], [4]], 100, 7, "9706e6a7b594f3c6"),
    (TSI, TSI_S, [[9], [0.0], [7]], 50, 8, "b3e2e8fc9f83de0d"),  # period 0: every attempt NaN, then normals
    (TSI, TSI_S, TSI_POOLS, 1, 9, "e0cb6c101ecc7758"),
    (TCM, TCM_S, TCM_POOLS, 200, 3, "555d7d856efd8dbe"),
    (TCM, slots(TCM_S, s0=1.0, s1=1.0, s2=1.0, s3=1.0), [[0], [0]], 150, 4, "e76f3960ae70f257"),  # one AR(1) node
    (TCM, slots(TCM_S, s4=1.0, s5=1.0, s12=1.0), [[1, 3], [1, 2]], 150, 5, "15a4ec13e271e115"),  # no linear kind
    (TCM, slots(TCM_S, s8=-0.5), [[4, 2], [3]], 120, 6, "8138545352bb2c40"),  # negative target radius
    (TCM, slots(TCM_S, s0=6.0, s1=6.0, s2=4.0, s3=4.0, s4=0.9, s5=0.9), [[0, 0, 1], [4]], 80, 10, "bb3da1d311aa3e8d"),
    (TCM, FLAT, [[0], [0]], 100, 7, "2f366471f28c8268"),
    (TCM, TCM_S, TCM_POOLS, 1, 9, "e07713eb49502b6a"),  # a single value has no spread: always the fallback
]


@pytest.mark.parametrize("code,s,pools,n,seed,want", GOLDEN)
def test_golden_digests(code, s, pools, n, seed, want):
    assert digest(batch(code, s, pools, n=n, seed=seed)) == want


# Without components, noise or scale range, nothing is drawn: the output is the line itself.
@pytest.mark.parametrize("n", [1, 2, 999])
def test_tsi_linear_trend_makes_no_draw(n):
    line = np.arange(n) / max(n - 1, 1) * 10.0
    for seed in (0, 1, 2**64 - 1):
        assert batch(TSI, LINE, [[1], [12.0], [3]], n=n, seed=seed).tobytes() == line.tobytes()


# After six flat attempts the output is y[k] = 0.7 y[k-1] + z with standard normal z.
def test_tcm_fallback_is_an_ar1_of_normals():
    y = batch(TCM, FLAT, [[0], [0]], n=20000, seed=11)
    z = y[1:] - 0.7 * y[:-1]
    assert abs(z.mean()) < 0.03 and abs(z.std() - 1.0) < 0.02
    assert stats.kstest(z, "norm").pvalue > 1e-3
    assert abs(np.corrcoef(z[1:], z[:-1])[0, 1]) < 0.03


@pytest.mark.parametrize("code,s,pools", [(TSI, TSI_S, TSI_POOLS), (TCM, TCM_S, TCM_POOLS)])
def test_worker_count_does_not_change_values(code, s, pools):
    runs = [batch(code, s, pools, n=128, seed=40, n_workers=w, series=24) for w in (0, 1, 8)]
    assert runs[0].tobytes() == runs[1].tobytes() == runs[2].tobytes()
    assert len({row.tobytes() for row in runs[0]}) == 24


UNIFORM = "invalid uniform params: requires a < b and finite: "
RANGE = "invalid integer range: requires low < high: EmptyRange"
TOO_LARGE = "tcm: graph of {} nodes and {} lags is too large (limits: nodes * nodes * lags <= 65536, lags <= 1024)"

# (code, scalars, pools, length, fault text; None: an empty series, no fault)
FAULTS = [
    (TSI, TSI_S, [[], [], []], 0, None),
    (TSI, TSI_S, [[], [], []], 1, "tsi: trend type pool is empty"),
    (TSI, TSI_S, [[1], [], []], 1, "tsi: seasonal period pool is empty"),
    (TSI, TSI_S, [[1], [1.0], []], 1, "tsi: irregular type pool is empty"),
    (TSI, slots(TSI_S, s0=NAN), TSI_POOLS, 5, UNIFORM + "EmptyRange"),
    (TSI, slots(TSI_S, s10=0.0), TSI_POOLS, 5, UNIFORM + "NonFinite"),  # log of a zero lower bound
    (TSI, slots(TSI_S, s5=IMAX), [[4], [9.0], [0]], 5, RANGE),
    (TSI, slots(TSI_S, s9=1e10), TSI_POOLS, 5, RANGE),
    (TSI, slots(TSI_S, s4=2e6, s5=2e6), [[4], [9.0], [0]], 5, "tsi: at most 1000000 trend knots, got 2000000"),
    (TSI, slots(TSI_S, s8=1001.0), TSI_POOLS, 5, "tsi: at most 1000 seasonal components, got 1001"),
    (TSI, slots(TSI_S, s18=2.0, s19=2.0), [[1], [9.0], [3]], 5, "Student's t df must be > 2 for finite variance"),
    (TSI, slots(TSI_S, s14=INF, s15=INF), [[1], [9.0], [1]], 5,
     "invalid normal params: std must be finite and >= 0: BadVariance"),
    (TCM, TCM_S, [[], []], 0, None),
    (TCM, TCM_S, [[], []], 1, "tcm: edge kind pool is empty"),
    (TCM, TCM_S, [[0], []], 1, "tcm: noise type pool is empty"),
    (TCM, slots(TCM_S, s1=IMAX), TCM_POOLS, 5, RANGE),
    (TCM, slots(TCM_S, s3=1e10), TCM_POOLS, 5, RANGE),
    (TCM, slots(TCM_S, s0=300.0, s1=300.0, s3=1.0), TCM_POOLS, 5, TOO_LARGE.format(300, 1)),
    (TCM, slots(TCM_S, s0=1.0, s1=1.0, s2=1025.0, s3=1025.0), TCM_POOLS, 5, TOO_LARGE.format(1, 1025)),
    (TCM, slots(TCM_S, s0=1e5, s1=1e5, s2=2.0, s3=2.0), TCM_POOLS, 5, TOO_LARGE.format(100000, 2)),
    (TCM, slots(TCM_S, s4=NAN), TCM_POOLS, 5, UNIFORM + "EmptyRange"),
    (TCM, slots(TCM_S, s6=-INF), TCM_POOLS, 5, UNIFORM + "NonFinite"),
    (TCM, slots(TCM_S, s10=-1.0, s11=-1.0), [[0], [2]], 5, "invalid laplace param: scale must be > 0: LambdaTooSmall"),
    (TCM, slots(TCM_S, s10=INF, s11=INF), [[0], [0]], 5,
     "invalid normal innovation param: scale must be finite and >= 0: BadVariance"),
]


@pytest.mark.parametrize("code,s,pools,n,text", FAULTS)
def test_faults(code, s, pools, n, text):
    if text is None:
        assert batch(code, s, pools, n=n).shape == (0,)
    else:
        assert_panics(batch, code, s, pools, n=n, text=text)
