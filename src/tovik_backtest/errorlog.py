"""The error records the native modules log during a run, kept whole and made readable.

The matcher and the ticker log each failure as one JSON text ({"error", "traceback",
"data"}, non-ASCII written as \\u escapes) through ``utils.logger.error``. A run keeps
every record as it came (for ``errors.jsonl``) and can show one line per record in the
characters it was written in.
"""

from __future__ import annotations

import datetime as dt
import json
import logging
from collections.abc import Callable
from typing import Any

from tovik_backtest import utils
from tovik_backtest.market import TAIPEI

__all__ = ["ErrorLog", "readable"]

def _value(key: str, value: Any) -> str:
    if key == "date" and type(value) in (int, float):
        try:
            return dt.datetime.fromtimestamp(value, TAIPEI).date().isoformat()
        except (OverflowError, OSError, ValueError):
            pass
    return str(value)


def readable(text: str) -> str:
    """One line of an error record: its message, then what it was about."""
    try:
        record = json.loads(text)
    except (TypeError, ValueError):
        return f"error: {text}"
    if not isinstance(record, dict):
        return f"error: {text}"
    line = f"error: {record.get('error', '')}"
    data = record.get("data")
    if isinstance(data, dict) and data:
        line += " (" + ", ".join(f"{k} {_value(k, v)}" for k, v in data.items()) + ")"
    elif data not in (None, "", {}):
        line += f" ({data})"
    return line


class ErrorLog(logging.Handler):
    """Inside ``with``: every record the modules log is kept in ``records`` (and handed,
    readable, to ``echo``), and none reaches the logging system's last-resort output."""

    def __init__(self, echo: Callable[[str], None] | None = None) -> None:
        super().__init__(logging.ERROR)
        self.records: list[str] = []
        self.echo = echo
        self._logger: logging.Logger | None = None
        self._propagate = True

    def emit(self, record: logging.LogRecord) -> None:
        text = record.getMessage()
        self.records.append(text)
        if self.echo is not None:
            self.echo(readable(text))

    def __enter__(self) -> ErrorLog:
        logger = utils.logger
        if isinstance(logger, logging.Logger):  # a host may have put its own object there
            self._logger, self._propagate = logger, logger.propagate
            logger.addHandler(self)
            logger.propagate = False
        return self

    def __exit__(self, *exc: object) -> None:
        if self._logger is not None:
            self._logger.removeHandler(self)
            self._logger.propagate = self._propagate
            self._logger = None
