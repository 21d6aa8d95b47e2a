"""Trials per minute of a parameter search on the sample data: the same runs one after
another in this process (a plain loop, the baseline), then a TPE search on the process
pool and on Ray.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_search.py [--days 2] [--trials 32] [--workers 2]

The plain loop runs the parameters the pool's search tried, in trial order, so all
three do the same back-tests. Ray is started before the clock starts (a search started
without a cluster starts one, which takes seconds more); the pool's figure includes
starting its worker processes, as a search does.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time

from tovik_backtest.runner import Backtest
from tovik_backtest.sample_data import SAMPLE_INSTRUMENTS, sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross
from tovik_backtest.searches import search

SPACE = {"fast": (5, 60), "slow": (80, 300)}
TIMING = ("wall_seconds", "ticks_per_second")


def timed(fn):
    started = time.perf_counter()
    value = fn()
    return time.perf_counter() - started, value


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=2, help="trading days of sample data")
    parser.add_argument("--trials", type=int, default=32, help="trials of each search")
    parser.add_argument("--workers", type=int, default=2, help="pool processes and Ray workers")
    parser.add_argument("--no-ray", action="store_true", help="leave Ray out")
    args = parser.parse_args()

    instruments = [f"{p.code}:{p.market}" for p in SAMPLE_INSTRUMENTS]
    start, end = sample_period(args.days)
    with tempfile.TemporaryDirectory(prefix="tovik-bench-search-") as data_dir:
        write_sample_data(data_dir, days=args.days)
        print(f"{args.trials} trials of MovingAverageCross on {args.days} days of sample data "
              f"({', '.join(instruments)}), batches of 8; {os.cpu_count()} cores, "
              f"load {os.getloadavg()[0]:.2f}")
        run = dict(data_dir=data_dir, trials=args.trials, seed=1)
        pool_s, on_pool = timed(lambda: search(MovingAverageCross, SPACE, instruments, start, end,
                                               local_processes=args.workers, **run))
        tried = on_pool.table.select("fast", "slow").to_dicts()

        base, results = timed(lambda: [Backtest(MovingAverageCross(**p), instruments, start, end,
                                                data_dir=data_dir).run() for p in tried])
        per_minute = len(results) / base * 60

        def row(label: str, seconds: float) -> None:
            print(f"{label:<34} {seconds:7.2f} s   {args.trials / seconds * 60:7.1f} trials/min   "
                  f"{base / seconds:4.2f}x the plain loop")

        print(f"{'plain loop, this process (baseline)':<34} {base:7.2f} s   {per_minute:7.1f} trials/min")
        row(f"search, pool of {args.workers}", pool_s)
        tables = [on_pool.table]
        if not args.no_ray:
            try:
                import ray
            except ImportError:
                print("Ray is not installed: pip install 'tovik_backtest[cluster]'")
            else:
                ray.init(num_cpus=args.workers, include_dashboard=False, log_to_driver=False,
                         logging_level="WARNING")
                try:
                    search(MovingAverageCross, SPACE, instruments, start, start, data_dir=data_dir,
                           trials=args.workers, batch=args.workers)  # starts Ray's worker processes
                    ray_s, on_ray = timed(lambda: search(MovingAverageCross, SPACE, instruments, start, end,
                                                         **run))
                finally:
                    ray.shutdown()
                row(f"search, Ray with {args.workers} workers", ray_s)
                tables.append(on_ray.table)
        same = all(t.drop(TIMING).equals(tables[0].drop(TIMING)) for t in tables)
        print(f"the searches tried the same trials with the same figures: {same}")


if __name__ == "__main__":
    main()
