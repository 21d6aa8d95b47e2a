"""The trading days kept beside the tick cache: written once into an existing data
directory, read back instead of asking the calendar library, and built again when the
library's version differs, a year is missing or the file is damaged."""

import datetime as dt
import json
from types import SimpleNamespace

import pytest

from tovik_backtest import market, trading_calendar
from tovik_backtest.constant import BASIC_INFO

import testkit

LUNAR_NEW_YEAR_2024 = [dt.date(2024, 2, 5), dt.date(2024, 2, 15)]


@pytest.fixture
def fresh(monkeypatch, tmp_path):
    """A process that has not worked out any trading day yet, with ``tmp_path/data`` as
    its data directory; ``fresh.builds`` lists the first year of each library build."""
    monkeypatch.setattr(trading_calendar, "_known", None)
    monkeypatch.setattr(trading_calendar, "_built_from", None)
    builds: list[int] = []
    real_build = trading_calendar._build

    def counting(first_year):
        builds.append(first_year)
        return real_build(first_year)

    monkeypatch.setattr(trading_calendar, "_build", counting)
    data_dir = tmp_path / "data"
    data_dir.mkdir()
    with BASIC_INFO.override(data_dir):
        yield SimpleNamespace(builds=builds, data_dir=data_dir, file=trading_calendar.calendar_file(data_dir))


def forget(monkeypatch):
    """As a new process: nothing in memory, only what is on disk."""
    monkeypatch.setattr(trading_calendar, "_known", None)
    monkeypatch.setattr(trading_calendar, "_built_from", None)


def test_the_days_are_kept_and_read_back_without_the_library(fresh, monkeypatch):
    assert market.trading_days("2024-02-05", "2024-02-15") == LUNAR_NEW_YEAR_2024
    assert fresh.builds == [2023] and fresh.file.is_file()
    kept = json.loads(fresh.file.read_text())
    assert kept["library"] == trading_calendar._library_version() and kept["first_year"] == 2023
    forget(monkeypatch)
    assert market.trading_days("2024-02-05", "2024-02-15") == LUNAR_NEW_YEAR_2024
    assert market.is_trading_day("2024-01-02") and not market.is_trading_day("2024-02-08")
    assert fresh.builds == [2023]  # read from the file, not built again


def damage_version(text):
    kept = json.loads(text)
    kept["library"] = "0.0.1"
    kept["days"] = kept["days"][:5]  # an old library's days must not be used
    return json.dumps(kept)


def damage_order(text):
    kept = json.loads(text)
    kept["days"] = kept["days"][::-1]
    return json.dumps(kept)


@pytest.mark.parametrize(
    "damage",
    [
        damage_version,
        damage_order,
        lambda text: text[: len(text) // 2],
        lambda text: "[]",
        lambda text: json.dumps({**json.loads(text), "days": ["2024-01-02"]}),
        lambda text: json.dumps({**json.loads(text), "format": 99}),
    ],
    ids=["other library version", "days out of order", "cut short", "not an object", "days as text", "unknown format"],
)
def test_a_file_from_another_version_or_damaged_is_built_again(fresh, monkeypatch, damage):
    market.trading_days("2024-02-05", "2024-02-15")
    fresh.file.write_text(damage(fresh.file.read_text()))
    forget(monkeypatch)
    assert market.trading_days("2024-02-05", "2024-02-15") == LUNAR_NEW_YEAR_2024
    assert fresh.builds == [2023, 2023]
    forget(monkeypatch)
    market.trading_days("2024-02-05", "2024-02-15")
    assert fresh.builds == [2023, 2023]  # the rebuilt file is good again


def test_a_year_before_the_kept_ones_is_built_and_kept(fresh, monkeypatch):
    market.trading_days("2024-02-05", "2024-02-15")
    forget(monkeypatch)
    assert market.trading_days("2005-01-03", "2005-01-04") == [dt.date(2005, 1, 3), dt.date(2005, 1, 4)]
    assert fresh.builds == [2023, 2004]
    assert json.loads(fresh.file.read_text())["first_year"] == 2004
    forget(monkeypatch)
    assert market.trading_days("2024-02-05", "2024-02-15") == LUNAR_NEW_YEAR_2024
    assert market.trading_days("2010-02-01", "2010-02-01") == [dt.date(2010, 2, 1)]
    assert fresh.builds == [2023, 2004]


def test_a_day_past_the_calendar_is_one_error_and_one_build(fresh):
    for _ in range(3):
        with pytest.raises(ValueError, match=r"2030-01-02 is past the last trading day .* upgrade exchange-calendars"):
            market.trading_days("2030-01-02", "2030-01-03")
    assert len(fresh.builds) == 1
    assert market.trading_days("2024-02-05", "2024-02-15") == LUNAR_NEW_YEAR_2024


def test_no_file_without_a_data_directory(fresh, tmp_path):
    folder = tmp_path / "elsewhere"
    with BASIC_INFO.override(folder):
        assert market.trading_days("2024-02-05", "2024-02-15") == LUNAR_NEW_YEAR_2024
    assert not folder.exists()  # the data directory is never made


def test_a_file_that_cannot_be_written_leaves_nothing(fresh, monkeypatch):
    def refuse(src, dst):
        raise PermissionError(f"read-only: {dst}")

    monkeypatch.setattr(trading_calendar.os, "replace", refuse)
    assert market.trading_days("2024-02-05", "2024-02-15") == LUNAR_NEW_YEAR_2024
    assert list(fresh.file.parent.iterdir()) == []


def test_a_new_process_reads_the_kept_days_without_importing_the_library(fresh):
    market.trading_days("2024-02-05", "2024-02-15")
    script = (
        "import sys\n"
        "from tovik_backtest import market\n"
        "days = market.trading_days('2024-02-05', '2024-02-15')\n"
        "print(*[d.isoformat() for d in days], 'exchange_calendars' in sys.modules, 'pandas' in sys.modules)\n"
    )
    done = testkit.run_python(["-c", script], timeout=120, env_extra={"TOVIK_BACKTEST_DATA_DIR": str(fresh.data_dir)})
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["2024-02-05", "2024-02-15", "False", "False"], done.stdout
