"""Matchers and tickers dropped by the host are freed, cycles through them included.

A matcher's intake worker holds its matcher for as long as it runs, by design; once
the worker has ended, nothing of ours may keep the matcher (or anything it holds)
alive, whether or not the host built reference cycles through it. The same goes for a
ticker whose replay has ended.
"""

from __future__ import annotations

import gc
import os
import queue
import signal
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import polars as pl
import pytest

from tovik_backtest import utils
from tovik_backtest.constant import FLAG
from tovik_backtest.modules.matcher.matcher import Matcher
from tovik_backtest.modules.ticker.ticker import Ticker

WAIT_SECONDS = 10.0
CODES = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]


@pytest.fixture(autouse=True)
def quiet(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(utils.console, "print", lambda *a, **k: None)
    # A worker ended by SystemExit ends silently, as under Python's own thread hook;
    # any other thread error still reaches the test run's hook.
    previous = threading.excepthook

    def hook(args: threading.ExceptHookArgs) -> None:
        if args.exc_type is not SystemExit:
            previous(args)

    monkeypatch.setattr(threading, "excepthook", hook)


def freed(ref: weakref.ref, timeout: float = WAIT_SECONDS) -> bool:
    """Collects until the object behind ``ref`` is gone (its threads may still be ending)."""
    deadline = time.monotonic() + timeout
    while True:
        gc.collect()
        if ref() is None:
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)


class Book:
    """A position book that keeps nothing."""

    def set_current_tick(self, tick): pass
    def add_trade_record(self, **kwargs): pass
    def set_positions(self, trade, product_type): pass


class Halt:
    """A queue message whose reading raises SystemExit, which ends the intake worker."""

    def __getitem__(self, key):
        raise SystemExit


def stop_worker(m: Matcher) -> None:
    m.pending_order_queue.put(Halt())
    done = threading.Event()
    threading.Thread(target=lambda: (m.pending_order_queue.join(), done.set()), daemon=True).start()
    assert done.wait(WAIT_SECONDS), "the intake worker did not take the stop message"


def matcher_with_book() -> tuple[Matcher, weakref.ref, weakref.ref]:
    book = Book()
    m = Matcher(book)
    return m, weakref.ref(m), weakref.ref(book)


class TestMatcher:
    def test_running_worker_is_what_keeps_a_dropped_matcher(self) -> None:
        m, ref, book = matcher_with_book()
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        del m
        gc.collect()
        assert ref() is not None  # the worker still serves it
        stop_worker(ref())
        assert freed(ref) and freed(book)

    def test_cycle_through_the_instance_dict_is_collected(self) -> None:
        m, ref, book = matcher_with_book()
        stop_worker(m)
        m.positions.matcher = m
        m.me = m
        del m
        assert freed(ref) and freed(book)

    def test_cycle_through_resting_orders_is_collected_after_scans(self) -> None:
        m, ref, book = matcher_with_book()
        stop_worker(m)
        for i in range(5):
            m.add_order("2330" if i % 2 else "2317", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        m.pending_orders[0]["owner"] = m
        m.pending_orders[-1]["note"] = [m.pending_orders]
        # the scans index every resting record beside the list
        m.match_deal("2330", 2.0, 1, 1.0)
        m.match_deal("9999", 2.0, 1, 2.0)
        assert len(m.pending_orders) == 5
        del m
        assert freed(ref) and freed(book)

    def test_records_taken_out_by_the_host_are_not_kept(self) -> None:
        m, ref, _ = matcher_with_book()
        stop_worker(m)
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        m.match_deal("2330", 2.0, 1, 1.0)  # indexed by the scan
        record = m.pending_orders.pop()
        count = sys.getrefcount(record)
        m.match_deal("2330", 2.0, 1, 2.0)  # the next scan lets go of it
        assert sys.getrefcount(record) == count - 1
        del m
        assert freed(ref)


def table(n: int) -> pl.DataFrame:
    base = 1_704_186_000_000_000_000
    return pl.DataFrame({
        "ts": [base + i * 1_000_000 for i in range(n)],
        "close": [500.0 + i for i in range(n)],
        "volume": [1] * n, "bid_price": [0.0] * n, "bid_volume": [0] * n,
        "ask_price": [0.0] * n, "ask_volume": [0] * n,
        "tick_type": [1 + i % 2 for i in range(n)],
        "code": [CODES[i % 2]["code"] for i in range(n)],
    })


def ticker_with_tables(tables: dict) -> Ticker:
    tk = Ticker(None)
    tk.code_market_map.update({"2330": "Stock", "TXFR1": "Future"})
    tk._Ticker__process_and_combine_ticks = lambda codes, start, end: tables[start]
    return tk


def replay_to_the_end(tk: Ticker) -> int:
    count = 0
    while True:
        item = tk.tick_queue.get(timeout=WAIT_SECONDS)
        if item.get("tovik_status") == FLAG.exit_send_tick.value:
            return count
        if "tovik_status" not in item:
            count += 1
            tk.allow_next_tick()


class TestTicker:
    def test_ticker_after_a_finished_replay_and_back_filling_is_freed(self) -> None:
        tk = ticker_with_tables({"a": table(50), "bf": table(20)})
        tk.send_ticks(CODES, "a", "a", "bf")
        assert replay_to_the_end(tk) == 70
        tk.me = tk
        ref = weakref.ref(tk)
        del tk
        assert freed(ref)

    def test_stopped_replay_lets_its_ticker_go(self) -> None:
        tk = ticker_with_tables({"a": table(10_000)})
        tk.send_ticks(CODES, "a", "a")
        for _ in range(3):
            tk.tick_queue.get(timeout=WAIT_SECONDS)
            tk.allow_next_tick()
        tk.stop_send_ticks()
        tk.allow_next_tick()
        while True:  # what was in flight, then the exit marker
            try:
                if tk.tick_queue.get(timeout=WAIT_SECONDS).get("tovik_status") == FLAG.exit_send_tick.value:
                    break
            except queue.Empty:
                pytest.fail("the stopped replay sent no exit marker")
        tk.host = {"ticker": tk}
        ref = weakref.ref(tk)
        del tk
        assert freed(ref)


# Run against a build of both extensions in which nanobind aborts at exit if any of
# our instances, types or functions is still alive (make test-leaks / make test).
LEAK_SITE = os.environ.get("TOVIK_LEAK_CHECK_SITE")

LEAK_SCRIPT = textwrap.dedent('''
    import gc
    import sys

    import polars as pl

    import tovik_backtest.utils as utils
    from tovik_backtest.modules.matcher import matcher as matcher_module
    from tovik_backtest.modules.ticker import ticker as ticker_module

    assert matcher_module.__file__.startswith(sys.argv[1]), matcher_module.__file__
    utils.console.print = lambda *a, **k: None
    keep_running = sys.argv[2] == "keep"

    class Halt:
        def __getitem__(self, key):
            raise SystemExit

    matchers = [matcher_module.Matcher() for _ in range(3)]
    for m in matchers:
        m.add_order("2330", "Stock", "Buy", 1.0, 2, "LMT", "ROD")
        m.match_deal("2330", 1.0, 1, 1.0)
        m.pending_orders[0]["owner"] = m
        if not keep_running:
            m.pending_order_queue.put(Halt())
            m.pending_order_queue.join()

    n = 100
    df = pl.DataFrame({"ts": list(range(n)), "close": [1.0] * n, "volume": [1] * n,
                       "bid_price": [0.0] * n, "bid_volume": [0] * n, "ask_price": [0.0] * n,
                       "ask_volume": [0] * n, "tick_type": [1] * n, "code": ["2330"] * n})
    tk = ticker_module.Ticker(None)
    tk.code_market_map["2330"] = "Stock"
    tk._Ticker__process_and_combine_ticks = lambda codes, start, end: df
    tk.send_ticks([{"code": "2330", "market": "Stock"}], "a", "a")
    while "tovik_status" not in tk.pop_tick():
        tk.allow_next_tick()
    tk.me = tk
    del matchers, m, tk
    gc.collect()
    print("done", flush=True)
''')


@pytest.mark.slow
@pytest.mark.skipif(not LEAK_SITE, reason="needs the leak-checking build (make test-leaks)")
class TestLeakCheckingBuild:
    def run(self, mode: str) -> subprocess.CompletedProcess:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([LEAK_SITE, *sys.path]))
        return subprocess.run([sys.executable, "-c", LEAK_SCRIPT, LEAK_SITE, mode], capture_output=True, text=True,
                              env=env, timeout=120, check=False)

    def test_exit_after_everything_is_released_passes_the_check(self) -> None:
        done = self.run("release")
        assert done.returncode == 0, done.stderr[-4000:]
        assert done.stdout.strip() == "done"
        assert "nanobind: leaked" not in done.stderr

    def test_matcher_kept_by_its_running_worker_fails_the_check(self) -> None:
        done = self.run("keep")
        assert done.stdout.strip() == "done"
        assert done.returncode == -signal.SIGABRT, done.stderr[-4000:]
        assert "nanobind: leaked 3 instances" in done.stderr
