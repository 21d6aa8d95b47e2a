"""Ticker benchmarks.

Merge: 20 instruments x 20 cached days of 5,000 ticks each, merged by the Ticker (cache
reads, code column, one concatenation, one sort) beside polars alone doing the same
reads, concatenation and sort on the same files in the same run. The merge prints two
console lines per cached instrument-day; it is timed once with those lines taken by a counting
stub and once rendered by rich to the null device, which shows what the console costs.

Replay: see bench_replay.py, whose figures this script prints after the merge's.

Run from the project root: PYTHONPATH=src .venv/bin/python benchmarks/bench_ticker.py
"""

from __future__ import annotations

import datetime as dt
import os
import statistics
import tempfile
import time

import polars as pl
from rich.console import Console

from tovik_backtest import utils
from tovik_backtest.constant import BASIC_INFO
from tovik_backtest.tick_cache import TICK_SCHEMA as SCHEMA
from tovik_backtest.tick_cache import tick_file, ticks_dir

INSTRUMENTS = 20
DAYS = 20
TICKS_PER_DAY = 5_000
REPEATS = 5



def _write_cache(data_dir: str) -> tuple[list[dict], list[str], list[tuple[str, str]]]:
    """Writes the cache files the merge will read; returns codes, days and (code, path) pairs."""
    os.makedirs(ticks_dir(data_dir), exist_ok=True)
    first = dt.date(2024, 1, 1)
    days = [(first + dt.timedelta(days=i)).strftime("%Y-%m-%d") for i in range(DAYS)]
    codes = [
        {"code": f"{1101 + i}", "market": "Stock" if i % 2 else "Future"}
        for i in range(INSTRUMENTS)
    ]
    files = []
    for n, entry in enumerate(codes):
        for day in days:
            base = (int(dt.datetime.strptime(day, "%Y-%m-%d").timestamp()) + 9 * 3600) * 10**9
            idx = pl.int_range(0, TICKS_PER_DAY, eager=True)
            table = pl.DataFrame(
                {
                    "ts": base + idx * 2_000_000 * (1 + n % 3) + n,
                    "close": 100.0 + (idx % 97) * 0.05 + n,
                    "volume": 1 + idx % 7,
                    "bid_price": 99.95 + (idx % 97) * 0.05 + n,
                    "bid_volume": 10 + idx % 13,
                    "ask_price": 100.05 + (idx % 97) * 0.05 + n,
                    "ask_volume": 10 + idx % 11,
                    "tick_type": 1 + idx % 2,
                }
            ).cast(SCHEMA)
            path = str(tick_file(data_dir, entry["code"], day))
            table.write_csv(path)
            files.append((entry["code"], path))
    return codes, days, files


def _polars_alone(files: list[tuple[str, str]]) -> pl.DataFrame:
    tables = [
        pl.read_csv(path, schema=SCHEMA).with_columns(pl.lit(code).alias("code"))
        for code, path in files
    ]
    return pl.concat(tables).sort(["ts", "code"])


def _interleaved(fns: dict, repeats: int = REPEATS) -> dict:
    """Best and median seconds of each function, the runs interleaved so that load from
    other processes falls on all of them alike."""
    times = {name: [] for name in fns}
    results = {}
    for _ in range(repeats):
        for name, fn in fns.items():
            start = time.perf_counter()
            results[name] = fn()
            times[name].append(time.perf_counter() - start)
    return {name: (min(t), statistics.median(t), results[name]) for name, t in times.items()}


class _CountingConsole:
    """Takes the console lines without rendering them (counts them)."""

    def __init__(self) -> None:
        self.lines = 0

    def print(self, text) -> None:
        self.lines += 1


def bench_merge() -> dict:
    from tovik_backtest.modules.ticker.ticker import Ticker

    saved_console = utils.console
    counting = _CountingConsole()
    with tempfile.TemporaryDirectory() as tmp, open(os.devnull, "w") as devnull, BASIC_INFO.override(tmp):
        rendering = Console(file=devnull, force_terminal=False)
        try:
            codes, days, files = _write_cache(tmp)
            ticker = Ticker(None)  # every day is cached: no broker needed

            def merge_with(console):
                def run():
                    utils.console = console
                    return ticker.merge_ticks(codes, days[0], days[-1])

                return run

            runs = _interleaved(
                {
                    "polars": lambda: _polars_alone(files),
                    "merge": merge_with(counting),
                    "merge_rendered": merge_with(rendering),
                }
            )
            expected = runs["polars"][2]
            for name in ("merge", "merge_rendered"):
                merged = runs[name][2]
                assert merged.height == INSTRUMENTS * DAYS * TICKS_PER_DAY
                assert merged.select("ts", "code").equals(expected.select("ts", "code"))
        finally:
            utils.console = saved_console
    return {
        "rows": INSTRUMENTS * DAYS * TICKS_PER_DAY,
        "lines_per_merge": counting.lines // REPEATS,
        **{f"{name}_best": r[0] for name, r in runs.items()},
        **{f"{name}_median": r[1] for name, r in runs.items()},
    }


def print_merge() -> None:
    m = bench_merge()
    print(
        f"merge: {INSTRUMENTS} instruments x {DAYS} cached days x {TICKS_PER_DAY:,} ticks = {m['rows']:,} rows"
    )
    rows = [
        ("polars alone (read, code column, concat, sort)", "polars"),
        ("Ticker merge, console lines taken unrendered", "merge"),
        ("Ticker merge, console lines rendered by rich", "merge_rendered"),
    ]
    for label, key in rows:
        print(
            f"  {label:<48} best {m[key + '_best'] * 1000:8.1f} ms   median {m[key + '_median'] * 1000:8.1f} ms"
        )
    base = m["polars_best"]
    print(
        f"  ratio merge / polars alone (best): {m['merge_best'] / base:.2f}x   (target: within 1.5x)"
    )
    rendered = m["merge_rendered_best"] / base
    print(f"  ratio with rich rendering of the {m['lines_per_merge']} console lines: {rendered:.2f}x")


def main() -> None:
    import bench_replay  # beside this script: the replay part of the ticker's figures

    print_merge()
    print()
    bench_replay.main()


if __name__ == "__main__":
    main()
