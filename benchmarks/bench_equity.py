"""Speed of the native loop with net equity marked at every tick, against a baseline
source tree (an earlier commit built in place), both measured in this one run.

Each round runs, in a fresh process per tree and alternately, the same back-tests on
generated sample data: a strategy whose on_tick does nothing, and the order flow of
bench_engine (every 100th tick of a code a 1-lot limit order at the last price). Each
process runs the period once to keep its day tables, then times a second run and its
summary (fills are charged during the run here, after it in older trees, so the run and
the figures a user reads are timed together). Figures are ticks per second, the best of
--rounds rounds, and the ratio of this tree to the baseline, by wall time and by the
process's CPU time (steadier on a machine shared with other work).

Usage: python benchmarks/bench_equity.py --baseline /path/to/other/src [--days 20] [--rounds 5]
(build the baseline with `git archive <commit> | tar -x -C DIR && make -C DIR dev VENV=...`).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent.parent / "src"

CHILD = r"""
import json, sys, time
from tovik_backtest.errors import OrderRefused
from tovik_backtest.runner import Backtest, Strategy
from tovik_backtest.sample_data import sample_period

folder, days = sys.argv[1], int(sys.argv[2])
start, end = sample_period(days)

class Idle(Strategy):
    def on_tick(self, tick):
        pass

class EveryHundredth(Strategy):
    def __init__(self):
        super().__init__()
        self.count = {}

    def on_tick(self, tick):
        code = tick["code"]
        n = self.count[code] = self.count.get(code, 0) + 1
        if n % 100 == 0:
            try:  # a sell of shares a resting sell already offers is refused in newer trees
                if self.position(code) > 0:
                    self.sell(code, tick["close"], 1)
                else:
                    self.buy(code, tick["close"], 1)
            except OrderRefused:
                pass

out = {}
for name, make in (("idle", Idle), ("orders", EveryHundredth)):
    Backtest(make(), ["2330:Stock", "TXFR1:Future"], start, end, data_dir=folder).run()  # keeps the tables
    began, cpu = time.perf_counter(), time.process_time()
    result = Backtest(make(), ["2330:Stock", "TXFR1:Future"], start, end, data_dir=folder).run()
    result.summary()
    out[name] = result.ticks / (time.perf_counter() - began)
    out[name + " cpu"] = result.ticks / (time.process_time() - cpu)
print(json.dumps(out))
"""


def measure(src: Path, folder: str, days: int) -> dict[str, float]:
    env = {**os.environ, "PYTHONPATH": str(src)}
    done = subprocess.run([sys.executable, "-c", CHILD, folder, str(days)], env=env, capture_output=True,
                          text=True)
    if done.returncode:
        raise SystemExit(f"the run in {src} failed:\n{done.stderr}")
    figures: dict[str, float] = json.loads(done.stdout.strip().splitlines()[-1])
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", type=Path, required=True, help="the other tree's src folder, built")
    parser.add_argument("--days", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    sys.path.insert(0, str(HERE))
    from tovik_backtest.sample_data import write_sample_data

    best: dict[str, dict[str, float]] = {"this": {}, "baseline": {}}
    with tempfile.TemporaryDirectory() as here, tempfile.TemporaryDirectory() as there:
        write_sample_data(here, days=args.days)
        write_sample_data(there, days=args.days)
        for _ in range(args.rounds):
            for tree, src, folder in (("baseline", args.baseline, there), ("this", HERE, here)):
                for name, value in measure(src, folder, args.days).items():
                    best[tree][name] = max(best[tree].get(name, 0.0), value)
    print(f"{args.days} sample days, 2330:Stock + TXFR1:Future, best of {args.rounds} rounds (ticks/s)")
    for name in ("idle", "idle cpu", "orders", "orders cpu"):
        this, base = best["this"][name], best["baseline"][name]
        print(f"  {name:10s} this tree {this:12,.0f}   baseline {base:12,.0f}   ratio {this / base:.3f}")


if __name__ == "__main__":
    main()
