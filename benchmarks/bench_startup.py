"""Start-up benchmark: the wall time of a one-day `tovik-backtest run` in a fresh process.

One instrument, one sample day, the sample strategy, every day already in the cache
with its kept table and the trading days kept beside it (a run before the measured
ones makes them). Beside it, in the same run and the same way (a fresh interpreter,
wall time from start to exit), the floor any command has: `python -c pass` and
`python -c "import polars"`. Then, in one process, the first run of a back-test
against the second and third (the first pays for loading the matcher module and
reading the kept calendar), and a fresh process with no kept calendar (the calendar
library imported and built, as before any run in a new data folder).

Each figure is the median of REPEATS runs, the processes interleaved so a passing
load on the machine spreads over all of them.

Run from the project root: PYTHONPATH=src .venv/bin/python benchmarks/bench_startup.py
"""

from __future__ import annotations

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from tovik_backtest.sample_data import sample_period, write_sample_data
from tovik_backtest.tick_cache import ticks_dir
from tovik_backtest.trading_calendar import calendar_file

REPEATS = 9
STRATEGY = "tovik_backtest.sample_strategy:MovingAverageCross"

IN_PROCESS = """
import json, sys, time
from tovik_backtest import Backtest
from tovik_backtest.sample_strategy import MovingAverageCross
data_dir, day = sys.argv[1], sys.argv[2]
times = []
for _ in range(3):
    began = time.perf_counter()
    Backtest(MovingAverageCross(), ["2330:Stock"], day, day, data_dir=data_dir, quiet=True).run()
    times.append(time.perf_counter() - began)
print(json.dumps(times))
"""


def _wall(args: list[str], env: dict[str, str]) -> float:
    began = time.perf_counter()
    done = subprocess.run(args, env=env, capture_output=True, text=True, check=False)
    elapsed = time.perf_counter() - began
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(args[:4])} ... failed ({done.returncode}):\n{done.stderr[-2000:]}")
    return elapsed


def _settle(data_dir: Path) -> None:
    for path in ticks_dir(data_dir).glob("*.csv"):
        stamp = path.stat().st_mtime_ns - 3600 * 10**9
        os.utime(path, ns=(stamp, stamp))


def main() -> None:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    with tempfile.TemporaryDirectory(prefix="tovik-bench-startup-") as folder:
        data_dir = Path(folder) / "data"
        write_sample_data(data_dir, days=1)
        _settle(data_dir)
        day = sample_period(1)[0]
        run = [
            sys.executable,
            "-m",
            "tovik_backtest",
            "run",
            "-i",
            "2330:Stock",
            "--start",
            day,
            "--end",
            day,
            "--strategy",
            STRATEGY,
            "--data-dir",
            str(data_dir),
        ]
        _wall(run, env)  # keeps the day's table and the trading days
        commands = {
            "python -c pass": [sys.executable, "-c", "pass"],
            'python -c "import polars"': [sys.executable, "-c", "import polars"],
            "tovik-backtest run, one day": run,
        }
        walls: dict[str, list[float]] = {name: [] for name in commands}
        no_calendar: list[float] = []
        in_process: list[list[float]] = []
        for _ in range(REPEATS):
            for name, args in commands.items():
                walls[name].append(_wall(args, env))
            shutil.rmtree(calendar_file(data_dir).parent)
            no_calendar.append(_wall(run, env))
            done = subprocess.run(
                [sys.executable, "-c", IN_PROCESS, str(data_dir), day],
                env=env,
                capture_output=True,
                text=True,
                check=True,
            )
            in_process.append(json.loads(done.stdout.strip().splitlines()[-1]))

    median = {name: statistics.median(times) for name, times in walls.items()}
    base, polars = median["python -c pass"], median['python -c "import polars"']
    print(f"fresh process, wall time, median of {REPEATS} (interleaved):")
    for name, value in median.items():
        print(
            f"  {name:32s} {value * 1000:7.0f} ms   {value / base:5.1f}x python -c pass   "
            f"{value / polars:5.2f}x import polars"
        )
    cold = statistics.median(no_calendar)
    print(
        f"  {'run without the kept calendar':32s} {cold * 1000:7.0f} ms   {cold / base:5.1f}x python -c pass   "
        f"{cold / polars:5.2f}x import polars"
    )
    firsts, seconds, thirds = (statistics.median(t[k] for t in in_process) for k in range(3))
    print(f"one process, Backtest.run of one day, median of {REPEATS} processes:")
    print(
        f"  first {firsts * 1000:.0f} ms, second {seconds * 1000:.0f} ms, third {thirds * 1000:.0f} ms; "
        f"first / second {firsts / seconds:.2f}"
    )


if __name__ == "__main__":
    main()
