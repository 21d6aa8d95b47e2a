"""What a run's report page is drawn from, gathered from a result or read back from the
folder ``BacktestResult.save`` wrote, so a saved run can be drawn again without its ticks
cache: the summary (with the run's settings), the fills, the round trips, net equity,
daily net P&L and the prices of each instrument (``prices.parquet``).

Times are kept as Taipei wall time written as if UTC, in nanoseconds (int64), the
rule the ticks follow."""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import polars as pl

from tovik_backtest.benchmark import BENCHMARK_SCHEMA
from tovik_backtest.errors import BacktestError
from tovik_backtest.safe_csv import read_text_cells

__all__ = ["ReportData", "PRICES_FILE", "DAILY_FILE", "BENCHMARK_FILE", "cached_ticks", "save_daily"]

PRICES_FILE = "prices.parquet"
DAILY_FILE = "daily.csv"
BENCHMARK_FILE = "benchmark.csv"
_TZ = "Asia/Taipei"
# the files a saved result must hold for its page to be drawn again
_NEEDED = ("summary.json", "trades.csv", "round_trips.csv", "equity.csv")


def wall_ns(times: pl.Series) -> pl.Series:
    """Zoned date-times as Taipei wall time written as UTC, in ns."""
    return times.dt.convert_time_zone(_TZ).dt.replace_time_zone(None).dt.cast_time_unit("ns").cast(pl.Int64)


def _equity_columns(frame: pl.DataFrame) -> pl.DataFrame:
    # the one-minute table carries open/high/low/close; the per-fill one a single value
    cols = frame.columns
    value = "equity_close" if "equity_close" in cols else "equity"
    fall = "drawdown_low" if "drawdown_low" in cols else "drawdown"
    return pl.DataFrame({"time": wall_ns(frame["time"]),
                         "equity": frame[value].cast(pl.Float64),
                         "drawdown": frame[fall].cast(pl.Float64)})


def _result_equity(result: Any) -> pl.DataFrame:
    return _equity_columns(result.equity("1m"))


def _daily(days: list[tuple[Any, float]], capital: float) -> pl.DataFrame:
    previous = capital
    rows = []
    for day, value in days:
        rows.append((day, value, value - previous))
        previous = value
    return pl.DataFrame(rows, schema={"day": pl.Date, "equity": pl.Float64, "net_pnl": pl.Float64},
                        orient="row")


def _seconds(trips: pl.DataFrame) -> pl.DataFrame:
    # durations as saved: seconds
    if "duration" in trips.columns and trips.schema["duration"] == pl.Duration("ns"):
        return trips.with_columns(pl.col("duration").dt.total_nanoseconds() / 1e9)
    return trips


def _price_columns(ticks: pl.DataFrame, codes: list[str]) -> pl.DataFrame:
    return (ticks.filter(pl.col("code").is_in(codes))
            .select(pl.col("code").cast(pl.String), pl.col("ts").cast(pl.Int64), pl.col("close").cast(pl.Float64)))


_NO_PRICES = pl.DataFrame(schema={"code": pl.String, "ts": pl.Int64, "close": pl.Float64})


def cached_ticks(settings: dict[str, Any]) -> tuple[pl.DataFrame | None, str | None]:
    """The run's ticks from the cache it read, or None and why not."""
    start, end, instruments = settings.get("start"), settings.get("end"), settings.get("instruments")
    if not (start and end and instruments):
        return None, "prices are not drawn: the result does not say which instruments and period it ran on"
    from tovik_backtest.constant import BASIC_INFO
    from tovik_backtest.tick_table import merged_ticks

    folder = settings.get("data_dir") or BASIC_INFO.data_dir
    try:
        return merged_ticks(instruments, start, end, data_dir=folder), None
    except Exception as exc:  # noqa: BLE001 - the page is still drawn, saying why prices are missing
        return None, f"prices are not drawn: the ticks of {start} to {end} could not be read from {folder} ({exc})"


def save_daily(result: Any, folder: Path) -> None:
    """Only the daily P&L the page's heat map needs, for a result saved without its page."""
    _daily(result.trading_days(), float(result.capital)).write_csv(folder / DAILY_FILE)


def _read_times(path: Path, columns: tuple[str, ...]) -> pl.DataFrame:
    frame = read_text_cells(
        pl.read_csv(path, schema_overrides={c: pl.String for c in columns}, infer_schema_length=10_000))
    return frame.with_columns(
        pl.col(c).str.to_datetime(time_unit="ns", time_zone="UTC").dt.convert_time_zone(_TZ)
        for c in columns if c in frame.columns)


@dataclass
class ReportData:
    summary: dict[str, Any]
    fills: pl.DataFrame  # as ``BacktestResult.trades()``
    trips: pl.DataFrame  # as ``BacktestResult.round_trips()``
    equity: pl.DataFrame  # time (wall ns), equity, drawdown (its deepest in the interval)
    daily: pl.DataFrame  # day, equity at its end, net_pnl
    prices: pl.DataFrame  # code, ts (wall ns), close
    notes: list[str]  # what the page could not show, and why
    benchmark: pl.DataFrame = field(default_factory=lambda: pl.DataFrame(schema=BENCHMARK_SCHEMA))

    @property
    def settings(self) -> dict[str, Any]:
        """The run's configuration, strategy, parameters, fill model and package version."""
        return {**(self.summary.get("config") or {}), "params": self.summary.get("params") or {},
                "fill_model": self.summary.get("overall", {}).get("fill_model"), **(self.summary.get("run") or {})}

    @classmethod
    def of(cls, result: Any, ticks: pl.DataFrame | None = None) -> ReportData:
        """From a result; ``ticks`` (as ``merged_ticks`` gives them) or else the cache the
        run read gives the prices."""
        summary = result.summary()
        notes: list[str] = []
        days = result.trading_days()
        data = cls(summary, result.trades(), _seconds(result.round_trips()), _result_equity(result),
                   _daily(days, float(result.capital)), _NO_PRICES, notes)
        if ticks is None:
            ticks, why = cached_ticks(data.settings)
            if why:
                notes.append(why)
        if ticks is not None and ticks.height:
            data.prices = _price_columns(ticks, [i.code for i in result.instruments])
            data.benchmark = result.benchmark(data.prices)
        return data

    def save(self, folder: Path) -> None:
        """Write what ``load`` needs beyond the result's own files."""
        self.prices.write_parquet(folder / PRICES_FILE)
        self.daily.write_csv(folder / DAILY_FILE)
        self.benchmark.write_csv(folder / BENCHMARK_FILE)

    @classmethod
    def load(cls, folder: str | Path) -> ReportData:
        """From a folder ``BacktestResult.save`` wrote; BacktestError naming what is missing."""
        folder = Path(folder)
        if not folder.is_dir():
            raise BacktestError(f"{folder} is not a folder of saved results (run with --out FOLDER first)")
        missing = [name for name in _NEEDED if not (folder / name).is_file()]
        if missing:
            raise BacktestError(f"{folder} does not hold a saved result: {', '.join(missing)} missing "
                                "(run with --out FOLDER to save one)")
        try:
            summary = json.loads((folder / "summary.json").read_text(encoding="utf-8"))
            fills = _read_times(folder / "trades.csv", ("time",))
            trips = _read_times(folder / "round_trips.csv", ("entry_time", "exit_time", "worst_time"))
            equity = _equity_columns(_read_times(folder / "equity.csv", ("time",)))
        except (ValueError, KeyError, pl.exceptions.PolarsError) as exc:
            raise BacktestError(f"the saved result in {folder} cannot be read: {exc}") from None
        notes: list[str] = []
        daily_path, prices_path = folder / DAILY_FILE, folder / PRICES_FILE
        if daily_path.is_file():
            daily = pl.read_csv(daily_path, schema={"day": pl.Date, "equity": pl.Float64, "net_pnl": pl.Float64})
        else:
            daily = _daily([], 0.0)
            notes.append(f"no daily P&L: {DAILY_FILE} is not in {folder}")
        if prices_path.is_file():
            prices = pl.read_parquet(prices_path)
        else:
            # a sweep's runs keep no prices of their own: the cache they read has them
            prices = _NO_PRICES
            settings = {**(summary.get("config") or {})}
            ticks, why = cached_ticks(settings)
            if ticks is not None and ticks.height:
                codes = [str(i).split(":")[0] if not isinstance(i, dict) else i["code"]
                         for i in settings.get("instruments") or []]
                prices = _price_columns(ticks, codes)
            else:
                notes.append(f"prices are not drawn: {PRICES_FILE} is not in {folder}"
                             + (f" and {why.removeprefix('prices are not drawn: ')}" if why else ""))
        benchmark = pl.DataFrame(schema=BENCHMARK_SCHEMA)
        if (folder / BENCHMARK_FILE).is_file():
            benchmark = _read_times(folder / BENCHMARK_FILE, ("entry_time", "exit_time")).cast(
                {k: v for k, v in BENCHMARK_SCHEMA.items() if k not in ("entry_time", "exit_time")})
        return cls(summary, fills, trips, equity, daily, prices, notes, benchmark)
