"""What handing each strategy hook its own copy of a report costs, in this one run.

A strategy that trades every N-th tick of a code (so the run hands out many reports, and
its on_order/on_deal hooks do nothing) runs over generated sample data twice per round:
as the package runs it, and with the copy replaced by the record's own dict (the old way,
where a hook could rewrite the record). Figures: ticks per second of each, the reports
handed out, the extra nanoseconds per report, and the ratio. Each figure is the best of
--rounds rounds. Usage: python benchmarks/bench_record.py [--days 5] [--every 10] [--rounds 5]
"""

from __future__ import annotations

import argparse
import tempfile
import time
from pathlib import Path
from typing import Any

from tovik_backtest import engine
from tovik_backtest.runner import Backtest, Strategy
from tovik_backtest.sample_data import sample_period, write_sample_data

INSTRUMENTS = ["2330:Stock", "TXFR1:Future"]


class EveryNth(Strategy):
    def __init__(self, every: int) -> None:
        super().__init__()
        self.every = every
        self.count: dict[str, int] = {}

    def on_tick(self, tick: dict[str, Any]) -> None:
        code = tick["code"]
        n = self.count[code] = self.count.get(code, 0) + 1
        if n % self.every == 0:
            side = self.sell if self.position(code) > 0 else self.buy
            side(code, tick["close"], 1)

    def on_order(self, report: dict[str, Any]) -> None:
        pass

    def on_deal(self, report: dict[str, Any]) -> None:
        pass


def timed(folder: Path, start: str, end: str, every: int) -> tuple[float, int, int]:
    began = time.perf_counter()
    result = Backtest(EveryNth(every), INSTRUMENTS, start, end, data_dir=folder, contract_sizes={"TXF": 200}).run()
    return time.perf_counter() - began, result.ticks, len(result.reports)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=5)
    parser.add_argument("--every", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    copying = engine.handed
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        write_sample_data(folder, days=args.days, seed=1)
        start, end = sample_period(args.days)
        timed(folder, start, end, args.every)  # the first run keeps the binary copies of the days
        best = {"copied": float("inf"), "shared": float("inf")}
        ticks = reports = 0
        for _ in range(args.rounds):
            for name in best:
                engine.handed = copying if name == "copied" else (lambda report: report)
                try:
                    seconds, ticks, reports = timed(folder, start, end, args.every)
                finally:
                    engine.handed = copying
                best[name] = min(best[name], seconds)
    for name, seconds in best.items():
        print(f"{name:>7}: {ticks / seconds:12,.0f} ticks/s  {seconds:7.3f} s  ({reports:,} reports)")
    extra = (best["copied"] - best["shared"]) / reports * 1e9 if reports else 0.0
    print(f"copy per report: {extra:,.0f} ns; copied/shared time {best['copied'] / best['shared']:.3f}")


if __name__ == "__main__":
    main()
