"""Shared fixtures for the ticker tests: a fake broker, a temporary data directory, and
capture of console lines and error records."""

from __future__ import annotations

import datetime as dt
import threading
from types import SimpleNamespace

import pytest

from tovik_backtest import utils
from tovik_backtest.constant import BASIC_INFO

TICK_COLUMNS = (
    "ts",
    "close",
    "volume",
    "bid_price",
    "bid_volume",
    "ask_price",
    "ask_volume",
    "tick_type",
)

NOT_LOGGED_IN = "永豐 API 尚未初始化, 請先登入永豐 API"


def day_ticks(date: str, n: int = 3, *, seed: int = 0, step_ns: int = 1_000_000_000) -> dict:
    """Eight tick columns for one day: n ticks from 09:00 of ``date``, ``step_ns`` apart."""
    day = dt.datetime.strptime(date, "%Y-%m-%d")
    base = int((day - dt.datetime(1970, 1, 1)).total_seconds()) * 1_000_000_000 + 9 * 3600 * 10**9
    return {
        "ts": [base + i * step_ns for i in range(n)],
        "close": [100.0 + seed + i * 0.5 + 0.1 for i in range(n)],
        "volume": [1 + (i + seed) % 5 for i in range(n)],
        "bid_price": [99.9 + seed + i * 0.5 for i in range(n)],
        "bid_volume": [10 + i for i in range(n)],
        "ask_price": [100.1 + seed + i * 0.5 for i in range(n)],
        "ask_volume": [20 + i for i in range(n)],
        "tick_type": [1 + i % 2 for i in range(n)],
    }


class FakeTicks:
    """Shaped like the broker's own result object: keys() and item access, not a dict."""

    def __init__(self, columns: dict):
        self._columns = columns

    def keys(self):
        return list(self._columns)

    def __getitem__(self, key):
        return self._columns[key]


class FakeBroker:
    """Stands in for a logged-in shioaji API object.

    ``data[(code, date)]`` gives that day's ticks (missing days have no ticks);
    ``failures[(code, date)]`` is how many calls for that day raise before it works
    (a negative count fails for ever). Every ``ticks`` call is recorded in ``calls``.
    """

    def __init__(self, stocks=("2330", "2317"), futures=("TXFR1", "MXFR1"), *, as_object=False):
        self.Contracts = SimpleNamespace(
            Stocks={code: SimpleNamespace(code=code, kind="stock") for code in stocks},
            Futures={code: SimpleNamespace(code=code, kind="future") for code in futures},
        )
        self.data: dict[tuple[str, str], dict] = {}
        self.failures: dict[tuple[str, str], int] = {}
        self.calls: list[tuple[object, str]] = []
        self.as_object = as_object
        self._lock = threading.Lock()

    def __bool__(self) -> bool:
        return True

    def ticks(self, *, contract, date):
        with self._lock:
            self.calls.append((contract, date))
            key = (contract.code, date)
            left = self.failures.get(key, 0)
            if left:
                self.failures[key] = left - 1 if left > 0 else left
                raise RuntimeError(f"broker refused {contract.code} {date}")
        columns = self.data.get(key) or {name: [] for name in TICK_COLUMNS}
        return FakeTicks(columns) if self.as_object else dict(columns)

    def dates_called(self, code: str | None = None) -> list[str]:
        return [date for contract, date in self.calls if code is None or contract.code == code]


@pytest.fixture
def data_dir(tmp_path):
    """A fresh data directory for the package, restored afterwards."""
    saved = BASIC_INFO.assigned_data_dir
    path = tmp_path / "data"
    BASIC_INFO.data_dir = str(path)
    yield path
    BASIC_INFO.data_dir = saved


@pytest.fixture
def tick_dir(data_dir):
    return data_dir / "sino" / "ticks"


@pytest.fixture
def console_lines(monkeypatch):
    """Every text printed through the package console, in order."""
    lines: list[str] = []
    lock = threading.Lock()

    def record(*args, **kwargs):
        assert len(args) == 1 and not kwargs, "console lines are single texts"
        with lock:
            lines.append(args[0])

    monkeypatch.setattr(utils.console, "print", record)
    return lines


@pytest.fixture
def error_records(monkeypatch):
    """Every text written through logger.error, in order."""
    records: list[str] = []
    monkeypatch.setattr(utils.logger, "error", lambda text: records.append(text))
    return records


@pytest.fixture
def broker():
    return FakeBroker()


@pytest.fixture
def ticker(broker, data_dir, console_lines, error_records):
    from tovik_backtest.modules.ticker.ticker import Ticker

    return Ticker(broker)


def cache_file(tick_dir, code: str, date: str):
    return tick_dir / f"{code} {date} - ticks.csv"


@pytest.fixture
def tk():
    """The helpers above, for test modules (conftest is not importable by name)."""
    return SimpleNamespace(
        TICK_COLUMNS=TICK_COLUMNS,
        NOT_LOGGED_IN=NOT_LOGGED_IN,
        day_ticks=day_ticks,
        FakeTicks=FakeTicks,
        FakeBroker=FakeBroker,
        cache_file=cache_file,
    )
