"""Shared fixtures for the matcher tests: captured console lines and error records,
a matcher whose output is captured, and bounded waits on its queues."""

from __future__ import annotations

import json
import queue
import threading

import pytest

import tovik_backtest.utils as utils
from tovik_backtest.modules.matcher.matcher import Matcher

WAIT_SECONDS = 10.0


class Recorder:
    """Collects the texts passed to a patched ``console.print`` or ``logger.error``."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._items: list[str] = []
        self.hook = None  # optional callable run on every call, before recording

    def __call__(self, text, *args, **kwargs) -> None:
        if self.hook is not None:
            self.hook(text)
        with self._lock:
            self._items.append(text)

    @property
    def lines(self) -> list[str]:
        with self._lock:
            return list(self._items)

    def clear(self) -> None:
        with self._lock:
            self._items.clear()


@pytest.fixture
def console_lines(monkeypatch) -> Recorder:
    """Every ``console.print`` text, in order (``.lines``)."""
    recorder = Recorder()
    monkeypatch.setattr(utils.console, "print", recorder)
    return recorder


@pytest.fixture
def error_records(monkeypatch) -> Recorder:
    """Every ``logger.error`` text, in order (``.lines``; ``.parsed()`` decodes them)."""
    recorder = Recorder()
    recorder.parsed = lambda: [json.loads(text) for text in recorder.lines]
    monkeypatch.setattr(utils.logger, "error", recorder)
    return recorder


@pytest.fixture
def matcher(console_lines, error_records) -> Matcher:
    """A fresh matcher; its console lines and error records are captured."""
    return Matcher()


def _wait_idle(m, timeout: float = WAIT_SECONDS) -> None:
    """Wait until the worker has carried out every message put so far."""
    done = threading.Event()

    def join() -> None:
        m.pending_order_queue.join()
        done.set()

    threading.Thread(target=join, daemon=True).start()
    assert done.wait(timeout), "the intake worker did not finish the queued messages in time"


@pytest.fixture
def wait_idle():
    """``wait_idle(matcher)``: block (bounded) until the pending-order queue is fully served."""
    return _wait_idle


@pytest.fixture
def pop_report():
    """``pop_report(matcher)``: ``pop_response()`` with a time limit (fails the test on expiry)."""

    def pop(m, timeout: float = WAIT_SECONDS):
        box: queue.SimpleQueue = queue.SimpleQueue()
        threading.Thread(target=lambda: box.put(m.pop_response()), daemon=True).start()
        try:
            return box.get(timeout=timeout)
        except queue.Empty:
            pytest.fail("no report arrived on the response queue in time")

    return pop


@pytest.fixture
def drain():
    """``drain(matcher)``: every report now on the response queue, oldest first."""

    def take_all(m) -> list:
        reports = []
        while True:
            try:
                reports.append(m.response_queue.get_nowait())
            except queue.Empty:
                return reports

    return take_all


STOCK_ORDER = dict(
    code="2330",
    product_type="Stock",
    action="Buy",
    price=580.0,
    qty=2,
    price_type="LMT",
    order_type="ROD",
)
FUTURE_ORDER = dict(
    code="TXFA4",
    product_type="Future",
    action="Sell",
    price=17500.0,
    qty=1,
    price_type="LMT",
    order_type="IOC",
)


@pytest.fixture
def stock_order():
    """``stock_order(**changes)``: keyword arguments of a stock limit order."""
    return lambda **changes: {**STOCK_ORDER, **changes}


@pytest.fixture
def future_order():
    """``future_order(**changes)``: keyword arguments of a future limit order."""
    return lambda **changes: {**FUTURE_ORDER, **changes}
