"""The native back-test loop: the period walked one trading day at a time.

Each day's merged ticks (``days.day_ticks``) go to the matcher's
``drive_ticks``, which hands every tick to the matcher and the strategy on this thread
without a queue. Python runs only when something happens: a report (the matcher routes
them into a list, ``route_reports``), a session close passed (the boundary in the
shared state array), and the strategy's own ``on_tick``. Per-tick bookkeeping (tick
counts, last prices, exposure) is kept by the loop in the state array and read here
once per day, so only one day's ticks are in memory at a time.
"""

from __future__ import annotations

from array import array
from collections.abc import Callable
from typing import Any

from tovik_backtest import constant
from tovik_backtest.constant import BASIC_INFO
from tovik_backtest.days import DayReader, DayTicks, calendar_chunks, day_ticks
from tovik_backtest.errors import BacktestError
from tovik_backtest.fills import FillModel, Queue, check_fills
from tovik_backtest.instruments import Instrument
from tovik_backtest.money import Recorder
from tovik_backtest.orders import OrderDesk

__all__ = [
    "EngineRun", "count_exchange_cancels", "deliver", "desk_unless_warming_up", "drive", "handed",
]

# Slots of the state array shared with drive_ticks (engine.cpp), then per code: tick
# count, latest row (quotes), first-seen rank, row of the recorder's last price.
NOW, BOUNDARY, EXPOSED, EXPOSED_TICKS, SEEN, PER_CODE = range(6)
_UNSET = -(1 << 63)


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
        self.day: DayTicks | None = None  # the ticks being driven
        self._kept: dict[str, dict[str, Any]] = {}  # quotes at the end of earlier days

    def ordering(self) -> OrderDesk:
        return desk_unless_warming_up(self.desk, self.backfilling)

    def latest_row(self, k: int) -> int:
        return int(self._state[PER_CODE + self._n + k])

    def quote(self, code: str) -> dict[str, Any]:
        if code not in self.desk.markets:
            raise BacktestError(f"{code!r} is not an instrument of this back-test")
        row = self.latest_row(self._index[code])
        if row >= 0 and self.day is not None:
            return self.day.quote(row)
        if code in self._kept:
            return dict(self._kept[code])
        raise BacktestError(f"no tick of {code} has been replayed yet, so it has no quote")

    def day_done(self) -> None:
        """Quotes of the finished day kept per code; its rows are no longer current."""
        assert self.day is not None
        for code, k in self._index.items():
            row = self.latest_row(k)
            if row >= 0:
                self._kept[code] = self.day.quote(row)
                self._state[PER_CODE + self._n + k] = -1
        self.day = None


def handed(report: dict[str, Any]) -> dict[str, Any]:
    """A copy of ``report`` for a strategy's hook: its dicts and lists (the nested order and
    status included) are new, so nothing the strategy does to it reaches the run's record.
    The other values (texts, numbers, enumeration members) cannot be changed in place."""
    copy = report.copy()
    for key, value in report.items():
        kind = type(value)
        if kind is dict:
            copy[key] = handed(value)
        elif kind is list:
            copy[key] = _handed_list(value)
    return copy


def _handed_list(values: list[Any]) -> list[Any]:
    return [handed(v) if type(v) is dict else _handed_list(v) if type(v) is list else v for v in values]


def deliver(batch: list[dict[str, Any]], strategy: Any, stats: dict[str, Any], recorder: Recorder,
            reports: list[dict[str, Any]]) -> None:
    """Hand reports to the run's record, its counts and books, then a copy of each to the
    strategy's hook: the record stays what the exchange reported, whatever the hook does."""
    for report in batch:
        reports.append(report)
        order = "operation_type" in report  # else a deal report
        if order:
            st = stats.get(report["order"]["code"])
            if st is not None and report["operation_type"] == constant.OperationType.NEW:
                st.orders += 1
        else:
            st = stats.get(report["code"])
            if st is not None:
                st.fills += 1
                st.filled_qty += int(report["quantity"])
        recorder.report(report)
        if order:
            strategy.on_order(handed(report))
        else:
            strategy.on_deal(handed(report))


def count_exchange_cancels(stats: dict[str, Any], positions: Any) -> None:
    # Only cancellations made by the exchange (IOC remainders, unfilled FOK orders) reach
    # the position book; a strategy's own cancellations do not.
    for record in positions.trade_records:
        st = stats.get(record["code"])
        if st is not None and record["trade_status"] == "Cancel":
            st.exchange_cancels += 1


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
    fills: FillModel | None = None,
    seed: int = 0,
) -> tuple[EngineRun, int]:
    """Run the warm-up and the period; returns the run and the warm-up tick count.
    The caller sets ``strategy._runner`` from the run it hands to ``attach``.
    ``fills`` is the fill model the matcher decides fills by (``Touch()`` when None),
    its jitter drawn from ``seed``."""
    model = check_fills(fills)
    matcher.set_fill_model(*model.native(seed))
    with_quotes = isinstance(model, Queue)
    codes = [i.code for i in instruments]
    markets = [i.market for i in instruments]
    n = len(codes)
    state = array("q", [0] * (PER_CODE + 4 * n))
    state[NOW] = state[BOUNDARY] = _UNSET
    for k in range(n):
        state[PER_CODE + n + k] = state[PER_CODE + 2 * n + k] = state[PER_CODE + 3 * n + k] = -1
    desk = _EngineDesk(matcher, instruments, stats, state)
    reader = DayReader(ticker, instruments, BASIC_INFO.data_dir)
    run = EngineRun(matcher, matcher.positions, desk, codes, state)
    strategy._runner = run
    sink: list[dict[str, Any]] = []
    matcher.route_reports(sink)
    closes: Any = None  # close column of the day being driven

    def on_reports() -> None:
        # Reports the strategy's own callbacks cause are handed over in the same pass.
        while sink:
            batch = sink.copy()
            sink.clear()
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
        for day in day_ticks(reader, chunks, readers):
            total += len(day)
            closes, run.day = day.close, day
            try:
                quotes = [day.bid_price, day.bid_volume, day.ask_price, day.ask_volume] if with_quotes else None
                matcher.drive_ticks(day.ts, day.code, day.close, day.volume, day.tick_type, codes, markets, state,
                                    backfilling, on_tick, None if backfilling else on_reports,
                                    None if backfilling else on_boundary, quotes)
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
            run.day_done()
            ticks += len(day)
            done += len(day)
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
