"""Time DTW, DBA and the nearest-neighbour search against dtaidistance and tslearn.

    python benchmarks/bench_dtw.py [--repeat 5]

The peers are installed with pip on first run if they are missing. Cases:

- dtw_distance of two series of 1,000 values, without a band and with a band
  of 100 (10%), vs dtaidistance dtw.distance_fast (window = band + 1 is the
  same band there; with and without its pruning) and tslearn metrics.dtw
  (Sakoe-Chiba radius = band). All single-threaded.
- DBA of 100 series of 200 values (the first is the reference and the initial
  barycentre, all weights 1) for 10 iterations vs tslearn
  dtw_barycenter_averaging with max_iter=10 and early stopping disabled.
- nearest_dtw_neighbors of 500 series of 100 values (window_fraction 0.1,
  band 10, 5 neighbours) vs dtaidistance's distance matrix with the same band
  (the upper triangle), followed by a numpy argsort for the neighbours.

Our DBA and neighbour search run on the default pool; they are timed with the
whole machine and, in a child process, with RAYON_NUM_THREADS=1. The peers'
threads are named in each row: tslearn's DBA runs on one thread, dtaidistance's
matrix both parallel (against ours on the default pool) and on one thread
(against ours on one thread). Inside the timings: ours turns the rows into a
list of arrays; the peers' argsort and tslearn's captured log. Both sides of a
row work on the same data; each figure is the best of --repeat runs; "ratio"
is peer time / our time (above 1: we are faster); "max |diff|" compares the
results.
"""

import argparse
import contextlib
import io
import json
import os
import subprocess
import sys
import warnings

import numpy as np

from _timing import best_time
from quillmarten import _lib

A = _lib.augmentation


def ensure_peers():
    try:
        import dtaidistance  # noqa: F401
        import tslearn  # noqa: F401
    except ImportError:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "dtaidistance", "tslearn"], check=True)


def data():
    rng = np.random.default_rng(42)
    a, b = np.cumsum(rng.normal(size=1000)), np.cumsum(rng.normal(size=1000))
    dba_set = np.cumsum(rng.normal(size=(100, 200)), axis=1)
    nn_set = np.cumsum(rng.normal(size=(500, 100)), axis=1)
    return a, b, dba_set, nn_set


DBA_ITERATIONS = 10
NN_FRACTION, NN_K = 0.1, 5


def ours_dba(dba_set):
    return lambda: A.dba_barycenter(dba_set[0], list(dba_set[1:]), np.ones(len(dba_set)), DBA_ITERATIONS)


def ours_nn(nn_set):
    return lambda: A.nearest_dtw_neighbors(list(nn_set), NN_FRACTION, NN_K)


def single_thread_times(repeat):
    """Our pooled cases timed in a child with a one-thread default pool."""
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    out = subprocess.run([sys.executable, __file__, "--ours-single", "--repeat", str(repeat)], env=env,
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--ours-single", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    a, b, dba_set, nn_set = data()

    if args.ours_single:
        print(json.dumps({"dba": best_time(ours_dba(dba_set), args.repeat)[0],
                          "nn": best_time(ours_nn(nn_set), args.repeat)[0]}))
        return

    ensure_peers()
    warnings.filterwarnings("ignore")  # tslearn's note about h5py
    from dtaidistance import dtw as dtai
    from tslearn.barycenters import dtw_barycenter_averaging
    from tslearn.metrics import dtw as ts_dtw

    print(f"cores (nproc): {os.cpu_count()}, repeat: {args.repeat}")
    rows = []

    for label, band in (("no band", None), ("band 10%", 100)):
        window = {} if band is None else {"window": band + 1}
        radius = {} if band is None else {"global_constraint": "sakoe_chiba", "sakoe_chiba_radius": band}
        ours_t, ours_d = best_time(lambda: A.dtw_distance(a, b, band), args.repeat)
        peers = [
            ("dtaidistance distance_fast", lambda: dtai.distance_fast(a, b, **window)),
            ("dtaidistance distance_fast, no pruning",
             lambda: dtai.distance_fast(a, b, use_pruning=False, **window)),
            ("tslearn metrics.dtw", lambda: ts_dtw(a, b, **radius)),
        ]
        for name, fn in peers:
            fn()  # numba compiles on the first call
            t, d = best_time(fn, args.repeat)
            rows.append((f"dtw_distance 1000x1000 {label}", name, ours_t, t, abs(d - ours_d)))

    single = single_thread_times(args.repeat)

    ours_t, ours_b = best_time(ours_dba(dba_set), args.repeat)
    x = dba_set[:, :, None]

    def ts_dba():
        with contextlib.redirect_stdout(io.StringIO()) as log:
            out = dtw_barycenter_averaging(x, init_barycenter=dba_set[0][:, None], max_iter=DBA_ITERATIONS,
                                           tol=-np.inf, verbose=True)
        return out[:, 0], log.getvalue().count("[DBA]")

    ts_dba()
    t, (ts_b, logged) = best_time(ts_dba, args.repeat)
    label = f"DBA 100x200, {DBA_ITERATIONS} iterations"
    rows.append((label, f"tslearn dtw_barycenter_averaging ({logged} iterations logged)", ours_t, t,
                 np.abs(ts_b - ours_b).max()))
    rows.append((label + ", ours on 1 thread", "tslearn (1 thread)", single["dba"], t, np.nan))

    ours_t, ours_nb = best_time(ours_nn(nn_set), args.repeat)
    band = int(np.ceil(100 * NN_FRACTION))

    def dtai_nn(parallel):
        d = dtai.distance_matrix_fast(nn_set, parallel=parallel, window=band + 1)
        np.fill_diagonal(d, np.inf)
        idx = np.argsort(d, axis=1, kind="stable")[:, :NN_K]
        return idx, np.take_along_axis(d, idx, axis=1)

    dtai_nn(True)
    t, (idx, dist) = best_time(lambda: dtai_nn(True), args.repeat)
    t_one = best_time(lambda: dtai_nn(False), args.repeat)[0]
    ours_idx = np.array([[j for j, _ in row] for row in ours_nb])
    ours_dist = np.array([[d for _, d in row] for row in ours_nb])
    label = "nearest_dtw_neighbors 500x100"
    rows.append((label, f"dtaidistance parallel matrix ({int((idx != ours_idx).sum())} indices differ)", ours_t,
                 t, np.abs(dist - ours_dist).max()))
    rows.append((label + ", ours on 1 thread", "dtaidistance matrix on 1 thread", single["nn"], t_one, np.nan))

    print(f"{'case':<48} {'peer':<58} {'ours ms':>9} {'peer ms':>9} {'ratio':>7} {'max |diff|':>11}")
    for case, peer, ours, theirs, diff in rows:
        print(f"{case:<48} {peer:<58} {ours * 1e3:9.2f} {theirs * 1e3:9.2f} {theirs / ours:7.2f} {diff:11.3g}")


if __name__ == "__main__":
    main()
