"""The native back-test loop: the period walked one trading day at a time.

Each day's merged tick table (``Ticker.merge_ticks``) goes to the matcher's
``drive_ticks``, which hands every tick to the matcher and the strategy on this thread
without a queue. Python runs only when something happens: a report (the matcher routes
them into a list, ``route_reports``), a session close passed (the boundary in the
shared state array), and the strategy's own ``on_tick``. Per-tick bookkeeping (tick
counts, last prices, exposure) is kept by the loop in the state array and read here
once per day, so only one day's table is in memory at a time.
"""

from __future__ import annotations

import datetime as dt
from array import array
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import polars as pl

from tovik_backtest import constant, utils
from tovik_backtest import market as mk
from tovik_backtest.errors import BacktestError
from tovik_backtest.instruments import Instrument
from tovik_backtest.money import Recorder
from tovik_backtest.orders import OrderDesk

__all__ = [
    "EngineRun", "calendar_chunks", "count_exchange_cancels", "count_report", "day_tables", "deliver",
    "desk_unless_warming_up", "drive",
]

# Slots of the state array shared with drive_ticks (engine.cpp), then per code: tick
# count, latest row (quotes), first-seen rank, row of the recorder's last price.
NOW, BOUNDARY, EXPOSED, EXPOSED_TICKS, SEEN, PER_CODE = range(6)
_UNSET = -(1 << 63)
_QUOTE_KEYS = ("bid_price", "bid_volume", "ask_price", "ask_volume", "ts")


class _EngineDesk(OrderDesk):
    """The order desk, with the tick time kept by the loop and the boundary told of
    every new day order's close."""

    def __init__(self, matcher: Any, instruments: list[Instrument], stats: dict[str, Any], state: array[int]) -> None:
        self._state = state
        super().__init__(matcher, instruments, stats)

    @property
    def now_ns(self) -> int | None:
        value = self._state[NOW]
        return None if value == _UNSET else value

    @now_ns.setter
    def now_ns(self, value: int | None) -> None:
        self._state[NOW] = _UNSET if value is None else value

    def add(self, *args: Any) -> str:
        trade_id = super().add(*args)
        close = self.next_close
        if close is not None and close < self._state[BOUNDARY]:
            self._state[BOUNDARY] = close
        return trade_id


def desk_unless_warming_up(desk: OrderDesk, backfilling: bool) -> OrderDesk:
    """The run's order desk; orders placed during the warm-up are refused."""
    if backfilling:
        raise BacktestError("orders cannot be placed during back-filling: warm-up ticks only build the "
                            "strategy's state")
    return desk


class EngineRun:
    """State of one engine run the strategy reaches through its ``_runner``."""

    def __init__(self, matcher: Any, positions: Any, desk: OrderDesk, codes: list[str], state: array[int]) -> None:
        self.matcher = matcher
        self.positions = positions
        self.desk = desk
        self.backfilling = False
        self._index = {c: k for k, c in enumerate(codes)}
        self._state = state
        self._n = len(codes)
        self.table: pl.DataFrame | None = None  # the table being driven
        self._kept: dict[str, dict[str, Any]] = {}  # quotes at the end of earlier tables

    def ordering(self) -> OrderDesk:
        return desk_unless_warming_up(self.desk, self.backfilling)

    def latest_row(self, k: int) -> int:
        return int(self._state[PER_CODE + self._n + k])

    def quote(self, code: str) -> dict[str, Any]:
        if code not in self.desk.markets:
            raise BacktestError(f"{code!r} is not an instrument of this back-test")
        row = self.latest_row(self._index[code])
        if row >= 0 and self.table is not None:
            values = self.table.row(row, named=True)
            return {k: values[k] for k in _QUOTE_KEYS}
        if code in self._kept:
            return dict(self._kept[code])
        raise BacktestError(f"no tick of {code} has been replayed yet, so it has no quote")

    def table_done(self) -> None:
        """Quotes of the finished table kept per code; its rows are no longer current."""
        assert self.table is not None
        for code, k in self._index.items():
            row = self.latest_row(k)
            if row >= 0:
                values = self.table.row(row, named=True)
                self._kept[code] = {key: values[key] for key in _QUOTE_KEYS}
                self._state[PER_CODE + self._n + k] = -1
        self.table = None


def calendar_chunks(start: str, end: str) -> list[tuple[str, str]]:
    """The calendar days ``merge_ticks`` would read for the period, grouped so each
    group ends on a trading day (days without trading go with the next one)."""
    first, last = utils.format_to_dt(start), utils.format_to_dt(end)
    days: list[dt.date] = []
    current = first
    while current <= last:
        days.append(current.date())
        current += dt.timedelta(days=1)
    if not days:
        return []
    try:
        trading = set(mk.trading_days(days[0], days[-1]))
    except ValueError:  # past the calendar: a day at a time
        trading = set(days)
    chunks, begin = [], days[0]
    for day in days:
        if day in trading:
            chunks.append((begin.isoformat(), day.isoformat()))
            begin = day + dt.timedelta(days=1)
    if begin <= days[-1]:
        chunks.append((begin.isoformat(), days[-1].isoformat()))
    return chunks


def day_tables(ticker: Any, codes: list[dict[str, str]], chunks: list[tuple[str, str]],
               readers: int = 1) -> Iterator[pl.DataFrame]:
    """The period's merged ticks, a day at a time, in the whole period's (ts, code) order.

    The next ``readers`` days are read on helper threads while the caller drives the
    current one (reading and parsing the cache releases the GIL). Rows of one day stamped at or
    after the first tick of the next day's table (a night session stored with the wrong
    day) wait and are merged into that next table."""
    pending: pl.DataFrame | None = None
    if type(readers) is not int or readers < 1:
        raise ValueError(f"readers must be a whole number >= 1, not {readers!r}")
    with ThreadPoolExecutor(max_workers=readers, thread_name_prefix="tovik-day-reader") as reader:
        ahead = [reader.submit(ticker.merge_ticks, codes, begin, end) for begin, end in chunks[:readers]]
        try:
            for k in range(len(chunks)):
                table: pl.DataFrame = ahead.pop(0).result()  # in order, whichever finished first
                if k + readers < len(chunks):
                    ahead.append(reader.submit(ticker.merge_ticks, codes, *chunks[k + readers]))
                if table.height == 0:
                    continue
                if pending is None:
                    pending = table
                    continue
                late = pending["ts"] >= table["ts"].min()
                if late.any():
                    table = pl.concat([pending.filter(late), table]).sort(["ts", "code"])
                    pending = pending.filter(~late)
                if pending.height:
                    yield pending
                pending = table
        finally:
            for future in ahead:
                future.cancel()
    if pending is not None and pending.height:
        yield pending


def deliver(batch: list[dict[str, Any]], strategy: Any, stats: dict[str, Any], recorder: Recorder,
            reports: list[dict[str, Any]]) -> None:
    """Hand reports to the run's record, its counts and books, then to the strategy's hook."""
    for report in batch:
        reports.append(report)
        count_report(stats, report)
        recorder.report(report)
        if "operation_type" in report:
            strategy.on_order(report)
        else:
            strategy.on_deal(report)


def count_report(stats: dict[str, Any], report: dict[str, Any]) -> None:
    if "operation_type" in report:
        st = stats.get(report["order"]["code"])
        if st is not None and report["operation_type"] == constant.OperationType.NEW:
            st.orders += 1
        return
    st = stats.get(report["code"])
    if st is not None:
        st.fills += 1
        st.filled_qty += int(report["quantity"])


def count_exchange_cancels(stats: dict[str, Any], positions: Any) -> None:
    # Only cancellations made by the exchange (IOC remainders, unfilled FOK orders) reach
    # the position book; a strategy's own cancellations do not.
    for record in positions.trade_records:
        st = stats.get(record["code"])
        if st is not None and record["trade_status"] == "Cancel":
            st.exchange_cancels += 1


def _columns(table: pl.DataFrame, index: dict[str, int]) -> tuple[Any, ...]:
    for name in ("ts", "code", "close", "volume", "tick_type"):
        if table[name].null_count():
            raise BacktestError(f"the tick table has empty {name} values: the cache files of the period are "
                                "damaged; delete them to fetch the days again")
    code = table["code"].replace_strict(index, return_dtype=pl.Int64)
    return (table["ts"].cast(pl.Int64).to_numpy(), code.to_numpy(), table["close"].cast(pl.Float64).to_numpy(),
            table["volume"].cast(pl.Int64).to_numpy(), table["tick_type"].cast(pl.Int64).to_numpy())


def drive(
    *,
    matcher: Any,
    ticker: Any,
    strategy: Any,
    instruments: list[Instrument],
    stats: dict[str, Any],
    recorder: Recorder,
    reports: list[dict[str, Any]],
    period: tuple[str, str],
    warm_up: tuple[str, str] | None,
    on_tick: Callable[[dict[str, Any]], None] | None,
    progress: Callable[[int, int], None] | None,
    readers: int = 1,
) -> tuple[EngineRun, int]:
    """Run the warm-up and the period; returns the run and the warm-up tick count.
    The caller sets ``strategy._runner`` from the run it hands to ``attach``."""
    codes = [i.code for i in instruments]
    markets = [i.market for i in instruments]
    index = {c: k for k, c in enumerate(codes)}
    n = len(codes)
    state = array("q", [0] * (PER_CODE + 4 * n))
    state[NOW] = state[BOUNDARY] = _UNSET
    for k in range(n):
        state[PER_CODE + n + k] = state[PER_CODE + 2 * n + k] = state[PER_CODE + 3 * n + k] = -1
    desk = _EngineDesk(matcher, instruments, stats, state)
    run = EngineRun(matcher, matcher.positions, desk, codes, state)
    strategy._runner = run
    sink: list[dict[str, Any]] = []
    matcher.route_reports(sink)
    closes: Any = None  # close column of the table being driven

    def on_reports() -> None:
        # Reports the strategy's own callbacks cause are handed over in the same pass.
        while sink:
            batch = sink[:]
            del sink[:]
            deliver(batch, strategy, stats, recorder, reports)
        state[EXPOSED] = 1 if any(recorder.net.values()) else 0

    def sync_last() -> None:
        # the recorder's last prices, inserted in the order the codes were first seen
        rows = [(state[PER_CODE + 2 * n + k], k) for k in range(n) if state[PER_CODE + 3 * n + k] >= 0]
        for _, k in sorted(rows):
            recorder.last[codes[k]] = float(closes[state[PER_CODE + 3 * n + k]])

    def on_boundary(ts_ns: int) -> None:
        sync_last()
        desk.at_tick(ts_ns)
        for name, clock in recorder.clocks.items():
            for close in clock.passed(ts_ns):
                recorder.marks.append((close, name, dict(recorder.last)))
        ahead = [c for c in [desk.next_close, *(k.next_close for k in recorder.clocks.values())] if c is not None]
        state[BOUNDARY] = min(ahead) if ahead else (1 << 63) - 1

    done = total = 0

    def walk(chunks: list[tuple[str, str]], backfilling: bool) -> int:
        nonlocal closes, done, total
        ticks = 0
        run.backfilling = backfilling
        for table in day_tables(ticker, [i.as_dict() for i in instruments], chunks, readers):
            total += table.height
            ts, code, close, qty, tick_type = _columns(table, index)
            closes, run.table = close, table
            try:
                matcher.drive_ticks(ts, code, close, qty, tick_type, codes, markets, state, backfilling,
                                    on_tick, None if backfilling else on_reports,
                                    None if backfilling else on_boundary)
            finally:
                run.backfilling = False
                if not backfilling:  # settled even when the strategy raised: a partial result counts
                    sync_last()
                    for k, c in enumerate(codes):
                        stats[c].ticks += state[PER_CODE + k]
                        recorder.ticks += state[PER_CODE + k]
                        state[PER_CODE + k] = 0
                        state[PER_CODE + 3 * n + k] = -1
                    recorder.exposed_ticks = state[EXPOSED_TICKS]
            run.backfilling = backfilling
            run.table_done()
            ticks += table.height
            done += table.height
            if progress is not None:
                progress(done, total)
        run.backfilling = False
        return ticks

    strategy.on_start()
    backfilling_ticks = 0
    if warm_up is not None:
        backfilling_ticks = walk(calendar_chunks(*warm_up), True)
        strategy.on_backfilling_finished()
        on_reports()
    walk(calendar_chunks(*period), False)
    # The data ends; so does the session of every day order still resting.
    desk.expire_all()
    on_reports()
    strategy.on_end()
    on_reports()
    desk.expire_all()
    on_reports()
    recorder.exposed_ticks = state[EXPOSED_TICKS]
    return run, backfilling_ticks
