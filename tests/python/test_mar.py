"""The mixture-autoregressive generator through generate_batch (code 30), and
mar_features_batch, which scores its draws."""

import math

import numpy as np
import pytest

from conftest import assert_panics
from quillmarten import _lib
from reference import RefEngine, uniform_innovation

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


def batch(s, arrays=(), lengths=(100,), seeds=(1,), n_workers=0):
    rows = _lib.batch.generate_batch(
        MAR, np.array(s, float), [np.array(a, float) for a in arrays], np.array(lengths, np.int32),
        np.array(seeds, np.uint64), np.zeros(3 * len(lengths), np.uint64), {}, n_workers)
    for r in rows:
        assert len(r["cp_indices"]) == len(r["anom_indices"]) == len(r["miss_indices"]) == 0
    return [r["values"] for r in rows]


def draw(s, arrays=(), n=100, seed=1):
    return batch(s, arrays, [n], [seed])[0]


def error(s, arrays=(), n=50):
    with pytest.raises(ValueError) as e:
        draw(s, arrays, n)
    return str(e.value)


# ---------------------------------------------------------------------------
# Messages, in the order the checks run

@pytest.mark.parametrize("s,arrays,message", [
    (scalars()[:11], [], "mar: expected >= 12 scalar params, got 11"),
    ([math.nan] * 3, [], "mar: expected >= 12 scalar params, got 3"),
    (scalars() + [math.nan], [], "mar: scalar params must be finite"),
    (scalars(s0=math.inf), [], "mar: scalar params must be finite"),
    (fixed(s11=math.nan), [], "mar: scalar params must be finite"),
    (fixed(s0=0.5), [], "mar: invalid configuration"),  # ranges before the fixed arrays
    (fixed(s7=-1.0), TWO, "mar: invalid configuration"),
    (fixed(), TWO[:4], "mar: expected >= 5 array params in fixed mode, got 4"),
    (fixed(s9=-0.5), [], "mar: expected >= 5 array params in fixed mode, got 0"),
    (fixed(), [[], [], [], [], []], "mar: inconsistent fixed component counts"),
    (fixed(), [[1.0], [1, 1], [0.5, 0.5], [0.0], [1.0]], "mar: inconsistent fixed component counts"),
    (fixed(), [[1.0, 0.0], [1, 1], [0.5, 0.5], [0.0, 0.0], [1.0]], "mar: inconsistent fixed component counts"),
    (fixed(), [[1.0], [1], [0.5, 9.0], [0.0, 0.0], [1.0]], "mar: inconsistent fixed component counts"),
    (fixed(), [[0.5, 0.5], [1, 1e20], [0.5], [0, 0], [1, 1]], "mar: fixed AR coefficient offset overflow"),
    (fixed(), [[0.5, 0.5], [1, 2.5], [0.5] * 3, [0, 0], [1, 1]], "mar: invalid fixed AR coefficient layout"),
    (fixed(), [[1.0], [0], [], [0.0], [1.0]], "mar: invalid fixed AR coefficient layout"),
    (fixed(), [[1.0], [-1], [0.5], [0.0], [1.0]], "mar: invalid fixed AR coefficient layout"),
    (fixed(), [[1.0], [math.inf], [0.5], [0.0], [1.0]], "mar: invalid fixed AR coefficient layout"),
    (fixed(), [[1.0], [math.nan], [0.5], [0.0], [1.0]], "mar: invalid fixed AR coefficient layout"),
    (fixed(), [[0.5, 0.5], [1, 2], [0.5, 0.3], [0, 0], [1, 1]], "mar: invalid fixed AR coefficient layout"),
    (fixed(), [[0.5, 0.5], [1, 2], [0.5] * 4, [0, 0], [1, 1]], "mar: unused fixed AR coefficients"),
    (fixed(), [[1.0], [1], [1.5], [0.0], [1.0]],
     "mar: fixed configuration produced no finite, bounded, non-constant series in 8 attempts"),
    (fixed(), [[1.0], [1], [0.0], [3.0], [0.0]],  # zero scale: constant at 3
     "mar: fixed configuration produced no finite, bounded, non-constant series in 8 attempts"),
])
def test_messages(s, arrays, message):
    assert error(s, arrays) == message


@pytest.mark.parametrize("slot,value", [
    (0, 0.5), (0, 1e6 + 1), (1, 0.99), (1, 2e6), (2, -0.1), (2, 1e9 + 1), (3, 0.0), (3, -1.0),
    (4, -1e-300), (5, 0.0), (5, -1.0), (5, 1.6), (6, 0.4), (7, -0.5), (7, 1e9 + 1),
])
@pytest.mark.parametrize("mode", [0.0, 1.0])
def test_every_range_is_checked_in_both_modes(slot, value, mode):
    assert error(scalars(s9=mode, **{f"s{slot}": value}), TWO) == "mar: invalid configuration"


def test_refused_innovation_scale_is_a_fault():
    arrays = [[1.0], [1], [0.5], [0.0], [-1.0]]
    assert_panics(draw, fixed(s10=3.0), arrays,
                  text="invalid uniform innovation param: scale must be > 0: EmptyRange")
    assert_panics(draw, fixed(s10=1.0, s11=2.0), TWO, text="Student's t df must be > 2 for finite variance")


# ---------------------------------------------------------------------------
# Fixed mode, followed draw for draw with uniform innovations

def follow(values, config, burn_in, seed):
    """Checks every output whose lags are all outputs (every output when all
    coefficients are zero) against the model.

    The P initial lags are normal draws; a normal draw that the ziggurat
    accepts at once takes one raw output, as it does for the seeds used here,
    so the steps begin at raw output P. The neighbouring offsets are tried
    too, so that a wrong burn-in or draw order fails with a clear message.
    """
    w, orders, coefs, icpt, scales = config
    phis, at = [], 0
    for p in orders:
        phis.append(coefs[at:at + int(p)])
        at += int(p)
    lags = max(len(p) for p in phis)
    n = len(values)
    raw = RefEngine(seed).stream(lags + 8 + 2 * (burn_in + n))
    cumulative = list(np.cumsum(w))  # sequential, like the generator's running sum

    first = lags if any(coefs) else 0

    def matches(start):
        for j in range(first, n):
            pos = start + 2 * (burn_in + j)
            u = (raw[pos] >> 11) * 2.0 ** -53
            k = next((i for i, c in enumerate(cumulative) if c > u), len(w) - 1)
            a = 0.0
            for i, phi in enumerate(phis[k], 1):
                lag = values[j - i] if j >= i else 0.0  # unseen lags only meet zero coefficients
                a = phi * lag if i == 1 else a + phi * lag
            if values[j] != (a + icpt[k]) + uniform_innovation(raw[pos + 1], scales[k]):
                return False
        return True

    found = [start for start in range(0, lags + 8) if matches(start)]
    assert found == [lags]


@pytest.mark.parametrize("config,burn_in,n", [
    (TWO, 0, 60),
    ([[1.0], [1], [0.0], [2.0], [0.25]], 3, 1),  # white noise around 2: even one value is checked
    ([[0.2, 0.2], [2, 1], [0.4, 0.1, -0.6], [1.0, -1.0], [0.5, 3.0]], 5, 200),  # u >= 0.4 takes the last
    ([[0.5, -0.3, 0.6], [1, 1, 3], [0.5, -0.5, 0.2, 0.1, 0.1], [0.0, 10.0, -10.0], [1.0, 1.0, 2.0]], 0, 150),
    ([[0.1] * 10, [1] * 10, [0.1 * k - 0.45 for k in range(10)], [10.0 * k for k in range(10)], [0.1] * 10], 2, 300),
    (TWO, 5000, 300),  # burn-in longer than one working chunk
])
def test_fixed_mode_follows_the_model(config, burn_in, n):
    seed = 20240 + n
    values = draw(fixed(s7=float(burn_in), s10=3.0), config, n, seed)
    follow(list(values), config, burn_in, seed)


def test_fixed_mode_zscore_and_code_conversion():
    s = fixed(s10=3.0)
    raw = draw(s, TWO, 80, 9)
    # Innovation codes are truncated, and saturate to a code without a law of its own.
    assert np.array_equal(draw(fixed(s10=3.9), TWO, 80, 9), raw)
    assert np.array_equal(draw(fixed(s10=2.0 ** 40), TWO, 80, 9), draw(fixed(s10=0.0), TWO, 80, 9))
    assert not np.array_equal(draw(fixed(s10=0.0), TWO, 80, 9), raw)

    total = 0.0
    for v in raw:
        total += v
    m = total / 80
    ss = 0.0
    for v in raw:
        ss += (v - m) * (v - m)
    assert np.array_equal(draw(fixed(s10=3.0, s8=-2.0), TWO, 80, 9), (raw - m) / math.sqrt(ss / 80))


# ---------------------------------------------------------------------------
# Random mode

@pytest.mark.parametrize("s", [scalars(), scalars(s0=1.0, s1=1.0), scalars(s2=12.0, s1=3.0), scalars(s2=5000.0),
                               scalars(s5=1.0, s6=1.0, s10=2.0), scalars(s7=20000.0, s3=0.3)])
def test_random_mode_is_a_function_of_the_seed(s):
    a, b, c = draw(s, n=150, seed=4), draw(s, n=150, seed=4), draw(s, n=150, seed=5)
    assert np.array_equal(a, b)
    assert not np.array_equal(a, c)
    assert np.all(np.isfinite(a)) and np.all(np.abs(a) < 1e8) and a.std() > 1e-8


@pytest.mark.parametrize("n", [2, 3, 257])
def test_zscore(n):
    z = draw(scalars(s8=1.0), n=n, seed=3)
    assert abs(z.mean()) < 1e-12 and z.std() == pytest.approx(1.0, rel=1e-12)


@pytest.mark.parametrize("s", [scalars(), fixed(s10=3.0)])
def test_one_value_is_never_standardised(s):
    assert np.array_equal(draw(s, TWO, 1, 6), draw([*s[:8], 1.0, *s[9:]], TWO, 1, 6))
    assert draw(s, TWO, 1, 6)[0] != 0.0


def test_zero_length_is_empty():
    assert batch(scalars(), lengths=[0])[0].shape == (0,)
    assert batch(fixed(), TWO, lengths=[0])[0].shape == (0,)


@pytest.mark.parametrize("zscore", [0.0, 1.0])
def test_huge_scales_fall_back_to_standard_normals(zscore):
    x = draw(scalars(s5=1e9, s6=1e9, s8=zscore), n=2000, seed=12)
    assert np.abs(x).max() < 6.5
    assert abs(x.mean()) < 0.1 and abs(x.std() - 1.0) < 0.06


def test_batch_is_independent_of_workers():
    lengths = [30, 1, 200, 0, 77] * 4
    seeds = list(range(100, 120))
    for s, arrays in [(scalars(s2=4.0), []), (fixed(s8=1.0), TWO)]:
        runs = [batch(s, arrays, lengths, seeds, w) for w in (0, 1, 8)]
        for other in runs[1:]:
            assert all(np.array_equal(a, b) for a, b in zip(runs[0], other))


# ---------------------------------------------------------------------------
# mar_features_batch

def features_batch(cands, lengths, seeds, period=None, n_workers=0):
    return A.mar_features_batch([c[0] for c in cands], [c[1] for c in cands], lengths, seeds, period, n_workers)


CANDS = [(scalars(), []), (fixed(), TWO), (scalars(s0=0.5), []), (scalars(s2=7.0, s8=1.0), [[9.0]]),
         (fixed(), [[1.0], [1], [1.5], [0.0], [1.0]]), (scalars()[:11], []), (scalars(s10=4.0, s11=3.0), [])]
FAILING = {2, 4, 5}


def test_records_are_the_features_of_the_batch_draws():
    lengths = [50, 100, 333]
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


@pytest.mark.parametrize("period", [0, 1])
def test_short_period_fails_every_candidate_quietly(period):
    assert features_batch(CANDS[:2], [20, 30], [[1, 2], [3, 4]], period) == [None, None]


@pytest.mark.parametrize("n_cand,lengths,seeds", [
    (1, [], [[]]),
    (1, [2], [[1]]),
    (1, [50, 1000001], [[1, 2]]),
    (1, [50], [[1, 2]]),
    (2, [50], [[1], []]),
    (1, [50], []),
])
def test_dimension_errors(n_cand, lengths, seeds):
    with pytest.raises(ValueError) as e:
        features_batch([CANDS[0]] * n_cand, lengths, seeds)
    assert str(e.value) == "invalid MAR feature batch dimensions or lengths"


def test_mismatched_candidate_lists():
    with pytest.raises(ValueError, match="^invalid MAR feature batch dimensions or lengths$"):
        A.mar_features_batch([scalars()], [[], []], [10], [[1]])


def test_length_bounds_are_inclusive():
    assert A.mar_features_batch([], [], [10], []) == []
    (three,) = features_batch([CANDS[0]], [3], [[5]])
    assert three[0] == list(A.compute_features(draw(scalars(), n=3, seed=5)))
    (big,) = features_batch([(scalars(s0=1.0, s1=1.0, s7=0.0), [])], [1000000], [[2]])
    assert len(big) == 1 and all(math.isfinite(v) for v in big[0])


def test_fault_in_a_draw_ends_the_call():
    bad = (fixed(s10=2.0), [[1.0], [1], [0.5], [0.0], [-1.0]])
    assert_panics(features_batch, [CANDS[0], bad], [40], [[1], [2]],
                  text="invalid laplace param: scale must be > 0: LambdaTooSmall")
