"""Which trading days of a run the tick cache can give, and which it cannot.

Before a run: every trading day of every instrument (warm-up included) that is neither
cached nor downloadable is missing, and so is one whose cached file holds no ticks (only
the header line: the broker had none to give, or the file was emptied). During a run the
ticker may find a file damaged and set it aside (renamed ``<file>.corrupt.<stamp>``);
such a day counts as missing too, and so does a damaged file that could not be moved
(a read-only cache), which the ticker's error record names.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

from tovik_backtest import market as mk
from tovik_backtest.errors import BacktestError
from tovik_backtest.instruments import Instrument
from tovik_backtest.tick_cache import TICK_SCHEMA, tick_file, tick_file_name, ticks_dir

__all__ = ["NOT_CACHED", "MissingDay", "Coverage", "missing_error"]

NOT_CACHED = "not in the cache; log in (`--login`) to download it"
SET_ASIDE = "its cached file could not be read and was set aside as {name}; fetch the day again (`--login`)"
HEADER_ONLY = "its cached file holds no ticks (only the header line); delete it to fetch the day again (`--login`)"
NOT_MOVED = ("its cached file is damaged ({reason}) and could not be moved aside ({why}); make the cache folder "
             "writable or remove the file, then fetch the day again (`--login`)")
# a header-only file is this small (the header line, maybe blank lines after it)
_HEADER = ",".join(TICK_SCHEMA).encode()
_SMALL = 4 * len(_HEADER)
# a refusal names this many days, then says how many more there are
_LISTED = 10


@dataclass(frozen=True)
class MissingDay:
    code: str
    market: str
    day: str  # YYYY-MM-DD
    reason: str

    def line(self) -> str:
        return f"{self.code} {self.day}: {self.reason}"


def _days(start: str, end: str) -> list[str]:
    first, last = start.strip()[:10], end.strip()[:10]
    try:
        return [d.isoformat() for d in mk.trading_days(first, last)]
    except mk.PastCalendarError as exc:
        raise BacktestError(f"the period {first} to {last} cannot be run: {exc}") from None


class Coverage:
    """The trading days a run asks the cache for, per instrument, over its periods
    (the warm-up and the test period)."""

    def __init__(self, instruments: Sequence[Instrument], periods: Iterable[tuple[str, str]],
                 data_dir: str | os.PathLike[str]) -> None:
        self.instruments = list(instruments)
        self.data_dir = data_dir
        days: set[str] = set()
        for start, end in periods:
            days.update(_days(start, end))
        self.days = sorted(days)
        self._aside_before = self._set_aside_files()

    def not_cached(self) -> list[MissingDay]:
        """Days whose cache file is absent (what a run without a broker cannot fill)."""
        return [MissingDay(i.code, i.market, day, NOT_CACHED)
                for day in self.days for i in self.instruments
                if not tick_file(self.data_dir, i.code, day).is_file()]

    def header_only(self) -> list[MissingDay]:
        """Trading days whose cache file holds only the header line: no ticks to replay."""
        out = []
        for day in self.days:
            for i in self.instruments:
                path = tick_file(self.data_dir, i.code, day)
                try:
                    if os.stat(path).st_size > _SMALL:
                        continue
                    head, _, rest = path.read_bytes().partition(b"\n")
                except OSError:
                    continue  # absent or unreadable: named elsewhere
                if head.strip() == _HEADER and not rest.strip():
                    out.append(MissingDay(i.code, i.market, day, HEADER_ONLY))
        return out

    def not_moved(self, records: Iterable[str]) -> list[MissingDay]:
        """Days whose file the run found damaged but could not set aside, from the
        ticker's error records (they name the file, the reason and why it stayed)."""
        stuck: dict[str, tuple[str, str]] = {}
        for text in records:
            try:
                data = json.loads(text).get("data")
            except (ValueError, AttributeError):
                continue
            if isinstance(data, dict) and "not_moved" in data and isinstance(data.get("file"), str):
                stuck[os.path.basename(data["file"])] = (str(data.get("reason", "")), str(data["not_moved"]))
        out = []
        for day in self.days:
            for i in self.instruments:
                found = stuck.get(tick_file_name(i.code, day))
                if found:
                    out.append(MissingDay(i.code, i.market, day, NOT_MOVED.format(reason=found[0], why=found[1])))
        return out

    def set_aside(self) -> list[MissingDay]:
        """Days whose file the run found unreadable and set aside."""
        found = self._set_aside_files() - self._aside_before
        out = []
        for day in self.days:
            for i in self.instruments:
                prefix = tick_file_name(i.code, day) + ".corrupt."
                names = sorted(n for n in found if n.startswith(prefix))
                if names:
                    out.append(MissingDay(i.code, i.market, day, SET_ASIDE.format(name=names[-1])))
        return out

    def _set_aside_files(self) -> set[str]:
        # names only: a cache of many years holds many thousands of files
        try:
            return {name for name in os.listdir(ticks_dir(self.data_dir)) if ".corrupt." in name}
        except OSError:
            return set()


def missing_error(missing: Sequence[MissingDay], *, during_run: bool = False) -> BacktestError:
    """The one-line refusal of a run that lacks ``missing`` days, each named with its reason."""
    count = len(missing)
    days = "trading day has" if count == 1 else "trading days have"
    head = f"{count} {days} no ticks" + (" (found during the run)" if during_run else "")
    named = [m.line() for m in missing[:_LISTED]]
    if count > _LISTED:
        named.append(f"... and {count - _LISTED} more")
    return BacktestError(f"{head}: {' | '.join(named)}; fetch them, or pass allow_missing=True "
                         "(`--allow-missing`) to run without them")
