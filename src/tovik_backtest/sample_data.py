"""Synthetic but realistic tick cache files, for the demo and for trying strategies.

The data is made up: a random walk on the exchange's price grid. It is written in
exactly the tick cache format the ticker reads (``tovik_backtest.tick_cache``), so a
back-test runs on it without a broker login.
"""

from __future__ import annotations

import datetime as dt
import os
import random
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import polars as pl

from tovik_backtest.market import is_trading_day, yesterday_taipei
from tovik_backtest.tick_cache import TICK_SCHEMA, tick_file_name, ticks_dir

__all__ = [
    "SAMPLE_INSTRUMENTS",
    "TICK_SCHEMA",
    "cache_dir",
    "sample_period",
    "stock_tick_size",
    "trading_days",
    "write_sample_data",
]


@dataclass(frozen=True)
class _Profile:
    code: str
    market: str
    open_price: float
    session: tuple[dt.time, dt.time]
    ticks_per_day: int
    max_volume: int


SAMPLE_INSTRUMENTS: tuple[_Profile, ...] = (
    # a large-cap stock: trading 09:00 to 13:30
    _Profile("2330", "Stock", 580.0, (dt.time(9, 0), dt.time(13, 30)), 3000, 30),
    # the index future's near month: trading 08:45 to 13:45, one point a tick
    _Profile("TXFR1", "Future", 17500.0, (dt.time(8, 45), dt.time(13, 45)), 5000, 12),
)


def stock_tick_size(price: float) -> float:
    """Tick size of a Taiwan-listed stock at ``price`` (the exchange's price bands)."""
    if price < 10:
        return 0.01
    if price < 50:
        return 0.05
    if price < 100:
        return 0.1
    if price < 500:
        return 0.5
    if price < 1000:
        return 1.0
    return 5.0


def _tick_size(profile: _Profile, price: float) -> float:
    return stock_tick_size(price) if profile.market == "Stock" else 1.0


def _on_grid(price: float, size: float) -> float:
    return round(round(price / size) * size, 2)


def cache_dir(data_dir: str | os.PathLike[str]) -> Path:
    """The tick files' folder under ``data_dir`` (see ``tovik_backtest.tick_cache``)."""
    return ticks_dir(data_dir)


def _as_utc_nanos(moment: dt.datetime) -> int:
    # The broker stamps local (Taiwan) wall-clock time as if it were UTC.
    epoch = dt.datetime(1970, 1, 1)
    delta = moment - epoch
    return (delta.days * 86_400 + delta.seconds) * 1_000_000_000 + delta.microseconds * 1_000


def _day_ticks(profile: _Profile, day: dt.date, price: float, rng: random.Random) -> tuple[dict[str, list[Any]], float]:
    open_at = dt.datetime.combine(day, profile.session[0])
    close_at = dt.datetime.combine(day, profile.session[1])
    span_us = int((close_at - open_at).total_seconds() * 1_000_000)
    count = max(1, int(profile.ticks_per_day * rng.uniform(0.8, 1.2)))
    offsets = sorted(rng.randrange(span_us) for _ in range(count - 1))
    offsets.insert(0, 0)  # the opening trade
    cols: dict[str, list[Any]] = {name: [] for name in TICK_SCHEMA}
    drift = rng.gauss(0.0, 0.02)
    for offset in offsets:
        size = _tick_size(profile, price)
        step = rng.choices((-2, -1, 0, 1, 2), weights=(1, 8 - drift, 10, 8 + drift, 1))[0]
        price = max(size, _on_grid(price + step * size, size))
        size = _tick_size(profile, price)
        bid = _on_grid(price - size * rng.choice((0, 0, 1)), size)
        ask = _on_grid(bid + size, size)
        buyer_initiated = price >= ask or (price > bid and rng.random() < 0.5)
        close = ask if buyer_initiated else bid
        moment = open_at + dt.timedelta(microseconds=offset)
        cols["ts"].append(_as_utc_nanos(moment))
        cols["close"].append(close)
        cols["volume"].append(min(profile.max_volume, 1 + int(rng.expovariate(0.4))))
        cols["bid_price"].append(bid)
        cols["bid_volume"].append(rng.randint(1, profile.max_volume * 5))
        cols["ask_price"].append(ask)
        cols["ask_volume"].append(rng.randint(1, profile.max_volume * 5))
        cols["tick_type"].append(1 if buyer_initiated else 2)
        price = close
    return cols, price


def trading_days(days: int = 5, start: str = "2024-01-02",
                 until: dt.date | None = None) -> list[dt.date]:
    """The trading days sample data covers (the exchange's calendar: no ticks on a
    holiday): ``days`` of them from ``start`` on, none after
    ``until`` (default: yesterday in Taipei, so there is never data of days to come)."""
    if type(days) is not int or days < 1:
        raise ValueError(f"days must be a positive whole number, not {days!r}")
    last = until if until is not None else yesterday_taipei()
    day = dt.date.fromisoformat(start)
    if day > last:
        raise ValueError(f"sample data starts on {start}, after {last.isoformat()}, the last "
                         "day it may cover (yesterday in Taipei); start earlier")
    out: list[dt.date] = []
    while len(out) < days and day <= last:
        if is_trading_day(day):
            out.append(day)
        day += dt.timedelta(days=1)
    return out


def write_sample_data(
    data_dir: str | os.PathLike[str],
    days: int = 5,
    seed: int = 0,
    start: str = "2024-01-02",
    *,
    until: dt.date | None = None,
    progress: Callable[[int, int, dt.date], None] | None = None,
) -> list[Path]:
    """Write ``days`` trading days of ticks for the sample instruments from ``start`` on.

    The days stop at ``until`` (default: yesterday in Taipei), so fewer than ``days``
    may be written; ``trading_days`` tells which. Weekends and holidays inside the span are written
    as header-only files, as the cache stores a day without ticks, so the ticker never
    asks the broker for them. Deterministic per ``seed``. ``progress(done, total, day)``
    is called after each trading day. Returns the files written.
    """
    if type(seed) is not int:
        raise ValueError(f"seed must be a whole number, not {seed!r}")
    wanted = trading_days(days, start, until)
    folder = cache_dir(data_dir)
    folder.mkdir(parents=True, exist_ok=True)
    # One generator per instrument: its ticks do not depend on the others'.
    rngs = [random.Random(seed * 1_000_003 + index) for index in range(len(SAMPLE_INSTRUMENTS))]
    prices = [profile.open_price for profile in SAMPLE_INSTRUMENTS]
    written: list[Path] = []
    day = dt.date.fromisoformat(start)
    for done, trading_day in enumerate(wanted, start=1):
        while day <= trading_day:
            for index, profile in enumerate(SAMPLE_INSTRUMENTS):
                if day == trading_day:
                    cols, prices[index] = _day_ticks(profile, day, prices[index], rngs[index])
                else:
                    cols = {name: [] for name in TICK_SCHEMA}
                written.append(_write_day(folder, profile.code, day, cols))
            day += dt.timedelta(days=1)
        if progress is not None:
            progress(done, len(wanted), trading_day)
    return written


def _write_day(folder: Path, code: str, day: dt.date, cols: dict[str, list[Any]]) -> Path:
    path = folder / tick_file_name(code, day.isoformat())
    tmp = path.with_name(path.name + ".tmp")
    pl.DataFrame(cols, schema=TICK_SCHEMA).write_csv(tmp)
    os.replace(tmp, path)
    return path


def sample_period(days: int = 5, start: str = "2024-01-02",
                  until: dt.date | None = None) -> tuple[str, str]:
    """First and last calendar day covered by ``write_sample_data(days=..., start=...)``."""
    return start, trading_days(days, start, until)[-1].isoformat()
