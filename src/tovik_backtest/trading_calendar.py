"""The trading days of the Taiwan exchanges, worked out once and kept beside the tick cache.

The days come from the XTAI calendar of ``exchange_calendars``, which (with pandas under
it) takes most of a second to import and build. What it gives is kept in
``<data dir>/sino/calendar/XTAI.json``: the library's version, the first year built, and
every trading day from that year's first to the last one the calendar knows. A process
reads that file instead of importing the library; it asks the library only when there
is no file, when the file was made by another version of the library, when a day
before the file's first year is asked for, or when a day after its last one is (a
calendar built later may know more). The file is written only into an existing data
directory, and whole (a temporary file renamed over it); one that cannot be read or
written only means the library is asked.
"""

from __future__ import annotations

import contextlib
import datetime as dt
import importlib.util
import json
import os
import threading
import uuid
import warnings
from pathlib import Path

from tovik_backtest.constant import BASIC_INFO

__all__ = ["CALENDAR_FOLDER", "CalendarRange", "calendar_file", "sessions"]

CALENDAR_FOLDER = ("sino", "calendar")
_NAME = "XTAI"
_LIBRARY = "exchange-calendars"
_PACKAGE = "exchange_calendars"
_FORMAT = 1


class CalendarRange:
    """Trading days from ``first_year`` on, ascending; ``days[-1]`` is the last day the
    calendar knows."""

    __slots__ = ("days", "first_year", "version")

    def __init__(self, days: list[dt.date], first_year: int, version: str) -> None:
        self.days, self.first_year, self.version = days, first_year, version

    def covers(self, day: dt.date) -> bool:
        return self.first_year <= day.year and day <= self.days[-1]


_lock = threading.Lock()
_known: CalendarRange | None = None  # the days this process works with
_built_from: int | None = None  # the first year of the library's build in this process, if any


def calendar_file(data_dir: str | os.PathLike[str]) -> Path:
    """Where the trading days are kept for ``data_dir``."""
    return Path(data_dir).joinpath(*CALENDAR_FOLDER, f"{_NAME}.json")


def _library_version() -> str:
    """The installed library's version, without importing it: the name of its
    distribution folder beside the package (the metadata machinery is slower to import
    than the kept days are to read), else what that machinery says."""
    located = importlib.util.find_spec(_PACKAGE)
    if located is not None and located.origin:
        site = os.path.dirname(os.path.dirname(located.origin))
        prefix = f"{_PACKAGE}-"
        with contextlib.suppress(OSError):
            found = [n for n in os.listdir(site) if n.startswith(prefix) and n.endswith(".dist-info")]
            if len(found) == 1:
                return found[0][len(prefix) : -len(".dist-info")]
    from importlib.metadata import version

    return version(_LIBRARY)


def _build(first_year: int) -> CalendarRange:
    """Every trading day from ``first_year`` on, from the library. A year past the
    calendar's end is built from last year instead (the caller then finds the day past
    the last one known)."""
    with warnings.catch_warnings():
        # the calendar library trips its own pandas deprecations; not ours to fix
        warnings.simplefilter("ignore", DeprecationWarning)
        warnings.simplefilter("ignore", FutureWarning)
        import exchange_calendars  # slow to import: only when the kept days do not do

        first_year = min(first_year, dt.date.today().year - 1)
        calendar = exchange_calendars.get_calendar(_NAME, start=f"{first_year}-01-01")
        days = [stamp.date() for stamp in calendar.sessions]
    return CalendarRange(days, first_year, _library_version())


def _read(path: Path, version: str) -> CalendarRange | None:
    try:
        kept = json.loads(path.read_text(encoding="utf-8"))
        if kept.get("format") != _FORMAT or kept.get("library") != version:
            return None
        days = [dt.date.fromordinal(n) for n in kept["days"]]
        first_year = int(kept["first_year"])
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return None
    if not days or days != sorted(days) or days[0].year < first_year:
        return None
    return CalendarRange(days, first_year, version)


def _write(path: Path, known: CalendarRange) -> None:
    """Keeps ``known`` for ``path``'s data directory, when that directory exists."""
    if not path.parents[len(CALENDAR_FOLDER)].is_dir():
        return
    text = json.dumps(
        {
            "format": _FORMAT,
            "library": known.version,
            "first_year": known.first_year,
            "days": [d.toordinal() for d in known.days],
        }
    )
    temp = path.with_name(f".{path.name}.{uuid.uuid4().hex}.tmp")
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        temp.write_text(text, encoding="utf-8")
        os.replace(temp, path)
    except OSError:
        temp.unlink(missing_ok=True)  # a read-only cache: the days are built again next time


def _serves(known: CalendarRange | None, day: dt.date) -> bool:
    # from the year before ``day``'s: the previous trading day of any day asked is there
    return known is not None and known.first_year < day.year and day <= known.days[-1]


def sessions(covering: dt.date) -> CalendarRange:
    """Trading days from at least the year before ``covering``'s; ``covering`` is past
    the last of them only when the library itself knows no later day."""
    global _known, _built_from
    with _lock:
        if _serves(_known, covering):
            return _known  # type: ignore[return-value]
        version = _library_version()
        path = calendar_file(BASIC_INFO.data_dir)
        kept = _read(path, version)
        if _serves(kept, covering):
            _known = kept
            return kept  # type: ignore[return-value]
        first_year = min([covering.year - 1] + [r.first_year for r in (_known, kept) if r and r.version == version])
        if _known is not None and _built_from is not None and _built_from <= first_year:
            return _known  # the library was asked in this process already: it knows no later day
        _known = _build(first_year)
        _built_from = _known.first_year
        _write(path, _known)
        return _known
