"""The tick cache on the Python side: where a day's ticks are stored and in what columns.

One CSV per instrument and day, ``<data dir>/sino/ticks/<code> <day> - ticks.csv``, with
the eight columns of ``TICK_SCHEMA``; the ticker reads and writes the same files. A day
without ticks is a header-only file, so it is never asked for again.
"""

from __future__ import annotations

import os
from pathlib import Path

import polars as pl

__all__ = ["TICKS_FOLDER", "TICK_SCHEMA", "tick_file", "tick_file_name", "ticks_dir"]

# Below the data directory: the broker's name, then the kind of data.
TICKS_FOLDER = ("sino", "ticks")

TICK_SCHEMA: dict[str, type[pl.DataType]] = {
    "ts": pl.Int64,
    "close": pl.Float64,
    "volume": pl.Int64,
    "bid_price": pl.Float64,
    "bid_volume": pl.Int64,
    "ask_price": pl.Float64,
    "ask_volume": pl.Int64,
    "tick_type": pl.Int64,
}


def ticks_dir(data_dir: str | os.PathLike[str]) -> Path:
    """The folder holding the tick files of ``data_dir``."""
    return Path(data_dir).joinpath(*TICKS_FOLDER)


def tick_file_name(code: str, day: str) -> str:
    """File name of the ticks of ``code`` on ``day`` (YYYY-MM-DD)."""
    return f"{code} {day} - ticks.csv"


def tick_file(data_dir: str | os.PathLike[str], code: str, day: str) -> Path:
    """Path of the ticks of ``code`` on ``day`` (YYYY-MM-DD) under ``data_dir``."""
    return ticks_dir(data_dir) / tick_file_name(code, day)
