"""Synthetic but realistic tick cache files, for the demo and for trying strategies.

The data is made up: a random walk on the exchange's price grid, kept within each day's
price limits (10% either side of the previous trading day's last price). It is written
in exactly the tick cache format the ticker reads (``tovik_backtest.tick_cache``), so a
back-test runs on it without a broker login.

A day is laid out as real days are. The stock trades continuously from 09:00 to 13:25;
its opening and closing call auctions print at 09:00:00 and 13:30:00. The future trades
its day session 08:45-13:45 and, before it, the night session that opened at 15:00 of
the previous trading day and ran to 05:00 the next morning: the broker delivers that
night session in the file of the trading day it belongs to, and so does this module.
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

from tovik_backtest.market import is_trading_day, previous_trading_day, price_limits, yesterday_taipei
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
    session: tuple[dt.time, dt.time]  # continuous trading of the day session
    ticks_per_day: int
    max_volume: int
    closing_auction: dt.time | None = None  # the closing call auction's print
    night_ticks: int = 0  # ticks of the night session before the day session (futures)


SAMPLE_INSTRUMENTS: tuple[_Profile, ...] = (
    # a large-cap stock: the opening auction prints at 09:00, continuous trading to
    # 13:25, the closing auction prints at 13:30
    _Profile("2330", "Stock", 580.0, (dt.time(9, 0), dt.time(13, 25)), 3000, 30, closing_auction=dt.time(13, 30)),
    # the index future's near month: day session 08:45 to 13:45, one point a tick, and
    # the night session 15:00 to 05:00 before it
    _Profile("TXFR1", "Future", 17500.0, (dt.time(8, 45), dt.time(13, 45)), 5000, 12, night_ticks=2000),
)
_NIGHT = (dt.time(15, 0), dt.time(5, 0))  # the night session: 15:00 to 05:00 the morning after


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


def _walk(profile: _Profile, open_at: dt.datetime, close_at: dt.datetime, count: int, price: float,
          limits: tuple[float, float], rng: random.Random, cols: dict[str, list[Any]]) -> float:
    """``count`` ticks from ``open_at`` (the first one exactly then) to before ``close_at``,
    appended to ``cols``; the last price."""
    span_us = int((close_at - open_at).total_seconds() * 1_000_000)
    offsets = sorted(rng.randrange(span_us) for _ in range(count - 1))
    offsets.insert(0, 0)  # the opening trade
    drift = rng.gauss(0.0, 0.02)
    down, up = limits
    for offset in offsets:
        size = _tick_size(profile, price)
        step = rng.choices((-2, -1, 0, 1, 2), weights=(1, 8 - drift, 10, 8 + drift, 1))[0]
        price = min(max(down, _on_grid(price + step * size, size)), up)
        size = _tick_size(profile, price)
        # the quotes stay within the limits too: at limit-up the best ask is the limit
        bid = min(_on_grid(price - size * rng.choice((0, 0, 1)), size), _on_grid(up - size, size))
        ask = _on_grid(bid + size, size)
        buyer_initiated = price >= ask or (price > bid and rng.random() < 0.5)
        close = ask if buyer_initiated else bid
        _append(cols, open_at + dt.timedelta(microseconds=offset), close,
                min(profile.max_volume, 1 + int(rng.expovariate(0.4))), bid, rng.randint(1, profile.max_volume * 5),
                ask, rng.randint(1, profile.max_volume * 5), 1 if buyer_initiated else 2)
        price = close
    return price


def _append(cols: dict[str, list[Any]], moment: dt.datetime, close: float, volume: int, bid: float,
            bid_volume: int, ask: float, ask_volume: int, tick_type: int) -> None:
    for name, value in (("ts", _as_utc_nanos(moment)), ("close", close), ("volume", volume), ("bid_price", bid),
                        ("bid_volume", bid_volume), ("ask_price", ask), ("ask_volume", ask_volume),
                        ("tick_type", tick_type)):
        cols[name].append(value)


def _day_ticks(profile: _Profile, day: dt.date, price: float, rng: random.Random,
               extra: random.Random) -> tuple[dict[str, list[Any]], float]:
    """The ticks of ``day`` opening from ``price`` (the previous day's last) and that last
    price. ``rng`` draws the day session's continuous trading; ``extra`` the night session
    and the auction prints, so that adding those left the day session's draws as they were."""
    limits = price_limits(profile.market, profile.code, price)
    cols: dict[str, list[Any]] = {name: [] for name in TICK_SCHEMA}
    if profile.night_ticks:
        evening = previous_trading_day(day)
        price = _walk(profile, dt.datetime.combine(evening, _NIGHT[0]),
                      dt.datetime.combine(evening + dt.timedelta(days=1), _NIGHT[1]),
                      max(1, int(profile.night_ticks * extra.uniform(0.8, 1.2))), price, limits, extra, cols)
    count = max(1, int(profile.ticks_per_day * rng.uniform(0.8, 1.2)))
    price = _walk(profile, dt.datetime.combine(day, profile.session[0]), dt.datetime.combine(day, profile.session[1]),
                  count, price, limits, rng, cols)
    if profile.closing_auction is not None:
        # one price for the whole closing auction, a few ticks from the last trade
        size = _tick_size(profile, price)
        close = min(max(limits[0], _on_grid(price + extra.choice((-1, 0, 0, 1)) * size, size)),
                    _on_grid(limits[1] - size, size))
        _append(cols, dt.datetime.combine(day, profile.closing_auction), close,
                profile.max_volume * extra.randint(10, 40), close, extra.randint(1, profile.max_volume * 5),
                _on_grid(close + size, size), extra.randint(1, profile.max_volume * 5), 1)
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
    extras = [random.Random(seed * 1_000_003 + index + 500_000) for index in range(len(SAMPLE_INSTRUMENTS))]
    prices = [profile.open_price for profile in SAMPLE_INSTRUMENTS]
    written: list[Path] = []
    day = dt.date.fromisoformat(start)
    for done, trading_day in enumerate(wanted, start=1):
        while day <= trading_day:
            for index, profile in enumerate(SAMPLE_INSTRUMENTS):
                if day == trading_day:
                    cols, prices[index] = _day_ticks(profile, day, prices[index], rngs[index], extras[index])
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
