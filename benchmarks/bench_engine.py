"""The back-test engine against its peers, all in this one run on generated sample data.

Figures (ticks per second; a tick is one trade row of 2330:Stock or TXFR1:Future):
  * this package end to end through Backtest(...).run(), cache reading included, with
    the order flow below and with a strategy whose on_tick does nothing (the first run
    of a period parses its CSV files and keeps binary copies; later runs load those);
  * the native loop alone (drive_ticks on the period's merged table, no-op on_tick);
  * polars walking the same merged rows with iter_rows(named=True) and a no-op call,
    on the table alone and end to end (reading the same cache files, merging, sorting);
  * hftbacktest's numba-compiled loop on the same trades (with each tick's best bid and
    ask as depth events) and the same order flow: the loop alone, and end to end (the
    cache read with polars, its event arrays built, the loop; compilation excluded), and
    from its own .npz event files, converted once beforehand;
  * backtrader on the same ticks as bars (fewer days: it is slow);
  * the order flow under the fill models Touch, Queue() and Queue(cancels="proportional",
    latency_ms=5), and the optimism gap of the sample strategy: its net P&L and fills
    under each model (--fills-only runs just these);
  * peak resident memory of a 5-day and a 60-day run, each in its own process, without
    orders and with the sample strategy (whose result keeps every report).
Order flow: every 100th tick of a code, a 1-lot limit buy at the last price when flat,
else a 1-lot limit sell at the last price. Peers missing: a line says so (pip install
'.[bench]'). Each figure is the best of --rounds rounds in which every contender runs
once in turn. Usage: python benchmarks/bench_engine.py [--days 30] [--bt-days 5] [--rounds 5]
"""

from __future__ import annotations

import argparse
import datetime as dt
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import polars as pl

from tovik_backtest import engine, utils
from tovik_backtest import market as mk
from tovik_backtest.compare import compare_fills, gap_lines
from tovik_backtest.days import DayTicks
from tovik_backtest.fills import Queue, Touch
from tovik_backtest.modules.matcher.matcher import Matcher
from tovik_backtest.runner import Backtest, Strategy, merged_ticks
from tovik_backtest.sample_data import cache_dir, sample_period, write_sample_data
from tovik_backtest.sample_strategy import MovingAverageCross
from tovik_backtest.state import EngineState
from tovik_backtest.tick_cache import TABLES_FOLDER, TICK_SCHEMA, tick_file

INSTRUMENTS = ["2330:Stock", "TXFR1:Future"]
EVERY = 100


class EveryHundredth(Strategy):
    def __init__(self) -> None:
        super().__init__()
        self.count: dict[str, int] = {}

    def on_tick(self, tick: dict[str, Any]) -> None:
        code = tick["code"]
        n = self.count[code] = self.count.get(code, 0) + 1
        if n % EVERY == 0:
            if self.position(code) > 0:
                # A sell may go out while an earlier one still rests, as the peers' flows do:
                # a sell-first day trade, so the stock desk takes it beyond the shares held.
                self.sell(code, tick["close"], 1, daytrade_short=True)
            else:
                self.buy(code, tick["close"], 1)


class Idle(Strategy):
    def on_tick(self, tick: dict[str, Any]) -> None:
        pass


def ours(strategy: Strategy, folder: Path, start: str, end: str, fills: Any = None) -> tuple[float, Any]:
    began = time.perf_counter()
    result = Backtest(strategy, INSTRUMENTS, start, end, data_dir=folder, fills=fills).run()
    return time.perf_counter() - began, result


# The fill models timed side by side on the order flow, and compared on the sample strategy.
FILL_MODELS = {"touch": Touch(), "queue": Queue(), "queue-5ms": Queue(cancels="proportional", latency_ms=5)}


def fill_model_lines(best: dict[str, float], ticks: int) -> None:
    """The order flow's speed under each fill model, against Touch's in the same rounds."""
    base = ticks / best["fills touch"]
    for name, model in FILL_MODELS.items():
        line(f"order flow, fills={model.name}", ticks, best[f"fills {name}"], base)


def optimism_gap(folder: Path, start: str, end: str) -> None:
    """Net P&L and fills of the sample strategy under each fill model."""
    table = compare_fills(lambda: MovingAverageCross(), INSTRUMENTS, start, end, data_dir=folder,
                          models=[Touch(), Queue(), Queue(cancels="proportional")])
    print("the sample strategy (MovingAverageCross defaults) under each fill model:")
    for text in gap_lines(table):
        print(f"  {text}")


def native_loop(table: pl.DataFrame) -> float:
    index = {"2330": 0, "TXFR1": 1}
    day = DayTicks.from_table(table, table["code"].replace_strict(index, return_dtype=pl.Int64).to_numpy())
    state = EngineState(2)
    state["boundary_ns"] = (1 << 63) - 1
    state["interval_ns"] = 60 * 10**9
    rows = EngineState.table(engine.table_rows(day.ts, state["interval_ns"]))

    def idle(tick: dict[str, Any]) -> None:
        pass

    with Matcher() as matcher:
        matcher.route_reports([])
        began = time.perf_counter()
        matcher.drive_ticks(day.ts, day.code, day.close, day.volume, day.tick_type, list(index), ["Stock", "Future"],
                            state.array, False, idle, None, None, None, rows)
        return time.perf_counter() - began


def read_cache(folder: Path, start: str, end: str) -> tuple[float, pl.DataFrame]:
    """The period's cache files read, merged and sorted with polars alone."""
    began = time.perf_counter()
    first, last = dt.date.fromisoformat(start), dt.date.fromisoformat(end)
    frames = []
    for item in INSTRUMENTS:
        code = item.split(":")[0]
        day = first
        while day <= last:
            path = tick_file(folder, code, day.isoformat())
            if path.is_file():
                frames.append(pl.read_csv(path, schema=TICK_SCHEMA).with_columns(pl.lit(code).alias("code")))
            day += dt.timedelta(days=1)
    table = pl.concat(frames).sort(["ts", "code"])
    return time.perf_counter() - began, table


def polars_walk(table: pl.DataFrame) -> float:
    def idle(row: dict[str, Any]) -> None:
        pass

    began = time.perf_counter()
    for row in table.iter_rows(named=True):
        idle(row)
    return time.perf_counter() - began


# ---- hftbacktest -------------------------------------------------------------------------

def hft_events(table: pl.DataFrame, code: str) -> Any:
    import numpy as np
    from hftbacktest import BUY_EVENT, DEPTH_BBO_EVENT, EXCH_EVENT, LOCAL_EVENT, SELL_EVENT, TRADE_EVENT, event_dtype

    rows = table.filter(pl.col("code") == code)
    n = rows.height
    ev = np.zeros(3 * n, dtype=event_dtype)
    ts = rows["ts"].to_numpy()
    flags = EXCH_EVENT | LOCAL_EVENT
    side = np.where(rows["tick_type"].to_numpy() == 1, BUY_EVENT, SELL_EVENT)
    for k, (kind, px, qty) in enumerate([
        (DEPTH_BBO_EVENT | BUY_EVENT, rows["bid_price"], rows["bid_volume"]),
        (DEPTH_BBO_EVENT | SELL_EVENT, rows["ask_price"], rows["ask_volume"]),
        (TRADE_EVENT, rows["close"], rows["volume"]),
    ]):
        ev["ev"][k::3] = (side | flags | kind) if kind == TRADE_EVENT else (flags | kind)
        ev["exch_ts"][k::3] = ts
        ev["local_ts"][k::3] = ts
        ev["px"][k::3] = px.to_numpy()
        ev["qty"][k::3] = qty.cast(pl.Float64).to_numpy()
    return ev


def hft_runner(sample: pl.DataFrame) -> Any:
    """A function running hftbacktest on a table, or on its own .npz event files by code:
    (loop seconds, build seconds, ticks, orders). Its numba loop is compiled here on
    ``sample``, before any timing."""
    from hftbacktest import GTC, LIMIT, BacktestAsset, HashMapMarketDepthBacktest
    from numba import njit

    @njit
    def loop(hbt: Any) -> tuple[int, int]:
        counts = [0, 0]
        orders = 0
        order_id = 0
        while hbt.wait_next_feed(False, 1 << 62) == 2:
            for a in range(2):
                trades = hbt.last_trades(a)
                for t in range(len(trades)):
                    counts[a] += 1
                    if counts[a] % 100 == 0:
                        hbt.clear_inactive_orders(a)
                        order_id += 1
                        orders += 1
                        if hbt.position(a) > 0:
                            hbt.submit_sell_order(a, order_id, trades[t].px, 1.0, GTC, LIMIT, False)
                        else:
                            hbt.submit_buy_order(a, order_id, trades[t].px, 1.0, GTC, LIMIT, False)
                hbt.clear_last_trades(a)
        return counts[0] + counts[1], orders

    def build(data: pl.DataFrame | dict[str, str], kept: list[Any]) -> Any:
        assets = []
        for code, tick in (("2330", 0.5), ("TXFR1", 1.0)):
            events = data[code] if isinstance(data, dict) else hft_events(data, code)
            kept.append(events)  # the asset keeps only a pointer to the array
            assets.append(BacktestAsset().data([events]).linear_asset(1.0)
                          .constant_order_latency(0, 0).risk_adverse_queue_model().no_partial_fill_exchange()
                          .trading_value_fee_model(0.0, 0.0).tick_size(tick).lot_size(1.0)
                          .last_trades_capacity(64))
        return HashMapMarketDepthBacktest(assets)

    def run(table: pl.DataFrame | dict[str, str]) -> tuple[float, float, int, int]:
        kept: list[Any] = []
        built = time.perf_counter()
        hbt = build(table, kept)
        began = time.perf_counter()
        ticks, orders = loop(hbt)
        seconds = time.perf_counter() - began
        hbt.close()
        return seconds, began - built, ticks, orders

    run(sample)  # compiles the loop
    return run


# ---- backtrader --------------------------------------------------------------------------

def backtrader_run(table: pl.DataFrame) -> tuple[float, int]:
    import backtrader as bt
    import pandas as pd

    class Flow(bt.Strategy):  # type: ignore[misc]
        def __init__(self) -> None:
            self.count = [0] * len(self.datas)
            self.seen = [0] * len(self.datas)

        def next(self) -> None:
            for k, data in enumerate(self.datas):
                if len(data) == self.seen[k]:
                    continue  # this feed had no new tick at this time
                self.seen[k] = len(data)
                self.count[k] += 1
                if self.count[k] % EVERY == 0:
                    close = data.close[0]
                    if self.getposition(data).size > 0:
                        self.sell(data=data, price=close, size=1, exectype=bt.Order.Limit)
                    else:
                        self.buy(data=data, price=close, size=1, exectype=bt.Order.Limit)

    cerebro = bt.Cerebro(stdstats=False)
    for code in ("2330", "TXFR1"):
        rows = table.filter(pl.col("code") == code)
        close = rows["close"].to_numpy()
        frame = pd.DataFrame({"open": close, "high": close, "low": close, "close": close,
                              "volume": rows["volume"].cast(pl.Float64).to_numpy()},
                             index=pd.to_datetime(rows["ts"].to_numpy(), unit="ns"))
        cerebro.adddata(bt.feeds.PandasData(dataname=frame, openinterest=None), name=code)
    cerebro.addstrategy(Flow)
    cerebro.broker.setcash(1e12)
    began = time.perf_counter()
    cerebro.run(runonce=False, preload=True)
    return time.perf_counter() - began, table.height


# ---- memory ------------------------------------------------------------------------------

# VmHWM, not ru_maxrss: a child's ru_maxrss starts from its parent's at fork, so it
# would report this (much larger) benchmark process instead of the run.
_RSS_CHILD = """
import sys
from tovik_backtest.runner import Backtest, Strategy
from tovik_backtest.sample_strategy import MovingAverageCross
strategy = MovingAverageCross() if sys.argv[4] == "trading" else Strategy()
Backtest(strategy, {instruments!r}, sys.argv[1], sys.argv[2], data_dir=sys.argv[3]).run()
with open("/proc/self/status") as status:
    print(next(line.split()[1] for line in status if line.startswith("VmHWM:")))
"""


def peak_rss_kib(folder: Path, start: str, end: str, strategy: str) -> int:
    """Peak resident memory of one run in a process of its own: ``strategy`` "idle" (the
    ticks alone) or "trading" (the sample strategy, whose reports the result keeps)."""
    done = subprocess.run([sys.executable, "-c", _RSS_CHILD.format(instruments=INSTRUMENTS), start, end,
                           str(folder), strategy], capture_output=True, text=True, check=True)
    return int(done.stdout.strip().splitlines()[-1])


def line(name: str, ticks: int, seconds: float, base: float | None = None) -> float:
    rate = ticks / seconds
    ratio = f"  {rate / base:6.2f}x ours" if base else ""
    print(f"  {name:<44} {ticks:>9,} ticks {seconds:8.3f} s {rate:>12,.0f} ticks/s{ratio}")
    return rate


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--days", type=int, default=30)
    parser.add_argument("--bt-days", type=int, default=5)
    parser.add_argument("--rss-days", type=int, nargs=2, default=[5, 60])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--fills-only", action="store_true",
                        help="time only the fill models and print the optimism gap (no peers, no memory runs)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        longest = max(args.days, *args.rss_days)
        write_sample_data(folder, days=longest)
        for path in cache_dir(folder).glob("*.csv"):  # dated back like stored data (a fresh file gets no copy)
            os.utime(path, ns=(path.stat().st_mtime_ns - 3600 * 10**9,) * 2)
        start, end = sample_period(args.days)
        mk.trading_days(start, end)  # the exchange calendar loads once per process
        ours(Idle(), folder, *sample_period(1))  # and the modules warm up
        with utils.quiet_console(True):
            table = merged_ticks(INSTRUMENTS, start, end, data_dir=folder)
        print(f"{args.days} trading days, {table.height:,} ticks of {', '.join(INSTRUMENTS)}")
        if args.fills_only:
            timed: dict[str, float] = {}
            for _ in range(args.rounds):
                for name, model in FILL_MODELS.items():
                    seconds, result = ours(EveryHundredth(), folder, start, end, model)
                    timed[f"fills {name}"] = min(timed.get(f"fills {name}", seconds), seconds)
            print(f"best of {args.rounds} rounds:")
            fill_model_lines(timed, result.ticks)
            optimism_gap(folder, start, end)
            return

        try:
            hft = hft_runner(table.head(2000))
            import numpy as np

            npz = {}  # hftbacktest's own format, converted once beforehand
            for code in ("2330", "TXFR1"):
                npz[code] = str(folder / f"hft-{code}.npz")
                np.savez(npz[code], data=hft_events(table, code))
        except ImportError as exc:
            hft = None
            print(f"  hftbacktest: not installed ({exc.name}); pip install '.[bench]'")
        # Rounds of every contender in turn, each figure the best of its rounds: this
        # machine's speed drifts, and interleaving gives every system the same chances.
        best: dict[str, float] = {}

        def keep(name: str, seconds: float) -> None:
            best[name] = min(best.get(name, seconds), seconds)

        for _ in range(args.rounds):
            shutil.rmtree(folder.joinpath(*TABLES_FOLDER), ignore_errors=True)
            keep("first", ours(EveryHundredth(), folder, start, end)[0])  # parses the CSV files, keeps copies
            seconds, result = ours(EveryHundredth(), folder, start, end)
            keep("flow", seconds)
            keep("idle", ours(Idle(), folder, start, end)[0])
            for name, model in FILL_MODELS.items():
                keep(f"fills {name}", seconds if name == "touch" else ours(EveryHundredth(), folder, start, end,
                                                                           model)[0])
            keep("native", native_loop(table))
            reading, read_table = read_cache(folder, start, end)
            assert read_table.height == table.height
            keep("read", reading)
            keep("walk", polars_walk(table))
            if hft is not None:
                seconds, building, ticks, orders = hft(table)
                keep("hft loop", seconds)
                keep("hft", reading + building + seconds)
                seconds, building, _, _ = hft(npz)
                keep("hft npz", building + seconds)
        n = table.height
        print(f"best of {args.rounds} rounds:")
        base = line(f"tovik_backtest run(), order flow ({len(result.reports)} reports)", result.ticks, best["flow"])
        line("  the same, first run (CSV parsed, copies kept)", result.ticks, best["first"], base)
        line("tovik_backtest run(), no-op on_tick", result.ticks, best["idle"], base)
        line("tovik_backtest native loop alone, no-op on_tick", n, best["native"], base)
        line("polars iter_rows(named=True) + no-op call", n, best["walk"], base)
        line("polars end to end: read cache, merge, walk", n, best["read"] + best["walk"], base)
        if hft is not None:
            line(f"hftbacktest numba loop alone ({orders} orders)", ticks, best["hft loop"], base)
            line("hftbacktest end to end: read, build, loop", ticks, best["hft"], base)
            line("hftbacktest from its own .npz files: load, loop", ticks, best["hft npz"], base)
        fill_model_lines(best, result.ticks)
        optimism_gap(folder, start, end)
        try:
            with utils.quiet_console(True):
                bt_table = merged_ticks(INSTRUMENTS, *sample_period(args.bt_days), data_dir=folder)
            seconds, ticks = backtrader_run(bt_table)
            line(f"backtrader ({args.bt_days} days)", ticks, seconds, base)
        except ImportError as exc:
            print(f"  backtrader: not installed ({exc.name}); pip install '.[bench]'")

        for strategy, what in (("idle", "no orders"), ("trading", "sample strategy, reports kept")):
            small, large = (peak_rss_kib(folder, *sample_period(d), strategy) for d in args.rss_days)
            print(f"  peak RSS ({what}), {args.rss_days[0]}-day run: {small / 1024:.1f} MiB; {args.rss_days[1]}-day "
                  f"run: {large / 1024:.1f} MiB ({large / small:.2f}x)")


if __name__ == "__main__":
    main()
