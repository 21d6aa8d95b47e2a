"""Replay benchmark: ticks per second through the host's hand-shake loop.

A 200,000-row merged table (two instruments) is replayed by a Ticker while the host
runs the loop `pop_tick()` then `allow_next_tick()` until the exit marker, first with
the Ticker's own `queue.Queue` fields, then with the tick and token queues replaced by
`queue.SimpleQueue` (the Ticker uses whatever queue-like object it finds there). Beside
it, in the same run, the plain-Python way: a thread walks the same table with
`iter_rows(named=True)`, builds the same records and hands them to the host through
`queue.Queue`, waiting for a token on a second `queue.Queue` before each one.

Run from the project root: PYTHONPATH=src .venv/bin/python benchmarks/bench_replay.py
"""

from __future__ import annotations

import queue
import statistics
import tempfile
import threading
import time

import polars as pl

from tovik_backtest import utils
from tovik_backtest.constant import BASIC_INFO, FLAG
from tovik_backtest.sample_data import TICK_SCHEMA, cache_dir
from tovik_backtest.tick_cache import tick_file_name

ROWS = 200_000
REPEATS = 3
MARKETS = {"2330": "Stock", "TXFR1": "Future"}


def _table(rows: int) -> pl.DataFrame:
    idx = pl.int_range(0, rows, eager=True)
    base = 1_704_186_000_000_000_000
    return pl.DataFrame(
        {
            "ts": base + idx * 1_000_000,
            "close": 500.0 + (idx % 97) * 0.5,
            "volume": 1 + idx % 7,
            "bid_price": 499.5 + (idx % 97) * 0.5,
            "bid_volume": 10 + idx % 13,
            "ask_price": 500.5 + (idx % 97) * 0.5,
            "ask_volume": 10 + idx % 11,
            "tick_type": 1 + idx % 2,
            "code": pl.Series(["2330", "TXFR1"] * (rows // 2) + ["2330"] * (rows % 2)),
        }
    )


def _write_cache(df: pl.DataFrame, data_dir: str) -> None:
    """The table as the tick cache's files of its one day, one per instrument."""
    folder = cache_dir(data_dir)
    folder.mkdir(parents=True, exist_ok=True)
    for code in MARKETS:
        rows = df.filter(pl.col("code") == code).select(list(TICK_SCHEMA))
        rows.write_csv(folder / tick_file_name(code, "2024-01-02"))


def _ticker_run(df: pl.DataFrame, simple_queues: bool = False) -> tuple[float, int]:
    from tovik_backtest.modules.ticker.ticker import Ticker

    ticker = Ticker(None)
    ticker.code_market_map.update(MARKETS)
    if simple_queues:
        ticker.tick_queue = queue.SimpleQueue()
        ticker.allow_next_tick_flag_queue = queue.SimpleQueue()
        ticker.allow_next_tick_flag_queue.put(True)
    # the table is in the cache (see _write_cache): send_ticks merges it as a run would
    ticker.send_ticks([{"code": c, "market": m} for c, m in MARKETS.items()], "2024-01-02", "2024-01-02")
    count = 0
    start = time.perf_counter()
    while True:
        tick = ticker.pop_tick()
        if "tovik_status" in tick:
            break
        count += 1
        ticker.allow_next_tick()
    return time.perf_counter() - start, count


def _plain_python_run(df: pl.DataFrame) -> tuple[float, int]:
    ticks: queue.Queue = queue.Queue()
    tokens: queue.Queue = queue.Queue()
    tokens.put(True)
    exit_marker = {"tovik_status": FLAG.exit_send_tick.value}

    def produce() -> None:
        for row in df.iter_rows(named=True):
            tokens.get()
            ticks.put(
                {
                    "market_type": MARKETS[row["code"]],
                    "timestamp": utils.format_nano_ts_to_second_ts(row["ts"], 8),
                    "code": row["code"],
                    "close": row["close"],
                    "qty": row["volume"],
                    "tick_type": row["tick_type"],
                    "is_simulate": False,
                    "is_backfilling": False,
                }
            )
        tokens.get()
        ticks.put(exit_marker)

    worker = threading.Thread(target=produce, daemon=True)
    count = 0
    start = time.perf_counter()
    worker.start()
    while True:
        tick = ticks.get()
        if "tovik_status" in tick:
            break
        count += 1
        tokens.put(True)
    elapsed = time.perf_counter() - start
    worker.join(10)
    return elapsed, count


def bench_replay() -> dict:
    """Best-of-REPEATS ticks per second for the Ticker and for the plain-Python loop."""
    df = _table(ROWS)
    printed = utils.console.print
    results: dict[str, list[float]] = {"ticker": [], "simple": [], "plain": []}
    runs = (
        ("ticker", _ticker_run),
        ("simple", lambda table: _ticker_run(table, simple_queues=True)),
        ("plain", _plain_python_run),
    )
    with tempfile.TemporaryDirectory() as data_dir, BASIC_INFO.override(data_dir):
        _write_cache(df, data_dir)
        utils.console.print = lambda *args, **kwargs: None
        try:
            for _ in range(REPEATS):
                for name, run in runs:
                    elapsed, count = run(df)
                    if count != ROWS:
                        raise RuntimeError(f"{name} replay delivered {count} of {ROWS} ticks")
                    results[name].append(count / elapsed)
        finally:
            utils.console.print = printed
    ticker_best, plain_best = max(results["ticker"]), max(results["plain"])
    return {
        "rows": ROWS,
        "ticker_ticks_per_second": ticker_best,
        "ticker_median": statistics.median(results["ticker"]),
        "simple_ticks_per_second": max(results["simple"]),
        "simple_median": statistics.median(results["simple"]),
        "plain_ticks_per_second": plain_best,
        "plain_median": statistics.median(results["plain"]),
        "ratio": ticker_best / plain_best,
    }


def main() -> None:
    r = bench_replay()
    print(f"replay of {r['rows']:,} ticks, host loop pop_tick() + allow_next_tick(), best of {REPEATS}")
    print(f"  Ticker                          {r['ticker_ticks_per_second']:>12,.0f} ticks/s"
          f"  (median {r['ticker_median']:,.0f})")
    print(f"  Ticker, SimpleQueue fields      {r['simple_ticks_per_second']:>12,.0f} ticks/s"
          f"  (median {r['simple_median']:,.0f})")
    print(f"  iter_rows + two queue.Queue     {r['plain_ticks_per_second']:>12,.0f} ticks/s"
          f"  (median {r['plain_median']:,.0f})")
    print(f"  ratio                           {r['ratio']:>12.1f} x")


if __name__ == "__main__":
    main()
