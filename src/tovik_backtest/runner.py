"""The back-test runner: one Ticker and one Matcher driven tick by tick for a strategy.

For each tick record of the replay the runner calls ``set_current_tick`` and
``match_deal``, hands the reports to the strategy, calls ``on_tick``, waits until the
matcher has carried out every request the strategy submitted
(``pending_order_queue.join()``), hands over the new reports, and only then grants the
next tick. Nothing runs ahead of the strategy, so a run is deterministic.
"""

from __future__ import annotations

import contextlib
import io
import json
import queue
import random
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import polars as pl

from tovik_backtest import constant, utils
from tovik_backtest.constant import BASIC_INFO, FLAG, Action, OCType, OrderCond, OrderLot
from tovik_backtest.modules.positions.positions import Positions

__all__ = [
    "Backtest",
    "BacktestError",
    "BacktestResult",
    "Instrument",
    "Strategy",
    "parse_instrument",
]

MARKETS = ("Stock", "Future")
_ID_ALPHABET = "_-0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"


class BacktestError(Exception):
    """A back-test was set up or driven wrongly (bad instrument, order during warm-up, ...)."""


@dataclass(frozen=True)
class Instrument:
    code: str
    market: str

    def __post_init__(self) -> None:
        if type(self.code) is not str or not self.code.strip():
            raise BacktestError(f"instrument code must be a non-empty text, not {self.code!r}")
        if self.market not in MARKETS:
            raise BacktestError(
                f"market of {self.code} must be one of {', '.join(MARKETS)}, not {self.market!r}"
            )

    def as_dict(self) -> dict[str, str]:
        return {"code": self.code, "market": self.market}


def parse_instrument(value: Any) -> Instrument:
    """Accept an Instrument, a {"code", "market"} dict, a (code, market) pair or "CODE:MARKET"."""
    if isinstance(value, Instrument):
        return value
    if isinstance(value, dict):
        try:
            return Instrument(value["code"], value["market"])
        except KeyError as exc:
            raise BacktestError(f"instrument {value!r} lacks the key {exc}") from None
    if isinstance(value, str):
        code, sep, market = value.partition(":")
        if not sep:
            raise BacktestError(f"instrument {value!r} must be written CODE:MARKET, e.g. 2330:Stock")
        return Instrument(code.strip(), market.strip())
    if isinstance(value, (tuple, list)) and len(value) == 2:
        return Instrument(value[0], value[1])
    raise BacktestError(f"cannot read an instrument from {value!r}")


class Strategy:
    """Base class of a strategy. Override any of the ``on_*`` hooks.

    Keyword arguments given to the constructor are kept in ``self.params`` and also
    set as attributes, so parameter sweeps can pass them straight through.
    """

    def __init__(self, **params: Any) -> None:
        self.params = dict(params)
        for name, value in params.items():
            setattr(self, name, value)
        self._runner: _Run | None = None

    # ---- hooks -------------------------------------------------------------------
    def on_start(self) -> None: ...

    def on_tick(self, tick: dict[str, Any]) -> None: ...

    def on_order(self, report: dict[str, Any]) -> None: ...

    def on_deal(self, report: dict[str, Any]) -> None: ...

    def on_backfilling_finished(self) -> None: ...

    def on_end(self) -> None: ...

    # ---- orders --------------------------------------------------------------------
    def buy(
        self,
        code: str,
        price: float,
        qty: int,
        price_type: str = "LMT",
        order_type: str = "ROD",
        order_cond: str = OrderCond.CASH.value,
        order_lot: str = OrderLot.COMMON.value,
        oc_type: str = OCType.AUTO.value,
        product_type: str | None = None,
    ) -> None:
        """Submit a buy order; its order report reaches ``on_order``."""
        self._submit_add(Action.BUY.value, code, price, qty, price_type, order_type,
                         order_cond, order_lot, oc_type, product_type)

    def sell(
        self,
        code: str,
        price: float,
        qty: int,
        price_type: str = "LMT",
        order_type: str = "ROD",
        order_cond: str = OrderCond.CASH.value,
        order_lot: str = OrderLot.COMMON.value,
        oc_type: str = OCType.AUTO.value,
        product_type: str | None = None,
    ) -> None:
        """Submit a sell order; its order report reaches ``on_order``."""
        self._submit_add(Action.SELL.value, code, price, qty, price_type, order_type,
                         order_cond, order_lot, oc_type, product_type)

    def modify(self, trade_id: str, qty: int | None = None, price: float | None = None) -> None:
        """Cut an order's open quantity by ``qty`` and/or give it a new ``price``."""
        self._run().submit("modify", {"trade_id": trade_id, "qty": qty, "price": price})

    def cancel(self, trade_id: str) -> None:
        """Cancel a resting order."""
        self._run().submit("cancel", {"trade_id": trade_id})

    # ---- state -----------------------------------------------------------------------
    @property
    def positions(self) -> Positions:
        """The run's position book."""
        return self._run().positions

    @property
    def pending_orders(self) -> list[dict[str, Any]]:
        """The resting orders (the matcher's own list: read, don't change)."""
        return self._run().matcher.pending_orders

    def position(self, code: str) -> int:
        """Net position of ``code`` (buys positive)."""
        return self._run().positions.net_quantity(code)

    def _run(self) -> _Run:
        if self._runner is None:
            raise BacktestError("the strategy is not running in a back-test")
        return self._runner

    def _submit_add(self, action: str, code: str, price: float, qty: int, price_type: str,
                    order_type: str, order_cond: str, order_lot: str, oc_type: str,
                    product_type: str | None) -> None:
        run = self._run()
        if product_type is None:
            product_type = run.market_of(code)
        payload = {
            "code": code,
            "product_type": product_type,
            "action": action,
            "price": price,
            "qty": qty,
            "price_type": price_type,
            "order_type": order_type,
            "order_cond": order_cond,
            "order_lot": order_lot,
            "oc_type": oc_type,
        }
        run.submit("add", payload)


@dataclass
class InstrumentStats:
    code: str
    market: str
    ticks: int = 0
    orders: int = 0
    fills: int = 0
    filled_qty: int = 0
    exchange_cancels: int = 0


@dataclass
class BacktestResult:
    """What a run produced: every report in arrival order, the position book and figures."""

    instruments: list[Instrument]
    reports: list[dict[str, Any]]
    positions: Positions
    stats: dict[str, InstrumentStats]
    backfilling_ticks: int
    wall_seconds: float
    params: dict[str, Any] = field(default_factory=dict)

    @property
    def ticks(self) -> int:
        return sum(s.ticks for s in self.stats.values())

    @property
    def ticks_per_second(self) -> float:
        return self.ticks / self.wall_seconds if self.wall_seconds > 0 else 0.0

    @property
    def deals(self) -> list[dict[str, Any]]:
        return [r for r in self.reports if "operation_type" not in r]

    def summary(self) -> dict[str, Any]:
        """Per instrument and overall figures (JSON-serialisable)."""
        book = self.positions.summary()
        per: dict[str, dict[str, Any]] = {}
        for code, s in self.stats.items():
            pos = book.get(code, {})
            per[code] = {
                "market": s.market,
                "ticks": s.ticks,
                "orders": s.orders,
                "fills": s.fills,
                "filled_qty": s.filled_qty,
                "exchange_cancels": s.exchange_cancels,
                "net_position": pos.get("quantity", 0),
                "realized_pnl": pos.get("realized_pnl", 0.0),
                "unrealized_pnl": pos.get("unrealized_pnl", 0.0),
            }
        keys = ("ticks", "orders", "fills", "filled_qty", "exchange_cancels")
        overall: dict[str, Any] = {k: sum(v[k] for v in per.values()) for k in keys}
        overall["realized_pnl"] = sum(v["realized_pnl"] for v in per.values())
        overall["unrealized_pnl"] = sum(v["unrealized_pnl"] for v in per.values())
        overall["pnl"] = overall["realized_pnl"] + overall["unrealized_pnl"]
        overall["backfilling_ticks"] = self.backfilling_ticks
        overall["wall_seconds"] = self.wall_seconds
        overall["ticks_per_second"] = self.ticks_per_second
        return {"params": self.params, "instruments": per, "overall": overall}

    def trades(self) -> pl.DataFrame:
        """The fills, one row per deal report, in the order they happened."""
        schema = {
            "trade_id": pl.String,
            "code": pl.String,
            "action": pl.String,
            "quantity": pl.Int64,
            "price": pl.Float64,
            "exchange_ts": pl.Float64,
        }
        rows = [
            {
                "trade_id": d["id"],
                "code": d["code"],
                "action": str(d["action"]),
                "quantity": d["quantity"],
                "price": d["price"],
                "exchange_ts": d["exchange_ts"],
            }
            for d in self.deals
        ]
        return pl.DataFrame(rows, schema=schema, orient="row")

    def reports_jsonl(self) -> str:
        """Every report as one JSON line, enumeration members written as their text."""
        return "".join(json.dumps(r, ensure_ascii=False, default=str) + "\n" for r in self.reports)

    def save(self, folder: str | Path) -> Path:
        """Write reports.jsonl, trades.csv and summary.json into ``folder``."""
        out = Path(folder)
        out.mkdir(parents=True, exist_ok=True)
        (out / "reports.jsonl").write_text(self.reports_jsonl(), encoding="utf-8")
        self.trades().write_csv(out / "trades.csv")
        (out / "summary.json").write_text(
            json.dumps(self.summary(), ensure_ascii=False, indent=2, default=str), encoding="utf-8"
        )
        return out

    def plot(self, path: str | Path, ticks: pl.DataFrame | None = None) -> Path:
        """Draw fills (and prices, when ``ticks`` is given) and the P&L curve to a PNG."""
        from tovik_backtest.plot import plot_result

        return plot_result(self, Path(path), ticks)


class _Run:
    """State of one run while it is going on."""

    def __init__(self, matcher: Any, positions: Positions, instruments: list[Instrument]) -> None:
        self.matcher = matcher
        self.positions = positions
        self.markets = {i.code: i.market for i in instruments}
        self.backfilling = False

    def market_of(self, code: str) -> str:
        try:
            return self.markets[code]
        except KeyError:
            raise BacktestError(f"{code} is not an instrument of this back-test") from None

    def submit(self, action: str, payload: dict[str, Any]) -> None:
        if self.backfilling:
            raise BacktestError(
                "orders cannot be placed during back-filling: warm-up ticks only build the "
                "strategy's state"
            )
        self.matcher.add_pending_order_queue(action, payload)


def _seeded_ids(seed: int) -> Callable[[], str]:
    rng = random.Random(seed)

    def next_id() -> str:
        return "".join(rng.choice(_ID_ALPHABET) for _ in range(16))

    return next_id


@contextlib.contextmanager
def _quiet_console(enabled: bool) -> Iterator[None]:
    """Route the modules' console lines away while a run goes on (they are per order)."""
    if not enabled:
        yield
        return
    from rich.console import Console

    saved = utils.console
    utils.console = Console(file=io.StringIO(), quiet=True)
    try:
        yield
    finally:
        utils.console = saved


@contextlib.contextmanager
def _data_dir(path: str | Path | None) -> Iterator[None]:
    if path is None:
        yield
        return
    saved = BASIC_INFO._data_dir
    BASIC_INFO.data_dir = str(path)
    try:
        yield
    finally:
        BASIC_INFO._data_dir = saved


class Backtest:
    """One back-test: a strategy, instruments and a period.

    ``instruments``: items like "2330:Stock", ("TXFR1", "Future") or
    {"code": ..., "market": ...}. ``start``/``end`` (and the optional warm-up bounds)
    are texts such as "2024-01-02". Without ``api`` only cached days are used.
    """

    def __init__(
        self,
        strategy: Strategy,
        instruments: Sequence[Any],
        start: str,
        end: str,
        backfill_start: str | None = None,
        backfill_end: str | None = None,
        api: Any = None,
        data_dir: str | Path | None = None,
        *,
        seed: int = 0,
        quiet: bool = True,
        progress: Callable[[int, int], None] | None = None,
    ) -> None:
        if not isinstance(strategy, Strategy):
            raise BacktestError(f"strategy must be a Strategy instance, not {type(strategy).__name__}")
        for name, value in (("start", start), ("end", end)):
            if type(value) is not str:
                raise BacktestError(f"{name} must be a date text such as 2024-01-02, not {value!r}")
            utils.format_to_dt(value)
        for name, value in (("backfill_start", backfill_start), ("backfill_end", backfill_end)):
            if value is not None:
                if type(value) is not str:
                    raise BacktestError(f"{name} must be a date text or None, not {value!r}")
                if value:
                    utils.format_to_dt(value)
        self.instruments = [parse_instrument(i) for i in instruments]
        if not self.instruments:
            raise BacktestError("a back-test needs at least one instrument")
        self.strategy = strategy
        self.start, self.end = start, end
        self.backfill_start, self.backfill_end = backfill_start, backfill_end
        self.api = api
        self.data_dir = data_dir
        self.seed = seed
        self.quiet = quiet
        self.progress = progress

    def run(self) -> BacktestResult:
        from tovik_backtest.modules.matcher.matcher import Matcher
        from tovik_backtest.modules.ticker.ticker import Ticker

        with _data_dir(self.data_dir), _quiet_console(self.quiet):
            return self._run(Matcher, Ticker)

    def _run(self, matcher_cls: Any, ticker_cls: Any) -> BacktestResult:
        positions = Positions()
        matcher = matcher_cls(positions)
        # Order ids drawn from a seeded generator: the same run gives the same reports.
        matcher._Matcher__get_random_uuid = _seeded_ids(self.seed)
        ticker = ticker_cls(self.api)
        totals: list[int] = []
        build_table = ticker._Ticker__process_and_combine_ticks

        def counting_build(codes: list, start_from: str, end_to: str) -> pl.DataFrame:
            table = build_table(codes, start_from, end_to)
            totals.append(table.height)
            return table

        # The replay and back-filling build their tables through this attribute; the
        # wrapper only counts rows for the progress display.
        ticker._Ticker__process_and_combine_ticks = counting_build

        strategy = self.strategy
        run = _Run(matcher, positions, self.instruments)
        strategy._runner = run
        stats = {i.code: InstrumentStats(i.code, i.market) for i in self.instruments}
        reports: list[dict[str, Any]] = []
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
                for report in batch:
                    reports.append(report)
                    _count(stats, report)
                    if "operation_type" in report:
                        strategy.on_order(report)
                    else:
                        strategy.on_deal(report)

        started = time.perf_counter()
        try:
            ticker.send_ticks(
                [i.as_dict() for i in self.instruments],
                self.start,
                self.end,
                self.backfill_start,
                self.backfill_end,
            )
            strategy.on_start()
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
                    backfilling_ticks += 1
                    run.backfilling = True
                    strategy.on_tick(record)
                    run.backfilling = False
                else:
                    matcher.set_current_tick(record)
                    matcher.match_deal(record["code"], record["close"], record["qty"], record["timestamp"])
                    st = stats.get(record["code"])
                    if st is not None:
                        st.ticks += 1
                    hand_over()
                    strategy.on_tick(record)
                    hand_over()
                if self.progress is not None:
                    self.progress(done, sum(totals))
                ticker.allow_next_tick()
            strategy.on_end()
            hand_over()
        finally:
            strategy._runner = None
            ticker.stop_send_ticks()
        wall = time.perf_counter() - started
        _count_exchange_cancels(stats, positions)
        return BacktestResult(
            instruments=list(self.instruments),
            reports=reports,
            positions=positions,
            stats=stats,
            backfilling_ticks=backfilling_ticks,
            wall_seconds=wall,
            params=dict(strategy.params),
        )


def _drain(q: Any) -> list[dict[str, Any]]:
    out = []
    while True:
        try:
            out.append(q.get_nowait())
        except queue.Empty:
            return out


def _count(stats: dict[str, InstrumentStats], report: dict[str, Any]) -> None:
    if "operation_type" in report:
        st = stats.get(report["order"]["code"])
        if st is not None and report["operation_type"] == constant.OperationType.NEW:
            st.orders += 1
        return
    st = stats.get(report["code"])
    if st is not None:
        st.fills += 1
        st.filled_qty += int(report["quantity"])


def _count_exchange_cancels(stats: dict[str, InstrumentStats], positions: Positions) -> None:
    # Only cancellations made by the exchange (IOC remainders, unfilled FOK orders) reach
    # the position book; a strategy's own cancellations do not.
    for record in positions.trade_records:
        st = stats.get(record["code"])
        if st is not None and record["trade_status"] == "Cancel":
            st.exchange_cancels += 1
