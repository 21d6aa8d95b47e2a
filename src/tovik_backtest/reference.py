"""The reference loop: a back-test driven through the Ticker's queue-driven replay, one
tick per grant, with the bookkeeping in Python.

The engine (``engine.py``) is what ``Backtest.run`` uses; this loop is the protocol any
other host of the two modules follows, kept so that the engine can be checked against it
report for report.
"""

from __future__ import annotations

import queue
from typing import Any

import polars as pl

from tovik_backtest.checks import warm_up
from tovik_backtest.constant import FLAG
from tovik_backtest.engine import deliver, desk_unless_warming_up, end_of_data, start_before_warm_up
from tovik_backtest.errors import BacktestError
from tovik_backtest.modules.positions.positions import Positions
from tovik_backtest.money import Recorder
from tovik_backtest.orders import OrderDesk, tick_ts_ns
from tovik_backtest.results import InstrumentStats

__all__ = ["run_queued"]


class _Run:
    """State of one run while it is going on."""

    def __init__(self, matcher: Any, positions: Positions, desk: OrderDesk, tables: _Tables) -> None:
        self.matcher = matcher
        self.positions = positions
        self.desk = desk
        self.tables = tables
        self.backfilling = False
        # code -> (warm-up?, row of its latest tick in that phase's merged table)
        self.latest: dict[str, tuple[bool, int]] = {}

    def ordering(self) -> OrderDesk:
        return desk_unless_warming_up(self.desk, self.backfilling)

    def quote(self, code: str) -> dict[str, Any]:
        if code not in self.desk.markets:
            raise BacktestError(f"{code!r} is not an instrument of this back-test")
        if code not in self.latest:
            raise BacktestError(f"no tick of {code} has been replayed yet, so it has no quote")
        backfilling, row = self.latest[code]
        table = self.tables.backfill if backfilling else self.tables.replay
        if table is None or row >= table.height:
            raise BacktestError(f"the quote of {code} is not available: the replay's table was not seen")
        values = table.row(row, named=True)
        if values["code"] != code:
            raise BacktestError(f"the quote of {code} is not available: the replay's table is out of step")
        return {k: values[k] for k in ("bid_price", "bid_volume", "ask_price", "ask_volume", "ts")}


def _merge(ticker: Any, codes: list[dict[str, str]], start_from: str, end_to: str) -> pl.DataFrame:
    """The merged tick table of ``codes`` over the period, as the replay builds it."""
    table: pl.DataFrame = ticker.merge_ticks(codes, start_from, end_to)
    return table


class _Tables:
    """The reference loop's merged tables, built through ``merge_ticks`` when a quote or
    the progress display first needs them (the replay built its own copies)."""

    def __init__(self, ticker: Any, codes: list[dict[str, str]], period: tuple[str, str],
                 warm_up: tuple[str, str] | None) -> None:
        self.ticker, self.codes, self.period, self.warm_up = ticker, codes, period, warm_up
        self._replay: pl.DataFrame | None = None
        self._backfill: pl.DataFrame | None = None

    @property
    def replay(self) -> pl.DataFrame:
        if self._replay is None:
            self._replay = _merge(self.ticker, self.codes, *self.period)
        return self._replay

    @property
    def backfill(self) -> pl.DataFrame | None:
        if self.warm_up is None:
            return None
        if self._backfill is None:
            self._backfill = _merge(self.ticker, self.codes, *self.warm_up)
        return self._backfill

    def rows(self) -> int:
        backfill = self.backfill
        return self.replay.height + (backfill.height if backfill is not None else 0)


def run_queued(bt: Any, matcher: Any, positions: Positions, ticker: Any, stats: dict[str, InstrumentStats],
               recorder: Recorder, reports: list[dict[str, Any]]) -> int:
    """Run ``bt`` (a Backtest) on ``matcher`` and ``ticker``; returns the warm-up's tick count.
    Reports, stats and the recorder are filled in as the run goes."""
    strategy = bt.strategy
    tables = _Tables(ticker, [i.as_dict() for i in bt.instruments], (bt.start, bt.end),
                     warm_up(bt.backfill_start, bt.backfill_end))

    desk = OrderDesk(matcher, bt.instruments, stats)
    run = _Run(matcher, positions, desk, tables)
    strategy._bind_run(run)
    backfilling_ticks = 0
    exit_value = FLAG.exit_send_tick.value
    finish_value = FLAG.finish_backfilling.value

    def hand_over() -> None:
        # Reports the strategy's own callbacks cause are handed over in the same pass.
        while True:
            matcher.pending_order_queue.join()
            batch = _drain(matcher.response_queue)
            if not batch:
                return
            deliver(batch, strategy, stats, recorder, reports)

    try:
        ticker.send_ticks(
            [i.as_dict() for i in bt.instruments],
            bt.start,
            bt.end,
            bt.backfill_start,
            bt.backfill_end,
        )
        started = tables.warm_up is not None
        if started:
            start_before_warm_up(run, strategy)
        done = 0
        while True:
            record = ticker.pop_tick()
            status = record.get("tovik_status")
            if status is not None:
                if status == exit_value:
                    break
                if status == finish_value:
                    run.backfilling = False
                    strategy.on_backfilling_finished()
                    hand_over()
                continue
            done += 1
            if record["is_backfilling"]:
                run.latest[record["code"]] = (True, backfilling_ticks)
                backfilling_ticks += 1
                run.backfilling = True
                strategy.on_tick(record)
                run.backfilling = False
            else:
                run.latest[record["code"]] = (False, done - backfilling_ticks - 1)
                ts_ns = tick_ts_ns(record)
                recorder.closes(ts_ns)  # marked at the equity of the tick before them
                if desk.at_tick(ts_ns):
                    hand_over()  # day orders expired at the close before this tick
                matcher.set_current_tick(record)
                if not started:  # the first tick of the period: on_start's orders arrive here
                    started = True
                    strategy.on_start()
                    hand_over()
                recorder.price(record["code"], record["close"])
                matcher.match_deal(record["code"], record["close"], record["qty"], record["timestamp"])
                st = stats.get(record["code"])
                if st is not None:
                    st.ticks += 1
                hand_over()
                recorder.mark(record["code"], ts_ns)
                strategy.on_tick(record)
                hand_over()
            if bt.progress is not None:
                bt.progress(done, tables.rows())
            ticker.allow_next_tick()
        if not started:  # the period had no tick
            strategy.on_start()
            hand_over()
        end_of_data(desk, strategy, hand_over)
    finally:
        strategy._bind_run(None)
        ticker.stop_send_ticks()
        close = getattr(matcher, "close", None)
        if close is not None:
            close()
    return backfilling_ticks


def _drain(q: Any) -> list[dict[str, Any]]:
    out = []
    while True:
        try:
            out.append(q.get_nowait())
        except queue.Empty:
            return out
