"""The period's ticks for the engine: one trading day at a time, as plain columns.

A day's ticks come from the ticker's cache files. The rows the ticker read from a file
are kept beside it (``tick_cache.write_table_copy``), so a day read again is loaded, not
parsed. A day with a file the ticker refuses, or (with a broker logged in) a file
missing, is read by the ticker's own ``merge_ticks``, which downloads, sets aside and
reports exactly as it always does. Without a broker a missing file is left out: the
run's coverage check has named it.

Ticks are merged by time stamp, then code; ticks of one instrument with the same time
stamp keep the order of their file.
"""

from __future__ import annotations

import datetime as dt
import os
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, fields
from typing import Any

import numpy as np
import numpy.typing as npt
import polars as pl

from tovik_backtest import market as mk
from tovik_backtest import tick_cache, utils
from tovik_backtest.errors import BacktestError
from tovik_backtest.instruments import Instrument
from tovik_backtest.modules.records.records import merge_records

__all__ = ["DayReader", "DayTicks", "calendar_chunks", "day_ticks"]

Column = npt.NDArray[Any]

# why a day's table is not at hand: no file; a file the ticker would not read; a
# damaged file the ticker could not set aside (its error record names it to the run)
_MISSING, _REFUSED, _STUCK = object(), object(), object()

_FIELDS = tuple(tick_cache.TICK_SCHEMA)  # every column but the code


@dataclass(frozen=True)
class DayTicks:
    """One stretch of merged ticks: a column per field, ``code`` holding each tick's
    index into the run's instruments."""

    ts: Column
    code: Column
    close: Column
    volume: Column
    tick_type: Column
    bid_price: Column
    bid_volume: Column
    ask_price: Column
    ask_volume: Column

    def __len__(self) -> int:
        return len(self.ts)

    def quote(self, row: int) -> dict[str, Any]:
        return {"bid_price": float(self.bid_price[row]), "bid_volume": int(self.bid_volume[row]),
                "ask_price": float(self.ask_price[row]), "ask_volume": int(self.ask_volume[row]),
                "ts": int(self.ts[row])}

    def take(self, rows: Column) -> DayTicks:
        """The ticks at ``rows`` (indices or a mask), in that order."""
        return DayTicks(*(np.ascontiguousarray(getattr(self, f.name)[rows]) for f in fields(self)))

    @staticmethod
    def merged(parts: list[DayTicks], ranks: Column) -> DayTicks:
        """``parts`` in (ts, code) order; ``ranks`` gives each code index its place among
        the codes sorted as text. The sort is stable: ties keep the order of ``parts``."""
        whole = DayTicks(*(np.concatenate([getattr(p, f.name) for p in parts]) for f in fields(DayTicks)))
        return whole.take(np.lexsort((ranks[whole.code], whole.ts)))

    @staticmethod
    def from_rows(rows: Column, k: int) -> DayTicks:
        """The ticks of one instrument (index ``k``) from its ``tick_cache.TICK_RECORD`` rows."""
        return DayTicks(code=np.full(len(rows), k, dtype=np.int64), **{name: rows[name] for name in _FIELDS})

    @staticmethod
    def from_files(tables: list[tuple[Column, int]], ranks: Column) -> DayTicks:
        """Files' ``tick_cache.TICK_RECORD`` rows, each with its code index, merged as
        ``merged`` merges their ``from_rows`` (in one native pass)."""
        total = sum(len(rows) for rows, _ in tables)
        values = {name: np.empty(total, dtype=tick_cache.TICK_RECORD[name]) for name in _FIELDS}
        code = np.empty(total, dtype=np.int64)
        merge_records([rows.view(np.int64) for rows, _ in tables], [k for _, k in tables],
                      [int(ranks[k]) for _, k in tables], len(_FIELDS),
                      [values[name].view(np.int64) for name in _FIELDS] + [code])
        return DayTicks(code=code, **values)

    @staticmethod
    def from_table(table: pl.DataFrame, code: Column) -> DayTicks:
        """The columns of a tick table (the cache's schema) with its code indices."""
        values = {name: table[name].cast(tick_cache.TICK_SCHEMA[name]).to_numpy() for name in _FIELDS}
        return DayTicks(code=code.astype(np.int64, copy=False), **values)


def _calendar_days(first: dt.date, last: dt.date) -> list[dt.date]:
    return [first + dt.timedelta(days=n) for n in range((last - first).days + 1)]


def calendar_chunks(start: str, end: str) -> list[tuple[str, str]]:
    """The calendar days ``merge_ticks`` would read for the period, grouped so each
    group ends on a trading day (days without trading go with the next one)."""
    days = _calendar_days(utils.format_to_dt(start).date(), utils.format_to_dt(end).date())
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


class DayReader:
    """Reads a group of calendar days of the run's instruments into one ``DayTicks``.

    ``repeated`` (code -> {day: count}), when given, receives for every instrument-day
    read how many of its rows repeat an earlier row exactly (days without any are left
    out)."""

    def __init__(self, ticker: Any, instruments: list[Instrument], data_dir: str | os.PathLike[str],
                 repeated: dict[str, dict[str, int]] | None = None) -> None:
        self.ticker = ticker
        self.data_dir = data_dir
        self.repeated = repeated
        self.codes = [i.code for i in instruments]
        self.markets = {i.code: i.market for i in instruments}
        self.entries = [i.as_dict() for i in instruments]
        self.index = {c: k for k, c in enumerate(self.codes)}
        order = sorted(range(len(self.codes)), key=self.codes.__getitem__)
        self.ranks = np.empty(len(self.codes), dtype=np.int64)
        self.ranks[order] = np.arange(len(self.codes))

    def read(self, begin: str, end: str, *, check_files: bool = False) -> DayTicks:
        """The days' ticks. Kept copies are checked as the merged day (one pass per
        column); a day failing that is read again with each copy checked on its own, so
        the damaged ones are removed and their CSV files parsed."""
        days = [d.isoformat() for d in _calendar_days(dt.date.fromisoformat(begin), dt.date.fromisoformat(end))]
        tables = []
        repeats: dict[tuple[str, str], int] = {}
        for k, code in enumerate(self.codes):
            for day in days:
                table = self._cached(code, day, check_files)
                if table is _STUCK or (table is _MISSING and not self.ticker.api):
                    # Without a broker the day cannot be fetched, and a damaged file that
                    # stays in place cannot be fetched again: the run was refused over it or
                    # lists it as skipped, so the ticker is not asked to fail again.
                    continue
                if not isinstance(table, tick_cache.KeptTable):
                    return self._through_ticker(begin, end)
                if table.repeated:
                    repeats[(code, day)] = table.repeated
                if len(table.rows):
                    tables.append((table.rows, k))
        if not tables:
            return DayTicks.from_rows(np.empty(0, dtype=tick_cache.TICK_RECORD), 0)
        merged = DayTicks.from_files(tables, self.ranks)
        if not check_files and not tick_cache.plausible(vars(merged)):
            return self.read(begin, end, check_files=True)
        self._count(repeats)
        return merged

    def _count(self, repeats: dict[tuple[str, str], int]) -> None:
        if self.repeated is not None:
            for (code, day), count in repeats.items():
                self.repeated.setdefault(code, {})[day] = count

    def _cached(self, code: str, day: str, check: bool = True) -> tick_cache.KeptTable | object:
        """The day's rows when its file is in the cache and reads cleanly; ``_MISSING``
        when there is no file, ``_REFUSED`` when the ticker would not read it (and set it
        aside), ``_STUCK`` when it is damaged and could not be set aside. Rows from a kept
        copy are checked only with ``check``."""
        csv = tick_cache.tick_file(self.data_dir, code, day)
        try:
            before = os.stat(csv)
        except FileNotFoundError:
            return _MISSING
        kept = tick_cache.read_table_copy(self.data_dir, csv, before, check=check)
        if kept is not None:
            return kept
        try:
            table = self.ticker.read_cache_file(str(csv), self.markets[code])
        except (ValueError, pl.exceptions.PolarsError):
            try:
                still = os.stat(csv).st_ino == before.st_ino
            except OSError:
                still = False
            # set aside (the ticker's merge reports and retries the day), or left in place
            return _STUCK if still else _REFUSED
        except OSError:
            return _REFUSED  # unreadable: the ticker's merge reports and retries the day
        rows = tick_cache.table_rows(table)
        kept = tick_cache.KeptTable(rows, tick_cache.repeated_rows(table))
        try:
            after = os.stat(csv)
        except FileNotFoundError:
            return kept
        if tick_cache.same_file(after, before):
            tick_cache.write_table_copy(self.data_dir, csv, before, rows, kept.repeated)  # not changed while read
        return kept

    def _through_ticker(self, begin: str, end: str) -> DayTicks:
        table = self.ticker.merge_ticks(self.entries, begin, end)
        for name in ("ts", "code", "close", "volume", "tick_type"):
            if table[name].null_count():
                raise BacktestError(f"the tick table has empty {name} values: the cache files of the period are "
                                    "damaged; delete them to fetch the days again")
        code = table["code"].replace_strict(self.index, return_dtype=pl.Int64).to_numpy()
        # the period's days come merged: each instrument's repeats count on its last day
        repeats = {(c, end): tick_cache.repeated_rows(table.filter(pl.col("code") == c)) for c in self.codes}
        self._count({key: n for key, n in repeats.items() if n})
        return DayTicks.from_table(table, code)


def day_ticks(reader: DayReader, chunks: list[tuple[str, str]], readers: int = 1) -> Iterator[DayTicks]:
    """The chunks' ticks a trading day at a time, in the whole period's (ts, code) order.

    With ``readers`` > 0, the next ``readers`` days are read on helper threads while the
    caller drives the current one; with 0, each day is read when it is due. Ticks of one
    day stamped at or after the first tick of the next day wait and are merged into that
    next day. A cached file's ticks lie within its own trading day, so only a day just
    downloaded (checked when it is next read from the cache) can need that."""
    if type(readers) is not int or readers < 0:
        raise ValueError(f"readers must be a whole number >= 0, not {readers!r}")
    pending: DayTicks | None = None
    for day in _read_in_order(reader, chunks, readers):
        if not len(day):
            continue
        if pending is None:
            pending = day
            continue
        late = pending.ts >= day.ts.min()
        if late.any():
            day = DayTicks.merged([pending.take(late), day], reader.ranks)
            pending = pending.take(~late)
        if len(pending):
            yield pending
        pending = day
    if pending is not None and len(pending):
        yield pending


def _read_in_order(reader: DayReader, chunks: list[tuple[str, str]], readers: int) -> Iterator[DayTicks]:
    if readers == 0:
        for chunk in chunks:
            yield reader.read(*chunk)
        return
    with ThreadPoolExecutor(max_workers=readers, thread_name_prefix="tovik-day-reader") as pool:
        ahead = [pool.submit(reader.read, *chunk) for chunk in chunks[:readers]]
        try:
            for k in range(len(chunks)):
                day = ahead.pop(0).result()  # in order, whichever finished first
                if k + readers < len(chunks):
                    ahead.append(pool.submit(reader.read, *chunks[k + readers]))
                yield day
        finally:
            for future in ahead:
                future.cancel()
