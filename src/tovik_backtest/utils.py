"""Console, logger, time parsing and directory services used by the matcher and the ticker.

The C++ modules look ``console.print`` and ``logger.error`` up on this module at every
call, so replacing either (or the objects themselves) redirects their output.
"""

from __future__ import annotations

import contextlib
import datetime as dt
import io
import logging
import os
import re
from collections.abc import Iterator

from rich.console import Console

__all__ = ["console", "logger", "format_to_dt", "format_nano_ts_to_second_ts", "make_dir", "quiet_console"]

# Highlighting is off: the lines carry their own colour mark-up, and automatic
# highlighting costs more than the rest of printing a line.
console = Console(highlight=False)
logger = logging.getLogger("tovik_backtest")

_PLAIN_DATE = re.compile(r"\d{4}-\d{2}-\d{2}", re.ASCII)
_DT_FORMATS = (
    "%Y-%m-%d",
    "%Y-%m-%d %H:%M:%S",
    "%Y-%m-%d %H:%M:%S.%f",
    "%Y-%m-%dT%H:%M:%S",
    "%Y-%m-%dT%H:%M:%S.%f",
    "%Y-%m-%dT%H:%M",
    "%Y-%m-%d %H:%M",
)


def format_to_dt(text: str) -> dt.datetime:
    """Parse a period bound: "%Y-%m-%d", "%Y-%m-%d %H:%M:%S" (optional fraction) or ISO "T" form."""
    if type(text) is not str:
        raise TypeError(f"format_to_dt() expects str, not {type(text).__name__}")
    stripped = text.strip()
    if len(stripped) == 10 and _PLAIN_DATE.fullmatch(stripped):
        # the common case without strptime, whose first call costs a run ~10 ms of set-up
        with contextlib.suppress(ValueError):  # e.g. 2024-02-30: refused below, in the usual words
            return dt.datetime(int(stripped[:4]), int(stripped[5:7]), int(stripped[8:]))
    for fmt in _DT_FORMATS:
        try:
            return dt.datetime.strptime(stripped, fmt)
        except ValueError:
            continue
    raise ValueError(f"無法解析的時間格式: {text!r}")


def format_nano_ts_to_second_ts(ts: int, utc_offset_hours: int = 8) -> float:
    """Broker tick stamp (nanoseconds of local wall-clock time stamped as UTC) to POSIX seconds.

    ``utc_offset_hours`` is the local zone's offset from UTC: 8 for Taiwan.
    """
    return ts / 1e9 - utc_offset_hours * 3600


def make_dir(path: str) -> None:
    """Create ``path`` and its missing parents; an existing directory is no error."""
    os.makedirs(path, exist_ok=True)


class _SilentConsole(Console):
    """A console whose lines go nowhere without being rendered first (rich renders a
    quiet console's text before it drops it)."""

    def print(self, *objects: object, **kwargs: object) -> None:
        return None

    def log(self, *objects: object, **kwargs: object) -> None:
        return None


@contextlib.contextmanager
def quiet_console(enabled: bool = True) -> Iterator[None]:
    """Send the modules' console lines nowhere inside the block (a run prints one per order).

    ``enabled`` False leaves the console alone, so callers need no second code path.
    """
    global console
    if not enabled:
        yield
        return
    saved = console
    console = _SilentConsole(file=io.StringIO(), quiet=True)
    try:
        yield
    finally:
        console = saved
