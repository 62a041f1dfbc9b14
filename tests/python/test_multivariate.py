"""The multivariate generators: batch road against Python road, seeded digests,
one identity or moment per generator, checks and faults. The FFT and the
covariance factor are checked in C++ (tests/cpp/test_fft.cpp)."""

import hashlib
import math

import numpy as np
import pytest

from conftest import assert_bits_equal, assert_panics
from quillmarten import _lib
from reference import RefEngine

M, D = _lib.multivariate, _lib.distributions
NAN = math.nan
MATRIX_INIT = "Matrix init. error: the slice did not contain the right number of elements."
MATRIX_ADD = "Matrix addition/subtraction dimensions mismatch."
NO_CONVERGENCE = "covariance_factor: the eigendecomposition of a matrix that is not positive definite did not converge"


def arr(*values):
    return np.array(values, dtype=np.float64)


def eye(n):
    return np.eye(n).ravel()


def batch_values(gen_type, scalars, arrays, n, seed):
    (row,) = _lib.batch.generate_batch(gen_type, np.array(scalars, float), [np.asarray(a, float) for a in arrays],
                                       np.array([n], np.int32), np.array([seed], np.uint64), np.zeros(3, np.uint64),
                                       {}, 0)
    return row["values"]


def normals(seed, count):
    eng = RefEngine(seed)
    return np.array([eng.normal() for _ in range(count)])


def state_space_args(**changes):
    args = dict(length=300, state_dim=2, obs_dim=2, f_mat=arr(0.9, 0.1, -0.2, 0.7), h_mat=arr(1.0, 0.5, 0.3, -1.0),
                q_mat=arr(1.0, 0.3, 0.3, 0.5), r_mat=arr(0.2, 0.0, 0.0, 0.4), initial_state=arr(1.0, -1.0),
                initial_state_cov=eye(2), seed=3, innov_dist=1, innov_param=5.0)
    return {**args, **changes}


def var_args(**changes):
    args = dict(length=300, n_variables=2, order=2, coef_matrices=arr(0.5, 0.1, -0.2, 0.3, 0.2, 0.0, 0.05, -0.1),
                intercept=arr(1.0, -0.5), innovation_cov=arr(1.0, 0.4, 0.4, 2.0), seed=5, innov_dist=0,
                innov_param=0.0)
    return {**args, **changes}


def copula_args(**changes):
    args = dict(length=300, n_variables=3, copula_type=1, df=4.0,
                correlation_matrix=arr(1, .5, .2, .5, 1, .3, .2, .3, 1), marginal_distribution=4, marginal_param1=2.0, marginal_param2=1.5, seed=8)
    return {**args, **changes}


def ss_road(**changes):
    kw = state_space_args(**changes)
    arrays = [kw[a] for a in ("f_mat", "h_mat", "q_mat", "r_mat", "initial_state", "initial_state_cov")]
    return "state_space", kw, 19, [kw["state_dim"], kw["obs_dim"], kw["innov_dist"], kw["innov_param"]], arrays


# ---------------------------------------------------------------------------
# One core, two roads

ROAD = [
    ss_road(),
    ss_road(r_mat=arr(1, 1, 1, 1), innov_dist=2),  # singular R: the eigen factor; Laplace state innovations
    *[("fbm", dict(length=n, hurst=h, sigma=1.3, initial_value=10.0, cumulative=c, method=m, seed=4), 20,
       [h, 1.3, 10.0, float(c), m], []) for n, h, c, m in [(200, 0.7, True, 0), (201, 0.3, False, 1),
                                                            (300, 0.8, True, 2), (5, 0.6, False, -7)]],
    *[("gaussian_process", dict(length=n, kernel_id=k, length_scale=3.0, amplitude=1.5, period=12.0, mean=2.0,
                                noise_variance=0.1, seed=6), 21, [k, 3.0, 1.5, 12.0, 2.0, 0.1], [])
      for n, k in [(100, 0), (101, 1), (64, 2), (65, 3), (150, 4), (33, 7)]],
]


@pytest.mark.parametrize("name,kwargs,gen_type,scalars,arrays", ROAD, ids=[f"{r[0]}-{i}" for i, r in enumerate(ROAD)])
def test_batch_road_equals_python_road(name, kwargs, gen_type, scalars, arrays):
    got = getattr(M, name)(**kwargs)
    assert_bits_equal(batch_values(gen_type, scalars, arrays, kwargs["length"], kwargs["seed"]), got)


# ---------------------------------------------------------------------------
# Seeded digests (every draw and every rounding pinned)

GOLDEN = [
    ("state_space", state_space_args(),
     "22c873b0dd27ccca4fb3f73ec2d8e73fe4b6bc76d7605bdc4d4c53ff36e10551"),
    ("var_process", var_args(),
     "b2526f1e1ac3feb379699a0d54a6318afc12c933446f5267e39715626fb57769"),
    ("var_process", var_args(innov_dist=1, innov_param=4.0, innovation_cov=arr(1.0, 2.0, 2.0, 1.0)),
     "73651d7064b66d95904777bc83174e10811127a10a0cf2ff78e6b36cb55492d6"),
    ("copula", copula_args(),
     "dbf4bc6b0d13aebd19dc2171dcf852f70699a95e38105deb8c7a79bbf9ebd556"),
    ("copula", copula_args(copula_type=0, marginal_distribution=1, marginal_param1=0.5),
     "28afbef5e83c7b9e8af67f1406e7b1351004a6bfae34f4a9207942e5e0f53b19"),
    ("fbm", dict(length=300, hurst=0.7, sigma=2.0, initial_value=0.0, cumulative=False, method=0, seed=1),
     "4027d2953b94708aaa70d739b99ccd6aec7a61e6faf9c3e806d7def9ac02db27"),
    ("fbm", dict(length=300, hurst=0.7, sigma=2.0, initial_value=0.0, cumulative=False, method=1, seed=1),
     "ea4ce8533c207c24627b61f8f892e5f8c7e4c40d2f498b953632fb79313f62c3"),
    ("fbm", dict(length=3000, hurst=0.25, sigma=2.0, initial_value=5.0, cumulative=True, method=2, seed=1),
     "60e53f765bbf2a19a178a4b109d29aa45ef803a930e9951d9b87798046f95264"),
    ("gaussian_process", dict(length=1000, kernel_id=3, length_scale=8.0, amplitude=2.0, period=0.0, mean=-1.0,
                              noise_variance=0.01, seed=2),
     "0d72306606a14f83c5f51990bd367393ed38ebdf7bce4941f477bd84179a881f"),
    ("gaussian_process", dict(length=200, kernel_id=4, length_scale=0.7, amplitude=2.0, period=24.0, mean=0.0,
                              noise_variance=0.0, seed=2),
     "fb913d708089bb6282fa7cbb49050d524151a28e310873327887e7f08debf9c7"),
]


@pytest.mark.parametrize("name,kwargs,digest", GOLDEN, ids=[f"{g[0]}-{i}" for i, g in enumerate(GOLDEN)])
def test_seeded_digest(name, kwargs, digest):
    assert hashlib.sha256(getattr(M, name)(**kwargs).tobytes()).hexdigest() == digest


# ---------------------------------------------------------------------------
# One identity or moment per generator

def autocovariances(x, lags):
    x = x - x.mean()
    return np.array([np.dot(x[: len(x) - k], x[k:]) / len(x) for k in lags])


def fgn_gamma(k, h, sigma):
    return 0.5 * sigma**2 * ((k + 1) ** (2 * h) - 2 * k ** (2 * h) + abs(k - 1) ** (2 * h))


def test_fbm():
    # H = 0.5 makes the noise white: Hosking and the dense factor both give |sigma| z.
    z = normals(7, 60)
    for method in (1, 0):
        assert_bits_equal(M.fbm(60, 0.5, -1.5, 0.0, False, method, 7), 1.5 * z)
    # Otherwise both form L z with the Cholesky factor L, by different roundings.
    hosking, dense = (M.fbm(250, 0.7, 1.3, 0.0, False, m, 3) for m in (1, 0))
    np.testing.assert_allclose(hosking, dense, rtol=0, atol=1e-12)
    # Davies-Harte is exact for H in (0, 1).
    x = M.fbm(2**16, 0.3, 2.0, 0.0, False, 2, 5)
    want = [fgn_gamma(k, 0.3, 2.0) for k in (0, 1, 2, 5)]
    np.testing.assert_allclose(autocovariances(x, (0, 1, 2, 5)), want, atol=0.06)


def test_gaussian_process():
    l, a2, nugget = 4.0, 2.25, 0.1
    x = M.gaussian_process(2**16, 2, l, 1.5, 0.0, 3.0, nugget, 9)
    assert abs(x.mean() - 3.0) < 0.1
    lags = (0, 1, 4, 10)
    want = [math.exp(-r) * (r + 1) * a2 + (nugget if d == 0 else 0) for d in lags for r in [d * math.sqrt(3) / l]]
    np.testing.assert_allclose(autocovariances(x, lags), want, atol=0.08)
    # A zero kernel is exact on the circulant path and floored (1e-5 z) on the dense one.
    assert np.all(M.gaussian_process(50, 0, 3.0, 0.0, 0.0, 5.0, 0.0, 1) == 5.0)
    dense = M.gaussian_process(50, 4, 3.0, 0.0, 7.0, 5.0, 0.0, 1) - 5.0
    assert 0 < np.abs(dense).max() < 1e-4


def test_state_space():
    # One state seen through noise: var y = q / (1 - phi^2) + r.
    phi, q, r = 0.8, 0.5, 0.3
    y = M.state_space(50_000, 1, 1, arr(phi), arr(1.0), arr(q), arr(r), arr(2.0), arr(q / (1 - phi**2)), 11, 0, 0.0)
    assert abs(y.mean()) < 0.06
    assert abs(y.var() / (q / (1 - phi**2) + r) - 1) < 0.04
    # Only row 0 of H and of L_R reaches the output; the upper triangles are not read.
    base = M.state_space(**state_space_args())
    other = state_space_args(h_mat=arr(1.0, 0.5, 9.0, 9.0), r_mat=arr(0.2, 7.0, 0.0, 3.0),
                             q_mat=arr(1.0, -5.0, 0.3, 0.5))
    assert_bits_equal(M.state_space(**other), base)


def test_var_process():
    phi, mu, sigma2 = 0.6, 1.0, 2.0
    x = M.var_process(50_000, 1, 1, arr(phi), arr(mu), arr(sigma2), 2, 0, 0.0)
    assert abs(x.mean() - mu / (1 - phi)) < 0.06
    assert abs(x.var() / (sigma2 / (1 - phi**2)) - 1) < 0.04
    # Values beyond order * n^2 are not read; lags reaching before t = 0 are skipped.
    base = M.var_process(**var_args())
    longer = var_args(coef_matrices=np.concatenate([var_args()["coef_matrices"], arr(NAN, NAN)]))
    assert_bits_equal(M.var_process(**longer), base)
    deep = var_args(order=500, coef_matrices=np.concatenate([var_args()["coef_matrices"], np.zeros(4 * 498)]))
    assert_bits_equal(M.var_process(**deep), base)


def test_copula():
    # Gaussian copula, identity correlation, standard normal marginal: every third
    # normal goes through norm_cdf, the clamp and norm_ppf.
    z = normals(4, 3 * 400)[::3].copy()
    u = np.clip(D.norm_cdf(z), 1e-15, 0.999999999999999)
    assert_bits_equal(M.copula(400, 3, 0, NAN, eye(3), 5, 0.0, 0.0, 4), D.norm_ppf(u))


# ---------------------------------------------------------------------------
# Checks and faults

def call(name, kwargs):
    return lambda: getattr(M, name)(**kwargs)


def batch_call(gen_type, scalars, arrays=(), n=10):
    return lambda: batch_values(gen_type, scalars, arrays, n, 1)


FBM = dict(length=20, hurst=0.7, sigma=1.0, initial_value=0.0, cumulative=False, method=0, seed=1)
GP = dict(length=20, kernel_id=4, length_scale=1.0, amplitude=1.0, period=5.0, mean=0.0, noise_variance=0.0, seed=1)
STUDENT = "Student's t df must be > 2 for finite variance"
GAMMA = "invalid gamma params: shape and scale must be > 0 and finite: ShapeTooSmall"
HUGE = float(2**32)

FAULTS = [
    # Python-road checks, in order
    (call("state_space", state_space_args(length=0, state_dim=0)), ValueError, "length must be > 0"),
    (call("state_space", state_space_args(state_dim=0, obs_dim=0)), ValueError, "state_dim must be > 0"),
    (call("state_space", state_space_args(obs_dim=-1)), ValueError, "obs_dim must be > 0"),
    (call("var_process", var_args(length=-1, n_variables=0)), ValueError, "length must be > 0"),
    (call("var_process", var_args(n_variables=0, order=0)), ValueError, "n_variables must be > 0"),
    (call("var_process", var_args(order=0)), ValueError, "order must be > 0"),
    (call("copula", copula_args(length=0, n_variables=0)), ValueError, "length must be > 0"),
    (call("copula", copula_args(n_variables=0)), ValueError, "n_variables must be > 0"),
    # matrix sizes, in the order the matrices are built
    (call("state_space", state_space_args(f_mat=arr(1, 2, 3), h_mat=arr(1))), BaseException, MATRIX_INIT),
    (call("state_space", state_space_args(initial_state_cov=eye(3))), BaseException, MATRIX_INIT),
    (call("state_space", state_space_args(initial_state=arr(0, 0, 0))), BaseException, MATRIX_ADD),
    (call("var_process", var_args(coef_matrices=arr(1, 2, 3), innovation_cov=arr(1))), BaseException,
     "var_process: coef_matrices holds 3 values, fewer than order * n_variables^2"),
    (call("var_process", var_args(innovation_cov=arr(1, 0, 1))), BaseException, MATRIX_INIT),
    (call("var_process", var_args(intercept=arr(0, 0, 0))), BaseException, MATRIX_ADD),
    (call("copula", copula_args(correlation_matrix=eye(2))), BaseException, MATRIX_INIT),
    # batch road: no positivity checks; products that overflow are size mismatches
    (batch_call(19, [1, 0, 0, 0], [[1], [], [1], [], [0], [1]]), BaseException, "Matrix index out of bounds."),
    (batch_call(19, [HUGE, HUGE, 0, 0], [[]] * 6), BaseException, MATRIX_INIT),
    (batch_call(20, [0.7, 1.0, 0.0, 0.0, 1], n=0), BaseException, "fbm: the Hosking method needs at least one value"),
    # laws, at their first draw
    (call("state_space", state_space_args(innov_dist=1, innov_param=2.0)), BaseException, STUDENT),
    (call("var_process", var_args(innov_dist=1, innov_param=NAN)), BaseException, STUDENT),
    (call("copula", copula_args(df=0.0)), BaseException, GAMMA),
    (call("copula", copula_args(df=5e-324)), BaseException, GAMMA),
    # non-finite covariances end in the eigensolver's bound, not a hang
    (call("copula", copula_args(correlation_matrix=arr(1, 0, 0, NAN, 1, 0, NAN, 0, 1))), BaseException,
     NO_CONVERGENCE),
    (call("fbm", {**FBM, "hurst": NAN}), BaseException, NO_CONVERGENCE),
    (call("gaussian_process", {**GP, "period": 0.0}), BaseException, NO_CONVERGENCE),
    # dense n x n methods
    (call("fbm", {**FBM, "length": 10**6}), MemoryError, None),
    (call("gaussian_process", {**GP, "length": 10**6}), MemoryError, None),
]


@pytest.mark.parametrize("fn,kind,text", FAULTS)
def test_checks_and_faults(fn, kind, text):
    if kind is BaseException:
        assert_panics(fn, text=text)
        return
    with pytest.raises(kind) as info:
        fn()
    assert text is None or str(info.value) == text


def test_accepted_edge_settings():
    # Without a length, the batch road draws nothing that can fail.
    assert batch_values(19, [2, 1, 1, 2.0], [eye(2), arr(1, 0), eye(2), arr(1), arr(0, 0), eye(2)], 0, 1).size == 0
    # State dimension 0 on the batch road: each value is component 0 of L_R e.
    assert_bits_equal(batch_values(19, [-3.0, 1, 1, 2.0], [[], [], [], [4.0], [], []], 40, 9), 2.0 * normals(9, 40))
