"""Room left under an address-space cap by several batch callers that each ask for their own worker counts.

    python benchmarks/bench_pool_room.py PYTHON [--cap-mib 3072] [--rounds 10] [--callers 8] [--runs 3] [--seed 0]
    python benchmarks/bench_pool_room.py PYTHON --single [--cap-mib 3072] [--rounds 10] [--runs 3]

Every run is a fresh child of PYTHON (RAYON_*, OPENBLAS_*, OMP_* removed from its environment, so NumPy's
BLAS threads are at their default). The child caps RLIMIT_AS at --cap-mib, starts and joins one thread and
measures once (so glibc's extra arena for a failed allocation is paid before counting), then measures the
largest float64 array that fits ("before").

Callers mode: --rounds rounds; in each, --callers threads start together (threading.Barrier) and each makes
3 generate_batch calls (64 random walks x 2,000, changepoints, anomalies and missing values injected) with
n_workers drawn from [1, 2, 17, 300, 1024, 65535, 2**64-1, 0, random 1..1100] (rng seeded per run and
thread). After each round: largest array and thread count. Every call's digest is compared with
n_workers=1's.

Single mode: the main thread alone makes --rounds calls with n_workers 300, 17, 300, ... and the room is
measured before and after each.

A child that aborts or hangs is reported with its exit status; what it printed before is kept.
"""

import argparse
import json
import os
import subprocess
import sys

COUNTS = [1, 2, 17, 300, 1024, 65535, 2**64 - 1, 0, None]  # None: random in 1..1100
TARGETS = {"last_share": 0.25, "last_vs_r1": 0.85, "single_share": 0.40}


# --------------------------------------------------------------------------- child

def child(cfg):
    import resource
    import threading

    import numpy as np

    cap = cfg["cap_mib"] << 20
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    top = cfg["cap_mib"]

    # The tests' batch (64 random walks of 2,000 with every injection, as a
    # digest), room measure and thread count: run this from a full checkout
    # with the test dependencies (pytest) installed.
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "python"))
    from test_pools import largest_array_mib, threads
    from test_pools import run as batch_digest

    def run(k):
        return batch_digest(k, n=64)

    def largest():
        return largest_array_mib(top)

    def emit(**kw):
        print(json.dumps(kw), flush=True)

    want = run(1)
    t = threading.Thread(target=int)
    t.start()
    t.join()
    largest()
    emit(kind="before", room=largest(), threads=threads())

    if cfg["single"]:
        for i in range(cfg["rounds"]):
            k = (300, 17)[i % 2]
            before = largest()
            try:
                same = run(k) == want
                err = None
            except BaseException as exc:  # noqa: BLE001
                same, err = False, f"{type(exc).__name__}: {exc}"
            emit(kind="call", n_workers=k, before=before, after=largest(), same=same, error=err, threads=threads())
        return

    rngs = [np.random.default_rng([cfg["seed"], cfg["run"], c]) for c in range(cfg["callers"])]
    for r in range(cfg["rounds"]):
        wrong, errors, seen, peak = [], [], [], [0]
        start = threading.Barrier(cfg["callers"])

        def call(c):
            rng = rngs[c]
            try:
                start.wait()
                for _ in range(3):
                    k = COUNTS[int(rng.integers(len(COUNTS)))]
                    k = int(rng.integers(1, 1101)) if k is None else k
                    seen.append(k)
                    try:
                        if run(k) != want:
                            wrong.append(k)
                    except BaseException as exc:  # noqa: BLE001
                        errors.append(f"n_workers={k}: {type(exc).__name__}: {exc}")
                    peak[0] = max(peak[0], threads())
            except BaseException as exc:  # noqa: BLE001
                errors.append(f"caller: {type(exc).__name__}: {exc}")

        callers = [threading.Thread(target=call, args=(c,)) for c in range(cfg["callers"])]
        for t in callers:
            t.start()
        for t in callers:
            t.join()
        emit(kind="round", round=r + 1, room=largest(), threads=threads(), peak_threads=peak[0],
             wrong=len(wrong), wrong_counts=wrong, errors=errors, counts=seen)


# --------------------------------------------------------------------------- parent

def run_child(python, cfg, timeout):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("RAYON_", "OPENBLAS_", "OMP_"))}
    try:
        done = subprocess.run([python, os.path.abspath(__file__), "--child", json.dumps(cfg)], env=env, cwd="/",
                              capture_output=True, text=True, timeout=timeout)
        out, err, status = done.stdout, done.stderr, done.returncode
    except subprocess.TimeoutExpired as exc:  # subprocess.run kills the child
        out = exc.stdout.decode() if isinstance(exc.stdout, bytes) else (exc.stdout or "")
        err = exc.stderr.decode() if isinstance(exc.stderr, bytes) else (exc.stderr or "")
        status = "timeout"
    rows = []
    for line in out.splitlines():
        try:
            rows.append(json.loads(line))
        except ValueError:
            pass
    return rows, status, err


def status_text(status):
    if status == "timeout":
        return "TIMEOUT"
    if isinstance(status, int) and status < 0:
        return f"signal {-status}"
    return f"exit {status}"


def pct(a, b):
    return f"{100 * a / b:5.1f}%" if b else "  n/a"


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("python", nargs="?")
    p.add_argument("--cap-mib", type=int, default=3072)
    p.add_argument("--rounds", type=int, default=10, help="rounds of callers (calls, with --single)")
    p.add_argument("--callers", type=int, default=8)
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--single", action="store_true")
    p.add_argument("--timeout", type=float, default=900)
    p.add_argument("--child", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        child(json.loads(args.child))
        return
    if not args.python:
        p.error("PYTHON is required")

    mode = "single caller, n_workers 300/17 alternating" if args.single else \
        f"{args.callers} callers x 3 calls x {args.rounds} rounds"
    print(f"{args.python}  cap {args.cap_mib} MiB  {mode}  ({args.runs} runs, seed {args.seed})")
    ok_all = True
    for run in range(args.runs):
        cfg = {"cap_mib": args.cap_mib, "rounds": args.rounds, "callers": args.callers, "seed": args.seed,
               "run": run, "single": args.single}
        rows, status, err = run_child(args.python, cfg, args.timeout)
        st = status_text(status)
        before = next((r["room"] for r in rows if r["kind"] == "before"), None)
        threads0 = next((r["threads"] for r in rows if r["kind"] == "before"), None)
        if before is None:
            print(f"run {run + 1}: no measurement; {st}\n{err.strip()[-2000:]}")
            ok_all = False
            continue
        if args.single:
            calls = [r for r in rows if r["kind"] == "call"]
            seq = " ".join(f"{c['n_workers']}:{c['before']}->{c['after']}" for c in calls)
            wrong = sum(not c["same"] for c in calls)
            errs = [c["error"] for c in calls if c["error"]]
            last = calls[-1]["after"] if calls else 0
            lowest = min((c["after"] for c in calls), default=0)
            met = st == "exit 0" and len(calls) == args.rounds and not wrong and last >= TARGETS["single_share"] * before
            ok_all &= met
            print(f"run {run + 1}: before {before} MiB; n_workers:before->after  {seq}")
            print(f"  final {last} = {pct(last, before)} of before (lowest {pct(lowest, before)}; target >= "
                  f"{100 * TARGETS['single_share']:.0f}%), max threads {max(c['threads'] for c in calls) if calls else '-'}"
                  f", wrong {wrong}, exceptions {len(errs)}, {st}, calls {len(calls)}/{args.rounds}"
                  f"  -> {'MET' if met else 'MISSED'}")
        else:
            rounds = [r for r in rows if r["kind"] == "round"]
            r1 = rounds[0]["room"] if rounds else 0
            last = rounds[-1]["room"] if rounds else 0
            wrong = sum(r["wrong"] for r in rounds)
            errs = [e for r in rounds for e in r["errors"]]
            max_t = max((r["threads"] for r in rounds), default=0)
            peak = max((r["peak_threads"] for r in rounds), default=0)
            share, ratio = (last / before if before else 0), (last / r1 if r1 else 0)
            met = (st == "exit 0" and len(rounds) == args.rounds and not wrong and not errs
                   and share >= TARGETS["last_share"] and ratio >= TARGETS["last_vs_r1"])
            ok_all &= met
            print(f"run {run + 1}: before {before} ({threads0} threads)  r1 {r1} ({pct(r1, before)})  r{len(rounds)} {last} "
                  f"({pct(last, before)}, target >= {100 * TARGETS['last_share']:.0f}%)  r{len(rounds)}/r1 "
                  f"{ratio:.2f} (target >= {TARGETS['last_vs_r1']:.2f})  threads max {max_t} after a round, "
                  f"{peak} seen by callers  wrong {wrong}  exceptions {len(errs)}  {st}  "
                  f"rounds {len(rounds)}/{args.rounds}  -> {'MET' if met else 'MISSED'}")
            print("  room per round: " + " ".join(str(r["room"]) for r in rounds)
                  + " | threads: " + " ".join(str(r["threads"]) for r in rounds))
            for e in errs[:5]:
                print("  exception:", e)
        if st != "exit 0" and err.strip():
            print("  stderr tail:", err.strip()[-600:].replace("\n", "\n    "))
    print("all runs met the targets" if ok_all else "some run missed a target")


if __name__ == "__main__":
    main()
