"""The native back-test loop: the period walked one trading day at a time.

Each day's merged ticks (``days.day_ticks``) go to the matcher's
``drive_ticks``, which hands every tick to the matcher and the strategy on this thread
without a queue. Python runs only when something happens: a report (the matcher routes
them into a list, ``route_reports``), a session close passed (the boundary in the
shared state array), and the strategy's own ``on_tick``. Per-tick bookkeeping (tick
counts, exposure, net equity and its drawdown, the open trips' extremes, the equity
table's rows) is kept by the loop in the recorder's state array (``state.EngineState``)
and its rows handed to the recorder once per day, so only one day's ticks are in memory
at a time.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from tovik_backtest import constant
from tovik_backtest.constant import BASIC_INFO
from tovik_backtest.days import DayReader, DayTicks, calendar_chunks, day_ticks
from tovik_backtest.errors import BacktestError, OrderRefused
from tovik_backtest.fills import FillModel, Queue, check_fills
from tovik_backtest.instruments import Instrument
from tovik_backtest.modules.matcher.matcher import TAIPEI_OFFSET_NS
from tovik_backtest.money import Recorder
from tovik_backtest.orders import OrderDesk
from tovik_backtest.state import ROW_FIELDS, UNSET, EngineState

__all__ = [
    "EngineRun", "count_exchange_cancels", "deliver", "desk_unless_warming_up", "drive", "end_of_data", "handed",
    "start_before_warm_up",
    "table_rows",
]

_NEVER = (1 << 63) - 1


class _EngineDesk(OrderDesk):
    """The order desk, with the tick time kept by the loop and the boundary told of
    every new day order's close."""

    def __init__(self, matcher: Any, instruments: list[Instrument], stats: dict[str, Any],
                 state: EngineState, deferred: bool = False) -> None:
        self._state = state
        self._deferred = deferred  # requests reach the exchange after the fill model's latency
        super().__init__(matcher, instruments, stats)

    @property
    def now_ns(self) -> int | None:
        value = self._state["now_ns"]
        return None if value == UNSET else value

    @now_ns.setter
    def now_ns(self, value: int | None) -> None:
        self._state["now_ns"] = UNSET if value is None else value

    def cancel(self, trade_id: Any) -> None:
        if not self._deferred:
            super().cancel(trade_id)
            return
        self._resting(trade_id, "cancel")
        # On its way: until it arrives the order may still fill or expire (then the
        # exchange refuses it as late), so the day order stays known here.
        self.matcher.defer_request(trade_id, True)

    def _send_modify(self, record: dict[str, Any], trade_id: str, cut: int | None, value: float | None) -> None:
        if not self._deferred:
            super()._send_modify(record, trade_id, cut, value)
            return
        if not cut and not value:
            raise OrderRefused(f"modify {trade_id}: give a quantity to cut or a new price")
        if cut is not None and not 0 <= cut <= record["quantity"]:
            raise OrderRefused(f"modify {trade_id}: the cut {cut} must be from 0 to the open quantity "
                               f"{record['quantity']}")
        self.matcher.defer_request(trade_id, False, cut or None, value or None)

    def add(self, *args: Any) -> str:
        trade_id = super().add(*args)
        close = self.next_close
        if close is not None and close < self._state["boundary_ns"]:
            self._state["boundary_ns"] = close
        return trade_id


def desk_unless_warming_up(desk: OrderDesk, backfilling: bool) -> OrderDesk:
    """The run's order desk; orders placed during the warm-up are refused."""
    if backfilling:
        raise BacktestError("orders cannot be placed during back-filling: warm-up ticks only build the "
                            "strategy's state")
    return desk


class EngineRun:
    """State of one engine run, what the strategy it is bound to reaches for requests and quotes."""

    def __init__(self, matcher: Any, positions: Any, desk: OrderDesk, codes: list[str], state: EngineState) -> None:
        self.matcher = matcher
        self.positions = positions
        self.desk = desk
        self.backfilling = False
        self._index = {c: k for k, c in enumerate(codes)}
        self._state = state
        self.day: DayTicks | None = None  # the ticks being driven
        self._kept: dict[str, dict[str, Any]] = {}  # quotes at the end of earlier days

    def ordering(self) -> OrderDesk:
        return desk_unless_warming_up(self.desk, self.backfilling)

    def latest_row(self, k: int) -> int:
        return self._state.of("latest_row", k)

    def quote(self, code: str) -> dict[str, Any]:
        if code not in self.desk.markets:
            raise BacktestError(f"{code!r} is not an instrument of this back-test")
        row = self.latest_row(self._index[code])
        if row >= 0 and self.day is not None:
            return self.day.quote(row)
        if code in self._kept:
            return dict(self._kept[code])
        raise BacktestError(f"no tick of {code} has been replayed yet, so it has no quote")

    def first_tick(self, codes: list[str], markets: list[str]) -> dict[str, Any]:
        """The record of the day's first tick, as the native loop makes it."""
        assert self.day is not None
        k = int(self.day.code[0])
        return {"market_type": markets[k], "timestamp": float(self.day.ts[0]) / 1e9 - TAIPEI_OFFSET_NS // 10**9,
                "code": codes[k], "close": float(self.day.close[0]), "qty": int(self.day.volume[0]),
                "tick_type": int(self.day.tick_type[0]), "is_simulate": False, "is_backfilling": False}

    def day_done(self) -> None:
        """Quotes of the finished day kept per code; its rows are no longer current."""
        assert self.day is not None
        for code, k in self._index.items():
            row = self.latest_row(k)
            if row >= 0:
                self._kept[code] = self.day.quote(row)
                self._state.put("latest_row", k, -1)
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


def end_of_data(desk: OrderDesk, strategy: Any, hand_over: Callable[[], None]) -> None:
    """The data ends, and with it the session of every day order still resting: they
    expire before ``on_end``, whose own day orders expire after it."""
    desk.expire_all()
    hand_over()
    strategy.on_end()
    hand_over()
    desk.expire_all()
    hand_over()


def start_before_warm_up(run: Any, strategy: Any) -> None:
    """``on_start`` of a run with a warm-up: before its first tick, so orders placed there
    are refused as during the warm-up. (Without a warm-up, ``on_start`` runs at the first
    tick of the period, after its time is set: its orders arrive at that tick.)"""
    run.backfilling = True
    try:
        strategy.on_start()
    finally:
        run.backfilling = False


def table_rows(ts: Any, interval_ns: int) -> int:
    """Room enough for the rows of the equity table a day of ticks stamped ``ts`` (in
    time order) can close: one per interval its time span touches, past the one open
    before it, and never more than one per tick."""
    if not len(ts):
        return 0
    # a tick's market time is its stamp to the microsecond: the span grows by under 1 us
    return 1 + min(len(ts), (int(ts[-1]) - int(ts[0])) // interval_ns + 2)


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
    own_start: bool = True,
) -> tuple[EngineRun, int]:
    """Run the warm-up and the period; returns the run and the warm-up tick count.
    the strategy is bound to the run for its requests and quotes. ``fills`` is the
    fill model the matcher decides fills by (``Touch()`` when None), its jitter drawn
    from ``seed``. ``own_start``: False when the strategy's on_start is the base class's
    (nothing it does can arrive at the first tick)."""
    model = check_fills(fills)
    matcher.set_fill_model(*model.native(seed))
    with_quotes = isinstance(model, Queue)
    codes = [i.code for i in instruments]
    markets = [i.market for i in instruments]
    state = recorder.state
    desk = _EngineDesk(matcher, instruments, stats, state, deferred=model.latency_ms > 0 or model.jitter_ms > 0)
    reader = DayReader(ticker, instruments, BASIC_INFO.data_dir, {c: s.repeated_rows for c, s in stats.items()})
    run = EngineRun(matcher, matcher.positions, desk, codes, state)
    strategy._bind_run(run)
    sink: list[dict[str, Any]] = []
    matcher.route_reports(sink)

    def on_reports() -> None:
        # Reports the strategy's own callbacks cause are handed over in the same pass.
        while sink:
            batch = sink.copy()
            sink.clear()
            deliver(batch, strategy, stats, recorder, reports)

    started = False

    def on_boundary(ts_ns: int) -> None:
        nonlocal started
        recorder.closes(ts_ns)
        desk.at_tick(ts_ns)
        if not started:  # the first tick of the period: on_start's orders arrive here
            started = True
            if own_start:  # the matcher told the tick first, so the orders carry its time
                matcher.set_current_tick(run.first_tick(codes, markets))
            strategy.on_start()
            on_reports()
        ahead = [c for c in (desk.next_close, recorder.next_close) if c is not None]
        state["boundary_ns"] = min(ahead) if ahead else _NEVER

    done = total = 0

    def walk(chunks: list[tuple[str, str]], backfilling: bool) -> int:
        nonlocal done, total
        ticks = 0
        run.backfilling = backfilling
        for day in day_ticks(reader, chunks, readers):
            total += len(day)
            run.day = day
            table = None if backfilling else EngineState.table(table_rows(day.ts, state["interval_ns"]))
            try:
                quotes = [day.bid_price, day.bid_volume, day.ask_price, day.ask_volume] if with_quotes else None
                matcher.drive_ticks(day.ts, day.code, day.close, day.volume, day.tick_type, codes, markets,
                                    state.array, backfilling, on_tick, None if backfilling else on_reports,
                                    None if backfilling else on_boundary, quotes, table)
            finally:
                run.backfilling = False
                if table is not None:  # settled even when the strategy raised: a partial result counts
                    recorder.add_table(table[:state["rows_written"] * len(ROW_FIELDS)].copy())  # not the room
                    for k, c in enumerate(codes):
                        stats[c].ticks = state.of("ticks", k)
            run.backfilling = backfilling
            run.day_done()
            ticks += len(day)
            done += len(day)
            if progress is not None:
                progress(done, total)
        run.backfilling = False
        return ticks

    backfilling_ticks = 0
    if warm_up is not None:
        start_before_warm_up(run, strategy)
        started = True
        backfilling_ticks = walk(calendar_chunks(*warm_up), True)
        strategy.on_backfilling_finished()
        on_reports()
    walk(calendar_chunks(*period), False)
    if not started:  # the period had no tick
        strategy.on_start()
        on_reports()
    end_of_data(desk, strategy, on_reports)
    for code, late in matcher.late_requests().items():
        if code in stats:
            stats[code].late_requests += late
    return run, backfilling_ticks
