"""What sealing the kept binary copies costs a cached run, both measured in this one run.

A kept copy of a cached day carries an xxh3-64 checksum of its header and records,
checked on every load. This script runs the same cached back-test (2330:Stock and
TXFR1:Future on generated sample data, a strategy whose on_tick does nothing) on two
copies of one cache: one whose kept copies are sealed and checked as always, and one
whose copies were written and are read with the checksum left out (the checksum
function replaced by a constant, as it was before copies were sealed). Every round runs
both in turn, which goes first alternating; each figure is the best of its rounds. It also times the checksum alone
over every kept copy's bytes.

Usage: python benchmarks/bench_sealed_copies.py [--days 30] [--rounds 7]
"""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile
import time
from pathlib import Path
from typing import Any

from tovik_backtest import market as mk
from tovik_backtest import tick_cache
from tovik_backtest.runner import Backtest, Strategy
from tovik_backtest.sample_data import cache_dir, sample_period, write_sample_data

INSTRUMENTS = ["2330:Stock", "TXFR1:Future"]


class Idle(Strategy):
    def on_tick(self, tick: dict[str, Any]) -> None:
        pass


def run(folder: Path, start: str, end: str) -> tuple[float, int]:
    began = time.perf_counter()
    result = Backtest(Idle(), INSTRUMENTS, start, end, data_dir=folder).run()
    return time.perf_counter() - began, result.ticks


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--days", type=int, default=30)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    sealed_checksum = tick_cache._checksum

    def unsealed(sealed: Any, records: Any) -> int:
        return 0

    with tempfile.TemporaryDirectory() as tmp:
        sealed, bare = Path(tmp) / "sealed", Path(tmp) / "bare"
        write_sample_data(sealed, days=args.days)
        for path in cache_dir(sealed).glob("*.csv"):  # dated back like stored data (a fresh file gets no copy)
            os.utime(path, ns=(path.stat().st_mtime_ns - 3600 * 10**9,) * 2)
        shutil.copytree(sealed, bare, copy_function=shutil.copy2)
        start, end = sample_period(args.days)
        mk.trading_days(start, end)  # the exchange calendar loads once per process
        run(sealed, start, end)  # the first runs parse the CSV files and keep the copies
        tick_cache._checksum = unsealed
        try:
            run(bare, start, end)
        finally:
            tick_cache._checksum = sealed_checksum

        best = {"sealed": float("inf"), "bare": float("inf")}
        ticks = 0
        for k in range(args.rounds):
            # each round runs both, in turn; which goes first alternates
            for name in ("sealed", "bare") if k % 2 == 0 else ("bare", "sealed"):
                if name == "bare":
                    tick_cache._checksum = unsealed
                try:
                    seconds, ticks = run(sealed if name == "sealed" else bare, start, end)
                finally:
                    tick_cache._checksum = sealed_checksum
                best[name] = min(best[name], seconds)

        copies = [p.read_bytes() for p in sealed.joinpath(*tick_cache.TABLES_FOLDER).glob("*.ticks")]
        header = 64
        began = time.perf_counter()
        for _ in range(args.rounds):
            for data in copies:
                sealed_checksum(memoryview(data)[: header - 8], memoryview(data)[header:])
        hashing = (time.perf_counter() - began) / args.rounds

    megabytes = sum(len(d) for d in copies) / 2**20
    print(
        f"{args.days} trading days, {ticks:,} ticks of {', '.join(INSTRUMENTS)}, cached "
        f"({len(copies)} kept copies, {megabytes:.1f} MiB); best of {args.rounds} rounds:"
    )
    for name, label in (("bare", "copies read without a checksum"), ("sealed", "sealed copies, checked on load")):
        rate = ticks / best[name]
        print(f"  {label:<34} {best[name]:8.3f} s {rate:>12,.0f} ticks/s")
    cost = best["sealed"] / best["bare"] - 1
    print(
        f"  checksum cost of a cached run: {cost:+.1%} (sealed vs bare); the checksum alone "
        f"{hashing * 1e3:.2f} ms for all copies ({megabytes / hashing / 1024:.1f} GiB/s)"
    )


if __name__ == "__main__":
    main()
