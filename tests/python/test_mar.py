"""The mixture-autoregressive generator through generate_batch (code 30), and
mar_features_batch, which scores its draws."""

import math

import numpy as np
import pytest

from conftest import assert_error, assert_panics, batch_values, digest, raised
from quillmarten import _lib

A = _lib.augmentation
MAR = 30


def scalars(**slots):
    """Twelve scalars of a valid random-mode run, with slots overridden as s0=..., s11=..."""
    s = [3.0, 2.0, 0.0, 1.0, 0.5, 0.5, 1.5, 20.0, 0.0, 0.0, 0.0, 0.0]
    for key, v in slots.items():
        s[int(key[1:])] = v
    return s


def fixed(**slots):
    return scalars(**{"s9": 1.0, **slots})


TWO = [[0.6, 0.4], [1, 2], [0.5, 0.3, -0.2], [0.0, 1.0], [1.0, 0.5]]


def draw(s, arrays=(), n=100, seed=1):
    return batch_values(MAR, s, arrays, [n], [seed])[0]


# ---------------------------------------------------------------------------
# Messages, in the order the checks run

NO_SERIES = "mar: fixed configuration produced no finite, bounded, non-constant series in 8 attempts"
LAYOUT = "mar: invalid fixed AR coefficient layout"
COUNTS = "mar: inconsistent fixed component counts"


@pytest.mark.parametrize("s,arrays,message", [
    (scalars() + [math.nan], [], "mar: scalar params must be finite"),
    (fixed(s0=0.5, s11=math.nan), [], "mar: scalar params must be finite"),
    (fixed(s0=0.5), [], "mar: invalid configuration"),  # ranges before the fixed arrays
    (fixed(), TWO[:4], "mar: expected >= 5 array params in fixed mode, got 4"),
    (fixed(s9=-0.5), [], "mar: expected >= 5 array params in fixed mode, got 0"),
    (fixed(), [[], [], [], [], []], COUNTS),
    (fixed(), [[0.5, 0.5], [1, 1e20], [0.5], [0, 0], [1, 1]], "mar: fixed AR coefficient offset overflow"),
    (fixed(), [[0.5, 0.5], [1, 2.5], [0.5] * 3, [0, 0], [1, 1]], LAYOUT),
    (fixed(), [[1.0], [0], [], [0.0], [1.0]], LAYOUT),
    (fixed(), [[0.5, 0.5], [1, 2], [0.5] * 4, [0, 0], [1, 1]], "mar: unused fixed AR coefficients"),
    (fixed(), [[1.0], [1], [1.5], [0.0], [1.0]], NO_SERIES),
    (fixed(), [[1.0], [1], [0.0], [3.0], [0.0]], NO_SERIES),  # zero scale: constant at 3
])
def test_messages(s, arrays, message):
    assert_error(raised(draw, s, arrays, 50), ValueError, message)


@pytest.mark.parametrize("slot,value", [
    (0, 0.5), (0, 1e6 + 1), (1, 2e6), (2, -0.1), (2, 1e9 + 1), (3, 0.0), (4, -1e-300), (5, 1.6), (6, 0.4), (7, -0.5),
])
@pytest.mark.parametrize("mode", [0.0, 1.0])
def test_every_range_is_checked_in_both_modes(slot, value, mode):
    exc = raised(draw, scalars(s9=mode, **{f"s{slot}": value}), TWO, 50)
    assert_error(exc, ValueError, "mar: invalid configuration")


LIMIT = "mar: the largest AR order of a drawn configuration is limited to 20000, got {}"
ONE = [[1.0], [1], [0.5], [0.0], [1.0]]


@pytest.mark.parametrize("s,arrays,n,text", [
    (fixed(s10=3.0), [*ONE[:4], [-1.0]], 100, "invalid uniform innovation param: scale must be > 0: EmptyRange"),
    (fixed(s10=1.0, s11=2.0), TWO, 100, "Student's t df must be > 2 for finite variance"),
    # Seed 1 puts a seasonal block at lag 1e9: no lag window that long is kept.
    (scalars(s0=1.0, s1=1.0, s2=1e9), [], 10, "mar: lag window too large (1000000001 lags)"),
    # Drawing order p costs ~p^2 uninterruptible steps per component and attempt, so
    # the drawn order is bounded before any work (fixed mode draws none; None: accepted).
    (scalars(s0=1.0, s1=20000.5), ONE, 0, None),
    (scalars(s0=1.0, s1=20001), ONE, 10, LIMIT.format(20001)),
    (scalars(s0=1.0, s1=1e6), ONE, 10, LIMIT.format(1000000)),
    (scalars(s0=1.0, s1=1e6, s9=1.0), ONE, 0, None),
])
def test_faults(s, arrays, n, text):
    if text:
        assert_panics(draw, s, arrays, n, text=text)
    else:
        assert len(draw(s, arrays, n)) == 0


# ---------------------------------------------------------------------------
# Seeded output (see test_generators.py for the pattern)

# A component of scale 1e12 blows past 1e8 at once: attempts fail about half the time.
RETRY = [[0.5, 0.5], [1, 1], [0.5, 0.5], [0.0, 0.0], [1.0, 1e12]]

# (scalars, arrays, length, seed, digest)
GOLDEN = [
    (fixed(s7=0.0, s10=3.0), TWO, 60, 20300, "31052d9bb4a59003"),
    (fixed(s7=3.0, s8=1.0), [[1.0], [1], [0.0], [2.0], [0.25]], 40, 20280, "7579c18c4181d275"),
    # weights summing to 0.4: a uniform draw at or above that picks the last component
    (fixed(s7=5.0, s10=0.0), [[0.2, 0.2], [2, 1], [0.4, 0.1, -0.6], [1.0, -1.0], [0.5, 3.0]], 200, 20440,
     "6b1ea61148adf234"),
    (fixed(s7=2.0, s8=1.0, s10=3.0), [[0.1] * 10, [1] * 10, [0.1 * k - 0.45 for k in range(10)],
                                      [10.0 * k for k in range(10)], [0.1] * 10], 300, 20540, "49afbbb0f64b97fa"),
    (fixed(s7=5000.0, s10=3.0), TWO, 300, 20540, "3889db67daa8a190"),  # burn-in longer than one working chunk
    (fixed(s7=2.0), RETRY, 1, 19, "a24560a91ff7f608"),  # the eighth attempt, on the same engine
    (fixed(s7=2.0), RETRY, 1, 11, "2c35ae91c433cd86"),  # the seventh
    (scalars(), [], 150, 4, "63e3edc957cee039"),
    (scalars(s1=3.0, s2=12.0), [], 150, 4, "b74c2830e3e95c8e"),
    (scalars(s0=1.0, s2=300000.0), [], 150, 4, "41ab295b77f13a1b"),
    (scalars(s10=2.0), [], 150, 4, "c5981afa25db3e58"),
]


@pytest.mark.parametrize("s,arrays,n,seed,want", GOLDEN)
def test_golden_digests(s, arrays, n, seed, want):
    assert digest(draw(s, arrays, n, seed)) == want


# The innovation code is truncated (3.9 is the uniform law) and saturates (2**40
# has no law of its own: the normal one).
@pytest.mark.parametrize("slot,code", [(3.9, 3.0), (2.0**40, 0.0), (-0.7, 0.0)])
def test_innovation_code_slot(slot, code):
    assert np.array_equal(draw(fixed(s10=slot), TWO, 80, 3), draw(fixed(s10=code), TWO, 80, 3))


# ---------------------------------------------------------------------------
# Random mode

# The edges of the ranges are allowed.
@pytest.mark.parametrize("s", [
    scalars(s0=1e6), scalars(s0=1.0, s1=1.0), scalars(s2=0.5), scalars(s4=0.0), scalars(s5=1.5), scalars(s7=0.0),
])
def test_random_mode_is_a_function_of_the_seed(s):
    a, b, c = draw(s, n=150, seed=4), draw(s, n=150, seed=4), draw(s, n=150, seed=5)
    assert np.array_equal(a, b)
    assert not np.array_equal(a, c)
    assert np.all(np.isfinite(a)) and np.all(np.abs(a) < 1e8) and a.std() > 1e-8


@pytest.mark.parametrize("n", [2, 257])
def test_zscore(n):
    z = draw(scalars(s8=1.0), n=n, seed=3)
    assert abs(z.mean()) < 1e-12 and z.std() == pytest.approx(1.0, rel=1e-12)
    assert np.array_equal(draw(scalars(s8=1.0), n=1, seed=6), draw(scalars(), n=1, seed=6))
    assert draw(scalars(), n=0).shape == (0,)


@pytest.mark.parametrize("zscore", [0.0, 1.0])
def test_huge_scales_fall_back_to_standard_normals(zscore):
    x = draw(scalars(s5=1e9, s6=1e9, s8=zscore), n=2000, seed=12)
    assert np.abs(x).max() < 6.5
    assert abs(x.mean()) < 0.1 and abs(x.std() - 1.0) < 0.06


# ---------------------------------------------------------------------------
# mar_features_batch

def features_batch(cands, lengths, seeds, period=None, n_workers=0):
    return A.mar_features_batch([c[0] for c in cands], [c[1] for c in cands], lengths, seeds, period, n_workers)


CANDS = [(scalars(), []), (fixed(), TWO), (scalars(s0=0.5), []), (scalars(s2=7.0, s8=1.0), [[9.0]]),
         (fixed(), [[1.0], [1], [1.5], [0.0], [1.0]]), (scalars()[:11], []), (scalars(s10=4.0, s11=3.0), [])]
FAILING = {2, 4, 5}


def test_records_are_the_features_of_the_batch_draws():
    lengths = [3, 100, 333]
    seeds = [[7 + c, 8 + c, 9 + c] for c in range(len(CANDS))]
    got = features_batch(CANDS, lengths, seeds, 6)
    assert isinstance(got, list) and len(got) == len(CANDS)
    for c, (s, arrays) in enumerate(CANDS):
        if c in FAILING:
            assert got[c] is None
            continue
        assert isinstance(got[c], list) and len(got[c]) == 3
        for k, n in enumerate(lengths):
            assert isinstance(got[c][k], list)
            assert got[c][k] == list(A.compute_features(draw(s, arrays, n, seeds[c][k]), 6))


def test_workers_do_not_change_the_result():
    seeds = [[c, c + 1000] for c in range(40)]
    cands = (CANDS * 6)[:40]
    runs = [features_batch(cands, [64, 30], seeds, None, w) for w in (0, 1, 8)]
    assert runs[0] == runs[1] == runs[2]
    assert [r is None for r in runs[0]] == [i % len(CANDS) in FAILING for i in range(40)]
    # A period below 2 fails every candidate quietly.
    assert features_batch(CANDS[:2], [20, 30], [[1, 2], [3, 4]], 0) == [None, None]


@pytest.mark.parametrize("scalar_sets,array_sets,lengths,seeds", [
    ([scalars()], [[]], [], [[]]), ([scalars()], [[]], [2], [[1]]), ([scalars()], [[]], [50, 1000001], [[1, 2]]),
    ([scalars()] * 2, [[]] * 2, [50], [[1], []]), ([scalars()], [[]], [50], []), ([scalars()], [[], []], [10], [[1]]),
])
def test_dimension_errors(scalar_sets, array_sets, lengths, seeds):
    exc = raised(A.mar_features_batch, scalar_sets, array_sets, lengths, seeds)
    assert_error(exc, ValueError, "invalid MAR feature batch dimensions or lengths")


def test_length_bound_is_inclusive():
    assert A.mar_features_batch([], [], [10], []) == []
    (big,) = features_batch([(scalars(s0=1.0, s1=1.0, s7=0.0), [])], [1000000], [[2]])
    assert len(big) == 1 and all(math.isfinite(v) for v in big[0])


def test_fault_in_a_draw_ends_the_call():
    assert_panics(features_batch, [CANDS[0], (fixed(s10=2.0), [*ONE[:4], [-1.0]])], [40], [[1], [2]],
                  text="invalid laplace param: scale must be > 0: LambdaTooSmall")
