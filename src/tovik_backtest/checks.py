"""What a back-test's set-up must satisfy before anything runs: periods in order, a
warm-up that ends before the period, a data folder that exists."""

from __future__ import annotations

import datetime as dt
from pathlib import Path
from typing import Any

from tovik_backtest import utils
from tovik_backtest.errors import BacktestError

__all__ = ["check_data_dir", "check_periods", "parse_bound", "warm_up"]


def warm_up(start: str | None, end: str | None) -> tuple[str, str] | None:
    """The warm-up period of the bounds given, None without one; a lone bound is both
    ends (as the replay takes it). Its ticks only build the strategy's state: they are
    not matched, and orders placed while they are handed over are refused."""
    if not start and not end:
        return None
    return (start or end or "", end or start or "")


def parse_bound(name: str, value: Any) -> dt.datetime:
    if type(value) is not str:
        raise BacktestError(f"{name} must be a date text such as 2024-01-02, not {value!r}")
    try:
        return utils.format_to_dt(value)
    except ValueError:
        raise BacktestError(f"{name} {value!r} is not a date: write it as YYYY-MM-DD "
                            "(optionally with HH:MM:SS)") from None


def _exclusive_end(text: str, at: dt.datetime) -> dt.datetime:
    # A bare day as the end of a period means the whole of that day.
    return at + dt.timedelta(days=1) if len(text.strip()) == 10 else at


def check_periods(start: Any, end: Any, backfill_start: Any, backfill_end: Any) -> None:
    first, last = parse_bound("start", start), parse_bound("end", end)
    if first > last:
        raise BacktestError(f"the period is reversed: start {start} is after end {end}")
    given: dict[str, str] = {}
    for name, value in (("backfill_start", backfill_start), ("backfill_end", backfill_end)):
        if value is not None and type(value) is not str:
            raise BacktestError(f"{name} must be a date text or None, not {value!r}")
        if value:
            given[name] = value
    if not given:
        return
    # the replay takes a lone warm-up bound for both ends
    w_start = given.get("backfill_start") or given["backfill_end"]
    w_end = given.get("backfill_end") or w_start
    w_first, w_last = parse_bound("backfill_start", w_start), parse_bound("backfill_end", w_end)
    if w_first > w_last:
        raise BacktestError(f"the warm-up is reversed: backfill_start {w_start} is after "
                            f"backfill_end {w_end}")
    if _exclusive_end(w_end, w_last) > first:
        raise BacktestError(f"the warm-up must end before the period starts: backfill_end {w_end} "
                            f"reaches into start {start} (that would replay ticks the strategy "
                            "has already seen); end the warm-up on an earlier day")


def check_data_dir(data_dir: Any, api: Any) -> None:
    if data_dir is None:
        return
    try:
        folder = Path(data_dir)
    except TypeError:
        raise BacktestError(f"data_dir must be a folder path, not {data_dir!r}") from None
    if folder.exists() and not folder.is_dir():
        raise BacktestError(f"data directory {folder} is a file, not a folder of cached ticks")
    if not folder.exists() and not api:
        raise BacktestError(f"data directory {folder} does not exist: give the folder that holds "
                            "the tick cache (or log in to download into a new one)")
