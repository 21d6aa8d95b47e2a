"""What a back-test produced: the reports, the position book, per-instrument figures, and
the ways to read them (summary, trades table, files, plot)."""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from functools import cached_property
from pathlib import Path
from typing import Any

import polars as pl

from tovik_backtest import measures
from tovik_backtest.costs import FUTURES_WITHOUT_COMMISSION_NOTE, Costs
from tovik_backtest.errors import BacktestError
from tovik_backtest.fills import Touch
from tovik_backtest.folders import write_whole
from tovik_backtest.instruments import Instrument
from tovik_backtest.ledger import Ledger, to_twd
from tovik_backtest.modules.positions.positions import Positions
from tovik_backtest.money import EVERY, Recorder, Sizes, parse_every
from tovik_backtest.safe_csv import write_csv
from tovik_backtest.state import ROW_FIELDS, UNSET
from tovik_backtest.version import __version__

_TZ = "Asia/Taipei"
_TIME = pl.Datetime("ns", _TZ)


def _cents(value: float) -> float:
    return round(value + 0.0, 2)  # + 0.0 turns -0.0 into 0.0


def _times(values: list[int]) -> pl.Series:
    # Taipei wall time written as UTC: read it as naive time, then name the zone
    return pl.Series(values, dtype=pl.Int64).cast(pl.Datetime("ns")).dt.replace_time_zone(_TZ)

__all__ = ["BacktestResult", "InstrumentStats"]


@dataclass
class InstrumentStats:
    code: str
    market: str
    ticks: int = 0
    orders: int = 0
    fills: int = 0
    filled_qty: int = 0
    exchange_cancels: int = 0
    expired: int = 0  # day (ROD) orders cancelled at their session close
    late_requests: int = 0  # modifications and cancellations that arrived after their order left the book
    # day -> rows of its file that repeat an earlier row exactly (days with none left out)
    repeated_rows: dict[str, int] = field(default_factory=dict)
    # trading days whose price limits could not be checked (no previous day in the cache)
    limits_unchecked: list[str] = field(default_factory=list)


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
    recorder: Recorder | None = None
    costs: Costs = field(default_factory=Costs)
    capital: float = 1_000_000.0
    # "<code> <day>: <reason>" of each trading day the run went without (allow_missing)
    skipped_days: list[str] = field(default_factory=list)
    # the modules' error records, each the JSON text it was logged as
    errors: list[str] = field(default_factory=list)
    # set when the run stopped on an exception: these are the results up to that point
    error: str | None = None
    # the run's configuration as JSON values (RunConfig.as_dict), kept in summary.json
    config: dict[str, Any] | None = None
    # the fill model the run decided fills by, and why each deal filled (in deal order)
    fills: str = field(default_factory=lambda: Touch().name)
    fill_reasons: list[str] = field(default_factory=list)
    # the strategy class that ran, as "module:Class"
    strategy: str = ""

    @cached_property
    def _recorder(self) -> Recorder:
        recorder = self.recorder
        if recorder is None:
            recorder = Recorder(self.instruments, Sizes.of(self.instruments), self.costs, self.capital)
        recorder.finish()
        return recorder

    @property
    def book(self) -> Ledger:
        """The TWD book the run kept in cents (``ledger.Ledger``): fills, round trips,
        equity marks. Every money figure of the result comes from it."""
        return self._recorder.ledger

    @property
    def notes(self) -> list[str]:
        """Lines a summary should print under its figures."""
        notes = [FUTURES_WITHOUT_COMMISSION_NOTE] if self._recorder.charger.futures_without_commission else []
        if self.skipped_days:
            count = len(self.skipped_days)
            notes.append(f"ran without {count} trading day{'s' if count != 1 else ''} of ticks: "
                         + "; ".join(self.skipped_days))
        if self.fills.startswith("touch(") and self._resting_limit_fills():
            notes.append("passive fills are optimistic: under the touch model a resting limit order fills on the "
                         "first tick at its price, ahead of the displayed queue; compare with --fills touch,queue")
        if self.limits_unchecked:
            notes.append("price limits not checked (previous trading day not in the cache): "
                         + ", ".join(self.limits_unchecked))
        if self.errors:
            count = len(self.errors)
            notes.append(f"{count} error record{'s' if count != 1 else ''} were logged during the run "
                         "(errors.jsonl in the saved results)")
        return notes

    def _resting_limit_fills(self) -> bool:
        return any(f.price_type == "LMT" and f.order_type == "ROD" for f in self.book.fills)

    def _fill_reasons(self) -> list[str | None]:
        """Why each fill of ``book.fills`` filled; None throughout when the run kept no reasons."""
        fills = self.book.fills
        if len(self.fill_reasons) == len(self.deals) == len(fills):
            return list(self.fill_reasons)
        return [None] * len(fills)

    @property
    def limits_unchecked(self) -> list[str]:
        """"<code> <day>" of each instrument-day whose orders' price limits were not
        checked: the cache lacked the previous trading day's ticks."""
        return [f"{s.code} {day}" for s in self.stats.values() for day in s.limits_unchecked]

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
        """Per instrument and overall figures (JSON-serialisable).

        Money (``gross_pnl``, ``commission``, ``tax``, ``net_pnl``, drawdown, trades)
        is in TWD from the run's TWD book (``book``), kept in cents, so the tables add up
        to it exactly. Per instrument ``realized_pnl``/``unrealized_pnl``/``pnl_points``
        are the same book's figures in price points times board lots (stocks) or
        contracts (futures): TWD over TWD per point of one lot or contract.
        ``overall`` sums only TWD (points of different instruments do not add) and
        carries the measures of the net equity marked at every tick:
        ``max_drawdown`` (TWD), ``max_drawdown_pct`` (the largest fall as a share of the
        peak it fell from), ``max_drawdown_pct_of_capital`` (``max_drawdown`` over
        capital) and ``max_drawdown_duration`` (seconds: the longest time from a peak
        to the recovery to it, or to the last tick).
        """
        positions = self.positions.summary()
        book = self.book
        per: dict[str, dict[str, Any]] = {}
        money = {"gross_pnl": 0, "commission": 0, "tax": 0, "net_pnl": 0}
        for code, s in self.stats.items():
            pos = positions.get(code, {})
            k = book.codes.index(code)
            per_point = self._recorder.per_point(code)
            realized = book.realized[k] / 100 / per_point + 0.0
            unrealized = book.unrealized(k) / 100 / per_point + 0.0
            gross = book.realized[k] + book.unrealized(k)
            figures = {"gross_pnl": gross, "commission": book.commission[k], "tax": book.tax[k],
                       "net_pnl": gross - book.commission[k] - book.tax[k]}
            for key, value in figures.items():
                money[key] += value
            per[code] = {
                "market": s.market,
                "ticks": s.ticks,
                "orders": s.orders,
                "fills": s.fills,
                "filled_qty": s.filled_qty,
                "exchange_cancels": s.exchange_cancels,
                "expired": s.expired,
                "late_requests": s.late_requests,
                "net_position": pos.get("quantity", 0),
                "realized_pnl": realized,
                "unrealized_pnl": unrealized,
                "pnl_points": realized + unrealized,
                **{key: to_twd(value) for key, value in figures.items()},
            }
            if s.repeated_rows:  # a doubled file looks like this; real trades may repeat too
                per[code]["repeated_rows"] = dict(sorted(s.repeated_rows.items()))
        keys = ("ticks", "orders", "fills", "filled_qty", "exchange_cancels", "expired", "late_requests")
        overall: dict[str, Any] = {k: sum(v[k] for v in per.values()) for k in keys}
        overall.update({key: to_twd(value) for key, value in money.items()})
        overall["capital"] = self.capital
        state = book.state
        overall["max_drawdown"] = to_twd(state["drawdown_cents"])
        overall["max_drawdown_pct"] = state["share_fall_cents"] / state["share_peak_cents"]
        overall["max_drawdown_pct_of_capital"] = state["drawdown_cents"] / book.capital_cents
        overall["max_drawdown_duration"] = book.max_drawdown_duration_ns() / 1e9
        trips = measures.trip_measures([to_twd(t.net_cents) for t in book.round_trips])
        if trips["average_trade"] is not None:
            trips["average_trade"] = _cents(trips["average_trade"])
        overall.update(trips)
        day_ends = [v for _, v in self.trading_days()]
        overall["sharpe"] = measures.sharpe(day_ends, self.capital)
        closed = [measures.Trip(t.code, t.side, to_twd(t.net_cents), (t.exit_time_ns - t.entry_time_ns) / 1e9)
                  for t in book.round_trips]
        overall.update(measures.run_measures(day_ends, closed, self.capital, overall))
        for group in (*overall["by_instrument"].values(), *overall["by_side"].values()):
            for key in ("net_pnl", "average_trade"):
                if group[key] is not None:
                    group[key] = _cents(group[key])
        recorder = self._recorder
        overall["exposure"] = recorder.exposed_ticks / recorder.ticks if recorder.ticks else 0.0
        overall["skipped_days"] = list(self.skipped_days)
        overall["limits_unchecked"] = self.limits_unchecked
        overall["errors"] = len(self.errors)
        overall["fill_model"] = self.fills  # "fills" stays the count of fills
        overall["backfilling_ticks"] = self.backfilling_ticks
        overall["wall_seconds"] = self.wall_seconds
        overall["ticks_per_second"] = self.ticks_per_second
        summary: dict[str, Any] = {"params": self.params, "instruments": per, "overall": overall,
                                   "notes": self.notes}
        if self.config is not None:
            summary["config"] = self.config
        summary["run"] = {"strategy": self.strategy, "version": __version__}
        if self.error is not None:
            summary["partial"] = True
            summary["error"] = self.error
        return summary

    def trading_days(self) -> list[tuple[Any, float]]:
        """(trading day, net equity at its end in TWD) of each trading day up to that of the
        run's last tick: a market whose session had closed before the last tick (stocks
        at 13:30 while futures trade on) has no day of its own after it."""
        days = [(day, to_twd(value)) for day, value in self.book.days]
        rows = self._equity_rows()
        if not len(rows):
            return days
        from tovik_backtest.market import trading_day_of

        # the market that traded the last tick names its day; any other names that or later
        last = int(rows[-1][ROW_FIELDS.index("time")])
        final = min(trading_day_of(i.market, last) for i in self.instruments)
        return [(day, value) for day, value in days if day <= final]

    def trades(self) -> pl.DataFrame:
        """The fills, one row per deal report, in the order they happened; money in TWD
        (``realized_pnl`` is what the fill closed, before costs). ``fill_reason`` says why
        the fill model filled it: touch, aggressive, through or queue. ``quantity`` counts
        the order's units: board lots, or shares where ``order_lot`` is an odd lot (empty
        for futures)."""
        fills = self.book.fills
        return pl.DataFrame([
            _times([f.time_ns for f in fills]).alias("time"),
            pl.Series("trade_id", [f.trade_id for f in fills], pl.String),
            pl.Series("code", [f.code for f in fills], pl.String),
            pl.Series("action", [f.action for f in fills], pl.String),
            pl.Series("price_type", [f.price_type for f in fills], pl.String),
            pl.Series("order_type", [f.order_type for f in fills], pl.String),
            pl.Series("order_lot", [f.order_lot for f in fills], pl.String),
            pl.Series("quantity", [f.quantity for f in fills], pl.Int64),
            pl.Series("price", [f.price for f in fills], pl.Float64),
            pl.Series("value", [to_twd(f.value_cents) for f in fills], pl.Float64),
            pl.Series("commission", [to_twd(f.commission_cents) for f in fills], pl.Float64),
            pl.Series("tax", [to_twd(f.tax_cents) for f in fills], pl.Float64),
            pl.Series("realized_pnl", [to_twd(f.realized_cents) for f in fills], pl.Float64),
            pl.Series("fill_reason", self._fill_reasons(), pl.String),
        ])

    def round_trips(self) -> pl.DataFrame:
        """One row per closed round trip (flat to flat, or up to a reversal); ``quantity``
        in shares (stocks) or contracts (futures), prices averaged, money in TWD.

        ``mae``/``mfe``: the lowest (0 or below) and highest (0 or above) P&L before
        costs the trip reached at any tick while it was open, its close included;
        ``mae_points``/``mfe_points`` the same in price points (TWD over TWD per point
        of the units opened); ``worst_time`` when the lowest was reached; ``duration``
        from entry to exit."""
        trips = self.book.round_trips
        return pl.DataFrame([
            pl.Series("code", [t.code for t in trips], pl.String),
            pl.Series("side", [t.side for t in trips], pl.String),
            _times([t.entry_time_ns for t in trips]).alias("entry_time"),
            _times([t.exit_time_ns for t in trips]).alias("exit_time"),
            pl.Series("quantity", [t.quantity for t in trips], pl.Int64),
            pl.Series("entry_price", [t.entry_price for t in trips], pl.Float64),
            pl.Series("exit_price", [t.exit_price for t in trips], pl.Float64),
            pl.Series("gross", [to_twd(t.gross_cents) for t in trips], pl.Float64),
            pl.Series("costs", [to_twd(t.costs_cents) for t in trips], pl.Float64),
            pl.Series("net", [to_twd(t.net_cents) for t in trips], pl.Float64),
            pl.Series("mae", [to_twd(t.mae_cents) for t in trips], pl.Float64),
            pl.Series("mfe", [to_twd(t.mfe_cents) for t in trips], pl.Float64),
            pl.Series("mae_points", [t.points(t.mae_cents) for t in trips], pl.Float64),
            pl.Series("mfe_points", [t.points(t.mfe_cents) for t in trips], pl.Float64),
            pl.Series("duration", [t.exit_time_ns - t.entry_time_ns for t in trips], pl.Int64).cast(
                pl.Duration("ns")),
            _times([t.worst_time_ns for t in trips]).alias("worst_time"),
        ])

    def equity(self, every: str = "1m") -> pl.DataFrame:
        """Net equity (capital + P&L - costs, TWD), marked at every tick, and its
        drawdown (equity minus its running peak, which starts at the capital: 0 or below).

        ``every`` "1s", "1m", "5m" or "1d" (Taipei calendar days): one row per interval
        with a tick, ``time`` its start, and the interval's open, high, low and close of
        equity and of drawdown; the lowest ``drawdown_low`` is ``-max_drawdown``. A run
        keeps rows of ``Backtest(..., equity_every=...)`` ("1m" unless asked), so a finer
        table needs a run that kept one. ``every="fill"``: ``time``, ``equity`` and
        ``drawdown`` after each fill and at each session close."""
        if every == "fill":
            points = self.book.points
            return pl.DataFrame([
                _times([t for t, _, _ in points]).alias("time"),
                pl.Series("equity", [to_twd(v) for _, v, _ in points], pl.Float64),
                pl.Series("drawdown", [to_twd(d) for _, _, d in points], pl.Float64),
            ])
        if every not in EVERY:
            raise BacktestError(f"every must be 'fill' or one of {', '.join(map(repr, EVERY))}, not {every!r}")
        interval, kept = parse_every(every), self._recorder.every
        if interval % parse_every(kept):
            raise BacktestError(f"this run kept its equity table in rows of {kept}, which do not make rows of "
                                f"{every}: run with Backtest(..., equity_every={every!r}) for them")
        rows = self._equity_rows()
        frame = pl.DataFrame(rows, schema=list(ROW_FIELDS), orient="row") if len(rows) else pl.DataFrame(
            schema={name: pl.Int64 for name in ROW_FIELDS})
        if interval != parse_every(kept):
            frame = frame.group_by((pl.col("time") // interval) * interval, maintain_order=True).agg(
                pl.col("equity_open", "drawdown_open").first(), pl.col("equity_high", "drawdown_high").max(),
                pl.col("equity_low", "drawdown_low").min(), pl.col("equity_close", "drawdown_close").last(),
            ).select(ROW_FIELDS)
        return frame.select(
            pl.col("time").cast(pl.Datetime("ns")).dt.replace_time_zone(_TZ),
            *[(pl.col(name) / 100).cast(pl.Float64) for name in ROW_FIELDS[1:]])

    def _equity_rows(self) -> Any:
        import numpy as np

        recorder = self._recorder
        width = len(ROW_FIELDS)
        parts = [np.asarray(t, dtype=np.int64).reshape(-1, width) for t in recorder.tables]
        if recorder.ledger.rows:
            parts.append(np.asarray(recorder.ledger.rows, dtype=np.int64).reshape(-1, width))
        state = recorder.state
        if state["bucket"] != UNSET:
            parts.append(np.asarray([state.open_row()], dtype=np.int64))
        return np.concatenate(parts) if parts else np.empty((0, width), dtype=np.int64)

    def reports_jsonl(self) -> str:
        """Every report as one JSON line, enumeration members written as their text."""
        return "".join(json.dumps(r, ensure_ascii=False, default=str) + "\n" for r in self.reports)

    def save(self, folder: str | Path, *, overwrite: bool = True, page: bool = True) -> Path:
        """Write reports.jsonl, errors.jsonl, trades.csv, round_trips.csv (durations in
        seconds), equity.csv (the one-minute table), daily.csv, prices.parquet (what
        ``tovik-backtest report`` redraws the page from) and summary.json into ``folder``,
        and report.html where plotly is installed. ``page=False`` (a sweep's runs) leaves out
        the page and the prices and buy-and-hold it is drawn from (prices.parquet, benchmark.csv):
        ``tovik-backtest report`` then reads the prices from the cache the run read.

        Written whole or not at all: the files go into a new folder beside ``folder``, renamed
        onto it at the end. ``folder`` may be missing or empty, or hold earlier results, which
        are replaced (unless ``overwrite`` is False: then it is refused); a folder holding other
        files is refused (``BacktestError``), never mixed with."""
        return write_whole(folder, lambda out: self._write_files(out, page), overwrite=overwrite)

    def _write_files(self, out: Path, page: bool = True) -> None:
        (out / "reports.jsonl").write_text(self.reports_jsonl(), encoding="utf-8")
        (out / "errors.jsonl").write_text("".join(e + "\n" for e in self.errors), encoding="utf-8")
        # text cells a spreadsheet would run as formulas are written behind a '
        write_csv(self.trades(), out / "trades.csv")
        # a CSV has no durations: seconds there
        write_csv(self.round_trips().with_columns(pl.col("duration").dt.total_nanoseconds() / 1e9),
                  out / "round_trips.csv")
        write_csv(self.equity("1m"), out / "equity.csv")
        from tovik_backtest.report import save_report
        from tovik_backtest.report_data import save_daily

        if page:
            save_report(self, out)  # report.html only where plotly is installed
        else:
            save_daily(self, out)
        (out / "summary.json").write_text(
            json.dumps(self.summary(), ensure_ascii=False, indent=2, default=str), encoding="utf-8"
        )

    def report(self, path: str | Path, ticks: pl.DataFrame | None = None) -> Path:
        """One self-contained interactive HTML page: settings, summary and measures, prices
        with fills over equity and drawdown, daily P&L, round trips (needs plotly). Prices
        come from ``ticks`` or else from the tick cache the run read."""
        from tovik_backtest.report import write_report

        return write_report(self, Path(path), ticks)

    def benchmark(self, ticks: pl.DataFrame | None = None) -> pl.DataFrame:
        """Buy and hold of each instrument over the run's period: one lot or contract
        bought at the first tick and sold at the last, with the run's costs
        (``benchmark.buy_and_hold``). Prices come from ``ticks`` (code, ts, close) or
        else from the tick cache the run read."""
        from tovik_backtest.benchmark import buy_and_hold
        from tovik_backtest.report_data import cached_ticks

        if ticks is None:
            ticks, why = cached_ticks({**(self.config or {}), "params": self.params})
            if ticks is None:
                raise BacktestError(f"no buy-and-hold figures: {why}; give the ticks: result.benchmark(ticks)")
        return buy_and_hold(self.instruments, ticks, self._recorder.sizes, self.costs, self.capital)

    def plot(self, path: str | Path, ticks: pl.DataFrame | None = None) -> Path:
        """Draw fills (and prices, when ``ticks`` is given) and the P&L curve to a PNG."""
        from tovik_backtest.plot import plot_result

        return plot_result(self, Path(path), ticks)

