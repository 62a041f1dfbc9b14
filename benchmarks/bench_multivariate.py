"""Time fbm, gaussian_process and var_process against their Python peers, and
the own FFT against numpy.fft.

    python benchmarks/bench_multivariate.py [--repeat 5]

- fbm, Davies-Harte, 2^16 values of fractional Gaussian noise (H = 0.7)
  against the `fbm` package's FBM(..., method="daviesharte").fgn() (length = n,
  so both use unit spacing);
- gaussian_process, squared-exponential kernel, 2,048 points on the circulant
  path, against scikit-learn's GaussianProcessRegressor(kernel=RBF).sample_y
  on the same grid (the unfitted prior: a dense covariance and its SVD);
- var_process, VAR(2) with 3 variables and 10^5 steps, against statsmodels'
  VARProcess.simulate_var;
- the own FFT (C++, fft_any_length: radix-2 at 2^16, Bluestein at 10^5)
  against numpy.fft.fft on the same real input. The C++ side is compiled from
  benchmarks/bench_fft.cpp with g++ on first run (from a full checkout).

Peers are installed with pip when missing. Both sides of a row make the same
n values; what else each timing holds is printed with the row. Each figure is
the best of --repeat runs (scikit-learn's, seconds per call, the best of 3;
the FFTs' at least 5); "peer/ours" above 1 means ours is faster.
"""

import argparse
import importlib
import os
import subprocess
import sys

import numpy as np

from _timing import best_time
from quillmarten import _lib

M = _lib.multivariate
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SEED = 12345
SLOW_REPEAT = 3


def need(module, package):
    try:
        return importlib.import_module(module)
    except ImportError:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", package], check=True)
        return importlib.import_module(module)


def row(name, ours, peer, peer_name, inside):
    print(f"{name:<44}{ours * 1e3:>10.2f}{peer * 1e3:>12.2f}  {peer / ours:>8.2f}   {peer_name}: {inside}")


def bench_fbm(repeat):
    fbm = need("fbm", "fbm")
    n, hurst = 2**16, 0.7
    ours, x = best_time(lambda: M.fbm(n, hurst, 1.0, 0.0, False, 2, SEED), repeat, warmup=True)
    peer, y = best_time(lambda: fbm.FBM(n, hurst, length=n, method="daviesharte").fgn(), repeat)
    assert abs(x.var() - 1) < 0.1 and abs(y.var() - 1) < 0.1, (x.var(), y.var())
    row("fbm Davies-Harte, 2^16 values", ours, peer, "fbm.FBM(...).fgn()",
        "FBM built inside, so both compute the eigenvalues each call")


def bench_gp(repeat):
    need("sklearn", "scikit-learn")
    from sklearn.gaussian_process import GaussianProcessRegressor
    from sklearn.gaussian_process.kernels import RBF

    n, scale = 2048, 20.0
    grid = np.arange(n, dtype=float).reshape(-1, 1)
    gpr = GaussianProcessRegressor(kernel=RBF(length_scale=scale), optimizer=None)
    ours, x = best_time(lambda: M.gaussian_process(n, 0, scale, 1.0, 0.0, 0.0, 1e-10, SEED), repeat, warmup=True)
    peer, y = best_time(lambda: gpr.sample_y(grid, 1, random_state=SEED), SLOW_REPEAT)
    assert abs(np.diff(x).var() - np.diff(y[:, 0]).var()) < 0.01
    row("gaussian_process RBF, 2,048 points", ours, peer, "sklearn GPR(RBF).sample_y",
        "regressor built outside; dense covariance and its SVD inside")


def bench_var(repeat):
    need("statsmodels", "statsmodels")
    from statsmodels.tsa.vector_ar.var_model import VARProcess

    k, p, steps = 3, 2, 10**5
    a1 = np.array([[0.5, 0.1, 0.0], [0.2, 0.3, -0.1], [0.0, 0.1, 0.4]])
    a2 = np.array([[0.1, 0.0, 0.0], [0.0, 0.1, 0.0], [0.05, 0.0, 0.1]])
    sigma = np.array([[1.0, 0.3, 0.1], [0.3, 1.0, 0.2], [0.1, 0.2, 1.0]])
    c = np.array([0.1, -0.2, 0.3])
    coef, cov = np.concatenate([a1.ravel(), a2.ravel()]), sigma.ravel()
    process = VARProcess(np.stack([a1, a2]), c, sigma)
    ours, x = best_time(lambda: M.var_process(steps, k, p, coef, c, cov, SEED, 0, 0.0), repeat, warmup=True)
    peer, y = best_time(lambda: process.simulate_var(steps=steps, rng=np.random.default_rng(SEED)), repeat)
    mean = np.linalg.solve(np.eye(k) - a1 - a2, c)[0]
    assert abs(x.mean() - mean) < 0.05 and abs(y[:, 0].mean() - mean) < 0.05
    row("var_process VAR(2), 3 variables, 10^5 steps", ours, peer, "statsmodels simulate_var",
        "ours: 100 burn-in steps, component 0; VARProcess built outside, no burn-in, all 3 columns")


def bench_fft(repeat):
    exe = os.path.join(os.environ.get("TMPDIR", "/tmp"), "qm_bench_fft")
    src = [os.path.join(ROOT, p) for p in ("benchmarks/bench_fft.cpp", "src/fft/fft.cpp", "src/fault.cpp")]
    rng_dir = os.path.join(ROOT, "src", "rng")
    src += [os.path.join(rng_dir, f) for f in sorted(os.listdir(rng_dir)) if f.endswith(".cpp")]
    subprocess.run(["g++", "-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off", "-I" + os.path.join(ROOT, "src"),
                    *src, "-o", exe], check=True)
    sizes = [2**16, 10**5]
    out = subprocess.run([exe, str(max(repeat, 5)), *map(str, sizes)], check=True, capture_output=True, text=True)
    ours = {int(n): float(t) for n, t in (line.split() for line in out.stdout.splitlines())}
    for n, kind in zip(sizes, ("radix-2", "Bluestein")):
        x = np.random.default_rng(1).random(n)
        peer = best_time(lambda: np.fft.fft(x), max(repeat, 5), warmup=True)[0]
        row(f"own FFT, {kind}, n = {n:,}", ours[n], peer, "numpy.fft.fft",
            "ours timed in C++, numpy with its Python call")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"best of {args.repeat}, times in ms")
    print(f"{'':<44}{'ours':>10}{'peer':>12}  {'peer/ours':>8}   peer: inside the timings")
    bench_fbm(args.repeat)
    bench_gp(args.repeat)
    bench_var(args.repeat)
    bench_fft(args.repeat)


if __name__ == "__main__":
    main()
