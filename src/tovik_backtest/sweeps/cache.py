"""Filling the tick cache before a sweep, so that workers only ever read it."""

from __future__ import annotations

import datetime as dt
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from tovik_backtest import utils
from tovik_backtest.broker import login_from_env
from tovik_backtest.constant import BASIC_INFO
from tovik_backtest.errors import SweepError, UsageError
from tovik_backtest.instruments import Instrument
from tovik_backtest.tick_cache import tick_file

__all__ = ["missing_days", "precache"]


def _days(start: str, end: str) -> list[str]:
    first, last = utils.format_to_dt(start).date(), utils.format_to_dt(end).date()
    out = []
    while first <= last:
        out.append(first.isoformat())
        first += dt.timedelta(days=1)
    return out


def missing_days(
    instruments: Sequence[Instrument], periods: Sequence[tuple[str, str]], data_dir: Path
) -> list[tuple[Instrument, str]]:
    """The instrument-days of the periods that have no cache file yet, each once, in order."""
    seen: set[tuple[str, str]] = set()
    missing: list[tuple[Instrument, str]] = []
    for start, end in periods:
        for day in _days(start, end):
            for inst in instruments:
                key = (inst.code, day)
                if key in seen:
                    continue
                seen.add(key)
                if not tick_file(data_dir, inst.code, day).is_file():
                    missing.append((inst, day))
    return missing


def precache(
    instruments: Sequence[Instrument],
    periods: Sequence[tuple[str, str]],
    data_dir: Path,
    *,
    login: Callable[[], Any] | None = None,
    ticker_cls: Any = None,
    today: dt.date | None = None,
    allow_missing: bool = False,
) -> int:
    """Download every missing instrument-day once, on this process; return how many.

    Logs in to the broker only when a day is missing (``login``, by default with the
    credentials of the environment). Days from today on are never stored by the cache,
    so a missing one is an error rather than a silent gap. With ``allow_missing`` the
    runs go without the days that cannot be had (each run's summary lists them): those
    from today on are not asked for, and without broker credentials nothing is.
    """
    missing = missing_days(instruments, periods, data_dir)
    today = today or dt.date.today()
    if allow_missing:
        missing = [(i, d) for i, d in missing if dt.date.fromisoformat(d) < today]
    if not missing:
        return 0
    uncacheable = [(i, d) for i, d in missing if dt.date.fromisoformat(d) >= today]
    if uncacheable:
        inst, day = uncacheable[0]
        raise SweepError(
            f"ticks of {inst.code} on {day} are not cached and cannot be: only days before "
            f"today ({today.isoformat()}) are stored; end the sweep's period earlier"
        )
    first = f"{missing[0][0].code} {missing[0][1]}"
    try:
        api = (login or login_from_env)()
    except UsageError as exc:
        if allow_missing:
            return 0  # no credentials: the runs go without these days and say so
        raise UsageError(
            f"{len(missing)} instrument-days are not cached under {data_dir} (first: "
            f"{first}); {exc}"
        ) from None
    except Exception as exc:
        raise SweepError(f"broker login failed ({type(exc).__name__}: {exc}); "
                         f"{len(missing)} instrument-days need downloading (first: {first})"
                         ) from exc
    try:
        if ticker_cls is None:
            from tovik_backtest.modules.ticker.ticker import Ticker as ticker_cls
        with BASIC_INFO.override(data_dir), utils.quiet_console(True):
            ticker = ticker_cls(api)
            for inst, day in missing:
                try:
                    ticker.get_ticks_df(inst.code, inst.market, day, day)
                except Exception as exc:
                    raise SweepError(f"downloading the ticks of {inst.code} {day} failed: "
                                     f"{type(exc).__name__}: {exc}") from exc
    finally:
        logout = getattr(api, "logout", None)
        if callable(logout):
            try:
                logout()
            except Exception:  # noqa: BLE001, S110 - the days are stored; nothing is lost
                pass
    # The ticker logs a failed day and goes on; a day still missing would be a silent
    # gap in every run, so it stops the sweep here.
    still = [(i, d) for i, d in missing if not tick_file(data_dir, i.code, d).is_file()]
    if still and not allow_missing:
        listed = ", ".join(f"{i.code} {d}" for i, d in still[:5])
        more = f" and {len(still) - 5} more" if len(still) > 5 else ""
        raise SweepError(f"could not download the ticks of {listed}{more}; see the error log")
    return len(missing)
