"""The report page of a long run: its size and the time to draw it, beside the run itself.

The sample strategy on --days days (default 60) of sample data (2330:Stock and
TXFR1:Future). Figures: the page's size against the 15 MB it must stay under and
against plotly's own script (the part every page carries), what the price lines take
packed, and the time to draw the page against the run's own time.
Usage: python benchmarks/bench_report.py [--days 60]
"""

from __future__ import annotations

import argparse
import re
import tempfile
import time
from pathlib import Path

import plotly

from tovik_backtest.runner import Backtest, merged_ticks
from tovik_backtest.sample_data import sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross

INSTRUMENTS = ["2330:Stock", "TXFR1:Future"]
LIMIT = 15_000_000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=60)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        data = Path(tmp) / "data"
        write_sample_data(data, days=args.days, seed=0)
        start, end = sample_period(args.days)
        started = time.perf_counter()
        result = Backtest(MovingAverageCross(), INSTRUMENTS, start, end, data_dir=data).run()
        run_s = time.perf_counter() - started
        ticks = merged_ticks(INSTRUMENTS, start, end, data_dir=data)
        started = time.perf_counter()
        page = result.report(Path(tmp) / "run.html", ticks)
        draw_s = time.perf_counter() - started
        size = page.stat().st_size
        text = page.read_text(encoding="utf-8")
    bundle = len(plotly.offline.get_plotlyjs())
    series = re.search(r"id='report-series'>(.*?)</script>", text, re.S)
    packed = len(series.group(1)) if series else 0
    print(f"{args.days} days: {result.ticks:,} ticks, {len(result.book.fills):,} fills, "
          f"{len(result.book.round_trips):,} round trips")
    print(f"page                {size / 1e6:8.2f} MB   {size / LIMIT:5.2f}x of the 15 MB limit")
    print(f"  plotly's script   {bundle / 1e6:8.2f} MB   {bundle / size:5.2f}x of the page")
    print(f"  packed lines      {packed / 1e6:8.2f} MB   {packed / size:5.2f}x of the page, "
          f"{packed / max(len(ticks), 1):.1f} bytes a tick")
    print(f"run                 {run_s:8.2f} s")
    print(f"drawing the page    {draw_s:8.2f} s    {draw_s / run_s:5.2f}x of the run")


if __name__ == "__main__":
    main()
