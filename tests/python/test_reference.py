"""The reference module itself: the published MT19937-64 stream, the ziggurat
tables, and the draws and windows other tests take as ground truth."""

import numpy as np
import pytest

from reference import EF, EX, M64, NF, NX, ZIG, RefEngine, classical_decompose, uniform_innovation


def test_engine_is_mt19937_64():
    eng = RefEngine(5489)
    assert eng.next_u64() == 14514284786278117030
    eng.stream(9998)
    assert eng.next_u64() == 9981545732273789042  # the 10000th output, as fixed for mt19937_64 in C++
    # The ziggurat tables as published: the data file has no stray digit at either end.
    assert (NX[1], NF[1], EX[1], EF[1]) == (3.654152885361009, 0.001260285930498598, 7.69711747013105,
                                            0.000454134353841497)
    assert all(len(t) == 257 for t in ZIG.values()) and (NX[256], EX[256], NF[256], EF[256]) == (0.0, 0.0, 1.0, 1.0)


@pytest.mark.parametrize("low,high", [(-3, 5), (-2**31, 1)])  # never rejects; rejects almost half
def test_int_range(low, high):
    eng, raw = RefEngine(9), RefEngine(9)
    got = [eng.int_range(low, high) for _ in range(2000)]
    assert all(low <= v < high for v in got)
    if high - low == 8:  # each value is the top bits of one output's low word
        assert got == [low + ((w & 0xFFFFFFFF) >> 29) for w in raw.stream(2000)]
    else:
        assert abs(eng.outputs / 4000 - 1.0) < 0.1


@pytest.mark.parametrize("sigma", [1.0, 1e-300, 1e300])
def test_uniform_innovation_stays_inside_its_range(sigma):
    a = sigma * 1.7320508075688772
    assert uniform_innovation(0, sigma) == -a and uniform_innovation(M64, sigma) < a


@pytest.mark.parametrize("x,period,trend", [
    ([1.0, 2.0, 6.0], None, [3.0, 3.0, 3.0]),
    # even period: half weights on the window's two ends, the edges repeat the nearest value
    ([3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0], 4, [2.5, 2.5, 2.5, 3.75, 4.5, 4.875, 4.875, 4.875]),
    # an impulse far from zero shows the default window (n // 10 | 1 = 5 values) and no lost digits
    ([1e9] * 20 + [1e9 + 5.0] + [1e9] * 19, None, [1e9] * 18 + [1e9 + 1.0] * 5 + [1e9] * 17),
])
def test_classical_decompose(x, period, trend):
    x = np.array(x)
    t, s, r = classical_decompose(x, period)
    np.testing.assert_array_equal(t, trend)
    np.testing.assert_array_equal(r, (x - t) - s)
    if period is None:
        assert not s.any()
    else:
        np.testing.assert_array_equal(s, np.resize(s[:period], len(x)))
        assert abs(s[:period].sum()) <= 1e-12
