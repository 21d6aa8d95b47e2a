"""Fixtures of the ticker tests: a fake broker, a temporary data directory, and capture
of console lines and error records (the helpers behind them are in testkit)."""

from __future__ import annotations

import threading

import pytest

from tovik_backtest import utils
from tovik_backtest.constant import BASIC_INFO

import testkit


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
    return testkit.FakeBroker()


@pytest.fixture
def ticker(broker, data_dir, console_lines, error_records):
    from tovik_backtest.modules.ticker.ticker import Ticker

    return Ticker(broker)
