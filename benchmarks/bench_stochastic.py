"""Time the `stochastic` generators against Python peers.

    python benchmarks/bench_stochastic.py [--n 1000000] [--events 100000] [--repeat 5] [--peer-repeat 3]

Peers (not test dependencies; pip install arch, pip install --no-deps stochastic, which
declares NumPy < 2 but runs on NumPy 2):
  garch                      arch: arch_model(None, mean="Constant", vol="GARCH", p=1, q=1).simulate
  ornstein_uhlenbeck, GBM    stochastic: OrnsteinUhlenbeckProcess / GeometricBrownianMotion .sample
  hawkes_process             Ogata's thinning for the exponential kernel written as a Python loop
                             over NumPy draws made in blocks
Both sides of a row make the same n steps (Hawkes: the same horizon); what
else each timing holds is printed with the row. Ours is the best of --repeat
runs after a warm-up, the peers (most of them step in Python, seconds per
run) the best of --peer-repeat; "peer/ours" above 1 means ours is faster.
"""

import argparse
import math

import numpy as np

from _timing import best_time
from quillmarten import _lib

S = _lib.stochastic
SEED = 12345


def numpy_hawkes(horizon, mu, alpha, beta, block=4096):
    """Event times of an exponential-kernel Hawkes process on [0, horizon)."""
    rng = np.random.default_rng(SEED)
    events, t, t_last, s = [], 0.0, 0.0, 0.0
    exps, unis, k = rng.standard_exponential(block), rng.random(block), 0
    while True:
        if k == block:
            exps, unis, k = rng.standard_exponential(block), rng.random(block), 0
        a = alpha * s
        bound = max(math.exp(-beta * (t - t_last)) * a + mu, mu) * 1.01 + 1e-10
        t += exps[k] / bound
        if t >= horizon:
            return np.array(events)
        g = math.exp(-beta * (t - t_last))
        if (a * g + mu) / bound >= unis[k]:
            s = s * g + 1.0
            events.append(t)
            t_last = t
        k += 1


def peers():
    try:
        from arch import arch_model
    except ImportError:
        arch_model = None
    try:
        from stochastic.processes.continuous import GeometricBrownianMotion
        from stochastic.processes.diffusion import OrnsteinUhlenbeckProcess
    except ImportError:
        GeometricBrownianMotion = OrnsteinUhlenbeckProcess = None
    return arch_model, OrnsteinUhlenbeckProcess, GeometricBrownianMotion


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10**6)
    parser.add_argument("--events", type=int, default=10**5)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--peer-repeat", type=int, default=3)
    args = parser.parse_args()
    n, repeat = args.n, args.repeat
    arch_model, OU, GBM = peers()

    # name, ours, peer (None: not installed), what the peer is, what else the timings hold
    mu, omega, a1, b1 = 0.0, 0.1, 0.1, 0.8
    theta, sigma, dt = 0.5, 1.0, 1.0 / n
    garch_model = arch_model and arch_model(None, mean="Constant", vol="GARCH", p=1, q=1)
    rows = [
        ("garch(1,1)", lambda: S.garch(n, 1, 1, omega, np.array([a1]), np.array([b1]), mu, 1.0, SEED, 0, 0.0),
         arch_model and (lambda: garch_model.simulate([mu, omega, a1, b1], n, burn=100)), "arch",
         "both 100 burn-in; model built outside, returns a DataFrame of data, volatility and errors"),
        ("ornstein_uhlenbeck", lambda: S.ornstein_uhlenbeck(n + 1, theta, 0.0, sigma, 1.0, dt, SEED, 0, 0.0),
         OU and (lambda: OU(speed=theta, vol=sigma, t=1.0, rng=np.random.default_rng(SEED)).sample(n, 1.0)),
         "stochastic", "both n + 1 points; process object and Generator built inside"),
        ("geometric_brownian_motion", lambda: S.geometric_brownian_motion(n + 1, 0.05, 0.2, 1.0, dt, SEED, 0, 0.0),
         GBM and (lambda: GBM(drift=0.05, volatility=0.2, t=1.0, rng=np.random.default_rng(SEED)).sample(n, 1.0)),
         "stochastic", "both n + 1 points; process object and Generator built inside"),
    ]
    # Hawkes: mu / (1 - alpha / beta) = 1 event per unit time, so the horizon
    # is the number of events wanted.
    horizon, hmu, halpha, hbeta = args.events, 0.5, 0.5, 1.0
    count = S.hawkes_process(horizon, hmu, halpha, hbeta, 0, 0.0, 0, 2**31 - 1, SEED).sum()
    rows.append((f"hawkes_process ({count:,.0f} events)",
                 lambda: S.hawkes_process(horizon, hmu, halpha, hbeta, 0, 0.0, 0, 2**31 - 1, SEED),
                 lambda: numpy_hawkes(horizon, hmu, halpha, hbeta), "NumPy thinning loop",
                 "ours returns counts per unit step, the loop its event times (its draws inside)"))

    print(f"n = {n:,} steps on both sides; ours best of {repeat}, peers best of {args.peer_repeat}")
    print(f"{'generator':<36}{'ours ms':>10}{'peer ms':>10}{'peer/ours':>11}  peer: inside the timings")
    for name, ours, peer, what, inside in rows:
        t_ours = best_time(ours, repeat, warmup=True)[0] * 1e3
        if peer is None:
            print(f"{name:<36}{t_ours:>10.2f}{'n/a':>10}{'n/a':>11}  {what} (not installed)")
            continue
        t_peer = best_time(peer, args.peer_repeat)[0] * 1e3
        print(f"{name:<36}{t_ours:>10.2f}{t_peer:>10.2f}{t_peer / t_ours:>11.1f}  {what}: {inside}")


if __name__ == "__main__":
    main()
