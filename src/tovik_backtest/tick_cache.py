"""The tick cache on the Python side: where a day's ticks are stored and in what columns.

One CSV per instrument and day, ``<data dir>/sino/ticks/<code> <day> - ticks.csv``, with
the eight columns of ``TICK_SCHEMA``; the ticker reads and writes the same files. A day
without ticks is a header-only file, so it is never asked for again.

Beside each CSV the back-test engine keeps a binary copy of the table the ticker read
from it (``<data dir>/sino/tick-tables/<csv name>.ticks``: a header, then the rows as
``TICK_RECORD`` records), so a day read again costs no CSV parsing. The CSV stays the record: a copy counts only while
the CSV's size, modification time and inode are the ones written at the copy's head.
The folder may be deleted at any time; it is made again as days are read.
"""

from __future__ import annotations

import contextlib
import os
import struct
import time
import uuid
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import polars as pl

__all__ = ["SETTLED_SECONDS", "TABLES_FOLDER", "TICKS_FOLDER", "TICK_RECORD", "TICK_SCHEMA", "plausible",
           "read_table_copy", "table_rows", "tick_file", "tick_file_name", "ticks_dir", "write_table_copy"]

# Below the data directory: the broker's name, then the kind of data.
TICKS_FOLDER = ("sino", "ticks")
TABLES_FOLDER = ("sino", "tick-tables")

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


# A kept table's file: this header, then its rows as little-endian records of
# TICK_RECORD, in the order the CSV holds them.
_COPY_HEADER = struct.Struct("<8sqqqq")  # format mark; the CSV's size, mtime (ns), inode; rows
_COPY_MARK = b"TVKTBL02"
# A CSV changed this recently may change again within its modification time's
# resolution (up to 2 s on some file systems) and keep the same stamp: no copy yet.
SETTLED_SECONDS = 2.0

Rows = npt.NDArray[np.void]  # TICK_RECORD rows
TICK_RECORD = np.dtype([(name, "<i8" if kind == pl.Int64 else "<f8") for name, kind in TICK_SCHEMA.items()])


def _copy_path(data_dir: str | os.PathLike[str], csv: Path) -> Path:
    return Path(data_dir).joinpath(*TABLES_FOLDER) / f"{csv.name}.ticks"


def _copy_header(stat: os.stat_result, rows: int) -> bytes:
    return _COPY_HEADER.pack(_COPY_MARK, stat.st_size, stat.st_mtime_ns, stat.st_ino, rows)


def plausible(columns: Any) -> bool:
    """Do the columns (``TICK_RECORD`` rows, or a mapping of its field names to arrays)
    hold only what a vetted table can: finite prices, a positive close, volumes of zero
    or more? Kept rows failing this were damaged on disk."""
    with np.errstate(invalid="ignore"):
        close = columns["close"]
        prices = np.isfinite(close).all() and (close > 0).all()
        for side in ("bid_price", "ask_price"):
            prices = prices and np.isfinite(columns[side]).all() and (columns[side] >= 0).all()
    return bool(prices) and all((columns[v] >= 0).all() for v in ("volume", "bid_volume", "ask_volume"))


def read_table_copy(data_dir: str | os.PathLike[str], csv: Path, stat: os.stat_result, *,
                    check: bool = True) -> Rows | None:
    """The kept rows (``TICK_RECORD``) of ``csv`` as it is now (``stat``), or None when
    there are none. A copy made from another version of the CSV is passed over (the next
    copy replaces it); one that is cut short, or (with ``check``) holds impossible values,
    is removed. Without ``check`` the caller checks the rows (``plausible``), as a
    whole day's merged columns cost fewer passes than each file's."""
    path = _copy_path(data_dir, csv)
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError:  # none kept, or the folder cannot be read: the CSV is parsed
        return None
    if len(data) < _COPY_HEADER.size:
        rows = None
    else:
        mark, size, mtime_ns, inode, count = _COPY_HEADER.unpack_from(data)
        if (mark, size, mtime_ns, inode) != (_COPY_MARK, stat.st_size, stat.st_mtime_ns, stat.st_ino):
            return None
        fits = len(data) == _COPY_HEADER.size + count * TICK_RECORD.itemsize
        rows = np.frombuffer(data, dtype=TICK_RECORD, offset=_COPY_HEADER.size) if fits else None
    if rows is None or (check and not plausible(rows)):
        with contextlib.suppress(OSError):
            path.unlink()
        return None
    return rows


def table_rows(table: pl.DataFrame) -> Rows:
    """A tick table (``TICK_SCHEMA``, no missing values) as ``TICK_RECORD`` rows."""
    rows = np.empty(table.height, dtype=TICK_RECORD)
    for name in TICK_SCHEMA:
        rows[name] = table[name].to_numpy()
    return rows


def write_table_copy(data_dir: str | os.PathLike[str], csv: Path, stat: os.stat_result, rows: Rows) -> None:
    """Keep ``rows``, read from ``csv`` while it was as ``stat`` says, in place of any
    older copy. Written under a temporary name and renamed, so a reader never sees part
    of one; a folder that cannot be written only means the CSV is parsed next time too.
    A CSV changed in the last ``SETTLED_SECONDS`` gets no copy yet."""
    if time.time_ns() - stat.st_mtime_ns < SETTLED_SECONDS * 1e9:
        return
    path = _copy_path(data_dir, csv)
    tmp = path.with_name(f".{path.name}.{uuid.uuid4().hex}.tmp")
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(tmp, "xb") as file:
            file.write(_copy_header(stat, len(rows)))
            file.write(rows.tobytes())
        os.replace(tmp, path)
    except OSError:
        with contextlib.suppress(OSError):
            tmp.unlink()
