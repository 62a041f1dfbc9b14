"""The `stochastic` generators: both roads give the same values, seeded
output is pinned, each process has the moment or identity it promises, and
bad arguments fail with their exact texts."""

import hashlib
import math

import numpy as np
import pytest
from scipy import stats

from conftest import assert_bits_equal, assert_panics
from quillmarten import _lib

S = _lib.stochastic
NAN, INF = math.nan, math.inf
STUDENT = "Student's t df must be > 2 for finite variance"
NORMAL = "invalid normal params: std must be finite and >= 0: BadVariance"
EXPONENTIAL = "invalid exponential param: lambda must be > 0 and finite: LambdaTooSmall"
STALLED = "hawkes_process: thinning bound too large, candidate times no longer advance"


def batch_values(gen_type, scalars, length, seed, arrays=()):
    rows = _lib.batch.generate_batch(gen_type, np.array(scalars, dtype=np.float64),
                                     [np.array(a, dtype=np.float64) for a in arrays],
                                     np.array([length], dtype=np.int32), np.array([seed], dtype=np.uint64),
                                     np.zeros(3, dtype=np.uint64), {}, 0)
    return rows[0]["values"]


def digest(values):
    return hashlib.sha256(np.ascontiguousarray(values, dtype=np.float64).tobytes()).hexdigest()[:16]


def defaults(**base):
    """kwargs(**changes): the arguments of one call, in signature order; sequences become float64 arrays."""
    return lambda **changes: {k: np.array(v, dtype=np.float64) if isinstance(v, (tuple, list)) else v
                              for k, v in {**base, **changes}.items()}


ou = defaults(length=500, theta=0.3, mu=1.5, sigma=0.8, initial_value=2.0, dt=0.1, seed=7, innov_dist=0,
              innov_param=0.0)
gbm = defaults(length=500, mu=0.05, sigma=0.3, initial_value=100.0, dt=0.01, seed=7, innov_dist=0, innov_param=0.0)
jd = defaults(length=500, mu=0.05, sigma=0.3, lambda_jump=20.0, jump_mean=-0.05, jump_std=0.1, initial_value=100.0,
              dt=0.05, seed=7, innov_dist=0, innov_param=0.0)
poisson = defaults(length=500, lambda_rate=3.0, cumulative=False, seed=7)
cyclic = defaults(length=500, base_level=10.0, trend=0.02, cycle_period_mean=24.0, cycle_period_std=5.0,
                  cycle_amplitude_mean=2.0, cycle_amplitude_std=0.5, num_cycles=3, noise_std=0.3, seed=7,
                  innov_dist=0, innov_param=0.0)
garch = defaults(length=500, p=1, q=1, omega=0.1, alpha_arr=(0.1,), beta_arr=(0.8,), mu=0.5, initial_variance=1.0,
                 seed=7, innov_dist=0, innov_param=0.0)
hawkes = defaults(length=300, baseline_intensity=0.5, excitation_amplitude=0.6, decay_rate=1.2, kernel_type=0,
                  power_law_exponent=1.8, output_type=0, max_events=100_000, seed=7)
levy = defaults(length=500, alpha=1.5, beta_skew=0.3, scale=1.3, location=0.2, cumulative=False, initial_value=5.0,
                seed=7)


def batch_call(gen_type, kwargs, length=None):
    """The batch road's series for the same arguments: scalars in signature order, then the arrays."""
    arrays = [v for k, v in kwargs.items() if k.endswith("_arr")]
    scalars = [float(v) for k, v in kwargs.items() if k not in ("length", "seed") and not k.endswith("_arr")]
    return batch_values(gen_type, scalars, kwargs["length"] if length is None else length, kwargs["seed"], arrays)


# ---------------------------------------------------------------------------
# The Python function and its batch code: (function, keyword arguments, code)

ROAD = [
    ("ornstein_uhlenbeck", ou(), 5),
    ("ornstein_uhlenbeck", ou(length=333, seed=2**64 - 1, innov_dist=1, innov_param=4.5), 5),
    ("geometric_brownian_motion", gbm(innov_dist=2), 6),
    ("geometric_brownian_motion", gbm(length=1, innov_dist=1, innov_param=1.0), 6),  # no draw: law unchecked
    ("jump_diffusion", jd(innov_dist=4, innov_param=-2.0), 7),
    ("jump_diffusion", jd(innov_dist=3, seed=0), 7),
    ("poisson_process", poisson(cumulative=True, lambda_rate=40.0), 8),
    ("cyclic", cyclic(innov_dist=1, innov_param=3.0), 9),
    ("garch", garch(p=2, q=3, alpha_arr=(0.05, 0.1, 0.02, 9.0), beta_arr=(0.3, 0.4), innov_dist=4, innov_param=1.5),
     10),
    ("hawkes_process", hawkes(output_type=1), 11),
    ("hawkes_process", hawkes(kernel_type=-3, output_type=1), 11),
    ("hawkes_process", hawkes(kernel_type=1, output_type=5, max_events=40), 11),
    ("levy_process", levy(cumulative=True, alpha=0.8, beta_skew=-1.0), 14),
]


@pytest.mark.parametrize("name,kwargs,gen_type", ROAD)
def test_python_road_equals_batch_road(name, kwargs, gen_type):
    assert_bits_equal(batch_call(gen_type, kwargs), getattr(S, name)(**kwargs))


# ---------------------------------------------------------------------------
# Seeded output, pinned (every draw and its arithmetic)

GOLDEN = [
    ("ornstein_uhlenbeck", ou(innov_dist=1, innov_param=3.5, seed=3), "74f406c257af71dd"),
    ("geometric_brownian_motion", gbm(innov_dist=2, seed=4), "fbc7341f015f69de"),
    ("jump_diffusion", jd(), "6a4bfdf921a158ab"),
    ("jump_diffusion", jd(innov_dist=1, innov_param=5.0, lambda_jump=400.0, seed=5),  # Poisson means >= 12
     "82e2c5c644a23ab7"),
    ("poisson_process", poisson(), "7bc59d9ce3cf0cc4"),
    ("poisson_process", poisson(lambda_rate=30.0, cumulative=True, seed=8), "7daec020846ccebc"),
    ("cyclic", cyclic(), "7c55a033c89125a4"),
    ("garch", garch(), "e78b52508a8f355e"),
    ("garch", garch(p=103, beta_arr=[0.0] * 102 + [0.5], length=20), "8d69f583867cd217"),
    ("garch", garch(p=2, q=2, alpha_arr=(0.05, 0.1), beta_arr=(0.5, 0.2), length=10_000, seed=16),  # window slides
     "805bf6d4b265a4d6"),
    ("hawkes_process", hawkes(), "c7e7f171c639195b"),
    ("hawkes_process", hawkes(output_type=1, seed=13), "555e9d633f46b39f"),
    ("hawkes_process", hawkes(kernel_type=1, output_type=1, seed=14), "6f600d9d3ed9ebd9"),
    ("levy_process", levy(), "50cf7d9ff29c074c"),
    ("levy_process", levy(alpha=1.0, beta_skew=0.5, cumulative=True, seed=11), "2ec5161ac78d0a73"),
]


@pytest.mark.parametrize("name,kwargs,want", GOLDEN)
def test_golden(name, kwargs, want):
    assert digest(getattr(S, name)(**kwargs)) == want


# ---------------------------------------------------------------------------
# One property per process

def test_ou_without_reversion_is_a_random_walk():
    got = S.ornstein_uhlenbeck(**ou(length=801, theta=0.0, dt=1.0, seed=9))
    walk = _lib.statistical.random_walk(800, 0.0, 0.8, 2.0, 9, 0, 0.0)
    assert got[0] == 2.0
    assert_bits_equal(got[1:], walk)


@pytest.mark.parametrize("innov_dist,innov_param", [(0, 0.0), (1, 5.0), (3, 0.0)])
def test_gbm_log_steps_have_the_corrected_drift(innov_dist, innov_param):
    # the correction turns a drift of +0.001 per step into -0.001
    mu, sigma, dt, n = 1.0, 2.0, 0.001, 100_000
    steps = np.diff(np.log(S.geometric_brownian_motion(n, mu, sigma, 1.0, dt, 11, innov_dist, innov_param)))
    assert abs(steps.mean() - (mu - sigma**2 / 2) * dt) < 4 * sigma * math.sqrt(dt / n)
    assert abs(steps.std() / (sigma * math.sqrt(dt)) - 1) < 0.03


@pytest.mark.parametrize("jump_std", [0.1, INF, NAN])
def test_jump_diffusion_without_jumps_is_gbm(jump_std):
    # No Poisson count is drawn at rate 0, and the jump law is never asked.
    for law in ((0, 0.0), (1, 4.0)):
        got = S.jump_diffusion(**jd(lambda_jump=0.0, jump_std=jump_std, innov_dist=law[0], innov_param=law[1]))
        assert_bits_equal(got, S.geometric_brownian_motion(**gbm(dt=0.05, innov_dist=law[0], innov_param=law[1])))


@pytest.mark.parametrize("rate", [0.0, 0.7, 11.999, 12.0, 250.0])
def test_poisson_counts_have_mean_and_variance_lambda(rate):
    counts = S.poisson_process(**poisson(length=50_000, lambda_rate=rate))
    assert_bits_equal(S.poisson_process(**poisson(length=50_000, lambda_rate=rate, cumulative=True)),
                      np.cumsum(counts))
    assert abs(counts.mean() - rate) < 5 * math.sqrt(rate / 50_000) + 1e-12
    assert abs(counts.var() - rate) < 0.05 * rate + 1e-12


@pytest.mark.parametrize("period", [12.0, 50.0])
def test_cyclic_repeats_at_about_its_period(period):
    # Fixed period and amplitude, no noise: the wobble of up to 20% in the
    # period averages out to a spectral peak within a few percent of it.
    n = 8192
    got = S.cyclic(**cyclic(length=n, base_level=0.0, trend=0.0, cycle_period_mean=period, cycle_period_std=0.0,
                            cycle_amplitude_std=0.0, num_cycles=1, noise_std=0.0))
    assert np.abs(got).max() <= 2.0
    peak = np.argmax(np.abs(np.fft.rfft(got))[1:]) + 1
    assert abs(n / peak / period - 1) < 0.05


@pytest.mark.parametrize("omega,alpha,beta", [(0.1, 0.1, 0.8), (0.5, 0.3, 0.0), (2.0, 0.0, 0.0)])
def test_garch_variance_is_omega_over_one_minus_persistence(omega, alpha, beta):
    y = S.garch(**garch(length=200_000, omega=omega, alpha_arr=[alpha], beta_arr=[beta], mu=0.5))
    assert abs(y.mean() - 0.5) < 0.02
    assert abs(y.var() / (omega / (1 - alpha - beta)) - 1) < 0.05


@pytest.mark.parametrize("p,q", [(101, 1), (0, 150), (130, 130)])
def test_garch_cells_before_the_orders_stay_zero(p, q):
    y = S.garch(**garch(length=60, p=p, q=q, alpha_arr=[0.01] * q, beta_arr=[0.01] * p))
    lead = max(p, q) - 100
    assert (y[:lead] == 0).all() and (y[lead:] != 0).all()


@pytest.mark.parametrize("length,alpha,kernel,output,rate", [
    (20_000, 0.0, 0, 0, 0.5),  # no excitation: Poisson of rate mu
    (20_000, 0.5, 0, 0, 1.0),  # branching ratio alpha / beta = 1/2 doubles the rate
    (20_000, 0.5, 0, 1, 1.0),  # and the intensity averages to the event rate
    (2_000, 0.5, 1, 0, 1.0),  # power law: alpha / (beta (gamma - 1)) = 1/2
    (2_000, 0.5, 1, 1, 1.0),
])
def test_hawkes_rate_is_mu_over_one_minus_branching_ratio(length, alpha, kernel, output, rate):
    y = S.hawkes_process(**hawkes(length=length, excitation_amplitude=alpha, decay_rate=1.0, kernel_type=kernel,
                                  power_law_exponent=2.0, output_type=output))
    assert abs(y.mean() / rate - 1) < 0.08


@pytest.mark.parametrize("kernel", [0, 1])
def test_hawkes_outputs_agree(kernel):
    counts = S.hawkes_process(**hawkes(kernel_type=kernel))
    flags = S.hawkes_process(**hawkes(kernel_type=kernel, output_type=2))
    assert_bits_equal(flags, np.minimum(counts, 1.0))
    assert counts.max() > 1  # so the two differ somewhere
    capped = S.hawkes_process(**hawkes(kernel_type=kernel, max_events=25))
    assert capped.sum() == 25 and (capped <= counts).all()


@pytest.mark.parametrize("alpha,beta,law", [
    (2.0, 0.9, stats.norm(0.2, 1.3 * math.sqrt(2))),  # beta is ignored
    (2.0 + 5e-11, 0.0, stats.norm(0.2, 1.3 * math.sqrt(2))),
    (1.0, 0.0, stats.cauchy(0.2, 1.3)),
    (1.0 - 5e-11, 0.0, stats.cauchy(0.2, 1.3)),
])
def test_levy_closed_form_cases(alpha, beta, law):
    steps = S.levy_process(**levy(length=20_000, alpha=alpha, beta_skew=beta))
    assert stats.kstest(steps, law.cdf).pvalue > 1e-3


# ---------------------------------------------------------------------------
# Failures: (function, keyword arguments, PanicException or ValueError, text)

FAULTS = [
    # checked before anything else, so arguments the core would refuse are never reached
    *[(name, kw, ValueError, "length must be > 0") for name, kw in [
        ("ornstein_uhlenbeck", ou(length=0)), ("geometric_brownian_motion", gbm(length=-2**31)),
        ("jump_diffusion", jd(length=0, innov_dist=1, innov_param=1.0)), ("poisson_process", poisson(length=0)),
        ("cyclic", cyclic(length=0, num_cycles=-1)), ("garch", garch(length=0, p=-1)),
        ("hawkes_process", hawkes(length=0, max_events=-1)), ("levy_process", levy(length=0))]],
    ("ornstein_uhlenbeck", ou(length=2, innov_dist=1, innov_param=2.0), "panic", STUDENT),
    ("jump_diffusion", jd(jump_std=INF), "panic", NORMAL),  # the jump law, at the first jump
    ("jump_diffusion", jd(lambda_jump=NAN), "panic", "invalid poisson param: lambda must be finite: NonFinite"),
    ("jump_diffusion", jd(lambda_jump=1e12, dt=0.01), "panic",
     "jump_diffusion: jump count per step beyond the 32-bit range (lambda_jump * dt too large)"),
    ("poisson_process", poisson(lambda_rate=INF), "panic", "invalid poisson param: lambda must be finite: NonFinite"),
    ("poisson_process", poisson(lambda_rate=1e20), "panic",
     "invalid poisson param: lambda must be finite: ShapeTooLarge"),
    ("cyclic", cyclic(num_cycles=-1, cycle_period_std=NAN), "panic", "cyclic: num_cycles must be >= 0"),
    ("cyclic", cyclic(cycle_amplitude_std=-INF), "panic", NORMAL),
    ("cyclic", cyclic(num_cycles=0, cycle_period_std=INF, noise_std=0.0), None, None),
    ("cyclic", cyclic(num_cycles=2**31 - 1, length=3), "panic",
     "cyclic: num_cycles * length above 4294967296 cycle terms"),
    ("cyclic", cyclic(innov_dist=3, noise_std=0.0), "panic",
     "invalid uniform innovation param: scale must be > 0: EmptyRange"),
    ("hawkes_process", hawkes(max_events=-1, baseline_intensity=NAN), "panic",
     "hawkes_process: max_events must be >= 0"),
    *[("hawkes_process", hawkes(baseline_intensity=mu, kernel_type=k), "panic", EXPONENTIAL)
      for mu in (NAN, -1e-9, INF) for k in (0, 1)],
    *[("hawkes_process", hawkes(excitation_amplitude=1e17, decay_rate=1.0, kernel_type=k), "panic", STALLED)
      for k in (0, 1)],
    ("hawkes_process", hawkes(length=16, baseline_intensity=1e20, excitation_amplitude=-1e20, decay_rate=0.0),
     "panic", STALLED),
    *[("hawkes_process", hawkes(excitation_amplitude=a, decay_rate=b), None, None)
      for a, b in ((NAN, 1.0), (1.0, NAN), (-5.0, 0.0))],
    ("levy_process", levy(alpha=NAN, beta_skew=INF), None, None),  # nothing is validated
    ("garch", garch(p=-1), "panic", "garch: p and q must be >= 0"),
    ("garch", garch(p=2, q=-5), "panic", "garch: p and q must be >= 0"),
    ("garch", garch(q=2), "panic", "garch: alpha_arr has 1 values, q = 2"),
    ("garch", garch(beta_arr=()), "panic", "garch: beta_arr has 0 values, p = 1"),
    ("garch", garch(innov_dist=1, innov_param=NAN), "panic", STUDENT),
    # no step runs, so nothing is checked: every value stays 0
    ("garch", garch(p=-1, q=-2, alpha_arr=(), beta_arr=(), innov_dist=1, innov_param=1.0), None, None),
    ("garch", garch(length=3, p=2**31 - 1, alpha_arr=(), beta_arr=(), innov_dist=1, innov_param=1.0), None, None),
]


@pytest.mark.parametrize("name,kwargs,kind,text", FAULTS)
def test_failures(name, kwargs, kind, text):
    fn = getattr(S, name)
    if kind is None:
        got = fn(**kwargs)
        assert got.shape == (kwargs["length"],) and (name != "garch" or (got == 0).all())
    elif kind == "panic":
        assert_panics(fn, **kwargs, text=text)
    else:
        with pytest.raises(kind) as info:
            fn(**kwargs)
        assert str(info.value) == text


@pytest.mark.parametrize("gen_type,kwargs,text", [
    # set-up faults come before the length is looked at, so an empty series has them too
    (9, cyclic(num_cycles=-1), "cyclic: num_cycles must be >= 0"),
    (9, cyclic(cycle_period_std=NAN), NORMAL),
    (11, hawkes(max_events=-1), "hawkes_process: max_events must be >= 0"),
    (11, hawkes(baseline_intensity=-1.0), EXPONENTIAL),  # the first candidate's bound
    (10, garch(p=-1), "garch: p and q must be >= 0"),  # the 100 burn-in steps still run
    # laws are refused at their first draw, and an empty series makes none
    (5, ou(innov_dist=1, innov_param=1.0), None),
    (7, jd(jump_std=NAN, lambda_jump=NAN), None),
    (8, poisson(lambda_rate=NAN), None),
    (9, cyclic(noise_std=INF), None),
    (11, hawkes(max_events=0, baseline_intensity=NAN), None),
])
def test_batch_empty_series(gen_type, kwargs, text):
    if text is None:
        assert batch_call(gen_type, kwargs, length=0).shape == (0,)
    else:
        assert_panics(batch_call, gen_type, kwargs, length=0, text=text)
