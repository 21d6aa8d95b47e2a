"""The tick cache on the Python side: where a day's ticks are stored and in what columns.

One CSV per instrument and day, ``<data dir>/sino/ticks/<code> <day> - ticks.csv``, with
the eight columns of ``TICK_SCHEMA``; the ticker reads and writes the same files. A day
without ticks is a header-only file, so it is never asked for again.

Beside each CSV the back-test engine keeps a binary copy of the table the ticker read
from it (``<data dir>/sino/tick-tables/<csv name>.ticks``: a header, then the rows as
``TICK_RECORD`` records), so a day read again costs no CSV parsing. The CSV stays the
record: a copy counts only while the CSV's size, modification time, change time and
inode are the ones written at the copy's head. The copy is sealed: its header carries
an xxh3 checksum of the header's other fields and of every record, checked on every
load; a copy that fails it (or is cut short, or holds impossible values) is removed,
with one error record, and the CSV is read again. The folder may be deleted at any
time; it is made again as days are read. Temporary files a killed writer left in
either folder are removed once they are an hour old, when the folder is next written.
"""

from __future__ import annotations

import contextlib
import json
import os
import struct
import threading
import time
import uuid
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
import polars as pl
import xxhash

from tovik_backtest import utils

__all__ = ["SETTLED_SECONDS", "STALE_TEMPORARY_SECONDS", "TABLES_FOLDER", "TICKS_FOLDER", "TICK_RECORD",
           "TICK_SCHEMA", "KeptTable", "plausible", "read_table_copy", "remove_stale_temporaries", "repeated_rows",
           "same_file",
           "table_rows", "tick_file", "tick_file_name", "ticks_dir", "write_table_copy"]

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
_COPY_HEADER = struct.Struct("<8sqqqqqqQ")
# format mark; the CSV's size, mtime (ns), ctime (ns), inode; rows; rows repeated
# exactly; the xxh3-64 checksum of the header before it and of the records
_COPY_MARK = b"TVKTBL03"
_SEALED = _COPY_HEADER.size - 8  # the header's bytes the checksum covers
# A CSV changed this recently may change again within its modification time's
# resolution (up to 2 s on some file systems) and keep the same stamp: no copy yet.
SETTLED_SECONDS = 2.0
# A temporary file this old was left by a writer that died (a whole day is written in
# seconds): it is removed when its folder is next written.
STALE_TEMPORARY_SECONDS = 3600.0

Rows = npt.NDArray[np.void]  # TICK_RECORD rows
TICK_RECORD = np.dtype([(name, "<i8" if kind == pl.Int64 else "<f8") for name, kind in TICK_SCHEMA.items()])
# Two rows are the same tick printed twice when all of these match (the tick type is
# the broker's reading of them).
_REPEAT_KEY = ("ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume")


class KeptTable(NamedTuple):
    """A kept copy's rows (``TICK_RECORD``) and how many of them repeat an earlier row
    exactly."""

    rows: Rows
    repeated: int


def _copy_path(data_dir: str | os.PathLike[str], csv: Path) -> Path:
    return Path(data_dir).joinpath(*TABLES_FOLDER) / f"{csv.name}.ticks"


def _stamps(stat: os.stat_result) -> tuple[int, int, int, int]:
    return stat.st_size, stat.st_mtime_ns, stat.st_ctime_ns, stat.st_ino


def same_file(a: os.stat_result, b: os.stat_result) -> bool:
    """Do two looks at a CSV see the same version of it (size, times, inode)?"""
    return _stamps(a) == _stamps(b)


def _checksum(sealed: bytes | memoryview, records: bytes | memoryview) -> int:
    return xxhash.xxh3_64_intdigest(records, seed=xxhash.xxh3_64_intdigest(sealed))


def _copy_bytes(stat: os.stat_result, rows: Rows, repeated: int) -> tuple[bytes, bytes]:
    records = rows.tobytes()
    sealed = _COPY_HEADER.pack(_COPY_MARK, *_stamps(stat), len(rows), repeated, 0)[:_SEALED]
    return sealed + struct.pack("<Q", _checksum(sealed, records)), records


def repeated_rows(table: pl.DataFrame) -> int:
    """How many rows of a tick table repeat an earlier row exactly (same time, prices,
    volumes and quotes): a doubled file, or real trades printed alike."""
    if table.height < 2:
        return 0
    return table.height - table.select(_REPEAT_KEY).n_unique()


def _refuse_copy(path: Path, reason: str) -> None:
    """A kept copy that cannot be trusted: removed, with one error record."""
    removed = True
    try:
        path.unlink()
    except FileNotFoundError:
        pass
    except OSError:
        removed = False
    data = {"file": str(path), "reason": reason, "removed": removed}
    utils.logger.error(json.dumps({"error": f"kept tick table {path.name} is damaged ({reason}); "
                                            "its CSV is read instead", "traceback": "", "data": data}))


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
                    check: bool = True) -> KeptTable | None:
    """The kept rows of ``csv`` as it is now (``stat``), or None when there are none. A
    copy made from another version of the CSV is passed over (the next copy replaces
    it); one that is cut short, fails its checksum or (with ``check``) holds impossible
    values is removed, with an error record. Without ``check`` the caller checks the
    rows (``plausible``), as a whole day's merged columns cost fewer passes than each
    file's."""
    path = _copy_path(data_dir, csv)
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError:  # none kept, or the folder cannot be read: the CSV is parsed
        return None
    if not data.startswith(_COPY_MARK):
        return None  # another format's copy (an older version of this package): replaced
    if len(data) < _COPY_HEADER.size:
        _refuse_copy(path, "cut short")
        return None
    mark, size, mtime_ns, ctime_ns, inode, count, repeated, digest = _COPY_HEADER.unpack_from(data)
    if (mark, size, mtime_ns, ctime_ns, inode) != (_COPY_MARK, *_stamps(stat)):
        return None
    view = memoryview(data)
    if len(data) != _COPY_HEADER.size + count * TICK_RECORD.itemsize:
        _refuse_copy(path, "cut short" if len(data) < _COPY_HEADER.size + count * TICK_RECORD.itemsize else "too long")
        return None
    if _checksum(view[:_SEALED], view[_COPY_HEADER.size:]) != digest:
        _refuse_copy(path, "checksum mismatch")
        return None
    rows = np.frombuffer(data, dtype=TICK_RECORD, offset=_COPY_HEADER.size)
    if check and not plausible(rows):
        _refuse_copy(path, "impossible values")
        return None
    return KeptTable(rows, repeated)


def remove_stale_temporaries(folder: str | os.PathLike[str]) -> None:
    """Remove the temporary files (``*.tmp``) in ``folder`` that a writer left over an
    hour ago (it died before renaming them); looked for at most once an hour per folder
    and process, so writing many days costs one listing."""
    key = os.path.abspath(folder)
    now = time.time()
    with _swept_lock:
        if now - _swept.get(key, -STALE_TEMPORARY_SECONDS) < STALE_TEMPORARY_SECONDS:
            return
        _swept[key] = now
    try:
        entries = list(os.scandir(key))
    except OSError:
        return
    for entry in entries:
        if not entry.name.endswith(".tmp"):
            continue
        with contextlib.suppress(OSError):
            if entry.is_file(follow_symlinks=False) and now - entry.stat().st_mtime > STALE_TEMPORARY_SECONDS:
                os.unlink(entry.path)


_swept: dict[str, float] = {}  # folder -> when its stale temporary files were last removed
_swept_lock = threading.Lock()


def table_rows(table: pl.DataFrame) -> Rows:
    """A tick table (``TICK_SCHEMA``, no missing values) as ``TICK_RECORD`` rows."""
    rows = np.empty(table.height, dtype=TICK_RECORD)
    for name in TICK_SCHEMA:
        rows[name] = table[name].to_numpy()
    return rows


def write_table_copy(data_dir: str | os.PathLike[str], csv: Path, stat: os.stat_result, rows: Rows,
                     repeated: int = 0) -> None:
    """Keep ``rows`` (of which ``repeated`` repeat an earlier row), read from ``csv``
    while it was as ``stat`` says, in place of any older copy. Written under a temporary
    name and renamed, so a reader never sees part of one; a folder that cannot be
    written only means the CSV is parsed next time too. A CSV changed in the last
    ``SETTLED_SECONDS`` gets no copy yet."""
    if time.time_ns() - stat.st_mtime_ns < SETTLED_SECONDS * 1e9:
        return
    path = _copy_path(data_dir, csv)
    tmp = path.with_name(f".{path.name}.{uuid.uuid4().hex}.tmp")
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        remove_stale_temporaries(path.parent)
        header, records = _copy_bytes(stat, rows, repeated)
        with open(tmp, "xb") as file:
            file.write(header)
            file.write(records)
        os.replace(tmp, path)
    except OSError:
        with contextlib.suppress(OSError):
            tmp.unlink()
