from pathlib import Path

import pytest

from tovik_backtest import tick_cache


@pytest.mark.parametrize(
    ("data_dir", "code", "day", "expected"),
    [
        # The ticker (C++) reads and writes exactly these paths: the rule is pinned here.
        ("/data", "2330", "2024-01-02", "/data/sino/ticks/2330 2024-01-02 - ticks.csv"),
        (Path("rel"), "TXFR1", "2024-12-31", "rel/sino/ticks/TXFR1 2024-12-31 - ticks.csv"),
        ("/d", "台積電", "2024-01-02", "/d/sino/ticks/台積電 2024-01-02 - ticks.csv"),
    ],
)
def test_tick_file_rule(data_dir, code, day, expected):
    path = tick_cache.tick_file(data_dir, code, day)
    assert path == Path(expected)
    assert path.parent == tick_cache.ticks_dir(data_dir)
    assert path.name == tick_cache.tick_file_name(code, day)


# ---- kept copies: sealed, checked on every load --------------------------------------

import json  # noqa: E402
import os  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import polars as pl  # noqa: E402
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from tovik_backtest import utils  # noqa: E402

HOUR = 3600


def _table(n=5, doubled=0):
    base = 1_704_186_000_000_000_000  # 2024-01-02 09:00 in the cache's stamps
    cols = {
        "ts": [base + k * 10**9 for k in range(n)],
        "close": [100.0 + k for k in range(n)],
        "volume": [1 + k for k in range(n)],
        "bid_price": [99.5 + k for k in range(n)],
        "bid_volume": [3] * n,
        "ask_price": [100.5 + k for k in range(n)],
        "ask_volume": [4] * n,
        "tick_type": [1 + k % 2 for k in range(n)],
    }
    table = pl.DataFrame(cols, schema=tick_cache.TICK_SCHEMA)
    return pl.concat([table, table.head(doubled)]) if doubled else table


def _settled_csv(data_dir, table, code="2330"):
    csv = tick_cache.tick_file(data_dir, code, "2024-01-02")
    csv.parent.mkdir(parents=True, exist_ok=True)
    table.write_csv(csv)
    stamp = time.time_ns() - HOUR * 10**9
    os.utime(csv, ns=(stamp, stamp))
    return csv, os.stat(csv)


def _copy_file(data_dir, csv):
    return data_dir.joinpath(*tick_cache.TABLES_FOLDER) / f"{csv.name}.ticks"


@pytest.fixture
def records(monkeypatch):
    kept: list[str] = []
    monkeypatch.setattr(utils.logger, "error", kept.append)
    return kept


@pytest.mark.parametrize("n, doubled, repeated", [(0, 0, 0), (1, 0, 0), (5, 0, 0), (5, 2, 2), (5, 5, 5)])
def test_a_kept_copy_gives_back_its_rows_and_repeats(tmp_path, records, n, doubled, repeated):
    table = _table(n, doubled)
    assert tick_cache.repeated_rows(table) == repeated
    csv, stat = _settled_csv(tmp_path, table)
    tick_cache.write_table_copy(tmp_path, csv, stat, tick_cache.table_rows(table), repeated)
    kept = tick_cache.read_table_copy(tmp_path, csv, stat)
    assert kept is not None and kept.repeated == repeated
    assert kept.rows.tobytes() == tick_cache.table_rows(table).tobytes() and records == []


@pytest.mark.parametrize("change", ["size", "mtime", "ctime", "inode"])
def test_a_copy_counts_only_for_the_csv_version_it_was_made_from(tmp_path, records, change):
    table = _table()
    csv, stat = _settled_csv(tmp_path, table)
    tick_cache.write_table_copy(tmp_path, csv, stat, tick_cache.table_rows(table))
    if change == "size":
        csv.write_text(csv.read_text() + csv.read_text().splitlines()[-1] + "\n")
    elif change == "mtime":
        os.utime(csv, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1))
    elif change == "ctime":  # edited in place, same size, modification time put back
        text = csv.read_text()
        csv.write_text(text.replace("101.0", "109.0", 1))
        os.utime(csv, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    else:
        os.replace(csv, csv.with_suffix(".old"))
        csv.write_bytes(csv.with_suffix(".old").read_bytes())
        os.utime(csv, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    now = os.stat(csv)
    assert (change == "size") == (now.st_size != stat.st_size)
    assert tick_cache.read_table_copy(tmp_path, csv, now) is None
    assert _copy_file(tmp_path, csv).exists() and records == []  # passed over: the next copy replaces it


@pytest.mark.parametrize(
    "damage, reason",
    [
        (lambda data: data[:-3], "cut short"),
        (lambda data: data[:20], "cut short"),
        (lambda data: data[:8], "cut short"),
        (lambda data: data + b"\0" * 64, "too long"),
        (lambda data: data[:-8] + bytes(8), "checksum mismatch"),  # the last row's tick type zeroed
        (lambda data: data[:56] + bytes([data[56] ^ 1]) + data[57:], "checksum mismatch"),  # the repeat count
    ],
)
def test_a_damaged_copy_is_removed_with_one_error_record(tmp_path, records, damage, reason):
    table = _table()
    csv, stat = _settled_csv(tmp_path, table)
    tick_cache.write_table_copy(tmp_path, csv, stat, tick_cache.table_rows(table))
    path = _copy_file(tmp_path, csv)
    path.write_bytes(damage(path.read_bytes()))
    assert tick_cache.read_table_copy(tmp_path, csv, stat) is None
    assert not path.exists()
    [record] = [json.loads(r) for r in records]
    assert record["data"] == {"file": str(path), "reason": reason, "removed": True}


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(where=st.floats(0, 1, exclude_max=True), mask=st.integers(1, 255))
def test_any_flipped_byte_gives_the_clean_rows_or_none(tmp_path, records, where, mask):
    records.clear()  # the fixtures serve every example
    table = _table(7, 2)
    csv, stat = _settled_csv(tmp_path, table)
    rows = tick_cache.table_rows(table)
    tick_cache.write_table_copy(tmp_path, csv, stat, rows, 2)
    path = _copy_file(tmp_path, csv)
    data = bytearray(path.read_bytes())
    at = int(where * len(data))
    data[at] ^= mask
    path.write_bytes(bytes(data))
    kept = tick_cache.read_table_copy(tmp_path, csv, stat)
    assert kept is None or (kept.rows.tobytes() == rows.tobytes() and kept.repeated == 2)
    assert kept is None  # every byte counts: a flip is never taken for the copy
    assert len(records) <= 1


@pytest.mark.parametrize(
    "name, age, removed",
    [
        (".2330 2024-01-02 - ticks.csv.ticks.0a1b.tmp", 2 * HOUR, True),
        ("2330 2024-01-02 - ticks.csv.tmp", 2 * HOUR, True),
        (".2330 2024-01-02 - ticks.csv.0a1b.tmp", HOUR - 60, False),  # a writer may still be at it
        ("2330 2024-01-02 - ticks.csv", 2 * HOUR, False),
        ("2330 2024-01-02 - ticks.csv.corrupt.20240103-101010-000001", 2 * HOUR, False),
    ],
)
def test_stale_temporary_files_go_when_the_folder_is_next_written(tmp_path, monkeypatch, name, age, removed):
    monkeypatch.setattr(tick_cache, "_swept", {})
    table = _table()
    csv, stat = _settled_csv(tmp_path, table)
    folder = _copy_file(tmp_path, csv).parent
    folder.mkdir(parents=True)
    for where in (folder, csv.parent):
        left = where / name
        left.write_bytes(b"x" * 10)
        os.utime(left, (time.time() - age, time.time() - age))
    tick_cache.write_table_copy(tmp_path, csv, stat, tick_cache.table_rows(table))
    assert (folder / name).exists() is not removed
    assert (csv.parent / name).exists()  # the CSV folder is swept when a CSV is written
    tick_cache.remove_stale_temporaries(csv.parent)
    assert (csv.parent / name).exists() is not removed
    (folder / "late.tmp").write_bytes(b"x")
    os.utime(folder / "late.tmp", (time.time() - age, time.time() - age))
    tick_cache.write_table_copy(tmp_path, csv, stat, tick_cache.table_rows(table))
    assert (folder / "late.tmp").exists()  # looked for once an hour per folder


def test_a_copy_of_many_rows_is_read_without_copying(tmp_path, records):
    table = _table(1000)
    csv, stat = _settled_csv(tmp_path, table)
    tick_cache.write_table_copy(tmp_path, csv, stat, tick_cache.table_rows(table))
    kept = tick_cache.read_table_copy(tmp_path, csv, stat)
    assert kept is not None and not kept.rows.flags.writeable  # a view of the bytes read
    assert np.array_equal(kept.rows["close"], table["close"].to_numpy())


@pytest.mark.parametrize("content", [b"", b"TVKTBL", b"TVKTBL02" + bytes(32), b"TVKTBL02" + bytes(200)])
def test_a_copy_of_another_format_is_passed_over_quietly(tmp_path, records, content):
    # copies an older version kept: replaced by the next copy, not reported as damage
    table = _table()
    csv, stat = _settled_csv(tmp_path, table)
    path = _copy_file(tmp_path, csv)
    path.parent.mkdir(parents=True)
    path.write_bytes(content)
    assert tick_cache.read_table_copy(tmp_path, csv, stat) is None and records == []
    tick_cache.write_table_copy(tmp_path, csv, stat, tick_cache.table_rows(table))
    assert tick_cache.read_table_copy(tmp_path, csv, stat) is not None
