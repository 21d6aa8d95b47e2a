"""Wall time of a 16-run parameter sweep on the sample data: one after another in this
process (the plain-Python baseline), on Ray with 1 and 2 workers, and on a process pool
with 1 and 2 processes.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_sweep.py [--days 5] [--workers 2]

Ray is started once per worker count before the clock starts and warmed with one small
sweep, so its figures leave out the start of the cluster and of its worker processes. A
process pool is created by each sweep, so its figures include starting the processes.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time

from tovik_backtest.runner import Backtest
from tovik_backtest.sample_data import SAMPLE_INSTRUMENTS, sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross
from tovik_backtest.sweeps import expand_grid, sweep

GRID = {"fast": [5, 10, 20, 40], "slow": [60, 80, 120, 160]}
TIMING = ("wall_seconds", "ticks_per_second", "result")


def timed(fn):
    started = time.perf_counter()
    value = fn()
    return time.perf_counter() - started, value


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=5, help="trading days of sample data")
    parser.add_argument("--workers", type=int, default=2, help="largest worker count to try")
    parser.add_argument("--no-ray", action="store_true", help="only the process pool")
    args = parser.parse_args()

    instruments = [f"{p.code}:{p.market}" for p in SAMPLE_INSTRUMENTS]
    start, end = sample_period(args.days)
    runs = len(expand_grid(GRID))
    with tempfile.TemporaryDirectory(prefix="tovik-bench-sweep-") as data_dir:
        write_sample_data(data_dir, days=args.days)
        print(f"{runs} runs of MovingAverageCross on {args.days} days of sample data "
              f"({', '.join(instruments)}); {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}")

        def sequential():
            return [Backtest(MovingAverageCross(**params), instruments, start, end,
                             data_dir=data_dir).run() for params in expand_grid(GRID)]

        base, results = timed(sequential)
        ticks = sum(r.ticks for r in results)
        print(f"{'one after another (baseline)':<30} {base:7.2f} s   {ticks / base:>10,.0f} ticks/s")

        def row(label: str, seconds: float, one: float | None) -> None:
            speed_up = f"   speed-up {one / seconds:4.2f}x" if one is not None else ""
            print(f"{label:<30} {seconds:7.2f} s   {ticks / seconds:>10,.0f} ticks/s   "
                  f"{base / seconds:4.2f}x baseline{speed_up}")

        tables = {}
        one = None
        for workers in range(1, args.workers + 1):
            seconds, tables[f"pool {workers}"] = timed(lambda w=workers: sweep(
                MovingAverageCross, GRID, instruments, start, end, data_dir=data_dir,
                local_processes=w))
            one = one or seconds
            row(f"process pool, {workers} process{'es' if workers > 1 else ''}", seconds,
                one if workers > 1 else None)

        if not args.no_ray:
            try:
                import ray
            except ImportError:
                print("Ray is not installed: pip install 'tovik_backtest[cluster]'")
                ray = None
            one = None
            for workers in range(1, args.workers + 1) if ray is not None else ():
                ray.init(num_cpus=workers, include_dashboard=False, log_to_driver=False,
                         logging_level="WARNING")
                try:
                    sweep(MovingAverageCross, {"fast": list(range(1, workers + 1))}, instruments,
                          start, start, data_dir=data_dir)  # starts the worker processes
                    seconds, tables[f"ray {workers}"] = timed(lambda: sweep(
                        MovingAverageCross, GRID, instruments, start, end, data_dir=data_dir))
                finally:
                    ray.shutdown()
                one = one or seconds
                row(f"Ray, {workers} worker{'s' if workers > 1 else ''}", seconds,
                    one if workers > 1 else None)

        first, *others = tables.values()
        same = all(t.drop(*TIMING).equals(first.drop(*TIMING)) for t in others)
        print(f"all sweeps gave the same table: {same}")


if __name__ == "__main__":
    main()
